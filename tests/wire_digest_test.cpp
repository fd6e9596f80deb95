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
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "seam/nimb_driver.h"
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
        {"read2_write2", "/r2 /w2"}, {"small_transfers", "size=8"}, {"port_278", "port=0x278"}};
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
    sim::SimulatedPc pc(config);
    pc.bus().startRecording();
    const sim::BootReport& boot = pc.boot();
    if (boot.adapterFound) {
        sim::DiskClient& disk = pc.disk();
        sim::DiskInfo info = disk.identify();
        std::vector<uint8_t> data;
        disk.read(100, 8, data);
        std::vector<uint8_t> out(8 * 512);
        for (size_t i = 0; i < out.size(); ++i) out[i] = uint8_t(i * 13 + (i >> 9));
        disk.write(200, out);
        disk.verify(300, 8);
        disk.read(200, 8, data);
        EXPECT_EQ(data, out) << "the data written did not come back";
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
