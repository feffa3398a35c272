// win32_contract.exe: the contract facts against the real Windows. Prints one line per
// fact and "N passed, N failed"; exits with 0 only when every fact holds.
#if defined(_WIN32)

// The seam first: <windows.h> turns its constant names into macros.
#include "contract/contract.h"

#include <windows.h>

#include <cstdio>

namespace contract {

namespace {

const wchar_t* W(const std::u16string& text) { return reinterpret_cast<const wchar_t*>(text.c_str()); }

}  // namespace

bool MakeFolder(const std::u16string& path) {
    // Each missing folder on the way, from the one below the drive root.
    for (std::size_t at = path.find(u'\\', 3); ; at = path.find(u'\\', at + 1)) {
        const std::u16string prefix = path.substr(0, at);
        ::CreateDirectoryW(W(prefix), nullptr);
        if (at == std::u16string::npos) break;
    }
    const DWORD attributes = ::GetFileAttributesW(W(path));
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool WriteBytes(const std::u16string& path, std::string_view bytes) {
    HANDLE file = ::CreateFileW(W(path), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const BOOL ok = ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    ::CloseHandle(file);
    return ok && written == bytes.size();
}

bool SetReadOnly(const std::u16string& path, bool read_only) {
    DWORD attributes = ::GetFileAttributesW(W(path));
    if (attributes == INVALID_FILE_ATTRIBUTES) return false;
    attributes = read_only ? (attributes | FILE_ATTRIBUTE_READONLY) : (attributes & ~FILE_ATTRIBUTE_READONLY);
    return ::SetFileAttributesW(W(path), attributes) != FALSE;
}

}  // namespace contract

namespace {

void Print(const std::string& line) {
    std::puts(line.c_str());
    std::fflush(stdout);
}

}  // namespace

int main() { return contract::RunAll(&Print) == 0 ? 0 : 1; }

#endif
