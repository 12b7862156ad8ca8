// Host side of the hardware seams: the root folder, the shell seam with its
// log, child processes, panel files, the stand-in clock, SoC window, watchdog
// and reset.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "platform/plat.h"
#include "platform/plat_assert.h"
#include "platform/plat_can.h"
#include "platform/plat_net.h"
#include "platform/plat_tls.h"

namespace fs = std::filesystem;

namespace {

std::string Root() {
    static std::string root = [] {
        static char tmpl[] = "/tmp/plc-found-plat-XXXXXX";
        const char *d = mkdtemp(tmpl);
        if (d == nullptr) std::abort();
        std::atexit([] { fs::remove_all(tmpl); });
        return std::string(d);
    }();
    return root;
}

void UseRoot(const std::string &r) {
    setenv("PLC_ROOT", r.c_str(), 1);
    PLAT_Init(0, nullptr);
}

std::string Slurp(const std::string &p) {
    std::ifstream f(p);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

std::vector<std::string> Lines(const std::string &p) {
    std::vector<std::string> out;
    std::ifstream f(p);
    for (std::string l; std::getline(f, l);) out.push_back(l);
    return out;
}

class Platform : public ::testing::Test {
protected:
    void SetUp() override {
        UseRoot(Root());
        PLAT_MakeBoardFolders();
    }
    static std::string Under(const char *abs) { return Root() + abs; }
};

// Must run before anything reads the offset: it is taken once per process.
TEST(PlatformTimeBase, OffsetComesFromTheEnvironment) {
    setenv("PLC_FRT_OFFSET", "4294960000", 1);
    EXPECT_EQ(plat_time_host.frt_offset(), 4294960000u);
    setenv("PLC_FRT_OFFSET", "5", 1);
    EXPECT_EQ(plat_time_host.frt_offset(), 4294960000u);  // read once
    setenv("PLC_MS_OFFSET", "0xFFFF0000", 1);
    EXPECT_EQ(plat_time_host.ms_offset(), 0xFFFF0000u);
    setenv("PLC_MS_OFFSET", "5", 1);
    EXPECT_EQ(plat_time_host.ms_offset(), 0xFFFF0000u);  // read once
    struct timespec a {
    }, b{};
    plat_time_host.mono(&a);
    plat_time_host.mono(&b);
    EXPECT_GE(int64_t(b.tv_sec) * 1000000000 + b.tv_nsec, int64_t(a.tv_sec) * 1000000000 + a.tv_nsec);
}

// ---- root folder -------------------------------------------------------------------------

TEST_F(Platform, PathsAreResolvedUnderTheRoot) {
    UseRoot(Root() + "//");  // trailing slashes do not count
    EXPECT_EQ(std::string(PLAT_Root()), Root());
    char out[512];
    ASSERT_NE(PLAT_Path("/mnt/cfg/ladder.pgm", out, sizeof out), nullptr);
    EXPECT_EQ(std::string(out), Root() + "/mnt/cfg/ladder.pgm");
    ASSERT_NE(PLAT_Path("/dev/shm/read.dat", out, sizeof out), nullptr);
    EXPECT_EQ(std::string(out), Root() + "/dev/shm/read.dat");
    ASSERT_NE(PLAT_Path("relative/name", out, sizeof out), nullptr);
    EXPECT_STREQ(out, "relative/name");
    // A result that does not fit is refused, never cut.
    char small[16];
    std::memset(small, 'x', sizeof small);
    EXPECT_EQ(PLAT_Path("/mnt/cfg/ladder.pgm", small, sizeof small), nullptr);
    EXPECT_EQ(small[0], 0);
    const std::string exact = "/" + std::string(sizeof out - Root().size() - 2, 'a');
    EXPECT_NE(PLAT_Path(exact.c_str(), out, sizeof out), nullptr);
    EXPECT_EQ(PLAT_Path((exact + "a").c_str(), out, sizeof out), nullptr);
    EXPECT_EQ(PLAT_Path(nullptr, out, sizeof out), nullptr);
    EXPECT_EQ(PLAT_Path("/x", nullptr, 10), nullptr);
    EXPECT_EQ(PLAT_Path("/x", out, 0), nullptr);
    EXPECT_EQ(PLAT_IsBoard(), 0);
}

TEST_F(Platform, BoardFoldersButNoRemovableMedia) {
    EXPECT_TRUE(fs::is_directory(Under("/dev/shm")));
    EXPECT_TRUE(fs::is_directory(Under("/mnt/cfg")));
    EXPECT_TRUE(fs::is_directory(Under("/sim")));
    EXPECT_FALSE(fs::exists(Under("/mnt/USB0")));
    EXPECT_FALSE(fs::exists(Under("/mnt/USB1")));
}

// A host-bus open that fails names its step: a name that cannot be an
// interface's, then no endpoint left; a success leaves the others open.
TEST_F(Platform, CanOpenNamesTheStepThatFailed) {
    const PlatCanOps *saved = plat_can;
    plat_can = &plat_can_host;
    EXPECT_EQ(PLAT_CanOpen("a/b"), -1);
    EXPECT_EQ(plat_can_open_step, PLAT_CAN_STEP_INTERFACE);
    EXPECT_EQ(PLAT_CanOpen("can0123456789abc"), -1);  // 16 characters
    EXPECT_EQ(plat_can_open_step, PLAT_CAN_STEP_INTERFACE);
    std::vector<int> eps;
    for (unsigned i = 0; i < PLAT_CAN_ENDPOINTS; i++) eps.push_back(PLAT_CanOpen("can0"));
    for (int ep : eps) EXPECT_GE(ep, 0);
    errno = 0;
    EXPECT_EQ(PLAT_CanOpen("can0"), -1);
    EXPECT_EQ(plat_can_open_step, PLAT_CAN_STEP_SOCKET);
    EXPECT_EQ(errno, EMFILE);
    for (int ep : eps) PLAT_CanClose(ep);
    plat_can = saved;
}

// ---- shell seam ----------------------------------------------------------------------------

TEST_F(Platform, EveryCommandLineIsLogged) {
    fs::remove(Under("/sim/commands.log"));
    EXPECT_EQ(PLAT_System("mount -t vfat /dev/mmcblk0p1 /mnt/USB0"), 0);
    EXPECT_EQ(PLAT_System("echo 1 > /proc/sys/vm/drop_caches"), 0);
    FILE *f = PLAT_Popen("ifconfig eth0", "r");
    ASSERT_NE(f, nullptr);
    PLAT_Pclose(f);
    EXPECT_EQ(Lines(Under("/sim/commands.log")),
              (std::vector<std::string>{"mount -t vfat /dev/mmcblk0p1 /mnt/USB0", "echo 1 > /proc/sys/vm/drop_caches",
                                        "ifconfig eth0"}));
    // Machine commands are only logged: nothing was mounted or created.
    EXPECT_FALSE(fs::exists(Under("/mnt/USB0")));
}

TEST_F(Platform, FileCommandsRunUnderTheRoot) {
    EXPECT_EQ(PLAT_System("mkdir -p /mnt/cfg/job/sub"), 0);
    EXPECT_TRUE(fs::is_directory(Under("/mnt/cfg/job/sub")));
    std::ofstream(Under("/mnt/cfg/job/a.txt")) << "alpha";
    EXPECT_EQ(PLAT_System("cp /mnt/cfg/job/a.txt /mnt/cfg/job/sub/b.txt"), 0);
    EXPECT_EQ(Slurp(Under("/mnt/cfg/job/sub/b.txt")), "alpha");
    // Quoted names with blanks, and quiet redirections.
    EXPECT_EQ(PLAT_System("cp \"/mnt/cfg/job/a.txt\" '/mnt/cfg/job/with blank.txt' 2>/dev/null"), 0);
    EXPECT_EQ(Slurp(Under("/mnt/cfg/job/with blank.txt")), "alpha");
    // Wildcards are expanded under the root.
    std::ofstream(Under("/mnt/cfg/job/c.tmp")) << "c";
    std::ofstream(Under("/mnt/cfg/job/d.tmp")) << "d";
    EXPECT_EQ(PLAT_System("rm -f /mnt/cfg/job/*.tmp > /dev/null"), 0);
    EXPECT_FALSE(fs::exists(Under("/mnt/cfg/job/c.tmp")));
    EXPECT_FALSE(fs::exists(Under("/mnt/cfg/job/d.tmp")));
    EXPECT_TRUE(fs::exists(Under("/mnt/cfg/job/a.txt")));
    // A failing command answers non-zero.
    EXPECT_NE(PLAT_System("cp /mnt/cfg/job/missing /mnt/cfg/job/x"), 0);
    EXPECT_EQ(PLAT_System("rm -rf /mnt/cfg/job"), 0);
    EXPECT_FALSE(fs::exists(Under("/mnt/cfg/job")));
    EXPECT_EQ(PLAT_System("sync"), 0);
}

TEST_F(Platform, FileCommandsNeverLeaveTheRoot) {
    // A sibling of the root, reachable only by climbing out of it.
    const std::string outside = Root() + "-outside";
    fs::create_directories(outside);
    std::ofstream(outside + "/keep.txt") << "keep";
    const std::string rel = "/../" + fs::path(outside).filename().string();

    EXPECT_NE(PLAT_System(("rm -rf " + rel + "/keep.txt").c_str()), 0);
    EXPECT_NE(PLAT_System(("mkdir -p /mnt/cfg" + std::string("/../..") + rel + "/new").c_str()), 0);
    EXPECT_NE(PLAT_System(("cp /mnt/cfg/../../" + rel + "/keep.txt /mnt/cfg/").c_str()), 0);
    // Shell syntax is never carried out.
    EXPECT_NE(PLAT_System(("rm -f /mnt/cfg/x; rm -rf " + outside).c_str()), 0);
    EXPECT_NE(PLAT_System(("rm -f /mnt/cfg/x && rm -rf " + outside).c_str()), 0);
    EXPECT_NE(PLAT_System(("cp /mnt/cfg/x $(rm -rf " + outside + ")").c_str()), 0);
    EXPECT_NE(PLAT_System("mkdir /mnt/cfg/unclosed\"quote"), 0);
    // Options that carry a path place it under the root, or the line is refused.
    std::ofstream(Under("/mnt/cfg/ladder.pgm")) << "program";
    fs::create_directories(Root() + outside);  // the same name inside the root
    EXPECT_EQ(PLAT_System(("cp -t" + outside + " /mnt/cfg/ladder.pgm").c_str()), 0);
    EXPECT_EQ(PLAT_System(("cp --target-directory=" + outside + " /mnt/cfg/ladder.pgm").c_str()), 0);
    EXPECT_FALSE(fs::exists(outside + "/ladder.pgm"));
    EXPECT_EQ(Slurp(Root() + outside + "/ladder.pgm"), "program");  // landed under the root
    // Climbing out through an option reaches only the test's own sibling folder.
    const std::string up = rel.substr(1);  // "../<sibling>" from the root
    EXPECT_NE(PLAT_System(("cp -t" + up + " /mnt/cfg/ladder.pgm").c_str()), 0);
    EXPECT_NE(PLAT_System(("cp --target-directory=" + up + " /mnt/cfg/ladder.pgm").c_str()), 0);
    EXPECT_NE(PLAT_System(("cp -rt/mnt/.." + outside + " /mnt/cfg/ladder.pgm").c_str()), 0);
    ASSERT_EQ(std::system(("cd " + Root() + "/mnt/cfg && zip -q pack.zip ladder.pgm").c_str()), 0);
    EXPECT_EQ(PLAT_System(("unzip -o -q /mnt/cfg/pack.zip -d" + outside + "/unz").c_str()), 0);
    EXPECT_FALSE(fs::exists(outside + "/unz"));
    EXPECT_EQ(Slurp(Root() + outside + "/unz/ladder.pgm"), "program");
    EXPECT_NE(PLAT_System(("unzip -o -q /mnt/cfg/pack.zip -d" + up).c_str()), 0);
    EXPECT_FALSE(fs::exists(outside + "/ladder.pgm"));
    fs::remove_all(Root() + "/tmp");
    fs::remove(Under("/mnt/cfg/pack.zip"));
    // Relative paths run from the root, not from the current folder.
    char cwd[512];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(outside.c_str()), 0);
    EXPECT_EQ(PLAT_System("mkdir -p relative_dir"), 0);
    ASSERT_EQ(chdir(cwd), 0);
    EXPECT_TRUE(fs::is_directory(Root() + "/relative_dir"));
    EXPECT_FALSE(fs::exists(outside + "/relative_dir"));
    EXPECT_EQ(Slurp(outside + "/keep.txt"), "keep");
    EXPECT_FALSE(fs::exists(outside + "/new"));

    // Without a root on a workstation, file commands touch nothing.
    UseRoot("");
    EXPECT_NE(PLAT_System(("mkdir -p " + outside + "/noroot").c_str()), 0);
    UseRoot(Root());
    EXPECT_FALSE(fs::exists(outside + "/noroot"));
    fs::remove_all(outside);
    fs::remove_all(Root() + "/relative_dir");
}

TEST_F(Platform, UnameGivesTheBoardKernelText) {
    unsetenv("PLC_UNAME");
    EXPECT_EQ(PLAT_System("uname -a > /dev/shm/uname.txt"), 0);
    const std::string text = Slurp(Under("/dev/shm/uname.txt"));
    EXPECT_NE(text.find("Linux"), std::string::npos) << text;
    EXPECT_EQ(text.back(), '\n');
    setenv("PLC_UNAME", "Linux board 2.6.35.3-3000 #1 armv5tejl", 1);
    EXPECT_EQ(PLAT_System("uname -a >/dev/shm/uname2.txt"), 0);
    EXPECT_EQ(Slurp(Under("/dev/shm/uname2.txt")), "Linux board 2.6.35.3-3000 #1 armv5tejl\n");
    FILE *f = PLAT_Popen("uname -a", "r");
    ASSERT_NE(f, nullptr);
    char line[128] = {};
    ASSERT_NE(fgets(line, sizeof line, f), nullptr);
    EXPECT_STREQ(line, "Linux board 2.6.35.3-3000 #1 armv5tejl\n");
    EXPECT_EQ(PLAT_Pclose(f), 0);
    unsetenv("PLC_UNAME");
    // Other streams: empty to read, writes go nowhere.
    f = PLAT_Popen("cat /proc/cpuinfo", "r");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(fgets(line, sizeof line, f), nullptr);
    PLAT_Pclose(f);
    f = PLAT_Popen("/bin/sh /opt/valmar/MasterScript.sh", "w");
    ASSERT_NE(f, nullptr);
    EXPECT_GT(std::fputs("startall\n", f), 0);
    PLAT_Pclose(f);
}

// ---- child processes ------------------------------------------------------------------------

pid_t Spawn() {
    const pid_t pid = fork();
    if (pid == 0) {
        execlp("sleep", "sleep", "30", static_cast<char *>(nullptr));
        _exit(127);
    }
    return pid;
}

bool Alive(pid_t pid) {
    int status = 0;
    return waitpid(pid, &status, WNOHANG) == 0;
}

TEST_F(Platform, KillallEndsOnlyChildrenOfThisController) {
    const pid_t ours = Spawn();
    const pid_t also_sleep = Spawn();  // same program, never registered
    const pid_t other = Spawn();
    ASSERT_GT(ours, 0);
    ASSERT_GT(also_sleep, 0);
    ASSERT_GT(other, 0);
    PLAT_ChildAdd(ours, "sleep");
    PLAT_ChildAdd(other, "vsftpd");
    EXPECT_EQ(PLAT_System("killall sleep"), 0);
    // The registered one is ended (and reaped); the unregistered one lives.
    EXPECT_EQ(kill(ours, 0), -1);
    EXPECT_EQ(errno, ESRCH);
    EXPECT_TRUE(Alive(also_sleep));
    EXPECT_TRUE(Alive(other));
    EXPECT_EQ(PLAT_System("killall -9 nothing_of_ours"), 0);
    EXPECT_TRUE(Alive(other));
    EXPECT_NE(PLAT_System("killall"), 0);
    PLAT_ChildKillAll();
    EXPECT_EQ(kill(other, 0), -1);
    EXPECT_TRUE(Alive(also_sleep));
    kill(also_sleep, SIGKILL);
    waitpid(also_sleep, nullptr, 0);
}

TEST_F(Platform, AChildThatEndedIsNeverKilledLater) {
    // A live process that is not our child stands for whatever process got
    // the id of a child that ended and was reaped by its starter.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t mid = fork();
    ASSERT_GE(mid, 0);
    if (mid == 0) {
        const pid_t g = Spawn();
        _exit(write(fds[1], &g, sizeof g) == sizeof g ? 0 : 1);
    }
    pid_t stranger = 0;
    ASSERT_EQ(read(fds[0], &stranger, sizeof stranger), ssize_t(sizeof stranger));
    waitpid(mid, nullptr, 0);
    close(fds[0]);
    close(fds[1]);
    ASSERT_EQ(kill(stranger, 0), 0);

    const pid_t pid = Spawn();
    ASSERT_GT(pid, 0);
    PLAT_ChildAdd(pid, "sleep");
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);  // reaped by its starter: the pid may be reused
    PLAT_ChildAdd(stranger, "sleep");
    PLAT_ChildKill("sleep");
    PLAT_ChildKillAll();
    EXPECT_EQ(kill(stranger, 0), 0) << "a process that is no child of ours was signalled";
    kill(stranger, SIGKILL);
}

// ---- panel, clock, SoC window ----------------------------------------------------------------

TEST_F(Platform, ButtonsAndLedsAreFiles) {
    fs::remove(Under("/sim/buttons"));
    EXPECT_EQ(PLAT_Buttons(), 0u);
    std::ofstream(Under("/sim/buttons")) << "RUN\n";
    EXPECT_EQ(PLAT_Buttons(), unsigned(PLAT_BTN_RUN));
    std::ofstream(Under("/sim/buttons")) << "LOAD\n";
    EXPECT_EQ(PLAT_Buttons(), unsigned(PLAT_BTN_LOAD));
    std::ofstream(Under("/sim/buttons")) << "RUN LOAD\n";
    EXPECT_EQ(PLAT_Buttons(), unsigned(PLAT_BTN_RUN | PLAT_BTN_LOAD));
    std::ofstream(Under("/sim/buttons")) << "";
    EXPECT_EQ(PLAT_Buttons(), 0u);

    PLAT_LedCodes(2, 11);
    PLAT_Leds(1, 0);
    EXPECT_EQ(Slurp(Under("/sim/leds")), "OK 1 2\nRUN 0 11\n");
    PLAT_Leds(0, 1);
    EXPECT_EQ(Slurp(Under("/sim/leds")), "OK 0 2\nRUN 1 11\n");
    // Unchanged states do not rewrite the file.
    fs::remove(Under("/sim/leds"));
    PLAT_Leds(0, 1);
    PLAT_LedCodes(2, 11);
    EXPECT_FALSE(fs::exists(Under("/sim/leds")));
    EXPECT_FALSE(fs::exists(Under("/sim/leds.tmp")));
}

TEST_F(Platform, ClockKeepsItsOwnOffsetInSim) {
    fs::remove(Under("/sim/rtc"));
    // Without an offset the clock reads the host's day (read again while a
    // day boundary falls between the two readings).
    struct tm t {
    }, h{};
    time_t host = 0;
    for (int tries = 0; tries < 3; tries++) {
        ASSERT_EQ(PLAT_RtcGet(&t), 0);
        host = time(nullptr);
        gmtime_r(&host, &h);
        if (t.tm_yday == h.tm_yday) break;
    }
    EXPECT_EQ(t.tm_year, h.tm_year);
    EXPECT_EQ(t.tm_yday, h.tm_yday);

    struct tm leap {};
    leap.tm_year = 2024 - 1900;
    leap.tm_mon = 1;
    leap.tm_mday = 29;
    leap.tm_hour = 23;
    leap.tm_min = 59;
    leap.tm_sec = 30;
    ASSERT_EQ(PLAT_RtcSet(&leap), 0);
    EXPECT_TRUE(fs::exists(Under("/sim/rtc")));
    struct tm back {};
    ASSERT_EQ(PLAT_RtcGet(&back), 0);
    EXPECT_EQ(back.tm_year, 124);
    EXPECT_EQ(back.tm_mon, 1);
    EXPECT_EQ(back.tm_mday, 29);
    EXPECT_EQ(back.tm_hour, 23);
    EXPECT_EQ(back.tm_min, 59);
    EXPECT_EQ(back.tm_wday, 4);  // a Thursday
    EXPECT_EQ(back.tm_yday, 59);
    EXPECT_NEAR(back.tm_sec, 30, 2);

    struct tm bad = leap;
    bad.tm_mon = 12;
    EXPECT_NE(PLAT_RtcSet(&bad), 0);
    // Far dates come back as they went in.
    struct tm old {};
    old.tm_year = 0;
    old.tm_mon = 0;
    old.tm_mday = 1;
    ASSERT_EQ(PLAT_RtcSet(&old), 0);
    ASSERT_EQ(PLAT_RtcGet(&back), 0);
    EXPECT_EQ(back.tm_year, 0);
    EXPECT_EQ(back.tm_mon, 0);
    EXPECT_EQ(back.tm_mday, 1);
    EXPECT_EQ(back.tm_wday, 1);  // 1 January 1900 was a Monday
    fs::remove(Under("/sim/rtc"));
    // The host's own clock was never set.
    EXPECT_LE(std::llabs(static_cast<long long>(time(nullptr) - host)), 5);
}

TEST_F(Platform, SocWindowIsZeroedMemory) {
    volatile uint32_t *a = PLAT_SocMap(0x80018000, 0x2000);
    volatile uint32_t *b = PLAT_SocMap(0x80018000, 0x2000);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    for (unsigned i = 0; i < 0x2000 / 4; i++) ASSERT_EQ(a[i], 0u);
    a[0x900 / 4] = 0x12345678;
    EXPECT_EQ(a[0x900 / 4], 0x12345678u);
    // The same registers, however mapped, are the same memory.
    EXPECT_EQ(b[0x900 / 4], 0x12345678u);
    volatile uint32_t *c = PLAT_SocMap(0x80018900, 4);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c[0], 0x12345678u);
    volatile uint32_t *other = PLAT_SocMap(0x80058000, 0x100);
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(other[0], 0u);
}

// ---- reset and watchdog -----------------------------------------------------------------------

TEST_F(Platform, WarmResetExitsWithThreeForTests) {
    setenv("PLC_RESET", "exit", 1);
    for (int reboot = 0; reboot < 2; reboot++) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            if (reboot) PLAT_Reboot();
            PLAT_WarmReset();
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 3);
    }
    unsetenv("PLC_RESET");
}

TEST_F(Platform, WatchdogStandInWithoutTheDevice) {
    EXPECT_EQ(PLAT_WdtTimeLeft(), -1);
    EXPECT_EQ(PLAT_WdtTimeout(), -1);
    ASSERT_EQ(PLAT_WdtOpen(), 0);
    EXPECT_EQ(PLAT_WdtTimeout(), 5);
    const int left = PLAT_WdtTimeLeft();
    EXPECT_GT(left, 4000);
    EXPECT_LE(left, 5000);
    PLAT_WdtWrite('w');
    EXPECT_GT(PLAT_WdtTimeLeft(), 4000);
    PLAT_WdtWrite('V');  // the magic close: stops it for good
    PLAT_WdtClose();
    EXPECT_EQ(PLAT_WdtTimeLeft(), -1);
}

// The board's watchdog never keeps descriptor 6: an open that lands there
// puts "/usr/version" on 6 (kept open) and opens the watchdog again.
std::string FdTarget(int fd) {
    char link[64], target[512];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = readlink(link, target, sizeof target - 1);
    return n > 0 ? std::string(target, std::size_t(n)) : std::string();
}

TEST_F(Platform, WatchdogOpenedOnDescriptorSixMovesBehindTheVersionFile) {
    fs::create_directories(Under("/dev"));
    fs::create_directories(Under("/usr"));
    std::ofstream(Under("/dev/watchdog")) << "";
    std::ofstream(Under("/usr/version")) << "1\n";
    UseRoot(Root());  // the device is there: the board's watchdog
    // Descriptor 6 held by an earlier test in this process is parked above
    // and put back at the end.
    const int parked = fcntl(6, F_GETFD) == -1 ? -1 : fcntl(6, F_DUPFD_CLOEXEC, 200);
    if (parked >= 0) close(6);
    // Every free descriptor below 6 taken: the watchdog's open gets 6.
    std::vector<int> held;
    for (int fd = open("/dev/null", O_RDONLY | O_CLOEXEC); fd >= 0 && fd < 6;
         fd = open("/dev/null", O_RDONLY | O_CLOEXEC))
        held.push_back(fd);
    close(6);
    ASSERT_EQ(PLAT_WdtOpen(), 0);
    EXPECT_EQ(FdTarget(6), Under("/usr/version"));
    int watchdogs = 0, at = -1;
    for (int fd = 0; fd < 256; fd++)
        if (FdTarget(fd) == Under("/dev/watchdog")) watchdogs++, at = fd;
    EXPECT_EQ(watchdogs, 1);
    EXPECT_GT(at, 6);
    PLAT_WdtClose();
    EXPECT_EQ(FdTarget(at), "");
    close(6);
    for (int fd : held) close(fd);
    if (parked >= 0) {
        dup2(parked, 6);
        close(parked);
    }
    std::remove(Under("/dev/watchdog").c_str());
    std::remove(Under("/usr/version").c_str());
    UseRoot(Root());
}

}  // namespace

// One controller per root: the lock is held by one process, released by the
// kernel when that process is killed, and the refused one names the holder.
TEST_F(Platform, OneControllerPerRootLockDiesWithItsHolder) {
    int ready[2], hold[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(hold), 0);
    const pid_t holder = fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        const char ok = PLAT_LockRoot() ? 'y' : 'n';
        if (write(ready[1], &ok, 1) != 1) _exit(2);
        char c;
        while (read(hold[0], &c, 1) < 0) {
        }
        _exit(0);
    }
    char ok = 0;
    ASSERT_EQ(read(ready[0], &ok, 1), 1);
    EXPECT_EQ(ok, 'y');
    // The lock file names the holder for people.
    EXPECT_EQ(Slurp(Under("/sim/controller.lock")), std::to_string(holder) + "\n");

    testing::internal::CaptureStderr();
    EXPECT_FALSE(PLAT_LockRoot());
    const std::string line = testing::internal::GetCapturedStderr();
    EXPECT_EQ(line, "Another controller (process " + std::to_string(holder) + ") runs on the data folder " + Root() +
                        ": stop it first, or give this one a PLC_ROOT of its own\n");

    // kill -9: no clean-up runs, the kernel drops the lock.
    ASSERT_EQ(kill(holder, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(waitpid(holder, &status, 0), holder);
    EXPECT_TRUE(PLAT_LockRoot());
    EXPECT_EQ(Slurp(Under("/sim/controller.lock")), std::to_string(getpid()) + "\n");
    for (int fd : {ready[0], ready[1], hold[0], hold[1]}) close(fd);
}

// libssl by its unversioned name, else by the versioned one; a missing
// library, or one without the entry points, leaves TLS off (and is tried
// again at the next load); once loaded it stays.
TEST_F(Platform, TlsLoaderAnswersNoTlsWithoutTheLibrary) {
    const char *const *libraries = plat_tls_libraries;
    const struct {
        const char *first, *second;
        int answer;
        bool ready;
    } cases[] = {
        {"libplc-absent-tls.so", nullptr, 1, false},  // no library
        {"libc.so.6", nullptr, 2, false},             // no entry points
        {"libplc-absent-tls.so", "libssl.so.3", 0, true},
    };
    for (const auto &c : cases) {
        const char *const names[] = {c.first, c.second, nullptr};
        PLAT_TlsClose();
        plat_tls_libraries = names;
        EXPECT_EQ(PLAT_TlsLoad(), c.answer) << c.first;
        EXPECT_EQ(PLAT_TlsReady(), c.ready) << c.first;
        PLAT_TlsThreadStop();
    }
    static const char *const absent[] = {"libplc-absent-tls.so", nullptr};
    plat_tls_libraries = absent;
    const int again = PLAT_TlsLoad();
    plat_tls_libraries = libraries;
    ASSERT_EQ(again, 0);
    for (const void *method : {PLAT_TlsServerMethod(), PLAT_Tls12ClientMethod()}) {
        void *ctx = PLAT_SslCtxNew(method);
        EXPECT_NE(ctx, nullptr);
        PLAT_SslCtxFree(ctx);
    }
}

// The loader's name table: TLSv1_2_client_method is not required (a libssl
// without the old method names still serves HTTPS; the e-mail client then
// has no TLS method), while SSL_accept, SSL_pending and SSL_shutdown are.
TEST_F(Platform, TlsLoaderRequiresItsNameTableButNotTheTls12ClientMethod) {
    const char *const *libraries = plat_tls_libraries;
    const std::string dir = PLATFORM_TLS_STUB_DIR;
    const std::string full = dir + "/libtls_stub.so", no12 = dir + "/libtls_stub_no12.so",
                      noshutdown = dir + "/libtls_stub_noshutdown.so";
    const struct {
        const std::string *library;
        int answer;
        bool tls12;
    } cases[] = {{&full, 0, true}, {&no12, 0, false}, {&noshutdown, 2, false}};
    for (const auto &c : cases) {
        const char *const names[] = {c.library->c_str(), nullptr};
        PLAT_TlsClose();
        plat_tls_libraries = names;
        EXPECT_EQ(PLAT_TlsLoad(), c.answer) << *c.library;
        EXPECT_EQ(PLAT_TlsReady() && PLAT_Tls12ClientMethod() != nullptr, c.tls12) << *c.library;
    }
    PLAT_TlsClose();
    plat_tls_libraries = libraries;
}

// The network decision: PLC_NETNS first, the inference only without it, and
// one sentence saying which and why.
TEST(PlatformNetDecision, SettingFirstThenInference) {
    char why[256];
    struct Case {
        const char *setting, *own, *init, *anc;
        int pid, configure;
        const char *line;
    } cases[] = {
        // Detached start in a namespace of its own: process 1 hidden, the oldest
        // ancestor shares the namespace; the setting decides.
        {"own", "net:[5]", "", "net:[5]", 77, 1,
         "eth0 configured: PLC_NETNS=own says this network namespace is the controller's own"},
        {nullptr, "net:[5]", "", "net:[5]", 77, 0,
         "eth0 left alone: this looks like the machine's own network (set PLC_NETNS=own to configure it)"},
        {"", "net:[5]", "", "net:[5]", 77, 0,
         "eth0 left alone: this looks like the machine's own network (set PLC_NETNS=own to configure it)"},
        // The setting never reconfigures what is visibly process 1's namespace.
        {"own", "net:[1]", "net:[1]", "", 0, 0,
         "eth0 left alone: PLC_NETNS=own, but this is process 1's network namespace, the machine's own (start the "
         "controller in a namespace of its own)"},
        {"machine", "net:[5]", "net:[1]", "", 0, 0,
         "eth0 left alone: PLC_NETNS=machine says this is the machine's own network"},
        {"yes", "net:[5]", "net:[1]", "", 0, 0, "eth0 left alone: PLC_NETNS=yes is neither \"own\" nor \"machine\""},
        {nullptr, "net:[5]", "net:[1]", "", 0, 1,
         "eth0 configured: this network namespace is not process 1's (set PLC_NETNS=machine to leave it alone)"},
        {nullptr, "net:[5]", "", "net:[9]", 42, 1,
         "eth0 configured: this network namespace differs from that of process 42, the oldest ancestor that can be "
         "seen (set PLC_NETNS=machine to leave it alone)"},
        {nullptr, "net:[5]", "", "", 0, 0,
         "eth0 left alone: no other network namespace can be seen to compare with (set PLC_NETNS=own to configure "
         "it)"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(PLAT_NetDecide(c.setting, c.own, c.init, c.anc, c.pid, why, sizeof why), c.configure);
        EXPECT_STREQ(why, c.line);
    }
}

// The invariant pair answers its condition; in the builds the tests run in
// (PLC_INVARIANTS) a condition that does not hold ends the process with its
// place and text. The death cases run in children gtest forks.
TEST(PlatformInvariants, AnswerTheConditionAndEndTheProcessWhenItFails) {
    const int three = 3;
    EXPECT_TRUE(ALWAYS(three > 2));
    EXPECT_FALSE(NEVER(three > 4));
#if defined(PLC_INVARIANTS)
    EXPECT_DEATH((void)NEVER(three > 2), "test_platform\\.cpp:[0-9]+: invariant failed: NEVER\\(three > 2\\)");
    EXPECT_DEATH((void)ALWAYS(three > 4), "test_platform\\.cpp:[0-9]+: invariant failed: ALWAYS\\(three > 4\\)");
#else
    EXPECT_TRUE(NEVER(three > 2));
    EXPECT_FALSE(ALWAYS(three > 4));
#endif
}
