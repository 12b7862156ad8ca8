// The IP instance and the calls that act on its interface: address, mask,
// default route, link and speed, ARP, multicast, the ICMP echo and the MAC
// addresses. Every interface call goes through the platform's network seam.
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <net/route.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/image/bytes.h"
#include "core/image/passwork.h"
#include "core/image/plcreg.h"
#include "core/storage/memfile.h"
#include "core/image/timebase.h"
#include "net/nx.h"
#include "platform/plat_net.h"
#include "platform/plat_poll.h"

uint32_t nx_link_speed_timer;

void _nx_ip_client_port_sync(NX_IP *ip) {
    if (ip == nullptr) return;
    const uint16_t w = PlcWord(W_CLIENT_PORT);
    if (w < NX_CLIENT_PORT_MIN)
        PlcWordSet(W_CLIENT_PORT, uint16_t(ip->nx_ip_next_port));
    else
        ip->nx_ip_next_port = w;
}

namespace {

// The control socket of the interface ioctls: one datagram socket, opened at
// the first call and kept (the status is read every pass).
PlatFd ioctl_sock;
int ControlFd() {
    if (!ioctl_sock.valid()) ioctl_sock.reset(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    return ioctl_sock.get();
}
struct IoctlSock {
    int fd = ControlFd();
};

void IfrName(struct ifreq &ifr, const char *name) {
    std::memset(&ifr, 0, sizeof ifr);
    std::strncpy(ifr.ifr_name, name, IFNAMSIZ - 1);
}

void PutSin(struct sockaddr &sa, uint32_t host_addr) {
    struct sockaddr_in sin {};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(host_addr);
    std::memcpy(&sa, &sin, sizeof sin);
}
uint32_t GetSin(const struct sockaddr &sa) {
    struct sockaddr_in sin {};
    std::memcpy(&sin, &sa, sizeof sin);
    return ntohl(sin.sin_addr.s_addr);
}

int Ioctl(int fd, unsigned long req, void *arg) { return PLAT_NetIoctl(fd, req, arg); }

bool IndexAndFlags(int fd, const char *name, short *flags) {
    struct ifreq ifr;
    IfrName(ifr, name);
    if (Ioctl(fd, SIOCGIFINDEX, &ifr) < 0) return false;
    IfrName(ifr, name);
    if (Ioctl(fd, SIOCGIFFLAGS, &ifr) < 0) return false;
    if (flags) *flags = ifr.ifr_flags;
    return true;
}

void DeleteAddress(int fd, const char *name) {
    struct ifreq ifr;
    IfrName(ifr, name);
    if (Ioctl(fd, SIOCGIFADDR, &ifr) == 0) Ioctl(fd, SIOCDIFADDR, &ifr);
}

bool SetFlags(int fd, const char *name, short flags) {
    struct ifreq ifr;
    IfrName(ifr, name);
    ifr.ifr_flags = flags;
    return Ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
}

void ReadSpeed(int fd, NX_IP *ip) {
    struct ifreq ifr;
    IfrName(ifr, ip->nx_ip_name);
    struct ethtool_cmd cmd {};
    cmd.cmd = ETHTOOL_GSET;
    ifr.ifr_data = reinterpret_cast<char *>(&cmd);
    if (Ioctl(fd, SIOCETHTOOL, &ifr) < 0) return;
    const uint32_t speed = ethtool_cmd_speed(&cmd);
    uint32_t w = speed == 100 ? 1 : speed == 1000 ? 2 : 0;
    if (cmd.duplex != 0) w |= 0x100;
    ip->nx_ip_speed = w;
}

uint16_t RandomId() {
    static bool seeded = false;
    if (!seeded) {
        std::srand(unsigned(FPGA_GetFrt()) ^ unsigned(getpid()));
        seeded = true;
    }
    return uint16_t(std::rand());
}

bool FdValid(int fd) { return fd >= 0 && fcntl(fd, F_GETFL) != -1; }

}  // namespace

uint16_t NxChecksum(const uint8_t *data, std::size_t n) {
    uint32_t sum = 0;
    for (std::size_t i = 0; i + 1 < n; i += 2) sum += uint32_t(data[i] << 8 | data[i + 1]);
    if (n & 1) sum += uint32_t(data[n - 1] << 8);
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return uint16_t(~sum);
}

int PortDisable(const char *ifname) {
    IoctlSock s;
    if (s.fd < 0) return s.fd;
    if (IndexAndFlags(s.fd, ifname, nullptr)) {
        DeleteAddress(s.fd, ifname);
        struct ifreq ifr;
        IfrName(ifr, ifname);
        PutSin(ifr.ifr_addr, 0);
        if (Ioctl(s.fd, SIOCSIFADDR, &ifr) == 0) {
            IfrName(ifr, ifname);
            PutSin(ifr.ifr_netmask, 0);
            if (Ioctl(s.fd, SIOCSIFNETMASK, &ifr) == 0) SetFlags(s.fd, ifname, IFF_UP | IFF_BROADCAST);
        }
    }
    struct ifreq ifr;
    IfrName(ifr, ifname);
    if (Ioctl(s.fd, SIOCGIFFLAGS, &ifr) == 0) SetFlags(s.fd, ifname, short(ifr.ifr_flags & ~IFF_UP));
    return 0;  // the control socket stays open for the next query
}

void _nx_system_initialize() {
    PortDisable("eth1");
    // Every report on a connection or a listener counts into the pass record:
    // the Ethernet manager steps its services when one came.
    PLAT_PollGroupTally(PLAT_POLL_NET, &pass_work.net);
}

uint32_t _nx_ip_create(NX_IP *ip, const char *name, uint32_t address, uint32_t mask, NX_PACKET_POOL *pool,
                       void *(*)(void *), void *, uint32_t, uint32_t) {
    std::memset(ip, 0, sizeof *ip);
    ip->nx_ip_ping_fd = -1;
    ip->nx_ip_network = address & mask;
    ip->nx_ip_default_packet_pool = pool;
    ip->nx_ip_created = 1;
    ip->nx_ip_address = address;
    ip->nx_ip_network_mask = mask;
    ip->nx_ip_name = name;
    ip->nx_ip_interface = (name != nullptr && std::strlen(name) > 3) ? uint32_t(name[3] - '0') : 0;
    return _nx_ip_address_set(ip, address, mask) == NX_SUCCESS ? NX_SUCCESS : NX_NOT_SUCCESSFUL;
}

uint32_t _nx_ip_address_set(NX_IP *ip, uint32_t address, uint32_t mask) {
    PassWork_NetChange();  // the services look at the address set
    if (address == 0) {
        if (ip->nx_ip_zero_once) {
            ip->nx_ip_zero_once = 0;
        } else if (ip->nx_ip_disable_on_zero) {
            ip->nx_ip_disable_on_zero = 0;
            PortDisable(ip->nx_ip_name);
            ip->nx_ip_network_mask = mask;
            ip->nx_ip_address = 0;
            return NX_SUCCESS;
        }
    }
    IoctlSock s;
    if (s.fd < 0 || !IndexAndFlags(s.fd, ip->nx_ip_name, nullptr)) return NX_NOT_SUCCESSFUL;
    DeleteAddress(s.fd, ip->nx_ip_name);
    struct ifreq ifr;
    IfrName(ifr, ip->nx_ip_name);
    PutSin(ifr.ifr_addr, address);
    if (Ioctl(s.fd, SIOCSIFADDR, &ifr) < 0) return NX_NOT_SUCCESSFUL;
    IfrName(ifr, ip->nx_ip_name);
    PutSin(ifr.ifr_netmask, mask);
    if (Ioctl(s.fd, SIOCSIFNETMASK, &ifr) < 0) return NX_NOT_SUCCESSFUL;
    if (ip->nx_ip_gateway_address != 0) _nx_ip_gateway_address_set(ip, ip->nx_ip_gateway_address);
    if (!SetFlags(s.fd, ip->nx_ip_name, IFF_UP | IFF_BROADCAST)) return NX_NOT_SUCCESSFUL;
    ip->nx_ip_address = address;
    ip->nx_ip_network_mask = mask;
    return NX_SUCCESS;
}

uint32_t _nx_ip_gateway_address_set(NX_IP *ip, uint32_t gateway) {
    PassWork_NetChange();
    IoctlSock s;
    if (s.fd < 0) return NX_NOT_SUCCESSFUL;
    char dev[IFNAMSIZ] = {};
    std::strncpy(dev, ip->nx_ip_name, IFNAMSIZ - 1);
    struct rtentry rt {};
    PutSin(rt.rt_dst, 0);
    PutSin(rt.rt_genmask, 0);
    rt.rt_dev = dev;
    Ioctl(s.fd, SIOCDELRT, &rt);
    rt = {};
    PutSin(rt.rt_dst, 0);
    PutSin(rt.rt_genmask, 0);
    PutSin(rt.rt_gateway, gateway);
    rt.rt_flags = RTF_UP | RTF_GATEWAY;
    rt.rt_dev = dev;
    if (Ioctl(s.fd, SIOCADDRT, &rt) < 0) return NX_NOT_SUCCESSFUL;
    ip->nx_ip_gateway_address = gateway;
    return NX_SUCCESS;
}

uint32_t _nx_ip_address_get(NX_IP *ip) {
    IoctlSock s;
    if (s.fd < 0 || !IndexAndFlags(s.fd, ip->nx_ip_name, nullptr)) return NX_NOT_SUCCESSFUL;
    struct ifreq ifr;
    IfrName(ifr, ip->nx_ip_name);
    if (Ioctl(s.fd, SIOCGIFADDR, &ifr) < 0) return NX_NOT_SUCCESSFUL;
    const uint32_t a = GetSin(ifr.ifr_addr);
    IfrName(ifr, ip->nx_ip_name);
    if (Ioctl(s.fd, SIOCGIFNETMASK, &ifr) < 0) return NX_NOT_SUCCESSFUL;
    ip->nx_ip_address = a;
    ip->nx_ip_network_mask = GetSin(ifr.ifr_netmask);
    return NX_SUCCESS;
}

uint32_t _nx_ip_driver_direct_command(NX_IP *ip, uint32_t command, uint32_t *value) {
    if (ip->nx_ip_address == 0) {
        *value = 0;
        return NX_SUCCESS;
    }
    IoctlSock s;
    if (s.fd < 0) return NX_SUCCESS;
    struct ifreq ifr;
    IfrName(ifr, ip->nx_ip_name);
    if (Ioctl(s.fd, SIOCGIFFLAGS, &ifr) == 0) {
        if (!(ifr.ifr_flags & IFF_RUNNING)) {
            if (ip->nx_ip_link_up != 0) PassWork_NetChange();
            ip->nx_ip_link_up = 0;
        } else {
            const uint32_t now = FPGA_GetFrt();
            if (ip->nx_ip_link_up == 0) {
                nx_link_speed_timer = now;
                ReadSpeed(s.fd, ip);
                PassWork_NetChange();
            } else if (nx_link_speed_timer != 0 && now - nx_link_speed_timer >= 100001) {
                nx_link_speed_timer = 0;
                ReadSpeed(s.fd, ip);
            }
            ip->nx_ip_link_up = 1;
        }
    }
    return NxLinkValue(ip, command, value);
}

uint32_t NxLinkValue(const NX_IP *ip, uint32_t command, uint32_t *value) {
    if (ip->nx_ip_address == 0) {
        *value = 0;
        return NX_SUCCESS;
    }
    switch (command) {
    case NX_LINK_GET_SPEED: *value = ip->nx_ip_speed & 0xFF; break;
    case NX_LINK_GET_DUPLEX: *value = (ip->nx_ip_speed & 0x100) ? 1 : 0; break;
    case NX_LINK_GET_RX_COUNT: *value = ip->nx_ip_link_up ? ip->nx_ip_received_count : 0; break;
    case NX_LINK_GET_TX_COUNT: *value = ip->nx_ip_link_up ? ip->nx_ip_sent_count : 0; break;
    default: *value = 0; break;
    }
    return NX_SUCCESS;
}

uint32_t _nx_arp_dynamic_entry_set(NX_IP *ip, uint32_t address, uint32_t mac_hi, uint32_t mac_lo) {
    IoctlSock s;
    if (s.fd < 0) return NX_NOT_SUCCESSFUL;
    struct arpreq req {};
    PutSin(req.arp_pa, address);
    req.arp_ha.sa_family = ARPHRD_ETHER;
    const uint8_t mac[6] = {uint8_t(mac_hi >> 8),  uint8_t(mac_hi),      uint8_t(mac_lo >> 24),
                            uint8_t(mac_lo >> 16), uint8_t(mac_lo >> 8), uint8_t(mac_lo)};
    std::memcpy(req.arp_ha.sa_data, mac, 6);
    req.arp_flags = ATF_PERM;
    std::strncpy(req.arp_dev, ip->nx_ip_name, sizeof req.arp_dev - 1);
    return Ioctl(s.fd, SIOCSARP, &req) < 0 ? NX_NOT_SUCCESSFUL : NX_SUCCESS;
}

uint32_t _nx_igmp_multicast_join(NX_IP *ip, uint32_t group, NX_UDP_SOCKET *socket) {
    if (socket->fd < 0) return NX_NOT_SUCCESSFUL;
    struct ip_mreq m {};
    m.imr_multiaddr.s_addr = htonl(group);
    m.imr_interface.s_addr = htonl(ip->nx_ip_address);
    if (setsockopt(socket->fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m) < 0) {
        // The refused socket is closed; the record says so.
        PLAT_PollDel(&socket->poll);
        close(socket->fd);
        socket->fd = -1;
        socket->bound = 0;
    }
    if (ip->nx_ip_mcast_count < NX_MCAST_MAX) ip->nx_ip_mcast[ip->nx_ip_mcast_count++] = group;
    return NX_SUCCESS;
}

uint32_t _nx_igmp_multicast_leave(NX_IP *ip, uint32_t group, NX_UDP_SOCKET *socket) {
    if (!FdValid(socket->fd)) return NX_NOT_SUCCESSFUL;
    struct ip_mreq m {};
    m.imr_multiaddr.s_addr = htonl(group);
    m.imr_interface.s_addr = htonl(ip->nx_ip_address);
    return setsockopt(socket->fd, IPPROTO_IP, IP_DROP_MEMBERSHIP, &m, sizeof m) < 0 ? NX_NOT_SUCCESSFUL : NX_SUCCESS;
}

uint32_t _nx_icmp_enable(NX_IP *ip) {
    if (ip->nx_ip_ping_fd >= 0) close(ip->nx_ip_ping_fd);
    ip->nx_ip_ping_fd = -1;
    ip->nx_ip_ping_target = ip->nx_ip_ping_state = ip->nx_ip_ping_sent = ip->nx_ip_ping_elapsed = 0;
    int fd = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (fd == 0) {
        const int d = fcntl(fd, F_DUPFD_CLOEXEC, 1);
        close(fd);
        fd = d;
    }
    if (fd < 0) return NX_NOT_SUCCESSFUL;
    const char *dev = PLAT_NetDevice(ip->nx_ip_name);
    if (SetNonBlocking(fd) != NX_SUCCESS ||
        setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, dev, socklen_t(std::strlen(dev) + 1)) < 0) {
        close(fd);
        return NX_NOT_SUCCESSFUL;
    }
    const int one = 1;
    setsockopt(fd, IPPROTO_IP, IP_HDRINCL, &one, sizeof one);
    ip->nx_ip_ping_fd = fd;
    return NX_SUCCESS;
}

uint32_t _nx_icmp_ping(NX_IP *ip, uint32_t target, const void *, uint32_t, NX_PACKET **reply, uint32_t timeout_ms) {
    *reply = nullptr;
    const uint32_t now = FPGA_GetFrt();
    if (ip->nx_ip_ping_state == 1 && now - ip->nx_ip_ping_sent >= timeout_ms * 10) {
        ip->nx_ip_ping_state = 0;
        ip->nx_ip_ping_sent = now;
        return NX_NO_RESPONSE;
    }
    NX_PACKET *pk = nullptr;
    if (target == ip->nx_ip_ping_target && ip->nx_ip_ping_state == 1) {
        if (_nx_packet_allocate(ip->nx_ip_default_packet_pool, &pk, 0, 0) != NX_SUCCESS) return NX_NOT_SUCCESSFUL;
        uint32_t result = NX_NOT_SUCCESSFUL;
        // Drain what is waiting; only the echo reply to our own request counts.
        for (int tries = 0; tries < 16 && result != NX_SUCCESS; tries++) {
            struct sockaddr_in from {};
            socklen_t fl = sizeof from;
            uint8_t buf[28];
            const ssize_t n = ip->nx_ip_ping_fd < 0 ? -1
                                                    : recvfrom(ip->nx_ip_ping_fd, buf, sizeof buf, MSG_DONTWAIT,
                                                               reinterpret_cast<struct sockaddr *>(&from), &fl);
            if (n < 0) break;
            const std::size_t ihl = std::size_t(buf[0] & 0x0F) * 4;
            if (n < 28 || ihl != 20 || ntohl(from.sin_addr.s_addr) != target) continue;
            const uint8_t *icmp = buf + ihl;
            if (icmp[0] != 0 || BE_Get16(icmp + 4) != ip->nx_ip_ping_id) continue;
            _nx_packet_data_append(pk, buf, uint32_t(n), nullptr, 0);
            ip->nx_ip_received_count++;
            ip->nx_ip_echo_received++;
            result = NX_SUCCESS;
        }
        if (result != NX_SUCCESS) {
            _nx_packet_release(pk);
            return result;
        }
        if (now - ip->nx_ip_ping_sent >= timeout_ms * 10) ip->nx_ip_ping_state = 0;
        *reply = pk;
        return NX_SUCCESS;
    }
    ip->nx_ip_ping_state = 0;
    if (_nx_packet_allocate(ip->nx_ip_default_packet_pool, &pk, 0, 0) != NX_SUCCESS) return NX_NOT_SUCCESSFUL;
    uint8_t d[28] = {};
    d[0] = 0x45;
    BE_Put16(d + 2, 28);
    d[8] = 64;
    d[9] = 1;
    BE_Put32(d + 12, ip->nx_ip_address);
    BE_Put32(d + 16, target);
    BE_Put16(d + 10, NxChecksum(d, 20));
    const uint16_t id = RandomId();
    d[20] = 8;
    BE_Put16(d + 24, id);
    BE_Put16(d + 22, NxChecksum(d + 20, 8));
    _nx_packet_data_append(pk, d, sizeof d, nullptr, 0);
    struct sockaddr_in to {};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(target);
    uint32_t result = NX_NOT_SUCCESSFUL;
    if (ip->nx_ip_ping_fd >= 0 && PLAT_NetSendTo(ip->nx_ip_ping_fd, pk->nx_packet_prepend_ptr, pk->nx_packet_length, 0,
                                                 reinterpret_cast<struct sockaddr *>(&to), sizeof to) == 28) {
        result = NX_IN_PROGRESS;
        ip->nx_ip_ping_state = 1;
        ip->nx_ip_ping_target = target;
        ip->nx_ip_ping_id = id;
        ip->nx_ip_sent_count++;
        ip->nx_ip_echo_sent++;
    }
    ip->nx_ip_ping_sent = now;
    _nx_packet_release(pk);
    return result;
}

uint32_t _nx_arp_enable(NX_IP *) { return NX_SUCCESS; }
uint32_t _nx_igmp_enable(NX_IP *) { return NX_SUCCESS; }
uint32_t _nx_udp_enable(NX_IP *) { return NX_SUCCESS; }
uint32_t _nx_tcp_enable(NX_IP *) { return NX_SUCCESS; }
void Etn_IrqInit() {}  // no interrupt to set up: the kernel's sockets do the work
void *Etn_Driver(void *arg) { return arg; }

namespace {
void MacText(uint32_t iface) {
    const uint8_t *m = &tinyImage[8 + 6 * iface];
    char text[18];
    std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", m[0], m[1], m[2], m[3], m[4], m[5]);
    std::memcpy(&tinyImage[20 + 18 * iface], text, sizeof text);
}
}  // namespace

void Etn_GetMacId() {
    IoctlSock s;
    for (uint32_t i = 0; i < 2; i++) {
        struct ifreq ifr;
        IfrName(ifr, i == 0 ? "eth0" : "eth1");
        if (s.fd >= 0 && Ioctl(s.fd, SIOCGIFHWADDR, &ifr) == 0)
            std::memcpy(&tinyImage[8 + 6 * i], ifr.ifr_hwaddr.sa_data, 6);
        MacText(i);
    }
}

void Etn_SetMacId(const uint8_t *mac, uint32_t iface) {
    if (iface > 1) return;
    IoctlSock s;
    struct ifreq ifr;
    IfrName(ifr, iface == 0 ? "eth0" : "eth1");
    ifr.ifr_hwaddr.sa_family = ARPHRD_ETHER;
    std::memcpy(ifr.ifr_hwaddr.sa_data, mac, 6);
    if (s.fd < 0 || Ioctl(s.fd, SIOCSIFHWADDR, &ifr) < 0) std::perror("ioctl(SIOCSIFHWADDR)");
    MacText(iface);
}
