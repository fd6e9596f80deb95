// Helpers for the chip model tests: a port-feature switch that records what
// a chip asked for, and a stand-in for the parallel port's own registers.
#ifndef TESTS_SUPPORT_CHIP_TEST_SUPPORT_H
#define TESTS_SUPPORT_CHIP_TEST_SUPPORT_H

#include <array>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>

#include "sim/bus/io_bus.h"
#include "sim/wire/port_features.h"

namespace chiptest {

struct FakeFeatures : sim::PortFeatureSwitch {
    bool epp = false, bidirectional = false, alternate = false;
    uint16_t address = 0;
    int eppCalls = 0, bidirCalls = 0, alternateCalls = 0, addressCalls = 0;
    void setChipEpp(bool on) override { epp = on; ++eppCalls; }
    void setChipBidirectional(bool on) override { bidirectional = on; ++bidirCalls; }
    void setAlternateEppLayout(bool on) override { alternate = on; ++alternateCalls; }
    void setPortAddress(uint16_t base) override { address = base; ++addressCalls; }
};

// Registers base+0..+7 that read back as written (+7 powers on at 0xF9).
struct FakePortRegisters : sim::IoDevice {
    explicit FakePortRegisters(uint16_t base) : base(base) { regs[7] = 0xF9; }
    std::string name() const override { return "fake port"; }
    bool decodes(uint16_t port) const override { return port >= base && port < base + 8; }
    uint8_t read8(uint16_t port) override { return regs[port - base]; }
    void write8(uint16_t port, uint8_t value) override { regs[port - base] = value; }
    uint16_t base;
    std::array<uint8_t, 8> regs{};
};

// Writes (port, value) pairs in order.
inline void outs(sim::IoBus& bus, std::initializer_list<std::pair<uint16_t, uint8_t>> seq)
{
    for (const auto& o : seq) bus.out8(o.first, o.second);
}

// A bus with one chip attached; the chip's constructor takes the feature
// switch first, then `args`.
template <class Chip>
struct Rig {
    template <class... A>
    explicit Rig(A&&... args) : chip(port, std::forward<A>(args)...) { bus.attach(chip); }
    sim::Clock clock;
    sim::IoBus bus{clock};
    FakeFeatures port;
    Chip chip;
};

}  // namespace chiptest

#endif  // TESTS_SUPPORT_CHIP_TEST_SUPPORT_H
