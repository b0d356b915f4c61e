#include "ServiceSecurity.h"

#include "ScopedHandle.h"

#include <sddl.h>

const WCHAR kServiceSddl[] =
    L"D:(A;;CCLCSWRPWPDTLOCRRC;;;SY)(A;;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;BA)"
    L"(A;;CCLCSWLORC;;;IU)(A;;CCLCSWLORC;;;SU)";

DWORD RestrictServiceControl(SC_HANDLE hService)
{
    ScopedLocalMem descriptor;
    PSECURITY_DESCRIPTOR pDescriptor = NULL;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(kServiceSddl, SDDL_REVISION_1,
                                                                &pDescriptor, NULL)) {
        return ::GetLastError();
    }
    descriptor.Reset(pDescriptor);
    if (!::SetServiceObjectSecurity(hService, DACL_SECURITY_INFORMATION, pDescriptor)) {
        return ::GetLastError();
    }
    return ERROR_SUCCESS;
}
