// The fatal-signal path from start to reset in a child process each, with a
// lock of the interrupted program held: the command log (a shell line blocked
// on it), a register save (blocked on its temporary file), the stdio lock of
// standard output. Every run ends in the warm reset (status 3 under
// PLC_RESET=exit), with the registers saved.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "core/storage/memfile.h"
#include "core/image/plcreg.h"
#include "exec/sys.h"
#include "platform/plat.h"
#include "tests/support/fake_clock.h"

namespace fs = std::filesystem;

namespace {

enum class Held { Log, Save, Stdio };

// Whether thread tid of this process comes to sleep within 5 s in openat()
// of the file whose path ends with name (a FIFO nobody reads: it stays there).
bool InOpen(pid_t tid, const std::string &name) {
    const std::string at = "/proc/self/task/" + std::to_string(tid) + "/syscall";
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    do {
        std::ifstream f(at);
        long nr = -1;
        std::string dir, path;
        if (f >> nr >> dir >> path && nr == SYS_openat) {
            // The path argument lies in this process: the blocked thread's buffer.
            const std::string opened = reinterpret_cast<const char *>(std::stoull(path, nullptr, 16));
            if (opened.size() >= name.size() && opened.compare(opened.size() - name.size(), name.size(), name) == 0)
                return true;
        }
        std::this_thread::yield();
    } while (std::chrono::steady_clock::now() < end);
    return false;
}

std::promise<pid_t> *save_told;

std::string Slurp(const std::string &p) {
    std::ifstream f(p, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

// In the child: a controller's start-up pieces on its own root, the lock
// taken by a second thread, then the fault on the main thread.
[[noreturn]] void FaultWithLockHeld(const std::string &root, Held held, int sig) {
    const int out = open((root + "/console").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(out, STDOUT_FILENO);
    setenv("PLC_ROOT", root.c_str(), 1);
    setenv("PLC_RESET", "exit", 1);
    PLAT_Init(0, nullptr);
    PLAT_MakeBoardFolders();
    std::ofstream(root + "/mnt/cfg/autoreg.dta") << "old";
    char product[64];
    SYS_Init(product);
    plc_reg[100] = 0x5A;

    // The second thread tells its id once it holds the lock, or just before
    // the call that takes it and then waits in open() on a FIFO nobody
    // reads; in that case the fault comes once the thread sleeps there.
    std::promise<pid_t> told;
    std::future<pid_t> tid = told.get_future();
    std::string fifo;
    switch (held) {
    case Held::Log:
        fifo = "/sim/commands.log";
        mkfifo((root + fifo).c_str(), 0644);  // nobody reads: the writer waits
        std::thread([&told] {
            told.set_value(gettid());
            PLAT_System("mkdir /mnt/cfg/job");
        }).detach();
        break;
    case Held::Save:
        // A store's temporary file is never a FIFO it could wait on: the
        // save stops in the hook, its lock held.
        save_told = &told;
        MF_SaveLockedHook = [] {
            save_told->set_value(gettid());
            for (;;) pause();
        };
        std::thread([] { AutoSaveRegisters(); }).detach();
        break;
    case Held::Stdio:
        std::printf("buffered line\n");  // still in the stream's buffer
        std::thread([&told] {
            flockfile(stdout);
            told.set_value(gettid());
            for (;;) pause();
        }).detach();
        break;
    }
    const pid_t id = tid.get();
    if (!fifo.empty() && !InOpen(id, fifo)) {
        std::printf("the second thread never waited on %s\n", fifo.c_str());
        std::fflush(stdout);
        _exit(98);
    }
    // The countdown's 59 s pass on a clock that moves 200 ms at each reading.
    test_support::FakeClock clock;
    test_support::Fake().step_ns = 200000000;
    raise(sig);
    _exit(99);  // the handler never returns
}

TEST(ExecFatal, AFaultWithAnyLockHeldStillEndsInTheReset) {
    struct Run {
        Held held;
        int sig;
        std::string root;
        pid_t pid;
    };
    std::vector<Run> runs = {{Held::Log, SIGSEGV, "", 0}, {Held::Save, SIGBUS, "", 0}, {Held::Stdio, SIGILL, "", 0}};
    for (Run &r : runs) {
        char tmpl[] = "/tmp/plc-fatal-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        r.root = tmpl;
        std::fflush(stdout);
        r.pid = fork();
        ASSERT_GE(r.pid, 0);
        if (r.pid == 0) FaultWithLockHeld(r.root, r.held, r.sig);
    }
    // A hung path never ends and is killed here.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (Run &r : runs) {
        int status = 0;
        pid_t got = 0;
        while ((got = waitpid(r.pid, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (got == 0) {
            kill(r.pid, SIGKILL);
            waitpid(r.pid, &status, 0);
        }
        const std::string console = Slurp(r.root + "/console");
        SCOPED_TRACE(console);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 3) << "status " << status;
        EXPECT_NE(console.find("System Exception Occurred\n"), std::string::npos);
        // One line a second, from 58 down to 00, each once, in order.
        std::string countdown;
        for (int c = 58; c >= 0; c--) countdown += "Reset in:" + std::to_string(c / 10) + std::to_string(c % 10) + "\n";
        EXPECT_NE(console.find(countdown), std::string::npos);
        EXPECT_EQ(console.find("Reset in:59"), std::string::npos);
        const std::string regs = Slurp(r.root + "/mnt/cfg/autoreg.dta");
        EXPECT_EQ(regs.size(), PLC_REG_SIZE);
        EXPECT_EQ(regs.size() > 100 ? uint8_t(regs[100]) : 0, 0x5A);
        EXPECT_NE(Slurp(r.root + "/mnt/cfg/logfile").size(), 0u);  // the backtrace
        EXPECT_EQ(Slurp(r.root + "/sim/leds").find("OK "), 0u);    // flashing during the countdown
        fs::remove_all(r.root);
    }
}

}  // namespace
