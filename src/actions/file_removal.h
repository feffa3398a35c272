// Deleting files, or handing them to Windows for deletion at restart, and
// removing the folders that this leaves empty.
#pragma once

#include <vector>

#include "environment/applications.h"
#include "environment/text.h"
#include "environment/well_known_folders.h"

namespace dismora {

class EventSink;
class RemovalList;

// Where a file in use goes: moved, within its volume, into a hidden folder this run makes at
// the first need, which frees its path at once; its files and then itself are scheduled for
// deletion at restart. At the drive's root (an elevated run: a folder only Administrators and
// SYSTEM may open), or in the temporary folder, where without the rights to schedule they
// stay. A file of another volume, or none at all: the file is scheduled where it stands.
enum class Aside : unsigned char { kNone, kTemporaryFolder, kVolumeRoot };

// What the deletions left for later: something waits for the restart; a file could be
// neither deleted nor scheduled (Windows refused the scheduling); and where files in use go.
struct TRemovalFlags {
    bool reboot_pending = false;
    bool unremoved = false;
    Aside aside = Aside::kNone;
    std::uint32_t moved = 0;  // files moved aside: each takes its number into its new name
    Text holding;             // the folder this run made for them
};

// How applications that hold listed files are asked to close: the question, asked once when
// there are such applications (true: ask them), how long they are waited for in all, and the
// instance that waits for this one, which is never asked.
struct TClosing {
    bool (*ask)(void* context, const TApplications& found);
    void* context;
    win::DWORD wait_ms;
    win::DWORD spared;
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
// With closing, a file in use waits until the walk's end, when the applications that hold such
// files have been asked to close, and is tried again.
bool DeleteListedFiles(const RemovalList& list, WellKnownFolders& folders, TRemovalFlags& flags, EventSink& events,
                       TextView keep = {}, const TClosing* closing = nullptr);

// Asks Windows to delete the file at the next restart; false when Windows refused.
bool ScheduleDeleteAtRestart(const Text& path);

// Deletes what it can of the holding folders that earlier runs left where this run would
// make one for the path's volume: their files that can go, then the folders left empty.
void ClearEarlierHoldingFolders(const Text& path, const TRemovalFlags& flags);

// After the last deletion: an empty holding folder goes now; one that holds files is
// scheduled for deletion at restart, after the files in it.
void CloseHoldingFolders(const TRemovalFlags& flags);

// Removes the folder (ending with "\") and each parent while they are empty, not protected
// however they are spelled or reached, and not a junction or link.
void RemoveEmptyFolders(Text folder, WellKnownFolders& folders, EventSink& events);

}  // namespace dismora
