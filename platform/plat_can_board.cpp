// CAN endpoints on the board: SocketCAN raw sockets.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <linux/can.h>
#include <linux/can/raw.h>

#include "platform/plat.h"
#include "platform/plat_can.h"
#include "platform/plat_poll.h"

namespace {
int SockRead(int ep, uint8_t *frame) { return int(read(ep, frame, PLAT_CAN_FRAME)); }
int SockWrite(int ep, const uint8_t *frame) { return int(write(ep, frame, PLAT_CAN_FRAME)); }
int SockErrMask(int ep, uint32_t mask) {
    can_err_mask_t m = mask;
    return setsockopt(ep, SOL_CAN_RAW, CAN_RAW_ERR_FILTER, &m, sizeof m);
}
int SockSndBuf(int ep, int bytes) { return setsockopt(ep, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes); }
void SockClose(int ep) {
    PLAT_PollUnwatch(ep);
    if (ep >= 0) close(ep);
}
}  // namespace

int PlatCan_SockOpen(const char *ifname) {
    int fd = socket(PF_CAN, SOCK_RAW, CAN_RAW);
    if (fd == 0) {  // descriptor 0 is never kept: take another, then free 0
        const int other = socket(PF_CAN, SOCK_RAW, CAN_RAW);
        close(0);
        fd = other;
    }
    if (fd < 0) return -1;
    plat_can_open_step = PLAT_CAN_STEP_FCNTL;
    const int fl = fcntl(fd, F_GETFL, 0);
    if (fl < 0 || fcntl(fd, F_SETFL, fl | O_NONBLOCK) < 0) {
        const int e = errno;
        close(fd);
        errno = e;
        return -1;
    }
    struct sockaddr_can addr {};
    addr.can_family = AF_CAN;
    addr.can_ifindex = int(if_nametoindex(ifname));
    plat_can_open_step = addr.can_ifindex == 0 ? PLAT_CAN_STEP_INTERFACE : PLAT_CAN_STEP_BIND;
    if (addr.can_ifindex == 0 || bind(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) != 0) {
        const int e = errno;
        close(fd);
        errno = e;
        return -1;
    }
    PLAT_PollWatch(fd);  // a frame ends the loop's wait
    return fd;
}

const PlatCanOps plat_can_board = {PlatCan_SockOpen, SockRead,  SockWrite,          SockErrMask,
                                   SockSndBuf,       SockClose, PLAT_PollWatchTally};
