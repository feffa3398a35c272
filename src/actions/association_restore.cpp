#include "actions/association_restore.h"

#include "actions/event_sink.h"
#include "environment/text.h"
#include "log/log_reader.h"
#include "platform/unique_handle.h"

namespace dismora {

namespace {

constexpr win::DWORD kValueChars = 256;

// The key's default value, or false when it cannot be read into the working buffer.
bool ReadDefaultValue(win::HKEY key, Text& value) {
    char16_t buffer[kValueChars] = {};
    win::DWORD size = sizeof(buffer);  // in bytes
    if (win::RegQueryValueExW(key, nullptr, nullptr, nullptr, reinterpret_cast<win::BYTE*>(buffer), &size) !=
        win::ERROR_SUCCESS) {
        return false;
    }
    value = TextFromBuffer(buffer, kValueChars);
    return true;
}

Text CurrentDefaultValue(win::HKEY key) {
    Text value;
    if (!ReadDefaultValue(key, value)) value.clear();
    return value;
}

void WriteDefaultValue(win::HKEY key, const Text& value, win::DWORD type) {
    // The size is in bytes and counts the terminating NUL.
    auto size = static_cast<win::DWORD>((value.size() + 1) * sizeof(char16_t));
    win::RegSetValueExW(key, nullptr, 0, type, reinterpret_cast<const win::BYTE*>(value.c_str()), size);
}

bool Matches(const Text& current, const Text& installed) {
    return CompareLocaleNoCase(current, installed) == 0;
}

win::LONG DeleteSubkey(win::HKEY root, const Text& parent_path, const Text& name) {
    UniqueKey parent;
    win::LONG result = OpenKey(root, parent_path.c_str(), win::KEY_ALL_ACCESS, parent);
    return result != win::ERROR_SUCCESS ? result : win::RegDeleteKeyW(parent.Get(), name.c_str());
}

// The file type a block restores, and where its record goes.
struct TBlock {
    win::HKEY file_type;
    const Text& name;
    EventSink& events;
};

void RestoreDescription(LogReader& log, const TBlock& block) {
    Text current = CurrentDefaultValue(block.file_type);
    Text previous = log.ReadLine();
    const auto line = static_cast<std::uint32_t>(log.LineNumber());
    Text installed = log.ReadLine();
    if (previous.empty()) return;
    const bool restore = Matches(current, installed);
    if (restore) WriteDefaultValue(block.file_type, previous, win::REG_SZ);
    block.events.Note(restore ? Event::kRestored : Event::kLeft, line, &block.name, 0, u"description");
}

void RestoreIcon(LogReader& log, const TBlock& block) {
    Text previous = log.ReadLine();
    const auto line = static_cast<std::uint32_t>(log.LineNumber());
    Text installed = log.ReadLine();
    UniqueKey icon;
    if (OpenKey(block.file_type, u"DefaultIcon", win::KEY_ALL_ACCESS, icon) != win::ERROR_SUCCESS) {
        return;
    }
    Event what = Event::kLeft;
    win::LONG result = win::ERROR_SUCCESS;
    if (Matches(CurrentDefaultValue(icon.Get()), installed)) {
        what = Event::kRestored;
        if (!previous.empty()) {
            WriteDefaultValue(icon.Get(), previous, win::REG_SZ);
        } else {
            what = Event::kDeleted;
            icon.Reset();
            result = win::RegDeleteKeyW(block.file_type, u"DefaultIcon");
        }
    }
    block.events.Note(what, line, &block.name, static_cast<std::uint32_t>(result), u"icon");
}

void RestoreVerb(LogReader& log, const TBlock& block, const Text& verb) {
    const auto line = static_cast<std::uint32_t>(log.LineNumber());
    Text previous = log.ReadLine();
    Text installed = log.ReadLine();
    // Windows would act on a shorter name; one that names no key would make "shell" the verb.
    if (verb.find(u'\0') != Text::npos) {
        block.events.Note(Event::kHoldsNul, line);
        return;
    }
    if (verb.find_first_not_of(u'\\') == Text::npos) {
        block.events.Note(Event::kVerbPassedOver, line, &verb);
        return;
    }
    const win::HKEY file_type = block.file_type;
    Text verb_path = Concat({u"shell\\", verb});
    Event what = Event::kDeleted;
    win::LONG result = win::ERROR_SUCCESS;
    UniqueKey command;
    if (OpenKey(file_type, Concat({verb_path, u"\\command"}).c_str(), win::KEY_ALL_ACCESS, command) !=
        win::ERROR_SUCCESS) {
        // A verb to remove whose command a run that was cut short removed already: its key
        // goes now, unless it holds other subkeys.
        if (!previous.empty()) return;
        result = DeleteSubkey(file_type, u"shell", verb);
    } else if (!Matches(CurrentDefaultValue(command.Get()), installed)) {
        what = Event::kLeft;
    } else if (!previous.empty()) {
        WriteDefaultValue(command.Get(), previous, previous[0] == u'%' ? win::REG_EXPAND_SZ : win::REG_SZ);
        what = Event::kRestored;
    } else {
        command.Reset();
        result = DeleteSubkey(file_type, verb_path, u"command");
        // Fails, and the verb stays, while it still has other subkeys.
        DeleteSubkey(file_type, u"shell", verb);
    }
    block.events.Note(what, line, &block.name, static_cast<std::uint32_t>(result), Concat({u"verb ", verb}).c_str());
}

void RestoreBlock(LogReader& log, win::HKEY classes_root, EventSink& events) {
    const Text& extension = log.current_line;
    const auto line = static_cast<std::uint32_t>(log.LineNumber());
    Text file_type_name;
    bool usable = classes_root != nullptr && extension.find(u'\0') == Text::npos;
    if (usable) {
        UniqueKey extension_key;
        usable = OpenKey(classes_root, extension.c_str(), win::KEY_ALL_ACCESS, extension_key) == win::ERROR_SUCCESS &&
                 ReadDefaultValue(extension_key.Get(), file_type_name);
    }
    // An empty name would open the classes root itself as the file type.
    UniqueKey file_type;
    if (!usable || file_type_name.empty() ||
        OpenKey(classes_root, file_type_name.c_str(), win::KEY_ALL_ACCESS, file_type) != win::ERROR_SUCCESS) {
        events.Note(extension.find(u'\0') != Text::npos ? Event::kHoldsNul : Event::kTypePassedOver, line, &extension);
        log.PassOverBlock();
        return;
    }
    const TBlock block{file_type.Get(), file_type_name, events};
    RestoreDescription(log, block);
    RestoreIcon(log, block);
    while (NextEntry(log, u"%")) {
        Text verb = log.current_line;
        RestoreVerb(log, block, verb);
    }
}

}  // namespace

void RestoreFileAssociations(LogReader& log, win::HKEY classes_root, EventSink& events) {
    while (NextEntry(log, u"%%%")) RestoreBlock(log, classes_root, events);
}

}  // namespace dismora
