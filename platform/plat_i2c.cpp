// Dispatch of the expansion-bus seam and the kernel's SSP2 output record.
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/plat.h"

const PlatI2cOps *plat_i2c = nullptr;

namespace {
const PlatI2cOps &Ops() {
    if (plat_i2c == nullptr) plat_i2c = PLAT_IsBoard() ? &plat_i2c_board : &plat_i2c_host;
    return *plat_i2c;
}
}  // namespace

int PLAT_I2cProbe(uint8_t addr) { return Ops().probe(addr); }
int PLAT_I2cRead(uint8_t addr, uint8_t *buf, std::size_t n) { return Ops().read(addr, buf, n); }
int PLAT_I2cWrite(uint8_t addr, const uint8_t *buf, std::size_t n) { return Ops().write(addr, buf, n); }
void PLAT_I2cSpeed(unsigned code) { Ops().speed(code); }

int PLAT_Ssp2Load(uint8_t *rec12) {
    char p[512];
    if (PLAT_Path("/proc/Ssp2_Out_Data", p, sizeof p) == nullptr) return 0;
    const int fd = open(p, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    const ssize_t n = read(fd, rec12, 12);
    close(fd);
    return n == 12 ? 1 : 0;
}

int PLAT_Ssp2Store(const uint8_t *rec12) {
    char p[512];
    if (PLAT_Path("/proc/Ssp2_Out_Data", p, sizeof p) == nullptr) return 0;
    int fd = open(p, O_WRONLY | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT && !PLAT_IsBoard()) {
        // A workstation keeps the record as a plain file under the root.
        char dir[512];
        if (PLAT_Path("/proc", dir, sizeof dir) != nullptr) mkdir(dir, 0755);
        fd = open(p, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    }
    if (fd < 0) return 0;
    const ssize_t n = pwrite(fd, rec12, 12, 0);
    close(fd);
    return n == 12 ? 1 : 0;
}
