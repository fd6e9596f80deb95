// SMC FDC37C93x Super I/O chip family, logical-device configuration.
//
// Configuration protocol: see SmcConfigPort (key 0x55, twice; 0xAA leaves).
// Global registers (configuration mode):
//   0x07  logical device number: selects the bank that 0x30-0xFF reach
//   0x20  device identity, read-only (0x30 for the family)
//   0x21  revision, read-only
//   0x00-0x2F otherwise read 0x00 (0x0D included); writes ignored
// Per logical device (0 to 9):
//   0x30  activate (bit 0)
//   0x60, 0x61  base address, high and low byte
//   0x70  interrupt
//   0xF0  mode register (device 3, the parallel port): bits 2-0
//         000 printer (SPP), 001 bidirectional, 010 ECP, 011 ECP and EPP;
//         bits 7-3 storage (EPP timing and FIFO threshold)
//   other indices read 0x00, writes ignored
// Device 3 is the parallel port owned by this chip, with its base address
// as given. Its port makes EPP cycles while device 3 is active and its mode
// register's low bits are 011. The port's ECR (base+0x402) is in the
// parallel port model.
// Faults: SwitchIgnored - registers answer, EPP never reaches the port.
// WrongAnswer - the logical device number reads 0xFF (the chip looks absent).
#ifndef SIM_CHIPS_SMC_FDC37C93X_H
#define SIM_CHIPS_SMC_FDC37C93X_H

#include <array>

#include "sim/chips/smc_config.h"

namespace sim {

class SmcFdc37c93x : public SmcConfigPort {
public:
    static constexpr uint8_t kKey = 0x55, kRegDevice = 0x07, kRegIdentity = 0x20,
                             kRegRevision = 0x21, kRegActivate = 0x30, kRegBaseHigh = 0x60,
                             kRegBaseLow = 0x61, kRegIrq = 0x70, kRegMode = 0xF0;
    static constexpr uint8_t kParallelDevice = 3, kDeviceCount = 10, kModeEcpEpp = 0x03;

    SmcFdc37c93x(PortFeatureSwitch& features, uint16_t configPort, uint16_t portBase,
                 ChipFault fault = ChipFault::None);

    std::string name() const override { return "FDC37C93x"; }
    uint8_t currentDevice() const { return device_; }
    uint8_t deviceRegister(uint8_t device, uint8_t index) const;

protected:
    uint8_t readRegister(uint8_t index) override;
    void writeRegister(uint8_t index, uint8_t value) override;
    void chipRegisters(RegisterMap& map) const override;
    bool eppFeature() const override;
    bool drivesEpp() const override { return true; }

private:
    struct Device {
        uint8_t activate = 0, baseHigh = 0, baseLow = 0, irq = 0, mode = 0;
    };
    uint8_t* deviceSlot(uint8_t index);

    uint8_t device_ = 0;
    std::array<Device, kDeviceCount> devices_{};
};

}  // namespace sim

#endif  // SIM_CHIPS_SMC_FDC37C93X_H
