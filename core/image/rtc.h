// Real-time clock, the clock image, the UTC record, time zone and daylight
// saving.
//
// Clock records are seven words: second, minute, hour, day, month (1..12),
// year (full), day of week (1 = Sunday .. 7). UTC records are the first six.
// The clock image of the register image is words 171..177; the UTC record is
// words 54291..54296 (byte 108,582); word 54289 is the time zone in signed
// minutes east of UTC, the low byte of word 54290 the daylight-saving switch.
#pragma once

#include <array>
#include <cstdint>

extern uint8_t UtcUpdated;            // UTC was written: local time must follow
extern uint8_t RtcUpdated;            // local time was written: UTC must follow
extern uint8_t DstUpdated;            // a daylight-saving step is being written
extern uint8_t NTP_UserModifiedTime;  // the clock was set: the system time must follow
extern int16_t timezoneValue;         // copy of word 54289 last taken by the scan
extern uint8_t timezoneAdvance, timezoneModField;
extern uint8_t dstActive;  // the daylight-saving hour is applied
extern uint32_t LastTickRTC, LastTickUTC;
extern std::array<uint16_t, 7> RTCTime;  // the software clock

// {seconds since 1970-01-01 00:00:00, milliseconds}
struct UtcTime {
    uint32_t seconds;
    uint32_t milliseconds;
};

uint32_t RTCOpen();
uint32_t RTCRead(uint16_t *rec);
uint32_t RtcGet(uint16_t *rec);
// Set the clock from {second, minute, hour, day, month, year} (or only the
// time or the date of it); true when set, false for an invalid date.
bool RtcSet(const uint16_t *rec);
bool RtcTimeSet(const uint16_t *sec_min_hour);
bool RtcDateSet(const uint16_t *day_month_year);
uint32_t RtcCheck(const uint16_t *rec);
uint32_t UtcCheck(const uint16_t *rec, uint32_t leap);
uint32_t CheckLeap(uint32_t year);
uint32_t DayOfWeek(uint32_t year, uint32_t month, uint32_t day);  // 0 = Sunday
uint32_t UtcGet(const uint16_t *utc, UtcTime *out);
uint32_t UtcSet(const UtcTime *in, uint16_t *utc);
uint32_t UtcUpdate(uint16_t *out);
void SyncUtcWithRtc(const uint16_t *clock, uint16_t *utc, int32_t zone, uint32_t daylight);
void SyncRtcWithUtc(uint16_t *clock, const uint16_t *utc, int32_t zone, uint32_t daylight);
void DstUpdate(uint16_t *clock);

// Clock image and UTC record of the register image as word arrays.
void Rtc_ImageGet(uint16_t *clock);
void Rtc_ImagePut(const uint16_t *clock);
void Utc_ImageGet(uint16_t *utc);
void Utc_ImagePut(const uint16_t *utc);
// Brings the UTC record of the image into step with the clock image under
// the time-zone and daylight-saving words (start-up).
void RtcImage_SyncUtc();
// The clock part of one scan: clock image, UTC keeping, time-zone changes
// and the hand-over between local time, UTC and the system time.
void Rtc_ScanUpdate();