#include "tools/nimbsim/report.h"

#include <cstdio>
#include <sstream>

#include "sim/host/scsi_port_host.h"

namespace nimbsim {
namespace {

struct ModeName {
    const char* symbol;
    const char* description;
};

const ModeName kReadModes[] = {
    {"RM_NIBBLE_FAST", "nibble, fast"},   {"RM_NIBBLE", "nibble"},
    {"RM_NIBBLE_SLOW", "nibble, slow"},   {"RM_53_FAST", "five-plus-three, fast"},
    {"RM_53", "five-plus-three"},         {"RM_53_SLOW", "five-plus-three, slow"},
    {"RM_BYTE7_FAST", "byte-wide, control bit 7, fast"},
    {"RM_BYTE7_SLOW", "byte-wide, control bit 7, slow"},
    {"RM_BIDIR_FAST", "bidirectional byte, fast"},
    {"RM_BIDIR_SLOW", "bidirectional byte, slow"},
    {"RM_EPP8", "EPP, 8-bit"},            {"RM_EPP32", "EPP, 32-bit"},
};

const ModeName kWriteModes[] = {
    {"WM_BYTE_FAST", "byte strobe, fast"}, {"WM_BYTE", "byte strobe"},
    {"WM_BYTE_SLOW", "byte strobe, slow"}, {"WM_EPP8", "EPP, 8-bit"},
    {"WM_EPP32", "EPP, 32-bit"},
};

const char* const kPortKinds[] = {"plain port", "enhanced port", "enhanced port gated by the chipset",
                                  "enhanced port with hardware EPP"};

unsigned be16(const std::vector<uint8_t>& b, size_t i)
{
    return i + 1 < b.size() ? (unsigned(b[i]) << 8) | b[i + 1] : 0;
}

}  // namespace

const char* readModeName(unsigned mode)
{
    return mode < 12 ? kReadModes[mode].symbol : "unknown";
}

const char* writeModeName(unsigned mode)
{
    return mode < 5 ? kWriteModes[mode].symbol : "unknown";
}

const char* senseKeyName(uint8_t key)
{
    static const char* const names[] = {
        "NO SENSE",        "RECOVERED ERROR", "NOT READY",      "MEDIUM ERROR",
        "HARDWARE ERROR",  "ILLEGAL REQUEST", "UNIT ATTENTION", "DATA PROTECT",
        "BLANK CHECK",     "VENDOR SPECIFIC", "COPY ABORTED",   "ABORTED COMMAND",
        "EQUAL",           "VOLUME OVERFLOW", "MISCOMPARE",     "RESERVED",
    };
    return names[key & 0x0F];
}

const char* srbStatusName(uint8_t status)
{
    switch (status & 0x3F) {
    case SRB_STATUS_PENDING: return "PENDING";
    case SRB_STATUS_SUCCESS: return "SUCCESS";
    case SRB_STATUS_ABORTED: return "ABORTED";
    case SRB_STATUS_ABORT_FAILED: return "ABORT_FAILED";
    case SRB_STATUS_ERROR: return "ERROR";
    case SRB_STATUS_BUSY: return "BUSY";
    case SRB_STATUS_INVALID_REQUEST: return "INVALID_REQUEST";
    case SRB_STATUS_SELECTION_TIMEOUT: return "SELECTION_TIMEOUT";
    case SRB_STATUS_TIMEOUT: return "TIMEOUT";
    case SRB_STATUS_BUS_RESET: return "BUS_RESET";
    case SRB_STATUS_DATA_OVERRUN: return "DATA_OVERRUN";
    case SRB_STATUS_UNEXPECTED_BUS_FREE: return "UNEXPECTED_BUS_FREE";
    case SRB_STATUS_PHASE_SEQUENCE_FAILURE: return "PHASE_SEQUENCE_FAILURE";
    default: return "OTHER";
    }
}

std::string describeFailure(const sim::CommandResult& r)
{
    char text[160];
    if (r.hang) return "the request never completed (the port driver reset the bus)";
    if (r.checkCondition() && r.senseValid) {
        std::snprintf(text, sizeof text,
                      "CHECK CONDITION, sense key 0x%02X %s (ASC 0x%02X, ASCQ 0x%02X)", r.senseKey,
                      senseKeyName(r.senseKey), r.asc, r.ascq);
        return text;
    }
    std::snprintf(text, sizeof text, "SRB status 0x%02X %s, SCSI status 0x%02X", r.srbStatus,
                  srbStatusName(r.srbStatus), r.scsiStatus);
    return text;
}

DiskFacts collectFacts(sim::SimulatedPc& pc, const sim::DiskInfo& info)
{
    DiskFacts f;
    f.port = pc.report().port;
    f.hostKind = pc.config().host;
    const sim::DriverImage& driver = pc.config().driver;
    if (driver.hostPortKind) {
        f.driverPortKind = driver.hostPortKind();
        f.driverPortKindKnown = true;
    }
    uint8_t modes = pc.dataLatch();
    f.readMode = modes >> 4;
    f.writeMode = modes & 0x0F;
    f.model = info.inquiry.vendorProduct;
    f.removable = info.inquiry.removable;
    if (info.capacity.result.good()) {
        f.blocks = info.capacity.blocks();
        f.blockSize = info.capacity.blockLength;
    } else {
        f.mediumPresent = false;
    }
    const std::vector<uint8_t>& rigid = info.rigid.page;
    if (info.rigid.pagePresent && rigid.size() >= 6) {
        f.cylinders = (unsigned(rigid[2]) << 16) | (unsigned(rigid[3]) << 8) | rigid[4];
        f.heads = rigid[5];
    }
    if (info.geometry.pagePresent) f.sectorsPerTrack = be16(info.geometry.page, 10);
    f.writeProtected = info.writeProtected;
    return f;
}

void printRegistration(std::ostream& out, sim::SimulatedPc& pc)
{
    const sim::BootReport& boot = pc.report();
    char text[160];
    for (size_t i = 0; i < boot.registrationStatus.size(); ++i) {
        std::snprintf(text, sizeof text, "registration %zu  %-13s status 0x%08X %s\n", i + 1,
                      boot.registrationBus[i].c_str(), boot.registrationStatus[i],
                      boot.registrationStatus[i] == 0 ? "(adapter found)" : "(nothing found)");
        out << text;
    }
    std::snprintf(text, sizeof text, "driver entry    status 0x%08X\n", boot.driverStatus);
    out << text;
}

void printHostViolations(std::ostream& out, sim::SimulatedPc& pc)
{
    for (const std::string& v : pc.host().violations()) out << "nimbsim: host violation: " << v << "\n";
}

void printFacts(std::ostream& out, const DiskFacts& f)
{
    char text[200];
    std::snprintf(text, sizeof text, "port            0x%03X\n", f.port);
    out << text;
    out << "host port       " << f.hostKind;
    if (f.driverPortKindKnown)
        out << " (driver port kind " << f.driverPortKind << ": "
            << kPortKinds[f.driverPortKind < 4 ? f.driverPortKind : 0] << ")";
    out << "\n";
    std::snprintf(text, sizeof text, "read mode       %u %s (%s)\n", f.readMode,
                  readModeName(f.readMode), f.readMode < 12 ? kReadModes[f.readMode].description : "?");
    out << text;
    std::snprintf(text, sizeof text, "write mode      %u %s (%s)\n", f.writeMode,
                  writeModeName(f.writeMode),
                  f.writeMode < 5 ? kWriteModes[f.writeMode].description : "?");
    out << text;
    out << "drive model     \"" << f.model << "\"\n";
    if (f.mediumPresent) {
        std::snprintf(text, sizeof text, "capacity        %llu blocks of %u bytes (%.1f MiB)\n",
                      static_cast<unsigned long long>(f.blocks), f.blockSize,
                      static_cast<double>(f.blocks) * f.blockSize / (1024.0 * 1024.0));
        out << text;
        std::snprintf(text, sizeof text,
                      "geometry        %u cylinders, %u heads, %u sectors per track\n",
                      f.cylinders, f.heads, f.sectorsPerTrack);
        out << text;
    } else {
        out << "capacity        no medium\n";
    }
    out << "removable       " << (f.removable ? "yes" : "no") << "\n";
    if (f.writeProtected) out << "write protected yes\n";
}

std::string jsonString(const std::string& text)
{
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7F) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

void printFactsJson(std::ostream& out, const DiskFacts& f)
{
    char port[16];
    std::snprintf(port, sizeof port, "0x%03X", f.port);
    out << "{\"port\": " << jsonString(port) << ", \"hostKind\": " << jsonString(f.hostKind)
        << ", \"readMode\": " << f.readMode << ", \"readModeName\": "
        << jsonString(readModeName(f.readMode)) << ", \"writeMode\": " << f.writeMode
        << ", \"writeModeName\": " << jsonString(writeModeName(f.writeMode))
        << ", \"model\": " << jsonString(f.model) << ", \"blocks\": " << f.blocks
        << ", \"blockSize\": " << f.blockSize << ", \"cylinders\": " << f.cylinders
        << ", \"heads\": " << f.heads << ", \"sectorsPerTrack\": " << f.sectorsPerTrack
        << ", \"removable\": " << (f.removable ? "true" : "false") << "}\n";
}

}  // namespace nimbsim
