// A realistic installation of "Kelvane" on a simulated machine, the deployment log that
// undoes it, and one whole run of the program over any log bytes with every safety
// check applied. Shared by the safety scenarios, the fault sweep, the bad-input tables
// and the fuzz target.
//
// The installation puts files in Program Files, Common Files, the System folder, the
// user's profile, the all-users Start Menu and Desktop; keys and values under
// HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, every user hive and the classes root; shared
// counts; a file association; COM servers and a registered type library. Beside each
// target and at each parent level stands a canary the log never names.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "support/invariant.h"
#include "support/log_builder.h"
#include "support/sim.h"

namespace dismora::sim {

namespace kelvane {

inline const std::u16string kFolder = u"C:\\Program Files\\Kelvane";
inline const std::u16string kExe = u"C:\\Program Files\\Kelvane\\Dismora.exe";
inline const std::u16string kLog = u"C:\\Program Files\\Kelvane\\Kelvane.log";
inline const std::u16string kTemp = u"C:\\Users\\Tester\\AppData\\Local\\Temp";
inline const std::u16string kPreUninstall = u"C:\\Program Files\\Common Files\\Kelvane Setup\\preuninstall.exe";
inline const std::u16string kSharedDlls = u"HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs";
inline const std::u16string kOtherUser = u"S-1-5-21-1004336348-1177238915-682003330-1002";

// Files the log lists and expects to go (the own file and the log aside).
std::vector<std::u16string> RemovedFiles();
// Files the log lists that another installation still uses (their counts stay above zero).
std::vector<std::u16string> KeptFiles();
// Files, keys and values the log never names.
std::vector<std::u16string> CanaryFiles();
std::vector<std::u16string> CanaryKeys();
struct NamedValue {
    std::u16string key;
    std::u16string name;
};
std::vector<NamedValue> CanaryValues();

}  // namespace kelvane

// The same full path spelled another way Windows takes for it (way 0 to kRespellings - 1):
// a doubled "\\" before the name, the "\\?\\" prefix, a trailing dot on the folder's name,
// a "." or ".." segment, "/" separators, 8.3 short names.
inline constexpr unsigned kRespellings = 7;
std::u16string Respell(const Machine& machine, const std::u16string& path, unsigned way);

// Puts the installation on the machine (a standard one), the program's own file included.
void InstallKelvane(Machine& machine);

// The log that undoes the installation, every section populated. Versions 3 and 4 carry
// the scope line "ALL"; 1 and 2 are all-users logs by definition.
test::LogBuilder KelvaneLog(int version = 4);

// One whole run: a fresh machine with the installation and the given log bytes, started
// the ordinary way (the confirmation answered Yes, the temporary copy doing the work).
class KelvaneRun {
public:
    explicit KelvaneRun(std::string log_bytes);
    KelvaneRun(const KelvaneRun&) = delete;
    KelvaneRun& operator=(const KelvaneRun&) = delete;

    // Takes the picture for the safety check (unless one is shared), then runs the program
    // and its copies.
    RunResult Start(const std::u16string& arguments = u"");
    // Everything wrong with the run: changes the log does not name, misuse of Windows,
    // handles left open (unless leaks are not counted), more calls than the budget (a
    // hang), an endless chain of starts. Empty when the run kept every rule.
    std::string Problems(bool count_leaks = true) const;

    Machine machine;
    std::uint64_t call_budget = 0;  // set from the log's size; may be changed before Start
    // Runs over the same installation and log start from the same picture: one may be
    // taken once and shared (the fault sweep does, for speed).
    std::shared_ptr<const SafetyCheck> safety{};

private:
    std::string log_bytes_;
    RunResult result_;
    bool answered_yes_ = false;
};

}  // namespace dismora::sim
