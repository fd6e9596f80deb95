// The real-time clock and its CMOS memory.
//
// Protocol: port 0x70 selects a register (bits 6-0; bit 7 masks NMI and is
// kept apart), port 0x71 reads and writes the selected register. Registers
// 0x00-0x09 hold the time and date (BCD, the clock is not running in this
// model), 0x0A-0x0D the status registers (0x0C and 0x0D read-only), the
// rest is battery-backed memory. Port 0x70 reads 0xFF (write-only).
// On boards with ten-bit I/O decoding the data port also answers at 0xF073
// (a mirror of 0x71, on by default). A chipset that claims 0xF073 turns the
// mirror off (setMirrorAtF073(false)).
#ifndef SIM_CHIPS_RTC_H
#define SIM_CHIPS_RTC_H

#include <array>

#include "sim/chips/chip_model.h"

namespace sim {

class Rtc : public ChipModel {
public:
    static constexpr uint16_t kIndexPort = 0x70, kDataPort = 0x71, kMirrorPort = 0xF073;

    Rtc();

    std::string name() const override { return "RTC"; }
    bool decodes(uint16_t port) const override;
    uint8_t read8(uint16_t port) override;
    void write8(uint16_t port, uint8_t value) override;
    RegisterMap registers() const override;

    void setMirrorAtF073(bool on) { mirror_ = on; }
    bool mirrorAtF073() const { return mirror_; }
    uint8_t selectedIndex() const { return index_; }
    bool nmiMasked() const { return nmiMasked_; }
    // Direct access for chipsets that share the data strobe.
    uint8_t readRegister(uint8_t index) const { return cmos_[index & 0x7F]; }
    void writeRegister(uint8_t index, uint8_t value);

private:
    uint8_t index_ = 0x0D;
    bool nmiMasked_ = false;
    bool mirror_ = true;
    std::array<uint8_t, 128> cmos_{};
};

}  // namespace sim

#endif  // SIM_CHIPS_RTC_H
