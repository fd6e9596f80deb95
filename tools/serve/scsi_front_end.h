// The disk class driver's part for a network initiator: each SCSI command an
// initiator sends reaches the driver as an SRB through the stand-in host,
// the way the operating system's class driver would send it, and the
// outcome comes back as status, sense and data.
//
// * A CDB goes to the driver unchanged. A READ(6/10) or WRITE(6/10) (and
//   VERIFY(10)) longer than the adapter's MaximumTransferLength is split
//   into pieces the driver accepts, as the class driver splits it; the first
//   failing piece ends the command with that piece's status and sense.
// * After a CHECK CONDITION the front end fetches the sense with REQUEST
//   SENSE (the driver gives no automatic sense) and returns it.
// * A few commands today's initiators need and a disk of this period lacks
//   are answered here, each built from what the driver reports and nothing
//   else: REPORT LUNS (one LUN, 0), READ CAPACITY(16) (from the driver's
//   READ CAPACITY(10)), SYNCHRONIZE CACHE(10/16) (GOOD: commands reach the
//   driver one at a time and each has completed, and the driver keeps no
//   cache), and INQUIRY with EVPD set: the list of supported vital product
//   data pages (page 0x00) names no page but itself, with the peripheral
//   byte of the driver's standard data (an initiator such as QEMU does not
//   open a disk whose INQUIRY for that list fails); every other page is
//   CHECK CONDITION, ILLEGAL REQUEST, invalid field in CDB, since the
//   driver would answer standard data to it.
//   Everything else goes to the driver, which refuses what it does not
//   serve.
// * Task management maps to the SRB functions: ABORT TASK to an abort, LUN
//   RESET to a device reset, TARGET WARM RESET to a bus reset.
// * A command that does not complete in time is handled as the port driver
//   handles a time-out (the bus is reset) and reported as a failure.
#ifndef TOOLS_SERVE_SCSI_FRONT_END_H
#define TOOLS_SERVE_SCSI_FRONT_END_H

#include <cstdint>
#include <vector>

#include "sim/machine/simulated_pc.h"

namespace serve {

// SCSI status bytes the front end returns.
constexpr uint8_t kStatusGood = 0x00;
constexpr uint8_t kStatusCheckCondition = 0x02;
constexpr uint8_t kStatusBusy = 0x08;

struct ScsiOutcome {
    uint8_t status = kStatusGood;
    std::vector<uint8_t> sense;   // fixed-format sense data after a CHECK CONDITION (else empty)
    std::vector<uint8_t> dataIn;  // what the device returned (at most the expected length)
    // Bytes of the data-out buffer the command consumed (for residuals).
    uint32_t dataOutUsed = 0;
    // The command failed without a SCSI status of its own (time-out, an SRB
    // status other than success): reported to the initiator as a CHECK
    // CONDITION with the sense given here (e.g. ABORTED COMMAND).
    bool transportFailure = false;
};

enum class TaskFunction { AbortTask, LunReset, TargetWarmReset };

class ScsiFrontEnd {
public:
    // The machine must have booted and found its adapter.
    explicit ScsiFrontEnd(sim::SimulatedPc& pc);

    // One command for LUN 0 (the caller refuses other LUNs). dataOut holds
    // what the initiator sent (WRITE data), expectedIn the initiator's
    // expected data-in length (the allocation the SRB gets for a data-in
    // command).
    ScsiOutcome execute(const std::vector<uint8_t>& cdb, const std::vector<uint8_t>& dataOut,
                        uint32_t expectedIn);

    // Task management; true when the function was carried out.
    bool taskManagement(TaskFunction function);

private:
    // A command the driver runs as it is.
    ScsiOutcome passThrough(const std::vector<uint8_t>& cdb, const std::vector<uint8_t>& dataOut,
                            uint32_t expectedIn);
    // READ, WRITE and VERIFY, in pieces the adapter takes.
    ScsiOutcome transfer(const std::vector<uint8_t>& cdb, const std::vector<uint8_t>& dataOut,
                         uint32_t expectedIn);
    ScsiOutcome reportLuns(const std::vector<uint8_t>& cdb, uint32_t expectedIn);
    ScsiOutcome readCapacity16(const std::vector<uint8_t>& cdb, uint32_t expectedIn);
    ScsiOutcome supportedVpdPages(const std::vector<uint8_t>& cdb, uint32_t expectedIn);

    sim::SimulatedPc& pc_;
};

}  // namespace serve

#endif  // TOOLS_SERVE_SCSI_FRONT_END_H
