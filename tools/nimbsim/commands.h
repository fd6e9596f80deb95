// The commands of nimbsim, run on a booted simulated PC.
#ifndef TOOLS_NIMBSIM_COMMANDS_H
#define TOOLS_NIMBSIM_COMMANDS_H

#include <cstdint>
#include <string>
#include <vector>

#include "sim/host/disk_client.h"
#include "sim/machine/simulated_pc.h"
#include "tools/nimbsim/cli_options.h"
#include "tools/nimbsim/report.h"

namespace nimbsim {

class Session {
public:
    Session(sim::SimulatedPc& pc, const Options& options);
    // Runs the command; false when it failed (the reason is on stderr).
    bool execute();

private:
    bool findDisk();
    bool info();
    bool read();
    bool write();
    bool copyOut();
    bool copyIn();
    bool verify();
    bool eject();
    bool scsi();
    bool fail(const std::string& what, const sim::CommandResult& result);
    bool fail(const std::string& what);
    bool transfer(bool toDisk, uint32_t lba, uint64_t blocks, std::vector<uint8_t>& data,
                  const std::string& what, bool progress);

    sim::SimulatedPc& pc_;
    const Options& options_;
    sim::DiskClient& disk_;
    sim::DiskInfo info_;
};

std::vector<uint8_t> readFile(const std::string& path);
void writeFile(const std::string& path, const std::vector<uint8_t>& data);
std::vector<uint8_t> parseHex(const std::string& text);
std::string hexDump(const std::vector<uint8_t>& data);

}  // namespace nimbsim

#endif  // TOOLS_NIMBSIM_COMMANDS_H
