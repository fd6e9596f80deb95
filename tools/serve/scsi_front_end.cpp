// The class driver's part in front of the machine's disk; see the header
// for what it does. Choices made here:
//
// * Every command runs to completion before execute() returns, through the
//   machine's DiskClient (which fetches the sense after a CHECK CONDITION)
//   with its time-out; nothing is ever left open between two commands.
// * Reads, writes and verifies are split into pieces of at most the
//   adapter's MaximumTransferLength and at most 255 blocks: the driver
//   takes the sector count from one CDB byte, so a piece of 256 blocks
//   would reach the drive as a count of 0. Each piece keeps the initiator's
//   opcode and its other CDB bytes; only the address and length change.
//   A 10-byte command of length 0 moves nothing and is GOOD without
//   reaching the driver (which would take 0 as 256 blocks); a 6-byte one
//   means 256 blocks.
// * The block length is the one the DiskClient knows (512 until a READ
//   CAPACITY said otherwise); the front end sends no command of its own to
//   learn it, so no unit attention meant for the initiator is swallowed.
// * Lengths: a read runs whole, into buffers of the front end's own, and
//   returns at most expectedIn bytes. A write writes only the whole blocks
//   that the data-out covers (at most the command's length), as a target
//   does with a transfer length longer than the initiator's; dataOutUsed
//   says how much was taken. Any other data-in command gets a buffer of
//   expectedIn bytes with spare room behind it, since some answers (the
//   driver's REQUEST SENSE) are written whole whatever the length.
// * A command without a SCSI status of its own is a transport failure,
//   reported as CHECK CONDITION with ABORTED COMMAND, which initiators
//   retry: a time-out (the host has reset the bus, as the port driver
//   does) as ASC 0x08 ASCQ 0x01, logical unit communication time-out;
//   any other SRB failure (selection time-out, bus reset, abort, a CHECK
//   CONDITION whose sense could not be read) as ASC 0x08 ASCQ 0x00,
//   logical unit communication failure. SRB_STATUS_DATA_OVERRUN with GOOD
//   status counts as success, as a class driver takes it.
// * ABORT TASK: commands run to completion one at a time, so an abort that
//   arrives finds nothing open; it is answered as done. Should a request
//   be open on the adapter, the abort SRB goes to the driver.
#include "tools/serve/scsi_front_end.h"

#include <algorithm>

#include "sim/host/disk_client.h"
#include "sim/host/scsi_port_host.h"

namespace serve {

namespace {

// Opcodes the front end looks at.
constexpr uint8_t kRead6 = 0x08;
constexpr uint8_t kWrite6 = 0x0A;
constexpr uint8_t kInquiry = 0x12;
// The one vital product data page answered: the list of supported pages.
constexpr uint8_t kSupportedVpdPages = 0x00;
constexpr uint8_t kRead10 = 0x28;
constexpr uint8_t kWrite10 = 0x2A;
constexpr uint8_t kVerify10 = 0x2F;
constexpr uint8_t kSynchronizeCache10 = 0x35;
constexpr uint8_t kSynchronizeCache16 = 0x91;
constexpr uint8_t kServiceActionIn16 = 0x9E;
constexpr uint8_t kReadCapacity16Action = 0x10;
constexpr uint8_t kReportLuns = 0xA0;

// Sense keys and codes of the answers built here.
constexpr uint8_t kKeyIllegalRequest = 0x05;
constexpr uint8_t kKeyAbortedCommand = 0x0B;
constexpr uint8_t kAscLbaOutOfRange = 0x21;
constexpr uint8_t kAscInvalidFieldInCdb = 0x24;
constexpr uint8_t kAscCommunicationFailure = 0x08;
constexpr uint8_t kAscqCommunicationFailure = 0x00;
constexpr uint8_t kAscqCommunicationTimeout = 0x01;

// The largest piece count the driver can take (one CDB byte, 0 excluded).
constexpr uint32_t kLargestPieceBlocks = 255;
// Spare room behind a data-in buffer handed to the driver unsplit.
constexpr uint32_t kSpareBytes = 256;

uint32_t beField(const std::vector<uint8_t>& b, size_t at, size_t bytes)
{
    uint32_t value = 0;
    for (size_t i = 0; i < bytes; ++i) value = (value << 8) | b[at + i];
    return value;
}

void putBe(std::vector<uint8_t>& b, size_t at, size_t bytes, uint64_t value)
{
    for (size_t i = 0; i < bytes; ++i) b[at + i] = static_cast<uint8_t>(value >> (8 * (bytes - 1 - i)));
}

// Fixed-format sense, current error, 18 bytes.
std::vector<uint8_t> fixedSense(uint8_t key, uint8_t asc, uint8_t ascq)
{
    std::vector<uint8_t> sense(18, 0);
    sense[0] = 0x70;
    sense[2] = key;
    sense[7] = 10;  // additional sense length
    sense[12] = asc;
    sense[13] = ascq;
    return sense;
}

ScsiOutcome checkCondition(uint8_t key, uint8_t asc, uint8_t ascq)
{
    ScsiOutcome outcome;
    outcome.status = kStatusCheckCondition;
    outcome.sense = fixedSense(key, asc, ascq);
    return outcome;
}

ScsiOutcome transportFailure(uint8_t ascq)
{
    ScsiOutcome outcome = checkCondition(kKeyAbortedCommand, kAscCommunicationFailure, ascq);
    outcome.transportFailure = true;
    return outcome;
}

bool succeeded(const sim::CommandResult& r)
{
    return r.completed && !r.hang && r.scsiStatus == SCSISTAT_GOOD &&
           (r.srbStatus == SRB_STATUS_SUCCESS || r.srbStatus == SRB_STATUS_DATA_OVERRUN);
}

// Status and sense of a command that did not succeed.
ScsiOutcome failure(const sim::CommandResult& r)
{
    if (!r.completed || r.hang) return transportFailure(kAscqCommunicationTimeout);
    if (r.scsiStatus == SCSISTAT_CHECK_CONDITION) {
        if (!r.senseValid) return transportFailure(kAscqCommunicationFailure);
        ScsiOutcome outcome;
        outcome.status = kStatusCheckCondition;
        outcome.sense = r.sense;
        return outcome;
    }
    if (r.scsiStatus != SCSISTAT_GOOD) {  // BUSY and the like: the device's own status
        ScsiOutcome outcome;
        outcome.status = r.scsiStatus;
        return outcome;
    }
    return transportFailure(kAscqCommunicationFailure);
}

// The address and length fields of a read, write or verify.
struct Transfer {
    bool sixByte = false;
    uint32_t lba = 0;
    uint32_t blocks = 0;
};

Transfer transferOf(const std::vector<uint8_t>& cdb)
{
    Transfer t;
    t.sixByte = cdb[0] == kRead6 || cdb[0] == kWrite6;
    if (t.sixByte) {
        t.lba = (uint32_t(cdb[1] & 0x1F) << 16) | beField(cdb, 2, 2);
        t.blocks = cdb[4] ? cdb[4] : 256;
    } else {
        t.lba = beField(cdb, 2, 4);
        t.blocks = beField(cdb, 7, 2);
    }
    return t;
}

// The initiator's CDB with another address and length.
std::vector<uint8_t> pieceCdb(const std::vector<uint8_t>& cdb, bool sixByte, uint32_t lba,
                              uint32_t blocks)
{
    std::vector<uint8_t> piece = cdb;
    if (sixByte) {
        piece[1] = static_cast<uint8_t>((cdb[1] & 0xE0) | ((lba >> 16) & 0x1F));
        putBe(piece, 2, 2, lba & 0xFFFF);
        piece[4] = static_cast<uint8_t>(blocks);
    } else {
        putBe(piece, 2, 4, lba);
        putBe(piece, 7, 2, blocks);
    }
    return piece;
}

}  // namespace

ScsiFrontEnd::ScsiFrontEnd(sim::SimulatedPc& pc) : pc_(pc) {}

ScsiOutcome ScsiFrontEnd::execute(const std::vector<uint8_t>& cdb, const std::vector<uint8_t>& dataOut,
                                  uint32_t expectedIn)
{
    if (cdb.empty()) return passThrough(cdb, dataOut, expectedIn);
    switch (cdb[0]) {
    case kRead6:
    case kWrite6:
        if (cdb.size() >= 6) return transfer(cdb, dataOut, expectedIn);
        break;
    case kRead10:
    case kWrite10:
    case kVerify10:
        if (cdb.size() >= 10) return transfer(cdb, dataOut, expectedIn);
        break;
    case kReportLuns:
        if (cdb.size() >= 12) return reportLuns(cdb, expectedIn);
        break;
    case kServiceActionIn16:
        if (cdb.size() >= 16 && (cdb[1] & 0x1F) == kReadCapacity16Action)
            return readCapacity16(cdb, expectedIn);
        break;
    case kSynchronizeCache10:
    case kSynchronizeCache16:
        return ScsiOutcome{};
    case kInquiry:
        if (cdb.size() >= 6 && (cdb[1] & 0x01)) {
            if (cdb[2] == kSupportedVpdPages) return supportedVpdPages(cdb, expectedIn);
            return checkCondition(kKeyIllegalRequest, kAscInvalidFieldInCdb, 0);
        }
        break;
    default:
        break;
    }
    return passThrough(cdb, dataOut, expectedIn);
}

ScsiOutcome ScsiFrontEnd::passThrough(const std::vector<uint8_t>& cdb, const std::vector<uint8_t>& dataOut,
                                      uint32_t expectedIn)
{
    std::vector<uint8_t> buffer;
    sim::DataDirection direction = sim::DataDirection::None;
    uint32_t length = 0;
    if (!dataOut.empty()) {
        direction = sim::DataDirection::Out;
        buffer = dataOut;
        length = static_cast<uint32_t>(dataOut.size());
    } else if (expectedIn > 0) {
        direction = sim::DataDirection::In;
        buffer.assign(size_t(expectedIn) + kSpareBytes, 0);
        length = expectedIn;
    }
    sim::CommandResult r = pc_.disk().command(cdb, direction, buffer.empty() ? nullptr : buffer.data(), length);
    if (!succeeded(r)) return failure(r);
    ScsiOutcome outcome;
    if (direction == sim::DataDirection::In) {
        uint32_t moved = std::min(expectedIn, r.dataTransferLength);
        outcome.dataIn.assign(buffer.begin(), buffer.begin() + moved);
    } else if (direction == sim::DataDirection::Out) {
        outcome.dataOutUsed = std::min(length, r.dataTransferLength);
    }
    return outcome;
}

ScsiOutcome ScsiFrontEnd::transfer(const std::vector<uint8_t>& cdb, const std::vector<uint8_t>& dataOut,
                                   uint32_t expectedIn)
{
    const uint8_t op = cdb[0];
    const bool reading = op == kRead6 || op == kRead10;
    const bool writing = op == kWrite6 || op == kWrite10;
    sim::DiskClient& disk = pc_.disk();
    const uint32_t blockLength = disk.blockLength();
    const uint32_t pieceBlocks =
        std::max<uint32_t>(1, std::min(disk.maximumTransferBytes() / blockLength, kLargestPieceBlocks));

    Transfer t = transferOf(cdb);
    uint32_t blocks = t.blocks;
    if (writing) blocks = std::min<uint32_t>(blocks, static_cast<uint32_t>(dataOut.size() / blockLength));

    ScsiOutcome outcome;
    std::vector<uint8_t> piece;
    for (uint32_t done = 0; done < blocks;) {
        const uint32_t n = std::min(pieceBlocks, blocks - done);
        const uint32_t lba = t.lba + done;
        // A 6-byte command holds a 21-bit address; a piece past it cannot
        // be said in the initiator's form.
        if (t.sixByte && lba > 0x1FFFFF) return checkCondition(kKeyIllegalRequest, kAscLbaOutOfRange, 0);
        const uint32_t bytes = n * blockLength;
        std::vector<uint8_t> pcdb = pieceCdb(cdb, t.sixByte, lba, n);
        sim::CommandResult r;
        if (reading) {
            piece.assign(bytes, 0);
            r = disk.command(pcdb, sim::DataDirection::In, piece.data(), bytes);
        } else if (writing) {
            // Each piece in a buffer of its own, as the class driver maps a
            // piece of the caller's buffer.
            piece.assign(dataOut.begin() + size_t(done) * blockLength,
                         dataOut.begin() + size_t(done + n) * blockLength);
            r = disk.command(pcdb, sim::DataDirection::Out, piece.data(), bytes);
            outcome.dataOutUsed += bytes;
        } else {
            r = disk.command(pcdb, sim::DataDirection::None, nullptr, 0);
        }
        if (!succeeded(r)) {
            ScsiOutcome failed = failure(r);
            failed.dataOutUsed = outcome.dataOutUsed;
            return failed;
        }
        if (reading && outcome.dataIn.size() < expectedIn) {
            size_t take = std::min<size_t>(piece.size(), expectedIn - outcome.dataIn.size());
            outcome.dataIn.insert(outcome.dataIn.end(), piece.begin(), piece.begin() + take);
        }
        done += n;
    }
    return outcome;
}

namespace {

// Data the target answers itself, cut to the CDB's allocation length and
// the initiator's expectation.
ScsiOutcome answer(std::vector<uint8_t> data, uint32_t allocation, uint32_t expectedIn)
{
    data.resize(std::min<size_t>({data.size(), allocation, expectedIn}));
    ScsiOutcome outcome;
    outcome.dataIn = std::move(data);
    return outcome;
}

}  // namespace

ScsiOutcome ScsiFrontEnd::reportLuns(const std::vector<uint8_t>& cdb, uint32_t expectedIn)
{
    // One LUN, 0: the list length (8) and the one 8-byte entry.
    std::vector<uint8_t> list(16, 0);
    list[3] = 8;
    return answer(list, beField(cdb, 6, 4), expectedIn);
}

ScsiOutcome ScsiFrontEnd::supportedVpdPages(const std::vector<uint8_t>& cdb, uint32_t expectedIn)
{
    // The device's peripheral byte, as the driver reports it in its
    // standard data, and a list naming no page but this one.
    sim::InquiryResult standard = pc_.disk().inquiry();
    if (!succeeded(standard.result)) return failure(standard.result);
    std::vector<uint8_t> data = {standard.data.empty() ? uint8_t(0) : standard.data[0],
                                 kSupportedVpdPages, 0, 1, kSupportedVpdPages};
    return answer(data, beField(cdb, 3, 2), expectedIn);
}

ScsiOutcome ScsiFrontEnd::readCapacity16(const std::vector<uint8_t>& cdb, uint32_t expectedIn)
{
    sim::CapacityResult capacity = pc_.disk().readCapacity();
    if (!succeeded(capacity.result)) return failure(capacity.result);
    std::vector<uint8_t> data(32, 0);
    putBe(data, 0, 8, capacity.lastBlock);
    putBe(data, 8, 4, capacity.blockLength);
    return answer(data, beField(cdb, 10, 4), expectedIn);
}

bool ScsiFrontEnd::taskManagement(TaskFunction function)
{
    sim::ScsiPortHost& host = pc_.host();
    if (host.adapterCount() == 0) return false;
    switch (function) {
    case TaskFunction::AbortTask: {
        if (host.adapter(0).outstanding.empty()) return true;  // nothing open to abort
        sim::ExecuteResult r = host.sendFunction(SRB_FUNCTION_ABORT_COMMAND, 0, 0);
        return r.completed && r.srbStatus == SRB_STATUS_SUCCESS;
    }
    case TaskFunction::LunReset: {
        // The driver resets its bus for it, which may end the reset SRB
        // itself with the bus-reset status.
        sim::ExecuteResult r = host.sendFunction(SRB_FUNCTION_RESET_DEVICE, 0, 0);
        return r.completed && !r.hang &&
               (r.srbStatus == SRB_STATUS_SUCCESS || r.srbStatus == SRB_STATUS_BUS_RESET);
    }
    case TaskFunction::TargetWarmReset:
        return host.resetBus(0);
    }
    return false;
}

}  // namespace serve
