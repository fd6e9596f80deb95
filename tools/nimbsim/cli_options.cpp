#include "tools/nimbsim/cli_options.h"

#include <cctype>
#include <cstdlib>

#include "sim/ata/drive_presets.h"

namespace nimbsim {

namespace {

// One "  name  description" line per entry, the descriptions aligned with
// the option descriptions above them.
template <typename Entries>
std::string listing(const Entries& entries)
{
    std::string text;
    for (const auto& e : entries) {
        std::string line = std::string("      ") + e.name;
        line.resize(line.size() < 28 ? 28 : line.size() + 1, ' ');
        text += line + e.description + "\n";
    }
    return text;
}

}  // namespace

std::string usageText()
{
    return std::string(
               "usage: nimbsim [options] COMMAND [ARGS]\n"
               "\n"
               "Boots the NIMB miniport driver on a simulated PC and uses the disk through it.\n"
               "\n"
               "commands:\n"
               "  info                      what the driver found (port, modes, drive, capacity)\n"
               "  read LBA COUNT FILE       read COUNT blocks from LBA into FILE\n"
               "  write LBA FILE            write FILE (a multiple of 512 bytes) at LBA\n"
               "  copy-out FILE             the whole disk into FILE\n"
               "  copy-in FILE              a whole image from FILE onto the disk\n"
               "  verify LBA COUNT          verify COUNT blocks from LBA\n"
               "  eject                     eject the medium\n"
               "  scsi CDB-HEX [--in N] [--data FILE]\n"
               "                            send one raw CDB; print status, sense and data\n"
               "  soak [--requests N] [--seed S]\n"
               "                            random requests with faults injected, checked\n"
               "  bench                     port accesses and throughput per transfer mode\n"
               "  serve [--listen ADDR:PORT]\n"
               "                            serve the disk as an iSCSI target (LUN 0 of\n"
               "                            iqn.2026-12.sim.nimb:disk) until interrupted;\n"
               "                            default 127.0.0.1:3260, port 0 picks a free one\n"
               "\n"
               "options:\n"
               "  --image FILE              the drive's backing image (writes persist in it;\n"
               "                            its size must be a multiple of 512 bytes)\n"
               "  --size N[K|M|G]           size of the image when it is created (default: the\n"
               "                            drive's own size)\n"
               "  --drive KIND              the drive behind the adapter (default fixed):\n") +
           listing(sim::drivePresetInfos()) +
           "  --port ADDR               where the adapter is attached: 0x378, 0x3BC, 0x278\n"
           "  --host KIND               host port hardware (default epp):\n" +
           listing(sim::hostKinds()) +
           "  --args STRING             the driver's argument string, as the registry gives it\n"
           "  --no-adapter              nothing on the parallel port cable\n"
           "  --trace FILE              record every port access with virtual time\n"
           "  --driver FILE             boot this driver image (nimb.sys) instead of the\n"
           "                            driver built into the tool (32-bit build only)\n"
           "  --trap-io                 with --driver: trap every port instruction of the\n"
           "                            image, not only those outside its port routines\n"
           "  --json                    info as one JSON object\n"
           "  --quiet                   print only results and errors\n"
           "\n"
           "exit status: 0 success, 1 command failed, 2 usage error or unusable input,\n"
           "             3 no adapter found\n";
}

uint64_t parseNumber(const std::string& text)
{
    if (text.empty()) throw UsageError("empty number");
    size_t used = 0;
    unsigned long long value = 0;
    try {
        int base = (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) ? 16 : 10;
        if (text[0] == '-' || text[0] == '+') throw UsageError("bad number");
        value = std::stoull(text, &used, base);
    } catch (const std::logic_error&) {
        throw UsageError("bad number '" + text + "'");
    }
    if (used != text.size()) throw UsageError("bad number '" + text + "'");
    return value;
}

uint64_t parseSize(const std::string& text)
{
    if (text.empty()) throw UsageError("empty size");
    uint64_t unit = 1;
    std::string digits = text;
    switch (std::toupper(static_cast<unsigned char>(text.back()))) {
    case 'K': unit = 1ull << 10; digits.pop_back(); break;
    case 'M': unit = 1ull << 20; digits.pop_back(); break;
    case 'G': unit = 1ull << 30; digits.pop_back(); break;
    default: break;
    }
    uint64_t value = parseNumber(digits);
    if (value == 0 || value > (64ull << 30) / unit)
        throw UsageError("size out of range '" + text + "'");
    uint64_t bytes = value * unit;
    if (bytes % 512 != 0) throw UsageError("size must be a multiple of 512 bytes");
    return bytes;
}

uint16_t parsePort(const std::string& text)
{
    uint64_t value = parseNumber(text);
    if (value != 0x378 && value != 0x3BC && value != 0x278)
        throw UsageError("port must be 0x378, 0x3BC or 0x278");
    return static_cast<uint16_t>(value);
}

Options parseOptions(int argc, char** argv)
{
    Options options;
    auto value = [&](int& i, const std::string& name) -> std::string {
        if (i + 1 >= argc) throw UsageError(name + " needs a value");
        return argv[++i];
    };
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--image") options.pc.imagePath = value(i, arg);
        else if (arg == "--size") { options.pc.imageBytes = parseSize(value(i, arg)); options.sizeGiven = true; }
        else if (arg == "--drive") {
            options.pc.drive = value(i, arg);
            if (!sim::isDrivePreset(options.pc.drive)) throw UsageError("unknown drive '" + options.pc.drive + "'");
        } else if (arg == "--port") options.pc.adapterPort = parsePort(value(i, arg));
        else if (arg == "--host") {
            options.pc.host = value(i, arg);
            if (!sim::isHostKind(options.pc.host)) throw UsageError("unknown host kind '" + options.pc.host + "'");
        } else if (arg == "--args") options.pc.arguments = value(i, arg);
        else if (arg == "--no-adapter") options.pc.adapterPresent = false;
        else if (arg == "--trace") options.pc.tracePath = value(i, arg);
        else if (arg == "--driver") options.driverPath = value(i, arg);
        else if (arg == "--trap-io") options.trapPortIo = true;
        else if (arg == "--json") options.json = true;
        else if (arg == "--quiet") options.quiet = true;
        else if (arg == "--in") options.scsiIn = static_cast<uint32_t>(parseNumber(value(i, arg)));
        else if (arg == "--data") options.scsiData = value(i, arg);
        else if (arg == "--requests") options.soakRequests = parseNumber(value(i, arg));
        else if (arg == "--seed") options.soakSeed = parseNumber(value(i, arg));
        else if (arg == "--listen") options.listen = value(i, arg);
        else if (arg == "--help" || arg == "-h") {
            options.help = true;
            return options;
        }
        else if (arg.size() > 1 && arg[0] == '-' && arg != "-") throw UsageError("unknown option '" + arg + "'");
        else if (options.command.empty()) options.command = arg;
        else options.arguments.push_back(arg);
    }
    if (options.command.empty()) throw UsageError("no command given");
    struct Arity { const char* name; size_t count; };
    static const Arity arities[] = {
        {"info", 0}, {"read", 3}, {"write", 2}, {"copy-out", 1}, {"copy-in", 1},
        {"verify", 2}, {"eject", 0}, {"scsi", 1}, {"soak", 0}, {"bench", 0},
        {"serve", 0},
    };
    for (const Arity& a : arities) {
        if (options.command != a.name) continue;
        if (options.arguments.size() != a.count)
            throw UsageError(options.command + " takes " + std::to_string(a.count) + " argument(s)");
        if ((options.scsiIn || !options.scsiData.empty()) && options.command != "scsi")
            throw UsageError("--in and --data go with the scsi command");
        if (options.listen && options.command != "serve")
            throw UsageError("--listen goes with the serve command");
        return options;
    }
    throw UsageError("unknown command '" + options.command + "'");
}

}  // namespace nimbsim
