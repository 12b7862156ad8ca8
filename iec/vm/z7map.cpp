// Variable map. The build trusts nothing of the image's variable table:
// records must lie inside the image and be long enough for their parts, a
// symbol must end inside its record, items are laid out with the section's
// element size as stride, and an index outside its typed section gives data
// address 0.
#include <array>
#include <cctype>
#include <cstring>
#include <initializer_list>

#include "iec/vm/z7code_internal.h"
#include "iec/vm/z7map.h"
#include "iec/vm/z7parts.h"
#include "iec/vm/z7stdlib.h"
#include "iec/vm/z7stfops.h"
#include "iec/vm/z7vm.h"

namespace {
// Item fields.
enum : uint32_t { MI_DEF = 0, MI_DATA = 4, MI_LOCK = 8, MI_NIDX = 12, MI_NSYM = 16, MI_NTAG = 20, MI_VSI = 24 };
// Definition record fields.
enum : uint32_t {
    DR_LEN = 0,
    DR_TYPE = 2,
    DR_INDEX = 4,
    DR_DIM = 6,
    DR_STRLEN = 8,
    DR_TAIL = 10,
    DR_TAG = 12,
    DR_FLAGS = 14,
    DR_SYM = 16
};

uint32_t Items(uint32_t db) { return Z7Sec_Addr(db, Z7SEC_MAPITEM); }
uint32_t Elem(uint32_t db) { return Z7Sec_Get(db, Z7SEC_MAPITEM, SD_ELEM); }
uint32_t Count(uint32_t db) { return Z7Sec_Get(db, Z7SEC_MAPITEM, SD_ALLOC); }
uint32_t Head(uint32_t db, uint32_t k) {
    const uint32_t h = Z7Sec_Elem(db, Z7SEC_MAPHASH, k);
    return h ? Z7Mem_Get32(h) : 0;
}
void SetHead(uint32_t db, uint32_t k, uint32_t v) {
    const uint32_t h = Z7Sec_Elem(db, Z7SEC_MAPHASH, k);
    if (h) Z7Mem_Put32(h, v);
}

uint16_t Def16(uint32_t item, uint32_t field) {
    const uint32_t def = item ? Z7Mem_Get32(item + MI_DEF) : 0;
    return def ? Z7Mem_Get16(def + field) : 0;
}

// Symbol of a definition when flag 0x1 is set and it ends inside the record.
const char *Symbol(uint32_t def) {
    if (def == 0 || !(Z7Mem_Get16(def + DR_FLAGS) & 0x1)) return nullptr;
    const uint32_t len = Z7Mem_Get16(def + DR_LEN);
    if (len <= DR_SYM) return nullptr;
    const char *p = reinterpret_cast<const char *>(Z7Mem_Ptr(def + DR_SYM, len - DR_SYM));
    return p && memchr(p, 0, len - DR_SYM) ? p : nullptr;
}

uint32_t Fold(uint32_t t) {
    switch (t) {
    case 14: return 10;
    case 15: return 11;
    case 16: return 2;
    case 17: return 12;
    default: return t;
    }
}

// Data address of a definition (0 when its index lies outside its section).
uint32_t DataAddr(uint32_t db, const Z7Img &img, uint32_t rec, uint32_t reclen) {
    const uint32_t type = img.W16(rec + DR_TYPE), idx = img.W16(rec + DR_INDEX), flags = img.W16(rec + DR_FLAGS);
    auto in = [&](uint32_t sec, uint32_t off, uint32_t width) -> uint32_t {
        const uint32_t base = Z7Sec_Addr(db, sec);
        return base && uint64_t(off) + width <= Z7Sec_Bytes(db, sec) ? base + off : 0;
    };
    auto ptr = [&](uint32_t sec) -> uint32_t {
        const uint32_t e = Z7Sec_Elem(db, sec, idx);
        return e ? Z7Mem_Get32(e) : 0;
    };
    if (type & 0x80) return ptr(Z7SEC_XV);
    switch (type) {
    case 1:
    case 10:
    case 14: return in(Z7SEC_D8, idx, 1);
    case 11:
    case 15: return in(Z7SEC_D16, 2 * idx, 2);
    case 2:
    case 3:
    case 16: return in(Z7SEC_D32, 4 * idx, 4);
    case 4: return in(Z7SEC_TIME, 4 * idx, 4);
    case 12:
    case 13:
    case 17: return in(Z7SEC_D64, 8 * idx, 8);
    case 5: return ptr(Z7SEC_STRPTR);
    case 127: {
        const uint32_t tail = img.W16(rec + DR_TAIL);
        if (!(flags & 0x100) || tail < DR_SYM || uint64_t(tail) + 8 > reclen) return 0;
        return in(Z7SEC_CT, img.W32(rec + tail), 1);
    }
    default: return 0;
    }
}

bool ICmp(const char *a, const char *b) {
    for (;; a++, b++) {
        if (std::toupper(uint8_t(*a)) != std::toupper(uint8_t(*b))) return false;
        if (*a == 0) return true;
    }
}

// Index of the last map built, by the whole 16-bit symbol hash, so that a
// lookup among many variables compares about one symbol. Item numbers + 1;
// valid only for the database it was built for.
constexpr uint32_t kMaxItems = 65536;
std::array<uint32_t, 65536> ix_head{};
std::array<uint32_t, kMaxItems> ix_next{};
uint32_t ix_db = 0, ix_items = 0, ix_elem = 0;

uint32_t TableOf(const Z7Img &img) {
    const uint32_t off = img.Table(16, 16);
    if (off == 0 || img.W16(off) == 0 || img.W16(off + 14) != 0x8000) return 0;
    return off;
}
}  // namespace

uint16_t Z7Map_Hash(const char *name) {
    uint32_t h = 0;
    for (const char *p = name; p && *p; p++) {
        const uint8_t c = uint8_t(*p);
        h = (h * 33 + (c >= 'a' && c <= 'z' ? c - 32 : c)) % 65536;
    }
    return uint16_t(h);
}

uint32_t Z7VMMap_Build(uint32_t db, uint32_t code) {
    if (db == ix_db) ix_db = 0;
    const Z7Img img = Z7Img_Of(code);
    const uint32_t table = TableOf(img);
    if (table == 0 || db == 0) return 0;
    const uint32_t items = Items(db), elem = Elem(db), count = Count(db);
    if (items == 0 || (elem != 24 && elem != 40) || uint64_t(count) * elem > Z7Sec_Bytes(db, Z7SEC_MAPITEM)) return 0;
    for (uint32_t k = 0; k < 49; k++) SetHead(db, k, 0);
    ix_head.fill(0);
    ix_db = db;
    ix_items = items;
    ix_elem = elem;
    // status information survives a rebuild only under the same map stamp
    const uint32_t stamp = img.W32(table + 8), hd = Z7VM_Header(db);
    const bool keep_vsi = hd != 0 && Z7Mem_Get32(hd + HD_MAPSTAMP) == stamp;
    uint32_t rec = table + img.W16(table);
    for (uint32_t i = 0; i < count; i++) {
        if (!img.In(rec, DR_SYM)) break;
        const uint32_t len = img.W16(rec + DR_LEN);
        if (len == 0 || len < DR_SYM || !img.In(rec, len)) break;
        const uint32_t item = items + i * elem;
        if (elem == 40 && !keep_vsi)
            for (uint32_t k = 0; k < 16; k += 4) Z7Mem_Put32(item + MI_VSI + k, 0);
        Z7Mem_Put32(item + MI_DEF, code + rec);
        Z7Mem_Put32(item + MI_DATA, DataAddr(db, img, rec, len));
        const uint32_t idx = img.W16(rec + DR_INDEX);
        const uint32_t lock = Z7Sec_Addr(db, Z7SEC_LOCK);
        Z7Mem_Put32(item + MI_LOCK, lock && idx < Z7Sec_Bytes(db, Z7SEC_LOCK) ? lock + idx : 0);
        Z7Mem_Put32(item + MI_NIDX, Head(db, idx % 16));
        SetHead(db, idx % 16, item);
        const uint32_t flags = img.W16(rec + DR_FLAGS);
        Z7Mem_Put32(item + MI_NTAG, 0);
        if (flags & 0x2) {
            const uint32_t tag = img.W16(rec + DR_TAG);
            Z7Mem_Put32(item + MI_NTAG, Head(db, 16 + tag % 16));
            SetHead(db, 16 + tag % 16, item);
        }
        Z7Mem_Put32(item + MI_NSYM, 0);
        if (const char *sym = Symbol(code + rec)) {
            const uint16_t h = Z7Map_Hash(sym);
            ix_next[i] = ix_head[h];
            ix_head[h] = i + 1;
            const uint32_t b = 32 + h % 17;
            Z7Mem_Put32(item + MI_NSYM, Head(db, b));
            SetHead(db, b, item);
        }
        rec += len;
    }
    if (hd) Z7Mem_Put32(hd + HD_MAPSTAMP, stamp);
    return 0;
}

uint32_t Z7VMMap_CanHotRestart(uint32_t db, uint32_t code) {
    const Z7Img img = Z7Img_Of(code);
    const uint32_t table = TableOf(img);
    if (table == 0) return 0;
    const uint32_t elem = (img.W16(table + 6) & 0x200) ? 40 : 24;
    if (elem != Elem(db) || img.W16(table + 2) != Z7Sec_Get(db, Z7SEC_MAPITEM, SD_BOUND)) return 1;
    // the items are rebuilt in place: more records than the section holds cannot be
    return uint64_t(img.W16(table + 4)) * elem > Z7Sec_Bytes(db, Z7SEC_MAPITEM) ? 1 : 0;
}

uint32_t Z7VMMap_HotRestart(uint32_t db, uint32_t code) {
    for (uint32_t k = 0; k < 49; k++) SetHead(db, k, 0);
    if (db == ix_db) ix_db = 0;
    const Z7Img img = Z7Img_Of(code);
    const uint32_t table = TableOf(img);
    if (table == 0) {
        const uint32_t desc = db + Z7SEC_MAPITEM * Z7_DESC_SIZE;
        if (Z7Mem_Get32(desc + SD_SIZE) == 0) Z7Mem_Put32(desc + SD_SIZE, Z7Sec_Bytes(db, Z7SEC_MAPITEM));
        Z7Sec_Set(db, Z7SEC_MAPITEM, SD_ALLOC, 0);
        return 0;
    }
    if (Z7VMMap_CanHotRestart(db, code)) return 1;
    const uint32_t n = img.W16(table + 4);
    if (uint64_t(n) * Elem(db) > Z7Sec_Bytes(db, Z7SEC_MAPITEM)) return 1;
    // the section keeps its bytes (the sections behind it stay where they are)
    const uint32_t desc = db + Z7SEC_MAPITEM * Z7_DESC_SIZE;
    if (Z7Mem_Get32(desc + SD_SIZE) == 0) Z7Mem_Put32(desc + SD_SIZE, Z7Sec_Bytes(db, Z7SEC_MAPITEM));
    Z7Sec_Set(db, Z7SEC_MAPITEM, SD_ALLOC, uint16_t(n));
    return Z7VMMap_Build(db, code);
}

uint32_t Z7Map_GetBySymbol(uint32_t db, const char *name) {
    if (db == 0 || name == nullptr) return 0;
    if (db == ix_db && Items(db) == ix_items && Elem(db) == ix_elem) {
        for (uint32_t i = ix_head[Z7Map_Hash(name)]; i; i = ix_next[i - 1]) {
            const uint32_t it = ix_items + (i - 1) * ix_elem;
            const char *s = Symbol(Z7Mem_Get32(it + MI_DEF));
            if (s && ICmp(s, name)) return it;
        }
        return 0;
    }
    for (uint32_t it = Head(db, 32 + Z7Map_Hash(name) % 17); it; it = Z7Mem_Get32(it + MI_NSYM)) {
        const char *s = Symbol(Z7Mem_Get32(it + MI_DEF));
        if (s && ICmp(s, name)) return it;
    }
    return 0;
}

uint32_t Z7Map_GetByIndex(uint32_t db, uint32_t type, uint32_t index) {
    if (db == 0) return 0;
    for (uint32_t it = Head(db, index % 16); it; it = Z7Mem_Get32(it + MI_NIDX)) {
        if (Fold(Def16(it, DR_TYPE)) == Fold(type) && Def16(it, DR_INDEX) == index) return it;
    }
    return 0;
}

uint32_t Z7Map_GetByNumTag(uint32_t db, uint32_t tag) {
    if (db == 0) return 0;
    for (uint32_t it = Head(db, 16 + tag % 16); it; it = Z7Mem_Get32(it + MI_NTAG)) {
        if (Def16(it, DR_TAG) == tag) return it;
    }
    return 0;
}

uint32_t Z7Map_GetFirst(uint32_t db, uint32_t *pos) {
    if (db == 0 || Count(db) == 0 || Items(db) == 0 || Z7Mem_Get32(Items(db) + MI_DEF) == 0) return 0;
    if (pos) *pos = 0;
    return Items(db);
}

uint32_t Z7Map_GetNext(uint32_t db, uint32_t *pos) {
    if (db == 0 || pos == nullptr || *pos + 1 >= Count(db)) return 0;
    const uint32_t it = Items(db) + (*pos + 1) * Elem(db);
    if (Z7Mem_Get32(it + MI_DEF) == 0) return 0;
    (*pos)++;
    return it;
}

uint32_t Z7Map_GetByData(uint32_t db, uint32_t address) {
    uint32_t pos = 0;
    for (uint32_t it = Z7Map_GetFirst(db, &pos); it; it = Z7Map_GetNext(db, &pos))
        if (Z7Mem_Get32(it + MI_DATA) == address) return it;
    return 0;
}

uint32_t Z7Map_CheckPointer(uint32_t db, uint32_t item) {
    const uint32_t items = Items(db), elem = Elem(db);
    if (db == 0 || items == 0 || elem == 0 || item < items) return 0;
    return (item - items) % elem == 0 && (item - items) / elem < Count(db) ? 1 : 0;
}

const char *Z7Map_GetSymbol(uint32_t item) { return item ? Symbol(Z7Mem_Get32(item + MI_DEF)) : nullptr; }
uint32_t Z7Map_GetIndex(uint32_t item) { return Def16(item, DR_INDEX); }
uint32_t Z7Map_GetType(uint32_t item) { return Def16(item, DR_TYPE); }
uint32_t Z7Map_GetNumTag(uint32_t item) { return Def16(item, DR_TAG); }
uint32_t Z7Map_GetDim(uint32_t item) {
    const uint32_t d = Def16(item, DR_DIM);
    return d == 1 ? 0 : d;
}
uint32_t Z7Map_GetStringLenth(uint32_t item) { return Def16(item, DR_TYPE) == 5 ? Def16(item, DR_STRLEN) : 0; }
uint32_t Z7Map_GetData(uint32_t item) { return item ? Z7Mem_Get32(item + MI_DATA) : 0; }

namespace {
uint32_t ItemNo(uint32_t db, uint32_t n) {
    if (db == 0 || n >= Count(db) || Items(db) == 0) return 0;
    const uint32_t it = Items(db) + n * Elem(db);
    return Z7Mem_Get32(it + MI_DEF) ? it : 0;
}
}  // namespace

uint32_t Z7Map_GetDescLength(uint32_t db, uint32_t n) {
    const char *s = Z7Map_GetSymbol(ItemNo(db, n));
    return s ? 12 + uint32_t(strnlen(s, 255)) : 12;
}

uint32_t Z7Map_GetDesc(uint32_t db, uint32_t n, uint8_t *out) {
    std::memset(out, 0, 12);
    const uint32_t it = ItemNo(db, n);
    if (it == 0) return 12;
    const uint32_t def = Z7Mem_Get32(it + MI_DEF);
    auto be16 = [&](uint32_t at, uint32_t v) {
        out[at] = uint8_t(v >> 8);
        out[at + 1] = uint8_t(v);
    };
    be16(0, Def16(it, DR_TYPE));
    const uint32_t flags = Def16(it, DR_FLAGS), tail = Def16(it, DR_TAIL), len = Def16(it, DR_LEN);
    if ((flags & 0x100) && tail >= DR_SYM && tail + 8u <= len) {
        const uint32_t off = Z7Mem_Get32(def + tail);
        be16(2, off >> 16);
        be16(4, off & 0xFFFF);
        be16(6, Z7Mem_Get16(def + tail + 4));
    } else {
        be16(2, Def16(it, DR_INDEX));
        be16(4, Def16(it, DR_STRLEN));
        be16(6, Def16(it, DR_DIM));
    }
    be16(8, flags);
    const char *s = Z7Map_GetSymbol(it);
    if (s == nullptr) return 12;
    const uint32_t sl = uint32_t(strnlen(s, 255));
    out[10] = uint8_t(sl);
    std::memcpy(out + 11, s, sl);
    out[11 + sl] = 0;
    return 12 + sl;
}

uint32_t Z7VMMap_GetSizing(uint8_t *t, uint32_t code) {
    const Z7Img img = Z7Img_Of(code);
    const uint32_t off = TableOf(img);
    if (off == 0) return 1;
    const uint16_t elem = (img.W16(off + 6) & 0x200) ? 40 : 24;
    const uint16_t count = img.W16(off + 4), layout = img.W16(off + 2);
    uint8_t *d = t + Z7SEC_MAPITEM * Z7_DESC_SIZE;
    d[SD_ELEM] = uint8_t(elem);
    d[SD_ELEM + 1] = 0;
    d[SD_BOUND] = uint8_t(layout);  // the layout identifier is kept with the items
    d[SD_BOUND + 1] = uint8_t(layout >> 8);
    d[SD_ALLOC] = uint8_t(count);
    d[SD_ALLOC + 1] = uint8_t(count >> 8);
    uint8_t *h = t + Z7SEC_MAPHASH * Z7_DESC_SIZE;
    h[SD_ELEM] = 4;
    h[SD_ALLOC] = 49;
    return 0;
}

uint32_t Z7Map_GetDef(uint32_t item) { return item ? Z7Mem_Get32(item + MI_DEF) : 0; }
uint32_t Z7Map_GetLockAddr(uint32_t item) { return item && Z7Map_GetDef(item) ? Z7Mem_Get32(item + MI_LOCK) : 0; }
uint32_t Z7Map_GetVSI(uint32_t item) {
    const uint32_t def = Z7Map_GetDef(item);
    if (def == 0 || !(Z7Mem_Get16(def + DR_FLAGS) & 0x200)) return 0;
    // only items of a map laid out with 40-byte items carry the record
    for (uint32_t db : {pDB, ix_db})
        if (db && Z7Map_CheckPointer(db, item)) return Elem(db) == 40 ? item + MI_VSI : 0;
    return 0;
}

uint32_t Z7Map_GetTypeInfo(uint32_t item, uint32_t db) {
    const uint32_t def = Z7Map_GetDef(item);
    if (def == 0 || !(Z7Mem_Get16(def + DR_FLAGS) & 0x100)) return 0;
    const uint32_t tail = Z7Mem_Get16(def + DR_TAIL), len = Z7Mem_Get16(def + DR_LEN);
    if (tail < DR_SYM || tail + 8u > len) return 0;
    const uint32_t code = Z7Mem_Get32(Z7VM_Header(db) + HD_CODE);
    const uint32_t defs = Z7VMCode_GetCTTypeDef(code);
    if (defs == 0) return 0;
    const uint32_t off = Z7Mem_Get32(def + tail + 4);
    const uint32_t end = code + Z7VMCode_Length(code);
    return off < end - defs ? defs + off : 0;
}

namespace {
// Offset of the properties in their definition (flag 0x4 and the tail inside
// the record), else 0.
uint32_t PropsAt(uint32_t def) {
    if (def == 0) return 0;
    const uint32_t flags = Z7Mem_Get16(def + DR_FLAGS), tail = Z7Mem_Get16(def + DR_TAIL);
    const uint32_t at = tail + ((flags & 0x100) ? 8u : 0u) + ((flags & 0x8) ? 16u : 0u);
    if (!(flags & 0x4) || tail < DR_SYM || at > Z7Mem_Get16(def + DR_LEN)) return 0;
    return at;
}
}  // namespace

uint32_t Z7Map_GetProps(uint32_t item) {
    const uint32_t def = Z7Map_GetDef(item), at = PropsAt(def);
    return at ? def + at : 0;
}

uint32_t Z7Map_GetPropsSize(uint32_t item) {
    const uint32_t def = Z7Map_GetDef(item), at = PropsAt(def);
    return at ? Z7Mem_Get16(def + DR_LEN) - at : 0;
}

uint32_t Z7Map_GetProfileName(uint32_t item) {
    const uint32_t def = Z7Map_GetDef(item);
    if (def == 0) return 0;
    const uint32_t flags = Z7Mem_Get16(def + DR_FLAGS), tail = Z7Mem_Get16(def + DR_TAIL);
    const uint32_t at = tail + ((flags & 0x100) ? 8u : 0u);
    if (!(flags & 0x8) || tail < DR_SYM || at + 16u > Z7Mem_Get16(def + DR_LEN)) return 0;
    return def + at;
}

const char *Z7Map_GetTypeName(uint32_t item, uint32_t db) {
    static constexpr const char *kNames[18] = {"?",    "BOOL",  "DINT",  "REAL", "TIME",  "STRING",
                                               "?",    "?",     "?",     "?",    "SINT",  "INT",
                                               "LINT", "LREAL", "USINT", "UINT", "UDINT", "ULINT"};
    const uint32_t t = Z7Map_GetType(item) & 0x7F;
    if (t == 127) {
        // the name must end inside the image
        const uint32_t info = Z7Map_GetTypeInfo(item, db);
        const uint32_t code = info ? Z7Mem_Get32(Z7VM_Header(db) + HD_CODE) : 0;
        const uint32_t left = info ? code + Z7VMCode_Length(code) - info : 0;
        const char *p = left ? reinterpret_cast<const char *>(Z7Mem_Ptr(info, left)) : nullptr;
        return p && std::memchr(p, 0, left) ? p : "?";
    }
    return t < 18 ? kNames[t] : "?";
}

namespace {
// Element type of an array type name ("INT[..." -> 11), 0 for any other.
uint32_t ArrayElementType(const char *name) {
    struct Prefix {
        const char *text;
        uint8_t type;
    };
    static constexpr Prefix kPrefixes[] = {
        {"BOOL[", 1},   {"SINT[", 10}, {"USINT[", 14}, {"BYTE[", 14},  {"INT[", 11},   {"UINT[", 15},
        {"WORD[", 15},  {"DINT[", 2},  {"UDINT[", 16}, {"DWORD[", 16}, {"LINT[", 12},  {"ULINT[", 17},
        {"LWORD[", 17}, {"REAL[", 3},  {"LREAL[", 13}, {"TIME[", 4},   {"STRING[", 5},
    };
    for (const Prefix &p : kPrefixes)
        if (std::strncmp(name, p.text, std::strlen(p.text)) == 0) return p.type;
    return 0;
}

// Product of the decimal dimensions after '[' ("[2,3]" -> 6); 0 for a
// dimension that is missing, 0, or a product past 32 bits.
uint32_t ArrayCount(const char *name) {
    const char *p = std::strchr(name, '[');
    if (p == nullptr) return 0;
    uint64_t count = 1;
    for (p++;; p++) {
        uint64_t dim = 0;
        const char *start = p;
        for (; *p >= '0' && *p <= '9' && dim <= 0xFFFFFFFFu; p++) dim = dim * 10 + uint32_t(*p - '0');
        if (p == start || dim == 0 || dim > 0xFFFFFFFFu) return 0;
        count *= dim;
        if (count > 0xFFFFFFFFu) return 0;
        if (*p != ',') break;
    }
    return uint32_t(count);
}

// Whether n elements of type et from data lie inside the section holding
// the item's data (the complex-type segment, the typed segment, or for an
// external variable the arena); strings are not measured.
bool ArrayInside(uint32_t db, uint32_t item, uint32_t data, uint32_t n, uint32_t et) {
    const uint64_t bytes = uint64_t(n) * Z7Tools_TypeSize(et);
    const uint32_t t = Z7Map_GetType(item);
    uint32_t sec = Z7SEC_COUNT;
    if (t == 127)
        sec = Z7SEC_CT;
    else if (!(t & 0x80))
        sec = z7stf::SectionOfType(et);
    if (bytes == 0) return true;
    if (sec == Z7SEC_COUNT) return bytes <= 0xFFFFFFFFu && Z7Mem_Ptr(data, uint32_t(bytes)) != nullptr;
    const uint32_t base = Z7Sec_Addr(db, sec);
    return base != 0 && data >= base && uint64_t(data - base) + bytes <= Z7Sec_Bytes(db, sec);
}
}  // namespace

uint32_t Z7Map_IsArrayOfSingleVar(uint32_t db, uint32_t item, uint32_t *count, uint32_t *type) {
    const uint32_t t = Z7Map_GetType(item) & 0x7F;
    uint32_t n = 0, et = 0;
    if (t == 127) {
        const char *name = Z7Map_GetTypeName(item, db);
        et = ArrayElementType(name);
        n = et ? ArrayCount(name) : 0;
    } else if ((t >= 1 && t <= 5) || (t >= 10 && t <= 17)) {
        et = t;
        n = Z7Mem_Get16(Z7Map_GetDef(item) + DR_DIM);
        if (n < 2) n = 0;
    }
    const uint32_t data = n ? Z7Map_GetData(item) : 0;
    if (data == 0 || !ArrayInside(db, item, data, n, et)) return 0;
    if (count) *count = n;
    if (type) *type = et;
    return data;
}
