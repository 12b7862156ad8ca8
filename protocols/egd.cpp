// EGD exchanges. While the controller runs, each pass sends every produced
// exchange whose period has come, supervises the time-out of every consumed
// one, and takes at most one datagram per exchange handled, which goes to the
// first consumed exchange with its exchange ID and producer.
#include "protocols/egd.h"

#include <cstring>

#include "core/image/bytes.h"
#include "core/image/passwork.h"
#include "core/image/plcreg.h"
#include "core/image/tx.h"
#include "net/enet.h"
#include "platform/plat_assert.h"
#include "platform/plat_poll.h"

std::array<EgdState, 2> EGDConnEth;
NX_PACKET_POOL *EgdPacketPoolPtr;
uint16_t EgdPortNumber = 18246;

namespace {

constexpr uint32_t kGroupBase = 0xE0000700;  // 224.0.7.0
constexpr uint32_t kGroupMax = 32;

EgdState &StateOf(uint32_t n) { return EGDConnEth[n == 1 ? 1 : 0]; }
uint32_t IfaceOf(const NX_IP *ip) { return (ip != nullptr && ip->nx_ip_interface == 1) ? 1 : 0; }
DprConfigRec &ConfigOf(uint32_t n) { return Dpr_Configuration[n == 1 ? 1 : 0]; }
bool Running() { return LE_Get16(Dpr_Map_Ptr + DPR_RUN) != 0; }
bool Enabled(uint32_t n) { return (ConfigOf(n).enables[0] & EN0_EGD) != 0; }
uint32_t KindOf(uint32_t control) { return (control >> 13) & 7; }

// Number of exchanges: up to the first flags word of 0.
unsigned ExchangeCount(uint32_t n) {
    const DprConfigRec &c = ConfigOf(n);
    unsigned x = 0;
    while (x < EGD_EXCHANGES && c.egd[x].kind != 0) x++;
    return x;
}

unsigned StatusItems(const DprEgdExchange &e) {
    unsigned c = 0;
    for (unsigned i = 0; i < DPR_EGD_ITEMS && e.items[i][0] != 0; i++) c += KindOf(e.items[i][1]) == EGD_KIND_STATUS;
    return c;
}

// The exchange's status into each of its own status items.
void WriteStatus(uint32_t n, unsigned x) {
    const EgdState &s = StateOf(n);
    const unsigned count = StatusItems(ConfigOf(n).egd[x]);
    for (unsigned m = 0; m < count; m++) Dpr_Set_Egd_Status(s.status[x], s.status_base[x] + m);
}

void SetStatus(uint32_t n, unsigned x, uint16_t v) {
    StateOf(n).status[x] = v;
    WriteStatus(n, x);
}

// The group register of an exchange with a register-held group: the address
// word for a produced exchange, the group word for a consumed one.
uint32_t GroupRef(const DprEgdExchange &e) { return (e.kind & EGD_PRODUCED) ? e.header[1] : e.header[2]; }

struct Resolved {
    uint32_t id, address;
    uint16_t bad;  // status bits of an invalid register-held value
};

Resolved Resolve(const DprEgdExchange &e) {
    Resolved r{e.header[0], 0, 0};
    if (e.kind & EGD_ID_REG) {
        r.id = Dpr_Get_W_Data(e.header[0]);
        if (r.id < 1 || r.id > 16383) {
            r.bad = EGD_ST_BAD_ID;
            return r;
        }
    }
    uint32_t group = 0;
    if (e.kind & EGD_GROUP_REG) {
        group = Dpr_Get_W_Data(GroupRef(e));
        if (group < 1 || group > kGroupMax) {
            r.bad = EGD_ST_BAD_GROUP;
            return r;
        }
    }
    const bool produced = (e.kind & EGD_PRODUCED) != 0;
    if (e.kind & EGD_ADDR_REG)
        r.address = Dpr_Get_Dw_Data(e.header[1]);
    else if ((e.kind & EGD_GROUP_REG) && produced)
        r.address = kGroupBase + group;
    else
        r.address = e.header[1];
    if (produced && r.address != 0 && r.address <= kGroupMax) r.address += kGroupBase;
    return r;
}

void Join(EgdState &s, uint32_t group) {
    for (uint32_t i = 0; i < s.joined_count; i++) {
        if (s.joined[i] == group) return;
    }
    // One call per exchange of a configuration: the table always has room.
    if (NEVER(s.joined_count >= s.joined.size())) return;
    if (_nx_igmp_multicast_join(s.ip, group, &s.receive) == NX_SUCCESS) s.joined[s.joined_count++] = group;
}

void EgdConfig(uint32_t n) {
    EgdState &s = StateOf(n);
    DprConfigRec &c = ConfigOf(n);
    for (uint32_t i = 0; i < s.joined_count; i++) _nx_igmp_multicast_leave(s.ip, s.joined[i], &s.receive);
    s.joined_count = 0;
    _nx_udp_socket_unbind(&s.receive);
    _nx_udp_socket_delete(&s.receive);
    const unsigned count = ExchangeCount(n);
    uint32_t base = n == 1 ? Dpr_Configuration[0].egd_status_count : 0;
    for (unsigned x = 0; x < count; x++) {
        DprEgdExchange &e = c.egd[x];
        s.status_base[x] = uint16_t(base);
        base += StatusItems(e);
        if (!(e.kind & EGD_DEFINED)) continue;
        if (e.kind & EGD_PRODUCED) {
            if (!(e.kind & (EGD_ADDR_REG | EGD_GROUP_REG)) && e.header[1] != 0 && e.header[1] <= kGroupMax)
                e.header[1] += kGroupBase;
            continue;
        }
        if (!s.receive.bound) {
            if (_nx_udp_socket_create(s.ip, &s.receive, "EGD Receive Socket", 0, 0, 128, 128) != NX_SUCCESS ||
                _nx_udp_socket_bind(&s.receive, EgdPortNumber, 0) != NX_SUCCESS)
                continue;
        }
        uint32_t group = e.header[2];
        if (e.kind & EGD_GROUP_REG) {
            group = Dpr_Get_W_Data(e.header[2]);
            s.group[x] = uint16_t(group);
        }
        if (group >= 1 && group <= kGroupMax) Join(s, kGroupBase + group);
    }
}

bool GroupChanged(uint32_t n) {
    const EgdState &s = StateOf(n);
    const DprConfigRec &c = ConfigOf(n);
    const unsigned count = ExchangeCount(n);
    for (unsigned x = 0; x < count; x++) {
        const DprEgdExchange &e = c.egd[x];
        if ((e.kind & EGD_DEFINED) && !(e.kind & EGD_PRODUCED) && (e.kind & EGD_GROUP_REG) &&
            Dpr_Get_W_Data(e.header[2]) != s.group[x])
            return true;
    }
    return false;
}

void Produce(uint32_t n, unsigned x, const Resolved &r) {
    static std::array<uint8_t, EGD_HDR + EGD_DATA_MAX> buf;
    EgdState &s = StateOf(n);
    NX_PACKET *pk = nullptr;
    if (_nx_packet_allocate(EgdPacketPoolPtr, &pk, 44, 0) != NX_SUCCESS) return;
    uint16_t clock[6];
    for (unsigned i = 0; i < 6; i++) clock[i] = LE_Get16(Dpr_Map_Ptr + DPR_CLOCK + 2 * i);
    const uint32_t len = EgdBuild(n, x, r.id, EgdSecondsOf(clock), buf.data());
    // A packet's payload holds the longest message (header and 1,400 bytes).
    if (NEVER(_nx_packet_data_append(pk, buf.data(), len, EgdPacketPoolPtr, 0) != NX_SUCCESS)) {
        _nx_packet_release(pk);
        return;
    }
    _nx_udp_socket_send(&s.send, pk, r.address, EgdPortNumber);
}

void ReceiveOne(uint32_t n, bool run, uint32_t now) {
    EgdState &s = StateOf(n);
    if (!s.receive.bound) return;
    NX_PACKET *pk = nullptr;
    if (_nx_udp_socket_receive(&s.receive, &pk, 0) != NX_SUCCESS) return;
    if (run) EgdReceive(n, pk->nx_packet_prepend_ptr, pk->nx_packet_length, now);
    _nx_packet_release(pk);
}

// Days from 1970-01-01 to a civil date.
int64_t DaysFromCivil(int64_t y, uint32_t m, uint32_t d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const uint32_t yoe = uint32_t(y - era * 400);
    const uint32_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const uint32_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + int64_t(doe) - 719468;
}

}  // namespace

uint32_t EgdSecondsOf(const uint16_t *c) {
    if (c[4] < 1 || c[4] > 12 || c[3] < 1 || c[3] > 31 || c[5] < 1970) return 0;
    const int64_t days = DaysFromCivil(c[5], c[4], c[3]);
    const int64_t t = days * 86400 + int64_t(c[2]) * 3600 + int64_t(c[1]) * 60 + c[0];
    return t < 0 || t > 0xFFFFFFFFLL ? 0 : uint32_t(t);
}

void EgdClockOf(uint32_t seconds, uint32_t ms, uint16_t *out) {
    const int64_t z = int64_t(seconds / 86400) + 719468;
    const int64_t era = z / 146097;
    const uint32_t doe = uint32_t(z - era * 146097);
    const uint32_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const uint32_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const uint32_t mp = (5 * doy + 2) / 153;
    const uint32_t d = doy - (153 * mp + 2) / 5 + 1;
    const uint32_t m = mp < 10 ? mp + 3 : mp - 9;
    const int64_t y = int64_t(yoe) + era * 400 + (m <= 2);
    const uint32_t rest = seconds % 86400;
    out[0] = uint16_t(rest % 60);
    out[1] = uint16_t(rest / 60 % 60);
    out[2] = uint16_t(rest / 3600);
    out[3] = uint16_t(d);
    out[4] = uint16_t(m);
    out[5] = uint16_t(y);
    out[6] = uint16_t(ms);
}

uint32_t EgdMoveData(uint8_t *msg, uint32_t len, const uint32_t *item, uint32_t pos, uint32_t dir, unsigned x,
                     uint32_t n) {
    const uint32_t ref = item[0];
    const uint32_t kind = KindOf(item[1]);
    const uint32_t size = item[1] & 0x7FF;
    uint32_t next = pos;
    DprSetSemaphore();
    switch (kind) {
    case EGD_KIND_DATA:
        // An item that would pass the message's end (or, producing, its
        // 1,400 data bytes) is not moved, and nothing after it. A register
        // reference that starts partway into a byte moves its bits into the
        // same bit positions of the message, so it also touches the byte
        // after its length (an IEC handle's low bits are no bit offset).
        if (pos + size + ((ref % 8 != 0 && !PlcReg_IsIecHandle(ref)) ? 1 : 0) > len) {
            next = 0;
            break;
        }
        Dpr_Data_Block(ref, size * 8, msg + pos, dir, 0);
        next = pos + size;
        break;
    case EGD_KIND_TIME:
        if (dir == 1) {
            uint16_t w[7];
            EgdClockOf(LE_Get32(msg + 12), LE_Get32(msg + 16) / 1000000, w);
            uint8_t b[14];
            for (unsigned i = 0; i < 7; i++) LE_Put16(b + 2 * i, w[i]);
            Dpr_Data_Block(ref, 112, b, 1, 0);
        }
        break;
    case EGD_KIND_STAMP:
        if (dir == 1) Dpr_Data_Block(ref, 64, msg + 12, 1, 0);
        break;
    case EGD_KIND_STATUS: {
        // The exchange's status entries follow its status items in order.
        const DprEgdExchange &e = ConfigOf(n).egd[x];
        unsigned m = 0;
        for (unsigned i = 0; i < DPR_EGD_ITEMS && &e.items[i][0] != item; i++)
            m += KindOf(e.items[i][1]) == EGD_KIND_STATUS;
        Dpr_Set_Egd_Status(StateOf(n).status[x], StateOf(n).status_base[x] + m);
        break;
    }
    case EGD_KIND_SKIP:
        if (dir == 1) {
            if (pos + size > len) {
                next = 0;
                break;
            }
            next = pos + size;
        }
        break;
    default: break;
    }
    DprClearSemaphore();
    return next;
}

uint32_t EgdBuild(uint32_t n, unsigned x, uint32_t id, uint32_t seconds, uint8_t *buf) {
    EgdState &s = StateOf(n);
    // The whole message starts cleared: an item that starts or ends partway
    // into a byte leaves that byte's other bits as they were, which would
    // otherwise be the previous message's (perhaps another exchange's).
    std::memset(buf, 0, EGD_HDR + EGD_DATA_MAX);
    buf[0] = EGD_TYPE;
    buf[1] = EGD_VERSION;
    LE_Put16(buf + 2, s.counter[x]++);
    BE_Put32(buf + 4, s.ip ? s.ip->nx_ip_address : 0);
    LE_Put32(buf + 8, id);
    LE_Put32(buf + 12, seconds);
    const DprEgdExchange &e = ConfigOf(n).egd[x];
    uint32_t pos = EGD_HDR;
    for (unsigned i = 0; i < DPR_EGD_ITEMS && e.items[i][0] != 0; i++) {
        const uint32_t next = EgdMoveData(buf, EGD_HDR + EGD_DATA_MAX, e.items[i], pos, 0, x, n);
        if (next == 0) break;
        pos = next;
    }
    return pos;
}

uint32_t EgdReceive(uint32_t n, const uint8_t *msg, uint32_t len, uint32_t now) {
    // Only a whole header of a data message (type 13) is looked at: a shorter
    // datagram, or one of another type (a command, not exchange data), is
    // dropped as one that matches no exchange.
    if (len < EGD_HDR || msg[0] != EGD_TYPE) return 0;
    const uint32_t id = LE_Get32(msg + 8);
    const uint32_t producer = BE_Get32(msg + 4);
    const DprConfigRec &c = ConfigOf(n);
    EgdState &s = StateOf(n);
    const unsigned count = ExchangeCount(n);
    for (unsigned x = 0; x < count; x++) {
        const DprEgdExchange &e = c.egd[x];
        if (!(e.kind & EGD_DEFINED) || (e.kind & EGD_PRODUCED)) continue;
        const Resolved r = Resolve(e);
        if (r.bad || r.id != id || r.address != producer) continue;
        s.time[x] = now;
        const uint16_t old = s.status[x];
        s.status[x] = (old == EGD_ST_TIMEOUT || old == EGD_ST_LINK) ? EGD_ST_RECOVERED
                      : (LE_Get16(msg + 20) & 2)                    ? EGD_ST_FLAGGED
                                                                    : EGD_ST_OK;
        uint32_t pos = EGD_HDR;
        for (unsigned i = 0; i < DPR_EGD_ITEMS && e.items[i][0] != 0; i++) {
            pos = EgdMoveData(const_cast<uint8_t *>(msg), len, e.items[i], pos, 1, x, n);
            if (pos == 0) break;
        }
        return 1;
    }
    return 0;
}

// Turned off, EGD does not listen: the receive socket closes, and a later
// turn-on configures the exchanges (and binds it) again.
void EgdOff(EgdState &s) {
    s.configure_later = 1;
    if (s.receive.fd < 0) return;
    for (uint32_t i = 0; i < s.joined_count; i++) _nx_igmp_multicast_leave(s.ip, s.joined[i], &s.receive);
    s.joined_count = 0;
    _nx_udp_socket_unbind(&s.receive);
    _nx_udp_socket_delete(&s.receive);
}

uint32_t Egd_Init(NX_IP *ip, NX_PACKET_POOL *pool) {
    EgdPacketPoolPtr = pool;
    const uint32_t n = IfaceOf(ip);
    EgdState &s = StateOf(n);
    s.ip = ip;
    uint32_t r = _nx_udp_socket_create(ip, &s.send, "EGD Send Socket", 0, 0, 128, 5);
    if (r == NX_SUCCESS) r = _nx_udp_socket_bind(&s.send, 0, 0);
    if (r != NX_SUCCESS) return r;
    r = _nx_udp_socket_create(ip, &s.receive, "EGD Receive Socket", 0, 0, 128, 128);
    if (r == NX_SUCCESS && Enabled(n)) r = _nx_udp_socket_bind(&s.receive, EgdPortNumber, 0);
    if (r != NX_SUCCESS) return r;
    s.time.fill(0);
    s.counter.fill(0);
    s.status.fill(0);
    s.group.fill(0);
    s.status_base.fill(0);
    s.joined_count = 0;
    s.configure_later = 1;
    s.prev_run = 0;
    Egd_Config(n);
    return 0;
}

void Egd_Config(uint32_t n) {
    EgdState &s = StateOf(n);
    if (s.ip == nullptr) return;
    if (!Enabled(n)) {
        EgdOff(s);
        return;
    }
    if (!Running() || !Enet_LinkUp) {
        s.configure_later = 1;
        return;
    }
    s.configure_later = 0;
    EgdConfig(n);
}

uint32_t Egd_Due(uint32_t n, uint32_t now) {
    const EgdState &s = StateOf(n);
    uint32_t due = now + PASS_IDLE_MS;
    if (s.ip == nullptr || !Enabled(n) || s.configure_later) return due;
    const DprConfigRec &c = ConfigOf(n);
    const unsigned count = ExchangeCount(n);
    for (unsigned x = 0; x < count; x++) {
        const DprEgdExchange &e = c.egd[x];
        if (!(e.kind & EGD_DEFINED)) continue;
        if (e.kind & (EGD_ID_REG | EGD_GROUP_REG | EGD_ADDR_REG)) return now;
        if (e.header[1] == 0) continue;  // no address: the exchange is skipped
        // A step reads one datagram an exchange: more left in the queue (no
        // new report will come for them) are read on the next step.
        if (s.receive.poll.events & PLAT_POLL_IN) return now;
        const uint32_t at = s.time[x] + ((e.kind & EGD_PRODUCED) ? e.header[2] : e.header[3]);
        if (int32_t(at - due) < 0) due = at;
    }
    return due;
}

void Egd_Scan(uint32_t n) {
    EgdState &s = StateOf(n);
    if (s.ip == nullptr) return;
    if (!Enabled(n)) {
        EgdOff(s);
        return;
    }
    const bool run = Running();
    const bool link = Enet_LinkUp != 0;
    if (s.configure_later) {
        if (run && link) {
            s.configure_later = 0;
            EgdConfig(n);
        }
    } else if (GroupChanged(n)) {
        EgdConfig(n);
    }
    if (s.configure_later) {
        // Waiting for the run flag and the link: a stop meanwhile makes the
        // next run a start again (status 0).
        if (!run) s.prev_run = 0;
        return;
    }
    const uint32_t now = _tx_time_get();
    const uint16_t was_running = s.prev_run;
    if (!run || !link) {
        s.configure_later = 1;
        s.prev_run = 0;
    }
    const DprConfigRec &c = ConfigOf(n);
    const unsigned count = ExchangeCount(n);
    for (unsigned x = 0; x < count; x++) {
        const DprEgdExchange &e = c.egd[x];
        if (!(e.kind & EGD_DEFINED)) continue;
        const Resolved r = Resolve(e);
        if (r.bad) {
            SetStatus(n, x, uint16_t(s.status[x] | r.bad));
            continue;
        }
        if (r.address == 0) continue;
        const bool produced = (e.kind & EGD_PRODUCED) != 0;
        if (run) {
            // The link lost while running reports 2 at once (the previous run
            // flag is kept for it); when the link is back the exchanges go on
            // where they were, so the next message received reports 7.
            if (!s.prev_run && link) {
                s.time[x] = now;
                SetStatus(n, x, EGD_ST_START);
            } else if (!link) {
                s.time[x] = now;
                SetStatus(n, x, EGD_ST_LINK);
            } else {
                const uint32_t span = produced ? e.header[2] : e.header[3];
                if (now - s.time[x] >= span) {
                    // Production keeps its own rhythm; a late pass does not move it.
                    s.time[x] = (produced && now - s.time[x] < 2 * span) ? s.time[x] + span : now;
                    if (produced) {
                        s.status[x] = EGD_ST_OK;
                        Produce(n, x, r);
                    } else {
                        SetStatus(n, x, EGD_ST_TIMEOUT);
                    }
                }
            }
        }
        ReceiveOne(n, run, now);
    }
    // A link loss keeps the run flag; only a stop clears it.
    s.prev_run = run && (link || was_running) ? 1 : 0;
}

void Egd_DeInit(NX_IP *ip) {
    if (IfaceOf(ip) == 0) return;
    EgdState &s = StateOf(1);
    _nx_udp_socket_delete(&s.send);
    _nx_udp_socket_delete(&s.receive);
    s.ip = nullptr;
}

uint32_t Egd_ConnCnt() { return 0; }
