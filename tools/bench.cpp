#include "tools/bench.h"

#include <iostream>

namespace nimbsim {
int runBench(const Options&)
{
    std::cerr << "nimbsim: bench is not built yet\n";
    return 1;
}
}  // namespace nimbsim
