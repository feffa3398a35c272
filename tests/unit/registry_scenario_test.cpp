// The registry and association sections on a simulated machine.
#include <gtest/gtest.h>

#include "actions/registry_removal.h"
#include "support/invariant.h"
#include "support/log_builder.h"
#include "support/sim.h"
#include "support/scenario.h"

namespace dismora {
namespace {

using sim::Machine;
using test::LogBuilder;


void RunOn(Machine& machine, const LogBuilder& log) {
    machine.InstallDismora(kExe);
    machine.WriteFile(kLog, log.Bytes());
    sim::SafetyCheck machine_safety(machine, kLog);
    machine.RunProgram({.command_line = u"\"" + kExe + u"\" \"" + kLog + u"\" /temp /silent", .module_path = kExe});
    EXPECT_EQ(machine_safety.Report(machine), "");
}

// Changes to keys and values, less the run's own trace: its file scheduled at restart.
std::vector<sim::Change> RegistryChanges(const sim::Snapshot& before, const sim::Snapshot& after) {
    std::vector<sim::Change> changes;
    for (const auto& change : sim::Diff(before, after)) {
        if (change.what != sim::Change::What::kKey && change.what != sim::Change::What::kValue) continue;
        if (change.path.find(u"PendingFileRenameOperations") != std::u16string::npos) continue;
        changes.push_back(change);
    }
    return changes;
}

TEST(RegistryEntryLine, Splitting) {
    struct Case {
        std::u16string line;
        std::u16string root, key, value;
    };
    const Case cases[] = {
        {u"HKEY_LOCAL_MACHINE\\Software\\App\tSetting", u"HKEY_LOCAL_MACHINE", u"Software\\App", u"Setting"},
        {u"HKEY_LOCAL_MACHINE\\Software\\App\t", u"HKEY_LOCAL_MACHINE", u"Software\\App", u""},
        {u"HKEY_LOCAL_MACHINE\\Software\\App", u"HKEY_LOCAL_MACHINE", u"Software\\App", u""},
        {u"HKEY_LOCAL_MACHINE", u"HKEY_LOCAL_MACHINE", u"", u""},
        {u"HKEY_CURRENT_USER\\A\tb\tc", u"HKEY_CURRENT_USER", u"A", u"b\tc"},
        {u"HKEY_CURRENT_USER\\A\t *", u"HKEY_CURRENT_USER", u"A", u" *"},
        {u"HKEY_AUTO\\\t*", u"HKEY_AUTO", u"", u"*"},
        {u"Root\tx\\y\tz", u"Root\tx", u"y", u"z"},
        {u"", u"", u"", u""},
    };
    for (const Case& c : cases) {
        TRegistryEntry entry = SplitRegistryEntry(c.line);
        EXPECT_EQ(entry.root_name, c.root);
        EXPECT_EQ(entry.key_path, c.key);
        EXPECT_EQ(entry.value_field, c.value);
    }
}

TEST(RegistryRemoval, ValuesDefaultValuesAndWholeKeys) {
    Machine m;
    m.SetString(u"HKCU\\Software\\App", u"", u"default");
    m.SetString(u"HKCU\\Software\\App", u"Setting", u"1");
    m.SetString(u"HKCU\\Software\\App", u"Other", u"2");
    m.SetString(u"HKCU\\Software\\App\\Deep\\Deeper", u"x", u"y");
    m.SetString(u"HKCU\\Software\\Neighbour", u"keep", u"k");
    m.SetString(u"HKCU\\TopApp", u"kept", u"value");
    m.SetString(u"HKCU\\TopApp\\Sub\\Sub2", u"x", u"y");
    m.SetString(u"HKLM\\Software\\Vendor\\Tool", u"Setting", u"1");
    m.SetString(u"HKLM\\Software\\Vendor\\Tool", u"Keep", u"1");
    m.SetString(u"HKLM\\Software\\Vendor\\Tool", u"", u"d");
    m.SetString(u"HKLM\\Software\\Vendor\\Tool", u" *", u"odd name");
    m.SetString(u"HKLM\\Software\\Vendor\\Tool", u"**", u"odd name");
    m.SetString(u"HKLM\\Software\\Vendor\\Tool\\Child", u"c", u"c");
    m.SetString(u"HKLM\\Software\\Vendor\\Abbrev", u"v", u"v");
    LogBuilder log;
    log.scope = "CURRENT";
    log.registry = {
        "HKEY_CURRENT_USER\\Software\\App\t*",
        "HKEY_CURRENT_USER\\TopApp\t*",
        "hkey_local_machine\\Software\\Vendor\\Tool\tSetting",
        "HKEY_LOCAL_MACHINE\\Software\\Vendor\\Tool",
        "HKEY_LOCAL_MACHINE\\Software\\Vendor\\Tool\t *",
        "HKEY_LOCAL_MACHINE\\Software\\Vendor\\Tool\t**",
        "HKLM\\Software\\Vendor\\Abbrev\t*",
        "HKEY_LOCAL_MACHINE\\Software\\Vendor\\Missing\t*",
        "HKEY_WHATEVER\\Software\\Vendor\\Abbrev\tv",
    };
    RunOn(m, log);
    EXPECT_FALSE(m.KeyExists(u"HKCU\\Software\\App"));
    EXPECT_TRUE(m.KeyExists(u"HKCU\\Software\\Neighbour"));
    EXPECT_TRUE(m.KeyExists(u"HKCU\\TopApp"));
    EXPECT_EQ(m.GetString(u"HKCU\\TopApp", u"kept"), u"value");
    EXPECT_TRUE(m.Subkeys(u"HKCU\\TopApp").empty());
    EXPECT_EQ(m.ValueNames(u"HKLM\\Software\\Vendor\\Tool"), std::vector<std::u16string>{u"Keep"});
    EXPECT_TRUE(m.KeyExists(u"HKLM\\Software\\Vendor\\Tool\\Child"));
    EXPECT_TRUE(m.GetString(u"HKLM\\Software\\Vendor\\Abbrev", u"v").has_value());
}

TEST(RegistryRemoval, RootsByScope) {
    struct Case {
        const char* scope;
        bool machine_wide;
    };
    for (const Case& c : {Case{"ALL", true}, Case{"CURRENT", false}}) {
        SCOPED_TRACE(c.scope);
        Machine m;
        for (const char16_t* root : {u"HKLM", u"HKCU"}) {
            m.SetString(std::u16string(root) + u"\\Software\\Vendor\\Auto", u"v", u"1");
            m.SetString(std::u16string(root) + u"\\Software\\Classes\\Vendor.Doc", u"v", u"1");
            m.SetString(std::u16string(root) + u"\\Software\\Vendor\\Values", u"v", u"1");
            m.SetString(std::u16string(root) + u"\\Software\\Classes\\.vdoc", u"", u"Vendor.Doc");
            m.SetString(std::u16string(root) + u"\\Software\\Classes\\Vendor.Doc\\shell\\open\\command", u"", u"v.exe");
        }
        LogBuilder log;
        log.scope = c.scope;
        log.registry = {"HKEY_AUTO\\Software\\Vendor\\Auto\t*", "HKEY_CLASSES_ROOT\\Vendor.Doc\tv",
                        "HKEY_AUTO\\Software\\Vendor\\Values\tv"};
        log.associations = {".vdoc", "", "", "", "", "open", "", "v.exe", "%"};
        RunOn(m, log);
        EXPECT_EQ(m.KeyExists(u"HKLM\\Software\\Vendor\\Auto"), !c.machine_wide);
        EXPECT_EQ(m.KeyExists(u"HKCU\\Software\\Vendor\\Auto"), c.machine_wide);
        EXPECT_EQ(m.GetString(u"HKLM\\Software\\Classes\\Vendor.Doc", u"v").has_value(), !c.machine_wide);
        EXPECT_EQ(m.GetString(u"HKCU\\Software\\Classes\\Vendor.Doc", u"v").has_value(), c.machine_wide);
        EXPECT_EQ(m.KeyExists(u"HKLM\\Software\\Classes\\Vendor.Doc\\shell\\open"), !c.machine_wide);
        EXPECT_EQ(m.KeyExists(u"HKCU\\Software\\Classes\\Vendor.Doc\\shell\\open"), c.machine_wide);
        EXPECT_EQ(m.GetString(u"HKLM\\Software\\Vendor\\Values", u"v").has_value(), !c.machine_wide);
        EXPECT_EQ(m.GetString(u"HKCU\\Software\\Vendor\\Values", u"v").has_value(), c.machine_wide);
        // Each key is opened for exactly what is done with it, and never in the 64- or 32-bit
        // view: the keys only read to query values, the per-user classes root and the counts
        // to read and write, every key it changes for all access.
        int reads = 0, reads_and_writes = 0, changes = 0;
        for (const sim::KeyOpenRecord& open : m.KeyOpens()) {
            const std::u16string_view key = open.key;
            auto ends = [&](std::u16string_view tail) {
                return key.size() >= tail.size() && key.substr(key.size() - tail.size()) == tail;
            };
            win::REGSAM expected = win::KEY_ALL_ACCESS;
            if (key == u"HKEY_CURRENT_USER\\Software\\Classes" || ends(u"\\SharedDLLs")) {
                expected = win::KEY_READ | win::KEY_WRITE;
            } else if (ends(u"\\CurrentVersion") || ends(u"\\Shell Folders") || ends(u"\\Policies\\System") ||
                       ends(u"\\Session Manager")) {
                expected = win::KEY_QUERY_VALUE;
            }
            EXPECT_EQ(open.access, expected) << sim::Narrow(open.key);
            ++(expected == win::KEY_ALL_ACCESS ? changes : expected == win::KEY_QUERY_VALUE ? reads : reads_and_writes);
        }
        EXPECT_GT(reads, 0);
        EXPECT_GT(reads_and_writes, 0);
        EXPECT_GT(changes, 0);
    }
}

TEST(RegistryRemoval, UserHivesEachLoseTheEntry) {
    Machine m;
    const std::u16string hives[] = {u".DEFAULT", m.UserSid(), u"S-1-5-21-1-2-3-1002"};
    m.AddUserHive(hives[2]);
    for (const auto& hive : hives) {
        m.SetString(u"HKU\\" + hive + u"\\Software\\Vendor\\App", u"v", u"1");
        m.SetString(u"HKU\\" + hive + u"\\Software\\Vendor\\Val", u"gone", u"1");
        m.SetString(u"HKU\\" + hive + u"\\Software\\Vendor\\Val", u"kept", u"1");
    }
    LogBuilder log;
    log.registry = {"HKEY_USERS\\Software\\Vendor\\App\t*", "HKEY_USERS\\Software\\Vendor\\Val\tgone"};
    RunOn(m, log);
    for (const auto& hive : hives) {
        SCOPED_TRACE(sim::Narrow(hive));
        EXPECT_FALSE(m.KeyExists(u"HKU\\" + hive + u"\\Software\\Vendor\\App"));
        EXPECT_EQ(m.ValueNames(u"HKU\\" + hive + u"\\Software\\Vendor\\Val"), std::vector<std::u16string>{u"kept"});
    }
}

TEST(RegistryRemoval, WholeKeyEntriesThatNoInstallationOwnsAreRefused) {
    const char* roots[] = {"HKEY_LOCAL_MACHINE", "HKEY_CURRENT_USER", "HKEY_AUTO", "HKEY_USERS"};
    const char* paths[] = {"", "\\", "\\\\", "Software", "software\\", "SOFTWARE\\Microsoft", "Software\\Classes",
                           "Software\\Classes\\CLSID", "Software\\Classes\\*", "Software\\Microsoft\\Windows\\CurrentVersion",
                           "Software\\Policies", "System", "System\\CurrentControlSet", "Control Panel", "Environment",
                           "Software\\Wow6432Node", "Software\\Microsoft\\Windows NT\\CurrentVersion\\",
                           "System\\ControlSet001", "system\\controlset002\\Services",
                           "Software\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall",
                           "Software\\Wow6432Node\\Classes", "Software\\Classes\\Wow6432Node\\CLSID"};
    for (const char* root : roots) {
        for (const char* path : paths) {
            SCOPED_TRACE(std::string(root) + "\\" + path);
            Machine m;
            m.SetString(u"HKLM\\Software\\Vendor\\App", u"v", u"1");
            m.SetString(u"HKCU\\Software\\Vendor\\App", u"v", u"1");
            m.SetString(u"HKLM\\Software\\Classes\\CLSID\\{1}", u"v", u"1");
            m.SetString(u"HKCU\\Environment", u"PATH", u"C:\\x");
            m.SetString(u"HKLM\\System\\CurrentControlSet\\Services\\X", u"v", u"1");
            m.SetString(u"HKLM\\System\\ControlSet001\\Services\\X", u"v", u"1");
            m.SetString(u"HKLM\\System\\ControlSet002\\Services\\X", u"v", u"1");
            m.SetString(u"HKLM\\Software\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\X", u"v", u"1");
            m.SetString(u"HKLM\\Software\\Classes\\Wow6432Node\\CLSID\\{1}", u"v", u"1");
            sim::Snapshot before = m.TakeSnapshot();
            LogBuilder log;
            log.registry = {std::string(root) + "\\" + path + "\t*"};
            RunOn(m, log);
            EXPECT_EQ(sim::ToString(RegistryChanges(before, m.TakeSnapshot())), "");
        }
    }
    // Each user's classes are a hive of their own under HKEY_USERS, with these at its top.
    for (const char* root : {"HKEY_CLASSES_ROOT", "HKEY_USERS"}) {
        for (const char* path : {"CLSID", "clsid\\", "Interface", "TypeLib", "AppID", "*", "Directory", "Folder", "",
                                 "Wow6432Node", "wow6432node\\CLSID", "Wow6432Node\\Interface\\"}) {
            SCOPED_TRACE(std::string(root) + "\\" + path);
            Machine m;
            for (const char16_t* classes : {u"HKCR", u"HKCU\\Software\\Classes"}) {
                const std::u16string at = std::u16string(classes) + u"\\";
                for (const char16_t* key :
                     {u"CLSID\\{1}", u"Interface\\{2}", u"TypeLib\\{3}", u"Folder\\shell", u"*\\shellex",
                      u"Wow6432Node\\CLSID\\{1}", u"Wow6432Node\\Interface\\{2}"}) {
                    m.SetString(at + key, u"v", u"1");
                }
            }
            sim::Snapshot before = m.TakeSnapshot();
            LogBuilder log;
            log.registry = {std::string(root) + "\\" + path + "\t*"};
            RunOn(m, log);
            EXPECT_EQ(sim::ToString(RegistryChanges(before, m.TakeSnapshot())), "");
        }
    }
    // A vendor's own key below those still goes, under any of its names.
    const std::pair<const char*, const char16_t*> owned[] = {
        {"HKEY_CURRENT_USER\\Software\\Vendor\\App", u"HKCU\\Software\\Vendor\\App"},
        {"HKEY_CLASSES_ROOT\\CLSID\\{1}", u"HKCR\\CLSID\\{1}"},
        {"HKEY_CLASSES_ROOT\\Wow6432Node\\CLSID\\{2}", u"HKCR\\Wow6432Node\\CLSID\\{2}"},
        {"HKEY_LOCAL_MACHINE\\Software\\Classes\\.ext", u"HKLM\\Software\\Classes\\.ext"},
        {"HKEY_LOCAL_MACHINE\\Software\\Classes\\CLSID\\{3}", u"HKLM\\Software\\Classes\\CLSID\\{3}"},
        {"HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\App",
         u"HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\App"},
        {"HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\app.exe",
         u"HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\app.exe"},
        {"HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\MyService",
         u"HKLM\\System\\CurrentControlSet\\Services\\MyService"},
        {"HKEY_LOCAL_MACHINE\\System\\ControlSet001\\Services\\MyService",
         u"HKLM\\System\\ControlSet001\\Services\\MyService"},
        {"HKEY_LOCAL_MACHINE\\Software\\Wow6432Node\\Vendor\\App", u"HKLM\\Software\\Wow6432Node\\Vendor\\App"},
        {"HKEY_USERS\\CLSID\\{4}", u"HKCU\\Software\\Classes\\CLSID\\{4}"},
    };
    Machine m;
    LogBuilder log;
    for (const auto& [line, key] : owned) {
        m.SetString(key, u"v", u"1");
        log.registry.push_back(std::string(line) + "\t*");
    }
    RunOn(m, log);
    for (const auto& [line, key] : owned) EXPECT_FALSE(m.KeyExists(key)) << line;
    EXPECT_TRUE(m.KeyExists(u"HKCR\\CLSID"));
    EXPECT_TRUE(m.KeyExists(u"HKCU\\Software\\Classes\\CLSID"));
}

TEST(RegistryRemoval, KeysThatCannotBeOpenedOrDeleted) {
    Machine m;
    m.SetString(u"HKLM\\Software\\Vendor\\Locked", u"v", u"1");
    m.DenyWrite(u"HKLM\\Software\\Vendor\\Locked");
    m.SetString(u"HKLM\\Software\\Vendor\\App\\A", u"v", u"1");
    m.SetString(u"HKLM\\Software\\Vendor\\App\\Stuck\\Inner", u"v", u"1");
    m.SetString(u"HKLM\\Software\\Vendor\\App\\Z", u"v", u"1");
    m.DenyWrite(u"HKLM\\Software\\Vendor\\App\\Stuck");
    m.DenyDelete(u"HKLM\\Software\\Vendor\\App\\Stuck");
    LogBuilder log;
    log.registry = {"HKEY_LOCAL_MACHINE\\Software\\Vendor\\Locked\tv", "HKEY_LOCAL_MACHINE\\Software\\Vendor\\App\t*"};
    m.SetCallBudget(100000);
    RunOn(m, log);
    EXPECT_TRUE(m.GetString(u"HKLM\\Software\\Vendor\\Locked", u"v").has_value());
    EXPECT_EQ(m.Subkeys(u"HKLM\\Software\\Vendor\\App"), std::vector<std::u16string>{u"Stuck"});
    EXPECT_TRUE(m.KeyExists(u"HKLM\\Software\\Vendor\\App\\Stuck\\Inner"));
    EXPECT_TRUE(m.Violations().empty());
}

// One association block: extension, previous and installed description and icon,
// then verb records, then "%".
std::vector<std::string> Block(const std::string& extension, const std::string& previous_description,
                               const std::string& installed_description, const std::string& previous_icon,
                               const std::string& installed_icon, const std::vector<std::string>& verbs) {
    std::vector<std::string> lines = {extension, previous_description, installed_description, previous_icon,
                                      installed_icon};
    lines.insert(lines.end(), verbs.begin(), verbs.end());
    lines.push_back("%");
    return lines;
}

class AssociationTest : public ::testing::Test {
protected:
    void SetUp() override {
        m.SetString(u"HKCR\\.kel", u"", u"Kelvane.Doc");
        m.SetString(u"HKCR\\Kelvane.Doc", u"", u"Kelvane Document");
        m.SetString(u"HKCR\\Kelvane.Doc\\DefaultIcon", u"", u"C:\\App\\kel.exe,1");
        m.SetString(u"HKCR\\Kelvane.Doc\\shell\\open\\command", u"", u"\"C:\\App\\kel.exe\" \"%1\"");
        m.SetString(u"HKCR\\Kelvane.Doc\\shell\\print\\command", u"", u"\"C:\\Other\\print.exe\" \"%1\"");
        m.SetString(u"HKCR\\Kelvane.Doc\\shell\\edit\\command", u"", u"\"C:\\App\\\u00c9DIT.exe\" \"%1\"");
        m.SetString(u"HKCR\\Kelvane.Doc\\shell\\edit\\ddeexec", u"", u"[open]");
        m.SetString(u"HKCR\\Kelvane.Doc\\shell\\view\\command", u"", u"C:\\App\\view.exe");
    }
    Machine m;
};

TEST_F(AssociationTest, RestoresOnlyWhatStillHoldsTheInstalledValue) {
    m.SetString(u"HKCR\\Kelvane.Doc\\shell", u"", u"open");
    m.SetString(u"HKCR\\Kelvane.Doc\\shell\\command", u"", u"C:\\App\\shell.exe");
    LogBuilder log;
    log.associations = Block(".kel", "Old Document", "KELVANE document", "C:\\Old\\old.exe,0", "C:\\App\\kel.exe,1",
                             {"open", "%SystemRoot%\\old.exe \"%1\"", "\"C:\\App\\kel.exe\" \"%1\"",     //
                              "print", "C:\\Old\\print.exe", "\"C:\\App\\kel.exe\" /p \"%1\"",          // changed since
                              "edit", "", "\"c:\\app\\\xC3\xA9" "dit.exe\" \"%1\"",                       // case differs
                              "", "", "C:\\App\\shell.exe", "\\", "", "C:\\App\\shell.exe",             // name no verb
                              "view", "", "C:\\App\\view.exe",                                           //
                              "missing", "x", "y"});
    RunOn(m, log);
    auto description = m.GetValue(u"HKCR\\Kelvane.Doc", u"");
    ASSERT_TRUE(description.has_value());
    EXPECT_EQ(description->type, win::REG_SZ);
    EXPECT_EQ(m.GetString(u"HKCR\\Kelvane.Doc", u""), u"Old Document");
    EXPECT_EQ(description->data.size(), (std::u16string(u"Old Document").size() + 1) * 2);
    EXPECT_EQ(m.GetString(u"HKCR\\Kelvane.Doc\\DefaultIcon", u""), u"C:\\Old\\old.exe,0");
    auto open = m.GetValue(u"HKCR\\Kelvane.Doc\\shell\\open\\command", u"");
    ASSERT_TRUE(open.has_value());
    EXPECT_EQ(open->type, win::REG_EXPAND_SZ);
    EXPECT_EQ(m.GetString(u"HKCR\\Kelvane.Doc\\shell\\open\\command", u""), u"%SystemRoot%\\old.exe \"%1\"");
    EXPECT_EQ(m.GetString(u"HKCR\\Kelvane.Doc\\shell\\print\\command", u""), u"\"C:\\Other\\print.exe\" \"%1\"");
    // An emptied verb goes, unless it still has other subkeys.
    EXPECT_FALSE(m.KeyExists(u"HKCR\\Kelvane.Doc\\shell\\edit\\command"));
    EXPECT_TRUE(m.KeyExists(u"HKCR\\Kelvane.Doc\\shell\\edit\\ddeexec"));
    EXPECT_FALSE(m.KeyExists(u"HKCR\\Kelvane.Doc\\shell\\view"));
    EXPECT_EQ(m.GetString(u"HKCR\\Kelvane.Doc\\shell", u""), u"open");
    EXPECT_EQ(m.GetString(u"HKCR\\Kelvane.Doc\\shell\\command", u""), u"C:\\App\\shell.exe");
    EXPECT_EQ(m.GetString(u"HKCR\\.kel", u""), u"Kelvane.Doc");
}

TEST_F(AssociationTest, EmptyPreviousValues) {
    LogBuilder log;
    log.associations = Block(".kel", "", "Kelvane Document", "", "C:\\App\\kel.exe,1", {});
    RunOn(m, log);
    EXPECT_EQ(m.GetString(u"HKCR\\Kelvane.Doc", u""), u"Kelvane Document");
    EXPECT_FALSE(m.KeyExists(u"HKCR\\Kelvane.Doc\\DefaultIcon"));
    EXPECT_TRUE(m.KeyExists(u"HKCR\\Kelvane.Doc\\shell\\open\\command"));
}

TEST_F(AssociationTest, BlocksThatCannotBeHadArePassedOverToTheirPercentLine) {
    m.SetString(u"HKCR\\.empty", u"", u"");
    m.SetString(u"HKCR\\.dangling", u"", u"No.Such.Type");
    m.SetString(u"HKCR", u"", u"root default");
    LogBuilder log;
    for (const char* extension : {".missing", ".empty", ".dangling"}) {
        auto block = Block(extension, "X", "Y", "Z", "W", {"open", "bad", "\"C:\\App\\kel.exe\" \"%1\""});
        log.associations.insert(log.associations.end(), block.begin(), block.end());
    }
    auto good = Block(".kel", "Restored", "Kelvane Document", "C:\\Old\\i.ico", "C:\\App\\kel.exe,1", {});
    log.associations.insert(log.associations.end(), good.begin(), good.end());
    sim::Snapshot before = m.TakeSnapshot();
    RunOn(m, log);
    EXPECT_EQ(m.GetString(u"HKCR\\Kelvane.Doc", u""), u"Restored");
    EXPECT_EQ(m.GetString(u"HKCR\\Kelvane.Doc\\shell\\open\\command", u""), u"\"C:\\App\\kel.exe\" \"%1\"");
    EXPECT_EQ(m.GetString(u"HKCR", u""), u"root default");
}

TEST_F(AssociationTest, PerUserAssociationsLiveUnderTheUsersClasses) {
    Machine user;
    user.SetString(u"HKCU\\Software\\Classes\\.kel", u"", u"Kelvane.Doc");
    user.SetString(u"HKCU\\Software\\Classes\\Kelvane.Doc", u"", u"Kelvane Document");
    user.SetString(u"HKLM\\Software\\Classes\\.kel", u"", u"Kelvane.Doc");
    user.SetString(u"HKLM\\Software\\Classes\\Kelvane.Doc", u"", u"Kelvane Document");
    LogBuilder log;
    log.scope = "CURRENT";
    log.associations = Block(".kel", "Before", "Kelvane Document", "", "", {});
    RunOn(user, log);
    EXPECT_EQ(user.GetString(u"HKCU\\Software\\Classes\\Kelvane.Doc", u""), u"Before");
    EXPECT_EQ(user.GetString(u"HKLM\\Software\\Classes\\Kelvane.Doc", u""), u"Kelvane Document");
}

TEST_F(AssociationTest, LogEndingInsideAPassedOverBlockStillCompletes) {
    m.WriteFile(u"C:\\App\\a.txt", "a");
    LogBuilder log;
    log.files = {"C:\\App\\a.txt"};
    log.associations = {".missing", "X", "Y"};
    std::string bytes = log.Bytes();
    bytes.resize(bytes.find("Y\r\n") + 3);
    m.InstallDismora(kExe);
    m.WriteFile(kLog, bytes);
    sim::SafetyCheck m_safety(m, kLog);
    m.RunProgram({.command_line = u"\"" + kExe + u"\" \"" + kLog + u"\" /temp /silent", .module_path = kExe});
    EXPECT_EQ(m_safety.Report(m), "");
    EXPECT_FALSE(m.Exists(u"C:\\App\\a.txt"));
    EXPECT_FALSE(m.Exists(kLog));
}

}  // namespace
}  // namespace dismora
