// The argument-string parser: '/' switches anywhere in the text, and
// ';'-separated "keyword = value" entries. The text is turned into lower
// case in place; the keyword (often a literal) is only compared, never
// written. Every read of the text stays before its terminating NUL and
// within the length the caller gives.
#include "miniport/parameters.h"

// The text as a bounded string: characters past its end read as NUL.
struct ArgumentText {
    const char* text;
    uint32_t length;  // characters before the NUL, within the caller's bound
};

static char CharAt(const ArgumentText* t, uint32_t i)
{
    return i < t->length ? t->text[i] : '\0';
}

static char LowerCase(char c)
{
    return (c >= 'A' && c <= 'Z') ? (char)(c - 'A' + 'a') : c;
}

static bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Lower-cases the text in place and measures it.
static ArgumentText PrepareText(char* text, uint32_t textLength)
{
    ArgumentText t;
    t.text = text;
    t.length = 0;
    while (t.length < textLength && text[t.length] != '\0') {
        text[t.length] = LowerCase(text[t.length]);
        ++t.length;
    }
    return t;
}

// ---------------------------------------------------------------------------
// Switch mode.

// What the characters after the switch letter must be for an entry to match.
#define MATCH_ANY 0x00
#define MATCH_DIGIT 0x01  // c1 only

enum SwitchAction {
    SWITCH_NOTHING,
    SWITCH_FLAG,       // field <- 1
    SWITCH_STANDBY,    // StandbyTime <- min(n, 16) * 1080
    SWITCH_READ_MODE,  // n < 11: ReadMode <- n, ModesForced
    SWITCH_WRITE_MODE, // n < 4: WriteMode <- n, ModesForced
    SWITCH_REG83,      // Reg83Param <- the digit, Reg83Given <- 1
};

struct SwitchEntry {
    char letter;
    char c1;  // a character, MATCH_ANY or MATCH_DIGIT
    char c2;  // a character or MATCH_ANY
    SwitchAction action;
    uint8_t* field;
};

// The first entry that matches decides; a letter without an entry does nothing.
static const SwitchEntry SwitchTable[] = {
    {'a', MATCH_DIGIT, MATCH_ANY, SWITCH_STANDBY, 0},
    {'d', 'i', MATCH_ANY, SWITCH_FLAG, &DriverParameters.PollingMode},
    {'d', 'e', 'd', SWITCH_FLAG, &DriverParameters.Epp32Off},
    {'d', 'e', MATCH_ANY, SWITCH_FLAG, &DriverParameters.NoEppHost},
    {'d', 'a', MATCH_ANY, SWITCH_FLAG, &DriverParameters.NoModeNegotiation},
    {'d', 'p', MATCH_ANY, SWITCH_FLAG, &DriverParameters.NoPs2Detect},
    {'d', 't', MATCH_ANY, SWITCH_FLAG, &DriverParameters.NoTimer},
    {'d', 'm', MATCH_ANY, SWITCH_FLAG, &DriverParameters.NoMultipleMode},
    {'d', MATCH_ANY, MATCH_ANY, SWITCH_FLAG, &DriverParameters.EchoModes},
    {'e', 'p', MATCH_ANY, SWITCH_NOTHING, 0},
    {'f', 'e', 'd', SWITCH_FLAG, &DriverParameters.Epp32On},
    {'f', 'e', MATCH_ANY, SWITCH_NOTHING, 0},
    {'f', 'b', MATCH_ANY, SWITCH_FLAG, &DriverParameters.FastBusWanted},
    {'i', MATCH_ANY, MATCH_ANY, SWITCH_NOTHING, 0},
    {'r', MATCH_DIGIT, MATCH_ANY, SWITCH_READ_MODE, 0},
    {'r', 'b', MATCH_ANY, SWITCH_NOTHING, 0},
    {'w', MATCH_DIGIT, MATCH_ANY, SWITCH_WRITE_MODE, 0},
    {'w', 'r', MATCH_ANY, SWITCH_NOTHING, 0},
    {'w', 'b', MATCH_ANY, SWITCH_NOTHING, 0},
    {'s', 'f', MATCH_ANY, SWITCH_NOTHING, 0},
    {'s', 'p', MATCH_ANY, SWITCH_NOTHING, 0},
    {'z', MATCH_DIGIT, MATCH_ANY, SWITCH_REG83, 0},
};

static bool SwitchMatches(const SwitchEntry* e, char letter, char c1, char c2)
{
    if (e->letter != letter) return false;
    if (e->c1 == MATCH_DIGIT) {
        if (!IsDigit(c1)) return false;
    } else if (e->c1 != MATCH_ANY && e->c1 != c1) {
        return false;
    }
    return e->c2 == MATCH_ANY || e->c2 == c2;
}

// One or two decimal digits.
static uint32_t SwitchNumber(char c1, char c2)
{
    uint32_t n = (uint32_t)(c1 - '0');
    if (IsDigit(c2)) n = n * 10 + (uint32_t)(c2 - '0');
    return n;
}

static void ApplySwitch(const SwitchEntry* e, char c1, char c2)
{
    uint32_t n;
    switch (e->action) {
    case SWITCH_NOTHING:
        break;
    case SWITCH_FLAG:
        *e->field = 1;
        break;
    case SWITCH_STANDBY:
        n = SwitchNumber(c1, c2);
        if (n > 16) n = 16;
        DriverParameters.StandbyTime = (uint16_t)(n * 1080);
        break;
    case SWITCH_READ_MODE:
        n = SwitchNumber(c1, c2);
        if (n < 11) {
            DriverParameters.ReadMode = (uint8_t)n;
            DriverParameters.ModesForced = 1;
        }
        break;
    case SWITCH_WRITE_MODE:
        n = SwitchNumber(c1, c2);
        if (n < 4) {
            DriverParameters.WriteMode = (uint8_t)n;
            DriverParameters.ModesForced = 1;
        }
        break;
    case SWITCH_REG83:
        DriverParameters.Reg83Given = 1;
        DriverParameters.Reg83Param = (uint8_t)(c1 - '0');
        break;
    }
}

static void ParseSwitches(const ArgumentText* t)
{
    for (uint32_t i = 0; i < t->length; ++i) {
        char letter = CharAt(t, i + 1);
        if (CharAt(t, i) != '/' || letter < 'a' || letter > 'z') continue;
        char c1 = CharAt(t, i + 2);
        char c2 = CharAt(t, i + 3);
        for (uint32_t k = 0; k < sizeof(SwitchTable) / sizeof(SwitchTable[0]); ++k) {
            if (SwitchMatches(&SwitchTable[k], letter, c1, c2)) {
                ApplySwitch(&SwitchTable[k], c1, c2);
                break;
            }
        }
        ++i;  // go on with the character after the switch letter
    }
}

// ---------------------------------------------------------------------------
// Keyword mode.

#define KEYWORD_LIMIT 64

static bool IsBlank(char c) { return c == ' ' || c == '\t'; }

static bool EndsValue(char c) { return c == '\0' || c == ';' || IsBlank(c); }

static uint32_t SkipBlanks(const ArgumentText* t, uint32_t i)
{
    while (IsBlank(CharAt(t, i))) ++i;
    return i;
}

static uint32_t KeywordLength(const char* keyword)
{
    uint32_t n = 0;
    while (n < KEYWORD_LIMIT && keyword[n] != '\0') ++n;
    return n;
}

static bool EntryBeginsWith(const ArgumentText* t, uint32_t i, const char* keyword, uint32_t length)
{
    for (uint32_t k = 0; k < length; ++k)
        if (CharAt(t, i + k) != LowerCase(keyword[k])) return false;
    return true;
}

// Position after the next ';', or the text's length when there is none.
static uint32_t NextEntry(const ArgumentText* t, uint32_t i)
{
    while (i < t->length && CharAt(t, i) != ';') ++i;
    return i < t->length ? i + 1 : t->length;
}

static int32_t DigitValue(char c, bool hexadecimal)
{
    if (IsDigit(c)) return c - '0';
    if (hexadecimal && c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Reads the value at i; any character that is neither a digit of its base
// nor a value end makes the result 0. Accumulated in 32 bits, no overflow check.
static uint32_t ReadValue(const ArgumentText* t, uint32_t i)
{
    bool hexadecimal = CharAt(t, i) == '0' && CharAt(t, i + 1) == 'x';
    uint32_t base = hexadecimal ? 16 : 10;
    if (hexadecimal) i += 2;
    uint32_t value = 0;
    for (;; ++i) {
        char c = CharAt(t, i);
        if (EndsValue(c)) return value;
        int32_t digit = DigitValue(c, hexadecimal);
        if (digit < 0) return 0;
        value = value * base + (uint32_t)digit;
    }
}

static uint32_t FindKeyword(const ArgumentText* t, const char* keyword)
{
    uint32_t length = KeywordLength(keyword);
    if (length > t->length) return 0;

    uint32_t i = 0;
    while (i < t->length) {
        i = SkipBlanks(t, i);
        if (!EntryBeginsWith(t, i, keyword, length)) {
            if (NextEntry(t, i) >= t->length) return 0;
            i = NextEntry(t, i);
            continue;
        }
        uint32_t p = i + length;
        if (p >= t->length) return 0;
        p = SkipBlanks(t, p);
        if (CharAt(t, p) != '=') {
            if (NextEntry(t, p) >= t->length) return 0;
            i = NextEntry(t, p);
            continue;
        }
        p = SkipBlanks(t, p + 1);
        if (p >= t->length) return 0;
        if (CharAt(t, p) == ';') {
            i = p + 1;
            continue;
        }
        return ReadValue(t, p);
    }
    return 0;
}

uint32_t ParseArguments(char* text, uint32_t textLength, const char* keyword, uint32_t keywordMode)
{
    if (text == 0) return 0;
    ArgumentText t = PrepareText(text, textLength);
    if (keywordMode == 0) {
        ParseSwitches(&t);
        return 1;
    }
    if (keyword == 0) return 0;
    return FindKeyword(&t, keyword);
}
