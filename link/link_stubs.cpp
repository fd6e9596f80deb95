// Placeholders for routines not yet built; each returns failure.
#pragma GCC diagnostic ignored "-Wunused-parameter"
#include "link/link.h"
#include "miniport/request.h"

uint32_t LinkAcquire(void) { return 0; }
uint32_t LinkRelease(void) { return 0; }
void LinkBeginInterruptWait(void) { }
void LinkInterruptAck(void) { }
void LinkEndInterruptWait(void) { }
uint32_t LinkInterruptPending(void) { return 0; }
uint32_t LinkProbeAdapter(uint32_t* probeRecord) { return 0; }
void AdapterWake(uint16_t port) { }
void AdapterSendCode(uint16_t port, uint8_t code) { }
void LinkSendNormalCode(uint16_t port) { }
void EnhancedSelect(uint16_t port) { }
void PortIdle(uint16_t port) { }
void AdapterDetachPlain(uint16_t port, uint8_t kind) { }
void AdapterReset(uint16_t port) { }
void ArmPortInterrupt(uint16_t port) { }
void AdapterQuiesce(void) { }
bool AdapterIdCheck(void) { return false; }
bool RawIdProbe(uint16_t port) { return false; }
uint32_t LinkReadRegister(uint32_t reg) { return 0; }
uint32_t LinkWriteRegister(uint32_t reg, uint32_t value) { return 0; }
uint8_t ModeReadRegister(uint8_t reg) { return 0; }
void ModeWriteRegister(uint8_t reg, uint8_t value) { }
bool SetLinkModes(uint8_t readMode, uint8_t writeMode) { return false; }
void LinkLoadReg83(void) { }
uint32_t LinkDriveInterrupt(void) { return 0; }
uint32_t LinkReadBlock(uint8_t* buffer, uint16_t count) { return 0; }
uint32_t LinkWriteBlock(uint8_t* buffer, uint16_t count) { return 0; }
void ModeReadBlock(uint8_t* buffer, uint16_t count) { }
void ModeWriteBlock(uint8_t* buffer, uint16_t count) { }
bool Epp32Probe(void) { return false; }
void SetCurrentUnit(UnitExtension* unit) { }
UnitExtension* GetCurrentUnit(uint8_t adapterNumber) { return nullptr; }
void StallMicroseconds(uint32_t microseconds) { }
void DelayMilliseconds(uint32_t milliseconds) { }
void RequestTimer(UnitExtension* unit, uint32_t microseconds) { }
void ReadyForNextRequest(UnitExtension* unit) { }
void DeferUntilInterrupt(DeferRoutine continuation) { }
