#pragma once

#include <cstdint>
#include <vector>

#include "environment/text.h"

namespace dismora {

// The arguments after the program's own name. Separators are runs of units 1 to 32;
// quotes open and close stretches and are removed; backslashes are plain characters;
// counting stops at the first argument that comes out empty.
std::vector<Text> SplitCommandLine(TextView command_line);

// The switches that may stand anywhere, in any letter case.
struct TSwitches {
    bool wait = false;         // /wait: the process ends when the uninstall has, with its outcome
    bool help = false;         // /?, -?, /h, /help
    bool quiet = false;        // /quiet: the same as /silent, wherever it stands
    bool no_restart = false;   // /norestart: accepted; the program never restarts the machine
    bool close_apps = false;   // /closeapps or /closeapps=N
    std::uint32_t close_apps_value = 0;  // the N of /closeapps=N
    std::uint32_t waiter = 0;  // /wait=PID, passed to the copy: the process that waits for it
    std::uint32_t first = 0;   // /first=PID, passed to a copy not waited for: the instance that started it
    Text record;               // /log=FILE: where the record of the run goes
    std::uint32_t record_identity = 0;  // /logid=N, passed to the copy: the record the first process opened
};

// Takes those switches out of the arguments, which keep their order.
void TakeOutSwitches(std::vector<Text>& arguments, TSwitches& switches);

// An argument written as a switch: it starts with "/" or "-".
bool LooksLikeSwitch(TextView argument);

}  // namespace dismora
