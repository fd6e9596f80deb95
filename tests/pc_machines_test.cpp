// Host port set-up on each machine kind, end to end: what the driver
// recognised, what it switched the port to, the mode pair it then chose
// and data moved in that pair; probes leave the hardware that is not the
// port's owner as they found it; a chip that answers but does not switch,
// or answers wrongly, ends in a slower pair that works, never in a fast
// pair that does not.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "hostport/hostport.h"
#include "link/link.h"
#include "sim/drive_presets.h"
#include "sim/parallel_port.h"
#include "sim/pic.h"
#include "support/pc_e2e.h"

namespace {

using sim::ChipFault;

// What the driver's records say it recognised.
enum Found : unsigned {
    kNothing = 0,
    kHardwareEpp = 1,  // HostHasEpp
    kSmcEcr = 2,       // EcrPresent (SMC probe)
    kNs = 4,
    kWinbond = 8,
    kPci = 16,
    kWindow = 32,      // CMOS window switched to EPP
    kPs2 = 64,
    kLaptop = 128,     // laptop configuration space opened
};

unsigned foundByDriver()
{
    return (HostChipState.HostHasEpp ? kHardwareEpp : 0) | (LinkState.EcrPresent ? kSmcEcr : 0) |
           (HostChipState.NsChipFound ? kNs : 0) | (HostChipState.WinbondChipFound ? kWinbond : 0) |
           (HostChipState.PciChipFound ? kPci : 0) | (CmosWindowState.State == 1 ? kWindow : 0) |
           (MachineSwitchState.Ps2Machine ? kPs2 : 0) | (MachineSwitchState.LaptopOpenWorked ? kLaptop : 0);
}

// The registers of the machine's chips that differ from power-on, as
// "chip: name name; chip: name".
std::string changedChipRegisters(sim::SimulatedPc& pc)
{
    std::string text;
    for (sim::ChipModel* chip : pc.hostChips()) {
        std::vector<std::string> changed = chip->changedRegisters();
        if (changed.empty()) continue;
        if (!text.empty()) text += "; ";
        text += chip->name() + ":";
        for (const std::string& name : changed) text += " " + name;
    }
    return text;
}

struct MachineCase {
    const char* host;
    const char* arguments;
    unsigned found;
    unsigned kind;            // LinkState.HostPortKind
    int readMode, writeMode;  // from the data latch after a request
    bool bidirectional;       // the port's direction bit works after boot
    const char* changed;      // chip registers the owner keeps switched
};

const MachineCase kMachines[] = {
    {"plain", "", kNothing, 0, 4, 1, false, ""},
    {"ps2", "", kPs2, 0, 9, 1, true, "PS/2 system board: POS2"},
    {"epp", "", kHardwareEpp, 3, 10, 3, true, ""},
    {"smc", "", kHardwareEpp | kSmcEcr, 3, 10, 3, false, "FDC37C665GT: CR01 CR04"},
    {"natsemi", "", kHardwareEpp | kNs, 3, 10, 3, false, "PC873xx: R4 index"},
    {"winbond", "", kHardwareEpp | kWinbond, 3, 10, 3, false, "W83877F: CR00 CR09"},
    {"pci", "", kHardwareEpp | kPci, 3, 10, 3, true, "PCI configuration: fn.52 fn.53"},
    {"window", "", kHardwareEpp | kWindow, 3, 10, 3, false,
     "CMOS-window chipset: port+3 port+7 unlocked window9"},
    {"chipset100", "", kNothing, 2, 10, 3, false, ""},
    // The laptop chipset is switched only for an EPP pair, which
    // negotiation never reaches there; imposed, it works.
    {"laptop", "", kNothing, 0, 4, 1, false, ""},
    {"laptop", "/da /r10 /w3", kLaptop, 1, 10, 3, false, "laptop chipset: 0x705 cfg61 cfgFA space02"},
};

void PrintTo(const MachineCase& c, std::ostream* os) { *os << c.host << " '" << c.arguments << "'"; }

class PcMachine : public ::testing::TestWithParam<MachineCase> {};

TEST_P(PcMachine, RecognisesSwitchesAndNegotiates)
{
    const MachineCase& c = GetParam();
    auto pc = e2e::bootPc(c.host, "fixed", 0x378, c.arguments);
    ASSERT_TRUE(pc->report().adapterFound);
    EXPECT_EQ(foundByDriver(), c.found);
    EXPECT_EQ(LinkState.HostPortKind, c.kind);
    EXPECT_EQ(pc->port().bidirectionalActive(), c.bidirectional);
    EXPECT_EQ(changedChipRegisters(*pc), c.changed);

    uint64_t eppCycles = pc->port().eppCycles(), eppTimeouts = pc->port().eppTimeouts();
    e2e::expectRoundTrip(*pc, 2000, 64, 0x77);
    uint8_t modes = e2e::modeByte(*pc);
    EXPECT_EQ(modes >> 4, c.readMode);
    EXPECT_EQ(modes & 0x0F, c.writeMode);
    // EPP pairs move the data in EPP cycles (no time-outs); others never
    // make one.
    if (c.readMode == 10)
        EXPECT_GE(pc->port().eppCycles() - eppCycles, 2u * 64u * 512u);
    else
        EXPECT_EQ(pc->port().eppCycles(), eppCycles);
    EXPECT_EQ(pc->port().eppTimeouts(), eppTimeouts);
    e2e::expectNoViolations(*pc);
}

std::string machineName(const ::testing::TestParamInfo<MachineCase>& info)
{
    return std::string(info.param.host) + (*info.param.arguments ? "_forcedEpp" : "");
}

INSTANTIATE_TEST_SUITE_P(Kinds, PcMachine, ::testing::ValuesIn(kMachines), machineName);

// The plain machine has no chip to find, but the probes for them read and
// write the interrupt controller, the 0x22 chipset range and the CMOS
// window (which on this board mirrors the RTC's data port): all of it is
// as it was after boot.
TEST(PcMachineProbes, PlainMachineKeepsPicAndRtc)
{
    auto pc = e2e::bootPc("plain");
    ASSERT_TRUE(pc->report().adapterFound);
    EXPECT_GT(pc->bus().accessCount(sim::Pic::kMaskPort), 0u);
    EXPECT_GT(pc->bus().accessCount(0xF073), 0u);
    for (sim::ChipModel* chip : pc->hostChips()) {
        EXPECT_FALSE(chip->registersChanged()) << chip->name();
        if (auto* pic = dynamic_cast<sim::Pic*>(chip)) EXPECT_EQ(pic->mask(), sim::Pic::kPowerOnMask);
    }
    e2e::expectNoViolations(*pc);
}

// A chip that answers halfway: the pair is a slower one that works, chosen
// by negotiation on what the port really does.
struct FaultCase {
    const char* host;
    ChipFault fault;
    int readMode, writeMode;
};

const FaultCase kFaults[] = {
    {"ps2", ChipFault::SwitchIgnored, 4, 1},     {"ps2", ChipFault::WrongAnswer, 4, 1},
    {"smc", ChipFault::SwitchIgnored, 9, 1},     {"smc", ChipFault::WrongAnswer, 4, 1},
    {"natsemi", ChipFault::SwitchIgnored, 4, 1}, {"natsemi", ChipFault::WrongAnswer, 4, 1},
    {"winbond", ChipFault::SwitchIgnored, 9, 1}, {"winbond", ChipFault::WrongAnswer, 4, 1},
    {"pci", ChipFault::SwitchIgnored, 9, 1},     {"pci", ChipFault::WrongAnswer, 9, 1},
    {"window", ChipFault::SwitchIgnored, 4, 1},  {"window", ChipFault::WrongAnswer, 4, 1},
    {"chipset100", ChipFault::SwitchIgnored, 4, 1}, {"chipset100", ChipFault::WrongAnswer, 4, 1},
    {"laptop", ChipFault::SwitchIgnored, 4, 1},  {"laptop", ChipFault::WrongAnswer, 4, 1},
};

void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.host << " " << sim::chipFaultName(c.fault); }

class PcChipFault : public ::testing::TestWithParam<FaultCase> {};

TEST_P(PcChipFault, EndsInAWorkingSlowerPair)
{
    const FaultCase& c = GetParam();
    auto pc = e2e::bootPc(c.host, "fixed", 0x378, "", c.fault);
    ASSERT_TRUE(pc->report().adapterFound) << "no disk at all";
    uint64_t eppCycles = pc->port().eppCycles();
    e2e::expectRoundTrip(*pc, 77, 48, 0xC1);
    uint8_t modes = e2e::modeByte(*pc);
    EXPECT_EQ(modes >> 4, c.readMode);
    EXPECT_EQ(modes & 0x0F, c.writeMode);
    EXPECT_EQ(pc->port().eppCycles(), eppCycles);
    EXPECT_EQ(pc->driverPortKind(), 0u);
    e2e::expectNoViolations(*pc);
}

std::string faultName(const ::testing::TestParamInfo<FaultCase>& info)
{
    return std::string(info.param.host) + (info.param.fault == ChipFault::WrongAnswer ? "_WrongAnswer" : "_SwitchIgnored");
}

INSTANTIATE_TEST_SUITE_P(Faults, PcChipFault, ::testing::ValuesIn(kFaults), faultName);

// Every machine kind with every drive: the class driver's start-up (which
// tests the unit for readiness) and a round trip never write a task-file
// register or a command while the drive is busy or offering data, which ATA
// leaves undefined (a drive may ignore the write, hang, or take the count
// of a dropped command for the next).
using MachineDrive = std::tuple<std::string, std::string>;

std::vector<std::string> hostKindNames()
{
    std::vector<std::string> names;
    for (const sim::HostKindInfo& k : sim::hostKinds()) names.push_back(k.name);
    return names;
}

class EveryMachine : public ::testing::TestWithParam<MachineDrive> {};

TEST_P(EveryMachine, NeverWritesTheDriveWhileBusyOrOfferingData)
{
    const auto& [host, drive] = GetParam();
    auto pc = e2e::bootPc(host, drive);
    ASSERT_TRUE(pc->report().adapterFound);
    sim::DiskInfo info = pc->disk().identify();
    EXPECT_TRUE(info.ready.good()) << "sense key " << int(info.ready.senseKey);
    ASSERT_TRUE(info.capacity.result.good());
    EXPECT_TRUE(pc->disk().testUnitReady().good());
    uint32_t middle = uint32_t(info.capacity.blocks() / 2);
    e2e::expectRoundTrip(*pc, middle, 24, 0x3C);
    EXPECT_TRUE(pc->disk().testUnitReady().good());
    EXPECT_EQ(pc->drive().violations().writesWhileBusyOrDrq(), 0u) << e2e::driveWriteViolations(*pc);
    for (const sim::CommandRecord& c : pc->drive().commandLog())
        EXPECT_FALSE(c.cutShort) << sim::formatCommand(c);
    e2e::expectNoViolations(*pc);
}

std::string machineDriveName(const ::testing::TestParamInfo<MachineDrive>& info)
{
    return std::get<0>(info.param) + "_" + std::get<1>(info.param);
}

INSTANTIATE_TEST_SUITE_P(KindsAndDrives, EveryMachine,
                         ::testing::Combine(::testing::ValuesIn(hostKindNames()),
                                            ::testing::ValuesIn(sim::drivePresetNames())),
                         machineDriveName);

}  // namespace
