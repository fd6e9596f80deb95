// An unidentified chipset with an index/data pair at ports 0x22/0x23.
//
// Protocol: a write to 0x22 selects a register, 0x23 reads and writes it
// (256 registers of storage, power-on 0x00 except register 0x21 = 0x10).
// A read of 0x22 gives the chipset's status byte: 0x3C with bit 0 flipping
// on every read (a free-running status), so two reads of 0x22 never agree.
// Nothing in it changes the parallel port.
// Faults: WrongAnswer - the status byte does not flip (0x3C every read).
#ifndef SIM_CHIPS_INDEXED_CHIPSET22_H
#define SIM_CHIPS_INDEXED_CHIPSET22_H

#include <array>

#include "sim/chips/chip_model.h"

namespace sim {

class IndexedChipset22 : public ChipModel {
public:
    static constexpr uint16_t kIndexPort = 0x22, kDataPort = 0x23;

    explicit IndexedChipset22(ChipFault fault = ChipFault::None);

    std::string name() const override { return "0x22/0x23 chipset"; }
    bool decodes(uint16_t port) const override { return port == kIndexPort || port == kDataPort; }
    uint8_t read8(uint16_t port) override;
    void write8(uint16_t port, uint8_t value) override;
    RegisterMap registers() const override;

    uint8_t reg(uint8_t index) const { return regs_[index]; }
    uint8_t index() const { return index_; }

private:
    uint8_t index_ = 0;
    bool toggle_ = false;
    std::array<uint8_t, 256> regs_{};
};

}  // namespace sim

#endif  // SIM_CHIPS_INDEXED_CHIPSET22_H
