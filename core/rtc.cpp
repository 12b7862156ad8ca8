// Real-time clock on the platform's clock seam.
// placeholder until the clock, UTC and time-zone module lands: only the
// reading, checking and setting of the clock.
#include "core/rtc.h"

#include <ctime>

#include "core/plcreg.h"
#include "platform/plat.h"

uint8_t UtcUpdated, RtcUpdated, DstUpdated, NTP_UserModifiedTime;
int16_t timezoneValue;
uint8_t timezoneAdvance, timezoneModField, dstActive;

uint32_t RtcCheck(const uint16_t *r) {
    static constexpr uint8_t kDays[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (r[0] > 59 || r[1] > 59 || r[2] > 23 || r[4] < 1 || r[4] > 12) return 0;
    uint32_t dim = kDays[r[4] - 1];
    if (r[4] == 2 && (r[5] & 3) != 0) dim = 28;
    return (r[3] >= 1 && r[3] <= dim && r[5] >= 1 && r[5] <= 2099) ? 1 : 0;
}

uint32_t RtcGet(uint16_t *r) {
    struct tm t {};
    if (PLAT_RtcGet(&t) != 0) return 0;
    r[0] = uint16_t(t.tm_sec);
    r[1] = uint16_t(t.tm_min);
    r[2] = uint16_t(t.tm_hour);
    r[3] = uint16_t(t.tm_mday);
    r[4] = uint16_t(t.tm_mon + 1);
    r[5] = uint16_t(t.tm_year + 1900);
    r[6] = uint16_t(t.tm_wday + 1);
    return 1;
}

uint32_t RtcSet(const uint16_t *r) {
    if (!RtcCheck(r)) return 0;
    struct tm t {};
    t.tm_sec = r[0];
    t.tm_min = r[1];
    t.tm_hour = r[2];
    t.tm_mday = r[3];
    t.tm_mon = r[4] - 1;
    t.tm_year = r[5] - 1900;
    if (PLAT_RtcSet(&t) != 0) return 0;
    PlcWordSet(W_FAULT, PlcWord(W_FAULT) & ~FAULT_CLOCK);
    if (!UtcUpdated && !DstUpdated) RtcUpdated = 1;
    NTP_UserModifiedTime = 1;
    return 1;
}

uint32_t RtcTimeSet(const uint16_t *smh) {
    uint16_t r[7];
    if (!RtcGet(r)) return 0;
    r[0] = smh[0];
    r[1] = smh[1];
    r[2] = smh[2];
    return RtcSet(r);
}

uint32_t RtcDateSet(const uint16_t *dmy) {
    uint16_t r[7];
    if (!RtcGet(r)) return 0;
    r[3] = dmy[0];
    r[4] = dmy[1];
    r[5] = dmy[2];
    return RtcSet(r);
}

void RtcImage_SyncUtc() {}
