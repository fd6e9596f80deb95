#include "sim/pic.h"

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

void Pic::write8(uint16_t port, uint8_t value)
{
    switch (canonical(port)) {
    case kCommandPort:
        if (value & 0x10) noteViolation("initialisation command written");
        return;
    case kMaskPort: {
        noteWrite();
        ++maskWrites_;
        uint8_t unmasking = static_cast<uint8_t>(kPowerOnMask & mask_ & ~value);
        if (unmasking && bus_ && bus_->interruptsEnabled()) ++unmasked_;
        mask_ = value;
        return;
    }
    default: return;
    }
}

ChipModel::RegisterMap Pic::registers() const { return {{"IMR", mask_}}; }

}  // namespace sim
