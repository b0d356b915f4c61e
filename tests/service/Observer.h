// A tray-side observer of the service, run as a separate process by the service tests.
//   observer <tag>        registers like the tray application and records every notification
//   observer <tag> signal <what>   sets the named event <what> of a running observer <tag>
//   observer <tag> hung   registers, then takes the first notification's connection and never
//                         reads it nor acknowledges (a suspended application)
// Record: CommonAppData\observer_<tag>.txt, "id <client id>" once registered, then one line per
// notification body as space-separated 32-bit words in hex ("00000004 00000005").
// Named events (OBSERVER_EVENT(tag, what)) drive it: "resume" sends REQUEST_RESUME_CHECK,
// "resume8" sends an 8-byte body whose first word is REQUEST_RESUME_CHECK, "quit" unregisters
// and ends it.
#pragma once

#include <string>

inline std::wstring ObserverEventName(const std::wstring& tag, const std::wstring& what)
{
    return L"Global\\mirel_observer_" + tag + L"_" + what;
}

inline std::wstring ObserverRecordName(const std::wstring& tag)
{
    return L"observer_" + tag + L".txt";
}
