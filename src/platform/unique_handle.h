// Move-only owners for Windows handles. No implicit conversion to the raw
// handle: Get() for a call, Put() for an out-parameter.
#pragma once

#include "platform/win_api.h"

namespace dismora {

template <typename Traits>
class UniqueHandle {
public:
    using Handle = typename Traits::Handle;

    UniqueHandle() = default;
    explicit UniqueHandle(Handle handle) : handle_(handle) {}
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.Release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) Reset(other.Release());
        return *this;
    }
    ~UniqueHandle() { Reset(); }

    [[nodiscard]] Handle Get() const { return handle_; }
    [[nodiscard]] bool IsValid() const { return handle_ != Traits::Invalid(); }

    // Closes what is held and hands out the slot for an out-parameter.
    [[nodiscard]] Handle* Put() {
        Reset();
        return &handle_;
    }
    [[nodiscard]] Handle Release() {
        Handle handle = handle_;
        handle_ = Traits::Invalid();
        return handle;
    }
    // Keeps the caller's last error: a failure's code survives the clean-up after it.
    void Reset(Handle handle = Traits::Invalid()) {
        if (handle_ != Traits::Invalid()) {
            const win::DWORD error = win::GetLastError();
            Traits::Close(handle_);
            win::SetLastError(error);
        }
        handle_ = handle;
    }

private:
    Handle handle_ = Traits::Invalid();
};

struct RegKeyTraits {
    using Handle = win::HKEY;
    static Handle Invalid() { return nullptr; }
    static void Close(Handle key) { win::RegCloseKey(key); }
};

struct ProcessHandleTraits {
    using Handle = win::HANDLE;
    static Handle Invalid() { return nullptr; }
    static void Close(Handle handle) { win::CloseHandle(handle); }
};

struct FileHandleTraits {
    using Handle = win::HANDLE;
    static Handle Invalid() { return win::INVALID_HANDLE_VALUE; }
    static void Close(Handle handle) { win::CloseHandle(handle); }
};

// Never wrap a predefined root key: closing one is not ours to do.
using UniqueKey = UniqueHandle<RegKeyTraits>;
using UniqueProcessHandle = UniqueHandle<ProcessHandleTraits>;
using UniqueFileHandle = UniqueHandle<FileHandleTraits>;

// Opens a key. The owner takes the handle only when the call succeeded, whatever a
// failed call left in its out-parameter.
inline win::LONG OpenKey(win::HKEY root, const char16_t* path, win::REGSAM access, UniqueKey& key) {
    win::HKEY opened = nullptr;
    win::LONG result = win::RegOpenKeyExW(root, path, 0, access, &opened);
    key.Reset(result == win::ERROR_SUCCESS ? opened : nullptr);
    return result;
}

}  // namespace dismora
