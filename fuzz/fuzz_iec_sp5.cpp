// The SP5 file-transfer slave as channel 1 of the workbench's server, fed
// arbitrary bytes on its serial line (a socket pair stands in for it), then
// the same input as the payload of one well-formed frame and as one
// file-transfer message served directly; every question is answered the
// host's way.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/image/util.h"
#include "iec/services/z7svc.h"
#include "platform/plat.h"

namespace {
Z7CSData cs;
Z7SP5Ft ft;
uint8_t answer[SP5_PAYLOAD + 8];

void Drain(int fd) {
    uint8_t buf[4096];
    while (read(fd, buf, sizeof buf) > 0) {
    }
}
void Poll(int peer) {
    for (int k = 0; k < 6; k++) {
        Z7CS_Activate(&cs);
        uint32_t ch = 0;
        if (Z7CS_GetQuestion(&cs, &ch) != 0) {
            Z7CS_SendRC(&cs, ch, 1);
            Z7CS_ReleaseQuestion(&cs, ch);
        }
        Drain(peer);
    }
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    static char tmpl[] = "/tmp/fuzz-iec-sp5-XXXXXX";
    const char *root = mkdtemp(tmpl);
    setenv("PLC_ROOT", root, 1);
    PLAT_Init(0, nullptr);
    mkdir((std::string(root) + "/mnt").c_str(), 0755);
    mkdir((std::string(root) + "/mnt/cfg").c_str(), 0755);
    if (FILE *f = std::fopen((std::string(root) + "/mnt/cfg/a.bin").c_str(), "wb")) {
        for (int i = 0; i < 2500; i++) std::fputc(i & 0xFF, f);
        std::fclose(f);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    int fd[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fd) != 0) return 0;
    Z7CSSettings s{0, 0x0123, "FUZZ"};
    Z7CS_Open(&cs, &s, 0);
    cs.sp5.tl.dl.frm.serial = cs.ch[0].serial = fd[0];
    for (size_t off = 0; off < size;) {
        const size_t n = size - off < 700 ? size - off : 700;
        if (write(fd[1], data + off, n) <= 0) break;
        off += n;
        Poll(fd[1]);
    }
    // the input as the payload of a well-formed request, and as one message
    const size_t n = size < SP5_PAYLOAD ? size : SP5_PAYLOAD;
    uint8_t frame[SP5_FRAME], h[SP5_HEADER] = {0x01, 0x23, 'S', 7, 7, 0, uint8_t(n >> 8), uint8_t(n)};
    const uint32_t len = Z7SP5Frm_Build(frame, h, data);
    if (write(fd[1], frame, len) > 0) Poll(fd[1]);
    Z7CS_Close(&cs);
    close(fd[0]);
    close(fd[1]);
    Z7SP5Ftls_Open(&ft, 1, "FUZZ");
    ft.up = ft.down = 1;
    std::memcpy(ft.name.data(), "a.bin", 6);
    Z7SP5Ftls_Serve(&ft, data, uint32_t(n), answer);
    return 0;
}
