// MQTT and e-mail: a supervisor pass over 8 idle connections, an SMTP reply
// parse, and the publish rate of one connection (128 QoS-0 items of 100
// bytes a pass, 10 s) to a mosquitto broker on loopback against
// mosquitto_pub -l on the same broker in the same run (counter "ratio").
// Heap allocations in the supervisor pass and the parse must stay 0.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench/alloc_count.h"
#include "core/image/bytes.h"
#include "core/image/plcreg.h"
#include "core/storage/memfile.h"
#include "messaging/email.h"
#include "messaging/mqtt.h"
#include "tests/support/proc_root.h"

namespace {

constexpr uint32_t kR100 = 32768 + 16 * 99;

// D with `count` broker records at 64 (plain, fixed 127.0.0.1, port).
void Config(uint32_t count, uint16_t port, uint32_t enable_ref) {
    std::vector<uint8_t> d(64 + 184 * count, 0);
    LE_Put16(&d[2], 64);
    LE_Put32(&d[12], kR100);
    LE_Put32(&d[16], enable_ref);
    d[20] = uint8_t(count);
    LE_Put32(&d[32], uint32_t(d.size()));
    LE_Put32(&d[36], uint32_t(d.size()));
    for (uint32_t i = 0; i < count; i++) {
        uint8_t *r = &d[64 + 184 * i];
        r[4] = uint8_t(i);
        r[5] = 0x44;  // clean session, publish only
        r[7] = 1;
        LE_Put16(r + 12, port);
        LE_Put16(r + 14, 4);
        LE_Put32(r + 24, 30);
        LE_Put32(r + 60, 0x7F000001);
    }
    mqtt_tbl.fill(0);
    LE_Put32(&mqtt_tbl[4], uint32_t(d.size()));
    std::memcpy(&mqtt_tbl[8], d.data(), d.size());
}

void IdlePass(benchmark::State &st) {
    Config(8, 1883, 0);
    LE_Put16(&plc_reg[2 * W_MODE], 2);
    iiotConfig.lib_state = 2;
    for (mqttConnection &c : iiotConfig.conn) {
        c.state = 10;
        c.follow = 4;
    }
    mqttStateLoop();
    bench_alloc::count = 0;
    bench_alloc::counting = true;
    for (auto _ : st) mqttStateLoop();
    bench_alloc::counting = false;
    st.counters["allocs"] = double(bench_alloc::count);
    iiotConfig.lib_state = 0;
}
BENCHMARK(IdlePass);

void ReplyParse(benchmark::State &st) {
    static const char kReply[] = "250-plc.test.lan\r\n250-SIZE 33554432\r\n250-8BITMIME\r\n250 HELP\r\n";
    bench_alloc::count = 0;
    bench_alloc::counting = true;
    for (auto _ : st) {
        uint32_t used = 0;
        benchmark::DoNotOptimize(EtnEmailReply(kReply, sizeof kReply - 1, &used));
    }
    bench_alloc::counting = false;
    st.counters["allocs"] = double(bench_alloc::count);
}
BENCHMARK(ReplyParse);

// ---- publish rate against mosquitto_pub -------------------------------------------------
pid_t Spawn(const std::vector<std::string> &args, int in_fd) {
    const pid_t p = fork();
    if (p == 0) {
        if (in_fd >= 0) dup2(in_fd, 0);
        const int null = ::open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        std::vector<char *> v;
        for (const std::string &a : args) v.push_back(const_cast<char *>(a.c_str()));
        v.push_back(nullptr);
        execvp(v[0], v.data());
        _exit(127);
    }
    return p;
}

void End(pid_t p) {
    if (p <= 0) return;
    kill(p, SIGTERM);
    waitpid(p, nullptr, 0);
}

// The payload library of the measurement: the items are written once, and
// each scan marks the sent ones ready again.
void Fill(mqttPubItem *items) {
    for (unsigned k = 0; k < MQTT_ITEMS; k++) {
        mqttPubItem &it = items[k];
        std::snprintf(it.topic, sizeof it.topic, "bench/%u", k);
        std::memset(it.payload, 'p', 100);
        it.length = 100;
        it.qos = 0;
        it.flag = 1;
    }
}
void BenchInit(dlLinkDpcConfig *) {}
void BenchScan(uint32_t, mqttPubItem *items, mqttSubEntry *) {
    for (unsigned k = 0; k < MQTT_ITEMS; k++)
        if (items[k].flag != 1) items[k].flag = 1;
}

void PublishRate(benchmark::State &st) {
    const uint16_t port = uint16_t(20000 + getpid() % 20000);
    const pid_t broker = Spawn({"mosquitto", "-p", std::to_string(port)}, -1);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const auto window = std::chrono::seconds(10);
    double ours = 0, theirs = 0;
    for (auto _ : st) {
        // Ours: one connection, 128 items re-armed by the scan every pass.
        Config(1, port, 0);
        LE_Put16(&plc_reg[2 * W_MODE], 2);
        iiotConfig.lib_state = 0;
        readConfigNvram(2);
        iiotConfig.enable = 1;
        if (!dynamicLibInit()) {
            st.SkipWithError("no libmosquitto");
            break;
        }
        mqttLibInit();
        iiotConfig.lib_state = 2;
        mqttConnection &c = iiotConfig.conn[0];
        c.dlInit = BenchInit;
        c.dlScanFirst = c.dlScan = BenchScan;
        c.published = 0;
        Fill(c.items);
        // The enable bit reads 0 from reference 0: hold it on by hand.
        const auto t0 = std::chrono::steady_clock::now();
        uint32_t at_start = 0;
        bool counting = false;
        auto start = t0;
        while (std::chrono::steady_clock::now() - t0 < window + std::chrono::seconds(5)) {
            iiotConfig.enable = 1;
            mqttConnStep(0);
            if (!counting && c.connected) {
                counting = true;
                start = std::chrono::steady_clock::now();
                at_start = c.published;
            }
            if (counting && std::chrono::steady_clock::now() - start >= window) break;
        }
        const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        ours = counting ? (c.published - at_start) / secs : 0;
        mqttClientDisconnect(c);
        mqttClientStop(c);
        mqttClientDestroy(c);
        c.state = 0;
        c.loop_running = 0;

        // Theirs: mosquitto_pub -l fed 100-byte lines as fast as it takes them.
        int fds[2];
        if (pipe(fds) != 0) break;
        const pid_t pub =
            Spawn({"mosquitto_pub", "-p", std::to_string(port), "-t", "bench/l", "-l", "-q", "0"}, fds[0]);
        close(fds[0]);
        std::string line(100, 'p');
        line += '\n';
        uint64_t lines = 0;
        const auto s2 = std::chrono::steady_clock::now();
        while (std::chrono::steady_clock::now() - s2 < window) {
            if (write(fds[1], line.data(), line.size()) != ssize_t(line.size())) break;
            lines++;
        }
        close(fds[1]);
        const double s2secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - s2).count();
        End(pub);
        theirs = lines / s2secs;
    }
    End(broker);
    st.counters["ours_msgs_s"] = ours;
    st.counters["mosquitto_pub_msgs_s"] = theirs;
    st.counters["ratio"] = theirs > 0 ? ours / theirs : 0;
}
BENCHMARK(PublishRate)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

int main(int argc, char **argv) {
    static char root[] = "/tmp/plc-bench-mqtt-XXXXXX";
    test_support::ProgramRoot(root, "bench_mqtt");
    signal(SIGPIPE, SIG_IGN);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
