// Protocol manager: loads the drivers of the protocol-manager table from
// shared-memory files, builds their control, device and command blocks and
// runs their scan lists on the programming port: data exchange per scan,
// requests to the driver per main-loop pass.
#include "protocols/pmgr.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "core/image/bytes.h"
#include "core/image/iecrt.h"
#include "core/image/plcreg.h"
#include "core/image/syshook.h"
#include "core/image/timebase.h"
#include "core/storage/memfile.h"
#include "core/storage/nvram.h"
#include "io/vcomm.h"
#include "net/etnvcomm.h"
#include "platform/plat.h"
#include "platform/plat_dl.h"

uint8_t *promgr_table = nullptr;
PmgrHooks pmgr_hooks;
std::array<PmgrDcb, PMGR_DRIVERS> dcb;
std::array<std::array<PmgrCommand, PMGR_COMMANDS>, PMGR_DRIVERS> mcb;
std::array<std::array<PmgrDevice, PMGR_DEVICES>, PMGR_DRIVERS> scb;
std::array<uint16_t, 2 * PMGR_SEG_WORDS> dataSeg;
std::array<uint16_t, 2 * PMGR_SEG_WORDS> drvData;
std::array<uintptr_t *, PMGR_DRIVERS> pExecHdr_info;
std::array<void *, PMGR_DRIVERS> LibHandle;
uint8_t PromgrDriversLoaded;
std::array<PmgrTimer, PMGR_TIMERS> tcb;

namespace {

// Data kinds of a command (what its put, compare and get routines move).
// String elements are 86 bytes (43 words) each and change one at a time.
enum Kind : uint8_t { K_WORDS, K_DWORDS, K_BITS, K_STRING };
constexpr uint32_t kStringWords = 43;
constexpr uint8_t kStringCode = 7;
std::array<std::array<uint8_t, PMGR_COMMANDS>, PMGR_DRIVERS> cmd_kind;
std::array<std::array<uint16_t, PMGR_COMMANDS>, PMGR_DRIVERS> cmd_elems;  // element count
// Bit data at an IEC variable: one byte per BOOL instead of packed bits.
std::array<std::array<uint8_t, PMGR_COMMANDS>, PMGR_DRIVERS> cmd_iec_bits;
// Run offset of each command in full: the command block's byte holds only
// its low 8 bits, too few for commands above 256 elements.
std::array<std::array<uint16_t, PMGR_COMMANDS>, PMGR_DRIVERS> cmd_run;
// Port renumbering of Ethernet drivers across one start.
uint32_t port_mask;
uint32_t table_len;  // bytes of the table
std::array<uint8_t, 22> writeSubBuf;
std::array<uint16_t, 4> shiftBuf;  // ShiftBitData's 8 bytes
std::array<uint16_t, 256> runBuf;  // data of a changed run (at most 255 words)
// Per port, bit 0 the programming port: 1 while a driver has handed the
// port back to the command protocol. It outlives a stop, so that a driver
// whose hand-over bit is still set does not take the port at its next start.
uint8_t port_switch;
// Drivers whose init entry answered 0 since the last start: a stop entry is
// called only for a driver that was initialised (its state alone does not
// say so once its port was handed back).
std::array<bool, PMGR_DRIVERS> initialised;
// Device table of each Ethernet driver: at most 128 devices and the zero
// entry that ends it.
std::array<std::array<std::array<uint8_t, 16>, PMGR_DEVICES + 1>, PMGR_DRIVERS> devTable;

constexpr uint32_t kRec = 16, kRecLen = 32, kCfgMin = 46, kDevMin = 28, kCmdMin = 36;
constexpr uint16_t F_READ = 1, F_TWOWAY = 2, F_TRIG_READ = 4, F_TRIG_WRITE = 8, F_WRITE_FIRST = 16, F_PAIRS = 256;

bool IsBitPacked(uint8_t t) { return t == 1 || (t >= 5 && t <= 11) || (t >= 13 && t <= 15); }

// ---- port 0 services ----------------------------------------------------------------
const VcommDrv &Port0() { return Vcomm_Drv[ProgrammingPort]; }
intptr_t SOpen(intptr_t p, intptr_t mode) {
    return Port0().Open ? intptr_t(Port0().Open(uint32_t(p), reinterpret_cast<const uint8_t *>(mode))) : 0;
}
intptr_t SFlushTx(intptr_t p) {
    if (Port0().FlushTx) Port0().FlushTx(uint32_t(p));
    return 0;
}
intptr_t SPutTx(intptr_t p, intptr_t b) { return Port0().PutTx ? intptr_t(Port0().PutTx(uint32_t(p), uint8_t(b))) : 0; }
intptr_t SRtuTx(intptr_t p) { return Port0().RtuTx ? intptr_t(Port0().RtuTx(uint32_t(p))) : 0; }
intptr_t SFlushRx(intptr_t p) {
    if (Port0().FlushRx) Port0().FlushRx(uint32_t(p));
    return 0;
}
intptr_t SCheckRx(intptr_t p) { return Port0().CheckRx ? intptr_t(Port0().CheckRx(uint32_t(p))) : 0; }
// The manager's GetRx: -1 when the port has nothing.
intptr_t SGetRx(intptr_t p) {
    const uint8_t c = uint8_t(SCheckRx(p));
    if (c == 0 || c == 255 || !Port0().GetRx) return -1;
    return intptr_t(int16_t(Port0().GetRx(uint32_t(p))));
}
intptr_t SInitWait(intptr_t p, intptr_t us, intptr_t f) {
    return Port0().InitWait ? intptr_t(Port0().InitWait(uint32_t(p), uint32_t(us), uint32_t(f))) : 0;
}
intptr_t SWaitRx(intptr_t p, intptr_t b) {
    return Port0().WaitRx ? intptr_t(Port0().WaitRx(uint32_t(p), reinterpret_cast<uint8_t *>(b))) : 0;
}
intptr_t SIoCtl(intptr_t p, intptr_t c, intptr_t a) {
    return Port0().IoCtl ? intptr_t(Port0().IoCtl(uint32_t(p), uint32_t(c), uint32_t(a))) : 0;
}
intptr_t SPutnTx(intptr_t p, intptr_t d, intptr_t n) {
    return Port0().PutnTx ? intptr_t(Port0().PutnTx(uint32_t(p), reinterpret_cast<const uint8_t *>(d), uint32_t(n)))
                          : 0;
}
intptr_t SBeep() { return 0; }
intptr_t SWait() {
    if (sys_hooks.subloop_wait) sys_hooks.subloop_wait();
    return 0;
}
intptr_t SRegPtr(intptr_t a, intptr_t w) { return intptr_t(PlcReg_Ptr(uint32_t(a), uint32_t(w))); }
intptr_t SRegGet(intptr_t b, intptr_t a, intptr_t w) {
    return intptr_t(PlcReg_Get(reinterpret_cast<void *>(b), uint32_t(a), uint32_t(w)));
}
intptr_t SRegSet(intptr_t a, intptr_t b, intptr_t w) {
    return intptr_t(PlcReg_Set(uint32_t(a), reinterpret_cast<const void *>(b), uint32_t(w)));
}

template <typename F>
uintptr_t Fn(F f) {
    return reinterpret_cast<uintptr_t>(f);
}

// ---- table ------------------------------------------------------------------------------
const uint8_t *At(uint32_t off, uint32_t n) {
    if (promgr_table == nullptr || uint64_t(off) + n > table_len) return nullptr;
    return promgr_table + off;
}
const uint8_t *Record(uint32_t n) { return At(kRec + kRecLen * n, kRecLen); }

uint16_t Word(const uint8_t *p) { return LE_Get16(p); }
uint16_t RegWord(const uint8_t *reg, uint32_t i) { return LE_Get16(reg + 2 * i); }
void SetRegWord(uint8_t *reg, uint32_t i, uint16_t v) { LE_Put16(reg + 2 * i, v); }

bool BitOf(const uint8_t *p, uint32_t bit) { return (p[bit / 8] >> (bit % 8)) & 1; }
void SetBitOf(uint8_t *p, uint32_t bit, bool v) {
    if (v)
        p[bit / 8] = uint8_t(p[bit / 8] | (1u << (bit % 8)));
    else
        p[bit / 8] = uint8_t(p[bit / 8] & ~(1u << (bit % 8)));
}
bool AreaBit(const uint16_t *a, uint32_t i) { return (a[i / 16] >> (i % 16)) & 1; }
void SetAreaBit(uint16_t *a, uint32_t i, bool v) {
    if (v)
        a[i / 16] = uint16_t(a[i / 16] | (1u << (i % 16)));
    else
        a[i / 16] = uint16_t(a[i / 16] & ~(1u << (i % 16)));
}

// The mask of a bit at bit address a within the byte PlcReg_Ptr gives: an
// IEC variable handle's low bits are its element index, and a BOOL element
// is a byte of its own, set when bit 0 is.
uint8_t BitMask(uint32_t a) { return PlcReg_IsIecHandle(a) ? 1 : uint8_t(1u << (a % 8)); }

bool TriggerSet(const uint8_t *byte, uint8_t mask) { return byte != nullptr && (*byte & mask) != 0; }
void TriggerClear(uint8_t *byte, uint8_t mask) {
    if (byte) *byte = uint8_t(*byte & ~mask);
}
// A device's disable bit, read only where the table revision is above 5.
bool Disabled(const PmgrDevice &v) { return v.disable != nullptr && (*v.disable & v.disable_mask) != 0; }
bool NewTable() { return LE_Get32(promgr_table + 12) > 5; }

// ---- data routines ------------------------------------------------------------------------
// Bit i of command k's registers: from its bit offset in packed registers,
// or the BOOL byte i of an IEC variable (set when not 0, written as 0 or 1).
bool RegBit(uint32_t d, uint32_t k, uint32_t i) {
    const PmgrCommand &c = mcb[d][k];
    return cmd_iec_bits[d][k] ? c.reg[i] != 0 : BitOf(c.reg, c.bit_offset + i);
}
void SetRegBit(uint32_t d, uint32_t k, uint32_t i, bool v) {
    PmgrCommand &c = mcb[d][k];
    if (cmd_iec_bits[d][k])
        c.reg[i] = v ? 1 : 0;
    else
        SetBitOf(c.reg, c.bit_offset + i, v);
}
// Element e of a command as register and area words (1 or 2 words; 32-bit
// values with flag bit 4 have their words exchanged on the line).
uint32_t Width(uint32_t d, uint32_t k) {
    return cmd_kind[d][k] == K_DWORDS ? 2 : cmd_kind[d][k] == K_STRING ? kStringWords : 1;
}
void SetRun(uint32_t d, uint32_t k, uint32_t off) {
    cmd_run[d][k] = uint16_t(off);
    mcb[d][k].run_offset = uint8_t(off);
}
uint16_t AreaWord(const PmgrCommand &c, const uint16_t *area, uint32_t w, uint32_t ew) {
    if (ew == 2 && (c.flags & 0x10)) return area[w ^ 1];
    return area[w];
}
void SetAreaWord(const PmgrCommand &c, uint16_t *area, uint32_t w, uint32_t ew, uint16_t v) {
    if (ew == 2 && (c.flags & 0x10))
        area[w ^ 1] = v;
    else
        area[w] = v;
}

void Put(uint32_t d, uint32_t k) {
    PmgrCommand &c = mcb[d][k];
    const uint32_t n = cmd_elems[d][k];
    if (cmd_kind[d][k] == K_BITS) {
        for (uint32_t i = 0; i < n; i++) SetRegBit(d, k, i, AreaBit(c.in, i));
        return;
    }
    const uint32_t ew = Width(d, k);
    for (uint32_t w = 0; w < n * ew; w++) SetRegWord(c.reg, w, AreaWord(c, c.in, w, ew));
}

void Get(uint32_t d, uint32_t k) {
    PmgrCommand &c = mcb[d][k];
    const uint32_t n = cmd_elems[d][k];
    if (cmd_kind[d][k] == K_BITS) {
        for (uint32_t i = 0; i < n; i++) SetAreaBit(c.out, i, RegBit(d, k, i));
        return;
    }
    const uint32_t ew = Width(d, k);
    for (uint32_t w = 0; w < n * ew; w++) SetAreaWord(c, c.out, w, ew, RegWord(c.reg, w));
}

// Change-of-value put: a received value goes in only where the register
// still holds what was last exchanged.
void CovPut(uint32_t d, uint32_t k) {
    PmgrCommand &c = mcb[d][k];
    const uint32_t n = cmd_elems[d][k];
    if (cmd_kind[d][k] == K_BITS) {
        for (uint32_t i = 0; i < n; i++) {
            if (RegBit(d, k, i) != AreaBit(c.out, i)) continue;
            SetRegBit(d, k, i, AreaBit(c.in, i));
            SetAreaBit(c.out, i, AreaBit(c.in, i));
        }
        return;
    }
    const uint32_t ew = Width(d, k);
    for (uint32_t e = 0; e < n; e++) {
        bool same = true;
        for (uint32_t j = 0; j < ew; j++)
            same = same && RegWord(c.reg, e * ew + j) == AreaWord(c, c.out, e * ew + j, ew);
        if (!same) continue;
        for (uint32_t j = 0; j < ew; j++) {
            const uint16_t v = AreaWord(c, c.in, e * ew + j, ew);
            SetRegWord(c.reg, e * ew + j, v);
            SetAreaWord(c, c.out, e * ew + j, ew, v);
        }
    }
}

// Finds the next run of changed elements from the run offset; 1 when found.
uint32_t Compare(uint32_t d, uint32_t k) {
    PmgrCommand &c = mcb[d][k];
    const uint32_t n = cmd_elems[d][k];
    const bool bits = cmd_kind[d][k] == K_BITS;
    const uint32_t ew = Width(d, k);
    auto differs = [&](uint32_t e) {
        if (bits) return RegBit(d, k, e) != AreaBit(c.out, e);
        for (uint32_t j = 0; j < ew; j++) {
            if (RegWord(c.reg, e * ew + j) != AreaWord(c, c.out, e * ew + j, ew)) return true;
        }
        return false;
    };
    auto take = [&](uint32_t e) {
        if (bits) {
            SetAreaBit(c.out, e, RegBit(d, k, e));
            return;
        }
        for (uint32_t j = 0; j < ew; j++) SetAreaWord(c, c.out, e * ew + j, ew, RegWord(c.reg, e * ew + j));
    };
    uint32_t e = cmd_run[d][k];
    while (e < n && !differs(e)) e++;
    if (e >= n) {
        SetRun(d, k, 0);
        return 0;
    }
    take(e);
    SetRun(d, k, e);
    c.run_start = uint8_t(bits ? e / 8 : e);
    uint32_t len = 1;
    // A bit run moves through an 8-byte buffer: at most 64 bits at a time;
    // the descriptor's count byte holds twice a 32-bit run: at most 127;
    // a string goes alone.
    const uint32_t max = bits ? 64 : ew == 2 ? 127 : ew == 1 ? 255 : 1;
    if (!(c.flags & 1)) {
        while (e + len < n && len < max && differs(e + len)) {
            take(e + len);
            len++;
        }
    }
    c.run_length = uint8_t(len);
    return 1;
}

// The data routines as the command block offers them to a driver: each
// takes (control block, command block) and finds the command by its block.
bool Locate(const PmgrCommand *c, uint32_t &d, uint32_t &k) {
    for (d = 0; d < PMGR_DRIVERS; d++) {
        const PmgrCommand *first = mcb[d].data();
        if (c >= first && c < first + dcb[d].ncmd) {
            k = uint32_t(c - first);
            return true;
        }
    }
    return false;
}
intptr_t PutOf(void *, PmgrCommand *c) {
    uint32_t d = 0, k = 0;
    if (Locate(c, d, k)) Put(d, k);
    return 0;
}
intptr_t CovPutOf(void *, PmgrCommand *c) {
    uint32_t d = 0, k = 0;
    if (Locate(c, d, k)) CovPut(d, k);
    return 0;
}
intptr_t CompareOf(void *, PmgrCommand *c) {
    uint32_t d = 0, k = 0;
    return Locate(c, d, k) ? intptr_t(Compare(d, k)) : 0;
}
intptr_t GetOf(void *, PmgrCommand *c) {
    uint32_t d = 0, k = 0;
    if (Locate(c, d, k)) Get(d, k);
    return 0;
}
template <class F>
uintptr_t Routine(F f) {
    return reinterpret_cast<uintptr_t>(f);
}

// ---- requests -----------------------------------------------------------------------------
bool Waiting(PmgrDcb &b) { return (b.svc[PMGR_S_WAITFLAG] & 0xFFFF) != 0; }
void ClearWait(PmgrDcb &b) { b.svc[PMGR_S_WAITFLAG] &= ~uintptr_t(0xFFFF); }

PmgrDevice &DeviceOf(const PmgrCommand &c) { return *static_cast<PmgrDevice *>(c.device); }

void StatusWord(PmgrDevice &v, uint32_t i, uint16_t value) {
    if (v.status) LE_Put16(v.status + 2 * i, value);
}
uint16_t StatusOf(const PmgrDevice &v) { return v.status ? LE_Get16(v.status) : 0; }

bool HandedOver(const PmgrDcb &b);

enum ReqKind { REQ_READ, REQ_BLOCK, REQ_RUN };
bool RequestOnce(uint32_t d, uint32_t k, ReqKind kind);

void Request(uint32_t d, uint32_t k, ReqKind kind) {
    PmgrDcb &b = dcb[d];
    PmgrCommand &c = mcb[d][k];
    PmgrDevice &v = DeviceOf(c);
    // Trigger-value exchange: only the commands of the station named by the
    // trigger value run; the station byte may come from the first device's
    // station register.
    const uint8_t stored = c.entry[14];
    uint8_t station = stored;
    if (b.trig_value != nullptr) {
        const PmgrDevice &first = scb[d][0];
        if (Word(c.entry + 12) > 28 && Word(first.entry + 26) > 28 && (first.entry[29] & 1)) {
            uint8_t st = 0;
            if (PlcReg_Get(&st, LE_Get32(first.entry + 4), 8)) station = st;
        }
        if (station != b.saved_trig) return;
    }
    if (v.state > PMGR_DEV_RECOVERING) {
        c.state = 8;
        return;
    }
    if (v.owner != nullptr && v.owner != &c) return;
    // The driver finds the station from the register in the descriptor for
    // its call only: the descriptor lies in the stored table, whose CRC a
    // lasting change would break, and a program saved then would be refused
    // at the next power-up.
    c.entry[14] = station;
    // A command with a trigger bit is asked again at once after a failure,
    // until it is served or its retries are used up; one without waits for
    // the next pass.
    while (!RequestOnce(d, k, kind) && c.trig != nullptr) {
    }
    c.entry[14] = stored;
}

// One call of the driver for command k; false when it failed and is to be
// asked again.
bool RequestOnce(uint32_t d, uint32_t k, ReqKind kind) {
    PmgrDcb &b = dcb[d];
    PmgrCommand &c = mcb[d][k];
    PmgrDevice &v = DeviceOf(c);
    b.svc[PMGR_S_DEVICE] = reinterpret_cast<uintptr_t>(v.entry);
    b.svc[PMGR_S_ENTRY] = reinterpret_cast<uintptr_t>(c.entry);
    uint8_t *desc = c.entry + 14;
    intptr_t r;
    if (kind == REQ_READ) {
        r = reinterpret_cast<PmgrReadFn>(b.entry[PMGR_H_READ])(desc, c.in);
    } else if (kind == REQ_BLOCK) {
        r = reinterpret_cast<PmgrWriteFn>(b.entry[PMGR_H_WRITE])(desc, c.out);
    } else {
        std::memcpy(writeSubBuf.data(), desc, writeSubBuf.size());
        const uint32_t off = cmd_run[d][k], len = c.run_length;
        const uint16_t addr = Word(desc + 4);
        uint16_t *data;
        if (cmd_kind[d][k] == K_BITS) {
            // ShiftBitData: the run brought down to bit 0 of the 8-byte buffer.
            shiftBuf.fill(0);
            for (uint32_t i = 0; i < len; i++) SetAreaBit(shiftBuf.data(), i, AreaBit(c.out, off + i));
            data = shiftBuf.data();
            writeSubBuf[3] = uint8_t(len);
            LE_Put16(&writeSubBuf[4], uint16_t(addr + off));
            LE_Put16(&writeSubBuf[6], uint16_t(len));
        } else {
            const uint32_t ew = Width(d, k);
            for (uint32_t w = 0; w < len * ew; w++) runBuf[w] = c.out[off * ew + w];
            data = runBuf.data();
            // 32-bit values count two words; pairs of the entry (its flag
            // bit 8) are addressed in words as well.
            const bool pairs = ew == 2 && (Word(c.entry) & F_PAIRS);
            writeSubBuf[3] = uint8_t(ew == 2 ? 2 * len : len);
            LE_Put16(&writeSubBuf[4], uint16_t(addr + (pairs ? 2 * off : off)));
            // The long count carries the run too: its high byte, left as it
            // was, would read as the string code beside the nonzero count.
            if (cmd_kind[d][k] != K_STRING) LE_Put16(&writeSubBuf[6], writeSubBuf[3]);
        }
        r = reinterpret_cast<PmgrWriteFn>(b.entry[PMGR_H_WRITE])(writeSubBuf.data(), data);
    }
    if (Waiting(b)) return true;
    if (r == 0) {
        c.state = kind == REQ_READ ? 1 : kind == REQ_BLOCK ? 6 : 4;
        v.owner = nullptr;
        StatusWord(v, 0, 0);
        return true;
    }
    if (kind != REQ_RUN && r >= 1 && r <= 50 && v.status) {
        StatusWord(v, 0, uint16_t(r));
        return true;
    }
    if (v.owner != &c) {
        v.owner = &c;
        v.remaining = Word(v.entry + 22);
    }
    if (v.remaining > 0) v.remaining--;
    // A handed-over port or a disabled device ends the retries at once.
    const bool stop = kind != REQ_RUN && (HandedOver(b) || Disabled(v));
    if (v.remaining == 0 || stop) {
        v.state = PMGR_DEV_FAULT;
        v.err = uint16_t(r);
        c.state = 7;
        return true;
    }
    return false;
}

void Process(uint32_t d, uint32_t k) {
    switch (mcb[d][k].state) {
    case 0: Request(d, k, REQ_READ); break;
    case 3: Request(d, k, REQ_RUN); break;
    case 5: Request(d, k, REQ_BLOCK); break;
    default: break;
    }
}

// ---- building ------------------------------------------------------------------------------
bool BuildDevices(uint32_t d, uint32_t list, uint32_t count) {
    if (count < 1 || count > PMGR_DEVICES) return false;
    uint32_t off = list;
    for (uint32_t i = 0; i < count; i++) {
        const uint8_t *e = At(off, kDevMin);
        if (e == nullptr) return false;
        const uint16_t len = Word(e + 26);
        if (len < kDevMin || At(off, len) == nullptr) return false;
        PmgrDevice &v = scb[d][i];
        v = PmgrDevice{};
        v.cfg = dcb[d].cfg;
        v.entry = e;
        const uint32_t st = LE_Get32(e);
        if (st != 0) {
            v.status = PlcReg_Ptr(st, 32);
            if (v.status == nullptr) return false;
            StatusWord(v, 0, 0);
            StatusWord(v, 1, 0);
        }
        // Low nibble 2 of the device flags: the entry's last 4 bytes are the
        // bit address of a device disable bit.
        if ((Word(e + 20) & 0x0F) == 2) {
            if (len < kDevMin + 4) return false;
            const uint32_t a = LE_Get32(e + len - 4);
            v.disable = PlcReg_Ptr(a, 1);
            if (v.disable == nullptr) return false;
            v.disable_mask = BitMask(a);
        }
        off += len;
    }
    return true;
}

bool BuildCommands(uint32_t d, uint32_t list, uint32_t count, uint32_t ndev) {
    if (count > PMGR_COMMANDS) return false;
    PmgrDcb &b = dcb[d];
    uint32_t off = list, words = 0;
    uint16_t *area = drvData.data() + d * PMGR_SEG_WORDS;
    for (uint32_t k = 0; k < count; k++) {
        const uint8_t *e = At(off, kCmdMin);
        if (e == nullptr) return false;
        const uint16_t len = Word(e + 12);
        if (len < kCmdMin || At(off, len) == nullptr) return false;
        PmgrCommand &c = mcb[d][k];
        c = PmgrCommand{};
        c.entry = promgr_table + off;
        const uint16_t flags = Word(e);
        const uint8_t dev = e[16];
        if (dev >= ndev) return false;
        c.device = &scb[d][dev];
        const uint16_t dflags = Word(scb[d][dev].entry + 20);
        const uint32_t reg = LE_Get32(e + 4);
        // An IEC variable of kind 2 holds 32-bit values: the driver is not asked.
        const bool iec = PlcReg_IsIecHandle(reg) && DrevanoRuntime && drevano_variables_enumerateded;
        if (iec && ((reg >> 26) & 7) == 2)
            c.type = 3;
        else
            c.type = uint8_t(reinterpret_cast<PmgrClassifyFn>(b.entry[PMGR_H_CLASSIFY])(e[15], Word(e + 18)));
        if (c.type > 17) return false;
        const bool bits = IsBitPacked(c.type);
        // Data type 0 has no data: its count (often 0) and register are the
        // driver's business, and nothing moves between register and areas
        // (no elements for put, get and compare).
        const bool none = c.type == 0;
        const uint32_t raw = e[17] ? e[17] : Word(e + 20);  // the count the driver is given
        uint32_t n = raw;
        if (flags & F_PAIRS) n /= 2;
        c.count = uint8_t(n);
        cmd_elems[d][k] = uint16_t(none ? 0 : n);
        cmd_kind[d][k] = bits ? K_BITS : (c.type == 3 || (flags & F_PAIRS)) ? K_DWORDS : K_WORDS;
        // Byte 21 is the string code only beside a count in byte 17; with
        // byte 17 at 0 it is the high byte of the long count.
        if (cmd_kind[d][k] == K_WORDS && (flags & F_TWOWAY) && e[17] != 0 && e[21] == kStringCode)
            cmd_kind[d][k] = K_STRING;
        cmd_run[d][k] = 0;
        c.flags = uint16_t((dflags & 0x110) | ((dflags & (bits ? 0x1000 : 0x2000)) ? 1 : 0));
        const uint32_t rw = n * Width(d, k);
        // The areas hold what the descriptor's count promises the driver
        // too: an odd count of 32-bit pairs gives one word more.
        const uint32_t aw = bits ? (raw + 15) / 16 : rw > raw ? rw : raw;
        // Bit data of an IEC variable start at its element, a byte per BOOL;
        // the handle's low bits are the element index, not a bit number.
        cmd_iec_bits[d][k] = bits && iec ? 1 : 0;
        c.bit_offset = uint8_t(bits && !iec ? reg % 8 : 0);
        if (none)
            c.reg = nullptr;
        else if (cmd_iec_bits[d][k])
            c.reg = PlcReg_Ptr(reg, 8 * n);
        else
            c.reg = PlcReg_Ptr(bits ? reg - reg % 8 : reg, bits ? (n + c.bit_offset + 7) / 8 * 8 : 16 * rw);
        if (!none && (c.reg == nullptr || n == 0)) return false;
        // Input then output area, inside the driver's half of drvData.
        if (words + 2 * aw > PMGR_SEG_WORDS) return false;
        c.in = area + words;
        c.out = area + words + aw;
        words += 2 * aw;
        if (flags & (F_TRIG_READ | F_TRIG_WRITE)) {
            const uint32_t t = LE_Get32(e + 8);
            c.trig = PlcReg_Ptr(t, 1);
            if (c.trig == nullptr) return false;
            c.trig_mask = BitMask(t);
        }
        c.state = (flags & F_TWOWAY) ? 2 : (flags & F_READ) ? 0 : 10;
        // The routines chosen by the data kind and flags: a two-way command
        // puts by change of value, compares and gets; a write on trigger
        // gets (in the compare slot); a read puts. No data: none.
        if (!none) {
            if (flags & F_TWOWAY) {
                c.put = Routine(CovPutOf);
                c.cmp = Routine(CompareOf);
                c.get = Routine(GetOf);
            } else if ((flags & F_TRIG_WRITE) && !(flags & (F_READ | F_TRIG_READ))) {
                c.cmp = Routine(GetOf);
            } else {
                c.put = Routine(PutOf);
            }
        }
        off += len;
    }
    return true;
}

bool Resolve(uint32_t d, uint32_t n) {
    PmgrDcb &b = dcb[d];
    const uint8_t *rec = Record(n);
    if (rec == nullptr) return false;
    const uint32_t cfg_off = LE_Get32(rec + 4);
    b.cfg = At(cfg_off, kCfgMin);
    if (b.cfg == nullptr) return false;
    b.cfg_flags = Word(b.cfg + 20);
    b.period = LE_Get32(b.cfg + 12);
    b.retry_delay = LE_Get32(b.cfg + 28);
    b.free_running = (b.cfg_flags & 0x8000) ? 0x8000 : 0;
    const uint8_t lo = uint8_t(b.cfg_flags);
    const bool ho = lo == 0x11 || lo == 0x12 || (lo == 0x10 && LE_Get32(promgr_table + 12) > 5);
    b.handover = ho ? LE_Get32(b.cfg + 42) : 0;
    if (b.handover && PlcReg_Ptr(b.handover, 1) == nullptr) return false;
    const uint32_t trig = LE_Get32(b.cfg + 32), tval = LE_Get32(b.cfg + 36);
    b.trig = nullptr;
    b.trig_value = nullptr;
    if (trig) {
        b.trig = PlcReg_Ptr(trig, 1);
        if (b.trig == nullptr) return false;
        b.trig_mask = BitMask(trig);
        if (tval) {
            b.trig_value = PlcReg_Ptr(tval, 16);
            if (b.trig_value == nullptr) return false;
        }
    }
    b.ndev = LE_Get32(rec + 12);
    if (!BuildDevices(d, LE_Get32(rec + 8), b.ndev)) return false;
    b.ncmd = LE_Get32(rec + 20);
    // A free-running driver gets its command blocks too, to read: the
    // manager runs none of them.
    if (!BuildCommands(d, LE_Get32(rec + 16), b.ncmd, b.ndev)) return false;
    const uint32_t sa = LE_Get32(b.cfg + 8);
    b.status_area = sa ? PlcReg_Ptr(sa, 64) : nullptr;
    return true;
}

void FillServices(uint32_t d) {
    PmgrDcb &b = dcb[d];
    auto &s = b.svc;
    s.fill(0);
    s[PMGR_S_HEADER] = reinterpret_cast<uintptr_t>(pExecHdr_info[d]);
    s[PMGR_S_DATA] = reinterpret_cast<uintptr_t>(b.data);
    s[PMGR_S_CONFIG] = reinterpret_cast<uintptr_t>(b.cfg);
    if (b.free_running) {
        const uint8_t *rec = Record(d);
        s[PMGR_S_DEVICE] = reinterpret_cast<uintptr_t>(At(LE_Get32(rec + 8), 0));
        s[PMGR_S_ENTRY] = reinterpret_cast<uintptr_t>(At(LE_Get32(rec + 16), 0));
    }
    s[PMGR_S_BEEP] = Fn(SBeep);
    s[PMGR_S_WAIT] = Fn(SWait);
    s[PMGR_S_TCREATE] = Fn(CreateTimer);
    s[PMGR_S_TWRITE] = Fn(WriteTimer);
    s[PMGR_S_TREAD] = Fn(ReadTimer);
    s[PMGR_S_TCLOSE] = Fn(CloseTimer);
    s[PMGR_S_OPEN] = Fn(SOpen);
    s[PMGR_S_FLUSHTX] = Fn(SFlushTx);
    s[PMGR_S_PUTTX] = Fn(SPutTx);
    s[PMGR_S_DOTX] = Fn(SRtuTx);
    s[PMGR_S_FLUSHRX] = Fn(SFlushRx);
    s[PMGR_S_CHECKRX] = Fn(SCheckRx);
    s[PMGR_S_GETRX] = Fn(SGetRx);
    s[PMGR_S_INITWAIT] = Fn(SInitWait);
    s[PMGR_S_WAITRX] = Fn(SWaitRx);
    s[PMGR_S_IOCTL] = Fn(SIoCtl);
    s[PMGR_S_R1] = BA_R;
    s[PMGR_S_AQ1] = BA_AQ;
    s[PMGR_S_AI1] = BA_AI;
    s[PMGR_S_SR1] = BA_SR;
    s[PMGR_S_NAI] = 512;
    s[PMGR_S_NAQ] = 512;
    s[PMGR_S_NR] = 50240;
    s[PMGR_S_PUTNTX] = Fn(SPutnTx);
    s[PMGR_S_REGPTR] = Fn(SRegPtr);
    s[PMGR_S_REGGET] = Fn(SRegGet);
    s[PMGR_S_REGSET] = Fn(SRegSet);
    s[PMGR_S_WAITFLAG] = uintptr_t(1) << 16;
}

// Copies the manager's fields of driver d behind the service table, where
// the driver may read them (two 16-bit fields share a slot, low one first).
void Mirror(uint32_t d) {
    PmgrDcb &b = dcb[d];
    auto &s = b.svc;
    const uint8_t *rec = Record(d);
    const uint32_t group = rec ? LE_Get32(rec + 24) : 0;
    const bool cmds = b.ncmd > 0;
    s[PMGR_S_SCANLIST] = rec ? reinterpret_cast<uintptr_t>(At(LE_Get32(rec + 16), 0)) : 0;
    s[PMGR_S_COMMANDS] = cmds ? reinterpret_cast<uintptr_t>(mcb[d].data()) : 0;
    s[PMGR_S_NCMD] = cmds ? b.ncmd : 0;
    s[PMGR_S_GROUP] = group;
    s[PMGR_S_GROUPCMD] = cmds && group < b.ncmd ? reinterpret_cast<uintptr_t>(&mcb[d][group]) : 0;
    s[PMGR_S_GROUPN] = cmds && group < b.ncmd ? b.ncmd - group : 0;
    s[PMGR_S_DEVICES] = reinterpret_cast<uintptr_t>(scb[d].data());
    s[PMGR_S_NDEV] = b.ndev;
    s[PMGR_S_CTLREQ] = b.ctl_req;
    s[PMGR_S_CTLRESULT] = b.ctl_result;
    s[PMGR_S_CTLARG] = reinterpret_cast<uintptr_t>(b.ctl_arg);
    s[PMGR_S_CFGBLOCK] = reinterpret_cast<uintptr_t>(b.cfg);
    s[PMGR_S_STATUSAREA] = reinterpret_cast<uintptr_t>(b.status_area);
    // The high half is the driver's second status word, written by the
    // driver (a free-running one's is read by no scan): kept as it is.
    s[PMGR_S_CYCLE] = b.cycle | (s[PMGR_S_CYCLE] & ~uintptr_t(0xFFFF));
    s[PMGR_S_CYCLESTART] = b.cycle_start;
    s[PMGR_S_TRIGSAVED] = b.saved_trig | uintptr_t(b.trig_mask) << 16;
    s[PMGR_S_TRIGBYTE] = reinterpret_cast<uintptr_t>(b.trig);
    s[PMGR_S_TRIGVALUE] = reinterpret_cast<uintptr_t>(b.trig_value);
    s[PMGR_S_RESUME] = b.resume;
}

void EthernetServices(uint32_t d) {
    auto &s = dcb[d].svc;
    const EtnVCommDrv &v = EtnVComm_Drv;
    s[PMGR_S_OPEN] = Fn(v.Open);
    s[PMGR_S_FLUSHTX] = Fn(v.FlushTx);
    s[PMGR_S_PUTTX] = Fn(v.PutTx);
    s[PMGR_S_DOTX] = Fn(v.DoTx);
    s[PMGR_S_FLUSHRX] = Fn(v.FlushRx);
    s[PMGR_S_CHECKRX] = Fn(v.CheckRx);
    s[PMGR_S_GETRX] = Fn(v.GetRx);
    s[PMGR_S_INITWAIT] = Fn(v.InitWait);
    s[PMGR_S_WAITRX] = Fn(v.WaitRx);
    s[PMGR_S_IOCTL] = Fn(v.IoCtl);
    s[PMGR_S_PUTNTX] = 0;
    s[PMGR_S_CLOSE1] = Fn(v.Close1);
}

// The device table of an Ethernet driver, one of its own. Its address is
// not written into the configuration block's 32-bit word at offset 16: a
// pointer of this build does not fit it, and the stored block stays as it
// was downloaded. The driver finds it in the control block's slot 48 (a
// word the manager does not otherwise use).
void BuildDevTable(uint32_t d) {
    PmgrDcb &b = dcb[d];
    auto &t = devTable[d];
    for (auto &e : t) e.fill(0);
    const uint32_t n = b.ndev < t.size() - 1 ? b.ndev : uint32_t(t.size() - 1);
    for (uint32_t i = 0; i < n; i++) {
        const uint8_t *e = scb[d][i].entry;
        const uint8_t opt = Word(e + 26) > 28 ? e[29] : 0;
        const uint32_t alt = (opt & 2) && Word(e + 26) >= 36 ? LE_Get32(e + 32) : 0;
        LE_Put32(&t[i][0], LE_Get32(e + 4));
        LE_Put32(&t[i][4], (opt & 2) ? alt : Word(e + 24));
        LE_Put16(&t[i][8], opt);
        LE_Put16(&t[i][10], 0xA5);
        LE_Put32(&t[i][12], alt);
    }
    b.svc[PMGR_S_DEVTABLE] = reinterpret_cast<uintptr_t>(t.data());
}

// A port already in the command protocol is not opened again, but the
// manager's claim ends in every case: left set, the next start's claim
// would be refused and the driver never run again.
void GiveBackPort() {
    const uint8_t *m = Vcomm_ModeRec(ProgrammingPort);
    if (pmgr_hooks.talk_release) pmgr_hooks.talk_release(ProgrammingPort);
    if (m != nullptr && (m[5] & 0x0F) == VCOMM_PROTO_CMD) return;
    if (Port0().Open) Port0().Open(ProgrammingPort, qncan_mode.data());
}

bool HandedOver(const PmgrDcb &b) {
    uint8_t v = 0;
    return b.handover != 0 && PlcReg_Get(&v, b.handover, 1) && v != 0;
}

bool PortInCommandMode() {
    const uint8_t *m = Vcomm_ModeRec(ProgrammingPort);
    return m != nullptr && (m[5] & 0x0F) == VCOMM_PROTO_CMD;
}

// Port hand-over: false when the driver is skipped for this scan, which any
// driver is while its hand-over bit is set; one on the programming port
// gives the port back then and takes it again when the bit clears.
bool HandOver(uint32_t d) {
    PmgrDcb &b = dcb[d];
    if (b.handover == 0 || b.cfg == nullptr) return true;
    if (HandedOver(b)) {
        if (b.port == 0 && !(port_switch & 1) && !PortInCommandMode()) {
            if (pmgr_hooks.talk_release) pmgr_hooks.talk_release(ProgrammingPort);
            if (Port0().Open) Port0().Open(ProgrammingPort, qncan_mode.data());
            b.state = PMGR_IDLE;
            port_switch |= 1;
        }
        return false;
    }
    if (b.port == 0 && (port_switch & 1) && PortInCommandMode()) {
        if (!pmgr_hooks.talk_override || !pmgr_hooks.talk_override(0)) return false;
        if (reinterpret_cast<PmgrInitFn>(b.entry[PMGR_H_INIT])(b.svc.data()) != 0) {
            if (pmgr_hooks.talk_release) pmgr_hooks.talk_release(0);
            return false;
        }
        initialised[d] = true;
        b.cycle = b.status2 = 0;
        b.svc[PMGR_S_CYCLE] = 0;
        b.ctl_req = b.ctl_result = 0;
        b.state = b.trig ? PMGR_TRIGGER_WAIT : PMGR_CYCLE_START;
        port_switch &= uint8_t(~1);
    }
    return true;
}

// The driver's cycle: false when nothing more is done this scan.
bool ScanCycle(PmgrDcb &b, uint32_t now) {
    switch (b.state) {
    case PMGR_CYCLE_START:
    case PMGR_RUNNING: return true;
    case PMGR_FED:
        if (b.trig) {
            TriggerClear(b.trig, b.trig_mask);
            if ((b.cfg_flags & 0x100) && b.ctl_result) {
                if (b.ctl_result == 1 && b.trig_value) LE_Put16(b.trig_value, b.saved_trig);
                b.ctl_result = 0;
            }
            b.state = PMGR_TRIGGER_WAIT;
        } else if (now - b.cycle_start > b.period) {
            if (b.period == 0)
                b.cycle = uint16_t((now - b.cycle_start) * 10);
            else
                b.cycle++;
            b.state = PMGR_CYCLE_START;
        } else {
            b.state = PMGR_PERIOD_WAIT;
        }
        return true;
    case PMGR_PERIOD_WAIT:
        if (now - b.cycle_start >= b.period) {
            b.state = PMGR_CYCLE_START;
            return true;
        }
        return false;
    case PMGR_TRIGGER_WAIT:
        if (!TriggerSet(b.trig, b.trig_mask)) return false;
        if (b.trig_value) {
            b.saved_trig = LE_Get16(b.trig_value);
            if ((b.cfg_flags & 0x100) && b.saved_trig == 255) {
                b.ctl_req = 10;
                b.ctl_arg = &b.saved_trig;
            }
        }
        b.state = PMGR_CYCLE_START;
        return true;
    default: return false;
    }
}

// The devices' fault and recovery states.
void ScanDevices(uint32_t d, PmgrDcb &b, uint32_t now, bool cycle_start) {
    for (uint32_t i = 0; i < b.ndev; i++) {
        PmgrDevice &v = scb[d][i];
        const uint16_t st = StatusOf(v);
        switch (v.state) {
        case PMGR_DEV_OK:
            if (st != 0 && !v.latched) {
                v.state = PMGR_DEV_FAULT;
                v.time = now;
            }
            break;
        case PMGR_DEV_RECOVERING: v.state = PMGR_DEV_OK; break;
        case PMGR_DEV_FAULT:
            if (b.state != PMGR_RUNNING) v.state = PMGR_DEV_REPORTED;
            break;
        case PMGR_DEV_REPORTED:
            // The user cleared the error code: the failing command's index goes too.
            if (v.status && st == 0) {
                v.state = PMGR_DEV_RECOVERING;
                StatusWord(v, 1, 0);
                v.owner = nullptr;
            } else {
                v.state = PMGR_DEV_FAULTED;
            }
            break;
        case PMGR_DEV_FAULTED:
            if (v.status && st == 0) {
                v.state = PMGR_DEV_OK;
                v.owner = nullptr;
                StatusWord(v, 1, 0);
            } else if (!(Word(v.entry + 20) & 1)) {
                const bool back = b.trig ? cycle_start : now - v.time >= b.retry_delay;
                if (back) {
                    v.state = PMGR_DEV_OK;
                    v.owner = nullptr;
                    if (v.status) v.latched = 1;
                }
            }
            break;
        default: break;
        }
    }
}

// The commands' states.
void ScanCommands(uint32_t d, PmgrDcb &b, uint32_t now, bool cycle_start) {
    for (uint32_t k = 0; k < b.ncmd; k++) {
        PmgrCommand &c = mcb[d][k];
        PmgrDevice &v = DeviceOf(c);
        if (NewTable() && Disabled(v)) continue;
        const uint16_t flags = Word(c.entry);
        const bool triggered = flags & (F_TRIG_READ | F_TRIG_WRITE);
        auto done = [&](bool put) {
            if (put) {
                if (flags & F_TWOWAY)
                    CovPut(d, k);
                else
                    Put(d, k);
            }
            if (v.latched) {
                v.latched = 0;
                StatusWord(v, 0, 0);
                StatusWord(v, 1, 0);
            }
        };
        switch (c.state) {
        case 0:
        case 3:
        case 5:
            if (v.state != PMGR_DEV_OK) c.state = 8;
            break;
        case 1:
        case 6:  // read done (put the data), block written
            done(c.state == 1);
            if (triggered) {
                TriggerClear(c.trig, c.trig_mask);
                c.state = 10;
            } else {
                c.state = 9;
            }
            break;
        case 2:
            Get(d, k);
            SetRun(d, k, 0);
            c.state = (flags & F_WRITE_FIRST) ? ((c.flags & 1) ? 3 : 5) : 0;
            break;
        case 4:
            done(false);
            SetRun(d, k, cmd_run[d][k] + c.run_length >= cmd_elems[d][k] ? 0 : cmd_run[d][k] + c.run_length);
            c.state = 9;
            break;
        case 7:
            StatusWord(v, 0, v.err);
            StatusWord(v, 1, uint16_t(k));
            v.time = now;
            v.owner = nullptr;
            c.state = 8;
            break;
        case 8:
            if (cycle_start && v.state < PMGR_DEV_FAULT) {
                // A two-way command reads again too: waiting for a trigger it
                // may not have, it would never come back.
                if (flags & F_TWOWAY) {
                    Get(d, k);
                    SetRun(d, k, 0);
                }
                c.state = (flags & (F_READ | F_TWOWAY)) ? 0 : 10;
            } else if (v.state >= PMGR_DEV_FAULT && triggered) {
                TriggerClear(c.trig, c.trig_mask);
            }
            break;
        case 9:
            if (v.state != PMGR_DEV_OK)
                c.state = 8;
            else if (cycle_start)
                c.state = ((flags & F_TWOWAY) && Compare(d, k)) ? 3 : 0;
            break;
        case 10:
            if (v.state != PMGR_DEV_OK) {
                c.state = 8;
            } else if (TriggerSet(c.trig, c.trig_mask)) {
                if (flags & F_TRIG_WRITE) {
                    Get(d, k);
                    c.state = 5;
                } else {
                    c.state = 0;
                }
            }
            break;
        case 11: {
            const uint32_t chars = LE_Get16(b.cfg + 2);
            static constexpr std::array<uint32_t, 13> kGap = {116666, 58333, 29166, 14583, 7291, 3645, 1822,
                                                              911,    607,   303,   2430,  1215, 3365};
            const uint32_t ticks = (kGap[chars < kGap.size() ? chars : 5] / 35 * 8) / 10;
            if (FPGA_GetFrt() - c.wait_start >= ticks) {
                c.state = uint8_t(c.resume);
                ClearWait(b);
            }
            break;
        }
        default: break;
        }
    }
}

// The status area: a reset asked, or the counters and the driver's words.
void ScanStatusArea(PmgrDcb &b) {
    // The driver keeps its second status word in the high half of its slot.
    b.status2 = uint16_t(b.svc[PMGR_S_CYCLE] >> 16);
    if (b.status_area) {
        uint8_t *s = b.status_area;
        if (LE_Get16(s + 2) & 0x8000) {
            if (b.entry[PMGR_H_RESET]) reinterpret_cast<PmgrVoidFn>(b.entry[PMGR_H_RESET])();
            b.cycle = 0;
            LE_Put16(s, 0);
            LE_Put16(s + 2, 0);
        } else {
            uint16_t w[2] = {0, 0};
            if (b.entry[PMGR_H_STATUS]) reinterpret_cast<PmgrStatusFn>(b.entry[PMGR_H_STATUS])(w);
            LE_Put16(s + 4, w[0]);
            LE_Put16(s + 6, w[1]);
            LE_Put16(s, b.cycle);
            LE_Put16(s + 2, uint16_t(b.status2 & 0x7FFF));
        }
    }
}

void Scan(uint32_t d) {
    PmgrDcb &b = dcb[d];
    if (!HandOver(d)) return;
    if (b.state == PMGR_IDLE) return;
    if (b.free_running) {
        // Not while the device of the first scan-list entry is disabled.
        const uint8_t *first = At(LE_Get32(Record(d) + 16), kCmdMin);
        const bool off = NewTable() && first != nullptr && first[16] < b.ndev && Disabled(scb[d][first[16]]);
        if (!off && b.entry[PMGR_H_SCAN]) reinterpret_cast<PmgrVoidFn>(b.entry[PMGR_H_SCAN])();
        return;
    }
    const uint32_t now = sysDTic;
    if (!ScanCycle(b, now)) return;
    const bool cycle_start = b.state == PMGR_CYCLE_START;
    ScanDevices(d, b, now, cycle_start);
    ScanCommands(d, b, now, cycle_start);
    ScanStatusArea(b);
    if (b.state == PMGR_CYCLE_START) {
        b.state = PMGR_RUNNING;
        b.cycle_start = now;
    }
    Mirror(d);
}

}  // namespace

uint16_t Pmgr_GroupVersion(uint32_t group) {
    const uint32_t count = promgr_table ? LE_Get32(promgr_table + 8) : 0;
    for (uint32_t n = 0; n < count && n < PMGR_DRIVERS; n++) {
        const uint8_t *rec = Record(n);
        if (rec && dcb[n].cfg && dcb[n].cfg[1] == group) return Word(rec + 28);
    }
    const uint8_t *rec = Record(0);
    return rec ? Word(rec + 28) : 313;
}

// ---- timers ----------------------------------------------------------------------------------

intptr_t CreateTimer() {
    for (uint32_t t = 0; t < PMGR_TIMERS; t++) {
        if (tcb[t].used != 1) {
            tcb[t] = PmgrTimer{sysDTic, 0, 1};
            return intptr_t(t);
        }
    }
    tcb[0] = PmgrTimer{sysDTic, 0, 1};
    return 0;
}

intptr_t WriteTimer(intptr_t t, intptr_t ms) {
    if (t < 0 || t >= intptr_t(PMGR_TIMERS)) return 0;
    tcb[size_t(t)].remaining = uint16_t((ms + 9) / 10);
    tcb[size_t(t)].start = sysDTic;
    return 0;
}

intptr_t ReadTimer(intptr_t t) {
    if (t < 0 || t >= intptr_t(PMGR_TIMERS)) return 0;
    PmgrTimer &x = tcb[size_t(t)];
    if (PlcWord(W_MODE) != 2) {
        x.remaining = 0;
        x.used = 0;
        return 0;
    }
    const uint32_t now = sysDTic, el = now - x.start;
    x.remaining = el >= x.remaining ? 0 : uint16_t(x.remaining - el);
    x.start = now;
    return x.remaining;
}

intptr_t CloseTimer(intptr_t t) {
    if (t >= 0 && t < intptr_t(PMGR_TIMERS)) tcb[size_t(t)].used = 0;
    return 0;
}

// ---- loading, start and stop ---------------------------------------------------------------

uint32_t PMGR_Config(uint32_t n) {
    if (n >= PMGR_DRIVERS) return 0;
    const uint8_t *rec = Record(n);
    if (rec == nullptr) return 0;
    const uint32_t img = LE_Get32(rec), cfg = LE_Get32(rec + 4);
    if (cfg <= img || At(img, cfg - img) == nullptr) return 0;
    for (uint32_t i = n; i < (n == 0 ? PMGR_DRIVERS : n + 1); i++) {
        // The first image's load closes the second's library too, but not
        // while that one's header is known: a driver started from it may be
        // running (the information for a display loads the first image when
        // it gave no header), and its entries would point into freed code.
        if (i != n && pExecHdr_info[i] != nullptr) continue;
        PLAT_DlClose(LibHandle[i]);
        LibHandle[i] = nullptr;
        pExecHdr_info[i] = nullptr;
    }
    char name[] = "/dev/shm/drv0.so";
    name[12] = char('0' + n);
    char path[512];
    if (PLAT_Path(name, path, sizeof path) == nullptr) return 0;
    const int fd = open(path, O_CREAT | O_TRUNC | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0) return 0;
    const uint8_t *p = promgr_table + img;
    uint32_t left = cfg - img;
    while (left > 0) {
        const ssize_t w = write(fd, p, left);
        if (w <= 0) {
            close(fd);
            return 0;
        }
        p += w;
        left -= uint32_t(w);
    }
    close(fd);
    const char *const names[] = {path, nullptr};
    LibHandle[n] = PLAT_DlOpen(names);
    return 1;
}

namespace {

// Puts the downloaded table in force; the number of its drivers, 0 when it
// has none to run.
uint32_t Locate() {
    promgr_table = nullptr;
    const uint32_t len = MF_Len(promgr_table_bl.data());
    if (!(NV_EditorFeatures & NVF_PROMGR) || len < PMGR_TABLE_MIN || len > PROMGR_TABLE_BL_SIZE - MF_HDR) return 0;
    uint8_t *t = promgr_table_bl.data() + MF_HDR;
    const uint32_t size = LE_Get32(t), count = LE_Get32(t + 8);
    if (size < PMGR_TABLE_MIN || count < 1 || count > PMGR_DRIVERS) return 0;
    promgr_table = t;
    table_len = size < len ? size : len;
    return count;
}

// Loads and opens driver n's image when its header is not known yet and
// looks up the header; false when the image file cannot be written.
bool Load(uint32_t n) {
    if (pExecHdr_info[n] != nullptr) return true;
    if (!PMGR_Config(n)) return false;
    void *slot[1] = {nullptr};
    const char *const sym[] = {"DRV_Header", nullptr};
    if (PLAT_DlResolve(LibHandle[n], sym, slot) == nullptr)
        pExecHdr_info[n] = reinterpret_cast<PmgrHeaderFn>(slot[0])();
    return true;
}

// The port number of an Ethernet driver: 1 and 3 stay; another value that
// shares a bit with the running mask becomes (value mod 16) + 1 and starts
// the mask again, else the mask moves on to the next bit.
uint16_t Renumber(uint16_t port) {
    if (port == 1 || port == 3) return port;
    if (port & port_mask) {
        port_mask = 0x20;
        return uint16_t(port % 16 + 1);
    }
    port_mask <<= 1;
    return port;
}

// First virtual serial port of driver n's port group: 256 x its port byte
// from 32 on; below 32 the group of the driver before it, whether or not
// that one started (ports 0 to 31 for the first). Read from the table: a
// driver that did not start has no control block to ask.
uint32_t PortGroup(uint32_t n) {
    for (uint32_t i = n + 1; i-- > 0;) {
        const uint8_t *rec = Record(i);
        const uint8_t *cfg = rec ? At(LE_Get32(rec + 4), kCfgMin) : nullptr;
        if (cfg != nullptr && cfg[1] >= 32) return 256u * cfg[1];
    }
    return 0;
}

}  // namespace

void PMGR_Start() {
    PromgrDriversLoaded = 0;
    const uint32_t count = Locate();
    if (count == 0) return;
    port_mask = 0x20;
    for (PmgrDcb &b : dcb) b.state = PMGR_IDLE;
    initialised.fill(false);
    for (PmgrTimer &x : tcb) x = PmgrTimer{};
    dataSeg.fill(0);
    drvData.fill(0);
    for (uint32_t n = 0; n < count; n++) {
        if (Record(n) == nullptr) break;
        if (!Load(n)) break;
        uintptr_t *h = pExecHdr_info[n];
        if (h == nullptr || uint32_t(h[PMGR_H_MAGIC]) != PMGR_MAGIC) continue;
        PmgrDcb &b = dcb[n];
        b = PmgrDcb{};
        b.data = dataSeg.data() + n * PMGR_SEG_WORDS;
        for (uint32_t k = PMGR_H_INIT; k < PMGR_H_SLOTS; k++) b.entry[k] = h[k];
        if (!b.entry[PMGR_H_INIT] || !b.entry[PMGR_H_READ] || !b.entry[PMGR_H_WRITE] || !b.entry[PMGR_H_CLASSIFY])
            continue;
        // A driver its start leaves stopped keeps no hand-over bit: the bit
        // would otherwise give the programming port away from whoever holds
        // it, or claim it and run a driver whose blocks were never built.
        if (!Resolve(n, n)) {
            b.state = PMGR_IDLE;
            b.handover = 0;
            continue;
        }
        if (!b.free_running) b.entry[PMGR_H_SCAN] = 0;
        FillServices(n);
        b.port = b.cfg[1];
        if (b.port != 0) {
            b.port = Renumber(b.port);
            EthernetServices(n);
            // A free-running driver too: its command blocks are built, and
            // the device of its first command replaces the device list.
            if (b.ncmd) b.svc[PMGR_S_DEVICE] = reinterpret_cast<uintptr_t>(DeviceOf(mcb[n][0]).entry);
            BuildDevTable(n);
        } else if ((port_switch & 1) && b.handover != 0) {
            // Handed back to the command protocol: the scan starts the driver
            // when its hand-over bit clears.
            Mirror(n);
            continue;
        } else {
            // A driver without a hand-over bit has nothing that would take the
            // port later: it takes it now.
            port_switch &= uint8_t(~1);
            if (!pmgr_hooks.talk_override || !pmgr_hooks.talk_override(0)) {
                b.handover = 0;
                continue;
            }
        }
        Mirror(n);
        if (reinterpret_cast<PmgrInitFn>(b.entry[PMGR_H_INIT])(b.svc.data()) != 0) {
            if (b.port == 0 && pmgr_hooks.talk_release) pmgr_hooks.talk_release(0);
            b.handover = 0;
            continue;
        }
        initialised[n] = true;
        if (b.entry[PMGR_H_CONTROL]) {
            const intptr_t answer = reinterpret_cast<PmgrControlFn>(b.entry[PMGR_H_CONTROL])(2, nullptr);
            // 1 to 3: the driver sends through the manager's PutTx wrapper,
            // which port 0's entry already is (the serial driver's own PutTx
            // takes other arguments). An Ethernet port keeps its virtual
            // port's PutTx: the serial wrapper would send its bytes out of
            // the programming port.
            if (answer >= 1 && answer <= 3 && b.port == 0) b.svc[PMGR_S_PUTTX] = Fn(SPutTx);
        }
        b.cycle = b.status2 = 0;
        b.svc[PMGR_S_CYCLE] = 0;
        b.ctl_req = b.ctl_result = 0;
        b.state = b.trig ? PMGR_TRIGGER_WAIT : PMGR_CYCLE_START;
        PromgrDriversLoaded = 1;
    }
}

void PMGR_Stop() {
    if (promgr_table == nullptr) return;
    for (uint32_t n = 0; n < PMGR_DRIVERS; n++) {
        PmgrDcb &b = dcb[n];
        if (initialised[n] && b.free_running && b.entry[PMGR_H_STOP])
            reinterpret_cast<PmgrVoidFn>(b.entry[PMGR_H_STOP])();
        initialised[n] = false;
        if (b.state != PMGR_IDLE) {
            b.state = PMGR_IDLE;
            if (b.port == 0) GiveBackPort();
        }
        pExecHdr_info[n] = nullptr;
        b.handover = 0;
        // The 32 virtual serial ports of the driver's port group. A driver
        // on the programming port opened no virtual port to close, nor did a
        // slot the table does not list (its port is a former table's).
        if (n < LE_Get32(promgr_table + 8) && b.port != 0) {
            const uint32_t first = PortGroup(n);
            for (uint32_t k = 0; k < VCOMM_ETH_PORTS; k++) EtnVComm_Drv.Close(intptr_t(first + k));
        }
    }
    PromgrDriversLoaded = 0;
}

void PMGR_Scan() {
    if (promgr_table == nullptr) return;
    for (uint32_t d = 0; d < PMGR_DRIVERS; d++) Scan(d);
}

void PMGR_TheLoop(uint32_t d) {
    if (promgr_table == nullptr || d >= PMGR_DRIVERS) return;
    PmgrDcb &b = dcb[d];
    if (b.state == PMGR_IDLE || b.state == PMGR_PERIOD_WAIT || b.state == PMGR_TRIGGER_WAIT) return;
    if (HandedOver(b)) {
        ClearWait(b);
        return;
    }
    if (b.ctl_req && b.entry[PMGR_H_CONTROL]) {
        Mirror(d);
        b.ctl_result = uint16_t(reinterpret_cast<PmgrControlFn>(b.entry[PMGR_H_CONTROL])(b.ctl_req, b.ctl_arg));
        b.ctl_req = 0;
    }
    Mirror(d);
    if (b.free_running) return;
    const uint32_t first = b.resume ? b.ncmd - b.resume : 0;
    for (uint32_t k = first; k < b.ncmd; k++) {
        Process(d, k);
        if (Waiting(b)) {
            b.resume = b.ncmd - k;
            return;
        }
    }
    b.resume = 0;
    if (b.state != PMGR_IDLE) b.state = PMGR_FED;
}

void PMGR_GetDrvInfo(std::span<char> buffer, uint32_t count) {
    const uint32_t slots =
        uint32_t(buffer.size() / PMGR_INFO_SLOT) < count ? uint32_t(buffer.size() / PMGR_INFO_SLOT) : count;
    for (uint32_t i = 0; i < slots; i++) {
        char *s = buffer.data() + PMGR_INFO_SLOT * i;
        std::snprintf(s, 25, "%s", "(None Loaded)");
        std::snprintf(s + 25, PMGR_INFO_SLOT - 25, "%s", " ");
    }
    if (promgr_table == nullptr && Locate() == 0) return;
    const uint32_t drivers = LE_Get32(promgr_table + 8);
    for (uint32_t n = 0; n < drivers && n < PMGR_DRIVERS; n++) {
        const uint8_t *rec = Record(n);
        if (rec == nullptr) break;
        if (!Load(n)) break;
        const uintptr_t *h = pExecHdr_info[n];
        if (h == nullptr || uint32_t(h[PMGR_H_MAGIC]) != PMGR_MAGIC) continue;
        const uint8_t *cfg = At(LE_Get32(rec + 4), kCfgMin);
        if (cfg == nullptr || cfg[1] >= slots) continue;
        char *s = buffer.data() + PMGR_INFO_SLOT * cfg[1];
        const char *name = reinterpret_cast<const char *>(h[PMGR_H_NAME]);
        std::snprintf(s, 21, "%s", name ? name : "");
        const uint16_t version = Word(rec + 28);
        const uint16_t *build = reinterpret_cast<const uint16_t *>(h[PMGR_H_BUILD]);
        std::snprintf(s + 25, PMGR_INFO_SLOT - 25, "Version %2d.%02d.%04d", version / 100, version % 100,
                      build ? *build : 0);
    }
}
