// The contract facts against the simulated Windows: one test per fact, each on a fresh
// machine, run as an elevated administrator's process (as Wine runs them). A fact must
// leave the machine as it found it.
#include <gtest/gtest.h>

#include <ostream>

#include "contract/contract.h"
#include "support/sim_fixture.h"

namespace contract {

bool MakeFolder(const std::u16string& path) {
    dismora::sim::Machine::Active().CreateFolder(path);
    return true;
}

bool WriteBytes(const std::u16string& path, std::string_view bytes) {
    dismora::sim::Machine::Active().WriteFile(path, bytes);
    return true;
}

bool SetReadOnly(const std::u16string& path, bool read_only) {
    dismora::sim::Machine& machine = dismora::sim::Machine::Active();
    const auto attributes = machine.Attributes(path);
    if (!attributes) return false;
    win::DWORD changed = *attributes & ~win::FILE_ATTRIBUTE_NORMAL;
    changed = read_only ? (changed | win::FILE_ATTRIBUTE_READONLY) : (changed & ~win::FILE_ATTRIBUTE_READONLY);
    machine.SetAttributes(path, changed);
    return true;
}

void PrintTo(const Fact& fact, std::ostream* out) { *out << fact.name; }

namespace {

class ContractFact : public ::testing::TestWithParam<Fact> {};

TEST_P(ContractFact, HoldsOnTheSimulatedWindows) {
    dismora::sim::Machine machine;
    machine.WriteFile(u"C:\\Tests\\win32_contract.exe", "MZ");
    const dismora::sim::Snapshot before = machine.TakeSnapshot();
    Check check;
    dismora::sim::ProcessOptions process;
    process.module_path = u"C:\\Tests\\win32_contract.exe";
    machine.Run(process, [&] { GetParam().run(check); });
    for (const std::string& failure : check.Failures()) ADD_FAILURE() << failure;
    EXPECT_TRUE(machine.Violations().empty()) << dismora::sim::Join(machine.Violations());
    EXPECT_TRUE(machine.Leaks().empty()) << dismora::sim::Describe(machine.Leaks());
    EXPECT_EQ(dismora::sim::ToString(dismora::sim::Diff(before, machine.TakeSnapshot())), "");
}

INSTANTIATE_TEST_SUITE_P(Win32, ContractFact, ::testing::ValuesIn(AllFacts()),
                         [](const ::testing::TestParamInfo<Fact>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace contract
