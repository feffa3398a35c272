// Functions the program looks up at run time instead of importing, each once per process.
#pragma once

#include "platform/win_api.h"

namespace dismora {

struct TLookedUpFunctions {
    win::PFN_CheckTokenMembership check_token_membership = nullptr;
    win::PFN_UnRegisterTypeLib unregister_type_lib = nullptr;
    bool oleaut_cached = false;  // the module handle of OLEAUT32.DLL was had
};

}  // namespace dismora
