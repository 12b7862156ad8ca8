// File-transfer host through its edges: a second line before the reply, an
// empty listing, the end of an upload and an upload cut short, a download larger
// than the ring, and names that would climb out of the drive.
#include <algorithm>
#include <cstring>
#include <dirent.h>
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
    // Nothing pending; a second line before the first was carried out takes
    // its place, and the next poll says so (612) before the second's reply.
    EXPECT_EQ(Fxp_DoParseCommand(nullptr, &extra), 615);
    EXPECT_EQ(extra, -1);
    EXPECT_EQ(Fxp_DoParseCommand("mkd A:\\F", &extra), -1);
    EXPECT_EQ(Fxp_DoParseCommand("mkd A:\\E", &extra), -1);
    EXPECT_EQ(extra, -1);
    EXPECT_EQ(Fxp_DoParseCommand(nullptr, &extra), 612);
    EXPECT_EQ(extra, -1);
    EXPECT_EQ(Fxp_DoParseCommand(nullptr, &extra), -1);
    FxpMain(1);
    EXPECT_EQ(Fxp_DoParseCommand(nullptr, &extra), 257);
    EXPECT_EQ(Fxp_DoParseCommand(nullptr, &extra), 615);
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

// A reply nobody collected (the exchange that sent the line was cut off)
// never blocks the commands after it: each is carried out and answered.
TEST_F(FxpTest, AReplyLeftUncollectedBlocksNothing) {
    int32_t extra = 0;
    EXPECT_EQ(Fxp_DoParseCommand("mkd A:\\ONE", &extra), -1);
    FxpMain(1);
    FxpMain(1);
    EXPECT_EQ(Cmd("mkd A:\\TWO"), 257);
    EXPECT_EQ(Cmd("mkd A:\\THREE"), 257);
    EXPECT_TRUE(Exists("mnt/USB0/ONE"));
    EXPECT_TRUE(Exists("mnt/USB0/TWO"));
    EXPECT_TRUE(Exists("mnt/USB0/THREE"));
    // Left uncollected with a download open: the next command closes it.
    Put("mnt/USB0/D.TXT", "d");
    EXPECT_EQ(Fxp_DoParseCommand("retr A:\\D.TXT", &extra), -1);
    FxpMain(1);
    EXPECT_EQ(Cmd("dele A:\\D.TXT"), 250);
    EXPECT_FALSE(Exists("mnt/USB0/D.TXT"));
    EXPECT_EQ(Fxp_DoParseCommand(nullptr, &extra), 615);
}

// "stor" over an existing file replaces it whole: the old content stays
// under the name until the upload is complete, and an upload cut short (a new
// command, a reset of the host) leaves the old file and nothing else.
TEST_F(FxpTest, StorReplacesAFileOnlyWhenTheUploadIsWhole) {
    const uint8_t blk[4] = {'n', 'e', 'w', '!'};
    auto names = [&](const char *dir) {
        std::vector<std::string> out;
        if (DIR *d = opendir(P(dir).c_str())) {
            while (struct dirent *e = readdir(d))
                if (e->d_name[0] != '.') out.push_back(e->d_name);
            closedir(d);
        }
        std::sort(out.begin(), out.end());
        return out;
    };
    Put("mnt/USB0/W.BIN", "old content");
    EXPECT_EQ(Cmd("stor A:\\W.BIN"), 150);
    EXPECT_EQ(Fxp_DoWriteData(blk, 4), 651);
    FxpMain(1);
    EXPECT_EQ(Get("mnt/USB0/W.BIN"), "old content");
    // A new command ends the upload: the old file stays as it was.
    EXPECT_EQ(Cmd("cdup"), 618);
    EXPECT_EQ(Get("mnt/USB0/W.BIN"), "old content");
    EXPECT_EQ(names("mnt/USB0"), std::vector<std::string>{"W.BIN"});
    // A reset of the host during an upload: the same.
    EXPECT_EQ(Cmd("stor A:\\W.BIN"), 150);
    EXPECT_EQ(Fxp_DoWriteData(blk, 4), 651);
    FxpMain(1);
    Fxp_Initialise();
    EXPECT_EQ(Get("mnt/USB0/W.BIN"), "old content");
    EXPECT_EQ(names("mnt/USB0"), std::vector<std::string>{"W.BIN"});
    // A whole upload takes the old file's place.
    EXPECT_EQ(Cmd("stor A:\\W.BIN"), 150);
    EXPECT_EQ(Fxp_DoWriteData(blk, 4), 651);
    EXPECT_EQ(Fxp_DoWriteData(nullptr, 0), -1);
    for (int i = 0; i < 4; ++i) FxpMain(1);
    EXPECT_EQ(Fxp_DoWriteData(nullptr, 0), 651);
    EXPECT_EQ(Get("mnt/USB0/W.BIN"), "new!");
    EXPECT_EQ(names("mnt/USB0"), std::vector<std::string>{"W.BIN"});
    // A new file on the configuration flash is a plain file (group read).
    EXPECT_EQ(Cmd("stor Z:\\PUT.BIN"), 150);
    EXPECT_EQ(Fxp_DoWriteData(blk, 4), 651);
    EXPECT_EQ(Fxp_DoWriteData(nullptr, 0), -1);
    for (int i = 0; i < 4; ++i) FxpMain(1);
    EXPECT_EQ(Fxp_DoWriteData(nullptr, 0), 651);
    struct stat st {};
    ASSERT_EQ(stat(P("mnt/cfg/PUT.BIN").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0774u);
    // A folder of that name is not replaced.
    MkDir("mnt/USB0/DIR");
    EXPECT_EQ(Cmd("stor A:\\DIR"), 614);
}

// "rmd" of the working directory answers 501; of a folder above it, which
// is not empty, 617 like any folder that is not empty.
TEST_F(FxpTest, RemovingTheWorkingDirectoryOrAFolderAboveIt) {
    EXPECT_EQ(Cmd("mkd A:\\UP\\DOWN"), 257);
    EXPECT_EQ(Cmd("cwd A:\\UP\\DOWN"), 250);
    EXPECT_EQ(Cmd("rmd A:\\UP\\DOWN"), 501);
    EXPECT_EQ(Cmd("rmd A:\\UP"), 617);
    struct stat st {};
    EXPECT_EQ(stat(P("mnt/USB0/UP/DOWN").c_str(), &st), 0);
}

// Reply codes of each command's failures, and the listing's attribute
// letters of a read-only and a system file.
TEST_F(FxpTest, FailureRepliesAndAttributeLetters) {
    int32_t extra = 0;
    Put("mnt/USB0/F.TXT", "f");
    Put("mnt/USB0/G.TXT", "g");
    MkDir("mnt/USB0/D");
    MkDir("outside");
    ASSERT_EQ(symlink(P("outside").c_str(), P("mnt/USB0/L").c_str()), 0);
    EXPECT_EQ(Cmd("mkd A:\\D"), 614);           // exists
    EXPECT_EQ(Cmd("mkd A:\\L\\X"), 550);        // through a link: a name that is not there
    EXPECT_EQ(Cmd("mkd A:\\F.TXT\\SUB"), 611);  // below a file: neither of the named failures
    EXPECT_FALSE(Exists("outside/X"));
    EXPECT_EQ(Cmd("dele A:\\NONE.TXT"), 550);
    EXPECT_EQ(Cmd("dele A:\\D"), 501);  // a folder
    EXPECT_TRUE(Exists("mnt/USB0/D"));
    EXPECT_EQ(Cmd("rnfr A:\\F.TXT A:\\G.TXT"), 614);  // the new name is taken
    EXPECT_EQ(Get("mnt/USB0/G.TXT"), "g");
    MkDir("mnt/USB0/E");
    Put("mnt/USB0/E/in.txt", "i");
    EXPECT_EQ(Cmd("rnfr A:\\D A:\\E"), 614);          // a folder onto one that is not empty
    EXPECT_EQ(Cmd("rnfr A:\\F.TXT"), 501);            // no new name
    EXPECT_EQ(Cmd("rnfr A:\\F.TXT B:\\F.TXT"), 501);  // another drive
    EXPECT_EQ(Cmd("rnfr A:\\NONE.TXT A:\\H.TXT"), 550);
    EXPECT_EQ(Cmd("retr A:\\D"), 450);  // not a file
    EXPECT_EQ(Cmd("retr A:\\NONE.TXT"), 550);
    EXPECT_EQ(Cmd("cwd A:\\F.TXT"), 611);     // a file: not a directory
    EXPECT_EQ(Cmd("cwd A:\\NONE"), 550);      // not there
    EXPECT_EQ(Cmd("cwd A:\\F.TXT\\X"), 550);  // below a file: no such path
    // Read-only: no owner write; system: 0700 on the card.
    ASSERT_EQ(chmod(P("mnt/USB0/F.TXT").c_str(), 0444), 0);
    ASSERT_EQ(chmod(P("mnt/USB0/G.TXT").c_str(), 0700), 0);
    EXPECT_EQ(Cmd("list A:\\*.TXT", &extra), 619);
    const std::string l = ReadAll(64);
    EXPECT_NE(l.find("F F.TXT 1 "), std::string::npos) << l;
    EXPECT_NE(l.find(" Rsh\r\n"), std::string::npos) << l;
    EXPECT_NE(l.find("F G.TXT 1 "), std::string::npos) << l;
    EXPECT_NE(l.find(" rSh\r\n"), std::string::npos) << l;
    EXPECT_EQ(l.find(" rsh"), std::string::npos) << l;
}

// An upload whose tool went silent (Ctrl-C, a cable pulled) is cut short
// after 15 s without a block: the part received is dropped, the name keeps
// nothing, a late block is refused once, and the name can be uploaded again.
TEST_F(FxpTest, AnUploadWhoseToolWentSilentLeavesNoPartialFile) {
    test_support::FakeClock clock;
    auto entries = [&] {
        std::vector<std::string> out;
        if (DIR *d = opendir(P("mnt/USB0").c_str())) {
            while (struct dirent *e = readdir(d))
                if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) out.push_back(e->d_name);
            closedir(d);
        }
        return out;
    };
    const uint8_t blk[3] = {1, 2, 3};
    EXPECT_EQ(Cmd("stor A:\\HALF.BIN"), 150);
    EXPECT_EQ(Fxp_DoWriteData(blk, 3), 651);
    FxpMain(1);
    EXPECT_FALSE(Exists("mnt/USB0/HALF.BIN"));  // not under its name before it is whole
    // Blocks 15 s apart keep it going.
    test_support::FakeClock::AdvanceMs(15000);
    FxpMain(1);
    EXPECT_EQ(Fxp_DoWriteData(blk, 3), 651);
    test_support::FakeClock::AdvanceMs(15000);
    FxpMain(1);
    EXPECT_FALSE(Exists("mnt/USB0/HALF.BIN"));
    // Silent for longer: the part is dropped, a late block refused once,
    // and the same name can be uploaded again.
    test_support::FakeClock::AdvanceMs(2);
    FxpMain(1);
    EXPECT_EQ(entries(), std::vector<std::string>{});
    EXPECT_EQ(Fxp_DoWriteData(blk, 3), 611);
    EXPECT_EQ(Cmd("stor A:\\HALF.BIN"), 150);
    EXPECT_EQ(Fxp_DoWriteData(blk, 3), 651);
    EXPECT_EQ(Fxp_DoWriteData(nullptr, 0), -1);
    for (int i = 0; i < 4; ++i) FxpMain(1);
    EXPECT_EQ(Fxp_DoWriteData(nullptr, 0), 651);
    EXPECT_EQ(Get("mnt/USB0/HALF.BIN"), std::string("\x01\x02\x03"));
}

}  // namespace
