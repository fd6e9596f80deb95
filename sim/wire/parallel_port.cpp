#include "sim/wire/parallel_port.h"

#include <cstdio>

namespace sim {

const char* parallelPortKindName(ParallelPortKind kind)
{
    switch (kind) {
    case ParallelPortKind::Spp: return "spp";
    case ParallelPortKind::Ps2: return "ps2";
    case ParallelPortKind::Epp: return "epp";
    case ParallelPortKind::Ecp: return "ecp";
    }
    return "?";
}

ParallelPort::ParallelPort(Clock& clock, ParallelPortConfig config)
    : clock_(clock), config_(config), ecr_(config.ecrResetValue),
      eppEnabled_(config.eppEnabled &&
                  (config.kind == ParallelPortKind::Epp || config.kind == ParallelPortKind::Ecp)),
      bidirEnabled_(config.bidirectionalEnabled && config.kind != ParallelPortKind::Spp),
      alternate_(config.alternateEppLayout)
{
    (void)clock_;
}

void ParallelPort::attachCable(ParallelCable* peer)
{
    peer_ = peer;
    if (peer_) {
        peer_->hostControlChanged(control_);
        peer_->hostDataChanged(data_);
    }
}

std::string ParallelPort::name() const
{
    char text[48];
    std::snprintf(text, sizeof text, "parallel port 0x%03X (%s)", config_.base,
                  parallelPortKindName(config_.kind));
    return text;
}

bool ParallelPort::wideDecode() const
{
    if (config_.base == 0x3BC) return false;
    return config_.kind == ParallelPortKind::Epp || config_.kind == ParallelPortKind::Ecp ||
           eppEnabled_ || alternate_;
}

bool ParallelPort::decodes(uint16_t port) const
{
    if (config_.base == 0 || port < config_.base) return false;
    uint16_t off = offset(port);
    if (off <= kControl) return true;
    if (off == kEcr) return config_.kind == ParallelPortKind::Ecp;
    if (off > 7) return false;
    if (wideDecode()) return true;
    return off == 7 && config_.byte7Direction && config_.base != 0x3BC;
}

bool ParallelPort::eppActive() const
{
    if (config_.base == 0x3BC || !eppEnabled_) return false;
    if (config_.kind == ParallelPortKind::Ecp) return (ecr_ >> 5) == 4;
    return true;
}

bool ParallelPort::bidirectionalActive() const
{
    if (config_.kind == ParallelPortKind::Ecp) {
        uint8_t mode = ecr_ >> 5;
        return mode == 1 || mode == 4;
    }
    return bidirEnabled_;
}

bool ParallelPort::dataInput() const
{
    uint8_t bit = config_.byte7Direction ? 0x80 : kCtlDirection;
    return bidirectionalActive() && (control_ & bit);
}

// ---- standard registers -------------------------------------------------

uint8_t ParallelPort::readData()
{
    if (!dataInput()) return data_;
    uint8_t value = 0xFF;
    if (peer_ && peer_->dataLines(value)) return value;
    return 0xFF;  // nobody drives the lines: they float high
}

void ParallelPort::writeData(uint8_t value)
{
    if (value == data_) return;
    data_ = value;
    if (peer_) peer_->hostDataChanged(value);
}

void ParallelPort::sampleIrq(uint8_t status)
{
    bool level = (control_ & kCtlIrqEnable) && (status & kStatusAck);
    if (level && !irqLevel_) ++irqEdges_;
    irqLevel_ = level;
}

uint8_t ParallelPort::readStatus()
{
    uint8_t lines = peer_ ? peer_->statusLines() : 0xFF;
    bool eppKind = config_.kind == ParallelPortKind::Epp ||
                   config_.kind == ParallelPortKind::Ecp || eppEnabled_;
    uint8_t low = eppKind ? static_cast<uint8_t>(0x06 | (eppTimeout_ ? 1 : 0)) : 0x07;
    eppTimeout_ = false;
    uint8_t status = static_cast<uint8_t>((lines & 0xF8) | low);
    sampleIrq(status);
    return status;
}

uint8_t ParallelPort::readControl()
{
    uint8_t value = control_ & 0x1F;
    if (config_.controlOpenCollector && peer_) {
        uint8_t driven = 0;
        uint8_t mask = peer_->controlLines(driven) & 0x0E;
        value = static_cast<uint8_t>((value & ~mask) | (driven & mask));
    }
    if (config_.byte7Direction)
        value |= control_ & 0xE0;
    else {
        value |= 0xC0;
        value |= (config_.kind == ParallelPortKind::Spp) ? 0x20 : (control_ & 0x20);
    }
    return value;
}

void ParallelPort::writeControl(uint8_t value)
{
    if (value == control_) return;
    control_ = value;
    if (peer_) peer_->hostControlChanged(value);
}

bool ParallelPort::interruptLine()
{
    uint8_t lines = peer_ ? peer_->statusLines() : 0xFF;
    sampleIrq(lines);
    return irqLevel_;
}

// ---- EPP ------------------------------------------------------------------

void ParallelPort::timeout()
{
    eppTimeout_ = true;
    ++eppTimeouts_;
}

uint8_t ParallelPort::eppDataRead()
{
    ++eppCycles_;
    uint8_t value = 0xFF;
    if (!peer_ || !peer_->eppDataRead(value)) {
        timeout();
        return 0xFF;
    }
    return value;
}

void ParallelPort::eppDataWrite(uint8_t value)
{
    ++eppCycles_;
    if (!peer_ || !peer_->eppDataWrite(value)) timeout();
}

uint8_t ParallelPort::eppAddressRead()
{
    ++eppCycles_;
    uint8_t value = 0xFF;
    if (!peer_ || !peer_->eppAddressRead(value)) {
        timeout();
        return 0xFF;
    }
    return value;
}

void ParallelPort::eppAddressWrite(uint8_t value)
{
    ++eppCycles_;
    if (!peer_ || !peer_->eppAddressWrite(value)) timeout();
}

bool ParallelPort::eppAddressCyclesAt(uint16_t off) const
{
    return alternate_ ? off == 6 : off == kEppAddress;
}

// ---- bus side -------------------------------------------------------------

uint8_t ParallelPort::read8(uint16_t port)
{
    uint16_t off = offset(port);
    switch (off) {
    case kData: return readData();
    case kStatus: return readStatus();
    case kControl: return readControl();
    case kEcr: return static_cast<uint8_t>((ecr_ & 0xFC) | 0x01);
    default: break;
    }
    if (off > 7) return 0xFF;
    if (alternate_) {
        if (off == 3) return altReg3_;
        if (off == 7) return altReg7_;
        if (off == 5) return 0xFF;
        bool cycles = eppEnabled_ && ((altReg3_ & 7) == 6 || (altReg3_ & 7) == 7);
        if (!cycles) return 0xFF;
        return off == 6 ? eppAddressRead() : eppDataRead();
    }
    if (!eppActive()) return 0xFF;
    return off == kEppAddress ? eppAddressRead() : eppDataRead();
}

void ParallelPort::write8(uint16_t port, uint8_t value)
{
    uint16_t off = offset(port);
    switch (off) {
    case kData: writeData(value); return;
    case kStatus: return;
    case kControl: writeControl(value); return;
    case kEcr: ecr_ = static_cast<uint8_t>(value & 0xFC); return;
    default: break;
    }
    if (off > 7) return;
    if (alternate_) {
        if (off == 3) { altReg3_ = value; return; }
        if (off == 7) { altReg7_ = value; return; }
        if (off == 5) return;
        bool cycles = eppEnabled_ && ((altReg3_ & 7) == 6 || (altReg3_ & 7) == 7);
        if (!cycles) return;
        if (off == 6)
            eppAddressWrite(value);
        else
            eppDataWrite(value);
        return;
    }
    if (off == 7 && config_.byte7Direction && !eppActive()) {
        byte7Reg_ = value;
        return;
    }
    if (!eppActive()) return;
    if (off == kEppAddress)
        eppAddressWrite(value);
    else
        eppDataWrite(value);
}

uint16_t ParallelPort::read16(uint16_t port)
{
    if (offset(port) == kEppData && (alternate_ || eppActive())) {
        uint16_t low = read8(port);
        uint16_t high = read8(port);
        return static_cast<uint16_t>(low | (high << 8));
    }
    return IoDevice::read16(port);
}

void ParallelPort::write16(uint16_t port, uint16_t value)
{
    if (offset(port) == kEppData && (alternate_ || eppActive())) {
        write8(port, static_cast<uint8_t>(value));
        write8(port, static_cast<uint8_t>(value >> 8));
        return;
    }
    IoDevice::write16(port, value);
}

uint32_t ParallelPort::read32(uint16_t port)
{
    if (offset(port) != kEppData) return IoDevice::read32(port);
    if (alternate_ && (altReg3_ & 7) != 7) {
        // Byte-wide cycle select: one cycle in lane 0.
        uint32_t low = read8(port);
        return low | 0xFFFFFF00u;
    }
    if (!alternate_ && !eppActive()) return 0xFFFFFFFFu;
    uint32_t value = 0;
    for (int lane = 0; lane < 4; ++lane) value |= static_cast<uint32_t>(eppDataRead()) << (8 * lane);
    return value;
}

void ParallelPort::write32(uint16_t port, uint32_t value)
{
    if (offset(port) != kEppData) {
        IoDevice::write32(port, value);
        return;
    }
    if (alternate_ && (altReg3_ & 7) != 7) {
        write8(port, static_cast<uint8_t>(value));
        return;
    }
    if (!alternate_ && !eppActive()) return;
    for (int lane = 0; lane < 4; ++lane) eppDataWrite(static_cast<uint8_t>(value >> (8 * lane)));
}

}  // namespace sim
