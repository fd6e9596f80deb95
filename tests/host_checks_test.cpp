// The stand-in port driver's own rules, exercised with small fake miniports:
// registration, argument buffers, the request queue, completion checks,
// timers, interrupt delivery and bus reset completion.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "sim/bus/io_bus.h"
#include "sim/host/scsi_port_host.h"

namespace {

using sim::HostEventKind;
using Config = PPORT_CONFIGURATION_INFORMATION;

// A fake miniport whose routines call the test's hooks.
struct FakeDriver {
    INTERFACE_TYPE bus = Isa;
    ULONG extensionSize = 17;
    ULONG unitSize = 122;
    ULONG initDataSize = sizeof(HW_INITIALIZATION_DATA);
    ULONG context = 0;
    int findCalls = 0;
    std::function<ULONG(PVOID, PCHAR, Config, PBOOLEAN)> find;
    std::function<BOOLEAN(PVOID, PSCSI_REQUEST_BLOCK)> startIo;
    std::function<BOOLEAN(PVOID)> interrupt;
    std::function<BOOLEAN(PVOID, ULONG)> resetBus;
};

FakeDriver* gFake = nullptr;

ULONG NTAPI FakeFind(PVOID ext, PVOID, PVOID, PCHAR args, Config config, PBOOLEAN again)
{
    ++gFake->findCalls;
    return gFake->find ? gFake->find(ext, args, config, again) : SP_RETURN_FOUND;
}
BOOLEAN NTAPI FakeInitialize(PVOID) { return TRUE; }
BOOLEAN NTAPI FakeStartIo(PVOID ext, PSCSI_REQUEST_BLOCK srb)
{
    return gFake->startIo ? gFake->startIo(ext, srb) : TRUE;
}
BOOLEAN NTAPI FakeInterrupt(PVOID ext) { return gFake->interrupt ? gFake->interrupt(ext) : FALSE; }
BOOLEAN NTAPI FakeResetBus(PVOID ext, ULONG path)
{
    return gFake->resetBus ? gFake->resetBus(ext, path) : TRUE;
}

ULONG NTAPI FakeEntry(PVOID object, PVOID path)
{
    HW_INITIALIZATION_DATA data;
    std::memset(&data, 0, sizeof data);
    data.HwInitializationDataSize = gFake->initDataSize;
    data.AdapterInterfaceType = gFake->bus;
    data.HwInitialize = FakeInitialize;
    data.HwStartIo = FakeStartIo;
    data.HwInterrupt = FakeInterrupt;
    data.HwFindAdapter = FakeFind;
    data.HwResetBus = FakeResetBus;
    data.DeviceExtensionSize = gFake->extensionSize;
    data.SpecificLuExtensionSize = gFake->unitSize;
    data.NumberOfAccessRanges = 1;
    gFake->context = 0;
    return ScsiPortInitialize(object, path, &data, &gFake->context);
}

int gTimerCalls = 0;
sim::Nanoseconds gTimerTime = 0;
sim::Clock* gClock = nullptr;
VOID NTAPI TimerA(PVOID) { ++gTimerCalls; gTimerTime = gClock->now(); }
VOID NTAPI TimerB(PVOID) { gTimerCalls += 100; gTimerTime = gClock->now(); }

class HostChecks : public ::testing::Test {
protected:
    void SetUp() override
    {
        gFake = &fake;
        gClock = &clock;
        gTimerCalls = 0;
        gTimerTime = 0;
    }
    void TearDown() override { gFake = nullptr; }

    // HwFindAdapter runs f and reports the adapter found.
    void onFind(std::function<void(PVOID, PCHAR, Config, PBOOLEAN)> f)
    {
        fake.find = [f](PVOID ext, PCHAR args, Config c, PBOOLEAN again) {
            f(ext, args, c, again);
            return ULONG(SP_RETURN_FOUND);
        };
    }
    // Line and level for interrupt delivery.
    void interruptSource(uint32_t level, std::function<bool()> line)
    {
        config.interruptLevel = level;
        config.interruptLine = std::move(line);
    }

    sim::ScsiPortHost& boot()
    {
        host = std::make_unique<sim::ScsiPortHost>(bus, config);
        status = host->boot(FakeEntry);
        return *host;
    }

    SCSI_REQUEST_BLOCK makeSrb(uint8_t target = 0)
    {
        SCSI_REQUEST_BLOCK srb;
        std::memset(&srb, 0, sizeof srb);
        srb.Length = sizeof srb;
        srb.TargetId = target;
        srb.CdbLength = 6;
        return srb;
    }

    FakeDriver fake;
    sim::Clock clock;
    sim::IoBus bus{clock};
    sim::ScsiPortHostConfig config;
    std::unique_ptr<sim::ScsiPortHost> host;
    uint32_t status = 0;
};

TEST_F(HostChecks, ExtensionsHaveTheRegisteredSizesAndStayPut)
{
    fake.extensionSize = 25;
    fake.unitSize = 138;
    bool zeroed = true;
    onFind([&](PVOID ext, PCHAR, Config c, PBOOLEAN) {
        for (ULONG i = 0; i < 25; ++i) zeroed &= static_cast<uint8_t*>(ext)[i] == 0;
        EXPECT_EQ(c->Length, sizeof(PORT_CONFIGURATION_INFORMATION));
        EXPECT_EQ(c->AdapterInterfaceType, Isa);
        EXPECT_EQ(c->SystemIoBusNumber, 0u);
        EXPECT_EQ(c->NumberOfAccessRanges, 1u);
        EXPECT_NE(c->AccessRanges, nullptr);
        (*c->AccessRanges)[0].RangeLength = 8;
    });
    config.missingUnits.insert({0, 3, 0});
    sim::ScsiPortHost& h = boot();
    EXPECT_EQ(status, sim::kStatusSuccess);
    ASSERT_EQ(h.adapterCount(), 1u);
    EXPECT_TRUE(zeroed);
    EXPECT_EQ(h.adapter().deviceExtensionSize, 25u);
    PVOID ext = h.adapter().deviceExtension.get();
    auto* unit = static_cast<uint8_t*>(ScsiPortGetLogicalUnit(ext, 0, 0, 0));
    ASSERT_NE(unit, nullptr);
    for (int i = 0; i < 138; ++i) ASSERT_EQ(unit[i], 0) << i;
    unit[137] = 0x5A;
    EXPECT_EQ(ScsiPortGetLogicalUnit(ext, 0, 0, 0), unit);
    EXPECT_NE(ScsiPortGetLogicalUnit(ext, 0, 1, 0), unit);
    EXPECT_EQ(ScsiPortGetLogicalUnit(ext, 0, 3, 0), nullptr);
    EXPECT_EQ(h.unitExtension({0, 0, 0})[137], 0x5A);
    int foreign = 0;
    EXPECT_EQ(ScsiPortGetLogicalUnit(&foreign, 0, 0, 0), nullptr);
    EXPECT_EQ(h.violationCount(), 1u) << h.violationText();
}

// Boots that find nothing: an absent bus and a wrong record size never reach
// HwFindAdapter; "not found, call again" is bounded.
TEST_F(HostChecks, BootsThatFindNothing)
{
    fake.bus = MicroChannel;
    config.absentBusStatus = 0xC0000123u;
    EXPECT_EQ(boot().adapterCount(), 0u);
    EXPECT_EQ(status, 0xC0000123u);
    EXPECT_TRUE(host->violations().empty());
    fake.bus = Isa;
    fake.initDataSize = 76 + 4;
    EXPECT_EQ(boot().violationCount(), 1u);
    EXPECT_EQ(status, sim::kStatusRevisionMismatch);
    EXPECT_EQ(fake.findCalls, 0);
    fake.initDataSize = sizeof(HW_INITIALIZATION_DATA);
    fake.find = [](PVOID, PCHAR, Config, PBOOLEAN again) {
        *again = TRUE;
        return ULONG(SP_RETURN_NOT_FOUND);
    };
    config.maxFindAdapterCalls = 5;
    EXPECT_EQ(boot().violationCount(), 1u);
    EXPECT_EQ(status, sim::kStatusDeviceDoesNotExist);
    EXPECT_EQ(fake.findCalls, 5);
}

TEST_F(HostChecks, EveryAdapterFoundIsRecorded)
{
    onFind([&](PVOID, PCHAR, Config, PBOOLEAN again) { *again = fake.findCalls < 2; });
    sim::ScsiPortHost& h = boot();
    EXPECT_EQ(h.adapterCount(), 2u);
    EXPECT_NE(h.adapter(0).deviceExtension.get(), h.adapter(1).deviceExtension.get());
    EXPECT_EQ(h.count(HostEventKind::Initialize), 2u);
}

TEST_F(HostChecks, ArgumentBuffers)
{
    std::string seen;
    bool writable = false;
    onFind([&](PVOID, PCHAR args, Config, PBOOLEAN) {
        seen = args ? std::string(args, strnlen(args, 600)) : "(null)";
        if (args) args[0] = 'P';  // a literal would not survive this
        writable |= args != nullptr;
    });
    boot();
    EXPECT_EQ(seen, "(null)");

    config.arguments = "port=0x278";
    boot();
    EXPECT_EQ(seen, "port=0x278");
    EXPECT_TRUE(writable);
    EXPECT_EQ(host->adapter().argumentBuffer[0], 'P');

    config.unterminatedArguments = true;
    onFind([&](PVOID, PCHAR args, Config, PBOOLEAN) {
        EXPECT_EQ(std::memchr(args, 0, 512), nullptr);
        EXPECT_EQ(std::memcmp(args, "port=0x278 ", 11), 0);
    });
    boot();
    EXPECT_EQ(host->adapter().argumentBufferLength, 512u);
}

TEST_F(HostChecks, MappingsAreLoggedAndBadFreesCaught)
{
    onFind([](PVOID ext, PCHAR, Config c, PBOOLEAN) {
        auto map = [&](INTERFACE_TYPE bus, ULONG port, ULONG length) {
            return ScsiPortGetDeviceBase(ext, bus, 0, ScsiPortConvertUlongToPhysicalAddress(port), length, TRUE);
        };
        PVOID a = map(c->AdapterInterfaceType, 0x378, 8);
        map(c->AdapterInterfaceType, 0x3BC, 3);
        ScsiPortFreeDeviceBase(ext, a);
        ScsiPortFreeDeviceBase(ext, a);  // second free
        map(MicroChannel, 0x278, 8);     // not the bus being searched
    });
    sim::ScsiPortHost& h = boot();
    ASSERT_EQ(h.mappings().size(), 3u);
    auto held = h.heldMappings();
    ASSERT_EQ(held.size(), 2u);
    EXPECT_EQ(held[0].address, 0x3BCu);
    EXPECT_EQ(held[0].length, 3u);
    EXPECT_TRUE(held[0].inIoSpace);
    EXPECT_EQ(h.violationCount(), 2u) << h.violationText();
}

// --- Requests.

TEST_F(HostChecks, SecondCompletionAndUnknownSrbAreViolations)
{
    SCSI_REQUEST_BLOCK stranger = makeSrb();
    fake.startIo = [&](PVOID ext, PSCSI_REQUEST_BLOCK srb) {
        srb->SrbStatus = SRB_STATUS_SUCCESS;
        ScsiPortNotification(RequestComplete, ext, srb);
        ScsiPortNotification(RequestComplete, ext, srb);
        ScsiPortNotification(RequestComplete, ext, &stranger);
        ScsiPortNotification(NextRequest, ext);
        ScsiPortNotification(NextRequest, ext);  // harmless
        return BOOLEAN(TRUE);
    };
    sim::ScsiPortHost& h = boot();
    SCSI_REQUEST_BLOCK srb = makeSrb();
    h.start(&srb);
    EXPECT_TRUE(h.run().idle);
    ASSERT_EQ(h.violationCount(), 2u) << h.violationText();
    EXPECT_NE(h.violations()[0].find("twice"), std::string::npos);
    EXPECT_NE(h.violations()[1].find("unknown"), std::string::npos);
    auto done = h.events(HostEventKind::RequestComplete);
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(done[0].srbStatus, SRB_STATUS_SUCCESS);
    // Completed while still pending, and StartIo returning FALSE.
    fake.startIo = [](PVOID ext, PSCSI_REQUEST_BLOCK srb) {
        ScsiPortNotification(RequestComplete, ext, srb);
        ScsiPortNotification(NextRequest, ext);
        return BOOLEAN(FALSE);
    };
    boot().start(&srb);
    EXPECT_EQ(host->violationCount(), 2u) << host->violationText();
}

TEST_F(HostChecks, NoNewRequestBeforeNextRequest)
{
    std::vector<PSCSI_REQUEST_BLOCK> held;
    fake.startIo = [&](PVOID, PSCSI_REQUEST_BLOCK srb) {
        held.push_back(srb);
        return BOOLEAN(TRUE);
    };
    sim::ScsiPortHost& h = boot();
    SCSI_REQUEST_BLOCK a = makeSrb(), b = makeSrb();
    h.start(&a);
    h.start(&b);
    ASSERT_EQ(held.size(), 1u);
    // The driver completes the first but withholds NextRequest: b waits,
    // and the pump reports a hang.
    PVOID ext = h.adapter().deviceExtension.get();
    a.SrbStatus = SRB_STATUS_SUCCESS;
    ScsiPortNotification(RequestComplete, ext, &a);
    sim::RunResult r = h.run(10 * sim::kMillisecond);
    EXPECT_TRUE(r.hang);
    EXPECT_EQ(r.elapsed, 10 * sim::kMillisecond);
    EXPECT_EQ(held.size(), 1u);
    ScsiPortNotification(NextRequest, ext);
    h.pumpOnce();
    ASSERT_EQ(held.size(), 2u);
    EXPECT_EQ(held[1], &b);
}

TEST_F(HostChecks, CompleteRequestReachesTheRequestInsideStartIo)
{
    SCSI_REQUEST_BLOCK open = makeSrb();
    fake.startIo = [&](PVOID ext, PSCSI_REQUEST_BLOCK srb) {
        if (srb->Function == SRB_FUNCTION_RESET_DEVICE) {
            ScsiPortCompleteRequest(ext, srb->PathId, 0xFF, 0xFF, SRB_STATUS_BUS_RESET);
            ScsiPortNotification(NextRequest, ext);
        }
        return BOOLEAN(TRUE);  // the execute request stays open
    };
    sim::ScsiPortHost& h = boot();
    h.start(&open);
    sim::ExecuteResult r = h.sendFunction(SRB_FUNCTION_RESET_DEVICE, 0, 0);
    EXPECT_TRUE(r.completed);
    EXPECT_EQ(r.srbStatus, SRB_STATUS_BUS_RESET);
    EXPECT_EQ(open.SrbStatus, SRB_STATUS_BUS_RESET);
    EXPECT_FALSE(h.isOutstanding(&open));
    EXPECT_EQ(h.count(HostEventKind::RequestComplete), 2u);
    EXPECT_TRUE(h.violations().empty()) << h.violationText();
}

TEST_F(HostChecks, TimeOutResetsTheBus)
{
    fake.resetBus = [](PVOID ext, ULONG path) {
        ScsiPortCompleteRequest(ext, static_cast<UCHAR>(path), 0xFF, 0xFF, SRB_STATUS_BUS_RESET);
        return BOOLEAN(TRUE);
    };
    sim::ScsiPortHost& h = boot();
    uint8_t cdb[6] = {0x00};
    sim::ExecuteResult r = h.execute(0, 0, {cdb, cdb + 6}, sim::DataDirection::None, nullptr, 0,
                                     2 * sim::kSecond);
    EXPECT_TRUE(r.hang);
    EXPECT_FALSE(r.completed);
    EXPECT_EQ(r.srbStatus, SRB_STATUS_BUS_RESET);
    EXPECT_EQ(h.count(HostEventKind::ResetBus), 1u);
    EXPECT_TRUE(h.readyForNext());
    EXPECT_TRUE(h.violations().empty()) << h.violationText();
}

// --- Timers and requested routines.

TEST_F(HostChecks, TimerFiresAtItsDeadlineAndANewRequestReplacesTheOld)
{
    sim::ScsiPortHost& h = boot();
    PVOID ext = h.adapter().deviceExtension.get();
    sim::Nanoseconds t0 = clock.now();
    ScsiPortNotification(RequestTimerCall, ext, TimerA, ULONG(10000));
    ScsiPortStallExecution(3000);
    ScsiPortNotification(RequestTimerCall, ext, TimerB, ULONG(10000));
    ScsiPortNotification(RequestTimerCall, ext, nullptr, ULONG(10000));
    EXPECT_EQ(h.violationCount(), 1u);
    // Keep the pump busy until well past both deadlines.
    SCSI_REQUEST_BLOCK srb = makeSrb();
    h.start(&srb);
    h.run(50 * sim::kMillisecond);
    EXPECT_EQ(gTimerCalls, 100);  // B once, A never
    EXPECT_EQ(gTimerTime, t0 + 13 * sim::kMillisecond);
}

TEST_F(HostChecks, IdleRunLetsNoTimePassButRunForDoes)
{
    sim::ScsiPortHost& h = boot();
    sim::Nanoseconds t0 = clock.now();
    ScsiPortNotification(RequestTimerCall, h.adapter().deviceExtension.get(), TimerA, ULONG(10000));
    sim::RunResult r = h.run();
    EXPECT_TRUE(r.idle);
    EXPECT_EQ(r.elapsed, 0u);
    EXPECT_EQ(gTimerCalls, 0);
    r = h.runFor(20 * sim::kMillisecond);
    EXPECT_FALSE(r.hang);
    EXPECT_EQ(gTimerCalls, 1);
    EXPECT_EQ(gTimerTime, t0 + 10 * sim::kMillisecond);
    EXPECT_EQ(clock.now(), t0 + 20 * sim::kMillisecond);
}

TEST_F(HostChecks, StallAdvancesTheClockWithoutDeliveringAnything)
{
    interruptSource(7, [] { return true; });
    int interrupts = 0;
    fake.interrupt = [&](PVOID) { ++interrupts; return BOOLEAN(TRUE); };
    sim::ScsiPortHost& h = boot();
    ScsiPortNotification(RequestTimerCall, h.adapter().deviceExtension.get(), TimerA, ULONG(10));
    sim::Nanoseconds t0 = clock.now();
    ScsiPortStallExecution(1000);
    EXPECT_EQ(clock.now() - t0, sim::kMillisecond);
    EXPECT_EQ(gTimerCalls, 0);
    EXPECT_EQ(interrupts, 0);
    h.pumpOnce();
    EXPECT_EQ(gTimerCalls, 1);
    EXPECT_EQ(interrupts, 1);
}

PVOID gRoutineArg = nullptr;
bool gRoutineInside = false;
bool gInStartIo = false;
VOID NTAPI Deferred(PVOID ext)
{
    gRoutineArg = ext;
    gRoutineInside = gInStartIo;
}

TEST_F(HostChecks, RequestedRoutineRunsAfterTheEntryReturns)
{
    fake.startIo = [](PVOID ext, PSCSI_REQUEST_BLOCK) {
        gInStartIo = true;
        ScsiPortNotification(CallEnableInterrupts, ext, Deferred);
        ScsiPortNotification(CallDisableInterrupts, ext, nullptr);
        gInStartIo = false;
        return BOOLEAN(TRUE);
    };
    sim::ScsiPortHost& h = boot();
    SCSI_REQUEST_BLOCK srb = makeSrb();
    gRoutineArg = nullptr;
    h.start(&srb);
    EXPECT_EQ(gRoutineArg, h.adapter().deviceExtension.get());
    EXPECT_FALSE(gRoutineInside);
    EXPECT_EQ(h.violationCount(), 1u);
}

// --- Interrupt delivery: line high, level nonzero, processor flag set.

struct InterruptCase {
    bool line;
    uint32_t portLevel;    // what the port driver supplies
    int driverLevel;       // what HwFindAdapter leaves (-1: unchanged)
    bool enabled;
    bool delivered;
};

class InterruptDelivery : public HostChecks,
                          public ::testing::WithParamInterface<InterruptCase> {};

TEST_P(InterruptDelivery, OnlyWhenAllConditionsHold)
{
    const InterruptCase c = GetParam();
    bool line = c.line;
    interruptSource(c.portLevel, [&] { return line; });
    onFind([&](PVOID, PCHAR, Config cfg, PBOOLEAN) {
        if (c.driverLevel >= 0) cfg->BusInterruptLevel = static_cast<ULONG>(c.driverLevel);
    });
    int calls = 0;
    fake.interrupt = [&](PVOID) {
        ++calls;
        line = false;  // the driver clears the source
        return BOOLEAN(TRUE);
    };
    sim::ScsiPortHost& h = boot();
    if (!c.enabled) bus.disableInterrupts();
    h.pumpOnce();
    h.pumpOnce();
    EXPECT_EQ(calls, c.delivered ? 1 : 0);
    EXPECT_EQ(h.interruptsDelivered(), c.delivered ? 1u : 0u);
    bus.enableInterrupts();
}

INSTANTIATE_TEST_SUITE_P(
    Host, InterruptDelivery,
    ::testing::Values(InterruptCase{true, 7, -1, true, true},
                      InterruptCase{false, 7, -1, true, false},
                      InterruptCase{true, 0, -1, true, false},
                      InterruptCase{true, 7, -1, false, false},
                      InterruptCase{true, 0, 5, true, true},    // level set by the driver
                      InterruptCase{true, 7, 0, true, false}));  // polling: level cleared

TEST_F(HostChecks, LevelSensitiveRepeatsAndRefusalsAreCounted)
{
    interruptSource(5, [] { return true; });
    onFind([](PVOID, PCHAR, Config c, PBOOLEAN) { c->InterruptMode = LevelSensitive; });
    sim::ScsiPortHost& h = boot();  // the fake refuses every interrupt
    h.pumpOnce();
    h.pumpOnce();
    EXPECT_EQ(h.interruptsRefused(), 2u);
    EXPECT_EQ(h.interruptsDelivered(), 0u);
}

TEST_F(HostChecks, LatchedInterruptIsTakenOncePerEdgeEvenIfItWaits)
{
    bool line = false;
    interruptSource(7, [&] { return line; });
    int calls = 0;
    fake.interrupt = [&](PVOID) { ++calls; return BOOLEAN(TRUE); };  // leaves the line high
    sim::ScsiPortHost& h = boot();
    line = true;
    h.pumpOnce();
    h.pumpOnce();
    EXPECT_EQ(calls, 1);
    line = false;
    h.pumpOnce();
    bus.disableInterrupts();
    line = true;
    h.pumpOnce();
    EXPECT_EQ(calls, 1);
    bus.enableInterrupts();
    h.pumpOnce();
    h.pumpOnce();
    EXPECT_EQ(calls, 2);
}

}  // namespace
