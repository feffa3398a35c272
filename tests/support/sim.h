// The simulated Windows: every function of src/platform/win_api.h defined over an
// in-memory machine, with a test API to set a machine up and inspect it afterwards.
// Its stated goal is to behave like the real thing (Windows, and Wine where Windows
// leaves a detail open); where the two disagree, the model is fixed.
//
// Test API in brief (namespace dismora::sim):
//
//   Machine m;                      // a fresh standard machine (see MachineOptions), now active
//   m.WriteFile(u"C:\\App\\a.dll", "MZ");   m.SetDword(u"HKLM\\Software\\X", u"N", 3);
//   m.InstallDismora(u"C:\\App\\Dismora.exe");                  // the program's own image
//   m.InstallProgram(u"C:\\Setup\\pre.exe", {.exit_code = 1, .run_ms = 40});
//   m.QueueAnswers({win::IDYES});   m.QueueElevationAnswers({true});
//   RunResult r = m.RunProgram({.command_line = u"\"C:\\App\\Dismora.exe\" /s"});
//   // r.processes: the first instance and every Dismora process it started, in order
//   m.MessageBoxes(), m.Starts(), m.PendingDeletions(), m.Leaks(), m.Violations() ...
//   Snapshot before = m.TakeSnapshot(); ...; Diff(before, m.TakeSnapshot())
//
// Paths given to the test API are full Windows paths ("C:\\x"); registry paths start with
// a root: HKEY_LOCAL_MACHINE or HKLM, HKEY_USERS or HKU, HKEY_CURRENT_USER or HKCU (the
// interactive user's hive), HKEY_CLASSES_ROOT or HKCR. The test API bypasses permissions,
// marks and faults; only the win:: functions are subject to them.
//
// Model decisions (each one a simplification of a documented behaviour):
// - Processes run one at a time. A Dismora image started by CreateProcessW or by
//   ShellExecuteExW is queued and runs dismora::MainRoutine() (or the entry set with
//   SetDismoraEntry) after the starting process has ended, so the first instance has
//   released its handles and its image. External programs do not run code: their
//   side effect (Program::on_start) happens when they start, and they "run" for
//   run_ms of simulated time, during which their image cannot be deleted.
// - Time is simulated: GetTickCount moves only through Sleep, waits and the test.
// - HKEY_CLASSES_ROOT is HKLM\Software\Classes (no merge with the per-user classes);
//   HKCU\Software\Classes is the user's "<sid>_Classes" hive under HKEY_USERS, as on
//   Windows. Subkeys enumerate in case-insensitive alphabetical order, as the hive index
//   of Windows (and Wine's registry) keeps them.
// - Rights: a machine-wide key or file (HKLM, other users' hives, C:\Windows,
//   C:\Program Files, C:\ProgramData) can be changed only by a process whose token is an
//   effective administrator (administrator and elevated, or administrator with UAC off);
//   a user's hive and profile folder by that user too; anything the test creates
//   elsewhere inherits its folder's rights (C:\ itself is open to everyone). Deny-write
//   and deny-delete marks behave like an ACL that denies those rights to everyone.
// - MoveFileExW(MOVEFILE_DELAY_UNTIL_REBOOT) appends "\??\<full path>" and an empty
//   string to the REG_MULTI_SZ value PendingFileRenameOperations of
//   HKLM\System\CurrentControlSet\Control\Session Manager, as Windows and Wine do; it
//   therefore needs an effective administrator (ERROR_ACCESS_DENIED otherwise, as the
//   documentation states) and, as in Wine, does not check that the file exists.
// - Files deleted while open with FILE_SHARE_DELETE become delete-pending and vanish
//   when the last handle closes (the classic semantics that Wine implements).
// - CompareStringW with NORM_IGNORECASE compares by simple upper-casing (Latin-1, Latin
//   Extended-A and -B pairs, Greek, Cyrillic, Armenian, Latin Extended Additional,
//   full-width Latin) with Windows' word sort (NUL weighs nothing; hyphens and apostrophes
//   decide only when all else is equal): equality is faithful for case differences; the
//   order of unequal texts is ordinal after upper-casing, not Windows' linguistic order.
//   LCMapStringW(LCMAP_SORTKEY) builds keys that are equal exactly when the texts compare
//   equal. CompareStringOrdinal uses the same upper-casing. Of the locales only the
//   user's Turkish casing is modelled (SetUserLocaleTurkish): for LOCALE_USER_DEFAULT, i
//   pairs with the dotted capital I (U+0130) and the dotless i (U+0131) with I, so i and
//   I differ; every other locale, LOCALE_INVARIANT among them, keeps i with I.
// - Where Windows and Wine 8 differ, the model follows Windows' documentation
//   (see tests/contract): GetModuleFileNameW puts a NUL in the last place of a short buffer
//   (Wine 8 does not); ShellExecuteExW refuses a wrong cbSize (Wine does not check it); a
//   missing drive gives ERROR_PATH_NOT_FOUND. It follows Wine where the documentation is
//   silent: "file.txt\" gives ERROR_PATH_NOT_FOUND; a drive root that is not empty gives
//   ERROR_DIR_NOT_EMPTY; RegSetValueExW counts a string's NUL that the caller left out
//   when it follows in memory, as Windows does too.
// - RegOpenKeyExW with an empty or NULL subkey under a predefined root gives that root
//   back (closing it is a no-op); under an open key it gives a new handle.
// - A folder created with a security descriptor is one that only effective
//   administrators may change; the one descriptor modelled is "D:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)".
// - No UNC shares (ERROR_BAD_NETPATH), no DOS device names, no alternate data streams.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win_api.h"

namespace dismora::sim {

namespace detail {
struct State;
}

using win::BOOL;
using win::DWORD;
using win::HRESULT;
using win::LONG;
using Bytes = std::vector<std::uint8_t>;

// UTF-16 to UTF-8 and back, for messages and set-up (unpaired surrogates become U+FFFD).
std::string Narrow(std::u16string_view text);
std::u16string Widen(std::string_view utf8);

// Who a process runs as. Effective administrator: administrator and (elevated or UAC off).
struct Token {
    bool administrator = true;
    bool elevated = true;
    std::u16string user_sid{};  // empty: the machine's interactive user
};

struct ProcessOptions {
    std::u16string command_line{};    // GetCommandLineW; empty: the quoted module path
    std::u16string module_path{};     // GetModuleFileNameW; empty: the command line's first word
    std::u16string current_folder{};  // empty: the module's folder
    Token token{};
};

enum class StartApi { kTest, kCreateProcess, kShellExecute };

struct ProcessRecord {
    DWORD pid = 0;
    DWORD parent_pid = 0;
    StartApi started_by = StartApi::kTest;
    bool dismora = false;  // runs the program itself (queued until its starter has ended)
    std::u16string image{};  // full path of the image file
    std::u16string command_line{};
    std::u16string current_folder{};  // with a trailing backslash, as Windows keeps it
    Token token{};                   // user_sid filled in
    std::uint64_t start_ms = 0;     // simulated time
    std::optional<std::uint64_t> end_ms{};
    std::optional<DWORD> exit_code{};  // set once it has ended
};

// Handed to Program::on_start: the program may change the machine and pick its result.
struct ProgramRun {
    const ProcessRecord& process;
    DWORD exit_code{};
    DWORD run_ms{};
    bool never_ends{};
};

// An external program installed as an image file.
struct Program {
    DWORD exit_code = 0;
    DWORD run_ms = 0;         // simulated run time
    bool never_ends = false;  // a program that hangs
    std::optional<DWORD> start_error{};  // "cannot start": CreateProcessW fails with this error
    std::function<void(class Machine&, ProgramRun&)> on_start{};
};

// A running application: its program and the DLLs it loaded are in use until it ends; its
// visible top-level window, when it has a title, ends it that long after WM_CLOSE arrives.
struct Application {
    std::vector<std::u16string> modules{};
    std::u16string window{};                  // empty: no window
    std::optional<DWORD> closes_after_ms{};  // none: it ignores WM_CLOSE
    DWORD session = 1;                       // the program's own runs in session 1
    bool wide = false;                       // a 64-bit program: its modules cannot be listed
    // Files it holds open by other means than loading them, without delete sharing: they can
    // be neither deleted nor moved while it runs, and no snapshot shows them; only the
    // Restart Manager names the program for them.
    std::vector<std::u16string> open{};
    // What the Restart Manager says of it: its kind (an RM_APP_TYPE; a main window's by
    // default) and its name (empty: its program's file name).
    DWORD rm_type = 1;
    std::u16string rm_name{};
};

// Every CreateProcessW and ShellExecuteExW call, whether it succeeded or not.
struct StartRecord {
    DWORD caller_pid = 0;
    StartApi api = StartApi::kCreateProcess;
    std::u16string command_line{};  // CreateProcessW: lpCommandLine; ShellExecuteExW: what the new process got
    std::optional<std::u16string> application_name{};  // CreateProcessW lpApplicationName
    std::optional<std::u16string> current_folder{};    // lpCurrentDirectory / lpDirectory as passed
    DWORD startup_cb = 0;
    BOOL inherit_handles = 0;
    DWORD creation_flags = 0;
    bool environment_given = false;
    // ShellExecuteExW
    DWORD cb_size = 0;
    win::ULONG mask = 0;
    win::HWND hwnd = nullptr;
    std::optional<std::u16string> verb{}, file{}, parameters{}, directory{};
    int show = 0;
    bool elevation_prompted = false;
    bool elevation_accepted = false;
    // outcome
    bool succeeded = false;
    DWORD error = 0;          // GetLastError after a failure
    DWORD pid = 0;            // the started process
    std::u16string image{};     // resolved image file, empty when none was found
    bool elevated = false;    // the new process runs elevated
};

struct MessageBoxRecord {
    DWORD pid = 0;
    win::HWND owner = nullptr;
    std::u16string text{};
    std::u16string caption{};
    win::UINT style = 0;
    int answer = 0;
};

// A thread of the program's own (CreateThread). Processes run one at a time, and so do
// threads: a thread runs, to its end, inside the first wait for it; SetThreadsHang makes
// it a thread that never answers, whose waits time out.
struct ThreadRecord {
    DWORD pid = 0;
    std::uint64_t created_ms = 0;
    bool ran = false;
};

// A window, from CreateWindowExW to DestroyWindow. The message boxes shown before its
// creation and before its destruction place it among them.
struct WindowRecord {
    DWORD pid = 0;
    std::size_t thread = 0;  // 0: the process's own thread; n: the nth of Threads()
    std::u16string class_name{};
    std::u16string text{};
    std::size_t parent = 0;  // 0: none; n: the nth of Windows()
    DWORD style = 0;
    bool visible = false;
    bool destroyed = false;
    std::size_t boxes_at_creation = 0;
    std::size_t boxes_at_destruction = 0;
    std::uint64_t created_ms = 0;
    bool font_set = false;
    int range = 100;  // a progress bar's upper end and position
    int position = 0;
};

struct NotifyRecord {
    DWORD pid = 0;
    LONG event = 0;
    win::UINT flags = 0;
    const void* item1 = nullptr;
    const void* item2 = nullptr;
};

struct WaitRecord {
    DWORD pid = 0;         // the waiting process
    DWORD target_pid = 0;  // 0 when the handle is not a process
    std::size_t thread = 0;  // a thread of CreateThread: its number in Threads()
    DWORD timeout = 0;
    DWORD result = 0;
    std::uint64_t start_ms = 0;
    std::uint64_t end_ms = 0;
};

struct UnregisterTypeLibRecord {
    DWORD pid = 0;
    win::GUID guid{};
    win::WORD major = 0;
    win::WORD minor = 0;
    win::LCID lcid = 0;
    win::SYSKIND syskind = win::SYS_WIN32;
    HRESULT result = 0;
};

enum class HandleKind { kFile, kKey, kProcess, kThread, kMutex };

struct HandleRecord {
    DWORD pid = 0;
    HandleKind kind = HandleKind::kFile;
    std::uintptr_t value = 0;
    std::u16string what{};  // path, key path or "process <pid>"
};

// One RegOpenKeyExW call, whether it succeeded or not: the key as named (the root or the
// open key's path, then the subkey) and the access asked for, view flags included.
struct KeyOpenRecord {
    DWORD pid = 0;
    std::u16string key{};
    win::REGSAM access = 0;
};

struct RegistryValue {
    std::u16string name{};
    DWORD type = 0;
    Bytes data{};
};

// A type library file known to LoadTypeLib.
struct TypeLibrary {
    win::GUID guid{};
    win::WORD major = 1;
    win::WORD minor = 0;
    win::LCID lcid = 0;
    win::SYSKIND syskind = win::SYS_WIN32;
    HRESULT load_error = 0;      // non-zero: LoadTypeLib fails with it
    HRESULT lib_attr_error = 0;  // non-zero: ITypeLib_GetLibAttr fails with it
};

struct RunResult {
    std::vector<ProcessRecord> processes{};  // the processes this run executed, in order
    bool chain_cut = false;  // more processes were queued than SetMaxProcesses allows
};

// The whole machine state that an uninstall may change.
struct Snapshot {
    struct Entry {
        std::u16string path{};  // original spelling
        bool folder = false;
        DWORD attributes = 0;
        std::string contents{};
    };
    struct Value {
        std::u16string key{};  // original spelling
        RegistryValue value{};
    };
    std::map<std::u16string, Entry> files{};         // by upper-cased path; folders too
    std::map<std::u16string, std::u16string> keys{};  // upper-cased path -> spelling
    std::map<std::u16string, Value> values{};        // upper-cased "key\x01name"
    std::vector<std::u16string> pending_deletions{};
};

struct Change {
    enum class Kind { kAdded, kRemoved, kChanged };
    enum class What { kFile, kFolder, kKey, kValue, kPendingDeletion };
    Kind kind{};
    What what{};
    std::u16string path{};  // for a value: key path + "\" + "[name]"
    std::string detail{};
};

std::vector<Change> Diff(const Snapshot& before, const Snapshot& after);
std::string ToString(const std::vector<Change>& changes);

struct MachineOptions {
    // A Windows with its folders, registry keys, regsvr32, UAC on and the interactive
    // user "Tester" (an administrator). Off: drive C: and the registry roots only.
    bool standard_layout = true;
    std::u16string user_sid = u"S-1-5-21-1004336348-1177238915-682003330-1001";
    std::u16string user_name = u"Tester";
};

inline constexpr int kDefaultButton = -1;  // SetDefaultAnswer: press the box's default button

class Machine {
public:
    Machine();
    explicit Machine(const MachineOptions& options);
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    // The machine that win:: calls act on: the most recently created one still alive,
    // or the one a Run is executing on.
    static Machine& Active();

    // --- processes -----------------------------------------------------------
    // Runs body as a process, then every Dismora process it queued (and theirs), at most
    // SetMaxProcesses processes in all. The image file is created if missing.
    RunResult Run(const ProcessOptions& options, const std::function<void()>& body);
    // Runs the program (the Dismora entry) as a process, then its relaunch chain.
    RunResult RunProgram(const ProcessOptions& options);
    // Default: win::ExitProcess(dismora::MainRoutine()). A program waited for by the one
    // that started it runs inside that wait (the waiter may be ended meanwhile).
    void SetDismoraEntry(std::function<void()> entry);
    void SetMaxProcesses(int count);                    // default 8
    // The process that win:: calls made outside Run belong to (pid 100, an elevated
    // administrator running C:\Tests\host.exe from C:\Tests\).
    void SetTestProcess(const ProcessOptions& options);
    std::vector<ProcessRecord> Processes() const;  // every process, ended or not
    const std::vector<StartRecord>& Starts() const;
    void InstallProgram(std::u16string_view path, Program program);
    void InstallDismora(std::u16string_view path);  // a file that is the program's own image
    // Starts an installed program as another program of the user would (outside a run, from
    // a process of its own that ends at once); it runs for its run time. Returns its id.
    DWORD StartProgram(std::u16string_view path);
    // Starts it as an application with loaded modules and a window (see Application).
    DWORD StartApplication(std::u16string_view path, const Application& application);
    bool IsDismoraImage(std::u16string_view path) const;
    // ShellExecuteExW "runas" prompts: answered from this queue, then by the default.
    void QueueElevationAnswers(std::initializer_list<bool> accept);
    void SetDefaultElevationAnswer(bool accept);  // default: accept
    bool ElevationAnswersConsumed() const;
    int ElevationPrompts() const;
    // UAC on or off: drives the token rule and writes the EnableLUA policy value.
    void SetUacEnabled(bool enabled);
    // The account an accepted "runas" prompt runs as when the caller is no administrator.
    void SetElevationAccount(std::u16string_view sid);

    // --- time ----------------------------------------------------------------
    DWORD Tick() const;  // what GetTickCount returns now
    void SetTick(DWORD tick);
    void Advance(DWORD ms);
    std::uint64_t Now() const;  // simulated milliseconds since the machine was created
    const std::vector<DWORD>& Sleeps() const;
    const std::vector<WaitRecord>& Waits() const;

    // --- locale ----------------------------------------------------------------
    // The user's locale is Turkish (default: not): see CompareStringW in the model decisions.
    void SetUserLocaleTurkish(bool turkish = true);

    // --- user interface ----------------------------------------------------------
    void QueueAnswers(std::initializer_list<int> answers);
    void SetDefaultAnswer(int answer);  // kDefaultButton (the default), or an ID*, or 0
    bool AnswersConsumed() const;
    const std::vector<MessageBoxRecord>& MessageBoxes() const;
    const std::vector<NotifyRecord>& Notifications() const;
    const std::vector<ThreadRecord>& Threads() const;
    const std::vector<WindowRecord>& Windows() const;
    void SetThreadsHang(bool hang = true);  // threads never run: every wait for one times out
    // The running process's threads that stopped answering wake up and run to their end,
    // for a test of what they may still touch once the program has given up on them.
    void WakeHungThreads();
    int LiveFonts() const;                  // created and not deleted

    // --- file system ---------------------------------------------------------
    void AddDrive(char16_t letter);
    void CreateFolder(std::u16string_view path);  // and its missing parents
    void WriteFile(std::u16string_view path, std::string_view contents,
                   DWORD attributes = win::FILE_ATTRIBUTE_ARCHIVE);
    void RemovePath(std::u16string_view path);  // a file or a whole folder
    void SetAttributes(std::u16string_view path, DWORD attributes);
    void SetShortName(std::u16string_view path, std::u16string_view short_name);
    void SetShortNamesEnabled(char16_t drive, bool enabled);  // 8.3 generation (default on)
    // A junction: an empty folder marked as a reparse point whose path leads to the target
    // folder. Paths through it reach the target; RemoveDirectoryW removes the junction only.
    // Its owner is an administrator unless a user's SID is given.
    void CreateJunction(std::u16string_view path, std::u16string_view target, std::u16string_view owner = {});
    void MarkUnreadable(std::u16string_view path, bool unreadable = true);
    void FailReadsAt(std::u16string_view path, std::uint64_t offset, DWORD error);
    void MarkAdminOnly(std::u16string_view path);  // changes below need an effective administrator
    // Another program holds the file open (for "in use by another program" use the default).
    int HoldOpen(std::u16string_view path, DWORD access = win::GENERIC_READ,
                 DWORD share = win::FILE_SHARE_READ);
    void ReleaseHold(int hold);
    bool Exists(std::u16string_view path) const;
    bool IsFile(std::u16string_view path) const;
    bool IsFolder(std::u16string_view path) const;
    std::optional<std::string> FileContents(std::u16string_view path) const;
    std::optional<DWORD> Attributes(std::u16string_view path) const;
    // Who may change it: "" effective administrators only, "*" everyone, or a user's SID.
    std::u16string Owner(std::u16string_view path) const;
    std::vector<std::u16string> List(std::u16string_view folder) const;  // names, sorted
    std::u16string ShortPath(std::u16string_view path) const;            // as GetShortPathNameW
    // The path of what a full path reaches (through short names, junctions and the "\\?\\"
    // prefix) as the file system spells it; empty when it reaches nothing.
    std::u16string RealPath(std::u16string_view path) const;
    std::vector<std::u16string> PendingDeletions() const;  // paths without "\??\", in order
    void SetTempPath(std::u16string_view path);            // GetTempPathW (a "\" is appended)
    void SetTempPathError(DWORD error);                    // GetTempPathW fails
    void SetEnvironment(std::u16string_view name, std::u16string_view value);  // ExpandEnvironmentStringsW
    void SetWindowsFolder(std::u16string_view path);
    void SetSystemFolder(std::u16string_view path);

    // --- registry ------------------------------------------------------------
    void CreateKey(std::u16string_view key);
    void DeleteKey(std::u16string_view key);  // with everything below it
    bool KeyExists(std::u16string_view key) const;
    void SetValue(std::u16string_view key, std::u16string_view name, DWORD type, Bytes data);
    void SetString(std::u16string_view key, std::u16string_view name, std::u16string_view text,
                   DWORD type = win::REG_SZ);  // stored with its terminating NUL
    void SetDword(std::u16string_view key, std::u16string_view name, DWORD value);
    void DeleteValue(std::u16string_view key, std::u16string_view name);
    std::optional<RegistryValue> GetValue(std::u16string_view key, std::u16string_view name) const;
    std::optional<std::u16string> GetString(std::u16string_view key, std::u16string_view name) const;
    std::optional<DWORD> GetDword(std::u16string_view key, std::u16string_view name) const;
    std::vector<std::u16string> Subkeys(std::u16string_view key) const;  // enumeration order
    std::vector<std::u16string> ValueNames(std::u16string_view key) const;
    void DenyWrite(std::u16string_view key, bool deny = true);
    void DenyDelete(std::u16string_view key, bool deny = true);
    void AddUserHive(std::u16string_view sid);  // another user's hive under HKEY_USERS
    std::u16string UserSid() const;             // the interactive user
    const std::vector<KeyOpenRecord>& KeyOpens() const;  // every RegOpenKeyExW call, in order

    // --- modules, security, type libraries -----------------------------------
    void SetExportMissing(std::string_view name, bool missing = true);  // GetProcAddress gives NULL
    void SetModuleMissing(std::u16string_view module, bool missing = true);  // GetModuleHandleW
    int ProcLookups(std::string_view name) const;  // GetProcAddress calls for that name
    // rstrtmgr.dll in the System folder, loaded by its full path; none by default, as under Wine.
    void OfferRestartManager(bool offered = true);
    int LiveSids() const;                           // allocated and not freed
    const std::vector<std::optional<std::u16string>>& DllDirectoryCalls() const;
    const std::vector<DWORD>& DefaultDllDirectoryCalls() const;
    void InstallTypeLibrary(std::u16string_view path, const TypeLibrary& library,
                            bool register_keys = true);  // the file and its HKCR\TypeLib keys
    int LiveTypeLibs() const;
    int LiveTypeLibAttrs() const;
    const std::vector<UnregisterTypeLibRecord>& TypeLibUnregistrations() const;

    // --- faults and counts ---------------------------------------------------
    // The nth call of a win:: function (1 = its first call since the machine was made)
    // and the times-1 calls after it fail with error (a Win32 code; an HRESULT for
    // HRESULT functions): the failure value is returned and GetLastError gives error.
    void FailCall(std::string_view function, std::uint64_t nth, DWORD error, std::uint64_t times = 1);
    std::uint64_t CallCount(std::string_view function) const;
    std::uint64_t TotalCalls() const;
    // The process that makes the call-th win:: call (counted as TotalCalls counts) dies
    // there, as if killed: the call does not happen, nothing the process does afterwards
    // has any effect, and the system closes its handles.
    void KillAtCall(std::uint64_t call);
    // More win:: calls than this: every further call fails and a violation is recorded;
    // at twice the budget the test aborts (a runaway loop).
    void SetCallBudget(std::uint64_t calls);
    // Once, at the first win:: call for which when(function, argument) is true and before
    // that call acts, action runs as another process: of the same user, or as given (the
    // program itself, when action runs its entry). Its win:: calls act for that process;
    // it may end by ExitProcess; the handles it leaves open count as leaks.
    void BeforeCall(std::function<bool(std::string_view function, std::u16string_view argument)> when,
                    std::function<void()> action, ProcessOptions as = {});
    struct TraceEntry {
        DWORD pid{};
        std::string function{};
        std::u16string argument{};
    };
    const std::vector<TraceEntry>& Trace() const;

    // --- handles and diagnostics ------------------------------------------------
    std::vector<HandleRecord> OpenHandles() const;  // the programs' handles still open
    const std::vector<HandleRecord>& Leaks() const;  // left open when their process ended
    // Misuse that real Windows would punish or that the model cannot follow (double
    // close, waiting forever on a process that can only run later, ...).
    const std::vector<std::string>& Violations() const;
    std::vector<std::string> TakeViolations();  // for a test that provokes one on purpose

    // --- snapshots -----------------------------------------------------------
    Snapshot TakeSnapshot() const;

    detail::State& state() { return *state_; }
    const detail::State& state() const { return *state_; }

private:
    std::unique_ptr<detail::State> state_{};
    Machine* previous_active_ = nullptr;
};

}  // namespace dismora::sim
