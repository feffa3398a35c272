// Applications that hold files: looked for only when a file would not go, asked to close,
// never ended by force.
#pragma once

#include <cstdint>

#include "environment/text.h"
#include "platform/unique_handle.h"

namespace dismora {

struct TApplication {
    win::DWORD id = 0;
    win::HANDLE process = nullptr;  // held from the search on: an ended process's id comes back
    Text name;                      // the title of its window, or its program's file name
    bool closed = false;
    TApplication* next = nullptr;
};

// The applications found, in a list, their processes held until it goes.
class TApplications {
public:
    TApplications() = default;
    TApplications(const TApplications&) = delete;
    TApplications& operator=(const TApplications&) = delete;
    ~TApplications();

    [[nodiscard]] TApplication* Head() const { return head_; }
    [[nodiscard]] std::uint32_t Size() const { return size_; }
    TApplication& Add();  // at the end

private:
    TApplication* head_ = nullptr;
    // Where the next one goes: the list owns what it points into, it owns nothing itself.
    // cppcheck-suppress unsafeClassCanLeak
    TApplication** tail_ = &head_;
    std::uint32_t size_ = 0;
};

// The applications of this session that hold one of the files (full paths): run from one,
// or, for a 32-bit program, having loaded one (a 32-bit program cannot list a 64-bit one's
// modules); and, where Windows has the Restart Manager (rstrtmgr.dll in the System folder,
// ending with "\"), those it names, 64-bit ones and files held open included. Never this
// process or the one spared (the instance waiting for it), Explorer, a service, nor a
// process of the services' session or of another session.
void FindApplicationsHolding(const char16_t* const* files, std::uint32_t count, const Text& system, win::DWORD spared,
                             TApplications& found);

// Asks each to close, with WM_CLOSE posted to its visible top-level windows (posted, never
// sent: a window that hangs would hold the run), and waits for them at most milliseconds
// in all; marks those that have ended.
void CloseApplications(TApplications& applications, win::DWORD milliseconds);

}  // namespace dismora
