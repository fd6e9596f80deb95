#include "sim/chips/cmos_window_chipset.h"

namespace sim {

CmosWindowChipset::CmosWindowChipset(Rtc& rtc, PortFeatureSwitch& features,
                                     IoDevice& portRegisters, uint16_t portBase, ChipFault fault)
    : ChipModel(&features, fault), rtc_(rtc), port_(portRegisters), portBase_(portBase)
{
    rtc_.setMirrorAtF073(false);
    window_[4] = 0x00;
    window_[7] = 0x3C;
    window_[kLockRegister] = 0x00;
    powerOn();
}

bool CmosWindowChipset::portRegisterAt(uint16_t port) const
{
    return portBase_ != 0 && (port == portBase_ + 3 || port == portBase_ + 7);
}

bool CmosWindowChipset::decodes(uint16_t port) const
{
    return port == kWindowPort || port == kPresencePort || port == kPresencePort + 1 ||
           port == kConfigPort || port == kConfigPort + 1 || portRegisterAt(port);
}

uint16_t CmosWindowChipset::configWord() const
{
    uint16_t select = portBase_ == 0x3BC ? 1 : portBase_ == 0x378 ? 2 : portBase_ == 0x278 ? 3 : 0;
    return static_cast<uint16_t>(0x0001 | (select << 9));
}

uint8_t CmosWindowChipset::read8(uint16_t port)
{
    if (portRegisterAt(port)) return port_.decodes(port) ? port_.read8(port) : 0xFF;
    if (port == kWindowPort) return window_[rtc_.selectedIndex()];
    if (!unlocked_) {
        noteViolation("extended port read while locked");
        return 0xFF;
    }
    if (port == kPresencePort) return static_cast<uint8_t>(0x09);
    if (port == kPresencePort + 1) {
        uint8_t high = static_cast<uint8_t>(0x08 | (toggle_ ? 0x80 : 0x00));
        if (fault() != ChipFault::WrongAnswer) toggle_ = !toggle_;
        return high;
    }
    uint16_t word = configWord();
    return static_cast<uint8_t>(port == kConfigPort ? word : word >> 8);
}

void CmosWindowChipset::write8(uint16_t port, uint8_t value)
{
    if (portRegisterAt(port)) {
        if (port == portBase_ + 3) reg3_ = value;
        else reg7_ = value;
        if (port_.decodes(port)) port_.write8(port, value);
        publish();
        return;
    }
    if (port != kWindowPort) {
        noteViolation("write to a read-only extended port");
        return;
    }
    noteWrite();
    uint8_t index = rtc_.selectedIndex();
    window_[index] = value;
    rtc_.writeRegister(index, value);
    if (index == kLockRegister) unlocked_ = value == kUnlockKey;
}

ChipModel::RegisterMap CmosWindowChipset::registers() const
{
    return {{"window4", window_[4]},
            {"window7", window_[7]},
            {"window9", window_[kLockRegister]},
            {"unlocked", unlocked_},
            {"port+3", reg3_},
            {"port+7", reg7_}};
}

bool CmosWindowChipset::eppFeature() const
{
    return (reg7_ & kReg7EppBits) == kReg7EppBits && (reg3_ & kReg3EppBit);
}

}  // namespace sim
