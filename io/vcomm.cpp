// The programming serial port on termios, its port lock and its intercept
// rings.
#include "io/vcomm.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include "core/image/syshook.h"
#include "core/image/plcreg.h"
#include "core/image/timebase.h"
#include "platform/plat.h"
#include "platform/plat_poll.h"

const VcommMode rism_mode = {5, 0, 3, 0, 0, 0x30};
const VcommMode qncan_mode = {5, 0, 3, 0, 0, 1};

std::array<VcommDrv, VCOMM_PORTS> Vcomm_Drv;
std::array<VcommPort, VCOMM_SERIAL_PORTS> Vcomm_Port;
uint32_t Vcomm_Lock;
uint32_t Vcomm_Host;
uint32_t Vcomm_Mode;
uint8_t Vcomm_ConnectId;
uint16_t Vcomm_Idle;
uint8_t is_z7protocol;
std::array<uint32_t, CMD_HOSTS> Cmd_HostPort = {ProgrammingPort, VCOMM_NO_PORT};

namespace {

const char *Device(uint32_t port) { return port == CellularPort ? "/dev/ttySP2" : "/dev/ttySP0"; }

// Row: protocol in force, column: protocol asked; 0 refuses the Open.
constexpr uint8_t serial_open_check[5][5] = {
    {1, 3, 3, 3, 3}, {0, 1, 1, 1, 1}, {0, 1, 1, 0, 0}, {0, 1, 0, 1, 0}, {0, 1, 0, 0, 1}};

constexpr std::array<speed_t, 10> kSpeeds = {B300, B600, B1200, B2400, B4800, B9600, B19200, B38400, B57600, B115200};

VcommPort *P(uint32_t port) { return Vcomm_IsSerial(port) ? &Vcomm_Port[port] : nullptr; }

uint8_t Proto(const VcommPort &p) { return p.SerialOpenMode[5] & 0x0F; }

int OpenDevice(uint32_t port) {
    char path[512];
    if (PLAT_Path(Device(port), path, sizeof path) == nullptr) return -1;
    const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    return fd;
}

// Marks the end of a Modbus RTU frame when the gap timer fires.
void GapElapsed(uint32_t, uint32_t, uint32_t) {
    for (VcommPort &p : Vcomm_Port) {
        if (p.rtu_index == 2) p.rtu_index = 1;
    }
}

// Moves what the device holds into the read-ahead buffer; bytes waiting.
uint32_t Fill(VcommPort &p) {
    if (p.ahead_pos < p.ahead_len) return p.ahead_len - p.ahead_pos;
    if (p.fd < 0 || !PLAT_PollHasInput(p.fd)) return 0;
    const ssize_t n = read(p.fd, p.ahead.data(), p.ahead.size());
    if (n < ssize_t(p.ahead.size())) PLAT_PollInputTaken(p.fd);  // the port is empty now
    if (n <= 0) {
        p.ahead_pos = p.ahead_len = 0;
        return 0;
    }
    p.ahead_pos = 0;
    p.ahead_len = uint16_t(n);
    return uint32_t(n);
}

// Writes all bytes, waiting a bounded time while the device is full.
void WriteAll(VcommPort &p, const uint8_t *data, uint32_t n) {
    if (p.fd < 0) return;
    int stalls = 0;
    while (n > 0) {
        const ssize_t w = write(p.fd, data, n);
        if (w > 0) {
            data += w;
            n -= uint32_t(w);
            stalls = 0;
            continue;
        }
        if (w < 0 && errno == EINTR) continue;
        if (w < 0 && errno != EAGAIN) return;
        if (++stalls > 10) return;  // nobody reads: drop the rest rather than stall the scan
        struct pollfd pf {
            p.fd, POLLOUT, 0
        };
        poll(&pf, 1, 5);
    }
}

uint16_t RingNext(uint16_t i) { return uint16_t((i + 1) % VCOMM_RING); }

// ---- the operations -------------------------------------------------------------

uint8_t *OpModeRec(uint32_t port) {
    VcommPort *p = P(port);
    return p ? p->SerialOpenMode.data() : nullptr;
}

uint32_t OpFlushRxImpl(VcommPort &p) {
    p.rx_in = p.rx_out = 0;
    p.ahead_pos = p.ahead_len = 0;
    if (!p.VirtualCmd && p.fd >= 0) tcflush(p.fd, TCIFLUSH);
    return 0;
}

uint32_t OpOpen(uint32_t port, const uint8_t *m) {
    VcommPort *pp = P(port);
    if (pp == nullptr || m == nullptr) return 0;
    VcommPort &p = *pp;
    const uint8_t now = Proto(p), asked = m[5] & 0x0F;
    if (now > 4 || asked > 4 || serial_open_check[now][asked] == 0) return 0;
    if (p.fd >= 0 && (m[5] >> 4) == 1) {
        struct termios t {};
        if (tcgetattr(p.fd, &t) == 0) {
            t.c_cflag &= ~tcflag_t(CREAD);
            tcsetattr(p.fd, TCSANOW, &t);
        }
    }
    std::memcpy(p.SerialOpenMode.data(), m, 6);
    if (port == 0) PlcWordSet(W_PORTPROTO, asked);

    uint32_t valid = 1;
    struct termios t {};
    speed_t speed = B9600;
    if (m[0] < kSpeeds.size())
        speed = kSpeeds[m[0]];
    else
        valid = 0;
    if (m[2] == 2)
        t.c_cflag |= CS7;
    else if (m[2] == 3)
        t.c_cflag |= CS8;
    else {
        t.c_cflag |= CS8;
        valid = 0;
    }
    if (m[1] == 1)
        t.c_cflag |= PARENB | PARODD;
    else if (m[1] == 2)
        t.c_cflag |= PARENB;
    else if (m[1] == 0)
        t.c_iflag |= IGNPAR;
    else
        valid = 0;
    if (m[3] == 1)
        t.c_cflag |= CSTOPB;
    else if (m[3] != 0)
        valid = 0;
    if (m[4] == 1)
        t.c_iflag |= IXON | IXOFF;
    else if (m[4] == 2)
        t.c_cflag |= CRTSCTS;
    else if (m[4] != 0 && m[4] != 3 && m[4] != 4 && m[4] != 5)
        valid = 0;
    t.c_cflag |= CLOCAL | CREAD;
    t.c_oflag = 0;
    t.c_lflag = 0;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);

    // A device that appeared after start-up is picked up on the next Open.
    if (p.fd < 0 && (p.fd = OpenDevice(port)) >= 0) PLAT_PollWatch(p.fd);
    uint32_t applied = 0;
    if (p.fd >= 0) {
        // Let what is queued leave at the old settings first (an answer sent
        // just before a rate change), bounded so a stuck line never stalls.
        for (int i = 0; i < 50 && !p.VirtualCmd; i++) {
            int queued = 0;
            if (ioctl(p.fd, TIOCOUTQ, &queued) != 0 || queued <= 0) break;
            usleep(1000);
        }
        int rts = TIOCM_RTS;
        ioctl(p.fd, TIOCMBIS, &rts);  // a pseudo-terminal has no modem lines
        // Input is discarded; output already handed to the kernel is let out,
        // so that an answer sent just before a re-configuration still arrives
        // (a pseudo-terminal reports it sent before the other end has read it).
        tcflush(p.fd, TCIFLUSH);
        applied = tcsetattr(p.fd, TCSADRAIN, &t) == 0 ? 1 : 0;
    }
    p.rx_in = p.rx_out = p.tx_in = p.tx_out = 0;
    p.ahead_pos = p.ahead_len = 0;
    p.status_rx = 0;
    p.rtu_txn = 0;
    p.rtu_index = 0;

    if (p.rtu_timer) {
        RCT_Release(p.rtu_timer);
        p.rtu_timer = 0;
    }
    // No kernel gap timing on this build: the receive-character timers time it.
    p.rtu_check_kernel = 0;
    if (asked == VCOMM_PROTO_RTU) {
        p.rtu_timer = RCT_Allocate(GapElapsed);
        if (p.rtu_timer) {
            RCT_Stop(p.rtu_timer);
            // The rate's character time (a one-shot from cnt_table), not the
            // 3.5-character kernel gap: a pause inside a frame that short
            // would end the frame.
            RCT_Set(p.rtu_timer, m[0] < cnt_table.size() ? m[0] : 5, 1);
        }
    }
    return applied ? valid : 0;
}

uint32_t OpTest(uint32_t) { return 0; }

uint32_t OpStatusRx(uint32_t port, uint32_t clear) {
    VcommPort *p = P(port);
    if (!p) return 0;
    const uint8_t s = p->status_rx;
    if (clear) p->status_rx = 0;
    return s;
}

uint32_t OpCheckRx(uint32_t port) {
    VcommPort *p = P(port);
    if (!p) return 0;
    if (p->VirtualCmd) return p->rx_in != p->rx_out ? 1 : 0;
    if (Fill(*p)) return 1;
    if (Proto(*p) == VCOMM_PROTO_RTU) {
        RctISR(0);
        if (p->rtu_index == 1) {
            p->rtu_index = 0;
            return 255;
        }
    }
    return 0;
}

uint32_t OpCountRx(uint32_t port) {
    VcommPort *p = P(port);
    if (!p) return 0;
    if (p->VirtualCmd) return uint32_t((p->rx_in + VCOMM_RING - p->rx_out) % VCOMM_RING);
    int n = 0;
    if (p->fd >= 0 && ioctl(p->fd, FIONREAD, &n) != 0) n = 0;
    return uint32_t(p->ahead_len - p->ahead_pos) + uint32_t(n > 0 ? n : 0);
}

void OpFlushRx(uint32_t port) {
    if (VcommPort *p = P(port)) OpFlushRxImpl(*p);
}

uint32_t OpGetRx(uint32_t port) {
    VcommPort *p = P(port);
    if (!p) return 0;
    // Callers ask only after CheckRx answered 1; an empty port answers 0.
    uint8_t b = 0;
    if (p->VirtualCmd) {
        if (p->rx_in == p->rx_out) return 0;
        b = p->rx_buf[p->rx_out];
        p->rx_out = RingNext(p->rx_out);
        return b;
    }
    if (!Fill(*p)) return 0;
    b = p->ahead[p->ahead_pos++];
    if (Proto(*p) == VCOMM_PROTO_RTU && !p->rtu_check_kernel && p->rtu_timer) {
        p->rtu_index = 2;
        RCT_Start(p->rtu_timer);
    }
    return b;
}

uint32_t OpCountTx(uint32_t port) {
    VcommPort *p = P(port);
    if (!p) return 0;
    if (p->VirtualCmd) return uint32_t((p->tx_in + VCOMM_RING - p->tx_out) % VCOMM_RING);
    int n = 0;
    if (p->fd >= 0 && ioctl(p->fd, TIOCOUTQ, &n) != 0) n = 0;
    return uint32_t(n > 0 ? n : 0) + p->rtu_txn;
}

uint32_t OpEmptyTx(uint32_t port) { return OpCountTx(port) == 0 ? 1 : 0; }
// Nonzero while the transmitter takes another byte: the user program's send
// blocks move bytes only while it says so.
uint32_t OpCheckTx(uint32_t port) {
    VcommPort *p = P(port);
    if (!p) return 0;
    if (p->VirtualCmd) return RingNext(p->tx_in) != p->tx_out ? 1 : 0;
    if (p->fd < 0) return 0;
    return OpCountTx(port) < VCOMM_RING ? 1 : 0;
}

// A pseudo-terminal (the workstation's stand-in for the port) has nothing
// between a write and the far end: what was written is already sent, as the
// bytes a UART has shifted out, and its output flush would discard them from
// the far end's input (an answer the peer had not yet read).
bool SentOnWrite(int fd) {
    constexpr unsigned kPtySlaveMajorFirst = 136, kPtySlaveMajors = 8;
    struct stat st {};
    return fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && major(st.st_rdev) - kPtySlaveMajorFirst < kPtySlaveMajors;
}

void OpFlushTx(uint32_t port) {
    VcommPort *p = P(port);
    if (!p) return;
    p->tx_in = p->tx_out = 0;
    p->rtu_txn = 0;
    if (!p->VirtualCmd && p->fd >= 0 && !SentOnWrite(p->fd)) tcflush(p->fd, TCOFLUSH);
}

uint32_t OpRtuTx(uint32_t port);

uint32_t OpPutnTx(uint32_t port, const uint8_t *data, uint32_t n) {
    VcommPort *p = P(port);
    if (!p || data == nullptr) return 0;
    if (p->VirtualCmd) {
        for (uint32_t i = 0; i < n; i++) {
            const uint16_t next = RingNext(p->tx_in);
            if (next == p->tx_out) break;  // ring full: the rest is dropped
            p->tx_buf[p->tx_in] = data[i];
            p->tx_in = next;
        }
        return n;
    }
    if (Proto(*p) == VCOMM_PROTO_RTU) {
        for (uint32_t i = 0; i < n; i++) {
            if (p->rtu_txn >= p->rtu_tx.size()) OpRtuTx(port);
            p->rtu_tx[p->rtu_txn++] = data[i];
        }
        return n;
    }
    WriteAll(*p, data, n);
    return n;
}

uint32_t OpPutTx(uint32_t port, uint8_t b) {
    OpPutnTx(port, &b, 1);
    return b;
}

uint32_t OpPutsTx(uint32_t port, const char *text) {
    VcommPort *p = P(port);
    if (!p || text == nullptr) return 0;
    const uint32_t n = uint32_t(std::strlen(text));
    WriteAll(*p, reinterpret_cast<const uint8_t *>(text), n);
    return n;
}

uint32_t OpRtuTx(uint32_t port) {
    VcommPort *p = P(port);
    if (!p || Proto(*p) != VCOMM_PROTO_RTU) return 0;
    const uint32_t n = p->rtu_txn;
    WriteAll(*p, p->rtu_tx.data(), n);
    p->rtu_txn = 0;
    return n;
}

uint32_t OpZero(uint32_t) { return 0; }
uint32_t OpEcho(uint32_t, uint32_t v) { return v; }

// Carrier detect and the modem-control output line (DTR), through the
// platform's line seam.
uint32_t OpGetDCD(uint32_t port) {
    VcommPort *p = P(port);
    return p ? PLAT_LineDcd(p->fd, Device(port)) : 0;
}
uint32_t OpEnable(uint32_t port, uint32_t v) {
    if (VcommPort *p = P(port)) PLAT_LineDtr(p->fd, Device(port), v ? 1 : 0);
    return v;
}

uint32_t OpInitWait(uint32_t port, uint32_t us, uint32_t) {
    VcommPort *p = P(port);
    if (!p) return 0;
    if (!p->rtu_timer) p->rtu_timer = RCT_Allocate(GapElapsed);
    if (!p->rtu_timer) return 0;
    RCT_Set(p->rtu_timer, us, 3);
    p->rtu_index = 2;
    RCT_Start(p->rtu_timer);
    // The character-time timer is armed by WaitRx once the first byte is in.
    p->wait_active = 1;
    p->wait_armed = 0;
    p->wait_got = 0;
    return 1;
}

uint32_t OpWaitRx(uint32_t port, uint8_t *byte) {
    VcommPort *p = P(port);
    if (!p || byte == nullptr) return 0;
    for (;;) {
        const uint32_t c = OpCheckRx(port);
        if (c == 1) {
            *byte = uint8_t(OpGetRx(port));
            p->wait_got = 1;
            return 1;
        }
        const bool stop = c == 255 || PlcWord(W_MODE) != 2 || Main_StopRequested;
        if (stop) {
            if (p->rtu_timer) RCT_Stop(p->rtu_timer);
            p->wait_armed = 0;
            p->wait_active = 0;
            return 0;
        }
        if (p->wait_got && !p->wait_armed) {
            if (!p->rtu_timer) p->rtu_timer = RCT_Allocate(GapElapsed);
            if (p->rtu_timer) {
                RCT_Set(p->rtu_timer, p->SerialOpenMode[0], 1);
                RCT_Start(p->rtu_timer);
            }
            p->wait_armed = 1;
            p->rtu_index = 2;
        }
        if (*byte == 0xAA) return 2;
        SysHook_SubLoopWait();
    }
}

uint32_t OpIoCtl(uint32_t port, uint32_t code, uint32_t arg) {
    VcommPort *p = P(port);
    if (!p) return 0;
    if (code == 1 || code == 2) {
        if (p->rtu_timer) {
            RCT_Set(p->rtu_timer, arg, 3);
            p->rtu_index = 2;
            RCT_Start(p->rtu_timer);
        }
        return 0;
    }
    if (code == 3) return OpEmptyTx(port);
    return 0;
}

uint32_t OpSetIntrcpt(uint32_t port, uint32_t on) {
    VcommPort *p = P(port);
    if (!p) return 0;
    if (on) {
        p->rx_in = p->rx_out = p->tx_in = p->tx_out = 0;
        p->VirtualCmd = 1;
    } else {
        p->VirtualCmd = 0;
        OpFlushRx(port);
        OpFlushTx(port);
    }
    return on;
}

uint32_t OpStuffRx(uint32_t port, uint8_t b) {
    VcommPort *p = P(port);
    if (!p) return 0;
    const uint16_t next = RingNext(p->rx_in);
    if (next == p->rx_out) {
        p->status_rx |= VCOMM_RX_OVERRUN;
        return 0;
    }
    p->rx_buf[p->rx_in] = b;
    p->rx_in = next;
    return 1;
}

uint32_t OpDrainTx(uint32_t port, uint8_t *b) {
    VcommPort *p = P(port);
    if (!p || b == nullptr || p->tx_in == p->tx_out) return 0;
    *b = p->tx_buf[p->tx_out];
    p->tx_out = RingNext(p->tx_out);
    return 1;
}

constexpr VcommDrv kDrv = {OpModeRec, OpOpen,     OpTest,    OpStatusRx, OpCheckRx,    OpCountRx, OpFlushRx,
                           OpGetRx,   OpEmptyTx,  OpCheckTx, OpCountTx,  OpFlushTx,    OpPutTx,   OpPutnTx,
                           OpPutsTx,  OpRtuTx,    OpZero,    OpEcho,     OpZero,       OpEcho,    OpGetDCD,
                           OpEnable,  OpInitWait, OpWaitRx,  OpIoCtl,    OpSetIntrcpt, OpStuffRx, OpDrainTx};

}  // namespace

uint32_t Vcomm_Install(uint32_t port, const VcommDrv &drv) {
    if (port >= VCOMM_PORTS || Vcomm_IsSerial(port)) return 0;
    Vcomm_Drv[port] = drv;
    return 1;
}

uint32_t Vcomm_Present(uint32_t port) {
    if (port >= VCOMM_PORTS) return 0;
    const VcommDrv &d = Vcomm_Drv[port];
    return d.ModeRec && d.Open && d.CheckRx && d.GetRx ? 1 : 0;
}

uint8_t *Vcomm_ModeRec(uint32_t port) {
    if (port >= VCOMM_PORTS || Vcomm_Drv[port].ModeRec == nullptr) return nullptr;
    return Vcomm_Drv[port].ModeRec(port);
}

uint8_t Vcomm_Protocol(uint32_t port) {
    const uint8_t *m = Vcomm_ModeRec(port);
    return m ? uint8_t(m[5] & 0x0F) : 0;
}

uint32_t SCI2_Init(uint32_t port) {
    VcommPort *p = P(port);
    if (!p) return 0;
    Vcomm_Drv[port] = kDrv;
    if (p->fd >= 0) {
        PLAT_PollUnwatch(p->fd);
        close(p->fd);
    }
    *p = VcommPort{};
    p->fd = OpenDevice(port);
    PLAT_PollWatch(p->fd);   // a byte on the port ends the loop's wait
    p->SerialOpenMode = {};  // closed: any protocol may open
    const uint32_t ok = OpOpen(port, rism_mode.data());
    if (p->fd < 0) {
        std::printf("%s port %s absent\n", port == CellularPort ? "Modem" : "Programming", Device(port));
        return 0;
    }
    return ok;
}

void Vcomm_Init() {}
void Vcomm_GetEvtPtr() {}

// Answers 0 when the port was granted, else the lock word that refused it;
// a forced take-over of a port held only by a host (bit 0) is a grant and
// answers 0 too, so that no caller reads a port it now owns as busy.
uint32_t Vcomm_ModeSet(uint32_t force, uint32_t host, uint32_t mode, uint8_t connect_id) {
    const uint32_t before = Vcomm_Lock;
    const bool free = before == 0 || (force != 0 && (before & ~1u) == 0);
    if (free) {
        Vcomm_Host = host;
        Vcomm_Mode = mode;
        Vcomm_ConnectId = connect_id;
        Vcomm_Lock = 1;
    }
    return free ? 0 : before;
}

void Vcomm_LockSet(uint32_t op) {
    const uint32_t before = Vcomm_Lock;
    switch (op) {
    case 0: Vcomm_Lock = 0; break;
    case 1: Vcomm_Lock |= 1u; break;
    case 2: Vcomm_Lock &= ~1u; break;
    case 3: Vcomm_Lock |= 2u; break;
    case 4: Vcomm_Lock &= ~2u; break;
    default: break;
    }
    if (before != 0 && Vcomm_Lock == 0) Vcomm_Idle++;
}
