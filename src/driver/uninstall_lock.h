// One uninstall of a log at a time, machine-wide: a mutex named after the log itself.
#pragma once

#include "environment/files.h"
#include "environment/text.h"
#include "platform/unique_handle.h"

namespace dismora {

class UninstallLock {
public:
    enum class State { kTaken, kHeld, kNone };

    UninstallLock() = default;
    UninstallLock(const UninstallLock&) = delete;
    UninstallLock& operator=(const UninstallLock&) = delete;
    ~UninstallLock() { Release(); }

    // The lock of the log with this identity (or, where it has none, this name: the path as
    // the file system names it). kHeld when another instance holds it, or when it exists
    // but cannot be opened (another user's elevated instance); kNone when it cannot be had
    // at all. A lock whose holder ended without releasing it is taken over.
    State Take(const TFileIdentity& identity, const Text& log_name);
    void Release();

private:
    UniqueProcessHandle mutex_;  // kernel handle: NULL is invalid
    bool owned_ = false;
};

}  // namespace dismora
