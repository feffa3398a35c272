// Deleting files, or handing them to Windows for deletion at restart, and
// removing the folders that this leaves empty.
#pragma once

#include "environment/text.h"
#include "environment/well_known_folders.h"

namespace dismora {

class EventSink;
class RemovalList;

// What the deletions left for later: something waits for the restart; a file could be
// neither deleted nor scheduled (Windows refused the scheduling).
struct TRemovalFlags {
    bool reboot_pending = false;
    bool unremoved = false;
};

// The folder of a listed file whose emptied folders the clean-up climbs, ending with "\".
Text FolderToClimb(TextView path);

// Deletes the file and the folders it leaves empty; a file that cannot go now is
// scheduled for restart and sets reboot_pending. A missing file or a folder changes nothing.
// False when the file waits for the restart.
bool DeleteFileOrSchedule(const Text& path, WellKnownFolders& folders, TRemovalFlags& flags, EventSink& events);

// Deletes every listed file in list order, as DeleteFileOrSchedule would one by one, but
// offers each emptied folder to the clean-up once, after the last deletion; the folders of
// listed files already gone are offered too. A file listed
// as keep (ignoring letter case) is passed over: true when there was one.
bool DeleteListedFiles(const RemovalList& list, WellKnownFolders& folders, TRemovalFlags& flags, EventSink& events,
                       TextView keep = {});

// Asks Windows to delete the file at the next restart; false when Windows refused.
bool ScheduleDeleteAtRestart(const Text& path);

// Removes the folder (ending with "\") and each parent while they are empty, not protected
// however they are spelled or reached, and not a junction or link.
void RemoveEmptyFolders(Text folder, WellKnownFolders& folders, EventSink& events);

}  // namespace dismora
