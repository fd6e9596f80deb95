// Request intake and completion on the whole simulated PC: refused SRB
// functions and CDB lengths, missing units, the direction table, the
// completion status table, requests that wait for the drive, and a bus
// reset in the middle of such a wait.
#include <gtest/gtest.h>

#include "link/link.h"
#include "miniport/parameters.h"
#include "miniport/request.h"
#include "scsi/dispatch.h"
#include "sim/ata/ata_drive.h"
#include "sim/host/disk_client.h"
#include "sim/wire/nimb_adapter.h"
#include "support/miniport_pc.h"

using miniport_test::makePc;
using sim::DataDirection;
using sim::HostEventKind;

namespace {

// On the EPP machine the negotiation takes read mode 10 and write mode 3
// without a trial; after a request the driver leaves read mode * 16 + write
// mode on the port's data lines.
constexpr uint8_t kEppModeByte = 0xA3;

class Requests : public ::testing::Test {
protected:
    void SetUp() override { boot(); }
    void boot(sim::ScsiPortHostConfig* tweak = nullptr)
    {
        pc_ = makePc();
        if (tweak) pc_->host().config().missingUnits = tweak->missingUnits;
        ASSERT_TRUE(pc_->boot().adapterFound);
    }
    void TearDown() override
    {
        EXPECT_EQ(pc_->host().violationCount(), 0u) << pc_->host().violationText();
        EXPECT_EQ(pc_->drive().violations().total(), 0u);
    }
    size_t completionsOf(const SCSI_REQUEST_BLOCK* srb)
    {
        size_t n = 0;
        for (const auto& e : pc_->host().events(HostEventKind::RequestComplete)) n += e.srb == srb;
        return n;
    }
    // Writes a pattern, then hands a cold 64-block read of it to HwStartIo.
    void startColdRead()
    {
        pattern_.resize(64 * 512);
        for (size_t i = 0; i < pattern_.size(); ++i) pattern_[i] = (uint8_t)(i ^ (i >> 9));
        ASSERT_TRUE(pc_->disk().write10(1000, 64, pattern_.data(), 64 * 512).good());
        ASSERT_TRUE(pc_->disk().verify10(9000, 1).good());  // move the heads away
        data_.assign(64 * 512, 0);
        srb_ = miniport_test::transferSrb(0x28, 1000, 64, data_.data());
        pc_->host().start(&srb_);
        pc_->host().pumpOnce();
        ASSERT_TRUE(AdapterFlags[0] & WAIT_FOR_DRIVE) << "the cold read did not wait";
    }

    std::unique_ptr<sim::SimulatedPc> pc_;
    std::vector<uint8_t> pattern_, data_;
    SCSI_REQUEST_BLOCK srb_{};
};

TEST_F(Requests, RefusedBeforeAnyPortAccess)
{
    for (uint8_t f : {SRB_FUNCTION_CLAIM_DEVICE, SRB_FUNCTION_IO_CONTROL, SRB_FUNCTION_SHUTDOWN,
                      SRB_FUNCTION_FLUSH, SRB_FUNCTION_TERMINATE_IO}) {
        uint64_t before = pc_->bus().accessCount();
        EXPECT_EQ(pc_->host().sendFunction(f, 0, 0).srbStatus, SRB_STATUS_INVALID_REQUEST) << int(f);
        EXPECT_EQ(pc_->bus().accessCount(), before);
    }
    EXPECT_EQ(pc_->host().sendFunction(SRB_FUNCTION_ABORT_COMMAND, 0, 0).srbStatus, SRB_STATUS_ABORT_FAILED);
    sim::ExecuteResult reset = pc_->host().sendFunction(SRB_FUNCTION_RESET_DEVICE, 0, 0);
    EXPECT_TRUE(reset.completed);
    EXPECT_EQ(pc_->host().count(HostEventKind::PortCompleteRequest), 1u);
    EXPECT_EQ(pc_->host().count(HostEventKind::ResetDetected), 1u);  // at load only: a device reset reports none

    // The CDB is copied into the unit's record, followed by its sense area.
    pc_->disk().testUnitReady();
    UnitExtension* unit = reinterpret_cast<UnitExtension*>(pc_->host().unitExtension({0, 0, 0}));
    ASSERT_NE(unit, nullptr);
    for (unsigned length : {0u, 17u, 43u, 255u}) {
        SCSI_REQUEST_BLOCK srb = miniport_test::transferSrb(0x28, 0, 1, data_.data());
        srb.CdbLength = (UCHAR)length;
        uint64_t before = pc_->bus().accessCount();
        pc_->host().start(&srb);
        pc_->host().runUntilComplete(&srb, sim::kSecond);
        EXPECT_EQ(srb.SrbStatus, SRB_STATUS_INVALID_REQUEST) << length;
        EXPECT_EQ(pc_->bus().accessCount(), before);
        AdapterExtension* owner = unit->Adapter;  // packed field: copy before comparing
        EXPECT_EQ(owner, reinterpret_cast<AdapterExtension*>(pc_->host().adapter().deviceExtension.get()));
    }
    EXPECT_TRUE(pc_->host().readyForNext());
}

TEST_F(Requests, UnitsThatCannotBeServed)
{
    sim::ScsiPortHostConfig config;
    config.missingUnits = {sim::UnitAddress{0, 2, 0}};
    boot(&config);
    uint8_t data[36];
    uint64_t before = pc_->bus().accessCount();
    EXPECT_EQ(pc_->host().execute(2, 0, {0x12, 0, 0, 0, 36, 0}, DataDirection::In, data, 36).srbStatus,
              SRB_STATUS_SELECTION_TIMEOUT);  // no extension: refused untouched
    EXPECT_EQ(pc_->bus().accessCount(), before);
    for (auto unit : {std::make_pair(1, 0), std::make_pair(0, 1)})
        EXPECT_EQ(pc_->host().execute(unit.first, unit.second, {0x00, 0, 0, 0, 0, 0}, DataDirection::None,
                                      nullptr, 0).srbStatus,
                  SRB_STATUS_SELECTION_TIMEOUT);
    pc_->adapter().disconnect();  // the port cannot be taken
    EXPECT_EQ(pc_->host().execute(0, 0, {0x00, 0, 0, 0, 0, 0}, DataDirection::None, nullptr, 0).srbStatus,
              SRB_STATUS_SELECTION_TIMEOUT);
    EXPECT_EQ(pc_->dataLatch(), kEppModeByte);
}

TEST_F(Requests, DirectionComesFromTheOpcode)
{
    const std::tuple<uint8_t, DataDirection, uint8_t> cases[] = {
        {0x2A, DataDirection::In, UNIT_DIR_OUT},          {0x1A, DataDirection::Out, UNIT_DIR_IN},
        {0x00, DataDirection::In, UNIT_DIR_NONE},         {0x11, DataDirection::In, UNIT_DIR_NONE},
        {0x2E, DataDirection::None, UNIT_DIR_OUT},        {0x5A, DataDirection::Unspecified, UNIT_DIR_UNKNOWN},
        {0x5A, DataDirection::In, UNIT_DIR_IN},           {0x5A, DataDirection::None, UNIT_DIR_NONE}};
    uint8_t data[512] = {};
    for (const auto& c : cases) {
        pc_->host().execute(0, 0, {std::get<0>(c), 0, 0, 0, 0, 0, 0, 0, 0, 0}, std::get<1>(c), data, 0);
        auto* unit = reinterpret_cast<UnitExtension*>(pc_->host().unitExtension({0, 0, 0}));
        EXPECT_EQ(unit->Flags, std::get<2>(c)) << int(std::get<0>(c));
    }
}

// Completion by the unit's status fields alone, with no port driver bound.
TEST(Completion, StatusTable)
{
    const std::tuple<uint8_t, uint8_t, uint8_t> cases[] = {
        {0x00, 0x00, SRB_STATUS_SUCCESS},          {0x11, 0x02, SRB_STATUS_SELECTION_TIMEOUT},
        {0x12, 0x00, SRB_STATUS_DATA_OVERRUN},     {0x13, 0x00, SRB_STATUS_UNEXPECTED_BUS_FREE},
        {0x14, 0x00, SRB_STATUS_PHASE_SEQUENCE_FAILURE}, {0x80, 0x00, SRB_STATUS_PHASE_SEQUENCE_FAILURE},
        {0x42, 0x08, SRB_STATUS_ERROR},            {0x00, 0x08, SRB_STATUS_BUSY},
        {0x00, 0x02, SRB_STATUS_ERROR},            {0x00, 0x18, SRB_STATUS_ERROR}};
    sim::bindPlatformHost(nullptr);
    for (const auto& c : cases) {
        DriverImageReset();
        AdapterExtension adapter{};
        UnitExtension unit{};
        SCSI_REQUEST_BLOCK srb{};
        adapter.CurrentSrb = unit.Srb = &srb;
        unit.Adapter = &adapter;
        AdapterFlags[0] = REQUEST_ACTIVE | WAIT_FOR_DRIVE;
        unit.HostStatus = std::get<0>(c);
        unit.TargetStatus = std::get<1>(c);
        CompleteUnitRequest(&unit);
        EXPECT_EQ(srb.SrbStatus, std::get<2>(c)) << int(std::get<0>(c)) << "/" << int(std::get<1>(c));
        EXPECT_EQ(srb.ScsiStatus, std::get<1>(c));
        EXPECT_EQ(unit.Status, std::get<2>(c) == SRB_STATUS_SUCCESS ? 1 : 4);
        SCSI_REQUEST_BLOCK* current = adapter.CurrentSrb;  // packed field: copy before comparing
        EXPECT_EQ(current, nullptr);
        EXPECT_EQ(AdapterFlags[0], WAIT_FOR_DRIVE);

        // A second completion of the same unit hands nothing back and keeps the status.
        unit.Status = UNIT_STATUS_PENDING;
        unit.HostStatus = 0x13;
        CompleteUnitRequest(&unit);
        EXPECT_EQ(srb.SrbStatus, std::get<2>(c));
    }
}

TEST(Completion, PendingSrbIsForcedToErrorAndLogged)
{
    auto pc = makePc();
    ASSERT_TRUE(pc->boot().adapterFound);
    auto* adapter = reinterpret_cast<AdapterExtension*>(pc->host().adapter().deviceExtension.get());
    SCSI_REQUEST_BLOCK srb{};
    adapter->CurrentSrb = &srb;
    CompleteCurrentRequest(adapter);
    EXPECT_EQ(srb.SrbStatus, SRB_STATUS_ERROR);
    ASSERT_EQ(pc->host().errors().size(), 1u);
    EXPECT_EQ(pc->host().errors()[0].errorCode, (uint32_t)SP_INTERNAL_ADAPTER_ERROR);
    EXPECT_EQ(pc->host().errors()[0].uniqueId, 5u);
}

TEST_F(Requests, WaitingRequestHasNoStatusUntilItEnds)
{
    uint8_t lastKey = LastSenseKey;
    startColdRead();
    EXPECT_EQ(srb_.SrbStatus, SRB_STATUS_PENDING);
    EXPECT_FALSE(pc_->host().readyForNext());
    EXPECT_EQ(LastSenseKey, lastKey);  // waiting is not failing
    ASSERT_FALSE(pc_->host().runUntilComplete(&srb_, 5 * sim::kSecond).hang);
    EXPECT_EQ(srb_.SrbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(data_, pattern_);
    pc_->host().run(sim::kSecond);
    EXPECT_EQ(completionsOf(&srb_), 1u);
    EXPECT_TRUE(pc_->host().readyForNext());
    EXPECT_EQ(LinkState.Acquired, 0);
}

TEST_F(Requests, TimerAloneFinishesTheWait)
{
    pc_->host().config().interruptLine = [] { return false; };
    startColdRead();
    ASSERT_FALSE(pc_->host().runUntilComplete(&srb_, 5 * sim::kSecond).hang);
    EXPECT_EQ(data_, pattern_);
    EXPECT_GE(pc_->host().count(HostEventKind::TimerFired), 1u);
    EXPECT_EQ(pc_->dataLatch(), kEppModeByte);
}

// Under /d the driver leaves its mode pair on the data lines once a request
// that waited for the drive is completed. With no timer (/dt) nothing else
// writes it there after the wait, so the completion alone must; without /d
// the lines keep what the port's release left on them.
TEST_F(Requests, EchoedModePairAfterADeferredRequest)
{
    for (const char* arguments : {"/dt /d", "/dt"}) {
        SCOPED_TRACE(arguments);
        pc_ = miniport_test::makePc("fixed", 0x378, std::string(arguments));
        ASSERT_TRUE(pc_->boot().adapterFound);
        startColdRead();
        pc_->bus().clearRecording();
        pc_->bus().startRecording();
        ASSERT_FALSE(pc_->host().runUntilComplete(&srb_, 5 * sim::kSecond).hang);
        pc_->bus().stopRecording();
        EXPECT_EQ(data_, pattern_);
        EXPECT_EQ(pc_->host().count(HostEventKind::TimerFired), 0u);
        ASSERT_FALSE(pc_->bus().recorded().empty());
        const sim::IoAccess last = pc_->bus().recorded().back();
        bool echoed = last.write && last.port == 0x378 && last.value == kEppModeByte;
        EXPECT_EQ(echoed, std::string(arguments) == "/dt /d") << sim::formatAccess(last);
    }
}

// The reset completes the waiting request once and gives the port back;
// the drive's late interrupt finds nothing to resume.
TEST_F(Requests, BusResetDuringTheWait)
{
    startColdRead();
    EXPECT_TRUE(pc_->host().resetBus(0));
    EXPECT_EQ(srb_.SrbStatus, SRB_STATUS_BUS_RESET);
    EXPECT_EQ(LinkState.Acquired, 0);
    EXPECT_EQ(LinkState.InterruptWait, 0);
    EXPECT_EQ(AdapterFlags[0], 0);
    size_t interrupts = pc_->host().count(HostEventKind::Interrupt);
    pc_->host().runFor(sim::kSecond);  // the drive ends its seek and raises its interrupt
    EXPECT_EQ(completionsOf(&srb_), 1u);
    EXPECT_EQ(pc_->host().count(HostEventKind::Interrupt), interrupts);  // the port's interrupt is off

    std::vector<uint8_t> other(64 * 512, 0x5C), again(64 * 512);
    ASSERT_TRUE(pc_->disk().write10(3000, 64, other.data(), 64 * 512).good());
    ASSERT_TRUE(pc_->disk().read10(3000, 64, again.data(), 64 * 512).good());
    EXPECT_EQ(again, other);
}

}  // namespace
