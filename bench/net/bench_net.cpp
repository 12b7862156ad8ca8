// Costs of the network layer's per-pass work:
//   BM_EnetThread/N:    one connection poll with N idle established connections
//                       (and one listening socket), as in the main loop (the
//                       readiness set was read moments before), target <= 2 us at 64;
//   BM_EnetThreadRead/N: the same with one reading of the readiness set
//                       (epoll_wait) each time;
//   BM_AllocRelease:    one packet allocation and release with 199 taken, target 2 us;
//   BM_ParseConfig:     the configuration parser on 128 EGD exchanges of 99 items,
//                       target 2 ms.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <cstdlib>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "core/image/bytes.h"
#include "net/dpr.h"
#include "net/enet.h"
#include "net/nx.h"
#include "platform/plat.h"
#include "platform/plat_net.h"
#include "platform/plat_poll.h"
#include "tests/support/eth_ip.h"
#include "tests/support/loopback.h"
#include "tests/support/proc_root.h"

namespace {

void Setup() {
    static bool done = [] {
        static char root[] = "/tmp/plc-bench-net-XXXXXX";
        test_support::ProgramRoot(root, "bench", false);
        plat_net = &plat_net_own;
        return true;
    }();
    (void)done;
}

void EnetThreadBody(benchmark::State &state, bool read) {
    Setup();
    const int n = int(state.range(0));
    static NX_PACKET_POOL pool;
    static std::array<uint8_t, 8 * (NX_PACKET_HEADER + 1520)> mem alignas(16);
    static NX_IP ip;
    test_support::EthIp(ip, pool, mem, "p");
    const uint16_t port = uint16_t(18700 + n);
    std::vector<NX_TCP_SOCKET> socks(size_t(n) + 1);
    std::vector<int> peers;
    _nx_tcp_socket_create(&ip, &socks[0], "L", 0, 0, 128, 2048, nullptr, nullptr);
    _nx_tcp_server_socket_listen(&ip, port, &socks[0], 16, [](NX_TCP_SOCKET *, uint32_t) {});
    for (int i = 1; i <= n; i++) {
        _nx_tcp_socket_create(&ip, &socks[size_t(i)], "S", 0, 0, 128, 2048, nullptr, nullptr);
        _nx_tcp_server_socket_relisten(&ip, port, &socks[size_t(i)]);
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        if (test_support::LoopbackConnect(fd, port) != 0) std::abort();
        peers.push_back(fd);
        while (_nx_tcp_server_socket_accept(&socks[size_t(i)], 0) != NX_IN_PROGRESS) usleep(100);
    }
    if (read) {
        for (auto _ : state) {
            PLAT_PollWait(0);
            EnetThread();
        }
    } else {
        for (auto _ : state) EnetThread();
    }
    for (auto &s : socks) _nx_tcp_socket_delete(&s);
    for (int fd : peers) close(fd);
}
void BM_EnetThread(benchmark::State &state) { EnetThreadBody(state, false); }
void BM_EnetThreadRead(benchmark::State &state) { EnetThreadBody(state, true); }
BENCHMARK(BM_EnetThread)->Arg(0)->Arg(16)->Arg(64)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_EnetThreadRead)->Arg(0)->Arg(16)->Arg(64)->Unit(benchmark::kMicrosecond);

void BM_AllocRelease(benchmark::State &state) {
    static NX_PACKET_POOL pool;
    static std::array<uint8_t, ENET_POOL_BYTES> mem alignas(16);
    _nx_packet_pool_create(&pool, "Packet Pool", ENET_PAYLOAD, mem.data(), uint32_t(mem.size()));
    NX_PACKET *p = nullptr;
    for (int i = 0; i < 199; i++) _nx_packet_allocate(&pool, &p, 0, 0);
    for (auto _ : state) {
        _nx_packet_allocate(&pool, &p, 0, 0);
        _nx_packet_release(p);
    }
}
BENCHMARK(BM_AllocRelease)->Unit(benchmark::kMicrosecond);

void BM_ParseConfig(benchmark::State &state) {
    Setup();
    std::vector<uint32_t> w = {0, 0x0A4D0002, 0xFFFFFF00};
    for (uint32_t x = 0; x < 128; x++) {
        w.insert(w.end(), {0x80000000u | x, 1, 2, 3, 4});
        for (uint32_t i = 0; i < 99; i++) w.insert(w.end(), {32768 + 16 * i, 0x10});
        w.insert(w.end(), {0, 0});
    }
    w.push_back(0);
    w[0] = uint32_t(4 * w.size());
    std::vector<uint8_t> block(4 * w.size());
    for (size_t i = 0; i < w.size(); i++) LE_Put32(&block[4 * i], w[i]);
    static DprConfigRec rec;
    for (auto _ : state) {
        EGD_Index_Count = 0;
        benchmark::DoNotOptimize(DprParseBlock(block.data(), block.size(), 0, rec));
    }
}
BENCHMARK(BM_ParseConfig)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
