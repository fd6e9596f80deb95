// A minimal ATA device for link tests: task-file registers 1-6 are plain
// latches, register 7 reads a fixed status (with DRQ added while the data
// buffer has words to give or take) and latches the command written, and
// register 8 reads the same status without side effects and latches device
// control. The data register reads words from a loaded buffer and collects
// written words while a write is expected. Reading status (7) clears the
// interrupt request; tests set it.
#ifndef TESTS_SUPPORT_TEST_ATA_DEVICE_H
#define TESTS_SUPPORT_TEST_ATA_DEVICE_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim/ata/ata_device.h"

namespace sim {

class TestAtaDevice : public AtaDevice {
public:
    static constexpr uint8_t kStatusDrq = 0x08;

    // Words the host may read: bytes in wire order (low byte first).
    void loadReadData(const std::vector<uint8_t>& bytes);
    // The host may write `bytes` bytes (rounded up to words).
    void expectWriteData(size_t bytes);
    const std::vector<uint8_t>& written() const { return written_; }

    void setStatus(uint8_t status) { status_ = status; }
    void setInterrupt(bool pending) { irq_ = pending; }
    uint8_t latch(uint8_t reg) const { return regs_[reg & 7]; }
    uint8_t lastCommand() const { return command_; }
    uint8_t deviceControl() const { return deviceControl_; }
    uint64_t dataReads() const { return dataReads_; }
    uint64_t dataWrites() const { return dataWrites_; }
    uint64_t dataUnderruns() const { return underruns_; }  // accesses with nothing due
    uint64_t statusReads() const { return statusReads_; }
    uint64_t resets() const { return resets_; }  // SRST pulses seen
    bool drq() const;

    // AtaDevice
    uint8_t readRegister(uint8_t reg) override;
    void writeRegister(uint8_t reg, uint8_t value) override;
    uint16_t readData() override;
    void writeData(uint16_t word) override;
    bool interruptRequest() override { return irq_; }

private:
    uint8_t regs_[8] = {};
    uint8_t status_ = 0x50;  // drive ready, seek complete
    uint8_t command_ = 0;
    uint8_t deviceControl_ = 0;
    bool irq_ = false;
    std::vector<uint8_t> readBuffer_;
    size_t readPos_ = 0;
    size_t writeExpected_ = 0;
    std::vector<uint8_t> written_;
    uint64_t dataReads_ = 0, dataWrites_ = 0, underruns_ = 0, statusReads_ = 0, resets_ = 0;
};

}  // namespace sim

#endif  // TESTS_SUPPORT_TEST_ATA_DEVICE_H
