// libFuzzer target: any bytes as the deployment log of a realistic installation, run
// through the whole program (start-up, confirmation, relaunch, the copy's uninstall).
// A run that changes what the log does not name, misuses Windows, leaves a handle open
// or spends more calls than its budget (a hang) is a finding, like a crash.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "support/installation.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    dismora::sim::KelvaneRun run(std::string(reinterpret_cast<const char*>(data), size));
    run.Start();
    const std::string problems = run.Problems();
    if (!problems.empty()) {
        std::fprintf(stderr, "dismora fuzz finding:\n%s", problems.c_str());
        std::fflush(stderr);
        std::abort();
    }
    return 0;
}
