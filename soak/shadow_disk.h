// The soak's shadow of the disk: what every block must hold, as a pattern
// made from (cartridge, block, stamp), stamp 0 being the contents at
// power-on, and the cartridges the drive is given, whose blocks never
// written hold their power-on pattern.
#ifndef SOAK_SHADOW_DISK_H
#define SOAK_SHADOW_DISK_H

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "sim/ata/disk_image.h"

namespace sim {
namespace soak {

constexpr uint32_t kBlock = kSectorBytes;

// A 64-bit mixing function (for seeds and block patterns).
uint64_t mix(uint64_t x);

// The contents of one block: a readable header (tag, block, stamp,
// cartridge) and a pseudo-random tail, so that a block from the wrong place
// or of the wrong generation never matches.
void fillBlock(uint32_t cartridge, uint64_t lba, uint32_t stamp, uint8_t* out);
bool blockIs(const uint8_t* data, uint32_t cartridge, uint64_t lba, uint32_t stamp);
// "block B stamp S cartridge C" for a pattern block, else its first bytes.
std::string describeBlock(const uint8_t* data);

// A cartridge whose blocks never written hold their power-on pattern.
class SoakImage : public DiskImage {
public:
    SoakImage(uint64_t sectors, uint32_t id) : DiskImage(sectors), id_(id) {}
    uint32_t id() const { return id_; }

    bool readSector(uint64_t lba, uint8_t* buffer) const override
    {
        if (!inRange(lba)) return false;
        ++reads_;
        auto it = data_.find(lba);
        if (it != data_.end())
            std::memcpy(buffer, it->second.data(), kBlock);
        else
            fillBlock(id_, lba, 0, buffer);
        return true;
    }
    bool writeSector(uint64_t lba, const uint8_t* buffer) override
    {
        if (!inRange(lba)) return false;
        ++writes_;
        std::memcpy(data_[lba].data(), buffer, kBlock);
        return true;
    }

private:
    uint32_t id_;
    std::unordered_map<uint64_t, std::array<uint8_t, kBlock>> data_;
};

// A cartridge with what it must hold.
struct Cartridge {
    std::unique_ptr<SoakImage> image;
    std::vector<uint32_t> stamps;                   // per block; 0 = power-on pattern
    // Blocks of failed writes not yet settled: the stamps of those writes, in
    // order. Each of them may have landed (a later one need not have).
    std::unordered_map<uint64_t, std::vector<uint32_t>> unsure;
    std::set<uint64_t> touched;                     // blocks ever written (or tried)
};

// Whether a block holds what one of the failed writes not yet settled would
// have left there.
bool mayHold(const Cartridge& c, uint64_t b, const uint8_t* data);

}  // namespace soak
}  // namespace sim

#endif  // SOAK_SHADOW_DISK_H
