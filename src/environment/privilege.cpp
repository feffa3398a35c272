#include "environment/privilege.h"

#include "environment/text.h"
#include "platform/unique_handle.h"

namespace dismora {

bool IsLuaEnabled() {
    UniqueKey key;
    if (OpenKey(win::HKEY_LOCAL_MACHINE,
                FromAscii("Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\System").c_str(),
                win::KEY_QUERY_VALUE, key) != win::ERROR_SUCCESS) {
        return false;
    }
    // Zeroed first: a value shorter than four bytes fills only part of it.
    win::DWORD enabled = 0;
    win::DWORD type = 0;
    win::DWORD size = sizeof(enabled);
    win::LONG result =
        win::RegQueryValueExW(key.Get(), u"EnableLUA", nullptr, &type, reinterpret_cast<win::BYTE*>(&enabled), &size);
    return result == win::ERROR_SUCCESS && enabled != 0;
}

win::BOOL IsAdministrator(TLookedUpFunctions& looked_up) {
    win::SID_IDENTIFIER_AUTHORITY nt_authority = {{0, 0, 0, 0, 0, 5}};
    win::PSID administrators = nullptr;
    if (!win::AllocateAndInitializeSid(&nt_authority, 2, win::SECURITY_BUILTIN_DOMAIN_RID, win::DOMAIN_ALIAS_RID_ADMINS,
                                       0, 0, 0, 0, 0, 0, &administrators)) {
        return win::FALSE;
    }
    if (looked_up.check_token_membership == nullptr) {
        // Only from the already-loaded module: the import table never names it.
        win::HMODULE advapi = win::GetModuleHandleW(u"advapi32.dll");
        if (advapi != nullptr) {
            looked_up.check_token_membership = reinterpret_cast<win::PFN_CheckTokenMembership>(
                reinterpret_cast<void*>(win::GetProcAddress(advapi, "CheckTokenMembership")));
        }
    }
    win::BOOL member = win::FALSE;
    if (looked_up.check_token_membership != nullptr && !looked_up.check_token_membership(nullptr, administrators, &member)) {
        member = win::FALSE;
    }
    win::FreeSid(administrators);
    return member;
}

}  // namespace dismora
