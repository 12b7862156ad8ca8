// Costs of SRTP, EGD and EtherNet/IP:
//   BM_SrtpMessage:   one SRTP read of 125 words taken and its answer built,
//                     target 2 us; allocs_per_frame (target 0);
//   BM_Epath:         the Forward_Open path 20 04 24 01 2C 64 2C 65 parsed,
//                     target 200 ns;
//   BM_EgdBuild99:    a produced exchange of 99 items built, target 5 us;
//                     allocs_per_frame (target 0);
//   BM_SrtpTcp/N:     requests/s of N SRTP sessions reading 125 words against
//                     libmodbus's reference server answering FC3 x 125 to as
//                     many clients, three alternating rounds of 3 s each
//                     (ratio target >= 1.0), each round's ratio and load
//                     average (ratio_r1, load_r1, ...),
//                     p99 latency against one pass + 1 ms;
//   BM_EgdPeriods:    5 exchanges at 10 ms and 5 at 100 ms produced to
//                     loopback for 60 s while 1,000 datagrams/s are consumed:
//                     worst mean-period error (%, target 1), p99 deviation
//                     (ms, target one pass + 1 ms), consumed lost (target 0);
//   BM_ClassOne:      one class-1 connection at RPI 10 ms for 60 s: datagrams
//                     (target 6,000 +- 1 %), the longest gap (target < 20 ms),
//                     O->T datagrams sent at 10 ms and applied (target all;
//                     time-out multiplier 16 RPIs).
// The server's passes run on a thread of their own and wait between passes
// on the readiness set as the main loop does (no ladder program); max_pass_ms and
// max_pass_gap_ms tell a slow pass from a thread the machine did not run.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <modbus.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "bench/alloc_count.h"
#include "bench/protocols/ref_modbus_server.h"
#include "core/image/bytes.h"
#include "core/image/plcreg.h"
#include "exec/mainloop.h"
#include "net/dpr.h"
#include "net/enet.h"
#include "net/net.h"
#include "platform/plat.h"
#include "platform/plat_net.h"
#include "platform/plat_poll.h"
#include "protocols/egd.h"
#include "protocols/eip.h"
#include "protocols/srtp.h"
#include "tests/support/loopback.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint16_t kSrtpPort = 18861, kRefPort = 18862, kEgdPort = 18863, kEgdPeer = 18864, kEipPort = 18865,
                   kIoPort = 18866, kIoPeer = 18867;
NX_PACKET_POOL pool;
NX_IP ip;

uint32_t R(uint32_t n) { return 32768 + 16 * (n - 1); }

void Setup() {
    static bool done = [] {
        static char root[] = "/tmp/plc-bench-srtp-XXXXXX";
        if (mkdtemp(root) == nullptr) std::abort();
        setenv("PLC_ROOT", root, 1);
        static char arg0[] = "bench";
        static char *argv[] = {arg0, nullptr};
        PLAT_Init(1, argv);
        plat_net = &plat_net_own;
        Dpr_Init();
        static std::array<uint8_t, 200 * (NX_PACKET_HEADER + 1520)> mem alignas(16);
        _nx_packet_pool_create(&pool, "Packet Pool", 1520, mem.data(), uint32_t(mem.size()));
        ip.nx_ip_name = "eth0";
        ip.nx_ip_default_packet_pool = &pool;
        ip.nx_ip_address = 0x7F000001;
        ip.nx_ip_network_mask = 0xFF000000;
        DprConfigRec &c = Dpr_Configuration[0];
        c.enables[0] = EN0_B0 | EN0_EGD | EN0_EIP;
        LE_Put16(&DprMap[DPR_RUN], 1);
        SrtpPortNumber = kSrtpPort;
        EgdPortNumber = kEgdPort;
        EipPortNumber = kEipPort;
        EipIoPortNumber = kIoPort;
        SrtpPacketPoolPtr = &pool;
        PLAT_PollPace(MAIN_PASS_WAIT_US);  // the main loop's 1 ms between passes
        return true;
    }();
    (void)done;
}

std::array<uint8_t, 56> SrtpRead(uint16_t seq, uint16_t off, uint16_t cnt) {
    std::array<uint8_t, 56> m{};
    m[0] = 2;
    LE_Put16(&m[2], seq);
    m[9] = 1;
    m[31] = 0xC0;
    m[42] = 4;
    m[43] = 8;
    LE_Put16(&m[44], off);
    LE_Put16(&m[46], cnt);
    return m;
}

void BM_SrtpMessage(benchmark::State &state) {
    Setup();
    const auto req = SrtpRead(1, 2999, 125);
    bench_alloc::count = 0;
    bench_alloc::counting = true;
    for (auto _ : state) {
        std::memcpy(SrtpRxBuff.data(), req.data(), req.size());
        SrtpMessage(0, 0, 56);
        benchmark::DoNotOptimize(SrtpReadAnswer(0, 0));
        SrtpConnEth[0].slots[0].read_pending = 0;
    }
    bench_alloc::counting = false;
    state.counters["allocs_per_frame"] = double(bench_alloc::count) / double(state.iterations());
}
BENCHMARK(BM_SrtpMessage);

void BM_Epath(benchmark::State &state) {
    const uint8_t path[8] = {0x20, 0x04, 0x24, 0x01, 0x2C, 0x64, 0x2C, 0x65};
    EpathResult r;
    for (auto _ : state) benchmark::DoNotOptimize(Epath_Parse(path, &r, sizeof path));
}
BENCHMARK(BM_Epath);

void BM_EgdBuild99(benchmark::State &state) {
    Setup();
    DprConfigRec &c = Dpr_Configuration[0];
    c.egd[0] = {};
    c.egd[0].kind = 0x80000003;
    for (unsigned i = 0; i < DPR_EGD_ITEMS; i++) {
        c.egd[0].items[i][0] = R(1 + 8 * i);
        c.egd[0].items[i][1] = i == 50 ? 0x8000 : 14;
    }
    EGDConnEth[0].ip = &ip;
    static std::array<uint8_t, EGD_HDR + EGD_DATA_MAX> buf;
    bench_alloc::count = 0;
    bench_alloc::counting = true;
    for (auto _ : state) benchmark::DoNotOptimize(EgdBuild(0, 0, 0x101, 0, buf.data()));
    bench_alloc::counting = false;
    state.counters["allocs_per_frame"] = double(bench_alloc::count) / double(state.iterations());
    state.counters["bytes"] = double(EgdBuild(0, 0, 0x101, 0, buf.data()));
    c.egd[0] = {};
}
BENCHMARK(BM_EgdBuild99);

double Pct(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[size_t(p * double(v.size() - 1))];
}

// The server's passes on a thread: the given scan, then the socket poll; the
// main loop's wait between passes, and what the loop takes after it.
struct Passes {
    std::atomic<bool> stop{false};
    std::atomic<long> count{0};
    std::atomic<double> ns{0};
    std::atomic<double> max_ns{0};      // longest pass
    std::atomic<double> max_gap_ns{0};  // longest time between two passes' starts
    std::thread th;
    template <class F>
    explicit Passes(F scan, void (*after_wait)() = nullptr) {
        th = std::thread([this, scan, after_wait] {
            long n = 0;
            double sum = 0, most = 0, gap = 0;
            auto last = Clock::now();
            while (!stop) {
                const auto t0 = Clock::now();
                gap = std::max(gap, std::chrono::duration<double, std::nano>(t0 - last).count());
                last = t0;
                scan();
                EnetThread();
                const double d = std::chrono::duration<double, std::nano>(Clock::now() - t0).count();
                sum += d;
                most = std::max(most, d);
                n++;
                PLAT_PollWait(MAIN_PASS_WAIT_US);  // the main loop's wait between passes
                if (after_wait) after_wait();
            }
            count = n;
            ns = n ? sum / double(n) : 0;
            max_ns = most;
            max_gap_ns = gap;
        });
    }
    void End() {
        stop = true;
        th.join();
    }
};

struct LoadResult {
    double per_s;
    std::vector<double> lat_us;
};

template <class Ask>
LoadResult Load(int clients, double seconds, Ask ask) {
    std::atomic<long> total{0};
    std::vector<std::vector<double>> lat(static_cast<size_t>(clients));
    std::vector<std::thread> th;
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    for (int i = 0; i < clients; i++) {
        th.emplace_back([&, i] {
            auto one = ask();
            if (!one) return;
            while (Clock::now() < end) {
                const auto t0 = Clock::now();
                if (!one()) break;
                lat[size_t(i)].push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
                total++;
            }
        });
    }
    for (auto &t : th) t.join();
    LoadResult r{double(total) / seconds, {}};
    for (auto &v : lat) r.lat_us.insert(r.lat_us.end(), v.begin(), v.end());
    return r;
}

bool RecvAll(int fd, uint8_t *p, size_t n) {
    size_t got = 0;
    while (got < n) {
        const ssize_t r = recv(fd, p + got, n - got, 0);
        if (r <= 0) return false;
        got += size_t(r);
    }
    return true;
}

// Our server and libmodbus's in alternating rounds of the same length.
constexpr int kRounds = 3;
constexpr double kRoundS = 3.0;

void BM_SrtpTcp(benchmark::State &state) {
    Setup();
    const int clients = int(state.range(0));
    for (auto _ : state) {
        LoadResult ours{0, {}}, theirs{0, {}};
        double pass_ns = 0;
        std::vector<double> ratios, loads;
        for (int round = 0; round < kRounds; round++) {
            loads.push_back(BenchRef_Load1());
            if (Srtp_Init(&ip, &pool) != 0) {
                state.SkipWithError("no server");
                return;
            }
            // As the main loop: a read taken after the wait is answered after
            // the scan (here none), before the pass's SRTP step.
            Passes passes(
                [] {
                    Srtp_AfterScan(0);
                    Srtp_Scan(0);
                },
                [] { Srtp_AfterWait(0); });
            const LoadResult o = Load(clients, kRoundS, [] {
                int r = -1;
                const int fd = test_support::LoopbackDial(kSrtpPort, &r);
                struct timeval tv {
                    2, 0
                };
                setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
                std::function<bool()> one;
                if (r != 0) return one;
                auto fdp = std::shared_ptr<int>(new int(fd), [](int *p) {
                    close(*p);
                    delete p;
                });
                one = [fdp] {
                    const auto req = SrtpRead(1, 2999, 125);
                    uint8_t a[56 + 250];
                    return send(*fdp, req.data(), req.size(), 0) == 56 && RecvAll(*fdp, a, sizeof a);
                };
                return one;
            });
            passes.End();
            pass_ns += passes.ns / kRounds;
            for (auto &slot : SrtpConnEth[0].slots) {
                if (slot.socket.state == NX_TCP_ESTABLISHED) SrtpDisconnect(&slot.socket);
                _nx_tcp_socket_delete(&slot.socket);
            }
            const LoadResult t = BenchRef_Round(kRefPort, [&] {
                return Load(clients, kRoundS, [] {
                    std::function<bool()> one;
                    modbus_t *ctx = modbus_new_tcp("127.0.0.1", kRefPort);
                    modbus_set_response_timeout(ctx, 2, 0);
                    if (modbus_connect(ctx) != 0) {
                        modbus_free(ctx);
                        return one;
                    }
                    auto holder = std::shared_ptr<modbus_t>(ctx, [](modbus_t *c) {
                        modbus_close(c);
                        modbus_free(c);
                    });
                    one = [holder] {
                        uint16_t regs[125];
                        return modbus_read_registers(holder.get(), 3000, 125, regs) == 125;
                    };
                    return one;
                });
            });
            ratios.push_back(t.per_s > 0 ? o.per_s / t.per_s : 0);
            ours.per_s += o.per_s / kRounds;
            theirs.per_s += t.per_s / kRounds;
            ours.lat_us.insert(ours.lat_us.end(), o.lat_us.begin(), o.lat_us.end());
            theirs.lat_us.insert(theirs.lat_us.end(), t.lat_us.begin(), t.lat_us.end());
        }
        state.counters["ours_per_s"] = ours.per_s;
        state.counters["ref_per_s"] = theirs.per_s;
        state.counters["ratio"] = theirs.per_s > 0 ? ours.per_s / theirs.per_s : 0;
        state.counters["p50_us"] = Pct(ours.lat_us, 0.5);
        state.counters["ref_p50_us"] = Pct(theirs.lat_us, 0.5);
        state.counters["p99_us"] = Pct(ours.lat_us, 0.99);
        state.counters["pass_us"] = pass_ns / 1000.0;
        BenchRef_RoundCounters(state, ratios, loads);
    }
}
BENCHMARK(BM_SrtpTcp)->Arg(1)->Arg(16)->Iterations(1)->Unit(benchmark::kSecond);

int UdpBound(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) std::abort();
    struct timeval tv {
        0, 200000
    };
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    return fd;
}

void SendTo(int fd, const uint8_t *p, size_t n, uint16_t port) {
    struct sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sendto(fd, p, n, 0, reinterpret_cast<sockaddr *>(&a), sizeof a);
}

void BM_EgdPeriods(benchmark::State &state) {
    Setup();
    DprConfigRec &c = Dpr_Configuration[0];
    for (unsigned x = 0; x < 10; x++) {
        c.egd[x] = {};
        c.egd[x].kind = 0x80000003;
        c.egd[x].header[0] = 0x100 + x;
        c.egd[x].header[1] = 0x7F000001;
        c.egd[x].header[2] = x < 5 ? 10 : 100;
        c.egd[x].items[0][0] = R(1);
        c.egd[x].items[0][1] = 20;
    }
    c.egd[10] = {};
    c.egd[10].kind = 0x80000001;
    c.egd[10].header[0] = 0x200;
    c.egd[10].header[1] = 0x7F000001;
    c.egd[10].header[3] = 1000;
    c.egd[10].items[0][0] = R(100);
    c.egd[10].items[0][1] = 4;
    Enet_LinkUp = 1;
    const double seconds = 60.0;
    for (auto _ : state) {
        // Produced to the peer's port: the receive socket is ours, on kEgdPort.
        EgdPortNumber = kEgdPort;
        if (Egd_Init(&ip, &pool) != 0) {
            state.SkipWithError("no sockets");
            return;
        }
        // Production goes to kEgdPeer: point the exchanges there by port.
        EgdPortNumber = kEgdPeer;
        const int peer = UdpBound(kEgdPeer);
        std::vector<std::vector<double>> arrivals(10);
        std::atomic<bool> stop{false};
        std::thread rx([&] {
            uint8_t b[1500];
            while (!stop) {
                const ssize_t n = recv(peer, b, sizeof b, 0);
                if (n < 32) continue;
                const uint32_t id = LE_Get32(b + 8) - 0x100;
                if (id < 10)
                    arrivals[id].push_back(
                        std::chrono::duration<double, std::milli>(Clock::now().time_since_epoch()).count());
            }
        });
        // Every datagram the receive socket gives goes to the one consumed
        // exchange: the interface's receive count is the consumed count.
        const uint32_t received0 = ip.nx_ip_received_count;
        Passes passes([] { Egd_Scan(0); });
        // 1,000 consumed datagrams per second to the receive socket, each with a new value.
        const int tx = socket(AF_INET, SOCK_DGRAM, 0);
        long sent = 0;
        const auto t_end = Clock::now() + std::chrono::duration<double>(seconds);
        auto next = Clock::now();
        while (Clock::now() < t_end) {
            uint8_t m[36] = {13, 1};
            BE_Put32(m + 4, 0x7F000001);
            LE_Put32(m + 8, 0x200);
            LE_Put32(m + 32, uint32_t(++sent));
            SendTo(tx, m, sizeof m, kEgdPort);
            next += std::chrono::milliseconds(1);
            std::this_thread::sleep_until(next);
        }
        usleep(100000);
        passes.End();
        stop = true;
        rx.join();
        close(peer);
        close(tx);
        double worst = 0;
        std::vector<double> dev;
        for (unsigned x = 0; x < 10; x++) {
            const auto &a = arrivals[x];
            const double period = x < 5 ? 10.0 : 100.0;
            if (a.size() < 2) continue;
            const double mean = (a.back() - a.front()) / double(a.size() - 1);
            worst = std::max(worst, std::fabs(mean - period) / period * 100.0);
            for (size_t i = 1; i < a.size(); i++) dev.push_back(std::fabs(a[i] - a[i - 1] - period));
        }
        state.counters["mean_period_err_pct"] = worst;
        state.counters["p99_dev_ms"] = Pct(dev, 0.99);
        state.counters["consumed_per_s"] = double(sent) / seconds;
        state.counters["consumed_lost"] = double(sent - long(ip.nx_ip_received_count - received0));
        state.counters["max_pass_ms"] = passes.max_ns / 1e6;
        state.counters["max_pass_gap_ms"] = passes.max_gap_ns / 1e6;
        state.counters["last_applied_is_last_sent"] = Dpr_Get_Dw_Data(R(100)) == uint32_t(sent) ? 1 : 0;
        state.counters["pass_us"] = passes.ns / 1000.0;
        _nx_udp_socket_delete(&EGDConnEth[0].send);
        _nx_udp_socket_delete(&EGDConnEth[0].receive);
    }
    for (unsigned x = 0; x <= 10; x++) c.egd[x] = {};
}
BENCHMARK(BM_EgdPeriods)->Iterations(1)->Unit(benchmark::kSecond);

void BM_ClassOne(benchmark::State &state) {
    Setup();
    DprConfigRec &c = Dpr_Configuration[0];
    c.eip[0][0] = R(301);
    c.eip[0][1] = 8;
    c.eip[1][0] = R(311);
    c.eip[1][1] = 8;
    const double seconds = 60.0;
    for (auto _ : state) {
        if (Eip_Init(&ip, &pool) != 0) {
            state.SkipWithError("no adapter");
            return;
        }
        // Forward_Open, both directions, RPI 10 ms, the T->O datagrams to our peer.
        uint8_t d[44] = {0x0A, 0x0E};
        LE_Put32(d + 2, 0x1001);
        LE_Put32(d + 6, 0x2001);
        LE_Put16(d + 10, 1);
        LE_Put32(d + 22, 10000);
        LE_Put16(d + 26, 0x400E);
        LE_Put32(d + 28, 10000);
        LE_Put16(d + 32, 0x400A);
        d[18] = 2;  // time-out multiplier: 16 RPIs
        d[34] = 1;
        d[35] = 4;
        const uint8_t path[8] = {0x20, 0x04, 0x24, 0x01, 0x2C, 0x64, 0x2C, 0x65};
        std::memcpy(d + 36, path, 8);
        std::array<uint8_t, CIP_ANSWER_MAX> answer{};
        const CipRequest req{0x54, 6, 1, 0, sizeof d, d, 0};
        if (Conn_Manager_Service(req, answer.data()) != 30 || answer[2] != 0) {
            state.SkipWithError("Forward_Open refused");
            return;
        }
        for (auto &s : EipConnEth[0].slots) {
            if (s.used && !s.consuming) {
                s.address = 0x7F000001;
                s.port = kIoPeer;
            }
        }
        const int peer = UdpBound(kIoPeer);
        std::vector<double> arrivals;
        std::atomic<bool> stop{false};
        std::thread rx([&] {
            uint8_t b[1500];
            while (!stop) {
                if (recv(peer, b, sizeof b, 0) == 28)
                    arrivals.push_back(
                        std::chrono::duration<double, std::milli>(Clock::now().time_since_epoch()).count());
            }
        });
        std::atomic<long> applied{0};
        std::atomic<uint32_t> last{0};
        Passes passes([&] {
            Eip_Scan(0);
            const uint32_t v = LE_Get32(EipRxData.data());
            if (v != last) {
                last = v;
                applied++;
            }
        });
        const int tx = socket(AF_INET, SOCK_DGRAM, 0);
        long sent = 0;
        const auto t0 = Clock::now();
        const auto t_end = t0 + std::chrono::duration<double>(seconds);
        auto next = t0;
        while (Clock::now() < t_end) {
            uint8_t m[32] = {2, 0, 0x02, 0x80, 8, 0};
            LE_Put32(m + 6, 0x1001);
            LE_Put32(m + 10, uint32_t(++sent));
            LE_Put16(m + 14, 0xB1);
            LE_Put16(m + 16, 14);
            LE_Put16(m + 18, uint16_t(sent));
            m[20] = 1;
            LE_Put32(m + 24, uint32_t(sent));
            SendTo(tx, m, sizeof m, kIoPort);
            next += std::chrono::milliseconds(10);
            std::this_thread::sleep_until(next);
        }
        const double window = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
        usleep(50000);
        passes.End();
        stop = true;
        rx.join();
        close(peer);
        close(tx);
        double longest = 0;
        long in_window = 0;
        for (size_t i = 0; i < arrivals.size(); i++) {
            if (arrivals[i] - arrivals.front() <= window) in_window++;
            if (i > 0) longest = std::max(longest, arrivals[i] - arrivals[i - 1]);
        }
        state.counters["datagrams"] = double(in_window);
        state.counters["longest_gap_ms"] = longest;
        state.counters["ot_sent"] = double(sent);
        state.counters["ot_applied"] = double(applied);
        unsigned timed_out = 0;
        for (const auto &s : EipConnEth[0].slots)
            timed_out += s.used && s.conn && s.conn->state == CipConnState::TimedOut;
        state.counters["timed_out"] = timed_out;
        state.counters["max_pass_ms"] = passes.max_ns / 1e6;
        state.counters["max_pass_gap_ms"] = passes.max_gap_ns / 1e6;
        state.counters["pass_us"] = passes.ns / 1000.0;
        for (auto &cfg : ConnCfgPool) {
            if (cfg.used) EipConnectionClose(&cfg);
        }
        for (auto &e : EipConnEth[0].encap) _nx_tcp_socket_delete(&e.socket);
    }
}
BENCHMARK(BM_ClassOne)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
