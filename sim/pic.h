// The master interrupt controller, as far as the host port probes see it.
//
// Ports: 0x20 command (reads give the interrupt request register, here
// 0x00; writes are operation commands, an initialisation command - bit 4
// set - is a violation), 0x21 the interrupt mask register (read/write,
// power-on 0xB8). Boards with partial address decoding mirror the pair:
// with mirrorAt23, 0x22/0x23 answer as 0x20/0x21; with mirrorAt2F,
// 0x2E/0x2F do.
// Given the bus, the model counts mask writes that unmask a line that was
// masked at power-on while processor interrupts are enabled (a probe that
// flips the mask should do so with interrupts off).
#ifndef SIM_PIC_H
#define SIM_PIC_H

#include "sim/chip_model.h"

namespace sim {

class Pic : public ChipModel {
public:
    static constexpr uint16_t kCommandPort = 0x20, kMaskPort = 0x21;
    static constexpr uint8_t kPowerOnMask = 0xB8;

    explicit Pic(IoBus* bus = nullptr, bool mirrorAt23 = false, bool mirrorAt2F = false);

    std::string name() const override { return "PIC"; }
    bool decodes(uint16_t port) const override;
    uint8_t read8(uint16_t port) override;
    void write8(uint16_t port, uint8_t value) override;
    RegisterMap registers() const override;

    uint8_t mask() const { return mask_; }
    uint64_t maskWrites() const { return maskWrites_; }
    uint64_t unmaskedWithInterruptsEnabled() const { return unmasked_; }

private:
    uint16_t canonical(uint16_t port) const;

    IoBus* bus_;
    bool mirror23_, mirror2F_;
    uint8_t mask_ = kPowerOnMask;
    uint64_t maskWrites_ = 0;
    uint64_t unmasked_ = 0;
};

}  // namespace sim

#endif  // SIM_PIC_H
