// File-transfer host through its edges: a second line before the reply, an
// empty listing, the end of an upload and an upload cut short, a download larger
// than the ring, and names that would climb out of the drive.
#include <sys/stat.h>

#include "media/fxp.h"
#include "tests/media/media_fixture.h"
#include "tests/support/fake_clock.h"

namespace {

using media_test::MediaTest;

class FxpTest : public MediaTest {
protected:
    void SetUp() override {
        MediaTest::SetUp();
        Fxp_Initialise();
    }
    // Sends a line and runs passes until the reply is there.
    int32_t Cmd(const char *line, int32_t *extra = nullptr) {
        int32_t e = -1;
        EXPECT_EQ(Fxp_DoParseCommand(line, &e), -1);
        for (int i = 0; i < 10; ++i) {
            FxpMain(1);
            const int32_t r = Fxp_DoParseCommand(nullptr, &e);
            if (r != -1) {
                if (extra) *extra = e;
                return r;
            }
        }
        return -2;
    }
    std::string ReadAll(uint32_t max) {
        std::string out;
        uint8_t buf[1024];
        for (int i = 0; i < 1000; ++i) {
            FxpMain(1);
            const int32_t r = Fxp_DoReadData(buf, max);
            if (r == 0) return out;
            if (r > 0) {
                EXPECT_LE(uint32_t(r), max);
                out.append(reinterpret_cast<char *>(buf), std::size_t(r));
            } else {
                EXPECT_EQ(r, -1);
            }
        }
        ADD_FAILURE() << "no end of data";
        return out;
    }
};

TEST_F(FxpTest, PollsListingsAndDownloadsThroughTheRing) {
    int32_t extra = 0;
    // Nothing pending; a second line before the reply is collected.
    EXPECT_EQ(Fxp_DoParseCommand(nullptr, &extra), 615);
    EXPECT_EQ(extra, -1);
    EXPECT_EQ(Fxp_DoParseCommand("mkd A:\\E", &extra), -1);
    EXPECT_EQ(Fxp_DoParseCommand("mkd A:\\F", &extra), -1);
    EXPECT_EQ(Fxp_DoParseCommand(nullptr, &extra), 612);
    FxpMain(1);
    EXPECT_EQ(Fxp_DoParseCommand(nullptr, &extra), 257);
    EXPECT_FALSE(Exists("mnt/USB0/F"));

    // An empty directory lists 0 bytes and ends at once.
    EXPECT_EQ(Cmd("cwd E", &extra), 250);
    EXPECT_EQ(Cmd("list", &extra), 619);
    EXPECT_EQ(extra, 0);
    EXPECT_EQ(ReadAll(64), "");
    uint8_t b[64];
    EXPECT_EQ(Fxp_DoReadData(b, 64), -653);
    EXPECT_EQ(Cmd("list *.TXT", &extra), 619);
    EXPECT_EQ(extra, 0);
    EXPECT_EQ(Cmd("list A:\\NONE\\*.*", &extra), 550);

    // A file several rings long, read in 1,000-byte pieces.
    std::string big;
    for (int i = 0; i < 9000; ++i) big.push_back(char('a' + i % 26));
    Put("mnt/USB0/E/BIG.TXT", big);
    Put("mnt/USB0/E/x.dat", "x");
    EXPECT_EQ(Cmd("retr big.txt", &extra), 619);
    EXPECT_EQ(extra, 9000);
    EXPECT_EQ(ReadAll(1000), big);
    // A pattern picks entries; the size column is the byte count.
    EXPECT_EQ(Cmd("list *.TXT", &extra), 619);
    const std::string l = ReadAll(64);
    EXPECT_EQ(int32_t(l.size()), extra);
    EXPECT_EQ(l.rfind("F BIG.TXT 9000 ", 0), 0u) << l;
    EXPECT_EQ(l.find("x.dat"), std::string::npos);

    // Names that climb out of the drive, missing arguments, other drives.
    EXPECT_EQ(Cmd("retr A:\\..\\..\\etc\\passwd"), 501);
    EXPECT_EQ(Cmd("cwd ..\\.."), 501);
    EXPECT_EQ(Cmd("cwd"), 611);
    EXPECT_EQ(Cmd("stor"), 501);
    EXPECT_EQ(Cmd("rnfr BIG.TXT"), 501);
    EXPECT_EQ(Cmd("rmd A:\\E"), 501);  // the working directory itself
    EXPECT_EQ(Cmd("mkd Q:\\X"), 501);
    EXPECT_EQ(Cmd("mkd B:\\X"), 611);  // no stick
    EXPECT_EQ(Cmd(""), 500);
}

TEST_F(FxpTest, UploadEndsOnceFlushedAndRefusesBlocksOutsideIt) {
    int32_t extra = 0;
    EXPECT_EQ(Cmd("stor A:\\W.BIN", &extra), 150);
    const uint8_t blk[63] = {1, 2, 3};
    // More than the ring holds in one pass: offered again.
    EXPECT_EQ(Fxp_DoWriteData(blk, 63), 651);
    std::vector<uint8_t> huge(FXP_RING_SIZE);
    EXPECT_EQ(Fxp_DoWriteData(huge.data(), uint32_t(huge.size())), -1);
    FxpMain(1);
    EXPECT_EQ(Fxp_DoWriteData(blk, 63), 651);
    EXPECT_EQ(Fxp_DoWriteData(nullptr, 0), -1);
    for (int i = 0; i < 4; ++i) FxpMain(1);
    EXPECT_EQ(Fxp_DoWriteData(nullptr, 0), 651);
    EXPECT_EQ(media_test::ReadFile(P("mnt/USB0/W.BIN")).size(), 126u);

    // A closing block with no upload, a data block after it: refused.
    EXPECT_EQ(Fxp_DoWriteData(nullptr, 0), 611);
    EXPECT_EQ(Fxp_DoWriteData(blk, 3), 611);
    // A new command while an upload runs deletes the unfinished file.
    EXPECT_EQ(Cmd("stor A:\\CUT.BIN"), 150);
    EXPECT_EQ(Fxp_DoWriteData(blk, 3), 651);
    EXPECT_EQ(Cmd("cdup"), 618);
    EXPECT_FALSE(Exists("mnt/USB0/CUT.BIN"));
}

TEST_F(FxpTest, WorkingDirectoryGoneAndUploadCutShort) {
    int32_t extra = 0;
    EXPECT_EQ(Cmd("mkd A:\\W"), 257);
    EXPECT_EQ(Cmd("cwd W"), 250);
    Put("mnt/USB0/W/A.TXT", "abc");
    EXPECT_EQ(Cmd("retr A.TXT", &extra), 619);
    EXPECT_EQ(extra, 3);
    EXPECT_EQ(ReadAll(64), "abc");
    // The folder removed from outside: the next command cannot go back to
    // it (616), and the drive's working directory is its root again.
    ASSERT_EQ(std::remove(P("mnt/USB0/W/A.TXT").c_str()), 0);
    ASSERT_EQ(::rmdir(P("mnt/USB0/W").c_str()), 0);
    EXPECT_EQ(Cmd("retr A.TXT"), 616);
    Put("mnt/USB0/A.TXT", "root");
    EXPECT_EQ(Cmd("retr A.TXT", &extra), 619);
    EXPECT_EQ(extra, 4);
    EXPECT_EQ(ReadAll(64), "root");

    // An upload whose card is pulled: the blocks that follow and the
    // closing one are refused, and a new upload goes on as usual.
    const uint8_t blk[3] = {1, 2, 3};
    EXPECT_EQ(Cmd("stor A:\\CUT.BIN"), 150);
    EXPECT_EQ(Fxp_DoWriteData(blk, 3), 651);
    ASSERT_EQ(rename(P("mnt/USB0").c_str(), P("mnt/USB0.out").c_str()), 0);
    FxpMain(1);
    EXPECT_EQ(Fxp_DoWriteData(blk, 3), 611);
    EXPECT_EQ(Fxp_DoWriteData(blk, 3), 611);
    EXPECT_EQ(Fxp_DoWriteData(nullptr, 0), 611);
    ASSERT_EQ(rename(P("mnt/USB0.out").c_str(), P("mnt/USB0").c_str()), 0);
    EXPECT_EQ(Cmd("stor A:\\NEXT.BIN"), 150);
    EXPECT_EQ(Fxp_DoWriteData(blk, 3), 651);
    EXPECT_EQ(Fxp_DoWriteData(nullptr, 0), -1);
    for (int i = 0; i < 4; ++i) FxpMain(1);
    EXPECT_EQ(Fxp_DoWriteData(nullptr, 0), 651);
    EXPECT_EQ(Get("mnt/USB0/NEXT.BIN"), std::string("\x01\x02\x03"));
}

TEST_F(FxpTest, AnUploadWhoseToolWentSilentLeavesNoPartialFile) {
    test_support::FakeClock clock;
    const uint8_t blk[3] = {1, 2, 3};
    EXPECT_EQ(Cmd("stor A:\\HALF.BIN"), 150);
    EXPECT_EQ(Fxp_DoWriteData(blk, 3), 651);
    FxpMain(1);
    EXPECT_TRUE(Exists("mnt/USB0/HALF.BIN"));
    // Blocks 15 s apart keep it going.
    test_support::FakeClock::AdvanceMs(15000);
    FxpMain(1);
    EXPECT_EQ(Fxp_DoWriteData(blk, 3), 651);
    test_support::FakeClock::AdvanceMs(15000);
    FxpMain(1);
    EXPECT_TRUE(Exists("mnt/USB0/HALF.BIN"));
    // Silent for longer: the partial file is deleted, a late block refused
    // once, and the same name can be uploaded again.
    test_support::FakeClock::AdvanceMs(2);
    FxpMain(1);
    EXPECT_FALSE(Exists("mnt/USB0/HALF.BIN"));
    EXPECT_EQ(Fxp_DoWriteData(blk, 3), 611);
    EXPECT_EQ(Cmd("stor A:\\HALF.BIN"), 150);
    EXPECT_EQ(Fxp_DoWriteData(blk, 3), 651);
    EXPECT_EQ(Fxp_DoWriteData(nullptr, 0), -1);
    for (int i = 0; i < 4; ++i) FxpMain(1);
    EXPECT_EQ(Fxp_DoWriteData(nullptr, 0), 651);
    EXPECT_EQ(Get("mnt/USB0/HALF.BIN"), std::string("\x01\x02\x03"));
}

}  // namespace
