// Register image: bit addressing, the system-register table, validated writes
// with their side effects, IEC variable handles, clearing and initialisation.
#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <unistd.h>

#include "core/storage/memfile.h"
#include "exec/plcmode.h"
#include "core/image/iecrt.h"
#include "core/image/plcreg.h"
#include "core/image/rtc.h"
#include "iec/services/drevano.h"
#include "platform/plat.h"
#include "tests/support/temp_root.h"

namespace {

// Every test of this file runs on a temporary root of its own, never on the
// machine's /mnt/cfg; the platform is pointed at it again whenever another
// test moved it elsewhere.
std::string TempRoot() {
    static char tmpl[] = "/tmp/plc-found-reg-XXXXXX";
    return test_support::KeptRoot(tmpl);
}

class RegImage : public ::testing::Test {
protected:
    void SetUp() override {
        TempRoot();
        plc_reg.fill(0);
        old_reg.fill(0);
        DrevanoRuntime = 0;
        drevano_variables_enumerateded = 0;
        OLPMode = 0;
    }
    void TearDown() override {
        DrevanoRuntime = 0;
        drevano_variables_enumerateded = 0;
        OLPMode = 0;
        PlcReg_IecLocate = DrevanoCalculateVmDbAddress;
    }
    static uint32_t Set16(uint32_t addr, uint16_t v) {
        uint8_t b[2];
        LE_Put16(b, v);
        return PlcReg_Set(addr, b, 16);
    }
    static uint32_t Set32(uint32_t addr, uint32_t v) {
        uint8_t b[4];
        LE_Put32(b, v);
        return PlcReg_Set(addr, b, 32);
    }
};

// ---- bit addressing ------------------------------------------------------------

TEST_F(RegImage, WindowsMapStartAddressesToTheirBytes) {
    EXPECT_EQ(PlcReg_Ptr(1023, 1), nullptr);
    EXPECT_EQ(PlcReg_Ptr(0, 16), nullptr);
    EXPECT_EQ(PlcReg_Ptr(0xCC400, 1), nullptr);
    EXPECT_EQ(PlcReg_Ptr(1024, 1), &plc_reg[0]);
    EXPECT_EQ(PlcReg_Ptr(0xCC3FF, 1), &plc_reg[104447]);

    // First and last bit of each extended window, and the gaps between them.
    EXPECT_EQ(PlcReg_Ptr(0x10008000, 1), &plc_reg[104448]);
    EXPECT_EQ(PlcReg_Ptr(0x1000BFFF, 1), &plc_reg[106495]);
    EXPECT_EQ(PlcReg_Ptr(0x1001C000, 1), &plc_reg[106496]);
    EXPECT_EQ(PlcReg_Ptr(0x1001FFFF, 1), &plc_reg[108543]);
    EXPECT_EQ(PlcReg_Ptr(0x10030000, 16), &plc_reg[108544]);
    for (uint32_t a : {0x10007FFFu, 0x1000C000u, 0x1001BFFFu, 0x10020000u, 0x1002FFFFu, 0x10031000u, 0x10031001u,
                       0x20000000u, 0xBFFFFFFFu, 0xFFFFFFFFu})
        EXPECT_EQ(PlcReg_Ptr(a, 1), nullptr) << std::hex << a;

    // 16 bits at 0x10030FF0 end exactly at 0x10031000; nothing starts beyond.
    EXPECT_EQ(PlcReg_Ptr(0x10030FF0, 16), &plc_reg[109054]);
    EXPECT_EQ(PlcReg_Ptr(0x10031000, 16), nullptr);
    // address + width may reach 0x10031010 but not pass it.
    EXPECT_NE(PlcReg_Ptr(0x10030FF0, 32), nullptr);
    EXPECT_EQ(PlcReg_Ptr(0x10030FF0, 33), nullptr);
}

TEST_F(RegImage, BitAccessAtTheEdgesOfTheLinearWindow) {
    const uint8_t one = 1, zero = 0;
    ASSERT_EQ(PlcReg_Set(1024, &one, 1), 1u);
    EXPECT_EQ(plc_reg[0], 0x01);
    ASSERT_EQ(PlcReg_Set(0xCC3FF, &one, 1), 1u);
    EXPECT_EQ(plc_reg[104447], 0x80);
    EXPECT_EQ(PlcReg_Set(1023, &one, 1), 0u);
    EXPECT_EQ(PlcReg_Set(0xCC400, &one, 1), 0u);
    EXPECT_EQ(plc_reg[104448], 0);

    // Any non-zero byte sets, zero clears; only the one bit moves.
    plc_reg[10] = 0xFF;
    const uint8_t two = 2;
    ASSERT_EQ(PlcReg_Set(1024 + 80 + 3, &zero, 1), 1u);
    EXPECT_EQ(plc_reg[10], 0xF7);
    ASSERT_EQ(PlcReg_Set(1024 + 80 + 3, &two, 1), 1u);
    EXPECT_EQ(plc_reg[10], 0xFF);

    uint8_t out = 0xAA;
    EXPECT_EQ(PlcReg_Get(&out, 1024 + 80 + 3, 1), 1u);
    EXPECT_EQ(out, 1);
    EXPECT_EQ(PlcReg_Get(&out, 1024 + 1, 1), 1u);
    EXPECT_EQ(out, 0);
    EXPECT_EQ(PlcReg_Get(&out, 1023, 1), 0u);
}

TEST_F(RegImage, WordsAreLittleEndianAndTwoWordValuesLowWordFirst) {
    const uint32_t r1 = 32768;  // %R1
    ASSERT_EQ(Set32(r1, 0x12345678), 1u);
    EXPECT_EQ(plc_reg[3968], 0x78);
    EXPECT_EQ(plc_reg[3969], 0x56);
    EXPECT_EQ(plc_reg[3970], 0x34);
    EXPECT_EQ(plc_reg[3971], 0x12);
    uint8_t b[4] = {};
    ASSERT_EQ(PlcReg_Get(b, 32784, 16), 1u);
    EXPECT_EQ(LE_Get16(b), 0x1234);
    // The last %R word is the last byte pair of the linear window.
    ASSERT_EQ(Set16(0xCC3F0, 0xBEEF), 1u);
    EXPECT_EQ(plc_reg[104446], 0xEF);
    EXPECT_EQ(plc_reg[104447], 0xBE);
}

TEST_F(RegImage, RegisterTypeBasesTileTheWindow) {
    const uint32_t bases[RT_COUNT] = {1024,  1280,  1536,  1792,  2048,  2560,  3072,       6144,       8192,
                                      10240, 12288, 14336, 16384, 24576, 32768, 0x10008000, 0x1001C000, 0x10030000};
    for (uint32_t t = 0; t < RT_COUNT; t++) EXPECT_EQ(reg_types[t].base, bases[t]) << t;
    // %ESR1 is word 54272, the on-line change control word.
    ASSERT_EQ(Set16(0x10030000, 0x0100), 1u);
    EXPECT_EQ(PlcWord(W_OLC), 0x0100);
    // The last %K bit, %F word and %AQ word end where the next type begins.
    EXPECT_EQ(PlcReg_Ptr(2047, 1), &plc_reg[127]);
    EXPECT_EQ(PlcReg_Ptr(8176, 16), &plc_reg[894]);
    EXPECT_EQ(PlcReg_Ptr(32752, 16), &plc_reg[3966]);
}

TEST_F(RegImage, AccessesNeverReachPastTheImage) {
    // A valid start with a huge width: address + width stays below the limit,
    // yet the access would run far past the image.
    EXPECT_EQ(PlcReg_Ptr(1024, 0x10000000), nullptr);
    EXPECT_EQ(PlcReg_Ptr(0xCC3F8, 0x0FF00000), nullptr);
    EXPECT_EQ(PlcReg_Ptr(1024, 0xFFFFFFFF), nullptr);
    EXPECT_EQ(PlcReg_Ptr(0x10030000, 0xFFFFFFF0), nullptr);
    uint8_t buf[16] = {};
    EXPECT_EQ(PlcReg_Get(buf, 1024, 0x10000000), 0u);
    EXPECT_EQ(PlcReg_Set(32768, buf, 0x0F000000), 0u);
    // The whole linear window in one read is fine; from its last byte an
    // access may run to the end of the image and not one bit further.
    EXPECT_NE(PlcReg_Ptr(1024, 8 * 104448), nullptr);
    EXPECT_EQ(PlcReg_Ptr(0xCC3F8, 8 * (PLC_REG_SIZE - 104447)), &plc_reg[104447]);
    EXPECT_EQ(PlcReg_Ptr(0xCC3F8, 8 * (PLC_REG_SIZE - 104447) + 1), nullptr);
    EXPECT_NE(PlcReg_Ptr(0x10030000, 0x1010), nullptr);
    EXPECT_EQ(PlcReg_Ptr(0x10030000, 0x1011), nullptr);

    EXPECT_EQ(OldReg_Ptr(1024, 16), &old_reg[0]);
    EXPECT_EQ(OldReg_Ptr(1023, 16), nullptr);
    EXPECT_EQ(OldReg_Ptr(1024, 0x10000000), nullptr);
    EXPECT_EQ(OldReg_Ptr(0x10030FF0, 16), nullptr);  // linear rule only: far past old_reg
}

TEST_F(RegImage, PreviousScanCopyAndBatteryMarker) {
    plc_reg[5] = 0x5A;
    plc_reg[PLC_REG_SIZE - 1] = 0xA5;
    PlcOldInit();
    EXPECT_EQ(old_reg[5], 0x5A);
    EXPECT_EQ(old_reg[PLC_REG_SIZE - 1], 0xA5);
    EXPECT_EQ(PlcBatCheck(), 0);
    std::memcpy(&plc_reg[REG_MARKER_BYTE], "WATCHBAT", 8);
    EXPECT_EQ(PlcBatCheck(), 1);
    plc_reg[REG_MARKER_BYTE + 7] = 'X';
    EXPECT_EQ(PlcBatCheck(), 0);
}

// ---- the system-register table -------------------------------------------------------

bool Writable(const SrInfo &r) { return r.width != 0 && r.min <= r.max; }

TEST_F(RegImage, SystemRegisterTableCountsAndSampleRows) {
    unsigned writable = 0;
    for (const SrInfo &r : sr_info) writable += Writable(r) ? 1 : 0;
    EXPECT_EQ(writable, 52u);
    EXPECT_EQ(sr_info.size() - writable, 140u);

    // A sample of each kind of row, as the register list gives them.
    struct Row {
        unsigned n;
        uint8_t w;
        uint32_t lo, hi;
        bool writable;
    };
    const Row rows[] = {
        {1, 16, 0, 0, true},        {3, 16, 0, 25, true},       {29, 16, 1, 127, true},         {44, 96, 0, 59, true},
        {47, 48, 1, 31, true},      {155, 16, 135, 1500, true}, {157, 32, 0, 0xFFFFFFFF, true}, {167, 16, 2, 50, true},
        {172, 16, 0, 320, true},    {186, 16, 5, 1200, true},   {192, 16, 0, 1000, true},       {45, 0, 0, 59, false},
        {49, 0, 1900, 1999, false}, {4, 16, 1, 0, false},       {136, 16, 1, 0, false},         {190, 16, 1, 0, false},
    };
    for (const Row &r : rows) {
        const SrInfo &s = sr_info[r.n - 1];
        EXPECT_EQ(s.width, r.w) << "%SR" << r.n;
        EXPECT_EQ(s.min, r.lo) << "%SR" << r.n;
        EXPECT_EQ(s.max, r.hi) << "%SR" << r.n;
        EXPECT_EQ(Writable(s), r.writable) << "%SR" << r.n;
    }
    // Wider read-only registers and the words that continue them.
    const std::pair<unsigned, uint8_t> widths[] = {{11, 32}, {12, 0},   {149, 32}, {150, 0}, {66, 96},
                                                   {71, 0},  {131, 80}, {135, 0},  {61, 0},  {158, 0}};
    for (const auto &[n, w] : widths) EXPECT_EQ(sr_info[n - 1].width, w) << "%SR" << n;

    uint16_t lo = 0, hi = 0;
    VmDbWordSR_MinMax(&lo, &hi, 154);  // %SR155
    EXPECT_EQ(lo, 135);
    EXPECT_EQ(hi, 1500);
    VmDbWordSR_MinMax(&lo, &hi, 156);  // %SR157: low halves of a 32-bit row
    EXPECT_EQ(lo, 0);
    EXPECT_EQ(hi, 0xFFFF);
    VmDbWordSR_MinMax(&lo, &hi, 192);  // no such row: nothing allowed
    EXPECT_GT(lo, hi);
}

// ---- validated writes ---------------------------------------------------------------

TEST_F(RegImage, ModeRegisterGoesThroughTheModeChange) {
    PlcWordSet(W_MODE, 0);
    EXPECT_EQ(Set16(SR_ADDR(5), 5), 0u);
    EXPECT_EQ(PlcWord(W_MODE), 0);
    EXPECT_EQ(Set16(SR_ADDR(5), 2), 1u);
    EXPECT_EQ(PlcWord(W_MODE), 2);
    EXPECT_EQ(Set16(SR_ADDR(5), 0), 1u);
    EXPECT_EQ(PlcWord(W_MODE), 0);
    // Wider than the row: refused before anything happens.
    EXPECT_EQ(Set32(SR_ADDR(5), 2), 0u);
    EXPECT_EQ(PlcWord(W_MODE), 0);
    // Some bits of the word would change the mode without the mode change.
    const uint8_t one = 1;
    EXPECT_EQ(PlcReg_Set(SR_ADDR(5) + 1, &one, 1), 0u);
    EXPECT_EQ(PlcWord(W_MODE), 0);
    EXPECT_EQ(PlcReg_Set(SR_ADDR(29) + 3, &one, 1), 0u);
    EXPECT_EQ(PlcReg_Set(SR_ADDR(34) + 8, &one, 8), 0u);
    // Elsewhere single bits of a system word are validated like any value.
    EXPECT_EQ(PlcReg_Set(SR_ADDR(33) + 4, &one, 1), 1u);
    EXPECT_EQ(PlcWord(SR_WORD(33)), 0x10);
}

TEST_F(RegImage, PlainValidationOfSystemRegisters) {
    // %SR9 takes anything, even what no row would allow.
    EXPECT_EQ(Set16(SR_ADDR(9), 0xFFFF), 1u);
    EXPECT_EQ(PlcWord(SR_WORD(9)), 0xFFFF);
    EXPECT_EQ(Set32(SR_ADDR(9), 0xCAFEBABE), 1u);
    EXPECT_EQ(PlcDword(SR_WORD(9)), 0xCAFEBABEu);

    // A read-only row refuses every value and keeps the word.
    PlcWordSet(SR_WORD(4), 0x1111);
    for (uint16_t v : {0, 1, 0x1111, 0xFFFF}) EXPECT_EQ(Set16(SR_ADDR(4), v), 0u);
    EXPECT_EQ(PlcWord(SR_WORD(4)), 0x1111);
    EXPECT_EQ(Set16(SR_ADDR(45), 30), 0u);  // clock field, width 0
    EXPECT_EQ(Set16(SR_ADDR(12), 0), 0u);   // second word of a 32-bit register

    // Range limits, inclusive.
    EXPECT_EQ(Set16(SR_ADDR(3), 26), 0u);
    EXPECT_EQ(Set16(SR_ADDR(3), 25), 1u);
    EXPECT_EQ(PlcWord(SR_WORD(3)), 25);
    EXPECT_EQ(Set16(SR_ADDR(155), 134), 0u);
    EXPECT_EQ(Set16(SR_ADDR(155), 1501), 0u);
    EXPECT_EQ(Set16(SR_ADDR(155), 135), 1u);
    EXPECT_EQ(Set16(SR_ADDR(1), 1), 0u);
    EXPECT_EQ(Set16(SR_ADDR(1), 0), 1u);

    // Width: not above the row's, never above 32 bits.
    EXPECT_EQ(Set32(SR_ADDR(3), 1), 0u);
    EXPECT_EQ(Set32(SR_ADDR(157), 0xFFFFFFFF), 1u);
    EXPECT_EQ(PlcDword(SR_WORD(157)), 0xFFFFFFFFu);
    uint8_t wide[8] = {};
    EXPECT_EQ(PlcReg_Set(SR_ADDR(66), wide, 64), 0u);

    // Registers stored as one 16-bit word.
    EXPECT_EQ(Set16(SR_ADDR(32), 41), 0u);
    EXPECT_EQ(Set16(SR_ADDR(32), 40), 1u);
    EXPECT_EQ(PlcWord(SR_WORD(32)), 40);
    EXPECT_EQ(Set16(SR_ADDR(186), 4), 0u);
    EXPECT_EQ(Set16(SR_ADDR(186), 1200), 1u);
    EXPECT_EQ(PlcWord(SR_WORD(186)), 1200);
}

TEST_F(RegImage, NetworkIdIsLimitedByWord188) {
    PlcWordSet(188, 40);
    PlcWordSet(W_NETID, 7);
    PlcWordSet(W_FAULT, 0x0021);
    EXPECT_EQ(Set16(SR_ADDR(29), 100), 0u);
    EXPECT_EQ(PlcWord(W_NETID), 7);
    EXPECT_EQ(PlcWord(W_FAULT), 0x0021);
    EXPECT_EQ(Set16(SR_ADDR(29), 89), 0u);
    EXPECT_EQ(Set16(SR_ADDR(29), 88), 1u);
    EXPECT_EQ(PlcWord(W_NETID), 88);
    EXPECT_EQ(PlcWord(W_FAULT), 0x0001);   // bit 5 cleared, the rest kept
    EXPECT_EQ(Set16(SR_ADDR(29), 0), 0u);  // row minimum 1
    // A word 188 above 128 leaves no room at all.
    PlcWordSet(188, 200);
    EXPECT_EQ(Set16(SR_ADDR(29), 1), 0u);
    EXPECT_EQ(PlcWord(W_NETID), 88);

    EXPECT_EQ(Set16(SR_ADDR(30), 5), 0u);
    EXPECT_EQ(Set16(SR_ADDR(30), 3), 1u);
    EXPECT_EQ(PlcWord(W_CANRATE), 3);
}

TEST_F(RegImage, ClockRegistersAndTheirWidths) {
    // 48 bits at %SR44: second, minute, hour of the real-time clock.
    uint8_t b[12] = {};
    LE_Put16(b, 5);
    LE_Put16(b + 2, 6);
    LE_Put16(b + 4, 7);
    ASSERT_NE(PlcReg_Set(SR_ADDR(44), b, 48), 0u);
    uint16_t rec[7] = {};
    ASSERT_NE(RtcGet(rec), 0u);
    EXPECT_EQ(rec[2], 7);
    EXPECT_EQ(rec[1], 6);
    EXPECT_LE(rec[0], 8);

    // 96 bits: the whole clock (second .. year).
    const uint16_t whole[6] = {10, 20, 11, 29, 2, 2024};
    for (unsigned i = 0; i < 6; i++) LE_Put16(b + 2 * i, whole[i]);
    ASSERT_NE(PlcReg_Set(SR_ADDR(44), b, 96), 0u);
    ASSERT_NE(RtcGet(rec), 0u);
    EXPECT_EQ(rec[5], 2024);
    EXPECT_EQ(rec[4], 2);
    EXPECT_EQ(rec[3], 29);
    EXPECT_EQ(rec[2], 11);

    // 48 bits at %SR47: day, month, year.
    const uint16_t date[3] = {15, 6, 2030};
    for (unsigned i = 0; i < 3; i++) LE_Put16(b + 2 * i, date[i]);
    ASSERT_NE(PlcReg_Set(SR_ADDR(47), b, 48), 0u);
    ASSERT_NE(RtcGet(rec), 0u);
    EXPECT_EQ(rec[3], 15);
    EXPECT_EQ(rec[4], 6);
    EXPECT_EQ(rec[5], 2030);

    // A 32-bit write at %SR44 is a plain validated value (0 .. 59).
    PlcWordSet(W_CLOCK, 0xEEEE);
    PlcWordSet(W_CLOCK + 1, 0xEEEE);
    EXPECT_EQ(Set32(SR_ADDR(44), 60), 0u);
    EXPECT_EQ(Set32(SR_ADDR(44), 30), 1u);
    EXPECT_EQ(PlcWord(W_CLOCK), 30);
    EXPECT_EQ(PlcWord(W_CLOCK + 1), 0);
    EXPECT_EQ(Set16(SR_ADDR(44), 59), 1u);
    // 64 bits at %SR44 and any width but 48 at %SR47 are refused.
    EXPECT_EQ(PlcReg_Set(SR_ADDR(44), b, 64), 0u);
    PlcWordSet(W_CLOCK + 3, 9);
    EXPECT_EQ(Set16(SR_ADDR(47), 12), 0u);
    EXPECT_EQ(Set32(SR_ADDR(47), 12), 0u);
    EXPECT_EQ(PlcReg_Set(SR_ADDR(47), b, 96), 0u);
    EXPECT_EQ(PlcWord(W_CLOCK + 3), 9);

    // An invalid time is refused by the clock.
    LE_Put16(b, 0);
    LE_Put16(b + 2, 0);
    LE_Put16(b + 4, 24);
    EXPECT_EQ(PlcReg_Set(SR_ADDR(44), b, 48), 0u);

    // Put the clock back to the host's time.
    std::error_code ec;
    std::filesystem::remove(TempRoot() + "/sim/rtc", ec);
    RTCOpen();  // the clock read again from the stand-in
}

// ---- IEC variable handles -------------------------------------------------------------

// A fake IEC database: 16-bit elements at their index, strings as
// {maximum, length, characters} records of 8 bytes each.
std::array<uint8_t, 256> iec_mem;
int locate_calls;
constexpr uint32_t kStrBase = 128;
uint8_t *FakeLocate(uint32_t h, uint32_t) {
    locate_calls++;
    const uint32_t type = (h >> 26) & 7;
    const uint32_t idx = h & 0xFFFFF;
    if (type == 4) return idx < 8 ? &iec_mem[kStrBase + 16 * idx] : nullptr;
    const uint32_t size = type == 1 ? 2 : type == 2 ? 4 : 1;
    return idx * size < 64 ? &iec_mem[idx * size] : nullptr;
}
constexpr uint32_t Handle(uint32_t type, uint32_t idx, uint32_t bit = 0) {
    return 0xC0000000u | (type << 26) | (bit << 20) | idx;
}

class IecHandles : public RegImage {
protected:
    void SetUp() override {
        RegImage::SetUp();
        iec_mem.fill(0xEE);
        locate_calls = 0;
        PlcReg_IecLocate = FakeLocate;
        DrevanoRuntime = 1;
        drevano_variables_enumerateded = 1;
    }
};

TEST_F(IecHandles, StringWriteNeverPassesTheElementMaximum) {
    uint8_t *rec = &iec_mem[kStrBase];  // string 0: room for 5 characters
    rec[0] = 5;
    rec[1] = 0;
    // Ten bytes into a five-character string: refused, nothing touched.
    EXPECT_EQ(PlcReg_Set(Handle(4, 0), "HELLOWORLD", 80), 0u);
    EXPECT_EQ(rec[1], 0);
    EXPECT_EQ(rec[2], 0xEE);
    // Exactly five: stored, and the byte after the record is untouched.
    EXPECT_EQ(PlcReg_Set(Handle(4, 0), "ABCDEFGH", 40), 1u);
    EXPECT_EQ(rec[1], 5);
    EXPECT_EQ(std::memcmp(rec + 2, "ABCDE", 5), 0);
    EXPECT_EQ(rec[7], 0xEE);
    // A shorter text sets the length to the text.
    EXPECT_EQ(PlcReg_Set(Handle(4, 0), "HI\0\0", 32), 1u);
    EXPECT_EQ(rec[1], 2);
    EXPECT_EQ(std::memcmp(rec + 2, "HICDE", 5), 0);
    // A handle with a bit number writes packed bits only: a string is not
    // written through it.
    EXPECT_EQ(PlcReg_Set(Handle(4, 0, 3), "XY\0\0", 32), 0u);
    EXPECT_EQ(rec[1], 2);
    EXPECT_EQ(std::memcmp(rec + 2, "HICDE", 5), 0);

    char out[8] = {};
    EXPECT_EQ(PlcReg_Get(out, Handle(4, 0), 64), 1u);
    EXPECT_STREQ(out, "HI");
    // A corrupt length byte never reads past the maximum.
    rec[1] = 200;
    std::memset(out, 0, sizeof out);
    EXPECT_EQ(PlcReg_Get(out, Handle(4, 0), 64), 1u);
    EXPECT_EQ(std::string(out, 5), "HICDE");
    EXPECT_EQ(out[5], 0);
    // An unset string reads as nothing.
    EXPECT_EQ(PlcReg_Get(out, Handle(4, 9), 64), 1u);
}

TEST_F(IecHandles, ValuesBitsAndTheNoneType) {
    EXPECT_EQ(Set16(Handle(1, 3), 0x1234), 1u);
    EXPECT_EQ(iec_mem[6], 0x34);
    EXPECT_EQ(iec_mem[7], 0x12);
    uint8_t b[2] = {};
    EXPECT_EQ(PlcReg_Get(b, Handle(1, 3), 16), 1u);
    EXPECT_EQ(LE_Get16(b), 0x1234);

    // One bit of a 16-bit element: read, change, write back.
    const uint8_t one = 1, zero = 0;
    EXPECT_EQ(PlcReg_Set(Handle(1, 3, 9), &one, 1), 1u);
    EXPECT_EQ(LE_Get16(&iec_mem[6]), 0x1234 | 0x200);
    EXPECT_EQ(PlcReg_Set(Handle(1, 3, 2), &zero, 1), 1u);
    EXPECT_EQ(LE_Get16(&iec_mem[6]), (0x1234 | 0x200) & ~0x4);
    uint8_t bit = 7;
    EXPECT_EQ(PlcReg_Get(&bit, Handle(1, 3, 9), 1), 1u);
    EXPECT_EQ(bit, 1);
    EXPECT_EQ(PlcReg_Get(&bit, Handle(1, 3, 2), 1), 1u);
    EXPECT_EQ(bit, 0);
    // Bit 16 of a 16-bit element does not exist.
    EXPECT_EQ(PlcReg_Set(Handle(1, 3, 16), &one, 1), 0u);

    // Type 7 names nothing: answered, nothing written.
    const std::array<uint8_t, 256> before = iec_mem;
    EXPECT_EQ(Set16(Handle(7, 0), 0xFFFF), 1u);
    EXPECT_EQ(iec_mem, before);
}

TEST_F(IecHandles, PackedBitsAndBitNumbersOnWiderReads) {
    // Type 6 keeps one byte per bit; registers see them packed.
    const uint8_t packed = 0xB1;
    EXPECT_EQ(PlcReg_Set(Handle(6, 0), &packed, 8), 1u);
    const uint8_t want[8] = {1, 0, 0, 0, 1, 1, 0, 1};
    EXPECT_EQ(std::memcmp(&iec_mem[0], want, 8), 0);
    EXPECT_EQ(iec_mem[8], 0xEE);
    uint8_t back = 0;
    EXPECT_EQ(PlcReg_Get(&back, Handle(6, 0), 8), 1u);
    EXPECT_EQ(back, 0xB1);

    // 16-bit elements read with a bit number: an element counts when it has
    // bits at or above the bit number, or the next one carries into it.
    LE_Put16(&iec_mem[0], 0x8000);
    LE_Put16(&iec_mem[2], 0x8000);
    LE_Put16(&iec_mem[4], 0x0002);
    uint8_t out[6];
    std::memset(out, 0xAA, sizeof out);
    EXPECT_EQ(PlcReg_Get(out, Handle(1, 0, 1), 48), 1u);
    EXPECT_EQ(LE_Get16(out), 1);      // nothing of its own, the next one carries in
    EXPECT_EQ(LE_Get16(out + 2), 0);  // nothing of its own, nothing carried
    EXPECT_EQ(LE_Get16(out + 4), 1);  // 0x0002 shifted by one is non-zero
    // The last element has no next one inside the range read: the bytes
    // behind it (0xEEEE here) are never looked at.
    LE_Put16(&iec_mem[4], 0x8000);
    EXPECT_EQ(PlcReg_Get(out, Handle(1, 0, 1), 48), 1u);
    EXPECT_EQ(LE_Get16(out + 4), 0);
}

TEST_F(IecHandles, RefusedWhileNotAvailable) {
    // While an on-line change is applied, writes are refused; reads go on.
    LE_Put16(&iec_mem[0], 0x4321);
    OLPMode = 1;
    EXPECT_EQ(Set16(Handle(1, 0), 1), 0u);
    EXPECT_EQ(LE_Get16(&iec_mem[0]), 0x4321);
    uint8_t b[2] = {};
    EXPECT_EQ(PlcReg_Get(b, Handle(1, 0), 16), 1u);
    EXPECT_EQ(LE_Get16(b), 0x4321);
    OLPMode = 0;

    // Runtime in use but variables not enumerated: refused both ways.
    drevano_variables_enumerateded = 0;
    EXPECT_EQ(Set16(Handle(1, 0), 1), 0u);
    EXPECT_EQ(PlcReg_Get(b, Handle(1, 0), 16), 0u);
    // No runtime: a handle is no register either.
    DrevanoRuntime = 0;
    locate_calls = 0;
    EXPECT_EQ(Set16(Handle(1, 0), 1), 0u);
    EXPECT_EQ(PlcReg_Get(b, Handle(1, 0), 16), 0u);
    EXPECT_EQ(PlcReg_Ptr(Handle(1, 0), 16), nullptr);
    EXPECT_EQ(locate_calls, 0);
    EXPECT_EQ(LE_Get16(&iec_mem[0]), 0x4321);
    // 0xFFFFFFFF is never a handle.
    DrevanoRuntime = 1;
    drevano_variables_enumerateded = 1;
    EXPECT_EQ(PlcReg_Ptr(0xFFFFFFFF, 1), nullptr);
    EXPECT_EQ(locate_calls, 0);
}

TEST(IecHandleTest, BothTopBitsSetExceptAllOnes) {
    EXPECT_FALSE(PlcReg_IsIecHandle(0xBFFFFFFFu));
    EXPECT_FALSE(PlcReg_IsIecHandle(0x80000000u));
    EXPECT_FALSE(PlcReg_IsIecHandle(0x40000000u));
    EXPECT_TRUE(PlcReg_IsIecHandle(0xC0000000u));
    EXPECT_TRUE(PlcReg_IsIecHandle(0xDC012345u));
    EXPECT_TRUE(PlcReg_IsIecHandle(0xFFFFFFFEu));
    EXPECT_FALSE(PlcReg_IsIecHandle(0xFFFFFFFFu));
}

// ---- clearing and initialisation --------------------------------------------------------

void FillImage(uint8_t v) { plc_reg.fill(v); }

TEST_F(RegImage, ColdInitialisation) {
    FillImage(0x5A);
    PlcWordSet(W_FAULT, 0);
    const std::array<uint8_t, 76> tiny = tinyImage;
    const uint8_t mac[6] = {0x02, 0x43, 0x50, 0xA1, 0xB2, 0xC3};
    std::memcpy(&tinyImage[8], mac, 6);
    PlcRegInit(1);
    tinyImage = tiny;
    // The first MAC's bytes 5, 4, 3, 2 in bytes 324..327: the 32-bit value of
    // words 162-163 reads MAC byte 2 as its high byte.
    EXPECT_EQ(plc_reg[324], 0xC3);
    EXPECT_EQ(plc_reg[325], 0xB2);
    EXPECT_EQ(plc_reg[326], 0xA1);
    EXPECT_EQ(plc_reg[327], 0x50);
    EXPECT_EQ(PlcDword(162), 0x50A1B2C3u);
    EXPECT_EQ(PlcBatCheck(), 1);
    EXPECT_EQ(std::memcmp(&plc_reg[REG_MARKER_BYTE], "WATCHBAT", 8), 0);
    for (size_t i = 3968; i <= 104447; i++) ASSERT_EQ(plc_reg[i], 0) << i;  // %R
    for (size_t i : {size_t(0), size_t(63), size_t(128), size_t(255), size_t(896), size_t(1151), size_t(1664),
                     size_t(1919), size_t(1920), size_t(2943), size_t(106496), size_t(108543)})
        EXPECT_EQ(plc_reg[i], 0) << i;  // %IG %QG %AIG %AQG %I %M %AI %EM
    for (size_t i : {size_t(96), size_t(1152), size_t(1408), size_t(2944), size_t(104448), size_t(106495)})
        EXPECT_EQ(plc_reg[i], 0) << i;  // %K %Q %T %AQ %ET
    EXPECT_EQ(PlcWord(W_FWVER), 1550);
    EXPECT_EQ(PlcWord(282), 1500);
    EXPECT_EQ(plc_reg[64], 0x40);
    EXPECT_EQ(plc_reg[65] & 0x63, 0);
    EXPECT_EQ(PlcWord(184), 255);
    for (uint32_t w : {133u, 167u, 168u, 169u, 186u, 178u, 183u, 185u, 189u, 190u, 311u, 33u, 44u, 319u})
        EXPECT_EQ(PlcWord(w), 0) << w;
    EXPECT_EQ(PlcWord(187), 2);
    EXPECT_EQ(PlcWord(170), 255);
    EXPECT_EQ(PlcWord(180), 65535);
    EXPECT_EQ(PlcWord(181), 65535);
    for (size_t i : {size_t(108604), size_t(109055), size_t(109081)}) EXPECT_EQ(plc_reg[i], 0) << i;
    // Not cleared: %F, the system data no bit address reaches beyond byte 109,081.
    EXPECT_EQ(plc_reg[700], 0x5A);
    EXPECT_EQ(plc_reg[109082], 0x5A);
    // The clock image holds a valid clock.
    uint16_t rec[7];
    for (unsigned i = 0; i < 7; i++) rec[i] = PlcWord(W_CLOCK + i);
    EXPECT_NE(RtcCheck(rec), 0u);
    EXPECT_EQ(PlcWord(W_FAULT) & FAULT_CLOCK, 0);
}

TEST_F(RegImage, WarmInitialisationKeepsRetainedAreas) {
    FillImage(0x5A);
    PlcRegInit(0);
    for (size_t i : {size_t(896), size_t(1151), size_t(1664), size_t(1919), size_t(1920), size_t(2943), size_t(3968),
                     size_t(104447), size_t(0), size_t(128)})
        EXPECT_EQ(plc_reg[i], 0x5A) << i;  // %I %M %AI %R %IG %AIG kept
    for (size_t i : {size_t(96), size_t(1152), size_t(1408), size_t(2944), size_t(104448)})
        EXPECT_EQ(plc_reg[i], 0) << i;  // temporary areas cleared
    EXPECT_EQ(PlcWord(W_FWVER), 1550);
    EXPECT_EQ(plc_reg[64], 0x40);
    EXPECT_EQ(PlcBatCheck(), 0);  // the marker is written only cold
}

TEST_F(RegImage, ColdStartWithTheIecRuntimeOnlyDropsItsRetainFile) {
    const std::string ret = TempRoot() + "/mnt/cfg/z7.ret";
    std::ofstream(ret) << "retain";
    FillImage(0x5A);
    DrevanoRuntime = 1;
    PlcRegClear();
    EXPECT_FALSE(std::filesystem::exists(ret));
    EXPECT_EQ(plc_reg[3968], 0x5A);  // %R untouched
    EXPECT_EQ(plc_reg[1152], 0x5A);  // even the temporary areas
}

TEST_F(RegImage, InvalidClockResetsTo1900AndSetsTheFault) {
    // Put the stand-in clock 300 years ahead: beyond what the clock accepts.
    const std::string rtc = TempRoot() + "/sim/rtc";
    std::ofstream(rtc) << (300LL * 366 * 86400) << "\n";
    RTCOpen();  // the clock read again from the stand-in
    PlcWordSet(W_FAULT, 0);
    PlcRegInit(1);
    const uint16_t want[7] = {0, 0, 0, 1, 1, 1900, 0};
    for (unsigned i = 0; i < 7; i++) EXPECT_EQ(PlcWord(W_CLOCK + i), want[i]) << i;
    EXPECT_EQ(PlcWord(W_FAULT) & FAULT_CLOCK, FAULT_CLOCK);
    std::error_code ec;
    std::filesystem::remove(rtc, ec);
    RTCOpen();  // the clock read again from the stand-in
}

TEST_F(RegImage, ClearsZeroExactlyTheirAreas) {
    // Byte ranges (inclusive) worked out from the register map: %K 96..127,
    // %Q 1152..1407, %T 1408..1663, %AQ 2944..3967, %ET 104448..106495 are
    // temporary; a full clear adds %IG/%QG 0..63, %AIG/%AQG 128..255,
    // %I 896..1151, %M 1664..1919, %AI 1920..2943, %R 3968..104447 and
    // %EM 106496..108543. %S (64..95, but bits 0 and 1 of byte 65), %SR and
    // %ESR stay.
    struct Range {
        size_t first, last;
    };
    const Range temporary[] = {{96, 127}, {1152, 1407}, {1408, 1663}, {2944, 3967}, {104448, 106495}};
    const Range retained[] = {{0, 63},      {128, 255},     {896, 1151},     {1664, 1919},
                              {1920, 2943}, {3968, 104447}, {106496, 108543}};
    auto cleared = [](const Range &r) {
        for (size_t i = r.first; i <= r.last; i++)
            if (plc_reg[i] != 0) return false;
        return true;
    };
    auto kept = [](const Range &r) {
        for (size_t i = r.first; i <= r.last; i++)
            if (plc_reg[i] != 0x5A) return false;
        return true;
    };
    DrevanoRuntime = 0;
    FillImage(0x5A);
    PlcTmpClear();
    for (const Range &r : temporary) EXPECT_TRUE(cleared(r)) << r.first;
    for (const Range &r : retained) EXPECT_TRUE(kept(r)) << r.first;
    EXPECT_EQ(plc_reg[95], 0x5A);
    EXPECT_EQ(plc_reg[384], 0x5A);     // %SR65
    EXPECT_EQ(plc_reg[108544], 0x5A);  // %ESR
    EXPECT_EQ(plc_reg[65], 0x58);      // only bits 0 and 1 of byte 65
    FillImage(0x5A);
    PlcRegClear();
    for (const Range &r : temporary) EXPECT_TRUE(cleared(r)) << r.first;
    for (const Range &r : retained) EXPECT_TRUE(cleared(r)) << r.first;
    EXPECT_EQ(plc_reg[256], 0x5A);     // %SR1
    EXPECT_EQ(plc_reg[108544], 0x5A);  // %ESR
}

}  // namespace
