// CAN port driver: rings, the per-pass service, error frames, bus load.
#include "io/candrv.h"

#include <cstdio>
#include <cstring>

#include "core/image/bytes.h"
#include "core/image/passwork.h"
#include "core/image/syshook.h"
#include "core/image/timebase.h"
#include "platform/plat.h"
#include "platform/plat_can.h"
#include "platform/plat_poll.h"

std::array<CanInfo, CAN_PORTS> CanPort;

const char *const port_str[2] = {"can0", "can1"};
const char *const dev_str[2] = {"FlexCAN.0", "FlexCAN.1"};
const char *const baud_str[5] = {"125000", "250000", "500000", "1000000", "50000"};
const uint16_t bpms[5] = {125, 250, 500, 1000, 50};
const uint8_t CanBaud[4][2] = {{0x03, 0x1C}, {0x01, 0x1C}, {0x00, 0x1C}, {0x00, 0x14}};

namespace {

constexpr uint32_t kErrCtrl = 0x04, kErrBusOff = 0x40;
bool ever_opened[CAN_PORTS];

CanInfo *Port(uint32_t port) { return port < CAN_PORTS ? &CanPort[port] : nullptr; }

void Event(CanInfo &c, unsigned n, uint32_t arg) {
    if (c.events[n] != nullptr) c.events[n](arg);
}

void Count(CanInfo &c, unsigned i) {
    if (c.counters[i] != 0xFFFF) c.counters[i]++;
}

void Shell(const char *cmd) {
    SysHook_EnableInterrupt(0);
    if (PLAT_System(cmd) != 0) std::perror("system");
}

// Writes text to an attribute of the port's platform device.
void WriteAttr(uint32_t port, const char *attr, const char *text) {
    char abs[96], path[512];
    std::snprintf(abs, sizeof abs, "/sys/devices/platform/%s/%s", dev_str[port], attr);
    FILE *f = PLAT_Path(abs, path, sizeof path) ? std::fopen(path, "r+") : nullptr;
    if (f == nullptr) {
        std::perror("fopen");
        return;
    }
    if (std::fputs(text, f) < 0) std::perror("fputs");
    if (std::fclose(f) != 0) std::perror("fclose");
}

uint8_t RateCode(const CanInfo &c) { return c.cfg[CAN_CFG_RATE] <= 4 ? c.cfg[CAN_CFG_RATE] : 0; }

void BusLoad(CanInfo &c, uint32_t len, bool tx) {
    uint32_t bits = c.cfg[CAN_CFG_MODE] == 5 ? 72 : 52;
    bits += len > 8 ? 64 : 8 * len;
    const uint16_t now = uint16_t(FPGA_GetFrt());
    c.load_time = now;
    if (!c.window_open) {
        c.window_open = 1;
        c.tx_bits = c.rx_bits = 0;
        c.window_start = now;
        return;
    }
    (tx ? c.tx_bits : c.rx_bits) += bits;
    const uint16_t ms = uint16_t(uint16_t(now - c.window_start) / 10);
    if (ms < 1000) return;
    const uint64_t denom = uint64_t(bpms[RateCode(c)]) * ms;
    c.tx_load = uint16_t(1000ull * c.tx_bits / denom);
    c.rx_load = uint16_t(1000ull * c.rx_bits / denom);
    c.tx_bits = c.rx_bits = 0;
    c.window_start = now;
}

void ErrorFrame(CanInfo &c, uint32_t id, const uint8_t *data) {
    if (id & kErrCtrl) {
        const uint8_t b = data[1];
        if (b & 0x01) c.status |= CAN_ST_CTRLOVR;
        if (b & 0x14) c.status |= CAN_ST_RXWARN;
        if (b & 0x28) c.status |= CAN_ST_TXWARN;
    }
    if (id & kErrBusOff) c.status |= CAN_ST_BUSOFF;
    const uint8_t s = uint8_t(c.status | (c.rx_overflow ? CAN_ST_RXOVR : 0));
    if (s & CAN_ST_TXWARN) Count(c, 0);
    if (s & CAN_ST_RXWARN) Count(c, 1);
    if (s & CAN_ST_CTRLOVR) Count(c, 3);
    if (s & CAN_ST_BIT64) Count(c, 4);
    if (s & CAN_ST_BUSOFF) Count(c, 5);
    c.status_seen |= c.status;
    Event(c, 2, 1);
    c.status = 0;
}

// The ring index after i.
uint16_t RingNext(uint16_t i) { return uint16_t(i + 1 == CAN_RING ? 0 : i + 1); }

}  // namespace

uint32_t CanIdFilterDefault(uint32_t) { return 1; }

void _Can_Init(uint32_t port, const CanPortConfig &settings) {
    CanInfo *pc = Port(port);
    if (pc == nullptr) return;
    CanInfo &c = *pc;
    if (c.open) {
        PLAT_CanClose(c.fd);
        c.fd = 0;
        c.open = 0;
    }
    c.cfg = settings;
    if (!ever_opened[port]) {
        ever_opened[port] = true;
        c.events = {};
        c.filter = CanIdFilterDefault;
    }
    c.status = 0;
    c.status_seen = 0;
    c.rx.in = c.rx.out = c.rx.count = 0;
    c.tx.in = c.tx.out = c.tx.count = 0;
    c.rx_overflow = 0;
    c.tx_load = c.rx_load = 0;
    c.counters = {};
    c.window_open = 0;
    c.load_time = uint16_t(FPGA_GetFrt());
    char cmd[64];
    std::snprintf(cmd, sizeof cmd, "ip link set %s down", port_str[port]);
    Shell(cmd);
    WriteAttr(port, "bitrate", baud_str[RateCode(c)]);
    WriteAttr(port, "abort", "1");
    std::snprintf(cmd, sizeof cmd, "ip link set %s up", port_str[port]);
    Shell(cmd);
    c.fd = PLAT_CanOpen(port_str[port]);
    // Each failure is printed with the name of the call that failed: the
    // interface is looked up for the bind, so its failure is the bind's.
    if (c.fd < 0)
        std::perror(plat_can_open_step == PLAT_CAN_STEP_FCNTL ? "fcntl"
                    : plat_can_open_step == PLAT_CAN_STEP_INTERFACE || plat_can_open_step == PLAT_CAN_STEP_BIND
                        ? "bind"
                        : "socket");
    else if (PLAT_CanSetErrMask(c.fd, kErrCtrl | kErrBusOff) != 0)
        std::perror("setsockopt");
    if (c.cfg[CAN_CFG_MODE] == 3 && c.fd >= 0 && PLAT_CanSetSndBuf(c.fd, 0) != 0) std::perror("setsockopt");
    c.open = 1;
    // The loop reads port 0 when the readiness set reported it, or every pass
    // when its endpoint is not in the set.
    if (port == 0) pass_work.can_poll = c.fd >= 0 && PLAT_CanTally(c.fd, &pass_work.can_rx) != 0 ? 1 : 0;
}

// Not an interrupt handler: polled first in every main-loop pass.
void Can_Isr() {
    CanInfo &c = CanPort[0];
    pass_work.can_seen = pass_work.can_rx;
    if (!c.open || c.fd < 0) return;
    const bool ext = c.cfg[CAN_CFG_MODE] == 5;
    bool stored = false;
    uint8_t f[PLAT_CAN_FRAME];
    while (PLAT_CanRead(c.fd, f) == int(PLAT_CAN_FRAME)) {
        const uint32_t word = LE_Get32(f);
        if (word & PLAT_CAN_ERR) {
            ErrorFrame(c, word, f + 8);
            continue;
        }
        uint8_t len = f[4] & 0x0F;
        if (len > 8) len = 8;
        // Every data or remote frame on the bus counts for the receive load,
        // also one the port does not take.
        BusLoad(c, len, false);
        // 29-bit frames mean nothing to an 11-bit port: cutting them would
        // alias another identifier.
        if ((word & PLAT_CAN_EFF) && !ext) continue;
        const uint32_t id = ext ? (word & 0x1FFFFFFFu) : (word & 0x7FFu);
        if (c.filter != nullptr && !c.filter(id)) continue;
        if (c.rx.count >= CAN_RING) {
            Count(c, 2);
            c.rx_overflow = 1;
            c.status_seen |= CAN_ST_RXOVR;
            Event(c, 2, 1);
            continue;
        }
        CanMsg &m = c.rx.msg[c.rx.in];
        m.len = len;
        m.rtr = (word & PLAT_CAN_RTR) ? 1 : 0;
        m.id = id;
        std::memcpy(m.data.data(), f + 8, 8);
        c.rx.in = RingNext(c.rx.in);
        c.rx.count++;
        c.rx_overflow = 0;
        stored = true;
    }
    if (stored) Event(c, 0, 1);
    Can_IsrTx();
}

void Can_IsrTx() {
    CanInfo &c = CanPort[0];
    if (!c.open || c.fd < 0) {
        pass_work.can_tx = 0;  // a port opened again starts with an empty ring
        return;
    }
    const bool ext = c.cfg[CAN_CFG_MODE] == 5;
    uint8_t f[PLAT_CAN_FRAME];
    while (c.tx.count > 0) {
        const CanMsg &m = c.tx.msg[c.tx.out];
        const uint8_t len = m.len > 8 ? 8 : m.len;
        uint32_t word = ext ? ((m.id & 0x1FFFFFFFu) | PLAT_CAN_EFF) : (m.id & 0x7FFu);
        if (m.rtr) word |= PLAT_CAN_RTR;
        std::memset(f, 0, sizeof f);
        LE_Put32(f, word);
        f[4] = len;
        std::memcpy(f + 8, m.data.data(), 8);
        if (PLAT_CanWrite(c.fd, f) != int(PLAT_CAN_FRAME)) break;
        BusLoad(c, len, true);
        Event(c, 1, 1);
        c.tx.out = RingNext(c.tx.out);
        c.tx.count--;
    }
    pass_work.can_tx = c.tx.count != 0 ? 1 : 0;  // frames the socket did not take go on the next pass
}

uint32_t _Can_CheckRx(uint32_t port) {
    const CanInfo *c = Port(port);
    return c != nullptr && c->rx.count > 0 ? 1 : 0;
}
uint32_t _Can_CountRx(uint32_t port) {
    const CanInfo *c = Port(port);
    return c != nullptr ? c->rx.count : 0;
}
CanMsg *_Can_GetRx(uint32_t port) {
    CanInfo *c = Port(port);
    return c != nullptr && c->rx.count > 0 ? &c->rx.msg[c->rx.out] : nullptr;
}
void _Can_NextRx(uint32_t port) {
    CanInfo *c = Port(port);
    if (c == nullptr || c->rx.count == 0) return;
    c->rx.out = RingNext(c->rx.out);
    c->rx.count--;
}
void _Can_FlushRx(uint32_t port) {
    CanInfo *c = Port(port);
    if (c != nullptr) c->rx.in = c->rx.out = c->rx.count = 0;
}
uint32_t _Can_CheckTx(uint32_t port) {
    const CanInfo *c = Port(port);
    return c != nullptr && c->tx.count < CAN_RING ? 1 : 0;
}
uint32_t _Can_CountTx(uint32_t port) {
    const CanInfo *c = Port(port);
    return c != nullptr ? c->tx.count : 0;
}
CanMsg *_Can_NextTx(uint32_t port) {
    CanInfo *c = Port(port);
    return c != nullptr && c->tx.count < CAN_RING ? &c->tx.msg[c->tx.in] : nullptr;
}
void _Can_PutTx(uint32_t port, CanMsg *) {
    CanInfo *c = Port(port);
    if (c == nullptr || c->tx.count >= CAN_RING) return;
    c->tx.in = RingNext(c->tx.in);
    c->tx.count++;
    if (port == 0 && !pass_work.can_tx) {
        // The next pass sends it without waiting for the pace: frames go out
        // as soon after they are queued as each other, so the gaps between
        // them on the bus are the gaps their senders kept.
        pass_work.can_tx = 1;
        PLAT_PollWake();
    }
}
void _Can_FlushTx(uint32_t port) {
    CanInfo *c = Port(port);
    if (c != nullptr) c->tx.in = c->tx.out = c->tx.count = 0;
}
uint32_t _Can_SentTx(uint32_t) { return 0; }
void _Can_AbortTx(uint32_t) {}
void _Can_BusOn(uint32_t) {}
void _Can_BusOff(uint32_t) {}
uint32_t _Can_Lockup(uint32_t) { return 0; }

uint32_t _Can_Status(uint32_t port) {
    const CanInfo *c = Port(port);
    if (c == nullptr) return 0;
    return c->status | (c->rx_overflow ? CAN_ST_RXOVR : 0u);
}

uint32_t _Can_StatusTake(uint32_t port) {
    CanInfo *c = Port(port);
    if (c == nullptr) return 0;
    const uint32_t s = c->status_seen | c->status | (c->rx_overflow ? CAN_ST_RXOVR : 0u);
    c->status_seen = 0;
    return s;
}

void _Can_SetEvent(uint32_t port, uint32_t event, CanEventFn callback) {
    CanInfo *c = Port(port);
    if (c != nullptr && event <= 2) c->events[event] = callback;
}
CanEventFn _Can_GetEvent(uint32_t port, uint32_t event) {
    const CanInfo *c = Port(port);
    return c != nullptr && event <= 2 ? c->events[event] : nullptr;
}
void _Can_SetSWFilter(uint32_t port, CanFilterFn filter) {
    CanInfo *c = Port(port);
    if (c != nullptr) c->filter = filter != nullptr ? filter : CanIdFilterDefault;
}

const CanStats *_Can_Data(uint32_t port, uint32_t clear) {
    static CanStats stats;
    CanInfo *c = Port(port);
    if (c == nullptr) return &stats;
    if ((c->tx_load != 0 || c->rx_load != 0) && uint16_t(uint16_t(FPGA_GetFrt()) - c->load_time) >= 10000) {
        c->tx_load = c->rx_load = 0;
    }
    stats.tx_load = c->tx_load;
    stats.rx_load = c->rx_load;
    stats.counters = c->counters;
    if (clear) c->counters = {};
    return &stats;
}
