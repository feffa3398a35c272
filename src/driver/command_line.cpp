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
        // A switch's name, and its value after "=" ("/wait=PID", "/log=FILE", "/logid=N", "/first=PID").
        const TextView view(argument);
        const std::size_t equals = view.find(u'=');
        const TextView name = view.substr(0, equals);
        const TextView value = equals == TextView::npos ? TextView() : view.substr(equals + 1);
        const std::int32_t number = ParseInteger(value);
        if (EqualsAsciiNoCase(name, u"/wait")) {
            switches.wait = true;
            if (number > 0) switches.waiter = static_cast<std::uint32_t>(number);
            continue;
        }
        // "/log=" with nothing after it asks for no record, and is taken out all the same.
        if (equals != TextView::npos && EqualsAsciiNoCase(name, u"/log")) {
            switches.record = Text(value);
            continue;
        }
        std::uint32_t* const numbered = EqualsAsciiNoCase(name, u"/logid")   ? &switches.record_identity
                                        : EqualsAsciiNoCase(name, u"/first") ? &switches.first
                                                                              : nullptr;
        if (equals != TextView::npos && numbered != nullptr) {
            if (number > 0) *numbered = static_cast<std::uint32_t>(number);
            continue;
        }
        if (argument == u"/?" || argument == u"-?" || EqualsAsciiNoCase(view, u"/h") ||
            EqualsAsciiNoCase(view, u"/help")) {
            switches.help = true;
            continue;
        }
        if (EqualsAsciiNoCase(view, u"/quiet")) {
            switches.quiet = true;
            continue;
        }
        if (EqualsAsciiNoCase(view, u"/norestart")) {
            switches.no_restart = true;
            continue;
        }
        if (EqualsAsciiNoCase(name, u"/closeapps")) {
            switches.close_apps = true;
            if (number > 0) switches.close_apps_value = static_cast<std::uint32_t>(number);
            continue;
        }
        if (&arguments[kept] != &argument) arguments[kept] = std::move(argument);
        ++kept;
    }
    arguments.resize(kept);
}

bool LooksLikeSwitch(TextView argument) {
    return !argument.empty() && (argument[0] == u'/' || argument[0] == u'-');
}

}  // namespace dismora
