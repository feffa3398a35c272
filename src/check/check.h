// The dismora-check command: its arguments in, its exit status and output out.
#pragma once

#include <vector>

#include "environment/text.h"

namespace dismora::check {

struct CommandResult {
    int exit_status = 0;  // 0 no findings, 1 warnings only, 2 errors or a wrong command line
    Text out;             // for standard output
    Text err;             // for standard error
};

// arguments: after the program's own name.
CommandResult RunCommand(const std::vector<Text>& arguments);

}  // namespace dismora::check
