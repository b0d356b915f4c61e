// Resource identifiers of the tray application.
#pragma once

// The alert texts' ids: 104-108, 110-113.
#include "NotifyTexts.h"

#define IDS_WINDOW_NAME 103
#define IDS_WINDOW_CLASS 109

#define IDI_MAIN 134
#define IDI_TRAY 135
