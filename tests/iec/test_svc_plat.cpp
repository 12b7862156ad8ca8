// The runtime's file and text utilities against real files: line reads,
// profile files, MAC texts, clock strings and the start information taken
// from a question that ends early.
#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <sys/stat.h>

#include "iec/services/z7svc.h"
#include "iec/vm/z7parts.h"
#include "tests/support/temp_root.h"

uint32_t Z7DDK_GetPrivateProfileFlag(const char *section, const char *key, uint32_t def, const char *file);
int32_t Z7DDK_GetPrivateProfileInt(const char *section, const char *key, int32_t def, const char *file);

namespace {

TEST(RuntimeFiles, LinesProfilesMacsAndClock) {
    test_support::TempRoot root;
    mkdir((root / "mnt").c_str(), 0755);
    mkdir((root / "mnt/cfg").c_str(), 0755);
    {
        std::ofstream f(root / "mnt/cfg/lines.txt", std::ios::binary);
        f << std::string(300, 'x') << std::string("\nab\0c\nlast", 11);
    }
    const uint32_t h = Z7File_Open("/mnt/cfg/lines.txt", 0);
    ASSERT_NE(h, 0u);
    char buf[400];
    EXPECT_EQ(Z7File_ReadLine(h, buf, sizeof buf), 255u);  // at most 255 characters
    EXPECT_EQ(Z7File_ReadLine(h, buf, sizeof buf), 45u);   // the rest of the line
    EXPECT_EQ(Z7File_ReadLine(h, buf, 3), 2u);             // size - 1
    EXPECT_STREQ(buf, "ab");
    EXPECT_EQ(Z7File_ReadLine(h, buf, sizeof buf), 1u);    // the zero byte is skipped
    EXPECT_STREQ(buf, "c");
    EXPECT_EQ(Z7File_ReadLine(h, buf, sizeof buf), 4u);    // a last line without a line feed
    EXPECT_STREQ(buf, "last");
    EXPECT_EQ(Z7File_ReadLine(h, buf, sizeof buf), 0u);
    Z7File_Close(h);

    {
        std::ofstream f(root / "mnt/cfg/drv.ini", std::ios::binary);
        f << "[Other]\r\nspeed=1\r\n[Bus]\r\nSpeed=250\r\nenable=On\r\n[Next]\r\nspeed=9\r\n";
    }
    char out[16] = "untouched";
    EXPECT_EQ(Z7DDK_GetPrivateProfileString("bus", "SPEED", "d", out, 0, "/mnt/cfg/drv.ini"), 0u);
    EXPECT_STREQ(out, "untouched");  // size 0: nothing written
    EXPECT_EQ(Z7DDK_GetPrivateProfileString("bus", "SPEED", "d", out, sizeof out, "/mnt/cfg/drv.ini"), 3u);
    EXPECT_STREQ(out, "250");
    EXPECT_EQ(Z7DDK_GetPrivateProfileString("bus", "SPEED", "d", out, 3, "/mnt/cfg/drv.ini"), 2u);
    EXPECT_STREQ(out, "25");
    EXPECT_EQ(Z7DDK_GetPrivateProfileString("bus", "none", "default-text", out, 8, "/mnt/cfg/drv.ini"), 7u);
    EXPECT_STREQ(out, "default");
    EXPECT_EQ(Z7DDK_GetPrivateProfileFlag("Bus", "enable", 0, "/mnt/cfg/drv.ini"), 1u);
    EXPECT_EQ(Z7DDK_GetPrivateProfileInt("Next", "speed", 0, "/mnt/cfg/drv.ini"), 9);

    uint8_t mac[6];
    EXPECT_EQ(Z7DDK_StringToMac("0a-1B-2c-3D-4e-5F", mac), 1u);
    char text[18];
    Z7DDK_MacToString(mac, text);
    EXPECT_STREQ(text, "0A:1B:2C:3D:4E:5F");
    EXPECT_EQ(Z7DDK_StringToMac("0a-1B-2c-3D-4e", mac), 0u);
    EXPECT_EQ(Z7DDK_StringToMac("0a-1B-2c-3D-4e:5G", mac), 0u);

    char day[16];
    time_t now = time(nullptr);
    struct tm t {};
    localtime_r(&now, &t);
    static const char *const kDays[] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};
    Z7RtClk_GetString(2, day);
    EXPECT_STREQ(day, kDays[t.tm_wday]);
    EXPECT_EQ(Z7RtClk_GetString(3, day), 10u);
    const uint32_t date = Z7RtClk_GetCurDateStamp();
    EXPECT_EQ(date >> 16, uint32_t(t.tm_year + 1900));
    EXPECT_EQ((date >> 8) & 0xFF, uint32_t(t.tm_mon + 1));
}

TEST(RuntimeFiles, QuestionsEndingEarlyAreBoundedByTheirFrame) {
    Z7CSData cs{};
    Z7CSChannel &c = cs.ch[0];
    c.number = 1;
    c.flags = Z7CH_USED | Z7CH_QUESTION | Z7CH_SOCKET;
    c.sock = -1;
    // a load question whose name runs past the frame: refused
    const uint8_t load[] = {'Z', '7', 0, 8, 2, 1, 0, 0, 0, 9, 'a', 'b'};
    std::memcpy(c.rx.data(), load, sizeof load);
    std::memset(c.rx.data() + sizeof load, 'q', 64);
    Z7CSLoadInfo li;
    EXPECT_EQ(Z7CS_GetLoadInfo(&cs, 1, &li), 1u);
    c.rx[11] = 0;
    c.rx[3] = 9;  // "a" ends inside, one data byte follows
    ASSERT_EQ(Z7CS_GetLoadInfo(&cs, 1, &li), 0u);
    EXPECT_STREQ(li.name, "a");
    EXPECT_EQ(li.piece.size, 1u);
    // start information: the name stops at the frame's end
    const uint8_t start[] = {'Z', '7', 0, 5, 6, 1, 1, 'n', 'm'};
    std::memcpy(c.rx.data(), start, sizeof start);
    Z7CSStartInfo si;
    ASSERT_EQ(Z7CS_GetStartInfo(&cs, 1, &si), 0u);
    EXPECT_EQ(si.load_retains, 1);
    EXPECT_STREQ(si.name, "nm");
}

}  // namespace
