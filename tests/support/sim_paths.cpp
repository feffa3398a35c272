// Path normalisation as RtlGetFullPathName_U does it, and GetFullPathNameW.
#include "support/sim_state.h"

namespace dismora::sim::detail {

namespace {

char16_t At(const std::u16string& s, std::size_t i) { return i < s.size() ? s[i] : u'\0'; }

// Removes "." and ".." components, doubled separators, the dot that ends a folder name
// and the dots and blanks that end the path, never touching the first mark characters.
void Collapse(std::u16string& path, std::size_t mark) {
    for (char16_t& c : path) {
        if (c == u'/') c = u'\\';
    }
    std::size_t next = mark > 1 ? mark : 1;
    if (next < path.size()) {
        std::u16string out = path.substr(0, next);
        for (std::size_t p = next; p < path.size(); ++p) {
            if (path[p] != u'\\' || out.back() != u'\\') out += path[p];
        }
        path = out;
    }
    std::size_t p = mark;
    while (p < path.size()) {
        if (path[p] == u'.') {
            const char16_t c1 = At(path, p + 1);
            if (c1 == u'\\') {  // .\ component
                path.erase(p, 2);
                continue;
            }
            if (c1 == u'\0') {  // final .
                if (p > mark) --p;
                path.erase(p);
                continue;
            }
            if (c1 == u'.') {
                const char16_t c2 = At(path, p + 2);
                if (c2 == u'\\') {  // ..\ component
                    const std::size_t after = p + 3;
                    if (p > mark) {
                        --p;
                        while (p > mark && path[p - 1] != u'\\') --p;
                    }
                    path.erase(p, after - p);
                    continue;
                }
                if (c2 == u'\0') {  // final ..
                    if (p > mark) {
                        --p;
                        while (p > mark && path[p - 1] != u'\\') --p;
                        if (p > mark) --p;
                    }
                    path.erase(p);
                    continue;
                }
            }
        }
        while (p < path.size() && path[p] != u'\\') ++p;
        if (p < path.size()) {
            // A folder name loses its last dot ("a.\b" is "a\b").
            if (p > mark && path[p - 1] == u'.') {
                path.erase(p - 1, 1);
            } else {
                ++p;
            }
        }
    }
    // Windows drops the blanks and dots that end a path.
    while (p > mark && (path[p - 1] == u' ' || path[p - 1] == u'.')) --p;
    path.erase(p);
}

std::size_t SkipUncPrefix(const std::u16string& s) {
    std::size_t p = 2;
    while (p < s.size() && !IsSeparator(s[p])) ++p;
    while (p < s.size() && IsSeparator(s[p])) ++p;
    while (p < s.size() && !IsSeparator(s[p])) ++p;
    while (p < s.size() && IsSeparator(s[p])) ++p;
    return p;
}

}  // namespace

bool IsSeparator(char16_t c) { return c == u'\\' || c == u'/'; }

std::u16string FullPath(std::u16string_view name_view, std::u16string_view current_folder) {
    // A name of blanks only is no path.
    if (name_view.find_first_not_of(u' ') == std::u16string_view::npos) return {};
    const std::u16string name(name_view);
    const std::u16string cd(current_folder);
    std::u16string buffer;
    std::size_t mark = 0;
    if (IsSeparator(At(name, 0)) && IsSeparator(At(name, 1))) {
        const char16_t c2 = At(name, 2);
        if ((c2 == u'.' || c2 == u'?') && IsSeparator(At(name, 3))) {  // \\.\device, \\?\path
            buffer = name;
            mark = 4;
        } else if ((c2 == u'.' || c2 == u'?') && At(name, 3) == u'\0') {  // \\.
            buffer = u"\\\\.\\";
            mark = 4;
        } else {  // \\server\share
            buffer = name;
            mark = SkipUncPrefix(name);
        }
    } else if (At(name, 0) != u'\0' && At(name, 1) == u':') {
        if (IsSeparator(At(name, 2))) {  // C:\path
            buffer = name;
            mark = 3;
        } else if (Upper(name[0]) == Upper(At(cd, 0)) && At(cd, 1) == u':') {  // C:path on the current drive
            buffer = cd + name.substr(2);
            mark = 3;
        } else {  // another drive: its root, as no per-drive current folder is kept
            buffer = std::u16string{name[0], u':', u'\\'} + name.substr(2);
            mark = 3;
        }
    } else if (IsSeparator(At(name, 0))) {  // \path on the current drive
        buffer = cd.substr(0, 2) + name;
        mark = 3;
    } else {
        buffer = cd + name;
        mark = 3;
    }
    if (mark > buffer.size()) mark = buffer.size();
    Collapse(buffer, mark);
    return buffer;
}

}  // namespace dismora::sim::detail

namespace win {

namespace sd = dismora::sim::detail;

DWORD GetFullPathNameW(const WCHAR* lpFileName, DWORD nBufferLength, WCHAR* lpBuffer, WCHAR** lpFilePart) {
    auto& s = sd::Current();
    if (auto fault = sd::Enter(s, "GetFullPathNameW", sd::FromC(lpFileName))) {
        s.SetError(*fault);
        return 0;
    }
    if (!lpFileName) {
        s.SetError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (!*lpFileName) {
        s.SetError(sd::kErrorInvalidName);
        return 0;
    }
    const std::u16string full = sd::FullPath(lpFileName, s.Current().record.current_folder);
    if (lpFilePart) *lpFilePart = nullptr;
    if (full.empty()) {
        s.SetError(sd::kErrorInvalidName);
        return 0;
    }
    if (full.size() + 1 > nBufferLength || !lpBuffer) return static_cast<DWORD>(full.size() + 1);
    full.copy(lpBuffer, full.size());
    lpBuffer[full.size()] = 0;
    const std::size_t slash = full.rfind(u'\\');
    if (lpFilePart && slash != std::u16string::npos && slash >= 2 && slash + 1 < full.size()) {
        *lpFilePart = lpBuffer + slash + 1;
    }
    return static_cast<DWORD>(full.size());
}

}  // namespace win
