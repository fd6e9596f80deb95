// iSCSI protocol data units as they travel on a TCP connection: a 48-byte
// basic header segment, optional additional header segments, an optional
// header digest, the data segment padded to a multiple of 4 bytes, and an
// optional data digest (CRC32C). The reader takes bytes as they arrive and
// never trusts a length in them beyond what the connection negotiated.
#ifndef TOOLS_SERVE_ISCSI_PDU_H
#define TOOLS_SERVE_ISCSI_PDU_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace serve {
namespace iscsi {

constexpr size_t kBhsLength = 48;

// Operation codes (the low six bits of byte 0).
enum class Opcode : uint8_t {
    NopOut = 0x00,
    ScsiCommand = 0x01,
    TaskManagementRequest = 0x02,
    LoginRequest = 0x03,
    TextRequest = 0x04,
    DataOut = 0x05,
    LogoutRequest = 0x06,
    SnackRequest = 0x10,
    NopIn = 0x20,
    ScsiResponse = 0x21,
    TaskManagementResponse = 0x22,
    LoginResponse = 0x23,
    TextResponse = 0x24,
    DataIn = 0x25,
    LogoutResponse = 0x26,
    ReadyToTransfer = 0x31,
    AsyncMessage = 0x32,
    Reject = 0x3F,
};

struct Pdu {
    std::array<uint8_t, kBhsLength> bhs{};
    std::vector<uint8_t> ahs;   // additional header segments, as received (multiple of 4)
    std::vector<uint8_t> data;  // the data segment without padding

    Opcode opcode() const { return static_cast<Opcode>(bhs[0] & 0x3F); }
    void setOpcode(Opcode op) { bhs[0] = static_cast<uint8_t>((bhs[0] & 0x40) | uint8_t(op)); }
    bool immediate() const { return bhs[0] & 0x40; }
    // Byte 1 bit 7: Final (and, for login, Transit).
    bool finalBit() const { return bhs[1] & 0x80; }
    // Big-endian fields of the header.
    uint32_t get32(size_t offset) const;
    void set32(size_t offset, uint32_t value);
    uint16_t get16(size_t offset) const;
    void set16(size_t offset, uint16_t value);
    uint64_t get64(size_t offset) const;
    void set64(size_t offset, uint64_t value);
    // Common fields: LUN (bytes 8-15), Initiator Task Tag (16-19).
    uint64_t lun() const { return get64(8); }
    uint32_t itt() const { return get32(16); }
    // The DataSegmentLength the header declares (bytes 5-7) and TotalAHSLength
    // in 4-byte words (byte 4).
    uint32_t declaredDataLength() const;
    uint8_t declaredAhsWords() const { return bhs[4]; }
};

// CRC32C (Castagnoli), as iSCSI digests use it: reflected, initial value and
// final complement 0xFFFFFFFF. The digest goes on the wire little-endian.
uint32_t crc32c(const uint8_t* data, size_t length);

// The PDU on the wire: TotalAHSLength and DataSegmentLength set from ahs and
// data, the data padded with zeros to a multiple of 4, and the digests when
// negotiated.
std::vector<uint8_t> encodePdu(const Pdu& pdu, bool headerDigest, bool dataDigest);

class PduReader {
public:
    enum class Status {
        NeedMore,         // no complete PDU yet
        Ready,            // a PDU was taken
        DataDigestError,  // a PDU was taken, but its data digest is wrong (header intact)
        Malformed,        // the stream cannot be read on: header digest wrong, a data
                          // segment over the limit, an AHS length not a multiple of 4
    };

    // The digests in force (None until the login negotiated them).
    void setDigests(bool header, bool data);
    // The largest data segment accepted: the MaxRecvDataSegmentLength the
    // target declared (8192 until then).
    void setMaxDataSegment(uint32_t bytes);

    // Appends bytes received.
    void feed(const uint8_t* bytes, size_t length);
    // Takes the next PDU off the front of what was fed. After Malformed the
    // reader stays malformed; error says why.
    Status next(Pdu& pdu, std::string& error);
    // Bytes fed and not yet taken.
    size_t pending() const;
    // Bytes the reader holds: what is pending and what was taken but not yet
    // dropped from the front of its buffer (never far above pending()).
    size_t retained() const;

private:
    std::vector<uint8_t> buffer_;
    size_t start_ = 0;
    bool headerDigest_ = false;
    bool dataDigest_ = false;
    uint32_t maxDataSegment_ = 8192;
    bool malformed_ = false;
    std::string reason_;
};

}  // namespace iscsi
}  // namespace serve

#endif  // TOOLS_SERVE_ISCSI_PDU_H
