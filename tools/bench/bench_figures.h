// nimbsim bench: the exact port-access cost of each transfer mode's block
// routine, the accesses of each mode that really carry sector bytes, and a
// reader that finds the block transfers in a recorded port trace.
#ifndef TOOLS_BENCH_BENCH_FIGURES_H
#define TOOLS_BENCH_BENCH_FIGURES_H

#include <cstdint>
#include <string>
#include <vector>

#include "sim/bus/io_bus.h"

namespace nimbsim {
namespace bench {

enum class Direction { Read, Write };

// One transfer mode. A streaming block of N bytes (N even, at least 2)
// costs perByte * N / divisor + fixed port accesses: the setup, the
// per-byte samples and clocks, and the closing sequence (string I/O counts
// one access per element). The chunk code that enhanced ports write to
// adapter register 0xC4 before each chunk is not part of it (2 accesses).
//
// "Bare" data cycles are the accesses whose result or value is sector data,
// the floor any protocol of that family needs; everything else (address
// phases, clock strobes, the repeated accesses of the slow members, the
// closing sequence) is overhead:
//   nibble read (0-2)        2 STATUS reads per byte (one per nibble)
//   five-plus-three (3-5)    2 per byte: STATUS (5 bits), CONTROL (3 bits)
//   byte-wide reads (6-9)    1 DATA read per byte
//   EPP 8-bit (read 10, w3)  1 EPP data cycle per byte
//   EPP 32-bit (read 11, w4) 1 doubleword access per 4 bytes
//   strobed writes (0-2)     1 DATA write per byte
// In the slow members a repeated sample counts once: only its last read
// carries the byte.
struct ModeFigures {
    Direction direction;
    unsigned mode;
    const char* name;
    unsigned perByte;
    unsigned divisor;
    unsigned fixed;
    unsigned barePerByte;
    unsigned bareDivisor;

    uint64_t blockAccesses(uint64_t bytes) const;  // exact cost of one block
    uint64_t bareCycles(uint64_t bytes) const;
};

const std::vector<ModeFigures>& modeTable();
const ModeFigures& figuresFor(Direction direction, unsigned mode);

// The EPP modes: 8-bit cycles (read mode 10, write mode 3), and the 32-bit
// block routines (read mode 11, write mode 4) that the 8-bit modes run once
// 32-bit cycles were found to work on the port.
unsigned epp8Mode(Direction direction);
unsigned epp32Mode(Direction direction);
bool isEppMode(Direction direction, unsigned mode);

// The chunks an enhanced port cuts a block into (adapter size codes).
std::vector<uint32_t> chunkLengths(uint32_t bytes);

// A block transfer, or a chunk code, found in a trace.
struct TraceSegment {
    enum Kind { StrobedRead, StrobedWrite, EppRead, EppWrite, ChunkCode } kind;
    size_t first;       // index of its first access in the trace
    uint64_t accesses;  // accesses it spans
    uint64_t eppBytes;  // bytes moved by EPP data cycles (EPP kinds only)
    uint8_t dataWidth;  // bytes of its widest EPP data cycle (EPP kinds only)
};

// Finds the block transfers of a request in the port trace of a port at
// `base` (standard EPP layout). A strobed block starts with the address
// byte of its family on DATA (0x81 nibble, 0x91 five-plus-three, 0x89
// byte-wide, 0xA1 write), possibly repeated, followed by CONTROL <- 0x01,
// which no register cycle and no code strobe uses with these bytes; it
// ends after its closing sequence (nibble and five-plus-three: DATA <- 0x00
// then CONTROL <- 0x04; byte-wide and writes: CONTROL <- 0x06 then 0x04).
// An EPP block starts with the address cycle of the data stream (0x00 read,
// 0x40 write) and ends after its data cycles (and, for reads, the control
// register read-modify-write that turns the port back to output). A chunk
// code is the address cycle 0xC4 followed by one data write of a size
// code (0 to 7; the 0x10 that release writes there is no chunk code).
std::vector<TraceSegment> findBlockSegments(const std::vector<sim::IoAccess>& trace, uint16_t base);

// The blocks one transfer of `sectors` sectors makes: DRQ blocks of
// `drqSectors` sectors, cut into chunks when the port is enhanced.
struct ExpectedBlocks {
    std::vector<uint64_t> blockAccesses;  // one entry per streaming call
    uint64_t chunkCodes = 0;
};
ExpectedBlocks expectedBlocks(const ModeFigures& mode, uint32_t sectors, uint32_t drqSectors,
                              bool enhancedPort);

// Compares what a trace holds with what the protocol requires; empty when
// they agree, else a line saying where they differ.
std::string compareBlocks(const std::vector<TraceSegment>& found, const ExpectedBlocks& expected);

}  // namespace bench
}  // namespace nimbsim

#endif  // TOOLS_BENCH_BENCH_FIGURES_H
