// Real-time clock and clock image: the hardware clock is read once and then
// kept in software from the 100 us time base; writes go to the hardware
// clock. UTC is kept beside local time and the two follow each other through
// the time-zone and daylight-saving words.
#include "core/image/rtc.h"

#include <cstring>
#include <ctime>

#include "core/image/syshook.h"
#include "core/image/plcreg.h"
#include "core/image/timebase.h"
#include "platform/plat.h"

uint8_t UtcUpdated, RtcUpdated, DstUpdated, NTP_UserModifiedTime;
int16_t timezoneValue;
uint8_t timezoneAdvance, timezoneModField, dstActive;
uint32_t LastTickRTC, LastTickUTC;
std::array<uint16_t, 7> RTCTime;

namespace {

constexpr uint32_t kSecondTicks = 10000;  // one second of the 100 us time base
constexpr uint32_t kUtcByte = 2 * W_UTC;  // 108,582

// Days per month, common and leap years.
constexpr std::array<std::array<uint8_t, 12>, 2> kMonthDays = {{
    {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31},
    {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31},
}};
// Day-of-week offsets per month.
constexpr std::array<uint8_t, 12> kDowOffset = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};

bool rtc_open;

uint32_t DaysIn(int32_t month, int32_t year, bool leap) {
    if (month < 1 || month > 12) return 31;
    (void)year;
    return kMonthDays[leap ? 1 : 0][size_t(month - 1)];
}

// February of the software clock has its extra day in years divisible by 4.
bool Leap4(int32_t year) { return (year & 3) == 0; }

int32_t FloorDiv(int32_t a, int32_t b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }

// Adds offset minutes to a record (second, minute, hour, day, month, year),
// carrying into hours, days, months and years.
void ShiftMinutes(uint16_t *r, int32_t offset) {
    int32_t minute = int32_t(r[1]) + offset;
    int32_t hour = int32_t(r[2]) + FloorDiv(minute, 60);
    minute -= 60 * FloorDiv(minute, 60);
    int32_t day = int32_t(r[3]) + FloorDiv(hour, 24);
    hour -= 24 * FloorDiv(hour, 24);
    int32_t month = r[4];
    int32_t year = r[5];
    if (month < 1 || month > 12) month = month < 1 ? 1 : 12;
    while (day < 1) {
        if (--month < 1) {
            month = 12;
            year--;
        }
        day += int32_t(DaysIn(month, year, CheckLeap(uint32_t(year)) != 0));
    }
    while (day > int32_t(DaysIn(month, year, CheckLeap(uint32_t(year)) != 0))) {
        day -= int32_t(DaysIn(month, year, CheckLeap(uint32_t(year)) != 0));
        if (++month > 12) {
            month = 1;
            year++;
        }
    }
    r[1] = uint16_t(minute);
    r[2] = uint16_t(hour);
    r[3] = uint16_t(day);
    r[4] = uint16_t(month);
    r[5] = uint16_t(year);
}

// One second forward with the carries of the record; leap(year) decides
// February's extra day.
template <typename LeapFn>
void AddSecond(uint16_t *r, LeapFn leap) {
    if (++r[0] < 60) return;
    r[0] = 0;
    if (++r[1] < 60) return;
    r[1] = 0;
    if (++r[2] < 24) return;
    r[2] = 0;
    if (++r[3] <= DaysIn(r[4], r[5], leap(r[5]))) return;
    r[3] = 1;
    if (++r[4] <= 12) return;
    r[4] = 1;
    r[5]++;
}

uint32_t CheckLimits(const uint16_t *r, bool leap, uint32_t max_year) {
    if (r[0] > 59 || r[1] > 59 || r[2] > 23 || r[4] < 1 || r[4] > 12) return 0;
    if (r[3] < 1 || r[3] > DaysIn(r[4], r[5], leap)) return 0;
    return (r[5] >= 1 && r[5] <= max_year) ? 1 : 0;
}

uint32_t DaysBeforeMonth(uint32_t month, bool leap) {
    uint32_t d = 0;
    for (uint32_t m = 1; m < month && m <= 12; m++) d += kMonthDays[leap ? 1 : 0][m - 1];
    return d;
}

uint32_t DaylightOn() { return (PlcWord(W_DST) & 0xFF) != 0 ? 1 : 0; }

// The system time follows a set clock only while no command is running.
bool Rtc_CommandIdle() { return SysHook_CommandIdle(); }

}  // namespace

// ---- checks and calendar ---------------------------------------------------------
uint32_t CheckLeap(uint32_t year) { return ((year % 4 == 0 && year % 100 != 0) || year % 400 == 0) ? 1 : 0; }

uint32_t RtcCheck(const uint16_t *r) { return CheckLimits(r, Leap4(r[5]), 2099); }

uint32_t UtcCheck(const uint16_t *r, uint32_t leap) { return CheckLimits(r, leap != 0, 2036); }

uint32_t DayOfWeek(uint32_t year, uint32_t month, uint32_t day) {
    if (month < 1 || month > 12) return 0;
    const uint32_t y = month < 3 ? year - 1 : year;
    return (y + y / 4 - y / 100 + y / 400 + kDowOffset[month - 1] + day) % 7;
}

// ---- the hardware clock and the software clock --------------------------------------
uint32_t RTCOpen() {
    struct tm t {};
    if (PLAT_RtcGet(&t) != 0) {
        rtc_open = false;
        return 0;
    }
    RTCTime[0] = uint16_t(t.tm_sec);
    RTCTime[1] = uint16_t(t.tm_min);
    RTCTime[2] = uint16_t(t.tm_hour);
    RTCTime[3] = uint16_t(t.tm_mday);
    RTCTime[4] = uint16_t(t.tm_mon + 1);
    RTCTime[5] = uint16_t(t.tm_year > 95 ? 1900 + t.tm_year : 1996);
    LastTickRTC = FPGA_GetFrt();
    rtc_open = true;
    return 1;
}

uint32_t RTCRead(uint16_t *rec) {
    if (!rtc_open && !RTCOpen()) return 0;
    const uint32_t now = FPGA_GetFrt();
    if (now - LastTickRTC >= kSecondTicks) {
        // At most one second per call: a clock that fell behind catches up.
        LastTickRTC += kSecondTicks;
        AddSecond(RTCTime.data(), [](uint16_t y) { return Leap4(y); });
    }
    DstUpdate(RTCTime.data());
    std::memcpy(rec, RTCTime.data(), sizeof RTCTime);
    return 1;
}

uint32_t RtcGet(uint16_t *rec) {
    const uint32_t ok = RTCRead(rec);
    if (ok && RtcCheck(rec)) rec[6] = uint16_t(DayOfWeek(rec[5], rec[4], rec[3]) + 1);
    return ok;
}

bool RtcSet(const uint16_t *rec) {
    if (!RtcCheck(rec)) return false;
    struct tm t {};
    t.tm_sec = rec[0];
    t.tm_min = rec[1];
    t.tm_hour = rec[2];
    t.tm_mday = rec[3];
    t.tm_mon = rec[4] - 1;
    t.tm_year = rec[5] - 1900;
    if (PLAT_RtcSet(&t) != 0) return false;
    if (!rtc_open) {
        // Keep the second phase of the time base from now on.
        LastTickRTC = FPGA_GetFrt();
        rtc_open = true;
    }
    std::memcpy(RTCTime.data(), rec, sizeof RTCTime);
    PlcWordSet(W_FAULT, PlcWord(W_FAULT) & uint16_t(~FAULT_CLOCK));
    if (!UtcUpdated && !DstUpdated) RtcUpdated = 1;
    NTP_UserModifiedTime = 1;
    return true;
}

bool RtcTimeSet(const uint16_t *smh) {
    uint16_t r[7];
    if (!RtcGet(r)) return false;
    r[0] = smh[0];
    r[1] = smh[1];
    r[2] = smh[2];
    return RtcSet(r);
}

bool RtcDateSet(const uint16_t *dmy) {
    uint16_t r[7];
    if (!RtcGet(r)) return false;
    r[3] = dmy[0];
    r[4] = dmy[1];
    r[5] = dmy[2];
    return RtcSet(r);
}

// ---- daylight saving and the conversions ----------------------------------------------
void DstUpdate(uint16_t *clock) {
    const bool on = DaylightOn() != 0;
    if (on == (dstActive != 0)) return;
    uint16_t copy[7];
    std::memcpy(copy, clock, sizeof copy);
    DstUpdated = 1;
    SyncRtcWithUtc(clock, copy, on ? 60 : -60, 0);
    DstUpdated = 0;
    dstActive = on ? 1 : 0;
}

void SyncUtcWithRtc(const uint16_t *clock, uint16_t *utc, int32_t zone, uint32_t daylight) {
    uint16_t r[6];
    std::memcpy(r, clock, sizeof r);
    ShiftMinutes(r, -zone - (daylight ? 60 : 0));
    std::memcpy(utc, r, sizeof r);
    LastTickUTC = LastTickRTC;
}

void SyncRtcWithUtc(uint16_t *clock, const uint16_t *utc, int32_t zone, uint32_t daylight) {
    uint16_t r[7];
    std::memcpy(r, utc, 6 * sizeof(uint16_t));
    ShiftMinutes(r, zone + (daylight ? 60 : 0));
    r[6] = uint16_t(DayOfWeek(r[5], r[4], r[3]) + 1);
    std::memcpy(clock, r, sizeof r);
    RtcSet(r);
    LastTickRTC = LastTickUTC;
}

// ---- UTC --------------------------------------------------------------------------------
uint32_t UtcGet(const uint16_t *u, UtcTime *out) {
    if (u == nullptr || out == nullptr) return 0;
    const uint32_t year = u[5];
    if (year < 1970) {
        *out = {0, 0};
        return 0;
    }
    const uint32_t leaps = (year - 1) / 4 - (year - 1) / 100 + (year - 1) / 400 - 477;
    const uint32_t days =
        (year - 1970 - leaps) * 365 + leaps * 366 + DaysBeforeMonth(u[4], CheckLeap(year) != 0) + u[3] - 1;
    const uint32_t seconds = days * 86400u + u[2] * 3600u + u[1] * 60u + u[0];
    *out = {seconds, 0};
    return seconds;
}

uint32_t UtcSet(const UtcTime *in, uint16_t *u) {
    if (in == nullptr || u == nullptr) return 0;
    const uint64_t total = uint64_t(in->seconds) + in->milliseconds / 1000;
    uint64_t days = total / 86400;
    const uint32_t rest = uint32_t(total % 86400);
    // Blocks of four years (1461 days) from 1970; 1972 is the leap year of the first.
    uint32_t year = 1970 + 4 * uint32_t(days / 1461);
    days %= 1461;
    for (;;) {
        const uint32_t len = CheckLeap(year) ? 366 : 365;
        if (days < len) break;
        days -= len;
        year++;
    }
    const bool leap = CheckLeap(year) != 0;
    uint32_t month = 1;
    while (month < 12 && days >= kMonthDays[leap ? 1 : 0][month - 1]) {
        days -= kMonthDays[leap ? 1 : 0][month - 1];
        month++;
    }
    uint16_t r[6];
    r[0] = uint16_t(rest % 60);
    r[1] = uint16_t(rest / 60 % 60);
    r[2] = uint16_t(rest / 3600);
    r[3] = uint16_t(days + 1);
    r[4] = uint16_t(month);
    r[5] = uint16_t(year > 0xFFFF ? 0xFFFF : year);
    if (!UtcCheck(r, leap)) return 0;
    std::memcpy(u, r, sizeof r);
    UtcUpdated = 1;
    return 1;
}

uint32_t UtcUpdate(uint16_t *out) {
    uint16_t u[6];
    Utc_ImageGet(u);
    if (FPGA_GetFrt() - LastTickUTC >= kSecondTicks) {
        LastTickUTC += kSecondTicks;
        AddSecond(u, [](uint16_t y) { return CheckLeap(y) != 0; });
        Utc_ImagePut(u);
    }
    if (out != nullptr) std::memcpy(out, u, sizeof u);
    return 1;
}

// ---- the records of the register image ---------------------------------------------------
void Rtc_ImageGet(uint16_t *clock) {
    for (unsigned i = 0; i < 7; i++) clock[i] = PlcWord(W_CLOCK + i);
}
void Rtc_ImagePut(const uint16_t *clock) {
    for (unsigned i = 0; i < 7; i++) PlcWordSet(W_CLOCK + i, clock[i]);
}
void Utc_ImageGet(uint16_t *utc) {
    for (unsigned i = 0; i < 6; i++) utc[i] = LE_Get16(&plc_reg[kUtcByte + 2 * i]);
}
void Utc_ImagePut(const uint16_t *utc) {
    for (unsigned i = 0; i < 6; i++) LE_Put16(&plc_reg[kUtcByte + 2 * i], utc[i]);
}

void RtcImage_SyncUtc() {
    uint16_t clock[7], utc[6];
    Rtc_ImageGet(clock);
    SyncUtcWithRtc(clock, utc, int16_t(PlcWord(W_TZ)), DaylightOn());
    Utc_ImagePut(utc);
}

namespace {
// The clock record as the last scan left it, and the kept time it came from.
std::array<uint16_t, 7> scan_record, scan_time;
bool scan_left;

// The record brought up to date (out of line: most scans compare only).
[[gnu::noinline]] void ScanUpdateRecord(int16_t zone) {
    uint16_t clock[7];
    Rtc_ImageGet(clock);
    if (RtcGet(clock)) Rtc_ImagePut(clock);
    UtcUpdate(nullptr);
    if (zone != timezoneValue) {
        timezoneValue = zone;
        timezoneAdvance = timezoneModField = (PlcWord(W_TZ) & 0x8000) ? 0 : 1;
        UtcUpdated = 1;
    }
    if (UtcUpdated) {
        uint16_t utc[6];
        Utc_ImageGet(utc);
        Rtc_ImageGet(clock);
        SyncRtcWithUtc(clock, utc, zone, DaylightOn());
        Rtc_ImagePut(clock);
        UtcUpdated = 0;
    }
    if (RtcUpdated) {
        uint16_t utc[6];
        Rtc_ImageGet(clock);
        Utc_ImageGet(utc);
        SyncUtcWithRtc(clock, utc, zone, DaylightOn());
        Utc_ImagePut(utc);
        RtcUpdated = 0;
        if (NTP_UserModifiedTime && Rtc_CommandIdle()) {
            // A record outside the UTC range (a clock reset to 1900) is not
            // handed to the system.
            UtcTime t{};
            if (UtcCheck(utc, CheckLeap(utc[5])) && UtcGet(utc, &t) != 0) PLAT_SetSystemTime(int64_t(t.seconds));
            NTP_UserModifiedTime = 0;
        }
    }
    Rtc_ImageGet(scan_record.data());
    scan_time = RTCTime;
    scan_left = true;
}
}  // namespace

void Rtc_ScanUpdate() {
    const int16_t zone = int16_t(PlcWord(W_TZ));
    // Within the second, with nothing set and no zone or daylight change, a
    // scan finds the record as the last one left it: a few comparisons.
    if (scan_left && rtc_open && !UtcUpdated && !RtcUpdated && zone == timezoneValue &&
        (DaylightOn() != 0) == (dstActive != 0) && RTCTime == scan_time) {
        const uint32_t now = FPGA_GetFrt();
        bool same = now - LastTickRTC < kSecondTicks && now - LastTickUTC < kSecondTicks;
        for (unsigned i = 0; i < 7 && same; i++) same = PlcWord(W_CLOCK + i) == scan_record[i];
        if (same) return;
    }
    ScanUpdateRecord(zone);
}
