// The switches a Super I/O chip or chipset holds over the parallel port it
// owns. A chip model calls these when the driver programs it, so that the
// port really gains (or loses) EPP cycles or bidirectional data lines.
#ifndef SIM_WIRE_PORT_FEATURES_H
#define SIM_WIRE_PORT_FEATURES_H

#include <cstdint>

namespace sim {

class PortFeatureSwitch {
public:
    virtual ~PortFeatureSwitch() = default;
    // EPP address and data cycles at base+3 to base+7 work.
    virtual void setChipEpp(bool enabled) = 0;
    // Control bit 5 turns the data lines to input.
    virtual void setChipBidirectional(bool enabled) = 0;
    // The chipset's own EPP layout: base+3 is a chipset register whose low
    // bits select the cycle, and base+6 carries the address cycle.
    virtual void setAlternateEppLayout(bool enabled) = 0;
    // Where the port's registers are decoded from now on (a board whose
    // configuration register selects the port's address moves it); 0: the
    // port is disabled and answers nowhere.
    virtual void setPortAddress(uint16_t base) = 0;
};

}  // namespace sim

#endif  // SIM_WIRE_PORT_FEATURES_H
