#include "sim/chips/chip_model.h"

namespace sim {

const char* chipFaultName(ChipFault fault)
{
    switch (fault) {
    case ChipFault::None: return "none";
    case ChipFault::SwitchIgnored: return "switch-ignored";
    case ChipFault::WrongAnswer: return "wrong-answer";
    }
    return "?";
}

std::vector<std::string> ChipModel::changedRegisters() const
{
    std::vector<std::string> changed;
    RegisterMap now = registers();
    for (const auto& [name, value] : now) {
        auto found = powerOnRegisters_.find(name);
        if (found == powerOnRegisters_.end() || found->second != value) changed.push_back(name);
    }
    return changed;
}

void ChipModel::powerOn()
{
    powerOnRegisters_ = registers();
    push(true);
}

void ChipModel::noteViolation(const std::string& what)
{
    ++violations_;
    lastViolation_ = name() + ": " + what;
}

void ChipModel::publish()
{
    if (features_ && drivesAddress() && addressFeature() != address_) {
        address_ = addressFeature();
        features_->setPortAddress(address_);
    }
    if (fault_ == ChipFault::SwitchIgnored) return;
    push(false);
}

void ChipModel::push(bool initial)
{
    if (!features_) return;
    if (initial && drivesAddress()) {
        address_ = addressFeature();
        features_->setPortAddress(address_);
    }
    if (drivesEpp() && (initial || eppFeature() != epp_)) {
        epp_ = eppFeature();
        features_->setChipEpp(epp_);
    }
    if (drivesBidirectional() && (initial || bidirectionalFeature() != bidir_)) {
        bidir_ = bidirectionalFeature();
        features_->setChipBidirectional(bidir_);
    }
    if (drivesAlternateLayout() && (initial || alternateLayoutFeature() != alternate_)) {
        alternate_ = alternateLayoutFeature();
        features_->setAlternateEppLayout(alternate_);
    }
}

}  // namespace sim
