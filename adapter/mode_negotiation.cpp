// Acceptance tests of the adapter (raw nibble echo, register echo, the
// built-in test pattern) and the negotiation of the fastest read and write
// mode pair that carries the pattern without a single wrong byte.
#include "adapter/adapter.h"
#include "hostport/hostport.h"
#include "link/link.h"
#include "link/link_io.h"
#include "miniport/parameters.h"
#include "platform/port_io.h"

// ---- Echo tests ---------------------------------------------------------

// Each step of the raw echo is held for four writes.
#define ECHO_HOLD 4

uint8_t EchoByte(uint16_t port, uint8_t value)
{
    OutRepeat((uint16_t)(port + PORT_DATA), 0x80, ECHO_HOLD);
    OutRepeat((uint16_t)(port + PORT_CONTROL), 0x01, ECHO_HOLD);
    OutRepeat((uint16_t)(port + PORT_DATA), value, ECHO_HOLD);
    OutRepeat((uint16_t)(port + PORT_CONTROL), 0x03, ECHO_HOLD);
    uint8_t low = InPortByte(port + PORT_STATUS) >> 4;
    OutRepeat((uint16_t)(port + PORT_CONTROL), 0x01, ECHO_HOLD);
    uint8_t high = InPortByte(port + PORT_STATUS) & 0xF0;
    OutPortByte(port + PORT_CONTROL, 0x04);
    return high | low;
}

static const uint8_t EchoStartValues[] = {0x80, 0xEC};

bool NibbleEchoTest(uint16_t port)
{
    AdapterDetachPlain(port, LinkState.HostPortKind);
    for (unsigned start = 0; start < sizeof(EchoStartValues); ++start) {
        uint8_t value = EchoStartValues[start];
        for (int pass = 0; pass < 8; ++pass, value >>= 1) {
            if (EchoByte(port, value) != value) {
                PortIdle(port);
                return false;
            }
        }
    }
    PortIdle(port);
    return true;
}

bool RegisterEchoTest(uint16_t port, uint8_t reg, uint8_t value)
{
    for (int pass = 0; pass < 5; ++pass, value >>= 1) {
        ModeWriteRegister(reg, value);
        OutPortByte(port + PORT_DATA, 0xFF);  // a floating bus must not answer
        if (ModeReadRegister(reg) != value) return false;
    }
    return true;
}

// ---- Test pattern -------------------------------------------------------

static bool PatternBufferGood(const uint8_t* buffer)
{
    for (unsigned k = 0; k < PATTERN_BLOCK_LENGTH / 2; ++k) {
        if (buffer[2 * k] != (uint8_t)(k + 1)) return false;
        if (buffer[2 * k + 1] != (uint8_t)(0xFE - k)) return false;
    }
    return true;
}

bool PatternTest(uint16_t port)
{
    (void)port;  // the dispatchers work on PortBase
    uint8_t control = LinkState.HostPortKind ? ADAPTER_REG_ENHANCED_CONTROL
                                             : ADAPTER_REG_PLAIN_CONTROL;
    uint8_t* buffer = AdapterInitState.TestBuffer;
    ModeWriteRegister(control, 0x00);
    ModeWriteRegister(control, 0x08);  // pattern generator on
    bool good = true;
    for (int pass = 0; pass < PATTERN_PASSES && good; ++pass) {
        for (unsigned i = 0; i < PATTERN_BLOCK_LENGTH; ++i) buffer[i] = 0;
        ModeReadBlock(buffer, PATTERN_BLOCK_LENGTH);
        good = PatternBufferGood(buffer);
        if (good) ModeReadRegister(ADAPTER_REG_STATUS);
    }
    ModeWriteRegister(control, 0x00);
    return good;
}

// ---- Negotiation --------------------------------------------------------

// The trial ladder, fastest first. Steps of the PS/2 group run only on a
// PS/2 board whose extended bidirectional request is not yet set; each may
// first change the board's setting. A step marked STEP_TRY_FASTER_TOO is,
// when it passes, followed by the faster member of its family, which wins
// if it passes too.
enum LadderPrepare { PREP_NONE, PREP_PS2_EXTENDED, PREP_PS2_ALT, PREP_PS2_RESTORE };
enum LadderFlags { STEP_ALWAYS = 0, STEP_PS2_GROUP = 1, STEP_TRY_FASTER_TOO = 2 };

struct LadderStep {
    uint8_t readMode;
    uint8_t writeMode;
    uint8_t prepare;
    uint8_t flags;
};

static const LadderStep TrialLadder[] = {
    {RM_BIDIR_SLOW, WM_BYTE, PREP_NONE, STEP_ALWAYS},
    {RM_BIDIR_SLOW, WM_BYTE_SLOW, PREP_NONE, STEP_ALWAYS},
    {RM_BIDIR_SLOW, WM_BYTE, PREP_PS2_EXTENDED, STEP_PS2_GROUP},
    {RM_BIDIR_SLOW, WM_BYTE_SLOW, PREP_NONE, STEP_PS2_GROUP},
    {RM_BIDIR_SLOW, WM_BYTE, PREP_PS2_ALT, STEP_PS2_GROUP},
    {RM_BIDIR_SLOW, WM_BYTE_SLOW, PREP_NONE, STEP_PS2_GROUP},
    {RM_BIDIR_SLOW, WM_BYTE, PREP_PS2_RESTORE, STEP_PS2_GROUP},
    {RM_BIDIR_SLOW, WM_BYTE_SLOW, PREP_NONE, STEP_PS2_GROUP},
    {RM_53_SLOW, WM_BYTE, PREP_NONE, STEP_TRY_FASTER_TOO},
    {RM_53_SLOW, WM_BYTE_SLOW, PREP_NONE, STEP_ALWAYS},
    {RM_NIBBLE, WM_BYTE, PREP_NONE, STEP_ALWAYS},
    {RM_NIBBLE_SLOW, WM_BYTE, PREP_NONE, STEP_ALWAYS},
    {RM_NIBBLE_SLOW, WM_BYTE_SLOW, PREP_NONE, STEP_ALWAYS},
};

// The pair tried after a passing STEP_TRY_FASTER_TOO step: (4, 1) after (5, 1).
static const uint8_t FasterSiblingRead = RM_53;
static const uint8_t FasterSiblingWrite = WM_BYTE;

static void LadderPrepareStep(uint8_t prepare)
{
    switch (prepare) {
    case PREP_PS2_EXTENDED:
        MachineSwitchState.Ps2ExtendedRequest = 1;
        Ps2BidirEnable(PortBase, &LinkState.HostPortKind);
        break;
    case PREP_PS2_ALT:
        Ps2AltSetting();
        break;
    case PREP_PS2_RESTORE:
        Ps2RestoreState();
        break;
    default:
        break;
    }
}

static bool TryPair(uint8_t readMode, uint8_t writeMode)
{
    SetLinkModes(readMode, writeMode);
    return PatternTest(PortBase);
}

static void RunLadder(uint8_t* readMode, uint8_t* writeMode)
{
    bool ps2GroupDecided = false;
    bool ps2Group = false;
    for (unsigned i = 0; i < sizeof(TrialLadder) / sizeof(TrialLadder[0]); ++i) {
        const LadderStep& step = TrialLadder[i];
        if (step.flags & STEP_PS2_GROUP) {
            if (!ps2GroupDecided) {
                ps2GroupDecided = true;
                ps2Group = MachineSwitchState.Ps2Machine && !MachineSwitchState.Ps2ExtendedRequest;
            }
            if (!ps2Group) continue;
        }
        LadderPrepareStep(step.prepare);
        if (!TryPair(step.readMode, step.writeMode)) continue;
        *readMode = step.readMode;
        *writeMode = step.writeMode;
        if ((step.flags & STEP_TRY_FASTER_TOO) && TryPair(FasterSiblingRead, FasterSiblingWrite)) {
            *readMode = FasterSiblingRead;
            *writeMode = FasterSiblingWrite;
        }
        return;
    }
    *readMode = NO_MODE;
    *writeMode = NO_MODE;
}

bool ChipsetShortcutTaken;

void NegotiateModes(uint8_t* readMode, uint8_t* writeMode)
{
    ChipsetShortcutTaken = false;
    if (MachineChipsetCheck(PortBase, &LinkState.HostPortKind)) {
        ChipsetShortcutTaken = true;
        *readMode = RM_EPP8;
        *writeMode = WM_EPP8;
        return;
    }
    NegotiateWithoutShortcut(readMode, writeMode);
}

void NegotiateWithoutShortcut(uint8_t* readMode, uint8_t* writeMode)
{
    uint8_t answer = DriverParameters.NoEppHost ? 1 : SelectEppHost();
    Ps2Detect();
    if (answer == 0) {
        *readMode = RM_EPP8;
        *writeMode = WM_EPP8;
        return;
    }
    LinkState.HostPortKind = HOST_PORT_PLAIN;
    if (answer == 1 || MachineSwitchState.Ps2Machine) {
        Ps2SaveState();
        Ps2BidirEnable(PortBase, &LinkState.HostPortKind);
    }
    if (DriverParameters.FastBusWanted) FastBusSwitch();
    RunLadder(readMode, writeMode);
}
