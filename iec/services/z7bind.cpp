// Register binding of located IEC variables: the location table the program
// file carries behind the code image names, per register location, the VM
// variable bound to it. It is turned into six tables (word and bit inputs and
// outputs, system words and bits) that each scan synchronises both ways.
// Tables are built for one database only: a stop or a new start makes them
// stale until the next build, and stale tables synchronise nothing.
#include <cstring>

#include "core/image/bytes.h"
#include "core/storage/memfile.h"
#include "core/image/plcreg.h"
#include "iec/services/drevano.h"
#include "iec/vm/z7map.h"
#include "iec/vm/z7parts.h"
#include "iec/vm/z7vm.h"

uint8_t FistScanRegFlag = 0;
uint32_t drevano_total_variables_enumerated = 0;
uint32_t Drevano_StartGen = 1;
uint32_t Drevano_DbGen = 1;

std::array<DrevanoWordEntry, 544> VmDbWordInput_ptr;
std::array<DrevanoWordEntry, 544> VmDbWordOutput_ptr;
std::array<DrevanoBitEntry, 2304> VmDbBitInput_ptr;
std::array<DrevanoBitEntry, 2304> VmDbBitOutput_ptr;
std::array<DrevanoBitEntry, 512> VmDbBitSys_ptr;
std::array<DrevanoSrEntry, 256> VmDbWordSR_ptr;
uint32_t WordInputEntries, WordOutputEntries, BoolInputEntries, BoolOutputEntries, WordSREntries, BoolSysEntries;

namespace {
uint32_t built_gen = 0;  // generation the tables were built for (0 none)
uint32_t built_db = 0;
uint32_t built_db_gen = 0;  // database life the tables were built in

// The tables as they stood before a rebuild, for what unchanged bindings saw.
std::array<DrevanoWordEntry, 544> prev_word_in, prev_word_out;
std::array<DrevanoBitEntry, 2304> prev_bit_in, prev_bit_out;
std::array<DrevanoBitEntry, 512> prev_bit_sys;
std::array<DrevanoSrEntry, 256> prev_sr;
uint32_t prev_word_in_n, prev_word_out_n, prev_bit_in_n, prev_bit_out_n, prev_bit_sys_n, prev_sr_n;

// Entry flags of a binding new in a rebuilt table whose neighbours were
// primed already: it is primed at its own first pass.
constexpr uint8_t kSrPrime = 0x02;
constexpr uint8_t kSysPrime = 0x20;

// The entry of a previous table bound to the same register and VM variable
// (tables are in slot order, so in rising bit address), or null.
template <typename E>
const E *Previous(const E *t, uint32_t n, uint32_t addr, const uint8_t *vm) {
    uint32_t lo = 0, hi = n;
    while (lo < hi) {
        const uint32_t mid = (lo + hi) / 2;
        if (t[mid].addr < addr)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo < n && t[lo].addr == addr && t[lo].vm == vm ? &t[lo] : nullptr;
}

constexpr uint16_t kBoundedSr[] = {1, 2, 3, 5, 10, 29, 30, 32, 33, 57, 58, 62, 164, 167, 174, 184};

bool Ready() { return pDB != 0 && built_db == pDB && built_gen == Drevano_StartGen; }

uint16_t Get16(const uint8_t *p) { return uint16_t(p[0] | p[1] << 8); }
void Put16(uint8_t *p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}

// Table a bound bit address falls into.
enum Table { T_NONE, T_BIT_IN, T_BIT_OUT, T_BIT_SYS, T_WORD_IN, T_WORD_OUT, T_WORD_SR };
Table Classify(uint32_t a) {
    if ((a >= 1024 && a <= 1279) || (a >= 8192 && a <= 10239)) return T_BIT_IN;
    if ((a >= 1280 && a <= 1535) || (a >= 10240 && a <= 12287)) return T_BIT_OUT;
    if (a >= 1536 && a <= 2047) return T_BIT_SYS;
    if ((a >= 2048 && a <= 2559) || (a >= 16384 && a <= 24575)) return T_WORD_IN;
    if ((a >= 2560 && a <= 3071) || (a >= 24576 && a <= 32767)) return T_WORD_OUT;
    if ((a >= 3072 && a <= 6143) || (a >= 0x10030000u && a <= 0x10030FFFu)) return T_WORD_SR;
    return T_NONE;
}

void SyncWords(DrevanoWordEntry *t, uint32_t n) {
    for (uint32_t i = 0; i < n; i++) {
        DrevanoWordEntry &e = t[i];
        const uint16_t r = Get16(e.reg), v = Get16(e.vm);
        if (r != v) {
            if (r == e.last)
                Put16(e.reg, v);  // only the VM changed
            else
                Put16(e.vm, r);  // the register wins a conflict
        }
        // equal sides are in step too, so that a later change of either is seen as its own
        e.last = Get16(e.reg);
    }
}

void SyncBit(DrevanoBitEntry &e) {
    const uint8_t r = (e.reg[0] & e.set) ? 1 : 0;
    const uint8_t v = e.vm[0];
    if (r != v) {
        if (v != e.last) {  // the VM changed: the VM wins a conflict
            if (v)
                e.reg[0] |= e.set;
            else
                e.reg[0] &= e.clr;
        } else {
            e.vm[0] = r;
        }
    }
    e.last = e.vm[0];
}
}  // namespace

uint32_t Drevano_SlotAddress(uint32_t s) {
    if (s < 1024) return 1024 + s;
    if (s < 1280) return 16 * s - 14336;
    if (s < 1344) return 16 * s + 0x1002B000u;
    if (s < 5440) return s + 6848;
    if (s < 6464) return 16 * s - 70656;
    return 0;
}

uint32_t Drevano_VmAddr(uint32_t loc, uint32_t width) {
    const uint32_t db = pDB;
    if (db == 0 || width == 0) return 0;
    const uint32_t idx = loc & 0xFFFFF;
    uint32_t sec, off;
    if (loc & (1u << 29)) {
        sec = Z7SEC_CT;
        off = idx;
    } else {
        switch ((loc >> 26) & 7) {
        case 0:
        case 6:
            sec = Z7SEC_D8;
            off = idx;
            break;
        case 1:
            sec = Z7SEC_D16;
            off = 2 * idx;
            break;
        case 2:
            sec = Z7SEC_D32;
            off = 4 * idx;
            break;
        case 3:
            sec = Z7SEC_D64;
            off = 8 * idx;
            break;
        case 5:
            sec = Z7SEC_TIME;
            off = idx;
            break;
        case 4: {
            const uint32_t entry = Z7Sec_Elem(db, Z7SEC_STRPTR, idx);
            const uint32_t str = entry ? Z7Mem_Get32(entry) : 0;
            const uint8_t *head = str ? Z7Mem_Ptr(str, 2) : nullptr;
            if (head == nullptr) return 0;
            // the text with its terminator must lie inside the arena
            return Z7Mem_Ptr(str, head[0] + 3u) ? str + 2 : 0;
        }
        default: return 0;
        }
    }
    const uint32_t base = Z7Sec_Addr(db, sec), size = Z7Sec_Bytes(db, sec);
    if (base == 0 || uint64_t(off) + width > size) return 0;
    return base + off;
}

uint8_t *DrevanoCalculateVmDbAddress(uint32_t handle, uint32_t width) {
    if (!(handle & (1u << 29)) && ((handle >> 26) & 7) == 4) {
        // The register access takes a string as its whole record {maximum,
        // length, characters}: the two length bytes in front of the text.
        const uint32_t text = Drevano_VmAddr(handle, 1);
        return text ? Z7Mem_Ptr(text - 2, 2u + Z7Mem_Get8(text - 2)) : nullptr;
    }
    // A BOOL array keeps one byte per element: width bits reach width bytes.
    const bool bool_array = !(handle & (1u << 29)) && ((handle >> 26) & 7) == 6;
    const uint32_t bytes = width == 0 ? 1 : bool_array ? width : (width + ((handle >> 20) & 0x3F) % 8 + 7) / 8;
    const uint32_t a = Drevano_VmAddr(handle, bytes);
    return a ? Z7Mem_Ptr(a, bytes) : nullptr;
}

void Drevano_BuildTables() {
    // A rebuild in the same database (an on-line change applied, the program
    // stored around it) keeps, for every binding that did not change, the
    // value it last saw and its priming: reset, an application write of the
    // cycle before would be taken for a conflict and lost, and system words
    // and bits the VM wrote would be primed back from the registers.
    const bool keep = pDB != 0 && built_db == pDB && built_db_gen == Drevano_DbGen;
    const uint8_t keep_first = FistScanRegFlag;
    prev_word_in_n = prev_word_out_n = prev_bit_in_n = prev_bit_out_n = prev_bit_sys_n = prev_sr_n = 0;
    if (keep) {
        prev_word_in = VmDbWordInput_ptr;
        prev_word_out = VmDbWordOutput_ptr;
        prev_bit_in = VmDbBitInput_ptr;
        prev_bit_out = VmDbBitOutput_ptr;
        prev_bit_sys = VmDbBitSys_ptr;
        prev_sr = VmDbWordSR_ptr;
        prev_word_in_n = WordInputEntries;
        prev_word_out_n = WordOutputEntries;
        prev_bit_in_n = BoolInputEntries;
        prev_bit_out_n = BoolOutputEntries;
        prev_bit_sys_n = BoolSysEntries;
        prev_sr_n = WordSREntries;
    }
    WordInputEntries = WordOutputEntries = BoolInputEntries = BoolOutputEntries = WordSREntries = BoolSysEntries = 0;
    std::memset(VmDbWordInput_ptr.data(), 0, sizeof VmDbWordInput_ptr);
    std::memset(VmDbWordOutput_ptr.data(), 0, sizeof VmDbWordOutput_ptr);
    std::memset(VmDbBitInput_ptr.data(), 0, sizeof VmDbBitInput_ptr);
    std::memset(VmDbBitOutput_ptr.data(), 0, sizeof VmDbBitOutput_ptr);
    std::memset(VmDbBitSys_ptr.data(), 0, sizeof VmDbBitSys_ptr);
    std::memset(VmDbWordSR_ptr.data(), 0, sizeof VmDbWordSR_ptr);
    built_gen = 0;
    built_db = 0;
    FistScanRegFlag = keep ? keep_first : 3;
    if (pDB == 0) return;
    built_gen = Drevano_StartGen;
    built_db = pDB;
    built_db_gen = Drevano_DbGen;
    if (DrevanoI0_VarLoc == nullptr) return;
    // slots past the program data are unbound
    const uint32_t slots = DrevanoI0_VarLocLen / 4 < 6464 ? DrevanoI0_VarLocLen / 4 : 6464;
    for (uint32_t s = 0; s < slots; s++) {
        const uint32_t loc = LE_Get32(DrevanoI0_VarLoc + 4 * s);
        if (loc == 0) continue;
        const uint32_t a = Drevano_SlotAddress(s);
        const Table t = Classify(a);
        if (t == T_NONE) continue;
        const bool bit = t == T_BIT_IN || t == T_BIT_OUT || t == T_BIT_SYS;
        const uint32_t width = bit ? 1 : 2;
        const uint32_t vm_off = Drevano_VmAddr(loc, width);
        uint8_t *vm = vm_off ? Z7Mem_Ptr(vm_off, width) : nullptr;
        uint8_t *reg = PlcReg_Ptr(a, bit ? 1 : 16);
        if (vm == nullptr || reg == nullptr) continue;
        if (bit) {
            DrevanoBitEntry e{};
            e.addr = a;
            e.reg = reg;
            e.vm = vm;
            e.bit = uint8_t(a % 8);
            e.set = uint8_t(1u << e.bit);
            e.clr = uint8_t(~e.set);
            if (t == T_BIT_IN) {
                if (const DrevanoBitEntry *p = Previous(prev_bit_in.data(), prev_bit_in_n, a, vm)) e.last = p->last;
                VmDbBitInput_ptr[BoolInputEntries++] = e;
            } else if (t == T_BIT_OUT) {
                if (const DrevanoBitEntry *p = Previous(prev_bit_out.data(), prev_bit_out_n, a, vm)) e.last = p->last;
                VmDbBitOutput_ptr[BoolOutputEntries++] = e;
            } else {
                e.flags = uint8_t(e.bit | (a >= 1792 ? 0x10 : 0));
                if (const DrevanoBitEntry *p = Previous(prev_bit_sys.data(), prev_bit_sys_n, a, vm)) {
                    e.last = p->last;
                    e.flags |= p->flags & kSysPrime;
                } else if (keep && !(keep_first & 2)) {
                    e.flags |= kSysPrime;
                }
                VmDbBitSys_ptr[BoolSysEntries++] = e;
            }
        } else if (t == T_WORD_SR) {
            DrevanoSrEntry e{};
            e.addr = a;
            e.reg = reg;
            e.vm = vm;
            if (a >= 3072 && a < 6144) {
                const uint32_t n = (a - 3072) / 16 + 1;
                for (uint16_t b : kBoundedSr) {
                    if (b != n) continue;
                    VmDbWordSR_MinMax(&e.min, &e.max, n - 1);
                    e.flags = 1;
                }
            }
            if (const DrevanoSrEntry *p = Previous(prev_sr.data(), prev_sr_n, a, vm)) {
                e.last = p->last;
                e.flags |= p->flags & kSrPrime;
            } else if (keep && !(keep_first & 1)) {
                e.flags |= kSrPrime;
            }
            VmDbWordSR_ptr[WordSREntries++] = e;
        } else {
            DrevanoWordEntry e{a, reg, vm, 0};
            if (t == T_WORD_IN) {
                if (const DrevanoWordEntry *p = Previous(prev_word_in.data(), prev_word_in_n, a, vm)) e.last = p->last;
                VmDbWordInput_ptr[WordInputEntries++] = e;
            } else {
                if (const DrevanoWordEntry *p = Previous(prev_word_out.data(), prev_word_out_n, a, vm))
                    e.last = p->last;
                VmDbWordOutput_ptr[WordOutputEntries++] = e;
            }
        }
    }
}

uint32_t Drevano_TablesReady() { return Ready() ? 1 : 0; }

void DrevanoUpdateWordInputRegs() {
    if (iVmAlive == 1 && Ready()) SyncWords(VmDbWordInput_ptr.data(), WordInputEntries);
}

void DrevanoUpdateWordOutputRegs() {
    if (iVmAlive == 1 && Ready()) SyncWords(VmDbWordOutput_ptr.data(), WordOutputEntries);
}

void DrevanoUpdateBitInputRegs() {
    if (iVmAlive != 1 || !Ready()) return;
    for (uint32_t i = 0; i < BoolInputEntries; i++) SyncBit(VmDbBitInput_ptr[i]);
}

void DrevanoUpdateBitOutputRegs() {
    if (iVmAlive != 1 || !Ready()) return;
    for (uint32_t i = 0; i < BoolOutputEntries; i++) SyncBit(VmDbBitOutput_ptr[i]);
}

void DrevanoUpdateWordSRRegs() {
    if (!Ready()) return;
    const bool first = FistScanRegFlag & 1;
    for (uint32_t i = 0; i < WordSREntries; i++) {
        DrevanoSrEntry &e = VmDbWordSR_ptr[i];
        const uint16_t r = Get16(e.reg), v = Get16(e.vm);
        const bool prime = first || (e.flags & kSrPrime);
        e.flags &= uint8_t(~kSrPrime);
        if ((e.flags & 1) && !prime) {
            if (v != r) {
                if (v != e.last && v >= e.min && v <= e.max)
                    Put16(e.reg, v);
                else
                    Put16(e.vm, r);
            }
            e.last = Get16(e.reg);
        } else {
            Put16(e.vm, r);
            e.last = r;
        }
    }
    FistScanRegFlag &= uint8_t(~1u);
}

void DrevanoUpdateBitSysRegs() {
    if (!Ready()) return;
    const bool first = FistScanRegFlag & 2;
    for (uint32_t i = 0; i < BoolSysEntries; i++) {
        DrevanoBitEntry &e = VmDbBitSys_ptr[i];
        const bool prime = first || (e.flags & kSysPrime);
        e.flags &= uint8_t(~kSysPrime);
        if ((e.flags & 0x10) && !prime) {
            SyncBit(e);
        } else {
            e.vm[0] = (e.reg[0] & e.set) ? 1 : 0;
            e.last = e.vm[0];
        }
    }
    FistScanRegFlag &= uint8_t(~2u);
}

void Drevano_SetSystemBits() {
    if (!Ready()) return;
    for (uint32_t i = 0; i < BoolSysEntries; i++) VmDbBitSys_ptr[i].vm[0] = 1;
}

uint32_t DrevanoCalculateRegToken(const uint8_t *vm, uint32_t kind, uint32_t input) {
    if (!Ready() || vm == nullptr) return 0;
    auto words = [&](const DrevanoWordEntry *t, uint32_t n) -> uint32_t {
        for (uint32_t i = 0; i < n; i++)
            if (t[i].vm == vm) return t[i].addr;
        return 0;
    };
    auto bits = [&](const DrevanoBitEntry *t, uint32_t n) -> uint32_t {
        for (uint32_t i = 0; i < n; i++)
            if (t[i].vm == vm) return t[i].addr;
        return 0;
    };
    switch (kind) {
    case 0:
        return input ? words(VmDbWordInput_ptr.data(), WordInputEntries)
                     : words(VmDbWordOutput_ptr.data(), WordOutputEntries);
    case 1:
        return input ? bits(VmDbBitInput_ptr.data(), BoolInputEntries)
                     : bits(VmDbBitOutput_ptr.data(), BoolOutputEntries);
    case 2:
        for (uint32_t i = 0; i < WordSREntries; i++)
            if (VmDbWordSR_ptr[i].vm == vm) return VmDbWordSR_ptr[i].addr;
        return 0;
    case 3: return bits(VmDbBitSys_ptr.data(), BoolSysEntries);
    default: return 0;
    }
}

uint32_t EnumDrevanoVars() {
    uint32_t pos = 0;
    for (uint32_t item = Z7Map_GetFirst(pDB, &pos); item != 0; item = Z7Map_GetNext(pDB, &pos)) Z7Map_GetSymbol(item);
    drevano_variables_enumerateded = pDB != 0 ? 1 : 0;
    return drevano_variables_enumerateded;
}

void ClearDrevanoFlags() {
    drevano_variables_enumerateded = 0;
    drevano_total_variables_enumerated = 0;
}
