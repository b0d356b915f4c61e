// Resource identifiers of the tray application.
#pragma once

#define IDS_WINDOW_NAME 103
#define IDS_SERVICE_STOPPED 104
#define IDS_S4_FAILED 105
#define IDS_S4_DISABLED 106
#define IDS_BATTERY_LOW 107
#define IDS_GOING_TO_HIBERNATE 108
#define IDS_WINDOW_CLASS 109
#define IDS_RESUMED 110
#define IDS_NO_BATTERY 111

#define IDI_MAIN 134
#define IDI_TRAY 135
