// One segment of the fault soak: a simulated PC built for it, booted, and
// given one random request after another, each with a fault drawn for it
// or none, each result checked against the shadow of the disk.
#ifndef SOAK_SOAK_SEGMENT_H
#define SOAK_SOAK_SEGMENT_H

#include <cstdint>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "sim/host/disk_client.h"
#include "sim/machine/simulated_pc.h"
#include "soak/fault_soak.h"
#include "soak/shadow_disk.h"

namespace sim {
namespace soak {

// The machine a segment runs on.
struct SegmentPlan {
    std::string host;
    std::string drive;
    std::optional<std::string> arguments;
    uint64_t imageBytes = 0;
};

enum class Op { Read, Write, Verify };

const char* opName(Op op);

// A failed write not yet settled.
struct FailedWrite {
    Cartridge* cartridge;
    uint64_t lba;
    uint32_t count;
    uint32_t stamp;
    uint64_t firstBadBlock;  // blocks from here on cannot have been written
    std::string what;
};

class Segment {
public:
    Segment(const SoakOptions& options, SoakStats& stats, std::mt19937_64& rng, const SegmentPlan& plan,
            uint32_t& nextStamp)
        : options_(options), stats_(stats), rng_(rng), plan_(plan), nextStamp_(nextStamp)
    {
    }

    bool boot();
    void request();
    void finish();

private:
    struct TimedEvent {
        enum Kind { StuckOn, StuckOff, Unplug, Plug } kind;
        Nanoseconds at;
        Nanoseconds duration;
    };
    struct Outcome {
        CommandResult result;
        Nanoseconds elapsed = 0;
    };
    // A request as drawn: what, where and how much.
    struct Request {
        Op op;
        uint64_t lba;
        uint32_t count;
    };
    // The fault a request runs with, and what that leaves possible.
    struct FaultPlan {
        SoakFault fault = SoakFault::None;
        bool mustFail = false;  // the request cannot succeed
        uint64_t faultBlock;    // the first block a failed write cannot have reached
    };
    // A request issued, with its data and its result.
    struct Issued {
        Cartridge* cartridge;          // the cartridge in the drive
        std::vector<uint8_t> buffer;   // its data, with poisoned bytes after it
        uint32_t length = 0;           // bytes of data
        uint32_t stamp = 0;            // of the blocks a write sends
        bool inRange = false;          // the request ends within the capacity
        Outcome outcome;
        std::string where;             // the request and the machine, for findings
    };
    // What the result says.
    struct Verdict {
        bool good = false;       // GOOD
        bool recovered = false;  // RECOVERED ERROR: the data is good
    };

    uint64_t below(uint64_t n) { return n ? std::uniform_int_distribution<uint64_t>(0, n - 1)(rng_) : 0; }
    bool chance(unsigned percent) { return below(100) < percent; }
    Nanoseconds between(Nanoseconds lo, Nanoseconds hi) { return lo + below(hi - lo + 1); }

    void finding(const std::string& text);
    std::string context(Op op, uint64_t lba, uint32_t count, SoakFault fault) const;
    void onAccess();
    void beginEvents();
    void endEvents();

    // The steps of one request, in order.
    SoakFault operatorStep(bool& protectedNow);
    Request drawRequest();
    FaultPlan injectFault(Request& request, SoakFault carried, bool protectedNow);
    Issued issueRequest(const Request& request, SoakFault fault);
    Verdict classifyResult(const Request& request, const FaultPlan& plan, Issued& issued);
    void checkData(const Request& request, const FaultPlan& plan, const Issued& issued, const Verdict& verdict);
    void settleAfter(const Request& request, const FaultPlan& plan, const Issued& issued, const Verdict& verdict);

    Outcome issue(Op op, uint32_t lba, uint32_t count, uint8_t* buffer, SoakFault fault);
    CommandResult issueWithReset(Op op, uint32_t lba, uint32_t count, uint8_t* buffer, bool timeoutPath);
    void dumpRequest(const Request& request, SoakFault fault, size_t commandsBefore, size_t eventsBefore,
                     size_t hostEventsBefore, const CommandResult& result);
    SoakFault drawFault(Op op, bool removable);
    void injectSectorFault(SoakFault fault, Op op, uint64_t lba, uint32_t count, bool& always,
                           uint64_t& faultBlock);
    void clearFaults();
    void settleFailedWrites();
    void checkCartridge(Cartridge& c, const char* when);
    Cartridge& current() { return *carts_[inserted_]; }

    const SoakOptions& options_;
    SoakStats& stats_;
    std::mt19937_64& rng_;
    SegmentPlan plan_;
    uint32_t& nextStamp_;

    // The cartridges outlive the machine whose drive holds one of them.
    std::vector<std::unique_ptr<Cartridge>> carts_;
    std::unique_ptr<SimulatedPc> pc_;
    size_t inserted_ = 0;
    bool mediumOut_ = false;
    unsigned reinsertAfter_ = 0;
    unsigned protectFor_ = 0;
    bool removable_ = false;
    uint64_t capacity_ = 0;
    uint32_t maxBlocks_ = 1;
    std::pair<unsigned, unsigned> modes_;  // the read and write modes in use
    size_t violationsSeen_ = 0;
    uint64_t driveViolationsSeen_ = 0;
    uint64_t adapterViolationsSeen_ = 0;
    bool previousFaulted_ = false;
    // A request lost the drive (see losesTheDrive) and none has succeeded
    // since: the drive may still be in that request's command.
    bool driveLost_ = false;
    bool changedBefore_ = false;  // a cartridge went in just before this request
    std::vector<FailedWrite> failedWrites_;

    std::vector<TimedEvent> events_;
    size_t commandsAtStart_ = 0;
    bool stuckArmed_ = false;
    Nanoseconds stuckFor_ = 0;
    uint64_t index_ = 0;  // of the request in the whole run, from 0
    // Interrupt edges still to be lost between the port and the host.
    int edgesToLose_ = 0;
    bool lostLineHigh_ = false;
};

}  // namespace soak
}  // namespace sim

#endif  // SOAK_SOAK_SEGMENT_H
