// The component section: only files that are about to go are unregistered, COM
// servers through regsvr32 and type libraries through UnRegisterTypeLib.
#include <gtest/gtest.h>

#include <random>

#include "actions/components.h"
#include "actions/removal_list.h"
#include "environment/text.h"
#include "environment/well_known_folders.h"
#include "support/invariant.h"
#include "support/log_builder.h"
#include "support/sim.h"
#include "support/scenario.h"

namespace dismora {
namespace {

using sim::Machine;
using test::LogBuilder;

const std::u16string kRegsvr32 = u"C:\\Windows\\system32\\regsvr32.exe";

class ComponentsTest : public ::testing::Test {
protected:
    void SetUp() override {
        m.InstallDismora(kExe);
        m.SetSystemFolder(u"C:\\Windows\\system32");
        m.InstallProgram(kRegsvr32, {.exit_code = 0, .run_ms = 50});
    }

    void RunLog() {
        m.WriteFile(kLog, log.Bytes());
        sim::SafetyCheck m_safety(m, kLog);
        m.RunProgram({.command_line = u"\"" + kExe + u"\" \"" + kLog + u"\" /temp /silent", .module_path = kExe});
        EXPECT_EQ(m_safety.Report(m), "");
    }

    std::vector<std::string> Regsvr32CommandLines() const {
        std::vector<std::string> lines;
        for (const auto& start : m.Starts()) {
            if (start.application_name && SameFileName(*start.application_name, kRegsvr32)) {
                lines.push_back(sim::Narrow(start.command_line));
            }
        }
        return lines;
    }

    Machine m;
    LogBuilder log;
};

TEST_F(ComponentsTest, OnlyComponentsThatAreAboutToGo) {
    for (const char16_t* name : {u"C:\\App\\Shared.dll", u"C:\\App\\Own.dll", u"C:\\App\\VIEWER.OCX",
                                 u"C:\\App\\tool.exe", u"C:\\App\\old.olb", u"C:\\Tools.New\\viewer"}) {
        m.WriteFile(name, "MZ");
    }
    m.SetDword(kShared, u"C:\\App\\Shared.dll", 3);
    log.files = {"C:\\App\\Shared.dll", "C:\\App\\Own.dll", "C:\\App\\VIEWER.OCX", "C:\\App\\tool.exe",
                 "C:\\App\\old.olb", "C:\\Tools.New\\viewer"};
    log.components = {"C:\\App\\Shared.dll", "c:\\app\\own.DLL", "C:\\App\\viewer.ocx", "C:\\App\\tool.exe",
                      "C:\\App\\old.olb", "C:\\Tools.New\\viewer", "C:\\App\\NotListed.dll", "C:\\App\\Own.dll"};
    RunLog();
    EXPECT_EQ(Regsvr32CommandLines(),
              (std::vector<std::string>{"regsvr32 /u /s \"C:\\App\\Own.dll\"", "regsvr32 /u /s \"C:\\App\\VIEWER.OCX\"",
                                        "regsvr32 /u /s \"C:\\App\\Own.dll\""}));
    for (const auto& start : m.Starts()) {
        EXPECT_EQ(start.startup_cb, sizeof(win::STARTUPINFOW));
        EXPECT_FALSE(start.current_folder.has_value());
    }
    EXPECT_TRUE(m.Exists(u"C:\\App\\Shared.dll"));
    EXPECT_FALSE(m.Exists(u"C:\\App\\Own.dll"));
    EXPECT_FALSE(m.Exists(u"C:\\App\\VIEWER.OCX"));
    EXPECT_FALSE(m.Exists(u"C:\\Tools.New"));
    EXPECT_TRUE(m.TypeLibUnregistrations().empty());
}

TEST_F(ComponentsTest, HangingServerIsLeftRunningAfterTenSeconds) {
    m.InstallProgram(kRegsvr32, {.never_ends = true});
    m.WriteFile(u"C:\\App\\a.dll", "MZ");
    m.WriteFile(u"C:\\App\\b.dll", "MZ");
    log.files = {"C:\\App\\a.dll", "C:\\App\\b.dll"};
    log.components = {"C:\\App\\a.dll", "C:\\App\\b.dll"};
    RunLog();
    ASSERT_EQ(Regsvr32CommandLines().size(), 2u);
    std::vector<win::DWORD> timeouts;
    for (const auto& wait : m.Waits()) {
        if (wait.target_pid != 0) timeouts.push_back(wait.timeout);
    }
    EXPECT_EQ(timeouts, (std::vector<win::DWORD>{10000, 10000}));
    for (const auto& wait : m.Waits()) {
        if (wait.target_pid != 0) EXPECT_EQ(wait.result, win::WAIT_TIMEOUT);
    }
    EXPECT_FALSE(m.Exists(u"C:\\App\\a.dll"));
    EXPECT_TRUE(m.Leaks().empty());
}

TEST_F(ComponentsTest, ServerThatCannotBeStartedIsPassedOver) {
    m.InstallProgram(kRegsvr32, {.start_error = win::ERROR_FILE_NOT_FOUND});
    m.WriteFile(u"C:\\App\\a.dll", "MZ");
    log.files = {"C:\\App\\a.dll"};
    log.components = {"C:\\App\\a.dll"};
    RunLog();
    EXPECT_FALSE(m.Exists(u"C:\\App\\a.dll"));
}

TEST_F(ComponentsTest, TypeLibraries) {
    sim::TypeLibrary types;
    types.guid = {0x12345678, 0x1234, 0x5678, {1, 2, 3, 4, 5, 6, 7, 8}};
    types.major = 2;
    types.minor = 3;
    types.lcid = 0x409;
    types.syskind = win::SYS_WIN32;
    m.InstallTypeLibrary(u"C:\\App\\TYPES.TLB", types);
    sim::TypeLibrary broken;
    broken.load_error = static_cast<win::HRESULT>(0x80029C4Au);
    m.InstallTypeLibrary(u"C:\\App\\broken.tlb", broken, false);
    sim::TypeLibrary no_attributes = types;
    no_attributes.lib_attr_error = static_cast<win::HRESULT>(0x8007000Eu);
    m.InstallTypeLibrary(u"C:\\App\\noattr.tlb", no_attributes, false);
    log.files = {"C:\\App\\TYPES.TLB", "C:\\App\\broken.tlb", "C:\\App\\noattr.tlb"};
    log.components = {"C:\\App\\types.tlb", "C:\\App\\broken.tlb", "C:\\App\\noattr.tlb"};
    RunLog();
    ASSERT_EQ(m.TypeLibUnregistrations().size(), 1u);
    const auto& call = m.TypeLibUnregistrations()[0];
    EXPECT_EQ(call.guid.Data1, 0x12345678u);
    EXPECT_EQ(call.major, 2);
    EXPECT_EQ(call.minor, 3);
    EXPECT_EQ(call.lcid, 0x409u);
    EXPECT_EQ(call.syskind, win::SYS_WIN32);
    EXPECT_EQ(m.ProcLookups("UnRegisterTypeLib"), 1);
    EXPECT_EQ(m.LiveTypeLibs(), 0);
    EXPECT_EQ(m.LiveTypeLibAttrs(), 0);
    EXPECT_FALSE(m.Exists(u"C:\\App\\TYPES.TLB"));
    EXPECT_FALSE(m.Exists(u"C:\\App\\broken.tlb"));
    EXPECT_TRUE(Regsvr32CommandLines().empty());
}

TEST_F(ComponentsTest, MissingExportSkipsTypeLibrariesAndIsLookedUpOnce) {
    m.SetExportMissing("UnRegisterTypeLib");
    m.InstallTypeLibrary(u"C:\\App\\a.tlb", {});
    m.InstallTypeLibrary(u"C:\\App\\b.tlb", {});
    log.files = {"C:\\App\\a.tlb", "C:\\App\\b.tlb"};
    log.components = {"C:\\App\\a.tlb", "C:\\App\\b.tlb"};
    RunLog();
    EXPECT_TRUE(m.TypeLibUnregistrations().empty());
    EXPECT_EQ(m.ProcLookups("UnRegisterTypeLib"), 1);
    EXPECT_EQ(m.CallCount("LoadTypeLib"), 0u);
    EXPECT_FALSE(m.Exists(u"C:\\App\\a.tlb"));
}

// The index must give exactly the first node a walk from the head would give.
TEST(RemovalIndex, SameFirstMatchAsAWalk) {
    Machine m;
    std::mt19937 random(20261208);
    const std::u16string stems[] = {u"C:\\App\\a.dll", u"C:\\App\\\u00e9t\u00e9.ocx", u"C:\\App\\\u0436.tlb",
                                    u"C:\\Other\\b.dll", u"D:\\x\\\u00df.dll"};
    auto vary = [&](std::u16string text) {
        for (char16_t& c : text) {
            if (random() % 2 == 0) continue;
            if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
            if (c == u'\u00e9') c = u'\u00c9';
            if (c == u'\u0436') c = u'\u0416';
        }
        return text;
    };
    m.Run({.command_line = u"C:\\Tests\\host.exe"}, [&] {
        for (int round = 0; round < 50; ++round) {
            RemovalList list;
            const int size = static_cast<int>(random() % 12);
            for (int i = 0; i < size; ++i) list.Append(vary(stems[random() % 5]));
            RemovalIndex index(list);
            for (int probe = 0; probe < 10; ++probe) {
                std::u16string wanted = vary(stems[random() % 5]);
                if (probe == 0) wanted += u"x";
                const TDismoraFile* walked = nullptr;
                for (const TDismoraFile* node = list.Head(); node != nullptr; node = node->Next) {
                    if (CompareLocaleNoCase(node->Path, wanted) == 0) {
                        walked = node;
                        break;
                    }
                }
                EXPECT_EQ(index.Find(wanted), walked) << sim::Narrow(wanted);
            }
        }
    });
}

}  // namespace
}  // namespace dismora
