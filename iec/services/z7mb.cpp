// Modbus of the IEC application, configuration side: sizing of database
// section 30 from the configuration block of the code image, the build of
// its records, the binding of variables to VM data and the per-cycle
// exchange between the variables and the request data. The server answers
// and the client engine work on the same records (z7mbsrv.cpp, z7mbcli.cpp).
#include "iec/services/z7mb_internal.h"

#include <bit>
#include <array>
#include <cstring>

#include "core/image/bytes.h"
#include "iec/vm/z7cnv.h"
#include "iec/vm/z7map.h"
#include "iec/vm/z7ops.h"
#include "iec/vm/z7parts.h"
#include "iec/vm/z7stdlib.h"
#include "iec/vm/z7vm.h"

namespace {
constexpr uint32_t kHeader = 36;
// server connection ids seen by the sizing (one bit per id): every one, not
// only the first 32, since the build gives every server table of coils or
// holding registers its change-mark area
std::array<uint64_t, 1024> srv_ids;

bool IsSrvId(uint16_t id) { return (srv_ids[id >> 6] >> (id & 63)) & 1; }

// Configuration block bounds: [first record, end of the image block).
struct Chain {
    uint32_t at = 0, end = 0;
};
Chain ChainOf(uint32_t config) {
    Chain c;
    if (config == 0) return c;
    const uint32_t end = Z7Mem_BlockEnd(config);
    if (end == 0 || uint64_t(config) + 8 > end) return c;
    c.at = config + 8;
    c.end = end;
    return c;
}
// Next record (0 at the end of the chain): its length is checked against the
// bytes of the image.
uint32_t Next(const Chain &c, uint32_t rec) {
    if (rec == 0 || uint64_t(rec) + 4 > c.end) return 0;
    const uint16_t len = Z7Mem_Get16(rec);
    if (len < 4 || uint64_t(rec) + len > c.end) return 0;
    return rec;
}
uint32_t After(uint32_t rec) { return rec + Z7Mem_Get16(rec); }

// Kind of a record, 0 for kinds that are skipped or too short for their words.
uint16_t KindOf(uint32_t rec) {
    const uint16_t len = Z7Mem_Get16(rec), kind = Z7Mem_Get16(rec + 2);
    static constexpr uint16_t kMin[8] = {0, 14, 26, 18, 22, 30, 30, 8};
    if (kind < 1 || kind > 7 || len < kMin[kind]) return 0;
    return kind;
}

uint32_t ConfigMin(uint32_t config) { return config ? Z7Mem_Get32(config) : 0; }

// Text of a kind-1 record (byte 14 on, ended by a zero or the record's end).
void CfgText(uint32_t rec, char *out, uint32_t size) {
    const uint32_t len = Z7Mem_Get16(rec);
    uint32_t n = 0;
    for (uint32_t i = 14; i < len && n + 1 < size; i++) {
        const uint8_t ch = Z7Mem_Get8(rec + i);
        if (ch == 0) break;
        out[n++] = char(ch);
    }
    out[n] = 0;
}
}  // namespace

// ---- sizing ---------------------------------------------------------------------------------
uint32_t Z7MB_ConfigSizing(uint32_t config) {
    const Chain c = ChainOf(config);
    if (c.at == 0) return 36;
    srv_ids.fill(0);
    for (uint32_t r = Next(c, c.at); r != 0; r = Next(c, After(r)))
        if (KindOf(r) == 1 && (W(r, 5) & 0x100)) srv_ids[W(r, 2) >> 6] |= uint64_t(1) << (W(r, 2) & 63);
    uint64_t total = kHeader;
    bool any = false;
    for (uint32_t r = Next(c, c.at); r != 0; r = Next(c, After(r))) {
        any = true;
        switch (KindOf(r)) {
        case 1: total += MBC_SIZE; break;
        case 2: {
            total += MBR_SIZE + W(r, 12);
            if (IsSrvId(W(r, 3)) && (W(r, 7) == 1 || W(r, 7) == 3)) total += W(r, 12);
            break;
        }
        case 3:
        case 4:
        case 5:
        case 6:
        case 7: total += MBV_SIZE; break;
        default: break;
        }
    }
    if (!any) total = 40;
    total = (total + 7) & ~uint64_t(7);
    const uint32_t min = ConfigMin(config);
    if (total < min) total = min;
    return total > 0xFFFFFFF0u ? 0xFFFFFFF0u : uint32_t(total);
}

uint32_t Z7MB_GetMemorySizing(uint32_t code) { return Z7MB_ConfigSizing(Z7VMCode_MBClientConfig(code)); }

uint32_t Z7MB_CanBuildHOT(uint32_t config, uint32_t state) {
    if (state == 0) return 1;
    return Z7Mem_Get32(state + MBH_SIZE) < Z7MB_ConfigSizing(config) ? 1 : 0;
}

// ---- build ----------------------------------------------------------------------------------
namespace {
// Frame and buffer limits of a client request: false when it can never be sent.
bool RequestSendable(uint32_t cfg) {
    const uint32_t fn = W(cfg, 7), count = W(cfg, 9), size = W(cfg, 12);
    switch (fn) {
    case MB_READ_COILS:
    case MB_READ_DISCRETE_INPUTS: return count <= MB_READ_BITS_MAX && (count + 7) / 8 <= size;
    case MB_READ_HOLDING_REGISTERS:
    case MB_READ_INPUT_REGISTERS: return count <= MB_READ_REGISTERS_MAX && 2 * count <= size;
    case MB_WRITE_SINGLE_COIL: return size >= 1;
    case MB_WRITE_SINGLE_REGISTER: return size >= 2;
    case MB_WRITE_MULTIPLE_COILS: return count <= MB_WRITE_BITS_MAX && (count + 7) / 8 <= size;
    case MB_WRITE_MULTIPLE_REGISTERS: return count <= MB_WRITE_REGISTERS_MAX && 2 * count <= size;
    default: return true;
    }
}
}  // namespace

uint32_t Z7MB_Build(uint32_t config, uint32_t state, uint32_t size) {
    if (state == 0 || size < kHeader) return 0;
    uint8_t *s = Z7Mem_Ptr(state, size);
    if (s == nullptr) return 0;
    std::memset(s, 0, size);
    LE_Put32(s + MBH_SIZE, size);
    const Chain c = ChainOf(config);
    if (c.at == 0 || Z7MB_ConfigSizing(config) > size) return 0;
    uint32_t n1 = 0, n2 = 0, n7 = 0, nv = 0;
    for (uint32_t r = Next(c, c.at); r != 0; r = Next(c, After(r))) {
        switch (KindOf(r)) {
        case 1: n1++; break;
        case 2: n2++; break;
        case 7: n7++; break;
        case 3:
        case 4:
        case 5:
        case 6: nv++; break;
        default: break;
        }
    }
    const uint32_t conns = kHeader, reqs = conns + MBC_SIZE * n1, units = reqs + MBR_SIZE * n2,
                   vars = units + MBV_SIZE * n7, bufs = vars + MBV_SIZE * nv;
    LE_Put32(s + MBH_CONN, conns);
    LE_Put32(s + MBH_UNIT, units);
    LE_Put32(s + MBH_REQ, reqs);
    LE_Put32(s + MBH_VAR, vars);
    LE_Put32(s + MBH_END, bufs);
    uint32_t c1 = 0, c2 = 0, c7 = 0, cv = 0;
    uint32_t cfg7_first = 0;  // kind-7 records are matched by walking the chain again
    for (uint32_t r = Next(c, c.at); r != 0; r = Next(c, After(r))) {
        switch (KindOf(r)) {
        case 1: {
            uint8_t *k = s + conns + MBC_SIZE * c1;
            LE_Put32(k + MBC_CFG, r);
            LE_Put32(k + MBC_SECTION, state);
            LE_Put16(k + MBC_ID, W(r, 2));
            const uint16_t flags = W(r, 5);
            k[MBC_SERIAL] = (flags & 0x10) ? 1 : 0;
            char text[8];
            CfgText(r, text, sizeof text);
            const bool udp = !(flags & 0x110) && std::strncmp(text, "UDP:", 4) == 0;
            LE_Put16(k + MBC_FLAGS, uint16_t(flags | (udp ? 0x8000 : 0)));
            LE_Put32(k + MBC_SOCK, uint32_t(-1));
            LE_Put32(k + MBC_SERH, uint32_t(-1));
            if ((flags & 0x100) && LE_Get32(s + MBH_DEFSRV) == 0) LE_Put32(s + MBH_DEFSRV, conns + MBC_SIZE * c1);
            c1++;
            break;
        }
        case 2: {
            uint32_t ci = c1;
            for (uint32_t i = 0; i < c1; i++)
                if (LE_Get16(s + conns + MBC_SIZE * i + MBC_ID) == W(r, 3)) {
                    ci = i;
                    break;
                }
            if (ci == c1) break;  // no such connection (yet): not counted
            uint8_t *q = s + reqs + MBR_SIZE * c2;
            uint8_t *k = s + conns + MBC_SIZE * ci;
            LE_Put32(q + MBR_CFG, r);
            LE_Put16(q + MBR_CONN, uint16_t(ci));
            const bool server = LE_Get16(k + MBC_FLAGS) & 0x100;
            q[MBR_SERVER] = server ? 1 : 0;
            q[MBR_NORX] = server ? 0 : 1;
            const uint16_t mode = W(r, 5);
            if (mode == 1 || mode == 3) q[MBR_ARMED] = 1;
            if (!server && !RequestSendable(r)) {
                q[MBR_ARMED] = MBR_REFUSED;
                LE_Put16(q + MBR_STATUS, 7);
                LE_Put16(q + MBR_ERROR, 130);
            }
            // unit status record of the connection with the request's unit:
            // only records behind the connection's own are attached to it
            uint32_t u = 0, k7 = 0;
            bool attached = false;
            for (uint32_t x = Next(c, c.at); x != 0 && x != r && k7 < c7; x = Next(c, After(x))) {
                if (KindOf(x) == 1 && W(x, 2) == W(r, 3)) attached = true;
                if (KindOf(x) != 7) continue;
                if (attached && W(x, 2) == W(r, 3) && W(x, 3) == W(r, 4) && u == 0) u = units + MBV_SIZE * k7;
                k7++;
            }
            LE_Put32(q + MBR_UNIT, u);
            if (LE_Get16(k + MBC_NREQ) == 0) LE_Put32(k + MBC_FIRSTREQ, reqs + MBR_SIZE * c2);
            LE_Put16(k + MBC_NREQ, uint16_t(LE_Get16(k + MBC_NREQ) + 1));
            c2++;
            break;
        }
        case 3:
        case 4:
        case 5:
        case 6: {
            uint8_t *v = s + vars + MBV_SIZE * cv++;
            LE_Put32(v + MBV_CFG, r);
            for (uint32_t i = 0; i < c2; i++) {
                const uint32_t q = reqs + MBR_SIZE * i;
                if (W(LE_Get32(s + q + MBR_CFG), 2) == W(r, 2)) {
                    LE_Put32(v + MBV_REQ, q);
                    break;
                }
            }
            break;
        }
        case 7: {
            if (cfg7_first == 0) cfg7_first = r;
            uint8_t *u = s + units + MBV_SIZE * c7++;
            LE_Put16(u + MBU_CONNID, W(r, 2));
            u[MBU_UNIT] = uint8_t(W(r, 3));
            for (uint32_t i = 0; i < c1; i++) {
                uint8_t *k = s + conns + MBC_SIZE * i;
                if (LE_Get16(k + MBC_ID) == W(r, 2)) {
                    if (LE_Get16(k + MBC_NUNIT) == 0) LE_Put32(k + MBC_FIRSTUNIT, units + MBV_SIZE * (c7 - 1));
                    LE_Put16(k + MBC_NUNIT, uint16_t(LE_Get16(k + MBC_NUNIT) + 1));
                    break;
                }
            }
            break;
        }
        default: break;
        }
    }
    LE_Put16(s + MBH_NCONN, uint16_t(c1));
    LE_Put16(s + MBH_NUNIT, uint16_t(c7));
    LE_Put16(s + MBH_NREQ, uint16_t(c2));
    LE_Put16(s + MBH_NVAR, uint16_t(cv));
    uint32_t at = bufs;
    for (uint32_t i = 0; i < c2; i++) {
        uint8_t *q = s + reqs + MBR_SIZE * i;
        const uint32_t cfg = LE_Get32(q + MBR_CFG), table = W(cfg, 7);
        const uint32_t bytes = W(cfg, 12) * ((q[MBR_SERVER] && (table == 1 || table == 3)) ? 2u : 1u);
        if (uint64_t(at) + bytes > size) break;
        LE_Put32(q + MBR_DATA, at);
        at += bytes;
    }
    return 0;
}

uint32_t Z7MB_BuildHOT(uint32_t config, uint32_t state) {
    if (state == 0) return 1;
    return Z7MB_Build(config, state, Z7Mem_Get32(state + MBH_SIZE));
}

// ---- link -------------------------------------------------------------------------------------
namespace {
// Bytes of a variable of the type (a string: its two length bytes and the zero).
uint32_t TypeWidth(uint32_t type) { return type == IEC_STRING ? 3 : Z7Tools_TypeSize(type); }
bool BitTable(uint32_t fn) { return fn == 1 || fn == 2 || fn == 5 || fn == 15; }
bool Fmt32(uint32_t format) { return (format & 0xF) == 2; }
}  // namespace

uint32_t Z7MB_Link(uint32_t db) {
    MBState st;
    if (!MB_Open(Z7Sec_Addr(db, Z7SEC_MB), st)) return 0;
    for (uint32_t i = 0; i < st.nvar; i++) {
        uint8_t *v = st.Var(i);
        const uint32_t cfg = LE_Get32(v + MBV_CFG);
        LE_Put32(v + MBV_DATA, 0);
        uint8_t *q = st.At(LE_Get32(v + MBV_REQ), MBR_SIZE);
        if (q == nullptr || LE_Get32(v + MBV_REQ) == 0) continue;
        // bit 7 of the type marks an external variable; the width is its type's
        const uint32_t rcfg = LE_Get32(q + MBR_CFG), fn = W(rcfg, 7), pos = W(cfg, 3), kind = W(cfg, 8),
                       size = W(rcfg, 12), type = W(cfg, 6) & 0x7F, format = W(cfg, 4);
        LE_Put16(v + MBV_KIND, uint16_t(kind));
        if (BitTable(fn)) {
            LE_Put16(v + MBV_OFF, uint16_t(pos / 8));
            LE_Put16(v + MBV_MASK, uint16_t(1u << (pos % 8)));
            v[MBV_BIT] = 1;
        } else {
            LE_Put16(v + MBV_OFF, uint16_t(pos * 2));
            LE_Put16(v + MBV_MASK, W(cfg, 5));
            v[MBV_BIT] = 0;
        }
        // the bytes a data-moving variable touches must lie in its request's buffer
        if (kind == 0 || kind == 1 || kind == 19 || kind == 20) {
            uint64_t need;
            if (fn == 101 && !q[MBR_SERVER])
                need = pos == 0 ? 0 : 6ull * pos + 2;
            else if (v[MBV_BIT])
                need = pos / 8 + 1;
            else if (kind >= 19)
                need = 2ull * pos + 2;
            else
                need = 2ull * pos + (Fmt32(format) ? 4 : 2);
            if (need > size) continue;
        }
        const uint32_t ckind = W(cfg, 1);
        uint32_t addr = 0, lockmask = 0, width = TypeWidth(type);
        if (ckind == 4 || ckind == 6) {
            const uint32_t off = uint32_t(W(cfg, 9)) | uint32_t(W(cfg, 10)) << 16;
            const uint32_t ct = Z7Sec_Addr(db, Z7SEC_CT), bytes = Z7Sec_Bytes(db, Z7SEC_CT);
            if (ct != 0 && width != 0 && uint64_t(off) + width <= bytes) addr = ct + off;
        } else if (W(cfg, 6) & 0x80) {
            const uint32_t e = Z7Sec_Elem(db, Z7SEC_XV, W(cfg, 7));
            addr = e ? Z7Mem_Get32(e) : 0;
            lockmask = Z7LK_EXT;
        } else {
            uint32_t sec = 0;
            switch (type) {
            case IEC_BOOL:
            case IEC_SINT:
            case IEC_USINT:
                sec = Z7SEC_D8;
                lockmask = Z7LK_8;
                break;
            case IEC_DINT:
            case IEC_REAL:
            case IEC_UDINT:
                sec = Z7SEC_D32;
                lockmask = Z7LK_32;
                break;
            case IEC_TIME:
                sec = Z7SEC_TIME;
                lockmask = Z7LK_TIME;
                break;
            case IEC_STRING:
                sec = Z7SEC_STRPTR;
                lockmask = Z7LK_STR;
                break;
            case IEC_INT:
            case IEC_UINT:
                sec = Z7SEC_D16;
                lockmask = Z7LK_16;
                break;
            case IEC_LINT:
            case IEC_LREAL:
            case IEC_ULINT:
                sec = Z7SEC_D64;
                lockmask = Z7LK_64;
                break;
            default: break;
            }
            const uint32_t e = sec ? Z7Sec_Elem(db, sec, W(cfg, 7)) : 0;
            addr = sec == Z7SEC_STRPTR ? (e ? Z7Mem_Get32(e) : 0) : e;
        }
        if (width == 0 || addr == 0 || Z7Mem_Ptr(addr, width) == nullptr) continue;
        LE_Put32(v + MBV_DATA, addr);
        v[MBV_LOCKMASK] = uint8_t(lockmask);
        LE_Put32(v + MBV_LOCK, Z7Sec_Elem(db, Z7SEC_LOCK, W(cfg, 7)));
        LE_Put32(v + MBV_VSI, Z7Map_GetVSIByData(db, addr));
    }
    return 0;
}

// ---- exchange ---------------------------------------------------------------------------------
namespace {
struct Var {
    MBState &st;
    uint8_t *v, *q;
    uint32_t cfg, rcfg, type, kind, format;
    uint8_t *data;           // request data
    uint32_t size;           // data bytes
    const uint8_t *vc, *rc;  // the variable's and the request's configuration records
    uint16_t CW(uint32_t w) const { return LE_Get16(vc + 2 * w); }
    uint16_t RW(uint32_t w) const { return LE_Get16(rc + 2 * w); }
    uint32_t Off() const { return LE_Get16(v + MBV_OFF); }
    uint16_t Mask() const { return LE_Get16(v + MBV_MASK); }
    bool Scaled() const {
        const uint32_t k = CW(1);
        return k == 5 || k == 6;
    }
    float Factor() const { return MB_Float(uint32_t(W(cfg, 11)) | uint32_t(W(cfg, 12)) << 16); }
    float Offset() const { return MB_Float(uint32_t(W(cfg, 13)) | uint32_t(W(cfg, 14)) << 16); }
    uint8_t *Ptr(uint32_t n) const { return Z7Mem_Ptr(LE_Get32(v + MBV_DATA), n); }
    bool Locked() const {
        const uint32_t l = LE_Get32(v + MBV_LOCK);
        return l != 0 && (Z7Mem_Get8(l) & v[MBV_LOCKMASK]) != 0;
    }
};

uint32_t Width(uint32_t type) { return TypeWidth(type) == 3 ? 0 : TypeWidth(type); }

// Writes an integer or float value of source type src into the variable.
void Store(const Var &x, const void *src, uint32_t src_type) {
    const uint32_t w = Width(x.type);
    uint8_t *p = w ? x.Ptr(w) : nullptr;
    if (p == nullptr) return;
    uint8_t out[8] = {};
    Z7VMCnv_ConvBin(out, static_cast<const uint8_t *>(src), x.type, src_type);
    std::memcpy(p, out, w);
}
void StoreU32(const Var &x, uint32_t v) { Store(x, &v, IEC_UDINT); }

// The variable's value as an unsigned 16-bit number.
uint16_t Value16(const Var &x) {
    const uint32_t w = Width(x.type);
    const uint8_t *p = w ? x.Ptr(w) : nullptr;
    if (p == nullptr) return 0;
    switch (x.type) {
    case IEC_BOOL: return p[0] ? 1 : 0;
    case IEC_REAL: return uint16_t(Z7Cnv_S64(double(MB_Float(LE_Get32(p)))));
    case IEC_LREAL: {
        double d;
        std::memcpy(&d, p, 8);
        return uint16_t(Z7Cnv_S64(d));
    }
    case IEC_SINT:
    case IEC_USINT: return p[0];
    default: return LE_Get16(p);
    }
}
double ValueF(const Var &x) {
    const uint32_t w = Width(x.type);
    const uint8_t *p = w ? x.Ptr(w) : nullptr;
    if (p == nullptr) return 0;
    double d = 0;
    Z7VMCnv_ConvBin(reinterpret_cast<uint8_t *>(&d), p, IEC_LREAL, x.type);
    return d;
}
// The variable's value as a REAL: a scaled binding computes in REAL, so a
// DINT above 2^24 goes out with the precision a REAL keeps.
float ValueR(const Var &x) {
    const uint32_t w = Width(x.type);
    const uint8_t *p = w ? x.Ptr(w) : nullptr;
    if (p == nullptr) return 0;
    uint8_t out[8] = {};
    Z7VMCnv_ConvBin(out, p, IEC_REAL, x.type);
    return MB_Float(LE_Get32(out));
}
// value x factor + offset, in REAL
float ScaleOut(const Var &x, float v) { return v * x.Factor() + x.Offset(); }

void Arm(uint8_t *q) {
    if (q[MBR_ARMED] != MBR_REFUSED) q[MBR_ARMED] |= 1;
}
bool OnChange(const Var &x) { return x.RW(5) == 3; }
bool MarkTable(const Var &x) { return x.q[MBR_SERVER] && (x.RW(7) == 1 || x.RW(7) == 3); }

// Variable out to the request data (16- or 32-bit register, or bit).
void Output(const Var &x) {
    const uint32_t off = x.Off();
    bool changed = false;
    if (x.v[MBV_BIT]) {
        if (off >= x.size) return;
        const uint8_t old = x.data[off];
        const uint8_t now = Value16(x) ? uint8_t(old | x.Mask()) : uint8_t(old & ~x.Mask());
        x.data[off] = now;
        changed = now != old;
    } else if (Fmt32(x.format)) {
        if (off + 4 > x.size) return;
        uint32_t raw;
        const uint8_t *p = x.Ptr(Width(x.type));
        if (p == nullptr) return;
        switch (x.type) {
        case IEC_BOOL: raw = p[0] ? 1 : 0; break;
        case IEC_SINT:
        case IEC_USINT: raw = p[0]; break;
        case IEC_INT:
        case IEC_UINT: raw = LE_Get16(p); break;
        case IEC_LREAL: {
            double d;
            std::memcpy(&d, p, 8);
            raw = MB_Bits(float(d));
            break;
        }
        default: raw = LE_Get32(p); break;  // DINT, TIME, UDINT, REAL bits, low half of 64-bit
        }
        if (x.Scaled()) {
            const bool fl = x.type == IEC_REAL || x.type == IEC_LREAL;
            const float s = ScaleOut(x, fl ? MB_Float(raw) : ValueR(x));
            raw = fl ? MB_Bits(s) : uint32_t(Z7Cnv_S64(double(s)));
        }
        uint8_t b[4];
        if (x.format & 0x8000)
            LE_Put32(b, raw);  // low word first
        else {
            LE_Put16(b, uint16_t(raw >> 16));
            LE_Put16(b + 2, uint16_t(raw));
        }
        changed = std::memcmp(x.data + off, b, 4) != 0;
        std::memcpy(x.data + off, b, 4);
    } else {
        if (off + 2 > x.size) return;
        uint16_t val = x.Scaled() ? uint16_t(Z7Cnv_S64(double(ScaleOut(x, ValueR(x))))) : Value16(x);
        const uint16_t mask = x.Mask(), old = LE_Get16(x.data + off);
        if (val != 0 && mask != 0xFFFF) val = x.type == IEC_BOOL ? mask : uint16_t(val & mask);
        const uint16_t now = uint16_t(val | (old & ~mask));
        LE_Put16(x.data + off, now);
        changed = now != old;
    }
    if (changed && OnChange(x)) Arm(x.q);
}

// Change mark of the variable's item in the table's second area.
bool Marked(const Var &x) {
    const uint32_t off = x.Off();
    const uint8_t *m = x.data + x.size;
    if (x.v[MBV_BIT]) return (m[off] & x.Mask()) != 0;
    return m[Fmt32(x.format) ? off + 2 : off] != 0;
}

void UpdateVsi(const Var &x) {
    const uint32_t vsi = LE_Get32(x.v + MBV_VSI);
    if (vsi == 0) return;
    const uint32_t bits = Z7Mem_Get32(vsi + 4);
    Z7Mem_Put32(vsi + 4, LE_Get16(x.q + MBR_ERROR) ? bits | 0x40000u : bits & ~0x40000u);
    Z7Mem_Put32(vsi + 8, LE_Get32(x.q + MBR_DATE));
    Z7Mem_Put32(vsi + 12, LE_Get32(x.q + MBR_TIME));
}

bool Signed(uint32_t type) { return type == IEC_INT || type == IEC_DINT || type == IEC_LINT || type == IEC_SINT; }

// Data in: kinds 0, 2, 4, 6, 7, 9, 10; true when a value came in.
bool Input(const Var &x) {
    if (x.Locked()) return false;
    const uint32_t off = x.Off();
    // function 101: position n reads group n - 1; position 0 holds no
    // group and reads register 0 as any request does
    if (x.RW(7) == 101 && !x.q[MBR_SERVER] && x.kind == 0 && x.CW(3) != 0) {
        const uint32_t pos = x.CW(3);
        if (6 * pos + 2 > x.size) return false;
        const uint8_t *g = x.data + 6 * pos - 4;
        int64_t v = int64_t(uint64_t(LE_Get32(g)) | uint64_t(LE_Get16(g + 4)) << 32);
        if (v & (int64_t(1) << 47)) v -= int64_t(1) << 48;
        Store(x, &v, IEC_LINT);
        return true;
    }
    if (x.kind == 0 && MarkTable(x) && !Marked(x)) {
        Output(x);
        return false;
    }
    if (x.q[MBR_NORX]) return false;
    uint32_t raw = 0;
    bool wide = false;
    switch (x.kind) {
    case 2: raw = LE_Get16(x.q + MBR_ERROR); break;
    case 10:
        raw = LE_Get16(x.q + MBR_ERROR);
        if (raw == 0) return false;
        break;
    case 4: raw = LE_Get16(x.q + MBR_TRIES); break;
    case 6: raw = LE_Get16(x.q + MBR_GOOD); break;
    case 7: raw = LE_Get16(x.q + MBR_ERRORS); break;
    case 9: raw = (LE_Get16(x.q + MBR_STATUS) == 3 || LE_Get16(x.q + MBR_STATUS) == 5) ? 1 : 0; break;
    case 0:
        if (x.v[MBV_BIT]) {
            if (off >= x.size) return false;
            raw = (x.data[off] & x.Mask()) ? 1 : 0;
        } else if (Fmt32(x.format)) {
            if (off + 4 > x.size) return false;
            const uint8_t *d = x.data + off;
            raw = (x.format & 0x8000) ? LE_Get32(d) : uint32_t(LE_Get16(d + 2)) | uint32_t(LE_Get16(d)) << 16;
            wide = true;
        } else {
            if (off + 2 > x.size) return false;
            raw = LE_Get16(x.data + off) & x.Mask();
        }
        break;
    default: return false;
    }
    if (x.Scaled()) {
        // in REAL throughout, as the binding's factor and offset are
        float val;
        if (wide && (x.type == IEC_REAL || x.type == IEC_LREAL))
            val = MB_Float(raw);
        else if (wide)
            val = Signed(x.type) ? float(int32_t(raw)) : float(raw);
        else
            val = Signed(x.type) ? float(int16_t(raw)) : float(raw);
        const float f = x.Factor();
        if (f != 0) val = (val - x.Offset()) / f;
        Store(x, &val, IEC_REAL);
        return true;
    }
    switch (x.type) {
    case IEC_BOOL: {
        const uint8_t b = raw ? 1 : 0;
        if (uint8_t *p = x.Ptr(1)) *p = b;
        break;
    }
    case IEC_REAL:
        if (wide) {
            if (uint8_t *p = x.Ptr(4)) LE_Put32(p, raw);
        } else {
            StoreU32(x, raw);
        }
        break;
    case IEC_LREAL: {
        const double d = wide ? double(MB_Float(raw)) : double(raw);
        if (uint8_t *p = x.Ptr(8)) std::memcpy(p, &d, 8);
        break;
    }
    case IEC_LINT:
    case IEC_ULINT:
        if (uint8_t *p = x.Ptr(8)) {
            LE_Put32(p, raw);
            LE_Put32(p + 4, 0);
        }
        break;
    case IEC_SINT:
    case IEC_USINT:
        if (uint8_t *p = x.Ptr(1)) *p = uint8_t(raw);
        break;
    case IEC_INT:
    case IEC_UINT:
        if (uint8_t *p = x.Ptr(2)) LE_Put16(p, uint16_t(raw));
        break;
    case IEC_DINT:
    case IEC_TIME:
    case IEC_UDINT:
        if (uint8_t *p = x.Ptr(4)) LE_Put32(p, raw);
        break;
    default:
        // a STRING takes no register value: four bytes would land on its
        // maximum and length bytes and its first characters
        break;
    }
    return true;
}

uint32_t StrRegs(const Var &x) {
    uint32_t n = x.CW(9 + 0);  // the request's count is the register count
    n = x.RW(9);
    if (n > 127) n = 127;
    const uint32_t room = x.size > x.Off() ? (x.size - x.Off()) / 2 : 0;
    return n < room ? n : room;
}

void StringOut(const Var &x) {
    const uint8_t *s = x.Ptr(3);
    if (s == nullptr) return;
    const uint32_t len = s[1];
    const uint8_t *text = Z7Mem_Ptr(LE_Get32(x.v + MBV_DATA) + 2, len + 1);
    if (text == nullptr) return;
    bool changed = false;
    const uint32_t n = StrRegs(x);
    for (uint32_t i = 0; i < n; i++) {
        const uint8_t hi = 2 * i < len ? text[2 * i] : 0, lo = 2 * i + 1 < len ? text[2 * i + 1] : 0;
        const uint16_t w = uint16_t(hi << 8 | lo);
        uint8_t *d = x.data + x.Off() + 2 * i;
        changed |= LE_Get16(d) != w;
        LE_Put16(d, w);
    }
    if (changed && OnChange(x)) Arm(x.q);
}

bool StringIn(const Var &x) {
    if (x.Locked()) return false;
    if (MarkTable(x) && x.data[x.size + x.Off()] == 0) {
        StringOut(x);
        return false;
    }
    // as for a register: a client request's buffer holds nothing before its
    // first answer, and reading it would empty the string
    if (x.q[MBR_NORX]) return false;
    uint8_t *s = x.Ptr(3);
    if (s == nullptr) return false;
    std::array<uint8_t, 256> buf{};
    const uint32_t n = StrRegs(x);
    for (uint32_t i = 0; i < n && 2 * i + 1 < buf.size(); i++) {
        const uint16_t w = LE_Get16(x.data + x.Off() + 2 * i);
        buf[2 * i] = uint8_t(w >> 8);
        buf[2 * i + 1] = uint8_t(w);
    }
    uint32_t len = 0;
    while (len < 255 && buf[len] != 0) len++;
    if (len > s[0]) len = s[0];
    uint8_t *p = Z7Mem_Ptr(LE_Get32(x.v + MBV_DATA), len + 3);
    if (p == nullptr) return false;
    p[1] = uint8_t(len);
    std::memcpy(p + 2, buf.data(), len);
    p[2 + len] = 0;
    return true;
}

void Reset0(const Var &x) {
    if (x.type == IEC_LREAL || x.type == IEC_STRING) return;
    if (uint8_t *p = x.Ptr(Width(x.type))) std::memset(p, 0, Width(x.type));
}

// Unit status kinds 11 to 18.
void UnitKind(const Var &x) {
    uint8_t *u = x.st.At(LE_Get32(x.q + MBR_UNIT), MBV_SIZE);
    if (u == nullptr || LE_Get32(x.q + MBR_UNIT) == 0) return;
    if (x.kind == 18) {
        if (Value16(x) == 0 && ValueF(x) == 0) return;
        u[MBU_LASTERR] = 0;
        LE_Put32(u + MBU_ERRDATE, 0);
        LE_Put32(u + MBU_ERRTIME, 0);
        LE_Put32(u + MBU_EXCH, 0);
        LE_Put32(u + MBU_ERRORS, 0);
        LE_Put32(u + MBU_RSTDATE, Z7RtClk_GetCurDateStamp());
        LE_Put32(u + MBU_RSTTIME, Z7RtClk_GetCurTimeStamp());
        if (!x.Locked()) Reset0(x);
        return;
    }
    if (x.Locked()) return;
    static constexpr uint32_t kField[] = {0, MBU_ERRDATE, MBU_ERRTIME, MBU_RSTDATE, MBU_RSTTIME, MBU_EXCH, MBU_ERRORS};
    const uint32_t v = x.kind == 11 ? u[MBU_LASTERR] : LE_Get32(u + kField[x.kind - 11]);
    StoreU32(x, v);
}

enum : uint32_t { EX_ALL = 0, EX_CLIENT = 1, EX_SERVER = 2 };

void ExchangeOne(MBState &st, uint8_t *v, uint32_t which) {
    const uint32_t addr = LE_Get32(v + MBV_DATA);
    uint8_t *q = st.At(LE_Get32(v + MBV_REQ), MBR_SIZE);
    if (addr == 0 || q == nullptr) return;
    const uint32_t rcfg = LE_Get32(q + MBR_CFG), cfg = LE_Get32(v + MBV_CFG);
    const uint8_t *vc = Z7Mem_Ptr(cfg, 18), *rc = Z7Mem_Ptr(rcfg, 26);
    if (vc == nullptr || rc == nullptr) return;
    const bool server = q[MBR_SERVER];
    if ((which == EX_CLIENT && server) || (which == EX_SERVER && !server)) return;
    const uint32_t table = LE_Get16(rc + 14), bytes = LE_Get16(rc + 24);
    const uint32_t size = bytes * ((server && (table == 1 || table == 3)) ? 2u : 1u);
    uint8_t *data = st.At(LE_Get32(q + MBR_DATA), size);
    if (data == nullptr && size != 0) return;
    const uint16_t type = LE_Get16(vc + 12);
    Var x{st,
          v,
          q,
          cfg,
          rcfg,
          (type & 0x80) ? type & 0x7Fu : type & 0xFFu,
          LE_Get16(v + MBV_KIND),
          LE_Get16(vc + 8),
          data,
          bytes,
          vc,
          rc};
    const uint16_t status = LE_Get16(q + MBR_STATUS);
    const bool idle = status == 0 || status == 7;
    bool came = false;
    switch (x.kind) {
    case 0:
        if (status != 0) return;
        came = Input(x);
        break;
    case 19:
        if (status != 0) return;
        came = StringIn(x);
        break;
    case 1:
        if (which == EX_CLIENT ? status != 0 : !(idle || q[MBR_NORX])) return;
        Output(x);
        return;
    case 2:
    case 4:
    case 6:
    case 7:
    case 9:
    case 10: Input(x); return;
    case 3:
        if (idle && Value16(x)) Arm(q);
        return;
    case 5:
        if (!idle) return;
        if (q[MBR_LATCH] == 255) {
            if (!x.Locked()) Reset0(x);
            q[MBR_LATCH] = 0;
        } else if (q[MBR_LATCH] == 0 && Value16(x)) {
            Arm(q);
            q[MBR_LATCH] = 1;
        }
        return;
    case 8:
        if (!idle || Value16(x) == 0) return;
        LE_Put16(q + MBR_GOOD, 0);
        LE_Put16(q + MBR_ERRORS, 0);
        if (!x.Locked()) Reset0(x);
        return;
    case 20:
        if (idle) StringOut(x);
        return;
    default:
        if (x.kind >= 11 && x.kind <= 18 && !server && which != EX_SERVER) UnitKind(x);
        return;
    }
    if (table == 101 && !server) return;
    if (!server || came) UpdateVsi(x);
}

void ClearMarks(MBState &st) {
    for (uint32_t i = 0; i < st.nreq; i++) {
        uint8_t *q = st.Req(i);
        const uint32_t rcfg = LE_Get32(q + MBR_CFG), table = W(rcfg, 7), n = W(rcfg, 12);
        if (!q[MBR_SERVER] || (table != 1 && table != 3)) continue;
        if (uint8_t *d = st.At(LE_Get32(q + MBR_DATA), 2 * n)) std::memset(d + n, 0, n);
    }
}

void Exchange(uint32_t state, uint32_t which) {
    MBState st;
    if (!MB_Open(state, st)) return;
    for (uint32_t i = 0; i < st.nvar; i++) ExchangeOne(st, st.Var(i), which);
    if (which != EX_CLIENT) ClearMarks(st);
}

bool Exchanging(uint32_t db) {
    const uint16_t g = Z7St_Flags(db);
    const uint32_t opt = Z7Mem_Get32(Z7VM_Status(db) + ST_OPTIONS);
    return db != 0 && !(g & (Z7F_STOPPED | Z7F_STOPREQ)) && !((g & Z7F_STEP) && (opt & Z7O_NOIOSTEP));
}
}  // namespace

void Z7MB_Exchange(uint32_t state, uint32_t) { Exchange(state, EX_ALL); }
void Z7MB_ExchangeClientOnly(uint32_t state, uint32_t) { Exchange(state, EX_CLIENT); }
void Z7MB_ExchangeServerOnly(uint32_t state, uint32_t) { Exchange(state, EX_SERVER); }
void Z7VM_ExchangeModbusData(uint32_t db) {
    if (db != 0) Z7MB_Exchange(Z7Sec_Addr(db, Z7SEC_MB), db);
}
void Z7VM_ExchangeModbusDataClient(uint32_t db) {
    if (Exchanging(db)) Z7MB_ExchangeClientOnly(Z7Sec_Addr(db, Z7SEC_MB), db);
}
void Z7VM_ExchangeModbusDataServer(uint32_t db) {
    if (Exchanging(db)) Z7MB_ExchangeServerOnly(Z7Sec_Addr(db, Z7SEC_MB), db);
}

// ---- shared helpers ---------------------------------------------------------------------------
bool MB_Open(uint32_t state, MBState &st) {
    if (state == 0) return false;
    const uint32_t size = Z7Mem_Get32(state + MBH_SIZE);
    if (size < kHeader) return false;
    st.s = Z7Mem_Ptr(state, size);
    if (st.s == nullptr) return false;
    st.state = state;
    st.size = size;
    st.conns = LE_Get32(st.s + MBH_CONN);
    st.reqs = LE_Get32(st.s + MBH_REQ);
    st.units = LE_Get32(st.s + MBH_UNIT);
    st.vars = LE_Get32(st.s + MBH_VAR);
    st.nconn = LE_Get16(st.s + MBH_NCONN);
    st.nreq = LE_Get16(st.s + MBH_NREQ);
    st.nunit = LE_Get16(st.s + MBH_NUNIT);
    st.nvar = LE_Get16(st.s + MBH_NVAR);
    // the record tables must lie inside the section
    if (uint64_t(st.conns) + uint64_t(MBC_SIZE) * st.nconn > size ||
        uint64_t(st.reqs) + uint64_t(MBR_SIZE) * st.nreq > size ||
        uint64_t(st.units) + uint64_t(MBV_SIZE) * st.nunit > size ||
        uint64_t(st.vars) + uint64_t(MBV_SIZE) * st.nvar > size)
        return false;
    return true;
}

float MB_Float(uint32_t bits) { return std::bit_cast<float>(bits); }
uint32_t MB_Bits(float f) { return std::bit_cast<uint32_t>(f); }
void MB_Text(uint32_t rec, char *out, uint32_t size) { CfgText(rec, out, size); }
