// Small helpers for the miniport and SCSI tests on the whole simulated PC.
#ifndef TESTS_SUPPORT_MINIPORT_PC_H
#define TESTS_SUPPORT_MINIPORT_PC_H

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "seam/nimb_driver.h"
#include "sim/host/scsi_port_host.h"
#include "sim/machine/simulated_pc.h"

namespace miniport_test {

inline std::unique_ptr<sim::SimulatedPc> makePc(const std::string& drive = "fixed", uint16_t port = 0x378,
                                                std::optional<std::string> arguments = std::nullopt)
{
    sim::PcConfig config;
    config.driver = seam::nimbDriver();
    config.drive = drive;
    config.adapterPort = port;
    config.arguments = arguments;
    config.imageBytes = 8ull << 20;
    return std::make_unique<sim::SimulatedPc>(config);
}

// A data buffer with guard bytes after it, to catch writes past a length.
struct Guarded {
    static constexpr uint8_t kGuard = 0xA5;
    explicit Guarded(size_t length) : bytes(length + 16, kGuard) {}
    uint8_t* data() { return bytes.data(); }
    uint8_t operator[](size_t i) const { return bytes[i]; }
    bool untouchedFrom(size_t from) const
    {
        for (size_t i = from; i < bytes.size(); ++i)
            if (bytes[i] != kGuard) return false;
        return true;
    }
    std::vector<uint8_t> bytes;
};

// A READ(10) or WRITE(10) request block for the caller to start and keep.
inline SCSI_REQUEST_BLOCK transferSrb(uint8_t opcode, uint32_t block, uint8_t count, void* data)
{
    SCSI_REQUEST_BLOCK srb{};
    srb.Length = sizeof srb;
    srb.Function = SRB_FUNCTION_EXECUTE_SCSI;
    srb.CdbLength = 10;
    srb.Cdb[0] = opcode;
    srb.Cdb[2] = (uint8_t)(block >> 24), srb.Cdb[3] = (uint8_t)(block >> 16);
    srb.Cdb[4] = (uint8_t)(block >> 8), srb.Cdb[5] = (uint8_t)block;
    srb.Cdb[8] = count;
    srb.SrbFlags = (opcode == 0x2A ? SRB_FLAGS_DATA_OUT : SRB_FLAGS_DATA_IN) | SRB_FLAGS_DISABLE_AUTOSENSE;
    srb.DataBuffer = data;
    srb.DataTransferLength = count * 512u;
    srb.TimeOutValue = 10;
    return srb;
}

}  // namespace miniport_test

#endif  // TESTS_SUPPORT_MINIPORT_PC_H
