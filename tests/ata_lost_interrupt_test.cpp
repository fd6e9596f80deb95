// A deferred read or write whose drive interrupt never arrives: the drive
// lost its INTRQ, or the adapter was unplugged and came back asleep. The
// 10 ms timer must not poll for ever: it looks at the drive's status, goes
// on when the drive is ready, and ends the request when it never is.
#include <gtest/gtest.h>

#include <vector>

#include "seam/nimb_driver.h"
#include "sim/ata/ata_drive.h"
#include "sim/ata/disk_image.h"
#include "sim/host/disk_client.h"
#include "sim/host/scsi_port_host.h"
#include "sim/machine/simulated_pc.h"
#include "sim/wire/nimb_adapter.h"

namespace {

struct LostInterruptRig {
    std::unique_ptr<sim::SimulatedPc> pc;
    explicit LostInterruptRig(const char* host, const char* arguments = "/dm")
    {
        sim::PcConfig config;
        config.driver = seam::nimbDriver();
        config.host = host;
        config.drive = "fixed";
        config.imageBytes = 32ull << 20;
        config.arguments = arguments;
        pc = std::make_unique<sim::SimulatedPc>(config);
        pc->boot();
        pc->disk().setTimeout(120 * sim::kSecond);
        pc->disk().readCapacity();
        for (uint32_t b = 0; b < 64; ++b) {
            std::vector<uint8_t> block(512, static_cast<uint8_t>(b + 1));
            pc->image().write(5000 + b, 1, block.data());
        }
    }
};

class LostInterrupt : public ::testing::TestWithParam<const char*> {};

TEST_P(LostInterrupt, ReadAndWriteStillFinishWithTheirData)
{
    LostInterruptRig rig(GetParam());
    rig.pc->drive().faults().suppressInterrupts = sim::kAlways;
    std::vector<uint8_t> data(32 * 512);
    sim::CommandResult r = rig.pc->disk().read10(5000, 32, data.data(), uint32_t(data.size()));
    ASSERT_FALSE(r.hang);
    ASSERT_TRUE(r.good()) << "SRB 0x" << std::hex << unsigned(r.srbStatus) << " key " << unsigned(r.senseKey);
    for (uint32_t b = 0; b < 32; ++b) EXPECT_EQ(data[b * 512 + 511], b + 1) << "block " << 5000 + b;

    std::vector<uint8_t> out(16 * 512, 0x6B);
    r = rig.pc->disk().write10(7000, 16, out.data(), uint32_t(out.size()));
    ASSERT_FALSE(r.hang);
    EXPECT_TRUE(r.good()) << "SRB 0x" << std::hex << unsigned(r.srbStatus) << " key " << unsigned(r.senseKey);
    EXPECT_EQ(rig.pc->image().read(7000, 16), out);
    EXPECT_EQ(rig.pc->drive().violations().total(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Hosts, LostInterrupt, ::testing::Values("plain", "epp"));

// Without the 10 ms timer the drive's interrupt is the only thing that
// resumes a waiting transfer. With one sector per interrupt on a slow port
// the drive raises its next interrupt while the driver is still moving the
// previous sector, so no fresh edge reaches the processor once the port is
// handed back for the wait: the transfer must still go on, and end with its
// own data, without the port driver having to reset the bus.
class NoTimerSingleSector : public ::testing::TestWithParam<const char*> {};

TEST_P(NoTimerSingleSector, ReadAndWriteFinishWithoutABusReset)
{
    LostInterruptRig rig(GetParam(), "/dt /dm");
    sim::ScsiPortHost& h = rig.pc->host();
    std::vector<uint8_t> data(8 * 512);
    sim::CommandResult r = rig.pc->disk().read10(5000, 8, data.data(), uint32_t(data.size()));
    ASSERT_FALSE(r.hang);
    ASSERT_TRUE(r.good()) << "SRB 0x" << std::hex << unsigned(r.srbStatus) << " key " << unsigned(r.senseKey);
    for (uint32_t b = 0; b < 8; ++b) EXPECT_EQ(data[b * 512 + 7], b + 1) << "block " << 5000 + b;

    std::vector<uint8_t> out(8 * 512);
    for (size_t i = 0; i < out.size(); ++i) out[i] = uint8_t(i * 7 + i / 512);
    r = rig.pc->disk().write10(7000, 8, out.data(), uint32_t(out.size()));
    ASSERT_FALSE(r.hang);
    EXPECT_TRUE(r.good()) << "SRB 0x" << std::hex << unsigned(r.srbStatus) << " key " << unsigned(r.senseKey);
    EXPECT_EQ(rig.pc->image().read(7000, 8), out);
    EXPECT_EQ(h.count(sim::HostEventKind::ResetBus), 0u) << "the port driver had to time a request out";
    EXPECT_EQ(h.count(sim::HostEventKind::RequestTimerCall), 0u) << "a timer was asked for under /dt";
    EXPECT_EQ(rig.pc->drive().violations().total(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Hosts, NoTimerSingleSector, ::testing::Values("plain", "ps2", "byte7", "epp", "smc"));

// A drive that never becomes ready again: the request ends NOT READY
// instead of waiting for the port driver's time-out, and the drive is left
// idle for the next command.
TEST(LostInterruptTimeout, StuckDriveEndsNotReadyAndRecovers)
{
    LostInterruptRig rig("plain");
    sim::AtaDrive& drive = rig.pc->drive();
    drive.faults().suppressInterrupts = sim::kAlways;
    drive.faults().stuckBusy = sim::StuckBusy::MidTransfer;
    drive.faults().stuckAfterBlocks = 0;
    std::vector<uint8_t> data(8 * 512);
    sim::CommandResult r = rig.pc->disk().read10(5000, 8, data.data(), uint32_t(data.size()));
    ASSERT_FALSE(r.hang);
    ASSERT_TRUE(r.completed);
    EXPECT_TRUE(r.checkCondition());
    EXPECT_EQ(r.senseKey, 2u);

    drive.faults() = sim::DriveFaults();
    r = rig.pc->disk().read10(5000, 8, data.data(), uint32_t(data.size()));
    ASSERT_TRUE(r.good()) << "SRB 0x" << std::hex << unsigned(r.srbStatus) << " key " << unsigned(r.senseKey);
    for (uint32_t b = 0; b < 8; ++b) EXPECT_EQ(data[b * 512], b + 1) << "block " << 5000 + b;
    EXPECT_EQ(drive.violations().commandWhileBusy, 0u);
}

// Starts a READ(10) of data.size() / 512 blocks from block 5000 into data,
// as the port driver hands it to the miniport, and returns it still open
// if the driver left it waiting for the drive.
SCSI_REQUEST_BLOCK* startRead5000(sim::ScsiPortHost& h, std::vector<uint8_t>& data)
{
    SCSI_REQUEST_BLOCK* srb = h.makeSrb(SRB_FUNCTION_EXECUTE_SCSI);
    srb->CdbLength = 10;
    srb->Cdb[0] = sim::scsiop::kRead10;
    srb->Cdb[4] = 5000 >> 8, srb->Cdb[5] = 5000 & 0xFF;
    srb->Cdb[8] = uint8_t(data.size() / 512);
    srb->SrbFlags = SRB_FLAGS_DATA_IN | SRB_FLAGS_DISABLE_AUTOSENSE;
    srb->DataBuffer = data.data();
    srb->DataTransferLength = uint32_t(data.size());
    srb->TimeOutValue = 120;
    h.start(srb);
    return srb;
}

// The adapter unplugged and plugged back while a read waits for the drive:
// it comes back asleep and forwards no interrupt. The read must end, and
// only with its own data if it claims any.
TEST(LostInterruptTimeout, AdapterBackAsleepDuringTheWait)
{
    for (const char* host : {"plain", "epp"}) {
        SCOPED_TRACE(host);
        LostInterruptRig rig(host);
        sim::ScsiPortHost& h = rig.pc->host();
        std::vector<uint8_t> data(24 * 512);
        SCSI_REQUEST_BLOCK* srb = startRead5000(h, data);
        ASSERT_FALSE(h.isCompleted(srb)) << "the read did not wait for the drive";
        rig.pc->adapter().disconnect();
        rig.pc->adapter().reconnect();
        ASSERT_FALSE(h.runUntilComplete(srb, 60 * sim::kSecond).hang);
        ASSERT_TRUE(h.isCompleted(srb));
        EXPECT_EQ(h.count(sim::HostEventKind::ResetBus), 0u) << "the port driver had to time it out";
        if (srb->SrbStatus == SRB_STATUS_SUCCESS)
            for (uint32_t b = 0; b < 24; ++b) EXPECT_EQ(data[b * 512], b + 1) << "block " << 5000 + b;
        // The disk reads again afterwards.
        std::vector<uint8_t> again(4 * 512);
        sim::CommandResult r = rig.pc->disk().read10(5000, 4, again.data(), uint32_t(again.size()));
        EXPECT_TRUE(r.good()) << "SRB 0x" << std::hex << unsigned(r.srbStatus) << " key " << unsigned(r.senseKey);
    }
}

// A bus reset while the adapter is unplugged cannot reach the drive: the
// reset and the drive's programming after it never get there. The driver
// must not take the silence for the drive refusing its block size: once the
// adapter is back, reads still move multiple sectors per interrupt.
TEST(LostInterruptTimeout, ResetWithoutTheAdapterKeepsMultipleMode)
{
    LostInterruptRig rig("epp", "");
    sim::ScsiPortHost& h = rig.pc->host();
    std::vector<uint8_t> data(32 * 512);
    SCSI_REQUEST_BLOCK* srb = startRead5000(h, data);
    ASSERT_FALSE(h.isCompleted(srb)) << "the read did not wait for the drive";
    rig.pc->adapter().disconnect();
    h.resetBus(0);
    rig.pc->adapter().reconnect();
    rig.pc->drive().clearLogs();
    std::vector<uint8_t> again(32 * 512);
    sim::CommandResult r = rig.pc->disk().read10(5000, 32, again.data(), uint32_t(again.size()));
    ASSERT_TRUE(r.good()) << "SRB 0x" << std::hex << unsigned(r.srbStatus) << " key " << unsigned(r.senseKey);
    for (uint32_t b = 0; b < 32; ++b) EXPECT_EQ(again[b * 512], b + 1) << "block " << 5000 + b;
    bool multiple = false, single = false;
    for (const sim::CommandRecord& c : rig.pc->drive().commandLog()) {
        multiple |= c.command == 0xC4;
        single |= c.command == 0x20;
    }
    EXPECT_TRUE(multiple);
    EXPECT_FALSE(single);
}

}  // namespace
