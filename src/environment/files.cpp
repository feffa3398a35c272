#include "environment/files.h"

namespace dismora {

namespace {

constexpr win::DWORD kTempPathChars = 256;

// The owners that no standard user can be, as their SIDs' bytes: Administrators
// (S-1-5-32-544), SYSTEM (S-1-5-18) and TrustedInstaller (S-1-5-80-956008885-...).
constexpr unsigned char kTrustedOwners[] = {
    1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 2, 0, 0, 1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0, 1, 6, 0, 0, 0, 0,
    0, 5, 80, 0, 0, 0, 0xb5, 0x89, 0xfb, 0x38, 0x19, 0x84, 0xc2, 0xcb, 0x5c, 0x6c, 0x23, 0x6d, 0x57, 0, 0x77, 0x6e, 0xc0, 2,
    0x64, 0x87};

std::size_t SidLength(const unsigned char* sid) {
    return 8 + 4 * std::size_t{sid[1]};
}

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
            // "\\?\C:\..." for a drive, "\\?\UNC\server\share\..." for a share, whose path keeps
            // the two separators before the server's name.
            if (TextView(path).substr(0, 4) == u"\\\\?\\") {
                std::size_t prefix = 4;
                if (TextView(path).substr(4, 4) == u"UNC\\") {
                    path[6] = u'\\';
                    prefix = 6;
                }
                return path.substr(prefix);
            }
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

bool OwnedByTheSystem(const Text& path) {
    const UniqueFileHandle handle(win::CreateFileW(path.c_str(), win::READ_CONTROL, kShareAll, nullptr,
                                                   win::OPEN_EXISTING,
                                                   win::FILE_FLAG_BACKUP_SEMANTICS | win::FILE_FLAG_OPEN_REPARSE_POINT,
                                                   nullptr));
    // Room for any trusted owner; a longer one cannot be trusted anyway.
    win::DWORD descriptor[16] = {};
    win::DWORD needed = 0;
    if (!win::GetKernelObjectSecurity(handle.Get(), win::OWNER_SECURITY_INFORMATION, descriptor, sizeof(descriptor),
                                      &needed)) {
        return false;
    }
    // The self-relative form: the owner's SID starts where its second word says.
    const auto* bytes = reinterpret_cast<const unsigned char*>(descriptor);
    const std::size_t at = descriptor[1];
    if (at < 8 || at > sizeof(descriptor) - 8) return false;
    const std::size_t length = SidLength(bytes + at);
    if (at + length > sizeof(descriptor)) return false;
    for (std::size_t trusted = 0; trusted < sizeof(kTrustedOwners); trusted += SidLength(kTrustedOwners + trusted)) {
        if (SidLength(kTrustedOwners + trusted) != length) continue;
        std::size_t same = 0;
        while (same < length && bytes[at + same] == kTrustedOwners[trusted + same]) ++same;
        if (same == length) return true;
    }
    return false;
}

bool PlantedLinkOnPath(const Text& folder, std::size_t checked) {
    // Below the root: "C:\", or "\\server\share\" and "\\?\C:\", which are the machine's.
    std::size_t roots = folder.size() > 1 && folder[0] == u'\\' && folder[1] == u'\\' ? 4 : 1;
    for (std::size_t at = 0; at < folder.size(); ++at) {
        if (folder[at] != u'\\') continue;
        if (roots > 0) {
            --roots;
            continue;
        }
        if (at < checked) continue;
        const Text part = folder.substr(0, at);
        const win::DWORD attributes = win::GetFileAttributesW(part.c_str());
        // Nothing below a missing folder can be deleted through it.
        if (attributes == win::INVALID_FILE_ATTRIBUTES) return false;
        if ((attributes & win::FILE_ATTRIBUTE_REPARSE_POINT) != 0 && !OwnedByTheSystem(part)) return true;
    }
    return false;
}

}  // namespace dismora
