#include "support/test_ata_device.h"

namespace sim {

void TestAtaDevice::loadReadData(const std::vector<uint8_t>& bytes)
{
    readBuffer_ = bytes;
    if (readBuffer_.size() & 1) readBuffer_.push_back(0);
    readPos_ = 0;
}

void TestAtaDevice::expectWriteData(size_t bytes)
{
    written_.clear();
    writeExpected_ = (bytes + 1) & ~static_cast<size_t>(1);
}

bool TestAtaDevice::drq() const
{
    return readPos_ < readBuffer_.size() || written_.size() < writeExpected_;
}

uint8_t TestAtaDevice::readRegister(uint8_t reg)
{
    if (reg == 7 || reg == 8) {
        if (reg == 7) {
            ++statusReads_;
            irq_ = false;
        }
        return static_cast<uint8_t>(drq() ? status_ | kStatusDrq : status_ & ~kStatusDrq);
    }
    return regs_[reg & 7];
}

void TestAtaDevice::writeRegister(uint8_t reg, uint8_t value)
{
    if (reg == 7) {
        command_ = value;
    } else if (reg == 8) {
        if ((deviceControl_ & 0x04) && !(value & 0x04)) ++resets_;
        deviceControl_ = value;
    } else {
        regs_[reg & 7] = value;
    }
}

uint16_t TestAtaDevice::readData()
{
    ++dataReads_;
    if (readPos_ >= readBuffer_.size()) {
        ++underruns_;
        return 0xFFFF;
    }
    uint16_t word = static_cast<uint16_t>(readBuffer_[readPos_] | (readBuffer_[readPos_ + 1] << 8));
    readPos_ += 2;
    return word;
}

void TestAtaDevice::writeData(uint16_t word)
{
    ++dataWrites_;
    if (written_.size() >= writeExpected_) {
        ++underruns_;
        return;
    }
    written_.push_back(static_cast<uint8_t>(word));
    written_.push_back(static_cast<uint8_t>(word >> 8));
}

}  // namespace sim
