// Host port set-up on each machine kind, end to end: what the driver
// recognised, what it switched the port to, the mode pair it then chose
// and data moved in that pair; probes leave the hardware that is not the
// port's owner as they found it; a chip that answers but does not switch,
// or answers wrongly, ends in a slower pair that works, never in a fast
// pair that does not.
#include <gtest/gtest.h>

#include <cctype>
#include <memory>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "hostport/hostport.h"
#include "link/link.h"
#include "sim/ata/drive_presets.h"
#include "sim/chips/indexed_chipset22.h"
#include "sim/chips/pic.h"
#include "sim/chips/ps2_system_board.h"
#include "sim/wire/parallel_port.h"
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
    // Forced bidirectional pairs: the board's port must be turned round
    // without negotiation's ladder.
    {"ps2", "/da /r8 /w1", kPs2, 0, 8, 1, true, "PS/2 system board: POS2"},
    {"ps2", "/da /r9 /w1", kPs2, 0, 9, 1, true, "PS/2 system board: POS2"},
    {"epp", "", kHardwareEpp, 3, 10, 3, true, ""},
    {"smc", "", kHardwareEpp | kSmcEcr, 3, 10, 3, false, "FDC37C665GT: CR01 CR04"},
    // Every SMC configuration pair, with each way of identifying the chip:
    // all of them end in EPP, the fastest pair the port carries.
    {"smc669", "", kHardwareEpp | kSmcEcr, 3, 10, 3, false, "FDC37C669: CR01 CR04"},
    {"smc669at370", "", kHardwareEpp | kSmcEcr, 3, 10, 3, false, "FDC37C669: CR01 CR04"},
    {"smc669atea", "", kHardwareEpp | kSmcEcr, 3, 10, 3, false, "FDC37C669: CR01 CR04"},
    // The 666 is strapped for EPP: recognised, none of its registers written.
    {"smc666", "", kHardwareEpp | kSmcEcr, 3, 10, 3, false, ""},
    {"smc666at370", "", kHardwareEpp | kSmcEcr, 3, 10, 3, false, ""},
    {"smc666atea", "", kHardwareEpp | kSmcEcr, 3, 10, 3, false, ""},
    {"smc93x", "", kHardwareEpp | kSmcEcr, 3, 10, 3, false, "FDC37C93x: LD3.F0 device"},
    {"smc93xat370", "", kHardwareEpp | kSmcEcr, 3, 10, 3, false, "FDC37C93x: LD3.F0 device"},
    {"smc93xatea", "", kHardwareEpp | kSmcEcr, 3, 10, 3, false, "FDC37C93x: LD3.F0 device"},
    {"natsemi", "", kHardwareEpp | kNs, 3, 10, 3, false, "PC873xx: R4 index"},
    {"natsemi26e", "", kHardwareEpp | kNs, 3, 10, 3, false, "PC873xx: R4 index"},
    {"natsemi15c", "", kHardwareEpp | kNs, 3, 10, 3, false, "PC873xx: R4 index"},
    {"natsemi2e", "", kHardwareEpp | kNs, 3, 10, 3, false, "PC873xx: R4 index"},
    {"winbond", "", kHardwareEpp | kWinbond, 3, 10, 3, false, "W83877F: CR00 CR09"},
    {"winbond88", "", kHardwareEpp | kWinbond, 3, 10, 3, false, "W83877F: CR00 CR09"},
    // Byte-wide reads turned around by control bit 7, no EPP, no chip: the
    // negotiation ladder never offers read modes 6 and 7, so it ends in
    // nibble reads; asked for, either mode carries the data.
    {"byte7", "", kNothing, 0, 4, 1, true, ""},
    {"byte7", "/r6 /w1", kNothing, 0, 6, 1, true, ""},
    {"byte7", "/r7 /w1", kNothing, 0, 7, 1, true, ""},
    {"byte7", "/da /r7 /w1", kNothing, 0, 7, 1, true, ""},
    {"pci", "", kHardwareEpp | kPci, 3, 10, 3, true, "PCI configuration: fn.52 fn.53"},
    {"window", "", kHardwareEpp | kWindow, 3, 10, 3, false,
     "CMOS-window chipset: port+3 port+7 unlocked window9"},
    {"chipset100", "", kNothing, 2, 10, 3, false, ""},
    // The laptop chipset is switched only for an EPP pair, which
    // negotiation never reaches there; imposed, it works.
    {"laptop", "", kNothing, 0, 4, 1, false, ""},
    {"laptop", "/da /r10 /w3", kLaptop, 1, 10, 3, false, "laptop chipset: 0x705 cfg61 cfgFA space02"},
    // Neither 0x22/0x23 occupant is the laptop chipset: nothing to switch
    // there, whatever the modes.
    {"picmirror", "", kHardwareEpp, 3, 10, 3, true, ""},
    {"picmirror", "/da /r10 /w3", kNothing, 1, 10, 3, true, ""},
    {"chipset22", "", kNothing, 0, 4, 1, false, ""},
    {"chipset22", "/r10 /w3", kNothing, 0, 4, 1, false, ""},
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
    std::string arguments = info.param.arguments, name = info.param.host;
    if (arguments.empty()) return name;
    if (arguments.find("/r10") != std::string::npos) return name + "_forcedEpp";
    name += "_forced_";
    for (char ch : arguments)
        if (std::isalnum(static_cast<unsigned char>(ch))) name += ch;
    return name;
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

// Machines where 0x22/0x23 are not the laptop chipset's power register: a
// mirror of the interrupt controller, or the unidentified chipset. Every
// path that could switch a laptop chipset runs on them (the chip EPP
// preparation after the unidentified chipset was reported, the EPP
// switch-over of imposed modes, the PS/2 port preparation on a board that
// also has the PS/2 option register); after boot and a round trip of data
// the controller and the chipset are as the driver found them.
struct Port22Case {
    const char* host;
    const char* arguments;
    bool ps2Board;   // a PS/2 system board on the machine as well
    bool reaches22;  // the driver looks at 0x22 on this path
};

const Port22Case kPort22Cases[] = {
    {"picmirror", "", false, false},
    {"picmirror", "/da /r10 /w3", false, true},
    {"picmirror", "", true, true},
    {"chipset22", "", false, true},
    {"chipset22", "/r10 /w3", false, true},
    {"chipset22", "", true, true},
    // The fast-bus switch the user asked for: on a mirror of the interrupt
    // controller there is no chipset to switch.
    {"picmirror", "/fb /de", false, true},
    {"picmirror", "/fb /r9 /w1", false, true},
};

void PrintTo(const Port22Case& c, std::ostream* os)
{
    *os << c.host << " '" << c.arguments << "'" << (c.ps2Board ? " with a PS/2 board" : "");
}

// The machine's first host chip of the given model, or nullptr.
template <typename Chip>
Chip* hostChip(sim::SimulatedPc& pc)
{
    for (sim::ChipModel* chip : pc.hostChips())
        if (auto* found = dynamic_cast<Chip*>(chip)) return found;
    return nullptr;
}

class Port22Machine : public ::testing::TestWithParam<Port22Case> {};

TEST_P(Port22Machine, InterruptControllerAndChipsetAsFound)
{
    const Port22Case& c = GetParam();
    std::unique_ptr<sim::Ps2SystemBoard> board;  // outlives the machine whose bus holds it
    auto pc = e2e::makePc(c.host, "fixed", 0x378, c.arguments);
    if (c.ps2Board) {
        board = std::make_unique<sim::Ps2SystemBoard>(pc->port(), 0x378);
        pc->bus().attach(*board);
    }
    pc->boot();
    ASSERT_TRUE(pc->report().adapterFound);
    if (c.ps2Board) EXPECT_EQ(MachineSwitchState.Ps2PrepDone, 1);
    e2e::expectRoundTrip(*pc, 3000, 40, 0x3D);
    if (c.reaches22) EXPECT_GT(pc->bus().accessCount(0x22), 0u);

    auto* pic = hostChip<sim::Pic>(*pc);
    auto* chipset = hostChip<sim::IndexedChipset22>(*pc);
    ASSERT_NE(pic, nullptr);
    EXPECT_EQ(pic->mask(), sim::Pic::kPowerOnMask);
    EXPECT_EQ(pic->vectorBase(), sim::Pic::kVectorBase);
    EXPECT_FALSE(pic->initialising());
    EXPECT_EQ(pic->initialisations(), 0u);
    EXPECT_EQ(pic->mirrorWrites(), 0u);
    EXPECT_EQ(pic->unmaskedWithInterruptsEnabled(), 0u);
    EXPECT_FALSE(pic->registersChanged()) << ::testing::PrintToString(pic->changedRegisters());
    if (std::string(c.host) == "chipset22") {
        ASSERT_NE(chipset, nullptr);
        EXPECT_EQ(chipset->writeCount(), 0u);
        EXPECT_FALSE(chipset->registersChanged()) << ::testing::PrintToString(chipset->changedRegisters());
    }
    EXPECT_EQ(MachineSwitchState.LaptopOpenWorked, 0);
    e2e::expectNoViolations(*pc);
    if (board) EXPECT_EQ(board->violations(), 0u) << board->lastViolation();
}

std::string port22Name(const ::testing::TestParamInfo<Port22Case>& info)
{
    std::string name = info.param.host;
    std::string arguments = info.param.arguments;
    if (arguments.find("/fb") != std::string::npos) name += "_fastBus";
    if (arguments.find("/de") != std::string::npos) name += "_noEppHost";
    if (arguments.find("/r9") != std::string::npos) name += "_forcedBidirectional";
    else if (!arguments.empty() && arguments.find("/r") != std::string::npos) name += "_forcedEpp";
    if (info.param.ps2Board) name += "_ps2Board";
    return name;
}

INSTANTIATE_TEST_SUITE_P(Paths, Port22Machine, ::testing::ValuesIn(kPort22Cases), port22Name);

// The fast-bus switch the user asked for reaches the index/data chipset at
// 0x22/0x23 it is meant for, and only it: register 0x21 gains bit 2 by the
// three writes of the switch, and no laptop chipset sequence follows.
TEST(FastBusSwitch, SetsTheChipsetBitAndNothingElse)
{
    auto pc = e2e::bootPc("chipset22", "fixed", 0x378, "/fb /de");
    ASSERT_TRUE(pc->report().adapterFound);
    e2e::expectRoundTrip(*pc, 500, 16, 0x5A);
    auto* chipset = hostChip<sim::IndexedChipset22>(*pc);
    auto* pic = hostChip<sim::Pic>(*pc);
    ASSERT_NE(chipset, nullptr);
    ASSERT_NE(pic, nullptr);
    EXPECT_EQ(chipset->reg(0x21), 0x06);
    EXPECT_EQ(chipset->writeCount(), 3u);
    EXPECT_FALSE(pic->registersChanged()) << ::testing::PrintToString(pic->changedRegisters());
    EXPECT_EQ(MachineSwitchState.LaptopOpenWorked, 0);
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
    EXPECT_EQ(LinkState.HostPortKind, 0u);
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

// The table of machine kinds says which reads each kind's port carries
// beyond nibble and five-plus-three; the soak forces only those and the
// bench measures each mode on a kind that carries it. What it says holds
// on the machine: a claimed pair is one the driver ends up using, asked for
// with negotiation or imposed without, and moves data intact; a pair not
// claimed is one it never ends up using.
class MachineKindTable : public ::testing::TestWithParam<std::string> {};

bool pairWorks(const std::string& host, unsigned readMode, unsigned writeMode)
{
    std::string pair = "/r" + std::to_string(readMode) + " /w" + std::to_string(writeMode);
    for (const std::string& arguments : {pair, "/da " + pair}) {
        auto pc = e2e::bootPc(host, "fixed", 0x378, arguments);
        if (!pc->report().adapterFound) continue;
        std::vector<uint8_t> data = e2e::blocks(300, 8, 0x21), back;
        if (!pc->disk().write(300, data).good() || !pc->disk().read(300, 8, back).good() || back != data) continue;
        if (e2e::modeByte(*pc) == readMode * 16 + writeMode) return true;
    }
    return false;
}

TEST_P(MachineKindTable, ClaimsTheReadsItsPortCarries)
{
    const sim::HostKindInfo* kind = sim::findHostKind(GetParam());
    ASSERT_NE(kind, nullptr);
    EXPECT_EQ(pairWorks(kind->name, 6, 1), kind->bit7Reads) << "byte-wide reads by control bit 7";
    EXPECT_EQ(pairWorks(kind->name, 9, 1), kind->bidirectionalReads) << "byte-wide reads by control bit 5";
    EXPECT_EQ(pairWorks(kind->name, 10, 3), kind->epp) << "EPP";
}

std::vector<std::string> everyKindName()
{
    std::vector<std::string> names;
    for (const sim::HostKindInfo& k : sim::hostKindTable()) names.push_back(k.name);
    return names;
}

INSTANTIATE_TEST_SUITE_P(Kinds, MachineKindTable, ::testing::ValuesIn(everyKindName()),
                         [](const ::testing::TestParamInfo<std::string>& info) { return info.param; });

}  // namespace
