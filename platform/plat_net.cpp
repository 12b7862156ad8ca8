// Network interface backend and outgoing-traffic guard: the board acts
// directly; a workstation acts only in a namespace of its own.
#include "platform/plat_net.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <mutex>
#include <net/if.h>
#include <net/if_arp.h>
#include <net/route.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "platform/plat.h"

namespace {

// ---- board: the kernel does everything ----------------------------------------------------
int BoardIoctl(int fd, unsigned long request, void *arg) { return ioctl(fd, request, arg); }
const char *BoardDevice(const char *ifname) { return ifname; }
uint32_t BoardBindAddr(uint32_t addr) { return addr; }
int BoardConnect(int fd, const struct sockaddr *sa, socklen_t len) { return connect(fd, sa, len); }
ssize_t BoardSendTo(int fd, const void *buf, std::size_t n, int flags, const struct sockaddr *sa, socklen_t len) {
    return sendto(fd, buf, n, flags, sa, len);
}

// ---- namespace check ---------------------------------------------------------------------
bool NsOf(int pid, char *out, std::size_t n) {
    char path[64];
    if (pid == 0)
        std::snprintf(path, sizeof path, "/proc/self/ns/net");
    else
        std::snprintf(path, sizeof path, "/proc/%d/ns/net", pid);
    const ssize_t r = readlink(path, out, n - 1);
    if (r <= 0) {
        out[0] = 0;
        return false;
    }
    out[r] = 0;
    return true;
}

int ParentOf(int pid) {
    char path[64], buf[512];
    std::snprintf(path, sizeof path, "/proc/%d/stat", pid);
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    const ssize_t r = read(fd, buf, sizeof buf - 1);
    close(fd);
    if (r <= 0) return 0;
    buf[r] = 0;
    const char *p = std::strrchr(buf, ')');
    int ppid = 0;
    char state = 0;
    if (p == nullptr || std::sscanf(p + 1, " %c %d", &state, &ppid) != 2) return 0;
    return ppid;
}

// Oldest ancestor whose namespace can be read: its pid and namespace in anc.
int OldestReadableAncestor(char *anc, std::size_t n) {
    int found = 0;
    int pid = int(getppid());
    anc[0] = 0;
    for (int depth = 0; pid > 1 && depth < 256; depth++) {
        char ns[128];
        if (NsOf(pid, ns, sizeof ns)) {
            std::snprintf(anc, n, "%s", ns);
            found = pid;
        }
        pid = ParentOf(pid);
    }
    return found;
}

char net_why[256];

bool DecideIsolated() {
    char own[128], init[128], anc[128] = "";
    NsOf(0, own, sizeof own);
    NsOf(1, init, sizeof init);
    const int anc_pid = init[0] == 0 ? OldestReadableAncestor(anc, sizeof anc) : 0;
    return PLAT_NetDecide(std::getenv("PLC_NETNS"), own, init, anc, anc_pid, net_why, sizeof net_why) != 0;
}

bool HostIsolated() {
    static const bool isolated = DecideIsolated();
    return isolated;
}

// ---- machine's own namespace: logged stand-in of the interfaces -----------------------------
struct ShadowIf {
    const char *name;
    uint32_t addr, mask, gateway;  // network byte order
    short flags;
    uint8_t mac[6];
};
std::mutex shadow_lock;
ShadowIf shadow[2] = {{"eth0", 0, 0, 0, IFF_UP | IFF_BROADCAST | IFF_RUNNING, {0x02, 0, 0, 0, 0, 1}},
                      {"eth1", 0, 0, 0, IFF_UP | IFF_BROADCAST | IFF_RUNNING, {0x02, 0, 0, 0, 0, 2}}};

ShadowIf *Shadow(const char *name) {
    for (auto &s : shadow) {
        if (std::strncmp(name, s.name, IFNAMSIZ) == 0) return &s;
    }
    return nullptr;
}

// Appends one line to sim/net.log under the root.
void NetLog(const char *line) {
    char p[512];
    if (PLAT_Root()[0] == 0 || !PLAT_Path("/sim/net.log", p, sizeof p)) return;
    const int fd = open(p, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    char buf[160];
    const int n = std::snprintf(buf, sizeof buf, "%s\n", line);
    if (n > 0 && write(fd, buf, std::size_t(n) < sizeof buf ? std::size_t(n) : sizeof buf - 1) < 0) {
        // nothing more to do: the log is a convenience
    }
    close(fd);
}

void LogLine(const char *what, const char *ifname, uint32_t net_addr) {
    char line[128], a[INET_ADDRSTRLEN] = "";
    struct in_addr ia {};
    ia.s_addr = net_addr;
    inet_ntop(AF_INET, &ia, a, sizeof a);
    std::snprintf(line, sizeof line, "ioctl %s %.16s %s", what, ifname, a);
    NetLog(line);
}

uint32_t SinAddr(const struct sockaddr &sa) {
    struct sockaddr_in sin {};
    std::memcpy(&sin, &sa, sizeof sin);
    return sin.sin_addr.s_addr;
}
void SetSin(struct sockaddr &sa, uint32_t net_addr) {
    struct sockaddr_in sin {};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = net_addr;
    std::memcpy(&sa, &sin, sizeof sin);
}

int ShadowIoctl(unsigned long request, void *arg) {
    std::lock_guard<std::mutex> g(shadow_lock);
    if (request == SIOCADDRT || request == SIOCDELRT) {
        auto *rt = static_cast<struct rtentry *>(arg);
        ShadowIf *s = rt->rt_dev ? Shadow(rt->rt_dev) : &shadow[0];
        if (s == nullptr) return errno = ENODEV, -1;
        const uint32_t gw = SinAddr(rt->rt_gateway);
        if (request == SIOCADDRT) {
            s->gateway = gw;
            LogLine("SIOCADDRT", s->name, gw);
        } else {
            s->gateway = 0;
            LogLine("SIOCDELRT", s->name, 0);
        }
        return 0;
    }
    if (request == SIOCSARP) {
        auto *arp = static_cast<struct arpreq *>(arg);
        LogLine("SIOCSARP", arp->arp_dev, SinAddr(arp->arp_pa));
        return 0;
    }
    auto *ifr = static_cast<struct ifreq *>(arg);
    ShadowIf *s = Shadow(ifr->ifr_name);
    if (s == nullptr) return errno = ENODEV, -1;
    switch (request) {
    case SIOCGIFINDEX: ifr->ifr_ifindex = s == &shadow[0] ? 1 : 2; return 0;
    case SIOCGIFFLAGS: ifr->ifr_flags = s->flags; return 0;
    case SIOCSIFFLAGS:
        // The stand-in keeps its carrier: RUNNING follows UP.
        s->flags = short((ifr->ifr_flags & IFF_UP) ? (ifr->ifr_flags | IFF_RUNNING) : (ifr->ifr_flags & ~IFF_RUNNING));
        LogLine((ifr->ifr_flags & IFF_UP) ? "SIOCSIFFLAGS up" : "SIOCSIFFLAGS down", s->name, 0);
        return 0;
    case SIOCGIFADDR:
        if (s->addr == 0) return errno = EADDRNOTAVAIL, -1;
        SetSin(ifr->ifr_addr, s->addr);
        return 0;
    case SIOCDIFADDR:
        s->addr = 0;
        LogLine("SIOCDIFADDR", s->name, 0);
        return 0;
    case SIOCSIFADDR:
        s->addr = SinAddr(ifr->ifr_addr);
        LogLine("SIOCSIFADDR", s->name, s->addr);
        return 0;
    case SIOCGIFNETMASK: SetSin(ifr->ifr_netmask, s->mask); return 0;
    case SIOCSIFNETMASK:
        s->mask = SinAddr(ifr->ifr_netmask);
        LogLine("SIOCSIFNETMASK", s->name, s->mask);
        return 0;
    case SIOCGIFHWADDR:
        ifr->ifr_hwaddr.sa_family = ARPHRD_ETHER;
        std::memcpy(ifr->ifr_hwaddr.sa_data, s->mac, 6);
        return 0;
    case SIOCSIFHWADDR:
        std::memcpy(s->mac, ifr->ifr_hwaddr.sa_data, 6);
        LogLine("SIOCSIFHWADDR", s->name, 0);
        return 0;
    case SIOCETHTOOL: {
        auto *cmd = static_cast<struct ethtool_cmd *>(static_cast<void *>(ifr->ifr_data));
        if (cmd == nullptr) return errno = EFAULT, -1;
        ethtool_cmd_speed_set(cmd, SPEED_100);
        cmd->duplex = DUPLEX_FULL;
        return 0;
    }
    default: return errno = EINVAL, -1;
    }
}

// ---- outgoing-traffic guard -------------------------------------------------------------------
std::atomic<bool> refused_logged{false};

bool Reachable(const struct sockaddr *sa, socklen_t len) {
    if (sa == nullptr) return true;  // a connected socket: its connect was checked
    if (sa->sa_family == AF_INET && len >= socklen_t(sizeof(struct sockaddr_in))) {
        struct sockaddr_in sin {};
        std::memcpy(&sin, sa, sizeof sin);
        return (ntohl(sin.sin_addr.s_addr) >> 24) == 127;
    }
    if (sa->sa_family == AF_INET6 && len >= socklen_t(sizeof(struct sockaddr_in6))) {
        struct sockaddr_in6 sin6 {};
        std::memcpy(&sin6, sa, sizeof sin6);
        return IN6_IS_ADDR_LOOPBACK(&sin6.sin6_addr);
    }
    return sa->sa_family == AF_UNIX;
}

bool Refuse(const struct sockaddr *sa, socklen_t len) {
    if (HostIsolated() || Reachable(sa, len)) return false;
    if (!refused_logged.exchange(true)) {
        std::fprintf(stderr, "Network traffic off this machine refused (own namespace)\n");
        NetLog("network: traffic to an outside address refused");
    }
    errno = ENETUNREACH;
    return true;
}

// The machine's-own-namespace behaviour whatever the namespace (tests).
int OwnIoctl(int, unsigned long request, void *arg) { return ShadowIoctl(request, arg); }
const char *OwnDevice(const char *) { return "lo"; }
uint32_t OwnBindAddr(uint32_t addr) { return addr == INADDR_ANY ? INADDR_LOOPBACK : addr; }
int OwnConnect(int fd, const struct sockaddr *sa, socklen_t len) {
    if (!Reachable(sa, len)) return errno = ENETUNREACH, -1;
    return connect(fd, sa, len);
}
ssize_t OwnSendTo(int fd, const void *buf, std::size_t n, int flags, const struct sockaddr *sa, socklen_t len) {
    if (!Reachable(sa, len)) return errno = ENETUNREACH, -1;
    return sendto(fd, buf, n, flags, sa, len);
}

int HostIoctl(int fd, unsigned long request, void *arg) {
    if (HostIsolated()) return ioctl(fd, request, arg);
    return ShadowIoctl(request, arg);
}
const char *HostDevice(const char *ifname) { return HostIsolated() ? ifname : "lo"; }
uint32_t HostBindAddr(uint32_t addr) {
    if (HostIsolated() || addr != INADDR_ANY) return addr;
    return INADDR_LOOPBACK;
}
int HostConnect(int fd, const struct sockaddr *sa, socklen_t len) {
    if (Refuse(sa, len)) return -1;
    return connect(fd, sa, len);
}
ssize_t HostSendTo(int fd, const void *buf, std::size_t n, int flags, const struct sockaddr *sa, socklen_t len) {
    if (Refuse(sa, len)) return -1;
    return sendto(fd, buf, n, flags, sa, len);
}

const PlatNetOps *Ops() {
    if (plat_net != nullptr) return plat_net;
    return PLAT_IsBoard() ? &plat_net_board : &plat_net_host;
}

}  // namespace

const PlatNetOps plat_net_board = {BoardIoctl, BoardDevice, BoardBindAddr, BoardConnect, BoardSendTo};
const PlatNetOps plat_net_host = {HostIoctl, HostDevice, HostBindAddr, HostConnect, HostSendTo};
const PlatNetOps plat_net_own = {OwnIoctl, OwnDevice, OwnBindAddr, OwnConnect, OwnSendTo};
const PlatNetOps *plat_net = nullptr;

int PLAT_NetIsolatedFrom(const char *own, const char *init, const char *ancestor) {
    if (own == nullptr || own[0] == 0) return 0;
    const char *ref = (init != nullptr && init[0] != 0) ? init : ancestor;
    if (ref == nullptr || ref[0] == 0) return 0;  // in doubt: do not act
    return std::strcmp(own, ref) != 0 ? 1 : 0;
}

int PLAT_NetDecide(const char *setting, const char *own, const char *init, const char *ancestor, int ancestor_pid,
                   char *why, std::size_t n) {
    const bool hidden = init == nullptr || init[0] == 0;
    if (setting != nullptr && std::strcmp(setting, "own") == 0) {
        // Trust the setting unless process 1's namespace is visible and the same.
        if (!hidden && own != nullptr && std::strcmp(own, init) == 0) {
            std::snprintf(why, n,
                          "eth0 left alone: PLC_NETNS=own, but this is process 1's network namespace, "
                          "the machine's own (start the controller in a namespace of its own)");
            return 0;
        }
        std::snprintf(why, n, "eth0 configured: PLC_NETNS=own says this network namespace is the controller's own");
        return 1;
    }
    if (setting != nullptr && std::strcmp(setting, "machine") == 0) {
        std::snprintf(why, n, "eth0 left alone: PLC_NETNS=machine says this is the machine's own network");
        return 0;
    }
    if (setting != nullptr && setting[0] != 0) {
        std::snprintf(why, n, "eth0 left alone: PLC_NETNS=%.40s is neither \"own\" nor \"machine\"", setting);
        return 0;
    }
    if (PLAT_NetIsolatedFrom(own, init, ancestor) != 0) {
        if (hidden)
            std::snprintf(why, n,
                          "eth0 configured: this network namespace differs from that of process %d, "
                          "the oldest ancestor that can be seen (set PLC_NETNS=machine to leave it alone)",
                          ancestor_pid);
        else
            std::snprintf(why, n,
                          "eth0 configured: this network namespace is not process 1's "
                          "(set PLC_NETNS=machine to leave it alone)");
        return 1;
    }
    if (!hidden || (ancestor != nullptr && ancestor[0] != 0))
        std::snprintf(why, n,
                      "eth0 left alone: this looks like the machine's own network "
                      "(set PLC_NETNS=own to configure it)");
    else
        std::snprintf(why, n,
                      "eth0 left alone: no other network namespace can be seen to compare with "
                      "(set PLC_NETNS=own to configure it)");
    return 0;
}

const char *PLAT_NetDecision() {
    if (PLAT_IsBoard()) return "";
    HostIsolated();
    return net_why;
}

int PLAT_NetIsolated() {
    if (plat_net == &plat_net_own) return 0;
    return PLAT_IsBoard() || HostIsolated() ? 1 : 0;
}
int PLAT_NetIoctl(int fd, unsigned long request, void *arg) { return Ops()->ioctl(fd, request, arg); }
const char *PLAT_NetDevice(const char *ifname) { return Ops()->device(ifname); }
uint32_t PLAT_NetBindAddr(uint32_t addr) { return Ops()->bind_addr(addr); }
int PLAT_NetConnect(int fd, const struct sockaddr *sa, socklen_t len) { return Ops()->connect(fd, sa, len); }
ssize_t PLAT_NetSendTo(int fd, const void *buf, std::size_t n, int flags, const struct sockaddr *sa, socklen_t len) {
    return Ops()->sendto(fd, buf, n, flags, sa, len);
}
