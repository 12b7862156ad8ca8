// Published variable change events: the subscription table in database
// section 32 (static events of the code image for every client, private
// subscriptions of single event-server clients), walked once per cycle; a
// changed value (beyond its hysteresis) goes to the subscribed clients as an
// event of type 4. Nothing is allocated: the walk works in place.
#include <bit>
#include <cstring>

#include "core/image/bytes.h"
#include "iec/services/z7svc.h"
#include "iec/vm/z7cnv.h"
#include "iec/vm/z7hooks.h"
#include "iec/vm/z7map.h"
#include "iec/vm/z7parts.h"
#include "iec/vm/z7stdlib.h"
#include "iec/vm/z7str.h"
#include "iec/vm/z7vm.h"

namespace {
// Entry fields.
enum : uint32_t {
    E_SIZE = 0,
    E_TYPE = 1,
    E_FLAGS = 2,
    E_INDEX = 4,
    E_COUNT = 6,
    E_ID = 8,
    E_CT = 12,
    E_DATA = 16,
    E_VSI = 20,
    E_VSIW = 24,
    E_LAST = 32,
    E_UP = 40,
    E_LO = 48,
    E_STATE = 56,
    E_BYTES = 64,
};
enum : uint16_t { EF_PRIMED = 1, EF_PENDING = 2, EF_STATIC = 4, EF_HYST = 8 };
enum : uint8_t { CS_NONE = 0, CS_DONE = 1, CS_SEND = 2 };
constexpr uint32_t kLongString = 223;
// Event data: id, type, index, a string of up to 222 characters with its
// length, the CT offset and two status words.
constexpr uint32_t kEventData = 5 + 1 + (kLongString - 1) + 4 + 8;

uint32_t Used(uint32_t db) { return Z7Sec_Get(db, Z7SEC_EVT, SD_USED); }
uint32_t Entry(uint32_t db, uint32_t i) { return Z7Sec_Elem(db, Z7SEC_EVT, i); }
uint16_t Flags(uint32_t e) { return Z7Mem_Get16(e + E_FLAGS); }
void SetFlags(uint32_t e, uint16_t f) { Z7Mem_Put16(e + E_FLAGS, f); }
uint8_t State(uint32_t e, uint32_t client) { return Z7Mem_Get8(e + E_STATE + client - 1); }
void SetState(uint32_t e, uint32_t client, uint8_t s) { Z7Mem_Put8(e + E_STATE + client - 1, s); }

// Bytes of a value of the type; a STRING counts its first byte.
uint32_t SizeOf(uint32_t type) { return (type & 0x7F) == IEC_STRING ? 1 : Z7Tools_TypeSize(type & 0x7F); }

uint64_t Get(uint32_t a, uint32_t size) {
    switch (size) {
    case 1: return Z7Mem_Get8(a);
    case 2: return Z7Mem_Get16(a);
    case 4: return Z7Mem_Get32(a);
    default: return Z7Mem_Get32(a) | uint64_t(Z7Mem_Get32(a + 4)) << 32;
    }
}
void Put(uint32_t a, uint32_t size, uint64_t v) {
    for (uint32_t i = 0; i < size; i++) Z7Mem_Put8(a + i, uint8_t(v >> (8 * i)));
}
uint64_t Host(const uint8_t *p, uint32_t size) {
    uint64_t v = 0;
    for (uint32_t i = 0; i < size; i++) v |= uint64_t(p[i]) << (8 * i);
    return v;
}

// A limit of the type smaller than another: DINT, TIME and UDINT as
// unsigned 32-bit, the floats as floats, LINT signed, ULINT and the 8- and
// 16-bit types unsigned.
bool LimitBelow(uint32_t type, uint64_t a, uint64_t b) {
    switch (type & 0x7F) {
    case IEC_REAL: return std::bit_cast<float>(uint32_t(a)) < std::bit_cast<float>(uint32_t(b));
    case IEC_LREAL: return std::bit_cast<double>(a) < std::bit_cast<double>(b);
    case IEC_LINT: return int64_t(a) < int64_t(b);
    default: return a < b;  // the stored limits are zero-extended
    }
}

// A value of size bytes of type widened with its sign (signed types) or
// without it.
int64_t Signed(uint64_t v, uint32_t size) {
    const uint32_t shift = 64 - 8 * size;
    return int64_t(v << shift) >> shift;
}

// c at or above l + up, or at or below l - lo, worked out without wrapping:
// a bound beyond the type's range is never reached.
template <typename T>
bool Beyond(T c, T l, T up, T lo) {
    T b;
    bool hit;
    if (__builtin_add_overflow(l, up, &b))
        hit = up < T(0);  // above the top: unreachable; below the bottom: every value
    else
        hit = c >= b;
    if (hit) return true;
    if (__builtin_sub_overflow(l, lo, &b)) return lo < T(0);  // unsigned: last below the limit, no test
    return c <= b;
}

// The change test of a number whose value differs from the last one sent
// when limits are set: BOOL any difference, the floats as floats, INT, DINT
// and LINT signed, and every other type unsigned: 8-bit values and TIME are
// unsigned throughout the VM (its conversions and comparisons), so here too.
bool BeyondHyster(uint32_t type, uint32_t size, uint64_t cur, uint64_t last, uint64_t up, uint64_t lo) {
    switch (type & 0x7F) {
    case IEC_BOOL: return true;
    case IEC_REAL: {
        const float c = std::bit_cast<float>(uint32_t(cur)), l = std::bit_cast<float>(uint32_t(last));
        return c >= l + std::bit_cast<float>(uint32_t(up)) || c <= l - std::bit_cast<float>(uint32_t(lo));
    }
    case IEC_LREAL: {
        const double c = std::bit_cast<double>(cur), l = std::bit_cast<double>(last);
        return c >= l + std::bit_cast<double>(up) || c <= l - std::bit_cast<double>(lo);
    }
    case IEC_SINT:
    case IEC_USINT:
    case IEC_UINT:
    case IEC_TIME:
    case IEC_UDINT:
    case IEC_ULINT: return Beyond<uint64_t>(cur, last, up, lo);
    default: return Beyond<int64_t>(Signed(cur, size), Signed(last, size), Signed(up, size), Signed(lo, size));
    }
}

// Address of the variable's value (strings: the current-length byte) and its
// map data address for the status-information lookup; 0 when it has none.
uint32_t DataOf(uint32_t db, uint32_t type, uint32_t index, uint32_t ct, uint32_t size, uint32_t *map_addr) {
    uint32_t a = 0;
    if (ct != 0) {
        const uint32_t base = Z7Sec_Addr(db, Z7SEC_CT), bytes = Z7Sec_Bytes(db, Z7SEC_CT);
        const uint32_t extra = (type & 0x7F) == 5 ? 1 : 0;
        if (base == 0 || uint64_t(ct) + extra + size > bytes) return 0;
        *map_addr = base + ct;
        return base + ct + extra;
    }
    if (type & 0x80) {
        const uint32_t e = Z7Sec_Elem(db, Z7SEC_XV, index);
        a = e ? Z7Mem_Get32(e) : 0;
        *map_addr = a;
        if (a && (type & 0x7F) == 5) a += 1;
        return a && Z7Mem_Ptr(a, size) ? a : 0;
    }
    uint32_t sec = 0;
    switch (type) {
    case 1:
    case 10:
    case 14: sec = Z7SEC_D8; break;
    case 11:
    case 15: sec = Z7SEC_D16; break;
    case 2:
    case 3:
    case 16: sec = Z7SEC_D32; break;
    case 4: sec = Z7SEC_TIME; break;
    case 12:
    case 13:
    case 17: sec = Z7SEC_D64; break;
    case 5: {
        const uint32_t slot = Z7VMStr_Slot(db, index);
        *map_addr = slot;
        return slot ? slot + 1 : 0;
    }
    default: return 0;
    }
    a = Z7Sec_Elem(db, sec, index);
    *map_addr = a;
    return a;
}

// Both limits given: an entry without subscribers takes them, one with
// subscribers keeps the smaller of old and new for each. The limits hold
// (flag 8) only when one was taken now: a newcomer joins with the flags
// reset, and limits kept from earlier subscribers may belong to one that
// has gone, while another asked for every change; with nothing taken the
// entry reports every change, so no subscriber misses one it asked for.
void SetHyster(uint32_t e, const uint8_t *up, const uint8_t *lo) {
    if (up == nullptr || lo == nullptr) return;
    const uint32_t size = Z7Mem_Get8(e + E_SIZE), type = Z7Mem_Get8(e + E_TYPE);
    const uint64_t nu = Host(up, size), nl = Host(lo, size);
    const bool first = Z7Mem_Get16(e + E_COUNT) == 0;
    bool taken = false;
    if (first || LimitBelow(type, nu, Get(e + E_UP, size))) {
        Put(e + E_UP, 8, nu);
        taken = true;
    }
    if (first || LimitBelow(type, nl, Get(e + E_LO, size))) {
        Put(e + E_LO, 8, nl);
        taken = true;
    }
    if (taken) SetFlags(e, uint16_t(Flags(e) | EF_HYST));
}

void Remove(uint32_t db, uint32_t i) {
    const uint32_t n = Used(db);
    if (i >= n) return;
    const uint32_t e = Entry(db, i), last = Entry(db, n - 1);
    if (e != last) std::memcpy(Z7Mem_Ptr(e, E_BYTES), Z7Mem_Ptr(last, E_BYTES), E_BYTES);
    std::memset(Z7Mem_Ptr(last, E_BYTES), 0, E_BYTES);
    Z7Sec_Set(db, Z7SEC_EVT, SD_USED, uint16_t(n - 1));
}

bool Key(uint32_t e, uint32_t type, uint32_t index, uint32_t ct) {
    return Z7Mem_Get8(e + E_TYPE) == type && Z7Mem_Get16(e + E_INDEX) == index && Z7Mem_Get32(e + E_CT) == ct;
}

// Current value compared with the last one sent.
bool Changed(uint32_t e) {
    const uint32_t size = Z7Mem_Get8(e + E_SIZE), type = Z7Mem_Get8(e + E_TYPE), a = Z7Mem_Get32(e + E_DATA);
    if ((type & 0x7F) == 5) {
        const uint32_t n = Z7Mem_Get8(a);
        const uint8_t *text = Z7Mem_Ptr(a + 1, n ? n : 1);
        const uint16_t crc = text ? Z7CS_Crc16(text, n) : 0;
        return n != Z7Mem_Get8(e + E_LAST + 2) || crc != Z7Mem_Get16(e + E_LAST);
    }
    const uint64_t cur = Get(a, size), last = Get(e + E_LAST, size);
    if (cur == last) return false;
    if (!(Flags(e) & EF_HYST)) return true;
    return BeyondHyster(type, size, cur, last, Get(e + E_UP, size), Get(e + E_LO, size));
}

void StoreLast(uint32_t e) {
    const uint32_t size = Z7Mem_Get8(e + E_SIZE), a = Z7Mem_Get32(e + E_DATA);
    if ((Z7Mem_Get8(e + E_TYPE) & 0x7F) == 5) {
        const uint32_t n = Z7Mem_Get8(a);
        const uint8_t *text = Z7Mem_Ptr(a + 1, n ? n : 1);
        Z7Mem_Put16(e + E_LAST, text ? Z7CS_Crc16(text, n) : 0);
        Z7Mem_Put8(e + E_LAST + 2, uint8_t(n));
        return;
    }
    Put(e + E_LAST, 8, Get(a, size));
}

// Event data of an entry; answers its length (long strings: the text goes in
// *text, *text_len).
uint32_t EventData(uint32_t db, uint32_t i, uint32_t e, bool vsi, uint8_t *out, const uint8_t **text,
                   uint32_t *text_len) {
    const uint32_t type = Z7Mem_Get8(e + E_TYPE), size = Z7Mem_Get8(e + E_SIZE), a = Z7Mem_Get32(e + E_DATA);
    const uint32_t ct = Z7Mem_Get32(e + E_CT), index = Z7Mem_Get16(e + E_INDEX);
    (void)db;
    const bool is_static = Flags(e) & EF_STATIC;
    BE_Put16(out, uint16_t(is_static ? Z7Mem_Get16(e + E_ID) : i + 1));
    out[2] = uint8_t(type);
    BE_Put16(out + 3, uint16_t(ct ? 0 : index));
    uint32_t n = 5;
    *text = nullptr;
    *text_len = 0;
    if ((type & 0x7F) == 5) {
        const uint32_t len = Z7Mem_Get8(a);
        if (len >= kLongString) {
            out[n++] = 0;
            *text = Z7Mem_Ptr(a + 1, len);
            *text_len = *text ? len : 0;
        } else {
            const uint8_t *t = len ? Z7Mem_Ptr(a + 1, len) : nullptr;
            out[n++] = uint8_t(t ? len : 0);
            if (t) std::memcpy(out + n, t, len);
            n += t ? len : 0;
        }
    } else {
        const uint64_t v = Get(a, size);
        for (uint32_t k = 0; k < size; k++) out[n++] = uint8_t(v >> (8 * (size - 1 - k)));
    }
    if (ct != 0 || index == 0) {
        BE_Put32(out + n, ct);
        n += 4;
    }
    const uint32_t vs = Z7Mem_Get32(e + E_VSI);
    if (vsi && vs) {
        BE_Put32(out + n, Z7Mem_Get32(vs));
        BE_Put32(out + n + 4, Z7Mem_Get32(vs + 4));
        n += 8;
    }
    return n;
}

// One walk over the entries of the kinds asked for; the number that produced events.
uint32_t Manage(uint32_t db, void *evs, bool want_static, bool want_private) {
    if (db == 0 || evs == nullptr) return 0;
    const bool fresh = Z7Evs_HasNewConections(evs) != 0;
    uint32_t produced = 0;
    const uint32_t table = Z7Sec_Addr(db, Z7SEC_EVT);
    for (uint32_t i = Used(db); i-- > 0;) {
        const uint32_t e = Entry(db, i);
        const uint8_t *p = e ? Z7Mem_Ptr(e, E_BYTES) : nullptr;
        if (p == nullptr || p[E_TYPE] == 0) continue;
        // the common case first: a primed number, nothing pending, value and status as sent
        if (!fresh && e == table + i * E_BYTES &&
            (LE_Get16(p + E_FLAGS) & (EF_PRIMED | EF_PENDING | EF_HYST)) == EF_PRIMED && (p[E_TYPE] & 0x7F) != 5) {
            const uint8_t *v = Z7Mem_Ptr(LE_Get32(p + E_DATA), p[E_SIZE]);
            const uint32_t vsa = LE_Get32(p + E_VSI);
            const uint8_t *vs = vsa ? Z7Mem_Ptr(vsa, 8) : nullptr;
            if (v && std::memcmp(v, p + E_LAST, p[E_SIZE]) == 0 &&
                (vsa == 0 ||
                 (vs && LE_Get32(vs) == LE_Get32(p + E_VSIW) && LE_Get32(vs + 4) == LE_Get32(p + E_VSIW + 4))))
                continue;
        }
        const bool is_static = Flags(e) & EF_STATIC;
        if (is_static ? !want_static : !want_private) continue;
        bool changed = false;
        if (fresh) {
            for (uint32_t c = 1; c <= 8; c++) {
                if (!is_static && State(e, c) != CS_NONE) SetState(e, c, CS_SEND);
                if (is_static && State(e, c) == CS_NONE) {
                    SetState(e, c, CS_SEND);
                    Z7Mem_Put16(e + E_COUNT, uint16_t(Z7Mem_Get16(e + E_COUNT) + 1));
                }
            }
            SetFlags(e, uint16_t(Flags(e) | EF_PENDING));
            changed = true;
        } else if (!(Flags(e) & EF_PRIMED)) {
            changed = true;
        } else {
            changed = Changed(e);
        }
        const uint32_t vs = Z7Mem_Get32(e + E_VSI);
        bool vsi_changed = false;
        if (vs && (Z7Mem_Get32(vs) != Z7Mem_Get32(e + E_VSIW) || Z7Mem_Get32(vs + 4) != Z7Mem_Get32(e + E_VSIW + 4))) {
            Z7Mem_Put32(e + E_VSIW, Z7Mem_Get32(vs));
            Z7Mem_Put32(e + E_VSIW + 4, Z7Mem_Get32(vs + 4));
            changed = vsi_changed = true;
        }
        const bool pending = Flags(e) & EF_PENDING;
        if (!changed && !pending) continue;
        if (changed) {
            StoreLast(e);
            SetFlags(e, uint16_t(Flags(e) | EF_PRIMED));
        }
        SetFlags(e, uint16_t(Flags(e) & ~EF_PENDING));
        uint32_t date = vs ? Z7Mem_Get32(vs + 8) : 0, time = vs ? Z7Mem_Get32(vs + 12) : 0;
        if (date == 0) {
            // date and time of one reading: two could fall either side of midnight
            uint32_t flag = 0;
            Z7RtClk_GetCurDateTimeStamp(1, &date, &time, &flag);
        }
        for (uint32_t c = 1; c <= 8; c++) {
            const uint8_t s = State(e, c);
            if (s == CS_NONE || (!changed && s != CS_SEND)) continue;
            const bool vsi = (Z7Evs_GetCnxPrefs(evs, c - 1) & 0x40) && (vsi_changed || s == CS_SEND);
            uint8_t data[kEventData];
            const uint8_t *text;
            uint32_t text_len, not_sent = 0;
            const uint32_t n = EventData(db, i, e, vsi, data, &text, &text_len);
            const uint8_t sub = is_static ? 255 : 2;
            uint32_t rc = 0;
            if (text) rc = Z7Evs_EventTo(evs, 132, sub, text_len, text, c - 1, &not_sent, date, time);
            if (rc == 0 && !not_sent) rc = Z7Evs_EventTo(evs, 4, sub, n, data, c - 1, &not_sent, date, time);
            if (not_sent) {
                SetState(e, c, CS_NONE);
                const uint16_t k = Z7Mem_Get16(e + E_COUNT);
                Z7Mem_Put16(e + E_COUNT, uint16_t(k ? k - 1 : 0));
            } else if (rc != 0) {
                SetState(e, c, CS_SEND);
                SetFlags(e, uint16_t(Flags(e) | EF_PENDING));
            } else {
                SetState(e, c, CS_DONE);
            }
        }
        produced++;
        if (!is_static && Z7Mem_Get16(e + E_COUNT) == 0) Remove(db, i);
    }
    return produced;
}

void ClearTable(uint32_t db) {
    const uint32_t a = Z7Sec_Addr(db, Z7SEC_EVT);
    if (a) std::memset(Z7Mem_Ptr(a, Z7Sec_Bytes(db, Z7SEC_EVT)), 0, Z7Sec_Bytes(db, Z7SEC_EVT));
    Z7Sec_Set(db, Z7SEC_EVT, SD_USED, 0);
}

uint16_t HookPort() { return Z7EVSPORT(); }
void HookClock(uint32_t utc, uint32_t *date, uint32_t *time) {
    uint32_t flag = 0;
    Z7RtClk_GetCurDateTimeStamp(utc ? 0 : 1, date, time, &flag);
}
}  // namespace

uint32_t Z7EA_RegisterChangeEvent(uint32_t db, uint32_t client, uint32_t type, uint32_t index, uint32_t id,
                                  const uint8_t *up, const uint8_t *lo, uint32_t ct) {
    if (db == 0 || client > 8 || type == 0 || type > 0xFF) return 0;
    const uint32_t size = SizeOf(type);
    if (size == 0) return 0;
    if (client >= 1) {
        for (uint32_t i = 0; i < Used(db); i++) {
            const uint32_t e = Entry(db, i);
            if (!Key(e, type, index, ct) || (Flags(e) & EF_STATIC)) continue;
            if (State(e, client) != CS_NONE) return 0;
            SetState(e, client, CS_SEND);
            // pending alone: limits only when the newcomer gives them too, and the
            // value primed again for every subscriber
            SetFlags(e, EF_PENDING);
            SetHyster(e, up, lo);
            Z7Mem_Put16(e + E_COUNT, uint16_t(Z7Mem_Get16(e + E_COUNT) + 1));
            return i + 1;
        }
    }
    const uint32_t n = Used(db);
    if (n >= Z7Sec_Get(db, Z7SEC_EVT, SD_ALLOC) || Z7Sec_Get(db, Z7SEC_EVT, SD_ELEM) != E_BYTES) return 0;
    uint32_t map_addr = 0;
    const uint32_t data = DataOf(db, type, index, ct, size, &map_addr);
    if (data == 0) return 0;
    const uint32_t e = Entry(db, n);
    std::memset(Z7Mem_Ptr(e, E_BYTES), 0, E_BYTES);
    Z7Mem_Put8(e + E_SIZE, uint8_t(size));
    Z7Mem_Put8(e + E_TYPE, uint8_t(type));
    Z7Mem_Put16(e + E_INDEX, uint16_t(index));
    Z7Mem_Put32(e + E_CT, ct);
    Z7Mem_Put32(e + E_DATA, data);
    Z7Mem_Put32(e + E_VSI, Z7Map_GetVSIByData(db, map_addr));
    if (client >= 1) {
        SetState(e, client, CS_DONE);
    } else {
        for (uint32_t c = 1; c <= 8; c++) SetState(e, c, CS_SEND);
        SetFlags(e, EF_PENDING | EF_STATIC);
        Z7Mem_Put16(e + E_ID, uint16_t(id));
    }
    Z7Sec_Set(db, Z7SEC_EVT, SD_USED, uint16_t(n + 1));
    SetHyster(e, up, lo);
    Z7Mem_Put16(e + E_COUNT, uint16_t(Z7Mem_Get16(e + E_COUNT) + 1));
    return n + 1;
}

uint32_t Z7EA_UnregisterChangeEvent(uint32_t db, uint32_t client, uint32_t type, uint32_t index, uint32_t ct) {
    if (db == 0 || client > 8) return 1;
    for (uint32_t i = 0; i < Used(db); i++) {
        const uint32_t e = Entry(db, i);
        if (!Key(e, type, index, ct)) continue;
        const bool is_static = Flags(e) & EF_STATIC;
        if (client == 0) {
            if (!is_static) continue;  // a private entry of the same key is passed over, not refused
            Remove(db, i);
            return 0;
        }
        if (is_static || State(e, client) == CS_NONE) continue;
        SetState(e, client, CS_NONE);
        const uint16_t k = Z7Mem_Get16(e + E_COUNT);
        Z7Mem_Put16(e + E_COUNT, uint16_t(k ? k - 1 : 0));
        if (k <= 1) Remove(db, i);
        return 0;
    }
    return 1;
}

uint32_t Z7EA_RegisterStaticEvents(uint32_t code, uint32_t db) {
    for (uint32_t i = 0; i < Used(db);) {
        if (Flags(Entry(db, i)) & EF_STATIC)
            Remove(db, i);
        else
            i++;
    }
    const uint32_t list = Z7VMCode_StaticEvents(code);
    if (list == 0) return 0;
    const uint32_t end = code + Z7VMCode_Length(code);
    uint32_t rc = 0;
    for (uint32_t p = list; p + 8 <= end && Z7Mem_Get8(p) != 0;) {
        const uint32_t type = Z7Mem_Get8(p), flags = Z7Mem_Get8(p + 1), index = Z7Mem_Get16(p + 2);
        const uint32_t id = Z7Mem_Get16(p + 4), h = Z7Mem_Get16(p + 6);
        const uint32_t tail = p + 8 + 2 * h;
        const uint32_t next = tail + ((flags & 0x80) ? 4 : 0);
        if (next > end) return 1;  // the list's end is lost: nothing behind can be read
        if (h > 8) {               // limits wider than any type: this record refused, the others go on
            rc = 1;
            p = next;
            continue;
        }
        uint8_t up[8] = {}, lo[8] = {};
        if (h) {
            std::memcpy(up, Z7Mem_Ptr(p + 8, h), h);
            std::memcpy(lo, Z7Mem_Ptr(p + 8 + h, h), h);
        }
        const uint32_t ct = (flags & 0x80)
                                ? Z7Mem_Get8(tail) | uint32_t(Z7Mem_Get8(tail + 1)) << 8 |
                                      uint32_t(Z7Mem_Get8(tail + 2)) << 16 | uint32_t(Z7Mem_Get8(tail + 3)) << 24
                                : 0;
        if (Z7EA_RegisterChangeEvent(db, 0, type, index, id, h ? up : nullptr, h ? lo : nullptr, ct) == 0) rc = 1;
        p = next;
    }
    return rc;
}

uint32_t Z7EA_UnregisterAllBroadcastEvents(uint32_t db) {
    for (uint32_t i = 0; i < Used(db); i++) {
        const uint32_t e = Entry(db, i);
        if (!(Flags(e) & EF_STATIC)) continue;
        Z7Mem_Put16(e + E_COUNT, 0);
        Z7Mem_Put8(e + E_TYPE, 0);
    }
    return 0;
}

void Z7EA_ForceGeneralUpdate(uint32_t db) {
    for (uint32_t i = 0; i < Used(db); i++) {
        const uint32_t e = Entry(db, i);
        if ((Flags(e) & EF_STATIC) && Z7Mem_Get8(e + E_TYPE) != 0) SetFlags(e, uint16_t(Flags(e) & ~EF_PRIMED));
    }
}

uint32_t Z7EA_Open(uint32_t db, void *evs) {
    if (db == 0) return 1;
    ClearTable(db);
    if (evs) Z7Evs_EAOpen(evs);
    return Z7EA_RegisterStaticEvents(Z7Mem_Get32(Z7VM_Header(db) + HD_CODE), db);
}

void Z7EA_Close(uint32_t db, void *evs) {
    if (evs) {
        Z7Evs_FlushEAEvents(evs);
        Z7Evs_Event(evs, 1, 9, 0, nullptr);
    }
    if (db) ClearTable(db);
}

uint32_t Z7EA_ManagePrivateEvents(uint32_t db, void *evs) { return Manage(db, evs, false, true); }
uint32_t Z7EA_ManageBroadcastEvents(uint32_t db, void *evs) {
    return (Z7St_Flags(db) & Z7F_NOEVENTS) ? 0 : Manage(db, evs, true, false);
}

uint32_t Z7EA_ManageChangeEvents(uint32_t db, void *evs) {
    const bool off = Z7St_Flags(db) & Z7F_NOEVENTS;
    Z7Evs_SetEventsDisabled(evs, off);
    return Manage(db, evs, !off, true);
}

void Z7Svc_InstallVMHooks() {
    Z7VM_Hooks.register_change = Z7EA_RegisterChangeEvent;
    Z7VM_Hooks.unregister_change = Z7EA_UnregisterChangeEvent;
    Z7VM_Hooks.on_app_change = Z7Evs_OnAppChange;
    Z7VM_Hooks.date_time = HookClock;
    Z7VM_Hooks.event_port = HookPort;
    Z7Svc_InstallStdHooks();
}
