#include "soak/shadow_disk.h"

#include <cstdio>

namespace sim {
namespace soak {

namespace {

void put32(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace

uint64_t mix(uint64_t x)
{
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

void fillBlock(uint32_t cartridge, uint64_t lba, uint32_t stamp, uint8_t* out)
{
    std::memcpy(out, "SOAK", 4);
    put32(out + 4, static_cast<uint32_t>(lba));
    put32(out + 8, stamp);
    put32(out + 12, cartridge);
    uint64_t s = mix(mix(mix(cartridge) ^ lba) ^ stamp) | 1;
    for (uint32_t i = 16; i < kBlock; i += 8) {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        std::memcpy(out + i, &s, 8);
    }
}

bool blockIs(const uint8_t* data, uint32_t cartridge, uint64_t lba, uint32_t stamp)
{
    uint8_t expected[kBlock];
    fillBlock(cartridge, lba, stamp, expected);
    return std::memcmp(data, expected, kBlock) == 0;
}

std::string describeBlock(const uint8_t* data)
{
    char text[96];
    if (std::memcmp(data, "SOAK", 4) == 0) {
        auto get = [&](int at) {
            uint32_t v = 0;
            for (int i = 3; i >= 0; --i) v = (v << 8) | data[at + i];
            return v;
        };
        std::snprintf(text, sizeof text, "block %u stamp %u cartridge %u", get(4), get(8), get(12));
    } else {
        std::snprintf(text, sizeof text, "bytes %02X %02X %02X %02X ...", data[0], data[1], data[2], data[3]);
    }
    return text;
}

bool mayHold(const Cartridge& c, uint64_t b, const uint8_t* data)
{
    auto it = c.unsure.find(b);
    if (it == c.unsure.end()) return false;
    for (uint32_t stamp : it->second)
        if (blockIs(data, c.image->id(), b, stamp)) return true;
    return false;
}

}  // namespace soak
}  // namespace sim
