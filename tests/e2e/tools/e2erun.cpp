// e2erun: runs one command line inside a job object under Wine, answers the
// message boxes that the processes of the job show, and reports what happened
// as JSON lines on stdout.
//
//   e2erun.exe [--cwd DIR] [--timeout MS] [--answer BUTTON]... [--interactive]
//              [--lock FILE]... [--hold "COMMAND LINE"]... --cmdline "COMMAND LINE"
//
// Every process started from the command line (and every process those start)
// belongs to the job, so a program that relaunches itself is followed to the
// end. Each box is read (caption, exact text, buttons, default button, icon),
// then answered with the next scripted answer, or with a safe default (Cancel,
// else No, else OK) when the script is used up. With --interactive the answer
// for each box is read as one line from stdin instead, after the box has been
// reported. When the time-out passes, every process of the job is ended and
// the report says "hang". Each --lock file is held open without any sharing
// while the command runs, so that no one else can open, change or delete it. Each --hold
// command line is started outside the job, from C:\, two seconds before the command,
// and ended after it: an application still running while the command runs.
//
// Report lines, one JSON object each:
//   {"event":"start", ...}   once, before the command starts
//   {"event":"box", ...}     per box, in the order the boxes appeared; "windows_open"
//                            counts the job's other windows still shown then
//   {"event":"window", ...}  per other top-level window of the job, once shown
//                            (caption, class, child controls), and
//   {"event":"window_gone", ...} once it is hidden or destroyed
//   {"event":"process", ...} per process of the job, after all have ended
//   {"event":"end", ...}     once
// Exit code: 0 when the report is complete (also after a hang), 2 on bad
// arguments, 3 when the command could not be started or the job not set up.

#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct ButtonName {
    int id;
    const char *name;
};

// The command identifiers a message box uses for its buttons.
const ButtonName kButtons[] = {
    {IDOK, "OK"},       {IDCANCEL, "Cancel"},     {IDABORT, "Abort"},
    {IDRETRY, "Retry"}, {IDIGNORE, "Ignore"},     {IDYES, "Yes"},
    {IDNO, "No"},       {IDCLOSE, "Close"},       {IDHELP, "Help"},
    {IDTRYAGAIN, "TryAgain"}, {IDCONTINUE, "Continue"},
};

const char *ButtonIdName(int id) {
    for (const ButtonName &b : kButtons)
        if (b.id == id) return b.name;
    return nullptr;
}

int ButtonIdFromName(const std::string &name) {
    for (const ButtonName &b : kButtons)
        if (_stricmp(b.name, name.c_str()) == 0) return b.id;
    return 0;
}

// --- output -----------------------------------------------------------------

HANDLE g_out = INVALID_HANDLE_VALUE;

void WriteLine(const std::string &line) {
    std::string text = line + "\n";
    DWORD written = 0;
    WriteFile(g_out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

// JSON string literal; everything outside printable ASCII is escaped, so the
// report is plain ASCII and the text survives every pipe unchanged.
std::string Json(const std::wstring &s) {
    std::string out = "\"";
    for (wchar_t c : s) {
        char buf[8];
        switch (c) {
        case L'"': out += "\\\""; break;
        case L'\\': out += "\\\\"; break;
        case L'\r': out += "\\r"; break;
        case L'\n': out += "\\n"; break;
        case L'\t': out += "\\t"; break;
        default:
            if (c >= 0x20 && c < 0x7F) {
                out += static_cast<char>(c);
            } else {
                std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(c));
                out += buf;
            }
        }
    }
    return out + "\"";
}

std::string Json(const char *s) {
    if (!s) return "null";
    std::wstring w;
    for (; *s; ++s) w += static_cast<wchar_t>(static_cast<unsigned char>(*s));
    return Json(w);
}

std::string Num(unsigned long long v) { return std::to_string(v); }

// --- arguments ----------------------------------------------------------------

struct Options {
    std::wstring cmdline;
    std::wstring cwd;
    DWORD timeout_ms = 30000;
    std::vector<std::string> answers;
    std::vector<std::wstring> locks;
    std::vector<std::wstring> holds;
    bool interactive = false;
};

std::string Narrow(const std::wstring &w) {
    std::string s;
    for (wchar_t c : w) s += (c < 0x80) ? static_cast<char>(c) : '?';
    return s;
}

bool ParseOptions(int argc, wchar_t **argv, Options &opt, std::string &error) {
    bool have_cmdline = false;
    for (int i = 1; i < argc; ++i) {
        std::wstring a = argv[i];
        auto next = [&](std::wstring &value) {
            if (i + 1 >= argc) {
                error = "missing value after " + Narrow(a);
                return false;
            }
            value = argv[++i];
            return true;
        };
        std::wstring value;
        if (a == L"--cmdline") {
            if (!next(opt.cmdline)) return false;
            have_cmdline = true;
        } else if (a == L"--cwd") {
            if (!next(opt.cwd)) return false;
        } else if (a == L"--timeout") {
            if (!next(value)) return false;
            opt.timeout_ms = static_cast<DWORD>(wcstoul(value.c_str(), nullptr, 10));
        } else if (a == L"--answer") {
            if (!next(value)) return false;
            std::string name = Narrow(value);
            if (!ButtonIdFromName(name)) {
                error = "unknown button name " + name;
                return false;
            }
            opt.answers.push_back(name);
        } else if (a == L"--lock") {
            if (!next(value)) return false;
            opt.locks.push_back(value);
        } else if (a == L"--hold") {
            if (!next(value)) return false;
            opt.holds.push_back(value);
        } else if (a == L"--interactive") {
            opt.interactive = true;
        } else {
            error = "unknown argument " + Narrow(a);
            return false;
        }
    }
    if (!have_cmdline) error = "--cmdline is required";
    return have_cmdline;
}

// --- processes of the job -----------------------------------------------------

struct Tracked {
    DWORD pid = 0;
    HANDLE handle = nullptr;  // kept open so the exit code outlives the process
    DWORD parent = 0;
    std::wstring image;
    std::wstring exe_name;  // from the process list: the name only, used when no full path came
};

struct Job {
    HANDLE job = nullptr;
    HANDLE port = nullptr;
    std::vector<Tracked> processes;
    bool all_ended = false;

    Tracked *Find(DWORD pid) {
        for (Tracked &t : processes)
            if (t.pid == pid) return &t;
        return nullptr;
    }

    bool Contains(DWORD pid) { return Find(pid) != nullptr; }

    // A process seen the moment it was created has no image name yet; it is asked again later.
    static void ReadImage(Tracked &t) {
        if (!t.image.empty() || !t.handle) return;
        wchar_t path[MAX_PATH * 2];
        DWORD size = MAX_PATH * 2;
        if (QueryFullProcessImageNameW(t.handle, 0, path, &size)) t.image.assign(path, size);
    }

    void Track(DWORD pid, HANDLE known_handle) {
        if (!pid || Contains(pid)) return;
        Tracked t;
        t.pid = pid;
        t.handle = known_handle ? known_handle
                                : OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, pid);
        ReadImage(t);
        HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
        if (snap != INVALID_HANDLE_VALUE) {
            PROCESSENTRY32W entry;
            entry.dwSize = sizeof entry;
            for (BOOL ok = Process32FirstW(snap, &entry); ok; ok = Process32NextW(snap, &entry)) {
                if (entry.th32ProcessID != pid) continue;
                t.parent = entry.th32ParentProcessID;
                t.exe_name = entry.szExeFile;
                break;
            }
            CloseHandle(snap);
        }
        processes.push_back(t);
    }

    // Takes every pending notification of the job; waits up to wait_ms for the first.
    void Drain(DWORD wait_ms) {
        DWORD message = 0;
        ULONG_PTR key = 0;
        LPOVERLAPPED data = nullptr;
        while (GetQueuedCompletionStatus(port, &message, &key, &data, wait_ms)) {
            wait_ms = 0;
            DWORD pid = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(data));
            if (message == JOB_OBJECT_MSG_NEW_PROCESS) Track(pid, nullptr);
            if (message == JOB_OBJECT_MSG_ACTIVE_PROCESS_ZERO) all_ended = true;
        }
        // The id list catches a process whose notification was missed.
        struct {
            JOBOBJECT_BASIC_PROCESS_ID_LIST list;
            ULONG_PTR more[255];
        } ids;
        std::memset(&ids, 0, sizeof ids);
        ids.list.NumberOfAssignedProcesses = 256;
        if (QueryInformationJobObject(job, JobObjectBasicProcessIdList, &ids, sizeof ids, nullptr)) {
            for (DWORD i = 0; i < ids.list.NumberOfProcessIdsInList; ++i)
                Track(static_cast<DWORD>(ids.list.ProcessIdList[i]), nullptr);
        }
        for (Tracked &t : processes) ReadImage(t);
        JOBOBJECT_BASIC_ACCOUNTING_INFORMATION acct;
        if (QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &acct, sizeof acct, nullptr) &&
            acct.ActiveProcesses == 0)
            all_ended = true;
    }
};

// --- message boxes --------------------------------------------------------------

std::wstring ClassOf(HWND hwnd) {
    wchar_t name[64] = {0};
    GetClassNameW(hwnd, name, 64);
    return name;
}

// WM_GETTEXT is marshalled between processes, unlike GetWindowText on a control.
bool TextOf(HWND hwnd, std::wstring &text) {
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(hwnd, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 3000, &length)) return false;
    std::vector<wchar_t> buffer(length + 2, 0);
    DWORD_PTR copied = 0;
    if (!SendMessageTimeoutW(hwnd, WM_GETTEXT, buffer.size(), reinterpret_cast<LPARAM>(buffer.data()),
                             SMTO_ABORTIFHUNG, 3000, &copied))
        return false;
    text.assign(buffer.data(), copied);
    return true;
}

struct Button {
    int id;
    std::wstring text;
    bool is_default;
    HWND hwnd;
};

struct Box {
    HWND hwnd = nullptr;
    DWORD pid = 0;
    std::wstring caption;
    std::wstring text;
    bool text_found = false;
    std::vector<Button> buttons;
    HWND icon_control = nullptr;
    bool has_icon = false;
};

BOOL CALLBACK CollectChild(HWND child, LPARAM param) {
    Box &box = *reinterpret_cast<Box *>(param);
    if (GetParent(child) != box.hwnd) return TRUE;
    std::wstring cls = ClassOf(child);
    LONG style = GetWindowLongW(child, GWL_STYLE);
    int id = GetDlgCtrlID(child);
    if (_wcsicmp(cls.c_str(), L"Button") == 0) {
        if (!(style & WS_VISIBLE)) return TRUE;
        Button b;
        b.id = id;
        TextOf(child, b.text);
        b.is_default = (style & BS_TYPEMASK) == BS_DEFPUSHBUTTON;
        b.hwnd = child;
        box.buttons.push_back(b);
    } else if (_wcsicmp(cls.c_str(), L"Static") == 0) {
        if ((style & SS_TYPEMASK) == SS_ICON) {
            box.icon_control = child;
            DWORD_PTR icon = 0;
            if (SendMessageTimeoutW(child, STM_GETICON, 0, 0, SMTO_ABORTIFHUNG, 3000, &icon))
                box.has_icon = icon != 0 && (style & WS_VISIBLE);
        } else if (!box.text_found || id == 0xFFFF) {
            // A message box has one text control; where there would be more, its id is 0xFFFF.
            box.text_found = TextOf(child, box.text) || box.text_found;
        }
    }
    return TRUE;
}

Box ReadBox(HWND hwnd, DWORD pid) {
    Box box;
    box.hwnd = hwnd;
    box.pid = pid;
    TextOf(hwnd, box.caption);
    EnumChildWindows(hwnd, CollectChild, reinterpret_cast<LPARAM>(&box));
    return box;
}

// Pixels of a screen rectangle as 0x00RRGGBB.
bool CaptureScreen(const RECT &r, std::vector<DWORD> &pixels) {
    int w = r.right - r.left, h = r.bottom - r.top;
    if (w <= 0 || h <= 0) return false;
    HDC screen = GetDC(nullptr);
    HDC mem = CreateCompatibleDC(screen);
    BITMAPINFO bi;
    std::memset(&bi, 0, sizeof bi);
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = w;
    bi.bmiHeader.biHeight = -h;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    void *bits = nullptr;
    HBITMAP bmp = CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    bool ok = false;
    if (bmp && bits) {
        HGDIOBJ old = SelectObject(mem, bmp);
        ok = BitBlt(mem, 0, 0, w, h, screen, r.left, r.top, SRCCOPY) != 0;
        GdiFlush();
        pixels.assign(static_cast<DWORD *>(bits), static_cast<DWORD *>(bits) + w * h);
        SelectObject(mem, old);
    }
    if (bmp) DeleteObject(bmp);
    DeleteDC(mem);
    ReleaseDC(nullptr, screen);
    return ok;
}

// A system icon drawn the way a static icon control draws it: over its background, at its size.
std::vector<DWORD> RenderIcon(LPCWSTR which, int w, int h, DWORD background) {
    std::vector<DWORD> pixels;
    HDC screen = GetDC(nullptr);
    HDC mem = CreateCompatibleDC(screen);
    BITMAPINFO bi;
    std::memset(&bi, 0, sizeof bi);
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = w;
    bi.bmiHeader.biHeight = -h;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    void *bits = nullptr;
    HBITMAP bmp = CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (bmp && bits) {
        HGDIOBJ old = SelectObject(mem, bmp);
        HBRUSH brush = CreateSolidBrush(RGB((background >> 16) & 0xFF, (background >> 8) & 0xFF, background & 0xFF));
        RECT all = {0, 0, w, h};
        FillRect(mem, &all, brush);
        DeleteObject(brush);
        DrawIconEx(mem, 0, 0, LoadIconW(nullptr, which), w, h, 0, nullptr, DI_NORMAL);
        GdiFlush();
        pixels.assign(static_cast<DWORD *>(bits), static_cast<DWORD *>(bits) + w * h);
        SelectObject(mem, old);
    }
    if (bmp) DeleteObject(bmp);
    DeleteDC(mem);
    ReleaseDC(nullptr, screen);
    return pixels;
}

int Mismatches(const std::vector<DWORD> &a, const std::vector<DWORD> &b) {
    if (a.size() != b.size()) return 1 << 30;
    int count = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        for (int shift = 0; shift < 24; shift += 8) {
            int x = (a[i] >> shift) & 0xFF, y = (b[i] >> shift) & 0xFF;
            if (x - y > 8 || y - x > 8) {
                ++count;
                break;
            }
        }
    }
    return count;
}

struct IconVerdict {
    const char *kind = "unknown";
    int mismatches = -1;
};

// Another process's icon handle cannot be inspected here, so the icon is
// identified by what the box shows: the control's pixels on screen against each
// system icon drawn over the same background. A box just shown may not be
// painted yet; the capture is repeated until one icon matches or 3 s pass.
IconVerdict ClassifyIcon(const Box &box) {
    IconVerdict verdict;
    if (!box.icon_control || !box.has_icon) {
        verdict.kind = "none";
        verdict.mismatches = 0;
        return verdict;
    }
    struct Candidate {
        const char *kind;
        LPCWSTR id;
    } const candidates[] = {
        {"error", IDI_HAND}, {"question", IDI_QUESTION}, {"warning", IDI_EXCLAMATION}, {"information", IDI_ASTERISK},
    };
    for (int attempt = 0; attempt < 60; ++attempt) {
        if (attempt) Sleep(50);
        RECT r;
        if (!GetWindowRect(box.icon_control, &r)) break;
        int w = r.right - r.left, h = r.bottom - r.top;
        std::vector<DWORD> shown, left;
        RECT beside = {r.left - 2, r.top, r.left - 1, r.top + 1};
        if (!CaptureScreen(r, shown) || !CaptureScreen(beside, left) || left.empty()) continue;
        DWORD background = left[0] & 0xFFFFFF;
        int best = -1, best_count = 1 << 30, second = 1 << 30;
        for (int i = 0; i < 4; ++i) {
            int n = Mismatches(shown, RenderIcon(candidates[i].id, w, h, background));
            if (n < best_count) {
                second = best_count;
                best_count = n;
                best = i;
            } else if (n < second) {
                second = n;
            }
        }
        // Accept a near-exact match that clearly beats every other icon.
        if (best >= 0 && best_count * 50 <= w * h && second >= 4 * best_count + w * h / 20) {
            verdict.kind = candidates[best].kind;
            verdict.mismatches = best_count;
            return verdict;
        }
        verdict.mismatches = best_count;
    }
    return verdict;
}

struct WindowScan {
    Job *job;
    std::vector<HWND> found;
};

BOOL CALLBACK FindBoxes(HWND hwnd, LPARAM param) {
    WindowScan &scan = *reinterpret_cast<WindowScan *>(param);
    if (!IsWindowVisible(hwnd) || ClassOf(hwnd) != L"#32770") return TRUE;
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    if (scan.job->Contains(pid)) scan.found.push_back(hwnd);
    return TRUE;
}

std::string ReadStdinLine() {
    std::string line;
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    char c;
    DWORD got = 0;
    while (ReadFile(in, &c, 1, &got, nullptr) && got == 1) {
        if (c == '\n') break;
        if (c != '\r') line += c;
    }
    return line;
}

BOOL CALLBACK FindWindows(HWND hwnd, LPARAM param) {
    WindowScan &scan = *reinterpret_cast<WindowScan *>(param);
    if (!IsWindowVisible(hwnd) || ClassOf(hwnd) == L"#32770") return TRUE;
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    if (scan.job->Contains(pid)) scan.found.push_back(hwnd);
    return TRUE;
}

BOOL CALLBACK ListChild(HWND child, LPARAM param) {
    std::string &list = *reinterpret_cast<std::string *>(param);
    std::wstring text;
    TextOf(child, text);
    if (list.size() > 1) list += ",";
    list += "{\"class\":" + Json(ClassOf(child)) + ",\"text\":" + Json(text) + "}";
    return TRUE;
}

int DefaultAnswer(const Box &box) {
    for (int preferred : {IDCANCEL, IDNO, IDOK})
        for (const Button &b : box.buttons)
            if (b.id == preferred) return preferred;
    return box.buttons.empty() ? 0 : box.buttons.front().id;
}

struct Runner {
    Options opt;
    Job job;
    size_t next_answer = 0;
    int box_count = 0;
    std::vector<HWND> answered;  // boxes clicked, until they are gone
    std::vector<HWND> shown;     // other windows reported, until they are gone
    DWORD start_tick = 0;

    // The job's other windows: each reported when first seen, and when gone.
    void ScanWindows() {
        WindowScan scan{&job, {}};
        EnumWindows(FindWindows, reinterpret_cast<LPARAM>(&scan));
        std::vector<HWND> still;
        for (HWND h : shown) {
            bool seen = false;
            for (HWND f : scan.found) seen = seen || f == h;
            if (seen) {
                still.push_back(h);
            } else {
                WriteLine("{\"event\":\"window_gone\",\"ms\":" + Num(GetTickCount() - start_tick) + "}");
            }
        }
        shown.swap(still);
        for (HWND h : scan.found) {
            bool known = false;
            for (HWND s : shown) known = known || s == h;
            if (known) continue;
            shown.push_back(h);
            DWORD pid = 0;
            GetWindowThreadProcessId(h, &pid);
            std::wstring caption;
            TextOf(h, caption);
            std::string children = "[";
            EnumChildWindows(h, ListChild, reinterpret_cast<LPARAM>(&children));
            children += "]";
            WriteLine("{\"event\":\"window\",\"pid\":" + Num(pid) + ",\"ms\":" + Num(GetTickCount() - start_tick) +
                      ",\"caption\":" + Json(caption) + ",\"class\":" + Json(ClassOf(h)) +
                      ",\"children\":" + children + "}");
        }
    }

    bool AlreadyAnswered(HWND hwnd) {
        for (HWND h : answered)
            if (h == hwnd) return true;
        return false;
    }

    void HandleBox(HWND hwnd) {
        DWORD pid = 0;
        GetWindowThreadProcessId(hwnd, &pid);
        Box box = ReadBox(hwnd, pid);
        IconVerdict icon = ClassifyIcon(box);
        ++box_count;

        std::string line = "{\"event\":\"box\",\"seq\":" + Num(box_count) + ",\"pid\":" + Num(pid) +
                           ",\"windows_open\":" + Num(static_cast<int>(shown.size())) +
                           ",\"ms\":" + Num(GetTickCount() - start_tick) + ",\"caption\":" + Json(box.caption) +
                           ",\"text\":" + Json(box.text) + ",\"text_read\":" + (box.text_found ? "true" : "false") +
                           ",\"buttons\":[";
        const char *default_name = nullptr;
        for (size_t i = 0; i < box.buttons.size(); ++i) {
            const Button &b = box.buttons[i];
            if (i) line += ",";
            line += "{\"id\":" + Num(b.id) + ",\"name\":" + Json(ButtonIdName(b.id)) + ",\"text\":" + Json(b.text) +
                    ",\"default\":" + (b.is_default ? "true" : "false") + "}";
            if (b.is_default && !default_name) default_name = ButtonIdName(b.id);
        }
        line += "],\"default\":" + Json(default_name);
        line += ",\"icon\":" + Json(icon.kind) + ",\"icon_mismatches\":" + std::to_string(icon.mismatches);
        RECT r = {0, 0, 0, 0};
        GetWindowRect(hwnd, &r);
        line += ",\"rect\":[" + std::to_string(r.left) + "," + std::to_string(r.top) + "," +
                std::to_string(r.right - r.left) + "," + std::to_string(r.bottom - r.top) + "]";

        int answer = 0;
        bool scripted = false, mismatch = false;
        std::string wanted;
        if (opt.interactive) {
            // The listener needs the box before it answers (to look at it, say).
            WriteLine(line + ",\"awaiting\":true}");
            wanted = ReadStdinLine();
            scripted = !wanted.empty();
        } else if (next_answer < opt.answers.size()) {
            wanted = opt.answers[next_answer++];
            scripted = true;
        }
        if (scripted) {
            int id = ButtonIdFromName(wanted);
            for (const Button &b : box.buttons)
                if (b.id == id) answer = id;
            mismatch = answer == 0;
        }
        if (!answer) answer = DefaultAnswer(box);

        HWND button = nullptr;
        for (const Button &b : box.buttons)
            if (b.id == answer) button = b.hwnd;
        // Keys sent through X reach only the focused window; a command posted to
        // the box reaches it whichever process has the focus.
        bool posted = answer && PostMessageW(hwnd, WM_COMMAND, MAKEWPARAM(answer, BN_CLICKED),
                                             reinterpret_cast<LPARAM>(button));
        bool closed = false;
        for (int i = 0; i < 200 && posted; ++i) {
            if (!IsWindow(hwnd) || !IsWindowVisible(hwnd)) {
                closed = true;
                break;
            }
            Sleep(25);
        }
        answered.push_back(hwnd);

        line += ",\"answer\":" + Json(answer ? ButtonIdName(answer) : nullptr) +
                ",\"scripted\":" + (scripted ? "true" : "false") + ",\"wanted\":" +
                (scripted ? Json(wanted.c_str()) : std::string("null")) +
                ",\"script_mismatch\":" + (mismatch ? "true" : "false") + ",\"closed\":" + (closed ? "true" : "false") +
                "}";
        if (opt.interactive) line = "{\"event\":\"answered\"," + line.substr(std::strlen("{\"event\":\"box\","));
        WriteLine(line);
    }

    void ScanBoxes() {
        WindowScan scan{&job, {}};
        EnumWindows(FindBoxes, reinterpret_cast<LPARAM>(&scan));
        std::vector<HWND> still;
        for (HWND h : answered)
            if (IsWindow(h)) still.push_back(h);
        answered.swap(still);
        for (HWND h : scan.found)
            if (!AlreadyAnswered(h)) HandleBox(h);
    }

    int Run() {
        start_tick = GetTickCount();
        // The desktop window's process must exist before the job does, or it
        // would be started inside the job and keep it alive.
        GetDesktopWindow();

        job.job = CreateJobObjectW(nullptr, nullptr);
        job.port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
        if (!job.job || !job.port) return Fail("cannot create the job object");
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits;
        std::memset(&limits, 0, sizeof limits);
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        SetInformationJobObject(job.job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
        JOBOBJECT_ASSOCIATE_COMPLETION_PORT assoc;
        assoc.CompletionKey = job.job;
        assoc.CompletionPort = job.port;
        if (!SetInformationJobObject(job.job, JobObjectAssociateCompletionPortInformation, &assoc, sizeof assoc))
            return Fail("cannot attach the completion port to the job");

        WriteLine("{\"event\":\"start\",\"acp\":" + Num(GetACP()) + ",\"oemcp\":" + Num(GetOEMCP()) +
                  ",\"cmdline\":" + Json(opt.cmdline) + ",\"cwd\":" + Json(opt.cwd) +
                  ",\"timeout_ms\":" + Num(opt.timeout_ms) + "}");

        std::vector<HANDLE> held;
        for (const std::wstring &path : opt.locks) {
            HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
            if (h == INVALID_HANDLE_VALUE)
                return Fail("cannot lock " + Narrow(path) + ": error " + Num(GetLastError()));
            held.push_back(h);
        }

        STARTUPINFOW si;
        std::memset(&si, 0, sizeof si);
        si.cb = sizeof si;
        PROCESS_INFORMATION pi;
        std::memset(&pi, 0, sizeof pi);
        std::vector<HANDLE> running;
        for (const std::wstring &line : opt.holds) {
            std::vector<wchar_t> hold(line.begin(), line.end());
            hold.push_back(0);
            if (!CreateProcessW(nullptr, hold.data(), nullptr, nullptr, FALSE, 0, nullptr, L"C:\\", &si, &pi))
                return Fail("cannot start " + Narrow(line) + ": error " + Num(GetLastError()));
            CloseHandle(pi.hThread);
            running.push_back(pi.hProcess);
        }
        if (!running.empty()) Sleep(2000);
        std::vector<wchar_t> cmd(opt.cmdline.begin(), opt.cmdline.end());
        cmd.push_back(0);
        if (!CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr,
                            opt.cwd.empty() ? nullptr : opt.cwd.c_str(), &si, &pi))
            return Fail("CreateProcessW failed with error " + Num(GetLastError()));
        if (!AssignProcessToJobObject(job.job, pi.hProcess)) {
            TerminateProcess(pi.hProcess, 1);
            return Fail("AssignProcessToJobObject failed with error " + Num(GetLastError()));
        }
        job.Track(pi.dwProcessId, pi.hProcess);
        ResumeThread(pi.hThread);
        CloseHandle(pi.hThread);

        bool hang = false;
        while (true) {
            job.Drain(20);
            ScanWindows();
            ScanBoxes();
            if (job.all_ended) break;
            if (GetTickCount() - start_tick > opt.timeout_ms) {
                hang = true;
                // Boxes still open at the time-out are reported before they go.
                ScanBoxes();
                TerminateJobObject(job.job, 0xE2E0DEAD);
                break;
            }
        }

        for (HANDLE h : held) CloseHandle(h);
        for (HANDLE h : running) {
            TerminateProcess(h, 0);
            WaitForSingleObject(h, 5000);
            CloseHandle(h);
        }
        for (Tracked &t : job.processes) {
            Job::ReadImage(t);
            std::string code = "null";
            if (t.handle && WaitForSingleObject(t.handle, 5000) == WAIT_OBJECT_0) {
                DWORD exit_code = 0;
                if (GetExitCodeProcess(t.handle, &exit_code)) code = Num(exit_code);
            }
            WriteLine("{\"event\":\"process\",\"pid\":" + Num(t.pid) + ",\"parent\":" + Num(t.parent) +
                      ",\"image\":" + Json(t.image.empty() ? t.exe_name : t.image) + ",\"exit_code\":" + code + "}");
        }
        WriteLine(std::string("{\"event\":\"end\",\"hang\":") + (hang ? "true" : "false") +
                  ",\"boxes\":" + Num(box_count) + ",\"unused_answers\":" +
                  Num(opt.answers.size() - next_answer) + ",\"ms\":" + Num(GetTickCount() - start_tick) + "}");
        return 0;
    }

    int Fail(const std::string &why) {
        WriteLine("{\"event\":\"error\",\"message\":" + Json(why.c_str()) + "}");
        return 3;
    }
};

}  // namespace

int wmain(int argc, wchar_t **argv) {
    g_out = GetStdHandle(STD_OUTPUT_HANDLE);
    Runner runner;
    std::string error;
    if (!ParseOptions(argc, argv, runner.opt, error)) {
        WriteLine("{\"event\":\"error\",\"message\":" + Json(error.c_str()) + "}");
        return 2;
    }
    return runner.Run();
}
