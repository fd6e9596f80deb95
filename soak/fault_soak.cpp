#include "soak/fault_soak.h"

#include <algorithm>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "sim/ata/drive_presets.h"
#include "sim/machine/host_kinds.h"
#include "soak/shadow_disk.h"
#include "soak/soak_segment.h"

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

using soak::Segment;
using soak::SegmentPlan;

// The mode pairs a machine of the kind can carry: nibble and
// five-plus-three reads everywhere, byte-wide reads by control bit 7 or
// bit 5 and EPP where its port has them.
std::vector<std::string> argumentChoices(const std::string& host)
{
    const HostKindInfo* kind = findHostKind(host);
    std::vector<std::string> list;
    for (int r = 0; r <= 5; ++r)
        for (int w = 0; w <= 2; ++w) list.push_back("/r" + std::to_string(r) + " /w" + std::to_string(w));
    if (kind && kind->bit7Reads)
        for (int r = 6; r <= 7; ++r)
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
    std::mt19937_64 rng(soak::mix(options_.seed));
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
