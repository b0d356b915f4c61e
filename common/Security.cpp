#include "Security.h"

#include "ScopedHandle.h"

DWORD InitSharedFileSecurity(PSECURITY_DESCRIPTOR pSD, PACL* ppAcl)
{
    if (pSD == NULL || ppAcl == NULL) {
        return ERROR_INVALID_PARAMETER;
    }
    SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
    ScopedSid system, admins, users;
    if (!::AllocateAndInitializeSid(&ntAuthority, 1, SECURITY_LOCAL_SYSTEM_RID,
                                    0, 0, 0, 0, 0, 0, 0, system.Put()) ||
        !::AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID,
                                    DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, admins.Put()) ||
        !::AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID,
                                    DOMAIN_ALIAS_RID_USERS, 0, 0, 0, 0, 0, 0, users.Put())) {
        return ::GetLastError();
    }

    // ACL header and three ACE headers, 8 bytes each, plus the SIDs.
    const DWORD cbAcl = ::GetLengthSid(system.Get()) + ::GetLengthSid(admins.Get()) +
                        ::GetLengthSid(users.Get()) + 32;
    ScopedLocalMem acl(::LocalAlloc(LPTR, cbAcl));
    if (!acl.IsValid()) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    PACL pAcl = static_cast<PACL>(acl.Get());
    const DWORD access = GENERIC_READ | GENERIC_WRITE;
    if (!::InitializeAcl(pAcl, cbAcl, ACL_REVISION) ||
        !::AddAccessAllowedAceEx(pAcl, ACL_REVISION, CONTAINER_INHERIT_ACE, access, system.Get()) ||
        !::AddAccessAllowedAceEx(pAcl, ACL_REVISION, CONTAINER_INHERIT_ACE, access, admins.Get()) ||
        !::AddAccessAllowedAceEx(pAcl, ACL_REVISION, CONTAINER_INHERIT_ACE, access, users.Get()) ||
        !::InitializeSecurityDescriptor(pSD, SECURITY_DESCRIPTOR_REVISION) ||
        !::SetSecurityDescriptorDacl(pSD, TRUE, pAcl, FALSE)) {
        return ::GetLastError();
    }
    *ppAcl = static_cast<PACL>(acl.Detach());
    return ERROR_SUCCESS;
}
