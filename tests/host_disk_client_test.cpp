// The disk client against a fake miniport that plays a tiny disk: the
// discovery sequence, REQUEST SENSE after CHECK CONDITION, and transfers
// split by the adapter's maximum transfer length.
#include <gtest/gtest.h>

#include <cstring>
#include <set>

#include "sim/bus/io_bus.h"
#include "sim/host/disk_client.h"
#include "sim/host/scsi_port_host.h"

namespace {

struct FakeDisk {
    uint32_t maxTransfer = 4096;
    uint8_t pendingKey = 6;  // a unit attention is waiting
    uint8_t lastKey = 0;
    std::vector<std::vector<uint8_t>> cdbs;
    std::vector<uint32_t> lengths;
    std::vector<uint8_t> blocks = std::vector<uint8_t>(64 * 512);
};
FakeDisk* gDisk = nullptr;

ULONG NTAPI DiskFind(PVOID, PVOID, PVOID, PCHAR, PPORT_CONFIGURATION_INFORMATION c, PBOOLEAN)
{
    c->MaximumTransferLength = gDisk->maxTransfer;
    return SP_RETURN_FOUND;
}
BOOLEAN NTAPI DiskInit(PVOID) { return TRUE; }
BOOLEAN NTAPI DiskReset(PVOID, ULONG) { return TRUE; }

void fail(PSCSI_REQUEST_BLOCK srb, uint8_t key)
{
    gDisk->lastKey = key;
    srb->SrbStatus = SRB_STATUS_ERROR;
    srb->ScsiStatus = SCSISTAT_CHECK_CONDITION;
}

BOOLEAN NTAPI DiskStartIo(PVOID ext, PSCSI_REQUEST_BLOCK srb)
{
    FakeDisk& d = *gDisk;
    auto* data = static_cast<uint8_t*>(srb->DataBuffer);
    const uint8_t* cdb = srb->Cdb;
    d.cdbs.emplace_back(cdb, cdb + srb->CdbLength);
    d.lengths.push_back(srb->DataTransferLength);
    srb->SrbStatus = SRB_STATUS_SUCCESS;
    srb->ScsiStatus = SCSISTAT_GOOD;
    uint32_t lba = (uint32_t(cdb[2]) << 24) | (cdb[3] << 16) | (cdb[4] << 8) | cdb[5];
    uint32_t count = (cdb[7] << 8) | cdb[8];
    switch (cdb[0]) {
    case 0x12: std::memcpy(data, "\x00\x80\x01\x00\x00\x00\x00\x00" "FAKE DISK", 17); break;
    case 0x00:
        if (d.pendingKey) fail(srb, d.pendingKey);
        d.pendingKey = 0;
        break;
    case 0x03:
        std::memset(data, 0, 18);
        data[0] = 0x70;
        data[2] = d.lastKey;
        data[7] = 0x0A;
        data[12] = d.lastKey == 6 ? 0x28 : 0x27;
        break;
    case 0x25: std::memcpy(data, "\x00\x00\x00\x3F\x00\x00\x02\x00", 8); break;
    case 0x1A:
        if (cdb[2] == 0x3F) fail(srb, 5);
        else {
            std::memset(data, 0, cdb[4]);
            data[0] = 0x23;
            data[2] = 0x80;
            data[3] = 8;
            if (cdb[4] >= 14) {
                data[12] = cdb[2];
                data[13] = 0x16;
            }
        }
        break;
    case 0x28: std::memcpy(data, &d.blocks[lba * 512], count * 512); break;
    case 0x2A: std::memcpy(&d.blocks[lba * 512], data, count * 512); break;
    default: fail(srb, 5); break;
    }
    ScsiPortNotification(RequestComplete, ext, srb);
    ScsiPortNotification(NextRequest, ext);
    return TRUE;
}

ULONG NTAPI DiskEntry(PVOID a, PVOID b)
{
    HW_INITIALIZATION_DATA data;
    std::memset(&data, 0, sizeof data);
    data.HwInitializationDataSize = sizeof data;
    data.AdapterInterfaceType = Isa;
    data.HwInitialize = DiskInit;
    data.HwStartIo = DiskStartIo;
    data.HwFindAdapter = DiskFind;
    data.HwResetBus = DiskReset;
    data.DeviceExtensionSize = 4;
    ULONG context = 0;
    return ScsiPortInitialize(a, b, &data, &context);
}

class DiskClientTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        gDisk = &disk;
        host.boot(DiskEntry);
    }
    void TearDown() override { gDisk = nullptr; }

    FakeDisk disk;
    sim::Clock clock;
    sim::IoBus bus{clock};
    sim::ScsiPortHost host{bus};
    sim::DiskClient client{host};
};

TEST_F(DiskClientTest, IdentifyAsksWhatAClassDriverAsks)
{
    sim::DiskInfo info = client.identify();
    EXPECT_TRUE(info.inquiry.result.good());
    EXPECT_TRUE(info.inquiry.removable);
    EXPECT_EQ(info.inquiry.vendorProduct, "FAKE DISK");
    EXPECT_TRUE(info.ready.good());  // retried after the unit attention
    EXPECT_EQ(info.capacity.blocks(), 64u);
    EXPECT_EQ(info.capacity.blockLength, 512u);
    EXPECT_TRUE(info.writeProtected);
    EXPECT_EQ(info.geometry.pageCode, 0x03);
    EXPECT_EQ(info.rigid.pageCode, 0x04);
    std::set<uint8_t> pages;
    for (const auto& cdb : disk.cdbs)
        if (cdb[0] == 0x1A) {
            pages.insert(cdb[2]);
            if (cdb[2] == 0) {
                EXPECT_EQ(cdb[4], 12);
            }
        }
    EXPECT_EQ(pages, (std::set<uint8_t>{0x00, 0x03, 0x04}));
    EXPECT_TRUE(host.violations().empty()) << host.violationText();
}

TEST_F(DiskClientTest, CheckConditionIsFollowedByRequestSense)
{
    sim::CommandResult r = client.testUnitReady();
    EXPECT_TRUE(r.checkCondition());
    EXPECT_FALSE(r.good());
    ASSERT_TRUE(r.senseValid);
    EXPECT_EQ(r.senseKey, 6);
    EXPECT_EQ(r.asc, 0x28);
    ASSERT_EQ(disk.cdbs.size(), 2u);
    EXPECT_EQ(disk.cdbs[1][0], 0x03);
    EXPECT_EQ(disk.lengths[1], 18u);
    sim::ModeSenseResult all = client.modeSense(0x3F);
    EXPECT_EQ(all.result.senseKey, 5);
}

TEST_F(DiskClientTest, TransfersAreSplitByTheMaximumTransferLength)
{
    std::vector<uint8_t> data(20 * 512);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + i / 512);
    EXPECT_TRUE(client.write(5, data).good());
    std::vector<uint8_t> back;
    EXPECT_TRUE(client.read(5, 20, back).good());
    EXPECT_EQ(back, data);
    // 4096 bytes a piece: 8 + 8 + 4 blocks, each way.
    std::vector<std::pair<uint32_t, uint32_t>> reads;
    for (size_t i = 0; i < disk.cdbs.size(); ++i)
        if (disk.cdbs[i][0] == 0x28)
            reads.emplace_back(disk.cdbs[i][5], disk.lengths[i]);
    EXPECT_EQ(reads, (std::vector<std::pair<uint32_t, uint32_t>>{{5, 4096}, {13, 4096}, {21, 2048}}));
    EXPECT_EQ(disk.cdbs.size(), 6u);
}

}  // namespace
