// What nimbsim prints about the machine and the disk it found.
#ifndef TOOLS_NIMBSIM_REPORT_H
#define TOOLS_NIMBSIM_REPORT_H

#include <cstdint>
#include <ostream>
#include <string>

#include "sim/host/disk_client.h"
#include "sim/machine/simulated_pc.h"

namespace nimbsim {

struct DiskFacts {
    uint16_t port = 0;
    std::string hostKind;
    unsigned driverPortKind = 0;
    bool driverPortKindKnown = false;  // the driver's records could be read
    unsigned readMode = 0;
    unsigned writeMode = 0;
    std::string model;
    uint64_t blocks = 0;
    uint32_t blockSize = 512;
    unsigned cylinders = 0;
    unsigned heads = 0;
    unsigned sectorsPerTrack = 0;
    bool removable = false;
    bool writeProtected = false;
    bool mediumPresent = true;
};

DiskFacts collectFacts(sim::SimulatedPc& pc, const sim::DiskInfo& info);
void printRegistration(std::ostream& out, sim::SimulatedPc& pc);
// What the port-driver host caught the driver doing wrong (misuse of the
// host, a calling-convention break), one "nimbsim: host violation:" line
// each; nothing when there was none.
void printHostViolations(std::ostream& out, sim::SimulatedPc& pc);
void printFacts(std::ostream& out, const DiskFacts& facts);
void printFactsJson(std::ostream& out, const DiskFacts& facts);

const char* readModeName(unsigned mode);
const char* writeModeName(unsigned mode);
const char* senseKeyName(uint8_t key);
const char* srbStatusName(uint8_t status);
std::string describeFailure(const sim::CommandResult& result);
std::string jsonString(const std::string& text);

}  // namespace nimbsim

#endif  // TOOLS_NIMBSIM_REPORT_H
