#include "sim/machine/simulated_pc.h"

#include <fstream>
#include <stdexcept>

#include "sim/ata/ata_drive.h"
#include "sim/chips/chipset_100.h"
#include "sim/chips/cmos_window_chipset.h"
#include "sim/host/disk_client.h"
#include "sim/ata/disk_image.h"
#include "sim/ata/drive_presets.h"
#include "sim/chips/indexed_chipset22.h"
#include "sim/chips/laptop_chipset.h"
#include "sim/wire/nimb_adapter.h"
#include "sim/chips/ns_pc873xx.h"
#include "sim/wire/parallel_port.h"
#include "sim/chips/pci_config.h"
#include "sim/chips/pic.h"
#include "sim/chips/ps2_system_board.h"
#include "sim/chips/rtc.h"
#include "sim/host/scsi_port_host.h"
#include "sim/chips/smc_fdc37c665.h"
#include "sim/chips/winbond_w83877f.h"

namespace sim {

namespace {

const std::vector<HostKindInfo> kHostKinds = {
    {"plain", "standard port: output-only data lines, no EPP"},
    {"ps2", "PS/2 board port, bidirectional once switched (0x102)"},
    {"epp", "port with hardware EPP that needs no chip set-up"},
    {"smc", "ECP port of an SMC FDC37C665GT (config at 0x3F0)"},
    {"natsemi", "port of a National Semiconductor PC873xx (0x398)"},
    {"winbond", "ECP port of a Winbond W83877F (0x250-0x252)"},
    {"pci", "ECP port of a PCI function (bus 0, device 2)"},
    {"window", "port of the chipset behind the window at 0xF073"},
    {"chipset100", "port at 0x378 switched by chipset pair 0x100/0x101"},
    {"laptop", "port of a laptop chipset (0x22-0x25, 0xAE/0xAF)"},
    {"picmirror", "EPP port; interrupt controller mirrored at 0x22/0x23"},
    {"chipset22", "standard port; unidentified chipset at 0x22/0x23"},
};

ParallelPortConfig portConfigFor(const std::string& host, uint16_t base)
{
    ParallelPortConfig c;
    c.base = base;
    c.bidirectionalEnabled = false;
    c.eppEnabled = false;
    if (host == "plain" || host == "chipset22") {
        c.kind = ParallelPortKind::Spp;
    } else if (host == "ps2") {
        c.kind = ParallelPortKind::Ps2;
    } else if (host == "epp" || host == "picmirror") {
        c.kind = ParallelPortKind::Epp;
        c.bidirectionalEnabled = true;
        c.eppEnabled = true;
    } else if (host == "smc" || host == "winbond") {
        // These chips' ports are ECP ports; the driver sets the ECR to EPP.
        c.kind = ParallelPortKind::Ecp;
        c.bidirectionalEnabled = true;
    } else if (host == "pci") {
        // The PCI function's port gains EPP from its configuration register.
        c.kind = ParallelPortKind::Epp;
        c.bidirectionalEnabled = true;
    } else {
        // natsemi, window, chipset100, laptop: the chip decides.
        c.kind = ParallelPortKind::Epp;
    }
    return c;
}

}  // namespace

const std::vector<HostKindInfo>& hostKinds() { return kHostKinds; }

bool isHostKind(const std::string& name)
{
    for (const HostKindInfo& k : kHostKinds)
        if (name == k.name) return true;
    return false;
}

bool isDrivePreset(const std::string& name)
{
    return findDrivePreset(name).has_value();
}

SimulatedPc::SimulatedPc(const PcConfig& config) : config_(config)
{
    if (!isHostKind(config_.host)) throw std::invalid_argument("unknown host kind " + config_.host);
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

    port_ = std::make_unique<ParallelPort>(clock_, portConfigFor(config_.host, config_.adapterPort));
    adapter_ = std::make_unique<NimbAdapter>(clock_);
    adapter_->attachTo(*port_);
    adapter_->attachDevice(drive_.get());
    if (!config_.adapterPresent) adapter_->setPresent(false);

    buildHostHardware();
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

void SimulatedPc::buildHostHardware()
{
    const std::string& h = config_.host;
    uint16_t base = config_.adapterPort;
    ChipFault fault = config_.chipFault;
    auto rtc = std::make_unique<Rtc>();
    Rtc* rtcPtr = rtc.get();
    // Partial address decoding: the controller answers at every even/odd
    // pair of its range, 0x22/0x23 and 0x2E/0x2F among them.
    bool picMirrors = h == "picmirror";
    chips_.push_back(std::make_unique<Pic>(&bus_, picMirrors, picMirrors));
    if (h == "smc") {
        chips_.push_back(std::make_unique<SmcFdc37c665>(*port_, 0x3F0, 0x65, fault));
    } else if (h == "natsemi") {
        chips_.push_back(std::make_unique<NsPc873xx>(*port_, 0x398, base, fault));
    } else if (h == "winbond") {
        chips_.push_back(std::make_unique<WinbondW83877f>(*port_, 0x89, fault));
    } else if (h == "pci") {
        chips_.push_back(std::make_unique<PciConfigSpace>(bus_, *port_, base, fault));
    } else if (h == "window") {
        rtcPtr->setMirrorAtF073(false);
        chips_.push_back(std::make_unique<CmosWindowChipset>(*rtcPtr, *port_, *port_, base, fault));
    } else if (h == "chipset100") {
        chips_.push_back(std::make_unique<Chipset100>(*port_, Chipset100::Kind::Chipset, fault));
    } else if (h == "laptop") {
        chips_.push_back(std::make_unique<LaptopChipset>(*port_, base, false, fault));
    } else if (h == "ps2") {
        chips_.push_back(std::make_unique<Ps2SystemBoard>(*port_, base, fault));
    } else if (h == "chipset22") {
        chips_.push_back(std::make_unique<IndexedChipset22>(fault));
    }
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
