// The simulated machine's state, shared by the sim_*.cpp files; tests use sim.h only.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/sim.h"

namespace dismora::sim::detail {

using win::HKEY;
using win::HANDLE;
using win::REGSAM;
using win::UINT;
using win::WCHAR;

// Error codes and values the seam does not declare.
inline constexpr DWORD kErrorInvalidFunction = 1;
inline constexpr DWORD kErrorNoMoreFiles = 18;
inline constexpr DWORD kErrorBadNetPath = 53;
inline constexpr DWORD kErrorInvalidName = 123;
inline constexpr DWORD kErrorBadPathname = 161;
inline constexpr DWORD kErrorDirectory = 267;
inline constexpr DWORD kErrorNoAccess = 998;
inline constexpr DWORD kErrorPartialCopy = 299;
inline constexpr DWORD kErrorInvalidWindowHandle = 1400;
inline constexpr DWORD kErrorNotOwner = 288;
inline constexpr DWORD kWaitAbandoned = 0x80;
inline constexpr DWORD kErrorInvalidFlags = 1004;
inline constexpr DWORD kErrorNoUnicodeTranslation = 1113;
inline constexpr DWORD kErrorNoAssociation = 1155;
inline constexpr DWORD kErrorInvalidSid = 1337;
inline constexpr DWORD kMaximumAllowed = 0x02000000;
inline constexpr DWORD kDelete = 0x00010000;
inline constexpr DWORD kWriteDac = 0x00040000;
inline constexpr DWORD kWriteOwner = 0x00080000;
inline constexpr DWORD kKeyCreateLink = 0x0020;
inline constexpr DWORD kKeyWow64Mask = 0x0300;
inline constexpr DWORD kKeyWriteRights =
    win::KEY_SET_VALUE | win::KEY_CREATE_SUB_KEY | kKeyCreateLink | kDelete | kWriteDac | kWriteOwner;
inline constexpr DWORD kFileAttributeSystem = 0x4;
inline constexpr DWORD kOpenAlways = 4;
inline constexpr DWORD kTruncateExisting = 5;
inline constexpr DWORD kFileFlagBackupSemantics = 0x02000000;
inline constexpr DWORD kFileFlagOpenReparsePoint = 0x00200000;
inline constexpr DWORD kMoveFileReplaceExisting = 0x1;
inline constexpr DWORD kFileAttributeReparsePoint = 0x400;
inline constexpr DWORD kMbErrInvalidChars = 0x8;
inline constexpr win::ULONG kSeeMaskNoCloseProcess = 0x40;
inline constexpr std::uintptr_t kSeErrFnf = 2;
inline constexpr std::uintptr_t kSeErrAccessDenied = 5;
inline constexpr std::uintptr_t kSeErrNoAssoc = 31;
inline constexpr HRESULT kTypeERegistryAccess = static_cast<HRESULT>(0x8002801C);
inline constexpr HRESULT kTypeECantLoadLibrary = static_cast<HRESULT>(0x80029C4A);
inline constexpr HRESULT kEInvalidArg = static_cast<HRESULT>(0x80070057);
inline constexpr DWORD kOtherProgramPid = 8;  // owner of HoldOpen handles
inline constexpr std::uint64_t kForever = ~std::uint64_t{0};
inline constexpr std::uintptr_t kExeModule = 0x00400000;  // the program's own module handle
inline constexpr std::uintptr_t kComctl32Module = 0x7B700000;
inline constexpr std::uintptr_t kRstrtmgrModule = 0x7B800000;

// --- the Restart Manager (sim_processes.cpp) -------------------------------------
win::FARPROC RestartManagerExport(std::string_view name);  // null for another name

// --- windows (sim_windows.cpp) ---------------------------------------------------
win::BOOL WIN_STDCALL SimInitCommonControlsEx(const win::INITCOMMONCONTROLSEX* classes);

// --- text (sim_text.cpp) ---------------------------------------------------------
char16_t Upper(char16_t c);
std::u16string Fold(std::u16string_view text);
bool EqualNoCase(std::u16string_view a, std::u16string_view b);
std::u16string FromC(const char16_t* text);  // NULL gives ""
std::u16string Hex(std::uint64_t value);

// --- paths (sim_paths.cpp) ---------------------------------------------------------
// The full path as GetFullPathNameW builds it from name and a current folder that ends
// with "\"; empty for a name that is empty or only blanks.
std::u16string FullPath(std::u16string_view name, std::u16string_view current_folder);
bool IsSeparator(char16_t c);

// --- file system -----------------------------------------------------------------
struct FsNode {
    std::u16string name;
    bool folder = false;
    DWORD attributes = 0;
    std::string contents;
    std::u16string short_name;  // explicit or generated; empty when the name itself is 8.3
    FsNode* parent = nullptr;   // null for a root or a removed node
    std::map<std::u16string, std::shared_ptr<FsNode>> children;  // by upper-cased name
    std::shared_ptr<const Program> program;
    bool dismora = false;
    bool unreadable = false;
    std::optional<std::pair<std::uint64_t, DWORD>> read_fault;  // offset, error
    std::optional<TypeLibrary> type_library;
    std::u16string owner;  // who may change it: "" administrators, "*" everyone, or a user SID
    bool delete_pending = false;
    std::uint64_t index = 0;     // the file index, unique on the machine
    std::u16string junction;     // a junction: the full path it leads to
};
using NodePtr = std::shared_ptr<FsNode>;

struct Drive {
    NodePtr root;
    bool short_names = true;
    DWORD serial = 0;  // the volume serial number
};

// A path followed through the file system. error is set when the path is invalid or a
// folder on the way is missing; a missing last component only leaves node empty.
struct Resolved {
    DWORD error = 0;
    std::u16string full;
    char16_t drive = 0;
    NodePtr parent;  // the folder that holds (or would hold) the last component
    NodePtr node;
    std::u16string leaf;
    bool trailing_separator = false;
    bool is_root = false;
};

// --- registry --------------------------------------------------------------------
struct RegKey;
struct SubkeyEntry {
    std::u16string name;
    std::shared_ptr<RegKey> key;
    bool link = false;  // another path to a hive reached elsewhere (HKCU\Software\Classes)
};
struct RegKey {
    std::u16string name;
    RegKey* parent = nullptr;                        // where it was created (links aside)
    std::map<std::u16string, SubkeyEntry> subkeys;   // by upper-cased name
    std::map<std::u16string, RegistryValue> values;  // by upper-cased name
    std::u16string owner;                            // as FsNode::owner
    bool deleted = false;
    bool deny_write = false;
    bool deny_delete = false;
    bool hive_root = false;
    std::uint64_t write_time = 0;
};
using KeyPtr = std::shared_ptr<RegKey>;

// --- processes -------------------------------------------------------------------
enum class Phase { kQueued, kRunning, kEnded };

struct Process {
    ProcessRecord record;
    std::u16string command_line_buffer;  // what GetCommandLineW points into
    DWORD last_error = 0;
    Phase phase = Phase::kQueued;
    NodePtr image;
    std::uint64_t end_ms = kForever;  // external programs: when they end
    DWORD pending_exit_code = 0;      // external programs: their exit code
    bool external = false;
    Application application;             // external programs started as applications
    std::vector<NodePtr> modules;        // application.modules, in use while it runs
    std::vector<NodePtr> open;           // application.open, likewise
    // Ended while its code still runs (killed, or terminated by another process): every
    // further win:: call fails and changes nothing, until the code returns.
    bool zombie = false;
};

// Thrown by ExitProcess: ends the running program's code where it stands.
struct ProcessExit {
    DWORD code;
};

// A named mutex. Its default security follows the creator's token: an elevated
// administrator's is open to effective administrators only, anyone else's to that user.
struct Mutex {
    std::u16string name;  // folded
    DWORD owner_pid = 0;  // 0: not owned
    int recursion = 0;
    bool abandoned = false;  // its owner ended without releasing it
    std::u16string creator_sid;
    bool creator_admin = false;
};

struct HandleEntry {
    HandleKind kind = HandleKind::kFile;
    DWORD owner_pid = 0;
    std::u16string what;
    // files
    NodePtr node;
    DWORD access = 0;
    DWORD share = 0;
    std::uint64_t position = 0;
    // keys
    KeyPtr key;
    REGSAM granted = 0;
    // processes and threads
    DWORD target_pid = 0;
    std::size_t thread = 0;  // a thread of CreateThread: its number in State::threads

    // mutexes
    std::shared_ptr<Mutex> mutex;
    // searches (FindFirstFileW): what the pattern matched, and the next to hand out
    bool search = false;
    std::vector<std::pair<std::u16string, NodePtr>> found;
    std::size_t found_next = 0;
    // process and module snapshots: each process's id and program name, or a module's path
    bool snapshot = false;
    std::vector<std::pair<DWORD, std::u16string>> listed;
};

struct Fault {
    std::uint64_t first;
    std::uint64_t last;
    DWORD error;
};

struct SidBlock {
    std::vector<std::uint8_t> bytes;  // the SID as Windows lays it out
};

// What an ITypeLib* handed to the program points to.
struct TypeLibObject {
    TypeLibrary library;
    std::u16string path;
    win::ULONG refs = 1;
};

struct Hook {
    std::function<bool(std::string_view, std::u16string_view)> when;
    std::function<void()> action;
    ProcessOptions as;  // empty command line: another process of the caller's user
    bool fired = false;
};

struct State {
    Machine* machine = nullptr;
    MachineOptions options;

    // time
    std::uint64_t now_ms = 0;
    DWORD tick_base = 0x00C0FFEE;
    std::vector<DWORD> sleeps;
    std::vector<WaitRecord> waits;

    // calls
    std::map<std::string, std::uint64_t, std::less<>> call_counts;
    std::map<std::string, std::vector<Fault>, std::less<>> faults;
    std::uint64_t total_calls = 0;
    std::uint64_t call_budget = 0;  // 0: none
    std::vector<Machine::TraceEntry> trace;
    std::vector<std::string> violations;
    std::vector<Hook> hooks;
    bool in_hook = false;
    std::uint64_t kill_at = 0;  // the call (counted over all processes) that kills its caller
    RunResult* run_result = nullptr;  // of the Run under way, which nested runs join

    // processes
    std::vector<std::unique_ptr<Process>> processes;
    std::vector<ProcessRecord> process_records;  // mirror for Processes()
    Process* current = nullptr;
    Process* test_process = nullptr;
    std::deque<Process*> queue;
    bool running = false;
    int max_processes = 8;
    DWORD next_pid = 1000;
    std::function<void()> dismora_entry;
    std::vector<StartRecord> starts;
    std::deque<bool> elevation_answers;
    bool default_elevation_answer = true;
    int elevation_prompts = 0;
    bool uac_enabled = true;
    std::u16string elevation_account = u"S-1-5-21-1004336348-1177238915-682003330-500";

    // user interface
    std::deque<int> answers;
    int default_answer = kDefaultButton;
    std::vector<MessageBoxRecord> message_boxes;
    std::vector<NotifyRecord> notifications;

    // threads and windows (sim_windows.cpp)
    struct Thread {
        win::LPTHREAD_START_ROUTINE routine = nullptr;
        void* parameter = nullptr;
        bool ended = false;  // ended with its process without having run
    };
    std::vector<ThreadRecord> thread_records;
    std::vector<Thread> threads;
    std::size_t current_thread = 0;  // 0: the process's own
    bool threads_hang = false;
    struct Window {
        win::WNDPROC procedure = nullptr;
        win::RECT rect{};  // the frame's, on the screen for a top-level window, in its parent's client area for a child
        UINT timer_ms = 0;
    };
    std::vector<WindowRecord> window_records;
    std::vector<Window> windows;
    std::map<std::u16string, win::WNDPROC> window_classes;  // by folded name
    bool progress_class = false;  // comctl32 loaded and its bar registered
    // The Restart Manager: offered, loaded, and its sessions' registered files by handle.
    bool restart_manager = false;
    bool restart_manager_loaded = false;
    std::map<DWORD, std::vector<std::u16string>> rm_sessions;
    DWORD next_rm_session = 0;
    int live_fonts = 0;

    // file system
    std::map<char16_t, Drive> drives;
    std::optional<std::u16string> temp_path;
    DWORD temp_path_error = 0;
    std::map<std::u16string, std::u16string> environment;  // by the name in capitals
    std::u16string windows_folder = u"C:\\Windows";
    std::u16string system_folder = u"C:\\Windows\\system32";
    std::map<int, std::uintptr_t> holds;
    int next_hold = 1;
    std::uint64_t next_file_index = 0x10000;

    // registry
    KeyPtr hklm;
    KeyPtr hku;
    std::vector<KeyOpenRecord> key_opens;

    // locale
    bool turkish_user_locale = false;

    // handles and named objects
    std::map<std::uintptr_t, HandleEntry> handles;
    std::map<std::u16string, std::weak_ptr<Mutex>> mutexes;  // by folded name
    std::uintptr_t next_handle = 0x84;
    std::vector<HandleRecord> leaks;

    // modules and security
    std::map<std::string, bool, std::less<>> missing_exports;
    std::map<std::u16string, bool> missing_modules;  // by upper-cased name
    std::map<std::string, int, std::less<>> proc_lookups;
    std::map<const void*, std::unique_ptr<SidBlock>> sids;
    // Security descriptors from their text form, until LocalFree.
    std::map<const void*, std::unique_ptr<std::u16string>> descriptors;
    std::vector<std::optional<std::u16string>> dll_directory_calls;
    std::vector<DWORD> default_dll_directory_calls;
    std::map<const void*, std::unique_ptr<TypeLibObject>> type_libs;
    std::map<const void*, std::unique_ptr<win::TLIBATTR>> lib_attrs;
    std::vector<UnregisterTypeLibRecord> unregistrations;

    // helpers
    Process& Current() { return *current; }
    void SetError(DWORD error) { current->last_error = error; }
    void Violation(std::string text);
    bool EffectiveAdmin(const Process& process) const;
    bool MayChange(const Process& process, const std::u16string& owner) const;
    std::uintptr_t AddHandle(HandleEntry entry);
    HandleEntry* FindHandle(const void* handle);  // owned by the current process
    void CloseHandleEntry(std::uintptr_t value);
    void Settle();  // ends the external programs whose time has come
    Process* FindProcess(DWORD pid);
    bool ImageInUse(const FsNode* node);
    std::u16string UserHiveSid(const Process& process) const;
};

// The state of the active machine; aborts the test when there is none.
State& Current();
Machine* SwapActive(Machine* machine);  // makes machine the active one, returns the previous

// Every win:: function starts here: counts the call, traces it, applies the call budget
// and returns the injected failure for this call, if any.
std::optional<DWORD> Enter(State& state, std::string_view function, std::u16string_view argument = {});

[[noreturn]] void Fatal(const std::string& message);

// --- shared operations ---------------------------------------------------------
Resolved Resolve(State& state, std::u16string_view path);
Resolved ResolveFrom(State& state, std::u16string_view path, std::u16string_view current_folder);
NodePtr MakeFolders(State& state, std::u16string_view full_path);  // test API: create as needed
// The folder a junction leads to (itself for any other node); null when the target is
// missing or the chain of junctions does not end.
NodePtr FollowJunction(State& state, NodePtr node);
void RemoveNode(State& state, const NodePtr& node);
std::u16string NodePath(const FsNode& node);
std::u16string ShortNameOf(State& state, const FsNode& node);
bool OpenConflicts(State& state, const FsNode* node, DWORD access, DWORD share);
void CreateStandardFiles(State& state);
// Called by every Machine, which also makes sure that the message box functions of the
// static library are linked into any program that uses the machine.
void InitUserInterface(State& state);

KeyPtr KeyFromPath(State& state, std::u16string_view path, bool create);  // test API paths
void CreateStandardRegistry(State& state);
KeyPtr EnsureUserHive(State& state, const std::u16string& sid);
bool KeyWritable(State& state, const Process& process, const RegKey& key);
void AppendPendingDeletion(State& state, const std::u16string& nt_path);
std::vector<std::u16string> PendingDeletionList(const State& state);

// The file of a module handle from GetModuleHandleW; false for an unknown handle.
bool ModuleFileName(State& state, win::HMODULE module, std::u16string* path);

Process& CreateProcessRecord(State& state, const ProcessOptions& options, StartApi api, DWORD parent);
// killed: ended from outside, whose open handles the system closes (no leak).
void EndProcess(State& state, Process& process, DWORD exit_code, bool killed = false);
// Runs a queued program now, inside the current process's wait for it, to its end.
void RunNested(State& state, Process& process);
// A wait for a thread of CreateThread: runs it inside the wait, or times out when threads hang.
DWORD WaitForThread(State& state, std::size_t thread, DWORD timeout);

}  // namespace dismora::sim::detail
