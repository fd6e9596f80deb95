// Command-line options of nimbsim.
#ifndef TOOLS_NIMBSIM_CLI_OPTIONS_H
#define TOOLS_NIMBSIM_CLI_OPTIONS_H

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "sim/machine/simulated_pc.h"

namespace nimbsim {

// A usage error: the tool prints the message and the usage text, exit 2.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct Options {
    sim::PcConfig pc;
    bool sizeGiven = false;
    bool json = false;
    bool quiet = false;
    bool help = false;  // --help: the usage text on standard output, nothing run
    std::string driverPath;  // --driver FILE: a driver image instead of the built-in driver
    bool trapPortIo = false;  // --trap-io
    std::string command;
    std::vector<std::string> arguments;  // the command's own arguments
    std::optional<uint32_t> scsiIn;      // scsi --in N
    std::string scsiData;                // scsi --data FILE
    uint64_t soakRequests = 1000;        // soak --requests N
    uint64_t soakSeed = 1;               // soak --seed S
    std::optional<std::string> listen;   // serve --listen ADDR:PORT
};

Options parseOptions(int argc, char** argv);
std::string usageText();

uint64_t parseSize(const std::string& text);     // N[K|M|G]
uint64_t parseNumber(const std::string& text);   // decimal or 0x hex
uint16_t parsePort(const std::string& text);     // 0x378, 0x3BC or 0x278

}  // namespace nimbsim

#endif  // TOOLS_NIMBSIM_CLI_OPTIONS_H
