#include "soak/fault_soak.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <unordered_map>

#include "sim/ata/ata_drive.h"
#include "sim/ata/drive_presets.h"
#include "sim/host/disk_client.h"
#include "sim/ata/disk_image.h"
#include "sim/wire/nimb_adapter.h"
#include "sim/machine/simulated_pc.h"
#include "sim/host/scsi_port_host.h"

namespace sim {

const char* soakFaultName(SoakFault fault)
{
    switch (fault) {
    case SoakFault::None: return "none";
    case SoakFault::UnreadableSector: return "unreadable sector";
    case SoakFault::MissingSector: return "missing sector";
    case SoakFault::CorrectedSector: return "corrected sector";
    case SoakFault::AbortedCommand: return "aborted command";
    case SoakFault::StuckBusy: return "stuck busy";
    case SoakFault::LostInterrupt: return "lost interrupt";
    case SoakFault::BusReset: return "bus reset";
    case SoakFault::TimeoutPath: return "host time-out";
    case SoakFault::AdapterUnplugged: return "adapter unplugged";
    case SoakFault::MediumRemoved: return "medium removed";
    case SoakFault::MediumChanged: return "medium changed";
    case SoakFault::WriteProtected: return "write protected";
    case SoakFault::PastTheEnd: return "past the end";
    }
    return "?";
}

namespace {

constexpr uint32_t kBlock = kSectorBytes;
constexpr Nanoseconds kRequestTimeout = 120 * kSecond;  // the host's time-out per request
constexpr uint8_t kPoison = 0xA5;

uint64_t mix(uint64_t x)
{
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// Faults in which the driver loses the drive in the middle of a command:
// it stays busy past the driver's wait, its interrupts never arrive, the
// port driver resets the bus or times the request out, or the adapter goes
// away. The driver gives the request up; the drive may still be in that
// command (busy, or offering or wanting data) when the next one comes.
bool losesTheDrive(SoakFault fault)
{
    return fault == SoakFault::StuckBusy || fault == SoakFault::LostInterrupt || fault == SoakFault::BusReset ||
           fault == SoakFault::TimeoutPath || fault == SoakFault::AdapterUnplugged;
}

void put32(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// The contents of one block: a readable header (tag, block, stamp,
// cartridge) and a pseudo-random tail, so that a block from the wrong place
// or of the wrong generation never matches.
void fillBlock(uint32_t cartridge, uint64_t lba, uint32_t stamp, uint8_t* out)
{
    std::memcpy(out, "SOAK", 4);
    put32(out + 4, static_cast<uint32_t>(lba));
    put32(out + 8, stamp);
    put32(out + 12, cartridge);
    uint64_t s = mix(mix(mix(cartridge) ^ lba) ^ stamp) | 1;
    for (uint32_t i = 16; i < kBlock; i += 8) {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        std::memcpy(out + i, &s, 8);
    }
}

bool blockIs(const uint8_t* data, uint32_t cartridge, uint64_t lba, uint32_t stamp)
{
    uint8_t expected[kBlock];
    fillBlock(cartridge, lba, stamp, expected);
    return std::memcmp(data, expected, kBlock) == 0;
}

std::string describeBlock(const uint8_t* data)
{
    char text[96];
    if (std::memcmp(data, "SOAK", 4) == 0) {
        auto get = [&](int at) {
            uint32_t v = 0;
            for (int i = 3; i >= 0; --i) v = (v << 8) | data[at + i];
            return v;
        };
        std::snprintf(text, sizeof text, "block %u stamp %u cartridge %u", get(4), get(8), get(12));
    } else {
        std::snprintf(text, sizeof text, "bytes %02X %02X %02X %02X ...", data[0], data[1], data[2], data[3]);
    }
    return text;
}

// A cartridge whose blocks never written hold their power-on pattern.
class SoakImage : public DiskImage {
public:
    SoakImage(uint64_t sectors, uint32_t id) : DiskImage(sectors), id_(id) {}
    uint32_t id() const { return id_; }

    bool readSector(uint64_t lba, uint8_t* buffer) const override
    {
        if (!inRange(lba)) return false;
        ++reads_;
        auto it = data_.find(lba);
        if (it != data_.end())
            std::memcpy(buffer, it->second.data(), kBlock);
        else
            fillBlock(id_, lba, 0, buffer);
        return true;
    }
    bool writeSector(uint64_t lba, const uint8_t* buffer) override
    {
        if (!inRange(lba)) return false;
        ++writes_;
        std::memcpy(data_[lba].data(), buffer, kBlock);
        return true;
    }

private:
    uint32_t id_;
    std::unordered_map<uint64_t, std::array<uint8_t, kBlock>> data_;
};

// A cartridge with what it must hold.
struct Cartridge {
    std::unique_ptr<SoakImage> image;
    std::vector<uint32_t> stamps;                   // per block; 0 = power-on pattern
    // Blocks of failed writes not yet settled: the stamps of those writes, in
    // order. Each of them may have landed (a later one need not have).
    std::unordered_map<uint64_t, std::vector<uint32_t>> unsure;
    std::set<uint64_t> touched;                     // blocks ever written (or tried)
};

// Whether a block holds what one of the failed writes not yet settled would
// have left there.
bool mayHold(const Cartridge& c, uint64_t b, const uint8_t* data)
{
    auto it = c.unsure.find(b);
    if (it == c.unsure.end()) return false;
    for (uint32_t stamp : it->second)
        if (blockIs(data, c.image->id(), b, stamp)) return true;
    return false;
}

// A failed write not yet settled.
struct FailedWrite {
    Cartridge* cartridge;
    uint64_t lba;
    uint32_t count;
    uint32_t stamp;
    uint64_t firstBadBlock;  // blocks from here on cannot have been written
    std::string what;
};

struct SegmentPlan {
    std::string host;
    std::string drive;
    std::optional<std::string> arguments;
    uint64_t imageBytes = 0;
};

enum class Op { Read, Write, Verify };

const char* opName(Op op) { return op == Op::Read ? "READ(10)" : op == Op::Write ? "WRITE(10)" : "VERIFY(10)"; }

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

    uint64_t below(uint64_t n) { return n ? std::uniform_int_distribution<uint64_t>(0, n - 1)(rng_) : 0; }
    bool chance(unsigned percent) { return below(100) < percent; }
    Nanoseconds between(Nanoseconds lo, Nanoseconds hi) { return lo + below(hi - lo + 1); }

    void finding(const std::string& text);
    std::string context(Op op, uint64_t lba, uint32_t count, SoakFault fault) const;
    void onAccess();
    void beginEvents();
    void endEvents();
    Outcome issue(Op op, uint32_t lba, uint32_t count, uint8_t* buffer, SoakFault fault);
    CommandResult issueWithReset(Op op, uint32_t lba, uint32_t count, uint8_t* buffer, bool timeoutPath);
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
    // Interrupt edges still to be lost between the port and the host.
    uint64_t index_ = 0;  // of the request in the whole run, from 0
    int edgesToLose_ = 0;
    bool lostLineHigh_ = false;
};

void Segment::finding(const std::string& text)
{
    if (stats_.findings.size() < options_.maxFindings) stats_.findings.push_back(text);
    if (options_.log) *options_.log << "soak: " << text << "\n";
}

std::string Segment::context(Op op, uint64_t lba, uint32_t count, SoakFault fault) const
{
    std::ostringstream s;
    s << opName(op) << " block " << lba << " count " << count << " (fault: " << soakFaultName(fault)
      << "; host " << plan_.host << ", drive " << plan_.drive << ", capacity " << capacity_
      << ", arguments \"" << plan_.arguments.value_or("") << "\", modes " << modes_.first << "/"
      << modes_.second << ", segment " << stats_.segments << ", request " << index_ << ")";
    return s.str();
}

bool Segment::boot()
{
    PcConfig config;
    config.driver = options_.driver;
    config.host = plan_.host;
    config.drive = plan_.drive;
    config.imageBytes = plan_.imageBytes;
    config.arguments = plan_.arguments;
    pc_ = std::make_unique<SimulatedPc>(config);
    removable_ = pc_->drive().config().removable;
    uint64_t sectors = pc_->image().sectorCount();
    for (uint32_t k = 0; k < (removable_ ? 2u : 1u); ++k) {
        auto c = std::make_unique<Cartridge>();
        c->image = std::make_unique<SoakImage>(sectors, static_cast<uint32_t>(stats_.segments * 2 + k + 1));
        c->stamps.assign(sectors, 0);
        carts_.push_back(std::move(c));
    }
    // The soak's cartridge goes in before power-on: the drive starts with it.
    pc_->drive().insertMedium(*carts_[0]->image);
    const BootReport& report = pc_->boot();
    stats_.hosts.insert(plan_.host);
    stats_.drives.insert(plan_.drive);
    if (!report.adapterFound) {
        ++stats_.bootFailures;
        finding("boot found no adapter (host " + plan_.host + ", drive " + plan_.drive + ", arguments \"" +
                plan_.arguments.value_or("") + "\")");
        return false;
    }
    DiskClient& disk = pc_->disk();
    disk.setTimeout(kRequestTimeout);
    DiskInfo info = disk.identify();
    CapacityResult cap = info.capacity;
    for (int i = 0; i < 3 && !cap.result.good(); ++i) cap = disk.readCapacity();
    if (!cap.result.good() || cap.blockLength != kBlock) {
        ++stats_.bootFailures;
        finding("READ CAPACITY failed after boot (host " + plan_.host + ", drive " + plan_.drive + ")");
        return false;
    }
    capacity_ = cap.blocks();
    if (capacity_ > sectors) {
        ++stats_.mismatches;
        finding("READ CAPACITY reports " + std::to_string(capacity_) + " blocks on a " + std::to_string(sectors) +
                "-sector image");
        capacity_ = sectors;
    }
    maxBlocks_ = std::max<uint32_t>(1, std::min<uint32_t>(255, disk.maximumTransferBytes() / kBlock));
    // After a request the driver leaves its mode byte, read mode * 16 +
    // write mode, on the port's data lines.
    uint8_t modeByte = pc_->dataLatch();
    modes_ = {static_cast<unsigned>(modeByte >> 4), static_cast<unsigned>(modeByte & 0x0F)};
    stats_.modes.insert(modes_);
    // The port's interrupt line as the host sees it: a lost edge is a rise
    // that never reaches the interrupt controller (the line itself, and so
    // the adapter's status, still show it).
    std::function<bool()> line = pc_->host().config().interruptLine;
    pc_->host().config().interruptLine = [this, line] {
        bool high = line && line();
        if (edgesToLose_ <= 0) return high;
        if (high) {
            lostLineHigh_ = true;
        } else if (lostLineHigh_) {
            lostLineHigh_ = false;
            --edgesToLose_;
        }
        return false;
    };
    violationsSeen_ = pc_->host().violationCount();
    if (violationsSeen_) {
        stats_.hostViolations += violationsSeen_;
        finding("host violations at boot: " + pc_->host().violationText());
    }
    driveViolationsSeen_ = pc_->drive().violations().total();
    if (driveViolationsSeen_) {
        stats_.driveViolations += driveViolationsSeen_;
        stats_.unexplainedDriveViolations += driveViolationsSeen_;
        finding("drive protocol violations at start-up (host " + plan_.host + ", drive " + plan_.drive + ")");
    }
    adapterViolationsSeen_ = pc_->adapter().violationCount();
    return true;
}

// --- Timed events, run from the bus as the driver's port accesses pass.

void Segment::onAccess()
{
    Nanoseconds now = pc_->clock().now();
    if (stuckArmed_ && pc_->drive().commandLog().size() > commandsAtStart_) {
        // The drive has taken a command: it now stays busy for a while.
        stuckArmed_ = false;
        pc_->drive().faults().stuckBusy = StuckBusy::Always;
        events_.push_back({TimedEvent::StuckOff, now + stuckFor_, 0});
    }
    for (size_t i = 0; i < events_.size();) {
        TimedEvent e = events_[i];
        if (e.at > now) {
            ++i;
            continue;
        }
        events_.erase(events_.begin() + static_cast<long>(i));
        switch (e.kind) {
        case TimedEvent::StuckOff: pc_->drive().faults().stuckBusy = StuckBusy::Never; break;
        case TimedEvent::Unplug:
            pc_->adapter().disconnect();
            events_.push_back({TimedEvent::Plug, now + e.duration, 0});
            break;
        case TimedEvent::Plug: pc_->adapter().reconnect(); break;
        case TimedEvent::StuckOn: break;
        }
    }
}

void Segment::beginEvents()
{
    commandsAtStart_ = pc_->drive().commandLog().size();
    if (events_.empty() && !stuckArmed_) return;
    pc_->bus().setSink([this](const IoAccess&) { onAccess(); });
}

void Segment::endEvents()
{
    pc_->bus().setSink(nullptr);
    events_.clear();
    stuckArmed_ = false;
}

// --- Issuing one request.

CommandResult Segment::issueWithReset(Op op, uint32_t lba, uint32_t count, uint8_t* buffer, bool timeoutPath)
{
    ScsiPortHost& host = pc_->host();
    SCSI_REQUEST_BLOCK* srb = host.makeSrb(SRB_FUNCTION_EXECUTE_SCSI, 0, 0);
    srb->CdbLength = 10;
    srb->Cdb[0] = op == Op::Read ? scsiop::kRead10 : op == Op::Write ? scsiop::kWrite10 : scsiop::kVerify10;
    for (int i = 0; i < 4; ++i) srb->Cdb[2 + i] = static_cast<UCHAR>(lba >> (24 - 8 * i));
    srb->Cdb[7] = static_cast<UCHAR>(count >> 8);
    srb->Cdb[8] = static_cast<UCHAR>(count);
    srb->SrbFlags = (op == Op::Read    ? SRB_FLAGS_DATA_IN
                     : op == Op::Write ? SRB_FLAGS_DATA_OUT
                                       : SRB_FLAGS_NO_DATA_TRANSFER) |
                    SRB_FLAGS_DISABLE_AUTOSENSE;
    srb->DataBuffer = op == Op::Verify ? nullptr : buffer;
    srb->DataTransferLength = op == Op::Verify ? 0 : count * kBlock;
    srb->TimeOutValue = static_cast<ULONG>(kRequestTimeout / kSecond);

    // The reset comes while the request is open: after a random stretch of
    // the pump (a request done inside HwStartIo is finished by then, and the
    // reset finds the bus idle).
    host.start(srb);
    Nanoseconds delay = chance(70) ? between(0, 3 * kMillisecond) : between(0, 200 * kMillisecond);
    host.runUntilComplete(srb, delay);
    if (!host.isCompleted(srb) && timeoutPath)
        host.timeoutRequest(srb);
    else
        host.resetBus(0);
    CommandResult result;
    RunResult run;
    if (!host.isCompleted(srb)) run = host.runUntilComplete(srb, kRequestTimeout);
    if (!host.isCompleted(srb)) {
        result.hang = true;
        host.timeoutRequest(srb);
    }
    result.completed = host.isCompleted(srb) && !result.hang;
    result.srbStatus = srb->SrbStatus;
    result.scsiStatus = srb->ScsiStatus;
    if (result.completed && result.scsiStatus == SCSISTAT_CHECK_CONDITION) {
        std::vector<uint8_t> sense;
        CommandResult s = pc_->disk().requestSense(sense);
        if (s.good() && sense.size() >= 14 && (sense[0] & 0x7E) == 0x70) {
            result.senseValid = true;
            result.senseKey = sense[2] & 0x0F;
            result.asc = sense[12];
            result.ascq = sense[13];
        }
        result.sense = sense;
    }
    return result;
}

Segment::Outcome Segment::issue(Op op, uint32_t lba, uint32_t count, uint8_t* buffer, SoakFault fault)
{
    Outcome out;
    Nanoseconds begin = pc_->clock().now();
    beginEvents();
    DiskClient& disk = pc_->disk();
    if (fault == SoakFault::BusReset || fault == SoakFault::TimeoutPath) {
        out.result = issueWithReset(op, lba, count, buffer, fault == SoakFault::TimeoutPath);
    } else if (op == Op::Read) {
        out.result = disk.read10(lba, static_cast<uint16_t>(count), buffer, count * kBlock);
    } else if (op == Op::Write) {
        out.result = disk.write10(lba, static_cast<uint16_t>(count), buffer, count * kBlock);
    } else {
        out.result = disk.verify10(lba, static_cast<uint16_t>(count));
    }
    endEvents();
    out.elapsed = pc_->clock().now() - begin;
    return out;
}

// --- Faults.

SoakFault Segment::drawFault(Op op, bool removable)
{
    std::vector<std::pair<SoakFault, unsigned>> menu = {
        {SoakFault::MissingSector, 8}, {SoakFault::AbortedCommand, 8}, {SoakFault::StuckBusy, 8},
        {SoakFault::LostInterrupt, 8}, {SoakFault::BusReset, 8},       {SoakFault::TimeoutPath, 4},
        {SoakFault::AdapterUnplugged, 8}, {SoakFault::PastTheEnd, 2},
    };
    if (op != Op::Write) {
        menu.push_back({SoakFault::UnreadableSector, 10});
        menu.push_back({SoakFault::CorrectedSector, 3});
    }
    if (removable) {
        menu.push_back({SoakFault::MediumRemoved, 4});
        menu.push_back({SoakFault::MediumChanged, 4});
        menu.push_back({SoakFault::WriteProtected, 3});
    }
    menu.erase(std::remove_if(menu.begin(), menu.end(),
                              [&](const std::pair<SoakFault, unsigned>& m) { return options_.excluded.count(m.first) != 0; }),
               menu.end());
    unsigned total = 0;
    for (auto& m : menu) total += m.second;
    if (total == 0) return SoakFault::None;
    uint64_t pick = below(total);
    for (auto& m : menu) {
        if (pick < m.second) return m.first;
        pick -= m.second;
    }
    return SoakFault::None;
}

void Segment::injectSectorFault(SoakFault fault, Op op, uint64_t lba, uint32_t count, bool& always,
                                uint64_t& faultBlock)
{
    DriveFaults& f = pc_->drive().faults();
    faultBlock = lba + below(count);
    int times = chance(75) ? kAlways : 1;
    SectorFault kind = SectorFault::IdNotFound;
    if (fault == SoakFault::UnreadableSector) {
        static const SectorFault kinds[] = {SectorFault::Uncorrectable, SectorFault::UncorrectableWithData,
                                            SectorFault::AddressMarkNotFound, SectorFault::BadBlock};
        kind = kinds[below(4)];
    } else if (fault == SoakFault::CorrectedSector) {
        kind = SectorFault::Corrected;
    } else if (op == Op::Write && chance(30)) {
        kind = chance(50) ? SectorFault::AddressMarkNotFound : SectorFault::BadBlock;  // these hit writes too
    }
    f.addSector(faultBlock, kind, times);
    // A sector that fails every time cannot be read, verified or written
    // past; one that fails once might be got round by a retry.
    always = times == kAlways && kind != SectorFault::Corrected;
}

void Segment::clearFaults()
{
    DriveFaults& f = pc_->drive().faults();
    f.sectors.clear();
    f.abortCommands.clear();
    f.suppressInterrupts = 0;
    f.stuckBusy = StuckBusy::Never;
    edgesToLose_ = 0;
    lostLineHigh_ = false;
    pc_->adapter().reconnect();  // plugged back in if it was still out
}

// --- Checking.

void Segment::settleFailedWrites()
{
    pc_->drive().busy();  // lets the drive catch up with time
    for (const FailedWrite& w : failedWrites_) {
        Cartridge& c = *w.cartridge;
        bool sawOld = false;
        for (uint32_t i = 0; i < w.count; ++i) {
            uint64_t b = w.lba + i;
            auto it = c.unsure.find(b);
            // Overwritten since: the latest failed write settles the block.
            if (it == c.unsure.end() || it->second.back() != w.stamp) continue;
            uint8_t data[kBlock];
            c.image->readSector(b, data);
            bool isNew = blockIs(data, c.image->id(), b, w.stamp);
            bool isOld = blockIs(data, c.image->id(), b, c.stamps[b]);
            // An earlier failed write to the block may have landed there.
            for (size_t k = 0; !isNew && !isOld && k + 1 < it->second.size(); ++k) {
                if (blockIs(data, c.image->id(), b, it->second[k])) {
                    isOld = true;
                    c.stamps[b] = it->second[k];
                }
            }
            if (isNew) {
                if (sawOld || b >= w.firstBadBlock) {
                    ++stats_.mismatches;
                    finding("failed write left block " + std::to_string(b) +
                            " written after an unwritten one or at or past the failing sector: " + w.what);
                }
                c.stamps[b] = w.stamp;
            } else if (isOld) {
                sawOld = true;
            } else {
                ++stats_.mismatches;
                finding("failed write left block " + std::to_string(b) + " holding neither old nor new data (" +
                        describeBlock(data) + "): " + w.what);
                // Put the expected contents back so that one fault counts once.
                c.stamps[b] = w.stamp;
                fillBlock(c.image->id(), b, w.stamp, data);
                c.image->writeSector(b, data);
            }
            c.unsure.erase(it);
        }
    }
    failedWrites_.clear();
}

void Segment::checkCartridge(Cartridge& c, const char* when)
{
    uint8_t data[kBlock];
    size_t bad = 0;
    auto check = [&](uint64_t b) {
        c.image->readSector(b, data);
        bool ok = blockIs(data, c.image->id(), b, c.stamps[b]);
        if (!ok) ok = mayHold(c, b, data);
        if (!ok) {
            ++bad;
            uint8_t expected[kBlock];
            fillBlock(c.image->id(), b, c.stamps[b], expected);
            c.image->writeSector(b, expected);
            if (bad <= 3)
                finding(std::string(when) + ": cartridge " + std::to_string(c.image->id()) + " block " +
                        std::to_string(b) + " holds " + describeBlock(data) + ", expected stamp " +
                        std::to_string(c.stamps[b]) + " (host " + plan_.host + ", drive " + plan_.drive + ")");
        }
    };
    for (uint64_t b : c.touched) check(b);
    for (int i = 0; i < 64 && !c.stamps.empty(); ++i) check(below(c.stamps.size()));
    if (bad) stats_.mismatches += bad;
}

void Segment::request()
{
    ScsiPortHost& host = pc_->host();
    AtaDrive& drive = pc_->drive();

    index_ = stats_.requests;
    // The operator's side between requests.
    SoakFault carried = SoakFault::None;
    if (mediumOut_ && reinsertAfter_-- == 0) {
        mediumOut_ = false;
        if (chance(50)) inserted_ = 1 - inserted_;
        drive.insertMedium(*current().image);
        carried = SoakFault::MediumChanged;
    }
    if (protectFor_ > 0 && --protectFor_ == 0) drive.setWriteProtected(false);
    bool protectedNow = drive.writeProtected();

    // The request.
    Op op = chance(45) ? Op::Read : chance(64) ? Op::Write : Op::Verify;
    uint32_t count;
    uint64_t r = below(100);
    if (r < 55)
        count = 1 + static_cast<uint32_t>(below(8));
    else if (r < 85)
        count = 9 + static_cast<uint32_t>(below(24));
    else if (r < 95)
        count = 1 + static_cast<uint32_t>(below(maxBlocks_));
    else
        count = maxBlocks_;
    count = static_cast<uint32_t>(std::min<uint64_t>({count, maxBlocks_, capacity_}));
    uint64_t lba;
    uint64_t where = below(100);
    if (where < 8)
        lba = capacity_ - count;  // the last blocks
    else if (where < 12)
        lba = capacity_ - count - std::min<uint64_t>(capacity_ - count, below(64));
    else if (where < 14)
        lba = 0;
    else
        lba = below(capacity_ - count + 1);

    SoakFault fault = SoakFault::None;
    if (chance(options_.faultPercent)) fault = drawFault(op, removable_);
    bool mustFail = mediumOut_ || (protectedNow && op == Op::Write);
    bool alwaysSector = false;
    uint64_t faultBlock = lba + count;  // the first block a failed write cannot have reached
    DriveFaults& f = drive.faults();
    switch (fault) {
    case SoakFault::UnreadableSector:
    case SoakFault::MissingSector:
    case SoakFault::CorrectedSector:
        injectSectorFault(fault, op, lba, count, alwaysSector, faultBlock);
        if (alwaysSector) mustFail = true;
        if (!alwaysSector) faultBlock = lba + count;
        break;
    case SoakFault::AbortedCommand: {
        int times = chance(50) ? kAlways : 1;
        for (uint8_t opcode : {0x20, 0x21, 0xC4, 0x30, 0x31, 0xC5, 0x40, 0x41}) f.abortCommand(opcode, times);
        if (chance(20)) f.abortCommand(0xC6, times);  // and the retry's SET MULTIPLE
        if (times == kAlways) mustFail = true;
        if (op == Op::Write) faultBlock = lba;
        break;
    }
    case SoakFault::StuckBusy: {
        uint64_t d = below(100);
        stuckFor_ = d < 70 ? between(kMillisecond, 50 * kMillisecond)
                    : d < 95 ? between(50 * kMillisecond, 2 * kSecond)
                             : between(2 * kSecond, 40 * kSecond);
        stuckArmed_ = true;
        break;
    }
    case SoakFault::LostInterrupt:
        if (options_.driveInterruptLoss && chance(30))
            f.suppressInterrupts = 1 + static_cast<int>(below(3));
        else
            edgesToLose_ = 1 + static_cast<int>(below(3));
        break;
    case SoakFault::AdapterUnplugged: {
        Nanoseconds at = pc_->clock().now() + (chance(70) ? between(0, 2 * kMillisecond) : between(0, 50 * kMillisecond));
        Nanoseconds out = chance(70) ? between(50 * kMicrosecond, 5 * kMillisecond)
                                     : between(5 * kMillisecond, 500 * kMillisecond);
        events_.push_back({TimedEvent::Unplug, at, out});
        break;
    }
    case SoakFault::MediumRemoved:
        drive.removeMedium();
        mediumOut_ = true;
        reinsertAfter_ = static_cast<unsigned>(below(3));
        mustFail = true;
        break;
    case SoakFault::MediumChanged:
        inserted_ = 1 - inserted_;
        drive.insertMedium(*current().image);
        mediumOut_ = false;
        mustFail = false;
        break;
    case SoakFault::WriteProtected:
        drive.setWriteProtected(true);
        protectFor_ = 1 + static_cast<unsigned>(below(3));
        if (op == Op::Write) mustFail = true;
        break;
    case SoakFault::PastTheEnd:
        lba = capacity_ - count + 1 + below(std::max<uint64_t>(1, count));
        if (chance(20)) lba = capacity_ + below(1000);
        mustFail = true;
        if (op == Op::Write) faultBlock = std::min<uint64_t>(lba, capacity_);
        break;
    default: break;
    }
    if (fault != SoakFault::None) {
        ++stats_.faultsInjected;
        ++stats_.faults[fault];
    }
    if (carried != SoakFault::None && fault == SoakFault::None) {
        fault = carried;
        ++stats_.faultsInjected;
        ++stats_.faults[fault];
    }
    if (mediumOut_ && fault == SoakFault::None) fault = SoakFault::MediumRemoved;
    if (protectedNow && fault == SoakFault::None) fault = SoakFault::WriteProtected;
    if (mediumOut_) faultBlock = lba;
    if (protectedNow && op == Op::Write) faultBlock = lba;
    // A past-the-end request must not write anything at all.
    if (fault == SoakFault::PastTheEnd && op == Op::Write) faultBlock = lba;

    Cartridge& cart = current();
    uint32_t cartId = cart.image->id();
    const uint32_t length = count * kBlock;
    std::vector<uint8_t> buffer(size_t(length) + kBlock, kPoison);
    uint32_t stamp = 0;
    bool inRange = lba + count <= capacity_;
    if (op == Op::Write) {
        stamp = nextStamp_++;
        for (uint32_t i = 0; i < count; ++i) fillBlock(cartId, lba + i, stamp, buffer.data() + size_t(i) * kBlock);
    }

    size_t commandsBefore = drive.commandLog().size();
    size_t eventsBefore = drive.eventLog().size();
    size_t hostEventsBefore = host.events().size();
    Outcome out = issue(op, static_cast<uint32_t>(lba), count, buffer.data(), fault);
    if (index_ == options_.dumpRequest && options_.log) {
        std::ostream& o = *options_.log;
        o << "soak: request " << index_ << ": " << context(op, lba, count, fault) << "\n";
        for (size_t i = commandsBefore; i < drive.commandLog().size(); ++i)
            o << "  drive: " << formatCommand(drive.commandLog()[i]) << "\n";
        for (size_t i = eventsBefore; i < drive.eventLog().size(); ++i) o << "  drive event: " << drive.eventLog()[i] << "\n";
        for (size_t i = hostEventsBefore; i < host.events().size(); ++i) {
            const HostEvent& e = host.events()[i];
            o << "  host: " << e.time / kMicrosecond << " us " << hostEventName(e.kind) << " value " << e.value
              << " srb status 0x" << std::hex << unsigned(e.srbStatus) << std::dec << "\n";
        }
        o << "  result: srb 0x" << std::hex << unsigned(out.result.srbStatus) << " scsi 0x" << unsigned(out.result.scsiStatus)
          << std::dec << " sense " << unsigned(out.result.senseKey) << " valid " << out.result.senseValid << "\n";
    }
    const CommandResult& res = out.result;
    clearFaults();

    ++stats_.requests;
    if (op == Op::Read) ++stats_.reads;
    if (op == Op::Write) ++stats_.writes;
    if (op == Op::Verify) ++stats_.verifies;
    stats_.virtualTime += out.elapsed;
    stats_.longestRequest = std::max(stats_.longestRequest, out.elapsed);
    std::string where_ = context(op, lba, count, fault);

    if (host.violationCount() > violationsSeen_) {
        stats_.hostViolations += host.violationCount() - violationsSeen_;
        const auto& v = host.violations();
        finding("host violation after " + where_ + ": " + v[violationsSeen_]);
        violationsSeen_ = host.violationCount();
    }
    uint64_t dv = drive.violations().total();
    if (dv > driveViolationsSeen_) {
        stats_.driveViolations += dv - driveViolationsSeen_;
        if (!driveLost_ && !losesTheDrive(fault)) {
            stats_.unexplainedDriveViolations += dv - driveViolationsSeen_;
            finding("drive protocol violation: " + where_);
        }
        driveViolationsSeen_ = dv;
    }
    uint64_t av = pc_->adapter().violationCount();
    if (av > adapterViolationsSeen_) {
        stats_.adapterViolations += av - adapterViolationsSeen_;
        adapterViolationsSeen_ = av;
    }
    if (res.hang) {
        ++stats_.hangs;
        finding("hang: the host's time-out ended " + where_);
    }

    bool good = res.completed && !res.hang && (res.srbStatus & 0x3F) == SRB_STATUS_SUCCESS &&
                res.scsiStatus == SCSISTAT_GOOD;
    bool recovered = res.completed && res.scsiStatus == SCSISTAT_CHECK_CONDITION && res.senseValid &&
                     res.senseKey == 1;
    if (!good) {
        ++stats_.failuresReported;
        ++stats_.failures[fault];
        char key[32];
        if (res.scsiStatus == SCSISTAT_CHECK_CONDITION)
            std::snprintf(key, sizeof key, "key %u", res.senseValid ? res.senseKey : 0xFFu);
        else
            std::snprintf(key, sizeof key, "srb 0x%02X", res.srbStatus & 0x3F);
        ++stats_.senseKeys[key];
        uint8_t srb = res.srbStatus & 0x3F;
        bool failingStatus = srb != SRB_STATUS_SUCCESS && srb != SRB_STATUS_PENDING;
        bool explained = res.hang || (res.scsiStatus == SCSISTAT_CHECK_CONDITION
                                          ? (res.senseValid ? res.senseKey != 0 : failingStatus)
                                          : failingStatus);
        if (res.scsiStatus == SCSISTAT_CHECK_CONDITION && !res.senseValid) ++stats_.senseUnavailable;
        if (!explained) {
            ++stats_.unexplainedFailures;
            char text[96];
            std::snprintf(text, sizeof text, "failure without a reason (SRB 0x%02X, SCSI 0x%02X, sense %s): ",
                          res.srbStatus, res.scsiStatus, res.senseValid ? "key 0" : "missing");
            finding(text + where_);
        }
        if (fault == SoakFault::None) {
            if (previousFaulted_ || changedBefore_) {
                ++stats_.followOnFailures;
            } else {
                ++stats_.cleanFailures;
                finding(std::string("clean request failed (") + key + "): " + where_);
            }
        }
    }
    if ((good || recovered) && mustFail) {
        ++stats_.mismatches;
        finding("reported success although it cannot have succeeded: " + where_);
    }

    // Nothing may be written past the buffer.
    for (size_t i = length; i < buffer.size(); ++i)
        if (buffer[i] != kPoison) {
            ++stats_.mismatches;
            finding("bytes written past the end of the buffer: " + where_);
            break;
        }

    if (op == Op::Read && (good || recovered) && inRange) {
        stats_.blocksMoved += count;
        for (uint32_t i = 0; i < count; ++i) {
            uint64_t b = lba + i;
            const uint8_t* got = buffer.data() + size_t(i) * kBlock;
            bool ok = blockIs(got, cartId, b, cart.stamps[b]);
            if (!ok) ok = mayHold(cart, b, got);
            if (!ok) {
                ++stats_.mismatches;
                finding("read returned wrong data in block " + std::to_string(b) + " (" + describeBlock(got) +
                        ", expected stamp " + std::to_string(cart.stamps[b]) + "): " + where_);
                break;
            }
        }
    }
    if (op == Op::Write && inRange) {
        for (uint32_t i = 0; i < count; ++i) cart.touched.insert(lba + i);
        if (good) {
            stats_.blocksMoved += count;
            uint8_t data[kBlock];
            for (uint32_t i = 0; i < count; ++i) {
                uint64_t b = lba + i;
                cart.image->readSector(b, data);
                if (!blockIs(data, cartId, b, stamp)) {
                    ++stats_.mismatches;
                    finding("write reported GOOD but block " + std::to_string(b) + " holds " + describeBlock(data) +
                            ": " + where_);
                    break;
                }
            }
            for (uint32_t i = 0; i < count; ++i) {
                cart.stamps[lba + i] = stamp;
                cart.unsure.erase(lba + i);
                // What the write should have left, so that a fault counts once.
                fillBlock(cartId, lba + i, stamp, data);
                cart.image->writeSector(lba + i, data);
            }
        } else {
            for (uint32_t i = 0; i < count; ++i) cart.unsure[lba + i].push_back(stamp);
            failedWrites_.push_back({&cart, lba, count, stamp, std::max(lba, faultBlock), where_});
        }
    }
    // A write past the end must not touch the blocks it does reach.
    if (op == Op::Write && !inRange) {
        uint8_t data[kBlock];
        for (uint64_t b = lba; b < capacity_; ++b) {
            cart.image->readSector(b, data);
            if (!blockIs(data, cartId, b, cart.stamps[b]) &&
                !mayHold(cart, b, data)) {
                ++stats_.mismatches;
                finding("write past the end changed block " + std::to_string(b) + ": " + where_);
                break;
            }
        }
    }
    // Once a later request has gone through, a failed write's drive command
    // is over for certain: settle what it left.
    if (good && !failedWrites_.empty() && !(op == Op::Write && failedWrites_.back().stamp == stamp))
        settleFailedWrites();

    driveLost_ = !good && (driveLost_ || losesTheDrive(fault));
    previousFaulted_ = fault != SoakFault::None;
    changedBefore_ = fault == SoakFault::MediumChanged || fault == SoakFault::MediumRemoved;
}

void Segment::finish()
{
    if (!pc_) return;
    if (mediumOut_) pc_->drive().insertMedium(*current().image);
    // Let anything the drive still has in hand end, then settle and compare.
    pc_->host().runFor(kSecond);
    settleFailedWrites();
    for (auto& c : carts_) checkCartridge(*c, "end of segment");
    if (pc_->host().violationCount() > violationsSeen_) {
        stats_.hostViolations += pc_->host().violationCount() - violationsSeen_;
        finding("host violation at the end of a segment: " + pc_->host().violations()[violationsSeen_]);
    }
    pc_.reset();
}

// The mode pairs a machine of the kind can carry: nibble and
// five-plus-three reads everywhere, bidirectional and EPP where its port
// has them.
std::vector<std::string> argumentChoices(const std::string& host)
{
    const HostKindInfo* kind = findHostKind(host);
    std::vector<std::string> list;
    for (int r = 0; r <= 5; ++r)
        for (int w = 0; w <= 2; ++w) list.push_back("/r" + std::to_string(r) + " /w" + std::to_string(w));
    if (kind && kind->bidirectionalReads)
        for (int r = 8; r <= 9; ++r)
            for (int w = 0; w <= 2; ++w) list.push_back("/r" + std::to_string(r) + " /w" + std::to_string(w));
    if (kind && kind->epp) list.push_back("/r10 /w3");
    return list;
}

// Whether the preset serves a medium of any size.
bool anyImageSize(const std::string& drive)
{
    for (const DrivePresetInfo& p : drivePresetInfos())
        if (drive == p.name) return p.anyImageSize;
    return false;
}

SegmentPlan drawPlan(std::mt19937_64& rng, const std::string& host, const std::vector<std::string>& drives)
{
    auto below = [&](uint64_t n) { return std::uniform_int_distribution<uint64_t>(0, n - 1)(rng); };
    SegmentPlan plan;
    plan.host = host;
    plan.drive = drives[below(drives.size())];
    if (anyImageSize(plan.drive)) {
        static const uint64_t sizes[] = {1ull << 20, 8ull << 20, 32ull << 20, 128ull << 20, 512ull << 20};
        plan.imageBytes = sizes[below(5)];
    }
    std::string args;
    if (below(4) != 0) {
        std::vector<std::string> choices = argumentChoices(host);
        args = choices[below(choices.size())];
        if (below(5) == 0 && args.find("/r10") == std::string::npos && args.find("/r8") == std::string::npos &&
            args.find("/r9") == std::string::npos)
            args = "/da " + args;
    }
    if (below(6) == 0) args += " /dm";
    if (below(6) == 0) args += " /di";
    if (!args.empty()) plan.arguments = args;
    return plan;
}

}  // namespace

std::string SoakStats::summaryLine() const
{
    std::ostringstream s;
    s << "soak: requests " << requests << ", faults injected " << faultsInjected << ", failures reported "
      << failuresReported << ", mismatches " << mismatches << ", hangs " << hangs;
    return s.str();
}

std::string SoakStats::detailText() const
{
    std::ostringstream s;
    s << "  segments " << segments << " (boot failures " << bootFailures << "), reads " << reads << ", writes "
      << writes << ", verifies " << verifies << ", blocks moved " << blocksMoved << "\n";
    s << "  host violations " << hostViolations << ", failures without a reason " << unexplainedFailures << ", sense unavailable " << senseUnavailable
      << ", clean failures " << cleanFailures << ", follow-on failures " << followOnFailures
      << ", drive protocol violations " << driveViolations << " (unexplained " << unexplainedDriveViolations
      << "), adapter violations " << adapterViolations
      << "\n";
    s << "  virtual time " << virtualTime / kMillisecond << " ms, longest request "
      << longestRequest / kMillisecond << " ms\n";
    s << "  hosts";
    for (const auto& h : hosts) s << " " << h;
    s << "; drives";
    for (const auto& d : drives) s << " " << d;
    s << "; modes";
    for (const auto& m : modes) s << " " << m.first << "/" << m.second;
    s << "\n  faults (injected/failed):";
    for (const auto& f : faults) {
        auto it = failures.find(f.first);
        s << " " << soakFaultName(f.first) << " " << f.second << "/" << (it == failures.end() ? 0 : it->second)
          << ";";
    }
    s << "\n  outcomes:";
    for (const auto& k : senseKeys) s << " " << k.first << " x" << k.second << ";";
    s << "\n";
    for (const auto& f : findings) s << "  finding: " << f << "\n";
    return s.str();
}

FaultSoak::FaultSoak(SoakOptions options) : options_(std::move(options)) {}

SoakStats FaultSoak::run()
{
    SoakStats stats;
    std::mt19937_64 rng(mix(options_.seed));
    std::vector<std::string> hosts = options_.hosts;
    if (hosts.empty())
        for (const HostKindInfo& k : hostKinds()) hosts.push_back(k.name);
    std::vector<std::string> drives = options_.drives;
    if (drives.empty())
        for (const DrivePresetInfo& p : drivePresetInfos()) drives.insert(drives.end(), p.drawWeight, p.name);
    uint32_t nextStamp = 1;
    uint32_t perSegment = std::max<uint32_t>(1, options_.segmentRequests);
    while (stats.requests < options_.requests) {
        SegmentPlan plan = drawPlan(rng, hosts[stats.segments % hosts.size()], drives);
        Segment segment(options_, stats, rng, plan, nextStamp);
        bool booted = segment.boot();
        ++stats.segments;
        if (!booted) {
            segment.finish();
            if (stats.bootFailures > 20) break;
            continue;
        }
        uint64_t n = std::min<uint64_t>(perSegment, options_.requests - stats.requests);
        for (uint64_t i = 0; i < n; ++i) segment.request();
        segment.finish();
    }
    return stats;
}

}  // namespace sim
