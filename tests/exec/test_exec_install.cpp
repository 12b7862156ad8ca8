// MAC IDs from the list file: the next MAC with its carry, the list used up
// at the end of the last three bytes, a kept valid MAC, invalid lists, and
// the text forms.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>
#include <csignal>
#include <sys/stat.h>

#include "core/image/syshook.h"
#include "exec/install.h"
#include "exec/mainloop.h"
#include "platform/plat.h"
#include "tests/support/temp_root.h"

namespace {

std::string Slurp(const std::string &p) {
    std::ifstream f(p, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}
void Spit(const std::string &p, const std::string &t) { std::ofstream(p, std::ios::binary) << t; }

TEST(ExecInstall, MacListAssignsCarriesAndEnds) {
    test_support::TempRoot root;
    ::mkdir((root / "mnt").c_str(), 0755);
    ::mkdir((root / "mnt/cfg").c_str(), 0755);
    const std::string list = root / "mnt/MACIDS.TXT";
    std::array<uint8_t, 76> img{};

    EXPECT_EQ(SaveMACID(img.data(), 0, "/mnt/MACIDS.TXT"), 5u);
    Spit(list, "02:43:50:00:00:ff\r\n02:43:50:ff:ff:ff\r\n");
    EXPECT_EQ(SaveMACID(img.data(), 0, "/mnt/MACIDS.TXT"), 0u);
    EXPECT_EQ(std::vector<uint8_t>(img.begin() + 8, img.begin() + 14),
              (std::vector<uint8_t>{0x02, 0x43, 0x50, 0x00, 0x00, 0xFF}));
    EXPECT_EQ(Slurp(list), "02:43:50:00:01:00\r\n02:43:50:ff:ff:ff\r\n");
    EXPECT_EQ(Slurp(root / "mnt/cfg/TINYIMGE.BIN").size(), 76u);
    // Interface 0 keeps its valid MAC: not updated, the list untouched, the
    // image written back (the configuration volume may be new).
    const std::string tiny = root / "mnt/cfg/TINYIMGE.BIN";
    std::remove(tiny.c_str());
    EXPECT_EQ(SaveMACID(img.data(), 0, "/mnt/MACIDS.TXT"), 2u);
    EXPECT_EQ(Slurp(list), "02:43:50:00:01:00\r\n02:43:50:ff:ff:ff\r\n");
    EXPECT_EQ(Slurp(tiny), std::string(img.begin(), img.end()));
    // The last MAC of the three bytes: given out, then the list is used up.
    Spit(list, "02:43:50:FF:FF:FF\r\n02:43:50:FF:FF:FF\r\n");
    EXPECT_EQ(SaveMACID(img.data(), 1, "/mnt/MACIDS.TXT"), 0u);
    EXPECT_EQ(img[19], 0xFF);
    EXPECT_EQ(Slurp(list), "USED UP\r\n02:43:50:FF:FF:FF\r\n");
    EXPECT_EQ(SaveMACID(img.data(), 2, "/mnt/MACIDS.TXT"), 2u);
    EXPECT_EQ(img[20], 0x00);
    // A used-up list and a valid MAC: kept, written back, not updated.
    std::remove(tiny.c_str());
    EXPECT_EQ(SaveMACID(img.data(), 1, "/mnt/MACIDS.TXT"), 2u);
    EXPECT_EQ(Slurp(tiny), std::string(img.begin(), img.end()));
    // No list: a valid MAC is still written back.
    std::remove(list.c_str());
    std::remove(tiny.c_str());
    EXPECT_EQ(SaveMACID(img.data(), 0, "/mnt/MACIDS.TXT"), 5u);
    EXPECT_EQ(Slurp(tiny), std::string(img.begin(), img.end()));
    EXPECT_EQ(SaveMACID(img.data(), 2, "/mnt/MACIDS.TXT"), 5u);
    // Next beyond last; another maker's MAC; a bad digit.
    Spit(list, "02:43:50:00:00:11\r\n02:43:50:00:00:10\r\n");
    EXPECT_EQ(SaveMACID(img.data(), 2, "/mnt/MACIDS.TXT"), 2u);
    Spit(list, "00:11:22:00:00:01\r\n02:43:50:00:00:10\r\n");
    EXPECT_EQ(SaveMACID(img.data(), 2, "/mnt/MACIDS.TXT"), 4u);
    Spit(list, "02:43:5G:00:00:01\r\n02:43:50:00:00:10\r\n");
    EXPECT_EQ(SaveMACID(img.data(), 2, "/mnt/MACIDS.TXT"), 4u);

    uint8_t mac[6];
    EXPECT_EQ(convert_MACSTR_MACINT("02-43-50-aB-cD-eF", mac), 1u);
    EXPECT_EQ(mac[5], 0xEF);
    EXPECT_EQ(convert_MACSTR_MACINT("02:43:50:00:00", mac), 0u);
    char hex[3];
    convert_BYTE_ASCIIHEX(hex, 0xA5);
    EXPECT_STREQ(hex, "A5");
}

// The LED blinker of an update or an installation: a live child process
// while it is set.
bool BlinkerRuns() { return install_blinker > 0 && kill(install_blinker, 0) == 0; }

// Shell lines of the installation as the host carries them out, with whether
// the LED blinker ran at each.
std::vector<std::pair<std::string, bool>> shell_lines;
int LoggedSystem(const char *cmd) {
    shell_lines.emplace_back(cmd, BlinkerRuns());
    return plat_shell_host.system(cmd);
}
const PlatShellOps logged_shell = {LoggedSystem, plat_shell_host.popen, plat_shell_host.pclose};

bool Ran(const char *line) {
    for (const auto &l : shell_lines)
        if (l.first == line) return true;
    return false;
}

class ExecUpdate : public ::testing::Test {
protected:
    test_support::TempRoot root;
    void SetUp() override {
        WatchDogDisable = 1;
        for (const char *d : {"dev", "mnt", "mnt/USB0", "mnt/USB", "mnt/cfg", "proc", "usr", "usr/bin"})
            ::mkdir((root / d).c_str(), 0755);
        Spit(root / "dev/mmcblk0p1", "");
        shell_lines.clear();
        plat_shell = &logged_shell;
    }
    void TearDown() override {
        plat_shell = &plat_shell_host;
        Main_StopRequested = 0;
        WatchDogDisable = 0;
    }
};

// The LOAD update: the LEDs blink from the media check to the result.
TEST_F(ExecUpdate, LoadUpdateBlinksTheLedsWhileItWorks) {
    Spit(root / "mnt/USB0/DEFAULT.PGM", "program");
    EXPECT_EQ(UpdateKernFirmApplic(0, 0), 0u);
    const pid_t blinker = install_blinker;
    ASSERT_GT(blinker, 0);
    EXPECT_TRUE(BlinkerRuns()) << "started with the media found";
    EXPECT_EQ(UpdateKernFirmApplic(0, 0), 0u);
    EXPECT_TRUE(BlinkerRuns());
    EXPECT_EQ(UpdateKernFirmApplic(0, 0), 0x60u) << "media found, an application file";
    EXPECT_EQ(install_blinker, 0);
    EXPECT_NE(kill(blinker, 0), 0) << "the blinker ended";

    // No media: nothing blinks, the result is 0x80.
    std::remove((root / "dev/mmcblk0p1").c_str());
    EXPECT_EQ(UpdateKernFirmApplic(0, 0), 0u);
    EXPECT_EQ(install_blinker, 0);
    EXPECT_STREQ(InstallMessage, "Media Error or NOT accessable");
    EXPECT_EQ(UpdateKernFirmApplic(0, 0), 0x80u);
}

// The installation: a card answered read-only is mounted again on /mnt/USB0
// and made writable, the files are taken from there, the LEDs blink while it
// works and the blinker ends with it; the MAC list's absence is named.
TEST_F(ExecUpdate, InstallationFromACardMountedReadOnly) {
    Spit(root / "proc/mounts", "/dev/root / ubifs rw 0 0\n/dev/mmcblk0p1 /mnt/USB vfat ro,relatime 0 0\n");
    for (const char *f : {"qmkern.sb", "qminit.ufs", "qmfirm.ufs", "qmcfg.ufs", "vbx420"})
        Spit(root / (std::string("mnt/USB0/") + f), f);
    Spit(root / "usr/bin/ubiformat", "");
    Spit(root / "mnt/cfg/TINYIMGE.BIN", std::string(76, '\0'));
    Main_StopRequested = 1;  // the endless LED signal at the end comes back
    testing::internal::CaptureStdout();
    InstallBoot();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Missing File: MACIDS.TXT\n"), std::string::npos) << "the stored image is kept: " << out;
    EXPECT_EQ(out.find("Missing File:/mnt/USB/MACIDS.TXT"), std::string::npos) << out;
    for (const char *line : {"mount /dev/mmcblk0p1 /mnt/USB", "mount /dev/mmcblk0p1 /mnt/USB0",
                             "mount -o remount,rw /mnt/USB0", "kobs-ng init /mnt/USB0/qmkern.sb",
                             "ubiupdatevol /dev/ubi0_2 /mnt/USB0/qmcfg.ufs", "cp /mnt/USB0/vbx420  /mnt/firm/firmware"})
        EXPECT_TRUE(Ran(line)) << line;
    bool blinking = false;
    for (const auto &l : shell_lines)
        if (l.first == "flash_eraseall /dev/mtd0") blinking = l.second;
    EXPECT_TRUE(blinking) << "the blinker runs while the kernel is written";
    EXPECT_EQ(install_blinker, 0) << "stopped at the end";
    EXPECT_NE(out.find("MACID EMPTY\nOperation Completed Change Boot Mode and RESET the unit\n"), std::string::npos)
        << out;
    EXPECT_EQ(Slurp(root / "mnt/firm/firmware"), "vbx420");
}

TEST_F(ExecUpdate, InstallationNamesTheMissingMacList) {
    Spit(root / "mnt/USB/vbx310", "fw");
    Main_StopRequested = 1;
    testing::internal::CaptureStdout();
    InstallBoot();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Missing File:/mnt/USB/MACIDS.TXT\n"), std::string::npos) << "no MAC source: " << out;
    EXPECT_EQ(out.find("Missing File: MACIDS.TXT"), std::string::npos) << out;
    EXPECT_FALSE(Ran("mount -o remount,rw /mnt/USB0")) << "a card mounted writable stays where it is";
    EXPECT_TRUE(Ran("cp /mnt/USB/vbx310  /mnt/firm/firmware"));
    EXPECT_EQ(install_blinker, 0);
}

// A shell whose one named tool fails (its first word and argument match);
// the rest is carried out as the host does.
std::string failing_tool;
int FailingSystem(const char *cmd) {
    shell_lines.emplace_back(cmd, BlinkerRuns());
    if (std::string(cmd).rfind(failing_tool, 0) == 0) return 1 << 8;
    return plat_shell_host.system(cmd);
}
const PlatShellOps failing_shell = {FailingSystem, plat_shell_host.popen, plat_shell_host.pclose};

// Media with everything for a full installation and a fresh MAC list.
void FullMedia(const test_support::TempRoot &root) {
    for (const char *f : {"qmkern.sb", "qminit.ufs", "qmfirm.ufs", "qmcfg.ufs", "vbx420"})
        Spit(root / (std::string("mnt/USB/") + f), f);
    Spit(root / "mnt/USB/MACIDS.TXT", "02:43:50:00:00:07\r\n02:43:50:00:00:ff\r\n");
    Spit(root / "usr/bin/ubiformat", "");
    ::mkdir((root / "mnt/firm").c_str(), 0755);
}

// A failed kernel write does not skip what does not depend on it: the
// volumes are formatted anyway, so the firmware is copied and the MAC
// written back; the failure is named and the end shows it.
TEST_F(ExecUpdate, InstallationGoesOnPastAFailedKernelWrite) {
    FullMedia(root);
    failing_tool = "kobs-ng init";
    plat_shell = &failing_shell;
    Main_StopRequested = 1;
    testing::internal::CaptureStdout();
    InstallBoot();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Boot Update Error\n"), std::string::npos) << out;
    EXPECT_TRUE(Ran("ubiformat /dev/mtd1 -q"));
    EXPECT_TRUE(Ran("cp /mnt/USB/vbx420  /mnt/firm/firmware"));
    EXPECT_EQ(Slurp(root / "mnt/firm/firmware"), "vbx420");
    const std::string tiny = Slurp(root / "mnt/cfg/TINYIMGE.BIN");
    ASSERT_EQ(tiny.size(), 76u);
    EXPECT_EQ(tiny.substr(8, 6), std::string("\x02\x43\x50\x00\x00\x07", 6));
    EXPECT_EQ(Slurp(root / "mnt/USB/MACIDS.TXT"), "02:43:50:00:00:08\r\n02:43:50:00:00:ff\r\n");
    EXPECT_EQ(out.find("Operation Completed"), std::string::npos) << "a failure is not a completion: " << out;
}

// A failed firmware copy does not skip the MAC step; a failed erase and a
// failed volume command leave their messages.
TEST_F(ExecUpdate, InstallationNamesEachFailedToolAndKeepsTheMac) {
    FullMedia(root);
    failing_tool = "cp ";
    plat_shell = &failing_shell;
    Main_StopRequested = 1;
    testing::internal::CaptureStdout();
    InstallBoot();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("File Copy Error\n"), std::string::npos) << out;
    const std::string tiny = Slurp(root / "mnt/cfg/TINYIMGE.BIN");
    ASSERT_EQ(tiny.size(), 76u);
    EXPECT_EQ(tiny.substr(8, 6), std::string("\x02\x43\x50\x00\x00\x07", 6));

    failing_tool = "flash_eraseall";
    testing::internal::CaptureStdout();
    InstallBoot();
    out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Disk MTD0 Erase Error\n"), std::string::npos) << out;

    failing_tool = "ubimkvol /dev/ubi0 -N firm";
    shell_lines.clear();
    testing::internal::CaptureStdout();
    InstallBoot();
    out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("ubimkvol /dev/ubi0 -N firm -s 13MiB failed\n"), std::string::npos) << out;
    EXPECT_FALSE(Ran("ubimkvol /dev/ubi0 -N cfg -s 64MiB")) << "the volumes after it are not made";
    EXPECT_FALSE(Ran("cp /mnt/USB/vbx420  /mnt/firm/firmware")) << "nor the firmware copied onto them";
}

// The update commands of "path.info": a line too long for the command
// buffer is refused whole, never run cut; the lines around it run.
TEST_F(ExecUpdate, UpdateCommandTooLongIsRefusedNotCut) {
    Spit(root / "proc/cmdline", "console=ttyAM0 rootfstype=ubifs\n");
    Spit(root / "mnt/USB0/update.init", "zip");
    for (const char *d : {"dev/shm", "dev/shm/update"}) ::mkdir((root / d).c_str(), 0755);
    const std::string long_line = "echo " + std::string(300, 'x');
    Spit(root / "dev/shm/update/path.info", "echo one\r\n" + long_line + "\r\necho two\necho three\r\n");
    Spit(root / "mnt/USB0/qmkern.sb", "kernel");
    Main_StopRequested = 1;  // no reset at the end of the update
    testing::internal::CaptureStdout();
    for (int i = 0; i < 3; i++) UpdateKernFirmApplic(0, 0);
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(Ran("echo one"));
    EXPECT_TRUE(Ran("echo two")) << "a bare LF ends a line too";
    EXPECT_TRUE(Ran("echo three"));
    for (const auto &l : shell_lines) EXPECT_NE(l.first.rfind("echo xxx", 0), 0u) << l.first.size();
}

}  // namespace
