// Symbol path parser and member enumerator. Type definitions are read in the
// code image with every offset checked against the image's end; the walk is
// bounded in depth, so looping or damaged definitions resolve to nothing.
#include "iec/vm/z7syb.h"

#include <cstdio>
#include <cstring>

#include "iec/vm/z7map.h"
#include "iec/vm/z7stdlib.h"
#include "iec/vm/z7str.h"
#include "iec/vm/z7vm.h"

namespace {
constexpr uint32_t kMaxName = 256;
constexpr uint32_t kMaxDepth = 32;
// Array elements and members one enumeration visits at most (a damaged
// definition may name billions); past it the enumeration reports 0.
constexpr uint32_t kMaxVisits = 65536;

// Complex-type definitions of the running image: [base, end) in the arena.
struct Defs {
    uint32_t base = 0, end = 0;
    bool In(uint32_t off, uint32_t n) const { return base && off <= end - base && n <= end - base - off; }
    uint8_t B(uint32_t off) const { return Z7Mem_Get8(base + off); }
    uint32_t U16(uint32_t off) const { return B(off) | uint32_t(B(off + 1)) << 8; }
    uint32_t U32(uint32_t off) const { return U16(off) | U16(off + 2) << 16; }
    // Offset of the kind byte of the definition at off (behind its name), or ~0u.
    uint32_t Kind(uint32_t off) const {
        for (uint32_t i = off; In(i, 1); i++)
            if (B(i) == 0) return In(i + 1, 1) ? i + 1 : ~0u;
        return ~0u;
    }
};

Defs DefsOf(uint32_t db) {
    Defs d;
    const uint32_t code = Z7Mem_Get32(Z7VM_Header(db) + HD_CODE);
    const uint32_t base = Z7VMCode_GetCTTypeDef(code);
    if (base == 0) return d;
    d.base = base;
    d.end = code + Z7VMCode_Length(code);
    return d;
}

uint32_t ElemSize(uint32_t t) { return Z7Tools_TypeSize(t & 0x7F); }

// Decimal number at p, at most 32 bits; advances p. False when there are no
// digits or the value overflows.
bool Number(const char *&p, uint32_t &v, bool empty_is_zero) {
    uint64_t n = 0;
    const char *s = p;
    while (*p >= '0' && *p <= '9') {
        n = n * 10 + uint32_t(*p - '0');
        if (n > 0xFFFFFFFFu) return false;
        p++;
    }
    if (p == s && !empty_is_zero) return false;
    v = uint32_t(n);
    return true;
}

bool NameEnd(char c) { return c == 0 || c == '.' || c == '['; }

struct Walk {
    uint32_t db;
    Defs defs;
    uint32_t ct_base, ct_end;  // complex-type segment
    bool want_def;
    uint32_t *type;
    const char **def_out;
};

// One level of the complex-type walk from addr with the definition at def.
uint32_t ParseCT(Walk &w, uint32_t addr, uint32_t def, const char *p, uint32_t depth) {
    if (depth > kMaxDepth) return 0;
    const uint32_t k = w.defs.Kind(def);
    if (k == ~0u) return 0;
    if (w.def_out) *w.def_out = reinterpret_cast<const char *>(Z7Mem_Ptr(w.defs.base + def, 1));
    const uint8_t kind = w.defs.B(k);
    if (*p == 0) {
        if (kind == 1) {
            if (!w.defs.In(k + 1, 1)) return 0;
            const uint32_t t = w.defs.B(k + 1);
            if (t > 17 || (ElemSize(t) == 0 && t != 5)) return 0;  // not an elementary type code
            const uint32_t size = ElemSize(t) ? ElemSize(t) : 1;
            if (addr < w.ct_base || addr > w.ct_end || size > w.ct_end - addr) return 0;
            *w.type = t;
            return addr;
        }
        if (!w.want_def || addr < w.ct_base || addr >= w.ct_end) return 0;
        *w.type = 127;
        return addr;
    }
    if (*p == '.') {
        if ((kind != 5 && kind != 7) || !w.defs.In(k + 1, 4)) return 0;
        const uint32_t count = w.defs.U16(k + 1);
        uint32_t m = w.defs.U16(k + 3);
        const char *name = p + 1;
        size_t n = 0;
        while (!NameEnd(name[n])) n++;
        for (uint32_t i = 0; i < count; i++) {
            uint32_t len = 0;
            while (w.defs.In(m + len, 1) && w.defs.B(m + len) != 0) len++;
            if (!w.defs.In(m + len, 8)) return 0;  // NUL, marker, u16, u32
            const uint32_t rec = m + len + 1;
            if (len == n &&
                Z7VMStr_NICmp(reinterpret_cast<const char *>(Z7Mem_Ptr(w.defs.base + m, len)), name, len) == 0) {
                if (w.defs.B(rec) != 6) return 0;
                const uint32_t off = w.defs.U32(rec + 3);
                if (uint64_t(addr) + off > 0xFFFFFFFFu) return 0;
                return ParseCT(w, addr + off, w.defs.U16(rec + 1), name + n, depth + 1);
            }
            m = rec + 7;
        }
        return 0;
    }
    if (*p == '[') {
        if (kind < 2 || kind > 4) return 0;
        const uint32_t dims = kind - 1u;
        if (!w.defs.In(k + 1, 6 + 4 * dims)) return 0;
        const uint32_t elem_def = w.defs.U16(k + 1), esize = w.defs.U32(k + 3);
        uint64_t flat = 0;
        const char *q = p + 1;
        for (uint32_t i = 0; i < dims; i++) {
            uint32_t idx;
            if (!Number(q, idx, false)) return 0;
            const uint32_t bound = w.defs.U32(k + 7 + 4 * (dims - 1 - i));
            if (idx >= bound) return 0;
            flat = flat * bound + idx;
            if (flat > 0xFFFFFFFFu) return 0;
            if (*q != (i + 1 < dims ? ',' : ']')) return 0;
            q++;
        }
        const uint64_t a = addr + flat * esize;
        if (a > 0xFFFFFFFFu) return 0;
        return ParseCT(w, uint32_t(a), elem_def, q, depth + 1);
    }
    return 0;
}

uint32_t ParsePath(uint32_t db, const char *path, uint32_t *type, const char **type_name, bool want_def) {
    uint32_t tmp_type;
    if (type == nullptr) type = &tmp_type;
    *type = 0;
    if (type_name) *type_name = nullptr;
    if (db == 0 || path == nullptr) return 0;
    const char *p = path;
    const uint32_t item = Z7VmSyb_GetMapItem(db, &p);
    if (item == 0) return 0;
    const uint32_t t = Z7Map_GetType(item) & 0x7F, data = Z7Map_GetData(item);
    if (data == 0) return 0;
    if (t == 127) {
        Walk w{
            db,   DefsOf(db), Z7Sec_Addr(db, Z7SEC_CT), Z7Sec_Addr(db, Z7SEC_CT) + Z7Sec_Bytes(db, Z7SEC_CT), want_def,
            type, type_name};
        const uint32_t info = Z7Map_GetTypeInfo(item, db);
        if (info == 0 || w.defs.base == 0) return 0;
        const uint32_t a = ParseCT(w, data, info - w.defs.base, p, 0);
        if (a == 0) {
            *type = 0;
            if (type_name) *type_name = nullptr;
        }
        return a;
    }
    const uint32_t dim = Z7Map_GetDim(item);
    if (dim > 1) {
        if (*p != '[') return 0;
        p++;
        uint32_t idx;
        if (!Number(p, idx, true) || Z7VMStr_ICmp(p, "]") != 0 || idx >= dim) return 0;
        if (t == 5) {
            const uint32_t slot = Z7VMStr_Slot(db, Z7Map_GetIndex(item) + idx);
            if (slot == 0) return 0;
            *type = 5;
            return slot;
        }
        const uint32_t es = ElemSize(t);
        if (es == 0) return 0;
        *type = t;
        return data + idx * es;
    }
    if (*p != 0) return 0;
    *type = t;
    if (type_name) *type_name = Z7Map_GetTypeName(item, db);
    return data;
}

struct Enum {
    Defs defs;
    char *buf;
    uint32_t size;
    Z7VmSybEnumFn fn;
    void *user;
    uint32_t visits;
};

bool Append(Enum &e, const char *s) {
    const size_t len = std::strlen(e.buf), n = std::strlen(s);
    if (len + n >= e.size) return false;
    std::memcpy(e.buf + len, s, n + 1);
    return true;
}

uint32_t EnumMembers(Enum &e, uint32_t def, uint32_t depth) {
    if (depth > kMaxDepth) return 0;
    const uint32_t k = e.defs.Kind(def);
    if (k == ~0u) return 0;
    const uint8_t kind = e.defs.B(k);
    const size_t keep = std::strlen(e.buf);
    if (kind == 1) {
        if (!e.defs.In(k + 1, 1)) return 0;
        e.fn(e.buf, e.defs.B(k + 1), e.user);
        return 1;
    }
    if (kind >= 2 && kind <= 4) {
        const uint32_t dims = kind - 1u;
        if (!e.defs.In(k + 1, 6 + 4 * dims)) return 0;
        const uint32_t elem = e.defs.U16(k + 1);
        // indexes in the order the parser reads them: the first bounded by
        // the last stored size
        uint32_t bound[3] = {1, 1, 1};
        for (uint32_t i = 0; i < dims; i++) bound[i] = e.defs.U32(k + 7 + 4 * (dims - 1 - i));
        const uint64_t total = uint64_t(bound[0]) * bound[1] * bound[2];
        if (total == 0) return 1;  // an empty array has no members
        if (total > kMaxVisits - e.visits) return 0;
        uint32_t result = 1;
        for (uint32_t a = 0; a < bound[0]; a++)
            for (uint32_t b = 0; b < (dims > 1 ? bound[1] : 1); b++)
                for (uint32_t c = 0; c < (dims > 2 ? bound[2] : 1); c++) {
                    if (++e.visits > kMaxVisits) return 0;  // nested arrays
                    char s[40];
                    if (dims == 1)
                        std::snprintf(s, sizeof s, "[%u]", a);
                    else if (dims == 2)
                        std::snprintf(s, sizeof s, "[%u,%u]", a, b);
                    else
                        std::snprintf(s, sizeof s, "[%u,%u,%u]", a, b, c);
                    if (!Append(e, s)) return 0;
                    if (EnumMembers(e, elem, depth + 1) == 0) result = 0;
                    e.buf[keep] = 0;
                }
        return result;
    }
    if (kind == 5 || kind == 7) {
        if (!e.defs.In(k + 1, 4)) return 0;
        const uint32_t count = e.defs.U16(k + 1);
        uint32_t m = e.defs.U16(k + 3), result = 1;
        for (uint32_t i = 0; i < count; i++) {
            if (++e.visits > kMaxVisits) return 0;  // types that contain themselves
            uint32_t len = 0;
            while (e.defs.In(m + len, 1) && e.defs.B(m + len) != 0) len++;
            if (!e.defs.In(m + len, 8)) return 0;
            char s[kMaxName + 2];
            s[0] = '.';
            const uint32_t n = len < kMaxName ? len : kMaxName;
            std::memcpy(s + 1, Z7Mem_Ptr(e.defs.base + m, n), n);
            s[1 + n] = 0;
            if (!Append(e, s))
                result = 0;
            else {
                if (EnumMembers(e, e.defs.U16(m + len + 2), depth + 1) == 0) result = 0;
                e.buf[keep] = 0;
            }
            m += len + 8;
        }
        return result;
    }
    return 1;
}
}  // namespace

uint32_t Z7VmSyb_GetMapItem(uint32_t db, const char **cursor) {
    if (cursor == nullptr || *cursor == nullptr) return 0;
    const char *p = *cursor;
    char name[kMaxName + 1];
    uint32_t n = 0;
    while (!NameEnd(p[n])) {
        if (n >= kMaxName) return 0;
        name[n] = p[n];
        n++;
    }
    name[n] = 0;
    p += n;
    for (;;) {
        if (const uint32_t item = Z7Map_GetBySymbol(db, name)) {
            *cursor = p;
            return item;
        }
        if (*p != '.') return 0;
        uint32_t k = 1;
        while (!NameEnd(p[k])) k++;
        if (n + k > kMaxName) return 0;
        std::memcpy(name + n, p, k);
        n += k;
        name[n] = 0;
        p += k;
    }
}

uint32_t Z7VmSyb_Parse(uint32_t db, const char *path, uint32_t *type, const char **type_name) {
    return ParsePath(db, path, type, type_name, true);
}

uint32_t Z7VmSyb_ParseSingle(uint32_t db, const char *path, uint32_t *type) {
    return ParsePath(db, path, type, nullptr, false);
}

uint32_t Z7VmSyb_EnumCTMembers(uint32_t db, uint32_t item, char *buffer, uint32_t size, Z7VmSybEnumFn fn, void *user) {
    if (buffer == nullptr || size == 0 || fn == nullptr) return 0;
    buffer[0] = 0;
    if ((Z7Map_GetType(item) & 0x7F) != 127) return 0;
    Enum e{DefsOf(db), buffer, size, fn, user, 0};
    const uint32_t info = Z7Map_GetTypeInfo(item, db);
    if (info == 0 || e.defs.base == 0) return 0;
    return EnumMembers(e, info - e.defs.base, 0);
}
