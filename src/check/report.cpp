#include "check/report.h"

#include "actions/event_sink.h"

namespace dismora::check {

namespace {

const char16_t kHex[] = u"0123456789ABCDEF";

Text Number(std::uint64_t value) {
    return DecimalText(static_cast<std::uint32_t>(value));
}

Text SignedNumber(std::int32_t value) {
    if (value >= 0) return DecimalText(static_cast<std::uint32_t>(value));
    return u"-" + DecimalText(0u - static_cast<std::uint32_t>(value));
}

Text Hex4(char16_t c) {
    Text out;
    for (int shift = 12; shift >= 0; shift -= 4) out.push_back(kHex[(c >> shift) & 0xF]);
    return out;
}

// A log text in double quotes, with the characters one cannot see spelled out.
Text Shown(TextView text) {
    Text out = u"\"";
    for (char16_t c : text) {
        if (c == u'\t') {
            out += u"<TAB>";
        } else if (c == 0) {
            out += u"<NUL>";
        } else if (c == u'\r') {
            out += u"<CR>";
        } else if (c < 0x20 || c == 0x7F) {
            out += u"<U+" + Hex4(c) + u">";
        } else {
            out.push_back(c);
        }
    }
    return out + u"\"";
}

Text JoinKey(TextView root, TextView key) {
    if (key.empty()) return Text(root);
    return Text(root) + u"\\" + Text(key);
}

Text Plural(std::uint64_t count, const char16_t* one, const char16_t* many) {
    return Number(count) + u" " + (count == 1 ? one : many);
}

class TextReport {
public:
    explicit TextReport(const Plan& plan) : plan_(plan) {}

    Text Render() {
        out_ += u"Deployment log " + Shown(plan_.log_path) + u"\n";
        if (plan_.opened) Header();
        if (plan_.header_read) Body();
        Findings();
        return out_;
    }

private:
    void Line(const Text& text) { out_ += text + u"\n"; }

    // An item of the plan: its line number in a fixed column, then what it says.
    void Item(std::uint64_t line, const Text& what, const Text& then = Text()) {
        Text number = line == 0 ? Text(u"(end)") : u"line " + Number(line);
        while (number.size() < 11) number.push_back(u' ');
        Line(u"  " + number + what);
        if (!then.empty()) Line(u"             " + then);
    }

    void Header() {
        const HeaderPlan& h = plan_.header;
        if (h.status != HeaderStatus::kOk) return;
        Line(u"");
        Line(u"Header");
        Line(u"  format version " + SignedNumber(h.format_version) + u": the lines after it are read as " +
             (h.utf8 ? u"UTF-8" : u"ANSI (the system's code page)"));
        Text scope =
            h.format_version < 3 ? Text(u"  no install scope line (format versions 1 and 2), so ") : Text(u"  ");
        if (h.all_users) {
            scope += u"installed for all users: administrator rights are needed";
        } else {
            scope += u"installed for the current user only: no administrator rights are needed";
        }
        Line(scope);
        Line(u"  HKEY_AUTO stands for " + RootInWords(RegistryRoot::kAuto, h) + u"; the classes root is " +
             ClassesRootInWords(h));
        Line(u"  product name " + Shown(h.product_name));
        Line(u"  confirmation text " + Shown(h.confirmation_text));
        Line(u"  completion text " + Shown(h.completion_text));
        Line(u"  restart text " + Shown(h.restart_text));
        Line(u"  administrator text " + Shown(h.admin_text) +
             (h.format_version < 3 ? u" (built in for format versions 1 and 2)" : u""));
    }

    void Body() {
        Line(u"");
        Line(u"Plan, in the order the uninstaller works");
        const NumberedText& command = plan_.pre_uninstall_command;
        if (command.text.empty()) {
            Item(command.line, u"pre-uninstall command: none");
        } else {
            Item(command.line, u"pre-uninstall command " + Shown(command.text),
                 u"started first; the uninstall goes on only when it ends with exit code 1");
        }
        const char16_t* names[2] = {u"first", u"second"};
        for (int i = 0; i < 2; ++i) {
            const IgnoredBlockPlan& block = plan_.ignored_blocks[i];
            Text what = Text(names[i]) + u" ignored block: ";
            if (block.count > 0) {
                what += Plural(static_cast<std::uint64_t>(block.count), u"record", u"records") + u" of " +
                        Number(static_cast<std::uint64_t>(block.lines_per_record)) + u" lines passed over";
            } else {
                what += u"no records";
            }
            Item(block.count_line, what);
        }
        Files();
        Registry();
        Associations();
        Components();
        Line(u"");
        Line(u"  Then the files that go are deleted in the order of the file section, each with the folders it");
        Line(u"  leaves empty up to a protected folder; a file in use goes at the next restart. The log goes");
        Line(u"  last, Windows is told that file associations changed, and the completion text is shown");
        Line(u"  (with the restart text when something waits for the restart) unless /silent or /s was given.");
    }

    void SectionEnd(Section section) {
        std::uint64_t line = plan_.sections[static_cast<int>(section)].terminator_line;
        if (line != 0) Item(line, u"\"%%%\" ends the section");
    }

    void SectionTitle(Section section, const Text& title) {
        Line(u"");
        Line(u"  " + title);
        if (!plan_.sections[static_cast<int>(section)].reached) Line(u"  (empty: the log ends before it)");
    }

    void Files() {
        SectionTitle(Section::kFiles, u"File section: shared counts under " + SharedCountsKeyInWords(plan_.header));
        Line(u"  each file with no count there, or a count of 0 or 1, is deleted and its count removed;");
        Line(u"  a count of 2 or more is lowered by one, and that file stays");
        for (const FilePlan& file : plan_.files) {
            Item(file.line, Shown(file.path),
                 file.action == FileAction::kPassedOverNul ? FromAscii(EventWords(Event::kHoldsNul)) : Text());
        }
        SectionEnd(Section::kFiles);
    }

    Text RegistryAction(const RegistryPlan& entry) {
        const Text where = JoinKey(RootInWords(entry.root, plan_.header), entry.entry.key_path);
        switch (entry.action) {
            case RegistryAction::kDeleteValue:
                return u"delete the value " + Shown(entry.entry.value_field) + u" of " + where;
            case RegistryAction::kDeleteDefaultValue:
                return u"delete the default value of " + where;
            case RegistryAction::kDeleteKey:
                return u"delete " + where + u" with all its subkeys and values";
            case RegistryAction::kEmptyKey:
                return u"delete every subkey of " + where +
                       u"; the key itself and its values stay (it lies right under its root)";
            case RegistryAction::kPassedOverUnknownRoot:
                return FromAscii(EventWords(Event::kUnknownRoot));
            case RegistryAction::kPassedOverUnsafe:
                return FromAscii(EventWords(Event::kSharedKey));
            case RegistryAction::kPassedOverNul:
                return FromAscii(EventWords(Event::kHoldsNul));
        }
        return Text();
    }

    void Registry() {
        SectionTitle(Section::kRegistry, u"Registry section");
        for (const RegistryPlan& entry : plan_.registry) {
            Item(entry.line, Shown(entry.line_text), RegistryAction(entry));
        }
        SectionEnd(Section::kRegistry);
    }

    static Text PutBack(const Text& what, const NumberedText& previous, const NumberedText& installed,
                        const Text& when_empty) {
        if (previous.text.empty()) return what + u": " + when_empty;
        return what + u": put back " + Shown(previous.text) + u" where it still reads " + Shown(installed.text);
    }

    void Associations() {
        SectionTitle(Section::kAssociations, u"Association section: under " + ClassesRootInWords(plan_.header));
        for (const AssociationPlan& block : plan_.associations) {
            if (block.passed_over_nul) {
                Item(block.line, u"extension " + Shown(block.extension),
                     u"passed over up to its next \"%\" line: it holds U+0000");
                if (block.end_line != 0) Item(block.end_line, u"\"%\" ends the block");
                continue;
            }
            Item(block.line, u"extension " + Shown(block.extension),
                 u"its default value names the file type; the block is passed over, up to its next \"%\" line, "
                 u"where the extension or that file type is missing, or the value is empty");
            Item(block.previous_description.line,
                 PutBack(u"description", block.previous_description, block.installed_description,
                         u"left as it is (no previous description)"));
            Item(block.previous_icon.line,
                 PutBack(u"icon", block.previous_icon, block.installed_icon,
                         u"delete DefaultIcon where it still reads " + Shown(block.installed_icon.text)));
            for (const VerbPlan& verb : block.verbs) {
                if (verb.passed_over_nul) {
                    Item(verb.line, u"verb " + Shown(verb.name) + u": passed over, it holds U+0000");
                    continue;
                }
                if (verb.passed_over_empty) {
                    Item(verb.line, u"verb " + Shown(verb.name) + u": passed over, it names no key below shell");
                    continue;
                }
                Text what = u"verb " + Shown(verb.name);
                if (verb.previous_command.text.empty()) {
                    Item(verb.line, what + u": where its command still reads " + Shown(verb.installed_command.text),
                         u"delete shell\\" + verb.name + u"\\command, then shell\\" + verb.name +
                             u" unless something else is left in it");
                } else {
                    Item(verb.line, what + u": put back the command " + Shown(verb.previous_command.text),
                         Text(u"as ") + (verb.previous_command.text[0] == u'%' ? u"REG_EXPAND_SZ" : u"REG_SZ") +
                             u", where it still reads " + Shown(verb.installed_command.text));
                }
            }
            if (block.end_line != 0) Item(block.end_line, u"\"%\" ends the block");
        }
        SectionEnd(Section::kAssociations);
    }

    void Components() {
        SectionTitle(Section::kComponents,
                     u"Component section: only components whose file is deleted are unregistered");
        for (const ComponentPlan& component : plan_.components) {
            Text then;
            switch (component.action) {
                case ComponentAction::kRegsvr32:
                case ComponentAction::kTypeLibrary: {
                    const FilePlan& file = plan_.files[component.file];
                    then = u"if the file of line " + Number(file.line) + u" is deleted: ";
                    if (component.action == ComponentAction::kRegsvr32) {
                        then += Regsvr32CommandLine(file.path) + u" (regsvr32.exe of the System folder)";
                    } else {
                        then += u"UnRegisterTypeLib with the type library's own GUID, version, locale and platform";
                    }
                    break;
                }
                case ComponentAction::kNotAComponent:
                    then = u"nothing: only .dll and .ocx (regsvr32) and .tlb (type library) files are unregistered";
                    break;
                case ComponentAction::kNotListed:
                    then = u"nothing: it is not in the file section";
                    break;
                case ComponentAction::kPassedOverNul:
                    then = FromAscii(EventWords(Event::kHoldsNul));
                    break;
            }
            Item(component.line, Shown(component.path), then);
        }
        SectionEnd(Section::kComponents);
    }

    void Findings() {
        Line(u"");
        if (plan_.findings.empty()) {
            Line(u"No findings.");
            return;
        }
        Line(u"Findings");
        for (const Finding& finding : plan_.findings) {
            Text where = finding.line == 0 ? Text(u"log") : u"line " + Number(finding.line);
            Line(u"  " + where + u": " + (finding.severity == Severity::kError ? u"error: " : u"warning: ") +
                 finding.message);
        }
        Line(Plural(plan_.Count(Severity::kError), u"error", u"errors") + u", " +
             Plural(plan_.Count(Severity::kWarning), u"warning", u"warnings") + u".");
    }

    const Plan& plan_;
    Text out_;
};

// --- JSON ---------------------------------------------------------------------------

Text JsonString(TextView text) {
    Text out = u"\"";
    for (char16_t c : text) {
        switch (c) {
            case u'"':
                out += u"\\\"";
                break;
            case u'\\':
                out += u"\\\\";
                break;
            case u'\n':
                out += u"\\n";
                break;
            case u'\r':
                out += u"\\r";
                break;
            case u'\t':
                out += u"\\t";
                break;
            default:
                if (c < 0x20 || c >= 0x7F) {
                    out += u"\\u" + Hex4(c);
                } else {
                    out.push_back(c);
                }
        }
    }
    return out + u"\"";
}

Text JsonLine(std::uint64_t line) {
    return line == 0 ? Text(u"null") : Number(line);
}

Text JsonBool(bool value) {
    return value ? u"true" : u"false";
}

// Builds one object member by member.
class JsonObject {
public:
    JsonObject& Add(const char16_t* name, const Text& json_value) {
        out_ += (out_.empty() ? u"{" : u",") + JsonString(name) + u":" + json_value;
        return *this;
    }
    JsonObject& Str(const char16_t* name, TextView value) { return Add(name, JsonString(value)); }
    JsonObject& Line(const char16_t* name, std::uint64_t line) { return Add(name, JsonLine(line)); }
    [[nodiscard]] Text Done() const { return out_.empty() ? Text(u"{}") : out_ + u"}"; }

private:
    Text out_;
};

template <typename Items, typename Render>
Text JsonArray(const Items& items, Render render) {
    Text out = u"[";
    for (const auto& item : items) {
        if (out.size() > 1) out += u",";
        out += render(item);
    }
    return out + u"]";
}

Text NumberedJson(const NumberedText& text) {
    return JsonObject().Line(u"line", text.line).Str(u"text", text.text).Done();
}

const char16_t* StatusName(HeaderStatus status) {
    switch (status) {
        case HeaderStatus::kOk:
            return u"ok";
        case HeaderStatus::kNoVersionLine:
            return u"no-version-line";
        case HeaderStatus::kBadVersion:
            return u"bad-version";
        case HeaderStatus::kTooNew:
            return u"too-new";
    }
    return u"";
}

const char16_t* RootName(RegistryRoot root) {
    switch (root) {
        case RegistryRoot::kAuto:
            return u"HKEY_AUTO";
        case RegistryRoot::kClassesRoot:
            return u"HKEY_CLASSES_ROOT";
        case RegistryRoot::kCurrentUser:
            return u"HKEY_CURRENT_USER";
        case RegistryRoot::kLocalMachine:
            return u"HKEY_LOCAL_MACHINE";
        case RegistryRoot::kUsers:
            return u"HKEY_USERS";
        case RegistryRoot::kUnknown:
            break;
    }
    return u"";
}

const char16_t* ActionName(RegistryAction action) {
    switch (action) {
        case RegistryAction::kDeleteValue:
            return u"delete-value";
        case RegistryAction::kDeleteDefaultValue:
            return u"delete-default-value";
        case RegistryAction::kDeleteKey:
            return u"delete-key";
        case RegistryAction::kEmptyKey:
            return u"delete-subkeys";
        case RegistryAction::kPassedOverUnknownRoot:
            return u"passed-over-unknown-root";
        case RegistryAction::kPassedOverUnsafe:
            return u"passed-over-unsafe";
        case RegistryAction::kPassedOverNul:
            return u"passed-over-nul";
    }
    return u"";
}

const char16_t* ActionName(ComponentAction action) {
    switch (action) {
        case ComponentAction::kRegsvr32:
            return u"regsvr32";
        case ComponentAction::kTypeLibrary:
            return u"unregister-type-library";
        case ComponentAction::kNotAComponent:
            return u"none-other-extension";
        case ComponentAction::kNotListed:
            return u"none-not-in-file-section";
        case ComponentAction::kPassedOverNul:
            return u"passed-over-nul";
    }
    return u"";
}

}  // namespace

const char16_t* FindingKindName(FindingKind kind) {
    switch (kind) {
        case FindingKind::kCannotOpen:
            return u"cannot-open";
        case FindingKind::kHeaderRejected:
            return u"header-rejected";
        case FindingKind::kByteOrderMark:
            return u"byte-order-mark";
        case FindingKind::kScopeLine:
            return u"install-scope";
        case FindingKind::kMissingTerminator:
            return u"missing-terminator";
        case FindingKind::kLastLineIgnored:
            return u"last-line-ignored";
        case FindingKind::kUnknownRoot:
            return u"unknown-root";
        case FindingKind::kHoldsNul:
            return u"holds-nul";
        case FindingKind::kUnsafeWholeKey:
            return u"unsafe-whole-key";
        case FindingKind::kRelativePath:
            return u"relative-path";
        case FindingKind::kDuplicate:
            return u"duplicate";
        case FindingKind::kCountNotNumber:
            return u"count-not-a-number";
        case FindingKind::kComponentNotListed:
            return u"component-not-listed";
        case FindingKind::kPercentInBlock:
            return u"percent-in-block";
        case FindingKind::kEmptyVerb:
            return u"empty-verb";
    }
    return u"";
}

Text RenderText(const Plan& plan) {
    return TextReport(plan).Render();
}

Text RenderJson(const Plan& plan) {
    JsonObject root;
    root.Str(u"log", plan.log_path);
    root.Add(u"exit_status", Number(static_cast<std::uint64_t>(plan.ExitStatus())));
    root.Add(u"errors", Number(plan.Count(Severity::kError)));
    root.Add(u"warnings", Number(plan.Count(Severity::kWarning)));

    if (plan.opened) {
        const HeaderPlan& h = plan.header;
        JsonObject header;
        header.Str(u"status", StatusName(h.status));
        header.Add(u"format_version", SignedNumber(h.format_version));
        if (h.status == HeaderStatus::kOk) {
            header.Str(u"encoding", h.utf8 ? u"UTF-8" : u"ANSI");
            header.Add(u"all_users", JsonBool(h.all_users));
            header.Str(u"hkey_auto", RootInWords(RegistryRoot::kAuto, h));
            header.Str(u"classes_root", ClassesRootInWords(h));
            header.Str(u"shared_counts_key", SharedCountsKeyInWords(h));
            header.Str(u"product_name", h.product_name);
            header.Str(u"confirmation_text", h.confirmation_text);
            header.Str(u"completion_text", h.completion_text);
            header.Str(u"restart_text", h.restart_text);
            header.Str(u"administrator_text", h.admin_text);
        }
        root.Add(u"header", header.Done());
    } else {
        root.Add(u"header", u"null");
    }

    if (plan.header_read) {
        root.Add(u"pre_uninstall_command",
                 plan.pre_uninstall_command.text.empty() ? Text(u"null") : NumberedJson(plan.pre_uninstall_command));
        root.Add(u"ignored_blocks", JsonArray(plan.ignored_blocks, [](const IgnoredBlockPlan& block) {
                     return JsonObject()
                         .Line(u"line", block.count_line)
                         .Add(u"count", SignedNumber(block.count))
                         .Add(u"lines_per_record", Number(static_cast<std::uint64_t>(block.lines_per_record)))
                         .Done();
                 }));
        root.Add(u"files", JsonArray(plan.files, [](const FilePlan& file) {
                     return JsonObject()
                         .Line(u"line", file.line)
                         .Str(u"path", file.path)
                         .Str(u"action",
                              file.action == FileAction::kPassedOverNul ? u"passed-over-nul" : u"delete-or-lower-count")
                         .Done();
                 }));
        root.Add(
            u"registry", JsonArray(plan.registry, [&plan](const RegistryPlan& entry) {
                JsonObject object;
                object.Line(u"line", entry.line).Str(u"text", entry.line_text);
                if (entry.action != RegistryAction::kPassedOverNul) {
                    object.Str(u"root_name", entry.entry.root_name)
                        .Str(u"key_path", entry.entry.key_path)
                        .Str(u"value_field", entry.entry.value_field);
                }
                if (entry.root != RegistryRoot::kUnknown) {
                    object.Str(u"root", RootName(entry.root)).Str(u"resolves_to", RootInWords(entry.root, plan.header));
                }
                return object.Str(u"action", ActionName(entry.action)).Done();
            }));
        root.Add(u"associations", JsonArray(plan.associations, [](const AssociationPlan& block) {
                     JsonObject object;
                     object.Line(u"line", block.line)
                         .Str(u"extension", block.extension)
                         .Add(u"passed_over_nul", JsonBool(block.passed_over_nul));
                     if (!block.passed_over_nul) {
                         object.Add(u"previous_description", NumberedJson(block.previous_description))
                             .Add(u"installed_description", NumberedJson(block.installed_description))
                             .Add(u"previous_icon", NumberedJson(block.previous_icon))
                             .Add(u"installed_icon", NumberedJson(block.installed_icon))
                             .Add(u"verbs", JsonArray(block.verbs, [](const VerbPlan& verb) {
                                      return JsonObject()
                                          .Line(u"line", verb.line)
                                          .Str(u"name", verb.name)
                                          .Add(u"previous_command", NumberedJson(verb.previous_command))
                                          .Add(u"installed_command", NumberedJson(verb.installed_command))
                                          .Add(u"passed_over_nul", JsonBool(verb.passed_over_nul))
                                          .Add(u"passed_over_empty", JsonBool(verb.passed_over_empty))
                                          .Done();
                                  }));
                     }
                     return object.Line(u"end_line", block.end_line).Done();
                 }));
        root.Add(u"components", JsonArray(plan.components, [&plan](const ComponentPlan& component) {
                     JsonObject object;
                     object.Line(u"line", component.line)
                         .Str(u"path", component.path)
                         .Str(u"action", ActionName(component.action));
                     if (component.action == ComponentAction::kRegsvr32 ||
                         component.action == ComponentAction::kTypeLibrary ||
                         component.action == ComponentAction::kNotAComponent) {
                         const FilePlan& file = plan.files[component.file];
                         object.Line(u"file_line", file.line);
                         if (component.action == ComponentAction::kRegsvr32) {
                             object.Str(u"command_line", Regsvr32CommandLine(file.path));
                         }
                     }
                     return object.Done();
                 }));
        const char16_t* section_names[kSectionCount] = {u"files", u"registry", u"associations", u"components"};
        JsonObject sections;
        for (int i = 0; i < kSectionCount; ++i) {
            sections.Add(section_names[i], JsonObject()
                                               .Add(u"reached", JsonBool(plan.sections[i].reached))
                                               .Line(u"terminator_line", plan.sections[i].terminator_line)
                                               .Done());
        }
        root.Add(u"sections", sections.Done());
    }

    root.Add(u"findings", JsonArray(plan.findings, [](const Finding& finding) {
                 return JsonObject()
                     .Line(u"line", finding.line)
                     .Str(u"severity", finding.severity == Severity::kError ? u"error" : u"warning")
                     .Str(u"kind", FindingKindName(finding.kind))
                     .Str(u"message", finding.message)
                     .Done();
             }));
    return root.Done() + u"\n";
}

}  // namespace dismora::check
