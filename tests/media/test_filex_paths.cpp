// Names that would leave their drive: every ".." component is refused, in
// the name itself, in a name joined to the current directory and in the
// current directory being set; nothing is created outside the drive.
#include <string>
#include <sys/stat.h>

#include "media/filex.h"
#include "tests/core/test_storage_support.h"

using namespace storage_test;

TEST(FilexPaths, DotDotComponentsNeverLeaveTheDrive) {
    TempRoot root;
    for (MntDriveRec &d : MntDrive) d.mounted = 0;
    FileMutex = 0;
    ASSERT_EQ(mkdir((root / "mnt/USB0").c_str(), 0775), 0);
    ASSERT_EQ(mkdir((root / "mnt/USB0/LOGS").c_str(), 0775), 0);
    FxMedia media{};

    for (const char *name : {"A:\\..\\..\\..\\x", "A:\\..\\cfg\\ladder.pgm", "/../x", "LOGS/../../x", "a:..",
                             "b:/LOGS/..", "A:\\LOGS\\..\\..\\USB1\\x", "..\\x", "../x"}) {
        EXPECT_EQ(_fxe_file_create(&media, name), FX_INVALID_PATH) << name;
        FxFile f{};
        EXPECT_EQ(_fxe_file_open(&media, &f, name, 0), FX_INVALID_PATH) << name;
        EXPECT_EQ(_fxe_directory_create(&media, name), FX_INVALID_PATH) << name;
        EXPECT_EQ(_fxe_file_delete(&media, name), FX_INVALID_PATH) << name;
        char out[FX_PATH_MAX];
        EXPECT_EQ(CfDriveChk(name, out, DRIVE_ANY), 0u) << name;
        EXPECT_STREQ(out, "/");
    }
    EXPECT_FALSE(FileExists(root / "mnt/x"));
    EXPECT_FALSE(FileExists(root / "x"));
    EXPECT_FALSE(FileExists(root / "mnt/cfg/ladder.pgm"));
    EXPECT_EQ(_fxe_file_rename(&media, "A:\\LOGS\\a", "A:\\..\\a"), FX_INVALID_PATH);

    // A current directory cannot climb, and a relative name joined to it is checked whole.
    EXPECT_EQ(_fxe_directory_local_path_set(&media, nullptr, "A:\\LOGS\\..\\.."), FX_INVALID_PATH);
    EXPECT_EQ(_fxe_directory_local_path_set(&media, nullptr, ".."), FX_INVALID_PATH);
    std::snprintf(media.cwd, sizeof media.cwd, "%s", "A:\\..\\");  // as if it had been set earlier
    EXPECT_EQ(_fxe_file_create(&media, "x"), FX_INVALID_PATH);
    EXPECT_FALSE(FileExists(root / "mnt/x"));

    // Names that only look alike are ordinary names.
    EXPECT_EQ(_fxe_directory_local_path_set(&media, nullptr, "A:\\LOGS"), FX_SUCCESS);
    EXPECT_EQ(_fxe_file_create(&media, "..x"), FX_SUCCESS);
    EXPECT_EQ(_fxe_file_create(&media, "A:\\LOGS\\..."), FX_SUCCESS);
    EXPECT_EQ(_fxe_file_create(&media, "A:\\LOGS\\.\\y"), FX_SUCCESS);
    EXPECT_TRUE(FileExists(root / "mnt/USB0/LOGS/..x"));
    EXPECT_TRUE(FileExists(root / "mnt/USB0/LOGS/y"));
}
