// Start-up on a simulated machine: the command line, the log's header and the
// message boxes a user sees before anything is changed.
#include <gtest/gtest.h>

#include "support/invariant.h"
#include "support/log_builder.h"
#include "support/sim.h"
#include "support/scenario.h"

namespace dismora {
namespace {

using sim::Machine;
using test::LogBuilder;
using test::Utf16;


std::u16string CannotOpen(const std::u16string& path) {
    return u"Cannot open the deployment log " + path + u" which is needed to perform the uninstallation";
}

class StartupTest : public ::testing::Test {
protected:
    void SetUp() override {
        machine.InstallDismora(kExe);
        machine.WriteFile(u"C:\\App\\data.bin", "payload");
    }

    sim::RunResult Start(const std::u16string& arguments) {
        std::u16string line = u"\"" + kExe + u"\"";
        if (!arguments.empty()) line += u" " + arguments;
        sim::SafetyCheck safety(machine, kLog);
        sim::RunResult result = machine.RunProgram({.command_line = line, .module_path = kExe});
        EXPECT_EQ(safety.Report(machine), "");
        return result;
    }

    void WriteLog(const std::string& bytes, const std::u16string& path = kLog) { machine.WriteFile(path, bytes); }

    // The only box shown, checked whole.
    void ExpectSingleBox(const std::u16string& text, const std::u16string& caption, win::UINT style) {
        const auto& boxes = machine.MessageBoxes();
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(sim::Narrow(boxes[0].text), sim::Narrow(text));
        EXPECT_EQ(sim::Narrow(boxes[0].caption), sim::Narrow(caption));
        EXPECT_EQ(boxes[0].style, style);
        EXPECT_EQ(boxes[0].owner, nullptr);
    }

    // Nothing on the machine changed and nothing was started.
    void ExpectUntouched(const sim::Snapshot& before) {
        EXPECT_EQ(sim::ToString(sim::Diff(before, machine.TakeSnapshot())), "");
        EXPECT_TRUE(machine.Starts().empty());
        EXPECT_TRUE(machine.Leaks().empty());
    }

    Machine machine;
};

TEST_F(StartupTest, MissingDefaultLogNamesTheFullDefaultPath) {
    sim::Snapshot before = machine.TakeSnapshot();
    Start(u"");
    ExpectSingleBox(CannotOpen(kLog), u"Dismora", win::MB_ICONERROR);
    ExpectUntouched(before);
}

TEST_F(StartupTest, LogPathThatIsAFolderOrMissingGetsTheOpenError) {
    machine.CreateFolder(u"C:\\Logs\\Folder.log");
    struct Case {
        std::u16string arguments;
        std::u16string named;
        std::u16string beside = {};  // a file of the user's named like the missing log's journal
    };
    const Case cases[] = {
        {u"\"C:\\Logs\\Folder.log\"", u"C:\\Logs\\Folder.log"},
        {u"C:\\Logs\\none.log /s", u"C:\\Logs\\none.log"},
        // "/silent" then "/temp" alone: "/temp" is the log path.
        {u"/silent /temp", u"/temp"},
        // Only a journal of the log that was there goes, never a file that is merely named like one.
        {u"C:\\Data\\Notes\\diary /s", u"C:\\Data\\Notes\\diary", u"C:\\Data\\Notes\\diary.journal"},
    };
    for (const Case& c : cases) {
        Machine fresh;
        fresh.InstallDismora(kExe);
        fresh.CreateFolder(u"C:\\Logs\\Folder.log");
        if (!c.beside.empty()) fresh.WriteFile(c.beside, "the user's own notes");
        sim::SafetyCheck fresh_safety(fresh, kLog);
        fresh.RunProgram({.command_line = u"\"" + kExe + u"\" " + c.arguments, .module_path = kExe});
        EXPECT_EQ(fresh_safety.Report(fresh), "");
        if (!c.beside.empty()) {
            EXPECT_EQ(fresh.FileContents(c.beside), "the user's own notes");
        }
        ASSERT_EQ(fresh.MessageBoxes().size(), 1u) << sim::Narrow(c.arguments);
        EXPECT_EQ(sim::Narrow(fresh.MessageBoxes()[0].text), sim::Narrow(CannotOpen(c.named)));
        EXPECT_EQ(fresh.MessageBoxes()[0].style, win::MB_ICONERROR);
    }
}

TEST_F(StartupTest, LogThatCannotBeOpenedGetsTheSameMessage) {
    WriteLog(LogBuilder{}.Bytes());
    int hold = machine.HoldOpen(kLog, win::GENERIC_READ, 0);
    sim::Snapshot before = machine.TakeSnapshot();
    Start(u"");
    machine.ReleaseHold(hold);
    ExpectSingleBox(CannotOpen(kLog), u"Dismora", win::MB_ICONERROR);
    ExpectUntouched(before);
}

TEST_F(StartupTest, CommentLinesBeforeTheVersion) {
    struct Case {
        int comment_lines;
        bool accepted;
    };
    for (const Case& c : {Case{0, true}, Case{100, true}, Case{101, false}}) {
        Machine fresh;
        fresh.InstallDismora(kExe);
        std::string bytes;
        for (int i = 0; i < c.comment_lines; ++i) bytes += (i % 2 == 0) ? "; comment\r\n" : "\r\n";
        bytes += LogBuilder{}.Bytes();
        fresh.WriteFile(kLog, bytes);
        sim::SafetyCheck fresh_safety(fresh, kLog);
        fresh.RunProgram({.command_line = u"\"" + kExe + u"\"", .module_path = kExe});
        EXPECT_EQ(fresh_safety.Report(fresh), "");
        ASSERT_EQ(fresh.MessageBoxes().size(), 1u) << c.comment_lines;
        const auto& box = fresh.MessageBoxes()[0];
        if (c.accepted) {
            EXPECT_EQ(box.style, win::MB_YESNO | win::MB_ICONQUESTION | win::MB_DEFBUTTON2) << c.comment_lines;
        } else {
            EXPECT_EQ(sim::Narrow(box.text), sim::Narrow(kReadError));
            EXPECT_EQ(box.style, win::MB_OK);
        }
    }
}

TEST_F(StartupTest, RejectedVersionLines) {
    struct Case {
        std::string first_lines;  // everything before the rest of a version 4 header
        std::u16string message;
    };
    const std::u16string out_of_date = u"Cannot perform uninstall because " + kExe + u" is out of date";
    const Case cases[] = {
        {"", kReadError},                     // an empty log
        {"abc\r\n", kReadError},              // not a number
        {"0\r\n", kReadError},                // zero
        {"-2\r\n", kReadError},               // negative
        {"4 \r\n", kReadError},               // a blank after the number
        {"4.0\r\n", kReadError},              // a fraction
        {"   \r\n", kReadError},              // blanks only: not a comment line
        {"\t4\r\n", kReadError},              // a TAB is not skipped
        {"\xEF\xBB\xBF" "4\r\n", kReadError},  // a byte-order mark
        {"5\r\n", out_of_date},
        {"$5\r\n", out_of_date},
    };
    for (const Case& c : cases) {
        Machine fresh;
        fresh.InstallDismora(kExe);
        std::string rest = c.first_lines.empty() ? "" : "ALL\r\nTool\r\n";
        fresh.WriteFile(kLog, c.first_lines + rest);
        sim::Snapshot before = fresh.TakeSnapshot();
        sim::SafetyCheck fresh_safety(fresh, kLog);
        fresh.RunProgram({.command_line = u"\"" + kExe + u"\"", .module_path = kExe});
        EXPECT_EQ(fresh_safety.Report(fresh), "");
        ASSERT_EQ(fresh.MessageBoxes().size(), 1u) << c.first_lines;
        EXPECT_EQ(sim::Narrow(fresh.MessageBoxes()[0].text), sim::Narrow(c.message)) << c.first_lines;
        EXPECT_EQ(sim::Narrow(fresh.MessageBoxes()[0].caption), "Dismora");
        EXPECT_EQ(fresh.MessageBoxes()[0].style, win::MB_OK);
        EXPECT_EQ(sim::ToString(sim::Diff(before, fresh.TakeSnapshot())), "");
    }
}

TEST_F(StartupTest, AcceptedVersionSpellings) {
    for (const char* version : {"4", "  4", "+4", "$4", "0x4"}) {
        Machine fresh;
        fresh.InstallDismora(kExe);
        std::string bytes = LogBuilder{}.Bytes();
        bytes.replace(0, 1, version);
        fresh.WriteFile(kLog, bytes);
        sim::SafetyCheck fresh_safety(fresh, kLog);
        fresh.RunProgram({.command_line = u"\"" + kExe + u"\"", .module_path = kExe});
        EXPECT_EQ(fresh_safety.Report(fresh), "");
        ASSERT_EQ(fresh.MessageBoxes().size(), 1u) << version;
        EXPECT_EQ(sim::Narrow(fresh.MessageBoxes()[0].caption), "Dismora Tool") << version;
    }
}

TEST_F(StartupTest, ConfirmationTextCaptionAndStyle) {
    LogBuilder log;
    log.product = "Kelvane Writer";
    log.confirmation = {"Remove %s from %s?", "Line two", "Line three"};
    WriteLog(log.Bytes());
    sim::Snapshot before = machine.TakeSnapshot();
    machine.QueueAnswers({win::IDNO});
    Start(u"");
    ExpectSingleBox(u"Remove Kelvane Writer from %s?\rLine two\r\rLine three", u"Dismora Kelvane Writer",
                    win::MB_YESNO | win::MB_ICONQUESTION | win::MB_DEFBUTTON2);
    EXPECT_TRUE(machine.AnswersConsumed());
    ExpectUntouched(before);
}

TEST_F(StartupTest, AnyAnswerButYesEndsWithoutChange) {
    for (int answer : {win::IDNO, win::IDCANCEL, 0}) {
        Machine fresh;
        fresh.InstallDismora(kExe);
        LogBuilder log;
        log.files = {"C:\\App\\data.bin"};
        fresh.WriteFile(u"C:\\App\\data.bin", "payload");
        fresh.WriteFile(kLog, log.Bytes());
        sim::Snapshot before = fresh.TakeSnapshot();
        fresh.QueueAnswers({answer});
        sim::SafetyCheck fresh_safety(fresh, kLog);
        fresh.RunProgram({.command_line = u"\"" + kExe + u"\"", .module_path = kExe});
        EXPECT_EQ(fresh_safety.Report(fresh), "");
        EXPECT_EQ(fresh.MessageBoxes().size(), 1u);
        EXPECT_EQ(sim::ToString(sim::Diff(before, fresh.TakeSnapshot())), "") << answer;
        EXPECT_TRUE(fresh.Starts().empty());
    }
}

TEST_F(StartupTest, NonAsciiProductNameByEncoding) {
    const std::string name = "\xC3\x9Cn\xC3\xAF\x63\xC3\xB8\x64\xC3\xA9 T\xC3\xB6\xC3\xB6l \xE2\x82\xAC";  // "Ünïcødé Tööl €"
    for (int version : {1, 2, 3, 4}) {
        Machine fresh;
        fresh.InstallDismora(kExe);
        LogBuilder log;
        log.version = version;
        log.product = name;
        fresh.WriteFile(kLog, log.Bytes());
        sim::SafetyCheck fresh_safety(fresh, kLog);
        fresh.RunProgram({.command_line = u"\"" + kExe + u"\"", .module_path = kExe});
        EXPECT_EQ(fresh_safety.Report(fresh), "");
        ASSERT_EQ(fresh.MessageBoxes().size(), 1u) << version;
        EXPECT_EQ(sim::Narrow(fresh.MessageBoxes()[0].caption), "Dismora " + name) << version;
    }
    // The UTF-8 bytes in an ANSI log are read as Windows-1252 characters.
    Machine ansi;
    ansi.InstallDismora(kExe);
    LogBuilder log;
    log.version = 3;
    std::string bytes = log.Bytes();
    bytes.replace(bytes.find("Tool"), 4, "\xC3\xA9");
    ansi.WriteFile(kLog, bytes);
    sim::SafetyCheck ansi_safety(ansi, kLog);
    ansi.RunProgram({.command_line = u"\"" + kExe + u"\"", .module_path = kExe});
    EXPECT_EQ(ansi_safety.Report(ansi), "");
    ASSERT_EQ(ansi.MessageBoxes().size(), 1u);
    EXPECT_EQ(ansi.MessageBoxes()[0].caption, u"Dismora \u00C3\u00A9");
}

TEST_F(StartupTest, LineEndsAndLongLines) {
    LogBuilder log;
    log.product = std::string(1000, 'p');
    log.line_end = "\n";
    WriteLog(log.Bytes());
    Start(u"");
    ASSERT_EQ(machine.MessageBoxes().size(), 1u);
    EXPECT_EQ(machine.MessageBoxes()[0].caption, u"Dismora " + std::u16string(1000, u'p'));

    // CR alone ends no line: the whole log is one line, which is no version.
    Machine cr_only;
    cr_only.InstallDismora(kExe);
    log.product = "Tool";
    log.line_end = "\r";
    cr_only.WriteFile(kLog, log.Bytes());
    sim::SafetyCheck cr_only_safety(cr_only, kLog);
    cr_only.RunProgram({.command_line = u"\"" + kExe + u"\"", .module_path = kExe});
    EXPECT_EQ(cr_only_safety.Report(cr_only), "");
    ASSERT_EQ(cr_only.MessageBoxes().size(), 1u);
    EXPECT_EQ(cr_only.MessageBoxes()[0].text, kReadError);
}

TEST_F(StartupTest, OlderVersionsHaveNoScopeOrAdministratorLine) {
    // Version 2 counts as all users; without rights and without UAC the gate refuses
    // with the built-in administrator text, which shows the header was read right.
    LogBuilder log;
    log.version = 2;
    log.product = "Old Tool";
    WriteLog(log.Bytes());
    machine.SetUacEnabled(false);
    sim::SafetyCheck machine_safety(machine, kLog);
    machine.RunProgram({.command_line = u"\"" + kExe + u"\"",
                        .module_path = kExe,
                        .token = {.administrator = false, .elevated = false}});
    EXPECT_EQ(machine_safety.Report(machine), "");
    ExpectSingleBox(u"You need administrator privileges to uninstall Old Tool", u"Dismora Old Tool",
                    win::MB_OK | win::MB_ICONERROR);
}

// Which command lines ask for confirmation, relaunch, or run the uninstall themselves.
TEST_F(StartupTest, CommandLineForms) {
    struct Case {
        std::u16string arguments;
        bool confirmation;  // M7 shown
        bool relaunched;    // a copy was started
        bool final_message;
        // A line that does nothing shows instead the help, or names the argument it cannot
        // mean (empty: no box), and ends with the exit code.
        bool idle = false;
        bool help = false;
        std::u16string refused = u"";
        win::DWORD exit_code = 0;
    };
    const auto idle = [](std::u16string arguments, bool help, std::u16string refused, win::DWORD exit_code) {
        return Case{std::move(arguments), false, false, false, true, help, std::move(refused), exit_code};
    };
    const std::u16string log = u"\"" + kLog + u"\"";
    const Case cases[] = {
        {u"", true, true, true},
        {log, true, true, true},
        {u"/silent", false, true, false},
        {u"/SILENT " + log, false, true, false},
        {log + u" /S", false, true, false},
        {log + u" /sIlEnT", false, true, false},
        {log + u" /temp", false, false, true},
        {log + u" /TEMP /silent", false, false, false},
        {log + u" /silent /temp", false, true, false},
        {log + u" /tmp", true, true, true},
        // The switches that may stand anywhere leave the rest read as before; "/temp"
        // counts only as the second argument as given.
        {u"/wait " + log, true, true, true},
        {u"/silent /WAIT", false, true, false},
        {log + u" /wait /temp", true, true, true},
        {log + u" /temp /wait", false, false, true},
        // The id of the first instance, for its copy: taken out, and accepted when read strictly.
        {log + u" /temp /First=4 /silent", false, false, false},
        {log + u" /temp /first=4 /wait", false, false, true},
        // Switches that deployment tools add, anywhere and in any case.
        {u"/QUIET", false, true, false},
        {log + u" /quiet /wait", false, true, false},
        {log + u" /norestart", true, true, true},
        {u"/silent /wait /NoRestart", false, true, false},
        {u"/closeapps " + log, true, true, true},
        {u"/s /CloseApps=30 /wait", false, true, false},
        // Read strictly with /wait: "/silent" anywhere, and nothing it cannot mean.
        {log + u" x /silent", false, true, false},
        idle(log + u" x /silent /wait", false, u"", 1639),
        idle(log + u" x y /wait", false, u"x", 1639),
        idle(u"C:\\Program Files\\Tool\\Kelvane.log /wait", false, u"Files\\Tool\\Kelvane.log", 1639),
        {log + u" /wait /temp /temp /S", false, true, false},
        {log + u" /bogus", true, true, true},
        idle(log + u" /bogus /wait", false, u"/bogus", 1639),
        idle(u"/log C:\\x.txt /wait", false, u"/log", 1639),
        idle(u"-silent /wait", false, u"-silent", 1639),
        // The help, any spelling, shows nothing to a silent run.
        idle(u"/?", true, u"", 0),
        idle(u"-? /wait", true, u"", 0),
        idle(u"/H " + log, true, u"", 0),
        idle(u"/wait /Help", true, u"", 0),
        idle(u"/help /silent", false, u"", 0),
        idle(u"/help /silent /wait", false, u"", 1639),
        idle(u"/quiet -?", false, u"", 0),
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(sim::Narrow(c.arguments));
        Machine fresh;
        fresh.InstallDismora(kExe);
        fresh.WriteFile(kLog, LogBuilder{}.Bytes());
        fresh.SetDefaultAnswer(win::IDYES);
        sim::SafetyCheck fresh_safety(fresh, kLog);
        sim::RunResult result =
            fresh.RunProgram({.command_line = u"\"" + kExe + u"\" " + c.arguments, .module_path = kExe});
        EXPECT_EQ(fresh_safety.Report(fresh), "");
        int confirmations = 0;
        int finals = 0;
        for (const auto& box : fresh.MessageBoxes()) {
            if (box.style == (win::MB_YESNO | win::MB_ICONQUESTION | win::MB_DEFBUTTON2)) ++confirmations;
            if (box.style == (win::MB_OK | win::MB_ICONQUESTION)) ++finals;
        }
        EXPECT_EQ(confirmations, c.confirmation ? 1 : 0);
        EXPECT_EQ(finals, c.final_message ? 1 : 0);
        EXPECT_EQ(result.processes.size(), c.relaunched ? 2u : 1u);
        EXPECT_EQ(result.processes.back().exit_code, c.exit_code);
        // A line that does nothing shows at most its one box, and leaves the log.
        EXPECT_EQ(fresh.Exists(kLog), c.idle);
        if (c.idle) {
            std::vector<std::string> shown;
            for (const auto& box : fresh.MessageBoxes()) shown.push_back(sim::Narrow(box.text));
            std::vector<std::string> expected;
            if (c.help) expected.push_back(sim::Narrow(fresh.MessageBoxes().empty() ? u"" : fresh.MessageBoxes()[0].text));
            if (!c.refused.empty()) {
                expected.push_back("The command line argument " + sim::Narrow(c.refused) +
                                   " is not understood.\rA path with blanks needs quotes; dismora.exe /? lists the switches.");
            }
            EXPECT_EQ(shown, expected);
            if (c.help) {
                EXPECT_EQ(fresh.MessageBoxes()[0].style, win::MB_OK | win::MB_ICONINFORMATION);
            }
        }
        EXPECT_TRUE(fresh.Leaks().empty());
    }
}

TEST_F(StartupTest, InstallScopeLine) {
    // The scope decides where the shared counts live: HKLM for all users, HKCU otherwise.
    struct Case {
        std::string scope;
        bool machine_counts;
    };
    const Case cases[] = {{"ALL", true}, {"CURRENT", false}, {"all", true}, {"current", true}, {" ALL", true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.scope);
        Machine fresh;
        fresh.InstallDismora(kExe);
        const std::u16string shared = u"HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs";
        const std::u16string user_shared = u"HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs";
        fresh.SetDword(shared, u"C:\\App\\data.bin", 3);
        fresh.SetDword(user_shared, u"C:\\App\\data.bin", 3);
        fresh.WriteFile(u"C:\\App\\data.bin", "payload");
        LogBuilder log;
        log.scope = c.scope;
        log.files = {"C:\\App\\data.bin"};
        fresh.WriteFile(kLog, log.Bytes());
        sim::SafetyCheck fresh_safety(fresh, kLog);
        fresh.RunProgram({.command_line = u"\"" + kExe + u"\" \"" + kLog + u"\" /temp /silent", .module_path = kExe});
        EXPECT_EQ(fresh_safety.Report(fresh), "");
        EXPECT_EQ(fresh.GetDword(shared, u"C:\\App\\data.bin"), c.machine_counts ? 2u : 3u);
        EXPECT_EQ(fresh.GetDword(user_shared, u"C:\\App\\data.bin"), c.machine_counts ? 3u : 2u);
    }
}

}  // namespace
}  // namespace dismora

namespace dismora {
namespace {

// The buffer for the program's own path holds 260 characters and the NUL. A longer path
// comes back cut short: there is then no default log beside the program to find, even
// when the shortened name happens to lead to one.
TEST(StartupOwnPath, DefaultLogOnlyBesideAPathThatFitsTheBuffer) {
    for (std::size_t length : {260u, 261u, 275u}) {
        SCOPED_TRACE(length);
        sim::Machine m;
        const std::u16string folder = u"C:\\Apps\\" + std::u16string(length - 20, u'L');
        const std::u16string exe = folder + u"\\Dismora.exe";
        m.InstallDismora(exe);
        m.WriteFile(folder + u"\\Kelvane.log", test::LogBuilder{}.Bytes());
        // What the folder part of a cut path names: the folder itself (261), or C:\Apps\ (275).
        m.WriteFile(u"C:\\Apps\\Kelvane.log", test::LogBuilder{}.Bytes());
        sim::Snapshot before = m.TakeSnapshot();
        m.SetDefaultAnswer(win::IDYES);
        m.RunProgram({.command_line = u"\"" + exe + u"\"", .module_path = exe});
        ASSERT_FALSE(m.MessageBoxes().empty());
        if (length == 260) {
            EXPECT_EQ(m.MessageBoxes()[0].style, win::MB_YESNO | win::MB_ICONQUESTION | win::MB_DEFBUTTON2);
            continue;
        }
        ASSERT_EQ(m.MessageBoxes().size(), 1u);
        EXPECT_EQ(m.MessageBoxes()[0].style, win::MB_ICONERROR);
        EXPECT_EQ(sim::ToString(sim::Diff(before, m.TakeSnapshot())), "");
    }
}

}  // namespace
}  // namespace dismora
