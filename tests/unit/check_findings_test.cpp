// dismora-check on broken logs: each one yields exactly the findings expected, at the
// lines expected. The logs are read from a simulated machine, through the same reader
// the uninstaller uses.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "check/plan.h"
#include "check/report.h"
#include "support/log_builder.h"
#include "support/sim.h"
#include "support/scenario.h"

namespace dismora::check {
namespace {

using K = FindingKind;


// The header of a log for the format version: 16 lines for versions 3 and 4, 14 for 1
// and 2, so that the body begins at line 17 or 15.
std::vector<std::string> HeaderLines(int version, const std::string& scope = "ALL") {
    std::vector<std::string> lines = {std::to_string(version)};
    if (version >= 3) lines.push_back(scope);
    lines.push_back("Tool");
    for (int i = 0; i < 6; ++i) lines.push_back("ignored");
    lines.insert(lines.end(), {"Remove %s?", "All of it.", "Sure?", "%s was removed.", "Restart", "to finish."});
    if (version >= 3) lines.push_back("Administrator rights are needed.");
    return lines;
}

std::string Join(const std::vector<std::string>& lines, const std::string& line_end = "\r\n") {
    std::string text;
    for (const std::string& line : lines) text += line + line_end;
    return text;
}

std::string Log(const std::vector<std::string>& body, int version = 4, const std::string& scope = "ALL") {
    std::vector<std::string> lines = HeaderLines(version, scope);
    lines.insert(lines.end(), body.begin(), body.end());
    return Join(lines);
}

// "|" stands for a 0 byte.
std::string Nul(std::string text) {
    for (char& c : text) {
        if (c == '|') c = '\0';
    }
    return text;
}

// A sound body from line 17 on:
//   17 pre-uninstall command, 18 and 19 counts, 20-21 files, 22 "%%%", 23 registry,
//   24 "%%%", 25-33 one association block, 34 "%%%", 35 component, 36 "%%%".
std::vector<std::string> SoundBody() {
    return {"",
            "0",
            "0",
            "C:\\App\\a.dll",
            "C:\\App\\b.txt",
            "%%%",
            "HKEY_LOCAL_MACHINE\\Software\\App\t*",
            "%%%",
            ".app",
            "",
            "App.Doc",
            "",
            "app.ico",
            "open",
            "",
            "app.exe \"%1\"",
            "%",
            "%%%",
            "C:\\App\\a.dll",
            "%%%"};
}

struct Expected {
    std::uint64_t line;
    FindingKind kind;
};

struct Case {
    const char* name;
    std::string bytes;
    std::vector<Expected> findings;
};

std::string Describe(const Plan& plan) {
    std::string text;
    for (const Finding& f : plan.findings) {
        text += "  line " + std::to_string(f.line) + " " + test::Utf8(FindingKindName(f.kind)) + ": " +
                test::Utf8(f.message) + "\n";
    }
    return text;
}

Plan PlanOf(const std::string& bytes) {
    sim::Machine machine;
    machine.WriteFile(kLog, bytes);
    Plan plan = BuildPlan(kLog);
    EXPECT_TRUE(machine.OpenHandles().empty()) << "the checker left the log open";
    return plan;
}

std::vector<Case> Cases() {
    std::vector<Case> cases;
    auto add = [&cases](const char* name, std::string bytes, std::vector<Expected> findings) {
        cases.push_back(Case{name, std::move(bytes), std::move(findings)});
    };
    const std::string sound = Log(SoundBody());

    add("sound log", sound, {});
    add("sound log, LF line ends",
        Join(
            [] {
                auto lines = HeaderLines(4);
                auto body = SoundBody();
                lines.insert(lines.end(), body.begin(), body.end());
                return lines;
            }(),
            "\n"),
        {});
    {
        std::string comments;
        for (int i = 0; i < 100; ++i) comments += i % 2 ? ";\r\n" : "\r\n";
        add("100 comment lines before the version", comments + sound, {});
        add("101 comment lines before the version", ";\r\n" + comments + sound, {{101, K::kHeaderRejected}});
    }
    add("UTF-8 byte-order mark", "\xEF\xBB\xBF" + sound, {{1, K::kByteOrderMark}, {1, K::kHeaderRejected}});
    add("UTF-16 byte-order mark", "\xFF\xFE" + sound, {{1, K::kByteOrderMark}, {1, K::kHeaderRejected}});
    add("empty log", "", {{1, K::kHeaderRejected}});
    add("version followed by a blank", "4 \r\n" + sound.substr(3), {{1, K::kHeaderRejected}});
    add("version 0", "0\r\n" + sound.substr(3), {{1, K::kHeaderRejected}});
    add("version 5", "5\r\n" + sound.substr(3), {{1, K::kHeaderRejected}});
    add("CR-only line ends make one line",
        [&] {
            std::string text = sound;
            for (char& c : text) {
                if (c == '\n') c = '\r';
            }
            return text;
        }(),
        {{1, K::kHeaderRejected}});
    add("scope line in lower case", Log(SoundBody(), 4, "all"), {{2, K::kScopeLine}});
    add("scope line CURRENT", Log(SoundBody(), 3, "CURRENT"), {});
    add("format version 2 has no scope line", Log({"", "0", "0", "C:\\App\\a.dll", "%%%", "%%%", "%%%", "%%%"}, 2), {});

    add("count that is not a number", Log({"", "none", "0", "C:\\App\\a.dll", "%%%", "%%%", "%%%", "%%%"}),
        {{18, K::kCountNotNumber}});
    add("negative count", Log({"", "0", "-2", "C:\\App\\a.dll", "%%%", "%%%", "%%%", "%%%"}),
        {{19, K::kCountNotNumber}});
    add("count followed by words, and its records",
        Log({"", "1 record", "r1", "r2", "r3", "2", "s1", "s2", "s3", "s4", "C:\\App\\a.dll", "%%%", "%%%", "%%%",
             "%%%"}),
        {});
    // The empty count line is passed over, so the first file entry is read as a count.
    add("empty count line swallows a file entry",
        Log({"", "", "0", "C:\\App\\a.dll", "%%%", "%%%", "%%%", "C:\\App\\a.dll", "%%%"}),
        {{20, K::kCountNotNumber}, {24, K::kComponentNotListed}});

    add("unknown roots",
        Log({"", "0", "0", "%%%", "HKLM\\Software\\App\t*", "HKEY_CURRENT_CONFIG\\Software\\App\tv",
             "HKEY_LOCAL_MACHINE\\Software\\App\t*", "hkey_local_machine\\Software\\App\tv", "%%%", "%%%", "%%%"}),
        {{21, K::kUnknownRoot}, {22, K::kUnknownRoot}});
    add("whole keys no installation owns",
        Log({"", "0", "0", "%%%", "HKEY_LOCAL_MACHINE\\Software\t*", "HKEY_AUTO\\\\\t*", "HKEY_CLASSES_ROOT\\CLSID\t*",
             "HKEY_USERS\\Software\\Microsoft\t*", "HKEY_CURRENT_USER\\Software\\Classes\\*\\\t*",
             "HKEY_CURRENT_USER\\Software\\Vendor\\App\t*", "HKEY_LOCAL_MACHINE\\Software\tValue",
             "HKEY_LOCAL_MACHINE\\Software\t *", "%%%", "%%%", "%%%"}),
        {{21, K::kUnsafeWholeKey},
         {22, K::kUnsafeWholeKey},
         {23, K::kUnsafeWholeKey},
         {24, K::kUnsafeWholeKey},
         {25, K::kUnsafeWholeKey}});
    add("relative and drive-relative paths",
        Log({"", "0", "0", "App\\a.dll", "D:a.dll", "\\App\\c.dll", "", "\\\\server\\share\\a.dll", "C:/App/b.dll",
             "%%%", "%%%", "%%%", "%%%"}),
        {{20, K::kRelativePath}, {21, K::kRelativePath}, {22, K::kRelativePath}, {23, K::kRelativePath}});
    add("duplicates in every section",
        Log({"",
             "0",
             "0",
             "C:\\App\\a.dll",
             "c:\\app\\A.DLL",
             "%%%",
             "HKEY_AUTO\\Software\\App\tv",
             "HKEY_LOCAL_MACHINE\\software\\APP\tV",
             "HKEY_CURRENT_USER\\Software\\App\tv",
             "%%%",
             ".app",
             "",
             "Doc",
             "",
             "i.ico",
             "%",
             ".APP",
             "",
             "Doc",
             "",
             "i.ico",
             "%",
             "%%%",
             "C:\\App\\a.dll",
             "C:\\APP\\a.dll",
             "%%%"}),
        {{21, K::kDuplicate}, {24, K::kDuplicate}, {33, K::kDuplicate}, {41, K::kDuplicate}});
    add("entries holding U+0000",
        Log({Nul("pre|.exe"),
             "0",
             "0",
             Nul("C:\\App\\a|.dll"),
             "C:\\App\\b.dll",
             "%%%",
             Nul("HKEY_LOCAL_MACHINE\\Software\\A|pp\t*"),
             "%%%",
             Nul(".a|pp"),
             "x",
             "%",
             ".app",
             "",
             "Doc",
             "",
             "i.ico",
             Nul("op|en"),
             "",
             "app.exe",
             "%",
             "%%%",
             Nul("C:\\App\\b|.dll"),
             "C:\\App\\b.dll",
             "%%%"}),
        {{17, K::kHoldsNul},
         {20, K::kHoldsNul},
         {23, K::kHoldsNul},
         {25, K::kHoldsNul},
         {33, K::kHoldsNul},
         {38, K::kHoldsNul}});
    add("component not in the file section",
        Log({"", "0", "0", "C:\\App\\a.dll", "%%%", "%%%", "%%%", "C:\\App\\other.dll", "C:\\APP\\A.dll", "%%%"}),
        {{24, K::kComponentNotListed}});
    add("\"%\" where a passed-over block would end early",
        Log({"", "0", "0", "%%%", "%%%", ".app", "%", "App.Doc", "", "app.ico", "open", "%", "app.exe", "edit", "", "%",
             "%", "%%%", "%%%"}),
        {{23, K::kPercentInBlock}, {28, K::kPercentInBlock}, {32, K::kPercentInBlock}});
    add("verb names that name no key below shell",
        Log({"", "0", "0", "%%%", "%%%", ".app", "", "App.Doc", "", "app.ico", "", "", "app.exe", "\\\\", "x", "y",
             "open", "", "app.exe", "%", "%%%", "%%%"}),
        {{27, K::kEmptyVerb}, {30, K::kEmptyVerb}});

    add("log ends after an entry with no terminator",
        Log({"", "0", "0", "C:\\App\\a.dll", "%%%", "%%%", "%%%", "C:\\App\\a.dll"}),
        {{24, K::kLastLineIgnored}, {24, K::kMissingTerminator}});
    add("log ends inside the file section", Log({"", "0", "0", "C:\\App\\a.dll", "C:\\App\\b.dll"}),
        {{21, K::kLastLineIgnored}, {21, K::kMissingTerminator}});
    add("log ends with the file section's terminator", Log({"", "0", "0", "C:\\App\\a.dll", "%%%"}),
        {{21, K::kMissingTerminator}});
    add("log ends before the file section", Log({"", "0"}), {{18, K::kMissingTerminator}});
    add("log ends inside the records of an ignored block", Log({"", "2", "r1", "r2", "r3", "r4"}),
        {{22, K::kMissingTerminator}});
    add("log ends in a block, at a verb name",
        Log({"", "0", "0", "%%%", "%%%", ".app", "", "App.Doc", "", "app.ico", "open"}),
        {{27, K::kLastLineIgnored}, {27, K::kMissingTerminator}});
    add("log ends in a block, inside a verb record",
        Log({"", "0", "0", "%%%", "%%%", ".app", "", "App.Doc", "", "app.ico", "open", ""}),
        {{28, K::kMissingTerminator}});
    add("end-of-file mark inside a line", Log({"", "0", "0", "C:\\App\\a.dll\x1A", "%%%", "%%%", "%%%", "%%%"}),
        {{20, K::kLastLineIgnored}, {20, K::kMissingTerminator}});
    add("empty last line is no entry", Log({"", "0", "0", "C:\\App\\a.dll", ""}), {{21, K::kMissingTerminator}});
    return cases;
}

TEST(CheckFindings, BrokenLogsYieldExactlyTheirFindings) {
    for (const Case& c : Cases()) {
        SCOPED_TRACE(c.name);
        Plan plan = PlanOf(c.bytes);
        std::vector<std::pair<std::uint64_t, FindingKind>> got;
        for (const Finding& f : plan.findings) got.emplace_back(f.line, f.kind);
        std::vector<std::pair<std::uint64_t, FindingKind>> want;
        for (const Expected& e : c.findings) want.emplace_back(e.line, e.kind);
        EXPECT_EQ(got, want) << Describe(plan);

        bool rejected = false;
        for (const Finding& f : plan.findings) {
            const bool error = f.kind == K::kHeaderRejected || f.kind == K::kCannotOpen;
            EXPECT_EQ(f.severity, error ? Severity::kError : Severity::kWarning) << test::Utf8(f.message);
            rejected = rejected || error;
            EXPECT_FALSE(f.message.empty());
        }
        EXPECT_EQ(plan.ExitStatus(), rejected ? 2 : c.findings.empty() ? 0 : 1);
        EXPECT_EQ(plan.header_read, !rejected);
    }
}

TEST(CheckFindings, HeaderErrorsNameTheMessageTheUninstallerShows) {
    struct Message {
        std::string bytes;
        std::u16string shown;
    };
    const std::string sound = Log(SoundBody());
    const Message messages[] = {
        {"", u"\"Error reading deployment log\""},
        {"x\r\n" + sound.substr(3), u"\"Error reading deployment log\""},
        {"\xEF\xBB\xBF" + sound, u"\"Error reading deployment log\""},
        {"7\r\n" + sound.substr(3), u"is out of date\""},
    };
    for (const Message& m : messages) {
        Plan plan = PlanOf(m.bytes);
        ASSERT_FALSE(plan.findings.empty());
        const Finding& error = plan.findings.back();
        EXPECT_EQ(error.kind, K::kHeaderRejected);
        EXPECT_NE(error.message.find(m.shown), std::u16string::npos) << test::Utf8(error.message);
    }
}

TEST(CheckFindings, LogThatCannotBeOpened) {
    sim::Machine machine;
    machine.CreateFolder(u"C:\\App\\Folder.log");
    for (const char16_t* path : {u"C:\\App\\Missing.log", u"C:\\App\\Folder.log"}) {
        Plan plan = BuildPlan(path);
        ASSERT_EQ(plan.findings.size(), 1u);
        EXPECT_EQ(plan.findings[0].kind, K::kCannotOpen);
        EXPECT_EQ(plan.findings[0].severity, Severity::kError);
        EXPECT_NE(plan.findings[0].message.find(std::u16string(u"Cannot open the deployment log ") + path),
                  std::u16string::npos);
        EXPECT_FALSE(plan.opened);
        EXPECT_EQ(plan.ExitStatus(), 2);
    }
}

// Where each kind of registry entry goes, by install scope, as the plan states it.
TEST(CheckPlan, RegistryRootsInWordsByScope) {
    struct Case {
        const char* line;
        const char16_t* all_users;     // scope ALL
        const char16_t* current_user;  // scope CURRENT
        RegistryAction action;
    };
    const Case cases[] = {
        {"HKEY_AUTO\\Software\\App\t*", u"HKEY_LOCAL_MACHINE", u"HKEY_CURRENT_USER", RegistryAction::kDeleteKey},
        {"HKEY_CLASSES_ROOT\\.app\t", u"HKEY_CLASSES_ROOT", u"HKEY_CURRENT_USER\\Software\\Classes",
         RegistryAction::kDeleteDefaultValue},
        {"hkey_current_user\\Software\\App\tName", u"HKEY_CURRENT_USER", u"HKEY_CURRENT_USER",
         RegistryAction::kDeleteValue},
        {"HKEY_LOCAL_MACHINE\\Software\\App", u"HKEY_LOCAL_MACHINE", u"HKEY_LOCAL_MACHINE",
         RegistryAction::kDeleteDefaultValue},
        {"HKEY_USERS\\Software\\App\t*", u"HKEY_USERS\\<every user hive>", u"HKEY_USERS\\<every user hive>",
         RegistryAction::kDeleteKey},
        {"HKEY_CURRENT_USER\\TopApp\t*", u"HKEY_CURRENT_USER", u"HKEY_CURRENT_USER", RegistryAction::kEmptyKey},
        {"HKEY_CURRENT_USER\\Software\\App\t**", u"HKEY_CURRENT_USER", u"HKEY_CURRENT_USER",
         RegistryAction::kDeleteValue},
    };
    for (const char* scope : {"ALL", "CURRENT"}) {
        std::vector<std::string> body = {"", "0", "0", "%%%"};
        for (const Case& c : cases) body.push_back(c.line);
        body.insert(body.end(), {"%%%", "%%%", "%%%"});
        Plan plan = PlanOf(Log(body, 4, scope));
        ASSERT_EQ(plan.registry.size(), std::size(cases));
        for (std::size_t i = 0; i < std::size(cases); ++i) {
            SCOPED_TRACE(std::string(scope) + ": " + cases[i].line);
            const RegistryPlan& entry = plan.registry[i];
            EXPECT_EQ(entry.line, 21 + i);
            EXPECT_EQ(entry.action, cases[i].action);
            EXPECT_EQ(RootInWords(entry.root, plan.header),
                      std::string(scope) == "ALL" ? cases[i].all_users : cases[i].current_user);
        }
        EXPECT_EQ(SharedCountsKeyInWords(plan.header),
                  std::u16string(std::string(scope) == "ALL" ? u"HKEY_LOCAL_MACHINE" : u"HKEY_CURRENT_USER") +
                      u"\\Software\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs");
    }
}

// A component's kind comes from the file section's spelling, as in the uninstaller.
TEST(CheckPlan, ComponentsByTheirFileEntry) {
    Plan plan = PlanOf(Log({"", "0", "0", "C:\\App\\VIEWER.OCX", "C:\\App\\Types.TLB", "C:\\Tools.New\\viewer",
                            "C:\\App\\tool.exe", "%%%", "%%%", "%%%", "c:\\app\\viewer.ocx", "C:\\APP\\TYPES.tlb",
                            "C:\\Tools.New\\viewer", "C:\\App\\tool.exe", "%%%"}));
    const ComponentAction want[] = {ComponentAction::kRegsvr32, ComponentAction::kTypeLibrary,
                                    ComponentAction::kNotAComponent, ComponentAction::kNotAComponent};
    ASSERT_EQ(plan.components.size(), std::size(want));
    for (std::size_t i = 0; i < std::size(want); ++i) {
        EXPECT_EQ(plan.components[i].action, want[i]);
        EXPECT_EQ(plan.components[i].file, i);
    }
    EXPECT_EQ(Regsvr32CommandLine(plan.files[plan.components[0].file].path), u"regsvr32 /u /s \"C:\\App\\VIEWER.OCX\"");
    EXPECT_TRUE(plan.findings.empty()) << Describe(plan);
}

}  // namespace
}  // namespace dismora::check
