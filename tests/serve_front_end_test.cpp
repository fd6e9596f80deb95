// The SCSI front end a network initiator talks to: on a booted machine,
// commands longer than the adapter takes arrive in the image whole and in
// pieces it accepts, the commands a disk of this period lacks are answered
// with the bytes today's initiators expect, the driver's own refusals and
// sense reach the initiator, lengths never run past what the initiator
// gave or asked for, and resets leave the disk usable.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "support/pc_e2e.h"
#include "tools/serve/scsi_front_end.h"

namespace {

constexpr uint32_t kBlocks = 131040;  // the "fixed" preset: 130 x 16 x 63
constexpr uint32_t kMaximumTransfer = 65536;  // the driver's default

struct Piece {
    std::vector<uint8_t> cdb;
    uint32_t length;
};

uint32_t be32(const std::vector<uint8_t>& b, size_t at)
{
    return uint32_t(b[at]) << 24 | uint32_t(b[at + 1]) << 16 | uint32_t(b[at + 2]) << 8 | b[at + 3];
}

class ServeFrontEnd : public ::testing::Test {
protected:
    void SetUp() override { boot(""); }
    void TearDown() override { e2e::expectNoViolations(*pc_); }

    void boot(const std::string& arguments)
    {
        pc_ = e2e::makePc("epp", "fixed", 0x378, arguments);
        // Known contents where the tests read, written before the driver
        // was loaded.
        pc_->image().write(0, 600, e2e::blocks(0, 600, 7).data());
        pc_->image().write(70000, 600, e2e::blocks(70000, 600, 9).data());
        pc_->image().write(kBlocks - 300, 300, e2e::blocks(kBlocks - 300, 300, 11).data());
        pc_->boot();
        ASSERT_TRUE(pc_->report().adapterFound);
        front_ = std::make_unique<serve::ScsiFrontEnd>(*pc_);
        // The first commands after start-up may report the power-on unit
        // attention; tests begin with the disk settled.
        for (int i = 0; i < 3; ++i)
            if (front_->execute({0x00, 0, 0, 0, 0, 0}, {}, 0).status == serve::kStatusGood) break;
        pc_->host().clearEvents();
    }

    // The execute-SCSI requests the driver was handed, in order, REQUEST
    // SENSE left out.
    std::vector<Piece> pieces() const
    {
        std::vector<Piece> list;
        for (const sim::HostEvent& e : pc_->host().events(sim::HostEventKind::StartIo)) {
            if (e.srb->Function != SRB_FUNCTION_EXECUTE_SCSI || e.srb->Cdb[0] == 0x03) continue;
            list.push_back({std::vector<uint8_t>(e.srb->Cdb, e.srb->Cdb + e.srb->CdbLength),
                            e.srb->DataTransferLength});
        }
        return list;
    }

    static std::vector<uint8_t> cdb10(uint8_t op, uint32_t lba, uint16_t blocks)
    {
        return {op, 0, uint8_t(lba >> 24), uint8_t(lba >> 16), uint8_t(lba >> 8), uint8_t(lba),
                0, uint8_t(blocks >> 8), uint8_t(blocks), 0};
    }

    std::unique_ptr<sim::SimulatedPc> pc_;
    std::unique_ptr<serve::ScsiFrontEnd> front_;
};

TEST_F(ServeFrontEnd, ReadLongerThanTheAdapterTakesReturnsTheImageBytes)
{
    ASSERT_EQ(pc_->host().maximumTransferLength(), kMaximumTransfer);
    serve::ScsiOutcome out = front_->execute(cdb10(0x28, 100, 256), {}, 256 * 512);
    ASSERT_EQ(out.status, serve::kStatusGood);
    EXPECT_FALSE(out.transportFailure);
    EXPECT_TRUE(out.sense.empty());
    EXPECT_EQ(out.dataIn, pc_->image().read(100, 256));

    std::vector<Piece> list = pieces();
    ASSERT_EQ(list.size(), 2u);
    uint32_t next = 100;
    for (const Piece& p : list) {
        ASSERT_EQ(p.cdb.size(), 10u);
        EXPECT_EQ(p.cdb[0], 0x28);
        EXPECT_EQ(be32(p.cdb, 2), next);
        uint32_t n = uint32_t(p.cdb[7]) << 8 | p.cdb[8];
        EXPECT_EQ(p.length, n * 512);
        EXPECT_LE(p.length, kMaximumTransfer);
        next += n;
    }
    EXPECT_EQ(next, 356u);
}

TEST_F(ServeFrontEnd, LargeWriteLandsInTheImageInPiecesTheAdapterTakes)
{
    std::mt19937 random(1234);
    std::vector<uint8_t> data(300 * 512);
    for (uint8_t& b : data) b = uint8_t(random());
    serve::ScsiOutcome out = front_->execute(cdb10(0x2A, 2000, 300), data, 0);
    ASSERT_EQ(out.status, serve::kStatusGood);
    EXPECT_EQ(out.dataOutUsed, data.size());
    EXPECT_TRUE(out.dataIn.empty());
    EXPECT_EQ(pc_->image().read(2000, 300), data);

    std::vector<Piece> list = pieces();
    ASSERT_EQ(list.size(), 3u);
    uint32_t next = 2000;
    for (const Piece& p : list) {
        EXPECT_EQ(p.cdb[0], 0x2A);
        EXPECT_EQ(be32(p.cdb, 2), next);
        uint32_t n = uint32_t(p.cdb[7]) << 8 | p.cdb[8];
        EXPECT_EQ(p.length, n * 512);
        EXPECT_LE(p.length, kMaximumTransfer);
        next += n;
    }
    EXPECT_EQ(next, 2300u);
}

TEST_F(ServeFrontEnd, ReadSixOfLengthZeroIsTwoHundredFiftySixBlocksInReadSixPieces)
{
    // LBA 70000 = 0x011170; byte 1 carries the LBA's top bits.
    serve::ScsiOutcome out = front_->execute({0x08, 0x01, 0x11, 0x70, 0x00, 0x00}, {}, 256 * 512);
    ASSERT_EQ(out.status, serve::kStatusGood);
    EXPECT_EQ(out.dataIn, pc_->image().read(70000, 256));

    std::vector<Piece> list = pieces();
    ASSERT_EQ(list.size(), 2u);
    uint32_t next = 70000;
    for (const Piece& p : list) {
        ASSERT_EQ(p.cdb.size(), 6u);
        EXPECT_EQ(p.cdb[0], 0x08);
        uint32_t lba = uint32_t(p.cdb[1] & 0x1F) << 16 | uint32_t(p.cdb[2]) << 8 | p.cdb[3];
        EXPECT_EQ(lba, next);
        ASSERT_NE(p.cdb[4], 0) << "a piece of 256 blocks";
        EXPECT_EQ(p.length, p.cdb[4] * 512u);
        EXPECT_LE(p.length, kMaximumTransfer);
        next += p.cdb[4];
    }
    EXPECT_EQ(next, 70256u);
}

TEST_F(ServeFrontEnd, WriteSixKeepsItsOpcodeAndLandsWhereItsAddressSays)
{
    std::vector<uint8_t> data = e2e::blocks(70100, 200, 42);
    serve::ScsiOutcome out = front_->execute({0x0A, 0x01, 0x11, 0xD4, 200, 0x00}, data, 0);
    ASSERT_EQ(out.status, serve::kStatusGood);
    EXPECT_EQ(out.dataOutUsed, data.size());
    EXPECT_EQ(pc_->image().read(70100, 200), data);
    for (const Piece& p : pieces()) EXPECT_EQ(p.cdb[0], 0x0A);
}

TEST_F(ServeFrontEnd, VerifyIsSplitLikeAReadAndMovesNoData)
{
    serve::ScsiOutcome out = front_->execute(cdb10(0x2F, 100, 300), {}, 0);
    ASSERT_EQ(out.status, serve::kStatusGood);
    EXPECT_TRUE(out.dataIn.empty());
    std::vector<Piece> list = pieces();
    ASSERT_EQ(list.size(), 3u);
    uint32_t next = 100;
    for (const Piece& p : list) {
        EXPECT_EQ(p.cdb[0], 0x2F);
        EXPECT_EQ(be32(p.cdb, 2), next);
        uint32_t n = uint32_t(p.cdb[7]) << 8 | p.cdb[8];
        EXPECT_GT(n, 0u);
        EXPECT_LE(n * 512, kMaximumTransfer);
        next += n;
    }
    EXPECT_EQ(next, 400u);
}

TEST_F(ServeFrontEnd, ZeroLengthTransfersAreGoodAndReachNoDrive)
{
    // READ(10), WRITE(10) and VERIFY(10) of no blocks move nothing; a
    // driver that counts the length in one byte would take 0 as 256.
    uint64_t writes = pc_->image().writeCount();
    EXPECT_EQ(front_->execute(cdb10(0x28, 0, 0), {}, 0).status, serve::kStatusGood);
    EXPECT_EQ(front_->execute(cdb10(0x2A, 0, 0), {}, 0).status, serve::kStatusGood);
    EXPECT_EQ(front_->execute(cdb10(0x2F, 0, 0), {}, 0).status, serve::kStatusGood);
    EXPECT_EQ(pc_->image().writeCount(), writes);
    EXPECT_TRUE(pieces().empty());
}

TEST_F(ServeFrontEnd, PiecesStayWithinAOneByteCountWhenTheAdapterTakesMore)
{
    // size=200 raises MaximumTransferLength past the default; the pieces
    // follow it and still fit the one-byte count the driver reads.
    boot("size=200");
    const uint32_t maximum = pc_->host().maximumTransferLength();
    ASSERT_GT(maximum, kMaximumTransfer);
    serve::ScsiOutcome out = front_->execute(cdb10(0x28, 0, 600), {}, 600 * 512);
    ASSERT_EQ(out.status, serve::kStatusGood);
    EXPECT_EQ(out.dataIn, pc_->image().read(0, 600));
    std::vector<Piece> list = pieces();
    EXPECT_LT(list.size(), 5u);
    for (const Piece& p : list) {
        uint32_t n = uint32_t(p.cdb[7]) << 8 | p.cdb[8];
        EXPECT_LT(n, 256u);
        EXPECT_LE(n * 512, maximum);
    }
}

TEST_F(ServeFrontEnd, ReadCapacitySixteenAnswersFromTheDriversCapacity)
{
    std::vector<uint8_t> cdb(16, 0);
    cdb[0] = 0x9E;
    cdb[1] = 0x10;
    cdb[13] = 32;
    serve::ScsiOutcome out = front_->execute(cdb, {}, 32);
    ASSERT_EQ(out.status, serve::kStatusGood);
    std::vector<uint8_t> expected(32, 0);
    // Last LBA 131039 = 0x1FFDF, 512-byte blocks.
    expected[5] = 0x01;
    expected[6] = 0xFF;
    expected[7] = 0xDF;
    expected[10] = 0x02;
    EXPECT_EQ(out.dataIn, expected);

    cdb[13] = 12;  // allocation length
    out = front_->execute(cdb, {}, 32);
    ASSERT_EQ(out.status, serve::kStatusGood);
    EXPECT_EQ(out.dataIn, std::vector<uint8_t>(expected.begin(), expected.begin() + 12));

    cdb[13] = 32;
    out = front_->execute(cdb, {}, 8);  // the initiator expects less
    EXPECT_EQ(out.dataIn, std::vector<uint8_t>(expected.begin(), expected.begin() + 8));
}

TEST_F(ServeFrontEnd, ReportLunsListsLunZero)
{
    std::vector<uint8_t> cdb(12, 0);
    cdb[0] = 0xA0;
    cdb[9] = 16;
    serve::ScsiOutcome out = front_->execute(cdb, {}, 16);
    ASSERT_EQ(out.status, serve::kStatusGood);
    EXPECT_EQ(out.dataIn, (std::vector<uint8_t>{0, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));

    cdb[8] = 1;  // 256 + 16: a larger allocation gets the same 16 bytes
    out = front_->execute(cdb, {}, 272);
    EXPECT_EQ(out.dataIn.size(), 16u);

    cdb[8] = 0;
    cdb[9] = 4;
    out = front_->execute(cdb, {}, 16);
    ASSERT_EQ(out.status, serve::kStatusGood);
    EXPECT_EQ(out.dataIn, (std::vector<uint8_t>{0, 0, 0, 8}));
}

TEST_F(ServeFrontEnd, SynchronizeCacheIsGood)
{
    serve::ScsiOutcome out = front_->execute(cdb10(0x35, 0, 0), {}, 0);
    EXPECT_EQ(out.status, serve::kStatusGood);
    EXPECT_TRUE(out.sense.empty());
    std::vector<uint8_t> cdb16(16, 0);
    cdb16[0] = 0x91;
    out = front_->execute(cdb16, {}, 0);
    EXPECT_EQ(out.status, serve::kStatusGood);
    EXPECT_TRUE(out.sense.empty());
}

TEST_F(ServeFrontEnd, InquiryForAVitalProductDataPageIsAnInvalidField)
{
    serve::ScsiOutcome out = front_->execute({0x12, 0x01, 0x80, 0x00, 0xFF, 0x00}, {}, 255);
    ASSERT_EQ(out.status, serve::kStatusCheckCondition);
    EXPECT_FALSE(out.transportFailure);
    EXPECT_TRUE(out.dataIn.empty());
    ASSERT_EQ(out.sense.size(), 18u);
    EXPECT_EQ(out.sense[0], 0x70);
    EXPECT_EQ(out.sense[2], 0x05);
    EXPECT_EQ(out.sense[7], 10);
    EXPECT_EQ(out.sense[12], 0x24);
    EXPECT_EQ(out.sense[13], 0x00);
}

TEST_F(ServeFrontEnd, TheListOfVitalProductDataPagesNamesOnlyItself)
{
    serve::ScsiOutcome out = front_->execute({0x12, 0x01, 0x00, 0x00, 0xFF, 0x00}, {}, 255);
    ASSERT_EQ(out.status, serve::kStatusGood);
    EXPECT_EQ(out.dataIn, (std::vector<uint8_t>{0x00, 0x00, 0x00, 0x01, 0x00}));
    // Cut to the allocation length.
    out = front_->execute({0x12, 0x01, 0x00, 0x00, 0x03, 0x00}, {}, 255);
    EXPECT_EQ(out.dataIn, (std::vector<uint8_t>{0x00, 0x00, 0x00}));
}

TEST_F(ServeFrontEnd, StandardInquiryIsTheDriversAnswer)
{
    serve::ScsiOutcome out = front_->execute({0x12, 0x00, 0x00, 0x00, 36, 0x00}, {}, 36);
    ASSERT_EQ(out.status, serve::kStatusGood);
    ASSERT_EQ(out.dataIn.size(), 36u);
    EXPECT_EQ(out.dataIn[0] & 0x1F, 0x00);  // direct-access device
    EXPECT_EQ(out.dataIn, pc_->disk().inquiry(36).data);

    out = front_->execute({0x12, 0x00, 0x00, 0x00, 36, 0x00}, {}, 5);
    ASSERT_EQ(out.status, serve::kStatusGood);
    EXPECT_EQ(out.dataIn.size(), 5u);
}

TEST_F(ServeFrontEnd, CommandsTheDriverDoesNotServeGetItsRefusal)
{
    std::vector<uint8_t> otherAction(16, 0);
    otherAction[0] = 0x9E;
    otherAction[1] = 0x11;
    otherAction[13] = 32;
    std::vector<uint8_t> reportOpcodes(12, 0);
    reportOpcodes[0] = 0xA3;
    reportOpcodes[1] = 0x0C;
    reportOpcodes[9] = 0xFF;
    for (const std::vector<uint8_t>& cdb : {otherAction, reportOpcodes}) {
        pc_->host().clearEvents();
        serve::ScsiOutcome out = front_->execute(cdb, {}, 32);
        ASSERT_EQ(out.status, serve::kStatusCheckCondition) << int(cdb[0]);
        EXPECT_FALSE(out.transportFailure);
        ASSERT_EQ(out.sense.size(), 18u);
        EXPECT_EQ(out.sense[0], 0x70);
        EXPECT_EQ(out.sense[2], 0x05);
        // The driver itself was asked, and its REQUEST SENSE answered.
        std::vector<Piece> list = pieces();
        ASSERT_EQ(list.size(), 1u);
        EXPECT_EQ(list[0].cdb, cdb);
        std::vector<uint8_t> again;
        ASSERT_TRUE(pc_->disk().requestSense(again).good());
        EXPECT_EQ(out.sense, again);
    }
}

TEST_F(ServeFrontEnd, ReadPastTheEndEndsWithTheDriversSense)
{
    serve::ScsiOutcome out = front_->execute(cdb10(0x28, kBlocks - 1, 2), {}, 1024);
    ASSERT_EQ(out.status, serve::kStatusCheckCondition);
    EXPECT_FALSE(out.transportFailure);
    ASSERT_EQ(out.sense.size(), 18u);
    EXPECT_EQ(out.sense[0], 0x70);
    EXPECT_NE(out.sense[2] & 0x0F, 0);

    // A split read whose second piece runs off the end fails too.
    out = front_->execute(cdb10(0x28, kBlocks - 200, 256), {}, 256 * 512);
    ASSERT_EQ(out.status, serve::kStatusCheckCondition);
    EXPECT_NE(out.sense.at(2) & 0x0F, 0);
    EXPECT_EQ(pieces().size(), 3u);  // the one above, then two pieces

    // The last blocks themselves read.
    out = front_->execute(cdb10(0x28, kBlocks - 200, 200), {}, 200 * 512);
    ASSERT_EQ(out.status, serve::kStatusGood);
    EXPECT_EQ(out.dataIn, pc_->image().read(kBlocks - 200, 200));
}

TEST_F(ServeFrontEnd, NoMoreDataInThanTheInitiatorExpects)
{
    serve::ScsiOutcome out = front_->execute(cdb10(0x28, 10, 16), {}, 1000);
    ASSERT_EQ(out.status, serve::kStatusGood);
    std::vector<uint8_t> image = pc_->image().read(10, 16);
    EXPECT_EQ(out.dataIn, std::vector<uint8_t>(image.begin(), image.begin() + 1000));

    out = front_->execute(cdb10(0x28, 10, 16), {}, 0);
    ASSERT_EQ(out.status, serve::kStatusGood);
    EXPECT_TRUE(out.dataIn.empty());

    // The initiator's own REQUEST SENSE with a short allocation.
    out = front_->execute({0x03, 0, 0, 0, 4, 0}, {}, 4);
    ASSERT_EQ(out.status, serve::kStatusGood);
    EXPECT_EQ(out.dataIn.size(), 4u);
    EXPECT_EQ(out.dataIn[0], 0x70);
}

TEST_F(ServeFrontEnd, WriteWritesNoMoreThanTheDataGiven)
{
    std::vector<uint8_t> before = pc_->image().read(300, 4);
    std::vector<uint8_t> data = e2e::blocks(300, 2, 77);
    serve::ScsiOutcome out = front_->execute(cdb10(0x2A, 300, 4), data, 0);
    ASSERT_EQ(out.status, serve::kStatusGood);
    EXPECT_EQ(out.dataOutUsed, 1024u);
    std::vector<uint8_t> after = pc_->image().read(300, 4);
    EXPECT_EQ(std::vector<uint8_t>(after.begin(), after.begin() + 1024), data);
    EXPECT_EQ(std::vector<uint8_t>(after.begin() + 1024, after.end()),
              std::vector<uint8_t>(before.begin() + 1024, before.end()));

    // More data than the command moves: only the command's blocks.
    std::vector<uint8_t> more = e2e::blocks(310, 3, 78);
    before = pc_->image().read(310, 3);
    out = front_->execute(cdb10(0x2A, 310, 2), more, 0);
    ASSERT_EQ(out.status, serve::kStatusGood);
    EXPECT_EQ(out.dataOutUsed, 1024u);
    after = pc_->image().read(310, 3);
    EXPECT_EQ(std::vector<uint8_t>(after.begin(), after.begin() + 1024),
              std::vector<uint8_t>(more.begin(), more.begin() + 1024));
    EXPECT_EQ(std::vector<uint8_t>(after.begin() + 1024, after.end()),
              std::vector<uint8_t>(before.begin() + 1024, before.end()));
}

TEST_F(ServeFrontEnd, ACommandThatTimesOutIsATransportFailure)
{
    // A read that waits for the drive does not finish in a microsecond:
    // the host resets the bus as the port driver would.
    pc_->disk().setTimeout(sim::kMicrosecond);
    serve::ScsiOutcome out = front_->execute(cdb10(0x28, 0, 64), {}, 64 * 512);
    pc_->disk().setTimeout(60 * sim::kSecond);
    EXPECT_TRUE(out.transportFailure);
    ASSERT_EQ(out.status, serve::kStatusCheckCondition);
    ASSERT_EQ(out.sense.size(), 18u);
    EXPECT_EQ(out.sense[0], 0x70);
    EXPECT_EQ(out.sense[2], 0x0B);  // ABORTED COMMAND: the initiator may retry
    EXPECT_TRUE(out.dataIn.empty());

    // The disk is usable again.
    for (int i = 0; i < 3; ++i) {
        out = front_->execute(cdb10(0x28, 0, 64), {}, 64 * 512);
        if (out.status == serve::kStatusGood) break;
    }
    ASSERT_EQ(out.status, serve::kStatusGood);
    EXPECT_EQ(out.dataIn, pc_->image().read(0, 64));
}

TEST_F(ServeFrontEnd, ResetsLeaveTheDiskUsable)
{
    for (serve::TaskFunction f : {serve::TaskFunction::AbortTask, serve::TaskFunction::LunReset,
                                  serve::TaskFunction::TargetWarmReset}) {
        pc_->host().clearEvents();
        EXPECT_TRUE(front_->taskManagement(f)) << int(f);
        if (f == serve::TaskFunction::LunReset) {
            std::vector<sim::HostEvent> started = pc_->host().events(sim::HostEventKind::StartIo);
            ASSERT_EQ(started.size(), 1u);
            EXPECT_EQ(started[0].srb->Function, SRB_FUNCTION_RESET_DEVICE);
        }
        if (f == serve::TaskFunction::TargetWarmReset)
            EXPECT_EQ(pc_->host().count(sim::HostEventKind::ResetBus), 1u);
        serve::ScsiOutcome out;
        for (int i = 0; i < 2; ++i) {
            out = front_->execute(cdb10(0x28, 70000, 200), {}, 200 * 512);
            if (out.status == serve::kStatusGood) break;
            // At most one unit attention before the disk serves again.
            ASSERT_EQ(out.status, serve::kStatusCheckCondition);
            EXPECT_EQ(out.sense.at(2), 0x06);
        }
        ASSERT_EQ(out.status, serve::kStatusGood) << int(f);
        EXPECT_EQ(out.dataIn, pc_->image().read(70000, 200));
    }
}

}  // namespace
