// The chipset configured through ports 0x100 (index) and 0x101 (data).
//
// Protocol: a write to 0x100 selects a register (0x100 reads back the
// index); 0x101 reads and writes the selected register.
// Registers:
//   0x00-0x0F  read/write storage, except:
//   0x02       parallel port control: bits 7-4 the mode of the port at
//              0x378 (0xD = enhanced: EPP cycles; any other value standard),
//              bits 3-2 storage, bits 1-0 read 0
//   0xFF       chipset revision, read-only (0x31)
//   others     read 0xFF, writes ignored
// The port at 0x378 makes EPP cycles while register 2 holds mode 0xD (the
// driver writes 0xD0 to switch it on and 0x00 to switch it off).
// Kind::PlainLatch models a board where 0x100/0x101 are two plain latches:
// 0x101 keeps the last value written (bits 1-0 read 0) whatever the index,
// and nothing reaches the port; it must not be taken for the chipset.
// Faults: SwitchIgnored - registers answer, EPP never reaches the port.
// WrongAnswer - register 2 bits 1-0 read as written.
#ifndef SIM_CHIPS_CHIPSET_100_H
#define SIM_CHIPS_CHIPSET_100_H

#include <array>

#include "sim/chips/chip_model.h"

namespace sim {

class Chipset100 : public ChipModel {
public:
    enum class Kind { Chipset, PlainLatch };
    static constexpr uint16_t kIndexPort = 0x100, kDataPort = 0x101;
    static constexpr uint8_t kRegPort = 0x02, kRegRevision = 0xFF, kModeEnhanced = 0xD;

    explicit Chipset100(PortFeatureSwitch& features, Kind kind = Kind::Chipset,
                        ChipFault fault = ChipFault::None);

    std::string name() const override;
    bool decodes(uint16_t port) const override { return port == kIndexPort || port == kDataPort; }
    uint8_t read8(uint16_t port) override;
    void write8(uint16_t port, uint8_t value) override;
    RegisterMap registers() const override;

    Kind kind() const { return kind_; }
    uint8_t reg(uint8_t index) const { return index < regs_.size() ? regs_[index] : 0xFF; }
    bool eppEnabled() const { return eppFeature(); }

protected:
    bool eppFeature() const override;
    bool drivesEpp() const override { return kind_ == Kind::Chipset; }

private:
    Kind kind_;
    uint8_t selected_ = 0;
    uint8_t latch_ = 0;
    std::array<uint8_t, 16> regs_{};
};

}  // namespace sim

#endif  // SIM_CHIPS_CHIPSET_100_H
