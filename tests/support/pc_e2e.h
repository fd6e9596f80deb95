// Helpers for the machine-level acceptance tests: a simulated PC booted
// with the driver, data patterns, and the check that nothing on the machine
// saw a protocol violation.
#ifndef TESTS_SUPPORT_PC_E2E_H
#define TESTS_SUPPORT_PC_E2E_H

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "seam/nimb_driver.h"
#include "sim/ata/ata_drive.h"
#include "sim/ata/disk_image.h"
#include "sim/host/disk_client.h"
#include "sim/host/scsi_port_host.h"
#include "sim/machine/simulated_pc.h"
#include "sim/wire/nimb_adapter.h"

namespace e2e {

// The machine built but not booted (to prepare the image first).
inline std::unique_ptr<sim::SimulatedPc> makePc(const std::string& host, const std::string& drive = "fixed",
                                                uint16_t port = 0x378, const std::string& arguments = "",
                                                sim::ChipFault fault = sim::ChipFault::None)
{
    sim::PcConfig config;
    config.driver = seam::nimbDriver();
    config.host = host;
    config.drive = drive;
    config.adapterPort = port;
    if (!arguments.empty()) config.arguments = arguments;
    config.chipFault = fault;
    return std::make_unique<sim::SimulatedPc>(config);
}

inline std::unique_ptr<sim::SimulatedPc> bootPc(const std::string& host, const std::string& drive = "fixed",
                                                uint16_t port = 0x378, const std::string& arguments = "",
                                                sim::ChipFault fault = sim::ChipFault::None)
{
    auto pc = makePc(host, drive, port, arguments, fault);
    pc->boot();
    return pc;
}

// Blocks whose every byte depends on the block number and a seed, so a
// block landing at the wrong address or a stale one is caught.
inline std::vector<uint8_t> blocks(uint32_t lba, uint32_t count, uint8_t seed)
{
    std::vector<uint8_t> data(size_t(count) * 512);
    for (size_t i = 0; i < data.size(); ++i) {
        uint32_t block = lba + uint32_t(i / 512);
        data[i] = uint8_t(block * 13 + (block >> 8) * 7 + (i % 512) * 3 + seed);
    }
    return data;
}

// The drive's log lines about writes it was not ready for, one a line.
inline std::string driveWriteViolations(sim::SimulatedPc& pc)
{
    std::string text;
    for (const std::string& e : pc.drive().eventLog())
        if (e.find("during the data phase") != std::string::npos || e.find("while busy") != std::string::npos ||
            e.find("before DRDY") != std::string::npos)
            text += e + "\n";
    return text;
}

// The drive's event log, one entry a line.
inline std::string driveEvents(sim::SimulatedPc& pc)
{
    std::string text;
    for (const std::string& e : pc.drive().eventLog()) text += e + "\n";
    return text;
}

// The host, the adapter, the drive and every host chip model saw only
// sequences they accept.
inline void expectNoViolations(sim::SimulatedPc& pc)
{
    EXPECT_TRUE(pc.host().violations().empty()) << pc.host().violationText();
    EXPECT_EQ(pc.adapter().violationCount(), 0u) << pc.adapter().lastViolation();
    EXPECT_EQ(pc.drive().violations().total(), 0u) << driveWriteViolations(pc);
    for (sim::ChipModel* chip : pc.hostChips())
        EXPECT_EQ(chip->violations(), 0u) << chip->name() << ": " << chip->lastViolation();
}

// The mode byte (read mode * 16 + write mode) the driver writes to the
// data lines after starting a request; read after an INQUIRY, which ends
// at once (a deferred request ends with whatever its last port access left).
inline uint8_t modeByte(sim::SimulatedPc& pc)
{
    EXPECT_TRUE(pc.disk().inquiry().result.good());
    return pc.dataLatch();
}

// Writes blocks through the disk client, checks the image, reads them back.
inline void expectRoundTrip(sim::SimulatedPc& pc, uint32_t lba, uint32_t count, uint8_t seed)
{
    std::vector<uint8_t> data = blocks(lba, count, seed), back;
    sim::CommandResult w = pc.disk().write(lba, data);
    ASSERT_TRUE(w.good()) << "write sense " << int(w.senseKey);
    EXPECT_EQ(pc.image().read(lba, count), data);
    sim::CommandResult r = pc.disk().read(lba, count, back);
    ASSERT_TRUE(r.good()) << "read sense " << int(r.senseKey);
    EXPECT_EQ(back, data);
}

}  // namespace e2e

#endif  // TESTS_SUPPORT_PC_E2E_H
