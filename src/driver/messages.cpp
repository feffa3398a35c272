#include "driver/messages.h"

#include "environment/privilege.h"

namespace dismora {

namespace {

const char16_t kProgramCaption[] = u"Dismora";
constexpr std::uint32_t kNamedApplications = 10;  // named in the box; the others counted
// The fixed texts are kept as ASCII, half the bytes, and widened where they are shown.
const char kCannotOpenLog[] = "Cannot open the deployment log %s which is needed to perform the uninstallation";
const char kUsage[] =
    "Dismora " DISMORA_VERSION "\r\r"
    "dismora.exe [log] [switches]\r"
    "log:\tthe deployment log, by default Kelvane.log beside dismora.exe; a path with blanks needs quotes\r\r"
    "/silent, /s, /quiet\tno question and no final message; errors are still shown\r"
    "/wait\tend when the uninstall has ended, with an exit code\r"
    "/silent /wait\tno box at all, errors included\r"
    "/log=FILE\tappend a record of the run to FILE\r"
    "/closeapps[=N]\tsilent: close the applications that use the files, waiting N s (10)\r"
    "/norestart\taccepted; Windows is never restarted\r"
    "/?\tthis text\r\r"
    "Exit codes with /wait (without it always 0):\r"
    "0\tremoved\r3010\tremoved, a restart finishes it\r1602\tcancelled\r1603\tfailed\r"
    "1618\tanother uninstall is under way\r1639\tinvalid command line\r740\tno administrator rights";

const char kInvalidArgument[] =
    "The command line argument %s is not understood.\rA path with blanks needs quotes; dismora.exe /? lists the switches.";

// Ends the run where it stands, after the message (the text with the argument for its %s),
// with the exit code of a failed install.
win::DWORD Fail(Run& run, const char* format, const Text* argument = nullptr, win::UINT style = win::MB_OK,
                win::DWORD outcome = win::ERROR_INSTALL_FAILURE) {
    Text text = FromAscii(format);
    if (argument != nullptr) text = SubstituteFirst(text, *argument);
    ShowBox(run, text, kProgramCaption, style);
    return outcome;
}

// A box captioned with the product's name, not recorded.
int ProductBox(const Run& run, const Text& text, win::UINT style) {
    return win::MessageBoxW(nullptr, text.c_str(), run.Caption().c_str(), style);
}

}  // namespace

int ShowBox(Run& run, const Text& text, const char16_t* caption, win::UINT style) {
    run.events.Line(text);
    if (run.Quiet()) return 0;
    return caption != nullptr ? win::MessageBoxW(nullptr, text.c_str(), caption, style) : ProductBox(run, text, style);
}

void ShowHelp() {
    win::MessageBoxW(nullptr, FromAscii(kUsage).c_str(), kProgramCaption, win::MB_OK | win::MB_ICONINFORMATION);
}

win::DWORD FailInvalidCommandLine(Run& run, const Text& argument) {
    return Fail(run, kInvalidArgument, &argument, win::MB_ICONERROR, win::ERROR_INVALID_COMMAND_LINE);
}

win::DWORD FailLogNotOpened(Run& run) {
    return Fail(run, kCannotOpenLog, &run.log_path, win::MB_ICONERROR);
}

win::DWORD FailLogTooNew(Run& run) {
    return Fail(run, "Cannot perform uninstall because %s is out of date", &run.own_path);
}

win::DWORD FailLogUnreadable(Run& run) {
    return Fail(run, "Error reading deployment log");
}

void ShowAdministratorMessage(Run& run) {
    ShowBox(run, SubstituteFirst(run.header.admin_text(), run.header.product_name()), nullptr,
            win::MB_OK | win::MB_ICONERROR);
}

bool PassPrivilegeGate(Run& run) {
    if (!run.header.all_users) return true;
    if (IsLuaEnabled()) return true;
    if (IsAdministrator(run.looked_up)) return true;
    ShowAdministratorMessage(run);
    return false;
}

win::DWORD TellAnotherUninstallRuns(Run& run) {
    const Text text = FromAscii("Another uninstall of this application is under way.");
    run.events.Line(text);
    if (!run.silent) ProductBox(run, text, win::MB_OK | win::MB_ICONINFORMATION);
    return win::ERROR_INSTALL_ALREADY_RUNNING;
}

bool Confirm(Run& run) {
    Text text = SubstituteFirst(run.header.confirmation_text(), run.header.product_name());
    return ProductBox(run, text, win::MB_YESNO | win::MB_ICONQUESTION | win::MB_DEFBUTTON2) == win::IDYES;
}

bool AskToCloseApplications(void* run_asking, const TApplications& found) {
    Run& run = *static_cast<Run*>(run_asking);
    if (run.silent) return true;
    Text text = FromAscii("These applications use files that are to be removed:\r");
    std::uint32_t named = 0;
    for (const TApplication* application = found.Head(); application != nullptr && named < kNamedApplications;
         application = application->next, ++named) {
        text += u'\r';
        text += application->name;
    }
    if (found.Size() > named) {
        text += u"\rand ";
        text += DecimalText(found.Size() - named);
        text += u" more";
    }
    text += FromAscii("\r\rClose them now, so that their files can be removed?");
    return ProductBox(run, text, win::MB_YESNO | win::MB_ICONQUESTION) == win::IDYES;
}

void ShowFinalMessage(Run& run) {
    Text text;
    if (!run.finish_command.empty()) {
        text = FromAscii("%s is not removed completely: a file in use could not be removed. To finish, close the "
                         "programs that use it and run:\r");
        text += run.finish_command;
    } else {
        text = run.header.completion_text();
        if (run.removal.reboot_pending) {
            text += u"\r\r";
            text += run.header.restart_text();
        }
    }
    ProductBox(run, SubstituteFirst(text, run.header.product_name()), win::MB_OK | win::MB_ICONQUESTION);
}

Text Run::Caption() const {
    return Concat({u"Dismora ", header.product_name()});
}

}  // namespace dismora
