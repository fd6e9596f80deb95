// The iSCSI wire codec of the served disk: CRC32C, the PDU as it goes on
// the wire, the incremental reader, the text keys and the negotiation of a
// session's parameters.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/serve/iscsi_pdu.h"
#include "tools/serve/iscsi_text.h"

namespace {

using serve::iscsi::crc32c;
using serve::iscsi::encodePdu;
using serve::iscsi::Opcode;
using serve::iscsi::Pdu;
using serve::iscsi::PduReader;

std::vector<uint8_t> bytesOf(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

uint32_t littleEndianAt(const std::vector<uint8_t>& b, size_t at)
{
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}

// A SCSI command PDU with immediate data of the given length.
Pdu commandPdu(size_t dataLength, uint32_t itt = 0x11223344)
{
    Pdu pdu;
    pdu.setOpcode(Opcode::ScsiCommand);
    pdu.bhs[1] = 0x81;  // Final, write... the reader does not care
    pdu.set64(8, 0x0001000000000000ull);
    pdu.set32(16, itt);
    pdu.set32(20, uint32_t(dataLength));
    pdu.set32(24, 7);
    for (size_t i = 0; i < 16; ++i) pdu.bhs[32 + i] = uint8_t(0xA0 + i);
    for (size_t i = 0; i < dataLength; ++i) pdu.data.push_back(uint8_t(i * 7 + 1));
    return pdu;
}

void expectSamePdu(const Pdu& want, const Pdu& got)
{
    // The reader hands the header back as it was on the wire, lengths set.
    std::vector<uint8_t> wantWire = encodePdu(want, false, false);
    EXPECT_TRUE(std::equal(got.bhs.begin(), got.bhs.end(), wantWire.begin()));
    EXPECT_EQ(want.ahs, got.ahs);
    EXPECT_EQ(want.data, got.data);
}

// --- CRC32C ---------------------------------------------------------------

TEST(IscsiCrc32c, KnownVectors)
{
    const std::string check = "123456789";
    EXPECT_EQ(0xE3069283u, crc32c(reinterpret_cast<const uint8_t*>(check.data()), check.size()));
    std::vector<uint8_t> zeros(32, 0x00), ones(32, 0xFF), up(32), down(32);
    for (size_t i = 0; i < 32; ++i) {
        up[i] = uint8_t(i);
        down[i] = uint8_t(31 - i);
    }
    EXPECT_EQ(0x8A9136AAu, crc32c(zeros.data(), zeros.size()));
    EXPECT_EQ(0x62A8AB43u, crc32c(ones.data(), ones.size()));
    EXPECT_EQ(0x46DD794Eu, crc32c(up.data(), up.size()));
    EXPECT_EQ(0x113FDB5Cu, crc32c(down.data(), down.size()));
    EXPECT_EQ(0x00000000u, crc32c(nullptr, 0));
}

// --- The PDU on the wire --------------------------------------------------

TEST(IscsiPdu, FieldsAreBigEndian)
{
    Pdu pdu;
    pdu.set32(20, 0x01020304);
    pdu.set16(26, 0xA1B2);
    pdu.set64(8, 0x1122334455667788ull);
    EXPECT_EQ(0x01, pdu.bhs[20]);
    EXPECT_EQ(0x04, pdu.bhs[23]);
    EXPECT_EQ(0xA1, pdu.bhs[26]);
    EXPECT_EQ(0xB2, pdu.bhs[27]);
    EXPECT_EQ(0x11, pdu.bhs[8]);
    EXPECT_EQ(0x88, pdu.bhs[15]);
    EXPECT_EQ(0x01020304u, pdu.get32(20));
    EXPECT_EQ(0xA1B2u, pdu.get16(26));
    EXPECT_EQ(0x1122334455667788ull, pdu.lun());
    pdu.set32(16, 0xCAFEF00D);
    EXPECT_EQ(0xCA, pdu.bhs[16]);
    EXPECT_EQ(0xCAFEF00Du, pdu.itt());
    pdu.bhs[5] = 0x01;
    pdu.bhs[6] = 0x02;
    pdu.bhs[7] = 0x03;
    EXPECT_EQ(0x010203u, pdu.declaredDataLength());
}

TEST(IscsiPdu, EncodeWithoutDigestsSetsLengthsAndPadsWithZeros)
{
    Pdu pdu = commandPdu(5);
    pdu.ahs = {0x00, 0x01, 0x02, 0x00};
    std::vector<uint8_t> wire = encodePdu(pdu, false, false);
    ASSERT_EQ(48u + 4u + 8u, wire.size());
    EXPECT_EQ(0x01, wire[0]);
    EXPECT_EQ(1, wire[4]);  // TotalAHSLength in words
    EXPECT_EQ(0, wire[5]);
    EXPECT_EQ(0, wire[6]);
    EXPECT_EQ(5, wire[7]);
    EXPECT_EQ(0x11, wire[16]);
    EXPECT_EQ(0x02, wire[50]);
    for (size_t i = 0; i < 5; ++i) EXPECT_EQ(pdu.data[i], wire[52 + i]);
    EXPECT_EQ(0, wire[57]);
    EXPECT_EQ(0, wire[58]);
    EXPECT_EQ(0, wire[59]);
}

TEST(IscsiPdu, EncodeWithDigestsCoversHeaderAndPaddedData)
{
    Pdu pdu = commandPdu(5);
    pdu.bhs[5] = 0xFF;  // stale lengths in the caller's header are replaced
    pdu.ahs = {0x00, 0x01, 0x02, 0x00};
    std::vector<uint8_t> wire = encodePdu(pdu, true, true);
    ASSERT_EQ(48u + 4u + 4u + 8u + 4u, wire.size());
    EXPECT_EQ(5, wire[7]);
    EXPECT_EQ(0, wire[5]);
    EXPECT_EQ(crc32c(wire.data(), 52), littleEndianAt(wire, 52));
    EXPECT_EQ(crc32c(wire.data() + 56, 8), littleEndianAt(wire, 64));
    EXPECT_EQ(0, wire[61]);
    EXPECT_EQ(0, wire[63]);
}

TEST(IscsiPdu, EmptyDataSegmentHasNoDataDigest)
{
    Pdu pdu = commandPdu(0);
    std::vector<uint8_t> wire = encodePdu(pdu, true, true);
    ASSERT_EQ(52u, wire.size());
    EXPECT_EQ(crc32c(wire.data(), 48), littleEndianAt(wire, 48));
}

TEST(IscsiPdu, DigestOfAllZeroHeaderGoesOnTheWireLittleEndian)
{
    // A NOP-Out header whose bytes are all zero: its 48-byte CRC32C sits
    // after the header least significant byte first.
    Pdu pdu;
    std::vector<uint8_t> wire = encodePdu(pdu, true, false);
    ASSERT_EQ(52u, wire.size());
    uint32_t crc = crc32c(wire.data(), 48);
    EXPECT_EQ(uint8_t(crc), wire[48]);
    EXPECT_EQ(uint8_t(crc >> 24), wire[51]);
}

// --- The reader -----------------------------------------------------------

TEST(IscsiPduReader, RoundTripsEveryPaddingWithAndWithoutDigests)
{
    for (int digests = 0; digests < 4; ++digests) {
        bool hd = digests & 1, dd = digests & 2;
        for (size_t length = 0; length <= 9; ++length) {
            SCOPED_TRACE("digests " + std::to_string(digests) + " length " + std::to_string(length));
            Pdu sent = commandPdu(length);
            std::vector<uint8_t> wire = encodePdu(sent, hd, dd);
            size_t padded = (length + 3) / 4 * 4;
            EXPECT_EQ(48 + (hd ? 4 : 0) + padded + (dd && length ? 4 : 0), wire.size());
            PduReader reader;
            reader.setDigests(hd, dd);
            reader.feed(wire.data(), wire.size());
            Pdu got;
            std::string error;
            ASSERT_EQ(PduReader::Status::Ready, reader.next(got, error)) << error;
            expectSamePdu(sent, got);
            EXPECT_EQ(0u, reader.pending());
            EXPECT_EQ(PduReader::Status::NeedMore, reader.next(got, error));
        }
    }
}

TEST(IscsiPduReader, RoundTripsAdditionalHeaderSegments)
{
    Pdu sent = commandPdu(3);
    sent.ahs = {0x00, 0x08, 0x01, 0x00, 1, 2, 3, 4, 5, 6, 7, 8};
    std::vector<uint8_t> wire = encodePdu(sent, true, true);
    PduReader reader;
    reader.setDigests(true, true);
    reader.feed(wire.data(), wire.size());
    Pdu got;
    std::string error;
    ASSERT_EQ(PduReader::Status::Ready, reader.next(got, error)) << error;
    expectSamePdu(sent, got);
    EXPECT_EQ(3, got.declaredAhsWords());
}

TEST(IscsiPduReader, PduFedOneByteAtATime)
{
    Pdu sent = commandPdu(13);
    std::vector<uint8_t> wire = encodePdu(sent, true, true);
    PduReader reader;
    reader.setDigests(true, true);
    Pdu got;
    std::string error;
    for (size_t i = 0; i + 1 < wire.size(); ++i) {
        reader.feed(&wire[i], 1);
        ASSERT_EQ(PduReader::Status::NeedMore, reader.next(got, error)) << "after byte " << i;
        EXPECT_EQ(i + 1, reader.pending());
    }
    reader.feed(&wire.back(), 1);
    ASSERT_EQ(PduReader::Status::Ready, reader.next(got, error)) << error;
    expectSamePdu(sent, got);
    EXPECT_EQ(0u, reader.pending());
}

TEST(IscsiPduReader, TwoPdusInOneFeed)
{
    Pdu first = commandPdu(6, 1), second = commandPdu(2, 2);
    second.setOpcode(Opcode::DataOut);
    std::vector<uint8_t> wire = encodePdu(first, false, true);
    std::vector<uint8_t> more = encodePdu(second, false, true);
    wire.insert(wire.end(), more.begin(), more.end());
    wire.push_back(0x00);  // the start of a third
    PduReader reader;
    reader.setDigests(false, true);
    reader.feed(wire.data(), wire.size());
    Pdu got;
    std::string error;
    ASSERT_EQ(PduReader::Status::Ready, reader.next(got, error)) << error;
    expectSamePdu(first, got);
    ASSERT_EQ(PduReader::Status::Ready, reader.next(got, error)) << error;
    expectSamePdu(second, got);
    EXPECT_EQ(Opcode::DataOut, got.opcode());
    EXPECT_EQ(PduReader::Status::NeedMore, reader.next(got, error));
    EXPECT_EQ(1u, reader.pending());
}

TEST(IscsiPduReader, WrongHeaderDigestIsMalformedForGood)
{
    Pdu sent = commandPdu(4);
    std::vector<uint8_t> wire = encodePdu(sent, true, false);
    wire[48] ^= 0x01;
    PduReader reader;
    reader.setDigests(true, false);
    reader.feed(wire.data(), wire.size());
    Pdu got;
    std::string error;
    EXPECT_EQ(PduReader::Status::Malformed, reader.next(got, error));
    EXPECT_NE(std::string::npos, error.find("header digest")) << error;
    // Nothing after it can be read: the reader stays malformed and keeps
    // nothing more.
    std::vector<uint8_t> good = encodePdu(sent, true, false);
    reader.feed(good.data(), good.size());
    error.clear();
    EXPECT_EQ(PduReader::Status::Malformed, reader.next(got, error));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(0u, reader.retained());
}

TEST(IscsiPduReader, WrongHeaderDigestOnTheHeaderItself)
{
    Pdu sent = commandPdu(4);
    std::vector<uint8_t> wire = encodePdu(sent, true, false);
    wire[17] ^= 0x80;  // the task tag changed on the way
    PduReader reader;
    reader.setDigests(true, false);
    reader.feed(wire.data(), wire.size());
    Pdu got;
    std::string error;
    EXPECT_EQ(PduReader::Status::Malformed, reader.next(got, error));
}

TEST(IscsiPduReader, WrongDataDigestHandsThePduBackAndReadsOn)
{
    Pdu sent = commandPdu(9), after = commandPdu(0, 0x99);
    std::vector<uint8_t> wire = encodePdu(sent, true, true);
    wire[wire.size() - 2] ^= 0x40;  // in the data digest
    std::vector<uint8_t> more = encodePdu(after, true, true);
    wire.insert(wire.end(), more.begin(), more.end());
    PduReader reader;
    reader.setDigests(true, true);
    reader.feed(wire.data(), wire.size());
    Pdu got;
    std::string error;
    ASSERT_EQ(PduReader::Status::DataDigestError, reader.next(got, error));
    EXPECT_NE(std::string::npos, error.find("data digest")) << error;
    expectSamePdu(sent, got);
    ASSERT_EQ(PduReader::Status::Ready, reader.next(got, error)) << error;
    EXPECT_EQ(0x99u, got.itt());
}

TEST(IscsiPduReader, CorruptedDataIsADataDigestError)
{
    Pdu sent = commandPdu(8);
    std::vector<uint8_t> wire = encodePdu(sent, false, true);
    wire[50] ^= 0xFF;
    PduReader reader;
    reader.setDigests(false, true);
    reader.feed(wire.data(), wire.size());
    Pdu got;
    std::string error;
    ASSERT_EQ(PduReader::Status::DataDigestError, reader.next(got, error));
    EXPECT_EQ(sent.itt(), got.itt());
    EXPECT_EQ(8u, got.data.size());
}

TEST(IscsiPduReader, DataSegmentOverTheLimitIsRefusedFromItsHeader)
{
    Pdu sent = commandPdu(0);
    std::vector<uint8_t> header = encodePdu(sent, false, false);
    header[5] = 0x01;  // 100000 bytes declared
    header[6] = 0x86;
    header[7] = 0xA0;
    PduReader reader;  // 8192 until the target declared more
    reader.feed(header.data(), header.size());
    Pdu got;
    std::string error;
    ASSERT_EQ(PduReader::Status::Malformed, reader.next(got, error));
    EXPECT_NE(std::string::npos, error.find("100000")) << error;
    EXPECT_NE(std::string::npos, error.find("8192")) << error;
    // The data that follows is not kept.
    std::vector<uint8_t> data(65536, 0x5A);
    reader.feed(data.data(), data.size());
    EXPECT_EQ(PduReader::Status::Malformed, reader.next(got, error));
    EXPECT_LT(reader.retained(), 4096u);
}

TEST(IscsiPduReader, DataSegmentAtTheLimitIsRead)
{
    PduReader reader;
    reader.setMaxDataSegment(1024);
    Pdu sent = commandPdu(1024);
    std::vector<uint8_t> wire = encodePdu(sent, false, false);
    reader.feed(wire.data(), wire.size());
    Pdu got;
    std::string error;
    ASSERT_EQ(PduReader::Status::Ready, reader.next(got, error)) << error;
    expectSamePdu(sent, got);

    Pdu over = commandPdu(1025);
    wire = encodePdu(over, false, false);
    reader.feed(wire.data(), wire.size());
    EXPECT_EQ(PduReader::Status::Malformed, reader.next(got, error));
    EXPECT_NE(std::string::npos, error.find("1025")) << error;
    EXPECT_NE(std::string::npos, error.find("1024")) << error;
}

TEST(IscsiPduReader, TakenPdusAreDroppedFromTheBuffer)
{
    // A long stream fed in pieces that never line up with the PDUs: what
    // the reader holds stays near one PDU, not the whole stream.
    Pdu sent = commandPdu(500);
    std::vector<uint8_t> one = encodePdu(sent, true, true);
    std::vector<uint8_t> stream;
    for (int i = 0; i < 400; ++i) stream.insert(stream.end(), one.begin(), one.end());
    PduReader reader;
    reader.setDigests(true, true);
    size_t taken = 0, most = 0;
    Pdu got;
    std::string error;
    for (size_t at = 0; at < stream.size(); at += 700) {
        size_t n = std::min<size_t>(700, stream.size() - at);
        reader.feed(stream.data() + at, n);
        PduReader::Status status;
        while ((status = reader.next(got, error)) == PduReader::Status::Ready) ++taken;
        ASSERT_EQ(PduReader::Status::NeedMore, status) << error;
        most = std::max(most, reader.retained());
    }
    EXPECT_EQ(400u, taken);
    EXPECT_EQ(0u, reader.pending());
    EXPECT_LT(most, 16384u);  // the stream is over 200 KiB
}

// --- Text keys ------------------------------------------------------------

using serve::iscsi::encodeTextKeys;
using serve::iscsi::negotiate;
using serve::iscsi::parseTextKeys;
using serve::iscsi::SessionParameters;
using serve::iscsi::TargetLimits;
using serve::iscsi::targetDeclarations;
using serve::iscsi::TextKey;

std::vector<uint8_t> text(const std::string& s) { return bytesOf(s); }

std::string keysAsString(const std::vector<TextKey>& keys)
{
    std::string out;
    for (const TextKey& k : keys) out += k.key + "=" + k.value + ";";
    return out;
}

bool parses(const std::string& data, std::string* why = nullptr)
{
    std::vector<TextKey> keys;
    std::string error;
    bool ok = parseTextKeys(text(data), keys, error);
    if (why) *why = error;
    return ok;
}

TEST(IscsiTextKeys, ParsesRecordsInOrder)
{
    std::vector<TextKey> keys;
    std::string error;
    static const char records[] = "InitiatorName=iqn.2001-04.com.example:a\0"
                                  "HeaderDigest=CRC32C,None\0"
                                  "X-x.y_z+w@v-1=a=b\0"
                                  "Empty=\0";
    ASSERT_TRUE(parseTextKeys(text(std::string(records, sizeof records - 1)), keys, error)) << error;
    EXPECT_EQ("InitiatorName=iqn.2001-04.com.example:a;HeaderDigest=CRC32C,None;X-x.y_z+w@v-1=a=b;Empty=;",
              keysAsString(keys));
}

TEST(IscsiTextKeys, EmptyDataHasNoKeys)
{
    std::vector<TextKey> keys{{"stale", "1"}};
    std::string error;
    EXPECT_TRUE(parseTextKeys({}, keys, error));
    EXPECT_TRUE(keys.empty());
}

TEST(IscsiTextKeys, TrailingNulsAfterTheLastRecordAreTolerated)
{
    std::vector<TextKey> keys;
    std::string error;
    ASSERT_TRUE(parseTextKeys(text(std::string("A=1\0B=2\0\0\0\0", 12)), keys, error)) << error;
    EXPECT_EQ("A=1;B=2;", keysAsString(keys));
    // But a record after an empty one is not padding.
    EXPECT_FALSE(parses(std::string("A=1\0\0B=2\0", 9)));
}

TEST(IscsiTextKeys, RefusesWhatIsNotAKeyValueList)
{
    std::string why;
    EXPECT_FALSE(parses(std::string("NoEquals\0", 9), &why));
    EXPECT_FALSE(why.empty());
    EXPECT_FALSE(parses(std::string("=value\0", 7)));                  // empty key
    EXPECT_FALSE(parses(std::string(64, 'K') + "=1" + std::string(1, '\0')));  // key too long
    EXPECT_TRUE(parses(std::string(63, 'K') + "=1" + std::string(1, '\0')));
    EXPECT_FALSE(parses(std::string("Bad Key=1\0", 10)));             // space in a key
    EXPECT_FALSE(parses(std::string("Bad:Key=1\0", 10)));
    EXPECT_FALSE(parses("K=" + std::string(8193, 'v') + std::string(1, '\0')));  // value too long
    EXPECT_TRUE(parses("K=" + std::string(8192, 'v') + std::string(1, '\0')));
    EXPECT_FALSE(parses("A=1", &why));                                 // no NUL at the end
    EXPECT_NE(std::string::npos, why.find("NUL")) << why;
    EXPECT_FALSE(parses(std::string("A=1\0B=2", 7)));
    EXPECT_FALSE(parses(std::string("A=1\0A=2\0", 8), &why));          // given twice
    EXPECT_NE(std::string::npos, why.find("A")) << why;
}

TEST(IscsiTextKeys, EncodesEachRecordWithItsNul)
{
    std::vector<uint8_t> wire = encodeTextKeys({{"HeaderDigest", "None"}, {"MaxBurstLength", "262144"}});
    EXPECT_EQ(std::string("HeaderDigest=None\0MaxBurstLength=262144\0", 40), std::string(wire.begin(), wire.end()));
    EXPECT_TRUE(encodeTextKeys({}).empty());
    std::vector<TextKey> back;
    std::string error;
    ASSERT_TRUE(parseTextKeys(wire, back, error)) << error;
    EXPECT_EQ("HeaderDigest=None;MaxBurstLength=262144;", keysAsString(back));
}

// --- Negotiation -----------------------------------------------------------

struct Outcome {
    bool ok;
    std::string answers;
    std::string error;
};

Outcome offer(const std::vector<TextKey>& keys, SessionParameters& params, bool securityPhase = false,
              const TargetLimits& limits = TargetLimits())
{
    std::vector<TextKey> answers;
    std::string error;
    bool ok = negotiate(keys, securityPhase, limits, params, answers, error);
    return {ok, keysAsString(answers), error};
}

TEST(IscsiNegotiation, NumbersTakeTheLowerOrTheHigher)
{
    SessionParameters params;
    Outcome out = offer({{"MaxBurstLength", "1048576"},
                         {"FirstBurstLength", "16384"},
                         {"MaxOutstandingR2T", "8"},
                         {"DefaultTime2Wait", "0"},
                         {"DefaultTime2Retain", "60"},
                         {"ErrorRecoveryLevel", "2"},
                         {"MaxConnections", "4"}},
                        params);
    ASSERT_TRUE(out.ok) << out.error;
    EXPECT_EQ("MaxBurstLength=262144;FirstBurstLength=16384;MaxOutstandingR2T=1;DefaultTime2Wait=2;"
              "DefaultTime2Retain=20;ErrorRecoveryLevel=0;MaxConnections=1;",
              out.answers);
    EXPECT_EQ(262144u, params.maxBurstLength);
    EXPECT_EQ(16384u, params.firstBurstLength);
    EXPECT_EQ(1u, params.maxOutstandingR2T);
    EXPECT_EQ(2u, params.defaultTime2Wait);
    EXPECT_EQ(20u, params.defaultTime2Retain);
    EXPECT_EQ(0u, params.errorRecoveryLevel);
    EXPECT_EQ(1u, params.maxConnections);

    SessionParameters lower;
    out = offer({{"MaxBurstLength", "0x2000"}, {"DefaultTime2Wait", "10"}, {"DefaultTime2Retain", "0"},
                 {"FirstBurstLength", "4096"}},
                lower);
    ASSERT_TRUE(out.ok) << out.error;
    EXPECT_EQ("MaxBurstLength=8192;DefaultTime2Wait=10;DefaultTime2Retain=0;FirstBurstLength=4096;", out.answers);
    EXPECT_EQ(8192u, lower.maxBurstLength);
    EXPECT_EQ(10u, lower.defaultTime2Wait);
    EXPECT_EQ(0u, lower.defaultTime2Retain);
}

TEST(IscsiNegotiation, BooleansByOrAndAnd)
{
    SessionParameters params;
    Outcome out = offer({{"InitialR2T", "No"},
                         {"ImmediateData", "No"},
                         {"DataPDUInOrder", "No"},
                         {"DataSequenceInOrder", "No"}},
                        params);
    ASSERT_TRUE(out.ok) << out.error;
    // The target wants R2Ts and data in order (OR keeps its Yes); AND takes
    // the initiator's No.
    EXPECT_EQ("InitialR2T=Yes;ImmediateData=No;DataPDUInOrder=Yes;DataSequenceInOrder=Yes;", out.answers);
    EXPECT_TRUE(params.initialR2T);
    EXPECT_FALSE(params.immediateData);

    TargetLimits willing;
    willing.initialR2T = false;
    SessionParameters p2;
    out = offer({{"InitialR2T", "No"}, {"ImmediateData", "Yes"}}, p2, false, willing);
    EXPECT_EQ("InitialR2T=No;ImmediateData=Yes;", out.answers);
    EXPECT_FALSE(p2.initialR2T);
    EXPECT_TRUE(p2.immediateData);

    TargetLimits noImmediate;
    noImmediate.immediateData = false;
    SessionParameters p3;
    out = offer({{"ImmediateData", "Yes"}, {"InitialR2T", "Yes"}}, p3, false, noImmediate);
    EXPECT_EQ("ImmediateData=No;InitialR2T=Yes;", out.answers);
    EXPECT_FALSE(p3.immediateData);
}

TEST(IscsiNegotiation, DigestListsTakeTheFirstSupported)
{
    SessionParameters params;
    Outcome out = offer({{"HeaderDigest", "CRC32C,None"}, {"DataDigest", "None,CRC32C"}}, params);
    EXPECT_EQ("HeaderDigest=CRC32C;DataDigest=None;", out.answers);
    EXPECT_TRUE(params.headerDigest);
    EXPECT_FALSE(params.dataDigest);

    SessionParameters p2;
    out = offer({{"HeaderDigest", "CRC64,CRC32C"}, {"DataDigest", "CRC32C"}}, p2);
    EXPECT_EQ("HeaderDigest=CRC32C;DataDigest=CRC32C;", out.answers);
    EXPECT_TRUE(p2.dataDigest);

    TargetLimits plain;
    plain.allowDigests = false;
    SessionParameters p3;
    out = offer({{"HeaderDigest", "CRC32C,None"}, {"DataDigest", "CRC32C"}}, p3, false, plain);
    EXPECT_EQ("HeaderDigest=None;DataDigest=Reject;", out.answers);
    EXPECT_FALSE(p3.headerDigest);
    EXPECT_FALSE(p3.dataDigest);

    SessionParameters p4;
    out = offer({{"HeaderDigest", ""}, {"DataDigest", "CRC32C,,None"}}, p4);
    EXPECT_EQ("HeaderDigest=Reject;DataDigest=Reject;", out.answers);
}

TEST(IscsiNegotiation, MaxRecvDataSegmentLengthIsDeclared)
{
    SessionParameters params;
    Outcome out = offer({{"MaxRecvDataSegmentLength", "65536"}, {"HeaderDigest", "None"}}, params);
    ASSERT_TRUE(out.ok) << out.error;
    EXPECT_EQ("HeaderDigest=None;", out.answers);  // a declaration is not answered
    EXPECT_EQ(65536u, params.initiatorMaxRecvDataSegmentLength);
    EXPECT_EQ(8192u, params.targetMaxRecvDataSegmentLength);

    TargetLimits limits;
    limits.maxRecvDataSegmentLength = 131072;
    EXPECT_EQ("MaxRecvDataSegmentLength=131072;", keysAsString(targetDeclarations(limits, {})));
    EXPECT_EQ("MaxRecvDataSegmentLength=131072;",
              keysAsString(targetDeclarations(limits, {{"HeaderDigest", "None"}})));
    EXPECT_EQ("", keysAsString(targetDeclarations(limits, {{"MaxRecvDataSegmentLength", "131072"}})));

    SessionParameters p2;
    out = offer({{"MaxRecvDataSegmentLength", "511"}}, p2);
    EXPECT_EQ("MaxRecvDataSegmentLength=Reject;", out.answers);
    EXPECT_EQ(8192u, p2.initiatorMaxRecvDataSegmentLength);
    out = offer({{"MaxRecvDataSegmentLength", "0x1000"}}, p2);
    EXPECT_EQ("", out.answers);
    EXPECT_EQ(4096u, p2.initiatorMaxRecvDataSegmentLength);
}

TEST(IscsiNegotiation, UnknownKeysAreNotUnderstood)
{
    SessionParameters params;
    Outcome out = offer({{"FooBar", "1"}, {"X-com.example.tuning", "7"}, {"X#vendor", "1"}}, params);
    ASSERT_TRUE(out.ok) << out.error;
    EXPECT_EQ("FooBar=NotUnderstood;X-com.example.tuning=NotUnderstood;X#vendor=NotUnderstood;", out.answers);
}

TEST(IscsiNegotiation, NormalSessionKeysAreIrrelevantInDiscovery)
{
    SessionParameters params;
    Outcome out = offer({{"InitiatorName", "iqn.1994-05.com.example:host"}, {"SessionType", "Discovery"}},
                        params, true);
    ASSERT_TRUE(out.ok) << out.error;
    EXPECT_EQ("", out.answers);
    EXPECT_TRUE(params.discovery);
    out = offer({{"MaxConnections", "1"},
                 {"InitialR2T", "No"},
                 {"ImmediateData", "Yes"},
                 {"MaxBurstLength", "16776192"},
                 {"FirstBurstLength", "262144"},
                 {"MaxOutstandingR2T", "1"},
                 {"DataPDUInOrder", "Yes"},
                 {"DataSequenceInOrder", "Yes"},
                 {"HeaderDigest", "None"},
                 {"ErrorRecoveryLevel", "0"},
                 {"DefaultTime2Wait", "2"}},
                params);
    ASSERT_TRUE(out.ok) << out.error;
    EXPECT_EQ("MaxConnections=Irrelevant;InitialR2T=Irrelevant;ImmediateData=Irrelevant;"
              "MaxBurstLength=Irrelevant;FirstBurstLength=Irrelevant;MaxOutstandingR2T=Irrelevant;"
              "DataPDUInOrder=Irrelevant;DataSequenceInOrder=Irrelevant;HeaderDigest=None;"
              "ErrorRecoveryLevel=0;DefaultTime2Wait=2;",
              out.answers);
    EXPECT_EQ(262144u, params.maxBurstLength);  // untouched

    // SessionType later in the same request still makes them irrelevant.
    SessionParameters p2;
    out = offer({{"MaxBurstLength", "4096"}, {"SessionType", "Discovery"}}, p2, true);
    EXPECT_EQ("MaxBurstLength=Irrelevant;", out.answers);
}

TEST(IscsiNegotiation, SendTargetsIsNoLoginKey)
{
    SessionParameters params;
    params.discovery = true;
    Outcome out = offer({{"SendTargets", "All"}}, params);
    EXPECT_EQ("SendTargets=Irrelevant;", out.answers);
}

TEST(IscsiNegotiation, ValuesOfTheWrongFormOrRangeAreRejected)
{
    SessionParameters params;
    Outcome out = offer({{"MaxBurstLength", "abc"},
                         {"FirstBurstLength", "511"},
                         {"MaxOutstandingR2T", "0"},
                         {"DefaultTime2Wait", "3601"},
                         {"ErrorRecoveryLevel", "3"},
                         {"MaxConnections", "0x"},
                         {"InitialR2T", "Maybe"},
                         {"ImmediateData", "yes"},
                         {"DefaultTime2Retain", "99999999999999999999"},
                         {"SessionType", "Other"}},
                        params);
    EXPECT_EQ("MaxBurstLength=Reject;FirstBurstLength=Reject;MaxOutstandingR2T=Reject;DefaultTime2Wait=Reject;"
              "ErrorRecoveryLevel=Reject;MaxConnections=Reject;InitialR2T=Reject;ImmediateData=Reject;"
              "DefaultTime2Retain=Reject;SessionType=Reject;",
              out.answers);
    SessionParameters defaults;
    EXPECT_EQ(defaults.maxBurstLength, params.maxBurstLength);
    EXPECT_EQ(defaults.firstBurstLength, params.firstBurstLength);
    EXPECT_EQ(defaults.initialR2T, params.initialR2T);
    EXPECT_EQ(defaults.immediateData, params.immediateData);
    EXPECT_EQ(defaults.defaultTime2Retain, params.defaultTime2Retain);
    EXPECT_FALSE(params.discovery);

    out = offer({{"MaxBurstLength", "16777216"}, {"MaxBurstLength2", "1"}}, params);
    EXPECT_EQ("MaxBurstLength=Reject;MaxBurstLength2=NotUnderstood;", out.answers);
}

TEST(IscsiNegotiation, AuthMethodNoneOrTheLoginEnds)
{
    SessionParameters params;
    Outcome out = offer({{"InitiatorName", "iqn.1994-05.com.example:host"},
                         {"SessionType", "Normal"},
                         {"TargetName", "iqn.2024-01.example:disk"},
                         {"AuthMethod", "CHAP,None"}},
                        params, true);
    ASSERT_TRUE(out.ok) << out.error;
    EXPECT_EQ("AuthMethod=None;", out.answers);
    EXPECT_EQ("iqn.1994-05.com.example:host", params.initiatorName);
    EXPECT_EQ("iqn.2024-01.example:disk", params.targetName);
    EXPECT_FALSE(params.discovery);

    SessionParameters p2;
    out = offer({{"AuthMethod", "CHAP"}}, p2, true);
    EXPECT_FALSE(out.ok);
    EXPECT_EQ("AuthMethod=Reject;", out.answers);
    EXPECT_NE(std::string::npos, out.error.find("AuthMethod")) << out.error;

    // Past the security phase it is no key of the operational one.
    SessionParameters p3;
    out = offer({{"AuthMethod", "None"}}, p3, false);
    EXPECT_TRUE(out.ok);
    EXPECT_EQ("AuthMethod=Irrelevant;", out.answers);
}

TEST(IscsiNegotiation, EmptyInitiatorNameIsRejected)
{
    SessionParameters params;
    Outcome out = offer({{"InitiatorName", ""}}, params, true);
    EXPECT_EQ("InitiatorName=Reject;", out.answers);
}

TEST(IscsiNegotiation, FirstBurstAboveMaxBurstEndsTheLogin)
{
    SessionParameters params;
    Outcome out = offer({{"MaxBurstLength", "4096"}, {"FirstBurstLength", "8192"}}, params);
    EXPECT_FALSE(out.ok);
    EXPECT_NE(std::string::npos, out.error.find("FirstBurstLength")) << out.error;
}

TEST(IscsiNegotiation, FirstBurstIsIrrelevantWithoutUnsolicitedData)
{
    SessionParameters params;
    Outcome out = offer({{"FirstBurstLength", "4096"}, {"InitialR2T", "Yes"}, {"ImmediateData", "No"}}, params);
    ASSERT_TRUE(out.ok) << out.error;
    EXPECT_EQ("FirstBurstLength=Irrelevant;InitialR2T=Yes;ImmediateData=No;", out.answers);
    EXPECT_EQ(65536u, params.firstBurstLength);
}

TEST(IscsiNegotiation, ObsoleteAndFixedKeys)
{
    SessionParameters params;
    Outcome out = offer({{"OFMarker", "Yes"},
                         {"IFMarker", "No"},
                         {"OFMarkInt", "2048~8192"},
                         {"IFMarkInt", "2048~8192"},
                         {"TaskReporting", "FastAbort,RFC3720"},
                         {"iSCSIProtocolLevel", "1"},
                         {"TargetAlias", "x"},
                         {"TargetPortalGroupTag", "1"}},
                        params);
    ASSERT_TRUE(out.ok) << out.error;
    EXPECT_EQ("OFMarker=No;IFMarker=No;OFMarkInt=Irrelevant;IFMarkInt=Irrelevant;TaskReporting=RFC3720;"
              "iSCSIProtocolLevel=0;TargetAlias=Irrelevant;TargetPortalGroupTag=Irrelevant;",
              out.answers);
    out = offer({{"TaskReporting", "ResponseFence"}, {"iSCSIProtocolLevel", "32"}}, params);
    EXPECT_EQ("TaskReporting=Reject;iSCSIProtocolLevel=Reject;", out.answers);
}

TEST(IscsiNegotiation, AnswersFromTheInitiatorAreNotAnsweredAgain)
{
    SessionParameters params;
    Outcome out = offer({{"MaxRecvDataSegmentLength", "Irrelevant"},
                         {"HeaderDigest", "Reject"},
                         {"X-thing", "NotUnderstood"}},
                        params);
    EXPECT_TRUE(out.ok);
    EXPECT_EQ("", out.answers);
    EXPECT_EQ(8192u, params.initiatorMaxRecvDataSegmentLength);
}

TEST(IscsiNegotiation, OperationalKeysInTheSecurityPhaseAreAnswered)
{
    SessionParameters params;
    Outcome out = offer({{"AuthMethod", "None"}, {"HeaderDigest", "None,CRC32C"}, {"MaxConnections", "1"}},
                        params, true);
    ASSERT_TRUE(out.ok) << out.error;
    EXPECT_EQ("AuthMethod=None;HeaderDigest=None;MaxConnections=1;", out.answers);
}

}  // namespace
