#include "sim/chips/smc_fdc37c665.h"

#include <cstdio>

namespace sim {

SmcFdc37c665::SmcFdc37c665(PortFeatureSwitch& features, uint16_t configPort, uint8_t identity,
                           ChipFault fault)
    : SmcConfigPort(features, configPort, kKey, fault),
      identity_(identity),
      regs_{0x3B, 0x9F, 0xDC, 0x78, 0x00, 0x00, 0xFF, 0x00,
            0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00}
{
    regs_[kRegIdentity] = identity;
    powerOn();
}

std::string SmcFdc37c665::name() const
{
    return identity_ == kIdentity669 ? "FDC37C669" : "FDC37C665GT";
}

uint8_t SmcFdc37c665::readRegister(uint8_t index)
{
    if (index >= regs_.size()) return 0x00;
    if (index == kRegIdentity && fault() == ChipFault::WrongAnswer) return 0x00;
    return regs_[index];
}

void SmcFdc37c665::writeRegister(uint8_t index, uint8_t value)
{
    if (index >= regs_.size() || index == kRegIdentity || index == kRegRevision) return;
    regs_[index] = value;
}

void SmcFdc37c665::chipRegisters(RegisterMap& map) const
{
    char text[8];
    for (size_t i = 0; i < regs_.size(); ++i) {
        std::snprintf(text, sizeof text, "CR%02zX", i);
        map[text] = regs_[i];
    }
}

bool SmcFdc37c665::eppFeature() const
{
    return !(regs_[kRegMode] & kModeCompatible) &&
           (regs_[kRegExtended] & kExtendedEppEcp) == kExtendedEppEcp;
}

}  // namespace sim
