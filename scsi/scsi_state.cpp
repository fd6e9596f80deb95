// The command emulation's driver-wide state.
#include "scsi/dispatch.h"

uint8_t LastSenseKey;
uint8_t InquiryHeader[INQUIRY_HEADER_LENGTH] = {0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00};
uint8_t ModePageBuffer[MODE_BUFFER_LENGTH];
uint8_t GeometryPageBuffer[MODE_BUFFER_LENGTH];

void ScsiStateReset(void)
{
    LastSenseKey = 0;
    for (int i = 0; i < INQUIRY_HEADER_LENGTH; ++i) InquiryHeader[i] = 0;
    InquiryHeader[2] = 0x01;
    for (int i = 0; i < MODE_BUFFER_LENGTH; ++i) {
        ModePageBuffer[i] = 0;
        GeometryPageBuffer[i] = 0;
    }
}
