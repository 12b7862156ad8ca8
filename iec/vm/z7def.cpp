// Runtime entry points (cold start, stop, cycle) and the VM cycle, task runs,
// the exchange with the I/O world and the shutdown.
#include <cstdarg>
#include <cstdio>

#include "iec/vm/z7heap.h"
#include "iec/vm/z7hooks.h"
#include "iec/vm/z7parts.h"
#include "iec/vm/z7vm.h"

Z7Services z7_services;

void Z7Part_Trace(const char *format, ...) {
    if (z7_services.trace == nullptr) return;
    char text[513];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    z7_services.trace(text);
}

namespace {
constexpr uint32_t kDay = 86400000u;

uint32_t Options(uint32_t db) { return Z7Mem_Get32(Z7VM_Status(db) + ST_OPTIONS); }

// Stamp stored for a cycle start: a start at 0 is stored as one day (the same
// instant), so that 0 keeps meaning "no cycle yet".
uint32_t StampOf(uint32_t now) { return now == 0 ? kDay : now; }

// Stop request taken: run cleared, stopped set.
void Stop(uint32_t db) { Z7St_SetFlags(db, uint16_t((Z7St_Flags(db) & ~Z7F_RUN) | Z7F_STOPPED)); }

void OpenServices(uint32_t db, void *evs) {
    if (Z7Part_VM_OpenModbus(db) != 0) Z7Part_Trace("Cannot open MODBUS client connection");
    if (Z7Part_VM_OpenExtData(db) != 0) Z7Part_Trace("Cannot open connections to external variables");
    if (evs != nullptr && Z7Part_EA_Open(db, evs) != 0) Z7Part_Trace("Cannot produce all public variables");
}
}  // namespace

uint32_t Z7VM_Elapsed(uint32_t stamp, uint32_t now) {
    // The tick 0 is stamped as one day (StampOf): reached from a stamp high
    // in the 2^32 range, it is the tick's wrap, not a day later.
    if (now == kDay && stamp > kDay) return 0u - stamp;
    if (now < kDay && stamp <= kDay) {
        if (stamp == kDay) stamp = 0;
        return (kDay - stamp + now) % kDay;
    }
    return now - stamp;  // a clock that wraps at 2^32 ms
}

uint32_t Z7Def_ColdStart(uint32_t code, uint32_t db, const char *retain_path, void *evs, uint8_t load_retains,
                         uint8_t pause, const char *evarg) {
    if (code == 0 || db == 0) return 1;
    const uint32_t rc = Z7VM_Build(code, db);
    if (rc != 0) return rc;
    if (pause) Z7VM_SetPauseMode(db, 1);
    Z7VM_PrepareRetains(db, retain_path);
    if (load_retains) {
        Z7VM_LoadRetains(db, retain_path);
        const uint32_t st = Z7VM_Status(db);
        Z7Mem_Put32(st + ST_OPTIONS, Z7Mem_Get32(st + ST_OPTIONS) | Z7O_RETAINS);
    }
    OpenServices(db, evs);
    Z7Part_Evs_OnAppStart(evs, evarg);
    return 0;
}

uint32_t Z7Def_HotStart(uint32_t code, uint32_t db, const char *retain_path, void *evs, uint8_t pause,
                        const char *evarg, uint32_t now) {
    if (code == 0 || db == 0) return 1;
    uint32_t rc = Z7VM_CanHOTStart(code, db);
    if (rc == 0) rc = Z7VM_BuildHOT(code, db, now);
    if (rc != 0) return rc;
    Z7VM_PrepareRetains(db, retain_path);
    if (pause) Z7VM_SetPauseMode(db, 1);
    OpenServices(db, evs);
    Z7Part_Evs_OnAppStart(evs, evarg);
    return 0;
}

namespace {
// A change or its undo: the services closed around the rebuild and opened
// again after it (left closed when it fails).
uint32_t ChangeTo(uint32_t code, uint32_t db, void *evs, const char *evarg, uint32_t now,
                  uint32_t (*rebuild)(uint32_t, uint32_t, uint32_t)) {
    if (code == 0 || db == 0) return 1;
    Z7Part_VM_CloseModbus(db);
    Z7Part_VM_CloseExtData(db);
    const uint32_t st = Z7VM_Status(db);
    Z7Mem_Put32(st + ST_OPTIONS, Z7Mem_Get32(st + ST_OPTIONS) | Z7O_CHANGED);
    const uint32_t rc = rebuild(code, db, now);
    if (rc != 0) return rc;
    Z7Mem_Put32(st + ST_OPTIONS, Z7Mem_Get32(st + ST_OPTIONS) | Z7O_CHANGED);
    OpenServices(db, evs);
    if (evs != nullptr && Z7VM_Hooks.on_app_change) Z7VM_Hooks.on_app_change(evs, evarg);
    return 0;
}
}  // namespace

uint32_t Z7Def_Change(uint32_t code, uint32_t db, void *evs, const char *evarg, uint32_t now) {
    return ChangeTo(code, db, evs, evarg, now, Z7VM_BuildHOT);
}

uint32_t Z7Def_UndoChange(uint32_t code, uint32_t db, void *evs, const char *evarg, uint32_t now) {
    return ChangeTo(code, db, evs, evarg, now, Z7VM_UndoHOTChange);
}

uint32_t Z7Def_Stop(uint32_t db, void *evs, const char *retain_path, const char *evarg) {
    if (db == 0) return 1;
    if (evs != nullptr) {
        Z7Part_Evs_OnAppStop(evs, evarg);
        Z7Part_EA_Close(db, evs);
    }
    Z7Part_VM_CloseModbus(db);
    Z7Part_VM_CloseExtData(db);
    Z7VM_ShutDown(db, retain_path);
    return 0;
}

void Z7Def_Cycle(uint32_t db, uint32_t now, void *evs) {
    if (db == 0) return;
    const uint16_t f = Z7St_Flags(db);
    if (!(f & (Z7F_STOPPED | Z7F_STOPREQ))) Z7Part_VM_UpdateExtData(db);
    Z7VM_FullIOExchangeEx(db, now);
    const uint16_t g = Z7St_Flags(db);
    if (!(g & Z7F_STOPPED)) Z7Part_VM_ActivateModbus(db);
    if (!(g & (Z7F_STOPPED | Z7F_STOPREQ)) && !((g & Z7F_STEP) && (Options(db) & Z7O_NOIOSTEP)))
        Z7Part_VM_ExchangeModbusData(db);
    Z7VM_Cycle(db, now);
    Z7VMBsmp_Activate(db);
    if (evs != nullptr) {
        Z7Part_EA_ManageChangeEvents(db, evs);
        Z7Part_Evs_Activate(evs, now);
    }
}

uint32_t Z7VM_Cycle(uint32_t db, uint32_t now) {
    const uint32_t st = Z7VM_Status(db);
    if (st == 0) return 1;
    const uint16_t f = Z7St_Flags(db);
    if (f & Z7F_STOPPED) return 1;
    if (f & Z7F_STOPREQ) {
        Stop(db);
        return 1;
    }
    const uint32_t stamp = Z7Mem_Get32(st + ST_STAMP);
    if (stamp == 0) {
        Z7Mem_Put32(st + ST_STAMP, StampOf(now));
        Z7VMTmr_UpdateTimers(db);
        uint32_t t;
        if (Z7VM_FindTask(db, "@@B", &t) == 0) Z7VM_PerformTask(db, t, now, 0);
    } else {
        const uint32_t ms = Z7Mem_Get32(st + ST_MILLIS) + Z7VM_Elapsed(stamp, now);
        Z7Mem_Put32(st + ST_SECONDS, Z7Mem_Get32(st + ST_SECONDS) + ms / 1000);
        Z7Mem_Put32(st + ST_MILLIS, ms % 1000);
        Z7Mem_Put32(st + ST_STAMP, StampOf(now));
        Z7VMTmr_UpdateTimers(db);
    }
    if (Z7VM_GetNbTask(db) > 0) {
        Z7VMPrg_Task(db, 0, 1);
        Z7VMPrg_ProcessExecBuffer(db);
    } else {
        Z7VMPrg_Execute(db);
    }
    const uint32_t heap = Z7Mem_Get32(Z7VM_Header(db) + HD_HEAP);
    if (heap != 0) Z7Heap_Compact(heap, 32);
    return 0;
}

uint32_t Z7VM_FullIOExchangeEx(uint32_t db, uint32_t) {
    const uint16_t f = Z7St_Flags(db);
    if (f & Z7F_STOPPED) return 1;
    if ((f & Z7F_STEP) && (Options(db) & Z7O_NOIOSTEP)) return 0;
    Z7Part_VMCan_Exchange(db);
    Z7Part_DDKC_Exchange(db);
    return Z7VM_FullIOExchange(db);
}

uint32_t Z7VM_FullIOExchange(uint32_t db) {
    if (Z7St_Flags(db) & Z7F_STOPREQ) return 0;
    Z7Part_VMAsi_Exchange(db);
    const uint32_t rc = Z7Part_Ios_Exchange(db);
    Z7VMFbl_KeepAlive(db);
    Z7VMWarm_CycleExchange(db);
    return rc;
}

uint32_t Z7VM_PerformTask(uint32_t db, uint32_t task, uint32_t now, uint32_t update_timers) {
    const uint16_t f = Z7St_Flags(db);
    if (task >= Z7VM_GetNbTask(db) || (f & Z7F_STOPPED)) return 1;
    if (f & Z7F_STOPREQ) {
        Stop(db);
        return 1;
    }
    if (now != 0) Z7Mem_Put32(Z7VM_Status(db) + ST_STAMP, now);
    if (update_timers) Z7VMTmr_UpdateTimers(db);
    Z7VMPrg_Task(db, task, 0);
    return 0;
}

void Z7VM_ShutDown(uint32_t db, const char *retain_path) {
    if (db == 0) return;
    uint32_t t;
    if (Z7VM_FindTask(db, "@@E", &t) == 0) {
        Z7VM_PerformTask(db, t, Z7Mem_Get32(Z7VM_Status(db) + ST_STAMP), 0);
        Z7VM_FullIOExchange(db);
    }
    Z7VMTic_Exit(db);
    Z7VMWarm_ShutDown(db, retain_path);
    Z7VMFbl_ShutDown(db);
    Z7Part_VMAsi_Close(db);
    Z7Part_VMCan_Close(db);
    Z7Part_DDKC_Close(db);
    Z7Part_Ios_Close();
    Z7VMRsc_FreeAll(db);
    const uint32_t hd = Z7VM_Header(db);
    const uint32_t heap = Z7Mem_Get32(hd + HD_HEAP);
    if (heap != 0) {
        Z7Heap_DeleteHeap(heap);
        Z7Mem_Put32(hd + HD_HEAP, 0);
    }
}

// Driver-kit links first, then the external block library; closed the other
// way round. The handle is the library's (0: none loaded).
uint32_t Z7VM_OpenDynaLinks() {
    Z7Part_DDKC_OpenLinks();
    return Z7Bdll_OpenDynaLinks();
}

void Z7VM_CloseDynaLinks(uint32_t handle) {
    if (handle != 0) Z7Bdll_CloseDynaLinks();
    Z7Part_DDKC_CloseLinks();
}
