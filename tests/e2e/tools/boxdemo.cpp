// boxdemo: a stand-in GUI program that the suite uses to check e2erun itself.
// It performs its arguments as a list of actions, in order:
//
//   box STYLE CAPTION TEXT   MessageBoxW without owner; STYLE in hex; CAPTION and
//                            TEXT take the escapes \r \n \\ and \uXXXX
//   spawn COMMANDLINE        start a program and go on without waiting for it
//   sleep MS                 wait
//   delete-at-restart PATH   MoveFileExW with MOVEFILE_DELAY_UNTIL_REBOOT
//   exit-result              end with the result of the last box as exit code
//   exit CODE                end with CODE
//
// Without an exit action it ends with exit code 0.

#include <windows.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::wstring Unescape(const wchar_t *s) {
    std::wstring out;
    for (; *s; ++s) {
        if (*s != L'\\' || !s[1]) {
            out += *s;
            continue;
        }
        ++s;
        switch (*s) {
        case L'r': out += L'\r'; break;
        case L'n': out += L'\n'; break;
        case L'\\': out += L'\\'; break;
        case L'u': {
            std::wstring hex(s + 1, wcsnlen(s + 1, 4));
            out += static_cast<wchar_t>(wcstoul(hex.c_str(), nullptr, 16));
            s += hex.size();
            break;
        }
        default: out += L'\\'; out += *s;
        }
    }
    return out;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
    int argc = __argc;
    wchar_t **argv = __wargv;
    int last_result = 0;
    for (int i = 1; i < argc; ++i) {
        std::wstring action = argv[i];
        if (action == L"box" && i + 3 < argc) {
            UINT style = static_cast<UINT>(wcstoul(argv[i + 1], nullptr, 16));
            std::wstring caption = Unescape(argv[i + 2]);
            std::wstring text = Unescape(argv[i + 3]);
            last_result = MessageBoxW(nullptr, text.c_str(), caption.c_str(), style);
            i += 3;
        } else if (action == L"spawn" && i + 1 < argc) {
            std::wstring line = argv[++i];
            std::vector<wchar_t> cmd(line.begin(), line.end());
            cmd.push_back(0);
            STARTUPINFOW si = {};
            si.cb = sizeof si;
            PROCESS_INFORMATION pi = {};
            if (CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
                CloseHandle(pi.hThread);
                CloseHandle(pi.hProcess);
            } else {
                ExitProcess(90);
            }
        } else if (action == L"sleep" && i + 1 < argc) {
            Sleep(static_cast<DWORD>(wcstoul(argv[++i], nullptr, 10)));
        } else if (action == L"delete-at-restart" && i + 1 < argc) {
            if (!MoveFileExW(argv[++i], nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) ExitProcess(92);
        } else if (action == L"exit-result") {
            ExitProcess(static_cast<UINT>(last_result));
        } else if (action == L"exit" && i + 1 < argc) {
            ExitProcess(static_cast<UINT>(wcstoul(argv[++i], nullptr, 10)));
        } else {
            ExitProcess(91);
        }
    }
    return 0;
}
