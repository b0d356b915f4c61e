#include "CUpsValues.h"

void CUpsValues::ParseStatus(const std::string& value, UpsReading& reading)
{
    bool bOnLine = false;
    bool bOnBattery = false;
    bool bCritical = false;
    bool bForced = false;
    size_t pos = 0;
    while (pos < value.size()) {
        size_t end = value.find(' ', pos);
        if (end == std::string::npos) {
            end = value.size();
        }
        const std::string word = value.substr(pos, end - pos);
        bOnLine = bOnLine || word == "OL";
        bOnBattery = bOnBattery || word == "OB";
        bCritical = bCritical || word == "LB" || word == "FSD";
        bForced = bForced || word == "FSD";
        pos = end + 1;
    }
    // A forced shutdown means the serving machine is about to cut the output, whatever the line
    // does now: it counts as the line gone.
    reading.line = (bOnBattery || bForced) ? UpsLineOff : (bOnLine ? UpsLineOn : UpsLineUnknown);
    reading.bCritical = bCritical;
    size_t i = 0;
    for (; i < value.size() && i + 1 < NETUPS_MAX_STATUS; ++i) {
        const char c = value[i];
        reading.szStatus[i] = (c >= ' ' && c <= '~') ? static_cast<WCHAR>(c) : L'?';
    }
    reading.szStatus[i] = L'\0';
}

int CUpsValues::ParseCharge(const std::string& value)
{
    return ParseWhole(value, 101);
}

int CUpsValues::ParseRuntime(const std::string& value)
{
    return ParseWhole(value, 65535);
}

int CUpsValues::ParseWhole(const std::string& value, int nLimit)
{
    size_t i = 0;
    int nWhole = 0;
    for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i) {
        nWhole = nWhole * 10 + (value[i] - '0');
        if (nWhole >= nLimit) {
            return NETUPS_UNKNOWN;
        }
    }
    if (i == 0) {
        return NETUPS_UNKNOWN;
    }
    if (i < value.size() && value[i] == '.') {
        for (++i; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i) {
        }
    }
    return (i == value.size()) ? nWhole : NETUPS_UNKNOWN;
}
