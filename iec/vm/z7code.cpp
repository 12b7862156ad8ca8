// Code image: validity, counts, table accessors and the builders that write
// what the image describes into the database.
#include <algorithm>
#include <cstring>
#include <initializer_list>

#include "iec/vm/z7code_internal.h"
#include "iec/vm/z7heap.h"
#include "iec/vm/z7str.h"
#include "iec/vm/z7vm.h"

namespace {
constexpr uint32_t kSizingBytes = 96;
constexpr uint32_t kInitBlockBytes = 44;
constexpr uint32_t kAppRecordBytes = 44;
constexpr uint32_t kMaxTasks = 8;

// Count = highest index + 1 from a sizing word (65535 cannot be counted: 0).
uint16_t Count(uint16_t highest) { return highest == 0xFFFF ? 0 : uint16_t(highest + 1); }
// Count from the highest index in the first word of table t (entries of
// width bytes); none when the image has no such table.
uint16_t TableCount(const Z7Img &img, uint32_t t, uint32_t width, uint16_t none) {
    const uint32_t off = img.Table(t, width);
    return off ? Count(img.W16(off)) : none;
}
}  // namespace

Z7Img Z7Img_Of(uint32_t code) { return Z7Img{code, code ? Z7Mem_BlockSize(code) : 0}; }

uint16_t Z7Img_Sizing(const Z7Img &img, uint32_t w) {
    const uint32_t off = img.Table(8, kSizingBytes);
    return off ? img.W16(off + 2 * w) : 0;
}

uint32_t Z7Img_Ext(const Z7Img &img, uint32_t k, uint32_t gate) {
    const uint32_t off = img.Hdr(10);
    if (!img.In(off, 4)) return 0;
    const uint32_t count = img.W32(off);
    if (count < gate || !img.In(off + 4 * k, 4)) return 0;
    return img.W32(off + 4 * k);
}

uint32_t Z7Img_InitBlock(const Z7Img &img) { return img.Table(9, kInitBlockBytes); }

uint32_t Z7Img_CheckTables(const Z7Img &img) {
    if (!img.Table(2, kAppRecordBytes) || !img.Table(8, kSizingBytes) || !img.Table(12, 4)) return 1;
    if (img.TextLen(img.Hdr(2)) < 0) return 1;
    return 0;
}

uint32_t Z7VMCode_Length(uint32_t code) { return Z7Img_Of(code).len; }

uint32_t Z7VMCode_CheckCode(uint32_t code) {
    const Z7Img img = Z7Img_Of(code);
    if (img.len < 4 || (img.W32(0) & 0xF) != 1) return 2;
    const uint32_t sig = img.Hdr(1);
    if (!img.In(sig, 19)) return 3;
    const uint8_t *p = Z7Mem_Ptr(code + sig, 19);
    if (std::memcmp(p, "Z7RTI", 6) != 0) return 3;
    if (std::memcmp(p + 16, "1.0", 3) != 0) return 4;
    return 0;
}

// ---- counts ---------------------------------------------------------------------------------
uint16_t Z7VMCode_GetNbProg(uint32_t code) { return TableCount(Z7Img_Of(code), 12, 4, 0); }

uint16_t Z7VMCode_GetNbProgAlloc(uint32_t code) {
    const uint16_t n = Z7VMCode_GetNbProg(code);
    const uint32_t want = Z7Img_Ext(Z7Img_Of(code), 19, 17);
    if (want > 0xFFFF) return 0;  // cannot be counted: refused by the sizing
    return want > n ? uint16_t(want) : n;
}

uint16_t Z7VMCode_GetNbProgWithStack(uint32_t code) {
    const Z7Img img = Z7Img_Of(code);
    uint32_t n = 0;
    for (uint32_t e = img.Table(14, 12); e && img.In(e, 12) && img.W32(e) != 0; e += 12)
        if (img.W16(e + 8) == 0) n++;
    return n > 0xFFFF ? 0xFFFF : uint16_t(n);
}

uint16_t Z7VMCode_GetNbLockFlags(uint32_t code) {
    const Z7Img img = Z7Img_Of(code);
    uint16_t m = 0;
    for (uint32_t w : {0u, 6u, 12u, 18u, 24u, 30u}) m = std::max(m, Z7Img_Sizing(img, w));
    return Count(m);
}

uint16_t Z7VMCode_GetNbData8(uint32_t code) { return Count(Z7Img_Sizing(Z7Img_Of(code), 0)); }
uint16_t Z7VMCode_GetNbData16(uint32_t code) { return Count(Z7Img_Sizing(Z7Img_Of(code), 6)); }
uint16_t Z7VMCode_GetNbData32(uint32_t code) { return Count(Z7Img_Sizing(Z7Img_Of(code), 12)); }
uint16_t Z7VMCode_GetNbData64(uint32_t code) { return Count(Z7Img_Sizing(Z7Img_Of(code), 18)); }
uint16_t Z7VMCode_GetNbTime(uint32_t code) { return Count(Z7Img_Sizing(Z7Img_Of(code), 24)); }
uint16_t Z7VMCode_GetNbActiveTime(uint32_t code) { return Count(Z7Img_Sizing(Z7Img_Of(code), 29)); }
uint16_t Z7VMCode_GetNbStep(uint32_t code) { return Count(Z7Img_Sizing(Z7Img_Of(code), 36)); }
uint16_t Z7VMCode_GetNbTrans(uint32_t code) { return Count(Z7Img_Sizing(Z7Img_Of(code), 42)); }
uint16_t Z7VMCode_GetNbXV(uint32_t code) { return Count(Z7Img_Sizing(Z7Img_Of(code), 40)); }

uint16_t Z7VMCode_GetNbFBInstance(uint32_t code) { return TableCount(Z7Img_Of(code), 7, 16, 1); }

uint16_t Z7VMCode_GetNbFBInstanceUsed(uint32_t code) {
    const Z7Img img = Z7Img_Of(code);
    const uint32_t off = img.Table(7, 16);
    const uint16_t used = off ? Count(img.W16(off + 2)) : 1;
    return std::min(used, Z7VMCode_GetNbFBInstance(code));
}

uint16_t Z7VMCode_GetNbCustomFunc(uint32_t code) { return TableCount(Z7Img_Of(code), 3, 4, 1); }

uint16_t Z7VMCode_GetNbString(uint32_t code, uint32_t *buffer_size) {
    const Z7Img img = Z7Img_Of(code);
    const uint16_t n = Count(Z7Img_Sizing(img, 30));
    uint64_t size = 0;
    const uint32_t ib = Z7Img_InitBlock(img);
    const uint32_t sizes = ib ? img.W32(ib + 4 * 6) : 0;
    if (img.In(sizes, 1))
        for (uint32_t p = sizes; p < img.len && img.B(p) != 0; p++) size += img.B(p) + 3u;
    const uint32_t off = img.Table(8, kSizingBytes);
    const uint32_t minimum = off ? img.W32(off + 92) : 0;
    if (size < minimum) size = minimum;
    if (buffer_size) *buffer_size = size > Z7MEM_SIZE ? Z7MEM_SIZE : uint32_t(size);
    return n;
}

// ---- sizing checks ------------------------------------------------------------------------
namespace {
uint32_t SizingCheck(uint32_t code, uint32_t desc, uint32_t w, uint32_t fail) {
    const Z7Img img = Z7Img_Of(code);
    const uint16_t used = Z7Img_Sizing(img, w + 1);
    const uint16_t alloc = Z7Mem_Get16(desc + SD_ALLOC);
    if (used >= alloc) return fail;
    Z7Mem_Put16(desc + SD_USED, uint16_t(used + 1));
    Z7Mem_Put16(desc + SD_BOUND, Count(Z7Img_Sizing(img, w + 2)));
    return 0;
}
}  // namespace

uint32_t Z7VMCode_GetData8Sizing(uint32_t code, uint32_t desc) { return SizingCheck(code, desc, 0, 9); }
uint32_t Z7VMCode_GetData16Sizing(uint32_t code, uint32_t desc) { return SizingCheck(code, desc, 6, 10); }
uint32_t Z7VMCode_GetData32Sizing(uint32_t code, uint32_t desc) { return SizingCheck(code, desc, 12, 11); }
uint32_t Z7VMCode_GetData64Sizing(uint32_t code, uint32_t desc) { return SizingCheck(code, desc, 18, 19); }
// Compared with the allocated count (word 24 + 1) like the other kinds, not with word 24:
// the highest allocated TIME index exists and may be used.
uint32_t Z7VMCode_GetTimeSizing(uint32_t code, uint32_t desc) { return SizingCheck(code, desc, 24, 13); }
uint32_t Z7VMCode_GetStringSizing(uint32_t code, uint32_t desc) { return SizingCheck(code, desc, 30, 20); }

uint32_t Z7VMCode_GetXVSizing(uint32_t code, uint32_t desc) {
    const uint16_t used = Z7Img_Sizing(Z7Img_Of(code), 41);
    if (used >= Z7Mem_Get16(desc + SD_ALLOC)) return 34;
    Z7Mem_Put16(desc + SD_USED, uint16_t(used + 1));
    Z7Mem_Put16(desc + SD_BOUND, uint16_t(used + 1));
    return 0;
}

uint16_t Z7VMCode_GetCallStackSize(uint32_t code) {
    const Z7Img img = Z7Img_Of(code);
    const uint32_t off = img.Table(12, 4);
    const uint16_t n = off ? img.W16(off + 2) : 0;
    return n ? n : 16;
}

uint32_t Z7VMCode_GetCallStackAllocSize(uint32_t code) {
    return uint32_t(Z7VMCode_GetCallStackSize(code)) * (Z7VMCode_GetNbProgWithStack(code) + 1u);
}

// ---- table accessors --------------------------------------------------------------------
namespace {
// Image address of an offset found in the image, or 0 when absent or outside.
uint32_t Addr(const Z7Img &img, uint32_t off) { return img.In(off, 1) ? img.base + off : 0; }
uint32_t AppWord(const Z7Img &img, uint32_t k) {
    const uint32_t app = img.Table(2, kAppRecordBytes);
    return app ? img.W32(app + 4 * k) : 0;
}
}  // namespace

uint32_t Z7VMCode_GetExtCount(uint32_t code) {
    const Z7Img img = Z7Img_Of(code);
    const uint32_t off = img.Hdr(10);
    return img.In(off, 4) ? img.W32(off) : 0;
}
uint32_t Z7VMCode_GetPassword(uint32_t code) { return Z7Img_Ext(Z7Img_Of(code), 1, 1); }
uint32_t Z7VMCode_GetFullBuildStamp(uint32_t code) { return AppWord(Z7Img_Of(code), 9); }
uint32_t Z7VMCode_GetSfcCrc(uint32_t code) { return AppWord(Z7Img_Of(code), 10); }
uint32_t Z7VMCode_GetAppName(uint32_t code) {
    const Z7Img img = Z7Img_Of(code);
    const uint32_t app = img.Table(2, kAppRecordBytes);
    return app && img.TextLen(app) >= 0 ? code + app : 0;
}
uint32_t Z7VMCode_GetVarTypeList(uint32_t code) {
    const Z7Img img = Z7Img_Of(code);
    const uint32_t ib = Z7Img_InitBlock(img);
    return ib ? Addr(img, img.W32(ib + 4 * 7)) : 0;
}
uint32_t Z7VMCode_GetIODef(uint32_t code) {
    const Z7Img i = Z7Img_Of(code);
    return Addr(i, i.Hdr(11));
}
uint32_t Z7VMCode_GetPublishedList(uint32_t code) {
    const Z7Img i = Z7Img_Of(code);
    return Addr(i, i.Hdr(16));
}
uint32_t Z7VMCode_GetClassList(uint32_t code) {
    const Z7Img i = Z7Img_Of(code);
    return Addr(i, i.Table(4, 4));
}
uint32_t Z7VMCode_GetInstanceList(uint32_t code) {
    const Z7Img i = Z7Img_Of(code);
    const uint32_t off = i.Table(7, 16);
    return off ? i.base + off + 16 : 0;
}
uint32_t Z7VMCode_GetWishedFBIRawSize(uint32_t code) {
    const Z7Img i = Z7Img_Of(code);
    const uint32_t off = i.Table(7, 16);
    return off ? i.W32(off + 12) : 0;
}
uint32_t Z7VMCode_GetCustomFuncList(uint32_t code) {
    const Z7Img i = Z7Img_Of(code);
    return Addr(i, i.Table(3, 4));
}
// An extension word of 0 names no block (offset 0 is the image's own header).
uint32_t Z7VMCode_MBClientConfig(uint32_t code) {
    const Z7Img i = Z7Img_Of(code);
    const uint32_t off = Z7Img_Ext(i, 2, 2);
    return off ? Addr(i, off) : 0;
}
uint32_t Z7VMCode_AsiConfig(uint32_t code) {
    const Z7Img i = Z7Img_Of(code);
    return Addr(i, Z7Img_Ext(i, 3, 3));
}
uint32_t Z7VMCode_StaticEvents(uint32_t code) {
    const Z7Img i = Z7Img_Of(code);
    return Addr(i, Z7Img_Ext(i, 4, 4));
}
uint32_t Z7VMCode_GetEAX(uint32_t code, uint32_t *cnx_table, uint32_t *var_table) {
    const Z7Img i = Z7Img_Of(code);
    const uint32_t co = Z7Img_Ext(i, 5, 4), vo = Z7Img_Ext(i, 6, 4);
    const uint32_t c = co ? Addr(i, co) : 0, v = vo ? Addr(i, vo) : 0;
    const bool ok = c != 0 && v != 0;
    if (cnx_table) *cnx_table = ok ? c : 0;
    if (var_table) *var_table = ok ? v : 0;
    return ok ? 1 : 0;
}
uint32_t Z7VMCode_GetBusDrv(uint32_t code) {
    const Z7Img i = Z7Img_Of(code);
    return Addr(i, Z7Img_Ext(i, 7, 5));
}
uint32_t Z7VMCode_GetNbIOs(uint32_t code) { return Z7Img_Ext(Z7Img_Of(code), 8, 6); }
uint32_t Z7VMCode_GetCTSegDef(uint32_t code) {
    const Z7Img i = Z7Img_Of(code);
    const uint32_t off = Z7Img_Ext(i, 9, 7);
    return i.In(off, 8) ? i.base + off : 0;
}
uint32_t Z7VMCode_GetCTTypeDef(uint32_t code) {
    const Z7Img i = Z7Img_Of(code);
    return Addr(i, Z7Img_Ext(i, 10, 8));
}
uint32_t Z7VMCode_GetBusIOList(uint32_t code) {
    const Z7Img i = Z7Img_Of(code);
    return Addr(i, Z7Img_Ext(i, 11, 9));
}
uint32_t Z7VMCode_IsCCPure(uint32_t code) { return Z7Img_Ext(Z7Img_Of(code), 12, 10) & 1; }
uint32_t Z7VMCode_GetCTSegAllocSize(uint32_t code) {
    const uint32_t def = Z7VMCode_GetCTSegDef(code);
    return def ? Z7Mem_Get32(def) : 0;
}
uint32_t Z7VMCode_GetCTSegUsedSize(uint32_t code) {
    const uint32_t def = Z7VMCode_GetCTSegDef(code);
    return def ? std::min(Z7Mem_Get32(def + 4), Z7Mem_Get32(def)) : 0;
}
uint32_t Z7VMCode_GetRecipes(uint32_t code) {
    const Z7Img i = Z7Img_Of(code);
    return Addr(i, Z7Img_Ext(i, 13, 12));
}
uint32_t Z7VMCode_GetVLsts(uint32_t code) {
    const Z7Img i = Z7Img_Of(code);
    return Addr(i, Z7Img_Ext(i, 14, 13));
}
namespace {
uint32_t TableEntry(uint32_t code, uint32_t word, uint32_t n) {
    const Z7Img i = Z7Img_Of(code);
    const uint32_t off = Z7Img_Ext(i, word, 14);
    if (!i.In(off, 4) || n == 0 || n > i.W16(off + 2)) return 0;
    return Addr(i, i.W32(off + 4 * n));
}
}  // namespace
uint32_t Z7VMCode_GetDefStringTable(uint32_t code) {
    const Z7Img i = Z7Img_Of(code);
    const uint32_t off = Z7Img_Ext(i, 15, 14);
    return i.In(off, 4) && i.W16(off + 2) != 0 ? 1 : 0;
}
uint32_t Z7VMCode_GetStringTable(uint32_t code, uint32_t n) { return TableEntry(code, 15, n); }
uint32_t Z7VMCode_GetSignal(uint32_t code, uint32_t n) { return TableEntry(code, 16, n); }
uint32_t Z7VMCode_GetCanDef(uint32_t code) {
    const Z7Img i = Z7Img_Of(code);
    return Addr(i, Z7Img_Ext(i, 17, 15));
}
int32_t Z7VMCode_GetHeapSize(uint32_t code) { return int32_t(Z7Img_Ext(Z7Img_Of(code), 18, 16)); }
uint32_t Z7VMCode_GetITs(uint32_t code) {
    const Z7Img i = Z7Img_Of(code);
    return Addr(i, Z7Img_Ext(i, 20, 18));
}
uint32_t Z7VMCode_GetITCount(uint32_t code) {
    if (Z7VMCode_GetITs(code) == 0) return 0;
    return Z7VMCode_GetExtCount(code) >= 20 ? 64 : 16;
}
uint32_t Z7VMCode_IsCodeDebug(uint32_t code) { return (Z7Img_Ext(Z7Img_Of(code), 21, 20) >> 1) & 1; }
uint32_t Z7VMCode_GetInstanceNames(uint32_t code) {
    const Z7Img i = Z7Img_Of(code);
    return Addr(i, Z7Img_Ext(i, 22, 22));
}
uint32_t Z7VMVode_GetEATableVers(uint32_t code, uint32_t connection) {
    const Z7Img i = Z7Img_Of(code);
    const uint32_t off = Z7Img_Ext(i, 24, 24);
    if (!i.In(off, 4) || connection > 0xFFFF) return 0;
    return i.W32(off + 4 * connection);
}
uint32_t Z7VMCode_GetRetainDef(uint32_t code) {
    const Z7Img i = Z7Img_Of(code);
    const uint32_t ib = Z7Img_InitBlock(i);
    const uint32_t off = ib ? i.W32(ib + 4 * 9) : 0;
    return i.In(off, 100) ? i.base + off : 0;
}

// ---- builders -----------------------------------------------------------------------------
uint32_t Z7VMCode_SetProgramPointers(uint32_t code, uint32_t db) {
    const Z7Img img = Z7Img_Of(code);
    const uint16_t slots = Z7Sec_Get(db, Z7SEC_PROG, SD_ALLOC);
    const uint16_t cs = Z7Mem_Get16(Z7VM_Status(db) + ST_CSSIZE);
    const uint32_t cs_alloc = Z7Sec_Get(db, Z7SEC_CSTACK, SD_ALLOC);
    uint32_t next_base = cs;
    uint32_t k = 1;
    for (uint32_t e = img.Table(14, 12); e && img.In(e, 12) && img.W32(e) != 0; e += 12, k++) {
        const uint32_t off = img.W32(e), len = img.W32(e + 4);
        if (k >= slots || !img.In(off, len)) return 1;
        const uint32_t p = Z7Sec_Elem(db, Z7SEC_PROG, k);
        const uint16_t kind = img.W16(e + 8);
        Z7Mem_Put32(p + PG_CODE, code + off);
        Z7Mem_Put32(p + PG_LEN, len);
        Z7Mem_Put16(p + PG_KIND, kind);
        Z7Mem_Put16(p + PG_SAVED, 0);
        uint16_t base = 0;
        if (kind == 0 && cs != 0 && next_base + cs <= cs_alloc) {
            base = uint16_t(next_base);
            next_base += cs;
        }
        Z7Mem_Put16(p + PG_BASE, base);
    }
    // Slots behind the new list held programs an on-line change removed:
    // they still point into the previous image, which the host frees right
    // after the change, so they are emptied (state included: an SFC child
    // left active would keep its state) and never run again.
    for (; k < slots; k++) {
        const uint32_t p = Z7Sec_Elem(db, Z7SEC_PROG, k);
        uint8_t *e = Z7Mem_Ptr(p, PG_SIZE);
        if (e != nullptr) std::memset(e, 0, PG_SIZE);
    }
    return 0;
}

uint32_t Z7VMCode_SetStringPointers(uint32_t code, uint32_t db) {
    const Z7Img img = Z7Img_Of(code);
    const uint32_t ib = Z7Img_InitBlock(img);
    const uint32_t sizes = ib ? img.W32(ib + 4 * 6) : 0;
    if (!img.In(sizes, 1)) return 0;
    const uint32_t buf = Z7Sec_Addr(db, Z7SEC_STRBUF);
    const uint32_t buf_size = Z7Sec_Bytes(db, Z7SEC_STRBUF);
    const uint16_t count = Z7Sec_Get(db, Z7SEC_STRPTR, SD_ALLOC);
    uint32_t used = 0;
    for (uint32_t n = 1, p = sizes; p < img.len && img.B(p) != 0; n++, p++) {
        const uint8_t max = img.B(p);
        if (n >= count || used + max + 3u > buf_size) return 20;
        Z7Mem_Put32(Z7Sec_Elem(db, Z7SEC_STRPTR, n), buf + used);
        Z7Mem_Put8(buf + used, max);
        used += max + 3u;
    }
    return 0;
}

uint32_t Z7VMCode_SetXVPointers(uint32_t code, uint32_t db) {
    const Z7Img img = Z7Img_Of(code);
    const uint32_t count = Z7Sec_Get(db, Z7SEC_XV, SD_ALLOC);
    uint32_t n = 1;
    for (uint32_t e = img.Table(6, 4); e && img.In(e, 4) && img.W16(e) != 0; e += 4, n++) {
        const uint16_t type = img.W16(e), idx = img.W16(e + 2);
        uint32_t sec, width;
        switch (type) {
        case 1:
        case 10:
            sec = Z7SEC_D8;
            width = 1;
            break;
        case 11:
            sec = Z7SEC_D16;
            width = 2;
            break;
        case 2:
        case 3:
            sec = Z7SEC_D32;
            width = 4;
            break;
        case 4:
            sec = Z7SEC_TIME;
            width = 4;
            break;
        case 12:
        case 13:
            sec = Z7SEC_D64;
            width = 8;
            break;
        case 5:
            sec = Z7SEC_STRPTR;
            width = 4;
            break;
        default: return 1;
        }
        if (n >= count || idx >= Z7Sec_Get(db, sec, SD_ALLOC)) return 1;
        const uint32_t addr = type == 5 ? Z7Mem_Get32(Z7Sec_Elem(db, sec, idx)) : Z7Sec_Addr(db, sec) + width * idx;
        Z7Mem_Put32(Z7Sec_Elem(db, Z7SEC_XV, n), addr);
    }
    return 0;
}

namespace {
// Walks the task chain; calls fn(t, name offset, list offset) for each task.
// Answers the task count, or kMaxTasks + 1 when there are more, or ~0u when a
// task lies outside the image.
template <typename Fn>
uint32_t WalkTasks(const Z7Img &img, Fn fn) {
    uint32_t t = 0;
    uint32_t e = img.Hdr(5);
    if (e == 0) return 0;
    for (;;) {
        if (!img.In(e, 5) || img.TextLen(e + 4) < 0) return ~0u;
        const uint32_t list = e + img.W16(e + 2);
        // the program list must end inside the image
        uint32_t p = list;
        while (img.In(p, 2) && img.W16(p) != 0) p += 2;
        if (!img.In(p, 2)) return ~0u;
        if (t >= kMaxTasks) return kMaxTasks + 1;
        fn(t, e + 4, list);
        t++;
        const uint16_t next = img.W16(e);
        if (next == 0) return t;
        e += next;
    }
}
}  // namespace

uint32_t Z7VMCode_BuildTaskList(uint32_t code, uint32_t db) {
    const Z7Img img = Z7Img_Of(code);
    const uint32_t n = WalkTasks(img, [&](uint32_t t, uint32_t name, uint32_t list) {
        const uint32_t e = Z7Sec_Elem(db, Z7SEC_TASK, t);
        Z7Mem_Put32(e, code + name);
        Z7Mem_Put32(e + 4, code + list);
    });
    if (n == ~0u) return 1;
    if (n > kMaxTasks) return 36;
    Z7Sec_Set(db, Z7SEC_TASK, SD_USED, uint16_t(n));
    return 0;
}

uint32_t Z7VMCode_CanHOTBuildTaskList(uint32_t code) {
    const uint32_t n = WalkTasks(Z7Img_Of(code), [](uint32_t, uint32_t, uint32_t) {});
    return n == ~0u ? 1 : n > kMaxTasks ? 36 : 0;
}

namespace {
void CopyAppFields(const Z7Img &img, uint32_t st) {
    const uint32_t app = img.Table(2, kAppRecordBytes);
    if (!app) return;
    Z7Mem_Put32(st + ST_PERIOD, img.W32(app + 24));
    Z7Mem_Put32(st + ST_APP4, img.W32(app + 16));
    Z7Mem_Put32(st + ST_APP5, img.W32(app + 20));
    const uint32_t w7 = img.W32(app + 28);
    Z7Mem_Put32(st + ST_APPPRE7, w7 >= 4 && img.In(w7 - 4, 4) ? img.W32(w7 - 4) : 0);
    Z7Mem_Put32(st + ST_APP34, img.W16(app + 34));
}
}  // namespace

void Z7VMCode_InitiateStatus(uint32_t code, uint32_t db) {
    const Z7Img img = Z7Img_Of(code);
    const uint32_t st = Z7VM_Status(db);
    uint8_t *p = Z7Mem_Ptr(st, ST_SIZE);
    if (p == nullptr) return;
    std::memset(p, 0, ST_SIZE);
    const uint32_t app = img.Table(2, kAppRecordBytes);
    if (app) {
        const int32_t n = img.TextLen(app);
        if (n > 0) std::memcpy(p + ST_NAME, Z7Mem_Ptr(code + app, uint32_t(n)), std::min<uint32_t>(uint32_t(n), 15));
    }
    CopyAppFields(img, st);
    Z7Mem_Put32(st + ST_LAYOUT, img.Hdr(15));
    uint16_t flags = 0x8400;
    if (app && img.W16(app + 32) == 0) flags |= Z7F_RUN;
    if (Z7VMCode_GetCTSegAllocSize(code) != 0) flags |= Z7F_CT;
    Z7Mem_Put16(st + ST_FLAGS, flags);
    uint32_t opt = 0;
    if (!Z7VMCode_IsCCPure(code)) opt |= Z7O_NOTPURE;
    const uint32_t ib = Z7Img_InitBlock(img);
    const uint32_t bits = ib ? img.W32(ib + 40) : 0;
    if (bits & 1) opt |= 0x8;
    if (bits & 2) opt |= 0x80;
    if (bits & 4) opt |= 0x200;
    if (Z7Img_Ext(img, 21, 19) & 1) opt |= 0x20;
    if (Z7Img_Ext(img, 21, 20) & 2) opt |= 0x100;
    Z7Mem_Put32(st + ST_OPTIONS, opt);
}

uint32_t Z7VMCode_CanUpdateStatus(uint32_t code, uint32_t db) {
    const uint32_t name = Z7VMCode_GetAppName(code);
    const uint8_t *st = Z7Mem_Ptr(Z7VM_Status(db), 16);
    if (name == 0 || st == nullptr) return 0;
    const uint32_t n = std::min<uint32_t>(uint32_t(Z7Img_Of(code).TextLen(name - code)), 15);
    return std::memcmp(Z7Mem_Ptr(name, n), st, n) == 0 && st[n] == 0 ? 1 : 0;
}

uint32_t Z7VMCode_UpdateStatus(uint32_t code, uint32_t db) {
    if (!Z7VMCode_CanUpdateStatus(code, db)) return 1;
    CopyAppFields(Z7Img_Of(code), Z7VM_Status(db));
    return 0;
}

uint32_t Z7VMCode_AllocHeap(uint32_t code, uint32_t db, uint32_t hot) {
    const int32_t size = Z7VMCode_GetHeapSize(code);
    const uint32_t hd = Z7VM_Header(db);
    if (size == 0) {
        if (!hot) Z7Mem_Put32(hd + HD_HEAP, 0);
        return 0;
    }
    const uint32_t buf = Z7Sec_Addr(db, Z7SEC_HEADER) + HD_SIZE;
    if (size > 0) {
        if (Z7Sec_Bytes(db, Z7SEC_HEADER) < HD_SIZE + uint32_t(size)) return hot ? 71 : 1;
        const uint32_t h =
            hot ? Z7Heap_RelocateHeapBuffer(buf, uint32_t(size)) : Z7Heap_CreateHeapBuffer(buf, uint32_t(size), 0);
        if (h == 0 && hot) return 71;
        Z7Mem_Put32(hd + HD_HEAP, h);
        return 0;
    }
    if (hot) return 71;
    Z7Mem_Put32(hd + HD_HEAP, Z7Heap_CreateHeapMalloc(64, 0));
    return 0;
}

// ---- initial values ---------------------------------------------------------------------
namespace {
// Walks the value list of init-block word w with entries of fixed size, writing
// value bytes (at entry + voff, width bytes) to segment + width x index.
void ApplyFixed(uint32_t code, uint32_t db, uint32_t all, uint32_t w, uint32_t sec, uint32_t esize, uint32_t voff,
                uint32_t width) {
    const Z7Img img = Z7Img_Of(code);
    const uint32_t ib = Z7Img_InitBlock(img);
    if (!ib) return;
    const uint16_t used = Z7Sec_Get(db, sec, SD_USED), bound = Z7Sec_Get(db, sec, SD_BOUND);
    const uint32_t seg = Z7Sec_Addr(db, sec);
    for (uint32_t e = img.W32(ib + 4 * w); img.In(e, esize) && img.W16(e) != 0; e += esize) {
        const uint16_t idx = img.W16(e);
        if (idx >= used || (!all && idx < bound)) continue;
        uint8_t *dst = Z7Mem_Ptr(seg + width * idx, width);
        if (dst) std::memcpy(dst, Z7Mem_Ptr(code + e + voff, width), width);
    }
}
}  // namespace

void Z7VMCode_ApplyData8Init(uint32_t code, uint32_t db, uint32_t all) {
    ApplyFixed(code, db, all, 0, Z7SEC_D8, 4, 2, 1);
}
void Z7VMCode_ApplyData16Init(uint32_t code, uint32_t db, uint32_t all) {
    ApplyFixed(code, db, all, 1, Z7SEC_D16, 4, 2, 2);
}
void Z7VMCode_ApplyData32Init(uint32_t code, uint32_t db, uint32_t all) {
    ApplyFixed(code, db, all, 2, Z7SEC_D32, 8, 4, 4);
}
void Z7VMCode_ApplyData64Init(uint32_t code, uint32_t db, uint32_t all) {
    ApplyFixed(code, db, all, 3, Z7SEC_D64, 12, 4, 8);
}
void Z7VMCode_ApplyTimeInit(uint32_t code, uint32_t db, uint32_t all) {
    ApplyFixed(code, db, all, 4, Z7SEC_TIME, 8, 4, 4);
}

void Z7VMCode_ApplyStringInit(uint32_t code, uint32_t db, uint32_t all) {
    const Z7Img img = Z7Img_Of(code);
    const uint32_t ib = Z7Img_InitBlock(img);
    if (!ib) return;
    const uint16_t used = Z7Sec_Get(db, Z7SEC_STRPTR, SD_USED), bound = Z7Sec_Get(db, Z7SEC_STRPTR, SD_BOUND);
    for (uint32_t e = img.W32(ib + 4 * 5); img.In(e, 3) && img.W16(e) != 0;) {
        const uint16_t idx = img.W16(e);
        const uint8_t len = img.B(e + 2);
        if (!img.In(e + 2, 1u + len)) return;
        if (idx < used && (all || idx >= bound)) Z7VMStr_Force(db, idx, Z7Mem_Ptr(code + e + 2, 1u + len));
        e += 2 + (len + 1u) + ((len + 1u) & 1u);
    }
}

void Z7VMCode_ApplyCTSegInit(uint32_t code, uint32_t db, uint32_t from) {
    const Z7Img img = Z7Img_Of(code);
    const uint32_t def = Z7VMCode_GetCTSegDef(code);
    if (!def) return;
    const uint32_t seg = Z7Sec_Addr(db, Z7SEC_CT), seg_size = Z7Sec_Bytes(db, Z7SEC_CT);
    for (uint32_t p = def - code + 8; img.In(p, 1) && img.B(p) != 0;) {
        const uint8_t len = img.B(p);
        if (!img.In(p + 1, 4u + len)) return;
        const uint32_t off = img.W32(p + 1);  // unaligned: read byte by byte
        if (off >= from && off <= seg_size && len <= seg_size - off)
            std::memcpy(Z7Mem_Ptr(seg + off, len), Z7Mem_Ptr(code + p + 5, len), len);
        p += 5u + len;
    }
}
