// Fuzz target: the iSCSI PDU reader and the text keys on arbitrary bytes
// from a connection.
//
// Input: byte 0 chooses the reader's settings (bit 0 header digest, bit 1
// data digest, bit 2 a data segment limit of 512 bytes instead of 8192),
// byte 1 where the rest is cut in two feeds (byte 1 / 256 of its length),
// and the rest is the stream. Every PDU taken is checked, its data parsed
// as text keys and those negotiated in both login phases. The checks:
//   * a PDU taken has the AHS and data lengths its header declares, within
//     the limit, and encodes back to a PDU another reader takes unchanged;
//   * the reader never holds more than was fed;
//   * text keys parsed encode back to the same keys;
//   * negotiation answers only keys that were offered.
// Any failed check aborts, as a crash does.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tools/serve/iscsi_pdu.h"
#include "tools/serve/iscsi_text.h"

using namespace serve::iscsi;

namespace {

[[noreturn]] void fault(const char* what)
{
    std::fprintf(stderr, "iscsi_pdu_fuzz: %s\n", what);
    std::abort();
}

void checkTextAndNegotiate(const std::vector<uint8_t>& data)
{
    std::vector<TextKey> keys;
    std::string error;
    if (!parseTextKeys(data, keys, error)) {
        if (error.empty()) fault("text refused without a reason");
        return;
    }
    std::vector<TextKey> again;
    if (!parseTextKeys(encodeTextKeys(keys), again, error) || again.size() != keys.size()) {
        fault("text keys do not survive encoding");
    }
    for (size_t i = 0; i < keys.size(); ++i) {
        if (again[i].key != keys[i].key || again[i].value != keys[i].value) fault("text key changed by encoding");
    }
    for (int phase = 0; phase < 2; ++phase) {
        TargetLimits limits;
        limits.allowDigests = data.size() % 2 == 0;
        SessionParameters params;
        std::vector<TextKey> answers;
        negotiate(keys, phase == 0, limits, params, answers, error);
        if (answers.size() > keys.size()) fault("more answers than keys offered");
        for (const TextKey& a : answers) {
            bool offered = false;
            for (const TextKey& k : keys) offered = offered || k.key == a.key;
            if (!offered) fault("an answer to a key not offered");
        }
        std::vector<TextKey> declared = targetDeclarations(limits, answers);
        (void)declared;
    }
}

void checkPdu(const Pdu& pdu, bool headerDigest, bool dataDigest, uint32_t limit)
{
    if (pdu.ahs.size() != size_t(pdu.declaredAhsWords()) * 4) fault("AHS length differs from its header");
    if (pdu.data.size() != pdu.declaredDataLength()) fault("data length differs from its header");
    if (pdu.data.size() > limit) fault("data segment over the limit taken");

    std::vector<uint8_t> wire = encodePdu(pdu, headerDigest, dataDigest);
    PduReader again;
    again.setDigests(headerDigest, dataDigest);
    again.setMaxDataSegment(limit);
    again.feed(wire.data(), wire.size());
    Pdu back;
    std::string error;
    if (again.next(back, error) != PduReader::Status::Ready) fault("an encoded PDU is not read back");
    if (back.bhs != pdu.bhs || back.ahs != pdu.ahs || back.data != pdu.data) fault("PDU changed by encoding");
    if (again.pending() != 0) fault("bytes left after one encoded PDU");
}

// Takes PDUs until the reader needs more or gives up.
bool drain(PduReader& reader, bool headerDigest, bool dataDigest, uint32_t limit)
{
    for (;;) {
        Pdu pdu;
        std::string error;
        PduReader::Status status = reader.next(pdu, error);
        if (status == PduReader::Status::NeedMore) return true;
        if (status == PduReader::Status::Malformed) {
            if (error.empty()) fault("malformed without a reason");
            return false;
        }
        if (status == PduReader::Status::DataDigestError && error.empty()) fault("digest error without a reason");
        checkPdu(pdu, headerDigest, dataDigest, limit);
        checkTextAndNegotiate(pdu.data);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2) return 0;
    const bool headerDigest = data[0] & 1, dataDigest = data[0] & 2;
    const uint32_t limit = (data[0] & 4) ? 512 : 8192;
    const uint8_t* stream = data + 2;
    const size_t length = size - 2;
    const size_t cut = length * data[1] / 256;

    PduReader reader;
    reader.setDigests(headerDigest, dataDigest);
    reader.setMaxDataSegment(limit);
    reader.feed(stream, cut);
    if (reader.retained() > cut) fault("reader holds more than was fed");
    if (drain(reader, headerDigest, dataDigest, limit)) {
        reader.feed(stream + cut, length - cut);
        if (reader.retained() > length) fault("reader holds more than was fed");
        drain(reader, headerDigest, dataDigest, limit);
    } else {
        reader.feed(stream + cut, length - cut);
        if (reader.retained() != 0) fault("a malformed reader keeps bytes");
    }
    // The whole input as text keys too, to reach the parser with what the
    // reader would not frame.
    checkTextAndNegotiate(std::vector<uint8_t>(stream, stream + length));
    return 0;
}
