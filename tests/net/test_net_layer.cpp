// Packets and the pool, the IP instance on the logged stand-in of the
// interfaces, and TCP/UDP sockets with the connection poll against real
// loopback peers.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <memory>
#include <net/if.h>
#include <net/if_arp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "core/image/bytes.h"
#include "core/image/iecrt.h"
#include "core/image/plcreg.h"
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
