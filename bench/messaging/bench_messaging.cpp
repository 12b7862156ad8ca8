// Messaging: the AT script engine on a 1,024-byte answer, a 21-field command
// parse, an idle supervisor pass, a scan with six idle Talk blocks against
// the same scan without them, and Talk sends through the serial driver to a
// pseudo-terminal at 115200 baud (bytes per second against the line rate of
// 11,520 bytes per second). Heap allocations while measuring must stay 0.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstring>
#include <fcntl.h>
#include <pty.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "bench/alloc_count.h"
#include "io/vcomm.h"
#include "core/image/bytes.h"
#include "core/image/plcreg.h"
#include "core/storage/memfile.h"
#include "core/storage/nvram.h"
#include "exec/hooks.h"
#include "fuzz/msg_fuzz_port.h"
#include "ladder/ladder.h"
#include "messaging/atcmd.h"
#include "messaging/sms.h"
#include "messaging/talk.h"
#include "tests/support/proc_root.h"

namespace {

constexpr uint16_t M1 = 14336;
constexpr uint16_t R(uint32_t n) { return uint16_t(32768 + 16 * (n - 1)); }

std::string answer1024;

void AtHandler(benchmark::State &st) {
    answer1024 = "\r\n+CMGL: 3,\"REC UNREAD\",\"+4915112345678\",,\"24/01/01,12:00:00+04\"\r\n";
    while (answer1024.size() < 1018) answer1024 += 'a';
    answer1024 += "\r\nOK\r\n";
    std::array<uint8_t, 1100> buf{};
    bench_alloc::counting = true;
    for (auto _ : st) {
        msg_fuzz::Install(reinterpret_cast<const uint8_t *>(answer1024.data()), answer1024.size());
        at_status.phase = AT_PH_WAIT;
        AT_Load(at_cmd.data(), 37, 2, buf.data(), 1100);
        at_status.phase = AT_PH_WAIT;
        at_status.timeout = 100000;
        benchmark::DoNotOptimize(AT_Cmd_Handler(&at_cmd[37]));
    }
    bench_alloc::counting = false;
    st.counters["allocs"] = double(bench_alloc::count.exchange(0));
}

void Parse21(benchmark::State &st) {
    // Template of 21 two-digit fields "A00 B00 ..." and a matching text.
    std::string tpl, text, list;
    std::vector<uint8_t> fields;
    for (int i = 0; i < 21; i++) {
        list += std::to_string(tpl.size() + 1) + ":" + std::to_string(i) + ":";
        tpl += char('A' + i);
        tpl += "xx ";
        text += char('a' + i);
        text += std::to_string(10 + i) + " ";
        uint8_t f[12] = {};
        LE_Put32(f, R(300 + i));
        f[4] = 16, f[5] = 4, f[6] = 2;
        fields.insert(fields.end(), f, f + 12);
    }
    tpl.resize(tpl.size() - 1);
    std::vector<uint8_t> s(100, 0);
    std::string strings = tpl + list;
    std::memcpy(&s[4], "1VMS", 4);
    const uint32_t base = 1000;
    std::vector<uint8_t> rx(16, 0), lists(8, 0);
    LE_Put32(&rx[0], 0);
    LE_Put32(&rx[4], uint32_t(tpl.size()));
    rx[9] = 1;
    LE_Put32(&lists[0], uint32_t(tpl.size()));
    LE_Put32(&lists[4], uint32_t(list.size()));
    const uint32_t rx_at = 0, f_at = 16, s_at = uint32_t(16 + fields.size() + 8);
    LE_Put32(&s[8], base);
    LE_Put32(&s[16], base + rx_at);
    LE_Put32(&s[20], 16);
    LE_Put32(&s[24], base + f_at);
    LE_Put32(&s[32], base + f_at);
    LE_Put32(&s[36], uint32_t(fields.size()));
    LE_Put32(&s[40], base + s_at);
    LE_Put32(&s[44], uint32_t(strings.size()));
    s.insert(s.end(), rx.begin(), rx.end());
    s.insert(s.end(), fields.begin(), fields.end());
    s.insert(s.end(), lists.begin(), lists.end());
    s.insert(s.end(), strings.begin(), strings.end());
    LE_Put32(&s[0], uint32_t(s.size()));
    sms_table_bl.fill(0);
    LE_Put32(&sms_table_bl[4], uint32_t(s.size()));
    std::memcpy(&sms_table_bl[8], s.data(), s.size());
    NV_EditorFeatures |= NVF_SMS;
    SMS_Start();
    if (!Sms_MagicIs1VMS()) st.SkipWithError("block refused");
    char ans[168];
    uint8_t rv;
    bench_alloc::counting = true;
    for (auto _ : st) benchmark::DoNotOptimize(ParseSMS(0, text.data(), uint32_t(text.size()), ans, sizeof ans, &rv));
    bench_alloc::counting = false;
    st.counters["allocs"] = double(bench_alloc::count.exchange(0));
    if (PlcWord((R(320) - 1024) / 16) != 30) st.SkipWithError("fields not applied");
}

void CycleIdle(benchmark::State &st) {
    msg_fuzz::Install(nullptr, 0);
    GSMGPRSInfo_St.marker = GSM_MARKER;
    at_status = AtStatus{};
    at_status.state = AT_ST_READY;
    at_status.status = 1;
    at_status.socket = 0xFF;
    TelitPowerON = 1;
    GSMGPRSInfo_St.b[1] = 4;
    ATPort = 2;
    ComportCfg = {5, 0, 3, 0, 0, 2};
    msg_fuzz::mode[0] = 5;
    ModemTimer(&at_status.tick_at, 0);
    bench_alloc::counting = true;
    for (auto _ : st) ModemCycle();
    bench_alloc::counting = false;
    st.counters["allocs"] = double(bench_alloc::count.exchange(0));
}

void LoadProgram(const std::vector<uint16_t> &w) {
    MF_SetHeader(ladder_bl.data(), 0, uint32_t(2 * w.size()));
    for (std::size_t i = 0; i < w.size(); i++) LE_Put16(ladder_bl.data() + MF_HDR + 2 * i, w[i]);
    NV_EditorFeatures = 0x8000;
    plc_reg[SBITS_LO] |= S_FIRST_SCAN;
    LogicUpdate();
    plc_reg[SBITS_LO] &= uint8_t(~S_FIRST_SCAN);
}

// rungs of contact and coil, with or without six idle Talk sends.
void Scan(benchmark::State &st, bool talk, int rungs) {
    Exec_LinkMessaging();
    std::vector<uint16_t> p;
    for (int i = 0; i < rungs; i++) p.insert(p.end(), {uint16_t(M1 + 2 * i), 38, uint16_t(M1 + 2 * i + 1)});
    if (talk)
        for (int k = 0; k < 6; k++)
            p.insert(p.end(), {uint16_t(10240 + 1000), 133, 0, 5, R(10), R(20 + k), 38, uint16_t(10240 + 1001 + k)});
    p.push_back(9);
    LoadProgram(p);
    bench_alloc::counting = true;
    for (auto _ : st) benchmark::DoNotOptimize(LogicUpdate());
    bench_alloc::counting = false;
    st.counters["allocs"] = double(bench_alloc::count.exchange(0));
}

void TalkPty(benchmark::State &st) {
    static char tmpl[] = "/tmp/bench-msg-XXXXXX";
    static const char *root = test_support::ProgramRoot(tmpl, "bench_messaging");
    int master = -1, slave = -1;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
        st.SkipWithError("no pty");
        return;
    }
    std::string link = std::string(root) + "/dev/ttySP0";
    unlink(link.c_str());
    if (symlink(ttyname(slave), link.c_str()) != 0) st.SkipWithError("no link");
    Exec_LinkMessaging();
    SCI2_Init(0);
    const uint8_t mode[6] = {9, 0, 3, 0, 0, 2};
    Vcomm_Drv[0].Open(0, mode);
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> got{0};
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    std::thread drain([&] {
        uint8_t b[4096];
        while (!stop) {
            const ssize_t n = read(master, b, sizeof b);
            if (n > 0)
                got += uint64_t(n);
            else
                usleep(200);
        }
    });
    for (int i = 0; i < 255; i++) plc_reg[(R(10) - 1024) / 8 + i] = uint8_t('A' + i % 26);
    const uint16_t code[5] = {0, 255, R(10), R(20), 0};
    uint8_t words[10];
    for (int i = 0; i < 5; i++) LE_Put16(words + 2 * i, code[i]);
    RegTokLen_16b = 1;
    Talk.opened = 1;
    uint64_t sent = 0;
    for (auto _ : st) {
        PlcWordSet((R(20) - 1024) / 16, 0xFFFF);
        LadCursor c{words, 0, 4, 0};
        IEC_TalkSend(&c, 1, 0);
        sent += PlcWord((R(20) - 1024) / 16);
    }
    st.SetBytesProcessed(int64_t(sent));
    st.counters["line_rate_Bps"] = 11520;
    usleep(200000);
    stop = true;
    close(slave);
    close(master);
    drain.join();
    st.counters["received"] = double(got.load());
}

}  // namespace

BENCHMARK(AtHandler);
BENCHMARK(Parse21);
BENCHMARK(CycleIdle);
BENCHMARK_CAPTURE(Scan, plain_200, false, 200);
BENCHMARK_CAPTURE(Scan, six_idle_talk_blocks_200, true, 200);
BENCHMARK_CAPTURE(Scan, plain_1000, false, 1000);
BENCHMARK_CAPTURE(Scan, six_idle_talk_blocks_1000, true, 1000);
BENCHMARK(TalkPty)->Iterations(2000);
BENCHMARK_MAIN();
