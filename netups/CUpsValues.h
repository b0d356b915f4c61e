// The meaning of the three variables the monitor reads: ups.status words, battery.charge and
// battery.runtime, as the values of a UpsReading.
#pragma once

#include "NetUpsTypes.h"

#include <string>

class CUpsValues {
public:
    // The status words: OL is on line, OB on battery; both together count as on battery, since a
    // wrong "on line" could let the UPS run flat unnoticed while a wrong "on battery" only starts
    // the flicker wait that the next reading clears. LB or FSD is critical. Other words are
    // ignored. The raw words are kept, cut to fit.
    static void ParseStatus(const std::string& value, UpsReading& reading);
    // battery.charge: 0-100 with decimals cut; anything else NETUPS_UNKNOWN.
    static int ParseCharge(const std::string& value);
    // battery.runtime: seconds 0-65534 with decimals cut; anything else NETUPS_UNKNOWN.
    static int ParseRuntime(const std::string& value);

private:
    // Digits, optionally followed by '.' and more digits; the whole part below nLimit.
    static int ParseWhole(const std::string& value, int nLimit);
};
