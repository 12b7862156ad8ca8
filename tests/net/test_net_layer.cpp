// Packets and the pool, the IP instance on the logged stand-in of the
// interfaces, and TCP/UDP sockets with the connection poll against real
// loopback peers.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <functional>
#include <memory>
#include <net/if.h>
#include <net/if_arp.h>
#include <net/route.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "core/image/bytes.h"
#include "core/image/iecrt.h"
#include "core/image/plcreg.h"
#include "core/image/passwork.h"
#include "io/io.h"
#include "core/storage/memfile.h"
#include "net/dhcp.h"
#include "net/enet.h"
#include "net/enet_proto.h"
#include "net/etnio.h"
#include "net/etnvcomm.h"
#include "net/net.h"
#include "net/nx.h"
#include "net/nx_server.h"
#include "net/nxe.h"
#include "platform/plat.h"
#include "platform/plat_net.h"
#include "platform/plat_poll.h"
#include "protocols/egd.h"
#include "protocols/eip.h"
#include "protocols/modbus.h"
#include "protocols/qncan.h"
#include "protocols/srtp.h"
#include "tests/support/eth_ip.h"
#include "tests/support/fake_clock.h"
#include "tests/support/loop_peer.h"
#include "tests/support/loopback.h"
#include "tests/support/own_netns.h"
#include "tests/support/temp_root.h"

namespace {

struct OwnNamespace {
    OwnNamespace() { plat_net = &plat_net_own; }
    ~OwnNamespace() { plat_net = nullptr; }
};

int Dial(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    EXPECT_EQ(test_support::LoopbackConnect(fd, port), 0);
    return fd;
}

NX_TCP_SOCKET *g_listened;
uint32_t g_listen_port;
int g_disconnects;
void OnListen(NX_TCP_SOCKET *s, uint32_t port) {
    g_listened = s;
    g_listen_port = port;
}
void OnDisconnect(NX_TCP_SOCKET *) { g_disconnects++; }

// Polls until pred holds (the kernel needs a moment on loopback).
template <typename P>
bool Until(P pred) {
    for (int i = 0; i < 200; i++) {
        EnetThread();
        if (pred()) return true;
        usleep(2000);
    }
    return false;
}

}  // namespace

TEST(NetPacket, PoolCountsAllocationOrderBoundsAndCopy) {
    static NX_PACKET_POOL pool;
    static std::array<uint8_t, ENET_POOL_BYTES> mem alignas(16);
    ASSERT_EQ(_nx_packet_pool_create(&pool, "Packet Pool", 1520, mem.data(), uint32_t(mem.size())), NX_SUCCESS);
    EXPECT_EQ(pool.nx_packet_pool_total, 200u);
    EXPECT_EQ(pool.nx_packet_pool_available, 200u);

    std::vector<NX_PACKET *> taken;
    for (int i = 0; i < 200; i++) {
        NX_PACKET *p = nullptr;
        ASSERT_EQ(_nx_packet_allocate(&pool, &p, 0, 0), NX_SUCCESS);
        EXPECT_EQ(p->nx_packet_state, NX_PACKET_ALLOCATED);
        taken.push_back(p);
    }
    NX_PACKET *none = reinterpret_cast<NX_PACKET *>(1);
    EXPECT_EQ(pool.nx_packet_pool_available, 1u) << "the 200th found after 199 taken ones";
    EXPECT_EQ(_nx_packet_allocate(&pool, &none, 0, 0), NX_NOT_SUCCESSFUL);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(pool.nx_packet_pool_available, 0u) << "every packet passed was taken";

    // Released packet 7 is the first free one in chain order; its old append
    // pointer stays until it is taken again.
    NX_PACKET *p7 = taken[7];
    ASSERT_EQ(_nx_packet_data_append(p7, "abc", 3, &pool, 0), NX_SUCCESS);
    _nx_packet_release(p7);
    EXPECT_EQ(p7->nx_packet_length, 0u);
    EXPECT_EQ(p7->nx_packet_append_ptr, p7->nx_packet_data_start + 3);
    EXPECT_EQ(_nx_packet_data_append(p7, "x", 1, &pool, 0), NX_NOT_SUCCESSFUL);  // released
    NX_PACKET *again = nullptr;
    ASSERT_EQ(_nx_packet_allocate(&pool, &again, 0, 0), NX_SUCCESS);
    EXPECT_EQ(again, p7);
    EXPECT_EQ(again->nx_packet_append_ptr, again->nx_packet_prepend_ptr);
    EXPECT_EQ(pool.nx_packet_pool_available, 200u - 7u);

    // Appending past the payload is refused and leaves the packet as it was.
    std::vector<uint8_t> big(1521, 0x5A);
    EXPECT_EQ(_nx_packet_data_append(again, big.data(), 1521, &pool, 0), NX_NOT_SUCCESSFUL);
    EXPECT_EQ(again->nx_packet_length, 0u);
    ASSERT_EQ(_nx_packet_data_append(again, big.data(), 1500, &pool, 0), NX_SUCCESS);
    EXPECT_EQ(_nx_packet_data_append(again, big.data(), 21, &pool, 0), NX_NOT_SUCCESSFUL);
    ASSERT_EQ(_nx_packet_data_append(again, big.data(), 20, &pool, 0), NX_SUCCESS);
    EXPECT_EQ(again->nx_packet_append_ptr, again->nx_packet_data_end);

    // Copy: none free gives 67; with one free the bytes and length match.
    NX_PACKET *copy = nullptr;
    EXPECT_EQ(_nx_packet_copy(again, &copy, &pool, 0), NX_NOT_SUCCESSFUL);
    _nx_packet_release(taken[199]);
    ASSERT_EQ(_nx_packet_copy(again, &copy, &pool, 0), NX_SUCCESS);
    EXPECT_EQ(copy->nx_packet_length, 1520u);
    EXPECT_EQ(std::memcmp(copy->nx_packet_prepend_ptr, big.data(), 1520), 0);
    NX_PACKET *empty = nullptr;
    _nx_packet_release(copy);
    ASSERT_EQ(_nx_packet_allocate(&pool, &empty, 0, 0), NX_SUCCESS);
    EXPECT_EQ(_nx_packet_copy(empty, &copy, &pool, 0), NX_INVALID_PACKET);
}

TEST(NetIp, CreateAddressZeroFlagsDirectCommandsAndLoggedCalls) {
    test_support::TempRoot root;
    OwnNamespace own;
    static NX_PACKET_POOL pool;
    NX_IP ip{};
    ASSERT_EQ(_nx_ip_create(&ip, "eth0", 0xC0A8FE80, 0xFFFFFF00, &pool, Etn_Driver, nullptr, 0, 4), NX_SUCCESS);
    EXPECT_EQ(ip.nx_ip_interface, 0u);
    EXPECT_EQ(ip.nx_ip_network, 0xC0A8FE00u);
    {
        // A name without a digit after its third character is interface 0.
        NX_IP bare{};
        (void)_nx_ip_create(&bare, "eth", 0xC0A8FE81, 0xFFFFFF00, &pool, Etn_Driver, nullptr, 0, 4);
        EXPECT_EQ(bare.nx_ip_interface, 0u);
    }
    // Internet checksum: words big-endian, an odd last byte as a high byte.
    const uint8_t sum_bytes[] = {0x45, 0x00, 0x12, 0x34, 0xAB};
    EXPECT_EQ(NxChecksum(sum_bytes, 4), 0xA8CBu);
    EXPECT_EQ(NxChecksum(sum_bytes, 5), 0xFDCAu);
    EXPECT_EQ(_nx_ip_address_get(&ip), NX_SUCCESS);
    EXPECT_EQ(ip.nx_ip_address, 0xC0A8FE80u);
    EXPECT_EQ(ip.nx_ip_network_mask, 0xFFFFFF00u);

    // Link and speed from the interface; counts only while the link is up.
    uint32_t v = 99;
    ip.nx_ip_sent_count = 5;
    EXPECT_EQ(_nx_ip_driver_direct_command(&ip, NX_LINK_GET_SPEED, &v), NX_SUCCESS);
    EXPECT_EQ(ip.nx_ip_link_up, 1u);
    EXPECT_EQ(v, 1u);  // 100 Mbit/s
    _nx_ip_driver_direct_command(&ip, NX_LINK_GET_DUPLEX, &v);
    EXPECT_EQ(v, 1u);
    _nx_ip_driver_direct_command(&ip, NX_LINK_GET_TX_COUNT, &v);
    EXPECT_EQ(v, 5u);

    // Address 0 with the disable-on-zero flag takes the port down and keeps the mask.
    ip.nx_ip_disable_on_zero = 1;
    EXPECT_EQ(_nx_ip_address_set(&ip, 0, 0xFFFF0000), NX_SUCCESS);
    EXPECT_EQ(ip.nx_ip_address, 0u);
    EXPECT_EQ(ip.nx_ip_network_mask, 0xFFFF0000u);
    EXPECT_EQ(ip.nx_ip_disable_on_zero, 0);
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    struct ifreq ifr {};
    std::strcpy(ifr.ifr_name, "eth0");
    ASSERT_EQ(PLAT_NetIoctl(fd, SIOCGIFFLAGS, &ifr), 0);
    EXPECT_EQ(ifr.ifr_flags & IFF_UP, 0);
    // With address 0 nothing is read: every command answers 0.
    v = 7;
    _nx_ip_driver_direct_command(&ip, NX_LINK_GET_SPEED, &v);
    EXPECT_EQ(v, 0u);

    // Gateway and a new address: the gateway is set again with the address.
    ASSERT_EQ(_nx_ip_address_set(&ip, 0x0A4D0002, 0xFFFFFF00), NX_SUCCESS);
    ASSERT_EQ(_nx_ip_gateway_address_set(&ip, 0x0A4D0001), NX_SUCCESS);
    EXPECT_EQ(ip.nx_ip_gateway_address, 0x0A4D0001u);
    ASSERT_EQ(PLAT_NetIoctl(fd, SIOCGIFFLAGS, &ifr), 0);
    EXPECT_EQ(ifr.ifr_flags & IFF_UP, IFF_UP);
    // Address 0 with both flags clear is set as 0.0.0.0, the port stays up;
    // with the zero-address-once flag likewise, and the flag is used up.
    for (uint8_t once : {0, 1}) {
        ip.nx_ip_zero_once = once;
        ip.nx_ip_disable_on_zero = 0;
        ASSERT_EQ(_nx_ip_address_set(&ip, 0, 0xFFFFFF00), NX_SUCCESS);
        EXPECT_EQ(ip.nx_ip_address, 0u);
        EXPECT_EQ(ip.nx_ip_zero_once, 0);
        std::memset(&ifr.ifr_addr, 0, sizeof ifr.ifr_addr);
        EXPECT_EQ(PLAT_NetIoctl(fd, SIOCGIFADDR, &ifr), -1) << "no address on the interface";
        ASSERT_EQ(PLAT_NetIoctl(fd, SIOCGIFFLAGS, &ifr), 0);
        EXPECT_EQ(ifr.ifr_flags & IFF_UP, IFF_UP);
        ASSERT_EQ(_nx_ip_address_set(&ip, 0x0A4D0002, 0xFFFFFF00), NX_SUCCESS);
    }

    // The hardware addresses of both interfaces into the identity image, as
    // bytes and as text.
    const std::array<uint8_t, 76> image_was = tinyImage;
    const uint8_t macs[2][6] = {{0x02, 0x11, 0x22, 0x33, 0x44, 0x55}, {0x02, 0xAA, 0xBB, 0xCC, 0xDD, 0x0E}};
    for (int i = 0; i < 2; i++) {
        struct ifreq hw {};
        std::strcpy(hw.ifr_name, i == 0 ? "eth0" : "eth1");
        hw.ifr_hwaddr.sa_family = ARPHRD_ETHER;
        std::memcpy(hw.ifr_hwaddr.sa_data, macs[i], 6);
        ASSERT_EQ(PLAT_NetIoctl(fd, SIOCSIFHWADDR, &hw), 0);
    }
    tinyImage.fill(0);
    Etn_GetMacId();
    EXPECT_EQ(std::vector<uint8_t>(tinyImage.begin() + 8, tinyImage.begin() + 20),
              (std::vector<uint8_t>{0x02, 0x11, 0x22, 0x33, 0x44, 0x55, 0x02, 0xAA, 0xBB, 0xCC, 0xDD, 0x0E}));
    EXPECT_STREQ(reinterpret_cast<const char *>(&tinyImage[20]), "02:11:22:33:44:55");
    EXPECT_STREQ(reinterpret_cast<const char *>(&tinyImage[38]), "02:AA:BB:CC:DD:0E");
    tinyImage = image_was;
    close(fd);

    // In the machine's own namespace the calls were only logged.
    std::ifstream log(root / "sim/net.log");
    std::stringstream text;
    text << log.rdbuf();
    EXPECT_NE(text.str().find("ioctl SIOCSIFADDR eth0 192.168.254.128"), std::string::npos);
    EXPECT_NE(text.str().find("ioctl SIOCSIFFLAGS down eth0"), std::string::npos);
    EXPECT_NE(text.str().find("ioctl SIOCADDRT eth0 10.77.0.1"), std::string::npos);

    // The namespace decision: different from process 1's (or, hidden, the
    // oldest ancestor's) means a namespace of our own; in doubt, not.
    EXPECT_EQ(PLAT_NetIsolatedFrom("net:[1]", "net:[2]", ""), 1);
    EXPECT_EQ(PLAT_NetIsolatedFrom("net:[1]", "net:[1]", "net:[9]"), 0);
    EXPECT_EQ(PLAT_NetIsolatedFrom("net:[1]", "", "net:[9]"), 1);
    EXPECT_EQ(PLAT_NetIsolatedFrom("net:[1]", "", "net:[1]"), 0);
    EXPECT_EQ(PLAT_NetIsolatedFrom("net:[1]", "", ""), 0);
    // Traffic off the machine is refused at the socket layer.
    const int u = socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in out {};
    out.sin_family = AF_INET;
    out.sin_port = htons(9);
    out.sin_addr.s_addr = htonl(0x0A4D0001);
    EXPECT_EQ(PLAT_NetSendTo(u, "x", 1, 0, reinterpret_cast<struct sockaddr *>(&out), sizeof out), -1);
    EXPECT_EQ(errno, ENETUNREACH);
    close(u);
}

namespace {

// A scripted interface for the calls of the IP instance: the flags and the
// speed it reports, how often the speed was read, and every datagram sent.
struct ScriptedIf {
    short flags = IFF_UP | IFF_BROADCAST;
    uint32_t speed = 1000;
    uint8_t duplex = DUPLEX_FULL;
    int speed_reads = 0;
    std::vector<std::vector<uint8_t>> sent;
};
ScriptedIf g_if;
int ScriptedIoctl(int, unsigned long request, void *arg) {
    auto *ifr = static_cast<struct ifreq *>(arg);
    if (request == SIOCGIFFLAGS) {
        ifr->ifr_flags = g_if.flags;
        return 0;
    }
    if (request == SIOCETHTOOL) {
        auto *cmd = reinterpret_cast<struct ethtool_cmd *>(ifr->ifr_data);
        ethtool_cmd_speed_set(cmd, g_if.speed);
        cmd->duplex = g_if.duplex;
        g_if.speed_reads++;
        return 0;
    }
    return errno = EINVAL, -1;
}
const char *ScriptedDevice(const char *) { return "lo"; }
uint32_t ScriptedBindAddr(uint32_t a) { return a; }
int ScriptedConnect(int, const struct sockaddr *, socklen_t) { return errno = ENETUNREACH, -1; }
ssize_t ScriptedSendTo(int, const void *buf, std::size_t n, int, const struct sockaddr *, socklen_t) {
    const auto *b = static_cast<const uint8_t *>(buf);
    g_if.sent.emplace_back(b, b + n);
    return ssize_t(n);
}
const PlatNetOps kScriptedNet = {ScriptedIoctl, ScriptedDevice, ScriptedBindAddr, ScriptedConnect, ScriptedSendTo};
struct ScriptedNet {
    ScriptedNet() {
        g_if = ScriptedIf{};
        plat_net = &kScriptedNet;
    }
    ~ScriptedNet() { plat_net = nullptr; }
};

// Half a second into the current second: the time base never reads 0 here.
int64_t MidSecond() {
    const int64_t now = test_support::NowOnTick();
    return now - now % 1000000000 + 500000000;
}

// An echo reply of 28 bytes (IPv4 header of 20, ICMP of 8) with identifier
// id and ICMP type, sent from a loopback socket to the port of fd.
void SendEcho(int fd, uint8_t type, uint16_t id) {
    struct sockaddr_in to {};
    socklen_t len = sizeof to;
    ASSERT_EQ(getsockname(fd, reinterpret_cast<struct sockaddr *>(&to), &len), 0);
    uint8_t d[28] = {0x45, 0, 0, 28, 0, 0, 0, 0, 64, 1, 0, 0, 127, 0, 0, 1, 10, 77, 0, 2, type, 0, 0, 0};
    BE_Put16(d + 24, id);
    const int s = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_EQ(sendto(s, d, sizeof d, 0, reinterpret_cast<struct sockaddr *>(&to), len), 28);
    close(s);
}

}  // namespace

// The link flag follows IFF_RUNNING; the speed is read when the link comes
// up, once more after 10 s (100,001 ticks), and then not again until the
// link has gone down and up.
TEST(NetIp, SpeedReadAtLinkUpAgainAfterTenSecondsThenOnlyAfterTheNextLinkUp) {
    test_support::FakeClock clock(MidSecond());
    ScriptedNet net;
    static NX_PACKET_POOL pool;
    static std::array<uint8_t, 2 * (NX_PACKET_HEADER + 1520)> mem alignas(16);
    static NX_IP ip;
    test_support::EthIp(ip, pool, mem, "speed");
    ip.nx_ip_address = 0x0A4D0002;
    auto cmd = [&](uint32_t command) {
        uint32_t v = 0xAA;
        EXPECT_EQ(_nx_ip_driver_direct_command(&ip, command, &v), NX_SUCCESS);
        return v;
    };
    ip.nx_ip_sent_count = 6;
    ip.nx_ip_received_count = 4;
    EXPECT_EQ(cmd(NX_LINK_GET_SPEED), 0u);
    EXPECT_EQ(ip.nx_ip_link_up, 0u);
    EXPECT_EQ(g_if.speed_reads, 0);
    EXPECT_EQ(cmd(NX_LINK_GET_TX_COUNT), 0u) << "no counts while the link is down";
    EXPECT_EQ(cmd(NX_LINK_GET_RX_COUNT), 0u);

    g_if.flags |= IFF_RUNNING;
    EXPECT_EQ(cmd(NX_LINK_GET_SPEED), 2u);  // 1000 Mbit/s
    EXPECT_EQ(ip.nx_ip_link_up, 1u);
    EXPECT_EQ(ip.nx_ip_speed, 0x102u);
    EXPECT_EQ(cmd(NX_LINK_GET_DUPLEX), 1u);
    EXPECT_EQ(cmd(NX_LINK_GET_TX_COUNT), 6u);
    EXPECT_EQ(cmd(NX_LINK_GET_RX_COUNT), 4u);
    EXPECT_EQ(cmd(NX_LINK_GET_ERRORS), 0u);
    EXPECT_EQ(cmd(NX_LINK_GET_ALLOC_ERRORS), 0u);
    EXPECT_EQ(g_if.speed_reads, 1);

    g_if.speed = 100;
    g_if.duplex = DUPLEX_HALF;
    test_support::FakeClock::Advance(100000);
    EXPECT_EQ(cmd(NX_LINK_GET_SPEED), 2u) << "10 s are not yet more than 10 s";
    EXPECT_EQ(g_if.speed_reads, 1);
    test_support::FakeClock::Advance(1);
    EXPECT_EQ(cmd(NX_LINK_GET_SPEED), 1u);  // 100 Mbit/s
    EXPECT_EQ(cmd(NX_LINK_GET_DUPLEX), 0u);
    EXPECT_EQ(g_if.speed_reads, 2);
    EXPECT_EQ(nx_link_speed_timer, 0u);

    g_if.speed = 10;
    test_support::FakeClock::Advance(300000);
    EXPECT_EQ(cmd(NX_LINK_GET_SPEED), 1u) << "a link that stays up is not read again";
    EXPECT_EQ(g_if.speed_reads, 2);

    g_if.flags = short(g_if.flags & ~IFF_RUNNING);
    EXPECT_EQ(cmd(NX_LINK_GET_TX_COUNT), 0u);
    EXPECT_EQ(ip.nx_ip_link_up, 0u);
    g_if.flags |= IFF_RUNNING;
    EXPECT_EQ(cmd(NX_LINK_GET_SPEED), 0u);  // 10 Mbit/s
    EXPECT_EQ(g_if.speed_reads, 3);
    g_if.speed = 2500;
    g_if.duplex = DUPLEX_FULL;
    test_support::FakeClock::Advance(100001);
    EXPECT_EQ(cmd(NX_LINK_GET_SPEED), 0u) << "any other speed is code 0";
    EXPECT_EQ(ip.nx_ip_speed, 0x100u);

    // Without an address nothing is read and every command answers 0.
    ip.nx_ip_address = 0;
    g_if.flags = short(g_if.flags & ~IFF_RUNNING);
    EXPECT_EQ(cmd(NX_LINK_GET_DUPLEX), 0u);
    EXPECT_EQ(ip.nx_ip_link_up, 1u);
    EXPECT_EQ(g_if.speed_reads, 4);
}

// One step of the echo per call: the request's 28 bytes, a reply taken only
// from the target and only for our own request, and the time-out.
TEST(NetIp, EchoRequestBytesOwnReplyAndTimeOut) {
    test_support::FakeClock clock(MidSecond());
    ScriptedNet net;
    static NX_PACKET_POOL pool;
    static std::array<uint8_t, 4 * (NX_PACKET_HEADER + 1520)> mem alignas(16);
    static NX_IP ip;
    test_support::EthIp(ip, pool, mem, "echo");
    ip.nx_ip_address = 0x0A4D0002;  // 10.77.0.2
    // The raw socket's stand-in: a datagram socket on the loopback.
    const int rx = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    struct sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(rx, reinterpret_cast<struct sockaddr *>(&a), sizeof a), 0);
    ip.nx_ip_ping_fd = rx;
    NX_PACKET *reply = nullptr;

    EXPECT_EQ(_nx_icmp_ping(&ip, 0x7F000001, "x", 1, &reply, 100), NX_IN_PROGRESS);
    ASSERT_EQ(g_if.sent.size(), 1u);
    const std::vector<uint8_t> &d = g_if.sent[0];
    ASSERT_EQ(d.size(), 28u);
    const uint16_t id = BE_Get16(&d[24]);
    // Header checksum of 4500 001C 0000 0000 4001 0A4D 0002 7F00 0001 by hand:
    // the sum 0x10E6D folds to 0x0E6E, its complement is 0xF191.
    const std::vector<uint8_t> head = {0x45, 0x00, 0x00, 0x1C, 0x00, 0x00, 0x00, 0x00, 0x40, 0x01,
                                       0xF1, 0x91, 0x0A, 0x4D, 0x00, 0x02, 0x7F, 0x00, 0x00, 0x01};
    EXPECT_EQ(std::vector<uint8_t>(d.begin(), d.begin() + 20), head);
    uint32_t icmp_sum = 0x0800u + id;  // type 8, code 0, the identifier, sequence 0
    icmp_sum = (icmp_sum & 0xFFFF) + (icmp_sum >> 16);
    EXPECT_EQ(std::vector<uint8_t>(d.begin() + 20, d.end()),
              (std::vector<uint8_t>{0x08, 0x00, uint8_t(~icmp_sum >> 8), uint8_t(~icmp_sum), uint8_t(id >> 8),
                                    uint8_t(id), 0x00, 0x00}));
    EXPECT_EQ(ip.nx_ip_sent_count, 1u);
    EXPECT_EQ(ip.nx_ip_ping_state, 1u);
    EXPECT_EQ(pool.nx_packet_pool_available, 4u) << "the request's packet is released";

    // Nothing yet; our own request looped back; another request's reply.
    EXPECT_EQ(_nx_icmp_ping(&ip, 0x7F000001, nullptr, 0, &reply, 100), NX_NOT_SUCCESSFUL);
    SendEcho(rx, 8, id);
    SendEcho(rx, 0, uint16_t(id + 1));
    EXPECT_EQ(_nx_icmp_ping(&ip, 0x7F000001, nullptr, 0, &reply, 100), NX_NOT_SUCCESSFUL);
    EXPECT_EQ(reply, nullptr);
    EXPECT_EQ(pool.nx_packet_pool_available, 4u);
    EXPECT_EQ(ip.nx_ip_received_count, 0u);
    // The reply: handed over whole; the echo stays outstanding until its time-out.
    SendEcho(rx, 0, id);
    test_support::FakeClock::Advance(30);
    ASSERT_EQ(_nx_icmp_ping(&ip, 0x7F000001, nullptr, 0, &reply, 100), NX_SUCCESS);
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(reply->nx_packet_length, 28u);
    EXPECT_EQ(reply->nx_packet_prepend_ptr[20], 0);
    EXPECT_EQ(BE_Get16(reply->nx_packet_prepend_ptr + 24), id);
    _nx_packet_release(reply);
    EXPECT_EQ(ip.nx_ip_received_count, 1u);
    EXPECT_EQ(ip.nx_ip_ping_state, 1u);
    // 100 ms are 1,000 ticks: 999 ticks after the request it is still
    // outstanding, at 1,000 it has timed out (8) and the next call sends.
    test_support::FakeClock::Advance(969);
    EXPECT_EQ(_nx_icmp_ping(&ip, 0x7F000001, nullptr, 0, &reply, 100), NX_NOT_SUCCESSFUL);
    test_support::FakeClock::Advance(1);
    EXPECT_EQ(_nx_icmp_ping(&ip, 0x7F000001, nullptr, 0, &reply, 100), NX_NO_RESPONSE);
    EXPECT_EQ(ip.nx_ip_ping_state, 0u);
    EXPECT_EQ(_nx_icmp_ping(&ip, 0x7F000001, nullptr, 0, &reply, 100), NX_IN_PROGRESS);
    // A new target is asked at once, the outstanding echo given up.
    EXPECT_EQ(_nx_icmp_ping(&ip, 0x7F000002, nullptr, 0, &reply, 100), NX_IN_PROGRESS);
    ASSERT_EQ(g_if.sent.size(), 3u);
    EXPECT_EQ(BE_Get32(&g_if.sent[2][16]), 0x7F000002u);
    EXPECT_EQ(ip.nx_ip_ping_target, 0x7F000002u);
    EXPECT_EQ(ip.nx_ip_sent_count, 3u);
    // Without a socket: 67 and nothing sent.
    ip.nx_ip_ping_fd = -1;
    EXPECT_EQ(_nx_icmp_ping(&ip, 0x7F000003, nullptr, 0, &reply, 100), NX_NOT_SUCCESSFUL);
    EXPECT_EQ(g_if.sent.size(), 3u);
    EXPECT_EQ(ip.nx_ip_ping_state, 0u);
    EXPECT_EQ(pool.nx_packet_pool_available, 4u);
    close(rx);
}

// Every join is made on the socket; only the first seven are recorded.
TEST(NetIp, EighthMulticastJoinIsMadeButNotRecorded) {
    OwnNamespace own;
    static NX_PACKET_POOL pool;
    static std::array<uint8_t, 2 * (NX_PACKET_HEADER + 1520)> mem alignas(16);
    static NX_IP ip;
    test_support::EthIp(ip, pool, mem, "mcast");
    ip.nx_ip_address = 0x7F000001;
    static NX_UDP_SOCKET u;
    ASSERT_EQ(_nx_udp_socket_create(&ip, &u, "M", 0, 0, 64, 4), 0u);
    ASSERT_EQ(_nx_udp_socket_bind(&u, 18623, 0), 0u);
    for (uint32_t i = 0; i < 8; i++) EXPECT_EQ(_nx_igmp_multicast_join(&ip, 0xEF4D0001 + i, &u), 0u) << i;
    EXPECT_EQ(ip.nx_ip_mcast_count, 7u);
    EXPECT_EQ(ip.nx_ip_mcast[6], 0xEF4D0007u);
    ASSERT_GE(u.fd, 0) << "the kernel took every join";
    // The eighth is a member on the socket: it can be left.
    EXPECT_EQ(_nx_igmp_multicast_leave(&ip, 0xEF4D0008, &u), 0u);
    EXPECT_EQ(_nx_igmp_multicast_leave(&ip, 0xEF4D0008, &u), 67u) << "no longer a member";
    EXPECT_EQ(ip.nx_ip_mcast_count, 7u) << "a leave keeps the list";
    _nx_udp_socket_delete(&u);
}

TEST(NetSocket, ListenRelistenAcceptCloseSendAndUdp) {
    OwnNamespace own;
    static NX_PACKET_POOL pool;
    static std::array<uint8_t, 16 * (NX_PACKET_HEADER + 1520)> mem alignas(16);
    static NX_IP ip;
    test_support::EthIp(ip, pool, mem, "p");
    constexpr uint16_t kPort = 18611;

    static NX_TCP_SOCKET a, b;
    ASSERT_EQ(_nx_tcp_socket_create(&ip, &a, "A", 0, 0, 128, 2048, nullptr, OnDisconnect), NX_SUCCESS);
    ASSERT_EQ(_nx_tcp_socket_create(&ip, &b, "B", 0, 0, 128, 2048, nullptr, OnDisconnect), NX_SUCCESS);
    ASSERT_EQ(_nx_tcp_server_socket_listen(&ip, kPort, &a, 5, OnListen), NX_SUCCESS);
    EXPECT_EQ(a.state, NX_TCP_LISTEN);
    EXPECT_EQ(a.queue_size, 16u);
    EXPECT_EQ(_nx_tcp_server_socket_listen(&ip, kPort, &a, 5, OnListen), NX_NOT_CREATED);
    // Relisten shares the listening descriptor and the callback.
    const int b_old = b.fd;
    ASSERT_EQ(_nx_tcp_server_socket_relisten(&ip, kPort, &b), NX_SUCCESS);
    EXPECT_EQ(b.fd, a.fd);
    EXPECT_EQ(b.listen_callback, &OnListen);
    EXPECT_EQ(fcntl(b_old, F_GETFL), -1);  // its own descriptor was given back

    // A connection makes the poll call the listen callback; accept without
    // waiting answers 55 and the socket is established with the peer.
    const int peer = Dial(kPort);
    g_listened = nullptr;
    ASSERT_TRUE(Until([] { return g_listened != nullptr; }));
    EXPECT_EQ(g_listen_port, kPort);
    NX_TCP_SOCKET *srv = g_listened;
    ASSERT_EQ(_nx_tcp_server_socket_accept(srv, 0), NX_IN_PROGRESS);
    EXPECT_EQ(srv->state, NX_TCP_ESTABLISHED);
    EXPECT_EQ(srv->peer_address, 0x7F000001u);
    EXPECT_NE(srv->peer_port, 0u);

    // Data both ways.
    NX_PACKET *pk = nullptr;
    ASSERT_EQ(_nx_packet_allocate(&pool, &pk, 56, 0), NX_SUCCESS);
    _nx_packet_data_append(pk, "hello", 5, &pool, 0);
    ASSERT_EQ(_nx_tcp_socket_send(srv, pk, 0), NX_SUCCESS);
    EXPECT_EQ(pk->nx_packet_state, NX_PACKET_FREE);
    char buf[16] = {};
    ASSERT_EQ(recv(peer, buf, sizeof buf, 0), 5);
    EXPECT_STREQ(buf, "hello");
    ASSERT_EQ(send(peer, "abc", 3, 0), 3);
    NX_PACKET *in = nullptr;
    ASSERT_TRUE(Until([&] { return _nx_tcp_socket_receive(srv, &in, 0) == NX_SUCCESS; }));
    EXPECT_EQ(in->nx_packet_length, 3u);
    EXPECT_EQ(std::memcmp(in->nx_packet_prepend_ptr, "abc", 3), 0);
    _nx_packet_release(in);

    // Not writable: 57 and the packet is freed anyway.
    srv->writable = 0;
    ASSERT_EQ(_nx_packet_allocate(&pool, &pk, 56, 0), NX_SUCCESS);
    EXPECT_EQ(_nx_tcp_socket_send(srv, pk, 0), NX_WINDOW_OVERFLOW);
    EXPECT_EQ(pk->nx_packet_state, NX_PACKET_FREE);

    // Peer close: receive answers 1, the same pass's poll sets state 6 and
    // calls the disconnect callback.
    close(peer);
    usleep(20000);
    EXPECT_EQ(_nx_tcp_socket_receive(srv, &in, 0), NX_NO_PACKET);
    EXPECT_EQ(in, nullptr);
    g_disconnects = 0;
    EnetThread();
    EXPECT_EQ(srv->state, NX_TCP_CLOSE_WAIT);
    EXPECT_EQ(g_disconnects, 1);

    // Deleting one sharer keeps the other listening; the last one closes it.
    NX_TCP_SOCKET *other = srv == &a ? &b : &a;
    const int lfd = a.fd == -1 ? b.fd : a.fd;
    _nx_tcp_socket_delete(srv);
    EXPECT_EQ(srv->state, NX_TCP_CREATED);
    EXPECT_EQ(srv->fd, -1);
    EXPECT_NE(fcntl(lfd, F_GETFL), -1);
    const int peer2 = Dial(kPort);
    g_listened = nullptr;
    ASSERT_TRUE(Until([] { return g_listened != nullptr; }));
    EXPECT_EQ(g_listened, other);
    close(peer2);
    _nx_tcp_socket_delete(other);
    EXPECT_EQ(fcntl(lfd, F_GETFL), -1);

    // A deleted socket re-opens through bind without a receive-notify callback.
    _nx_tcp_socket_receive_notify(&a, OnDisconnect);
    _nx_tcp_socket_create(&ip, &a, "A", 0, 0, 128, 2048, nullptr, OnDisconnect);
    EXPECT_EQ(a.receive_callback, nullptr);
    EXPECT_EQ(_nx_tcp_client_socket_bind(&a, 0, 0), NX_SUCCESS);
    EXPECT_EQ(_nx_tcp_client_socket_bind(&a, 0, 0), NX_ALREADY_BOUND);
    _nx_tcp_socket_delete(&a);

    // UDP round trip on loopback with the sender's address and port.
    static NX_UDP_SOCKET u;
    ASSERT_EQ(_nx_udp_socket_create(&ip, &u, "U", 0, 0, 64, 4), NX_SUCCESS);
    ASSERT_EQ(_nx_udp_socket_bind(&u, 18612, 0), NX_SUCCESS);
    ASSERT_EQ(_nx_packet_allocate(&pool, &pk, 44, 0), NX_SUCCESS);
    _nx_packet_data_append(pk, "dgram", 5, &pool, 0);
    ASSERT_EQ(_nx_udp_socket_send(&u, pk, 0x7F000001, 18612), NX_SUCCESS);
    uint32_t from = 0, port = 0;
    ASSERT_TRUE(Until([&] { return _nx_udp_socket_receive_port_detail(&u, &in, &from, &port) == NX_SUCCESS; }));
    EXPECT_EQ(in->nx_packet_length, 5u);
    EXPECT_EQ(from, 0x7F000001u);
    EXPECT_EQ(port, 18612u);
    _nx_packet_release(in);
    // Off-machine destinations are refused in the machine's own namespace.
    ASSERT_EQ(_nx_packet_allocate(&pool, &pk, 44, 0), NX_SUCCESS);
    EXPECT_EQ(_nx_udp_socket_send(&u, pk, 0x0A4D0001, 9), NX_NOT_SUCCESSFUL);
    EXPECT_EQ(pk->nx_packet_state, NX_PACKET_FREE);
    // Unbound, the port is given back: another socket of the machine binds
    // it, and the record binds it again once that one has gone.
    auto port_free = [] {
        const int o = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_port = htons(18612);
        at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const bool took = bind(o, reinterpret_cast<sockaddr *>(&at), sizeof at) == 0;
        close(o);
        return took;
    };
    EXPECT_FALSE(port_free());
    ASSERT_EQ(_nx_udp_socket_unbind(&u), NX_SUCCESS);
    EXPECT_TRUE(port_free()) << "an unbound socket keeps its port";
    ASSERT_EQ(_nx_udp_socket_bind(&u, 18612, 0), NX_SUCCESS);
    EXPECT_FALSE(port_free());
    _nx_udp_socket_delete(&u);
    EXPECT_EQ(u.fd, -1);

    // Descriptor 0 is never stored (a zeroed record would read it as none):
    // with standard input closed, a connection accepted and a socket made
    // take another.
    static NX_TCP_SOCKET z;
    constexpr uint16_t kZeroPort = 18619;  // no other test of the program listens there
    ASSERT_EQ(_nx_tcp_socket_create(&ip, &z, "Z", 0, 0, 128, 2048, nullptr, nullptr), NX_SUCCESS);
    ASSERT_EQ(_nx_tcp_server_socket_listen(&ip, kZeroPort, &z, 5, OnListen), NX_SUCCESS);
    const int peer3 = Dial(kZeroPort);
    g_listened = nullptr;
    ASSERT_TRUE(Until([] { return g_listened != nullptr; }));
    const int saved_in = dup(0);
    close(0);
    const uint32_t accepted = _nx_tcp_server_socket_accept(&z, 0);
    static NX_UDP_SOCKET zu;
    const uint32_t made = _nx_udp_socket_create(&ip, &zu, "Z", 0, 0, 64, 4);
    dup2(saved_in, 0);
    close(saved_in);
    EXPECT_EQ(accepted, NX_IN_PROGRESS);
    EXPECT_GT(z.accepted_fd, 0);
    EXPECT_EQ(made, NX_SUCCESS);
    EXPECT_GT(zu.fd, 0);
    _nx_udp_socket_delete(&zu);
    // A bound record without a descriptor sends nothing and says so.
    zu.bound = 1;
    ASSERT_EQ(_nx_packet_allocate(&pool, &pk, 44, 0), NX_SUCCESS);
    EXPECT_EQ(_nx_udp_socket_send(&zu, pk, 0x7F000001, 18612), NX_NOT_SUCCESSFUL);
    EXPECT_EQ(pk->nx_packet_state, NX_PACKET_FREE);
    zu.bound = 0;
    _nx_tcp_server_socket_unlisten(&ip, kZeroPort);
    close(peer3);
}

namespace {
std::vector<NX_TCP_SOCKET *> g_received;
void OnReceive(NX_TCP_SOCKET *s) {
    g_received.push_back(s);
    NX_PACKET *pk = nullptr;
    while (_nx_tcp_socket_receive(s, &pk, 0) == NX_SUCCESS) _nx_packet_release(pk);
}
void Accept(NX_TCP_SOCKET *s, uint32_t) {
    if (_nx_tcp_server_socket_accept(s, 0) != NX_IN_PROGRESS) _nx_tcp_server_socket_unaccept(s);
}
}  // namespace

namespace {
// An instance on a pool of its own and N server records created on it
// (static in a test, so that the poll's conditions reach them).
template <std::size_t N>
struct ServerRecords {
    NX_PACKET_POOL pool;
    alignas(16) std::array<uint8_t, 16 * (NX_PACKET_HEADER + 1520)> mem;
    NX_IP ip;
    std::array<NX_TCP_SOCKET, N> r;
    void Make(const char *name) {
        test_support::EthIp(ip, pool, mem, name);
        for (auto &s : r)
            ASSERT_EQ(_nx_tcp_socket_create(&ip, &s, name, 0, 0, 128, 2048, nullptr, nullptr), NX_SUCCESS);
    }
};
}  // namespace

TEST(NetSocket, PollServesOnlyReadyRecordsInTableOrderAndKeepsWaitingConnections) {
    OwnNamespace own;
    static ServerRecords<3> q;
    q.Make("q");
    auto &pool = q.pool;
    auto &ip = q.ip;
    auto &r = q.r;
    constexpr uint16_t kPort = 18613;
    ASSERT_EQ(_nx_tcp_server_socket_listen(&ip, kPort, &r[0], 5, Accept), NX_SUCCESS);
    const unsigned in_set = PLAT_PollCount();

    // Two connections wait; one listening record takes one, the other waits
    // in the queue while no record listens, with no new report to come.
    const int p0 = Dial(kPort), p1 = Dial(kPort);
    ASSERT_TRUE(Until([] { return r[0].state == NX_TCP_ESTABLISHED; }));
    for (int i = 0; i < 5; i++) EnetThread();
    EXPECT_EQ(r[1].state, NX_TCP_CREATED);
    ASSERT_EQ(_nx_tcp_server_socket_relisten(&ip, kPort, &r[1]), NX_SUCCESS);
    ASSERT_TRUE(Until([] { return r[1].state == NX_TCP_ESTABLISHED; }));
    EXPECT_EQ(PLAT_PollCount(), in_set + 2);  // one item per connection

    // Input on both, the later record's first: served in table order; an idle
    // poll calls nothing.
    struct sockaddr_in me {};
    socklen_t ml = sizeof me;
    ASSERT_EQ(getsockname(p0, reinterpret_cast<struct sockaddr *>(&me), &ml), 0);
    const int peer0 = ntohs(me.sin_port) == r[0].peer_port ? p0 : p1;
    const int peer1 = peer0 == p0 ? p1 : p0;
    _nx_tcp_socket_receive_notify(&r[0], OnReceive);
    _nx_tcp_socket_receive_notify(&r[1], OnReceive);
    g_received.clear();
    for (int i = 0; i < 3; i++) EnetThread();
    EXPECT_TRUE(g_received.empty());
    ASSERT_EQ(send(peer1, "b", 1, 0), 1);
    ASSERT_EQ(send(peer0, "a", 1, 0), 1);
    usleep(20000);
    EnetThread();
    ASSERT_EQ(g_received.size(), 2u);
    EXPECT_EQ(g_received[0], &r[0]);
    EXPECT_EQ(g_received[1], &r[1]);
    g_received.clear();
    for (int i = 0; i < 3; i++) EnetThread();
    EXPECT_TRUE(g_received.empty());

    // A peer that does not read: whole sends fill the connection, and the
    // one that leaves it without room makes the record not writable, so the
    // next send answers 57 (not 67, a broken connection) until the set
    // reports room again.
    std::vector<uint8_t> big(1400, 0x55);
    uint32_t st = NX_SUCCESS;
    for (int i = 0; i < 100000 && st == NX_SUCCESS; i++) {
        NX_PACKET *pk = nullptr;
        ASSERT_EQ(_nx_packet_allocate(&pool, &pk, 56, 0), NX_SUCCESS);
        _nx_packet_data_append(pk, big.data(), uint32_t(big.size()), &pool, 0);
        st = _nx_tcp_socket_send(&r[0], pk, 0);
    }
    EXPECT_EQ(st, NX_WINDOW_OVERFLOW);
    EXPECT_EQ(r[0].writable, 0u);
    EXPECT_EQ(r[0].transmit_state, 2u);
    NX_PACKET *pk = nullptr;
    ASSERT_EQ(_nx_packet_allocate(&pool, &pk, 56, 0), NX_SUCCESS);
    EXPECT_EQ(_nx_tcp_socket_send(&r[0], pk, 0), NX_WINDOW_OVERFLOW);
    char sink[65536];
    ASSERT_TRUE(Until([&] {
        while (recv(peer0, sink, sizeof sink, MSG_DONTWAIT) > 0) {
        }
        return r[0].writable == 1;
    }));
    EXPECT_EQ(r[0].transmit_state, 0u);

    // A close that comes with data: the receive callback reads the data, and
    // the close is seen all the same (state 6).
    g_received.clear();
    ASSERT_EQ(send(peer1, "z", 1, 0), 1);
    ASSERT_EQ(shutdown(peer1, SHUT_WR), 0);
    ASSERT_TRUE(Until([&] { return r[1].state == NX_TCP_CLOSE_WAIT; })) << "state " << r[1].state;
    ASSERT_EQ(g_received.size(), 1u);
    EXPECT_EQ(g_received[0], &r[1]);

    // Connections closed one after another: the port stays listened on (a
    // connection meanwhile waits, it is not refused) and a record relistened
    // takes it; the unlisten closes it. The set is then as before.
    close(p0);
    close(p1);
    _nx_tcp_socket_delete(&r[0]);
    _nx_tcp_socket_delete(&r[1]);
    EXPECT_EQ(PLAT_PollCount(), in_set);
    const int p2 = Dial(kPort);
    EXPECT_EQ(_nx_tcp_server_socket_relisten(&ip, kPort, &r[2]), NX_SUCCESS);
    ASSERT_TRUE(Until([] { return r[2].state == NX_TCP_ESTABLISHED; }));
    close(p2);
    EXPECT_EQ(_nx_tcp_server_socket_unlisten(&ip, kPort), NX_SUCCESS);
    EXPECT_EQ(r[2].state, NX_TCP_CREATED);
    EXPECT_EQ(PLAT_PollCount(), in_set - 1);  // the listening descriptor left too
    for (const NxListener &l : NxListeners) EXPECT_FALSE(l.fd.valid());
}

namespace {
int g_announced;
void Announce(NX_TCP_SOCKET *, uint32_t) { g_announced++; }
}  // namespace

// Servers that only note the announcement and accept in their own step, one
// connection a step: every connection that arrived together is announced
// again pass after pass until the queue is empty, also to a record that
// listens only later; the host of the one waiting first is known before it
// is taken.
TEST(NetSocket, ListenerAnnouncesUntilItsQueueIsEmpty) {
    OwnNamespace own;
    static ServerRecords<2> w;
    w.Make("w");
    auto &ip = w.ip;
    auto &r = w.r;
    constexpr uint16_t kPort = 18614;
    ASSERT_EQ(_nx_tcp_server_socket_listen(&ip, kPort, &r[0], 5, Announce), NX_SUCCESS);
    g_announced = 0;
    const int p0 = Dial(kPort), p1 = Dial(kPort);
    ASSERT_TRUE(Until([] { return g_announced > 0; }));
    EXPECT_TRUE(NxConnectionWaiting(&r[0]));
    ASSERT_EQ(_nx_tcp_server_socket_accept(&r[0], 0), NX_IN_PROGRESS);
    EXPECT_TRUE(NxConnectionWaiting(&r[0])) << "the second one waits behind the connection in hand";
    g_announced = 0;
    for (int i = 0; i < 3; i++) EnetThread();
    EXPECT_EQ(g_announced, 0) << "no record listens";
    ASSERT_EQ(_nx_tcp_server_socket_relisten(&ip, kPort, &r[1]), NX_SUCCESS);
    EnetThread();
    EXPECT_EQ(g_announced, 1) << "announced again with no new arrival";
    ASSERT_EQ(_nx_tcp_server_socket_accept(&r[1], 0), NX_IN_PROGRESS);
    EXPECT_FALSE(NxConnectionWaiting(&r[0]));
    // The queue is empty: a record listening again is not told of anything.
    ASSERT_EQ(_nx_tcp_server_socket_unaccept(&r[0]), NX_SUCCESS);
    EXPECT_EQ(r[0].state, NX_TCP_LISTEN);
    g_announced = 0;
    for (int i = 0; i < 3; i++) EnetThread();
    EXPECT_EQ(g_announced, 0);
    EXPECT_EQ(_nx_tcp_server_socket_accept(&r[0], 0), NX_NOT_SUCCESSFUL);
    // A connection handed from one record to another listening on the port:
    // its bytes, its peer and the readiness set follow it; the first listens again.
    ASSERT_EQ(write(p1, "in", 2), 2);
    const uint32_t peer_port = r[1].peer_port;
    ASSERT_EQ(NxHandOver(&r[1], &r[0]), 0u);
    EXPECT_EQ(r[0].state, NX_TCP_ESTABLISHED);
    EXPECT_EQ(r[1].state, NX_TCP_LISTEN);
    EXPECT_EQ(r[1].accepted_fd, -1);
    EXPECT_EQ(r[0].peer_address, 0x7F000001u);
    EXPECT_EQ(r[0].peer_port, peer_port);
    EXPECT_TRUE(NxRxReady(&r[0]));
    NX_PACKET *pk = nullptr;
    ASSERT_TRUE(Until([&] { return _nx_tcp_socket_receive(&r[0], &pk, 0) == NX_SUCCESS; }));
    EXPECT_EQ(std::string(reinterpret_cast<char *>(pk->nx_packet_prepend_ptr), pk->nx_packet_length), "in");
    pk->nx_packet_prepend_ptr[0] = 'o';
    pk->nx_packet_prepend_ptr[1] = 'k';
    ASSERT_EQ(_nx_tcp_socket_send(&r[0], pk, 0), 0u);
    char got[2] = {};
    ASSERT_EQ(read(p1, got, 2), 2);
    EXPECT_EQ(std::string(got, 2), "ok");
    EXPECT_EQ(NxHandOver(&r[1], &r[0]), 67u) << "from a record with no connection";
    const int p2 = Dial(kPort);
    ASSERT_TRUE(Until([&] { return NxConnectionWaiting(&r[1]); }));
    ASSERT_EQ(_nx_tcp_server_socket_accept(&r[1], 0), NX_IN_PROGRESS);
    EXPECT_EQ(NxHandOver(&r[1], &r[0]), 67u) << "to a record with a connection";
    // The host of a waiting connection is known before a record takes it:
    // the connection stays announced, and the next accept takes that very
    // one. One still in hand at the unlisten is closed.
    int dialled = -1;
    const int p3 = test_support::LoopbackDial(kPort, &dialled, 0x7F000005);
    ASSERT_EQ(dialled, 0);
    uint32_t host = 0;
    ASSERT_TRUE(Until([&] { return NxWaitingPeer(&r[0], &host); }));
    EXPECT_EQ(host, 0x7F000005u);
    host = 0;
    EXPECT_TRUE(NxWaitingPeer(&r[1], &host));
    EXPECT_EQ(host, 0x7F000005u);
    EXPECT_TRUE(NxConnectionWaiting(&r[0]));
    close(p2);
    ASSERT_EQ(_nx_tcp_server_socket_unaccept(&r[1]), NX_SUCCESS);
    g_announced = 0;
    EnetThread();
    EXPECT_EQ(g_announced, 1);
    ASSERT_EQ(_nx_tcp_server_socket_accept(&r[1], 0), NX_IN_PROGRESS);
    sockaddr_in local{};
    socklen_t local_len = sizeof local;
    ASSERT_EQ(getsockname(p3, reinterpret_cast<sockaddr *>(&local), &local_len), 0);
    EXPECT_EQ(r[1].peer_address, 0x7F000005u);
    EXPECT_EQ(r[1].peer_port, ntohs(local.sin_port));
    EXPECT_FALSE(NxWaitingPeer(&r[0], &host));
    const int p4 = test_support::LoopbackDial(kPort, &dialled, 0x7F000006);
    ASSERT_TRUE(Until([&] { return NxWaitingPeer(&r[0], &host); }));
    EXPECT_EQ(host, 0x7F000006u);
    close(p3);
    close(p0);
    close(p1);
    EXPECT_EQ(_nx_tcp_server_socket_unlisten(&ip, kPort), NX_SUCCESS);
    for (auto &s : r) EXPECT_EQ(s.state, NX_TCP_CREATED);
    struct pollfd closing {
        p4, POLLIN, 0
    };
    ASSERT_EQ(poll(&closing, 1, 5000), 1) << "not closed by the unlisten";
    char end = 0;
    EXPECT_LE(recv(p4, &end, 1, MSG_DONTWAIT), 0);
    close(p4);
}

// Each status number of the socket layer, provoked and compared with its
// value as the peers of this layer know it (not with the named constants).
TEST(NetSocket, EveryStatusNumberWithItsValue) {
    OwnNamespace own;
    static NX_PACKET_POOL pool;
    static std::array<uint8_t, 2 * (NX_PACKET_HEADER + 1520)> mem alignas(16);
    static NX_IP ip;
    test_support::EthIp(ip, pool, mem, "s");
    constexpr uint16_t kPort = 18621;
    NX_PACKET *p1 = nullptr, *p2 = nullptr, *p3 = nullptr, *cp = nullptr;
    EXPECT_EQ(_nx_packet_allocate(&pool, &p1, 0, 0), 0u);
    EXPECT_EQ(_nx_packet_copy(p1, &cp, &pool, 0), 18u) << "copy of an empty packet";
    EXPECT_EQ(_nx_packet_allocate(&pool, &p2, 0, 0), 0u);
    EXPECT_EQ(_nx_packet_allocate(&pool, &p3, 0, 0), 67u) << "pool used up";
    EXPECT_EQ(p3, nullptr);
    _nx_packet_release(p2);
    EXPECT_EQ(_nx_packet_data_append(p2, "x", 1, &pool, 0), 67u) << "append to a released packet";

    static NX_TCP_SOCKET s, l;
    ASSERT_EQ(_nx_tcp_socket_create(&ip, &s, "S", 0, 0, 128, 2048, nullptr, nullptr), 0u);
    NX_PACKET *in = nullptr;
    EXPECT_EQ(_nx_tcp_socket_receive(&s, &in, 0), 36u) << "receive before bind";
    EXPECT_EQ(_nx_tcp_socket_send(&s, p2, 0), 18u) << "send of a released packet";
    EXPECT_EQ(_nx_tcp_client_socket_bind(&s, 0, 0), 0u);
    EXPECT_EQ(_nx_tcp_client_socket_bind(&s, 0, 0), 34u) << "bound twice";
    EXPECT_EQ(_nx_tcp_server_socket_accept(&s, 0), 54u) << "accept without listening";
    ASSERT_EQ(_nx_packet_allocate(&pool, &p2, 0, 0), 0u);
    EXPECT_EQ(_nx_tcp_socket_send(&s, p2, 0), 56u) << "send before a connection";
    EXPECT_EQ(p2->nx_packet_state, NX_PACKET_FREE);
    ASSERT_EQ(_nx_tcp_socket_create(&ip, &l, "L", 0, 0, 128, 2048, nullptr, nullptr), 0u);
    ASSERT_EQ(_nx_tcp_server_socket_listen(&ip, kPort, &l, 5, OnListen), 0u);
    EXPECT_EQ(_nx_tcp_server_socket_listen(&ip, kPort, &l, 5, OnListen), 53u) << "listen twice";
    EXPECT_EQ(_nx_tcp_client_socket_connect(&s, 0x7F000001, kPort, 0), 55u) << "connect started";
    _nx_tcp_socket_delete(&s);
    _nx_tcp_socket_delete(&l);

    static NX_UDP_SOCKET u;
    ASSERT_EQ(_nx_udp_socket_create(&ip, &u, "U", 0, 0, 64, 4), 0u);
    ASSERT_EQ(_nx_udp_socket_bind(&u, 18622, 0), 0u);
    EXPECT_EQ(_nx_udp_socket_receive(&u, &in, 0), 1u) << "nothing waiting";
    _nx_udp_socket_delete(&u);
    _nx_packet_release(p1);
}

// A client socket: unbind only while created, connect refused unbound and
// in a listening state, completed by the poll when started without waiting
// and counted at once when started with a wait; a bound socket cannot listen
// and a relisten without any callback is refused; what a receive leaves in
// its packet.
TEST(NetSocket, ClientConnectStatesAndTheirPoll) {
    OwnNamespace own;
    static NX_PACKET_POOL pool;
    static std::array<uint8_t, 4 * (NX_PACKET_HEADER + 1520)> mem alignas(16);
    static NX_IP ip;
    test_support::EthIp(ip, pool, mem, "c");
    const uint16_t port = test_support::LoopbackFreePort();
    const int lfd = socket(AF_INET, SOCK_STREAM, 0);
    const int one = 1;
    setsockopt(lfd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(lfd, reinterpret_cast<struct sockaddr *>(&a), sizeof a), 0);
    ASSERT_EQ(listen(lfd, 4), 0);
    const uint16_t other = test_support::LoopbackFreePort();

    static NX_TCP_SOCKET c, w, l;
    ASSERT_EQ(_nx_tcp_socket_create(&ip, &c, "C", 0, 0x4001, 128, 2048, nullptr, OnDisconnect), 0u);
    EXPECT_EQ(c.fragment, 0x4000u);
    EXPECT_EQ(c.mss, 1536u);
    EXPECT_EQ(c.writable, 1u);
    EXPECT_EQ(c.client, 1u);
    // The socket options of a new TCP socket.
    auto opt = [](int fd, int level, int name) {
        int v = -1;
        socklen_t l = sizeof v;
        getsockopt(fd, level, name, &v, &l);
        return v;
    };
    EXPECT_EQ(opt(c.fd, SOL_SOCKET, SO_REUSEADDR), 1);
    EXPECT_EQ(opt(c.fd, SOL_SOCKET, SO_KEEPALIVE), 1);
    EXPECT_EQ(opt(c.fd, IPPROTO_TCP, TCP_NODELAY), 1);
    struct timeval tv {};
    socklen_t tl = sizeof tv;
    ASSERT_EQ(getsockopt(c.fd, SOL_SOCKET, SO_SNDTIMEO, &tv, &tl), 0);
    EXPECT_EQ(tv.tv_sec, 10);
    EXPECT_EQ(tv.tv_usec, 0);
    EXPECT_EQ(fcntl(c.fd, F_GETFL) & O_NONBLOCK, O_NONBLOCK);
    EXPECT_EQ(_nx_tcp_client_socket_unbind(&c), 36u) << "not bound";
    EXPECT_EQ(_nx_tcp_client_socket_connect(&c, 0x7F000001, port, 0), 36u) << "not bound";
    ASSERT_EQ(_nx_tcp_client_socket_bind(&c, 0, 0), 0u);
    EXPECT_EQ(_nx_tcp_client_socket_unbind(&c), 0u);
    EXPECT_EQ(c.bound, 0u);
    ASSERT_EQ(_nx_tcp_client_socket_bind(&c, 0, 0), 0u);
    // The socket's own lock holds the loopback answer until the call returns.
    EXPECT_EQ(_nx_tcp_client_socket_connect(&c, 0x7F000001, port, 0), 55u);
    EXPECT_EQ(c.state, NX_TCP_CONNECTING);
    EXPECT_EQ(_nx_tcp_client_socket_connect(&c, 0x7F000001, port, 0), 55u) << "still in progress";
    EXPECT_EQ(c.peer_address, 0x7F000001u);
    EXPECT_EQ(c.peer_port, port);
    EXPECT_EQ(_nx_tcp_client_socket_unbind(&c), 53u) << "no longer created";
    ASSERT_TRUE(Until([] { return c.state == NX_TCP_ESTABLISHED; })) << "completed by the poll";
    EXPECT_EQ(_nx_tcp_client_socket_connect(&c, 0x7F000001, port, 0), 0u) << "already established";
    const int srv = accept(lfd, nullptr, nullptr);
    ASSERT_GE(srv, 0);
    ASSERT_EQ(send(srv, "xyz", 3, 0), 3);
    NX_PACKET *in = nullptr;
    ASSERT_TRUE(Until([&] { return _nx_tcp_socket_receive(&c, &in, 0) == NX_SUCCESS; }));
    EXPECT_EQ(in->nx_packet_length, 3u);
    EXPECT_EQ(in->nx_packet_append_ptr, in->nx_packet_prepend_ptr + 3);
    _nx_packet_release(in);

    // With a wait the connect answers established at once.
    ASSERT_EQ(_nx_tcp_socket_create(&ip, &w, "W", 0, 0, 128, 2048, nullptr, nullptr), 0u);
    ASSERT_EQ(_nx_tcp_client_socket_bind(&w, 0, 0), 0u);
    EXPECT_EQ(_nx_tcp_client_socket_connect(&w, 0x7F000001, port, 100), 0u);
    EXPECT_EQ(w.state, NX_TCP_ESTABLISHED);

    // A bound socket does not listen; listening refuses a connect.
    ASSERT_EQ(_nx_tcp_socket_create(&ip, &l, "L", 0, 0, 128, 2048, nullptr, nullptr), 0u);
    ASSERT_EQ(_nx_tcp_client_socket_bind(&l, 0, 0), 0u);
    EXPECT_EQ(_nx_tcp_server_socket_listen(&ip, other, &l, 5, OnListen), 34u);
    ASSERT_EQ(_nx_tcp_socket_create(&ip, &l, "L", 0, 0, 128, 2048, nullptr, nullptr), 0u);
    EXPECT_EQ(_nx_tcp_server_socket_relisten(&ip, other, &l), 67u) << "no callback anywhere";
    EXPECT_EQ(l.state, NX_TCP_LISTEN);
    EXPECT_EQ(_nx_tcp_client_socket_connect(&l, 0x7F000001, port, 0), 53u);
    _nx_tcp_server_socket_unlisten(&ip, other);
    _nx_tcp_socket_delete(&c);
    _nx_tcp_socket_delete(&w);
    close(srv);
    close(lfd);
}

// The TCP servers' framing: each protocol's record tells where its header
// gives the request's length (offset, width, byte order, the bytes it does
// not count) and the longest request; the whole length comes out once the
// bytes are in, 0 before, 0xFFFFFFFF for more than the longest.
struct FramingRow {
    const char *what;
    NxFraming f;
    uint32_t size;               // bytes in the buffer, zeros but the field
    std::vector<uint8_t> field;  // at the record's offset
    uint32_t want;
};

TEST(NetSocket, ServerFramingReadsEachProtocolsLengthField) {
    constexpr NxFraming mbap{6, 4, 2, true, 6, 1540}, srtp{56, 4, 4, false, 56, 4152}, encap{24, 2, 2, false, 24, 1500};
    const FramingRow rows[] = {
        {"MBAP header cut", mbap, 5, {}, 0},
        {"MBAP 6 after the header", mbap, 12, {0x00, 0x06}, 12},
        {"MBAP a byte short", mbap, 11, {0x00, 0x06}, 0},
        {"MBAP the next request behind", mbap, 20, {0x00, 0x06}, 12},
        {"MBAP big-endian", mbap, 6, {0x06, 0x00}, 0xFFFFFFFF},
        {"MBAP longest", mbap, 1540, {0x05, 0xFE}, 1540},
        {"MBAP one over", mbap, 6, {0x05, 0xFF}, 0xFFFFFFFF},
        {"SRTP no text", srtp, 56, {}, 56},
        {"SRTP text of 4", srtp, 60, {4, 0, 0, 0}, 60},
        {"SRTP 32 bits wide", srtp, 56, {0, 0, 1, 0}, 0xFFFFFFFF},
        {"SRTP longest text", srtp, 4152, {0x00, 0x10, 0, 0}, 4152},
        {"SRTP one over", srtp, 56, {0x01, 0x10, 0, 0}, 0xFFFFFFFF},
        {"SRTP no wrap past 2^32", srtp, 56, {0xFF, 0xFF, 0xFF, 0xFF}, 0xFFFFFFFF},
        {"encapsulation little-endian", encap, 26, {0x02, 0x00}, 26},
        {"encapsulation longest", encap, 1500, {0xC4, 0x05}, 1500},
        {"encapsulation one over", encap, 24, {0xC5, 0x05}, 0xFFFFFFFF},
    };
    for (const FramingRow &r : rows) {
        std::vector<uint8_t> rx(r.size);
        std::copy(r.field.begin(), r.field.end(), rx.begin() + r.f.at);
        EXPECT_EQ(NxFrameLength(r.f, rx.data(), r.size), r.want) << r.what;
    }

    // A whole request in the buffer is taken without a read; a header left
    // behind it that announces too much is refused at once, without waiting
    // for input that may never come.
    NX_TCP_SOCKET s{};  // never connected: a read gets nothing
    std::array<uint8_t, 1500 + NX_MAX_READ> buf{};
    buf[24 + 2] = 0xC5;
    buf[24 + 3] = 0x05;
    uint32_t rx_len = 48, len = 0, last = 7;
    EXPECT_EQ(NxServerTake(&s, encap, buf, rx_len, &len, &last, 9), NX_FRAME_WHOLE);
    EXPECT_EQ(len, 24u);
    NxServerConsume(buf, rx_len, len);
    EXPECT_EQ(rx_len, 24u);
    EXPECT_EQ(NxServerTake(&s, encap, buf, rx_len, &len, &last, 9), NX_FRAME_BAD);
    rx_len = 23;
    EXPECT_EQ(NxServerTake(&s, encap, buf, rx_len, &len, &last, 9), NX_FRAME_NONE);
    EXPECT_EQ(last, 7u) << "nothing was read";
}

// The checking front ends: each missing pointer is refused with 7 before
// the call; with every pointer given the call's own status comes back. One
// table per family, its rows run in order.
struct FrontEndRow {
    const char *what;
    std::function<uint32_t()> call;
    uint32_t want;
};

TEST(NetPacket, CheckingFrontEndsRefuseMissingPointers) {
    static NX_PACKET_POOL pool;
    static std::array<uint8_t, 2 * (NX_PACKET_HEADER + 1520)> mem alignas(16);
    NX_PACKET *pk = nullptr, *out = nullptr;
    const FrontEndRow rows[] = {
        {"create, no pool",
         [&] { return _nxe_packet_pool_create(nullptr, "P", 1520, mem.data(), uint32_t(mem.size())); }, 7},
        {"create", [&] { return _nxe_packet_pool_create(&pool, "P", 1520, mem.data(), uint32_t(mem.size())); }, 0},
        {"allocate, no pool", [&] { return _nxe_packet_allocate(nullptr, &pk, 0, 0); }, 7},
        {"allocate, no out", [&] { return _nxe_packet_allocate(&pool, nullptr, 0, 0); }, 7},
        {"allocate", [&] { return _nxe_packet_allocate(&pool, &pk, 0, 0); }, 0},
        {"copy, no source", [&] { return _nxe_packet_copy(nullptr, &out, &pool, 0); }, 7},
        {"copy, no out", [&] { return _nxe_packet_copy(pk, nullptr, &pool, 0); }, 7},
        {"copy, no pool", [&] { return _nxe_packet_copy(pk, &out, nullptr, 0); }, 7},
        {"copy of an empty packet", [&] { return _nxe_packet_copy(pk, &out, &pool, 0); }, 18},
        {"append, no packet", [&] { return _nxe_packet_data_append(nullptr, "x", 1, &pool, 0); }, 7},
        {"append, no pool", [&] { return _nxe_packet_data_append(pk, "x", 1, nullptr, 0); }, 7},
        {"append", [&] { return _nxe_packet_data_append(pk, "x", 1, &pool, 0); }, 0},
        {"release, no packet", [&] { return _nxe_packet_release(nullptr); }, 7},
        {"release", [&] { return _nxe_packet_release(pk); }, 0},
        {"append to a released packet", [&] { return _nxe_packet_data_append(pk, "x", 1, &pool, 0); }, 67},
    };
    for (const FrontEndRow &r : rows) EXPECT_EQ(r.call(), r.want) << r.what;
}

TEST(NetIp, CheckingFrontEndsRefuseMissingPointers) {
    OwnNamespace own;
    static NX_PACKET_POOL pool;
    static std::array<uint8_t, 2 * (NX_PACKET_HEADER + 1520)> mem alignas(16);
    static NX_IP ip;
    test_support::EthIp(ip, pool, mem, "f");
    NX_UDP_SOCKET u{};  // never created: no descriptor
    NX_PACKET *reply = nullptr;
    uint32_t v = 9;
    const FrontEndRow rows[] = {
        {"create, no instance", [&] { return _nxe_ip_create(nullptr, "eth0", 0, 0, &pool, Etn_Driver, nullptr, 0, 4); },
         7},
        {"create, no pool", [&] { return _nxe_ip_create(&ip, "eth0", 0, 0, nullptr, Etn_Driver, nullptr, 0, 4); }, 7},
        {"address set", [&] { return _nxe_ip_address_set(nullptr, 0, 0); }, 7},
        {"gateway set", [&] { return _nxe_ip_gateway_address_set(nullptr, 0); }, 7},
        {"address get", [&] { return _nxe_ip_address_get(nullptr); }, 7},
        {"direct command, no instance", [&] { return _nxe_ip_driver_direct_command(nullptr, 11, &v); }, 7},
        {"direct command, no value", [&] { return _nxe_ip_driver_direct_command(&ip, 11, nullptr); }, 7},
        {"direct command without an address", [&] { return _nxe_ip_driver_direct_command(&ip, 11, &v); }, 0},
        {"ARP entry", [&] { return _nxe_arp_dynamic_entry_set(nullptr, 0, 0, 0); }, 7},
        {"join, no instance", [&] { return _nxe_igmp_multicast_join(nullptr, 0xEF000001, &u); }, 7},
        {"join, no socket", [&] { return _nxe_igmp_multicast_join(&ip, 0xEF000001, nullptr); }, 7},
        {"join with no descriptor", [&] { return _nxe_igmp_multicast_join(&ip, 0xEF000001, &u); }, 67},
        {"leave, no instance", [&] { return _nxe_igmp_multicast_leave(nullptr, 0xEF000001, &u); }, 7},
        {"leave, no socket", [&] { return _nxe_igmp_multicast_leave(&ip, 0xEF000001, nullptr); }, 7},
        {"leave with no descriptor", [&] { return _nxe_igmp_multicast_leave(&ip, 0xEF000001, &u); }, 67},
        {"ICMP enable", [&] { return _nxe_icmp_enable(nullptr); }, 7},
        {"ping, no instance", [&] { return _nxe_icmp_ping(nullptr, 0x7F000001, nullptr, 0, &reply, 100); }, 7},
        {"ping, no reply", [&] { return _nxe_icmp_ping(&ip, 0x7F000001, nullptr, 0, nullptr, 100); }, 7},
        {"ARP enable, no instance", [&] { return _nxe_arp_enable(nullptr); }, 7},
        {"ARP enable", [&] { return _nxe_arp_enable(&ip); }, 0},
        {"IGMP enable, no instance", [&] { return _nxe_igmp_enable(nullptr); }, 7},
        {"IGMP enable", [&] { return _nxe_igmp_enable(&ip); }, 0},
        {"UDP enable, no instance", [&] { return _nxe_udp_enable(nullptr); }, 7},
        {"UDP enable", [&] { return _nxe_udp_enable(&ip); }, 0},
        {"TCP enable, no instance", [&] { return _nxe_tcp_enable(nullptr); }, 7},
        {"TCP enable", [&] { return _nxe_tcp_enable(&ip); }, 0},
    };
    for (const FrontEndRow &r : rows) EXPECT_EQ(r.call(), r.want) << r.what;
    EXPECT_EQ(v, 0u);  // the command ran: an instance without an address answers 0
}

TEST(NetSocket, CheckingFrontEndsRefuseMissingPointers) {
    OwnNamespace own;
    static NX_PACKET_POOL pool;
    static std::array<uint8_t, 4 * (NX_PACKET_HEADER + 1520)> mem alignas(16);
    static NX_IP ip;
    test_support::EthIp(ip, pool, mem, "f");
    static NX_TCP_SOCKET s, l, fresh;
    static NX_UDP_SOCKET u;
    const uint16_t port = test_support::LoopbackFreePort();
    NX_PACKET *pk = nullptr;
    auto packet = [&] {
        _nx_packet_allocate(&pool, &pk, 0, 0);
        return pk;
    };
    const FrontEndRow rows[] = {
        {"TCP create, no instance",
         [&] { return _nxe_tcp_socket_create(nullptr, &s, "S", 0, 0, 128, 2048, nullptr, nullptr); }, 7},
        {"TCP create, no socket",
         [&] { return _nxe_tcp_socket_create(&ip, nullptr, "S", 0, 0, 128, 2048, nullptr, nullptr); }, 7},
        {"TCP create", [&] { return _nxe_tcp_socket_create(&ip, &s, "S", 0, 0, 128, 2048, nullptr, nullptr); }, 0},
        {"UDP create, no instance", [&] { return _nxe_udp_socket_create(nullptr, &u, "U", 0, 0, 128, 4); }, 7},
        {"UDP create, no socket", [&] { return _nxe_udp_socket_create(&ip, nullptr, "U", 0, 0, 128, 4); }, 7},
        {"UDP create", [&] { return _nxe_udp_socket_create(&ip, &u, "U", 0, 0, 128, 4); }, 0},
        {"TCP receive before a bind", [&] { return _nxe_tcp_socket_receive(&s, &pk, 0); }, 36},
        {"TCP bind, no socket", [&] { return _nxe_tcp_client_socket_bind(nullptr, 0, 0); }, 7},
        {"TCP bind", [&] { return _nxe_tcp_client_socket_bind(&s, 0, 0); }, 0},
        {"TCP unbind, no socket", [&] { return _nxe_tcp_client_socket_unbind(nullptr); }, 7},
        {"TCP unbind", [&] { return _nxe_tcp_client_socket_unbind(&s); }, 0},
        {"TCP connect, no socket", [&] { return _nxe_tcp_client_socket_connect(nullptr, 0x7F000001, port, 0); }, 7},
        {"TCP connect unbound", [&] { return _nxe_tcp_client_socket_connect(&s, 0x7F000001, port, 0); }, 36},
        {"UDP bind, no socket", [&] { return _nxe_udp_socket_bind(nullptr, 0, 0); }, 7},
        {"UDP send, no socket", [&] { return _nxe_udp_socket_send(nullptr, packet(), 0x7F000001, port); }, 7},
        {"UDP send, no packet", [&] { return _nxe_udp_socket_send(&u, nullptr, 0x7F000001, port); }, 7},
        {"UDP send unbound", [&] { return _nxe_udp_socket_send(&u, pk, 0x7F000001, port); }, 36},
        {"UDP bind", [&] { return _nxe_udp_socket_bind(&u, 0, 0); }, 0},
        {"UDP receive, no socket", [&] { return _nxe_udp_socket_receive(nullptr, &pk, 0); }, 7},
        {"UDP receive, no out", [&] { return _nxe_udp_socket_receive(&u, nullptr, 0); }, 7},
        {"UDP receive, nothing waiting", [&] { return _nxe_udp_socket_receive(&u, &pk, 0); }, 1},
        {"UDP receive detail, no socket",
         [&] { return _nxe_udp_socket_receive_port_detail(nullptr, &pk, nullptr, nullptr); }, 7},
        {"UDP receive detail, no out",
         [&] { return _nxe_udp_socket_receive_port_detail(&u, nullptr, nullptr, nullptr); }, 7},
        {"UDP unbind, no socket", [&] { return _nxe_udp_socket_unbind(nullptr); }, 7},
        {"UDP unbind", [&] { return _nxe_udp_socket_unbind(&u); }, 0},
        {"UDP unbind again", [&] { return _nxe_udp_socket_unbind(&u); }, 36},
        {"UDP delete, no socket", [&] { return _nxe_udp_socket_delete(nullptr); }, 7},
        {"UDP delete", [&] { return _nxe_udp_socket_delete(&u); }, 0},
        {"listen, no instance", [&] { return _nxe_tcp_server_socket_listen(nullptr, port, &l, 5, OnListen); }, 7},
        {"listen, no socket", [&] { return _nxe_tcp_server_socket_listen(&ip, port, nullptr, 5, OnListen); }, 7},
        {"listen, not created", [&] { return _nxe_tcp_server_socket_listen(&ip, port, &l, 5, OnListen); }, 53},
        {"relisten, no instance", [&] { return _nxe_tcp_server_socket_relisten(nullptr, port, &fresh); }, 7},
        {"relisten, no socket", [&] { return _nxe_tcp_server_socket_relisten(&ip, port, nullptr); }, 7},
        {"accept, no socket", [&] { return _nxe_tcp_server_socket_accept(nullptr, 0); }, 7},
        {"accept without listening", [&] { return _nxe_tcp_server_socket_accept(&s, 0); }, 54},
        {"unaccept, no socket", [&] { return _nxe_tcp_server_socket_unaccept(nullptr); }, 7},
        {"unaccept without a connection", [&] { return _nxe_tcp_server_socket_unaccept(&s); }, 67},
        {"unlisten, no instance", [&] { return _nxe_tcp_server_socket_unlisten(nullptr, port); }, 7},
        {"unlisten", [&] { return _nxe_tcp_server_socket_unlisten(&ip, port); }, 0},
        {"TCP send, no socket", [&] { return _nxe_tcp_socket_send(nullptr, packet(), 0); }, 7},
        {"TCP send, no packet", [&] { return _nxe_tcp_socket_send(&s, nullptr, 0); }, 7},
        {"TCP send unbound", [&] { return _nxe_tcp_socket_send(&s, pk, 0); }, 36},
        {"TCP receive, no socket", [&] { return _nxe_tcp_socket_receive(nullptr, &pk, 0); }, 7},
        {"TCP receive, no out", [&] { return _nxe_tcp_socket_receive(&s, nullptr, 0); }, 7},
        {"notify, no socket", [&] { return _nxe_tcp_socket_receive_notify(nullptr, OnDisconnect); }, 7},
        {"notify", [&] { return _nxe_tcp_socket_receive_notify(&s, nullptr); }, 0},
        {"transmit configure, no socket", [&] { return _nxe_tcp_socket_transmit_configure(nullptr, 4, 0, 0, 0); }, 7},
        {"transmit configure", [&] { return _nxe_tcp_socket_transmit_configure(&s, 4, 0, 0, 0); }, 0},
        {"disconnect, no socket", [&] { return _nxe_tcp_socket_disconnect(nullptr, 0); }, 7},
        {"disconnect", [&] { return _nxe_tcp_socket_disconnect(&s, 0); }, 0},
        {"delete, no socket", [&] { return _nxe_tcp_socket_delete(nullptr); }, 7},
        {"delete", [&] { return _nxe_tcp_socket_delete(&s); }, 0},
    };
    for (const FrontEndRow &r : rows) EXPECT_EQ(r.call(), r.want) << r.what;
}

// ---- removal of an interface's protocols ------------------------------------------------------

namespace {

using Peer = test_support::LoopPeer;

// Whether the server closed peer's connection within 5 s.
bool ClosedBy(Peer &p) {
    for (int i = 0; i < 100 && !p.closed; i++) p.Take(50);
    return p.closed;
}

// Whether a connection to port is refused (nothing listens there).
bool Refused(uint16_t port) {
    int r = 0;
    const int fd = test_support::LoopbackDial(port, &r);
    close(fd);
    return r != 0;
}

// Whether UDP port is free on the loopback (nothing is bound to it).
bool UdpFree(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = bind(fd, reinterpret_cast<struct sockaddr *>(&a), sizeof a) == 0;
    close(fd);
    return ok;
}

}  // namespace

// Every server of interface 1 started as the manager starts them, each TCP
// server with a client, the virtual serial port connected, the datagram
// servers bound; the removal closes every connection and port, leaves
// interface 0's servers alone, and a new start serves again.
TEST(EnetManager, ProtocolsDeInitClosesEveryServerOfItsInterfaceAndANewStartServesAgain) {
    test_support::OwnNetns netns;  // ports 80, 67 and 502 of its own
    ASSERT_TRUE(netns.ok()) << netns.error();
    plat_net = &plat_net_own;  // every socket on the namespace's loopback
    plc_reg.fill(0);
    Dpr_Init();
    LE_Put16(&DprMap[DPR_RUN], 1);
    const uint8_t http_was = TavixHttp;
    TavixHttp = 0;
    constexpr uint16_t kAscii = 4001, kModbus0 = 503;
    for (uint32_t n : {0u, 1u}) {
        DprConfigRec &c = Dpr_Configuration[n];
        std::memset(static_cast<void *>(&c), 0, DPR_CONFIG_BYTES);
        // Every service on (EGD too: a service turned off does not listen).
        c.enables[0] = EN0_B0 | EN0_MODBUS | EN0_EIP | EN0_HTTP | EN0_EGD;
        c.enables[1] = EN1_ASCII;
        c.modbus.port = n == 1 ? 502 : kModbus0;
        c.ascii[1] = kAscii;
    }
    static NX_PACKET_POOL pool;
    static std::array<uint8_t, 96 * (NX_PACKET_HEADER + 1520)> mem alignas(16);
    _nx_packet_pool_create(&pool, "Packet Pool", 1520, mem.data(), uint32_t(mem.size()));
    for (uint32_t n : {0u, 1u}) {
        NX_IP &ip = Enet_IpInstance[n];
        ip = {};
        ip.nx_ip_interface = n;
        ip.nx_ip_name = n == 1 ? "eth1" : "eth0";
        ip.nx_ip_address = 0x7F000001;
        ip.nx_ip_network_mask = 0xFF000000;
        ip.nx_ip_default_packet_pool = &pool;
        ip.nx_ip_link_up = 1;
    }
    const EnetHooks &h = enet_hooks;
    NX_IP *ip1 = &Enet_IpInstance[1];
    auto start = [&] {
        uint32_t bad = h.egd.init(ip1, &pool);
        bad |= h.qncan.init(ip1, &pool);
        bad |= h.modbus.init(ip1, &pool);
        bad |= h.srtp.init(ip1, &pool);
        bad |= Http_Init(ip1, &pool);
        bad |= h.eip.init(ip1, &pool);
        bad |= EtnVComm_Init(ip1, &pool);
        bad |= h.ascii.init(ip1, &pool);
        bad |= EtnIo_Init(ip1, &pool);
        return bad;
    };
    auto pass = [&] {
        for (const EnetServer *s : {&h.qncan, &h.egd, &h.modbus, &h.srtp, &h.eip, &h.ascii}) s->scan(1);
        Http_Scan(1);
        EtnVComm_Scan(1);
        EtnIo_Scan(1);
        h.modbus.scan(0);
        EnetThread();
        usleep(1000);
    };
    // Connections of Qncan, Modbus, SRTP, EtherNet/IP, ASCII, HTTP, the
    // virtual serial ports and remote I/O on interface 1.
    auto counts = [&] {
        return std::vector<uint32_t>{h.qncan.conn_cnt(1),  h.modbus.conn_cnt(1), h.srtp.conn_cnt(1),
                                     h.eip.conn_cnt(1),    h.ascii.conn_cnt(1),  Http_ConnCnt(1),
                                     EtnVComm_Conn_Cnt(1), EtnIo_Conn_Cnt(1)};
    };
    const std::vector<uint16_t> ports = {uint16_t(QncanPort), 502, SrtpPortNumber, EipPortNumber, kAscii, 80};
    uint16_t vport = 0;
    const int vserver = test_support::LoopbackBind(&vport);
    std::array<uint8_t, 24> rec{};  // the virtual port's open record: 127.0.0.1, vport, TCP
    LE_Put32(&rec[0], 0x7F000001);
    LE_Put16(&rec[4], vport);
    constexpr intptr_t kVPort = 0x2100;  // interface 1, port 0
    std::vector<std::unique_ptr<Peer>> peers;
    int vconn = -1;
    // Starts interface 1, connects a client to every TCP server and the
    // virtual port to its server.
    auto serve = [&] {
        EXPECT_EQ(start(), 0u);
        for (int i = 0; i < 3; i++) pass();
        peers.clear();
        for (uint16_t port : ports) {
            peers.push_back(std::make_unique<Peer>(port));
            EXPECT_TRUE(peers.back()->connected) << port;
        }
        EXPECT_EQ(EtnVComm_Open(kVPort, intptr_t(rec.data())), 1);
        const std::vector<uint32_t> want = {1, 1, 1, 1, 1, 1, 1, 0};
        for (int i = 0; i < 2000 && (counts() != want || vconn < 0); i++) {
            pass();
            EtnVComm_CheckRx(kVPort);
            if (vconn < 0) vconn = accept4(vserver, nullptr, nullptr, SOCK_NONBLOCK);
        }
        EXPECT_EQ(counts(), want);
        EXPECT_GE(vconn, 0);
    };
    serve();
    EXPECT_FALSE(UdpFree(BOOTP_SERVER_PORT));
    EXPECT_FALSE(UdpFree(EgdPortNumber));
    ASSERT_EQ(h.modbus.init(&Enet_IpInstance[0], &pool), 0u);
    Peer zero(kModbus0);
    for (int i = 0; i < 2000 && h.modbus.conn_cnt(0) != 1; i++) pass();
    ASSERT_EQ(h.modbus.conn_cnt(0), 1u);

    // Interface 0's servers stay.
    Protocols_DeInit(0);
    for (int i = 0; i < 3; i++) pass();
    EXPECT_EQ(h.modbus.conn_cnt(0), 1u);
    const std::vector<uint8_t> fc7 = {0, 1, 0, 0, 0, 2, 1, 7};
    zero.Send(fc7);
    std::vector<uint8_t> got;
    for (int i = 0; i < 2000 && got.size() < 9; i++) {
        pass();
        const auto more = zero.Take(1);
        got.insert(got.end(), more.begin(), more.end());
    }
    EXPECT_EQ(got, (std::vector<uint8_t>{0, 1, 0, 0, 0, 3, 1, 7, 0}));

    // Interface 1: every connection closed, no port left open.
    Protocols_DeInit(1);
    for (std::size_t k = 0; k < ports.size(); k++) {
        EXPECT_TRUE(ClosedBy(*peers[k])) << ports[k];
        EXPECT_TRUE(Refused(ports[k])) << ports[k];
    }
    char b;
    EXPECT_EQ(recv(vconn, &b, 1, MSG_DONTWAIT), 0) << "the virtual port's connection";
    close(vconn);
    vconn = -1;
    EXPECT_TRUE(UdpFree(BOOTP_SERVER_PORT));
    EXPECT_TRUE(UdpFree(EgdPortNumber));
    EXPECT_EQ(counts(), std::vector<uint32_t>(8, 0));
    for (int i = 0; i < 3; i++) pass();  // scans of a removed server do nothing
    EXPECT_EQ(counts(), std::vector<uint32_t>(8, 0));

    // Started again, every server takes a client, and Modbus answers.
    serve();
    peers[1]->Send(fc7);
    got.clear();
    for (int i = 0; i < 2000 && got.size() < 9; i++) {
        pass();
        const auto more = peers[1]->Take(1);
        got.insert(got.end(), more.begin(), more.end());
    }
    EXPECT_EQ(got, (std::vector<uint8_t>{0, 1, 0, 0, 0, 3, 1, 7, 0}));

    Protocols_DeInit(1);
    close(vconn);
    close(vserver);
    ModbusServer &m0 = ModbusConnEth[0];
    h.modbus.stop(0);
    for (auto &slot : m0.slots) _nx_tcp_socket_delete(&slot.socket);
    m0.ip = nullptr;
    for (DprConfigRec &c : Dpr_Configuration) std::memset(static_cast<void *>(&c), 0, DPR_CONFIG_BYTES);
    TavixHttp = http_was;
}

// The address set of interface 0: each of address, mask, gateway and DNS
// server from its register, from the DHCP lease or as configured, written
// back to the registers whose reference counts (1024 and up).
TEST(EnetManager, AddressSetFromRegistersLeaseOrConfiguration) {
    plc_reg.fill(0);
    DprConfigRec &c = Dpr_Configuration[0];
    NX_IP &ip = Enet_IpInstance[0];
    ip = {};
    constexpr uint32_t kA = 33712, kM = 33744, kG = 33776, kD = 33808;  // %R60, %R62, %R64, %R66
    auto configure = [&](uint8_t e1, uint8_t e2, uint8_t dhcp) {
        std::memset(static_cast<void *>(&c), 0, DPR_CONFIG_BYTES);
        c.address = 0x0A4D0002;
        c.mask = 0xFFFFFF00;
        c.gateway = 0x0A4D0001;
        c.dns = 0x0A4D0003;
        c.address_ref = kA;
        c.mask_ref = kM;
        c.gateway_ref = kG;
        c.dns_ref = kD;
        c.enables[1] = e1;
        c.enables[2] = e2;
        c.dhcp_enable = dhcp;
    };
    auto regs = [] {
        return std::vector<uint32_t>{Dpr_Get_Dw_Data(kA), Dpr_Get_Dw_Data(kM), Dpr_Get_Dw_Data(kG),
                                     Dpr_Get_Dw_Data(kD)};
    };
    auto chosen = [] { return std::vector<uint32_t>{EnetIpAddress[0], EnetNetMask[0], EnetGateway[0], EnetDns[0]}; };
    const std::vector<uint32_t> configured = {0x0A4D0002, 0xFFFFFF00, 0x0A4D0001, 0x0A4D0003};

    // As configured, and written back.
    configure(0, 0, 0);
    EnetGetIpAddress(0);
    EXPECT_EQ(chosen(), configured);
    EXPECT_EQ(regs(), configured);

    // Each from its register: nothing is written back.
    configure(EN1_ADDR_REG | EN1_MASK_REG | EN1_GW_REG, EN2_DNS_REG, 1);
    const std::vector<uint32_t> in_regs = {0x0A4D0007, 0xFFFF0000, 0x0A4D00FE, 0x08080808};
    for (unsigned i = 0; i < 4; i++) Dpr_Set_Dw_Data(std::array<uint32_t, 4>{kA, kM, kG, kD}[i], in_regs[i]);
    EnetGetIpAddress(0);
    EXPECT_EQ(chosen(), in_regs);
    EXPECT_EQ(regs(), in_regs);
    EXPECT_EQ(c.dhcp_enable, 0) << "an address register overrides DHCP";
    EXPECT_EQ(c.address, 0x0A4D0007u);
    EXPECT_EQ(c.mask, 0xFFFF0000u);
    // An address register below 1024 gives address 0.
    configure(EN1_ADDR_REG, 0, 1);
    c.address_ref = 1000;
    EnetGetIpAddress(0);
    EXPECT_EQ(EnetIpAddress[0], 0u);
    EXPECT_EQ(c.dhcp_enable, 1) << "DHCP stays without a register that counts";

    // The last octet from the network id (byte 60 of the map).
    Dpr_Init();
    DprMap[DPR_NETID] = 0x21;
    configure(EN1_NETID_OCTET, 0, 0);
    EnetGetIpAddress(0);
    EXPECT_EQ(EnetIpAddress[0], 0x0A4D0021u);
    EXPECT_EQ(Dpr_Get_Dw_Data(kA), 0x0A4D0021u);

    // DHCP without a lease: all four 0, and the next address 0 is set as such.
    configure(0, 0, 1);
    dhcpState = 1;
    ip.nx_ip_disable_on_zero = 1;
    EnetGetIpAddress(0);
    EXPECT_EQ(chosen(), std::vector<uint32_t>(4, 0));
    EXPECT_EQ(regs(), std::vector<uint32_t>(4, 0));
    EXPECT_EQ(ip.nx_ip_zero_once, 1);
    EXPECT_EQ(ip.nx_ip_disable_on_zero, 0);
    // With a lease: its items; a lease address of 0 is 192.168.254.128.
    dhcpState = 0;
    dhcpProcCtrl[0].bound = 1;
    dhcpOffered[0] = {};
    dhcpOffered[0].mask = 0xFFFFFF00;
    dhcpOffered[0].router = 0xC0A8FE01;
    dhcpOffered[0].dns1 = 0xC0A8FE02;
    configure(0, 0, 1);
    EnetGetIpAddress(0);
    EXPECT_EQ(chosen(), (std::vector<uint32_t>{0xC0A8FE80, 0xFFFFFF00, 0xC0A8FE01, 0xC0A8FE02}));
    dhcpOffered[0].address = 0xC0A80105;
    configure(0, 0, 1);
    EnetGetIpAddress(0);
    EXPECT_EQ(EnetIpAddress[0], 0xC0A80105u);
    EXPECT_EQ(regs(), (std::vector<uint32_t>{0xC0A80105, 0xFFFFFF00, 0xC0A8FE01, 0xC0A8FE02}));
    dhcpProcCtrl[0].bound = 0;
    dhcpOffered[0] = {};
    std::memset(static_cast<void *>(&c), 0, DPR_CONFIG_BYTES);
    EnetIpAddress = EnetNetMask = EnetGateway = EnetDns = {};
    ip = {};
}

// The ping service of slot 0: what is never pinged, the round trip in ms,
// -1 after a change of target or time-out and for an echo not answered.
TEST(EnetManager, PingServiceTargetsTimeOutsAndRoundTrip) {
    test_support::FakeClock clock(MidSecond());
    ScriptedNet net;
    static NX_PACKET_POOL pool;
    static std::array<uint8_t, 4 * (NX_PACKET_HEADER + 1520)> mem alignas(16);
    NX_IP &ip = Enet_IpInstance[0];
    test_support::EthIp(ip, pool, mem, "ping");
    ip.nx_ip_address = 0x0A4D0002;
    ip.nx_ip_network_mask = 0xFFFFFF00;
    ip.nx_ip_link_up = 1;
    ip.nx_ip_sent_count = ip.nx_ip_received_count = 9;
    const int rx = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    struct sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(rx, reinterpret_cast<struct sockaddr *>(&a), sizeof a), 0);
    ip.nx_ip_ping_fd = rx;
    Ping_Init(&ip);
    EXPECT_EQ(PingInstance[0].ip, &ip);
    EXPECT_EQ(PingInstance[0].result, -1);
    EXPECT_EQ(ip.nx_ip_sent_count, 0u);
    EXPECT_EQ(ip.nx_ip_received_count, 0u);
    auto last_id = [] { return BE_Get16(&g_if.sent.back()[24]); };

    // Never pinged: target 0, the subnet's broadcast, 255.255.255.255, a
    // time-out of 99 ms.
    EXPECT_EQ(Ping_Scan(0, 1000, 0), -1);
    EXPECT_EQ(Ping_Scan(0x0A4D00FF, 1000, 0), -1);
    EXPECT_EQ(Ping_Scan(0xFFFFFFFF, 1000, 0), -1);
    EXPECT_EQ(Ping_Scan(0x7F000001, 99, 0), -1);
    EXPECT_TRUE(g_if.sent.empty());
    // 100 ms is pinged; the reply 7 ms later gives 7.
    EXPECT_EQ(Ping_Scan(0x7F000001, 100, 0), -1);
    ASSERT_EQ(g_if.sent.size(), 1u);
    test_support::FakeClock::AdvanceMs(7);
    EXPECT_EQ(Ping_Scan(0x7F000001, 100, 0), -1) << "no reply yet";
    SendEcho(rx, 0, last_id());
    EXPECT_EQ(Ping_Scan(0x7F000001, 100, 0), 7);
    // The answered echo keeps its result through its time-out; then the
    // next request goes out.
    test_support::FakeClock::AdvanceMs(93);
    EXPECT_EQ(Ping_Scan(0x7F000001, 100, 0), 7);
    EXPECT_EQ(Ping_Scan(0x7F000001, 100, 0), 7);
    ASSERT_EQ(g_if.sent.size(), 2u);
    // Not answered: -1 once the time-out has passed.
    test_support::FakeClock::AdvanceMs(100);
    EXPECT_EQ(Ping_Scan(0x7F000001, 100, 0), -1);
    // A new time-out: -1 until the first reply.
    EXPECT_EQ(Ping_Scan(0x7F000001, 200, 0), -1);
    ASSERT_EQ(g_if.sent.size(), 3u);
    test_support::FakeClock::AdvanceMs(4);
    SendEcho(rx, 0, last_id());
    EXPECT_EQ(Ping_Scan(0x7F000001, 200, 0), 4);
    // Link down: -1 at once.
    ip.nx_ip_link_up = 0;
    EXPECT_EQ(Ping_Scan(0x7F000001, 200, 0), -1);
    ip.nx_ip_link_up = 1;

    // A target changed while an echo to the old one is outstanding: the new
    // target's answer stands through its time-out.
    test_support::FakeClock::AdvanceMs(500);
    EXPECT_EQ(Ping_Scan(0x7F000002, 200, 0), -1);  // the last echo's time-out
    const std::size_t before = g_if.sent.size();
    EXPECT_EQ(Ping_Scan(0x7F000002, 200, 0), -1);
    ASSERT_EQ(g_if.sent.size(), before + 1);
    test_support::FakeClock::AdvanceMs(50);
    EXPECT_EQ(Ping_Scan(0x7F000001, 200, 0), -1);
    ASSERT_EQ(g_if.sent.size(), before + 2);
    test_support::FakeClock::AdvanceMs(3);
    SendEcho(rx, 0, last_id());
    EXPECT_EQ(Ping_Scan(0x7F000001, 200, 0), 3);
    test_support::FakeClock::AdvanceMs(197);
    EXPECT_EQ(Ping_Scan(0x7F000001, 200, 0), 3);
    EXPECT_EQ(Ping_Scan(0x7F000001, 200, 0), 3);

    close(rx);
    ip = {};
    PingInstance = {};
}

namespace {

// The interface stand-in with a cable: RUNNING only while it is plugged in;
// every address set on eth0 and every default route added, in order.
bool g_cable;
std::vector<uint32_t> g_addr_sets, g_routes;
int CableIoctl(int fd, unsigned long request, void *arg) {
    const int r = plat_net_own.ioctl(fd, request, arg);
    if (r != 0) return r;
    if (request == SIOCADDRT) {
        struct sockaddr_in gw {};
        std::memcpy(&gw, &static_cast<struct rtentry *>(arg)->rt_gateway, sizeof gw);
        g_routes.push_back(ntohl(gw.sin_addr.s_addr));
        return r;
    }
    auto *ifr = static_cast<struct ifreq *>(arg);
    if (std::strcmp(ifr->ifr_name, "eth0") != 0) return r;
    if (request == SIOCGIFFLAGS && !g_cable) ifr->ifr_flags = short(ifr->ifr_flags & ~IFF_RUNNING);
    if (request == SIOCSIFADDR) {
        struct sockaddr_in a {};
        std::memcpy(&a, &ifr->ifr_addr, sizeof a);
        g_addr_sets.push_back(ntohl(a.sin_addr.s_addr));
    }
    return r;
}
const char *CableDevice(const char *n) { return plat_net_own.device(n); }
uint32_t CableBindAddr(uint32_t a) { return plat_net_own.bind_addr(a); }
int CableConnect(int fd, const struct sockaddr *sa, socklen_t len) { return plat_net_own.connect(fd, sa, len); }
ssize_t CableSendTo(int fd, const void *b, std::size_t n, int f, const struct sockaddr *sa, socklen_t len) {
    return plat_net_own.sendto(fd, b, n, f, sa, len);
}
const PlatNetOps kCableNet = {CableIoctl, CableDevice, CableBindAddr, CableConnect, CableSendTo};

}  // namespace

// The manager's passes without a downloaded configuration (the last good
// address set from the backup, services off): the fall-back address once
// while the cable is out, the configured one back at once when it is in,
// the link taken as up only after more than 1,999 ms, then the gateway (one
// outside the subnet never), the status registers, and DHCP's start.
TEST(EnetManager, CableFallBackLinkDebounceGatewayStatusAndDhcpStart) {
    test_support::OwnNetns netns;  // ports of its own
    ASSERT_TRUE(netns.ok()) << netns.error();
    test_support::TempRoot root;
    test_support::FakeClock clock(MidSecond());
    plat_net = &kCableNet;
    g_cable = false;
    g_addr_sets.clear();
    g_routes.clear();
    plc_reg.fill(0);
    io_config_bl.fill(0);
    EtnConfp = nullptr;
    const uint32_t backup[6] = {0, DPR_BACKUP_MARKER, 0x0A4D0002, 0xFFFFFF00, 0x0A4D0001, 0x0A4D0003};
    for (unsigned i = 0; i < 6; i++) LE_Put32(&bbram[4 * i], backup[i]);
    NX_IP &ip = Enet_IpInstance[0];
    auto pass = [](uint32_t ms) {
        test_support::FakeClock::AdvanceMs(ms);
        EnetMain(0);
    };
    pass(10);
    ASSERT_EQ(Enet_State, 1);
    pass_work.every = 0;  // as the main loop runs once it waits on the readiness set
    for (int i = 0; i < 5; i++) pass(10);
    EXPECT_EQ(g_addr_sets, (std::vector<uint32_t>{0x0A4D0002, 0xC0A8FE80}));
    EXPECT_EQ(ip.nx_ip_address, 0xC0A8FE80u);
    EXPECT_EQ(ip.nx_ip_network_mask, 0xFFFFFF00u) << "the mask stays";
    EXPECT_EQ(Enet_LinkUp, 0);
    EXPECT_EQ(clearIpFlag, 1);
    EXPECT_TRUE(g_routes.empty());

    // The cable in: the configured address at once, the link after 2 s.
    g_cable = true;
    IpAddr0Change = 0;
    pass(10);  // the interface is asked at the end of the pass
    pass(10);
    EXPECT_EQ(g_addr_sets, (std::vector<uint32_t>{0x0A4D0002, 0xC0A8FE80, 0x0A4D0002}));
    EXPECT_EQ(ip.nx_ip_address, 0x0A4D0002u);
    EXPECT_EQ(clearIpFlag, 0);
    EXPECT_EQ(IpAddr0Change, 1);
    ASSERT_NE(EnetLinkUpTimer, 0u);
    EXPECT_EQ(Enet_LinkUp, 0);
    pass(1999);
    EXPECT_EQ(Enet_LinkUp, 0) << "1,999 ms after the carrier";
    EXPECT_TRUE(g_routes.empty()) << "no gateway before the link counts as up";
    pass(1);
    EXPECT_EQ(Enet_LinkUp, 1);
    EXPECT_EQ(g_routes, (std::vector<uint32_t>{0x0A4D0001}));
    EXPECT_EQ(ip.nx_ip_gateway_address, 0x0A4D0001u);

    // A gateway outside 10.77.0.0/24 is never set.
    DprConfigRec &c = Dpr_Configuration[0];
    c.gateway = 0x0A4E0001;
    PassWork_NetChange();
    for (int i = 0; i < 3; i++) pass(10);
    EXPECT_EQ(EnetGateway[0], 0x0A4E0001u);
    EXPECT_EQ(g_routes, (std::vector<uint32_t>{0x0A4D0001}));

    // The status word and the constant 0x1ED in their registers (%R50, %R51):
    // link, 100 Mbit/s, full duplex, no connection; the pool statistics in
    // register bytes 66..89.
    c.status_ref = 33552;
    c.const_ref = 33568;
    pass(10);
    pass(10);
    EXPECT_EQ(Dpr_Get_W_Data(33552), 0x3100);
    EXPECT_EQ(Dpr_Get_W_Data(33568), 0x1ED);
    EXPECT_EQ(LE_Get32(&plc_reg[66]), EnetPacketPoolCtrl.nx_packet_pool_available);
    EXPECT_EQ(std::vector<uint8_t>(plc_reg.begin() + 70, plc_reg.begin() + 90), std::vector<uint8_t>(20, 0));

    // DHCP turned on without a lease: 192.168.254.128/24, then address 0,
    // once.
    c.dhcp_enable = 1;
    PassWork_NetChange();
    for (int i = 0; i < 3; i++) pass(10);
    EXPECT_EQ(g_addr_sets, (std::vector<uint32_t>{0x0A4D0002, 0xC0A8FE80, 0x0A4D0002, 0xC0A8FE80, 0}));
    EXPECT_EQ(ip.nx_ip_address, 0u);
    EXPECT_EQ(ip.nx_ip_dhcp_started, 1);
    EXPECT_EQ(ip.nx_ip_dhcp_active, 1);
    EXPECT_EQ(EnetIpAddress[0], 0u);

    c.dhcp_enable = 0;
    pass_work.every = 1;
    Protocols_DeInit(0);
    plat_net = &plat_net_board;  // the namespace's own ops, as it set them
    bbram.fill(0);
}
