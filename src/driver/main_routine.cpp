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
constexpr win::DWORD kAccountChars = 257;  // the longest user name and its NUL
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

// The log path and the silent flag from the arguments left after the switches that may
// stand anywhere. Without /wait only the first three positions count, as they always
// have; with it the line is read strictly: "/silent" and "/s" count anywhere, and an
// unknown switch (naming no file) or a second path is returned as the argument the
// command line cannot mean. Otherwise returns null.
const Text* ReadArguments(Run& run) {
    const std::vector<Text>& args = run.arguments;
    run.silent = run.switches.quiet;
    if (!run.switches.wait) {
        if (args.empty()) return nullptr;
        std::size_t log_at = 0;
        if (IsSilentSwitch(args[0])) {
            run.silent = true;
            log_at = 1;
        }
        if (log_at < args.size()) run.log_path = args[log_at];
        for (std::size_t i = 1; i < args.size() && i < 3; ++i) {
            if (IsSilentSwitch(args[i])) run.silent = true;
        }
        return nullptr;
    }
    const Text* invalid = nullptr;
    bool have_log = false;
    for (const Text& argument : args) {
        if (IsSilentSwitch(argument)) {
            run.silent = true;
        } else if (!EqualsAsciiNoCase(argument, u"/temp")) {
            if ((have_log || (LooksLikeSwitch(argument) && !FileExists(argument))) && invalid == nullptr) {
                invalid = &argument;
            }
            if (!have_log) run.log_path = argument;
            have_log = true;
        }
    }
    return invalid;
}

// The path with its environment variables expanded, as a shell would have done; unchanged
// when Windows gives nothing.
Text Expanded(const Text& path) {
    Text expanded(win::ExpandEnvironmentStringsW(path.c_str(), nullptr, 0), u'\0');
    if (expanded.empty() || win::ExpandEnvironmentStringsW(path.c_str(), expanded.data(),
                                                           static_cast<win::DWORD>(expanded.size())) != expanded.size()) {
        return path;
    }
    expanded.pop_back();
    return expanded;
}

// The same file by every spelling Windows resolves; a path Windows cannot resolve is
// taken as it is written.
bool SamePlace(const Text& a, const Text& b) {
    Text first;
    Text second;
    if (!CanonicalPath(a, first)) first = a;
    if (!CanonicalPath(b, second)) second = b;
    return CompareLocaleNoCase(first, second) == 0;
}

// Opens the record /log= asked for, after the log, and starts it with the time and the
// command line. A record that would be the log or its journal is not kept: the uninstall
// must read the one and may write the other. The copy the first process starts writes only
// to the record that process opened (/logid=).
void BeginRecord(Run& run) {
    if (run.switches.record.empty()) return;
    run.switches.record = Expanded(run.switches.record);
    if (!run.log_path.empty() &&
        (SamePlace(run.switches.record, run.log_path) ||
         SamePlace(run.switches.record, JournalPath(run.log_name.empty() ? run.log_path : run.log_name)))) {
        return;
    }
    if (!run.events.Open(run.switches.record, run.switches.record_identity, run.log.File())) return;
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
    run.own_path_known = ReadOwnPath(run.own_path);
    run.arguments = SplitCommandLine(TextFromBuffer(win::GetCommandLineW(), static_cast<std::size_t>(-1)));
    // "/temp" counts only as the second argument of the command line as it was given
    // (and, read strictly, only after a log path).
    bool temp_switch = run.arguments.size() >= 2 && EqualsAsciiNoCase(run.arguments[1], u"/temp");
    const bool after_switch = !run.arguments.empty() && LooksLikeSwitch(run.arguments[0]);
    TakeOutSwitches(run.arguments, run.switches);
    if (run.switches.wait && after_switch) temp_switch = false;
    const Text* invalid = ReadArguments(run);
    if (run.switches.help) {
        // Nobody reads help in a silent run; a waiting caller learns that nothing was done.
        if (!run.silent) ShowHelp();
        return run.silent ? win::ERROR_INVALID_COMMAND_LINE : win::ERROR_SUCCESS;
    }
    if (invalid != nullptr) {
        BeginRecord(run);
        return FailInvalidCommandLine(run, *invalid);
    }

    bool default_log = run.log_path.empty();
    if (default_log) run.log_path = Concat({FolderPart(run.own_path), kDefaultLogName});

    // Beside a program whose path is not known there is no default log to find.
    run.temp_mode = temp_switch;
    const bool missing = (default_log && !run.own_path_known) || !FileExists(run.log_path);
    ComputeWellKnownFolders(run.folders);
    const bool opened = !missing && run.log.Open(run.log_path);
    if (opened) {
        run.log_name = FinalPathOf(run.log.File(), run.log_path);
        run.log_identity = IdentityOf(run.log.File());
    }
    BeginRecord(run);
    run.events.Note(Event::kLogPath, 0, &run.log_path);
    if (!opened) {
        // A run that ended right after deleting the log left its journal: it has no use now.
        // Only a journal of this very log goes; any other file of that name stays.
        Text journal;
        if (missing && IsJournalOfItsLog(JournalPath(run.log_path), journal)) {
            run.events.Counting(false);
            DeleteFileOrSchedule(journal, run.folders, run.removal, run.events);
        }
        return FailLogNotOpened(run);
    }
    switch (ParseHeader(run.log, run.header)) {
        case HeaderStatus::kOk:
            break;
        case HeaderStatus::kTooNew:
            return FailLogTooNew(run);
        default:
            return FailLogUnreadable(run);
    }

    if (run.events.IsOpen()) {
        run.events.Note(Event::kProduct, 0, &run.header.product_name(), static_cast<std::uint32_t>(run.header.format_version),
                        run.header.all_users ? u"all users" : u"the current user");
        // The account the run acts as: with an elevated start it may be another than the user's.
        char16_t name[kAccountChars] = {};
        win::DWORD size = kAccountChars;
        const Text account = win::GetUserNameW(name, &size) ? TextFromBuffer(name, kAccountChars) : Text(u"?");
        run.events.Note(IsAdministrator(run.looked_up) ? Event::kElevated : Event::kNotElevated, 0, &account);
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
    Run run{};
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
