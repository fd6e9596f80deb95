#include "sim/chips/winbond_w83877f.h"

#include <cstdio>

namespace sim {

WinbondW83877f::WinbondW83877f(PortFeatureSwitch& features, uint8_t key, ChipFault fault)
    : ChipModel(&features, fault), key_(key)
{
    regs_[0x00] = 0x01;
    regs_[0x01] = 0x5A;
    regs_[0x09] = 0x00;
    powerOn();
}

uint8_t WinbondW83877f::read8(uint16_t port)
{
    if (port == kEnablePort || !open_) return 0xFF;
    if (port == kIndexPort) return selected_;
    return selected_ < regs_.size() ? regs_[selected_] : 0x00;
}

void WinbondW83877f::write8(uint16_t port, uint8_t value)
{
    if (port == kEnablePort) {
        open_ = value == key_;
        return;
    }
    if (!open_) return;  // a probe with another member's key: ignored
    if (port == kIndexPort) {
        selected_ = value;
        return;
    }
    if (selected_ >= regs_.size()) return;
    noteWrite();
    if (selected_ == 0x00 && fault() == ChipFault::WrongAnswer) value &= 0x7F;
    regs_[selected_] = value;
    publish();
}

ChipModel::RegisterMap WinbondW83877f::registers() const
{
    RegisterMap map;
    char text[8];
    for (size_t i = 0; i < regs_.size(); ++i) {
        std::snprintf(text, sizeof text, "CR%02zX", i);
        map[text] = regs_[i];
    }
    map["open"] = open_;
    return map;
}

bool WinbondW83877f::eppFeature() const
{
    return (regs_[0x00] & kCr0Extended) && (regs_[0x09] & kCr9Epp);
}

}  // namespace sim
