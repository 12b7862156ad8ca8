// VM strings and type conversions on a built database; number texts are
// compared with what python3's '%g' and '%d' formatting give.
#include "tests/iec/iec_fixture.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "iec/vm/z7cnv.h"
#include "iec/vm/z7str.h"

namespace {
using iec_test::IecTest;
using test_support::IecImage;

// Strings 1..8 of maxima 10, 3, 5, 8, 4, 255, 6, 10; numeric segments of 8 each.
class IecStrTest : public IecTest {
protected:
    uint32_t db = 0;
    void SetUp() override {
        IecTest::SetUp();
        IecImage img;
        img.str = {8, 8, 0};
        img.string_sizes = {10, 3, 5, 8, 4, 255, 6, 10};
        img.d8 = img.d16 = img.d32 = img.d64 = img.time = {8, 8, 0};
        ASSERT_EQ(Start(img, db), 0u);
    }
    void TearDown() override {
        Z7Def_Stop(db, nullptr, nullptr, "APP");
        IecTest::TearDown();
    }
    void Set(uint32_t idx, const std::string &s) {
        Z7VMStr_AscForce(Z7VMStr_Slot(db, idx), s.data(), uint32_t(s.size()));
    }
    std::string Get(uint32_t idx) {
        const uint32_t t = Z7VMStr_GetText(db, idx);
        const uint32_t n = Z7VMStr_GetLength(db, idx);
        EXPECT_EQ(Z7Mem_Get8(t + n), 0) << "terminator of string " << idx;
        return std::string(reinterpret_cast<const char *>(Z7Mem_Ptr(t, n + 1)), n);
    }
    template <typename T>
    void Put(uint32_t type, uint32_t idx, T v) {
        std::memcpy(Z7Mem_Ptr(Z7VMCnv_VarAddr(db, type, idx), sizeof v), &v, sizeof v);
    }
    template <typename T>
    T Val(uint32_t type, uint32_t idx) {
        T v;
        std::memcpy(&v, Z7Mem_Ptr(Z7VMCnv_VarAddr(db, type, idx), sizeof v), sizeof v);
        return v;
    }
    void Convert(uint16_t dst, uint16_t src, uint16_t dt, uint16_t st) {
        const uint32_t ops = Z7Sec_Addr(db, Z7SEC_EXEC);  // any arena words will do
        Z7Mem_Put16(ops, dst);
        Z7Mem_Put16(ops + 2, src);
        Z7Mem_Put16(ops + 4, dt);
        Z7Mem_Put16(ops + 6, st);
        Z7VMCnv_Convert(db, ops);
    }
};

TEST_F(IecStrTest, EditingFunctionsClipAndNeverOverrun) {
    Set(1, "ABCDE");
    Z7VMStr_Mid(db, 8, 1, 3, 4);  // MID('ABCDE', 2, 4)
    EXPECT_EQ(Get(8), "DE");
    Z7VMStr_Mid(db, 8, 1, -1, 2);
    EXPECT_EQ(Get(8), "AB");
    Z7VMStr_Mid(db, 8, 1, 0, -1);
    EXPECT_EQ(Get(8), "");
    Z7VMStr_Delete(db, 8, 1, 1, 2);  // DELETE('ABCDE', 2, 2)
    EXPECT_EQ(Get(8), "ADE");
    Z7VMStr_Delete(db, 1, 1, 3, 99);  // in place, count clipped
    EXPECT_EQ(Get(1), "ABC");
    Set(7, "XY");
    Z7VMStr_Insert(db, 8, 1, 7, 1);  // INSERT('ABC', 'XY', 2)
    EXPECT_EQ(Get(8), "AXYBC");
    Set(2, "ABC");  // full: nothing is inserted
    Z7VMStr_Insert(db, 8, 2, 7, 1);
    EXPECT_EQ(Get(8), "ABC");
    Z7VMStr_Cat(db, 3, 1, 7);  // cut to the maximum of 5, in place of a source
    EXPECT_EQ(Get(3), "ABCXY");
    Z7VMStr_Cat(db, 3, 3, 3);
    EXPECT_EQ(Get(3), "ABCXY");
    Z7VMStr_Left(db, 8, 3, 2);
    EXPECT_EQ(Get(8), "AB");
    Z7VMStr_Right(db, 8, 3, 9);
    EXPECT_EQ(Get(8), "ABCXY");
    Z7VMStr_Right(db, 8, 3, 0);
    EXPECT_EQ(Get(8), "");

    Set(1, "ABCABC");
    Set(7, "CA");
    EXPECT_EQ(Z7VMStr_Find(db, 1, 7), 3u);
    Set(7, "");
    EXPECT_EQ(Z7VMStr_Find(db, 1, 7), 0u);
    Set(1, "AB");
    Set(8, "ABC");
    EXPECT_EQ(Z7VMStr_Compare(db, 1, 8), -1);
    EXPECT_EQ(Z7VMStr_Compare(db, 8, 1), 1);
    Set(1, "");
    Set(8, "");
    EXPECT_EQ(Z7VMStr_Compare(db, 1, 8), 0);
    Set(1, "b");
    Set(8, "a");
    EXPECT_EQ(Z7VMStr_Compare(db, 1, 8), 1);
    EXPECT_EQ(Z7VMStr_Ascii(db, 1, 0), uint32_t('b'));
    EXPECT_EQ(Z7VMStr_Ascii(db, 1, 1), 0u);
    Z7VMStr_Char(db, 2, 'Q');
    EXPECT_EQ(Get(2), "Q");
    EXPECT_EQ(Z7VMStr_ICmp("abc", "ABC"), 0);
    EXPECT_EQ(Z7VMStr_NICmp("abX", "ABY", 2), 0);

    // a 300-character text is cut, not wrapped to 44 characters
    const std::string long_text(300, 'z');
    Z7VMStr_AscForceC(db, 6, long_text.c_str());
    EXPECT_EQ(Get(6), std::string(255, 'z'));
    Z7VMStr_AscForceC(db, 6, nullptr);
    EXPECT_EQ(Get(6), "");
    // a literal of the code image: one word per character
    const uint32_t lit = Z7Sec_Addr(db, Z7SEC_EXEC);
    const uint16_t words[] = {3, 'a', 'b', 'c'};
    std::memcpy(Z7Mem_Ptr(lit, 8), words, 8);
    Z7VMStr_DBForce(db, 2, lit);
    EXPECT_EQ(Get(2), "abc");
    // writes to a string index without a slot do nothing
    Z7VMStr_AscForceC(db, 9, "x");
    Z7VMStr_AscForceC(db, 0, "x");
    EXPECT_EQ(Z7VMStr_GetLength(db, 0), 0u);

    // arrays
    const uint32_t arr = Z7Sec_Addr(db, Z7SEC_D32);
    std::memcpy(Z7Mem_Ptr(arr, 8), "ABCDEFGH", 8);
    EXPECT_EQ(Z7VMStr_FromD32(db, arr, 2, 3, 5), 1u);  // maximum 5 holds one DWORD
    EXPECT_EQ(Z7VMStr_GetLength(db, 3), 4u);
    Set(4, "WXYZ12");
    EXPECT_EQ(Z7VMStr_ToD16(db, 4, arr, 2), 2u);
    EXPECT_EQ(std::memcmp(Z7Mem_Ptr(arr, 8), "WXYZEFGH", 8), 0);
    EXPECT_EQ(Z7VMStr_FromD8(db, arr, 8, 3, 0), 0u);  // no element asked: empty
    EXPECT_EQ(Z7VMStr_GetLength(db, 3), 0u);

    // bytes compare unsigned: 16#E9 - 16#41; folded texts by their difference
    Set(1, "\xE9");
    Set(8, "A");
    EXPECT_EQ(Z7VMStr_Compare(db, 1, 8), 168);
    EXPECT_EQ(Z7VMStr_ICmp("abc", "ABD"), -1);
    EXPECT_EQ(Z7VMStr_ICmp("b", "A"), 1);
}

TEST_F(IecStrTest, CrcHexDateAndNumberTexts) {
    Set(1, "123456789");
    EXPECT_EQ(Z7VMStr_Crc16(db, 1), 0x4B37);
    Set(1, "");
    EXPECT_EQ(Z7VMStr_Crc16(db, 1), 0xFFFF);
    Z7VMStr_HtoA(db, 1, 0xABCD);
    EXPECT_EQ(Get(1), "ABCD");
    Z7VMStr_HtoA(db, 1, 0);
    EXPECT_EQ(Get(1), "00");
    Z7VMStr_HtoA(db, 1, 0xABCDE);
    EXPECT_EQ(Get(1), "0ABCDE");
    Z7VMStr_HtoA(db, 1, 0xFFFFFFFFu);
    EXPECT_EQ(Get(1), "FFFFFFFF");
    Set(6, " 4294967297x");  // the decimal value wraps at 32 bits
    EXPECT_EQ(Z7VMStr_AtoUL(db, 6), 1u);
    Z7VMStr_HtoA(db, 5, 0);  // maximum below 8
    EXPECT_EQ(Get(5), "");
    Set(1, "1aFz");
    EXPECT_EQ(Z7VMStr_AtoH(db, 1), 0x1AFu);
    Set(1, "  -42x");
    // a STRING's LINT value skips leading blanks (a bare text does not)
    EXPECT_EQ(Z7VMStr_AtoLINT(db, 1), -42);
    EXPECT_EQ(Z7VMStr_SZtoLINT("  -42x"), 0);
    EXPECT_EQ(Z7VMStr_AtoI(db, 1), -42);
    EXPECT_EQ(Z7VMStr_AtoUL(db, 1), 0u);
    Set(1, "-42x");
    EXPECT_EQ(Z7VMStr_AtoLINT(db, 1), -42);
    Set(1, " - 7");  // a blank after the sign ends the number
    EXPECT_EQ(Z7VMStr_AtoLINT(db, 1), 0);
    Set(1, "2.5e1x");
    EXPECT_EQ(Z7VMStr_AtoF(db, 1), 25.0f);
    EXPECT_EQ(Z7VMStr_IsEmpty(db, 1), 0u);
    Set(1, "");
    EXPECT_EQ(Z7VMStr_IsEmpty(db, 1), 1u);
    // values as texts, each cut to the string's maximum
    Z7VMStr_UtoA(db, 1, 4294967295u);
    EXPECT_EQ(Get(1), "4294967295");
    Z7VMStr_LINTtoA(db, 6, std::numeric_limits<int64_t>::min());
    EXPECT_EQ(Get(6), "-9223372036854775808");
    Z7VMStr_LINTtoA(db, 3, -123456);  // STRING(5)
    EXPECT_EQ(Get(3), "-1234");
    Z7VMStr_BootoA(db, 2, 7);
    EXPECT_EQ(Get(2), "1");
    Z7VMStr_BootoA(db, 2, 0);
    EXPECT_EQ(Get(2), "0");
    Z7VMStr_FtoA(db, 1, 0.1f);  // python3: '%g' % 0.10000000149011612
    EXPECT_EQ(Get(1), "0.1");
    Z7VMStr_TmrtoA(db, 1, 0xFFFFFFFFu);  // "%ld" of the 32-bit value
    EXPECT_EQ(Get(1), "-1");

    const uint32_t date = 2024u << 16 | 6u << 8 | 7u;
    Set(1, "%d%Y");
    Z7VMStr_DateFmt(db, 3, 1, date, 0);  // STRING(5)
    EXPECT_EQ(Get(3), "0724");
    Set(1, "%Y-%m-%d");
    Z7VMStr_DateFmt(db, 4, 1, date, 0);  // STRING(8)
    EXPECT_EQ(Get(4), "2024-06-");
    Set(1, "%H:%M:%S%q%");
    Z7VMStr_DateFmt(db, 8, 1, date, 13 * 3600000 + 4 * 60000 + 5000);
    EXPECT_EQ(Get(8), "13:04:05%q");
    Set(1, "ab%d");  // one character of room left: the '%' alone
    Z7VMStr_DateFmt(db, 2, 1, date, 0);
    EXPECT_EQ(Get(2), "ab%");

    // NUMTOSTRING
    Put<float>(IEC_REAL, 1, -0.5f);
    Z7VMStr_NumToStr(db, 7, IEC_REAL, 1, 6, 2);
    EXPECT_EQ(Get(7), " -0.50");
    Z7VMStr_NumToStr(db, 7, IEC_REAL, 1, -6, 2);
    EXPECT_EQ(Get(7), "-0.50 ");
    Z7VMStr_NumToStr(db, 7, IEC_REAL, 1, 3, 2);
    EXPECT_EQ(Get(7), "***");
    Z7Mem_Put8(Z7VMCnv_VarAddr(db, IEC_SINT, 1), 0xFB);
    Z7VMStr_NumToStr(db, 7, IEC_SINT, 1, 0, 0);
    EXPECT_EQ(Get(7), "251");
    Put<double>(IEC_LREAL, 2, 1234567.891);
    Z7VMStr_NumToStr(db, 6, IEC_LREAL, 2, 0, 2);
    EXPECT_EQ(Get(6), "1.23457e+06.89");
    Z7VMStr_NumToStr(db, 1, IEC_LREAL, 2, 0, 2);  // 14 characters into STRING(10)
    EXPECT_EQ(Get(1), "**********");              // python3: '%g' % 1234567.0
    Put<int32_t>(IEC_DINT, 1, -17);
    Z7VMStr_NumToStr(db, 7, IEC_DINT, 1, 5, 1);
    EXPECT_EQ(Get(7), "-17.0");
    Z7VMStr_NumToStr(db, 7, IEC_STRING, 1, 4, 0);  // unsupported type
    EXPECT_EQ(Get(7), "****");
    Z7VMStr_NumToStr(db, 7, IEC_DINT, 1, 9, 0);  // wider than the maximum
    EXPECT_EQ(Get(7), "******");
    Put<float>(IEC_REAL, 2, std::numeric_limits<float>::quiet_NaN());
    Z7VMStr_NumToStr(db, 6, IEC_REAL, 2, 0, 3);
    Put<double>(IEC_LREAL, 3, 1e300);
    Z7VMStr_NumToStr(db, 6, IEC_LREAL, 3, 0, 0);  // 301 integer digits
    EXPECT_EQ(Get(6), std::string(255, '*'));
    Put<double>(IEC_LREAL, 3, -1e20);
    Z7VMStr_NumToStr(db, 6, IEC_LREAL, 3, 0, 0);
    EXPECT_EQ(Get(6), "-1e+20");
    // a negative zero is no negative value above -1: its integer part is 0
    Put<float>(IEC_REAL, 3, -0.0f);
    Z7VMStr_NumToStr(db, 7, IEC_REAL, 3, 4, 1);
    EXPECT_EQ(Get(7), " 0.0");
    Put<double>(IEC_LREAL, 3, -0.0);
    Z7VMStr_NumToStr(db, 7, IEC_LREAL, 3, -3, 0);
    EXPECT_EQ(Get(7), "0  ");
    Put<float>(IEC_REAL, 3, -0.25f);
    Z7VMStr_NumToStr(db, 7, IEC_REAL, 3, 0, 2);
    EXPECT_EQ(Get(7), "-0.25");
    // integer parts truncated, fractions cut digit by digit (12.99f is 12.9899997...)
    Put<float>(IEC_REAL, 3, -12.99f);
    Z7VMStr_NumToStr(db, 7, IEC_REAL, 3, -6, 1);
    EXPECT_EQ(Get(7), "-12.9 ");
    Put<float>(IEC_REAL, 3, 12.99f);
    Z7VMStr_NumToStr(db, 7, IEC_REAL, 3, 0, 0);
    EXPECT_EQ(Get(7), "12");
    Put<double>(IEC_LREAL, 3, -2.75);
    Z7VMStr_NumToStr(db, 7, IEC_LREAL, 3, 0, 3);
    EXPECT_EQ(Get(7), "-2.750");
    // LINT and ULINT print signed, TIME unsigned, a BOOL byte as 0 or 1
    Put<uint64_t>(IEC_ULINT, 4, ~uint64_t(0));
    Z7VMStr_NumToStr(db, 7, IEC_ULINT, 4, 3, 0);
    EXPECT_EQ(Get(7), " -1");
    Put<uint32_t>(IEC_TIME, 4, 0xFFFFFFFFu);
    Z7VMStr_NumToStr(db, 8, IEC_TIME, 4, 0, 0);
    EXPECT_EQ(Get(8), "4294967295");
    Z7Mem_Put8(Z7VMCnv_VarAddr(db, IEC_BOOL, 4), 2);
    Z7VMStr_NumToStr(db, 7, IEC_BOOL, 4, -2, 0);
    EXPECT_EQ(Get(7), "1 ");
    Put<uint16_t>(IEC_UINT, 4, 65535);
    Z7VMStr_NumToStr(db, 8, IEC_UINT, 4, 7, 0);
    EXPECT_EQ(Get(8), "  65535");
    Put<int16_t>(IEC_INT, 4, -1);
    Z7VMStr_NumToStr(db, 8, IEC_INT, 4, 0, 0);
    EXPECT_EQ(Get(8), "-1");
    // a precision above the field + 2, and one that leaves no room for the text
    Z7VMStr_NumToStr(db, 7, IEC_DINT, 1, 0, 9);
    EXPECT_EQ(Get(7), "******");
    Z7VMStr_NumToStr(db, 7, IEC_DINT, 1, 5, 2);
    EXPECT_EQ(Get(7), "*****");
}

TEST_F(IecStrTest, ConversionsAsWithA32BitLong) {
    Set(1, "3000000000");
    Convert(1, 1, IEC_DINT, IEC_STRING);
    EXPECT_EQ(Val<int32_t>(IEC_DINT, 1), 2147483647);
    Convert(2, 1, IEC_UDINT, IEC_STRING);
    EXPECT_EQ(Val<uint32_t>(IEC_UDINT, 2), 3000000000u);
    Set(1, " 42x");
    Convert(2, 1, IEC_UDINT, IEC_STRING);
    EXPECT_EQ(Val<uint32_t>(IEC_UDINT, 2), 42u);
    Set(1, "x42");
    Convert(2, 1, IEC_UDINT, IEC_STRING);
    EXPECT_EQ(Val<uint32_t>(IEC_UDINT, 2), 0u);

    Put<uint32_t>(IEC_TIME, 1, 0xFFFFFFFF);
    Convert(1, 1, IEC_STRING, IEC_TIME);
    EXPECT_EQ(Get(1), "-1");
    char text[64];
    Z7VMCnv_NumToSZ(db, IEC_TIME, 1, text);
    EXPECT_STREQ(text, "4294967295");

    Put<float>(IEC_REAL, 1, 3.0e9f);
    Convert(2, 1, IEC_UDINT, IEC_REAL);
    EXPECT_EQ(Val<uint32_t>(IEC_UDINT, 2), 2147483647u);
    uint8_t out[8] = {};
    Z7VMCnv_ConvBin(out, Z7Mem_Ptr(Z7VMCnv_VarAddr(db, IEC_REAL, 1), 4), IEC_UDINT, IEC_REAL);
    EXPECT_EQ(out[0] | out[1] << 8 | out[2] << 16 | uint32_t(out[3]) << 24, 3000000000u);
    // the binary form takes USINT and UINT through the unsigned primitive, INT through the signed
    Put<float>(IEC_REAL, 1, -1.0f);
    std::memset(out, 0xEE, sizeof out);
    Z7VMCnv_ConvBin(out, Z7Mem_Ptr(Z7VMCnv_VarAddr(db, IEC_REAL, 1), 4), IEC_USINT, IEC_REAL);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 2), (std::vector<uint8_t>{0x00, 0xEE}));
    Z7VMCnv_ConvBin(out, Z7Mem_Ptr(Z7VMCnv_VarAddr(db, IEC_REAL, 1), 4), IEC_INT, IEC_REAL);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 3), (std::vector<uint8_t>{0xFF, 0xFF, 0xEE}));
    Put<float>(IEC_REAL, 1, 70000.0f);
    Z7VMCnv_ConvBin(out, Z7Mem_Ptr(Z7VMCnv_VarAddr(db, IEC_REAL, 1), 4), IEC_UINT, IEC_REAL);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 3), (std::vector<uint8_t>{0x70, 0x11, 0xEE}));
    Z7VMCnv_ConvBin(out, Z7Mem_Ptr(Z7VMCnv_VarAddr(db, IEC_REAL, 1), 4), IEC_STRING, IEC_REAL);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 3), (std::vector<uint8_t>{0x70, 0x11, 0xEE}));
    Put<float>(IEC_REAL, 1, 3.0e9f);

    struct Case {
        float in;
        uint16_t dt;
        int64_t want;
    } cases[] = {
        {-1.5f, IEC_DINT, -1},
        {3.0e9f, IEC_DINT, 2147483647},
        {std::nanf(""), IEC_DINT, 0},
        {-1.0f, IEC_TIME, 0},
        {5.0e9f, IEC_TIME, 4294967295},
        {-1.0f, IEC_SINT, 0},
        {-1.0f, IEC_USINT, 255},
        {INFINITY, IEC_DINT, 2147483647},
        {-INFINITY, IEC_DINT, -2147483648LL},
        {INFINITY, IEC_LINT, INT64_MAX},
        {std::nanf(""), IEC_ULINT, 0},
        {-INFINITY, IEC_UDINT, 0x80000000},
        {std::nanf(""), IEC_BOOL, 1},
    };
    for (const Case &c : cases) {
        Put<float>(IEC_REAL, 1, c.in);
        Put<uint64_t>(IEC_LINT, 3, 0);
        const uint32_t addr = Z7VMCnv_VarAddr(db, c.dt, 3);
        std::memset(Z7Mem_Ptr(addr, 1), 0, 1);
        Convert(3, 1, c.dt, IEC_REAL);
        int64_t got = 0;
        switch (c.dt) {
        case IEC_DINT: got = Val<int32_t>(c.dt, 3); break;
        case IEC_TIME:
        case IEC_UDINT: got = Val<uint32_t>(c.dt, 3); break;
        case IEC_SINT:
        case IEC_USINT:
        case IEC_BOOL: got = Val<uint8_t>(c.dt, 3); break;
        default: got = Val<int64_t>(c.dt, 3); break;
        }
        EXPECT_EQ(got, c.want) << c.in << " to type " << c.dt;
    }

    Put<int16_t>(IEC_INT, 1, -1);
    Convert(2, 1, IEC_UDINT, IEC_INT);
    EXPECT_EQ(Val<uint32_t>(IEC_UDINT, 2), 4294967295u);
    Put<uint16_t>(IEC_UINT, 1, 65535);
    Convert(2, 1, IEC_DINT, IEC_UINT);
    EXPECT_EQ(Val<int32_t>(IEC_DINT, 2), 65535);
    Z7Mem_Put8(Z7VMCnv_VarAddr(db, IEC_SINT, 1), 0xFF);
    Convert(2, 1, IEC_DINT, IEC_SINT);
    EXPECT_EQ(Val<int32_t>(IEC_DINT, 2), 255);
    Convert(1, 1, IEC_STRING, IEC_SINT);
    EXPECT_EQ(Get(1), "255");
    Z7Mem_Put8(Z7VMCnv_VarAddr(db, IEC_BOOL, 1), 1);
    Convert(1, 1, IEC_STRING, IEC_BOOL);
    EXPECT_EQ(Get(1), "1");
    // a BOOL byte holding 2 is TRUE: TIME 1; the binary form copies the byte
    Z7Mem_Put8(Z7VMCnv_VarAddr(db, IEC_BOOL, 1), 2);
    Put<uint32_t>(IEC_TIME, 2, 77);
    Convert(2, 1, IEC_TIME, IEC_BOOL);
    EXPECT_EQ(Val<uint32_t>(IEC_TIME, 2), 1u);
    uint8_t bin[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    Z7VMCnv_ConvBin(bin, Z7Mem_Ptr(Z7VMCnv_VarAddr(db, IEC_BOOL, 1), 1), IEC_TIME, IEC_BOOL);
    EXPECT_EQ(std::vector<uint8_t>(bin, bin + 4), (std::vector<uint8_t>{2, 0, 0, 0}));
    Z7Mem_Put8(Z7VMCnv_VarAddr(db, IEC_BOOL, 1), 0);
    Convert(2, 1, IEC_TIME, IEC_BOOL);
    EXPECT_EQ(Val<uint32_t>(IEC_TIME, 2), 0u);
    Z7Mem_Put8(Z7VMCnv_VarAddr(db, IEC_BOOL, 1), 1);
    Put<double>(IEC_LREAL, 1, 1.0e300);
    Convert(4, 1, IEC_REAL, IEC_LREAL);
    EXPECT_TRUE(std::isinf(Val<float>(IEC_REAL, 4)));
    Put<float>(IEC_REAL, 1, 0.1f);
    Convert(1, 1, IEC_STRING, IEC_REAL);
    EXPECT_EQ(Get(1), "0.1");  // python3: '%g' % 0.1 (the float widened)
    Put<int64_t>(IEC_LINT, 1, -5000000000LL);
    Convert(6, 1, IEC_STRING, IEC_LINT);
    EXPECT_EQ(Get(6), "-5000000000");
    Convert(1, 1, 0, IEC_LINT);  // unsupported codes leave the destination
    EXPECT_EQ(Get(1), "0.1");
    // 64-bit integers to REAL round once, to the nearest float: 2^60 + 2^36 + 1
    // lies just above the middle between 2^60 and 2^60 + 2^37 (through a double
    // it would fall on the middle and go down to 2^60, 16#5D800000)
    Put<int64_t>(IEC_LINT, 1, (int64_t(1) << 60) + (int64_t(1) << 36) + 1);
    Convert(4, 1, IEC_REAL, IEC_LINT);
    EXPECT_EQ(Val<uint32_t>(IEC_REAL, 4), 0x5D800001u);
    Put<int64_t>(IEC_LINT, 1, -((int64_t(1) << 60) + (int64_t(1) << 36) + 1));
    Convert(4, 1, IEC_REAL, IEC_LINT);
    EXPECT_EQ(Val<uint32_t>(IEC_REAL, 4), 0xDD800001u);
    // ULINT 2^63 + 2^39 + 1: 2^63 + 2^40, 16#5F000001
    Put<uint64_t>(IEC_ULINT, 1, (uint64_t(1) << 63) + (uint64_t(1) << 39) + 1);
    Convert(4, 1, IEC_REAL, IEC_ULINT);
    EXPECT_EQ(Val<uint32_t>(IEC_REAL, 4), 0x5F000001u);
    uint8_t real_bin[4] = {};
    Z7VMCnv_ConvBin(real_bin, Z7Mem_Ptr(Z7VMCnv_VarAddr(db, IEC_ULINT, 1), 8), IEC_REAL, IEC_ULINT);
    EXPECT_EQ(std::vector<uint8_t>(real_bin, real_bin + 4), (std::vector<uint8_t>{0x01, 0x00, 0x00, 0x5F}));
    // a STRING holding one NUL character is not empty: TRUE
    Set(3, std::string(1, '\0'));
    Put<uint8_t>(IEC_BOOL, 5, 0);
    Convert(5, 3, IEC_BOOL, IEC_STRING);
    EXPECT_EQ(Val<uint8_t>(IEC_BOOL, 5), 1u);
    Set(3, "");
    Convert(5, 3, IEC_BOOL, IEC_STRING);
    EXPECT_EQ(Val<uint8_t>(IEC_BOOL, 5), 0u);

    // text conversions
    Z7VMCnv_SZToNum(db, IEC_INT, 2, "70000");
    EXPECT_EQ(Val<uint16_t>(IEC_INT, 2), 70000 & 0xFFFF);
    Z7VMCnv_SZToNum(db, IEC_DINT, 2, "-9999999999");
    EXPECT_EQ(Val<int32_t>(IEC_DINT, 2), -2147483647 - 1);
    Z7VMCnv_SZToNum(db, IEC_LINT, 2, "-123456789012");
    EXPECT_EQ(Val<int64_t>(IEC_LINT, 2), -123456789012LL);
    // a LINT or ULINT text stops at its first character other than '-' and digits
    Z7VMCnv_SZToNum(db, IEC_LINT, 2, " 42");
    EXPECT_EQ(Val<int64_t>(IEC_LINT, 2), 0);
    Z7VMCnv_SZToNum(db, IEC_ULINT, 2, " 42");
    EXPECT_EQ(Val<uint64_t>(IEC_ULINT, 2), 0u);
    Z7VMCnv_SZToNum(db, IEC_ULINT, 2, "42 ");
    EXPECT_EQ(Val<uint64_t>(IEC_ULINT, 2), 42u);
    // STRING_TO_LINT and STRING_TO_ULINT skip the blanks before the number
    Set(3, " 42");
    Put<int64_t>(IEC_LINT, 3, 9);
    Convert(3, 3, IEC_LINT, IEC_STRING);
    EXPECT_EQ(Val<int64_t>(IEC_LINT, 3), 42);
    Set(3, "  -5");
    Convert(4, 3, IEC_ULINT, IEC_STRING);
    EXPECT_EQ(Val<uint64_t>(IEC_ULINT, 4), 0xFFFFFFFFFFFFFFFBu);
    Z7VMCnv_SZToNum(db, IEC_REAL, 2, "2.5e1");
    EXPECT_EQ(Val<float>(IEC_REAL, 2), 25.0f);
    Z7VMCnv_NumToSZ(db, IEC_INT, 2, text);
    EXPECT_STREQ(text, "4464");
    Z7Mem_Put8(Z7VMCnv_VarAddr(db, IEC_BOOL, 2), 7);
    Z7VMCnv_NumToSZ(db, IEC_BOOL, 2, text);
    EXPECT_STREQ(text, "7");
    Z7VMCnv_NumToSZ(db, IEC_STRING, 2, text);
    EXPECT_STREQ(text, "");
    Put<double>(IEC_LREAL, 2, -2.5e-7);
    Z7VMCnv_NumToSZ(db, IEC_LREAL, 2, text);
    EXPECT_STREQ(text, "-2.5e-07");  // python3: '%g' % -2.5e-7
}

}  // namespace
