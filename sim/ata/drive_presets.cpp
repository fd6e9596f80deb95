#include "sim/ata/drive_presets.h"

#include <stdexcept>

namespace sim {

namespace {

DriveConfig fixedDisk()
{
    DriveConfig c;
    c.preset = "fixed";
    c.model = "NIMB SimDisk LBA";
    c.serial = "SD0000000001";
    c.firmware = "1.10";
    c.removable = false;
    c.lba = true;
    c.maxMultiple = 16;
    c.heads = 16;
    c.sectorsPerTrack = 63;
    c.defaultImageBytes = 64ull << 20;
    return c;
}

DriveConfig iotaDrive()
{
    DriveConfig c;
    c.preset = "iota";
    c.model = "Iota Memories 42 100MB";
    c.serial = "IM42000000017";
    c.firmware = "E.08";
    c.removable = true;
    c.lba = true;  // supported, but the host addresses this drive by CHS
    c.mediaStatusNotification = true;
    c.postBootAcknowledges = true;
    c.maxMultiple = 16;
    c.heads = 8;
    c.sectorsPerTrack = 32;
    c.defaultImageBytes = 96ull << 20;  // 768/8/32
    c.timing.eject = 300 * kMillisecond;
    return c;
}

DriveConfig connerDisk()
{
    DriveConfig c;
    c.preset = "conner";
    c.model = "Conner Periph 20MB Disk";
    c.serial = "CP20000000003";
    c.firmware = "2.1";
    c.removable = false;
    c.lba = false;
    c.maxMultiple = 8;
    // Reported translation 653/2/32; the medium really holds 615/4/17.
    c.cylinders = 653;
    c.heads = 2;
    c.sectorsPerTrack = 32;
    c.capacitySectors = 615u * 4u * 17u;
    c.defaultImageBytes = uint64_t(615u * 4u * 17u) * 512u;
    c.timing.perSector = 100 * kMicrosecond;
    c.timing.seekMin = 2 * kMillisecond;
    c.timing.seekMax = 20 * kMillisecond;
    return c;
}

DriveConfig syquestDrive()
{
    DriveConfig c;
    c.preset = "syquest";
    c.model = "SyQuest Removable 270";
    c.serial = "SQ00000000270";
    c.firmware = "3.3";
    c.removable = true;
    c.lba = true;
    c.mediaStatusNotification = false;
    c.syquestVendorCommand = true;
    c.maxMultiple = 16;
    c.heads = 16;
    c.sectorsPerTrack = 63;
    c.defaultImageBytes = 64ull << 20;
    c.timing.eject = 500 * kMillisecond;
    return c;
}

DriveConfig genericRemovable()
{
    DriveConfig c;
    c.preset = "removable";
    c.model = "NIMB SimCartridge MSN";
    c.serial = "SC0000000042";
    c.firmware = "1.00";
    c.removable = true;
    c.lba = true;
    c.mediaStatusNotification = true;
    c.maxMultiple = 16;
    c.heads = 16;
    c.sectorsPerTrack = 63;
    c.defaultImageBytes = 64ull << 20;
    return c;
}

DriveConfig chsDisk()
{
    DriveConfig c;
    c.preset = "chs";
    c.model = "NIMB SimDisk CHS";
    c.serial = "SD0000000980";
    c.firmware = "0.92";
    c.removable = false;
    c.lba = false;
    c.maxMultiple = 16;
    c.cylinders = 980;
    c.heads = 10;
    c.sectorsPerTrack = 17;
    c.capacitySectors = 980u * 10u * 17u;
    c.defaultImageBytes = uint64_t(980u * 10u * 17u) * 512u;
    c.timing.perSector = 50 * kMicrosecond;
    return c;
}

// An older CHS-only disk that cannot translate: INITIALIZE DEVICE
// PARAMETERS takes only its own 15 heads and 17 sectors per track. It has
// no READ/WRITE MULTIPLE and no LBA, and is slower than the others.
DriveConfig oldChsDisk()
{
    DriveConfig c;
    c.preset = "oldchs";
    c.model = "NIMB SimDisk 1224";
    c.serial = "SD0000001224";
    c.firmware = "0.41";
    c.removable = false;
    c.lba = false;
    c.maxMultiple = 0;
    c.cylinders = 1224;
    c.heads = 15;
    c.sectorsPerTrack = 17;
    c.capacitySectors = 1224u * 15u * 17u;
    c.defaultImageBytes = uint64_t(1224u * 15u * 17u) * 512u;
    c.translatesGeometry = false;
    c.timing.perSector = 100 * kMicrosecond;
    c.timing.seekMin = 3 * kMillisecond;
    c.timing.seekMax = 28 * kMillisecond;
    return c;
}

// Every preset, in the order the tool lists them, with the line that
// describes it there. The fixed disk, the common case, is drawn three times
// as often as each of the others.
struct PresetEntry {
    DrivePresetInfo info;
    DriveConfig (*make)();
};

const std::vector<PresetEntry>& presetTable()
{
    static const std::vector<PresetEntry> table = {
        {{"fixed", "fixed LBA disk, N/16/63 from the image size (64 MiB)", 3, true}, fixedDisk},
        {{"iota", "cartridge drive, 96 MiB, 8 heads/32 sectors, MSN", 1, false}, iotaDrive},
        {{"conner", "CHS disk reporting 653/2/32, really 615/4/17 (20 MiB)", 1, false}, connerDisk},
        {{"syquest", "cartridge drive with vendor command 0xC0, no MSN", 1, false}, syquestDrive},
        {{"removable", "generic cartridge drive with media status (MSN)", 1, true}, genericRemovable},
        {{"chs", "fixed CHS-only disk 980/10/17 (81 MiB)", 1, false}, chsDisk},
        {{"oldchs", "CHS-only disk 1224/15/17, no translation (152 MiB)", 1, false}, oldChsDisk},
    };
    return table;
}

}  // namespace

const std::vector<DrivePresetInfo>& drivePresetInfos()
{
    static const std::vector<DrivePresetInfo> infos = [] {
        std::vector<DrivePresetInfo> v;
        for (const PresetEntry& e : presetTable()) v.push_back(e.info);
        return v;
    }();
    return infos;
}

const std::vector<std::string>& drivePresetNames()
{
    static const std::vector<std::string> names = [] {
        std::vector<std::string> v;
        for (const PresetEntry& e : presetTable()) v.push_back(e.info.name);
        return v;
    }();
    return names;
}

bool isDrivePreset(const std::string& name)
{
    for (const PresetEntry& e : presetTable())
        if (name == e.info.name) return true;
    return false;
}

std::optional<DriveConfig> findDrivePreset(const std::string& name)
{
    for (const PresetEntry& e : presetTable())
        if (name == e.info.name) return e.make();
    return std::nullopt;
}

DriveConfig drivePreset(const std::string& name)
{
    auto config = findDrivePreset(name);
    if (!config) throw std::invalid_argument("unknown drive preset '" + name + "'");
    return *config;
}

}  // namespace sim
