// Cost of the CAN services of one main-loop pass (Can_Isr, CANopen receive
// and transmit) on an in-memory bus: idle, and with 200 SDO requests in and
// their 200 answers out.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>

#include "core/image/bytes.h"
#include "core/storage/memfile.h"
#include "core/image/plcreg.h"
#include "io/candrv.h"
#include "io/copen.h"
#include "platform/plat.h"
#include "platform/plat_can.h"
#include "tests/support/can_node.h"
#include "tests/support/proc_root.h"

namespace {

uint8_t in_frames[256][16];
unsigned in_count, in_pos;
unsigned out_count;

int Read(int, uint8_t *f) {
    if (in_pos >= in_count) return -1;
    std::memcpy(f, in_frames[in_pos++], 16);
    return 16;
}
int Write(int, const uint8_t *) {
    out_count++;
    return 16;
}
const PlatCanOps kBus = {
    test_support::CanStubOpen,  Read,   Write, test_support::CanStubErrMask, test_support::CanStubSndBuf,
    test_support::CanStubClose, nullptr};

void Setup() {
    static bool done = [] {
        static char root[] = "/tmp/plc-bench-can-XXXXXX";
        test_support::ProgramRoot(root, "bench");
        plat_can = &kBus;
        // node 5, operational, heartbeat off, status words at %R100
        uint8_t blk[0x74] = {};
        blk[0] = 1;
        blk[1] = 5;
        blk[0x21] = 1;
        LE_Put32(blk + 0x18, 0x80000000u);
        LE_Put32(blk + 0x54, BA_R + 16 * 99);
        LE_Put32(blk + 0x68, 0x100);
        test_support::CanSetBlock(blk, sizeof blk);
        NetInitRec rec{};
        CANOpenInit(&rec);
        Can_Isr();
        return true;
    }();
    (void)done;
    for (unsigned i = 0; i < 200; i++) {
        uint8_t *f = in_frames[i];
        std::memset(f, 0, 16);
        LE_Put32(f, 0x605);
        f[4] = 8;
        f[8] = 0x40;
        LE_Put16(f + 9, 0xA0C4);  // %R1 .. %R200 through the register objects
        f[11] = uint8_t(1 + i % 200);
    }
}

void BM_CanPassIdle(benchmark::State &state) {
    Setup();
    in_count = in_pos = 0;
    for (auto _ : state) test_support::CanPass();
}
BENCHMARK(BM_CanPassIdle);

void BM_CanPass200SdoInAndOut(benchmark::State &state) {
    Setup();
    for (auto _ : state) {
        in_count = 200;
        in_pos = 0;
        out_count = 0;
        test_support::CanPass();
        if (out_count != 200) state.SkipWithError("not every request was answered");
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * 200);
}
BENCHMARK(BM_CanPass200SdoInAndOut);

}  // namespace

BENCHMARK_MAIN();
