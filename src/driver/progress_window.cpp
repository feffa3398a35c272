#include "driver/progress_window.h"

#include "driver/progress_meter.h"

namespace dismora {

namespace {

constexpr win::UINT_PTR kTimer = 1;
constexpr win::UINT kUpdateMs = 50;
constexpr unsigned kTicksPerMove = 5;
constexpr win::WCHAR kClassName[] = u"DismoraProgress";

// One line for each Stage, in its order: plain words, nothing that changes as fast as paths do.
// Each ends with an ellipsis, added as the line is shown: the words themselves stay narrow.
constexpr char kStageWords[] =
    "Preparing the removal\0"
    "Removing registry entries\0"
    "Restoring file types\0"
    "Unregistering components\0"
    "Removing files\0"
    "Removing folders\0"
    "Finishing";

struct TWindow {
    TProgressShared& progress;
    win::PFN_GetDpiForWindow dpi_for_window = nullptr;
    win::PFN_SystemParametersInfoForDpi metrics_for_dpi = nullptr;
    win::HWND frame = nullptr;
    win::HWND line = nullptr;
    win::HWND bar = nullptr;
    win::HFONT font = nullptr;
    win::UINT dpi = 0;
    std::uint32_t total = 0;
    unsigned ticks = 0;
    Stage stage = Stage::kFinishing;
    bool worded = false;
};

// The person cannot close it: a half-done uninstall is worse than a finished one.
win::LRESULT WIN_STDCALL FrameProc(win::HWND hwnd, win::UINT message, win::WPARAM wparam, win::LPARAM lparam) {
    // Moved to a monitor of another DPI, it is laid out anew at the next tick.
    if (message == win::WM_CLOSE || message == win::WM_DPICHANGED) return 0;
    return win::DefWindowProcW(hwnd, message, wparam, lparam);
}

void Place(win::HWND hwnd, int x, int y, int width, int height, win::UINT flags = 0) {
    win::SetWindowPos(hwnd, nullptr, x, y, width, height, flags | win::SWP_NOZORDER | win::SWP_NOACTIVATE);
}

// The message font at the window's DPI, and every size from that font, as a dialog's: the
// window grows with the DPI and with a larger font the person chose. Centred on the work
// area at first, and shown then, without taking the activation from the window the person
// is in: the final message keeps the foreground it has without this window. Later, on a
// monitor of another DPI, centred where it stands.
void Layout(TWindow& w, bool first) {
    win::NONCLIENTMETRICSW metrics = {};
    metrics.cbSize = sizeof(metrics);
    const win::UINT dpi = w.dpi_for_window != nullptr ? w.dpi_for_window(w.frame) : 0;
    // Without the newer function the font is the system DPI's, which is the window's then.
    if (dpi == 0 || w.metrics_for_dpi == nullptr ||
        !w.metrics_for_dpi(win::SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0, dpi)) {
        win::SystemParametersInfoW(win::SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0);
    }
    w.dpi = dpi;
    win::HFONT font = win::CreateFontIndirectW(&metrics.lfMessageFont);
    win::SendMessageW(w.line, win::WM_SETFONT, reinterpret_cast<win::WPARAM>(font), 1);
    if (w.font != nullptr) win::DeleteObject(w.font);
    w.font = font;

    int unit = metrics.lfMessageFont.lfHeight < 0 ? -metrics.lfMessageFont.lfHeight : metrics.lfMessageFont.lfHeight;
    if (unit == 0) unit = 12;
    const int width = unit * 26;
    const int text = unit * 3 / 2;
    const int bar = unit * 5 / 4;
    Place(w.line, unit, unit, width, text);
    Place(w.bar, unit, unit * 3 / 2 + text, width, bar);
    // The frame around the client area as the window has it at its DPI, from where the line
    // stands in it: the side borders, and the caption with the top border.
    win::RECT outer = {};
    win::RECT line = {};
    win::GetWindowRect(w.frame, &outer);
    win::GetWindowRect(w.line, &line);
    const int side = line.left - unit - outer.left;
    const int outer_width = width + 2 * (unit + side);
    const int outer_height = unit * 5 / 2 + text + bar + (line.top - unit - outer.top) + side;
    if (first) win::SystemParametersInfoW(win::SPI_GETWORKAREA, 0, &outer, 0);
    Place(w.frame, (outer.left + outer.right - outer_width) / 2, (outer.top + outer.bottom - outer_height) / 2,
          outer_width, outer_height, first && !w.progress.stopping.load() ? win::SWP_SHOWWINDOW : 0);
}

void Update(TWindow& w) {
    const TProgressShared& meter = w.progress;
    const Stage stage = meter.stage.load(std::memory_order_relaxed);
    if (!w.worded || stage != w.stage) {
        w.worded = true;
        w.stage = stage;
        const char* words = kStageWords;
        for (auto n = static_cast<unsigned>(stage); n != 0; --n) {
            while (*words++ != '\0') {
            }
        }
        Text line = FromAscii(words);
        line += u'\u2026';
        win::SendMessageW(w.line, win::WM_SETTEXT, 0, reinterpret_cast<win::LPARAM>(line.c_str()));
    }
    const std::uint32_t total = meter.total.load(std::memory_order_relaxed);
    if (total != w.total) {
        w.total = total;
        win::SendMessageW(w.bar, win::PBM_SETRANGE32, 0, static_cast<win::LPARAM>(total));
    }
    // The bar moves four times a second: under Wine a repaint 20 times a second took a tenth
    // of the removal's time on two cores, and a quarter of a second still reads as steady.
    if (w.ticks++ % kTicksPerMove == 0) {
        win::SendMessageW(w.bar, win::PBM_SETPOS, meter.done.load(std::memory_order_relaxed), 0);
    }
    if (w.dpi != 0 && w.dpi_for_window(w.frame) != w.dpi) Layout(w, false);
}

}  // namespace

win::DWORD WIN_STDCALL ShowProgressWindow(void* shared) {
    TWindow w{*static_cast<TProgressShared*>(shared)};
    // The bar is a standard control of comctl32, which is no Known DLL: it is loaded from
    // the System folder by its full path, never looked for beside the program. Without it
    // the window shows its line alone.
    win::HMODULE comctl32 = w.progress.comctl32.size() > 12 ? win::LoadLibraryW(w.progress.comctl32.c_str()) : nullptr;
    if (comctl32 != nullptr) {
        const win::INITCOMMONCONTROLSEX classes = {sizeof(classes), win::ICC_PROGRESS_CLASS};
        auto init = reinterpret_cast<win::PFN_InitCommonControlsEx>(
            reinterpret_cast<void*>(win::GetProcAddress(comctl32, "InitCommonControlsEx")));
        if (init != nullptr) init(&classes);
    }
    // Windows 10 1607 and later: the monitor's own DPI rather than the system's.
    win::HMODULE user32 = win::GetModuleHandleW(u"user32");
    w.dpi_for_window = reinterpret_cast<win::PFN_GetDpiForWindow>(
        reinterpret_cast<void*>(win::GetProcAddress(user32, "GetDpiForWindow")));
    w.metrics_for_dpi =
        reinterpret_cast<win::PFN_SystemParametersInfoForDpi>(
        reinterpret_cast<void*>(win::GetProcAddress(user32, "SystemParametersInfoForDpi")));

    auto* instance = reinterpret_cast<win::HINSTANCE>(win::GetModuleHandleW(nullptr));
    win::WNDCLASSW frame_class = {};
    frame_class.lpfnWndProc = FrameProc;
    frame_class.hInstance = instance;
    frame_class.hCursor = win::LoadCursorW(nullptr, win::IDC_ARROW);
    // A class brush may be a system colour's index plus one.
    frame_class.hbrBackground =
        reinterpret_cast<win::HBRUSH>(static_cast<std::uintptr_t>(win::COLOR_BTNFACE + 1));  // NOLINT(performance-no-int-to-ptr)
    frame_class.lpszClassName = kClassName;
    win::RegisterClassW(&frame_class);
    // A caption without a system menu: no close button, and nothing else that invites stopping.
    w.frame = win::CreateWindowExW(0, kClassName, w.progress.caption.c_str(), win::WS_CAPTION, 0, 0, 400, 200, nullptr,
                                   nullptr, instance, nullptr);
    if (w.frame == nullptr) {
        ReleaseProgress(&w.progress);
        return 0;
    }
    w.line = win::CreateWindowExW(0, u"Static", u"", win::WS_CHILD | win::WS_VISIBLE | win::SS_NOPREFIX, 0, 0, 0, 0,
                                  w.frame, nullptr, instance, nullptr);
    // Its text is its name for a screen reader.
    w.bar = win::CreateWindowExW(0, u"msctls_progress32", u"Progress", win::WS_CHILD | win::WS_VISIBLE, 0, 0, 0, 0,
                                 w.frame, nullptr, instance, nullptr);
    Update(w);
    Layout(w, true);
    win::SetTimer(w.frame, kTimer, kUpdateMs, nullptr);
    win::MSG message = {};
    while (win::GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (message.message != win::WM_TIMER || message.hwnd != w.frame) {
            win::DispatchMessageW(&message);
        } else if (w.progress.stopping.load()) {
            break;
        } else {
            Update(w);
        }
    }
    win::DestroyWindow(w.frame);
    if (w.font != nullptr) win::DeleteObject(w.font);
    ReleaseProgress(&w.progress);
    return 0;
}

}  // namespace dismora
