// iSCSI PDUs on a byte stream: CRC32C, the encoder and the incremental
// reader.
#include "tools/serve/iscsi_pdu.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <stdexcept>

namespace serve {
namespace iscsi {

namespace {

constexpr size_t kDigestLength = 4;
// DataSegmentLength is a 24-bit field; TotalAHSLength an 8-bit count of words.
constexpr size_t kMaxEncodableData = 0xFFFFFF;
constexpr size_t kMaxAhsWords = 0xFF;
// Taken bytes are dropped from the front of the buffer once they make up
// at least this much and at least half of it, so that a long stream costs
// no more than about one PDU's worth of memory and copying stays linear.
constexpr size_t kCompactThreshold = 4096;

// The table of the reflected Castagnoli polynomial, built once at compile
// time.
struct Crc32cTable {
    uint32_t entry[256];
    constexpr Crc32cTable() : entry()
    {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int bit = 0; bit < 8; ++bit) c = (c & 1) ? (c >> 1) ^ 0x82F63B78u : c >> 1;
            entry[i] = c;
        }
    }
};
constexpr Crc32cTable kCrcTable;

void putLittleEndian32(std::vector<uint8_t>& out, uint32_t value)
{
    out.push_back(uint8_t(value));
    out.push_back(uint8_t(value >> 8));
    out.push_back(uint8_t(value >> 16));
    out.push_back(uint8_t(value >> 24));
}

uint32_t littleEndian32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

size_t padded(size_t length) { return (length + 3) & ~size_t(3); }

}  // namespace

uint32_t Pdu::get32(size_t offset) const
{
    if (offset + 4 > kBhsLength) return 0;
    return uint32_t(bhs[offset]) << 24 | uint32_t(bhs[offset + 1]) << 16 | uint32_t(bhs[offset + 2]) << 8 |
           uint32_t(bhs[offset + 3]);
}

void Pdu::set32(size_t offset, uint32_t value)
{
    if (offset + 4 > kBhsLength) return;
    bhs[offset] = uint8_t(value >> 24);
    bhs[offset + 1] = uint8_t(value >> 16);
    bhs[offset + 2] = uint8_t(value >> 8);
    bhs[offset + 3] = uint8_t(value);
}

uint16_t Pdu::get16(size_t offset) const
{
    if (offset + 2 > kBhsLength) return 0;
    return uint16_t(bhs[offset] << 8 | bhs[offset + 1]);
}

void Pdu::set16(size_t offset, uint16_t value)
{
    if (offset + 2 > kBhsLength) return;
    bhs[offset] = uint8_t(value >> 8);
    bhs[offset + 1] = uint8_t(value);
}

uint64_t Pdu::get64(size_t offset) const
{
    if (offset + 8 > kBhsLength) return 0;
    return uint64_t(get32(offset)) << 32 | get32(offset + 4);
}

void Pdu::set64(size_t offset, uint64_t value)
{
    if (offset + 8 > kBhsLength) return;
    set32(offset, uint32_t(value >> 32));
    set32(offset + 4, uint32_t(value));
}

uint32_t Pdu::declaredDataLength() const { return uint32_t(bhs[5]) << 16 | uint32_t(bhs[6]) << 8 | bhs[7]; }

uint32_t crc32c(const uint8_t* data, size_t length)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < length; ++i) crc = kCrcTable.entry[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

std::vector<uint8_t> encodePdu(const Pdu& pdu, bool headerDigest, bool dataDigest)
{
    // An AHS that is not whole words is padded with zeros to the next word,
    // as TotalAHSLength can only count words.
    size_t ahsLength = padded(pdu.ahs.size());
    if (ahsLength / 4 > kMaxAhsWords) throw std::length_error("iSCSI AHS longer than 1020 bytes");
    if (pdu.data.size() > kMaxEncodableData) throw std::length_error("iSCSI data segment longer than 16777215 bytes");

    std::vector<uint8_t> out;
    out.reserve(kBhsLength + ahsLength + padded(pdu.data.size()) + 2 * kDigestLength);
    out.insert(out.end(), pdu.bhs.begin(), pdu.bhs.end());
    out[4] = uint8_t(ahsLength / 4);
    out[5] = uint8_t(pdu.data.size() >> 16);
    out[6] = uint8_t(pdu.data.size() >> 8);
    out[7] = uint8_t(pdu.data.size());
    out.insert(out.end(), pdu.ahs.begin(), pdu.ahs.end());
    out.resize(kBhsLength + ahsLength, 0);
    if (headerDigest) putLittleEndian32(out, crc32c(out.data(), out.size()));

    if (!pdu.data.empty()) {
        size_t dataStart = out.size();
        out.insert(out.end(), pdu.data.begin(), pdu.data.end());
        out.resize(dataStart + padded(pdu.data.size()), 0);
        // A data segment of no bytes carries no data digest either.
        if (dataDigest) putLittleEndian32(out, crc32c(out.data() + dataStart, out.size() - dataStart));
    }
    return out;
}

void PduReader::setDigests(bool header, bool data)
{
    headerDigest_ = header;
    dataDigest_ = data;
}

void PduReader::setMaxDataSegment(uint32_t bytes) { maxDataSegment_ = bytes; }

void PduReader::feed(const uint8_t* bytes, size_t length)
{
    // Once the stream cannot be read on, what follows is dropped unread.
    if (malformed_ || length == 0) return;
    buffer_.insert(buffer_.end(), bytes, bytes + length);
}

PduReader::Status PduReader::next(Pdu& pdu, std::string& error)
{
    if (malformed_) {
        error = reason_;
        return Status::Malformed;
    }
    const size_t available = buffer_.size() - start_;
    if (available < kBhsLength) return Status::NeedMore;
    const uint8_t* header = buffer_.data() + start_;

    const size_t ahsLength = size_t(header[4]) * 4;
    const size_t headerEnd = kBhsLength + ahsLength + (headerDigest_ ? kDigestLength : 0);
    if (available < headerEnd) return Status::NeedMore;
    // The header's own digest first: a length in a damaged header means
    // nothing.
    if (headerDigest_) {
        uint32_t want = crc32c(header, kBhsLength + ahsLength);
        uint32_t got = littleEndian32(header + kBhsLength + ahsLength);
        if (want != got) {
            char text[96];
            std::snprintf(text, sizeof text, "header digest 0x%08X where the header gives 0x%08X", got, want);
            malformed_ = true;
            reason_ = text;
        }
    }
    const size_t dataLength = size_t(header[5]) << 16 | size_t(header[6]) << 8 | header[7];
    if (!malformed_ && dataLength > maxDataSegment_) {
        malformed_ = true;
        reason_ = "data segment of " + std::to_string(dataLength) + " bytes over the limit of " +
                  std::to_string(maxDataSegment_) + " bytes";
    }
    if (malformed_) {
        // Nothing more of this connection is read: let the memory go.
        std::vector<uint8_t>().swap(buffer_);
        start_ = 0;
        error = reason_;
        return Status::Malformed;
    }

    const bool hasDataDigest = dataDigest_ && dataLength > 0;
    const size_t total = headerEnd + padded(dataLength) + (hasDataDigest ? kDigestLength : 0);
    if (available < total) return Status::NeedMore;

    Status status = Status::Ready;
    if (hasDataDigest) {
        uint32_t want = crc32c(header + headerEnd, padded(dataLength));
        uint32_t got = littleEndian32(header + headerEnd + padded(dataLength));
        if (want != got) {
            char text[96];
            std::snprintf(text, sizeof text, "data digest 0x%08X where the data gives 0x%08X", got, want);
            error = text;
            status = Status::DataDigestError;
        }
    }
    std::copy(header, header + kBhsLength, pdu.bhs.begin());
    pdu.ahs.assign(header + kBhsLength, header + kBhsLength + ahsLength);
    pdu.data.assign(header + headerEnd, header + headerEnd + dataLength);

    start_ += total;
    if (start_ == buffer_.size()) {
        buffer_.clear();
        start_ = 0;
    } else if (start_ >= kCompactThreshold && start_ >= buffer_.size() / 2) {
        buffer_.erase(buffer_.begin(), buffer_.begin() + std::ptrdiff_t(start_));
        start_ = 0;
    }
    // A large PDU taken leaves a large buffer behind; give it back when it
    // is far bigger than what is held.
    if (buffer_.capacity() > 4 * (buffer_.size() + kCompactThreshold) && buffer_.capacity() > 65536) {
        buffer_.shrink_to_fit();
    }
    return status;
}

size_t PduReader::pending() const { return buffer_.size() - start_; }

size_t PduReader::retained() const { return buffer_.size(); }

}  // namespace iscsi
}  // namespace serve
