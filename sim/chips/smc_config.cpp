#include "sim/chips/smc_config.h"

namespace sim {

SmcConfigPort::SmcConfigPort(PortFeatureSwitch& features, uint16_t configPort, uint8_t key,
                             ChipFault fault)
    : ChipModel(&features, fault), index_(configPort), key_(key)
{
}

bool SmcConfigPort::decodes(uint16_t port) const
{
    if (bracketed() && (port == kBracketOpen || port == kBracketClose)) return true;
    if (port != index_ && port != index_ + 1) return false;
    return !bracketed() || bracketOpen_;
}

uint8_t SmcConfigPort::read8(uint16_t port)
{
    if (port == kBracketOpen || port == kBracketClose || mode_ != Mode::Config) return 0xFF;
    if (port == index_) return selected_;
    return readRegister(selected_);
}

void SmcConfigPort::write8(uint16_t port, uint8_t value)
{
    if (bracketed() && port == kBracketOpen) {
        if (value == kBracketKey) bracketOpen_ = true;
        return;
    }
    if (bracketed() && port == kBracketClose) {
        if (value == kBracketKey) bracketOpen_ = false;
        return;
    }
    if (port == index_) {
        writeIndex(value);
        return;
    }
    if (mode_ != Mode::Config) {
        noteViolation("data port written outside configuration mode");
        return;
    }
    noteWrite();
    writeRegister(selected_, value);
    publish();
}

void SmcConfigPort::writeIndex(uint8_t value)
{
    switch (mode_) {
    case Mode::Run:
        if (value == key_) mode_ = Mode::KeySeen;
        break;
    case Mode::KeySeen:
        if (value == key_) {
            mode_ = Mode::Config;
            ++entries_;
        } else {
            mode_ = Mode::Run;
        }
        break;
    case Mode::Config:
        if (value == kExitKey)
            mode_ = Mode::Run;
        else
            selected_ = value;
        break;
    }
}

ChipModel::RegisterMap SmcConfigPort::registers() const
{
    RegisterMap map;
    map["config-mode"] = mode_ == Mode::Config;
    if (bracketed()) map["bracket-open"] = bracketOpen_;
    chipRegisters(map);
    return map;
}

}  // namespace sim
