#include "sim/chips/pic.h"

namespace sim {

Pic::Pic(IoBus* bus, bool mirrorAt23, bool mirrorAt2F)
    : ChipModel(nullptr, ChipFault::None), bus_(bus), mirror23_(mirrorAt23), mirror2F_(mirrorAt2F)
{
    powerOn();
}

uint16_t Pic::canonical(uint16_t port) const
{
    if (port == kCommandPort || port == kMaskPort) return port;
    if (mirror23_ && (port == 0x22 || port == 0x23)) return static_cast<uint16_t>(port - 2);
    if (mirror2F_ && (port == 0x2E || port == 0x2F)) return static_cast<uint16_t>(port - 0x0E);
    return 0;
}

bool Pic::decodes(uint16_t port) const { return canonical(port) != 0; }

uint8_t Pic::read8(uint16_t port)
{
    switch (canonical(port)) {
    case kCommandPort: return 0x00;
    case kMaskPort: return mask_;
    default: return 0xFF;
    }
}

void Pic::setMask(uint8_t value)
{
    uint8_t unmasking = static_cast<uint8_t>(kPowerOnMask & mask_ & ~value);
    if (unmasking && bus_ && bus_->interruptsEnabled()) ++unmasked_;
    mask_ = value;
}

uint8_t Pic::stepAfterIcw2() const
{
    if (!(icw1_ & 0x02)) return kAwaitIcw3;
    return (icw1_ & 0x01) ? kAwaitIcw4 : kOperating;
}

void Pic::writeData(uint8_t value)
{
    switch (initStep_) {
    case kAwaitIcw2:
        icw2_ = static_cast<uint8_t>(value & 0xF8);
        initStep_ = stepAfterIcw2();
        return;
    case kAwaitIcw3:
        icw3_ = value;
        initStep_ = (icw1_ & 0x01) ? kAwaitIcw4 : kOperating;
        return;
    case kAwaitIcw4:
        icw4_ = value;
        initStep_ = kOperating;
        return;
    default:
        ++maskWrites_;
        setMask(value);
        return;
    }
}

void Pic::write8(uint16_t port, uint8_t value)
{
    uint16_t target = canonical(port);
    if (target == 0) return;
    noteWrite();
    if (target != port) ++mirrorWrites_;
    if (target == kMaskPort) {
        writeData(value);
        return;
    }
    if (!(value & 0x10)) return;  // an operation command
    // ICW1: the mask is cleared and the initialisation sequence begins.
    noteViolation("initialisation command written");
    ++initialisations_;
    icw1_ = value;
    if (!(value & 0x01)) icw4_ = 0x00;
    setMask(0x00);
    initStep_ = kAwaitIcw2;
}

ChipModel::RegisterMap Pic::registers() const
{
    return {{"IMR", mask_}, {"ICW1", icw1_}, {"ICW2", icw2_}, {"ICW3", icw3_},
            {"ICW4", icw4_}, {"init-step", initStep_}};
}

}  // namespace sim
