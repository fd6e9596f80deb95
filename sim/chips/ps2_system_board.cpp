#include "sim/chips/ps2_system_board.h"

namespace sim {

namespace {
uint8_t addressBits(uint16_t port)
{
    switch (port) {
    case 0x3BC: return 0x00;
    case 0x378: return 0x20;
    case 0x278: return 0x40;
    default: return 0x60;
    }
}
}  // namespace

Ps2SystemBoard::Ps2SystemBoard(PortFeatureSwitch& features, uint16_t portBase, ChipFault fault)
    : ChipModel(&features, fault)
{
    pos2_ = static_cast<uint8_t>(kPosCompatible | addressBits(portBase) | kPosEnable | 0x01);
    powerOn();
}

uint16_t Ps2SystemBoard::selectedPort() const
{
    switch (pos2_ & 0x60) {
    case 0x00: return 0x3BC;
    case 0x20: return 0x378;
    case 0x40: return 0x278;
    default: return 0;
    }
}

uint8_t Ps2SystemBoard::read8(uint16_t port)
{
    switch (port) {
    case kSetupPort: return setup_;
    case kAdapterPort: return adapter_;
    default: return inSetup() && !slotInSetup() ? pos2_ : 0xFF;
    }
}

void Ps2SystemBoard::write8(uint16_t port, uint8_t value)
{
    noteWrite();
    switch (port) {
    case kSetupPort:
        altSetup_ = altArmed_ && value == kAltSecond;
        altArmed_ = value == kAltFirst;
        setup_ = value;
        if (inSetup() && slotInSetup()) noteViolation("board setup entered while a slot is in setup");
        return;
    case kAdapterPort:
        adapter_ = value;
        return;
    default:
        if (slotInSetup()) return;  // reaches the (empty) slot, not the board
        if (!inSetup()) {
            noteViolation("option select register written outside setup");
            return;
        }
        if (fault() == ChipFault::WrongAnswer)
            value = static_cast<uint8_t>((pos2_ & 0xF0) | (value & 0x0F));
        pos2_ = value;
        publish();
        return;
    }
}

ChipModel::RegisterMap Ps2SystemBoard::registers() const
{
    return {{"0x94", setup_}, {"POS2", pos2_}, {"0x96", adapter_}};
}

bool Ps2SystemBoard::bidirectionalFeature() const
{
    return !(pos2_ & kPosCompatible) && (pos2_ & kPosEnable) && selectedPort() != 0;
}

uint16_t Ps2SystemBoard::addressFeature() const
{
    return (pos2_ & kPosEnable) ? selectedPort() : 0;
}

}  // namespace sim
