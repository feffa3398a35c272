// The registry section: values, default values and whole keys the installer created.
#pragma once

#include "environment/text.h"
#include "log/entries.h"
#include "platform/unique_handle.h"
#include "platform/win_api.h"

namespace dismora {

class EventSink;
class LogReader;

// The classes root for the run: HKEY_CLASSES_ROOT itself for a machine-wide install,
// else the user's "Software\Classes", which user_classes then owns (null when it does not open).
win::HKEY OpenClassesRoot(win::HKEY auto_root, UniqueKey& user_classes);

// Walks the registry section, deleting what each line names.
void RemoveRegistryEntries(LogReader& log, win::HKEY auto_root, win::HKEY classes_root, EventSink& events);

// Deletes one value, or for "*" the key with everything below it, and tells the events
// what came of it under the subject given (the line, or the key it stands for, as the
// record shows it: up to a TAB).
void DeleteRegistryEntry(win::HKEY root, const Text& key_path, const Text& value_field, EventSink& events,
                         std::uint32_t line, const Text& subject);

// Deletes the subkey name of the key at parent_path below root: what opening the parent or
// the deletion answered.
win::LONG DeleteSubkey(win::HKEY root, const char16_t* parent_path, const char16_t* name);

// Deletes every subkey below the open key, depth first; the key and its values stay.
// A subkey that can be neither emptied nor deleted is left, with the keys above it.
void DeleteSubkeysRecursively(win::HKEY key);

// True when a whole-key entry would remove a key that no single installation owns (or
// the root itself), under the classes root or under a root like HKEY_LOCAL_MACHINE.
bool IsSharedKey(TextView key_path, bool under_classes_root);

// Whether a whole-key entry of this root is refused: the one rule for the uninstaller and
// for what dismora-check reports.
bool IsRefusedWholeKey(RegistryRoot root, TextView key_path);

}  // namespace dismora
