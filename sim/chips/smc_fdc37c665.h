// SMC FDC37C665GT / FDC37C669 Super I/O chip, register-style configuration.
//
// Configuration protocol: see SmcConfigPort (key 0x55, twice; 0xAA leaves).
// Registers (configuration mode):
//   CR00-CR0C, CR0F  read/write storage (power-on values below)
//   CR01 bit 3       parallel port mode: 1 = compatible (SPP only),
//                    0 = extended modes allowed (set up through CR04)
//   CR04 bits 1-0    extended parallel port mode: 11 = EPP and ECP
//        bit 6       EPP version 1.9 handshake
//   CR0D             identity, read-only: 0x65 (FDC37C665GT) or 0x03 (FDC37C669)
//   CR0E             revision, read-only
//   CR10-           not implemented: read 0x00, writes ignored
// The chip's parallel port makes EPP cycles when CR01 bit 3 is 0 and CR04
// has bits 0, 1 and 6 set (CR04 AND 0x43 = 0x43). Its address is strapped:
// the chip owns the port it was given. ECP modes are chosen in the port's
// ECR (base+0x402), which the parallel port model holds.
// Faults: SwitchIgnored - registers answer, EPP never reaches the port.
// WrongAnswer - CR0D reads 0x00 (the chip does not identify itself).
#ifndef SIM_CHIPS_SMC_FDC37C665_H
#define SIM_CHIPS_SMC_FDC37C665_H

#include <array>

#include "sim/chips/smc_config.h"

namespace sim {

class SmcFdc37c665 : public SmcConfigPort {
public:
    static constexpr uint8_t kKey = 0x55;
    static constexpr uint8_t kIdentity665 = 0x65, kIdentity669 = 0x03;
    static constexpr uint8_t kRegMode = 0x01, kRegExtended = 0x04, kRegIdentity = 0x0D,
                             kRegRevision = 0x0E;
    static constexpr uint8_t kModeCompatible = 0x08, kExtendedEppEcp = 0x43;

    SmcFdc37c665(PortFeatureSwitch& features, uint16_t configPort = 0x3F0,
                 uint8_t identity = kIdentity665, ChipFault fault = ChipFault::None);

    std::string name() const override;
    uint8_t reg(uint8_t index) const { return index < regs_.size() ? regs_[index] : 0; }
    bool eppEnabled() const { return eppFeature(); }

protected:
    uint8_t readRegister(uint8_t index) override;
    void writeRegister(uint8_t index, uint8_t value) override;
    void chipRegisters(RegisterMap& map) const override;
    bool eppFeature() const override;
    bool drivesEpp() const override { return true; }

private:
    uint8_t identity_;
    std::array<uint8_t, 16> regs_;
};

}  // namespace sim

#endif  // SIM_CHIPS_SMC_FDC37C665_H
