// What the program says: every message box it shows, and the ends of a run that come with one.
#pragma once

#include "driver/run.h"

namespace dismora {

// MessageBoxW with no owner, or nothing (0) in a waited silent run; the text goes to the
// record either way.
int ShowBox(Run& run, const Text& text, const char16_t* caption, win::UINT style);

// The command line, the switches and the exit codes.
void ShowHelp();

// Why the run cannot start; each returns the exit code that tells it.
win::DWORD FailInvalidCommandLine(Run& run, const Text& argument);
win::DWORD FailLogNotOpened(Run& run);
win::DWORD FailLogTooNew(Run& run);
win::DWORD FailLogUnreadable(Run& run);

// Lets an all-users uninstall go on only where administrator rights are at hand or can
// be asked for; otherwise shows the administrator message and returns false.
bool PassPrivilegeGate(Run& run);

// The administrator message, also shown when both elevated starts fail.
void ShowAdministratorMessage(Run& run);

// Tells, unless silent, that another uninstall of the log is under way; the exit code 1618.
win::DWORD TellAnotherUninstallRuns(Run& run);

// The question before anything is done: true when the person answered Yes.
bool Confirm(Run& run);

// Whether the applications that hold files are asked to close: with /closeapps in a silent
// run; otherwise the person's answer (Yes by default) to a box that names them.
bool AskToCloseApplications(void* run, const TApplications& found);

// The completion text, with the restart text when something waits for the restart.
void ShowFinalMessage(Run& run);

}  // namespace dismora
