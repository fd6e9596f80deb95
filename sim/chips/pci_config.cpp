#include "sim/chips/pci_config.h"

namespace sim {

namespace {
constexpr uint32_t kFunctionAddress = 0x80001000u;  // bus 0, device 2, function 0
}

PciConfigSpace::PciConfigSpace(IoBus& bus, PortFeatureSwitch& features, uint16_t portBase,
                               ChipFault fault)
    : ChipModel(&features, fault), bus_(bus), portBase_(portBase)
{
    space_[0x00] = 0xDE;
    space_[0x01] = 0xC0;
    space_[0x02] = 0x84;
    space_[0x03] = 0x12;
    space_[0x04] = 0x07;
    space_[0x08] = 0x01;
    space_[0x0A] = 0x01;
    space_[0x0B] = 0x06;
    space_[0x50] = 0x11;
    uint8_t select = portBase == 0x378 ? 0 : portBase == 0x278 ? 1 : portBase == 0x3BC ? 2 : 3;
    space_[kRegPortControl] = static_cast<uint8_t>(0x01 | (select << 2));
    space_[kRegEppDecode] = 0x00;
    powerOn();
}

void PciConfigSpace::checkInterrupts()
{
    if (bus_.interruptsEnabled()) {
        ++unsafe_;
        noteViolation("configuration port accessed with interrupts enabled");
    }
}

bool PciConfigSpace::functionSelected() const
{
    return (address_ & 0xFFFFFF00u) == kFunctionAddress;
}

uint16_t PciConfigSpace::selectedPort() const
{
    switch ((space_[kRegPortControl] >> 2) & 3) {
    case 0: return 0x378;
    case 1: return 0x278;
    case 2: return 0x3BC;
    default: return 0;
    }
}

uint32_t PciConfigSpace::readData(uint16_t port, int width)
{
    checkInterrupts();
    uint32_t allOnes = width == 4 ? 0xFFFFFFFFu : (1u << (8 * width)) - 1;
    if (!functionSelected()) return allOnes;
    uint32_t value = 0;
    uint8_t reg = static_cast<uint8_t>((address_ & 0xFC) + (port - kDataPort));
    for (int i = 0; i < width; ++i)
        value |= static_cast<uint32_t>(space_[static_cast<uint8_t>(reg + i)]) << (8 * i);
    return value;
}

void PciConfigSpace::writeData(uint16_t port, int width, uint32_t value)
{
    checkInterrupts();
    if (!functionSelected()) return;
    noteWrite();
    uint8_t reg = static_cast<uint8_t>((address_ & 0xFC) + (port - kDataPort));
    for (int i = 0; i < width; ++i) {
        uint8_t r = static_cast<uint8_t>(reg + i);
        if (r < 0x04 || (r >= 0x08 && r < 0x0C)) continue;  // identity is read-only
        space_[r] = static_cast<uint8_t>(value >> (8 * i));
    }
    publish();
}

uint8_t PciConfigSpace::read8(uint16_t port)
{
    if (port >= kDataPort) return static_cast<uint8_t>(readData(port, 1));
    checkInterrupts();
    if (fault() == ChipFault::WrongAnswer)
        return static_cast<uint8_t>(address_ >> (8 * (port - kAddressPort)));
    return 0xFF;
}

void PciConfigSpace::write8(uint16_t port, uint8_t value)
{
    if (port >= kDataPort) writeData(port, 1, value);
    else checkInterrupts();
}

uint16_t PciConfigSpace::read16(uint16_t port)
{
    if (port >= kDataPort && port <= 0xCFE) return static_cast<uint16_t>(readData(port, 2));
    checkInterrupts();
    return 0xFFFF;
}

void PciConfigSpace::write16(uint16_t port, uint16_t value)
{
    if (port >= kDataPort && port <= 0xCFE) writeData(port, 2, value);
    else checkInterrupts();
}

uint32_t PciConfigSpace::read32(uint16_t port)
{
    if (port == kDataPort) return readData(port, 4);
    checkInterrupts();
    return port == kAddressPort ? address_ : 0xFFFFFFFFu;
}

void PciConfigSpace::write32(uint16_t port, uint32_t value)
{
    if (port == kDataPort) {
        writeData(port, 4, value);
        return;
    }
    checkInterrupts();
    if (port == kAddressPort) address_ = value & ~3u;
}

ChipModel::RegisterMap PciConfigSpace::registers() const
{
    RegisterMap map;
    map["CONFIG_ADDRESS"] = address_;
    map["fn.50"] = space_[0x50];
    map["fn.51"] = space_[0x51];
    map["fn.52"] = space_[kRegPortControl];
    map["fn.53"] = space_[kRegEppDecode];
    map["fn.04"] = space_[0x04];
    return map;
}

bool PciConfigSpace::eppFeature() const
{
    return (space_[kRegPortControl] & kPortEpp) && (space_[kRegEppDecode] & kDecodeEpp) &&
           portBase_ != 0 && selectedPort() == portBase_;
}

}  // namespace sim
