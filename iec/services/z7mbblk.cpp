// Modbus blocks of the standard library: MBMASTERTCP and MBMASTERRTU send
// one request per rising edge of their send input and put the answer into a
// program array; MBSLAVETCP and MBSLAVETCPEX run a comm server of their own
// on a port and answer its Modbus TCP requests from the server tables.
#include <array>
#include <cstring>
#include <memory>
#include <vector>

#include "core/image/bytes.h"
#include "core/image/util.h"
#include "iec/services/z7mb_internal.h"
#include "iec/vm/z7cnv.h"
#include "iec/vm/z7ops.h"
#include "iec/vm/z7stdlib.h"
#include "iec/vm/z7str.h"
#include "iec/vm/z7vm.h"

namespace {
constexpr uint32_t kMasterSize = 288, kSlaveSize = 20260;
// The comm server of each open slave block. Its state is larger than the
// instance the class declares, so it lives here: the instance keeps the
// slot's number + 1 (u32 at its start, 0 = none) and the open flag in its
// last byte. A slot is made at the first open that finds none free (a rare
// step, never one per frame) and reused after its close, so there are as
// many servers as instances open at once.
struct SlaveServer {
    Z7CSData cs;
    uint32_t owner;  // the instance holding it (arena address), 0 = free
};
std::vector<std::unique_ptr<SlaveServer>> slaves;

// master instance
enum : uint32_t {
    MI_TIME = 0,
    MI_TID = 4,
    MI_TOTAL = 6,
    MI_DONE = 8,
    MI_BITS = 10,
    MI_STATE = 12,
    MI_ERR = 13,
    MI_DONEF = 14,
    MI_EN = 15,
    MI_SEND = 16,
    MI_SKIP = 18,  // TCP: bytes of a frame too long for the buffer still to pass over
    MI_HANDLE = 20,
    MI_FRAME = 24,
    MI_FRAMESIZE = 264,
};

uint32_t Now(uint32_t db) { return Z7Mem_Get32(Z7VM_Status(db) + ST_STAMP); }
// Readings of the IEC runtime's millisecond clock, which wraps at 2^32 ms
// (or, as stamps of the day, at midnight): Z7VM_Elapsed takes either.
uint32_t Since(uint32_t then, uint32_t now) { return Z7VM_Elapsed(then, now); }
bool Changing(uint32_t db) { return Z7Mem_Get32(Z7VM_Status(db) + ST_OPTIONS) & Z7O_CHANGED; }

// ---- masters ------------------------------------------------------------------------------------
struct Master {
    uint8_t *m;
    bool rtu;
    int32_t Handle() const { return int32_t(LE_Get32(m + MI_HANDLE)); }
    void SetHandle(int32_t h) const { LE_Put32(m + MI_HANDLE, uint32_t(h)); }
    uint8_t *Frame() const { return m + MI_FRAME; }
    void Close() const {
        if (rtu) {
            Z7SerialHandle h = Handle();
            if (h >= 0) Z7Serial_HoldClose(&h);  // gives the programming port back
            SetHandle(-1);
        } else {
            if (Handle() >= 0) Z7Socket_CloseSocket(Handle());
            SetHandle(-1);
        }
    }
};

// Data array operand: element type and its address for count elements.
struct Array {
    uint32_t type = 0, size = 0, addr = 0;
    bool Bool() const { return type == IEC_BOOL; }
    bool Word() const { return type == IEC_INT || type == IEC_UINT; }
    bool Byte() const { return type == IEC_SINT || type == IEC_USINT; }
};

// A block's quantities: reads and the write part of function 23 as the
// core's, multiple coils too; at most 120 registers by function 16.
constexpr int32_t kBlockWriteRegistersMax = 120;
// Its own refusals: the unit, an address, the array's type, a count.
constexpr uint32_t kErrUnit = 200, kErrAddress = 201, kErrType = 203, kErrCount = 204;
// An answer's: none in time, a frame whose CRC fails, a byte count that
// does not fit; a connection refused or lost.
constexpr uint32_t kErrTimeout = 128, kErrCrc = 129, kErrAnswer = 202, kErrConnection = 130;

uint32_t Check(const Z7Ops &a, const Array &arr, uint32_t unit, uint32_t fn, int32_t raddr, int32_t rcount,
               int32_t waddr, int32_t wcount) {
    if (unit > 255) return kErrUnit;
    const bool known = (fn >= MB_READ_COILS && fn <= MB_READ_EXCEPTION_STATUS) || fn == MB_WRITE_MULTIPLE_COILS ||
                       fn == MB_WRITE_MULTIPLE_REGISTERS || fn == MB_REPORT_SERVER_ID || fn == MB_READ_WRITE_REGISTERS;
    if (!known) return MB_EX_ILLEGAL_FUNCTION;
    (void)a;
    auto addr_ok = [](int32_t x) { return x >= 1 && x <= 65536; };
    const int32_t size = int32_t(arr.size);
    switch (fn) {
    case MB_READ_COILS:
    case MB_READ_DISCRETE_INPUTS:
        if (!addr_ok(raddr)) return kErrAddress;
        if (!arr.Bool()) return kErrType;
        return rcount >= 1 && rcount <= size && rcount <= MB_READ_BITS_MAX ? 0 : kErrCount;
    case MB_READ_HOLDING_REGISTERS:
    case MB_READ_INPUT_REGISTERS:
        if (!addr_ok(raddr)) return kErrAddress;
        if (!arr.Word()) return kErrType;
        return rcount >= 1 && rcount <= size && rcount <= MB_READ_REGISTERS_MAX ? 0 : kErrCount;
    case MB_WRITE_SINGLE_COIL:
    case MB_WRITE_SINGLE_REGISTER:
        if (!addr_ok(waddr)) return kErrAddress;
        if (fn == MB_WRITE_SINGLE_COIL ? !arr.Bool() : !arr.Word()) return kErrType;
        return wcount == 1 ? 0 : kErrCount;
    case MB_READ_EXCEPTION_STATUS:
    case MB_REPORT_SERVER_ID: return arr.Byte() ? 0 : kErrType;
    case MB_WRITE_MULTIPLE_COILS:
        if (!addr_ok(waddr)) return kErrAddress;
        if (!arr.Bool()) return kErrType;
        return wcount >= 1 && wcount <= size && wcount <= MB_WRITE_BITS_MAX ? 0 : kErrCount;
    case MB_WRITE_MULTIPLE_REGISTERS:
        if (!addr_ok(waddr)) return kErrAddress;
        if (!arr.Word()) return kErrType;
        return wcount >= 1 && wcount <= size && wcount <= kBlockWriteRegistersMax ? 0 : kErrCount;
    default:  // 23
        if (!addr_ok(raddr) || !addr_ok(waddr)) return kErrAddress;
        if (!arr.Word()) return kErrType;
        if (wcount < 1 || wcount > size || wcount > MB_RW_WRITE_REGISTERS_MAX) return kErrCount;
        return rcount >= 1 && rcount <= size && rcount <= MB_READ_REGISTERS_MAX ? 0 : kErrCount;
    }
}

uint32_t BuildRequest(const Master &ms, const Array &arr, uint32_t unit, uint32_t fn, int32_t raddr, int32_t rcount,
                      int32_t waddr, int32_t wcount) {
    uint8_t *f = ms.Frame();
    const uint32_t hdr = ms.rtu ? 0 : MB_MBAP_UNIT;
    uint8_t *p = f + hdr;
    uint8_t *pdu = p + 1;  // behind the unit
    const uint8_t fc = uint8_t(fn);
    p[0] = uint8_t(unit);
    const uint8_t *e = Z7Mem_Ptr(arr.addr, arr.size * (arr.Word() ? 2 : 1));
    auto word = [&](uint32_t i) { return e ? LE_Get16(e + 2 * i) : uint16_t(0); };
    auto bit = [&](uint32_t i) { return e ? e[i] != 0 : false; };
    // The addresses from 1 on travel from 0 on.
    const uint16_t ra = uint16_t(raddr - 1), wa = uint16_t(waddr - 1);
    uint32_t n = 1;
    switch (fn) {
    case MB_READ_COILS:
    case MB_READ_DISCRETE_INPUTS:
    case MB_READ_HOLDING_REGISTERS:
    case MB_READ_INPUT_REGISTERS: n += MbPdu_Request(pdu, fc, ra, uint16_t(rcount)); break;
    case MB_WRITE_SINGLE_COIL: n += MbPdu_Request(pdu, fc, wa, bit(0) ? MB_COIL_ON : MB_COIL_OFF); break;
    case MB_WRITE_SINGLE_REGISTER: n += MbPdu_Request(pdu, fc, wa, word(0)); break;
    case MB_WRITE_MULTIPLE_COILS: {
        n += MbPdu_WriteHead(pdu, fc, wa, uint16_t(wcount));
        const uint32_t bc = (uint32_t(wcount) + 7) / 8;
        std::memset(p + n, 0, bc);
        for (int32_t i = 0; i < wcount; i++)
            if (bit(uint32_t(i))) p[n + uint32_t(i) / 8] = uint8_t(p[n + uint32_t(i) / 8] | (1u << (i % 8)));
        n += bc;
        break;
    }
    case MB_WRITE_MULTIPLE_REGISTERS:
        n += MbPdu_WriteHead(pdu, fc, wa, uint16_t(wcount));
        for (int32_t i = 0; i < wcount; i++, n += 2) BE_Put16(p + n, word(uint32_t(i)));
        break;
    case MB_READ_WRITE_REGISTERS:
        n += MbPdu_Request(pdu, fc, ra, uint16_t(rcount));
        BE_Put16(pdu + MB_PDU_RW_ADDRESS, wa);
        BE_Put16(pdu + MB_PDU_RW_QUANTITY, uint16_t(wcount));
        pdu[MB_PDU_RW_COUNT] = uint8_t(2 * wcount);
        n = 1 + MB_PDU_RW_DATA;
        for (int32_t i = 0; i < wcount; i++, n += 2) BE_Put16(p + n, word(uint32_t(i)));
        break;
    default:  // 7, 17: the function code alone
        pdu[0] = fc;
        n = 2;
        break;
    }
    if (ms.rtu) {
        LE_Put16(p + n, crc16(p, n));
        return n + 2;
    }
    uint16_t tid = uint16_t(LE_Get16(ms.m + MI_TID) + 1);
    if (tid == 0 || tid == 0x5A37) tid = 1;  // never 0, never the comm frame marker
    LE_Put16(ms.m + MI_TID, tid);
    BE_Put16(f + MB_MBAP_TRANSACTION, tid);
    BE_Put16(f + MB_MBAP_PROTOCOL, 0);
    BE_Put16(f + MB_MBAP_LENGTH, uint16_t(n));
    return n + MB_MBAP_UNIT;
}

// Parses the complete answer in the frame into the array: the error code.
uint32_t Parse(const Master &ms, const Array &arr) {
    const uint8_t *f = ms.Frame();
    const uint32_t total = LE_Get16(ms.m + MI_TOTAL);
    uint32_t hdr = MB_MBAP_UNIT, plen = total > MB_MBAP_UNIT ? total - MB_MBAP_UNIT : 0;
    if (ms.rtu) {
        if (total < 4 || crc16(f, total - 2) != LE_Get16(f + total - 2)) return kErrCrc;
        hdr = 0;
        plen = total - 2;
    }
    const uint8_t *p = f + hdr;
    if (plen < 2) return kErrAnswer;
    const uint8_t *pdu = p + 1;  // behind the unit
    const uint8_t fn = pdu[0];
    // An exception answers its function code.
    if (fn & MB_EXCEPTION_BIT) return fn & uint8_t(~MB_EXCEPTION_BIT);
    const uint32_t bc = plen > 1 + MB_ANSWER_COUNT ? pdu[MB_ANSWER_COUNT] : 0;
    const uint8_t *data = pdu + MB_ANSWER_DATA;
    // The answer is taken by its own function byte: one the block does not
    // know (0 included) is 1, and a known one into an array of the wrong
    // type is 203, whatever its byte count. Only then is a byte count that
    // runs past the frame refused (202), before any data is read.
    const bool counted = plen >= 3 && bc <= plen - 3;
    switch (fn) {
    case MB_READ_COILS:
    case MB_READ_DISCRETE_INPUTS: {
        if (!arr.Bool()) return kErrType;
        if (!counted) return kErrAnswer;
        const uint32_t bits = LE_Get16(ms.m + MI_BITS);
        if (bc > (bits + 7) / 8 || arr.size < bits) return kErrAnswer;
        uint8_t *e = Z7Mem_Ptr(arr.addr, arr.size);
        if (e == nullptr) return kErrAnswer;
        for (uint32_t i = 0; i < bits && i / 8 < bc; i++) e[i] = (data[i / 8] >> (i % 8)) & 1;
        return 0;
    }
    case MB_READ_HOLDING_REGISTERS:
    case MB_READ_INPUT_REGISTERS:
    case MB_READ_WRITE_REGISTERS: {
        if (!arr.Word()) return kErrType;
        if (!counted || bc < 2 || bc > 2 * arr.size) return kErrAnswer;
        uint8_t *e = Z7Mem_Ptr(arr.addr, 2 * arr.size);
        if (e == nullptr) return kErrAnswer;
        for (uint32_t i = 0; i < bc / 2; i++) LE_Put16(e + 2 * i, BE_Get16(data + 2 * i));
        return 0;
    }
    case MB_WRITE_SINGLE_COIL:
    case MB_WRITE_SINGLE_REGISTER:
    case MB_WRITE_MULTIPLE_COILS:
    case MB_WRITE_MULTIPLE_REGISTERS: return 0;
    case MB_READ_EXCEPTION_STATUS: {
        if (!arr.Byte()) return kErrType;
        uint8_t *e = Z7Mem_Ptr(arr.addr, 1);
        if (e == nullptr || plen < 3) return kErrAnswer;
        e[0] = pdu[1];  // the status byte
        return 0;
    }
    case MB_REPORT_SERVER_ID: {
        if (!arr.Byte()) return kErrType;
        if (!counted || bc < 2 || bc > arr.size) return kErrAnswer;
        uint8_t *e = Z7Mem_Ptr(arr.addr, arr.size);
        if (e == nullptr) return kErrAnswer;
        std::memcpy(e, data, bc);
        return 0;
    }
    default: return MB_EX_ILLEGAL_FUNCTION;
    }
}

// States of a master (instance byte MI_STATE).
enum : uint8_t { kMsClosed = 0, kMsConnecting = 1, kMsReady = 2, kMsSending = 3, kMsAwaiting = 4 };

// One call of a master: its operands, instance and data array.
struct MasterPass {
    const Z7Ops &a;
    const Master &ms;
    uint32_t now;
    Array arr;
    uint8_t *m;
    uint8_t &state, &err;
};

// kMsClosed with a rising enable: the port held or the connection started.
void MasterOpen(MasterPass &p) {
    p.err = 0;
    char text[256];
    Z7Ops_Text(p.a, 12, text);
    if (p.ms.rtu) {
        Z7SerialHandle h;
        Z7Serial_Initialize(&h);
        Z7Serial_HoldOpen(&h, text);
        p.ms.SetHandle(h);
        if (Z7Serial_IsValid(h))
            p.state = kMsReady;
        else
            p.err = kErrConnection;
    } else {
        LE_Put16(p.m + MI_SKIP, 0);  // a new stream
        Z7SocketHandle s = -1;
        bool pending = false;
        if (Z7Socket_CreateConnectedSocket(text, uint16_t(p.a.D(13)), &s, &pending, 0) && s >= 0) {
            p.ms.SetHandle(s);
            p.state = pending ? kMsConnecting : kMsReady;
        } else {
            p.err = kErrConnection;
        }
    }
}

// kMsConnecting: the connection's outcome.
void MasterConnecting(MasterPass &p) {
    const Z7Connect r = Z7Socket_CheckPendingConnect(p.ms.Handle());
    if (r == Z7Connect::kBroken) {
        p.ms.Close();
        p.err = kErrConnection;
        p.state = kMsClosed;
    } else if (r == Z7Connect::kUp) {
        p.state = kMsReady;
    }
}

// The RTU master holds the programming port from its open on; a hold that
// ended (the controller left RUN, another block closed the port) is
// taken again while the port is free. When it cannot be had (the
// controller's frame start took it back) the connection is lost.
bool RtuHold(MasterPass &p) {
    Z7SerialHandle h = p.ms.Handle();
    if (Z7Serial_HoldAlive(h)) return true;
    char text[256];
    Z7Ops_Text(p.a, 12, text);
    h = -1;
    Z7Serial_HoldOpen(&h, text);
    p.ms.SetHandle(h);
    if (Z7Serial_IsValid(h)) return true;
    p.err = kErrConnection;
    p.state = kMsClosed;
    return false;
}

// Reads what waits and drops it; false when the controller's frame start
// took the port back (the connection is then lost).
bool RtuDrop(MasterPass &p) {
    Z7SerialHandle h = p.ms.Handle();
    uint8_t drop[256];
    while (Z7Serial_HoldRead(&h, sizeof drop, drop, true) > 0) {
    }
    p.ms.SetHandle(h);
    return Z7Serial_IsValid(h) || RtuHold(p);
}

// kMsSending: the rest of the request out; sent, the answer is awaited.
void MasterSendRest(MasterPass &p) {
    const Master &ms = p.ms;
    uint8_t *m = p.m;
    const uint32_t total = LE_Get16(m + MI_TOTAL), done = LE_Get16(m + MI_DONE);
    uint32_t n;
    if (ms.rtu) {
        if (!RtuHold(p)) return;
        n = Z7Serial_HoldSend(ms.Handle(), total - done, ms.Frame() + done);
    } else {
        bool closed = false;
        const int32_t r = Z7Socket_Send(ms.Handle(), total - done, ms.Frame() + done, &closed);
        if (closed) {
            ms.Close();
            p.err = kErrConnection;
            p.state = kMsClosed;
            return;
        }
        n = r > 0 ? uint32_t(r) : 0;
    }
    LE_Put16(m + MI_DONE, uint16_t(done + n));
    if (done + n < total) {
        p.state = kMsSending;
        return;
    }
    if (ms.rtu) {
        if (!RtuDrop(p)) return;
        if (ms.Frame()[0] == 0) {  // broadcast: no answer
            m[MI_DONEF] = 1;
            p.state = kMsReady;
            return;
        }
    }
    LE_Put32(m + MI_TIME, p.now);
    LE_Put16(m + MI_DONE, 0);
    LE_Put16(m + MI_TOTAL, 0);
    p.state = kMsAwaiting;
}

// kMsReady with a rising send: the request checked, built and sent.
void MasterSend(MasterPass &p) {
    const Z7Ops &a = p.a;
    uint8_t *m = p.m;
    m[MI_DONEF] = 0;
    const uint32_t unit = uint32_t(a.D(3)), fn = uint32_t(a.D(4));
    const int32_t raddr = a.D(5), rcount = a.D(6), waddr = a.D(7), wcount = a.D(8);
    const uint32_t e = Check(a, p.arr, unit, fn, raddr, rcount, waddr, wcount);
    p.err = uint8_t(e);
    if (e == 0) {
        LE_Put16(m + MI_BITS, uint16_t(rcount > 0 ? rcount : 0));
        LE_Put16(m + MI_TOTAL, uint16_t(BuildRequest(p.ms, p.arr, unit, fn, raddr, rcount, waddr, wcount)));
        LE_Put16(m + MI_DONE, 0);
        MasterSendRest(p);
    }
}

// The answer's whole length from its head (RTU: by function code); 0 when
// the head cannot start an answer. A TCP length is taken as it comes (a
// frame too short for a function is refused by the parse) unless the frame
// would not fit the buffer.
uint32_t AnswerLength(const Master &ms, const uint8_t *f) {
    if (!ms.rtu) {
        const uint32_t len = BE_Get16(f + 4);
        return len + 6 > MI_FRAMESIZE ? 0 : len + 6;
    }
    const uint8_t fn = f[1];
    if ((fn >= 1 && fn <= 4) || fn == 17 || fn == 23) return f[2] + 5u;
    if (fn == 5 || fn == 6 || fn == 15 || fn == 16) return 8;
    if (fn == 7 || (fn & 0x80)) return 5;
    return 0;
}

// kMsAwaiting: the answer read as far as it came, parsed once whole, or
// the wait timed out.
void MasterAwait(MasterPass &p) {
    const Master &ms = p.ms;
    uint8_t *m = p.m;
    if (Since(LE_Get32(m + MI_TIME), p.now) > p.a.Time(11)) {
        m[MI_DONEF] = 1;
        p.state = kMsReady;
        p.err = kErrTimeout;
        return;
    }
    uint8_t *f = ms.Frame();
    auto lost = [&]() {
        ms.Close();
        p.err = kErrConnection;
        p.state = kMsClosed;
    };
    for (int guard = 0; guard < 8 && p.state == kMsAwaiting; guard++) {
        const uint32_t skip = ms.rtu ? 0 : LE_Get16(m + MI_SKIP);
        if (skip != 0) {  // the rest of a frame too long for the buffer, read and dropped
            bool closed = false;
            const int32_t r = Z7Socket_Receive(ms.Handle(), skip < MI_FRAMESIZE ? skip : MI_FRAMESIZE, f, &closed);
            if (closed) {
                lost();
                break;
            }
            if (r <= 0) break;
            LE_Put16(m + MI_SKIP, uint16_t(skip - uint32_t(r)));
            continue;
        }
        const uint32_t done = LE_Get16(m + MI_DONE), head = ms.rtu ? 3 : 6;
        const uint32_t want = done < head ? head - done : LE_Get16(m + MI_TOTAL) - done;
        uint32_t got;
        if (ms.rtu) {
            Z7SerialHandle h = ms.Handle();
            got = want ? Z7Serial_HoldRead(&h, want, f + done, done == 0) : 0;
            ms.SetHandle(h);
            if (got == 0 && !Z7Serial_IsValid(h) && !RtuHold(p)) break;
        } else {
            bool closed = false;
            const int32_t r = want ? Z7Socket_Receive(ms.Handle(), want, f + done, &closed) : 0;
            if (closed) {
                lost();
                break;
            }
            got = r > 0 ? uint32_t(r) : 0;
        }
        if (got == 0 && want != 0) break;
        const uint32_t now_done = done + got;
        LE_Put16(m + MI_DONE, uint16_t(now_done));
        if (now_done == head && done < head) {
            const uint32_t total = AnswerLength(ms, f);
            if (total == 0 && !ms.rtu) {
                // Too long for the buffer: the frame is dropped whole, its
                // announced bytes passed over (across exchanges too), so that
                // the stream is read from the next frame's start on and never
                // from the middle of this one.
                LE_Put16(m + MI_SKIP, BE_Get16(f + 4));
                LE_Put16(m + MI_DONE, 0);
                continue;
            }
            if (total == 0) {
                m[MI_DONEF] = 1;
                p.state = kMsReady;
                p.err = 1;
                break;
            }
            LE_Put16(m + MI_TOTAL, uint16_t(total));
            continue;
        }
        if (now_done >= head && now_done >= LE_Get16(m + MI_TOTAL)) {
            if (!ms.rtu && BE_Get16(f) != LE_Get16(m + MI_TID)) {
                LE_Put16(m + MI_DONE, 0);  // another transaction: the wait goes on
                continue;
            }
            p.err = uint8_t(Parse(ms, p.arr));
            m[MI_DONEF] = 1;
            p.state = kMsReady;
        }
    }
}

void MasterExec(const Z7Ops &a, const Master &ms, uint32_t now) {
    uint8_t *m = ms.m;
    const uint32_t ops_out = ms.rtu ? 13 : 14;
    const bool en = a.B(1), send = a.B(2);
    const bool en_edge = en && !m[MI_EN], send_edge = send && !m[MI_SEND];
    MasterPass p{a, ms, now, Array{}, m, m[MI_STATE], m[MI_ERR]};
    p.arr.type = a.Lit(0);
    const int32_t declared = int16_t(a.Lit(10));
    p.arr.size = declared > 0 ? uint32_t(declared) : 0;
    uint32_t esize = 0;
    p.arr.addr = Z7Tools_GetArrayIn(a.db, p.arr.type, a.Lit(9), declared, &esize);
    if (p.arr.addr == 0) p.arr.size = 0;
    if (!en) {
        if (p.state != kMsClosed) ms.Close();
        p.state = kMsClosed;
        p.err = 0;
    } else if (p.state == kMsClosed && en_edge) {
        MasterOpen(p);
    }
    if (p.state == kMsConnecting) MasterConnecting(p);
    // a ready RTU master reads the line, so that the frame start is seen
    if (p.state == kMsReady && ms.rtu && !send_edge && Z7Serial_HoldAlive(ms.Handle())) RtuDrop(p);
    if (p.state == kMsReady && send_edge)
        MasterSend(p);
    else if (p.state == kMsSending)
        MasterSendRest(p);
    else if (p.state == kMsAwaiting)
        MasterAwait(p);
    m[MI_EN] = en ? 1 : 0;
    m[MI_SEND] = send ? 1 : 0;
    a.SetB(ops_out, p.state > kMsConnecting);
    a.SetB(ops_out + 1, m[MI_DONEF] && p.err == 0);
    a.SetD(ops_out + 2, p.err);
}

template <bool Rtu>
uint32_t MasterBlock(uint32_t cmd, uint32_t db, uint32_t, uint32_t inst, uint32_t arg) {
    switch (cmd) {
    case FB_CLASSNO: return Rtu ? 51 : 50;
    case FB_INSTSIZE: return kMasterSize;
    case FB_AVAIL: return 1;
    default: break;
    }
    uint8_t *m = Z7Mem_Ptr(inst, kMasterSize);
    if (m == nullptr || db == 0) return 0;
    const Master ms{m, Rtu};
    switch (cmd) {
    case FB_INSTINIT:
        ms.SetHandle(-1);
        LE_Put16(m + MI_SKIP, 0);
        m[MI_STATE] = kMsClosed;
        break;
    case FB_INSTEXIT: ms.Close(); break;
    case FB_INSTKEEP:
        if (Changing(db)) break;
        if (Rtu) {
            const bool was = m[MI_STATE] != kMsClosed;
            ms.SetHandle(-1);
            if (was) {
                Z7SerialHandle h = -1;
                Z7Serial_HoldOpen(&h, "");
                ms.SetHandle(h);
                if (Z7Serial_IsValid(h))
                    m[MI_STATE] = kMsReady;
                else {
                    m[MI_ERR] = kErrConnection;
                    m[MI_STATE] = kMsClosed;
                }
            }
        } else {
            ms.SetHandle(-1);
            m[MI_STATE] = kMsClosed;
        }
        break;
    case FB_EXEC: {
        const uint32_t need = Rtu ? 16 : 17;
        Z7Ops a;
        if (!Z7Ops_Open(db, arg, need, a)) return 0;
        MasterExec(a, ms, Now(db));
        break;
    }
    default: break;
    }
    return 0;
}

// ---- slaves ---------------------------------------------------------------------------------------
// Port 502 stays the controller's own Modbus server's while its service is on.
bool LadderHolds(uint16_t port) { return port == Z7MB_LADDER_PORT && Z7MB_PortKept != nullptr && Z7MB_PortKept(port); }

template <bool Ex>
uint32_t SlaveBlock(uint32_t cmd, uint32_t db, uint32_t, uint32_t inst, uint32_t arg) {
    switch (cmd) {
    case FB_CLASSNO: return Ex ? 57 : 53;
    case FB_INSTSIZE: return kSlaveSize;
    case FB_AVAIL: return 1;
    default: break;
    }
    uint8_t *m = Z7Mem_Ptr(inst, kSlaveSize);
    if (m == nullptr || db == 0) return 0;
    uint8_t &open = m[kSlaveSize - 1];
    // the server named by the instance, when it is still this instance's (a
    // number restored with a saved database names one closed at the stop)
    const uint32_t slot = LE_Get32(m);
    SlaveServer *srv =
        slot >= 1 && slot <= slaves.size() && slaves[slot - 1]->owner == inst ? slaves[slot - 1].get() : nullptr;
    auto close = [&]() {
        if (srv != nullptr) {
            if (open) Z7CS_Close(&srv->cs);
            srv->owner = 0;
        }
        open = 0;
        LE_Put32(m, 0);
        srv = nullptr;
    };
    switch (cmd) {
    case FB_INSTINIT: std::memset(m, 0, kSlaveSize); break;
    case FB_INSTEXIT: close(); break;
    case FB_INSTKEEP:
        if (!Changing(db)) {
            close();
            std::memset(m, 0, kSlaveSize);
        }
        break;
    case FB_EXEC: {
        const uint32_t need = Ex ? 5 : 3;
        Z7Ops a;
        if (!Z7Ops_Open(db, arg, need, a)) return 0;
        const bool en = a.B(0);
        if (en && open && srv != nullptr) {
            Z7CSData *cs = &srv->cs;
            Z7CS_Activate(cs);
            uint32_t ch = 0;
            const uint32_t kind = Z7CS_GetQuestion(cs, &ch);
            if (kind != 0) {
                const uint8_t *req = Z7CS_GetRequestFrame(cs, ch);
                uint8_t *ans = Z7CS_GetAnswerFrameBuffer(cs, ch);
                if (kind == 17 && req != nullptr && ans != nullptr) {
                    const uint32_t state = Z7Sec_Addr(db, Z7SEC_MB), len = Z7CS_GetRequestLength(cs, ch);
                    uint32_t n;
                    if (Ex) {
                        char name[256];
                        Z7Ops_Text(a, 3, name);
                        n = Z7MB_ServeExID(state, req, len, ans, 1, uint32_t(a.D(2)) & 0xFFFF, name);
                    } else {
                        n = Z7MB_ServeEx(state, req, len, ans, 1, 0);
                    }
                    if (n != 0) Z7CS_SendAnswerFrame(cs, ch, n);
                }
                Z7CS_ReleaseQuestion(cs, ch);
            }
        } else if (en && !open && !LadderHolds(uint16_t(a.D(1)))) {
            // a free server slot (or a new one) and a listening socket, else tried again next call
            if (srv == nullptr) {
                uint32_t k = 0;
                while (k < slaves.size() && slaves[k]->owner != 0) k++;
                if (k == slaves.size()) slaves.push_back(std::make_unique<SlaveServer>());
                srv = slaves[k].get();
                srv->owner = inst;
                LE_Put32(m, k + 1);
            }
            srv->cs = Z7CSData{};
            const Z7CSSettings s{uint16_t(a.D(1)), 0, nullptr};
            Z7CS_Open(&srv->cs, &s, 0);
            srv->cs.plain = true;
            if (srv->cs.listen >= 0) {
                open = 1;
            } else {
                Z7CS_Close(&srv->cs);
                close();
            }
        } else if (!en && open) {
            close();
        }
        a.SetB(Ex ? 4 : 2, open != 0);
        break;
    }
    default: break;
    }
    return 0;
}

FbHandler UpperProc(uint32_t id) {
    switch (id) {
    case 50: return MasterBlock<false>;
    case 51: return MasterBlock<true>;
    case 52: return SlaveBlock<false>;
    case 53: return SlaveBlock<true>;
    default: return nullptr;
    }
}
}  // namespace

bool (*Z7MB_PortKept)(uint16_t) = nullptr;

void Z7MB_InstallBlocks() { Z7Stfb_UpperProc = UpperProc; }
