// The NIMB parallel-port-to-ATA adapter chip, seen from its cable.
//
// The chip watches the data lines and the four control lines (L = CONTROL
// bits 0-3: strobe, auto-feed, initialise, select-in) and drives the status
// lines 7-3, the data lines (byte reads) and, pulling them, control lines
// 1-3 (five-plus-three reads). It answers EPP address and data cycles in its
// EPP mode. Only line changes are visible to it: a host read of STATUS or
// CONTROL, or a repeated write of the same value, is not.
//
// Sleep and wake. The chip powers up asleep and then ignores everything
// but the wake pattern: the distinct data values A0, 50, C0, 30, A0 in a row
// while L = 0x04 (a different value restarts the match). Waking aborts any
// cycle, clears register 0x84 and leaves normal (non-EPP) mode.
//
// Latch and codes. L going to 0x01 from a value with initialise (bit 2) set
// latches the data lines as the address byte X and aborts any cycle. If L
// then returns to 0x04 without an auto-feed rise, X is a code:
//   0x00 normal mode (EPP off, interrupt forwarding off); the chip goes to
//        sleep as well when register 0x84 bit 4 (rest) is set.
//   0x0A EPP mode on.
//   0x88 drive reset: device control SRST is held until the next code.
//   0x90 forward the drive's interrupt on the status lines.
// Any other code is a violation. An auto-feed rise (L 0x01 -> 0x03) instead
// starts the cycle that X selects: X' = X ^ 1, class = (X' >> 3) & 7,
// register = X' & 0x87 (0x80..0x87 are the chip's own registers):
//   7 nibble register read   low nibble on status 7-4 at the auto-feed rise,
//                            high nibble at its fall (L 0x03 -> 0x01); the
//                            host puts X | 0x40 on the data lines before the
//                            fall; the cycle ends at L = 0x04.
//   6 five-plus-three read   the host puts X & 0x7F on data before the rise;
//                            at the initialise rise (L 0x03 -> 0x05) bits 0-4
//                            go on status 7-3 and bits 5-7 on control 1-3;
//                            the host puts X | 0xC0 on data; ends at 0x04.
//   5 byte register read     the value on the data lines from the auto-feed
//                            rise until the end at L = 0x04 (the host sees
//                            it only with its port turned to input).
//   3 register write         the data lines are taken at the auto-feed rise;
//                            ends at 0x04.
// Register 0 in a register cycle is the register form of the data register:
// a write puts the byte into both halves of a data word, a read takes a word
// and shows its low byte, but only while the drive asserts DRQ; without DRQ
// the write is dropped and the read shows 0xFF (no violation: detection
// writes 0xFF there to drive the bus high). Counted in dataRegisterIgnored.
//   0 X = 0x81: nibble block read; X = 0x80: echo (status 7-4 show the live
//     data lines: low nibble while auto-feed is high, high nibble while low).
//   2 X = 0x91: five-plus-three block read.
//   1 X = 0x89: byte block read.
//   4 X = 0xA1: block write.
// Block reads take the data stream word by word (a word is fetched from the
// drive, or from the test pattern generator, when the byte pointer reaches
// an even byte; low byte first):
//   nibble block   byte 0's low nibble at the auto-feed rise; every clock
//                  flips auto-feed: L runs 3, 5, 2, 4, 3, ... (the host
//                  writes 0xC1 before the first clock) and each clock shows
//                  the next nibble. 2N-1 clocks move N bytes.
//   5+3 block      data 0x10 at the auto-feed rise, 0x50 at the initialise
//                  rise (L 0x05: byte 0 shown), 0xD1 before the first clock;
//                  each strobe edge (L 0x05 <-> 0x04) shows the next byte.
//   byte block     auto-feed rise, fall (L 0x01), initialise rise (L 0x05:
//                  byte 0 driven); each strobe edge drives the next byte; the
//                  block closes at L = 0x06.
//   block write    auto-feed rise, fall, initialise rise (L 0x05); strobe
//                  falling (to 0x04) takes a low byte, strobe rising (to
//                  0x05) the high byte and writes the word; one more falling
//                  strobe (the closing strobe, its byte discarded) and then
//                  L = 0x06 close the block.
// A nibble or 5+3 block ends when the host puts 0x00 on the data lines (its
// closing step; its clocks leave L at 0x04, so the closing control write is
// no edge), or at the next latch. At the end of any block the chip checks
// that whole bytes and whole words moved; an extra or a missing clock shows
// there (and as wrong data). Every
// drive word moved by a block needs the drive's DRQ: one without it is a
// violation (reads then give 0xFFFF, writes are dropped).
//
// EPP mode (after code 0x0A). Address byte: bit 7 the chip's own register
// space, bit 6 write, bits 2-0 the index (ATA registers 0-7, or 0x80+index;
// index 6 of the chip's space is ATA register 8). Address 0x00 (read) and
// 0x40 (write) open the data stream: each data cycle moves the next byte of
// it. A read stream may hold at most the chunk budget (register 0x84 bits
// 0-2: 7 0x8000, 6 0x4000, 5 0x2000, 4 0x1000, 3 0x800, 0 0x200, 2 0x20,
// 1 2 bytes; sticky until 0x84 is written again); cycles past it read 0xFF
// and count as violations. In a write stream the first word without DRQ is
// dropped quietly (it is also the register form of the data register);
// later words without DRQ are violations.
// Register addresses make each data cycle read or write that register.
// Raw handshake (EPP mode only): a select-in rise (L 0x04 -> 0x0C) takes the
// data lines as an EPP-style address; a later auto-feed rise with
// initialise high (L 0x04 -> 0x06) drives that register's value on the data
// lines until auto-feed falls.
//
// Registers: 0x81 bit 4 = the drive's INTRQ (other bits 0); 0x82 identity
// (0xA3 unless set); 0x83 configuration, stored; 0x84 (written as 0x9C or
// 0xC4) control: bits 0-2 chunk code, bit 3 test pattern on, bit 4 rest;
// 0x86 = ATA register 8. Writing 0x81/0x82, or touching 0x80/0x85/0x87, is
// a violation.
// Test pattern: while 0x84 bit 3 is set, block reads take the words
// (n, ~n) for n = 1, 2, ... instead of drive data, restarting at every block
// address phase: 0x01 0xFE 0x02 0xFD ...
//
// Status lines when no read shows data: 0xB8 (busy, paper end, select,
// error high; ack low). In EPP mode ack (bit 6) = INTRQ. After code 0x90
// error (bit 3) = NOT INTRQ and ack = INTRQ.
//
// Timing knobs (default 0): what the chip shows becomes valid `settle` ns
// after the line change that selects it; a host read before that still sees
// the previous value. A strobed-in byte needs the data lines stable for
// `writeSetup` ns before the edge that takes it, else the chip takes the
// previous data value. Since every port access takes 1 us, these make the
// faster members of a mode family (fewer repeated accesses) fail.
#ifndef SIM_WIRE_NIMB_ADAPTER_H
#define SIM_WIRE_NIMB_ADAPTER_H

#include <cstdint>
#include <string>
#include <vector>

#include "sim/ata/ata_device.h"
#include "sim/bus/io_bus.h"
#include "sim/wire/parallel_port.h"

namespace sim {

class NimbAdapter : public ParallelCable {
public:
    enum class Phase {
        Asleep,
        Idle,
        Latched,
        NibbleRegisterRead,
        FiveThreeRegisterRead,
        ByteRegisterRead,
        RegisterWrite,
        Echo,
        NibbleBlock,
        FiveThreeBlock,
        ByteBlock,
        BlockWrite,
        RawRead,
    };

    struct Counters {
        uint64_t wakes = 0;
        uint64_t codes = 0;
        uint64_t registerReads = 0;
        uint64_t registerWrites = 0;
        uint64_t blockBytesRead = 0;
        uint64_t blockBytesWritten = 0;
        uint64_t blocksRead = 0;
        uint64_t blocksWritten = 0;
        uint64_t eppCycles = 0;
        uint64_t rawReads = 0;
        uint64_t echoCycles = 0;
        uint64_t dataRegisterIgnored = 0;  // register-form data accesses without DRQ
    };

    static constexpr uint8_t kIdleStatus = 0xB8;

    explicit NimbAdapter(Clock& clock);

    // Wiring: the port calls this object; the drive sits behind it.
    void attachTo(ParallelPort& port) { port.attachCable(this); }
    void attachDevice(AtaDevice* device) { device_ = device; }

    // Fault knobs.
    void setPresent(bool present);  // false: nothing answers, lines float
    void disconnect() { setPresent(false); }
    void reconnect() { setPresent(true); }  // comes back asleep, as powered up
    void setSilent(bool silent) { silent_ = silent; }  // never wakes
    void setIdentity(uint8_t value) { identity_ = value; }
    // Corrupt byte `index` (XOR 0xFF) of test-pattern pass `pass` (0-based,
    // counted from the last write of 0x84 that turned the pattern on).
    void corruptPatternByte(unsigned pass, unsigned index);
    void clearPatternCorruption() { corruptPass_ = -1; }
    void setSettleTime(Nanoseconds ns) { settle_ = ns; }
    void setWriteSetupTime(Nanoseconds ns) { writeSetup_ = ns; }
    // Records a violation as the checker would (to test what watches it).
    void injectViolation(const std::string& text) { violation(text.c_str()); }

    // Observation.
    uint64_t violationCount() const { return violations_; }
    const std::string& lastViolation() const { return lastViolation_; }
    void clearViolations();
    void setEventLog(bool enabled) { logging_ = enabled; }
    const std::vector<std::string>& events() const { return events_; }
    void clearEvents() { events_.clear(); }
    const Counters& counters() const { return counters_; }
    void resetCounters() { counters_ = Counters{}; }
    Phase phase() const { return phase_; }
    static const char* phaseName(Phase phase);
    bool awake() const { return phase_ != Phase::Asleep; }
    bool eppMode() const { return eppMode_; }
    bool interruptForwarding() const { return irqForward_; }
    bool driveResetHeld() const { return resetHeld_; }
    uint8_t identity() const { return identity_; }
    uint8_t register83() const { return reg83_; }
    uint8_t register84() const { return reg84_; }
    uint32_t chunkBudget() const;

    // ParallelCable
    void hostDataChanged(uint8_t data) override;
    void hostControlChanged(uint8_t control) override;
    uint8_t statusLines() override;
    bool dataLines(uint8_t& value) override;
    uint8_t controlLines(uint8_t& value) override;
    bool eppAddressWrite(uint8_t value) override;
    bool eppAddressRead(uint8_t& value) override;
    bool eppDataWrite(uint8_t value) override;
    bool eppDataRead(uint8_t& value) override;

private:
    // What the chip drives, and from when it is valid.
    struct Lines {
        uint8_t status = kIdleStatus;  // bits 7-3 when `showStatus`
        bool showStatus = false;
        bool driveData = false;
        uint8_t data = 0xFF;
        uint8_t controlMask = 0;
        uint8_t control = 0;
    };

    void violation(const char* format, ...);
    void event(const char* format, ...);
    bool responsive() const { return present_ && phase_ != Phase::Asleep; }

    void show(const Lines& lines);
    const Lines& visible() const;
    void showNothing();
    void showStatusNibble(uint8_t nibble);
    void showFiveThree(uint8_t value);
    void showData(uint8_t value);
    uint8_t idleStatus();

    void wakeMatch(uint8_t data);
    void wake();
    void code(uint8_t x);
    void startCycle();
    void endPhase();
    void onLineChange(uint8_t oldL, uint8_t newL);
    void expectData(uint8_t expected, const char* where);
    uint8_t takeData();  // the data lines as a strobe edge takes them

    uint8_t readRegister(uint8_t reg);
    void writeRegister(uint8_t reg, uint8_t value);
    bool driveDrq();

    void openStream(bool write);
    uint8_t streamReadByte(bool checkDrq);

    Clock& clock_;
    AtaDevice* device_ = nullptr;

    bool present_ = true;
    bool silent_ = false;
    uint8_t identity_ = 0xA3;
    Nanoseconds settle_ = 0;
    Nanoseconds writeSetup_ = 0;
    long corruptPass_ = -1;
    unsigned corruptIndex_ = 0;

    // Line state as the host drives it.
    uint8_t data_ = 0;
    uint8_t previousData_ = 0;
    Nanoseconds dataSince_ = 0;
    uint8_t control_ = 0;

    // Chip state.
    Phase phase_ = Phase::Asleep;
    unsigned wakeIndex_ = 0;
    bool eppMode_ = false;
    bool irqForward_ = false;
    bool resetHeld_ = false;
    uint8_t reg83_ = 0;
    uint8_t reg84_ = 0;
    uint8_t x_ = 0;      // latched address byte
    uint8_t reg_ = 0;    // register of the current cycle
    uint8_t value_ = 0;  // value shown by the current register read
    unsigned step_ = 0;  // position within the cycle's fixed line sequence
    uint8_t clockL_ = 0;
    uint8_t clockMask_ = 0;
    uint32_t shown_ = 0;  // nibbles or bytes shown / taken in a block
    uint8_t byte_ = 0;    // byte being shown by a nibble block
    uint8_t lowByte_ = 0;
    bool lowPending_ = false;

    // Data stream (blocks and EPP data register).
    uint32_t streamPos_ = 0;
    uint16_t streamWord_ = 0;
    bool streamFromPattern_ = false;
    uint32_t patternPass_ = 0;
    uint32_t streamPass_ = 0;
    uint32_t streamBudget_ = 0;
    uint32_t streamWords_ = 0;
    bool streamOpen_ = false;
    bool streamWrite_ = false;

    // EPP.
    uint8_t eppAddress_ = 0;
    bool rawAddressValid_ = false;
    uint8_t rawAddress_ = 0;

    // Output with settle time.
    Lines now_;
    Lines before_;
    Nanoseconds validFrom_ = 0;

    uint64_t violations_ = 0;
    std::string lastViolation_;
    bool logging_ = false;
    std::vector<std::string> events_;
    Counters counters_;
};

}  // namespace sim

#endif  // SIM_WIRE_NIMB_ADAPTER_H
