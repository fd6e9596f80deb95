// The master interrupt controller, as far as the host port probes see it.
//
// Ports: 0x20 command, 0x21 data. The controller is as the BIOS left it:
// initialised (ICW1 0x11 edge-triggered, cascaded, ICW4 needed; ICW2 vector
// base 0x08; ICW3 slave on line 2; ICW4 0x01 8086 mode), reads of 0x20
// giving the interrupt request register (here 0x00), 0x21 the interrupt
// mask register (read/write, 0xB8 at start).
// Writes to 0x20 with bit 4 set are initialisation command words (ICW1): as
// on the real part they clear the mask register and make the next writes
// to 0x21 the rest of the initialisation (ICW2, then ICW3 unless bit 1 says
// single, then ICW4 if bit 0 asks for it) instead of mask writes. Nothing on
// this machine may re-initialise the controller, so every ICW1 is also a
// violation. Other writes to 0x20 are operation commands and change nothing
// modelled here.
// Boards with partial address decoding mirror the pair: with mirrorAt23,
// 0x22/0x23 answer as 0x20/0x21; with mirrorAt2F, 0x2E/0x2F do. Every write
// that arrives through a mirror is counted (whatever wrote it there meant
// another chip).
// Given the bus, the model counts changes of the mask register that unmask
// a line that was masked at start while processor interrupts are enabled
// (a probe that flips the mask should do so with interrupts off).
#ifndef SIM_CHIPS_PIC_H
#define SIM_CHIPS_PIC_H

#include "sim/chips/chip_model.h"

namespace sim {

class Pic : public ChipModel {
public:
    static constexpr uint16_t kCommandPort = 0x20, kMaskPort = 0x21;
    static constexpr uint8_t kPowerOnMask = 0xB8;
    static constexpr uint8_t kIcw1 = 0x11, kVectorBase = 0x08, kIcw3 = 0x04, kIcw4 = 0x01;

    explicit Pic(IoBus* bus = nullptr, bool mirrorAt23 = false, bool mirrorAt2F = false);

    std::string name() const override { return "PIC"; }
    bool decodes(uint16_t port) const override;
    uint8_t read8(uint16_t port) override;
    void write8(uint16_t port, uint8_t value) override;
    RegisterMap registers() const override;

    uint8_t mask() const { return mask_; }
    uint8_t vectorBase() const { return icw2_; }
    bool initialising() const { return initStep_ != 0; }
    uint64_t maskWrites() const { return maskWrites_; }
    uint64_t initialisations() const { return initialisations_; }
    uint64_t mirrorWrites() const { return mirrorWrites_; }
    uint64_t unmaskedWithInterruptsEnabled() const { return unmasked_; }

private:
    enum InitStep : uint8_t { kOperating = 0, kAwaitIcw2, kAwaitIcw3, kAwaitIcw4 };

    uint16_t canonical(uint16_t port) const;
    void setMask(uint8_t value);
    void writeData(uint8_t value);
    uint8_t stepAfterIcw2() const;

    IoBus* bus_;
    bool mirror23_, mirror2F_;
    uint8_t mask_ = kPowerOnMask;
    uint8_t icw1_ = kIcw1, icw2_ = kVectorBase, icw3_ = kIcw3, icw4_ = kIcw4;
    uint8_t initStep_ = kOperating;
    uint64_t maskWrites_ = 0;
    uint64_t initialisations_ = 0;
    uint64_t mirrorWrites_ = 0;
    uint64_t unmasked_ = 0;
};

}  // namespace sim

#endif  // SIM_CHIPS_PIC_H
