// Logs and machines no installer should produce: each run must end promptly, with the
// documented message or by quietly passing over what it cannot use, and change nothing
// the log does not name.
#include <gtest/gtest.h>

#include <functional>
#include <optional>

#include "support/installation.h"
#include "support/scenario.h"

namespace dismora {
namespace {

using sim::KelvaneRun;
using test::LogBuilder;
using namespace std::string_literals;
namespace kelvane = sim::kelvane;

const std::u16string kTempSilent = u"\"" + kelvane::kLog + u"\" /temp /silent";

struct Case {
    std::string name;
    std::function<std::string()> log;
    std::function<void(sim::Machine&)> setup = nullptr;
    std::optional<std::u16string> message{};  // the only box shown; none for a quiet run
    std::function<void(const sim::Machine&)> check = nullptr;
    std::uint64_t max_calls = 5000;  // well within reach of an honest run of the log
    std::u16string arguments = kTempSilent;
};

void RunCase(const Case& c) {
    SCOPED_TRACE(c.name);
    KelvaneRun run(c.log());
    if (c.setup) c.setup(run.machine);
    run.call_budget = std::max(run.call_budget, 2 * c.max_calls);
    run.Start(c.arguments);
    const sim::Machine& m = run.machine;
    EXPECT_EQ(run.Problems(), "");
    EXPECT_LE(m.TotalCalls(), c.max_calls);
    if (c.message) {
        ASSERT_EQ(m.MessageBoxes().size(), 1u);
        EXPECT_EQ(sim::Narrow(m.MessageBoxes()[0].text), sim::Narrow(*c.message));
        EXPECT_TRUE(m.Notifications().empty());
    } else {
        EXPECT_EQ(m.Notifications().size(), 1u) << "the run did not complete";
    }
    if (c.check) c.check(m);
}

std::string Kelvane(int version = 4) { return sim::KelvaneLog(version).Bytes(); }

// The full log with one line replaced (its nth occurrence).
std::string Replaced(const std::string& line, const std::string& by, int nth = 1) {
    std::string bytes = Kelvane();
    std::size_t at = bytes.find(line);
    while (--nth > 0 && at != std::string::npos) at = bytes.find(line, at + 1);
    if (at == std::string::npos) ADD_FAILURE() << "no line " << line;
    return bytes.replace(at, line.size(), by);
}

// The full log up to its pre-uninstall command line, then the given bytes.
std::string AfterHeader(const std::string& rest) {
    const std::string bytes = Kelvane();
    return bytes.substr(0, bytes.find("/quiet\r\n") + 8) + rest;
}

TEST(BadInput, ControlCharactersAndEmbeddedNuls) {
    const std::string exe = sim::Narrow(kelvane::kFolder) + "\\kelvane.exe";
    const Case cases[] = {
        {"NUL inside a listed path: Windows would delete the shorter name",
         [&] { return Replaced(exe + "\r\n", exe + "\0.bak"s + "\r\n", 2); }, nullptr, std::nullopt,
         [&](const sim::Machine& m) { EXPECT_TRUE(m.IsFile(kelvane::kFolder + u"\\kelvane.exe")); }},
        {"NUL inside a whole-key line",
         [] {
             return Replaced("HKEY_AUTO\\Software\\Kelvane\\App\t*",
                             "HKEY_AUTO\\Software\\Kelvane\\App\0\\Plugins\t*"s);
         },
         nullptr, std::nullopt, [](const sim::Machine& m) { EXPECT_TRUE(m.KeyExists(u"HKLM\\Software\\Kelvane\\App")); }},
        {"NUL inside a value name",
         [] {
             return Replaced("HKEY_LOCAL_MACHINE\\Software\\Kelvane\\Settings\tInstallDir",
                             "HKEY_LOCAL_MACHINE\\Software\\Kelvane\\Settings\t\0InstallDir"s);
         },
         nullptr, std::nullopt,
         [](const sim::Machine& m) {
             EXPECT_TRUE(m.GetValue(u"HKLM\\Software\\Kelvane\\Settings", u"InstallDir").has_value());
         }},
        {"NUL inside an extension and a verb",
         [] {
             std::string bytes = Replaced(".kel\r\n", ".kel\0x\r\n"s);
             return bytes;
         },
         nullptr, std::nullopt,
         [](const sim::Machine& m) { EXPECT_EQ(m.GetString(u"HKCR\\Kelvane.Doc", u""), u"Kelvane Document"); }},
        {"NUL inside a component line",
         [&] {
             std::string bytes = Kelvane();
             const std::string line = sim::Narrow(kelvane::kFolder) + "\\VIEWER.OCX";
             return bytes.replace(bytes.rfind(line), line.size(), "C:\\Program Files\\Kelvane\\VIEWER.OCX\0x"s);
         },
         nullptr, std::nullopt,
         [](const sim::Machine& m) {
             for (const auto& start : m.Starts()) EXPECT_EQ(start.command_line.find(u"VIEWER"), std::u16string::npos);
         }},
        {"C0 controls in paths, keys and counts",
         [&] {
             std::string controls;
             for (char c = 1; c < 0x20; ++c) {
                 if (c != '\n' && c != '\r' && c != 0x1A) controls += c;
             }
             LogBuilder log = sim::KelvaneLog(4);
             log.files.push_back(exe + controls);
             log.files.push_back(controls + exe);
             log.registry.push_back("HKEY_LOCAL_MACHINE\\Software\\Kelvane\\App" + controls + "\t*");
             log.registry.push_back(controls + "HKEY_LOCAL_MACHINE\\Software\\Kelvane\\Other\t*");
             log.components.push_back(controls);
             log.first_block_records.insert(log.first_block_records.end(), {controls, controls, controls});
             return log.Bytes();
         },
         nullptr, std::nullopt, [](const sim::Machine& m) { EXPECT_TRUE(m.KeyExists(u"HKLM\\Software\\Kelvane\\Other")); }},
        {"end-of-file mark inside a line ends the log there",
         [&] { return Replaced(exe + "\r\n", exe + "\x1A" + "\r\n", 2); }, nullptr, std::nullopt,
         [&](const sim::Machine& m) {
             // The log ended on that line: it was not acted on, nor anything after it.
             EXPECT_TRUE(m.IsFile(kelvane::kFolder + u"\\kelvane.exe"));
             EXPECT_TRUE(m.KeyExists(u"HKLM\\Software\\Kelvane\\App"));
         }},
        {"a control character before a count is passed over",
         [&] {
             const std::string dll = sim::Narrow(kelvane::kFolder) + "\\kelvane.dll";
             return AfterHeader("\x01" "1\r\n0\r\n0\r\n" + dll + "\r\n0\r\n" + exe + "\r\n%%%\r\n");
         },
         nullptr, std::nullopt,
         [](const sim::Machine& m) {
             // One record skipped: the count was 1.
             EXPECT_TRUE(m.IsFile(kelvane::kFolder + u"\\kelvane.dll"));
             EXPECT_FALSE(m.Exists(kelvane::kFolder + u"\\kelvane.exe"));
         }},
    };
    for (const Case& c : cases) RunCase(c);
}

TEST(BadInput, EncodingsTheReaderDoesNotTake) {
    auto utf16 = [](const std::string& text, bool big_endian, bool bom) {
        std::string out = bom ? (big_endian ? std::string("\xFE\xFF") : std::string("\xFF\xFE")) : std::string();
        for (char c : text) {
            if (big_endian) out += '\0';
            out += c;
            if (!big_endian) out += '\0';
        }
        return out;
    };
    const Case cases[] = {
        {"UTF-16 with a byte-order mark", [&] { return utf16(Kelvane(), false, true); }, nullptr, kReadError},
        {"UTF-16 without one", [&] { return utf16(Kelvane(), false, false); }, nullptr, kReadError},
        {"UTF-16 big-endian", [&] { return utf16(Kelvane(), true, true); }, nullptr, kReadError},
        {"UTF-8 byte-order mark", [] { return "\xEF\xBB\xBF" + Kelvane(); }, nullptr, kReadError},
        {"CR alone ends no line", [] {
             std::string bytes = Kelvane();
             for (char& c : bytes) {
                 if (c == '\n') c = '\r';
             }
             return bytes;
         },
         nullptr, kReadError},
    };
    for (const Case& c : cases) RunCase(c);
}

TEST(BadInput, HugeCountsAndLines) {
    const std::string fifty_megabytes(50u << 20, 'x');
    const Case cases[] = {
        {"a 2 GB count of records, the log ending soon after",
         [] { return AfterHeader("2000000000\r\nline\r\nline\r\n"); }, nullptr, std::nullopt,
         [](const sim::Machine& m) { EXPECT_TRUE(m.IsFile(kelvane::kFolder + u"\\kelvane.exe")); }},
        {"2147483647 then the end of the file", [] { return AfterHeader("2147483647"); }},
        {"$7FFFFFFF then the end of the file", [] { return AfterHeader("1\r\na\r\nb\r\nc\r\n$7FFFFFFF\r\n"); }},
        {"a count past 32 bits is no number", [] { return AfterHeader("4294967296\r\n0\r\nC:\\x\r\n%%%\r\n"); }},
        {"a count of 33 digits", [] { return AfterHeader(std::string(33, '1') + "\r\n0\r\n%%%\r\n"); }},
        {"a count is read to 32 bytes: 31 zeros and a 1 are 1, 40 zeros and a 3 are 0",
         [] {
             const std::string folder = sim::Narrow(kelvane::kFolder);
             return AfterHeader(std::string(31, '0') + "1\r\n0\r\n0\r\n" + folder + "\\kelvane.dll\r\n" +
                                std::string(40, '0') + "3\r\n" + folder + "\\kelvane.exe\r\n%%%\r\n");
         },
         nullptr, std::nullopt,
         [](const sim::Machine& m) {
             EXPECT_TRUE(m.IsFile(kelvane::kFolder + u"\\kelvane.dll"));
             EXPECT_FALSE(m.Exists(kelvane::kFolder + u"\\kelvane.exe"));
         }},
        {"a 50 MB line without a line end, last in the file section",
         [&] { return AfterHeader("0\r\n0\r\n" + sim::Narrow(kelvane::kFolder) + "\\kelvane.exe\r\n" + fifty_megabytes); }, nullptr,
         std::nullopt,
         [](const sim::Machine& m) { EXPECT_FALSE(m.Exists(kelvane::kFolder + u"\\kelvane.exe")); }, 20000},
        {"a 50 MB product name without a line end",
         [&] { return "4\r\nALL\r\n" + fifty_megabytes; }, nullptr, std::nullopt, nullptr, 20000},
    };
    for (const Case& c : cases) RunCase(c);
}

TEST(BadInput, LogCutAnywhere) {
    const std::string full = Kelvane();
    KelvaneRun reference(full);
    reference.Start(kTempSilent);
    ASSERT_EQ(reference.Problems(), "");
    const std::uint64_t full_calls = reference.machine.TotalCalls();
    // Inside every line and right after it.
    std::vector<std::size_t> lengths;
    std::size_t line_start = 0;
    for (std::size_t at = full.find('\n'); at != std::string::npos; at = full.find('\n', at + 1)) {
        lengths.push_back(line_start + (at - line_start) / 2);
        lengths.push_back(at + 1);
        line_start = at + 1;
    }
    std::size_t runs = 0;
    for (std::size_t length : lengths) {
        Case c{"cut after byte " + std::to_string(length), [&] { return full.substr(0, length); }};
        c.max_calls = full_calls + 200;
        if (length == 0) c.message = kReadError;
        RunCase(c);
        ++runs;
    }
    EXPECT_GT(runs, 150u);
}

TEST(BadInput, MachinesAtTheirLimits) {
    const std::string hives_log = [] {
        LogBuilder log = sim::KelvaneLog(4);
        log.registry = {"HKEY_USERS\\Software\\Kelvane Shared\tLastUser"};
        return log.Bytes();
    }();
    auto whole_key_log = [](const std::string& key) {
        LogBuilder log = sim::KelvaneLog(4);
        log.registry = {"HKEY_LOCAL_MACHINE\\" + key + "\t*"};
        return log.Bytes();
    };
    std::u16string deep = u"HKLM\\Software\\Kelvane\\Deep";
    // Every name on the way is 8.3 already: the short path is as long as the path.
    std::u16string held = kelvane::kFolder;
    for (int level = 0; level < 30; ++level) held += u"\\abcdefgh";
    held += u"\\held.txt";
    const std::u16string temp255 = u"C:\\" + std::u16string(251, u't');  // 255 units with the final backslash
    const std::u16string temp256 = temp255 + u"t";
    const Case cases[] = {
        {"HKEY_USERS with 300 hives: the first 256 are used",
         [&] { return hives_log; },
         [](sim::Machine& m) {
             for (int i = 0; i < 296; ++i) {
                 const std::u16string sid = u"S-1-5-21-9-9-9-" + sim::Widen(std::to_string(20000 + i));
                 m.AddUserHive(sid);
                 m.SetString(u"HKU\\" + sid + u"\\Software\\Kelvane Shared", u"LastUser", u"x");
             }
         },
         std::nullopt,
         [](const sim::Machine& m) {
             const auto hives = m.Subkeys(u"HKU");
             ASSERT_GE(hives.size(), 300u);
             std::size_t cleared = 0;
             for (std::size_t i = 0; i < hives.size(); ++i) {
                 const std::u16string key = u"HKU\\" + hives[i] + u"\\Software\\Kelvane Shared";
                 if (!m.KeyExists(key)) continue;
                 const bool has = m.GetValue(key, u"LastUser").has_value();
                 EXPECT_EQ(has, i >= 256) << sim::Narrow(hives[i]);
                 cleared += has ? 0 : 1;
             }
             EXPECT_GT(cleared, 100u);
         },
         20000},
        {"a key tree 512 levels deep under a whole-key entry",
         [&] { return whole_key_log("Software\\Kelvane\\Deep"); },
         [&](sim::Machine& m) {
             std::u16string key = deep;
             for (int level = 0; level < 512; ++level) key += u"\\k";
             m.SetString(key, u"leaf", u"x");
         },
         std::nullopt, [&](const sim::Machine& m) { EXPECT_FALSE(m.KeyExists(deep)); }, 20000},
        {"10,000 sibling keys under a whole-key entry",
         [&] { return whole_key_log("Software\\Kelvane\\Many"); },
         [](sim::Machine& m) {
             for (int i = 0; i < 10000; ++i) m.CreateKey(u"HKLM\\Software\\Kelvane\\Many\\k" + sim::Widen(std::to_string(i)));
         },
         std::nullopt, [](const sim::Machine& m) { EXPECT_FALSE(m.KeyExists(u"HKLM\\Software\\Kelvane\\Many")); }, 120000},
        {"subkeys the user can neither open nor delete, among others",
         [&] { return whole_key_log("Software\\Kelvane\\Mixed"); },
         [](sim::Machine& m) {
             for (int i = 0; i < 40; ++i) {
                 const std::u16string key = u"HKLM\\Software\\Kelvane\\Mixed\\k" + sim::Widen(std::to_string(i));
                 m.SetString(key + u"\\inner", u"v", u"x");
                 if (i % 3 == 0) {
                     m.DenyWrite(key);
                     m.DenyDelete(key);
                 }
             }
         },
         std::nullopt,
         [](const sim::Machine& m) {
             const auto left = m.Subkeys(u"HKLM\\Software\\Kelvane\\Mixed");
             EXPECT_EQ(left.size(), 14u);
             for (const auto& name : left) EXPECT_TRUE(m.KeyExists(u"HKLM\\Software\\Kelvane\\Mixed\\" + name + u"\\inner"));
         },
         20000},
        {"subkeys the user cannot open but may delete",
         [&] { return whole_key_log("Software\\Kelvane\\Sealed"); },
         [](sim::Machine& m) {
             for (const char16_t* name : {u"a", u"b", u"c"}) {
                 const std::u16string key = u"HKLM\\Software\\Kelvane\\Sealed\\" + std::u16string(name);
                 m.SetString(key, u"v", u"x");
                 m.DenyWrite(key);
             }
         },
         std::nullopt, [](const sim::Machine& m) { EXPECT_FALSE(m.KeyExists(u"HKLM\\Software\\Kelvane\\Sealed")); }},
        {"a subkey name of 256 characters, the longest Windows takes, below a whole-key entry",
         [&] { return whole_key_log("Software\\Kelvane\\Long"); },
         [](sim::Machine& m) {
             m.SetString(u"HKLM\\Software\\Kelvane\\Long\\" + std::u16string(256, u'k'), u"v", u"x");
         },
         std::nullopt, [](const sim::Machine& m) { EXPECT_FALSE(m.KeyExists(u"HKLM\\Software\\Kelvane\\Long")); }},
        {"association values of 255 and 256 characters: the buffer holds 255 and the NUL",
         [] {
             const std::string exe = "\"" + sim::Narrow(kelvane::kFolder) + "\\kelvane.exe\"";
             std::string bytes = Replaced("\r\n" + exe + " \"%1\"\r\n", "\r\n" + std::string(255, 'o') + "\r\n");
             const std::string view = "\r\n" + exe + " /v \"%1\"\r\n";
             return bytes.replace(bytes.find(view), view.size(), "\r\n" + std::string(256, 'v') + "\r\n");
         },
         [](sim::Machine& m) {
             m.SetString(u"HKCR\\Kelvane.Doc\\shell\\open\\command", u"", std::u16string(255, u'o'));
             m.SetString(u"HKCR\\Kelvane.Doc\\shell\\view\\command", u"", std::u16string(256, u'v'));
         },
         std::nullopt,
         [](const sim::Machine& m) {
             EXPECT_EQ(m.GetString(u"HKCR\\Kelvane.Doc\\shell\\open\\command", u""),
                       u"%SystemRoot%\\notepad.exe \"%1\"");
             EXPECT_EQ(m.GetString(u"HKCR\\Kelvane.Doc\\shell\\view\\command", u""), std::u16string(256, u'v'));
         }},
        {"a Turkish user: a dotted capital I matches i in an installed command and a component line",
         [] { return Replaced("\\VIEWER.OCX", "\\V\xC4\xB0" "EWER.OCX"); },
         [](sim::Machine& m) {
             m.SetUserLocaleTurkish();
             m.SetString(u"HKCR\\Kelvane.Doc\\shell\\view\\command", u"",
                         u"\"C:\\Program F\u0130les\\Kelvane\\kelvane.exe\" /v \"%1\"");
         },
         std::nullopt,
         [](const sim::Machine& m) {
             EXPECT_FALSE(m.KeyExists(u"HKCR\\Kelvane.Doc\\shell\\view"));
             int viewer = 0;
             for (const auto& start : m.Starts()) {
                 viewer += start.command_line.find(u"\\viewer.ocx\"") != std::u16string::npos;
             }
             EXPECT_EQ(viewer, 1);
         }},
        {"a file that waits for a restart, whose short path is longer than 261 characters",
         [&] {
             LogBuilder log = sim::KelvaneLog(4);
             log.files.push_back(sim::Narrow(held));
             return log.Bytes();
         },
         [&](sim::Machine& m) {
             m.WriteFile(held, "x");
             m.HoldOpen(held);
         },
         std::nullopt,
         [&](const sim::Machine& m) {
             int scheduled = 0;
             for (const auto& pending : m.PendingDeletions()) scheduled += pending == held;
             EXPECT_EQ(scheduled, 1);
         },
         20000},
        {"a temporary folder of 255 units: the copy goes there",
         [] { return Kelvane(); },
         [&](sim::Machine& m) {
             m.CreateFolder(temp255);
             m.SetTempPath(temp255);
         },
         std::nullopt,
         [&](const sim::Machine& m) { EXPECT_TRUE(m.IsFile(temp255 + u"\\Dismora.exe")); }, 20000, u"/silent"},
        {"a temporary folder of 256 units does not fit: the program's own file does the work",
         [] { return Kelvane(); },
         [&](sim::Machine& m) {
             m.CreateFolder(temp256);
             m.SetTempPath(temp256);
         },
         std::nullopt,
         [](const sim::Machine& m) {
             EXPECT_EQ(m.CallCount("CopyFileW"), 0u);
             EXPECT_FALSE(m.Exists(kelvane::kFolder + u"\\kelvane.exe"));
         },
         20000, u"/silent"},
        {"paths longer than 260 characters",
         [] {
             LogBuilder log = sim::KelvaneLog(4);
             log.files.push_back("C:\\Program Files\\Kelvane\\" + std::string(300, 'L') + "\\long.txt");
             log.files.push_back("C:\\Program Files\\Kelvane\\" + std::string(250, 'M') + "\\" + std::string(250, 'N'));
             log.registry.push_back("HKEY_LOCAL_MACHINE\\Software\\Kelvane\\" + std::string(255, 'K') + "\\" +
                                    std::string(255, 'K') + "\t*");
             log.registry.push_back("HKEY_LOCAL_MACHINE\\Software\\Kelvane\\Settings\t" + std::string(400, 'V'));
             log.components.push_back("C:\\Program Files\\Kelvane\\" + std::string(300, 'L') + "\\long.dll");
             return log.Bytes();
         },
         [](sim::Machine& m) {
             m.WriteFile(u"C:\\Program Files\\Kelvane\\" + std::u16string(300, u'L') + u"\\long.txt", "x");
             m.WriteFile(u"C:\\Program Files\\Kelvane\\" + std::u16string(300, u'L') + u"\\long.dll", "x");
             m.WriteFile(u"C:\\Program Files\\Kelvane\\" + std::u16string(250, u'M') + u"\\" + std::u16string(250, u'N'), "x");
             const std::u16string held = u"C:\\Program Files\\Kelvane\\" + std::u16string(250, u'M') + u"\\" +
                                         std::u16string(250, u'N');
             m.HoldOpen(held, win::GENERIC_READ, win::FILE_SHARE_READ);
             m.SetString(u"HKLM\\Software\\Kelvane\\" + std::u16string(255, u'K') + u"\\" + std::u16string(255, u'K') +
                             u"\\x",
                         u"v", u"x");
         },
         std::nullopt, nullptr, 20000},
    };
    for (const Case& c : cases) RunCase(c);
}

}  // namespace
}  // namespace dismora
