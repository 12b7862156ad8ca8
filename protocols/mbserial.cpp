// Serial Modbus engine: framing of RTU, ASCII and MBAP frames on the
// programming port's driver record, the slave's request processing against
// the register image, and the master's request/answer cycle.
#include "protocols/mbserial.h"

#include <cstring>

#include "core/image/bytes.h"
#include "core/image/mbpdu.h"
#include "core/image/plcreg.h"
#include "core/image/timebase.h"
#include "core/image/util.h"
#include "core/storage/memfile.h"
#include "iec/blocks/blkmodbus.h"
#include "iec/blocks/blkport.h"
#include "iec/services/z7svc.h"
#include "iec/vm/z7mem.h"
#include "io/vcomm.h"

std::array<ModbusPcb, 1> pcb;
ModbusTcpState ModbusTCP_St;
ModSocketHooks mod_socket;

namespace {

constexpr uint32_t kTicksPer100ms = 1000;  // FPGA_GetFrt counts 100 us
// Stations from this one on are addressed by two bytes.
constexpr uint16_t kTwoByteStation = 247;

// ---- port access ----------------------------------------------------------------------
bool SocketActive(uint32_t port) { return mod_socket.connected && mod_socket.connected(port, 0); }

uint32_t CheckRx(uint32_t port) {
    if (SocketActive(port)) return mod_socket.check ? mod_socket.check(0) : 0;
    return Vcomm_Call(port, &VcommDrv::CheckRx);
}
uint8_t GetRx(uint32_t port) {
    if (SocketActive(port)) return mod_socket.recv ? mod_socket.recv(0) : 0;
    return uint8_t(Vcomm_Call(port, &VcommDrv::GetRx));
}
void PutTx(uint32_t port, uint8_t b) { Vcomm_Call(port, &VcommDrv::PutTx, b); }
void RtuTx(uint32_t port) { Vcomm_Call(port, &VcommDrv::RtuTx); }
void FlushTx(uint32_t port) { Vcomm_Call(port, &VcommDrv::FlushTx); }
void FlushRx(uint32_t port) { Vcomm_Call(port, &VcommDrv::FlushRx); }
uint32_t CountTx(uint32_t port) { return Vcomm_Call(port, &VcommDrv::CountTx); }
uint32_t StatusRx(uint32_t port) { return Vcomm_Call(port, &VcommDrv::StatusRx, 1u); }

uint16_t Get16(const uint8_t *p) { return p ? LE_Get16(p) : 0; }
void Put16(uint8_t *p, uint16_t v) {
    if (p) LE_Put16(p, v);
}

void Count(ModbusProto &m, ModCounter k) {
    if (m.counters[k] != 0xFFFF) m.counters[k]++;
}

void FrameError(ModbusProto &m) {
    Count(m, MOD_CNT_COMERR);
    m.result |= 0x400;
    m.frame_error = 1;
}

bool TcpFraming(const ModbusProto &m) {
    return (ModbusTCP_St.flags & 1) && ((ModbusTCP_St.flags >> 3) & 3) == (m.port & 3);
}

// ---- register areas -----------------------------------------------------------------
// Bit address of element 0 and the element count allowed, per area.
struct Area {
    uint32_t base;
    uint32_t limit;
    uint8_t word;
};

uint32_t TBase() { return RegTokLen_16b ? BA_T : REG_ET_FIRST; }
uint32_t MBase() { return RegTokLen_16b ? BA_M : REG_EM_FIRST; }

// Area of a slave address; limit 0 when the address is outside the map.
Area SlaveArea(uint8_t fc, uint32_t a, uint32_t *first) {
    switch (fc) {
    case MB_READ_COILS:
    case MB_WRITE_SINGLE_COIL:
    case MB_WRITE_MULTIPLE_COILS:
        if (a < 3000) {
            *first = a;
            return {BA_Q, 2048, 0};
        }
        if (a < 6000) {
            *first = a - 3000;
            return {MBase(), 2048, 0};
        }
        if (a < 9000) {
            *first = a - 6000;
            return {TBase(), 2048, 0};
        }
        *first = a - 9000;
        return {BA_QG, 256, 0};
    case MB_READ_DISCRETE_INPUTS:
        if (a < 3000) {
            *first = a;
            return {BA_I, 2048, 0};
        }
        if (a < 4000) {
            *first = a - 3000;
            return {BA_IG, 256, 0};
        }
        if (a < 5000) {
            *first = a - 4000;
            return {BA_S, 256, 0};
        }
        *first = a - 5000;
        return {BA_K, 256, 0};
    case MB_READ_HOLDING_REGISTERS:
    case MB_WRITE_SINGLE_REGISTER:
    case MB_WRITE_MULTIPLE_REGISTERS:
    case MB_MASK_WRITE_REGISTER:
    case MB_READ_WRITE_REGISTERS:
        if (a < 512) {
            *first = a;
            return {BA_AQ, 512, 1};
        }
        if (a < 3000) {
            *first = a - 512;
            return {BA_R, 2488, 1};
        }
        if (a < 6000) {
            *first = a - 3000;
            return {BA_R, 50240, 1};
        }
        if (a < 10000) {
            *first = a - 6000;
            return {BA_AQG, 32, 1};
        }
        *first = a - 10000;
        return {BA_R, 4096, 1};
    case MB_READ_INPUT_REGISTERS:
        if (a < 3000) {
            *first = a;
            return {BA_AI, 512, 1};
        }
        if (a < 4000) {
            *first = a - 3000;
            return {BA_AIG, 32, 1};
        }
        *first = a - 4000;
        return {BA_SR, 192, 1};
    default: *first = 0; return {0, 0, 0};
    }
}

// Bit address of element 0 of a slave range, 0 when the map refuses it.
uint32_t SlaveMap(uint8_t fc, uint32_t a, uint32_t n) {
    uint32_t first = 0;
    const Area ar = SlaveArea(fc, a, &first);
    if (ar.limit == 0 || n == 0 || first + n > ar.limit) return 0;
    return ar.base + (ar.word ? 16 * first : first);
}

uint8_t GetBit(uint32_t addr) {
    uint8_t b = 0;
    PlcReg_Get(&b, addr, 1);
    return b & 1;
}
void SetBit(uint32_t addr, uint8_t v) {
    const uint8_t b = v & 1;
    PlcReg_Set(addr, &b, 1);
}
uint16_t GetWord(uint32_t addr) {
    uint8_t b[2] = {0, 0};
    PlcReg_Get(b, addr, 16);
    return LE_Get16(b);
}
void SetWord(uint32_t addr, uint16_t v) {
    uint8_t b[2];
    LE_Put16(b, v);
    PlcReg_Set(addr, b, 16);
}

// A data area: a bit address in the register image, or a host view of an
// IEC array (one byte per BOOL, 16-bit words in memory order).
struct Loc {
    uint32_t reg;
    uint8_t *mem;
};
// A forced IEC variable is left as it is.
bool IecForced(const uint8_t *p) { return BlkMb_Forced(Z7Mem_Off(p)) != 0; }
uint8_t LocBit(const Loc &l, uint32_t i) { return l.mem ? (l.mem[i] != 0 ? 1 : 0) : GetBit(l.reg + i); }
void LocSetBit(const Loc &l, uint32_t i, uint8_t v) {
    if (l.mem) {
        if (!IecForced(l.mem + i)) l.mem[i] = v & 1;
    } else {
        SetBit(l.reg + i, v);
    }
}
uint16_t LocWord(const Loc &l, uint32_t i) { return l.mem ? LE_Get16(l.mem + 2 * i) : GetWord(l.reg + 16 * i); }
void LocSetWord(const Loc &l, uint32_t i, uint16_t v) {
    if (l.mem) {
        if (!IecForced(l.mem + 2 * i)) LE_Put16(l.mem + 2 * i, v);
    } else {
        SetWord(l.reg + 16 * i, v);
    }
}

// Packs n bits of an area into out, from bit 0 of the first byte.
void PackBits(const Loc &l, uint32_t n, uint8_t *out) {
    std::memset(out, 0, (n + 7) / 8);
    for (uint32_t i = 0; i < n; i++) {
        if (LocBit(l, i)) out[i / 8] = uint8_t(out[i / 8] | (1u << (i % 8)));
    }
}
void UnpackBits(const Loc &l, uint32_t n, const uint8_t *in) {
    for (uint32_t i = 0; i < n; i++) LocSetBit(l, i, (in[i / 8] >> (i % 8)) & 1);
}

// IEC slave map: the area of a function code's array for n elements from
// address a; 0, or exception 2 when the range leaves the array's count.
uint8_t IecSlaveLoc(const ModbusPcb &c, uint8_t fc, uint32_t a, uint32_t n, Loc *out) {
    uint32_t k;
    switch (fc) {
    case MB_READ_COILS:
    case MB_WRITE_SINGLE_COIL:
    case MB_WRITE_MULTIPLE_COILS: k = MBM_COILS; break;
    case MB_READ_DISCRETE_INPUTS: k = MBM_INPUTS; break;
    case MB_READ_INPUT_REGISTERS: k = MBM_INREGS; break;
    default: k = MBM_HOLDING; break;
    }
    const uint8_t *rec = c.parm.data;
    if (rec == nullptr) return MB_EX_ILLEGAL_DATA_ADDRESS;
    const uint32_t addr = LE_Get32(rec + MBM_ADDR + 4 * k), count = LE_Get32(rec + MBM_COUNT + 4 * k);
    const uint32_t unit = (k == MBM_COILS || k == MBM_INPUTS) ? 1 : 2;
    if (n == 0 || uint64_t(a) + n > count || uint64_t(count) * unit > Z7MEM_SIZE) return MB_EX_ILLEGAL_DATA_ADDRESS;
    uint8_t *mem = Z7Mem_Ptr(addr, count * unit);
    if (mem == nullptr) return MB_EX_ILLEGAL_DATA_ADDRESS;
    *out = Loc{0, mem + size_t(a) * unit};
    return 0;
}

// Port protocol of the IEC runtime's own serial link.
constexpr uint8_t kProtoRuntime = 6;

// IEC slave whose register arrays hold 32-bit elements (element code 2).
bool IecDwordHolding(const ModbusPcb &c) {
    return c.parm.iec && c.parm.data != nullptr && LE_Get16(c.parm.data + MBM_ELEM) == MB_ELEM_DWORD;
}

// ---- transmit ----------------------------------------------------------------------------
constexpr char kHex[] = "0123456789ABCDEF";

// The longest frame sent: the longest the receiver of the same framing
// takes into the frame buffer, with the CRC of an RTU frame, the LRC of an
// ASCII one or the header of an MBAP one. Every frame the slave accepts
// fits it, so a frame taken for forwarding always goes on whole.
uint32_t MaxFrame(const ModbusProto &m) {
    if (TcpFraming(m)) return MOD_BUF_TCP - 6;
    return (m.mode & MOD_ASCII) ? MOD_BUF - 1 : MOD_BUF - 2;
}

// Sends n bytes of frame f in the port's framing. The frame buffer is left
// as it is: the program's own frame comes from its data area, so a request
// being received into the buffer meanwhile stays whole (an ASCII request,
// whose LRC is summed as it arrives, would otherwise be taken with the own
// frame's bytes in its place).
void SendFrame(ModbusPcb &c, const uint8_t *f, uint32_t n) {
    ModbusProto &m = c.proto;
    const uint32_t port = m.port;
    if (n == 0 || n > MaxFrame(m)) return;
    FlushTx(port);
    if (TcpFraming(m)) {
        // MBAP header in front, no CRC.
        std::array<uint8_t, MOD_BUF_TCP> out;
        BE_Put16(&out[0], ModbusTCP_St.tid);
        BE_Put16(&out[2], ModbusTCP_St.pid);
        BE_Put16(&out[4], uint16_t(n));
        std::memcpy(&out[6], f, n);
        if (SocketActive(port) && mod_socket.send) {
            mod_socket.send(0, out.data(), n + 6, 1);
        } else {
            for (uint32_t i = 0; i < n + 6; i++) PutTx(port, out[i]);
            RtuTx(port);
        }
    } else if (m.mode & MOD_ASCII) {
        PutTx(port, ':');
        uint8_t sum = 0;
        for (uint32_t i = 0; i < n; i++) {
            sum = uint8_t(sum + f[i]);
            PutTx(port, uint8_t(kHex[f[i] >> 4]));
            PutTx(port, uint8_t(kHex[f[i] & 15]));
        }
        const uint8_t lrc = uint8_t(-sum);
        PutTx(port, uint8_t(kHex[lrc >> 4]));
        PutTx(port, uint8_t(kHex[lrc & 15]));
        PutTx(port, '\r');
        PutTx(port, '\n');
        RtuTx(port);
    } else {
        const uint16_t crc = crc16(f, n);
        for (uint32_t i = 0; i < n; i++) PutTx(port, f[i]);
        PutTx(port, uint8_t(crc));
        PutTx(port, uint8_t(crc >> 8));
        RtuTx(port);
    }
    c.tx_flag = 255;
}
// The frame in the frame buffer: an answer, a forward, a master request.
void SendFrame(ModbusPcb &c, uint32_t n) { SendFrame(c, c.proto.buf.data(), n); }

void TxPoll(ModbusPcb &c) {
    if (c.tx_flag == 255 && CountTx(c.proto.port) == 0) c.tx_flag = 0;
}

// ---- receive ------------------------------------------------------------------------------
void RtuStart(ModbusProto &m) {
    m.rx_count = 0;
    m.crc = 0xFFFF;
    m.match_req = m.match_rsp = 0;
    m.exp_req = m.exp_rsp = 0x7FFF;
    m.rx_state = 1;
}

// Resolves a byte-count size at index idx.
void FixSize(ModbusProto &m, int16_t &exp, uint32_t idx) {
    if (exp < 0 && uint32_t(-exp) == idx) exp = int16_t(idx + 2 + m.buf[idx]);
}

void CheckMatch(ModbusProto &m, int16_t exp, uint8_t &flag, uint32_t idx) {
    if (exp >= 0 && uint32_t(exp) == idx && m.crc == (m.buf[idx - 1] | (m.buf[idx] << 8))) flag = 1;
}

uint32_t Accept(ModbusProto &m, uint32_t len) {
    m.length = uint16_t(len);
    return 1;
}

uint8_t HexVal(uint8_t ch) {
    if (ch >= '0' && ch <= '9') return uint8_t(ch - '0');
    if (ch >= 'A' && ch <= 'F') return uint8_t(ch - 'A' + 10);
    return 0;
}

// MBAP frame in buf (rx_count bytes): checked and the header removed.
uint32_t TcpEnd(ModbusProto &m) {
    const uint32_t n = m.rx_count;
    m.rx_state = (m.mode & MOD_ASCII) ? 5 : 0;
    if (n < 8) {
        FrameError(m);
        return 0;
    }
    const uint16_t tid = BE_Get16(&m.buf[0]);
    if ((m.mode & MOD_MASTER) && (ModbusTCP_St.flags & 2)) {
        if (tid != ModbusTCP_St.tid) {
            FrameError(m);
            return 0;
        }
        ModbusTCP_St.tid++;
        ModbusTCP_St.flags &= uint8_t(~2);
    } else {
        ModbusTCP_St.tid = tid;
    }
    if (BE_Get16(&m.buf[4]) != n - 6) {
        FrameError(m);
        return 0;
    }
    std::memmove(&m.buf[0], &m.buf[6], n - 6);
    return Accept(m, n - 6);
}

// ---- slave ---------------------------------------------------------------------------------
uint32_t Exception(ModbusProto &m, uint32_t off, uint8_t code) {
    Count(m, MOD_CNT_EXCEPT);
    return off + MbPdu_Exception(&m.buf[off], m.buf[off], code);
}

void Toggle(ModbusPcb &c, uint16_t bit) { Put16(c.parm.status, uint16_t(Get16(c.parm.status) ^ bit)); }

// Sub-functions of the diagnostics (function 8).
enum DiagSub : uint16_t {
    DIAG_RETURN_QUERY = 0,
    DIAG_RESTART = 1,
    DIAG_REGISTER = 2,
    DIAG_ASCII_DELIMITER = 3,
    DIAG_LISTEN_ONLY = 4,
    DIAG_CLEAR = 10,
    DIAG_BUS_MESSAGES = 11,
    DIAG_COMM_ERRORS = 12,
    DIAG_EXCEPTIONS = 13,
    DIAG_SLAVE_MESSAGES = 14,
    DIAG_NO_RESPONSE = 15,
};
// Its PDU: the sub-function and the data word, 5 bytes.
constexpr uint32_t kDiagSub = 1, kDiagData = 3, kDiagBytes = 5;

// Diagnostics (function code 8); the answer length, 0 none.
uint32_t Diagnostics(ModbusPcb &c, uint32_t off, uint32_t len) {
    ModbusProto &m = c.proto;
    if (len != off + kDiagBytes) return Exception(m, off, MB_EX_ILLEGAL_DATA_VALUE);
    const uint16_t sub = BE_Get16(&m.buf[off + kDiagSub]);
    const uint32_t echo = off + kDiagBytes;
    auto counter = [&](ModCounter k) {
        BE_Put16(&m.buf[off + kDiagData], m.counters[k]);
        return echo;
    };
    switch (sub) {
    case DIAG_RETURN_QUERY: return echo;
    case DIAG_RESTART:
        m.counters = {};
        if (m.mode & MOD_LISTEN) {
            m.mode &= uint8_t(~MOD_LISTEN);
            return 0;
        }
        return echo;
    case DIAG_REGISTER: BE_Put16(&m.buf[off + kDiagData], 0); return echo;
    case DIAG_LISTEN_ONLY: m.mode |= MOD_LISTEN; return 0;
    case DIAG_CLEAR: m.counters = {}; return echo;
    case DIAG_BUS_MESSAGES: return counter(MOD_CNT_BUS);
    case DIAG_COMM_ERRORS: return counter(MOD_CNT_COMERR);
    case DIAG_EXCEPTIONS: return counter(MOD_CNT_EXCEPT);
    case DIAG_SLAVE_MESSAGES: return counter(MOD_CNT_SLAVE);
    case DIAG_NO_RESPONSE: return counter(MOD_CNT_NORESP);
    default: return Exception(m, off, MB_EX_ILLEGAL_DATA_ADDRESS);
    }
}

// Area of a slave range: the register map (refusals answer 3) or, for an
// IEC slave, the block's map record (refusals answer 2); 0 when taken.
uint8_t SlaveLoc(const ModbusPcb &c, uint8_t fc, uint32_t a, uint32_t n, Loc *out) {
    if (c.parm.iec) return IecSlaveLoc(c, fc, a, n, out);
    const uint32_t base = SlaveMap(fc, a, n);
    if (!base) return MB_EX_ILLEGAL_DATA_VALUE;
    *out = Loc{base, nullptr};
    return 0;
}

// The slave's access for the Modbus core: its map, areas 0 and 1 of a
// request, and whether function 6 writes a 32-bit IEC element.
struct SlaveAccess {
    ModbusPcb &c;
    std::array<Loc, 2> at;
    bool dword;
};

uint8_t SlaveAdmit(void *p, uint8_t) {
    return static_cast<SlaveAccess *>(p)->c.sys_active != 1 ? MB_EX_SERVER_DEVICE_FAILURE : 0;
}

uint8_t SlaveLocate(void *p, uint8_t fc, uint32_t a, uint32_t q, uint32_t k) {
    SlaveAccess &s = *static_cast<SlaveAccess *>(p);
    if (fc == MB_WRITE_SINGLE_REGISTER && IecDwordHolding(s.c)) {
        // 32-bit elements: the element holding register a takes the value
        // as a whole (sign-extended), both its words written.
        s.dword = true;
        return SlaveLoc(s.c, fc, a & ~1u, 2, &s.at[k]);
    }
    return SlaveLoc(s.c, fc, a, q, &s.at[k]);
}

uint8_t SlaveRead(void *p, uint8_t fc, uint32_t q, uint8_t *out, uint32_t k) {
    const Loc l = static_cast<SlaveAccess *>(p)->at[k];
    if (MbPdu_Bits(fc)) {
        PackBits(l, q, out);
    } else {
        for (uint32_t i = 0; i < q; i++) BE_Put16(out + 2 * i, LocWord(l, i));
    }
    return 0;
}

uint8_t SlaveWrite(void *p, uint8_t fc, uint32_t q, const uint8_t *in, uint32_t k) {
    const SlaveAccess &s = *static_cast<SlaveAccess *>(p);
    const Loc l = s.at[k];
    if (s.dword) {
        if (!IecForced(l.mem)) LE_Put32(l.mem, uint32_t(int32_t(int16_t(BE_Get16(in)))));
    } else if (MbPdu_Bits(fc)) {
        UnpackBits(l, q, in);
    } else {
        for (uint32_t i = 0; i < q; i++) LocSetWord(l, i, BE_Get16(in + 2 * i));
    }
    return 0;
}

constexpr MbAccess kSlaveAccess{SlaveAdmit, SlaveLocate, SlaveRead, SlaveWrite};

// The slave's answers: reads and multiple writes (function 23's write part
// too) up to 2,000 bits and 125 registers, a short request, a quantity over
// them or data that disagrees with its byte count (checked after the range)
// answer 3.
constexpr MbRules kSlaveRules{
    MbPdu_Set({MB_READ_COILS, MB_READ_DISCRETE_INPUTS, MB_READ_HOLDING_REGISTERS, MB_READ_INPUT_REGISTERS,
               MB_WRITE_SINGLE_COIL, MB_WRITE_SINGLE_REGISTER, MB_READ_EXCEPTION_STATUS, MB_WRITE_MULTIPLE_COILS,
               MB_WRITE_MULTIPLE_REGISTERS, MB_MASK_WRITE_REGISTER, MB_READ_WRITE_REGISTERS}),
    MB_READ_BITS_MAX,
    MB_READ_REGISTERS_MAX,
    MB_READ_BITS_MAX,
    MB_READ_REGISTERS_MAX,
    MB_EX_ILLEGAL_DATA_VALUE,
    MB_EX_ILLEGAL_DATA_VALUE,
    MB_EX_ILLEGAL_DATA_VALUE,
    MB_RULE_BYTE_COUNT | MB_RULE_DATA_AFTER_RANGE,
};

// A request of the slave's functions on its map; the answer length from
// the frame's start. A refused broadcast is no exception sent: nothing
// answers a broadcast, so it is not counted.
uint32_t DataFunction(ModbusPcb &c, uint32_t off, uint32_t len, bool broadcast) {
    ModbusProto &m = c.proto;
    SlaveAccess access{c, {}, false};
    const uint32_t n = MbPdu_Serve(kSlaveRules, kSlaveAccess, &access, &m.buf[off], len - off, &m.buf[off]);
    if ((m.buf[off] & MB_EXCEPTION_BIT) && !broadcast) Count(m, MOD_CNT_EXCEPT);
    return off + n;
}

// Store-and-forward: the frame's address rewritten from the table; 1 when
// it is to go on.
uint32_t Forward(ModbusPcb &c) {
    ModbusProto &m = c.proto;
    const uint32_t n = c.parm.ext[1];
    if (!c.parm.forward || n == 0) return 0;
    const uint8_t addr = m.buf[0];
    for (uint32_t i = 0; i < n; i++) {
        const uint16_t e = LE_Get16(c.parm.forward + 2 * i);
        if ((e >> 8) == addr) {
            m.buf[0] = uint8_t(e);
            Toggle(c, 0x02);
            return 1;
        }
    }
    for (uint32_t i = 0; i < n; i++) {
        const uint16_t e = LE_Get16(c.parm.forward + 2 * i);
        if ((e & 0xFF) == addr) {
            m.buf[0] = uint8_t(e >> 8);
            Toggle(c, 0x04);
            return 1;
        }
    }
    return 0;
}

// ---- master ------------------------------------------------------------------------------
struct LocalTable {
    uint8_t code;
    uint32_t base;
    uint8_t word;  // 1 word table, 0 bit table
    uint8_t send_only;
    uint32_t limit;
};

constexpr uint32_t kTLayout = 0xFFFFFFFFu, kMLayout = 0xFFFFFFFEu;  // resolved per layout
constexpr std::array<LocalTable, 14> kTables = {{
    {2, BA_SR, 1, 1, 192},
    {4, BA_AIG, 1, 0, 32},
    {6, BA_AQG, 1, 0, 32},
    {8, BA_R, 1, 0, 50240},
    {10, BA_AI, 1, 0, 512},
    {12, BA_AQ, 1, 0, 512},
    {24, BA_S, 0, 1, 256},
    {26, BA_K, 0, 1, 256},
    {66, BA_IG, 0, 0, 256},
    {68, BA_QG, 0, 0, 256},
    {70, BA_I, 0, 0, 2048},
    {72, BA_Q, 0, 0, 2048},
    {74, kTLayout, 0, 0, 2048},
    {76, kMLayout, 0, 0, 2048},
}};

// Local bit address of the request's data, 0 when refused.
uint32_t LocalArea(uint16_t code, uint32_t offset, uint32_t n, bool words, bool sending) {
    for (const LocalTable &t : kTables) {
        if (t.code != code) continue;
        if (t.word != (words ? 1 : 0) || (t.send_only && !sending)) return 0;
        if (offset + n > t.limit) return 0;
        const uint32_t base = t.base == kTLayout ? TBase() : t.base == kMLayout ? MBase() : t.base;
        return base + (t.word ? 16 * offset : offset);
    }
    return 0;
}

// Master request: the ladder record (table code and offset) or the IEC
// record (arena address, element offset, element code).
struct Request {
    uint16_t slave, fc, start, qty, table, offset;
    uint32_t addr;
    uint16_t elem;
    bool iec;
};

Request ReadRequest(const uint8_t *d, bool iec) {
    if (iec)
        return {LE_Get16(d + MBR_SLAVE),
                LE_Get16(d + MBR_FC),
                LE_Get16(d + MBR_START),
                LE_Get16(d + MBR_QTY),
                0,
                LE_Get16(d + MBR_OFFSET),
                LE_Get32(d + MBR_DATA),
                LE_Get16(d + MBR_ELEM),
                true};
    return {LE_Get16(d), LE_Get16(d + 2), LE_Get16(d + 4), LE_Get16(d + 6), LE_Get16(d + 8), LE_Get16(d + 10), 0, 0,
            false};
}

// Local area of n elements of a request; false when refused.
bool MasterLoc(const Request &r, uint32_t n, bool words, bool sending, Loc *out) {
    if (!r.iec) {
        const uint32_t base = LocalArea(r.table, r.offset, n, words, sending);
        *out = Loc{base, nullptr};
        return base != 0;
    }
    const uint32_t es = r.elem == MB_ELEM_DWORD ? 4 : r.elem == MB_ELEM_WORD ? 2 : 1;
    const uint64_t at = uint64_t(r.addr) + uint64_t(r.offset) * es;
    const uint32_t bytes = words ? 2 * n : n;
    uint8_t *mem = r.addr != 0 && at + bytes <= Z7MEM_SIZE ? Z7Mem_Ptr(uint32_t(at), bytes) : nullptr;
    *out = Loc{0, mem};
    return mem != nullptr;
}

void RestartElapsed(ModbusPcb &c) {
    c.ref = FPGA_GetFrt();
    c.elapsed = 0;
}

// The elapsed time moves on by the whole 100 ms steps since the reference,
// which follows them: the 32-bit time base wraps every 4.97 days, and a
// difference taken from an older reference would fall back past the wrap
// (a slave unasked for days would drop its time-out bit). It stops at its
// largest value.
void UpdateElapsed(ModbusPcb &c) {
    const uint32_t steps = (FPGA_GetFrt() - c.ref) / kTicksPer100ms;
    c.ref += steps * kTicksPer100ms;
    c.elapsed = c.elapsed > UINT32_MAX - steps ? UINT32_MAX : c.elapsed + steps;
}

// Receives all available bytes; 1 when a frame was accepted.
uint32_t ReceiveAll(ModbusPcb &c, bool *got_bytes) {
    ModbusProto &m = c.proto;
    for (uint32_t guard = 0; guard < 4096; guard++) {
        const uint32_t r = CheckRx(m.port);
        if (r == 1) {
            if (got_bytes) *got_bytes = true;
            if (MOD_RxByte(m, GetRx(m.port))) return 1;
        } else if (r == 255) {
            if (MOD_RxEnd(m)) return 1;
        } else {
            break;
        }
    }
    return 0;
}

uint32_t SlaveStep(ModbusPcb &c) {
    ModbusProto &m = c.proto;
    TxPoll(c);
    // Frames of the program's own.
    const uint16_t ctl = Get16(c.parm.control);
    uint16_t st = Get16(c.parm.status);
    if (ctl != 0 && !c.latch) {
        c.latch = 1;
        if (ctl >= 256) {
            st |= 0x200;
        } else if (c.tx_flag != 0 || c.fwd_pending || c.parm.data == nullptr) {
            // A forward or an answer waiting to go out holds the
            // transmitter: the frame buffer is its frame until then.
            st |= 0x400;
        } else if (c.parm.data_ref != 0 && PlcReg_Ptr(c.parm.data_ref, 8u * ctl) == nullptr) {
            // The data operand was checked at its first word only: a frame
            // that would run past the register image is a length refused.
            st |= 0x200;
        } else {
            SendFrame(c, c.parm.data, ctl);
        }
    } else if (ctl == 0 && c.latch) {
        c.latch = 0;
        st &= uint16_t(~0x700);
    }
    if (c.latch && c.tx_flag == 0 && !(st & 0x600)) st |= 0x100;
    Put16(c.parm.status, st);
    // A pending forward (or a held answer) goes out as it stands.
    if (c.fwd_pending && c.tx_flag == 0) {
        c.fwd_pending = 0;
        SendFrame(c, m.length);
    }
    // Requests. While a forward still waits for the port, the bytes that
    // arrive stay in the port: received, they would overwrite its frame.
    // An answer ready while the port still sends (the program's own frame,
    // an earlier answer) waits the same way: sending it now would flush the
    // frame still going out.
    for (uint32_t k = 0; k < 64 && !c.fwd_pending; k++) {
        if (!ReceiveAll(c, nullptr)) break;
        const uint32_t n = c.parm.iec ? Z7_MOD_ReqProcess(c) : MOD_ReqProcess(c);
        if (n == 0) continue;
        TxPoll(c);
        if (c.tx_flag != 0) {
            m.length = uint16_t(n);
            c.fwd_pending = 1;
        } else {
            SendFrame(c, n);
        }
    }
    // Status bits 0 and 4 to 7.
    st = uint16_t(Get16(c.parm.status) & ~0x00F1);
    UpdateElapsed(c);
    if (c.parm.timeout && c.elapsed >= c.parm.timeout) st |= 0x01;
    if (m.frame_error) st |= 0x80;
    m.frame_error = 0;
    st = uint16_t(st | ((StatusRx(m.port) & 7) << 4));
    Put16(c.parm.status, st);
    return 1;
}

uint32_t MasterStep(ModbusPcb &c) {
    ModbusProto &m = c.proto;
    const uint16_t ctl = Get16(c.parm.control);
    const bool trig = (ctl & c.trig_mask) != 0;
    // An IEC request starts only on the control word's change from 0 to 1.
    const bool edge = !c.parm.iec || (ctl == 1 && c.last_ctl == 0);
    c.last_ctl = uint8_t(ctl);
    switch (c.state) {
    case ModState::kIdle: {
        if (!trig || !edge) return 1;
        FlushRx(m.port);
        uint16_t err = 0;
        const uint32_t n = c.parm.iec ? Z7_MOD_ReqBuild(c, &err) : MOD_ReqBuild(c, &err);
        if (n == 0) {
            Put16(c.parm.status, uint16_t(err | 2));
            c.state = ModState::kDone;
            return 1;
        }
        c.pending = 0;
        m.result = 0;
        StatusRx(m.port);
        m.rx_state = (m.mode & MOD_ASCII) ? 5 : 0;
        SendFrame(c, n);
        if (TcpFraming(m)) ModbusTCP_St.flags |= 2;
        c.state = ModState::kSending;
        return 1;
    }
    case ModState::kSending:
        if (!trig) {
            FlushTx(m.port);
            c.tx_flag = 0;
            Put16(c.parm.status, 0);
            c.state = ModState::kIdle;
            return 1;
        }
        TxPoll(c);
        if (c.tx_flag != 0) return 1;
        RestartElapsed(c);
        c.state = ModState::kWaiting;
        [[fallthrough]];
    case ModState::kWaiting: {
        if (!trig) {
            Put16(c.parm.status, 0);
            c.state = ModState::kIdle;
        }
        if (StatusRx(m.port) & 7) c.pending = 0x200;
        bool got = false;
        bool answered = false;
        while (ReceiveAll(c, &got)) {
            const uint16_t r = c.parm.iec ? Z7_MOD_RspProcess(c) : MOD_RspProcess(c);
            if (r != 0) {
                c.pending = r;
                answered = true;
                break;
            }
        }
        if (got) RestartElapsed(c);
        if (c.state != ModState::kWaiting) return 1;
        UpdateElapsed(c);
        const bool timed_out = c.parm.timeout != 0 && c.elapsed >= c.parm.timeout;
        if (!answered && !timed_out) return 1;
        uint16_t st;
        if (answered && c.pending == 1)
            st = 1;
        else if (answered)
            st = uint16_t(c.pending | 2);
        else if (m.result & 0x400)
            st = 0x402;
        else if (c.pending & 0x200)
            st = 0x202;
        else
            st = 0x102;
        Put16(c.parm.status, st);
        c.state = ModState::kDone;
        return 1;
    }
    case ModState::kDone:
        if (!trig) {
            Put16(c.parm.status, 0);
            c.state = ModState::kIdle;
        }
        return 1;
    default: return 0;
    }
}

}  // namespace

// ---- framing -----------------------------------------------------------------------------

int16_t ExpectedSize(uint8_t fc, bool answer) {
    switch (fc) {
    case MB_READ_COILS:
    case MB_READ_DISCRETE_INPUTS:
    case MB_READ_HOLDING_REGISTERS:
    case MB_READ_INPUT_REGISTERS: return answer ? -2 : 7;
    case MB_WRITE_SINGLE_COIL:
    case MB_WRITE_SINGLE_REGISTER:
    case MB_DIAGNOSTICS: return 7;
    case MB_READ_EXCEPTION_STATUS:
    case MB_USER_STATUS: return answer ? 4 : 3;
    case MB_WRITE_MULTIPLE_COILS:
    case MB_WRITE_MULTIPLE_REGISTERS: return answer ? 7 : -6;
    case MB_MASK_WRITE_REGISTER: return 9;
    case MB_READ_WRITE_REGISTERS: return answer ? -2 : -10;
    default: return 4;
    }
}

uint32_t MOD_RxByte(ModbusProto &m, uint8_t b) {
    // MBAP framing is binary whatever the port's mode: it is sent so (see
    // SendFrame) and received so.
    if ((m.mode & MOD_ASCII) && !TcpFraming(m)) {
        if (b == ':') {
            if (m.rx_state != 5) FrameError(m);
            m.rx_state = 6;
            m.rx_count = 0;
            m.half = 0;
            m.lrc = 0;
            return 0;
        }
        if (m.rx_state == 6) {
            if (b == '\r') {
                m.rx_state = 11;
                return 0;
            }
            m.cur = uint8_t((m.cur << 4) | HexVal(b));
            if (++m.half < 2) return 0;
            m.half = 0;
            if (m.rx_count >= MOD_BUF) {
                // An overlong frame is dropped to its end: its tail, even one
                // whose own sum comes to 0, is no frame of its own.
                FrameError(m);
                m.rx_state = 7;
                return 0;
            }
            m.buf[m.rx_count++] = m.cur;
            m.lrc = uint8_t(m.lrc + m.cur);
            return 0;
        }
        if (m.rx_state == 7) {
            // The rest of an overlong frame: its end is a framing error.
            if (b == '\r') {
                m.rx_count = 0;
                m.rx_state = 11;
            }
            return 0;
        }
        if (m.rx_state == 11) {
            m.rx_state = 5;
            // A frame is whole bytes, at least one besides its LRC: a
            // dangling hex digit or an LRC alone is a framing error.
            if (b == '\n' && m.lrc == 0 && m.half == 0 && m.rx_count >= 2) return Accept(m, m.rx_count - 1u);
            FrameError(m);
            return 0;
        }
        return 0;  // between frames only ':' is taken
    }
    const uint32_t limit = TcpFraming(m) ? MOD_BUF_TCP : MOD_BUF;
    if (m.rx_state != 1) RtuStart(m);  // idle (0, or 5 on an ASCII port)
    if (m.rx_count >= limit) {
        FrameError(m);
        RtuStart(m);
    }
    const uint32_t idx = m.rx_count;
    m.buf[m.rx_count++] = b;
    if (TcpFraming(m)) return 0;
    if (idx == 1) {
        m.exp_req = ExpectedSize(b, false);
        m.exp_rsp = ExpectedSize(b, true);
    }
    if (idx >= 2) {
        m.crc = crc16_next(&m.buf[idx - 2], 1, m.crc);
        FixSize(m, m.exp_req, idx);
        FixSize(m, m.exp_rsp, idx);
        CheckMatch(m, m.exp_req, m.match_req, idx);
        CheckMatch(m, m.exp_rsp, m.match_rsp, idx);
        // A master takes its answer as soon as it is whole and its CRC holds,
        // without the silence after it.
        if ((m.mode & MOD_MASTER) && m.match_rsp && uint32_t(m.exp_rsp) == idx) {
            m.rx_state = 0;
            return Accept(m, idx - 1);
        }
    }
    return 0;
}

uint32_t MOD_RxEnd(ModbusProto &m) {
    if ((m.mode & MOD_ASCII) && !TcpFraming(m)) return 0;
    if (m.rx_state != 1) return 0;
    if (TcpFraming(m)) return TcpEnd(m);
    m.rx_state = 0;
    const uint32_t n = m.rx_count;
    if (n < 4) {
        FrameError(m);
        return 0;
    }
    if (crc16(m.buf.data(), n - 2) == (m.buf[n - 2] | (m.buf[n - 1] << 8))) return Accept(m, n - 2);
    if (m.match_rsp && m.exp_rsp >= 0 && n - 1 > uint32_t(m.exp_rsp)) return Accept(m, uint32_t(m.exp_rsp) - 1);
    if (m.match_req && m.exp_req >= 0 && n - 1 > uint32_t(m.exp_req)) return Accept(m, uint32_t(m.exp_req) - 1);
    FrameError(m);
    return 0;
}

// ---- slave -------------------------------------------------------------------------------

uint32_t MOD_ReqProcess(ModbusPcb &c) {
    ModbusProto &m = c.proto;
    const uint32_t len = m.length;
    Count(m, MOD_CNT_BUS);
    if (len < 2) return 0;
    const uint16_t st = m.station;
    bool mine, broadcast;
    uint32_t off;  // index of the function code
    if (st < kTwoByteStation) {
        mine = m.buf[0] == st || m.buf[0] == 0;
        broadcast = m.buf[0] == 0;
        off = 1;
    } else {
        mine = m.buf[0] == (st >> 8) || m.buf[1] == (st & 0xFF) || m.buf[0] == 0 || m.buf[1] == 0;
        broadcast = m.buf[0] == 0 && m.buf[1] == 0;
        off = 2;
    }
    if (!mine) {
        if (Forward(c)) c.fwd_pending = 1;
        return 0;
    }
    if (len < off + 1) return 0;
    const uint8_t fc = m.buf[off];
    if (m.mode & MOD_LISTEN) {
        const bool leave =
            fc == MB_DIAGNOSTICS && len == off + kDiagBytes && BE_Get16(&m.buf[off + kDiagSub]) == DIAG_RESTART;
        if (!leave) {
            Count(m, MOD_CNT_NORESP);
            return 0;
        }
    }
    RestartElapsed(c);
    Toggle(c, 0x08);
    // A write-protected slave answers its writes as unknown functions.
    const bool locked = c.parm.write_protect && GetBit(c.parm.write_protect) && MbPdu_IsWrite(fc);
    uint32_t n = 0;
    switch (locked ? 0 : fc) {
    case MB_READ_COILS:
    case MB_READ_DISCRETE_INPUTS:
    case MB_READ_HOLDING_REGISTERS:
    case MB_READ_INPUT_REGISTERS:
    case MB_WRITE_SINGLE_COIL:
    case MB_WRITE_SINGLE_REGISTER:
    case MB_WRITE_MULTIPLE_COILS:
    case MB_WRITE_MULTIPLE_REGISTERS:
        n = DataFunction(c, off, len, broadcast);  // carried out on a broadcast too
        break;
    case MB_DIAGNOSTICS:
        if (broadcast) return 0;
        n = Diagnostics(c, off, len);
        break;
    case MB_USER_STATUS:
        // The answer is the three bytes 0, 65, 0 in place of the whole frame
        // (the station's address too): the size a master expects of it.
        if (broadcast) return 0;
        m.buf[0] = 0;
        m.buf[1] = MB_USER_STATUS;
        m.buf[2] = 0;
        n = 3;
        break;
    default:  // 7, 22, 23; the others answer 1
        if (broadcast) return 0;
        n = locked ? Exception(m, off, MB_EX_ILLEGAL_FUNCTION) : DataFunction(c, off, len, false);
        break;
    }
    if (broadcast) return 0;
    if (n) Count(m, MOD_CNT_SLAVE);
    return n;
}

// ---- master ------------------------------------------------------------------------------

namespace {

// Results of an answer: taken, not the answer asked for, and the first of
// the four exception codes' results (code k: kException << (k - 1)).
constexpr uint16_t kAnswerTaken = 1, kAnswerWrong = 0x800, kAnswerException = 0x1000;
// The status byte of function 7's answer.
constexpr uint32_t kExceptionStatus = 1;
// Function 65's answer behind the address: the function code and its byte.
constexpr uint32_t kUserStatusData = 1, kUserStatusBytes = 2;

uint32_t ReqBuild(ModbusPcb &c, uint16_t *err, bool iec) {
    ModbusProto &m = c.proto;
    if (c.parm.data == nullptr) {
        *err = MOD_ERR_TABLE;
        return 0;
    }
    m.req = {};
    std::memcpy(m.req.data(), c.parm.data, iec ? uint32_t(MBR_STATUS) : 12u);
    const Request r = ReadRequest(m.req.data(), iec);
    if (r.slave > kTwoByteStation) {
        *err = MOD_ERR_STATION;
        return 0;
    }
    bool words = false, sending = false;
    uint32_t n = r.qty;
    switch (r.fc) {
    case MB_READ_COILS:
    case MB_READ_DISCRETE_INPUTS: break;
    case MB_READ_HOLDING_REGISTERS:
    case MB_READ_INPUT_REGISTERS: words = true; break;
    case MB_WRITE_SINGLE_COIL:
        sending = true;
        n = 1;
        break;
    case MB_WRITE_SINGLE_REGISTER:
        words = sending = true;
        n = 1;
        break;
    case MB_READ_EXCEPTION_STATUS:
        if (r.qty != 8) {
            *err = MOD_ERR_QTY;
            return 0;
        }
        break;
    case MB_DIAGNOSTICS:
        if (r.qty != 1) {
            *err = MOD_ERR_QTY;
            return 0;
        }
        words = true;
        break;
    case MB_WRITE_MULTIPLE_COILS: sending = true; break;
    case MB_WRITE_MULTIPLE_REGISTERS: words = sending = true; break;
    case MB_USER_STATUS:
        words = true;
        n = 1;
        break;
    default: *err = MOD_ERR_FUNC; return 0;
    }
    if ((words && n > MB_READ_REGISTERS_MAX) || (!words && n > MB_READ_BITS_MAX)) {
        *err = MOD_ERR_QTY;
        return 0;
    }
    Loc local{};
    if (!MasterLoc(r, n, words, sending, &local)) {
        *err = MOD_ERR_TABLE;
        return 0;
    }
    if (c.sys_active != 1) {
        *err = MOD_ERR_INACTIVE;
        return 0;
    }
    uint8_t *f = m.buf.data();
    uint8_t *pdu = f + 1;  // behind the station
    const uint8_t fc = uint8_t(r.fc);
    f[0] = uint8_t(r.slave);
    switch (r.fc) {
    case MB_WRITE_SINGLE_COIL: return 1 + MbPdu_Request(pdu, fc, r.start, LocBit(local, 0) ? MB_COIL_ON : MB_COIL_OFF);
    case MB_WRITE_SINGLE_REGISTER: return 1 + MbPdu_Request(pdu, fc, r.start, LocWord(local, 0));
    case MB_READ_EXCEPTION_STATUS: pdu[0] = fc; return 2;
    case MB_DIAGNOSTICS: {
        // The sub-functions whose data word the request carries.
        const bool data = r.start == DIAG_RETURN_QUERY || r.start == DIAG_RESTART || r.start == DIAG_ASCII_DELIMITER;
        return 1 + MbPdu_Request(pdu, fc, r.start, data ? LocWord(local, 0) : 0);
    }
    case MB_WRITE_MULTIPLE_COILS:
        MbPdu_WriteHead(pdu, fc, r.start, r.qty);
        PackBits(local, n, pdu + MB_PDU_DATA);
        return 1 + MB_PDU_DATA + pdu[MB_PDU_COUNT];
    case MB_WRITE_MULTIPLE_REGISTERS:
        MbPdu_WriteHead(pdu, fc, r.start, r.qty);
        for (uint32_t i = 0; i < n; i++) BE_Put16(pdu + MB_PDU_DATA + 2 * i, LocWord(local, i));
        return 1 + MB_PDU_DATA + pdu[MB_PDU_COUNT];
    case MB_USER_STATUS:  // a broadcast of two bytes
        f[0] = 0;
        f[1] = MB_USER_STATUS;
        return 2;
    default:  // the reads
        return 1 + MbPdu_Request(pdu, fc, r.start, r.qty);
    }
}

uint16_t RspProcess(ModbusPcb &c, bool iec) {
    ModbusProto &m = c.proto;
    const uint32_t len = m.length;
    const Request r = ReadRequest(m.req.data(), iec);
    if (len < 2) return kAnswerWrong;
    const bool broadcast = r.fc == MB_USER_STATUS || r.slave == 0;
    if (!broadcast && m.buf[0] != r.slave) return 0;  // another station: ignored
    const uint8_t *pdu = &m.buf[1];
    const uint32_t plen = len - 1;
    Loc local{};
    // Function 65 too: an answer carrying another function code is a wrong
    // answer and an exception answer gives its exception's result.
    switch (MbPdu_AnswerKind(pdu, r.fc, true)) {
    case MB_ANSWER_EXCEPTION: {
        const uint8_t code = plen > MB_ANSWER_CODE ? pdu[MB_ANSWER_CODE] : 0;
        return code >= MB_EX_ILLEGAL_FUNCTION && code <= MB_EX_SERVER_DEVICE_FAILURE
                   ? uint16_t(kAnswerException << (code - 1))
                   : kAnswerWrong;
    }
    case MB_ANSWER_OTHER: return kAnswerWrong;
    default: break;
    }
    const bool words = r.fc == MB_READ_HOLDING_REGISTERS || r.fc == MB_READ_INPUT_REGISTERS || r.fc == MB_DIAGNOSTICS ||
                       r.fc == MB_USER_STATUS;
    const uint32_t n = r.fc == MB_DIAGNOSTICS || r.fc == MB_USER_STATUS ? 1
                       : r.fc == MB_READ_EXCEPTION_STATUS               ? 8
                                                                        : r.qty;
    const bool have = MasterLoc(r, n, words, false, &local);
    switch (r.fc) {
    case MB_READ_COILS:
    case MB_READ_DISCRETE_INPUTS:
        if (!MbPdu_AnswerData(pdu, plen, (n + 7) / 8, MB_COUNT_EXACT) || !have) return kAnswerWrong;
        UnpackBits(local, n, pdu + MB_ANSWER_DATA);
        return kAnswerTaken;
    case MB_READ_HOLDING_REGISTERS:
    case MB_READ_INPUT_REGISTERS:
        if (!MbPdu_AnswerData(pdu, plen, 2 * n, MB_COUNT_EXACT) || !have) return kAnswerWrong;
        for (uint32_t i = 0; i < n; i++) LocSetWord(local, i, BE_Get16(pdu + MB_ANSWER_DATA + 2 * i));
        return kAnswerTaken;
    case MB_WRITE_SINGLE_COIL:
    case MB_WRITE_SINGLE_REGISTER:
    case MB_WRITE_MULTIPLE_COILS:
    case MB_WRITE_MULTIPLE_REGISTERS: return kAnswerTaken;
    case MB_READ_EXCEPTION_STATUS:
        if (plen <= kExceptionStatus || !have) return kAnswerWrong;
        UnpackBits(local, 8, pdu + kExceptionStatus);
        return kAnswerTaken;
    case MB_DIAGNOSTICS:
        if (plen < kDiagBytes || !have) return kAnswerWrong;
        LocSetWord(local, 0, BE_Get16(pdu + kDiagData));
        return kAnswerTaken;
    case MB_USER_STATUS:
        // A slave answers 0, 65 and one byte: that third byte is kept.
        if (plen < kUserStatusBytes || !have) return kAnswerWrong;
        LocSetWord(local, 0, uint16_t(pdu[kUserStatusData] << 8));
        return kAnswerTaken;
    default: return kAnswerWrong;
    }
}

}  // namespace

uint32_t MOD_ReqBuild(ModbusPcb &c, uint16_t *err) { return ReqBuild(c, err, false); }
uint16_t MOD_RspProcess(ModbusPcb &c) { return RspProcess(c, false); }
uint32_t Z7_MOD_ReqBuild(ModbusPcb &c, uint16_t *err) { return ReqBuild(c, err, true); }
uint16_t Z7_MOD_RspProcess(ModbusPcb &c) { return RspProcess(c, true); }

uint32_t Z7_MOD_ReqProcess(ModbusPcb &c) {
    // The request path is shared; the map comes from the parameter record.
    if (!c.parm.iec) return 0;
    return MOD_ReqProcess(c);
}

void Z7_MOD_Forward(uint32_t port, uint32_t count, const uint8_t *table) {
    if (port >= pcb.size()) return;
    ModbusPcb &c = pcb[port];
    if (!c.parm.iec || c.state != ModState::kSlave) return;
    c.parm.ext[1] = uint16_t(count);
    c.parm.forward = table;
}

// ---- interface -----------------------------------------------------------------------------

void ModbusInit(uint32_t port, const ModbusParm &parm) {
    if (port >= pcb.size()) return;
    ModbusPcb &c = pcb[port];
    // With an IEC application: a port in the runtime's own protocol (6)
    // keeps the protocol state as it is; a port handed back by the
    // runtime's link takes the protocol its open block last asked for.
    uint8_t *mode = Vcomm_ModeRec(port);
    const bool iec_app = DrevanoRuntime && drevano_variables_enumerateded;
    const bool keep_proto = iec_app && Vcomm_Protocol(port) == kProtoRuntime;
    if (iec_app && !keep_proto && z7runtime_modbusinit == 1 && mode != nullptr) {
        z7runtime_modbusinit = 0;
        mode[5] = uint8_t((mode[5] & 0xF0) | (z7protocol & 0x0F));
    }
    const ModbusProto kept = c.proto;
    c = ModbusPcb{};
    c.parm = parm;
    c.trig_mask = uint16_t(1u << (parm.trigger_bit & 15));
    const bool rtu = Vcomm_Protocol(port) == VCOMM_PROTO_RTU;
    ModbusProto &m = c.proto;
    if (keep_proto) {
        m = kept;
    } else {
        m.port = port;
        m.station = parm.station;
        m.mode = uint8_t((parm.station == 0 ? MOD_MASTER : 0) | (rtu ? 0 : MOD_ASCII));
        m.rx_state = rtu ? 0 : 5;
    }
    c.state = parm.station == 0 ? ModState::kIdle : ModState::kSlave;
    Put16(c.parm.status, 0);
    RestartElapsed(c);
    c.sys_active = 1;
}

uint32_t ModbusExecute(uint32_t port) {
    if (port >= pcb.size()) return 0;
    ModbusPcb &c = pcb[port];
    if (c.state == ModState::kSlave) return SlaveStep(c);
    return MasterStep(c);
}

void ModbusStop(uint32_t port) {
    if (port < pcb.size()) Put16(pcb[port].parm.status, 0);
}

void MOD_TCPInit(uint32_t on, uint32_t port) {
    if (!on) {
        ModbusTCP_St.flags &= uint8_t(~1);
        return;
    }
    if (ModbusTCP_St.flags & 1) return;
    ModbusTCP_St.flags = uint8_t(1 | ((port & 3) << 3));
    ModbusTCP_St.pid = 0;
    ModbusTCP_St.tid = 1;
}
