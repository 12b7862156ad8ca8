// AS-i binding: the code image's AS-i configuration (masters and items that
// bind slave bits, nibbles, master flags and slave lists to VM variables)
// built into database section 31; once per cycle outputs go into each
// master's image, the host exchanges the images, inputs come out of them.
// Also the I/O channel accessors of an I/O group. The host hooks of the
// master (Z7Asi_) are in z7plat.cpp.
#include <cstring>

#include "core/image/bytes.h"
#include "iec/services/z7rtio.h"
#include "iec/services/z7svc.h"
#include "iec/vm/z7code_internal.h"
#include "iec/vm/z7stdlib.h"
#include "iec/vm/z7vm.h"

namespace {
// Head of the section, master and item records.
enum : uint32_t { AI_DEF = 0, AI_VAR = 4, AI_LOCK = 8, AI_IMAGE = 12, AI_TYPE = 16, AI_MASK = 17, AI_LOCKBIT = 18, AI_KIND = 19, AI_SIZE = 20 };
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
    case 1: case 10: case 14: return 1;
    case 11: case 15: return 2;
    case 2: case 16: case 4: return 4;
    default: return 0;  // REAL, 64-bit types and STRING stay unbound
    }
}
uint8_t LockBit(uint32_t type) {
    switch (TypeWidth(type)) {
    case 1: return 0x01;
    case 2: return 0x02;
    default: return type == 4 ? 0x10 : 0x04;
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
            lockbit = 0x80;
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
    if (uint64_t(AH_SIZE) + uint64_t(AM_SIZE) * c.mcap + uint64_t(AI_SIZE) * c.icap > Z7Sec_Bytes(db, Z7SEC_ASI)) return 1;
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
    if (Z7Asi_Masters(area) == 0 && uint64_t(AH_SIZE) + uint64_t(AM_SIZE) * c.mcap + uint64_t(AI_SIZE) * c.icap <= Z7Sec_Bytes(db, Z7SEC_ASI))
        Build(c, area, db, c.mcap, c.icap);  // the running application had none: its section was sized for this one
    else if (c.masters != Z7Asi_Masters(area) || c.items > icap) return 39;
    else Build(c, area, db, mcap, icap);
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
        if (mask == 0x0F) b = uint8_t((b & 0xF0) | (v & 0x0F));
        else if (mask == 0xF0) b = uint8_t((b & 0x0F) | (v & 0x0F) << 4);
        else if ((v != 0) == (kind == K_OUT)) b = uint8_t(b | mask);
        else b = uint8_t(b & ~mask);
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
        if ((kind == K_IN || kind == K_IN_INV) && mask == 0x0F) v = b & 0x0F;
        else if ((kind == K_IN || kind == K_IN_INV) && mask == 0xF0) v = b >> 4;
        else v = ((b & mask) != 0) != (kind == K_IN_INV) ? 1 : 0;
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
// Slot of channel chan of group (first index, count) in the section of type, or 0.
uint32_t Chan(uint32_t group, uint32_t db, uint32_t chan, uint32_t type, bool write) {
    const uint8_t *g = Z7Mem_Ptr(group, 4);
    if (g == nullptr || chan >= uint32_t(g[2] | g[3] << 8)) return 0;
    uint32_t locked = 0;
    const uint32_t a = Z7Tools_GetAnyParam(db, type, uint32_t(g[0] | g[1] << 8) + chan, &locked);
    return write && locked ? 0 : a;
}
}  // namespace

uint8_t Z7IOX_ReadChanBool(uint32_t g, uint32_t db, uint32_t c) { const uint32_t a = Chan(g, db, c, 1, false); return a ? Z7Mem_Get8(a) : 0; }
void Z7IOX_WriteChanBool(uint32_t g, uint32_t db, uint32_t c, uint8_t v) { if (const uint32_t a = Chan(g, db, c, 1, true)) Z7Mem_Put8(a, v ? 1 : 0); }
int8_t Z7IOX_ReadChanSint(uint32_t g, uint32_t db, uint32_t c) { const uint32_t a = Chan(g, db, c, 10, false); return a ? int8_t(Z7Mem_Get8(a)) : 0; }
void Z7IOX_WriteChanSint(uint32_t g, uint32_t db, uint32_t c, int8_t v) { if (const uint32_t a = Chan(g, db, c, 10, true)) Z7Mem_Put8(a, uint8_t(v)); }
int16_t Z7IOX_ReadChanInt(uint32_t g, uint32_t db, uint32_t c) { const uint32_t a = Chan(g, db, c, 11, false); return a ? int16_t(Z7Mem_Get16(a)) : 0; }
void Z7IOX_WriteChanInt(uint32_t g, uint32_t db, uint32_t c, int16_t v) { if (const uint32_t a = Chan(g, db, c, 11, true)) Z7Mem_Put16(a, uint16_t(v)); }
int32_t Z7IOX_ReadChanDint(uint32_t g, uint32_t db, uint32_t c) { const uint32_t a = Chan(g, db, c, 2, false); return a ? int32_t(Z7Mem_Get32(a)) : 0; }
void Z7IOX_WriteChanDint(uint32_t g, uint32_t db, uint32_t c, int32_t v) { if (const uint32_t a = Chan(g, db, c, 2, true)) Z7Mem_Put32(a, uint32_t(v)); }
