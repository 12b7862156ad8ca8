// Real-time clock, UTC record, time zone and daylight saving.
// Clock records are seven words: second, minute, hour, day, month, year,
// day of week (from 1).
#pragma once

#include <cstdint>

extern uint8_t UtcUpdated, RtcUpdated, DstUpdated, NTP_UserModifiedTime;
extern int16_t timezoneValue;
extern uint8_t timezoneAdvance, timezoneModField, dstActive;

uint32_t RtcGet(uint16_t *rec);
uint32_t RtcSet(const uint16_t *rec);
uint32_t RtcTimeSet(const uint16_t *sec_min_hour);
uint32_t RtcDateSet(const uint16_t *day_month_year);
uint32_t RtcCheck(const uint16_t *rec);
// Brings the UTC record of the image (byte 108,582) into step with the clock
// image (words 171..177) under the time-zone and daylight-saving words.
void RtcImage_SyncUtc();
