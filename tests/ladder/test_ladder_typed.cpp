// Float arithmetic and functions, integer remainder and roots, compares,
// typed arithmetic, width-word arithmetic and the load-and-convert
// instructions, each checked for its value and its power, in both layouts.
#include <bit>
#include <climits>
#include <cmath>

#include "core/image/numconv.h"
#include "tests/ladder/lad_rungs.h"

using namespace la;

namespace {
constexpr uint32_t F(float f) { return std::bit_cast<uint32_t>(f); }
constexpr uint32_t NaN = 0x7FC00000u, Inf = 0x7F800000u;
}  // namespace

TEST_F(LadderTest, FloatAndIntegerFunctions) {
    for (bool l16 : {false, true}) {
        SetUp();
        LadRungs r(l16);
        r.rung("7/0", true, Push32({F(7.0f), 0}, 131), 32, 0x40E00000u, false);
        r.rung("7/-0", true, Push32({F(7.0f), 0x80000000u}, 131), 32, 0x40E00000u, false);
        r.rung("3e38*10", true, Push32({F(3e38f), F(10.0f)}, 130), 32, Inf, true);
        r.rung("nan+1", true, Push32({NaN, F(1.0f)}, 128), 32, NaN, false);
        r.rung("5-7.5", true, Push32({F(5.0f), F(7.5f)}, 129), 32, F(-2.5f), true);
        r.rung("sqrt -4", true, Push32({F(-4.0f)}, 148), 32, 0x4EFF0000u, false);
        r.rung("sqrt -0", true, Push32({0x80000000u}, 148), 32, 0x4EFF0000u, false);
        // The marker of a negative square root, as a number.
        EXPECT_EQ(std::bit_cast<float>(0x4EFF0000u), 2139095040.0f);
        r.rung("sqrt 16", true, Push32({F(16.0f)}, 148), 32, F(4.0f), true);
        r.rung("sqrt inf", true, Push32({Inf}, 148), 32, Inf, false);
        r.rung("abs", true, Push32({F(-2.5f)}, 146), 32, F(2.5f), true);
        r.rung("fmod", true, Push32({F(-7.5f), F(2.0f)}, 147), 32, F(-1.5f), true);
        r.rung("pow", true, Push32({F(2.0f), F(10.0f)}, 149), 32, F(1024.0f), true);
        r.rung("log10 0", true, Push32({0}, 150), 32, F(-INFINITY), false);
        r.rung("log10 1000", true, Push32({F(1000.0f)}, 150), 32, F(3.0f), true);
        r.rung("exp 100", true, Push32({F(100.0f)}, 151), 32, Inf, false);
        r.rung("ln 1", true, Push32({F(1.0f)}, 152), 32, 0, true);
        r.rung("asin 1.5", true, Push32({F(1.5f)}, 156), 32, NaN, false);
        r.rung("acos 1", true, Push32({F(1.0f)}, 157), 32, 0, true);
        r.rung("atan 0", true, Push32({0}, 158), 32, 0, true);
        r.rung("abs16", true, Push16({0x8000}, 140), 16, 0x8000, true);
        r.rung("abs16 -5", true, Push16({0xFFFB}, 140), 16, 5, true);
        r.rung("rem16", true, Push16({uint16_t(-7), 2}, 141), 16, uint16_t(-1), true);
        r.rung("rem16 /0", true, Push16({1234, 0}, 141), 16, 1234, false);
        r.rung("sqrt16 neg", true, Push16({0x8000}, 142), 16, 181, false);
        r.rung("sqrt16", true, Push16({625}, 142), 16, 25, true);
        r.rung("abs32", true, Push32({uint32_t(-70000)}, 143), 32, 70000, true);
        r.rung("rem32 min/-1", true, Push32({uint32_t(INT_MIN), uint32_t(-1)}, 144), 32, 0, true);
        r.rung("rem32 /0", true, Push32({77, 0}, 144), 32, 77, false);
        r.rung("sqrt32", true, Push32({0xFFFFFFFFu >> 1}, 145), 32, 46340, true);
        r.rung("sqrt32 neg", true, Push32({0x80000000u}, 145), 32, 46340, false);
        // Compares: 16-bit ones set the power, the others only clear it.
        r.rung("160 eq after off", false, Push16({5, 5}, 160), 0, 0, true);
        r.rung("161 ne on", true, Push16({5, 5}, 161), 0, 0, false);
        r.rung("162 signed", true, Push16({0xFFFF, 1}, 162), 0, 0, true);
        r.rung("165 ge", false, Push16({2, 1}, 165), 0, 0, true);
        r.rung("166 eq stays off", false, Push32({9, 9}, 166), 0, 0, false);
        r.rung("166 eq on", true, Push32({9, 9}, 166), 0, 0, true);
        r.rung("168 signed lt", true, Push32({uint32_t(-1), 1}, 168), 0, 0, true);
        r.rung("169 gt fails", true, Push32({uint32_t(-1), 1}, 169), 0, 0, false);
        r.rung("172 nan eq", true, Push32({NaN, NaN}, 172), 0, 0, false);
        r.rung("173 nan ne", true, Push32({NaN, F(1.0f)}, 173), 0, 0, true);
        r.rung("174 lt", true, Push32({F(-1.0f), F(0.5f)}, 174), 0, 0, true);
        r.rung("177 nan ge", true, Push32({NaN, F(0.5f)}, 177), 0, 0, false);
        r.a.end();
        EXPECT_EQ(Run(r.a), -1);
        r.check();
    }
}

TEST_F(LadderTest, TypedArithmeticAndCompares) {
    LadRungs r(false);
    r.rung("260 16*16", true, Push16({16, 16}, 260), 16, 0, false);
    r.rung("260 15*17", true, Push16({15, 17}, 260), 16, 255, true);
    r.rung("261 /0", true, Push16({200, 0}, 261), 16, 200, false);
    r.rung("261", true, Push16({200, 7}, 261), 16, 28, true);
    r.rung("262", true, Push16({300, 300}, 262), 16, uint16_t(90000), false);
    r.rung("263", true, Push16({65535, 2}, 263), 16, 32767, true);
    r.rung("263 /0", true, Push16({500, 0}, 263), 16, 500, false);
    r.rung("269 /0", true, Push16({uint16_t(-100), 0}, 269), 16, 0xFF9C, false);
    r.rung("264 max^2", true, Push32({0xFFFFFFFFu, 0xFFFFFFFFu}, 264), 32, 1, false);
    r.rung("264 2^16^2", true, Push32({0x10000, 0x10000}, 264), 32, 0, false);
    r.rung("265 /0", true, Push32({99, 0}, 265), 32, 99, false);
    r.rung("265", true, Push32({0xFFFFFFFFu, 16}, 265), 32, 0x0FFFFFFF, true);
    r.rung("266 100+100", true, Push16({100, 100}, 266), 16, 0xFFC8, false);
    r.rung("267 -100-100", true, Push16({uint16_t(-100), 100}, 267), 16, 0x0038, false);
    r.rung("268 12*-10", true, Push16({12, uint16_t(-10)}, 268), 16, 0xFF88, true);
    r.rung("269 -100/7", true, Push16({uint16_t(-100), 7}, 269), 16, 0xFFF2, true);
    // Signed 8-bit bounds on both sides: 127 and -128 fit, 128 and -129 clear the power flow.
    r.rung("266 100+27", true, Push16({100, 27}, 266), 16, 0x007F, true);
    r.rung("266 100+28", true, Push16({100, 28}, 266), 16, 0xFF80, false);
    r.rung("267 -100-28", true, Push16({uint16_t(-100), 28}, 267), 16, 0xFF80, true);
    r.rung("267 -100-29", true, Push16({uint16_t(-100), 29}, 267), 16, 0x007F, false);
    r.rung("268 64*2", true, Push16({64, 2}, 268), 16, 0xFF80, false);
    r.rung("268 -64*2", true, Push16({uint16_t(-64), 2}, 268), 16, 0xFF80, true);
    r.rung("270 after off", false, Push16({0x81, 1}, 270), 16, 0x02, true);
    r.rung("270 by 8", true, Push16({0xFF, 8}, 270), 16, 0, true);
    r.rung("271", false, Push16({0x81, 7}, 271), 16, 0x01, true);
    // The count is the 8-bit value in the entry's low byte: 0x0102 shifts by 2.
    r.rung("270 count low byte", true, Push16({0x81, 0x0102}, 270), 16, 0x04, true);
    r.rung("271 count low byte", true, Push16({0x81, 0x0F07}, 271), 16, 0x01, true);
    r.rung("272 rol 9 off", false, Push16({0x81, 9}, 272), 16, 0x03, false);
    r.rung("273 ror 1", true, Push16({0x81, 1}, 273), 16, 0xC0, true);
    r.rung("280 C8>64", false, Push16({0xC8, 0x64}, 280), 0, 0, true);
    r.rung("281 eq", false, Push16({7, 7}, 281), 0, 0, true);
    r.rung("282 gt", false, Push16({0x8000, 1}, 282), 0, 0, true);
    r.rung("283 lt", true, Push16({1, 2}, 283), 0, 0, false);
    r.rung("284 gt stays off", false, Push32({0xFFFFFFFFu, 1}, 284), 0, 0, false);
    r.rung("284 gt keeps on", true, Push32({0xFFFFFFFFu, 1}, 284), 0, 0, true);
    r.rung("284 eq", true, Push32({5, 5}, 284), 0, 0, false);
    r.rung("285 eq", true, Push32({5, 5}, 285), 0, 0, true);
    r.rung("286", false, Push16({0xFF80, 0x80}, 286), 0, 0, true);
    r.rung("287 C8>64 signed", true, Push16({0xC8, 0x64}, 287), 0, 0, false);
    r.rung("288", false, Push16({0x7F, 0x80}, 288), 0, 0, true);
    // Width word: 32 = unsigned 16-bit, 160 = unsigned 32-bit.
    r.rung(
        "289/32", true, [](LadAsm &a) { a.op(81).word(65535).op(81).word(1).op(289).word(32); }, 16, 0, false);
    r.rung(
        "289/160", true, [](LadAsm &a) { a.op(84).dword(0xFFFFFFFFu).op(84).dword(1).op(289).word(160); }, 32, 0,
        false);
    r.rung(
        "290/32", true, [](LadAsm &a) { a.op(81).word(1).op(81).word(2).op(290).word(32); }, 16, 0xFFFF, false);
    r.rung(
        "290/160", true, [](LadAsm &a) { a.op(84).dword(9).op(84).dword(2).op(290).word(160); }, 32, 7, true);
    r.rung(
        "291/32", true, [](LadAsm &a) { a.op(81).word(65535).op(291).word(32); }, 16, 255, true);
    r.rung(
        "291/160", true, [](LadAsm &a) { a.op(84).dword(0xFFFFFFFFu).op(291).word(160); }, 32, 65535, true);
    r.rung(
        "292/32 /0", true, [](LadAsm &a) { a.op(81).word(9).op(81).word(0).op(292).word(32); }, 16, 9, false);
    r.rung(
        "292/160", true, [](LadAsm &a) { a.op(84).dword(0xFFFFFFF0u).op(84).dword(7).op(292).word(160); }, 32,
        0xFFFFFFF0u % 7, true);
    // Width 7: only the width word goes; both values stay (b stored first).
    r.rung(
        "289/7", true, [](LadAsm &a) { a.op(81).word(11).op(81).word(22).op(289).word(7).op(82).reg(R(200)); }, 16, 11,
        true);
    r.a.end();
    EXPECT_EQ(Run(r.a), -1);
    r.check();
    EXPECT_EQ(LT_W(R(200)), 22);
}

TEST_F(LadderTest, LoadAndConvert) {
    for (bool l16 : {true, false}) {
        SetUp();
        LadRungs r(l16);
        LT_SetW(R(300), 0xC880);  // bytes 0x80 (low), 0xC8 (high)
        LT_SetW(R(301), 128);
        LT_SetW(R(302), 0xFF80);  // -128
        LT_SetW(R(303), 0xFFFF);
        LT_SetD(R(304), 0xFFFFFFFFu);
        LT_SetD(R(306), 40000);
        LT_SetF(R(308), 300.7f);
        LT_SetF(R(310), -1.5f);
        LT_SetF(R(312), 4294967296.0f);
        LT_SetD(R(314), 0x4F7FFFFF);
        LT_SetF(R(316), -0.5f);
        LT_SetD(R(318), Inf);
        LT_SetD(R(320), NaN);
        LT_SetF(R(322), 65535.9f);
        LT_SetD(R(324), uint32_t(-100));
        LT_SetD(R(326), 255);
        LT_SetD(R(328), 256);
        LT_SetD(R(330), 200);
        auto ld = [](uint16_t op, uint32_t ref) { return [op, ref](LadAsm &a) { a.op(op).reg(ref); }; };
        const uint32_t lo = R(300), hi = R(300) + 8;  // byte operands
        r.rung("300", true, ld(300, hi), 16, 0xC8, true);
        r.rung("303", true, ld(303, lo), 16, 0x80, true);
        r.rung("301", true, ld(301, lo), 32, 0x80, true);
        r.rung("304", true, ld(304, hi), 32, 0xC8, true);
        r.rung("302", true, ld(302, hi), 32, F(200.0f), true);
        r.rung("324", true, ld(324, lo), 16, 0xFF80, true);
        r.rung("325", true, ld(325, lo), 32, 0xFFFFFF80u, true);
        r.rung("326", true, ld(326, lo), 32, F(-128.0f), true);
        r.rung("327 neg", true, ld(327, lo), 16, 0, false);
        r.rung("328 neg", true, ld(328, lo), 32, 0, false);
        r.rung("305 128", true, ld(305, R(301)), 16, 0, false);
        r.rung("308 128", true, ld(308, R(301)), 16, 128, true);
        r.rung("307", true, ld(307, R(303)), 32, F(65535.0f), true);
        r.rung("309", true, ld(309, R(303)), 32, 0xFFFF, true);
        r.rung("306", true, ld(306, R(302)), 32, 0xFF80, true);
        r.rung("315 -1", true, ld(315, R(303)), 16, 0, false);
        r.rung("316 -1", true, ld(316, R(303)), 32, 0, false);
        r.rung("329 -128", true, ld(329, R(302)), 16, 0xFF80, true);
        r.rung("310", true, ld(310, R(306)), 16, 0, false);
        r.rung("311", true, ld(311, R(306)), 16, 0, false);
        r.rung("311 -100", true, ld(311, R(324)), 16, uint16_t(-100), true);
        r.rung("330 -100", true, ld(330, R(324)), 16, uint16_t(-100), true);
        r.rung("312", true, ld(312, R(304)), 32, 0x4F800000u, true);
        r.rung("314", true, ld(314, R(306)), 16, 40000, true);
        r.rung("313 0xFF800080", true, ld(313, R(301)), 16, 0, false);  // %R301..302 as a dword
        r.rung("313 255", true, ld(313, R(326)), 16, 255, true);
        r.rung("317 256", true, ld(317, R(328)), 16, 0, false);
        r.rung("317 200", true, ld(317, R(330)), 16, 200, true);
        r.rung("318 max", true, ld(318, R(304)), 16, 0, false);
        r.rung("319 300.7", true, ld(319, R(308)), 16, 300, false);
        r.rung("319 -1.5", true, ld(319, R(310)), 16, 0xFFFF, false);
        r.rung("319 nan", true, ld(319, R(320)), 16, 0, false);
        r.rung("320 65535.9", true, ld(320, R(322)), 16, 65535, true);
        r.rung("320 inf", true, ld(320, R(318)), 16, 0xFFFF, false);
        r.rung("321 2^32", true, ld(321, R(312)), 32, 0xFFFFFFFFu, false);
        r.rung("321 7FFFFF", true, ld(321, R(314)), 32, 0xFFFFFF00u, true);
        r.rung("321 -0.5", true, ld(321, R(316)), 32, 0, false);
        r.rung("331 inf", true, ld(331, R(318)), 16, 0xFFFF, false);
        r.rung("331 nan", true, ld(331, R(320)), 16, 0, false);
        r.rung("331 -1.5", true, ld(331, R(310)), 16, 0xFFFF, true);
        r.a.end();
        EXPECT_EQ(Run(r.a), -1);
        r.check();
    }
}

TEST(NumConv, SaturatingConversionsAndText) {
    EXPECT_EQ(NumCnv_FloatToS32(-1.5), -1);
    EXPECT_EQ(NumCnv_FloatToS32(3.0e9), INT32_MAX);
    EXPECT_EQ(NumCnv_FloatToS32(-3.0e9), INT32_MIN);
    EXPECT_EQ(NumCnv_FloatToS32(-2147483648.9), INT32_MIN);
    EXPECT_EQ(NumCnv_FloatToS32(NAN), 0);
    EXPECT_EQ(NumCnv_FloatToS32(-INFINITY), INT32_MIN);
    EXPECT_EQ(NumCnv_FloatToU32(-1.0), 0u);
    EXPECT_EQ(NumCnv_FloatToU32(-0.5), 0u);
    EXPECT_EQ(NumCnv_FloatToU32(5.0e9), UINT32_MAX);
    EXPECT_EQ(NumCnv_FloatToU32(4294967295.5), UINT32_MAX);
    EXPECT_EQ(NumCnv_FloatToU32(NAN), 0u);
    struct {
        const char *t;
        int32_t v;
        std::size_t used;
    } cases[] = {
        {"12ab", 12, 2},
        {"  -1", -1, 4},
        {"+7", 7, 2},
        {"3000000000", INT32_MAX, 10},
        {"-99999999999", INT32_MIN, 12},
        {"-2147483648", INT32_MIN, 11},
        {"2147483647x", INT32_MAX, 10},
        {"x1", 0, 0},
        {"-", 0, 0},
        {"", 0, 0},
        {"000000000000000000042", 42, 21},
    };
    for (const auto &c : cases) {
        std::size_t used = 99;
        EXPECT_EQ(NumCnv_Strtol32(c.t, std::strlen(c.t), &used), c.v) << c.t;
        EXPECT_EQ(used, c.used) << c.t;
    }
    EXPECT_EQ(NumCnv_Strtol32("12345", 3), 123);  // bounded text
    EXPECT_EQ(NumCnv_Strtod("1.5e3xyz", 8), 1500.0);
    EXPECT_EQ(NumCnv_Strtod("2.75", 3), 2.7);
}
