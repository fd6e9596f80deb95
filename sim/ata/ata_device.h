// The ATA device interface as the adapter chip sees it: the task-file
// registers, the control block, the 16-bit data register and the
// interrupt request line. The adapter model forwards its ATA registers
// here; a drive model (or a test device) sits behind it.
#ifndef SIM_ATA_ATA_DEVICE_H
#define SIM_ATA_ATA_DEVICE_H

#include <cstdint>

namespace sim {

// Register numbers on the device side of the adapter.
enum AtaRegister : uint8_t {
    kAtaData = 0,
    kAtaErrorFeatures = 1,
    kAtaSectorCount = 2,
    kAtaSectorNumber = 3,
    kAtaCylinderLow = 4,
    kAtaCylinderHigh = 5,
    kAtaDriveHead = 6,
    kAtaStatusCommand = 7,
    kAtaAltStatusDeviceControl = 8,
};

class AtaDevice {
public:
    virtual ~AtaDevice() = default;
    // Registers 1 to 8; reading 7 (status) acknowledges the interrupt,
    // reading 8 (alternate status) does not; writing 8 is device control.
    virtual uint8_t readRegister(uint8_t reg) = 0;
    virtual void writeRegister(uint8_t reg, uint8_t value) = 0;
    virtual uint16_t readData() = 0;
    virtual void writeData(uint16_t word) = 0;
    // INTRQ as the device drives it now (no side effects).
    virtual bool interruptRequest() = 0;
};

}  // namespace sim

#endif  // SIM_ATA_ATA_DEVICE_H
