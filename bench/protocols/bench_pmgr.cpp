// Costs of the protocol manager and the remote-I/O master:
//   BM_PmgrScan512:  PMGR_Scan over 512 cyclic read commands of 8 words each
//                    (a built-in driver; the main-loop pass that feeds them
//                    runs outside the timing), target 50 us; allocs per scan.
//   BM_EtnIoScan16:  EtnIo_Scan of one interface with 16 running stations of
//                    two output modules each whose outputs did not change
//                    (the per-pass comparison; no frame goes out), target
//                    20 us; allocs per pass.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "bench/alloc_count.h"
#include "core/image/bytes.h"
#include "core/image/plcreg.h"
#include "core/image/tx.h"
#include "core/storage/memfile.h"
#include "core/storage/nvram.h"
#include "net/dpr.h"
#include "net/etnio.h"
#include "protocols/pmgr.h"

namespace {

intptr_t Init(uintptr_t *) { return 0; }
intptr_t Read(uint8_t *d, uint16_t *in) {
    for (unsigned i = 0; i < d[3]; i++) in[i] = uint16_t(i);
    return 0;
}
intptr_t Write(uint8_t *, uint16_t *) { return 0; }
intptr_t Classify(intptr_t, intptr_t) { return 4; }
void Status(uint16_t *w) { w[0] = w[1] = 0; }
bool Claim(uint32_t) { return true; }
void Release(uint32_t) {}
uintptr_t header[PMGR_H_SLOTS];

void Put32(std::vector<uint8_t> &b, std::size_t at, uint32_t v) { LE_Put32(&b[at], v); }

void BM_PmgrScan512(benchmark::State &state) {
    header[PMGR_H_MAGIC] = PMGR_MAGIC;
    header[PMGR_H_INIT] = reinterpret_cast<uintptr_t>(Init);
    header[PMGR_H_READ] = reinterpret_cast<uintptr_t>(Read);
    header[PMGR_H_WRITE] = reinterpret_cast<uintptr_t>(Write);
    header[PMGR_H_CLASSIFY] = reinterpret_cast<uintptr_t>(Classify);
    header[PMGR_H_STATUS] = reinterpret_cast<uintptr_t>(Status);
    pmgr_hooks = PmgrHooks{Claim, Release};
    // Table: header, record, a one-byte image, configuration, one device, 512 commands.
    const uint32_t img = 48, cfg = 49, dev = cfg + 48, scan = dev + 28, n = 512;
    std::vector<uint8_t> t(scan + 36 * n);
    Put32(t, 0, uint32_t(t.size()));
    Put32(t, 8, 1);
    Put32(t, 16, img);
    Put32(t, 20, cfg);
    Put32(t, 24, dev);
    Put32(t, 28, 1);
    Put32(t, 32, scan);
    Put32(t, 36, n);
    Put32(t, cfg + 8, 32768 + 16 * 49999);  // status area at the end of %R
    LE_Put16(&t[dev + 26], 28);
    for (uint32_t k = 0; k < n; k++) {
        const uint32_t e = scan + 36 * k;
        LE_Put16(&t[e], 1);
        Put32(t, e + 4, 32768 + 16 * 8 * k);
        LE_Put16(&t[e + 12], 36);
        t[e + 15] = 3;
        t[e + 17] = 8;
    }
    std::memcpy(promgr_table_bl.data() + MF_HDR, t.data(), t.size());
    MF_SetHeader(promgr_table_bl.data(), 0, uint32_t(t.size()));
    NV_EditorFeatures |= NVF_PROMGR;
    pExecHdr_info[0] = header;
    PlcWordSet(W_MODE, 2);
    PMGR_Start();
    if (!PromgrDriversLoaded) state.SkipWithError("driver not started");
    bench_alloc::count = 0;
    bench_alloc::counting = true;
    for (auto _ : state) {
        state.PauseTiming();
        PMGR_TheLoop(0);
        state.ResumeTiming();
        PMGR_Scan();
    }
    bench_alloc::counting = false;
    state.counters["allocs"] = double(bench_alloc::count.load());
    PMGR_Stop();
}
BENCHMARK(BM_PmgrScan512);

void BM_EtnIoScan16(benchmark::State &state) {
    static NX_IP ip{};
    ip.nx_ip_link_up = 1;
    EtnIoConnState &c = EtnIOConnState[0];
    c.ip = &ip;
    std::vector<uint8_t> d(ETNIO_CFG_BYTES);
    LE_Put16(&d[0], ETNIO_MAGIC);
    LE_Put16(&d[4], 16);
    for (uint32_t s = 0; s < 16; s++) {
        uint8_t *r = &d[16 + 192 * s];
        LE_Put32(r, 0x0A4D0010 + s);
        LE_Put32(r + 4, 32768 + 16 * (100 + s));
        LE_Put32(r + 36, 32768 + 16 * (200 + 8 * s));
        LE_Put32(r + 44, 10240 + 32 * s);
        LE_Put16(r + 52, 2);
        LE_Put16(r + 68, 6);   // two output bytes
        LE_Put16(r + 84, 15);  // four output words
    }
    EtnIo_Parse(0, d.data(), ETNIO_CFG_BYTES);
    // Every station running with its outputs sent: the pass compares them.
    static uint8_t dpr[64];
    Dpr_Map_Ptr = dpr;
    LE_Put16(dpr + DPR_RUN, 1);
    for (uint32_t s = 0; s < 16; s++) {
        EtnIoStation &st = c.st[s];
        st.flags = EIO_USED | EIO_BOUND | EIO_CONNECTED;
        st.state = EtnIoState::kChoose;
        st.phase = EtnIoPhase::kExchange;
        st.shadow_valid = 1;
        st.shadow.fill(0);
    }
    c.config = nullptr;  // no block: the record in force stays
    bench_alloc::count = 0;
    bench_alloc::counting = true;
    for (auto _ : state) {
        for (uint32_t s = 0; s < 16; s++) c.st[s].sent_ms = _tx_time_get();
        EtnIo_Scan(0);
    }
    bench_alloc::counting = false;
    state.counters["allocs"] = double(bench_alloc::count.load());
    c.ip = nullptr;
}
BENCHMARK(BM_EtnIoScan16);

}  // namespace

BENCHMARK_MAIN();
