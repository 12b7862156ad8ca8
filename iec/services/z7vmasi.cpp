// AS-i binding: the code image's AS-i configuration (masters and items that
// bind slave bits, nibbles, master flags and slave lists to VM variables)
// built into database section 31; once per cycle outputs go into each
// master's image, the host exchanges the images, inputs come out of them.
// Also the I/O channel accessors of an I/O group. The host hooks of the
// master (Z7Asi_) are in z7plat.cpp.
#include <bit>
#include <cstring>

#include "core/image/bytes.h"
#include "iec/services/z7rtio.h"
#include "iec/services/z7svc.h"
#include "iec/vm/z7cnv.h"
#include "iec/vm/z7code_internal.h"
#include "iec/vm/z7map.h"
#include "iec/vm/z7ops.h"
#include "iec/vm/z7stdlib.h"
#include "iec/vm/z7str.h"
#include "iec/vm/z7vm.h"

namespace {
// Head of the section, master and item records.
enum : uint32_t {
    AI_DEF = 0,
    AI_VAR = 4,
    AI_LOCK = 8,
    AI_IMAGE = 12,
    AI_TYPE = 16,
    AI_MASK = 17,
    AI_LOCKBIT = 18,
    AI_KIND = 19,
    AI_SIZE = 20
};
enum : uint8_t { K_IN = 1, K_OUT = 2, K_FLAG = 3, K_LIST = 4, K_IN_INV = 5, K_OUT_INV = 6 };
constexpr uint32_t kHeader = 12, kMasterCfg = 24;

struct AsiCfg {
    uint32_t masters = 0, items = 0, mcap = 0, icap = 0, flags = 0;
    uint32_t master_at = 0, item_at = 0;
};

uint32_t Max(uint32_t a, uint32_t b) { return a > b ? a : b; }

// 0 parsed, 1 the configuration leaves its image.
uint32_t ParseCfg(uint32_t code, uint32_t cfg, AsiCfg &c) {
    c = AsiCfg{};
    if (cfg == 0) return 0;
    const Z7Img img = Z7Img_Of(code);
    const uint32_t off = cfg - code;
    if (cfg < code || !img.In(off, kHeader)) return 1;
    c.masters = img.W16(off);
    c.items = img.W16(off + 2);
    c.mcap = Max(c.masters, img.W16(off + 4));
    c.icap = Max(c.items, img.W16(off + 6));
    c.flags = img.W16(off + 8);
    const uint32_t m = off + kHeader;
    if (c.masters && !img.In(m, kMasterCfg * c.masters)) return 1;
    uint32_t p = m + kMasterCfg * c.masters;
    for (uint32_t k = 0; k < c.items; k++) {
        if (!img.In(p, 8)) return 1;
        const uint32_t size = (img.B(p + 7) & 0x80) ? 12 : 8;
        if (!img.In(p, size)) return 1;
        p += size;
    }
    c.master_at = code + m;
    c.item_at = code + m + kMasterCfg * c.masters;
    return 0;
}

uint32_t CodeOf(uint32_t db) { return Z7Mem_Get32(Z7VM_Header(db) + HD_CODE); }
uint32_t ItemRec(uint32_t area, uint32_t k) { return Z7Mem_Get32(area + AH_IFIRST) + AI_SIZE * k; }

uint32_t TypeWidth(uint32_t type) {
    switch (type) {
    case 1:
    case 10:
    case 14: return 1;
    case 11:
    case 15: return 2;
    case 2:
    case 16:
    case 4: return 4;
    default: return 0;  // REAL, 64-bit types and STRING stay unbound
    }
}
uint8_t LockBit(uint32_t type) {
    switch (TypeWidth(type)) {
    case 1: return Z7LK_8;
    case 2: return Z7LK_16;
    default: return type == 4 ? Z7LK_TIME : Z7LK_32;
    }
}

// Builds the head, masters and items with the capacities given.
void Build(const AsiCfg &c, uint32_t area, uint32_t db, uint32_t mcap, uint32_t icap) {
    Z7Mem_Put16(area + AH_MASTERS, uint16_t(c.masters));
    Z7Mem_Put16(area + AH_ITEMS, uint16_t(c.items));
    Z7Mem_Put16(area + AH_MCAP, uint16_t(mcap));
    Z7Mem_Put16(area + AH_ICAP, uint16_t(icap));
    Z7Mem_Put16(area + AH_FLAGS, uint16_t(c.flags));
    Z7Mem_Put16(area + 10, 0);
    Z7Mem_Put32(area + AH_MFIRST, area + AH_SIZE);
    Z7Mem_Put32(area + AH_IFIRST, area + AH_SIZE + AM_SIZE * mcap);
    for (uint32_t m = 0; m < mcap; m++) {
        const uint32_t r = Z7Asi_MasterRec(area, m), keep = Z7Mem_Get32(r + AM_WORD2);
        std::memset(Z7Mem_Ptr(r, AM_SIZE), 0, AM_SIZE);
        Z7Mem_Put32(r + AM_WORD2, keep);
        if (m < c.masters) Z7Mem_Put32(r + AM_CFG, c.master_at + kMasterCfg * m);
    }
    std::memset(Z7Mem_Ptr(ItemRec(area, 0), AI_SIZE * icap), 0, AI_SIZE * icap);
    const uint32_t ct = Z7Sec_Addr(db, Z7SEC_CT), ct_size = Z7Sec_Bytes(db, Z7SEC_CT);
    uint32_t def = c.item_at;
    for (uint32_t k = 0; k < c.items; k++) {
        const uint32_t r = ItemRec(area, k);
        const uint8_t *b = Z7Mem_Ptr(def, 8);
        const uint32_t size = (b[7] & 0x80) ? 12 : 8;
        Z7Mem_Put32(r + AI_DEF, def);
        const uint32_t type = Z7Mem_Get16(def), index = Z7Mem_Get16(def + 2);
        const uint32_t master = b[4], slave = b[5], sel = b[6], flags = b[7];
        def += size;
        if (master >= c.masters || slave > 63) continue;
        const uint32_t mrec = Z7Asi_MasterRec(area, master);
        uint32_t image = 0, mask = 0;
        uint8_t kind = 0;
        if (flags & 0x08) {
            if (sel == 0 || sel > 16) continue;
            kind = K_FLAG;
            image = AM_FLAGS + (sel > 8 ? 1 : 0);
            mask = 1u << ((sel - 1) % 8);
        } else if (flags & 0x04) {
            uint32_t list = 0;
            while (list < 5 && (1u << list) != sel) list++;
            if (list == 5) continue;
            kind = K_LIST;
            image = AM_LISTS + 8 * list + slave / 8;
            mask = 1u << (slave % 8);
        } else {
            const bool out = (flags & 0x02) != 0, inv = (flags & 0x10) != 0;
            kind = out ? (inv ? K_OUT_INV : K_OUT) : (inv ? K_IN_INV : K_IN);
            image = (out ? AM_OUT : AM_IN) + slave / 2;
            mask = (slave & 1) ? (sel << 4) & 0xF0 : sel & 0x0F;
            if (mask == 0) continue;
            const uint32_t first = out ? AM_OFIRST : AM_IFIRST, count = out ? AM_OCOUNT : AM_ICOUNT;
            if (Z7Mem_Get16(mrec + count) == 0) Z7Mem_Put16(mrec + first, uint16_t(k));
            Z7Mem_Put16(mrec + count, uint16_t(Z7Mem_Get16(mrec + count) + 1));
        }
        // the variable, its lock byte and bit
        const uint32_t base = type & 0x7F;
        const uint32_t width = TypeWidth(base);
        if (width == 0) continue;
        uint32_t var = 0, lock = 0;
        uint8_t lockbit = 0;
        if (flags & 0x80) {
            const uint32_t off = Z7Mem_Get32(def - 4);
            if (ct == 0 || uint64_t(off) + width > ct_size) continue;
            var = ct + off;
        } else if (type & 0x80) {
            const uint32_t xv = Z7Sec_Elem(db, Z7SEC_XV, index);
            var = xv ? Z7Mem_Get32(xv) : 0;
            if (Z7Mem_Ptr(var, width) == nullptr) continue;
            lock = Z7Sec_Elem(db, Z7SEC_LOCK, index);
            lockbit = Z7LK_EXT;
        } else {
            var = Z7Tools_GetAnyParam(db, base, index);
            if (var == 0) continue;
            lock = Z7Sec_Elem(db, Z7SEC_LOCK, index);
            lockbit = LockBit(base);
        }
        Z7Mem_Put32(r + AI_VAR, var);
        Z7Mem_Put32(r + AI_LOCK, lock);
        Z7Mem_Put32(r + AI_IMAGE, mrec + image);
        Z7Mem_Put8(r + AI_TYPE, uint8_t(base));
        Z7Mem_Put8(r + AI_MASK, uint8_t(mask));
        Z7Mem_Put8(r + AI_LOCKBIT, lockbit);
        Z7Mem_Put8(r + AI_KIND, kind);
    }
}

}  // namespace

// ---- the binding -----------------------------------------------------------------------------------------
uint32_t Z7VMAsi_GetSizing(uint32_t code) {
    AsiCfg c;
    if (ParseCfg(code, Z7VMCode_AsiConfig(code), c) != 0 || Z7VMCode_AsiConfig(code) == 0) return AH_SIZE;
    return AH_SIZE + AM_SIZE * c.mcap + AI_SIZE * c.icap;
}

uint32_t Z7VMAsi_Open(uint32_t config, uint32_t area, uint32_t db) {
    if (area == 0) return config ? 1 : 0;
    std::memset(Z7Mem_Ptr(area, AH_SIZE), 0, AH_SIZE);
    if (config == 0) return 0;
    AsiCfg c;
    if (ParseCfg(CodeOf(db), config, c) != 0) return 1;
    if (uint64_t(AH_SIZE) + uint64_t(AM_SIZE) * c.mcap + uint64_t(AI_SIZE) * c.icap > Z7Sec_Bytes(db, Z7SEC_ASI))
        return 1;
    Build(c, area, db, c.mcap, c.icap);
    const uint32_t rc = Z7Asi_Init(area);
    if (rc == 0) {
        if (c.flags & 1) Z7Asi_ApplyConfig(area);
        Z7Asi_ReadConfig(area);
    }
    return rc;
}

uint32_t Z7VMAsi_CanHotStart(uint32_t config, uint32_t area) {
    const uint8_t *h = Z7Mem_Ptr(config, kHeader);
    if (config == 0 || h == nullptr || area == 0 || Z7Asi_Masters(area) == 0) return 0;
    const uint32_t masters = h[0] | h[1] << 8, items = h[2] | h[3] << 8;
    return masters == Z7Asi_Masters(area) && items <= Z7Mem_Get16(area + AH_ICAP) ? 0 : 39;
}

uint32_t Z7VMAsi_HotStart(uint32_t config, uint32_t area, uint32_t db) {
    if (area == 0) return 0;
    if (config == 0) {
        std::memset(Z7Mem_Ptr(area, AH_SIZE), 0, AH_SIZE);
        return 0;
    }
    AsiCfg c;
    if (ParseCfg(CodeOf(db), config, c) != 0) return 39;
    const uint32_t mcap = Z7Mem_Get16(area + AH_MCAP), icap = Z7Mem_Get16(area + AH_ICAP);
    if (Z7Asi_Masters(area) == 0 &&
        uint64_t(AH_SIZE) + uint64_t(AM_SIZE) * c.mcap + uint64_t(AI_SIZE) * c.icap <= Z7Sec_Bytes(db, Z7SEC_ASI))
        Build(c, area, db, c.mcap, c.icap);  // the running application had none: its section was sized for this one
    else if (c.masters != Z7Asi_Masters(area) || c.items > icap)
        return 39;
    else
        Build(c, area, db, mcap, icap);
    if (!Z7Asi_IsHWOpen(area))
        if (const uint32_t rc = Z7Asi_Init(area)) return rc;
    if (c.flags & 1) Z7Asi_ApplyConfig(area);
    Z7Asi_ReadConfig(area);
    return 0;
}

void Z7VMAsi_Exchange(uint32_t db) {
    const uint32_t area = Z7Sec_Addr(db, Z7SEC_ASI);
    const uint32_t masters = Z7Asi_Masters(area);
    if (masters == 0) return;
    const uint32_t items = Z7Mem_Get16(area + AH_ITEMS);
    uint8_t *const recs = items ? Z7Mem_Ptr(ItemRec(area, 0), AI_SIZE * items) : nullptr;
    // host address of arena offset 0: the records' addresses were checked at build
    uint8_t *const A = Z7Mem_Ptr(area, 1) - area;
    for (uint32_t k = 0; recs && k < items; k++) {
        const uint8_t *r = recs + AI_SIZE * k;
        const uint8_t kind = r[AI_KIND];
        if (kind != K_OUT && kind != K_OUT_INV) continue;
        const uint32_t var = LE_Get32(r + AI_VAR), img = LE_Get32(r + AI_IMAGE);
        if (var == 0 || img == 0) continue;
        const uint8_t v = A[var], mask = r[AI_MASK];
        uint8_t &b = A[img];
        if (mask == 0x0F)
            b = uint8_t((b & 0xF0) | (v & 0x0F));
        else if (mask == 0xF0)
            b = uint8_t((b & 0x0F) | (v & 0x0F) << 4);
        else if ((v != 0) == (kind == K_OUT))
            b = uint8_t(b | mask);
        else
            b = uint8_t(b & ~mask);
    }
    Z7Asi_Exchange(area);
    for (uint32_t k = 0; recs && k < items; k++) {
        const uint8_t *r = recs + AI_SIZE * k;
        const uint8_t kind = r[AI_KIND];
        if (kind == 0 || kind == K_OUT || kind == K_OUT_INV) continue;
        const uint32_t var = LE_Get32(r + AI_VAR), img = LE_Get32(r + AI_IMAGE), lock = LE_Get32(r + AI_LOCK);
        if (var == 0 || img == 0) continue;
        if (lock && (A[lock] & r[AI_LOCKBIT])) continue;  // forced
        const uint8_t b = A[img], mask = r[AI_MASK];
        uint32_t v;
        if ((kind == K_IN || kind == K_IN_INV) && mask == 0x0F)
            v = b & 0x0F;
        else if ((kind == K_IN || kind == K_IN_INV) && mask == 0xF0)
            v = b >> 4;
        else
            v = ((b & mask) != 0) != (kind == K_IN_INV) ? 1 : 0;
        uint8_t *p = A + var;
        switch (TypeWidth(r[AI_TYPE])) {
        case 1: p[0] = r[AI_TYPE] == 1 ? (v != 0) : uint8_t(v); break;
        case 2: LE_Put16(p, uint16_t(v)); break;
        case 4: LE_Put32(p, v); break;
        default: break;
        }
    }
}

void Z7VMAsi_Close(uint32_t db) {
    const uint32_t area = Z7Sec_Addr(db, Z7SEC_ASI);
    const uint32_t masters = Z7Asi_Masters(area);
    if (masters == 0) return;
    for (uint32_t m = 0; m < masters; m++) std::memset(Z7Mem_Ptr(Z7Asi_MasterRec(area, m) + AM_OUT, 32), 0, 32);
    Z7Asi_Exchange(area);
    Z7Asi_Exit(area);
}

void Z7VMAsi_GetMasterProfiles(uint32_t area, uint32_t master, uint8_t *out) {
    if (out == nullptr) return;
    if (master == 0 || master > Z7Asi_Masters(area)) {
        std::memset(out, 0xFF, 256);
        return;
    }
    std::memcpy(out, Z7Mem_Ptr(Z7Asi_MasterRec(area, master - 1) + AM_PROF, 256), 256);
}

// ---- I/O channel accessors ------------------------------------------------------------------------------------
namespace {
struct ChanSlot {
    uint32_t addr = 0, index = 0, locked = 0;
};
// Slot of channel chan of group {u16 first index, u16 count} in the section
// of type (addr 0 past the count or outside the section).
ChanSlot Chan(uint32_t group, uint32_t db, uint32_t chan, uint32_t type) {
    ChanSlot s;
    const uint8_t *g = Z7Mem_Ptr(group, 4);
    if (g == nullptr || chan >= uint32_t(g[2] | g[3] << 8)) return s;
    s.index = uint32_t(g[0] | g[1] << 8) + chan;
    s.addr = Z7Tools_GetAnyParam(db, type, s.index, &s.locked);
    return s;
}
uint32_t ReadSlot(uint32_t g, uint32_t db, uint32_t c, uint32_t type) { return Chan(g, db, c, type).addr; }
uint32_t WriteSlot(uint32_t g, uint32_t db, uint32_t c, uint32_t type) {
    const ChanSlot s = Chan(g, db, c, type);
    return s.locked ? 0 : s.addr;
}
// The application declares the 32-bit (64-bit) slot index a REAL (LREAL):
// its variable table, which the map is built from, holds it with that type.
bool Marked(uint32_t db, uint32_t type, uint32_t index) { return Z7Map_GetByIndex(db, type, index) != 0; }

float F32(uint32_t bits) { return std::bit_cast<float>(bits); }
uint32_t Bits32(float f) { return std::bit_cast<uint32_t>(f); }
double F64(uint64_t bits) { return std::bit_cast<double>(bits); }
uint64_t Bits64(double d) { return std::bit_cast<uint64_t>(d); }
// 64-bit slot, little-endian as the VM keeps it.
uint64_t Get64(uint32_t a) { return Z7Mem_Get32(a) | uint64_t(Z7Mem_Get32(a + 4)) << 32; }
void Put64(uint32_t a, uint64_t v) {
    Z7Mem_Put32(a, uint32_t(v));
    Z7Mem_Put32(a + 4, uint32_t(v >> 32));
}
constexpr uint8_t kNoCounted[1] = {0};
}  // namespace

uint8_t Z7IOX_ReadChanBool(uint32_t g, uint32_t db, uint32_t c) {
    const uint32_t a = ReadSlot(g, db, c, IEC_BOOL);
    return a ? Z7Mem_Get8(a) : 0;
}
void Z7IOX_WriteChanBool(uint32_t g, uint32_t db, uint32_t c, uint8_t v) {
    if (const uint32_t a = WriteSlot(g, db, c, IEC_BOOL)) Z7Mem_Put8(a, v ? 1 : 0);
}
int8_t Z7IOX_ReadChanSint(uint32_t g, uint32_t db, uint32_t c) {
    const uint32_t a = ReadSlot(g, db, c, IEC_SINT);
    return a ? int8_t(Z7Mem_Get8(a)) : 0;
}
void Z7IOX_WriteChanSint(uint32_t g, uint32_t db, uint32_t c, int8_t v) {
    if (const uint32_t a = WriteSlot(g, db, c, IEC_SINT)) Z7Mem_Put8(a, uint8_t(v));
}
int16_t Z7IOX_ReadChanInt(uint32_t g, uint32_t db, uint32_t c) {
    const uint32_t a = ReadSlot(g, db, c, IEC_INT);
    return a ? int16_t(Z7Mem_Get16(a)) : 0;
}
void Z7IOX_WriteChanInt(uint32_t g, uint32_t db, uint32_t c, int16_t v) {
    if (const uint32_t a = WriteSlot(g, db, c, IEC_INT)) Z7Mem_Put16(a, uint16_t(v));
}

int32_t Z7IOX_ReadChanDint(uint32_t g, uint32_t db, uint32_t c) {
    const ChanSlot s = Chan(g, db, c, IEC_DINT);
    if (s.addr == 0) return 0;
    const uint32_t v = Z7Mem_Get32(s.addr);
    return Marked(db, IEC_REAL, s.index) ? Z7Cnv_S32(F32(v)) : int32_t(v);
}
void Z7IOX_WriteChanDint(uint32_t g, uint32_t db, uint32_t c, int32_t v) {
    const ChanSlot s = Chan(g, db, c, IEC_DINT);
    if (s.addr && !s.locked) Z7Mem_Put32(s.addr, Marked(db, IEC_REAL, s.index) ? Bits32(float(v)) : uint32_t(v));
}
float Z7IOX_ReadChanReal(uint32_t g, uint32_t db, uint32_t c) {
    const ChanSlot s = Chan(g, db, c, IEC_REAL);
    if (s.addr == 0) return 0.0f;
    const uint32_t v = Z7Mem_Get32(s.addr);
    return Marked(db, IEC_REAL, s.index) ? F32(v) : float(int32_t(v));
}
void Z7IOX_WriteChanReal(uint32_t g, uint32_t db, uint32_t c, float v) {
    const ChanSlot s = Chan(g, db, c, IEC_REAL);
    if (s.addr && !s.locked) Z7Mem_Put32(s.addr, Marked(db, IEC_REAL, s.index) ? Bits32(v) : uint32_t(Z7Cnv_S32(v)));
}
int64_t Z7IOX_ReadChanLint(uint32_t g, uint32_t db, uint32_t c) {
    const ChanSlot s = Chan(g, db, c, IEC_LINT);
    if (s.addr == 0) return 0;
    const uint64_t v = Get64(s.addr);
    return Marked(db, IEC_LREAL, s.index) ? Z7Cnv_S64(F64(v)) : int64_t(v);
}
void Z7IOX_WriteChanLint(uint32_t g, uint32_t db, uint32_t c, int64_t v) {
    const ChanSlot s = Chan(g, db, c, IEC_LINT);
    if (s.addr && !s.locked) Put64(s.addr, Marked(db, IEC_LREAL, s.index) ? Bits64(double(v)) : uint64_t(v));
}
double Z7IOX_ReadChanLReal(uint32_t g, uint32_t db, uint32_t c) {
    const ChanSlot s = Chan(g, db, c, IEC_LREAL);
    if (s.addr == 0) return 0.0;
    const uint64_t v = Get64(s.addr);
    return Marked(db, IEC_LREAL, s.index) ? F64(v) : double(int64_t(v));
}
void Z7IOX_WriteChanLReal(uint32_t g, uint32_t db, uint32_t c, double v) {
    const ChanSlot s = Chan(g, db, c, IEC_LREAL);
    if (s.addr && !s.locked) Put64(s.addr, Marked(db, IEC_LREAL, s.index) ? Bits64(v) : uint64_t(Z7Cnv_S64(v)));
}

const char *Z7IOX_ReadChanCString(uint32_t g, uint32_t db, uint32_t c) {
    const uint32_t slot = ReadSlot(g, db, c, IEC_STRING);
    if (slot == 0) return "";
    uint8_t *p = Z7Mem_Ptr(slot, 2);
    const uint32_t len = p[1] <= p[0] ? p[1] : p[0];  // a length past the maximum is cut to it
    p = Z7Mem_Ptr(slot, 3 + len);
    p[2 + len] = 0;
    return reinterpret_cast<const char *>(p + 2);
}
void Z7IOX_WriteChanCString(uint32_t g, uint32_t db, uint32_t c, const char *text) {
    if (const uint32_t slot = WriteSlot(g, db, c, IEC_STRING))
        Z7VMStr_AscForce(slot, text, text ? uint32_t(strnlen(text, 255)) : 0);
}
const uint8_t *Z7IOX_ReadChanBinString(uint32_t g, uint32_t db, uint32_t c) {
    const uint32_t slot = ReadSlot(g, db, c, IEC_STRING);
    if (slot == 0) return kNoCounted;
    const uint8_t *p = Z7Mem_Ptr(slot, 2);
    return p[1] <= p[0] ? p + 1 : kNoCounted;  // a length past the maximum is no counted text of the slot
}
void Z7IOX_WriteChanBinString(uint32_t g, uint32_t db, uint32_t c, const uint8_t *counted) {
    if (const uint32_t slot = WriteSlot(g, db, c, IEC_STRING))
        Z7VMStr_AscForce(slot, counted ? reinterpret_cast<const char *>(counted + 1) : nullptr,
                         counted ? counted[0] : 0);
}
