// Bytecode interpreter: one flat dispatch loop over the program's u16 words.
//
// Every section the code addresses is taken once per run as a host pointer
// and an element count; every index operand is checked against its section
// (a bad static index is fatal log 8, a computed one fatal log 32), and the
// instruction pointer, operand words and every jump, call and return target
// stay inside the current program's code (else fatal log 8).
#include <algorithm>
#include <cmath>
#include <cstring>

#include "iec/vm/z7cnv.h"
#include "iec/vm/z7interp.h"
#include "iec/vm/z7parts.h"
#include "iec/vm/z7str.h"
#include "iec/vm/z7vm.h"

namespace {
constexpr uint32_t kNone = 0xFFFFFFFFu;
constexpr uint32_t kMaxOp = 569;
enum : uint16_t { LOG_UNDEF = 8, LOG_DIV32 = 12, LOG_FN = 17, LOG_DIV64 = 18, LOG_DIV8 = 21, LOG_DIV16 = 22,
                  LOG_BOUNDS = 32, LOG_STACK = 38 };
enum : uint8_t { LK8 = 0x01, LK16 = 0x02, LK32 = 0x04, LK64 = 0x08, LKT = 0x10, LKS = 0x20, LKXV = 0x80 };

struct Sec {
    uint8_t *p = nullptr;
    uint32_t n = 0;  // element count (bytes for the CT segment)
    uint32_t addr = 0;
};
Sec GetSec(uint32_t db, uint32_t s, uint32_t esize) {
    Sec r;
    const uint32_t n = esize == 0 ? Z7Sec_Bytes(db, s) : Z7Sec_Get(db, s, SD_ALLOC);
    const uint32_t bytes = esize == 0 ? n : n * esize;
    r.addr = Z7Sec_Addr(db, s);
    r.p = bytes ? Z7Mem_Ptr(r.addr, bytes) : nullptr;
    r.n = r.p ? n : 0;
    return r;
}

template <typename T> inline T Ld(const uint8_t *p) { T v; std::memcpy(&v, p, sizeof v); return v; }
template <typename T> inline void St(uint8_t *p, T v) { std::memcpy(p, &v, sizeof v); }

uint32_t StepAdvance(uint8_t *step, uint32_t now) {
    uint32_t elapsed = Ld<uint32_t>(step), stamp = Ld<uint32_t>(step + 4);
    if (stamp != now) {
        elapsed = Z7VMTmr_Advance(elapsed, stamp, now);
        St<uint32_t>(step, elapsed);
        St<uint32_t>(step + 4, now);
    }
    return elapsed;
}

// Operand words of each opcode (fixed part); 0xFF: undefined.
struct OpTable {
    uint8_t n[kMaxOp + 1];
    constexpr OpTable() : n{} {
        for (auto &x : n) x = 0xFF;
        auto set = [this](std::initializer_list<int> ops, uint8_t c) { for (int o : ops) n[o] = c; };
        // control
        set({68, 234, 506, 564, 526, 534, 257, 258, 259, 525, 554}, 0);
        set({67, 528, 423, 507, 565, 542, 508, 546}, 1);
        set({65, 66, 529, 530, 421, 260, 543}, 2);
        set({544, 422, 527}, 3);
        set({265, 406, 266, 407, 269, 270, 273, 274, 318, 319, 281, 282, 410, 411, 454, 455}, 1);
        // arithmetic
        set({377, 376, 349, 348, 1, 110, 2, 111, 289, 288, 321, 320, 3, 112}, 2);
        set({383, 382, 385, 384, 379, 484, 378, 488, 381, 380, 485, 489, 355, 354, 357, 356, 351, 492, 350, 496,
             353, 352, 493, 497, 8, 117, 12, 120, 4, 500, 113, 504, 6, 115, 501, 505, 9, 118, 13, 121, 5, 114, 7,
             116, 295, 294, 297, 296, 291, 558, 290, 562, 293, 292, 559, 563, 327, 326, 329, 328, 323, 322, 325,
             324, 10, 283, 14, 284},
            3);
        // comparisons and logic
        set({389, 482, 388, 486, 361, 360, 490, 494, 19, 126, 498, 502, 20, 127, 301, 300, 556, 560, 333, 332, 21,
             129, 22, 128, 393, 483, 392, 487, 365, 364, 491, 495, 27, 134, 499, 503, 28, 135, 305, 304, 557, 561,
             337, 336, 29, 137, 30, 136, 35, 395, 141, 394, 367, 366, 31, 138, 32, 139, 307, 306, 339, 338, 33,
             142, 34, 140, 40, 397, 146, 396, 369, 368, 36, 143, 37, 144, 309, 308, 341, 340, 38, 147, 39, 145,
             41, 148, 42, 149, 43, 150, 509, 517, 510, 518, 511, 519, 513, 521, 514, 522, 515, 523},
            3);
        // moves and elements
        set({44, 399, 151, 398, 371, 370, 45, 46, 152, 153, 311, 343, 310, 342, 47, 155, 48, 154}, 2);
        set({55, 401, 161, 400, 373, 372, 56, 57, 162, 163, 313, 345, 312, 344, 58, 165, 59, 164, 403, 402, 375,
             374, 61, 167, 315, 314, 63, 256, 64, 169, 60, 166, 62, 168, 347, 346},
            3);
        // constants
        set({404, 405, 267, 268, 408, 409}, 2);
        set({271, 272, 279, 280}, 3);
        set({316, 317}, 5);
        set({261, 263, 262, 264}, 1);
        set({197, 204, 196, 203}, 3);
        set({205, 207}, 4);
        // external variables
        for (int o = 424; o <= 435; o++) n[o] = 2;
        for (int o = 442; o <= 453; o++) n[o] = 2;
        for (int o = 456; o <= 479; o++) n[o] = 3;
        set({436, 437}, 2);
        set({438, 440}, 3);
        set({439}, 5);
        set({441}, 2);
        // calls
        set({285, 286, 287, 535}, 2);
        set({536, 537}, 1);
        set({552}, 4);
        set({553}, 2);
        // SFC and program control
        set({412}, 4);
        set({413}, 3);
        set({417}, 3);
        set({107, 547, 548, 550, 551, 208, 209, 540, 541, 545}, 2);
        set({414, 415, 416}, 2);
        set({418}, 3);
        set({419, 549, 420}, 1);
        set({187, 188, 189, 190, 546}, 1);
        set({193, 200}, 2);
        // timers, CT segment, status information, sampling
        set({275, 276, 277, 278, 538, 539}, 1);
        set({533}, 2);
        set({531, 566, 532, 567, 555}, 3);
        set({568}, 6);
        set({569, 481}, 2);
        set({480}, 9);
    }
};
constexpr OpTable kOps{};

struct Vm {
    uint32_t db, st;
    uint8_t *status;
    Sec d8, d16, d32, d64, tm, lk, sp, xv, step, trans, prog, inst, cfn, ct, cs;
    uint32_t now;
    uint16_t cs_size;
};

inline uint16_t Flags(const Vm &v) { return Ld<uint16_t>(v.status + ST_FLAGS); }
inline void SetFlags(Vm &v, uint16_t f) { St<uint16_t>(v.status + ST_FLAGS, f); }
inline bool Locked(const Vm &v, uint32_t i, uint8_t bit) { return i < v.lk.n && (v.lk.p[i] & bit); }

// Arena bytes [addr, addr + n) inside the arena; host pointer or null.
inline uint8_t *Arena(uint32_t addr, uint32_t n) { return addr == 0 ? nullptr : Z7Mem_Ptr(addr, n); }
// Bytes [off, off + n) of the CT segment, or null.
inline uint8_t *CtAt(const Vm &v, uint64_t off, uint32_t n) {
    return off + n <= v.ct.n ? v.ct.p + off : nullptr;
}

// Writes the width bytes of value (little-endian) through an XV pointer.
void PutBytes(uint8_t *p, uint64_t value, uint32_t width) {
    for (uint32_t i = 0; i < width; i++) p[i] = uint8_t(value >> (8 * i));
}

// Instruction and the program code it runs in.
struct Code {
    const uint8_t *p = nullptr;  // host pointer of word 0
    uint32_t addr = 0;           // arena address of word 0
    uint32_t words = 0;
};
Code ProgCode(const Vm &v, uint32_t k) {
    Code c;
    if (k == 0 || k >= v.prog.n) return c;
    const uint8_t *e = v.prog.p + PG_SIZE * k;
    const uint32_t addr = Ld<uint32_t>(e + PG_CODE), len = Ld<uint32_t>(e + PG_LEN);
    const uint8_t *p = addr ? Z7Mem_Ptr(addr, len) : nullptr;
    if (p == nullptr) return c;
    c.p = p;
    c.addr = addr;
    c.words = len / 2;
    return c;
}

}  // namespace

// ---- lock bookkeeping ---------------------------------------------------------------------------
void Z7VMTic_LockVar(uint32_t db, uint32_t index, uint8_t bit) {
    const uint32_t st = Z7VM_Status(db);
    if (st == 0) return;
    if (index > 0) {
        const uint32_t a = Z7Sec_Elem(db, Z7SEC_LOCK, index);
        if (a == 0 || (Z7Mem_Get8(a) & bit)) return;
        Z7Mem_Put8(a, uint8_t(Z7Mem_Get8(a) | bit));
    }
    Z7Mem_Put32(st + ST_LOCKED, Z7Mem_Get32(st + ST_LOCKED) + 1);
    Z7St_SetFlags(db, uint16_t(Z7St_Flags(db) | Z7F_LOCKED));
}

void Z7VMTic_UnlockVar(uint32_t db, uint32_t index, uint8_t bit, uint32_t) {
    const uint32_t st = Z7VM_Status(db);
    if (st == 0) return;
    if (index > 0) {
        const uint32_t a = Z7Sec_Elem(db, Z7SEC_LOCK, index);
        if (a == 0 || !(Z7Mem_Get8(a) & bit)) return;
        Z7Mem_Put8(a, uint8_t(Z7Mem_Get8(a) & ~bit));
    }
    const uint32_t n = Z7Mem_Get32(st + ST_LOCKED);
    if (n > 0) {
        Z7Mem_Put32(st + ST_LOCKED, n - 1);
        if (n == 1) Z7St_SetFlags(db, uint16_t(Z7St_Flags(db) & ~Z7F_LOCKED));
    }
}

void Z7VMTic_UnlockAllVars(uint32_t db) {
    const uint32_t st = Z7VM_Status(db);
    if (st == 0) return;
    const uint32_t n = Z7Sec_Bytes(db, Z7SEC_LOCK);
    if (uint8_t *p = n ? Z7Mem_Ptr(Z7Sec_Addr(db, Z7SEC_LOCK), n) : nullptr) std::memset(p, 0, n);
    Z7St_SetFlags(db, uint16_t(Z7St_Flags(db) & ~Z7F_LOCKED));
    Z7Mem_Put32(st + ST_LOCKED, 0);
}

// ---- CT segment ---------------------------------------------------------------------------------
uint32_t Z7VMTic_CTMemcpy(uint32_t db, int32_t dst, int32_t src, int32_t len) {
    if (len <= 0) return 1;  // a negative length copies nothing
    const uint32_t size = Z7Sec_Bytes(db, Z7SEC_CT), seg = Z7Sec_Addr(db, Z7SEC_CT);
    if (dst < 0 || src < 0 || uint64_t(uint32_t(dst)) + uint32_t(len) > size ||
        uint64_t(uint32_t(src)) + uint32_t(len) > size)
        return 0;
    uint8_t *d = Z7Mem_Ptr(seg + uint32_t(dst), uint32_t(len));
    const uint8_t *s = Z7Mem_Ptr(seg + uint32_t(src), uint32_t(len));
    if (d == nullptr || s == nullptr) return 0;
    std::memmove(d, s, uint32_t(len));
    return 1;
}

namespace {
// Section, element width and lock bit of a CT item class; 0 width: none.
struct CtClass {
    uint32_t sec, width;
    uint8_t bit;
};
CtClass CtClassOf(uint32_t cls) {
    switch (cls) {
    case 1: return {Z7SEC_D8, 1, LK8};
    case 2: return {Z7SEC_D32, 4, LK32};
    case 4: return {Z7SEC_TIME, 4, LKT};
    case 5: return {Z7SEC_STRPTR, 4, LKS};
    case 11: return {Z7SEC_D16, 2, LK16};
    case 12: return {Z7SEC_D64, 8, LK64};
    default: return {0, 0, 0};
    }
}
uint32_t CtItem(uint32_t db, uint32_t cls, uint32_t var, int32_t off, bool set) {
    const CtClass c = CtClassOf(cls);
    if (c.width == 0) return 1;
    const uint32_t size = Z7Sec_Bytes(db, Z7SEC_CT), seg = Z7Sec_Addr(db, Z7SEC_CT);
    const uint32_t elem = Z7Sec_Elem(db, c.sec, var);
    if (elem == 0) return 0;
    if (cls == 5) {
        // the CT item is a string slot {max, length, text}
        if (off < 0 || uint64_t(uint32_t(off)) + 3 > size) return 0;
        const uint32_t slot = seg + uint32_t(off);
        const uint32_t max = Z7Mem_Get8(slot);
        if (uint64_t(uint32_t(off)) + max + 3 > size) return 0;
        if (set) {
            Z7VMStr_CopyPtr(slot, Z7VMStr_Slot(db, var));
        } else {
            if (Z7Mem_Get8(Z7Sec_Elem(db, Z7SEC_LOCK, var)) & c.bit) return 1;
            const uint8_t *counted = Z7Mem_Ptr(slot + 1, 1u + std::min<uint32_t>(Z7Mem_Get8(slot + 1), max));
            if (counted == nullptr) return 0;
            uint8_t buf[257];
            buf[0] = uint8_t(std::min<uint32_t>(counted[0], max));
            std::memcpy(buf + 1, counted + 1, buf[0]);
            Z7VMStr_Force(db, var, buf);
        }
        return 1;
    }
    if (off < 0 || uint64_t(uint32_t(off)) + c.width > size) return 0;
    uint8_t *item = Z7Mem_Ptr(seg + uint32_t(off), c.width), *v = Z7Mem_Ptr(elem, c.width);
    if (item == nullptr || v == nullptr) return 0;
    if (set) {
        std::memcpy(item, v, c.width);
    } else {
        if (Z7Mem_Get8(Z7Sec_Elem(db, Z7SEC_LOCK, var)) & c.bit) return 1;
        std::memcpy(v, item, c.width);
    }
    return 1;
}
}  // namespace

uint32_t Z7VMTic_SetCTSegItem(uint32_t db, uint32_t cls, uint32_t var, int32_t off) {
    return CtItem(db, cls, var, off, true);
}
uint32_t Z7VMTic_GetCTSegItem(uint32_t db, uint32_t cls, uint32_t var, int32_t off) {
    return CtItem(db, cls, var, off, false);
}

void Z7VMTic_SetSfcBreakS(uint32_t db, uint32_t step, uint16_t value) {
    const uint32_t n = Z7Sec_Get(db, Z7SEC_STEP, SD_ALLOC);
    for (uint32_t k = step == 0 ? 1 : step; k < n && (step == 0 || k == step); k++)
        Z7Mem_Put16(Z7Sec_Elem(db, Z7SEC_STEP, k) + 10, value);
}
void Z7VMTic_SetSfcBreakT(uint32_t db, uint32_t trans, uint16_t value) {
    const uint32_t n = Z7Sec_Get(db, Z7SEC_TRANS, SD_ALLOC);
    for (uint32_t k = trans == 0 ? 1 : trans; k < n && (trans == 0 || k == trans); k++)
        Z7Mem_Put16(Z7Sec_Elem(db, Z7SEC_TRANS, k) + 2, value);
}

void Z7VMTic_Init(uint32_t) {}
void Z7VMTic_Exit(uint32_t) {}
void Z7VMTic_ExeCtrl() {}

// ---- the interpreter ------------------------------------------------------------------------------
uint32_t Z7VMTic_Run(uint32_t db, uint32_t status, uint32_t code, uint32_t length, uint32_t program) {
    Vm v{};
    v.db = db;
    v.st = status;
    v.status = Z7Mem_Ptr(status, ST_SIZE);
    if (v.status == nullptr || status != Z7VM_Status(db)) return 0;
    v.d8 = GetSec(db, Z7SEC_D8, 1);
    v.d16 = GetSec(db, Z7SEC_D16, 2);
    v.d32 = GetSec(db, Z7SEC_D32, 4);
    v.d64 = GetSec(db, Z7SEC_D64, 8);
    v.tm = GetSec(db, Z7SEC_TIME, 4);
    v.lk = GetSec(db, Z7SEC_LOCK, 1);
    v.sp = GetSec(db, Z7SEC_STRPTR, 4);
    v.xv = GetSec(db, Z7SEC_XV, 4);
    v.step = GetSec(db, Z7SEC_STEP, 12);
    v.trans = GetSec(db, Z7SEC_TRANS, 4);
    v.prog = GetSec(db, Z7SEC_PROG, PG_SIZE);
    v.inst = GetSec(db, Z7SEC_INST, 20);
    v.cfn = GetSec(db, Z7SEC_CFUNC, 24);
    v.ct = GetSec(db, Z7SEC_CT, 0);
    v.cs = GetSec(db, Z7SEC_CSTACK, 4);
    v.now = Ld<uint32_t>(v.status + ST_STAMP);
    v.cs_size = Ld<uint16_t>(v.status + ST_CSSIZE);
    if (v.cs_size > v.cs.n) v.cs_size = uint16_t(v.cs.n);

    uint32_t ctreg = kNone;
    uint32_t anchor = kNone, anchor_prog = 0, repeat = 0;
    uint32_t cur = program;  // current program
    Code c;
    uint32_t ip = 0;  // word index of the current instruction
    uint32_t depth = Z7Sec_Get(db, Z7SEC_CSTACK, SD_USED);

    auto put_frame = [&](uint32_t i, uint16_t prog, uint16_t ret) {
        St<uint16_t>(v.cs.p + 4 * i, prog);
        St<uint16_t>(v.cs.p + 4 * i + 2, ret);
    };
    auto set_depth = [&](uint32_t d) {
        depth = d;
        Z7Sec_Set(db, Z7SEC_CSTACK, SD_USED, uint16_t(d));
    };

    if (program == 0) {
        // command buffer: the words inside section 2
        const uint32_t size = Z7Sec_Bytes(db, Z7SEC_EXEC);
        if (code != Z7Sec_Addr(db, Z7SEC_EXEC)) return 0;
        const uint32_t len = std::min(length, size);
        c.p = Z7Mem_Ptr(code, len);
        c.addr = code;
        c.words = c.p ? len / 2 : 0;
    } else {
        Z7VMPrg_RestoreCallStack(db, program);
        depth = Z7Sec_Get(db, Z7SEC_CSTACK, SD_USED);
        if (depth >= v.cs_size && depth > 0) depth = 0;  // a damaged saved depth starts over
        if (depth > 0) cur = Ld<uint16_t>(v.cs.p + 4 * depth);
        else if (v.cs_size > 0) put_frame(0, uint16_t(program), 0);
        c = ProgCode(v, cur);
        if (c.p == nullptr && cur != program) {
            cur = program;
            set_depth(0);
            c = ProgCode(v, cur);
        }
        if (cur < v.prog.n) {
            uint8_t *e = v.prog.p + PG_SIZE * cur;
            ip = Ld<uint32_t>(e + PG_HELD);
            St<uint32_t>(e + PG_HELD, 0);
        }
        St<uint16_t>(v.status + ST_BRK_PROG, 0);
        St<uint16_t>(v.status + ST_BRK_POS, 0);
        (void)code;
    }

    uint16_t op = 0;
    uint32_t fault_code = 0, fault_arg = 0;

#define W(k) Ld<uint16_t>(c.p + 2 * (ip + (k)))
#define FAULT(code_, arg_)                                                                                   \
    do {                                                                                                     \
        fault_code = (code_);                                                                                \
        fault_arg = (arg_);                                                                                  \
        goto fatal;                                                                                          \
    } while (0)
#define NEED(sec, i) \
    if ((i) >= v.sec.n) FAULT(LOG_UNDEF, (i))
#define LOGPOS (cur + 65536u * (2u * (ip + 1u)))
#define JUMP_REL(k)                                                                                          \
    do {                                                                                                     \
        const int64_t t_ = int64_t(2) * (ip + (k) + 1) + int16_t(W(k));                                   \
        if (t_ < 0 || (t_ & 1) || t_ >= int64_t(2) * c.words) FAULT(LOG_UNDEF, op);                         \
        ip = uint32_t(t_ / 2);                                                                               \
        goto next;                                                                                           \
    } while (0)
#define JUMP_ABS(off)                                                                                        \
    do {                                                                                                     \
        const uint32_t t_ = (off);                                                                           \
        if ((t_ & 1) || t_ / 2 >= c.words) FAULT(LOG_UNDEF, op);                                             \
        ip = t_ / 2;                                                                                         \
        goto next;                                                                                           \
    } while (0)

    // typed views
#define P8(i) (v.d8.p + (i))
#define P16(i) (v.d16.p + 2 * (i))
#define P32(i) (v.d32.p + 4 * (i))
#define P64(i) (v.d64.p + 8 * (i))
#define PT(i) (v.tm.p + 4 * (i))

// dst, a, b in one section; E computes from a_ and b_ of type T; twin tests bit.
#define BIN(SEC, PX, T, bit, twin, E)                                                                        \
    {                                                                                                        \
        const uint32_t d = W(1), a = W(2), b = W(3);                                                         \
        NEED(SEC, d); NEED(SEC, a); NEED(SEC, b);                                                            \
        const T a_ = Ld<T>(PX(a)), b_ = Ld<T>(PX(b));                                                        \
        (void)a_; (void)b_;                                                                                  \
        if (!(twin) || !Locked(v, d, bit)) St<T>(PX(d), T(E));                                               \
        break;                                                                                               \
    }
#define UN(SEC, PX, T, bit, twin, E)                                                                         \
    {                                                                                                        \
        const uint32_t d = W(1), a = W(2);                                                                   \
        NEED(SEC, d); NEED(SEC, a);                                                                          \
        const T a_ = Ld<T>(PX(a));                                                                           \
        if (!(twin) || !Locked(v, d, bit)) St<T>(PX(d), T(E));                                               \
        break;                                                                                               \
    }
// comparison into an 8-bit dst
#define CMP(SEC, PX, T, twin, E)                                                                             \
    {                                                                                                        \
        const uint32_t d = W(1), a = W(2), b = W(3);                                                         \
        NEED(d8, d); NEED(SEC, a); NEED(SEC, b);                                                             \
        const T a_ = Ld<T>(PX(a)), b_ = Ld<T>(PX(b));                                                        \
        if (!(twin) || !Locked(v, d, LK8)) *P8(d) = (E) ? 1 : 0;                                             \
        break;                                                                                               \
    }
#define SCMP(twin, E)                                                                                        \
    {                                                                                                        \
        const uint32_t d = W(1), a = W(2), b = W(3);                                                         \
        NEED(d8, d); NEED(sp, a); NEED(sp, b);                                                               \
        const int32_t r_ = Z7VMStr_Compare(db, a, b);                                                        \
        if (!(twin) || !Locked(v, d, LK8)) *P8(d) = (E) ? 1 : 0;                                             \
        break;                                                                                               \
    }
// division with a substitute on zero
#define DIV(SEC, PX, T, bit, twin, ZERO, SUB, LOGC, E)                                                       \
    {                                                                                                        \
        const uint32_t d = W(1), a = W(2), b = W(3);                                                         \
        NEED(SEC, d); NEED(SEC, a); NEED(SEC, b);                                                            \
        const T a_ = Ld<T>(PX(a)), b_ = Ld<T>(PX(b));                                                        \
        T r_;                                                                                                \
        if (ZERO) {                                                                                          \
            r_ = SUB;                                                                                        \
            Z7VMLog_Push(db, LOGC, uint16_t(b), LOGPOS);                                                     \
        } else {                                                                                             \
            r_ = T(E);                                                                                       \
        }                                                                                                    \
        if (!(twin) || !Locked(v, d, bit)) St<T>(PX(d), r_);                                                 \
        break;                                                                                               \
    }
#define MOVE(SEC, PX, T, bit, twin)                                                                          \
    {                                                                                                        \
        const uint32_t d = W(1), a = W(2);                                                                   \
        NEED(SEC, d); NEED(SEC, a);                                                                          \
        if (!(twin) || !Locked(v, d, bit)) St<T>(PX(d), Ld<T>(PX(a)));                                       \
        break;                                                                                               \
    }
// element index = base + DINT (computed: fault 32)
#define ELEM(SEC, base_, dint_, out_)                                                                        \
    NEED(d32, dint_);                                                                                        \
    const int64_t out_##w = int64_t(base_) + Ld<int32_t>(P32(dint_));                                       \
    if (out_##w < 0 || out_##w >= int64_t(v.SEC.n)) FAULT(LOG_BOUNDS, dint_);                               \
    const uint32_t out_ = uint32_t(out_##w);
#define LOADEL(SEC, PX, T, bit, twin)                                                                        \
    {                                                                                                        \
        const uint32_t d = W(1), base = W(2), k = W(3);                                                      \
        NEED(SEC, d); NEED(SEC, base);                                                                       \
        ELEM(SEC, base, k, e);                                                                               \
        if (!(twin) || !Locked(v, d, bit)) St<T>(PX(d), Ld<T>(PX(e)));                                       \
        break;                                                                                               \
    }
#define STOREEL(SEC, PX, T, bit, twin, baselock)                                                             \
    {                                                                                                        \
        const uint32_t base = W(1), k = W(2), s = W(3);                                                      \
        NEED(SEC, base); NEED(SEC, s);                                                                       \
        ELEM(SEC, base, k, e);                                                                               \
        if (!(twin) || !Locked(v, (baselock) ? base : e, bit)) St<T>(PX(e), Ld<T>(PX(s)));                   \
        break;                                                                                               \
    }
#define LOCKOP(SEC, bit, lock)                                                                               \
    {                                                                                                        \
        const uint32_t i = W(1);                                                                             \
        NEED(SEC, i);                                                                                        \
        if (lock) Z7VMTic_LockVar(db, i, bit);                                                               \
        else Z7VMTic_UnlockVar(db, i, bit, ctreg);                                                           \
        break;                                                                                               \
    }
// constant write: index 0 goes to the CT item at the register
#define CONST(SEC, PX, T, bit, twin, VAL, keepreg)                                                           \
    {                                                                                                        \
        const uint32_t d = W(1);                                                                             \
        NEED(SEC, d);                                                                                        \
        const T val_ = T(VAL);                                                                               \
        if (!(twin) || !Locked(v, d, bit)) {                                                                 \
            if (d == 0) {                                                                                    \
                if (ctreg != kNone) {                                                                        \
                    uint8_t *ci = CtAt(v, ctreg, sizeof(T));                                                 \
                    if (ci == nullptr) FAULT(LOG_BOUNDS, 0);                                                 \
                    St<T>(ci, val_);                                                                         \
                    if (!(keepreg)) ctreg = kNone;                                                           \
                }                                                                                            \
            } else {                                                                                         \
                St<T>(PX(d), val_);                                                                          \
            }                                                                                                \
        }                                                                                                    \
        break;                                                                                               \
    }
#define W32(k) (uint32_t(W(k)) << 16 | W((k) + 1))
#define W64(k) (uint64_t(W32(k)) << 32 | W32((k) + 2))
// XV pointer of number x (computed: fault 32), width bytes
#define XVPTR(x, width, computed, out)                                                                       \
    if ((x) >= v.xv.n || (x) == 0) FAULT((computed) ? LOG_BOUNDS : LOG_UNDEF, (x));                         \
    uint8_t *out = Arena(Ld<uint32_t>(v.xv.p + 4 * (x)), (width));                                          \
    if (out == nullptr) FAULT(LOG_BOUNDS, (x));
#define XVNUM(indexed, out)                                                                                  \
    uint32_t out = W(1);                                                                                     \
    if (indexed) {                                                                                           \
        NEED(d32, W(3));                                                                                     \
        const int64_t xw_ = int64_t(out) + Ld<int32_t>(P32(W(3)));                                          \
        if (xw_ <= 0 || xw_ >= int64_t(v.xv.n)) FAULT(LOG_BOUNDS, W(3));                                    \
        out = uint32_t(xw_);                                                                                 \
    }
#define XVREAD(SEC, PX, width, bit, twin, indexed)                                                           \
    {                                                                                                        \
        XVNUM(indexed, x);                                                                                   \
        const uint32_t d = W(2);                                                                             \
        NEED(SEC, d);                                                                                        \
        XVPTR(x, width, indexed, xp);                                                                        \
        if (!(twin) || !Locked(v, d, bit)) std::memcpy(PX(d), xp, width);                                   \
        break;                                                                                               \
    }
#define XVWRITE(SEC, PX, width, twin, indexed)                                                               \
    {                                                                                                        \
        XVNUM(indexed, x);                                                                                   \
        const uint32_t s = W(2);                                                                             \
        NEED(SEC, s);                                                                                        \
        XVPTR(x, width, indexed, xp);                                                                        \
        if (!(twin) || !Locked(v, x, LKXV)) std::memcpy(xp, PX(s), width);                                  \
        break;                                                                                               \
    }
#define XVSTR(read, twin, indexed)                                                                           \
    {                                                                                                        \
        XVNUM(indexed, x);                                                                                   \
        const uint32_t s = W(2);                                                                             \
        NEED(sp, s);                                                                                         \
        XVPTR(x, 3, indexed, xp);                                                                            \
        (void)xp;                                                                                            \
        const uint32_t slot = Ld<uint32_t>(v.xv.p + 4 * x);                                                  \
        if (read) {                                                                                          \
            if (!(twin) || !Locked(v, s, LKS)) Z7VMStr_CopyPtr(Z7VMStr_Slot(db, s), slot);                  \
        } else {                                                                                             \
            if (!(twin) || !Locked(v, x, LKXV)) Z7VMStr_CopyPtr(slot, Z7VMStr_Slot(db, s));                 \
        }                                                                                                    \
        break;                                                                                               \
    }
#define STEPP(i) (v.step.p + 12 * (i))
#define TRANSP(i) (v.trans.p + 4 * (i))
#define PROGP(i) (v.prog.p + PG_SIZE * (i))

next:
    for (;;) {
        if (ip >= c.words) {
            op = 0;
            FAULT(LOG_UNDEF, 0);
        }
        op = W(0);
        if (op > kMaxOp || kOps.n[op] == 0xFF) {
            fault_code = LOG_UNDEF;
            fault_arg = op;
            if (program == 0) {
                Z7VMLog_Push(db, LOG_UNDEF, op, LOGPOS);
                return 0;
            }
            goto fatal;
        }
        if (ip + 1 + kOps.n[op] > c.words) FAULT(LOG_UNDEF, op);
        switch (op) {
        // ---- control flow ----
        case 67: JUMP_REL(1);
        case 65: { const uint32_t b = W(1); NEED(d8, b); if (*P8(b)) JUMP_REL(2); break; }
        case 66: { const uint32_t b = W(1); NEED(d8, b); if (!*P8(b)) JUMP_REL(2); break; }
        case 528: JUMP_ABS(W(1));
        case 529: { const uint32_t b = W(1); NEED(d8, b); if (*P8(b)) JUMP_ABS(W(2)); break; }
        case 530: { const uint32_t b = W(1); NEED(d8, b); if (!*P8(b)) JUMP_ABS(W(2)); break; }
        case 543: {
            const uint32_t k = W(1), n = W(2);
            NEED(d32, k);
            if (ip + 3 + n > c.words) FAULT(LOG_UNDEF, op);
            const uint32_t sel = Ld<uint32_t>(P32(k)) & 0xFFFF;
            if (sel < n) JUMP_ABS(W(3 + sel));
            ip += 3 + n;
            continue;
        }
        case 544: {
            const uint32_t a = W(2), b = W(3);
            NEED(d32, a); NEED(d32, b);
            if (Ld<uint32_t>(P32(a)) == Ld<uint32_t>(P32(b))) JUMP_ABS(W(1));
            break;
        }
        case 68: case 234: {
            if (program == 0 || depth == 0) return 1;
            set_depth(depth - 1);
            const uint16_t to = Ld<uint16_t>(v.cs.p + 4 * depth), ret = Ld<uint16_t>(v.cs.p + 4 * depth + 2) & 0xFFFE;
            cur = to;
            c = ProgCode(v, cur);
            if (c.p == nullptr || ret / 2u >= c.words) FAULT(LOG_UNDEF, op);
            put_frame(depth, to, ret);
            ip = ret / 2u;
            continue;
        }
        case 423: {
            const uint32_t target = W(1);
            if (program == 0) FAULT(LOG_UNDEF, op);
            if (depth + 1 >= v.cs_size) FAULT(LOG_STACK, target);
            const Code t = ProgCode(v, target);
            if (t.p == nullptr) FAULT(LOG_UNDEF, target);
            put_frame(depth, uint16_t(cur), uint16_t(2 * (ip + 2)));
            set_depth(depth + 1);
            put_frame(depth, uint16_t(target), 0);
            cur = target;
            c = t;
            ip = 0;
            continue;
        }
        case 506:
            if (cur < v.prog.n && cur > 0) St<uint32_t>(PROGP(cur) + PG_HELD, ip);
            break;
        case 507: {
            const uint32_t b = W(1);
            NEED(d8, b);
            if (*P8(b) == 0) {
                if (program == 0) return 1;
                Z7VMPrg_SaveCallStack(db, program);
                set_depth(0);
                return 1;
            }
            if (cur < v.prog.n && cur > 0) St<uint32_t>(PROGP(cur) + PG_HELD, 0);
            break;
        }
        case 421: {
            const uint32_t n = W(1), phase = W(2);
            if (n < 2 || depth != 0 || cur == 0 || cur >= v.prog.n) break;
            uint8_t *e = PROGP(cur);
            const uint16_t cnt = Ld<uint16_t>(e + PG_DIV);
            St<uint16_t>(e + PG_DIV, uint16_t((cnt + 1u) % n));
            if (cnt != phase) return 1;
            break;
        }
        case 422: {
            const uint32_t k = W(1);
            NEED(d32, k);
            const int32_t x = Ld<int32_t>(P32(k));
            if (x < int32_t(W(2)) || x > int32_t(W(3))) FAULT(LOG_BOUNDS, k);
            break;
        }
        case 564:
            anchor = ip + 1;
            anchor_prog = cur;
            repeat = 1000000;
            break;
        case 565: {
            const uint32_t k = W(1);
            NEED(d32, k);
            if (repeat == 0 || anchor_prog != cur || anchor == kNone) {
                repeat = 0;
                St<int32_t>(P32(k), 0);
                break;
            }
            if (--repeat == 0) {
                St<int32_t>(P32(k), 0);
                break;
            }
            ip = anchor;
            continue;
        }
        case 526: case 534: case 542: break;
        case 508: {
            const uint16_t id = W(1);
            const uint16_t pos = uint16_t(2 * ip);
            if ((Flags(v) & Z7F_STEP) || Z7VMPrg_IsBreakpoint(db, uint16_t(cur), pos, id)) {
                SetFlags(v, uint16_t((Flags(v) & ~Z7F_RUN) | Z7F_ONECYCLE | Z7F_STEP));
                if (cur > 0 && cur < v.prog.n) St<uint32_t>(PROGP(cur) + PG_HELD, ip + 2);
                St<uint16_t>(v.status + ST_BRK_PROG, uint16_t(cur));
                St<uint16_t>(v.status + ST_BRK_POS, pos);
                // the held program keeps its frames; the next program starts at depth 0
                if (program != 0) {
                    Z7VMPrg_SaveCallStack(db, program);
                    set_depth(0);
                }
                return 0;
            }
            break;
        }
        case 527: Z7VMPrg_SetBreakpoint(db, W(1), W(2), W(3)); break;
        case 257: SetFlags(v, uint16_t(Flags(v) & ~(Z7F_RUN | Z7F_STEP))); break;
        case 258: SetFlags(v, uint16_t((Flags(v) | Z7F_RUN) & ~(Z7F_STOPPED | Z7F_STEP))); break;
        case 259: SetFlags(v, uint16_t((Flags(v) | Z7F_ONECYCLE) & ~Z7F_STEP)); break;
        case 525: if (!(Flags(v) & Z7F_RUN)) SetFlags(v, uint16_t(Flags(v) | Z7F_ONECYCLE | Z7F_STEP)); break;
        case 260: St<uint32_t>(v.status + ST_PERIOD, W32(1)); break;
        // ---- locks ----
        case 265: case 406: LOCKOP(d8, LK8, true);
        case 266: case 407: LOCKOP(d8, LK8, false);
        case 269: LOCKOP(d16, LK16, true);
        case 270: LOCKOP(d16, LK16, false);
        case 273: LOCKOP(d32, LK32, true);
        case 274: LOCKOP(d32, LK32, false);
        case 318: LOCKOP(d64, LK64, true);
        case 319: LOCKOP(d64, LK64, false);
        case 281: LOCKOP(tm, LKT, true);
        case 282: LOCKOP(tm, LKT, false);
        case 410: LOCKOP(sp, LKS, true);
        case 411: LOCKOP(sp, LKS, false);
        case 454: case 455: {
            const uint32_t x = W(1);
            NEED(xv, x);
            if (x < v.lk.n) v.lk.p[x] = uint8_t(op == 454 ? (v.lk.p[x] | LKXV) : (v.lk.p[x] & ~LKXV));
            break;
        }
        case 554: Z7VMTic_UnlockAllVars(db); break;

        // ---- arithmetic ----
        case 377: UN(d8, P8, uint8_t, LK8, false, -a_)
        case 376: UN(d8, P8, uint8_t, LK8, true, -a_)
        case 383: BIN(d8, P8, uint8_t, LK8, false, a_ + b_)
        case 382: BIN(d8, P8, uint8_t, LK8, true, a_ + b_)
        case 385: BIN(d8, P8, uint8_t, LK8, false, a_ - b_)
        case 384: BIN(d8, P8, uint8_t, LK8, true, a_ - b_)
        case 379: case 484: BIN(d8, P8, uint8_t, LK8, false, a_ * b_)
        case 378: case 488: BIN(d8, P8, uint8_t, LK8, true, a_ * b_)
        case 381: case 485: DIV(d8, P8, uint8_t, LK8, false, b_ == 0, 127, LOG_DIV8, a_ / b_)
        case 380: case 489: DIV(d8, P8, uint8_t, LK8, true, b_ == 0, 127, LOG_DIV8, a_ / b_)
        case 349: UN(d16, P16, uint16_t, LK16, false, -a_)
        case 348: UN(d16, P16, uint16_t, LK16, true, -a_)
        case 355: BIN(d16, P16, uint16_t, LK16, false, a_ + b_)
        case 354: BIN(d16, P16, uint16_t, LK16, true, a_ + b_)
        case 357: BIN(d16, P16, uint16_t, LK16, false, a_ - b_)
        case 356: BIN(d16, P16, uint16_t, LK16, true, a_ - b_)
        case 351: case 492: BIN(d16, P16, uint16_t, LK16, false, uint32_t(a_) * b_)
        case 350: case 496: BIN(d16, P16, uint16_t, LK16, true, uint32_t(a_) * b_)
        case 353: DIV(d16, P16, int16_t, LK16, false, b_ == 0, 32767, LOG_DIV16, b_ == -1 ? -a_ : a_ / b_)
        case 352: DIV(d16, P16, int16_t, LK16, true, b_ == 0, 32767, LOG_DIV16, b_ == -1 ? -a_ : a_ / b_)
        case 493: DIV(d16, P16, uint16_t, LK16, false, b_ == 0, 32767, LOG_DIV16, a_ / b_)
        case 497: DIV(d16, P16, uint16_t, LK16, true, b_ == 0, 32767, LOG_DIV16, a_ / b_)
        case 1: UN(d32, P32, uint32_t, LK32, false, 0u - a_)
        case 110: UN(d32, P32, uint32_t, LK32, true, 0u - a_)
        case 8: BIN(d32, P32, uint32_t, LK32, false, a_ + b_)
        case 117: BIN(d32, P32, uint32_t, LK32, true, a_ + b_)
        case 12: BIN(d32, P32, uint32_t, LK32, false, a_ - b_)
        case 120: BIN(d32, P32, uint32_t, LK32, true, a_ - b_)
        case 4: case 500: BIN(d32, P32, uint32_t, LK32, false, a_ * b_)
        case 113: case 504: BIN(d32, P32, uint32_t, LK32, true, a_ * b_)
        case 6: DIV(d32, P32, int32_t, LK32, false, b_ == 0, 0x7FFFFFFF, LOG_DIV32,
                    b_ == -1 ? int32_t(0u - uint32_t(a_)) : a_ / b_)
        case 115: DIV(d32, P32, int32_t, LK32, true, b_ == 0, 0x7FFFFFFF, LOG_DIV32,
                      b_ == -1 ? int32_t(0u - uint32_t(a_)) : a_ / b_)
        case 501: DIV(d32, P32, uint32_t, LK32, false, b_ == 0, 0x7FFFFFFFu, LOG_DIV32, a_ / b_)
        case 505: DIV(d32, P32, uint32_t, LK32, true, b_ == 0, 0x7FFFFFFFu, LOG_DIV32, a_ / b_)
        case 2: UN(d32, P32, uint32_t, LK32, false, a_ ^ 0x80000000u)
        case 111: UN(d32, P32, uint32_t, LK32, true, a_ ^ 0x80000000u)
        case 9: BIN(d32, P32, float, LK32, false, a_ + b_)
        case 118: BIN(d32, P32, float, LK32, true, a_ + b_)
        case 13: BIN(d32, P32, float, LK32, false, a_ - b_)
        case 121: BIN(d32, P32, float, LK32, true, a_ - b_)
        case 5: BIN(d32, P32, float, LK32, false, a_ * b_)
        case 114: BIN(d32, P32, float, LK32, true, a_ * b_)
        case 7: DIV(d32, P32, float, LK32, false, b_ == 0.0f, 1.0e37f, LOG_DIV32, a_ / b_)
        case 116: DIV(d32, P32, float, LK32, true, b_ == 0.0f, 1.0e37f, LOG_DIV32, a_ / b_)
        case 289: UN(d64, P64, uint64_t, LK64, false, 0ull - a_)
        case 288: UN(d64, P64, uint64_t, LK64, true, 0ull - a_)
        case 295: BIN(d64, P64, uint64_t, LK64, false, a_ + b_)
        case 294: BIN(d64, P64, uint64_t, LK64, true, a_ + b_)
        case 297: BIN(d64, P64, uint64_t, LK64, false, a_ - b_)
        case 296: BIN(d64, P64, uint64_t, LK64, true, a_ - b_)
        case 291: case 558: BIN(d64, P64, uint64_t, LK64, false, a_ * b_)
        case 290: case 562: BIN(d64, P64, uint64_t, LK64, true, a_ * b_)
        case 293: DIV(d64, P64, int64_t, LK64, false, b_ == 0, INT64_MAX, LOG_DIV64,
                      b_ == -1 ? int64_t(0ull - uint64_t(a_)) : a_ / b_)
        case 292: DIV(d64, P64, int64_t, LK64, true, b_ == 0, INT64_MAX, LOG_DIV64,
                      b_ == -1 ? int64_t(0ull - uint64_t(a_)) : a_ / b_)
        case 559: DIV(d64, P64, uint64_t, LK64, false, b_ == 0, UINT64_MAX, LOG_DIV32, a_ / b_)
        case 563: DIV(d64, P64, uint64_t, LK64, true, b_ == 0, UINT64_MAX, LOG_DIV32, a_ / b_)
        case 321: UN(d64, P64, uint64_t, LK64, false, a_ ^ 0x8000000000000000ull)
        case 320: UN(d64, P64, uint64_t, LK64, true, a_ ^ 0x8000000000000000ull)
        case 327: BIN(d64, P64, double, LK64, false, a_ + b_)
        case 326: BIN(d64, P64, double, LK64, true, a_ + b_)
        case 329: BIN(d64, P64, double, LK64, false, a_ - b_)
        case 328: BIN(d64, P64, double, LK64, true, a_ - b_)
        case 323: BIN(d64, P64, double, LK64, false, a_ * b_)
        case 322: BIN(d64, P64, double, LK64, true, a_ * b_)
        case 325: DIV(d64, P64, double, LK64, false, b_ == 0.0, 1.0e307, LOG_DIV64, a_ / b_)
        case 324: DIV(d64, P64, double, LK64, true, b_ == 0.0, 1.0e307, LOG_DIV64, a_ / b_)
        case 10: BIN(tm, PT, uint32_t, LKT, false, a_ + b_)
        case 283: BIN(tm, PT, uint32_t, LKT, true, a_ + b_)
        case 14: BIN(tm, PT, uint32_t, LKT, false, a_ >= b_ ? a_ - b_ : 0u)
        case 284: BIN(tm, PT, uint32_t, LKT, true, a_ >= b_ ? a_ - b_ : 0u)
        case 3: UN(d8, P8, uint8_t, LK8, false, a_ == 0 ? 1 : 0)
        case 112: UN(d8, P8, uint8_t, LK8, true, a_ == 0 ? 1 : 0)

        // ---- comparisons ----
        case 389: case 482: CMP(d8, P8, uint8_t, false, a_ > b_)
        case 388: case 486: CMP(d8, P8, uint8_t, true, a_ > b_)
        case 393: case 483: CMP(d8, P8, uint8_t, false, a_ >= b_)
        case 392: case 487: CMP(d8, P8, uint8_t, true, a_ >= b_)
        case 35: case 395: CMP(d8, P8, uint8_t, false, a_ == b_)
        case 141: case 394: CMP(d8, P8, uint8_t, true, a_ == b_)
        case 40: case 397: CMP(d8, P8, uint8_t, false, a_ != b_)
        case 146: case 396: CMP(d8, P8, uint8_t, true, a_ != b_)
        case 361: CMP(d16, P16, int16_t, false, a_ > b_)
        case 360: CMP(d16, P16, int16_t, true, a_ > b_)
        case 490: CMP(d16, P16, uint16_t, false, a_ > b_)
        case 494: CMP(d16, P16, uint16_t, true, a_ > b_)
        case 365: CMP(d16, P16, int16_t, false, a_ >= b_)
        case 364: CMP(d16, P16, int16_t, true, a_ >= b_)
        case 491: CMP(d16, P16, uint16_t, false, a_ >= b_)
        case 495: CMP(d16, P16, uint16_t, true, a_ >= b_)
        case 367: CMP(d16, P16, uint16_t, false, a_ == b_)
        case 366: CMP(d16, P16, uint16_t, true, a_ == b_)
        case 369: CMP(d16, P16, uint16_t, false, a_ != b_)
        case 368: CMP(d16, P16, uint16_t, true, a_ != b_)
        case 19: CMP(d32, P32, int32_t, false, a_ > b_)
        case 126: CMP(d32, P32, int32_t, true, a_ > b_)
        case 498: CMP(d32, P32, uint32_t, false, a_ > b_)
        case 502: CMP(d32, P32, uint32_t, true, a_ > b_)
        case 27: CMP(d32, P32, int32_t, false, a_ >= b_)
        case 134: CMP(d32, P32, int32_t, true, a_ >= b_)
        case 499: CMP(d32, P32, uint32_t, false, a_ >= b_)
        case 503: CMP(d32, P32, uint32_t, true, a_ >= b_)
        case 31: CMP(d32, P32, uint32_t, false, a_ == b_)
        case 138: CMP(d32, P32, uint32_t, true, a_ == b_)
        case 36: CMP(d32, P32, uint32_t, false, a_ != b_)
        case 143: CMP(d32, P32, uint32_t, true, a_ != b_)
        case 20: CMP(d32, P32, float, false, a_ > b_)
        case 127: CMP(d32, P32, float, true, a_ > b_)
        case 28: CMP(d32, P32, float, false, a_ >= b_)
        case 135: CMP(d32, P32, float, true, a_ >= b_)
        case 32: CMP(d32, P32, float, false, a_ == b_)
        case 139: CMP(d32, P32, float, true, a_ == b_)
        case 37: CMP(d32, P32, float, false, !(a_ == b_))
        case 144: CMP(d32, P32, float, true, !(a_ == b_))
        case 301: CMP(d64, P64, int64_t, false, a_ > b_)
        case 300: CMP(d64, P64, int64_t, true, a_ > b_)
        case 556: CMP(d64, P64, uint64_t, false, a_ > b_)
        case 560: CMP(d64, P64, uint64_t, true, a_ > b_)
        case 305: CMP(d64, P64, int64_t, false, a_ >= b_)
        case 304: CMP(d64, P64, int64_t, true, a_ >= b_)
        case 557: CMP(d64, P64, uint64_t, false, a_ >= b_)
        case 561: CMP(d64, P64, uint64_t, true, a_ >= b_)
        case 307: CMP(d64, P64, uint64_t, false, a_ == b_)
        case 306: CMP(d64, P64, uint64_t, true, a_ == b_)
        case 309: CMP(d64, P64, uint64_t, false, a_ != b_)
        case 308: CMP(d64, P64, uint64_t, true, a_ != b_)
        case 333: CMP(d64, P64, double, false, a_ > b_)
        case 332: CMP(d64, P64, double, true, a_ > b_)
        case 337: CMP(d64, P64, double, false, a_ >= b_)
        case 336: CMP(d64, P64, double, true, a_ >= b_)
        case 339: CMP(d64, P64, double, false, a_ == b_)
        case 338: CMP(d64, P64, double, true, a_ == b_)
        case 341: CMP(d64, P64, double, false, !(a_ == b_))
        case 340: CMP(d64, P64, double, true, !(a_ == b_))
        case 21: CMP(tm, PT, uint32_t, false, a_ > b_)
        case 129: CMP(tm, PT, uint32_t, true, a_ > b_)
        case 29: CMP(tm, PT, uint32_t, false, a_ >= b_)
        case 137: CMP(tm, PT, uint32_t, true, a_ >= b_)
        case 33: CMP(tm, PT, uint32_t, false, a_ == b_)
        case 142: CMP(tm, PT, uint32_t, true, a_ == b_)
        case 38: CMP(tm, PT, uint32_t, false, a_ != b_)
        case 147: CMP(tm, PT, uint32_t, true, a_ != b_)
        case 22: SCMP(false, r_ > 0)
        case 128: SCMP(true, r_ > 0)
        case 30: SCMP(false, r_ >= 0)
        case 136: SCMP(true, r_ >= 0)
        case 34: SCMP(false, r_ == 0)
        case 140: SCMP(true, r_ == 0)
        case 39: SCMP(false, r_ != 0)
        case 145: SCMP(true, r_ != 0)
        // ---- logic, bit tests, masks ----
        case 41: BIN(d8, P8, uint8_t, LK8, false, a_ | b_)
        case 148: BIN(d8, P8, uint8_t, LK8, true, a_ | b_)
        case 42: BIN(d8, P8, uint8_t, LK8, false, a_ & b_)
        case 149: BIN(d8, P8, uint8_t, LK8, true, a_ & b_)
        case 43: BIN(d8, P8, uint8_t, LK8, false, a_ ^ b_)
        case 150: BIN(d8, P8, uint8_t, LK8, true, a_ ^ b_)
        case 509: CMP(d8, P8, uint8_t, false, (a_ & b_) != 0)
        case 517: CMP(d8, P8, uint8_t, true, (a_ & b_) != 0)
        case 510: CMP(d16, P16, uint16_t, false, (a_ & b_) != 0)
        case 518: CMP(d16, P16, uint16_t, true, (a_ & b_) != 0)
        case 511: CMP(d32, P32, uint32_t, false, (a_ & b_) != 0)
        case 519: CMP(d32, P32, uint32_t, true, (a_ & b_) != 0)
        case 513: case 521: case 514: case 522: case 515: case 523: {
            const uint32_t d = W(1), m = W(2), b = W(3);
            NEED(d8, b);
            const bool on = *P8(b) != 0, twin = op >= 521;
            if (op == 513 || op == 521) {
                NEED(d8, d); NEED(d8, m);
                if (!twin || !Locked(v, d, LK8)) *P8(d) = uint8_t(on ? (*P8(d) | *P8(m)) : (*P8(d) & ~*P8(m)));
            } else if (op == 514 || op == 522) {
                NEED(d16, d); NEED(d16, m);
                const uint16_t x = Ld<uint16_t>(P16(d)), y = Ld<uint16_t>(P16(m));
                if (!twin || !Locked(v, d, LK16)) St<uint16_t>(P16(d), uint16_t(on ? (x | y) : (x & ~y)));
            } else {
                NEED(d32, d); NEED(d32, m);
                const uint32_t x = Ld<uint32_t>(P32(d)), y = Ld<uint32_t>(P32(m));
                if (!twin || !Locked(v, d, LK32)) St<uint32_t>(P32(d), on ? (x | y) : (x & ~y));
            }
            break;
        }
        // ---- moves and elements ----
        case 44: case 399: MOVE(d8, P8, uint8_t, LK8, false)
        case 151: case 398: MOVE(d8, P8, uint8_t, LK8, true)
        case 371: MOVE(d16, P16, uint16_t, LK16, false)
        case 370: MOVE(d16, P16, uint16_t, LK16, true)
        case 45: case 46: MOVE(d32, P32, uint32_t, LK32, false)
        case 152: case 153: MOVE(d32, P32, uint32_t, LK32, true)
        case 311: case 343: MOVE(d64, P64, uint64_t, LK64, false)
        case 310: case 342: MOVE(d64, P64, uint64_t, LK64, true)
        case 47: MOVE(tm, PT, uint32_t, LKT, false)
        case 155: MOVE(tm, PT, uint32_t, LKT, true)
        case 48: case 154: {
            const uint32_t d = W(1), a = W(2);
            NEED(sp, d); NEED(sp, a);
            if (op == 48 || !Locked(v, d, LKS)) Z7VMStr_Copy(db, d, a);
            break;
        }
        case 55: case 401: LOADEL(d8, P8, uint8_t, LK8, false)
        case 161: case 400: LOADEL(d8, P8, uint8_t, LK8, true)
        case 373: LOADEL(d16, P16, uint16_t, LK16, false)
        case 372: LOADEL(d16, P16, uint16_t, LK16, true)
        case 56: case 57: LOADEL(d32, P32, uint32_t, LK32, false)
        case 162: case 163: LOADEL(d32, P32, uint32_t, LK32, true)
        case 313: case 345: LOADEL(d64, P64, uint64_t, LK64, false)
        case 312: case 344: LOADEL(d64, P64, uint64_t, LK64, true)
        case 58: LOADEL(tm, PT, uint32_t, LKT, false)
        case 165: LOADEL(tm, PT, uint32_t, LKT, true)
        case 59: case 164: {
            const uint32_t d = W(1), base = W(2), k = W(3);
            NEED(sp, d); NEED(d32, k);
            const uint32_t e = (base + Ld<uint32_t>(P32(k))) & 0xFFFF;
            if (e >= v.sp.n) FAULT(LOG_BOUNDS, k);
            if (op == 59 || !Locked(v, d, LKS)) Z7VMStr_Copy(db, d, e);
            break;
        }
        case 403: STOREEL(d8, P8, uint8_t, LK8, false, false)
        case 402: STOREEL(d8, P8, uint8_t, LK8, true, false)
        case 375: STOREEL(d16, P16, uint16_t, LK16, false, false)
        case 374: STOREEL(d16, P16, uint16_t, LK16, true, false)
        case 61: STOREEL(d32, P32, uint32_t, LK32, false, false)
        case 167: STOREEL(d32, P32, uint32_t, LK32, true, false)
        case 315: STOREEL(d64, P64, uint64_t, LK64, false, false)
        case 314: STOREEL(d64, P64, uint64_t, LK64, true, false)
        case 63: STOREEL(tm, PT, uint32_t, LKT, false, false)
        case 256: STOREEL(tm, PT, uint32_t, LKT, true, false)
        case 60: STOREEL(d8, P8, uint8_t, LK8, false, true)
        case 166: STOREEL(d8, P8, uint8_t, LK8, true, true)
        case 62: STOREEL(d32, P32, uint32_t, LK32, false, true)
        case 168: STOREEL(d32, P32, uint32_t, LK32, true, true)
        case 347: STOREEL(d64, P64, uint64_t, LK64, false, true)
        case 346: STOREEL(d64, P64, uint64_t, LK64, true, true)
        case 64: case 169: {
            const uint32_t base = W(1), k = W(2), s = W(3);
            NEED(sp, s); NEED(d32, k);
            const uint32_t e = (base + Ld<uint32_t>(P32(k))) & 0xFFFF;
            if (e >= v.sp.n) FAULT(LOG_BOUNDS, k);
            if (op == 64 || !Locked(v, e, LKS)) Z7VMStr_Copy(db, e, s);
            break;
        }
        // ---- constants ----
        case 404: CONST(d8, P8, uint8_t, LK8, false, W(2) & 0xFF, false)
        case 405: CONST(d8, P8, uint8_t, LK8, true, W(2) & 0xFF, false)
        case 267: CONST(d16, P16, uint16_t, LK16, false, W(2), false)
        case 268: CONST(d16, P16, uint16_t, LK16, true, W(2), false)
        case 271: CONST(d32, P32, uint32_t, LK32, false, W32(2), false)
        case 272: CONST(d32, P32, uint32_t, LK32, true, W32(2), false)
        case 279: CONST(tm, PT, uint32_t, LKT, false, W32(2), true)
        case 280: CONST(tm, PT, uint32_t, LKT, true, W32(2), true)
        case 316: CONST(d64, P64, uint64_t, LK64, false, W64(2), false)
        case 317: CONST(d64, P64, uint64_t, LK64, true, W64(2), false)
        case 261: CONST(d8, P8, uint8_t, LK8, false, 1, false)
        case 263: CONST(d8, P8, uint8_t, LK8, true, 1, false)
        case 262: CONST(d8, P8, uint8_t, LK8, false, 0, false)
        case 264: CONST(d8, P8, uint8_t, LK8, true, 0, false)
        case 408: case 409: {
            const uint32_t d = W(1), n = W(2);
            if (ip + 3 + n > c.words) FAULT(LOG_UNDEF, op);
            NEED(sp, d);
            const uint32_t literal = c.addr + 2 * (ip + 2);
            if (op == 408 || !Locked(v, d, LKS)) {
                if (d != 0) {
                    Z7VMStr_DBForce(db, d, literal);
                } else if (ctreg != kNone) {
                    const uint8_t *slot = CtAt(v, ctreg, 3);
                    if (slot == nullptr || CtAt(v, ctreg, 3u + slot[0]) == nullptr) FAULT(LOG_BOUNDS, 0);
                    Z7VMStr_DBForcePtr(v.ct.addr + ctreg, literal);
                    ctreg = kNone;
                }
            }
            ip += 3 + n;
            continue;
        }
        // ---- edges and conversions ----
        case 197: case 204: case 196: case 203: {
            const uint32_t d = W(1), in = W(2), m = W(3);
            NEED(d8, d); NEED(d8, in); NEED(d8, m);
            const uint8_t x = *P8(in), mem = *P8(m);
            const bool first = (Ld<uint32_t>(v.status + ST_OPTIONS) & Z7O_CHANGED) != 0;
            const bool edge = !first && ((op == 197 || op == 204) ? (x && !mem) : (!x && mem));
            if ((op == 197 || op == 196) || !Locked(v, d, LK8)) *P8(d) = edge ? 1 : 0;
            *P8(m) = x;
            break;
        }
        case 205: case 207: {
            const uint32_t d = W(1), dt = W(3);
            uint8_t bit = 0;
            switch (dt) {
            case 1: case 10: case 14: bit = LK8; break;
            case 11: case 15: bit = LK16; break;
            case 2: case 3: case 16: bit = LK32; break;
            case 12: case 13: bit = LK64; break;
            case 4: bit = LKT; break;
            case 5: bit = LKS; break;
            default: break;
            }
            if (op == 205 || bit == 0 || !Locked(v, d, bit)) Z7VMCnv_Convert(db, c.addr + 2 * (ip + 1));
            break;
        }
        // ---- external variables ----
        case 424: XVREAD(d8, P8, 1, LK8, false, false)
        case 425: XVREAD(d16, P16, 2, LK16, false, false)
        case 426: XVREAD(d32, P32, 4, LK32, false, false)
        case 427: XVREAD(d64, P64, 8, LK64, false, false)
        case 428: XVREAD(tm, PT, 4, LKT, false, false)
        case 429: XVSTR(true, false, false)
        case 442: XVREAD(d8, P8, 1, LK8, true, false)
        case 443: XVREAD(d16, P16, 2, LK16, true, false)
        case 444: XVREAD(d32, P32, 4, LK32, true, false)
        case 445: XVREAD(d64, P64, 8, LK64, true, false)
        case 446: XVREAD(tm, PT, 4, LKT, true, false)
        case 447: XVSTR(true, true, false)
        case 430: XVWRITE(d8, P8, 1, false, false)
        case 431: XVWRITE(d16, P16, 2, false, false)
        case 432: XVWRITE(d32, P32, 4, false, false)
        case 433: XVWRITE(d64, P64, 8, false, false)
        case 434: XVWRITE(tm, PT, 4, false, false)
        case 435: XVSTR(false, false, false)
        case 448: XVWRITE(d8, P8, 1, true, false)
        case 449: XVWRITE(d16, P16, 2, true, false)
        case 450: XVWRITE(d32, P32, 4, true, false)
        case 451: XVWRITE(d64, P64, 8, true, false)
        case 452: XVWRITE(tm, PT, 4, true, false)
        case 453: XVSTR(false, true, false)
        case 456: XVREAD(d8, P8, 1, LK8, false, true)
        case 457: XVREAD(d16, P16, 2, LK16, false, true)
        case 458: XVREAD(d32, P32, 4, LK32, false, true)
        case 459: XVREAD(d64, P64, 8, LK64, false, true)
        case 460: XVREAD(tm, PT, 4, LKT, false, true)
        case 461: XVSTR(true, false, true)
        case 468: XVREAD(d8, P8, 1, LK8, true, true)
        case 469: XVREAD(d16, P16, 2, LK16, true, true)
        case 470: XVREAD(d32, P32, 4, LK32, true, true)
        case 471: XVREAD(d64, P64, 8, LK64, true, true)
        case 472: XVREAD(tm, PT, 4, LKT, true, true)
        case 473: XVSTR(true, true, true)
        case 462: XVWRITE(d8, P8, 1, false, true)
        case 463: XVWRITE(d16, P16, 2, false, true)
        case 464: XVWRITE(d32, P32, 4, false, true)
        case 465: XVWRITE(d64, P64, 8, false, true)
        case 466: XVWRITE(tm, PT, 4, false, true)
        case 467: XVSTR(false, false, true)
        case 474: XVWRITE(d8, P8, 1, true, true)
        case 475: XVWRITE(d16, P16, 2, true, true)
        case 476: XVWRITE(d32, P32, 4, true, true)
        case 477: XVWRITE(d64, P64, 8, true, true)
        case 478: XVWRITE(tm, PT, 4, true, true)
        case 479: XVSTR(false, true, true)
        case 436: case 437: case 438: case 440: case 439: {
            const uint32_t x = W(1);
            const uint32_t width = op == 436 ? 1 : op == 437 ? 2 : op == 439 ? 8 : 4;
            XVPTR(x, width, false, xp);
            const uint64_t val = op == 436 ? (W(2) & 0xFF) : op == 437 ? W(2) : op == 439 ? W64(2) : W32(2);
            PutBytes(xp, val, width);
            break;
        }
        case 441: {
            const uint32_t x = W(1), n = W(2);
            if (ip + 3 + n > c.words) FAULT(LOG_UNDEF, op);
            XVPTR(x, 3, false, xp);
            (void)xp;
            Z7VMStr_DBForcePtr(Ld<uint32_t>(v.xv.p + 4 * x), c.addr + 2 * (ip + 2));
            ip += 3 + n;
            continue;
        }
        // ---- calls ----
        case 285: {
            const uint32_t n = W(2);
            if (ip + 3 + n > c.words) FAULT(LOG_UNDEF, op);
            if (Z7VMStf_Execute(db, c.addr + 2 * (ip + 1)) == 0) {
                SetFlags(v, uint16_t((Flags(v) & 0xFFF0) | Z7F_STOPPED));
                return 0;
            }
            ip += 3 + n;
            continue;
        }
        case 286: {
            const uint32_t cf = W(1), n = W(2);
            if (ip + 4 + n > c.words) FAULT(LOG_UNDEF, op);
            if (cf == 0) FAULT(LOG_UNDEF, cf);
            NEED(cfn, cf);
            Z7Fbl_Call(Ld<uint32_t>(v.cfn.p + 24 * cf + 16), FB_EXEC, db, 0, 0, c.addr + 2 * (ip + 3));
            ip += 4 + n;
            continue;
        }
        case 287: case 535: {
            uint32_t k = W(1);
            const uint32_t n = W(2);
            if (ip + 3 + n > c.words) FAULT(LOG_UNDEF, op);
            if (op == 535) {
                NEED(d32, k);
                const uint8_t *p = CtAt(v, Ld<uint32_t>(P32(k)), 2);
                if (p == nullptr) FAULT(LOG_BOUNDS, k);
                k = Ld<uint16_t>(p);
                if (k == 0 || k >= v.inst.n || Ld<uint32_t>(v.inst.p + 20 * k + 4) == Z7H_NONE) {
                    Z7EVSTRACE("Invalid FB index encoutered: %u", k);
                    SetFlags(v, uint16_t((Flags(v) & 0xFFF0) | Z7F_STOPPED));
                    return 0;
                }
            } else {
                if (k == 0) FAULT(LOG_UNDEF, k);
                NEED(inst, k);
            }
            const uint8_t *e = v.inst.p + 20 * k;
            Z7Fbl_Call(Ld<uint32_t>(e + 4), FB_EXEC, db, Ld<uint32_t>(e + 8), Ld<uint32_t>(e + 12),
                       c.addr + 2 * (ip + 3));
            ip += 3 + n;
            continue;
        }
        case 536: case 537: {
            uint32_t h = Z7H_NONE, cls = 0, in = 0;
            const uint32_t k = W(1);
            if (op == 536) {
                if (k > 0 && k < v.cfn.n) h = Ld<uint32_t>(v.cfn.p + 24 * k + 16);
            } else {
                NEED(d32, k);
                const uint8_t *p = CtAt(v, Ld<uint32_t>(P32(k)), 2);
                const uint32_t i = p ? Ld<uint16_t>(p) : 0;
                if (i > 0 && i < v.inst.n) {
                    h = Ld<uint32_t>(v.inst.p + 20 * i + 4);
                    cls = Ld<uint32_t>(v.inst.p + 20 * i + 8);
                    in = Ld<uint32_t>(v.inst.p + 20 * i + 12);
                }
            }
            if (h == Z7H_NONE || Z7Fbl_Call(h, FB_AVAIL, db, cls, in, 0) == 0) {
                Z7EVSTRACE(op == 536 ? "Argument type not supported by function"
                                     : "Argument type not supported by function block");
                FAULT(LOG_UNDEF, 0);
            }
            break;
        }
        case 552: {
            const uint32_t d = W(1), type = W(2), base = W(3), k = W(4);
            NEED(d32, d); NEED(d32, k);
            const uint32_t addr = Z7Tools_GetAnyParam(db, type, (base + Ld<uint32_t>(P32(k))) & 0xFFFF);
            if (addr == 0) FAULT(LOG_BOUNDS, k);
            St<uint32_t>(P32(d), addr);
            break;
        }
        case 553: {
            const uint32_t d = W(1), k = W(2);
            NEED(d32, d); NEED(d32, k);
            St<uint32_t>(P32(d), v.ct.addr + Ld<uint32_t>(P32(k)));
            break;
        }
        // ---- SFC ----
        case 412: {
            const uint32_t s = W(1);
            NEED(step, s);
            uint8_t *sp = STEPP(s);
            const uint16_t state = Ld<uint16_t>(sp + 8);
            const uint16_t pstate = cur < v.prog.n ? Ld<uint16_t>(PROGP(cur) + PG_STATE) : 0;
            if (state == 0) JUMP_REL(4);
            if (state == 3 || (state == 1 && (pstate & 0x20))) {
                St<uint16_t>(sp + 8, 0);
                JUMP_REL(3);
            }
            if (state == 2) {
                St<uint16_t>(sp + 8, 1);
                St<uint32_t>(sp, 0);
                St<uint32_t>(sp + 4, v.now);
                JUMP_REL(2);
            }
            if (state == 1) StepAdvance(sp, v.now);
            break;
        }
        case 413: case 417: {
            const uint32_t t = W(2);
            NEED(trans, t);
            const uint16_t pstate = cur < v.prog.n ? Ld<uint16_t>(PROGP(cur) + PG_STATE) : 0;
            uint16_t value = (pstate & 0x20) ? 0 : 1;
            uint32_t n = 1, first = 3;
            if (op == 413) {
                n = W(3);
                first = 4;
                if (ip + 4 + n > c.words) FAULT(LOG_UNDEF, op);
            }
            for (uint32_t i = 0; i < n; i++) {
                const uint32_t s = W(first + i);
                NEED(step, s);
                if (Ld<uint16_t>(STEPP(s) + 8) != 1) value = 0;
            }
            St<uint16_t>(TRANSP(t), value);
            if (value == 0) JUMP_REL(1);
            ip += first + n;
            continue;
        }
        case 107: {
            const uint32_t t = W(1), b = W(2);
            NEED(trans, t); NEED(d8, b);
            St<uint16_t>(TRANSP(t), *P8(b));
            break;
        }
        case 414: case 415: case 416: {
            const uint32_t t = W(1), n = W(2);
            if (ip + 3 + n > c.words) FAULT(LOG_UNDEF, op);
            bool fire;
            if (op == 416) {
                fire = cur < v.prog.n && Ld<uint16_t>(PROGP(cur) + PG_STATE) == Z7P_CHILD;
                if (fire) St<uint16_t>(PROGP(cur) + PG_STATE, Z7P_ACTIVE);
            } else {
                NEED(trans, t);
                fire = Ld<uint16_t>(TRANSP(t)) != 0;
            }
            if (fire)
                for (uint32_t i = 0; i < n; i++) {
                    const uint32_t s = W(3 + i);
                    NEED(step, s);
                    St<uint16_t>(STEPP(s) + 8, op == 414 ? 3 : 2);
                }
            if (op == 415 && fire && Ld<uint16_t>(TRANSP(t) + 2) != 0) {
                SetFlags(v, uint16_t(Flags(v) & ~(Z7F_RUN | Z7F_STEP)));
                return 1;
            }
            ip += 3 + n;
            continue;
        }
        case 418: {
            const uint32_t t = W(1), a = W(2), b = W(3);
            NEED(trans, t); NEED(step, a); NEED(step, b);
            if (Ld<uint16_t>(TRANSP(t)) != 0) {
                St<uint16_t>(STEPP(a) + 8, 3);
                St<uint16_t>(STEPP(b) + 8, 2);
                if (Ld<uint16_t>(TRANSP(t) + 2) != 0) {
                    SetFlags(v, uint16_t(Flags(v) & ~(Z7F_RUN | Z7F_STEP)));
                    return 1;
                }
            }
            break;
        }
        case 419: {
            const uint32_t s = W(1);
            NEED(step, s);
            if (cur < v.prog.n && Ld<uint16_t>(PROGP(cur) + PG_STATE) == Z7P_CHILD) {
                St<uint16_t>(PROGP(cur) + PG_STATE, Z7P_ACTIVE);
                St<uint16_t>(STEPP(s) + 8, 2);
                St<uint32_t>(STEPP(s), 0);
            }
            break;
        }
        case 547: {
            const uint32_t s = W(1), val = W(2);
            NEED(step, s);
            St<uint16_t>(STEPP(s) + 8, uint16_t(val));
            if (val == 1) {
                St<uint32_t>(STEPP(s), 0);
                St<uint32_t>(STEPP(s) + 4, v.now);
            }
            break;
        }
        case 548: {
            const uint32_t s = W(1), flag = W(2);
            NEED(step, s);
            if (flag) StepAdvance(STEPP(s), v.now);
            else St<uint32_t>(STEPP(s), 0);
            St<uint32_t>(STEPP(s) + 4, v.now);
            break;
        }
        case 549: {
            const uint32_t t = W(1);
            NEED(trans, t);
            if (Ld<uint16_t>(TRANSP(t) + 2) != 0) {
                SetFlags(v, uint16_t(Flags(v) & ~(Z7F_RUN | Z7F_STEP)));
                return 1;
            }
            break;
        }
        case 550: {
            const uint32_t t = W(1);
            NEED(trans, t);
            if (Ld<uint16_t>(TRANSP(t)) == 0) JUMP_ABS(W(2));
            break;
        }
        case 551: {
            const uint32_t k = W(1);
            NEED(d32, k);
            if (cur < v.prog.n && (Ld<uint16_t>(PROGP(cur) + PG_STATE) & 0x20)) {
                St<uint32_t>(P32(k), 0);
                JUMP_ABS(W(2));
            }
            break;
        }
        case 208: case 209: {
            const uint32_t d = W(1), s = W(2);
            NEED(step, s);
            uint8_t *sp = STEPP(s);
            if (op == 208) {
                NEED(d8, d);
                if (!Locked(v, d, LK8)) *P8(d) = Ld<uint16_t>(sp + 8) != 0 ? 1 : 0;
            } else {
                NEED(tm, d);
                if (!Locked(v, d, LKT)) {
                    const uint32_t e = Ld<uint16_t>(sp + 8) == 1 ? StepAdvance(sp, v.now) : Ld<uint32_t>(sp);
                    St<uint32_t>(PT(d), e);
                }
            }
            break;
        }
        case 420: {
            const uint32_t n = W(1);
            if (ip + 2 + n > c.words) FAULT(LOG_UNDEF, op);
            if (cur == 0 || cur >= v.prog.n) return 1;
            uint8_t *e = PROGP(cur);
            if (!(Ld<uint16_t>(e + PG_STATE) & 0x20)) return 1;
            for (uint32_t i = 0; i < n; i++) {
                const uint32_t p = W(2 + i);
                NEED(prog, p);
                const uint16_t s = Ld<uint16_t>(PROGP(p) + PG_STATE);
                if (s & Z7P_ACTIVE) St<uint16_t>(PROGP(p) + PG_STATE, uint16_t(s | 0x20));
            }
            St<uint16_t>(e + PG_STATE, 0);
            return 1;
        }
        case 540: { const uint32_t s = W(1); if (s) NEED(step, s); Z7VMTic_SetSfcBreakS(db, s, W(2)); break; }
        case 541: { const uint32_t t = W(1); if (t) NEED(trans, t); Z7VMTic_SetSfcBreakT(db, t, W(2)); break; }
        // ---- program control ----
        case 187: case 188: case 189: case 190: {
            const uint32_t p = W(1);
            NEED(prog, p);
            uint8_t *e = PROGP(p);
            uint16_t s = Ld<uint16_t>(e + PG_STATE);
            const uint16_t kind = Ld<uint16_t>(e + PG_KIND);
            if (op == 187 && s == 0) s = kind != 0 ? Z7P_CHILD : Z7P_ACTIVE;
            else if (op == 188 && s == 1) s = 3;
            else if (op == 189 && (s & Z7P_ACTIVE)) {
                s = uint16_t(s & ~Z7P_SUSPENDED);
                s = kind == 0 ? 0 : uint16_t(s | 0x20);
            } else if (op == 190 && (s & 3) == 3) s = uint16_t(s & ~Z7P_SUSPENDED);
            St<uint16_t>(e + PG_STATE, s);
            break;
        }
        case 193: case 200: {
            const uint32_t d = W(1), p = W(2);
            NEED(d32, d); NEED(prog, p);
            const uint16_t s = Ld<uint16_t>(PROGP(p) + PG_STATE);
            St<int32_t>(P32(d), s == 1 ? 1 : (s & Z7P_SUSPENDED) ? 2 : 0);
            break;
        }
        case 545: {
            const uint16_t s = cur < v.prog.n ? Ld<uint16_t>(PROGP(cur) + PG_STATE) : 0;
            if (!(s & W(1))) JUMP_ABS(W(2));
            break;
        }
        case 546: if (cur > 0 && cur < v.prog.n) St<uint16_t>(PROGP(cur) + PG_STATE, W(1)); break;
        // ---- timers ----
        case 275: case 277: case 276: case 278: {
            const uint32_t t = W(1);
            NEED(tm, t);
            if (op == 275 || op == 277) Z7VMTmr_StartTimer(db, v.tm.addr + 4 * t);
            else Z7VMTmr_StopTimer(db, v.tm.addr + 4 * t);
            break;
        }
        case 538: case 539: {
            const uint32_t k = W(1);
            NEED(d32, k);
            const uint32_t off = Ld<uint32_t>(P32(k));
            if (CtAt(v, off, 4) == nullptr) FAULT(LOG_BOUNDS, k);
            if (op == 538) Z7VMTmr_StartTimer(db, v.ct.addr + off);
            else Z7VMTmr_StopTimer(db, v.ct.addr + off);
            break;
        }
        // ---- CT segment ----
        case 533: ctreg = W32(1); break;
        case 531: case 566: case 532: case 567: {
            const uint32_t cls = W(1), var = W(2), k = W(3);
            NEED(d32, k);
            const CtClass cc = CtClassOf(cls);
            if (cc.width != 0 && var >= Z7Sec_Get(db, cc.sec, SD_ALLOC)) FAULT(LOG_UNDEF, var);
            const uint32_t ok = (op == 531 || op == 566) ? Z7VMTic_GetCTSegItem(db, cls, var, Ld<int32_t>(P32(k)))
                                                         : Z7VMTic_SetCTSegItem(db, cls, var, Ld<int32_t>(P32(k)));
            if (!ok) FAULT(LOG_BOUNDS, k);
            break;
        }
        case 555: {
            const uint32_t a = W(1), b = W(2), n = W(3);
            NEED(d32, a); NEED(d32, b); NEED(d32, n);
            if (!Z7VMTic_CTMemcpy(db, Ld<int32_t>(P32(a)), Ld<int32_t>(P32(b)), Ld<int32_t>(P32(n))))
                FAULT(LOG_BOUNDS, a);
            break;
        }
        // ---- status information and sampling (registers only here) ----
        case 568: break;
        case 569: case 481: break;
        case 480: {
            const uint32_t n = W(9);
            if (ip + 10 + n > c.words) FAULT(LOG_UNDEF, op);
            ip += 10 + n;
            continue;
        }
        default: FAULT(LOG_UNDEF, op);
        }
        ip += 1 + kOps.n[op];
    }

fatal:
    Z7VMLog_Push(db, uint16_t(fault_code), uint16_t(fault_arg), cur + 65536u * (2u * (ip + 1u)));
    SetFlags(v, uint16_t((Flags(v) & 0xFFF0) | Z7F_STOPPED));
    return 0;
}

Z7VMTic_RunFn Z7VMTic_RunPtr = Z7VMTic_Run;
