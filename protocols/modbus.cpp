// Modbus TCP and UDP server. Each pass: listen one more socket, answer the
// reads received on the previous pass from the register image as it is now,
// then serve at most one request per connection. A TCP connection is a
// stream: its requests are framed by their MBAP length, one per pass, and
// what follows a request waits for the next pass.
#include "protocols/modbus.h"

#include <algorithm>
#include <cstring>

#include "core/image/bytes.h"
#include "core/image/passwork.h"
#include "core/storage/memfile.h"
#include "core/image/plcreg.h"
#include "core/image/tx.h"
#include "iec/services/drevano.h"
#include "net/nx_server.h"
#include "platform/plat_poll.h"

std::array<ModbusServer, 2> ModbusConnEth;
std::array<uint8_t, MODBUS_RX_MAX> ModbusRxBuff;
std::array<uint8_t, MODBUS_TX_MAX> ModbusTxMsg;
NX_PACKET_POOL *ModbusPacketPoolPtr;

namespace {

constexpr uint32_t kUdpPiece = 512;

bool IecMapping() { return DrevanoRuntime != 0 && drevano_variables_enumerateded != 0; }

ModbusServer &ServerOf(uint32_t n) { return ModbusConnEth[n == 1 ? 1 : 0]; }
uint32_t IfaceOf(const NX_IP *ip) { return (ip != nullptr && ip->nx_ip_interface == 1) ? 1 : 0; }

bool Find(const NX_TCP_SOCKET *s, ModbusServer *&srv, unsigned &k) {
    for (auto &server : ModbusConnEth) {
        for (unsigned i = 0; i < MODBUS_SLOTS; i++) {
            if (&server.slots[i].socket == s) {
                srv = &server;
                k = i;
                return true;
            }
        }
    }
    return false;
}

void ClearRequestState(ModbusSlot &slot) {
    slot.reference = slot.bits = 0;
    slot.transaction = 0;
    slot.read_pending = slot.handle = slot.function = slot.unit = 0;
    slot.rx_len = 0;
    slot.taken = 0;  // a new connection has taken nothing in this pass
}

// Table sizes and bases of the IEC copy: holding, input, coils, discrete.
unsigned IecTable(uint32_t function) {
    switch (function) {
    case MB_READ_HOLDING_REGISTERS:
    case MB_WRITE_SINGLE_REGISTER:
    case MB_WRITE_MULTIPLE_REGISTERS: return 0;
    case MB_READ_INPUT_REGISTERS: return 1;
    case MB_READ_COILS:
    case MB_WRITE_SINGLE_COIL:
    case MB_WRITE_MULTIPLE_COILS: return 2;
    default: return 3;
    }
}

// The reference of a request in the mapping in force; 0 when outside.
uint32_t Reference(uint32_t n, uint32_t function, uint32_t a, uint32_t q) {
    if (!IecMapping()) return ModbusMapToken(function, a, q);
    const DprModbusIec &m = Dpr_Configuration[n == 1 ? 1 : 0].modbus_iec;
    const uint32_t size = m.words[4 + IecTable(function)];
    if (!(a < size && q <= size - a)) return 0;
    return Z7_ModbusMap(function, n, a);
}

bool WriteInhibited(uint32_t n) {
    const DprConfigRec &c = Dpr_Configuration[n == 1 ? 1 : 0];
    uint32_t ref = c.modbus.map_word;
    if (IecMapping() && PlcReg_IsIecHandle(c.modbus_iec.map_word)) ref = c.modbus_iec.map_word;
    if (ref == 0) return false;
    uint8_t v[4] = {};
    if (PlcReg_Get(v, ref, 1) == 0) return false;
    return (v[0] & 1) != 0;
}

// The server's access for the Modbus core: the register bridge under the
// mapping in force. A read waits in connection k's slot for the image of
// the next scan; its answer is built then.
struct TcpAccess {
    uint32_t n;
    unsigned k;
    const uint8_t *f;  // the request's frame
    EtnReq req;        // the located range
};

uint8_t TcpAdmit(void *p, uint8_t fc) {
    return MbPdu_IsWrite(fc) && WriteInhibited(static_cast<TcpAccess *>(p)->n) ? MB_EX_ILLEGAL_FUNCTION : 0;
}

[[gnu::always_inline]] inline uint8_t TcpLocate(void *p, uint8_t fc, uint32_t a, uint32_t q, uint32_t) {
    TcpAccess &t = *static_cast<TcpAccess *>(p);
    const uint32_t ref = Reference(t.n, fc, a, q);
    if (ref == 0) return MB_EX_ILLEGAL_DATA_ADDRESS;
    t.req = EtnReq{ref, MbPdu_Bits(fc) ? q : 16 * q};
    return EtnValidateReq(&t.req) != 0 ? MB_EX_ILLEGAL_DATA_ADDRESS : 0;
}

uint8_t TcpRead(void *p, uint8_t fc, uint32_t, uint8_t *, uint32_t) {
    const TcpAccess &t = *static_cast<TcpAccess *>(p);
    const uint32_t handle = Dpr_Add_Req(&t.req, 0, 0, 0);
    if (handle == 0) return MB_SILENT;
    ModbusServer &s = ServerOf(t.n);
    ModbusSlot &slot = s.slots[t.k];
    slot.reference = t.req.reference;
    slot.bits = t.req.count;
    slot.handle = uint8_t(handle);
    slot.function = fc;
    slot.unit = t.f[MB_MBAP_UNIT];
    slot.transaction = BE_Get16(t.f + MB_MBAP_TRANSACTION);
    slot.read_pending = 1;
    s.reads = 1;
    pass_work.reads = 1;  // answered after the scan
    return MB_SILENT;
}

uint8_t TcpWrite(void *p, uint8_t fc, uint32_t q, const uint8_t *in, uint32_t) {
    const TcpAccess &t = *static_cast<TcpAccess *>(p);
    // The image holds registers low byte first.
    std::array<uint8_t, MODBUS_RX_MAX> data;
    if (MbPdu_Bits(fc)) {
        std::memcpy(data.data(), in, (q + 7) / 8);
    } else {
        for (uint32_t i = 0; i < q; i++) LE_Put16(&data[2 * i], BE_Get16(in + 2 * i));
    }
    Dpr_Data_Block(t.req.reference, t.req.count, data.data(), 1, 1);
    return Dpr_Add_Req(&t.req, 1, 0, 0) == 0 ? MB_SILENT : 0;
}

constexpr MbAccess kTcpAccess{TcpAdmit, TcpLocate, TcpRead, TcpWrite};

// The server's answers: reads whose answer fits its byte count (2,040 bits,
// 127 registers), over it exception 2; multiple writes of any quantity whose
// data the frame holds, else exception 2, whatever their byte count says,
// before the range; nothing to a request short of its fields; a coil's echo
// with its value's high byte and 0.
constexpr MbRules kTcpRules{
    MbPdu_Set({MB_READ_COILS, MB_READ_DISCRETE_INPUTS, MB_READ_HOLDING_REGISTERS, MB_READ_INPUT_REGISTERS,
               MB_WRITE_SINGLE_COIL, MB_WRITE_SINGLE_REGISTER, MB_READ_EXCEPTION_STATUS, MB_WRITE_MULTIPLE_COILS,
               MB_WRITE_MULTIPLE_REGISTERS}),
    8 * MB_COUNT_MAX,
    MB_COUNT_MAX / 2,
    MB_NO_LIMIT,
    MB_NO_LIMIT,
    MB_EX_ILLEGAL_DATA_ADDRESS,
    0,
    MB_EX_ILLEGAL_DATA_ADDRESS,
    MB_RULE_COIL_ECHO_HIGH,
};

// Sends len bytes of ModbusTxMsg to slot k: 0 sent (or a datagram given up),
// 1 failed and to be tried again. A TCP answer that does not go out whole
// closes the connection: the peer would get a cut frame, and a resend would
// follow it with a whole one.
uint32_t SendResponse(unsigned k, uint32_t len, ModbusServer &s, bool udp) {
    if (len == 0) return 0;
    if (!udp) {
        NX_TCP_SOCKET &sock = s.slots[k].socket;
        const uint32_t r = NxServerSend(&sock, ModbusPacketPoolPtr, ModbusTxMsg.data(), len, sock.mss);
        if (r == NX_SUCCESS) return 0;
        if (r != NX_NO_PACKET) ModbusDisconnect(&sock);  // no packet: nothing went out, tried again
        return 1;
    }
    for (uint32_t off = 0; off < len; off += kUdpPiece) {
        const uint32_t n = std::min(kUdpPiece, len - off);
        NX_PACKET *pk = nullptr;
        if (_nx_packet_allocate(ModbusPacketPoolPtr, &pk, 44, 0) != NX_SUCCESS) return 1;
        if (_nx_packet_data_append(pk, ModbusTxMsg.data() + off, n, ModbusPacketPoolPtr, 0) != NX_SUCCESS) {
            _nx_packet_release(pk);
            return 1;
        }
        // A datagram the network refuses (no route back to its sender) is
        // given up like one lost on the way: a read kept for it would hold
        // back every later datagram, of every sender, for as long as that
        // sender cannot be reached. Its sender asks again.
        if (_nx_udp_socket_send(&s.udp, pk, s.udp_address, s.udp_port) != NX_SUCCESS) return 0;
    }
    return 0;
}

uint32_t SocketListen(ModbusServer &s, uint16_t port) {
    if (port == 0) return 1;
    bool left = false;  // a record that could not listen stays free
    for (auto &slot : s.slots) {
        NX_TCP_SOCKET &sock = slot.socket;
        if (sock.state != NX_TCP_CREATED) continue;
        if (s.listening) {
            const uint32_t r = _nx_tcp_server_socket_relisten(s.ip, s.port, &sock);
            if (r == NX_SUCCESS) return 0;
            if (r == NX_ALREADY_BOUND) _nx_tcp_server_socket_unaccept(&sock);
            left = true;
            continue;
        }
        if (_nx_tcp_server_socket_listen(s.ip, port, &sock, 0, ModbusConnect) == NX_SUCCESS) {
            s.listening = 1;
            s.port = port;
            return 0;
        }
        left = true;
    }
    s.free = left ? 1 : 0;
    return 1;
}

void Drain(NX_TCP_SOCKET &sock) {
    NX_PACKET *pk = nullptr;
    while (_nx_tcp_socket_receive(&sock, &pk, 0) == NX_SUCCESS) _nx_packet_release(pk);
}

// The MBAP header's big-endian length field counts the bytes after it, from
// the unit byte on.
constexpr NxFraming kFraming{MB_MBAP_UNIT, MB_MBAP_LENGTH, 2, true, MB_MBAP_UNIT, MODBUS_RX_MAX};

// Takes what connection k has and serves one whole request when there is one.
void StepSlot(uint32_t n, ModbusServer &s, unsigned k, uint32_t now) {
    ModbusSlot &slot = s.slots[k];
    uint32_t len = 0;
    switch (NxServerTake(&slot.socket, kFraming, slot.rx, slot.rx_len, &len, &slot.last_activity, now)) {
    case NX_FRAME_WHOLE: break;
    case NX_FRAME_NONE:
        if (now - slot.last_activity > MODBUS_IDLE_MS) ModbusDisconnect(&slot.socket);
        return;
    case NX_FRAME_BAD:  // a request no buffer can hold: not a Modbus peer
        ModbusDisconnect(&slot.socket);
        return;
    default: return;
    }
    slot.taken = 1;
    slot.last_request = now;
    slot.requested = 1;
    s.took = 1;
    std::memcpy(ModbusRxBuff.data(), slot.rx.data(), len);
    NxServerConsume(slot.rx, slot.rx_len, len);
    // What follows the request is served by this pass's or the next pass's step.
    if (slot.rx_len > 0 || NxRxReady(&slot.socket)) s.busy = 1;
    const uint32_t answer = ModbusRequest(n, k, len);
    if (answer) SendResponse(k, answer, s, false);
}

// Sends the answers of the reads waiting for them, from the image as it is now.
void AnswerReads(uint32_t n, ModbusServer &s, bool udp) {
    if (!s.reads) return;
    const unsigned count = udp ? 1 : MODBUS_SLOTS;
    bool waiting = false;
    for (unsigned k = 0; k < MODBUS_SLOTS; k++) {
        ModbusSlot &slot = s.slots[k];
        if (!slot.read_pending) continue;
        if (k < count && (udp || slot.socket.state == NX_TCP_ESTABLISHED) &&
            (Dpr_Chk_Rd_Pending() & slot.handle) == 0) {
            const uint32_t len = ModbusReadAnswer(n, k);
            if (SendResponse(k, len, s, udp) == 0) slot.read_pending = 0;
        }
        waiting |= slot.read_pending != 0;
    }
    s.reads = waiting ? 1 : 0;
    if (waiting) pass_work.reads = 1;
}

// Whether the Modbus service of interface n is switched on in its
// configuration record (interface 1 has its own record, every other
// interface number reads record 0).
bool ServiceOn(uint32_t n) { return (Dpr_Configuration[n == 1 ? 1 : 0].enables[0] & EN0_MODBUS) != 0; }

// Whether the TCP server of interface n serves requests now.
bool TcpServing(uint32_t n, const ModbusServer &s) {
    return s.ip != nullptr && ModbusCfg(n).mode == 0 && LE_Get16(Dpr_Map_Ptr + DPR_RUN) != 0 && s.listening &&
           ServiceOn(n);
}

}  // namespace

ModbusSettings ModbusCfg(uint32_t n) {
    const DprConfigRec &c = Dpr_Configuration[n == 1 ? 1 : 0];
    if (IecMapping()) return {c.modbus_iec.map_word, c.modbus_iec.udp_mode, c.modbus_iec.port, true};
    return {c.modbus.map_word, c.modbus.udp_mode, c.modbus.port, false};
}

uint32_t ModbusMapToken(uint32_t fc, uint32_t a, uint32_t q) {
    uint32_t r = 0;
    switch (fc) {
    case MB_READ_COILS:
    case MB_WRITE_SINGLE_COIL:
    case MB_WRITE_MULTIPLE_COILS:
        if (a < 3000) return (r = 10240 + a) < T_token ? r : 0;
        if (a < 6000) return M_token + a - 3000;
        if (a < 9000) return (r = T_token + a - 6000) < M_token ? r : 0;
        if (a < 10000) return (r = a - 7720) < 1536 ? r : 0;
        return 0;
    case MB_READ_DISCRETE_INPUTS:
        if (a < 3000) return (r = 8192 + a) < 10240 ? r : 0;
        if (a < 4000) return (r = a - 1976) < 1280 ? r : 0;
        if (a < 5000) return (r = a - 2464) < 1792 ? r : 0;
        if (a < 6000) return (r = a - 3208) < 2048 ? r : 0;
        return 0;
    case MB_READ_HOLDING_REGISTERS:
    case MB_WRITE_SINGLE_REGISTER:
    case MB_WRITE_MULTIPLE_REGISTERS:
        if (a < 512) return 24576 + 16 * a;
        if (a < 3000) return a + q <= 3000 ? 24576 + 16 * a : 0;
        if (a < 6000) return 16 * a - 15232;
        if (a < 10000) return (r = 16 * a - 93440) < 3072 ? r : 0;
        if (a < 20240) return 16 * a - 127232;
        return 0;
    case MB_READ_INPUT_REGISTERS:
        if (a < 3000) return (r = 16384 + 16 * a) < 24576 ? r : 0;
        if (a < 4000) return (r = 16 * a - 45952) < 2560 ? r : 0;
        if (a < 5000) return (r = 16 * a - 60928) < 6144 ? r : 0;
        return 0;
    default: return 0;
    }
}

uint32_t Z7_ModbusMap(uint32_t fc, uint32_t iface, uint32_t a) {
    DprModbusIec &m = Dpr_Configuration[iface == 1 ? 1 : 0].modbus_iec;
    const unsigned t = IecTable(fc);
    if (t >= 2) return m.words[t] + a;
    m.words[t] |= REG_IEC_HANDLE;
    const uint32_t h = m.words[t];
    const uint32_t type = (h >> 26) & 7;
    if (type == 1 || type == 2 || (h & (1u << 29))) return h + a;
    return 0;
}

uint32_t ModbusRequest(uint32_t n, unsigned k, uint32_t size) {
    const uint8_t *f = ModbusRxBuff.data();
    if (size < MB_MBAP_UNIT || size > MODBUS_RX_MAX) return 0;
    const uint32_t len = BE_Get16(f + MB_MBAP_LENGTH);
    if (len > size - MB_MBAP_UNIT || len < 2) return 0;  // incomplete, or no function code
    TcpAccess access{n, k, f, {}};
    uint8_t *t = ModbusTxMsg.data();
    const uint32_t pdu = MbPdu_Serve(kTcpRules, kTcpAccess, &access, f + MB_MBAP_PDU, len - 1, t + MB_MBAP_PDU);
    if (pdu == 0) return 0;
    t[MB_MBAP_TRANSACTION] = f[MB_MBAP_TRANSACTION];
    t[MB_MBAP_TRANSACTION + 1] = f[MB_MBAP_TRANSACTION + 1];
    BE_Put16(t + MB_MBAP_PROTOCOL, 0);
    BE_Put16(t + MB_MBAP_LENGTH, uint16_t(1 + pdu));
    t[MB_MBAP_UNIT] = f[MB_MBAP_UNIT];
    return MB_MBAP_PDU + pdu;
}

uint32_t ModbusReadAnswer(uint32_t n, unsigned k) {
    const ModbusSlot &slot = ServerOf(n).slots[k];
    const bool bits = slot.function <= MB_READ_DISCRETE_INPUTS;
    const uint32_t count = bits ? (slot.bits + 7) / 8 : slot.bits / 8;
    uint8_t *t = ModbusTxMsg.data();
    BE_Put16(t + MB_MBAP_TRANSACTION, slot.transaction);
    BE_Put16(t + MB_MBAP_PROTOCOL, 0);
    BE_Put16(t + MB_MBAP_LENGTH, uint16_t(1 + MB_ANSWER_DATA + count));
    t[MB_MBAP_UNIT] = slot.unit;
    uint8_t *pdu = t + MB_MBAP_PDU;
    pdu[0] = slot.function;
    pdu[MB_ANSWER_COUNT] = uint8_t(count);
    uint8_t *data = pdu + MB_ANSWER_DATA;
    // The bridge writes every bit it reads (zeros for a refused range); the
    // last byte's bits past them stay 0.
    if (count != 0) data[count - 1] = 0;
    Dpr_Data_Block(slot.reference, slot.bits, data, 0, 1);
    if (!bits) {
        for (uint32_t i = 0; i + 1 < count; i += 2) std::swap(data[i], data[i + 1]);
    }
    return MB_MBAP_PDU + MB_ANSWER_DATA + count;
}

uint32_t Modbus_Init(NX_IP *ip, NX_PACKET_POOL *pool) {
    ModbusPacketPoolPtr = pool;
    const uint32_t n = IfaceOf(ip);
    ModbusServer &s = ServerOf(n);
    s.ip = ip;
    s.listening = 0;
    s.free = 1;
    s.udp_address = s.udp_port = 0;
    if (s.udp.fd == 0) s.udp.fd = -1;  // a record never created holds no descriptor
    for (auto &slot : s.slots) {
        ClearRequestState(slot);
        slot.last_activity = 0;
        const uint32_t r =
            _nx_tcp_socket_create(ip, &slot.socket, "modbus server", 0, 0, 128, 1024, nullptr, ModbusDisconnect);
        if (r != NX_SUCCESS) return 1;
        slot.socket.tally = &s.reports;
    }
    // A port not (yet) listened on, unset or refused, is tried again by every
    // scan; only sockets that cannot be made fail the start.
    const ModbusSettings cfg = ModbusCfg(n);
    if (cfg.mode == 0) SocketListen(s, cfg.port);
    return 0;
}

void ModbusConnect(NX_TCP_SOCKET *socket, uint32_t) {
    ModbusServer *s = nullptr;
    unsigned k = 0;
    if (NxServerAccept(socket) && Find(socket, s, k)) {
        ClearRequestState(s->slots[k]);
        s->slots[k].last_activity = s->slots[k].last_request = _tx_time_get();
        s->slots[k].requested = 0;
        s->free = 1;  // another record listens in its place
    }
}

void ModbusDisconnect(NX_TCP_SOCKET *socket) {
    NxServerClose(socket);
    ModbusServer *s = nullptr;
    unsigned k = 0;
    if (Find(socket, s, k)) {
        ClearRequestState(s->slots[k]);
        s->free = 1;  // the record listens again
    }
}

void Modbus_Stop(uint32_t n) {
    ModbusServer &s = ServerOf(n);
    if (s.ip == nullptr) return;
    const bool udp = ModbusCfg(n).mode != 0;
    if (udp || s.udp.bound) {
        NX_PACKET *pk = nullptr;
        while (s.udp.bound && _nx_udp_socket_receive(&s.udp, &pk, 0) == NX_SUCCESS) _nx_packet_release(pk);
    }
    for (auto &slot : s.slots) {
        if (slot.socket.state == NX_TCP_ESTABLISHED) Drain(slot.socket);
        if (slot.socket.state == NX_TCP_ESTABLISHED || slot.socket.state == NX_TCP_CLOSE_WAIT)
            ModbusDisconnect(&slot.socket);
        ClearRequestState(slot);
    }
    // The flag set with the datagram socket bound says that socket is open,
    // not that this server listens on the TCP port of that number, which
    // another server of the interface may hold: only a TCP listen is undone.
    const bool tcp_listening = s.listening && !s.udp.bound;
    // The unbind gives the datagram port back. The socket's descriptor
    // holds the port as long as it is open, so it is closed as well: kept,
    // it would go on taking datagrams that nobody reads, for good when TCP
    // is in force after the stop. The next scan in UDP mode creates the
    // socket anew.
    if (s.udp.bound) {
        _nx_udp_socket_unbind(&s.udp);
        _nx_udp_socket_delete(&s.udp);
    }
    if (tcp_listening) _nx_tcp_server_socket_unlisten(s.ip, s.port);
    s.listening = 0;
    s.free = 1;
}

void Modbus_Scan(uint32_t n) {
    PLAT_PollHarvest(false);  // input that came during this pass is read now
    ModbusServer &s = ServerOf(n);
    if (s.ip == nullptr) return;
    const ModbusSettings cfg = ModbusCfg(n);
    const bool udp = cfg.mode != 0;
    const bool run = LE_Get16(Dpr_Map_Ptr + DPR_RUN) != 0;
    if (!run) {
        if (s.listening) {
            if (!udp) {
                Modbus_Stop(n);
            } else {
                s.listening = 0;
                _nx_udp_socket_unbind(&s.udp);
                _nx_udp_socket_delete(&s.udp);
            }
        }
        return;
    }
    if (udp && !s.listening) {
        // The socket is made anew for each bind (a stop or the run flag closed it).
        if (_nx_udp_socket_create(s.ip, &s.udp, "modbus udp server", 0, 0, 128, 5) == NX_SUCCESS && cfg.port != 0 &&
            _nx_udp_socket_bind(&s.udp, cfg.port, 0) == NX_SUCCESS) {
            s.port = cfg.port;
            s.listening = 1;
            ClearRequestState(s.slots[0]);
        } else {
            _nx_udp_socket_delete(&s.udp);
            return;
        }
    }
    bool waits = false;
    if (!udp) {
        // Nothing to do, at the cost of a few branches: no record free to
        // listen with, no read waiting for its answer, nothing left unread,
        // no report on its connections or a listener since the connections'
        // last step, and no connection's idle time-out due.
        const uint32_t filed = s.reports;
        const bool on = ServiceOn(n);
        if (!(s.free && on) && !s.reads && !s.busy && filed == s.stepped && NxListenReports == s.listens &&
            (!s.timed || int32_t(_tx_time_get() - s.idle_due) < 0))
            return;
        s.stepped = filed;
        s.listens = NxListenReports;
        // With the service off, what the connections send is read and
        // dropped, and nothing is answered, listened, timed out or closed:
        // not even a connection given way to a newcomer. Only the socket the
        // start put to listening takes a client, so a port closed by a stop
        // stays closed until the service is on again.
        if (!on) {
            for (auto &slot : s.slots) {
                if (slot.socket.state == NX_TCP_ESTABLISHED && NxRxReady(&slot.socket)) Drain(slot.socket);
            }
            s.busy = s.timed = 0;
            return;
        }
        SocketListen(s, cfg.port);
        // A read waiting for its answer, or a whole request waiting behind
        // the one served, is a reply the client would lose.
        // A newcomer that waits for one is looked at again on the next pass.
        waits = NxServerDisplace(s.slots, _tx_time_get(), ModbusDisconnect, [](const ModbusSlot &slot) {
                    return slot.read_pending != 0 || NxServerRequestWaiting(kFraming, slot.rx.data(), slot.rx_len);
                }) == NX_DISPLACE_WAITS;
    }
    const uint32_t now = _tx_time_get();
    AnswerReads(n, s, udp);
    if (udp) {
        // A read still waiting for its answer keeps the sender's address.
        if (s.slots[0].read_pending) return;
        NX_PACKET *pk = nullptr;
        uint32_t address = 0, port = 0;
        if (_nx_udp_socket_receive_port_detail(&s.udp, &pk, &address, &port) != NX_SUCCESS) return;
        s.udp_address = address;
        s.udp_port = port;
        const uint32_t got = std::min<uint32_t>(pk->nx_packet_length, MODBUS_RX_MAX);
        std::memcpy(ModbusRxBuff.data(), pk->nx_packet_prepend_ptr, got);
        _nx_packet_release(pk);
        const uint32_t answer = ModbusRequest(n, 0, got);
        if (answer) SendResponse(0, answer, s, true);
        // A read is answered on the next pass: it does not wait for input.
        if (s.slots[0].read_pending) PLAT_PollWake();
        return;
    }
    bool busy = false, timed = false;
    uint32_t due = 0;
    for (unsigned k = 0; k < MODBUS_SLOTS; k++) {
        ModbusSlot &slot = s.slots[k];
        if (slot.socket.state != NX_TCP_ESTABLISHED) continue;
        // Requests after a read still waiting for its answer wait their turn.
        if (!slot.read_pending) {
            StepSlot(n, s, k, now);
            // A read taken during the pass is answered on the next one, which
            // does not wait for input. One taken after the loop's wait needs
            // no such call: its pass follows at once, and a wake left over
            // would make the pass after it start without waiting, for nothing.
            if (slot.read_pending) PLAT_PollWake();
            if (slot.socket.state != NX_TCP_ESTABLISHED) continue;
        }
        NxSlotSchedule(slot, MODBUS_IDLE_MS, busy, timed, due);
    }
    s.busy = busy || waits ? 1 : 0;
    s.timed = timed ? 1 : 0;
    s.idle_due = due;
}

uint32_t Modbus_Due(uint32_t n, uint32_t now) {
    const ModbusServer &s = ServerOf(n);
    if (s.ip == nullptr || LE_Get16(Dpr_Map_Ptr + DPR_RUN) == 0) return now + PASS_IDLE_MS;
    // A record free to listen is work only while the service is on.
    const bool listens = s.free && ServiceOn(n);
    if (DrevanoRuntime != 0 || ModbusCfg(n).mode != 0 || listens || s.reads || s.busy) return now;
    return s.timed ? s.idle_due : now + PASS_IDLE_MS;
}

void Modbus_AfterScan(uint32_t n) {
    ModbusServer &s = ServerOf(n);
    if (s.reads && TcpServing(n, s)) AnswerReads(n, s, false);
    if (s.reads) pass_work.reads = 1;  // still waiting: looked at again after the next scan
}

void Modbus_AfterWait(uint32_t n) {
    ModbusServer &s = ServerOf(n);
    if (s.ip == nullptr) return;
    NxServerAfterWait(s, TcpServing(n, s), [n, &s](unsigned k, uint32_t now) { StepSlot(n, s, k, now); });
}

uint32_t Modbus_Conn_Cnt(uint32_t n) {
    if (ModbusCfg(n).mode != 0) return 1;
    uint32_t c = 0;
    for (const auto &slot : ServerOf(n).slots) c += slot.socket.state == NX_TCP_ESTABLISHED;
    return c;
}

bool Modbus_KeepsPort(uint16_t port) {
    for (uint32_t n = 0; n < 2; n++) {
        const ModbusSettings cfg = ModbusCfg(n);
        if (ServiceOn(n) && cfg.mode == 0 && cfg.port == port) return true;
    }
    return false;
}

void Modbus_DeInit(NX_IP *ip) {
    if (IfaceOf(ip) == 0) return;
    ModbusServer &s = ServerOf(1);
    if (s.ip == nullptr) return;
    // Every connection ends and every socket goes, the port with them: the
    // server is gone until its next initialisation.
    for (auto &slot : s.slots) {
        if (slot.socket.state == NX_TCP_ESTABLISHED) ModbusDisconnect(&slot.socket);
        _nx_tcp_socket_delete(&slot.socket);
        ClearRequestState(slot);
    }
    if (s.listening && !s.udp.bound) _nx_tcp_server_socket_unlisten(s.ip, s.port);  // as at a stop
    _nx_udp_socket_delete(&s.udp);
    s.listening = 0;
    s.ip = nullptr;
}
