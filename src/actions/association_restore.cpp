#include "actions/association_restore.h"

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

void DeleteSubkey(win::HKEY root, const Text& parent_path, const Text& name) {
    UniqueKey parent;
    if (OpenKey(root, parent_path.c_str(), win::KEY_ALL_ACCESS, parent) != win::ERROR_SUCCESS) {
        return;
    }
    win::RegDeleteKeyW(parent.Get(), name.c_str());
}

void RestoreDescription(LogReader& log, win::HKEY file_type) {
    Text current = CurrentDefaultValue(file_type);
    Text previous = log.ReadLine();
    Text installed = log.ReadLine();
    if (!previous.empty() && Matches(current, installed)) WriteDefaultValue(file_type, previous, win::REG_SZ);
}

void RestoreIcon(LogReader& log, win::HKEY file_type) {
    Text previous = log.ReadLine();
    Text installed = log.ReadLine();
    UniqueKey icon;
    if (OpenKey(file_type, u"DefaultIcon", win::KEY_ALL_ACCESS, icon) != win::ERROR_SUCCESS) {
        return;
    }
    if (!Matches(CurrentDefaultValue(icon.Get()), installed)) return;
    if (!previous.empty()) {
        WriteDefaultValue(icon.Get(), previous, win::REG_SZ);
        return;
    }
    icon.Reset();
    win::RegDeleteKeyW(file_type, u"DefaultIcon");
}

void RestoreVerb(LogReader& log, win::HKEY file_type, const Text& verb) {
    Text previous = log.ReadLine();
    Text installed = log.ReadLine();
    // Windows would act on a shorter name; one that names no key would make "shell" the verb.
    if (verb.find_first_not_of(u'\\') == Text::npos || verb.find(u'\0') != Text::npos) return;
    Text verb_path = Concat({u"shell\\", verb});
    UniqueKey command;
    if (OpenKey(file_type, Concat({verb_path, u"\\command"}).c_str(), win::KEY_ALL_ACCESS, command) !=
        win::ERROR_SUCCESS) {
        // A verb to remove whose command a run that was cut short removed already: its key
        // goes now, unless it holds other subkeys.
        if (previous.empty()) DeleteSubkey(file_type, u"shell", verb);
        return;
    }
    if (!Matches(CurrentDefaultValue(command.Get()), installed)) return;
    if (!previous.empty()) {
        WriteDefaultValue(command.Get(), previous, previous[0] == u'%' ? win::REG_EXPAND_SZ : win::REG_SZ);
        return;
    }
    command.Reset();
    DeleteSubkey(file_type, verb_path, u"command");
    // Fails, and the verb stays, while it still has other subkeys.
    DeleteSubkey(file_type, u"shell", verb);
}

void RestoreBlock(LogReader& log, win::HKEY classes_root) {
    const Text& extension = log.current_line;
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
        log.PassOverBlock();
        return;
    }
    RestoreDescription(log, file_type.Get());
    RestoreIcon(log, file_type.Get());
    while (NextEntry(log, u"%")) {
        Text verb = log.current_line;
        RestoreVerb(log, file_type.Get(), verb);
    }
}

}  // namespace

void RestoreFileAssociations(LogReader& log, win::HKEY classes_root) {
    while (NextEntry(log, u"%%%")) RestoreBlock(log, classes_root);
}

}  // namespace dismora
