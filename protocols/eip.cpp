// EtherNet/IP adapter. Each pass: listen, move the assembly data between the
// registers and the two data buffers, serve one encapsulation message per
// session, then run the connection slots: produce on their period, take one
// datagram per consuming slot, and apply time-outs.
#include "protocols/eip.h"

#include <cassert>
#include <cstring>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/image/bytes.h"
#include "core/image/tx.h"
#include "net/nx_server.h"
#include "platform/plat_net.h"

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

EipAdapter &AdapterOf(uint32_t n) { return EipConnEth[n == 1 ? 1 : 0]; }
uint32_t IfaceOf(const NX_IP *ip) { return (ip != nullptr && ip->nx_ip_interface == 1) ? 1 : 0; }
const DprConfigRec &ConfigOf(uint32_t n) { return Dpr_Configuration[n == 1 ? 1 : 0]; }
bool Running() { return LE_Get16(Dpr_Map_Ptr + DPR_RUN) != 0; }
uint32_t ProducedSize(uint32_t n) { return ConfigOf(n).eip[0][1]; }
uint32_t ConsumedSize(uint32_t n) { return ConfigOf(n).eip[1][1]; }

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
    LE_Put16(p, type);
    LE_Put16(p + 2, 16);
    std::memset(p + 4, 0, 16);
    BE_Put16(p + 4, 2);
    BE_Put16(p + 6, port);
    BE_Put32(p + 8, address);
    return 20;
}

uint32_t UcummError(uint8_t *answer, uint8_t service, uint8_t general, uint8_t ext_words, const uint16_t *ext) {
    answer[0] = uint8_t(service | 0x80);
    answer[1] = 0;
    answer[2] = general;
    answer[3] = ext_words;
    for (unsigned i = 0; i < ext_words; i++) LE_Put16(answer + 4 + 2 * i, ext[i]);
    return 4 + 2u * ext_words;
}

uint32_t Status(uint8_t *t, uint32_t status) {
    LE_Put32(t + 8, status);
    LE_Put16(t + 2, 0);
    return 1;
}

uint32_t SendRRData(uint32_t n, uint8_t *m, uint32_t len, uint8_t *t) {
    const uint32_t data = len - EIP_HDR;
    if (data < 8 || LE_Get32(m + 24) != 0) return Status(t, EIP_ST_MALFORMED);
    EipCpf cpf;
    if (EipCpfParse(m + 30, data - 6, &cpf) != 0 || cpf.addr_type != CPF_NULL || cpf.data_type != CPF_UNCONN_DATA)
        return Status(t, EIP_ST_MALFORMED);
    EipAdapter &a = AdapterOf(n);
    for (auto &slot : a.slots) slot.fresh = 0;
    std::memset(t + 24, 0, 16);
    LE_Put16(t + 36, CPF_UNCONN_DATA);
    const uint32_t answer = Ucmm_Msg(n, m + 30 + cpf.data_pos, cpf.data_len, t + 40);
    assert(answer <= CIP_ANSWER_MAX);
    LE_Put16(t + 38, uint16_t(answer));
    uint32_t pos = 40 + answer;
    uint16_t items = 2;
    for (auto &slot : a.slots) {
        if (!slot.used || !slot.fresh) continue;
        slot.fresh = 0;
        if (slot.port == 0 || slot.address != 0) continue;
        if (slot.consuming) {
            pos += SockAddrItem(t + pos, CPF_OT_SOCKADDR, slot.port, a.ip->nx_ip_address);
        } else {
            if (cpf.sock_type == CPF_TO_SOCKADDR && cpf.sock_port != 0 && cpf.sock_addr != 0) {
                slot.address = cpf.sock_addr;
                slot.port = cpf.sock_port;
            } else if (slot.cfg->to_params & 0x4000) {
                slot.address = a.peer;
            } else {
                slot.address = Multicast(a.ip);
            }
            pos += SockAddrItem(t + pos, CPF_TO_SOCKADDR, slot.port, slot.address);
        }
        items++;
    }
    // Room for the largest answer and an address item per connection.
    static_assert(40 + CIP_ANSWER_MAX + 20 * CIP_CONNECTIONS <= EIP_BUFF);
    assert(pos <= EIP_BUFF);
    LE_Put16(t + 30, items);
    LE_Put16(t + 2, uint16_t(pos - EIP_HDR));
    return 1;
}

uint32_t SendUnitData(uint32_t n, uint8_t *m, uint32_t len, uint8_t *t) {
    const uint32_t data = len - EIP_HDR;
    if (data < 8 || LE_Get32(m + 24) != 0) return Status(t, EIP_ST_MALFORMED);
    EipCpf cpf;
    if (EipCpfParse(m + 30, data - 6, &cpf) != 0 || cpf.addr_type != CPF_CONN_ADDR ||
        cpf.data_type != CPF_CONN_DATA || cpf.data_len < 2)
        return Status(t, EIP_ST_MALFORMED);
    EipAdapter &a = AdapterOf(n);
    EipConnSlot *slot = nullptr;
    for (auto &s : a.slots) {
        if (s.used && s.conn != nullptr && s.conn->type == 0 && s.cfg->ot_id == cpf.conn_id) slot = &s;
    }
    if (slot == nullptr) return Status(t, EIP_ST_MALFORMED);
    const uint8_t *d = m + 30 + cpf.data_pos;
    const uint16_t count = LE_Get16(d);
    if (slot->seen && count != slot->count) return 0;
    slot->seen = 1;
    slot->count = uint16_t(count + 1);
    slot->time = _tx_time_get();
    std::memset(t + 24, 0, 6);
    LE_Put16(t + 30, 2);
    LE_Put16(t + 32, CPF_CONN_ADDR);
    LE_Put16(t + 34, 4);
    LE_Put32(t + 36, slot->cfg->to_id);
    LE_Put16(t + 40, CPF_CONN_DATA);
    LE_Put16(t + 44, count);
    const CipRequest req{0, 0, 0, 0, uint16_t(cpf.data_len - 2), d + 2, uint8_t(n)};
    const uint32_t answer = Conn_Put_Data(req, t + 46, slot->conn);
    LE_Put16(t + 42, uint16_t(answer + 2));
    LE_Put16(t + 2, uint16_t(46 + answer - EIP_HDR));
    return 1;
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
        if (s.conn != nullptr && s.conn->type == 0) {
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

// Does the path name class 4 and the assembly instance as its connection
// point or instance: first path for consuming, last for producing.
bool PathNames(const ObjConnCfg *cfg, bool consuming, uint16_t instance) {
    EpathResult r;
    if (Epath_Parse(cfg->path.data(), &r, 2u * cfg->path_words) != 0 || r.count == 0) return false;
    const EpathApp &p = consuming ? r.app[0] : r.app[r.count - 1];
    if (!(p.has & EPATH_CLASS) || p.cls != CIP_CLASS_ASSEMBLY) return false;
    return ((p.has & EPATH_POINT) && p.point == instance) || (!(p.has & EPATH_POINT) && (p.has & EPATH_INSTANCE) &&
                                                              p.instance == instance);
}

}  // namespace

uint32_t EipCpfParse(const uint8_t *p, uint32_t len, EipCpf *out) {
    *out = EipCpf{};
    if (len < 2) return 1;
    const uint16_t count = LE_Get16(p);
    if (count < 2) return 1;
    uint32_t pos = 2;
    for (unsigned i = 0; i < count; i++) {
        if (pos + 4 > len) return 1;
        const uint16_t type = LE_Get16(p + pos);
        const uint16_t ilen = LE_Get16(p + pos + 2);
        if (pos + 4 + ilen > len) return 1;
        const uint8_t *d = p + pos + 4;
        switch (type) {
        case CPF_NULL:
            if (ilen != 0) return 1;
            out->addr_type = type;
            break;
        case CPF_CONN_ADDR:
            if (ilen != 4) return 1;
            out->addr_type = type;
            out->conn_id = LE_Get32(d);
            break;
        case CPF_SEQ_ADDR:
            if (ilen != 8) return 1;
            out->addr_type = type;
            out->conn_id = LE_Get32(d);
            out->sequence = LE_Get32(d + 4);
            break;
        case CPF_CONN_DATA:
        case CPF_UNCONN_DATA:
            out->data_type = type;
            out->data_len = ilen;
            out->data_pos = pos + 4;
            break;
        case CPF_OT_SOCKADDR:
        case CPF_TO_SOCKADDR:
            if (ilen != 16) return 1;
            out->sock_type = type;
            out->sock_port = BE_Get16(d + 2);
            out->sock_addr = BE_Get32(d + 4);
            break;
        default:
            return 1;
        }
        pos += 4 + ilen;
    }
    return 0;
}

uint32_t Ucmm_Msg(uint32_t n, uint8_t *req, uint32_t len, uint8_t *answer) {
    if (len < 2) return UcummError(answer, len ? req[0] : 0, CIP_PATH, 0, nullptr);
    const uint8_t service = req[0];
    if (service != CIP_GET_SINGLE && service != CIP_SET_SINGLE && service != CIP_FWD_CLOSE &&
        service != CIP_FWD_OPEN)
        return UcummError(answer, service, CIP_UNSUPPORTED, 0, nullptr);
    const uint32_t path = 2u * req[1];
    if (2 + path > len) return UcummError(answer, service, CIP_PATH, 0, nullptr);
    // The second interface's objects are its instance 2.
    if (n == 1 && len > 5) req[5] = 2;
    EpathResult r;
    if (Epath_Parse(req + 2, &r, path) != 0 || r.count == 0) return UcummError(answer, service, CIP_PATH, 0, nullptr);
    const CipRequest cr{service, r.app[0].cls, r.app[0].instance, r.app[0].attribute, uint16_t(len - 2 - path),
                        req + 2 + path, uint8_t(n)};
    return Message_Router_Service(cr, answer);
}

uint32_t EipFrameLength(const EipEncap &e) {
    if (e.rx_len < EIP_HDR) return 0;
    const uint32_t len = LE_Get16(&e.rx[2]);
    if (len > EIP_LENGTH_MAX) return 0xFFFFFFFF;
    return e.rx_len >= EIP_HDR + len ? EIP_HDR + len : 0;
}

uint32_t EncapMsg(uint32_t n, uint32_t len) {
    uint8_t *m = EipRxBuff.data();
    uint8_t *t = EipTxBuff.data();
    if (len < EIP_HDR || len > EipRxBuff.size()) return 0;
    std::memset(t, 0, EIP_HDR);
    std::memcpy(t, m, 2);
    std::memcpy(t + 4, m + 4, 4);
    std::memcpy(t + 12, m + 12, 8);
    switch (LE_Get16(m)) {
    case EIP_NOP:
        return 0;
    case EIP_LIST_SERVICES: {
        uint8_t *d = t + EIP_HDR;
        std::memset(d, 0, 26);
        LE_Put16(d, 1);
        LE_Put16(d + 2, 0x0100);
        LE_Put16(d + 4, 20);
        LE_Put16(d + 6, 1);
        LE_Put16(d + 8, 0x0020);
        std::memcpy(d + 10, "Communications", 14);
        LE_Put16(t + 2, 26);
        return 1;
    }
    case EIP_REGISTER:
        LE_Put32(t + 4, ++EipSession);
        LE_Put16(t + EIP_HDR, 1);
        LE_Put16(t + EIP_HDR + 2, 0);
        LE_Put16(t + 2, 4);
        return 1;
    case EIP_UNREGISTER:
        return 2;
    case EIP_SEND_RR:
        return SendRRData(n, m, len, t);
    case EIP_SEND_UNIT:
        return SendUnitData(n, m, len, t);
    default:
        return Status(t, EIP_ST_COMMAND);
    }
}

uint32_t EipConnectionOpen(ObjConnCfg *cfg) {
    const uint32_t n = (cfg->flags >> 3) & 7;
    EipAdapter &a = AdapterOf(n);
    const uint8_t cls = cfg->trigger & 0x0F;
    if (cls == 3) {
        EipConnSlot *s = TakeSlot(a, cfg);
        if (s == nullptr) return OpenFail(a, cfg, CIP_CONN_FAILURE, CIP_EXT_NO_RECORD);
        s->conn->type = 0;
        a.explicit_count++;
        ObjConnection &c = *s->conn;
        c.type = 0;
        c.trigger = cfg->trigger;
        c.produced_id = cfg->to_id;
        c.consumed_id = cfg->ot_id;
        c.produced_size = cfg->to_params & 0x1FF;
        c.consumed_size = cfg->ot_params & 0x1FF;
        c.rate = uint16_t(cfg->ot_rpi / 1000);
        Connection_Inst_Ready(&c);
        s->period = cfg->ot_rpi / 1000;
        s->timeout = s->period * (4u << (cfg->multiplier & 7));
        if (s->timeout < 10000) s->timeout = 10000;
        return 0;
    }
    if (cls != 1) return OpenFail(a, cfg, CIP_CONN_FAILURE, CIP_EXT_CLASS);
    for (unsigned dir = 0; dir < 2; dir++) {
        const bool consuming = dir == 0;
        const uint16_t params = consuming ? cfg->ot_params : cfg->to_params;
        if (((params >> 13) & 3) == 0) continue;
        EipConnSlot *s = TakeSlot(a, cfg);
        if (s == nullptr) return OpenFail(a, cfg, CIP_CONN_FAILURE, CIP_EXT_NO_RECORD);
        s->conn->type = 1;
        a.io_count++;
        s->consuming = consuming ? 1 : 0;
        const uint32_t data = consuming ? ConsumedSize(n) : ProducedSize(n);
        // Data no assembly buffer can hold is refused with the size status.
        if (data > EIP_DATA_MAX || (params & 0x1FF) != data + (consuming ? 6 : 2))
            return OpenFail(a, cfg, CIP_CONN_FAILURE, CIP_EXT_SIZE);
        if (!PathNames(cfg, consuming, consuming ? kConsumed : kProduced))
            return OpenFail(a, cfg, CIP_CONN_FAILURE, CIP_EXT_BAD_PATH);
        const uint32_t rpi = consuming ? cfg->ot_rpi : cfg->to_rpi;
        s->period = rpi / 1000;
        ObjConnection &c = *s->conn;
        c.type = 1;
        c.trigger = uint8_t(cfg->trigger | (consuming ? 0x80 : 0));
        c.produced_id = cfg->to_id;
        c.consumed_id = cfg->ot_id;
        c.produced_size = consuming ? 0 : uint16_t(data + 2);
        c.consumed_size = consuming ? uint16_t(data + 6) : 0;
        c.rate = uint16_t(s->period);
        std::memcpy(c.produced_path.data(), Eip_Production_Path, 6);
        std::memcpy(c.consumed_path.data(), Eip_Consumption_Path, 6);
        Connection_Inst_Ready(&c);
        c.state = 3;
        const char *name = consuming ? "E/IP Recieve" : "E/IP Transmit";
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
    const uint32_t n = (cfg->flags >> 3) & 7;
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
    LE_Put16(buf, 2);
    LE_Put16(buf + 2, CPF_SEQ_ADDR);
    LE_Put16(buf + 4, 8);
    LE_Put32(buf + 6, s.cfg->to_id);
    LE_Put32(buf + 10, s.sequence++);
    LE_Put16(buf + 14, CPF_CONN_DATA);
    LE_Put16(buf + 16, uint16_t(size + 2));
    LE_Put16(buf + 18, s.count++);
    std::memcpy(buf + 20, EipTxData.data(), size);
    return 20 + size;
}

uint32_t EipConsume(uint32_t n, unsigned k, const uint8_t *d, uint32_t len, uint32_t now) {
    EipAdapter &a = AdapterOf(n);
    EipConnSlot &s = a.slots[k];
    const uint32_t size = ConsumedSize(n);
    if (size > EIP_DATA_MAX || len != size + 24) return 0;
    EipCpf cpf;
    if (EipCpfParse(d, len, &cpf) != 0 || cpf.addr_type != CPF_SEQ_ADDR || cpf.data_type != CPF_CONN_DATA ||
        cpf.data_len != size + 6 || cpf.conn_id != s.cfg->ot_id)
        return 0;
    // Sequence numbers compare over their wrap.
    if (s.seen && int32_t(cpf.sequence - s.sequence) < 0) return 0;
    s.seen = 1;
    s.sequence = cpf.sequence + 1;
    const uint8_t *p = d + cpf.data_pos;
    a.run_idle[0] = p[2];
    a.run_idle[1] = p[3];
    std::memcpy(EipRxData.data(), p + 6, size);
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
    for (auto &e : a.encap) {
        e.rx_len = 0;
        if (_nx_tcp_socket_create(ip, &e.socket, "eip server", 0, 0, 128, EIP_BUFF, nullptr, EipTcpDisconnect) !=
            NX_SUCCESS)
            return 1;
        e.socket.tally = &a.reports;
    }
    EipTcpSocketListen(a);
    return a.listening ? 0 : 1;
}

void EipTcpConnect(NX_TCP_SOCKET *socket, uint32_t) {
    EipEncap *e = nullptr;
    if (NxServerAccept(socket) && Find(socket, e)) {
        e->rx_len = 0;
        e->last_activity = e->last_request = _tx_time_get();
    }
}

void EipTcpDisconnect(NX_TCP_SOCKET *socket) {
    // The listening flag stays: the next listen shares the port's socket.
    NxServerClose(socket);
    EipEncap *e = nullptr;
    if (Find(socket, e)) e->rx_len = 0;
}

namespace {

void StepSession(uint32_t n, EipEncap &e, uint32_t now) {
    EipAdapter &a = AdapterOf(n);
    uint32_t len = EipFrameLength(e);
    if (len == 0) {
        NX_PACKET *pk = nullptr;
        // Only a session the readiness set reported input on is read.
        if (!NxRxReady(&e.socket) || _nx_tcp_socket_receive(&e.socket, &pk, 0) != NX_SUCCESS) {
            if (now - e.last_activity > EIP_IDLE_MS) EipTcpDisconnect(&e.socket);
            return;
        }
        a.peer = e.socket.peer_address;
        e.last_activity = now;
        const uint32_t got = pk->nx_packet_length;
        if (e.rx_len + got > e.rx.size()) {
            _nx_packet_release(pk);
            EipTcpDisconnect(&e.socket);
            return;
        }
        std::memcpy(&e.rx[e.rx_len], pk->nx_packet_prepend_ptr, got);
        e.rx_len += got;
        _nx_packet_release(pk);
        len = EipFrameLength(e);
        if (len == 0) return;
    }
    if (len == 0xFFFFFFFF) {  // longer than any buffer: not an encapsulation peer
        EipTcpDisconnect(&e.socket);
        return;
    }
    e.last_request = now;
    std::memcpy(EipRxBuff.data(), e.rx.data(), len);
    std::memmove(e.rx.data(), e.rx.data() + len, e.rx_len - len);
    e.rx_len -= len;
    const uint32_t r = EncapMsg(n, len);
    if (r == 2) EipTcpDisconnect(&e.socket);
    else if (r == 1) Send(e.socket, EipTxBuff.data(), EIP_HDR + LE_Get16(&EipTxBuff[2]));
}

void TimeOut(EipAdapter &a, EipConnSlot &s, uint32_t now) {
    if (s.conn == nullptr || s.conn->state != 3 || now - s.time <= s.timeout) return;
    switch (s.conn->timeout_action) {
    case 0: s.conn->state = 4; break;
    case 2: s.time = now; break;
    default:
        s.cfg->flags |= 0x40;
        EipConnectionClose(s.cfg);
        break;
    }
    (void)a;
}

}  // namespace

void Eip_Scan(uint32_t n) {
    EipAdapter &a = AdapterOf(n);
    if (a.ip == nullptr) return;
    PLAT_PollHarvest(false);  // input that came during this pass is read now
    if (!(ConfigOf(n).enables[0] & EN0_EIP)) {
        // With the service off, sessions are read and dropped when one of
        // its descriptors reported since the last drain.
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
    NxServerDisplace(a.encap, _tx_time_get(), EipTcpDisconnect);
    const DprConfigRec &c = ConfigOf(n);
    const uint32_t ps = ProducedSize(n), cs = ConsumedSize(n);
    a.produced->member_bits[0] = uint16_t(ps <= EIP_DATA_MAX ? 8 * ps : 0);
    a.consumed->member_bits[0] = uint16_t(cs <= EIP_DATA_MAX ? 8 * cs : 0);
    if (Running()) {
        if (c.eip[0][0] != 0 && ps <= EIP_DATA_MAX) Dpr_Data_Block(c.eip[0][0], 8 * ps, EipTxData.data(), 0, 0);
        if (c.eip[1][0] != 0 && cs <= EIP_DATA_MAX) Dpr_Data_Block(c.eip[1][0], 8 * cs, EipRxData.data(), 1, 0);
        if (c.eip[2][0] != 0 && c.eip[2][1] != 0)
            Dpr_Data_Block(c.eip[2][0], 8 * (c.eip[2][1] < 2 ? c.eip[2][1] : 2), a.run_idle.data(), 1, 0);
    } else {
        EipTxData.fill(0);
    }
    const uint32_t now = _tx_time_get();
    for (auto &e : a.encap) {
        if (e.socket.state == NX_TCP_ESTABLISHED) StepSession(n, e, now);
    }
    static std::array<uint8_t, 20 + EIP_DATA_MAX> io;
    for (unsigned k = 0; k < a.slots.size(); k++) {
        EipConnSlot &s = a.slots[k];
        if (!s.used || s.conn == nullptr) continue;
        if (s.conn->type == 0) {
            TimeOut(a, s, now);
            continue;
        }
        if (!s.consuming) {
            if (s.conn->state != 3 || s.address == 0 || now - s.time < s.period) continue;
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
            if (s.conn->state == 3) EipConsume(n, k, pk->nx_packet_prepend_ptr, pk->nx_packet_length, now);
            _nx_packet_release(pk);
        }
        TimeOut(a, s, now);
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
    // The connections close with their datagram sockets, the sessions end
    // and the encapsulation port closes.
    for (auto &s : a.slots) {
        if (s.used && s.cfg != nullptr) EipConnectionClose(s.cfg);
    }
    for (auto &e : a.encap) {
        if (e.socket.state == NX_TCP_ESTABLISHED) EipTcpDisconnect(&e.socket);
        _nx_tcp_socket_delete(&e.socket);
    }
    _nx_tcp_server_socket_unlisten(a.ip, EipPortNumber);
    a.listening = 0;
    a.ip = nullptr;
}
