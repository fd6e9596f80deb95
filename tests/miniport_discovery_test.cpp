// Registration on both buses and discovery on the whole simulated PC: the
// registration record, the candidate walk, the configuration record, the
// size, interrupt and mode options, and one adapter found at most.
#include <gtest/gtest.h>

#include "miniport/parameters.h"
#include "miniport/request.h"
#include "seam/nimb_driver.h"
#include "support/miniport_pc.h"

using miniport_test::makePc;

namespace {

// One adapter at most: the second bus does not find it again; the adapter
// is found on the Micro Channel bus alone; both failing gives the smaller code.
TEST(Registration, BothBuses)
{
    auto both = makePc();
    both->host().config().microChannelBus = true;
    EXPECT_EQ(both->boot().driverStatus, 0u);
    EXPECT_EQ(both->host().adapterCount(), 1u);
    EXPECT_NE(both->host().registrations()[1].status, 0u);
    EXPECT_EQ(both->host().mappings().size(), 1u);  // the second walk maps nothing
    for (const auto& reg : both->host().registrations()) {
        EXPECT_EQ(reg.data.DeviceExtensionSize, sizeof(AdapterExtension));
        EXPECT_EQ(reg.data.SpecificLuExtensionSize, sizeof(UnitExtension));
        EXPECT_TRUE(reg.data.MapBuffers && !reg.data.AutoRequestSense && !reg.data.MultipleRequestPerLu);
    }
    EXPECT_EQ(both->host().registrations()[1].bus, MicroChannel);

    auto mca = makePc();
    mca->host().config().isaBus = false;
    mca->host().config().microChannelBus = true;
    EXPECT_EQ(mca->boot().driverStatus, 0u);
    ASSERT_EQ(mca->host().adapterCount(), 1u);
    EXPECT_EQ(mca->host().adapter().config.InterruptMode, LevelSensitive);

    for (uint32_t notFound : {0xC00000C0u, 0xC0000001u}) {
        sim::PcConfig config;
        config.driver = seam::nimbDriver();
        config.adapterPresent = false;
        sim::SimulatedPc none(config);
        none.host().config().notFoundStatus = notFound;
        none.host().config().absentBusStatus = 0xC000000Eu;
        EXPECT_EQ(none.boot().driverStatus, std::min(notFound, 0xC000000Eu));
        // Every candidate was tried and given back.
        EXPECT_EQ(none.report().portsTried, (std::vector<uint16_t>{0x378, 0x3BC, 0x278}));
        EXPECT_TRUE(none.host().heldMappings().empty());
    }
}

struct WalkCase {
    uint16_t adapterPort;
    const char* arguments;  // nullptr: none
    std::vector<uint16_t> tried;
    uint32_t rangeLength;
    uint32_t level;
};

class Walk : public ::testing::TestWithParam<WalkCase> {};

TEST_P(Walk, FindsTheAdapterAndDescribesIt)
{
    const WalkCase& c = GetParam();
    auto pc = makePc("fixed", c.adapterPort, c.arguments ? std::optional<std::string>(c.arguments) : std::nullopt);
    const sim::BootReport& r = pc->boot();
    ASSERT_TRUE(r.adapterFound);
    EXPECT_EQ(r.port, c.adapterPort);
    EXPECT_EQ(r.portsTried, c.tried);
    EXPECT_EQ(r.interruptLevel, c.level);
    EXPECT_EQ(r.maximumTransferLength, 65536u);
    auto held = pc->host().heldMappings();
    ASSERT_EQ(held.size(), 1u);
    EXPECT_EQ(held[0].length, c.rangeLength);
    const sim::AdapterRecord& a = pc->host().adapter();
    EXPECT_EQ(a.accessRanges[0].RangeLength, c.rangeLength);
    EXPECT_EQ(a.config.InitiatorBusId[0], 7);
    EXPECT_EQ(a.config.NumberOfBuses, 1);
    EXPECT_EQ(a.config.InterruptMode, Latched);
    EXPECT_EQ(pc->host().violationCount(), 0u) << pc->host().violationText();
}

INSTANTIATE_TEST_SUITE_P(Ports, Walk,
                         ::testing::Values(WalkCase{0x378, nullptr, {0x378}, 8, 7},
                                           WalkCase{0x278, nullptr, {0x378, 0x3BC, 0x278}, 8, 5},
                                           WalkCase{0x3BC, "Port=0x3BC", {0x3BC}, 3, 7},
                                           WalkCase{0x378, "irq=5", {0x378}, 8, 5},
                                           WalkCase{0x378, "irq=15", {0x378}, 8, 7}));

// Never more than one ATA command can move (255 sectors).
TEST(Discovery, SizeAndInterruptOptions)
{
    const std::pair<const char*, uint32_t> sizes[] = {{"size=63", 65536},       {"size=64", 65536},
                                                      {"size=1", 2048},         {"size=127", 255 * 512},
                                                      {"size=4294967295", 255 * 512}};
    for (const auto& c : sizes)
        EXPECT_EQ(makePc("fixed", 0x378, std::string(c.first))->boot().maximumTransferLength, c.second) << c.first;

    auto polling = makePc("fixed", 0x378, std::string("/di;irq=5"));
    polling->host().config().interruptLevel = 9;
    EXPECT_EQ(polling->boot().interruptLevel, 0u);
    auto given = makePc("fixed", 0x378, std::string("irq=5"));
    given->host().config().interruptLevel = 9;
    EXPECT_EQ(given->boot().interruptLevel, 9u);
}

// Without an adapter the modes stay as the options and their pairing left them.
TEST(Discovery, FastModesArePaired)
{
    const std::tuple<const char*, int, int, int> cases[] = {
        {"/w3", 10, 3, 1}, {"/r10", 10, 3, 1}, {"/r10 /de", 2, 2, 0}, {"/w3/de", 2, 2, 0}, {"/r4/w1", 4, 1, 1}};
    for (const auto& c : cases) {
        sim::PcConfig config;
        config.driver = seam::nimbDriver();
        config.adapterPresent = false;
        config.arguments = std::get<0>(c);
        sim::SimulatedPc pc(config);
        pc.boot();
        EXPECT_EQ(DriverParameters.ReadMode, std::get<1>(c)) << std::get<0>(c);
        EXPECT_EQ(DriverParameters.WriteMode, std::get<2>(c)) << std::get<0>(c);
        EXPECT_EQ(DriverParameters.ModesForced, std::get<3>(c)) << std::get<0>(c);
    }
}

}  // namespace
