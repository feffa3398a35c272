#include "driver/main_routine.h"

#include <cstring>

#include "driver/command_line.h"
#include "driver/relaunch.h"
#include "driver/run.h"
#include "actions/count_journal.h"
#include "driver/startup.h"
#include "driver/uninstall_lock.h"
#include "driver/uninstall_run.h"
#include "environment/privilege.h"

namespace dismora {

namespace {

constexpr win::DWORD kModulePathChars = 261;
const char16_t kProgramCaption[] = u"Dismora";
const char16_t kDefaultLogName[] = u"Kelvane.log";
// The fixed texts are kept as ASCII, half the bytes, and widened where they are shown.
const char kCannotOpenLog[] = "Cannot open the deployment log %s which is needed to perform the uninstallation";
const char kUsage[] =
    "dismora.exe [log] [/silent|/s] [/wait] [/log=FILE]\r/wait: end with the uninstall; exit 0 removed, 3010 restart to "
    "finish, 1602 cancelled, 1603 failed, 1618 already under way, 740 no rights. /silent /wait: no box.";

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
    if (args.size() >= 2 && IsSilentSwitch(args[1])) run.silent = true;
    if (args.size() >= 3 && IsSilentSwitch(args[2])) run.silent = true;
}

// Ends the run where it stands with the exit code that tells why, after the message.
win::DWORD Fail(Run& run, const Text& text, win::DWORD exit_code, win::UINT style = win::MB_OK) {
    run.exit_code = exit_code;
    ShowBox(run, text, kProgramCaption, style);
    return run.switches.wait ? exit_code : 0;
}

// Opens the record /log= asked for and starts it with the time and the command line. The
// copy the first process starts writes only to the record that process opened (/logid=).
void BeginRecord(Run& run) {
    if (run.switches.record.empty() || !run.events.Open(run.switches.record, run.switches.record_identity)) return;
    win::SYSTEMTIME time = {};
    win::GetLocalTime(&time);
    win::WORD fields[8];
    std::memcpy(fields, &time, sizeof(fields));
    // Year, month, day, hour, minute, second: the fields at 0, 1, 3, 4, 5 and 6, in two
    // digits at least.
    Text now;
    for (const char* format = "\1-\2-\4 \5:\6:\7"; *format != '\0'; ++format) {
        if (*format > 7) {
            now += static_cast<char16_t>(*format);
            continue;
        }
        if (fields[*format - 1] < 10) now += u'0';
        now += DecimalText(fields[*format - 1]);
    }
    run.events.Note(Event::kStart, 0, &now, 0, win::GetCommandLineW());
}

win::DWORD RunMain(Run& run);

}  // namespace

int ShowBox(Run& run, const Text& text, const char16_t* caption, win::UINT style) {
    run.events.Line(text);
    return run.Quiet() ? 0 : win::MessageBoxW(nullptr, text.c_str(), caption, style);
}

Text Run::Caption() const {
    return Concat({u"Dismora ", header.product_name});
}

win::DWORD MainRoutine() {
    Run run;
    const win::DWORD exit_code = RunMain(run);
    // A run that handed over to its copy closed the record before the start: the copy goes on with it.
    run.events.Summary(run.exit_code, run.switches.wait);
    run.events.Close();
    return exit_code;
}

namespace {

win::DWORD RunMain(Run& run) {
    run.start_tick = win::GetTickCount();
    run.own_path_known = ReadOwnPath(run.own_path);
    run.arguments = SplitCommandLine(TextFromBuffer(win::GetCommandLineW(), static_cast<std::size_t>(-1)));
    // "/temp" counts only as the second argument of the command line as it was given.
    const bool temp_switch = run.arguments.size() >= 2 && EqualsAsciiNoCase(run.arguments[1], u"/temp");
    TakeOutSwitches(run.arguments, run.switches);
    if (run.switches.help) {
        win::MessageBoxW(nullptr, FromAscii(kUsage).c_str(), kProgramCaption, win::MB_OK | win::MB_ICONINFORMATION);
        return 0;
    }

    BeginRecord(run);
    ReadArgumentsFirstPass(run);
    bool default_log = run.log_path.empty();
    if (default_log) run.log_path = Concat({FolderPart(run.own_path), kDefaultLogName});
    run.events.Note(Event::kLogPath, 0, &run.log_path);

    // Beside a program whose path is not known there is no default log to find.
    // The silent flag can also come from the second pass; the boxes below ask Quiet() after it.
    ReadArgumentsSecondPass(run);
    run.temp_mode = temp_switch;
    const bool missing = (default_log && !run.own_path_known) || !FileExists(run.log_path);
    ComputeWellKnownFolders(run.folders);
    if (missing || !run.log.Open(run.log_path)) {
        // A run that ended right after deleting the log left its journal: it has no use now.
        if (missing) DeleteFileOrSchedule(JournalPath(run.log_path), run.folders, run.removal, run.events);
        return Fail(run, SubstituteFirst(FromAscii(kCannotOpenLog), run.log_path), win::ERROR_INSTALL_FAILURE,
                    win::MB_ICONERROR);
    }
    switch (ParseHeader(run.log, run.header)) {
        case HeaderStatus::kOk:
            break;
        case HeaderStatus::kTooNew:
            return Fail(run, SubstituteFirst(FromAscii("Cannot perform uninstall because %s is out of date"), run.own_path),
                        win::ERROR_INSTALL_FAILURE);
        default:
            return Fail(run, FromAscii("Error reading deployment log"), win::ERROR_INSTALL_FAILURE);
    }

    if (run.events.IsOpen()) {
        run.events.Note(Event::kProduct, 0, &run.header.product_name, static_cast<std::uint32_t>(run.header.format_version),
                        run.header.all_users ? u"all users" : u"the current user");
        run.events.Note(IsAdministrator(run.looked_up) ? Event::kElevated : Event::kNotElevated, 0);
    }
    if (!PassPrivilegeGate(run)) {
        run.exit_code = win::ERROR_ELEVATION_REQUIRED;
        return run.switches.wait ? run.exit_code : 0;
    }

    if (!run.temp_mode) {
        // Told at once, before the question: the instance that does the work checks again.
        UninstallLock probe;
        if (probe.Take(run.log_path) == UninstallLock::State::kHeld) {
            TellAnotherUninstallRuns(run);
            return run.switches.wait ? run.exit_code : 0;
        }
    }
    run.exit_code = win::ERROR_INSTALL_USEREXIT;
    if (!run.silent && !run.temp_mode) {
        Text text = SubstituteFirst(run.header.confirmation_text, run.header.product_name);
        if (win::MessageBoxW(nullptr, text.c_str(), run.Caption().c_str(),
                             win::MB_YESNO | win::MB_ICONQUESTION | win::MB_DEFBUTTON2) != win::IDYES) {
            return run.switches.wait ? run.exit_code : 0;
        }
    }
    if (run.temp_mode || Relaunch(run) == Handover::kRunHere) UninstallRun(run);
    return run.switches.wait ? run.exit_code : 0;
}

}  // namespace

void ShowAdministratorMessage(Run& run) {
    ShowBox(run, SubstituteFirst(run.header.admin_text, run.header.product_name), run.Caption().c_str(),
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
