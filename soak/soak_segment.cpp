#include "soak/soak_segment.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <ostream>
#include <sstream>

#include "sim/ata/ata_drive.h"
#include "sim/host/scsi_port_host.h"
#include "sim/wire/nimb_adapter.h"

namespace sim {
namespace soak {

namespace {

constexpr Nanoseconds kRequestTimeout = 120 * kSecond;  // the host's time-out per request
constexpr uint8_t kPoison = 0xA5;

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

}  // namespace

const char* opName(Op op) { return op == Op::Read ? "READ(10)" : op == Op::Write ? "WRITE(10)" : "VERIFY(10)"; }

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
    if (result.completed && result.scsiStatus == SCSISTAT_CHECK_CONDITION) pc_->disk().addSense(result);
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

// --- One request, step by step.

void Segment::request()
{
    index_ = stats_.requests;
    bool protectedNow = false;
    SoakFault carried = operatorStep(protectedNow);
    Request request = drawRequest();
    FaultPlan plan = injectFault(request, carried, protectedNow);
    Issued issued = issueRequest(request, plan.fault);
    clearFaults();
    Verdict verdict = classifyResult(request, plan, issued);
    checkData(request, plan, issued, verdict);
    settleAfter(request, plan, issued, verdict);
}

// The operator's side between requests: a cartridge taken out comes back
// (perhaps the other one), and a write protection runs out. Returns the
// fault that carries over to the request, if any.
SoakFault Segment::operatorStep(bool& protectedNow)
{
    AtaDrive& drive = pc_->drive();
    SoakFault carried = SoakFault::None;
    if (mediumOut_ && reinsertAfter_-- == 0) {
        mediumOut_ = false;
        if (chance(50)) inserted_ = 1 - inserted_;
        drive.insertMedium(*current().image);
        carried = SoakFault::MediumChanged;
    }
    if (protectFor_ > 0 && --protectFor_ == 0) drive.setWriteProtected(false);
    protectedNow = drive.writeProtected();
    return carried;
}

// The request: mostly short ones, some as long as the adapter takes, at
// random places with the last blocks and block 0 drawn more often.
Segment::Request Segment::drawRequest()
{
    Request r;
    r.op = chance(45) ? Op::Read : chance(64) ? Op::Write : Op::Verify;
    uint64_t size = below(100);
    if (size < 55)
        r.count = 1 + static_cast<uint32_t>(below(8));
    else if (size < 85)
        r.count = 9 + static_cast<uint32_t>(below(24));
    else if (size < 95)
        r.count = 1 + static_cast<uint32_t>(below(maxBlocks_));
    else
        r.count = maxBlocks_;
    r.count = static_cast<uint32_t>(std::min<uint64_t>({r.count, maxBlocks_, capacity_}));
    uint64_t where = below(100);
    if (where < 8)
        r.lba = capacity_ - r.count;  // the last blocks
    else if (where < 12)
        r.lba = capacity_ - r.count - std::min<uint64_t>(capacity_ - r.count, below(64));
    else if (where < 14)
        r.lba = 0;
    else
        r.lba = below(capacity_ - r.count + 1);
    return r;
}

// Draws a fault for some requests and sets it up on the drive, the adapter
// or the interrupt line; names the fault a request runs under (one the
// operator left, a cartridge still out, a protection still on) and what it
// leaves possible. A request past the end moves the request's block.
Segment::FaultPlan Segment::injectFault(Request& request, SoakFault carried, bool protectedNow)
{
    AtaDrive& drive = pc_->drive();
    const Op op = request.op;
    const uint32_t count = request.count;
    uint64_t& lba = request.lba;
    FaultPlan plan;
    SoakFault& fault = plan.fault;
    bool& mustFail = plan.mustFail;
    uint64_t& faultBlock = plan.faultBlock;

    if (chance(options_.faultPercent)) fault = drawFault(op, removable_);
    mustFail = mediumOut_ || (protectedNow && op == Op::Write);
    bool alwaysSector = false;
    faultBlock = lba + count;  // the first block a failed write cannot have reached
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
    return plan;
}

// Fills the buffer (a write's blocks get a new stamp), issues the request
// and, when asked, writes what the drive and the host saw of it to the log.
Segment::Issued Segment::issueRequest(const Request& request, SoakFault fault)
{
    AtaDrive& drive = pc_->drive();
    Issued issued;
    issued.cartridge = &current();
    uint32_t cartId = issued.cartridge->image->id();
    issued.length = request.count * kBlock;
    issued.buffer.assign(size_t(issued.length) + kBlock, kPoison);
    issued.inRange = request.lba + request.count <= capacity_;
    if (request.op == Op::Write) {
        issued.stamp = nextStamp_++;
        for (uint32_t i = 0; i < request.count; ++i)
            fillBlock(cartId, request.lba + i, issued.stamp, issued.buffer.data() + size_t(i) * kBlock);
    }

    size_t commandsBefore = drive.commandLog().size();
    size_t eventsBefore = drive.eventLog().size();
    size_t hostEventsBefore = pc_->host().events().size();
    issued.outcome = issue(request.op, static_cast<uint32_t>(request.lba), request.count, issued.buffer.data(), fault);
    if (index_ == options_.dumpRequest && options_.log)
        dumpRequest(request, fault, commandsBefore, eventsBefore, hostEventsBefore, issued.outcome.result);
    return issued;
}

void Segment::dumpRequest(const Request& request, SoakFault fault, size_t commandsBefore, size_t eventsBefore,
                          size_t hostEventsBefore, const CommandResult& result)
{
    AtaDrive& drive = pc_->drive();
    ScsiPortHost& host = pc_->host();
    std::ostream& o = *options_.log;
    o << "soak: request " << index_ << ": " << context(request.op, request.lba, request.count, fault) << "\n";
    for (size_t i = commandsBefore; i < drive.commandLog().size(); ++i)
        o << "  drive: " << formatCommand(drive.commandLog()[i]) << "\n";
    for (size_t i = eventsBefore; i < drive.eventLog().size(); ++i) o << "  drive event: " << drive.eventLog()[i] << "\n";
    for (size_t i = hostEventsBefore; i < host.events().size(); ++i) {
        const HostEvent& e = host.events()[i];
        o << "  host: " << e.time / kMicrosecond << " us " << hostEventName(e.kind) << " value " << e.value
          << " srb status 0x" << std::hex << unsigned(e.srbStatus) << std::dec << "\n";
    }
    o << "  result: srb 0x" << std::hex << unsigned(result.srbStatus) << " scsi 0x" << unsigned(result.scsiStatus)
      << std::dec << " sense " << unsigned(result.senseKey) << " valid " << result.senseValid << "\n";
}

// Counts the request, what the host, the drive and the adapter saw go
// against their protocols, and a hang; then whether the result is GOOD (or
// says the data is good), and whether a failure is reported as one with a
// reason. A success the fault made impossible is a mismatch.
Segment::Verdict Segment::classifyResult(const Request& request, const FaultPlan& plan, Issued& issued)
{
    ScsiPortHost& host = pc_->host();
    AtaDrive& drive = pc_->drive();
    const CommandResult& res = issued.outcome.result;
    const SoakFault fault = plan.fault;

    ++stats_.requests;
    if (request.op == Op::Read) ++stats_.reads;
    if (request.op == Op::Write) ++stats_.writes;
    if (request.op == Op::Verify) ++stats_.verifies;
    stats_.virtualTime += issued.outcome.elapsed;
    stats_.longestRequest = std::max(stats_.longestRequest, issued.outcome.elapsed);
    issued.where = context(request.op, request.lba, request.count, fault);
    const std::string& where = issued.where;

    if (host.violationCount() > violationsSeen_) {
        stats_.hostViolations += host.violationCount() - violationsSeen_;
        const auto& v = host.violations();
        finding("host violation after " + where + ": " + v[violationsSeen_]);
        violationsSeen_ = host.violationCount();
    }
    uint64_t dv = drive.violations().total();
    if (dv > driveViolationsSeen_) {
        stats_.driveViolations += dv - driveViolationsSeen_;
        if (!driveLost_ && !losesTheDrive(fault)) {
            stats_.unexplainedDriveViolations += dv - driveViolationsSeen_;
            finding("drive protocol violation: " + where);
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
        finding("hang: the host's time-out ended " + where);
    }

    Verdict verdict;
    verdict.good = res.completed && !res.hang && (res.srbStatus & 0x3F) == SRB_STATUS_SUCCESS &&
                   res.scsiStatus == SCSISTAT_GOOD;
    verdict.recovered = res.completed && res.scsiStatus == SCSISTAT_CHECK_CONDITION && res.senseValid &&
                        res.senseKey == 1;
    if (!verdict.good) {
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
            finding(text + where);
        }
        if (fault == SoakFault::None) {
            if (previousFaulted_ || changedBefore_) {
                ++stats_.followOnFailures;
            } else {
                ++stats_.cleanFailures;
                finding(std::string("clean request failed (") + key + "): " + where);
            }
        }
    }
    if ((verdict.good || verdict.recovered) && plan.mustFail) {
        ++stats_.mismatches;
        finding("reported success although it cannot have succeeded: " + where);
    }
    return verdict;
}

// Nothing past the buffer is touched; a read that claims its data brings
// the shadow's blocks; a write reported GOOD is in the image, a failed one
// is held as "old or new" until it can be settled; a write past the end
// leaves the blocks it reaches alone.
void Segment::checkData(const Request& request, const FaultPlan& plan, const Issued& issued, const Verdict& verdict)
{
    const Op op = request.op;
    const uint64_t lba = request.lba;
    const uint32_t count = request.count;
    const std::vector<uint8_t>& buffer = issued.buffer;
    const std::string& where = issued.where;
    Cartridge& cart = *issued.cartridge;
    const uint32_t cartId = cart.image->id();
    const uint32_t stamp = issued.stamp;
    const bool good = verdict.good;

    // Nothing may be written past the buffer.
    for (size_t i = issued.length; i < buffer.size(); ++i)
        if (buffer[i] != kPoison) {
            ++stats_.mismatches;
            finding("bytes written past the end of the buffer: " + where);
            break;
        }

    if (op == Op::Read && (good || verdict.recovered) && issued.inRange) {
        stats_.blocksMoved += count;
        for (uint32_t i = 0; i < count; ++i) {
            uint64_t b = lba + i;
            const uint8_t* got = buffer.data() + size_t(i) * kBlock;
            bool ok = blockIs(got, cartId, b, cart.stamps[b]);
            if (!ok) ok = mayHold(cart, b, got);
            if (!ok) {
                ++stats_.mismatches;
                finding("read returned wrong data in block " + std::to_string(b) + " (" + describeBlock(got) +
                        ", expected stamp " + std::to_string(cart.stamps[b]) + "): " + where);
                break;
            }
        }
    }
    if (op == Op::Write && issued.inRange) {
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
                            ": " + where);
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
            failedWrites_.push_back({&cart, lba, count, stamp, std::max(lba, plan.faultBlock), where});
        }
    }
    // A write past the end must not touch the blocks it does reach.
    if (op == Op::Write && !issued.inRange) {
        uint8_t data[kBlock];
        for (uint64_t b = lba; b < capacity_; ++b) {
            cart.image->readSector(b, data);
            if (!blockIs(data, cartId, b, cart.stamps[b]) &&
                !mayHold(cart, b, data)) {
                ++stats_.mismatches;
                finding("write past the end changed block " + std::to_string(b) + ": " + where);
                break;
            }
        }
    }
}

// Once a later request has gone through, a failed write's drive command is
// over for certain: what it left is settled. Then what the next request
// must know of this one.
void Segment::settleAfter(const Request& request, const FaultPlan& plan, const Issued& issued, const Verdict& verdict)
{
    if (verdict.good && !failedWrites_.empty() &&
        !(request.op == Op::Write && failedWrites_.back().stamp == issued.stamp))
        settleFailedWrites();

    driveLost_ = !verdict.good && (driveLost_ || losesTheDrive(plan.fault));
    previousFaulted_ = plan.fault != SoakFault::None;
    changedBefore_ = plan.fault == SoakFault::MediumChanged || plan.fault == SoakFault::MediumRemoved;
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

}  // namespace soak
}  // namespace sim
