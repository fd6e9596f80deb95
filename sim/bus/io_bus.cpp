#include "sim/bus/io_bus.h"

#include <algorithm>
#include <cstdio>

namespace sim {

std::string formatAccess(const IoAccess& a)
{
    char text[96];
    const char* dir = a.write ? "out" : "in ";
    int digits = a.width * 2;
    std::snprintf(text, sizeof text, "%12.3f us  %s%d 0x%04X  0x%0*X",
                  static_cast<double>(a.time) / 1000.0, dir, a.width * 8, a.port, digits,
                  a.value);
    return text;
}

uint16_t IoDevice::read16(uint16_t port)
{
    uint16_t low = read8(port);
    uint16_t high = read8(static_cast<uint16_t>(port + 1));
    return static_cast<uint16_t>(low | (high << 8));
}

void IoDevice::write16(uint16_t port, uint16_t value)
{
    write8(port, static_cast<uint8_t>(value));
    write8(static_cast<uint16_t>(port + 1), static_cast<uint8_t>(value >> 8));
}

uint32_t IoDevice::read32(uint16_t port)
{
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i)
        value |= static_cast<uint32_t>(read8(static_cast<uint16_t>(port + i))) << (8 * i);
    return value;
}

void IoDevice::write32(uint16_t port, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        write8(static_cast<uint16_t>(port + i), static_cast<uint8_t>(value >> (8 * i)));
}

void IoBus::attach(IoDevice& device) { devices_.push_back(&device); }

void IoBus::detach(IoDevice& device)
{
    devices_.erase(std::remove(devices_.begin(), devices_.end(), &device), devices_.end());
}

IoDevice* IoBus::find(uint16_t port) const
{
    for (IoDevice* device : devices_)
        if (device->decodes(port)) return device;
    return nullptr;
}

void IoBus::note(uint16_t port, uint8_t width, bool write, uint32_t value)
{
    ++accesses_;
    ++perPort_[port];
    if (recording_ || sink_) {
        IoAccess access{clock_.now(), port, width, write, value};
        if (recording_) recorded_.push_back(access);
        if (sink_) sink_(access);
    }
    clock_.advance(accessCost_);
}

uint8_t IoBus::in8(uint16_t port)
{
    IoDevice* device = find(port);
    uint8_t value = device ? device->read8(port) : 0xFF;
    note(port, 1, false, value);
    return value;
}

// A wide access goes to one device when it decodes every byte of it;
// otherwise each byte lane goes to whichever device decodes that address
// (all ones where none does), as on a real ISA bus. It is one bus cycle
// either way.
uint32_t IoBus::readWide(uint16_t port, int width)
{
    IoDevice* device = find(port);
    bool whole = device != nullptr;
    for (int i = 1; whole && i < width; ++i)
        whole = device->decodes(static_cast<uint16_t>(port + i));
    if (whole) return width == 2 ? device->read16(port) : device->read32(port);
    uint32_t value = 0;
    for (int i = 0; i < width; ++i) {
        uint16_t at = static_cast<uint16_t>(port + i);
        IoDevice* lane = find(at);
        uint32_t byte = lane ? lane->read8(at) : 0xFF;
        value |= byte << (8 * i);
    }
    return value;
}

void IoBus::writeWide(uint16_t port, int width, uint32_t value)
{
    IoDevice* device = find(port);
    bool whole = device != nullptr;
    for (int i = 1; whole && i < width; ++i)
        whole = device->decodes(static_cast<uint16_t>(port + i));
    if (whole) {
        if (width == 2)
            device->write16(port, static_cast<uint16_t>(value));
        else
            device->write32(port, value);
        return;
    }
    for (int i = 0; i < width; ++i) {
        uint16_t at = static_cast<uint16_t>(port + i);
        if (IoDevice* lane = find(at)) lane->write8(at, static_cast<uint8_t>(value >> (8 * i)));
    }
}

uint16_t IoBus::in16(uint16_t port)
{
    uint16_t value = static_cast<uint16_t>(readWide(port, 2));
    note(port, 2, false, value);
    return value;
}

uint32_t IoBus::in32(uint16_t port)
{
    uint32_t value = readWide(port, 4);
    note(port, 4, false, value);
    return value;
}

void IoBus::out8(uint16_t port, uint8_t value)
{
    note(port, 1, true, value);
    if (IoDevice* device = find(port)) device->write8(port, value);
}

void IoBus::out16(uint16_t port, uint16_t value)
{
    note(port, 2, true, value);
    writeWide(port, 2, value);
}

void IoBus::out32(uint16_t port, uint32_t value)
{
    note(port, 4, true, value);
    writeWide(port, 4, value);
}

void IoBus::disableInterrupts()
{
    interruptsEnabled_ = false;
    ++cliCount_;
}

void IoBus::enableInterrupts() { interruptsEnabled_ = true; }

uint64_t IoBus::accessCount(uint16_t port) const { return perPort_[port]; }

void IoBus::resetCounters()
{
    accesses_ = 0;
    std::fill(perPort_.begin(), perPort_.end(), 0);
}

}  // namespace sim
