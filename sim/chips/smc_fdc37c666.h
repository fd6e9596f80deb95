// SMC FDC37C666GT Super I/O chip.
//
// Configuration protocol: as SmcConfigPort, but the chip's key is 0x44
// (written twice); the key 0x55 of its relatives does nothing, so under it
// every register (identity and logical-device number included) reads 0xFF.
// Registers (configuration mode):
//   0x0D  identity, read-only: 0x66
//   0x0E  revision, read-only
//   others 0x00-0x0F read/write storage; 0x10- read 0x00
// The chip's parallel port is EPP-capable from power-on (a strap): nothing
// has to be written; EPP cycles run once the port's ECR selects EPP mode.
// Faults: SwitchIgnored - the strap is off, the port never makes EPP cycles.
// WrongAnswer - the identity reads 0x06.
#ifndef SIM_CHIPS_SMC_FDC37C666_H
#define SIM_CHIPS_SMC_FDC37C666_H

#include <array>

#include "sim/chips/smc_config.h"

namespace sim {

class SmcFdc37c666 : public SmcConfigPort {
public:
    static constexpr uint8_t kKey = 0x44, kIdentity = 0x66, kRegIdentity = 0x0D,
                             kRegRevision = 0x0E;

    SmcFdc37c666(PortFeatureSwitch& features, uint16_t configPort = 0x3F0,
                 ChipFault fault = ChipFault::None);

    std::string name() const override { return "FDC37C666GT"; }

protected:
    uint8_t readRegister(uint8_t index) override;
    void writeRegister(uint8_t index, uint8_t value) override;
    void chipRegisters(RegisterMap& map) const override;
    bool eppFeature() const override { return fault() != ChipFault::SwitchIgnored; }
    bool drivesEpp() const override { return true; }

private:
    std::array<uint8_t, 16> regs_{};
};

}  // namespace sim

#endif  // SIM_CHIPS_SMC_FDC37C666_H
