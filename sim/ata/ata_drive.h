// A simulated ATA drive (device 0, the master) with its disk image.
//
// Protocol it expects, as an ATA host drives a PIO device:
//   Registers 1-6 are latches (error/features, sector count, sector number,
//   cylinder low/high, drive/head); 7 reads status and acknowledges INTRQ,
//   writes a command; 8 reads alternate status (no acknowledge), writes
//   device control. While BSY is set every command-block read returns the
//   status and every command-block write is ignored (counted). Device
//   control is honoured at any time: SRST (bit 2) holds BSY while set; when
//   released the drive stays busy for DriveTiming::resetBusy, then shows the
//   signature (count 1, sector 1, cylinders 0, drive/head 0), error 0x01 and
//   status 0x50, without an interrupt. nIEN (bit 1) masks INTRQ and is
//   counted as a violation, since the host is expected never to set it.
//   Bit 3 is ignored. The reset line (hardwareReset) does what SRST does,
//   and also returns the settings to their power-on values.
//
//   Power-on (powerOn; a drive built without it has been on for a while):
//   BSY for DriveTiming::powerOnBusy, then BSY clear with DRDY and DSC
//   clear while the spindle comes up to speed, DriveTiming::spinUp after
//   power-on. A reset in that time ends with BSY clear and DRDY clear too
//   until the spindle is at speed. A command written while DRDY is clear
//   that way is aborted (ABRT, status 0x01) and counted as a violation,
//   since the host is to wait for DRDY; the registers work as usual.
//
//   Drive/head bit 4 selects the device. Only device 0 exists: with bit 4
//   set, status and alternate status read 0x00, the other registers read the
//   shared latches, and commands are ignored (logged). Bit 6 selects LBA
//   (28-bit, bits 0-3 of drive/head are LBA 24-27); otherwise cylinder/
//   head/sector under the logical geometry set by INITIALIZE DEVICE
//   PARAMETERS (default: IDENTIFY words 3 and 6), LBA = (c*H + h)*S + s - 1;
//   an address outside the geometry or the capacity gives IDNF, as does an
//   LBA address on a drive without LBA. Bits 7 and 5 are not checked. A sector count of 0 means 256.
//
//   Non-data commands: BSY, then the outcome in status/error and INTRQ.
//   PIO in (READ SECTORS 20/21, READ MULTIPLE C4, IDENTIFY EC): for each DRQ
//   block BSY, then DRQ with INTRQ; the host reads 256 words per sector; after
//   the last block status 0x50 without INTRQ. PIO out (WRITE SECTORS 30/31,
//   WRITE MULTIPLE C5): BSY briefly, DRQ for the first block without INTRQ;
//   after each block BSY while it is written, then DRQ for the next block (or
//   the final status) with INTRQ. A block is DriveConfig/SET MULTIPLE sized
//   for the multiple commands, one sector otherwise; the last may be short.
//   After a data command the address registers hold the last sector moved
//   (or the sector in error) and the sector count the sectors not moved.
//   An error in a read ends the command at the sector in error: ERR with
//   INTRQ and no DRQ, or, for an unreadable sector with data, DRQ|ERR with
//   that block offered in full (the bad sector corrupted, sectors after it
//   zero) and the command ended once it is read.
//
//   Data register accesses without DRQ are counted violations (reads return
//   0xFFFF). A host may write a command-block register (1-7) only while
//   both BSY and DRQ are clear; device control may be written at any time.
//   Writes during a DRQ phase are counted as violations but still taken: a
//   register write lands in its latch, and a command written during a data
//   phase ends that phase (logged) and starts.
//
//   Commands: 10 RECALIBRATE, 20/21, 30/31, 40/41 READ VERIFY, 70 SEEK, 91
//   INITIALIZE DEVICE PARAMETERS (ABRT before DRDY as every command, ABRT
//   for 0 sectors, and on a drive that
//   does not translate for any geometry but its default, the geometry in
//   use kept either way), C4/C5 (ABRT until SET
//   MULTIPLE), C6 SET MULTIPLE (power of two up to word 47, 0 disables,
//   anything else ABRT and disables), E1 IDLE IMMEDIATE, E3 IDLE, EC, EF SET
//   FEATURES (95/31 media status notification on/off when word 127 bit 0 is
//   set; 02 82 AA 55 66 CC 03 accepted; others ABRT), and on removable
//   drives DA GET MEDIA STATUS, DB ACKNOWLEDGE MEDIA CHANGE, DC/DD BOOT
//   POST-/PRE-BOOT, DE DOOR LOCK, DF DOOR UNLOCK, ED MEDIA EJECT; C0 on
//   drives with the vendor command (features 45 50 65 70: 'E'/'e' let the
//   eject button eject, 'P'/'p' disable it). Anything else: ABRT.
//
// Removable media. Media access commands (10 20 21 30 31 40 41 70 C4 C5
// DE) without a cartridge end with ERR and NM (0x02); writes to a protected
// cartridge end with 0x40 (WP). With media status notification off, a
// pending media change makes those commands end with MC (0x20) until it is
// acknowledged (DB, DC on drives whose post-boot acknowledges, or a GET
// MEDIA STATUS); a pending change request, with MCR (0x08) once. With it on,
// only GET MEDIA STATUS reports WP|MC|MCR|NM (ERR when any is set; MC and
// MCR are cleared once reported). The eject button ejects an unlocked
// cartridge on a drive without notification and raises MCR otherwise.
// MEDIA EJECT refuses a locked door (ABRT); after it the cartridge is gone
// and the drive shows status 0x00 (neither ready nor seek complete) until a
// cartridge is inserted or a reset; a cartridge taken out otherwise leaves
// the drive DRDY. Inserting a cartridge raises MC (so does power-on with
// DriveConfig::mediaChangedAtPowerOn). IDENTIFY of a removable drive
// without a cartridge reports geometry and capacity 0.
//
// Time: the drive reads the clock lazily. Busy ends, DRQ and INTRQ happen
// when the clock has passed their time; see DriveTiming. Reads stream from
// the medium: sectors arrive perSector apart after the seek and read ahead
// past the command, so a re-read or a sequential read finds its data ready
// at once while a cold read makes the host wait for INTRQ.
#ifndef SIM_ATA_ATA_DRIVE_H
#define SIM_ATA_ATA_DRIVE_H

#include <array>
#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sim/ata/ata_device.h"
#include "sim/ata/disk_image.h"
#include "sim/ata/drive_presets.h"
#include "sim/bus/io_bus.h"

namespace sim {

// Status register bits.
constexpr uint8_t kStatusBsy = 0x80;
constexpr uint8_t kStatusDrdy = 0x40;
constexpr uint8_t kStatusDf = 0x20;
constexpr uint8_t kStatusDsc = 0x10;
constexpr uint8_t kStatusDrq = 0x08;
constexpr uint8_t kStatusCorr = 0x04;
constexpr uint8_t kStatusErr = 0x01;
// Error register bits (the second name where the removable set reuses it).
constexpr uint8_t kErrorBbk = 0x80;
constexpr uint8_t kErrorUnc = 0x40;
constexpr uint8_t kErrorWp = 0x40;
constexpr uint8_t kErrorMc = 0x20;
constexpr uint8_t kErrorIdnf = 0x10;
constexpr uint8_t kErrorMcr = 0x08;
constexpr uint8_t kErrorAbrt = 0x04;
constexpr uint8_t kErrorTk0nf = 0x02;
constexpr uint8_t kErrorNm = 0x02;
constexpr uint8_t kErrorAmnf = 0x01;
// Device control bits.
constexpr uint8_t kControlSrst = 0x04;
constexpr uint8_t kControlNien = 0x02;

constexpr int kAlways = -1;  // a fault count that never runs out

enum class SectorFault {
    Uncorrectable,          // UNC, no data
    UncorrectableWithData,  // UNC, the block is offered with DRQ|ERR
    IdNotFound,             // IDNF
    AddressMarkNotFound,    // AMNF
    BadBlock,               // BBK
    Corrected,              // data good, CORR in the status
};

enum class StuckBusy { Never, Always, AfterReset, MidTransfer };

enum class IdentifyGarbage {
    None,
    ZeroGeometry,       // words 3, 6, 55, 56 are 0
    HugeCounts,         // words 1, 3, 6, 54-56 0xFFFF, 57-58 and 60-61 0xFFFFFFFF
    UnterminatedModel,  // all 40 model characters used, no space padding
};

struct SectorFaultEntry {
    SectorFault kind;
    int times;  // kAlways, or how many more accesses it hits
};

// Faults to inject; tests set the fields directly.
struct DriveFaults {
    std::map<uint64_t, SectorFaultEntry> sectors;  // by LBA (reads, verify; IDNF/AMNF/BBK also writes)
    std::map<uint8_t, int> abortCommands;          // opcode -> times (kAlways)
    bool deviceFault = false;        // DF in every status; commands but IDENTIFY end ERR/ABRT
    bool dscNeverSet = false;        // DSC stays clear
    StuckBusy stuckBusy = StuckBusy::Never;
    uint32_t stuckAfterBlocks = 0;   // MidTransfer: DRQ blocks moved before BSY sticks
    int suppressInterrupts = 0;      // this many INTRQ rises are lost (kAlways: all)
    Nanoseconds lateDrq = 0;         // write: BSY clear and no DRQ for this long before DRQ
    bool forgetMultipleOnReset = false;
    bool absent = false;             // no drive: reads 0xFF, writes vanish, no INTRQ
    bool registersDead = false;      // registers 1-6 read 0 and ignore writes until IDLE IMMEDIATE
    bool stickyMediaChange = false;  // MC is never cleared
    IdentifyGarbage identifyGarbage = IdentifyGarbage::None;
    std::map<int, uint16_t> identifyWords;  // replaced after everything else

    void addSector(uint64_t lba, SectorFault kind, int times = kAlways) { sectors[lba] = {kind, times}; }
    void abortCommand(uint8_t opcode, int times = kAlways) { abortCommands[opcode] = times; }
};

struct ProtocolViolations {
    uint64_t dataReadWithoutDrq = 0;
    uint64_t dataWriteWithoutDrq = 0;
    uint64_t registerWriteWhileBusy = 0;  // registers 1-6
    uint64_t commandWhileBusy = 0;
    uint64_t registerWriteDuringDrq = 0;  // registers 1-6 in a data phase
    uint64_t commandDuringDrq = 0;        // a command written in a data phase
    uint64_t interruptDisabled = 0;       // device control written with nIEN
    uint64_t commandWhileNotReady = 0;    // a command before DRDY rose after power-on or reset
    // Command-block writes the drive was not ready for (BSY or DRQ set).
    uint64_t writesWhileBusyOrDrq() const
    {
        return registerWriteWhileBusy + commandWhileBusy + registerWriteDuringDrq + commandDuringDrq;
    }
    uint64_t total() const
    {
        return dataReadWithoutDrq + dataWriteWithoutDrq + writesWhileBusyOrDrq() + interruptDisabled +
               commandWhileNotReady;
    }
};

// One command as written, and how it ended.
struct CommandRecord {
    Nanoseconds issued = 0;
    Nanoseconds ended = 0;
    uint8_t features = 0, sectorCount = 0, sectorNumber = 0, cylinderLow = 0, cylinderHigh = 0,
            driveHead = 0, command = 0;
    bool finished = false;       // reached its end (ended, status, error valid)
    bool cutShort = false;       // its data phase was ended by the next command or a reset
    uint8_t status = 0;          // status at its end
    uint8_t error = 0;           // error register at its end
    uint32_t sectorsMoved = 0;   // data sectors transferred
};

// "t=1.234 ms 20 f=00 n=08 s=45 c=0123 dh=E0 -> 50/00 (8 sectors)" for logs.
std::string formatCommand(const CommandRecord& record);

class AtaDrive : public AtaDevice {
public:
    // medium may be null (a removable drive without a cartridge). The image
    // is not owned and must outlive its time in the drive.
    AtaDrive(Clock& clock, DriveConfig config, DiskImage* medium);
    AtaDrive(Clock& clock, DriveConfig config, DiskImage& medium) : AtaDrive(clock, std::move(config), &medium) {}

    // AtaDevice.
    uint8_t readRegister(uint8_t reg) override;
    void writeRegister(uint8_t reg, uint8_t value) override;
    uint16_t readData() override;
    void writeData(uint16_t word) override;
    bool interruptRequest() override;

    const DriveConfig& config() const { return config_; }
    DriveFaults& faults() { return faults_; }

    // Power and the reset line (the machine's side).
    void powerOn();        // power applied now: BSY, then spin-up
    void hardwareReset();  // the reset line pulsed now
    bool spinningUp() const { return clock_.now() < spunUpAt_; }

    // Removable media (the operator's side).
    DiskImage* medium() const { return medium_; }
    bool mediumPresent() const { return medium_ != nullptr; }
    void insertMedium(DiskImage& image, bool writeProtected = false);
    void insertMedium(std::unique_ptr<DiskImage> image, bool writeProtected = false);
    void removeMedium();               // taken out by hand (drive stays DRDY)
    void pressEjectButton();
    void setWriteProtected(bool on) { writeProtected_ = on; }
    bool writeProtected() const { return writeProtected_; }
    bool doorLocked() const { return doorLocked_; }
    bool mediaStatusEnabled() const { return msnEnabled_; }
    bool mediaChangePending() const { return mediaChanged_; }
    bool changeRequestPending() const { return changeRequested_; }
    uint64_t ejectCount() const { return ejects_; }
    uint8_t vendorSetting() const { return vendorSetting_; }  // last accepted 0xC0 features

    // What the drive is now (no side effects beyond catching up with time).
    uint64_t capacity() const;             // usable sectors of the medium
    uint16_t logicalHeads() const { return logicalHeads_; }
    uint16_t logicalSectors() const { return logicalSectors_; }
    uint16_t multipleCount() const { return multiple_; }
    void forgetMultipleMode() { multiple_ = 0; }
    uint8_t standbyTimer() const { return standbyTimer_; }
    bool busy();                           // BSY as the host would see it
    std::array<uint16_t, 256> identifyData() const;

    // Observation.
    const std::vector<CommandRecord>& commandLog() const { return commands_; }
    const std::vector<std::string>& eventLog() const { return events_; }
    const ProtocolViolations& violations() const { return violations_; }
    uint64_t interruptCount() const { return interrupts_; }
    uint64_t resetCount() const { return resets_; }
    void clearLogs();

private:
    enum class Phase { Idle, Busy, DataIn, DataOut, Reset };
    enum class Next { None, Finish, LoadReadBlock, LoadIdentify, OfferWriteBlock, CommitWriteBlock, ResetDone };

    struct Stream {  // sectors streaming from the medium into the buffer
        bool valid = false;
        uint64_t start = 0, end = 0;
        Nanoseconds startTime = 0;
    };

    void catchUp();
    void runEvent(Nanoseconds t);
    void note(const std::string& text);
    uint8_t statusValue();
    bool deviceOneSelected() const { return (driveHead_ & 0x10) != 0; }
    bool busyVisible() const;
    bool drqVisible() const { return phase_ == Phase::DataIn || phase_ == Phase::DataOut; }

    void startCommand(uint8_t op);
    void executeCommand(uint8_t op);
    void scheduleFinish(Nanoseconds delay, uint8_t error);
    void becomeBusy(Nanoseconds until, Next next);
    void stickBusy();
    void endCommand(Nanoseconds t, uint8_t error, bool interrupt);
    void cutShort(const char* why);
    void raiseInterrupt();

    bool decodeAddress(uint64_t& lba) const;
    void storeAddress(uint64_t lba, uint32_t sectorsLeft);
    uint8_t mediaError(uint8_t op, bool write);
    static bool mediaAccess(uint8_t op);
    bool takeSectorFault(uint64_t lba, SectorFault& kind, bool forWrite);
    static uint8_t faultError(SectorFault kind);
    Nanoseconds seekTime(uint64_t lba);
    Nanoseconds readyTime(uint64_t lba, uint32_t n, Nanoseconds t, bool first);
    uint32_t countFromRegister() const { return sectorCount_ ? sectorCount_ : 256; }

    void startRead(uint64_t lba, uint32_t count, uint32_t block);
    void loadReadBlock(Nanoseconds t);
    void readBlockDone();
    void startWrite(uint64_t lba, uint32_t count, uint32_t block);
    void offerWriteBlock(bool first);
    void commitWriteBlock(Nanoseconds t);
    void verify(uint64_t lba, uint32_t count);
    void getMediaStatus();
    void ejectMedium();
    void setFeatures();
    void finishReset(Nanoseconds t);
    void revertSettings();

    void defaultGeometry(uint16_t& c, uint16_t& h, uint16_t& s) const;
    uint16_t currentCylinders() const;

    Clock& clock_;
    DriveConfig config_;
    DiskImage* medium_;
    std::vector<std::unique_ptr<DiskImage>> ownedMedia_;
    DriveFaults faults_;

    // Task file.
    uint8_t error_ = 0x01, features_ = 0, sectorCount_ = 1, sectorNumber_ = 1, cylinderLow_ = 0,
            cylinderHigh_ = 0, driveHead_ = 0, control_ = 0;
    bool errFlag_ = false, corrFlag_ = false;
    bool intrq_ = false;

    Phase phase_ = Phase::Idle;
    Next next_ = Next::None;
    Nanoseconds busyUntil_ = 0;
    Nanoseconds visibleUntil_ = 0;  // BSY shows until here (a late DRQ shows no BSY after it)
    uint8_t pendingError_ = 0;
    uint8_t command_ = 0;

    // Data phase.
    uint64_t xferLba_ = 0;          // next sector to move
    uint32_t xferLeft_ = 0;         // sectors still to move
    uint32_t blockSize_ = 1;
    uint32_t blockSectors_ = 0;     // sectors in the current buffer
    bool firstBlock_ = true;
    bool endAfterBlock_ = false;
    uint64_t errorLba_ = 0;
    uint8_t errorBits_ = 0;
    uint32_t blocksMoved_ = 0;
    bool identifyPhase_ = false;
    std::vector<uint8_t> buffer_;
    size_t bufferPos_ = 0;
    Stream stream_;
    uint64_t headCylinder_ = 0;

    // Settings.
    uint16_t multiple_ = 0;
    uint16_t logicalHeads_ = 0, logicalSectors_ = 0;
    uint8_t standbyTimer_ = 0;

    // Removable media.
    bool writeProtected_ = false;
    bool doorLocked_ = false;
    bool msnEnabled_ = false;
    bool mediaChanged_ = false;
    bool changeRequested_ = false;
    bool spunDown_ = false;
    Nanoseconds spunUpAt_ = 0;  // the spindle reaches speed (DRDY and DSC may rise)
    bool buttonEnabled_ = true;
    uint8_t vendorSetting_ = 0;
    uint64_t ejects_ = 0;

    std::vector<CommandRecord> commands_;
    std::vector<std::string> events_;
    ProtocolViolations violations_;
    uint64_t interrupts_ = 0;
    uint64_t resets_ = 0;
};

}  // namespace sim

#endif  // SIM_ATA_ATA_DRIVE_H
