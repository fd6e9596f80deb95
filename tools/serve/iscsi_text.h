// iSCSI text keys (login and text requests): "key=value" records, each
// ended by a NUL, and the negotiation of a session's operational
// parameters.
#ifndef TOOLS_SERVE_ISCSI_TEXT_H
#define TOOLS_SERVE_ISCSI_TEXT_H

#include <cstdint>
#include <string>
#include <vector>

namespace serve {
namespace iscsi {

struct TextKey {
    std::string key;
    std::string value;
};

constexpr size_t kMaxKeyLength = 63;
constexpr size_t kMaxValueLength = 8192;

// Parses a text data segment. Returns false with a one-line reason for a
// record without '=', an empty or too long key, a key of characters outside
// the allowed set (letters, digits, '.', '-', '+', '@', '_'), a value too
// long, a last record without its NUL, or a key given twice.
bool parseTextKeys(const std::vector<uint8_t>& data, std::vector<TextKey>& keys,
                   std::string& error);
std::vector<uint8_t> encodeTextKeys(const std::vector<TextKey>& keys);

// The values a session works with after negotiation (the defaults are those
// in force before any key is exchanged).
struct SessionParameters {
    std::string initiatorName;
    std::string initiatorAlias;
    std::string targetName;
    bool discovery = false;  // SessionType=Discovery
    bool headerDigest = false;  // CRC32C agreed
    bool dataDigest = false;
    uint32_t maxConnections = 1;
    bool initialR2T = true;
    bool immediateData = true;
    // What the initiator can receive: the target's Data-In and text segments
    // must not exceed it.
    uint32_t initiatorMaxRecvDataSegmentLength = 8192;
    // What the target declares it receives.
    uint32_t targetMaxRecvDataSegmentLength = 8192;
    uint32_t maxBurstLength = 262144;
    uint32_t firstBurstLength = 65536;
    uint32_t defaultTime2Wait = 2;
    uint32_t defaultTime2Retain = 20;
    uint32_t maxOutstandingR2T = 1;
    bool dataPduInOrder = true;
    bool dataSequenceInOrder = true;
    uint32_t errorRecoveryLevel = 0;
};

// What the target offers or accepts, within which it negotiates.
struct TargetLimits {
    uint32_t maxRecvDataSegmentLength = 262144;  // declared to the initiator
    uint32_t maxBurstLength = 262144;
    uint32_t firstBurstLength = 65536;
    uint32_t maxOutstandingR2T = 1;
    bool allowDigests = true;  // CRC32C may be chosen
    // The target's side of InitialR2T (OR) and ImmediateData (AND): with
    // initialR2T true the initiator never sends unsolicited Data-Out.
    bool initialR2T = true;
    bool immediateData = true;
};

// Answers the keys an initiator sent in one login or text request and
// updates params: numeric keys by their rule (the lower or the higher of the
// two values), boolean keys by AND or OR, lists (digests, AuthMethod) by the
// first value the target supports, declarative keys recorded. Unknown keys
// are answered NotUnderstood, keys not for this phase or session type
// Irrelevant, a value out of range or of the wrong form Reject. Returns
// false with a reason for an offer that must end the login (for example
// ErrorRecoveryLevel the target cannot do is answered, but a MaxBurstLength
// below FirstBurstLength after negotiation is not); answers holds what to
// send back, in the order received. securityPhase: only security keys
// (AuthMethod, names, SessionType) belong there; operational keys are
// answered in either phase.
//
// Declarative keys of the initiator (InitiatorName, InitiatorAlias,
// TargetName, SessionType, MaxRecvDataSegmentLength) are recorded and get
// no answer. A key whose value is one of the answers NotUnderstood,
// Irrelevant or Reject is taken as the initiator's answer and not answered
// again. SendTargets is answered Irrelevant: a text request of a discovery
// session that asks for it is the caller's to serve.
bool negotiate(const std::vector<TextKey>& offered, bool securityPhase, const TargetLimits& limits,
               SessionParameters& params, std::vector<TextKey>& answers, std::string& error);

// Keys the target must offer itself in the operational phase when the
// initiator did not (so that both sides agree on them): at least
// MaxRecvDataSegmentLength, which is declarative and never implied.
// offeredSoFar is what the target has already sent in this login (its
// answers and declarations): a key there is not declared again. Whatever
// the initiator declared of its own MaxRecvDataSegmentLength, the target
// declares its own. The caller sets params.targetMaxRecvDataSegmentLength
// (and the reader's limit) to the value declared once it is sent.
std::vector<TextKey> targetDeclarations(const TargetLimits& limits,
                                        const std::vector<TextKey>& offeredSoFar);

}  // namespace iscsi
}  // namespace serve

#endif  // TOOLS_SERVE_ISCSI_TEXT_H
