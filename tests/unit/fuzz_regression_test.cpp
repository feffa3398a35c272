// The fuzz target's kept inputs and past findings, replayed through the same whole run in
// the ordinary test build: what the fuzzer once learned stays checked on every build.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "support/installation.h"

namespace dismora {
namespace {

namespace fs = std::filesystem;

// fuzz/ at the top of the source tree, found from this file's place in it.
fs::path FuzzFolder() { return fs::path(__FILE__).parent_path().parent_path().parent_path() / "fuzz"; }

std::vector<fs::path> InputsIn(const fs::path& folder) {
    std::vector<fs::path> files;
    if (!fs::is_directory(folder)) return files;
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.is_regular_file()) files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    return files;
}

TEST(FuzzRegressions, EveryKeptInputRunsClean) {
    std::size_t replayed = 0;
    for (const char* kind : {"corpus", "regressions"}) {
        const auto inputs = InputsIn(FuzzFolder() / kind);
        EXPECT_FALSE(inputs.empty()) << (FuzzFolder() / kind).string();
        for (const fs::path& input : inputs) {
            SCOPED_TRACE(input.filename().string());
            std::ifstream file(input, std::ios::binary);
            std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
            sim::KelvaneRun run(bytes);
            run.Start();
            EXPECT_EQ(run.Problems(), "");
            ++replayed;
        }
    }
    // The seeds alone are a log of every format version and then some.
    EXPECT_GE(replayed, 10u);
}

}  // namespace
}  // namespace dismora
