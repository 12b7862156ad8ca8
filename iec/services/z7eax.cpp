// Remote variable bindings: one TCP connection per remote runtime to its
// event server, whose public-variable change events are written into the
// bound local variables; status variables tell whether each link delivers.
// Two connections may be paired as redundant sources (the newer value wins).
// Connection records live in database section 33, variables in section 34.
#include <cstring>

#include "core/image/bytes.h"
#include "iec/services/z7svc.h"
#include "iec/vm/z7cnv.h"
#include "iec/vm/z7map.h"
#include "iec/vm/z7parts.h"
#include "iec/vm/z7stdlib.h"
#include "iec/vm/z7vm.h"

namespace {
constexpr uint32_t kDay = 86400000u, kWait = 3000, kBuf = 1024, kCnx = 1080, kVar = 32;
// connection record
enum : uint32_t {
    XC_CFG = 0,
    XC_SOCK = 4,
    XC_FIRST = 8,
    XC_PARTNER = 12,
    XC_RX = 16,
    XC_REQ = 1040,
    XC_TIMER = 1056,
    XC_STATE = 1060,
    XC_TOTAL = 1062,
    XC_DONE = 1064,
    XC_SENT = 1066,
    XC_NVAR = 1068,
    XC_FLAGS = 1070,
    XC_VERS = 1072,
};
// variable record
enum : uint32_t {
    XV_DATA = 0,
    XV_LOCK = 4,
    XV_VSI = 8,
    XV_TIME = 12,
    XV_DATE = 16,
    XV_CT = 20,
    XV_INDEX = 24,
    XV_ID = 26,
    XV_LOCKMASK = 28,
    XV_KIND = 29,
    XV_TYPE = 30,
};
enum : uint16_t { F_PAIR_NEXT = 16, F_PAIR_PREV = 32, F_ALL = 64 };

// Readings of the IEC runtime's millisecond clock, which wraps at 2^32 ms
// (or, as stamps of the day, at midnight): Z7VM_Elapsed takes either.
uint32_t Since(uint32_t then, uint32_t now) { return Z7VM_Elapsed(then, now); }

struct Lists {
    uint32_t cnx = 0, var = 0, end = 0;
};
Lists ListsOf(uint32_t code) {
    Lists l;
    if (Z7VMCode_GetEAX(code, &l.cnx, &l.var) == 0) return {};
    l.end = Z7Mem_BlockEnd(code);
    if (l.end == 0) return {};
    return l;
}
// Next connection code record (0 at the end): its length within the image.
uint32_t NextCnx(const Lists &l, uint32_t rec) {
    if (rec == 0 || uint64_t(rec) + 10 > l.end) return 0;
    const uint16_t len = Z7Mem_Get16(rec);
    if (len < 10 || uint64_t(rec) + len > l.end) return 0;
    return rec;
}
uint32_t VarLen(uint32_t rec) { return (Z7Mem_Get8(rec + 1) & 0x80) ? 10 : 6; }
uint32_t NextVar(const Lists &l, uint32_t rec) {
    if (rec == 0 || uint64_t(rec) + 1 > l.end || Z7Mem_Get8(rec) == 0) return 0;
    return uint64_t(rec) + VarLen(rec) <= l.end ? rec : 0;
}

struct Db {
    uint32_t db = 0, cnx = 0, var = 0, ncnx = 0, nvar = 0;
    uint8_t *Cnx(uint32_t i) const { return i < ncnx ? Z7Mem_Ptr(cnx + kCnx * i, kCnx) : nullptr; }
    uint8_t *Var(uint32_t i) const { return i < nvar ? Z7Mem_Ptr(var + kVar * i, kVar) : nullptr; }
};
Db DbOf(uint32_t db) {
    Db d;
    if (db == 0) return d;
    d.db = db;
    d.cnx = Z7Sec_Addr(db, Z7SEC_EAXCNX);
    d.var = Z7Sec_Addr(db, Z7SEC_EAXVAR);
    d.ncnx = d.cnx ? Z7Sec_Get(db, Z7SEC_EAXCNX, SD_ALLOC) : 0;
    d.nvar = d.var ? Z7Sec_Get(db, Z7SEC_EAXVAR, SD_ALLOC) : 0;
    return d;
}

// Bytes of a value of the type; a STRING is bound to its record but takes
// no number (four bytes would land on its length bytes and first characters).
uint32_t Width(uint32_t type) { return (type & 0x7F) == IEC_STRING ? 0 : Z7Tools_TypeSize(type); }

struct Link {
    const Db &d;
    uint8_t *c;
    uint16_t State() const { return LE_Get16(c + XC_STATE); }
    void SetState(uint16_t s) const { LE_Put16(c + XC_STATE, s); }
    int32_t Sock() const { return int32_t(LE_Get32(c + XC_SOCK)); }
    uint16_t Flags() const { return LE_Get16(c + XC_FLAGS); }
    uint16_t CfgFlags() const { return Z7Mem_Get16(LE_Get32(c + XC_CFG) + 4); }
    uint32_t NVar() const { return LE_Get16(c + XC_NVAR); }
    uint8_t *Var(uint32_t k) const { return k < NVar() ? d.Var(LE_Get32(c + XC_FIRST) + k) : nullptr; }
    uint8_t *PartnerVar(uint32_t k) const {
        const uint32_t p = LE_Get32(c + XC_PARTNER);
        return p ? d.Var(p - 1 + k) : nullptr;
    }
    void ClearCounters() const {
        LE_Put16(c + XC_TOTAL, 0);
        LE_Put16(c + XC_DONE, 0);
        LE_Put16(c + XC_SENT, 0);
    }
};

bool Locked(const uint8_t *v) {
    const uint32_t l = LE_Get32(v + XV_LOCK);
    return l != 0 && (Z7Mem_Get8(l) & v[XV_LOCKMASK]) != 0;
}
uint32_t Kind(const uint8_t *v) { return v[XV_KIND] & 0x0F; }

void StoreU32(uint8_t *v, uint32_t value) {
    const uint32_t w = Width(v[XV_TYPE]);
    uint8_t *p = w ? Z7Mem_Ptr(LE_Get32(v + XV_DATA), w) : nullptr;
    if (p == nullptr) return;
    uint8_t src[4], out[8] = {};
    LE_Put32(src, value);
    Z7VMCnv_ConvBin(out, src, v[XV_TYPE], IEC_UDINT);
    std::memcpy(p, out, w);
}

uint16_t LinkCode(const Link &l) {
    switch (l.State()) {
    case 0: return 2;
    case 1: return 1;
    case 4: return 3;
    default: return (l.Flags() & 1) ? 0 : 4;
    }
}
bool Delivers(const Link &l) { return (l.State() == 2 || l.State() == 3) && (l.Flags() & 1); }

// The pair of a connection: (first, second) links, second null when unpaired.
struct Pair {
    uint8_t *first, *second;
};
Pair PairOf(const Db &d, uint32_t i) {
    uint8_t *c = d.Cnx(i);
    const uint16_t f = Z7Mem_Get16(LE_Get32(c + XC_CFG) + 4);
    if ((f & F_PAIR_NEXT) && d.Cnx(i + 1)) return {c, d.Cnx(i + 1)};
    if ((f & F_PAIR_PREV) && i > 0) return {d.Cnx(i - 1), c};
    return {c, nullptr};
}
uint16_t StatusCode(const Db &d, uint32_t i) {
    const Pair p = PairOf(d, i);
    const uint16_t a = LinkCode(Link{d, p.first});
    return p.second ? uint16_t(a | LinkCode(Link{d, p.second}) << 4) : a;
}
uint16_t StatusWord(const Db &d, uint32_t i) {
    const Pair p = PairOf(d, i);
    uint16_t w = Delivers(Link{d, p.first}) ? 0 : 1;
    if (p.second && !Delivers(Link{d, p.second})) w |= 2;
    return w;
}

void DispatchOne(const Db &d, uint32_t i) {
    const Link l{d, d.Cnx(i)};
    const uint16_t code = StatusCode(d, i);
    for (uint32_t k = 0; k < l.NVar(); k++) {
        uint8_t *v = l.Var(k);
        if (v == nullptr || LE_Get16(v + XV_ID) != 0) break;
        if (LE_Get32(v + XV_DATA) == 0 || Locked(v)) continue;
        if (Kind(v) == 2) {
            StoreU32(v, v[XV_TYPE] == IEC_BOOL ? (code != 0) : code);
        } else if (Kind(v) == 6) {
            const uint32_t n = ((v[XV_KIND] >> 4) & 7) - 1u, w = Width(v[XV_TYPE]);
            uint8_t *p = w ? Z7Mem_Ptr(LE_Get32(v + XV_DATA), w) : nullptr;
            if (p == nullptr) continue;
            if (v[XV_TYPE] == IEC_BOOL) {
                p[0] = code != 0;
            } else if (n < 8 * w) {
                if (code != 0)
                    p[n / 8] = uint8_t(p[n / 8] | (1u << (n % 8)));
                else
                    p[n / 8] = uint8_t(p[n / 8] & ~(1u << (n % 8)));
            }
        }
    }
}

// The code of a pair packs both links: both connections show it.
void Dispatch(const Db &d, uint32_t i) {
    DispatchOne(d, i);
    const Pair p = PairOf(d, i);
    if (p.second != nullptr) DispatchOne(d, p.first == d.Cnx(i) ? i + 1 : i - 1);
}

void RemoteStop(const Db &d, uint32_t i) {
    const Link l{d, d.Cnx(i)};
    const uint16_t word = StatusWord(d, i);
    for (uint32_t k = 0; k < l.NVar(); k++) {
        uint8_t *v = l.Var(k);
        if (v != nullptr && Kind(v) == 3 && LE_Get32(v + XV_DATA) != 0 && !Locked(v)) StoreU32(v, word);
    }
}

void CloseSock(const Link &l) {
    if (l.Sock() >= 0) Z7Socket_CloseSocket(l.Sock());
    LE_Put32(l.c + XC_SOCK, uint32_t(-1));
}

void OnError(const Db &d, uint32_t i) {
    const Link l{d, d.Cnx(i)};
    CloseSock(l);
    LE_Put16(l.c + XC_FLAGS, uint16_t(l.Flags() & ~1u));
    l.SetState(0);
    LE_Put32(l.c + XC_TIMER, 0);
    RemoteStop(d, i);
    Dispatch(d, i);
}

void OpenPort(const Db &d, uint32_t i) {
    const Link l{d, d.Cnx(i)};
    l.ClearCounters();
    LE_Put32(l.c + XC_TIMER, 0);
    if (l.NVar() != 0) {
        const uint32_t cfg = LE_Get32(l.c + XC_CFG);
        char text[64];
        uint32_t n = 0;
        const uint32_t len = Z7Mem_Get16(cfg);
        for (uint32_t k = 10; k < len && n + 1 < sizeof text; k++) {
            const uint8_t ch = Z7Mem_Get8(cfg + k);
            if (ch == 0) break;
            text[n++] = char(ch);
        }
        text[n] = 0;
        Z7SocketHandle s = -1;
        bool pending = false;
        if (Z7Socket_CreateConnectedSocket(text, Z7Mem_Get16(cfg + 2), &s, &pending, 0) && s >= 0) {
            LE_Put32(l.c + XC_SOCK, uint32_t(s));
            if (pending)
                l.SetState(1);
            else {
                l.SetState(2);
                LE_Put16(l.c + XC_FLAGS, 0);
            }
        } else {
            l.SetState(0);
        }
    }
    RemoteStop(d, i);
    Dispatch(d, i);
}

// Value of a type-4 event into the connection's variables of that id.
bool VarEvent(const Db &d, const Link &l, const uint8_t *ev, uint32_t len) {
    if (len < 5) return false;
    const uint8_t *data = ev + 12;
    const uint16_t id = BE_Get16(data);
    // an external variable's change carries its type with bit 7 set
    const uint8_t type = data[2] & 0x7F;
    const uint16_t index = BE_Get16(data + 3);
    // A number's value lies within the event; a STRING (its length byte and
    // text) or a type of no known width has no number for a kind-1 variable,
    // yet its stamps and the status word are served all the same.
    const uint32_t w = Width(type);
    if (w != 0 && 5 + w > len) return false;
    if (w == 0 && type == IEC_STRING && (len < 6 || 6u + data[5] > len)) return false;
    const uint32_t date = BE_Get32(ev + 4), time = BE_Get32(ev + 8);
    uint8_t value[8] = {};
    for (uint32_t b = 0; b < w; b++) value[b] = data[5 + w - 1 - b];
    const uint32_t base = 5 + w + (index == 0 ? 4 : 0);
    const bool status = w != 0 && len > base + 7;
    const bool paired = LE_Get32(l.c + XC_PARTNER) != 0 && !(l.CfgFlags() & F_ALL);
    for (uint32_t k = 0; k < l.NVar(); k++) {
        uint8_t *v = l.Var(k);
        if (v == nullptr || LE_Get16(v + XV_ID) > id) break;
        if (LE_Get16(v + XV_ID) != id || LE_Get32(v + XV_DATA) == 0 || Locked(v)) continue;
        const uint32_t kind = Kind(v);
        if (kind < 1 || kind > 5 || kind == 2) continue;
        // no number to take: the variable keeps its value and the stamps of it
        if (kind == 1 && (w == 0 || Width(v[XV_TYPE]) == 0)) continue;
        if (paired) {
            const uint8_t *p = l.PartnerVar(k);
            if (p != nullptr) {
                const uint32_t pd = LE_Get32(p + XV_DATE), pt = LE_Get32(p + XV_TIME);
                if (date < pd || (date == pd && time < pt)) continue;  // older than the partner's
            }
        }
        LE_Put32(v + XV_DATE, date);
        LE_Put32(v + XV_TIME, time);
        switch (kind) {
        case 1: {
            const uint32_t vw = Width(v[XV_TYPE]);
            uint8_t *p = vw ? Z7Mem_Ptr(LE_Get32(v + XV_DATA), vw) : nullptr;
            if (p == nullptr) break;
            uint8_t out[8] = {};
            Z7VMCnv_ConvBin(out, value, v[XV_TYPE], type);
            std::memcpy(p, out, vw);
            const uint32_t vsi = LE_Get32(v + XV_VSI);
            if (status && vsi != 0) {
                Z7Mem_Put32(vsi, BE_Get32(data + base));
                Z7Mem_Put32(vsi + 4, BE_Get32(data + base + 4));
                Z7Mem_Put32(vsi + 8, date);
                Z7Mem_Put32(vsi + 12, time);
            }
            break;
        }
        case 3: StoreU32(v, StatusWord(d, uint32_t((l.c - d.Cnx(0)) / kCnx))); break;
        case 4: StoreU32(v, time); break;
        case 5: StoreU32(v, date); break;
        default: break;
        }
    }
    return true;
}

void HandleFrame(const Db &d, uint32_t i) {
    const Link l{d, d.Cnx(i)};
    const uint8_t *f = l.c + XC_RX;
    const uint32_t total = LE_Get16(l.c + XC_TOTAL);
    if (total < 6 || f[4] != 0x12) return;
    const uint32_t count = f[5];
    uint32_t at = 6;
    bool stop = false, vars = false;
    for (uint32_t e = 0; e < count; e++) {
        if (at + 12 > total) break;  // events are read within the frame
        const uint8_t type = f[at], sub = f[at + 1], len = f[at + 2];
        if (at + 12 + len > total) break;
        if (type == 1 && sub == 9) {
            stop = true;
        } else if (type == 4 && sub == 0xFF) {
            vars |= VarEvent(d, l, f + at, len);
        }
        at += 12 + len;
    }
    if (vars && !(l.Flags() & 1)) {
        LE_Put16(l.c + XC_FLAGS, uint16_t(l.Flags() | 1));
        Dispatch(d, i);
    }
    if (stop) {
        // The link stops delivering before its status words are taken: run
        // first, the remote-stop handling would show them still delivering
        // while the link code already says otherwise.
        LE_Put16(l.c + XC_FLAGS, uint16_t(l.Flags() & ~1u));
        RemoteStop(d, i);
        Dispatch(d, i);
    }
}

// Receives in state 2; true when a whole frame is in.
bool Receive(const Db &d, uint32_t i) {
    const Link l{d, d.Cnx(i)};
    uint8_t *f = l.c + XC_RX;
    for (;;) {
        const uint32_t done = LE_Get16(l.c + XC_DONE);
        const uint32_t want = done < 4 ? 4 - done : LE_Get16(l.c + XC_TOTAL) - done;
        if (want == 0) return done >= 4;
        bool closed = false;
        const int32_t n = Z7Socket_Receive(l.Sock(), want, f + done, &closed);
        if (closed) {
            OnError(d, i);
            return false;
        }
        if (n <= 0) return false;
        LE_Put16(l.c + XC_DONE, uint16_t(done + uint32_t(n)));
        if (done + uint32_t(n) == 4) {
            const uint32_t total = BE_Get16(f + 2) + 4u;
            // a frame that does not start "Z7", or that would not fit the buffer, ends the link
            if (f[0] != 'Z' || f[1] != '7' || total > kBuf) {
                uint8_t drop[kBuf];
                Z7Socket_Receive(l.Sock(), kBuf, drop, &closed);
                OnError(d, i);
                return false;
            }
            LE_Put16(l.c + XC_TOTAL, uint16_t(total));
        }
    }
}

void Step(const Db &d, uint32_t i, uint32_t now) {
    const Link l{d, d.Cnx(i)};
    uint32_t timer = LE_Get32(l.c + XC_TIMER);
    bool expired = false;
    if (timer == 0)
        LE_Put32(l.c + XC_TIMER, now == 0 ? kDay : now);
    else
        expired = l.State() != 1 && Since(timer, now) > kWait;
    switch (l.State()) {
    case 0:
        if (expired && l.NVar() != 0) OpenPort(d, i);
        return;
    case 1: {
        const Z7Connect r = Z7Socket_CheckPendingConnect(l.Sock());
        if (r == Z7Connect::kBroken)
            OnError(d, i);
        else if (r == Z7Connect::kUp) {
            l.SetState(2);
            l.ClearCounters();
            Dispatch(d, i);
        }
        return;
    }
    case 4: {
        // A frame that comes in after the wait is still taken (the link then
        // shows its code again); without one the link is closed and dialled
        // anew. Only a wait for a frame receives: one that ran out while the
        // request was going out holds the frame already handled.
        const uint32_t done = LE_Get16(l.c + XC_DONE);
        if ((done < 4 || done < LE_Get16(l.c + XC_TOTAL)) && Receive(d, i)) {
            HandleFrame(d, i);
            l.SetState(3);
            LE_Put32(l.c + XC_TIMER, 0);
            Dispatch(d, i);
            break;
        }
        if (l.State() == 4) OnError(d, i);
        OpenPort(d, i);
        return;
    }
    default: break;
    }
    if (l.State() == 2) {
        if (Receive(d, i)) {
            HandleFrame(d, i);
            l.SetState(3);
            LE_Put32(l.c + XC_TIMER, 0);
        } else if (l.State() == 2 && expired) {
            l.SetState(4);
            Dispatch(d, i);
            return;
        }
    }
    if (l.State() == 3) {
        uint8_t drop[64];
        for (uint32_t k = 0; k < kBuf / sizeof drop; k++) {
            bool closed = false;
            const int32_t n = Z7Socket_Receive(l.Sock(), sizeof drop, drop, &closed);
            if (closed) {
                OnError(d, i);
                return;
            }
            if (n <= 0) break;
        }
        const uint32_t sent = LE_Get16(l.c + XC_SENT);
        bool closed = false;
        const int32_t n = Z7Socket_Send(l.Sock(), 14 - sent, l.c + XC_REQ + sent, &closed);
        if (closed) {
            OnError(d, i);
            return;
        }
        LE_Put16(l.c + XC_SENT, uint16_t(sent + uint32_t(n > 0 ? n : 0)));
        if (LE_Get16(l.c + XC_SENT) >= 14) {
            l.SetState(2);
            l.ClearCounters();
            LE_Put32(l.c + XC_TIMER, 0);
        } else if (expired) {
            // a request the peer does not take for 3 s: no frame, as in state 2
            l.SetState(4);
            Dispatch(d, i);
        }
    }
}
}  // namespace

uint16_t Z7EAX_GetNbCnx(uint32_t code) {
    const Lists l = ListsOf(code);
    uint32_t n = 0;
    for (uint32_t r = NextCnx(l, l.cnx); r != 0 && n < 0xFFFF; r = NextCnx(l, r + Z7Mem_Get16(r))) n++;
    return uint16_t(n);
}

uint16_t Z7EAX_GetNbVar(uint32_t code) {
    const Lists l = ListsOf(code);
    uint32_t n = 0;
    for (uint32_t r = NextVar(l, l.var); r != 0 && n < 0xFFFF; r = NextVar(l, r + VarLen(r))) n++;
    return uint16_t(n);
}

uint32_t Z7EAX_CanBuildHOT(uint32_t code, uint32_t db) {
    const Db d = DbOf(db);
    return Z7EAX_GetNbCnx(code) > d.ncnx || Z7EAX_GetNbVar(code) > d.nvar ? 1 : 0;
}

uint32_t Z7EAX_Build(uint32_t code, uint32_t db) {
    const Db d = DbOf(db);
    const Lists l = ListsOf(code);
    if (d.cnx && d.ncnx) std::memset(Z7Mem_Ptr(d.cnx, kCnx * d.ncnx), 0, kCnx * d.ncnx);
    if (d.var && d.nvar) std::memset(Z7Mem_Ptr(d.var, kVar * d.nvar), 0, kVar * d.nvar);
    uint32_t nv = 0;
    for (uint32_t r = NextVar(l, l.var); r != 0 && nv < d.nvar; r = NextVar(l, r + VarLen(r)), nv++) {
        uint8_t *v = d.Var(nv);
        v[XV_TYPE] = Z7Mem_Get8(r);
        v[XV_KIND] = Z7Mem_Get8(r + 1);
        LE_Put16(v + XV_INDEX, Z7Mem_Get16(r + 2));
        LE_Put16(v + XV_ID, Z7Mem_Get16(r + 4));
        if (VarLen(r) == 10) LE_Put32(v + XV_CT, Z7Mem_Get32(r + 6));
    }
    uint32_t i = 0;
    for (uint32_t r = NextCnx(l, l.cnx); r != 0 && i < d.ncnx; r = NextCnx(l, r + Z7Mem_Get16(r)), i++) {
        uint8_t *c = d.Cnx(i);
        const uint16_t flags = Z7Mem_Get16(r + 4), first = Z7Mem_Get16(r + 6), count = Z7Mem_Get16(r + 8);
        LE_Put32(c + XC_CFG, r);
        LE_Put32(c + XC_SOCK, uint32_t(-1));
        LE_Put32(c + XC_FIRST, first);
        // the variables of the connection and of its partner must lie in the list
        bool inside = uint32_t(first) + count <= nv;
        uint32_t partner = 0;
        if (flags & F_PAIR_NEXT) {
            partner = uint32_t(first) + count;
            inside = inside && partner + count <= nv;
        } else if (flags & F_PAIR_PREV) {
            inside = inside && first >= count;
            partner = first - uint32_t(count);
        }
        LE_Put32(c + XC_PARTNER, (flags & (F_PAIR_NEXT | F_PAIR_PREV)) && inside ? partner + 1 : 0);
        LE_Put16(c + XC_NVAR, inside ? count : 0);
        uint8_t *q = c + XC_REQ;
        const uint8_t req[14] = {'Z', '7', 0, 10, 0x12, 0x45, 0, 0, 0, 0, 0, 0, 0x04, 0x00};
        std::memcpy(q, req, sizeof req);
        LE_Put32(c + XC_VERS, Z7VMVode_GetEATableVers(code, i));
    }
    return 0;
}

uint32_t Z7EAX_BuildHOT(uint32_t code, uint32_t db) {
    if (Z7EAX_CanBuildHOT(code, db)) return 1;
    return Z7EAX_Build(code, db);
}

uint32_t Z7EAX_Link(uint32_t db) {
    const Db d = DbOf(db);
    for (uint32_t k = 0; k < d.nvar; k++) {
        uint8_t *v = d.Var(k);
        const uint32_t type = v[XV_TYPE] & 0x7F, ct = LE_Get32(v + XV_CT), idx = LE_Get16(v + XV_INDEX);
        uint32_t addr = 0, mask = 0;
        if (ct != 0) {
            // a string record: its two length bytes and the terminator at least
            const uint32_t seg = Z7Sec_Addr(db, Z7SEC_CT), bytes = Z7Sec_Bytes(db, Z7SEC_CT),
                           w = type == IEC_STRING ? 3 : Width(type);
            if (seg != 0 && w != 0 && uint64_t(ct) + w <= bytes) addr = seg + ct;
        } else if (v[XV_TYPE] & 0x80) {
            const uint32_t e = Z7Sec_Elem(db, Z7SEC_XV, idx);
            addr = e ? Z7Mem_Get32(e) : 0;
            mask = 0x80;
        } else {
            uint32_t sec = 0;
            switch (type) {
            case IEC_BOOL:
            case IEC_SINT:
            case IEC_USINT:
                sec = Z7SEC_D8;
                mask = 1;
                break;
            case IEC_INT:
            case IEC_UINT:
                sec = Z7SEC_D16;
                mask = 2;
                break;
            case IEC_DINT:
            case IEC_REAL:
            case IEC_UDINT:
                sec = Z7SEC_D32;
                mask = 4;
                break;
            case IEC_LINT:
            case IEC_LREAL:
            case IEC_ULINT:
                sec = Z7SEC_D64;
                mask = 8;
                break;
            case IEC_TIME:
                sec = Z7SEC_TIME;
                mask = 0x10;
                break;
            case IEC_STRING:
                sec = Z7SEC_STRPTR;
                mask = 0x20;
                break;
            default: break;
            }
            const uint32_t e = sec ? Z7Sec_Elem(db, sec, idx) : 0;
            addr = sec == Z7SEC_STRPTR ? (e ? Z7Mem_Get32(e) : 0) : e;
        }
        v[XV_TYPE] = uint8_t(type);
        LE_Put32(v + XV_DATA, addr);
        v[XV_LOCKMASK] = uint8_t(mask);
        LE_Put32(v + XV_LOCK, ct != 0 ? 0 : Z7Sec_Elem(db, Z7SEC_LOCK, idx));
        LE_Put32(v + XV_VSI, addr ? Z7Map_GetVSIByData(db, addr) : 0);
    }
    return 0;
}

uint32_t Z7EAX_Open(uint32_t db) {
    const Db d = DbOf(db);
    for (uint32_t i = 0; i < d.ncnx; i++) OpenPort(d, i);
    return 0;
}

void Z7EAX_Close(uint32_t db) {
    const Db d = DbOf(db);
    for (uint32_t i = 0; i < d.ncnx; i++) {
        const Link l{d, d.Cnx(i)};
        CloseSock(l);
        l.SetState(0);
    }
}

void Z7EAX_Activate(uint32_t db, uint32_t now) {
    const Db d = DbOf(db);
    for (uint32_t i = 0; i < d.ncnx; i++) Step(d, i, now);
}

uint32_t Z7VM_OpenExtData(uint32_t db) { return Z7EAX_Open(db); }
void Z7VM_CloseExtData(uint32_t db) { Z7EAX_Close(db); }
void Z7VM_UpdateExtData(uint32_t db) { Z7EAX_Activate(db, Z7RtClk_GetCurTimeStamp()); }
