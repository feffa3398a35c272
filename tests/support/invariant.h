// The safety rule every run must keep: nothing on the machine changes unless the
// deployment log names it. A picture of the machine is taken before the run; afterwards
// every difference is held against what the log's sections name, read with the
// program's own log reader and line splitter.
//
//   sim::SafetyCheck safety(machine, log_path);   // the log is in place, the run not started
//   machine.RunProgram(...);
//   EXPECT_EQ(safety.Report(machine), "");
//
// What the log names, and so may change:
// - files of the file section and the log itself (deleted, or scheduled for deletion at
//   restart in their long or short form), and the folders above them that the deletions
//   emptied, except the protected folders and drive roots;
// - the SharedDLLs counts of the file section's entries (lowered or deleted), and the
//   per-user SharedDLLs key, which a per-user run creates;
// - values named by the registry section, and for a whole-key entry the key and what is
//   below it, unless the key is one that no single installation owns (then the entry
//   names nothing); a key right under a root is emptied but stays;
// - for each association block, the file type's description, its DefaultIcon key and the
//   command keys of the verbs the block lists;
// - the registration of each type library that the component section names and the file
//   section lists;
// - the program's own image and its copies: added to the temporary folder and scheduled
//   for deletion at restart;
// - its holding folders (named "~Dismora-aside-N", at a drive's root or in the temporary
//   folder) and a named file moved into one under the file's own name after "N-": added,
//   cleared by a later run, scheduled for deletion at restart.
// Anything else that is added, removed or changed is reported.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "support/sim.h"

namespace dismora::sim {

// The log's sections as the program reads them, with its own reader: the lines of the
// file and registry sections it acts on, and every line after the registry section.
struct LogSections {
    bool header_ok = false;  // start-up accepts the header
    bool all_users = true;
    bool auto_is_machine = true;  // HKEY_AUTO stands for HKEY_LOCAL_MACHINE
    std::vector<std::u16string> files{};
    std::vector<std::u16string> registry{};
    std::vector<std::u16string> rest{};
};

LogSections ReadLogSections(std::string_view log_bytes);

// The machine before the run, with what a Snapshot lacks and the check needs.
struct BeforePicture {
    Snapshot snapshot{};
    std::u16string windows_folder{};
    std::u16string system_folder{};
    std::map<std::u16string, std::u16string> long_by_short{};  // folded short path -> folded long path
    std::set<std::u16string> program_images{};                 // folded paths, long and short
    std::set<std::u16string> listed_real{};  // folded real paths of what the file section and log_path reach
    // Type libraries in files, by folded file path: the registration keys they own.
    std::map<std::u16string, std::vector<std::u16string>> type_library_keys{};
};

// Short forms are kept for the files the log's file section and log_path name.
BeforePicture TakeBeforePicture(const Machine& machine, const LogSections& log, std::u16string_view log_path);

// Facts about the run that decide how the log's lines resolve.
struct RunContext {
    std::vector<std::u16string> current_folders{};  // where relative paths of the log resolve
    std::vector<std::u16string> user_sids{};        // whose HKEY_CURRENT_USER the run used
    std::set<std::u16string> added_program_images{};  // folded paths (long and short) of copies made
    std::u16string temp_folder{};  // folded, without its backslash
};

// What the run of the program saw: the context from the machine after the run.
RunContext ContextOf(const Machine& after);

// Every change between the pictures that the log (its bytes as written) does not name.
std::vector<Change> UnnamedChanges(const BeforePicture& before, const Snapshot& after, std::string_view log_bytes,
                                   std::u16string_view log_path, const RunContext& context);
std::vector<Change> UnnamedChanges(const BeforePicture& before, const Snapshot& after, const LogSections& log,
                                   std::u16string_view log_path, const RunContext& context);

class SafetyCheck {
public:
    // Takes the picture; the log must already be at log_path.
    SafetyCheck(const Machine& machine, std::u16string log_path);
    // Same, with the log's bytes given (the file may be missing or different).
    SafetyCheck(const Machine& machine, std::u16string log_path, std::string log_bytes);

    std::vector<Change> Unnamed(const Machine& after) const;
    // One line per unnamed change; empty when the run kept to the log.
    std::string Report(const Machine& after) const;
    // The log as the check read it.
    const LogSections& Log() const { return log_; }

private:
    std::u16string log_path_;
    LogSections log_;
    BeforePicture before_;
};

}  // namespace dismora::sim
