// nimbsim soak: random requests with faults injected, checked against a
// shadow copy of the disk.
#ifndef TOOLS_NIMBSIM_SOAK_COMMAND_H
#define TOOLS_NIMBSIM_SOAK_COMMAND_H

#include "tools/nimbsim/cli_options.h"

namespace nimbsim {
// Returns the process exit status (0 when no mismatch and no hang).
int runSoak(const Options& options);
}

#endif  // TOOLS_NIMBSIM_SOAK_COMMAND_H
