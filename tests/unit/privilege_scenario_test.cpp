// The privilege gate and the two checks behind it.
#include <gtest/gtest.h>

#include "environment/privilege.h"
#include "support/invariant.h"
#include "support/log_builder.h"
#include "support/sim.h"
#include "support/scenario.h"

namespace dismora {
namespace {

using sim::Machine;
using test::LogBuilder;

const std::u16string kPolicy = u"HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\System";

enum class Lua { kMissing, kZero, kOne, kTwo, kEightBytes, kTextZero, kNoKey };

void SetLua(Machine& m, Lua lua) {
    m.DeleteValue(kPolicy, u"EnableLUA");
    switch (lua) {
        case Lua::kMissing:
            break;
        case Lua::kNoKey:
            m.DeleteKey(kPolicy);
            break;
        case Lua::kZero:
            m.SetDword(kPolicy, u"EnableLUA", 0);
            break;
        case Lua::kOne:
            m.SetDword(kPolicy, u"EnableLUA", 1);
            break;
        case Lua::kTwo:
            m.SetDword(kPolicy, u"EnableLUA", 2);
            break;
        case Lua::kEightBytes:
            m.SetValue(kPolicy, u"EnableLUA", win::REG_QWORD, {1, 0, 0, 0, 0, 0, 0, 0});
            break;
        case Lua::kTextZero:
            m.SetString(kPolicy, u"EnableLUA", u"0");
            break;
    }
}

bool LuaOn(Lua lua) { return lua == Lua::kOne || lua == Lua::kTwo || lua == Lua::kTextZero; }

std::size_t PolicyReads(const Machine& m) {
    std::size_t reads = 0;
    for (const auto& entry : m.Trace()) {
        if (entry.function == "RegOpenKeyExW" && entry.argument.find(u"Policies\\System") != std::u16string::npos) {
            ++reads;
        }
    }
    return reads;
}

TEST(PrivilegeGate, DecisionTable) {
    const Lua luas[] = {Lua::kNoKey, Lua::kMissing, Lua::kZero, Lua::kOne, Lua::kTwo, Lua::kEightBytes, Lua::kTextZero};
    for (bool all_users : {true, false}) {
        for (Lua lua : luas) {
            for (bool administrator : {true, false}) {
                SCOPED_TRACE(testing::Message() << "all users " << all_users << ", lua " << static_cast<int>(lua)
                                                << ", administrator " << administrator);
                Machine m;
                m.InstallDismora(kExe);
                SetLua(m, lua);
                LogBuilder log;
                log.scope = all_users ? "ALL" : "CURRENT";
                log.product = "Tool";
                log.admin = "Only an administrator may remove %s (%s).";
                m.WriteFile(kLog, log.Bytes());
                // The temporary copy runs the gate too, and nothing else asks about rights there.
                sim::SafetyCheck m_safety(m, kLog);
                m.RunProgram({.command_line = u"\"" + kExe + u"\" \"" + kLog + u"\" /temp /silent",
                              .module_path = kExe,
                              .token = {.administrator = administrator, .elevated = administrator}});
                EXPECT_EQ(m_safety.Report(m), "");
                bool passes = !all_users || LuaOn(lua) || administrator;
                if (passes) {
                    EXPECT_TRUE(m.MessageBoxes().empty());
                    EXPECT_FALSE(m.Exists(kLog));
                } else {
                    ASSERT_EQ(m.MessageBoxes().size(), 1u);
                    EXPECT_EQ(sim::Narrow(m.MessageBoxes()[0].text), "Only an administrator may remove Tool (%s).");
                    EXPECT_EQ(sim::Narrow(m.MessageBoxes()[0].caption), "Dismora Tool");
                    EXPECT_EQ(m.MessageBoxes()[0].style, win::MB_OK | win::MB_ICONERROR);
                    EXPECT_TRUE(m.Exists(kLog));
                }
                // Neither check for a per-user install; no administrator check while UAC is on.
                EXPECT_EQ(PolicyReads(m), all_users ? 1u : 0u);
                EXPECT_EQ(m.CallCount("AllocateAndInitializeSid"), (all_users && !LuaOn(lua)) ? 1u : 0u);
                EXPECT_EQ(m.LiveSids(), 0);
                EXPECT_TRUE(m.Leaks().empty());
            }
        }
    }
}

TEST(PrivilegeGate, OldFormatsUseTheBuiltInText) {
    Machine m;
    m.InstallDismora(kExe);
    SetLua(m, Lua::kZero);
    LogBuilder log;
    log.version = 1;
    log.product = "Legacy";
    m.WriteFile(kLog, log.Bytes());
    sim::SafetyCheck m_safety(m, kLog);
    m.RunProgram({.command_line = u"\"" + kExe + u"\" /s",
                  .module_path = kExe,
                  .token = {.administrator = false, .elevated = false}});
    EXPECT_EQ(m_safety.Report(m), "");
    ASSERT_EQ(m.MessageBoxes().size(), 1u);
    EXPECT_EQ(sim::Narrow(m.MessageBoxes()[0].text), "You need administrator privileges to uninstall Legacy");
}

TEST(PrivilegeChecks, AdministratorOnlyWhenElevatedAndLookedUpOnce) {
    struct Case {
        sim::Token token;
        bool uac;
        bool expected;
    };
    const Case cases[] = {
        {{.administrator = true, .elevated = true}, true, true},
        {{.administrator = true, .elevated = false}, true, false},
        {{.administrator = true, .elevated = false}, false, true},
        {{.administrator = false, .elevated = false}, false, false},
    };
    for (const Case& c : cases) {
        Machine m;
        m.SetUacEnabled(c.uac);
        win::BOOL first = 0;
        win::BOOL second = 0;
        m.Run({.command_line = u"C:\\Tests\\host.exe", .token = c.token}, [&] {
            dismora::TLookedUpFunctions looked_up;
            first = IsAdministrator(looked_up);
            second = IsAdministrator(looked_up);
        });
        EXPECT_EQ(first != 0, c.expected);
        EXPECT_EQ(second != 0, c.expected);
        EXPECT_EQ(m.ProcLookups("CheckTokenMembership"), 1);
        EXPECT_EQ(m.CallCount("AllocateAndInitializeSid"), 2u);
        EXPECT_EQ(m.LiveSids(), 0);
    }
}

TEST(PrivilegeChecks, MissingMembershipFunctionMeansNoAndIsLookedUpAgain) {
    Machine m;
    m.SetExportMissing("CheckTokenMembership");
    win::BOOL result = 1;
    m.Run({.command_line = u"C:\\Tests\\host.exe"}, [&] {
        dismora::TLookedUpFunctions looked_up;
        result = IsAdministrator(looked_up);
        result |= IsAdministrator(looked_up);
    });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(m.ProcLookups("CheckTokenMembership"), 2);
    EXPECT_EQ(m.LiveSids(), 0);

    Machine failing;
    failing.FailCall("AllocateAndInitializeSid", 1, win::ERROR_NOT_ENOUGH_MEMORY);
    failing.Run({.command_line = u"C:\\Tests\\host.exe"}, [&] {
        dismora::TLookedUpFunctions looked_up;
        result = IsAdministrator(looked_up);
    });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(failing.ProcLookups("CheckTokenMembership"), 0);
}

}  // namespace
}  // namespace dismora
