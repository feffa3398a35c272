#include "environment/files.h"

namespace dismora {

namespace {

constexpr win::DWORD kTempPathChars = 256;

}  // namespace

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

TFileIdentity IdentityOf(win::HANDLE file) {
    TFileIdentity identity;
    win::BY_HANDLE_FILE_INFORMATION info = {};
    if (win::GetFileInformationByHandle(file, &info)) {
        identity = {info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow,
                    (info.nFileIndexHigh | info.nFileIndexLow) != 0};
    }
    return identity;
}

Text FinalPathOf(win::HANDLE file, const Text& given) {
    Text path;
    win::DWORD size = 0;
    // The first call asks for the size; a path that grew meanwhile gets one more try.
    for (int attempt = 0; attempt < 3; ++attempt) {
        const win::DWORD length = win::GetFinalPathNameByHandleW(file, path.data(), size, win::VOLUME_NAME_DOS);
        if (length == 0) break;
        if (length < size) {
            path.resize(length);
            // "\\?\C:\..." for a drive, "\\?\UNC\server\share\..." for a share.
            if (TextView(path).substr(0, 8) == u"\\\\?\\UNC\\") return Concat({u"\\", TextView(path).substr(7)});
            if (TextView(path).substr(0, 4) == u"\\\\?\\") return path.substr(4);
            return path;
        }
        size = length + 1;
        path.resize(size);
    }
    return CanonicalPath(given, path) ? path : given;
}

Text TemporaryFolder() {
    char16_t buffer[kTempPathChars] = {};
    win::DWORD length = win::GetTempPathW(kTempPathChars, buffer);
    if (length == 0 || length >= kTempPathChars) return Text();
    return AppendTrailingBackslash(TextFromBuffer(buffer, kTempPathChars));
}

}  // namespace dismora
