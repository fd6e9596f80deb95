// Placeholders for routines not yet built; each returns failure.
#pragma GCC diagnostic ignored "-Wunused-parameter"
#include "ata/ata.h"
#include "miniport/request.h"

bool waitNotBusy(uint8_t reg, uint16_t count) { return false; }
bool waitDataRequest(void) { return false; }
bool waitDriveInterrupt(void) { return false; }
void writeTaskFile(void) { }
void writeDeviceControl(uint8_t unit) { }
void selectDrive(uint8_t value) { }
bool waitReady(uint8_t unit) { return false; }
bool issueCommand(uint8_t unit) { return false; }
bool executeCommand(uint8_t unit) { return false; }
bool executeUnitCommand(uint8_t unit) { return false; }
void resetDrive(void) { }
void saveTaskFile(void) { }
void restoreTaskFile(void) { }
void loadBlockAddress(UnitExtension* request) { }
bool discoverDrives(void) { return false; }
bool identifyDevice(UnitExtension* request) { return false; }
void computeParameters(UnitExtension* request) { }
void initializeDeviceParameters(UnitExtension* request) { }
bool setUpDrive(UnitExtension* request) { return false; }
bool registerTest(uint8_t unit) { return false; }
void wakeIdle(void) { }
void negotiateMultiple(UnitExtension* request) { }
bool setMultipleMode(uint16_t count, uint8_t unit) { return false; }
void setStandbyTimer(uint8_t unit) { }
uint16_t getCylinders(uint8_t unit) { return 0; }
uint16_t getHeads(uint8_t unit) { return 0; }
uint16_t getSectorsPerTrack(uint8_t unit) { return 0; }
uint8_t getControlByte(uint8_t unit) { return 0; }
const char* getModel(uint8_t unit) { return nullptr; }
uint32_t getCapacity(uint8_t unit) { return 0; }
UnitParametersRecord* getUnitParameters(uint8_t unit) { return nullptr; }
bool readSectors(UnitExtension* request) { return false; }
bool writeSectors(UnitExtension* request) { return false; }
bool multipleUsable(uint8_t unit) { return false; }
bool resumeTransfer(UnitExtension* request) { return false; }
void abandonTransfer(void) { }
bool checkStatus(uint8_t unit) { return false; }
bool mapErrorRegister(uint8_t unit) { return false; }
bool postCommandCheck(uint8_t unit) { return false; }
bool unlockDoor(uint8_t unit) { return false; }
bool mediaPrecheck(uint8_t unit) { return false; }
uint8_t getMediaStatus(uint8_t unit) { return 0; }
bool enableMediaStatus(uint8_t unit) { return false; }
bool rearmRemovable(uint8_t unit) { return false; }
bool acknowledgeMediaChange(uint8_t unit) { return false; }
void handleMediaChange(uint8_t unit) { }
