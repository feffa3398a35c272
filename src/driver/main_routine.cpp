#include "driver/main_routine.h"

#include "driver/command_line.h"
#include "driver/relaunch.h"
#include "driver/run.h"
#include "driver/startup.h"
#include "driver/uninstall_run.h"
#include "environment/privilege.h"

namespace dismora {

namespace {

constexpr win::DWORD kModulePathChars = 261;
const char16_t kProgramCaption[] = u"Dismora";
const char16_t kDefaultLogName[] = u"Kelvane.log";
// The fixed texts are kept as ASCII, half the bytes, and widened where they are shown.
const char kCannotOpenLog[] = "Cannot open the deployment log %s which is needed to perform the uninstallation";

bool IsSilentSwitch(TextView argument) {
    return EqualsAsciiNoCase(argument, u"/silent") || EqualsAsciiNoCase(argument, u"/s");
}

// The program's own path. A path longer than the buffer comes back cut short, naming
// another file: it is then not known, and nothing is built on it.
bool ReadOwnPath(Text& own_path) {
    char16_t buffer[kModulePathChars] = {};
    win::DWORD length = win::GetModuleFileNameW(nullptr, buffer, kModulePathChars);
    own_path = TextFromBuffer(buffer, kModulePathChars);
    return length != 0 && length < kModulePathChars;
}

void ReadArgumentsFirstPass(Run& run) {
    const std::vector<Text>& args = run.arguments;
    if (args.empty()) return;
    if (IsSilentSwitch(args[0])) {
        run.silent = true;
        if (args.size() >= 2) run.log_path = args[1];
    } else {
        run.log_path = args[0];
    }
}

void ReadArgumentsSecondPass(Run& run) {
    const std::vector<Text>& args = run.arguments;
    if (args.size() >= 2) {
        run.temp_mode = EqualsAsciiNoCase(args[1], u"/temp");
        if (IsSilentSwitch(args[1])) run.silent = true;
    }
    if (args.size() >= 3 && IsSilentSwitch(args[2])) run.silent = true;
}

}  // namespace

Text Run::Caption() const {
    return Concat({u"Dismora ", header.product_name});
}

void MainRoutine() {
    Run run;
    run.start_tick = win::GetTickCount();
    run.own_path_known = ReadOwnPath(run.own_path);
    run.arguments = SplitCommandLine(TextFromBuffer(win::GetCommandLineW(), static_cast<std::size_t>(-1)));

    ReadArgumentsFirstPass(run);
    bool default_log = run.log_path.empty();
    if (default_log) run.log_path = Concat({FolderPart(run.own_path), kDefaultLogName});

    // Beside a program whose path is not known there is no default log to find.
    if ((default_log && !run.own_path_known) || !FileExists(run.log_path)) {
        win::MessageBoxW(nullptr, SubstituteFirst(FromAscii(kCannotOpenLog), run.log_path).c_str(), kProgramCaption,
                         win::MB_ICONERROR);
        return;
    }
    ComputeWellKnownFolders(run.folders);
    if (!run.log.Open(run.log_path)) {
        win::MessageBoxW(nullptr, SubstituteFirst(FromAscii(kCannotOpenLog), run.log_path).c_str(), kProgramCaption,
                         win::MB_ICONERROR);
        return;
    }
    if (!ReadHeader(run)) return;

    ReadArgumentsSecondPass(run);
    if (!PassPrivilegeGate(run)) return;

    if (!run.silent && !run.temp_mode) {
        Text text = SubstituteFirst(run.header.confirmation_text, run.header.product_name);
        if (win::MessageBoxW(nullptr, text.c_str(), run.Caption().c_str(),
                             win::MB_YESNO | win::MB_ICONQUESTION | win::MB_DEFBUTTON2) != win::IDYES) {
            return;
        }
    }
    if (!run.temp_mode && Relaunch(run) == Handover::kEnded) return;
    UninstallRun(run);
}

bool ReadHeader(Run& run) {
    switch (ParseHeader(run.log, run.header)) {
        case HeaderStatus::kOk:
            return true;
        case HeaderStatus::kNoVersionLine:
        case HeaderStatus::kBadVersion:
            win::MessageBoxW(nullptr, FromAscii("Error reading deployment log").c_str(), kProgramCaption, win::MB_OK);
            return false;
        case HeaderStatus::kTooNew: {
            Text text =
                Concat({FromAscii("Cannot perform uninstall because "), run.own_path, FromAscii(" is out of date")});
            win::MessageBoxW(nullptr, text.c_str(), kProgramCaption, win::MB_OK);
            return false;
        }
    }
    return false;
}

void ShowAdministratorMessage(const Run& run) {
    win::MessageBoxW(nullptr, SubstituteFirst(run.header.admin_text, run.header.product_name).c_str(), run.Caption().c_str(),
                     win::MB_OK | win::MB_ICONERROR);
}

bool PassPrivilegeGate(Run& run) {
    if (!run.header.all_users) return true;
    if (IsLuaEnabled()) return true;
    if (IsAdministrator(run.looked_up)) return true;
    ShowAdministratorMessage(run);
    return false;
}

}  // namespace dismora
