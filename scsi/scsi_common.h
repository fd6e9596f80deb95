// Small helpers the command handlers share.
#ifndef SCSI_SCSI_COMMON_H
#define SCSI_SCSI_COMMON_H

#include <stdint.h>

#include "ata/ata.h"
#include "miniport/request.h"

// The ATA unit a request addresses (the dispatcher only lets unit 0 through).
inline uint8_t RequestUnit(const UnitExtension* unit) { return unit->TargetId; }

inline uint32_t MinimumOf(uint32_t a, uint32_t b) { return a < b ? a : b; }

inline void CopyBytes(uint8_t* to, const uint8_t* from, uint32_t count)
{
    for (uint32_t i = 0; i < count; ++i) to[i] = from[i];
}

inline uint32_t BigEndian16(const uint8_t* p) { return ((uint32_t)p[0] << 8) | p[1]; }
inline uint32_t BigEndian24(const uint8_t* p) { return ((uint32_t)p[0] << 16) | BigEndian16(p + 1); }
inline uint32_t BigEndian32(const uint8_t* p) { return ((uint32_t)p[0] << 24) | BigEndian24(p + 1); }

// Copies an answer of `available` bytes, clipped to `allowed` and to the
// request's buffer. A buffer that is missing where bytes are due gives
// SENSE_NO_BUFFER (data overrun); returns whether the copy was made.
bool ReturnData(UnitExtension* unit, const uint8_t* answer, uint32_t available, uint32_t allowed);

#endif  // SCSI_SCSI_COMMON_H
