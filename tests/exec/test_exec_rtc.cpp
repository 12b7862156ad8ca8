// Real-time clock, UTC record, time zone and daylight saving, against the C
// library's timegm/gmtime_r as an independent calendar.
#include <gtest/gtest.h>

#include <cstring>
#include <ctime>

#include "cmd/cmd.h"
#include "core/image/plcreg.h"
#include "core/image/rtc.h"
#include "core/image/timebase.h"
#include "core/image/bytes.h"
#include "net/svc.h"
#include "test_exec_support.h"

namespace {

using exec_test::FakeClock;

struct Rec {
    uint16_t s, m, h, d, mo, y, dow;
};

uint32_t Seconds(uint16_t y, uint16_t mo, uint16_t d, uint16_t h = 0, uint16_t m = 0, uint16_t s = 0) {
    const uint16_t u[6] = {s, m, h, d, mo, y};
    UtcTime t{};
    return UtcGet(u, &t);
}

class ExecRtc : public ::testing::Test {
protected:
    void SetUp() override {
        exec_test::Root();
        plc_reg.fill(0);
        UtcUpdated = RtcUpdated = DstUpdated = NTP_UserModifiedTime = 0;
        dstActive = 0;
        RTCOpen();  // the clock read again from the stand-in
    }
};

TEST_F(ExecRtc, UtcGetKnownPoints) {
    EXPECT_EQ(Seconds(1970, 1, 1), 0u);
    EXPECT_EQ(Seconds(2000, 1, 1), 946684800u);
    EXPECT_EQ(Seconds(1970, 1, 1, 0, 0, 59), 59u);
    UtcTime t{1, 1};
    EXPECT_EQ(UtcGet(nullptr, &t), 0u);
}

TEST_F(ExecRtc, EveryDayRoundTripAgainstTimegm) {
    for (int y = 1970; y <= 2036; y++) {
        for (int mo = 1; mo <= 12; mo++) {
            for (int d = 1; d <= 31; d++) {
                struct tm tm {};
                tm.tm_year = y - 1900;
                tm.tm_mon = mo - 1;
                tm.tm_mday = d;
                tm.tm_hour = (d * 7) % 24;
                tm.tm_min = (d * 13) % 60;
                tm.tm_sec = (d * 17) % 60;
                const time_t want = timegm(&tm);
                if (tm.tm_mon != mo - 1) continue;  // not a day of this month
                const uint16_t u[6] = {uint16_t(tm.tm_sec), uint16_t(tm.tm_min), uint16_t(tm.tm_hour),
                                       uint16_t(d),         uint16_t(mo),        uint16_t(y)};
                UtcTime t{};
                ASSERT_EQ(UtcGet(u, &t), uint32_t(want)) << y << "-" << mo << "-" << d;
                uint16_t back[6] = {};
                UtcUpdated = 0;
                ASSERT_EQ(UtcSet(&t, back), 1u) << y << "-" << mo << "-" << d;
                ASSERT_EQ(std::memcmp(back, u, sizeof u), 0) << y << "-" << mo << "-" << d;
                EXPECT_EQ(UtcUpdated, 1);
                // Day of week (1 = Sunday) as the calendar says.
                ASSERT_EQ(DayOfWeek(uint32_t(y), uint32_t(mo), uint32_t(d)), uint32_t(tm.tm_wday));
            }
        }
    }
}

TEST_F(ExecRtc, UtcSetCarriesMillisecondsAndRefusesPastRange) {
    uint16_t u[6] = {};
    const UtcTime t{946684799, 1500};
    ASSERT_EQ(UtcSet(&t, u), 1u);
    const uint16_t want[6] = {0, 0, 0, 1, 1, 2000};
    EXPECT_EQ(std::memcmp(u, want, sizeof u), 0);
    const uint16_t keep[6] = {1, 2, 3, 4, 5, 2006};
    std::memcpy(u, keep, sizeof u);
    const UtcTime late{Seconds(2036, 12, 31, 23, 59, 59) + 1, 0};
    EXPECT_EQ(UtcSet(&late, u), 0u) << "2037 is past the UTC range";
    EXPECT_EQ(std::memcmp(u, keep, sizeof u), 0) << "a refused set writes nothing";
    const UtcTime max{0xFFFFFFFFu, 999999};
    EXPECT_EQ(UtcSet(&max, u), 0u);
}

// Network time the UTC words cannot hold (2037, past their range) is refused
// and leaves the words as they were; a time within the range is written.
TEST_F(ExecRtc, NetworkTimePastTheRangeLeavesTheUtcWordsAlone) {
    ASSERT_NE(NetSvc_Hooks.utc_from_system, nullptr);
    const uint16_t keep[6] = {1, 2, 3, 4, 5, 2006};
    for (unsigned i = 0; i < 6; i++) LE_Put16(&plc_reg[2 * (W_UTC + i)], keep[i]);
    NetSvc_Hooks.utc_from_system(2114380800u, 0);  // 2037-01-01 00:00:00
    for (unsigned i = 0; i < 6; i++) EXPECT_EQ(PlcWord(W_UTC + i), keep[i]) << "word " << i;
    NetSvc_Hooks.utc_from_system(2087901296u, 250);  // 2036-02-29 12:34:56
    const uint16_t want[6] = {56, 34, 12, 29, 2, 2036};
    for (unsigned i = 0; i < 6; i++) EXPECT_EQ(PlcWord(W_UTC + i), want[i]) << "word " << i;
}

TEST_F(ExecRtc, ChecksRefuseImpossibleDates) {
    const uint16_t april31[7] = {0, 0, 12, 31, 4, 2024, 1};
    const uint16_t feb29_2023[7] = {0, 0, 12, 29, 2, 2023, 1};
    const uint16_t feb29_2024[7] = {0, 0, 12, 29, 2, 2024, 1};
    const uint16_t y2100[7] = {0, 0, 0, 1, 1, 2100, 1};
    const uint16_t y2099[7] = {59, 59, 23, 31, 12, 2099, 1};
    const uint16_t bad_hour[7] = {0, 0, 24, 1, 1, 2024, 1};
    EXPECT_EQ(RtcCheck(april31), 0u);
    EXPECT_EQ(RtcCheck(feb29_2023), 0u);
    EXPECT_EQ(RtcCheck(feb29_2024), 1u);
    EXPECT_EQ(RtcCheck(y2100), 0u);
    EXPECT_EQ(RtcCheck(y2099), 1u);
    EXPECT_EQ(RtcCheck(bad_hour), 0u);
    EXPECT_EQ(UtcCheck(y2099, 0), 0u) << "UTC ends with 2036";
    EXPECT_EQ(UtcCheck(feb29_2024, 0), 0u);
    EXPECT_EQ(UtcCheck(feb29_2024, 1), 1u);

    // Refused sets change nothing.
    uint16_t before[7] = {}, after[7] = {};
    ASSERT_EQ(RtcGet(before), 1u);
    PlcWordSet(W_FAULT, FAULT_CLOCK);
    EXPECT_FALSE(RtcSet(april31));
    EXPECT_FALSE(RtcSet(y2100));
    EXPECT_EQ(PlcWord(W_FAULT), FAULT_CLOCK);
    EXPECT_EQ(RtcUpdated, 0);
    ASSERT_EQ(RtcGet(after), 1u);
    EXPECT_EQ(after[5], before[5]);
}

TEST_F(ExecRtc, SetKeepsTimeAndClearsClockFault) {
    FakeClock clock;
    const uint16_t rec[7] = {58, 59, 23, 31, 12, 2023, 1};
    PlcWordSet(W_FAULT, FAULT_CLOCK);
    ASSERT_TRUE(RtcSet(rec));
    EXPECT_EQ(PlcWord(W_FAULT) & FAULT_CLOCK, 0);
    EXPECT_EQ(RtcUpdated, 1);
    EXPECT_EQ(NTP_UserModifiedTime, 1);
    uint16_t r[7];
    RtcGet(r);
    EXPECT_EQ(r[0], 58);
    EXPECT_EQ(r[6], 1) << "31 Dec 2023 was a Sunday";
    // The software clock advances one second per 10000 ticks, at most one
    // per read, carrying into the new year.
    FakeClock::Advance(10000);
    RtcGet(r);
    EXPECT_EQ(r[0], 59);
    FakeClock::Advance(30000);
    RtcGet(r);
    const uint16_t ny[6] = {0, 0, 0, 1, 1, 2024};
    EXPECT_EQ(std::memcmp(r, ny, sizeof ny), 0);
    RtcGet(r);
    EXPECT_EQ(r[0], 1) << "a clock that fell behind catches up one second per read";
    RtcGet(r);
    EXPECT_EQ(r[0], 2);
    RtcGet(r);
    EXPECT_EQ(r[0], 2);
}

TEST_F(ExecRtc, LocalToUtcAcrossMonthAndYear) {
    FakeClock clock;
    for (uint16_t year : {2023, 2024, 1972, 2000}) {
        const bool leap = CheckLeap(year) != 0;
        const uint16_t local[7] = {0, 30, 0, 1, 3, year, 1};
        uint16_t utc[6] = {};
        SyncUtcWithRtc(local, utc, 60, 0);
        const uint16_t want[6] = {0, 30, 23, uint16_t(leap ? 29 : 28), 2, year};
        EXPECT_EQ(std::memcmp(utc, want, sizeof want), 0) << year;
    }
    const uint16_t jan1[7] = {0, 10, 0, 1, 1, 2024, 2};
    uint16_t utc[6] = {};
    SyncUtcWithRtc(jan1, utc, 60, 0);
    const uint16_t dec31[6] = {0, 10, 23, 31, 12, 2023};
    EXPECT_EQ(std::memcmp(utc, dec31, sizeof dec31), 0);
    // Daylight saving takes one more hour; a negative zone goes forward.
    SyncUtcWithRtc(jan1, utc, 60, 1);
    EXPECT_EQ(utc[2], 22);
    const uint16_t dec31_late[7] = {0, 0, 22, 31, 12, 2023, 1};
    SyncUtcWithRtc(dec31_late, utc, -300, 0);
    const uint16_t next[6] = {0, 0, 3, 1, 1, 2024};
    EXPECT_EQ(std::memcmp(utc, next, sizeof next), 0);
    // And back: UTC to local.
    uint16_t local[7] = {};
    SyncRtcWithUtc(local, next, -300, 0);
    EXPECT_EQ(std::memcmp(local, dec31_late, 6 * sizeof(uint16_t)), 0);
    EXPECT_EQ(local[6], 1) << "Sunday";
}

TEST_F(ExecRtc, DaylightSavingMovesOneHourOnce) {
    FakeClock clock;
    const uint16_t rec[7] = {0, 0, 10, 15, 6, 2024, 1};
    ASSERT_TRUE(RtcSet(rec));
    uint16_t r[7];
    RtcGet(r);
    EXPECT_EQ(r[2], 10);
    RtcUpdated = 0;
    PlcWordSet(W_DST, 1);
    RtcGet(r);
    EXPECT_EQ(r[2], 11) << "one hour forward";
    EXPECT_EQ(dstActive, 1);
    RtcGet(r);
    RtcGet(r);
    EXPECT_EQ(r[2], 11) << "only once";
    EXPECT_EQ(RtcUpdated, 0) << "the step does not ask UTC to follow";
    PlcWordSet(W_DST, 0);
    RtcGet(r);
    EXPECT_EQ(r[2], 10) << "back when switched off";
    RtcGet(r);
    EXPECT_EQ(r[2], 10);
    EXPECT_EQ(dstActive, 0);
}

TEST_F(ExecRtc, ScanKeepsUtcAndLocalInStep) {
    FakeClock clock;
    PlcWordSet(W_TZ, 120);
    timezoneValue = 120;
    CmdRun = CMD_IDLE;
    const uint16_t rec[7] = {0, 0, 12, 10, 3, 2024, 1};
    ASSERT_TRUE(RtcSet(rec));  // marks RtcUpdated: UTC follows at the scan
    Rtc_ScanUpdate();
    EXPECT_EQ(PlcWord(W_CLOCK + 2), 12);
    EXPECT_EQ(LE_Get16(&plc_reg[2 * W_UTC + 4]), 10) << "UTC hour = local - 2 h";
    EXPECT_EQ(RtcUpdated, 0);
    EXPECT_EQ(NTP_UserModifiedTime, 0) << "handed to the system time";
    // While a command runs, the system time waits.
    CmdRun = 5;
    ASSERT_TRUE(RtcSet(rec));
    Rtc_ScanUpdate();
    EXPECT_EQ(NTP_UserModifiedTime, 1);
    CmdRun = CMD_IDLE;
    Rtc_ScanUpdate();
    EXPECT_EQ(NTP_UserModifiedTime, 1) << "handed over only with a local-time change";
    NTP_UserModifiedTime = 0;
    // A new time zone moves local time, UTC stays.
    PlcWordSet(W_TZ, uint16_t(int16_t(-60)));
    Rtc_ScanUpdate();
    EXPECT_EQ(PlcWord(W_CLOCK + 2), 9);
    EXPECT_EQ(LE_Get16(&plc_reg[2 * W_UTC + 4]), 10);
    EXPECT_EQ(timezoneAdvance, 0);
    // UTC keeps time on its own: one second per 10000 ticks.
    const uint16_t sec = LE_Get16(&plc_reg[2 * W_UTC]);
    FakeClock::Advance(10000);
    Rtc_ScanUpdate();
    EXPECT_EQ(LE_Get16(&plc_reg[2 * W_UTC]), uint16_t(sec + 1));
    // Local time ticks with it (9:00:01), and a clock record written over in
    // the image is put back from the kept time by the next scan.
    const uint16_t ticked[3] = {1, 0, 9};
    for (unsigned i = 0; i < 3; i++) EXPECT_EQ(PlcWord(W_CLOCK + i), ticked[i]) << i;
    PlcWordSet(W_CLOCK + 1, 33);
    Rtc_ScanUpdate();
    for (unsigned i = 0; i < 3; i++) EXPECT_EQ(PlcWord(W_CLOCK + i), ticked[i]) << i;
}

}  // namespace
