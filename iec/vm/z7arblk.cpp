// Array blocks of the controller registry: ARCOUNT, ARFIND, ARFILL, ARMIN,
// ARMAX and ARSORT on a whole one-dimensional array of any elementary type.
// Operands 0-2: element type code (literal), array, element count (literal);
// the array must lie inside its segment, else the block does nothing but
// write its failure result.
#include <algorithm>
#include <cstring>
#include <type_traits>

#include "iec/vm/z7stdlib.h"
#include "iec/vm/z7vm.h"

namespace {
struct Arr {
    uint32_t db = 0, arg = 0;
    uint32_t type = 0, count = 0, esize = 0;
    uint8_t *p = nullptr;  // first element, or null when unresolved
    uint16_t Op(uint32_t k) const { return Z7Mem_Get16(arg + 2 * k); }
    uint8_t *At(uint32_t i) const { return p + uint64_t(i) * esize; }
};

// STRING arrays: slots of one maximum length, one after another, inside the
// string buffers (or the complex-type segment).
uint8_t *StringArray(uint32_t db, uint32_t index, uint32_t count, uint32_t &esize) {
    const bool ct = Z7Sec_Bytes(db, Z7SEC_CT) != 0;
    uint32_t a = 0;
    if (ct) {
        const uint32_t v = Z7Sec_Elem(db, Z7SEC_D32, index);
        a = v ? Z7Sec_Addr(db, Z7SEC_CT) + Z7Mem_Get32(v) : 0;
    } else {
        const uint32_t e = Z7Sec_Elem(db, Z7SEC_STRPTR, index);
        a = e ? Z7Mem_Get32(e) : 0;
    }
    const uint32_t sec = ct ? uint32_t(Z7SEC_CT) : uint32_t(Z7SEC_STRBUF);
    const uint32_t seg = Z7Sec_Addr(db, sec), bytes = Z7Sec_Bytes(db, sec);
    if (a == 0 || a < seg || a - seg >= bytes) return nullptr;
    esize = Z7Mem_Get8(a) + 3u;
    if (uint64_t(a - seg) + uint64_t(count) * esize > bytes) return nullptr;
    return Z7Mem_Ptr(a, count * esize);
}

bool Open(uint32_t db, uint32_t arg, uint32_t need, Arr &a) {
    if (arg < 2 || Z7Mem_Ptr(arg - 2, 2 + 2 * need) == nullptr || Z7Mem_Get16(arg - 2) < need) return false;
    a.db = db;
    a.arg = arg;
    a.type = a.Op(0);
    const int32_t n = a.Op(2);
    a.count = uint32_t(n);
    if (a.type == 5) {
        a.p = StringArray(db, a.Op(1), a.count, a.esize);
    } else {
        const uint32_t addr = Z7Tools_GetArrayIn(db, a.type, a.Op(1), n, &a.esize);
        a.p = addr ? Z7Mem_Ptr(addr, a.count ? a.count * a.esize : 1) : nullptr;
    }
    return true;
}

template <typename T>
T Load(const uint8_t *p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
// Ordering: -1, 0, 1 of element a against b for the type.
int Compare(uint32_t type, const uint8_t *a, const uint8_t *b) {
    auto cmp = [](auto x, auto y) { return x < y ? -1 : y < x ? 1 : 0; };
    switch (type) {
    case 1:
    case 10:
    case 14: return cmp(a[0], b[0]);
    case 11: return cmp(Load<int16_t>(a), Load<int16_t>(b));
    case 15: return cmp(Load<uint16_t>(a), Load<uint16_t>(b));
    case 2: return cmp(Load<int32_t>(a), Load<int32_t>(b));
    case 4:
    case 16: return cmp(Load<uint32_t>(a), Load<uint32_t>(b));
    case 3: return cmp(Load<float>(a), Load<float>(b));
    case 12: return cmp(Load<int64_t>(a), Load<int64_t>(b));
    case 17: return cmp(Load<uint64_t>(a), Load<uint64_t>(b));
    case 13: return cmp(Load<double>(a), Load<double>(b));
    case 5: {
        const uint32_t la = a[1], lb = b[1], n = la < lb ? la : lb;
        const int c = std::memcmp(a + 2, b + 2, n);
        return c != 0 ? (c < 0 ? -1 : 1) : cmp(la, lb);
    }
    default: return 0;
    }
}
bool Equal(uint32_t type, const uint8_t *a, const uint8_t *b, uint32_t esize) {
    switch (type) {
    case 13: return Load<double>(a) == Load<double>(b);
    case 5: return a[1] == b[1] && std::memcmp(a + 2, b + 2, a[1]) == 0;
    default: return std::memcmp(a, b, esize) == 0;
    }
}
bool Handled(uint32_t type) {
    switch (type) {
    case 1:
    case 2:
    case 3:
    case 4:
    case 5:
    case 10:
    case 11:
    case 12:
    case 13:
    case 14:
    case 15:
    case 16:
    case 17: return true;
    default: return false;
    }
}
// A value operand of the element type (host pointer), or null.
const uint8_t *Value(const Arr &a, uint32_t k, uint32_t *locked = nullptr) {
    uint32_t size = 0;
    const uint32_t v = Z7Tools_GetAnyParam(a.db, a.type, a.Op(k), locked, &size);
    return v ? Z7Mem_Ptr(v, size) : nullptr;
}
void PutB(const Arr &a, uint32_t k, bool v) {
    uint32_t locked = 0;
    const uint32_t at = Z7Tools_GetAnyParam(a.db, 1, a.Op(k), &locked, nullptr);
    if (at && !locked) Z7Mem_Put8(at, v ? 1 : 0);
}
void PutD(const Arr &a, uint32_t k, int32_t v) {
    uint32_t locked = 0;
    const uint32_t at = Z7Tools_GetAnyParam(a.db, 2, a.Op(k), &locked, nullptr);
    if (at && !locked) Z7Mem_Put32(at, uint32_t(v));
}
int32_t D(const Arr &a, uint32_t k) { return int32_t(Z7Mem_Get32(Z7Sec_Elem(a.db, Z7SEC_D32, a.Op(k)))); }
// Element e into a string slot (cut to its maximum length, terminated).
void PutString(uint8_t *slot, const uint8_t *e) {
    const uint32_t n = e[1] < slot[0] ? e[1] : slot[0];
    std::memmove(slot + 2, e + 2, n);
    slot[1] = uint8_t(n);
    slot[2 + n] = 0;
}

// Exchange sort on one type: each position takes the smallest of the rest.
template <typename T>
void SortT(uint8_t *p, uint32_t n) {
    // integers: equal elements are identical, so any ascending sort ends as the
    // exchange sort does; a short array is sorted in a copy on the stack
    if constexpr (std::is_integral_v<T>) {
        if (n <= 512) {
            T buf[512];
            std::memcpy(buf, p, n * sizeof(T));
            std::sort(buf, buf + n);
            std::memcpy(p, buf, n * sizeof(T));
            return;
        }
    }
    for (uint32_t i = 0; i + 1 < n; i++) {
        T vi = Load<T>(p + i * sizeof(T));
        for (uint32_t j = i + 1; j < n; j++) {
            const T vj = Load<T>(p + j * sizeof(T));
            if (vj < vi) {
                std::memcpy(p + j * sizeof(T), &vi, sizeof(T));
                vi = vj;
            }
        }
        std::memcpy(p + i * sizeof(T), &vi, sizeof(T));
    }
}
void Sort(const Arr &a) {
    const uint32_t n = a.count;
    switch (a.type) {
    case 1:
    case 10:
    case 14: SortT<uint8_t>(a.p, n); return;
    case 11: SortT<int16_t>(a.p, n); return;
    case 15: SortT<uint16_t>(a.p, n); return;
    case 2: SortT<int32_t>(a.p, n); return;
    case 4:
    case 16: SortT<uint32_t>(a.p, n); return;
    case 3: SortT<float>(a.p, n); return;
    case 12: SortT<int64_t>(a.p, n); return;
    case 17: SortT<uint64_t>(a.p, n); return;
    case 13: SortT<double>(a.p, n); return;
    case 5: {
        // current length, text and terminator change places; a length byte
        // past the slots' maximum is cut to it, so that no text runs into the
        // next slot
        uint8_t tmp[256];
        const uint32_t room = a.esize - 3;
        for (uint32_t i = 0; i + 1 < n; i++)
            for (uint32_t j = i + 1; j < n; j++)
                if (Compare(5, a.At(j), a.At(i)) < 0) {
                    uint8_t *si = a.At(i), *sj = a.At(j);
                    const uint32_t li = std::min<uint32_t>(si[1], room), lj = std::min<uint32_t>(sj[1], room);
                    std::memcpy(tmp, si + 2, li);
                    std::memcpy(si + 2, sj + 2, lj);
                    si[1] = uint8_t(lj);
                    si[2 + lj] = 0;
                    std::memcpy(sj + 2, tmp, li);
                    sj[1] = uint8_t(li);
                    sj[2 + li] = 0;
                }
        return;
    }
    default: return;
    }
}

enum : uint32_t { ROW_ARCOUNT = 51, ROW_ARFIND, ROW_ARFILL, ROW_ARMIN, ROW_ARMAX, ROW_ARSORT };

template <uint32_t Row>
uint32_t Block(uint32_t cmd, uint32_t db, uint32_t, uint32_t, uint32_t arg) {
    if (cmd == FB_AVAIL) return 1;
    if (cmd != FB_EXEC) return 0;
    constexpr uint32_t kNeed = Row == ROW_ARSORT                      ? 4
                               : Row == ROW_ARMIN || Row == ROW_ARMAX ? 4
                               : Row == ROW_ARFILL                    ? 5
                                                                      : 6;
    Arr a;
    if (!Open(db, arg, kNeed, a)) return 0;
    const bool ok = a.p != nullptr && Handled(a.type);
    switch (Row) {
    case ROW_ARSORT:
        PutB(a, 3, a.p != nullptr);
        if (ok && a.count >= 2) Sort(a);
        return 0;
    case ROW_ARMIN:
    case ROW_ARMAX: {
        uint32_t locked = 0, size = 0;
        const uint32_t r = Z7Tools_GetAnyParam(db, a.type, a.Op(3), &locked, &size);
        if (!ok || r == 0 || a.count == 0 || locked) return 0;
        uint32_t best = 0;
        for (uint32_t i = 1; i < a.count; i++) {
            const int c = Compare(a.type, a.At(i), a.At(best));
            if (Row == ROW_ARMIN ? c < 0 : c > 0) best = i;
        }
        if (a.type == 5)
            PutString(Z7Mem_Ptr(r, size), a.At(best));
        else
            std::memmove(Z7Mem_Ptr(r, size), a.At(best), a.esize);
        return 0;
    }
    case ROW_ARFILL: {
        const uint8_t *v = Value(a, 3);
        PutB(a, 4, a.p != nullptr && v != nullptr);
        if (!ok || v == nullptr) return 0;
        uint8_t copy[258];
        std::memcpy(copy, v, a.type == 5 ? v[1] + 3u : a.esize);
        for (uint32_t i = 0; i < a.count; i++) {
            if (a.type == 5)
                PutString(a.At(i), copy);
            else
                std::memcpy(a.At(i), copy, a.esize);
        }
        return 0;
    }
    default: {  // ARFIND, ARCOUNT
        const bool find = Row == ROW_ARFIND;
        PutD(a, 5, find ? -1 : 0);
        const uint8_t *v = Value(a, 3);
        const int32_t start = D(a, 4);
        if (!ok || v == nullptr || start < 0 || uint32_t(start) >= a.count) return 0;
        int32_t n = 0;
        for (uint32_t i = uint32_t(start); i < a.count; i++) {
            if (!Equal(a.type, a.At(i), v, a.esize)) continue;
            if (find) {
                PutD(a, 5, int32_t(i));
                return 0;
            }
            n++;
        }
        if (!find) PutD(a, 5, n);
        return 0;
    }
    }
}
}  // namespace

FbHandler Z7ArBlk_GetProc(uint32_t row) {
    switch (row) {
    case ROW_ARCOUNT: return Block<ROW_ARCOUNT>;
    case ROW_ARFIND: return Block<ROW_ARFIND>;
    case ROW_ARFILL: return Block<ROW_ARFILL>;
    case ROW_ARMIN: return Block<ROW_ARMIN>;
    case ROW_ARMAX: return Block<ROW_ARMAX>;
    case ROW_ARSORT: return Block<ROW_ARSORT>;
    default: return nullptr;
    }
}
