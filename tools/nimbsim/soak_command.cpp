#include "tools/nimbsim/soak_command.h"

#include <chrono>
#include <iostream>

#include "soak/fault_soak.h"

namespace nimbsim {
int runSoak(const Options& options)
{
    sim::SoakOptions soak;
    soak.driver = options.pc.driver;
    soak.requests = options.soakRequests;
    soak.seed = options.soakSeed;
    if (!options.quiet) soak.log = &std::cerr;
    auto begin = std::chrono::steady_clock::now();
    sim::SoakStats stats = sim::FaultSoak(soak).run();
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    if (!options.quiet) {
        std::cout << stats.detailText();
        std::cout << "  seed " << options.soakSeed << ", " << seconds << " s\n";
    }
    std::cout << stats.summaryLine() << "\n";
    // Any finding fails the run: lost or wrong data, a hang, a misuse of the
    // host, a failure without a reason, a machine that did not boot, or a
    // write the drive was not ready for that no fault explains.
    return stats.passed() ? 0 : 1;
}
}  // namespace nimbsim
