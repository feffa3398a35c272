// The folders that the clean-up of emptied folders must never remove.
#pragma once

#include <vector>

#include "environment/text.h"

namespace dismora {

struct WellKnownFolders {
    // The twelve roles, in the order the clean-up compares them; each ends with "\".
    Text windows;
    Text system;
    Text windows_drive;
    Text program_files;
    Text common_files;
    Text start_menu;
    Text programs;
    Text desktop;
    Text send_to;
    Text startup;
    Text my_documents;
    Text app_data;
    // Per-user shell folders whose role an all-users folder took over: a user's
    // Desktop or Startup folder must not go just because a shortcut was its last item.
    std::vector<Text> replaced;

    // True when the folder (ending with "\") is one of the above, ignoring letter case.
    [[nodiscard]] bool IsProtected(TextView folder) const;
};

// Fills the folders from Windows, the registry and the defaults.
void ComputeWellKnownFolders(WellKnownFolders& folders);

// Equal ignoring letter case as file names compare; false when the lengths differ.
bool SameFileName(TextView a, TextView b);

}  // namespace dismora
