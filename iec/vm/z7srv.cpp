// Workbench VM requests and object reads. Every length comes from the request
// and is checked against the bytes the frame carries; every sub-index is
// checked against its section before a byte is read; answers never pass the
// caller's buffer.
#include "iec/vm/z7srv.h"

#include <cstring>

#include "core/image/bytes.h"
#include "iec/vm/z7bsmp.h"
#include "iec/vm/z7code_internal.h"
#include "iec/vm/z7heap.h"
#include "iec/vm/z7hooks.h"
#include "iec/vm/z7interp.h"
#include "iec/vm/z7ops.h"
#include "iec/vm/z7map.h"
#include "iec/vm/z7parts.h"
#include "iec/vm/z7str.h"
#include "iec/vm/z7vm.h"

namespace {
// Object reads hold at most 1018 bytes after the count byte, not 1022: the
// communication server's frame size (1..1024) also counts the kind byte and
// the 4-byte answer header, so 1023 bytes of answer is the most one frame
// carries. A longer read would not fit the channel's answer frame and a peer
// would drop it as a frame of bad size.
constexpr uint32_t kReadRoom = Z7VM_ANSWER_MAX - 5;  // after the header and the count byte
constexpr uint32_t kExecSize = 1024;
constexpr uint8_t kEndOp = 68;
constexpr char kRuntimeText[] = "Z7 Multithreaded VM under LINUX (no RT extension)";
constexpr char kVendor[17] = "Valmar Z7 PLC RT";

// Enumeration of block names for runtime information 5 and 6.
enum : uint8_t { SCAN_NONE = 0, SCAN_BUILTIN = 1, SCAN_EXT = 2 };
uint8_t scan_phase = SCAN_NONE;
uint32_t scan_id = 0;

struct Out {
    uint8_t *p;
    uint32_t n, cap;
    bool Room(uint32_t k) const { return k <= cap - n; }
    void B(uint8_t v) { p[n++] = v; }
    void W(uint16_t v) {
        BE_Put16(p + n, v);
        n += 2;
    }
    void L(uint32_t v) {
        BE_Put32(p + n, v);
        n += 4;
    }
    void Bytes(const void *s, uint32_t k) {
        std::memcpy(p + n, s, k);
        n += k;
    }
};

uint8_t LockByte(uint32_t db, uint32_t idx) {
    const uint32_t e = Z7Sec_Elem(db, Z7SEC_LOCK, idx);
    return e ? Z7Mem_Get8(e) : 0;
}

// Value bytes of width at address a (arena), written big-endian.
bool PutValue(Out &o, uint32_t a, uint32_t width) {
    if (a == 0 || Z7Mem_Ptr(a, width) == nullptr || !o.Room(width)) return false;
    if (width == 1)
        o.B(Z7Mem_Get8(a));
    else if (width == 2)
        o.W(Z7Mem_Get16(a));
    else if (width == 4)
        o.L(Z7Mem_Get32(a));
    else {
        o.L(Z7Mem_Get32(a + 4));
        o.L(Z7Mem_Get32(a));
    }
    return true;
}

// {length n, n characters, the byte after them} of a string whose length
// byte is at len_addr and whose text ends before end.
bool PutString(Out &o, uint32_t len_addr, uint32_t end) {
    if (len_addr == 0 || len_addr >= end) return false;
    const uint32_t n = Z7Mem_Get8(len_addr);
    const uint8_t *text = Z7Mem_Ptr(len_addr, n + 2);
    if (text == nullptr || uint64_t(len_addr) + 1 + n + 1 > end || !o.Room(n + 2)) return false;
    o.B(uint8_t(n));
    o.Bytes(text + 1, n + 1);
    return true;
}

uint32_t SecEnd(uint32_t db, uint32_t sec) { return Z7Sec_Addr(db, sec) + Z7Sec_Bytes(db, sec); }

const char *NextBlockName() {
    for (;;) {
        if (scan_phase == SCAN_BUILTIN) {
            scan_id = Z7Blocks_GetNextID(scan_id);
            if (scan_id != 0) return Z7Blocks_GetName(scan_id);
            scan_phase = Z7Bdll_StartEnumerate() ? SCAN_EXT : SCAN_NONE;
            if (scan_phase == SCAN_EXT) {
                scan_id = Z7Bdll_GetFirstID();
                if (scan_id != 0) return Z7Bdll_GetName(scan_id);
                Z7Bdll_StopEnumerate();
                scan_phase = SCAN_NONE;
            }
            return nullptr;
        }
        if (scan_phase == SCAN_EXT) {
            scan_id = Z7Bdll_GetNextID(scan_id);
            if (scan_id != 0) return Z7Bdll_GetName(scan_id);
            Z7Bdll_StopEnumerate();
        }
        scan_phase = SCAN_NONE;
        return nullptr;
    }
}

void PutName(Out &o, const char *name) {
    const uint32_t n = name ? uint32_t(strnlen(name, 254)) : 0;
    if (n == 0) {
        o.B(0);
        return;
    }
    o.B(uint8_t(n + 1));
    o.Bytes(name, n);
    o.B(0);
}

bool RuntimeInfo(Out &o, uint32_t db, uint32_t sub) {
    if (!o.Room(280)) return false;
    const uint32_t st = Z7VM_Status(db);
    auto u32 = [&](uint32_t v) {
        o.B(4);
        o.L(v);
    };
    switch (sub) {
    case 1: u32(db ? Z7Mem_Get32(st + ST_OPTIONS) | 0x80000000u : 0x80000000u); return true;
    case 2: u32(0xDF7FFFFFu); return true;
    case 3: u32(0x1BE29FFFu); return true;
    case 4: u32(0x00090101u); return true;
    case 5: {
        if (scan_phase == SCAN_EXT) Z7Bdll_StopEnumerate();
        scan_phase = SCAN_BUILTIN;
        scan_id = Z7Blocks_GetFirstID();
        PutName(o, Z7Blocks_GetProc(scan_id) ? Z7Blocks_GetName(scan_id) : NextBlockName());
        return true;
    }
    case 6: PutName(o, scan_phase == SCAN_NONE ? nullptr : NextBlockName()); return true;
    case 7:
        o.B(sizeof kRuntimeText);
        o.Bytes(kRuntimeText, sizeof kRuntimeText);
        return true;
    case 8:
        o.B(17);
        o.Bytes(kVendor, 17);
        return true;
    case 9: u32(0x0913E94Eu); return true;
    case 10: {
        if (db == 0) return false;
        const uint32_t at = o.n;
        o.B(0);
        o.L(Z7Mem_Get32(st + ST_LOCKED));
        const uint32_t lock = Z7Sec_Addr(db, Z7SEC_LOCK), count = Z7Sec_Get(db, Z7SEC_LOCK, SD_ALLOC);
        uint32_t used = 4;
        for (uint32_t i = 0; i < count && used < 249; i++) {
            const uint8_t b = Z7Mem_Get8(lock + i);
            if (b == 0) continue;
            o.W(uint16_t(i));
            o.B(b);
            used += 3;
        }
        o.W(0xFFFF);
        o.p[at] = uint8_t(used + 2);
        return true;
    }
    case 11: u32(db ? Z7Mem_BlockSize(db) : 0); return true;
    case 12: {
        const uint32_t heap = db ? Z7Mem_Get32(Z7VM_Header(db) + HD_HEAP) : 0;
        // a malloc heap has no fixed size: its -1 goes out as it is
        u32(heap ? uint32_t(Z7Heap_GetFreeSpace(heap)) : 0);
        return true;
    }
    case 13: u32(db ? Z7Mem_Get32(st + ST_SECONDS) : 0); return true;
    case 14: u32(db ? Z7Mem_Get32(st + ST_MILLIS) : 0); return true;
    case 15: u32(0); return true;
    default: o.B(0); return true;
    }
}

// Typed variable objects 9..14 (XV: 20..25; CT: from the complex-type
// segment at ct when is_ct).
bool Variable(Out &o, uint32_t db, uint32_t type, uint32_t sub, bool is_ct, uint32_t ct) {
    static constexpr uint32_t kSec[6] = {Z7SEC_D8, Z7SEC_D16, Z7SEC_D32, Z7SEC_D64, Z7SEC_TIME, Z7SEC_STRPTR};
    static constexpr uint32_t kWidth[6] = {1, 2, 4, 8, 4, 0};
    static constexpr uint8_t kLock[6] = {0x01, 0x02, 0x04, 0x08, 0x10, 0x20};
    const bool xv = type >= 20;
    // XV kinds 20..25: 8, 16, 32, 64, TIME, STRING
    const uint32_t k = xv ? (type == 24 ? 4 : type == 23 ? 3 : type == 22 ? 2 : type - 20) : type - 9;
    if (!o.Room(2)) return false;
    if (is_ct) {
        const uint32_t base = Z7Sec_Addr(db, Z7SEC_CT), end = SecEnd(db, Z7SEC_CT);
        if (!(Z7St_Flags(db) & Z7F_CT) || base == 0 || ct >= end - base) return false;
        o.B(0);
        if (k == 5) return PutString(o, base + ct + 1, end);
        if (kWidth[k] > end - base - ct) return false;
        return PutValue(o, base + ct, kWidth[k]);
    }
    if (xv) {
        const uint32_t e = Z7Sec_Elem(db, Z7SEC_XV, sub);
        const uint32_t a = e ? Z7Mem_Get32(e) : 0;
        if (a == 0) return false;
        o.B((LockByte(db, sub) & Z7LK_EXT) ? 1 : 0);
        if (k == 5) return Z7Mem_Ptr(a, 2) && PutString(o, a + 1, Z7MEM_SIZE);
        return PutValue(o, a, kWidth[k]);
    }
    o.B((LockByte(db, sub) & kLock[k]) ? 1 : 0);
    if (k == 5) {
        const uint32_t slot = sub < Z7Sec_Get(db, Z7SEC_STRPTR, SD_USED) ? Z7VMStr_Slot(db, sub) : 0;
        const uint32_t buf = Z7Sec_Addr(db, Z7SEC_STRBUF);
        if (slot == 0 || slot < buf) return false;
        return PutString(o, slot + 1, SecEnd(db, Z7SEC_STRBUF));
    }
    const uint32_t e = Z7Sec_Elem(db, kSec[k], sub);
    return e != 0 && PutValue(o, e, kWidth[k]);
}

// The call stack the workbench reads: the live one, or while a break holds a
// program (the live stack is then empty, as the interpreter moved the held
// frames into the slice of the program that called the held one) the frames
// saved with that program, its last frame being the held program.
struct Stack {
    uint32_t frames, depth, count;  // count: frames the section holds from there
};
Stack CallStack(uint32_t db) {
    const uint32_t cs = Z7Sec_Addr(db, Z7SEC_CSTACK), depth = Z7Sec_Get(db, Z7SEC_CSTACK, SD_USED);
    const uint32_t alloc = Z7Sec_Get(db, Z7SEC_CSTACK, SD_ALLOC), progs = Z7Sec_Get(db, Z7SEC_PROG, SD_ALLOC);
    const uint16_t held = Z7Mem_Get16(Z7VM_Status(db) + ST_BRK_PROG);
    if (depth != 0 || held == 0 || cs == 0) return {cs, depth, alloc};
    for (uint32_t k = 1; k < progs; k++) {
        const uint32_t p = Z7Sec_Elem(db, Z7SEC_PROG, k);
        const uint32_t saved = p ? Z7Mem_Get16(p + PG_SAVED) : 0, base = p ? Z7Mem_Get16(p + PG_BASE) : 0;
        if (saved < 2 || base == 0 || base + saved > alloc) continue;
        if (Z7Mem_Get16(cs + 4 * (base + saved - 1)) == held) return {cs + 4 * base, saved - 1, saved};
    }
    return {cs, 0, alloc};
}

bool BreakInfo(Out &o, uint32_t db, uint32_t sub) {
    if (!o.Room(4)) return false;
    const uint32_t st = Z7VM_Status(db);
    const Stack stack = CallStack(db);
    const uint32_t depth = stack.depth;
    if (sub >= 128 && sub <= 143) {
        const uint32_t bp = st + ST_BREAKPOINTS + 8 * (sub - 128);
        const uint16_t prog = Z7Mem_Get16(bp), pos = Z7Mem_Get16(bp + 2), kind = Z7Mem_Get16(bp + 4);
        // a one-shot breakpoint is answered as a call-stack index (below)
        if (kind != 2) {
            o.W(uint16_t(kind == 3 ? prog | 0x8000 : prog));
            o.W(pos);
            return true;
        }
    }
    if (sub >= 1 && sub <= depth) {
        const uint32_t e = stack.frames + 4 * (sub - 1);
        if (stack.frames == 0 || sub - 1 >= stack.count || Z7Mem_Ptr(e, 4) == nullptr) return false;
        o.W(Z7Mem_Get16(e));
        o.W(uint16_t(Z7Mem_Get16(e + 2) - 2));
        return true;
    }
    o.L(0);
    return true;
}

// Body of one item; false when it cannot be answered.
bool Body(Out &o, uint32_t db, uint32_t type, uint32_t sub, bool is_ct, uint32_t ct) {
    const uint32_t st = Z7VM_Status(db);
    if (type != 0 && type != 1 && type != 2 && type != 3 && db == 0) return false;
    switch (type) {
    case 0: return RuntimeInfo(o, db, sub);
    case 1: {
        const char *name = db ? reinterpret_cast<const char *>(Z7Mem_Ptr(st + ST_NAME, 16)) : nullptr;
        const uint32_t n = name ? uint32_t(strnlen(name, 15)) : 0;
        if (!o.Room(n + 2)) return false;
        o.B(uint8_t(n));
        if (n) o.Bytes(name, n);
        o.B(0);
        return true;
    }
    case 2: {
        // the body is 2 bytes, 6 in step mode: only those must fit
        const uint16_t f = db ? Z7St_Flags(db) : 0;
        if (!o.Room((f & Z7F_STEP) ? 6 : 2)) return false;
        o.W(f);
        if (f & Z7F_STEP) {
            // at depth d entries 0..d-1 are the callers and entry d holds the
            // program running when the break came
            const uint32_t depth = Z7Sec_Get(db, Z7SEC_CSTACK, SD_USED);
            const uint32_t top = depth ? Z7Sec_Elem(db, Z7SEC_CSTACK, depth) : 0;
            o.W(top ? Z7Mem_Get16(top) : Z7Mem_Get16(st + ST_BRK_PROG));
            o.W(Z7Mem_Get16(st + ST_BRK_POS));
        }
        return true;
    }
    case 3:
        if (!o.Room(4)) return false;
        o.Bytes(".XTI", 4);
        return true;
    case 4:
    case 5:
    case 6:
    case 7: {
        if (!o.Room(4)) return false;
        uint32_t v = 0;
        if (type == 4)
            v = Z7Mem_Get32(st + ST_APP4);
        else if (type == 5)
            v = Z7Mem_Get32(st + ST_APP5);
        else if (type == 6)
            v = sub == 0 ? Z7Mem_Get32(st + ST_APP34) : sub == 1 ? Z7Mem_Get32(st + ST_APPPRE7) : 0;
        else {
            static constexpr uint32_t kField[4] = {ST_LAST, ST_PERIOD, ST_LONGEST, ST_OVERRUNS};
            v = sub < 4 ? Z7Mem_Get32(st + kField[sub]) : 0;
        }
        o.L(v);
        return true;
    }
    case 9:
    case 10:
    case 11:
    case 12:
    case 13:
    case 14:
    case 20:
    case 21:
    case 22:
    case 23:
    case 24:
    case 25: return Variable(o, db, type, sub, is_ct, ct);
    // Programs, steps and transitions are numbered from 1, but entry 0 is in
    // each table too: it reads like any other (a program or step that never
    // ran) instead of failing the whole read. Only an index past the table
    // is refused.
    case 15: {
        if (!o.Room(2)) return false;
        const uint32_t e = Z7Sec_Elem(db, Z7SEC_PROG, sub);
        if (e == 0) return false;
        o.W(Z7Mem_Get16(e + PG_STATE));
        return true;
    }
    case 16: {
        if (!o.Room(8)) return false;
        uint16_t code = 0, arg = 0;
        uint32_t arg32 = 0;
        if (!Z7VMLog_PopSys(&code)) Z7VMLog_Pop(db, &code, &arg, &arg32);
        o.W(code);
        o.W(arg);
        o.L(arg32);
        return true;
    }
    case 17: {
        if (!o.Room(257)) return false;
        char text[256];
        uint32_t n = 0;
        const uint32_t count = Z7Mem_Get16(st + ST_UNRESCOUNT);
        for (uint32_t i = 0; i < count; i++) {
            const uint32_t a = Z7VMLog_GetUnresolved(db, i);
            const uint8_t *s = a ? Z7Mem_Ptr(a, 16) : nullptr;
            if (s == nullptr) continue;
            const uint32_t len = uint32_t(strnlen(reinterpret_cast<const char *>(s), 16));
            if (n + 1 + len > 255) continue;
            text[n] = n == 0 ? ' ' : ',';
            n++;
            std::memcpy(text + n, s, len);
            n += len;
        }
        o.B(uint8_t(n));
        o.Bytes(text, n);
        o.B(0);
        return true;
    }
    case 18:
    case 33: {
        if (!o.Room(type == 33 ? 6 : 2)) return false;
        const uint32_t e = Z7Sec_Elem(db, Z7SEC_STEP, sub);
        if (e == 0) return false;
        const uint16_t state = Z7Mem_Get16(e + 8);
        o.B(state == 1 || state == 3 ? 1 : 0);
        o.B(uint8_t(Z7Mem_Get16(e + 10)));
        if (type == 33) o.L(Z7Mem_Get32(e));
        return true;
    }
    case 19: {
        if (!o.Room(2)) return false;
        const uint32_t e = Z7Sec_Elem(db, Z7SEC_TRANS, sub);
        if (e == 0) return false;
        o.B(Z7Mem_Get16(e) != 0 ? 1 : 0);
        o.B(uint8_t(Z7Mem_Get16(e + 2)));
        return true;
    }
    case 26:
    case 27: {
        const uint32_t n = type == 26 ? Z7VMBsmp_GetSettingsSize(db) : Z7VMBsmp_GetDataSize(db);
        if (!o.Room(n)) return false;
        o.n += type == 26 ? Z7VMBsmp_GetSettings(db, o.p + o.n) : Z7VMBsmp_GetData(db, o.p + o.n);
        return true;
    }
    case 28: {
        // past the map: 12 zero bytes, so the workbench reads the map to its end
        const uint32_t n = Z7Map_GetDescLength(db, sub);
        if (!o.Room(n)) return false;
        o.n += Z7Map_GetDesc(db, sub, o.p + o.n);
        return true;
    }
    case 29: return BreakInfo(o, db, sub);
    case 30:
        if (!o.Room(256)) return false;
        Z7Part_VMAsi_GetMasterProfiles(Z7Sec_Addr(db, Z7SEC_ASI), sub, o.p + o.n);
        o.n += 256;
        return true;
    case 32: {
        if (!o.Room(520)) return false;
        const uint32_t code = Z7Mem_Get32(Z7VM_Header(db) + HD_CODE);
        const uint32_t defs = (Z7St_Flags(db) & Z7F_CT) ? Z7VMCode_GetCTTypeDef(code) : 0;
        const uint32_t end = code + Z7VMCode_Length(code);
        uint32_t total = defs && end - defs >= 4 ? Z7Mem_Get32(defs) : 0;
        if (defs && total > end - defs) total = end - defs;
        const uint64_t from = uint64_t(sub) * 512;
        const uint32_t n = from < total ? uint32_t(total - from < 512 ? total - from : 512) : 0;
        o.L(total);
        o.W(uint16_t(n));
        o.W(0);
        if (n) o.Bytes(Z7Mem_Ptr(defs + uint32_t(from), n), n);
        return true;
    }
    default: return false;  // 8, 31 and unknown types
    }
}
}  // namespace

uint32_t Z7VM_ReadObjects(uint32_t db, const uint8_t *data, uint32_t len, uint8_t *answer, uint32_t cap) {
    if (data == nullptr || answer == nullptr || len < 1 || cap < 1) return 0;
    const uint32_t items = data[0];
    Out o{answer, 1, cap < 1 + kReadRoom ? cap : 1 + kReadRoom};
    uint32_t answered = 0, at = 1;
    bool ok = true;
    for (uint32_t i = 0; i < items && ok; i++) {
        if (!o.Room(4) || at + 3 > len) {
            ok = false;
            break;
        }
        uint32_t type = data[at], sub = BE_Get16(data + at + 1), ct = 0;
        bool is_ct = false;
        if (type == 31 && db && (Z7St_Flags(db) & Z7F_CT)) {
            if (at + 6 > len) {
                ok = false;
                break;
            }
            type = data[at + 1];
            ct = BE_Get32(data + at + 2);
            sub = 0;
            is_ct = true;
            at += 6;
            if (!((type >= 9 && type <= 14))) {
                ok = false;
                break;
            }
        } else {
            at += 3;
        }
        o.B(uint8_t(type));
        o.W(uint16_t(sub));
        const uint32_t before = o.n;
        ok = Body(o, db, type, sub, is_ct, ct);
        if (!ok) break;
        answered++;
        // descriptions continue by themselves with the following map items
        if (type == 28 && i + 1 == items && o.n - before > 12) {
            for (uint32_t next = sub + 1; answered < 50 && next < Z7Sec_Get(db, Z7SEC_MAPITEM, SD_ALLOC); next++) {
                const uint32_t n = Z7Map_GetDescLength(db, next);
                if (n <= 12 || !o.Room(3 + n + 14)) break;
                o.B(28);
                o.W(uint16_t(next));
                o.n += Z7Map_GetDesc(db, next, o.p + o.n);
                answered++;
            }
        }
    }
    answer[0] = uint8_t(answered);
    return ok ? o.n : 0;
}

uint32_t Z7VM_Execute(uint32_t db, const uint8_t *code, uint32_t len) {
    if (db == 0) return 0;
    const uint32_t st = Z7VM_Status(db);
    const uint32_t waiting = Z7Mem_Get16(st + ST_EXECLEN);
    const uint32_t buf = Z7Sec_Addr(db, Z7SEC_EXEC);
    const uint32_t size = Z7Sec_Bytes(db, Z7SEC_EXEC) < kExecSize ? Z7Sec_Bytes(db, Z7SEC_EXEC) : kExecSize;
    if (buf == 0 || waiting + len + 2 > size) return 5;
    for (uint32_t i = 0; i + 1 < len; i += 2) Z7Mem_Put16(buf + waiting + i, BE_Get16(code + i));
    Z7Mem_Put16(buf + waiting + len, kEndOp);
    Z7Mem_Put16(st + ST_EXECLEN, uint16_t(waiting + len));
    return 0;
}

namespace {
// Hysteresis of s bytes (big-endian) into 8 native bytes; false for a size
// other than 1, 2, 4, 8.
bool Hyster(const uint8_t *p, uint32_t s, uint8_t out[8]) {
    if (s != 1 && s != 2 && s != 4 && s != 8) return false;
    uint64_t v = 0;
    for (uint32_t i = 0; i < s; i++) v = v << 8 | p[i];
    for (uint32_t i = 0; i < 8; i++) out[i] = uint8_t(v >> (8 * i));
    return true;
}

uint32_t Subscribe(uint32_t db, const uint8_t *data, uint32_t len, uint8_t *answer, uint32_t cap, bool lng) {
    if (db == 0 || len < 1 || cap < 1) return 0;
    const uint32_t n = data[0], head = lng ? 10 : 6, echo = lng ? 7 : 3;
    uint32_t at = 1, out = 1;
    answer[0] = uint8_t(n);
    for (uint32_t r = 0; r < n && out + echo + 1 <= cap; r++) {
        uint8_t result = 1;
        std::memset(answer + out, 0, echo);
        if (at < len) std::memcpy(answer + out, data + at, len - at < echo ? len - at : echo);
        if (at + head <= len) {
            const uint32_t s = data[at + head - 1];
            if (at + head + 2 * s <= len) {
                const uint32_t type = data[at], index = BE_Get16(data + at + 1);
                const uint32_t ct = lng ? BE_Get32(data + at + 3) : 0;
                const uint32_t client = BE_Get16(data + at + (lng ? 7 : 3));
                uint8_t up[8] = {}, lo[8] = {};
                const bool sized = s == 0 || (Hyster(data + at + head, s, up) && Hyster(data + at + head + s, s, lo));
                if (sized && Z7VM_Hooks.register_change &&
                    Z7VM_Hooks.register_change(db, client, type, index, 0, s ? up : nullptr, s ? lo : nullptr, ct) != 0)
                    result = 0;
                at += head + 2 * s;
            } else {
                at = len;
            }
        } else {
            at = len;
        }
        answer[out + echo] = result;
        out += echo + 1;
    }
    return out;
}

uint32_t Unsubscribe(uint32_t db, const uint8_t *data, uint32_t len, bool lng) {
    if (db == 0 || len < 1) return 0;
    const uint32_t n = data[0], size = lng ? 9 : 5;
    for (uint32_t r = 0, at = 1; r < n && at + size <= len; r++, at += size) {
        const uint32_t ct = lng ? BE_Get32(data + at + 3) : 0;
        const uint32_t client = BE_Get16(data + at + (lng ? 7 : 3));
        if (Z7VM_Hooks.unregister_change)
            Z7VM_Hooks.unregister_change(db, client, data[at], BE_Get16(data + at + 1), ct);
    }
    return 0;
}
}  // namespace

uint32_t Z7VM_SrvSubscribe(uint32_t db, const uint8_t *data, uint32_t len, uint8_t *answer, uint32_t cap) {
    return Subscribe(db, data, len, answer, cap, false);
}
uint32_t Z7VM_SrvSubscribeL(uint32_t db, const uint8_t *data, uint32_t len, uint8_t *answer, uint32_t cap) {
    return Subscribe(db, data, len, answer, cap, true);
}
uint32_t Z7VM_SrvUnsubscribe(uint32_t db, const uint8_t *data, uint32_t len) {
    return Unsubscribe(db, data, len, false);
}
uint32_t Z7VM_SrvUnsubscribeL(uint32_t db, const uint8_t *data, uint32_t len) {
    return Unsubscribe(db, data, len, true);
}

uint32_t Z7VM_SrvPollTable(uint32_t db, const uint8_t *data, uint32_t len, uint8_t *answer) {
    if (db == 0) {
        answer[0] = 'E';
        return 1;
    }
    if (len < 11) return 0;
    const uint32_t area = data[0], off = BE_Get32(data + 1), n = BE_Get16(data + 5), stamp = BE_Get32(data + 7);
    if (stamp != Z7Mem_Get32(Z7VM_Status(db) + ST_APP34)) {
        answer[0] = 'F';
        return 1;
    }
    uint32_t base = 0, size = 0;
    if (area < Z7SEC_COUNT) {
        base = Z7Sec_Addr(db, area);
        size = Z7Sec_Bytes(db, area);
    } else if (area == 255) {
        base = db;
        size = Z7Mem_BlockSize(db);
    } else if (area == 254) {
        const uint32_t code = Z7Mem_Get32(Z7VM_Header(db) + HD_CODE);
        const Z7Img img = Z7Img_Of(code);
        const uint32_t ib = Z7Img_InitBlock(img);
        const uint32_t from = ib ? img.W32(ib + 24) : 0;
        if (img.In(from, 1)) {
            base = code + from;
            size = img.len - from;
        }
    } else {
        answer[0] = 6;
        return 1;
    }
    if (n > 1000 || uint64_t(off) + n > size || (n && Z7Mem_Ptr(base + off, n) == nullptr)) {
        answer[0] = 6;
        return 1;
    }
    answer[0] = 0;
    answer[1] = uint8_t(area);
    BE_Put32(answer + 2, off);
    BE_Put16(answer + 6, uint16_t(n));
    if (n) std::memcpy(answer + 8, Z7Mem_Ptr(base + off, n), n);
    return n + 8;
}

uint32_t Z7VM_ServeEx(uint32_t db, const uint8_t *req, uint32_t req_len, uint8_t *ans, uint16_t port) {
    if (req == nullptr || ans == nullptr) return 0;
    const uint8_t echo = req_len >= 1 ? req[0] : 0;
    const uint8_t code = req_len >= 2 ? req[1] : 0;
    const uint32_t L = req_len >= 4 ? BE_Get16(req + 2) : 0;
    const uint8_t *data = req + 4;
    uint8_t *out = ans + 4;
    const uint32_t room = Z7VM_ANSWER_MAX - 4;
    uint32_t n = 0;
    bool ok = true;
    if (req_len < 4 || L > req_len - 4) {
        ok = false;
    } else {
        switch (code) {
        case 1: {
            const uint32_t given = L >= 4 ? BE_Get32(data) : 0;
            const uint32_t pw = db ? Z7Mem_Get32(Z7VM_Header(db) + HD_PASSWORD) : 0;
            BE_Put16(out, port);
            std::memset(out + 2, 0, 4);
            n = 6;
            ok = db == 0 || pw == 0 || pw == given;
            break;
        }
        case 2:
            n = Z7VM_ReadObjects(db, data, L, out, room);
            ok = n != 0;
            break;
        case 3:
            // code is whole words: an odd length would leave the waiting
            // length and the end opcode half a word off, so it is refused
            ok = (L % 2) == 0 && Z7VM_Execute(db, data, L) == 0;
            break;
        case 4:
        case 6:
            n = code == 4 ? Z7VM_SrvSubscribe(db, data, L, out, room) : Z7VM_SrvSubscribeL(db, data, L, out, room);
            ok = n != 0;
            break;
        case 5: Z7VM_SrvUnsubscribe(db, data, L); break;
        case 7: Z7VM_SrvUnsubscribeL(db, data, L); break;
        case 8:
            n = Z7VM_SrvPollTable(db, data, L, out);
            ok = n != 0;
            break;
        default: ok = false;
        }
    }
    if (!ok && code != 1) n = 0;
    ans[0] = echo;
    ans[1] = ok ? 0 : 255;
    BE_Put16(ans + 2, uint16_t(n));
    return n + 4;
}

uint32_t Z7VM_Serve(uint32_t db, const uint8_t *req, uint32_t req_len, uint8_t *ans) {
    return Z7VM_ServeEx(db, req, req_len, ans, Z7VM_Hooks.event_port ? Z7VM_Hooks.event_port() : 9000);
}
