// iSCSI text keys: the key=value records of login and text requests, and
// the target's side of negotiating a session's operational parameters.
#include "tools/serve/iscsi_text.h"

#include <algorithm>
#include <cstring>

namespace serve {
namespace iscsi {

namespace {

// iSCSI names are at most 223 bytes.
constexpr size_t kMaxNameLength = 223;

bool keyCharacter(uint8_t c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-' ||
           c == '+' || c == '@' || c == '_';
}

// A numerical value: decimal digits, or 0x (0X) and hexadecimal digits.
// Values that do not fit 32 bits are refused.
bool parseNumber(const std::string& text, uint32_t& out)
{
    size_t at = 0;
    unsigned base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        at = 2;
    }
    if (at >= text.size()) return false;
    uint64_t value = 0;
    for (; at < text.size(); ++at) {
        char c = text[at];
        unsigned digit;
        if (c >= '0' && c <= '9') {
            digit = unsigned(c - '0');
        } else if (base == 16 && c >= 'a' && c <= 'f') {
            digit = unsigned(c - 'a' + 10);
        } else if (base == 16 && c >= 'A' && c <= 'F') {
            digit = unsigned(c - 'A' + 10);
        } else {
            return false;
        }
        value = value * base + digit;
        if (value > 0xFFFFFFFFull) return false;
    }
    out = uint32_t(value);
    return true;
}

bool parseBoolean(const std::string& text, bool& out)
{
    if (text == "Yes") {
        out = true;
        return true;
    }
    if (text == "No") {
        out = false;
        return true;
    }
    return false;
}

// A list of values separated by commas; an empty item makes it malformed.
bool parseList(const std::string& text, std::vector<std::string>& items)
{
    items.clear();
    size_t start = 0;
    for (;;) {
        size_t comma = text.find(',', start);
        std::string item = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (item.empty()) return false;
        items.push_back(item);
        if (comma == std::string::npos) return true;
        start = comma + 1;
    }
}

bool listHas(const std::vector<std::string>& items, const char* value)
{
    return std::find(items.begin(), items.end(), value) != items.end();
}

uint32_t clamp(uint32_t value, uint32_t low, uint32_t high) { return std::min(std::max(value, low), high); }

// How a numerical key is settled.
enum class Rule { Lower, Higher };

struct NumericKey {
    const char* name;
    uint32_t low, high;
    Rule rule;
    bool normalSessionOnly;
};

const NumericKey kNumericKeys[] = {
    {"MaxConnections", 1, 65535, Rule::Lower, true},
    {"MaxBurstLength", 512, 16777215, Rule::Lower, true},
    {"FirstBurstLength", 512, 16777215, Rule::Lower, true},
    {"DefaultTime2Wait", 0, 3600, Rule::Higher, false},
    {"DefaultTime2Retain", 0, 3600, Rule::Lower, false},
    {"MaxOutstandingR2T", 1, 65535, Rule::Lower, true},
    {"ErrorRecoveryLevel", 0, 2, Rule::Lower, false},
    {"iSCSIProtocolLevel", 0, 31, Rule::Lower, false},
};

const NumericKey* numericKey(const std::string& name)
{
    for (const NumericKey& k : kNumericKeys) {
        if (name == k.name) return &k;
    }
    return nullptr;
}

// The target's own value of a numerical key, and where the outcome is kept
// (nullptr: not kept).
uint32_t targetValue(const std::string& name, const TargetLimits& limits)
{
    if (name == "MaxConnections") return 1;  // one connection per session
    if (name == "MaxBurstLength") return limits.maxBurstLength;
    if (name == "FirstBurstLength") return limits.firstBurstLength;
    if (name == "DefaultTime2Wait") return 2;
    if (name == "DefaultTime2Retain") return 20;
    if (name == "MaxOutstandingR2T") return limits.maxOutstandingR2T;
    if (name == "ErrorRecoveryLevel") return 0;  // session recovery only
    return 0;                                     // iSCSIProtocolLevel: no later level claimed
}

uint32_t* keptValue(const std::string& name, SessionParameters& params)
{
    if (name == "MaxConnections") return &params.maxConnections;
    if (name == "MaxBurstLength") return &params.maxBurstLength;
    if (name == "FirstBurstLength") return &params.firstBurstLength;
    if (name == "DefaultTime2Wait") return &params.defaultTime2Wait;
    if (name == "DefaultTime2Retain") return &params.defaultTime2Retain;
    if (name == "MaxOutstandingR2T") return &params.maxOutstandingR2T;
    if (name == "ErrorRecoveryLevel") return &params.errorRecoveryLevel;
    return nullptr;
}

bool isAnswerConstant(const std::string& value)
{
    return value == "NotUnderstood" || value == "Irrelevant" || value == "Reject";
}

// Keys the target alone sends.
bool isTargetKey(const std::string& key)
{
    return key == "TargetAlias" || key == "TargetAddress" || key == "TargetPortalGroupTag";
}

bool isNormalSessionBoolean(const std::string& key)
{
    return key == "InitialR2T" || key == "ImmediateData" || key == "DataPDUInOrder" || key == "DataSequenceInOrder";
}

}  // namespace

bool parseTextKeys(const std::vector<uint8_t>& data, std::vector<TextKey>& keys, std::string& error)
{
    keys.clear();
    size_t at = 0;
    while (at < data.size()) {
        const uint8_t* begin = data.data() + at;
        const void* nul = std::memchr(begin, 0, data.size() - at);
        if (!nul) {
            error = "text record at byte " + std::to_string(at) + " has no NUL at its end";
            keys.clear();
            return false;
        }
        size_t length = size_t(static_cast<const uint8_t*>(nul) - begin);
        if (length == 0) {
            // Padding after the last record: NULs up to the end only.
            for (size_t i = at; i < data.size(); ++i) {
                if (data[i] != 0) {
                    error = "empty text record at byte " + std::to_string(at);
                    keys.clear();
                    return false;
                }
            }
            break;
        }
        const uint8_t* equals = static_cast<const uint8_t*>(std::memchr(begin, '=', length));
        if (!equals) {
            error = "text record at byte " + std::to_string(at) + " has no '='";
            keys.clear();
            return false;
        }
        size_t keyLength = size_t(equals - begin);
        size_t valueLength = length - keyLength - 1;
        std::string key(begin, equals);
        if (keyLength == 0 || keyLength > kMaxKeyLength) {
            error = "text key at byte " + std::to_string(at) + " of " + std::to_string(keyLength) +
                    " bytes (1 to " + std::to_string(kMaxKeyLength) + ")";
            keys.clear();
            return false;
        }
        if (!std::all_of(begin, equals, keyCharacter)) {
            error = "text key '" + key + "' has a character outside letters, digits and . - + @ _";
            keys.clear();
            return false;
        }
        if (valueLength > kMaxValueLength) {
            error = "value of text key " + key + " is " + std::to_string(valueLength) + " bytes (at most " +
                    std::to_string(kMaxValueLength) + ")";
            keys.clear();
            return false;
        }
        for (const TextKey& seen : keys) {
            if (seen.key == key) {
                error = "text key " + key + " given twice";
                keys.clear();
                return false;
            }
        }
        keys.push_back({key, std::string(equals + 1, begin + length)});
        at += length + 1;
    }
    return true;
}

std::vector<uint8_t> encodeTextKeys(const std::vector<TextKey>& keys)
{
    std::vector<uint8_t> out;
    for (const TextKey& k : keys) {
        out.insert(out.end(), k.key.begin(), k.key.end());
        out.push_back('=');
        out.insert(out.end(), k.value.begin(), k.value.end());
        out.push_back(0);
    }
    return out;
}

bool negotiate(const std::vector<TextKey>& offered, bool securityPhase, const TargetLimits& limits,
               SessionParameters& params, std::vector<TextKey>& answers, std::string& error)
{
    answers.clear();
    bool ok = true;
    auto fail = [&](const std::string& why) {
        if (ok) error = why;
        ok = false;
    };

    // What this request settles that decides whether other keys of it
    // apply: the session type, and whether unsolicited data is possible.
    bool discovery = params.discovery;
    bool initialR2T = params.initialR2T;
    bool immediateData = params.immediateData;
    for (const TextKey& k : offered) {
        bool flag;
        if (k.key == "SessionType" && (k.value == "Discovery" || k.value == "Normal")) {
            discovery = k.value == "Discovery";
        }
        if (k.key == "InitialR2T" && parseBoolean(k.value, flag)) initialR2T = limits.initialR2T || flag;
        if (k.key == "ImmediateData" && parseBoolean(k.value, flag)) immediateData = limits.immediateData && flag;
    }
    params.discovery = discovery;

    bool burstsOffered = false;
    for (const TextKey& k : offered) {
        const std::string& key = k.key;
        const std::string& value = k.value;
        auto answer = [&](const std::string& v) { answers.push_back({key, v}); };
        // The initiator answering a key is not offering one.
        if (isAnswerConstant(value)) continue;

        uint32_t number = 0;
        bool flag = false;
        std::vector<std::string> items;

        if (key == "InitiatorName" || key == "TargetName") {
            if (value.empty() || value.size() > kMaxNameLength) {
                answer("Reject");
            } else {
                (key == "InitiatorName" ? params.initiatorName : params.targetName) = value;
            }
        } else if (key == "InitiatorAlias") {
            params.initiatorAlias = value;
        } else if (key == "SessionType") {
            if (value != "Discovery" && value != "Normal") answer("Reject");
        } else if (key == "AuthMethod") {
            if (!securityPhase) {
                answer("Irrelevant");
            } else if (parseList(value, items) && listHas(items, "None")) {
                answer("None");
            } else {
                answer("Reject");
                fail("the initiator offers no authentication method the target has (AuthMethod=" + value + ")");
            }
        } else if (key == "HeaderDigest" || key == "DataDigest") {
            std::string chosen;
            if (parseList(value, items)) {
                for (const std::string& item : items) {
                    if (item == "None" || (item == "CRC32C" && limits.allowDigests)) {
                        chosen = item;
                        break;
                    }
                }
            }
            if (chosen.empty()) {
                answer("Reject");
            } else {
                answer(chosen);
                (key == "HeaderDigest" ? params.headerDigest : params.dataDigest) = chosen == "CRC32C";
            }
        } else if (key == "MaxRecvDataSegmentLength") {
            // Declarative: what the initiator can receive; the target
            // declares its own separately.
            if (!parseNumber(value, number) || number < 512 || number > 16777215) {
                answer("Reject");
            } else {
                params.initiatorMaxRecvDataSegmentLength = number;
            }
        } else if (const NumericKey* rule = numericKey(key)) {
            bool irrelevant = rule->normalSessionOnly && discovery;
            if (key == "FirstBurstLength" && initialR2T && !immediateData) irrelevant = true;
            if (irrelevant) {
                answer("Irrelevant");
            } else if (!parseNumber(value, number) || number < rule->low || number > rule->high) {
                answer("Reject");
            } else {
                uint32_t mine = clamp(targetValue(key, limits), rule->low, rule->high);
                uint32_t result = rule->rule == Rule::Lower ? std::min(number, mine) : std::max(number, mine);
                if (uint32_t* kept = keptValue(key, params)) *kept = result;
                if (key == "MaxBurstLength" || key == "FirstBurstLength") burstsOffered = true;
                answer(std::to_string(result));
            }
        } else if (isNormalSessionBoolean(key)) {
            if (discovery) {
                answer("Irrelevant");
            } else if (!parseBoolean(value, flag)) {
                answer("Reject");
            } else {
                bool result;
                if (key == "InitialR2T") {
                    result = params.initialR2T = limits.initialR2T || flag;
                } else if (key == "ImmediateData") {
                    result = params.immediateData = limits.immediateData && flag;
                } else if (key == "DataPDUInOrder") {
                    result = params.dataPduInOrder = true;  // the target takes data in order only
                } else {
                    result = params.dataSequenceInOrder = true;
                }
                answer(result ? "Yes" : "No");
            }
        } else if (key == "OFMarker" || key == "IFMarker") {
            // Markers are not used: whatever is asked, the answer is No.
            answer(parseBoolean(value, flag) ? "No" : "Reject");
        } else if (key == "OFMarkInt" || key == "IFMarkInt") {
            answer("Irrelevant");
        } else if (key == "TaskReporting") {
            if (discovery) {
                answer("Irrelevant");
            } else {
                answer(parseList(value, items) && listHas(items, "RFC3720") ? "RFC3720" : "Reject");
            }
        } else if (key == "SendTargets" || isTargetKey(key)) {
            answer("Irrelevant");
        } else {
            answer("NotUnderstood");
        }
    }

    bool unsolicitedData = !initialR2T || immediateData;
    if (!discovery && burstsOffered && unsolicitedData && params.firstBurstLength > params.maxBurstLength) {
        fail("FirstBurstLength " + std::to_string(params.firstBurstLength) + " above MaxBurstLength " +
             std::to_string(params.maxBurstLength));
    }
    return ok;
}

std::vector<TextKey> targetDeclarations(const TargetLimits& limits, const std::vector<TextKey>& offeredSoFar)
{
    std::vector<TextKey> out;
    bool declared = std::any_of(offeredSoFar.begin(), offeredSoFar.end(),
                                [](const TextKey& k) { return k.key == "MaxRecvDataSegmentLength"; });
    if (!declared) {
        uint32_t bytes = clamp(limits.maxRecvDataSegmentLength, 512, 16777215);
        out.push_back({"MaxRecvDataSegmentLength", std::to_string(bytes)});
    }
    return out;
}

}  // namespace iscsi
}  // namespace serve
