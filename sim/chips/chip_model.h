// Common ground of the host chip models (Super I/O chips, chipsets, PCI
// configuration, PS/2 system board, PIC, RTC).
//
// A chip model is an IoDevice that answers its configuration ports and, for
// the parallel port it owns, flips the port's features through a
// PortFeatureSwitch. This base class holds what every model shares:
//   - the fault variant the machine was built with;
//   - publishing of the port features: a model publishes its power-on
//     features once at construction and then whenever its registers change
//     them. With ChipFault::SwitchIgnored later changes never reach the port
//     (the chip answers, but its mode switch has no effect). A chip that
//     selects the port's address publishes it as well; the address follows
//     the registers whatever the fault variant, since it is decoding and not
//     a mode switch;
//   - a count of protocol violations, so a wrong sequence fails a test
//     instead of passing by luck;
//   - a snapshot of the registers at power-on, so a test can ask whether a
//     probe left the chip as it found it.
#ifndef SIM_CHIPS_CHIP_MODEL_H
#define SIM_CHIPS_CHIP_MODEL_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "sim/bus/io_bus.h"
#include "sim/wire/port_features.h"

namespace sim {

enum class ChipFault {
    None,
    SwitchIgnored,  // identity and registers answer, the port's mode never changes
    WrongAnswer,    // one identity or test read answers wrongly (see each model)
};

const char* chipFaultName(ChipFault fault);

class ChipModel : public IoDevice {
public:
    using RegisterMap = std::map<std::string, uint32_t>;

    ChipModel(PortFeatureSwitch* features, ChipFault fault) : features_(features), fault_(fault) {}

    ChipFault fault() const { return fault_; }

    uint64_t violations() const { return violations_; }
    const std::string& lastViolation() const { return lastViolation_; }
    uint64_t writeCount() const { return writes_; }

    // Named registers (and configuration state) whose value differs from
    // power-on; empty when a probe put everything back.
    std::vector<std::string> changedRegisters() const;
    bool registersChanged() const { return !changedRegisters().empty(); }

    // Every named register with its value now.
    virtual RegisterMap registers() const = 0;

protected:
    // Call at the end of the derived constructor: records the power-on
    // registers and publishes the power-on features.
    void powerOn();
    void noteViolation(const std::string& what);
    void noteWrite() { ++writes_; }

    // The features the chip's registers give the port now. The derived
    // class says which switches it drives by overriding drives*().
    virtual bool eppFeature() const { return false; }
    virtual bool bidirectionalFeature() const { return false; }
    virtual bool alternateLayoutFeature() const { return false; }
    virtual bool drivesEpp() const { return false; }
    virtual bool drivesBidirectional() const { return false; }
    virtual bool drivesAlternateLayout() const { return false; }
    // The port's address as the registers select it (0: disabled), for a
    // chip that decides it (drivesAddress).
    virtual uint16_t addressFeature() const { return 0; }
    virtual bool drivesAddress() const { return false; }

    // Pushes changed features to the port (call after every register write).
    void publish();

private:
    void push(bool initial);

    PortFeatureSwitch* features_;
    ChipFault fault_;
    uint64_t violations_ = 0;
    std::string lastViolation_;
    uint64_t writes_ = 0;
    RegisterMap powerOnRegisters_;
    bool epp_ = false, bidir_ = false, alternate_ = false;
    uint16_t address_ = 0;
};

}  // namespace sim

#endif  // SIM_CHIPS_CHIP_MODEL_H
