// The workbench's communication server fed arbitrary bytes on a TCP channel
// (the workbench's, or a slave block's read ahead) and on the serial channel
// (socket pairs stand in for both), with every
// question it finds answered the host's way: load and start information
// taken from the frame, return codes, file transfer served inside.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "io/vcomm.h"
#include "iec/services/z7svc.h"
#include "platform/plat.h"

namespace {
void Drain(int fd) {
    uint8_t buf[4096];
    while (read(fd, buf, sizeof buf) > 0) {
    }
}

void Feed(int fd, const uint8_t *p, size_t n) {
    while (n > 0) {
        const ssize_t w = write(fd, p, n);
        if (w <= 0) return;
        p += w;
        n -= size_t(w);
    }
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    static char tmpl[] = "/tmp/fuzz-iec-cs-XXXXXX";
    const char *root = mkdtemp(tmpl);
    setenv("PLC_ROOT", root, 1);
    PLAT_Init(0, nullptr);
    mkdir((std::string(root) + "/mnt").c_str(), 0755);
    mkdir((std::string(root) + "/mnt/cfg").c_str(), 0755);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    int tcp[2], ser[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, tcp) != 0) return 0;
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, ser) != 0) {
        close(tcp[0]);
        close(tcp[1]);
        return 0;
    }
    static Z7CSData cs;
    cs = {};
    cs.listen = cs.udp = -1;
    for (Z7CSChannel &c : cs.ch) c.sock = c.serial = -1;
    Vcomm_Port[ProgrammingPort].fd = ser[0];
    Z7CSSer_Open(&cs, "DUMMY");
    cs.ch[1].number = 2;
    cs.ch[1].flags = Z7CH_SOCKET | Z7CH_USED;
    cs.ch[1].sock = tcp[0];
    // Odd first bytes: the TCP channel as a slave block's own (Modbus only,
    // read ahead).
    cs.plain = (data[0] & 1) != 0;
    IsCommMode_Qncan = 0;

    // first byte: how much goes to the TCP channel (in 1/255ths)
    const size_t split = (size - 1) * data[0] / 255;
    Feed(tcp[1], data + 1, split);
    Feed(ser[1], data + 1 + split, size - 1 - split);
    for (int pass = 0; pass < 64; pass++) {
        Z7CS_ActivateStamp(&cs, uint32_t(pass) * 100);
        uint32_t ch = 0;
        const uint32_t kind = Z7CS_GetQuestion(&cs, &ch);
        if (kind != 0) {
            Z7CSLoadInfo li;
            Z7CSStartInfo si;
            if (kind >= 2 && kind <= 4 && Z7CS_GetLoadInfo(&cs, ch, &li) == 0 && li.piece.size)
                (void)li.piece.data[li.piece.size - 1];
            if (kind >= 5 && kind <= 8) Z7CS_GetStartInfo(&cs, ch, &si);
            if (kind == 1 && Z7CS_GetVMRequest(&cs, ch) && Z7CS_GetVMAnswerBuffer(&cs, ch))
                Z7CS_SendVMAnswer(&cs, ch, 8);
            else
                Z7CS_SendRC(&cs, ch, uint16_t(kind));
            Z7CS_ReleaseQuestion(&cs, ch);
        }
        Drain(tcp[1]);
        Drain(ser[1]);
    }
    Z7CS_Close(&cs);
    Vcomm_Port[ProgrammingPort].fd = -1;
    close(tcp[1]);
    close(ser[0]);
    close(ser[1]);
    return 0;
}
