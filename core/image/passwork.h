// Work waiting for the steps of the main loop, in one record of two cache
// lines.
//
// A pass with nothing to do tests this record and calls into no module: each
// module marks its step here when work comes for it (a readiness report is
// counted, a frame or a request is queued, a timer is armed) or publishes
// when its next time-based work falls due, and the loop tests the record
// before it calls the step. A step left unmarked by mistake would miss its
// work; one marked without need only costs its call, so a module marks
// whenever in doubt.
//
// Until the loop waits on the readiness set (start-up, and tests that step
// passes by hand) every step runs, as if every mark were set.
#pragma once

#include <array>
#include <cstdint>

// The services the Ethernet manager steps, each with its mark bit and due
// time in the record.
enum PassNetStep : uint8_t {
    PASS_NET_QNCAN,
    PASS_NET_PING,
    PASS_NET_EGD,
    PASS_NET_MODBUS,
    PASS_NET_SRTP,
    PASS_NET_HTTP,
    PASS_NET_FTP,
    PASS_NET_EIP,
    PASS_NET_VCOMM,
    PASS_NET_EMAIL,
    PASS_NET_ASCII,
    PASS_NET_STEPS
};
// A service idle until input or a change comes publishes a due time this far
// ahead (about 12 days; a time so far is then taken as due once, harmlessly).
constexpr uint32_t PASS_IDLE_MS = 1u << 30;

struct alignas(64) PassWork {
    uint8_t every = 1;          // 1: every step runs whatever the marks say
    uint8_t fresh = 0;          // the pass follows the loop's wait: the readiness set was just read
    uint8_t can_tx = 0;         // CAN frames queued for sending
    uint8_t can_poll = 0;       // the CAN endpoint is not in the readiness set: read it every pass
    uint8_t reads = 0;          // Modbus or SRTP reads wait for their answer after the scan
    uint8_t rct = 0;            // a receive-character timer runs (core/image/timebase.h)
    uint8_t tx_armed = 0;       // a software timer (core/image/tx.h) is active: tx_due holds
    uint8_t net_poll = 0;       // a network socket is not in the readiness set: every service steps
    uint8_t net_thread = 0;     // the connection poll has work left (a connection waits, input unread)
    uint8_t dhcp_busy = 1;      // the DHCP client of interface 0 is not idle and unbound
    uint32_t can_rx = 0;        // reports of the CAN endpoint (counted by the readiness set)
    uint32_t can_seen = 0;      // can_rx when the CAN step last read
    uint32_t tx_due = 0;        // 100 us ticks: the earliest software timer falls due
    uint32_t net = 0;           // reports of every network socket (connections, listeners, datagrams)
    uint32_t net_seen = 0;      // net when the network services last stepped
    uint32_t net_polled = 0;    // net when the connection poll last ran
    uint32_t net_gen = 0;       // counted up by a change the network services look at
    uint32_t net_gen_seen = 0;  // net_gen when they last stepped
    uint32_t net_marks = 0;     // bit 1 << PassNetStep: the service has work for its next step
    std::array<uint32_t, PASS_NET_STEPS> net_due{};  // ms (_tx_time_get): each service's next work
};
extern PassWork pass_work;

// Whether the time `due` has come at `now` (both of one wrapping clock).
inline bool PassWork_Due(uint32_t due, uint32_t now) { return int32_t(now - due) >= 0; }
// A change the network services look at (their configuration, the run
// flag, the link, the address set): each steps on the next pass.
inline void PassWork_NetChange() { pass_work.net_gen++; }
// Work for one network service on its next step.
inline void PassWork_NetMark(PassNetStep s) { pass_work.net_marks |= 1u << s; }
