#include "sim/chips/smc_fdc37c93x.h"

#include <cstdio>

namespace sim {

SmcFdc37c93x::SmcFdc37c93x(PortFeatureSwitch& features, uint16_t configPort, uint16_t portBase,
                           ChipFault fault)
    : SmcConfigPort(features, configPort, kKey, fault)
{
    Device& port = devices_[kParallelDevice];
    port.activate = 0x01;
    port.baseHigh = static_cast<uint8_t>(portBase >> 8);
    port.baseLow = static_cast<uint8_t>(portBase);
    port.irq = 0x07;
    devices_[0].activate = 0x01;  // floppy controller
    devices_[0].baseHigh = 0x03;
    devices_[0].baseLow = 0xF0;
    powerOn();
}

uint8_t* SmcFdc37c93x::deviceSlot(uint8_t index)
{
    if (device_ >= kDeviceCount) return nullptr;
    Device& d = devices_[device_];
    switch (index) {
    case kRegActivate: return &d.activate;
    case kRegBaseHigh: return &d.baseHigh;
    case kRegBaseLow: return &d.baseLow;
    case kRegIrq: return &d.irq;
    case kRegMode: return &d.mode;
    default: return nullptr;
    }
}

uint8_t SmcFdc37c93x::deviceRegister(uint8_t device, uint8_t index) const
{
    if (device >= kDeviceCount) return 0;
    const Device& d = devices_[device];
    switch (index) {
    case kRegActivate: return d.activate;
    case kRegBaseHigh: return d.baseHigh;
    case kRegBaseLow: return d.baseLow;
    case kRegIrq: return d.irq;
    case kRegMode: return d.mode;
    default: return 0;
    }
}

uint8_t SmcFdc37c93x::readRegister(uint8_t index)
{
    if (index == kRegDevice) return fault() == ChipFault::WrongAnswer ? 0xFF : device_;
    if (index == kRegIdentity) return 0x30;
    if (index == kRegRevision) return 0x01;
    if (index < 0x30) return 0x00;
    uint8_t* slot = deviceSlot(index);
    return slot ? *slot : 0x00;
}

void SmcFdc37c93x::writeRegister(uint8_t index, uint8_t value)
{
    if (index == kRegDevice) {
        device_ = value;
        return;
    }
    if (index < 0x30) return;
    if (uint8_t* slot = deviceSlot(index)) *slot = value;
}

void SmcFdc37c93x::chipRegisters(RegisterMap& map) const
{
    map["device"] = device_;
    char text[24];
    for (uint8_t n = 0; n < kDeviceCount; ++n) {
        const Device& d = devices_[n];
        std::snprintf(text, sizeof text, "LD%u.30", n);
        map[text] = d.activate;
        std::snprintf(text, sizeof text, "LD%u.60", n);
        map[text] = d.baseHigh;
        std::snprintf(text, sizeof text, "LD%u.61", n);
        map[text] = d.baseLow;
        std::snprintf(text, sizeof text, "LD%u.70", n);
        map[text] = d.irq;
        std::snprintf(text, sizeof text, "LD%u.F0", n);
        map[text] = d.mode;
    }
}

bool SmcFdc37c93x::eppFeature() const
{
    const Device& port = devices_[kParallelDevice];
    return (port.activate & 0x01) && (port.mode & 0x07) == kModeEcpEpp;
}

}  // namespace sim
