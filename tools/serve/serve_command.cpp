#include "tools/serve/serve_command.h"

#include <signal.h>

#include <csignal>
#include <iostream>

#include "sim/ata/disk_image.h"
#include "sim/host/scsi_port_host.h"
#include "tools/serve/iscsi_server.h"
#include "tools/serve/scsi_front_end.h"

namespace serve {

namespace {

volatile std::sig_atomic_t gStop = 0;

void onStopSignal(int) { gStop = 1; }

void catchStopSignals()
{
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no restart: the wait in poll() ends at once
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

}  // namespace

int runServe(sim::SimulatedPc& pc, const nimbsim::Options& options)
{
    ScsiFrontEnd frontEnd(pc);
    TargetBackend backend;
    backend.targetName = kTargetName;
    backend.execute = [&frontEnd, &pc](const std::vector<uint8_t>& cdb,
                                  const std::vector<uint8_t>& dataOut, uint32_t expectedIn) {
        ScsiOutcome outcome = frontEnd.execute(cdb, dataOut, expectedIn);
        // Served for as long as the tool runs: nothing of a finished command
        // stays behind in the host.
        pc.host().forgetFinished();
        return outcome;
    };
    backend.taskManagement = [&frontEnd](TaskFunction f) { return frontEnd.taskManagement(f); };
    uint16_t sessions = 0;
    backend.newSession = [&sessions] {
        if (++sessions == 0) ++sessions;
        return sessions;
    };

    IscsiServer server(backend);
    std::string error;
    if (!server.listen(options.listen ? *options.listen : kDefaultListen, error)) {
        std::cerr << "nimbsim: " << error << "\n";
        return 2;
    }
    backend.targetAddress = server.address() + ",1";
    gStop = 0;
    catchStopSignals();
    std::cout << "serving " << kTargetName << " LUN 0 on " << server.address() << "\n"
              << std::flush;
    server.run(gStop, options.quiet ? nullptr : &std::cerr);
    // Every command has completed; what they wrote goes to stable storage.
    if (!pc.image().flush()) {
        std::cerr << "nimbsim: the disk image could not be flushed\n";
        return 1;
    }
    if (!options.quiet)
        std::cout << "stopped after " << server.connectionsServed() << " connection(s)\n";
    return 0;
}

}  // namespace serve
