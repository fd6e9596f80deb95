#include "tools/nimbsim/boot_diagnosis.h"

#include <cctype>
#include <cstdio>

#include "sim/ata/disk_image.h"
#include "sim/host/disk_client.h"
#include "sim/wire/nimb_adapter.h"

namespace nimbsim {

namespace {

// The number after a switch letter: one digit, or two when a second
// follows; anything above 16 counts as 16.
bool switchNumber(const std::string& text, size_t at, unsigned& n)
{
    if (at >= text.size() || !std::isdigit(static_cast<unsigned char>(text[at]))) return false;
    n = static_cast<unsigned>(text[at] - '0');
    if (at + 1 < text.size() && std::isdigit(static_cast<unsigned char>(text[at + 1])))
        n = n * 10 + static_cast<unsigned>(text[at + 1] - '0');
    if (n > 16) n = 16;
    return true;
}

// Whether a fresh machine like `config` boots with exactly the pair forced.
bool pairWorks(const sim::PcConfig& config, ModePair pair)
{
    sim::PcConfig trial = config;
    trial.imagePath.clear();
    trial.tracePath.clear();
    char forced[32];
    std::snprintf(forced, sizeof forced, " /da /r%u /w%u", pair.read, pair.write);
    trial.arguments = config.arguments.value_or("") + forced;
    try {
        sim::SimulatedPc pc(trial);
        if (!pc.boot().adapterFound) return false;
        // The driver leaves its mode byte on the data lines after a request.
        if (!pc.disk().testUnitReady().completed) return false;
        uint8_t modes = pc.dataLatch();
        return (modes >> 4) == pair.read && (modes & 0x0F) == pair.write;
    } catch (const std::exception&) {
        return false;
    }
}

std::string modeList(const std::vector<unsigned>& modes)
{
    std::string text;
    for (size_t i = 0; i < modes.size();) {
        size_t j = i;
        while (j + 1 < modes.size() && modes[j + 1] == modes[j] + 1) ++j;
        if (!text.empty()) text += ", ";
        text += std::to_string(modes[i]);
        if (j > i) text += "-" + std::to_string(modes[j]);
        i = j + 1;
    }
    return text.empty() ? "none" : text;
}

std::string hexPort(uint16_t port)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%03X", port);
    return buf;
}

}  // namespace

std::optional<ModePair> forcedModes(const std::string& arguments)
{
    std::string text = arguments;
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    ModePair pair;
    bool forced = false;
    for (size_t i = 0; i + 1 < text.size(); ++i) {
        if (text[i] != '/') continue;
        char letter = text[i + 1];
        unsigned n = 0;
        if (letter == 'r' && switchNumber(text, i + 2, n) && n < 11) {
            pair.read = n;
            forced = true;
        } else if (letter == 'w' && switchNumber(text, i + 2, n) && n < 4) {
            pair.write = n;
            forced = true;
        }
    }
    if (!forced) return std::nullopt;
    if (pair.read == 10 || pair.write == 3) pair = ModePair{10, 3};
    return pair;
}

NoAdapterDiagnosis diagnoseNoAdapter(sim::SimulatedPc& pc)
{
    NoAdapterDiagnosis d;
    const sim::PcConfig& config = pc.config();
    d.port = config.adapterPort;
    const sim::NimbAdapter::Counters& seen = pc.adapter().counters();
    d.answered = config.adapterPresent && seen.wakes > 0 &&
                 (seen.registerReads > 0 || seen.echoCycles > 0);
    if (config.arguments) d.forced = forcedModes(*config.arguments);
    if (!d.answered || !d.forced) return d;

    sim::PcConfig trial = config;
    if (!trial.imageBytes) trial.imageBytes = pc.image().byteSize();
    for (unsigned r = 0; r <= 9; ++r)
        if (pairWorks(trial, ModePair{r, 2})) d.workingReadModes.push_back(r);
    bool epp = pairWorks(trial, ModePair{10, 3});
    if (epp) d.workingReadModes.push_back(10);
    for (unsigned w = 0; w <= 2; ++w)
        if (pairWorks(trial, ModePair{2, w})) d.workingWriteModes.push_back(w);
    if (epp) d.workingWriteModes.push_back(3);
    return d;
}

std::string describeNoAdapter(const NoAdapterDiagnosis& d, const std::vector<uint16_t>& portsTried)
{
    if (!d.answered) {
        std::string ports;
        for (uint16_t p : portsTried) ports += (ports.empty() ? "" : ", ") + hexPort(p);
        return "nimbsim: no adapter found (ports tried: " + (ports.empty() ? std::string("none") : ports) +
               ")\n";
    }
    std::string at = "nimbsim: the adapter on port " + hexPort(d.port) + " answered";
    if (!d.forced)
        return at + ", but the driver refused it: it did not pass the identity and test-pattern checks\n";
    return at + ", but the forced modes (read mode " + std::to_string(d.forced->read) +
           ", write mode " + std::to_string(d.forced->write) +
           ") failed the adapter's test on that port, so the driver refused it\n"
           "nimbsim: on this port the driver can use read modes " +
           modeList(d.workingReadModes) + " and write modes " + modeList(d.workingWriteModes) +
           "; without /r and /w it chooses the fastest pair itself\n";
}

}  // namespace nimbsim
