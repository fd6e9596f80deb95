// National Semiconductor PC873xx Super I/O chip.
//
// Configuration protocol: an index port P strapped at one of 0x398, 0x26E,
// 0x15C or 0x2E, data port P+1. There is no key: a write to P selects a
// register and P reads back the selected index; P+1 reads and writes the
// selected register. Writes are taken at once (repeating them is harmless).
// Registers:
//   0 FER  function enable: bit 0 = parallel port enabled; bits 7-1 storage
//   1 FAR  function address, bits 1-0 the parallel port's address:
//          00 = 0x378, 10 = 0x278, x1 = 0x3BC; bits 7-2 storage
//   2 PTR  power and test: bit 7 = extended printer modes allowed
//          (read/write; while 0 the PCR's EPP bit has no effect); bits 6-0
//          storage
//   3 FCR  function control, storage
//   4 PCR  printer control: bit 0 EPP enable, bit 1 EPP version 1.9,
//          bit 2 ECP enable, bit 3 storage, bit 4 reserved (reads 0, not stored),
//          bits 7-5 storage
//   5-8    storage; indices above 8 read 0x00, writes ignored
// The parallel port makes EPP cycles while FER bit 0, PTR bit 7 and PCR
// bit 0 are set and FAR selects the address of the port this chip owns.
// Faults: SwitchIgnored - registers answer, EPP never reaches the port.
// WrongAnswer - PCR bit 4 reads 1 (the printer control check fails).
#ifndef SIM_CHIPS_NS_PC873XX_H
#define SIM_CHIPS_NS_PC873XX_H

#include <array>

#include "sim/chips/chip_model.h"

namespace sim {

class NsPc873xx : public ChipModel {
public:
    static constexpr uint8_t kFer = 0, kFar = 1, kPtr = 2, kFcr = 3, kPcr = 4;
    static constexpr uint8_t kFerParallel = 0x01, kPtrExtended = 0x80, kPcrEpp = 0x01,
                             kPcrEpp19 = 0x02, kPcrEcp = 0x04, kPcrReserved = 0x10,
                             kIdentification = 0x88;

    NsPc873xx(PortFeatureSwitch& features, uint16_t indexPort, uint16_t portBase,
              ChipFault fault = ChipFault::None);

    std::string name() const override { return "PC873xx"; }
    bool decodes(uint16_t port) const override { return port == index_ || port == index_ + 1; }
    uint8_t read8(uint16_t port) override;
    void write8(uint16_t port, uint8_t value) override;
    RegisterMap registers() const override;

    uint16_t indexPort() const { return index_; }
    uint8_t reg(uint8_t index) const { return index < regs_.size() ? regs_[index] : 0; }
    // The address FAR selects now.
    uint16_t selectedPort() const;
    bool eppEnabled() const { return eppFeature(); }

protected:
    bool eppFeature() const override;
    bool drivesEpp() const override { return true; }

private:
    uint16_t index_;
    uint16_t portBase_;
    // Closes a run of data-port writes: a run of one was ignored.
    void endDataWrites();

    uint8_t selected_ = 0;
    bool identityPending_ = true;  // the next read of P answers the identification byte
    unsigned dataWrites_ = 0;      // data-port writes in the current run
    std::array<uint8_t, 9> regs_{};
};

}  // namespace sim

#endif  // SIM_CHIPS_NS_PC873XX_H
