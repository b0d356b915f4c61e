// Resource identifiers of the service program.
#pragma once

#define IDS_DISPLAY_NAME 101
#define IDS_DESCRIPTION 102

// The drill's report and the drill command's messages.
#define IDS_DRILL_APPS 201
#define IDS_DRILL_AC_LOST 202
#define IDS_DRILL_HIBERNATE 203
#define IDS_DRILL_PASSED 204
#define IDS_DRILL_FAILED 205
#define IDS_DRILL_PRIVILEGE 206
#define IDS_DRILL_S4 207
#define IDS_DRILL_NO_BATTERY 208
#define IDS_DRILL_LOW_BATTERY 209
#define IDS_DRILL_INTERRUPTED 210
#define IDS_DRILL_NOT_STARTED 211
#define IDS_DRILL_NO_RESULT 212
#define IDS_DRILL_BATTERY_UNKNOWN 213
#define IDS_DRILL_CHARGE_UNKNOWN 214
