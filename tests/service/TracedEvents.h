// The Application-log entries of the services, as a prefix of our own traces them into
// MIREL_SYSTEM_LOG (in-own-prefix.sh): Wine keeps no event log to read back.
#pragma once

#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

#include <fstream>
#include <ostream>
#include <string>
#include <vector>

namespace servicetest {

// One ReportEventW call as the trace shows it: type, id and the insertion.
struct LoggedEvent {
    WORD type;
    DWORD id;
    std::string insert;
    bool operator==(const LoggedEvent& o) const { return type == o.type && id == o.id && insert == o.insert; }
};

inline std::ostream& operator<<(std::ostream& os, const LoggedEvent& e)
{
    return os << std::hex << e.type << "/" << e.id << " " << e.insert;
}

// Where the trace ends now: the offset from which later entries are read.
inline std::streamoff SystemLogSize()
{
    std::ifstream in(_wgetenv(L"MIREL_SYSTEM_LOG"), std::ios::binary | std::ios::ate);
    return in.tellg();
}

// The entries traced since the byte offset `from`.
inline std::vector<LoggedEvent> EventsSince(std::streamoff from)
{
    std::vector<LoggedEvent> events;
    std::ifstream in(_wgetenv(L"MIREL_SYSTEM_LOG"), std::ios::binary);
    in.seekg(from);
    for (std::string line; std::getline(in, line);) {
        const size_t call = line.find("fixme:advapi:ReportEventW (");
        const size_t insert = line.find(":eventlog:ReportEventW L\"");
        if (call != std::string::npos) {
            unsigned type = 0, category = 0, id = 0;
            sscanf(line.c_str() + line.find(',', call) + 1, "0x%x,0x%x,0x%x", &type, &category, &id);
            events.push_back({ static_cast<WORD>(type), id, "" });
        } else if (insert != std::string::npos && !events.empty()) {
            const size_t begin = insert + 25;
            events.back().insert = line.substr(begin, line.rfind('"') - begin);
        }
    }
    return events;
}

// The entries traced since `from` by one run, beginning with its first entry of id firstId (its
// start): an earlier run's last entry may reach the trace after the mark was taken.
inline std::vector<LoggedEvent> RunEventsSince(std::streamoff from, DWORD firstId)
{
    std::vector<LoggedEvent> events = EventsSince(from);
    size_t first = 0;
    while (first < events.size() && events[first].id != firstId) ++first;
    events.erase(events.begin(), events.begin() + first);
    return events;
}

}  // namespace servicetest
