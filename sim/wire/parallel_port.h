// A PC parallel printer port and the cable to the peripheral behind it.
//
// Registers (offsets from the base):
//   +0 DATA      write: data latch. read: the latch while the data lines are
//                output; the peripheral's data lines (0xFF when it does not
//                drive them) while they are input.
//   +1 STATUS    read only. Bits 7-3 are the peripheral's status lines as the
//                cable carries them (no inversion is modelled: busy, ack,
//                paper end, select, error read as the peripheral drives
//                them); with nothing on the cable they float and read 1.
//                Bits 2-1 read 1. Bit 0 reads 1 on ports without EPP and is
//                the EPP time-out flag on EPP-capable kinds (set by an EPP
//                cycle that got no handshake, cleared by reading STATUS).
//   +2 CONTROL   bit 0 strobe, 1 auto-feed, 2 initialise, 3 select-in,
//                4 interrupt enable, 5 data direction (1 = input).
//                Bits 0-4 read back as written, except that bits 1-3 read
//                the peripheral's level while it pulls them (open-collector
//                control lines; `controlOpenCollector` false makes them
//                push-pull and the read-back is always the written value).
//                Bit 5 reads back as written on bidirectional-capable kinds,
//                as 1 on a plain SPP port. Bits 6-7 read 1, except on a
//                "byte7" port where they read as written and bit 7 (not 5)
//                is the data direction.
//   +3 EPP-A     EPP address register: a write makes an address write cycle,
//                a read an address read cycle.
//   +4..+7 EPP-D EPP data register byte lanes. A byte access at any lane is
//                one data cycle; a 16-bit access at +4 two cycles, a 32-bit
//                access at +4 four cycles (lane 0 first). A read of +7 alone
//                is one cycle.
//   +0x402 ECR   ECP kind only: bits 7-5 mode (000 SPP: direction bit
//                ignored, 001 PS/2: bidirectional, 100 EPP: EPP cycles and
//                bidirectional; every other mode behaves as 000 here),
//                bits 4-2 stored as written (nErrIntrEn, dmaEn, serviceIntr),
//                bit 1 (FIFO full) reads 0, bit 0 (FIFO empty) reads 1.
//                Reset value 0x15 unless configured.
//
// Decoding: the base is where the port powers on; a board chip may move it
// (setPortAddress) or disable it (base 0: the port decodes nothing, its
// latches keep their values). A port at 0x3BC decodes only +0..+2 (its EPP registers would
// overlap the video adapter's range), whatever its kind. Elsewhere SPP and
// PS/2 kinds decode +0..+2 (and +7 on a byte7 port), EPP and ECP kinds
// +0..+7; any kind decodes +3..+7 once a chip has switched its EPP on or
// the alternate layout is on. Only the ECP kind decodes +0x402.
//
// EPP works only when enabled: natively (EPP kind, `eppEnabled` at power
// on), through a chip (setChipEpp), and on the ECP kind only in ECR mode 100.
// Without it, +3..+7 make no cycle: writes vanish and reads give 0xFF.
// Bidirectional data lines work on PS/2 and EPP kinds when enabled (power-on
// `bidirectionalEnabled`, or setChipBidirectional), on the ECP kind in ECR
// modes 001 and 100; a port that is not switched reads back its own output.
//
// The chipset's alternate EPP layout: +3 is a chipset register (read back
// as written) whose low three bits select the cycle: 6 makes +6 the address
// register (a byte write there is an address write cycle) and +4 a byte-wide
// data register; 7 also makes a 32-bit access at +4 four data cycles (with 6
// a 32-bit access at +4 makes one cycle in lane 0 and the upper lanes read
// 0xFF). +7 is a chipset register (initially 0xF9, read back as written)
// and +5 reads 0xFF. EPP cycles need the chip's EPP switch in this layout.
//
// Interrupt: with control bit 4 set, the port's interrupt line follows the
// acknowledge line (status bit 6): interruptLine() is the level now.
// interruptEdges() counts rising edges of that line seen at STATUS reads and
// interrupt polls.
#ifndef SIM_WIRE_PARALLEL_PORT_H
#define SIM_WIRE_PARALLEL_PORT_H

#include <cstdint>
#include <string>

#include "sim/bus/io_bus.h"
#include "sim/wire/port_features.h"

namespace sim {

// The peripheral end of the cable. The port tells it every change of the
// lines the host drives and asks it for the lines it drives.
class ParallelCable {
public:
    virtual ~ParallelCable() = default;
    // The host's data latch changed (the value is what the host drives; the
    // lines carry it while the port is output).
    virtual void hostDataChanged(uint8_t data) = 0;
    // The control register changed (bits 0-3 the lines, 5/7 direction).
    virtual void hostControlChanged(uint8_t control) = 0;
    // Status lines, bits 7-3 (the low bits are ignored).
    virtual uint8_t statusLines() = 0;
    // True (and the value) while the peripheral drives the data lines.
    virtual bool dataLines(uint8_t& value) = 0;
    // Control bits 1-3 the peripheral pulls now: returns the mask, sets value.
    virtual uint8_t controlLines(uint8_t& value) = 0;
    // EPP cycles. False: the peripheral gave no handshake (time-out).
    virtual bool eppAddressWrite(uint8_t value) = 0;
    virtual bool eppAddressRead(uint8_t& value) = 0;
    virtual bool eppDataWrite(uint8_t value) = 0;
    virtual bool eppDataRead(uint8_t& value) = 0;
};

enum class ParallelPortKind { Spp, Ps2, Epp, Ecp };

struct ParallelPortConfig {
    uint16_t base = 0x378;
    ParallelPortKind kind = ParallelPortKind::Epp;
    // Power-on state of the switches a chip may change later.
    bool bidirectionalEnabled = true;  // PS/2 and EPP kinds (never on SPP)
    bool eppEnabled = true;            // EPP and ECP kinds (never on SPP/PS/2)
    bool alternateEppLayout = false;
    bool byte7Direction = false;  // control bit 7 is the direction
    bool controlOpenCollector = true;
    uint8_t ecrResetValue = 0x15;
};

const char* parallelPortKindName(ParallelPortKind kind);

class ParallelPort : public IoDevice, public PortFeatureSwitch {
public:
    static constexpr uint16_t kData = 0, kStatus = 1, kControl = 2, kEppAddress = 3,
                              kEppData = 4, kEcr = 0x402;
    static constexpr uint8_t kCtlStrobe = 0x01, kCtlAutoFeed = 0x02, kCtlInit = 0x04,
                             kCtlSelectIn = 0x08, kCtlIrqEnable = 0x10, kCtlDirection = 0x20;
    static constexpr uint8_t kStatusError = 0x08, kStatusAck = 0x40;

    ParallelPort(Clock& clock, ParallelPortConfig config);

    // The peripheral on the cable (nullptr: nothing, the lines float).
    void attachCable(ParallelCable* peer);
    ParallelCable* cable() const { return peer_; }

    // IoDevice
    std::string name() const override;
    bool decodes(uint16_t port) const override;
    uint8_t read8(uint16_t port) override;
    void write8(uint16_t port, uint8_t value) override;
    uint16_t read16(uint16_t port) override;
    void write16(uint16_t port, uint16_t value) override;
    uint32_t read32(uint16_t port) override;
    void write32(uint16_t port, uint32_t value) override;

    // PortFeatureSwitch
    void setChipEpp(bool enabled) override { eppEnabled_ = enabled; }
    void setChipBidirectional(bool enabled) override { bidirEnabled_ = enabled; }
    void setAlternateEppLayout(bool enabled) override { alternate_ = enabled; }
    void setPortAddress(uint16_t base) override { config_.base = base; }

    // State as the hardware holds it.
    const ParallelPortConfig& config() const { return config_; }
    uint16_t base() const { return config_.base; }  // 0 while disabled
    uint8_t dataLatch() const { return data_; }
    uint8_t controlLatch() const { return control_; }
    uint8_t ecr() const { return ecr_; }
    bool eppActive() const;           // EPP cycles work now
    bool bidirectionalActive() const;  // the direction bit works now
    bool dataInput() const;           // data lines turned to input now
    bool alternateLayout() const { return alternate_; }
    uint8_t chipsetRegister3() const { return altReg3_; }

    // Interrupt line (level) and rising edges seen.
    bool interruptLine();
    uint64_t interruptEdges() const { return irqEdges_; }

    uint64_t eppCycles() const { return eppCycles_; }
    uint64_t eppTimeouts() const { return eppTimeouts_; }

private:
    uint16_t offset(uint16_t port) const { return static_cast<uint16_t>(port - config_.base); }
    bool wideDecode() const;
    uint8_t readStatus();
    uint8_t readControl();
    uint8_t readData();
    void writeData(uint8_t value);
    void writeControl(uint8_t value);
    bool eppAddressCyclesAt(uint16_t off) const;  // offset carrying address cycles
    uint8_t eppDataRead();
    void eppDataWrite(uint8_t value);
    uint8_t eppAddressRead();
    void eppAddressWrite(uint8_t value);
    void timeout();
    void sampleIrq(uint8_t status);

    Clock& clock_;
    ParallelPortConfig config_;
    ParallelCable* peer_ = nullptr;
    uint8_t data_ = 0;
    uint8_t control_ = 0x0C;  // power-on: initialise high, select-in
    uint8_t ecr_;
    bool eppEnabled_;
    bool bidirEnabled_;
    bool alternate_;
    bool eppTimeout_ = false;
    uint8_t altReg3_ = 0x00;
    uint8_t altReg7_ = 0xF9;
    uint8_t byte7Reg_ = 0x00;
    bool irqLevel_ = false;
    uint64_t irqEdges_ = 0;
    uint64_t eppCycles_ = 0;
    uint64_t eppTimeouts_ = 0;
};

}  // namespace sim

#endif  // SIM_WIRE_PARALLEL_PORT_H
