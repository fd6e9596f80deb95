// nimbsim bench: the machines the transfer modes are measured on. Most are
// the tool's ordinary simulated PCs; read modes 6 and 7 need a port whose
// control bit 7 turns the data lines around, which no machine kind of the
// tool has, so that one is put together here from the same parts.
#ifndef TOOLS_BENCH_BENCH_RIG_H
#define TOOLS_BENCH_BENCH_RIG_H

#include <cstdint>
#include <memory>
#include <string>

#include "sim/machine/driver_image.h"
#include "sim/machine/simulated_pc.h"

namespace sim {
class DiskClient;
class DiskImage;
class NimbAdapter;
class AtaDrive;
class IoBus;
}  // namespace sim

namespace nimbsim {
namespace bench {

class BenchRig {
public:
    virtual ~BenchRig() = default;
    // Loads the driver; true when it found the adapter.
    virtual bool boot() = 0;
    virtual sim::IoBus& bus() = 0;
    virtual sim::DiskClient& disk() = 0;
    virtual sim::DiskImage& image() = 0;
    virtual sim::NimbAdapter& adapter() = 0;
    virtual sim::AtaDrive& drive() = 0;
    virtual uint16_t portBase() const = 0;
    // The port's data latch (the mode byte after a request).
    virtual uint8_t dataLatch() = 0;
};

// "byte7" names the bit-7 port built here; any other name is a machine
// kind of sim::SimulatedPc. Either loads `driver`.
std::unique_ptr<BenchRig> makeRig(const std::string& machine, const std::string& arguments,
                                  const sim::DriverImage& driver);

}  // namespace bench
}  // namespace nimbsim

#endif  // TOOLS_BENCH_BENCH_RIG_H
