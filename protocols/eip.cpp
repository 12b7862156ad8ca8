// EtherNet/IP adapter. Each pass: listen, move the assembly data between the
// registers and the two data buffers, serve one encapsulation message per
// session, then run the connection slots: produce on their period, take one
// datagram per consuming slot, and apply time-outs.
#include "protocols/eip.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/image/bytes.h"
#include "core/image/passwork.h"
#include "core/image/tx.h"
#include "net/nx_server.h"
#include "platform/plat_net.h"
#include "protocols/eip_layout.h"

std::array<EipAdapter, 2> EipConnEth;
std::array<uint8_t, EIP_BUFF> EipRxBuff, EipTxBuff;
std::array<uint8_t, EIP_DATA_MAX> EipTxData, EipRxData;
uint32_t EipSession;
NX_PACKET_POOL *EipPacketPoolPtr;
const uint8_t Eip_Production_Path[6] = {0x20, 0x04, 0x24, 0x65, 0x30, 0x03};
const uint8_t Eip_Consumption_Path[6] = {0x20, 0x04, 0x24, 0x64, 0x30, 0x03};
uint16_t EipPortNumber = 44818, EipIoPortNumber = 2222;

namespace {

constexpr uint16_t kProduced = 101, kConsumed = 100;
// Bytes of an I/O connection's data before the assembly's: the sequence
// count, and on consumed data the run/idle header after it.
constexpr uint32_t kProducedHead = EIPIO_COUNT_BYTES, kConsumedHead = EIPIO_CONSUMED;
constexpr uint32_t kExplicitTimeoutMin = 10000;  // ms
// Messages are framed by the header's length of the data after it.
constexpr NxFraming kFraming{EIP_HDR, EIPH_LENGTH, 2, false, EIP_HDR, EIP_HDR + EIP_LENGTH_MAX};

EipAdapter &AdapterOf(uint32_t n) { return EipConnEth[n == 1 ? 1 : 0]; }
uint32_t IfaceOfCfg(const ObjConnCfg *cfg) { return (cfg->flags >> CIP_CFG_IFACE_SHIFT) & CIP_CFG_IFACE_MASK; }
uint32_t IfaceOf(const NX_IP *ip) { return (ip != nullptr && ip->nx_ip_interface == 1) ? 1 : 0; }
const DprConfigRec &ConfigOf(uint32_t n) { return Dpr_Configuration[n == 1 ? 1 : 0]; }
bool Running() { return LE_Get16(Dpr_Map_Ptr + DPR_RUN) != 0; }
uint32_t ProducedSize(uint32_t n) { return ConfigOf(n).eip[DPR_EIP_PRODUCED][DPR_EIP_SIZE]; }
uint32_t ConsumedSize(uint32_t n) { return ConfigOf(n).eip[DPR_EIP_CONSUMED][DPR_EIP_SIZE]; }

// The interface's hardware address, through the platform's interface calls.
void MacOf(uint32_t n, uint8_t *mac) {
    std::memset(mac, 0, 6);
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    struct ifreq ifr {};
    std::strncpy(ifr.ifr_name, n == 1 ? "eth1" : "eth0", IFNAMSIZ - 1);
    if (PLAT_NetIoctl(fd, SIOCGIFHWADDR, &ifr) == 0) std::memcpy(mac, ifr.ifr_hwaddr.sa_data, 6);
    close(fd);
}

bool Find(const NX_TCP_SOCKET *s, EipEncap *&out) {
    for (auto &a : EipConnEth) {
        for (auto &e : a.encap) {
            if (&e.socket == s) {
                out = &e;
                return true;
            }
        }
    }
    return false;
}

void RefreshSessions(EipAdapter &a, uint32_t now) {
    for (auto &e : a.encap) {
        if (e.socket.state == NX_TCP_ESTABLISHED) e.last_activity = now;
    }
}

bool IsGroup(uint32_t address) { return (address & 0xF0000000u) == 0xE0000000u; }

uint32_t Multicast(const NX_IP *ip) {
    const uint32_t host = ip->nx_ip_address & ~ip->nx_ip_network_mask;
    return 0xEFC00100u + 32u * ((host - 1) & 0x3FF);
}

void EipTcpSocketListen(EipAdapter &a) {
    for (const auto &e : a.encap) {
        if (e.socket.state == NX_TCP_LISTEN) return;
    }
    for (auto &e : a.encap) {
        NX_TCP_SOCKET &sock = e.socket;
        if (sock.state != NX_TCP_CREATED) continue;
        const uint32_t r = a.listening ? _nx_tcp_server_socket_relisten(a.ip, EipPortNumber, &sock)
                                       : _nx_tcp_server_socket_listen(a.ip, EipPortNumber, &sock, 0, EipTcpConnect);
        if (r == NX_SUCCESS) {
            a.listening = 1;
            return;
        }
        if (r == NX_ALREADY_BOUND) _nx_tcp_server_socket_unaccept(&sock);
    }
}

// Sends an answer of len bytes: 0 sent, 1 failed. One that does not go out
// whole closes the connection: the peer would get a cut frame, and what
// followed it would no longer be framed.
uint32_t Send(NX_TCP_SOCKET &sock, const uint8_t *p, uint32_t len) {
    const uint32_t r = NxServerSend(&sock, EipPacketPoolPtr, p, len, len);
    if (r == NX_SUCCESS) return 0;
    if (r != NX_NO_PACKET && sock.state == NX_TCP_ESTABLISHED) EipTcpDisconnect(&sock);
    return 1;
}

// A socket-address item {family 2, port, address (both big-endian), 8 zeros}.
uint32_t SockAddrItem(uint8_t *p, uint16_t type, uint16_t port, uint32_t address) {
    LE_Put16(p + CPFI_TYPE, type);
    LE_Put16(p + CPFI_LENGTH, CPFS_BYTES);
    uint8_t *d = p + CPFI_DATA;
    std::memset(d, 0, CPFS_BYTES);
    BE_Put16(d + CPFS_FAMILY, CPFS_INET);
    BE_Put16(d + CPFS_PORT, port);
    BE_Put32(d + CPFS_ADDRESS, address);
    return CPFI_DATA + CPFS_BYTES;
}

uint32_t UcummError(uint8_t *answer, uint8_t service, uint8_t general, uint8_t ext_words, const uint16_t *ext) {
    CipAnswer(answer, service, general);
    answer[CIP_REPLY_EXT_WORDS] = ext_words;
    for (unsigned i = 0; i < ext_words; i++) LE_Put16(answer + CIP_REPLY_DATA + 2 * i, ext[i]);
    return CIP_REPLY_DATA + 2u * ext_words;
}

uint32_t Status(uint8_t *t, uint32_t status) {
    LE_Put32(t + EIPH_STATUS, status);
    LE_Put16(t + EIPH_LENGTH, 0);
    return ENCAP_ANSWER;
}

uint32_t SendRRData(uint32_t n, uint8_t *m, uint32_t len, uint8_t *t) {
    const uint32_t data = len - EIP_HDR;
    if (data < EIPD_SEND_MIN || LE_Get32(m + EIPD_HANDLE) != 0) return Status(t, EIP_ST_MALFORMED);
    EipCpf cpf;
    if (EipCpfParse(m + EIPD_CPF, len - EIPD_CPF, &cpf) != 0 || cpf.addr_type != CPF_NULL ||
        cpf.data_type != CPF_UNCONN_DATA)
        return Status(t, EIP_ST_MALFORMED);
    EipAdapter &a = AdapterOf(n);
    for (auto &slot : a.slots) slot.fresh = 0;
    a.to_address = cpf.sock_type == CPF_TO_SOCKADDR && cpf.sock_port != 0 ? cpf.sock_addr : 0;
    // Interface handle, time-out and a null address item: zeros (the item
    // count is set last).
    std::memset(t + EIPD_HANDLE, 0, EIPR_ANSWER - EIPD_HANDLE);
    LE_Put16(t + EIPR_DATA + CPFI_TYPE, CPF_UNCONN_DATA);
    const uint32_t answer = Ucmm_Msg(n, m + EIPD_CPF + cpf.data_pos, cpf.data_len, t + EIPR_ANSWER);
    a.to_address = 0;
    assert(answer <= CIP_ANSWER_MAX);
    LE_Put16(t + EIPR_DATA + CPFI_LENGTH, uint16_t(answer));
    uint32_t pos = EIPR_ANSWER + answer;
    uint16_t count = 2;
    for (auto &slot : a.slots) {
        if (!slot.used || !slot.fresh) continue;
        slot.fresh = 0;
        if (slot.port == 0 || slot.address != 0) continue;
        if (slot.consuming) {
            // The O->T item alone: the T->O item belongs to the producing
            // half, which adds its own below. A second, multicast T->O item
            // for the consuming half would contradict it whenever that half
            // produces to the opener or to the address the request named,
            // and a scanner could take either.
            pos += SockAddrItem(t + pos, CPF_OT_SOCKADDR, slot.port, a.ip->nx_ip_address);
        } else {
            if (cpf.sock_type == CPF_TO_SOCKADDR && cpf.sock_port != 0 && cpf.sock_addr != 0) {
                slot.address = cpf.sock_addr;
                slot.port = cpf.sock_port;
            } else if (slot.cfg->to_params & CIP_NET_POINT) {
                slot.address = a.peer;
            } else {
                slot.address = Multicast(a.ip);
            }
            pos += SockAddrItem(t + pos, CPF_TO_SOCKADDR, slot.port, slot.address);
        }
        count++;
    }
    // Room for the largest answer and an address item per connection.
    static_assert(EIPR_ANSWER + CIP_ANSWER_MAX + (CPFI_DATA + CPFS_BYTES) * CIP_CONNECTIONS <= EIP_BUFF);
    assert(pos <= EIP_BUFF);
    LE_Put16(t + EIPD_CPF + CPF_COUNT, count);
    LE_Put16(t + EIPH_LENGTH, uint16_t(pos - EIP_HDR));
    return ENCAP_ANSWER;
}

uint32_t SendUnitData(uint32_t n, uint8_t *m, uint32_t len, uint8_t *t) {
    const uint32_t data = len - EIP_HDR;
    if (data < EIPD_SEND_MIN || LE_Get32(m + EIPD_HANDLE) != 0) return Status(t, EIP_ST_MALFORMED);
    EipCpf cpf;
    if (EipCpfParse(m + EIPD_CPF, len - EIPD_CPF, &cpf) != 0 || cpf.addr_type != CPF_CONN_ADDR ||
        cpf.data_type != CPF_CONN_DATA || cpf.data_len < 2)
        return Status(t, EIP_ST_MALFORMED);
    EipAdapter &a = AdapterOf(n);
    EipConnSlot *slot = nullptr;
    for (auto &s : a.slots) {
        if (s.used && s.conn != nullptr && s.conn->type == CIP_CONN_EXPLICIT && s.cfg->ot_id == cpf.conn_id) slot = &s;
    }
    if (slot == nullptr) return Status(t, EIP_ST_MALFORMED);
    // The connected data: u16 sequence count, then the explicit request.
    const uint8_t *d = m + EIPD_CPF + cpf.data_pos;
    const uint16_t count = LE_Get16(d);
    if (slot->seen && count != slot->count) return ENCAP_NONE;
    slot->seen = 1;
    slot->count = uint16_t(count + 1);
    slot->time = _tx_time_get();
    std::memset(t + EIPD_HANDLE, 0, EIPD_CPF - EIPD_HANDLE);
    LE_Put16(t + EIPD_CPF + CPF_COUNT, 2);
    LE_Put16(t + EIPU_ADDRESS + CPFI_TYPE, CPF_CONN_ADDR);
    LE_Put16(t + EIPU_ADDRESS + CPFI_LENGTH, CPFA_CONN_BYTES);
    LE_Put32(t + EIPU_ADDRESS + CPFI_DATA + CPFA_CONN_ID, slot->cfg->to_id);
    LE_Put16(t + EIPU_DATA + CPFI_TYPE, CPF_CONN_DATA);
    LE_Put16(t + EIPU_COUNT, count);
    const CipRequest req{0, 0, 0, 0, uint16_t(cpf.data_len - 2), d + 2, uint8_t(n)};
    const uint32_t answer = Conn_Put_Data(req, t + EIPU_ANSWER, slot->conn);
    LE_Put16(t + EIPU_DATA + CPFI_LENGTH, uint16_t(EIPU_ANSWER - EIPU_COUNT + answer));
    LE_Put16(t + EIPH_LENGTH, uint16_t(EIPU_ANSWER + answer - EIP_HDR));
    return ENCAP_ANSWER;
}

// Takes a free slot and a Connection instance: null when none is free.
EipConnSlot *TakeSlot(EipAdapter &a, ObjConnCfg *cfg) {
    for (auto &s : a.slots) {
        if (s.used) continue;
        ObjConnection *conn = nullptr;
        if (Connection_Inst_Allocate(&conn) != 0) return nullptr;
        s = EipConnSlot{};
        s.udp.fd = -1;
        s.used = 1;
        s.cfg = cfg;
        s.conn = conn;
        s.time = _tx_time_get();
        return &s;
    }
    return nullptr;
}

// Closes the slots of a connection.
void CloseSlots(EipAdapter &a, const ObjConnCfg *cfg) {
    for (auto &s : a.slots) {
        if (!s.used || s.cfg != cfg) continue;
        _nx_udp_socket_delete(&s.udp);
        if (s.conn != nullptr && s.conn->type == CIP_CONN_EXPLICIT) {
            if (a.explicit_count) a.explicit_count--;
        } else if (a.io_count) {
            a.io_count--;
        }
        if (s.conn != nullptr) Connection_Inst_Free(s.conn);
        s = EipConnSlot{};
        s.udp.fd = -1;
    }
}

uint32_t OpenFail(EipAdapter &a, ObjConnCfg *cfg, uint8_t general, uint16_t extended) {
    cfg->general = general;
    cfg->extended = extended;
    CloseSlots(a, cfg);
    return 1;
}

// Does another slot of the adapter consume on the I/O port?
bool PortHeld(const EipAdapter &a, const EipConnSlot *self) {
    for (const auto &o : a.slots) {
        if (&o != self && o.used && o.consuming && o.port != 0) return true;
    }
    return false;
}

// Does the path name class 4 and the assembly instance as its connection
// point or instance: first path for consuming, last for producing.
bool PathNames(const ObjConnCfg *cfg, bool consuming, uint16_t instance) {
    EpathResult r;
    if (Epath_Parse(cfg->path.data(), &r, 2u * cfg->path_words) != 0 || r.count == 0) return false;
    const EpathApp &p = consuming ? r.app[0] : r.app[r.count - 1];
    if (!(p.has & EPATH_CLASS) || p.cls != CIP_CLASS_ASSEMBLY) return false;
    return ((p.has & EPATH_POINT) && p.point == instance) ||
           (!(p.has & EPATH_POINT) && (p.has & EPATH_INSTANCE) && p.instance == instance);
}

}  // namespace

uint32_t EipCpfParse(const uint8_t *p, uint32_t len, EipCpf *out) {
    *out = EipCpf{};
    if (len < CPF_ITEMS) return 1;
    const uint16_t count = LE_Get16(p + CPF_COUNT);
    if (count < 2) return 1;
    uint32_t pos = CPF_ITEMS;
    for (unsigned i = 0; i < count; i++) {
        if (pos + CPFI_DATA > len) return 1;
        const uint16_t type = LE_Get16(p + pos + CPFI_TYPE);
        const uint16_t ilen = LE_Get16(p + pos + CPFI_LENGTH);
        if (pos + CPFI_DATA + ilen > len) return 1;
        const uint8_t *d = p + pos + CPFI_DATA;
        switch (type) {
        case CPF_NULL:
            if (ilen != 0) return 1;
            out->addr_type = type;
            break;
        case CPF_CONN_ADDR:
            if (ilen != CPFA_CONN_BYTES) return 1;
            out->addr_type = type;
            out->conn_id = LE_Get32(d + CPFA_CONN_ID);
            break;
        case CPF_SEQ_ADDR:
            if (ilen != CPFA_SEQ_BYTES) return 1;
            out->addr_type = type;
            out->conn_id = LE_Get32(d + CPFA_CONN_ID);
            out->sequence = LE_Get32(d + CPFA_SEQUENCE);
            break;
        case CPF_CONN_DATA:
        case CPF_UNCONN_DATA:
            out->data_type = type;
            out->data_len = ilen;
            out->data_pos = pos + CPFI_DATA;
            break;
        case CPF_OT_SOCKADDR:
        case CPF_TO_SOCKADDR:
            if (ilen != CPFS_BYTES) return 1;
            out->sock_type = type;
            out->sock_port = BE_Get16(d + CPFS_PORT);
            out->sock_addr = BE_Get32(d + CPFS_ADDRESS);
            break;
        default: return 1;
        }
        pos += CPFI_DATA + ilen;
    }
    return 0;
}

uint32_t Ucmm_Msg(uint32_t n, uint8_t *req, uint32_t len, uint8_t *answer) {
    if (len < CIP_REQ_PATH) return UcummError(answer, len ? req[CIP_REQ_SERVICE] : 0, CIP_PATH, 0, nullptr);
    const uint8_t service = req[CIP_REQ_SERVICE];
    if (service != CIP_GET_SINGLE && service != CIP_SET_SINGLE && service != CIP_FWD_CLOSE && service != CIP_FWD_OPEN)
        return UcummError(answer, service, CIP_UNSUPPORTED, 0, nullptr);
    const uint32_t path = 2u * req[CIP_REQ_PATH_WORDS];
    if (CIP_REQ_PATH + path > len) return UcummError(answer, service, CIP_PATH, 0, nullptr);
    // The second interface's objects are its instance 2: with 8-bit class and
    // instance segments, the instance number is the path's fourth byte.
    constexpr uint32_t kInstance = CIP_REQ_PATH + 3;
    if (n == 1 && len > kInstance) req[kInstance] = 2;
    EpathResult r;
    if (Epath_Parse(req + CIP_REQ_PATH, &r, path) != 0 || r.count == 0)
        return UcummError(answer, service, CIP_PATH, 0, nullptr);
    const CipRequest cr{service,
                        r.app[0].cls,
                        r.app[0].instance,
                        r.app[0].attribute,
                        uint16_t(len - CIP_REQ_PATH - path),
                        req + CIP_REQ_PATH + path,
                        uint8_t(n)};
    return Message_Router_Service(cr, answer);
}

uint32_t EipFrameLength(const EipEncap &e) { return NxFrameLength(kFraming, e.rx.data(), e.rx_len); }

uint32_t EncapMsg(uint32_t n, uint32_t len) {
    uint8_t *m = EipRxBuff.data();
    uint8_t *t = EipTxBuff.data();
    if (len < EIP_HDR || len > EipRxBuff.size()) return ENCAP_NONE;
    // The answer's header: the command, session handle and sender context
    // copied, status, length and options 0.
    std::memset(t, 0, EIP_HDR);
    std::memcpy(t + EIPH_COMMAND, m + EIPH_COMMAND, 2);
    std::memcpy(t + EIPH_SESSION, m + EIPH_SESSION, 4);
    std::memcpy(t + EIPH_CONTEXT, m + EIPH_CONTEXT, EIPH_CONTEXT_BYTES);
    switch (LE_Get16(m + EIPH_COMMAND)) {
    case EIP_NOP: return ENCAP_NONE;
    case EIP_LIST_SERVICES: {
        uint8_t *d = t + EIP_HDR;
        std::memset(d, 0, EIPL_BYTES);
        LE_Put16(d + CPF_COUNT, 1);
        LE_Put16(d + CPF_ITEMS + CPFI_TYPE, EIPL_TYPE);
        LE_Put16(d + CPF_ITEMS + CPFI_LENGTH, EIPL_ITEM_BYTES);
        LE_Put16(d + EIPL_VERSION, EIP_ENCAP_VERSION);
        LE_Put16(d + EIPL_FLAGS, EIPL_CIP_OVER_TCP);
        std::memcpy(d + EIPL_NAME, "Communications", 14);
        LE_Put16(t + EIPH_LENGTH, EIPL_BYTES);
        return ENCAP_ANSWER;
    }
    case EIP_REGISTER:
        LE_Put32(t + EIPH_SESSION, ++EipSession);
        LE_Put16(t + EIPD_VERSION, EIP_ENCAP_VERSION);
        LE_Put16(t + EIPD_REG_OPTIONS, 0);
        LE_Put16(t + EIPH_LENGTH, EIPD_REGISTER_BYTES);
        return ENCAP_ANSWER;
    case EIP_UNREGISTER: return ENCAP_CLOSE;
    case EIP_SEND_RR: return SendRRData(n, m, len, t);
    case EIP_SEND_UNIT: return SendUnitData(n, m, len, t);
    default: return Status(t, EIP_ST_COMMAND);
    }
}

uint32_t EipConnectionOpen(ObjConnCfg *cfg) {
    const uint32_t n = IfaceOfCfg(cfg);
    EipAdapter &a = AdapterOf(n);
    const uint8_t cls = cfg->trigger & CIP_TRIGGER_CLASS;
    if (cls == CIP_TRANSPORT_EXPLICIT) {
        EipConnSlot *s = TakeSlot(a, cfg);
        if (s == nullptr) return OpenFail(a, cfg, CIP_CONN_FAILURE, CIP_EXT_NO_RECORD);
        s->conn->type = CIP_CONN_EXPLICIT;
        a.explicit_count++;
        ObjConnection &c = *s->conn;
        c.type = CIP_CONN_EXPLICIT;
        c.trigger = cfg->trigger;
        c.produced_id = cfg->to_id;
        c.consumed_id = cfg->ot_id;
        c.produced_size = cfg->to_params & CIP_NET_SIZE;
        c.consumed_size = cfg->ot_params & CIP_NET_SIZE;
        c.rate = uint16_t(cfg->ot_rpi / 1000);
        Connection_Inst_Ready(&c);
        s->period = cfg->ot_rpi / 1000;
        s->timeout = s->period * (4u << (cfg->multiplier & 7));
        if (s->timeout < kExplicitTimeoutMin) s->timeout = kExplicitTimeoutMin;
        return 0;
    }
    if (cls != CIP_TRANSPORT_IO) return OpenFail(a, cfg, CIP_CONN_FAILURE, CIP_EXT_CLASS);
    // Produced data goes to the host that asks for it or to a group, never
    // to a third host the request names: that would aim a stream of
    // datagrams at anyone.
    const uint32_t to = a.to_address;
    if ((cfg->to_params & CIP_NET_TYPE) != 0 && to != 0 && to != a.peer && !IsGroup(to))
        return OpenFail(a, cfg, CIP_CONN_FAILURE, CIP_EXT_BAD_ADDRESS);
    for (unsigned dir = 0; dir < 2; dir++) {
        const bool consuming = dir == 0;
        const uint16_t params = consuming ? cfg->ot_params : cfg->to_params;
        if ((params & CIP_NET_TYPE) == 0) continue;  // a null connection: nothing that way
        EipConnSlot *s = TakeSlot(a, cfg);
        if (s == nullptr) return OpenFail(a, cfg, CIP_CONN_FAILURE, CIP_EXT_NO_RECORD);
        s->conn->type = CIP_CONN_IO;
        a.io_count++;
        s->consuming = consuming ? 1 : 0;
        const uint32_t data = consuming ? ConsumedSize(n) : ProducedSize(n);
        // Data no assembly buffer can hold is refused with the size status.
        if (data > EIP_DATA_MAX || (params & CIP_NET_SIZE) != data + (consuming ? kConsumedHead : kProducedHead))
            return OpenFail(a, cfg, CIP_CONN_FAILURE, CIP_EXT_SIZE);
        if (!PathNames(cfg, consuming, consuming ? kConsumed : kProduced))
            return OpenFail(a, cfg, CIP_CONN_FAILURE, CIP_EXT_BAD_PATH);
        const uint32_t rpi = consuming ? cfg->ot_rpi : cfg->to_rpi;
        // The period is whole milliseconds; an RPI under one would give 0 and
        // the connection would send (or time out) at every pass of the main
        // loop, so one millisecond is the shortest.
        s->period = rpi < 1000 ? 1 : rpi / 1000;
        ObjConnection &c = *s->conn;
        c.type = CIP_CONN_IO;
        c.trigger = uint8_t(cfg->trigger | (consuming ? CIP_TRIGGER_CONSUMING : 0));
        c.produced_id = cfg->to_id;
        c.consumed_id = cfg->ot_id;
        c.produced_size = consuming ? 0 : uint16_t(data + kProducedHead);
        c.consumed_size = consuming ? uint16_t(data + kConsumedHead) : 0;
        c.rate = uint16_t(s->period);
        std::memcpy(c.produced_path.data(), Eip_Production_Path, 6);
        std::memcpy(c.consumed_path.data(), Eip_Consumption_Path, 6);
        Connection_Inst_Ready(&c);
        c.state = CipConnState::Established;
        const char *name = consuming ? "E/IP Recieve" : "E/IP Transmit";
        // Consumed data come to the one port 2222, which one consuming
        // connection holds at a time. The sockets reuse their address, so a
        // second one would bind it as well and take datagrams of the first,
        // dropping them there as another connection's: the first would time
        // out with its data lost. It is refused as a port already bound.
        if (consuming && PortHeld(a, s)) return OpenFail(a, cfg, CIP_RESOURCE, 0);
        if (_nx_udp_socket_create(a.ip, &s->udp, name, 0, 0, 128, 5) != NX_SUCCESS ||
            _nx_udp_socket_bind(&s->udp, consuming ? EipIoPortNumber : 0, 0) != NX_SUCCESS)
            return OpenFail(a, cfg, CIP_RESOURCE, 0);
        s->port = EipIoPortNumber;
        if (consuming) s->timeout = s->period * (4u << (cfg->multiplier & 7));
        s->fresh = 1;
    }
    return 0;
}

uint32_t EipConnectionClose(ObjConnCfg *cfg) {
    const uint32_t n = IfaceOfCfg(cfg);
    CloseSlots(AdapterOf(n), cfg);
    for (auto &mgr : ConnManagerPool) {
        for (auto &e : mgr.list) {
            if (e == cfg) e = nullptr;
        }
    }
    Conn_Cfg_Inst_Free(cfg);
    return 0;
}

void EipReset(uint8_t) {}

uint32_t EipProduce(uint32_t n, unsigned k, uint8_t *buf) {
    EipConnSlot &s = AdapterOf(n).slots[k];
    const uint32_t size = ProducedSize(n) <= EIP_DATA_MAX ? ProducedSize(n) : 0;
    LE_Put16(buf + CPF_COUNT, 2);
    uint8_t *addr = buf + EIPIO_ADDRESS, *data = buf + EIPIO_DATA;
    LE_Put16(addr + CPFI_TYPE, CPF_SEQ_ADDR);
    LE_Put16(addr + CPFI_LENGTH, CPFA_SEQ_BYTES);
    LE_Put32(addr + CPFI_DATA + CPFA_CONN_ID, s.cfg->to_id);
    LE_Put32(addr + CPFI_DATA + CPFA_SEQUENCE, s.sequence++);
    LE_Put16(data + CPFI_TYPE, CPF_CONN_DATA);
    LE_Put16(data + CPFI_LENGTH, uint16_t(size + kProducedHead));
    LE_Put16(data + CPFI_DATA, s.count++);
    std::memcpy(buf + EIPIO_PRODUCED, EipTxData.data(), size);
    return EIPIO_PRODUCED + size;
}

uint32_t EipConsume(uint32_t n, unsigned k, const uint8_t *d, uint32_t len, uint32_t now) {
    EipAdapter &a = AdapterOf(n);
    EipConnSlot &s = a.slots[k];
    const uint32_t size = ConsumedSize(n);
    // The whole datagram: item count, sequenced address item and data item
    // head (18 bytes), then the data item's O->T connection size (sequence
    // count, run/idle header, assembly): the assembly size + 24.
    if (size > EIP_DATA_MAX || len != EIPIO_DATA + CPFI_DATA + kConsumedHead + size) return 0;
    EipCpf cpf;
    if (EipCpfParse(d, len, &cpf) != 0 || cpf.addr_type != CPF_SEQ_ADDR || cpf.data_type != CPF_CONN_DATA ||
        cpf.data_len != size + kConsumedHead || cpf.conn_id != s.cfg->ot_id)
        return 0;
    // Sequence numbers compare over their wrap.
    if (s.seen && int32_t(cpf.sequence - s.sequence) < 0) return 0;
    s.seen = 1;
    s.sequence = cpf.sequence + 1;
    const uint8_t *p = d + cpf.data_pos;
    std::memcpy(a.run_idle.data(), p + EIPIO_RUN_IDLE, a.run_idle.size());
    std::memcpy(EipRxData.data(), p + EIPIO_CONSUMED, size);
    s.time = now;
    RefreshSessions(a, now);
    return 1;
}

uint32_t EipObjects(uint32_t n) {
    EipAdapter &a = AdapterOf(n);
    if (a.identity == nullptr) {
        if (n == 0) {
            Identity_Class_Init();
            Message_Router_Class_Init();
            Assembly_Class_Init();
            Connection_Class_Init();
            Conn_Manager_Class_Init();
            Conn_Cfg_Class_Init();
            TcpIp_Class_Init();
            Enet_Lnk_Class_Init();
        }
        uint8_t mac[6];
        MacOf(n, mac);
        if (Identity_Inst_Allocate(&a.identity) || Message_Router_Inst_Allocate(&a.router) ||
            Conn_Manager_Inst_Allocate(&a.manager) || Assembly_Inst_Allocate(&a.produced) ||
            Assembly_Inst_Allocate(&a.consumed) || TcpIp_Inst_Allocate(&a.tcpip) || Enet_Lnk_Inst_Allocate(&a.link))
            return 1;
        ObjIdentity &id = *a.identity;
        id.vendor = EIP_VENDOR_ID;
        id.device_type = 0;
        id.product_code = 20;
        id.major = 1;
        id.minor = 0;
        id.status = 0;
        id.serial = BE_Get32(mac + 2);
        id.name = Eip_Product_Name;
        id.reset = EipReset;
        a.tcpip->status = 1;
        a.tcpip->path = {2, 0, 0x20, 0xF6, 0x24, 0x01};
        a.link->speed = 100;
        a.link->flags = 3;
        std::memcpy(a.link->mac.data(), mac, 6);
        a.manager->open = EipConnectionOpen;
        a.manager->close = EipConnectionClose;
        a.produced->number = kProduced;
        a.produced->data = EipTxData.data();
        a.consumed->number = kConsumed;
        a.consumed->data = EipRxData.data();
        Message_Router_Class_Install(a.router, CIP_CLASS_IDENTITY, Identity_Service);
        Message_Router_Class_Install(a.router, CIP_CLASS_CONN_MGR, Conn_Manager_Service);
        Message_Router_Class_Install(a.router, CIP_CLASS_CONNECTION, Connection_Service);
        Message_Router_Class_Install(a.router, CIP_CLASS_ASSEMBLY, Assembly_Service);
        Message_Router_Class_Install(a.router, CIP_CLASS_TCPIP, TcpIp_Service);
        Message_Router_Class_Install(a.router, CIP_CLASS_LINK, Enet_Lnk_Service);
        Identity_Inst_Ready(a.identity);
        Message_Router_Inst_Ready(a.router);
        Conn_Manager_Inst_Ready(a.manager);
        Assembly_Inst_Ready(a.produced);
        Assembly_Inst_Ready(a.consumed);
        TcpIp_Inst_Ready(a.tcpip);
        Enet_Lnk_Inst_Ready(a.link);
    }
    const uint32_t ps = ProducedSize(n), cs = ConsumedSize(n);
    a.produced->member_bits[0] = uint16_t(ps <= EIP_DATA_MAX ? 8 * ps : 0);
    a.consumed->member_bits[0] = uint16_t(cs <= EIP_DATA_MAX ? 8 * cs : 0);
    return 0;
}

uint32_t Eip_Init(NX_IP *ip, NX_PACKET_POOL *pool) {
    EipPacketPoolPtr = pool;
    const uint32_t n = IfaceOf(ip);
    EipAdapter &a = AdapterOf(n);
    a.ip = ip;
    a.rx = EipRxBuff.data();
    a.tx = EipTxBuff.data();
    if (EipObjects(n) != 0) return 1;
    for (auto &s : a.slots) {
        if (s.used && s.cfg != nullptr) EipConnectionClose(s.cfg);
        s = EipConnSlot{};
        s.udp.fd = -1;
    }
    a.explicit_count = a.io_count = 0;
    a.listening = 0;
    a.to_address = 0;
    for (auto &e : a.encap) {
        e.rx_len = 0;
        if (_nx_tcp_socket_create(ip, &e.socket, "eip server", 0, 0, 128, EIP_BUFF, nullptr, EipTcpDisconnect) !=
            NX_SUCCESS)
            return 1;
        e.socket.tally = &a.reports;
    }
    // A service turned off does not listen; its scan listens once it is on.
    if (!(ConfigOf(n).enables[0] & EN0_EIP)) return 0;
    EipTcpSocketListen(a);
    return a.listening ? 0 : 1;
}

void EipTcpConnect(NX_TCP_SOCKET *socket, uint32_t) {
    EipEncap *e = nullptr;
    if (NxServerAccept(socket) && Find(socket, e)) {
        e->rx_len = 0;
        e->last_activity = e->last_request = _tx_time_get();
        e->requested = 0;
    }
}

void EipTcpDisconnect(NX_TCP_SOCKET *socket) {
    // The listening flag stays: the next listen shares the port's socket.
    NxServerClose(socket);
    EipEncap *e = nullptr;
    if (Find(socket, e)) e->rx_len = 0;
}

namespace {

// Takes what the session has and serves one whole message when there is one.
void StepSession(uint32_t n, EipEncap &e, uint32_t now) {
    uint32_t len = 0;
    switch (NxServerTake(&e.socket, kFraming, e.rx, e.rx_len, &len, &e.last_activity, now)) {
    case NX_FRAME_WHOLE: break;
    case NX_FRAME_NONE:
        if (now - e.last_activity > EIP_IDLE_MS) EipTcpDisconnect(&e.socket);
        return;
    case NX_FRAME_BAD:  // longer than any buffer: not an encapsulation peer
        EipTcpDisconnect(&e.socket);
        return;
    default: return;
    }
    e.last_request = now;
    e.requested = 1;
    // A point-to-point connection this message opens produces to its sender.
    AdapterOf(n).peer = e.socket.peer_address;
    std::memcpy(EipRxBuff.data(), e.rx.data(), len);
    NxServerConsume(e.rx, e.rx_len, len);
    const uint32_t r = EncapMsg(n, len);
    if (r == ENCAP_CLOSE)
        EipTcpDisconnect(&e.socket);
    else if (r == ENCAP_ANSWER)
        Send(e.socket, EipTxBuff.data(), EIP_HDR + LE_Get16(&EipTxBuff[EIPH_LENGTH]));
}

void TimeOut(EipConnSlot &s, uint32_t now) {
    if (s.conn == nullptr || s.conn->state != CipConnState::Established || now - s.time <= s.timeout) return;
    switch (s.conn->timeout_action) {
    case CIP_TIMEOUT_TO_TIMED_OUT: s.conn->state = CipConnState::TimedOut; break;
    case CIP_TIMEOUT_AUTO_RESET: s.time = now; break;
    default:
        s.cfg->flags |= CIP_CFG_TIMED_OUT;
        EipConnectionClose(s.cfg);
        break;
    }
}

}  // namespace

uint32_t Eip_Due(uint32_t n, uint32_t now) {
    if (AdapterOf(n).ip == nullptr || !(ConfigOf(n).enables[0] & EN0_EIP)) return now + PASS_IDLE_MS;
    return now;
}

namespace {
// The connections close with their datagram sockets, the sessions end and
// the encapsulation port closes.
void CloseAll(EipAdapter &a) {
    for (auto &s : a.slots) {
        if (s.used && s.cfg != nullptr) EipConnectionClose(s.cfg);
    }
    for (auto &e : a.encap) {
        if (e.socket.state == NX_TCP_ESTABLISHED) EipTcpDisconnect(&e.socket);
        _nx_tcp_socket_delete(&e.socket);
    }
    _nx_tcp_server_socket_unlisten(a.ip, EipPortNumber);
    a.listening = 0;
}
}  // namespace

void Eip_Scan(uint32_t n) {
    EipAdapter &a = AdapterOf(n);
    if (a.ip == nullptr) return;
    PLAT_PollHarvest(false);  // input that came during this pass is read now
    if (!(ConfigOf(n).enables[0] & EN0_EIP)) {
        // Turned off: the I/O connections and sessions end and the port
        // closes (a port that takes connections nobody answers leaves a
        // client waiting).
        if (a.listening) CloseAll(a);
        // Sessions are read and dropped when one of its descriptors reported
        // since the last drain.
        const uint32_t filed = a.reports;
        if (filed == a.drained) return;
        a.drained = filed;
        for (auto &e : a.encap) {
            NX_PACKET *pk = nullptr;
            while (e.socket.state == NX_TCP_ESTABLISHED && _nx_tcp_socket_receive(&e.socket, &pk, 0) == NX_SUCCESS)
                _nx_packet_release(pk);
        }
        return;
    }
    EipTcpSocketListen(a);
    // Messages are answered in the step that takes them, one a step: a
    // session is at work between passes while a whole message waits behind
    // the one served.
    NxServerDisplace(a.encap, _tx_time_get(), EipTcpDisconnect,
                     [](const EipEncap &e) { return NxServerRequestWaiting(kFraming, e.rx.data(), e.rx_len); });
    const DprConfigRec &c = ConfigOf(n);
    const uint32_t ps = ProducedSize(n), cs = ConsumedSize(n);
    a.produced->member_bits[0] = uint16_t(ps <= EIP_DATA_MAX ? 8 * ps : 0);
    a.consumed->member_bits[0] = uint16_t(cs <= EIP_DATA_MAX ? 8 * cs : 0);
    if (Running()) {
        const uint32_t produced = c.eip[DPR_EIP_PRODUCED][DPR_EIP_REF], consumed = c.eip[DPR_EIP_CONSUMED][DPR_EIP_REF];
        const uint32_t status = c.eip[DPR_EIP_RUN_IDLE][DPR_EIP_REF], bytes = c.eip[DPR_EIP_RUN_IDLE][DPR_EIP_SIZE];
        if (produced != 0 && ps <= EIP_DATA_MAX) Dpr_Data_Block(produced, 8 * ps, EipTxData.data(), 0, 0);
        if (consumed != 0 && cs <= EIP_DATA_MAX) Dpr_Data_Block(consumed, 8 * cs, EipRxData.data(), 1, 0);
        if (status != 0 && bytes != 0)
            Dpr_Data_Block(status, 8 * std::min<uint32_t>(bytes, a.run_idle.size()), a.run_idle.data(), 1, 0);
    } else {
        EipTxData.fill(0);
    }
    const uint32_t now = _tx_time_get();
    for (auto &e : a.encap) {
        if (e.socket.state == NX_TCP_ESTABLISHED) StepSession(n, e, now);
    }
    static std::array<uint8_t, EIPIO_PRODUCED + EIP_DATA_MAX> io;
    for (unsigned k = 0; k < a.slots.size(); k++) {
        EipConnSlot &s = a.slots[k];
        if (!s.used || s.conn == nullptr) continue;
        if (s.conn->type == CIP_CONN_EXPLICIT) {
            TimeOut(s, now);
            continue;
        }
        if (!s.consuming) {
            if (s.conn->state != CipConnState::Established || s.address == 0 || now - s.time < s.period) continue;
            s.time = now - s.time < 2 * s.period ? s.time + s.period : now;
            NX_PACKET *pk = nullptr;
            if (_nx_packet_allocate(EipPacketPoolPtr, &pk, 44, 0) != NX_SUCCESS) continue;
            const uint32_t len = EipProduce(n, k, io.data());
            if (_nx_packet_data_append(pk, io.data(), len, EipPacketPoolPtr, 0) != NX_SUCCESS) {
                _nx_packet_release(pk);
                continue;
            }
            _nx_udp_socket_send(&s.udp, pk, s.address, s.port);
            RefreshSessions(a, now);
            continue;
        }
        NX_PACKET *pk = nullptr;
        if (_nx_udp_socket_receive(&s.udp, &pk, 0) == NX_SUCCESS) {
            // In any state: a connection timed out (action 0) takes the
            // scanner's data again when they come, or its consumed registers
            // would stay frozen until the Forward_Close.
            EipConsume(n, k, pk->nx_packet_prepend_ptr, pk->nx_packet_length, now);
            _nx_packet_release(pk);
        }
        TimeOut(s, now);
    }
}

uint32_t Eip_Conn_Cnt(uint32_t n) {
    uint32_t c = 0;
    for (const auto &e : AdapterOf(n).encap) c += e.socket.state == NX_TCP_ESTABLISHED;
    return c;
}

void Eip_DeInit(NX_IP *ip) {
    if (IfaceOf(ip) == 0) return;
    EipAdapter &a = AdapterOf(1);
    if (a.ip == nullptr) return;
    CloseAll(a);
    a.ip = nullptr;
}
