// ASCII over TCP. Each pass while the controller runs and the service is on:
// listen when not connected; when connected, send the text the program asked
// for (continuing after a short send from the first unsent byte) and store at
// most one received part into the receive block.
#include "protocols/ascii.h"

#include <algorithm>
#include <cstring>

#include "core/image/bytes.h"
#include "core/image/iecrt.h"
#include "core/image/plcreg.h"
#include "core/image/passwork.h"
#include "core/image/timebase.h"
#include "net/dpr.h"
#include "net/nx_server.h"

std::array<AsciiTCPConn, 2> AsciiTCPConnEth;
NX_PACKET_POOL *AsciiPacketPoolPtr;

namespace {

constexpr uint8_t kStoreAll = 48;

AsciiTCPConn &ConnOf(uint32_t n) { return AsciiTCPConnEth[n == 1 ? 1 : 0]; }

// How a send or receive block is laid out: word registers from its bit
// address; or, while the IEC application's variables are enumerated, an IEC
// array of bytes (type 0, or a complex variable) two elements a word, or of
// INTs (type 1) one element a word. Any other IEC type is refused.
enum class Layout : uint8_t { Registers, IecBytes, IecInts, Refused };
Layout LayoutOf(uint32_t ref) {
    if (!PlcReg_IsIecHandle(ref) || !DrevanoRuntime || !drevano_variables_enumerateded) return Layout::Registers;
    if (ref & (1u << 29)) return Layout::IecBytes;
    const uint32_t type = (ref >> 26) & 7;
    return type == 0 ? Layout::IecBytes : type == 1 ? Layout::IecInts : Layout::Refused;
}
// Word w of a block (0 the length, 1 the end character).
uint32_t WordOf(uint32_t ref, uint32_t w) {
    switch (LayoutOf(ref)) {
    case Layout::IecBytes: return ref + 2 * w;
    case Layout::IecInts: return ref + w;
    default: return ref + 16 * w;
    }
}
// Moves n data bytes from byte off (even for an INT array) between the block
// and buf (into: to the block); false when the block is refused.
bool MoveData(uint32_t ref, uint32_t off, uint8_t *buf, uint32_t n, bool into) {
    const Layout l = LayoutOf(ref);
    if (l == Layout::Refused) return false;
    if (l == Layout::Registers) {
        // A block is a run of word registers inside one register area.
        const EtnReq req{ref, 32 + 8 * (off + n)};
        if (ref == 0 || ref % 16 != 0 || EtnValidateReq(&req) != 0) return false;
        if (n) Dpr_Data_Block(ref + 32 + 8 * off, 8 * n, buf, into ? 1 : 0, 0);
        return true;
    }
    if (n == 0) return true;
    const uint32_t at = l == Layout::IecBytes ? ref + 4 + off : ref + 2 + off / 2;
    uint8_t *p = PlcReg_Ptr(at, 8 * n);
    if (p == nullptr) return false;
    if (into)
        std::memcpy(p, buf, n);
    else
        std::memcpy(buf, p, n);
    return true;
}

void ClearTransfer(AsciiTCPConn &c) {
    c.first_pending = 0;
    c.sent = 0;
    c.rx_len = 0;
}

// The status register: bit 15 only after a reception, else kept as it is.
void WriteStatus(const AsciiTCPConn &c, uint32_t ref, bool received) {
    if (ref == 0) return;
    uint16_t v = c.status;
    if (!received) v = uint16_t((Dpr_Get_W_Data(ref) & ASCII_ST_RECEIVED) | (c.status & ~ASCII_ST_RECEIVED));
    Dpr_Set_W_Data(ref, v);
}

void Send(AsciiTCPConn &c, const uint32_t *cfg) {
    const uint32_t block = cfg[DPR_ASCII_SEND], control = cfg[DPR_ASCII_CONTROL];
    if (Dpr_Get_W_Data(control) != 1) return;
    uint8_t buf[ASCII_SEND_MAX];
    uint32_t len = Dpr_Get_W_Data(WordOf(block, 0));
    // A block outside its area sends nothing.
    if (!MoveData(block, 0, buf, std::min(len, ASCII_SEND_MAX), false)) len = 0;
    if (len > ASCII_SEND_MAX) {
        len = ASCII_SEND_MAX;
        c.status |= ASCII_ST_CUT_SEND;
    } else {
        c.status &= uint16_t(~ASCII_ST_CUT_SEND);
    }
    c.status &= uint16_t(~ASCII_ST_SENDING);
    if (c.sent > len) c.sent = 0;
    // What is left of the text goes out in segments of 1,380 bytes from the
    // first byte not sent. A failed send keeps the control word at 1: a later
    // pass goes on from the first byte that did not go out (the kernel may
    // have taken part of a segment).
    const uint32_t rest = len - c.sent;
    uint32_t taken = 0;
    const uint32_t r = NxServerSend(&c.socket, AsciiPacketPoolPtr, buf + c.sent, rest, ASCII_SEGMENT, &taken);
    c.sent = uint16_t(c.sent + taken);
    if (r != NX_SUCCESS) return;
    c.sent = 0;
    Dpr_Set_W_Data(control, 0);
}

// Moves what the stream holds into the receive block; true when something was stored.
bool Store(AsciiTCPConn &c, const uint32_t *cfg) {
    const uint32_t block = cfg[DPR_ASCII_RECEIVE];
    const uint32_t now = FPGA_GetFrt();
    if (c.first_pending && now - c.first_time > ASCII_JOIN_TICKS) c.first_pending = 0;
    if (c.rx_len == 0) return false;
    // A refused block has no length word either: for such a layout word 0
    // would be the variable itself. What arrived is dropped.
    if (LayoutOf(block) == Layout::Refused) {
        c.first_pending = 0;
        c.rx_len = 0;
        return false;
    }
    if (c.first_pending) {
        const uint32_t n = std::min(c.rx_len, ASCII_SECOND_MAX);
        if (c.rx_len > ASCII_SECOND_MAX)
            c.status |= ASCII_ST_CUT_SECOND;
        else
            c.status &= uint16_t(~ASCII_ST_CUT_SECOND);
        const uint32_t stored = AsciiStore(block, c.rx.data(), n, ASCII_SEGMENT);
        Dpr_Set_W_Data(WordOf(block, 0), uint16_t(stored + ASCII_SEGMENT));
        c.first_pending = 0;
        c.rx_len = 0;
        return true;
    }
    uint32_t n = c.rx_len;
    if (n >= ASCII_SEGMENT) {
        n = ASCII_SEGMENT;
        c.first_pending = 1;
        c.first_time = now;
    }
    const uint32_t stored = AsciiStore(block, c.rx.data(), n, 0);
    Dpr_Set_W_Data(WordOf(block, 0), uint16_t(stored));
    std::memmove(c.rx.data(), c.rx.data() + n, c.rx_len - n);
    c.rx_len -= n;
    // A message shorter than a first part takes all that was read with it.
    if (!c.first_pending) c.rx_len = 0;
    return true;
}

}  // namespace

uint32_t AsciiStore(uint32_t recv_ref, const uint8_t *data, uint32_t n, uint32_t off) {
    const uint8_t end = uint8_t(Dpr_Get_W_Data(WordOf(recv_ref, 1)));
    uint32_t count = n;
    if (end != kStoreAll) {
        const uint8_t *hit = static_cast<const uint8_t *>(std::memchr(data, end, n));
        if (hit != nullptr) count = uint32_t(hit - data);
    }
    return MoveData(recv_ref, off, const_cast<uint8_t *>(data), count, true) ? count : 0;
}

uint32_t AsciiText(uint32_t send_ref, uint8_t *buf) {
    const uint32_t len = std::min<uint32_t>(Dpr_Get_W_Data(WordOf(send_ref, 0)), ASCII_SEND_MAX);
    return MoveData(send_ref, 0, buf, len, false) ? len : 0;
}

uint32_t Ascii_Init(NX_IP *ip, NX_PACKET_POOL *pool) {
    AsciiPacketPoolPtr = pool;
    AsciiTCPConn &c = ConnOf(ip != nullptr && ip->nx_ip_interface == 1 ? 1 : 0);
    c.ip = ip;
    c.status = 0;
    c.port = 0;
    c.first_time = c.last_time = 0;
    c.listening = 0;
    ClearTransfer(c);
    if (_nx_tcp_socket_create(ip, &c.socket, "ascii sockt", 0, 0, 128, 1380, nullptr, AsciiDisconnect) != NX_SUCCESS) {
        c.status |= ASCII_ST_NO_SOCKET;
        return 1;
    }
    c.status &= uint16_t(~ASCII_ST_NO_SOCKET);
    return 0;
}

void AsciiConnect(NX_TCP_SOCKET *socket, uint32_t) {
    if (!NxServerAccept(socket)) return;
    for (auto &c : AsciiTCPConnEth) {
        if (&c.socket == socket) ClearTransfer(c);
    }
}

void AsciiDisconnect(NX_TCP_SOCKET *socket) {
    for (auto &c : AsciiTCPConnEth) {
        if (&c.socket == socket) {
            c.listening = 0;
            ClearTransfer(c);
        }
    }
    NxServerClose(socket);
}

void Ascii_Scan(uint32_t n) {
    AsciiTCPConn &c = ConnOf(n);
    if (c.ip == nullptr) return;
    const DprConfigRec &rec = Dpr_Configuration[n == 1 ? 1 : 0];
    const uint32_t *cfg = rec.ascii;
    NX_TCP_SOCKET &s = c.socket;
    if (!(rec.enables[1] & EN1_ASCII)) {
        if (s.state == NX_TCP_ESTABLISHED) {
            NX_PACKET *pk = nullptr;
            while (_nx_tcp_socket_receive(&s, &pk, 0) == NX_SUCCESS) _nx_packet_release(pk);
        }
        return;
    }
    if (LE_Get16(Dpr_Map_Ptr + DPR_RUN) == 0) {
        if (s.state == NX_TCP_ESTABLISHED || s.state == NX_TCP_CLOSE_WAIT) AsciiDisconnect(&s);
        if (c.port != 0) _nx_tcp_server_socket_unlisten(c.ip, c.port);
        c.listening = 0;
        return;
    }
    if (c.status & ASCII_ST_NO_SOCKET) {
        WriteStatus(c, cfg[DPR_ASCII_STATUS], false);
        return;
    }
    if (s.state != NX_TCP_ESTABLISHED && s.state != NX_TCP_LISTEN) {
        const uint32_t port =
            cfg[DPR_ASCII_PORT_IN_REG] ? Dpr_Get_W_Data(cfg[DPR_ASCII_PORT]) : (cfg[DPR_ASCII_PORT] & 0xFFFF);
        if (s.state == NX_TCP_CREATED && port != 0) {
            if (c.listening) {
                if (_nx_tcp_server_socket_relisten(c.ip, port, &s) == NX_ALREADY_BOUND)
                    _nx_tcp_server_socket_unaccept(&s);
            } else if (_nx_tcp_server_socket_listen(c.ip, port, &s, 0, AsciiConnect) == NX_SUCCESS) {
                c.listening = 1;
                c.port = uint16_t(port);
            }
        }
        WriteStatus(c, cfg[DPR_ASCII_STATUS], false);
        return;
    }
    if (s.state != NX_TCP_ESTABLISHED) {
        WriteStatus(c, cfg[DPR_ASCII_STATUS], false);
        return;
    }
    Send(c, cfg);
    bool received = false;
    // The stream has no frames: one read a pass, kept while a first part
    // waits for its continuation.
    if (NxServerRead(&s, c.rx, c.rx_len) != 0) c.last_time = FPGA_GetFrt();
    if (c.rx_len != 0) {
        c.status |= ASCII_ST_RECEIVED;
        received = Store(c, cfg);
    }
    WriteStatus(c, cfg[DPR_ASCII_STATUS], received);
}

uint32_t Ascii_Due(uint32_t n, uint32_t now) {
    const bool on = (Dpr_Configuration[n == 1 ? 1 : 0].enables[1] & EN1_ASCII) != 0;
    if (ConnOf(n).ip == nullptr || !on || LE_Get16(Dpr_Map_Ptr + DPR_RUN) == 0) return now + PASS_IDLE_MS;
    return now;
}

uint32_t Ascii_cnn_cnt(uint32_t n) { return ConnOf(n).socket.state == NX_TCP_ESTABLISHED ? 1 : 0; }

void Ascii_DeInit(NX_IP *ip) {
    if (ip == nullptr || ip->nx_ip_interface == 0) return;
    AsciiTCPConn &c = ConnOf(1);
    if (c.ip == nullptr) return;
    AsciiDisconnect(&c.socket);
    if (c.port != 0) _nx_tcp_server_socket_unlisten(c.ip, c.port);
    c.listening = 0;
    c.ip = nullptr;
}
