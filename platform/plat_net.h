// The seam to the machine's network interfaces and the guard on outgoing
// traffic.
//
// Interface calls (address, mask, flags, routes, ARP, hardware address, link
// speed) go through PLAT_NetIoctl. On a workstation they act only inside a
// network namespace that is not the machine's own; in the machine's own
// namespace they are logged to sim/net.log and played on a small
// in-memory stand-in of the interfaces, sockets meant for "eth0" are bound to
// the loopback interface, and nothing is sent to an address outside
// 127.0.0.0/8 (or ::1).
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/socket.h>
#include <sys/types.h>

struct PlatNetOps {
    int (*ioctl)(int fd, unsigned long request, void *arg);
    const char *(*device)(const char *ifname);  // device a socket for ifname binds to
    uint32_t (*bind_addr)(uint32_t addr);       // local address (host order) to bind
    int (*connect)(int fd, const struct sockaddr *sa, socklen_t len);
    ssize_t (*sendto)(int fd, const void *buf, std::size_t n, int flags, const struct sockaddr *sa, socklen_t len);
};
extern const PlatNetOps plat_net_board, plat_net_host;
// The machine's-own-namespace behaviour wherever the process runs (tests).
extern const PlatNetOps plat_net_own;
// The table in force; null chooses by the machine (board, or host).
extern const PlatNetOps *plat_net;

// 1 when the process runs in a network namespace of its own (a test's), or on
// the board: interface calls really act. 0 in the workstation's own namespace.
int PLAT_NetIsolated();
// Interface ioctl (SIOCGIFFLAGS, SIOCSIFADDR, SIOCADDRT, SIOCETHTOOL, ...);
// answers like ioctl().
int PLAT_NetIoctl(int fd, unsigned long request, void *arg);
// Name of the device a socket for interface ifname is bound to.
const char *PLAT_NetDevice(const char *ifname);
// Local address (host order) a socket asked to bind to addr binds to.
uint32_t PLAT_NetBindAddr(uint32_t addr);
// connect() and sendto() behind the outgoing-traffic guard: a refused
// destination answers -1 with errno ENETUNREACH.
int PLAT_NetConnect(int fd, const struct sockaddr *sa, socklen_t len);
ssize_t PLAT_NetSendTo(int fd, const void *buf, std::size_t n, int flags, const struct sockaddr *sa, socklen_t len);
// Decides isolation from the identities of namespaces: own, process 1's (empty
// when unreadable) and the oldest readable ancestor's (empty when none).
// Exposed for tests.
int PLAT_NetIsolatedFrom(const char *own, const char *init, const char *ancestor);
// The host's decision: setting is PLC_NETNS ("own": a namespace of the
// controller's own, configure the interfaces; "machine": leave them alone;
// unset or empty: inferred as above; anything else: left alone). Answers 1 to
// configure, and writes the start-up sentence saying what and why into why.
int PLAT_NetDecide(const char *setting, const char *own, const char *init, const char *ancestor, int ancestor_pid,
                   char *why, std::size_t n);
// The sentence of the decision in force on a workstation (empty on the board).
const char *PLAT_NetDecision();
