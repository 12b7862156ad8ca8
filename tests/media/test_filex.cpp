// File layer: drive letters and name resolution, FileX status numbers of the
// file and directory operations, the free-space record and its query.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

#include "core/image/bytes.h"
#include "media/filex.h"
#include "tests/core/test_storage_support.h"

using namespace storage_test;

namespace {

class FilexTest : public ::testing::Test {
protected:
    TempRoot root;
    FxMedia media{};

    void SetUp() override {
        for (MntDriveRec &d : MntDrive) d.mounted = 0;
        FileMutex = 0;
        media = FxMedia{};
    }
    void TearDown() override {
        if (media.dir != nullptr) closedir(media.dir);
    }
    void MakeDir(const std::string &rel) { ASSERT_EQ(mkdir((root / rel).c_str(), 0775), 0) << rel; }
    std::string Resolve(const char *name, uint32_t *ok = nullptr) {
        char out[FX_PATH_MAX];
        const uint32_t r = CfDriveChk(name, out, DRIVE_ANY);
        if (ok) *ok = r;
        return out;
    }
    void WriteRecord(const std::array<uint32_t, 6> &w) {
        std::vector<uint8_t> rec(24);
        for (int i = 0; i < 6; i++) LE_Put32(&rec[size_t(4 * i)], w[size_t(i)]);
        WriteFile(root / "dev/shm/read.dat", rec);
    }
};

}  // namespace

TEST_F(FilexTest, NameResolution) {
    MakeDir("mnt/USB0");
    MakeDir("mnt/USB1");
    MakeDir("mnt/USB1/LOGS");
    uint32_t ok = 0;
    EXPECT_EQ(Resolve("b:\\LOGS\\a.csv", &ok), "/mnt/USB1/LOGS/a.csv");
    EXPECT_EQ(ok, 1u);
    EXPECT_EQ(Resolve("B:LOGS\\a.csv"), "/mnt/USB1/LOGS/a.csv");
    EXPECT_EQ(Resolve("Z:\\ladder.pgm"), "/mnt/cfg/ladder.pgm");
    EXPECT_EQ(Resolve("LOGS/x.txt"), "/mnt/USB0/LOGS/x.txt");  // no letter: A:
    EXPECT_EQ(Resolve("/x.txt"), "/mnt/USB0/x.txt");
    EXPECT_EQ(Resolve("q:\\a.csv", &ok), "/");
    EXPECT_EQ(ok, 0u);

    // The whole way to the file under the root.
    EXPECT_EQ(_fxe_file_create(&media, "b:\\LOGS\\a.csv"), FX_SUCCESS);
    EXPECT_TRUE(FileExists(root / "mnt/USB1/LOGS/a.csv"));

    // Cut at 511 characters.
    const std::string long_name(700, 'n');
    const std::string r = Resolve(long_name.c_str());
    EXPECT_EQ(r.size(), 511u);
    EXPECT_EQ(r.substr(0, 10), "/mnt/USB0/");

    // A relative name lives in the current directory, with or without a
    // separator inside; a name with a leading separator or a drive does not.
    FxLocalPath lp{};
    EXPECT_EQ(_fxe_directory_local_path_set(&media, &lp, "B:\\LOGS"), FX_SUCCESS);
    EXPECT_STREQ(media.cwd, "B:\\LOGS/");
    EXPECT_STREQ(lp.path, "B:\\LOGS/");
    EXPECT_EQ(_fxe_file_create(&media, "b.csv"), FX_SUCCESS);
    EXPECT_TRUE(FileExists(root / "mnt/USB1/LOGS/b.csv"));
    EXPECT_EQ(_fxe_file_create(&media, "/c.csv"), FX_SUCCESS);
    EXPECT_TRUE(FileExists(root / "mnt/USB0/c.csv"));
    MakeDir("mnt/USB1/LOGS/IN");
    MakeDir("mnt/USB1/IN");
    EXPECT_EQ(_fxe_file_create(&media, "IN/d.csv"), FX_SUCCESS);
    EXPECT_TRUE(FileExists(root / "mnt/USB1/LOGS/IN/d.csv"));
    EXPECT_FALSE(FileExists(root / "mnt/USB1/IN/d.csv"));
    EXPECT_EQ(_fxe_file_create(&media, "B:\\IN\\e.csv"), FX_SUCCESS);
    EXPECT_TRUE(FileExists(root / "mnt/USB1/IN/e.csv"));
    // Relative local paths append; a lone separator empties.
    EXPECT_EQ(_fxe_directory_local_path_set(&media, nullptr, "SUB"), FX_SUCCESS);
    EXPECT_STREQ(media.cwd, "B:\\LOGS/SUB/");
    const char *cwd = nullptr;
    _fxe_directory_local_path_get(&media, &cwd);
    EXPECT_EQ(cwd, media.cwd);
    _fxe_directory_local_path_restore(&media, &lp);
    EXPECT_STREQ(media.cwd, "B:\\LOGS/");
    _fxe_directory_local_path_set(&media, nullptr, "\\");
    EXPECT_STREQ(media.cwd, "");
    _fxe_directory_local_path_restore(&media, nullptr);
    EXPECT_STREQ(media.cwd, "");
}

// A client in "/sub" (as the FTP server keeps its folder) names "in/x.txt":
// every operation takes it from "/sub", never from the root, whose "in"
// folder holds files of the same names.
TEST_F(FilexTest, RelativeNamesWithASeparatorStartAtTheCurrentDirectory) {
    MakeDir("mnt/USB0");
    MakeDir("mnt/USB0/sub");
    MakeDir("mnt/USB0/sub/in");
    MakeDir("mnt/USB0/in");
    WriteFile(root / "mnt/USB0/in/x.txt", {'R'});
    WriteFile(root / "mnt/USB0/in/y.txt", {'R'});
    WriteFile(root / "mnt/USB0/sub/in/x.txt", {'S'});
    WriteFile(root / "mnt/USB0/sub/in/y.txt", {'S'});
    ASSERT_EQ(_fxe_directory_local_path_set(&media, nullptr, "/sub"), FX_SUCCESS);
    ASSERT_STREQ(media.cwd, "/sub/");
    EXPECT_EQ(_fxe_file_delete(&media, "in/x.txt"), FX_SUCCESS);
    EXPECT_FALSE(FileExists(root / "mnt/USB0/sub/in/x.txt"));
    EXPECT_TRUE(FileExists(root / "mnt/USB0/in/x.txt"));
    EXPECT_EQ(_fxe_directory_create(&media, "in/new"), FX_SUCCESS);
    struct stat st {};
    EXPECT_EQ(stat((root / "mnt/USB0/sub/in/new").c_str(), &st), 0);
    EXPECT_NE(stat((root / "mnt/USB0/in/new").c_str(), &st), 0);
    uint32_t attr = 0;
    EXPECT_EQ(_fxe_directory_attributes_read(&media, "in/new", &attr), FX_SUCCESS);
    EXPECT_EQ(attr, uint32_t(FX_DIRECTORY));
    MakeDir("mnt/USB0/in/deeper");
    EXPECT_EQ(_fxe_directory_attributes_read(&media, "in/deeper", &attr), FX_INVALID_PATH);
    FxFile f{};
    ASSERT_EQ(_fxe_file_open(&media, &f, "in/y.txt", FX_OPEN_FOR_READ), FX_SUCCESS);
    char c = 0;
    uint32_t got = 0;
    EXPECT_EQ(_fxe_file_read(&f, &c, 1, &got), FX_SUCCESS);
    EXPECT_EQ(c, 'S');
    _fxe_file_close(&f);
    EXPECT_EQ(_fxe_file_rename(&media, "in/y.txt", "in/z.txt"), FX_SUCCESS);
    EXPECT_TRUE(FileExists(root / "mnt/USB0/sub/in/z.txt"));
    EXPECT_TRUE(FileExists(root / "mnt/USB0/in/y.txt"));
    EXPECT_EQ(_fxe_directory_delete(&media, "in/new"), FX_SUCCESS);
    EXPECT_NE(stat((root / "mnt/USB0/sub/in/new").c_str(), &st), 0);
    EXPECT_EQ(_fxe_directory_delete(&media, "in/deeper"), FX_ACCESS_ERROR);  // rmdir: ENOENT
    EXPECT_EQ(stat((root / "mnt/USB0/in/deeper").c_str(), &st), 0);
}

TEST_F(FilexTest, StatusNumbers) {
    MakeDir("mnt/USB0");
    MakeDir("mnt/USB0/D");
    FxFile f{};
    EXPECT_EQ(_fxe_file_open(&media, &f, "missing.txt", FX_OPEN_FOR_READ), FX_NOT_FOUND);
    EXPECT_EQ(_fxe_file_delete(&media, "missing.txt"), FX_NOT_FOUND);
    EXPECT_EQ(_fxe_directory_create(&media, "/D"), FX_ALREADY_CREATED);
    EXPECT_EQ(_fxe_file_delete(&media, "D"), FX_NOT_A_FILE);
    EXPECT_EQ(_fxe_file_create(&media, "/D/inner.txt"), FX_SUCCESS);
    EXPECT_EQ(_fxe_directory_delete(&media, "D"), FX_DIR_NOT_EMPTY);
    EXPECT_EQ(_fxe_directory_name_test(&media, "/D/inner.txt"), FX_NOT_DIRECTORY);
    EXPECT_EQ(_fxe_directory_name_test(&media, "nothere"), FX_NOT_FOUND);
    EXPECT_EQ(_fxe_directory_name_test(&media, "D"), FX_SUCCESS);
    EXPECT_EQ(_fxe_file_create(&media, "/nodir/x.txt"), FX_INVALID_PATH);
    EXPECT_EQ(_fxe_file_attributes_read(&media, "nothere", nullptr), FX_INVALID_PATH);
    EXPECT_EQ(_fxe_directory_information_get(&media, "nothere", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                             nullptr, nullptr),
              FX_NOT_FOUND);
    EXPECT_EQ(_fxe_file_close(&f), FX_NOT_OPEN);
    uint32_t n = 0;
    char buf[8];
    EXPECT_EQ(_fxe_file_read(&f, buf, sizeof buf, &n), FX_NOT_OPEN);
    EXPECT_EQ(_fxe_file_write(&f, buf, 1), FX_NOT_OPEN);
    EXPECT_EQ(_fxe_file_open(&media, &f, "q:\\x", FX_OPEN_FOR_READ), FX_MEDIA_NOT_OPEN);

    // Rename: missing source 13, existing target 11.
    EXPECT_EQ(_fxe_file_create(&media, "a.txt"), FX_SUCCESS);
    EXPECT_EQ(_fxe_file_create(&media, "b.txt"), FX_SUCCESS);
    EXPECT_EQ(_fxe_file_rename(&media, "none.txt", "c.txt"), FX_INVALID_PATH);
    EXPECT_EQ(_fxe_file_rename(&media, "a.txt", "b.txt"), FX_ALREADY_CREATED);
    // The renamed file gets a new modification time.
    ASSERT_EQ(set_mtime(nullptr, "/mnt/USB0/a.txt", 2020, 5, 6, 7, 8, 9, 0x10), FX_SUCCESS);
    EXPECT_EQ(_fxe_file_rename(&media, "a.txt", "c.txt"), FX_SUCCESS);
    EXPECT_TRUE(FileExists(root / "mnt/USB0/c.txt"));
    uint32_t year = 0;
    EXPECT_EQ(_fxe_directory_information_get(&media, "c.txt", nullptr, nullptr, &year, nullptr, nullptr, nullptr,
                                             nullptr, nullptr),
              FX_SUCCESS);
    EXPECT_NE(year, 2020u);
    // A folder renamed onto a folder that holds entries: 16.
    MakeDir("mnt/USB0/E1");
    MakeDir("mnt/USB0/E2");
    EXPECT_EQ(_fxe_file_create(&media, "/E2/kept.txt"), FX_SUCCESS);
    EXPECT_EQ(_fxe_directory_rename(&media, "E1", "E2"), FX_DIR_NOT_EMPTY);
    EXPECT_EQ(_fxe_directory_rename(&media, "E1", "E3"), FX_SUCCESS);
    EXPECT_TRUE(FileExists(root / "mnt/USB0/E3"));
    EXPECT_EQ(_fxe_directory_delete(&media, "/D/inner.txt"), FX_NOT_DIRECTORY);
    EXPECT_EQ(_fxe_file_delete(&media, "/D/inner.txt"), FX_SUCCESS);
    EXPECT_EQ(_fxe_directory_delete(&media, "D"), FX_SUCCESS);
}

TEST_F(FilexTest, FileReadWriteSeekAndAttributes) {
    MakeDir("mnt/USB0");
    FxFile f{};
    ASSERT_EQ(_fxe_file_create(&media, "data.bin"), FX_SUCCESS);
    ASSERT_EQ(_fxe_file_open(&media, &f, "data.bin", FX_OPEN_FOR_WRITE), FX_SUCCESS);
    EXPECT_NE(f.fd, 0);
    EXPECT_EQ(_fxe_file_write(&f, "0123456789", 10), FX_SUCCESS);
    EXPECT_EQ(f.size, 10u);
    EXPECT_EQ(_fxe_file_seek(&f, 2), FX_SUCCESS);
    char buf[16] = {};
    uint32_t n = 0;
    EXPECT_EQ(_fxe_file_read(&f, buf, 3, &n), FX_SUCCESS);
    EXPECT_EQ(n, 3u);
    EXPECT_STREQ(buf, "234");
    EXPECT_EQ(_fxe_file_relative_seek(&f, -2, 1), FX_SUCCESS);  // from the end
    EXPECT_EQ(_fxe_file_read(&f, buf, 8, &n), FX_SUCCESS);
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(_fxe_file_truncate(&f, 4), FX_SUCCESS);
    EXPECT_EQ(f.size, 4u);
    errno = EBADF;  // left over from elsewhere: a length out of range is no descriptor fault
    EXPECT_EQ(_fxe_file_truncate(&f, UINT64_MAX), FX_ACCESS_ERROR);
    EXPECT_EQ(_fxe_file_close(&f), FX_SUCCESS);
    // Appending open.
    ASSERT_EQ(_fxe_file_open(&media, &f, "data.bin", 2), FX_SUCCESS);
    EXPECT_EQ(_fxe_file_write(&f, "AB", 2), FX_SUCCESS);
    EXPECT_EQ(_fxe_file_close(&f), FX_SUCCESS);
    const auto content = ReadFile(root / "mnt/USB0/data.bin");
    EXPECT_EQ(std::string(content.begin(), content.end()), "0123AB");
    // Truncating open; opening a directory and reading answers 5.
    ASSERT_EQ(_fxe_file_open(&media, &f, "data.bin", FX_OPEN_FOR_TRUNCATE), FX_SUCCESS);
    EXPECT_EQ(f.size, 0u);
    MakeDir("mnt/USB0/DIR");
    ASSERT_EQ(_fxe_file_open(&media, &f, "DIR", FX_OPEN_FOR_READ), FX_SUCCESS);  // closes the previous one
    EXPECT_EQ(_fxe_file_read(&f, buf, 4, &n), FX_NOT_A_FILE);
    _fxe_file_close(&f);

    uint32_t attr = 0;
    EXPECT_EQ(_fxe_file_attributes_set(&media, "data.bin", FX_READ_ONLY), FX_SUCCESS);
    EXPECT_EQ(_fxe_file_attributes_read(&media, "data.bin", &attr), FX_SUCCESS);
    EXPECT_EQ(attr, FX_READ_ONLY);
    EXPECT_EQ(_fxe_file_attributes_set(&media, "data.bin", FX_SYSTEM), FX_SUCCESS);
    EXPECT_EQ(_fxe_file_attributes_read(&media, "data.bin", &attr), FX_SUCCESS);
    EXPECT_EQ(attr, FX_SYSTEM);
    EXPECT_EQ(_fxe_directory_attributes_read(&media, "DIR", &attr), FX_SUCCESS);
    EXPECT_EQ(attr & FX_DIRECTORY, FX_DIRECTORY);
    EXPECT_EQ(_fxe_directory_attributes_set(&media, "nothere", 0), FX_INVALID_PATH);

    // Mode bits as attributes: a file copied onto the card keeps the user's
    // mode and reads plain; what the attribute set writes reads back as set;
    // the configuration flash's own 0600 files read as system.
    struct ModeRow {
        mode_t mode;
        uint32_t card, flash;
    };
    for (const ModeRow &r : {ModeRow{0644, 0, 0}, ModeRow{0664, 0, 0}, ModeRow{0600, 0, 0x04}, ModeRow{0774, 0, 0},
                             ModeRow{0444, 0x01, 0x01}, ModeRow{0700, 0x04, 0x04}, ModeRow{0400, 0x01, 0x05}}) {
        SCOPED_TRACE(r.mode);
        for (const char *drive : {"A:", "Z:"}) {
            const std::string name = std::string(drive) + "\\MODE.BIN";
            const std::string host = root / (drive[0] == 'A' ? "mnt/USB0/MODE.BIN" : "mnt/cfg/MODE.BIN");
            WriteFile(host, {1});
            ASSERT_EQ(chmod(host.c_str(), r.mode), 0);
            attr = 0xFF;
            EXPECT_EQ(_fxe_file_attributes_read(&media, name.c_str(), &attr), FX_SUCCESS);
            EXPECT_EQ(attr, drive[0] == 'A' ? r.card : r.flash) << drive;
            attr = 0xFF;
            EXPECT_EQ(_fxe_directory_information_get(&media, name.c_str(), &attr, nullptr, nullptr, nullptr, nullptr,
                                                     nullptr, nullptr, nullptr),
                      FX_SUCCESS);
            EXPECT_EQ(attr, drive[0] == 'A' ? r.card : r.flash) << drive;
            unlink(host.c_str());
        }
    }
    ASSERT_EQ(chmod((root / "mnt/USB0/DIR").c_str(), 0700), 0);
    EXPECT_EQ(_fxe_directory_attributes_read(&media, "DIR", &attr), FX_SUCCESS);
    EXPECT_EQ(attr, 0x14u);
    ASSERT_EQ(chmod((root / "mnt/USB0/DIR").c_str(), 0755), 0);
    EXPECT_EQ(_fxe_directory_attributes_read(&media, "DIR", &attr), FX_SUCCESS);
    EXPECT_EQ(attr, 0x10u);

    EXPECT_EQ(set_mtime(nullptr, "/mnt/USB0/data.bin", 2020, 5, 6, 7, 8, 9, 0x10), FX_SUCCESS);
    uint32_t y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    uint64_t size = 9;
    EXPECT_EQ(_fxe_directory_information_get(&media, "data.bin", nullptr, &size, &y, &mo, &d, &h, &mi, &s), FX_SUCCESS);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(y * 10000 + mo * 100 + d, 20200506u);
    EXPECT_EQ(h * 10000 + mi * 100 + s, 70809u);
}

TEST_F(FilexTest, EntrySearchListsTheCurrentDirectory) {
    MakeDir("mnt/USB0");
    MakeDir("mnt/USB0/LOGS");
    WriteFile(root / "mnt/USB0/LOGS/one.csv", {1, 2, 3});
    MakeDir("mnt/USB0/LOGS/SUB");
    _fxe_directory_local_path_set(&media, nullptr, "LOGS");
    std::vector<std::string> names;
    char name[FX_NAME_MAX];
    uint32_t attr = 0;
    uint64_t size = 0;
    uint32_t r = _fxe_directory_first_full_entry_find(&media, name, &attr, &size, nullptr, nullptr, nullptr, nullptr,
                                                      nullptr, nullptr);
    while (r == FX_SUCCESS) {
        names.push_back(name);
        if (std::string(name) == "one.csv") {
            EXPECT_EQ(size, 3u);
        }
        if (std::string(name) == "SUB") {
            EXPECT_EQ(attr & FX_DIRECTORY, FX_DIRECTORY);
        }
        r = _fxe_directory_next_full_entry_find(&media, name, &attr, &size, nullptr, nullptr, nullptr, nullptr, nullptr,
                                                nullptr);
    }
    EXPECT_EQ(r, FX_NO_MORE_ENTRIES);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{".", "..", "SUB", "one.csv"}));
    EXPECT_EQ(media.dir, nullptr);
    EXPECT_EQ(_fxe_directory_next_full_entry_find(&media, name, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                                  nullptr, nullptr),
              FX_NOT_DIRECTORY);
    _fxe_directory_local_path_set(&media, nullptr, "/NONE");
    EXPECT_EQ(_fxe_directory_first_full_entry_find(&media, name, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                                   nullptr, nullptr),
              FX_NOT_FOUND);
}

// The entry search refuses a directory path and entry name that together
// reach 512 characters; 511 are still listed.
TEST_F(FilexTest, EntrySearchPathBound) {
    MakeDir("mnt/USB0");
    const std::string d1(200, 'd');
    MakeDir("mnt/USB0/" + d1);
    const std::size_t dir_len = 320;  // host path of the directory, trailing '/' included
    const std::size_t fixed = root.path().size() + std::strlen("/mnt/USB0/") + d1.size() + 2;
    ASSERT_LT(fixed, dir_len);
    const std::size_t n2 = dir_len - fixed;
    char name[FX_NAME_MAX];
    for (const std::size_t total : {std::size_t(511), std::size_t(512)}) {
        SCOPED_TRACE(total);
        const std::string d2(n2, total == 511 ? 'a' : 'b');
        MakeDir("mnt/USB0/" + d1 + "/" + d2);
        const std::string file(total - dir_len, 'f');
        WriteFile(root / ("mnt/USB0/" + d1 + "/" + d2 + "/" + file), {1});
        _fxe_directory_local_path_set(&media, nullptr, ("/" + d1 + "/" + d2).c_str());
        uint32_t r = _fxe_directory_first_full_entry_find(&media, name, nullptr, nullptr, nullptr, nullptr, nullptr,
                                                          nullptr, nullptr, nullptr);
        std::vector<uint32_t> answers;
        bool listed = false;
        while (r != FX_NO_MORE_ENTRIES && answers.size() < 10) {
            answers.push_back(r);
            if (r == FX_SUCCESS && file == name) listed = true;
            r = _fxe_directory_next_full_entry_find(&media, name, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                                    nullptr, nullptr);
        }
        EXPECT_EQ(answers.size(), 3u);
        EXPECT_EQ(listed, total == 511);
        EXPECT_EQ(std::count(answers.begin(), answers.end(), FX_INVALID_PATH), total == 511 ? 0 : 1);
    }
}

TEST_F(FilexTest, AbsentDriveAnswers17Everywhere) {
    // No mnt/USB0: drive A: is absent.
    FxFile f{};
    uint32_t kb = 0;
    char name[FX_NAME_MAX];
    EXPECT_EQ(Cf_Check(DRIVE_A), 0u);
    EXPECT_EQ(_fxe_file_create(&media, "a.txt"), FX_MEDIA_NOT_OPEN);
    EXPECT_EQ(_fxe_file_open(&media, &f, "a.txt", FX_OPEN_FOR_READ), FX_MEDIA_NOT_OPEN);
    EXPECT_EQ(_fxe_file_delete(&media, "a.txt"), FX_MEDIA_NOT_OPEN);
    EXPECT_EQ(_fxe_directory_create(&media, "D"), FX_MEDIA_NOT_OPEN);
    EXPECT_EQ(_fxe_directory_delete(&media, "D"), FX_MEDIA_NOT_OPEN);
    EXPECT_EQ(_fxe_directory_name_test(&media, "D"), FX_MEDIA_NOT_OPEN);
    EXPECT_EQ(_fxe_file_rename(&media, "a", "b"), FX_MEDIA_NOT_OPEN);
    EXPECT_EQ(_fxe_media_space_available(&media, &kb), FX_MEDIA_NOT_OPEN);
    EXPECT_EQ(_fxe_directory_first_full_entry_find(&media, name, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                                   nullptr, nullptr),
              FX_MEDIA_NOT_OPEN);

    // Inserting the card makes it usable; pulling it (renaming the folder away) ends that.
    MakeDir("mnt/USB0");
    EXPECT_EQ(Cf_Check(DRIVE_A), 3u);
    EXPECT_EQ(_fxe_file_create(&media, "a.txt"), FX_SUCCESS);
    ASSERT_EQ(rename((root / "mnt/USB0").c_str(), (root / "mnt/pulled").c_str()), 0);
    EXPECT_EQ(_fxe_file_create(&media, "b.txt"), FX_MEDIA_NOT_OPEN);
    EXPECT_EQ(MntDrive[DRIVE_A].mounted, 0);
    EXPECT_EQ(Cf_Check(DRIVE_Z), 3u);  // the configuration flash is always there
}

TEST_F(FilexTest, SpaceQueryComputesBytesBeforeKilobytes) {
    MakeDir("mnt/USB0");
    MakeDir("mnt/USB1");
    uint32_t kb = 0;
    // 512-byte blocks: 1000 free blocks are 500 KB, not 0.
    WriteRecord({1000, 4000, 512, 7, 100, 4096});
    media.drive = DRIVE_A;
    EXPECT_EQ(_fxe_media_space_available(&media, &kb), FX_SUCCESS);
    EXPECT_EQ(kb, 500u);
    EXPECT_EQ(media.space_valid, 1);
    EXPECT_EQ(media.total_blocks, 4000u);
    media.drive = DRIVE_B;
    EXPECT_EQ(_fxe_media_space_available(&media, &kb), FX_SUCCESS);
    EXPECT_EQ(kb, 28u);
    EXPECT_EQ(media.block_kb, 4u);
    // Large media: more than 4 GB free in bytes.
    WriteRecord({3000000, 4000000, 4096, 0, 0, 0});
    media.drive = DRIVE_A;
    EXPECT_EQ(_fxe_media_space_available(&media, &kb), FX_SUCCESS);
    EXPECT_EQ(kb, 12000000u);
    // Total 0, busy, unreadable: 6.
    media.drive = DRIVE_B;
    EXPECT_EQ(_fxe_media_space_available(&media, &kb), FX_ACCESS_ERROR);
    FileMutex = 1;
    media.drive = DRIVE_A;
    EXPECT_EQ(_fxe_media_space_available(&media, &kb), FX_ACCESS_ERROR);
    FileMutex = 0;
    unlink((root / "dev/shm/read.dat").c_str());
    EXPECT_EQ(_fxe_media_space_available(&media, &kb), FX_ACCESS_ERROR);
    // Z: is asked directly.
    media.drive = DRIVE_Z;
    EXPECT_EQ(_fxe_media_space_available(&media, &kb), FX_SUCCESS);
    EXPECT_GT(kb, 0u);
}

TEST_F(FilexTest, ReporterWritesSixWords) {
    BackTsk_Report();  // no card: nothing written
    EXPECT_FALSE(FileExists(root / "dev/shm/read.dat"));
    MakeDir("mnt/USB0");
    BackTsk_Report();
    const auto rec = ReadFile(root / "dev/shm/read.dat");
    ASSERT_EQ(rec.size(), 24u);
    struct statvfs v {};
    ASSERT_EQ(statvfs((root / "mnt/USB0").c_str(), &v), 0);
    EXPECT_EQ(LE_Get32(&rec[4]), uint32_t(v.f_blocks));
    EXPECT_EQ(LE_Get32(&rec[8]), uint32_t(v.f_frsize));
    EXPECT_EQ(LE_Get32(&rec[16]), 0u);  // no stick
    struct stat st {};
    stat((root / "dev/shm/read.dat").c_str(), &st);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(FilexTest, FormatEmptiesTheDriveFolder) {
    EXPECT_EQ(Cf_Format(0, DRIVE_B), 0u);  // not there
    MakeDir("mnt/USB1");
    MakeDir("mnt/USB1/A");
    WriteFile(root / "mnt/USB1/A/f.txt", {1});
    WriteFile(root / "mnt/USB1/g.txt", {2});
    EXPECT_EQ(Cf_Format(0, DRIVE_B), 3u);
    EXPECT_TRUE(FileExists(root / "mnt/USB1"));
    EXPECT_FALSE(FileExists(root / "mnt/USB1/A"));
    EXPECT_FALSE(FileExists(root / "mnt/USB1/g.txt"));
    EXPECT_EQ(MntDrive[DRIVE_B].mounted, 1);
}

// Symbolic links on a drive: every operation answers as for a name that does
// not exist, whether the link is the last component or a folder on the way;
// a listing shows no link; system paths on a drive refuse them too.
TEST_F(FilexTest, SymbolicLinksOnADriveAreNamesThatDoNotExist) {
    MakeDir("mnt/USB0");
    MakeDir("outside");
    WriteFile(root / "outside/secret.txt", std::vector<uint8_t>{'s'});
    ASSERT_EQ(symlink((root / "outside").c_str(), (root / "mnt/USB0/ESC").c_str()), 0);
    ASSERT_EQ(symlink((root / "outside/secret.txt").c_str(), (root / "mnt/USB0/PW.TXT").c_str()), 0);
    WriteFile(root / "mnt/USB0/OWN.TXT", std::vector<uint8_t>{'o'});
    FxFile f{};
    uint32_t attr = 0;
    struct Case {
        const char *what;
        uint32_t got, want;
    };
    const Case cases[] = {
        {"open the link", _fxe_file_open(&media, &f, "A:\\PW.TXT", FX_OPEN_FOR_READ), FX_NOT_FOUND},
        {"open through the link", _fxe_file_open(&media, &f, "A:\\ESC\\secret.txt", FX_OPEN_FOR_READ), FX_NOT_FOUND},
        {"create through", _fxe_file_create(&media, "A:\\ESC\\new.txt"), FX_INVALID_PATH},
        {"create over", _fxe_file_create(&media, "A:\\PW.TXT"), FX_INVALID_PATH},
        {"delete", _fxe_file_delete(&media, "A:\\PW.TXT"), FX_NOT_FOUND},
        {"delete through", _fxe_file_delete(&media, "A:\\ESC\\secret.txt"), FX_NOT_FOUND},
        {"rename from", _fxe_file_rename(&media, "A:\\PW.TXT", "A:\\X.TXT"), FX_INVALID_PATH},
        {"rename into", _fxe_file_rename(&media, "A:\\OWN.TXT", "A:\\ESC\\OWN.TXT"), FX_INVALID_PATH},
        {"folder rename", _fxe_directory_rename(&media, "A:\\ESC", "A:\\E2"), FX_ACCESS_ERROR},
        {"attributes", _fxe_file_attributes_read(&media, "A:\\PW.TXT", &attr), FX_INVALID_PATH},
        {"attributes set", _fxe_file_attributes_set(&media, "A:\\PW.TXT", 0), FX_INVALID_ATTR},
        {"folder attributes set", _fxe_directory_attributes_set(&media, "A:\\ESC", 0), FX_INVALID_PATH},
        {"mkdir through", _fxe_directory_create(&media, "A:\\ESC\\D"), FX_INVALID_PATH},
        {"rmdir", _fxe_directory_delete(&media, "A:\\ESC"), FX_ACCESS_ERROR},
        {"name test", _fxe_directory_name_test(&media, "A:\\ESC"), FX_NOT_FOUND},
        {"information",
         _fxe_directory_information_get(&media, "A:\\PW.TXT", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                        nullptr, nullptr),
         FX_NOT_FOUND},
    };
    for (const Case &c : cases) EXPECT_EQ(c.got, c.want) << c.what;
    EXPECT_EQ(f.open, 0);
    FxMedia in{};
    _fxe_directory_local_path_set(&in, nullptr, "A:\\ESC");
    char name[FX_NAME_MAX];
    EXPECT_EQ(_fxe_directory_first_full_entry_find(&in, name, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                                   nullptr, nullptr),
              FX_NOT_FOUND);
    // The card's root lists its own file only.
    FxMedia top{};
    _fxe_directory_local_path_set(&top, nullptr, "A:\\");
    std::vector<std::string> seen;
    for (uint32_t s = _fxe_directory_first_full_entry_find(&top, name, nullptr, nullptr, nullptr, nullptr, nullptr,
                                                           nullptr, nullptr, nullptr);
         s == FX_SUCCESS; s = _fxe_directory_next_full_entry_find(&top, name, nullptr, nullptr, nullptr, nullptr,
                                                                  nullptr, nullptr, nullptr, nullptr))
        if (name[0] != '.') seen.push_back(name);
    EXPECT_EQ(seen, std::vector<std::string>{"OWN.TXT"});
    EXPECT_EQ(ReadFile(root / "outside/secret.txt"), std::vector<uint8_t>{'s'});
    EXPECT_TRUE(FileExists(root / "mnt/USB0/PW.TXT"));

    // System paths: below a mount folder refused, elsewhere only placed.
    char host[FX_PATH_MAX];
    EXPECT_FALSE(Fx_MediaHost("/mnt/USB0/PW.TXT", host, sizeof host));
    EXPECT_FALSE(Fx_MediaHost("/mnt/USB0/ESC/secret.txt", host, sizeof host));
    EXPECT_FALSE(Fx_MediaHost("/mnt/USB0/../outside/secret.txt", host, sizeof host));
    ASSERT_TRUE(Fx_MediaHost("/mnt/USB0/OWN.TXT", host, sizeof host));
    EXPECT_EQ(std::string(host), root / "mnt/USB0/OWN.TXT");
    EXPECT_TRUE(Fx_MediaHost("/mnt/USB0/NEW/MISSING.TXT", host, sizeof host));
    ASSERT_EQ(symlink("USB0", (root / "mnt/USB").c_str()), 0);
    EXPECT_TRUE(Fx_MediaHost("/mnt/USB/OWN.TXT", host, sizeof host)) << "the mount folder itself may be a link";
}

// A file whose card is pulled: reads, writes and the close answer 17 and its
// descriptor is closed; another card in the same place is not the same drive;
// a hold finds and removes the file wherever its folder went.
TEST_F(FilexTest, PulledCardEndsOpenFiles) {
    MakeDir("mnt/USB0");
    FxFile w{}, r{};
    ASSERT_EQ(_fxe_file_create(&media, "A:\\W.BIN"), FX_SUCCESS);
    ASSERT_EQ(_fxe_file_open(&media, &w, "A:\\W.BIN", FX_OPEN_FOR_WRITE), FX_SUCCESS);
    WriteFile(root / "mnt/USB0/R.BIN", std::vector<uint8_t>(100, 7));
    ASSERT_EQ(_fxe_file_open(&media, &r, "A:\\R.BIN", FX_OPEN_FOR_READ), FX_SUCCESS);
    const int hold = _fxe_file_hold(&w);
    ASSERT_GE(hold, 0);
    EXPECT_EQ(_fxe_file_write(&w, "ab", 2), FX_SUCCESS);
    const int wfd = w.fd;
    ASSERT_EQ(rename((root / "mnt/USB0").c_str(), (root / "mnt/pulled").c_str()), 0);
    uint8_t buf[10];
    uint32_t n = 99;
    EXPECT_EQ(_fxe_file_write(&w, "cd", 2), FX_MEDIA_NOT_OPEN);
    EXPECT_EQ(w.open, 0);
    EXPECT_EQ(fcntl(wfd, F_GETFD), -1) << "the descriptor is closed";
    EXPECT_EQ(_fxe_file_close(&w), FX_NOT_OPEN);
    EXPECT_EQ(_fxe_file_read(&r, buf, sizeof buf, &n), FX_MEDIA_NOT_OPEN);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(ReadFile(root / "mnt/pulled/W.BIN"), (std::vector<uint8_t>{'a', 'b'}));
    _fxe_file_release(hold, true);
    EXPECT_FALSE(FileExists(root / "mnt/pulled/W.BIN"));

    // Another card in the slot: a file of the pulled one stays ended; the close says so.
    MakeDir("mnt/USB0");
    ASSERT_EQ(rename((root / "mnt/pulled/R.BIN").c_str(), (root / "mnt/USB0/R.BIN").c_str()), 0);
    ASSERT_EQ(_fxe_file_open(&media, &r, "A:\\R.BIN", FX_OPEN_FOR_READ), FX_SUCCESS);
    ASSERT_EQ(rename((root / "mnt/USB0").c_str(), (root / "mnt/pulled2").c_str()), 0);
    MakeDir("mnt/USB0");
    EXPECT_EQ(_fxe_file_media_check(&r), FX_MEDIA_NOT_OPEN);
    EXPECT_EQ(r.open, 0);
    ASSERT_EQ(_fxe_file_open(&media, &r, "A:\\..\\cfg\\x", FX_OPEN_FOR_READ), FX_INVALID_PATH);
    // A released hold without removal keeps the file; the configuration flash is never pulled.
    FxFile z{};
    ASSERT_EQ(_fxe_file_create(&media, "Z:\\K.BIN"), FX_SUCCESS);
    ASSERT_EQ(_fxe_file_open(&media, &z, "Z:\\K.BIN", FX_OPEN_FOR_WRITE), FX_SUCCESS);
    _fxe_file_release(_fxe_file_hold(&z), false);
    EXPECT_EQ(_fxe_file_write(&z, "k", 1), FX_SUCCESS);
    EXPECT_EQ(_fxe_file_close(&z), FX_SUCCESS);
    EXPECT_EQ(ReadFile(root / "mnt/cfg/K.BIN"), std::vector<uint8_t>{'k'});
}
