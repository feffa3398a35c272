// What lives for the whole process: start-up values, the log reader and its header, the
// protected folders, the removal list and the other values the steps share. The driver's
// own record: each step below it is handed only the values it uses.
#pragma once

#include <vector>

#include "actions/event_sink.h"
#include "actions/file_removal.h"
#include "actions/removal_list.h"
#include "driver/command_line.h"
#include "driver/progress_meter.h"
#include "driver/uninstall_lock.h"
#include "environment/files.h"
#include "environment/looked_up.h"
#include "environment/text.h"
#include "environment/well_known_folders.h"
#include "log/header.h"
#include "log/log_reader.h"
#include "platform/unique_handle.h"
#include "platform/win_api.h"

namespace dismora {

struct Run {
    Text own_path;
    std::vector<Text> arguments;  // argument 1 onwards
    Text log_path;
    // The open log as the file system names it and what identifies it, whatever spelling
    // reached it: the journal and the lock are keyed to these.
    Text log_name;
    TFileIdentity log_identity;
    bool own_path_known = false;  // false when it did not fit the buffer
    bool silent = false;
    bool temp_mode = false;
    TSwitches switches;
    TRemovalFlags removal;  // of the listed files and the log

    THeader header;
    LogReader log;
    WellKnownFolders folders;
    RemovalList removal_list;
    TLookedUpFunctions looked_up;
    EventSink events;  // the record of the run, when /log= asked for one
    ProgressMeter progress;
    // Held by the instance that does the work until the process ends.
    UninstallLock lock;
    // With /wait, the first instance waiting for this copy, and its file: it is ended with
    // the outcome once the run is complete.
    UniqueProcessHandle waiter;
    Text waiter_image;
    bool waiter_listed = false;  // the log lists its file: it goes once the waiter has ended
    bool complete = false;       // the uninstall ran to its end: the final message is due
    Text finish_command;         // a run that could not finish: what finishes it

    Text Caption() const;
    // A waited silent run shows no box at all: nobody may be there to answer it.
    [[nodiscard]] bool Quiet() const { return switches.wait && silent; }
};

}  // namespace dismora
