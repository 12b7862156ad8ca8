// The readiness set of the main loop: edge-triggered reports filed with their
// items and groups, a descriptor left unread not waking the wait again, the
// wake request from this and from another thread, watched descriptors, and
// the descriptor owner.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <thread>
#include <unistd.h>

#include "platform/plat_fd.h"
#include "platform/plat_poll.h"

namespace {

using Clock = std::chrono::steady_clock;

double UsSince(Clock::time_point t0) { return std::chrono::duration<double, std::micro>(Clock::now() - t0).count(); }

bool Open(int fd) { return fcntl(fd, F_GETFD) != -1; }

}  // namespace

TEST(PlatPoll, OwnerClosesOnceAndMoves) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    {
        PlatFd a(p[0]);
        PlatFd b(std::move(a));
        EXPECT_FALSE(a.valid());
        EXPECT_EQ(b.get(), p[0]);
        PlatFd c;
        c = std::move(b);
        EXPECT_TRUE(Open(p[0]));
        c.reset(p[1]);  // the first is closed, the second taken
        EXPECT_FALSE(Open(p[0]));
        EXPECT_TRUE(Open(p[1]));
        const int given = c.release();
        EXPECT_EQ(given, p[1]);
    }
    EXPECT_TRUE(Open(p[1]));  // released: the owner did not close it
    close(p[1]);
}

TEST(PlatPoll, EdgesReportedOnceUnreadInputDoesNotWakeAndWakeEndsTheWait) {
    int p[2];
    ASSERT_EQ(pipe2(p, O_NONBLOCK), 0);
    PlatFd rd(p[0]), wr(p[1]);
    PlatPollItem item{};
    EXPECT_EQ(item.owner, nullptr);  // a zeroed record is outside the set
    PLAT_PollDel(&item);             // and removing it is harmless
    const unsigned before = PLAT_PollCount();
    int owner = 0;
    ASSERT_EQ(PLAT_PollAdd(&item, rd.get(), PLAT_POLL_IN, PLAT_POLL_NET, &owner, 7), 0);
    EXPECT_EQ(PLAT_PollCount(), before + 1);
    EXPECT_EQ(PLAT_PollAdd(&item, -1, PLAT_POLL_IN, PLAT_POLL_NET, &owner, 7), -1);  // replaced, then refused
    EXPECT_EQ(PLAT_PollCount(), before);
    ASSERT_EQ(PLAT_PollAdd(&item, rd.get(), PLAT_POLL_IN, PLAT_POLL_NET, &owner, 7), 0);
    (void)PLAT_PollTake(PLAT_POLL_NET);
    // The owner's count of the item's reports, and the group's count.
    uint32_t tally = 0;
    PLAT_PollTally(&item, &tally);
    const uint32_t filed = PLAT_PollFiled(PLAT_POLL_NET);

    // Nothing to read: the wait lasts its time (lower bound only).
    auto t0 = Clock::now();
    EXPECT_EQ(PLAT_PollWait(3000), 0);
    EXPECT_GE(UsSince(t0), 2500.0);
    EXPECT_EQ(item.events, 0u);

    // One byte: one report, filed with the item and listed once in its group.
    ASSERT_EQ(write(wr.get(), "x", 1), 1);
    EXPECT_EQ(PLAT_PollWait(5000000), 1);
    EXPECT_EQ(item.events, uint32_t(PLAT_POLL_IN));
    EXPECT_EQ(item.owner, &owner);
    EXPECT_EQ(item.kind, 7);
    auto list = PLAT_PollTake(PLAT_POLL_NET);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0], &item);
    EXPECT_EQ(PLAT_PollTake(PLAT_POLL_NET).size(), 0u);
    EXPECT_EQ(tally, 1u);
    EXPECT_EQ(PLAT_PollFiled(PLAT_POLL_NET), filed + 1);

    // Left unread on purpose: the next wait is not woken by it.
    t0 = Clock::now();
    EXPECT_EQ(PLAT_PollWait(3000), 0);
    EXPECT_GE(UsSince(t0), 2500.0);
    EXPECT_EQ(tally, 1u);
    // New input is a new edge.
    ASSERT_EQ(write(wr.get(), "y", 1), 1);
    EXPECT_EQ(PLAT_PollWait(5000000), 1);
    EXPECT_EQ(PLAT_PollTake(PLAT_POLL_NET).size(), 1u);
    EXPECT_EQ(tally, 2u);
    EXPECT_EQ(PLAT_PollFiled(PLAT_POLL_NET), filed + 2);

    // A wake request of this thread ends the next wait at once, once.
    PLAT_PollWake();
    t0 = Clock::now();
    EXPECT_EQ(PLAT_PollWait(2000000), 0);
    EXPECT_LT(UsSince(t0), 1500000.0);  // well short of its 2 s, whatever the load
    t0 = Clock::now();
    EXPECT_EQ(PLAT_PollWait(3000), 0);
    EXPECT_GE(UsSince(t0), 2500.0);
    // ... and one of another thread through the eventfd, while waiting.
    std::thread other([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        PLAT_PollWake();
    });
    t0 = Clock::now();
    EXPECT_EQ(PLAT_PollWait(5000000), 0);
    other.join();
    EXPECT_LT(UsSince(t0), 4000000.0);  // well short of its 5 s

    // With a pace of 20 ms, a wait at least that long ends at its ticks:
    // ten waits take about 200 ms (at least 180 ms; the upper bound only
    // says that none of them waited its own 5 s, so that a loaded machine
    // cannot fail it), a shorter wait keeps its own time-out, and input
    // still ends a wait as a report. Without the pace a wait lasts its time
    // again.
    ASSERT_EQ(PLAT_PollPace(20000), 0);
    t0 = Clock::now();
    for (int i = 0; i < 10; i++) EXPECT_EQ(PLAT_PollWait(5000000), 0);
    EXPECT_GE(UsSince(t0), 180000.0);
    EXPECT_LT(UsSince(t0), 4500000.0);
    t0 = Clock::now();
    EXPECT_EQ(PLAT_PollWait(3000), 0);
    EXPECT_GE(UsSince(t0), 2500.0);
    ASSERT_EQ(write(wr.get(), "p", 1), 1);
    EXPECT_EQ(PLAT_PollWait(5000000), 1);
    EXPECT_EQ(PLAT_PollTake(PLAT_POLL_NET).size(), 1u);
    ASSERT_EQ(PLAT_PollPace(0), 0);
    t0 = Clock::now();
    EXPECT_EQ(PLAT_PollWait(50000), 0);
    EXPECT_GE(UsSince(t0), 45000.0);

    // Removed: no more reports; the list forgets it.
    ASSERT_EQ(write(wr.get(), "z", 1), 1);
    PLAT_PollDel(&item);
    EXPECT_EQ(item.owner, nullptr);
    EXPECT_EQ(PLAT_PollCount(), before);
    EXPECT_EQ(PLAT_PollWait(0), 0);
    EXPECT_EQ(PLAT_PollTake(PLAT_POLL_NET).size(), 0u);
}

TEST(PlatPoll, WatchedDescriptorsAreReadOnlyWithInput) {
    int p[2];
    ASSERT_EQ(pipe2(p, O_NONBLOCK), 0);
    PlatFd rd(p[0]), wr(p[1]);
    EXPECT_TRUE(PLAT_PollHasInput(rd.get()));  // not watched: always read
    ASSERT_EQ(PLAT_PollWatch(rd.get()), 0);
    const unsigned watched = PLAT_PollCount();
    EXPECT_EQ(PLAT_PollWatch(rd.get()), 0);  // once only
    EXPECT_EQ(PLAT_PollCount(), watched);
    PLAT_PollWait(0);  // the loop waits on the set from now on
    PLAT_PollInputTaken(rd.get());
    EXPECT_FALSE(PLAT_PollHasInput(rd.get()));
    // Input ends a wait and is then reported as there.
    ASSERT_EQ(write(wr.get(), "ab", 2), 2);
    EXPECT_EQ(PLAT_PollWait(5000000), 1);
    EXPECT_TRUE(PLAT_PollHasInput(rd.get()));
    char b[4];
    EXPECT_EQ(read(rd.get(), b, sizeof b), 2);
    PLAT_PollInputTaken(rd.get());
    EXPECT_FALSE(PLAT_PollHasInput(rd.get()));
    // Input that came without a wait is found by the reader itself.
    ASSERT_EQ(write(wr.get(), "c", 1), 1);
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    bool seen = false;
    while (!seen && Clock::now() < deadline) seen = PLAT_PollHasInput(rd.get());
    EXPECT_TRUE(seen);
    PLAT_PollUnwatch(rd.get());
    EXPECT_EQ(PLAT_PollCount(), watched - 1);
    EXPECT_TRUE(PLAT_PollHasInput(rd.get()));
}
