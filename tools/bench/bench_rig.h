// nimbsim bench: the machines the transfer modes are measured on, simulated
// PCs of the kinds in the table of machine kinds (read modes 6 and 7 need a
// port whose control bit 7 turns the data lines around: the "byte7" kind,
// which only the bench builds), with the adapter at 0x378 and the fixed disk.
#ifndef TOOLS_BENCH_BENCH_RIG_H
#define TOOLS_BENCH_BENCH_RIG_H

#include <cstdint>
#include <memory>
#include <string>

#include "sim/machine/driver_image.h"
#include "sim/machine/simulated_pc.h"

namespace nimbsim {
namespace bench {

class BenchRig {
public:
    BenchRig(const std::string& machine, const std::string& arguments, const sim::DriverImage& driver);

    // Loads the driver; true when it found the adapter.
    bool boot() { return pc_.boot().adapterFound; }
    sim::IoBus& bus() { return pc_.bus(); }
    sim::DiskClient& disk() { return pc_.disk(); }
    sim::DiskImage& image() { return pc_.image(); }
    sim::NimbAdapter& adapter() { return pc_.adapter(); }
    sim::AtaDrive& drive() { return pc_.drive(); }
    uint16_t portBase() const;
    // The port's data latch (the mode byte after a request).
    uint8_t dataLatch() { return pc_.dataLatch(); }

private:
    sim::SimulatedPc pc_;
};

// A rig of the machine kind `machine` that loads `driver` with the
// argument string given.
std::unique_ptr<BenchRig> makeRig(const std::string& machine, const std::string& arguments,
                                  const sim::DriverImage& driver);

}  // namespace bench
}  // namespace nimbsim

#endif  // TOOLS_BENCH_BENCH_RIG_H
