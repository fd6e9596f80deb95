// Declarations shared by the ATA layer's own files only.
#ifndef ATA_ATA_INTERNAL_H
#define ATA_ATA_INTERNAL_H

#include <stdint.h>

#include "ata/ata.h"

struct UnitExtension;

#define ATA_BUSY_TICKS 30000
#define ATA_DRQ_POLLS 55
#define ATA_INTERRUPT_POLLS 15000
#define ATA_LOST_INTERRUPT_POLLS 100
#define ATA_RESET_TICKS 60

// Reads a drive register through the link into *value. False when the link
// does not own the port: it then answers LINK_NOT_ACQUIRED, wider than a
// byte, in place of the register; nothing was read and *value is left as it
// was. A caller must not take that for a status or error of the drive's.
bool readDriveRegister(uint8_t reg, uint8_t* value);

// Recovery guard: while a recovery command (door unlock, media change
// acknowledgement, re-arm) runs, the checks of its own outcome map the
// registers but start no further recovery, so a drive whose media-change
// bit sticks cannot recurse.
extern uint8_t recoveryDepth;

// Maps an error register through one key table: the highest set bit whose
// key is not NO SENSE decides, so a bit that carries no key of its own
// (MCR under media status notification) cannot hide the bits below it.
uint8_t errorKeyFor(const uint8_t* table, uint8_t error);
extern const uint8_t StandardErrorKeys[9];
extern const uint8_t MediaErrorKeys[9];
extern const uint8_t RemovableErrorKeys[9];

// True when the command is exempt from the removable-media pre-check.
bool precheckExempt(uint8_t command);

// True once the unit's drive refused media status notification.
bool mediaStatusRefused(uint8_t unit);
void removableMediaReset(void);

// Sends the wait-for-drive deferral of the current read or write.
void deferTransfer(void);

// Programs a unit again after a software reset as set-up did: geometry,
// block size of the multiple commands, media status notification, standby.
void reprogramUnit(uint8_t unit);

// Returns the command cycle's private records (task-file stack, recovery
// guard) to their load-time values.
void ataCommandCycleReset(void);

#endif  // ATA_ATA_INTERNAL_H
