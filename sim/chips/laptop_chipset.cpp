#include "sim/chips/laptop_chipset.h"

namespace sim {

const std::array<uint16_t, 8> LaptopChipset::kUnlockReads = {0xFC23, 0xF023, 0xC023, 0x0023,
                                                             0xFFFB, 0xFFFF, 0xFFFD, 0xFFF9};

LaptopChipset::LaptopChipset(PortFeatureSwitch& features, uint16_t portBase, bool latchAtAE,
                             ChipFault fault)
    : ChipModel(&features, fault), portBase_(portBase), latchAtAE_(latchAtAE)
{
    powerOn();
}

bool LaptopChipset::decodes(uint16_t port) const
{
    switch (port) {
    case kPmrPort:
    case kKeyPort:
    case kCfgIndex:
    case kCfgData:
    case kSpaceOpen:
    case kSpaceClose:
    case kEnablePort: return true;
    case kSpaceIndex: return spaceOpen() || latchAtAE_;
    case kSpaceData: return spaceOpen();
    default: break;
    }
    for (uint16_t p : kUnlockReads)
        if (p == port) return true;
    return false;
}

void LaptopChipset::sequenceAccess(uint16_t port, bool read)
{
    if (read && port == kUnlockReads[sequence_]) {
        if (++sequence_ < kUnlockReads.size()) return;
        sequence_ = 0;
        ++sequences_;
        if (armed_) pairOpen_ = true;
        armed_ = false;
        return;
    }
    sequence_ = (read && port == kUnlockReads[0]) ? 1 : 0;
}

void LaptopChipset::lock()
{
    unlocked_ = false;
    pairOpen_ = false;
}

uint16_t LaptopChipset::readPmr()
{
    uint16_t value = pmrRead();
    if (pending_ == Pending::Unlock) unlocked_ = true;
    if (pending_ == Pending::Lock) lock();
    pending_ = Pending::None;
    return value;
}

void LaptopChipset::writePmr8(uint8_t value)
{
    if (keyStep_ == 1) {
        uint8_t expected = static_cast<uint8_t>((pmrRead() >> 8) | 0x80);
        keyStep_ = value == expected ? 2 : 0;
        return;
    }
    keyStep_ = 0;
    if (!unlocked_) return;
    noteWrite();
    pmr_ = static_cast<uint16_t>((pmr_ & 0xFF00) | (value & kPmrData & 0xFF));
    if (!(value & kPmrHidden)) armed_ = true;
}

void LaptopChipset::writePmr16(uint16_t value)
{
    if (keyStep_ == 2 && (value & kPmrKeyHigh) && (value & kPmrData) == pmr_) {
        keyStep_ = 0;
        pending_ = Pending::Unlock;
        return;
    }
    keyStep_ = 0;
    if (!unlocked_) return;
    noteWrite();
    pmr_ = value & kPmrData;
    if (!(value & kPmrHidden)) armed_ = true;
    if (value & kPmrRelock) pending_ = Pending::Lock;
}

void LaptopChipset::openSpace()
{
    if ((config_[kReg61] & 0x08) && config_[kRegFA] == 0x01 && portPowered()) spaceOpen_ = true;
}

uint8_t LaptopChipset::read8(uint16_t port)
{
    sequenceAccess(port, true);
    switch (port) {
    case kPmrPort: return static_cast<uint8_t>(readPmr());
    case kKeyPort: return static_cast<uint8_t>(pmrRead() >> 8);
    case kCfgIndex: return pairOpen_ ? cfgIndex_ : 0xFF;
    case kCfgData: return pairOpen_ ? config_[cfgIndex_] : 0xFF;
    case kEnablePort: return enable705_;
    case kSpaceIndex:
        if (!spaceOpen()) return latchAE_;
        return fault() == ChipFault::WrongAnswer ? static_cast<uint8_t>(~spaceIndex_) : spaceIndex_;
    case kSpaceData: return spaceIndex_ < space_.size() ? space_[spaceIndex_] : 0xFF;
    default: return 0xFF;
    }
}

void LaptopChipset::write8(uint16_t port, uint8_t value)
{
    sequenceAccess(port, false);
    switch (port) {
    case kPmrPort: writePmr8(value); break;
    case kKeyPort:
        keyStep_ = value == static_cast<uint8_t>(pmrRead()) ? 1 : 0;
        break;
    case kCfgIndex:
    case kCfgData:
        if (!pairOpen_) {
            noteViolation("configuration pair written while locked");
            break;
        }
        if (port == kCfgIndex) {
            cfgIndex_ = value;
        } else {
            noteWrite();
            config_[cfgIndex_] = value;
        }
        break;
    case kEnablePort:
        noteWrite();
        enable705_ = value;
        break;
    case kSpaceOpen: openSpace(); break;
    case kSpaceClose:
        spaceOpen_ = false;
        pairOpen_ = false;
        break;
    case kSpaceIndex:
        if (spaceOpen()) spaceIndex_ = value;
        else latchAE_ = value;
        break;
    case kSpaceData:
        if (spaceIndex_ < space_.size()) {
            noteWrite();
            space_[spaceIndex_] = value;
        }
        break;
    default: break;
    }
    publish();
}

uint16_t LaptopChipset::read16(uint16_t port)
{
    if (port != kPmrPort) return IoDevice::read16(port);
    sequenceAccess(port, true);
    return readPmr();
}

void LaptopChipset::write16(uint16_t port, uint16_t value)
{
    if (port != kPmrPort) {
        IoDevice::write16(port, value);
        return;
    }
    sequenceAccess(port, false);
    writePmr16(value);
    publish();
}

ChipModel::RegisterMap LaptopChipset::registers() const
{
    RegisterMap map{{"PMR", pmrRead()},        {"0x705", enable705_},
                    {"cfg61", config_[kReg61]}, {"cfgFA", config_[kRegFA]},
                    {"pair-open", pairOpen_},   {"space-open", spaceOpen_},
                    {"space02", space_[kSpacePort]}};
    if (latchAtAE_) map["latchAE"] = latchAE_;
    return map;
}

bool LaptopChipset::eppFeature() const
{
    uint8_t setting = space_[kSpacePort];
    if (!portPowered() || (setting & 0xC0) != 0xC0) return false;
    uint16_t address = 0;
    switch (setting & 0x30) {
    case 0x10: address = 0x378; break;
    case 0x20: address = 0x278; break;
    case 0x30: address = 0x3BC; break;
    default: break;
    }
    return address == portBase_;
}

bool LaptopChipset::bidirectionalFeature() const { return (config_[kReg61] & 0x01) != 0; }

}  // namespace sim
