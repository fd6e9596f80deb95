#include "sim/chips/chipset_100.h"

#include <cstdio>

namespace sim {

Chipset100::Chipset100(PortFeatureSwitch& features, Kind kind, ChipFault fault)
    : ChipModel(&features, fault), kind_(kind)
{
    regs_[0x00] = 0x20;
    regs_[0x01] = 0x0A;
    powerOn();
}

std::string Chipset100::name() const
{
    return kind_ == Kind::Chipset ? "0x100/0x101 chipset" : "0x100/0x101 latches";
}

uint8_t Chipset100::read8(uint16_t port)
{
    if (port == kIndexPort) return selected_;
    if (kind_ == Kind::PlainLatch) return latch_;
    if (selected_ == kRegRevision) return 0x31;
    if (selected_ >= regs_.size()) return 0xFF;
    uint8_t value = regs_[selected_];
    if (selected_ == kRegPort && fault() != ChipFault::WrongAnswer) value &= 0xFC;
    return value;
}

void Chipset100::write8(uint16_t port, uint8_t value)
{
    if (port == kIndexPort) {
        selected_ = value;
        return;
    }
    noteWrite();
    if (kind_ == Kind::PlainLatch) {
        latch_ = value & 0xFC;
        return;
    }
    if (selected_ >= regs_.size()) return;
    regs_[selected_] = value;
    publish();
}

ChipModel::RegisterMap Chipset100::registers() const
{
    if (kind_ == Kind::PlainLatch) return {{"index", selected_}, {"latch", latch_}};
    RegisterMap map;
    char text[8];
    for (size_t i = 0; i < regs_.size(); ++i) {
        std::snprintf(text, sizeof text, "R%02zX", i);
        map[text] = regs_[i];
    }
    return map;
}

bool Chipset100::eppFeature() const
{
    return kind_ == Kind::Chipset && (regs_[kRegPort] >> 4) == kModeEnhanced;
}

}  // namespace sim
