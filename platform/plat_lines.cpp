// Modem-control lines of the serial ports. On the board they are the
// device's own lines (TIOCMGET, TIOCMBIS/TIOCMBIC); on a workstation, where
// the port is a pseudo-terminal without them, they go through the side
// channel in sim/lines: the file named after the port holds the input lines
// (the word "DCD" present: carrier up), and every change of the output line
// is appended to "<port>.out" as "DTR 0" or "DTR 1".
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/plat.h"

namespace {

// "/dev/ttySP2" -> "ttySP2".
const char *BaseName(const char *dev) {
    const char *s = std::strrchr(dev, '/');
    return s ? s + 1 : dev;
}

bool LinePath(const char *dev, const char *suffix, char *out, std::size_t len) {
    char abs[128];
    const char *b = BaseName(dev);
    if (std::strlen(b) + std::strlen(suffix) + 12 > sizeof abs) return false;
    std::strcpy(abs, "/sim/lines/");
    std::strcat(abs, b);
    std::strcat(abs, suffix);
    return PLAT_Path(abs, out, len) != nullptr;
}

}  // namespace

uint32_t PLAT_LineDcd(int fd, const char *dev) {
    if (PLAT_IsBoard()) {
        int bits = 0;
        if (fd < 0 || ioctl(fd, TIOCMGET, &bits) != 0) return 0;
        return (bits & TIOCM_CD) ? 1 : 0;
    }
    char p[512];
    if (PLAT_Root()[0] == 0 || !LinePath(dev, "", p, sizeof p)) return 0;
    const int f = open(p, O_RDONLY | O_CLOEXEC);
    if (f < 0) return 0;
    char buf[64];
    const ssize_t n = read(f, buf, sizeof buf - 1);
    close(f);
    buf[n > 0 ? n : 0] = 0;
    return std::strstr(buf, "DCD") ? 1 : 0;
}

void PLAT_LineDtr(int fd, const char *dev, uint32_t on) {
    if (PLAT_IsBoard()) {
        int bits = TIOCM_DTR;
        if (fd >= 0) ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bits);
        return;
    }
    char dir[512], p[512];
    if (PLAT_Root()[0] == 0 || !PLAT_Path("/sim/lines", dir, sizeof dir)) return;
    mkdir(dir, 0755);
    if (!LinePath(dev, ".out", p, sizeof p)) return;
    const int f = open(p, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (f < 0) return;
    const char *text = on ? "DTR 1\n" : "DTR 0\n";
    const ssize_t w = write(f, text, 6);
    (void)w;
    close(f);
}
