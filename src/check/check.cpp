#include "check/check.h"

#include "check/plan.h"
#include "check/report.h"

namespace dismora::check {

namespace {

const char16_t kUsage[] =
    u"usage: dismora-check [--json] LOG\n"
    u"\n"
    u"Reads the deployment log LOG exactly as dismora.exe reads it and prints, in order, what the\n"
    u"uninstall will do with it, then what looks wrong, each with its line number. LOG is only read;\n"
    u"nothing else on this machine is looked at or changed.\n"
    u"\n"
    u"  --json      one JSON object instead of text\n"
    u"  --version   the version, which is dismora.exe's\n"
    u"  --help      this text\n"
    u"\n"
    u"Format versions 1 and 3 are read in this system's ANSI code page (Windows-1252 outside Windows),\n"
    u"as dismora.exe reads them in the ANSI code page of the machine it runs on.\n"
    u"\n"
    u"Exit status: 0 nothing found, 1 warnings only, 2 errors (the uninstaller would stop at the header,\n"
    u"or cannot open LOG) or a wrong command line.\n";

}  // namespace

CommandResult RunCommand(const std::vector<Text>& arguments) {
    bool json = false;
    bool help = false;
    std::vector<Text> logs;
    bool options_done = false;
    for (const Text& argument : arguments) {
        if (!options_done && argument == u"--") {
            options_done = true;
        } else if (!options_done && argument == u"--json") {
            json = true;
        } else if (!options_done && argument == u"--version") {
            return {0, FromAscii("dismora-check " DISMORA_VERSION "\n"), Text()};
        } else if (!options_done && (argument == u"--help" || argument == u"-h" || argument == u"/?")) {
            help = true;
        } else if (!options_done && argument.size() > 1 && argument[0] == u'-') {
            return {2, Text(), u"dismora-check: unknown option " + argument + u"\n" + kUsage};
        } else {
            logs.push_back(argument);
        }
    }
    if (help) return {0, kUsage, Text()};
    if (logs.size() != 1) return {2, Text(), u"dismora-check: name one deployment log\n" + Text(kUsage)};

    Plan plan = BuildPlan(logs[0]);
    return {plan.ExitStatus(), json ? RenderJson(plan) : RenderText(plan), Text()};
}

}  // namespace dismora::check
