// How the sections' entry lines are laid out: the registry entry line and its root names.
#pragma once

#include "environment/text.h"

namespace dismora {

struct TRegistryEntry {
    Text root_name;
    Text key_path;
    Text value_field;
};

enum class RegistryRoot { kUnknown, kAuto, kClassesRoot, kCurrentUser, kLocalMachine, kUsers };

// The root a line's root name stands for, matched ignoring the case of ASCII letters.
RegistryRoot MatchRootName(TextView root_name);

// Root name before the first "\", key path up to the first TAB after it, value field after that.
TRegistryEntry SplitRegistryEntry(TextView line);

}  // namespace dismora
