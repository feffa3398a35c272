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
    // The product's name and the four message texts, in one array: the run builds and frees
    // them in a loop.
    Text texts[5];
    Text& product_name() { return texts[0]; }
    Text& confirmation_text() { return texts[1]; }
    Text& completion_text() { return texts[2]; }
    Text& restart_text() { return texts[3]; }
    Text& admin_text() { return texts[4]; }
    [[nodiscard]] const Text& product_name() const { return texts[0]; }
    [[nodiscard]] const Text& confirmation_text() const { return texts[1]; }
    [[nodiscard]] const Text& completion_text() const { return texts[2]; }
    [[nodiscard]] const Text& restart_text() const { return texts[3]; }
    [[nodiscard]] const Text& admin_text() const { return texts[4]; }
};

// Reads the header from the open log, setting the reader's UTF-8 flag; shows nothing.
// The values read before a rejection are kept (the scope of a log that is too new).
HeaderStatus ParseHeader(LogReader& log, THeader& header);

}  // namespace dismora
