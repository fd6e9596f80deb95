#include "tools/nimbsim/commands.h"

#include <cctype>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <stdexcept>

#include <unistd.h>

namespace nimbsim {

std::vector<uint8_t> readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const std::string& path, const std::vector<uint8_t>& data)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) throw std::runtime_error("cannot write " + path);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

std::vector<uint8_t> parseHex(const std::string& text)
{
    std::vector<uint8_t> bytes;
    int high = -1;
    for (char c : text) {
        if (c == ' ' || c == ':' || c == '-') continue;
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            throw UsageError("CDB-HEX holds a character that is not a hex digit");
        int v = std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : std::tolower(c) - 'a' + 10;
        if (high < 0) {
            high = v;
        } else {
            bytes.push_back(static_cast<uint8_t>(high << 4 | v));
            high = -1;
        }
    }
    if (high >= 0) throw UsageError("CDB-HEX has an odd number of digits");
    if (bytes.empty() || bytes.size() > 16) throw UsageError("a CDB is 1 to 16 bytes");
    return bytes;
}

std::string hexDump(const std::vector<uint8_t>& data)
{
    std::string out;
    char line[100];
    for (size_t at = 0; at < data.size(); at += 16) {
        int n = std::snprintf(line, sizeof line, "  %04zx ", at);
        std::string ascii;
        for (size_t i = at; i < at + 16; ++i) {
            if (i < data.size()) {
                n += std::snprintf(line + n, sizeof line - n, " %02x", data[i]);
                ascii += std::isprint(data[i]) ? static_cast<char>(data[i]) : '.';
            } else {
                n += std::snprintf(line + n, sizeof line - n, "   ");
            }
        }
        out += line;
        out += "  " + ascii + "\n";
    }
    return out;
}

namespace {

// A progress line on a terminal for long copies; silent otherwise.
class Progress {
public:
    Progress(bool enabled, uint64_t total) : enabled_(enabled && isatty(2)), total_(total)
    {
        start_ = std::chrono::steady_clock::now();
    }
    void update(uint64_t done)
    {
        if (!enabled_) return;
        auto now = std::chrono::steady_clock::now();
        if (done < total_ && now - last_ < std::chrono::milliseconds(100)) return;
        last_ = now;
        double seconds = std::chrono::duration<double>(now - start_).count();
        double mib = static_cast<double>(done) / (1024.0 * 1024.0);
        double rate = seconds > 0 ? mib / seconds : 0.0;
        int width = 32;
        int filled = total_ ? static_cast<int>(width * done / total_) : width;
        std::string bar(filled, '#');
        bar.resize(width, '.');
        std::fprintf(stderr, "\r[%s] %3d%%  %8.1f MiB  %7.1f MiB/s", bar.c_str(),
                     total_ ? static_cast<int>(100 * done / total_) : 100, mib, rate);
        if (done >= total_) std::fprintf(stderr, "\n");
        std::fflush(stderr);
    }

private:
    bool enabled_;
    uint64_t total_;
    std::chrono::steady_clock::time_point start_, last_;
};

}  // namespace

Session::Session(sim::SimulatedPc& pc, const Options& options)
    : pc_(pc), options_(options), disk_(pc.disk())
{
}

bool Session::fail(const std::string& what, const sim::CommandResult& result)
{
    std::cerr << "nimbsim: " << what << " failed: " << describeFailure(result) << "\n";
    return false;
}

bool Session::fail(const std::string& what)
{
    std::cerr << "nimbsim: " << what << "\n";
    return false;
}

bool Session::findDisk()
{
    info_ = disk_.identify();
    return info_.inquiry.result.good();
}

bool Session::execute()
{
    const std::string& c = options_.command;
    if (c == "scsi") return scsi();
    if (!findDisk()) return fail("INQUIRY", info_.inquiry.result);
    if (c == "info") return info();
    if (c == "read") return read();
    if (c == "write") return write();
    if (c == "copy-out") return copyOut();
    if (c == "copy-in") return copyIn();
    if (c == "verify") return verify();
    if (c == "eject") return eject();
    return fail("unknown command " + c);
}

bool Session::info()
{
    DiskFacts facts = collectFacts(pc_, info_);
    if (options_.json)
        printFactsJson(std::cout, facts);
    else
        printFacts(std::cout, facts);
    return true;
}

bool Session::transfer(bool toDisk, uint32_t lba, uint64_t blocks, std::vector<uint8_t>& data,
                       const std::string& what, bool progress)
{
    Progress bar(progress && !options_.quiet, blocks * 512);
    uint32_t piece = disk_.maximumTransferBytes() / 512;
    if (piece == 0) piece = 1;
    if (!toDisk) data.assign(blocks * 512, 0);
    for (uint64_t done = 0; done < blocks;) {
        uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(piece, blocks - done));
        sim::CommandResult r;
        if (toDisk) {
            r = disk_.write10(lba + static_cast<uint32_t>(done), static_cast<uint16_t>(n),
                              data.data() + done * 512, n * 512);
        } else {
            r = disk_.read10(lba + static_cast<uint32_t>(done), static_cast<uint16_t>(n),
                             data.data() + done * 512, n * 512);
        }
        if (!r.good()) {
            char where[64];
            std::snprintf(where, sizeof where, " at block %llu",
                          static_cast<unsigned long long>(lba + done));
            return fail(what + where, r);
        }
        done += n;
        bar.update(done * 512);
    }
    return true;
}

bool Session::read()
{
    uint64_t lba = parseNumber(options_.arguments[0]);
    uint64_t count = parseNumber(options_.arguments[1]);
    if (lba > 0xFFFFFFFFu || count > 0xFFFFFFFFu) throw UsageError("LBA and COUNT are 32-bit");
    std::vector<uint8_t> data;
    if (!transfer(false, static_cast<uint32_t>(lba), count, data, "read", count >= 2048))
        return false;
    writeFile(options_.arguments[2], data);
    if (!options_.quiet)
        std::cout << "read " << count << " blocks from " << lba << " into "
                  << options_.arguments[2] << "\n";
    return true;
}

bool Session::write()
{
    uint64_t lba = parseNumber(options_.arguments[0]);
    if (lba > 0xFFFFFFFFu) throw UsageError("LBA is 32-bit");
    std::vector<uint8_t> data = readFile(options_.arguments[1]);
    if (data.size() % 512 != 0) throw UsageError("FILE must be a multiple of 512 bytes");
    uint64_t count = data.size() / 512;
    if (!transfer(true, static_cast<uint32_t>(lba), count, data, "write", count >= 2048))
        return false;
    if (!options_.quiet)
        std::cout << "wrote " << count << " blocks at " << lba << " from "
                  << options_.arguments[1] << "\n";
    return true;
}

bool Session::copyOut()
{
    if (!info_.capacity.result.good()) return fail("READ CAPACITY", info_.capacity.result);
    uint64_t blocks = info_.capacity.blocks();
    std::vector<uint8_t> data;
    if (!transfer(false, 0, blocks, data, "copy-out", true)) return false;
    writeFile(options_.arguments[0], data);
    if (!options_.quiet)
        std::cout << "copied " << blocks << " blocks out to " << options_.arguments[0] << "\n";
    return true;
}

bool Session::copyIn()
{
    if (!info_.capacity.result.good()) return fail("READ CAPACITY", info_.capacity.result);
    std::vector<uint8_t> data = readFile(options_.arguments[0]);
    if (data.size() % 512 != 0) throw UsageError("FILE must be a multiple of 512 bytes");
    uint64_t blocks = data.size() / 512;
    if (blocks > info_.capacity.blocks()) {
        return fail("copy-in: " + options_.arguments[0] + " holds " + std::to_string(blocks) +
                    " blocks, the disk only " + std::to_string(info_.capacity.blocks()));
    }
    if (!transfer(true, 0, blocks, data, "copy-in", true)) return false;
    if (!options_.quiet)
        std::cout << "copied " << blocks << " blocks in from " << options_.arguments[0] << "\n";
    return true;
}

bool Session::verify()
{
    uint64_t lba = parseNumber(options_.arguments[0]);
    uint64_t count = parseNumber(options_.arguments[1]);
    if (lba > 0xFFFFFFFFu || count > 0xFFFFFFFFu) throw UsageError("LBA and COUNT are 32-bit");
    sim::CommandResult r = disk_.verify(static_cast<uint32_t>(lba), static_cast<uint32_t>(count));
    if (!r.good()) return fail("verify", r);
    if (!options_.quiet) std::cout << "verified " << count << " blocks from " << lba << "\n";
    return true;
}

bool Session::eject()
{
    sim::CommandResult r = disk_.eject();
    if (!r.good()) return fail("eject", r);
    if (!options_.quiet) std::cout << "medium ejected\n";
    return true;
}

bool Session::scsi()
{
    std::vector<uint8_t> cdb = parseHex(options_.arguments[0]);
    std::vector<uint8_t> data;
    sim::DataDirection direction = sim::DataDirection::None;
    if (options_.scsiIn && !options_.scsiData.empty())
        throw UsageError("give either --in N or --data FILE");
    if (options_.scsiIn) {
        data.assign(*options_.scsiIn, 0);
        direction = sim::DataDirection::In;
    } else if (!options_.scsiData.empty()) {
        data = readFile(options_.scsiData);
        direction = sim::DataDirection::Out;
    }
    sim::CommandResult r = disk_.command(cdb, direction, data.empty() ? nullptr : data.data(),
                                         static_cast<uint32_t>(data.size()));
    char text[160];
    std::snprintf(text, sizeof text, "srb status   0x%02X %s\nscsi status  0x%02X %s\n",
                  r.srbStatus, srbStatusName(r.srbStatus), r.scsiStatus,
                  r.scsiStatus == 0 ? "GOOD" : r.scsiStatus == 2 ? "CHECK CONDITION" : "");
    std::cout << text;
    if (r.senseValid) {
        std::snprintf(text, sizeof text, "sense key    0x%02X %s  ASC 0x%02X ASCQ 0x%02X\n",
                      r.senseKey, senseKeyName(r.senseKey), r.asc, r.ascq);
        std::cout << text;
        std::cout << "sense data\n" << hexDump(r.sense);
    }
    if (direction == sim::DataDirection::In) {
        std::cout << "data in (" << data.size() << " bytes)\n" << hexDump(data);
    }
    if (!r.good()) return fail("command", r);
    return true;
}

}  // namespace nimbsim
