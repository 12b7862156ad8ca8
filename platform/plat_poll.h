// The readiness set of the main loop: one epoll set for every descriptor a
// pass serves (sockets, serial ports, CAN endpoints) and an eventfd.
//
// A subsystem adds a descriptor when it opens it and removes it before it
// closes it. Registrations are edge-triggered: an item reports new input,
// room to write or a hang-up once, and a descriptor whose data is left
// unread on purpose does not wake the loop again. The loop waits with
// PLAT_PollWait between passes; it ends early when a descriptor reports or
// when a subsystem asked for the next pass at once with PLAT_PollWake.
#pragma once

#include <cstdint>
#include <span>

// Event bits as epoll reports them.
enum : uint32_t {
    PLAT_POLL_IN = 0x001,      // EPOLLIN
    PLAT_POLL_OUT = 0x004,     // EPOLLOUT
    PLAT_POLL_ERR = 0x008,     // EPOLLERR
    PLAT_POLL_HUP = 0x010,     // EPOLLHUP
    PLAT_POLL_RDHUP = 0x2000,  // EPOLLRDHUP
};

// Who takes the reports of an item: a group keeps a list of its items that
// reported since the owner last took it; PLAT_POLL_WAKE items only end the wait.
enum : uint8_t { PLAT_POLL_WAKE = 0, PLAT_POLL_NET = 1, PLAT_POLL_GROUPS = 2 };
// Longer than the network layer's items (330 connections, 32 listeners).
constexpr unsigned PLAT_POLL_LIST_MAX = 512;

// One registration, kept by its owner (inside the owner's record) for as long
// as the descriptor is in the set. An item whose owner is null is not in the
// set (a zeroed record holds none).
struct PlatPollItem {
    int fd;           // the descriptor registered
    uint32_t events;  // bits reported and not yet cleared by the owner
    void *owner;      // the owner's record; null: not registered
    uint8_t group;
    uint8_t listed;   // in its group's list now
    uint8_t kind;     // owner's own tag
    uint32_t *tally;  // counted up by each report when set (PLAT_PollTally)
};

// Adds fd with the events wanted (PLAT_POLL_* bits) for owner (not null); 0 on
// success. An item that holds another descriptor is removed first. The set
// reports the descriptor's state at once when it is already ready.
int PLAT_PollAdd(PlatPollItem *item, int fd, uint32_t events, uint8_t group, void *owner, uint8_t kind);
// Removes the item's descriptor from the set and from its group's list;
// call it before the descriptor is closed. Harmless on an item not added.
void PLAT_PollDel(PlatPollItem *item);
// An item that is not in the set (fd -1, nothing reported).
void PLAT_PollClear(PlatPollItem *item);
// Each report of the item (added) counts *tally up as well: a subsystem that
// keeps the count it last served learns, by one comparison, that none of
// its descriptors reported since. Null: no count.
void PLAT_PollTally(PlatPollItem *item, uint32_t *tally);

// Descriptors whose input only ends the wait (serial ports, CAN endpoints,
// the IEC runtime's sockets):
// kept in a fixed table of the platform layer. Unwatch before closing.
constexpr unsigned PLAT_POLL_WATCH_MAX = 64;
int PLAT_PollWatch(int fd);
void PLAT_PollUnwatch(int fd);

// Each report of the watched descriptor counts *tally up as well (see
// PLAT_PollTally); -1 when fd is not watched.
int PLAT_PollWatchTally(int fd, uint32_t *tally);

// Whether a watched descriptor may have input: false only while the loop
// waits on the set (PLAT_PollWait in use) and the set reported nothing since
// PLAT_PollInputTaken. Descriptors not watched always answer true.
bool PLAT_PollHasInput(int fd);
// The reader found the descriptor empty (EAGAIN, or a read shorter than asked).
void PLAT_PollInputTaken(int fd);

// Waits at most max_us for a report (0: only takes what is there), then files
// every report with its item. Answers the number of reports; a wake request
// made since the last wait ends it at once. With a pace set and max_us at
// least its period, the wait ends at the pace's next tick instead.
int PLAT_PollWait(uint32_t max_us);
// The loop's pace: a periodic timer in the set whose ticks end the waits as
// long as the period or longer, so that such a wait arms no time-out of its
// own (a time-out shorter than the kernel's tick is programmed into the
// timer hardware and taken out again at each wait; on a virtual machine each
// of the two costs an exit to the host). 0 ends the pace. 0 on success.
int PLAT_PollPace(uint32_t period_us);
// Files what the set reports now, without waiting: for a subsystem about to
// serve its descriptors. With next_pass, reports found make the next wait
// end at once (they are served on the next pass). Nothing is asked of the
// kernel when the set was read less than 50 us ago.
int PLAT_PollHarvest(bool next_pass);
// Whether the next wait ends at once: a pass was asked for (PLAT_PollWake, or
// reports found by a harvest for the next pass) and no wait took it yet.
bool PLAT_PollKicked();
// The next wait ends at once: for a subsystem that queued work for the next
// pass. Safe from any thread once the loop has made the set (another thread
// writes the eventfd).
void PLAT_PollWake();
// The group's items that reported since the last call, in report order; the
// list is emptied (the items keep their event bits). Valid until the next wait.
std::span<PlatPollItem *const> PLAT_PollTake(uint8_t group);
// Each report filed for one of the group's items counts *tally up as well
// (null: none).
void PLAT_PollGroupTally(uint8_t group, uint32_t *tally);
// Whether the set was read 50 us ago or longer: a harvest would ask the
// kernel now.
bool PLAT_PollStale();
// Reports filed for the group's items so far (wraps): a subsystem that kept
// the last value it served knows, by one comparison, that none of its
// descriptors reported since.
uint32_t PLAT_PollFiled(uint8_t group);
// Whether a loop waits on the set between its passes (PLAT_PollWait called):
// from then on an item's event bits are its whole news, and a descriptor
// whose item reported no input needs no read to know it is empty.
bool PLAT_PollLoopWaits();
// Descriptors in the set now (the eventfd not counted).
unsigned PLAT_PollCount();
