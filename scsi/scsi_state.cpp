// The command emulation's driver-wide state.
#include "scsi/dispatch.h"

uint8_t LastSenseKey;

void ScsiStateReset(void) { LastSenseKey = 0; }
