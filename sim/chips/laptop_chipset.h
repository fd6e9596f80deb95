// The laptop chipset: a lockable power-management register, a
// configuration index/data pair opened by a read sequence, and a
// configuration space holding the parallel port setting.
//
// Power-management register (PMR), 16 bits at port 0x22 (a 16-bit access
// at 0x22 reaches all of it; a byte access at 0x22 the low byte):
//   bit 0   1 = unlocked (read-only status)
//   bit 1   configuration sequence disable: a write, while unlocked, that
//           leaves bit 1 clear arms the unlock read sequence below once
//   bits 6-2, 14-9  storage (power-on 0x0402, bit 1 included)
//   bits 7, 15  key bits, bit 8 relock command (write-only, read 0)
// Port 0x23: a byte write is the first key step; a byte read gives the
// PMR's high byte. Unlock, in this order: write the PMR's low byte (as read)
// to 0x23; write its high byte with bit 7 set to 0x22 (byte); write the
// whole value with bit 15 set to 0x22 (16-bit). The unlock takes effect on
// the next read of 0x22, so the read after that shows bit 0 set. While
// unlocked, writes to 0x22 store the data bits; a 16-bit write with bit 8
// set relocks, again effective on the next read. While locked, any other
// write to 0x22 is ignored and restarts the key sequence.
// Configuration pair 0x24 (index, reads back) / 0x25 (data): reachable after
// the unlock read sequence - reads of 0xFC23, 0xF023, 0xC023, 0x0023,
// 0xFFFB, 0xFFFF, 0xFFFD, 0xFFF9 in this order with nothing else of this
// chip's between them - provided the sequence was armed through PMR bit 1.
// It stays reachable until the PMR is relocked or 0xF9 is written. Outside
// that, 0x24/0x25 read 0xFF and a write is a violation. Registers:
//   0x61    bit 3 configuration space decode, bit 0 parallel port
//           bidirectional; others storage
//   0xFA    configuration space location: 0x01 = index/data at 0xAE/0xAF
//   others  storage
// Configuration space: a write to 0xFB opens it when register 0x61 bit 3 is
// set, register 0xFA is 0x01 and the port block is powered (0x705 bit 0,
// below); otherwise the write does nothing. A write
// to 0xF9 closes it (and the configuration pair). While open, 0xAE is the index
// (reads back) and 0xAF the data of the space's registers 0x00-0x0F:
//   0x02    parallel port setting: bit 7 extended port, bit 6 EPP,
//           bits 5-4 its address (01 0x378, 10 0x278, 11 0x3BC);
//           0xD0 = EPP at 0x378, 0xE0 = EPP at 0x278, 0x00 = standard
// While closed, 0xAE/0xAF are not this chip's: they read 0xFF, or with
// latchAtAE another board register at 0xAE keeps what is written to it.
// Port 0x705: parallel port power control, read/write, power-on 0x00.
// Bit 0 powers the chipset's parallel port block: while it is clear the
// configuration space does not open (nor answer, if it was open: 0xAE/0xAF
// then read as closed) and the port's EPP is off; the space's registers
// keep their values and take effect again when power returns. The port's
// standard registers work either way.
// The port makes EPP cycles while the block is powered and register 2 has
// bits 7 and 6 set and selects the address of the port the chipset owns;
// its data lines turn around while register 0x61 bit 0 is set.
// Faults: SwitchIgnored - registers answer, the port's features never
// change. WrongAnswer - 0xAE does not read back the index in the space.
#ifndef SIM_CHIPS_LAPTOP_CHIPSET_H
#define SIM_CHIPS_LAPTOP_CHIPSET_H

#include <array>

#include "sim/chips/chip_model.h"

namespace sim {

class LaptopChipset : public ChipModel {
public:
    static constexpr uint16_t kPmrPort = 0x22, kKeyPort = 0x23, kCfgIndex = 0x24,
                              kCfgData = 0x25, kSpaceIndex = 0xAE, kSpaceData = 0xAF,
                              kSpaceOpen = 0xFB, kSpaceClose = 0xF9, kEnablePort = 0x705;
    static constexpr uint16_t kPmrUnlocked = 0x0001, kPmrHidden = 0x0002, kPmrKeyLow = 0x0080,
                              kPmrRelock = 0x0100, kPmrKeyHigh = 0x8000;
    static constexpr uint16_t kPmrData = 0x7E7E;
    static constexpr uint8_t kReg61 = 0x61, kRegFA = 0xFA, kSpacePort = 0x02, kPortPower = 0x01;
    static const std::array<uint16_t, 8> kUnlockReads;

    LaptopChipset(PortFeatureSwitch& features, uint16_t portBase, bool latchAtAE = false,
                  ChipFault fault = ChipFault::None);

    std::string name() const override { return "laptop chipset"; }
    bool decodes(uint16_t port) const override;
    uint8_t read8(uint16_t port) override;
    void write8(uint16_t port, uint8_t value) override;
    uint16_t read16(uint16_t port) override;
    void write16(uint16_t port, uint16_t value) override;
    RegisterMap registers() const override;

    bool unlocked() const { return unlocked_; }
    uint16_t pmr() const { return pmrRead(); }
    bool pairOpen() const { return pairOpen_; }
    bool spaceOpen() const { return spaceOpen_ && portPowered(); }
    bool portPowered() const { return (enable705_ & kPortPower) != 0; }
    uint8_t configRegister(uint8_t index) const { return config_[index]; }
    uint8_t spaceRegister(uint8_t index) const { return space_[index & 0x0F]; }
    uint64_t unlockSequences() const { return sequences_; }
    bool eppEnabled() const { return eppFeature(); }
    bool bidirectionalEnabled() const { return bidirectionalFeature(); }

protected:
    bool eppFeature() const override;
    bool bidirectionalFeature() const override;
    bool drivesEpp() const override { return true; }
    bool drivesBidirectional() const override { return true; }

private:
    enum class Pending { None, Unlock, Lock };
    uint16_t pmrRead() const { return static_cast<uint16_t>(pmr_ | (unlocked_ ? 1 : 0)); }
    uint16_t readPmr();  // a read of 0x22: applies a pending change afterwards
    void writePmr16(uint16_t value);
    void writePmr8(uint8_t value);
    void sequenceAccess(uint16_t port, bool read);
    void openSpace();
    void lock();

    uint16_t portBase_;
    bool latchAtAE_;
    uint16_t pmr_ = 0x0402;
    bool unlocked_ = false;
    Pending pending_ = Pending::None;
    int keyStep_ = 0;
    bool armed_ = false;
    size_t sequence_ = 0;
    uint64_t sequences_ = 0;
    uint8_t enable705_ = 0x00;
    bool pairOpen_ = false;
    uint8_t cfgIndex_ = 0;
    std::array<uint8_t, 256> config_{};
    bool spaceOpen_ = false;
    uint8_t spaceIndex_ = 0;
    std::array<uint8_t, 16> space_{};
    uint8_t latchAE_ = 0x00;
};

}  // namespace sim

#endif  // SIM_CHIPS_LAPTOP_CHIPSET_H
