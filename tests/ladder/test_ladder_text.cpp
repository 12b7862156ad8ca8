// Byte strings, counted strings and text: compares and copies, text to
// number with 32-bit saturation, number to text through the program's own
// format (checked before use), the decimal text of 64-bit values and the
// clock set through a pointer.
#include <cstring>
#include <string>

#include "core/image/rtc.h"
#include "platform/plat.h"
#include "tests/ladder/lad_rungs.h"
#include "tests/support/fake_rtc.h"

using test_support::FakeRtc;

using namespace la;

namespace {

// Byte offset of the low byte of %R n.
constexpr uint32_t RB(uint32_t n) { return 2 * (1983 + n); }

void PutText(uint32_t byte, const std::string &s, bool zero = true) {
    std::memcpy(&plc_reg[byte], s.data(), s.size());
    if (zero) plc_reg[byte + s.size()] = 0;
}
std::string Text(uint32_t byte) { return std::string(reinterpret_cast<const char *>(&plc_reg[byte])); }
void PutCounted(uint32_t byte, uint8_t cap, const std::string &s) {
    plc_reg[byte] = cap;
    plc_reg[byte + 1] = uint8_t(s.size());
    std::memcpy(&plc_reg[byte + 2], s.data(), s.size());
}
std::string Counted(uint32_t byte) {
    return std::string(reinterpret_cast<const char *>(&plc_reg[byte + 2]), plc_reg[byte + 1]);
}

// The 20-byte format field, zero-padded (a text of 20 bytes has no zero byte).
void Fmt(LadAsm &a, const std::string &f) {
    uint8_t b[20] = {};
    std::memcpy(b, f.data(), std::min<std::size_t>(f.size(), 20));
    for (int i = 0; i < 20; i += 2) a.word(uint16_t(b[i] | (b[i + 1] << 8)));
}
// Inline bytes of a string instruction.
void Inline(LadAsm &a, const std::string &s) {
    for (std::size_t i = 0; i < s.size(); i += 2)
        a.word(uint16_t(uint8_t(s[i]) | (i + 1 < s.size() ? uint8_t(s[i + 1]) << 8 : 0)));
}

}  // namespace

TEST_F(LadderTest, ByteStringsAndNumberToText) {
    for (bool l16 : {true, false}) {
        SetUp();
        LadRungs r(l16);
        PutText(RB(400), "Hello");
        PutText(RB(410), "Help!");
        PutText(RB(420), "12ab");
        PutText(RB(430), "3000000000");
        PutText(RB(440), "99999999999");
        PutText(RB(450), " -2.5e1");
        // Digits up to the last byte of the image, no zero byte anywhere after.
        std::memset(&plc_reg[109050], '7', PLC_REG_SIZE - 109050);
        const uint32_t tail = 0x10030000u + 8 * (109050 - 108544);
        LT_SetW(R(460), 1234);
        LT_SetW(R(461), 5);
        LT_SetD(R(462), 0xFFFFFFFBu);
        LT_SetD(R(492), uint32_t(-123));
        LT_SetF(R(464), 3.14159f);
        LT_SetD(R(466), 0x7FC00000u);
        LT_SetD(R(470), 0);
        LT_SetD(R(472), 1);  // 2^32 at %R470
        LT_SetD(R(480), 0);
        LT_SetD(R(482), 0);  // 0 at %R480
        LT_SetD(R(474), 0xFFFFFFFFu);
        LT_SetD(R(476), 0xFFFFFFFFu);
        LT_SetW(R(490), 'A');
        auto body = [](std::function<void(LadAsm &)> f) { return f; };
        r.rung("178 same", true, body([](LadAsm &a) { a.op(178).word(3).reg(R(400)).reg(R(410)); }), 0, 0, true);
        r.rung("178 differ", true, body([](LadAsm &a) { a.op(178).word(4).reg(R(400)).reg(R(410)); }), 0, 0, false);
        // The last bytes of the image are reached by the extended layout only.
        if (!l16)
            r.rung("178 past the end", true, body([](LadAsm &a) { a.op(178).word(4000).reg(tail).reg(R(410)); }), 0, 0,
                   false);
        r.rung("179 inline", true, body([](LadAsm &a) {
                   a.op(179).word(5).reg(R(400));
                   Inline(a, "Hello");
               }),
               0, 0, true);
        r.rung("179 inline differ", true, body([](LadAsm &a) {
                   a.op(179).word(3).reg(R(400));
                   Inline(a, "Hex");
               }),
               0, 0, false);
        r.rung("182 copy", true, body([](LadAsm &a) { a.op(182).word(6).reg(R(500)).reg(R(400)); }), 0, 0, true);
        r.rung("183 inline copy", true, body([](LadAsm &a) {
                   a.op(183).word(3).reg(R(504));
                   Inline(a, "abc");
               }),
               0, 0, true);
        r.rung("184 12ab", true, body([](LadAsm &a) { a.op(184).reg(R(510)).reg(R(420)).word(0); }), 0, 0, true);
        r.rung("184 3e9", true, body([](LadAsm &a) { a.op(184).reg(R(511)).reg(R(430)).word(1); }), 0, 0, true);
        r.rung("184 99999999999", true, body([](LadAsm &a) { a.op(184).reg(R(513)).reg(R(440)).word(0); }), 0, 0, true);
        r.rung("184 float", true, body([](LadAsm &a) { a.op(184).reg(R(514)).reg(R(450)).word(2); }), 0, 0, true);
        r.rung("184 kind 3", true, body([](LadAsm &a) { a.op(184).reg(R(516)).reg(R(420)).word(3); }), 0, 0, true);
        if (!l16)
            r.rung("184 at the image end", true, body([](LadAsm &a) { a.op(184).reg(R(517)).reg(tail).word(1); }), 0, 0,
                   true);
        r.rung("188 Hello", true, body([](LadAsm &a) { a.op(188).reg(R(519)).reg(R(400)); }), 0, 0, true);
        if (!l16) r.rung("188 no zero", true, body([](LadAsm &a) { a.op(188).reg(R(520)).reg(tail); }), 0, 0, false);
        // 187: D, S, kind, decimals, width, format.
        auto n2t = [](uint32_t d, uint32_t s, uint16_t k, uint16_t dec, uint16_t w, const char *f) {
            return [=](LadAsm &a) {
                a.op(187).reg(R(d)).reg(R(s)).word(k).word(dec).word(w);
                Fmt(a, f);
            };
        };
        r.rung("187 w5", true, n2t(600, 460, 0, 2, 5, "%d"), 0, 0, true);
        r.rung("187 w4", true, n2t(610, 460, 0, 2, 4, "%d"), 0, 0, false);
        r.rung("187 5 w3", true, n2t(620, 461, 0, 2, 3, "%d"), 0, 0, true);
        r.rung("187 -5", true, n2t(630, 462, 1, 2, 9, "%ld"), 0, 0, true);
        r.rung("187 %ld", true, n2t(640, 462, 1, 0, 9, "%ld"), 0, 0, true);
        // Decimals no more than the digits: the point goes in front of the
        // last d characters, after the sign ("-.123" fits 5).
        r.rung("187 -123 d3 w5", true, n2t(850, 492, 1, 3, 5, "%ld"), 0, 0, true);
        // A padded negative with more decimals than digits keeps its padding
        // and sign in front of "0.0".
        r.rung("187 %6ld -5 d2", true, n2t(860, 462, 1, 2, 9, "%6ld"), 0, 0, true);
        r.rung("187 %u", true, n2t(650, 462, 1, 0, 19, "%lu"), 0, 0, true);
        r.rung("187 float", true, n2t(660, 464, 2, 0, 9, "x=%6.2f%%"), 0, 0, true);
        r.rung("187 nan", true, n2t(670, 466, 2, 0, 9, "%f"), 0, 0, false);
        for (const char *bad :
             {"%s", "%n", "%*d", "%d%d", "%f", "%lld", "%1000d", "%lc", "%hc", "%d..................", "abc%"}) {
            r.rung(std::string("187 refused ") + bad, true, n2t(680, 460, 0, 0, 9, bad), 0, 0, false);
        }
        r.rung("187 float as %d refused", true, n2t(690, 464, 2, 0, 9, "%d"), 0, 0, false);
        // A format with no conversion prints its text; %c the value's character.
        r.rung("187 no conversion", true, n2t(692, 460, 0, 0, 9, "ON"), 0, 0, true);
        r.rung("187 %c", true, n2t(694, 490, 0, 0, 9, "<%c>"), 0, 0, true);
        r.rung("187 float, no conversion", true, n2t(696, 464, 2, 0, 9, "100%%"), 0, 0, true);
        r.rung("187 39 wide", true, n2t(700, 460, 0, 0, 39, "%39d"), 0, 0, true);
        r.rung("187 40 wide", true, n2t(720, 460, 0, 0, 39, "%40d"), 0, 0, false);
        r.rung("187 d 38", true, n2t(740, 460, 0, 38, 39, "%d"), 0, 0, false);
        r.rung("400 0", true, body([](LadAsm &a) { a.op(400).reg(R(760)).reg(R(480)); }), 0, 0, true);
        r.rung("400 2^32", true, body([](LadAsm &a) { a.op(400).reg(R(770)).reg(R(470)); }), 0, 0, true);
        r.rung("400 2^64-1", true, body([](LadAsm &a) { a.op(400).reg(R(780)).reg(R(474)); }), 0, 0, true);
        if (!l16)
            r.rung("400 at the image end", true, body([](LadAsm &a) { a.op(400).reg(tail).reg(R(474)); }), 0, 0, false);
        PutText(RB(680), "keep");
        r.a.end();
        EXPECT_EQ(Run(r.a), -1);
        r.check();
        EXPECT_EQ(std::string(reinterpret_cast<const char *>(&plc_reg[RB(500)]), 6), std::string("Hello\0", 6));
        EXPECT_EQ(std::string(reinterpret_cast<const char *>(&plc_reg[RB(504)]), 3), "abc");
        EXPECT_EQ(LT_W(R(510)), 12);
        EXPECT_EQ(LT_D(R(511)), 0x7FFFFFFFu);
        EXPECT_EQ(LT_W(R(513)), 0xFFFF);
        EXPECT_EQ(LT_F(R(514)), -25.0f);
        EXPECT_EQ(LT_W(R(516)), 0);
        if (!l16) {
            EXPECT_EQ(LT_D(R(517)), 0x7FFFFFFFu);
        }
        EXPECT_EQ(LT_W(R(519)), 5);
        EXPECT_EQ(LT_W(R(520)), 0);
        EXPECT_EQ(Text(RB(600)), "12.34");
        EXPECT_EQ(Text(RB(610)), "12.3");
        EXPECT_EQ(Text(RB(620)), ".05");
        EXPECT_EQ(Text(RB(630)), "-0.05");
        EXPECT_EQ(Text(RB(640)), "-5");
        EXPECT_EQ(Text(RB(850)), "-.123");
        EXPECT_EQ(Text(RB(860)), "    -0.05");
        EXPECT_EQ(Text(RB(650)), "4294967291");
        EXPECT_EQ(Text(RB(660)), "x=  3.14%");
        EXPECT_EQ(Text(RB(670)), "");
        EXPECT_EQ(Text(RB(680)), "keep");
        EXPECT_EQ(Text(RB(690)), "");
        EXPECT_EQ(Text(RB(692)), "ON");
        EXPECT_EQ(Text(RB(694)), "<A>");
        EXPECT_EQ(Text(RB(696)), "100%");
        EXPECT_EQ(Text(RB(700)), std::string(35, ' ') + "1234");
        EXPECT_EQ(Text(RB(720)), "");
        EXPECT_EQ(Text(RB(740)), "");
        EXPECT_EQ(Text(RB(760)), "0");
        EXPECT_EQ(Text(RB(770)), "4294967296");
        EXPECT_EQ(Text(RB(780)), "18446744073709551615");
        EXPECT_EQ(plc_reg[PLC_REG_SIZE - 1], '7');
    }
}

TEST_F(LadderTest, CountedStringsThroughPointers) {
    const PlatRtcOps *saved = plat_rtc;
    plat_rtc = &FakeRtc::ops;
    FakeRtc::sets = 0;
    LadRungs r(false);
    // Pointer registers %R1 .. %R40 (two words each) to strings in %R100 up.
    uint32_t nptr = 1;
    auto ptr = [&](uint32_t byte) {
        const uint32_t reg = nptr;
        nptr += 2;
        LT_SetD(R(reg), byte);
        return R(reg);
    };
    const uint32_t src10 = ptr(RB(100)), dst4 = ptr(RB(110)), d8 = ptr(RB(120)), s5 = ptr(RB(130)), over = ptr(RB(140)),
                   ab = ptr(RB(150)), abc = ptr(RB(160)), ac = ptr(RB(170)), empty = ptr(RB(180)),
                   minus1 = ptr(RB(190)), x12 = ptr(RB(200)), big = ptr(RB(210)), flt = ptr(RB(220)),
                   spaced = ptr(RB(300)), plain = ptr(RB(400)), num = ptr(RB(410)), out = ptr(RB(420)),
                   nan = ptr(RB(430)), t1 = ptr(RB(440)), t2 = ptr(RB(460)), t3 = ptr(RB(480)), cs1 = ptr(RB(500)),
                   cs2 = ptr(RB(520)), clk = ptr(RB(700)), badclk = ptr(RB(710)), wild = ptr(PLC_REG_SIZE - 1),
                   n1234 = ptr(RB(412)), n42 = ptr(RB(414)), n5 = ptr(RB(416)), n123 = ptr(RB(418)), nm5 = ptr(RB(446));
    PutCounted(RB(100), 20, "0123456789");
    PutCounted(RB(110), 4, "");
    plc_reg[RB(110) + 6] = 'Z';
    PutCounted(RB(120), 8, "abcdef");
    PutCounted(RB(130), 10, "12345");
    PutCounted(RB(140), 3, "abcde");  // length above its capacity
    PutCounted(RB(150), 5, "AB");
    PutCounted(RB(160), 5, "ABC");
    PutCounted(RB(170), 5, "AC");
    PutCounted(RB(180), 5, "");
    PutCounted(RB(190), 5, "-1");
    PutCounted(RB(200), 5, "12x");
    PutCounted(RB(210), 12, "3000000000");
    PutCounted(RB(220), 5, "2.5");
    PutCounted(RB(300), 200, std::string(67, ' ') + "5");  // the 5 falls past the 67 characters taken
    PutText(RB(400), "  -42");
    LT_SetW(R(410), 12345);  // byte RB(410)
    LT_SetW(R(412), 1234);
    LT_SetW(R(414), 42);
    LT_SetW(R(416), 5);
    LT_SetD(R(418), uint32_t(-123));
    LT_SetD(R(446), uint32_t(-5));
    LT_SetD(R(430), 0x7F800000u);
    const uint16_t when[7] = {0, 34, 12, 15, 6, 2030, 0};
    const uint16_t april31[7] = {0, 0, 0, 31, 4, 2030, 0};
    for (int i = 0; i < 7; i++) {
        LT_SetW(R(700 + i), when[i]);
        LT_SetW(R(710 + i), april31[i]);
    }
    auto two = [](uint16_t op, uint32_t d, uint32_t s) { return [=](LadAsm &a) { a.op(op).reg(d).reg(s); }; };
    auto conv = [](uint16_t op, uint32_t d, uint32_t s, uint16_t m) {
        return [=](LadAsm &a) { a.op(op).reg(d).reg(s).word(m); };
    };
    auto n2s = [](uint16_t op, uint32_t d, uint32_t s, uint16_t m, uint16_t p, uint16_t L, const char *f) {
        return [=](LadAsm &a) {
            a.op(op).reg(d).reg(s).word(m).word(p).word(L);
            Fmt(a, f);
        };
    };
    r.rung("511 10 into 4", false, two(511, dst4, src10), 0, 0, false);
    PutCounted(RB(600), 0, "");
    plc_reg[RB(600) + 1] = 7;  // a stale length
    plc_reg[RB(600) + 2] = 'Q';
    LT_SetD(R(1500), RB(600));  // a pointer above those ptr() hands out
    r.rung("511 into capacity 0", true, two(511, R(1500), src10), 0, 0, true);
    r.rung("512 append", true, two(512, d8, s5), 0, 0, true);
    r.rung("512 over capacity", true, two(512, over, s5), 0, 0, true);
    r.rung("513 AB ABC", true, two(513, ab, abc), 0, 0, false);
    r.rung("513 empty", false, two(513, empty, empty), 0, 0, true);
    r.rung("514 AC>AB", false, two(514, ac, ab), 0, 0, true);
    r.rung("514 AB>AC", true, two(514, ab, ac), 0, 0, false);
    r.rung("514 ABC>AB", true, two(514, abc, ab), 0, 0, true);
    r.rung("514 AB>ABC", true, two(514, ab, abc), 0, 0, false);
    r.rung("515 AB>=AB", false, two(515, ab, ab), 0, 0, true);
    r.rung("515 AB>=AC", true, two(515, ab, ac), 0, 0, false);
    r.rung("513 wild pointer", true, two(513, wild, ab), 0, 0, false);
    r.rung("516 -1", true, conv(516, ptr(RB(800)), minus1, 0), 0, 0, true);
    r.rung("516 12x", true, conv(516, ptr(RB(802)), x12, 0), 0, 0, true);
    r.rung("516 empty", true, conv(516, ptr(RB(804)), empty, 0), 0, 0, true);
    r.rung("516 3e9", true, conv(516, ptr(RB(806)), big, 1), 0, 0, true);
    r.rung("516 2.5", true, conv(516, ptr(RB(808)), flt, 2), 0, 0, true);
    r.rung("516 cut", true, conv(516, ptr(RB(810)), spaced, 1), 0, 0, true);
    r.rung("516 m 3", true, conv(516, ptr(RB(812)), minus1, 3), 0, 0, true);
    r.rung("519 plain", true, conv(519, ptr(RB(814)), plain, 0), 0, 0, true);
    r.rung("519 wild", true, conv(519, wild, plain, 1), 0, 0, false);
    r.rung("517 L6", true, n2s(517, t1, num, 0, 2, 6, "%d"), 0, 0, true);
    r.rung("517 L5", true, n2s(517, t2, num, 0, 2, 5, "%d"), 0, 0, false);
    r.rung("517 nan", true, n2s(517, out, nan, 2, 0, 9, "%f"), 0, 0, false);
    // A text longer than the 30-byte buffer is cut to its 29 characters and
    // reported; so is one cut with the point it got.
    r.rung("517 30 wide", true, n2s(517, out, num, 0, 0, 40, "%30d"), 0, 0, false);
    r.rung("517 point past the buffer", true, n2s(517, ptr(RB(900)), num, 0, 40, 60, "%d"), 0, 0, false);
    r.rung("517 5 L3", true, n2s(517, ptr(RB(970)), n5, 0, 2, 3, "%d"), 0, 0, true);
    r.rung("517 -123 p3 L5", true, n2s(517, ptr(RB(980)), n123, 1, 3, 5, "%ld"), 0, 0, true);
    r.rung("517 %6ld -5 p2", true, n2s(517, ptr(RB(990)), nm5, 1, 2, 9, "%6ld"), 0, 0, true);
    r.rung("517 no conversion", true, n2s(517, ptr(RB(920)), num, 0, 0, 9, "ON"), 0, 0, true);
    r.rung("517 %c", true, n2s(517, ptr(RB(930)), n42, 0, 0, 9, "%c"), 0, 0, true);
    r.rung("518 no conversion", true, n2s(518, ptr(RB(940)), n42, 0, 0, 9, "OFF"), 0, 0, true);
    r.rung("518 %5c", true, n2s(518, ptr(RB(950)), n42, 0, 0, 9, "%5c"), 0, 0, true);
    r.rung("518 %s refused", true, n2s(518, ptr(RB(960)), n42, 0, 0, 9, "%s"), 0, 0, false);
    r.rung("517 29 wide", true, n2s(517, t3, num, 0, 0, 40, "%29d"), 0, 0, true);
    r.rung("518 L3", true, n2s(518, cs1, n1234, 0, 0, 3, "%d"), 0, 0, true);
    r.rung("518 L300", true, n2s(518, cs2, n42, 0, 0, 300, "%d"), 0, 0, true);
    r.rung("518 256 characters", true, n2s(518, ptr(RB(1000)), n42, 0, 0, 300, "%255d%%"), 0, 0, true);
    r.rung(
        "520 off", false, [&](LadAsm &a) { a.op(520).reg(clk); }, 0, 0, false);
    r.rung(
        "520 set", true, [&](LadAsm &a) { a.op(520).reg(clk); }, 0, 0, true);
    r.rung(
        "520 31 April", true, [&](LadAsm &a) { a.op(520).reg(badclk); }, 0, 0, false);
    r.rung(
        "520 wild", true, [&](LadAsm &a) { a.op(520).reg(wild); }, 0, 0, false);
    r.a.end();
    EXPECT_EQ(Run(r.a), -1);
    r.check();
    EXPECT_EQ(Counted(RB(110)), "0123");
    EXPECT_EQ(plc_reg[RB(110)], 4);
    EXPECT_EQ(plc_reg[RB(110) + 6], 'Z');  // beyond the capacity: untouched
    EXPECT_EQ(Counted(RB(100)), "0123456789");
    EXPECT_EQ(plc_reg[RB(600)], 0);
    EXPECT_EQ(plc_reg[RB(600) + 1], 0);
    EXPECT_EQ(plc_reg[RB(600) + 2], 'Q');
    EXPECT_EQ(Counted(RB(120)), "abcdef12");
    EXPECT_EQ(Counted(RB(140)), "abcde");
    EXPECT_EQ(LT_W(R(800)), 0xFFFF);
    EXPECT_EQ(LT_W(R(802)), 12);
    EXPECT_EQ(LT_W(R(804)), 0);
    EXPECT_EQ(LT_D(R(806)), 0x7FFFFFFFu);
    EXPECT_EQ(LT_F(R(808)), 2.5f);
    EXPECT_EQ(LT_D(R(810)), 0u);
    EXPECT_EQ(LT_W(R(812)), 0u);
    EXPECT_EQ(LT_W(R(814)), uint16_t(-42));
    EXPECT_EQ(Text(RB(440)), "123.45");
    EXPECT_EQ(Text(RB(460)), "123.4");
    EXPECT_EQ(Text(RB(420)), std::string(25, ' ') + "1234");
    EXPECT_EQ(Text(RB(900)), "0." + std::string(27, '0'));
    EXPECT_EQ(Text(RB(970)), ".05") << "0.05 is one longer than L: its 0 goes";
    EXPECT_EQ(Text(RB(980)), "-.123");
    EXPECT_EQ(Text(RB(990)), "    -0.05");
    EXPECT_EQ(Text(RB(920)), "ON");
    EXPECT_EQ(Text(RB(930)), "*");
    EXPECT_EQ(plc_reg[RB(940)], 9);
    EXPECT_EQ(Counted(RB(940)), "OFF");
    EXPECT_EQ(Counted(RB(950)), "    *");
    EXPECT_EQ(plc_reg[RB(960) + 1], 0);
    EXPECT_EQ(Text(RB(480)), std::string(24, ' ') + "12345");
    EXPECT_EQ(plc_reg[RB(500)], 3);
    EXPECT_EQ(Counted(RB(500)), "123");
    EXPECT_EQ(plc_reg[RB(520)], 0);  // capacity 256
    EXPECT_EQ(Counted(RB(520)), "42");
    EXPECT_EQ(plc_reg[RB(1000)], 0);
    EXPECT_EQ(Counted(RB(1000)), std::string(253, ' ') + "42");  // cut to 255 of the 256
    EXPECT_EQ(plc_reg[RB(1000) + 2 + 255], 0);
    EXPECT_EQ(FakeRtc::sets, 1);
    EXPECT_EQ(FakeRtc::last.tm_year, 2030 - 1900);
    EXPECT_EQ(FakeRtc::last.tm_mon, 5);
    EXPECT_EQ(FakeRtc::last.tm_mday, 15);
    EXPECT_EQ(FakeRtc::last.tm_min, 34);
    Rtc_ScanUpdate();  // the scan's clock step brings the clock image in line
    for (int i = 1; i < 6; i++) EXPECT_EQ(PlcWord(W_CLOCK + i), when[i]) << i;
    plat_rtc = saved;
}
