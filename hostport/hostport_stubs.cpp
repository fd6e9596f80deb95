// Placeholders for routines not yet built; each returns failure.
#pragma GCC diagnostic ignored "-Wunused-parameter"
#include "hostport/hostport.h"

bool MachinePortSetup(uint16_t port) { return false; }
bool ProbeSmcChip(void) { return false; }
bool ProbeNsChip(uint16_t port) { return false; }
bool ProbeWinbondChip(uint16_t port) { return false; }
bool ProbePciChip(uint16_t port) { return false; }
void NsSetPrinterMode(uint8_t bits) { }
void NsRestore(uint16_t indexPort) { }
bool PicAliasAt23(void) { return false; }
uint8_t SelectEppHost(void) { return 0; }
bool TryDirectEpp(void) { return false; }
bool TryChipEpp(void) { return false; }
bool PrepareEppCheck(void) { return false; }
bool PrepareChipEppCheck(void) { return false; }
bool VerifyEpp(uint16_t port) { return false; }
bool CompareEppCycle(uint16_t port, uint8_t reg) { return false; }
bool MachineChipsetCheck(uint16_t port, uint8_t* kind) { return false; }
bool MachineExtendedSwitch(uint16_t port, uint8_t* kind) { return false; }
bool LaptopChipsetSelect(uint16_t port) { return false; }
bool LaptopChipsetRestore(void) { return false; }
void LaptopChipsetBidir(void) { }
bool Ps2Detect(void) { return false; }
bool Ps2PortPreparation(uint16_t port) { return false; }
void Ps2BidirEnable(uint16_t port, uint8_t* kind) { }
void Ps2SaveState(void) { }
void Ps2AltSetting(void) { }
void Ps2RestoreState(void) { }
void FastBusSwitch(void) { }
