// CAN endpoints on a workstation: SocketCAN when the interface exists,
// otherwise the host bus of Unix datagram sockets in $PLC_ROOT/sim/can/<name>/.
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <net/if.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <dirent.h>
#include <unistd.h>

#include "platform/plat.h"
#include "platform/plat_can.h"
#include "platform/plat_poll.h"

namespace {

constexpr unsigned kPeers = 32;
using SunPath = std::array<char, sizeof(sockaddr_un::sun_path)>;

struct Endpoint {
    int fd = -1;
    bool used = false;
    bool bus = false;           // host bus (else SocketCAN)
    int dirfd = -1;             // the port's folder
    char dir[400];              // its path
    char own[48];               // own socket name in the folder
    struct timespec dir_mtime;  // folder state of the last peer scan
    bool scanned = false;
    std::array<SunPath, kPeers> peers;
    unsigned npeers = 0;
};
std::array<Endpoint, PLAT_CAN_ENDPOINTS> eps;
unsigned name_seq;

Endpoint *Ep(int h) {
    if (h < 0 || h >= int(eps.size()) || !eps[unsigned(h)].used) return nullptr;
    return &eps[unsigned(h)];
}

// The endpoint a read or write goes through; nullptr with errno EBADF when
// the handle is not open, as the socket calls answer.
Endpoint *IoEp(int h) {
    Endpoint *e = Ep(h);
    if (e == nullptr) errno = EBADF;
    return e;
}

// Address of a socket in the folder; long roots go through the folder's
// descriptor so that the 108-byte limit of Unix addresses never bites.
bool MakePath(const Endpoint &e, const char *name, SunPath &out) {
    int n = std::snprintf(out.data(), out.size(), "%s/%s", e.dir, name);
    if (n > 0 && unsigned(n) < out.size()) return true;
    n = std::snprintf(out.data(), out.size(), "/proc/self/fd/%d/%s", e.dirfd, name);
    return n > 0 && unsigned(n) < out.size();
}

// Removes the endpoint's own socket file, by its full path under the root.
void UnlinkOwn(const Endpoint &e) {
    char p[sizeof e.dir + sizeof e.own + 1];
    if (std::snprintf(p, sizeof p, "%s/%s", e.dir, e.own) < int(sizeof p)) unlink(p);
}

void ScanFolder(Endpoint &e, int probe);

// Removes a peer's socket file that no socket is bound to any more (its
// owner closed it or died): a stale name never takes a live peer's place.
void DropStale(const Endpoint &e, const char *name) { unlinkat(e.dirfd, name, 0); }

// True when a socket is bound to the peer's name: a datagram connect on a
// probe socket answers ECONNREFUSED for a stale name and sends nothing.
bool Live(int probe, const SunPath &path) {
    if (probe < 0) return true;
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    std::memcpy(sa.sun_path, path.data(), sizeof sa.sun_path);
    return connect(probe, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0 || errno != ECONNREFUSED;
}

// Re-reads the folder's live sockets when the folder changed since the last
// scan; stale names are removed and not counted. Uses getdents64 into a stack
// buffer: no allocation.
void ScanPeers(Endpoint &e) {
    struct stat st {};
    if (fstat(e.dirfd, &st) != 0) return;
    if (e.scanned && st.st_mtim.tv_sec == e.dir_mtime.tv_sec && st.st_mtim.tv_nsec == e.dir_mtime.tv_nsec) return;
    e.dir_mtime = st.st_mtim;
    e.scanned = true;
    e.npeers = 0;
    const int probe = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ScanFolder(e, probe);
    if (probe >= 0) close(probe);
}

void ScanFolder(Endpoint &e, int probe) {
    lseek(e.dirfd, 0, SEEK_SET);
    alignas(8) char buf[4096];
    for (;;) {
        const long n = syscall(SYS_getdents64, e.dirfd, buf, sizeof buf);
        if (n <= 0) break;
        for (long off = 0; off < n;) {
            const char *rec = buf + off;
            unsigned short reclen;
            std::memcpy(&reclen, rec + 16, sizeof reclen);
            const unsigned char type = static_cast<unsigned char>(rec[18]);
            const char *name = rec + 19;
            off += reclen;
            if (reclen == 0) return;
            if (name[0] == '.' || std::strcmp(name, e.own) == 0) continue;
            if (type != DT_SOCK && type != DT_UNKNOWN) continue;
            if (e.npeers >= kPeers || !MakePath(e, name, e.peers[e.npeers])) continue;
            if (Live(probe, e.peers[e.npeers]))
                e.npeers++;
            else
                DropStale(e, name);
        }
    }
}

int HostOpen(const char *ifname) {
    if (ifname == nullptr || ifname[0] == 0 || std::strchr(ifname, '/') != nullptr || std::strlen(ifname) > 15) {
        plat_can_open_step = PLAT_CAN_STEP_INTERFACE;
        errno = EINVAL;
        return -1;
    }
    int slot = -1;
    for (unsigned i = 0; i < eps.size(); i++) {
        if (!eps[i].used) {
            slot = int(i);
            break;
        }
    }
    if (slot < 0) {
        errno = EMFILE;
        return -1;
    }
    Endpoint &e = eps[unsigned(slot)];
    e = Endpoint{};
    if (if_nametoindex(ifname) != 0) {
        e.fd = PlatCan_SockOpen(ifname);
        if (e.fd < 0) return -1;
        e.used = true;
        return slot;
    }
    plat_can_open_step = PLAT_CAN_STEP_INTERFACE;  // the bus folder stands for the interface
    if (PLAT_Root()[0] == 0) {
        // Without a root folder the bus would live in the machine's own /sim.
        errno = EACCES;
        return -1;
    }
    char p[400];
    for (const char *d : {"/sim", "/sim/can"}) {
        if (PLAT_Path(d, p, sizeof p)) mkdir(p, 0755);
    }
    char abs[64];
    std::snprintf(abs, sizeof abs, "/sim/can/%s", ifname);
    if (!PLAT_Path(abs, e.dir, sizeof e.dir)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    mkdir(e.dir, 0755);
    e.dirfd = open(e.dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (e.dirfd < 0) return -1;
    std::snprintf(e.own, sizeof e.own, "plc-%d-%u", int(getpid()), name_seq++);
    e.fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    plat_can_open_step = e.fd < 0 ? PLAT_CAN_STEP_SOCKET : PLAT_CAN_STEP_BIND;
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    SunPath own{};
    if (e.fd < 0 || !MakePath(e, e.own, own)) {
        const int err = errno;
        if (e.fd >= 0) close(e.fd);
        close(e.dirfd);
        errno = err;
        return -1;
    }
    std::memcpy(sa.sun_path, own.data(), own.size());
    UnlinkOwn(e);  // a stale socket of an earlier run with this pid
    if (bind(e.fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
        const int err = errno;
        close(e.fd);
        close(e.dirfd);
        errno = err;
        return -1;
    }
    e.bus = true;
    e.used = true;
    PLAT_PollWatch(e.fd);  // a frame ends the loop's wait
    return slot;
}

int HostRead(int h, uint8_t *frame) {
    Endpoint *e = IoEp(h);
    if (e == nullptr) return -1;
    if (!PLAT_PollHasInput(e->fd)) {
        errno = EAGAIN;
        return -1;
    }
    if (!e->bus) {
        const int n = int(read(e->fd, frame, PLAT_CAN_FRAME));
        if (n < 0) PLAT_PollInputTaken(e->fd);
        return n;
    }
    for (;;) {
        // MSG_TRUNC answers the datagram's real size: anything but 16 bytes is
        // not a frame and is skipped.
        const ssize_t n = recv(e->fd, frame, PLAT_CAN_FRAME, MSG_DONTWAIT | MSG_TRUNC);
        if (n < 0) {
            PLAT_PollInputTaken(e->fd);
            return -1;
        }
        if (n == ssize_t(PLAT_CAN_FRAME)) return int(n);
    }
}

int HostWrite(int h, const uint8_t *frame) {
    Endpoint *e = IoEp(h);
    if (e == nullptr) return -1;
    if (!e->bus) return int(write(e->fd, frame, PLAT_CAN_FRAME));
    ScanPeers(*e);
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    for (unsigned i = 0; i < e->npeers; i++) {
        std::memcpy(sa.sun_path, e->peers[i].data(), sizeof sa.sun_path);
        // A full or gone peer loses this frame; the bus never waits or repeats.
        if (sendto(e->fd, frame, PLAT_CAN_FRAME, MSG_DONTWAIT | MSG_NOSIGNAL, reinterpret_cast<sockaddr *>(&sa),
                   sizeof sa) < 0 &&
            errno == ECONNREFUSED) {
            // The peer closed since the scan: its name goes, and the next frame rescans.
            const char *slash = std::strrchr(e->peers[i].data(), '/');
            DropStale(*e, slash != nullptr ? slash + 1 : e->peers[i].data());
            e->scanned = false;
        }
    }
    return int(PLAT_CAN_FRAME);
}

int HostErrMask(int h, uint32_t mask) {
    Endpoint *e = Ep(h);
    if (e == nullptr) return -1;
    if (e->bus) return 0;  // the host bus carries no error frames of its own
    return plat_can_board.set_err_mask(e->fd, mask);
}

int HostSndBuf(int h, int bytes) {
    Endpoint *e = Ep(h);
    if (e == nullptr) return -1;
    return plat_can_board.set_sndbuf(e->fd, bytes);
}

void HostClose(int h) {
    Endpoint *e = Ep(h);
    if (e == nullptr) return;
    if (e->fd >= 0) {
        PLAT_PollUnwatch(e->fd);
        close(e->fd);
    }
    if (e->bus) {
        UnlinkOwn(*e);
        close(e->dirfd);
    }
    *e = Endpoint{};
}

int HostTally(int h, uint32_t *tally) {
    const Endpoint *e = Ep(h);
    return e != nullptr ? PLAT_PollWatchTally(e->fd, tally) : -1;
}

}  // namespace

const PlatCanOps plat_can_host = {HostOpen, HostRead, HostWrite, HostErrMask, HostSndBuf, HostClose, HostTally};
const PlatCanOps *plat_can = nullptr;

namespace {
const PlatCanOps &Can() {
    if (plat_can == nullptr) plat_can = PLAT_IsBoard() ? &plat_can_board : &plat_can_host;
    return *plat_can;
}
}  // namespace

int plat_can_open_step = 0;

int PLAT_CanOpen(const char *ifname) {
    plat_can_open_step = PLAT_CAN_STEP_SOCKET;
    return Can().open(ifname);
}
int PLAT_CanRead(int ep, uint8_t *frame) { return Can().read(ep, frame); }
int PLAT_CanWrite(int ep, const uint8_t *frame) { return Can().write(ep, frame); }
int PLAT_CanSetErrMask(int ep, uint32_t mask) { return Can().set_err_mask(ep, mask); }
int PLAT_CanSetSndBuf(int ep, int bytes) { return Can().set_sndbuf(ep, bytes); }
void PLAT_CanClose(int ep) { Can().close(ep); }
int PLAT_CanTally(int ep, uint32_t *tally) { return Can().tally ? Can().tally(ep, tally) : -1; }
