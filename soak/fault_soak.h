// A fault soak: random READ(10), WRITE(10) and VERIFY(10) requests over the
// whole disk of a simulated PC, with faults injected at random through the
// drive's and the adapter's knobs, every result checked against a shadow
// copy of what the disk must hold.
//
// The run is cut into segments. Each segment builds a new SimulatedPc: the
// machine kinds the tool offers are taken in turn, the drive preset (by its
// draw weight) and, for a drive that takes any size, the image size are
// drawn, and the argument string either lets the driver negotiate its modes
// or forces a read/write mode pair the machine's port can carry, as the
// table of machine kinds says (sometimes with /da, /dm or /di). The pair the driver ends up using, as
// the mode byte it leaves on the port's data lines shows it, is recorded.
//
// The disk's contents are generated: every block holds a pattern made from
// (cartridge, block, stamp), stamp 0 being the contents at power-on. The
// shadow is one stamp per block; a write gives its blocks a new stamp. The
// image the drive sees is a SoakImage that produces the power-on pattern
// for blocks never written, so the whole disk is meaningful from the start.
//
// Faults, one drawn for some requests (the rest run clean):
//   unreadable sector     UNC (with or without data), AMNF, BBK in range
//   missing sector        IDNF in range (reads, verifies and writes)
//   corrected sector      CORR in range (the data is good)
//   aborted command       ABRT for the data opcodes, once or always
//   stuck busy            the drive shows BSY for a while once the command
//                         has been written, then lets go
//   lost interrupt        the next INTRQ rises are lost
//   bus reset             the host resets the bus while the request is open
//                         (or ends it through its time-out path)
//   adapter unplugged     the adapter is disconnected during the request and
//                         plugged back in later
//   medium removed,       on a removable preset: the cartridge is taken out
//   medium changed,       (put back after a few requests), swapped for the
//   write protected       second cartridge, or write protected for a while
//   past the end          the request reaches beyond the capacity
//
// Checks after every request:
//   - a successful read returns exactly the shadow (a block of a failed
//     write not yet settled may hold its old or its new contents), and
//     nothing past the buffer is touched;
//   - a successful write is in the image block for block;
//   - a failed write may have written a prefix of its blocks (ATA writes
//     sector by sector): its blocks are held as "old or new" until a later
//     request has succeeded, then the image must show new blocks followed
//     by old ones and the shadow learns which; with several failed writes
//     over a block before one is settled, the block may hold the contents
//     of any of them (a later one need not have reached it);
//   - a request whose fault cannot be got round (an always-failing sector
//     in range, a missing or protected cartridge, past the end) never
//     reports success;
//   - a failure carries a failing SRB status, and a CHECK CONDITION whose
//     REQUEST SENSE answers carries a nonzero sense key (one whose REQUEST
//     SENSE fails too, as with the adapter unplugged, is counted apart);
//   - no request needs the host's time-out (a hang), and the host's
//     violation list stays empty;
//   - the drive sees no protocol violation (a register or command written
//     while BSY or DRQ is set, data moved without DRQ, nIEN), at start-up
//     or in a request, unless the driver had lost the drive just before:
//     a request with a stuck drive, lost interrupts, a bus reset, the
//     host's time-out or the adapter unplugged, and every request after it
//     up to the next that succeeds. There the driver gave a command up
//     without ending it on the drive (its wait ran out, or the adapter was
//     gone), and the drive may still be busy with it, or offering or
//     wanting its data, when the next command comes; those violations are
//     counted apart.
// At the end of each segment every block ever written (and a sample of the
// others) is compared between image and shadow, on both cartridges.
#ifndef SOAK_FAULT_SOAK_H
#define SOAK_FAULT_SOAK_H

#include <cstdint>
#include <map>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "sim/bus/io_bus.h"
#include "sim/machine/driver_image.h"

namespace sim {

enum class SoakFault {
    None,
    UnreadableSector,
    MissingSector,
    CorrectedSector,
    AbortedCommand,
    StuckBusy,
    LostInterrupt,
    BusReset,
    TimeoutPath,
    AdapterUnplugged,
    MediumRemoved,
    MediumChanged,
    WriteProtected,
    PastTheEnd,
};
const char* soakFaultName(SoakFault fault);

struct SoakOptions {
    // The driver every machine of the run loads.
    DriverImage driver;
    uint64_t requests = 1000;
    uint64_t seed = 1;
    uint32_t segmentRequests = 250;  // requests per simulated PC
    unsigned faultPercent = 20;      // share of requests that get a fault
    // Machine kinds to cycle through; empty: all those the tool offers.
    std::vector<std::string> hosts;
    // Drive presets to draw from; empty: all of them, by their draw weights.
    std::vector<std::string> drives;
    // Where findings are written as they happen (nullptr: kept only).
    std::ostream* log = nullptr;
    size_t maxFindings = 50;  // kept in SoakStats::findings
    // Also lose INTRQ at the drive itself (the line never rises), not only
    // the edge on its way to the host. The driver has no way round that but
    // the host's time-out, so it is off unless asked for.
    bool driveInterruptLoss = false;
    // Fault kinds left out of the draw.
    std::set<SoakFault> excluded;
    // Request number (0-based) whose drive commands and events are written
    // to the log, for looking into a finding.
    uint64_t dumpRequest = ~0ull;
};

struct SoakStats {
    uint64_t requests = 0;
    uint64_t reads = 0, writes = 0, verifies = 0;
    uint64_t blocksMoved = 0;            // by successful reads and writes
    uint64_t faultsInjected = 0;
    uint64_t failuresReported = 0;       // requests that did not end GOOD
    uint64_t mismatches = 0;             // wrong data or a wrong success
    uint64_t hangs = 0;                  // the host's time-out had to end a request
    uint64_t hostViolations = 0;
    uint64_t unexplainedFailures = 0;    // failed without a failing status or key
    uint64_t senseUnavailable = 0;       // CHECK CONDITION, but REQUEST SENSE got nothing
    uint64_t cleanFailures = 0;          // failed, no fault in it or in the one before
    uint64_t followOnFailures = 0;       // failed, no fault of its own, one just before
    uint64_t bootFailures = 0;
    uint64_t segments = 0;
    uint64_t driveViolations = 0;        // the drive model's protocol counters
    uint64_t unexplainedDriveViolations = 0;  // of those, not after the drive was lost
    uint64_t adapterViolations = 0;      // the adapter model's
    Nanoseconds virtualTime = 0;
    Nanoseconds longestRequest = 0;
    std::map<SoakFault, uint64_t> faults;        // injected, by kind
    std::map<SoakFault, uint64_t> failures;      // failed requests, by their fault
    std::map<std::string, uint64_t> senseKeys;   // "key 3", "srb 0x0E", ...
    std::set<std::pair<unsigned, unsigned>> modes;  // (read, write) pairs used
    std::set<std::string> hosts;
    std::set<std::string> drives;
    std::vector<std::string> findings;

    bool passed() const
    {
        return mismatches == 0 && hangs == 0 && hostViolations == 0 && unexplainedFailures == 0 &&
               bootFailures == 0 && unexplainedDriveViolations == 0;
    }
    // "soak: requests N, faults injected N, failures reported N, mismatches N, hangs N"
    std::string summaryLine() const;
    // Further lines: coverage, faults by kind, findings.
    std::string detailText() const;
};

class FaultSoak {
public:
    explicit FaultSoak(SoakOptions options);
    SoakStats run();

private:
    SoakOptions options_;
};

}  // namespace sim

#endif  // SOAK_FAULT_SOAK_H
