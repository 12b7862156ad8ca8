// Modbus client engine of the IEC application: opens the client connections
// of section 30 (Modbus TCP, UDP, RTU, ASCII), chooses the next request,
// sends it without blocking, collects and checks the answer and keeps the
// request and unit status. One step per runtime cycle; nothing waits.
#include <cstring>

#include "core/image/bytes.h"
#include "core/image/util.h"
#include "iec/services/z7mb_internal.h"
#include "iec/vm/z7vm.h"

namespace {
constexpr uint32_t kAscii = 0x80000000u, kHalf = 0x40000000u;
// A user-defined function of some I/O stations: asked with 0xFF01 and a 0
// behind the address, it answers 16 groups of 6 bytes, each kept in
// reverse from the request data's third byte on.
constexpr uint32_t kFnGroups = 101, kGroups = 16, kGroupBytes = 6;
constexpr uint16_t kGroupsAsk = 0xFF01;
// A request's errors besides the exception codes: no answer in time, a
// frame whose check fails, an answer that is not the one asked for (or a
// connection refused or lost).
constexpr uint16_t kErrTimeout = 128, kErrFrame = 129, kErrAnswer = 130;

// Readings of the IEC runtime's millisecond clock, which wraps at 2^32 ms
// (or, as stamps of the day, at midnight): Z7VM_Elapsed takes either.
uint32_t Since(uint32_t then, uint32_t now) { return Z7VM_Elapsed(then, now); }

struct Cnx {
    MBState &st;
    uint8_t *k;
    uint32_t index;
    uint32_t cfg() const { return LE_Get32(k + MBC_CFG); }
    uint8_t State() const { return k[MBC_STATE]; }
    void SetState(uint8_t s) const { k[MBC_STATE] = s; }
    uint8_t Err() const { return k[MBC_ERROR]; }
    void SetErr(uint8_t e) const { k[MBC_ERROR] = e; }
    uint16_t Flags() const { return LE_Get16(k + MBC_FLAGS); }
    bool Serial() const { return k[MBC_SERIAL] != 0; }
    bool Udp() const { return Flags() & 0x8000; }
    int32_t Sock() const { return int32_t(LE_Get32(k + MBC_SOCK)); }
    void SetSock(int32_t s) const { LE_Put32(k + MBC_SOCK, uint32_t(s)); }
    uint8_t *Frame() const { return k + MBC_FRAME; }
    uint16_t Done() const { return LE_Get16(k + MBC_DONE); }
    uint16_t Total() const { return LE_Get16(k + MBC_TOTAL); }
    void SetDone(uint32_t n) const { LE_Put16(k + MBC_DONE, uint16_t(n)); }
    void SetTotal(uint32_t n) const { LE_Put16(k + MBC_TOTAL, uint16_t(n)); }
    uint32_t NReq() const { return LE_Get16(k + MBC_NREQ); }
};

// Request k of the connection (in configuration order), null past the end.
uint8_t *ReqOf(const Cnx &c, uint32_t n) {
    const uint32_t first = LE_Get32(c.k + MBC_FIRSTREQ);
    if (first < c.st.reqs || n >= c.NReq()) return nullptr;
    for (uint32_t i = (first - c.st.reqs) / MBR_SIZE, seen = 0; i < c.st.nreq; i++) {
        uint8_t *q = c.st.Req(i);
        if (LE_Get16(q + MBR_CONN) != c.index) continue;
        if (seen++ == n) return q;
    }
    return nullptr;
}

uint16_t Wrap(uint16_t v) { return v == 0xFFFF ? 1 : uint16_t(v + 1); }

uint8_t *UnitOf(const Cnx &c, uint8_t *q) {
    const uint32_t u = LE_Get32(q + MBR_UNIT);
    return u ? c.st.At(u, MBV_SIZE) : nullptr;
}
void UnitError(uint8_t *u, uint8_t err) {
    u[MBU_LASTERR] = err;
    LE_Put32(u + MBU_ERRDATE, Z7RtClk_GetCurDateStamp());
    LE_Put32(u + MBU_ERRTIME, Z7RtClk_GetCurTimeStamp());
}

void Dispatch(const Cnx &c) {
    for (uint32_t n = 0; n < c.NReq(); n++) {
        uint8_t *q = ReqOf(c, n);
        if (q == nullptr || q[MBR_ARMED] == MBR_REFUSED) continue;
        LE_Put16(q + MBR_STATUS, c.State());
        LE_Put16(q + MBR_ERROR, c.Err());
        if (c.Err() == 0) continue;
        q[MBR_LATCH] = 255;
        q[MBR_NORX] = 0;
        if (uint8_t *u = UnitOf(c, q)) UnitError(u, c.Err());
    }
}

// ---- serial line with the ASCII layer ---------------------------------------------------------
uint8_t FmtNibble(uint32_t v) { return v < 10 ? uint8_t('0' + v) : v < 16 ? uint8_t('A' + v - 10) : 255; }
uint8_t ParseNibble(uint8_t ch) {
    if (ch >= '0' && ch <= '9') return uint8_t(ch - '0');
    if (ch >= 'A' && ch <= 'F') return uint8_t(ch - 'A' + 10);
    if (ch >= 'a' && ch <= 'f') return uint8_t(ch - 'a' + 10);
    return 255;
}
// Next hex digit on the line (others skipped); 255 when the line is dry.
uint8_t ReceiveNibble(Z7SerialHandle *h) {
    for (;;) {
        uint8_t ch;
        if (Z7Serial_HoldRead(h, 1, &ch, false) != 1) return 255;
        const uint8_t v = ParseNibble(ch);
        if (v != 255) return v;
    }
}
// One character of an ASCII line into the byte being assembled (others skipped).
void FeedChar(uint8_t ch, uint32_t *mode, uint8_t *buf, uint32_t &n) {
    const uint8_t v = ParseNibble(ch);
    if (v == 255) return;
    if (*mode & kHalf) {
        buf[n++] = uint8_t((*mode & 0xF) << 4 | v);
        *mode &= kAscii;
    } else {
        *mode = (*mode & kAscii) | kHalf | v;
    }
}
uint8_t Lrc(const uint8_t *p, uint32_t n) {
    uint8_t sum = 0;
    for (uint32_t i = 0; i < n; i++) sum = uint8_t(sum + p[i]);
    return uint8_t(-sum);
}
}  // namespace

uint32_t Z7SerialAsc_Open(Z7SerialHandle *h, const char *settings, uint32_t *mode) {
    const bool ascii = settings != nullptr && std::strncmp(settings, "ASCII:", 6) == 0;
    *mode = ascii ? kAscii : 0;
    return Z7Serial_Open(h, ascii ? settings + 6 : settings);
}
uint32_t Z7SerialAsc_Send(Z7SerialHandle h, uint32_t len, const uint8_t *data, uint32_t mode) {
    if (!(mode & kAscii) || len < 2) return Z7Serial_HoldSend(h, len, data);
    uint8_t line[2 * MBC_FRAMESIZE + 8];
    uint32_t n = 0;
    line[n++] = ':';
    for (uint32_t i = 0; i + 2 < len; i++) {
        line[n++] = FmtNibble(data[i] >> 4);
        line[n++] = FmtNibble(data[i] & 0xF);
    }
    const uint8_t lrc = Lrc(data, len - 2);
    line[n++] = FmtNibble(lrc >> 4);
    line[n++] = FmtNibble(lrc & 0xF);
    line[n++] = '\r';
    line[n++] = '\n';
    const uint32_t sent = Z7Serial_HoldSend(h, n, line);
    if (sent == n) return len;
    return sent <= 1 ? 0 : (sent - 1) / 2;
}
uint32_t Z7SerialAsc_Receive(Z7SerialHandle *h, uint32_t count, uint8_t *buf, uint32_t *mode, bool frame_start) {
    if (!(*mode & kAscii)) return Z7Serial_HoldRead(h, count, buf, frame_start);
    uint32_t n = 0;
    if (frame_start && count != 0 && !(*mode & kHalf)) {
        // the line's first two characters, read together so that the
        // controller's frame start is seen
        uint8_t two[2];
        const uint32_t got = Z7Serial_HoldRead(h, 2, two, true);
        for (uint32_t i = 0; i < got; i++) FeedChar(two[i], mode, buf, n);
        if (got == 0) return 0;
    }
    while (n < count) {
        uint8_t hi;
        if (*mode & kHalf)
            hi = uint8_t(*mode & 0xF);
        else if ((hi = ReceiveNibble(h)) == 255)
            break;
        const uint8_t lo = ReceiveNibble(h);
        if (lo == 255) {
            *mode = (*mode & kAscii) | kHalf | hi;
            break;
        }
        *mode &= kAscii;
        buf[n++] = uint8_t(hi << 4 | lo);
    }
    return n;
}
void Z7SerialAsc_Flush(Z7SerialHandle *h, uint32_t *mode) {
    *mode &= kAscii;
    uint8_t drop[256];
    while (Z7Serial_HoldRead(h, sizeof drop, drop, true) > 0) {
    }
}
void Z7SerialAsc_Close(Z7SerialHandle *h, uint32_t *mode) {
    *mode = 0;
    Z7Serial_HoldClose(h);
}

namespace {
// ---- open and close ---------------------------------------------------------------------------
uint32_t CommOpen(const Cnx &c) {
    char text[256];
    MB_Text(c.cfg(), text, sizeof text);
    // A connect still in progress keeps the last error: the requests of a
    // connection that is redialled after a refusal go on showing 130.
    if (c.Udp()) {
        Z7SocketHandle s = -1;
        if (Z7Socket_UdpCreate(0, &s) && s >= 0) {
            c.SetSock(s);
            c.SetState(0);
            c.SetErr(0);
            return 0;
        }
    } else if (c.Serial()) {
        Z7SerialHandle h;
        Z7Serial_Initialize(&h);
        uint32_t mode = 0;
        Z7SerialAsc_Open(&h, text, &mode);
        LE_Put32(c.k + MBC_SERH, uint32_t(h));
        LE_Put32(c.k + MBC_ASCII, mode);
        if (Z7Serial_IsValid(h)) {
            c.SetState(0);
            c.SetErr(0);
            return 0;
        }
    } else {
        Z7SocketHandle s = -1;
        bool pending = false;
        if (Z7Socket_CreateConnectedSocket(text, W(c.cfg(), 3), &s, &pending, 0) && s >= 0) {
            c.SetSock(s);
            c.SetState(pending ? 1 : 0);
            if (!pending) c.SetErr(0);
            return pending ? 1 : 0;
        }
    }
    c.SetState(7);
    c.SetErr(kErrAnswer);
    return 7;
}

void CommClose(const Cnx &c) {
    if (c.Serial()) {
        Z7SerialHandle h = Z7SerialHandle(LE_Get32(c.k + MBC_SERH));
        uint32_t mode = LE_Get32(c.k + MBC_ASCII);
        Z7SerialAsc_Close(&h, &mode);
        LE_Put32(c.k + MBC_ASCII, 0);
        LE_Put32(c.k + MBC_SERH, uint32_t(-1));
        return;
    }
    if (c.Sock() >= 0) Z7Socket_CloseSocket(c.Sock());
    c.SetSock(-1);
}

void Lost(const Cnx &c) {
    CommClose(c);
    c.SetErr(kErrAnswer);
    c.SetState(7);
}

// A serial connection holds the programming port while it talks, so the
// command driver leaves the port's bytes alone: the hold starts at its first
// send and, when it ended (the controller left RUN, a block closed the
// port), is taken again while the port is free. False when the port cannot
// be had (the controller's frame start took it back).
bool SerialHold(const Cnx &c) {
    Z7SerialHandle h = Z7SerialHandle(LE_Get32(c.k + MBC_SERH));
    if (Z7Serial_HoldAlive(h)) return true;
    char text[256];
    MB_Text(c.cfg(), text, sizeof text);
    const bool ascii = std::strncmp(text, "ASCII:", 6) == 0;
    h = -1;
    Z7Serial_HoldOpen(&h, ascii ? text + 6 : text);
    LE_Put32(c.k + MBC_SERH, uint32_t(h));
    LE_Put32(c.k + MBC_ASCII, LE_Get32(c.k + MBC_ASCII) & kAscii);
    return Z7Serial_IsValid(h) != 0;
}

// While a held connection sends nothing, what arrives is read and dropped,
// so that the controller's frame start is seen and gives the port back.
void Watch(const Cnx &c) {
    Z7SerialHandle h = Z7SerialHandle(LE_Get32(c.k + MBC_SERH));
    if (!c.Serial() || !Z7Serial_HoldAlive(h) || !Z7Serial_Held()) return;
    uint32_t mode = LE_Get32(c.k + MBC_ASCII);
    Z7SerialAsc_Flush(&h, &mode);
    LE_Put32(c.k + MBC_SERH, uint32_t(h));
    LE_Put32(c.k + MBC_ASCII, mode);
    if (!Z7Serial_IsValid(h)) {
        Lost(c);
        Dispatch(c);
    }
}

void CheckPending(const Cnx &c) {
    if (c.Udp() || c.Serial()) {
        c.SetState(0);
        return;
    }
    const Z7Connect r = Z7Socket_CheckPendingConnect(c.Sock());
    if (r == Z7Connect::kBroken)
        Lost(c);
    else if (r == Z7Connect::kUp) {
        c.SetState(0);
        c.SetErr(0);
    }
}

// ---- frames -------------------------------------------------------------------------------------
void BuildFrame(const Cnx &c, uint8_t *q) {
    const uint32_t cfg = LE_Get32(q + MBR_CFG), fn = W(cfg, 7), addr = W(cfg, 8), count = W(cfg, 9), size = W(cfg, 12);
    const uint8_t *data = c.st.At(LE_Get32(q + MBR_DATA), size);
    uint16_t tid = uint16_t(LE_Get16(c.k + MBC_TID) + 1);
    if (tid > 2000) tid = 1;
    LE_Put16(c.k + MBC_TID, tid);
    c.k[MBC_ASCIIRX] = 0;
    uint8_t *f = c.Frame();
    const uint32_t hdr = c.Serial() ? 0 : MB_MBAP_UNIT;
    uint8_t *p = f + hdr;
    uint8_t *pdu = p + 1;  // behind the unit
    p[0] = uint8_t(W(cfg, 4));
    const uint8_t fc = uint8_t(fn);
    uint32_t n = 1;
    switch (fn) {
    case MB_WRITE_SINGLE_COIL:
        n += MbPdu_Request(pdu, fc, uint16_t(addr), (data && (data[0] & 1)) ? MB_COIL_ON : MB_COIL_OFF);
        break;
    case MB_WRITE_SINGLE_REGISTER: n += MbPdu_Request(pdu, fc, uint16_t(addr), data ? LE_Get16(data) : 0); break;
    case MB_WRITE_MULTIPLE_COILS: {
        n += MbPdu_WriteHead(pdu, fc, uint16_t(addr), uint16_t(count));
        const uint32_t bc = (count + 7) / 8;
        for (uint32_t i = 0; i < bc; i++) p[n++] = data ? data[i] : 0;
        break;
    }
    case MB_WRITE_MULTIPLE_REGISTERS:
        n += MbPdu_WriteHead(pdu, fc, uint16_t(addr), uint16_t(count));
        for (uint32_t i = 0; i < count; i++, n += 2) BE_Put16(p + n, data ? LE_Get16(data + 2 * i) : 0);
        break;
    case kFnGroups:
        n += MbPdu_Request(pdu, fc, uint16_t(addr), kGroupsAsk);
        p[n++] = 0;
        break;
    default: n += MbPdu_Request(pdu, fc, uint16_t(addr), uint16_t(count)); break;
    }
    if (hdr) {
        BE_Put16(f + MB_MBAP_TRANSACTION, tid);
        BE_Put16(f + MB_MBAP_PROTOCOL, 0);
        BE_Put16(f + MB_MBAP_LENGTH, uint16_t(n));
    } else {
        LE_Put16(p + n, crc16(p, n));
        n += 2;
    }
    c.SetTotal(hdr + n);
    c.SetDone(0);
    LE_Put32(c.k + MBC_TIMEOUT, W(cfg, 11));
}

void Count(uint8_t *q, uint32_t field) { LE_Put16(q + field, Wrap(LE_Get16(q + field))); }

void Extract(const Cnx &c, uint8_t *q) {
    LE_Put32(q + MBR_DATE, Z7RtClk_GetCurDateStamp());
    LE_Put32(q + MBR_TIME, Z7RtClk_GetCurTimeStamp());
    const uint32_t cfg = LE_Get32(q + MBR_CFG), fn = W(cfg, 7), size = W(cfg, 12);
    uint16_t err = c.Err();
    const uint8_t *f = c.Frame();
    const uint32_t total = c.Total();
    uint32_t hdr = MB_MBAP_UNIT, plen = total > MB_MBAP_UNIT ? total - MB_MBAP_UNIT : 0;
    if (err == 0 && c.Serial()) {
        hdr = 0;
        if (c.k[MBC_ASCIIRX]) {
            if (total < 2 || Lrc(f, total - 1) != f[total - 1]) err = kErrFrame;
            plen = total - 1;
        } else {
            if (total < 4 || crc16(f, total - 2) != LE_Get16(f + total - 2)) err = kErrFrame;
            plen = total - 2;
        }
    }
    const uint8_t *p = f + hdr;
    const uint8_t *pdu = p + 1;  // behind the unit
    if (err == 0) {
        if (plen < 2 || p[0] != uint8_t(W(cfg, 4))) {
            err = kErrAnswer;
        } else {
            switch (MbPdu_AnswerKind(pdu, fn, false)) {
            case MB_ANSWER_EXCEPTION: err = plen > 1 + MB_ANSWER_CODE ? pdu[MB_ANSWER_CODE] : kErrAnswer; break;
            case MB_ANSWER_OTHER: err = kErrAnswer; break;
            default: break;
            }
        }
    }
    uint8_t *data = c.st.At(LE_Get32(q + MBR_DATA), size);
    if (err == 0 && data != nullptr) {
        // A read answer copies min(byte count, data size) bytes, whatever
        // the count asked: a byte count above it is not refused (as a strict
        // master would), but never read past the bytes received.
        const uint32_t bc = plen > 1 + MB_ANSWER_COUNT ? pdu[MB_ANSWER_COUNT] : 0;
        const uint32_t take = bc < size ? bc : size;
        const bool present = plen - 1 >= MB_ANSWER_DATA && take <= plen - 1 - MB_ANSWER_DATA;
        if (fn == MB_READ_COILS || fn == MB_READ_DISCRETE_INPUTS) {
            if (!present)
                err = kErrAnswer;
            else
                std::memcpy(data, pdu + MB_ANSWER_DATA, take);
        } else if (fn == MB_READ_HOLDING_REGISTERS || fn == MB_READ_INPUT_REGISTERS) {
            if (!present)
                err = kErrAnswer;
            else
                for (uint32_t i = 0; i < take / 2; i++) LE_Put16(data + 2 * i, BE_Get16(pdu + MB_ANSWER_DATA + 2 * i));
        } else if (fn == kFnGroups) {
            // each group's bytes in reverse, from the data's third byte on
            for (uint32_t g = 0; g < kGroups; g++) {
                const uint32_t at = MB_ANSWER_DATA + kGroupBytes * g;
                if (1 + at + kGroupBytes > plen || 2 + kGroupBytes * g + kGroupBytes > size) break;
                for (uint32_t b = 0; b < kGroupBytes; b++)
                    data[2 + kGroupBytes * g + b] = pdu[at + kGroupBytes - 1 - b];
            }
        }
    }
    LE_Put16(q + MBR_ERROR, err);
    if (err == 0) {
        LE_Put16(q + MBR_STATUS, 0);
        Count(q, MBR_GOOD);
    } else {
        LE_Put16(q + MBR_STATUS, 7);
        Count(q, MBR_ERRORS);
    }
}

void UnitDone(const Cnx &c, uint8_t *q) {
    uint8_t *u = UnitOf(c, q);
    if (u == nullptr) return;
    LE_Put32(u + MBU_EXCH, LE_Get32(u + MBU_EXCH) + 1);
    const uint16_t err = LE_Get16(q + MBR_ERROR);
    if (err == 0) return;
    UnitError(u, uint8_t(err));
    LE_Put32(u + MBU_ERRORS, LE_Get32(u + MBU_ERRORS) + 1);
}

void NextRequest(const Cnx &c) {
    uint32_t cur = LE_Get16(c.k + MBC_CUR) + 1u;
    if (cur >= c.NReq()) cur = 0;
    LE_Put16(c.k + MBC_CUR, uint16_t(cur));
    if (uint8_t *q = ReqOf(c, cur)) LE_Put16(q + MBR_TRIES, 0);
}

// ---- send and receive -----------------------------------------------------------------------
void Drain(Z7SocketHandle s) {
    uint8_t drop[32];
    for (int i = 0; i < 32; i++) {
        bool closed = false;
        if (Z7Socket_Receive(s, sizeof drop, drop, &closed) <= 0) break;
    }
}

void CommSend(const Cnx &c) {
    const uint32_t done = c.Done(), total = c.Total();
    if (c.Udp()) {
        if (c.Sock() < 0 || total == 0) return;
        uint8_t from[16], drop[32];
        for (int i = 0; i < 32; i++)
            if (Z7Socket_UdpRecvFrom(c.Sock(), drop, sizeof drop, from) == 0) break;
        char text[256];
        MB_Text(c.cfg(), text, sizeof text);
        uint8_t to[16];
        Z7Socket_UdpAddrMake(to, text + 4, W(c.cfg(), 3));
        if (Z7Socket_UdpSendTo(c.Sock(), to, c.Frame(), total)) {
            c.SetDone(total);
            c.SetErr(0);
            c.SetState(4);
        }
        return;
    }
    if (c.Serial()) {
        if (!SerialHold(c)) {
            Lost(c);
            return;
        }
        Z7SerialHandle h = Z7SerialHandle(LE_Get32(c.k + MBC_SERH));
        uint32_t mode = LE_Get32(c.k + MBC_ASCII);
        Z7SerialAsc_Flush(&h, &mode);
        LE_Put32(c.k + MBC_SERH, uint32_t(h));
        LE_Put32(c.k + MBC_ASCII, mode);
        if (!Z7Serial_IsValid(h)) {  // the controller's frame start took the port back
            Lost(c);
            return;
        }
        const uint32_t n = Z7SerialAsc_Send(h, total - done, c.Frame() + done, mode);
        c.SetDone(done + n);
    } else {
        if (c.Sock() < 0) return;
        Drain(c.Sock());
        bool closed = false;
        const int32_t n = Z7Socket_Send(c.Sock(), total - done, c.Frame() + done, &closed);
        if (closed) {
            Lost(c);
            return;
        }
        c.SetDone(done + uint32_t(n > 0 ? n : 0));
    }
    if (c.Done() >= total) {
        c.SetErr(0);
        c.SetState(4);
    }
}

void CommReceive(const Cnx &c, uint32_t now) {
    if (Since(LE_Get32(c.k + MBC_SENDT), now) >= LE_Get32(c.k + MBC_TIMEOUT)) {
        c.SetErr(kErrTimeout);
        c.SetState(6);
        return;
    }
    uint8_t *f = c.Frame();
    if (c.Udp()) {
        uint8_t from[16];
        const uint32_t n = Z7Socket_UdpRecvFrom(c.Sock(), f, MBC_FRAMESIZE, from);
        // an answer carries the id sent and a length that matches the datagram
        if (n < 8 || BE_Get16(f + MB_MBAP_TRANSACTION) != LE_Get16(c.k + MBC_TID) ||
            BE_Get16(f + MB_MBAP_LENGTH) != n - MB_MBAP_UNIT)
            return;
        c.SetDone(n);
        c.SetTotal(n);
        c.SetErr(0);
        c.SetState(6);
        return;
    }
    if (!c.Serial()) {
        for (;;) {
            const uint32_t done = c.Done(), want = done < MB_MBAP_UNIT ? MB_MBAP_UNIT - done : c.Total() - done;
            bool closed = false;
            const int32_t n = want ? Z7Socket_Receive(c.Sock(), want, f + done, &closed) : 0;
            if (closed) {
                Lost(c);
                return;
            }
            if (n <= 0 && want) return;
            c.SetDone(done + uint32_t(n > 0 ? n : 0));
            if (c.Done() == MB_MBAP_UNIT && done < MB_MBAP_UNIT) {
                const uint32_t len = BE_Get16(f + MB_MBAP_LENGTH);
                if (len < 3 || len >= 257) {
                    c.SetDone(0);  // header dropped, read again
                    continue;
                }
                c.SetTotal(len + MB_MBAP_UNIT);
                continue;
            }
            if (c.Done() >= MB_MBAP_UNIT && c.Done() >= c.Total()) {
                if (BE_Get16(f + MB_MBAP_TRANSACTION) == LE_Get16(c.k + MBC_TID)) {
                    c.SetErr(0);
                    c.SetState(6);
                    return;
                }
                c.SetDone(0);  // another transaction: dropped
                continue;
            }
        }
    }
    Z7SerialHandle h = Z7SerialHandle(LE_Get32(c.k + MBC_SERH));
    uint32_t mode = LE_Get32(c.k + MBC_ASCII);
    const bool ascii = mode & kAscii;
    for (;;) {
        const uint32_t done = c.Done(), want = done < 3 ? 3 - done : c.Total() - done;
        if (want == 0) break;
        const uint32_t n = Z7SerialAsc_Receive(&h, want, f + done, &mode, done == 0);
        LE_Put32(c.k + MBC_SERH, uint32_t(h));
        LE_Put32(c.k + MBC_ASCII, mode);
        if (n == 0) {
            if (!Z7Serial_IsValid(h) && !SerialHold(c)) Lost(c);
            return;
        }
        c.SetDone(done + n);
        if (c.Done() == 3 && done < 3) {
            const uint8_t fn = f[1];
            uint32_t total;
            // An RTU answer's length from its function code: an echo of 8
            // bytes, a read by its byte count, an exception of 5.
            if (MbPdu_IsWrite(fn))
                total = 8;
            else if (fn >= MB_READ_COILS && fn <= MB_READ_INPUT_REGISTERS)
                total = f[2] + 5u;
            else if (fn & MB_EXCEPTION_BIT)
                total = 5;
            else {
                c.SetDone(0);
                continue;
            }
            if (ascii) total--;
            c.SetTotal(total);
            c.k[MBC_ASCIIRX] = ascii ? 1 : 0;
        }
    }
    if (c.Done() >= 3 && c.Done() >= c.Total()) {
        c.SetErr(0);
        c.SetState(6);
    }
}

// ---- choosing ---------------------------------------------------------------------------------
bool Due(uint8_t *q, uint32_t now) {
    const uint32_t cfg = LE_Get32(q + MBR_CFG);
    const uint16_t mode = W(cfg, 5), err = LE_Get16(q + MBR_ERROR), tries = LE_Get16(q + MBR_TRIES);
    const bool has13 = Z7Mem_Get16(cfg) >= 28;  // word 13 only when the record holds both its bytes
    if (q[MBR_ARMED] == MBR_REFUSED) return false;
    if ((err != 0 || tries != 0) && mode == 3) {
        if (!has13)
            q[MBR_ARMED] |= 1;
        else if (Since(LE_Get32(q + MBR_LASTSEND), now) >= W(cfg, 13)) {
            LE_Put32(q + MBR_LASTSEND, now);
            q[MBR_ARMED] |= 1;
        }
    }
    if (!(q[MBR_ARMED] & 1)) return false;
    if (mode != 1 || !(q[MBR_ARMED] & MBR_SENT)) return true;
    const uint32_t period = (err != 0 && has13) ? W(cfg, 13) : W(cfg, 6);
    return Since(LE_Get32(q + MBR_LASTSEND), now) >= period;
}

void ChooseAndSend(const Cnx &c, uint32_t now) {
    const uint32_t n = c.NReq();
    if (n == 0) return;
    uint32_t cur = LE_Get16(c.k + MBC_CUR);
    if (cur >= n) cur = 0;
    for (uint32_t i = 0; i < n; i++) {
        const uint32_t at = (cur + i) % n;
        uint8_t *q = ReqOf(c, at);
        if (q == nullptr || !Due(q, now)) continue;
        LE_Put16(c.k + MBC_CUR, uint16_t(at));
        LE_Put32(q + MBR_LASTSEND, now);
        const bool cyclic = W(LE_Get32(q + MBR_CFG), 5) == 1;
        q[MBR_ARMED] = uint8_t((cyclic ? 1 : 0) | MBR_SENT);
        BuildFrame(c, q);
        c.SetState(3);
        LE_Put16(q + MBR_STATUS, 3);
        return;
    }
}

void SendStep(const Cnx &c, uint32_t now) {
    CommSend(c);
    if (c.State() == 7) {
        Dispatch(c);
        return;
    }
    if (c.State() != 4) return;
    uint8_t *q = ReqOf(c, LE_Get16(c.k + MBC_CUR));
    if (c.Serial() && c.Frame()[0] == 0 && q != nullptr) {
        Count(q, MBR_GOOD);
        q[MBR_LATCH] = 255;
        LE_Put16(q + MBR_TRIES, 0);
        LE_Put16(q + MBR_STATUS, 0);
        LE_Put16(q + MBR_ERROR, 0);
        q[MBR_NORX] = 0;
        UnitDone(c, q);
        LE_Put32(q + MBR_DATE, Z7RtClk_GetCurDateStamp());
        LE_Put32(q + MBR_TIME, Z7RtClk_GetCurTimeStamp());
        NextRequest(c);
        c.SetState(0);
        return;
    }
    c.SetDone(0);
    c.SetTotal(0);
    c.SetErr(0);
    LE_Put32(c.k + MBC_SENDT, now);
    c.SetState(5);
}

void Reopen(const Cnx &c, uint32_t now) {
    CommClose(c);
    const uint32_t r = CommOpen(c);
    if (r == 1) c.SetState(2);
    LE_Put32(c.k + MBC_OPENT, now);
}

void Step(const Cnx &c, uint32_t now) {
    switch (c.State()) {
    case 0:
        ChooseAndSend(c, now);
        if (c.State() == 3)
            SendStep(c, now);
        else if (c.State() == 0)
            Watch(c);
        return;
    case 1:
    case 2:
        CheckPending(c);
        if (c.State() != 0) return;
        Dispatch(c);
        ChooseAndSend(c, now);
        if (c.State() == 3) SendStep(c, now);
        return;
    case 3: SendStep(c, now); return;
    case 5: {
        CommReceive(c, now);
        if (c.State() == 7) {
            Dispatch(c);
            return;
        }
        if (c.State() != 6) return;
        uint8_t *q = ReqOf(c, LE_Get16(c.k + MBC_CUR));
        if (q == nullptr) {
            c.SetState(0);
            return;
        }
        const uint32_t cfg = LE_Get32(q + MBR_CFG);
        if (c.Err() == kErrTimeout && LE_Get16(q + MBR_TRIES) + 1u < W(cfg, 10)) {
            LE_Put16(q + MBR_TRIES, uint16_t(LE_Get16(q + MBR_TRIES) + 1));
            // re-armed whatever its latch: a request sent on demand before its
            // first exchange ended would else stay busy and never go again
            q[MBR_ARMED] |= 1;  // the same request goes out again first
            c.SetErr(0);
            c.SetState(0);
            return;
        }
        Extract(c, q);
        q[MBR_LATCH] = 255;
        q[MBR_NORX] = 0;
        LE_Put16(q + MBR_TRIES, 0);
        UnitDone(c, q);
        NextRequest(c);
        if (W(c.cfg(), 4) != 0) {
            LE_Put32(c.k + MBC_LASTANS, now);
            c.SetState(8);
        } else {
            c.SetState(0);
        }
        return;
    }
    case 7:
        // without the reopen flag the connection stays refused, and its
        // requests show it
        if (c.Flags() & 0x01) {
            if (W(c.cfg(), 6) > 1) {
                c.SetState(9);
                LE_Put32(c.k + MBC_OPENT, now);
            } else {
                Reopen(c, now);
            }
        }
        Dispatch(c);
        return;
    case 8:
        if (Since(LE_Get32(c.k + MBC_LASTANS), now) >= W(c.cfg(), 4))
            c.SetState(0);
        else
            Watch(c);
        return;
    case 9:
        if (Since(LE_Get32(c.k + MBC_OPENT), now) < W(c.cfg(), 6)) return;
        // dispatched whatever came of it, so that the requests show the
        // reopened (or still refused) connection at once
        Reopen(c, now);
        Dispatch(c);
        return;
    default: return;
    }
}

template <typename F>
void EachClient(uint32_t state, F fn) {
    MBState st;
    if (!MB_Open(state, st)) return;
    for (uint32_t i = 0; i < st.nconn; i++) {
        uint8_t *k = st.Conn(i);
        if (LE_Get16(k + MBC_FLAGS) & 0x100) continue;
        fn(Cnx{st, k, i});
    }
}
}  // namespace

uint32_t Z7MB_Open(uint32_t state) {
    EachClient(state, [](const Cnx &c) {
        CommOpen(c);
        Dispatch(c);
    });
    Z7MBSrv_SetDevIdent("", "", "", nullptr, 0);
    return 0;
}

void Z7MB_Close(uint32_t state) {
    EachClient(state, [](const Cnx &c) { CommClose(c); });
    Z7MBSrv_SetDevIdent("", "", "", nullptr, 0);
}

void Z7MB_Activate(uint32_t state, uint32_t now) {
    EachClient(state, [now](const Cnx &c) { Step(c, now); });
}

uint32_t Z7VM_OpenModbus(uint32_t db) { return db ? Z7MB_Open(Z7Sec_Addr(db, Z7SEC_MB)) : 0; }
void Z7VM_CloseModbus(uint32_t db) {
    if (db) Z7MB_Close(Z7Sec_Addr(db, Z7SEC_MB));
}
void Z7VM_ActivateModbus(uint32_t db) {
    if (db) Z7MB_Activate(Z7Sec_Addr(db, Z7SEC_MB), Z7RtClk_GetCurTimeStamp());
}
