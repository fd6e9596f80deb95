// What a simulated ATA drive is: its identity, geometry rules, feature set
// and timing, as one plain record, plus the named presets the machine and
// the tool choose from.
#ifndef SIM_ATA_DRIVE_PRESETS_H
#define SIM_ATA_DRIVE_PRESETS_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/bus/io_bus.h"

namespace sim {

// Busy times in virtual time. A block whose sectors are in the drive's
// buffer (read ahead, or just written) is ready after cacheHit; otherwise a
// block costs a seek (when the cylinder changes) plus perSector for each of
// its sectors. The defaults make a 64 KiB read from the medium take about
// 3 to 7 ms, while a cached sector is ready before the host can poll.
struct DriveTiming {
    Nanoseconds commandOverhead = 200 * kMicrosecond;  // every command
    Nanoseconds perSector = 20 * kMicrosecond;          // media rate, 25 MB/s
    Nanoseconds seekMin = 500 * kMicrosecond;           // track to track
    Nanoseconds seekMax = 4 * kMillisecond;             // full stroke
    Nanoseconds cacheHit = 0;                           // block in the buffer
    Nanoseconds writeSetup = 5 * kMicrosecond;          // command to first write DRQ
    // Power-on: BSY while the controller tests itself, then BSY clear with
    // DRDY and DSC clear until the spindle is at speed, spinUp after
    // power-on. A reset (SRST released, or the reset line) holds BSY for
    // resetBusy; DRDY and DSC rise when it clears if the spindle is at
    // speed by then, else when it gets there (a reset does not hurry it).
    Nanoseconds powerOnBusy = 50 * kMillisecond;        // BSY after power-on
    Nanoseconds spinUp = 400 * kMillisecond;            // power-on to DRDY and DSC
    Nanoseconds resetBusy = 30 * kMillisecond;          // BSY after a reset
    Nanoseconds eject = 20 * kMillisecond;              // MEDIA EJECT
    uint32_t readAheadSectors = 128;                    // buffered after each read; 0: no cache
};

struct DriveConfig {
    std::string preset;       // the name it was made under
    std::string model;        // up to 40 characters; padded with spaces
    std::string serial;       // up to 20
    std::string firmware;     // up to 8
    bool removable = false;   // word 0 bit 7 and the removable command set
    bool lba = true;          // word 49 bit 9
    bool mediaStatusNotification = false;  // word 127 bit 0, SET FEATURES 0x95/0x31
    bool syquestVendorCommand = false;     // accepts 0xC0
    bool postBootAcknowledges = false;     // 0xDC also acknowledges a media change
    uint8_t maxMultiple = 16;              // word 47; 0: no READ/WRITE MULTIPLE
    // Default geometry (words 1, 3, 6). cylinders 0: derived from the
    // capacity as min(capacity / (heads * sectorsPerTrack), 16383).
    uint16_t cylinders = 0;
    uint16_t heads = 16;
    uint16_t sectorsPerTrack = 63;
    // Usable sectors of the medium. 0: the image's size (LBA drives; a
    // CHS-only drive uses cylinders * heads * sectors). Sectors past the
    // image's end within this capacity answer IDNF.
    uint64_t capacitySectors = 0;
    // A removable drive without a cartridge reports geometry and capacity 0
    // in IDENTIFY (otherwise the default geometry of its largest cartridge).
    bool zeroGeometryWithoutMedium = true;
    // A removable drive reports its cartridge as changed (MC) after power-on,
    // as a drive that cannot know what was done to it while it was off.
    bool mediaChangedAtPowerOn = false;
    // Multiple mode and the logical geometry survive a software reset.
    bool keepSettingsOnReset = true;
    // INITIALIZE DEVICE PARAMETERS. A drive that cannot translate accepts
    // only its default heads and sectors per track (words 3 and 6) and
    // aborts any other geometry, keeping the one it had.
    bool translatesGeometry = true;
    uint64_t defaultImageBytes = 64ull << 20;  // image size the preset is meant for
    DriveTiming timing;
};

// Presets by name, in one table: "fixed" (LBA disk, geometry N/16/63 from
// its size), "iota" (removable cartridge drive, 96 MiB cartridges, 8/32
// geometry, MSN supported, 0xDC acknowledges), "conner" (small CHS-only disk
// reporting 653/2/32, 41,820 sectors, which accepts 4 heads / 17 sectors),
// "syquest" (removable, 0xC0), "removable" (generic removable drive with
// media status notification), "chs" (fixed CHS-only disk 980/10/17),
// "oldchs" (older CHS-only disk 1224/15/17 that refuses any other geometry
// and has no multiple mode).
// nimbsim --drive and --help, the machine, the soak and the tests read it.
struct DrivePresetInfo {
    const char* name;
    const char* description;  // the line nimbsim --help gives it
    // How often a random choice of drive takes this one, against the others.
    unsigned drawWeight;
    // The drive serves a medium of any size (its geometry follows the
    // image), so a random choice of machine may draw the image size too.
    bool anyImageSize;
};
// Every preset, in the order --help lists them.
const std::vector<DrivePresetInfo>& drivePresetInfos();
const std::vector<std::string>& drivePresetNames();
bool isDrivePreset(const std::string& name);
std::optional<DriveConfig> findDrivePreset(const std::string& name);
DriveConfig drivePreset(const std::string& name);  // throws std::invalid_argument

}  // namespace sim

#endif  // SIM_ATA_DRIVE_PRESETS_H
