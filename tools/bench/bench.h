// nimbsim bench: port accesses and modelled throughput per transfer mode.
#ifndef TOOLS_BENCH_BENCH_H
#define TOOLS_BENCH_BENCH_H

#include "sim/machine/driver_image.h"

namespace nimbsim {
namespace bench {
// Measures every mode with the driver given; prints the table and returns
// the process exit status.
int runBench(const sim::DriverImage& driver);
}  // namespace bench
}  // namespace nimbsim

#endif  // TOOLS_BENCH_BENCH_H
