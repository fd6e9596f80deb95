#include "sim/chips/ns_pc873xx.h"

#include <cstdio>

namespace sim {

NsPc873xx::NsPc873xx(PortFeatureSwitch& features, uint16_t indexPort, uint16_t portBase,
                     ChipFault fault)
    : ChipModel(&features, fault), index_(indexPort), portBase_(portBase)
{
    regs_[kFer] = 0x0F;  // parallel port, both serial ports, floppy enabled
    regs_[kFar] = portBase == 0x3BC ? 0x01 : portBase == 0x278 ? 0x02 : 0x00;
    regs_[kFar] |= 0x10;
    regs_[kPtr] = kPtrExtended;
    regs_[kFcr] = 0x00;
    regs_[kPcr] = 0x00;
    powerOn();
}

uint16_t NsPc873xx::selectedPort() const
{
    uint8_t bits = regs_[kFar] & 0x03;
    if (bits & 0x01) return 0x3BC;
    return bits == 0x02 ? 0x278 : 0x378;
}

void NsPc873xx::endDataWrites()
{
    if (dataWrites_ == 1) {
        char text[80];
        std::snprintf(text, sizeof text, "R%u written once, ignored (needs two writes)",
                      static_cast<unsigned>(selected_));
        noteViolation(text);
    }
    dataWrites_ = 0;
}

uint8_t NsPc873xx::read8(uint16_t port)
{
    endDataWrites();
    if (port == index_) {
        if (identityPending_) {
            identityPending_ = false;
            return kIdentification;
        }
        return selected_;
    }
    if (selected_ >= regs_.size()) return 0x00;
    uint8_t value = regs_[selected_];
    if (selected_ == kPcr) {
        value &= static_cast<uint8_t>(~kPcrReserved);
        if (fault() == ChipFault::WrongAnswer) value |= kPcrReserved;
    }
    return value;
}

void NsPc873xx::write8(uint16_t port, uint8_t value)
{
    if (port == index_) {
        endDataWrites();
        identityPending_ = false;
        selected_ = value;
        return;
    }
    if (++dataWrites_ < 2) return;  // the first write of a run only arms the register
    if (selected_ >= regs_.size()) return;
    noteWrite();
    if (selected_ == kPcr) value &= static_cast<uint8_t>(~kPcrReserved);  // not stored
    regs_[selected_] = value;
    publish();
}

ChipModel::RegisterMap NsPc873xx::registers() const
{
    RegisterMap map;
    char text[8];
    for (size_t i = 0; i < regs_.size(); ++i) {
        std::snprintf(text, sizeof text, "R%zu", i);
        map[text] = regs_[i];
    }
    map["index"] = selected_;
    return map;
}

bool NsPc873xx::eppFeature() const
{
    return (regs_[kFer] & kFerParallel) && (regs_[kPtr] & kPtrExtended) &&
           (regs_[kPcr] & kPcrEpp) && selectedPort() == portBase_;
}

}  // namespace sim
