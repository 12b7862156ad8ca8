// Communication server of the programming workbench: up to 8 channels (TCP
// connections on the runtime port, or the serial programming port), the
// 'Z','7' framing with the serial CRC, Modbus requests on the same channels,
// UDP discovery, and the two kinds served here (19 file transfer, 21).
// Everything else goes to the host one question at a time.
#include <cstdio>
#include <poll.h>
#include <sys/ioctl.h>
#include <cstring>

#include "core/image/bytes.h"
#include "core/image/mbpdu.h"
#include "core/image/util.h"
#include "platform/plat_poll.h"
#include "iec/services/z7svc.h"
#include "iec/vm/z7rc.h"
#include "iec/vm/z7parts.h"
#include "iec/vm/z7vm.h"
#include "platform/plat_assert.h"

namespace {
constexpr uint16_t kDiscoveryPort = 11173;
constexpr const char kBadSize[] = "Invalid frame size - endianness maybe incorrect";

// Readings of the IEC runtime's millisecond clock, which wraps at 2^32 ms
// (or, as stamps of the day, at midnight): Z7VM_Elapsed takes either.
uint32_t Elapsed(uint32_t then, uint32_t now) { return Z7VM_Elapsed(then, now); }

bool IsZ7(const uint8_t *p) { return p[0] == 'Z' && p[1] == '7'; }
// The one classification of a received header: a Z7 frame carries 'Z','7'
// and a size word that is not 0; anything else is a Modbus request (on TCP
// an MBAP header, whose protocol identifier is 0).
bool IsZ7Frame(const uint8_t *h) { return IsZ7(h) && BE_Get16(&h[2]) != 0; }

Z7CSChannel *Chan(Z7CSData *cs, uint32_t n) { return n >= 1 && n <= Z7CS_CHANNELS ? &cs->ch[n - 1] : nullptr; }

void FreeRecord(Z7CSChannel &c) {
    c.number = 0;
    c.flags = 0;
    c.received = c.expected = c.to_send = c.answer_len = c.ahead = 0;
    c.silence = 0;
    c.sock = -1;
}

void CloseChannel(Z7CSChannel &c) {
    Z7Socket_CloseSocket(c.sock);
    FreeRecord(c);
}

// Frame length of a received question (header + payload; no CRC).
uint32_t FrameSize(const Z7CSChannel &c) { return BE_Get16(&c.rx[2]); }

// ---- socket channels ----------------------------------------------------------------------------
void SockSend(Z7CSChannel &c) {
    if (!(c.flags & (Z7CH_PENDING | Z7CH_PARTIAL))) return;
    bool closed = false;
    const uint32_t off = uint32_t(c.answer_len - c.to_send);
    const int32_t n = Z7Socket_Send(c.sock, c.to_send, &c.tx[off], &closed);
    if (n > 0) c.silence = 0;
    if (closed) {
        CloseChannel(c);
        return;
    }
    c.to_send = uint16_t(c.to_send - (n > 0 ? uint32_t(n) : 0));
    if (c.to_send == 0) {
        c.answer_len = 0;
        c.flags &= uint16_t(~(Z7CH_PENDING | Z7CH_PARTIAL));
    } else {
        c.flags |= Z7CH_PARTIAL;
    }
}

// The next frame starts at rx[0]: the bytes read past the current one move there.
void NextFrame(Z7CSChannel &c) {
    if (c.ahead > 0) std::memmove(c.rx.data(), c.rx.data() + c.received, c.ahead);
    c.received = 0;
}

// At most want bytes towards the frame, placed at rx[received]: 0 when none
// came. A plain channel (Modbus only, no frame start to watch) reads what the
// socket holds, as far as rx has room, in one call and takes the bytes past
// the frame from there later: a request costs one read, and a read that
// empties the socket needs no second one to find it empty.
int32_t SockTake(Z7CSChannel &c, uint32_t want, bool plain, bool *closed) {
    if (!plain) {
        return c.received == 0 ? Z7Socket_ReceiveFrameStart(c.sock, want, &c.rx[c.received], closed)
                               : Z7Socket_Receive(c.sock, want, &c.rx[c.received], closed);
    }
    if (c.ahead == 0) {
        const int32_t n = Z7Socket_Receive(c.sock, uint32_t(c.rx.size() - c.received), &c.rx[c.received], closed);
        if (n <= 0) return n;
        c.ahead = uint16_t(n);
    }
    const uint16_t k = uint16_t(want < c.ahead ? want : c.ahead);
    c.ahead = uint16_t(c.ahead - k);
    return k;
}

// One step towards the frame: the 4-byte start, the MBAP length, then the
// rest. True when bytes came and more of the same frame may be waiting.
bool SockReceiveStep(Z7CSChannel &c, bool plain) {
    if (c.flags & Z7CH_QUESTION) return false;
    const uint32_t want = (c.flags & Z7CH_KNOWN) ? uint32_t(c.expected - c.received) : 4u - c.received;
    // The expected length was checked against the payload when the header came.
    if (want == 0 || NEVER(c.received + want > c.rx.size())) return false;
    bool closed = false;
    const int32_t n = SockTake(c, want, plain, &closed);
    if (closed) {
        CloseChannel(c);
        return false;
    }
    if (n <= 0) return false;
    c.silence = 0;
    c.received = uint16_t(c.received + n);
    if (c.received == 4 && !(c.flags & Z7CH_KNOWN)) {
        const uint16_t size = BE_Get16(&c.rx[2]);
        if (IsZ7Frame(c.rx.data())) {
            if (size - 1u > Z7CS_PAYLOAD - 1) {
                Z7EVSTRACE("%s", kBadSize);
                NextFrame(c);
                return c.ahead > 0;  // bytes read with it start the next frame
            }
            c.expected = uint16_t(size + 4);
        } else if (size == 0) {
            c.expected = MB_MBAP_UNIT;  // Modbus TCP: the MBAP protocol identifier is 0
        } else {
            NextFrame(c);
            return c.ahead > 0;
        }
        c.flags |= Z7CH_KNOWN;
        return true;
    }
    if (c.received == MB_MBAP_UNIT && c.expected == MB_MBAP_UNIT && !IsZ7Frame(c.rx.data())) {
        const uint16_t len = BE_Get16(&c.rx[MB_MBAP_LENGTH]);
        if (len < 1 || len > 256) {
            NextFrame(c);
            c.flags &= uint16_t(~Z7CH_KNOWN);
            return c.ahead > 0;
        }
        c.expected = uint16_t(len + MB_MBAP_UNIT);
        return true;
    }
    // a frame is complete only once its length is known: a header still
    // arriving in pieces is never a question
    if ((c.flags & Z7CH_KNOWN) && c.received >= c.expected) {
        c.flags |= Z7CH_QUESTION;
        c.flags &= uint16_t(~Z7CH_KNOWN);
        return false;
    }
    return true;
}

// Reads on while bytes of the frame are waiting, so that a request whose
// pieces have all come is a question in this pass (start, length and rest:
// three reads for Modbus TCP); a reset header waits for the next pass.
void SockReceive(Z7CSChannel &c, bool plain) {
    for (int i = 0; i < 4 && SockReceiveStep(c, plain); i++) {
    }
}

void Accept(Z7CSData *cs) {
    if (cs->listen < 0) return;
    const Z7SocketHandle s = Z7Socket_Accept(cs->listen, 0);
    if (s < 0) return;
    for (uint32_t i = 0; i < Z7CS_CHANNELS; i++) {
        Z7CSChannel &c = cs->ch[i];
        if (c.flags != 0) continue;
        FreeRecord(c);
        c.number = uint16_t(i + 1);
        c.flags = Z7CH_SOCKET | Z7CH_USED;
        c.sock = s;
        if (cs->accepted) cs->accepted(cs, c.number);
        return;
    }
    Z7Socket_CloseSocket(s);  // all eight channels taken
}

// ---- serial channel -----------------------------------------------------------------------------
// Flags of the receiver after a restart. An answer still going out keeps
// its flags: restarting the receiver must not cut the answer short and
// leave the rest of it unsent.
uint16_t SerRestartFlags(const Z7CSChannel &c) {
    return uint16_t(Z7CH_SERIAL | Z7CH_USED | (c.flags & (Z7CH_PENDING | Z7CH_PARTIAL | Z7CH_CRC)));
}

void SerReset(Z7CSChannel &c) {
    c.received = c.expected = 0;
    uint8_t drop[256];
    while (Z7Serial_Receive(&c.serial, sizeof drop, drop, false) > 0) {
    }
    c.flags = SerRestartFlags(c);
}

uint16_t CrcAt(const uint8_t *p, bool high_first) {
    return high_first ? uint16_t(p[0] << 8 | p[1]) : uint16_t(p[1] << 8 | p[0]);
}

void SerComplete(Z7CSChannel &c) {
    const uint8_t *f = c.rx.data();
    const uint32_t n = c.received;
    if (IsZ7(f)) {
        if (Z7CS_Crc16(f, n - 2) == CrcAt(f + n - 2, true)) {
            c.flags |= Z7CH_QUESTION;
            c.flags &= uint16_t(~Z7CH_KNOWN);
        } else {
            SerReset(c);
        }
        return;
    }
    const uint8_t fc = f[1];
    const bool ok = n >= 4 && Z7CS_Crc16(f, n - 2) == CrcAt(f + n - 2, false);
    if (ok) {
        c.flags |= Z7CH_QUESTION;
        c.flags &= uint16_t(~Z7CH_KNOWN);
        return;
    }
    if (fc >= 1 && fc <= 4) {
        if (n == 6)
            c.expected = 7;
        else if (n == 7)
            c.expected = 8;
        else {
            const uint32_t e = uint32_t(f[2]) + 5;
            if (n >= e || e > c.rx.size())
                SerReset(c);
            else
                c.expected = uint16_t(e);
        }
    } else if ((fc == 15 || fc == 16) && n == 8) {
        const uint32_t e = uint32_t(f[6]) + 9;
        if (e <= n || e > c.rx.size())
            SerReset(c);
        else
            c.expected = uint16_t(e);
    } else {
        SerReset(c);
    }
}

void SerActivate(Z7CSData *cs, Z7CSChannel &c) {
    if (!Z7Serial_IsValid(c.serial)) return;
    if (c.flags & (Z7CH_PENDING | Z7CH_PARTIAL)) {
        // Every answer leaves room for its CRC in the frame.
        if (c.to_send == c.answer_len && !(c.flags & Z7CH_CRC) && ALWAYS(c.answer_len + 2u <= c.tx.size())) {
            const uint16_t crc = Z7CS_Crc16(c.tx.data(), c.answer_len);
            if (IsZ7(c.tx.data()))
                BE_Put16(&c.tx[c.answer_len], crc);
            else
                LE_Put16(&c.tx[c.answer_len], crc);
            c.answer_len = uint16_t(c.answer_len + 2);
            c.to_send = uint16_t(c.to_send + 2);
            c.flags |= Z7CH_CRC;
        }
        const uint32_t off = uint32_t(c.answer_len - c.to_send);
        const uint32_t n = Z7Serial_Send(c.serial, c.to_send, &c.tx[off]);
        c.to_send = uint16_t(c.to_send - n);
        if (c.to_send == 0) {
            c.answer_len = 0;
            c.flags &= uint16_t(~(Z7CH_PENDING | Z7CH_CRC | Z7CH_PARTIAL));
        } else {
            c.flags |= Z7CH_PARTIAL;
        }
    }
    if (cs->has_stamp && c.received > 0 && !(c.flags & Z7CH_QUESTION) && Elapsed(c.last_rx_ms, cs->stamp) > 500) {
        c.received = c.expected = 0;
        c.flags = SerRestartFlags(c);
    }
    if (c.flags & Z7CH_QUESTION) return;
    const uint32_t want = (c.flags & Z7CH_KNOWN) ? uint32_t(c.expected - c.received) : 4u - c.received;
    if (want == 0 || NEVER(c.received + want > c.rx.size())) return;
    if (c.received == 0) new_serial_packet = 1;
    const uint32_t n = Z7Serial_Receive(&c.serial, want, &c.rx[c.received], c.received == 0);
    if (!Z7Serial_IsValid(c.serial)) {  // handed back to the controller
        c.received = c.expected = 0;
        return;
    }
    if (n == 0) return;
    c.received = uint16_t(c.received + n);
    if (cs->has_stamp) c.last_rx_ms = cs->stamp;
    if (c.received == 4 && !(c.flags & Z7CH_KNOWN)) {
        const uint8_t *f = c.rx.data();
        if (IsZ7(f)) {
            const uint16_t size = BE_Get16(f + 2);
            if (size - 1u > Z7CS_PAYLOAD - 1) {
                Z7EVSTRACE("%s", kBadSize);
                SerReset(c);
                return;
            }
            c.expected = uint16_t(size + 6);
        } else {
            const uint8_t fc = f[1];
            if (fc >= 1 && fc <= 4)
                c.expected = 6;
            else if (fc == 5 || fc == 6 || fc == 8 || fc == 15 || fc == 16)
                c.expected = 8;
            else if (fc == 43)
                c.expected = 7;
            else {
                SerReset(c);
                return;
            }
        }
        c.flags |= Z7CH_KNOWN;
        if (c.received < c.expected) return;
    }
    if ((c.flags & Z7CH_KNOWN) && c.received >= c.expected) SerComplete(c);
}

// ---- SP5 channel ------------------------------------------------------------------------------------
// The channel's serial handle is the link's: handing the port back
// invalidates both.
void Sp5Activate(Z7CSData *cs, Z7CSChannel &c) {
    Z7SerialHandle &link = cs->sp5.tl.dl.frm.serial;
    if (!Z7Serial_IsValid(c.serial)) link = -1;
    if (!Z7Serial_IsValid(link)) {
        c.serial = -1;
        return;
    }
    if (c.flags & (Z7CH_PENDING | Z7CH_PARTIAL)) {
        // (an answer the link no longer owes is dropped)
        Z7SP5Ftls_Send(&cs->sp5, c.tx.data(), c.answer_len);
        c.answer_len = c.to_send = 0;
        c.flags &= uint16_t(~(Z7CH_PENDING | Z7CH_PARTIAL));
    }
    if (!(c.flags & Z7CH_QUESTION)) {
        const uint32_t n = Z7SP5Ftls_Listen(&cs->sp5, c.rx.data(), Z7CS_PAYLOAD);
        // a Z7 frame must hold what its size announces
        if (n != 0 && IsZ7Frame(c.rx.data()) && (n < 4 || BE_Get16(&c.rx[2]) > n - 4)) {
            Z7SP5Tls_DontSend(&cs->sp5.tl);
        } else if (n != 0) {
            c.received = uint16_t(n);
            c.flags |= Z7CH_QUESTION;
        }
    }
    // frames for this slave are runtime traffic
    if (cs->sp5.tl.dl.requests != cs->sp5_requests) {
        cs->sp5_requests = cs->sp5.tl.dl.requests;
        z7_rcv = 1;
    }
    c.serial = link;
}

// ---- discovery ------------------------------------------------------------------------------------
void Discovery(Z7CSData *cs) {
    uint8_t buf[257];
    uint8_t from[16];
    const uint32_t n = Z7Socket_UdpRecvFrom(cs->udp, buf, 256, from);
    if (n != 4 || std::memcmp(buf, "disc", 4) != 0) return;
    char answer[64];
    const int len = std::snprintf(answer, sizeof answer, "disc:%u,%u,%s", unsigned(cs->port), unsigned(Z7EVSPORT()),
                                  (cs->flags & 0x800) ? "W3" : "Z7");
    Z7Socket_UdpSendTo(cs->udp, from, reinterpret_cast<const uint8_t *>(answer), uint32_t(len));
}

// ---- kinds served here -----------------------------------------------------------------------------
// The answer is pending; on a socket channel its first send is tried at once
// (non-blocking), so that it leaves in the pass that served the question
// rather than at the next poll. What the socket does not take goes on at the
// next poll as before.
void QueueAnswer(Z7CSChannel &c, uint32_t len) {
    c.answer_len = c.to_send = uint16_t(len);
    c.flags |= Z7CH_PENDING;
    if ((c.flags & Z7CH_SOCKET) && c.sock >= 0) SockSend(c);
}

void Release(Z7CSChannel &c) {
    c.flags &= uint16_t(~Z7CH_QUESTION);
    NextFrame(c);
    c.expected = 0;
    // A request read with the last one is served on the next pass, which
    // then does not wait for input.
    if (c.ahead > 0) PLAT_PollWake();
}

// Zero-terminated name at frame offset off, inside the frame; false when it
// does not end there.
bool NameAt(const Z7CSChannel &c, uint32_t off, char *out, uint32_t max) {
    const uint32_t end = 4u + FrameSize(c);
    for (uint32_t i = off; i < end && i - off < max; i++) {
        if (c.rx[i] == 0) {
            std::memcpy(out, &c.rx[off], i - off + 1);
            return true;
        }
    }
    return false;
}

void FileTransfer(Z7CSData *cs, Z7CSChannel &c) {
    const uint32_t end = 4u + FrameSize(c);
    const uint8_t sub = end > 5 ? c.rx[5] : 0;
    uint8_t status = 0;
    uint32_t data = 0;  // answer bytes from offset 8
    uint8_t *a = c.tx.data();
    char name[256];
    auto close_file = [&] {
        Z7FT_Close(cs->ft_file, cs->ft_reg);
        cs->ft_file = 0;
        cs->ft_reg = 0;
    };
    switch (sub) {
    case 1:
        if (cs->ft_file) close_file();
        cs->ft_crc = 0xFFFFFFFF;
        if (end < 10 || !NameAt(c, 10, name, 255) ||
            (cs->ft_file = Z7FT_OpenWrite(BE_Get32(&c.rx[6]), name, &cs->ft_reg)) == 0)
            status = 2;
        break;
    case 2: {
        const uint32_t len = end >= 8 ? BE_Get16(&c.rx[6]) : 0;
        if (cs->ft_file == 0 || end < 8 || len > end - 8)
            status = 3;
        else if (Z7FT_Write(cs->ft_file, len, &c.rx[8]) == 0)
            status = 3;
        else
            cs->ft_crc = Z7CS_Crc32(cs->ft_crc, &c.rx[8], len);
        break;
    }
    case 3:
    case 6:
        if (cs->ft_file == 0)
            status = 4;
        else {
            close_file();
            BE_Put32(a + 8, cs->ft_crc);
            data = 4;
        }
        break;
    case 4: {
        if (cs->ft_file) close_file();
        cs->ft_crc = 0xFFFFFFFF;
        uint32_t size = 0;
        if (!NameAt(c, 6, name, 255) || (cs->ft_file = Z7FT_OpenRead(name, &size)) == 0)
            status = 5;
        else {
            BE_Put32(a + 8, size);
            data = 4;
        }
        break;
    }
    case 5:
        if (cs->ft_file == 0)
            status = 6;
        else {
            const uint32_t n = Z7FT_Read(cs->ft_file, 800, a + 10);
            cs->ft_crc = Z7CS_Crc32(cs->ft_crc, a + 10, n);
            BE_Put16(a + 8, uint16_t(n));
            data = 2 + n;
        }
        break;
    case 7:
        if (cs->ft_dir == 0) cs->ft_dir = Z7FT_OpenDir("");
        if (cs->ft_dir == 0) status = 8;
        break;
    case 8:
        if (cs->ft_dir == 0)
            status = 10;
        else {
            Z7FT_GetDirEntry(cs->ft_dir, reinterpret_cast<char *>(a + 8));
            data = uint32_t(strnlen(reinterpret_cast<char *>(a + 8), 255)) + 1;
        }
        break;
    case 9:
        if (cs->ft_dir == 0)
            status = 9;
        else {
            Z7FT_CloseDir(cs->ft_dir);
            cs->ft_dir = 0;
        }
        break;
    case 10:
        if (cs->ft_file) close_file();
        if (!NameAt(c, 6, name, 255) || Z7FT_Delete(name) == 0) status = 7;
        break;
    default: status = 1; break;
    }
    a[0] = 'Z';
    a[1] = '7';
    BE_Put16(a + 2, uint16_t(4 + data));
    a[4] = 19;
    a[5] = 0;
    a[6] = status;
    a[7] = sub;
    Release(c);
    QueueAnswer(c, 8 + data);
}
}  // namespace

uint16_t Z7CS_Crc16(const uint8_t *p, uint32_t n) { return crc16(p, n); }

uint32_t Z7CS_Crc32(uint32_t crc, const uint8_t *p, uint32_t n) { return Z7Rc_Crc32(crc, p, n); }

uint32_t Z7CS_Open(Z7CSData *cs, const Z7CSSettings *s, uint32_t arg) {
    *cs = {};
    for (Z7CSChannel &c : cs->ch) {
        c.sock = -1;
        c.serial = -1;
    }
    cs->listen = -1;
    cs->udp = -1;
    cs->accepted = Z7CS_DefaultCallback;
    bool serial = false;
    if (s && s->serial && s->sp5_address) {
        Z7CSSP5_Open(cs, s->sp5_address, s->serial);
        serial = true;
    } else if (s && s->serial) {
        Z7CSSer_Open(cs, s->serial);
        serial = true;
    }
    Z7Socket_Initialize(arg);
    if (s && s->tcp_port) {
        cs->listen_open = true;
        Z7Socket_CreateListeningSocket(s->tcp_port, serial ? 7 : 8, &cs->listen, arg);
    }
    cs->port = s ? s->tcp_port : 0;
    const bool up = Z7Socket_UdpCreate(kDiscoveryPort, &cs->udp);
    if (up) Z7Socket_AcceptBroadcast(cs->udp);
    return up ? 0 : 1;
}

namespace {
// The serial link is always channel 1. A TCP connection holding it when the
// link is handed over moves, with its question and answer, to the first free
// channel; with none free it is closed, for the controller asked for the
// port. Left in place, the hand-over would be acknowledged and nothing would
// ever read the port.
void FreeChannelOne(Z7CSData *cs) {
    Z7CSChannel &c = cs->ch[0];
    if (!(c.flags & Z7CH_SOCKET)) return;
    for (uint32_t i = 1; i < Z7CS_CHANNELS; i++) {
        Z7CSChannel &to = cs->ch[i];
        if (to.flags != 0) continue;
        to = c;
        to.number = uint16_t(i + 1);
        FreeRecord(c);
        return;
    }
    CloseChannel(c);
}
}  // namespace

void Z7CSSer_Open(Z7CSData *cs, const char *settings) {
    Z7CSChannel &c = cs->ch[0];
    FreeChannelOne(cs);
    Z7Serial_Rearm();  // the link is the runtime's again
    Z7Serial_Initialize(&c.serial);
    Z7Serial_Open(&c.serial, settings);
    c.number = 1;
    c.received = c.expected = c.to_send = c.answer_len = 0;
    c.flags = Z7CH_SERIAL | Z7CH_USED;
}

void Z7CSSP5_Open(Z7CSData *cs, uint16_t address, const char *settings) {
    Z7CSChannel &c = cs->ch[0];
    FreeChannelOne(cs);
    Z7Serial_Rearm();  // the link is the runtime's again
    Z7SP5Ftls_Open(&cs->sp5, address, settings);
    Z7SP5Ftls_SetPassword(&cs->sp5, "");
    c.serial = cs->sp5.tl.dl.frm.serial;
    c.number = 1;
    c.received = c.expected = c.to_send = c.answer_len = 0;
    c.flags = Z7CH_SP5 | Z7CH_USED;
}

void Z7CSSock_CloseAllSockets(Z7CSData *cs) {
    for (Z7CSChannel &c : cs->ch) {
        if (c.flags & Z7CH_SOCKET) CloseChannel(c);
    }
    Z7Socket_CloseSocket(cs->listen);
    cs->listen = -1;
}

void Z7CS_Close(Z7CSData *cs) {
    if (cs->ft_file) Z7FT_Close(cs->ft_file, 0);
    for (Z7CSChannel &c : cs->ch) {
        if (c.flags & Z7CH_SOCKET) CloseChannel(c);
        if (c.flags & Z7CH_SERIAL) Z7Serial_Close(&c.serial);
        if (c.flags & Z7CH_SP5) Z7SP5Ftls_Close(&cs->sp5);
    }
    Z7Socket_CloseSocket(cs->listen);
    Z7Socket_CloseSocket(cs->udp);
    *cs = {};
    cs->listen = cs->udp = -1;
    for (Z7CSChannel &c : cs->ch) c.sock = c.serial = -1;
}

void Z7CS_ActivateStamp(Z7CSData *cs, uint32_t ms) {
    cs->stamp = ms;
    cs->has_stamp = 1;
    Z7CS_Activate(cs);
}

void Z7CS_Activate(Z7CSData *cs) {
    if (cs->udp >= 0) Discovery(cs);
    Accept(cs);
    for (Z7CSChannel &c : cs->ch) {
        if (!(c.flags & Z7CH_SOCKET) || c.sock < 0) continue;
        SockSend(c);
        if (c.flags & Z7CH_SOCKET) SockReceive(c, cs->plain);
    }
    Z7CSChannel &s = cs->ch[0];
    if (s.flags & Z7CH_SP5) Sp5Activate(cs, s);
    if (s.flags & Z7CH_SERIAL) SerActivate(cs, s);
}

uint32_t Z7CS_GetQuestion(Z7CSData *cs, uint32_t *channel) {
    for (uint32_t i = 0; i < Z7CS_CHANNELS; i++) {
        Z7CSChannel &c = cs->ch[i];
        if (!(c.flags & Z7CH_USED) || !(c.flags & Z7CH_QUESTION)) continue;
        // A question that came while the channel's last answer is still
        // going out waits for it: an answer is queued only on a channel not
        // busy sending, so served now it would never be answered.
        if (c.flags & (Z7CH_PENDING | Z7CH_PARTIAL)) continue;
        uint32_t kind;
        if (IsZ7Frame(c.rx.data()))
            kind = c.rx[4];
        else
            kind = (c.flags & Z7CH_SOCKET) ? 17 : 16;
        // A Modbus-only server (an application's slave block, reachable by
        // anyone on its port without the programming link's hand-over)
        // serves no file transfer and no kind 21: they go to its owner,
        // which releases them unanswered like any kind but Modbus.
        if (cs->plain && kind != 0) {
            if (channel) *channel = i + 1;
            return kind;
        }
        if (kind == 19) {
            FileTransfer(cs, c);
            i = uint32_t(-1);
            continue;
        }
        if (kind == 21) {
            const uint32_t end = 4u + FrameSize(c);
            const uint16_t value = end >= 7 ? BE_Get16(&c.rx[5]) : 0;
            Z7CS_SendRC(cs, c.number, value == 1 ? 0 : 1);
            Release(c);
            i = uint32_t(-1);
            continue;
        }
        if (kind == 0) {
            // Kind byte 0 cannot be handed out, 0 being "no question": left
            // complete, it would stop this channel's reception and hide every
            // later channel's question. Answered as an unknown kind (1; a
            // Modbus-only server answers nothing) and released.
            if (!cs->plain) Z7CS_SendRC(cs, c.number, 1);
            Release(c);
            i = uint32_t(-1);
            continue;
        }
        if (channel) *channel = i + 1;
        return kind;
    }
    return 0;
}

uint8_t *Z7CS_GetVMRequest(Z7CSData *cs, uint32_t channel) {
    Z7CSChannel *c = Chan(cs, channel);
    if (!c || !(c->flags & Z7CH_QUESTION) || !IsZ7(c->rx.data()) || c->rx[4] != 1) return nullptr;
    return &c->rx[5];
}

uint8_t *Z7CS_GetRequestFrame(Z7CSData *cs, uint32_t channel) {
    Z7CSChannel *c = Chan(cs, channel);
    return c && (c->flags & Z7CH_QUESTION) ? c->rx.data() : nullptr;
}

uint32_t Z7CS_GetRequestLength(Z7CSData *cs, uint32_t channel) {
    Z7CSChannel *c = Chan(cs, channel);
    return c && (c->flags & Z7CH_QUESTION) ? c->received : 0;
}

namespace {
bool CanAnswer(const Z7CSChannel *c) {
    return c && (c->flags & Z7CH_USED) && !(c->flags & (Z7CH_PARTIAL | Z7CH_PENDING));
}
}  // namespace

uint8_t *Z7CS_GetVMAnswerBuffer(Z7CSData *cs, uint32_t channel) {
    Z7CSChannel *c = Chan(cs, channel);
    return CanAnswer(c) ? &c->tx[5] : nullptr;
}

uint8_t *Z7CS_GetAnswerFrameBuffer(Z7CSData *cs, uint32_t channel) {
    Z7CSChannel *c = Chan(cs, channel);
    return CanAnswer(c) ? c->tx.data() : nullptr;
}

void Z7CS_SendRC(Z7CSData *cs, uint32_t channel, uint16_t code) {
    Z7CSChannel *c = Chan(cs, channel);
    if (!c || !(c->flags & Z7CH_USED) || (c->flags & Z7CH_PARTIAL) || !IsZ7(c->rx.data())) return;
    uint8_t *a = c->tx.data();
    a[0] = 'Z';
    a[1] = '7';
    BE_Put16(a + 2, 3);
    a[4] = c->rx[4];
    BE_Put16(a + 5, code);
    QueueAnswer(*c, 7);
}

void Z7CS_SendVMAnswer(Z7CSData *cs, uint32_t channel, uint32_t length) {
    // The answer was built in the channel's frame: longer is a broken builder.
    Z7CSChannel *c = Chan(cs, channel);
    if (!c || !(c->flags & Z7CH_USED) || (c->flags & Z7CH_PARTIAL) || NEVER(length + 5 > Z7CS_FRAME - 2)) return;
    uint8_t *a = c->tx.data();
    a[0] = 'Z';
    a[1] = '7';
    BE_Put16(a + 2, uint16_t(length + 1));
    a[4] = 1;
    QueueAnswer(*c, length + 5);
}

void Z7CS_SendAnswerFrame(Z7CSData *cs, uint32_t channel, uint32_t length) {
    Z7CSChannel *c = Chan(cs, channel);
    if (!c || !(c->flags & Z7CH_USED) || (c->flags & Z7CH_PARTIAL) || length == 0 || NEVER(length > Z7CS_FRAME - 2))
        return;
    QueueAnswer(*c, length);
}

void Z7CS_ReleaseQuestion(Z7CSData *cs, uint32_t channel) {
    Z7CSChannel *c = Chan(cs, channel);
    if (c && (c->flags & Z7CH_USED)) {
        Release(*c);
        c->flags &= uint16_t(~Z7CH_KNOWN);
    }
}

uint32_t Z7CS_GetStartInfo(Z7CSData *cs, uint32_t channel, Z7CSStartInfo *info) {
    Z7CSChannel *c = Chan(cs, channel);
    if (!c || !(c->flags & Z7CH_QUESTION) || !IsZ7(c->rx.data())) return 1;
    const uint32_t end = 4u + FrameSize(*c);
    *info = {};
    if (end > 5) info->load_retains = c->rx[5] ? 1 : 0;
    if (end > 6) info->pause = c->rx[6] ? 1 : 0;
    if (end > 7) {
        // the name ends at its NUL or at the frame's end
        uint32_t n = 0;
        while (7 + n < end && n < 255 && c->rx[7 + n] != 0) n++;
        std::memcpy(info->name, &c->rx[7], n);
        info->name[n] = 0;
    }
    return 0;
}

uint32_t Z7CS_GetLoadInfo(Z7CSData *cs, uint32_t channel, Z7CSLoadInfo *info) {
    Z7CSChannel *c = Chan(cs, channel);
    if (!c || !(c->flags & Z7CH_QUESTION) || !IsZ7(c->rx.data())) return 1;
    const uint32_t end = 4u + FrameSize(*c);
    if (end < 11) return 1;
    *info = {};
    info->type = c->rx[5];
    info->value = BE_Get32(&c->rx[6]);
    if (!NameAt(*c, 10, info->name, 255)) return 1;
    const uint32_t data = 10 + uint32_t(std::strlen(info->name)) + 1;
    info->piece.size = end - data;
    info->piece.data = &c->rx[data];
    return 0;
}

void Z7CSSock_CheckSilentSocketsEx(Z7CSData *cs, uint32_t now, uint32_t timeout) {
    for (Z7CSChannel &c : cs->ch) {
        if (!(c.flags & Z7CH_SOCKET)) continue;
        if (c.silence == 0)
            c.silence = now;
        else if (Elapsed(c.silence, now) > timeout)
            CloseChannel(c);
    }
}

void Z7CSSock_CheckSilentSockets(Z7CSData *cs, uint32_t now) { Z7CSSock_CheckSilentSocketsEx(cs, now, 10000); }

void Z7CS_CheckSilentSockets(Z7CSData *cs, uint32_t now) { Z7CSSock_CheckSilentSockets(cs, now); }

uint32_t Z7CS_GetTaskNo(const Z7CSData *) { return 1; }

void Z7CS_DefaultCallback(Z7CSData *, uint32_t) {}

uint32_t Z7CS_GetNbHostTCP(const Z7CSData *cs) {
    uint32_t n = 0;
    for (const Z7CSChannel &c : cs->ch) n += (c.flags & Z7CH_SOCKET) && c.sock >= 0 ? 1 : 0;
    return n;
}

bool Z7CS_Quiet(Z7CSData *cs) {
    pollfd fds[Z7CS_CHANNELS + 2];
    nfds_t n = 0;
    if (cs->udp >= 0) fds[n++] = {cs->udp, POLLIN, 0};
    if (cs->listen >= 0) fds[n++] = {cs->listen, POLLIN, 0};
    for (const Z7CSChannel &c : cs->ch) {
        if (c.flags & (Z7CH_QUESTION | Z7CH_PENDING | Z7CH_PARTIAL)) return false;
        if ((c.flags & Z7CH_SOCKET) && c.sock >= 0) fds[n++] = {c.sock, POLLIN, 0};
        if ((c.flags & Z7CH_SP5) &&
            (cs->sp5.tl.dl.frm.rx_have != 0 || cs->sp5.tl.dl.frm.tx_done < cs->sp5.tl.dl.frm.tx_len))
            return false;
        if ((c.flags & (Z7CH_SERIAL | Z7CH_SP5)) && Z7Serial_IsValid(c.serial)) {
            int waiting = 0;
            if (ioctl(c.serial, FIONREAD, &waiting) != 0 || waiting > 0) return false;
        }
    }
    return n == 0 || poll(fds, n, 0) == 0;
}
