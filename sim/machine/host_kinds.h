// The kinds of machine a simulated PC is built as, in one table: what each
// has on its board besides the interrupt controller and the real-time
// clock, its parallel port as it powers on, and what that port can carry
// once the driver has set it up. The machine builds itself from it;
// nimbsim --host and --help, the soak's rotation and forced modes, the
// bench and the tests read it.
#ifndef SIM_MACHINE_HOST_KINDS_H
#define SIM_MACHINE_HOST_KINDS_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/bus/io_bus.h"
#include "sim/chips/chip_model.h"
#include "sim/wire/parallel_port.h"

namespace sim {

class Rtc;

// What a machine's chip is wired to when it is built.
struct ChipWiring {
    IoBus& bus;
    ParallelPort& port;  // the port whose features the chip switches
    Rtc& rtc;            // the real-time clock, which a chipset may hide
    uint16_t portBase;   // where the port is decoded
    ChipFault fault;     // the fault variant asked for
};

struct HostKindInfo {
    const char* name;
    const char* description;  // the line nimbsim --help gives it
    // The parallel port at power-on.
    ParallelPortKind portKind;
    bool bidirectionalAtPowerOn;
    bool eppAtPowerOn;
    bool byte7Direction;  // control bit 7, not 5, turns the data lines around
    // The interrupt controller decodes only some address lines and also
    // answers at 0x22/0x23 and 0x2E/0x2F.
    bool picMirrors;
    // The board's chip (Super I/O chip, PCI function, chipset, PS/2 board);
    // null: none.
    std::unique_ptr<ChipModel> (*buildChip)(const ChipWiring& wiring);
    // Reads the port can carry besides nibble and five-plus-three (which
    // every port carries, as it does strobed byte writes).
    bool bit7Reads;           // byte-wide with control bit 7 (read modes 6, 7)
    bool bidirectionalReads;  // byte-wide with control bit 5 (read modes 8, 9)
    bool epp;                 // EPP both ways (read mode 10, write mode 3)
    // Offered by nimbsim --host, listed by --help and taken in turn by the
    // soak. The others are machines only the bench builds.
    bool offered;
};

// Every kind, offered or not.
const std::vector<HostKindInfo>& hostKindTable();
// The kinds offered, in the order --help lists them.
const std::vector<HostKindInfo>& hostKinds();
// Any kind of the table by name; null when there is none.
const HostKindInfo* findHostKind(const std::string& name);
// An offered kind.
bool isHostKind(const std::string& name);

}  // namespace sim

#endif  // SIM_MACHINE_HOST_KINDS_H
