// The refusals of a register write over the command protocol: every one
// answered with its own code byte (0x09 refused, 0x0F outside the image), the
// register left as it was; the accepted writes beside them answer 0xA0.
#include "tests/cmd/test_cmd_support.h"

#include "core/image/bytes.h"
#include "core/image/plcreg.h"

using namespace cmd_test;

namespace {

class CmdCodes : public CmdTest {};

// Bytes of the image at a linear register address (multiple of 8).
uint16_t Word(uint32_t address) { return LE_Get16(&plc_reg[(address - 1024) / 8]); }

TEST_F(CmdCodes, SetPlcRegAnswersEachRefusalWithItsCode) {
    struct Row {
        const char *what;
        Bytes data;  // after the station id: width, address, value
        uint8_t answer;
        uint32_t address;  // register read back afterwards
        uint16_t after;    // when accepted; a refusal leaves it as it was
    };
    const Row rows[] = {
        // %SR3 (address 3072 + 16 * 2 = 0x0C20) takes 0..25.
        {"%SR3 = 25", {16, 0x20, 0x0C, 25, 0}, 0xA0, 0x0C20, 25},
        {"%SR3 = 26, over its maximum", {16, 0x20, 0x0C, 26, 0}, 0x09, 0x0C20, 25},
        // %SR11 (0x0CA0) is read-only.
        {"read-only %SR11", {16, 0xA0, 0x0C, 1, 0}, 0x09, 0x0CA0, 0},
        // %SR10 (0x0C90) is 16 bits wide: 32 bits refused, 16 taken.
        {"32 bits into 16-bit %SR10", {32, 0x90, 0x0C, 1, 0, 1, 0}, 0x09, 0x0C90, 0},
        {"%SR10 = 0x1234", {16, 0x90, 0x0C, 0x34, 0x12}, 0xA0, 0x0C90, 0x1234},
        // The mode word (%SR5, 0x0C40) is written whole only.
        {"one bit of the mode word", {1, 0x41, 0x0C, 1}, 0x09, 0x0C40, 0},
        // %SR47 (0x0EE0) takes the whole date only.
        {"16 bits at the date", {16, 0xE0, 0x0E, 1, 0}, 0x09, 0x0EE0, 0},
        // %SR44 (0x0EB0), the seconds, takes 0..59.
        {"seconds 60", {16, 0xB0, 0x0E, 60, 0}, 0x09, 0x0EB0, 0},
        // A 32-bit address past the image.
        {"outside the image", {16, 0x00, 0x00, 0x00, 0x00, 0x00, 0x20, 1, 0}, 0x0F, 0x8000, 0},
        {"%R1 = 0xBEEF", {16, 0x00, 0x80, 0xEF, 0xBE}, 0xA0, 0x8000, 0xBEEF},
    };
    for (const Row &r : rows) {
        Bytes d{0x7F};
        d.insert(d.end(), r.data.begin(), r.data.end());
        const uint16_t before = Word(r.address);
        EXPECT_EQ(Exchange(Frame(0x18, d)), (Bytes{r.answer})) << r.what;
        EXPECT_EQ(Word(r.address), r.answer == 0xA0 ? r.after : before) << r.what;
    }
}

}  // namespace
