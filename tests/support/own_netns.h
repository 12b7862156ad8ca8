// Network namespaces of the calling thread's own for the time of a test, as
// the black-box tests have them: in the test's namespace eth0 (10.77.0.2/24)
// is one end of a veth pair whose other end, eth0p (10.77.0.1/24), lives in a
// second namespace for the peers; sockets made inside a PeerScope live
// there. The network layer runs with the board's operations (the kernel's
// interfaces as they are), so a test sees the same eth0 on every host.
// Needs CAP_SYS_ADMIN (ctest runs as root, as for the black-box tests). The
// `ip` commands run in children, which take the namespace of this thread.
#pragma once

#include <fcntl.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/plat_net.h"

namespace test_support {

class OwnNetns {
public:
    static constexpr uint32_t kOwnAddr = 0x0A4D0002;   // 10.77.0.2
    static constexpr uint32_t kPeerAddr = 0x0A4D0001;  // 10.77.0.1

    OwnNetns() { Make(); }
    ~OwnNetns() {
        if (ok_) plat_net = saved_ops_;
        if (saved_ >= 0 && setns(saved_, CLONE_NEWNET) != 0) std::abort();  // never run on in the test's namespace
        for (int fd : {saved_, own_, peer_})
            if (fd >= 0) close(fd);
    }
    OwnNetns(const OwnNetns &) = delete;
    OwnNetns &operator=(const OwnNetns &) = delete;
    bool ok() const { return ok_; }
    const std::string &error() const { return error_; }

    // The peer's namespace while it lives.
    class PeerScope {
    public:
        explicit PeerScope(const OwnNetns &n) : n_(n) {
            if (setns(n_.peer_, CLONE_NEWNET) != 0) std::abort();
        }
        ~PeerScope() {
            if (setns(n_.own_, CLONE_NEWNET) != 0) std::abort();
        }
        PeerScope(const PeerScope &) = delete;
        PeerScope &operator=(const PeerScope &) = delete;

    private:
        const OwnNetns &n_;
    };

private:
    void Make() {
        saved_ = Current();
        if (saved_ < 0 || unshare(CLONE_NEWNET) != 0 || (own_ = Current()) < 0) return Fail("unshare(CLONE_NEWNET)");
        if (std::system("ip link set lo up && ip link add eth0 type veth peer name eth0p && "
                        "ip addr add 10.77.0.2/24 dev eth0 && ip link set eth0 up") != 0)
            return Fail("ip: eth0");
        if (unshare(CLONE_NEWNET) != 0 || (peer_ = Current()) < 0) return Fail("unshare(CLONE_NEWNET) of the peer");
        // eth0p moves from the test's namespace into this thread's (the peer's).
        const std::string move = "nsenter --net=/proc/" + std::to_string(getpid()) + "/fd/" + std::to_string(own_) +
                                 " ip link set eth0p netns " + std::to_string(syscall(SYS_gettid)) +
                                 " && ip link set lo up && ip addr add 10.77.0.1/24 dev eth0p && ip link set eth0p up";
        if (std::system(move.c_str()) != 0) return Fail("ip: eth0p");
        if (setns(own_, CLONE_NEWNET) != 0) return Fail("setns");
        saved_ops_ = plat_net;
        plat_net = &plat_net_board;
        ok_ = true;
    }
    static int Current() { return open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC); }
    void Fail(const char *what) { error_ = std::string(what) + ": " + std::strerror(errno); }

    int saved_ = -1, own_ = -1, peer_ = -1;
    const PlatNetOps *saved_ops_ = nullptr;
    bool ok_ = false;
    std::string error_;
};

}  // namespace test_support
