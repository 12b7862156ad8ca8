// Program execution within a cycle (all programs, or the list of a task),
// the one-shot execution buffer, call-stack slices, breakpoints and the VM log.
#include <algorithm>
#include <array>
#include <cstring>

#include "core/image/bytes.h"
#include "iec/vm/z7parts.h"
#include "iec/vm/z7vm.h"

namespace {
constexpr uint32_t kExecMax = 1024;
constexpr uint32_t kLogMax = 16;
constexpr uint32_t kBreakpoints = 16;
enum : uint16_t { BP_FREE = 0, BP_BREAK = 1, BP_ONESHOT = 2, BP_TRACE = 3 };

uint32_t Prog(uint32_t db, uint32_t k) { return Z7Sec_Elem(db, Z7SEC_PROG, k); }
uint32_t NbProgs(uint32_t db) { return Z7Sec_Get(db, Z7SEC_PROG, SD_ALLOC); }
bool Running(uint32_t db) { return (Z7St_Flags(db) & (Z7F_RUN | Z7F_ONECYCLE)) != 0; }
bool Runnable(uint32_t p) {
    const uint16_t s = Z7Mem_Get16(p + PG_STATE);
    return Z7Mem_Get32(p + PG_CODE) != 0 && (s & (Z7P_ACTIVE | Z7P_CHILD)) && !(s & Z7P_SUSPENDED);
}
uint32_t Run(uint32_t db, uint32_t k) {
    const uint32_t p = Prog(db, k);
    return Z7VMTic_RunPtr(db, Z7VM_Status(db), Z7Mem_Get32(p + PG_CODE), Z7Mem_Get32(p + PG_LEN), k);
}
void EndOfCycle(uint32_t db) {
    const uint32_t st = Z7VM_Status(db);
    Z7St_SetFlags(db, uint16_t(Z7St_Flags(db) & ~Z7F_ONECYCLE));
    Z7Mem_Put32(st + ST_OPTIONS, Z7Mem_Get32(st + ST_OPTIONS) & ~Z7O_CHANGED);
}
void CountCycle(uint32_t db) {
    const uint32_t st = Z7VM_Status(db);
    Z7Mem_Put32(st + ST_CYCLES, Z7Mem_Get32(st + ST_CYCLES) + 1);
}
uint16_t Depth(uint32_t db) { return Z7Sec_Get(db, Z7SEC_CSTACK, SD_USED); }
void SetDepth(uint32_t db, uint16_t d) { Z7Sec_Set(db, Z7SEC_CSTACK, SD_USED, d); }

uint32_t Bp(uint32_t db, uint32_t i) { return Z7VM_Status(db) + ST_BREAKPOINTS + 8 * i; }
void BpFlag(uint32_t db) {
    bool any = false;
    for (uint32_t i = 0; i < kBreakpoints; i++) any |= Z7Mem_Get16(Bp(db, i) + 4) != BP_FREE;
    const uint16_t f = Z7St_Flags(db);
    Z7St_SetFlags(db, any ? uint16_t(f | Z7F_BREAKPOINTS) : uint16_t(f & ~Z7F_BREAKPOINTS));
}

// The program of a task list that holds the break: a hold inside a
// sub-program gives the call stack back to the program that called it (its
// frames saved in that program's slice, the held sub-program on top), so
// the list resumes at that caller; otherwise at the held program itself.
uint16_t HeldCaller(uint32_t db, uint32_t list, uint16_t held) {
    const uint32_t cs = Z7Sec_Addr(db, Z7SEC_CSTACK);
    for (uint32_t p = list; Z7Mem_Get16(p) != 0; p += 2) {
        const uint16_t k = Z7Mem_Get16(p);
        const uint32_t e = Prog(db, k);
        const uint16_t saved = e ? Z7Mem_Get16(e + PG_SAVED) : 0, base = e ? Z7Mem_Get16(e + PG_BASE) : 0;
        if (saved != 0 && base != 0 && Z7Mem_Get16(cs + 4u * (base + saved - 1u)) == held) return k;
    }
    return held;
}

std::array<uint16_t, 16> sys_queue{};
uint32_t sys_count = 0;
}  // namespace

void Z7VMPrg_ActivateAllPrograms(uint32_t db) {
    for (uint32_t k = 1; k < NbProgs(db); k++) {
        const uint32_t p = Prog(db, k);
        if (Z7Mem_Get32(p + PG_CODE) == 0) continue;
        const uint16_t kind = Z7Mem_Get16(p + PG_KIND);
        Z7Mem_Put16(p + PG_STATE, kind == 1 ? Z7P_CHILD : (kind == 2 || kind == 3) ? 0 : Z7P_ACTIVE);
    }
}

void Z7VMPrg_ActivateNewPrograms(uint32_t db, uint32_t) {
    for (uint32_t k = 1; k < NbProgs(db); k++) {
        const uint32_t p = Prog(db, k);
        if (Z7Mem_Get32(p + PG_CODE) == 0) continue;
        const uint16_t kind = Z7Mem_Get16(p + PG_KIND);
        if (kind == 3)
            Z7Mem_Put16(p + PG_STATE, 0);
        else if (kind == 0 || kind > 3)
            Z7Mem_Put16(p + PG_STATE, Z7P_ACTIVE);
    }
}

void Z7VMPrg_Execute(uint32_t db) {
    // the program table and the status record are read in place (checked once)
    const uint32_t n = NbProgs(db), st = Z7VM_Status(db);
    const uint8_t *tab = Z7Mem_Ptr(Z7Sec_Addr(db, Z7SEC_PROG), n * PG_SIZE);
    const uint8_t *status = Z7Mem_Ptr(st, ST_SIZE);
    if (tab == nullptr || status == nullptr) return;
    auto running = [status] { return (LE_Get16(status + ST_FLAGS) & (Z7F_RUN | Z7F_ONECYCLE)) != 0; };
    if (running()) {
        for (uint32_t k = 1; k < n && running(); k++) {
            const uint8_t *p = tab + k * PG_SIZE;
            const uint16_t state = LE_Get16(p + PG_STATE);
            const uint32_t code = LE_Get32(p + PG_CODE);
            if (code == 0 || !(state & (Z7P_ACTIVE | Z7P_CHILD)) || (state & Z7P_SUSPENDED)) continue;
            if (Z7VMTic_RunPtr(db, st, code, LE_Get32(p + PG_LEN), k) == 0) break;
        }
        CountCycle(db);
    }
    EndOfCycle(db);
    Z7VMPrg_ProcessExecBuffer(db);
}

void Z7VMPrg_ProcessExecBuffer(uint32_t db) {
    const uint32_t st = Z7VM_Status(db);
    const uint16_t len = Z7Mem_Get16(st + ST_EXECLEN);
    if (len == 0) return;
    if (len + 2u <= kExecMax) Z7VMTic_RunPtr(db, st, Z7Sec_Addr(db, Z7SEC_EXEC), len + 2u, 0);
    Z7Mem_Put16(st + ST_EXECLEN, 0);
}

void Z7VMPrg_Task(uint32_t db, uint32_t task, uint32_t cyclic) {
    const uint32_t st = Z7VM_Status(db);
    if (cyclic && !Running(db)) {
        EndOfCycle(db);
        return;
    }
    const uint32_t entry = Z7Sec_Elem(db, Z7SEC_TASK, task);
    uint32_t list = entry ? Z7Mem_Get32(entry + 4) : 0;
    if (list == 0) return;
    const uint16_t held = Z7Mem_Get16(st + ST_BRK_PROG);
    if (held != 0) {
        if (Z7Mem_Get32(st + ST_OPTIONS) & Z7O_ABANDON) {
            // the held frames saved in a slice go too: otherwise the program
            // that called the held sub-program would resume behind the call
            // instead of starting over
            const uint32_t holder = Prog(db, HeldCaller(db, list, held));
            if (holder != 0) Z7Mem_Put16(holder + PG_SAVED, 0);
            SetDepth(db, 0);
            Z7Mem_Put32(Prog(db, held) + PG_HELD, 0);
            Z7Mem_Put16(st + ST_BRK_PROG, 0);
            Z7Mem_Put16(st + ST_BRK_POS, 0);
        } else {
            const uint16_t resume =
                Depth(db) > 0 ? Z7Mem_Get16(Z7Sec_Addr(db, Z7SEC_CSTACK)) : HeldCaller(db, list, held);
            uint32_t p = list;
            while (Z7Mem_Get16(p) != 0 && Z7Mem_Get16(p) != resume) p += 2;
            list = p;  // not in this list: nothing runs
        }
    }
    for (uint32_t p = list; Z7Mem_Get16(p) != 0; p += 2) {
        if (Z7Mem_Get16(st + ST_BRK_PROG) == 0) SetDepth(db, 0);
        if (cyclic && !Running(db)) {
            if (Z7Mem_Get16(st + ST_BRK_PROG) == 0) CountCycle(db);
            EndOfCycle(db);
            return;
        }
        const uint16_t k = Z7Mem_Get16(p);
        const uint32_t e = Prog(db, k);
        if (e != 0 && Runnable(e) && Run(db, k) == 0) break;
    }
    if (cyclic) {
        if (Z7Mem_Get16(st + ST_BRK_PROG) == 0) CountCycle(db);
        EndOfCycle(db);
    }
}

uint32_t Z7VMPrg_Call(uint32_t db, uint32_t prog) {
    if (prog == 0 || prog >= NbProgs(db)) return 0;
    const uint32_t p = Prog(db, prog);
    const uint16_t s = Z7Mem_Get16(p + PG_STATE);
    if (s & Z7P_CALLED) {
        Z7VMLog_Push(db, Z7LOG_RECURSION, uint16_t(prog), 0);
        return 0;
    }
    Z7Mem_Put16(p + PG_STATE, uint16_t(s | Z7P_CALLED));
    const uint32_t rc = Running(db) ? Run(db, prog) : 1;
    Z7Mem_Put16(p + PG_STATE, uint16_t(Z7Mem_Get16(p + PG_STATE) & ~Z7P_CALLED));
    return rc;
}

uint32_t Z7VMPrg_HasBreapointOrStep(uint32_t db) {
    if (Z7St_Flags(db) & (Z7F_BREAKPOINTS | Z7F_STEP)) return 1;
    for (uint32_t k = 1; k < NbProgs(db); k++)
        if (Z7Mem_Get32(Prog(db, k) + PG_HELD) != 0) return 1;
    return 0;
}

void Z7VMPrg_SetBreakpoint(uint32_t db, uint16_t prog, uint16_t pos, uint16_t kind) {
    if (Z7VM_Status(db) == 0) return;
    if (kind == BP_FREE && prog == 0) {
        for (uint32_t i = 0; i < kBreakpoints; i++) std::memset(Z7Mem_Ptr(Bp(db, i), 8), 0, 8);
        BpFlag(db);
        return;
    }
    uint32_t slot = kBreakpoints;
    if (kind != BP_ONESHOT)
        for (uint32_t i = 0; i < kBreakpoints && slot == kBreakpoints; i++)
            if (Z7Mem_Get16(Bp(db, i) + 4) != BP_FREE && Z7Mem_Get16(Bp(db, i)) == prog &&
                Z7Mem_Get16(Bp(db, i) + 2) == pos)
                slot = i;
    if (slot == kBreakpoints && kind != BP_FREE)
        for (uint32_t i = 0; i < kBreakpoints && slot == kBreakpoints; i++)
            if (Z7Mem_Get16(Bp(db, i) + 4) == BP_FREE) slot = i;
    if (slot < kBreakpoints) {
        const uint32_t e = Bp(db, slot);
        Z7Mem_Put16(e, kind == BP_FREE ? 0 : prog);
        Z7Mem_Put16(e + 2, kind == BP_FREE ? 0 : pos);
        Z7Mem_Put16(e + 4, kind);
    }
    BpFlag(db);
}

uint32_t Z7VMPrg_IsBreakpoint(uint32_t db, uint16_t prog, uint16_t pos, uint16_t gpos) {
    if (!(Z7St_Flags(db) & Z7F_BREAKPOINTS)) return 0;
    for (uint32_t i = 0; i < kBreakpoints; i++) {
        const uint32_t e = Bp(db, i);
        const uint16_t ep = Z7Mem_Get16(e), epos = Z7Mem_Get16(e + 2), kind = Z7Mem_Get16(e + 4);
        const bool global = ep == 0xFFFF && epos == gpos;
        if (kind == BP_ONESHOT && ((ep == prog && (epos == pos || epos == 0)) || global)) {
            std::memset(Z7Mem_Ptr(e, 8), 0, 8);
            BpFlag(db);
            return 1;
        }
        if (kind == BP_TRACE && ((ep == prog && epos == pos) || global))
            Z7VMLog_Push(db, Z7LOG_TRACE, 0, uint32_t(ep) | uint32_t(epos) << 16);
        if (kind == BP_BREAK && ((ep == prog && epos == pos) || global)) return 1;
    }
    return 0;
}

void Z7VMPrg_SaveCallStack(uint32_t db, uint32_t prog) {
    const uint32_t p = Prog(db, prog);
    const uint16_t base = Z7Mem_Get16(p + PG_BASE);
    const uint32_t n = Depth(db) + 1u;
    const uint16_t slice = Z7Mem_Get16(Z7VM_Status(db) + ST_CSSIZE);
    const uint32_t cs = Z7Sec_Addr(db, Z7SEC_CSTACK);
    // the frames must fit the program's own slice
    if (p == 0 || base == 0 || n > slice || base + n > Z7Sec_Get(db, Z7SEC_CSTACK, SD_ALLOC)) return;
    uint8_t *dst = Z7Mem_Ptr(cs + 4u * base, 4 * n);
    const uint8_t *src = Z7Mem_Ptr(cs, 4 * n);
    if (dst == nullptr || src == nullptr) return;
    std::memmove(dst, src, 4 * n);
    Z7Mem_Put16(p + PG_SAVED, uint16_t(n));
}

void Z7VMPrg_RestoreCallStack(uint32_t db, uint32_t prog) {
    const uint32_t p = Prog(db, prog);
    if (p == 0 || Depth(db) != 0) return;
    const uint16_t base = Z7Mem_Get16(p + PG_BASE), n = Z7Mem_Get16(p + PG_SAVED);
    const uint16_t slice = Z7Mem_Get16(Z7VM_Status(db) + ST_CSSIZE);
    const uint32_t cs = Z7Sec_Addr(db, Z7SEC_CSTACK);
    if (base == 0 || n == 0 || n > slice || base + n > Z7Sec_Get(db, Z7SEC_CSTACK, SD_ALLOC)) return;
    std::memmove(Z7Mem_Ptr(cs, 4u * n), Z7Mem_Ptr(cs + 4u * base, 4u * n), 4u * n);
    SetDepth(db, uint16_t(n - 1));
    Z7Mem_Put16(p + PG_SAVED, 0);
}

void Z7VMLog_Push(uint32_t db, uint16_t code, uint16_t arg, uint32_t arg32) {
    const uint32_t st = Z7VM_Status(db);
    const uint16_t n = Z7Mem_Get16(st + ST_LOGCOUNT);
    if (st == 0 || n >= kLogMax) return;
    const uint32_t e = Z7Sec_Addr(db, Z7SEC_LOG) + 8u * n;
    Z7Mem_Put16(e, code);
    Z7Mem_Put16(e + 2, arg);
    Z7Mem_Put32(e + 4, arg32);
    Z7Mem_Put16(st + ST_LOGCOUNT, uint16_t(n + 1));
    Z7St_SetFlags(db, uint16_t(Z7St_Flags(db) | Z7F_LOG));
}

uint32_t Z7VMLog_Pop(uint32_t db, uint16_t *code, uint16_t *arg, uint32_t *arg32) {
    const uint32_t st = Z7VM_Status(db);
    const uint16_t n = std::min<uint16_t>(Z7Mem_Get16(st + ST_LOGCOUNT), kLogMax);
    const uint32_t log = Z7Sec_Addr(db, Z7SEC_LOG);
    if (code) *code = 0;
    if (arg) *arg = 0;
    if (arg32) *arg32 = 0;
    if (st == 0 || n == 0) return 0;
    if (code) *code = Z7Mem_Get16(log);
    if (arg) *arg = Z7Mem_Get16(log + 2);
    if (arg32) *arg32 = Z7Mem_Get32(log + 4);
    std::memmove(Z7Mem_Ptr(log, 8 * kLogMax), Z7Mem_Ptr(log + 8, 8 * (n - 1u)), 8 * (n - 1u));
    Z7Mem_Put16(st + ST_LOGCOUNT, uint16_t(n - 1));
    if (n == 1) Z7St_SetFlags(db, uint16_t(Z7St_Flags(db) & ~Z7F_LOG));
    return 1;
}

void Z7VMLog_RegisterUnresolved(uint32_t db, const char *name) {
    const uint32_t st = Z7VM_Status(db);
    const uint16_t n = Z7Mem_Get16(st + ST_UNRESCOUNT);
    uint8_t *e = Z7Mem_Ptr(Z7Sec_Elem(db, Z7SEC_UNRES, n), 16);
    if (st == 0 || name == nullptr || n >= 16 || e == nullptr) return;
    std::memset(e, 0, 16);
    const size_t len = std::strlen(name);
    if (len < 16) {
        std::memcpy(e, name, len);
    } else {
        std::memcpy(e, name, 13);
        std::memcpy(e + 13, "..", 2);
    }
    Z7Mem_Put16(st + ST_UNRESCOUNT, uint16_t(n + 1));
}

uint32_t Z7VMLog_GetUnresolved(uint32_t db, uint32_t index) {
    if (index >= Z7Mem_Get16(Z7VM_Status(db) + ST_UNRESCOUNT)) return 0;
    return Z7Sec_Elem(db, Z7SEC_UNRES, index);
}

void Z7VMLog_PushSys(uint16_t code) {
    if (sys_count < sys_queue.size()) sys_queue[sys_count++] = code;
}

uint32_t Z7VMLog_PopSys(uint16_t *code) {
    if (code) *code = 0;
    if (sys_count == 0) return 0;
    if (code) *code = sys_queue[0];
    std::memmove(sys_queue.data(), sys_queue.data() + 1, (sys_count - 1) * sizeof(uint16_t));
    sys_count--;
    return 1;
}
