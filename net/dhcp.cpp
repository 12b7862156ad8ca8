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
#include "core/image/passwork.h"
#include "core/image/timebase.h"
#include "platform/plat_net.h"

std::array<DhcpProcCtrl, 2> dhcpProcCtrl;
std::array<DhcpOffered, 2> dhcpOffered;
uint8_t dhcpState = 1;

namespace {

constexpr uint8_t kCookie[4] = {99, 130, 83, 99};

// The datagram: IPv4 header (20 bytes, no options), UDP header (8), the
// BOOTP message. Offsets, big-endian fields.
constexpr uint32_t kIpVerLen = 0, kIpTotal = 2, kIpTtl = 8, kIpProto = 9, kIpSum = 10, kIpSrc = 12, kIpDst = 16,
                   kIpHeader = 20;
constexpr uint8_t kIpV4NoOptions = 0x45, kIpUdp = 17, kIpTtlValue = 64;
constexpr uint32_t kUdpSrc = 0, kUdpDst = 2, kUdpLen = 4, kUdpSum = 6, kUdpHeader = 8;
constexpr uint32_t kHeaders = kIpHeader + kUdpHeader;
constexpr uint16_t kPortClient = 68, kPortServer = 67;
// BOOTP: 0 op, 1 hardware type, 2 address length, 3 hops, 4 xid, 8 secs,
// 10 flags, 12 ciaddr, 16 yiaddr, 20 siaddr, 24 giaddr, 28 chaddr, 236 the
// magic cookie, then the options (DHCP_OPT_OFFSET).
constexpr uint32_t kBpOp = 0, kBpHwType = 1, kBpHwLen = 2, kBpHops = 3, kBpXid = 4, kBpFlags = 10, kBpClientIp = 12,
                   kBpYourIp = 16, kBpClientHw = 28, kBpCookie = 236;
constexpr uint8_t kBpRequest = 1, kBpEthernet = 1, kBpMacLen = 6;
constexpr uint16_t kBpBroadcast = 0x8000;
// Options: code, length, value; pad and end have no length.
enum : uint8_t {
    kOptPad = 0,
    kOptMask = 1,
    kOptRouter = 3,
    kOptDns = 6,
    kOptRequestedIp = 50,
    kOptLease = 51,
    kOptMsgType = 53,
    kOptServerId = 54,
    kOptParams = 55,
    kOptT1 = 58,
    kOptT2 = 59,
    kOptClientId = 61,
    kOptEnd = 255,
};

uint16_t Sum(const uint8_t *p, std::size_t n, uint32_t acc) {
    for (std::size_t i = 0; i + 1 < n; i += 2) acc += uint32_t(p[i] << 8 | p[i + 1]);
    if (n & 1) acc += uint32_t(p[n - 1] << 8);
    while (acc >> 16) acc = (acc & 0xFFFF) + (acc >> 16);
    return uint16_t(acc);
}

// UDP checksum over the pseudo-header and the UDP header and payload.
uint16_t UdpSum(const uint8_t *ip, const uint8_t *udp, uint16_t udp_len) {
    uint32_t acc = 0;
    acc += uint32_t(BE_Get16(ip + kIpSrc)) + BE_Get16(ip + kIpSrc + 2);
    acc += uint32_t(BE_Get16(ip + kIpDst)) + BE_Get16(ip + kIpDst + 2);
    acc += kIpUdp + udp_len;
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
    const ssize_t n =
        sendto(r.fd, r.dgram.data(), DHCP_DGRAM_SIZE, 0, reinterpret_cast<struct sockaddr *>(&ll), sizeof ll);
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
        struct iovec iov {
            buf, sizeof buf
        };
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
        if (partial && n >= kHeaders) BE_Put16(buf + kIpHeader + kUdpSum, 0);
        if (DhcpTakeDatagram(iface, buf, std::size_t(n))) return 1;
    }
}

// Walks the options of the received message, f(code, length, value) for
// each until it returns true; a pad is skipped, the end or an option that
// runs past the message stops the walk.
template <class F>
void WalkOptions(const DhcpProcCtrl &r, F f) {
    const uint32_t end = r.in_len;
    uint32_t p = DHCP_OPT_OFFSET;
    while (p < end) {
        const uint8_t c = r.in[p];
        if (c == kOptEnd) return;
        if (c == kOptPad) {
            p++;
            continue;
        }
        if (p + 1 >= end) return;
        const uint8_t l = r.in[p + 1];
        if (p + 2u + l > end) return;
        if (f(c, l, &r.in[p + 2])) return;
        p += 2u + l;
    }
}

// The bytes of option code in the received message, or nullptr.
const uint8_t *FindOption(const DhcpProcCtrl &r, uint8_t code, uint8_t &len) {
    if (r.in_len < DHCP_OPT_OFFSET || std::memcmp(&r.in[kBpCookie], kCookie, 4) != 0) return nullptr;
    const uint8_t *found = nullptr;
    WalkOptions(r, [&](uint8_t c, uint8_t l, const uint8_t *v) {
        if (c != code) return false;
        len = l;
        found = v;
        return true;
    });
    return found;
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
    m[kBpOp] = kBpRequest;
    m[kBpHwType] = kBpEthernet;
    m[kBpHwLen] = kBpMacLen;
    m[kBpHops] = 0;
    BE_Put32(m + kBpXid, r.xid);
    if (kind == DHCP_DISCOVER) BE_Put16(m + kBpFlags, kBpBroadcast);
    if (kind == DHCP_RELEASE || kind == DHCP_INFORM || kind == DHCP_RENEW) BE_Put32(m + kBpClientIp, o.address);
    std::memcpy(m + kBpClientHw, r.mac.data(), kBpMacLen);
    std::memcpy(m + kBpCookie, kCookie, 4);
    uint32_t p = DHCP_OPT_OFFSET;
    m[p++] = kOptMsgType;
    m[p++] = 1;
    m[p++] = kind == DHCP_RENEW ? uint8_t(DHCP_REQUEST) : kind;
    m[p++] = kOptClientId;
    m[p++] = 1 + kBpMacLen;
    m[p++] = kBpEthernet;
    std::memcpy(m + p, r.mac.data(), kBpMacLen);
    p += kBpMacLen;
    const bool requested = r.offered_known && (kind == DHCP_DISCOVER || kind == DHCP_REQUEST || kind == DHCP_RENEW);
    if (requested) {
        m[p++] = kOptRequestedIp;
        m[p++] = 4;
        std::memcpy(m + p, &r.offered_raw, 4);  // as received: network order
        p += 4;
    }
    if (kind == DHCP_REQUEST || kind == DHCP_RELEASE) {
        m[p++] = kOptServerId;
        m[p++] = 4;
        BE_Put32(m + p, o.server);
        p += 4;
    }
    if (kind != DHCP_RELEASE) {
        m[p++] = kOptParams;
        m[p++] = 3;
        m[p++] = kOptMask;
        m[p++] = kOptRouter;
        m[p++] = kOptDns;
    }
    m[p] = kOptEnd;
}

void DhcpBuildDatagram(uint32_t iface, uint32_t destination) {
    DhcpProcCtrl &r = dhcpProcCtrl[iface];
    uint8_t *d = r.dgram.data();
    std::memset(d, 0, DHCP_DGRAM_SIZE);
    d[kIpVerLen] = kIpV4NoOptions;
    BE_Put16(d + kIpTotal, DHCP_DGRAM_SIZE);
    d[kIpTtl] = kIpTtlValue;
    d[kIpProto] = kIpUdp;
    BE_Put32(d + kIpDst, destination);
    BE_Put16(d + kIpSum, uint16_t(~Sum(d, kIpHeader, 0)));
    uint8_t *u = d + kIpHeader;
    BE_Put16(u + kUdpSrc, kPortClient);
    BE_Put16(u + kUdpDst, kPortServer);
    BE_Put16(u + kUdpLen, DHCP_DGRAM_SIZE - kIpHeader);
    std::memcpy(u + kUdpHeader, r.out.data(), DHCP_MSG_SIZE);
    uint16_t cs = uint16_t(~UdpSum(d, u, DHCP_DGRAM_SIZE - kIpHeader));
    if (cs == 0) cs = 0xFFFF;
    BE_Put16(u + kUdpSum, cs);
}

uint32_t DhcpTakeDatagram(uint32_t iface, const uint8_t *d, std::size_t n) {
    DhcpProcCtrl &r = dhcpProcCtrl[iface];
    if (n < kHeaders || n > DHCP_DGRAM_SIZE) return 0;
    const uint16_t total = BE_Get16(d + kIpTotal);
    if (total > n || total > DHCP_DGRAM_SIZE || total < kHeaders || d[kIpProto] != kIpUdp ||
        d[kIpVerLen] != kIpV4NoOptions)
        return 0;
    const uint8_t *u = d + kIpHeader;
    if (BE_Get16(u + kUdpDst) != kPortClient || BE_Get16(u + kUdpLen) != total - kIpHeader) return 0;
    if (Sum(d, kIpHeader, 0) != 0xFFFF) return 0;
    if (BE_Get16(u + kUdpSum) != 0 && UdpSum(d, u, uint16_t(total - kIpHeader)) != 0xFFFF) return 0;
    r.in_len = total - kHeaders;
    std::memcpy(r.in.data(), u + kUdpHeader, r.in_len);
    r.in[r.in_len] = 0;
    return 1;
}

// The message type is option 53 wherever it stands, not only as the first
// option: a server may put others before it.
uint8_t DhcpReplyType(uint32_t iface) {
    uint8_t len = 0;
    const uint8_t *v = FindOption(dhcpProcCtrl[iface], kOptMsgType, len);
    return v != nullptr && len >= 1 ? v[0] : 0;
}

void procOfferAckPacket(uint32_t iface) {
    DhcpProcCtrl &r = dhcpProcCtrl[iface];
    DhcpOffered &o = dhcpOffered[iface];
    if (r.in_len < DHCP_OPT_OFFSET) return;
    o.address = BE_Get32(&r.in[kBpYourIp]);
    std::memcpy(&r.offered_raw, &r.in[kBpYourIp], 4);
    r.offered_known = 1;
    WalkOptions(r, [&o](uint8_t c, uint8_t l, const uint8_t *v) {
        // Stored items need their four bytes.
        if (l < 4) return false;
        switch (c) {
        case kOptMask: o.mask = BE_Get32(v); break;
        case kOptRouter: o.router = BE_Get32(v); break;
        case kOptDns:
            o.dns1 = BE_Get32(v);
            if (l >= 8) o.dns2 = BE_Get32(v + 4);
            break;
        case kOptLease: o.lease = BE_Get32(v); break;
        case kOptServerId: o.server = BE_Get32(v); break;
        case kOptT1: o.t1 = BE_Get32(v); break;
        case kOptT2: o.t2 = BE_Get32(v); break;
        default: break;
        }
        return false;
    });
}

void dhcpScan(uint8_t enable, uint32_t iface) {
    if (iface > 1) return;
    DhcpProcCtrl &r = dhcpProcCtrl[iface];
    r.enable = enable;
    switch (r.state) {
    case DHCP_ST_START:
        r.state = DHCP_ST_SEND;
        r.msg = DHCP_DISCOVER;
        break;
    case DHCP_ST_SEND:
        if (r.msg == DHCP_DISCOVER) {
            // The lease goes; the address last offered stays known, and the
            // DISCOVER asks for it again (option 50).
            dhcpOffered[iface] = {};
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
        r.state = DHCP_ST_WAIT;
        break;
    case DHCP_ST_WAIT: {
        if (!ReadDatagram(iface)) {
            if (dhcpTimer(&r.reply_timer, DHCP_REPLY_TICKS)) r.state = DHCP_ST_IDLE;
            break;
        }
        if (r.msg == DHCP_RELEASE || r.msg == DHCP_INFORM) {
            r.state = DHCP_ST_IDLE;
            break;
        }
        if (r.in_len < DHCP_OPT_OFFSET || BE_Get32(&r.in[kBpXid]) != r.xid ||
            std::memcmp(&r.in[kBpClientHw], r.mac.data(), kBpMacLen) != 0) {
            r.state = DHCP_ST_IDLE;
            break;
        }
        const uint8_t type = DhcpReplyType(iface);
        r.msg = type;
        if (type == DHCP_OFFER) {
            procOfferAckPacket(iface);
            r.state = DHCP_ST_SEND;
            r.msg = DHCP_REQUEST;
        } else if (type == DHCP_ACK) {
            procOfferAckPacket(iface);
            r.bound = 1;
            r.no_lease = 0;
            r.state = DHCP_ST_SEND;
            r.msg = DHCP_INFORM;
            if (dhcpOffered[iface].t1 != 0) {
                dhcpTimer(&r.renew_timer, 0);
                r.renew_running = 1;
            }
        } else {
            r.state = DHCP_ST_IDLE;
        }
        break;
    }
    case DHCP_ST_RELEASE:
        r.state = DHCP_ST_SEND;
        r.msg = DHCP_RELEASE;
        r.no_lease = 2;
        r.bound = 0;
        break;
    default:
        if (enable == 0) {
            if (r.bound) r.state = DHCP_ST_RELEASE;
        } else if (!r.bound) {
            r.state = DHCP_ST_START;
        } else if (r.renew_running) {
            uint32_t t1 = dhcpOffered[iface].t1;
            if (t1 > DHCP_T1_MAX) t1 = DHCP_T1_MAX;
            if (dhcpTimer(&r.renew_timer, 10000u * t1)) {
                r.state = DHCP_ST_SEND;
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
    if (iface == 0) pass_work.dhcp_busy = r.state != DHCP_ST_IDLE || r.bound || r.renew_running ? 1 : 0;
}

uint32_t getFromDhcp(uint32_t item, uint32_t iface) {
    if (iface > 1 || !dhcpProcCtrl[iface].bound || item >= 4) return 0;
    const DhcpOffered &o = dhcpOffered[iface];
    const uint32_t v[4] = {o.address, o.mask, o.router, o.dns1};
    return v[item];
}
