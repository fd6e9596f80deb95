// A whole simulated PC: I/O bus and clock, the parallel port at one of the
// three standard addresses with the NIMB adapter on its cable, the ATA
// drive behind the adapter with its disk image, the host port hardware of
// one machine kind (Super I/O chip, PCI function, chipset, PS/2 board or
// laptop chipset), and the stand-in SCSI port driver that loads the driver
// the configuration names.
#ifndef SIM_MACHINE_SIMULATED_PC_H
#define SIM_MACHINE_SIMULATED_PC_H

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/bus/io_bus.h"
#include "sim/chips/chip_model.h"
#include "sim/machine/driver_image.h"
#include "sim/machine/host_kinds.h"

namespace sim {

class ScsiPortHost;
class DiskClient;
class ParallelPort;
class NimbAdapter;
class AtaDrive;
class DiskImage;
struct DriveConfig;

struct PcConfig {
    // The driver the machine loads at boot; boot() refuses a machine
    // without one.
    DriverImage driver;
    std::string host = "epp";    // machine kind, see hostKindTable()
    uint16_t adapterPort = 0x378;
    bool adapterPresent = true;
    std::string drive = "fixed";  // a drive preset, see drivePresetNames()
    // Changes to the preset before the drive is built (another geometry,
    // another feature set); none when empty.
    std::function<void(DriveConfig&)> configureDrive;
    std::string imagePath;        // empty: in memory
    uint64_t imageBytes = 0;  // size when created (or in memory); 0: the preset's size
    std::optional<std::string> arguments;  // the driver's argument string
    std::string tracePath;        // every port access, with virtual time
    // The fault variant of the machine's chip (not the PIC and RTC).
    ChipFault chipFault = ChipFault::None;
};

// What booting the driver on the machine gave.
struct BootReport {
    uint32_t driverStatus = 0;             // the entry point's result
    std::vector<uint32_t> registrationStatus;  // per ScsiPortInitialize call
    std::vector<std::string> registrationBus;  // bus name per call
    bool adapterFound = false;
    uint16_t port = 0;                      // the port the adapter was found on
    std::vector<uint16_t> portsTried;       // ports the driver mapped, in order
    uint32_t maximumTransferLength = 0;
    uint32_t interruptLevel = 0;
};

class SimulatedPc {
public:
    explicit SimulatedPc(const PcConfig& config);
    ~SimulatedPc();
    SimulatedPc(const SimulatedPc&) = delete;
    SimulatedPc& operator=(const SimulatedPc&) = delete;

    // Loads the driver: its entry point, both registrations, discovery,
    // HwInitialize. Throws std::logic_error when the configuration names
    // no driver.
    const BootReport& boot();
    const BootReport& report() const { return report_; }

    Clock& clock() { return clock_; }
    IoBus& bus() { return bus_; }
    ScsiPortHost& host() { return *host_; }
    DiskClient& disk() { return *disk_; }
    ParallelPort& port() { return *port_; }
    NimbAdapter& adapter() { return *adapter_; }
    AtaDrive& drive() { return *drive_; }
    DiskImage& image() { return *image_; }
    const PcConfig& config() const { return config_; }
    // The host port hardware the machine was built with: the PIC, the
    // machine's chip (if any) and the RTC, for checking what probes left.
    std::vector<ChipModel*> hostChips() const;

    // The port's data latch. After a request that completes without
    // waiting for the drive it holds the mode byte the driver leaves there,
    // read mode * 16 + write mode.
    uint8_t dataLatch();

private:
    void buildHostHardware(const HostKindInfo& kind);

    PcConfig config_;
    Clock clock_;
    IoBus bus_{clock_};
    std::unique_ptr<DiskImage> imageOwner_;
    DiskImage* image_ = nullptr;
    std::unique_ptr<AtaDrive> drive_;
    std::unique_ptr<ParallelPort> port_;
    std::unique_ptr<NimbAdapter> adapter_;
    std::vector<std::unique_ptr<IoDevice>> chips_;
    std::unique_ptr<ScsiPortHost> host_;
    std::unique_ptr<DiskClient> disk_;
    std::FILE* trace_ = nullptr;
    BootReport report_;
};

}  // namespace sim

#endif  // SIM_MACHINE_SIMULATED_PC_H
