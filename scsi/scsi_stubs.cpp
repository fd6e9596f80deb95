// Placeholders for routines not yet built; each returns failure.
#pragma GCC diagnostic ignored "-Wunused-parameter"
#include "scsi/dispatch.h"
#include "miniport/request.h"

void DispatchCommand(UnitExtension* unit) { }
void SetRequestStatus(UnitExtension* unit) { }
void ScsiRequestSense(UnitExtension* unit) { }
void ScsiInquiry(UnitExtension* unit) { }
void ScsiReadCapacity(UnitExtension* unit) { }
void ScsiModeSense(UnitExtension* unit) { }
void ScsiModeSelect(UnitExtension* unit) { }
void ScsiRead(UnitExtension* unit) { }
void ScsiWrite(UnitExtension* unit) { }
void ScsiVerify(UnitExtension* unit) { }
void ScsiSeek(UnitExtension* unit) { }
void ScsiRezeroUnit(UnitExtension* unit) { }
void ScsiStartStopUnit(UnitExtension* unit) { }
void ScsiMediumRemoval(UnitExtension* unit) { }
void ScsiTestUnitReady(UnitExtension* unit) { }
void ScsiVendorNop(UnitExtension* unit) { }
