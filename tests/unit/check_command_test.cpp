// The dismora-check program itself, run natively on real files: its exit status, its
// command line, and its output, which must be what the plan read on the simulated
// Windows gives. The second makes the native backend (files, Windows-1252, UTF-8,
// letter case) answer for itself against the model of Windows.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "check/plan.h"
#include "check/report.h"
#include "support/log_builder.h"
#include "support/sim.h"

namespace dismora::check {
namespace {

namespace fs = std::filesystem;

const std::string kExamples = std::string(DISMORA_SOURCE_DIR) + "/docs/examples/";

std::string ReadFile(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << file.rdbuf();
    return bytes.str();
}

void WriteFile(const fs::path& path, const std::string& bytes) {
    std::ofstream file(path, std::ios::binary);
    file << bytes;
}

std::string Log(int version, const std::string& product, const std::vector<std::string>& body) {
    std::vector<std::string> lines = {std::to_string(version)};
    if (version >= 3) lines.push_back("ALL");
    lines.push_back(product);
    for (int i = 0; i < 6; ++i) lines.push_back("");
    lines.insert(lines.end(), {"Remove %s?", "", "", "Done.", "", ""});
    if (version >= 3) lines.push_back("Administrators only.");
    lines.insert(lines.end(), body.begin(), body.end());
    std::string text;
    for (const std::string& line : lines) text += line + "\r\n";
    return text;
}

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

class CheckCommand : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "dismora-check-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern;
    }
    void TearDown() override { fs::remove_all(dir); }

    Outcome Check(const std::string& arguments) {
        const fs::path out = dir / "out";
        const fs::path err = dir / "err";
        const std::string command = "'" + std::string(DISMORA_CHECK_EXE) + "' " + arguments + " >'" + out.string() +
                                    "' 2>'" + err.string() + "'";
        const int raw = std::system(command.c_str());
        Outcome run;
        run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        run.out = ReadFile(out);
        run.err = ReadFile(err);
        return run;
    }

    static std::string Quoted(const fs::path& path) { return "'" + path.string() + "'"; }

    fs::path dir;
};

TEST_F(CheckCommand, ExamplesAreClean) {
    for (int version = 1; version <= 4; ++version) {
        const std::string path = kExamples + "format-" + std::to_string(version) + ".log";
        SCOPED_TRACE(path);
        Outcome run = Check(Quoted(path));
        EXPECT_EQ(run.status, 0) << run.out << run.err;
        EXPECT_NE(run.out.find("\nNo findings.\n"), std::string::npos) << run.out;
        EXPECT_TRUE(run.err.empty()) << run.err;
    }
}

TEST_F(CheckCommand, ExitStatusAndCommandLine) {
    const fs::path warned = dir / "warned.log";
    WriteFile(warned, Log(4, "Tool", {"", "0", "0", "C:\\App\\a.dll", "%%%", "%%%", "%%%", "C:\\App\\a.dll"}));
    const fs::path rejected = dir / "rejected.log";
    WriteFile(rejected, "\xEF\xBB\xBF" + Log(4, "Tool", {"", "0", "0", "%%%", "%%%", "%%%", "%%%"}));

    struct Case {
        std::string arguments;
        int status;
        const char* in_out;  // nullptr: standard output stays empty
        const char* in_err;  // nullptr: standard error stays empty
    };
    const Case cases[] = {
        {Quoted(warned), 1, "line 24: warning: this entry is the last line of the log", nullptr},
        {"--json " + Quoted(warned), 1, "\"kind\":\"last-line-ignored\"", nullptr},
        {Quoted(rejected), 2, "line 1: error: the format version line is not a whole number", nullptr},
        {Quoted(rejected) + " --json", 2, "\"exit_status\":2", nullptr},
        {Quoted(dir / "missing.log"), 2, "error: the log cannot be opened", nullptr},
        {Quoted(dir), 2, "error: the log cannot be opened", nullptr},
        {"", 2, nullptr, "name one deployment log"},
        {Quoted(warned) + " " + Quoted(rejected), 2, nullptr, "name one deployment log"},
        {"--verbose " + Quoted(warned), 2, nullptr, "unknown option --verbose"},
        {"--help", 0, "usage: dismora-check [--json] LOG", nullptr},
        {"-- " + Quoted(warned), 1, "warning", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments);
        Outcome run = Check(c.arguments);
        EXPECT_EQ(run.status, c.status) << run.out << run.err;
        if (c.in_out) {
            EXPECT_NE(run.out.find(c.in_out), std::string::npos) << run.out;
        } else {
            EXPECT_TRUE(run.out.empty()) << run.out;
        }
        if (c.in_err) {
            EXPECT_NE(run.err.find(c.in_err), std::string::npos) << run.err;
        } else {
            EXPECT_TRUE(run.err.empty()) << run.err;
        }
    }
}

// The native program and the plan read on the simulated Windows print the same, byte for
// byte, for logs that lean on decoding and letter case.
TEST_F(CheckCommand, SameOutputAsOnTheSimulatedWindows) {
    std::string high_bytes = "C:\\App\\";
    for (int byte = 0x80; byte <= 0xFF; ++byte) high_bytes.push_back(static_cast<char>(byte));
    const std::vector<std::pair<std::string, std::string>> logs = {
        {"format-1.log", ReadFile(kExamples + "format-1.log")},
        {"format-2.log", ReadFile(kExamples + "format-2.log")},
        {"format-3.log", ReadFile(kExamples + "format-3.log")},
        {"format-4.log", ReadFile(kExamples + "format-4.log")},
        {"malformed UTF-8.log",
         Log(4, "Bad \xE2\x82 name",
             {"", "0", "0", "C:\\a\xE2\x82", "C:\\b\xF0\x80\x80\x80x", "C:\\c\xED\xA0\x80x", "C:\\d\xC0\xAFx",
              "C:\\e\xF4\x90\x80\x80x", "C:\\f\xE2\x41x", "C:\\g\xFFx", "C:\\h\xF0\x9F\x98\x80x", "C:\\i\xE2\x82\xACx",
              "C:\\j\xF0\x9Fx", "C:\\k\xC3", "%%%", "%%%", "%%%", "%%%"})},
        {"Windows-1252.log", Log(3, "Caf\xE9 \x80 \x9F", {"", "0", "0", high_bytes, "%%%", "%%%", "%%%", "%%%"})},
        {"letter case.log",
         Log(4, "Tool",
             {"", "0", "0", "C:\\App\\\xC3\x84rger.dll", "c:\\app\\\xC3\xA4RGER.DLL", "C:\\\xCE\xA9mega\\a.dll",
              "C:\\\xCF\x89MEGA\\A.dll", "C:\\\xD0\x96\\b.ocx", "%%%", "HKEY_LOCAL_MACHINE\\Software\\\xC3\x84pp\tV",
              "hkey_local_machine\\software\\\xC3\xA4PP\tv", "%%%", "%%%", "C:\\\xD0\xB6\\B.OCX",
              "C:\\APP\\\xC3\x84RGER.DLL", "%%%"})},
        {"broken.log",
         Log(4, "Tool",
             {"x.exe", "nope", "0", "relative.dll", "D:drive.dll", "%%%", "HKLM\\Software\\A\t*",
              "HKEY_LOCAL_MACHINE\\Software\t*", "%%%", ".a", "%", "d", "", "i", "%", "%%%", "C:\\other.dll"})},
    };
    for (const auto& [name, bytes] : logs) {
        SCOPED_TRACE(name);
        const fs::path path = dir / name;
        WriteFile(path, bytes);

        Plan plan;
        {
            sim::Machine machine;
            machine.WriteFile(u"C:\\Logs\\check.log", bytes);
            plan = BuildPlan(u"C:\\Logs\\check.log");
        }
        plan.log_path = test::Utf16(path.string());

        Outcome json = Check("--json " + Quoted(path));
        EXPECT_EQ(json.status, plan.ExitStatus());
        EXPECT_EQ(json.out, test::Utf8(RenderJson(plan)));
        Outcome text = Check(Quoted(path));
        EXPECT_EQ(text.status, plan.ExitStatus());
        EXPECT_EQ(text.out, test::Utf8(RenderText(plan)));
    }
}

TEST_F(CheckCommand, JsonIsValid) {
    if (std::system("python3 -c 'import json' >/dev/null 2>&1") != 0) GTEST_SKIP() << "no python3 to parse JSON";
    const fs::path broken = dir / "broken.log";
    WriteFile(broken, Log(4, "T\xC3\xB6\"ol\\", {"\"x.exe\"\t", "0", "0", "C:\\App\\a\tb", "%%%", "%%%", "%%%"}));
    for (const std::string& path : {kExamples + "format-4.log", broken.string(), (dir / "missing.log").string()}) {
        SCOPED_TRACE(path);
        const fs::path out = dir / "out.json";
        const std::string command = "'" + std::string(DISMORA_CHECK_EXE) + "' --json '" + path + "' >'" + out.string() +
                                    "'; python3 -c 'import json, sys; d = json.load(open(sys.argv[1])); "
                                    "assert isinstance(d[\"findings\"], list) and \"exit_status\" in d' '" +
                                    out.string() + "'";
        const int raw = std::system(command.c_str());
        EXPECT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == 0) << ReadFile(out);
    }
}

}  // namespace
}  // namespace dismora::check
