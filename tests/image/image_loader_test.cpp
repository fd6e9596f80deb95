// The driver image nimb.sys loaded into this 32-bit process: where it lands,
// what the relocations and protections make of it, how its imports and
// port instructions reach the simulated machine, and that a break of the
// calling convention on either side of the boundary is caught.
#include <gtest/gtest.h>

#include <sys/mman.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "imagehost/image_loader.h"
#include "imagehost/pe_image.h"
#include "imagehost/port_trap.h"
#include "sim/bus/io_bus.h"
#include "sim/host/disk_client.h"
#include "sim/host/driver_call.h"
#include "sim/host/scsi_port_host.h"
#include "sim/machine/simulated_pc.h"

using imagehost::HostOperation;
using imagehost::LoadedImage;
using imagehost::LoadOptions;

namespace {

std::vector<uint8_t> readImageFile()
{
    std::ifstream in(NIMB_SYS_IMAGE, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::unique_ptr<LoadedImage> loadImage(const LoadOptions& options = {})
{
    std::string error;
    auto image = LoadedImage::load(std::string(NIMB_SYS_IMAGE), options, error);
    EXPECT_TRUE(image) << error;
    return image;
}

// The image as a machine's driver (the loader stays alive with it).
sim::DriverImage driverOf(std::shared_ptr<LoadedImage> image)
{
    sim::DriverImage driver;
    driver.entry = reinterpret_cast<ULONG(NTAPI*)(PVOID, PVOID)>(const_cast<void*>(image->entry()));
    driver.reset = [image] { image->reset(); };
    return driver;
}

struct Mapping {
    uintptr_t start, end;
    std::string perms;
};

std::vector<Mapping> processMappings()
{
    std::vector<Mapping> maps;
    std::ifstream in("/proc/self/maps");
    std::string line;
    while (std::getline(in, line)) {
        unsigned long a = 0, b = 0;
        char perms[8] = {};
        if (std::sscanf(line.c_str(), "%lx-%lx %4s", &a, &b, perms) == 3)
            maps.push_back({a, b, perms});
    }
    return maps;
}

std::string permsAt(uintptr_t address)
{
    for (const Mapping& m : processMappings())
        if (address >= m.start && address < m.end) return m.perms.substr(0, 3);
    return "unmapped";
}

uint32_t word(const uint8_t* p)
{
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

}  // namespace

TEST(ImageLoad, LandsAwayFromItsPreferredBaseWhichStaysInaccessible)
{
    auto image = loadImage();
    ASSERT_TRUE(image);
    EXPECT_EQ(image->info().imageBase, 0x10000u);
    EXPECT_NE(image->base(), image->info().imageBase);
    EXPECT_EQ(permsAt(image->info().imageBase), "---");
    EXPECT_EQ(permsAt(image->info().imageBase + image->info().sizeOfImage - 1), "---");
}

TEST(ImageLoad, EveryRelocatedWordMovesByTheDistanceAndNoOtherWordMoves)
{
    auto image = loadImage();
    ASSERT_TRUE(image);
    const std::vector<uint8_t> file = readImageFile();
    const std::vector<uint8_t> asBuilt = imagehost::layOutImage(image->info(), file.data(), file.size());
    const auto* mapped = reinterpret_cast<const uint8_t*>(uintptr_t(image->base()));
    const uint32_t delta = image->base() - image->info().imageBase;
    ASSERT_GT(image->info().relocations.size(), 100u);
    std::vector<bool> fixed(asBuilt.size(), false);
    for (uint32_t rva : image->info().relocations) {
        EXPECT_EQ(word(mapped + rva), word(asBuilt.data() + rva) + delta) << "fixup at RVA " << rva;
        for (int i = 0; i < 4; ++i) fixed[rva + i] = true;
    }
    // The import slots hold thunk addresses and the primitives' first bytes
    // a jump; every other byte of code and read-only data is as built.
    for (const imagehost::PeSection& s : image->info().sections) {
        if (s.characteristics & imagehost::kSectionWrite) continue;
        if (s.name == ".idata") continue;
        size_t differing = 0;
        for (uint32_t i = s.virtualAddress; i < s.virtualAddress + s.virtualSize; ++i)
            if (!fixed[i] && mapped[i] != asBuilt[i]) ++differing;
        EXPECT_LE(differing, s.name == ".text" ? 8u * 5 : 0u) << s.name;
    }
}

TEST(ImageLoad, EachSectionHasTheProtectionItsHeaderAsksFor)
{
    auto image = loadImage();
    ASSERT_TRUE(image);
    int checked = 0;
    for (const imagehost::PeSection& s : image->info().sections) {
        std::string want = "r";
        want += (s.characteristics & imagehost::kSectionWrite) ? "w" : "-";
        want += (s.characteristics & imagehost::kSectionExecute) ? "x" : "-";
        EXPECT_EQ(permsAt(image->base() + s.virtualAddress), want) << s.name;
        ++checked;
    }
    EXPECT_GE(checked, 4);
    EXPECT_EQ(permsAt(image->base() + image->info().sectionAlignment - 1), "r--");  // headers
}

TEST(ImageLoad, AnImportTheHostLacksIsRefusedByName)
{
    std::vector<uint8_t> file = readImageFile();
    const std::string name = "ScsiPortLogError";
    auto at = std::search(file.begin(), file.end(), name.begin(), name.end());
    ASSERT_NE(at, file.end());
    at[name.size() - 1] = 'X';
    // The checksum must still match, or the file is refused for that.
    uint32_t peOffset = word(file.data() + 0x3C);
    uint32_t sum = imagehost::peChecksum(file.data(), file.size());
    std::memcpy(file.data() + peOffset + 24 + 64, &sum, 4);
    std::string error;
    auto image = LoadedImage::load(file, LoadOptions(), error);
    EXPECT_FALSE(image);
    EXPECT_NE(error.find("ScsiPortLogErroX"), std::string::npos) << error;
    EXPECT_NE(error.find("not an operation the host provides"), std::string::npos) << error;
}

TEST(ImageLoad, ResetPutsEveryWritableByteBackAsLoaded)
{
    std::shared_ptr<LoadedImage> image = loadImage();
    ASSERT_TRUE(image);
    const auto* state = static_cast<const uint8_t*>(image->symbol("_LinkState"));
    ASSERT_NE(state, nullptr);
    std::vector<uint8_t> before(state, state + 64);
    sim::PcConfig config;
    config.driver = driverOf(image);
    {
        sim::SimulatedPc pc(config);
        ASSERT_TRUE(pc.boot().adapterFound);
    }
    EXPECT_NE(std::vector<uint8_t>(state, state + 64), before) << "booting changed nothing";
    image->reset();
    EXPECT_EQ(std::vector<uint8_t>(state, state + 64), before);
}

// --- Calls out of the image.

namespace {

unsigned gStalls = 0;
// The C convention: pops nothing, where the operation must pop 4 bytes.
extern "C" void stallPoppingNothing(ULONG) { ++gStalls; }

// Pops its argument but leaves EBX changed.
extern "C" void NTAPI stallClobberingEbx(ULONG);
__asm__(R"(
    .text
    .globl stallClobberingEbx
stallClobberingEbx:
    movl $0x12345678, %ebx
    ret $4
)");

std::vector<std::string> bootWith(const HostOperation& replacement)
{
    LoadOptions options;
    options.replacements.push_back(replacement);
    std::shared_ptr<LoadedImage> image = loadImage(options);
    if (!image) return {"no image"};
    sim::PcConfig config;
    config.driver = driverOf(image);
    sim::SimulatedPc pc(config);
    pc.boot();
    return pc.host().violations();
}

bool mentions(const std::vector<std::string>& lines, const std::string& a, const std::string& b)
{
    for (const std::string& l : lines)
        if (l.find(a) != std::string::npos && l.find(b) != std::string::npos) return true;
    return false;
}

}  // namespace

TEST(ImageBoundary, AnOperationBoundWithTheWrongPopCountIsCaught)
{
    gStalls = 0;
    auto violations = bootWith({"ScsiPortStallExecution",
                                reinterpret_cast<const void*>(&stallPoppingNothing), 4});
    EXPECT_GT(gStalls, 0u);
    EXPECT_TRUE(mentions(violations, "ScsiPortStallExecution",
                         "popped 0 bytes of arguments, not 4"))
        << ::testing::PrintToString(violations);
}

TEST(ImageBoundary, AnOperationThatChangesEbxIsCaught)
{
    auto violations = bootWith({"ScsiPortStallExecution",
                                reinterpret_cast<const void*>(&stallClobberingEbx), 4});
    EXPECT_TRUE(mentions(violations, "ScsiPortStallExecution", "EBX not preserved"))
        << ::testing::PrintToString(violations);
}

TEST(ImageBoundary, TheImageAsBuiltBootsWithoutAViolation)
{
    std::shared_ptr<LoadedImage> image = loadImage();
    ASSERT_TRUE(image);
    sim::PcConfig config;
    config.driver = driverOf(image);
    sim::SimulatedPc pc(config);
    ASSERT_TRUE(pc.boot().adapterFound);
    std::vector<uint8_t> block;
    EXPECT_TRUE(pc.disk().read(0, 8, block).good());
    EXPECT_EQ(block.size(), 8u * 512);
    EXPECT_EQ(pc.host().violationCount(), 0u) << pc.host().violationText();
}

TEST(ImageBoundary, AnEntryPointOfTheImageThatPopsTooLittleIsCaught)
{
    // HwStartIo as built ends with "ret 8"; the altered image's ends with
    // "ret 4", as a routine of the wrong convention with one argument would.
    std::vector<uint8_t> file = readImageFile();
    imagehost::PeImage info;
    std::string error;
    ASSERT_TRUE(imagehost::parsePeImage(file.data(), file.size(), info, error)) << error;
    const uint32_t rva = info.symbolRva("__Z9HwStartIoPvP19_SCSI_REQUEST_BLOCK@8");
    ASSERT_NE(rva, 0u);
    uint32_t offset = 0;
    for (const imagehost::PeSection& s : info.sections)
        if (rva >= s.virtualAddress && rva < s.virtualAddress + s.rawSize)
            offset = s.rawOffset + (rva - s.virtualAddress);
    ASSERT_NE(offset, 0u);
    unsigned patched = 0;
    for (uint32_t i = offset; i + 3 <= offset + 0x400 && i + 3 <= file.size(); ++i) {
        if (file[i] == 0xC2 && file[i + 1] == 0x08 && file[i + 2] == 0x00) {
            file[i + 1] = 0x04;
            ++patched;
            break;
        }
    }
    ASSERT_EQ(patched, 1u);
    uint32_t peOffset = word(file.data() + 0x3C);
    uint32_t sum = imagehost::peChecksum(file.data(), file.size());
    std::memcpy(file.data() + peOffset + 24 + 64, &sum, 4);

    std::shared_ptr<LoadedImage> image = LoadedImage::load(file, LoadOptions(), error);
    ASSERT_TRUE(image) << error;
    sim::PcConfig config;
    config.driver = driverOf(image);
    sim::SimulatedPc pc(config);
    ASSERT_TRUE(pc.boot().adapterFound);
    EXPECT_EQ(pc.host().violationCount(), 0u) << pc.host().violationText();
    std::vector<uint8_t> block;
    pc.disk().read(0, 1, block);
    EXPECT_NE(pc.host().violationText().find(
                  "call into HwStartIo: popped 4 bytes of arguments, not 8"),
              std::string::npos)
        << pc.host().violationText();
}

// --- Calls into a driver.

namespace {

extern "C" BOOLEAN cdeclInitialize(PVOID) { return TRUE; }
extern "C" BOOLEAN NTAPI initializeClobberingEsi(PVOID);
extern "C" BOOLEAN NTAPI initializeLeavingDirectionSet(PVOID);
__asm__(R"(
    .text
    .globl initializeClobberingEsi
initializeClobberingEsi:
    xorl %esi, %esi
    movb $1, %al
    ret $4
    .globl initializeLeavingDirectionSet
initializeLeavingDirectionSet:
    std
    movb $1, %al
    ret $4
)");

std::string violationsOfCall(PHW_INITIALIZE routine, BOOLEAN& result)
{
    sim::Clock clock;
    sim::IoBus bus(clock);
    sim::ScsiPortHost host(bus);
    sim::bindPlatformHost(&host);
    int marker = 0;
    result = sim::callDriver("HwInitialize", routine, static_cast<PVOID>(&marker));
    std::string text = host.violationText();
    sim::bindPlatformHost(nullptr);
    return text;
}

}  // namespace

TEST(DriverGate, ARoutineThatPopsNothingIsCaughtAndTheHostCarriesOn)
{
    BOOLEAN result = FALSE;
    std::string text =
        violationsOfCall(reinterpret_cast<PHW_INITIALIZE>(&cdeclInitialize), result);
    EXPECT_EQ(result, TRUE);
    EXPECT_NE(text.find("call into HwInitialize: popped 0 bytes of arguments, not 4"),
              std::string::npos)
        << text;
}

TEST(DriverGate, ARoutineThatChangesEsiIsCaught)
{
    BOOLEAN result = FALSE;
    std::string text = violationsOfCall(&initializeClobberingEsi, result);
    EXPECT_EQ(result, TRUE);
    EXPECT_NE(text.find("ESI not preserved"), std::string::npos) << text;
    EXPECT_EQ(text.find("EBX"), std::string::npos) << text;
}

TEST(DriverGate, ARoutineThatLeavesTheDirectionFlagSetIsCaught)
{
    BOOLEAN result = FALSE;
    std::string text = violationsOfCall(&initializeLeavingDirectionSet, result);
    EXPECT_NE(text.find("direction flag set"), std::string::npos) << text;
    // The gate cleared it again for the host.
    uint32_t flags = 0;
    __asm__ volatile("pushfl; popl %0" : "=r"(flags));
    EXPECT_EQ(flags & 0x400u, 0u);
}

TEST(DriverGate, TheOperationReturnsThePhysicalAddressInEdxEax)
{
    uint32_t eax = 0, edx = 0, espBefore = 0, espAfter = 0;
    __asm__ volatile(
        "movl %%esp, %2\n\t"
        "pushl $0x89ABCDEF\n\t"
        "call ScsiPortConvertUlongToPhysicalAddress\n\t"
        "movl %%esp, %3\n\t"
        : "=a"(eax), "=d"(edx), "=m"(espBefore), "=m"(espAfter)
        :
        : "ecx", "memory");
    EXPECT_EQ(eax, 0x89ABCDEFu);
    EXPECT_EQ(edx, 0u);
    EXPECT_EQ(espAfter, espBefore);  // it popped its argument
}

// --- Port instructions.

namespace {

// A device answering every port with the low byte of the port number (and
// its wider forms byte by byte), recording what is written.
struct EchoDevice : sim::IoDevice {
    std::vector<std::pair<uint16_t, uint8_t>> writes;
    std::string name() const override { return "echo"; }
    bool decodes(uint16_t) const override { return true; }
    uint8_t read8(uint16_t port) override { return static_cast<uint8_t>(port); }
    void write8(uint16_t port, uint8_t value) override { writes.emplace_back(port, value); }
};

}  // namespace

TEST(PortTrap, EveryFormOfInAndOutAndTheInterruptFlagReachTheBus)
{
    // in al,dx; in ax,dx; in eax,imm8; out imm8,al; out dx,ax; out dx,eax;
    // cli; sti; cli; ret, with EAX returned.
    const uint8_t code[] = {
        0x53,                          // push ebx
        0xBA, 0x79, 0x03, 0, 0,        // mov edx, 0x379
        0xB8, 0x11, 0x22, 0x33, 0x44,  // mov eax, 0x44332211
        0xEC,                          // in al, dx        -> eax 0x44332279
        0x89, 0xC3,                    // mov ebx, eax
        0x66, 0xED,                    // in ax, dx        -> ax 0x7A79
        0xE5, 0x40,                    // in eax, 0x40     -> 0x43424140
        0xE6, 0x80,                    // out 0x80, al
        0x66, 0xEF,                    // out dx, ax
        0xEF,                          // out dx, eax
        0xFA, 0xFB, 0xFA,              // cli; sti; cli
        0x89, 0xD8,                    // mov eax, ebx
        0x5B,                          // pop ebx
        0xC3,                          // ret
    };
    void* page = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(page, MAP_FAILED);
    std::memcpy(page, code, sizeof code);
    ASSERT_EQ(mprotect(page, 4096, PROT_READ | PROT_EXEC), 0);

    sim::Clock clock;
    sim::IoBus bus(clock);
    EchoDevice echo;
    bus.attach(echo);
    bus.startRecording();
    sim::bindPlatformBus(&bus);
    const uintptr_t start = reinterpret_cast<uintptr_t>(page);
    imagehost::trapPortInstructions(start, start + sizeof code);
    const uint64_t trappedBefore = imagehost::trappedInstructions();
    auto routine = reinterpret_cast<uint32_t (*)()>(page);
    uint32_t first = routine();
    sim::bindPlatformBus(nullptr);

    EXPECT_EQ(first, 0x44332279u);
    EXPECT_EQ(imagehost::trappedInstructions() - trappedBefore, 9u);
    std::vector<std::string> got;
    for (const sim::IoAccess& a : bus.recorded()) got.push_back(sim::formatAccess(a));
    ASSERT_EQ(bus.recorded().size(), 6u) << ::testing::PrintToString(got);
    const struct {
        uint16_t port;
        uint8_t width;
        bool write;
        uint32_t value;
    } want[] = {{0x379, 1, false, 0x79},       {0x379, 2, false, 0x7A79},
                {0x40, 4, false, 0x43424140}, {0x80, 1, true, 0x40},
                {0x379, 2, true, 0x4140},     {0x379, 4, true, 0x43424140}};
    for (size_t i = 0; i < 6; ++i) {
        const sim::IoAccess& a = bus.recorded()[i];
        EXPECT_EQ(a.port, want[i].port) << i;
        EXPECT_EQ(a.width, want[i].width) << i;
        EXPECT_EQ(a.write, want[i].write) << i;
        EXPECT_EQ(a.value, want[i].value) << i;
    }
    EXPECT_FALSE(bus.interruptsEnabled());
    EXPECT_EQ(bus.interruptDisableCount(), 2u);
    munmap(page, 4096);
}

TEST(PortTrap, TheFastPathLeavesNothingToTrapAndTrappingGivesTheSameConversation)
{
    auto conversation = [](bool trap, uint64_t& trapped, unsigned& redirected) {
        LoadOptions options;
        options.trapPortInstructions = trap;
        std::shared_ptr<LoadedImage> image = loadImage(options);
        std::vector<std::string> lines;
        if (!image) return lines;
        redirected = image->redirectedPrimitives();
        sim::PcConfig config;
        config.driver = driverOf(image);
        config.host = "smc";
        sim::SimulatedPc pc(config);
        pc.bus().startRecording();
        const uint64_t before = imagehost::trappedInstructions();
        pc.boot();
        trapped = imagehost::trappedInstructions() - before;
        for (const sim::IoAccess& a : pc.bus().recorded()) lines.push_back(sim::formatAccess(a));
        return lines;
    };
    uint64_t trappedFast = 0, trappedSlow = 0;
    unsigned redirectedFast = 0, redirectedSlow = 0;
    std::vector<std::string> fast = conversation(false, trappedFast, redirectedFast);
    std::vector<std::string> slow = conversation(true, trappedSlow, redirectedSlow);
    EXPECT_EQ(redirectedFast, 8u);
    EXPECT_EQ(redirectedSlow, 0u);
    EXPECT_EQ(trappedFast, 0u);
    ASSERT_GT(fast.size(), 100u);
    // The string transfers are the port driver's operations; the probes,
    // handshakes and register accesses around them are the image's own
    // instructions, several thousand of them.
    EXPECT_GT(trappedSlow, 2000u);
    EXPECT_EQ(fast, slow);
}
