// Modbus server of the IEC application: answers remote masters from the
// server tables of section 30 (coils, discrete inputs, holding and input
// registers), marks written items for the next exchange, reports the device
// identification, and serves comm-server questions and UDP datagrams.
#include <array>
#include <cstring>

#include "core/image/bytes.h"
#include "core/image/util.h"
#include "iec/services/z7mb_internal.h"
#include "iec/vm/z7vm.h"

namespace {
constexpr uint32_t kTextMax = 52;
constexpr const char *kDefaults[3] = {"Compact PLC Inc.", "Z7", "9.1.161102"};
struct DevIdent {
    std::array<std::array<char, kTextMax>, 3> text{};
    std::array<uint16_t, 8> words{};
};
DevIdent ident;

const char *IdentText(uint32_t k) { return ident.text[k][0] ? ident.text[k].data() : kDefaults[k]; }

// Table of kind that holds items [addr, addr + count): its request record.
uint8_t *FindTable(const MBState &st, uint32_t conn, uint32_t kind, uint32_t addr, uint32_t count) {
    for (uint32_t i = 0; i < st.nreq; i++) {
        uint8_t *q = st.Req(i);
        if (LE_Get16(q + MBR_CONN) != conn) continue;
        const uint32_t cfg = LE_Get32(q + MBR_CFG);
        if (W(cfg, 7) != kind) continue;
        const uint32_t first = W(cfg, 8), size = W(cfg, 12);
        // a table serves only the items its buffer holds
        uint32_t items = W(cfg, 9);
        const uint32_t cap = MbPdu_Bits(uint8_t(kind)) ? size * 8 : size / 2;
        if (items > cap) items = cap;
        if (first <= addr && addr + count <= first + items) {
            // the tables a master writes hold the written marks behind the data
            const bool written = kind == MB_READ_COILS || kind == MB_READ_HOLDING_REGISTERS;
            if (st.At(LE_Get32(q + MBR_DATA), written ? 2 * size : size) == nullptr) continue;
            // the date and the time of one reading of the clock
            uint32_t date = 0, time = 0;
            Z7RtClk_GetCurDateTimeStamp(1, &date, &time, nullptr);
            LE_Put32(q + MBR_DATE, date);
            LE_Put32(q + MBR_TIME, time);
            return q;
        }
    }
    return nullptr;
}
uint8_t *Data(const MBState &st, uint8_t *q) { return st.s + LE_Get32(q + MBR_DATA); }
uint32_t Size(uint8_t *q) { return W(LE_Get32(q + MBR_CFG), 12); }
uint32_t First(uint8_t *q) { return W(LE_Get32(q + MBR_CFG), 8); }

void SetBit(uint8_t *d, uint32_t n, bool on) {
    if (on)
        d[n / 8] = uint8_t(d[n / 8] | (1u << (n % 8)));
    else
        d[n / 8] = uint8_t(d[n / 8] & ~(1u << (n % 8)));
}

// Function 43's device identification (MEI type 14): the basic objects
// (vendor, product, revision) from one on in a stream, or one private
// object (a word each).
constexpr uint8_t kMeiDeviceId = 14, kReadBasic = 1, kReadOne = 4, kLastBasic = 2, kFirstPrivate = 0x80,
                  kLastPrivate = 0x87;

uint32_t DeviceIdent(const uint8_t *pdu, uint32_t len, uint8_t *ans) {
    if (len < 5) return 0;
    std::memcpy(ans, pdu, 4);
    const uint8_t mei = pdu[2], code = pdu[3], obj = pdu[4];
    if (mei == kMeiDeviceId && code == kReadOne && obj >= kFirstPrivate && obj <= kLastPrivate) {
        ans[4] = 0x83;
        ans[5] = 0;
        ans[6] = 0;
        ans[7] = 1;
        ans[8] = obj;
        ans[9] = 2;
        BE_Put16(ans + 10, ident.words[obj - kFirstPrivate]);
        return 12;
    }
    if (mei == kMeiDeviceId && code == kReadBasic && obj <= kLastBasic) {
        ans[4] = 1;
        ans[5] = 0;
        ans[6] = 0;
        ans[7] = uint8_t(kLastBasic + 1 - obj);
        uint32_t n = 8;
        for (uint32_t k = obj; k <= kLastBasic; k++) {
            const char *t = IdentText(k);
            const uint32_t l = uint32_t(strnlen(t, kTextMax - 1));
            ans[n] = uint8_t(k);
            ans[n + 1] = uint8_t(l);
            std::memcpy(ans + n + 2, t, l);
            n += 2 + l;
        }
        return n;
    }
    ans[0] = pdu[0];
    ans[1] = uint8_t(MB_ENCAPSULATED_INTERFACE | MB_EXCEPTION_BIT);
    ans[2] = mei;
    ans[3] = MB_EX_ILLEGAL_FUNCTION;
    return 4;
}
}  // namespace

namespace {
// The server's access for the Modbus core: the table located for a request
// (its record and the first item's index in it) among those of connection
// conn; the kinds are the read functions' codes.
struct TableAccess {
    const MBState &st;
    uint32_t conn;
    uint8_t *q;
    uint32_t base;
};

[[gnu::always_inline]] inline uint8_t TableLocate(void *p, uint8_t fc, uint32_t a, uint32_t n, uint32_t) {
    TableAccess &t = *static_cast<TableAccess *>(p);
    uint32_t kind = fc;
    if (fc == MB_WRITE_SINGLE_COIL || fc == MB_WRITE_MULTIPLE_COILS)
        kind = MB_READ_COILS;
    else if (fc == MB_WRITE_SINGLE_REGISTER || fc == MB_WRITE_MULTIPLE_REGISTERS)
        kind = MB_READ_HOLDING_REGISTERS;
    t.q = FindTable(t.st, t.conn, kind, a, n);
    if (t.q == nullptr) return MB_EX_ILLEGAL_DATA_ADDRESS;
    t.base = a - First(t.q);
    return 0;
}

[[gnu::always_inline]] inline uint8_t TableRead(void *p, uint8_t fc, uint32_t n, uint8_t *out, uint32_t) {
    const TableAccess &t = *static_cast<TableAccess *>(p);
    const uint8_t *d = Data(t.st, t.q);
    const uint32_t base = t.base;
    if (MbPdu_Bits(fc)) {
        std::memset(out, 0, (n + 7) / 8);
        for (uint32_t i = 0; i < n; i++)
            if ((d[(base + i) / 8] >> ((base + i) % 8)) & 1) out[i / 8] = uint8_t(out[i / 8] | (1u << (i % 8)));
    } else {
        d += 2 * base;
        for (uint32_t i = 0; i < n; i++) BE_Put16(out + 2 * i, LE_Get16(d + 2 * i));
    }
    return 0;
}

// A written item is marked for the next exchange: its bit, or its word's
// bits, in the half of the buffer behind the data.
[[gnu::always_inline]] inline uint8_t TableWrite(void *p, uint8_t fc, uint32_t n, const uint8_t *in, uint32_t) {
    const TableAccess &t = *static_cast<TableAccess *>(p);
    uint8_t *d = Data(t.st, t.q);
    uint8_t *marks = d + Size(t.q);
    const uint32_t base = t.base;
    for (uint32_t i = 0; i < n; i++) {
        if (MbPdu_Bits(fc)) {
            SetBit(d, base + i, (in[i / 8] >> (i % 8)) & 1);
            SetBit(marks, base + i, true);
        } else {
            LE_Put16(d + 2 * (base + i), BE_Get16(in + 2 * i));
            LE_Put16(marks + 2 * (base + i), 0xFFFF);
        }
    }
    return 0;
}

constexpr MbAccess kTableAccess{nullptr, TableLocate, TableRead, TableWrite};

// The server's answers: reads up to 2,000 bits and 125 registers, over
// them exception 2; multiple writes of any quantity, their item count from
// bytes 4-5 alone: the byte count field is not compared with it (unlike
// servers that refuse a disagreement), the items come from the bytes behind
// it, and data missing for the count is exception 3, before the range; a
// coil set by any value but 0; nothing to a request short of its fields.
constexpr MbRules kTableRules{
    MbPdu_Set({MB_READ_COILS, MB_READ_DISCRETE_INPUTS, MB_READ_HOLDING_REGISTERS, MB_READ_INPUT_REGISTERS,
               MB_WRITE_SINGLE_COIL, MB_WRITE_SINGLE_REGISTER, MB_WRITE_MULTIPLE_COILS, MB_WRITE_MULTIPLE_REGISTERS}),
    MB_READ_BITS_MAX,
    MB_READ_REGISTERS_MAX,
    MB_NO_LIMIT,
    MB_NO_LIMIT,
    MB_EX_ILLEGAL_DATA_ADDRESS,
    0,
    MB_EX_ILLEGAL_DATA_VALUE,
    MB_RULE_COIL_NONZERO,
};

// Serves a PDU (unit byte first) of len bytes for connection index conn of
// the section.
uint32_t ServePdu(const MBState &st, uint32_t conn, const uint8_t *pdu, uint32_t len, uint8_t *ans) {
    if (len < 2) return 0;
    const uint8_t fc = pdu[1];
    ans[0] = pdu[0];
    if (MbPdu_In(kTableRules.functions, fc)) {
        TableAccess t{st, conn, nullptr, 0};
        const uint32_t n = MbPdu_Serve(kTableRules, kTableAccess, &t, pdu + 1, len - 1, ans + 1);
        return n != 0 ? 1 + n : 0;
    }
    switch (fc) {
    case MB_DIAGNOSTICS:
        // Only the echo of sub-function 0.
        if (len < 1 + MB_PDU_FIELDS) return 0;
        if (BE_Get16(pdu + 1 + MB_PDU_ADDRESS) != 0) return 1 + MbPdu_Exception(ans + 1, fc, MB_EX_ILLEGAL_FUNCTION);
        std::memcpy(ans, pdu, 1 + MB_PDU_FIELDS);
        return 1 + MB_PDU_FIELDS;
    case MB_REPORT_SERVER_ID:
        ans[1] = fc;
        ans[2] = 1;
        ans[3] = 0xFF;
        return 4;
    case MB_ENCAPSULATED_INTERFACE: return DeviceIdent(pdu, len, ans);
    default: return 1 + MbPdu_Exception(ans + 1, fc, MB_EX_ILLEGAL_FUNCTION);
    }
}

uint32_t ConnIndex(const MBState &st, uint32_t rec) {
    return rec >= st.conns ? (rec - st.conns) / MBC_SIZE : 0xFFFFFFFFu;
}
}  // namespace

uint32_t Z7MBSrv_Serve(uint32_t server, const uint8_t *pdu, uint32_t len, uint8_t *ans) {
    MBState st;
    if (server == 0 || pdu == nullptr || ans == nullptr || !MB_Open(Z7Mem_Get32(server + MBC_SECTION), st)) return 0;
    const uint32_t conn = ConnIndex(st, server - st.state);
    if (conn >= st.nconn || st.state + st.conns + MBC_SIZE * conn != server) return 0;
    return ServePdu(st, conn, pdu, len, ans);
}

uint32_t Z7MB_FindServer(uint32_t state, const char *name) {
    MBState st;
    if (!MB_Open(state, st)) return 0;
    if (name == nullptr || name[0] == 0) {
        const uint32_t d = LE_Get32(st.s + MBH_DEFSRV);
        return d ? state + d : 0;
    }
    for (uint32_t i = 0; i < st.nconn; i++) {
        const uint8_t *k = st.Conn(i);
        if (!(LE_Get16(k + MBC_FLAGS) & 0x100)) continue;
        char text[256];
        MB_Text(LE_Get32(k + MBC_CFG), text, sizeof text);
        if (std::strcmp(text, name) == 0) return state + st.conns + MBC_SIZE * i;
    }
    return 0;
}

uint32_t Z7MB_ServeExID(uint32_t state, const uint8_t *req, uint32_t len, uint8_t *ans, uint32_t tcp, uint32_t unit,
                        const char *name) {
    MBState st;
    if (req == nullptr || ans == nullptr || !MB_Open(state, st)) return 0;
    const uint32_t server = Z7MB_FindServer(state, name);
    if (server == 0) return 0;
    const uint32_t conn = ConnIndex(st, server - state);
    if (conn >= st.nconn) return 0;
    const uint32_t hdr = tcp ? 6 : 0;
    if (len < hdr + 2) return 0;
    uint32_t pdu_len = len - hdr;
    if (tcp) {
        const uint32_t l = BE_Get16(req + 4);
        if (l < pdu_len) pdu_len = l;
    } else {
        pdu_len = pdu_len >= 4 ? pdu_len - 2 : 0;  // an RTU frame ends with its CRC
    }
    const uint8_t *pdu = req + hdr;
    const uint8_t expected = uint8_t(unit ? unit : W(LE_Get32(st.Conn(conn) + MBC_CFG), 3));
    if (pdu_len < 2 || (pdu[0] != 0 && pdu[0] != expected)) return 0;
    const uint32_t n = ServePdu(st, conn, pdu, pdu_len, ans + hdr);
    if (n == 0) return 0;
    if (tcp) {
        ans[0] = req[0];
        ans[1] = req[1];
        ans[2] = 0;
        ans[3] = 0;
        BE_Put16(ans + 4, uint16_t(n));
        return n + 6;
    }
    return pdu[0] == 0 ? 0 : n;
}

uint32_t Z7MB_ServeEx(uint32_t state, const uint8_t *req, uint32_t len, uint8_t *ans, uint32_t tcp, uint32_t unit) {
    return Z7MB_ServeExID(state, req, len, ans, tcp, unit, nullptr);
}
uint32_t Z7MB_Serve(uint32_t state, const uint8_t *req, uint32_t len, uint8_t *ans, uint32_t tcp) {
    return Z7MB_ServeExID(state, req, len, ans, tcp, 0, nullptr);
}

uint32_t Z7VM_ServeModbus(uint32_t db, uint32_t kind, const uint8_t *req, uint32_t len, uint8_t *ans) {
    // an application stopped in the VM answers nothing: its tables no longer follow its variables
    if (db == 0 || (Z7St_Flags(db) & Z7F_STOPPED)) return 0;
    return Z7MB_Serve(Z7Sec_Addr(db, Z7SEC_MB), req, len, ans, kind == 17 ? 1 : 0);
}

void Z7Def_ServeModbusRequest(Z7CSData *cs, uint32_t db, uint32_t kind, uint32_t channel) {
    const uint8_t *req = Z7CS_GetRequestFrame(cs, channel);
    uint8_t *ans = Z7CS_GetAnswerFrameBuffer(cs, channel);
    // Without an application or a frame the question stays unanswered rather
    // than getting a return-code frame: the peer speaks Modbus on this channel
    // and times out on silence, as on any slave that does not answer.
    if (db == 0 || req == nullptr || ans == nullptr) return;
    const uint32_t n = Z7VM_ServeModbus(db, kind, req, Z7CS_GetRequestLength(cs, channel), ans);
    if (n != 0) Z7CS_SendAnswerFrame(cs, channel, n);
}

bool Z7MB_HasServer(uint32_t db, const char *name) {
    return db != 0 && Z7MB_FindServer(Z7Sec_Addr(db, Z7SEC_MB), name) != 0;
}

uint32_t Z7MB_ServeBlockRequest(uint32_t db, const uint8_t *req, uint32_t len, uint8_t *answer, uint32_t size,
                                uint32_t framing, uint32_t unit, const char *name) {
    std::array<uint8_t, 300> in{}, out;
    if (db == 0 || req == nullptr || answer == nullptr || len + 2 > in.size()) return 0;
    std::memcpy(in.data(), req, len);
    // an RTU request is served as a frame whose CRC place is not checked
    const uint32_t n = Z7MB_ServeExID(Z7Sec_Addr(db, Z7SEC_MB), in.data(), framing == 1 ? len + 2 : len, out.data(),
                                      framing == 1 ? 0 : 1, unit, name);
    if (n == 0 || n > size) return 0;
    std::memcpy(answer, out.data(), n);
    return n;
}

// ---- UDP ------------------------------------------------------------------------------------------
bool Z7MBSrv_UdpOpen(uint16_t port, Z7SocketHandle *sock) {
    *sock = -1;
    return Z7Socket_UdpCreate(port, sock) && *sock >= 0;
}
void Z7MBSrv_UdpClose(Z7SocketHandle sock) {
    if (sock != -1) Z7Socket_CloseSocket(sock);
}
void Z7MBSrv_UdpActivate(uint32_t db, Z7SocketHandle sock, uint32_t framing, uint32_t unit, const char *name) {
    if (sock < 0 || db == 0) return;
    std::array<uint8_t, 300> req;
    std::array<uint8_t, 300> ans;
    uint8_t from[16];
    const uint32_t n = Z7Socket_UdpRecvFrom(sock, req.data(), uint32_t(req.size()), from);
    if (n == 0) return;
    const uint32_t tcp = framing == 0 ? 1 : 0;
    uint32_t a = Z7MB_ServeExID(Z7Sec_Addr(db, Z7SEC_MB), req.data(), n, ans.data(), tcp, unit, name);
    if (a == 0) return;
    if (!tcp) {
        LE_Put16(ans.data() + a, crc16(ans.data(), a));
        a += 2;
    }
    Z7Socket_UdpSendTo(sock, from, ans.data(), a);
}

bool Z7MBSrv_SetDevIdent(const char *vendor, const char *product, const char *revision, const uint16_t *words,
                         uint32_t count) {
    const char *t[3] = {vendor, product, revision};
    for (uint32_t k = 0; k < 3; k++) {
        ident.text[k].fill(0);
        if (t[k] != nullptr) std::memcpy(ident.text[k].data(), t[k], strnlen(t[k], kTextMax - 1));
    }
    // without words all eight are cleared; with them only the first
    // min(count, 8) change, the others stay as they were
    if (words == nullptr)
        ident.words.fill(0);
    else
        for (uint32_t i = 0; i < count && i < 8; i++) ident.words[i] = words[i];
    return true;
}
