#include "tools/serve/iscsi_connection.h"

#include <algorithm>
#include <cstring>

namespace serve {

using iscsi::Opcode;
using iscsi::Pdu;
using iscsi::TextKey;

namespace {

constexpr uint32_t kNoTag = 0xFFFFFFFFu;

// Login stages (CSG/NSG).
constexpr uint8_t kSecurityStage = 0;
constexpr uint8_t kOperationalStage = 1;
constexpr uint8_t kFullFeatureStage = 3;

// Login status class and detail (RFC 7143, 11.13.5).
constexpr uint8_t kInitiatorError = 0x02;
constexpr uint8_t kTargetError = 0x03;
constexpr uint8_t kDetailGeneric = 0x00;
constexpr uint8_t kDetailAuthentication = 0x01;
constexpr uint8_t kDetailNotFound = 0x03;
constexpr uint8_t kDetailUnsupportedVersion = 0x05;
constexpr uint8_t kDetailMissingParameter = 0x07;
constexpr uint8_t kDetailSessionDoesNotExist = 0x0A;
constexpr uint8_t kDetailInvalidDuringLogin = 0x0B;

// Reject reasons (11.17.1).
constexpr uint8_t kRejectDataDigest = 0x02;
constexpr uint8_t kRejectSnack = 0x03;
constexpr uint8_t kRejectProtocolError = 0x04;
constexpr uint8_t kRejectNotSupported = 0x05;
constexpr uint8_t kRejectTaskInProgress = 0x07;
constexpr uint8_t kRejectInvalidField = 0x09;

// Task management functions (11.5.1) and responses (11.6.1).
constexpr uint8_t kAbortTask = 1;
constexpr uint8_t kAbortTaskSet = 2;
constexpr uint8_t kClearTaskSet = 4;
constexpr uint8_t kLunReset = 5;
constexpr uint8_t kTargetWarmReset = 6;
constexpr uint8_t kFunctionComplete = 0;
constexpr uint8_t kTaskDoesNotExist = 1;
constexpr uint8_t kLunDoesNotExist = 2;
constexpr uint8_t kFunctionNotSupported = 5;
constexpr uint8_t kFunctionRejected = 255;

// The most data one command moves: a write expecting more is refused
// rather than buffered, and a read gets no larger buffer than this
// whatever the initiator expects (no command of the disk's moves more:
// READ(10) tops out at 65535 blocks, 32 MiB).
constexpr uint32_t kMaxTransferBytes = 64u * 1024 * 1024;

// Serial number arithmetic (RFC 1982) on 32-bit sequence numbers.
bool serialAtLeast(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b) >= 0; }

// The CDB's length from its group code.
size_t cdbLength(uint8_t opcode)
{
    static const size_t kByGroup[8] = {6, 10, 10, 16, 16, 12, 10, 10};
    return kByGroup[opcode >> 5];
}

// The bytes a READ or WRITE CDB asks to move, for residual counts; 0 for
// other commands (their allocation lengths are the initiator's business).
uint64_t cdbTransferBytes(const std::vector<uint8_t>& cdb)
{
    auto be = [&](size_t at, size_t n) {
        uint64_t v = 0;
        for (size_t i = 0; i < n; ++i) v = (v << 8) | cdb[at + i];
        return v;
    };
    switch (cdb[0]) {
    case 0x08:
    case 0x0A: return (cdb[4] ? cdb[4] : 256) * 512ull;
    case 0x28:
    case 0x2A: return be(7, 2) * 512;
    case 0xA8:
    case 0xAA: return be(6, 4) * 512;
    case 0x88:
    case 0x8A: return be(10, 4) * 512;
    default: return 0;
    }
}

// Fixed-format sense data: key, additional sense code and qualifier.
std::vector<uint8_t> senseOf(uint8_t key, uint8_t asc, uint8_t ascq)
{
    std::vector<uint8_t> s(18, 0);
    s[0] = 0x70;
    s[2] = key;
    s[7] = 10;
    s[12] = asc;
    s[13] = ascq;
    return s;
}

uint32_t lunNumber(uint64_t field)
{
    // Single-level addressing: the first two bytes of the eight.
    return static_cast<uint32_t>((field >> 48) & 0x3FFF);
}

}  // namespace

IscsiConnection::IscsiConnection(TargetBackend& backend) : backend_(backend)
{
    params_.targetMaxRecvDataSegmentLength = 8192;
}

void IscsiConnection::receive(const uint8_t* bytes, size_t length)
{
    if (closing_) return;
    reader_.feed(bytes, length);
    while (!closing_) {
        Pdu pdu;
        std::string error;
        iscsi::PduReader::Status status = reader_.next(pdu, error);
        if (status == iscsi::PduReader::Status::NeedMore) break;
        if (status == iscsi::PduReader::Status::Malformed) {
            close(error);
            break;
        }
        if (status == iscsi::PduReader::Status::DataDigestError) {
            reject(pdu, kRejectDataDigest);
            continue;
        }
        handle(pdu);
    }
}

std::vector<uint8_t> IscsiConnection::takeOutput()
{
    std::vector<uint8_t> out;
    out.swap(output_);
    return out;
}

void IscsiConnection::close(const std::string& why)
{
    if (closing_) return;
    closing_ = true;
    closeReason_ = why;
    // A write still waiting for its data never reaches the disk.
    writes_.clear();
}

void IscsiConnection::send(const Pdu& pdu)
{
    std::vector<uint8_t> bytes = iscsi::encodePdu(pdu, txHeaderDigest_, txDataDigest_);
    output_.insert(output_.end(), bytes.begin(), bytes.end());
}

void IscsiConnection::fillSequence(Pdu& response, bool advanceStatSn)
{
    response.set32(24, statSn_);
    if (advanceStatSn) ++statSn_;
    response.set32(28, expCmdSn_);
    response.set32(32, expCmdSn_ + kCommandWindow - 1);
}

bool IscsiConnection::inWindow(uint32_t cmdSn) const
{
    return serialAtLeast(cmdSn, expCmdSn_) && serialAtLeast(expCmdSn_ + kCommandWindow - 1, cmdSn);
}

void IscsiConnection::advanceCmdSn(const Pdu& pdu)
{
    if (pdu.immediate()) return;
    uint32_t cmdSn = pdu.get32(24);
    if (serialAtLeast(cmdSn, expCmdSn_)) expCmdSn_ = cmdSn + 1;
}

void IscsiConnection::handle(Pdu& pdu)
{
    const Opcode op = pdu.opcode();
    if (phase_ == Phase::Login) {
        if (op == Opcode::LoginRequest) {
            handleLogin(pdu);
        } else {
            close("a PDU other than a login request before the login completed");
        }
        return;
    }
    if (phase_ == Phase::LoggedOut) return;
    // A numbered request outside the command window is dropped unanswered:
    // it was either seen already or sent past what the target allowed.
    const bool numbered = op == Opcode::ScsiCommand || op == Opcode::TextRequest ||
                          op == Opcode::TaskManagementRequest ||
                          op == Opcode::LogoutRequest ||
                          (op == Opcode::NopOut && pdu.itt() != kNoTag);
    if (numbered && !pdu.immediate() && !inWindow(pdu.get32(24))) return;
    // Commands in a discovery session: text, NOP and logout only.
    if (params_.discovery && op != Opcode::TextRequest && op != Opcode::NopOut &&
        op != Opcode::LogoutRequest) {
        advanceCmdSn(pdu);
        reject(pdu, kRejectProtocolError);
        return;
    }
    switch (op) {
    case Opcode::ScsiCommand: advanceCmdSn(pdu); handleScsiCommand(pdu); break;
    case Opcode::DataOut: handleDataOut(pdu); break;
    case Opcode::NopOut: handleNopOut(pdu); break;
    case Opcode::TextRequest: advanceCmdSn(pdu); handleText(pdu); break;
    case Opcode::TaskManagementRequest: advanceCmdSn(pdu); handleTaskManagement(pdu); break;
    case Opcode::LogoutRequest: advanceCmdSn(pdu); handleLogout(pdu); break;
    case Opcode::LoginRequest: reject(pdu, kRejectProtocolError); break;
    case Opcode::SnackRequest: reject(pdu, kRejectSnack); break;
    default:
        // A target's opcode, or one that does not exist.
        reject(pdu, (static_cast<uint8_t>(op) & 0x20) ? kRejectProtocolError : kRejectNotSupported);
        break;
    }
}

// --- Login.

void IscsiConnection::loginFailure(const Pdu& request, uint8_t statusClass, uint8_t statusDetail,
                                   const std::string& why)
{
    Pdu r;
    r.setOpcode(Opcode::LoginResponse);
    r.bhs[1] = static_cast<uint8_t>(request.bhs[1] & 0x0C);  // CSG kept, T and NSG clear
    std::memcpy(&r.bhs[8], &request.bhs[8], 6);
    r.set32(16, request.itt());
    fillSequence(r, true);
    r.bhs[36] = statusClass;
    r.bhs[37] = statusDetail;
    send(r);
    close("login refused: " + why);
}

void IscsiConnection::handleLogin(const Pdu& pdu)
{
    const uint8_t flags = pdu.bhs[1];
    const bool transit = flags & 0x80;
    const bool more = flags & 0x40;
    const uint8_t csg = (flags >> 2) & 3;
    const uint8_t nsg = flags & 3;
    if (!loginStarted_) {
        loginStarted_ = true;
        std::memcpy(isid_, &pdu.bhs[8], 6);
        tsih_ = pdu.get16(14);
        cid_ = pdu.get16(20);
        expCmdSn_ = pdu.get32(24);
        statSn_ = pdu.get32(28);
        if (pdu.bhs[3] > 0)  // Version-min: only version 0 exists
            return loginFailure(pdu, kInitiatorError, kDetailUnsupportedVersion,
                                "unsupported version");
        if (tsih_ != 0)
            return loginFailure(pdu, kInitiatorError, kDetailSessionDoesNotExist,
                                "adding a connection to a session is not supported");
    }
    if (csg == 2 || (transit && (nsg == 2 || nsg <= csg)) || csg < currentStage_)
        return loginFailure(pdu, kInitiatorError, kDetailInvalidDuringLogin,
                            "login stages out of order");
    currentStage_ = csg;

    if (loginText_.size() + pdu.data.size() > 64 * 1024)
        return loginFailure(pdu, kInitiatorError, kDetailGeneric, "login text too long");
    loginText_.insert(loginText_.end(), pdu.data.begin(), pdu.data.end());
    Pdu r;
    r.setOpcode(Opcode::LoginResponse);
    std::memcpy(&r.bhs[8], isid_, 6);
    r.set32(16, pdu.itt());
    if (more) {
        // The initiator's keys continue in the next request: acknowledge.
        r.bhs[1] = static_cast<uint8_t>(csg << 2);
        fillSequence(r, true);
        send(r);
        return;
    }
    std::vector<TextKey> keys;
    std::string error;
    if (!iscsi::parseTextKeys(loginText_, keys, error))
        return loginFailure(pdu, kInitiatorError, kDetailGeneric, error);
    loginText_.clear();
    std::vector<TextKey> answers;
    if (!iscsi::negotiate(keys, csg == kSecurityStage, backend_.limits, params_, answers, error)) {
        bool auth = error.find("uth") != std::string::npos;
        return loginFailure(pdu, kInitiatorError, auth ? kDetailAuthentication : kDetailGeneric,
                            error);
    }
    if (params_.initiatorName.empty())
        return loginFailure(pdu, kInitiatorError, kDetailMissingParameter, "no InitiatorName");
    if (!params_.discovery) {
        if (params_.targetName.empty())
            return loginFailure(pdu, kInitiatorError, kDetailMissingParameter, "no TargetName");
        if (params_.targetName != backend_.targetName)
            return loginFailure(pdu, kInitiatorError, kDetailNotFound,
                                "no target " + params_.targetName);
        if (!sentPortalGroup_) {
            answers.push_back({"TargetPortalGroupTag", "1"});
            sentPortalGroup_ = true;
        }
    }
    // The target's own receive limit is declarative: say it once, in the
    // operational stage (a login that skips that stage keeps the default).
    if (csg == kOperationalStage && !declaredLimits_) {
        for (const TextKey& k : iscsi::targetDeclarations(backend_.limits, answers))
            answers.push_back(k);
        params_.targetMaxRecvDataSegmentLength = backend_.limits.maxRecvDataSegmentLength;
        declaredLimits_ = true;
    }
    const bool toFullFeature = transit && nsg == kFullFeatureStage;
    if (toFullFeature) {
        tsih_ = backend_.newSession ? backend_.newSession() : 1;
        r.set16(14, tsih_);
    }
    r.bhs[1] = static_cast<uint8_t>((transit ? 0x80 : 0) | (csg << 2) | (transit ? nsg : 0));
    r.data = iscsi::encodeTextKeys(answers);
    fillSequence(r, true);
    send(r);
    if (toFullFeature) {
        phase_ = Phase::FullFeature;
        // Digests apply from the first PDU after this response, both ways.
        txHeaderDigest_ = params_.headerDigest;
        txDataDigest_ = params_.dataDigest;
        reader_.setDigests(params_.headerDigest, params_.dataDigest);
        reader_.setMaxDataSegment(params_.targetMaxRecvDataSegmentLength);
    }
}

// --- SCSI commands.

void IscsiConnection::handleScsiCommand(const Pdu& pdu)
{
    const uint8_t flags = pdu.bhs[1];
    const bool write = flags & 0x20;
    const uint32_t itt = pdu.itt();
    const uint32_t expected = pdu.get32(20);
    if (!pdu.ahs.empty()) return reject(pdu, kRejectNotSupported);  // CDBs over 16 bytes
    if (writes_.count(itt)) return reject(pdu, kRejectTaskInProgress);
    std::vector<uint8_t> cdb(pdu.bhs.begin() + 32, pdu.bhs.begin() + 32 + cdbLength(pdu.bhs[32]));

    if (lunNumber(pdu.lun()) != 0 && cdb[0] != 0xA0) {
        // No such logical unit: INQUIRY says so in its data, all else fails.
        ScsiOutcome none;
        if (cdb[0] == 0x12) {
            none.dataIn.assign(std::min<uint32_t>(expected, 36), 0);
            if (!none.dataIn.empty()) none.dataIn[0] = 0x7F;
        } else {
            none.status = kStatusCheckCondition;
            none.sense = senseOf(0x05, 0x25, 0x00);
        }
        return respondWithData(pdu, cdb, none);
    }
    if (!write || expected == 0) return run(pdu, cdb, pdu.data);

    if (!pdu.data.empty() && !params_.immediateData) return reject(pdu, kRejectProtocolError);
    if (pdu.data.size() > expected || pdu.data.size() > params_.firstBurstLength ||
        expected > kMaxTransferBytes)
        return reject(pdu, kRejectInvalidField);
    WriteTask task;
    task.command = pdu;
    task.command.data.clear();
    task.cdb = cdb;
    task.expected = expected;
    task.data = pdu.data;
    task.received = static_cast<uint32_t>(pdu.data.size());
    task.nextOffset = task.received;
    // Unsolicited Data-Out follows only when the F bit is clear (and the
    // session allows it); its end is the Data-Out with the F bit.
    task.unsolicitedDone = (flags & 0x80) || params_.initialR2T;
    writes_[itt] = std::move(task);
    continueWrite(itt);
}

void IscsiConnection::continueWrite(uint32_t itt)
{
    auto it = writes_.find(itt);
    if (it == writes_.end()) return;
    WriteTask& task = it->second;
    if (task.received >= task.expected) {
        WriteTask done = std::move(task);
        writes_.erase(it);
        done.data.resize(done.expected);
        run(done.command, done.cdb, done.data);
        return;
    }
    if (!task.unsolicitedDone) return;
    if (task.ttt != kNoTag && task.r2tReceived < task.r2tLength) return;  // a burst is under way
    // Ask for the next burst.
    if (task.nextOffset >= task.expected) return;
    task.r2tOffset = task.nextOffset;
    task.r2tLength = std::min(task.expected - task.nextOffset, params_.maxBurstLength);
    task.r2tReceived = 0;
    task.solicitedSn = 0;
    task.nextOffset += task.r2tLength;
    task.ttt = nextTtt_++;
    if (nextTtt_ == kNoTag) nextTtt_ = 1;
    Pdu r2t;
    r2t.setOpcode(Opcode::ReadyToTransfer);
    r2t.bhs[1] = 0x80;
    r2t.set64(8, task.command.lun());
    r2t.set32(16, itt);
    r2t.set32(20, task.ttt);
    fillSequence(r2t, false);
    r2t.set32(36, task.r2tSn++);
    r2t.set32(40, task.r2tOffset);
    r2t.set32(44, task.r2tLength);
    send(r2t);
}

void IscsiConnection::handleDataOut(const Pdu& pdu)
{
    const uint32_t itt = pdu.itt();
    const uint32_t ttt = pdu.get32(20);
    const uint32_t offset = pdu.get32(40);
    auto it = writes_.find(itt);
    if (it == writes_.end()) return reject(pdu, kRejectInvalidField);  // no such task
    WriteTask& task = it->second;
    const uint64_t end = uint64_t(offset) + pdu.data.size();
    // Each sequence (the unsolicited one, and each burst an R2T asked for)
    // numbers its Data-Out PDUs from 0. A PDU out of that order means data
    // was lost or reordered: at error recovery level 0 the task ends in
    // failure rather than writing what arrived.
    const uint32_t dataSn = pdu.get32(36);
    const bool unsolicited = ttt == kNoTag;
    const uint32_t wantSn = unsolicited ? task.unsolicitedSn : task.solicitedSn;
    if (dataSn != wantSn && (unsolicited || ttt == task.ttt)) {
        ScsiOutcome failed;
        failed.status = kStatusCheckCondition;
        failed.sense = senseOf(0x0B, 0x4B, 0x00);  // ABORTED COMMAND, data phase error
        WriteTask dropped = std::move(task);
        writes_.erase(it);
        reject(pdu, kRejectProtocolError);
        respondWithData(dropped.command, dropped.cdb, failed);
        return;
    }
    if (unsolicited)
        ++task.unsolicitedSn;
    else
        ++task.solicitedSn;
    if (ttt == kNoTag) {
        // Unsolicited: only before the first burst is asked for, within
        // the first burst.
        if (task.unsolicitedDone ||
            end > std::min<uint64_t>(task.expected, params_.firstBurstLength))
            return reject(pdu, kRejectProtocolError);
    } else {
        if (ttt != task.ttt || offset < task.r2tOffset ||
            end > uint64_t(task.r2tOffset) + task.r2tLength)
            return reject(pdu, kRejectInvalidField);
        task.r2tReceived += static_cast<uint32_t>(pdu.data.size());
    }
    if (task.data.size() < end) task.data.resize(end);
    std::copy(pdu.data.begin(), pdu.data.end(), task.data.begin() + offset);
    task.received += static_cast<uint32_t>(pdu.data.size());
    if (ttt == kNoTag) {
        task.nextOffset = std::max<uint32_t>(task.nextOffset, static_cast<uint32_t>(end));
        if (pdu.finalBit()) task.unsolicitedDone = true;
    }
    continueWrite(itt);
}

void IscsiConnection::run(const Pdu& command, const std::vector<uint8_t>& cdb,
                          const std::vector<uint8_t>& dataOut)
{
    const bool read = command.bhs[1] & 0x40;
    const uint32_t expected = command.get32(20);
    ScsiOutcome outcome =
        backend_.execute(cdb, dataOut, read ? std::min(expected, kMaxTransferBytes) : 0);
    if (outcome.dataIn.size() > expected) outcome.dataIn.resize(expected);
    respondWithData(command, cdb, outcome);
}

void IscsiConnection::respondWithData(const Pdu& command, const std::vector<uint8_t>& cdb,
                                      const ScsiOutcome& outcome)
{
    const uint32_t expected = command.get32(20);
    const bool write = command.bhs[1] & 0x20;
    // Residuals: what the command asked to move against what the initiator
    // expected, or, for other commands, what moved against the expectation.
    uint64_t wanted = cdbTransferBytes(cdb);
    uint64_t moved = write ? expected : outcome.dataIn.size();
    if (wanted == 0 || outcome.status != kStatusGood) wanted = moved;
    uint8_t residualFlags = 0;
    uint32_t residual = 0;
    if (wanted > expected) {
        residualFlags = 0x04;  // overflow
        residual = static_cast<uint32_t>(std::min<uint64_t>(wanted - expected, 0xFFFFFFFFu));
    } else if (wanted < expected || moved < expected) {
        residualFlags = 0x02;  // underflow
        residual = expected - static_cast<uint32_t>(std::min<uint64_t>(std::min(wanted, moved), expected));
    }

    const std::vector<uint8_t>& data = outcome.dataIn;
    const uint32_t segment = std::max<uint32_t>(512, params_.initiatorMaxRecvDataSegmentLength);
    const bool statusInData = outcome.status == kStatusGood && !data.empty();
    uint32_t dataSn = 0;
    for (size_t offset = 0; offset < data.size(); offset += segment) {
        const size_t n = std::min<size_t>(segment, data.size() - offset);
        const bool last = offset + n == data.size();
        Pdu in;
        in.setOpcode(Opcode::DataIn);
        const bool burstEnd = last || ((offset + n) % params_.maxBurstLength) == 0;
        in.bhs[1] = static_cast<uint8_t>((burstEnd ? 0x80 : 0));
        in.set64(8, command.lun());
        in.set32(16, command.itt());
        in.set32(20, kNoTag);
        if (last && statusInData) {
            in.bhs[1] |= static_cast<uint8_t>(0x80 | 0x01 | residualFlags);
            in.bhs[3] = outcome.status;
            fillSequence(in, true);
            in.set32(44, residual);
        } else {
            in.set32(28, expCmdSn_);
            in.set32(32, expCmdSn_ + kCommandWindow - 1);
        }
        in.set32(36, dataSn++);
        in.set32(40, static_cast<uint32_t>(offset));
        in.data.assign(data.begin() + offset, data.begin() + offset + n);
        send(in);
    }
    if (statusInData) return;

    Pdu r;
    r.setOpcode(Opcode::ScsiResponse);
    r.bhs[1] = static_cast<uint8_t>(0x80 | residualFlags);
    r.bhs[2] = 0x00;  // command completed at the target
    r.bhs[3] = outcome.status;
    r.set32(16, command.itt());
    fillSequence(r, true);
    r.set32(36, dataSn);
    r.set32(44, residual);
    if (!outcome.sense.empty()) {
        r.data.push_back(static_cast<uint8_t>(outcome.sense.size() >> 8));
        r.data.push_back(static_cast<uint8_t>(outcome.sense.size()));
        r.data.insert(r.data.end(), outcome.sense.begin(), outcome.sense.end());
    }
    send(r);
}

// --- Everything else.

Pdu IscsiConnection::answerTo(const Pdu& request, Opcode op)
{
    Pdu r;
    r.setOpcode(op);
    r.bhs[1] = 0x80;
    r.set64(8, request.lun());
    r.set32(16, request.itt());
    r.set32(20, kNoTag);
    fillSequence(r, true);
    return r;
}

void IscsiConnection::handleNopOut(const Pdu& pdu)
{
    if (pdu.itt() == kNoTag) return;  // an answer to a NOP-In of ours (we send none)
    advanceCmdSn(pdu);
    Pdu r = answerTo(pdu, Opcode::NopIn);
    r.data = pdu.data;
    if (r.data.size() > params_.initiatorMaxRecvDataSegmentLength)
        r.data.resize(params_.initiatorMaxRecvDataSegmentLength);
    send(r);
}

void IscsiConnection::handleText(const Pdu& pdu)
{
    if (pdu.bhs[1] & 0x40) return reject(pdu, kRejectNotSupported);  // continued text
    std::vector<TextKey> keys;
    std::string error;
    if (!iscsi::parseTextKeys(pdu.data, keys, error)) return reject(pdu, kRejectInvalidField);
    std::vector<TextKey> answers;
    std::vector<TextKey> others;
    for (const TextKey& k : keys) {
        if (k.key == "SendTargets") {
            if (k.value == "All" || k.value == backend_.targetName ||
                (k.value.empty() && !params_.discovery)) {
                answers.push_back({"TargetName", backend_.targetName});
                answers.push_back({"TargetAddress", backend_.targetAddress});
            }
        } else {
            others.push_back(k);
        }
    }
    if (!others.empty()) {
        std::vector<TextKey> more;
        iscsi::negotiate(others, false, backend_.limits, params_, more, error);
        answers.insert(answers.end(), more.begin(), more.end());
    }
    Pdu r = answerTo(pdu, Opcode::TextResponse);
    r.data = iscsi::encodeTextKeys(answers);
    if (r.data.size() > params_.initiatorMaxRecvDataSegmentLength)
        return reject(pdu, kRejectNotSupported);  // would need continuation
    send(r);
}

void IscsiConnection::handleTaskManagement(const Pdu& pdu)
{
    const uint8_t function = pdu.bhs[1] & 0x7F;
    const uint32_t referenced = pdu.get32(20);
    uint8_t response = kFunctionComplete;
    const bool lunSpecific = function == kAbortTask || function == kAbortTaskSet ||
                             function == kClearTaskSet || function == kLunReset;
    if (lunSpecific && lunNumber(pdu.lun()) != 0) {
        response = kLunDoesNotExist;
    } else {
        switch (function) {
        case kAbortTask: {
            auto it = writes_.find(referenced);
            if (it != writes_.end()) {
                writes_.erase(it);  // aborted: it gets no response of its own
            } else if (!serialAtLeast(pdu.get32(32), pdu.get32(24))) {
                // Not here and older than this request: it completed.
                response = kFunctionComplete;
            } else {
                response = kTaskDoesNotExist;
            }
            break;
        }
        case kAbortTaskSet:
        case kClearTaskSet:
            writes_.clear();
            if (backend_.taskManagement) backend_.taskManagement(TaskFunction::AbortTask);
            break;
        case kLunReset:
            writes_.clear();
            if (backend_.taskManagement && !backend_.taskManagement(TaskFunction::LunReset))
                response = kFunctionRejected;
            break;
        case kTargetWarmReset:
            writes_.clear();
            if (backend_.taskManagement && !backend_.taskManagement(TaskFunction::TargetWarmReset))
                response = kFunctionRejected;
            break;
        default: response = kFunctionNotSupported; break;
        }
    }
    Pdu r;
    r.setOpcode(Opcode::TaskManagementResponse);
    r.bhs[1] = 0x80;
    r.bhs[2] = response;
    r.set32(16, pdu.itt());
    fillSequence(r, true);
    send(r);
}

void IscsiConnection::handleLogout(const Pdu& pdu)
{
    const uint8_t reason = pdu.bhs[1] & 0x7F;
    Pdu r;
    r.setOpcode(Opcode::LogoutResponse);
    r.bhs[1] = 0x80;
    // Closing the session or this connection; recovery is not offered at
    // error recovery level 0.
    r.bhs[2] = reason <= 1 ? 0 : 2;
    r.set32(16, pdu.itt());
    fillSequence(r, true);
    send(r);
    phase_ = Phase::LoggedOut;
    close("logged out");
}

void IscsiConnection::reject(const Pdu& pdu, uint8_t reason)
{
    Pdu r;
    r.setOpcode(Opcode::Reject);
    r.bhs[1] = 0x80;
    r.bhs[2] = reason;
    r.set32(16, kNoTag);
    fillSequence(r, true);
    r.data.assign(pdu.bhs.begin(), pdu.bhs.end());
    send(r);
}

}  // namespace serve
