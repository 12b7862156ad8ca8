// VM database: section descriptors, sizing from the code image, layout and
// the build that fills the sections.
#include <cstring>
#include <initializer_list>

#include "iec/vm/z7code_internal.h"
#include "iec/vm/z7heap.h"
#include "iec/vm/z7parts.h"
#include "iec/vm/z7vm.h"

uint32_t pDB = 0;

namespace {
uint32_t Round8(uint64_t n) { return uint32_t((n + 7u) & ~uint64_t(7)); }

void SetDesc(uint8_t *t, uint32_t sec, uint16_t elem, uint32_t count, uint32_t size = 0) {
    uint8_t *d = t + sec * Z7_DESC_SIZE;
    std::memset(d, 0, Z7_DESC_SIZE);
    d[SD_SIZE] = uint8_t(size);
    d[SD_SIZE + 1] = uint8_t(size >> 8);
    d[SD_SIZE + 2] = uint8_t(size >> 16);
    d[SD_SIZE + 3] = uint8_t(size >> 24);
    d[SD_ELEM] = uint8_t(elem);
    d[SD_ELEM + 1] = uint8_t(elem >> 8);
    d[SD_ALLOC] = uint8_t(count);
    d[SD_ALLOC + 1] = uint8_t(count >> 8);
}

uint64_t DescBytes(const uint8_t *d) {
    const uint32_t size = uint32_t(d[SD_SIZE]) | uint32_t(d[SD_SIZE + 1]) << 8 | uint32_t(d[SD_SIZE + 2]) << 16 |
                          uint32_t(d[SD_SIZE + 3]) << 24;
    if (size) return size;
    return uint64_t(d[SD_ELEM] | d[SD_ELEM + 1] << 8) * (d[SD_ALLOC] | d[SD_ALLOC + 1] << 8);
}
}  // namespace

// ---- section helpers ----------------------------------------------------------------------
// (db 0 is no database: nothing is read or written)
uint32_t Z7Sec_Addr(uint32_t db, uint32_t sec) {
    return db && sec < Z7SEC_COUNT ? Z7Mem_Get32(db + sec * Z7_DESC_SIZE) : 0;
}
uint32_t Z7Sec_Bytes(uint32_t db, uint32_t sec) {
    const uint8_t *d = db && sec < Z7SEC_COUNT ? Z7Mem_Ptr(db + sec * Z7_DESC_SIZE, Z7_DESC_SIZE) : nullptr;
    return d ? uint32_t(DescBytes(d)) : 0;
}
uint16_t Z7Sec_Get(uint32_t db, uint32_t sec, uint32_t field) {
    return db && sec < Z7SEC_COUNT ? Z7Mem_Get16(db + sec * Z7_DESC_SIZE + field) : 0;
}
void Z7Sec_Set(uint32_t db, uint32_t sec, uint32_t field, uint16_t v) {
    if (db && sec < Z7SEC_COUNT) Z7Mem_Put16(db + sec * Z7_DESC_SIZE + field, v);
}
uint32_t Z7Sec_Elem(uint32_t db, uint32_t sec, uint32_t idx) {
    if (db == 0 || sec >= Z7SEC_COUNT || idx >= Z7Sec_Get(db, sec, SD_ALLOC)) return 0;
    const uint32_t addr = Z7Sec_Addr(db, sec);
    return addr ? addr + Z7Sec_Get(db, sec, SD_ELEM) * idx : 0;
}
uint32_t Z7VM_Status(uint32_t db) { return db ? Z7Sec_Addr(db, Z7SEC_STATUS) : 0; }
uint32_t Z7VM_Header(uint32_t db) { return db ? Z7Sec_Addr(db, Z7SEC_HEADER) : 0; }
uint16_t Z7St_Flags(uint32_t db) {
    const uint32_t st = Z7VM_Status(db);
    return st ? Z7Mem_Get16(st + ST_FLAGS) : 0;
}
void Z7St_SetFlags(uint32_t db, uint16_t f) {
    if (const uint32_t st = Z7VM_Status(db)) Z7Mem_Put16(st + ST_FLAGS, f);
}

// ---- sizing -------------------------------------------------------------------------------------
uint32_t Z7VM_GetDBSize(uint32_t code, uint8_t *t) {
    if (t == nullptr || Z7VMCode_CheckCode(code) != 0) return 1;
    const Z7Img img = Z7Img_Of(code);
    if (Z7Img_CheckTables(img) != 0) return 1;
    // counts that cannot be held in a u16 field are refused
    for (uint32_t w : {0u, 6u, 12u, 18u, 24u, 29u, 30u, 36u, 40u, 42u})
        if (Z7Img_Sizing(img, w) == 0xFFFF) return 1;
    const uint16_t progs = Z7VMCode_GetNbProgAlloc(code);
    const uint32_t cs = Z7VMCode_GetCallStackAllocSize(code);
    const uint16_t inst = Z7VMCode_GetNbFBInstance(code), cfn = Z7VMCode_GetNbCustomFunc(code);
    if (progs == 0 || cs > 0xFFFF || inst == 0 || cfn == 0) return 1;
    const int32_t heap = Z7VMCode_GetHeapSize(code);
    if (heap > 0 && uint32_t(heap) > Z7MEM_SIZE) return 1;
    uint32_t strbuf = 0;
    const uint16_t strings = Z7VMCode_GetNbString(code, &strbuf);

    SetDesc(t, Z7SEC_STATUS, ST_SIZE, 1);
    SetDesc(t, Z7SEC_LOG, 1, 128);
    SetDesc(t, Z7SEC_EXEC, 1, 1024);
    SetDesc(t, Z7SEC_HEADER, 1, 0, HD_SIZE + (heap > 0 ? uint32_t(heap) : 0));
    SetDesc(t, Z7SEC_PROG, PG_SIZE, progs);
    SetDesc(t, Z7SEC_LOCK, 1, Z7VMCode_GetNbLockFlags(code));
    SetDesc(t, Z7SEC_D8, 1, Z7VMCode_GetNbData8(code));
    SetDesc(t, Z7SEC_D16, 2, Z7VMCode_GetNbData16(code));
    SetDesc(t, Z7SEC_D32, 4, Z7VMCode_GetNbData32(code));
    SetDesc(t, Z7SEC_D64, 8, Z7VMCode_GetNbData64(code));
    SetDesc(t, Z7SEC_TIME, 4, Z7VMCode_GetNbTime(code));
    SetDesc(t, Z7SEC_TIMERS, 8, Z7VMCode_GetNbActiveTime(code));
    SetDesc(t, Z7SEC_CLASS, 36, Z7VMFbl_GetNbClass(code));
    SetDesc(t, Z7SEC_INST, 20, inst);
    SetDesc(t, Z7SEC_CLASSDATA, 1, 0, Z7VMFbl_GetClassDataSize(code));
    SetDesc(t, Z7SEC_INSTDATA, 1, 0, Z7VMFbl_GetInstanceDataSize(code));
    SetDesc(t, Z7SEC_CFUNC, 24, cfn);
    SetDesc(t, Z7SEC_STRPTR, 4, strings);
    SetDesc(t, Z7SEC_STRBUF, 1, 0, strbuf);
    SetDesc(t, Z7SEC_RSC, 12, 128);
    SetDesc(t, Z7SEC_STEP, 12, Z7VMCode_GetNbStep(code));
    SetDesc(t, Z7SEC_TRANS, 4, Z7VMCode_GetNbTrans(code));
    SetDesc(t, Z7SEC_UNRES, 16, 16);
    SetDesc(t, Z7SEC_IOS, 1, 0, Z7Part_Ios_GetMemorySizing(Z7VMCode_GetIODef(code)));
    const uint32_t map = Z7VMMap_GetSizing(t, code);
    if (map != 0) return map;
    SetDesc(t, Z7SEC_XV, 4, Z7VMCode_GetNbXV(code));
    SetDesc(t, Z7SEC_BSMP, 960, 1);
    SetDesc(t, Z7SEC_TASK, 8, 8);
    SetDesc(t, Z7SEC_CSTACK, 4, cs);
    SetDesc(t, Z7SEC_MB, 1, 0, Z7Part_MB_GetMemorySizing(code));
    SetDesc(t, Z7SEC_ASI, 1, 0, Z7Part_VMAsi_GetSizing(code));
    SetDesc(t, Z7SEC_EVT, 64, 1024);
    SetDesc(t, Z7SEC_EAXCNX, 1080, Z7Part_EAX_GetNbCnx(code));
    SetDesc(t, Z7SEC_EAXVAR, 32, Z7Part_EAX_GetNbVar(code));
    SetDesc(t, Z7SEC_CT, 1, 0, Z7VMCode_GetCTSegAllocSize(code));
    const uint32_t can = Z7Part_VMCan_GetDBSize(code, t);
    if (can != 0) return can;
    SetDesc(t, Z7SEC_DDK, 1, 0, Z7Part_DDKC_GetSize(code));
    return Z7VM_GetTotalDBSize(t) == 0 ? 1 : 0;
}

uint32_t Z7VM_GetTotalDBSize(const uint8_t *t) {
    if (t == nullptr) return 0;
    uint64_t total = Z7_DESC_TABLE;
    for (uint32_t s = 0; s < Z7SEC_COUNT; s++) total += Round8(DescBytes(t + s * Z7_DESC_SIZE));
    return total > Z7MEM_SIZE / 2 ? 0 : uint32_t(total);
}

void Z7VM_BuildDBMainLinks(uint32_t db) {
    uint32_t addr = db + Z7_DESC_TABLE;
    for (uint32_t s = 0; s < Z7SEC_COUNT; s++) {
        Z7Mem_Put32(db + s * Z7_DESC_SIZE + SD_ADDR, addr);
        addr += Round8(Z7Sec_Bytes(db, s));
    }
}

uint32_t Z7VM_CreateDB(uint32_t code, uint32_t *db) {
    uint8_t table[Z7_DESC_TABLE] = {};
    if (db) *db = 0;
    const uint32_t rc = Z7VM_GetDBSize(code, table);
    if (rc != 0) return rc;
    const uint32_t size = Z7VM_GetTotalDBSize(table);
    const uint32_t block = size ? Z7Mem_Alloc(size) : 0;
    if (block == 0) return 1;
    std::memcpy(Z7Mem_Ptr(block, Z7_DESC_TABLE), table, Z7_DESC_TABLE);
    Z7VM_BuildDBMainLinks(block);
    if (db) *db = block;
    return 0;
}

// ---- build ------------------------------------------------------------------------------------
namespace {
uint32_t BuildSteps(uint32_t code, uint32_t db, uint32_t open_io, uint32_t open_ddk) {
    if (Z7VMCode_CheckCode(code) != 0 || Z7Img_CheckTables(Z7Img_Of(code)) != 0 || db == 0) return 1;
    uint32_t rc;
    // 2-4: resources, status, header
    Z7Sec_Set(db, Z7SEC_RSC, SD_BOUND, Z7Sec_Get(db, Z7SEC_RSC, SD_ALLOC));
    Z7Sec_Set(db, Z7SEC_RSC, SD_USED, Z7Sec_Get(db, Z7SEC_RSC, SD_ALLOC));
    Z7VMCode_InitiateStatus(code, db);
    const uint32_t st = Z7VM_Status(db), hd = Z7VM_Header(db);
    Z7Mem_Put16(st + ST_CSSIZE, Z7VMCode_GetCallStackSize(code));
    Z7Mem_Put8(st + ST_SEP1, ';');
    Z7Mem_Put8(st + ST_SEP2, '.');
    Z7Mem_Put32(hd + HD_MAGIC, Z7_DB_MAGIC);
    Z7Mem_Put32(hd + HD_CODE, code);
    Z7Mem_Put32(hd + HD_STAMP, Z7VMCode_GetFullBuildStamp(code));
    Z7Mem_Put32(hd + HD_SFCCRC, Z7VMCode_GetSfcCrc(code));
    Z7Mem_Put32(hd + HD_VARTYPES, Z7VMCode_GetVarTypeList(code));
    Z7Mem_Put32(hd + HD_PASSWORD, Z7VMCode_GetPassword(code));
    Z7Mem_Put32(hd + HD_CTUSED, Z7VMCode_GetCTSegUsedSize(code));
    const uint32_t def_table = Z7VMCode_GetDefStringTable(code);
    Z7Mem_Put32(hd + HD_DEFSTRTAB, def_table);
    Z7Mem_Put32(hd + HD_CURSTRTAB, Z7VMCode_GetStringTable(code, def_table));
    Z7Mem_Put32(hd + HD_EXECUTOR, Z7Fn_Register(reinterpret_cast<Z7Fn>(&Z7VMStf_Execute)));
    // 5: programs, heap, typed segments, strings
    if ((rc = Z7VMCode_SetProgramPointers(code, db)) != 0) return rc;
    if ((rc = Z7VMCode_AllocHeap(code, db, 0)) != 0) return rc;
    auto desc = [db](uint32_t sec) { return db + sec * Z7_DESC_SIZE; };
    if ((rc = Z7VMCode_GetData8Sizing(code, desc(Z7SEC_D8))) != 0) return rc;
    if ((rc = Z7VMCode_GetData16Sizing(code, desc(Z7SEC_D16))) != 0) return rc;
    if ((rc = Z7VMCode_GetData32Sizing(code, desc(Z7SEC_D32))) != 0) return rc;
    if ((rc = Z7VMCode_GetData64Sizing(code, desc(Z7SEC_D64))) != 0) return rc;
    if ((rc = Z7VMCode_GetTimeSizing(code, desc(Z7SEC_TIME))) != 0) return rc;
    if ((rc = Z7VMCode_GetStringSizing(code, desc(Z7SEC_STRPTR))) != 0) return rc;
    if ((rc = Z7VMCode_SetStringPointers(code, db)) != 0) return rc;
    // 6: programs active, initial values
    Z7VMPrg_ActivateAllPrograms(db);
    Z7VMCode_ApplyData8Init(code, db, 1);
    Z7VMCode_ApplyData16Init(code, db, 1);
    Z7VMCode_ApplyData32Init(code, db, 1);
    Z7VMCode_ApplyData64Init(code, db, 1);
    Z7VMCode_ApplyTimeInit(code, db, 1);
    Z7VMCode_ApplyStringInit(code, db, 1);
    Z7VMCode_ApplyCTSegInit(code, db, 0);
    // 7: map and blocks
    if ((rc = Z7VMMap_Build(db, code)) != 0) return rc;
    if ((rc = Z7VMFbl_Link(code, db)) != 0) return rc;
    if ((rc = Z7VMFbl_InitInstances(code, db, 1)) != 0) return rc;
    Z7Sec_Set(db, Z7SEC_INST, SD_USED, Z7VMCode_GetNbFBInstanceUsed(code));  // instances an on-line change keeps
    if ((rc = Z7VMFbl_InitCustomFunctions(code, db)) != 0) return rc;
    // 8: I/O layer and driver kit
    bool io_open = false, ddk_built = false;
    if (open_io) {
        if ((rc = Z7Part_Ios_Open(Z7VMCode_GetIODef(code), Z7Sec_Addr(db, Z7SEC_IOS), Z7Sec_Bytes(db, Z7SEC_IOS))) != 0)
            return rc;
        io_open = true;
    }
    if (open_ddk) {
        if ((rc = Z7Part_DDKC_Build(code, db)) != 0) {
            if (io_open) Z7Part_Ios_Close();
            return rc;
        }
        ddk_built = true;
    }
    auto fail = [&](uint32_t code_rc) {
        if (ddk_built) Z7Part_DDKC_Close(db);
        if (io_open) Z7Part_Ios_Close();
        return code_rc;
    };
    // 9-15
    if ((rc = Z7VMWarm_PrepareData(code, db)) != 0) return fail(rc);
    Z7VMTic_Init(db);
    if ((rc = Z7VMCode_GetXVSizing(code, desc(Z7SEC_XV))) != 0) return fail(rc);
    if ((rc = Z7VMCode_SetXVPointers(code, db)) != 0) return fail(rc);
    Z7Sec_Set(db, Z7SEC_XV, SD_BOUND, Z7Sec_Get(db, Z7SEC_XV, SD_ALLOC));
    Z7Sec_Set(db, Z7SEC_XV, SD_USED, Z7Sec_Get(db, Z7SEC_XV, SD_ALLOC));
    if ((rc = Z7VMCode_BuildTaskList(code, db)) != 0) return fail(rc);
    Z7Sec_Set(db, Z7SEC_CSTACK, SD_BOUND, 0);
    Z7Sec_Set(db, Z7SEC_CSTACK, SD_USED, 0);
    if ((rc = Z7Part_MB_Build(Z7VMCode_MBClientConfig(code), Z7Sec_Addr(db, Z7SEC_MB), Z7Sec_Bytes(db, Z7SEC_MB))) != 0)
        return fail(rc);
    if ((rc = Z7Part_MB_Link(db)) != 0) return fail(rc);
    if ((rc = Z7Part_VMAsi_Open(Z7VMCode_AsiConfig(code), Z7Sec_Addr(db, Z7SEC_ASI), db)) != 0) return fail(rc);
    if ((rc = Z7Part_VMCan_Build(code, db)) != 0) return fail(rc);
    Z7Sec_Set(db, Z7SEC_EVT, SD_USED, 0);
    if ((rc = Z7Part_EAX_Build(code, db)) != 0) return fail(rc);
    if ((rc = Z7Part_EAX_Link(db)) != 0) return fail(rc);
    return 0;
}

}  // namespace

uint32_t Z7VM_BuildEx(uint32_t code, uint32_t db, uint32_t open_io, uint32_t open_ddk) {
    const uint32_t rc = BuildSteps(code, db, open_io, open_ddk);
    if (rc != 0 && db != 0) {
        // a failed build leaves no heap behind (a malloc heap lives outside the database)
        const uint32_t hd = Z7VM_Header(db);
        if (const uint32_t heap = Z7Mem_Get32(hd + HD_HEAP)) Z7Heap_DeleteHeap(heap);
        Z7Mem_Put32(hd + HD_HEAP, 0);
    }
    return rc;
}

uint32_t Z7VM_Build(uint32_t code, uint32_t db) { return Z7VM_BuildEx(code, db, 1, 1); }

// ---- small operations ---------------------------------------------------------------------------
void Z7VM_SetPauseMode(uint32_t db, uint32_t pause) {
    const uint16_t f = Z7St_Flags(db);
    Z7St_SetFlags(db, pause ? uint16_t(f & ~Z7F_RUN) : uint16_t(f | Z7F_RUN));
}

uint32_t Z7VM_GetNbTask(uint32_t db) { return db ? Z7Sec_Get(db, Z7SEC_TASK, SD_USED) : 0; }

uint32_t Z7VM_GetTaskName(uint32_t db, uint32_t n) {
    if (n >= Z7VM_GetNbTask(db)) return 0;
    return Z7Mem_Get32(Z7Sec_Elem(db, Z7SEC_TASK, n));
}

uint32_t Z7VM_FindTask(uint32_t db, const char *name, uint32_t *number) {
    if (number) *number = 0;
    if (name == nullptr) return 1;
    const size_t n = std::strlen(name);
    const uint32_t code = Z7Mem_Get32(Z7VM_Header(db) + HD_CODE);
    const Z7Img img = Z7Img_Of(code);
    for (uint32_t t = 1; t < Z7VM_GetNbTask(db); t++) {
        const uint32_t a = Z7VM_GetTaskName(db, t);
        const int32_t len = a >= code ? img.TextLen(a - code) : -1;
        if (len == int32_t(n) && std::memcmp(Z7Mem_Ptr(a, uint32_t(n)), name, n) == 0) {
            if (number) *number = t;
            return 0;
        }
    }
    return 1;
}

uint32_t Z7VM_GetTriggerPtr(uint32_t db) { return Z7VM_Status(db) ? Z7VM_Status(db) + ST_PERIOD : 0; }

uint32_t Z7VM_RegisterCycleTime(uint32_t db, uint32_t elapsed) {
    const uint32_t st = Z7VM_Status(db);
    if (st == 0) return 0;
    if (elapsed > Z7Mem_Get32(st + ST_LONGEST)) Z7Mem_Put32(st + ST_LONGEST, elapsed);
    Z7Mem_Put32(st + ST_LAST, elapsed);
    const uint32_t period = Z7Mem_Get32(st + ST_PERIOD);
    if (period == 0) return 0;
    if (elapsed > period) {
        Z7Mem_Put32(st + ST_OVERRUNS, Z7Mem_Get32(st + ST_OVERRUNS) + 1);
        Z7VMLog_Push(db, Z7LOG_OVERRUN, 0, elapsed);
    }
    return elapsed < period ? period - elapsed : period - elapsed % period;
}
