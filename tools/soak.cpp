#include "tools/soak.h"

#include <iostream>

namespace nimbsim {
int runSoak(const Options&)
{
    std::cerr << "nimbsim: soak is not built yet\n";
    return 1;
}
}  // namespace nimbsim
