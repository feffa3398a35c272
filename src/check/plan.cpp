#include "check/plan.h"

#include <algorithm>
#include <memory>
#include <unordered_map>
#include <utility>

#include "actions/removal_list.h"
#include "log/header.h"
#include "log/log_reader.h"
#include "platform/unique_handle.h"
#include "platform/win_api.h"

namespace dismora::check {

namespace {

constexpr TextView kSectionEnd = u"%%%";
constexpr TextView kVerbListEnd = u"%";
constexpr std::size_t kNone = static_cast<std::size_t>(-1);

const char16_t* const kSectionNames[kSectionCount] = {u"file", u"registry", u"association", u"component"};

bool HoldsNul(TextView text) {
    return text.find(u'\0') != TextView::npos;
}

bool Acts(RegistryAction action) {
    return action != RegistryAction::kPassedOverUnknownRoot && action != RegistryAction::kPassedOverUnsafe &&
           action != RegistryAction::kPassedOverNul;
}

Text Quoted(TextView text) {
    return u"\"" + Text(text) + u"\"";
}

Text Number(std::uint64_t value) {
    return DecimalText(static_cast<std::uint32_t>(value));
}

Text SignedNumber(std::int32_t value) {
    if (value >= 0) return DecimalText(static_cast<std::uint32_t>(value));
    return u"-" + DecimalText(0u - static_cast<std::uint32_t>(value));
}

// Finds, for a text, the first of a list of texts that the uninstaller takes for the same
// one: the comparison and the index it uses to find a component in its removal list.
class FirstEqualIndex {
public:
    explicit FirstEqualIndex(const std::vector<Text>& texts) {
        for (const Text& text : texts) list_.Append(text);
        std::size_t position = 0;
        for (const TDismoraFile* node = list_.Head(); node != nullptr; node = node->Next) {
            positions_.emplace(node, position++);
        }
        index_ = std::make_unique<RemovalIndex>(list_);
    }

    [[nodiscard]] std::size_t Find(TextView text) const {
        const TDismoraFile* node = index_->Find(text);
        return node == nullptr ? kNone : positions_.at(node);
    }

private:
    RemovalList list_;
    std::unordered_map<const TDismoraFile*, std::size_t> positions_;
    std::unique_ptr<RemovalIndex> index_;
};

enum class PathForm { kFull, kEmpty, kDriveRelative, kRootRelative, kRelative };

PathForm FormOf(TextView path) {
    auto separator = [](char16_t c) { return c == u'\\' || c == u'/'; };
    if (path.empty()) return PathForm::kEmpty;
    if (path.size() >= 2 && separator(path[0]) && separator(path[1])) return PathForm::kFull;  // a share, or \\?\ .
    if (path.size() >= 2 && path[1] == u':') {
        return path.size() >= 3 && separator(path[2]) ? PathForm::kFull : PathForm::kDriveRelative;
    }
    return separator(path[0]) ? PathForm::kRootRelative : PathForm::kRelative;
}

// Reads the body of the log with the calls the uninstall run makes, in its order, and
// notes what each line will do.
class Planner {
public:
    Planner(Plan& plan, LogReader& log) : plan_(plan), log_(log) {}

    void Note(Severity severity, FindingKind kind, std::uint64_t line, Text message) {
        plan_.findings.push_back(Finding{severity, kind, line, std::move(message)});
    }
    void Warn(FindingKind kind, std::uint64_t line, Text message) {
        Note(Severity::kWarning, kind, line, std::move(message));
    }

    void CheckByteOrderMark() {
        UniqueFileHandle file(win::CreateFileW(plan_.log_path.c_str(), win::GENERIC_READ, win::FILE_SHARE_READ, nullptr,
                                               win::OPEN_EXISTING, win::FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file.IsValid()) return;
        unsigned char bytes[3] = {};
        win::DWORD got = 0;
        if (!win::ReadFile(file.Get(), bytes, sizeof(bytes), &got, nullptr)) return;
        const char16_t* what = nullptr;
        if (got == 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) what = u"a UTF-8";
        if (got >= 2 && ((bytes[0] == 0xFF && bytes[1] == 0xFE) || (bytes[0] == 0xFE && bytes[1] == 0xFF))) {
            what = u"a UTF-16";
        }
        if (what == nullptr) return;
        Warn(FindingKind::kByteOrderMark, 1,
             Text(u"the log begins with ") + what +
                 u" byte-order mark: the uninstaller takes it as text of the first line, which then is no "
                 u"format version, and rejects the log; write the log without one");
    }

    void ReadHeader() {
        HeaderPlan& header = plan_.header;
        const bool empty = log_.AtEnd();
        THeader read;
        header.status = ParseHeader(log_, read);
        header.format_version = read.format_version;
        header.utf8 = log_.Utf8();
        header.all_users = read.all_users;
        header.auto_root =
            read.auto_root == win::HKEY_LOCAL_MACHINE ? RegistryRoot::kLocalMachine : RegistryRoot::kCurrentUser;
        header.product_name = read.product_name();
        header.confirmation_text = read.confirmation_text();
        header.completion_text = read.completion_text();
        header.restart_text = read.restart_text();
        header.admin_text = read.admin_text();

        const Text error_box = u"the uninstaller shows \"Error reading deployment log\" and stops";
        switch (header.status) {
            case HeaderStatus::kNoVersionLine:
                if (empty) {
                    Note(Severity::kError, FindingKind::kHeaderRejected, 1, u"the log is empty: " + error_box);
                } else {
                    Note(Severity::kError, FindingKind::kHeaderRejected,
                         std::min<std::uint64_t>(log_.LineNumber(), 101),
                         u"no format version line among the first 101 lines (the uninstaller passes over lines that "
                         u"are empty or begin with \";\" only that far): " +
                             error_box);
                }
                return;
            case HeaderStatus::kBadVersion:
                Note(Severity::kError, FindingKind::kHeaderRejected, log_.LineNumber(),
                     u"the format version line is not a whole number of 1 or more (reads as " +
                         SignedNumber(header.format_version) + u"): " + error_box);
                return;
            case HeaderStatus::kTooNew:
                // Its install scope line has been read after it.
                Note(Severity::kError, FindingKind::kHeaderRejected, std::max<std::uint64_t>(1, log_.LineNumber() - 1),
                     u"format version " + SignedNumber(header.format_version) +
                         u" is newer than the uninstaller reads (1 to 4): it shows \"Cannot perform uninstall "
                         u"because <its own path> is out of date\" and stops");
                return;
            case HeaderStatus::kOk:
                break;
        }
        plan_.header_read = true;
        // Where the header was cut short, the end of the log as near as it is known.
        last_line_ = log_.LineNumber();
        // Short of the end of the log every header line ended with a line end, so the scope
        // line stands 14 lines before the administrator text.
        if (!log_.AtEnd() && header.format_version >= 3 && header.all_users &&
            header.auto_root == RegistryRoot::kCurrentUser) {
            Warn(FindingKind::kScopeLine, last_line_ > 14 ? last_line_ - 14 : 1,
                 u"the install scope line is neither \"ALL\" nor \"CURRENT\" (compared exactly, letter case "
                 u"included): the uninstaller treats the installation as one for all users (shared counts "
                 u"under HKEY_LOCAL_MACHINE, administrator rights needed) while HKEY_AUTO and the classes root "
                 u"stand for the current user's keys");
        }
    }

    void ReadBody() {
        ReadPreUninstallCommand();
        ReadIgnoredBlock(0, 3, u"first");
        ReadIgnoredBlock(1, 2, u"second");
        Walk(Section::kFiles, kSectionEnd, [this](const Text& line, std::uint64_t number) { FileEntry(line, number); });
        FindDuplicateFiles();
        Walk(Section::kRegistry, kSectionEnd,
             [this](const Text& line, std::uint64_t number) { RegistryEntry(line, number); });
        FindDuplicateRegistryEntries();
        Walk(Section::kAssociations, kSectionEnd,
             [this](const Text& line, std::uint64_t number) { AssociationBlock(line, number); });
        FindDuplicateExtensions();
        FindComponents();
    }

    void SortFindings() {
        std::stable_sort(plan_.findings.begin(), plan_.findings.end(),
                         [](const Finding& a, const Finding& b) { return a.line < b.line; });
    }

private:
    // ReadLine, noting the line when there was one to read.
    NumberedText Read() {
        const bool real = !log_.AtEnd();
        NumberedText result{0, log_.ReadLine()};
        if (real) last_line_ = result.line = log_.LineNumber();
        return result;
    }

    void ReadPreUninstallCommand() {
        NumberedText command = Read();
        plan_.pre_uninstall_command = {command.line, Trim(command.text)};
        if (HoldsNul(plan_.pre_uninstall_command.text)) {
            Warn(FindingKind::kHoldsNul, command.line,
                 u"the pre-uninstall command holds U+0000 (a 0 byte): Windows takes the command line only up to it");
        }
    }

    void ReadIgnoredBlock(int which, int lines_per_record, const char16_t* name) {
        IgnoredBlockPlan& block = plan_.ignored_blocks[which];
        block.lines_per_record = lines_per_record;
        const std::uint64_t before = log_.LineNumber();
        block.count = log_.ReadCount();
        if (log_.LineNumber() != before) last_line_ = block.count_line = log_.LineNumber();
        if (block.count > 0) {
            log_.SkipLines(static_cast<std::int64_t>(lines_per_record) * block.count);
            last_line_ = std::max(last_line_, log_.LineNumber());
        }
        if (block.count < 0) {
            Warn(FindingKind::kCountNotNumber, block.count_line,
                 Text(u"the count of the ") + name +
                     u" ignored block is not a number, or is negative: the uninstaller passes over no records "
                     u"here, and the lines after it are read as what follows the block");
        }
    }

    // The section loop of the uninstaller, noting how the section ended.
    template <typename Act>
    void Walk(Section section, TextView terminator, Act act) {
        SectionPlan& state = plan_.sections[static_cast<int>(section)];
        state.reached = !log_.AtEnd();
        while (true) {
            const bool real = !log_.AtEnd();
            const bool entry = NextEntry(log_, terminator);
            if (real) last_line_ = log_.LineNumber();
            if (!entry) {
                if (real && SameText(log_.current_line, terminator)) {
                    state.terminator_line = log_.LineNumber();
                } else if (state.reached) {
                    LogEnded(real, terminator, static_cast<int>(section) + 1,
                             u"the " + Text(kSectionNames[static_cast<int>(section)]) +
                                 u" section is not closed by \"%%%\"");
                } else {
                    LogEnded(real, terminator, static_cast<int>(section), Text());
                }
                return;
            }
            Text line = log_.current_line;  // the entry may read further lines
            act(line, log_.LineNumber());
        }
    }

    // The log has ended where a loop wanted its next line. what: the loop that is cut short
    // (empty when the log had ended before it began); later: the first section left empty.
    void LogEnded(bool real, TextView terminator, int later, const Text& what) {
        if (real && !log_.current_line.empty()) {
            Warn(FindingKind::kLastLineIgnored, log_.LineNumber(),
                 u"this entry is the last line of the log, with no " + Quoted(terminator) +
                     u" after it: the uninstaller does not act on it");
        }
        if (ended_reported_) return;
        ended_reported_ = true;
        Text empty_sections;
        for (int s = later; s < kSectionCount; ++s) {
            if (!empty_sections.empty()) empty_sections += s + 1 == kSectionCount ? u" and " : u", ";
            empty_sections += kSectionNames[s];
        }
        const Text ends = u"the log ends at line " + Number(last_line_);
        Text message;
        if (what.empty()) {
            message = ends + u", before the " + kSectionNames[later] + u" section";
        } else {
            message = what + u": " + ends;
        }
        if (!empty_sections.empty()) {
            message += (what.empty() ? u": the " : u", so the ") + empty_sections +
                       (later + 1 == kSectionCount ? u" section is empty" : u" sections are empty");
        }
        Warn(FindingKind::kMissingTerminator, std::max<std::uint64_t>(last_line_, 1), message);
    }

    void FileEntry(const Text& path, std::uint64_t line) {
        FilePlan file{line, path, FileAction::kRemoveOrLowerCount};
        if (HoldsNul(path)) {
            file.action = FileAction::kPassedOverNul;
            Warn(FindingKind::kHoldsNul, line,
                 u"this file entry holds U+0000 (a 0 byte): the uninstaller passes it over, so the file stays");
        } else {
            switch (FormOf(path)) {
                case PathForm::kFull:
                    break;
                case PathForm::kEmpty:
                    Warn(FindingKind::kRelativePath, line,
                         u"this file entry is empty: it names no file (it would lower the count stored as the "
                         u"SharedDLLs key's default value)");
                    break;
                case PathForm::kDriveRelative:
                    Warn(FindingKind::kRelativePath, line,
                         Quoted(path) + u" is relative to the current folder of its drive: write the full path");
                    break;
                case PathForm::kRootRelative:
                    Warn(FindingKind::kRelativePath, line,
                         Quoted(path) +
                             u" has no drive: it is taken on the drive of the uninstaller's current "
                             u"folder; write the full path");
                    break;
                case PathForm::kRelative:
                    Warn(FindingKind::kRelativePath, line,
                         Quoted(path) +
                             u" is a relative path: it is taken from the uninstaller's current folder, "
                             u"not from the application's; write the full path");
                    break;
            }
        }
        plan_.files.push_back(std::move(file));
    }

    void FindDuplicateFiles() {
        std::vector<Text> paths;
        for (const FilePlan& file : plan_.files) {
            if (file.action == FileAction::kRemoveOrLowerCount) {
                paths.push_back(file.path);
                listed_files_.push_back(static_cast<std::size_t>(&file - plan_.files.data()));
            }
        }
        files_index_ = std::make_unique<FirstEqualIndex>(paths);
        for (std::size_t i = 0; i < paths.size(); ++i) {
            std::size_t first = files_index_->Find(paths[i]);
            if (first == kNone || first == i) continue;
            Warn(FindingKind::kDuplicate, plan_.files[listed_files_[i]].line,
                 Quoted(paths[i]) + u" is listed again (first at line " +
                     Number(plan_.files[listed_files_[first]].line) +
                     u"): its shared count is lowered once for each line, as if two installations used it");
        }
    }

    void RegistryEntry(const Text& text, std::uint64_t line) {
        RegistryPlan entry;
        entry.line = line;
        entry.line_text = text;
        if (HoldsNul(text)) {
            entry.action = RegistryAction::kPassedOverNul;
            Warn(FindingKind::kHoldsNul, line,
                 u"this registry entry holds U+0000 (a 0 byte): the uninstaller passes it over");
            plan_.registry.push_back(std::move(entry));
            return;
        }
        entry.entry = SplitRegistryEntry(text);
        entry.root = MatchRootName(entry.entry.root_name);
        const bool whole_key = entry.entry.value_field == u"*";
        const Text& key = entry.entry.key_path;
        if (entry.root == RegistryRoot::kUnknown) {
            entry.action = RegistryAction::kPassedOverUnknownRoot;
            Warn(FindingKind::kUnknownRoot, line, UnknownRootMessage(entry.entry.root_name));
        } else if (whole_key && IsRefusedWholeKey(entry.root, key)) {
            entry.action = RegistryAction::kPassedOverUnsafe;
            Warn(FindingKind::kUnsafeWholeKey, line,
                 u"whole-key entry refused: " +
                     (key.find_first_not_of(u'\\') == Text::npos
                          ? u"it names the root " + RootInWords(entry.root, plan_.header) + u" itself"
                          : Quoted(key) + u" holds other programs' or the system's keys") +
                     u"; the uninstaller passes this line over, so nothing of it is deleted");
        } else if (whole_key) {
            const bool stays = key.size() < 2 || key.rfind(u'\\', key.size() - 2) == Text::npos;
            entry.action = stays ? RegistryAction::kEmptyKey : RegistryAction::kDeleteKey;
        } else {
            entry.action =
                entry.entry.value_field.empty() ? RegistryAction::kDeleteDefaultValue : RegistryAction::kDeleteValue;
        }
        plan_.registry.push_back(std::move(entry));
    }

    static Text UnknownRootMessage(const Text& root_name) {
        static const std::pair<const char16_t*, const char16_t*> kAbbreviations[] = {
            {u"HKLM", u"HKEY_LOCAL_MACHINE"},
            {u"HKCU", u"HKEY_CURRENT_USER"},
            {u"HKCR", u"HKEY_CLASSES_ROOT"},
            {u"HKU", u"HKEY_USERS"},
        };
        Text message = u"unknown root " + Quoted(root_name) +
                       u": the uninstaller knows HKEY_AUTO, HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, "
                       u"HKEY_LOCAL_MACHINE and HKEY_USERS, and passes this line over";
        for (const auto& [short_name, long_name] : kAbbreviations) {
            if (EqualsAsciiNoCase(root_name, short_name)) message += u" (write " + Text(long_name) + u")";
        }
        return message;
    }

    void FindDuplicateRegistryEntries() {
        std::vector<Text> keys;
        std::vector<std::size_t> entries;
        for (const RegistryPlan& entry : plan_.registry) {
            if (!Acts(entry.action)) continue;
            RegistryRoot root = entry.root == RegistryRoot::kAuto ? plan_.header.auto_root : entry.root;
            keys.push_back(DecimalText(static_cast<std::uint32_t>(root)) + u"|" + entry.entry.key_path + u"\t" +
                           entry.entry.value_field);
            entries.push_back(static_cast<std::size_t>(&entry - plan_.registry.data()));
        }
        FirstEqualIndex index(keys);
        for (std::size_t i = 0; i < keys.size(); ++i) {
            std::size_t first = index.Find(keys[i]);
            if (first == kNone || first == i) continue;
            Warn(FindingKind::kDuplicate, plan_.registry[entries[i]].line,
                 u"this entry names the same registry " +
                     Text(plan_.registry[entries[i]].entry.value_field == u"*" ? u"key" : u"value") + u" as line " +
                     Number(plan_.registry[entries[first]].line));
        }
    }

    // Reads one of the four fixed lines of a block; a "%" there ends a passed-over block early.
    NumberedText BlockLine(const AssociationPlan& block, const char16_t* what) {
        NumberedText line = Read();
        CheckBlockLine(block, line, what);
        return line;
    }

    void CheckBlockLine(const AssociationPlan& block, const NumberedText& line, const char16_t* what) {
        if (line.line == 0) return;
        if (SameText(line.text, kVerbListEnd)) {
            Warn(FindingKind::kPercentInBlock, line.line,
                 Text(u"the ") + what + u" of the block of " + Quoted(block.extension) + u" (line " +
                     Number(block.line) +
                     u") is \"%\": where the uninstaller passes this block over (its extension or file type "
                     u"is missing), the block ends here and the lines after it are read as further blocks");
        } else if (HoldsNul(line.text)) {
            Warn(FindingKind::kHoldsNul, line.line,
                 Text(u"the ") + what + u" holds U+0000 (a 0 byte): Windows programs read the value only up to it");
        }
    }

    void AssociationBlock(const Text& extension, std::uint64_t line) {
        AssociationPlan block;
        block.line = line;
        block.extension = extension;
        if (HoldsNul(extension)) {
            block.passed_over_nul = true;
            Warn(FindingKind::kHoldsNul, line,
                 u"this extension holds U+0000 (a 0 byte): the uninstaller passes the whole block over, up to "
                 u"its next \"%\" line");
            log_.PassOverBlock();
            last_line_ = std::max(last_line_, log_.LineNumber());
            // Short of the end of the log, it stopped at a "%" line.
            if (!log_.AtEnd()) block.end_line = log_.LineNumber();
            plan_.associations.push_back(std::move(block));
            return;
        }
        block.previous_description = BlockLine(block, u"previous description");
        block.installed_description = BlockLine(block, u"installed description");
        block.previous_icon = BlockLine(block, u"previous icon");
        block.installed_icon = BlockLine(block, u"installed icon");
        while (true) {
            const bool real = !log_.AtEnd();
            const bool verb = NextEntry(log_, kVerbListEnd);
            if (real) last_line_ = log_.LineNumber();
            if (!verb) {
                if (real && SameText(log_.current_line, kVerbListEnd)) {
                    block.end_line = log_.LineNumber();
                } else {
                    LogEnded(
                        real, kVerbListEnd, static_cast<int>(Section::kComponents),
                        u"the block of " + Quoted(extension) + u" (line " + Number(line) + u") is not closed by \"%\"");
                }
                break;
            }
            VerbPlan record;
            record.line = log_.LineNumber();
            record.name = log_.current_line;
            record.previous_command = Read();
            CheckBlockLine(block, record.previous_command, u"previous command");
            record.installed_command = Read();
            CheckBlockLine(block, record.installed_command, u"installed command");
            if (HoldsNul(record.name)) {
                record.passed_over_nul = true;
                Warn(FindingKind::kHoldsNul, record.line,
                     u"this verb name holds U+0000 (a 0 byte): the uninstaller passes the verb over");
            } else if (record.name.find_first_not_of(u'\\') == Text::npos) {
                record.passed_over_empty = true;
                Warn(FindingKind::kEmptyVerb, record.line,
                     u"this verb name is empty (or backslashes only): the uninstaller passes the verb over, as its "
                     u"key would be shell itself");
            }
            block.verbs.push_back(std::move(record));
        }
        plan_.associations.push_back(std::move(block));
    }

    void FindDuplicateExtensions() {
        std::vector<Text> extensions;
        std::vector<std::size_t> blocks;
        for (const AssociationPlan& block : plan_.associations) {
            if (block.passed_over_nul) continue;
            extensions.push_back(block.extension);
            blocks.push_back(static_cast<std::size_t>(&block - plan_.associations.data()));
        }
        FirstEqualIndex index(extensions);
        for (std::size_t i = 0; i < extensions.size(); ++i) {
            std::size_t first = index.Find(extensions[i]);
            if (first == kNone || first == i) continue;
            Warn(FindingKind::kDuplicate, plan_.associations[blocks[i]].line,
                 Quoted(extensions[i]) + u" has a block already (line " +
                     Number(plan_.associations[blocks[first]].line) +
                     u"): this one finds what the first one put back, so it changes nothing that the first "
                     u"one restored");
        }
    }

    void FindComponents() {
        Walk(Section::kComponents, kSectionEnd,
             [this](const Text& line, std::uint64_t number) { Component(line, number); });
        std::vector<Text> paths;
        std::vector<std::size_t> components;
        for (const ComponentPlan& component : plan_.components) {
            if (component.action != ComponentAction::kRegsvr32 && component.action != ComponentAction::kTypeLibrary) {
                continue;
            }
            paths.push_back(component.path);
            components.push_back(static_cast<std::size_t>(&component - plan_.components.data()));
        }
        FirstEqualIndex index(paths);
        for (std::size_t i = 0; i < paths.size(); ++i) {
            std::size_t first = index.Find(paths[i]);
            if (first == kNone || first == i) continue;
            Warn(FindingKind::kDuplicate, plan_.components[components[i]].line,
                 Quoted(paths[i]) + u" is listed again (first at line " +
                     Number(plan_.components[components[first]].line) + u"): it is unregistered twice");
        }
    }

    void Component(const Text& path, std::uint64_t line) {
        ComponentPlan component{line, path, ComponentAction::kNotListed, 0};
        if (HoldsNul(path)) {
            component.action = ComponentAction::kPassedOverNul;
            Warn(FindingKind::kHoldsNul, line,
                 u"this component entry holds U+0000 (a 0 byte): the uninstaller passes it over");
        } else if (std::size_t listed = files_index_->Find(path); listed == kNone) {
            Warn(FindingKind::kComponentNotListed, line,
                 Quoted(path) +
                     u" is not in the file section: the uninstaller unregisters only components "
                     u"whose file it deletes, so this one keeps its registration");
        } else {
            component.file = listed_files_[listed];
            // The file section's spelling decides, as in the uninstaller.
            switch (ClassifyComponent(plan_.files[component.file].path)) {
                case ComponentKind::kServer:
                    component.action = ComponentAction::kRegsvr32;
                    break;
                case ComponentKind::kTypeLibrary:
                    component.action = ComponentAction::kTypeLibrary;
                    break;
                case ComponentKind::kNone:
                    component.action = ComponentAction::kNotAComponent;
                    break;
            }
        }
        plan_.components.push_back(std::move(component));
    }

    Plan& plan_;
    LogReader& log_;
    std::uint64_t last_line_ = 0;  // the last line read that the log really holds
    bool ended_reported_ = false;
    std::vector<std::size_t> listed_files_;  // Plan::files index of each file the uninstaller lists
    std::unique_ptr<FirstEqualIndex> files_index_;
};

}  // namespace

std::size_t Plan::Count(Severity severity) const {
    return static_cast<std::size_t>(std::count_if(findings.begin(), findings.end(),
                                                  [severity](const Finding& f) { return f.severity == severity; }));
}

int Plan::ExitStatus() const {
    if (Count(Severity::kError) > 0) return 2;
    return findings.empty() ? 0 : 1;
}

Plan BuildPlan(const Text& log_path) {
    Plan plan;
    plan.log_path = log_path;
    LogReader log;
    if (!log.Open(log_path)) {
        plan.findings.push_back(Finding{Severity::kError, FindingKind::kCannotOpen, 0,
                                        u"the log cannot be opened: the uninstaller shows \"Cannot open the "
                                        u"deployment log " +
                                            log_path + u" which is needed to perform the uninstallation\" and stops"});
        return plan;
    }
    plan.opened = true;
    Planner planner(plan, log);
    planner.CheckByteOrderMark();
    planner.ReadHeader();
    if (plan.header_read) planner.ReadBody();
    planner.SortFindings();
    log.Close();
    return plan;
}

Text RootInWords(RegistryRoot root, const HeaderPlan& header) {
    switch (root) {
        case RegistryRoot::kAuto:
            return header.auto_root == RegistryRoot::kLocalMachine ? u"HKEY_LOCAL_MACHINE" : u"HKEY_CURRENT_USER";
        case RegistryRoot::kClassesRoot:
            return ClassesRootInWords(header);
        case RegistryRoot::kCurrentUser:
            return u"HKEY_CURRENT_USER";
        case RegistryRoot::kLocalMachine:
            return u"HKEY_LOCAL_MACHINE";
        case RegistryRoot::kUsers:
            return u"HKEY_USERS\\<every user hive>";
        case RegistryRoot::kUnknown:
            break;
    }
    return Text();
}

Text ClassesRootInWords(const HeaderPlan& header) {
    return header.auto_root == RegistryRoot::kLocalMachine ? u"HKEY_CLASSES_ROOT"
                                                           : u"HKEY_CURRENT_USER\\Software\\Classes";
}

Text SharedCountsKeyInWords(const HeaderPlan& header) {
    return Text(header.all_users ? u"HKEY_LOCAL_MACHINE" : u"HKEY_CURRENT_USER") +
           u"\\Software\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs";
}

Text Regsvr32CommandLine(TextView path) {
    return u"regsvr32 /u /s \"" + Text(path) + u"\"";
}

}  // namespace dismora::check
