// nimbsim bench: port accesses and modelled throughput per transfer mode.
#ifndef TOOLS_BENCH_BENCH_H
#define TOOLS_BENCH_BENCH_H

#include "tools/nimbsim/cli_options.h"

namespace nimbsim {
// Prints the table; returns the process exit status.
int runBench(const Options& options);
}

#endif  // TOOLS_BENCH_BENCH_H
