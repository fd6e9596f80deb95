// Adapter initialisation: the raw echo test, the identity check and the
// negotiation of read and write transfer modes on one parallel port.
#ifndef ADAPTER_ADAPTER_H
#define ADAPTER_ADAPTER_H

#include <stdint.h>

#define PATTERN_BLOCK_LENGTH 512
#define PATTERN_PASSES 100
#define NO_MODE 0xFF

struct AdapterInitStateRecord {
    uint8_t Initialised;
    uint8_t FoundReadMode;   // 2; 0xFF no working mode
    uint8_t FoundWriteMode;  // 2; 0xFF no working mode
    uint8_t TestBuffer[PATTERN_BLOCK_LENGTH];
};

extern AdapterInitStateRecord AdapterInitState;

void AdapterInitStateReset(void);

bool InitAdapterOnPorts(uint16_t port);
bool InitAdapter(uint16_t port);
bool IdentifyAdapter(uint16_t port);
void NegotiateModes(uint8_t* readMode, uint8_t* writeMode);
bool FallBackToFoundModes(uint16_t port);
bool NibbleEchoTest(uint16_t port);
uint8_t EchoByte(uint16_t port, uint8_t value);
bool RegisterEchoTest(uint16_t port, uint8_t reg, uint8_t value);
bool PatternTest(uint16_t port);

// The negotiation after its chipset shortcut: EPP host selection and the
// trial ladder. ChipsetShortcutTaken tells that the last negotiation took
// the 0x100/0x101 chipset's pair without testing it.
void NegotiateWithoutShortcut(uint8_t* readMode, uint8_t* writeMode);
extern bool ChipsetShortcutTaken;

#endif  // ADAPTER_ADAPTER_H
