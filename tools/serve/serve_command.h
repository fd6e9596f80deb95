// nimbsim serve: the booted machine's disk as LUN 0 of an iSCSI target.
#ifndef TOOLS_SERVE_SERVE_COMMAND_H
#define TOOLS_SERVE_SERVE_COMMAND_H

#include "sim/machine/simulated_pc.h"
#include "tools/nimbsim/cli_options.h"

namespace serve {

// The target's name, as initiators address it.
constexpr const char* kTargetName = "iqn.2026-12.sim.nimb:disk";
constexpr const char* kDefaultListen = "127.0.0.1:3260";

// Listens, prints where, serves until SIGINT or SIGTERM, and returns the
// exit status: 0 after a clean stop, 2 when it cannot listen.
int runServe(sim::SimulatedPc& pc, const nimbsim::Options& options);

}  // namespace serve

#endif  // TOOLS_SERVE_SERVE_COMMAND_H
