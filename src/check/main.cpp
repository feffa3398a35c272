// The entries of dismora-check: wmain on Windows, main elsewhere. Both only turn the
// command line into UTF-16 and the output into what the terminal or the pipe expects.

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "check/check.h"
#include "platform/utf8.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

using dismora::Text;

#ifdef _WIN32

void Write(DWORD which, const Text& text) {
    if (text.empty()) return;
    HANDLE handle = GetStdHandle(which);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
    DWORD mode = 0;
    const auto* wide = reinterpret_cast<const wchar_t*>(text.data());
    const int length = static_cast<int>(text.size());
    if (GetConsoleMode(handle, &mode)) {
        // A console shows UTF-16 as it is, whatever its code page.
        DWORD written = 0;
        WriteConsoleW(handle, wide, static_cast<DWORD>(length), &written, nullptr);
        return;
    }
    // A pipe or a file gets UTF-8.
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, wide, length, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return;
    std::string utf8(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide, length, utf8.data(), bytes, nullptr, nullptr);
    DWORD written = 0;
    WriteFile(handle, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
}

#else

// Command-line arguments are taken as UTF-8; a byte that does not fit becomes U+FFFD.
Text FromUtf8(const std::string& bytes) {
    static constexpr std::uint32_t kSmallest[4] = {0, 0x80, 0x800, 0x10000};
    Text out;
    std::size_t i = 0;
    while (i < bytes.size()) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        std::size_t trail = 4;  // not a lead byte
        if (lead < 0x80) trail = 0;
        if (lead >= 0xC2 && lead <= 0xDF) trail = 1;
        if (lead >= 0xE0 && lead <= 0xEF) trail = 2;
        if (lead >= 0xF0 && lead <= 0xF4) trail = 3;
        std::uint32_t c = 0xFFFD;
        std::size_t used = 1;
        if (trail == 0) {
            c = lead;
        } else if (trail < 4 && i + trail < bytes.size()) {
            std::uint32_t value = lead & (0x3Fu >> trail);
            bool valid = true;
            for (std::size_t k = 1; k <= trail && valid; ++k) {
                const auto next = static_cast<unsigned char>(bytes[i + k]);
                valid = (next & 0xC0) == 0x80;
                value = (value << 6) | (next & 0x3Fu);
            }
            if (valid && value >= kSmallest[trail] && value <= 0x10FFFF && (value < 0xD800 || value > 0xDFFF)) {
                c = value;
                used = trail + 1;
            }
        }
        i += used;
        if (c >= 0x10000) {
            out.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(c));
        }
    }
    return out;
}

void Write(std::FILE* stream, const Text& text) {
    const std::string utf8 = dismora::ToUtf8(text);
    std::fwrite(utf8.data(), 1, utf8.size(), stream);
    std::fflush(stream);
}

#endif

}  // namespace

#ifdef _WIN32

int wmain(int argc, wchar_t** argv) {
    std::vector<Text> arguments;
    for (int i = 1; i < argc; ++i) arguments.emplace_back(reinterpret_cast<const char16_t*>(argv[i]));
    const dismora::check::CommandResult result = dismora::check::RunCommand(arguments);
    Write(STD_OUTPUT_HANDLE, result.out);
    Write(STD_ERROR_HANDLE, result.err);
    return result.exit_status;
}

#else

int main(int argc, char** argv) {
    std::vector<Text> arguments;
    for (int i = 1; i < argc; ++i) arguments.push_back(FromUtf8(argv[i]));
    const dismora::check::CommandResult result = dismora::check::RunCommand(arguments);
    Write(stdout, result.out);
    Write(stderr, result.err);
    return result.exit_status;
}

#endif
