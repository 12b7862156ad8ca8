// Ethernet manager: starts the network side on the first pass, then each pass
// follows configuration changes, debounces the link, applies the address set,
// steps the protocols, publishes the status registers and polls the sockets.
// Also the address selection and the ping service.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <unistd.h>

#include "core/image/bytes.h"
#include "core/image/passwork.h"
#include "core/image/plcreg.h"
#include "core/image/tx.h"
#include "net/enet.h"
#include "net/enet_proto.h"
#include "net/etn_chan.h"
#include "net/ftp.h"
#include "net/net.h"
#include "net/svc.h"
#include "platform/plat_poll.h"

std::array<uint32_t, 2> EnetIpAddress, EnetNetMask, EnetGateway, EnetDns;
std::array<NX_IP, 2> Enet_IpInstance;
NX_PACKET_POOL EnetPacketPoolCtrl;
alignas(16) std::array<uint8_t, ENET_POOL_BYTES> EnetPacketPool;
uint16_t Enet_LinkUp;
uint32_t EnetLinkUpTimer;
uint16_t clearIpFlag;
uint8_t firstTimeDnsSet = 1;
uint8_t IpAddr0Change;
uint8_t TavixHttp;
// Despite its name: 1 while the service script is absent, 0 once it was found.
uint32_t MasterFilePresent = 1;
EnetHooks enet_hooks;

namespace {
uint32_t ServerInit(const EnetServer &s, NX_IP *ip, NX_PACKET_POOL *pool) {
    PassWork_NetChange();
    return s.init ? s.init(ip, pool) : 0;
}
uint32_t ServerConnCnt(const EnetServer &s, uint32_t iface) { return s.conn_cnt ? s.conn_cnt(iface) : 0; }
void ServerDeInit(const EnetServer &s, NX_IP *ip) {
    PassWork_NetChange();
    if (s.deinit) s.deinit(ip);
}

// One network service's step, when its bit is in run; its next due time is
// taken after it.
template <class Scan, class Due>
void NetStep(PassNetStep i, uint32_t run, Scan scan, Due due) {
    if (!(run & (1u << i))) return;
    scan();
    pass_work.net_due[i] = due();
}
void ServerStep(PassNetStep i, uint32_t run, uint32_t now, const EnetServer &s) {
    NetStep(
        i, run,
        [&] {
            if (s.scan) s.scan(0);
        },
        [&] { return s.due ? s.due(0, now) : now; });
}
}  // namespace
uint8_t TavixUpdateNewIp;
uint16_t Enet_StatusWord;
std::array<PingSlot, 2> PingInstance;
uint8_t Enet_State;

void Enet_UpdateActivity(EnetActivity &a, uint32_t count, uint32_t now) {
    if (count != a.count) {
        a.count = count;
        a.time = now;
        a.on = true;
    } else if (a.on && now - a.time > 19) {
        a.on = false;
    }
}

uint16_t Enet_StatusBits(bool link, bool tx_active, bool rx_active, uint32_t speed, uint32_t duplex,
                         uint32_t connections) {
    uint32_t w = 0;
    if (link) w |= 0x100;
    if (tx_active) w |= 0x200;
    if (rx_active) w |= 0x400;
    if (speed == 2)
        w |= 0x4000;
    else if (speed != 0)
        w |= 0x1000;
    if (duplex) w |= 0x2000;
    return uint16_t((w + connections) | w);
}

namespace {

constexpr uint32_t kFallback = 0xC0A8FE80;  // 192.168.254.128
constexpr uint32_t kFallbackMask = 0xFFFFFF00;

EnetActivity tx_act, rx_act;
bool link_asked;                     // the interface was asked at least once
uint32_t link_asked_ms;              // when (ms)
constexpr uint32_t kLinkAskMs = 10;  // the interface flags are read at most this often

bool Counts(uint32_t ref) { return ref >= 1024; }

// The last address set of interface 0: the change count it was taken at and
// the registers it wrote (a reference of 0: none).
struct AddressKeep {
    bool valid;
    uint32_t gen;
    std::array<uint32_t, 4> ref, value;
};
AddressKeep address_keep;

// Whether the address set of interface 0 would come out as it did last: it
// reads no register, no DHCP lease and no network id, nothing changed since,
// and its registers still hold what it wrote.
bool AddressSettled(const DprConfigRec &c) {
    const AddressKeep &k = address_keep;
    if (!k.valid || k.gen != pass_work.net_gen || c.dhcp_enable) return false;
    if ((c.enables[1] & (EN1_ADDR_REG | EN1_MASK_REG | EN1_GW_REG | EN1_NETID_OCTET)) || (c.enables[2] & EN2_DNS_REG))
        return false;
    for (unsigned i = 0; i < 4; i++) {
        if (k.ref[i] != 0 && Dpr_Get_Dw_Data(k.ref[i]) != k.value[i]) return false;
    }
    return true;
}

// One item of the address set: from its register, from DHCP, or configured.
uint32_t Pick(bool from_reg, uint32_t ref, bool dhcp, uint32_t item, uint32_t configured, uint32_t n,
              bool lease_flags) {
    if (from_reg) return Counts(ref) ? Dpr_Get_Dw_Data(ref) : 0;
    uint32_t v = configured;
    if (dhcp) {
        if (dhcpState != 0) {
            v = 0;
            if (lease_flags) {
                Enet_IpInstance[n].nx_ip_zero_once = 1;
                Enet_IpInstance[n].nx_ip_disable_on_zero = 0;
            }
        } else {
            v = getFromDhcp(item, n);
        }
    }
    if (Counts(ref)) Dpr_Set_Dw_Data(ref, v);
    return v;
}

uint32_t ConnectionCount() {
    return ServerConnCnt(enet_hooks.egd, 0) + ServerConnCnt(enet_hooks.qncan, 0) + ServerConnCnt(enet_hooks.modbus, 0) +
           ServerConnCnt(enet_hooks.srtp, 0) + Ftp_ConnCnt(0) + Http_ConnCnt(0) + ServerConnCnt(enet_hooks.eip, 0) +
           EtnVComm_Conn_Cnt(0) + ServerConnCnt(enet_hooks.ascii, 0) + EtnIo_Conn_Cnt(0) +
           (enet_hooks.email_conn_cnt ? enet_hooks.email_conn_cnt() : 0);
}

// why receives the services that could not open their sockets.
[[gnu::noinline]] bool FirstCall(char *why, std::size_t why_size) {
    Etn_InstallPort();
    Dpr_Init();
    const uint16_t r = LE_Get16(&DprMap[DPR_CFG_REQ]);
    const uint16_t a = LE_Get16(&DprMap[DPR_CFG_ACK]);
    LE_Put16(&DprMap[DPR_STATUS], 0x1ED);
    if (a != (r == 0 ? 1 : 0)) {
        std::snprintf(why, why_size, "the register bridge did not answer");
        return false;
    }
    Etn_Reset();
    Dpr_Config();
    EnetGetIpAddress(0);
    Enet_LinkUp = 0;
    EnetLinkUpTimer = 0;
    _nx_system_initialize();
    _nx_packet_pool_create(&EnetPacketPoolCtrl, "Packet Pool", ENET_PAYLOAD, EnetPacketPool.data(),
                           uint32_t(EnetPacketPool.size()));
    NX_IP *ip = &Enet_IpInstance[0];
    _nx_ip_create(ip, "eth0", EnetIpAddress[0], EnetNetMask[0], &EnetPacketPoolCtrl, Etn_Driver, nullptr, 0, 4);
    Etn_IrqInit();
    uint32_t v = 0;
    _nx_ip_driver_direct_command(ip, 0, &v);
    _nx_arp_enable(ip);
    _nx_icmp_enable(ip);
    _nx_igmp_enable(ip);
    _nx_udp_enable(ip);
    _nx_tcp_enable(ip);
    Ping_Init(ip);
    NX_PACKET_POOL *pool = &EnetPacketPoolCtrl;
    // Each service that could not open its socket is named in the console
    // line that says the network side did not start, with the first one's
    // reason.
    std::size_t at = 0;
    int err = 0;
    auto note = [&](const char *name, uint32_t bad) {
        if (bad == 0) return;
        if (at == 0) err = errno;
        const int n = std::snprintf(why + at, why_size - at, "%s%s", at == 0 ? "no socket for " : ", ", name);
        if (n > 0) at = std::min(why_size - 1, at + std::size_t(n));
    };
    note("EGD (UDP 18246)", ServerInit(enet_hooks.egd, ip, pool));
    note("programming tool (TCP 18501)", ServerInit(enet_hooks.qncan, ip, pool));
    note("Modbus", ServerInit(enet_hooks.modbus, ip, pool));
    note("SRTP (TCP 18245)", ServerInit(enet_hooks.srtp, ip, pool));
    note("HTTP (TCP 80)", Http_Init(ip, pool));
    note("EtherNet/IP (TCP 44818)", ServerInit(enet_hooks.eip, ip, pool));
    note("virtual serial ports", EtnVComm_Init(ip, pool));
    note("ASCII over TCP", ServerInit(enet_hooks.ascii, ip, pool));
    note("remote I/O (UDP 67)", EtnIo_Init(ip, pool));
    note("DHCP", dhcpInit(ip, pool, Dpr_Configuration[0].dhcp_enable, 0));
    // The e-mail client reports a missing socket in its own status word.
    if (enet_hooks.email_init) enet_hooks.email_init(ip, pool);
    if (at == 0) return true;
    const char *cause = err == EADDRINUSE ? "are the ports taken by another controller in this network namespace? "
                                            "give each controller a namespace of its own"
                        : err == ENODEV   ? "this network namespace has no interface eth0"
                        : err == EACCES   ? "ports below 1024 need root"
                                          : std::strerror(err);
    std::snprintf(why + at, why_size - at, " (%s)", cause);
    return false;
}

[[gnu::noinline]] void DhcpControl(NX_IP *ip, const DprConfigRec &c) {
    if (!ip->nx_ip_link_up) {
        ip->nx_ip_dhcp_started = 0;
        if (clearIpFlag == 0) {
            EnetIpAddress[0] = kFallback;
            _nx_ip_address_set(ip, kFallback, EnetNetMask[0]);
            clearIpFlag = 1;
        }
        ip->nx_ip_dhcp_active = 0;
        dhcpScan(0, 0);
    } else if (c.dhcp_enable == 0) {
        ip->nx_ip_disable_on_zero = 1;
        ip->nx_ip_zero_once = ip->nx_ip_dhcp_started = ip->nx_ip_dhcp_active = 0;
        dhcpScan(0, 0);
    } else {
        if (ip->nx_ip_dhcp_started == 0) {
            ip->nx_ip_dhcp_started = 1;
            _nx_ip_address_set(ip, kFallback, kFallbackMask);
            ip->nx_ip_zero_once = 1;
            ip->nx_ip_disable_on_zero = 0;
            EnetIpAddress[0] = EnetNetMask[0] = 0;
            _nx_ip_address_set(ip, 0, 0);
        }
        ip->nx_ip_dhcp_active = 1;
        dhcpScan(1, 0);
    }
}

void PingStep(const DprConfigRec &c) {
    int32_t result;
    if ((c.enables[0] & EN0_PING) && c.ping_target_ref != 0)
        result = Ping_Scan(Dpr_Get_Dw_Data(c.ping_target_ref), c.ping_timeout, 0);
    else
        result = Ping_Scan(0, 0, 0);
    if (c.ping_result_ref != 0) Dpr_Set_Dw_Data(c.ping_result_ref, uint32_t(result));
}

// The status word and the statistics, brought up to date once in 10 ms (an
// idle pass is much shorter): the interface is asked then, and the passes
// between have nothing to do here.
bool StatusDue(uint32_t now) { return !link_asked || now - link_asked_ms >= kLinkAskMs; }
[[gnu::noinline]] void StatusAndStats(NX_IP *ip, const DprConfigRec &c, uint32_t now) {
    link_asked = true;
    link_asked_ms = now;
    uint32_t v = 0;
    _nx_ip_driver_direct_command(ip, NX_LINK_GET_TX_COUNT, &v);
    Enet_UpdateActivity(tx_act, v, now);
    NxLinkValue(ip, NX_LINK_GET_RX_COUNT, &v);
    Enet_UpdateActivity(rx_act, v, now);
    uint32_t speed = 0, duplex = 0;
    NxLinkValue(ip, NX_LINK_GET_SPEED, &speed);
    NxLinkValue(ip, NX_LINK_GET_DUPLEX, &duplex);
    Enet_StatusWord = Enet_StatusBits(ip->nx_ip_link_up != 0, tx_act.on, rx_act.on, speed, duplex, ConnectionCount());
    if (Counts(c.status_ref)) Dpr_Set_W_Data(c.status_ref, Enet_StatusWord);
    if (Counts(c.const_ref)) Dpr_Set_W_Data(c.const_ref, 0x1ED);

    uint32_t stats[6] = {EnetPacketPoolCtrl.nx_packet_pool_available,
                         EnetPacketPoolCtrl.nx_packet_pool_empty_requests,
                         EnetPacketPoolCtrl.nx_packet_pool_empty_suspensions,
                         EnetPacketPoolCtrl.nx_packet_pool_invalid_releases,
                         0,
                         0};
    NxLinkValue(ip, NX_LINK_GET_ERRORS, &stats[4]);
    NxLinkValue(ip, NX_LINK_GET_ALLOC_ERRORS, &stats[5]);
    for (unsigned i = 0; i < 6; i++) LE_Put32(&DprMap[DPR_STATS + 4 * i], stats[i]);
    std::memcpy(&plc_reg[2 * W_NET_STATS], &DprMap[DPR_STATS], 24);
}

}  // namespace

void EnetGetIpAddress(uint32_t n) {
    if (n > 1) return;
    DprConfigRec &c = Dpr_Configuration[n];
    const uint8_t e1 = c.enables[1], e2 = c.enables[2];
    uint32_t addr;
    if (e1 & EN1_ADDR_REG) {
        addr = Counts(c.address_ref) ? Dpr_Get_Dw_Data(c.address_ref) : 0;
        if (Counts(c.address_ref)) c.dhcp_enable = 0;
    } else {
        if (e1 & EN1_NETID_OCTET)
            addr = (c.address & 0xFFFFFF00u) | DprMap[DPR_NETID];
        else if (c.dhcp_enable) {
            addr = Pick(false, 0, true, 0, c.address, n, true);
            if (dhcpState == 0 && addr == 0) addr = kFallback;
        } else
            addr = c.address;
        if (Counts(c.address_ref)) Dpr_Set_Dw_Data(c.address_ref, addr);
    }
    const bool dhcp = c.dhcp_enable != 0;
    const uint32_t mask = Pick(e1 & EN1_MASK_REG, c.mask_ref, dhcp, 1, c.mask, n, true);
    const uint32_t gw = Pick(e1 & EN1_GW_REG, c.gateway_ref, dhcp, 2, c.gateway, n, false);
    const uint32_t dns = Pick(e2 & EN2_DNS_REG, c.dns_ref, dhcp, 3, c.dns, n, false);
    c.gateway = gw;
    c.dns = dns;
    // A new address turns the services on or off.
    if (EnetIpAddress[n] != addr) PassWork_NetChange();
    EnetNetMask[n] = mask;
    EnetIpAddress[n] = addr;
    EnetGateway[n] = gw;
    EnetDns[n] = dns;
    c.address = addr;
    c.mask = mask;
    if (n == 0) {
        auto ref = [](uint32_t r) { return Counts(r) ? r : 0; };
        address_keep = {true,
                        pass_work.net_gen,
                        {ref(c.address_ref), ref(c.mask_ref), ref(c.gateway_ref), ref(c.dns_ref)},
                        {addr, mask, gw, dns}};
    }
}

void Ping_Init(NX_IP *ip) {
    ip->nx_ip_ping_state = 0;
    ip->nx_ip_sent_count = ip->nx_ip_received_count = 0;
    ip->nx_ip_echo_sent = ip->nx_ip_echo_received = 0;
    PingSlot &s = PingInstance[ip->nx_ip_interface & 1];
    s = {ip, 0, 0, 0, -1, 0};
}

int32_t Ping_Scan(uint32_t target, uint32_t timeout, uint32_t slot) {
    PingSlot &s = PingInstance[slot & 1];
    if (target != s.target || timeout != s.timeout) s.result = -1;
    s.target = target;
    s.timeout = timeout;
    NX_IP *ip = s.ip;
    if (target == 0 || ip == nullptr) return s.result;
    const uint32_t mask = ip->nx_ip_network_mask;
    if ((target & mask) == (ip->nx_ip_address & mask) && (target | mask) == 0xFFFFFFFFu) return s.result;
    if (target == 0xFFFFFFFFu || timeout <= 99) return s.result;
    if (!ip->nx_ip_link_up) return s.result = -1;
    NX_PACKET *reply = nullptr;
    const uint32_t now = _tx_time_get();
    const uint32_t st = _nx_icmp_ping(ip, target, nullptr, 0, &reply, timeout);
    if (st == NX_SUCCESS) {
        s.result = int32_t(now - s.start);
        _nx_packet_release(reply);
        return s.result;
    }
    if (st == NX_IN_PROGRESS) {
        s.start = now;
        // Only the echo just sent is awaited: one still outstanding to an
        // earlier target was given up (its reply is no longer taken), so it
        // must not turn this echo's answer into -1 at the time-out.
        ip->nx_ip_echo_received = ip->nx_ip_echo_sent - 1;
        return s.result;
    }
    // Only our own echoes decide: other traffic moves the packet counts.
    if (ip->nx_ip_echo_received == ip->nx_ip_echo_sent) return s.result;
    if (st == NX_NO_RESPONSE || now - s.start > timeout) {
        s.result = -1;
        ip->nx_ip_echo_received = ip->nx_ip_echo_sent;
    }
    return s.result;
}

void Protocols_DeInit(uint32_t n) {
    if (n > 1) return;
    NX_IP *ip = &Enet_IpInstance[n];
    ServerDeInit(enet_hooks.egd, ip);
    ServerDeInit(enet_hooks.qncan, ip);
    ServerDeInit(enet_hooks.modbus, ip);
    EtnVComm_DeInit(ip);
    ServerDeInit(enet_hooks.srtp, ip);
    Http_DeInit(ip);
    ServerDeInit(enet_hooks.eip, ip);
    EtnIo_DeInit(ip);
    ServerDeInit(enet_hooks.ascii, ip);
}

namespace {
// The services of the bits in run, in their fixed order.
[[gnu::noinline]] void NetServices(const DprConfigRec &c, uint32_t run, uint32_t now, bool skip_email) {
    ServerStep(PASS_NET_QNCAN, run, now, enet_hooks.qncan);
    if ((c.enables[1] & EN1_SERVICES_OFF) || EnetIpAddress[0] == 0) return;
    NetStep(
        PASS_NET_PING, run, [&] { PingStep(c); },
        [&] {
            // A target configured is pinged, a result register written, every pass.
            const bool on = ((c.enables[0] & EN0_PING) && c.ping_target_ref != 0) || c.ping_result_ref != 0;
            return on ? now : now + PASS_IDLE_MS;
        });
    ServerStep(PASS_NET_EGD, run, now, enet_hooks.egd);
    ServerStep(PASS_NET_MODBUS, run, now, enet_hooks.modbus);
    ServerStep(PASS_NET_SRTP, run, now, enet_hooks.srtp);
    NetStep(
        PASS_NET_HTTP, run, [] { Http_Scan(0); }, [&] { return Http_Due(0, now); });
    if (MasterFilePresent) {
        // Without the service script FTP is served in-program.
        NetStep(
            PASS_NET_FTP, run,
            [] {
                Ftp_Init(&Enet_IpInstance[0], &EnetPacketPoolCtrl);
                Ftp_Scan(0);
            },
            [&] { return Ftp_Due(0, now); });
    }
    ServerStep(PASS_NET_EIP, run, now, enet_hooks.eip);
    NetStep(
        PASS_NET_VCOMM, run, [] { EtnVComm_Scan(0); }, [&] { return EtnVComm_Due(0, now); });
    if (!skip_email && enet_hooks.email_scan)
        NetStep(
            PASS_NET_EMAIL, run, [] { enet_hooks.email_scan(1); },
            [&] { return enet_hooks.email_due ? enet_hooks.email_due(now) : now; });
    ServerStep(PASS_NET_ASCII, run, now, enet_hooks.ascii);
}
}  // namespace

// The network side gives up: what the start opened is closed again, so that
// no port listens (and takes connections) that nothing would ever answer.
// The servers' own de-initialisation keeps the first interface's sockets, so
// the socket tables are walked here.
void GiveUp(NX_IP *ip) {
    for (NX_TCP_SOCKET *o : ConnSock) {
        if (o != nullptr && o->ip == ip) _nx_tcp_socket_delete(o);
    }
    for (const NxListener &l : NxListeners) {
        if (l.fd.valid() && l.ip == ip) _nx_tcp_server_socket_unlisten(ip, l.port);
    }
    if (ip->nx_ip_ping_fd >= 0) close(ip->nx_ip_ping_fd);
    ip->nx_ip_ping_fd = -1;
    EtnIo_DeInit(ip);  // the BOOTP server (UDP 67)
    EtnVComm_DeInit(ip);
    // Nothing is served: EGD counts as off, which closes its receive port.
    Dpr_Configuration[0].enables[0] &= uint8_t(~EN0_EGD);
    if (enet_hooks.egd_config) enet_hooks.egd_config(0);
}

void EnetMain(int skip_email) {
    if (Enet_State == 0) {
        char why[400] = {};
        const bool ok = FirstCall(why, sizeof why);
        Enet_State = ok ? 1 : 2;
        if (!ok) {
            GiveUp(&Enet_IpInstance[0]);
            // The line names the sockets that failed; the services a
            // configuration turns on later (Modbus TCP, HTTP, ...) are never
            // opened either, which the line says too.
            std::printf(
                "Ethernet: the network side did not start: %s; it stays off until the next start, so no "
                "service a configuration turns on (Modbus TCP 502, the register HTTP server on 80, SRTP 18245, "
                "EtherNet/IP 44818) listens either\n",
                why);
        }
    }
    if (Enet_State != 1) return;
    NX_IP *ip = &Enet_IpInstance[0];
    DprConfigRec &c = Dpr_Configuration[0];
    PassWork &w = pass_work;
    const uint32_t now = _tx_time_get();

    if (LE_Get16(&DprMap[DPR_CFG_REQ]) != LE_Get16(&DprMap[DPR_CFG_ACK]))
        Svc_ConfigChange();
    else if (w.every || Svc_HandoverPending)
        Svc_HandoverStep();
    if (!ip->nx_ip_link_up) {
        EnetLinkUpTimer = 0;
        if (Enet_LinkUp != 0) PassWork_NetChange();
        Enet_LinkUp = 0;
    } else if (Enet_LinkUp == 0) {
        if (EnetLinkUpTimer == 0)
            EnetLinkUpTimer = now == 0 ? 0xFFFFFFFFu : now;
        else if (now - EnetLinkUpTimer > 1999) {
            Enet_LinkUp = 1;
            PassWork_NetChange();
        }
    }
    if (w.every || !AddressSettled(c)) EnetGetIpAddress(0);
    // With DHCP off and idle, the client has nothing to do until the
    // configuration, the link or the address set changes.
    if (w.every || w.net_gen != w.net_gen_seen || c.dhcp_enable || w.dhcp_busy) DhcpControl(ip, c);
    if (!(c.dhcp_enable && dhcpState != 0)) {
        if (ip->nx_ip_link_up && (ip->nx_ip_address != EnetIpAddress[0] || ip->nx_ip_network_mask != EnetNetMask[0])) {
            _nx_ip_address_set(ip, EnetIpAddress[0], EnetNetMask[0]);
            clearIpFlag = 0;
            IpAddr0Change = 1;
            TavixUpdateNewIp = 1;
        }
        if (ip->nx_ip_gateway_address != EnetGateway[0] && Enet_LinkUp &&
            ((EnetGateway[0] ^ ip->nx_ip_address) & ip->nx_ip_network_mask) == 0)
            _nx_ip_gateway_address_set(ip, EnetGateway[0]);
        if (firstTimeDnsSet || ip->nx_ip_dns != EnetDns[0]) {
            if (!MasterFilePresent) {
                Svc_DnsSet(EnetDns[0]);
                ip->nx_ip_dns = EnetDns[0];
            }
            firstTimeDnsSet = 0;
        }
        // Input on any network socket, or a change the services look at,
        // steps every service; otherwise each steps when its time came or
        // work was marked for it. Reports filed during the steps count for
        // the next pass.
        const uint32_t net = w.net, gen = w.net_gen;
        uint32_t run = w.net_marks;
        if (w.every || w.net_poll || net != w.net_seen || gen != w.net_gen_seen) run = ~0u;
        for (unsigned i = 0; i < PASS_NET_STEPS; i++) {
            if (PassWork_Due(w.net_due[i], now)) run |= 1u << i;
        }
        w.net_marks = 0;
        if (run != 0) NetServices(c, run, now, skip_email != 0);
        // The remote I/O master looks at its configuration block every pass.
        if (!(c.enables[1] & EN1_SERVICES_OFF) && EnetIpAddress[0] != 0) EtnIo_Scan(0);
        w.net_seen = net;
        w.net_gen_seen = gen;
    }
    // Without the service script (the executive's hook answers from
    // MasterFilePresent) there are no address commands and no network time.
    if (w.every || !MasterFilePresent) Svc_AddressAndTime();
    if (!(Dpr_Configuration[0].enables[0] & EN0_HTTP) && !(Dpr_Configuration[1].enables[0] & EN0_HTTP) &&
        TavixHttp == 0) {
        TavixHttp = 1;
        PassWork_NetChange();
    }
    if (StatusDue(now)) StatusAndStats(ip, c, now);
    if (w.every || Svc_RestartAsked()) Svc_RestartRequests();
    Dpr_Io_Service();
    // The connection poll: when a socket reported since it last ran, when
    // it left work for itself, or when the set has not been read for a while
    // (it takes what came meanwhile).
    if (w.every || w.net != w.net_polled || w.net_thread || PLAT_PollStale()) {
        w.net_polled = w.net;
        EnetThread();
    }
}
