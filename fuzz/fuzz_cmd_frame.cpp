// Feeds arbitrary bytes to the command protocol through the receive path of
// the intercepted programming port, in chunks, with passes of the protocol
// and the datagram ageing between them and a clock that moves on every read.
#include <csetjmp>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unistd.h>

#include "core/cmd.h"
#include "core/datagram.h"
#include "core/memfile.h"
#include "core/plcmode.h"
#include "core/plcreg.h"
#include "core/timebase.h"
#include "core/util.h"
#include "core/vcomm.h"
#include "platform/plat.h"

namespace {

int64_t fake_ns = 1000000000;
void FakeMono(struct timespec *ts) {
    fake_ns += 100000;  // every reading moves the clock by one tick
    ts->tv_sec = time_t(fake_ns / 1000000000);
    ts->tv_nsec = long(fake_ns % 1000000000);
}
uint32_t NoOffset() { return 0; }
const PlatTimeOps kTime = {FakeMono, NoOffset};

// A warm reset asked for by a frame ends the input instead of the process.
std::jmp_buf reset_jump;
[[noreturn]] void FakeReset() { std::longjmp(reset_jump, 1); }
const PlatResetOps kReset = {FakeReset, FakeReset};

void Setup() {
    static char root[] = "/tmp/plc-fuzz-cmd-XXXXXX";
    if (mkdtemp(root) == nullptr) std::abort();
    setenv("PLC_ROOT", root, 1);
    setenv("PLC_RESET", "exit", 1);
    static char arg0[] = "fuzz";
    static char *argv[] = {arg0, nullptr};
    PLAT_Init(1, argv);
    PLAT_MakeBoardFolders();
    plat_time = &kTime;
    plat_reset = &kReset;
    Timer_Init(&fpga_port, 100);
    RCT_Init();
    SCI2_Init(0);
}

void Fresh() {
    plc_reg.fill(0);
    PlcWordSet(W_NETID, 127);
    crc_header = {};
    Vcomm_Lock = 0;
    Vcomm_Host = 0;
    Vcomm_Mode = 0;
    Cmd_Override = 0;
    Cmd_Downloading = 0;
    OLPMode = 0;
    Datagram_Init();
    Cmd_Init();
    Vcomm_Drv[0].SetIntrcpt(0, 1);
}

void Drain() {
    uint8_t b;
    while (Vcomm_Drv[0].DrainTx(0, &b)) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool once = [] {
        Setup();
        return true;
    }();
    (void)once;
    if (setjmp(reset_jump) != 0) return 0;
    Fresh();
    // Byte 0 picks the chunk size, so frames arrive whole or in pieces.
    const size_t chunk = size ? 1 + data[0] % 97 : 1;
    size_t i = size ? 1 : 0;
    while (i < size) {
        const size_t n = size - i < chunk ? size - i : chunk;
        for (size_t k = 0; k < n; k++) Vcomm_Drv[0].StuffRx(0, data[i + k]);
        i += n;
        for (int p = 0; p < 3; p++) {
            Cmd_Check();
            Datagram_Check();
            Drain();
        }
    }
    // Let every waiting command time out.
    fake_ns += int64_t(10) * 1000000000;
    for (int p = 0; p < 4; p++) {
        Cmd_Check();
        Drain();
    }
    return 0;
}
