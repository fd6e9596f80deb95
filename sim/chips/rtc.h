// The real-time clock and its CMOS memory, as an MC146818-style part.
//
// Protocol: port 0x70 selects a register (bits 6-0; bit 7 masks NMI and is
// kept apart), port 0x71 reads and writes the selected register. Port 0x70
// reads 0xFF (write-only). Registers:
//   0x00 seconds, 0x02 minutes, 0x04 hours, 0x06 day of week, 0x07 date,
//   0x08 month, 0x09 year (two digits); 0x01, 0x03, 0x05 the alarms.
//   The format follows register B: bit 2 set binary, clear BCD; bit 1 set
//   24-hour, clear 12-hour (bit 7 of the hours = PM).
//   0x0A status A: bit 7 UIP (read-only), bits 6-4 divider (010 = the
//   32.768 kHz time base running; any other value stops the clock), bits
//   3-0 rate select.
//   0x0B status B: bit 7 SET stops updates (and clears UIP) while set.
//   0x0C, 0x0D status C and D, read-only (D bit 7: valid RAM and time).
//   0x0E-0x7F battery-backed memory.
// The clock runs in the machine's virtual time when it is given one: once a
// second it updates the time and date (seconds carry into minutes, hours,
// day of week, date with the month's length and leap years, month, year).
// UIP reads 1 from 244 us before each update until the update cycle ends
// 1984 us after it starts; the time registers change at the end of the
// update cycle (their value during it is not to be relied on; the model
// keeps the old one). The first update comes half a second after power-on.
// Without a virtual clock the time stands still.
// On boards with ten-bit I/O decoding the data port also answers at 0xF073
// (a mirror of 0x71, on by default). A chipset that claims 0xF073 turns the
// mirror off (setMirrorAtF073(false)).
// registers() reports the running time registers as one count, "time-set":
// how many of them differ from a copy that only the clock's own updates
// have touched. A running clock's time changes by itself; a probe that
// writes it and does not put it back does not leave the clock as found.
#ifndef SIM_CHIPS_RTC_H
#define SIM_CHIPS_RTC_H

#include <array>

#include "sim/chips/chip_model.h"

namespace sim {

class Rtc : public ChipModel {
public:
    static constexpr uint16_t kIndexPort = 0x70, kDataPort = 0x71, kMirrorPort = 0xF073;
    static constexpr uint8_t kRegA = 0x0A, kRegB = 0x0B, kUip = 0x80, kSet = 0x80;
    static constexpr Nanoseconds kUipLead = 244 * kMicrosecond, kUpdateCycle = 1984 * kMicrosecond;

    // clock: the virtual time that makes the clock run; null: it stands still.
    explicit Rtc(const Clock* clock = nullptr);

    std::string name() const override { return "RTC"; }
    bool decodes(uint16_t port) const override;
    uint8_t read8(uint16_t port) override;
    void write8(uint16_t port, uint8_t value) override;
    RegisterMap registers() const override;

    void setMirrorAtF073(bool on) { mirror_ = on; }
    bool mirrorAtF073() const { return mirror_; }
    uint8_t selectedIndex() const { return index_; }
    bool nmiMasked() const { return nmiMasked_; }
    // Direct access for chipsets that share the data strobe.
    uint8_t readRegister(uint8_t index);
    void writeRegister(uint8_t index, uint8_t value);

    // When the next update cycle starts (virtual time).
    Nanoseconds nextUpdate() const { return nextUpdate_; }
    bool updateInProgress() const;
    // Writes that changed a time register (put back or not).
    uint64_t timeChanges() const { return timeChanges_; }

private:
    bool running() const;
    void catchUp();
    void update(uint8_t* time) const;
    int decode(uint8_t value) const;
    uint8_t encode(int value) const;

    const Clock* clock_;
    Nanoseconds nextUpdate_ = 500 * kMillisecond;
    uint8_t index_ = 0x0D;
    bool nmiMasked_ = false;
    bool mirror_ = true;
    uint64_t timeChanges_ = 0;
    std::array<uint8_t, 128> cmos_{};
    std::array<uint8_t, 10> freeRunning_{};  // the time as if nobody wrote it
};

}  // namespace sim

#endif  // SIM_CHIPS_RTC_H
