// The runtime's file and text utilities against real files: line reads,
// profile files, MAC texts, clock strings, the start information taken from
// a question that ends early, the runtime log and its writer, the virtual
// files and the driver kit's folder, text, lock and trace utilities.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "iec/services/z7svc.h"
#include "iec/vm/z7parts.h"
#include "tests/support/iec_clock.h"
#include "tests/support/temp_root.h"

uint32_t Z7DDK_GetPrivateProfileFlag(const char *section, const char *key, uint32_t def, const char *file);
int32_t Z7DDK_GetPrivateProfileInt(const char *section, const char *key, int32_t def, const char *file);
uint32_t Z7DDK_SetWorkFolder(const char *text);
uint32_t Z7DDK_GetWorkFile(char *out, const char *name, const char *ext);
uint32_t Z7DDK_CreateMutex();
uint32_t Z7DDK_DeleteMutex();
uint32_t Z7DDK_TakeMutex();
uint32_t Z7DDK_ReleaseMutex();
void Z7DDK_StrLower(char *t);
uint32_t Z7DDK_StrcmpNoCase(const char *a, const char *b);
const char *Z7DDK_StrStr(const char *hay, const char *needle, uint32_t exact);
void Z7DDK_SetTraceLevel(uint32_t level);
void Z7DDK_LogTrace(uint32_t level, const char *format, ...);
void Z7DDK_Trace(const char *format, ...);
uint32_t Z7Vfs_OpenReadRand(const char *path, uint32_t *size);
uint32_t Z7Vfs_OpenWriteCreate(const char *path);
void Z7Vfs_Close(uint32_t h);
uint32_t Z7Vfs_GetSize(const char *path, uint32_t *size);
uint32_t Z7Vfs_Read(uint32_t h, int32_t offset, uint32_t count, void *buf);
uint32_t Z7Vfs_Write(uint32_t h, int32_t offset, uint32_t count, const void *buf);
void *Z7Vfs_CreateRamFile(const char *name, uint32_t size);
void *Z7Vfs_LoadToMemory(const char *path, uint32_t *size);
void Z7Vfs_ReleaseRamFile(void *block);
uint32_t Z7File_Fread(uint32_t h, uint32_t item, uint32_t count, void *buf);
uint32_t Z7File_Fwrite(uint32_t h, uint32_t item, uint32_t count, const void *buf);

namespace {

std::string ReadAll(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

using FixedClock = test_support::FixedIecClock;

// Lines are queued at most 16 deep and written by the writer: the file is
// renamed once it passed 65,455 bytes. Options: 0x001 file, 0x200 trace and
// warning lines, 0x400 error lines.
TEST(RuntimeFiles, LogQueuesSixteenLinesAndRenamesTheFilePastItsLimit) {
    test_support::TempRoot root;
    mkdir((root / "mnt").c_str(), 0755);
    mkdir((root / "mnt/cfg").c_str(), 0755);
    FixedClock clock;
    const std::string stamp = "2024/03/10 14:05:09,007 : ";
    {
        std::ofstream f(root / "mnt/cfg/z7.log", std::ios::binary);
        f << std::string(65455, 'x');
    }
    Z7LOG_PeriodMs = 3600000;  // nothing written before the close
    Z7LOG_Open(0x201);
    Z7LOG_Trace("first");
    Z7LOG_Err("not asked for");
    Z7LOG_Warn("w2");
    char t[8];
    for (int i = 3; i <= 15; i++) {
        std::snprintf(t, sizeof t, "t%d", i);
        Z7LOG_Trace(t);
    }
    Z7EVSTRACE("trace %d", 16);
    Z7LOG_Trace("the seventeenth");  // dropped
    Z7LOG_Close();
    Z7LOG_PeriodMs = 500;
    std::string rest = stamp + "[Z7WARNING] w2\n";
    for (int i = 3; i <= 15; i++) {
        std::snprintf(t, sizeof t, "t%d", i);
        rest.append(stamp).append("[Z7TRACE] ").append(t).append("\n");
    }
    rest += stamp + "[Z7TRACE] trace 16\n";
    EXPECT_EQ(ReadAll(root / "mnt/cfg/z7.old.log"), std::string(65455, 'x') + stamp + "[Z7TRACE] first\n");
    EXPECT_EQ(ReadAll(root / "mnt/cfg/z7.log"), rest);

    // errors only; a line is cut at 80 characters; the writer writes on its own
    Z7LOG_Open(0x401);
    Z7LOG_Trace("not asked for");
    Z7LOG_Err(std::string(100, 'e').c_str());
    const std::string cut = stamp + "[Z7ERROR] " + std::string(80 - 36, 'e') + "\n";
    std::string seen;
    for (auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
         std::chrono::steady_clock::now() < until && seen != rest + cut;
         std::this_thread::sleep_for(std::chrono::milliseconds(20)))
        seen = ReadAll(root / "mnt/cfg/z7.log");
    EXPECT_EQ(seen, rest + cut);
    Z7LOG_Close();
    Z7LOG_Trace("closed");  // returns at once
    EXPECT_EQ(ReadAll(root / "mnt/cfg/z7.log"), rest + cut);
}

// Virtual files are plain files here; only the code, hot-restart and change
// images may be held in memory, read in pieces of 512 bytes.
TEST(RuntimeFiles, VirtualFilesAndDriverKitUtilities) {
    test_support::TempRoot root;
    mkdir((root / "mnt").c_str(), 0755);
    mkdir((root / "mnt/cfg").c_str(), 0755);
    uint32_t h = Z7Vfs_OpenWriteCreate("/mnt/cfg/v.bin");
    ASSERT_NE(h, 0u);
    EXPECT_EQ(Z7Vfs_Write(h, -1, 4, "abcd"), 4u);
    EXPECT_EQ(Z7Vfs_Write(h, 1, 2, "XY"), 2u);
    EXPECT_EQ(Z7File_Fwrite(h, 2, 3, "123456"), 3u);  // items
    Z7Vfs_Close(h);
    EXPECT_EQ(ReadAll(root / "mnt/cfg/v.bin"), "aXY123456");
    uint32_t n = 99;
    EXPECT_EQ(Z7Vfs_GetSize("/mnt/cfg/v.bin", &n), 1u);
    EXPECT_EQ(n, 9u);
    EXPECT_EQ(Z7Vfs_GetSize("/mnt/cfg/none.bin", &n), 0u);
    EXPECT_EQ(n, 0u);
    h = Z7Vfs_OpenReadRand("/mnt/cfg/v.bin", &n);
    ASSERT_NE(h, 0u);
    EXPECT_EQ(n, 9u);
    char buf[16] = {};
    EXPECT_EQ(Z7Vfs_Read(h, 7, 10, buf), 2u);
    EXPECT_EQ(std::string(buf, 2), "56");
    EXPECT_EQ(Z7Vfs_Read(h, -1, 10, buf), 0u);  // on from the end
    EXPECT_EQ(Z7Vfs_Read(h, 1, 1, buf), 1u);
    EXPECT_EQ(buf[0], 'X');
    EXPECT_EQ(Z7File_Fread(h, 4, 3, buf), 1u);  // "Y123": one whole item of 4 before the end
    Z7Vfs_Close(h);

    std::string image;
    for (int i = 0; i < 1300; i++) image += char('A' + i % 26);
    std::ofstream(root / "mnt/cfg/z7.upd", std::ios::binary) << image;
    void *block = Z7Vfs_LoadToMemory("/mnt/cfg/z7.upd", &n);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(n, 1300u);
    EXPECT_EQ(std::string(static_cast<char *>(block), 1300), image);
    Z7Vfs_ReleaseRamFile(block);
    EXPECT_EQ(Z7Vfs_LoadToMemory("/mnt/cfg/v.bin", &n), nullptr);  // not one of the images
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(Z7Vfs_LoadToMemory("/mnt/cfg/z7.hot", &n), nullptr);  // missing
    block = Z7Vfs_CreateRamFile("/mnt/cfg/z7.cod", 8);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(std::string(static_cast<char *>(block), 8), std::string(8, '\0'));
    Z7Vfs_ReleaseRamFile(block);
    EXPECT_EQ(Z7Vfs_CreateRamFile("z7.rsc", 8), nullptr);

    char out[256];
    EXPECT_EQ(Z7DDK_SetWorkFolder("\\mnt\\cfg//"), 1u);
    EXPECT_EQ(Z7DDK_GetWorkFile(out, "v", ".bin"), 1u);
    EXPECT_STREQ(out, "/mnt/cfg/v.bin");
    EXPECT_EQ(Z7DDK_GetWorkFile(out, "w", ".bin"), 0u);
    EXPECT_EQ(Z7DDK_SetWorkFolder(std::string(255, 'f').c_str()), 0u);
    EXPECT_EQ(Z7DDK_SetWorkFolder(std::string(254, 'f').c_str()), 1u);  // under 255 characters
    EXPECT_EQ(Z7DDK_GetWorkFile(out, "", ""), 0u);
    EXPECT_EQ(std::string(out), std::string(254, 'f') + "/");
    // a folder of 254 characters that exists: a name joined to it does not
    // fit the 256 bytes and is no file, never the folder itself
    const std::string deep = "/mnt/cfg/" + std::string(245, 'd');
    ASSERT_EQ(mkdir((root / deep.substr(1)).c_str(), 0755), 0);
    EXPECT_EQ(Z7DDK_SetWorkFolder(deep.c_str()), 1u);
    EXPECT_EQ(Z7DDK_GetWorkFile(out, "", ""), 1u);  // the folder's own path fits
    EXPECT_EQ(Z7DDK_GetWorkFile(out, "x", ".bin"), 0u);
    EXPECT_STREQ(out, "");
    // an empty folder is no work folder: 0, and names stay as given
    EXPECT_EQ(Z7DDK_SetWorkFolder(""), 0u);
    std::ofstream(root / "mnt/cfg/e.bin") << "e";
    EXPECT_EQ(Z7DDK_GetWorkFile(out, "/mnt/cfg/e", ".bin"), 1u);
    EXPECT_STREQ(out, "/mnt/cfg/e.bin");
    // no directory listing: nothing opens, an entry is empty
    EXPECT_EQ(Z7FT_OpenDir("/mnt/cfg"), 0u);
    char entry[8] = "x";
    EXPECT_EQ(Z7FT_GetDirEntry(1, entry), 0u);
    EXPECT_STREQ(entry, "");
    Z7FT_CloseDir(1);
    EXPECT_EQ(Z7DDK_CreateMutex(), 1u);
    EXPECT_EQ(Z7DDK_TakeMutex(), 1u);
    EXPECT_EQ(Z7DDK_TakeMutex(), 0u);
    EXPECT_EQ(Z7DDK_ReleaseMutex(), 1u);
    EXPECT_EQ(Z7DDK_ReleaseMutex(), 0u);
    EXPECT_EQ(Z7DDK_TakeMutex(), 1u);
    EXPECT_EQ(Z7DDK_DeleteMutex(), 1u);
    EXPECT_EQ(Z7DDK_TakeMutex(), 1u);
    Z7DDK_ReleaseMutex();
    char text[] = "AbC-Z[";
    Z7DDK_StrLower(text);
    EXPECT_STREQ(text, "abc-z[");
    EXPECT_EQ(Z7DDK_StrcmpNoCase("abc", "ABC"), 1u);
    EXPECT_EQ(Z7DDK_StrcmpNoCase("abc", "ABCD"), 0u);
    EXPECT_EQ(Z7DDK_StrcmpNoCase(nullptr, nullptr), 1u);
    EXPECT_EQ(Z7DDK_StrcmpNoCase("a", nullptr), 0u);
    const char *hay = "Hello World";
    EXPECT_EQ(Z7DDK_StrStr(hay, "WORLD", 0), hay + 6);
    EXPECT_EQ(Z7DDK_StrStr(hay, "WORLD", 1), nullptr);

    // the driver kit's traces reach the runtime trace (seen here in its log)
    FixedClock clock;
    Z7LOG_PeriodMs = 3600000;
    Z7LOG_Open(0x201);
    Z7DDK_SetTraceLevel(2);
    Z7DDK_LogTrace(3, "above the level");
    Z7DDK_LogTrace(2, "level %d", 2);
    Z7DDK_Trace("always %s", "on");
    Z7LOG_Close();
    Z7LOG_PeriodMs = 500;
    EXPECT_EQ(ReadAll(root / "mnt/cfg/z7.log"),
              "2024/03/10 14:05:09,007 : [Z7TRACE] level 2\n2024/03/10 14:05:09,007 : [Z7TRACE] always on\n");
}

// Sixteen files may be open at once; the seventeenth open fails with 0 and
// succeeds once one of them is closed.
TEST(RuntimeFiles, SixteenFilesOpenAtOnce) {
    test_support::TempRoot root;
    mkdir((root / "mnt").c_str(), 0755);
    mkdir((root / "mnt/cfg").c_str(), 0755);
    std::vector<uint32_t> open;
    for (int i = 0; i < 16; i++) {
        const uint32_t h = Z7File_Open(("/mnt/cfg/f" + std::to_string(i)).c_str(), true);
        EXPECT_NE(h, 0u) << i;
        open.push_back(h);
    }
    EXPECT_EQ(Z7File_Open("/mnt/cfg/f16", true), 0u);
    EXPECT_EQ(Z7File_OpenAppend("/mnt/cfg/f16"), 0u);
    Z7File_Close(open[3]);
    const uint32_t again = Z7File_Open("/mnt/cfg/f16", true);
    EXPECT_NE(again, 0u);
    open[3] = again;
    for (uint32_t h : open) Z7File_Close(h);
}

// A runtime trace line is formatted into 512 bytes, its terminator
// included: 511 characters at most reach standard output, then the line feed.
TEST(RuntimeFiles, TraceLinesHoldAtMost511Characters) {
    const std::string a511(511, 'a');
    testing::internal::CaptureStdout();
    Z7EVSTRACE("%s", std::string(600, 'a').c_str());
    Z7EVSTRACE("%s", a511.c_str());
    Z7EVSTRACE("%sbc", std::string(510, 'a').c_str());
    Z7DDK_Trace("%s", std::string(600, 'a').c_str());
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              a511 + "\n" + a511 + "\n" + std::string(510, 'a') + "b\n" + a511 + "\n");
}

// A copy goes in 64-byte pieces; a missing source copies nothing, and a
// copy onto the source itself (by its name or by another link) is refused
// and leaves the file as it was.
TEST(RuntimeFiles, CopyInPiecesAndNeverOntoItself) {
    test_support::TempRoot root;
    mkdir((root / "mnt").c_str(), 0755);
    mkdir((root / "mnt/cfg").c_str(), 0755);
    std::string body;
    for (int i = 0; i < 150; i++) body += char('a' + i % 26);  // 64 + 64 + 22
    {
        std::ofstream f(root / "mnt/cfg/c.bin", std::ios::binary);
        f << body;
    }
    EXPECT_EQ(Z7File_Copy("/mnt/cfg/c.bin", "/mnt/cfg/d.bin"), true);
    EXPECT_EQ(ReadAll(root / "mnt/cfg/d.bin"), body);
    EXPECT_EQ(Z7File_Copy("/mnt/cfg/none.bin", "/mnt/cfg/e.bin"), false);
    EXPECT_EQ(Z7File_Exist("/mnt/cfg/e.bin"), false);
    EXPECT_EQ(Z7File_Copy("/mnt/cfg/c.bin", "/mnt/cfg/c.bin"), false);
    EXPECT_EQ(ReadAll(root / "mnt/cfg/c.bin"), body);
    ASSERT_EQ(link((root / "mnt/cfg/c.bin").c_str(), (root / "mnt/cfg/l.bin").c_str()), 0);
    EXPECT_EQ(Z7File_Copy("/mnt/cfg/l.bin", "/mnt/cfg/c.bin"), false);
    EXPECT_EQ(ReadAll(root / "mnt/cfg/c.bin"), body);
}

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
    EXPECT_EQ(Z7File_ReadLine(h, buf, sizeof buf), 1u);  // the zero byte is skipped
    EXPECT_STREQ(buf, "c");
    EXPECT_EQ(Z7File_ReadLine(h, buf, sizeof buf), 4u);  // a last line without a line feed
    EXPECT_STREQ(buf, "last");
    EXPECT_EQ(Z7File_ReadLine(h, buf, sizeof buf), 0u);
    Z7File_Close(h);
    std::memset(buf, 'x', 8);
    EXPECT_EQ(Z7File_ReadLine(h, buf, 8), 0u);  // a closed handle: the empty line
    EXPECT_STREQ(buf, "");

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

    // The clock fixed at Sunday 2024-03-10, so the answers do not follow the
    // machine's date.
    FixedClock clock;
    char day[16];
    Z7RtClk_GetString(2, day);
    EXPECT_STREQ(day, "Sunday");
    EXPECT_EQ(Z7RtClk_GetString(3, day), 10u);
    EXPECT_EQ(Z7RtClk_GetCurDateStamp(), (2024u << 16) | (3u << 8) | 10u);
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
