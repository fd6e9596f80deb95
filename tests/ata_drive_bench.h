// The ATA layer on the whole simulated stack: the rig with the drive model
// and its disk image, discovery, and reads and writes run the way the SCSI
// side and the interrupt path run them.
#ifndef TESTS_ATA_DRIVE_BENCH_H
#define TESTS_ATA_DRIVE_BENCH_H

#include <functional>
#include <memory>
#include <vector>

#include "ata_rig.h"
#include "scsi/dispatch.h"
#include "sim/ata/ata_drive.h"
#include "sim/ata/disk_image.h"
#include "sim/ata/drive_presets.h"

// A recognisable byte for every position of the image.
inline uint8_t patternByte(uint64_t lba, unsigned i) { return uint8_t(lba * 7 + i * 13 + (i >> 8) + 1); }

struct BenchOptions {
    std::string preset = "fixed";
    AtaRigOptions rig;
    bool polling = false;
    bool multiple = true;
    uint8_t mediaStatusMode = 0;
    uint64_t patternSectors = 256;  // sectors filled with the pattern from LBA 0
    std::function<void(sim::DriveConfig&)> configure;
};

class DriveBench {
public:
    explicit DriveBench(BenchOptions options = {}) : rig(options.rig)
    {
        sim::DriveConfig config = sim::drivePreset(options.preset);
        if (options.configure) options.configure(config);
        image = sim::DiskImage::inMemory(config.defaultImageBytes / sim::kSectorBytes);
        std::vector<uint8_t> sector(512);
        for (uint64_t lba = 0; lba < options.patternSectors && lba < image->sectorCount(); ++lba) {
            for (unsigned i = 0; i < 512; ++i) sector[i] = patternByte(lba, i);
            image->writeSector(lba, sector.data());
        }
        drive = std::make_unique<sim::AtaDrive>(rig.clock, config, image.get());
        rig.attach(*drive);
        DriverParameters.PollingMode = options.polling;
        DriverParameters.NoMultipleMode = !options.multiple;
        DriverParameters.MediaStatusMode = options.mediaStatusMode;
    }

    bool discover()
    {
        discoverDrives();
        return UnitState[0].absent == 0;
    }

    // A READ(10)/WRITE(10) as the dispatcher runs it: port taken, handler,
    // then either the port given back or the continuations run until the
    // request has finished. Returns the sense key.
    uint8_t transfer(uint8_t command, uint32_t block, uint16_t count, uint8_t* buf, uint32_t bufferBytes)
    {
        LinkAcquire();
        rig.prepare(command, block, count, buf, bufferBytes);
        if (command == ATA_CMD_READ_SECTORS) ScsiRead(&rig.request);
        else ScsiWrite(&rig.request);
        deferred = (rig.request.WorkFlags & WORK_STILL_RUNNING) != 0;
        if (deferred) {
            finished = rig.resumeUntilDone();
        } else {
            finished = true;
            LinkEndInterruptWait();
            LinkRelease();
        }
        return CommandState.senseKey;
    }

    uint8_t read(uint32_t block, uint16_t count, std::vector<uint8_t>& out)
    {
        out.assign(size_t(count) * 512 + kCanary, 0xEE);
        uint8_t key = transfer(ATA_CMD_READ_SECTORS, block, count, out.data(), uint32_t(count) * 512);
        return key;
    }

    uint8_t write(uint32_t block, const std::vector<uint8_t>& data)
    {
        std::vector<uint8_t> copy = data;
        return transfer(ATA_CMD_WRITE_SECTORS, block, uint16_t(data.size() / 512), copy.data(),
                        uint32_t(data.size()));
    }

    std::vector<uint8_t> imageBytes(uint64_t lba, uint32_t count)
    {
        std::vector<uint8_t> out(size_t(count) * 512);
        for (uint32_t k = 0; k < count; ++k) image->readSector(lba + k, out.data() + size_t(k) * 512);
        return out;
    }

    static bool canaryIntact(const std::vector<uint8_t>& buf, size_t bytes)
    {
        for (size_t i = bytes; i < buf.size(); ++i)
            if (buf[i] != 0xEE) return false;
        return true;
    }

    static constexpr size_t kCanary = 8192 + 512;

    AtaRig rig;
    std::unique_ptr<sim::DiskImage> image;
    std::unique_ptr<sim::AtaDrive> drive;
    bool deferred = false;
    bool finished = false;
};

#endif  // TESTS_ATA_DRIVE_BENCH_H
