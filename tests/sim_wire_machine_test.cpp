// The port and adapter models under the whole driver on a simulated PC:
// every machine kind and every forced mode pair must move sectors intact
// without a single protocol violation at the adapter.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "seam/nimb_driver.h"
#include "sim/ata/disk_image.h"
#include "sim/host/disk_client.h"
#include "sim/host/scsi_port_host.h"
#include "sim/machine/simulated_pc.h"
#include "sim/wire/nimb_adapter.h"

namespace {

struct MachineCase {
    std::string host;
    std::string arguments;  // empty: none
    int readMode;           // expected mode byte halves, -1 = any
    int writeMode;
};

std::string caseName(const ::testing::TestParamInfo<MachineCase>& info)
{
    std::string name = info.param.host + "_r" + std::to_string(info.param.readMode) + "w" +
                       std::to_string(info.param.writeMode);
    for (char& c : name)
        if (c == '-') c = 'x';
    return name;
}

class SimWireMachine : public ::testing::TestWithParam<MachineCase> {};

TEST_P(SimWireMachine, SectorsRoundTripWithoutAdapterViolations)
{
    const MachineCase& c = GetParam();
    sim::PcConfig config;
    config.driver = seam::nimbDriver();
    config.host = c.host;
    config.imageBytes = 4ull << 20;
    if (!c.arguments.empty()) config.arguments = c.arguments;
    sim::SimulatedPc pc(config);
    ASSERT_TRUE(pc.boot().adapterFound) << pc.adapter().lastViolation();
    std::vector<uint8_t> data(40 * 512);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 31 + i / 512);
    ASSERT_EQ(pc.disk().write(100, data).srbStatus, SRB_STATUS_SUCCESS);
    std::vector<uint8_t> back;
    ASSERT_EQ(pc.disk().read(100, 40, back).srbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(back, data);
    EXPECT_EQ(pc.image().read(100, 40), data);
    EXPECT_EQ(pc.adapter().violationCount(), 0u) << pc.adapter().lastViolation();
    EXPECT_GT(pc.adapter().counters().blockBytesRead, 40u * 512u);
    uint8_t modes = pc.dataLatch();
    if (c.readMode >= 0) EXPECT_EQ(modes >> 4, c.readMode);
    if (c.writeMode >= 0) EXPECT_EQ(modes & 0x0F, c.writeMode);
}

std::vector<MachineCase> machineCases()
{
    std::vector<MachineCase> cases;
    for (const auto& kind : sim::hostKinds()) cases.push_back({kind.name, "", -1, -1});
    for (int r : {0, 1, 2, 3, 4, 5, 8, 9})
        for (int w : {0, 1, 2})
            cases.push_back({"epp", "/da /r" + std::to_string(r) + " /w" + std::to_string(w), r, w});
    cases.push_back({"epp", "/da /r10 /w3", 10, 3});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(All, SimWireMachine, ::testing::ValuesIn(machineCases()), caseName);

}  // namespace
