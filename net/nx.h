// NetX-style network API carried out by ordinary Linux sockets: packets and
// the packet pool, the IP instance and its interface calls, TCP and UDP
// sockets and the connection poll. No call ever waits.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "platform/plat_fd.h"
#include "platform/plat_poll.h"

// ---- status numbers -------------------------------------------------------------------
enum : uint32_t {
    NX_SUCCESS = 0,
    NX_NO_PACKET = 1,
    NX_PTR_ERROR = 7,
    NX_NO_RESPONSE = 8,
    NX_INVALID_PACKET = 18,
    NX_ALREADY_BOUND = 34,
    NX_NOT_BOUND = 36,
    NX_NOT_CREATED = 53,
    NX_NOT_LISTEN_STATE = 54,
    NX_IN_PROGRESS = 55,
    NX_NOT_CONNECTED = 56,
    NX_WINDOW_OVERFLOW = 57,
    NX_NOT_SUCCESSFUL = 67,
};

// ---- packets ----------------------------------------------------------------------------
constexpr uint32_t NX_PACKET_FREE = 0xFFFFFFFF, NX_PACKET_ALLOCATED = 0xAAAAAAAA;
constexpr uint32_t NX_MAX_READ = 1500;  // bytes of one receive

struct NX_PACKET_POOL;
struct NX_PACKET {
    NX_PACKET_POOL *nx_packet_pool_owner;  // not used (null)
    NX_PACKET *nx_packet_queue_next;       // cleared on release
    uint32_t nx_packet_state;              // NX_PACKET_FREE / NX_PACKET_ALLOCATED
    NX_PACKET *nx_packet_pool_next;        // next packet of the pool, memory order
    NX_PACKET *nx_packet_last;             // cleared on release
    NX_PACKET *nx_packet_fragment_next;    // not used (null)
    uint32_t nx_packet_length;             // valid bytes
    uint8_t *nx_packet_data_start;
    uint8_t *nx_packet_data_end;     // data start + payload size
    uint8_t *nx_packet_prepend_ptr;  // first valid byte
    uint8_t *nx_packet_append_ptr;   // one past the last valid byte
};
// Bytes one packet takes in the pool memory besides its payload.
constexpr std::size_t NX_PACKET_HEADER = (sizeof(NX_PACKET) + 15) & ~std::size_t(15);

struct NX_PACKET_POOL {
    uint32_t nx_packet_pool_id;
    const char *nx_packet_pool_name;
    uint32_t nx_packet_pool_available;
    uint32_t nx_packet_pool_total;
    uint32_t nx_packet_pool_empty_requests;     // never written (zero)
    uint32_t nx_packet_pool_empty_suspensions;  // never written (zero)
    uint32_t nx_packet_pool_invalid_releases;   // never written (zero)
    NX_PACKET *nx_packet_pool_available_list;   // first packet
    uint8_t *nx_packet_pool_start;
    uint32_t nx_packet_pool_size;
    uint32_t nx_packet_pool_payload_size;
    uint32_t nx_packet_pool_zero;
    uint32_t nx_packet_pool_spare[2];
};

uint32_t _nx_packet_pool_create(NX_PACKET_POOL *pool, const char *name, uint32_t payload, void *memory, uint32_t size);
uint32_t _nx_packet_allocate(NX_PACKET_POOL *pool, NX_PACKET **packet, uint32_t type, uint32_t wait);
uint32_t _nx_packet_release(NX_PACKET *packet);
uint32_t _nx_packet_data_append(NX_PACKET *packet, const void *data, uint32_t size, NX_PACKET_POOL *pool,
                                uint32_t wait);
uint32_t _nx_packet_copy(NX_PACKET *source, NX_PACKET **out, NX_PACKET_POOL *pool, uint32_t wait);

// ---- IP instance ----------------------------------------------------------------------------
constexpr unsigned NX_MCAST_MAX = 7;
struct NX_IP {
    uint32_t nx_ip_interface;  // digit of the interface name ("eth0": 0)
    const char *nx_ip_name;
    uint32_t nx_ip_address;  // host order
    uint32_t nx_ip_network_mask;
    uint32_t nx_ip_network;  // address AND mask at creation
    uint32_t nx_ip_gateway_address;
    uint32_t nx_ip_dns;       // DNS server last handed to the Linux side
    uint8_t nx_ip_zero_once;  // next address 0 really sets 0.0.0.0
    uint8_t nx_ip_dhcp_started;
    uint8_t nx_ip_disable_on_zero;  // next address 0 takes the port down
    uint8_t nx_ip_dhcp_active;
    uint32_t nx_ip_sent_count;
    uint32_t nx_ip_ping_target;
    int32_t nx_ip_ping_fd;      // raw ICMP socket
    uint32_t nx_ip_ping_state;  // 0 idle, 1 echo outstanding
    uint32_t nx_ip_ping_sent;   // 100 us ticks
    uint32_t nx_ip_ping_elapsed;
    uint16_t nx_ip_ping_id;    // identifier of the outstanding echo
    uint32_t nx_ip_echo_sent;  // echo requests sent and our replies received
    uint32_t nx_ip_echo_received;
    uint32_t nx_ip_mcast_count;
    uint32_t nx_ip_created;  // 1 once created
    NX_PACKET_POOL *nx_ip_default_packet_pool;
    uint32_t nx_ip_link_up;  // 1 while IFF_RUNNING
    uint32_t nx_ip_speed;    // low byte 0/1/2 = 10/100/1000 Mbit/s, 0x100 full duplex
    uint32_t nx_ip_received_count;
    std::array<uint32_t, NX_MCAST_MAX> nx_ip_mcast;
    // Next client port handed to a bind to any port (from 30000 up, wrapping
    // back to 30000); 0 leaves the choice to the kernel.
    uint32_t nx_ip_next_port;
};
constexpr uint32_t NX_CLIENT_PORT_MIN = 30000;
// Exchanges the next client port with register word 54541: a register value
// from 30000 up becomes the instance's, a lower one is replaced by the
// instance's.
void _nx_ip_client_port_sync(NX_IP *ip);
extern uint32_t nx_link_speed_timer;

// Driver direct commands.
enum : uint32_t {
    NX_LINK_GET_SPEED = 11,
    NX_LINK_GET_DUPLEX = 12,
    NX_LINK_GET_ERRORS = 13,
    NX_LINK_GET_RX_COUNT = 14,
    NX_LINK_GET_TX_COUNT = 15,
    NX_LINK_GET_ALLOC_ERRORS = 16
};

void _nx_system_initialize();
int PortDisable(const char *ifname);
uint32_t _nx_ip_create(NX_IP *ip, const char *name, uint32_t address, uint32_t mask, NX_PACKET_POOL *pool,
                       void *(*driver)(void *), void *stack, uint32_t stack_size, uint32_t priority);
uint32_t _nx_ip_address_set(NX_IP *ip, uint32_t address, uint32_t mask);
uint32_t _nx_ip_gateway_address_set(NX_IP *ip, uint32_t gateway);
uint32_t _nx_ip_address_get(NX_IP *ip);
uint32_t _nx_ip_driver_direct_command(NX_IP *ip, uint32_t command, uint32_t *value);
// The value of a direct command from the link state the last direct command
// read (no interface query): for several values read together.
uint32_t NxLinkValue(const NX_IP *ip, uint32_t command, uint32_t *value);
uint32_t _nx_arp_dynamic_entry_set(NX_IP *ip, uint32_t address, uint32_t mac_hi, uint32_t mac_lo);
struct NX_UDP_SOCKET;
uint32_t _nx_igmp_multicast_join(NX_IP *ip, uint32_t group, NX_UDP_SOCKET *socket);
uint32_t _nx_igmp_multicast_leave(NX_IP *ip, uint32_t group, NX_UDP_SOCKET *socket);
uint32_t _nx_icmp_enable(NX_IP *ip);
uint32_t _nx_icmp_ping(NX_IP *ip, uint32_t target, const void *data, uint32_t size, NX_PACKET **reply,
                       uint32_t timeout_ms);
uint32_t _nx_arp_enable(NX_IP *ip);
uint32_t _nx_igmp_enable(NX_IP *ip);
uint32_t _nx_udp_enable(NX_IP *ip);
uint32_t _nx_tcp_enable(NX_IP *ip);
void Etn_IrqInit();
void *Etn_Driver(void *arg);
void Etn_GetMacId();
// Internet one's-complement checksum of n bytes.
uint16_t NxChecksum(const uint8_t *data, std::size_t n);

// ---- TCP and UDP sockets ------------------------------------------------------------------------
constexpr uint32_t NX_TCP_CREATED = 1, NX_TCP_LISTEN = 2, NX_TCP_CONNECTING = 3, NX_TCP_ESTABLISHED = 5,
                   NX_TCP_CLOSE_WAIT = 6;
struct NX_TCP_SOCKET;
using NxTcpCallback = void (*)(NX_TCP_SOCKET *socket);
using NxListenCallback = void (*)(NX_TCP_SOCKET *socket, uint32_t port);

struct NX_TCP_SOCKET {
    int32_t fd = -1;  // connection (client) or listening descriptor (server), -1 none
    const char *name;
    uint32_t client;  // 1: connection on fd; 0: listening server socket
    uint32_t port;
    uint32_t writable;
    uint32_t peer_address;
    uint32_t peer_port;
    uint32_t mss;
    uint32_t state;
    uint32_t window[3];
    NX_IP *ip;
    uint32_t tos, ttl, fragment;
    uint32_t receive_pending;
    uint32_t transmit_state;  // 0 writable, 2 not writable
    uint32_t last_taken;      // bytes of the last sent packet the kernel took (all, part or none)
    uint32_t bound;
    uint32_t cleared;
    uint32_t queue_size;
    NxTcpCallback urgent_callback;
    NxTcpCallback disconnect_callback;
    NxTcpCallback receive_callback;
    NxListenCallback listen_callback;
    int32_t accepted_fd = -1;  // server's current connection, -1 none
    // Listening server: 1 + index of the shared listening descriptor in
    // NxListeners (fd is then only its number); 0 while the record owns fd.
    uint32_t listener;
    uint32_t conn_index;  // 1 + its entry in ConnSock, 0 none
    PlatPollItem poll;    // the connection's descriptor in the readiness set
    // The owning server's count of reports on its connections (null: none kept).
    uint32_t *tally = nullptr;
};

// A listening descriptor, owned here and shared by the server records that
// listen on its port. Closed by an unlisten, or when the last record lets it
// go without having served a connection: after a connection the port stays
// listened on (refs 0) until a record is relistened on it.
struct NxListener {
    PlatFd fd;
    uint32_t refs;
    uint32_t port;
    NX_IP *ip;
    NxListenCallback callback;  // of the listen; relistened records take it
    PlatPollItem poll;
    // A waiting connection taken off the queue so that its host is known
    // (NxWaitingPeer); the next accept on the port takes it first.
    PlatFd held;
    uint32_t held_address, held_port;  // its peer, host order
};
constexpr unsigned NX_LISTENERS_MAX = 32;
extern std::array<NxListener, NX_LISTENERS_MAX> NxListeners;
// Reports of the listening descriptors so far (wraps): a connection may wait
// to be taken when it moved.
extern uint32_t NxListenReports;

// The connection has input not yet read, as far as the readiness set knows
// (a record outside the set is always worth a read).
inline bool NxRxReady(const NX_TCP_SOCKET *s) {
    return s->poll.owner == nullptr || (s->poll.events & (PLAT_POLL_IN | PLAT_POLL_RDHUP | PLAT_POLL_HUP)) != 0;
}

// Receives into pk behind the data it holds, only as much as it has room
// for; the rest stays with the connection. NX_NO_PACKET when nothing came or
// the packet is full.
uint32_t NxTcpReceiveBehind(NX_TCP_SOCKET *s, NX_PACKET *pk);

struct NX_UDP_SOCKET {
    int32_t fd = -1;  // -1 none
    const char *name;
    uint32_t port;
    NX_IP *ip;
    uint32_t tos, ttl, fragment;
    uint32_t queue_max;
    uint32_t bound;
    uint32_t counters[4];
    PlatPollItem poll;  // in the readiness set while bound
};

constexpr unsigned CONN_SOCK_SLOTS = 330;
extern std::array<NX_TCP_SOCKET *, CONN_SOCK_SLOTS> ConnSock;

uint32_t SetNonBlocking(int fd);
uint32_t _nx_tcp_socket_create(NX_IP *ip, NX_TCP_SOCKET *s, const char *name, uint32_t tos, uint32_t fragment,
                               uint32_t ttl, uint32_t window, NxTcpCallback urgent, NxTcpCallback disconnect);
uint32_t _nx_udp_socket_create(NX_IP *ip, NX_UDP_SOCKET *s, const char *name, uint32_t tos, uint32_t fragment,
                               uint32_t ttl, uint32_t queue_max);
uint32_t _nx_tcp_client_socket_bind(NX_TCP_SOCKET *s, uint32_t port, uint32_t wait);
uint32_t _nx_udp_socket_bind(NX_UDP_SOCKET *s, uint32_t port, uint32_t wait);
uint32_t _nx_tcp_client_socket_unbind(NX_TCP_SOCKET *s);
uint32_t _nx_udp_socket_unbind(NX_UDP_SOCKET *s);
uint32_t _nx_tcp_server_socket_listen(NX_IP *ip, uint32_t port, NX_TCP_SOCKET *s, uint32_t queue,
                                      NxListenCallback callback);
uint32_t _nx_tcp_server_socket_relisten(NX_IP *ip, uint32_t port, NX_TCP_SOCKET *s);
uint32_t _nx_tcp_server_socket_accept(NX_TCP_SOCKET *s, uint32_t wait);
uint32_t _nx_tcp_server_socket_unaccept(NX_TCP_SOCKET *s);
// Whether another connection waits on the listening port of server socket s
// (listening, or serving a connection it accepted there).
bool NxConnectionWaiting(NX_TCP_SOCKET *s);
// The peer address of the connection that waits first on the port of server
// socket s (as NxConnectionWaiting): true with *address (host order) when
// one waits. The connection stays the next one an accept on the port takes.
bool NxWaitingPeer(NX_TCP_SOCKET *s, uint32_t *address);
// Moves the connection that server record from accepted to server record
// to, listening on the same port with none of its own; from listens again.
// For a server that holds connections in records of their own until their
// request is whole and answers each from one record.
uint32_t NxHandOver(NX_TCP_SOCKET *from, NX_TCP_SOCKET *to);
uint32_t _nx_tcp_server_socket_unlisten(NX_IP *ip, uint32_t port);
uint32_t _nx_tcp_client_socket_connect(NX_TCP_SOCKET *s, uint32_t address, uint32_t port, uint32_t wait);
uint32_t _nx_tcp_socket_send(NX_TCP_SOCKET *s, NX_PACKET *packet, uint32_t wait);
uint32_t _nx_tcp_socket_receive(NX_TCP_SOCKET *s, NX_PACKET **packet, uint32_t wait);
uint32_t _nx_tcp_socket_delete(NX_TCP_SOCKET *s);
uint32_t _nx_tcp_socket_disconnect(NX_TCP_SOCKET *s, uint32_t wait);
uint32_t _nx_tcp_socket_receive_notify(NX_TCP_SOCKET *s, NxTcpCallback callback);
uint32_t _nx_tcp_socket_transmit_configure(NX_TCP_SOCKET *s, uint32_t depth, uint32_t timeout, uint32_t retries,
                                           uint32_t shift);
uint32_t _nx_udp_socket_send(NX_UDP_SOCKET *s, NX_PACKET *packet, uint32_t address, uint32_t port);
uint32_t _nx_udp_socket_receive(NX_UDP_SOCKET *s, NX_PACKET **packet, uint32_t wait);
uint32_t _nx_udp_socket_receive_port_detail(NX_UDP_SOCKET *s, NX_PACKET **packet, uint32_t *address, uint32_t *port);
uint32_t _nx_udp_socket_delete(NX_UDP_SOCKET *s);
// The connection poll, once per main-loop pass.
void EnetThread();
