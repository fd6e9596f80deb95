// The backing store of a simulated drive: a run of 512-byte sectors
// addressed by LBA.
//
// Two kinds exist:
//   - in memory: sparse, a sector that was never written reads as zeros;
//   - a file on disk: opened when it exists (its size, rounded down to whole
//     sectors, is the image size), created with the given size when it does
//     not. Every sector write goes straight to the file (pwrite), so the file
//     holds the data as soon as the write returns; nothing is cached.
// Accesses past the end are refused (the drive turns them into IDNF); a
// read or write that the host file system refuses is reported as false too.
#ifndef SIM_ATA_DISK_IMAGE_H
#define SIM_ATA_DISK_IMAGE_H

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace sim {

constexpr uint32_t kSectorBytes = 512;

class DiskImage {
public:
    virtual ~DiskImage() = default;

    // An empty (all zero) image of the given size, kept in memory.
    static std::unique_ptr<DiskImage> inMemory(uint64_t sectors);
    // The image file at path; created with createSectors sectors when it
    // does not exist. Throws std::runtime_error when the file cannot be
    // opened, created or sized, or holds less than one sector, and
    // std::invalid_argument (leaving the file as it was) when its size is
    // not a whole number of sectors.
    static std::unique_ptr<DiskImage> openFile(const std::string& path, uint64_t createSectors);

    uint64_t sectorCount() const { return sectors_; }
    uint64_t byteSize() const { return sectors_ * kSectorBytes; }

    // One sector; buffer holds kSectorBytes bytes. False past the end.
    virtual bool readSector(uint64_t lba, uint8_t* buffer) const = 0;
    virtual bool writeSector(uint64_t lba, const uint8_t* buffer) = 0;
    // Puts what was written on stable storage (a file image); true when it
    // is there.
    virtual bool flush() { return true; }

    // Several sectors at once (tests, tools); false if any is out of range.
    bool read(uint64_t lba, uint32_t count, uint8_t* buffer) const;
    bool write(uint64_t lba, uint32_t count, const uint8_t* buffer);
    std::vector<uint8_t> read(uint64_t lba, uint32_t count) const;

    uint64_t readCount() const { return reads_; }
    uint64_t writeCount() const { return writes_; }

protected:
    explicit DiskImage(uint64_t sectors) : sectors_(sectors) {}
    bool inRange(uint64_t lba) const { return lba < sectors_; }

    uint64_t sectors_;
    mutable uint64_t reads_ = 0;
    uint64_t writes_ = 0;
};

class MemoryDiskImage : public DiskImage {
public:
    explicit MemoryDiskImage(uint64_t sectors) : DiskImage(sectors) {}
    bool readSector(uint64_t lba, uint8_t* buffer) const override;
    bool writeSector(uint64_t lba, const uint8_t* buffer) override;
    // Sectors that hold data (were written at least once).
    size_t storedSectors() const { return data_.size(); }

private:
    std::unordered_map<uint64_t, std::vector<uint8_t>> data_;
};

class FileDiskImage : public DiskImage {
public:
    // See DiskImage::openFile.
    FileDiskImage(const std::string& path, uint64_t createSectors);
    ~FileDiskImage() override;
    FileDiskImage(const FileDiskImage&) = delete;
    FileDiskImage& operator=(const FileDiskImage&) = delete;

    bool readSector(uint64_t lba, uint8_t* buffer) const override;
    bool writeSector(uint64_t lba, const uint8_t* buffer) override;
    bool flush() override;
    const std::string& path() const { return path_; }
    bool created() const { return created_; }

private:
    std::string path_;
    int fd_ = -1;
    bool created_ = false;
};

}  // namespace sim

#endif  // SIM_ATA_DISK_IMAGE_H
