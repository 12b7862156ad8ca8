// Application CAN messages: the code image's CAN definition (ports, receive
// and send messages, variables mapped onto message bytes and bits) built into
// database sections 36-38, one CAN endpoint per port through the CAN seam,
// and the exchange of each cycle: receive, variables, send decision, write.
// Every offset and count of the definition is checked against the image
// before the build; a definition that does not fit builds nothing (code 1).
#include <bit>
#include <cerrno>
#include <cstring>

#include "core/image/bytes.h"
#include "iec/services/z7rtio.h"
#include "iec/services/z7svc.h"
#include "iec/vm/z7cnv.h"
#include "iec/vm/z7code_internal.h"
#include "iec/vm/z7stdlib.h"
#include "iec/vm/z7vm.h"
#include "platform/plat_can.h"

namespace {
// A port name runs from byte 16 to its terminator inside the 80-byte record.
constexpr uint32_t kPortCfg = 80, kVarCfg = 16, kNameAt = 16, kNameMax = kPortCfg - kNameAt - 1;

// The definition header with its tables as arena addresses, all inside the image.
struct CanDef {
    uint32_t version = 0, ports = 0, nrcv = 0, nsnd = 0, nvar = 0, spare = 0;
    uint32_t port_at = 0, rcv_at = 0, snd_at = 0, var_at = 0, scale_at = 0;
};

uint32_t MsgCfgSize(const Z7Img &img, uint32_t off) { return (img.B(off + 15) & 0x80) ? 24 : 16; }

// Walks count message records from off; false when one leaves the image.
bool MsgListIn(const Z7Img &img, uint32_t off, uint32_t count) {
    for (uint32_t i = 0; i < count; i++) {
        if (!img.In(off, 16) || !img.In(off, MsgCfgSize(img, off))) return false;
        off += MsgCfgSize(img, off);
    }
    return true;
}

// 0 parsed (or no definition: all counts 0), 1 the definition does not fit the image.
uint32_t ParseDef(uint32_t code, CanDef &d) {
    d = CanDef{};
    const uint32_t a = Z7VMCode_GetCanDef(code);
    if (a == 0) return 0;
    const Z7Img img = Z7Img_Of(code);
    const uint32_t h = a - code;
    if (a < code || !img.In(h, 28)) return 1;
    d.version = img.W16(h);
    d.ports = img.W16(h + 2);
    d.nrcv = img.W16(h + 4);
    d.nsnd = img.W16(h + 6);
    d.nvar = img.W16(h + 8);
    d.spare = img.W16(h + 10);
    const uint32_t po = img.W32(h + 12), ro = img.W32(h + 16), so = img.W32(h + 20), vo = img.W32(h + 24);
    const uint32_t sco = d.version > 1 && img.In(h, 32) ? img.W32(h + 28) : 0;
    if (d.nrcv + d.nsnd + 2ull * d.ports * d.spare > 0xFFFF) return 1;
    if (d.ports && !img.In(po, kPortCfg * d.ports)) return 1;
    if (d.nvar && !img.In(vo, kVarCfg * d.nvar)) return 1;
    if (d.version > 1 && d.nvar && !img.In(sco, 8 * d.nvar)) return 1;
    if ((d.nrcv && !MsgListIn(img, ro, d.nrcv)) || (d.nsnd && !MsgListIn(img, so, d.nsnd))) return 1;
    uint32_t sum_r = 0, sum_s = 0;
    for (uint32_t p = 0; p < d.ports; p++) {
        const uint32_t r = po + kPortCfg * p;
        sum_r += img.W16(r + 2);
        sum_s += img.W16(r + 4);
        bool ended = false;
        for (uint32_t k = 0; k <= kNameMax && !ended; k++) ended = img.B(r + kNameAt + k) == 0;
        if (!ended) return 1;
    }
    if (sum_r > d.nrcv || sum_s > d.nsnd) return 1;
    d.port_at = d.ports ? code + po : 0;
    d.rcv_at = d.nrcv ? code + ro : 0;
    d.snd_at = d.nsnd ? code + so : 0;
    d.var_at = d.nvar ? code + vo : 0;
    d.scale_at = d.version > 1 && d.nvar ? code + sco : 0;
    return 0;
}

uint32_t MsgSlots(const CanDef &d) { return d.nrcv + d.nsnd + 2 * d.ports * d.spare; }

uint32_t PortRec(uint32_t db, uint32_t i) { return Z7Sec_Elem(db, Z7SEC_CAN0, i); }
uint32_t MsgRec(uint32_t db, uint32_t i) { return Z7Sec_Elem(db, Z7SEC_CAN0 + 1, i); }
uint32_t VarRec(uint32_t db, uint32_t i) { return Z7Sec_Elem(db, Z7SEC_CAN0 + 2, i); }
uint32_t Count(uint32_t db, uint32_t k) { return Z7Sec_Get(db, Z7SEC_CAN0 + k, SD_ALLOC); }

uint16_t MFlags(uint32_t m) { return Z7Mem_Get16(m + CM_FLAGS); }
void SetMFlags(uint32_t m, uint16_t f) { Z7Mem_Put16(m + CM_FLAGS, f); }
uint16_t PFlags(uint32_t p) { return Z7Mem_Get16(p + CP_FLAGS); }
void SetPFlags(uint32_t p, uint16_t f) { Z7Mem_Put16(p + CP_FLAGS, f); }
int32_t Sock(uint32_t p) { return int32_t(Z7Mem_Get32(p + CP_SOCK)); }

uint8_t LockMask(uint32_t type) {
    switch (Z7Tools_TypeSize(type)) {
    case 1: return 0x01;
    case 2: return 0x02;
    case 8: return 0x08;
    case 4: return type == IEC_TIME ? 0x10 : 0x04;
    default: return 0;
    }
}

bool ValidType(uint32_t t) { return t != 0 && t <= 17 && t != IEC_STRING && Z7Tools_TypeSize(t) != 0; }

void BuildVar(uint32_t db, const CanDef &d, uint32_t j) {
    const uint32_t v = VarRec(db, j), cfg = d.var_at + kVarCfg * j;
    Z7Mem_Put32(v + CV_CFG, cfg);
    const uint32_t idx = Z7Mem_Get16(cfg), send = Z7Mem_Get8(cfg + 8);
    uint32_t msg = 0;
    if (send && idx < d.nsnd)
        msg = MsgRec(db, d.nrcv + idx);
    else if (!send && idx < d.nrcv)
        msg = MsgRec(db, idx);
    Z7Mem_Put32(v + CV_MSG, msg);
    if (d.scale_at) {
        const uint32_t s = d.scale_at + 8 * j;
        const float f = std::bit_cast<float>(Z7Mem_Get32(s)), o = std::bit_cast<float>(Z7Mem_Get32(s + 4));
        if (!(f == 1.0f && o == 0.0f)) Z7Mem_Put32(v + CV_SCALE, s);
    }
    const uint32_t type = Z7Mem_Get8(cfg + 9), seg = Z7Mem_Get16(cfg + 10);
    if (!ValidType(type)) return;
    const uint32_t width = Z7Tools_TypeSize(type);
    if (seg != 0) {
        const uint32_t a = Z7Tools_GetAnyParam(db, type, seg);
        if (a == 0) return;
        Z7Mem_Put32(v + CV_DATA, a);
        Z7Mem_Put32(v + CV_LOCK, Z7Sec_Elem(db, Z7SEC_LOCK, seg));
        Z7Mem_Put8(v + CV_MASK, LockMask(type));
    } else {
        const uint32_t off = Z7Mem_Get32(cfg + 12), ct = Z7Sec_Addr(db, Z7SEC_CT);
        if (ct == 0 || uint64_t(off) + width > Z7Sec_Bytes(db, Z7SEC_CT)) return;
        Z7Mem_Put32(v + CV_DATA, ct + off);
    }
}

// ---- variables -------------------------------------------------------------------------------------
struct Var {
    uint32_t cfg, msg;
    uint8_t *data;  // the variable's bytes (null: unbound)
    uint8_t *lock;
    uint8_t mask;
    uint32_t type, width, scale;
    bool Locked() const { return lock != nullptr && (*lock & mask); }
};

// The variable's value converted to type (through REAL with the scaling pair).
void Load(const Var &v, uint32_t type, uint8_t out[8]) {
    std::memset(out, 0, 8);
    if (v.scale == 0 && type == v.type) {
        std::memcpy(out, v.data, v.width);
        return;
    }
    if (v.scale == 0) {
        Z7VMCnv_ConvBin(out, v.data, type, v.type);
        return;
    }
    uint8_t r[8] = {};
    Z7VMCnv_ConvBin(r, v.data, IEC_REAL, v.type);
    float x;
    std::memcpy(&x, r, 4);
    const float f = std::bit_cast<float>(Z7Mem_Get32(v.scale)), o = std::bit_cast<float>(Z7Mem_Get32(v.scale + 4));
    x = x * f + o;
    Z7VMCnv_ConvBin(out, reinterpret_cast<const uint8_t *>(&x), type, IEC_REAL);
}

// A value of type into the variable (through REAL with the scaling pair).
void Store(const Var &v, const uint8_t val[8], uint32_t type) {
    uint8_t out[8] = {};
    if (v.scale == 0 && type == v.type && type != IEC_BOOL) {
        std::memcpy(v.data, val, v.width);
        return;
    }
    if (v.scale == 0) {
        Z7VMCnv_ConvBin(out, val, v.type, type);
    } else {
        uint8_t r[8] = {};
        Z7VMCnv_ConvBin(r, val, IEC_REAL, type);
        float x;
        std::memcpy(&x, r, 4);
        const float f = std::bit_cast<float>(Z7Mem_Get32(v.scale)), o = std::bit_cast<float>(Z7Mem_Get32(v.scale + 4));
        x = (x - o) / f;
        Z7VMCnv_ConvBin(out, reinterpret_cast<const uint8_t *>(&x), v.type, IEC_REAL);
    }
    std::memcpy(v.data, out, v.width);
}

void StoreU32(const Var &v, uint32_t x) {
    const uint8_t b[8] = {uint8_t(x), uint8_t(x >> 8), uint8_t(x >> 16), uint8_t(x >> 24), 0, 0, 0, 0};
    Store(v, b, IEC_UDINT);
}
uint32_t LoadU32(const Var &v) {
    uint8_t b[8];
    Load(v, IEC_UDINT, b);
    return b[0] | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
}
bool NonZero(const Var &v) {
    for (uint32_t i = 0; i < v.width; i++)
        if (v.data[i]) return true;
    return false;
}

// Position of bit i of a field of n bits (byte index and bit within it).
struct BitPos {
    uint32_t byte, bit;
};
// Field of n bits from bit b of byte off; false when it passes the 8 bytes.
bool FieldFits(uint32_t off, uint32_t b, uint32_t n, bool msb) {
    if (b > 7 || n == 0 || n > 64 || off > 7) return false;
    const uint32_t start = msb ? off * 8 + (7 - (b == 0 ? 7 : b - 1)) : off * 8 + b;
    return start + n <= 64;
}
BitPos FieldBit(uint32_t off, uint32_t b, uint32_t n, bool msb, uint32_t i) {
    if (!msb) {
        const uint32_t p = off * 8 + b + i;
        return {p / 8, p % 8};
    }
    const uint32_t first = b == 0 ? 7 : b - 1;
    const uint32_t q = off * 8 + (7 - first) + (n - 1 - i);  // counted from bit 7 of byte 0 downwards
    return {q / 8, 7 - q % 8};
}

void Mark(uint32_t msg) { SetMFlags(msg, uint16_t(MFlags(msg) | CMF_CHANGED)); }

uint32_t PortOfMsg(uint32_t db, uint32_t msg) {
    const uint32_t n = Z7Mem_Get16(msg + CM_PORT);
    return n < Count(db, 0) ? PortRec(db, n) : 0;
}

// A = host address of arena offset 0; the record's addresses were checked at build.
void ExchangeVar(uint32_t db, uint8_t *A, const uint8_t *rec) {
    Var v{};
    v.cfg = LE_Get32(rec + CV_CFG);
    v.msg = LE_Get32(rec + CV_MSG);
    const uint32_t data_at = LE_Get32(rec + CV_DATA);
    if (v.cfg == 0 || v.msg == 0 || data_at == 0) return;
    const uint8_t *c = A + v.cfg;
    v.type = c[9];
    v.width = Z7Tools_TypeSize(v.type);
    v.data = A + data_at;
    const uint32_t lock_at = LE_Get32(rec + CV_LOCK);
    v.lock = lock_at ? A + lock_at : nullptr;
    v.mask = rec[CV_MASK];
    v.scale = LE_Get32(rec + CV_SCALE);
    if (v.width == 0) return;
    uint8_t *data = A + v.msg + CM_DATA;
    const uint16_t mf = MFlags(v.msg);
    const bool fresh = (mf & CMF_NEW) != 0;
    const uint32_t off = c[2], kind = c[3], mask = c[4], size = c[5], mtype = c[6];
    const bool rev = c[7] != 0;
    uint8_t val[8] = {};
    switch (kind) {
    case 1:
        if (!fresh || v.Locked() || off > 7) return;
        if (mask != 0) {
            val[0] = (data[off] & mask) ? 1 : 0;
            Store(v, val, IEC_BOOL);
            return;
        }
        if (size == 0 || off + size > 8 || !ValidType(mtype)) return;
        for (uint32_t i = 0; i < size; i++) val[i] = data[off + (rev ? size - 1 - i : i)];
        Store(v, val, mtype);
        return;
    case 2: {
        if (off > 7) return;
        if (mask != 0) {
            const uint8_t was = data[off];
            data[off] = NonZero(v) ? uint8_t(was | mask) : uint8_t(was & ~mask);
            if (data[off] != was) Mark(v.msg);
            return;
        }
        if (size == 0 || off + size > 8 || !ValidType(mtype)) return;
        Load(v, mtype, val);
        bool changed = false;
        for (uint32_t i = 0; i < size; i++) {
            uint8_t &d = data[off + (rev ? size - 1 - i : i)];
            if (d != val[i]) {
                d = val[i];
                changed = true;
            }
        }
        if (changed) Mark(v.msg);
        return;
    }
    case 17: {
        if (!fresh || v.Locked() || !FieldFits(off, mask, size, rev)) return;
        uint64_t x = 0;
        for (uint32_t i = 0; i < size; i++) {
            const BitPos p = FieldBit(off, mask, size, rev, i);
            if (data[p.byte] & (1u << p.bit)) x |= uint64_t(1) << i;
        }
        for (uint32_t i = 0; i < 8; i++) val[i] = uint8_t(x >> (8 * i));
        Store(v, val, ValidType(mtype) ? mtype : uint32_t(IEC_ULINT));
        return;
    }
    case 18: {
        if (!FieldFits(off, mask, size, rev)) return;
        Load(v, ValidType(mtype) ? mtype : uint32_t(IEC_ULINT), val);
        uint64_t x = 0;
        for (uint32_t i = 0; i < 8; i++) x |= uint64_t(val[i]) << (8 * i);
        bool changed = false;
        for (uint32_t i = 0; i < size; i++) {
            const BitPos p = FieldBit(off, mask, size, rev, i);
            const uint8_t bit = uint8_t(1u << p.bit);
            const bool want = (x >> i) & 1;
            if (((data[p.byte] & bit) != 0) != want) {
                data[p.byte] ^= bit;
                changed = true;
            }
        }
        if (changed) Mark(v.msg);
        return;
    }
    case 33:
        if (!fresh || v.Locked() || off + 3 > 8) return;
        StoreU32(v, data[off] + 256u * data[off + 1] + 65536u * (data[off + 2] >> 5));
        return;
    case 34: {
        if (off + 3 > 8) return;
        const uint32_t x = LoadU32(v);
        const uint8_t b0 = uint8_t(x), b1 = uint8_t(x >> 8),
                      b2 = uint8_t((data[off + 2] & 0x1F) | ((x >> 16) & 7) << 5);
        if (data[off] != b0 || data[off + 1] != b1 || data[off + 2] != b2) {
            data[off] = b0;
            data[off + 1] = b1;
            data[off + 2] = b2;
            Mark(v.msg);
        }
        return;
    }
    case 129:
    case 130:
    case 131:
    case 132:
    case 134: {
        if (v.Locked()) return;
        const uint32_t port = PortOfMsg(db, v.msg);
        uint32_t x = 0;
        if (kind == 129)
            x = Z7Can_GetErrors(port);
        else if (kind == 130)
            x = Z7Can_GetBusOffFlag(port);
        else if (kind == 131)
            x = fresh ? 1 : 0;
        else if (kind == 132)
            x = port && (PFlags(port) & CPF_FRAME) ? 1 : 0;
        else
            x = Z7Mem_Get32(v.msg + CM_HOST1);
        StoreU32(v, x);
        return;
    }
    case 133:
        if (NonZero(v)) {
            SetMFlags(v.msg, uint16_t(mf | CMF_REQUEST));
            if (!v.Locked()) std::memset(v.data, 0, v.width);
        }
        return;
    case 135: {
        const uint32_t x = LoadU32(v);
        if (x != Z7Mem_Get32(v.msg + CM_HOST2)) {
            Z7Mem_Put32(v.msg + CM_HOST2, x);
            Z7CAN_OnSpcOut(PortOfMsg(db, v.msg), v.msg);
        }
        return;
    }
    case 136: {
        const uint32_t x = LoadU32(v);
        if (x <= 8 && !fresh) Z7Mem_Put8(v.msg + CM_LEN, uint8_t(x));
        return;
    }
    default: return;
    }
}

// ---- send decision and queues ------------------------------------------------------------------------
constexpr uint32_t kDay = 86400000u;
uint32_t StampOf(uint32_t now) { return now == 0 ? kDay : now; }

void Enqueue(uint32_t port, uint32_t msg) {
    Z7Mem_Put32(msg + CM_NEXT, 0);
    const uint32_t tail = Z7Mem_Get32(port + CP_QTAIL);
    if (tail)
        Z7Mem_Put32(tail + CM_NEXT, msg);
    else
        Z7Mem_Put32(port + CP_QHEAD, msg);
    Z7Mem_Put32(port + CP_QTAIL, msg);
}

void Decide(uint32_t db, uint32_t msg, uint32_t now) {
    uint16_t f = MFlags(msg);
    const uint32_t cfg = Z7Mem_Get32(msg + CM_CFG);
    const uint32_t port = PortOfMsg(db, msg);
    if (!(f & CMF_SENDLIST) || (f & CMF_QUEUED) || cfg == 0 || port == 0) return;
    uint32_t last = Z7Mem_Get32(msg + CM_LAST);
    if (last == 0) Z7Mem_Put32(msg + CM_LAST, last = StampOf(now));
    const uint32_t elapsed = Z7VM_Elapsed(last, now);
    const bool first = (PFlags(port) & CPF_FIRST) != 0;
    const uint32_t cycle = Z7Mem_Get32(cfg + 4), max = Z7Mem_Get32(cfg + 8);
    bool send = false;
    switch (Z7Mem_Get8(cfg + 15) & 0x0F) {
    case 1: send = first || elapsed >= cycle; break;
    case 2:
        if (f & CMF_REQUEST) {
            f = uint16_t(f & ~CMF_REQUEST);
            send = true;
        }
        break;
    case 3: send = first || (max != 0 && elapsed >= max) || ((f & CMF_CHANGED) && elapsed >= cycle); break;
    default: break;
    }
    if (!send) {
        SetMFlags(msg, f);
        return;
    }
    SetMFlags(msg, uint16_t(f | CMF_QUEUED));
    Enqueue(port, msg);
    Z7Mem_Put32(msg + CM_LAST, StampOf(now));
}

// 1 written or dropped, 0 the endpoint is busy (the frame stays for the next cycle).
uint32_t WriteFrame(int32_t sock, uint32_t msg) {
    if (sock < 0) return 1;
    uint8_t fr[PLAT_CAN_FRAME] = {};
    // An identifier above 11 bits, or one that carries the extended flag
    // itself (a 29-bit identifier of any value), goes out as an extended
    // frame; dropping the flag would put a standard frame of another
    // message on the bus. The remote flag of a request read from a spare
    // slot does not go out: given back, its identifier answers the request
    // with the data frame.
    const uint32_t word = Z7Mem_Get32(msg + CM_ID);
    uint32_t id = word & 0x1FFFFFFF;
    if (id > 0x7FF || (word & PLAT_CAN_EFF)) id |= PLAT_CAN_EFF;
    for (int i = 0; i < 4; i++) fr[i] = uint8_t(id >> (8 * i));
    fr[4] = Z7Mem_Get8(msg + CM_LEN);
    std::memcpy(fr + 8, Z7Mem_Ptr(msg + CM_DATA, 8), 8);
    if (PLAT_CanWrite(sock, fr) == int(PLAT_CAN_FRAME)) return 1;
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS ? 0 : 1;
}
}  // namespace

// ---- sizing and build ---------------------------------------------------------------------------------
uint32_t Z7VMCan_GetDBSize(uint32_t code, uint8_t *t) {
    CanDef d;
    if (t == nullptr || ParseDef(code, d) != 0) d = CanDef{};
    const uint32_t counts[3] = {d.ports, MsgSlots(d), d.nvar}, sizes[3] = {CP_SIZE, CM_SIZE, CV_SIZE};
    for (uint32_t k = 0; k < 3 && t; k++) {
        uint8_t *e = t + (Z7SEC_CAN0 + k) * Z7_DESC_SIZE;
        std::memset(e, 0, Z7_DESC_SIZE);
        e[SD_ELEM] = uint8_t(sizes[k]);
        e[SD_ALLOC] = uint8_t(counts[k]);
        e[SD_ALLOC + 1] = uint8_t(counts[k] >> 8);
    }
    return 0;
}

uint32_t Z7VMCan_CanBuildHot(uint32_t db, uint32_t code) {
    CanDef d;
    if (ParseDef(code, d) != 0) return 1;
    if (Z7VMCode_GetCanDef(code) == 0) return 0;
    return d.ports > Count(db, 0) || MsgSlots(d) > Count(db, 1) || d.nvar > Count(db, 2) ? 1 : 0;
}

namespace {
uint32_t BuildRecords(uint32_t code, uint32_t db) {
    CanDef d;
    for (uint32_t k = 0; k < 3; k++)
        if (const uint32_t a = Z7Sec_Addr(db, Z7SEC_CAN0 + k))
            if (uint8_t *p = Z7Mem_Ptr(a, Z7Sec_Bytes(db, Z7SEC_CAN0 + k)))
                std::memset(p, 0, Z7Sec_Bytes(db, Z7SEC_CAN0 + k));
    for (uint32_t i = 0; i < Count(db, 0); i++) Z7Mem_Put32(PortRec(db, i) + CP_SOCK, uint32_t(-1));
    if (ParseDef(code, d) != 0) return 1;
    if (d.ports > Count(db, 0) || MsgSlots(d) > Count(db, 1) || d.nvar > Count(db, 2)) return 1;
    const uint32_t cb = Z7Fn_Register(reinterpret_cast<Z7Fn>(&Z7VMCan_CB));
    uint32_t cum_r = 0, cum_s = 0;
    for (uint32_t p = 0; p < d.ports; p++) {
        const uint32_t r = PortRec(db, p), cfg = d.port_at + kPortCfg * p;
        const uint32_t nr = Z7Mem_Get16(cfg + 2), ns = Z7Mem_Get16(cfg + 4);
        const uint32_t spare = d.nrcv + d.nsnd + 2 * p * d.spare;
        Z7Mem_Put32(r + CP_CFG, cfg);
        Z7Mem_Put32(r + CP_RCV, nr ? MsgRec(db, cum_r) : 0);
        Z7Mem_Put32(r + CP_SND, ns ? MsgRec(db, d.nrcv + cum_s) : 0);
        Z7Mem_Put32(r + CP_SPARE_RCV, d.spare ? MsgRec(db, spare) : 0);
        Z7Mem_Put32(r + CP_SPARE_SND, d.spare ? MsgRec(db, spare + d.spare) : 0);
        Z7Mem_Put32(r + CP_NAME, cfg + kNameAt);
        Z7Mem_Put16(r + CP_FLAGS, uint16_t(CPF_FIRST | (Z7Mem_Get16(cfg + 10) == 1 ? CPF_WORD5 : 0)));
        Z7Mem_Put16(r + CP_WORD6, Z7Mem_Get16(cfg + 12));
        Z7Mem_Put16(r + CP_SPARES, uint16_t(d.spare));
        Z7Mem_Put16(r + CP_NRCV, uint16_t(nr));
        Z7Mem_Put32(r + CP_CB, cb);
        for (uint32_t k = 0; k < 2 * d.spare; k++) Z7Mem_Put16(MsgRec(db, spare + k) + CM_PORT, uint16_t(p));
        cum_r += nr;
        cum_s += ns;
    }
    for (uint32_t list = 0; list < 2; list++) {
        uint32_t cfg = list ? d.snd_at : d.rcv_at;
        const uint32_t n = list ? d.nsnd : d.nrcv, first = list ? d.nrcv : 0;
        for (uint32_t i = 0; i < n; i++) {
            const uint32_t m = MsgRec(db, first + i), size = (Z7Mem_Get8(cfg + 15) & 0x80) ? 24 : 16;
            const uint8_t b15 = Z7Mem_Get8(cfg + 15);
            Z7Mem_Put32(m + CM_CFG, cfg);
            Z7Mem_Put32(m + CM_ID, Z7Mem_Get32(cfg));
            const uint8_t len = Z7Mem_Get8(cfg + 14);
            Z7Mem_Put8(m + CM_LEN, len > 8 ? 8 : len);
            if (b15 & 0x80) std::memcpy(Z7Mem_Ptr(m + CM_DATA, 8), Z7Mem_Ptr(cfg + 16, 8), 8);
            const uint32_t port = Z7Mem_Get16(cfg + 12);
            Z7Mem_Put16(m + CM_PORT, uint16_t(port < d.ports ? port : 0xFFFF));
            if (list) SetMFlags(m, uint16_t(CMF_SENDLIST | ((b15 & 0x40) ? CMF_CONFIG : 0)));
            cfg += size;
        }
    }
    // receive messages know their port from the port's list
    for (uint32_t p = 0, at = 0; p < d.ports; p++) {
        const uint32_t nr = Z7Mem_Get16(d.port_at + kPortCfg * p + 2);
        for (uint32_t i = 0; i < nr; i++) Z7Mem_Put16(MsgRec(db, at + i) + CM_PORT, uint16_t(p));
        at += nr;
    }
    for (uint32_t j = 0; j < d.nvar; j++) BuildVar(db, d, j);
    return 0;
}
}  // namespace

uint32_t Z7VMCan_Build(uint32_t code, uint32_t db) {
    const uint32_t rc = BuildRecords(code, db);
    if (rc != 0) return rc;
    _Z7VMCan_Open(db);  // a port that does not open is traced and stays without endpoint
    return 0;
}

uint32_t Z7VMCan_BuildHot(uint32_t db, uint32_t code) {
    if (Z7VMCan_CanBuildHot(db, code) != 0) return 1;
    Z7VMCan_Close(db);
    return Z7VMCan_Build(code, db) != 0 ? 1 : 0;
}

uint32_t _Z7VMCan_Open(uint32_t db) {
    Z7Can_PreOpen(db);
    uint32_t rc = 0;
    for (uint32_t i = 0; i < Count(db, 0); i++) {
        const uint32_t p = PortRec(db, i);
        const uint32_t cfg = Z7Mem_Get32(p + CP_CFG);
        if (cfg == 0) continue;
        const char *name = reinterpret_cast<const char *>(Z7Mem_Ptr(Z7Mem_Get32(p + CP_NAME), kNameMax + 1));
        if (name != nullptr && Z7Can_Open(p, name) != 0) rc = 1;
    }
    return rc;
}

void Z7VMCan_Close(uint32_t db) {
    for (uint32_t i = 0; i < Count(db, 0); i++) Z7Can_Close(PortRec(db, i));
    Z7Can_PostClose(db);
}

// ---- the cycle -----------------------------------------------------------------------------------------
void Z7VMCan_ExchangeAt(uint32_t db, uint32_t now) {
    const uint32_t np = Count(db, 0), nm = Count(db, 1), nv = Count(db, 2);
    if (np == 0) return;
    for (uint32_t i = 0; i < np; i++) Z7Can_OnPreExchange(PortRec(db, i));
    uint8_t *const A = Z7Mem_Ptr(db, 1) - db;
    if (const uint8_t *vars = nv ? Z7Mem_Ptr(VarRec(db, 0), CV_SIZE * nv) : nullptr)
        for (uint32_t j = 0; j < nv; j++) ExchangeVar(db, A, vars + CV_SIZE * j);
    for (uint32_t m = 0; m < nm; m++) Decide(db, MsgRec(db, m), now);
    // every port leaves its first exchange, not the first port alone: the
    // others would send their cyclic and on-change messages every cycle
    for (uint32_t i = 0; i < np; i++) {
        const uint32_t p = PortRec(db, i);
        SetPFlags(p, uint16_t(PFlags(p) & ~(CPF_FRAME | CPF_FIRST)));
    }
    for (uint32_t m = 0; m < nm; m++) {
        const uint32_t r = MsgRec(db, m);
        if (Z7Mem_Get32(r + CM_CFG) != 0) SetMFlags(r, uint16_t(MFlags(r) & ~CMF_NEW));
    }
    for (uint32_t i = 0; i < np; i++) Z7Can_OnPostExchange(PortRec(db, i));
}

void Z7VMCan_Exchange(uint32_t db) { Z7VMCan_ExchangeAt(db, Z7Host_Ms()); }

// ---- application messages and port lookup ----------------------------------------------------------------
uint32_t _Z7VMCan_FindPort(uint32_t db, const char *name) {
    const uint32_t np = Count(db, 0);
    if (name == nullptr || np == 0) return 0;
    auto live = [&](uint32_t i) { return i < np && Z7Mem_Get32(PortRec(db, i) + CP_CFG) ? PortRec(db, i) : 0u; };
    if (name[0] == 0) return live(0);
    for (uint32_t i = 0; i < np; i++) {
        const uint32_t p = live(i);
        const char *pn =
            p ? reinterpret_cast<const char *>(Z7Mem_Ptr(Z7Mem_Get32(p + CP_NAME), kNameMax + 1)) : nullptr;
        if (pn != nullptr && std::strcmp(pn, name) == 0) return p;
    }
    if (name[0] >= '1' && name[0] <= '9') {
        uint32_t n = 0;
        for (const char *c = name; *c >= '0' && *c <= '9' && n <= np; c++) n = n * 10 + uint32_t(*c - '0');
        return n <= np ? live(n - 1) : 0;
    }
    return 0;
}

uint32_t Z7VMCan_SendAppMsg(uint32_t db, const char *name, uint32_t id, uint32_t len, const uint8_t *data,
                            uint32_t flag) {
    const uint32_t p = _Z7VMCan_FindPort(db, name);
    if (p == 0 || len > 8 || (len != 0 && data == nullptr)) return 0;
    const uint32_t first = Z7Mem_Get32(p + CP_SPARE_SND), n = Z7Mem_Get16(p + CP_SPARES);
    for (uint32_t k = 0; first && k < n; k++) {
        const uint32_t m = first + CM_SIZE * k;
        if (MFlags(m) & CMF_QUEUED) continue;
        Z7Mem_Put32(m + CM_ID, id);
        Z7Mem_Put8(m + CM_LEN, uint8_t(len));
        uint8_t *d = Z7Mem_Ptr(m + CM_DATA, 8);
        std::memset(d, 0, 8);
        if (len) std::memcpy(d, data, len);
        SetMFlags(m, uint16_t(CMF_QUEUED | CMF_APP | (flag ? CMF_CONFIG : 0)));
        return 1;
    }
    return 0;
}

uint32_t Z7VMCan_RcvAppMsg(uint32_t db, const char *name, uint32_t *id, uint32_t *len, uint8_t *data) {
    const uint32_t p = _Z7VMCan_FindPort(db, name);
    if (p == 0) return 0;
    const uint32_t first = Z7Mem_Get32(p + CP_SPARE_RCV), n = Z7Mem_Get16(p + CP_SPARES);
    for (uint32_t k = 0; first && k < n; k++) {
        const uint32_t m = first + CM_SIZE * k;
        if (!(MFlags(m) & CMF_NEW)) continue;
        if (id) *id = Z7Mem_Get32(m + CM_ID);
        if (len) *len = Z7Mem_Get8(m + CM_LEN);
        if (data) std::memcpy(data, Z7Mem_Ptr(m + CM_DATA, 8), 8);
        SetMFlags(m, 0);
        Z7Mem_Put8(m + CM_MARK, 0);
        return 1;
    }
    return 0;
}

// ---- host callbacks ------------------------------------------------------------------------------------------
uint32_t Z7VMCan_PeekNextSndMsg(uint32_t port) { return port ? Z7Mem_Get32(port + CP_QHEAD) : 0; }

uint32_t Z7VMCan_PopNextSndMsg(uint32_t port) {
    const uint32_t m = Z7VMCan_PeekNextSndMsg(port);
    if (m == 0) return 0;
    const uint32_t next = Z7Mem_Get32(m + CM_NEXT);
    Z7Mem_Put32(port + CP_QHEAD, next);
    if (next == 0) Z7Mem_Put32(port + CP_QTAIL, 0);
    Z7Mem_Put32(m + CM_NEXT, 0);
    SetMFlags(m, uint16_t(MFlags(m) & ~(CMF_QUEUED | CMF_CHANGED | CMF_REQUEST)));
    return m;
}

uint32_t Z7VMCan_GetRcvMsgList(uint32_t port, uint32_t *count) {
    if (count) *count = port ? Z7Mem_Get16(port + CP_NRCV) : 0;
    return port ? Z7Mem_Get32(port + CP_RCV) : 0;
}

uint32_t Z7VMCan_GetSndMsgList(uint32_t port, uint32_t *count) {
    const uint32_t cfg = port ? Z7Mem_Get32(port + CP_CFG) : 0;
    if (count) *count = cfg ? Z7Mem_Get16(cfg + 4) : 0;
    return port ? Z7Mem_Get32(port + CP_SND) : 0;
}

uint32_t Z7VMCan_FindRcvMsg(uint32_t port, uint32_t id) {
    uint32_t n = 0;
    const uint32_t first = Z7VMCan_GetRcvMsgList(port, &n);
    uint32_t lo = 0, hi = n;
    while (lo < hi && first) {
        const uint32_t mid = (lo + hi) / 2, m = first + CM_SIZE * mid, mid_id = Z7Mem_Get32(m + CM_ID);
        if (mid_id == id) return m;
        if (mid_id < id)
            lo = mid + 1;
        else
            hi = mid;
    }
    return 0;
}

void Z7VMCan_MarkRcvMsg(uint32_t port, uint32_t msg) {
    if (port == 0 || msg == 0) return;
    SetMFlags(msg, uint16_t(MFlags(msg) | CMF_NEW));
    Z7Mem_Put8(msg + CM_MARK, uint8_t(Z7Mem_Get8(msg + CM_MARK) | 0x80));
    SetPFlags(port, uint16_t(PFlags(port) | CPF_FRAME));
}

uint32_t Z7VMCan_CB(uint32_t command, uint32_t port, uint32_t msg, uint32_t id) {
    switch (command) {
    case 1: return Z7VMCan_PeekNextSndMsg(port);
    case 2: return Z7VMCan_PopNextSndMsg(port);
    case 3: return Z7VMCan_FindRcvMsg(port, id);
    case 4: Z7VMCan_MarkRcvMsg(port, msg); return 0;
    default: return 0;
    }
}

// ---- Linux CAN port through the CAN seam ----------------------------------------------------------------------
namespace {
// Endpoints this service opened and has not closed (number + 1, 0 = free).
// A port record does not prove its endpoint: a hot start loads the database
// saved at the last stop, before its ports were closed, and the numbers in
// it were closed at that stop and may belong to another user since (the CAN
// driver, a connection, a file). Only a held endpoint is ever closed.
constexpr uint32_t kHeldMax = 32;
uint32_t can_held[kHeldMax];
bool HoldEndpoint(int ep) {
    for (uint32_t &h : can_held)
        if (h == 0) {
            h = uint32_t(ep) + 1;
            return true;
        }
    return false;
}
bool ReleaseEndpoint(int32_t ep) {
    for (uint32_t &h : can_held)
        if (h == uint32_t(ep) + 1) {
            h = 0;
            return true;
        }
    return false;
}
}  // namespace

uint32_t Z7Can_Open(uint32_t port, const char *name) {
    if (port == 0 || name == nullptr) return 0;
    char lower[16] = {};
    for (uint32_t i = 0; i < 15 && name[i]; i++)
        lower[i] = name[i] >= 'A' && name[i] <= 'Z' ? char(name[i] - 'A' + 'a') : name[i];
    if (std::strncmp(lower, "can", 3) != 0) return 0;
    Z7Can_Close(port);
    const int ep = PLAT_CanOpen(lower);
    if (ep < 0) {  // the seam closed what it had made
        const int err = errno;
        if (plat_can_open_step == PLAT_CAN_STEP_INTERFACE)
            Z7EVSTRACE("IOCTL error\n");
        else if (plat_can_open_step == PLAT_CAN_STEP_BIND)
            Z7EVSTRACE("Cannot bind CAN port");
        else
            Z7EVSTRACE("Cannot create CAN socket %d\n", err);
        return 1;
    }
    // More ports open at once than the table keeps: refused as a socket that
    // cannot be made (one never closed would outlive its application).
    if (!HoldEndpoint(ep)) {
        PLAT_CanClose(ep);
        Z7EVSTRACE("Cannot create CAN socket %d\n", EMFILE);
        return 1;
    }
    Z7Mem_Put32(port + CP_SOCK, uint32_t(ep));
    return 0;
}

void Z7Can_Close(uint32_t port) {
    if (port == 0) return;
    const int32_t ep = Sock(port);
    if (ep >= 0 && ReleaseEndpoint(ep)) PLAT_CanClose(ep);
    Z7Mem_Put32(port + CP_SOCK, uint32_t(-1));
}

void Z7Can_OnPreExchange(uint32_t port) {
    const int32_t sock = port ? Sock(port) : -1;
    if (sock < 0) return;
    const uint32_t cfg = Z7Mem_Get32(port + CP_CFG);
    const bool nmt_fix = cfg && (Z7Mem_Get16(cfg + 14) & 1);
    uint8_t fr[PLAT_CAN_FRAME];
    // Every frame waiting is read: the raw socket has no filter, and a count
    // below what a busy bus brings each cycle lets the backlog grow until the
    // kernel drops frames. The guard only keeps a bus that never falls
    // silent from holding the scan for ever.
    for (uint32_t k = 0; k < Z7CAN_READ_GUARD && PLAT_CanRead(sock, fr) == int(PLAT_CAN_FRAME); k++) {
        const uint32_t word = fr[0] | uint32_t(fr[1]) << 8 | uint32_t(fr[2]) << 16 | uint32_t(fr[3]) << 24;
        // An error frame is no message. A remote frame (a request for the
        // message, with no data of its own) never goes into a receive
        // message: copying it would put stale or zero bytes into the
        // variables and flag them new. Like any frame without a message of
        // its own it takes a spare slot, the remote flag kept in the slot's
        // identifier (as the extended flag of a low identifier is), its
        // requested length and no data bytes: the application reads a
        // request apart from a data frame of that number and can answer it.
        if (word & PLAT_CAN_ERR) continue;
        const bool remote = (word & PLAT_CAN_RTR) != 0;
        const uint32_t id = word & ((word & PLAT_CAN_EFF) ? 0x1FFFFFFFu : 0x7FFu);
        const uint32_t n = fr[4] > 8 ? 8 : fr[4];
        // An extended frame is first the message defined with the extended
        // flag in its identifier (the frame's own identifier word), then,
        // above 0x7FF only, the one defined by its 29 bits alone (no standard
        // message can have such a number). An extended frame and a standard
        // frame of the same number up to 0x7FF are different messages on the
        // bus: falling back to the bare number there would write an extended
        // frame's bytes into the standard message and flag them new (an
        // extended 0x705 into the heartbeat record). Without a message
        // defined as extended it goes to a spare slot, as any undefined
        // frame. A standard frame never takes a message defined as extended.
        uint32_t m = 0;
        if (remote)
            m = 0;
        else if (!(word & PLAT_CAN_EFF))
            m = Z7VMCan_FindRcvMsg(port, id);
        else if ((m = Z7VMCan_FindRcvMsg(port, id | PLAT_CAN_EFF)) == 0 && id > 0x7FF)
            m = Z7VMCan_FindRcvMsg(port, id);
        if (m != 0) {
            const uint32_t len = Z7Mem_Get8(m + CM_LEN);
            std::memcpy(Z7Mem_Ptr(m + CM_DATA, 8), fr + 8, n < len ? n : len);
        } else {
            const uint32_t first = Z7Mem_Get32(port + CP_SPARE_RCV), spares = Z7Mem_Get16(port + CP_SPARES);
            for (uint32_t s = 0; first && s < spares && m == 0; s++)
                if (!(MFlags(first + CM_SIZE * s) & CMF_NEW)) m = first + CM_SIZE * s;
            if (m == 0) continue;  // no free slot: the frame is dropped
            // An extended frame of an identifier up to 0x7FF keeps the
            // extended flag, as a send identifier carries it: without it the
            // frame reads, and goes back out, as the standard one.
            const uint32_t flags = ((word & PLAT_CAN_EFF) && id <= 0x7FF ? PLAT_CAN_EFF : 0) | (word & PLAT_CAN_RTR);
            Z7Mem_Put32(m + CM_ID, id | flags);
            // the frame's own length, not 8: the receiving block reports it
            Z7Mem_Put8(m + CM_LEN, uint8_t(n));
            uint8_t *d = Z7Mem_Ptr(m + CM_DATA, 8);
            std::memset(d, 0, 8);
            if (!remote) std::memcpy(d, fr + 8, n);
            SetMFlags(m, CMF_APP);
        }
        // The heartbeat fix is for standard frames: an extended frame of a
        // low identifier is another message and keeps its data whole.
        if (nmt_fix && !(word & PLAT_CAN_EFF) && id >= 0x700 && id <= 0x77F) {
            uint8_t *d = Z7Mem_Ptr(m + CM_DATA, 8);
            d[0] &= 0x7F;
            d[1] = d[2] = d[3] = 0;
        }
        Z7VMCan_MarkRcvMsg(port, m);
    }
}

void Z7Can_OnPostExchange(uint32_t port) {
    if (port == 0) return;
    const int32_t sock = Sock(port);
    uint32_t sent = 0;
    for (uint32_t m; sent < Z7CAN_FRAMES_PER_CYCLE && (m = Z7VMCan_PeekNextSndMsg(port)) != 0; sent++) {
        if (!WriteFrame(sock, m)) return;
        Z7VMCan_PopNextSndMsg(port);
    }
    const uint32_t first = Z7Mem_Get32(port + CP_SPARE_SND), n = Z7Mem_Get16(port + CP_SPARES);
    for (uint32_t k = 0; first && k < n && sent < Z7CAN_FRAMES_PER_CYCLE; k++) {
        const uint32_t m = first + CM_SIZE * k;
        if (!(MFlags(m) & CMF_QUEUED)) continue;
        if (!WriteFrame(sock, m)) return;
        SetMFlags(m, 0);  // the slot is free again
        sent++;
    }
}

// Host hooks around the ports: nothing to do on this controller.
void Z7Can_PreOpen(uint32_t) {}
void Z7Can_PostClose(uint32_t) {}
void Z7CAN_OnSpcOut(uint32_t, uint32_t) {}
uint32_t Z7Can_GetErrors(uint32_t) { return 0; }
uint32_t Z7Can_GetBusOffFlag(uint32_t) { return 0; }
