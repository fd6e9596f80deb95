// A simulated machine for adapter detection and host port setup: clock,
// I/O bus, one parallel port with the NIMB adapter (and a register-file ATA
// device behind it, or nothing), and whatever host chips a test attaches.
#ifndef TESTS_ADAPTER_RIG_H
#define TESTS_ADAPTER_RIG_H

#include <memory>
#include <utility>
#include <vector>

#include "adapter/adapter.h"
#include "hostport/hostport.h"
#include "link/link.h"
#include "miniport/parameters.h"
#include "miniport/request.h"
#include "sim/ata/ata_device.h"
#include "sim/bus/platform_port_io.h"
#include "sim/chips/chip_model.h"
#include "sim/wire/nimb_adapter.h"
#include "sim/wire/parallel_port.h"

// An ATA device that only holds its task-file registers: enough for the
// register echo and the drive select of detection.
class RegisterFileAta : public sim::AtaDevice {
public:
    uint8_t readRegister(uint8_t reg) override { return reg == 7 || reg == 8 ? 0x50 : regs[reg & 7]; }
    void writeRegister(uint8_t reg, uint8_t value) override
    {
        if (reg < 8) regs[reg] = value;
    }
    uint16_t readData() override { return 0; }
    void writeData(uint16_t) override {}
    bool interruptRequest() override { return false; }
    uint8_t regs[8] = {};
};

struct AdapterRigOptions {
    uint16_t base = 0x378;
    sim::ParallelPortKind kind = sim::ParallelPortKind::Epp;
    bool eppEnabled = true;
    bool bidirectional = true;
    bool adapterPresent = true;
};

inline sim::ParallelPortConfig RigPortConfig(const AdapterRigOptions& o)
{
    sim::ParallelPortConfig c;
    c.base = o.base;
    c.kind = o.kind;
    c.eppEnabled = o.eppEnabled;
    c.bidirectionalEnabled = o.bidirectional;
    return c;
}

class AdapterRig {
public:
    explicit AdapterRig(AdapterRigOptions o = {})
        : port(clock, RigPortConfig(o)), adapter(clock)
    {
        DriverImageReset();
        adapter.attachDevice(&ata);
        if (o.adapterPresent) adapter.attachTo(port);
        sim::bindPlatformBus(&bus);
    }
    ~AdapterRig() { sim::bindPlatformBus(nullptr); }

    // The parallel port goes on the bus last, so that a chip snooping its
    // registers sees them first.
    void start() { bus.attach(port); }

    template <class Chip, class... Args>
    Chip& addChip(Args&&... args)
    {
        auto chip = std::make_unique<Chip>(std::forward<Args>(args)...);
        Chip& ref = *chip;
        bus.attach(ref);
        chips.push_back(std::move(chip));
        return ref;
    }

    sim::Clock clock;
    sim::IoBus bus{clock};
    sim::ParallelPort port;
    sim::NimbAdapter adapter;
    RegisterFileAta ata;
    std::vector<std::unique_ptr<sim::IoDevice>> chips;
};

#endif  // TESTS_ADAPTER_RIG_H
