// SP5 file transfer of 64 KB over a pseudo-terminal pair made by socat: the
// file-transfer master on one end, the slave on the other, polled in turn
// in this process, as fast as the line lets them.
//   BM_Sp5Upload64K:   the master fetches a 64 KB file of the slave's folder.
//   BM_Sp5Download64K: the master sends a 64 KB file to the slave's folder.
// bench_sp5_link.py runs lrzsz's sz/rz over the same kind of pair for the
// comparison.
#include <benchmark/benchmark.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "iec/services/z7sp5.h"
#include "iec/services/z7svc.h"
#include "platform/plat.h"

namespace {
Z7SP5Ft slave, master;
std::string root;

// A socat pty pair: its process id and both ends opened without waiting.
struct PtyPair {
    pid_t pid = -1;
    int a = -1, b = -1;
    bool Open() {
        const std::string la = root + "/ptyA", lb = root + "/ptyB";
        unlink(la.c_str());
        unlink(lb.c_str());
        pid = fork();
        if (pid == 0) {
            const std::string x = "pty,raw,echo=0,link=" + la, y = "pty,raw,echo=0,link=" + lb;
            execlp("socat", "socat", x.c_str(), y.c_str(), static_cast<char *>(nullptr));
            _exit(127);
        }
        for (int i = 0; i < 500 && (a < 0 || b < 0); i++) {
            usleep(10000);  // socat makes both links
            if (a < 0) a = open(la.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY);
            if (b < 0) b = open(lb.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY);
        }
        return a >= 0 && b >= 0;
    }
    ~PtyPair() {
        if (a >= 0) close(a);
        if (b >= 0) close(b);
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
    }
};

void Setup() {
    if (!root.empty()) return;
    char tmpl[] = "/tmp/bench-sp5-XXXXXX";
    const char *d = mkdtemp(tmpl);
    root = d ? d : "/tmp";
    setenv("PLC_ROOT", root.c_str(), 1);
    PLAT_Init(0, nullptr);
    mkdir((root + "/mnt").c_str(), 0755);
    mkdir((root + "/mnt/cfg").c_str(), 0755);
    FILE *f = std::fopen((root + "/mnt/cfg/big.bin").c_str(), "wb");
    for (int i = 0; f && i < 65536; i++) std::fputc((i * 13 + i / 1000) & 0xFF, f);
    if (f) std::fclose(f);
}

uint32_t Now() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint32_t(ts.tv_sec * 1000 + ts.tv_nsec / 1000000);
}

void Run(benchmark::State &state, bool upload) {
    Setup();
    for (auto _ : state) {
        PtyPair p;
        if (!p.Open()) {
            state.SkipWithError("no socat pair");
            return;
        }
        Z7SP5Ftls_Open(&slave, 0x0123, "B");
        slave.tl.dl.frm.serial = p.a;
        Z7SP5Ftlm_Open(&master, "B", 0x0123, 500, 5);
        master.tl.dl.frm.serial = p.b;
        unlink((root + "/mnt/cfg/local.bin").c_str());
        const uint32_t ok = upload ? Z7SP5Ftlm_RcvFile(&master, "/mnt/cfg/local.bin", "big.bin", "", Now())
                                   : Z7SP5Ftlm_SendFile(&master, "/mnt/cfg/big.bin", "copy.bin", "", Now());
        uint32_t status = 0xEE;
        for (uint32_t t0 = Now(); ok && Now() - t0 < 60000;) {
            Z7SP5Ftls_Listen(&slave, nullptr, 0);
            if (Z7SP5Ftlm_GetAnswer(&master, Now(), &status)) break;
        }
        if (status != 0) state.SkipWithError("transfer failed");
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * 65536);
}
void BM_Sp5Upload64K(benchmark::State &state) { Run(state, true); }
void BM_Sp5Download64K(benchmark::State &state) { Run(state, false); }
BENCHMARK(BM_Sp5Upload64K)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Sp5Download64K)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
}  // namespace

BENCHMARK_MAIN();
