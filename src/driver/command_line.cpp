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

namespace {

// The switches taken out wherever they stand, each after "/" in any letter case, in the
// order of kSwitchRules: with a value after "=" (=), with or without one (+), or alone ( ).
constexpr char kSwitchNames[] = "wait\0log\0logid\0first\0closeapps\0quiet\0norestart\0h\0help\0?";
struct TSwitchRule {
    char value;
    bool TSwitches::*flag;
    std::uint32_t TSwitches::*number;
};
constexpr TSwitchRule kSwitchRules[] = {
    {'+', &TSwitches::wait, &TSwitches::waiter},  // "/wait=PID" is passed to the copy
    {'=', nullptr, nullptr},                      // "/log=" with nothing after it asks for no record
    {'=', nullptr, &TSwitches::record_identity},
    {'=', nullptr, &TSwitches::first},
    {'+', &TSwitches::close_apps, &TSwitches::close_apps_value},
    {' ', &TSwitches::quiet, nullptr},
    {' ', &TSwitches::no_restart, nullptr},
    {' ', &TSwitches::help, nullptr},
    {' ', &TSwitches::help, nullptr},
    {' ', &TSwitches::help, nullptr},
};

// Whether the name is the switch's name in any letter case. Only letters and "?" are in the
// names: no other unit is one of them once 0x20 is set (0x1F separates arguments).
bool IsSwitchName(TextView name, const char* wanted) {
    std::size_t i = 0;
    while (i < name.size() && wanted[i] != '\0' && (name[i] | 0x20) == wanted[i]) ++i;
    return i == name.size() && wanted[i] == '\0';
}

// Takes the argument when it is one of the switches above (or "-?").
bool TakeOutSwitch(TextView argument, TSwitches& switches) {
    if (argument.size() == 2 && argument[0] == u'-' && argument[1] == u'?') return switches.help = true;
    if (argument.empty() || argument[0] != u'/') return false;
    const std::size_t equals = argument.find(u'=');
    // The name after "/" up to "=", the value after it (empty without one).
    const std::size_t value_at = equals == TextView::npos ? argument.size() : equals + 1;
    const TextView name(argument.data() + 1, (equals == TextView::npos ? value_at : equals) - 1);
    const TextView value(argument.data() + value_at, argument.size() - value_at);
    const char* rule_name = kSwitchNames;
    for (const TSwitchRule& rule : kSwitchRules) {
        if (IsSwitchName(name, rule_name) && (rule.value == '+' || (rule.value == '=') == (equals != TextView::npos))) {
            if (rule.flag != nullptr) switches.*rule.flag = true;
            const std::int32_t number = ParseInteger(value);
            if (rule.number != nullptr && number > 0) switches.*rule.number = static_cast<std::uint32_t>(number);
            if (&rule == &kSwitchRules[1]) {
                switches.record.clear();
                switches.record.append(value);
            }
            return true;
        }
        while (*rule_name++ != '\0') {
        }
    }
    return false;
}

}  // namespace

void TakeOutSwitches(std::vector<Text>& arguments, TSwitches& switches) {
    std::size_t kept = 0;
    for (Text& argument : arguments) {
        if (TakeOutSwitch(argument, switches)) continue;
        if (&arguments[kept] != &argument) arguments[kept] = std::move(argument);
        ++kept;
    }
    // Popped rather than resized: shrinking is all it takes, without resize's code for growing.
    while (arguments.size() > kept) arguments.pop_back();
}

bool LooksLikeSwitch(TextView argument) {
    return !argument.empty() && (argument[0] == u'/' || argument[0] == u'-');
}

}  // namespace dismora
