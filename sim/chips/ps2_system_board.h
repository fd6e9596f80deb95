// The PS/2 system board's parallel port configuration.
//
// Protocol:
//   0x94   system board setup register (reads back the last value):
//          bit 7 clear (0x7F) puts the board in setup; 0xFF is normal
//          operation. The pair 0xF9 then 0xFB enters the alternate setup,
//          which also reaches the option select register.
//   0x102  programmable option select register 2, visible only in setup
//          (outside setup it reads 0xFF; a write is a violation):
//          bit 7   0 = the parallel port is bidirectional (extended mode),
//                  1 = output only (compatible)
//          bits 6-5 the port's address: 00 0x3BC, 01 0x378, 10 0x278,
//                  11 reserved
//          bit 4   parallel port enable
//          bits 3-0 storage (bit 0 system board functions enable)
//   0x96   adapter (channel slot) setup register, read/write (power-on
//          0x00): bit 3 set puts the slot in bits 2-0 in setup, and while
//          a slot is in setup the option select ports belong to that slot
//          (no card is fitted: 0x102 reads 0xFF and writes are lost), so
//          the board's register 2 is reachable only with bit 3 clear.
//          Entering the board's setup (0x94) while a slot is in setup
//          is a violation.
// The board decodes its port where bits 6-5 say while bit 4 is set: a
// write that changes them moves the port at once (setPortAddress), and
// with bit 4 clear or the reserved address the port answers nowhere; the
// port's own latches keep their values meanwhile. The port's data lines
// turn around (setChipBidirectional) while bit 7 is clear and bit 4 set.
// Faults: SwitchIgnored - registers answer, the port never turns
// bidirectional. WrongAnswer - bits 7-4 of register 2 do not store (the
// board is not recognised).
#ifndef SIM_CHIPS_PS2_SYSTEM_BOARD_H
#define SIM_CHIPS_PS2_SYSTEM_BOARD_H

#include "sim/chips/chip_model.h"

namespace sim {

class Ps2SystemBoard : public ChipModel {
public:
    static constexpr uint16_t kSetupPort = 0x94, kAdapterPort = 0x96, kPos2Port = 0x102;
    static constexpr uint8_t kSetupOn = 0x7F, kSetupOff = 0xFF, kAltFirst = 0xF9,
                             kAltSecond = 0xFB;
    static constexpr uint8_t kPosCompatible = 0x80, kPosEnable = 0x10, kSlotSetup = 0x08;

    Ps2SystemBoard(PortFeatureSwitch& features, uint16_t portBase,
                   ChipFault fault = ChipFault::None);

    std::string name() const override { return "PS/2 system board"; }
    bool decodes(uint16_t port) const override
    {
        return port == kSetupPort || port == kAdapterPort || port == kPos2Port;
    }
    uint8_t read8(uint16_t port) override;
    void write8(uint16_t port, uint8_t value) override;
    RegisterMap registers() const override;

    bool inSetup() const { return !(setup_ & 0x80) || altSetup_; }
    bool slotInSetup() const { return (adapter_ & kSlotSetup) != 0; }
    uint8_t pos2() const { return pos2_; }
    uint16_t selectedPort() const;  // what bits 6-5 select (0: reserved)
    bool bidirectionalEnabled() const { return bidirectionalFeature(); }

protected:
    bool bidirectionalFeature() const override;
    bool drivesBidirectional() const override { return true; }
    uint16_t addressFeature() const override;
    bool drivesAddress() const override { return true; }

private:
    uint8_t setup_ = kSetupOff;
    bool altArmed_ = false;
    bool altSetup_ = false;
    uint8_t pos2_;
    uint8_t adapter_ = 0x00;
};

}  // namespace sim

#endif  // SIM_CHIPS_PS2_SYSTEM_BOARD_H
