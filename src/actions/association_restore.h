// The association section: puts back the file-type values an installer overwrote.
#pragma once

#include "platform/win_api.h"

namespace dismora {

class EventSink;
class LogReader;

// Walks the association section under the classes root, restoring or removing the
// description, icon and verb commands that still hold what the installer wrote.
void RestoreFileAssociations(LogReader& log, win::HKEY classes_root, EventSink& events);

}  // namespace dismora
