// Threads and windows, as little of them as the progress window needs: a thread runs
// inside the first wait for it (one thing runs at a time), windows are records with a
// procedure, and a thread's message loop sees only its windows' timers, each tick taking
// the timer's period of simulated time.
#include "support/sim_state.h"

namespace dismora::sim {

namespace detail {

namespace {

constexpr DWORD kErrorCannotFindWndClass = 1407;
constexpr DWORD kErrorInvalidWindowHandle = 1400;
constexpr UINT kSpiGetNonClientMetrics = 0x29;
constexpr UINT kSpiGetWorkArea = 0x30;
// A frame as Windows 10 draws one at 96 DPI: the side and bottom borders, and the caption with the top border.
constexpr LONG kBorder = 8;
constexpr LONG kCaption = 31;
constexpr std::uintptr_t kFirstWindow = 0x00020000;

win::HWND WindowHandle(std::size_t number) { return reinterpret_cast<win::HWND>(kFirstWindow + 4 * number); }

// The window's number (1-based), or 0 for a handle that names none alive.
std::size_t WindowNumber(State& s, win::HWND hwnd) {
    const auto value = reinterpret_cast<std::uintptr_t>(hwnd);
    if (value <= kFirstWindow || (value - kFirstWindow) % 4 != 0) return 0;
    const std::size_t number = (value - kFirstWindow) / 4;
    if (number > s.window_records.size() || s.window_records[number - 1].destroyed) return 0;
    return number;
}

}  // namespace

win::BOOL WIN_STDCALL SimInitCommonControlsEx(const win::INITCOMMONCONTROLSEX* classes) {
    State& s = Current();
    if (Enter(s, "InitCommonControlsEx")) return win::FALSE;
    if (classes == nullptr || classes->dwSize != sizeof(win::INITCOMMONCONTROLSEX)) return win::FALSE;
    return win::TRUE;
}

DWORD WaitForThread(State& s, std::size_t thread, DWORD timeout) {
    ThreadRecord& record = s.thread_records[thread - 1];
    if (!s.threads_hang && !record.ran) {
        record.ran = true;
        const std::size_t previous = s.current_thread;
        s.current_thread = thread;
        const std::uint64_t start = s.now_ms;
        s.threads[thread - 1].routine(s.threads[thread - 1].parameter);
        s.current_thread = previous;
        if (timeout == win::INFINITE || s.now_ms - start <= timeout) return win::WAIT_OBJECT_0;
        return win::WAIT_TIMEOUT;
    }
    if (record.ran) return win::WAIT_OBJECT_0;
    if (timeout == win::INFINITE) {
        s.Violation("waiting forever for a thread that does not answer");
        s.SetError(win::ERROR_INVALID_HANDLE);
        return win::WAIT_FAILED;
    }
    s.now_ms += timeout;
    return win::WAIT_TIMEOUT;
}

}  // namespace detail

const std::vector<ThreadRecord>& Machine::Threads() const { return state_->thread_records; }

const std::vector<WindowRecord>& Machine::Windows() const { return state_->window_records; }

void Machine::SetThreadsHang(bool hang) { state_->threads_hang = hang; }

void Machine::WakeHungThreads() {
    detail::State& s = *state_;
    for (std::size_t i = 0; i < s.thread_records.size(); ++i) {
        ThreadRecord& record = s.thread_records[i];
        if (record.pid != s.Current().record.pid || record.ran || s.threads[i].ended) continue;
        record.ran = true;
        const std::size_t previous = s.current_thread;
        s.current_thread = i + 1;
        s.threads[i].routine(s.threads[i].parameter);
        s.current_thread = previous;
    }
}

int Machine::LiveFonts() const { return state_->live_fonts; }

}  // namespace dismora::sim

namespace win {

namespace sd = dismora::sim::detail;

HANDLE CreateThread(void* lpThreadAttributes, std::size_t dwStackSize, LPTHREAD_START_ROUTINE lpStartAddress,
                    void* lpParameter, DWORD dwCreationFlags, DWORD* lpThreadId) {
    auto& s = sd::Current();
    if (auto fault = sd::Enter(s, "CreateThread")) {
        s.SetError(*fault);
        return nullptr;
    }
    if (lpThreadAttributes != nullptr || dwStackSize != 0 || dwCreationFlags != 0 || lpStartAddress == nullptr) {
        s.Violation("CreateThread with attributes, a stack size or flags is not modelled");
    }
    s.threads.push_back({lpStartAddress, lpParameter});
    s.thread_records.push_back({s.Current().record.pid, s.now_ms, false});
    sd::HandleEntry entry;
    entry.kind = dismora::sim::HandleKind::kThread;
    entry.owner_pid = s.Current().record.pid;
    entry.thread = s.threads.size();
    entry.what = u"thread " + dismora::sim::Widen(std::to_string(entry.thread));
    if (lpThreadId != nullptr) *lpThreadId = static_cast<DWORD>(0x2000 + entry.thread);
    return reinterpret_cast<HANDLE>(s.AddHandle(entry));
}

HMODULE LoadLibraryW(const WCHAR* lpLibFileName) {
    auto& s = sd::Current();
    const std::u16string path = sd::FromC(lpLibFileName);
    if (auto fault = sd::Enter(s, "LoadLibraryW", path)) {
        s.SetError(*fault);
        return nullptr;
    }
    // Only the System folder's comctl32 and, where offered, rstrtmgr exist here, and only a
    // full path finds them.
    if (s.restart_manager && sd::EqualNoCase(path, s.system_folder + u"\\rstrtmgr.dll")) {
        s.restart_manager_loaded = true;
        return reinterpret_cast<HMODULE>(sd::kRstrtmgrModule);
    }
    if (!sd::EqualNoCase(path, s.system_folder + u"\\comctl32.dll")) {
        s.SetError(win::ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    s.progress_class = true;
    return reinterpret_cast<HMODULE>(sd::kComctl32Module);
}

WORD RegisterClassW(const WNDCLASSW* lpWndClass) {
    auto& s = sd::Current();
    if (auto fault = sd::Enter(s, "RegisterClassW")) {
        s.SetError(*fault);
        return 0;
    }
    const std::u16string name = sd::Fold(sd::FromC(lpWndClass->lpszClassName));
    if (lpWndClass->lpfnWndProc == nullptr || s.window_classes.count(name) != 0) {
        s.SetError(win::ERROR_INVALID_PARAMETER);
        return 0;
    }
    s.window_classes[name] = lpWndClass->lpfnWndProc;
    return static_cast<WORD>(0xC000 + s.window_classes.size());
}

HWND CreateWindowExW(DWORD dwExStyle, const WCHAR* lpClassName, const WCHAR* lpWindowName, DWORD dwStyle, int X, int Y,
                     int nWidth, int nHeight, HWND hWndParent, HMENU hMenu, HINSTANCE hInstance, void* lpParam) {
    auto& s = sd::Current();
    const std::u16string class_name = sd::FromC(lpClassName);
    if (auto fault = sd::Enter(s, "CreateWindowExW", class_name)) {
        s.SetError(*fault);
        return nullptr;
    }
    (void)dwExStyle, (void)hMenu, (void)hInstance, (void)lpParam;
    const std::u16string folded = sd::Fold(class_name);
    WNDPROC procedure = nullptr;
    if (auto found = s.window_classes.find(folded); found != s.window_classes.end()) procedure = found->second;
    const bool system_class = folded == u"STATIC" || (folded == u"MSCTLS_PROGRESS32" && s.progress_class);
    const std::size_t parent = hWndParent != nullptr ? sd::WindowNumber(s, hWndParent) : 0;
    if ((procedure == nullptr && !system_class) || (hWndParent != nullptr && parent == 0)) {
        s.SetError(hWndParent != nullptr && parent == 0 ? sd::kErrorInvalidWindowHandle : sd::kErrorCannotFindWndClass);
        return nullptr;
    }
    dismora::sim::WindowRecord record;
    record.pid = s.Current().record.pid;
    record.thread = s.current_thread;
    record.class_name = class_name;
    record.text = sd::FromC(lpWindowName);
    record.parent = parent;
    record.style = dwStyle;
    record.visible = (dwStyle & win::WS_VISIBLE) != 0;
    record.boxes_at_creation = s.message_boxes.size();
    record.created_ms = s.now_ms;
    s.window_records.push_back(record);
    s.windows.push_back({procedure, {X, Y, X + nWidth, Y + nHeight}, 0});
    return sd::WindowHandle(s.window_records.size());
}

BOOL DestroyWindow(HWND hWnd) {
    auto& s = sd::Current();
    if (auto fault = sd::Enter(s, "DestroyWindow")) {
        s.SetError(*fault);
        return FALSE;
    }
    const std::size_t number = sd::WindowNumber(s, hWnd);
    if (number == 0) {
        s.SetError(sd::kErrorInvalidWindowHandle);
        return FALSE;
    }
    if (s.window_records[number - 1].thread != s.current_thread) {
        s.Violation("DestroyWindow of a window another thread created");
    }
    // Its children go with it.
    for (std::size_t i = 0; i < s.window_records.size(); ++i) {
        dismora::sim::WindowRecord& w = s.window_records[i];
        if (i + 1 != number && w.parent != number) continue;
        if (w.destroyed) continue;
        w.destroyed = true;
        w.visible = false;
        w.boxes_at_destruction = s.message_boxes.size();
        s.windows[i].timer_ms = 0;
    }
    return TRUE;
}

BOOL SetWindowPos(HWND hWnd, HWND hWndInsertAfter, int X, int Y, int cx, int cy, UINT uFlags) {
    auto& s = sd::Current();
    if (auto fault = sd::Enter(s, "SetWindowPos")) {
        s.SetError(*fault);
        return FALSE;
    }
    const std::size_t number = sd::WindowNumber(s, hWnd);
    if (number == 0 || hWndInsertAfter != nullptr) {
        s.SetError(sd::kErrorInvalidWindowHandle);
        return FALSE;
    }
    s.windows[number - 1].rect = {X, Y, X + cx, Y + cy};
    if ((uFlags & win::SWP_SHOWWINDOW) != 0) s.window_records[number - 1].visible = true;
    return TRUE;
}

BOOL GetWindowRect(HWND hWnd, RECT* lpRect) {
    auto& s = sd::Current();
    if (auto fault = sd::Enter(s, "GetWindowRect")) {
        s.SetError(*fault);
        return FALSE;
    }
    const std::size_t number = sd::WindowNumber(s, hWnd);
    if (number == 0) {
        s.SetError(sd::kErrorInvalidWindowHandle);
        return FALSE;
    }
    *lpRect = s.windows[number - 1].rect;
    // A child's place is in its parent's client area, which starts inside the parent's frame.
    if (const std::size_t parent = s.window_records[number - 1].parent; parent != 0) {
        const RECT& frame = s.windows[parent - 1].rect;
        lpRect->left += frame.left + sd::kBorder;
        lpRect->right += frame.left + sd::kBorder;
        lpRect->top += frame.top + sd::kCaption;
        lpRect->bottom += frame.top + sd::kCaption;
    }
    return TRUE;
}

LRESULT SendMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
    auto& s = sd::Current();
    if (sd::Enter(s, "SendMessageW")) return 0;
    const std::size_t number = sd::WindowNumber(s, hWnd);
    if (number == 0) return 0;
    dismora::sim::WindowRecord& w = s.window_records[number - 1];
    if (w.thread != s.current_thread) {
        // Sent across threads, a message waits for the other thread to take it.
        s.Violation("SendMessageW to a window of another thread");
    }
    if (Msg == win::WM_SETTEXT) w.text = sd::FromC(reinterpret_cast<const WCHAR*>(lParam));
    if (Msg == win::WM_SETFONT) w.font_set = wParam != 0;
    if (Msg == win::PBM_SETRANGE32) w.range = static_cast<int>(lParam);
    if (Msg == win::PBM_SETPOS) w.position = static_cast<int>(wParam);
    if (s.windows[number - 1].procedure != nullptr) return s.windows[number - 1].procedure(hWnd, Msg, wParam, lParam);
    return 0;
}

UINT_PTR SetTimer(HWND hWnd, UINT_PTR nIDEvent, UINT uElapse, void* lpTimerFunc) {
    auto& s = sd::Current();
    if (auto fault = sd::Enter(s, "SetTimer")) {
        s.SetError(*fault);
        return 0;
    }
    const std::size_t number = sd::WindowNumber(s, hWnd);
    if (number == 0 || lpTimerFunc != nullptr || nIDEvent == 0) {
        s.Violation("SetTimer other than a window's own timer is not modelled");
        return 0;
    }
    s.windows[number - 1].timer_ms = uElapse;
    return nIDEvent;
}

BOOL GetMessageW(MSG* lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax) {
    auto& s = sd::Current();
    if (auto fault = sd::Enter(s, "GetMessageW")) {
        s.SetError(*fault);
        return -1;
    }
    (void)hWnd, (void)wMsgFilterMin, (void)wMsgFilterMax;
    for (std::size_t i = 0; i < s.windows.size(); ++i) {
        if (s.windows[i].timer_ms == 0 || s.window_records[i].thread != s.current_thread) continue;
        s.now_ms += s.windows[i].timer_ms;
        *lpMsg = {};
        lpMsg->hwnd = sd::WindowHandle(i + 1);
        lpMsg->message = win::WM_TIMER;
        lpMsg->wParam = 1;
        return TRUE;
    }
    s.Violation("GetMessageW with nothing that could ever arrive");
    return FALSE;
}

LRESULT DispatchMessageW(const MSG* lpMsg) {
    auto& s = sd::Current();
    if (sd::Enter(s, "DispatchMessageW")) return 0;
    const std::size_t number = sd::WindowNumber(s, lpMsg->hwnd);
    if (number == 0 || s.windows[number - 1].procedure == nullptr) return 0;
    return s.windows[number - 1].procedure(lpMsg->hwnd, lpMsg->message, lpMsg->wParam, lpMsg->lParam);
}

LRESULT DefWindowProcW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
    auto& s = sd::Current();
    sd::Enter(s, "DefWindowProcW");
    (void)hWnd, (void)Msg, (void)wParam, (void)lParam;
    return 0;
}

BOOL SystemParametersInfoW(UINT uiAction, UINT uiParam, void* pvParam, UINT fWinIni) {
    auto& s = sd::Current();
    if (auto fault = sd::Enter(s, "SystemParametersInfoW")) {
        s.SetError(*fault);
        return FALSE;
    }
    if (uiAction == sd::kSpiGetWorkArea && pvParam != nullptr && fWinIni == 0) {
        *static_cast<RECT*>(pvParam) = {0, 0, 1920, 1040};
        return TRUE;
    }
    auto* metrics = static_cast<NONCLIENTMETRICSW*>(pvParam);
    if (uiAction != sd::kSpiGetNonClientMetrics || metrics == nullptr || fWinIni != 0 ||
        uiParam != sizeof(NONCLIENTMETRICSW) || metrics->cbSize != sizeof(NONCLIENTMETRICSW)) {
        s.SetError(win::ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *metrics = {};
    metrics->cbSize = sizeof(NONCLIENTMETRICSW);
    // The message font of Windows 10 at 96 DPI: Segoe UI, 9 points.
    metrics->lfMessageFont.lfHeight = -12;
    metrics->lfMessageFont.lfWeight = 400;
    const std::u16string face = u"Segoe UI";
    face.copy(metrics->lfMessageFont.lfFaceName, face.size());
    return TRUE;
}

HCURSOR LoadCursorW(HINSTANCE hInstance, const WCHAR* lpCursorName) {
    auto& s = sd::Current();
    if (auto fault = sd::Enter(s, "LoadCursorW")) {
        s.SetError(*fault);
        return nullptr;
    }
    if (hInstance != nullptr || lpCursorName != IDC_ARROW) return nullptr;
    return reinterpret_cast<HCURSOR>(std::uintptr_t{0x10003});
}

HFONT CreateFontIndirectW(const LOGFONTW* lplf) {
    auto& s = sd::Current();
    if (auto fault = sd::Enter(s, "CreateFontIndirectW")) {
        s.SetError(*fault);
        return nullptr;
    }
    if (lplf == nullptr) return nullptr;
    ++s.live_fonts;
    return reinterpret_cast<HFONT>(std::uintptr_t{0x0A000000} + static_cast<std::uintptr_t>(s.live_fonts));
}

BOOL DeleteObject(HFONT ho) {
    auto& s = sd::Current();
    if (sd::Enter(s, "DeleteObject") || ho == nullptr) return FALSE;
    --s.live_fonts;
    return TRUE;
}

}  // namespace win
