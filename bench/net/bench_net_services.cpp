// Costs of the network services' per-request work:
//   BM_Md5_4K / BM_LibcryptoMd5_4K: our MD5 of 4 KB against libcrypto's
//                       (target: ours at least 0.8 of libcrypto's rate);
//   BM_DigestCheck:     one Digest check of a browser's request (target 5 us);
//   BM_RegisterPage:    one register page built (target 2 us);
//   BM_DhcpParse:       one DHCP datagram checked and its lease stored (target 1 us);
//   BM_DnsParse:        one DNS answer walked (target 1 us).
// Each reports "allocs" per iteration: the heap allocations made (target 0).
#include <benchmark/benchmark.h>

#include <cstring>
#include <openssl/evp.h>
#include <string>
#include <vector>

#include "bench/alloc_count.h"
#include "core/image/bytes.h"
#include "net/dhcp.h"
#include "net/http.h"
#include "net/httpreg.h"
#include "net/md5.h"

namespace {

struct Counting {
    Counting() {
        bench_alloc::count = 0;
        bench_alloc::counting = true;
    }
    void Report(benchmark::State &s) {
        bench_alloc::counting = false;
        s.counters["allocs"] = benchmark::Counter(double(bench_alloc::count), benchmark::Counter::kAvgIterations);
    }
};

std::vector<uint8_t> Data4K() {
    std::vector<uint8_t> d(4096);
    for (std::size_t i = 0; i < d.size(); i++) d[i] = uint8_t(i * 31 + 7);
    return d;
}

void BM_Md5_4K(benchmark::State &s) {
    const auto d = Data4K();
    uint8_t out[16];
    Counting c;
    for (auto _ : s) {
        NX_MD5 m;
        _nx_md5_initialize(&m);
        _nx_md5_update(&m, d.data(), uint32_t(d.size()));
        _nx_md5_digest_calculate(&m, out);
        benchmark::DoNotOptimize(out);
    }
    c.Report(s);
    s.SetBytesProcessed(int64_t(s.iterations()) * 4096);
}
BENCHMARK(BM_Md5_4K);

void BM_LibcryptoMd5_4K(benchmark::State &s) {
    const auto d = Data4K();
    uint8_t out[16];
    unsigned len = 0;
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
    const EVP_MD *md = EVP_md5();
    for (auto _ : s) {
        EVP_DigestInit_ex(ctx, md, nullptr);
        EVP_DigestUpdate(ctx, d.data(), d.size());
        EVP_DigestFinal_ex(ctx, out, &len);
        benchmark::DoNotOptimize(out);
    }
    EVP_MD_CTX_free(ctx);
    s.SetBytesProcessed(int64_t(s.iterations()) * 4096);
}
BENCHMARK(BM_LibcryptoMd5_4K);

alignas(16) uint8_t pool_memory[4 * (NX_PACKET_HEADER + 1520)];
NX_PACKET_POOL pool;
NX_HTTP_SERVER server;

NX_PACKET *Request(const std::string &text) {
    static bool once = [] {
        _nx_packet_pool_create(&pool, "bench", 1520, pool_memory, sizeof pool_memory);
        server.nx_http_server_id = NX_HTTP_SERVER_ID;
        server.nx_http_server_packet_pool_ptr = &pool;
        server.nx_http_server_socket.fd = -1;
        return true;
    }();
    (void)once;
    NX_PACKET *pk = nullptr;
    _nx_packet_allocate(&pool, &pk, 0, 0);
    _nx_packet_data_append(pk, text.data(), uint32_t(text.size()), &pool, 0);
    return pk;
}

void BM_DigestCheck(benchmark::State &s) {
    NX_PACKET *pk = Request(
        "GET /index.htm HTTP/1.1\r\nHost: 10.77.0.2\r\nAuthorization: Digest username=\"admin\", "
        "realm=\"Controller HTTP Server\", nonce=\"c9e1f0a7b3d5e2c8f4a6b0d9e7c1a3f5b2d\", uri=\"/index.htm\", "
        "qop=auth, nc=00000001, cnonce=\"0a4f113b\", response=\"8201fa5e72ab0ec174e0c54fe53b3f43\"\r\n\r\n");
    Counting c;
    for (auto _ : s) {
        const uint32_t st =
            _nx_http_server_digest_authenticate(&server, pk, "admin", "secret", "Controller HTTP Server");
        if (st != 0) s.SkipWithError("refused");
    }
    c.Report(s);
    _nx_packet_release(pk);
}
BENCHMARK(BM_DigestCheck);

void BM_RegisterPage(benchmark::State &s) {
    char page[256];
    uint32_t len = 0;
    Counting c;
    for (auto _ : s) {
        HttpRegPage("R100", "INT", "", "", "5", "4", "Courier New", "#FF0000", page, len);
        benchmark::DoNotOptimize(page);
    }
    c.Report(s);
}
BENCHMARK(BM_RegisterPage);

std::vector<uint8_t> Offer() {
    std::vector<uint8_t> msg(300, 0);
    msg[0] = 2;
    msg[7] = 1;
    msg[16] = 10, msg[17] = 77, msg[19] = 55;
    const uint8_t o[] = {99, 130, 83, 99, 53, 1,  2, 1, 4,  255, 255, 255, 0, 3, 4,  10, 77,
                         0,  1,   6,  4,  10, 77, 0, 3, 54, 4,   10,  77,  0, 3, 51, 4,  0,
                         0,  2,   88, 58, 4,  0,  0, 1, 44, 59,  4,   0,   0, 2, 13, 255};
    std::memcpy(&msg[236], o, sizeof o);
    std::vector<uint8_t> dg(28 + msg.size(), 0);
    dg[0] = 0x45;
    BE_Put16(&dg[2], uint16_t(dg.size()));
    dg[8] = 64, dg[9] = 17;
    dg[12] = 10, dg[13] = 77, dg[15] = 3;
    dg[16] = dg[17] = dg[18] = dg[19] = 255;
    uint32_t acc = 0;
    for (int i = 0; i < 20; i += 2) acc += uint32_t(dg[i] << 8 | dg[i + 1]);
    while (acc >> 16) acc = (acc & 0xFFFF) + (acc >> 16);
    BE_Put16(&dg[10], uint16_t(~acc));
    BE_Put16(&dg[20], 67);
    BE_Put16(&dg[22], 68);
    BE_Put16(&dg[24], uint16_t(dg.size() - 20));
    std::memcpy(&dg[28], msg.data(), msg.size());
    return dg;
}

void BM_DhcpParse(benchmark::State &s) {
    const auto dg = Offer();
    Counting c;
    for (auto _ : s) {
        if (!DhcpTakeDatagram(0, dg.data(), dg.size())) s.SkipWithError("refused");
        benchmark::DoNotOptimize(DhcpReplyType(0));
        procOfferAckPacket(0);
    }
    c.Report(s);
}
BENCHMARK(BM_DhcpParse);

void BM_DnsParse(benchmark::State &s) {
    uint8_t q[1024];
    const uint32_t n = DnsBuildQuery("broker.plc.test", 0x1234, q);
    std::vector<uint8_t> a(q, q + n);
    a[2] = 0x81, a[3] = 0x80, a[7] = 2;
    const uint8_t aaaa[] = {0xC0, 12, 0, 28, 0, 1, 0, 0, 0, 60, 0, 16, 0xfd, 0,
                            0,    0,  0, 0,  0, 0, 0, 0, 0, 0,  0, 0,  0,    1};
    const uint8_t rec[] = {0xC0, 12, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4, 10, 77, 0, 42};
    a.insert(a.end(), aaaa, aaaa + sizeof aaaa);
    a.insert(a.end(), rec, rec + sizeof rec);
    uint32_t addr = 0;
    Counting c;
    for (auto _ : s) {
        if (!DnsParseAnswer(a.data(), a.size(), 0x1234, &addr)) s.SkipWithError("refused");
        benchmark::DoNotOptimize(addr);
    }
    c.Report(s);
}
BENCHMARK(BM_DnsParse);

}  // namespace

BENCHMARK_MAIN();
