// The driver's whole conversation with the hardware, pinned. The protocol
// is exact: every repetition count, register order, wait and value on the
// wire is part of it. Each scenario below boots the driver on one machine,
// with one drive, port or argument string, and runs the class driver's
// usual requests; every port access it makes (virtual time, direction,
// width, port, value) is folded into one digest, which must equal the one
// recorded in tests/golden/wire_digests.txt.
//
// A change that alters what goes over the wire on purpose records the new
// digests with
//     NIMB_UPDATE_WIRE_DIGESTS=1 build/wire_digest_test
// and the diff of the golden file then shows which scenarios it touched.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "seam/nimb_driver.h"
#include "sim/ata/ata_drive.h"
#include "sim/ata/drive_presets.h"
#include "sim/bus/io_bus.h"
#include "sim/host/disk_client.h"
#include "sim/machine/host_kinds.h"
#include "sim/machine/simulated_pc.h"

namespace {

const std::string kGolden = [] {
    std::string here = __FILE__;
    return here.substr(0, here.rfind("tests/")) + "tests/golden/wire_digests.txt";
}();

bool updating() { return std::getenv("NIMB_UPDATE_WIRE_DIGESTS") != nullptr; }

struct Scenario {
    std::string name;
    std::string host = "epp";
    std::string drive = "fixed";
    uint16_t port = 0x378;
    bool adapter = true;
    std::string arguments;
    sim::ChipFault chipFault = sim::ChipFault::None;
    std::function<void(sim::DriveConfig&)> configure;  // the drive, before it is built
    std::function<void(sim::SimulatedPc&)> fault;      // after the disk is found
};

std::ostream& operator<<(std::ostream& out, const Scenario& s) { return out << s.name; }

std::vector<Scenario> scenarios()
{
    std::vector<Scenario> all;
    for (const sim::HostKindInfo& kind : sim::hostKinds()) {
        Scenario s;
        s.name = std::string("host_") + kind.name;
        s.host = kind.name;
        all.push_back(s);
    }
    // Chips that answer but do not switch, or answer one read wrongly.
    for (const sim::HostKindInfo& kind : sim::hostKinds()) {
        if (!kind.buildChip) continue;
        for (sim::ChipFault fault : {sim::ChipFault::SwitchIgnored, sim::ChipFault::WrongAnswer}) {
            Scenario s;
            s.name = std::string("chip_") + kind.name +
                     (fault == sim::ChipFault::SwitchIgnored ? "_switch_ignored" : "_wrong_answer");
            s.host = kind.name;
            s.chipFault = fault;
            all.push_back(s);
        }
    }
    // A bus reset while a read waits for the drive: the port driver ends the
    // read, and the drive, still busy with it, is reset and programmed again.
    for (const char* drive : {"fixed", "removable"}) {
        for (const char* arguments : {"", "/a2"}) {
            Scenario s;
            s.name = std::string("reset_during_read_") + drive + (*arguments ? "_standby" : "");
            s.drive = drive;
            s.arguments = arguments;
            s.fault = [](sim::SimulatedPc& pc) {
                static std::vector<uint8_t> buffer(32 * 512);
                SCSI_REQUEST_BLOCK* srb = pc.host().makeSrb(SRB_FUNCTION_EXECUTE_SCSI);
                srb->CdbLength = 10;
                srb->Cdb[0] = 0x28;
                srb->Cdb[4] = 0x10;
                srb->Cdb[8] = 32;
                srb->SrbFlags = SRB_FLAGS_DATA_IN | SRB_FLAGS_DISABLE_AUTOSENSE;
                srb->DataBuffer = buffer.data();
                srb->DataTransferLength = uint32_t(buffer.size());
                srb->TimeOutValue = 10;
                pc.host().start(srb);
                pc.host().pumpOnce();
                pc.host().resetBus(0);
                pc.host().run(sim::kSecond);
            };
            all.push_back(s);
        }
    }
    // A bus reset between requests: the drive is reset and programmed again,
    // with and without a standby time to set.
    for (const char* arguments : {"", "/a2"}) {
        for (const char* drive : {"fixed", "iota", "chs"}) {
            Scenario s;
            s.name = std::string("bus_reset_") + drive + (*arguments ? "_standby" : "");
            s.drive = drive;
            s.arguments = arguments;
            s.fault = [](sim::SimulatedPc& pc) { pc.host().resetBus(0); };
            all.push_back(s);
        }
    }
    for (const sim::DrivePresetInfo& preset : sim::drivePresetInfos()) {
        for (const char* host : {"epp", "plain"}) {
            Scenario s;
            s.name = std::string("drive_") + preset.name + "_" + host;
            s.host = host;
            s.drive = preset.name;
            all.push_back(s);
        }
    }
    const std::pair<const char*, const char*> argumentCases[] = {
        {"polled", "/di"},          {"no_timer_single", "/dt /dm"}, {"echo_modes", "/dt /d"},
        {"single_sector", "/dm"},   {"no_epp_host", "/dei"},        {"no_epp32", "/ded"},
        {"epp32", "/fed"},          {"fast_bus", "/fb"},            {"read5_write1", "/r5 /w1"},
        {"read4_write2", "/r4 /w2"}, {"read9_write1", "/r9 /w1"},   {"read1_write1", "/r1 /w1"},
        {"read2_write2", "/r2 /w2"}, {"small_transfers", "size=8"}, {"port_278", "port=0x278"},
        {"epp8_read_epp32_write", "/r10 /w4"}, {"epp32_read_epp8_write", "/r11 /w3"}};
    for (const auto& a : argumentCases) {
        for (const char* host : {"epp", "plain", "ps2"}) {
            Scenario s;
            s.name = std::string("args_") + a.first + "_" + host;
            s.host = host;
            s.arguments = a.second;
            all.push_back(s);
        }
    }
    for (uint16_t port : {uint16_t(0x278), uint16_t(0x3BC)}) {
        for (const char* host : {"epp", "plain"}) {
            Scenario s;
            std::ostringstream name;
            name << "port_" << std::hex << port << "_" << host;
            s.name = name.str();
            s.host = host;
            s.port = port;
            all.push_back(s);
        }
    }
    // The drive's faults, on the EPP port (reads and writes wait for the
    // interrupt) and polled on the standard port.
    using Pc = sim::SimulatedPc;
    const std::pair<const char*, std::function<void(Pc&)>> faults[] = {
        {"unreadable", [](Pc& pc) { pc.drive().faults().addSector(104, sim::SectorFault::Uncorrectable); }},
        {"unreadable_with_data",
         [](Pc& pc) { pc.drive().faults().addSector(104, sim::SectorFault::UncorrectableWithData); }},
        {"id_not_found", [](Pc& pc) { pc.drive().faults().addSector(204, sim::SectorFault::IdNotFound); }},
        {"address_mark", [](Pc& pc) { pc.drive().faults().addSector(302, sim::SectorFault::AddressMarkNotFound); }},
        {"bad_block", [](Pc& pc) { pc.drive().faults().addSector(303, sim::SectorFault::BadBlock); }},
        {"corrected", [](Pc& pc) { pc.drive().faults().addSector(101, sim::SectorFault::Corrected); }},
        {"aborted_once",
         [](Pc& pc) {
             for (uint8_t op : {0x20, 0xC4, 0x30, 0xC5, 0x40}) pc.drive().faults().abortCommand(op, 1);
         }},
        {"lost_interrupts", [](Pc& pc) { pc.drive().faults().suppressInterrupts = sim::kAlways; }},
        {"stuck_mid_transfer",
         [](Pc& pc) {
             pc.drive().faults().stuckBusy = sim::StuckBusy::MidTransfer;
             pc.drive().faults().stuckAfterBlocks = 2;
         }},
        {"late_drq", [](Pc& pc) { pc.drive().faults().lateDrq = 3 * sim::kMillisecond; }},
        {"device_fault", [](Pc& pc) { pc.drive().faults().deviceFault = true; }},
        {"dsc_never", [](Pc& pc) { pc.drive().faults().dscNeverSet = true; }},
        {"drive_gone", [](Pc& pc) { pc.drive().faults().absent = true; }},
    };
    for (const auto& f : faults) {
        for (const char* host : {"epp", "plain"}) {
            Scenario s;
            s.name = std::string("fault_") + f.first + "_" + host;
            s.host = host;
            if (std::string(host) == "plain") s.arguments = "/di";
            s.fault = f.second;
            all.push_back(s);
        }
    }
    // Recoveries that reset the drive and program it again, standby time
    // included.
    for (const auto& f : faults) {
        std::string name = f.first;
        if (name != "stuck_mid_transfer" && name != "aborted_once" && name != "device_fault") continue;
        for (const char* drive : {"fixed", "removable"}) {
            Scenario s;
            s.name = "fault_" + name + "_standby_" + drive;
            s.drive = drive;
            s.arguments = "/a2";
            s.fault = f.second;
            all.push_back(s);
        }
    }
    // Removable media: taken out, changed by the operator, a change the
    // drive never clears.
    const std::pair<const char*, std::function<void(Pc&)>> media[] = {
        {"removed", [](Pc& pc) { pc.drive().removeMedium(); }},
        {"eject_button", [](Pc& pc) { pc.drive().pressEjectButton(); }},
        {"sticky_change", [](Pc& pc) { pc.drive().faults().stickyMediaChange = true; }},
    };
    for (const auto& m : media) {
        for (const char* drive : {"iota", "syquest", "removable"}) {
            Scenario s;
            s.name = std::string("media_") + m.first + "_" + drive;
            s.drive = drive;
            s.fault = m.second;
            all.push_back(s);
        }
    }
    for (const char* drive : {"iota", "syquest", "removable"}) {
        for (const char* msn : {"MSN=0", "MSN=1", "MSN=2"}) {
            Scenario s;
            s.name = std::string("msn_") + drive + "_" + msn[4];
            s.drive = drive;
            s.arguments = msn;
            all.push_back(s);
        }
    }
    // Geometries at the edges of the translation and the head-count bit.
    const std::tuple<const char*, uint16_t, uint16_t, uint16_t, bool> geometries[] = {
        {"chs_8_heads_own_only", 1224, 8, 17, false},
        {"chs_9_heads_own_only", 1100, 9, 17, false},
        {"chs_7_heads", 900, 7, 17, true},
        {"chs_16_heads_1024", 1024, 16, 63, true},
        {"chs_4096_cylinders", 4096, 16, 63, true},
        {"chs_small", 10, 10, 10, true},
    };
    for (const auto& g : geometries) {
        Scenario s;
        s.name = std::string("geometry_") + std::get<0>(g);
        s.drive = "chs";
        s.configure = [g](sim::DriveConfig& d) {
            d.cylinders = std::get<1>(g);
            d.heads = std::get<2>(g);
            d.sectorsPerTrack = std::get<3>(g);
            d.capacitySectors = uint64_t(d.cylinders) * d.heads * d.sectorsPerTrack;
            d.translatesGeometry = std::get<4>(g);
            d.defaultImageBytes = d.capacitySectors * 512;
        };
        all.push_back(s);
    }
    // Model names one character away from a family the driver treats apart.
    const std::tuple<const char*, const char*, const char*> models[] = {
        {"iota_sibling", "iota", "Iota Memories 43 100MB"},
        {"iota_lower_case", "iota", "iota Memories 42 100MB"},
        {"conner_sibling", "conner", "Conner PeripX 20MB Disk"},
        {"syquest_sibling", "syquest", "SyQuesT 270MB"},
    };
    for (const auto& m : models) {
        Scenario s;
        s.name = std::string("model_") + std::get<0>(m);
        s.drive = std::get<1>(m);
        std::string model = std::get<2>(m);
        s.configure = [model](sim::DriveConfig& d) { d.model = model; };
        all.push_back(s);
    }
    for (const char* host : {"epp", "plain", "smc", "natsemi", "ps2"}) {
        Scenario s;
        s.name = std::string("no_adapter_") + host;
        s.host = host;
        s.adapter = false;
        all.push_back(s);
    }
    return all;
}

// FNV-1a over every field of every access.
uint64_t digest(const std::vector<sim::IoAccess>& accesses)
{
    uint64_t h = 1469598103934665603ull;
    auto mix = [&h](uint64_t v, int bytes) {
        for (int i = 0; i < bytes; ++i) {
            h ^= (v >> (8 * i)) & 0xFF;
            h *= 1099511628211ull;
        }
    };
    for (const sim::IoAccess& a : accesses) {
        mix(uint64_t(a.time), 8);
        mix(a.port, 2);
        mix(a.width, 1);
        mix(a.write ? 1 : 0, 1);
        mix(a.value, 4);
    }
    return h;
}

std::string fingerprint(const std::vector<sim::IoAccess>& accesses)
{
    std::ostringstream out;
    out << accesses.size() << " " << std::hex << digest(accesses);
    return out.str();
}

std::map<std::string, std::string> loadGolden()
{
    std::map<std::string, std::string> golden;
    std::ifstream in(kGolden);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        size_t space = line.find(' ');
        if (space != std::string::npos) golden[line.substr(0, space)] = line.substr(space + 1);
    }
    return golden;
}

std::map<std::string, std::string>& recordedNow()
{
    static std::map<std::string, std::string> recorded;
    return recorded;
}

// Boots the scenario's machine and runs what a class driver does with a
// disk: find it, read, write and verify, and for a removable medium lock,
// unlock and eject it. Returns every port access made.
std::vector<sim::IoAccess> run(const Scenario& s)
{
    sim::PcConfig config;
    config.driver = seam::nimbDriver();
    config.host = s.host;
    config.drive = s.drive;
    config.adapterPort = s.port;
    config.adapterPresent = s.adapter;
    if (!s.arguments.empty()) config.arguments = s.arguments;
    if (s.drive == "fixed") config.imageBytes = 8ull << 20;
    config.configureDrive = s.configure;
    config.chipFault = s.chipFault;
    sim::SimulatedPc pc(config);
    pc.bus().startRecording();
    const sim::BootReport& boot = pc.boot();
    if (boot.adapterFound) {
        sim::DiskClient& disk = pc.disk();
        sim::DiskInfo info = disk.identify();
        if (s.fault) s.fault(pc);
        std::vector<uint8_t> data;
        disk.read(100, 8, data);
        std::vector<uint8_t> out(8 * 512);
        for (size_t i = 0; i < out.size(); ++i) out[i] = uint8_t(i * 13 + (i >> 9));
        disk.write(200, out);
        disk.verify(300, 8);
        disk.read(200, 8, data);
        if (!s.fault) EXPECT_EQ(data, out) << "the data written did not come back";
        disk.read10(0xFFFFFF, 1, data.data(), 512);  // past the end
        if (info.inquiry.removable) {
            disk.preventAllow(true);
            disk.eject();
            disk.preventAllow(false);
            disk.eject();
            disk.testUnitReady();
        }
    }
    pc.bus().stopRecording();
    return pc.bus().recorded();
}

class WireDigest : public ::testing::TestWithParam<Scenario> {};

TEST_P(WireDigest, MatchesTheRecordedConversation)
{
    const Scenario& s = GetParam();
    std::string now = fingerprint(run(s));
    if (updating()) {
        static std::mutex lock;
        std::lock_guard<std::mutex> guard(lock);
        recordedNow()[s.name] = now;
        return;
    }
    static const std::map<std::string, std::string> golden = loadGolden();
    auto it = golden.find(s.name);
    ASSERT_NE(it, golden.end()) << "no digest recorded for " << s.name
                                << "; record them with NIMB_UPDATE_WIRE_DIGESTS=1";
    EXPECT_EQ(now, it->second) << "the port accesses of " << s.name
                               << " changed (accesses, digest); if on purpose, record them again";
}

INSTANTIATE_TEST_SUITE_P(Scenarios, WireDigest, ::testing::ValuesIn(scenarios()),
                         [](const ::testing::TestParamInfo<Scenario>& info) { return info.param.name; });

// Writes the digests recorded by this run when asked to.
class GoldenWriter : public ::testing::Environment {
public:
    void TearDown() override
    {
        if (!updating() || recordedNow().empty()) return;
        std::map<std::string, std::string> all = loadGolden();
        for (const auto& r : recordedNow()) all[r.first] = r.second;
        std::ofstream out(kGolden);
        out << "# scenario, port accesses, FNV-1a digest of every access (tests/wire_digest_test.cpp)\n";
        for (const auto& r : all) out << r.first << " " << r.second << "\n";
    }
};

const auto* const kWriter = ::testing::AddGlobalTestEnvironment(new GoldenWriter);

}  // namespace
