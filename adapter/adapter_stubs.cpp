// Placeholders for routines not yet built; each returns failure.
#pragma GCC diagnostic ignored "-Wunused-parameter"
#include "adapter/adapter.h"

bool InitAdapterOnPorts(uint16_t port) { return false; }
bool InitAdapter(uint16_t port) { return false; }
bool IdentifyAdapter(uint16_t port) { return false; }
void NegotiateModes(uint8_t* readMode, uint8_t* writeMode) { }
bool FallBackToFoundModes(uint16_t port) { return false; }
bool NibbleEchoTest(uint16_t port) { return false; }
uint8_t EchoByte(uint16_t port, uint8_t value) { return 0; }
bool RegisterEchoTest(uint16_t port, uint8_t reg, uint8_t value) { return false; }
bool PatternTest(uint16_t port) { return false; }
