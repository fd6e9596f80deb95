// The driver's options, taken from the argument string at discovery, and
// the discovery results that other layers read.
#ifndef MINIPORT_PARAMETERS_H
#define MINIPORT_PARAMETERS_H

#include <stdint.h>

struct DriverParametersRecord {
    uint8_t PollingMode;        // /di
    uint8_t NoEppHost;          // /de
    uint8_t Epp32Off;           // /ded
    uint8_t Epp32On;            // /fed
    uint8_t NoModeNegotiation;  // /da
    uint8_t NoPs2Detect;        // /dp
    uint8_t NoTimer;            // /dt
    uint8_t NoMultipleMode;     // /dm
    uint8_t EchoModes;          // /d<other>
    uint8_t FastBusWanted;      // /fb
    uint8_t ReadMode;           // /r<n>, default 2
    uint8_t WriteMode;          // /w<n>, default 2
    uint8_t ModesForced;        // /r or /w given
    uint8_t Reg83Param;         // /z<d>, default 2
    uint8_t Reg83Given;         // default 2, 1 after /z<d>
    uint16_t StandbyTime;       // /a<n>: min(n,16) * 1080 ticks of 1/18 s
    uint8_t MediaStatusMode;    // keyword MSN
};

extern DriverParametersRecord DriverParameters;

// Keyword values read at discovery (kept; only port, size, irq and MSN act).
struct DriverKeywordsRecord {
    uint32_t Port;
    uint32_t Size;
    uint32_t Irq;
    uint32_t Blk;
    uint32_t Natn;
    uint32_t Ndpc;
};
extern DriverKeywordsRecord DriverKeywords;

// Switch mode (keywordMode 0) sets DriverParameters from the / switches and
// returns 1; keyword mode returns the keyword's value or 0. textLength bounds
// every read of text (the text may lack a terminating NUL within it).
uint32_t ParseArguments(char* text, uint32_t textLength, const char* keyword,
                        uint32_t keywordMode);

// Discovery results.
extern uint8_t FastMode;  // 1 when read mode 10 or 11 is in use

void ParametersReset(void);

#endif  // MINIPORT_PARAMETERS_H
