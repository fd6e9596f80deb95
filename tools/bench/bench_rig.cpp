#include "tools/bench/bench_rig.h"

namespace nimbsim {
namespace bench {
namespace {

constexpr uint16_t kPort = 0x378;

sim::PcConfig configFor(const std::string& machine, const std::string& arguments, const sim::DriverImage& driver)
{
    sim::PcConfig c;
    c.driver = driver;
    c.host = machine;
    c.adapterPort = kPort;
    c.arguments = arguments;
    return c;
}

}  // namespace

BenchRig::BenchRig(const std::string& machine, const std::string& arguments, const sim::DriverImage& driver)
    : pc_(configFor(machine, arguments, driver))
{
}

uint16_t BenchRig::portBase() const { return kPort; }

std::unique_ptr<BenchRig> makeRig(const std::string& machine, const std::string& arguments,
                                  const sim::DriverImage& driver)
{
    return std::make_unique<BenchRig>(machine, arguments, driver);
}

}  // namespace bench
}  // namespace nimbsim
