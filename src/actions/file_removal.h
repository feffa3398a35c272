// Deleting files, or handing them to Windows for deletion at restart, and
// removing the folders that this leaves empty.
#pragma once

#include "environment/text.h"
#include "environment/well_known_folders.h"

namespace dismora {

class RemovalList;

// The folder of a listed file whose emptied folders the clean-up climbs, ending with "\\".
Text FolderToClimb(TextView path);

// Deletes the file and the folders it leaves empty; a file that cannot go now is
// scheduled for restart and sets reboot_pending. A missing file or a folder changes nothing.
void DeleteFileOrSchedule(const Text& path, WellKnownFolders& folders, bool& reboot_pending);

// Deletes every listed file in list order, as DeleteFileOrSchedule would one by one, but
// offers each emptied folder to the clean-up once, after the last deletion.
void DeleteListedFiles(const RemovalList& list, WellKnownFolders& folders, bool& reboot_pending);

// Asks Windows to delete the file at the next restart. The outcome is not reported.
void ScheduleDeleteAtRestart(const Text& path);

// Removes the folder (ending with "\") and each parent while they are empty, not protected
// however they are spelled or reached, and not a junction or link.
void RemoveEmptyFolders(Text folder, WellKnownFolders& folders);

}  // namespace dismora
