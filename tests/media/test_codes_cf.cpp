// Every file-layer status turned into its CF result code, and every drive
// check state, as the translation table gives them.
#include "tests/media/media_fixture.h"

using namespace media_test;

namespace {

class CfCodes : public MediaTest {};

TEST_F(CfCodes, EveryFileLayerStatusAndDriveStateHasItsCode) {
    const uint16_t want[37] = {0,  5,  5,  5,  66, 73, 77, 73, 92, 65535, 92, 81, 86, 66, 66, 81, 92, 2, 86,
                               86, 86, 86, 86, 86, 86, 86, 5,  5,  5,     5,  5,  5,  5,  5,  5,  92, 86};
    for (uint32_t s = 0; s < 37; s++) {
        EXPECT_EQ(CfXlate(s), want[s]) << "status " << s;
        EXPECT_EQ(CfResult, s);
    }
    EXPECT_EQ(CfXlate(137), 86);
    // Too many open files: the drive is checked again (A: is mnt/USB0 here).
    EXPECT_EQ(CfXlate(144), 5) << "still mounted: media error";
    ::rmdir(P("mnt/USB0").c_str());
    EXPECT_EQ(CfXlate(144), 2) << "gone: not present";
    // Drive check states: 0 not mounted, 1, 2, formatting, 3 mounted.
    const uint32_t states[5][2] = {{0, 2}, {1, 4}, {2, 1}, {82, 82}, {3, 0}};
    for (const auto &st : states) EXPECT_EQ(CfStateDecode(st[0]), st[1]) << "state " << st[0];
}

}  // namespace
