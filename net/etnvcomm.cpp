// Virtual serial ports over Ethernet: per interface 32 ports, each a TCP
// client connection or a UDP socket to one destination, connected on demand
// before every data operation, bytes collected into packets of at most one
// segment, and tidied up by the housekeeping while the controller is stopped.
#include "net/etnvcomm.h"

#include <cstring>

#include "core/image/bytes.h"
#include "core/image/passwork.h"
#include "core/image/plcreg.h"
#include "core/image/tx.h"
#include "net/dpr.h"
#include "net/enet_proto.h"

std::array<VCommIface, VCOMM_ETH_IFACES> VCommConnEth;
NX_PACKET_POOL *EtnVCommPacketPoolPtr;
uint16_t (*EtnVComm_GroupVersion)(uint32_t group);

namespace {

constexpr uint32_t kConnectMs = 10000;

// Port record of a port number, null when refused.
VCommPort *PortOf(intptr_t number, VCommIface **iface = nullptr) {
    if (number < 0 || number > intptr_t(VCOMM_ETH_NUMBER_MAX)) return nullptr;
    const uint32_t n = uint32_t(number);
    uint32_t i = 0, p;
    if (n >= 3 && n <= 34) {
        p = n - 3;
    } else if (n <= 2) {
        p = n;
    } else if (n & 0x2000) {
        i = (n >> 8) & 0x0F;
        p = n & 0xFF;
    } else {
        return nullptr;
    }
    if (i >= VCOMM_ETH_IFACES || p >= VCOMM_ETH_PORTS) return nullptr;
    if (iface) *iface = &VCommConnEth[i];
    return &VCommConnEth[i].ports[p];
}

bool Up(const VCommIface &f) { return f.ip != nullptr && f.ip->nx_ip_link_up != 0; }

uint32_t RegDword(uint32_t addr) {
    uint8_t b[4] = {0, 0, 0, 0};
    PlcReg_Get(b, addr, 32);
    return LE_Get32(b);
}
uint16_t RegWord(uint32_t addr) {
    uint8_t b[2] = {0, 0};
    PlcReg_Get(b, addr, 16);
    return LE_Get16(b);
}

void ReleaseRx(VCommPort &p) {
    if (p.rx) _nx_packet_release(p.rx);
    p.rx = nullptr;
    p.rx_index = 0;
}

// Connection upkeep before a data operation: 1 when the port moves data.
bool Establish(VCommIface &f, VCommPort &p) {
    if (p.addr_reg) {
        const uint32_t a = RegDword(p.addr_reg);
        if (a != 0 && a != p.dest) {
            p.dest = a;
            if (!p.udp) {
                _nx_tcp_socket_disconnect(&p.tcp, 200);
                p.flags &= uint8_t(~(VCE_CONNECTED | VCE_CONNECTING | VCE_BOUND));
            }
        }
    }
    if (!Up(f)) return false;
    if (!(p.flags & VCE_BOUND)) {
        const uint32_t st =
            p.udp ? _nx_udp_socket_bind(&p.usock, p.lport, 0) : _nx_tcp_client_socket_bind(&p.tcp, 0, 0);
        if (st == 7 || st == 17 || st == 20) return false;
        if (st != NX_SUCCESS && st != NX_ALREADY_BOUND) return false;
        if (f.ip) PlcWordSet(W_CLIENT_PORT, uint16_t(f.ip->nx_ip_next_port));
        p.flags |= VCE_BOUND;
    }
    if (p.flags & VCE_CONNECTED) {
        if (p.udp || p.tcp.state == NX_TCP_ESTABLISHED) return true;
        p.flags &= uint8_t(~VCE_CONNECTED);
    }
    if (p.flags & VCE_CONNECTING) {
        if (p.udp || p.tcp.state == NX_TCP_ESTABLISHED) {
            p.flags = uint8_t((p.flags & ~VCE_CONNECTING) | VCE_CONNECTED);
            return true;
        }
        if (_tx_time_get() - p.start_ms < kConnectMs) return false;
        // The attempt is given up and a new one made at once: the
        // disconnect lets the socket's binding go, so it is bound again.
        _nx_tcp_socket_disconnect(&p.tcp, 0);
        p.flags &= uint8_t(~(VCE_CONNECTING | VCE_BOUND));
        return Establish(f, p);
    }
    p.start_ms = _tx_time_get();
    if (p.udp) {
        p.flags |= VCE_CONNECTED;
        return true;
    }
    const uint32_t st = _nx_tcp_client_socket_connect(&p.tcp, p.dest, p.dport, 0);
    if (st == NX_SUCCESS) {
        p.flags |= VCE_CONNECTED;
        return true;
    }
    if (st == NX_IN_PROGRESS) {
        p.flags |= VCE_CONNECTING;
        return false;
    }
    p.flags &= uint8_t(~VCE_BOUND);
    return false;
}

void SendPending(VCommIface &f, VCommPort &p) {
    NX_PACKET *pk = p.tx;
    const uint16_t n = p.tx_count;
    p.tx = nullptr;
    p.tx_count = 0;
    if (pk == nullptr) return;
    if (n == 0 || !(p.flags & VCE_CONNECTED) || !Up(f)) {
        _nx_packet_release(pk);
        return;
    }
    pk->nx_packet_length = n;
    pk->nx_packet_append_ptr = pk->nx_packet_prepend_ptr + n;
    const uint32_t st = p.udp ? _nx_udp_socket_send(&p.usock, pk, p.dest, p.dport) : _nx_tcp_socket_send(&p.tcp, pk, 0);
    (void)st;  // a failed send has released the packet
}

// Appends one byte to the pending packet; false when no packet is free.
bool Append(VCommPort &p, uint8_t b) {
    if (p.tx == nullptr) {
        if (EtnVCommPacketPoolPtr == nullptr || _nx_packet_allocate(EtnVCommPacketPoolPtr, &p.tx, 0, 0) != NX_SUCCESS) {
            p.tx = nullptr;
            return false;
        }
        p.tx_count = 0;
    }
    p.tx->nx_packet_prepend_ptr[p.tx_count++] = b;
    return true;
}

uint32_t Limit(const VCommPort &p) { return p.udp ? VCOMM_ETH_UDP_MAX : VCOMM_ETH_TCP_MAX; }

// A held packet with bytes left, receiving one when the held one is done.
bool RxReady(VCommPort &p) {
    if (p.rx && p.rx_index < p.rx->nx_packet_length) return true;
    ReleaseRx(p);
    NX_PACKET *pk = nullptr;
    const uint32_t st = p.udp ? _nx_udp_socket_receive(&p.usock, &pk, 0) : _nx_tcp_socket_receive(&p.tcp, &pk, 0);
    if (st != NX_SUCCESS || pk == nullptr) return false;
    p.rx = pk;
    p.rx_index = 0;
    return p.rx->nx_packet_length > 0;
}

}  // namespace

uint32_t EtnVComm_Init(NX_IP *ip, NX_PACKET_POOL *pool) {
    const uint32_t i = ip ? ip->nx_ip_interface : 0;
    if (i >= VCOMM_ETH_IFACES) return NX_PTR_ERROR;
    VCommIface &f = VCommConnEth[i];
    f.ip = ip;
    f.reconnect = f.hk_state = 0;
    EtnVCommPacketPoolPtr = pool;
    for (VCommPort &p : f.ports) {
        p.flags = 0;
        uint32_t st = _nx_tcp_socket_create(ip, &p.tcp, "Virtual Serial Socket", 0, 16384, 128, 1380, nullptr,
                                            EtnVComm_Disconnect);
        if (st == NX_SUCCESS) st = _nx_udp_socket_create(ip, &p.usock, "modbus udp client", 0, 16384, 128, 5);
        if (st != NX_SUCCESS) return st;
        // The records keep their settings; a descriptor is opened when the
        // port is first bound, so unused ports hold none.
        _nx_tcp_socket_delete(&p.tcp);
        _nx_udp_socket_delete(&p.usock);
    }
    _nx_ip_client_port_sync(ip);
    return NX_SUCCESS;
}

void EtnVComm_DeInit(NX_IP *ip) {
    for (VCommIface &f : VCommConnEth) {
        if (f.ip != ip) continue;
        for (VCommPort &p : f.ports) {
            _nx_tcp_socket_disconnect(&p.tcp, 0);
            _nx_udp_socket_delete(&p.usock);
            // The packets held go back to the pool; the port is closed.
            ReleaseRx(p);
            if (p.tx) _nx_packet_release(p.tx);
            p.tx = nullptr;
            p.tx_count = 0;
            p.flags = 0;
        }
        f.ip = nullptr;
    }
}

void EtnVComm_Disconnect(NX_TCP_SOCKET *s) {
    for (VCommIface &f : VCommConnEth) {
        for (VCommPort &p : f.ports) {
            if (&p.tcp != s) continue;
            _nx_tcp_socket_disconnect(s, 0);
            p.flags &= uint8_t(~(VCE_CONNECTED | VCE_BOUND));
        }
    }
}

uint32_t EtnVComm_Conn_Cnt(uint32_t iface) {
    if (iface >= VCOMM_ETH_IFACES) return 0;
    uint32_t n = 0;
    for (const VCommPort &p : VCommConnEth[iface].ports) n += (p.flags & VCE_CONNECTED) ? 1 : 0;
    return n;
}

void EtnVComm_Scan(uint32_t iface) {
    if (iface >= VCOMM_ETH_IFACES) return;
    VCommIface &f = VCommConnEth[iface];
    if (Dpr_Map_Ptr != nullptr && LE_Get16(Dpr_Map_Ptr + DPR_RUN) != 0) {
        f.hk_state = 0;
        return;
    }
    const uint32_t now = _tx_time_get();
    switch (f.hk_state) {
    case 0: {
        if (!f.reconnect) return;
        uint32_t k = 0;
        for (; k < VCOMM_ETH_PORTS; k++) {
            const VCommPort &p = f.ports[k];
            // A UDP port is chosen while its socket is still bound: once let
            // go it needs nothing more, and choosing it again would keep the
            // reconnect flag set (and the housekeeping busy) for good.
            if ((p.udp && p.usock.bound) || p.tcp.state == NX_TCP_ESTABLISHED || p.tcp.state == NX_TCP_CONNECTING)
                break;
        }
        if (k == VCOMM_ETH_PORTS) {
            f.reconnect = 0;
            return;
        }
        f.hk_port = uint8_t(k);
        f.ports[k].flags &= uint8_t(~VCE_BOUND);
        _nx_tcp_socket_disconnect(&f.ports[k].tcp, 200);
        if (f.ports[k].udp) _nx_udp_socket_unbind(&f.ports[k].usock);
        f.hk_time = now;
        f.hk_state = 2;
        return;
    }
    case 1:
        _nx_tcp_socket_disconnect(&f.ports[f.hk_port].tcp, 200);
        f.hk_time = now;
        f.hk_state = 2;
        return;
    default: {
        VCommPort &p = f.ports[f.hk_port];
        if (p.tcp.state == NX_TCP_ESTABLISHED) {
            if (now - f.hk_time >= kConnectMs) f.hk_state = 1;
            return;
        }
        _nx_tcp_client_socket_unbind(&p.tcp);
        f.hk_state = 0;
        return;
    }
    }
}

uint32_t EtnVComm_Due(uint32_t iface, uint32_t now) {
    if (iface >= VCOMM_ETH_IFACES) return now + PASS_IDLE_MS;
    const VCommIface &f = VCommConnEth[iface];
    const bool run = Dpr_Map_Ptr != nullptr && LE_Get16(Dpr_Map_Ptr + DPR_RUN) != 0;
    return run || (f.hk_state == 0 && !f.reconnect) ? now + PASS_IDLE_MS : now;
}

intptr_t EtnVComm_Open(intptr_t port, intptr_t record) {
    VCommIface *f = nullptr;
    VCommPort *p = PortOf(port, &f);
    const uint8_t *r = reinterpret_cast<const uint8_t *>(record);
    if (p == nullptr || r == nullptr) return 0;
    auto w = [&](unsigned i) { return LE_Get16(r + 2 * i); };
    auto dw = [&](unsigned i) { return uint32_t(w(i)) | (uint32_t(w(i + 1)) << 16); };
    const uint32_t group = port < 36 ? 3 : uint32_t(port) >> 8;
    const uint16_t version = EtnVComm_GroupVersion ? EtnVComm_GroupVersion(group) : 313;
    ReleaseRx(*p);
    if (p->tx) _nx_packet_release(p->tx);
    p->tx = nullptr;
    p->tx_count = 0;
    p->flags |= VCE_OPEN;
    uint16_t opt;
    if (version < 313) {
        opt = w(6);
        p->udp = 0;
        p->timing = {w(4), w(5)};
        p->last = w(7);
    } else {
        opt = w(10);
        p->udp = w(6);
        p->timing = {w(8), w(9)};
        p->last = w(11);
        if (opt & 8) p->lport = (opt & 4) ? RegWord(dw(4)) : w(4);
    }
    if (opt & 1) {
        p->addr_reg = dw(0);
        p->dest = RegDword(p->addr_reg);
    } else {
        p->addr_reg = 0;
        p->dest = dw(0);
    }
    p->dport = (opt & 2) ? RegWord(dw(2)) : w(2);
    if (!Up(*f)) p->flags &= uint8_t(~(VCE_BOUND | VCE_CONNECTING | VCE_CONNECTED));
    return 1;
}

intptr_t EtnVComm_Close(intptr_t port) {
    VCommIface *f = nullptr;
    VCommPort *p = PortOf(port, &f);
    if (p == nullptr || !(p->flags & VCE_OPEN)) return 0;
    p->flags &= uint8_t(~(VCE_OPEN | VCE_CONNECTING | VCE_CONNECTED));
    f->reconnect = 1;
    PassWork_NetMark(PASS_NET_VCOMM);
    // The port's slot (interface x 32 + port); slot 0 reads like a refusal,
    // which no caller minds: the protocol manager closes without looking.
    return intptr_t(f - VCommConnEth.data()) * intptr_t(VCOMM_ETH_PORTS) + intptr_t(p - f->ports.data());
}

intptr_t EtnVComm_Close1(intptr_t port) {
    VCommPort *p = PortOf(port);
    if (p == nullptr || !(p->flags & VCE_OPEN)) return 0;
    _nx_tcp_socket_disconnect(&p->tcp, 0);
    p->flags &= uint8_t(~(VCE_CONNECTED | VCE_CONNECTING | VCE_BOUND));
    return 1;
}

intptr_t EtnVComm_PutTx(intptr_t port, intptr_t byte) {
    VCommIface *f = nullptr;
    VCommPort *p = PortOf(port, &f);
    if (p == nullptr || !(p->flags & VCE_OPEN) || !Up(*f)) return 0;
    if (!Establish(*f, *p)) return VCOMM_ETH_NOCONN;
    if (Append(*p, uint8_t(byte)) && p->tx_count >= Limit(*p)) SendPending(*f, *p);
    return byte;
}

intptr_t EtnVComm_PutnTx(intptr_t port, intptr_t data, intptr_t n) {
    VCommIface *f = nullptr;
    VCommPort *p = PortOf(port, &f);
    const uint8_t *d = reinterpret_cast<const uint8_t *>(data);
    if (p == nullptr || d == nullptr || !(p->flags & VCE_OPEN) || !Up(*f)) return 0;
    if (!Establish(*f, *p)) return 0;
    for (intptr_t i = 0; i < n; i++) {
        if (Append(*p, d[i]) && p->tx_count >= Limit(*p)) SendPending(*f, *p);
    }
    return 0;
}

intptr_t EtnVComm_DoTx(intptr_t port) {
    VCommIface *f = nullptr;
    VCommPort *p = PortOf(port, &f);
    if (p == nullptr) return 0;
    if (EtnVComm_GetDtr(port)) {
        SendPending(*f, *p);
    } else {
        if (p->tx) _nx_packet_release(p->tx);
        p->tx = nullptr;
        p->tx_count = 0;
    }
    return 0;
}

intptr_t EtnVComm_FlushTx(intptr_t port) {
    if (VCommPort *p = PortOf(port)) p->tx_count = 0;
    return 0;
}

intptr_t EtnVComm_CountTx(intptr_t port) {
    VCommPort *p = PortOf(port);
    return p ? p->tx_count : 0;
}

intptr_t EtnVComm_GetRx(intptr_t port) {
    VCommIface *f = nullptr;
    VCommPort *p = PortOf(port, &f);
    if (p == nullptr || !(p->flags & VCE_OPEN) || !Up(*f) || !Establish(*f, *p)) return -1;
    if (p->rx == nullptr && !RxReady(*p)) return -1;
    if (p->rx_index >= p->rx->nx_packet_length) {
        ReleaseRx(*p);
        return -1;
    }
    return p->rx->nx_packet_prepend_ptr[p->rx_index++];
}

intptr_t EtnVComm_GetNRx(intptr_t port, intptr_t buffer, intptr_t n) {
    VCommIface *f = nullptr;
    VCommPort *p = PortOf(port, &f);
    uint8_t *b = reinterpret_cast<uint8_t *>(buffer);
    if (p == nullptr || b == nullptr || n <= 0 || !(p->flags & VCE_OPEN) || !Up(*f) || !Establish(*f, *p)) return 0;
    if (!RxReady(*p)) return 0;
    intptr_t k = 0;
    while (k < n && p->rx_index < p->rx->nx_packet_length) b[k++] = p->rx->nx_packet_prepend_ptr[p->rx_index++];
    return k;
}

intptr_t EtnVComm_FlushRx(intptr_t port) {
    VCommIface *f = nullptr;
    VCommPort *p = PortOf(port, &f);
    if (p == nullptr) return 0;
    ReleaseRx(*p);
    if (!(p->flags & VCE_BOUND)) return 0;
    for (int guard = 0; guard < 64; guard++) {
        NX_PACKET *pk = nullptr;
        const uint32_t st =
            p->udp ? _nx_udp_socket_receive(&p->usock, &pk, 0) : _nx_tcp_socket_receive(&p->tcp, &pk, 0);
        if (st != NX_SUCCESS || pk == nullptr) break;
        _nx_packet_release(pk);
    }
    return 0;
}

intptr_t EtnVComm_CountRx(intptr_t port) {
    VCommIface *f = nullptr;
    VCommPort *p = PortOf(port, &f);
    if (p == nullptr || !(p->flags & VCE_OPEN) || !Up(*f)) return 0;
    if (!Establish(*f, *p)) return VCOMM_ETH_NOCONN;
    return RxReady(*p) ? 1 : 0;
}

intptr_t EtnVComm_CheckRx(intptr_t port) {
    VCommIface *f = nullptr;
    VCommPort *p = PortOf(port, &f);
    if (p == nullptr || !(p->flags & VCE_OPEN)) return 0;
    if (!Up(*f)) return VCOMM_ETH_DOWN;
    if (!Establish(*f, *p)) return VCOMM_ETH_NOCONN;
    return RxReady(*p) ? 1 : 0;
}

intptr_t EtnVComm_GetDtr(intptr_t port) {
    VCommIface *f = nullptr;
    VCommPort *p = PortOf(port, &f);
    if (p == nullptr) return 0;
    if (!p->udp && p->tcp.state == NX_TCP_CREATED && (p->flags & VCE_BOUND) && !(p->flags & VCE_CONNECTING)) {
        Establish(*f, *p);
        return 0;
    }
    return (p->flags & VCE_CONNECTED) ? 1 : 0;
}

intptr_t EtnVComm_GetRts(intptr_t port) {
    VCommPort *p = PortOf(port);
    return p ? (p->flags & VCE_OPEN) : 0;
}

intptr_t EtnVComm_PutsTx(intptr_t port, intptr_t text) {
    const char *t = reinterpret_cast<const char *>(text);
    if (t != nullptr) EtnVComm_PutnTx(port, text, intptr_t(std::strlen(t)));
    return 0;
}

intptr_t EtnVComm_InitWait(intptr_t port, intptr_t, intptr_t) { return port; }
intptr_t EtnVComm_WaitRx(intptr_t port, intptr_t) { return port; }
intptr_t EtnVComm_IoCtl(intptr_t port, intptr_t, intptr_t) { return port; }
intptr_t EtnVComm_Test(intptr_t) { return 0; }
intptr_t EtnVComm_StatusRx(intptr_t) { return 0; }
intptr_t EtnVComm_CheckTx(intptr_t) { return 0; }
intptr_t EtnVComm_EmptyTx(intptr_t) { return 1; }
intptr_t EtnVComm_SetCts(intptr_t port, intptr_t) { return port; }
intptr_t EtnVComm_SetDsr(intptr_t port, intptr_t) { return port; }

const EtnVCommDrv EtnVComm_Drv = {
    EtnVComm_Open,   EtnVComm_Close,   EtnVComm_Close1,   EtnVComm_PutTx,   EtnVComm_PutnTx,
    EtnVComm_PutsTx, EtnVComm_DoTx,    EtnVComm_FlushTx,  EtnVComm_CountTx, EtnVComm_GetRx,
    EtnVComm_GetNRx, EtnVComm_FlushRx, EtnVComm_CountRx,  EtnVComm_CheckRx, EtnVComm_GetDtr,
    EtnVComm_GetRts, EtnVComm_Test,    EtnVComm_StatusRx, EtnVComm_CheckTx, EtnVComm_EmptyTx,
    EtnVComm_SetCts, EtnVComm_SetDsr,  EtnVComm_InitWait, EtnVComm_WaitRx,  EtnVComm_IoCtl,
};
