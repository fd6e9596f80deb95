// The argument-string parser: switches, keywords, malformed values, the
// bound on the text, and the text left in lower case.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "miniport/parameters.h"
#include "miniport/request.h"

namespace {

// Parses a writable copy; keywords are passed as the literals they are.
uint32_t parse(std::string& text, const char* keyword, uint32_t mode)
{
    return ParseArguments(&text[0], (uint32_t)text.size(), keyword, mode);
}
uint32_t keyword(std::string text, const char* name) { return parse(text, name, 1); }

using P = DriverParametersRecord;

TEST(Arguments, EachSwitchSetsItsFieldAndNoOther)
{
    const std::tuple<const char*, uint8_t P::*, int> cases[] = {
        {"/di", &P::PollingMode, 1},     {"/de", &P::NoEppHost, 1},      {"/dei", &P::NoEppHost, 1},
        {"/ded", &P::Epp32Off, 1},       {"/fed", &P::Epp32On, 1},       {"/da", &P::NoModeNegotiation, 1},
        {"/dp", &P::NoPs2Detect, 1},     {"/dt", &P::NoTimer, 1},        {"/dm", &P::NoMultipleMode, 1},
        {"/dx", &P::EchoModes, 1},       {"xx /d", &P::EchoModes, 1},    {"/fb", &P::FastBusWanted, 1},
        {"/DI", &P::PollingMode, 1},     {"port=0x278;/dt;irq=5", &P::NoTimer, 1},
        {"/fe /ep /sp /sf /ii /i7 /wr /wb /rb /q /", &P::EchoModes, 0}};
    for (const auto& c : cases) {
        DriverImageReset();
        P expected = DriverParameters;
        expected.*std::get<1>(c) = (uint8_t)std::get<2>(c);
        std::string text = std::get<0>(c);
        EXPECT_EQ(parse(text, "Not necessary(dummy)", 0), 1u);
        EXPECT_EQ(0, std::memcmp(&expected, &DriverParameters, sizeof expected)) << std::get<0>(c);
    }
}

TEST(Arguments, NumberedSwitches)
{
    DriverImageReset();
    const std::tuple<const char*, uint16_t P::*, int> standby[] = {{"/a5", &P::StandbyTime, 5400},
                                                                    {"/a25", &P::StandbyTime, 17280},
                                                                    {"/a", &P::StandbyTime, 17280}};
    for (const auto& c : standby) {
        std::string text = std::get<0>(c);
        parse(text, "", 0);
        EXPECT_EQ(DriverParameters.*std::get<1>(c), std::get<2>(c)) << std::get<0>(c);
    }
    std::string outOfRange = "/r12 /w5";
    parse(outOfRange, "", 0);
    EXPECT_EQ(DriverParameters.ReadMode, 2);
    EXPECT_EQ(DriverParameters.WriteMode, 2);
    EXPECT_EQ(DriverParameters.ModesForced, 0);
    std::string modes = "/r10/w3/z5";
    parse(modes, "", 0);
    EXPECT_EQ(DriverParameters.ReadMode, 10);
    EXPECT_EQ(DriverParameters.WriteMode, 3);
    EXPECT_EQ(DriverParameters.ModesForced, 1);
    EXPECT_EQ(DriverParameters.Reg83Param, 5);
    EXPECT_EQ(DriverParameters.Reg83Given, 1);
}

TEST(Arguments, Keywords)
{
    EXPECT_EQ(keyword("port = 0x278; irq=5", "port"), 0x278u);
    EXPECT_EQ(keyword("port = 0x278; irq=5", "irq"), 5u);
    EXPECT_EQ(keyword("port=0x278 irq=5", "port"), 0x278u);
    EXPECT_EQ(keyword("port=0x278 irq=5", "irq"), 0u);  // only ';' separates entries
    EXPECT_EQ(keyword("Port=0X3BC", "port"), 0x3BCu);
    EXPECT_EQ(keyword("msn=2", "MSN"), 2u);             // the literal is compared, not written
    EXPECT_EQ(keyword("\t size =\t64 ;", "size"), 64u);
    EXPECT_EQ(keyword("irq=;irq=9", "irq"), 9u);
    EXPECT_EQ(keyword("portx=5;port=7", "port"), 7u);
    EXPECT_EQ(keyword("sort=5;port=7", "port"), 7u);  // every letter of the keyword counts
    EXPECT_EQ(keyword("bize=9", "size"), 0u);
    EXPECT_EQ(keyword("size=4294967297", "size"), 1u);  // 32-bit accumulation
    for (const char* bad : {"port=0x378/dt", "port=5x;port=6", "port=0x", "port", "port=", "irq=5", "po", "",
                            "port=0x1g"})
        EXPECT_EQ(keyword(bad, "port"), 0u) << bad;

    std::string text = "PORT=0X3BC;/DT;IRQ=5";
    parse(text, "irq", 1);
    EXPECT_EQ(text, "port=0x3bc;/dt;irq=5");  // left in lower case
}

// Nothing at or past the bound is read or written, even without a NUL.
TEST(Arguments, BoundWithoutTerminator)
{
    DriverImageReset();
    const char text[] = "size=12;/dI";
    std::unique_ptr<char[]> raw(new char[sizeof text - 1]);
    std::memcpy(raw.get(), text, sizeof text - 1);
    EXPECT_EQ(ParseArguments(raw.get(), 10, "", 0), 1u);  // ends right after "/d"
    EXPECT_EQ(DriverParameters.EchoModes, 1);
    EXPECT_EQ(DriverParameters.PollingMode, 0);
    EXPECT_EQ(raw[10], 'I');
    EXPECT_EQ(ParseArguments(raw.get(), 6, "size", 1), 1u);
    EXPECT_EQ(ParseArguments(raw.get(), 4, "size", 1), 0u);
    EXPECT_EQ(ParseArguments(raw.get(), 3, "size", 1), 0u);

    char early[] = {'/', 'd', '\0', 'i', '/', 't'};  // a NUL inside the bound ends the text
    EXPECT_EQ(ParseArguments(early, sizeof early, "", 0), 1u);
    EXPECT_EQ(DriverParameters.NoTimer, 0);
    EXPECT_EQ(DriverParameters.PollingMode, 0);
}

}  // namespace
