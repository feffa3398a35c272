// The listed files are deleted with fewer Windows calls than the step-by-step rule
// (delete, then climb after every single file). This test keeps the step-by-step rule
// as the oracle and compares both on many random installations.
#include <gtest/gtest.h>

#include <random>
#include <set>

#include "actions/event_sink.h"
#include "actions/file_removal.h"
#include "actions/removal_list.h"
#include "environment/well_known_folders.h"
#include "support/installation.h"
#include "support/sim.h"
#include "support/sim_state.h"

namespace dismora {
namespace {

using sim::Machine;

void OracleClimb(Text folder, WellKnownFolders& folders) {
    while (!folder.empty() && folder.back() == u'\\') {
        if (folders.KeepsFolder(folder)) return;
        // A folder already gone (an earlier run removed it) lets the climb go on.
        if (!win::RemoveDirectoryW(folder.c_str()) && win::GetLastError() != win::ERROR_FILE_NOT_FOUND &&
            win::GetLastError() != win::ERROR_PATH_NOT_FOUND) {
            return;
        }
        folder.pop_back();
        folder = FolderPart(folder);
    }
}

void OracleDelete(const Text& path, WellKnownFolders& folders, bool& reboot_pending) {
    if (!FileExists(path)) {
        OracleClimb(FolderToClimb(path), folders);  // an earlier run may have deleted it
        return;
    }
    // A read-only file loses that attribute before it is held to be in use.
    const win::DWORD attributes = win::GetFileAttributesW(path.c_str());
    if (attributes & win::FILE_ATTRIBUTE_READONLY) win::SetFileAttributesW(path.c_str(), win::FILE_ATTRIBUTE_NORMAL);
    if (win::DeleteFileW(path.c_str())) {
        OracleClimb(FolderToClimb(path), folders);
        return;
    }
    reboot_pending = true;
    ScheduleDeleteAtRestart(path);
}

struct Installation {
    std::vector<std::u16string> listed;
};

// A random installation: folders shared with unlisted content, files missing, in use,
// read-only or listed twice, paths in other letter case or other spellings, files in
// protected folders, some reached through a junction.
Installation Build(Machine& m, std::uint32_t seed, std::vector<int>& holds) {
    std::mt19937 random(seed);
    const std::u16string bases[] = {u"C:\\Program Files\\App", u"C:\\Program Files", u"C:\\Data\\App",
                                    u"C:\\Windows\\Start Menu\\Programs\\App", u"D:\\Tools",
                                    u"C:\\Users\\Public\\Desktop", u"C:\\Old Users\\Public\\Desktop",
                                    u"C:\\Old Apps\\App"};
    m.AddDrive(u'D');
    m.CreateJunction(u"C:\\Old Users", u"C:\\Users");
    m.CreateFolder(u"C:\\Program Files\\Old");
    m.CreateJunction(u"C:\\Old Apps", u"C:\\Program Files\\Old");
    Installation install;
    std::vector<std::u16string> folders;
    for (const auto& base : bases) {
        folders.push_back(base);
        for (int i = 0; i < 3; ++i) {
            std::u16string sub = base + u"\\s" + std::u16string(1, static_cast<char16_t>(u'a' + i));
            folders.push_back(sub);
            if (random() % 2) folders.push_back(sub + u"\\deep");
        }
    }
    const int files = 5 + static_cast<int>(random() % 40);
    for (int i = 0; i < files; ++i) {
        const std::u16string& folder = folders[random() % folders.size()];
        std::u16string path = folder + u"\\f" + sim::Widen(std::to_string(i)) + u".txt";
        const unsigned kind = random() % 20;
        if (kind == 0) {
            install.listed.push_back(path);  // listed but missing
            continue;
        }
        if (kind == 1) {
            m.CreateFolder(path);  // a folder where the log names a file
            install.listed.push_back(path);
            continue;
        }
        m.WriteFile(path, "x", kind == 2 ? win::FILE_ATTRIBUTE_READONLY : win::FILE_ATTRIBUTE_ARCHIVE);
        if (kind == 3) holds.push_back(m.HoldOpen(path));
        if (kind == 4) continue;  // not listed: the folder keeps content
        std::u16string spelled = path;
        if (kind == 5) {
            for (auto& c : spelled) {
                if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
            }
        }
        install.listed.push_back(spelled);
        if (kind == 6) install.listed.push_back(path);
        if (kind >= 7 && kind < 7 + sim::kRespellings) install.listed.back() = sim::Respell(m, path, kind - 7);
    }
    std::shuffle(install.listed.begin(), install.listed.end(), random);
    return install;
}

TEST(FileRemovalDifferential, SameMachineAsTheStepByStepRule) {
    for (std::uint32_t seed = 1; seed <= 300; ++seed) {
        SCOPED_TRACE(testing::Message() << "seed " << seed);
        Machine oracle;
        Machine product;
        std::vector<int> oracle_holds;
        std::vector<int> product_holds;
        Installation install = Build(oracle, seed, oracle_holds);
        Build(product, seed, product_holds);
        bool oracle_flag = false;
        TRemovalFlags product_flags;
        oracle.Run({.command_line = u"C:\\Tests\\host.exe"}, [&] {
            WellKnownFolders folders;
            ComputeWellKnownFolders(folders);
            for (const auto& path : install.listed) OracleDelete(path, folders, oracle_flag);
        });
        product.Run({.command_line = u"C:\\Tests\\host.exe"}, [&] {
            WellKnownFolders folders;
            ComputeWellKnownFolders(folders);
            RemovalList list;
            for (const auto& path : install.listed) list.Append(path);
            EventSink events;
            DeleteListedFiles(list, folders, product_flags, events);
        });
        EXPECT_EQ(sim::ToString(sim::Diff(oracle.TakeSnapshot(), product.TakeSnapshot())), "");
        EXPECT_EQ(oracle.PendingDeletions(), product.PendingDeletions());
        EXPECT_EQ(oracle_flag, product_flags.reboot_pending);
        // Each folder is tried once; a folder the log spells in other letter cases or with
        // short names may be tried once per spelling.
        std::set<std::u16string> tried;
        for (const auto& entry : product.Trace()) {
            if (entry.function == "RemoveDirectoryW") tried.insert(sim::detail::Fold(entry.argument));
        }
        bool short_names = false;
        for (const auto& path : install.listed) short_names = short_names || path.find(u'~') != std::u16string::npos;
        if (!short_names) {
            EXPECT_LE(tried.size(), oracle.CallCount("RemoveDirectoryW"));
        }
        for (int hold : oracle_holds) oracle.ReleaseHold(hold);
        for (int hold : product_holds) product.ReleaseHold(hold);
    }
}

// A parent with many emptied subfolders is offered once, after the last of them, and a
// folder that keeps unlisted content ends the climb without its parent being tried.
TEST(FileRemovalDifferential, EachFolderOfferedOnce) {
    Machine m;
    RemovalList list;
    const std::u16string app = u"C:\\Program Files\\App";
    for (int i = 0; i < 10; ++i) {
        std::u16string leaf = app + u"\\lib\\m" + sim::Widen(std::to_string(i));
        for (int j = 0; j < 3; ++j) {
            std::u16string path = leaf + u"\\f" + sim::Widen(std::to_string(j)) + u".dll";
            m.WriteFile(path, "x", win::FILE_ATTRIBUTE_ARCHIVE);
            list.Append(path);
        }
    }
    m.WriteFile(app + u"\\keep\\user.ini", "x", win::FILE_ATTRIBUTE_ARCHIVE);
    m.WriteFile(app + u"\\keep\\a.txt", "x", win::FILE_ATTRIBUTE_ARCHIVE);
    list.Append(app + u"\\keep\\a.txt");
    TRemovalFlags reboot;
    m.Run({.command_line = u"C:\\Tests\\host.exe"}, [&] {
        WellKnownFolders folders;
        ComputeWellKnownFolders(folders);
        EventSink events;
        DeleteListedFiles(list, folders, reboot, events);
    });
    // Ten leaves and lib go, keep stays (one failed offer), App keeps keep: one more failure.
    EXPECT_EQ(m.CallCount("RemoveDirectoryW"), 13U);
    EXPECT_FALSE(m.Exists(app + u"\\lib"));
    EXPECT_TRUE(m.Exists(app + u"\\keep\\user.ini"));
    EXPECT_FALSE(reboot.reboot_pending);
}

}  // namespace
}  // namespace dismora
