// Definitions that the MinGW-w64 import libraries lack. An MSVC build takes the CRT's own.
#include "SdkCompat.h"

#if defined(__MINGW32__)
#include <errno.h>
#include <stdlib.h>

// The import library of msvcrt.dll declares but does not export this accessor; the variable it
// reads is exported and is set by the runtime before wmain runs.
extern "C" errno_t __cdecl _get_wpgmptr(wchar_t** pValue)
{
    if (pValue == NULL) {
        return EINVAL;
    }
    *pValue = _wpgmptr;
    return *pValue != NULL ? 0 : EINVAL;
}
#endif
