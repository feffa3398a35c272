// libFuzzer target for the log reader and the header alone: any bytes as a deployment log,
// its header parsed, then read to the end the ways the sections read it (lines, counts,
// skipped records), as the input's own bytes choose. Without a whole run it reaches many
// more inputs a second. A crash, a hang, or a reader that goes back or past the file's
// end is a finding.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "log/header.h"
#include "log/log_reader.h"
#include "support/sim.h"

namespace {

[[noreturn]] void Finding(const char* what) {
    std::fprintf(stderr, "dismora fuzz finding: %s\n", what);
    std::fflush(stderr);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace dismora;
    // A bare machine, made anew now and then: each run leaves its process's record behind.
    static std::unique_ptr<sim::Machine> machine;
    static unsigned runs = 0;
    if (runs++ % 1000 == 0) {
        machine.reset();
        machine = std::make_unique<sim::Machine>(sim::MachineOptions{.standard_layout = false});
    }
    static constexpr char16_t kPath[] = u"C:\\Kelvane.log";
    machine->WriteFile(kPath, std::string_view(reinterpret_cast<const char*>(data), size));
    machine->Run({.command_line = u"C:\\host.exe"}, [&] {
        LogReader log;
        if (!log.Open(kPath)) Finding("the log did not open");
        THeader header;
        ParseHeader(log, header);
        std::uint64_t line = log.LineNumber();
        std::uint64_t position = log.BytePosition();
        // Every step reads at least one line or ends the file: more steps than bytes is a hang.
        for (std::size_t step = 0; !log.AtEnd(); ++step) {
            if (step > size + 1) Finding("the reader does not reach the end");
            const std::uint8_t choice = size == 0 ? 0 : data[step % size];
            if (choice % 4 == 0) {
                static_cast<void>(log.ReadCount());
            } else if (choice % 4 == 1) {
                log.SkipLines(1 + choice % 3);
            } else {
                static_cast<void>(log.ReadLine());
            }
            if (log.LineNumber() < line || log.BytePosition() < position) Finding("the reader went back");
            if (log.BytePosition() > size) Finding("the reader went past the end");
            line = log.LineNumber();
            position = log.BytePosition();
        }
    });
    return 0;
}
