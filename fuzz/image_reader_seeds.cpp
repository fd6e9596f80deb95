// Writes the synthetic seeds of image_reader_fuzz: a few small good images
// and copies of one cut short. Run once from the top of the tree:
//
//   c++ -std=c++17 -I. -Itests fuzz/image_reader_seeds.cpp -o /tmp/seeds
//   /tmp/seeds fuzz/corpus/image_reader_fuzz
//
// The corpus also holds a copy of a driver image built with `make sys`
// (nimb_sys), which the reader must accept.
#include <cstdio>
#include <string>

#include "support/pe_builder.h"

using pe_test::Bytes;
using pe_test::PeBuilder;

static PeBuilder good()
{
    PeBuilder b;
    Bytes text(0x400, 0x90);
    pe_test::put32(text, 0x10, 0x12000);
    Bytes data(0x200, 0x5A);
    pe_test::put32(data, 0x08, 0x11040);
    b.sections = {{".text", 0x1000, 0x300, 0x60000020, text},
                  {".data", 0x2000, 0x80, 0xC0000040, data},
                  {".bss", 0x3000, 0x1800, 0xC0000080, {}}};
    b.entryRva = 0x1040;
    b.imports = {{"SCSIPORT.SYS", {"ScsiPortInitialize", "ScsiPortNotification"}}};
    b.relocations = {{0x1000, {0x3010, 0x0000}}, {0x2000, {0x3008, 0x0000}}};
    return b;
}

static void write(const std::string& dir, const std::string& name, const Bytes& bytes)
{
    std::FILE* f = std::fopen((dir + "/" + name).c_str(), "wb");
    if (!f || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) {
        std::perror(name.c_str());
        std::exit(1);
    }
    std::fclose(f);
}

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s corpus-directory\n", argv[0]);
        return 2;
    }
    std::string dir = argv[1];
    write(dir, "good", good().build());

    PeBuilder symbols = good();
    symbols.withSymbols = true;
    Bytes aux(18, 0);
    symbols.symbols = {{".text", 0, 1, 3, aux},
                       {"_DriverEntry", 0x40, 1, 2, {}},
                       {"_LinkState", 0x08, 2, 2, {}},
                       {"_ALongerExternalName", 0x100, 3, 2, {}}};
    Bytes withSymbols = symbols.build();
    write(dir, "good_symbols", withSymbols);

    PeBuilder two = good();
    two.imports.push_back({"SCSIPORT.SYS", {"ScsiPortLogError"}, false});
    write(dir, "two_descriptors", two.build());

    PeBuilder tail = good();
    tail.after.push_back({".tail", 0x7000, 0x800, 0xC0000040, Bytes(0x800, 'A')});
    write(dir, "tail_section", tail.build());

    const size_t cuts[] = {0x100, 0x400, 0x700, withSymbols.size() - 1};
    for (size_t cut : cuts)
        write(dir, "cut_" + std::to_string(cut), Bytes(withSymbols.begin(), withSymbols.begin() + cut));
    return 0;
}
