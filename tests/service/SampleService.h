// Names shared by the sample service and its tests.
#pragma once

#define SAMPLE_SERVICE_NAME L"MIRELSAMPLE"
// Test settings read by the sample service when it starts (below HKEY_LOCAL_MACHINE).
#define SAMPLE_SETTINGS_KEY L"Software\\Orvane\\MirelTest\\SampleService"
// A user control on which the sample service ends its main loop and only then, a while later,
// returns from its handler: the service stops while its handler still runs.
#define SAMPLE_CONTROL_STOP_IN_HANDLER 201
