#include "sim/machine/simulated_pc.h"

#include <fstream>
#include <stdexcept>

#include "sim/ata/ata_drive.h"
#include "sim/ata/disk_image.h"
#include "sim/ata/drive_presets.h"
#include "sim/chips/pic.h"
#include "sim/chips/rtc.h"
#include "sim/host/disk_client.h"
#include "sim/host/scsi_port_host.h"
#include "sim/wire/nimb_adapter.h"
#include "sim/wire/parallel_port.h"

namespace sim {

namespace {

ParallelPortConfig portConfigFor(const HostKindInfo& kind, uint16_t base)
{
    ParallelPortConfig c;
    c.base = base;
    c.kind = kind.portKind;
    c.bidirectionalEnabled = kind.bidirectionalAtPowerOn;
    c.eppEnabled = kind.eppAtPowerOn;
    c.byte7Direction = kind.byte7Direction;
    return c;
}

}  // namespace

SimulatedPc::SimulatedPc(const PcConfig& config) : config_(config)
{
    const HostKindInfo* kind = findHostKind(config_.host);
    if (!kind) throw std::invalid_argument("unknown host kind " + config_.host);
    DriveConfig drive = drivePreset(config_.drive);
    if (config_.configureDrive) config_.configureDrive(drive);
    uint64_t bytes = config_.imageBytes ? config_.imageBytes : drive.defaultImageBytes;
    if (config_.imagePath.empty()) {
        imageOwner_ = DiskImage::inMemory(bytes / 512);
    } else {
        if (config_.imageBytes == 0 && !std::ifstream(config_.imagePath))
            throw std::runtime_error("image " + config_.imagePath +
                                     " does not exist (give --size to create it)");
        imageOwner_ = DiskImage::openFile(config_.imagePath, config_.imageBytes / 512);
    }
    image_ = imageOwner_.get();
    drive_ = std::make_unique<AtaDrive>(clock_, drive, image_);
    drive_->powerOn();  // with the machine

    port_ = std::make_unique<ParallelPort>(clock_, portConfigFor(*kind, config_.adapterPort));
    adapter_ = std::make_unique<NimbAdapter>(clock_);
    adapter_->attachTo(*port_);
    adapter_->attachDevice(drive_.get());
    if (!config_.adapterPresent) adapter_->setPresent(false);

    buildHostHardware(*kind);
    bus_.attach(*port_);

    if (!config_.tracePath.empty()) {
        trace_ = std::fopen(config_.tracePath.c_str(), "w");
        if (!trace_) throw std::runtime_error("cannot write trace file " + config_.tracePath);
        std::fprintf(trace_, "# virtual time, direction and width, port, value\n");
        bus_.setSink([this](const IoAccess& a) { std::fprintf(trace_, "%s\n", formatAccess(a).c_str()); });
    }

    ScsiPortHostConfig hostConfig;
    hostConfig.arguments = config_.arguments;
    ParallelPort* port = port_.get();
    hostConfig.interruptLine = [port] { return port->interruptLine(); };
    host_ = std::make_unique<ScsiPortHost>(bus_, hostConfig);
    disk_ = std::make_unique<DiskClient>(*host_);
}

SimulatedPc::~SimulatedPc()
{
    bus_.setSink(nullptr);
    if (trace_) std::fclose(trace_);
    if (platformHost() == host_.get()) bindPlatformHost(nullptr);
    if (platformBus() == &bus_) bindPlatformBus(nullptr);
}

void SimulatedPc::buildHostHardware(const HostKindInfo& kind)
{
    auto rtc = std::make_unique<Rtc>(&clock_);
    chips_.push_back(std::make_unique<Pic>(&bus_, kind.picMirrors, kind.picMirrors));
    if (kind.buildChip)
        chips_.push_back(kind.buildChip(ChipWiring{bus_, *port_, *rtc, config_.adapterPort, config_.chipFault}));
    chips_.push_back(std::move(rtc));
    // Chips first: the register-window chipset snoops the port's registers.
    for (auto& chip : chips_) bus_.attach(*chip);
}

const BootReport& SimulatedPc::boot()
{
    const DriverImage& driver = config_.driver;
    if (!driver.loaded()) throw std::logic_error("the machine has no driver to load");
    bindPlatformHost(host_.get());
    if (driver.reset) driver.reset();
    report_ = BootReport();
    report_.driverStatus = host_->boot(driver.entry);
    for (const Registration& r : host_->registrations()) {
        report_.registrationStatus.push_back(r.status);
        report_.registrationBus.push_back(r.bus == Isa ? "ISA" : r.bus == MicroChannel ? "Micro Channel" : "other");
    }
    for (const DeviceMapping& m : host_->mappings()) report_.portsTried.push_back(static_cast<uint16_t>(m.address));
    report_.adapterFound = host_->adapterCount() > 0;
    if (report_.adapterFound) {
        AdapterRecord& a = host_->adapter(0);
        if (a.config.NumberOfAccessRanges > 0 && a.accessRanges)
            report_.port = static_cast<uint16_t>(a.accessRanges[0].RangeStart.QuadPart);
        report_.maximumTransferLength = host_->maximumTransferLength(0);
        report_.interruptLevel = host_->interruptLevel(0);
    }
    return report_;
}

std::vector<ChipModel*> SimulatedPc::hostChips() const
{
    std::vector<ChipModel*> chips;
    for (const auto& chip : chips_) chips.push_back(static_cast<ChipModel*>(chip.get()));
    return chips;
}

uint8_t SimulatedPc::dataLatch() { return port_->dataLatch(); }

}  // namespace sim
