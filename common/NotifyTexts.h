// The string resources of the alert texts: the tray application's resource script holds the
// texts, the notification table (CNotifyTable) names them. Defines only, for the resource compiler.
#pragma once

#define IDS_SERVICE_STOPPED 104
#define IDS_S4_FAILED 105
#define IDS_S4_DISABLED 106
#define IDS_BATTERY_LOW 107
#define IDS_GOING_TO_HIBERNATE 108
#define IDS_RESUMED 110
#define IDS_NO_BATTERY 111
// The same two alerts where the battery in use is a UPS.
#define IDS_UPS_LOW 112
#define IDS_UPS_REMOVED 113
