#include "environment/files.h"

namespace dismora {

UniqueFileHandle OpenForReading(const Text& path, win::DWORD share) {
    return UniqueFileHandle(win::CreateFileW(path.c_str(), win::GENERIC_READ, share, nullptr, win::OPEN_EXISTING,
                                             win::FILE_ATTRIBUTE_NORMAL, nullptr));
}

bool SameBytes(const Text& path, win::HANDLE other) {
    UniqueFileHandle file = OpenForReading(path, kShareAll);
    win::HANDLE a = file.Get();
    win::HANDLE b = other;
    char expected[1024];
    char found[1024];
    while (true) {
        win::DWORD expected_size = 0;
        win::DWORD found_size = 0;
        if (!win::ReadFile(a, expected, sizeof(expected), &expected_size, nullptr) ||
            !win::ReadFile(b, found, sizeof(found), &found_size, nullptr) || expected_size != found_size) {
            return false;
        }
        if (expected_size == 0) return true;
        for (win::DWORD i = 0; i < expected_size; ++i) {
            if (expected[i] != found[i]) return false;
        }
    }
}

}  // namespace dismora
