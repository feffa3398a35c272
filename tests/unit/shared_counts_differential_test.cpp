// The file section's shared counts are read with fewer queries than one per file: once
// as many files were queried as the count key holds values, the key's names are read once
// and a file whose name cannot be among them is listed without a query. This test keeps
// the query for every file as the oracle and compares both on many random count keys.
#include <gtest/gtest.h>

#include <random>

#include "actions/count_journal.h"
#include "actions/event_sink.h"
#include "actions/removal_list.h"
#include "log/log_reader.h"
#include "support/log_builder.h"  // Utf8
#include "support/read_log.h"
#include "support/sim.h"

namespace dismora {
namespace {

using sim::Machine;

const std::u16string kCounts = u"HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs";

// The same rule without the name filter: every file is queried.
void OracleList(LogReader& log, RemovalList& list) {
    win::HKEY key = nullptr;
    win::RegCreateKeyW(win::HKEY_CURRENT_USER, u"Software\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs", &key);
    while (NextEntry(log, u"%%%")) {
        const Text& path = log.current_line;
        win::DWORD count = 0;
        win::DWORD size = sizeof(count);
        if (win::RegQueryValueExW(key, path.c_str(), nullptr, nullptr, reinterpret_cast<win::BYTE*>(&count), &size) !=
            win::ERROR_SUCCESS) {
            list.Append(path);
            continue;
        }
        if (count <= 1) {
            win::RegDeleteValueW(key, path.c_str());
            list.Append(path);
            continue;
        }
        --count;
        win::RegSetValueExW(key, path.c_str(), 0, win::REG_DWORD, reinterpret_cast<const win::BYTE*>(&count),
                            sizeof(count));
    }
    win::RegCloseKey(key);
}

std::vector<std::u16string> Listed(const RemovalList& list) {
    std::vector<std::u16string> paths;
    for (const TDismoraFile* node = list.Head(); node != nullptr; node = node->Next) paths.push_back(node->Path);
    return paths;
}

// Letter-case variants a count key may hold for a listed path, with letters that only
// some case mappings pair (dotless i, long s) and letters outside ASCII.
std::u16string Respell(std::u16string path, std::mt19937& random) {
    for (char16_t& c : path) {
        switch (random() % 6) {
            case 0:
                if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 0x20);
                break;
            case 1:
                if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 0x20);
                break;
            case 2:
                if (c == u'i') c = u'\u0131';
                if (c == u's') c = u'\u017F';
                if (c == u'\u00E9') c = u'\u00C9';
                break;
            default:
                break;
        }
    }
    return path;
}

struct Case {
    std::vector<std::u16string> files;                   // the file section, in order
    std::vector<std::pair<std::u16string, int>> counts;  // name, count (-1: not a DWORD)
};

Case RandomCase(std::uint32_t seed) {
    std::mt19937 random(seed);
    Case c;
    const int files = 1 + static_cast<int>(random() % 60);
    const std::u16string folders[] = {u"C:\\Program Files\\App\\", u"C:\\Program Files\\App\\bin\\",
                                      u"C:\\Program Files\\Common Files\\Caf\u00E9\\", u"D:\\x\\"};
    for (int i = 0; i < files; ++i) {
        std::u16string name = folders[random() % 4] + (random() % 2 ? u"lib" : u"misc") +
                              sim::Widen(std::to_string(random() % 25)) + (random() % 3 ? u".dll" : u".ocx");
        c.files.push_back(name);
    }
    // Counts for some listed files (spelled differently), for unlisted look-alikes, or none.
    const int values = static_cast<int>(random() % 3 == 0 ? 0 : random() % 40);
    for (int i = 0; i < values; ++i) {
        std::u16string name;
        if (random() % 2 && !c.files.empty()) {
            name = Respell(c.files[random() % c.files.size()], random);
        } else {
            name = folders[random() % 4] + u"lib" + sim::Widen(std::to_string(random() % 40)) + u".dll";
        }
        const int kinds[] = {0, 1, 1, 2, 3, 7, -1};
        c.counts.emplace_back(name, kinds[random() % 7]);
    }
    return c;
}

void Prepare(Machine& m, const Case& c) {
    m.AddDrive(u'D');
    m.CreateKey(kCounts);
    for (const auto& [name, count] : c.counts) {
        if (count < 0) {
            m.SetValue(kCounts, name, win::REG_BINARY, sim::Bytes{1, 2, 3, 4, 5, 6, 7, 8});
        } else {
            m.SetDword(kCounts, name, static_cast<win::DWORD>(count));
        }
    }
}

template <typename Build>
std::vector<std::u16string> RunSection(Machine& m, const Case& c, Build build) {
    std::string section;
    for (const auto& path : c.files) section += test::Utf8(path) + "\r\n";
    std::vector<std::u16string> listed;
    test::ReadLogOn(m, section + "%%%\r\n", true, [&](LogReader& log) {
        RemovalList list;
        build(log, list);
        listed = Listed(list);
    });
    return listed;
}

TEST(SharedCountsDifferential, SameCountsAndListAsAQueryPerFile) {
    std::uint64_t oracle_queries = 0;
    std::uint64_t product_queries = 0;
    for (std::uint32_t seed = 1; seed <= 400; ++seed) {
        SCOPED_TRACE(testing::Message() << "seed " << seed);
        const Case c = RandomCase(seed);
        Machine oracle;
        Machine product;
        Prepare(oracle, c);
        Prepare(product, c);
        const auto oracle_list =
            RunSection(oracle, c, [](LogReader& log, RemovalList& list) { OracleList(log, list); });
        const auto product_list =
            RunSection(product, c, [](LogReader& log, RemovalList& list) {
                CountJournal journal;
                EventSink events;
                BuildRemovalList(log, false, list, journal, events);
            });
        EXPECT_EQ(oracle_list, product_list);
        EXPECT_EQ(sim::ToString(sim::Diff(oracle.TakeSnapshot(), product.TakeSnapshot())), "");
        EXPECT_LE(product.CallCount("RegQueryValueExW"), oracle.CallCount("RegQueryValueExW"));
        // Reading the names never costs more than the queries it saves.
        EXPECT_LE(product.CallCount("RegQueryValueExW") + product.CallCount("RegEnumValueW"),
                  oracle.CallCount("RegQueryValueExW") + c.counts.size() + 1);
        oracle_queries += oracle.CallCount("RegQueryValueExW");
        product_queries += product.CallCount("RegQueryValueExW");
    }
    // The filter must actually spare queries across the cases, not merely match.
    EXPECT_LT(product_queries * 2, oracle_queries);
}

// Many files, few counts: the queries stop after as many files as there are values, and a
// count key that cannot be read out falls back to a query per file.
TEST(SharedCountsDifferential, QueriesStopAfterTheValuesAreRead) {
    Case c;
    for (int i = 0; i < 1000; ++i) c.files.push_back(u"C:\\App\\f" + sim::Widen(std::to_string(i)) + u".dll");
    c.counts = {{u"C:\\APP\\F10.DLL", 3}, {u"c:\\app\\f999.dll", 1}, {u"C:\\Other\\x.dll", 2}};
    for (bool failing : {false, true}) {
        SCOPED_TRACE(failing ? "names cannot be read" : "names read");
        Machine m;
        Prepare(m, c);
        if (failing) m.FailCall("RegEnumValueW", 2, win::ERROR_ACCESS_DENIED);
        const auto listed =
            RunSection(m, c, [](LogReader& log, RemovalList& list) {
                CountJournal journal;
                EventSink events;
                BuildRemovalList(log, false, list, journal, events);
            });
        EXPECT_EQ(listed.size(), 999U);  // f10.dll keeps a count of 2
        EXPECT_EQ(m.CallCount("RegQueryValueExW"), failing ? 1000U : 5U);
        EXPECT_FALSE(m.GetValue(kCounts, u"c:\\app\\f999.dll").has_value());
        EXPECT_EQ(m.GetDword(kCounts, u"C:\\APP\\F10.DLL"), 2U);
    }
}

}  // namespace
}  // namespace dismora
