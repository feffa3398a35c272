#include "driver/uninstall_lock.h"

namespace dismora {

namespace {

// "Global\Dismora-" and a hash of the log's identity, so that every path that reaches the
// log (a short name, a junction, a substituted or mapped drive) gives the same name; where
// there is none, of its name with its letter case folded the same way whatever the locale.
Text LockName(const TFileIdentity& identity, const Text& log_name) {
    Text path = log_name;
    if (identity.known) {
        path.clear();
        for (win::DWORD word : {identity.volume, identity.index_high, identity.index_low}) {
            path += static_cast<char16_t>(word >> 16);
            path += static_cast<char16_t>(word);
        }
    } else {
        // A name that cannot be mapped keeps its letters as they are.
        Text folded = path;
        const int length = static_cast<int>(path.size());
        if (win::LCMapStringW(win::LOCALE_INVARIANT, win::LCMAP_UPPERCASE, path.data(), length, folded.data(),
                              length) == length) {
            path = folded;
        }
    }
    std::uint64_t hash = 14695981039346656037ull;
    for (char16_t c : path) hash = (hash ^ c) * 1099511628211ull;
    // The name's placeholder digits are the table the hash is written with.
    const char* const pattern = "Global\\Dismora-0123456789abcdef";
    const char* const digits = pattern + 15;
    Text name = FromAscii(pattern);
    for (std::size_t at = name.size(); at-- > name.size() - 16; hash >>= 4) {
        name[at] = static_cast<char16_t>(digits[hash & 15]);
    }
    return name;
}

}  // namespace

UninstallLock::State UninstallLock::Take(const TFileIdentity& identity, const Text& log_name) {
    mutex_.Reset(win::CreateMutexW(nullptr, win::FALSE, LockName(identity, log_name).c_str()));
    if (!mutex_.IsValid()) return win::GetLastError() == win::ERROR_ACCESS_DENIED ? State::kHeld : State::kNone;
    const win::DWORD result = win::WaitForSingleObject(mutex_.Get(), 0);
    owned_ = result == win::WAIT_OBJECT_0 || result == win::WAIT_ABANDONED;
    if (owned_) return State::kTaken;
    return result == win::WAIT_TIMEOUT ? State::kHeld : State::kNone;
}

void UninstallLock::Release() {
    if (owned_) win::ReleaseMutex(mutex_.Get());
    owned_ = false;
    mutex_.Reset();
}

}  // namespace dismora
