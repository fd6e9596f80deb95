// The link's host services as the stand-in port driver sees them: timer
// requests (and the switch that turns them off), next-request
// notifications, deferring a command until the drive interrupts, and the
// current-unit table.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "link/link.h"
#include "miniport/parameters.h"
#include "miniport/request.h"
#include "sim/bus/io_bus.h"
#include "sim/host/scsi_port_host.h"

namespace {

ULONG NTAPI FindOne(PVOID, PVOID, PVOID, PCHAR, PPORT_CONFIGURATION_INFORMATION, PBOOLEAN again)
{
    *again = FALSE;
    return SP_RETURN_FOUND;
}
BOOLEAN NTAPI Initialize(PVOID) { return TRUE; }
BOOLEAN NTAPI StartIo(PVOID, PSCSI_REQUEST_BLOCK) { return TRUE; }
BOOLEAN NTAPI Interrupt(PVOID) { return FALSE; }
BOOLEAN NTAPI ResetBus(PVOID, ULONG) { return TRUE; }

ULONG context = 0;

ULONG NTAPI Entry(PVOID object, PVOID path)
{
    HW_INITIALIZATION_DATA data;
    std::memset(&data, 0, sizeof data);
    data.HwInitializationDataSize = sizeof data;
    data.AdapterInterfaceType = Isa;
    data.HwInitialize = Initialize;
    data.HwStartIo = StartIo;
    data.HwInterrupt = Interrupt;
    data.HwFindAdapter = FindOne;
    data.HwResetBus = ResetBus;
    data.DeviceExtensionSize = sizeof(AdapterExtension);
    data.SpecificLuExtensionSize = sizeof(UnitExtension);
    data.NumberOfAccessRanges = 1;
    return ScsiPortInitialize(object, path, &data, &context);
}

int continuationCalls = 0;
uint32_t Continuation(void)
{
    ++continuationCalls;
    return LINK_OK;
}

class HostServices : public ::testing::Test {
protected:
    void SetUp() override
    {
        DriverImageReset();
        host = std::make_unique<sim::ScsiPortHost>(bus);
        sim::bindPlatformHost(host.get());
        ASSERT_EQ(host->boot(Entry), sim::kStatusSuccess);
        ASSERT_EQ(host->adapterCount(), 1u);
        std::memset(&unit, 0, sizeof unit);
        unit.Adapter = reinterpret_cast<AdapterExtension*>(host->adapter().deviceExtension.get());
        SetCurrentUnit(&unit);
        host->clearEvents();
        continuationCalls = 0;
    }
    void TearDown() override
    {
        sim::bindPlatformHost(nullptr);
        sim::bindPlatformBus(nullptr);
        EXPECT_EQ(host->violationCount(), 0u) << host->violationText();
    }

    sim::Clock clock;
    sim::IoBus bus{clock};
    std::unique_ptr<sim::ScsiPortHost> host;
    UnitExtension unit;
};

TEST_F(HostServices, CurrentUnitIsKeptPerAdapter)
{
    EXPECT_EQ(GetCurrentUnit(0), &unit);
    UnitExtension other;
    std::memset(&other, 0, sizeof other);
    other.AdapterNumber = 1;
    SetCurrentUnit(&other);
    EXPECT_EQ(GetCurrentUnit(0), &unit);
    EXPECT_EQ(GetCurrentUnit(1), &other);
}

TEST_F(HostServices, TimerRequestNamesTheTimerRoutine)
{
    RequestTimer(&unit, 10000);
    auto timers = host->events(sim::HostEventKind::RequestTimerCall);
    ASSERT_EQ(timers.size(), 1u);
    EXPECT_EQ(timers[0].routine, reinterpret_cast<void*>(&TimerRoutine));
    EXPECT_EQ(timers[0].value, 10000u);
}

TEST_F(HostServices, NoTimerSwitchSuppressesTimerRequests)
{
    DriverParameters.NoTimer = 1;
    RequestTimer(&unit, 10000);
    DeferUntilInterrupt(Continuation);
    EXPECT_EQ(host->count(sim::HostEventKind::RequestTimerCall), 0u);
    EXPECT_EQ(continuationCalls, 1);
}

TEST_F(HostServices, DeferRunsTheContinuationAndPollsEveryTenMilliseconds)
{
    DeferUntilInterrupt(Continuation);
    EXPECT_EQ(continuationCalls, 1);
    EXPECT_EQ(unit.Adapter->TimerWait, 1);
    EXPECT_TRUE(AdapterFlags[0] & WAIT_FOR_DRIVE);
    auto timers = host->events(sim::HostEventKind::RequestTimerCall);
    ASSERT_EQ(timers.size(), 1u);
    EXPECT_EQ(timers[0].value, 10000u);

    AdapterFlags[0] = 0;
    DeferUntilInterrupt(nullptr);
    EXPECT_EQ(unit.Adapter->TimerWait, 0);
    EXPECT_EQ(AdapterFlags[0], 0);
    EXPECT_EQ(host->count(sim::HostEventKind::RequestTimerCall), 1u);
}

TEST_F(HostServices, ReadyForNextRequestNotifies)
{
    ReadyForNextRequest(&unit);
    EXPECT_EQ(host->count(sim::HostEventKind::NextRequest), 1u);
}

}  // namespace
