// Configuration interface shared by the SMC Super I/O chips.
//
// Protocol the chip expects (index port I, data port I+1; I is 0x3F0, 0x370
// or 0xEA, strapped):
//   - Run mode: the ports belong to the floppy controller, which is not
//     modelled; they read 0xFF. Two consecutive writes of the chip's key to I
//     enter configuration mode (any other value in between starts over).
//   - Configuration mode: a write to I selects a register (I reads back the
//     selected index); I+1 reads and writes that register. A write of 0xAA
//     to I leaves configuration mode (a second 0xAA then lands in run mode,
//     where it is ignored).
//   - Strapped at 0xEA, the pair is reachable only while the bracket is
//     open: writing the key 0x00 to port 0xFB opens it, writing 0x00 to
//     port 0xF9 closes it; any other value at either port leaves the
//     bracket as it is. Outside the bracket 0xEA/0xEB are not decoded (the
//     bus reads 0xFF).
// Violations: a data-port write or a register write outside configuration
// mode.
//
// The parallel port's ECP mode register (ECR at base+0x402) belongs to the
// parallel port model, not to this chip.
#ifndef SIM_CHIPS_SMC_CONFIG_H
#define SIM_CHIPS_SMC_CONFIG_H

#include "sim/chips/chip_model.h"

namespace sim {

class SmcConfigPort : public ChipModel {
public:
    static constexpr uint8_t kExitKey = 0xAA;
    static constexpr uint16_t kBracketOpen = 0xFB, kBracketClose = 0xF9;
    static constexpr uint8_t kBracketKey = 0x00;

    SmcConfigPort(PortFeatureSwitch& features, uint16_t configPort, uint8_t key, ChipFault fault);

    bool decodes(uint16_t port) const override;
    uint8_t read8(uint16_t port) override;
    void write8(uint16_t port, uint8_t value) override;
    RegisterMap registers() const override;

    uint16_t configPort() const { return index_; }
    uint8_t key() const { return key_; }
    bool inConfigMode() const { return mode_ == Mode::Config; }
    bool bracketOpen() const { return bracketOpen_; }
    uint64_t configEntries() const { return entries_; }

protected:
    virtual uint8_t readRegister(uint8_t index) = 0;
    virtual void writeRegister(uint8_t index, uint8_t value) = 0;
    virtual void chipRegisters(RegisterMap& map) const = 0;

private:
    enum class Mode { Run, KeySeen, Config };
    bool bracketed() const { return index_ == 0xEA; }
    void writeIndex(uint8_t value);

    uint16_t index_;
    uint8_t key_;
    Mode mode_ = Mode::Run;
    uint8_t selected_ = 0;
    bool bracketOpen_ = false;
    uint64_t entries_ = 0;
};

}  // namespace sim

#endif  // SIM_CHIPS_SMC_CONFIG_H
