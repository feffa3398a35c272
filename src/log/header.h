// The header of the deployment log: format version, install scope and the message texts.
#pragma once

#include <cstdint>

#include "environment/text.h"
#include "platform/win_api.h"

namespace dismora {

class LogReader;

enum class HeaderStatus {
    kOk,
    kNoVersionLine,  // the first 101 lines are all empty or comments
    kBadVersion,     // not a number, or below 1
    kTooNew,         // above 4
};

struct THeader {
    std::int32_t format_version = 0;
    bool all_users = true;
    win::HKEY auto_root = win::HKEY_LOCAL_MACHINE;
    Text product_name;
    Text confirmation_text;
    Text completion_text;
    Text restart_text;
    Text admin_text;
};

// Reads the header from the open log, setting the reader's UTF-8 flag; shows nothing.
// The values read before a rejection are kept (the scope of a log that is too new).
HeaderStatus ParseHeader(LogReader& log, THeader& header);

}  // namespace dismora
