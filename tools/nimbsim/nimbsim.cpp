// nimbsim: boots the driver on a simulated PC and uses the disk through it.
#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <unistd.h>

#include "seam/nimb_driver.h"
#include "seam/nimb_image_driver.h"
#include "sim/host/disk_client.h"
#include "sim/host/scsi_port_host.h"
#include "sim/machine/simulated_pc.h"
#include "tools/bench/bench.h"
#include "tools/nimbsim/boot_diagnosis.h"
#include "tools/nimbsim/cli_options.h"
#include "tools/nimbsim/commands.h"
#include "tools/nimbsim/report.h"
#include "tools/nimbsim/soak_command.h"
#include "tools/serve/serve_command.h"

namespace nimbsim {
namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitNoAdapter = 3;

using serve::runServe;

int run(const Options& options)
{
    if (options.command == "soak") return runSoak(options);
    if (options.command == "bench") return bench::runBench(options.pc.driver);
    sim::SimulatedPc pc(options.pc);
    const sim::BootReport& boot = pc.boot();
    if (options.command == "info" && !options.quiet && !options.json)
        printRegistration(std::cout, pc);
    if (!boot.adapterFound) {
        std::cerr << describeNoAdapter(diagnoseNoAdapter(pc), boot.portsTried);
        printHostViolations(std::cerr, pc);
        return kExitNoAdapter;
    }
    if (options.command == "serve") {
        int status = runServe(pc, options);
        printHostViolations(std::cerr, pc);
        return status;
    }
    Session session(pc, options);
    bool ok = session.execute();
    printHostViolations(std::cerr, pc);
    return ok ? kExitOk : kExitFailed;
}

}  // namespace
}  // namespace nimbsim

int main(int argc, char** argv)
{
    using namespace nimbsim;
    try {
        Options options = parseOptions(argc, argv);
        if (options.help) {
            std::cout << usageText();
            return kExitOk;
        }
        if (options.driverPath.empty()) {
            options.pc.driver = seam::nimbDriver();
        } else {
            std::string error;
            if (!seam::loadImageDriver(options.driverPath, options.trapPortIo, options.pc.driver,
                                       error)) {
                std::cerr << "nimbsim: " << error << "\n";
                return kExitUsage;
            }
        }
        return run(options);
    } catch (const UsageError& e) {
        if (*e.what()) std::cerr << "nimbsim: " << e.what() << "\n\n";
        std::cerr << usageText();
        return kExitUsage;
    } catch (const std::invalid_argument& e) {
        // Input the simulated PC cannot be built from (an image file that
        // is not whole sectors): nothing was run and nothing was changed.
        std::cerr << "nimbsim: " << e.what() << "\n";
        return kExitUsage;
    } catch (const std::exception& e) {
        std::cerr << "nimbsim: " << e.what() << "\n";
        return kExitFailed;
    }
}
