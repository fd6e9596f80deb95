// The adapter link: ownership of the parallel port, register access and
// block transfer in every transfer mode, and the host services (delays,
// timers, the current-unit table).
#ifndef LINK_LINK_H
#define LINK_LINK_H

#include <stdint.h>

struct UnitExtension;

// Link result codes.
#define LINK_OK 0x0000u
#define LINK_NO_ADAPTER 0x8000u
#define LINK_NOT_ACQUIRED 0x8001u
#define LINK_ALREADY_ACQUIRED 0x8002u
#define LINK_NO_INTERRUPT 0x8008u
#define LINK_NO_DRIVE_IRQ 0x4000u

// Host port kinds.
#define HOST_PORT_PLAIN 0
#define HOST_PORT_ENHANCED 1
#define HOST_PORT_CHIPSET_GATED 2
#define HOST_PORT_ENHANCED_EPP 3

// Read modes.
#define RM_NIBBLE_FAST 0
#define RM_NIBBLE 1
#define RM_NIBBLE_SLOW 2
#define RM_53_FAST 3
#define RM_53 4
#define RM_53_SLOW 5
#define RM_BYTE7_FAST 6
#define RM_BYTE7_SLOW 7
#define RM_BIDIR_FAST 8
#define RM_BIDIR_SLOW 9
#define RM_EPP8 10
#define RM_EPP32 11

// Write modes.
#define WM_BYTE_FAST 0
#define WM_BYTE 1
#define WM_BYTE_SLOW 2
#define WM_EPP8 3
#define WM_EPP32 4

// Register numbers as the link's callers use them.
#define ATA_REG_DATA 0
#define ATA_REG_ERROR 1        // read
#define ATA_REG_FEATURES 1     // write
#define ATA_REG_SECTOR_COUNT 2
#define ATA_REG_SECTOR_NUMBER 3
#define ATA_REG_CYLINDER_LOW 4
#define ATA_REG_CYLINDER_HIGH 5
#define ATA_REG_DRIVE_HEAD 6
#define ATA_REG_STATUS 7       // read
#define ATA_REG_COMMAND 7      // write
#define ATA_REG_ALT_STATUS 8   // read
#define ATA_REG_DEVICE_CONTROL 8  // write
#define ADAPTER_REG_CONTROL_BLOCK 0x86  // register 8 as sent to the adapter
#define ADAPTER_REG_STATUS 0x81  // bit 4: the drive's interrupt request
#define ADAPTER_REG_IDENTITY 0x82
#define ADAPTER_REG_CONFIG 0x83
#define ADAPTER_REG_PLAIN_CONTROL 0x9C
#define ADAPTER_REG_ENHANCED_CONTROL 0xC4
#define ADAPTER_STATUS_DRIVE_IRQ 0x10

// Parallel port register offsets from PortBase.
#define PORT_DATA 0
#define PORT_STATUS 1
#define PORT_CONTROL 2
#define PORT_EPP_ADDRESS 3
#define PORT_EPP_DATA 4
#define PORT_ECR 0x402

// ECR values (mode in bits 7-5): PS/2 byte mode, EPP mode, and the standard
// mode the link leaves a Winbond chip's port in at release.
#define ECR_PS2_MODE 0x34
#define ECR_EPP_MODE 0x84
#define ECR_SPP_MODE 0x14

struct LinkStateRecord {
    uint8_t Acquired;
    uint8_t InterruptWait;
    uint8_t SavedData;
    uint8_t SavedControl;
    uint8_t HostPortKind;
    uint8_t EcrPresent;
    uint8_t EcrAcquireValue;
    uint8_t EcrSavedValue;
    uint8_t AdapterIdValue;
    uint8_t RawIdCheck;
    uint8_t IrqWaitCode;  // 0x90
    uint32_t LinkReadMode;   // 2
    uint32_t LinkWriteMode;  // 2
    uint8_t Reg83Value;      // 2
    uint8_t Epp32Usable;
    uint8_t Epp32Disabled;
};

extern LinkStateRecord LinkState;
extern uint16_t PortBase;

void LinkStateReset(void);

// Port ownership.
uint32_t LinkAcquire(void);
uint32_t LinkRelease(void);
void LinkBeginInterruptWait(void);
void LinkInterruptAck(void);
void LinkEndInterruptWait(void);
uint32_t LinkInterruptPending(void);
uint32_t LinkProbeAdapter(uint32_t* probeRecord);
void AdapterWake(uint16_t port);
void AdapterSendCode(uint16_t port, uint8_t code);
void LinkSendNormalCode(uint16_t port);
void EnhancedSelect(uint16_t port);
void PortIdle(uint16_t port);
void AdapterDetachPlain(uint16_t port, uint8_t kind);
void AdapterReset(uint16_t port);
void ArmPortInterrupt(uint16_t port);
void AdapterQuiesce(void);
bool AdapterIdCheck(void);
bool RawIdProbe(uint16_t port);
// The mode-independent handshake read of adapter register 0x82 on port.
uint8_t RawIdRead(uint16_t port);
// Leaves the mode byte, ReadMode × 16 + WriteMode, on the data lines of the
// port at PortBase: the request path does so after starting a request and
// after each timer poll.
void WriteModeByte(void);

// Register access.
uint32_t LinkReadRegister(uint32_t reg);
uint32_t LinkWriteRegister(uint32_t reg, uint32_t value);
uint8_t ModeReadRegister(uint8_t reg);
void ModeWriteRegister(uint8_t reg, uint8_t value);
bool SetLinkModes(uint8_t readMode, uint8_t writeMode);
void LinkLoadReg83(void);
uint32_t LinkDriveInterrupt(void);

// Block transfer.
uint32_t LinkReadBlock(uint8_t* buffer, uint16_t count);
uint32_t LinkWriteBlock(uint8_t* buffer, uint16_t count);
void ModeReadBlock(uint8_t* buffer, uint16_t count);
void ModeWriteBlock(uint8_t* buffer, uint16_t count);
bool Epp32Probe(void);

// Host services.
typedef uint32_t (*DeferRoutine)(void);
void SetCurrentUnit(UnitExtension* unit);
UnitExtension* GetCurrentUnit(uint8_t adapterNumber);
void StallMicroseconds(uint32_t microseconds);
void DelayMilliseconds(uint32_t milliseconds);
void RequestTimer(UnitExtension* unit, uint32_t microseconds);
void ReadyForNextRequest(UnitExtension* unit);
void DeferUntilInterrupt(DeferRoutine continuation);

#endif  // LINK_LINK_H
