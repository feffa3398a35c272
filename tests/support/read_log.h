// A log written to a simulated machine and read there, as one section of the program
// reads it: for tests of the reader and of single sections.
#pragma once

#include <gtest/gtest.h>

#include <string_view>

#include "log/log_reader.h"
#include "support/sim.h"

namespace dismora::test {

// Writes the bytes as a log and runs body with a reader open on it, inside a run of a
// host program on the machine.
template <typename Body>
void ReadLogOn(sim::Machine& machine, std::string_view bytes, bool utf8, Body body) {
    static constexpr char16_t kPath[] = u"C:\\Tests\\section.log";
    machine.WriteFile(kPath, bytes);
    machine.Run({.command_line = u"C:\\Tests\\host.exe"}, [&] {
        LogReader log;
        ASSERT_TRUE(log.Open(kPath));
        log.SetUtf8(utf8);
        body(log);
    });
}

}  // namespace dismora::test
