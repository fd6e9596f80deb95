// Removable media: the pre-command check, GET MEDIA STATUS, the media status
// notification switch, and the acknowledgements sent to removable drives.
#include "ata/ata.h"
#include "ata/ata_internal.h"
#include "link/link.h"

// Commands that pass the pre-check untested.
static const uint8_t PrecheckExempt[] = {
    ATA_CMD_DOOR_UNLOCK,    ATA_CMD_RECALIBRATE, ATA_CMD_INITIALIZE_PARAMETERS,
    ATA_CMD_IDLE_IMMEDIATE, ATA_CMD_DOOR_LOCK,   ATA_CMD_PRE_BOOT,
    ATA_CMD_ACK_MEDIA_CHANGE, ATA_CMD_SLEEP,     ATA_CMD_IDENTIFY,
    ATA_CMD_GET_MEDIA_STATUS, ATA_CMD_SET_FEATURES,
};

// Units whose drive refused SET FEATURES for media status notification: a
// later re-identification must not turn the feature set back on, since the
// drive was never switched to it.
static uint8_t mediaStatusRefusedBy[ATA_UNITS];

bool mediaStatusRefused(uint8_t unit) { return mediaStatusRefusedBy[unit & 1] != 0; }

void removableMediaReset(void)
{
    for (int unit = 0; unit < ATA_UNITS; ++unit) mediaStatusRefusedBy[unit] = 0;
}

bool precheckExempt(uint8_t command)
{
    for (unsigned i = 0; i < sizeof PrecheckExempt; ++i)
        if (PrecheckExempt[i] == command) return true;
    return false;
}

bool mediaPrecheck(uint8_t unit)
{
    UnitStateRecord* u = &UnitState[unit & 1];
    uint8_t command = TaskFile.command;
    if (CommandState.discoveryActive == 1 || !(u->flags & UNIT_REMOVABLE) || precheckExempt(command))
        return true;
    CommandState.senseKey = SENSE_NOT_READY;
    selectDrive(TaskFile.driveHead);
    if (u->msnEnabled) {
        saveTaskFile();
        uint8_t media = 0;
        bool answered = queryMediaStatus(unit, &media);
        restoreTaskFile();
        // Without an answer the drive cannot take the command either.
        if (answered && CommandState.senseKey != SENSE_UNIT_ATTENTION) {
            uint8_t key = SENSE_NONE;
            if ((media & MEDIA_WP) && command == ATA_CMD_WRITE_SECTORS) key = SENSE_DATA_PROTECT;
            else if (media & MEDIA_MC) key = SENSE_UNIT_ATTENTION;
            else if (media & MEDIA_NM) key = SENSE_NOT_READY;
            CommandState.senseKey = key;
        }
        return CommandState.senseKey == SENSE_NONE;
    }
    if (!waitNotBusy(ATA_REG_STATUS, ATA_BUSY_TICKS)) return false;
    if (CommandState.lastStatus & ATA_STATUS_DRDY) CommandState.senseKey = SENSE_NONE;
    return CommandState.senseKey == SENSE_NONE;
}

uint8_t getMediaStatus(uint8_t unit)
{
    CommandState.mediaStatus = 0;
    TaskFile.command = ATA_CMD_GET_MEDIA_STATUS;
    executeUnitCommand(unit);
    return CommandState.mediaStatus;
}

bool queryMediaStatus(uint8_t unit, uint8_t* media)
{
    CommandState.senseKey = SENSE_NONE;
    *media = getMediaStatus(unit);
    // A failure with nothing from the error register: NOT READY when the
    // query did not complete (the drive stayed busy, or never interrupted),
    // HARDWARE ERROR when what was read at its end was not the drive's (the
    // adapter gone). Either way there are no media bits to judge by.
    uint8_t key = CommandState.senseKey;
    return *media != 0 || (key != SENSE_NOT_READY && key != SENSE_HARDWARE_ERROR);
}

bool enableMediaStatus(uint8_t unit)
{
    UnitStateRecord* u = &UnitState[unit & 1];
    CommandState.senseKey = SENSE_NONE;
    if (u->msnEnabled) {
        TaskFile.command = ATA_CMD_SET_FEATURES;
        TaskFile.features = ATA_FEATURE_ENABLE_MSN;
        executeUnitCommand(unit);
    }
    if (CommandState.senseKey != SENSE_NONE) {
        u->msnEnabled = 0;
        mediaStatusRefusedBy[unit & 1] = 1;
    }
    return CommandState.senseKey == SENSE_NONE;
}

bool rearmRemovable(uint8_t unit)
{
    UnitStateRecord* u = &UnitState[unit & 1];
    if (u->flags & UNIT_REMOVABLE) {
        TaskFile.command = (u->flags & UNIT_IOTA) ? ATA_CMD_POST_BOOT : ATA_CMD_ACK_MEDIA_CHANGE;
        executeUnitCommand(unit);
    }
    return CommandState.senseKey == SENSE_NONE;
}

bool acknowledgeMediaChange(uint8_t unit)
{
    if (UnitState[unit & 1].flags & UNIT_REMOVABLE) {
        TaskFile.command = ATA_CMD_ACK_MEDIA_CHANGE;
        executeCommand(unit);
    }
    CommandState.senseKey = SENSE_NONE;
    return true;
}

void handleMediaChange(uint8_t unit)
{
    saveTaskFile();
    ++recoveryDepth;
    if (IdentifyState.iotaDrive == 1) acknowledgeMediaChange(unit);
    else rearmRemovable(unit);
    --recoveryDepth;
    restoreTaskFile();
}
