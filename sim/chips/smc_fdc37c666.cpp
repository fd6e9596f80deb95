#include "sim/chips/smc_fdc37c666.h"

#include <cstdio>

namespace sim {

SmcFdc37c666::SmcFdc37c666(PortFeatureSwitch& features, uint16_t configPort, ChipFault fault)
    : SmcConfigPort(features, configPort, kKey, fault)
{
    regs_[kRegIdentity] = kIdentity;
    regs_[kRegRevision] = 0x01;
    powerOn();
}

uint8_t SmcFdc37c666::readRegister(uint8_t index)
{
    if (index >= regs_.size()) return 0x00;
    if (index == kRegIdentity && fault() == ChipFault::WrongAnswer) return 0x06;
    return regs_[index];
}

void SmcFdc37c666::writeRegister(uint8_t index, uint8_t value)
{
    if (index >= regs_.size() || index == kRegIdentity || index == kRegRevision) return;
    regs_[index] = value;
}

void SmcFdc37c666::chipRegisters(RegisterMap& map) const
{
    char text[8];
    for (size_t i = 0; i < regs_.size(); ++i) {
        std::snprintf(text, sizeof text, "R%02zX", i);
        map[text] = regs_[i];
    }
}

}  // namespace sim
