#include "sim/chips/indexed_chipset22.h"

#include <cstdio>

namespace sim {

IndexedChipset22::IndexedChipset22(ChipFault fault) : ChipModel(nullptr, fault)
{
    regs_[0x21] = 0x10;
    powerOn();
}

uint8_t IndexedChipset22::read8(uint16_t port)
{
    if (port == kDataPort) return regs_[index_];
    uint8_t status = static_cast<uint8_t>(0x3C | (toggle_ ? 0x01 : 0x00));
    if (fault() != ChipFault::WrongAnswer) toggle_ = !toggle_;
    return status;
}

void IndexedChipset22::write8(uint16_t port, uint8_t value)
{
    noteWrite();
    if (port == kIndexPort) index_ = value;
    else regs_[index_] = value;
}

ChipModel::RegisterMap IndexedChipset22::registers() const
{
    RegisterMap map{{"index", index_}};
    char text[8];
    for (size_t i = 0; i < regs_.size(); ++i) {
        std::snprintf(text, sizeof text, "R%02zX", i);
        map[text] = regs_[i];
    }
    return map;
}

}  // namespace sim
