// The simulated machine's I/O bus and virtual clock.
//
// Every port access the driver makes goes through IoBus: it is dispatched to
// the device model that decodes the address (0xFF where nothing does),
// counted, optionally traced, and it advances virtual time by the access
// cost (1 microsecond by default, roughly an ISA I/O cycle with recovery).
// Time never passes by itself: only port accesses and stalls advance it,
// so timeouts are exact and tests never sleep.
#ifndef SIM_BUS_IO_BUS_H
#define SIM_BUS_IO_BUS_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace sim {

using Nanoseconds = uint64_t;

constexpr Nanoseconds kMicrosecond = 1000;
constexpr Nanoseconds kMillisecond = 1000 * kMicrosecond;
constexpr Nanoseconds kSecond = 1000 * kMillisecond;

class Clock {
public:
    Nanoseconds now() const { return now_; }
    void advance(Nanoseconds ns) { now_ += ns; }

private:
    Nanoseconds now_ = 0;
};

// One port access as seen on the bus.
struct IoAccess {
    Nanoseconds time;
    uint16_t port;
    uint8_t width;  // 1, 2 or 4 bytes
    bool write;
    uint32_t value;
};

std::string formatAccess(const IoAccess& access);

// A device on the bus. Byte accesses are the device's own; wider accesses
// default to byte accesses at consecutive ports, low byte first.
class IoDevice {
public:
    virtual ~IoDevice() = default;
    virtual std::string name() const = 0;
    virtual bool decodes(uint16_t port) const = 0;
    virtual uint8_t read8(uint16_t port) = 0;
    virtual void write8(uint16_t port, uint8_t value) = 0;
    virtual uint16_t read16(uint16_t port);
    virtual void write16(uint16_t port, uint16_t value);
    virtual uint32_t read32(uint16_t port);
    virtual void write32(uint16_t port, uint32_t value);
};

class IoBus {
public:
    explicit IoBus(Clock& clock) : clock_(clock) {}

    Clock& clock() { return clock_; }

    void attach(IoDevice& device);
    void detach(IoDevice& device);

    uint8_t in8(uint16_t port);
    uint16_t in16(uint16_t port);
    uint32_t in32(uint16_t port);
    void out8(uint16_t port, uint8_t value);
    void out16(uint16_t port, uint16_t value);
    void out32(uint16_t port, uint32_t value);

    // Processor interrupt flag, as CLI/STI would leave it.
    void disableInterrupts();
    void enableInterrupts();
    bool interruptsEnabled() const { return interruptsEnabled_; }
    uint64_t interruptDisableCount() const { return cliCount_; }

    // Counters and trace.
    uint64_t accessCount() const { return accesses_; }
    uint64_t accessCount(uint16_t port) const;
    void resetCounters();
    void setAccessCost(Nanoseconds ns) { accessCost_ = ns; }
    Nanoseconds accessCost() const { return accessCost_; }

    // Recording keeps every access in memory (tests); a sink is called for
    // each access as it happens (the tool's --trace file).
    void startRecording() { recording_ = true; }
    void stopRecording() { recording_ = false; }
    const std::vector<IoAccess>& recorded() const { return recorded_; }
    void clearRecording() { recorded_.clear(); }
    void setSink(std::function<void(const IoAccess&)> sink) { sink_ = std::move(sink); }

private:
    IoDevice* find(uint16_t port) const;
    uint32_t readWide(uint16_t port, int width);
    void writeWide(uint16_t port, int width, uint32_t value);
    void note(uint16_t port, uint8_t width, bool write, uint32_t value);

    Clock& clock_;
    std::vector<IoDevice*> devices_;
    Nanoseconds accessCost_ = kMicrosecond;
    uint64_t accesses_ = 0;
    std::vector<uint64_t> perPort_ = std::vector<uint64_t>(65536, 0);
    bool recording_ = false;
    std::vector<IoAccess> recorded_;
    std::function<void(const IoAccess&)> sink_;
    bool interruptsEnabled_ = true;
    uint64_t cliCount_ = 0;
};

}  // namespace sim

#endif  // SIM_BUS_IO_BUS_H
