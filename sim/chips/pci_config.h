// PCI configuration mechanism 1 with one function that owns the parallel
// port: bus 0, device 2, function 0 (an ISA bridge).
//
// Protocol:
//   0xCF8  CONFIG_ADDRESS, a 32-bit register reached only by 32-bit
//          accesses: bit 31 enable, bits 23-16 bus, 15-11 device, 10-8
//          function, 7-2 register (bits 1-0 read 0). A byte or 16-bit access
//          to 0xCF8-0xCFB is not a configuration access: reads give 0xFF
//          bytes, writes are ignored - so a byte read of 0xCF8 differs from
//          the low byte of the 32-bit read.
//   0xCFC-0xCFF  CONFIG_DATA: byte, 16-bit or 32-bit access to the selected
//          register dword at the byte offset of the port. With the enable bit
//          clear, or for any other bus/device/function, reads give all ones
//          and writes are ignored.
//   Every access to these ports must be made with processor interrupts
//   disabled (the address register is shared with the rest of the system);
//   one made with interrupts enabled is counted as a violation.
// The function's registers:
//   0x00-0x03  vendor 0xC0DE, device 0x1284 (read-only)
//   0x08-0x0B  revision 0x01, class 0x060100 (ISA bridge), read-only
//   0x50-0x51  storage
//   0x52       parallel port control: bits 3-2 the port's address (0 0x378,
//              1 0x278, 2 0x3BC, 3 none), bit 5 EPP mode; others storage
//   0x53       bit 7 EPP cycle decode at base+3 to base+7; others storage
//   every other register is read/write storage
// The port makes EPP cycles while 0x52 bit 5 and 0x53 bit 7 are set and 0x52
// selects the address of the port this function owns.
// The port's ECP mode register (ECR at base+0x402) belongs to the parallel
// port model.
// Faults: SwitchIgnored - registers answer, EPP never reaches the port.
// WrongAnswer - a byte read of 0xCF8 gives the address register's low byte
// (the mechanism then looks absent).
#ifndef SIM_CHIPS_PCI_CONFIG_H
#define SIM_CHIPS_PCI_CONFIG_H

#include <array>

#include "sim/chips/chip_model.h"

namespace sim {

class PciConfigSpace : public ChipModel {
public:
    static constexpr uint16_t kAddressPort = 0xCF8, kDataPort = 0xCFC;
    static constexpr uint32_t kEnable = 0x80000000u;
    static constexpr uint8_t kRegPortControl = 0x52, kRegEppDecode = 0x53;
    static constexpr uint8_t kPortEpp = 0x20, kDecodeEpp = 0x80;

    // portBase: 0x378, 0x278 or 0x3BC as the function reports it; 0 for none.
    PciConfigSpace(IoBus& bus, PortFeatureSwitch& features, uint16_t portBase,
                   ChipFault fault = ChipFault::None);

    std::string name() const override { return "PCI configuration"; }
    bool decodes(uint16_t port) const override { return port >= kAddressPort && port <= 0xCFF; }
    uint8_t read8(uint16_t port) override;
    void write8(uint16_t port, uint8_t value) override;
    uint16_t read16(uint16_t port) override;
    void write16(uint16_t port, uint16_t value) override;
    uint32_t read32(uint16_t port) override;
    void write32(uint16_t port, uint32_t value) override;
    RegisterMap registers() const override;

    uint32_t configAddress() const { return address_; }
    void setConfigAddress(uint32_t value) { address_ = value & ~3u; }
    uint8_t functionRegister(uint8_t index) const { return space_[index]; }
    // The port address register 0x52 selects now (0 for none).
    uint16_t selectedPort() const;
    uint64_t accessesWithInterruptsEnabled() const { return unsafe_; }
    bool eppEnabled() const { return eppFeature(); }

protected:
    bool eppFeature() const override;
    bool drivesEpp() const override { return true; }

private:
    void checkInterrupts();
    bool functionSelected() const;
    uint32_t readData(uint16_t port, int width);
    void writeData(uint16_t port, int width, uint32_t value);

    IoBus& bus_;
    uint16_t portBase_;
    uint32_t address_ = 0x8000F840u;  // left by the firmware: another device
    std::array<uint8_t, 256> space_{};
    uint64_t unsafe_ = 0;
};

}  // namespace sim

#endif  // SIM_CHIPS_PCI_CONFIG_H
