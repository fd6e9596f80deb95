#include "sim/ata/disk_image.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <stdexcept>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sim {

std::unique_ptr<DiskImage> DiskImage::inMemory(uint64_t sectors)
{
    return std::make_unique<MemoryDiskImage>(sectors);
}

std::unique_ptr<DiskImage> DiskImage::openFile(const std::string& path, uint64_t createSectors)
{
    return std::make_unique<FileDiskImage>(path, createSectors);
}

bool DiskImage::read(uint64_t lba, uint32_t count, uint8_t* buffer) const
{
    for (uint32_t i = 0; i < count; ++i) {
        if (!readSector(lba + i, buffer + uint64_t(i) * kSectorBytes)) return false;
    }
    return true;
}

bool DiskImage::write(uint64_t lba, uint32_t count, const uint8_t* buffer)
{
    for (uint32_t i = 0; i < count; ++i) {
        if (!writeSector(lba + i, buffer + uint64_t(i) * kSectorBytes)) return false;
    }
    return true;
}

std::vector<uint8_t> DiskImage::read(uint64_t lba, uint32_t count) const
{
    std::vector<uint8_t> data(uint64_t(count) * kSectorBytes, 0);
    read(lba, count, data.data());
    return data;
}

// ---- in memory ----

bool MemoryDiskImage::readSector(uint64_t lba, uint8_t* buffer) const
{
    if (!inRange(lba)) return false;
    ++reads_;
    auto it = data_.find(lba);
    if (it == data_.end())
        std::memset(buffer, 0, kSectorBytes);
    else
        std::memcpy(buffer, it->second.data(), kSectorBytes);
    return true;
}

bool MemoryDiskImage::writeSector(uint64_t lba, const uint8_t* buffer)
{
    if (!inRange(lba)) return false;
    ++writes_;
    auto& sector = data_[lba];
    sector.assign(buffer, buffer + kSectorBytes);
    return true;
}

// ---- file ----

namespace {

uint64_t openImageFile(const std::string& path, uint64_t createSectors, int& fd, bool& created)
{
    fd = ::open(path.c_str(), O_RDWR);
    if (fd < 0 && errno == ENOENT) {
        fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0644);
        if (fd < 0) throw std::runtime_error("cannot create image " + path + ": " + std::strerror(errno));
        created = true;
        if (::ftruncate(fd, static_cast<off_t>(createSectors * kSectorBytes)) != 0) {
            int e = errno;
            ::close(fd);
            fd = -1;
            throw std::runtime_error("cannot size image " + path + ": " + std::strerror(e));
        }
    }
    if (fd < 0) throw std::runtime_error("cannot open image " + path + ": " + std::strerror(errno));
    struct stat st {};
    if (::fstat(fd, &st) != 0 || st.st_size < static_cast<off_t>(kSectorBytes)) {
        ::close(fd);
        fd = -1;
        if (created) ::unlink(path.c_str());
        throw std::runtime_error("image " + path + " is smaller than one sector");
    }
    if (st.st_size % static_cast<off_t>(kSectorBytes) != 0) {
        // A drive holds whole sectors: a file with a partial sector at its
        // end is not an image of one, and rounding it off would lose bytes.
        ::close(fd);
        fd = -1;
        throw std::invalid_argument("image " + path + " is " + std::to_string(st.st_size) +
                                    " bytes, not a whole number of 512-byte sectors");
    }
    return static_cast<uint64_t>(st.st_size) / kSectorBytes;
}

}  // namespace

FileDiskImage::FileDiskImage(const std::string& path, uint64_t createSectors)
    : DiskImage(0), path_(path)
{
    sectors_ = openImageFile(path, createSectors, fd_, created_);
}

FileDiskImage::~FileDiskImage()
{
    if (fd_ >= 0) ::close(fd_);
}

bool FileDiskImage::flush() { return fd_ >= 0 && ::fsync(fd_) == 0; }

bool FileDiskImage::readSector(uint64_t lba, uint8_t* buffer) const
{
    if (!inRange(lba)) return false;
    ++reads_;
    ssize_t n = ::pread(fd_, buffer, kSectorBytes, static_cast<off_t>(lba * kSectorBytes));
    if (n < 0) return false;
    if (n < static_cast<ssize_t>(kSectorBytes)) std::memset(buffer + n, 0, kSectorBytes - n);
    return true;
}

bool FileDiskImage::writeSector(uint64_t lba, const uint8_t* buffer)
{
    if (!inRange(lba)) return false;
    ++writes_;
    ssize_t n = ::pwrite(fd_, buffer, kSectorBytes, static_cast<off_t>(lba * kSectorBytes));
    return n == static_cast<ssize_t>(kSectorBytes);
}

}  // namespace sim
