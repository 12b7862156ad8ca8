// Checking front ends of the network calls: a missing record or packet
// pointer is refused with status 7 before the call is made.
#include "net/nxe.h"

#include "net/nx.h"

uint32_t _nxe_packet_pool_create(NX_PACKET_POOL *pool, const char *name, uint32_t payload, void *memory,
                                 uint32_t size) {
    if (pool == nullptr) return NX_PTR_ERROR;
    return _nx_packet_pool_create(pool, name, payload, memory, size);
}

uint32_t _nxe_packet_allocate(NX_PACKET_POOL *pool, NX_PACKET **packet, uint32_t type, uint32_t wait) {
    if (pool == nullptr || packet == nullptr) return NX_PTR_ERROR;
    return _nx_packet_allocate(pool, packet, type, wait);
}

uint32_t _nxe_packet_release(NX_PACKET *packet) {
    if (packet == nullptr) return NX_PTR_ERROR;
    return _nx_packet_release(packet);
}

uint32_t _nxe_packet_data_append(NX_PACKET *packet, const void *data, uint32_t size, NX_PACKET_POOL *pool,
                                 uint32_t wait) {
    if (packet == nullptr || pool == nullptr) return NX_PTR_ERROR;
    return _nx_packet_data_append(packet, data, size, pool, wait);
}

uint32_t _nxe_packet_copy(NX_PACKET *source, NX_PACKET **out, NX_PACKET_POOL *pool, uint32_t wait) {
    if (source == nullptr || out == nullptr || pool == nullptr) return NX_PTR_ERROR;
    return _nx_packet_copy(source, out, pool, wait);
}

uint32_t _nxe_ip_create(NX_IP *ip, const char *name, uint32_t address, uint32_t mask, NX_PACKET_POOL *pool,
                        void *(*driver)(void *), void *stack, uint32_t stack_size, uint32_t priority) {
    if (ip == nullptr || pool == nullptr) return NX_PTR_ERROR;
    return _nx_ip_create(ip, name, address, mask, pool, driver, stack, stack_size, priority);
}

uint32_t _nxe_ip_address_set(NX_IP *ip, uint32_t address, uint32_t mask) {
    if (ip == nullptr) return NX_PTR_ERROR;
    return _nx_ip_address_set(ip, address, mask);
}

uint32_t _nxe_ip_gateway_address_set(NX_IP *ip, uint32_t gateway) {
    if (ip == nullptr) return NX_PTR_ERROR;
    return _nx_ip_gateway_address_set(ip, gateway);
}

uint32_t _nxe_ip_address_get(NX_IP *ip) {
    if (ip == nullptr) return NX_PTR_ERROR;
    return _nx_ip_address_get(ip);
}

uint32_t _nxe_ip_driver_direct_command(NX_IP *ip, uint32_t command, uint32_t *value) {
    if (ip == nullptr || value == nullptr) return NX_PTR_ERROR;
    return _nx_ip_driver_direct_command(ip, command, value);
}

uint32_t _nxe_arp_dynamic_entry_set(NX_IP *ip, uint32_t address, uint32_t mac_hi, uint32_t mac_lo) {
    if (ip == nullptr) return NX_PTR_ERROR;
    return _nx_arp_dynamic_entry_set(ip, address, mac_hi, mac_lo);
}

uint32_t _nxe_igmp_multicast_join(NX_IP *ip, uint32_t group, NX_UDP_SOCKET *socket) {
    if (ip == nullptr || socket == nullptr) return NX_PTR_ERROR;
    return _nx_igmp_multicast_join(ip, group, socket);
}

uint32_t _nxe_igmp_multicast_leave(NX_IP *ip, uint32_t group, NX_UDP_SOCKET *socket) {
    if (ip == nullptr || socket == nullptr) return NX_PTR_ERROR;
    return _nx_igmp_multicast_leave(ip, group, socket);
}

uint32_t _nxe_icmp_enable(NX_IP *ip) {
    if (ip == nullptr) return NX_PTR_ERROR;
    return _nx_icmp_enable(ip);
}

uint32_t _nxe_icmp_ping(NX_IP *ip, uint32_t target, const void *data, uint32_t size, NX_PACKET **reply,
                        uint32_t timeout_ms) {
    if (ip == nullptr || reply == nullptr) return NX_PTR_ERROR;
    return _nx_icmp_ping(ip, target, data, size, reply, timeout_ms);
}

uint32_t _nxe_arp_enable(NX_IP *ip) {
    if (ip == nullptr) return NX_PTR_ERROR;
    return _nx_arp_enable(ip);
}

uint32_t _nxe_igmp_enable(NX_IP *ip) {
    if (ip == nullptr) return NX_PTR_ERROR;
    return _nx_igmp_enable(ip);
}

uint32_t _nxe_udp_enable(NX_IP *ip) {
    if (ip == nullptr) return NX_PTR_ERROR;
    return _nx_udp_enable(ip);
}

uint32_t _nxe_tcp_enable(NX_IP *ip) {
    if (ip == nullptr) return NX_PTR_ERROR;
    return _nx_tcp_enable(ip);
}

uint32_t _nxe_tcp_socket_create(NX_IP *ip, NX_TCP_SOCKET *s, const char *name, uint32_t tos, uint32_t fragment,
                                uint32_t ttl, uint32_t window, NxTcpCallback urgent, NxTcpCallback disconnect) {
    if (ip == nullptr || s == nullptr) return NX_PTR_ERROR;
    return _nx_tcp_socket_create(ip, s, name, tos, fragment, ttl, window, urgent, disconnect);
}

uint32_t _nxe_udp_socket_create(NX_IP *ip, NX_UDP_SOCKET *s, const char *name, uint32_t tos, uint32_t fragment,
                                uint32_t ttl, uint32_t queue_max) {
    if (ip == nullptr || s == nullptr) return NX_PTR_ERROR;
    return _nx_udp_socket_create(ip, s, name, tos, fragment, ttl, queue_max);
}

uint32_t _nxe_tcp_client_socket_bind(NX_TCP_SOCKET *s, uint32_t port, uint32_t wait) {
    if (s == nullptr) return NX_PTR_ERROR;
    return _nx_tcp_client_socket_bind(s, port, wait);
}

uint32_t _nxe_udp_socket_bind(NX_UDP_SOCKET *s, uint32_t port, uint32_t wait) {
    if (s == nullptr) return NX_PTR_ERROR;
    return _nx_udp_socket_bind(s, port, wait);
}

uint32_t _nxe_tcp_client_socket_unbind(NX_TCP_SOCKET *s) {
    if (s == nullptr) return NX_PTR_ERROR;
    return _nx_tcp_client_socket_unbind(s);
}

uint32_t _nxe_udp_socket_unbind(NX_UDP_SOCKET *s) {
    if (s == nullptr) return NX_PTR_ERROR;
    return _nx_udp_socket_unbind(s);
}

uint32_t _nxe_tcp_server_socket_listen(NX_IP *ip, uint32_t port, NX_TCP_SOCKET *s, uint32_t queue,
                                       NxListenCallback callback) {
    if (ip == nullptr || s == nullptr) return NX_PTR_ERROR;
    return _nx_tcp_server_socket_listen(ip, port, s, queue, callback);
}

uint32_t _nxe_tcp_server_socket_relisten(NX_IP *ip, uint32_t port, NX_TCP_SOCKET *s) {
    if (ip == nullptr || s == nullptr) return NX_PTR_ERROR;
    return _nx_tcp_server_socket_relisten(ip, port, s);
}

uint32_t _nxe_tcp_server_socket_accept(NX_TCP_SOCKET *s, uint32_t wait) {
    if (s == nullptr) return NX_PTR_ERROR;
    return _nx_tcp_server_socket_accept(s, wait);
}

uint32_t _nxe_tcp_server_socket_unaccept(NX_TCP_SOCKET *s) {
    if (s == nullptr) return NX_PTR_ERROR;
    return _nx_tcp_server_socket_unaccept(s);
}

uint32_t _nxe_tcp_server_socket_unlisten(NX_IP *ip, uint32_t port) {
    if (ip == nullptr) return NX_PTR_ERROR;
    return _nx_tcp_server_socket_unlisten(ip, port);
}

uint32_t _nxe_tcp_client_socket_connect(NX_TCP_SOCKET *s, uint32_t address, uint32_t port, uint32_t wait) {
    if (s == nullptr) return NX_PTR_ERROR;
    return _nx_tcp_client_socket_connect(s, address, port, wait);
}

uint32_t _nxe_tcp_socket_send(NX_TCP_SOCKET *s, NX_PACKET *packet, uint32_t wait) {
    if (s == nullptr || packet == nullptr) return NX_PTR_ERROR;
    return _nx_tcp_socket_send(s, packet, wait);
}

uint32_t _nxe_tcp_socket_receive(NX_TCP_SOCKET *s, NX_PACKET **packet, uint32_t wait) {
    if (s == nullptr || packet == nullptr) return NX_PTR_ERROR;
    return _nx_tcp_socket_receive(s, packet, wait);
}

uint32_t _nxe_tcp_socket_delete(NX_TCP_SOCKET *s) {
    if (s == nullptr) return NX_PTR_ERROR;
    return _nx_tcp_socket_delete(s);
}

uint32_t _nxe_tcp_socket_disconnect(NX_TCP_SOCKET *s, uint32_t wait) {
    if (s == nullptr) return NX_PTR_ERROR;
    return _nx_tcp_socket_disconnect(s, wait);
}

uint32_t _nxe_tcp_socket_receive_notify(NX_TCP_SOCKET *s, NxTcpCallback callback) {
    if (s == nullptr) return NX_PTR_ERROR;
    return _nx_tcp_socket_receive_notify(s, callback);
}

uint32_t _nxe_tcp_socket_transmit_configure(NX_TCP_SOCKET *s, uint32_t depth, uint32_t timeout, uint32_t retries,
                                            uint32_t shift) {
    if (s == nullptr) return NX_PTR_ERROR;
    return _nx_tcp_socket_transmit_configure(s, depth, timeout, retries, shift);
}

uint32_t _nxe_udp_socket_send(NX_UDP_SOCKET *s, NX_PACKET *packet, uint32_t address, uint32_t port) {
    if (s == nullptr || packet == nullptr) return NX_PTR_ERROR;
    return _nx_udp_socket_send(s, packet, address, port);
}

uint32_t _nxe_udp_socket_receive(NX_UDP_SOCKET *s, NX_PACKET **packet, uint32_t wait) {
    if (s == nullptr || packet == nullptr) return NX_PTR_ERROR;
    return _nx_udp_socket_receive(s, packet, wait);
}

uint32_t _nxe_udp_socket_receive_port_detail(NX_UDP_SOCKET *s, NX_PACKET **packet, uint32_t *address, uint32_t *port) {
    if (s == nullptr || packet == nullptr) return NX_PTR_ERROR;
    return _nx_udp_socket_receive_port_detail(s, packet, address, port);
}

uint32_t _nxe_udp_socket_delete(NX_UDP_SOCKET *s) {
    if (s == nullptr) return NX_PTR_ERROR;
    return _nx_udp_socket_delete(s);
}
