// DHCP client: DISCOVER, REQUEST, INFORM, RELEASE and renewal as a state
// machine stepped once per pass; datagrams built and checked here and moved
// on an AF_PACKET socket.
#include "net/dhcp.h"

#include <arpa/inet.h>
#include <cstring>
#include <fcntl.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include "core/image/bytes.h"
#include "core/image/timebase.h"
#include "platform/plat_net.h"

std::array<DhcpProcCtrl, 2> dhcpProcCtrl;
std::array<DhcpOffered, 2> dhcpOffered;
uint8_t dhcpState = 1;

namespace {

constexpr uint8_t kCookie[4] = {99, 130, 83, 99};

uint16_t Sum(const uint8_t *p, std::size_t n, uint32_t acc) {
    for (std::size_t i = 0; i + 1 < n; i += 2) acc += uint32_t(p[i] << 8 | p[i + 1]);
    if (n & 1) acc += uint32_t(p[n - 1] << 8);
    while (acc >> 16) acc = (acc & 0xFFFF) + (acc >> 16);
    return uint16_t(acc);
}

// UDP checksum over the pseudo-header and the UDP header and payload.
uint16_t UdpSum(const uint8_t *ip, const uint8_t *udp, uint16_t udp_len) {
    uint32_t acc = 0;
    acc += uint32_t(ip[12] << 8 | ip[13]) + uint32_t(ip[14] << 8 | ip[15]);
    acc += uint32_t(ip[16] << 8 | ip[17]) + uint32_t(ip[18] << 8 | ip[19]);
    acc += 17 + udp_len;
    return Sum(udp, udp_len, acc);
}

void SyncState() { dhcpState = dhcpProcCtrl[0].no_lease; }

// The link-layer address of an IP datagram broadcast on the interface.
struct sockaddr_ll BroadcastLink(int32_t ifindex) {
    struct sockaddr_ll ll {};
    ll.sll_family = AF_PACKET;
    ll.sll_protocol = htons(ETH_P_IP);
    ll.sll_ifindex = ifindex;
    ll.sll_halen = 6;
    std::memset(ll.sll_addr, 0xFF, 6);
    return ll;
}

uint32_t SendCurrent(uint32_t iface) {
    DhcpProcCtrl &r = dhcpProcCtrl[iface];
    const DhcpOffered &o = dhcpOffered[iface];
    const uint32_t dest = (r.msg == DHCP_RELEASE || r.msg == DHCP_RENEW) ? o.server : 0xFFFFFFFFu;
    DhcpBuildDatagram(iface, dest);
    // Nothing leaves the machine's own namespace.
    if (r.fd < 0 || !PLAT_NetIsolated()) return 0;
    struct sockaddr_ll ll = BroadcastLink(r.ifindex);
    const ssize_t n = sendto(r.fd, r.dgram.data(), DHCP_DGRAM_SIZE, 0, reinterpret_cast<struct sockaddr *>(&ll),
                             sizeof ll);
    return n > 0 ? 1 : 0;
}

uint32_t ReadDatagram(uint32_t iface) {
    DhcpProcCtrl &r = dhcpProcCtrl[iface];
    if (r.fd < 0) return 0;
    uint8_t buf[DHCP_DGRAM_SIZE];
    // Every datagram waiting is looked at; the first valid one is taken.
    for (;;) {
        // A datagram handed over inside the machine (veth) may carry a UDP
        // checksum still to be filled in: the packet's status says so.
        struct iovec iov {buf, sizeof buf};
        alignas(struct cmsghdr) uint8_t ctl[CMSG_SPACE(sizeof(struct tpacket_auxdata))];
        struct msghdr mh {};
        mh.msg_iov = &iov;
        mh.msg_iovlen = 1;
        mh.msg_control = ctl;
        mh.msg_controllen = sizeof ctl;
        const ssize_t n = recvmsg(r.fd, &mh, MSG_DONTWAIT);
        if (n <= 0) return 0;
        bool partial = false;
        for (struct cmsghdr *c = CMSG_FIRSTHDR(&mh); c != nullptr; c = CMSG_NXTHDR(&mh, c)) {
            if (c->cmsg_level == SOL_PACKET && c->cmsg_type == PACKET_AUXDATA) {
                struct tpacket_auxdata aux;
                std::memcpy(&aux, CMSG_DATA(c), sizeof aux);
                partial = (aux.tp_status & TP_STATUS_CSUMNOTREADY) != 0;
            }
        }
        if (partial && n >= 28) BE_Put16(buf + 26, 0);
        if (DhcpTakeDatagram(iface, buf, std::size_t(n))) return 1;
    }
}

// The bytes of option code in the received message, or nullptr.
const uint8_t *FindOption(const DhcpProcCtrl &r, uint8_t code, uint8_t &len) {
    const uint32_t end = r.in_len;
    uint32_t p = DHCP_OPT_OFFSET;
    if (end < DHCP_OPT_OFFSET || std::memcmp(&r.in[236], kCookie, 4) != 0) return nullptr;
    while (p < end) {
        const uint8_t c = r.in[p];
        if (c == 255) return nullptr;
        if (c == 0) {
            p++;
            continue;
        }
        if (p + 1 >= end) return nullptr;
        const uint8_t l = r.in[p + 1];
        if (p + 2 + l > end) return nullptr;
        if (c == code) {
            len = l;
            return &r.in[p + 2];
        }
        p += 2u + l;
    }
    return nullptr;
}

// The interface's hardware address as it is now (the executive may set it
// after the client started).
void ReadMac(uint32_t iface) {
    DhcpProcCtrl &r = dhcpProcCtrl[iface];
    if (r.fd < 0 && r.ifindex == 0) return;
    struct ifreq ifr {};
    std::strncpy(ifr.ifr_name, iface == 0 ? "eth0" : "eth1", IFNAMSIZ - 1);
    const int t = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (t < 0) return;
    if (ioctl(t, SIOCGIFHWADDR, &ifr) == 0) std::memcpy(r.mac.data(), ifr.ifr_hwaddr.sa_data, 6);
    close(t);
}

}  // namespace

uint32_t dhcpTimer(uint32_t *timer, uint32_t period) {
    const uint32_t now = FPGA_GetFrt();
    if (period == 0) {
        *timer = now;
        return 1;
    }
    return now - *timer >= period ? 1 : 0;
}

uint32_t dhcpInit(NX_IP *, NX_PACKET_POOL *, uint8_t enable, uint32_t iface) {
    if (iface > 1) return NX_NOT_SUCCESSFUL;
    DhcpProcCtrl &r = dhcpProcCtrl[iface];
    if (r.fd >= 0) close(r.fd);
    std::memset(static_cast<void *>(&r), 0, sizeof r);
    r.fd = -1;
    r.enable = enable;
    r.no_lease = 1;
    r.xid = 1;
    r.bound = 0;
    dhcpOffered[iface] = {};
    SyncState();
    const char *name = iface == 0 ? "eth0" : "eth1";
    // In the machine's own namespace the client stays without a socket and sends nothing.
    if (!PLAT_NetIsolated()) return NX_SUCCESS;
    struct ifreq ifr {};
    std::strncpy(ifr.ifr_name, name, IFNAMSIZ - 1);
    const int t = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (t >= 0) {
        if (ioctl(t, SIOCGIFINDEX, &ifr) == 0) r.ifindex = ifr.ifr_ifindex;
        close(t);
    }
    ReadMac(iface);
    const int fd = socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, htons(ETH_P_IP));
    if (fd < 0) return NX_NOT_SUCCESSFUL;
    const int fl = fcntl(fd, F_GETFL);
    struct sockaddr_ll ll = BroadcastLink(r.ifindex);
    const int one = 1;
    setsockopt(fd, SOL_PACKET, PACKET_AUXDATA, &one, sizeof one);
    if (fl == -1 || fcntl(fd, F_SETFL, fl | 0x2802) == -1 ||
        bind(fd, reinterpret_cast<struct sockaddr *>(&ll), sizeof ll) != 0) {
        close(fd);
        return NX_NOT_SUCCESSFUL;
    }
    r.fd = fd;
    return NX_SUCCESS;
}

void setQryPacket(uint8_t kind, uint32_t iface) {
    DhcpProcCtrl &r = dhcpProcCtrl[iface];
    const DhcpOffered &o = dhcpOffered[iface];
    uint8_t *m = r.out.data();
    std::memset(m, 0, r.out.size());
    m[0] = 1;
    m[1] = 1;
    m[2] = 6;
    m[3] = 0;
    BE_Put32(m + 4, r.xid);
    if (kind == DHCP_DISCOVER) BE_Put16(m + 10, 0x8000);
    if (kind == DHCP_RELEASE || kind == DHCP_INFORM || kind == DHCP_RENEW) BE_Put32(m + 12, o.address);
    std::memcpy(m + 28, r.mac.data(), 6);
    std::memcpy(m + 236, kCookie, 4);
    uint32_t p = DHCP_OPT_OFFSET;
    m[p++] = 53;
    m[p++] = 1;
    m[p++] = kind == DHCP_RENEW ? uint8_t(DHCP_REQUEST) : kind;
    m[p++] = 61;
    m[p++] = 7;
    m[p++] = 1;
    std::memcpy(m + p, r.mac.data(), 6);
    p += 6;
    const bool requested = r.offered_known && (kind == DHCP_DISCOVER || kind == DHCP_REQUEST || kind == DHCP_RENEW);
    if (requested) {
        m[p++] = 50;
        m[p++] = 4;
        BE_Put32(m + p, o.address);
        p += 4;
    }
    if (kind == DHCP_REQUEST || kind == DHCP_RELEASE) {
        m[p++] = 54;
        m[p++] = 4;
        BE_Put32(m + p, o.server);
        p += 4;
    }
    if (kind != DHCP_RELEASE) {
        m[p++] = 55;
        m[p++] = 3;
        m[p++] = 1;
        m[p++] = 3;
        m[p++] = 6;
    }
    m[p] = 255;
}

void DhcpBuildDatagram(uint32_t iface, uint32_t destination) {
    DhcpProcCtrl &r = dhcpProcCtrl[iface];
    uint8_t *d = r.dgram.data();
    std::memset(d, 0, DHCP_DGRAM_SIZE);
    d[0] = 0x45;
    BE_Put16(d + 2, DHCP_DGRAM_SIZE);
    d[8] = 64;
    d[9] = 17;
    BE_Put32(d + 16, destination);
    BE_Put16(d + 10, uint16_t(~Sum(d, 20, 0)));
    uint8_t *u = d + 20;
    BE_Put16(u, 68);
    BE_Put16(u + 2, 67);
    BE_Put16(u + 4, DHCP_DGRAM_SIZE - 20);
    std::memcpy(u + 8, r.out.data(), DHCP_MSG_SIZE);
    uint16_t cs = uint16_t(~UdpSum(d, u, DHCP_DGRAM_SIZE - 20));
    if (cs == 0) cs = 0xFFFF;
    BE_Put16(u + 6, cs);
}

uint32_t DhcpTakeDatagram(uint32_t iface, const uint8_t *d, std::size_t n) {
    DhcpProcCtrl &r = dhcpProcCtrl[iface];
    if (n < 28 || n > DHCP_DGRAM_SIZE) return 0;
    const uint16_t total = BE_Get16(d + 2);
    if (total > n || total > DHCP_DGRAM_SIZE || total < 28 || d[9] != 17 || d[0] != 0x45) return 0;
    const uint8_t *u = d + 20;
    if (BE_Get16(u + 2) != 68 || BE_Get16(u + 4) != total - 20) return 0;
    if (Sum(d, 20, 0) != 0xFFFF) return 0;
    if (BE_Get16(u + 6) != 0 && UdpSum(d, u, uint16_t(total - 20)) != 0xFFFF) return 0;
    r.in_len = total - 28u;
    std::memcpy(r.in.data(), u + 8, r.in_len);
    r.in[r.in_len] = 0;
    return 1;
}

uint8_t DhcpReplyType(uint32_t iface) {
    uint8_t len = 0;
    const uint8_t *v = FindOption(dhcpProcCtrl[iface], 53, len);
    return v != nullptr && len >= 1 ? v[0] : 0;
}

void procOfferAckPacket(uint32_t iface) {
    DhcpProcCtrl &r = dhcpProcCtrl[iface];
    DhcpOffered &o = dhcpOffered[iface];
    if (r.in_len < DHCP_OPT_OFFSET) return;
    o.address = BE_Get32(&r.in[16]);
    std::memcpy(&r.offered_raw, &r.in[16], 4);
    r.offered_known = 1;
    const uint32_t end = r.in_len;
    uint32_t p = DHCP_OPT_OFFSET;
    while (p < end) {
        const uint8_t c = r.in[p];
        if (c == 255) break;
        if (c == 0) {
            p++;
            continue;
        }
        if (p + 1 >= end) break;
        const uint8_t l = r.in[p + 1];
        if (p + 2u + l > end) break;
        const uint8_t *v = &r.in[p + 2];
        // Stored items need their four bytes.
        if (l >= 4) {
            switch (c) {
            case 1: o.mask = BE_Get32(v); break;
            case 3: o.router = BE_Get32(v); break;
            case 6:
                o.dns1 = BE_Get32(v);
                if (l >= 8) o.dns2 = BE_Get32(v + 4);
                break;
            case 51: o.lease = BE_Get32(v); break;
            case 54: o.server = BE_Get32(v); break;
            case 58: o.t1 = BE_Get32(v); break;
            case 59: o.t2 = BE_Get32(v); break;
            default: break;
            }
        }
        p += 2u + l;
    }
}

void dhcpScan(uint8_t enable, uint32_t iface) {
    if (iface > 1) return;
    DhcpProcCtrl &r = dhcpProcCtrl[iface];
    r.enable = enable;
    switch (r.state) {
    case 1:
        r.state = 2;
        r.msg = DHCP_DISCOVER;
        break;
    case 2:
        if (r.msg == DHCP_DISCOVER) {
            dhcpOffered[iface] = {};
            r.offered_known = 0;
            r.no_lease = 1;
        } else if (r.msg == DHCP_REQUEST) {
            r.no_lease = 1;
        }
        if (r.msg == DHCP_DISCOVER || r.msg == DHCP_REQUEST || r.msg == DHCP_RELEASE || r.msg == DHCP_INFORM ||
            r.msg == DHCP_RENEW) {
            if (r.msg == DHCP_DISCOVER) ReadMac(iface);
            setQryPacket(r.msg, iface);
            SendCurrent(iface);
        }
        dhcpTimer(&r.reply_timer, 0);
        r.state = 3;
        break;
    case 3: {
        if (!ReadDatagram(iface)) {
            if (dhcpTimer(&r.reply_timer, DHCP_REPLY_TICKS)) r.state = 0;
            break;
        }
        if (r.msg == DHCP_RELEASE || r.msg == DHCP_INFORM) {
            r.state = 0;
            break;
        }
        if (r.in_len < DHCP_OPT_OFFSET || BE_Get32(&r.in[4]) != r.xid || std::memcmp(&r.in[28], r.mac.data(), 6) != 0) {
            r.state = 0;
            break;
        }
        const uint8_t type = DhcpReplyType(iface);
        r.msg = type;
        if (type == DHCP_OFFER) {
            procOfferAckPacket(iface);
            r.state = 2;
            r.msg = DHCP_REQUEST;
        } else if (type == DHCP_ACK) {
            procOfferAckPacket(iface);
            r.bound = 1;
            r.no_lease = 0;
            r.state = 2;
            r.msg = DHCP_INFORM;
            if (dhcpOffered[iface].t1 != 0) {
                dhcpTimer(&r.renew_timer, 0);
                r.renew_running = 1;
            }
        } else {
            r.state = 0;
        }
        break;
    }
    case 5:
        r.state = 2;
        r.msg = DHCP_RELEASE;
        r.no_lease = 2;
        r.bound = 0;
        break;
    default:
        if (enable == 0) {
            if (r.bound) r.state = 5;
        } else if (!r.bound) {
            r.state = 1;
        } else if (r.renew_running) {
            uint32_t t1 = dhcpOffered[iface].t1;
            if (t1 > DHCP_T1_MAX) t1 = DHCP_T1_MAX;
            if (dhcpTimer(&r.renew_timer, 10000u * t1)) {
                r.state = 2;
                r.msg = DHCP_RENEW;
                r.renew_running = 0;
                r.no_lease = 1;
                r.bound = 0;
            }
        } else {
            if (dhcpOffered[iface].t1 == 0) dhcpOffered[iface].t1 = 300;
            dhcpTimer(&r.renew_timer, 0);
            r.renew_running = 1;
        }
        break;
    }
    SyncState();
}

uint32_t getFromDhcp(uint32_t item, uint32_t iface) {
    if (iface > 1 || !dhcpProcCtrl[iface].bound || item >= 4) return 0;
    const DhcpOffered &o = dhcpOffered[iface];
    const uint32_t v[4] = {o.address, o.mask, o.router, o.dns1};
    return v[item];
}
