// Fuzz target: arbitrary SRBs through HwStartIo on one simulated PC booted
// once per process (see request_harness.h for the input layout and the
// rules checked). NIMB_FUZZ_ARGUMENTS, when set, is the driver's argument
// string for that boot (for instance "/di" for polling mode); with
// NIMB_FUZZ_EVENTS set a failing input also prints the host's and the
// drive's event logs.
#include <cstdio>
#include <cstdlib>

#include "fuzz/request_harness.h"

static nimb_fuzz::RequestRig& Rig()
{
    static nimb_fuzz::RequestRig* rig = [] {
        const char* arguments = std::getenv("NIMB_FUZZ_ARGUMENTS");
        auto* r = new nimb_fuzz::RequestRig(arguments ? arguments : "");
        if (!r->booted()) {
            std::fprintf(stderr, "request_path_fuzz: the driver did not boot\n");
            std::abort();
        }
        return r;
    }();
    return *rig;
}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    Rig();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string fault = Rig().run(data, size);
    if (!fault.empty()) {
        std::fprintf(stderr, "request_path_fuzz: %s\n", fault.c_str());
        if (std::getenv("NIMB_FUZZ_EVENTS")) {
            std::fprintf(stderr, "host events:\n%s\n", Rig().pc().host().eventText().c_str());
            const auto& drive = Rig().pc().drive().eventLog();
            std::fprintf(stderr, "last drive events:\n");
            for (size_t i = drive.size() > 40 ? drive.size() - 40 : 0; i < drive.size(); ++i)
                std::fprintf(stderr, "  %s\n", drive[i].c_str());
            const auto& commands = Rig().pc().drive().commandLog();
            std::fprintf(stderr, "last drive commands:\n");
            for (size_t i = commands.size() > 10 ? commands.size() - 10 : 0; i < commands.size(); ++i)
                std::fprintf(stderr, "  %s\n", sim::formatCommand(commands[i]).c_str());
        }
        std::abort();
    }
    return 0;
}
