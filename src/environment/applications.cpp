#include "environment/applications.h"

#include "environment/well_known_folders.h"

namespace dismora {

namespace {

constexpr win::DWORD kImageChars = 260;  // a module entry's path
constexpr int kTitleChars = 128;

// One application's visible top-level windows: the first with a title names it, or each is
// asked to close.
struct TWindows {
    win::DWORD id;
    Text* title;  // null: ask to close
};

win::BOOL WIN_STDCALL EachWindow(win::HWND window, win::LPARAM context) {
    // The context is the address EnumWindows was handed.
    const TWindows& windows = *reinterpret_cast<const TWindows*>(context);  // NOLINT(performance-no-int-to-ptr)
    win::DWORD owner = 0;
    win::GetWindowThreadProcessId(window, &owner);
    if (owner != windows.id || !win::IsWindowVisible(window)) return win::TRUE;
    if (windows.title == nullptr) {
        win::PostMessageW(window, win::WM_CLOSE, 0, 0);
        return win::TRUE;
    }
    char16_t title[kTitleChars];
    const int length = win::GetWindowTextW(window, title, kTitleChars);
    if (length <= 0) return win::TRUE;
    *windows.title = Text(title, static_cast<std::size_t>(length));
    return win::FALSE;
}

}  // namespace

TApplications::~TApplications() {
    while (head_ != nullptr) {
        TApplication* next = head_->next;
        win::CloseHandle(head_->process);
        delete head_;
        head_ = next;
    }
}

TApplication& TApplications::Add() {
    *tail_ = new TApplication;
    TApplication& added = **tail_;
    tail_ = &added.next;
    ++size_;
    return added;
}

void FindApplicationsHolding(IsAskedAbout asked, const void* files, win::DWORD spared, TApplications& found) {
    const win::DWORD self = win::GetCurrentProcessId();
    win::DWORD session = 0;
    // In the services' session (a run as SYSTEM) the users' applications live elsewhere.
    if (!win::ProcessIdToSessionId(self, &session) || session == 0) return;
    const UniqueFileHandle processes(win::CreateToolhelp32Snapshot(win::TH32CS_SNAPPROCESS, 0));
    win::PROCESSENTRY32W entry;  // NOLINT(cppcoreguidelines-pro-type-member-init): the snapshot fills it
    entry.dwSize = sizeof(entry);
    for (win::BOOL more = processes.IsValid() && win::Process32FirstW(processes.Get(), &entry); more;
         more = win::Process32NextW(processes.Get(), &entry)) {
        const win::DWORD id = entry.th32ProcessID;
        win::DWORD its_session = 0;
        // A program this run started (a server's registration still running) is part of the run.
        if (id == self || id == spared || entry.th32ParentProcessID == self ||
            SameFileName(entry.szExeFile, u"explorer.exe") ||
            !win::ProcessIdToSessionId(id, &its_session) || its_session != session) {
            continue;
        }
        UniqueProcessHandle process(
            win::OpenProcess(win::PROCESS_QUERY_LIMITED_INFORMATION | win::SYNCHRONIZE, win::FALSE, id));
        if (!process.IsValid()) continue;
        // A 32-bit program's modules, its own file first; a 64-bit one's cannot be listed, only its file.
        bool holds = false;
        const UniqueFileHandle modules(win::CreateToolhelp32Snapshot(win::TH32CS_SNAPMODULE | win::TH32CS_SNAPMODULE32, id));
        win::MODULEENTRY32W module;  // NOLINT(cppcoreguidelines-pro-type-member-init): the snapshot fills it
        module.dwSize = sizeof(module);
        if (modules.IsValid()) {
            for (win::BOOL next = win::Module32FirstW(modules.Get(), &module); next && !holds;
                 next = win::Module32NextW(modules.Get(), &module)) {
                holds = asked(files, module.szExePath);
            }
        } else {
            win::DWORD size = kImageChars;
            holds = win::QueryFullProcessImageNameW(process.Get(), 0, module.szExePath, &size) && asked(files, module.szExePath);
        }
        if (!holds) continue;
        TApplication& application = found.Add();
        application.id = id;
        application.process = process.Release();
        application.name = Text(entry.szExeFile);
        TWindows windows{id, &application.name};
        win::EnumWindows(EachWindow, reinterpret_cast<win::LPARAM>(&windows));
    }
}

void CloseApplications(TApplications& applications, win::DWORD milliseconds) {
    for (const TApplication* application = applications.Head(); application != nullptr; application = application->next) {
        TWindows windows{application->id, nullptr};
        win::EnumWindows(EachWindow, reinterpret_cast<win::LPARAM>(&windows));
    }
    const win::DWORD start = win::GetTickCount();
    for (TApplication* application = applications.Head(); application != nullptr; application = application->next) {
        const win::DWORD spent = win::GetTickCount() - start;
        application->closed = win::WaitForSingleObject(application->process, spent < milliseconds ? milliseconds - spent : 0) ==
                              win::WAIT_OBJECT_0;
    }
}

}  // namespace dismora
