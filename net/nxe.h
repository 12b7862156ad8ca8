// Checking front ends (_nxe_*) of the network calls: each refuses a missing
// record or packet pointer with NX_PTR_ERROR (7), then makes the call.
#pragma once

#include "net/nx.h"

uint32_t _nxe_packet_pool_create(NX_PACKET_POOL *pool, const char *name, uint32_t payload, void *memory, uint32_t size);
uint32_t _nxe_packet_allocate(NX_PACKET_POOL *pool, NX_PACKET **packet, uint32_t type, uint32_t wait);
uint32_t _nxe_packet_release(NX_PACKET *packet);
uint32_t _nxe_packet_data_append(NX_PACKET *packet, const void *data, uint32_t size, NX_PACKET_POOL *pool,
                                 uint32_t wait);
uint32_t _nxe_packet_copy(NX_PACKET *source, NX_PACKET **out, NX_PACKET_POOL *pool, uint32_t wait);
uint32_t _nxe_ip_create(NX_IP *ip, const char *name, uint32_t address, uint32_t mask, NX_PACKET_POOL *pool,
                        void *(*driver)(void *), void *stack, uint32_t stack_size, uint32_t priority);
uint32_t _nxe_ip_address_set(NX_IP *ip, uint32_t address, uint32_t mask);
uint32_t _nxe_ip_gateway_address_set(NX_IP *ip, uint32_t gateway);
uint32_t _nxe_ip_address_get(NX_IP *ip);
uint32_t _nxe_ip_driver_direct_command(NX_IP *ip, uint32_t command, uint32_t *value);
uint32_t _nxe_arp_dynamic_entry_set(NX_IP *ip, uint32_t address, uint32_t mac_hi, uint32_t mac_lo);
uint32_t _nxe_igmp_multicast_join(NX_IP *ip, uint32_t group, NX_UDP_SOCKET *socket);
uint32_t _nxe_igmp_multicast_leave(NX_IP *ip, uint32_t group, NX_UDP_SOCKET *socket);
uint32_t _nxe_icmp_enable(NX_IP *ip);
uint32_t _nxe_icmp_ping(NX_IP *ip, uint32_t target, const void *data, uint32_t size, NX_PACKET **reply,
                        uint32_t timeout_ms);
uint32_t _nxe_arp_enable(NX_IP *ip);
uint32_t _nxe_igmp_enable(NX_IP *ip);
uint32_t _nxe_udp_enable(NX_IP *ip);
uint32_t _nxe_tcp_enable(NX_IP *ip);
uint32_t _nxe_tcp_socket_create(NX_IP *ip, NX_TCP_SOCKET *s, const char *name, uint32_t tos, uint32_t fragment,
                                uint32_t ttl, uint32_t window, NxTcpCallback urgent, NxTcpCallback disconnect);
uint32_t _nxe_udp_socket_create(NX_IP *ip, NX_UDP_SOCKET *s, const char *name, uint32_t tos, uint32_t fragment,
                                uint32_t ttl, uint32_t queue_max);
uint32_t _nxe_tcp_client_socket_bind(NX_TCP_SOCKET *s, uint32_t port, uint32_t wait);
uint32_t _nxe_udp_socket_bind(NX_UDP_SOCKET *s, uint32_t port, uint32_t wait);
uint32_t _nxe_tcp_client_socket_unbind(NX_TCP_SOCKET *s);
uint32_t _nxe_udp_socket_unbind(NX_UDP_SOCKET *s);
uint32_t _nxe_tcp_server_socket_listen(NX_IP *ip, uint32_t port, NX_TCP_SOCKET *s, uint32_t queue,
                                       NxListenCallback callback);
uint32_t _nxe_tcp_server_socket_relisten(NX_IP *ip, uint32_t port, NX_TCP_SOCKET *s);
uint32_t _nxe_tcp_server_socket_accept(NX_TCP_SOCKET *s, uint32_t wait);
uint32_t _nxe_tcp_server_socket_unaccept(NX_TCP_SOCKET *s);
uint32_t _nxe_tcp_server_socket_unlisten(NX_IP *ip, uint32_t port);
uint32_t _nxe_tcp_client_socket_connect(NX_TCP_SOCKET *s, uint32_t address, uint32_t port, uint32_t wait);
uint32_t _nxe_tcp_socket_send(NX_TCP_SOCKET *s, NX_PACKET *packet, uint32_t wait);
uint32_t _nxe_tcp_socket_receive(NX_TCP_SOCKET *s, NX_PACKET **packet, uint32_t wait);
uint32_t _nxe_tcp_socket_delete(NX_TCP_SOCKET *s);
uint32_t _nxe_tcp_socket_disconnect(NX_TCP_SOCKET *s, uint32_t wait);
uint32_t _nxe_tcp_socket_receive_notify(NX_TCP_SOCKET *s, NxTcpCallback callback);
uint32_t _nxe_tcp_socket_transmit_configure(NX_TCP_SOCKET *s, uint32_t depth, uint32_t timeout, uint32_t retries,
                                            uint32_t shift);
uint32_t _nxe_udp_socket_send(NX_UDP_SOCKET *s, NX_PACKET *packet, uint32_t address, uint32_t port);
uint32_t _nxe_udp_socket_receive(NX_UDP_SOCKET *s, NX_PACKET **packet, uint32_t wait);
uint32_t _nxe_udp_socket_receive_port_detail(NX_UDP_SOCKET *s, NX_PACKET **packet, uint32_t *address, uint32_t *port);
uint32_t _nxe_udp_socket_delete(NX_UDP_SOCKET *s);
