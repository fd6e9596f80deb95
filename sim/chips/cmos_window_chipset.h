// The CMOS-window chipset: configuration registers reached through a window
// at port 0xF073 that the real-time clock's index port 0x70 indexes, and a
// parallel port with the chipset's own EPP layout.
//
// Protocol:
//   - Window: after selecting register n at 0x70, port 0xF073 reads window
//     register n. A write to 0xF073 goes to window register n and, because
//     the chipset shares the clock's data strobe, also to clock register n
//     (the caller puts the clock value back through 0x71).
//   - Window register 9 is the lock: writing 0xDA unlocks the chipset's
//     extended ports, writing anything else locks them again. Power-on: 0x00
//     (locked). Window registers 4 and 7 hold 0x00 and 0x3C at power-on, so
//     the window never reads like a mirror of the clock.
//   - 0xFC72 (16-bit, or two bytes low first), unlocked: the presence word,
//     bit 0 set, bit 15 toggling on every read (it flips after the high
//     byte is read); bits 11 and 3 set as well.
//   - 0x2072 (16-bit), unlocked: the configuration word; bits 10-9 give the
//     parallel port's address: 1 = 0x3BC, 2 = 0x378, 3 = 0x278, 0 = none;
//     bit 0 set as well. 0x2072 is read-only.
//   - Locked, 0xFC72 and 0x2072 read 0xFFFF; reading them then is a violation
//     (the caller must unlock first).
//   - The port's chipset registers at base+3 and base+7 (the alternate EPP
//     layout, present from power-on): the chipset watches writes to them and
//     passes every access on to the parallel port model, which holds them.
//     The port makes EPP cycles while the last value written to +7 has bits
//     5, 4 and 1 set (AND 0x32 = 0x32) and the last value written to +3 has
//     bit 2 set. The model must be attached to the bus before the port so
//     that it sees those accesses.
// Faults: SwitchIgnored - EPP never reaches the port (the layout still does).
// WrongAnswer - bit 15 of the presence word never toggles.
#ifndef SIM_CHIPS_CMOS_WINDOW_CHIPSET_H
#define SIM_CHIPS_CMOS_WINDOW_CHIPSET_H

#include <array>

#include "sim/chips/chip_model.h"
#include "sim/chips/rtc.h"

namespace sim {

class CmosWindowChipset : public ChipModel {
public:
    static constexpr uint16_t kWindowPort = 0xF073, kPresencePort = 0xFC72,
                              kConfigPort = 0x2072;
    static constexpr uint8_t kLockRegister = 9, kUnlockKey = 0xDA;
    static constexpr uint8_t kReg7EppBits = 0x32, kReg3EppBit = 0x04, kReg7PowerOn = 0xF9;

    // portBase: 0x378, 0x278 or 0x3BC as the configuration word reports it;
    // 0 for none. portRegisters: the parallel port model (base+3 and +7 are
    // passed on to it). Turns the clock's mirror at 0xF073 off.
    CmosWindowChipset(Rtc& rtc, PortFeatureSwitch& features, IoDevice& portRegisters,
                      uint16_t portBase, ChipFault fault = ChipFault::None);

    std::string name() const override { return "CMOS-window chipset"; }
    bool decodes(uint16_t port) const override;
    uint8_t read8(uint16_t port) override;
    void write8(uint16_t port, uint8_t value) override;
    RegisterMap registers() const override;

    bool unlocked() const { return unlocked_; }
    uint8_t windowRegister(uint8_t index) const { return window_[index & 0x7F]; }
    uint8_t portRegister3() const { return reg3_; }
    uint8_t portRegister7() const { return reg7_; }
    bool eppEnabled() const { return eppFeature(); }

protected:
    bool eppFeature() const override;
    bool alternateLayoutFeature() const override { return true; }
    bool drivesEpp() const override { return true; }
    bool drivesAlternateLayout() const override { return true; }

private:
    bool portRegisterAt(uint16_t port) const;
    uint16_t configWord() const;

    Rtc& rtc_;
    IoDevice& port_;
    uint16_t portBase_;
    bool unlocked_ = false;
    bool toggle_ = false;
    std::array<uint8_t, 128> window_{};
    uint8_t reg3_ = 0x00;
    uint8_t reg7_ = kReg7PowerOn;
};

}  // namespace sim

#endif  // SIM_CHIPS_CMOS_WINDOW_CHIPSET_H
