#include "sim/chips/rtc.h"

#include <cstdio>

namespace sim {

Rtc::Rtc() : ChipModel(nullptr, ChipFault::None)
{
    const uint8_t time[10] = {0x30, 0x00, 0x15, 0x00, 0x12, 0x00, 0x07, 0x15, 0x06, 0x26};
    for (int i = 0; i < 10; ++i) cmos_[i] = time[i];
    cmos_[0x0A] = 0x26;
    cmos_[0x0B] = 0x02;
    cmos_[0x0C] = 0x00;
    cmos_[0x0D] = 0x80;
    for (int i = 0x0E; i < 128; ++i) cmos_[i] = static_cast<uint8_t>(i * 7 + 3);
    powerOn();
}

bool Rtc::decodes(uint16_t port) const
{
    return port == kIndexPort || port == kDataPort || (mirror_ && port == kMirrorPort);
}

uint8_t Rtc::read8(uint16_t port)
{
    if (port == kIndexPort) return 0xFF;
    return cmos_[index_];
}

void Rtc::write8(uint16_t port, uint8_t value)
{
    if (port == kIndexPort) {
        index_ = value & 0x7F;
        nmiMasked_ = (value & 0x80) != 0;
        return;
    }
    writeRegister(index_, value);
}

void Rtc::writeRegister(uint8_t index, uint8_t value)
{
    index &= 0x7F;
    if (index == 0x0C || index == 0x0D) return;
    noteWrite();
    cmos_[index] = value;
}

ChipModel::RegisterMap Rtc::registers() const
{
    RegisterMap map;
    char text[12];
    for (size_t i = 0; i < cmos_.size(); ++i) {
        std::snprintf(text, sizeof text, "CMOS%02zX", i);
        map[text] = cmos_[i];
    }
    map["nmi-masked"] = nmiMasked_;
    return map;
}

}  // namespace sim
