// Names shared by the sample service and its tests.
#pragma once

#define SAMPLE_SERVICE_NAME L"MIRELSAMPLE"
// Test settings read by the sample service when it starts (below HKEY_LOCAL_MACHINE).
#define SAMPLE_SETTINGS_KEY L"Software\\Orvane\\MirelTest\\SampleService"
