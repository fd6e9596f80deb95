// The ATA layer inside the whole driver on a simulated PC: a bus reset in
// the middle of a deferred read, then the drive used again.
#include <gtest/gtest.h>

#include <vector>

#include "seam/nimb_driver.h"
#include "sim/ata/ata_drive.h"
#include "sim/ata/disk_image.h"
#include "sim/host/scsi_port_host.h"
#include "sim/machine/simulated_pc.h"

namespace {

SCSI_REQUEST_BLOCK* readSrb(sim::ScsiPortHost& host, uint32_t block, uint16_t count, std::vector<uint8_t>& buf)
{
    buf.assign(size_t(count) * 512, 0xEE);
    SCSI_REQUEST_BLOCK* srb = host.makeSrb(SRB_FUNCTION_EXECUTE_SCSI);
    srb->CdbLength = 10;
    srb->Cdb[0] = 0x28;
    srb->Cdb[2] = uint8_t(block >> 24);
    srb->Cdb[3] = uint8_t(block >> 16);
    srb->Cdb[4] = uint8_t(block >> 8);
    srb->Cdb[5] = uint8_t(block);
    srb->Cdb[7] = uint8_t(count >> 8);
    srb->Cdb[8] = uint8_t(count);
    srb->SrbFlags = SRB_FLAGS_DATA_IN;
    srb->DataBuffer = buf.data();
    srb->DataTransferLength = uint32_t(buf.size());
    return srb;
}

TEST(AtaStack, BusResetDuringDeferredReadCompletesOnceAndDriveStaysUsable)
{
    for (const char* host : {"plain", "epp"}) {
        SCOPED_TRACE(host);
        sim::PcConfig config;
        config.driver = seam::nimbDriver();
        config.host = host;
        config.drive = "fixed";
        config.arguments = "/dm";
        sim::SimulatedPc pc(config);
        std::vector<uint8_t> sector(512);
        for (uint64_t lba = 0; lba < 400; ++lba) {
            for (unsigned i = 0; i < 512; ++i) sector[i] = uint8_t(lba + i * 3);
            pc.image().writeSector(lba, sector.data());
        }
        ASSERT_TRUE(pc.boot().adapterFound);
        sim::ScsiPortHost& h = pc.host();

        std::vector<uint8_t> buf;
        SCSI_REQUEST_BLOCK* srb = readSrb(h, 100, 120, buf);
        h.start(srb);
        h.runFor(3 * sim::kMillisecond);
        ASSERT_TRUE(h.isOutstanding(srb)) << "the read should still wait for the drive";
        h.resetBus();
        EXPECT_TRUE(h.isCompleted(srb));
        EXPECT_EQ(srb->SrbStatus, SRB_STATUS_BUS_RESET);
        std::vector<uint8_t> snapshot = buf;
        h.runFor(500 * sim::kMillisecond);
        EXPECT_EQ(buf, snapshot) << "nothing may reach a completed request's buffer";

        std::vector<uint8_t> again;
        SCSI_REQUEST_BLOCK* next = readSrb(h, 300, 40, again);
        h.start(next);
        h.runUntilComplete(next, 10 * sim::kSecond);
        ASSERT_TRUE(h.isCompleted(next));
        EXPECT_EQ(next->SrbStatus, SRB_STATUS_SUCCESS);
        std::vector<uint8_t> expect = pc.image().read(300, 40);
        EXPECT_EQ(again, expect);
        EXPECT_TRUE(h.violations().empty()) << h.violationText();
    }
}

}  // namespace
