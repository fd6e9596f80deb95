#include "tools/bench/bench_rig.h"

#include "sim/ata/ata_drive.h"
#include "sim/host/disk_client.h"
#include "sim/ata/disk_image.h"
#include "sim/ata/drive_presets.h"
#include "sim/wire/nimb_adapter.h"
#include "sim/wire/parallel_port.h"
#include "sim/chips/pic.h"
#include "sim/chips/rtc.h"
#include "sim/host/scsi_port_host.h"

namespace nimbsim {
namespace bench {
namespace {

constexpr uint16_t kPort = 0x378;

class PcRig : public BenchRig {
public:
    PcRig(const std::string& machine, const std::string& arguments, const sim::DriverImage& driver)
        : pc_(configFor(machine, arguments, driver))
    {
    }
    bool boot() override { return pc_.boot().adapterFound; }
    sim::IoBus& bus() override { return pc_.bus(); }
    sim::DiskClient& disk() override { return pc_.disk(); }
    sim::DiskImage& image() override { return pc_.image(); }
    sim::NimbAdapter& adapter() override { return pc_.adapter(); }
    sim::AtaDrive& drive() override { return pc_.drive(); }
    uint16_t portBase() const override { return kPort; }
    uint8_t dataLatch() override { return pc_.dataLatch(); }

private:
    static sim::PcConfig configFor(const std::string& machine, const std::string& arguments,
                                   const sim::DriverImage& driver)
    {
        sim::PcConfig c;
        c.driver = driver;
        c.host = machine;
        c.adapterPort = kPort;
        c.arguments = arguments;
        return c;
    }
    sim::SimulatedPc pc_;
};

// A PS/2-style bidirectional port whose data direction is control bit 7
// (bits 6 and 7 read back as written, base + 7 decoded), nothing else on
// the machine but the interrupt controller and the clock.
class Byte7Rig : public BenchRig {
public:
    Byte7Rig(const std::string& arguments, const sim::DriverImage& driver) : driver_(driver)
    {
        sim::DriveConfig drive = sim::drivePreset("fixed");
        image_ = sim::DiskImage::inMemory(drive.defaultImageBytes / sim::kSectorBytes);
        drive_ = std::make_unique<sim::AtaDrive>(clock_, drive, image_.get());
        sim::ParallelPortConfig port;
        port.base = kPort;
        port.kind = sim::ParallelPortKind::Ps2;
        port.bidirectionalEnabled = true;
        port.eppEnabled = false;
        port.byte7Direction = true;
        port_ = std::make_unique<sim::ParallelPort>(clock_, port);
        adapter_ = std::make_unique<sim::NimbAdapter>(clock_);
        adapter_->attachTo(*port_);
        adapter_->attachDevice(drive_.get());
        bus_.attach(pic_);
        bus_.attach(rtc_);
        bus_.attach(*port_);
        sim::ScsiPortHostConfig host;
        host.arguments = arguments;
        sim::ParallelPort* p = port_.get();
        host.interruptLine = [p] { return p->interruptLine(); };
        host_ = std::make_unique<sim::ScsiPortHost>(bus_, host);
        disk_ = std::make_unique<sim::DiskClient>(*host_);
    }
    ~Byte7Rig() override
    {
        if (sim::platformHost() == host_.get()) sim::bindPlatformHost(nullptr);
        if (sim::platformBus() == &bus_) sim::bindPlatformBus(nullptr);
    }
    bool boot() override
    {
        sim::bindPlatformHost(host_.get());
        if (driver_.reset) driver_.reset();
        host_->boot(driver_.entry);
        return host_->adapterCount() > 0;
    }
    sim::IoBus& bus() override { return bus_; }
    sim::DiskClient& disk() override { return *disk_; }
    sim::DiskImage& image() override { return *image_; }
    sim::NimbAdapter& adapter() override { return *adapter_; }
    sim::AtaDrive& drive() override { return *drive_; }
    uint16_t portBase() const override { return kPort; }
    uint8_t dataLatch() override { return port_->dataLatch(); }

private:
    sim::DriverImage driver_;
    sim::Clock clock_;
    sim::IoBus bus_{clock_};
    sim::Pic pic_{&bus_};
    sim::Rtc rtc_;
    std::unique_ptr<sim::DiskImage> image_;
    std::unique_ptr<sim::AtaDrive> drive_;
    std::unique_ptr<sim::ParallelPort> port_;
    std::unique_ptr<sim::NimbAdapter> adapter_;
    std::unique_ptr<sim::ScsiPortHost> host_;
    std::unique_ptr<sim::DiskClient> disk_;
};

}  // namespace

std::unique_ptr<BenchRig> makeRig(const std::string& machine, const std::string& arguments,
                                  const sim::DriverImage& driver)
{
    if (machine == "byte7") return std::make_unique<Byte7Rig>(arguments, driver);
    return std::make_unique<PcRig>(machine, arguments, driver);
}

}  // namespace bench
}  // namespace nimbsim
