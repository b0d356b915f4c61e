// Resource identifiers of the service program.
#pragma once

#define IDS_DISPLAY_NAME 101
#define IDS_DESCRIPTION 102
