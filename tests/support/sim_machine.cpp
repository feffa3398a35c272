// The machine itself: which one is active, call counting and faults, handles,
// simulated time, diagnostics.
#include <cstdio>
#include <cstdlib>

#include "support/sim_state.h"

#if __has_include("driver/main_routine.h")
#include "driver/main_routine.h"
#else
namespace dismora {
win::DWORD MainRoutine();
}
#endif

namespace dismora::sim {

namespace {

Machine* g_active = nullptr;

}  // namespace

namespace detail {

[[noreturn]] void Fatal(const std::string& message) {
    std::fprintf(stderr, "simulated Windows: %s\n", message.c_str());
    std::fflush(stderr);
    std::abort();
}

State& Current() {
    if (!g_active) Fatal("a win:: function was called with no simulated machine alive");
    return g_active->state();
}

std::optional<DWORD> Enter(State& s, std::string_view function, std::u16string_view argument) {
    if (s.current && s.current->zombie) return static_cast<DWORD>(win::ERROR_INVALID_HANDLE);
    auto count = s.call_counts.find(function);
    if (count == s.call_counts.end()) count = s.call_counts.emplace(std::string(function), 0).first;
    const std::uint64_t nth = ++count->second;
    ++s.total_calls;
    if (s.trace.size() < 100000) s.trace.push_back({s.current->record.pid, std::string(function), std::u16string(argument)});
    if (!s.in_hook) {
        for (std::size_t i = 0; i < s.hooks.size(); ++i) {
            if (s.hooks[i].fired || !s.hooks[i].when(function, argument)) continue;
            s.hooks[i].fired = true;
            const Hook hook = s.hooks[i];  // a hook may add hooks
            Process* caller = s.current;
            ProcessOptions options = hook.as;
            if (options.command_line.empty()) {
                options = {.command_line = u"\"" + s.test_process->record.image + u"\"", .token = caller->record.token};
            }
            Process& other = CreateProcessRecord(s, options, StartApi::kTest, caller->record.pid);
            other.record.dismora = !hook.as.command_line.empty();
            other.phase = Phase::kRunning;
            s.current = &other;
            s.in_hook = true;
            DWORD code = 0;
            try {
                hook.action();
            } catch (const ProcessExit& exit) {
                code = exit.code;
            }
            s.in_hook = false;
            if (other.phase != Phase::kEnded) EndProcess(s, other, code);
            s.current = caller;
        }
    }
    if (s.kill_at && s.total_calls == s.kill_at && s.current && s.current != s.test_process) {
        s.current->zombie = true;
        EndProcess(s, *s.current, 1, true);
        return static_cast<DWORD>(win::ERROR_INVALID_HANDLE);
    }
    if (s.call_budget && s.total_calls > s.call_budget) {
        if (s.total_calls == s.call_budget + 1) s.Violation("call budget of " + std::to_string(s.call_budget) + " exceeded");
        if (s.total_calls > 2 * s.call_budget) Fatal("runaway: twice the call budget, in " + std::string(function));
        return static_cast<DWORD>(win::ERROR_NOT_ENOUGH_MEMORY);
    }
    auto faults = s.faults.find(function);
    if (faults != s.faults.end()) {
        for (const Fault& fault : faults->second) {
            if (nth >= fault.first && nth <= fault.last) return fault.error;
        }
    }
    return std::nullopt;
}

void State::Violation(std::string text) {
    violations.push_back("process " + std::to_string(current ? current->record.pid : 0) + ": " + std::move(text));
}

bool State::EffectiveAdmin(const Process& process) const {
    const Token& token = process.record.token;
    return token.administrator && (token.elevated || !uac_enabled);
}

bool State::MayChange(const Process& process, const std::u16string& owner) const {
    if (owner == u"*" || EffectiveAdmin(process)) return true;
    return !owner.empty() && owner == process.record.token.user_sid;
}

std::uintptr_t State::AddHandle(HandleEntry entry) {
    const std::uintptr_t value = next_handle;
    next_handle += 4;
    handles.emplace(value, std::move(entry));
    return value;
}

HandleEntry* State::FindHandle(const void* handle) {
    auto it = handles.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it == handles.end() || it->second.owner_pid != current->record.pid) return nullptr;
    return &it->second;
}

void State::CloseHandleEntry(std::uintptr_t value) {
    auto it = handles.find(value);
    if (it == handles.end()) return;
    NodePtr node = it->second.node;
    handles.erase(it);
    if (node && node->delete_pending) {
        for (const auto& [v, h] : handles) {
            if (h.node == node) return;
        }
        RemoveNode(*this, node);
    }
}

void State::Settle() {
    for (auto& p : processes) {
        if (p->external && p->phase == Phase::kRunning && now_ms >= p->end_ms) {
            p->phase = Phase::kEnded;
            p->record.end_ms = p->end_ms;
            p->record.exit_code = p->pending_exit_code;
        }
    }
}

Process* State::FindProcess(DWORD pid) {
    for (auto& p : processes) {
        if (p->record.pid == pid) return p.get();
    }
    return nullptr;
}

bool State::ImageInUse(const FsNode* node) {
    Settle();
    for (auto& p : processes) {
        // A queued program has been started already: only its turn to run is deferred.
        if (p->phase == Phase::kEnded) continue;
        if (p->image.get() == node) return true;
        for (const NodePtr& module : p->modules) {
            if (module.get() == node) return true;
        }
    }
    return false;
}

std::u16string State::UserHiveSid(const Process& process) const { return process.record.token.user_sid; }

}  // namespace detail

using detail::State;

Machine::Machine() : Machine(MachineOptions{}) {}

Machine::Machine(const MachineOptions& options) : state_(std::make_unique<State>()) {
    State& s = *state_;
    s.machine = this;
    s.options = options;
    s.dismora_entry = [] { win::ExitProcess(dismora::MainRoutine()); };
    detail::InitUserInterface(s);

    auto root = std::make_shared<detail::FsNode>();
    root->name = u"C:";
    root->folder = true;
    root->attributes = win::FILE_ATTRIBUTE_DIRECTORY | win::FILE_ATTRIBUTE_HIDDEN | detail::kFileAttributeSystem;
    root->owner = u"*";
    s.drives[u'C'].root = root;

    s.hklm = std::make_shared<detail::RegKey>();
    s.hklm->hive_root = true;
    s.hku = std::make_shared<detail::RegKey>();
    s.hku->hive_root = true;
    detail::KeyFromPath(s, u"HKEY_LOCAL_MACHINE\\Software\\Classes", true);
    for (const char16_t* sid : {u".DEFAULT", u"S-1-5-18", u"S-1-5-19", u"S-1-5-20"}) {
        detail::EnsureUserHive(s, sid);
    }
    detail::EnsureUserHive(s, options.user_sid);

    previous_active_ = g_active;
    g_active = this;

    ProcessOptions host;
    host.command_line = u"\"C:\\Tests\\host.exe\"";
    host.module_path = u"C:\\Tests\\host.exe";
    host.current_folder = u"C:\\Tests\\";
    detail::Process& test = detail::CreateProcessRecord(s, host, StartApi::kTest, 0);
    test.phase = detail::Phase::kRunning;
    s.test_process = &test;
    s.current = &test;

    if (options.standard_layout) {
        detail::CreateStandardFiles(s);
        detail::CreateStandardRegistry(s);
    }
}

Machine::~Machine() {
    if (g_active == this) {
        g_active = previous_active_;
    } else {
        // Machines made in one scope end in reverse order; anything else is a test bug.
        std::fprintf(stderr, "simulated Windows: machines destroyed out of order\n");
    }
}

Machine& Machine::Active() {
    if (!g_active) detail::Fatal("no simulated machine is alive");
    return *g_active;
}

namespace detail {

Machine* SwapActive(Machine* machine) {
    Machine* previous = g_active;
    g_active = machine;
    return previous;
}

}  // namespace detail

// --- time ------------------------------------------------------------------------

DWORD Machine::Tick() const { return static_cast<DWORD>(state_->tick_base + state_->now_ms); }

void Machine::SetTick(DWORD tick) { state_->tick_base = static_cast<DWORD>(tick - state_->now_ms); }

void Machine::Advance(DWORD ms) { state_->now_ms += ms; }

std::uint64_t Machine::Now() const { return state_->now_ms; }

const std::vector<DWORD>& Machine::Sleeps() const { return state_->sleeps; }

const std::vector<WaitRecord>& Machine::Waits() const { return state_->waits; }

// --- faults and counts -------------------------------------------------------------

void Machine::FailCall(std::string_view function, std::uint64_t nth, DWORD error, std::uint64_t times) {
    if (nth == 0 || times == 0) detail::Fatal("FailCall: nth and times count from 1");
    state_->faults[std::string(function)].push_back({nth, nth + times - 1, error});
}

std::uint64_t Machine::CallCount(std::string_view function) const {
    auto it = state_->call_counts.find(function);
    return it == state_->call_counts.end() ? 0 : it->second;
}

std::uint64_t Machine::TotalCalls() const { return state_->total_calls; }

void Machine::SetCallBudget(std::uint64_t calls) { state_->call_budget = calls; }

void Machine::KillAtCall(std::uint64_t call) { state_->kill_at = call; }

void Machine::BeforeCall(std::function<bool(std::string_view, std::u16string_view)> when,
                         std::function<void()> action, ProcessOptions as) {
    state_->hooks.push_back(detail::Hook{std::move(when), std::move(action), std::move(as)});
}

const std::vector<Machine::TraceEntry>& Machine::Trace() const { return state_->trace; }

// --- handles and diagnostics ----------------------------------------------------------

std::vector<HandleRecord> Machine::OpenHandles() const {
    std::vector<HandleRecord> out;
    for (const auto& [value, h] : state_->handles) {
        if (h.owner_pid == detail::kOtherProgramPid) continue;
        out.push_back({h.owner_pid, h.kind, value, h.what});
    }
    return out;
}

const std::vector<HandleRecord>& Machine::Leaks() const { return state_->leaks; }

const std::vector<std::string>& Machine::Violations() const { return state_->violations; }

std::vector<std::string> Machine::TakeViolations() {
    std::vector<std::string> taken;
    taken.swap(state_->violations);
    return taken;
}

}  // namespace dismora::sim

namespace win {

namespace sd = dismora::sim::detail;

DWORD GetLastError() {
    auto& s = sd::Current();
    sd::Enter(s, "GetLastError");
    return s.Current().last_error;
}

void SetLastError(DWORD dwErrCode) {
    auto& s = sd::Current();
    sd::Enter(s, "SetLastError");
    s.Current().last_error = dwErrCode;
}

DWORD GetTickCount() {
    auto& s = sd::Current();
    sd::Enter(s, "GetTickCount");
    return static_cast<DWORD>(s.tick_base + s.now_ms);
}

// The simulated clock shows 2026-12-09 10:00:00 when a machine starts.
void GetLocalTime(SYSTEMTIME* lpSystemTime) {
    auto& s = sd::Current();
    sd::Enter(s, "GetLocalTime");
    const std::uint64_t seconds = 36000 + s.now_ms / 1000;
    *lpSystemTime = SYSTEMTIME{2026, 12, 3, 9, static_cast<WORD>(seconds / 3600 % 24), static_cast<WORD>(seconds / 60 % 60),
                               static_cast<WORD>(seconds % 60), static_cast<WORD>(s.now_ms % 1000)};
}

void Sleep(DWORD dwMilliseconds) {
    auto& s = sd::Current();
    sd::Enter(s, "Sleep", sd::Hex(dwMilliseconds));
    s.sleeps.push_back(dwMilliseconds);
    if (dwMilliseconds == INFINITE) {
        s.Violation("Sleep(INFINITE) never returns");
        return;
    }
    s.now_ms += dwMilliseconds;
}

}  // namespace win
