// The ATA layer's driver-wide records and their load-time values.
#include "ata/ata.h"
#include "ata/ata_internal.h"

TaskFileRecord TaskFile;
CommandStateRecord CommandState;
UnitStateRecord UnitState[ATA_UNITS] = {{0, 0xFF, 0, 0, 0, 0, 0}, {0, 0xFF, 0, 0, 0, 0, 0}};
UnitParametersRecord UnitParameters[ATA_UNITS];
uint8_t IdentifyBuffer[512];
IdentifyStateRecord IdentifyState;
uint8_t pollOddBlocks;
TransferStateRecord TransferState = {0, 0, 1, 0, 0, 0, 0};

void ataStateReset(void)
{
    TaskFile = TaskFileRecord();
    CommandState = CommandStateRecord();
    for (int unit = 0; unit < ATA_UNITS; ++unit) {
        UnitState[unit] = UnitStateRecord();
        UnitState[unit].absent = 0xFF;
        UnitParameters[unit] = UnitParametersRecord();
    }
    for (unsigned i = 0; i < sizeof IdentifyBuffer; ++i) IdentifyBuffer[i] = 0;
    IdentifyState = IdentifyStateRecord();
    pollOddBlocks = 0;
    TransferState = TransferStateRecord();
    TransferState.blockSectors = 1;
    ataCommandCycleReset();
    removableMediaReset();
}
