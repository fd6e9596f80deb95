// The argument-string harness shared by the fuzz target and its regression
// tests. One input is a control byte followed by the text, any bytes. The
// parser checks below always run; with boot set (the target's boot run)
// a whole simulated PC is also booted with the text as the driver's
// argument string, and its disk is written and read. The control byte
// only matters then:
//
//   control bit 1      the host passes the text as a 512-byte buffer padded
//                      with blanks and no NUL (else NUL-terminated)
//   control bits 4-7   the machine kind, an index into sim::hostKinds()
//
// The parser is run on an exactly sized heap copy of the text with no NUL
// after it, in switch mode and for every keyword the driver asks for (plus
// one made from the text itself), and once more with a bound shorter than
// the buffer. The results are compared with a plain reading of the
// argument syntax (ReferenceSwitches / ReferenceKeyword below), the text
// must come back lower-cased up to its end and untouched after it, and
// every field must hold a value its switch can give.
//
// Every check returns "" when it holds, else what went wrong.
#ifndef FUZZ_ARGUMENT_HARNESS_H
#define FUZZ_ARGUMENT_HARNESS_H

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "miniport/parameters.h"
#include "seam/nimb_driver.h"
#include "sim/ata/ata_drive.h"
#include "sim/host/disk_client.h"
#include "sim/host/scsi_port_host.h"
#include "sim/machine/simulated_pc.h"
#include "sim/wire/nimb_adapter.h"

namespace nimb_fuzz {

// The keywords HwFindAdapter asks for, in its order.
inline const std::vector<std::string>& DriverKeywordNames()
{
    static const std::vector<std::string> names = {"BLK", "MSN", "NATN", "NDPC", "port", "size", "irq"};
    return names;
}

// ---------------------------------------------------------------------------
// The argument syntax read plainly, on a std::string.

inline char Lower(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }

// The text the parser sees: up to the first NUL within the bound, lower case.
inline std::string VisibleText(const std::string& bytes, size_t bound)
{
    std::string t;
    for (size_t i = 0; i < bound && i < bytes.size() && bytes[i] != '\0'; ++i) t += Lower(bytes[i]);
    return t;
}

inline DriverParametersRecord ReferenceSwitches(const std::string& text, DriverParametersRecord p)
{
    auto at = [&](size_t i) { return i < text.size() ? text[i] : '\0'; };
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    auto number = [&](char c1, char c2) {
        unsigned n = unsigned(c1 - '0');
        return digit(c2) ? n * 10 + unsigned(c2 - '0') : n;
    };
    size_t i = 0;
    while (i < text.size()) {
        char letter = at(i + 1);
        if (text[i] != '/' || letter < 'a' || letter > 'z') {
            ++i;
            continue;
        }
        char c1 = at(i + 2), c2 = at(i + 3);
        switch (letter) {
        case 'a':
            if (digit(c1)) p.StandbyTime = uint16_t(std::min(number(c1, c2), 16u) * 1080);
            break;
        case 'd':
            if (c1 == 'i') p.PollingMode = 1;
            else if (c1 == 'e' && c2 == 'd') p.Epp32Off = 1;
            else if (c1 == 'e') p.NoEppHost = 1;
            else if (c1 == 'a') p.NoModeNegotiation = 1;
            else if (c1 == 'p') p.NoPs2Detect = 1;
            else if (c1 == 't') p.NoTimer = 1;
            else if (c1 == 'm') p.NoMultipleMode = 1;
            else p.EchoModes = 1;
            break;
        case 'f':
            if (c1 == 'e' && c2 == 'd') p.Epp32On = 1;
            else if (c1 == 'b') p.FastBusWanted = 1;
            break;
        case 'r':
            if (digit(c1) && number(c1, c2) < 11) p.ReadMode = uint8_t(number(c1, c2)), p.ModesForced = 1;
            break;
        case 'w':
            if (digit(c1) && number(c1, c2) < 4) p.WriteMode = uint8_t(number(c1, c2)), p.ModesForced = 1;
            break;
        case 'z':
            if (digit(c1)) p.Reg83Given = 1, p.Reg83Param = uint8_t(c1 - '0');
            break;
        default:
            break;
        }
        i += 2;  // on with the character after the letter
    }
    return p;
}

inline uint32_t ReferenceKeyword(const std::string& text, std::string keyword)
{
    for (char& c : keyword) c = Lower(c);
    if (keyword.size() > text.size()) return 0;
    auto blank = [](char c) { return c == ' ' || c == '\t'; };
    auto skipBlanks = [&](size_t i) {
        while (i < text.size() && blank(text[i])) ++i;
        return i;
    };
    size_t i = 0;
    while (i < text.size()) {
        i = skipBlanks(i);
        size_t p = i;
        bool named = text.compare(i, keyword.size(), keyword) == 0;
        if (named) {
            p = i + keyword.size();
            if (p >= text.size()) return 0;
            p = skipBlanks(p);
            if (p < text.size() && text[p] == '=') {
                p = skipBlanks(p + 1);
                if (p >= text.size()) return 0;
                if (text[p] == ';') {
                    i = p + 1;
                    continue;
                }
                bool hex = text.compare(p, 2, "0x") == 0;
                uint32_t value = 0;
                for (size_t k = p + (hex ? 2 : 0); k < text.size(); ++k) {
                    char c = text[k];
                    if (blank(c) || c == ';') break;
                    uint32_t d;
                    if (c >= '0' && c <= '9') d = uint32_t(c - '0');
                    else if (hex && c >= 'a' && c <= 'f') d = uint32_t(c - 'a' + 10);
                    else return 0;
                    value = value * (hex ? 16u : 10u) + d;
                }
                return value;
            }
        }
        size_t semicolon = text.find(';', p);
        if (semicolon == std::string::npos || semicolon + 1 >= text.size()) return 0;
        i = semicolon + 1;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// The checks.

inline std::string ParameterText(const DriverParametersRecord& p)
{
    char b[256];
    std::snprintf(b, sizeof b,
                  "di%u de%u ded%u fed%u da%u dp%u dt%u dm%u echo%u fb%u r%u w%u forced%u z%u/%u a%u msn%u",
                  p.PollingMode, p.NoEppHost, p.Epp32Off, p.Epp32On, p.NoModeNegotiation, p.NoPs2Detect,
                  p.NoTimer, p.NoMultipleMode, p.EchoModes, p.FastBusWanted, p.ReadMode, p.WriteMode,
                  p.ModesForced, p.Reg83Param, p.Reg83Given, p.StandbyTime, p.MediaStatusMode);
    return b;
}

// Runs the parser on an exact heap copy of bytes with this bound; checks
// the buffer afterwards. Returns the result through value.
inline std::string ParseCopy(const std::string& bytes, uint32_t bound, const char* keyword, uint32_t mode,
                             uint32_t& value)
{
    std::unique_ptr<char[]> buffer(new char[bytes.size()]);
    if (!bytes.empty()) std::memcpy(buffer.get(), bytes.data(), bytes.size());
    value = ParseArguments(buffer.get(), bound, keyword, mode);
    size_t end = VisibleText(bytes, bound).size();
    for (size_t i = 0; i < bytes.size(); ++i) {
        char want = i < end ? Lower(bytes[i]) : bytes[i];
        if (buffer[i] != want)
            return "text byte " + std::to_string(i) + " became " + std::to_string(uint8_t(buffer[i])) +
                   ", expected " + std::to_string(uint8_t(want));
    }
    return "";
}

inline std::string CheckParserOn(const std::string& bytes, uint32_t bound)
{
    const std::string text = VisibleText(bytes, bound);
    ParametersReset();
    const DriverParametersRecord before = DriverParameters;
    uint32_t value = 0;
    std::string fault = ParseCopy(bytes, bound, "Not necessary(dummy)", 0, value);
    if (!fault.empty()) return "switch mode: " + fault;
    if (value != 1) return "switch mode returned " + std::to_string(value);
    const DriverParametersRecord& p = DriverParameters;
    const DriverParametersRecord want = ReferenceSwitches(text, before);
    if (ParameterText(p) != ParameterText(want))
        return "switches gave " + ParameterText(p) + ", expected " + ParameterText(want);
    if (p.ReadMode > 10 || p.WriteMode > 3 || p.StandbyTime % 1080 || p.StandbyTime > 16 * 1080 ||
        p.Reg83Param > 9)
        return "a field out of its range: " + ParameterText(p);

    std::vector<std::string> keywords = DriverKeywordNames();
    keywords.push_back(std::string(bytes.c_str(), strnlen(bytes.c_str(), std::min<size_t>(bytes.size(), 40))));
    for (const std::string& k : keywords) {
        fault = ParseCopy(bytes, bound, k.c_str(), 1, value);
        if (!fault.empty()) return "keyword '" + k + "': " + fault;
        uint32_t expected = ReferenceKeyword(text, k);
        if (value != expected)
            return "keyword '" + k + "' gave " + std::to_string(value) + ", expected " + std::to_string(expected);
    }
    if (ParseArguments(nullptr, bound, "port", 1) != 0) return "NULL text gave a value";
    ParametersReset();
    return "";
}

// Boots the PC with the text as the argument string; the driver must load
// without a violation of the host's or the models' rules and, when it found
// the adapter, serve a read and a write.
inline std::string CheckBootWith(const std::string& text, bool unterminated, unsigned hostIndex)
{
    const auto& kinds = sim::hostKinds();
    sim::PcConfig config;
    config.driver = seam::nimbDriver();
    config.host = kinds[hostIndex % kinds.size()].name;
    config.imageBytes = 1ull << 20;
    config.arguments = text;
    sim::SimulatedPc pc(config);
    pc.host().config().unterminatedArguments = unterminated;
    const sim::BootReport& report = pc.boot();
    std::string where = " (host " + config.host + ", " + ParameterText(DriverParameters) + ")";
    if (pc.host().violationCount()) return "boot: " + pc.host().violationText() + where;
    if (report.adapterFound) {
        std::vector<uint8_t> data(2 * 512);
        for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 7 + 1);
        sim::CommandResult w = pc.disk().write(5, data);
        std::vector<uint8_t> back;
        sim::CommandResult r = pc.disk().read(5, 2, back);
        if (!w.good() || !r.good())
            return "transfer failed: write status " + std::to_string(w.srbStatus) + (w.hang ? " hang" : "") +
                   ", read status " + std::to_string(r.srbStatus) + (r.hang ? " hang" : "") + where;
        if (back != data) return "data read back differs" + where;
    }
    if (pc.host().violationCount()) return "requests: " + pc.host().violationText() + where;
    if (pc.drive().violations().total()) return "drive protocol violations" + where;
    if (pc.adapter().violationCount()) return "adapter: " + pc.adapter().lastViolation() + where;
    return "";
}

inline std::string CheckArgumentInput(const uint8_t* data, size_t size, bool boot)
{
    if (size == 0) return "";
    const uint8_t control = data[0];
    const std::string bytes(reinterpret_cast<const char*>(data + 1), size - 1);
    std::string fault = CheckParserOn(bytes, uint32_t(bytes.size()));
    if (fault.empty() && !bytes.empty()) fault = CheckParserOn(bytes, uint32_t(bytes.size() / 2));
    if (fault.empty() && boot) fault = CheckBootWith(bytes, (control & 2) != 0, control >> 4);
    return fault;
}

}  // namespace nimb_fuzz

#endif  // FUZZ_ARGUMENT_HARNESS_H
