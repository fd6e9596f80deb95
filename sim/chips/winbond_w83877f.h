// Winbond W83877F-family Super I/O chip.
//
// Configuration protocol: enable port 0x250, index port 0x251, data port
// 0x252. Writing the chip's key (0x89, or 0x88 on the members strapped for
// it) to 0x250 opens the configuration registers; writing any other value
// (the driver uses 0x00) closes them. While open, 0x251 selects a register
// (and reads back the index) and 0x252 reads and writes it. While closed,
// 0x251/0x252 read 0xFF and writes to them are ignored (a probe that tries
// the other member's key first makes them; they are not violations).
// 0x250 reads 0xFF.
// Registers CR00-CR2F, all read/write; the ones with a meaning here:
//   CR00 bit 2  extended printer mode (bits 7-3, 1-0 storage)
//   CR01        storage (power-on 0x5A)
//   CR09 bit 7  EPP cycles enable (effective in extended printer mode)
// The parallel port makes EPP cycles while CR00 bit 2 and CR09 bit 7 are
// set. The port's ECR (base+0x402) belongs to the parallel port model.
// Faults: SwitchIgnored - registers answer, EPP never reaches the port.
// WrongAnswer - CR00 bit 7 does not store (the read-back test fails).
#ifndef SIM_CHIPS_WINBOND_W83877F_H
#define SIM_CHIPS_WINBOND_W83877F_H

#include <array>

#include "sim/chips/chip_model.h"

namespace sim {

class WinbondW83877f : public ChipModel {
public:
    static constexpr uint16_t kEnablePort = 0x250, kIndexPort = 0x251, kDataPort = 0x252;
    static constexpr uint8_t kCr0Extended = 0x04, kCr9Epp = 0x80;

    explicit WinbondW83877f(PortFeatureSwitch& features, uint8_t key = 0x89,
                            ChipFault fault = ChipFault::None);

    std::string name() const override { return "W83877F"; }
    bool decodes(uint16_t port) const override { return port >= kEnablePort && port <= kDataPort; }
    uint8_t read8(uint16_t port) override;
    void write8(uint16_t port, uint8_t value) override;
    RegisterMap registers() const override;

    uint8_t key() const { return key_; }
    bool open() const { return open_; }
    uint8_t reg(uint8_t index) const { return index < regs_.size() ? regs_[index] : 0; }
    bool eppEnabled() const { return eppFeature(); }

protected:
    bool eppFeature() const override;
    bool drivesEpp() const override { return true; }

private:
    uint8_t key_;
    bool open_ = false;
    uint8_t selected_ = 0;
    std::array<uint8_t, 0x30> regs_{};
};

}  // namespace sim

#endif  // SIM_CHIPS_WINBOND_W83877F_H
