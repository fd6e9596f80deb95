#include "sim/chips/rtc.h"

#include <cstdio>

namespace sim {

namespace {
bool isTimeRegister(uint8_t index) { return index <= 9 && index != 1 && index != 3 && index != 5; }
}  // namespace

Rtc::Rtc(const Clock* clock) : ChipModel(nullptr, ChipFault::None), clock_(clock)
{
    const uint8_t time[10] = {0x30, 0x00, 0x15, 0x00, 0x12, 0x00, 0x07, 0x15, 0x06, 0x26};
    for (int i = 0; i < 10; ++i) cmos_[i] = time[i];
    cmos_[kRegA] = 0x26;
    cmos_[kRegB] = 0x02;
    cmos_[0x0C] = 0x00;
    cmos_[0x0D] = 0x80;
    for (int i = 0x0E; i < 128; ++i) cmos_[i] = static_cast<uint8_t>(i * 7 + 3);
    for (int i = 0; i < 10; ++i) freeRunning_[i] = cmos_[i];
    powerOn();
}

bool Rtc::decodes(uint16_t port) const
{
    return port == kIndexPort || port == kDataPort || (mirror_ && port == kMirrorPort);
}

bool Rtc::running() const
{
    return clock_ && (cmos_[kRegA] & 0x70) == 0x20 && !(cmos_[kRegB] & kSet);
}

bool Rtc::updateInProgress() const
{
    if (!running()) return false;
    Nanoseconds now = clock_->now();
    return now + kUipLead >= nextUpdate_ && now < nextUpdate_ + kUpdateCycle;
}

// Applies every update cycle that has ended by now. While the clock is
// stopped the updates are skipped, not saved up.
void Rtc::catchUp()
{
    if (!clock_) return;
    Nanoseconds now = clock_->now();
    while (now >= nextUpdate_ + kUpdateCycle) {
        if (running()) {
            update(cmos_.data());
            update(freeRunning_.data());
        }
        nextUpdate_ += kSecond;
    }
}

int Rtc::decode(uint8_t value) const
{
    if (cmos_[kRegB] & 0x04) return value;
    return (value >> 4) * 10 + (value & 0x0F);
}

uint8_t Rtc::encode(int value) const
{
    if (cmos_[kRegB] & 0x04) return static_cast<uint8_t>(value);
    return static_cast<uint8_t>(((value / 10) << 4) | (value % 10));
}

void Rtc::update(uint8_t* time) const
{
    int second = decode(time[0]) + 1;
    if (second < 60) {
        time[0] = encode(second);
        return;
    }
    time[0] = encode(0);
    int minute = decode(time[2]) + 1;
    if (minute < 60) {
        time[2] = encode(minute);
        return;
    }
    time[2] = encode(0);
    bool twentyFour = (cmos_[kRegB] & 0x02) != 0;
    int hour;
    if (twentyFour) {
        hour = decode(time[4]);
    } else {
        int h12 = decode(time[4] & 0x7F) % 12;
        hour = h12 + ((time[4] & 0x80) ? 12 : 0);
    }
    hour = (hour + 1) % 24;
    if (twentyFour) {
        time[4] = encode(hour);
    } else {
        int h12 = hour % 12 == 0 ? 12 : hour % 12;
        time[4] = static_cast<uint8_t>(encode(h12) | (hour >= 12 ? 0x80 : 0x00));
    }
    if (hour != 0) return;
    time[6] = encode(decode(time[6]) % 7 + 1);
    static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    int year = decode(time[9]);
    int month = decode(time[8]);
    int days = (month >= 1 && month <= 12) ? kDays[month - 1] : 31;
    if (month == 2 && year % 4 == 0) days = 29;
    int date = decode(time[7]) + 1;
    if (date <= days) {
        time[7] = encode(date);
        return;
    }
    time[7] = encode(1);
    if (month < 12) {
        time[8] = encode(month + 1);
        return;
    }
    time[8] = encode(1);
    time[9] = encode((year + 1) % 100);
}

uint8_t Rtc::readRegister(uint8_t index)
{
    index &= 0x7F;
    catchUp();
    if (index == kRegA) return static_cast<uint8_t>(cmos_[kRegA] | (updateInProgress() ? kUip : 0));
    return cmos_[index];
}

uint8_t Rtc::read8(uint16_t port)
{
    if (port == kIndexPort) return 0xFF;
    return readRegister(index_);
}

void Rtc::write8(uint16_t port, uint8_t value)
{
    if (port == kIndexPort) {
        index_ = value & 0x7F;
        nmiMasked_ = (value & 0x80) != 0;
        return;
    }
    writeRegister(index_, value);
}

void Rtc::writeRegister(uint8_t index, uint8_t value)
{
    index &= 0x7F;
    if (index == 0x0C || index == 0x0D) return;
    catchUp();
    noteWrite();
    if (index == kRegA) value &= static_cast<uint8_t>(~kUip);
    if (isTimeRegister(index) && value != cmos_[index]) ++timeChanges_;
    cmos_[index] = value;
}

ChipModel::RegisterMap Rtc::registers() const
{
    RegisterMap map;
    char text[12];
    for (size_t i = 0; i < cmos_.size(); ++i) {
        if (clock_ && isTimeRegister(static_cast<uint8_t>(i))) continue;
        std::snprintf(text, sizeof text, "CMOS%02zX", i);
        map[text] = cmos_[i];
    }
    if (clock_) {
        uint32_t differing = 0;
        for (uint8_t i = 0; i < 10; ++i)
            if (isTimeRegister(i) && cmos_[i] != freeRunning_[i]) ++differing;
        map["time-set"] = differing;
    }
    map["nmi-masked"] = nmiMasked_;
    return map;
}

}  // namespace sim
