#include "environment/applications.h"

#include <memory>

#include "environment/well_known_folders.h"

namespace dismora {

namespace {

constexpr win::DWORD kImageChars = 260;  // a module entry's path
constexpr int kTitleChars = 128;
constexpr win::UINT kFirstListed = 4;  // the room made for the Restart Manager's first answer
constexpr int kListAttempts = 3;       // a list that keeps growing is given up
// This process, the one spared and the programs this run started, remembered up to this many.
constexpr std::uint32_t kOurs = 16;

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

bool IsOneOf(const win::DWORD* ids, std::uint32_t count, win::DWORD id) {
    for (std::uint32_t i = 0; i < count; ++i) {
        if (ids[i] == id) return true;
    }
    return false;
}

bool IsAskedAbout(const char16_t* const* files, std::uint32_t count, TextView path) {
    for (std::uint32_t i = 0; i < count; ++i) {
        if (SameFileName(files[i], path)) return true;
    }
    return false;
}

// The Restart Manager also sees 64-bit programs and files held open rather than loaded. It
// is no Known DLL, so it is loaded from the System folder by its full path; without it
// (before Vista) or one of its functions, or when it fails, the snapshots alone stand.
void AskRestartManager(const char16_t* const* files, std::uint32_t count, const Text& system, const win::DWORD* ours,
                       std::uint32_t known, win::DWORD session, TApplications& found) {
    Text path(system);
    path += u"rstrtmgr.dll";
    const win::HMODULE module = win::LoadLibraryW(path.c_str());
    if (module == nullptr) return;
    const auto start = reinterpret_cast<win::PFN_RmStartSession>(
        reinterpret_cast<void*>(win::GetProcAddress(module, "RmStartSession")));
    const auto add = reinterpret_cast<win::PFN_RmRegisterResources>(
        reinterpret_cast<void*>(win::GetProcAddress(module, "RmRegisterResources")));
    const auto list = reinterpret_cast<win::PFN_RmGetList>(reinterpret_cast<void*>(win::GetProcAddress(module, "RmGetList")));
    const auto end = reinterpret_cast<win::PFN_RmEndSession>(
        reinterpret_cast<void*>(win::GetProcAddress(module, "RmEndSession")));
    win::DWORD handle = 0;
    char16_t key[win::CCH_RM_SESSION_KEY + 1];
    if (start == nullptr || add == nullptr || list == nullptr || end == nullptr || start(&handle, 0, key) != win::ERROR_SUCCESS) {
        return;
    }
    win::UINT needed = kFirstListed;
    win::UINT listed = 0;
    std::unique_ptr<win::RM_PROCESS_INFO[]> infos;
    if (add(handle, count, files, 0, nullptr, 0, nullptr) == win::ERROR_SUCCESS) {
        // Too short a list says how long it must be; the processes may change in between.
        win::DWORD result = win::ERROR_MORE_DATA;
        for (int attempt = 0; attempt < kListAttempts && result == win::ERROR_MORE_DATA; ++attempt) {
            listed = needed;
            infos = std::make_unique_for_overwrite<win::RM_PROCESS_INFO[]>(listed);
            win::DWORD reasons = 0;
            result = list(handle, &needed, &listed, infos.get(), &reasons);
        }
        if (result != win::ERROR_SUCCESS) listed = 0;
    }
    end(handle);
    for (win::UINT i = 0; i < listed; ++i) {
        const win::RM_PROCESS_INFO& info = infos[i];
        const win::DWORD id = info.Process.dwProcessId;
        const win::DWORD type = info.ApplicationType;
        bool skipped = type == win::RmService || type == win::RmExplorer || type == win::RmCritical ||
                       IsOneOf(ours, known, id) || info.TSSessionId != session;
        for (const TApplication* application = found.Head(); application != nullptr; application = application->next) {
            skipped |= application->id == id;
        }
        if (skipped) continue;
        UniqueProcessHandle process(
            win::OpenProcess(win::PROCESS_QUERY_LIMITED_INFORMATION | win::SYNCHRONIZE, win::FALSE, id));
        if (!process.IsValid()) continue;
        TApplication& application = found.Add();
        application.id = id;
        application.process = process.Release();
        application.name = Text(info.strAppName);
    }
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

void FindApplicationsHolding(const char16_t* const* files, std::uint32_t count, const Text& system, win::DWORD spared,
                             TApplications& found) {
    const win::DWORD self = win::GetCurrentProcessId();
    win::DWORD session = 0;
    // In the services' session (a run as SYSTEM) the users' applications live elsewhere.
    if (!win::ProcessIdToSessionId(self, &session) || session == 0) return;
    // The Restart Manager does not tell who started a process: it passes over these by id.
    win::DWORD ours[kOurs];  // NOLINT(cppcoreguidelines-init-variables): filled as far as known
    ours[0] = self;
    ours[1] = spared;
    std::uint32_t known = 2;
    const UniqueFileHandle processes(win::CreateToolhelp32Snapshot(win::TH32CS_SNAPPROCESS, 0));
    win::PROCESSENTRY32W entry;  // NOLINT(cppcoreguidelines-pro-type-member-init): the snapshot fills it
    entry.dwSize = sizeof(entry);
    for (win::BOOL more = processes.IsValid() && win::Process32FirstW(processes.Get(), &entry); more;
         more = win::Process32NextW(processes.Get(), &entry)) {
        const win::DWORD id = entry.th32ProcessID;
        win::DWORD its_session = 0;
        // A program this run started (a server's registration still running) is part of the run.
        const bool started = entry.th32ParentProcessID == self;
        if (started && known < kOurs) ours[known++] = id;
        if (started || IsOneOf(ours, known, id) || SameFileName(entry.szExeFile, u"explorer.exe") ||
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
                holds = IsAskedAbout(files, count, module.szExePath);
            }
        } else {
            win::DWORD size = kImageChars;
            holds = win::QueryFullProcessImageNameW(process.Get(), 0, module.szExePath, &size) &&
                    IsAskedAbout(files, count, module.szExePath);
        }
        if (!holds) continue;
        TApplication& application = found.Add();
        application.id = id;
        application.process = process.Release();
        application.name = Text(entry.szExeFile);
        TWindows windows{id, &application.name};
        win::EnumWindows(EachWindow, reinterpret_cast<win::LPARAM>(&windows));
    }
    AskRestartManager(files, count, system, ours, known, session, found);
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
