// Kernel-style layer: polled timers, queues, event flags and thread calls,
// with the status numbers of the kernel API they stand in for.
#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <vector>

#include "core/image/timebase.h"
#include "core/image/tx.h"
#include "platform/plat.h"

namespace {

// A monotonic clock that moves only when the test says so.
int64_t fake_ns;
void FakeMono(struct timespec *ts) {
    ts->tv_sec = time_t(fake_ns / 1000000000);
    ts->tv_nsec = long(fake_ns % 1000000000);
}
uint64_t NoOffset() { return 0; }
uint32_t NoMsOffset() { return 0; }
const PlatTimeOps fake_time = {FakeMono, NoOffset, NoMsOffset};
void Advance(uint32_t ticks) { fake_ns += int64_t(ticks) * 100000; }

// ---- queues ------------------------------------------------------------------------

TEST(TxQueue, OneMessageQueueRefusesTheSecondAndAnswersEmpty) {
    TX_QUEUE q;
    uint32_t storage[4];
    ASSERT_EQ(_txe_queue_create(&q, "CFI_REQUEST", 4, storage, sizeof storage), TX_SUCCESS);
    EXPECT_EQ(q.capacity, 1u);
    uint32_t out[4] = {};
    EXPECT_EQ(_txe_queue_receive(&q, out, 0), 10u);
    const uint32_t msg[4] = {1, 2, 3, 4};
    EXPECT_EQ(_txe_queue_send(&q, msg, 0), 0u);
    const uint32_t msg2[4] = {5, 6, 7, 8};
    EXPECT_EQ(_txe_queue_send(&q, msg2, 0), 11u);
    EXPECT_EQ(q.enqueued, 1u);
    EXPECT_EQ(q.available, 0u);
    EXPECT_EQ(_txe_queue_receive(&q, out, 0), 0u);
    EXPECT_EQ(std::memcmp(out, msg, sizeof msg), 0);
    EXPECT_EQ(_txe_queue_receive(&q, out, 0), 10u);
    EXPECT_EQ(_txe_queue_send(&q, msg2, 0), 0u);
    EXPECT_EQ(_txe_queue_receive(&q, out, 0), 0u);
    EXPECT_EQ(std::memcmp(out, msg2, sizeof msg2), 0);
}

TEST(TxQueue, MessagesComeOutInOrderAcrossTheWrap) {
    TX_QUEUE q;
    // 28 bytes of storage, 2-word messages: room for 3, the last 4 bytes unused.
    std::array<uint32_t, 8> storage{};
    storage[7] = 0xDEADBEEF;
    ASSERT_EQ(_txe_queue_create(&q, "q", 2, storage.data(), 28), TX_SUCCESS);
    EXPECT_EQ(q.capacity, 3u);
    uint32_t next_in = 0, next_out = 0;
    for (int round = 0; round < 10; round++) {
        const int sends = 1 + round % 3;
        for (int i = 0; i < sends; i++) {
            const uint32_t m[2] = {next_in, ~next_in};
            ASSERT_EQ(_txe_queue_send(&q, m, 0), 0u);
            next_in++;
        }
        for (int i = 0; i < sends; i++) {
            uint32_t m[2];
            ASSERT_EQ(_txe_queue_receive(&q, m, 0), 0u);
            EXPECT_EQ(m[0], next_out);
            EXPECT_EQ(m[1], ~next_out);
            next_out++;
        }
    }
    for (int i = 0; i < 3; i++) ASSERT_EQ(_txe_queue_send(&q, storage.data(), 0), 0u);
    EXPECT_EQ(_txe_queue_send(&q, storage.data(), 0), 11u);
    EXPECT_EQ(storage[7], 0xDEADBEEFu);  // never written past the capacity
}

TEST(TxQueue, BadSizesAnswerTheSizeErrorAndTheQueueStaysUnusable) {
    TX_QUEUE q;
    std::memset(&q, 0x5A, sizeof q);  // whatever the record held before
    uint32_t storage[4];
    EXPECT_EQ(_txe_queue_create(&q, "zero", 0, storage, sizeof storage), TX_SIZE_ERROR);
    uint32_t m[4] = {};
    EXPECT_EQ(_txe_queue_send(&q, m, 0), TX_PTR_ERROR);
    EXPECT_EQ(_txe_queue_receive(&q, m, 0), TX_PTR_ERROR);
    // Storage smaller than one message.
    EXPECT_EQ(_txe_queue_create(&q, "small", 4, storage, 15), TX_SIZE_ERROR);
    EXPECT_EQ(_txe_queue_send(&q, m, 0), TX_PTR_ERROR);
    // A message size whose byte count overflows 32 bits.
    EXPECT_EQ(_txe_queue_create(&q, "huge", 0x40000000, storage, sizeof storage), TX_SIZE_ERROR);
    EXPECT_EQ(_txe_queue_create(nullptr, "none", 1, storage, sizeof storage), TX_PTR_ERROR);
    EXPECT_EQ(_txe_queue_create(&q, "none", 1, nullptr, 16), TX_PTR_ERROR);
}

// ---- event flags ------------------------------------------------------------------------

TEST(TxEventFlags, AndOrAndClear) {
    TX_EVENT_FLAGS_GROUP g;
    ASSERT_EQ(_txe_event_flags_create(&g, "ev"), 0u);
    uint32_t actual = 0xAAAA;
    EXPECT_EQ(_txe_event_flags_get(&g, 0x1, TX_OR, &actual, 0), 7u);
    EXPECT_EQ(actual, 0xAAAAu);  // untouched when not satisfied
    EXPECT_EQ(_txe_event_flags_set(&g, 0x1, 0), 0u);
    EXPECT_EQ(_txe_event_flags_get(&g, 0x3, TX_AND, &actual, 0), 7u);
    EXPECT_EQ(_txe_event_flags_get(&g, 0x3, TX_AND_CLEAR, &actual, 0), 7u);
    EXPECT_EQ(g.current, 0x1u);  // unchanged by the refusals
    EXPECT_EQ(_txe_event_flags_get(&g, 0x3, TX_OR, &actual, 0), 0u);
    EXPECT_EQ(actual, 0x1u);
    EXPECT_EQ(_txe_event_flags_set(&g, 0x6, 0), 0u);
    EXPECT_EQ(_txe_event_flags_get(&g, 0x3, TX_AND_CLEAR, &actual, 0), 0u);
    EXPECT_EQ(actual, 0x7u);     // the flags before clearing
    EXPECT_EQ(g.current, 0x4u);  // only the requested bits cleared
    EXPECT_EQ(_txe_event_flags_get(&g, 0xC, TX_OR_CLEAR, &actual, 0), 0u);
    EXPECT_EQ(g.current, 0x0u);
    EXPECT_EQ(_txe_event_flags_delete(&g), 0u);
}

// ---- timers ----------------------------------------------------------------------------

struct TxTimers : ::testing::Test {
    void SetUp() override {
        saved = plat_time;
        struct timespec now {};
        clock_gettime(CLOCK_MONOTONIC, &now);
        fake_ns = int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
        fake_ns -= fake_ns % 100000;
        plat_time = &fake_time;
        TimerPtr = {};
        calls.clear();
        FPGA_GetFrt();
    }
    void TearDown() override {
        TimerPtr = {};
        plat_time = saved;
    }
    static void Run(uint32_t ticks) {
        for (uint32_t i = 0; i < ticks; i++) {
            Advance(1);
            tx_timer_check();
        }
    }
    const PlatTimeOps *saved = nullptr;
    static inline std::vector<uint32_t> calls;
    static void Expiry(uint32_t arg) { calls.push_back(arg); }
};

TEST_F(TxTimers, TimeIsTheTimeBaseInMilliseconds) {
    EXPECT_EQ(_tx_time_get(), FPGA_GetFrt() / 10);
    const uint32_t a = _tx_time_get();
    Advance(250);
    EXPECT_EQ(_tx_time_get() - a, 25u);
}

TEST_F(TxTimers, OneShotFiresOnTimeWithoutLosingFractions) {
    TX_TIMER t;
    ASSERT_EQ(_txe_timer_create(&t, "one", Expiry, 42, 10, 0, 1), 0u);
    // Checked every tick: the passes in between take whole milliseconds off
    // and carry the rest, so it fires at exactly 100 ticks.
    Run(99);
    EXPECT_TRUE(calls.empty());
    Run(1);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0], 42u);
    Run(500);
    EXPECT_EQ(calls.size(), 1u);
    // Fired: still marked active with no time left.
    EXPECT_EQ(_txe_timer_activate(&t), 23u);
    EXPECT_EQ(_txe_timer_deactivate(&t), 0u);
    EXPECT_EQ(_txe_timer_activate(&t), 23u);  // no time left to run
    // Checked rarely: the same.
    t.remaining = 7;
    EXPECT_EQ(_txe_timer_activate(&t), 0u);
    Advance(69);
    tx_timer_check();
    EXPECT_EQ(calls.size(), 1u);
    Advance(1);
    tx_timer_check();
    EXPECT_EQ(calls.size(), 2u);
}

TEST_F(TxTimers, PeriodicTimerAndCreationWithoutActivation) {
    TX_TIMER t;
    ASSERT_EQ(_txe_timer_create(&t, "tick", Expiry, 1, 5, 3, 0), 0u);
    Run(100);
    EXPECT_TRUE(calls.empty());  // not activated
    ASSERT_EQ(_txe_timer_activate(&t), 0u);
    EXPECT_EQ(_txe_timer_activate(&t), 23u);  // already active
    Run(49);
    EXPECT_EQ(calls.size(), 0u);
    Run(1);
    EXPECT_EQ(calls.size(), 1u);
    Run(29);
    EXPECT_EQ(calls.size(), 1u);
    Run(1);
    EXPECT_EQ(calls.size(), 2u);
    Run(300);
    EXPECT_EQ(calls.size(), 12u);
    ASSERT_EQ(_txe_timer_deactivate(&t), 0u);
    Run(100);
    EXPECT_EQ(calls.size(), 12u);
    EXPECT_EQ(_txe_timer_delete(&t), 0u);
    EXPECT_EQ(t.slot, -1);
}

TX_TIMER self_timer;
uint32_t self_activate_status;
void ReactivateSelf(uint32_t) { self_activate_status = _txe_timer_activate(&self_timer); }
TX_TIMER doomed;
int doomed_calls;
void DeleteSelf(uint32_t) {
    doomed_calls++;
    _txe_timer_delete(&doomed);
}

TEST_F(TxTimers, ExpiryFunctionsActingOnTheirOwnTimer) {
    self_activate_status = 0;
    ASSERT_EQ(_txe_timer_create(&self_timer, "self", ReactivateSelf, 0, 1, 0, 1), 0u);
    Run(10);
    EXPECT_EQ(self_activate_status, 23u);  // still marked active inside its callback

    doomed_calls = 0;
    ASSERT_EQ(_txe_timer_create(&doomed, "doomed", DeleteSelf, 0, 1, 1, 1), 0u);
    Run(50);
    EXPECT_EQ(doomed_calls, 1);  // deleted inside: never re-armed
    EXPECT_EQ(doomed.slot, -1);
}

TEST_F(TxTimers, TenSlotsThenTheTimerError) {
    std::array<TX_TIMER, 11> t{};
    for (unsigned i = 0; i < 10; i++) {
        ASSERT_EQ(_txe_timer_create(&t[i], "t", Expiry, i, 100, 0, 0), 0u) << i;
        EXPECT_EQ(t[i].slot, int32_t(i));
    }
    EXPECT_EQ(_txe_timer_create(&t[10], "t", Expiry, 10, 100, 0, 0), 21u);
    EXPECT_EQ(_txe_timer_delete(&t[4]), 0u);
    ASSERT_EQ(_txe_timer_create(&t[10], "t", Expiry, 10, 100, 0, 0), 0u);
    EXPECT_EQ(t[10].slot, 4);
    // Creating a record again does not take a second slot.
    ASSERT_EQ(_txe_timer_create(&t[10], "t", Expiry, 10, 1, 0, 1), 0u);
    EXPECT_EQ(t[10].slot, 4);
    Run(10);
    EXPECT_EQ(calls, std::vector<uint32_t>{10});
    EXPECT_EQ(_txe_timer_create(&t[0], "t", Expiry, 0, 100, 0, 0), 0u);
    EXPECT_EQ(_txe_timer_delete(&t[4]), 0u);  // no longer in a slot: harmless
    EXPECT_EQ(TimerPtr[4], &t[10]);
}

// ---- thread calls -------------------------------------------------------------------------

void Entry(uint32_t) {}

TEST(TxThread, CreateValidatesItsArguments) {
    TX_THREAD th;
    std::array<uint8_t, 256> stack{};
    EXPECT_EQ(_txe_thread_create(nullptr, "t", Entry, 0, stack.data(), 256, 10, 10, 0, 1), 14u);
    EXPECT_EQ(_txe_thread_create(&th, "t", nullptr, 0, stack.data(), 256, 10, 10, 0, 1), 3u);
    EXPECT_EQ(_txe_thread_create(&th, "t", Entry, 0, nullptr, 256, 10, 10, 0, 1), 3u);
    EXPECT_EQ(_txe_thread_create(&th, "t", Entry, 0, stack.data(), 256, 10, 11, 0, 1), 24u);
    EXPECT_EQ(_txe_thread_create(&th, "t", Entry, 0, stack.data(), 256, 10, 10, 0, 2), 16u);
    ASSERT_EQ(_txe_thread_create(&th, "t", Entry, 9, stack.data(), 256, 10, 5, 3, 1), 0u);
    EXPECT_EQ(th.entry, Entry);
    EXPECT_EQ(th.arg, 9u);
    EXPECT_EQ(th.stack_end, stack.data() + 256);
    EXPECT_EQ(th.priority, 10u);
    EXPECT_EQ(th.threshold, 5u);
    EXPECT_EQ(th.time_slice, 3u);
    EXPECT_EQ(_txe_thread_resume(&th), 0u);
    EXPECT_EQ(_txe_thread_suspend(&th), 0u);
    EXPECT_EQ(_txe_thread_terminate(&th), 0u);
    EXPECT_EQ(_txe_thread_delete(&th), 0u);
}

}  // namespace
