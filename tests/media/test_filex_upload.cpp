// Uploads through the file layer: the new content replaces the target only
// when committed whole; an aborted one, a pulled card or a refused name
// leaves the target and the folder as they were.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "media/filex.h"
#include "tests/core/test_storage_support.h"

using namespace storage_test;

namespace {

class FilexUpload : public ::testing::Test {
protected:
    TempRoot root;
    FxMedia media{};
    FxFile file{};
    FxUpload up{};

    void SetUp() override {
        for (MntDriveRec &d : MntDrive) d.mounted = 0;
        mkdir((root / "mnt").c_str(), 0775);  // the root may hold it already
        ASSERT_EQ(mkdir((root / "mnt/USB0").c_str(), 0775), 0);
        file.fd = -1;
        Put("a.bin", "old content");
    }
    void TearDown() override { _fxe_file_upload_abort(&file, &up); }

    void Put(const std::string &name, const std::string &text) {
        WriteFile(root / ("mnt/USB0/" + name), std::vector<uint8_t>(text.begin(), text.end()));
    }
    std::string Get(const std::string &name) {
        const std::vector<uint8_t> v = ReadFile(root / ("mnt/USB0/" + name));
        return std::string(v.begin(), v.end());
    }
    std::vector<std::string> Listing(const std::string &folder = "mnt/USB0") {
        std::vector<std::string> out;
        DIR *d = opendir((root / folder).c_str());
        while (struct dirent *e = d ? readdir(d) : nullptr) {
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) out.push_back(e->d_name);
        }
        if (d) closedir(d);
        std::sort(out.begin(), out.end());
        return out;
    }
    void Write(const char *text) { ASSERT_EQ(_fxe_file_write(&file, text, uint32_t(std::strlen(text))), FX_SUCCESS); }
};

using Names = std::vector<std::string>;

}  // namespace

TEST_F(FilexUpload, CommitReplacesAbortLeavesTheOldFile) {
    ASSERT_EQ(_fxe_file_upload_open(&media, &file, &up, "/a.bin", false), FX_SUCCESS);
    Write("new");
    EXPECT_EQ(Get("a.bin"), "old content") << "nothing changes before the commit";
    EXPECT_EQ(Listing(), Names{"a.bin"});
    ASSERT_EQ(_fxe_file_upload_commit(&file, &up), FX_SUCCESS);
    EXPECT_EQ(file.open, 0);
    EXPECT_EQ(up.active, 0);
    EXPECT_EQ(Get("a.bin"), "new");
    EXPECT_EQ(Listing(), Names{"a.bin"});

    ASSERT_EQ(_fxe_file_upload_open(&media, &file, &up, "/a.bin", false), FX_SUCCESS);
    Write("half");
    _fxe_file_upload_abort(&file, &up);
    EXPECT_EQ(file.open, 0);
    EXPECT_EQ(Get("a.bin"), "new");
    EXPECT_EQ(Listing(), Names{"a.bin"});
    EXPECT_EQ(_fxe_file_upload_commit(&file, &up), FX_NOT_OPEN) << "an aborted upload is not committed";
    EXPECT_EQ(Get("a.bin"), "new");

    // A new name: created by the commit only.
    ASSERT_EQ(_fxe_file_upload_open(&media, &file, &up, "/b.bin", false), FX_SUCCESS);
    Write("bee");
    EXPECT_EQ(Listing(), Names{"a.bin"});
    ASSERT_EQ(_fxe_file_upload_commit(&file, &up), FX_SUCCESS);
    EXPECT_EQ(Get("b.bin"), "bee");
    ASSERT_EQ(_fxe_file_upload_open(&media, &file, &up, "/c.bin", false), FX_SUCCESS);
    Write("sea");
    _fxe_file_upload_abort(&file, &up);
    EXPECT_EQ(Listing(), (Names{"a.bin", "b.bin"}));
}

TEST_F(FilexUpload, AppendStartsFromTheOldContentAndKeepsTheRights) {
    ASSERT_EQ(chmod((root / "mnt/USB0/a.bin").c_str(), 0640), 0);
    ASSERT_EQ(_fxe_file_upload_open(&media, &file, &up, "/a.bin", true), FX_SUCCESS);
    EXPECT_EQ(file.size, 11u);
    Write("+tail");
    _fxe_file_upload_abort(&file, &up);
    EXPECT_EQ(Get("a.bin"), "old content") << "a failed append leaves the file uncut";
    ASSERT_EQ(_fxe_file_upload_open(&media, &file, &up, "/a.bin", true), FX_SUCCESS);
    Write("+tail");
    ASSERT_EQ(_fxe_file_upload_commit(&file, &up), FX_SUCCESS);
    EXPECT_EQ(Get("a.bin"), "old content+tail");
    struct stat st {};
    ASSERT_EQ(stat((root / "mnt/USB0/a.bin").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    // Appending to a name not there yet starts empty.
    ASSERT_EQ(_fxe_file_upload_open(&media, &file, &up, "/n.bin", true), FX_SUCCESS);
    Write("x");
    ASSERT_EQ(_fxe_file_upload_commit(&file, &up), FX_SUCCESS);
    EXPECT_EQ(Get("n.bin"), "x");
}

TEST_F(FilexUpload, RefusedNamesPulledCardAndALeftOverTemporary) {
    ASSERT_EQ(mkdir((root / "mnt/USB0/d").c_str(), 0775), 0);
    EXPECT_EQ(_fxe_file_upload_open(&media, &file, &up, "/d", false), FX_NOT_A_FILE);
    EXPECT_EQ(_fxe_file_upload_open(&media, &file, &up, "/nofolder/x.bin", false), FX_NOT_FOUND);
    EXPECT_EQ(_fxe_file_upload_open(&media, &file, &up, "/../cfg/x.bin", false), FX_INVALID_PATH);
    WriteFile(root / "outside.txt", {'o'});
    ASSERT_EQ(symlink((root / "outside.txt").c_str(), (root / "mnt/USB0/l.bin").c_str()), 0);
    EXPECT_EQ(_fxe_file_upload_open(&media, &file, &up, "/l.bin", false), FX_NOT_FOUND);
    EXPECT_EQ(ReadFile(root / "outside.txt"), std::vector<uint8_t>{'o'});
    EXPECT_EQ(file.open, 0);
    EXPECT_EQ(up.active, 0);

    // A temporary a power cut left behind goes with the next whole upload.
    Put(std::string("a.bin") + FX_UPLOAD_SUFFIX, "stale");
    ASSERT_EQ(_fxe_file_upload_open(&media, &file, &up, "/a.bin", false), FX_SUCCESS);
    Write("fresh");
    ASSERT_EQ(_fxe_file_upload_commit(&file, &up), FX_SUCCESS);
    EXPECT_EQ(Listing(), (Names{"a.bin", "d", "l.bin"}));
    EXPECT_EQ(Get("a.bin"), "fresh");

    // The card pulled before the commit: refused, the pulled card unchanged.
    ASSERT_EQ(_fxe_file_upload_open(&media, &file, &up, "/a.bin", false), FX_SUCCESS);
    Write("lost");
    ASSERT_EQ(rename((root / "mnt/USB0").c_str(), (root / "mnt/pulled").c_str()), 0);
    EXPECT_EQ(_fxe_file_upload_commit(&file, &up), FX_MEDIA_NOT_OPEN);
    EXPECT_EQ(file.open, 0);
    EXPECT_EQ(Listing("mnt/pulled"), (Names{"a.bin", "d", "l.bin"}));
    const std::vector<uint8_t> v = ReadFile(root / "mnt/pulled/a.bin");
    EXPECT_EQ(std::string(v.begin(), v.end()), "fresh");
}
