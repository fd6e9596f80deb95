#include "tools/nimbsim/soak_command.h"

#include <chrono>
#include <iostream>

#include "seam/nimb_driver.h"
#include "soak/fault_soak.h"

namespace nimbsim {
int runSoak(const Options& options)
{
    sim::SoakOptions soak;
    soak.driver = seam::nimbDriver();
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
    return stats.mismatches == 0 && stats.hangs == 0 ? 0 : 1;
}
}  // namespace nimbsim
