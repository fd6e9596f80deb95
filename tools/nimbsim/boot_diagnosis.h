// Why a boot found no adapter, told from what the simulated hardware saw,
// so that the tool can tell a missing or dead cable apart from an adapter
// that answered but was refused for the transfer modes the user forced.
#ifndef TOOLS_NIMBSIM_BOOT_DIAGNOSIS_H
#define TOOLS_NIMBSIM_BOOT_DIAGNOSIS_H

#include <optional>
#include <string>
#include <vector>

#include "sim/machine/simulated_pc.h"

namespace nimbsim {

struct ModePair {
    unsigned read = 2;
    unsigned write = 2;
};

// The transfer modes an argument string forces with its /r and /w switches,
// read as the driver reads them (case-insensitive, anywhere in the text, the
// last one standing; a read mode above 10 or a write mode above 3 is
// ignored; either EPP mode brings its partner along). None when no switch
// forces a mode.
std::optional<ModePair> forcedModes(const std::string& arguments);

struct NoAdapterDiagnosis {
    bool answered = false;  // the adapter on the cable woke and answered the driver
    uint16_t port = 0;      // where it is attached
    std::optional<ModePair> forced;
    // Modes that pass when forced one at a time on a fresh machine of the
    // same build (read modes with write mode 2, write modes with read mode 2,
    // EPP as its pair 10/3).
    std::vector<unsigned> workingReadModes;
    std::vector<unsigned> workingWriteModes;
};

// Looks at the machine whose boot found no adapter. When the adapter
// answered and the modes were forced, tries each mode on fresh machines
// built from the same configuration (in memory, no trace).
NoAdapterDiagnosis diagnoseNoAdapter(sim::SimulatedPc& pc);

// The lines the tool prints for it on standard error.
std::string describeNoAdapter(const NoAdapterDiagnosis& diagnosis,
                              const std::vector<uint16_t>& portsTried);

}  // namespace nimbsim

#endif  // TOOLS_NIMBSIM_BOOT_DIAGNOSIS_H
