// The application's Modbus. First the Google Benchmarks: Z7MB_ServeExID FC3
// x125; Z7MB_Exchange of 1,000 variables; one event frame of 50 changes
// through a remote binding (socket round trip included); mallocs per
// iteration as a counter. Then one end-to-end run against libmodbus on
// loopback, printed as lines:
//   client: the runtime's client engine (FC3 x125, period 0, one pass per main
//     loop pass, the loop waiting on the socket like the main loop) and
//     libmodbus's client, each against one libmodbus server, requests/s;
//   server: the MBSLAVETCP block, the runtime's comm server on TCP 1100
//     (Modbus questions served by Z7Def_ServeModbusRequest) and libmodbus's
//     server, each read by 1 and 8 libmodbus clients (FC3 x125), requests/s,
//     p50 and p99 in us; ours served two ways, taking turns with libmodbus's
//     server (see Compare).
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench/malloc_count.h"
#include "bench/protocols/ref_modbus_server.h"
#include "core/image/bytes.h"
#include "iec/services/z7mb_internal.h"
#include "iec/services/z7svc.h"
#include "iec/vm/z7stdlib.h"
#include "iec/vm/z7vm.h"
#include "platform/plat_poll.h"
#include "tests/support/iec_image.h"
#include "tests/support/iec_mbcfg.h"
#include "tests/support/loopback.h"

namespace {
using Clock = std::chrono::steady_clock;
constexpr double kRunSeconds = 2.0;

uint32_t Db(const test_support::MbConfig &cfg, uint16_t words = 31,
            std::vector<std::pair<uint32_t, std::vector<uint8_t>>> extra = {}) {
    test_support::IecImage img;
    img.d8 = img.d32 = img.time = {31, 31, 31};
    img.d16 = {words, words, words};
    img.ext_blocks = {{2, cfg.Build()}};
    for (auto &e : extra) img.ext_blocks.push_back(e);
    const uint32_t code = test_support::IecLoad(img.Build());
    uint32_t db = 0;
    if (code == 0 || Z7VM_CreateDB(code, &db) != 0 || Z7VM_Build(code, db) != 0) {
        std::fprintf(stderr, "database not built\n");
        std::exit(1);
    }
    return db;
}

uint32_t MsOfDay() {
    return uint32_t(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count() %
                    86400000);
}

// ---- client engine against libmodbus's server ---------------------------------------------------
void ClientRun() {
    const uint16_t port = test_support::LoopbackFreePort();
    std::atomic<bool> stop{false};
    std::thread server([&] { BenchRef_ModbusServer(stop, port); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the server starts listening

    test_support::MbConfig c;
    c.Conn(1, port, 0, 0x01, 0, "127.0.0.1")
        .Request({.id = 1,
                  .conn = 1,
                  .unit = 1,
                  .mode = 1,
                  .period = 0,
                  .fn = 3,
                  .addr = 0,
                  .count = 125,
                  .tries = 1,
                  .timeout = 1000,
                  .size = 250});
    const uint32_t db = Db(c), state = Z7Sec_Addr(db, Z7SEC_MB);
    Z7MB_Open(state);
    MBState st;
    MB_Open(state, st);
    uint8_t *k = st.Conn(0), *q = st.Req(0);
    uint64_t passes = 0, good = 0;
    uint16_t last = 0;
    const auto end = Clock::now() + std::chrono::duration<double>(kRunSeconds);
    while (Clock::now() < end) {
        Z7MB_Activate(state, MsOfDay());
        passes++;
        const uint16_t g = LE_Get16(q + MBR_GOOD);
        good += uint16_t(g - last) - (g < last ? 1 : 0);  // the count wraps to 1
        last = g;
        if (k[MBC_STATE] == 5) {  // the main loop waits for input between passes
            pollfd p{int(LE_Get32(k + MBC_SOCK)), POLLIN, 0};
            poll(&p, 1, 10);
        }
    }
    Z7MB_Close(state);
    const double ours = double(good) / kRunSeconds;

    modbus_t *ctx = modbus_new_tcp("127.0.0.1", port);
    modbus_connect(ctx);
    uint16_t regs[125];
    uint64_t n = 0;
    const auto end2 = Clock::now() + std::chrono::duration<double>(kRunSeconds);
    while (Clock::now() < end2)
        if (modbus_read_registers(ctx, 0, 125, regs) == 125) n++;
    modbus_close(ctx);
    modbus_free(ctx);
    stop = true;
    server.join();
    const double ref = double(n) / kRunSeconds;
    std::printf(
        "client: engine %.0f req/s (%.2f passes per request), libmodbus client %.0f req/s, ratio %.2f "
        "(one round, load %.1f)\n",
        ours, good ? double(passes) / double(good) : 0.0, ref, ref > 0 ? ours / ref : 0.0, BenchRef_Load1());
}

// ---- MBSLAVETCP against libmodbus's server -------------------------------------------------------
// n libmodbus clients read FC3 x125 from the server on port for the given
// seconds; their latencies (us) are added to lat. Answers the requests done.
size_t Clients(uint16_t port, int n, double seconds, std::vector<double> &all) {
    std::vector<std::vector<double>> lat(static_cast<size_t>(n));
    std::vector<std::thread> t;
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    for (int i = 0; i < n; i++)
        t.emplace_back([&, i] {
            // A fresh connection every 16,000 requests: libmodbus counts its
            // transaction ids from 1 per connection, and on TCP 1100 a frame
            // starting "HR" (id 0x4852) hands the link back, one starting
            // "Z7" (0x5A37) is a command of the runtime's own protocol.
            uint16_t regs[125];
            bool ok = true;
            while (ok && Clock::now() < end) {
                modbus_t *ctx = modbus_new_tcp("127.0.0.1", port);
                modbus_set_slave(ctx, 1);  // the server's unit (libmodbus asks 255 otherwise)
                if (modbus_connect(ctx) != 0) {
                    modbus_free(ctx);
                    return;
                }
                for (int k = 0; k < 16000 && Clock::now() < end; k++) {
                    const auto s = Clock::now();
                    if (modbus_read_registers(ctx, 0, 125, regs) != 125) {
                        ok = false;
                        break;
                    }
                    lat[size_t(i)].push_back(std::chrono::duration<double, std::micro>(Clock::now() - s).count());
                }
                modbus_close(ctx);
                modbus_free(ctx);
            }
        });
    for (auto &x : t) x.join();
    size_t done = 0;
    for (auto &l : lat) {
        all.insert(all.end(), l.begin(), l.end());
        done += l.size();
    }
    return done;
}

// p50 and p99 of latencies (sorted here).
std::pair<double, double> Percentiles(std::vector<double> &all) {
    if (all.empty()) return {0, 0};
    std::sort(all.begin(), all.end());
    return {all[all.size() / 2], all[size_t(double(all.size()) * 0.99)]};
}

// One server under test: started on a port, stepped by the serving loop, ended.
struct Served {
    const char *name;
    void (*open)(uint32_t db, uint16_t port);
    void (*step)(uint32_t db);
    void (*close)(uint32_t db);
};

// The MBSLAVETCP block, as the application's task calls it.
FbHandler slave_block = nullptr;
uint32_t slave_inst = 0, slave_list = 0;
void SlaveOpen(uint32_t db, uint16_t port) {
    Z7Mem_Put8(Z7Sec_Elem(db, Z7SEC_D8, 1), 1);
    Z7Mem_Put32(Z7Sec_Elem(db, Z7SEC_D32, 1), port);
    slave_block(FB_EXEC, db, 0, slave_inst, slave_list + 2);
}
void SlaveStep(uint32_t db) { slave_block(FB_EXEC, db, 0, slave_inst, slave_list + 2); }
void SlaveClose(uint32_t db) {
    Z7Mem_Put8(Z7Sec_Elem(db, Z7SEC_D8, 1), 0);
    slave_block(FB_EXEC, db, 0, slave_inst, slave_list + 2);
}

// The runtime's comm server on TCP 1100 (after the hand-over): every
// question of kind 17 served by Z7Def_ServeModbusRequest, as the runtime's
// serving pass does.
Z7CSData comm1100;
void CommOpen(uint32_t, uint16_t port) {
    const Z7CSSettings s{port, 0, nullptr};
    Z7CS_Open(&comm1100, &s, 0);
}
void CommStep(uint32_t db) {
    Z7CS_Activate(&comm1100);
    uint32_t ch = 0;
    const uint32_t kind = Z7CS_GetQuestion(&comm1100, &ch);
    if (kind == 0) return;
    if (kind == 16 || kind == 17) Z7Def_ServeModbusRequest(&comm1100, db, kind, ch);
    Z7CS_ReleaseQuestion(&comm1100, ch);
}
void CommClose(uint32_t) { Z7CS_Close(&comm1100); }

// The serving thread: a pass steps the server eight times (one question
// each, eight channels), as the runtime's comm service does, then waits on
// the readiness set the sockets are in. Main-loop wait (busy_us 0): at most
// 0.5 ms (a periodic tick of the set, as the main loop's pace), ended by a
// request or a connection, as between the main loop's passes. Busy polling (busy_us > 0): while a report came less than busy_us
// ago the set is only looked at, not waited on, as a server thread of its own
// might do; the libmodbus server always waits in poll.
//
// The machine is shared, so ours and the libmodbus server (running on
// ref_port) take turns: kRounds rounds of kRoundSeconds each side, the order
// swapped every round. Printed: both sides' requests/s, p50 and p99 over all
// rounds, the ratio of the sums, the median of the rounds' ratios, and each
// round's ratio with the load average it started at.
constexpr int kRounds = 6;
constexpr double kRoundSeconds = 0.5;
void Compare(const Served &s, uint32_t db, int clients, int busy_us, uint16_t ref_port) {
    const uint16_t port = test_support::LoopbackFreePort();
    s.open(db, port);
    std::atomic<bool> stop{false};
    // The main loop's wait: a periodic pass, no time-out of each wait.
    if (busy_us == 0) PLAT_PollPace(500);
    std::thread loop([&] {
        auto last = Clock::now() - std::chrono::seconds(1);
        while (!stop) {
            for (int i = 0; i < 8; i++) s.step(db);
            const bool busy = Clock::now() - last < std::chrono::microseconds(busy_us);
            if (PLAT_PollWait(busy ? 0 : 500) > 0) last = Clock::now();
        }
    });
    std::vector<double> lat_ours, lat_ref, ratios;
    std::string rounds;
    size_t n_ours = 0, n_ref = 0;
    for (int r = 0; r < kRounds; r++) {
        const double load = BenchRef_Load1();
        size_t o = 0, f = 0;
        if (r % 2 == 0) {
            f = Clients(ref_port, clients, kRoundSeconds, lat_ref);
            o = Clients(port, clients, kRoundSeconds, lat_ours);
        } else {
            o = Clients(port, clients, kRoundSeconds, lat_ours);
            f = Clients(ref_port, clients, kRoundSeconds, lat_ref);
        }
        n_ours += o;
        n_ref += f;
        ratios.push_back(f > 0 ? double(o) / double(f) : 0.0);
        char one[40];
        std::snprintf(one, sizeof one, " %.2f (load %.1f)", ratios.back(), load);
        rounds += one;
    }
    stop = true;
    loop.join();
    PLAT_PollPace(0);
    s.close(db);
    std::sort(ratios.begin(), ratios.end());
    const auto [o50, o99] = Percentiles(lat_ours);
    const auto [f50, f99] = Percentiles(lat_ref);
    const double secs = kRounds * kRoundSeconds;
    std::printf(
        "server, %d client%s: %s (%s) %.0f req/s p50 %.0f us p99 %.0f us; libmodbus %.0f req/s "
        "p50 %.0f us p99 %.0f us; ratio %.2f, median of rounds %.2f; rounds%s\n",
        clients, clients > 1 ? "s" : "", s.name, busy_us ? "busy 50 us" : "main-loop wait", double(n_ours) / secs, o50,
        o99, double(n_ref) / secs, f50, f99, n_ref > 0 ? double(n_ours) / double(n_ref) : 0.0,
        (ratios[ratios.size() / 2 - 1] + ratios[ratios.size() / 2]) / 2, rounds.c_str());
}

void ServerRun() {
    test_support::MbConfig c;
    c.Conn(1, 1, 0, 0x100, 0, "SRV").Request({.id = 1, .fn = 3, .addr = 0, .count = 125, .size = 250});
    const uint32_t db = Db(c);
    Z7St_SetFlags(db, uint16_t((Z7St_Flags(db) & ~Z7F_STOPPED) | Z7F_RUN));  // a running application
    for (uint32_t id = 0; id < Z7STFB_ROWS; id++)
        if (std::strcmp(Z7Stfb_GetName(id), "MBSLAVETCP") == 0) slave_block = Z7Stfb_GetProc(id);
    slave_inst = Z7Mem_Alloc(slave_block(FB_INSTSIZE, 0, 0, 0, 0));
    slave_list = Z7Mem_Alloc(8);
    Z7Mem_Put16(slave_list, 3);
    Z7Mem_Put16(slave_list + 2, 1);
    Z7Mem_Put16(slave_list + 4, 1);
    Z7Mem_Put16(slave_list + 6, 2);
    slave_block(FB_INSTINIT, db, 0, slave_inst, 0);
    const Served ours[] = {{"MBSLAVETCP", SlaveOpen, SlaveStep, SlaveClose},
                           {"TCP 1100", CommOpen, CommStep, CommClose}};
    for (int clients : {1, 8}) {
        const uint16_t p2 = test_support::LoopbackFreePort();
        std::atomic<bool> stop2{false};
        std::thread ref([&] { BenchRef_ModbusServer(stop2, p2); });
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        for (const Served &s : ours)
            for (int busy_us : {0, 50}) Compare(s, db, clients, busy_us, p2);
        stop2 = true;
        ref.join();
    }
    slave_block(FB_INSTEXIT, db, 0, slave_inst, 0);
}

// ---- Google Benchmarks ---------------------------------------------------------------------------
void BM_ServeExID_FC3x125(benchmark::State &state) {
    test_support::MbConfig c;
    c.Conn(1, 1, 0, 0x100, 0, "SRV").Request({.id = 1, .fn = 3, .addr = 0, .count = 125, .size = 250});
    const uint32_t db = Db(c), s = Z7Sec_Addr(db, Z7SEC_MB);
    const uint8_t req[] = {0, 1, 0, 0, 0, 6, 1, 3, 0, 0, 0, 125};
    uint8_t ans[300];
    std::size_t mallocs = 0;
    for (auto _ : state) {
        const std::size_t before = malloc_calls;
        benchmark::DoNotOptimize(Z7MB_ServeExID(s, req, sizeof req, ans, 1, 0, nullptr));
        mallocs += malloc_calls - before;
    }
    state.counters["mallocs"] = double(mallocs);
}
BENCHMARK(BM_ServeExID_FC3x125);

void BM_Exchange1000(benchmark::State &state) {
    // one holding-register table of 1,000 registers: 500 variables in, 500 out
    test_support::MbConfig c;
    c.Conn(1, 1, 0, 0x100, 0, "SRV").Request({.id = 1, .fn = 3, .addr = 0, .count = 1000, .size = 2000});
    for (uint16_t i = 0; i < 1000; i++) c.Variable({.req = 1, .pos = i, .index = i, .kind = uint16_t(i % 2)});
    const uint32_t db = Db(c, 1023), s = Z7Sec_Addr(db, Z7SEC_MB);
    std::size_t mallocs = 0;
    for (auto _ : state) {
        const std::size_t before = malloc_calls;
        Z7MB_Exchange(s, db);
        mallocs += malloc_calls - before;
    }
    state.counters["mallocs"] = double(mallocs);
}
BENCHMARK(BM_Exchange1000)->Unit(benchmark::kMicrosecond);

void BM_EventFrame50(benchmark::State &state) {
    uint16_t port = 0;
    const int lfd = test_support::LoopbackBind(&port);
    std::vector<uint8_t> cnx(10, 0);
    for (char ch : std::string("127.0.0.1")) cnx.push_back(uint8_t(ch));
    cnx.push_back(0);
    const uint16_t w[] = {uint16_t(cnx.size()), port, 0, 0, 50};
    for (int i = 0; i < 5; i++) LE_Put16(&cnx[2 * i], w[i]);
    cnx.insert(cnx.end(), {0, 0});
    std::vector<uint8_t> vars;
    for (uint16_t i = 0; i < 50; i++) vars.insert(vars.end(), {11, 1, uint8_t(i), 0, uint8_t(i + 1), 0});
    vars.push_back(0);
    const uint32_t db = Db(test_support::MbConfig{}, 63, {{5, cnx}, {6, vars}});
    Z7EAX_Open(db);
    const int peer = accept(lfd, nullptr, nullptr);
    uint32_t now = 1000;
    for (int i = 0; i < 10; i++) Z7EAX_Activate(db, now);
    // 50 INT change events, 19 bytes each
    std::vector<uint8_t> f{'Z', '7', 0, 0, 0x12, 50};
    for (uint16_t i = 0; i < 50; i++) {
        const uint8_t e[19] = {4, 0xFF,           7,  1, 0,          0, 0,         1, 0, 0, 0, 1,
                               0, uint8_t(i + 1), 11, 0, uint8_t(i), 0, uint8_t(i)};
        f.insert(f.end(), e, e + sizeof e);
    }
    BE_Put16(&f[2], uint16_t(f.size() - 4));
    uint8_t ack[64];
    std::size_t mallocs = 0;
    for (auto _ : state) {
        const std::size_t before = malloc_calls;
        if (write(peer, f.data(), f.size()) != ssize_t(f.size())) break;
        Z7EAX_Activate(db, now);
        Z7EAX_Activate(db, now);
        mallocs += malloc_calls - before;
        while (recv(peer, ack, sizeof ack, MSG_DONTWAIT) > 0) {
        }
    }
    state.counters["mallocs"] = double(mallocs);
    Z7EAX_Close(db);
    close(peer);
    close(lfd);
}
BENCHMARK(BM_EventFrame50)->Unit(benchmark::kMicrosecond);
}  // namespace

int main(int argc, char **argv) {
    // The Google Benchmarks first: the server runs make their serving thread
    // the readiness set's waiter, after which a socket is read only once the
    // set reported it.
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    ClientRun();
    ServerRun();
    return 0;
}
