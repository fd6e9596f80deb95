#include "sim/machine/host_kinds.h"

#include "sim/chips/chipset_100.h"
#include "sim/chips/cmos_window_chipset.h"
#include "sim/chips/indexed_chipset22.h"
#include "sim/chips/laptop_chipset.h"
#include "sim/chips/ns_pc873xx.h"
#include "sim/chips/pci_config.h"
#include "sim/chips/ps2_system_board.h"
#include "sim/chips/rtc.h"
#include "sim/chips/smc_fdc37c665.h"
#include "sim/chips/smc_fdc37c666.h"
#include "sim/chips/smc_fdc37c93x.h"
#include "sim/chips/winbond_w83877f.h"

namespace sim {

namespace {

using Chip = std::unique_ptr<ChipModel>;

Chip smc(const ChipWiring& w) { return std::make_unique<SmcFdc37c665>(w.port, 0x3F0, 0x65, w.fault); }
Chip smc669(const ChipWiring& w) { return std::make_unique<SmcFdc37c665>(w.port, 0x3F0, 0x03, w.fault); }
Chip smc669At370(const ChipWiring& w) { return std::make_unique<SmcFdc37c665>(w.port, 0x370, 0x03, w.fault); }
Chip smc669AtEa(const ChipWiring& w) { return std::make_unique<SmcFdc37c665>(w.port, 0xEA, 0x03, w.fault); }
Chip smc666(const ChipWiring& w) { return std::make_unique<SmcFdc37c666>(w.port, 0x3F0, w.fault); }
Chip smc666At370(const ChipWiring& w) { return std::make_unique<SmcFdc37c666>(w.port, 0x370, w.fault); }
Chip smc666AtEa(const ChipWiring& w) { return std::make_unique<SmcFdc37c666>(w.port, 0xEA, w.fault); }
Chip smc93x(const ChipWiring& w) { return std::make_unique<SmcFdc37c93x>(w.port, 0x3F0, w.portBase, w.fault); }
Chip smc93xAt370(const ChipWiring& w) { return std::make_unique<SmcFdc37c93x>(w.port, 0x370, w.portBase, w.fault); }
Chip smc93xAtEa(const ChipWiring& w) { return std::make_unique<SmcFdc37c93x>(w.port, 0xEA, w.portBase, w.fault); }
Chip natsemi(const ChipWiring& w) { return std::make_unique<NsPc873xx>(w.port, 0x398, w.portBase, w.fault); }
Chip natsemiAt26e(const ChipWiring& w) { return std::make_unique<NsPc873xx>(w.port, 0x26E, w.portBase, w.fault); }
Chip natsemiAt15c(const ChipWiring& w) { return std::make_unique<NsPc873xx>(w.port, 0x15C, w.portBase, w.fault); }
Chip natsemiAt2e(const ChipWiring& w) { return std::make_unique<NsPc873xx>(w.port, 0x2E, w.portBase, w.fault); }
Chip winbond(const ChipWiring& w) { return std::make_unique<WinbondW83877f>(w.port, 0x89, w.fault); }
Chip winbond88(const ChipWiring& w) { return std::make_unique<WinbondW83877f>(w.port, 0x88, w.fault); }
Chip pci(const ChipWiring& w) { return std::make_unique<PciConfigSpace>(w.bus, w.port, w.portBase, w.fault); }
Chip window(const ChipWiring& w)
{
    // The window takes the clock's place at 0xF073.
    w.rtc.setMirrorAtF073(false);
    return std::make_unique<CmosWindowChipset>(w.rtc, w.port, w.port, w.portBase, w.fault);
}
Chip chipset100(const ChipWiring& w) { return std::make_unique<Chipset100>(w.port, Chipset100::Kind::Chipset, w.fault); }
Chip laptop(const ChipWiring& w) { return std::make_unique<LaptopChipset>(w.port, w.portBase, false, w.fault); }
Chip ps2Board(const ChipWiring& w) { return std::make_unique<Ps2SystemBoard>(w.port, w.portBase, w.fault); }
Chip chipset22(const ChipWiring& w) { return std::make_unique<IndexedChipset22>(w.fault); }

constexpr ParallelPortKind kSpp = ParallelPortKind::Spp;
constexpr ParallelPortKind kPs2 = ParallelPortKind::Ps2;
constexpr ParallelPortKind kEpp = ParallelPortKind::Epp;
constexpr ParallelPortKind kEcp = ParallelPortKind::Ecp;

// The SMC and Winbond chips' ports are ECP ports: the driver sets the ECR
// to EPP. The PCI function's port gains EPP from its configuration
// register; on natsemi, window, chipset100 and laptop the chip decides.
const std::vector<HostKindInfo> kTable = {
    // name, description,
    //   port, bidirectional and EPP at power-on, bit 7 direction, PIC mirrors, chip,
    //   bit-7 reads, bidirectional reads, EPP, offered
    {"plain", "standard port: output-only data lines, no EPP",
     kSpp, false, false, false, false, nullptr, false, false, false, true},
    {"ps2", "PS/2 board port, bidirectional once switched (0x102)",
     kPs2, false, false, false, false, ps2Board, false, true, false, true},
    {"epp", "port with hardware EPP that needs no chip set-up",
     kEpp, true, true, false, false, nullptr, false, true, true, true},
    {"smc", "ECP port of an SMC FDC37C665GT (config at 0x3F0)",
     kEcp, true, false, false, false, smc, false, true, true, true},
    {"smc669", "ECP port of an SMC FDC37C669 (config at 0x3F0)",
     kEcp, true, false, false, false, smc669, false, true, true, true},
    {"smc669at370", "ECP port of an SMC FDC37C669 (config at 0x370)",
     kEcp, true, false, false, false, smc669At370, false, true, true, true},
    {"smc669atea", "ECP port of an SMC FDC37C669 (config at 0xEA)",
     kEcp, true, false, false, false, smc669AtEa, false, true, true, true},
    {"smc666", "ECP port of an SMC FDC37C666GT (config at 0x3F0)",
     kEcp, true, false, false, false, smc666, false, true, true, true},
    {"smc666at370", "ECP port of an SMC FDC37C666GT (config at 0x370)",
     kEcp, true, false, false, false, smc666At370, false, true, true, true},
    {"smc666atea", "ECP port of an SMC FDC37C666GT (config at 0xEA)",
     kEcp, true, false, false, false, smc666AtEa, false, true, true, true},
    {"smc93x", "ECP port of an SMC FDC37C93x (config at 0x3F0)",
     kEcp, true, false, false, false, smc93x, false, true, true, true},
    {"smc93xat370", "ECP port of an SMC FDC37C93x (config at 0x370)",
     kEcp, true, false, false, false, smc93xAt370, false, true, true, true},
    {"smc93xatea", "ECP port of an SMC FDC37C93x (config at 0xEA)",
     kEcp, true, false, false, false, smc93xAtEa, false, true, true, true},
    {"natsemi", "port of a National Semiconductor PC873xx (0x398)",
     kEpp, false, false, false, false, natsemi, false, false, true, true},
    {"natsemi26e", "port of a National Semiconductor PC873xx (0x26E)",
     kEpp, false, false, false, false, natsemiAt26e, false, false, true, true},
    {"natsemi15c", "port of a National Semiconductor PC873xx (0x15C)",
     kEpp, false, false, false, false, natsemiAt15c, false, false, true, true},
    {"natsemi2e", "port of a National Semiconductor PC873xx (0x2E)",
     kEpp, false, false, false, false, natsemiAt2e, false, false, true, true},
    {"winbond", "ECP port of a Winbond W83877F (0x250, key 0x89)",
     kEcp, true, false, false, false, winbond, false, true, true, true},
    {"winbond88", "ECP port of a Winbond W83877F (0x250, key 0x88)",
     kEcp, true, false, false, false, winbond88, false, true, true, true},
    {"pci", "ECP port of a PCI function (bus 0, device 2)",
     kEpp, true, false, false, false, pci, false, true, true, true},
    {"window", "port of the chipset behind the window at 0xF073",
     kEpp, false, false, false, false, window, false, false, true, true},
    {"chipset100", "port at 0x378 switched by chipset pair 0x100/0x101",
     kEpp, false, false, false, false, chipset100, false, false, true, true},
    {"laptop", "port of a laptop chipset (0x22-0x25, 0xAE/0xAF)",
     kEpp, false, false, false, false, laptop, false, false, true, true},
    {"picmirror", "EPP port; interrupt controller mirrored at 0x22/0x23",
     kEpp, true, true, false, true, nullptr, false, true, true, true},
    {"chipset22", "standard port; unidentified chipset at 0x22/0x23",
     kSpp, false, false, false, false, chipset22, false, false, false, true},
    // A PS/2-style port whose data direction is control bit 7 (bits 6 and 7
    // read back as written, base + 7 decoded): read modes 6 and 7, which the
    // driver takes only when asked for them.
    {"byte7", "PS/2-style port turned around by control bit 7",
     kPs2, true, false, true, false, nullptr, true, false, false, true},
};

}  // namespace

const std::vector<HostKindInfo>& hostKindTable() { return kTable; }

const std::vector<HostKindInfo>& hostKinds()
{
    static const std::vector<HostKindInfo> offered = [] {
        std::vector<HostKindInfo> kinds;
        for (const HostKindInfo& k : kTable)
            if (k.offered) kinds.push_back(k);
        return kinds;
    }();
    return offered;
}

const HostKindInfo* findHostKind(const std::string& name)
{
    for (const HostKindInfo& k : kTable)
        if (name == k.name) return &k;
    return nullptr;
}

bool isHostKind(const std::string& name)
{
    const HostKindInfo* kind = findHostKind(name);
    return kind && kind->offered;
}

}  // namespace sim
