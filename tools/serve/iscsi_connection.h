// One iSCSI connection of the target, from its first login request to its
// logout (RFC 7143, error recovery level 0, one connection per session).
//
// The connection is a state machine fed with the bytes the initiator sends;
// what the target sends back collects in an output buffer. It never blocks
// and never touches a socket: the server moves the bytes, and the SCSI
// commands run synchronously on the backend as they become complete, one at
// a time, so the simulated machine stays on one thread of control.
//
//   login      Security and operational negotiation (no authentication),
//              keys answered by negotiate(); a normal session must name
//              this target; a discovery session serves SendTargets only.
//   commands   SCSI Command with immediate data, unsolicited Data-Out and
//              R2T-driven Data-Out for writes; Data-In split by the
//              initiator's MaxRecvDataSegmentLength with the status in the
//              last one when it is GOOD; SCSI Response with sense data
//              otherwise; residual counts.
//   others     NOP-Out/NOP-In, Text (SendTargets), Task Management (ABORT
//              TASK, ABORT/CLEAR TASK SET, LUN RESET, TARGET WARM RESET),
//              Logout, Reject for anything else.
//
// A PDU the reader cannot frame (header digest wrong, a data segment over
// the declared limit) closes the connection, as error recovery level 0
// allows; a data digest error rejects that PDU.
#ifndef TOOLS_SERVE_ISCSI_CONNECTION_H
#define TOOLS_SERVE_ISCSI_CONNECTION_H

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "tools/serve/iscsi_pdu.h"
#include "tools/serve/iscsi_text.h"
#include "tools/serve/scsi_front_end.h"

namespace serve {

// What a connection serves: the target's name and address, and the SCSI
// device behind LUN 0.
struct TargetBackend {
    std::string targetName;
    std::string targetAddress;  // "ADDR:PORT,1" as SendTargets reports it
    iscsi::TargetLimits limits;
    std::function<ScsiOutcome(const std::vector<uint8_t>& cdb, const std::vector<uint8_t>& dataOut,
                              uint32_t expectedIn)>
        execute;
    std::function<bool(TaskFunction)> taskManagement;
    // A new session's identifying handle (TSIH), never 0.
    std::function<uint16_t()> newSession;
};

class IscsiConnection {
public:
    explicit IscsiConnection(TargetBackend& backend);

    // Bytes from the initiator. Everything they complete is handled at once.
    void receive(const uint8_t* bytes, size_t length);
    // What is to be sent, taken out of the connection.
    std::vector<uint8_t> takeOutput();
    bool hasOutput() const { return !output_.empty(); }
    // The connection is to be closed once its output is sent (logout, or a
    // stream that cannot be read on); reason says why.
    bool closing() const { return closing_; }
    const std::string& closeReason() const { return closeReason_; }
    bool fullFeature() const { return phase_ == Phase::FullFeature; }
    const iscsi::SessionParameters& parameters() const { return params_; }

private:
    enum class Phase { Login, FullFeature, LoggedOut };

    // A write waiting for its data.
    struct WriteTask {
        iscsi::Pdu command;
        std::vector<uint8_t> cdb;
        uint32_t expected = 0;       // Expected Data Transfer Length
        std::vector<uint8_t> data;   // by buffer offset
        uint32_t received = 0;
        bool unsolicitedDone = false;
        uint32_t ttt = 0xFFFFFFFFu;  // of the R2T outstanding, if any
        uint32_t nextOffset = 0;     // where the next burst asked for starts
        uint32_t r2tOffset = 0;
        uint32_t r2tLength = 0;
        uint32_t r2tReceived = 0;
        uint32_t r2tSn = 0;
        uint32_t unsolicitedSn = 0;  // DataSN expected next in each sequence
        uint32_t solicitedSn = 0;
    };

    void handle(iscsi::Pdu& pdu);
    void handleLogin(const iscsi::Pdu& pdu);
    void loginFailure(const iscsi::Pdu& request, uint8_t statusClass, uint8_t statusDetail,
                      const std::string& why);
    void handleScsiCommand(const iscsi::Pdu& pdu);
    void handleDataOut(const iscsi::Pdu& pdu);
    void handleNopOut(const iscsi::Pdu& pdu);
    void handleText(const iscsi::Pdu& pdu);
    void handleTaskManagement(const iscsi::Pdu& pdu);
    void handleLogout(const iscsi::Pdu& pdu);

    bool inWindow(uint32_t cmdSn) const;
    void advanceCmdSn(const iscsi::Pdu& pdu);
    void continueWrite(uint32_t itt);
    void run(const iscsi::Pdu& command, const std::vector<uint8_t>& cdb,
             const std::vector<uint8_t>& dataOut);
    // Data-In (with the status in the last when it is GOOD), else a SCSI
    // Response with any sense, and the residual counts.
    void respondWithData(const iscsi::Pdu& command, const std::vector<uint8_t>& cdb,
                         const ScsiOutcome& outcome);
    void reject(const iscsi::Pdu& pdu, uint8_t reason);
    // A final answer to a request, with its LUN and task tag and the next
    // status number (NOP-In, Text Response).
    iscsi::Pdu answerTo(const iscsi::Pdu& request, iscsi::Opcode op);
    void fillSequence(iscsi::Pdu& response, bool advanceStatSn);
    void send(const iscsi::Pdu& pdu);
    void close(const std::string& why);

    TargetBackend& backend_;
    iscsi::PduReader reader_;
    std::vector<uint8_t> output_;
    Phase phase_ = Phase::Login;
    bool txHeaderDigest_ = false;
    bool txDataDigest_ = false;
    bool closing_ = false;
    std::string closeReason_;
    iscsi::SessionParameters params_;

    // Login state.
    bool loginStarted_ = false;
    uint8_t isid_[6] = {};
    uint16_t tsih_ = 0;
    uint16_t cid_ = 0;
    uint32_t loginItt_ = 0;
    uint8_t currentStage_ = 0;
    std::vector<uint8_t> loginText_;  // keys of a login request continued over several PDUs
    bool declaredLimits_ = false;
    bool sentPortalGroup_ = false;

    // Sequence numbers.
    uint32_t statSn_ = 0;
    uint32_t expCmdSn_ = 0;
    static constexpr uint32_t kCommandWindow = 32;

    std::map<uint32_t, WriteTask> writes_;  // by Initiator Task Tag
    uint32_t nextTtt_ = 1;
};

}  // namespace serve

#endif  // TOOLS_SERVE_ISCSI_CONNECTION_H
