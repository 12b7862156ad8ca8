// Time base, software timers, receive-character timers and the service tick
// (buttons, LED phases), driven by a stand-in clock through the time seam.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "cmd/cmd.h"
#include "core/image/plcreg.h"
#include "exec/sys.h"
#include "media/cfm.h"
#include "core/image/passwork.h"
#include "core/image/timebase.h"
#include "core/image/tx.h"
#include "platform/plat.h"
#include "tests/support/fake_clock.h"
#include "tests/support/temp_root.h"

namespace {

// A root of this file's own; the platform is pointed at it again whenever
// another test moved it elsewhere.
std::string TempRoot() {
    static char tmpl[] = "/tmp/plc-found-tim-XXXXXX";
    return test_support::KeptRoot(tmpl);
}

// The stand-in clock and its time-base offset.
using test_support::Fake;
void Advance(uint32_t ticks) { test_support::FakeClock::Advance(ticks); }

class Clocked : public ::testing::Test {
protected:
    void SetUp() override {
        TempRoot();
        clock.emplace();
        Timer_Init(&fpga_port, 100);
        FPGA_GetFrt();
    }
    void TearDown() override { clock.reset(); }
    // Puts the time base at value without moving the clock.
    static void SetFrt(uint32_t value) {
        Fake().offset = 0;
        Fake().offset = value - FPGA_GetFrt();
        FPGA_GetFrt();
    }
    std::optional<test_support::FakeClock> clock;
};

// ---- time base ------------------------------------------------------------------

TEST_F(Clocked, TimeBaseCountsTicksAndKeepsTheLastReading) {
    const uint32_t a = FPGA_GetFrt();
    Advance(1);
    EXPECT_EQ(FPGA_GetFrt() - a, 1u);
    Fake().ns += 12345;  // less than a tick
    Advance(1234);
    EXPECT_EQ(FPGA_GetFrt() - a, 1235u);
    EXPECT_EQ(fpga_port.frt, a + 1235);
    Advance(10000 * 3600);  // one hour
    EXPECT_EQ(FPGA_GetFrt() - a, 1235u + 36000000u);
    // The offset moves the count, and the count wraps modulo 2^32.
    SetFrt(0xFFFFFFF0u);
    Advance(0x20);
    EXPECT_EQ(FPGA_GetFrt(), 0x10u);
}

// Delay waits ms x 10 ticks of the time base, across its wrap: a clock that
// moves one tick per reading is read once for the start, then until 30
// ticks have passed.
TEST_F(Clocked, DelayCountsTicksOfTheTimeBase) {
    SetFrt(0xFFFFFFF0u);
    Fake().step_ns = 100000;
    const uint32_t a = FPGA_GetFrt();
    Delay(3);
    EXPECT_EQ(FPGA_GetFrt() - a, 32u);
    const uint32_t b = FPGA_GetFrt();
    Delay(0);
    EXPECT_EQ(FPGA_GetFrt() - b, 3u);
    Fake().step_ns = 0;
}

// ---- software timers ------------------------------------------------------------

TEST_F(Clocked, TimerStatusThroughItsStates) {
    EXPECT_EQ(Timer_Status(0), 1u);  // not allocated
    ASSERT_EQ(Timer_Allocate(1), 0u);
    EXPECT_EQ(Timer_Status(0), 2u);  // stopped
    ASSERT_EQ(Timer_Start(0, 1), 10u);
    EXPECT_EQ(Timer_Status(0), 3u);
    Advance(9);
    EXPECT_EQ(Timer_Status(0), 3u);
    Advance(1);
    EXPECT_EQ(Timer_Status(0), 4u);  // expired once ...
    EXPECT_EQ(Timer_Status(0), 2u);  // ... and stopped by that reading
    EXPECT_EQ(Timer_Status(8), 0u);
    EXPECT_EQ(Timer_Status(0xFFFFFFFF), 0u);

    // ms 0 keeps the period; Stop and Release.
    EXPECT_EQ(Timer_Start(0, 0), 10u);
    EXPECT_EQ(Timer_Status(0), 3u);
    Timer_Stop(0);
    EXPECT_EQ(Timer_Status(0), 2u);
    Timer_Release(0);
    EXPECT_EQ(Timer_Status(0), 1u);
    EXPECT_EQ(Timer_Start(0, 0), 0u);  // no period: not started
    EXPECT_EQ(Timer_Status(0), 1u);
    Timer_Stop(9);
    Timer_Release(9);
    EXPECT_EQ(Timer_Start(9, 5), 0u);
}

TEST_F(Clocked, TimerStartUsesTheLastReadingOfThePortRecord) {
    ASSERT_EQ(Timer_Allocate(1), 0u);
    const uint32_t before = FPGA_GetFrt();
    Advance(50);  // nobody read the time base since
    Timer_Start(0, 10);
    EXPECT_EQ(Timers[0].start, before);
    EXPECT_EQ(Timer_Status(0), 3u);
    Advance(50);
    EXPECT_EQ(Timer_Status(0), 4u);
}

TEST_F(Clocked, LongPeriodsDoNotOverflow) {
    ASSERT_EQ(Timer_Allocate(1), 0u);
    // 83 minutes: 5,000,000 ms would overflow ms x 1000 in 32 bits.
    EXPECT_EQ(Timer_Start(0, 5000000), 50000000u);
    Advance(49999999);
    EXPECT_EQ(Timer_Status(0), 3u);
    Advance(1);
    EXPECT_EQ(Timer_Status(0), 4u);
    // Beyond what 32 bits of ticks hold: the longest period.
    EXPECT_EQ(Timer_Start(0, 0xFFFFFFFF), 0xFFFFFFFFu);
}

TEST_F(Clocked, TimersAcrossTheWrapOfTheTimeBase) {
    ASSERT_EQ(Timer_Allocate(2), 0u);
    SetFrt(0xFFFFFFFFu - 50);
    ASSERT_EQ(Timer_Start(0, 10), 100u);
    ASSERT_EQ(Timer_Start(1, 3), 30u);
    Advance(30);
    EXPECT_EQ(Timer_Status(1), 4u);
    Advance(30);
    EXPECT_LT(FPGA_GetFrt(), 20u);  // wrapped
    EXPECT_EQ(Timer_Status(0), 3u);
    Advance(39);
    EXPECT_EQ(Timer_Status(0), 3u);
    Advance(1);
    EXPECT_EQ(Timer_Status(0), 4u);
    EXPECT_EQ(Timer_Status(0), 2u);
}

// The millisecond clock runs on through the wrap of the 32-bit time base
// (tick 4,294,967,296, about 4.97 days) and wraps only at 2^32 ms, so a due
// time taken before either wrap falls due on time after it.
TEST_F(Clocked, MillisecondClockAndDueTimesAcrossTheWraps) {
    // 200 ms before the time base wraps: 4,294,965,296 ticks are 429,496,529 ms.
    SetFrt(0xFFFFFFFFu - 1999);
    const uint32_t start = _tx_time_get();
    ASSERT_EQ(start, 429496529u);
    const uint32_t due = start + 300;
    Advance(2990);
    EXPECT_LT(FPGA_GetFrt(), 1000u);  // the time base wrapped
    EXPECT_EQ(_tx_time_get(), 429496828u);
    EXPECT_FALSE(PassWork_Due(due, _tx_time_get()));
    Advance(10);
    EXPECT_EQ(_tx_time_get(), 429496829u);
    EXPECT_TRUE(PassWork_Due(due, _tx_time_get()));

    // 60 ms before the millisecond clock wraps (tick 10 x 2^32, where the
    // 32-bit time base wraps as well): 4,294,967,236 ms.
    Fake().offset = 0;
    Fake().offset = 42949672960ull - 600 - FPGA_GetFrt64();
    const uint32_t late = _tx_time_get();
    ASSERT_EQ(late, 4294967236u);
    const uint32_t due2 = late + 100;  // 40 after the wrap
    Advance(600);
    EXPECT_EQ(_tx_time_get(), 0u);
    EXPECT_EQ(FPGA_GetFrt(), 0u);
    EXPECT_FALSE(PassWork_Due(due2, _tx_time_get()));
    Advance(399);
    EXPECT_FALSE(PassWork_Due(due2, _tx_time_get()));
    Advance(1);
    EXPECT_EQ(_tx_time_get(), 40u);
    EXPECT_TRUE(PassWork_Due(due2, _tx_time_get()));
    EXPECT_EQ(uint32_t(_tx_time_get() - late), 100u);
}

TEST_F(Clocked, AllocateFindsConsecutiveFreeTimers) {
    Timers[0].allocated = 1;
    Timers[2].allocated = 1;
    EXPECT_EQ(Timer_Allocate(3), 3u);
    for (unsigned i = 3; i <= 5; i++) EXPECT_EQ(Timers[i].allocated, 1) << i;
    EXPECT_EQ(Timers[6].allocated, 0);
    // Free now: 1, 6, 7 — no run of three.
    EXPECT_EQ(Timer_Allocate(3), 255u);
    EXPECT_EQ(Timer_Allocate(2), 6u);
    EXPECT_EQ(Timer_Allocate(1), 1u);
    EXPECT_EQ(Timer_Allocate(1), 255u);
    EXPECT_EQ(Timer_Allocate(0), 255u);
    Timer_Init(&fpga_port, 100);
    EXPECT_EQ(Timer_Allocate(8), 0u);
    Timer_Init(&fpga_port, 100);
    EXPECT_EQ(Timer_Allocate(9), 255u);
}

// ---- receive-character timers -------------------------------------------------------

struct Fired {
    uint32_t arg, elapsed, remaining;
};
std::vector<Fired> fired;
void OnRct(uint32_t arg, uint32_t elapsed, uint32_t remaining) { fired.push_back({arg, elapsed, remaining}); }

class Rcts : public Clocked {
protected:
    void SetUp() override {
        Clocked::SetUp();
        RCT_Init();
        fired.clear();
    }
};

TEST_F(Rcts, AllocationAndPeriods) {
    for (uint32_t h = 1; h <= 5; h++) EXPECT_EQ(RCT_Allocate(OnRct), h);
    EXPECT_EQ(RCT_Allocate(OnRct), 0u);
    RCT_Release(3);
    EXPECT_EQ(RCT_Allocate(OnRct), 3u);

    RCT_Set(1, 0, 1);
    EXPECT_EQ(tmr[0].period, 1500u);
    RCT_Set(1, 5, 1);
    EXPECT_EQ(tmr[0].period, 266u);
    RCT_Set(1, 12, 1);
    EXPECT_EQ(tmr[0].period, 267u);
    RCT_Set(1, 200, 1);  // no such rate code: the last one
    EXPECT_EQ(tmr[0].period, 267u);
    RCT_Set(2, 5000, 2);
    EXPECT_EQ(tmr[1].period, 50u);
    EXPECT_EQ(tmr[1].kind, 2u);
    RCT_Set(3, 5000, 7);
    EXPECT_EQ(tmr[2].period, 50u);
    EXPECT_EQ(tmr[2].kind, 1u);

    // Handles outside 1 .. 5 are ignored.
    RCT_Set(0, 5000, 2);
    RCT_Set(6, 5000, 2);
    RCT_Start(0);
    RCT_Start(6);
    RCT_Stop(6);
    RCT_Release(0);
    // A period of 0 does not start.
    RCT_Set(4, 50, 3);
    RCT_Start(4);
    EXPECT_EQ(tmr[3].state, 1u);
}

TEST_F(Rcts, OneShotFiresOnceEvenWhenItsTimeRunsOutExactly) {
    const uint32_t h = RCT_Allocate(OnRct);
    RCT_Set(h, 1000, 3);               // one-shot, 10 ticks
    EXPECT_EQ(RCT_WaitUs(500), 500u);  // nothing runs: the whole wait
    RCT_Start(h);
    EXPECT_EQ(RCT_WaitUs(500), 500u);  // due in 11 ticks, 1100 us
    EXPECT_EQ(RCT_WaitUs(5000), 1100u);
    Advance(8);
    EXPECT_EQ(RCT_WaitUs(500), 300u);
    Advance(2);
    RctISR(7);  // exactly used up: nothing left, not yet overdue
    EXPECT_TRUE(fired.empty());
    EXPECT_EQ(RCT_WaitUs(500), 100u);
    Advance(1);
    EXPECT_EQ(RCT_WaitUs(500), 0u);  // overdue: no wait
    RctISR(7);
    ASSERT_EQ(fired.size(), 1u);
    EXPECT_EQ(fired[0].arg, 7u);
    EXPECT_EQ(fired[0].elapsed, 1u);
    EXPECT_EQ(fired[0].remaining, 0u);
    EXPECT_EQ(tmr[h - 1].state, 1u);
    EXPECT_EQ(RCT_WaitUs(500), 500u);  // stopped again
    Advance(100);
    RctISR(7);
    EXPECT_EQ(fired.size(), 1u);
}

TEST_F(Rcts, PeriodicTimerReArmsFromTheTimeItFired) {
    const uint32_t h = RCT_Allocate(OnRct);
    RCT_Set(h, 2000, 2);  // periodic, 20 ticks
    RCT_Start(h);
    Advance(25);
    RctISR(1);
    ASSERT_EQ(fired.size(), 1u);
    EXPECT_EQ(fired[0].elapsed, 25u);
    EXPECT_EQ(fired[0].remaining, 20u);
    // The next period counts from the firing, not from the first start.
    Advance(1);
    RctISR(1);
    EXPECT_EQ(fired.size(), 1u);
    Advance(19);
    RctISR(1);
    EXPECT_EQ(fired.size(), 1u);  // 20 used, not yet overdue
    Advance(1);
    RctISR(1);
    EXPECT_EQ(fired.size(), 2u);
    EXPECT_EQ(tmr[h - 1].state, 2u);
    RCT_Stop(h);
    Advance(100);
    RctISR(1);
    EXPECT_EQ(fired.size(), 2u);
}

TEST_F(Rcts, StartingAnotherTimerBringsRunningOnesUpToNow) {
    const uint32_t a = RCT_Allocate(OnRct), b = RCT_Allocate(OnRct);
    RCT_Set(a, 10000, 2);  // 100 ticks
    RCT_Set(b, 10000, 3);
    RCT_Start(a);
    Advance(30);
    RCT_Start(b);
    EXPECT_EQ(tmr[a - 1].remaining, 70u);
    EXPECT_EQ(tmr[a - 1].start, fpga_port.frt);
    Advance(95);
    RCT_Start(b);  // a had 70 left, 95 passed: kept at the floor of 8
    EXPECT_EQ(tmr[a - 1].remaining, 8u);
    Advance(9);
    RctISR(0);
    ASSERT_EQ(fired.size(), 1u);
    EXPECT_EQ(fired[0].remaining, 8u);
}

TEST_F(Rcts, ReceiveTimersIgnoreTheWallClock) {
    // Only the monotonic time base moves them: with the clock held still,
    // a long real pause changes nothing.
    const uint32_t h = RCT_Allocate(OnRct);
    RCT_Set(h, 100, 3);  // 1 tick
    RCT_Start(h);
    struct timespec pause {
        0, 3000000
    };
    nanosleep(&pause, nullptr);
    RctISR(0);
    EXPECT_TRUE(fired.empty());
    Advance(2);
    RctISR(0);
    EXPECT_EQ(fired.size(), 1u);
}

// ---- service tick ---------------------------------------------------------------

void Buttons(const char *text) {
    const std::string p = TempRoot() + "/sim/buttons";
    if (text == nullptr) {
        std::error_code ec;
        std::filesystem::remove(p, ec);
    } else {
        std::ofstream(p) << text;
    }
}

std::string Leds() {
    std::ifstream f(TempRoot() + "/sim/leds");
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

class Tick : public Clocked {
protected:
    void SetUp() override {
        Clocked::SetUp();
        Buttons(nullptr);
        Cmd_Downloading = 0;
        Sys_LoadPGM_Status = 0;
        Flashcount = 0;
        PlcWordSet(W_MODE, 0);
        PlcWordSet(W_FAULT, 0);
        Align();
        Steps(10);  // idle: the sample ring holds no press
        button_state = 0;
    }
    // Earlier tests left the tick's step times anywhere: take one step to
    // catch up, then advance tick by tick to the next 10 ms step, so that
    // the millisecond step falls exactly on the time base again.
    static void Align() {
        TimerISR();
        for (int i = 0; i < 200; i++) {
            const uint32_t d = sysDTic;
            Advance(1);
            TimerISR();
            if (sysDTic != d) break;
        }
    }
    void TearDown() override {
        Buttons(nullptr);
        Steps(10);
        Clocked::TearDown();
    }
    // n steps of 10 ms of the service tick.
    static void Steps(unsigned n) {
        for (unsigned i = 0; i < n; i++) {
            Advance(100);
            TimerISR();
        }
    }
};

TEST_F(Tick, CountersAdvanceWithTheRemainderCarried) {
    const uint32_t ms = tchTic;
    const uint32_t d = sysDTic;
    const uint16_t s = sysTic;
    Advance(9);
    TimerISR();
    EXPECT_EQ(tchTic, ms);
    Advance(16);  // 25 ticks since the last step: 2 ms, 5 ticks carried
    TimerISR();
    EXPECT_EQ(tchTic, ms + 2);
    Advance(5);
    TimerISR();
    EXPECT_EQ(tchTic, ms + 3);
    EXPECT_EQ(sysDTic, d);
    Advance(70);  // 100 ticks in all: one 10 ms step
    TimerISR();
    EXPECT_EQ(sysDTic, d + 1);
    EXPECT_EQ(sysTic, uint16_t(s + 1));
    Advance(1000);
    TimerISR();
    EXPECT_EQ(sysDTic, d + 11);
    EXPECT_EQ(tchTic, ms + 110);
}

TEST_F(Tick, FlashPhases) {
    // Line up with a toggle of both phases first.
    const uint8_t f = sysFlash;
    unsigned n = 0;
    while (sysFlash == f && n < 100) {
        Steps(1);
        n++;
    }
    ASSERT_LT(n, 100u);
    const uint8_t slow = sysFlash, fast = Flash100ms;
    Steps(49);
    EXPECT_EQ(sysFlash, slow);
    Steps(1);
    EXPECT_NE(sysFlash, slow);
    // The 100 ms phase toggled five times in those 50 steps.
    EXPECT_NE(Flash100ms, fast);
    // Lined up with a toggle of the 100 ms phase: it changes every 10 steps
    // of 10 ms, never sooner.
    const uint8_t g = Flash100ms;
    n = 0;
    while (Flash100ms == g && n < 20) {
        Steps(1);
        n++;
    }
    ASSERT_LT(n, 20u);
    for (int k = 0; k < 3; k++) {
        const uint8_t now = Flash100ms;
        Steps(9);
        EXPECT_EQ(Flash100ms, now) << k;
        Steps(1);
        EXPECT_NE(Flash100ms, now) << k;
    }
}

TEST_F(Tick, HoldingRunThreeSecondsChangesTheMode) {
    Buttons("RUN\n");
    testing::internal::CaptureStdout();
    Steps(3 + 295);  // four equal samples, then 2.95 s
    EXPECT_EQ(button_state, 1u);
    EXPECT_EQ(PlcWord(W_MODE), 0);
    Steps(10);
    EXPECT_EQ(button_state, 2u);
    EXPECT_EQ(PlcWord(W_MODE), 2);
    Buttons(nullptr);
    Steps(2);
    EXPECT_EQ(button_state, 0u);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "Changed the Controller Mode\nRUN Button Released\n");

    // Again: from a running mode back to 0.
    Buttons("RUN");
    Steps(320);
    EXPECT_EQ(PlcWord(W_MODE), 0);
    Buttons(nullptr);
    Steps(2);
    EXPECT_EQ(button_state, 0u);
}

TEST_F(Tick, ReleasingRunEarlyChangesNothing) {
    Buttons("RUN\n");
    testing::internal::CaptureStdout();
    Steps(3 + 290);  // 2.9 s
    Buttons(nullptr);
    Steps(1);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "Didn't Changed the Controller Mode\n");
    EXPECT_EQ(button_state, 0u);
    EXPECT_EQ(PlcWord(W_MODE), 0);
}

TEST_F(Tick, NoModeChangeDuringADownload) {
    Cmd_Downloading = 1;
    Buttons("RUN");
    testing::internal::CaptureStdout();
    Steps(320);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "Changed the Controller Mode\n");
    EXPECT_EQ(PlcWord(W_MODE), 0);
    EXPECT_EQ(button_state, 2u);
}

TEST_F(Tick, ShortAndBouncingPressesAreIgnored) {
    // Three samples are not a press; a press needs four equal ones.
    Buttons("RUN");
    Steps(3);
    Buttons(nullptr);
    Steps(1);
    EXPECT_EQ(button_state, 0u);
    // Alternating samples never make a stable press.
    for (int i = 0; i < 20; i++) {
        Buttons(i % 2 ? "RUN" : "LOAD");
        Steps(1);
    }
    EXPECT_EQ(button_state, 0u);
    Buttons("RUN");
    Steps(4);
    EXPECT_EQ(button_state, 1u);
}

TEST_F(Tick, LoadAndBothButtonsReleasedEarly) {
    testing::internal::CaptureStdout();
    Buttons("LOAD");
    Steps(50);
    EXPECT_EQ(button_state, 3u);
    Buttons(nullptr);
    Steps(1);
    EXPECT_EQ(button_state, 0u);
    Steps(5);
    Buttons("RUN LOAD");
    Steps(50);
    EXPECT_EQ(button_state, 6u);
    Buttons("RUN");  // letting go of one is a release of the pair
    Steps(1);
    EXPECT_EQ(button_state, 0u);
    Buttons(nullptr);
    Steps(5);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "Didn't Load Program to the Controller\nDidn't Do VGD\n");
}

TEST_F(Tick, LedsShowTheDownloadAndTheIdentificationBlink) {
    Cmd_Downloading = 1;
    Steps(1);
    std::string leds = Leds();
    EXPECT_NE(leds.find("OK "), std::string::npos) << leds;
    EXPECT_NE(leds.find(" 11\nRUN "), std::string::npos) << leds;
    EXPECT_EQ(leds.substr(leds.size() - 3), "11\n") << leds;
    Cmd_Downloading = 0;

    // Two blink pairs after the first on phase: on, off (not counted), on,
    // off (1), on, off (0), then back to the normal codes.
    Flashcount = 2;
    Steps(1);
    EXPECT_EQ(Leds(), "OK 1 1\nRUN 1 1\n");
    Steps(50);
    EXPECT_EQ(Leds(), "OK 0 0\nRUN 0 0\n");
    EXPECT_EQ(Flashcount, 2);
    Steps(50);
    EXPECT_EQ(Leds(), "OK 1 1\nRUN 1 1\n");
    Steps(50);
    EXPECT_EQ(Flashcount, 1);
    Steps(100);
    EXPECT_EQ(Flashcount, 0);
    Steps(1);
    EXPECT_EQ(Leds().find(" 11\n"), std::string::npos);

    // 255 blinks for ever.
    Flashcount = 255;
    Steps(400);
    EXPECT_EQ(Flashcount, 255);
    Flashcount = 0;
    Steps(1);
}

}  // namespace
