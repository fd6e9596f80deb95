// The disk class driver's side of the conversation: what an operating
// system sends to a direct-access device it finds behind a SCSI adapter,
// and the data it reads and writes there, through a ScsiPortHost.
//
// Discovery is INQUIRY (36 bytes), TEST UNIT READY, READ CAPACITY and
// MODE SENSE(6) of the pages a class driver asks for write protection and
// geometry (0x00, 0x03, 0x04; this adapter refuses the all-pages code 0x3F).
// Transfers are READ(10), WRITE(10) and VERIFY(10), split into pieces of at
// most the adapter's MaximumTransferLength. Since the adapter gives no
// automatic sense, every CHECK CONDITION is followed by REQUEST SENSE
// (18 bytes), and its key and additional sense code come back with the
// command's result. Errors are results, never exceptions.
#ifndef SIM_HOST_DISK_CLIENT_H
#define SIM_HOST_DISK_CLIENT_H

#include <cstdint>
#include <string>
#include <vector>

#include "sim/host/scsi_port_host.h"

namespace sim {

// SCSI operation codes the client sends.
namespace scsiop {
constexpr uint8_t kTestUnitReady = 0x00;
constexpr uint8_t kRezero = 0x01;
constexpr uint8_t kRequestSense = 0x03;
constexpr uint8_t kRead6 = 0x08;
constexpr uint8_t kWrite6 = 0x0A;
constexpr uint8_t kInquiry = 0x12;
constexpr uint8_t kModeSelect6 = 0x15;
constexpr uint8_t kModeSense6 = 0x1A;
constexpr uint8_t kStartStopUnit = 0x1B;
constexpr uint8_t kPreventAllow = 0x1E;
constexpr uint8_t kReadCapacity = 0x25;
constexpr uint8_t kRead10 = 0x28;
constexpr uint8_t kWrite10 = 0x2A;
constexpr uint8_t kSeek10 = 0x2B;
constexpr uint8_t kVerify10 = 0x2F;
}  // namespace scsiop

struct CommandResult {
    uint8_t srbStatus = 0;
    uint8_t scsiStatus = 0;
    bool completed = false;
    bool hang = false;
    // The SRB's DataTransferLength when it came back.
    uint32_t dataTransferLength = 0;
    // From REQUEST SENSE after a CHECK CONDITION.
    bool senseValid = false;
    uint8_t senseKey = 0;
    uint8_t asc = 0;
    uint8_t ascq = 0;
    std::vector<uint8_t> sense;

    bool good() const
    {
        return completed && !hang && srbStatus == SRB_STATUS_SUCCESS &&
               scsiStatus == SCSISTAT_GOOD;
    }
    bool checkCondition() const { return scsiStatus == SCSISTAT_CHECK_CONDITION; }
};

struct InquiryResult {
    CommandResult result;
    std::vector<uint8_t> data;  // the 36 bytes as returned
    uint8_t deviceType = 0;
    bool removable = false;
    std::string vendorProduct;  // bytes 8 to 35, blanks and NULs trimmed at the end
};

struct CapacityResult {
    CommandResult result;
    uint32_t lastBlock = 0;
    uint32_t blockLength = 0;
    uint64_t blocks() const { return uint64_t(lastBlock) + 1; }
};

struct ModeSenseResult {
    CommandResult result;
    std::vector<uint8_t> data;  // as returned, up to the allocation length
    // From the parameter header.
    uint8_t modeDataLength = 0;
    bool writeProtected = false;
    uint8_t blockDescriptorLength = 0;
    // From the block descriptor, when there is one.
    uint32_t descriptorBlocks = 0;
    uint32_t descriptorBlockLength = 0;
    // The first page after the header and descriptor, when there is one.
    bool pagePresent = false;
    uint8_t pageCode = 0;
    std::vector<uint8_t> page;  // from its code byte on
};

// What the class driver learned when it found the disk.
struct DiskInfo {
    InquiryResult inquiry;
    CommandResult ready;
    CapacityResult capacity;
    ModeSenseResult page0;
    ModeSenseResult geometry;  // page 0x03
    ModeSenseResult rigid;     // page 0x04
    bool writeProtected = false;
};

class DiskClient {
public:
    explicit DiskClient(ScsiPortHost& host, uint8_t target = 0, uint8_t lun = 0,
                        size_t adapter = 0);

    void setTarget(uint8_t target, uint8_t lun = 0)
    {
        target_ = target;
        lun_ = lun;
    }
    void setTimeout(Nanoseconds timeout) { timeout_ = timeout; }
    // The block size used by the transfer helpers: 512 until READ CAPACITY
    // reported one.
    uint32_t blockLength() const { return blockLength_; }
    // The largest piece a transfer helper sends: the adapter's
    // MaximumTransferLength (64 KiB if it left it unset), whole blocks.
    uint32_t maximumTransferBytes() const;

    // Any command. Sends REQUEST SENSE after a CHECK CONDITION.
    CommandResult command(const std::vector<uint8_t>& cdb, DataDirection direction, void* buffer,
                          uint32_t length);

    // Finding the disk, in the class driver's order.
    DiskInfo identify();

    InquiryResult inquiry(uint8_t allocation = 36);
    CommandResult testUnitReady();
    CapacityResult readCapacity();
    ModeSenseResult modeSense(uint8_t page, uint8_t allocation = 0xFF, bool disableBlockDescriptors = false);
    CommandResult requestSense(std::vector<uint8_t>& data, uint8_t allocation = 18);
    // After a command that ended in CHECK CONDITION (one the client sent,
    // or one sent straight to the host): REQUEST SENSE, and the sense data
    // with its key and additional sense code into the command's result.
    void addSense(CommandResult& result);

    // Transfers in pieces of at most maximumTransferBytes(); the first
    // failing piece ends the transfer and its result is returned.
    CommandResult read(uint32_t lba, uint32_t blocks, std::vector<uint8_t>& data);
    CommandResult write(uint32_t lba, const std::vector<uint8_t>& data);
    CommandResult verify(uint32_t lba, uint32_t blocks);
    // One command, no splitting, exactly as given.
    CommandResult read10(uint32_t lba, uint16_t blocks, void* buffer, uint32_t length);
    CommandResult write10(uint32_t lba, uint16_t blocks, const void* buffer, uint32_t length);
    CommandResult verify10(uint32_t lba, uint16_t blocks);

    CommandResult startStopUnit(bool start, bool loadEject);
    CommandResult eject() { return startStopUnit(false, true); }
    CommandResult preventAllow(bool prevent);

    // The sense of the last CHECK CONDITION.
    const CommandResult& last() const { return last_; }

private:
    ScsiPortHost& host_;
    uint8_t target_;
    uint8_t lun_;
    size_t adapter_;
    Nanoseconds timeout_ = 60 * kSecond;
    uint32_t blockLength_ = 512;
    CommandResult last_;
};

}  // namespace sim

#endif  // SIM_HOST_DISK_CLIENT_H
