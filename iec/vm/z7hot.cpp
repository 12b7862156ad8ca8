// On-line change and hot restart: a new code image is checked against the
// running database and applied to it without resizing anything; every
// existing value is kept, variables behind the old boundaries get their
// initial values. Also the check of a saved hot-restart image before it is
// linked.
#include <cstring>

#include "iec/vm/z7code_internal.h"
#include "iec/vm/z7hooks.h"
#include "iec/vm/z7interp.h"
#include "iec/vm/z7map.h"
#include "iec/vm/z7parts.h"
#include "iec/vm/z7stdlib.h"
#include "iec/vm/z7vm.h"

namespace {
// Typed sections in check order with their sizing words and codes.
struct Typed {
    uint32_t sec, word;
};
constexpr Typed kTyped[6] = {{Z7SEC_D8, 0},   {Z7SEC_D16, 6},   {Z7SEC_D32, 12},
                             {Z7SEC_D64, 18}, {Z7SEC_TIME, 24}, {Z7SEC_STRPTR, 30}};
constexpr uint32_t kWidth[5] = {1, 2, 4, 8, 4};

uint16_t Count(uint16_t highest) { return highest == 0xFFFF ? 0 : uint16_t(highest + 1); }

uint32_t Fail(uint32_t db, uint32_t code) {
    Z7VMLog_Push(db, uint16_t(code), 0, 0);
    return code;
}

// Maximum length of string n (1..) in the image's size list, 0 past its end.
uint32_t StringMax(const Z7Img &img, uint32_t n) {
    const uint32_t ib = Z7Img_InitBlock(img);
    const uint32_t sizes = ib ? img.W32(ib + 4 * 6) : 0;
    if (!img.In(sizes, 1)) return 0;
    for (uint32_t k = 1, p = sizes; p < img.len && img.B(p) != 0; k++, p++)
        if (k == n) return img.B(p);
    return 0;
}

uint32_t NameStampBreaks(uint32_t code, uint32_t db, uint32_t name_code) {
    if (!Z7VMCode_CanUpdateStatus(code, db)) return name_code;
    const uint32_t stamp = Z7VMCode_GetFullBuildStamp(code);
    if (stamp == 0 || stamp != Z7Mem_Get32(Z7VM_Header(db) + HD_STAMP)) return 26;
    if (Z7VMPrg_HasBreapointOrStep(db)) return (Z7St_Flags(db) & (Z7F_BREAKPOINTS | Z7F_STEP)) ? 72 : 73;
    if (Z7VMCode_GetSfcCrc(code) != Z7Mem_Get32(Z7VM_Header(db) + HD_SFCCRC)) return 27;
    return 0;
}
}  // namespace

namespace {
// The typed sections, strings, instances, custom functions, programs and XV
// of the image against the database (check) and taken over (apply). An undo
// puts an earlier image back: its boundaries may be lower than the current
// ones, and strings behind its count lose their slots.
uint32_t VarMap(uint32_t code, uint32_t db, uint32_t apply, bool undo, uint32_t *out) {
    const Z7Img img = Z7Img_Of(code);
    auto fail = [&](uint32_t c) {
        if (out) *out = c;
        return uint32_t(0);
    };
    if (out) *out = 0;
    for (uint32_t k = 0; k < 6; k++) {
        const uint32_t sec = kTyped[k].sec, w = kTyped[k].word;
        if (Count(Z7Img_Sizing(img, w)) != Z7Sec_Get(db, sec, SD_ALLOC)) return fail(53 + k);
        const uint16_t old_bound = Z7Sec_Get(db, sec, SD_BOUND), new_bound = Count(Z7Img_Sizing(img, w + 2));
        if (new_bound < old_bound && !undo) return fail(153 + k);
        const uint16_t used = uint16_t(Count(Z7Img_Sizing(img, w + 1)));
        if (used > Z7Sec_Get(db, sec, SD_ALLOC)) return fail(53 + k);
        if (k < 5) {
            if (apply) {
                const uint32_t base = Z7Sec_Addr(db, sec);
                for (uint32_t i = old_bound; i < new_bound && i < Z7Sec_Get(db, sec, SD_ALLOC); i++)
                    std::memset(Z7Mem_Ptr(base + kWidth[k] * i, kWidth[k]), 0, kWidth[k]);
                Z7Sec_Set(db, sec, SD_BOUND, new_bound);
                Z7Sec_Set(db, sec, SD_USED, used);
            }
            continue;
        }
        // strings: buffer size, existing maximum lengths, new slots behind the old ones
        uint32_t buf_size = 0;
        Z7VMCode_GetNbString(code, &buf_size);
        if (buf_size > Z7Sec_Bytes(db, Z7SEC_STRBUF)) return fail(62);
        // slots lie one behind the other in the buffer; their pointers may be
        // those of another process (a saved database), so the buffer is walked
        const uint32_t current = Z7Sec_Get(db, Z7SEC_STRPTR, SD_USED);
        const uint32_t sbuf = Z7Sec_Addr(db, Z7SEC_STRBUF), sbytes = Z7Sec_Bytes(db, Z7SEC_STRBUF);
        for (uint32_t n = 1, at = 0; n < current; n++) {
            const uint32_t e = Z7Sec_Elem(db, Z7SEC_STRPTR, n);
            uint32_t old_max = 0;
            if (e && Z7Mem_Get32(e) != 0) {
                if (at >= sbytes) return fail(63);
                old_max = Z7Mem_Get8(sbuf + at);
                at += old_max + 3u;
            }
            if (undo && n >= used) break;  // a string the earlier image does not have
            if (StringMax(img, n) != old_max) return fail(63);
        }
        if (apply) {
            const uint32_t buf = Z7Sec_Addr(db, Z7SEC_STRBUF), size = Z7Sec_Bytes(db, Z7SEC_STRBUF);
            uint32_t next = 0;
            for (uint32_t n = 1; n < current; n++)
                if (const uint32_t slot = Z7Mem_Get32(Z7Sec_Elem(db, Z7SEC_STRPTR, n)))
                    next = slot - buf + Z7Mem_Get8(slot) + 3u;
            for (uint32_t n = used ? used : 1; undo && n < current; n++)
                Z7Mem_Put32(Z7Sec_Elem(db, Z7SEC_STRPTR, n), 0);
            for (uint32_t n = current ? current : 1; n < used; n++) {
                const uint32_t max = StringMax(img, n);
                if (max == 0) continue;  // no slot in the image either
                if (next + max + 3 > size) return fail(62);
                Z7Mem_Put32(Z7Sec_Elem(db, Z7SEC_STRPTR, n), buf + next);
                Z7Mem_Put8(buf + next, uint8_t(max));
                Z7Mem_Put8(buf + next + 1, 0);
                Z7Mem_Put8(buf + next + 2, 0);
                next += max + 3;
            }
            Z7Sec_Set(db, sec, SD_BOUND, new_bound);
            Z7Sec_Set(db, sec, SD_USED, used);
        }
    }
    if (!apply) {
        if (Z7VMCode_GetNbFBInstance(code) != Z7Sec_Get(db, Z7SEC_INST, SD_ALLOC)) return fail(59);
        const uint16_t old_inst = Z7Sec_Get(db, Z7SEC_INST, SD_USED);
        if (Z7VMCode_GetNbFBInstanceUsed(code) < old_inst) return fail(159);
        if (Z7VMFbl_GetInstanceDataSize(code) > Z7Sec_Bytes(db, Z7SEC_INSTDATA) ||
            Z7VMCode_GetWishedFBIRawSize(code) > Z7Sec_Bytes(db, Z7SEC_INSTDATA))
            return fail(64);
        if (Z7VMFbl_SameParameters(code, db, old_inst) != 0) return fail(65);
        if (Z7VMCode_GetNbCustomFunc(code) != Z7Sec_Get(db, Z7SEC_CFUNC, SD_ALLOC)) return fail(60);
        const uint32_t slots = Z7Sec_Get(db, Z7SEC_PROG, SD_ALLOC);
        uint32_t k = 1;
        for (uint32_t e = img.Table(14, 12); e && img.In(e, 12) && img.W32(e) != 0; e += 12, k++) {
            if (k >= slots) return fail(67);
            const uint16_t old_kind = Z7Mem_Get16(Z7Sec_Elem(db, Z7SEC_PROG, k) + PG_KIND);
            const uint16_t kind = img.W16(e + 8);
            if ((old_kind == 1 || old_kind == 2) && Z7Mem_Get32(Z7Sec_Elem(db, Z7SEC_PROG, k) + PG_CODE) != 0 &&
                kind != old_kind)
                return fail(66);
        }
    }
    if (Count(Z7Img_Sizing(img, 40)) != Z7Sec_Get(db, Z7SEC_XV, SD_ALLOC)) return fail(61);
    const uint16_t xv_used = Count(Z7Img_Sizing(img, 41));
    if ((xv_used < Z7Sec_Get(db, Z7SEC_XV, SD_USED) && !undo) || xv_used > Z7Sec_Get(db, Z7SEC_XV, SD_ALLOC))
        return fail(161);
    if (apply) {
        Z7Sec_Set(db, Z7SEC_XV, SD_USED, xv_used);
        Z7Sec_Set(db, Z7SEC_XV, SD_BOUND, xv_used);
    }
    return 1;
}
}  // namespace

uint32_t Z7VMHot_PrcVarMap(uint32_t code, uint32_t db, uint32_t apply, uint32_t *out) {
    return VarMap(code, db, apply, false, out);
}

uint32_t Z7VMHot_UndoVarMap(uint32_t code, uint32_t db, uint32_t apply, uint32_t *out) {
    return VarMap(code, db, apply, true, out);
}

uint32_t Z7VM_CanHOTStart(uint32_t code, uint32_t db) {
    if (db == 0) return 1;
    if (Z7VMCode_CheckCode(code) != 0 || Z7Img_CheckTables(Z7Img_Of(code)) != 0) return Fail(db, 43);
    const uint32_t hd = Z7VM_Header(db);
    if (Z7Mem_Get32(hd + HD_MAGIC) != Z7_DB_MAGIC) return Fail(db, 29);
    if (Z7Img_Of(code).Hdr(15) != Z7Mem_Get32(Z7VM_Status(db) + ST_LAYOUT)) return Fail(db, 76);
    if (!Z7VMCode_CanUpdateStatus(code, db)) {
        Z7VMLog_Push(db, 1, 0, 0);
        return 44;
    }
    uint32_t rc = NameStampBreaks(code, db, 44);
    if (rc != 0) return Fail(db, rc);
    uint32_t var = 0;
    if (!Z7VMHot_PrcVarMap(code, db, 0, &var)) return Fail(db, var);
    if (Z7VMRsc_Exist(db)) return Fail(db, 23);
    if (Z7VMCode_GetNbActiveTime(code) > Z7Sec_Get(db, Z7SEC_TIMERS, SD_ALLOC)) return Fail(db, 25);
    if (Z7Part_Ios_CanHotRestart(Z7VMCode_GetIODef(code)) != 0) return Fail(db, 45);
    if (Z7VMCode_GetCTSegUsedSize(code) > Z7Sec_Bytes(db, Z7SEC_CT)) return Fail(db, 46);
    if (Z7Part_DDKC_CanBuildHot(db, code) != 0) return Fail(db, 47);
    if (Z7VMWarm_CanUpdatePointers(code, db) != 0) return Fail(db, 28);
    if (Z7VMMap_CanHotRestart(db, code) != 0) return Fail(db, 48);
    rc = Z7VMCode_CanHOTBuildTaskList(code);
    if (rc == 36) return Fail(db, 49);
    if (rc != 0) return Fail(db, 43);
    if (Z7VMCode_GetCallStackAllocSize(code) > Z7Sec_Get(db, Z7SEC_CSTACK, SD_ALLOC)) return Fail(db, 37);
    if (Z7Part_MB_CanBuildHOT(Z7VMCode_MBClientConfig(code), Z7Sec_Addr(db, Z7SEC_MB)) != 0) return Fail(db, 50);
    if (Z7Part_VMAsi_CanHotStart(Z7VMCode_AsiConfig(code), Z7Sec_Addr(db, Z7SEC_ASI)) != 0) return Fail(db, 39);
    if (Z7Part_VMCan_CanBuildHot(db, code) != 0) return Fail(db, 51);
    if (Z7Part_EAX_CanBuildHOT(code, db) != 0) return Fail(db, 52);
    return 0;
}

namespace {
uint32_t Rebuild(uint32_t code, uint32_t db, uint32_t now, bool undo) {
    if (db == 0 || Z7VMCode_CheckCode(code) != 0 || Z7Img_CheckTables(Z7Img_Of(code)) != 0) return 1;
    const uint32_t st = Z7VM_Status(db), hd = Z7VM_Header(db);
    // 1: break position and breakpoints cleared, stamp, breakpoints flag
    std::memset(Z7Mem_Ptr(st + ST_BRK_PROG, 6), 0, 6);
    std::memset(Z7Mem_Ptr(st + ST_BREAKPOINTS, 128), 0, 128);
    Z7Mem_Put32(st + ST_STAMP, now == 0 ? 86400000u : now);
    Z7St_SetFlags(db, uint16_t(Z7St_Flags(db) & ~Z7F_BREAKPOINTS));
    // 2-3: the same checks as before a hot start, up to the timers
    if (Z7Mem_Get32(hd + HD_MAGIC) != Z7_DB_MAGIC) return 29;
    if (Z7Img_Of(code).Hdr(15) != Z7Mem_Get32(st + ST_LAYOUT)) return Fail(db, 76);
    uint16_t old_bound[6];
    for (uint32_t k = 0; k < 6; k++) old_bound[k] = Z7Sec_Get(db, kTyped[k].sec, SD_BOUND);
    uint32_t rc = NameStampBreaks(code, db, 1);
    if (rc != 0) return rc;
    uint32_t var = 0;
    if (!VarMap(code, db, 0, undo, &var)) return var;
    if (Z7VMRsc_Exist(db)) return 23;
    if (Z7VMCode_GetNbActiveTime(code) > Z7Sec_Get(db, Z7SEC_TIMERS, SD_ALLOC)) return 25;
    // the map's own test before anything changes: its rebuild (48) would come with the database half rebuilt
    if (Z7VMMap_CanHotRestart(db, code) != 0) return 48;
    // 4: header
    Z7Mem_Put32(hd + HD_EXECUTOR, Z7Fn_Register(reinterpret_cast<Z7Fn>(&Z7VMStf_Execute)));
    Z7Mem_Put32(hd + HD_CODE, code);
    Z7Mem_Put32(hd + HD_VARTYPES, Z7VMCode_GetVarTypeList(code));
    Z7Mem_Put32(hd + HD_PASSWORD, Z7VMCode_GetPassword(code));
    Z7Mem_Put32(hd + HD_CURSTRTAB, Z7VMCode_GetStringTable(code, Z7Mem_Get32(hd + HD_DEFSTRTAB)));
    // 5-7: programs, heap, call stack, strings, map, blocks, timers
    if ((rc = Z7VMCode_SetProgramPointers(code, db)) != 0) return rc;
    Z7VMPrg_ActivateNewPrograms(db, code);
    if (!(Z7Mem_Get32(st + ST_OPTIONS) & Z7O_CHANGED) && (rc = Z7VMCode_AllocHeap(code, db, 1)) != 0) return rc;
    if (Z7VMCode_GetCallStackAllocSize(code) > Z7Sec_Get(db, Z7SEC_CSTACK, SD_ALLOC)) return 37;
    if ((rc = Z7VMCode_SetStringPointers(code, db)) != 0) return rc;
    if (Z7VMMap_HotRestart(db, code) != 0) return 48;
    if ((rc = Z7VMFbl_Link(code, db)) != 0) return rc;
    if ((rc = Z7VMFbl_InitInstances(code, db, 0)) != 0) return rc;
    // instances 1 .. highest used number before the change survive it
    const uint16_t old_inst = Z7Sec_Get(db, Z7SEC_INST, SD_USED);
    Z7VMFbl_InitNewInstances(db, old_inst ? old_inst - 1u : 0u);
    Z7Sec_Set(db, Z7SEC_INST, SD_USED, Z7VMCode_GetNbFBInstanceUsed(code));
    if ((rc = Z7VMFbl_InitCustomFunctions(code, db)) != 0) return rc;
    Z7VMTmr_HotRestartTimers(db);
    Z7VMTic_Init(db);
    // 8: new parts of the typed sections, initial values of new variables only
    if (!VarMap(code, db, 1, undo, &var)) return var;
    uint16_t new_bound[6];
    for (uint32_t k = 0; k < 6; k++) {
        new_bound[k] = Z7Sec_Get(db, kTyped[k].sec, SD_BOUND);
        Z7Sec_Set(db, kTyped[k].sec, SD_BOUND, old_bound[k]);
    }
    Z7VMCode_ApplyData8Init(code, db, 0);
    Z7VMCode_ApplyData16Init(code, db, 0);
    Z7VMCode_ApplyData32Init(code, db, 0);
    Z7VMCode_ApplyData64Init(code, db, 0);
    Z7VMCode_ApplyTimeInit(code, db, 0);
    Z7VMCode_ApplyStringInit(code, db, 0);
    for (uint32_t k = 0; k < 6; k++) Z7Sec_Set(db, kTyped[k].sec, SD_BOUND, new_bound[k]);
    // 9: I/O layer, complex types, retains, XV, tasks, services
    Z7Part_Ios_HotRestart(Z7VMCode_GetIODef(code));
    Z7VMCode_ApplyCTSegInit(code, db, Z7Mem_Get32(hd + HD_CTUSED));
    Z7Mem_Put32(hd + HD_CTUSED, Z7VMCode_GetCTSegUsedSize(code));
    if ((rc = Z7VMWarm_UpdatePointers(code, db)) != 0) return rc;
    if ((rc = Z7VMCode_SetXVPointers(code, db)) != 0) return rc;
    if ((rc = Z7VMCode_BuildTaskList(code, db)) != 0) return rc == 36 ? 49 : rc;
    if ((rc = Z7Part_MB_BuildHOT(Z7VMCode_MBClientConfig(code), Z7Sec_Addr(db, Z7SEC_MB))) != 0) return rc;
    if ((rc = Z7Part_MB_Link(db)) != 0) return rc;
    if ((rc = Z7Part_VMAsi_HotStart(Z7VMCode_AsiConfig(code), Z7Sec_Addr(db, Z7SEC_ASI), db)) != 0) return rc;
    if ((rc = Z7Part_VMCan_BuildHot(db, code)) != 0) return 51;
    if (const uint32_t evt = Z7Sec_Addr(db, Z7SEC_EVT))
        std::memset(Z7Mem_Ptr(evt, Z7Sec_Bytes(db, Z7SEC_EVT)), 0, Z7Sec_Bytes(db, Z7SEC_EVT));
    Z7Sec_Set(db, Z7SEC_EVT, SD_USED, 0);
    if ((rc = Z7Part_EAX_BuildHOT(code, db)) != 0) return rc;
    if ((rc = Z7Part_EAX_Link(db)) != 0) return rc;
    return Z7Part_DDKC_BuildHot(db, code);
}
}  // namespace

uint32_t Z7VM_BuildHOT(uint32_t code, uint32_t db, uint32_t now) { return Rebuild(code, db, now, false); }

uint32_t Z7VM_UndoHOTChange(uint32_t code, uint32_t db, uint32_t now) { return Rebuild(code, db, now, true); }

namespace {
uint32_t Round8(uint64_t n) { return uint32_t((n + 7u) & ~uint64_t(7)); }
uint32_t Le16(const uint8_t *p) { return p[0] | uint32_t(p[1]) << 8; }
uint32_t Le32(const uint8_t *p) { return Le16(p) | Le16(p + 2) << 16; }
uint64_t DescBytes(const uint8_t *d) {
    const uint32_t size = Le32(d + SD_SIZE);
    return size ? size : uint64_t(Le16(d + SD_ELEM)) * Le16(d + SD_ALLOC);
}
}  // namespace

uint32_t Z7VM_CheckHotImage(uint32_t code, uint32_t block, uint32_t size) {
    const uint8_t *t = Z7Mem_Ptr(block, size);
    if (t == nullptr || size < Z7_DESC_TABLE) return 1;
    uint8_t want[Z7_DESC_TABLE] = {};
    if (Z7VM_GetDBSize(code, want) != 0) return 1;
    uint64_t total = Z7_DESC_TABLE, header = 0;
    for (uint32_t s = 0; s < Z7SEC_COUNT; s++) {
        const uint8_t *d = t + s * Z7_DESC_SIZE, *w = want + s * Z7_DESC_SIZE;
        // (an on-line change may have left fewer map items in the same bytes)
        if (DescBytes(d) != DescBytes(w) || Le16(d + SD_ELEM) != Le16(w + SD_ELEM) ||
            (s != Z7SEC_MAPITEM && Le16(d + SD_ALLOC) != Le16(w + SD_ALLOC)))
            return 1;
        if (s == Z7SEC_HEADER) header = total;
        total += Round8(DescBytes(d));
    }
    if (total != size || header + 4 > size) return 1;
    return Le32(t + header + HD_MAGIC) == Z7_DB_MAGIC ? 0 : 1;
}
