#include "driver/main_routine.h"

#include <cstring>

#include "actions/count_journal.h"
#include "driver/command_line.h"
#include "driver/messages.h"
#include "driver/relaunch.h"
#include "driver/run.h"
#include "driver/uninstall_run.h"
#include "environment/privilege.h"

namespace dismora {

namespace {

constexpr win::DWORD kModulePathChars = 261;
const char16_t kDefaultLogName[] = u"Kelvane.log";

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

// Start-up, then the hand-over to the copy or the uninstall itself. Returns the outcome:
// the exit code a waited run ends with.
win::DWORD RunMain(Run& run) {
    run.start_tick = win::GetTickCount();
    run.own_path_known = ReadOwnPath(run.own_path);
    run.arguments = SplitCommandLine(TextFromBuffer(win::GetCommandLineW(), static_cast<std::size_t>(-1)));
    // "/temp" counts only as the second argument of the command line as it was given.
    const bool temp_switch = run.arguments.size() >= 2 && EqualsAsciiNoCase(run.arguments[1], u"/temp");
    TakeOutSwitches(run.arguments, run.switches);
    if (run.switches.help) {
        ShowHelp();
        return win::ERROR_SUCCESS;
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
        // Only a journal of this very log goes; any other file of that name stays.
        Text journal;
        if (missing && IsJournalOfItsLog(JournalPath(run.log_path), journal)) {
            DeleteFileOrSchedule(journal, run.folders, run.removal, run.events);
        }
        return FailLogNotOpened(run);
    }
    run.log_name = FinalPathOf(run.log.File(), run.log_path);
    run.log_identity = IdentityOf(run.log.File());
    switch (ParseHeader(run.log, run.header)) {
        case HeaderStatus::kOk:
            break;
        case HeaderStatus::kTooNew:
            return FailLogTooNew(run);
        default:
            return FailLogUnreadable(run);
    }

    if (run.events.IsOpen()) {
        run.events.Note(Event::kProduct, 0, &run.header.product_name, static_cast<std::uint32_t>(run.header.format_version),
                        run.header.all_users ? u"all users" : u"the current user");
        run.events.Note(IsAdministrator(run.looked_up) ? Event::kElevated : Event::kNotElevated, 0);
    }
    if (!PassPrivilegeGate(run)) return win::ERROR_ELEVATION_REQUIRED;

    if (!run.temp_mode) {
        // Told at once, before the question: the instance that does the work checks again.
        if (UninstallLock().Take(run.log_identity, run.log_name) == UninstallLock::State::kHeld) {
            return TellAnotherUninstallRuns(run);
        }
        if (!run.silent && !Confirm(run)) return win::ERROR_INSTALL_USEREXIT;
        const THandover handover = Relaunch(run);
        if (handover.ended) return handover.outcome;
    }
    return UninstallRun(run);
}

}  // namespace

win::DWORD MainRoutine() {
    Run run;
    const win::DWORD outcome = RunMain(run);
    // A run that handed over to its copy closed the record before the start: the copy goes on with it.
    run.events.Summary(outcome, run.switches.wait);
    if (run.complete) {
        if (!run.silent) ShowFinalMessage(run);
        EndWaiter(run, outcome);
    }
    run.events.Close();
    // Only a caller that asked to wait is told the outcome: every other end is 0.
    return run.switches.wait ? outcome : 0;
}

}  // namespace dismora
