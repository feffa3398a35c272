// A GoogleTest fixture with a fresh simulated machine per test. At the end of each test
// it checks what every test should hold: no misuse of the Windows API was seen.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/sim.h"

namespace dismora::sim {

inline std::string Join(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    return text;
}

inline std::string Describe(const std::vector<HandleRecord>& handles) {
    static const char* const kKinds[] = {"file", "key", "process", "thread"};
    std::string text;
    for (const HandleRecord& h : handles) {
        text += "process " + std::to_string(h.pid) + ": " + kKinds[static_cast<int>(h.kind)] + " " + Narrow(h.what) + "\n";
    }
    return text;
}

class SimTest : public ::testing::Test {
protected:
    void TearDown() override { EXPECT_TRUE(machine.Violations().empty()) << Join(machine.Violations()); }

    Machine machine;
};

}  // namespace dismora::sim
