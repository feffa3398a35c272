// What the uninstaller will do with a deployment log, read through the program's own
// reader and entry parsing, and what in the log looks wrong. Reads the log and nothing else.
#pragma once

#include <cstdint>
#include <vector>

#include "actions/components.h"
#include "actions/registry_removal.h"
#include "environment/text.h"
#include "log/header.h"

namespace dismora::check {

enum class Severity { kError, kWarning };

enum class FindingKind {
    kCannotOpen,      // error: the uninstaller cannot open the log
    kHeaderRejected,  // error: the uninstaller stops after reading the header
    kByteOrderMark,
    kScopeLine,          // neither "ALL" nor "CURRENT"
    kMissingTerminator,  // the log ends inside a section or an association block
    kLastLineIgnored,    // an entry that is the last line of the log
    kUnknownRoot,
    kHoldsNul,
    kUnsafeWholeKey,
    kRelativePath,
    kDuplicate,
    kCountNotNumber,
    kComponentNotListed,
    kPercentInBlock,  // a "%" line where a passed-over block would end early
    kEmptyVerb,
};

struct Finding {
    Severity severity = Severity::kWarning;
    FindingKind kind = FindingKind::kCannotOpen;
    std::uint64_t line = 0;
    Text message;
};

// A line of the log and where it stands (0 when the log had ended before it).
struct NumberedText {
    std::uint64_t line = 0;
    Text text;
};

struct HeaderPlan {
    HeaderStatus status = HeaderStatus::kOk;
    std::int32_t format_version = 0;
    bool utf8 = false;
    bool all_users = true;
    RegistryRoot auto_root = RegistryRoot::kLocalMachine;  // kLocalMachine or kCurrentUser
    Text product_name;
    Text confirmation_text;
    Text completion_text;
    Text restart_text;
    Text admin_text;
};

struct IgnoredBlockPlan {
    std::uint64_t count_line = 0;  // 0: the log had ended
    std::int32_t count = 0;
    int lines_per_record = 0;
};

enum class FileAction { kRemoveOrLowerCount, kPassedOverNul };

struct FilePlan {
    std::uint64_t line = 0;
    Text path;
    FileAction action = FileAction::kRemoveOrLowerCount;
};

enum class RegistryAction {
    kDeleteValue,
    kDeleteDefaultValue,
    kDeleteKey,  // "*": the key, everything below it and its values
    kEmptyKey,   // "*" on a key right under its root: subkeys go, the key and its values stay
    kPassedOverUnknownRoot,
    kPassedOverUnsafe,
    kPassedOverNul,
};

struct RegistryPlan {
    std::uint64_t line = 0;
    Text line_text;
    TRegistryEntry entry;
    RegistryRoot root = RegistryRoot::kUnknown;
    RegistryAction action = RegistryAction::kDeleteValue;
};

struct VerbPlan {
    std::uint64_t line = 0;
    Text name;
    NumberedText previous_command;
    NumberedText installed_command;
    bool passed_over_nul = false;
    bool passed_over_empty = false;  // empty or backslashes only: it would stand for "shell" itself
};

struct AssociationPlan {
    std::uint64_t line = 0;
    Text extension;
    bool passed_over_nul = false;  // the whole block is passed over up to its "%"
    NumberedText previous_description;
    NumberedText installed_description;
    NumberedText previous_icon;
    NumberedText installed_icon;
    std::vector<VerbPlan> verbs;
    std::uint64_t end_line = 0;  // its "%" line; 0 when the log ends inside the block
};

enum class ComponentAction { kRegsvr32, kTypeLibrary, kNotAComponent, kNotListed, kPassedOverNul };

struct ComponentPlan {
    std::uint64_t line = 0;
    Text path;
    ComponentAction action = ComponentAction::kNotListed;
    std::size_t file = 0;  // index into Plan::files of the entry it stands for, when listed
};

enum class Section { kFiles, kRegistry, kAssociations, kComponents };
inline constexpr int kSectionCount = 4;

struct SectionPlan {
    bool reached = false;               // the log had not ended when the section began
    std::uint64_t terminator_line = 0;  // its "%%%" line; 0 when missing
};

struct Plan {
    Text log_path;
    bool opened = false;
    HeaderPlan header;
    bool header_read = false;            // the header was accepted, and the body read
    NumberedText pre_uninstall_command;  // trimmed, as it will be started
    IgnoredBlockPlan ignored_blocks[2];
    std::vector<FilePlan> files;
    std::vector<RegistryPlan> registry;
    std::vector<AssociationPlan> associations;
    std::vector<ComponentPlan> components;
    SectionPlan sections[kSectionCount];
    std::vector<Finding> findings;  // in line order

    [[nodiscard]] std::size_t Count(Severity severity) const;
    // 0 when nothing was found, 1 with warnings only, 2 with an error.
    [[nodiscard]] int ExitStatus() const;
};

// Reads the log as the uninstaller would, from its header to the component section's end.
Plan BuildPlan(const Text& log_path);

// The full registry path a root stands for, in words ("HKEY_LOCAL_MACHINE", ...).
Text RootInWords(RegistryRoot root, const HeaderPlan& header);
Text ClassesRootInWords(const HeaderPlan& header);
Text SharedCountsKeyInWords(const HeaderPlan& header);

// The command line regsvr32 gets for a server.
Text Regsvr32CommandLine(TextView path);

}  // namespace dismora::check
