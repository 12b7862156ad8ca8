// The epoll set of the main loop and its eventfd. Created at first use; the
// reports are filed into the items and their groups' lists, fixed tables, no
// allocation.
#include "platform/plat_poll.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <ctime>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include "platform/plat_assert.h"
#include "platform/plat_fd.h"

namespace {

struct PollGroup {
    std::array<PlatPollItem *, PLAT_POLL_LIST_MAX> list;
    unsigned count;
    uint32_t filed;   // reports filed so far (wraps)
    uint32_t *tally;  // counted up with filed when set
};

struct PollSet {
    PlatFd ep;
    PlatFd wake;       // eventfd: another thread asks for a pass
    PlatFd pace;       // timerfd: the loop's periodic pass when nothing reports
    uint32_t pace_us;  // its period, 0 none
    unsigned registered;
    std::atomic<bool> kicked;      // the next wait does not sleep
    std::atomic<bool> wake_armed;  // the eventfd holds a count not yet read
    bool has_pwait2;
    pthread_t waiter;  // thread of the last wait
    bool waiter_known;
    bool loop_waits;       // a loop waits on the set between its passes
    int64_t last_read_ns;  // end of the last wait or harvest
    std::array<PollGroup, PLAT_POLL_GROUPS> groups;
};
PollSet poll_set{{}, {}, {}, 0, 0, {false}, {false}, true, {}, false, false, 0, {}};
constexpr int64_t kFreshNs = 50000;

int64_t NowNs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}
std::array<PlatPollItem, PLAT_POLL_WATCH_MAX> watched;
// Index + 1 into watched of a descriptor below kWatchIndexFds (0: not
// watched), so that a reader finds its item with one look-up.
constexpr int kWatchIndexFds = 4096;
std::array<uint8_t, kWatchIndexFds> watch_index;
// Mark the eventfd and the timerfd in the set.
int wake_tag, pace_tag;

bool Ready() {
    if (poll_set.ep.valid()) return true;
    poll_set.ep.reset(epoll_create1(EPOLL_CLOEXEC));
    if (!poll_set.ep.valid()) return false;
    poll_set.wake.reset(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (poll_set.wake.valid()) {
        struct epoll_event ev {};
        ev.events = EPOLLIN | EPOLLET;
        ev.data.ptr = &wake_tag;
        epoll_ctl(poll_set.ep.get(), EPOLL_CTL_ADD, poll_set.wake.get(), &ev);
    }
    return true;
}

void Unlist(PlatPollItem *item) {
    if (!item->listed || NEVER(item->group >= PLAT_POLL_GROUPS)) return;  // File lists only groups of the set
    PollGroup &g = poll_set.groups[item->group];
    for (unsigned i = 0; i < g.count; i++) {
        if (g.list[i] != item) continue;
        for (unsigned j = i + 1; j < g.count; j++) g.list[j - 1] = g.list[j];
        g.count--;
        break;
    }
    item->listed = 0;
}

void File(PlatPollItem *item, uint32_t ev) {
    item->events |= ev;
    if (item->tally != nullptr) ++*item->tally;
    if (item->group == PLAT_POLL_WAKE || NEVER(item->group >= PLAT_POLL_GROUPS)) return;
    PollGroup &g = poll_set.groups[item->group];
    g.filed++;
    if (g.tally != nullptr) ++*g.tally;
    if (item->listed) return;
    if (NEVER(g.count >= g.list.size())) return;  // a group has fewer items than the list holds
    g.list[g.count++] = item;
    item->listed = 1;
}

int Epoll(struct epoll_event *evs, int max, uint32_t us) {
    if (us == 0) return epoll_wait(poll_set.ep.get(), evs, max, 0);
    // A wait as long as the pace or longer ends at the pace's next tick at
    // the latest: no time-out of its own to arm (and cancel) each time.
    if (poll_set.pace_us != 0 && us >= poll_set.pace_us) return epoll_wait(poll_set.ep.get(), evs, max, -1);
    if (poll_set.has_pwait2) {
        struct timespec ts {
            time_t(us / 1000000), long(us % 1000000) * 1000
        };
        const int n = epoll_pwait2(poll_set.ep.get(), evs, max, &ts, nullptr);
        if (n >= 0 || errno != ENOSYS) return n;
        poll_set.has_pwait2 = false;  // an older kernel: whole milliseconds
    }
    return epoll_wait(poll_set.ep.get(), evs, max, int((us + 999) / 1000));
}

}  // namespace

void PLAT_PollClear(PlatPollItem *item) { *item = {-1, 0, nullptr, 0, 0, 0, nullptr}; }

void PLAT_PollTally(PlatPollItem *item, uint32_t *tally) { item->tally = tally; }

int PLAT_PollAdd(PlatPollItem *item, int fd, uint32_t events, uint8_t group, void *owner, uint8_t kind) {
    if (item->owner != nullptr) PLAT_PollDel(item);
    PLAT_PollClear(item);
    if (fd < 0 || owner == nullptr || !Ready()) return -1;
    struct epoll_event ev {};
    ev.events = events | EPOLLET;
    ev.data.ptr = item;
    if (epoll_ctl(poll_set.ep.get(), EPOLL_CTL_ADD, fd, &ev) != 0) return -1;
    item->fd = fd;
    item->owner = owner;
    item->group = group;
    item->kind = kind;
    poll_set.registered++;
    return 0;
}

void PLAT_PollDel(PlatPollItem *item) {
    if (item->owner == nullptr) return;
    Unlist(item);
    if (ALWAYS(item->fd >= 0) && poll_set.ep.valid()) {  // an owned item holds its descriptor
        struct epoll_event ev {};
        // Only a descriptor added (and counted) is removed from the set.
        if (epoll_ctl(poll_set.ep.get(), EPOLL_CTL_DEL, item->fd, &ev) == 0 && ALWAYS(poll_set.registered > 0))
            poll_set.registered--;
    }
    PLAT_PollClear(item);
}

namespace {
int Take(uint32_t max_us, bool next_pass) {
    if (!Ready()) return 0;
    struct ReadAt {
        ~ReadAt() { poll_set.last_read_ns = NowNs(); }
    } read_at;
    if (!poll_set.waiter_known) {
        poll_set.waiter = pthread_self();
        poll_set.waiter_known = true;
    }
    if (max_us != 0 && poll_set.kicked.exchange(false)) max_us = 0;
    std::array<struct epoll_event, 64> evs;
    int n = Epoll(evs.data(), int(evs.size()), max_us);
    if (n < 0) n = 0;
    int reports = 0;
    for (int i = 0; i < n; i++) {
        void *p = evs[size_t(i)].data.ptr;
        if (p == &wake_tag) {
            uint64_t v;
            while (read(poll_set.wake.get(), &v, sizeof v) > 0) {
            }
            poll_set.wake_armed = false;
            poll_set.kicked = false;  // this wait was the pass asked for
            continue;
        }
        if (p == &pace_tag) {
            uint64_t v;
            if (read(poll_set.pace.get(), &v, sizeof v) < 0) {
            }  // the ticks passed: one pass follows whatever their number
            continue;
        }
        File(static_cast<PlatPollItem *>(p), evs[size_t(i)].events);
        reports++;
    }
    // More reports than one call takes, or reports the owners serve on the
    // next pass: the next wait does not sleep.
    if (n == int(evs.size()) || (next_pass && reports > 0)) poll_set.kicked = true;
    return reports;
}
}  // namespace

int PLAT_PollWait(uint32_t max_us) {
    poll_set.loop_waits = true;
    // A pass asked for at once, the set read moments ago: no need to ask the
    // kernel again now (the next reading is at most 50 us away).
    if (max_us != 0 && poll_set.ep.valid() && poll_set.kicked && NowNs() - poll_set.last_read_ns < kFreshNs) {
        poll_set.kicked = false;
        return 0;
    }
    return Take(max_us, false);
}

int PLAT_PollHarvest(bool next_pass) {
    if (!poll_set.ep.valid()) return 0;
    // The set was read moments ago (the loop's wait just before this pass,
    // or another subsystem of it): what came since is seen by the next wait.
    if (NowNs() - poll_set.last_read_ns < kFreshNs) return 0;
    // A wake request stays for the loop's wait.
    const bool kicked = poll_set.kicked.exchange(false);
    const int n = Take(0, next_pass);
    if (kicked) poll_set.kicked = true;
    return n;
}

bool PLAT_PollKicked() { return poll_set.kicked; }

void PLAT_PollWake() {
    if (poll_set.waiter_known && pthread_equal(pthread_self(), poll_set.waiter)) {
        poll_set.kicked = true;
        return;
    }
    poll_set.kicked = true;
    // Another thread: the eventfd ends a wait in progress. Before the loop
    // made the set there is no wait to end.
    if (!poll_set.ep.valid() || !poll_set.wake.valid() || poll_set.wake_armed.exchange(true)) return;
    const uint64_t one = 1;
    if (write(poll_set.wake.get(), &one, sizeof one) < 0) poll_set.wake_armed = false;
}

std::span<PlatPollItem *const> PLAT_PollTake(uint8_t group) {
    if (group >= PLAT_POLL_GROUPS) return {};
    PollGroup &g = poll_set.groups[group];
    const unsigned n = g.count;
    for (unsigned i = 0; i < n; i++) g.list[i]->listed = 0;
    g.count = 0;
    // The entries stay in the table until the next report files one.
    return {g.list.data(), n};
}

void PLAT_PollGroupTally(uint8_t group, uint32_t *tally) {
    if (group < PLAT_POLL_GROUPS) poll_set.groups[group].tally = tally;
}

bool PLAT_PollStale() { return poll_set.ep.valid() && NowNs() - poll_set.last_read_ns >= kFreshNs; }

uint32_t PLAT_PollFiled(uint8_t group) { return group < PLAT_POLL_GROUPS ? poll_set.groups[group].filed : 0; }

bool PLAT_PollLoopWaits() { return poll_set.loop_waits; }

int PLAT_PollPace(uint32_t period_us) {
    if (!Ready()) return -1;
    if (poll_set.pace.valid()) {
        struct epoll_event ev {};
        epoll_ctl(poll_set.ep.get(), EPOLL_CTL_DEL, poll_set.pace.get(), &ev);
        poll_set.pace.reset();
    }
    poll_set.pace_us = 0;
    if (period_us == 0) return 0;
    PlatFd t(timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC));
    if (!t.valid()) return -1;
    const struct timespec period { time_t(period_us / 1000000), long(period_us % 1000000) * 1000 };
    const struct itimerspec it { period, period };
    struct epoll_event ev {};
    ev.events = EPOLLIN | EPOLLET;
    ev.data.ptr = &pace_tag;
    if (timerfd_settime(t.get(), 0, &it, nullptr) != 0 ||
        epoll_ctl(poll_set.ep.get(), EPOLL_CTL_ADD, t.get(), &ev) != 0)
        return -1;
    poll_set.pace = std::move(t);
    poll_set.pace_us = period_us;
    return 0;
}

unsigned PLAT_PollCount() { return poll_set.registered; }

void PLAT_PollUnwatch(int fd) {
    for (PlatPollItem &w : watched) {
        if (w.owner != nullptr && w.fd == fd) PLAT_PollDel(&w);
    }
    if (fd >= 0 && fd < kWatchIndexFds) watch_index[size_t(fd)] = 0;
}

int PLAT_PollWatch(int fd) {
    if (fd < 0) return -1;
    // A number already in the table may be a descriptor closed without
    // unwatching and opened again: registered afresh.
    PLAT_PollUnwatch(fd);
    for (unsigned i = 0; i < watched.size(); i++) {
        PlatPollItem &w = watched[i];
        if (w.owner != nullptr) continue;
        const int r = PLAT_PollAdd(&w, fd, PLAT_POLL_IN, PLAT_POLL_WAKE, &w, 0);
        if (r == 0 && fd < kWatchIndexFds) watch_index[size_t(fd)] = uint8_t(i + 1);
        return r;
    }
    return -1;
}

namespace {
PlatPollItem *Watched(int fd) {
    if (fd < 0) return nullptr;
    if (fd < kWatchIndexFds) {
        const unsigned i = watch_index[size_t(fd)];
        return i != 0 && watched[i - 1].owner != nullptr && watched[i - 1].fd == fd ? &watched[i - 1] : nullptr;
    }
    for (PlatPollItem &w : watched) {
        if (w.owner != nullptr && w.fd == fd) return &w;
    }
    return nullptr;
}
}  // namespace

int PLAT_PollWatchTally(int fd, uint32_t *tally) {
    PlatPollItem *w = Watched(fd);
    if (w == nullptr) return -1;
    w->tally = tally;
    return 0;
}

bool PLAT_PollHasInput(int fd) {
    if (!poll_set.waiter_known) return true;  // nobody waits on the set: read
    PlatPollItem *w = Watched(fd);
    if (w == nullptr || (w->events & PLAT_POLL_IN)) return true;
    PLAT_PollHarvest(false);
    return (w->events & PLAT_POLL_IN) != 0;
}

void PLAT_PollInputTaken(int fd) {
    if (PlatPollItem *w = Watched(fd)) w->events &= ~PLAT_POLL_IN;
}
