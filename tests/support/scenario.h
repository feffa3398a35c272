// What the whole-run scenarios share: the program beside its log in an application's
// folder, the shared-count key, and the message of a log that cannot be read.
#pragma once

#include <string>

namespace dismora {

inline const std::u16string kExe = u"C:\\App\\Dismora.exe";
inline const std::u16string kLog = u"C:\\App\\Kelvane.log";
inline const std::u16string kShared = u"HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs";
inline const std::u16string kReadError = u"Error reading deployment log";

}  // namespace dismora
