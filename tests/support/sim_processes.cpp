// Processes: running the program as a process and its relaunch chain, the program
// table, CreateProcessW, ShellExecuteExW, waits and exit codes, the process context.
#include <algorithm>

#include "support/sim_state.h"

namespace dismora::sim::detail {

namespace {

constexpr std::uintptr_t kSuccessInstance = 42;

std::u16string FirstWord(std::u16string_view line) {
    if (!line.empty() && line[0] == u'"') {
        const std::size_t end = line.find(u'"', 1);
        return std::u16string(line.substr(1, end == std::u16string_view::npos ? std::u16string_view::npos : end - 1));
    }
    const std::size_t end = line.find_first_of(u" \t");
    return std::u16string(line.substr(0, end));
}

std::u16string WithTrailingSeparator(std::u16string path) {
    if (path.empty() || path.back() != u'\\') path += u'\\';
    return path;
}

std::u16string FolderOf(const std::u16string& path) {
    const std::size_t slash = path.rfind(u'\\');
    return slash == std::u16string::npos ? std::u16string() : path.substr(0, slash + 1);
}

std::u16string ModuleOf(const ProcessOptions& options) {
    return options.module_path.empty() ? FirstWord(options.command_line) : options.module_path;
}

bool HasExtension(std::u16string_view name) {
    const std::size_t dot = name.rfind(u'.');
    return dot != std::u16string_view::npos && name.find_first_of(u"\\/", dot) == std::u16string_view::npos;
}

// A file name found the way CreateProcessW finds one: a path as given, a bare name in the
// starting program's folder, the current folder, the system folder, the 16-bit system
// folder and the Windows folder.
NodePtr FindImage(State& s, std::u16string name, bool add_exe) {
    if (name.empty()) return nullptr;
    if (add_exe && !HasExtension(name)) name += u".exe";
    const Process& me = s.Current();
    std::vector<std::u16string> places;
    if (name.find_first_of(u"\\/:") != std::u16string::npos) {
        places.push_back(name);
    } else {
        for (const std::u16string& folder : {FolderOf(me.record.image), me.record.current_folder,
                                             WithTrailingSeparator(s.system_folder),
                                             WithTrailingSeparator(s.windows_folder) + u"System\\",
                                             WithTrailingSeparator(s.windows_folder)}) {
            places.push_back(folder + name);
        }
    }
    for (const std::u16string& place : places) {
        Resolved r = Resolve(s, place);
        if (!r.error && r.node && !r.node->folder && !r.node->delete_pending) return r.node;
    }
    return nullptr;
}

// The image a command line names: the quoted name, or each prefix that ends before a
// blank, shortest first, as Windows tries them for unquoted paths with spaces.
NodePtr FindCommandImage(State& s, const std::u16string& line) {
    if (!line.empty() && line[0] == u'"') {
        const std::size_t end = line.find(u'"', 1);
        if (end != std::u16string::npos) return FindImage(s, line.substr(1, end - 1), true);
    }
    for (std::size_t pos = 0; pos <= line.size(); ++pos) {
        if (pos < line.size() && line[pos] != u' ' && line[pos] != u'\t') continue;
        if (NodePtr node = FindImage(s, line.substr(0, pos), true)) return node;
    }
    return nullptr;
}

std::uintptr_t ShellErrorInstance(DWORD error) {
    switch (error) {
        case win::ERROR_FILE_NOT_FOUND: return kSeErrFnf;
        case win::ERROR_PATH_NOT_FOUND: return 3;
        case win::ERROR_BAD_EXE_FORMAT: return 11;
        case kErrorNoAssociation: return kSeErrNoAssoc;
        default: return kSeErrAccessDenied;
    }
}

struct Started {
    Process* process = nullptr;
    DWORD error = 0;
};

// Starts what an image file holds: the program itself is queued to run after the
// starter; an external program starts now and runs for its simulated time.
Started StartImage(State& s, const NodePtr& image, const std::u16string& command_line, const std::u16string& folder,
                   const Token& token, StartApi api) {
    Started out;
    if (image->program && image->program->start_error) {
        out.error = *image->program->start_error;
        return out;
    }
    if (!image->program && !image->dismora) {
        out.error = win::ERROR_BAD_EXE_FORMAT;
        return out;
    }
    // The loader opens the image to map it, for reading, sharing reading and deletion.
    if (OpenConflicts(s, image.get(), win::GENERIC_READ, win::FILE_SHARE_READ | win::FILE_SHARE_DELETE)) {
        out.error = win::ERROR_SHARING_VIOLATION;
        return out;
    }
    ProcessOptions options;
    options.command_line = command_line;
    options.module_path = NodePath(*image);
    options.current_folder = folder;
    options.token = token;
    Process& p = CreateProcessRecord(s, options, api, s.Current().record.pid);
    p.image = image;
    p.record.dismora = image->dismora;
    if (image->dismora) {
        p.phase = Phase::kQueued;
        s.queue.push_back(&p);
    } else {
        const Program& program = *image->program;
        ProgramRun run{p.record, program.exit_code, program.run_ms, program.never_ends};
        if (program.on_start) program.on_start(*s.machine, run);
        p.external = true;
        p.phase = Phase::kRunning;
        p.pending_exit_code = run.exit_code;
        p.end_ms = run.never_ends ? kForever : s.now_ms + run.run_ms;
    }
    out.process = &p;
    return out;
}

// The process handle of the current process's; null, with the error set, for any other.
HandleEntry* ProcessHandle(State& s, HANDLE handle) {
    HandleEntry* h = s.FindHandle(handle);
    if (h && h->kind == HandleKind::kProcess) return h;
    s.SetError(win::ERROR_INVALID_HANDLE);
    return nullptr;
}

HANDLE AddProcessHandle(State& s, const Process& target, HandleKind kind) {
    HandleEntry entry;
    entry.kind = kind;
    entry.owner_pid = s.Current().record.pid;
    entry.target_pid = target.record.pid;
    entry.what = (kind == HandleKind::kProcess ? u"process " : u"thread of process ") +
                 Widen(std::to_string(target.record.pid));
    return reinterpret_cast<HANDLE>(s.AddHandle(std::move(entry)));
}

}  // namespace

Process& CreateProcessRecord(State& s, const ProcessOptions& options, StartApi api, DWORD parent) {
    auto process = std::make_unique<Process>();
    Process& p = *process;
    if (api == StartApi::kTest && parent == 0) {
        p.record.pid = 100;
    } else {
        p.record.pid = s.next_pid;
        s.next_pid += 4;
    }
    p.record.parent_pid = parent;
    p.record.started_by = api;
    const std::u16string module = ModuleOf(options);
    p.record.image = FullPath(module, u"C:\\");
    p.record.command_line = options.command_line.empty() ? u"\"" + module + u"\"" : options.command_line;
    p.record.current_folder = WithTrailingSeparator(
        FullPath(options.current_folder.empty() ? FolderOf(p.record.image) : options.current_folder, u"C:\\"));
    p.record.token = options.token;
    if (p.record.token.user_sid.empty()) p.record.token.user_sid = s.options.user_sid;
    p.record.start_ms = s.now_ms;
    p.command_line_buffer = p.record.command_line;
    EnsureUserHive(s, p.record.token.user_sid);
    Resolved image = ResolveFrom(s, p.record.image, u"C:\\");
    if (!image.error && !image.node) {
        s.machine->WriteFile(p.record.image, "MZ");
        image = ResolveFrom(s, p.record.image, u"C:\\");
    }
    if (!image.error) p.image = image.node;
    s.processes.push_back(std::move(process));
    return p;
}

void EndProcess(State& s, Process& p, DWORD exit_code, bool killed) {
    // A thread that never ran ends with its process. Its code runs on as a zombie's, every
    // call failing, so that the memory it owns is let go as Windows lets the process's go.
    for (std::size_t i = 0; i < s.thread_records.size(); ++i) {
        if (s.thread_records[i].pid != p.record.pid || s.thread_records[i].ran || s.threads[i].ended) continue;
        s.threads[i].ended = true;
        Process* caller = s.current;
        const bool zombie = p.zombie;
        const std::size_t thread = s.current_thread;
        s.current = &p;
        p.zombie = true;
        s.current_thread = i + 1;
        s.threads[i].routine(s.threads[i].parameter);
        s.current_thread = thread;
        p.zombie = zombie;
        s.current = caller;
    }
    std::vector<std::uintptr_t> left;
    for (const auto& [value, h] : s.handles) {
        if (h.owner_pid == p.record.pid) left.push_back(value);
    }
    for (std::uintptr_t value : left) {
        const HandleEntry& h = s.handles.at(value);
        if (!killed) s.leaks.push_back({p.record.pid, h.kind, value, h.what});
        s.CloseHandleEntry(value);
    }
    // A mutex the process still owns is abandoned: the next wait for it says so.
    for (auto& [name, weak] : s.mutexes) {
        if (auto mutex = weak.lock(); mutex && mutex->owner_pid == p.record.pid) {
            mutex->owner_pid = 0;
            mutex->recursion = 0;
            mutex->abandoned = true;
        }
    }
    p.phase = Phase::kEnded;
    p.record.end_ms = s.now_ms;
    p.record.exit_code = exit_code;
}

void RunNested(State& s, Process& p) {
    Process* caller = s.current;
    s.current = &p;
    p.phase = Phase::kRunning;
    DWORD code = 0;
    try {
        s.dismora_entry();
    } catch (const ProcessExit& exit) {
        code = exit.code;
    } catch (...) {
        if (p.phase != Phase::kEnded) EndProcess(s, p, 0);
        s.current = caller;
        throw;
    }
    if (p.phase != Phase::kEnded) EndProcess(s, p, code);
    if (s.run_result) s.run_result->processes.push_back(p.record);
    s.current = caller;
}

}  // namespace dismora::sim::detail

namespace dismora::sim {

using namespace detail;

DWORD Machine::StartProgram(std::u16string_view path) {
    DWORD pid = 0;
    auto start = [&] {
        std::u16string line = u"\"" + std::u16string(path) + u"\"";
        win::STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        win::PROCESS_INFORMATION info = {};
        if (!win::CreateProcessW(nullptr, line.data(), nullptr, nullptr, win::FALSE, 0, nullptr, nullptr, &startup, &info)) {
            Fatal("cannot start " + Narrow(path));
        }
        win::CloseHandle(info.hThread);
        win::CloseHandle(info.hProcess);
        pid = info.dwProcessId;
    };
    if (state_->running) {
        start();
    } else {
        Run({.command_line = u"C:\\Tests\\starter.exe"}, start);
    }
    return pid;
}

DWORD Machine::StartApplication(std::u16string_view path, const Application& application) {
    const DWORD pid = StartProgram(path);
    Process& p = *state_->FindProcess(pid);
    p.application = application;
    for (const std::u16string& module : application.modules) {
        Resolved r = Resolve(*state_, module);
        if (r.error || !r.node || r.node->folder) Fatal("no module " + Narrow(module));
        p.modules.push_back(r.node);
    }
    for (const std::u16string& file : application.open) {
        Resolved r = Resolve(*state_, file);
        if (r.error || !r.node || r.node->folder) Fatal("no file " + Narrow(file));
        p.open.push_back(r.node);
    }
    return pid;
}

void Machine::OfferRestartManager(bool offered) { state_->restart_manager = offered; }

RunResult Machine::Run(const ProcessOptions& options, const std::function<void()>& body) {
    State& s = *state_;
    if (s.running) Fatal("Run was called while a simulated process runs");
    Machine* previous = SwapActive(this);
    s.running = true;
    RunResult result;
    s.run_result = &result;
    Process* p = &CreateProcessRecord(s, options, StartApi::kTest, s.test_process->record.pid);
    std::function<void()> entry = body;
    int count = 0;
    while (p) {
        ++count;
        s.current = p;
        p->phase = Phase::kRunning;
        DWORD code = 0;
        try {
            entry();
        } catch (const ProcessExit& exit) {
            code = exit.code;
        } catch (...) {
            if (p->phase != Phase::kEnded) EndProcess(s, *p, 0);
            s.current = s.test_process;
            s.running = false;
            s.run_result = nullptr;
            SwapActive(previous);
            throw;
        }
        if (p->phase != Phase::kEnded) EndProcess(s, *p, code);
        result.processes.push_back(p->record);
        p = nullptr;
        if (s.queue.empty()) break;
        if (count >= s.max_processes) {
            result.chain_cut = true;
            s.Violation("more than " + std::to_string(s.max_processes) + " processes in one run: the relaunch chain was cut");
            for (Process* left : s.queue) EndProcess(s, *left, 1);
            s.queue.clear();
            break;
        }
        p = s.queue.front();
        s.queue.pop_front();
        entry = s.dismora_entry;
    }
    s.current = s.test_process;
    s.running = false;
    s.run_result = nullptr;
    SwapActive(previous);
    return result;
}

RunResult Machine::RunProgram(const ProcessOptions& options) {
    const std::u16string image = FullPath(ModuleOf(options), u"C:\\");
    if (IsFile(image)) {
        ResolveFrom(*state_, image, u"C:\\").node->dismora = true;
    } else {
        InstallDismora(image);
    }
    return Run(options, state_->dismora_entry);
}

void Machine::SetDismoraEntry(std::function<void()> entry) { state_->dismora_entry = std::move(entry); }

void Machine::SetMaxProcesses(int count) { state_->max_processes = count; }

void Machine::SetTestProcess(const ProcessOptions& options) {
    State& s = *state_;
    if (s.running) Fatal("SetTestProcess during a run");
    Process& p = *s.test_process;
    ProcessOptions o = options;
    Process& fresh = CreateProcessRecord(s, o, StartApi::kTest, 0);
    // Keep the one test process: move the new context into it.
    p.record.image = fresh.record.image;
    p.record.command_line = fresh.record.command_line;
    p.record.current_folder = fresh.record.current_folder;
    p.record.token = fresh.record.token;
    p.command_line_buffer = fresh.command_line_buffer;
    p.image = fresh.image;
    s.processes.pop_back();
}

std::vector<ProcessRecord> Machine::Processes() const {
    state_->Settle();
    std::vector<ProcessRecord> out;
    for (const auto& p : state_->processes) out.push_back(p->record);
    return out;
}

const std::vector<StartRecord>& Machine::Starts() const { return state_->starts; }

void Machine::QueueElevationAnswers(std::initializer_list<bool> accept) {
    state_->elevation_answers.insert(state_->elevation_answers.end(), accept.begin(), accept.end());
}

void Machine::SetDefaultElevationAnswer(bool accept) { state_->default_elevation_answer = accept; }

bool Machine::ElevationAnswersConsumed() const { return state_->elevation_answers.empty(); }

int Machine::ElevationPrompts() const { return state_->elevation_prompts; }

void Machine::SetElevationAccount(std::u16string_view sid) { state_->elevation_account = std::u16string(sid); }

}  // namespace dismora::sim

namespace win {

namespace sd = dismora::sim::detail;
using dismora::sim::HandleKind;
using dismora::sim::StartApi;

WCHAR* GetCommandLineW() {
    auto& s = sd::Current();
    sd::Enter(s, "GetCommandLineW");
    return s.Current().command_line_buffer.data();
}

DWORD GetModuleFileNameW(HMODULE hModule, WCHAR* lpFilename, DWORD nSize) {
    auto& s = sd::Current();
    if (auto fault = sd::Enter(s, "GetModuleFileNameW")) {
        s.SetError(*fault);
        return 0;
    }
    std::u16string path;
    if (!hModule || reinterpret_cast<std::uintptr_t>(hModule) == sd::kExeModule) {
        path = s.Current().record.image;
    } else if (!sd::ModuleFileName(s, hModule, &path)) {
        s.SetError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    const DWORD length = static_cast<DWORD>(path.size());
    if (length < nSize) {
        path.copy(lpFilename, length);
        lpFilename[length] = 0;
        s.SetError(ERROR_SUCCESS);
        return length;
    }
    // Too small: cut to nSize - 1 characters and a NUL, and say so.
    if (nSize > 0) {
        path.copy(lpFilename, nSize - 1);
        lpFilename[nSize - 1] = 0;
    }
    s.SetError(ERROR_INSUFFICIENT_BUFFER);
    return nSize;
}

BOOL CreateProcessW(const WCHAR* lpApplicationName, WCHAR* lpCommandLine, void* lpProcessAttributes,
                    void* lpThreadAttributes, BOOL bInheritHandles, DWORD dwCreationFlags, void* lpEnvironment,
                    const WCHAR* lpCurrentDirectory, STARTUPINFOW* lpStartupInfo,
                    PROCESS_INFORMATION* lpProcessInformation) {
    auto& s = sd::Current();
    dismora::sim::StartRecord record;
    record.caller_pid = s.Current().record.pid;
    record.api = StartApi::kCreateProcess;
    if (lpCommandLine) record.command_line = lpCommandLine;
    if (lpApplicationName) record.application_name = std::u16string(lpApplicationName);
    if (lpCurrentDirectory) record.current_folder = std::u16string(lpCurrentDirectory);
    record.startup_cb = lpStartupInfo ? lpStartupInfo->cb : 0;
    record.inherit_handles = bInheritHandles;
    record.creation_flags = dwCreationFlags;
    record.environment_given = lpEnvironment != nullptr;
    auto fail = [&](DWORD error) {
        record.error = error;
        s.starts.push_back(record);
        s.SetError(error);
        return FALSE;
    };
    if (auto fault = sd::Enter(s, "CreateProcessW", record.command_line)) return fail(*fault);
    if (lpProcessAttributes || lpThreadAttributes) s.Violation("CreateProcessW: security attributes are not modelled");
    if (!lpStartupInfo || !lpProcessInformation) {
        s.Violation("CreateProcessW without STARTUPINFOW or PROCESS_INFORMATION");
        return fail(sd::kErrorNoAccess);
    }
    if (!lpApplicationName && !lpCommandLine) return fail(ERROR_INVALID_PARAMETER);
    sd::NodePtr image = lpApplicationName ? sd::FindImage(s, lpApplicationName, false)
                                          : sd::FindCommandImage(s, lpCommandLine);
    if (!image) return fail(ERROR_FILE_NOT_FOUND);
    record.image = sd::NodePath(*image);
    std::u16string folder = s.Current().record.current_folder;
    if (lpCurrentDirectory) {
        sd::Resolved r = sd::Resolve(s, lpCurrentDirectory);
        if (r.error || !r.node || !r.node->folder) return fail(sd::kErrorDirectory);
        folder = sd::NodePath(*r.node);
    }
    const std::u16string command_line = lpCommandLine ? std::u16string(lpCommandLine) : std::u16string(lpApplicationName);
    sd::Started started = sd::StartImage(s, image, command_line, folder, s.Current().record.token, StartApi::kCreateProcess);
    if (!started.process) return fail(started.error);
    lpProcessInformation->hProcess = sd::AddProcessHandle(s, *started.process, HandleKind::kProcess);
    lpProcessInformation->hThread = sd::AddProcessHandle(s, *started.process, HandleKind::kThread);
    lpProcessInformation->dwProcessId = started.process->record.pid;
    lpProcessInformation->dwThreadId = started.process->record.pid + 2;
    record.succeeded = true;
    record.pid = started.process->record.pid;
    record.elevated = started.process->record.token.elevated;
    s.starts.push_back(record);
    return TRUE;
}

BOOL ShellExecuteExW(SHELLEXECUTEINFOW* pExecInfo) {
    auto& s = sd::Current();
    dismora::sim::StartRecord record;
    record.caller_pid = s.Current().record.pid;
    record.api = StartApi::kShellExecute;
    if (!pExecInfo) {
        sd::Enter(s, "ShellExecuteExW");
        s.Violation("ShellExecuteExW(NULL)");
        s.SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    SHELLEXECUTEINFOW& sei = *pExecInfo;
    record.cb_size = sei.cbSize;
    record.mask = sei.fMask;
    record.hwnd = sei.hwnd;
    if (sei.lpVerb) record.verb = std::u16string(sei.lpVerb);
    if (sei.lpFile) record.file = std::u16string(sei.lpFile);
    if (sei.lpParameters) record.parameters = std::u16string(sei.lpParameters);
    if (sei.lpDirectory) record.directory = std::u16string(sei.lpDirectory);
    record.show = sei.nShow;
    auto fail = [&](DWORD error) {
        record.error = error;
        s.starts.push_back(record);
        sei.hInstApp = reinterpret_cast<HINSTANCE>(sd::ShellErrorInstance(error));
        s.SetError(error);
        return FALSE;
    };
    if (auto fault = sd::Enter(s, "ShellExecuteExW", record.file.value_or(u""))) return fail(*fault);
    if (sei.cbSize != sizeof(SHELLEXECUTEINFOW)) return fail(ERROR_ACCESS_DENIED);
    const bool runas = sei.lpVerb && sd::EqualNoCase(sei.lpVerb, u"runas");
    if (sei.lpVerb && *sei.lpVerb && !runas && !sd::EqualNoCase(sei.lpVerb, u"open")) {
        s.Violation("ShellExecuteExW: only the verbs open and runas are modelled");
    }
    sd::NodePtr image = sei.lpFile ? sd::FindImage(s, sei.lpFile, true) : nullptr;
    if (!image) return fail(ERROR_FILE_NOT_FOUND);
    record.image = sd::NodePath(*image);
    if (!image->program && !image->dismora) return fail(sd::kErrorNoAssociation);
    std::u16string folder = s.Current().record.current_folder;
    if (sei.lpDirectory) {
        sd::Resolved r = sd::Resolve(s, sei.lpDirectory);
        if (r.error || !r.node || !r.node->folder) return fail(sd::kErrorDirectory);
        folder = sd::NodePath(*r.node);
    } else if (runas) {
        folder = s.system_folder;  // an elevated start without a folder works in the system folder
    }
    dismora::sim::Token token = s.Current().record.token;
    if (runas) {
        if (!s.EffectiveAdmin(s.Current())) {
            ++s.elevation_prompts;
            record.elevation_prompted = true;
            bool accept = s.default_elevation_answer;
            if (!s.elevation_answers.empty()) {
                accept = s.elevation_answers.front();
                s.elevation_answers.pop_front();
            }
            record.elevation_accepted = accept;
            if (!accept) return fail(ERROR_CANCELLED);
            // Consent for an administrator; credentials of an administrator account otherwise.
            if (!token.administrator) token.user_sid = s.elevation_account;
        }
        token.administrator = true;
        token.elevated = true;
    }
    std::u16string command_line = u"\"" + sd::NodePath(*image) + u"\"";
    if (sei.lpParameters && *sei.lpParameters) command_line += u" " + std::u16string(sei.lpParameters);
    record.command_line = command_line;
    sd::Started started = sd::StartImage(s, image, command_line, folder, token, StartApi::kShellExecute);
    if (!started.process) return fail(started.error);
    if (sei.fMask & sd::kSeeMaskNoCloseProcess) sei.hProcess = sd::AddProcessHandle(s, *started.process, HandleKind::kProcess);
    sei.hInstApp = reinterpret_cast<HINSTANCE>(sd::kSuccessInstance);
    record.succeeded = true;
    record.pid = started.process->record.pid;
    record.elevated = token.elevated;
    s.starts.push_back(record);
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    auto& s = sd::Current();
    dismora::sim::WaitRecord wait;
    wait.pid = s.Current().record.pid;
    wait.timeout = dwMilliseconds;
    wait.start_ms = s.now_ms;
    auto finish = [&](DWORD result) {
        wait.result = result;
        wait.end_ms = s.now_ms;
        s.waits.push_back(wait);
        return result;
    };
    if (auto fault = sd::Enter(s, "WaitForSingleObject")) {
        s.SetError(*fault);
        return finish(WAIT_FAILED);
    }
    sd::HandleEntry* h = s.FindHandle(hHandle);
    if (!h || h->kind == HandleKind::kKey) {
        s.SetError(ERROR_INVALID_HANDLE);
        return finish(WAIT_FAILED);
    }
    if (h->kind == HandleKind::kFile) return finish(WAIT_OBJECT_0);
    if (h->kind == HandleKind::kMutex) {
        sd::Mutex& mutex = *h->mutex;
        const DWORD me = s.Current().record.pid;
        if (mutex.owner_pid == 0 || mutex.owner_pid == me) {
            const bool abandoned = mutex.abandoned;
            mutex.abandoned = false;
            mutex.owner_pid = me;
            ++mutex.recursion;
            return finish(abandoned ? sd::kWaitAbandoned : WAIT_OBJECT_0);
        }
        // Only one process runs at a time: another owner cannot release it during the wait.
        if (dwMilliseconds == INFINITE) {
            s.Violation("waiting forever for a mutex another process owns");
            s.SetError(ERROR_INVALID_HANDLE);
            return finish(WAIT_FAILED);
        }
        s.now_ms += dwMilliseconds;
        return finish(WAIT_TIMEOUT);
    }
    if (h->thread != 0) {
        wait.thread = h->thread;
        return finish(sd::WaitForThread(s, h->thread, dwMilliseconds));
    }
    wait.target_pid = h->target_pid;
    s.Settle();
    sd::Process* target = s.FindProcess(h->target_pid);
    if (target->phase == sd::Phase::kQueued && !target->external) {
        // The program waited for runs now; the waiter may be ended by it meanwhile.
        s.queue.erase(std::find(s.queue.begin(), s.queue.end(), target));
        sd::RunNested(s, *target);
    }
    if (target->phase == sd::Phase::kEnded) return finish(WAIT_OBJECT_0);
    const bool hangs = target->phase == sd::Phase::kQueued || target->end_ms == sd::kForever;
    if (hangs && dwMilliseconds == INFINITE) {
        s.Violation(target->phase == sd::Phase::kQueued
                        ? "waiting forever for a program that can only run after this process"
                        : "waiting forever for a program that never ends");
        s.SetError(ERROR_INVALID_HANDLE);
        return finish(WAIT_FAILED);
    }
    const std::uint64_t remaining = hangs ? sd::kForever : target->end_ms - s.now_ms;
    if (dwMilliseconds == INFINITE || remaining <= dwMilliseconds) {
        s.now_ms += remaining;
        s.Settle();
        return finish(WAIT_OBJECT_0);
    }
    s.now_ms += dwMilliseconds;
    return finish(WAIT_TIMEOUT);
}

BOOL GetExitCodeProcess(HANDLE hProcess, DWORD* lpExitCode) {
    auto& s = sd::Current();
    if (auto fault = sd::Enter(s, "GetExitCodeProcess")) {
        s.SetError(*fault);
        return FALSE;
    }
    sd::HandleEntry* h = sd::ProcessHandle(s, hProcess);
    if (!h) return FALSE;
    if (!lpExitCode) {
        s.Violation("GetExitCodeProcess with a NULL lpExitCode");
        s.SetError(sd::kErrorNoAccess);
        return FALSE;
    }
    s.Settle();
    const sd::Process* target = s.FindProcess(h->target_pid);
    *lpExitCode = target->phase == sd::Phase::kEnded ? *target->record.exit_code : STILL_ACTIVE;
    return TRUE;
}

void ExitProcess(UINT uExitCode) {
    auto& s = sd::Current();
    sd::Enter(s, "ExitProcess");
    throw sd::ProcessExit{uExitCode};
}

DWORD GetCurrentProcessId() {
    auto& s = sd::Current();
    sd::Enter(s, "GetCurrentProcessId");
    return s.Current().record.pid;
}

// The pseudo handle, as Windows gives it: no handle to close.
HANDLE GetCurrentProcess() {
    auto& s = sd::Current();
    sd::Enter(s, "GetCurrentProcess");
    return INVALID_HANDLE_VALUE;
}

// The creation time only: what a process's start in simulated time is on the clock of
// FILETIME (100 ns units).
BOOL GetProcessTimes(HANDLE hProcess, FILETIME* lpCreationTime, FILETIME* lpExitTime, FILETIME* lpKernelTime,
                     FILETIME* lpUserTime) {
    auto& s = sd::Current();
    if (auto fault = sd::Enter(s, "GetProcessTimes")) {
        s.SetError(*fault);
        return FALSE;
    }
    const sd::Process* target = &s.Current();
    if (hProcess != INVALID_HANDLE_VALUE) {
        sd::HandleEntry* h = sd::ProcessHandle(s, hProcess);
        if (!h) return FALSE;
        target = s.FindProcess(h->target_pid);
    }
    const std::uint64_t created = (target->record.start_ms + 13'000'000'000'000ULL) * 10'000ULL;
    *lpCreationTime = {static_cast<DWORD>(created), static_cast<DWORD>(created >> 32)};
    *lpExitTime = *lpKernelTime = *lpUserTime = {};
    return TRUE;
}

HANDLE OpenProcess(DWORD dwDesiredAccess, BOOL bInheritHandle, DWORD dwProcessId) {
    auto& s = sd::Current();
    if (auto fault = sd::Enter(s, "OpenProcess", sd::Hex(dwProcessId))) {
        s.SetError(*fault);
        return nullptr;
    }
    if (bInheritHandle) s.Violation("OpenProcess: inheritable handles are not modelled");
    (void)dwDesiredAccess;
    s.Settle();
    sd::Process* target = s.FindProcess(dwProcessId);
    if (!target || target->phase == sd::Phase::kEnded || target == s.test_process) {
        s.SetError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    // Another user's process is open to an effective administrator only.
    if (target->record.token.user_sid != s.Current().record.token.user_sid && !s.EffectiveAdmin(s.Current())) {
        s.SetError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return sd::AddProcessHandle(s, *target, HandleKind::kProcess);
}

BOOL TerminateProcess(HANDLE hProcess, UINT uExitCode) {
    auto& s = sd::Current();
    if (auto fault = sd::Enter(s, "TerminateProcess")) {
        s.SetError(*fault);
        return FALSE;
    }
    sd::HandleEntry* h = sd::ProcessHandle(s, hProcess);
    if (!h) return FALSE;
    s.Settle();
    sd::Process* target = s.FindProcess(h->target_pid);
    if (target->phase == sd::Phase::kEnded) {
        s.SetError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (target == &s.Current()) s.Violation("TerminateProcess of the calling process");
    if (target->phase == sd::Phase::kQueued) s.queue.erase(std::find(s.queue.begin(), s.queue.end(), target));
    // A program whose code is under way (waiting below the caller) runs on without effect.
    if (!target->external) target->zombie = true;
    sd::EndProcess(s, *target, uExitCode, true);
    return TRUE;
}

BOOL QueryFullProcessImageNameW(HANDLE hProcess, DWORD dwFlags, WCHAR* lpExeName, DWORD* lpdwSize) {
    auto& s = sd::Current();
    if (auto fault = sd::Enter(s, "QueryFullProcessImageNameW")) {
        s.SetError(*fault);
        return FALSE;
    }
    sd::HandleEntry* h = s.FindHandle(hProcess);
    if (!h || h->kind != HandleKind::kProcess || dwFlags != 0 || !lpdwSize) {
        s.SetError(!h ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const std::u16string& image = s.FindProcess(h->target_pid)->record.image;
    if (image.size() + 1 > *lpdwSize || !lpExeName) {
        s.SetError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    image.copy(lpExeName, image.size());
    lpExeName[image.size()] = 0;
    *lpdwSize = static_cast<DWORD>(image.size());
    return TRUE;
}

HANDLE CreateMutexW(void* lpMutexAttributes, BOOL bInitialOwner, const WCHAR* lpName) {
    auto& s = sd::Current();
    if (auto fault = sd::Enter(s, "CreateMutexW", sd::FromC(lpName))) {
        s.SetError(*fault);
        return nullptr;
    }
    if (lpMutexAttributes) s.Violation("CreateMutexW: security attributes are not modelled");
    if (!lpName) s.Violation("CreateMutexW: unnamed mutexes are not modelled");
    const std::u16string name = sd::Fold(sd::FromC(lpName));
    if (name.find(u'\\') != std::u16string::npos && name.rfind(u"GLOBAL\\", 0) != 0 && name.rfind(u"LOCAL\\", 0) != 0) {
        s.SetError(ERROR_PATH_NOT_FOUND);  // a backslash outside the namespace prefix names no namespace
        return nullptr;
    }
    const sd::Process& me = s.Current();
    std::shared_ptr<sd::Mutex> mutex = s.mutexes[name].lock();
    const bool existed = mutex != nullptr;
    if (existed) {
        const bool allowed = mutex->creator_admin ? s.EffectiveAdmin(me) : mutex->creator_sid == me.record.token.user_sid;
        if (!allowed) {
            s.SetError(ERROR_ACCESS_DENIED);
            return nullptr;
        }
    } else {
        mutex = std::make_shared<sd::Mutex>();
        mutex->name = name;
        mutex->creator_sid = me.record.token.user_sid;
        mutex->creator_admin = s.EffectiveAdmin(me);
        if (bInitialOwner) {
            mutex->owner_pid = me.record.pid;
            mutex->recursion = 1;
        }
        s.mutexes[name] = mutex;
    }
    sd::HandleEntry entry;
    entry.kind = HandleKind::kMutex;
    entry.owner_pid = me.record.pid;
    entry.what = u"mutex " + name;
    entry.mutex = mutex;
    const std::uintptr_t value = s.AddHandle(std::move(entry));
    s.SetError(existed ? static_cast<DWORD>(ERROR_ALREADY_EXISTS) : 0);
    return reinterpret_cast<HANDLE>(value);
}

BOOL ReleaseMutex(HANDLE hMutex) {
    auto& s = sd::Current();
    if (auto fault = sd::Enter(s, "ReleaseMutex")) {
        s.SetError(*fault);
        return FALSE;
    }
    sd::HandleEntry* h = s.FindHandle(hMutex);
    if (!h || h->kind != HandleKind::kMutex) {
        s.SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (h->mutex->owner_pid != s.Current().record.pid) {
        s.SetError(sd::kErrorNotOwner);
        return FALSE;
    }
    if (--h->mutex->recursion == 0) h->mutex->owner_pid = 0;
    return TRUE;
}


namespace {

constexpr std::uintptr_t kFirstApplicationWindow = 0x5A000000;

HWND ApplicationWindow(DWORD pid) { return reinterpret_cast<HWND>(kFirstApplicationWindow + 16 * std::uintptr_t{pid}); }

// The running application whose window it is; null, with the error set, for any other.
sd::Process* WindowOwner(sd::State& s, HWND hwnd) {
    const auto value = reinterpret_cast<std::uintptr_t>(hwnd);
    s.Settle();
    sd::Process* p = value > kFirstApplicationWindow ? s.FindProcess(static_cast<DWORD>((value - kFirstApplicationWindow) / 16))
                                                     : nullptr;
    if (p && p->phase != sd::Phase::kEnded && !p->application.window.empty()) return p;
    s.SetError(sd::kErrorInvalidWindowHandle);
    return nullptr;
}

// Fills a snapshot's entry from its next line; false at the end.
bool NextListed(sd::State& s, HANDLE snapshot, bool first, DWORD* id, WCHAR* text, std::size_t chars) {
    sd::HandleEntry* h = s.FindHandle(snapshot);
    if (!h || !h->snapshot) {
        s.SetError(ERROR_INVALID_HANDLE);
        return false;
    }
    if (first) h->found_next = 0;
    if (h->found_next >= h->listed.size()) {
        s.SetError(sd::kErrorNoMoreFiles);
        return false;
    }
    const auto& [pid, name] = h->listed[h->found_next++];
    *id = pid;
    const std::size_t n = std::min(name.size(), chars - 1);
    name.copy(text, n);
    text[n] = 0;
    return true;
}

}  // namespace

BOOL ProcessIdToSessionId(DWORD dwProcessId, DWORD* pSessionId) {
    auto& s = sd::Current();
    if (auto fault = sd::Enter(s, "ProcessIdToSessionId")) {
        s.SetError(*fault);
        return FALSE;
    }
    s.Settle();
    const sd::Process* p = s.FindProcess(dwProcessId);
    if (!p || p->phase == sd::Phase::kEnded) {
        s.SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *pSessionId = p->application.session;
    return TRUE;
}

HANDLE CreateToolhelp32Snapshot(DWORD dwFlags, DWORD th32ProcessID) {
    auto& s = sd::Current();
    if (auto fault = sd::Enter(s, "CreateToolhelp32Snapshot")) {
        s.SetError(*fault);
        return INVALID_HANDLE_VALUE;
    }
    s.Settle();
    sd::HandleEntry entry;
    entry.owner_pid = s.Current().record.pid;
    entry.snapshot = true;
    if (dwFlags == TH32CS_SNAPPROCESS) {
        entry.what = u"process snapshot";
        for (const auto& p : s.processes) {
            if (p->phase == sd::Phase::kEnded) continue;
            const std::u16string& image = p->record.image;
            entry.listed.emplace_back(p->record.pid, image.substr(image.rfind(u'\\') + 1));
        }
    } else if (dwFlags == (TH32CS_SNAPMODULE | TH32CS_SNAPMODULE32)) {
        entry.what = u"module snapshot";
        const sd::Process* p = s.FindProcess(th32ProcessID);
        if (!p || p->phase == sd::Phase::kEnded) {
            s.SetError(ERROR_INVALID_PARAMETER);
            return INVALID_HANDLE_VALUE;
        }
        // A 32-bit caller cannot read a 64-bit process; another user's only as an administrator.
        if (p->application.wide ||
            (p->record.token.user_sid != s.Current().record.token.user_sid && !s.EffectiveAdmin(s.Current()))) {
            s.SetError(p->application.wide ? sd::kErrorPartialCopy : ERROR_ACCESS_DENIED);
            return INVALID_HANDLE_VALUE;
        }
        entry.listed.emplace_back(p->record.pid, p->record.image);
        for (const sd::NodePtr& module : p->modules) entry.listed.emplace_back(p->record.pid, sd::NodePath(*module));
    } else {
        s.Violation("CreateToolhelp32Snapshot: only process and module snapshots are modelled");
        s.SetError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    return reinterpret_cast<HANDLE>(s.AddHandle(std::move(entry)));
}

// The process that started the one listed, as the snapshot records it.
BOOL WithParent(sd::State& s, PROCESSENTRY32W* lppe, BOOL listed) {
    const sd::Process* p = listed ? s.FindProcess(lppe->th32ProcessID) : nullptr;
    lppe->th32ParentProcessID = p != nullptr ? p->record.parent_pid : 0;
    return listed;
}

BOOL Process32FirstW(HANDLE hSnapshot, PROCESSENTRY32W* lppe) {
    auto& s = sd::Current();
    sd::Enter(s, "Process32FirstW");
    if (lppe->dwSize != sizeof(PROCESSENTRY32W)) s.Violation("Process32FirstW: dwSize not set");
    return WithParent(s, lppe, NextListed(s, hSnapshot, true, &lppe->th32ProcessID, lppe->szExeFile, std::size(lppe->szExeFile)));
}

BOOL Process32NextW(HANDLE hSnapshot, PROCESSENTRY32W* lppe) {
    auto& s = sd::Current();
    sd::Enter(s, "Process32NextW");
    return WithParent(s, lppe, NextListed(s, hSnapshot, false, &lppe->th32ProcessID, lppe->szExeFile, std::size(lppe->szExeFile)));
}

BOOL Module32FirstW(HANDLE hSnapshot, MODULEENTRY32W* lpme) {
    auto& s = sd::Current();
    sd::Enter(s, "Module32FirstW");
    if (lpme->dwSize != sizeof(MODULEENTRY32W)) s.Violation("Module32FirstW: dwSize not set");
    return NextListed(s, hSnapshot, true, &lpme->th32ProcessID, lpme->szExePath, std::size(lpme->szExePath));
}

BOOL Module32NextW(HANDLE hSnapshot, MODULEENTRY32W* lpme) {
    auto& s = sd::Current();
    sd::Enter(s, "Module32NextW");
    return NextListed(s, hSnapshot, false, &lpme->th32ProcessID, lpme->szExePath, std::size(lpme->szExePath));
}

// Only the applications' windows are listed: the program's own are never its to close.
BOOL EnumWindows(WNDENUMPROC lpEnumFunc, LPARAM lParam) {
    auto& s = sd::Current();
    if (auto fault = sd::Enter(s, "EnumWindows")) {
        s.SetError(*fault);
        return FALSE;
    }
    s.Settle();
    std::vector<DWORD> owners;
    for (const auto& p : s.processes) {
        if (p->phase != sd::Phase::kEnded && !p->application.window.empty()) owners.push_back(p->record.pid);
    }
    for (const DWORD pid : owners) {
        if (!lpEnumFunc(ApplicationWindow(pid), lParam)) break;
    }
    return TRUE;
}

DWORD GetWindowThreadProcessId(HWND hWnd, DWORD* lpdwProcessId) {
    auto& s = sd::Current();
    sd::Enter(s, "GetWindowThreadProcessId");
    const sd::Process* p = WindowOwner(s, hWnd);
    if (lpdwProcessId) *lpdwProcessId = p ? p->record.pid : 0;
    return p ? p->record.pid + 1 : 0;
}

int GetWindowTextW(HWND hWnd, WCHAR* lpString, int nMaxCount) {
    auto& s = sd::Current();
    sd::Enter(s, "GetWindowTextW");
    const sd::Process* p = WindowOwner(s, hWnd);
    if (!p || nMaxCount <= 0) return 0;
    const std::size_t n = std::min(p->application.window.size(), static_cast<std::size_t>(nMaxCount - 1));
    p->application.window.copy(lpString, n);
    lpString[n] = 0;
    return static_cast<int>(n);
}

BOOL IsWindowVisible(HWND hWnd) {
    auto& s = sd::Current();
    sd::Enter(s, "IsWindowVisible");
    return WindowOwner(s, hWnd) ? TRUE : FALSE;
}

BOOL PostMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
    auto& s = sd::Current();
    if (auto fault = sd::Enter(s, "PostMessageW")) {
        s.SetError(*fault);
        return FALSE;
    }
    (void)wParam;
    (void)lParam;
    sd::Process* p = WindowOwner(s, hWnd);
    if (!p) return FALSE;
    if (Msg != WM_CLOSE) s.Violation("PostMessageW: only WM_CLOSE is modelled for an application");
    const auto& closes = p->application.closes_after_ms;
    if (closes && p->end_ms > s.now_ms + *closes) p->end_ms = s.now_ms + *closes;
    return TRUE;
}

}  // namespace win

// --- the Restart Manager: sessions, their registered files, and who holds them ---------
namespace dismora::sim::detail {

namespace {

constexpr DWORD kErrorBadArguments = 160;

DWORD WIN_STDCALL SimRmStartSession(DWORD* session, DWORD flags, WCHAR* key) {
    State& s = Current();
    if (auto fault = Enter(s, "RmStartSession")) return *fault;
    if (session == nullptr || key == nullptr || flags != 0) return kErrorBadArguments;
    *session = s.next_rm_session++;
    s.rm_sessions[*session];
    // The key: 32 hexadecimal digits and a NUL, as CCH_RM_SESSION_KEY + 1 holds.
    const std::string digits = "00112233445566778899aabbccdd" + std::to_string(1000 + *session);
    for (std::size_t i = 0; i < 32; ++i) key[i] = static_cast<char16_t>(digits[i]);
    key[32] = 0;
    return win::ERROR_SUCCESS;
}

DWORD WIN_STDCALL SimRmRegisterResources(DWORD session, UINT files, const WCHAR* const* names, UINT applications,
                                         win::RM_UNIQUE_PROCESS* processes, UINT services, const WCHAR* const* service_names) {
    State& s = Current();
    if (auto fault = Enter(s, "RmRegisterResources")) return *fault;
    auto registered = s.rm_sessions.find(session);
    if (registered == s.rm_sessions.end()) return win::ERROR_INVALID_HANDLE;
    if ((files != 0 && names == nullptr) || (applications != 0 && processes == nullptr) ||
        (services != 0 && service_names == nullptr)) {
        return kErrorBadArguments;
    }
    if (applications != 0 || services != 0) s.Violation("RmRegisterResources: only files are modelled");
    for (UINT i = 0; i < files; ++i) registered->second.emplace_back(names[i]);
    return win::ERROR_SUCCESS;
}

// Every running process that holds a registered file: as its program, a module, a file it
// holds open, or a handle of its own.
DWORD WIN_STDCALL SimRmGetList(DWORD session, UINT* needed, UINT* count, win::RM_PROCESS_INFO* infos, DWORD* reasons) {
    State& s = Current();
    if (auto fault = Enter(s, "RmGetList")) return *fault;
    auto registered = s.rm_sessions.find(session);
    if (registered == s.rm_sessions.end()) return win::ERROR_INVALID_HANDLE;
    if (needed == nullptr || count == nullptr || reasons == nullptr || (*count != 0 && infos == nullptr)) {
        return kErrorBadArguments;
    }
    s.Settle();
    std::vector<const FsNode*> nodes;
    for (const std::u16string& path : registered->second) {
        if (const Resolved r = Resolve(s, path); r.node) nodes.push_back(r.node.get());
    }
    auto holds = [&](const Process& p) {
        for (const FsNode* node : nodes) {
            if (p.image.get() == node) return true;
            for (const std::vector<NodePtr>* held : {&p.modules, &p.open}) {
                for (const NodePtr& n : *held) {
                    if (n.get() == node) return true;
                }
            }
            for (const auto& [value, h] : s.handles) {
                if (h.node.get() == node && h.owner_pid == p.record.pid) return true;
            }
        }
        return false;
    };
    std::vector<const Process*> holding;
    for (const auto& p : s.processes) {
        if (p->phase != Phase::kEnded && holds(*p)) holding.push_back(p.get());
    }
    *needed = static_cast<UINT>(holding.size());
    *reasons = 0;
    if (*count < holding.size()) {
        *count = 0;
        return win::ERROR_MORE_DATA;
    }
    *count = static_cast<UINT>(holding.size());
    for (std::size_t i = 0; i < holding.size(); ++i) {
        const Process& p = *holding[i];
        win::RM_PROCESS_INFO& info = infos[i];
        info = {};
        info.Process.dwProcessId = p.record.pid;
        const std::u16string& image = p.record.image;
        const std::u16string name =
            p.application.rm_name.empty() ? image.substr(image.rfind(u'\\') + 1) : p.application.rm_name;
        name.copy(info.strAppName, std::min<std::size_t>(name.size(), std::size(info.strAppName) - 1));
        info.ApplicationType = p.application.rm_type;
        info.TSSessionId = p.application.session;
    }
    return win::ERROR_SUCCESS;
}

DWORD WIN_STDCALL SimRmEndSession(DWORD session) {
    State& s = Current();
    if (auto fault = Enter(s, "RmEndSession")) return *fault;
    return s.rm_sessions.erase(session) != 0 ? win::ERROR_SUCCESS : static_cast<DWORD>(win::ERROR_INVALID_HANDLE);
}

template <typename F>
win::FARPROC AsExport(F f) {
    return reinterpret_cast<win::FARPROC>(reinterpret_cast<void (*)()>(f));
}

}  // namespace

win::FARPROC RestartManagerExport(std::string_view name) {
    if (name == "RmStartSession") return AsExport(win::PFN_RmStartSession{&SimRmStartSession});
    if (name == "RmRegisterResources") return AsExport(win::PFN_RmRegisterResources{&SimRmRegisterResources});
    if (name == "RmGetList") return AsExport(win::PFN_RmGetList{&SimRmGetList});
    if (name == "RmEndSession") return AsExport(win::PFN_RmEndSession{&SimRmEndSession});
    return nullptr;
}

}  // namespace dismora::sim::detail
