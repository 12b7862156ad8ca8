// Feeds arbitrary bytes to the command protocol through the receive path of
// the intercepted programming port, in chunks, with passes of the protocol
// and the datagram ageing between them and a clock that moves on every read.
#include <csetjmp>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unistd.h>

#include "cmd/cmd.h"
#include "cmd/datagram.h"
#include "core/storage/memfile.h"
#include "exec/plcmode.h"
#include "core/image/plcreg.h"
#include "core/image/timebase.h"
#include "core/image/util.h"
#include "io/vcomm.h"
#include "platform/plat.h"
#include "tests/support/cmd_port.h"
#include "tests/support/fake_clock.h"
#include "tests/support/proc_root.h"

namespace {

void Setup() {
    static char root[] = "/tmp/plc-fuzz-cmd-XXXXXX";
    setenv("PLC_RESET", "exit", 1);
    test_support::ProgramRoot(root, "fuzz");
    // Every reading moves the clock by one tick.
    test_support::Fake() = {1000000000, 100000, 0, 0};
    plat_time = &test_support::kFakeTime;
    plat_reset = &test_support::kJumpReset;  // a warm reset asked for by a frame ends the input
    Timer_Init(&fpga_port, 100);
    RCT_Init();
    SCI2_Init(0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool once = [] {
        Setup();
        return true;
    }();
    (void)once;
    if (setjmp(test_support::ResetJump()) != 0) return 0;
    test_support::ClearCmdState();
    test_support::StartInterceptedPort();
    // Byte 0 picks the chunk size, so frames arrive whole or in pieces.
    const size_t chunk = size ? 1 + data[0] % 97 : 1;
    size_t i = size ? 1 : 0;
    while (i < size) {
        const size_t n = size - i < chunk ? size - i : chunk;
        test_support::StuffRx(data + i, n);
        i += n;
        for (int p = 0; p < 3; p++) {
            Cmd_Check();
            Datagram_Check();
            test_support::DrainTx();
        }
    }
    // Let every waiting command time out.
    test_support::Fake().ns += int64_t(10) * 1000000000;
    for (int p = 0; p < 4; p++) {
        Cmd_Check();
        test_support::DrainTx();
    }
    return 0;
}
