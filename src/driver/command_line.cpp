#include "driver/command_line.h"

namespace dismora {

namespace {

bool IsSeparator(char16_t c) {
    return c >= 1 && c <= 32;
}

// Reads one argument from position; two quotes at its very start are dropped together
// with the separators after them.
Text NextArgument(TextView line, std::size_t& position) {
    while (true) {
        while (position < line.size() && line[position] != 0 && IsSeparator(line[position])) ++position;
        if (position + 1 < line.size() && line[position] == u'"' && line[position + 1] == u'"') {
            position += 2;
            continue;
        }
        break;
    }
    Text argument;
    bool quoted = false;
    while (position < line.size() && line[position] != 0 && (quoted || !IsSeparator(line[position]))) {
        if (line[position] == u'"') {
            quoted = !quoted;
        } else {
            argument.push_back(line[position]);
        }
        ++position;
    }
    return argument;
}

}  // namespace

std::vector<Text> SplitCommandLine(TextView command_line) {
    std::vector<Text> arguments;
    std::size_t position = 0;
    NextArgument(command_line, position);  // the program's own name
    while (true) {
        Text argument = NextArgument(command_line, position);
        if (argument.empty()) break;
        arguments.push_back(std::move(argument));
    }
    return arguments;
}

void TakeOutSwitches(std::vector<Text>& arguments, TSwitches& switches) {
    std::size_t kept = 0;
    for (Text& argument : arguments) {
        const TextView name = TextView(argument).substr(0, 6);
        if (EqualsAsciiNoCase(argument, u"/wait") || (argument.size() > 6 && EqualsAsciiNoCase(name, u"/wait="))) {
            switches.wait = true;
            const std::int32_t pid = argument.size() > 6 ? ParseInteger(TextView(argument).substr(6)) : 0;
            if (pid > 0) switches.waiter = static_cast<std::uint32_t>(pid);
            continue;
        }
        // "/log=" with nothing after it asks for no record, and is taken out all the same.
        if (argument.size() >= 5 && EqualsAsciiNoCase(name.substr(0, 5), u"/log=")) {
            switches.record = argument.substr(5);
            continue;
        }
        if (argument.size() > 7 && EqualsAsciiNoCase(TextView(argument).substr(0, 7), u"/logid=")) {
            const std::int32_t identity = ParseInteger(TextView(argument).substr(7));
            if (identity > 0) switches.record_identity = static_cast<std::uint32_t>(identity);
            continue;
        }
        if (argument == u"/?") {
            switches.help = true;
            continue;
        }
        if (&arguments[kept] != &argument) arguments[kept] = std::move(argument);
        ++kept;
    }
    arguments.resize(kept);
}

}  // namespace dismora
