#include "sim/host/disk_client.h"

#include <algorithm>

namespace sim {

namespace {

void putBe32(std::vector<uint8_t>& cdb, size_t at, uint32_t value)
{
    for (int i = 0; i < 4; ++i) cdb[at + i] = static_cast<uint8_t>(value >> (24 - 8 * i));
}

uint32_t be(const std::vector<uint8_t>& data, size_t at, int bytes)
{
    uint32_t value = 0;
    for (int i = 0; i < bytes; ++i)
        value = (value << 8) | (at + i < data.size() ? data[at + i] : 0);
    return value;
}

std::vector<uint8_t> cdb10(uint8_t opcode, uint32_t lba, uint16_t blocks)
{
    std::vector<uint8_t> cdb(10, 0);
    cdb[0] = opcode;
    putBe32(cdb, 2, lba);
    cdb[7] = static_cast<uint8_t>(blocks >> 8);
    cdb[8] = static_cast<uint8_t>(blocks);
    return cdb;
}

}  // namespace

DiskClient::DiskClient(ScsiPortHost& host, uint8_t target, uint8_t lun, size_t adapter)
    : host_(host), target_(target), lun_(lun), adapter_(adapter)
{
}

uint32_t DiskClient::maximumTransferBytes() const
{
    uint32_t maximum = 64 * 1024;
    if (adapter_ < host_.adapterCount()) {
        uint32_t given = host_.maximumTransferLength(adapter_);
        if (given != 0 && given != ~0u) maximum = given;
    }
    uint32_t bytes = maximum / blockLength_ * blockLength_;
    return bytes ? bytes : blockLength_;
}

CommandResult DiskClient::command(const std::vector<uint8_t>& cdb, DataDirection direction,
                                  void* buffer, uint32_t length)
{
    CommandResult result;
    if (adapter_ >= host_.adapterCount()) return result;  // no adapter: nothing completes
    ExecuteResult r =
        host_.execute(target_, lun_, cdb, direction, buffer, length, timeout_, adapter_);
    result.srbStatus = r.srbStatus;
    result.scsiStatus = r.scsiStatus;
    result.completed = r.completed;
    result.hang = r.hang;
    result.dataTransferLength = r.dataTransferLength;
    if (r.completed && r.scsiStatus == SCSISTAT_CHECK_CONDITION) {
        addSense(result);
        last_ = result;
    }
    return result;
}

void DiskClient::addSense(CommandResult& result)
{
    std::vector<uint8_t> sense;
    CommandResult s = requestSense(sense);
    if (s.good() && sense.size() >= 14 && (sense[0] & 0x7E) == 0x70) {
        result.senseValid = true;
        result.senseKey = sense[2] & 0x0F;
        result.asc = sense[12];
        result.ascq = sense[13];
    }
    result.sense = sense;
}

CommandResult DiskClient::requestSense(std::vector<uint8_t>& data, uint8_t allocation)
{
    data.assign(allocation, 0);
    std::vector<uint8_t> cdb = {scsiop::kRequestSense, 0, 0, 0, allocation, 0};
    ExecuteResult r = host_.execute(target_, lun_, cdb, DataDirection::In, data.data(),
                                    allocation, timeout_, adapter_);
    CommandResult result;
    result.srbStatus = r.srbStatus;
    result.scsiStatus = r.scsiStatus;
    result.completed = r.completed;
    result.hang = r.hang;
    return result;
}

InquiryResult DiskClient::inquiry(uint8_t allocation)
{
    InquiryResult inq;
    inq.data.assign(allocation, 0);
    inq.result = command({scsiop::kInquiry, 0, 0, 0, allocation, 0}, DataDirection::In,
                         inq.data.data(), allocation);
    if (allocation >= 1) inq.deviceType = inq.data[0] & 0x1F;
    if (allocation >= 2) inq.removable = (inq.data[1] & 0x80) != 0;
    if (allocation > 8) {
        std::string text(inq.data.begin() + 8, inq.data.begin() + std::min<size_t>(allocation, 36));
        while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) text.pop_back();
        inq.vendorProduct = text;
    }
    return inq;
}

CommandResult DiskClient::testUnitReady()
{
    return command({scsiop::kTestUnitReady, 0, 0, 0, 0, 0}, DataDirection::None, nullptr, 0);
}

CapacityResult DiskClient::readCapacity()
{
    CapacityResult cap;
    std::vector<uint8_t> data(8, 0);
    cap.result = command(std::vector<uint8_t>{scsiop::kReadCapacity, 0, 0, 0, 0, 0, 0, 0, 0, 0},
                         DataDirection::In, data.data(), 8);
    cap.lastBlock = be(data, 0, 4);
    cap.blockLength = be(data, 4, 4);
    if (cap.result.good() && cap.blockLength != 0) blockLength_ = cap.blockLength;
    return cap;
}

ModeSenseResult DiskClient::modeSense(uint8_t page, uint8_t allocation, bool disableBlockDescriptors)
{
    ModeSenseResult ms;
    ms.data.assign(allocation, 0);
    std::vector<uint8_t> cdb = {scsiop::kModeSense6,
                                static_cast<uint8_t>(disableBlockDescriptors ? 0x08 : 0x00),
                                static_cast<uint8_t>(page & 0x3F), 0, allocation, 0};
    ms.result = command(cdb, DataDirection::In, ms.data.data(), allocation);
    if (!ms.result.good() || allocation < 4) return ms;
    ms.modeDataLength = ms.data[0];
    ms.writeProtected = (ms.data[2] & 0x80) != 0;
    ms.blockDescriptorLength = ms.data[3];
    if (ms.blockDescriptorLength >= 8 && allocation >= 12) {
        ms.descriptorBlocks = be(ms.data, 5, 3);
        ms.descriptorBlockLength = be(ms.data, 9, 3);
    }
    size_t at = 4 + size_t(ms.blockDescriptorLength);
    size_t end = std::min<size_t>(allocation, size_t(ms.modeDataLength) + 1);
    if (at + 2 <= end) {
        ms.pagePresent = true;
        ms.pageCode = ms.data[at] & 0x3F;
        size_t pageEnd = std::min(end, at + 2 + ms.data[at + 1]);
        ms.page.assign(ms.data.begin() + at, ms.data.begin() + pageEnd);
    }
    return ms;
}

DiskInfo DiskClient::identify()
{
    DiskInfo info;
    info.inquiry = inquiry(36);
    info.ready = testUnitReady();
    if (info.ready.checkCondition() && info.ready.senseKey == 6) info.ready = testUnitReady();
    info.capacity = readCapacity();
    // Page 0 has no page bytes: ask only for the header and descriptor.
    info.page0 = modeSense(0x00, 12);
    info.geometry = modeSense(0x03, 36);
    info.rigid = modeSense(0x04, 36);
    info.writeProtected = info.page0.writeProtected;
    return info;
}

CommandResult DiskClient::read10(uint32_t lba, uint16_t blocks, void* buffer, uint32_t length)
{
    return command(cdb10(scsiop::kRead10, lba, blocks), DataDirection::In, buffer, length);
}

CommandResult DiskClient::write10(uint32_t lba, uint16_t blocks, const void* buffer,
                                  uint32_t length)
{
    return command(cdb10(scsiop::kWrite10, lba, blocks), DataDirection::Out,
                   const_cast<void*>(buffer), length);
}

CommandResult DiskClient::verify10(uint32_t lba, uint16_t blocks)
{
    return command(cdb10(scsiop::kVerify10, lba, blocks), DataDirection::None, nullptr, 0);
}

CommandResult DiskClient::read(uint32_t lba, uint32_t blocks, std::vector<uint8_t>& data)
{
    data.assign(size_t(blocks) * blockLength_, 0);
    const uint32_t piece = std::min<uint32_t>(maximumTransferBytes() / blockLength_, 0xFFFF);
    CommandResult result;
    result.completed = true;
    result.srbStatus = SRB_STATUS_SUCCESS;
    for (uint32_t done = 0; done < blocks;) {
        uint16_t n = static_cast<uint16_t>(std::min(piece, blocks - done));
        result = read10(lba + done, n, data.data() + size_t(done) * blockLength_,
                        uint32_t(n) * blockLength_);
        if (!result.good()) return result;
        done += n;
    }
    return result;
}

CommandResult DiskClient::write(uint32_t lba, const std::vector<uint8_t>& data)
{
    const uint32_t blocks = static_cast<uint32_t>(data.size() / blockLength_);
    const uint32_t piece = std::min<uint32_t>(maximumTransferBytes() / blockLength_, 0xFFFF);
    std::vector<uint8_t> chunk;
    CommandResult result;
    result.completed = true;
    result.srbStatus = SRB_STATUS_SUCCESS;
    for (uint32_t done = 0; done < blocks;) {
        uint16_t n = static_cast<uint16_t>(std::min(piece, blocks - done));
        // The driver gets a buffer of its own per piece, as a class driver's
        // mapped piece of the caller's buffer would be.
        chunk.assign(data.begin() + size_t(done) * blockLength_,
                     data.begin() + size_t(done + n) * blockLength_);
        result = write10(lba + done, n, chunk.data(), uint32_t(chunk.size()));
        if (!result.good()) return result;
        done += n;
    }
    return result;
}

CommandResult DiskClient::verify(uint32_t lba, uint32_t blocks)
{
    const uint32_t piece = std::min<uint32_t>(maximumTransferBytes() / blockLength_, 0xFFFF);
    CommandResult result;
    result.completed = true;
    result.srbStatus = SRB_STATUS_SUCCESS;
    for (uint32_t done = 0; done < blocks;) {
        uint16_t n = static_cast<uint16_t>(std::min(piece, blocks - done));
        result = verify10(lba + done, n);
        if (!result.good()) return result;
        done += n;
    }
    return result;
}

CommandResult DiskClient::startStopUnit(bool start, bool loadEject)
{
    uint8_t control = static_cast<uint8_t>((loadEject ? 0x02 : 0x00) | (start ? 0x01 : 0x00));
    return command({scsiop::kStartStopUnit, 0, 0, 0, control, 0}, DataDirection::None, nullptr, 0);
}

CommandResult DiskClient::preventAllow(bool prevent)
{
    return command({scsiop::kPreventAllow, 0, 0, 0, static_cast<uint8_t>(prevent ? 1 : 0), 0},
                   DataDirection::None, nullptr, 0);
}

}  // namespace sim
