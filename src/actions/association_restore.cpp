#include "actions/association_restore.h"

#include "actions/event_sink.h"
#include "actions/registry_removal.h"
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
    Text value;  // stays empty when the value cannot be read
    ReadDefaultValue(key, value);
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

// The file type a block restores, and where its record goes.
struct TBlock {
    win::HKEY file_type;
    const Text& name;
    EventSink& events;
};

// One default value the installer overwrote, in the key at path below the file type (the
// description: the file type's own; the icon; a verb's command): it gets back what it held
// before where it still holds what the installer wrote. With nothing before, the
// description stays as it is, the icon's key goes, and a verb's command key goes and then
// the verb's own, unless that holds more.
void RestoreValue(LogReader& log, const TBlock& block, const char16_t* path, const char16_t* what,
                  const Text* verb = nullptr) {
    Text previous;
    Text installed;
    log.ReadLineInto(previous);
    // A verb's lines are told by the line that names it, the others by their first.
    const auto line = static_cast<std::uint32_t>(log.LineNumber()) - (verb != nullptr ? 1 : 0);
    log.ReadLineInto(installed);
    const win::HKEY file_type = block.file_type;
    // Windows would act on a shorter name; one that names no key would make "shell" the verb.
    if (verb != nullptr && (verb->find(u'\0') != Text::npos || verb->find_first_not_of(u'\\') == Text::npos)) {
        block.events.Note(verb->find(u'\0') != Text::npos ? Event::kHoldsNul : Event::kVerbPassedOver, line, verb);
        return;
    }
    if (*path == u'\0' && previous.empty()) return;
    Event event = Event::kDeleted;
    win::LONG result = win::ERROR_SUCCESS;
    UniqueKey key;
    if (OpenKey(file_type, path, win::KEY_ALL_ACCESS, key) != win::ERROR_SUCCESS) {
        // A verb to remove whose command a run that was cut short removed already: its key
        // goes now, unless it holds other subkeys. Without an icon key there is nothing to do.
        if (verb == nullptr || !previous.empty()) return;
        result = DeleteSubkey(file_type, u"shell", verb->c_str());
    } else if (!Matches(CurrentDefaultValue(key.Get()), installed)) {
        event = Event::kLeft;
    } else if (!previous.empty()) {
        WriteDefaultValue(key.Get(), previous,
                          verb != nullptr && previous[0] == u'%' ? win::REG_EXPAND_SZ : win::REG_SZ);
        event = Event::kRestored;
    } else {
        key.Reset();
        if (verb == nullptr) {
            result = win::RegDeleteKeyW(file_type, path);
        } else {
            result = DeleteSubkey(file_type, Concat({u"shell\\", *verb}).c_str(), u"command");
            // Fails, and the verb stays, while it still has other subkeys.
            DeleteSubkey(file_type, u"shell", verb->c_str());
        }
    }
    block.events.Note(event, line, &block.name, static_cast<std::uint32_t>(result), what);
}

void RestoreBlock(LogReader& log, win::HKEY classes_root, EventSink& events) {
    using namespace std::string_view_literals;
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
    RestoreValue(log, block, u"", u"description");
    RestoreValue(log, block, u"DefaultIcon", u"icon");
    while (NextEntry(log, u"%"sv)) {
        const Text& verb = log.current_line;  // the block's lines are read into texts of their own
        RestoreValue(log, block, Concat({u"shell\\", verb, u"\\command"}).c_str(), Concat({u"verb ", verb}).c_str(), &verb);
    }
}

}  // namespace

void RestoreFileAssociations(LogReader& log, win::HKEY classes_root, EventSink& events) {
    using namespace std::string_view_literals;  // terminators of known length: nothing counts them
    while (NextEntry(log, u"%%%"sv)) RestoreBlock(log, classes_root, events);
}

}  // namespace dismora
