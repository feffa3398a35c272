// What lives for the whole process: start-up values, the log reader, the
// protected folders, the removal list and the other values the steps share.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include "actions/removal_list.h"
#include "driver/log_reader.h"
#include "environment/text.h"
#include "environment/well_known_folders.h"
#include "platform/win_api.h"

namespace dismora {

struct Run {
    win::DWORD start_tick = 0;
    Text own_path;
    std::vector<Text> arguments;  // argument 1 onwards
    Text log_path;
    bool own_path_known = false;  // false when it did not fit the buffer
    bool silent = false;
    bool temp_mode = false;
    bool all_users = true;  // header value
    bool reboot_pending = false;
    bool oleaut_cached = false;  // the module handle of OLEAUT32.DLL was had

    // Header values.
    std::int32_t format_version = 0;
    win::HKEY auto_root = win::HKEY_LOCAL_MACHINE;
    Text product_name;
    Text confirmation_text;
    Text completion_text;
    Text restart_text;
    Text admin_text;

    LogReader log;
    WellKnownFolders folders;
    RemovalList removal_list;
    win::HKEY classes_root = nullptr;

    // Addresses looked up at run time, once.
    win::PFN_CheckTokenMembership check_token_membership = nullptr;
    win::PFN_UnRegisterTypeLib unregister_type_lib = nullptr;

    Text Caption() const;
};

}  // namespace dismora
