#include "sim/ata/ata_drive.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace sim {

namespace {

constexpr Nanoseconds kForever = std::numeric_limits<Nanoseconds>::max();
constexpr uint64_t kLba28Limit = 0x0FFFFFFF;

std::string hex(uint8_t v)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", v);
    return text;
}

// ATA strings: two characters per word, the first in the high byte, padded
// with spaces (or with `fill` when the caller wants no padding).
void putString(std::array<uint16_t, 256>& w, int first, int chars, const std::string& text, char fill = ' ')
{
    std::string s = text.substr(0, chars);
    s.resize(chars, fill);
    for (int k = 0; k < chars / 2; ++k) {
        w[first + k] = static_cast<uint16_t>((uint8_t(s[2 * k]) << 8) | uint8_t(s[2 * k + 1]));
    }
}

}  // namespace

std::string formatCommand(const CommandRecord& r)
{
    char text[128];
    int n = std::snprintf(text, sizeof text, "t=%.3f ms %02X f=%02X n=%02X s=%02X c=%02X%02X dh=%02X",
                          static_cast<double>(r.issued) / 1e6, r.command, r.features, r.sectorCount,
                          r.sectorNumber, r.cylinderHigh, r.cylinderLow, r.driveHead);
    if (r.cutShort)
        std::snprintf(text + n, sizeof text - n, " -> cut short (%u sectors)", r.sectorsMoved);
    else if (r.finished)
        std::snprintf(text + n, sizeof text - n, " -> %02X/%02X (%u sectors)", r.status, r.error, r.sectorsMoved);
    else
        std::snprintf(text + n, sizeof text - n, " -> running");
    return text;
}

AtaDrive::AtaDrive(Clock& clock, DriveConfig config, DiskImage* medium)
    : clock_(clock), config_(std::move(config)), medium_(medium)
{
    logicalHeads_ = config_.heads;
    logicalSectors_ = config_.sectorsPerTrack;
    mediaChanged_ = config_.removable && medium_ && config_.mediaChangedAtPowerOn;
}

// ---------------------------------------------------------------- geometry

uint64_t AtaDrive::capacity() const
{
    if (!medium_) return 0;
    if (config_.capacitySectors) return config_.capacitySectors;
    uint64_t sectors = medium_->sectorCount();
    uint64_t perCylinder = uint64_t(config_.heads) * config_.sectorsPerTrack;
    if (config_.lba) return std::min(sectors, kLba28Limit);
    if (perCylinder == 0) return 0;
    uint64_t cylinders = config_.cylinders ? config_.cylinders : std::min<uint64_t>(sectors / perCylinder, 16383);
    return cylinders * perCylinder;
}

void AtaDrive::defaultGeometry(uint16_t& c, uint16_t& h, uint16_t& s) const
{
    h = config_.heads;
    s = config_.sectorsPerTrack;
    if (config_.cylinders) {
        c = config_.cylinders;
        return;
    }
    uint64_t perCylinder = uint64_t(h) * s;
    uint64_t cap = capacity();
    if (!medium_ && !config_.zeroGeometryWithoutMedium) cap = config_.defaultImageBytes / kSectorBytes;
    c = perCylinder ? static_cast<uint16_t>(std::min<uint64_t>(cap / perCylinder, 16383)) : 0;
}

uint16_t AtaDrive::currentCylinders() const
{
    uint64_t perCylinder = uint64_t(logicalHeads_) * logicalSectors_;
    if (perCylinder == 0) return 0;
    return static_cast<uint16_t>(std::min<uint64_t>(capacity() / perCylinder, 65535));
}

std::array<uint16_t, 256> AtaDrive::identifyData() const
{
    std::array<uint16_t, 256> w{};
    bool empty = config_.removable && !medium_ && config_.zeroGeometryWithoutMedium;
    uint16_t c, h, s;
    defaultGeometry(c, h, s);
    if (empty) c = h = s = 0;

    w[0] = config_.removable ? 0x0080 : 0x0040;
    w[1] = c;
    w[3] = h;
    w[4] = static_cast<uint16_t>(s * kSectorBytes);
    w[5] = kSectorBytes;
    w[6] = s;
    putString(w, 10, 20, config_.serial);
    w[20] = 3;    // dual-ported buffer with read cache
    w[21] = 256;  // buffer of 256 sectors
    w[22] = 4;    // ECC bytes on READ/WRITE LONG
    putString(w, 23, 8, config_.firmware);
    putString(w, 27, 40, config_.model,
              faults_.identifyGarbage == IdentifyGarbage::UnterminatedModel ? 'X' : ' ');
    w[47] = config_.maxMultiple ? static_cast<uint16_t>(0x8000 | config_.maxMultiple) : 0;
    w[49] = config_.lba ? 0x0200 : 0x0000;
    w[51] = 0x0200;  // PIO mode 2 timing
    w[53] = 0x0001;  // words 54-58 valid

    uint32_t cc = empty ? 0 : currentCylinders();
    uint32_t ch = empty ? 0 : logicalHeads_;
    uint32_t cs = empty ? 0 : logicalSectors_;
    uint32_t current = cc * ch * cs;
    w[54] = static_cast<uint16_t>(cc);
    w[55] = static_cast<uint16_t>(ch);
    w[56] = static_cast<uint16_t>(cs);
    w[57] = static_cast<uint16_t>(current);
    w[58] = static_cast<uint16_t>(current >> 16);
    w[59] = multiple_ ? static_cast<uint16_t>(0x0100 | multiple_) : 0;
    if (config_.lba) {
        uint32_t total = static_cast<uint32_t>(empty ? 0 : capacity());
        w[60] = static_cast<uint16_t>(total);
        w[61] = static_cast<uint16_t>(total >> 16);
    }
    w[80] = 0x001E;  // ATA-1 to ATA-4
    w[82] = config_.removable ? 0x0004 : 0x0000;
    w[83] = static_cast<uint16_t>(0x4000 | (config_.mediaStatusNotification ? 0x0010 : 0));
    w[84] = 0x4000;
    w[85] = config_.removable ? 0x0004 : 0x0000;
    w[86] = msnEnabled_ ? 0x0010 : 0x0000;
    w[87] = 0x4000;
    w[127] = config_.mediaStatusNotification ? 0x0001 : 0x0000;

    switch (faults_.identifyGarbage) {
    case IdentifyGarbage::ZeroGeometry:
        w[3] = w[6] = w[55] = w[56] = w[57] = w[58] = 0;
        break;
    case IdentifyGarbage::HugeCounts:
        w[1] = w[3] = w[6] = w[54] = w[55] = w[56] = 0xFFFF;
        w[57] = w[58] = w[60] = w[61] = 0xFFFF;
        break;
    default:
        break;
    }
    for (const auto& [word, value] : faults_.identifyWords) {
        if (word >= 0 && word < 256) w[word] = value;
    }
    return w;
}

// ---------------------------------------------------------------- time

void AtaDrive::catchUp()
{
    while (phase_ == Phase::Busy && busyUntil_ != kForever && clock_.now() >= busyUntil_) {
        Nanoseconds t = busyUntil_;
        Next next = next_;
        next_ = Next::None;
        phase_ = Phase::Idle;
        switch (next) {
        case Next::Finish: endCommand(t, pendingError_, true); break;
        case Next::LoadReadBlock: loadReadBlock(t); break;
        case Next::LoadIdentify: {
            auto words = identifyData();
            buffer_.assign(kSectorBytes, 0);
            for (int i = 0; i < 256; ++i) {
                buffer_[2 * i] = static_cast<uint8_t>(words[i]);
                buffer_[2 * i + 1] = static_cast<uint8_t>(words[i] >> 8);
            }
            bufferPos_ = 0;
            blockSectors_ = 1;
            identifyPhase_ = true;
            phase_ = Phase::DataIn;
            raiseInterrupt();
            break;
        }
        case Next::OfferWriteBlock: offerWriteBlock(firstBlock_); break;
        case Next::CommitWriteBlock: commitWriteBlock(t); break;
        case Next::ResetDone: finishReset(t); break;
        case Next::None: break;
        }
    }
}

bool AtaDrive::busyVisible() const
{
    if (faults_.stuckBusy == StuckBusy::Always || phase_ == Phase::Reset) return true;
    return phase_ == Phase::Busy && clock_.now() < visibleUntil_;
}

bool AtaDrive::busy()
{
    catchUp();
    return busyVisible();
}

void AtaDrive::becomeBusy(Nanoseconds until, Next next)
{
    phase_ = Phase::Busy;
    busyUntil_ = until;
    visibleUntil_ = until;
    next_ = next;
}

void AtaDrive::stickBusy()
{
    phase_ = Phase::Busy;
    busyUntil_ = visibleUntil_ = kForever;
    next_ = Next::None;
    note("stuck busy");
}

void AtaDrive::scheduleFinish(Nanoseconds delay, uint8_t error)
{
    pendingError_ = error;
    becomeBusy(clock_.now() + delay, Next::Finish);
}

Nanoseconds AtaDrive::seekTime(uint64_t lba)
{
    const DriveTiming& tm = config_.timing;
    uint64_t perCylinder = std::max<uint64_t>(1, uint64_t(config_.heads) * config_.sectorsPerTrack);
    uint64_t cylinder = lba / perCylinder;
    uint64_t distance = cylinder > headCylinder_ ? cylinder - headCylinder_ : headCylinder_ - cylinder;
    headCylinder_ = cylinder;
    if (distance == 0) return 0;
    uint64_t stroke = std::max<uint64_t>(1, capacity() / perCylinder);
    distance = std::min(distance, stroke);
    return tm.seekMin + (tm.seekMax > tm.seekMin ? (tm.seekMax - tm.seekMin) * distance / stroke : 0);
}

// When a block of n sectors at lba is in the buffer. Sectors stream from the
// medium perSector apart; a block inside the current stream is ready when its
// last sector has arrived, any other block starts a new stream (seek first).
Nanoseconds AtaDrive::readyTime(uint64_t lba, uint32_t n, Nanoseconds t, bool first)
{
    const DriveTiming& tm = config_.timing;
    if (stream_.valid && lba >= stream_.start && lba + n <= stream_.end) {
        Nanoseconds arrived = stream_.startTime + (lba + n - stream_.start) * tm.perSector;
        return std::max(t + tm.cacheHit, arrived);
    }
    Nanoseconds start = t + (first ? tm.commandOverhead : 0) + seekTime(lba);
    uint64_t end = std::min<uint64_t>(xferLba_ + xferLeft_ + tm.readAheadSectors, capacity());
    stream_ = {true, lba, std::max<uint64_t>(end, lba + n), start};
    return start + n * tm.perSector;
}

// ---------------------------------------------------------------- registers

uint8_t AtaDrive::statusValue()
{
    if (busyVisible()) return kStatusBsy;
    uint8_t s = 0;
    if (!spunDown_ && !spinningUp()) {
        s |= kStatusDrdy;
        if (!faults_.dscNeverSet) s |= kStatusDsc;
    }
    if (faults_.deviceFault) s |= kStatusDf;
    if (phase_ == Phase::DataIn || phase_ == Phase::DataOut) s |= kStatusDrq;
    if (corrFlag_) s |= kStatusCorr;
    if (errFlag_) s |= kStatusErr;
    return s;
}

uint8_t AtaDrive::readRegister(uint8_t reg)
{
    catchUp();
    if (faults_.absent) return 0xFF;
    if (reg == kAtaStatusCommand || reg == kAtaAltStatusDeviceControl) {
        if (deviceOneSelected() && !busyVisible()) return 0x00;
        uint8_t s = statusValue();
        if (reg == kAtaStatusCommand) intrq_ = false;
        return s;
    }
    if (reg < kAtaErrorFeatures || reg > kAtaDriveHead) return 0xFF;
    if (busyVisible()) return statusValue();
    if (faults_.registersDead) return 0x00;
    switch (reg) {
    case kAtaErrorFeatures: return error_;
    case kAtaSectorCount: return sectorCount_;
    case kAtaSectorNumber: return sectorNumber_;
    case kAtaCylinderLow: return cylinderLow_;
    case kAtaCylinderHigh: return cylinderHigh_;
    default: return driveHead_;
    }
}

void AtaDrive::writeRegister(uint8_t reg, uint8_t value)
{
    catchUp();
    if (faults_.absent) return;
    if (reg == kAtaAltStatusDeviceControl) {
        bool was = (control_ & kControlSrst) != 0;
        bool now = (value & kControlSrst) != 0;
        if (value & kControlNien) {
            ++violations_.interruptDisabled;
            note("device control " + hex(value) + " sets nIEN");
        }
        control_ = value;
        if (now && !was) {
            cutShort("software reset");
            phase_ = Phase::Reset;
            next_ = Next::None;
            intrq_ = false;
            ++resets_;
            note("SRST asserted");
        } else if (!now && was) {
            note("SRST released");
            if (faults_.stuckBusy == StuckBusy::AfterReset)
                stickBusy();
            else
                becomeBusy(clock_.now() + config_.timing.resetBusy, Next::ResetDone);
        }
        return;
    }
    if (reg == kAtaStatusCommand) {
        startCommand(value);
        return;
    }
    if (reg < kAtaErrorFeatures || reg > kAtaDriveHead) return;
    if (busyVisible()) {
        ++violations_.registerWriteWhileBusy;
        note("register " + std::to_string(reg) + " written while busy, ignored");
        return;
    }
    if (drqVisible()) {
        ++violations_.registerWriteDuringDrq;
        note("register " + std::to_string(reg) + " written during the data phase of " + hex(command_));
    }
    if (faults_.registersDead) return;
    switch (reg) {
    case kAtaErrorFeatures: features_ = value; break;
    case kAtaSectorCount: sectorCount_ = value; break;
    case kAtaSectorNumber: sectorNumber_ = value; break;
    case kAtaCylinderLow: cylinderLow_ = value; break;
    case kAtaCylinderHigh: cylinderHigh_ = value; break;
    default: driveHead_ = value; break;
    }
}

uint16_t AtaDrive::readData()
{
    catchUp();
    if (faults_.absent) return 0xFFFF;
    if (phase_ != Phase::DataIn || deviceOneSelected()) {
        ++violations_.dataReadWithoutDrq;
        return 0xFFFF;
    }
    uint16_t word = static_cast<uint16_t>(buffer_[bufferPos_] | (buffer_[bufferPos_ + 1] << 8));
    bufferPos_ += 2;
    if (bufferPos_ >= buffer_.size()) readBlockDone();
    return word;
}

void AtaDrive::writeData(uint16_t word)
{
    catchUp();
    if (faults_.absent) return;
    if (phase_ != Phase::DataOut || deviceOneSelected()) {
        ++violations_.dataWriteWithoutDrq;
        return;
    }
    buffer_[bufferPos_] = static_cast<uint8_t>(word);
    buffer_[bufferPos_ + 1] = static_cast<uint8_t>(word >> 8);
    bufferPos_ += 2;
    if (bufferPos_ < buffer_.size()) return;
    const DriveTiming& tm = config_.timing;
    Nanoseconds t = clock_.now();
    Nanoseconds d = firstBlock_ ? tm.commandOverhead + seekTime(xferLba_) : 0;
    d += blockSectors_ * tm.perSector;
    becomeBusy(t + d, Next::CommitWriteBlock);
}

bool AtaDrive::interruptRequest()
{
    catchUp();
    return !faults_.absent && intrq_ && !(control_ & kControlNien) && !deviceOneSelected();
}

void AtaDrive::raiseInterrupt()
{
    if (faults_.suppressInterrupts != 0) {
        if (faults_.suppressInterrupts > 0) --faults_.suppressInterrupts;
        note("INTRQ suppressed");
        return;
    }
    intrq_ = true;
    ++interrupts_;
}

void AtaDrive::note(const std::string& text)
{
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%.3f ms: ", static_cast<double>(clock_.now()) / 1e6);
    events_.push_back(stamp + text);
}

void AtaDrive::clearLogs()
{
    commands_.clear();
    events_.clear();
    violations_ = {};
}

// ---------------------------------------------------------------- command cycle

void AtaDrive::cutShort(const char* why)
{
    if (!commands_.empty() && !commands_.back().finished) {
        commands_.back().cutShort = true;
        commands_.back().finished = true;
        commands_.back().ended = clock_.now();
        note("command " + hex(commands_.back().command) + " ended early by " + why);
    }
    if (phase_ == Phase::DataIn || phase_ == Phase::DataOut || phase_ == Phase::Busy) phase_ = Phase::Idle;
    identifyPhase_ = false;
}

void AtaDrive::endCommand(Nanoseconds t, uint8_t error, bool interrupt)
{
    phase_ = Phase::Idle;
    error_ = error;
    errFlag_ = error != 0;
    identifyPhase_ = false;
    if (interrupt) raiseInterrupt();
    if (!commands_.empty() && !commands_.back().finished) {
        CommandRecord& r = commands_.back();
        r.finished = true;
        r.ended = t;
        r.status = statusValue();
        r.error = error_;
    }
}

void AtaDrive::startCommand(uint8_t op)
{
    if (busyVisible()) {
        ++violations_.commandWhileBusy;
        note("command " + hex(op) + " written while busy, ignored");
        return;
    }
    if (drqVisible()) {
        ++violations_.commandDuringDrq;
        note("command " + hex(op) + " written during the data phase of " + hex(command_));
    }
    if (faults_.registersDead) {
        if (op != 0xE1) {
            note("command " + hex(op) + " ignored, registers dead");
            return;
        }
        faults_.registersDead = false;
    }
    if (deviceOneSelected()) {
        note("command " + hex(op) + " for device 1 ignored (not present)");
        return;
    }
    if (phase_ != Phase::Idle) {
        std::string why = "command " + hex(op);
        cutShort(why.c_str());
    }

    intrq_ = false;
    errFlag_ = corrFlag_ = false;
    error_ = 0;
    command_ = op;
    blocksMoved_ = 0;
    endAfterBlock_ = false;
    CommandRecord r;
    r.issued = clock_.now();
    r.features = features_;
    r.sectorCount = sectorCount_;
    r.sectorNumber = sectorNumber_;
    r.cylinderLow = cylinderLow_;
    r.cylinderHigh = cylinderHigh_;
    r.driveHead = driveHead_;
    r.command = op;
    commands_.push_back(r);

    const Nanoseconds overhead = config_.timing.commandOverhead;
    if (spinningUp() && op != 0x90) {  // only EXECUTE DEVICE DIAGNOSTIC runs before DRDY
        ++violations_.commandWhileNotReady;
        note("command " + hex(op) + " written before DRDY (spinning up), aborted");
        scheduleFinish(overhead, kErrorAbrt);
        return;
    }
    auto abortFault = faults_.abortCommands.find(op);
    if (abortFault != faults_.abortCommands.end() && abortFault->second != 0) {
        if (abortFault->second > 0) --abortFault->second;
        note("command " + hex(op) + " aborted (injected)");
        scheduleFinish(overhead, kErrorAbrt);
        return;
    }
    if (faults_.deviceFault && op != 0xEC) {
        scheduleFinish(overhead, kErrorAbrt);
        return;
    }
    executeCommand(op);
}

bool AtaDrive::mediaAccess(uint8_t op)
{
    return (op >= 0x10 && op <= 0x1F) || op == 0x20 || op == 0x21 || op == 0x30 || op == 0x31 ||
           op == 0x40 || op == 0x41 || (op >= 0x70 && op <= 0x7F) || op == 0xC4 || op == 0xC5 || op == 0xDE;
}

uint8_t AtaDrive::mediaError(uint8_t op, bool write)
{
    if (!config_.removable || !mediaAccess(op)) return 0;
    if (!medium_) return kErrorNm;
    if (!msnEnabled_) {
        if (mediaChanged_) return kErrorMc;
        if (changeRequested_) {
            changeRequested_ = false;
            return kErrorMcr;
        }
    }
    if (write && writeProtected_) return kErrorWp;
    return 0;
}

// The starting address from the task file (error bits when it is invalid).
bool AtaDrive::decodeAddress(uint64_t& lba) const
{
    if (driveHead_ & 0x40) {
        lba = (uint64_t(driveHead_ & 0x0F) << 24) | (uint64_t(cylinderHigh_) << 16) |
              (uint64_t(cylinderLow_) << 8) | sectorNumber_;
        return config_.lba && lba < capacity();
    }
    uint32_t cylinder = (uint32_t(cylinderHigh_) << 8) | cylinderLow_;
    uint32_t head = driveHead_ & 0x0F;
    uint32_t sector = sectorNumber_;
    if (sector == 0 || sector > logicalSectors_ || head >= logicalHeads_ || cylinder >= currentCylinders())
        return false;
    lba = (uint64_t(cylinder) * logicalHeads_ + head) * logicalSectors_ + sector - 1;
    return lba < capacity();
}

void AtaDrive::storeAddress(uint64_t lba, uint32_t sectorsLeft)
{
    sectorCount_ = static_cast<uint8_t>(sectorsLeft);
    if ((driveHead_ & 0x40) || logicalHeads_ == 0 || logicalSectors_ == 0) {
        sectorNumber_ = static_cast<uint8_t>(lba);
        cylinderLow_ = static_cast<uint8_t>(lba >> 8);
        cylinderHigh_ = static_cast<uint8_t>(lba >> 16);
        driveHead_ = static_cast<uint8_t>((driveHead_ & 0xF0) | ((lba >> 24) & 0x0F));
        return;
    }
    uint64_t track = lba / logicalSectors_;
    uint64_t cylinder = track / logicalHeads_;
    sectorNumber_ = static_cast<uint8_t>(lba % logicalSectors_ + 1);
    cylinderLow_ = static_cast<uint8_t>(cylinder);
    cylinderHigh_ = static_cast<uint8_t>(cylinder >> 8);
    driveHead_ = static_cast<uint8_t>((driveHead_ & 0xF0) | (track % logicalHeads_));
}

bool AtaDrive::takeSectorFault(uint64_t lba, SectorFault& kind, bool forWrite)
{
    auto it = faults_.sectors.find(lba);
    if (it == faults_.sectors.end() || it->second.times == 0) return false;
    SectorFault k = it->second.kind;
    if (forWrite && k != SectorFault::IdNotFound && k != SectorFault::AddressMarkNotFound &&
        k != SectorFault::BadBlock)
        return false;
    if (it->second.times > 0) --it->second.times;
    kind = k;
    return true;
}

uint8_t AtaDrive::faultError(SectorFault kind)
{
    switch (kind) {
    case SectorFault::Uncorrectable:
    case SectorFault::UncorrectableWithData: return kErrorUnc;
    case SectorFault::IdNotFound: return kErrorIdnf;
    case SectorFault::AddressMarkNotFound: return kErrorAmnf;
    case SectorFault::BadBlock: return kErrorBbk;
    case SectorFault::Corrected: return 0;
    }
    return 0;
}

void AtaDrive::executeCommand(uint8_t op)
{
    const DriveTiming& tm = config_.timing;
    const bool removable = config_.removable;
    uint64_t lba = 0;
    uint8_t e = 0;

    switch (op) {
    case 0x20: case 0x21: case 0xC4:  // READ SECTORS, READ MULTIPLE
    case 0x30: case 0x31: case 0xC5:  // WRITE SECTORS, WRITE MULTIPLE
    {
        bool write = op == 0x30 || op == 0x31 || op == 0xC5;
        bool multiple = op == 0xC4 || op == 0xC5;
        if (multiple && multiple_ == 0) {
            scheduleFinish(tm.commandOverhead, kErrorAbrt);
            return;
        }
        if ((e = mediaError(op, write)) != 0) {
            scheduleFinish(tm.commandOverhead, e);
            return;
        }
        if (!decodeAddress(lba)) {
            scheduleFinish(tm.commandOverhead, kErrorIdnf);
            return;
        }
        uint32_t block = multiple ? multiple_ : 1;
        if (write)
            startWrite(lba, countFromRegister(), block);
        else
            startRead(lba, countFromRegister(), block);
        return;
    }
    case 0x40: case 0x41:  // READ VERIFY SECTORS
        if ((e = mediaError(op, false)) != 0) {
            scheduleFinish(tm.commandOverhead, e);
            return;
        }
        if (!decodeAddress(lba)) {
            scheduleFinish(tm.commandOverhead, kErrorIdnf);
            return;
        }
        verify(lba, countFromRegister());
        return;
    case 0xEC:  // IDENTIFY DEVICE
        becomeBusy(clock_.now() + tm.commandOverhead, Next::LoadIdentify);
        return;
    case 0x91: {  // INITIALIZE DEVICE PARAMETERS
        uint16_t heads = static_cast<uint16_t>((driveHead_ & 0x0F) + 1);
        bool untranslatable = !config_.translatesGeometry &&
                              (heads != config_.heads || sectorCount_ != config_.sectorsPerTrack);
        if (sectorCount_ == 0 || untranslatable) {
            if (untranslatable)
                note("geometry " + std::to_string(heads) + "/" + std::to_string(sectorCount_) + " refused");
            scheduleFinish(tm.commandOverhead, kErrorAbrt);
            return;
        }
        logicalHeads_ = heads;
        logicalSectors_ = sectorCount_;
        scheduleFinish(tm.commandOverhead, 0);
        return;
    }
    case 0xC6: {  // SET MULTIPLE MODE
        uint8_t n = sectorCount_;
        bool powerOfTwo = n != 0 && (n & (n - 1)) == 0;
        if (n == 0) {
            multiple_ = 0;
        } else if (config_.maxMultiple && powerOfTwo && n <= config_.maxMultiple) {
            multiple_ = n;
        } else {
            multiple_ = 0;
            e = kErrorAbrt;
        }
        scheduleFinish(tm.commandOverhead, e);
        return;
    }
    case 0xE1:  // IDLE IMMEDIATE
        scheduleFinish(tm.commandOverhead, 0);
        return;
    case 0xE3:  // IDLE
        standbyTimer_ = sectorCount_;
        scheduleFinish(tm.commandOverhead, 0);
        return;
    case 0xEF:
        setFeatures();
        return;
    case 0xC0:  // vendor command of the SyQuest drives
        if (config_.syquestVendorCommand &&
            (features_ == 0x45 || features_ == 0x50 || features_ == 0x65 || features_ == 0x70)) {
            vendorSetting_ = features_;
            buttonEnabled_ = features_ == 0x45 || features_ == 0x65;
            scheduleFinish(tm.commandOverhead, 0);
        } else {
            scheduleFinish(tm.commandOverhead, kErrorAbrt);
        }
        return;
    default:
        break;
    }

    if (op >= 0x10 && op <= 0x1F) {  // RECALIBRATE
        if ((e = mediaError(op, false)) != 0) {
            scheduleFinish(tm.commandOverhead, e);
            return;
        }
        scheduleFinish(tm.commandOverhead + seekTime(0), 0);
        return;
    }
    if (op >= 0x70 && op <= 0x7F) {  // SEEK
        if ((e = mediaError(op, false)) != 0) {
            scheduleFinish(tm.commandOverhead, e);
            return;
        }
        if (!decodeAddress(lba)) {
            scheduleFinish(tm.commandOverhead, kErrorIdnf);
            return;
        }
        scheduleFinish(tm.commandOverhead + seekTime(lba), 0);
        return;
    }

    // The removable media commands; a fixed disk has none of them.
    bool removableCommand = op == 0xDA || op == 0xDB || op == 0xDC || op == 0xDD || op == 0xDE ||
                            op == 0xDF || op == 0xED;
    if (!removableCommand || !removable) {
        scheduleFinish(tm.commandOverhead, kErrorAbrt);
        return;
    }
    switch (op) {
    case 0xDA:
        getMediaStatus();
        return;
    case 0xDB:  // ACKNOWLEDGE MEDIA CHANGE
        if (!faults_.stickyMediaChange) mediaChanged_ = false;
        changeRequested_ = false;
        scheduleFinish(tm.commandOverhead, 0);
        return;
    case 0xDC:  // BOOT - POST-BOOT
    case 0xDD:  // BOOT - PRE-BOOT
        if (op == 0xDC && config_.postBootAcknowledges) {
            if (!faults_.stickyMediaChange) mediaChanged_ = false;
            changeRequested_ = false;
        }
        scheduleFinish(tm.commandOverhead, 0);
        return;
    case 0xDE:  // DOOR LOCK
        if ((e = mediaError(op, false)) == 0) doorLocked_ = true;
        scheduleFinish(tm.commandOverhead, e);
        return;
    case 0xDF:  // DOOR UNLOCK
        doorLocked_ = false;
        scheduleFinish(tm.commandOverhead, 0);
        return;
    default:  // 0xED
        ejectMedium();
        return;
    }
}

void AtaDrive::setFeatures()
{
    const Nanoseconds overhead = config_.timing.commandOverhead;
    switch (features_) {
    case 0x95:  // enable media status notification
    case 0x31:  // disable it
        if (!config_.mediaStatusNotification) {
            scheduleFinish(overhead, kErrorAbrt);
            return;
        }
        if (features_ == 0x95) {
            cylinderLow_ = 0x00;  // version
            cylinderHigh_ = static_cast<uint8_t>((msnEnabled_ ? 0x01 : 0x00) | 0x02 | 0x04);  // PENABLE LOCK PEJECT
            msnEnabled_ = true;
        } else {
            msnEnabled_ = false;
        }
        scheduleFinish(overhead, 0);
        return;
    case 0x02: case 0x82: case 0xAA: case 0x55: case 0x66: case 0xCC: case 0x03:
        scheduleFinish(overhead, 0);
        return;
    default:
        scheduleFinish(overhead, kErrorAbrt);
        return;
    }
}

void AtaDrive::getMediaStatus()
{
    uint8_t bits = 0;
    if (!medium_)
        bits |= kErrorNm;
    else if (writeProtected_)
        bits |= kErrorWp;
    if (mediaChanged_) bits |= kErrorMc;
    if (changeRequested_) bits |= kErrorMcr;
    if (!faults_.stickyMediaChange) mediaChanged_ = false;
    changeRequested_ = false;
    scheduleFinish(config_.timing.commandOverhead, bits);
}

void AtaDrive::ejectMedium()
{
    const DriveTiming& tm = config_.timing;
    if (!medium_) {
        scheduleFinish(tm.commandOverhead, kErrorNm);
        return;
    }
    if (doorLocked_) {
        scheduleFinish(tm.commandOverhead, kErrorAbrt);
        return;
    }
    medium_ = nullptr;
    spunDown_ = true;
    mediaChanged_ = changeRequested_ = false;
    stream_.valid = false;
    ++ejects_;
    note("cartridge ejected");
    scheduleFinish(tm.eject, 0);
}

void AtaDrive::verify(uint64_t lba, uint32_t count)
{
    const DriveTiming& tm = config_.timing;
    Nanoseconds d = tm.commandOverhead + seekTime(lba);
    uint64_t cap = capacity();
    for (uint32_t i = 0; i < count; ++i) {
        uint64_t sector = lba + i;
        d += tm.perSector;
        uint8_t e = 0;
        SectorFault kind;
        if (sector >= cap)
            e = kErrorIdnf;
        else if (takeSectorFault(sector, kind, false)) {
            if (kind == SectorFault::Corrected)
                corrFlag_ = true;
            else
                e = faultError(kind);
        }
        if (e) {
            storeAddress(sector, count - i);
            scheduleFinish(d, e);
            return;
        }
    }
    storeAddress(lba + count - 1, 0);
    scheduleFinish(d, 0);
}

// ---------------------------------------------------------------- PIO in

void AtaDrive::startRead(uint64_t lba, uint32_t count, uint32_t block)
{
    xferLba_ = lba;
    xferLeft_ = count;
    blockSize_ = block;
    firstBlock_ = true;
    Nanoseconds t = clock_.now();
    becomeBusy(readyTime(lba, std::min(block, count), t, true), Next::LoadReadBlock);
}

void AtaDrive::loadReadBlock(Nanoseconds t)
{
    uint32_t n = std::min(blockSize_, xferLeft_);
    buffer_.assign(size_t(n) * kSectorBytes, 0);
    bufferPos_ = 0;
    blockSectors_ = n;
    uint64_t cap = capacity();
    for (uint32_t i = 0; i < n; ++i) {
        uint64_t sector = xferLba_ + i;
        uint8_t* data = &buffer_[size_t(i) * kSectorBytes];
        uint8_t e = 0;
        SectorFault kind;
        if (!medium_)
            e = kErrorNm;
        else if (sector >= cap || !medium_->readSector(sector, data))
            e = kErrorIdnf;
        else if (takeSectorFault(sector, kind, false)) {
            if (kind == SectorFault::Corrected) {
                corrFlag_ = true;
            } else if (kind == SectorFault::UncorrectableWithData) {
                // The block is offered as read: the second half of the bad
                // sector is garbled, the sectors after it never arrived.
                for (uint32_t b = kSectorBytes / 2; b < kSectorBytes; ++b) data[b] ^= 0xFF;
                endAfterBlock_ = true;
                errorLba_ = sector;
                errorBits_ = kErrorUnc;
                errFlag_ = true;
                error_ = kErrorUnc;
                break;
            } else {
                e = faultError(kind);
            }
        }
        if (e) {
            storeAddress(sector, xferLeft_ - i);
            endCommand(t, e, true);
            return;
        }
    }
    phase_ = Phase::DataIn;
    raiseInterrupt();
}

void AtaDrive::readBlockDone()
{
    Nanoseconds t = clock_.now();
    ++blocksMoved_;
    if (!commands_.empty() && !commands_.back().finished) commands_.back().sectorsMoved += blockSectors_;
    if (identifyPhase_) {
        endCommand(t, 0, false);
        return;
    }
    if (endAfterBlock_) {
        storeAddress(errorLba_, static_cast<uint32_t>(xferLeft_ - (errorLba_ - xferLba_)));
        endCommand(t, errorBits_, false);
        return;
    }
    xferLba_ += blockSectors_;
    xferLeft_ -= blockSectors_;
    if (xferLeft_ == 0) {
        storeAddress(xferLba_ - 1, 0);
        endCommand(t, 0, false);
        return;
    }
    if (faults_.stuckBusy == StuckBusy::MidTransfer && blocksMoved_ >= faults_.stuckAfterBlocks) {
        stickBusy();
        return;
    }
    becomeBusy(readyTime(xferLba_, std::min(blockSize_, xferLeft_), t, false), Next::LoadReadBlock);
}

// ---------------------------------------------------------------- PIO out

void AtaDrive::startWrite(uint64_t lba, uint32_t count, uint32_t block)
{
    xferLba_ = lba;
    xferLeft_ = count;
    blockSize_ = block;
    firstBlock_ = true;
    Nanoseconds t = clock_.now();
    becomeBusy(t + config_.timing.writeSetup + faults_.lateDrq, Next::OfferWriteBlock);
    visibleUntil_ = t + config_.timing.writeSetup;  // a late DRQ shows neither BSY nor DRQ
}

void AtaDrive::offerWriteBlock(bool first)
{
    uint32_t n = std::min(blockSize_, xferLeft_);
    buffer_.assign(size_t(n) * kSectorBytes, 0);
    bufferPos_ = 0;
    blockSectors_ = n;
    phase_ = Phase::DataOut;
    if (!first) raiseInterrupt();
}

void AtaDrive::commitWriteBlock(Nanoseconds t)
{
    uint32_t n = blockSectors_;
    uint64_t cap = capacity();
    if (stream_.valid && xferLba_ < stream_.end && xferLba_ + n > stream_.start) stream_.valid = false;
    for (uint32_t i = 0; i < n; ++i) {
        uint64_t sector = xferLba_ + i;
        uint8_t e = 0;
        SectorFault kind;
        if (!medium_)
            e = kErrorNm;
        else if (sector >= cap)
            e = kErrorIdnf;
        else if (takeSectorFault(sector, kind, true))
            e = faultError(kind);
        else if (!medium_->writeSector(sector, &buffer_[size_t(i) * kSectorBytes]))
            e = kErrorIdnf;
        if (e) {
            if (!commands_.empty() && !commands_.back().finished) commands_.back().sectorsMoved += i;
            storeAddress(sector, xferLeft_ - i);
            endCommand(t, e, true);
            return;
        }
    }
    if (!commands_.empty() && !commands_.back().finished) commands_.back().sectorsMoved += n;
    xferLba_ += n;
    xferLeft_ -= n;
    firstBlock_ = false;
    ++blocksMoved_;
    if (xferLeft_ == 0) {
        storeAddress(xferLba_ - 1, 0);
        endCommand(t, 0, true);
        return;
    }
    if (faults_.stuckBusy == StuckBusy::MidTransfer && blocksMoved_ >= faults_.stuckAfterBlocks) {
        stickBusy();
        return;
    }
    offerWriteBlock(false);
}

// ---------------------------------------------------------------- reset

void AtaDrive::finishReset(Nanoseconds)
{
    phase_ = Phase::Idle;
    error_ = 0x01;  // diagnostic code: no error
    errFlag_ = corrFlag_ = false;
    sectorCount_ = 1;
    sectorNumber_ = 1;
    cylinderLow_ = 0;
    cylinderHigh_ = 0;
    driveHead_ = 0;
    spunDown_ = false;
    if (faults_.forgetMultipleOnReset) multiple_ = 0;
    if (!config_.keepSettingsOnReset) revertSettings();
    note(spinningUp() ? "reset complete, spinning up" : "reset complete");
}

// Multiple mode, the logical geometry and media status notification as they
// are at power-on.
void AtaDrive::revertSettings()
{
    multiple_ = 0;
    logicalHeads_ = config_.heads;
    logicalSectors_ = config_.sectorsPerTrack;
    msnEnabled_ = false;
}

void AtaDrive::powerOn()
{
    catchUp();
    cutShort("power-on");
    control_ = 0;
    intrq_ = false;
    revertSettings();
    doorLocked_ = false;
    buttonEnabled_ = true;
    mediaChanged_ = mediaChanged_ || (config_.removable && medium_ && config_.mediaChangedAtPowerOn);
    changeRequested_ = false;
    stream_.valid = false;
    spunUpAt_ = clock_.now() + config_.timing.spinUp;
    note("power on");
    if (faults_.stuckBusy == StuckBusy::AfterReset)
        stickBusy();
    else
        becomeBusy(clock_.now() + config_.timing.powerOnBusy, Next::ResetDone);
}

void AtaDrive::hardwareReset()
{
    catchUp();
    cutShort("hardware reset");
    control_ = 0;
    intrq_ = false;
    ++resets_;
    revertSettings();
    note("hardware reset");
    if (faults_.stuckBusy == StuckBusy::AfterReset)
        stickBusy();
    else
        becomeBusy(clock_.now() + config_.timing.resetBusy, Next::ResetDone);
}

// ---------------------------------------------------------------- the operator

void AtaDrive::insertMedium(DiskImage& image, bool writeProtected)
{
    medium_ = &image;
    writeProtected_ = writeProtected;
    mediaChanged_ = true;
    spunDown_ = false;
    stream_.valid = false;
    note("cartridge inserted (" + std::to_string(image.sectorCount()) + " sectors" +
         (writeProtected ? ", write protected)" : ")"));
}

void AtaDrive::insertMedium(std::unique_ptr<DiskImage> image, bool writeProtected)
{
    ownedMedia_.push_back(std::move(image));
    insertMedium(*ownedMedia_.back(), writeProtected);
}

void AtaDrive::removeMedium()
{
    medium_ = nullptr;
    changeRequested_ = false;
    stream_.valid = false;
    note("cartridge taken out");
}

void AtaDrive::pressEjectButton()
{
    note("eject button pressed");
    if (!config_.removable || !medium_) return;
    if (!buttonEnabled_) {
        note("eject button disabled");
        return;
    }
    if (msnEnabled_ || doorLocked_) {
        changeRequested_ = true;
        return;
    }
    medium_ = nullptr;
    stream_.valid = false;
    ++ejects_;
    note("cartridge ejected by the button");
}

}  // namespace sim
