// The registry section keeps a key open while consecutive lines name values of it. This
// test keeps the line-by-line rule (each line opens what it names) as the oracle and
// compares both on many random sections: runs of values of one key, whole keys deleted
// between them, keys in other letter case, missing and write-protected keys, every root.
#include <gtest/gtest.h>

#include <random>

#include "actions/event_sink.h"
#include "actions/registry_removal.h"
#include "log/log_reader.h"
#include "support/log_builder.h"
#include "support/read_log.h"
#include "support/sim.h"

namespace dismora {
namespace {

using sim::Machine;

void OracleSection(LogReader& log, win::HKEY auto_root, win::HKEY classes_root, EventSink& events) {
    std::vector<Text> users;
    bool users_read = false;
    while (NextEntry(log, u"%%%")) {
        const auto line = static_cast<std::uint32_t>(log.LineNumber());
        if (log.current_line.find(u'\0') != Text::npos) {
            events.Note(Event::kHoldsNul, line);
            continue;
        }
        const TRegistryEntry entry = SplitRegistryEntry(log.current_line);
        const Text& subject = log.current_line;
        const bool whole_key = entry.value_field == u"*";
        const RegistryRoot which = MatchRootName(entry.root_name);
        if (which == RegistryRoot::kUnknown) {
            events.Note(Event::kUnknownRoot, line);
            continue;
        }
        if (whole_key && IsRefusedWholeKey(which, entry.key_path)) {
            events.Note(Event::kSharedKey, line);
            continue;
        }
        switch (which) {
            case RegistryRoot::kClassesRoot:
                DeleteRegistryEntry(classes_root, entry.key_path, entry.value_field, events, line, subject);
                break;
            case RegistryRoot::kAuto:
                DeleteRegistryEntry(auto_root, entry.key_path, entry.value_field, events, line, subject);
                break;
            case RegistryRoot::kCurrentUser:
                DeleteRegistryEntry(win::HKEY_CURRENT_USER, entry.key_path, entry.value_field, events, line, subject);
                break;
            case RegistryRoot::kLocalMachine:
                DeleteRegistryEntry(win::HKEY_LOCAL_MACHINE, entry.key_path, entry.value_field, events, line, subject);
                break;
            default:
                if (!users_read) {
                    users_read = true;
                    for (win::DWORD i = 0; users.size() < 256; ++i) {
                        char16_t name[256] = {};
                        win::DWORD length = 256;
                        if (win::RegEnumKeyExW(win::HKEY_USERS, i, name, &length, nullptr, nullptr, nullptr, nullptr) !=
                            win::ERROR_SUCCESS) {
                            break;
                        }
                        users.emplace_back(name, length);
                    }
                }
                for (const Text& user : users) {
                    DeleteRegistryEntry(win::HKEY_USERS, user + u"\\" + entry.key_path, entry.value_field, events, line,
                                        entry.root_name + u"\\" + user + u"\\" + entry.key_path);
                }
                break;
        }
    }
}

struct Section {
    std::vector<std::u16string> lines;
    std::vector<std::u16string> protected_keys;  // written to by nobody
    bool all_users = false;
};

// Keys under several roots with values, and a section that names them in runs.
void Prepare(Machine& m, const Section& section) {
    m.AddUserHive(u"S-1-5-21-7-7-7-1002");
    const std::u16string hives[] = {u"HKLM\\Software\\T\\", u"HKCU\\Software\\T\\", u"HKCU\\Software\\Classes\\T\\",
                                    u"HKU\\S-1-5-21-7-7-7-1002\\Software\\T\\"};
    for (const auto& hive : hives) {
        for (int k = 0; k < 4; ++k) {
            const std::u16string key = hive + u"K" + sim::Widen(std::to_string(k));
            for (int v = 0; v < 4; ++v) m.SetDword(key, u"v" + sim::Widen(std::to_string(v)), 1);
            m.SetString(key, u"", u"default");
            m.SetDword(key + u"\\Sub", u"s", 2);
        }
    }
    for (const auto& key : section.protected_keys) m.DenyWrite(key);
}

Section RandomSection(std::uint32_t seed) {
    std::mt19937 random(seed);
    Section section;
    section.all_users = random() % 2 == 0;
    const std::u16string roots[] = {u"HKEY_LOCAL_MACHINE", u"HKEY_CURRENT_USER", u"HKEY_AUTO",   u"HKEY_CLASSES_ROOT",
                                    u"HKEY_USERS",         u"hkey_current_user", u"HKEY_NOWHERE"};
    if (random() % 3 == 0) section.protected_keys.push_back(u"HKCU\\Software\\T\\K1");
    if (random() % 3 == 0) section.protected_keys.push_back(u"HKLM\\Software\\T\\K2");
    const int runs = 1 + static_cast<int>(random() % 12);
    for (int r = 0; r < runs; ++r) {
        const std::u16string& root = roots[random() % 7];
        std::u16string key = (root == u"HKEY_CLASSES_ROOT" ? u"T\\K" : u"Software\\T\\K") +
                             sim::Widen(std::to_string(random() % 5));  // K4 does not exist
        if (random() % 4 == 0) key += u"\\Sub";
        if (random() % 5 == 0) {
            for (auto& c : key) {
                if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 0x20);
            }
        }
        const int values = 1 + static_cast<int>(random() % 4);
        for (int v = 0; v < values; ++v) {
            const unsigned kind = random() % 12;
            std::u16string field = kind == 0 ? u"*" : kind == 1 ? u"" : u"v" + sim::Widen(std::to_string(random() % 5));
            section.lines.push_back(root + u"\\" + key + u"\t" + field);
        }
    }
    return section;
}

TEST(RegistryDifferential, SameRegistryAsTheLineByLineRule) {
    std::uint64_t oracle_opens = 0;
    std::uint64_t product_opens = 0;
    for (std::uint32_t seed = 1; seed <= 300; ++seed) {
        SCOPED_TRACE(testing::Message() << "seed " << seed);
        const Section section = RandomSection(seed);
        Machine oracle;
        Machine product;
        Prepare(oracle, section);
        Prepare(product, section);
        std::string text;
        for (const auto& line : section.lines) text += test::Utf8(line) + "\r\n";
        auto run = [&](Machine& m, bool literal) {
            test::ReadLogOn(m, text + "%%%\r\n", true, [&](LogReader& log) {
                const win::HKEY auto_root = section.all_users ? win::HKEY_LOCAL_MACHINE : win::HKEY_CURRENT_USER;
                UniqueKey user_classes;
                const win::HKEY classes_root = OpenClassesRoot(auto_root, user_classes);
                // Both keep a record: the batched walk must tell what the literal one tells.
                EventSink events;
                EXPECT_TRUE(events.Open(u"C:\\Tests\\record.txt", 0));
                if (literal) {
                    OracleSection(log, auto_root, classes_root, events);
                } else {
                    RemoveRegistryEntries(log, auto_root, classes_root, events);
                }
                events.Close();
            });
        };
        run(oracle, true);
        run(product, false);
        EXPECT_EQ(oracle.FileContents(u"C:\\Tests\\record.txt"), product.FileContents(u"C:\\Tests\\record.txt"));
        EXPECT_EQ(sim::ToString(sim::Diff(oracle.TakeSnapshot(), product.TakeSnapshot())), "");
        EXPECT_LE(product.CallCount("RegOpenKeyExW"), oracle.CallCount("RegOpenKeyExW"));
        EXPECT_EQ(product.CallCount("RegDeleteValueW"), oracle.CallCount("RegDeleteValueW"));
        oracle_opens += oracle.CallCount("RegOpenKeyExW");
        product_opens += product.CallCount("RegOpenKeyExW");
    }
    // The open key must actually be reused across the sections, not merely match.
    EXPECT_LT(product_opens * 10, oracle_opens * 9);
}

}  // namespace
}  // namespace dismora
