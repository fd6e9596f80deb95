// The stand-in linked without the driver (every object of its libraries is
// linked in, so a source that named a driver routine or record would not
// link): a machine boots whatever driver image it is handed, here one that
// registers nothing.
#include <cstdio>

#include "sim/machine/simulated_pc.h"

namespace {

constexpr ULONG kNothingRegistered = 0xC0000001u;

ULONG NTAPI registersNothing(PVOID, PVOID) { return kNothingRegistered; }

unsigned resets = 0;
void countReset() { ++resets; }

}  // namespace

int main()
{
    sim::PcConfig config;
    config.driver.entry = &registersNothing;
    config.driver.reset = &countReset;
    sim::SimulatedPc pc(config);
    const sim::BootReport& report = pc.boot();
    if (report.driverStatus != kNothingRegistered || report.adapterFound || !report.registrationStatus.empty() ||
        resets != 1) {
        std::fprintf(stderr, "boot of a driver that registers nothing: status 0x%08X, %zu registrations\n",
                     report.driverStatus, report.registrationStatus.size());
        return 1;
    }
    return 0;
}
