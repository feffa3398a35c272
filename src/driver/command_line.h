#pragma once

#include <vector>

#include "environment/text.h"

namespace dismora {

// The arguments after the program's own name. Separators are runs of units 1 to 32;
// quotes open and close stretches and are removed; backslashes are plain characters;
// counting stops at the first argument that comes out empty.
std::vector<Text> SplitCommandLine(TextView command_line);

}  // namespace dismora
