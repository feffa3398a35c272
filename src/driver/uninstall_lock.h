// One uninstall of a log at a time, machine-wide: a mutex named after the log.
#pragma once

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

    // kHeld when another instance holds it, or when it exists but cannot be opened
    // (another user's elevated instance); kNone when it cannot be had at all. A lock whose
    // holder ended without releasing it is taken over.
    State Take(const Text& log_path);
    void Release();

private:
    UniqueProcessHandle mutex_;  // kernel handle: NULL is invalid
    bool owned_ = false;
};

// "Global\Dismora-" and a hash of the log's canonical path with its letter case folded
// the same way whatever the locale: every spelling of the log gives the same name.
Text UninstallLockName(const Text& log_path);

}  // namespace dismora
