#include "config/settings_store.h"

bool IsUserAdministrator() {
    SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
    PSID administrators = nullptr;
    if (!AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID,
                                  DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, &administrators)) {
        return false;
    }
    // No token: the calling thread's effective token, so a member of the
    // group whose process runs without elevation gets false.
    BOOL member = FALSE;
    if (!CheckTokenMembership(nullptr, administrators, &member)) {
        member = FALSE;
    }
    FreeSid(administrators);
    return member != FALSE;
}
