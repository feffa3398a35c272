// The checker's plan against the uninstaller itself: for one log per section, the plan
// is read first, then the uninstaller runs on the same log on the simulated machine, and
// what the plan says must be exactly what happened.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "check/plan.h"
#include "environment/well_known_folders.h"
#include "support/invariant.h"
#include "support/log_builder.h"
#include "support/sim.h"
#include "support/sim_fixture.h"

namespace dismora::check {
namespace {

using sim::Machine;
using win::DWORD;

const std::u16string kExe = u"C:\\App\\Dismora.exe";
const std::u16string kLog = u"C:\\Setup\\Kelvane.log";
const std::u16string kRegsvr32 = u"C:\\Windows\\system32\\regsvr32.exe";

std::u16string Upper(std::u16string text) {
    for (char16_t& c : text) {
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 0x20);
    }
    return text;
}

bool SameIgnoringCase(const std::u16string& a, const std::u16string& b) {
    return Upper(a) == Upper(b);
}

// True when the key path is the other one or lies below it.
bool AtOrBelow(const std::u16string& key, const std::u16string& top) {
    const std::u16string k = Upper(key);
    const std::u16string t = Upper(top);
    return k == t || (k.size() > t.size() && k.compare(0, t.size(), t) == 0 && k[t.size()] == u'\\');
}

std::string Log(const std::vector<std::string>& body, const std::string& scope = "ALL") {
    std::vector<std::string> lines = {"4", scope, "Tool"};
    for (int i = 0; i < 6; ++i) lines.push_back("ignored");
    lines.insert(lines.end(), {"Remove %s?", "All of it.", "Sure?", "%s was removed.", "Restart", "to finish.",
                               "Administrator rights are needed."});
    lines.insert(lines.end(), body.begin(), body.end());
    std::string text;
    for (const std::string& line : lines) text += line + "\r\n";
    return text;
}

std::string WithNul(std::string text) {
    std::replace(text.begin(), text.end(), '|', '\0');
    return text;
}

// A fresh simulated machine with the uninstaller beside its log and regsvr32 in place.
class Bench {
public:
    Bench() {
        m.InstallDismora(kExe);
        m.SetSystemFolder(u"C:\\Windows\\system32");
        m.InstallProgram(kRegsvr32, {.exit_code = 0, .run_ms = 5});
    }
    Bench(const Bench&) = delete;
    Bench& operator=(const Bench&) = delete;
    ~Bench() { EXPECT_TRUE(m.Violations().empty()) << sim::Join(m.Violations()); }

    // Reads the plan of the log as the checker does.
    Plan PlanOf(const std::string& bytes) {
        m.WriteFile(kLog, bytes);
        Plan plan = BuildPlan(kLog);
        EXPECT_TRUE(m.OpenHandles().empty()) << "the checker left the log open";
        return plan;
    }

    // Then the uninstall run itself on the same log, as the temporary copy, silent.
    void Uninstall() {
        before = m.TakeSnapshot();
        sim::SafetyCheck safety(m, kLog);
        m.RunProgram({.command_line = u"\"" + kExe + u"\" \"" + kLog + u"\" /temp /silent", .module_path = kExe});
        EXPECT_EQ(safety.Report(m), "");
        EXPECT_FALSE(m.Exists(kLog)) << "the uninstall did not run to its end";
    }

    Machine m;
    sim::Snapshot before;
};

// Which listed files go, by the rule the plan states for the shared counts; counts holds
// the stored counts and is left as the run should leave them.
std::set<std::u16string> FilesThatGo(const Plan& plan, std::map<std::u16string, DWORD>& counts) {
    std::set<std::u16string> going;
    for (const FilePlan& file : plan.files) {
        if (file.action != FileAction::kRemoveOrLowerCount) continue;
        // Windows would take a name only up to a 0 character.
        const std::u16string path = Upper(file.path.substr(0, file.path.find(u'\0')));
        auto count = counts.find(path);
        if (count == counts.end()) {
            going.insert(path);
        } else if (count->second <= 1) {
            counts.erase(count);
            going.insert(path);
        } else {
            --count->second;
        }
    }
    return going;
}

constexpr const char16_t* kShared = u"HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs";

// The file section (and the pre-uninstall command): which files go and which counts change.
TEST(CheckAgainstUninstall, FileSection) {
    struct File {
        const char* entry;
        const char16_t* path;  // on the machine
        std::optional<DWORD> count;
    };
    const File files[] = {
        {"C:\\App\\none.dll", u"C:\\App\\none.dll", std::nullopt},
        {"C:\\App\\one.dll", u"C:\\App\\one.dll", 1},
        {"C:\\App\\three.dll", u"C:\\App\\three.dll", 3},
        {"C:\\App\\zero.dll", u"C:\\App\\zero.dll", 0},
        {"C:\\App\\twice.dll", u"C:\\App\\twice.dll", 2},
        {"C:\\App\\cut|x.dll", u"C:\\App\\cut", std::nullopt},
        {"c:\\app\\TWICE.DLL", nullptr, std::nullopt},
        {"C:\\App\\Data\\deep.txt", u"C:\\App\\Data\\deep.txt", std::nullopt},
        {"C:\\App\\last.dll", u"C:\\App\\last.dll", std::nullopt},
    };
    for (bool cut : {false, true}) {
        SCOPED_TRACE(cut ? "the log ends in the file section" : "a whole log");
        Bench bench;
        Machine& m = bench.m;
        m.InstallProgram(u"C:\\Setup\\pre.exe", {.exit_code = 1});
        for (const File& f : files) {
            if (f.path == nullptr) continue;
            m.WriteFile(f.path, "data");
            if (f.count) m.SetDword(kShared, f.path, *f.count);
        }
        std::vector<std::string> body = {"   C:\\Setup\\pre.exe /quiet\t", "0", "0"};
        for (const File& f : files) body.push_back(WithNul(f.entry));
        if (!cut) body.insert(body.end(), {"%%%", "%%%", "%%%", "%%%"});

        Plan plan = bench.PlanOf(Log(body));
        bench.Uninstall();
        std::map<std::u16string, DWORD> counts;
        for (const File& f : files) {
            if (f.path != nullptr && f.count) counts[Upper(f.path)] = *f.count;
        }
        const std::set<std::u16string> going = FilesThatGo(plan, counts);
        ASSERT_FALSE(going.empty());
        for (const File& f : files) {
            if (f.path == nullptr) continue;
            SCOPED_TRACE(test::Utf8(f.path));
            EXPECT_EQ(m.Exists(f.path), going.count(Upper(f.path)) == 0);
            auto stored = m.GetDword(kShared, f.path);
            auto expected = counts.find(Upper(f.path));
            EXPECT_EQ(stored, expected == counts.end() ? std::nullopt : std::optional<DWORD>(expected->second));
        }
        EXPECT_EQ(m.Exists(u"C:\\App\\Data"), going.count(u"C:\\APP\\DATA\\DEEP.TXT") == 0);

        // The pre-uninstall command, as the plan quotes it, is what was started.
        std::vector<std::u16string> started;
        for (const auto& start : m.Starts()) {
            if (start.api == sim::StartApi::kCreateProcess) started.push_back(start.command_line);
        }
        EXPECT_EQ(started, std::vector<std::u16string>{plan.pre_uninstall_command.text});
    }
}

// The registry section, for both install scopes: every key and value the test made is
// gone exactly where an acting entry of the plan names it, and nothing else went.
TEST(CheckAgainstUninstall, RegistrySection) {
    for (const char* scope : {"ALL", "CURRENT"}) {
        SCOPED_TRACE(scope);
        Bench bench;
        Machine& m = bench.m;
        const std::u16string user = u"HKU\\" + m.UserSid();
        const std::u16string other = u"HKU\\S-1-5-21-1-2-3-1002";
        m.AddUserHive(other.substr(4));

        std::vector<std::u16string> keys;  // made by the test, with every parent it had to make
        std::vector<std::pair<std::u16string, std::u16string>> values;
        auto value = [&](const std::u16string& key, const std::u16string& name) {
            std::u16string path;
            std::size_t start = 0;
            while (start <= key.size()) {
                std::size_t end = key.find(u'\\', start);
                if (end == std::u16string::npos) end = key.size();
                path = key.substr(0, end);
                if (start > 0 && !m.KeyExists(path)) {
                    m.CreateKey(path);
                    keys.push_back(path);
                }
                start = end + 1;
            }
            m.SetString(key, name, u"data");
            values.emplace_back(key, name);
        };
        for (const std::u16string& root : {std::u16string(u"HKLM"), user}) {
            value(root + u"\\Software\\Vendor\\Tool", u"");
            value(root + u"\\Software\\Vendor\\Tool", u"Setting");
            value(root + u"\\Software\\Vendor\\Tool\\Deep\\Deeper", u"x");
            value(root + u"\\Software\\Vendor\\Other", u"kept");
            value(root + u"\\Software\\Vendor\\Auto", u"Setting");
            value(root + u"\\Software\\Vendor\\Auto", u"Other");
            value(root + u"\\Software\\Vendor\\Abbrev", u"v");
            value(root + u"\\Software\\Vendor\\Cut", u"v");
            value(root + u"\\TopApp", u"kept");
            value(root + u"\\TopApp\\Sub\\Sub2", u"x");
        }
        for (const std::u16string& classes : {std::u16string(u"HKLM\\Software\\Classes"), user + u"_Classes"}) {
            value(classes + u"\\Vendor.Doc", u"");
            value(classes + u"\\Vendor.Doc\\shell\\open\\command", u"");
            value(classes + u"\\.vdoc", u"");
            value(classes + u"\\.vdoc", u"Content Type");
        }
        for (const std::u16string& hive : {std::u16string(u"HKU\\.DEFAULT"), user, other}) {
            value(hive + u"\\Software\\Vendor\\Everyone", u"flag");
            value(hive + u"\\Software\\Vendor\\Everyone", u"kept");
        }

        std::vector<std::string> body = {"", "0", "0", "%%%"};
        body.insert(body.end(), {
                                    "HKEY_LOCAL_MACHINE\\Software\\Vendor\\Tool\t*",
                                    "HKEY_AUTO\\Software\\Vendor\\Auto\tSetting",
                                    "hkey_current_user\\Software\\Vendor\\Tool\t",
                                    "HKEY_CLASSES_ROOT\\Vendor.Doc\\shell\t*",
                                    "HKEY_CLASSES_ROOT\\.vdoc\tContent Type",
                                    "HKEY_USERS\\Software\\Vendor\\Everyone\tflag",
                                    "HKEY_CURRENT_USER\\TopApp\t*",
                                    "HKLM\\Software\\Vendor\\Abbrev\t*",
                                    "HKEY_LOCAL_MACHINE\\Software\\Microsoft\t*",
                                    "HKEY_CLASSES_ROOT\\CLSID\t*",
                                    WithNul("HKEY_LOCAL_MACHINE\\Software\\Vendor\\Cut|x\tv"),
                                    "HKEY_AUTO\\Software\\Vendor\\Auto\tsetting",
                                    "HKEY_CURRENT_USER\\Software\\Vendor\\Missing\t*",
                                    "%%%",
                                    "%%%",
                                    "%%%",
                                });
        Plan plan = bench.PlanOf(Log(body, scope));
        bench.Uninstall();
        ASSERT_EQ(plan.registry.size(), 13u);

        // Where each acting entry of the plan lands on this machine.
        struct Target {
            std::u16string key;
            const RegistryPlan* entry;
        };
        std::vector<Target> targets;
        for (const RegistryPlan& entry : plan.registry) {
            if (entry.action == RegistryAction::kPassedOverUnknownRoot ||
                entry.action == RegistryAction::kPassedOverUnsafe || entry.action == RegistryAction::kPassedOverNul) {
                continue;
            }
            const bool machine_scope = plan.header.auto_root == RegistryRoot::kLocalMachine;
            std::vector<std::u16string> roots;
            switch (entry.root == RegistryRoot::kAuto ? plan.header.auto_root : entry.root) {
                case RegistryRoot::kLocalMachine:
                    roots = {u"HKLM"};
                    break;
                case RegistryRoot::kCurrentUser:
                    roots = {user};
                    break;
                case RegistryRoot::kClassesRoot:
                    roots = {machine_scope ? u"HKLM\\Software\\Classes" : user + u"_Classes"};
                    break;
                case RegistryRoot::kUsers:
                    for (const std::u16string& hive : m.Subkeys(u"HKU")) roots.push_back(u"HKU\\" + hive);
                    break;
                default:
                    ADD_FAILURE() << "an acting entry without a root";
            }
            for (const std::u16string& root : roots) {
                targets.push_back({root + (entry.entry.key_path.empty() ? u"" : u"\\" + entry.entry.key_path), &entry});
            }
        }
        auto key_goes = [&](const std::u16string& key) {
            for (const Target& t : targets) {
                if (t.entry->action == RegistryAction::kDeleteKey && AtOrBelow(key, t.key)) return true;
                if (t.entry->action == RegistryAction::kEmptyKey && AtOrBelow(key, t.key) &&
                    !SameIgnoringCase(key, t.key)) {
                    return true;
                }
            }
            return false;
        };
        auto value_goes = [&](const std::u16string& key, const std::u16string& name) {
            for (const Target& t : targets) {
                const bool names_value = t.entry->action == RegistryAction::kDeleteValue ||
                                         t.entry->action == RegistryAction::kDeleteDefaultValue;
                if (names_value && SameIgnoringCase(key, t.key) && SameIgnoringCase(name, t.entry->entry.value_field)) {
                    return true;
                }
            }
            return key_goes(key);
        };

        std::size_t keys_going = 0;
        std::size_t values_going = 0;
        for (const std::u16string& key : keys) {
            SCOPED_TRACE(test::Utf8(key));
            const bool goes = key_goes(key);
            keys_going += goes;
            EXPECT_EQ(m.KeyExists(key), !goes);
        }
        for (const auto& [key, name] : values) {
            SCOPED_TRACE(test::Utf8(key + u" [" + name + u"]"));
            const bool goes = value_goes(key, name);
            values_going += goes;
            EXPECT_EQ(m.GetValue(key, name).has_value(), !goes);
        }
        EXPECT_GE(keys_going, 4u);
        EXPECT_GE(values_going, 8u);

        // Nothing but these went anywhere in the registry.
        const sim::Snapshot after = m.TakeSnapshot();
        std::size_t keys_removed = 0;
        std::size_t values_removed = 0;
        for (const auto& [path, spelling] : bench.before.keys) keys_removed += after.keys.count(path) == 0;
        for (const auto& [path, v] : bench.before.values) values_removed += after.values.count(path) == 0;
        EXPECT_EQ(keys_removed, keys_going);
        EXPECT_EQ(values_removed, values_going);
    }
}

// What a file type holds that the association section may change.
struct FileTypeState {
    std::optional<std::u16string> description;
    std::optional<std::u16string> icon;                                 // nullopt: no DefaultIcon key
    std::map<std::u16string, std::optional<sim::RegistryValue>> verbs;  // verb key -> its command value
};

FileTypeState ReadFileType(const Machine& m, const std::u16string& type) {
    FileTypeState state;
    state.description = m.GetString(type, u"");
    if (m.KeyExists(type + u"\\DefaultIcon")) state.icon = m.GetString(type + u"\\DefaultIcon", u"").value_or(u"");
    for (const std::u16string& verb : m.Subkeys(type + u"\\shell")) {
        state.verbs[Upper(verb)] = m.GetValue(type + u"\\shell\\" + verb + u"\\command", u"");
    }
    return state;
}

bool Same(const std::optional<sim::RegistryValue>& a, const std::optional<sim::RegistryValue>& b) {
    return a.has_value() == b.has_value() && (!a || (a->type == b->type && a->data == b->data));
}

bool Same(const FileTypeState& a, const FileTypeState& b) {
    if (a.description != b.description || a.icon != b.icon || a.verbs.size() != b.verbs.size()) return false;
    for (const auto& [verb, command] : a.verbs) {
        auto other = b.verbs.find(verb);
        if (other == b.verbs.end() || !Same(command, other->second)) return false;
    }
    return true;
}

bool Same(const std::map<std::u16string, FileTypeState>& a, const std::map<std::u16string, FileTypeState>& b) {
    if (a.size() != b.size()) return false;
    for (const auto& [type, state] : a) {
        if (b.count(type) == 0 || !Same(state, b.at(type))) return false;
    }
    return true;
}

sim::RegistryValue StringValue(const std::u16string& text, DWORD type) {
    sim::Bytes data((text.size() + 1) * 2, 0);
    for (std::size_t i = 0; i < text.size(); ++i) {
        data[2 * i] = static_cast<std::uint8_t>(text[i] & 0xFF);
        data[2 * i + 1] = static_cast<std::uint8_t>(text[i] >> 8);
    }
    return sim::RegistryValue{u"", type, data};
}

std::u16string TextOf(const std::optional<sim::RegistryValue>& value) {
    if (!value) return u"";
    std::u16string text;
    for (std::size_t i = 0; i + 1 < value->data.size(); i += 2) {
        const auto c = static_cast<char16_t>(value->data[i] | (value->data[i + 1] << 8));
        if (c == 0) break;
        text.push_back(c);
    }
    return text;
}

// The association section: every file type ends as the plan's blocks, applied where the
// extension and its file type exist, say it should.
TEST(CheckAgainstUninstall, AssociationSection) {
    for (const char* scope : {"ALL", "CURRENT"}) {
        SCOPED_TRACE(scope);
        Bench bench;
        Machine& m = bench.m;
        const std::u16string classes = std::string(scope) == "ALL" ? std::u16string(u"HKLM\\Software\\Classes")
                                                                   : u"HKU\\" + m.UserSid() + u"_Classes";
        auto make_type = [&](const std::u16string& extension, const std::u16string& type,
                             const std::u16string& description, const std::u16string& icon,
                             const std::vector<std::pair<std::u16string, std::u16string>>& verbs) {
            if (!extension.empty()) m.SetString(classes + u"\\" + extension, u"", type);
            m.SetString(classes + u"\\" + type, u"", description);
            m.SetString(classes + u"\\" + type + u"\\DefaultIcon", u"", icon);
            for (const auto& [verb, command] : verbs) {
                m.SetString(classes + u"\\" + type + u"\\shell\\" + verb + u"\\command", u"", command);
            }
        };
        make_type(u".kv1", u"Kv.Doc1", u"Kv Document", u"kv.exe,1",
                  {{u"open", u"kv.exe \"%1\""},
                   {u"print", u"kv.exe /p \"%1\""},
                   {u"edit", u"KV.EXE /E"},
                   {u"view", u"other.exe"}});
        make_type(u"", u"Kv.Doc2", u"Kv2 Document", u"kv2.ico", {{u"open", u"kv2.exe"}});
        make_type(u".kv3", u"Kv.Doc3", u"Kv3 Document", u"kv3.ico", {});
        make_type(u".kv4", u"Kv.Doc4", u"Kv4 Document", u"kv4.ico", {{u"open", u"kv4.exe"}});
        m.SetString(classes + u"\\.kv5", u"", u"");
        make_type(u".kv6", u"Kv.Doc6", u"Kv6 Document", u"kv6.ico", {{u"open", u"kv6.exe"}});
        const std::u16string types[] = {u"Kv.Doc1", u"Kv.Doc2", u"Kv.Doc3", u"Kv.Doc4", u"Kv.Doc6"};

        std::vector<std::string> body = {"", "0", "0", "%%%", "%%%"};
        body.insert(body.end(), {
                                    ".kv1",
                                    "Old Document",
                                    "Kv Document",
                                    "old.ico,0",
                                    "kv.exe,1",  //
                                    "open",
                                    "old.exe \"%1\"",
                                    "kv.exe \"%1\"",  //
                                    "print",
                                    "",
                                    "kv.exe /p \"%1\"",  //
                                    "edit",
                                    "%SystemRoot%\\edit.exe",
                                    "kv.exe /e",  //
                                    "view",
                                    "viewer.exe",
                                    "kv.exe /v",  //
                                    "%",          //
                                    ".kv2",
                                    "Old2",
                                    "Kv2 Document",
                                    "",
                                    "kv2.ico",
                                    "open",
                                    "",
                                    "kv2.exe",
                                    "%",
                                    ".kv3",
                                    "",
                                    "Kv3 Document",
                                    "",
                                    "kv3.ico",
                                    "%",  //
                                    WithNul(".kv4|x"),
                                    "Old4",
                                    "Kv4 Document",
                                    "",
                                    "kv4.ico",
                                    "open",
                                    "",
                                    "kv4.exe",
                                    "%",  //
                                    ".kv5",
                                    "Old5",
                                    "",
                                    "",
                                    "",
                                    "open",
                                    "",
                                    "",
                                    "%",  //
                                    ".kv6",
                                    "Old6",
                                    "kv6 document",
                                    "old6.ico",
                                    "KV6.ICO",  //
                                    WithNul("op|en"),
                                    "old6.exe",
                                    "kv6.exe",
                                    "%",  //
                                    "%%%",
                                    "%%%",
                                });
        std::map<std::u16string, FileTypeState> expected;
        for (const std::u16string& type : types) expected[type] = ReadFileType(m, classes + u"\\" + type);
        const std::map<std::u16string, FileTypeState> initial = expected;

        Plan plan = bench.PlanOf(Log(body, scope));
        ASSERT_EQ(plan.associations.size(), 6u);
        EXPECT_EQ(plan.sections[static_cast<int>(Section::kAssociations)].terminator_line, 82u);

        // The plan's blocks, applied to the file types as the plan describes each line, on
        // the machine as it stands before the run.
        auto matches = [](const std::optional<std::u16string>& current, const std::u16string& installed) {
            return SameIgnoringCase(current.value_or(u""), installed);
        };
        for (const AssociationPlan& block : plan.associations) {
            if (block.passed_over_nul) continue;
            const std::optional<std::u16string> type = m.GetString(classes + u"\\" + block.extension, u"");
            if (!type || type->empty() || expected.count(*type) == 0) continue;
            FileTypeState& state = expected[*type];
            if (!block.previous_description.text.empty() &&
                matches(state.description, block.installed_description.text)) {
                state.description = block.previous_description.text;
            }
            if (state.icon && matches(state.icon, block.installed_icon.text)) {
                if (block.previous_icon.text.empty()) {
                    state.icon.reset();
                } else {
                    state.icon = block.previous_icon.text;
                }
            }
            for (const VerbPlan& verb : block.verbs) {
                if (verb.passed_over_nul || verb.passed_over_empty) continue;
                auto it = state.verbs.find(Upper(verb.name));
                if (it == state.verbs.end() || !it->second ||
                    !SameIgnoringCase(TextOf(it->second), verb.installed_command.text)) {
                    continue;
                }
                const std::u16string& previous = verb.previous_command.text;
                if (previous.empty()) {
                    state.verbs.erase(it);
                } else {
                    it->second = StringValue(previous, previous[0] == u'%' ? win::REG_EXPAND_SZ : win::REG_SZ);
                }
            }
        }
        EXPECT_FALSE(Same(expected, initial));
        bench.Uninstall();
        for (const std::u16string& type : types) {
            SCOPED_TRACE(test::Utf8(type));
            const FileTypeState actual = ReadFileType(m, classes + u"\\" + type);
            EXPECT_EQ(actual.description, expected[type].description);
            EXPECT_EQ(actual.icon, expected[type].icon);
            EXPECT_EQ(actual.verbs.size(), expected[type].verbs.size());
            for (const auto& [verb, command] : expected[type].verbs) {
                SCOPED_TRACE(test::Utf8(verb));
                ASSERT_EQ(actual.verbs.count(verb), 1u);
                ASSERT_EQ(actual.verbs.at(verb).has_value(), command.has_value());
                if (command) {
                    EXPECT_EQ(TextOf(actual.verbs.at(verb)), TextOf(command));
                    EXPECT_EQ(actual.verbs.at(verb)->type, command->type);
                }
            }
        }
    }
}

// The component section: regsvr32 runs exactly for the plan's servers whose file goes,
// in the plan's order and with the plan's command line, and type libraries likewise.
TEST(CheckAgainstUninstall, ComponentSection) {
    Bench bench;
    Machine& m = bench.m;
    struct File {
        const char16_t* path;
        std::optional<DWORD> count;
    };
    const File files[] = {
        {u"C:\\App\\gone.dll", std::nullopt},  {u"C:\\App\\kept.ocx", 3},
        {u"C:\\App\\Types.tlb", std::nullopt}, {u"C:\\App\\Shared.tlb", 2},
        {u"C:\\App\\tool.exe", std::nullopt},  {u"C:\\App\\VIEWER.OCX", 1},
    };
    for (const File& f : files) {
        m.WriteFile(f.path, "MZ");
        if (f.count) m.SetDword(kShared, f.path, *f.count);
    }
    sim::TypeLibrary types;
    types.guid = {0x1234, 0x5678, 0x9ABC, {1, 2, 3, 4, 5, 6, 7, 8}};
    m.InstallTypeLibrary(u"C:\\App\\Types.tlb", types);
    sim::TypeLibrary shared;
    shared.guid = {0x4321, 0x8765, 0xCBA9, {8, 7, 6, 5, 4, 3, 2, 1}};
    m.InstallTypeLibrary(u"C:\\App\\Shared.tlb", shared);

    std::vector<std::string> body = {"", "0", "0"};
    for (const File& f : files) body.push_back(test::Utf8(f.path));
    body.insert(body.end(), {"%%%", "%%%", "%%%"});
    body.insert(body.end(), {"C:\\App\\gone.dll", "c:\\app\\kept.ocx", "C:\\App\\types.TLB", "C:\\App\\Shared.tlb",
                             "C:\\App\\tool.exe", "C:\\App\\viewer.ocx", "C:\\App\\NotListed.dll", "C:\\App\\gone.dll",
                             WithNul("C:\\App\\gone.dll|"), "%%%"});
    Plan plan = bench.PlanOf(Log(body));
    bench.Uninstall();

    std::map<std::u16string, DWORD> counts;
    for (const File& f : files) {
        if (f.count) counts[Upper(f.path)] = *f.count;
    }
    const std::set<std::u16string> going = FilesThatGo(plan, counts);
    std::vector<std::u16string> servers;
    std::size_t type_libraries = 0;
    for (const ComponentPlan& component : plan.components) {
        if (component.action != ComponentAction::kRegsvr32 && component.action != ComponentAction::kTypeLibrary) {
            continue;
        }
        const FilePlan& file = plan.files[component.file];
        if (going.count(Upper(file.path)) == 0) continue;
        if (component.action == ComponentAction::kRegsvr32) {
            servers.push_back(Regsvr32CommandLine(file.path));
        } else {
            ++type_libraries;
        }
    }
    ASSERT_EQ(servers.size(), 3u);
    ASSERT_EQ(type_libraries, 1u);

    std::vector<std::u16string> started;
    for (const auto& start : m.Starts()) {
        if (start.application_name && SameFileName(*start.application_name, kRegsvr32)) {
            started.push_back(start.command_line);
        }
    }
    EXPECT_EQ(started, servers);
    ASSERT_EQ(m.TypeLibUnregistrations().size(), type_libraries);
    EXPECT_EQ(m.TypeLibUnregistrations()[0].guid.Data1, types.guid.Data1);
}

}  // namespace
}  // namespace dismora::check
