#include "sim/wire/nimb_adapter.h"

#include <cstdarg>
#include <cstdio>

namespace sim {

namespace {

constexpr uint8_t kWakePattern[5] = {0xA0, 0x50, 0xC0, 0x30, 0xA0};

// Chunk budget by the code in register 0x84 bits 0-2.
constexpr uint32_t kChunkBytes[8] = {0x200, 2, 0x20, 0x800, 0x1000, 0x2000, 0x4000, 0x8000};

}  // namespace

NimbAdapter::NimbAdapter(Clock& clock) : clock_(clock) {}

const char* NimbAdapter::phaseName(Phase phase)
{
    switch (phase) {
    case Phase::Asleep: return "asleep";
    case Phase::Idle: return "idle";
    case Phase::Latched: return "address latched";
    case Phase::NibbleRegisterRead: return "nibble register read";
    case Phase::FiveThreeRegisterRead: return "five-plus-three register read";
    case Phase::ByteRegisterRead: return "byte register read";
    case Phase::RegisterWrite: return "register write";
    case Phase::Echo: return "echo";
    case Phase::NibbleBlock: return "nibble block read";
    case Phase::FiveThreeBlock: return "five-plus-three block read";
    case Phase::ByteBlock: return "byte block read";
    case Phase::BlockWrite: return "block write";
    case Phase::RawRead: return "raw read";
    }
    return "?";
}

uint32_t NimbAdapter::chunkBudget() const { return kChunkBytes[reg84_ & 7]; }

void NimbAdapter::corruptPatternByte(unsigned pass, unsigned index)
{
    corruptPass_ = static_cast<long>(pass);
    corruptIndex_ = index;
}

void NimbAdapter::clearViolations()
{
    violations_ = 0;
    lastViolation_.clear();
}

void NimbAdapter::violation(const char* format, ...)
{
    char text[160];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    ++violations_;
    lastViolation_ = text;
    if (logging_) events_.push_back(std::string("VIOLATION ") + text);
}

void NimbAdapter::event(const char* format, ...)
{
    if (!logging_) return;
    char text[160];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    events_.push_back(text);
}

void NimbAdapter::setPresent(bool present)
{
    if (present == present_) return;
    present_ = present;
    // Unplugged or plugged back: the chip loses power and starts asleep.
    phase_ = Phase::Asleep;
    eppMode_ = false;
    irqForward_ = false;
    resetHeld_ = false;
    reg84_ = 0;
    streamOpen_ = false;
    wakeIndex_ = 0;
    now_ = before_ = Lines{};
    event(present ? "cable connected" : "cable disconnected");
}

// ---- output lines -----------------------------------------------------------

const NimbAdapter::Lines& NimbAdapter::visible() const
{
    return clock_.now() >= validFrom_ ? now_ : before_;
}

void NimbAdapter::show(const Lines& lines)
{
    before_ = visible();
    now_ = lines;
    validFrom_ = clock_.now() + settle_;
}

void NimbAdapter::showNothing() { show(Lines{}); }

void NimbAdapter::showStatusNibble(uint8_t nibble)
{
    Lines lines;
    lines.showStatus = true;
    lines.status = static_cast<uint8_t>(((nibble & 0x0F) << 4) | 0x08);
    show(lines);
}

void NimbAdapter::showFiveThree(uint8_t value)
{
    Lines lines;
    lines.showStatus = true;
    lines.status = static_cast<uint8_t>((value & 0x1F) << 3);
    lines.controlMask = 0x0E;
    lines.control = static_cast<uint8_t>(((value >> 5) & 0x07) << 1);
    show(lines);
}

void NimbAdapter::showData(uint8_t value)
{
    Lines lines;
    lines.driveData = true;
    lines.data = value;
    show(lines);
}

uint8_t NimbAdapter::idleStatus()
{
    uint8_t status = kIdleStatus;
    if (phase_ != Phase::Asleep && (irqForward_ || eppMode_)) {
        bool irq = device_ && device_->interruptRequest();
        status = static_cast<uint8_t>(irq ? status | 0x40 : status & ~0x40);
        if (irqForward_) status = static_cast<uint8_t>(irq ? status & ~0x08 : status | 0x08);
    }
    return status;
}

uint8_t NimbAdapter::statusLines()
{
    if (!present_) return 0xFF;
    const Lines& lines = visible();
    return lines.showStatus ? lines.status : idleStatus();
}

bool NimbAdapter::dataLines(uint8_t& value)
{
    if (!present_) return false;
    const Lines& lines = visible();
    if (!lines.driveData) return false;
    value = lines.data;
    return true;
}

uint8_t NimbAdapter::controlLines(uint8_t& value)
{
    if (!present_) return 0;
    const Lines& lines = visible();
    value = lines.control;
    return lines.controlMask;
}

// ---- host lines -------------------------------------------------------------

void NimbAdapter::hostDataChanged(uint8_t data)
{
    previousData_ = data_;
    data_ = data;
    dataSince_ = clock_.now();
    if (!present_) return;
    if ((control_ & 0x0F) == 0x04) wakeMatch(data);
    // Nibble and five-plus-three blocks close when the host clears the data
    // lines; later control changes are no clocks.
    if (data == 0x00 && (phase_ == Phase::NibbleBlock ||
                         (phase_ == Phase::FiveThreeBlock && step_ == 1))) {
        endPhase();
        return;
    }
    if (phase_ == Phase::Echo)
        showStatusNibble(step_ == 0 ? (data & 0x0F) : (data >> 4));
}

void NimbAdapter::hostControlChanged(uint8_t control)
{
    uint8_t oldL = control_ & 0x0F;
    control_ = control;
    uint8_t newL = control & 0x0F;
    if (!present_ || oldL == newL) return;
    wakeIndex_ = 0;
    if (phase_ == Phase::Asleep) return;
    onLineChange(oldL, newL);
}

void NimbAdapter::wakeMatch(uint8_t data)
{
    // The first A0 may already stand on the lines when the pattern starts.
    if (wakeIndex_ == 0 && previousData_ == kWakePattern[0] && data == kWakePattern[1])
        wakeIndex_ = 1;
    if (data == kWakePattern[wakeIndex_])
        ++wakeIndex_;
    else
        wakeIndex_ = data == kWakePattern[0] ? 1 : 0;
    if (wakeIndex_ < 5) return;
    wakeIndex_ = 0;
    if (!silent_) wake();
}

void NimbAdapter::wake()
{
    if (phase_ != Phase::Asleep) endPhase();
    ++counters_.wakes;
    phase_ = Phase::Idle;
    eppMode_ = false;
    irqForward_ = false;
    reg84_ = 0;
    rawAddressValid_ = false;
    showNothing();
    event("wake");
}

void NimbAdapter::code(uint8_t x)
{
    ++counters_.codes;
    event("code 0x%02X", x);
    if (resetHeld_ && x != 0x88) {
        resetHeld_ = false;
        if (device_) device_->writeRegister(kAtaAltStatusDeviceControl, 0x00);
    }
    switch (x) {
    case 0x00:
        eppMode_ = false;
        irqForward_ = false;
        if (reg84_ & 0x10) {
            phase_ = Phase::Asleep;
            showNothing();
            event("sleep");
        }
        return;
    case 0x0A:
        eppMode_ = true;
        irqForward_ = false;
        return;
    case 0x88:
        if (!resetHeld_ && device_) device_->writeRegister(kAtaAltStatusDeviceControl, 0x04);
        resetHeld_ = true;
        return;
    case 0x90:
        irqForward_ = true;
        return;
    default:
        violation("unknown code 0x%02X", x);
        return;
    }
}

void NimbAdapter::expectData(uint8_t expected, const char* where)
{
    if (data_ != expected)
        violation("%s: data lines 0x%02X, expected 0x%02X", where, data_, expected);
}

uint8_t NimbAdapter::takeData()
{
    if (writeSetup_ && clock_.now() - dataSince_ < writeSetup_) return previousData_;
    return data_;
}

// ---- cycles -----------------------------------------------------------------

void NimbAdapter::endPhase()
{
    switch (phase_) {
    case Phase::Asleep:
    case Phase::Idle:
    case Phase::Latched:
        break;
    case Phase::NibbleBlock:
        ++counters_.blocksRead;
        if (shown_ & 1)
            violation("nibble block read ended in the middle of a byte (%u nibbles shown)", shown_);
        else if ((shown_ / 2) & 1)
            violation("nibble block read ended in the middle of a data word (%u bytes)", shown_ / 2);
        event("nibble block read, %u bytes", shown_ / 2);
        break;
    case Phase::FiveThreeBlock:
        ++counters_.blocksRead;
        if (shown_ & 1)
            violation("five-plus-three block read ended in the middle of a data word (%u bytes)",
                      shown_);
        event("five-plus-three block read, %u bytes", shown_);
        break;
    default:
        violation("%s (address 0x%02X) cut off at step %u", phaseName(phase_), x_, step_);
        break;
    }
    streamOpen_ = false;
    if (phase_ != Phase::Asleep) phase_ = Phase::Idle;
    showNothing();
}

void NimbAdapter::startCycle()
{
    uint8_t xp = static_cast<uint8_t>(x_ ^ 0x01);
    uint8_t cls = (xp >> 3) & 0x07;
    reg_ = xp & 0x87;
    step_ = 0;
    shown_ = 0;
    switch (cls) {
    case 7:
        phase_ = Phase::NibbleRegisterRead;
        value_ = readRegister(reg_);
        showStatusNibble(value_ & 0x0F);
        return;
    case 6:
        phase_ = Phase::FiveThreeRegisterRead;
        expectData(x_ & 0x7F, "five-plus-three register read");
        value_ = readRegister(reg_);
        return;
    case 5:
        phase_ = Phase::ByteRegisterRead;
        value_ = readRegister(reg_);
        showData(value_);
        return;
    case 3:
        phase_ = Phase::RegisterWrite;
        writeRegister(reg_, takeData());
        return;
    default:
        break;
    }
    if (reg_ == 0x81 && cls == 0) {
        phase_ = Phase::Echo;
        ++counters_.echoCycles;
        showStatusNibble(data_ & 0x0F);
        return;
    }
    if (reg_ != 0x80 || cls == 7) {
        violation("address byte 0x%02X selects no cycle", x_);
        phase_ = Phase::Idle;
        return;
    }
    switch (cls) {
    case 0:
        phase_ = Phase::NibbleBlock;
        openStream(false);
        byte_ = streamReadByte(true);
        showStatusNibble(byte_ & 0x0F);
        shown_ = 1;
        clockL_ = 0x03;
        clockMask_ = 0x06;
        return;
    case 2:
        phase_ = Phase::FiveThreeBlock;
        expectData(0x10, "five-plus-three block read setup");
        return;
    case 1:
        phase_ = Phase::ByteBlock;
        return;
    case 4:
        phase_ = Phase::BlockWrite;
        return;
    default:
        violation("address byte 0x%02X selects no cycle", x_);
        phase_ = Phase::Idle;
        return;
    }
}

void NimbAdapter::onLineChange(uint8_t oldL, uint8_t newL)
{
    // Address latch: aborts whatever runs.
    if (newL == 0x01 && (oldL & 0x04)) {
        if (phase_ != Phase::Idle && phase_ != Phase::Latched) endPhase();
        x_ = data_;
        phase_ = Phase::Latched;
        showNothing();
        return;
    }
    auto unexpected = [&]() {
        violation("%s (address 0x%02X): control lines 0x%X -> 0x%X out of sequence",
                  phaseName(phase_), x_, oldL, newL);
        streamOpen_ = false;
        phase_ = Phase::Idle;
        showNothing();
    };
    bool strobeEdge = (oldL ^ newL) == 0x01 && (newL | 0x01) == 0x05;
    switch (phase_) {
    case Phase::Asleep:
        return;
    case Phase::Idle:
        if (!eppMode_) return;
        if (oldL == 0x04 && newL == 0x0C) {
            rawAddress_ = data_;
            rawAddressValid_ = true;
        } else if (oldL == 0x04 && newL == 0x06) {
            if (!rawAddressValid_) {
                violation("raw read strobe without a select-in address");
                return;
            }
            if (rawAddress_ & 0x40) violation("raw read of write address 0x%02X", rawAddress_);
            uint8_t reg = (rawAddress_ & 0x80) ? static_cast<uint8_t>(0x80 | (rawAddress_ & 7))
                                               : static_cast<uint8_t>(rawAddress_ & 7);
            ++counters_.rawReads;
            phase_ = Phase::RawRead;
            showData(readRegister(reg));
        }
        return;
    case Phase::RawRead:
        rawAddressValid_ = false;
        if (oldL == 0x06 && newL == 0x04) {
            phase_ = Phase::Idle;
            showNothing();
        } else {
            unexpected();
        }
        return;
    case Phase::Latched:
        if (oldL == 0x01 && newL == 0x03) {
            startCycle();
        } else if (oldL == 0x01 && newL == 0x04) {
            phase_ = Phase::Idle;
            code(x_);
        } else {
            unexpected();
        }
        return;
    case Phase::NibbleRegisterRead:
    case Phase::Echo:
        if (step_ == 0 && oldL == 0x03 && newL == 0x01) {
            step_ = 1;
            if (phase_ == Phase::Echo)
                showStatusNibble(data_ >> 4);
            else {
                expectData(x_ | 0x40, "nibble register read");
                showStatusNibble(value_ >> 4);
            }
        } else if (step_ == 1 && oldL == 0x01 && newL == 0x04) {
            phase_ = Phase::Idle;
            showNothing();
        } else {
            unexpected();
        }
        return;
    case Phase::FiveThreeRegisterRead:
        if (step_ == 0 && oldL == 0x03 && newL == 0x05) {
            step_ = 1;
            showFiveThree(value_);
        } else if (step_ == 1 && oldL == 0x05 && newL == 0x04) {
            expectData(x_ | 0xC0, "five-plus-three register read end");
            phase_ = Phase::Idle;
            showNothing();
        } else {
            unexpected();
        }
        return;
    case Phase::ByteRegisterRead:
    case Phase::RegisterWrite:
        if (oldL == 0x03 && newL == 0x04) {
            phase_ = Phase::Idle;
            showNothing();
        } else {
            unexpected();
        }
        return;
    case Phase::NibbleBlock:
        if (newL != (clockL_ ^ clockMask_)) {
            unexpected();
            return;
        }
        if (shown_ == 1) expectData(0xC1, "nibble block read first clock");
        clockL_ = newL;
        clockMask_ ^= 0x01;
        if ((shown_ & 1) == 0) {
            byte_ = streamReadByte(true);
            showStatusNibble(byte_ & 0x0F);
        } else {
            showStatusNibble(byte_ >> 4);
        }
        ++shown_;
        return;
    case Phase::FiveThreeBlock:
        if (step_ == 0 && oldL == 0x03 && newL == 0x05) {
            expectData(0x50, "five-plus-three block read start");
            step_ = 1;
            openStream(false);
        } else if (step_ == 1 && strobeEdge) {
            if (shown_ == 1) expectData(0xD1, "five-plus-three block read first clock");
        } else {
            unexpected();
            return;
        }
        showFiveThree(streamReadByte(true));
        ++shown_;
        return;
    case Phase::ByteBlock:
        if (step_ == 0 && oldL == 0x03 && newL == 0x01) {
            step_ = 1;
        } else if (step_ == 1 && oldL == 0x01 && newL == 0x05) {
            step_ = 2;
            openStream(false);
            showData(streamReadByte(true));
            shown_ = 1;
        } else if (step_ == 2 && strobeEdge) {
            showData(streamReadByte(true));
            ++shown_;
        } else if (step_ == 2 && newL == 0x06) {
            ++counters_.blocksRead;
            if (shown_ & 1)
                violation("byte block read ended in the middle of a data word (%u bytes)", shown_);
            event("byte block read, %u bytes", shown_);
            streamOpen_ = false;
            phase_ = Phase::Idle;
            showNothing();
        } else {
            unexpected();
        }
        return;
    case Phase::BlockWrite:
        if (step_ == 0 && oldL == 0x03 && newL == 0x01) {
            step_ = 1;
        } else if (step_ == 1 && oldL == 0x01 && newL == 0x05) {
            step_ = 2;
            openStream(true);
            lowPending_ = false;
        } else if (step_ == 2 && strobeEdge && newL == 0x04) {
            if (lowPending_) violation("block write: low byte taken twice");
            lowByte_ = takeData();
            lowPending_ = true;
        } else if (step_ == 2 && strobeEdge && newL == 0x05) {
            if (!lowPending_) {
                violation("block write: high byte without a low byte");
            } else {
                uint16_t word = static_cast<uint16_t>(lowByte_ | (takeData() << 8));
                lowPending_ = false;
                shown_ += 2;
                ++streamWords_;
                counters_.blockBytesWritten += 2;
                if (!driveDrq())
                    violation("block write: drive data word %u written without DRQ",
                              streamWords_ - 1);
                else if (device_)
                    device_->writeData(word);
            }
        } else if (step_ == 2 && oldL == 0x04 && newL == 0x06) {
            ++counters_.blocksWritten;
            if (!lowPending_) violation("block write closed without the closing strobe");
            event("block write, %u bytes", shown_);
            lowPending_ = false;
            streamOpen_ = false;
            phase_ = Phase::Idle;
            showNothing();
        } else {
            unexpected();
        }
        return;
    }
}

// ---- registers and data stream ------------------------------------------------

bool NimbAdapter::driveDrq()
{
    return device_ && (device_->readRegister(kAtaAltStatusDeviceControl) & 0x08);
}

uint8_t NimbAdapter::readRegister(uint8_t reg)
{
    ++counters_.registerReads;
    uint8_t value = 0xFF;
    if (reg == 0) {
        // Register form of the data register: only while the drive offers
        // data; otherwise the bus floats.
        if (driveDrq())
            value = static_cast<uint8_t>(device_->readData());
        else
            ++counters_.dataRegisterIgnored;
    } else if (reg <= 7) {
        if (device_) value = device_->readRegister(reg);
    } else {
        switch (reg) {
        case 0x81: value = (device_ && device_->interruptRequest()) ? 0x10 : 0x00; break;
        case 0x82: value = identity_; break;
        case 0x83: value = reg83_; break;
        case 0x84: value = reg84_; break;
        case 0x86:
            if (device_) value = device_->readRegister(kAtaAltStatusDeviceControl);
            break;
        default: violation("read of unknown adapter register 0x%02X", reg); break;
        }
    }
    event("read  reg 0x%02X = 0x%02X", reg, value);
    return value;
}

void NimbAdapter::writeRegister(uint8_t reg, uint8_t value)
{
    ++counters_.registerWrites;
    event("write reg 0x%02X = 0x%02X", reg, value);
    if (reg == 0) {
        // Register form of the data register (detection writes it to drive
        // the bus high): reaches the drive only while it asks for data.
        if (driveDrq())
            device_->writeData(static_cast<uint16_t>(value | (value << 8)));
        else
            ++counters_.dataRegisterIgnored;
        return;
    }
    if (reg <= 7) {
        if (device_) device_->writeRegister(reg, value);
        return;
    }
    switch (reg) {
    case 0x83: reg83_ = value; return;
    case 0x84:
        if ((value & 0x08) && !(reg84_ & 0x08)) patternPass_ = 0;
        reg84_ = value;
        return;
    case 0x86:
        if (device_) device_->writeRegister(kAtaAltStatusDeviceControl, value);
        return;
    case 0x81:
    case 0x82: violation("write to read-only adapter register 0x%02X", reg); return;
    default: violation("write to unknown adapter register 0x%02X", reg); return;
    }
}

void NimbAdapter::openStream(bool write)
{
    streamOpen_ = true;
    streamWrite_ = write;
    streamPos_ = 0;
    streamWords_ = 0;
    streamBudget_ = chunkBudget();
    streamFromPattern_ = !write && (reg84_ & 0x08);
    if (streamFromPattern_) streamPass_ = patternPass_++;
}

uint8_t NimbAdapter::streamReadByte(bool checkDrq)
{
    if ((streamPos_ & 1) == 0) {
        if (streamFromPattern_) {
            uint8_t n = static_cast<uint8_t>(streamPos_ / 2 + 1);
            streamWord_ = static_cast<uint16_t>(n | (static_cast<uint8_t>(~n) << 8));
        } else if (checkDrq && !driveDrq()) {
            violation("drive data word %u read without DRQ", streamPos_ / 2);
            streamWord_ = 0xFFFF;
        } else {
            streamWord_ = device_ ? device_->readData() : 0xFFFF;
        }
    }
    uint8_t value = (streamPos_ & 1) ? static_cast<uint8_t>(streamWord_ >> 8)
                                     : static_cast<uint8_t>(streamWord_);
    if (streamFromPattern_ && static_cast<long>(streamPass_) == corruptPass_ &&
        streamPos_ == corruptIndex_)
        value ^= 0xFF;
    ++streamPos_;
    ++counters_.blockBytesRead;
    return value;
}

// ---- EPP --------------------------------------------------------------------

bool NimbAdapter::eppAddressWrite(uint8_t value)
{
    if (!responsive() || !eppMode_) return false;
    ++counters_.eppCycles;
    eppAddress_ = value;
    lowPending_ = false;
    if ((value & 0x87) == 0)
        openStream((value & 0x40) != 0);
    else
        streamOpen_ = false;
    return true;
}

bool NimbAdapter::eppAddressRead(uint8_t& value)
{
    if (!responsive() || !eppMode_) return false;
    ++counters_.eppCycles;
    value = eppAddress_;
    return true;
}

bool NimbAdapter::eppDataRead(uint8_t& value)
{
    if (!responsive() || !eppMode_) return false;
    ++counters_.eppCycles;
    value = 0xFF;
    if (eppAddress_ & 0x40) {
        violation("EPP data read with write address 0x%02X", eppAddress_);
    } else if (streamOpen_) {
        if (streamPos_ >= streamBudget_)
            violation("EPP read past the chunk budget of %u bytes", streamBudget_);
        else
            value = streamReadByte(true);
    } else {
        uint8_t a = eppAddress_;
        value = readRegister((a & 0x80) ? static_cast<uint8_t>(0x80 | (a & 7))
                                        : static_cast<uint8_t>(a & 7));
    }
    return true;
}

bool NimbAdapter::eppDataWrite(uint8_t value)
{
    if (!responsive() || !eppMode_) return false;
    ++counters_.eppCycles;
    if (!(eppAddress_ & 0x40)) {
        violation("EPP data write with read address 0x%02X", eppAddress_);
    } else if (streamOpen_) {
        if (streamPos_ >= streamBudget_) {
            violation("EPP write past the chunk budget of %u bytes", streamBudget_);
            return true;
        }
        if ((streamPos_ & 1) == 0) {
            lowByte_ = value;
        } else {
            uint16_t word = static_cast<uint16_t>(lowByte_ | (value << 8));
            // The first word of a stream is also the data-register write of
            // a register access: without DRQ it is dropped, not a violation.
            if (driveDrq())
                device_->writeData(word);
            else if (streamWords_ > 0)
                violation("EPP drive data word %u written without DRQ", streamWords_);
            else
                ++counters_.dataRegisterIgnored;
            ++streamWords_;
        }
        ++streamPos_;
        ++counters_.blockBytesWritten;
    } else {
        uint8_t a = eppAddress_;
        writeRegister((a & 0x80) ? static_cast<uint8_t>(0x80 | (a & 7))
                                 : static_cast<uint8_t>(a & 7),
                      value);
    }
    return true;
}

}  // namespace sim
