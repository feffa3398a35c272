// The folders that the clean-up of emptied folders must never remove.
#pragma once

#include <vector>

#include "environment/text.h"
#include "platform/win_api.h"

namespace dismora {

struct WellKnownFolders {
    // The twelve roles, in the order the clean-up compares them; each ends with "\". An
    // array rather than twelve members: the run builds and frees it in a loop.
    enum Role : unsigned char {
        kWindows,
        kSystem,
        kWindowsDrive,
        kProgramFiles,
        kCommonFiles,
        kStartMenu,
        kPrograms,
        kDesktop,
        kSendTo,
        kStartup,
        kMyDocuments,
        kAppData,
        kRoles
    };
    Text role[kRoles];
    // Per-user shell folders whose role an all-users folder took over: a user's
    // Desktop or Startup folder must not go just because a shortcut was its last item.
    std::vector<Text> replaced;

    // True when the folder (ending with "\") is one of the above, ignoring letter case.
    [[nodiscard]] bool IsProtected(TextView folder) const;

    // True when the clean-up must keep the folder (ending with "\"): a protected folder
    // however the path spells or reaches it, a junction or link, or a folder that can be
    // put neither in the form of its identity nor in one text. The protected folders'
    // forms are taken at the first call.
    bool KeepsFolder(const Text& folder);

    [[nodiscard]] std::size_t Count() const { return kRoles + replaced.size(); }
    [[nodiscard]] const Text& Folder(std::size_t index) const;

    bool forms_taken = false;
    Text identities;          // of the protected folders that could be opened, six units each
    std::vector<Text> forms;  // the protected folders in one text each
};

// Fills the folders from Windows, the registry and the defaults.
void ComputeWellKnownFolders(WellKnownFolders& folders);

// Equal ignoring letter case as file names compare; false when the lengths differ.
bool SameFileName(TextView a, TextView b);

}  // namespace dismora
