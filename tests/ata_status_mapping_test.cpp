// Status and error register mapping after a command, through the real link
// and adapter, with a register-level device that answers every command
// with a chosen status and error value.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <vector>

#include "ata_rig.h"
#include "scsi/dispatch.h"

namespace {

// Answers each command with the status and error given for its opcode (or
// the default pair), raises INTRQ at once and records the commands.
class ScriptedDevice : public sim::AtaDevice {
public:
    struct Answer {
        uint8_t status;
        uint8_t error;
    };
    Answer answer{0x50, 0x00};
    std::map<uint8_t, Answer> perCommand;
    std::vector<uint8_t> commands;
    int errorReads = 0;

    uint8_t readRegister(uint8_t reg) override
    {
        switch (reg) {
        case 1: ++errorReads; return current.error;
        case 7: irq = false; return current.status;
        case 8: return current.status;
        default: return regs[reg & 7];
        }
    }
    void writeRegister(uint8_t reg, uint8_t value) override
    {
        if (reg == 7) {
            commands.push_back(value);
            auto it = perCommand.find(value);
            current = it != perCommand.end() ? it->second : answer;
            irq = true;
        } else if (reg < 8) {
            regs[reg] = value;
        }
    }
    // A data phase: after dataWords words the device answers afterData
    // (and raises INTRQ when afterDataInterrupt).
    int dataWords = 0;
    Answer afterData{0x50, 0x00};
    bool afterDataInterrupt = true;
    int wordsMoved = 0;
    void dataWord()
    {
        if (++wordsMoved == dataWords) {
            current = afterData;
            irq = afterDataInterrupt;
        }
    }
    uint16_t readData() override
    {
        dataWord();
        return 0x1234;
    }
    void writeData(uint16_t) override { dataWord(); }
    bool interruptRequest() override { return irq; }

    Answer current{0x50, 0x00};
    uint8_t regs[8] = {};
    bool irq = false;
};

struct MappingCase {
    const char* name;
    uint8_t command;
    uint8_t status;
    uint8_t error;
    uint8_t unitFlags;
    bool msn;
    uint8_t key;
    bool errorRead;
};

class StatusMapping : public ::testing::TestWithParam<MappingCase> {};

TEST_P(StatusMapping, PostCommandCheckGivesKey)
{
    const MappingCase& c = GetParam();
    ScriptedDevice device;
    AtaRig rig;
    rig.attach(device);
    ASSERT_EQ(LinkAcquire(), LINK_OK);
    UnitState[0].absent = 0;
    UnitState[0].flags = c.unitFlags;
    UnitState[0].msnEnabled = c.msn;
    device.perCommand[ATA_CMD_DOOR_UNLOCK] = {0x50, 0x00};
    device.perCommand[ATA_CMD_ACK_MEDIA_CHANGE] = {0x50, 0x00};
    device.writeRegister(7, c.command);  // the command under test ran
    device.answer = {c.status, c.error};
    device.current = device.answer;
    TaskFile = TaskFileRecord();
    TaskFile.command = c.command;
    TaskFile.driveHead = 0xA0;

    bool ok = postCommandCheck(0);

    EXPECT_EQ(CommandState.senseKey, c.key) << c.name;
    EXPECT_EQ(ok, c.key == 0);
    EXPECT_EQ(device.errorReads > 0, c.errorRead) << c.name;
    EXPECT_EQ(TaskFile.command, c.command) << "the failed command's task file survives";
    EXPECT_EQ(rig.adapter.violationCount(), 0u) << rig.adapter.lastViolation();
}

const uint8_t kRemovable = UNIT_REMOVABLE;

INSTANTIATE_TEST_SUITE_P(
    Table, StatusMapping,
    ::testing::Values(
        MappingCase{"drq_is_fine", 0x10, 0x58, 0x00, 0, false, 0, false},
        MappingCase{"corr_recovered", 0x10, 0x54, 0x00, 0, false, 1, false},
        MappingCase{"corr_identify", 0xEC, 0x54, 0x00, 0, false, 0, false},
        // A corrected sector earlier in the command does not hide the error
        // that ended it.
        MappingCase{"err_beats_corr", 0x20, 0x55, 0x40, 0, false, 3, true},
        // Failed yet still offering data: not a drive's status.
        MappingCase{"err_with_drq", 0x20, 0x59, 0x40, 0, false, 4, false},
        MappingCase{"no_dsc_seek", 0x70, 0x40, 0x00, 0, false, 0, false},
        MappingCase{"no_dsc_other", 0x10, 0x40, 0x00, 0, false, 2, false},
        MappingCase{"zero_eject", 0xED, 0x00, 0x00, 0, false, 0, false},
        MappingCase{"zero_recalibrate", 0x10, 0x00, 0x00, 0, false, 2, false},
        MappingCase{"fault", 0x10, 0x71, 0x04, 0, false, 7, false},
        MappingCase{"fault_identify_reads_error", 0xEC, 0x71, 0x10, 0, false, 3, true},
        MappingCase{"idnf", 0x10, 0x51, 0x10, 0, false, 3, true},
        MappingCase{"abrt_standard", 0x10, 0x51, 0x04, 0, false, 5, true},
        MappingCase{"abrt_msn", 0x10, 0x51, 0x04, kRemovable, true, 3, true},
        MappingCase{"unc_standard", 0x10, 0x51, 0x40, 0, false, 3, true},
        MappingCase{"wp_msn", 0x10, 0x51, 0x40, kRemovable, true, 7, true},
        MappingCase{"mc_fixed", 0x10, 0x51, 0x20, 0, false, 4, true},
        MappingCase{"mc_removable", 0x10, 0x51, 0x20, kRemovable, false, 6, true},
        MappingCase{"tk0nf_fixed", 0x10, 0x51, 0x02, 0, false, 4, true},
        MappingCase{"nm_removable", 0x20, 0x51, 0x02, kRemovable, false, 2, true},
        MappingCase{"highest_bit_wins", 0x10, 0x51, 0x84, 0, false, 3, true},
        MappingCase{"mcr_alone_acknowledged", 0x10, 0x51, 0x08, kRemovable, false, 0, true},
        // A media change request must not hide an unreadable sector.
        MappingCase{"mcr_with_unc", 0x20, 0x51, 0x48, kRemovable, false, 3, true},
        MappingCase{"msn_mcr_with_abrt", 0x10, 0x51, 0x0C, kRemovable, true, 3, true},
        // The verify handler forgives DATA PROTECT, so a verify never gets it.
        MappingCase{"verify_fault", 0x40, 0x71, 0x00, 0, false, 4, false},
        MappingCase{"verify_unc_msn", 0x40, 0x51, 0x40, kRemovable, true, 3, true}),
    [](const ::testing::TestParamInfo<MappingCase>& info) { return std::string(info.param.name); });

TEST(StatusMappingRecovery, MediaChangeSendsAcknowledgeAndUnlocks)
{
    ScriptedDevice device;
    AtaRig rig;
    rig.attach(device);
    ASSERT_EQ(LinkAcquire(), LINK_OK);
    UnitState[0].flags = UNIT_REMOVABLE;
    UnitState[0].doorLocked = 1;
    device.perCommand[ATA_CMD_ACK_MEDIA_CHANGE] = {0x50, 0x00};
    device.perCommand[ATA_CMD_DOOR_UNLOCK] = {0x50, 0x00};
    device.answer = device.current = {0x51, 0x20};
    TaskFile = TaskFileRecord();
    TaskFile.command = ATA_CMD_RECALIBRATE;
    device.commands.clear();

    postCommandCheck(0);

    EXPECT_EQ(CommandState.senseKey, SENSE_UNIT_ATTENTION);
    EXPECT_EQ(device.commands, (std::vector<uint8_t>{ATA_CMD_ACK_MEDIA_CHANGE, ATA_CMD_DOOR_UNLOCK}));
    EXPECT_EQ(UnitState[0].doorLocked, 0);
    EXPECT_EQ(CommandState.lastError, 0x20);
}

// A drive whose media-change bit never clears answers every recovery
// command with it again; the recovery stays bounded and the failed
// command's task file comes back intact.
TEST(StatusMappingRecovery, StickyMediaChangeIsBounded)
{
    ScriptedDevice device;
    AtaRig rig;
    rig.attach(device);
    ASSERT_EQ(LinkAcquire(), LINK_OK);
    UnitState[0].flags = UNIT_REMOVABLE;
    device.answer = device.current = {0x51, 0x20};
    TaskFile = TaskFileRecord{0x00, 0x05, 0x07, 0x12, 0x34, 0xA3, ATA_CMD_RECALIBRATE};
    TaskFileRecord before = TaskFile;
    device.commands.clear();

    postCommandCheck(0);

    EXPECT_EQ(CommandState.senseKey, SENSE_UNIT_ATTENTION);
    EXPECT_LE(device.commands.size(), 3u);
    EXPECT_EQ(std::memcmp(&TaskFile, &before, sizeof before), 0);
}

// GET MEDIA STATUS that ends in a status no drive shows (ERR with DRQ; the
// same as the floating lines of an adapter gone) leaves no media bits to
// judge by: neither the ready test nor the pre-check calls the unit ready.
// A drive that answers with no condition is ready.
TEST(MediaStatusQuery, WithoutTheDrivesAnswerTheUnitIsNotReady)
{
    ScriptedDevice device;
    AtaRig rig;
    rig.attach(device);
    ASSERT_EQ(LinkAcquire(), LINK_OK);
    UnitState[0].absent = 0;
    UnitState[0].flags = UNIT_REMOVABLE | UNIT_RESPONDED | UNIT_READY;
    UnitState[0].msnEnabled = 1;
    device.perCommand[ATA_CMD_GET_MEDIA_STATUS] = {0x59, 0x00};

    rig.request.Cdb[0] = 0x00;
    rig.request.CdbLength = 6;
    ScsiTestUnitReady(&rig.request);
    EXPECT_EQ(CommandState.senseKey, SENSE_HARDWARE_ERROR);

    TaskFile = TaskFileRecord();
    TaskFile.command = ATA_CMD_READ_SECTORS;
    TaskFile.driveHead = 0xE0;
    device.commands.clear();
    EXPECT_FALSE(mediaPrecheck(0));
    EXPECT_EQ(CommandState.senseKey, SENSE_HARDWARE_ERROR);
    EXPECT_EQ(device.commands, std::vector<uint8_t>{ATA_CMD_GET_MEDIA_STATUS});
    EXPECT_EQ(TaskFile.command, ATA_CMD_READ_SECTORS);

    device.perCommand[ATA_CMD_GET_MEDIA_STATUS] = {0x50, 0x00};
    EXPECT_TRUE(mediaPrecheck(0));
    ScsiTestUnitReady(&rig.request);
    EXPECT_EQ(CommandState.senseKey, SENSE_NONE);
    EXPECT_EQ(rig.adapter.violationCount(), 0u) << rig.adapter.lastViolation();
}

// A fixed drive rejects DOOR UNLOCK; the failed command's key is kept.
TEST(StatusMappingRecovery, RejectedUnlockKeepsKey)
{
    ScriptedDevice device;
    AtaRig rig;
    rig.attach(device);
    ASSERT_EQ(LinkAcquire(), LINK_OK);
    UnitState[0].doorLocked = 1;
    device.perCommand[ATA_CMD_DOOR_UNLOCK] = {0x51, 0x04};
    device.answer = device.current = {0x51, 0x10};
    TaskFile = TaskFileRecord();
    TaskFile.command = ATA_CMD_READ_VERIFY;

    postCommandCheck(0);

    EXPECT_EQ(CommandState.senseKey, SENSE_MEDIUM_ERROR);
    EXPECT_EQ(CommandState.lastError, 0x10);
    EXPECT_EQ(UnitState[0].doorLocked, 0);
}

// --- Busy waits that run out stay NOT READY.

// A deferred read resumed by an interrupt while the drive stays busy: the
// wait for the block runs out and the request ends NOT READY with nothing
// moved, not GOOD.
TEST(BusyTimeout, DeferredReadStaysNotReady)
{
    ScriptedDevice device;
    AtaRig rig;
    rig.attach(device);
    UnitState[0].absent = 0;
    UnitParameters[0].totalSectors = 1000;
    UnitState[0].lbaMode = 1;
    device.perCommand[ATA_CMD_READ_SECTORS] = {0xD0, 0x00};
    std::vector<uint8_t> buf(1024, 0xEE);
    LinkAcquire();
    rig.prepare(ATA_CMD_READ_SECTORS, 3, 2, buf.data(), 1024);
    readSectors(&rig.request, 2, DriverParameters.PollingMode);
    ASSERT_TRUE(rig.request.WorkFlags & WORK_STILL_RUNNING);
    EXPECT_EQ(rig.request.Status, UNIT_STATUS_PENDING) << "not completed while it waits";
    EXPECT_EQ(rig.request.TargetStatus, 0);
    EXPECT_TRUE(rig.resumeUntilDone(120 * sim::kSecond));
    EXPECT_EQ(CommandState.senseKey, SENSE_NOT_READY);
    EXPECT_EQ(rig.request.TargetStatus, 2);
    EXPECT_EQ(rig.request.Status, UNIT_STATUS_ERROR);
    EXPECT_EQ(buf, std::vector<uint8_t>(1024, 0xEE));
    EXPECT_EQ(LinkState.InterruptWait, 0);
}

// The drive takes the block, interrupts, and stays busy: the polled write
// ends NOT READY.
TEST(BusyTimeout, PolledWriteStillBusyAfterBlockIsNotReady)
{
    ScriptedDevice device;
    AtaRig rig;
    rig.attach(device);
    DriverParameters.PollingMode = 1;
    UnitState[0].absent = 0;
    UnitParameters[0].totalSectors = 1000;
    UnitState[0].lbaMode = 1;
    device.perCommand[ATA_CMD_WRITE_SECTORS] = {0x58, 0x00};
    device.dataWords = 256;
    device.afterData = {0xD0, 0x00};
    std::vector<uint8_t> buf(512, 0x11);
    LinkAcquire();
    rig.prepare(ATA_CMD_WRITE_SECTORS, 3, 1, buf.data(), 512);
    sim::Nanoseconds start = rig.clock.now();
    EXPECT_FALSE(writeSectors(&rig.request, 1, DriverParameters.PollingMode));
    EXPECT_EQ(CommandState.senseKey, SENSE_NOT_READY);
    EXPECT_GE(rig.clock.now() - start, 30 * sim::kSecond);
    EXPECT_EQ(device.wordsMoved, 256);
}

// A drive error before the first DRQ of a write: the error register is
// read, so a media change on a removable drive is reported as such.
TEST(WriteRefused, ErrorBeforeDataRunsThePostCommandCheck)
{
    ScriptedDevice device;
    AtaRig rig;
    rig.attach(device);
    DriverParameters.PollingMode = 1;
    UnitState[0].absent = 0;
    UnitState[0].flags = UNIT_REMOVABLE;
    UnitParameters[0].totalSectors = 1000;
    UnitState[0].lbaMode = 1;
    device.perCommand[ATA_CMD_WRITE_SECTORS] = {0x51, 0x20};
    std::vector<uint8_t> buf(512, 0x11);
    LinkAcquire();
    rig.prepare(ATA_CMD_WRITE_SECTORS, 3, 1, buf.data(), 512);
    EXPECT_FALSE(writeSectors(&rig.request, 1, DriverParameters.PollingMode));
    EXPECT_EQ(CommandState.senseKey, SENSE_UNIT_ATTENTION);
    EXPECT_EQ(device.wordsMoved, 0);
    EXPECT_NE(std::find(device.commands.begin(), device.commands.end(), ATA_CMD_ACK_MEDIA_CHANGE),
              device.commands.end());
}

// --- Registers read while the link does not own the port. The link then
// answers LINK_NOT_ACQUIRED in place of a register; as a byte it would read
// as status 0x01 (ERR, BSY clear), which is no drive's answer: nothing was
// read. The rig leaves the port not owned until a test acquires it.
class PortNotOwned : public ::testing::Test {
protected:
    void SetUp() override
    {
        rig.attach(device);
        ASSERT_EQ(LinkState.Acquired, 0);
    }
    ScriptedDevice device;
    AtaRig rig;
};

TEST_F(PortNotOwned, ReadyWaitFails)
{
    EXPECT_FALSE(waitNotBusy(ATA_REG_STATUS, 30000));
    EXPECT_EQ(CommandState.senseKey, SENSE_NOT_READY);
}

TEST_F(PortNotOwned, InterruptWaitNeverTakesTheDriveAsDone)
{
    TaskFile.command = ATA_CMD_RECALIBRATE;
    EXPECT_FALSE(waitDriveInterrupt(true));
    EXPECT_EQ(CommandState.senseKey, SENSE_NOT_READY);
}

TEST_F(PortNotOwned, ResetOfADriveNeverReachedIsAHardwareError)
{
    resetDrive();
    EXPECT_EQ(CommandState.senseKey, SENSE_HARDWARE_ERROR);
}

// A recovery that cannot reach the drive does not take the drive's silence
// for a refusal: the unit keeps the block size it was programmed with.
TEST_F(PortNotOwned, RecoveryKeepsTheUnitsBlockSize)
{
    UnitState[0].absent = 0;
    UnitState[0].flags = UNIT_MULTIPLE;
    UnitState[0].multipleCount = 16;
    recoverDrive();
    EXPECT_EQ(CommandState.senseKey, SENSE_HARDWARE_ERROR);
    EXPECT_TRUE(UnitState[0].flags & UNIT_MULTIPLE);
    EXPECT_EQ(UnitState[0].multipleCount, 16);
    EXPECT_TRUE(device.commands.empty());
}

// A unit whose status could not be read has not responded.
TEST_F(PortNotOwned, StatusCheckFindsNoUnit)
{
    TaskFile.command = ATA_CMD_IDENTIFY;
    EXPECT_FALSE(checkStatus(0));
    EXPECT_EQ(CommandState.senseKey, SENSE_NOT_READY);
    EXPECT_EQ(UnitState[0].flags & (UNIT_RESPONDED | UNIT_READY), 0);
}

// After a command, no status means no drive to talk to: HARDWARE ERROR, as
// for an adapter that no longer answers, and no recovery command.
TEST_F(PortNotOwned, PostCommandCheckIsAHardwareError)
{
    UnitState[0].absent = 0;
    UnitState[0].flags = UNIT_REMOVABLE;
    UnitState[0].doorLocked = 1;
    TaskFile.command = ATA_CMD_RECALIBRATE;
    EXPECT_FALSE(postCommandCheck(0));
    EXPECT_EQ(CommandState.senseKey, SENSE_HARDWARE_ERROR);
    EXPECT_EQ(UnitState[0].flags & UNIT_RESPONDED, 0);
    EXPECT_EQ(UnitState[0].doorLocked, 1) << "no door unlock was sent, none can have worked";
}

}  // namespace
