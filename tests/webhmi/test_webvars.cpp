// Web HMI text addresses, the variable table and its change detection, with
// bit addresses and UTC seconds worked out by hand.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "core/image/iecrt.h"
#include "core/image/plcreg.h"
#include "iec/services/drevano.h"
#include "iec/vm/z7vm.h"
#include "ladder/ladder.h"
#include "webhmi/webhmi.h"
#include "webhmi/webusers.h"
#include "webhmi/webvars.h"
#include "tests/support/iec_db.h"
#include "tests/support/iec_vms.h"

namespace {

struct Notified {
    void *sub;
    tavix_data_value value;
    uint32_t seconds, status;
};
std::vector<Notified> notified;

struct WebVars : ::testing::Test {
    void SetUp() override {
        plc_reg.fill(0);
        RegTokLen_16b = 1;
        variable_count = 0;  // the round robin starts at the first entry
        notified.clear();
        web_notify_hook = [](void *sub, const tavix_data_value *v, const tavix_timestamp *t, uint32_t status) {
            notified.push_back({sub, *v, uint32_t(t->seconds), status});
        };
    }
    void TearDown() override {
        while (variable_pointer_list.count > 0) tavix_unregister_variable(variable_pointer_list.entries[0].name);
        web_notify_hook = nullptr;
        RegTokLen_16b = 1;
    }
    static void SetWord(uint32_t word, uint16_t v) {
        plc_reg[2 * word] = uint8_t(v);
        plc_reg[2 * word + 1] = uint8_t(v >> 8);
    }
};

}  // namespace

TEST_F(WebVars, RegisterAddressesGiveTheirBitAddressesAndRefuseWhatLeavesTheirType) {
    struct {
        const char *address;
        uint32_t ref;
        uint8_t data_type, width;
    } ok[] = {
        {"R_1_1_INT16", 32768, WDT_INT16, 16},
        {"R_1_9_BOOL", 32776, WDT_BOOL, 1},
        {"M_5_3_BOOL", 14340, WDT_BOOL, 1},
        // The bit token moves only a value inside a word of %SR, %AI, %AQ or
        // %R; any other takes none, however large.
        {"M_5_20_BOOL", 14340, WDT_BOOL, 1},
        {"I_7_99_BOOL", 8198, WDT_BOOL, 1},
        {"R_3_40_LREAL64", 32768 + 32, WDT_LREAL64, 64},
        {"R_10_17_CHAR_2", 32768 + 144, WDT_CHAR, 2},
        {"SR_193_1_UINT16", 0x10030000, WDT_UINT16, 16},
        {"ESR_1_1_UINT16", 0x10030000, WDT_UINT16, 16},
        {"R_10_1_CHAR_20", 32768 + 144, WDT_CHAR, 20},
        {"AQ_2_5_UINT8", 24576 + 16 + 4, WDT_UINT8, 8},
        {"AI_1_3_FLOAT32", 16384, WDT_FLOAT32, 32},
        {"R_3_0_LREAL64", 32768 + 32, WDT_LREAL64, 64},
        {"R_4_1_TIME", 32768 + 48, WDT_TIME, 48},
        {"I_7_1_BOOL", 8198, WDT_BOOL, 1},
        {"R_50239_1_INT32", 32768 + 16 * 50238, WDT_INT32, 32},
        {"ESR_256_1_INT16", 0x10030FF0, WDT_INT16, 16},
        // %SR 192 is the last plain system register; 193..448 are %ESR 1..256.
        {"SR_192_1_UINT16", 3072 + 16 * 191, WDT_UINT16, 16},
        {"SR_448_1_UINT16", 0x10030FF0, WDT_UINT16, 16},
        {"SR_448_16_BOOL", 0x10030FFF, WDT_BOOL, 1},
        // A bit token above 16 moves on by bit - 1 bits like any other: 17
        // of %R1 is where %R2 starts, 33 of %R2 bit 1 of %R4.
        {"R_1_17_INT16", 32768 + 16, WDT_INT16, 16},
        {"R_2_33_BOOL", 32768 + 48, WDT_BOOL, 1},
        {"AI_1_18_UINT8", 16384 + 17, WDT_UINT8, 8},
    };
    for (const auto &c : ok) {
        WebVariable r{};
        ASSERT_EQ(tavix_parse_parameterized_variable(c.address, &r), 1u) << c.address;
        EXPECT_EQ(r.reference, c.ref) << c.address;
        EXPECT_EQ(r.data_type, c.data_type) << c.address;
        EXPECT_EQ(r.width, c.width) << c.address;
    }
    const std::string long_name = "R_1_1_CHAR_" + std::string(250, '1');
    for (const char *bad : {"R_0_1_INT16",          "R_50241_1_INT16", "XYZ_1_1_INT16",
                            "R_1_1_INT64",          "R_1_1",           "R_1_1_CHAR",
                            "R_1_1_CHAR_0",         "R_50240_2_INT16", "R_1_4294934529_INT16",
                            "R_4294967297_1_INT16", "R_1_1_INT16_5",   "R_50240_1_INT32",
                            "R_50240_1_CHAR_3",     "ESR_256_1_INT32", "SR_449_1_UINT16",
                            "SR_448_1_INT32",       "SR_192_1_INT32",  "SR_0_1_UINT16",
                            "@R_1_1_INT16",         "r_1_1_INT16",     "",
                            "R_1_1_CHAR_4_1",       "R_1_1_BOOL_1",    long_name.c_str()}) {
        WebVariable r{};
        EXPECT_EQ(tavix_parse_parameterized_variable(bad, &r), 0u) << bad;
    }
    // The extended layout takes T and M as ET and EM.
    RegTokLen_16b = 0;
    WebVariable r{};
    ASSERT_EQ(tavix_parse_parameterized_variable("M_5_0_BOOL", &r), 1u);
    EXPECT_EQ(r.reference, 0x1001C000u + 4);
}

// The values application of the IEC test images: INT "I" at 16-bit index 7,
// INT "P1.count" at 9, INT "Arr" of three from 10, SINT "SI" at 8-bit
// index 4, UINT "U" at 16-bit index 8.
TEST_F(WebVars, IecNamesResolveAgainstTheRunningApplicationWithTheirSuffixes) {
    static const uint32_t db = test_support::IecColdDb(test_support::ValuesImage(), "APP");
    struct Row {
        const char *address;
        uint32_t found, reference, bit, data_type, width;
    };
    // Handles: 0xC0000000 | width code << 26 (0 8-bit, 1 16-bit, 3 64-bit) | bit << 20 | index.
    // Data types: 1 INT16, 4 UINT16, 8 CHAR, 9 BOOL.
    const Row rows[] = {
        {"I", 1, 0xC4000007, 0, 1, 16},
        {"U", 1, 0xC4000008, 0, 4, 16},
        {"P1.count.3", 1, 0xC4300009, 3, 9, 1},
        {"I.15", 1, 0xC4F00007, 15, 9, 1},
        {"I.16", 0, 0, 0, 0, 0},  // past the element's bits
        // LREAL "LR" at 64-bit index 3: the register access reads a bit
        // of 32 or more as 0, so bits 0..31 only.
        {"LR.31", 1, 0xCDF00003, 31, 9, 1},
        {"LR.32", 0, 0, 0, 0, 0},
        {"LR.63", 0, 0, 0, 0, 0},
        {"Arr[2]", 1, 0xC400000C, 0, 1, 16},
        {"SI@4", 1, 0xC0000004, 0, 8, 4},  // an 8-bit variable with a count is text
        {"I@2", 1, 0xC4000007, 0, 1, 16},  // a count of whole elements
        // BOOL "B" at 8-bit index 3 (width code 6); with a count of 16 its
        // 16 bits are read as a UINT16.
        {"B", 1, 0xD8000003, 0, 9, 1},
        {"B@16", 1, 0xD8000003, 0, 4, 16},
        {"Missing", 0, 0, 0, 0, 0},
        {"R_1_1_INT16", 0, 0, 0, 0, 0},  // a name while the application runs
    };
    pDB = db;
    DrevanoRuntime = 1;
    drevano_variables_enumerateded = 1;
    for (const Row &r : rows) {
        SCOPED_TRACE(r.address);
        WebVariable v{};
        EXPECT_EQ(tavix_parse_parameterized_variable(r.address, &v), r.found);
        EXPECT_EQ(v.reference, r.reference);
        EXPECT_EQ(v.bit, r.bit);
        EXPECT_EQ(v.data_type, r.data_type);
        EXPECT_EQ(v.width, r.width);
    }
    WebVariable v{};
    ASSERT_EQ(tavix_parse_parameterized_variable("@R_1_1_INT16", &v), 1u);  // the register
    EXPECT_EQ(v.reference, 32768u);
    // Not yet enumerated: names are registers again, "@" is refused.
    drevano_variables_enumerateded = 0;
    EXPECT_EQ(tavix_parse_parameterized_variable("I", &v), 0u);
    EXPECT_EQ(tavix_parse_parameterized_variable("@R_1_1_INT16", &v), 0u);
    ASSERT_EQ(tavix_parse_parameterized_variable("R_1_1_INT16", &v), 1u);
    EXPECT_EQ(v.reference, 32768u);
    pDB = 0;
    DrevanoRuntime = 0;
}

// A name subscribed again after a new IEC application was loaded is parsed
// afresh and may take another type: its last value starts again in the new
// shape (an INT's number is no text, a text is no INT), and the subscriber
// starts with the new variable's value.
TEST_F(WebVars, ANameSubscribedAgainUnderAnotherTypeStartsItsLastValueAfresh) {
    // "Counter": INT at 16-bit index 1 in the first application, the STRING
    // of 8 characters at string index 1 ("AB") in the second.
    static const uint32_t db_int = test_support::IecColdDb(test_support::VmsImage().Build(), "VMS");
    static const uint32_t db_text = [] {
        test_support::IecImage img = test_support::VmsImage();
        img.map_vars[0] = {5, 1, 1, 8, 0, 1, "Counter", {}};
        return test_support::IecColdDb(img.Build(), "VMS");
    }();
    DrevanoRuntime = 1;
    drevano_variables_enumerateded = 1;
    PlcReg_IecLocate = DrevanoCalculateVmDbAddress;
    pDB = db_int;
    const uint8_t seven[2] = {7, 0};
    ASSERT_EQ(PlcReg_Set(0xC4000001u, seven, 16), 1u);  // Counter := 7
    WebVariable *v = nullptr;
    ASSERT_EQ(tavix_subscribe_item(reinterpret_cast<void *>(1), "Counter", &v), 0u);
    ASSERT_EQ(v->data_type, WDT_INT16);
    ASSERT_EQ(notified.size(), 1u);
    EXPECT_EQ(notified[0].value.i32, 7);

    pDB = db_text;
    WebVariable *again = nullptr;
    ASSERT_EQ(tavix_subscribe_item(reinterpret_cast<void *>(2), "Counter", &again), 0u);
    EXPECT_EQ(again, v);
    EXPECT_EQ(again->data_type, WDT_CHAR);
    EXPECT_EQ(again->width, 8u);
    ASSERT_EQ(notified.size(), 2u);
    EXPECT_EQ(notified[1].sub, reinterpret_cast<void *>(2));
    EXPECT_EQ(notified[1].value.kind, TAVIX_DV_TEXT);
    EXPECT_STREQ(notified[1].value.text, "AB");

    // And back: the text is let go, the number read anew.
    pDB = db_int;
    ASSERT_EQ(tavix_subscribe_item(reinterpret_cast<void *>(3), "Counter", &again), 0u);
    EXPECT_EQ(again->data_type, WDT_INT16);
    ASSERT_EQ(notified.size(), 3u);
    EXPECT_EQ(notified[2].value.kind, TAVIX_DV_INT32);
    EXPECT_EQ(notified[2].value.i32, 7);
    tavix_unsubscribe_item(again);
    EXPECT_EQ(variable_pointer_list.count, 0u);
    PlcReg_IecLocate = nullptr;
    pDB = 0;
    drevano_variables_enumerateded = 0;
    DrevanoRuntime = 0;
}

TEST_F(WebVars, TheRoundRobinNotifiesEachChangeOnceWithItsStamp) {
    // Clock image 1 March 2024 00:00:00 (second, minute, hour, day, month, year).
    const uint16_t clock[6] = {0, 0, 0, 1, 3, 2024};
    for (unsigned i = 0; i < 6; i++) SetWord(171 + i, clock[i]);
    struct {
        const char *address;
        void *sub;
    } subs[] = {{"R_1_1_INT16", reinterpret_cast<void *>(1)},
                {"R_2_1_FLOAT32", reinterpret_cast<void *>(2)},
                {"R_5_1_CHAR_4", reinterpret_cast<void *>(3)},
                {"Q_1_1_BOOL", reinterpret_cast<void *>(4)},
                {"R_8_1_TIME", reinterpret_cast<void *>(5)}};
    for (const auto &s : subs) {
        WebVariable *r = tavix_register_in_variable_pointer_list(s.address, 0);
        ASSERT_NE(r, nullptr);
        ASSERT_EQ(tavix_parse_parameterized_variable(s.address, r), 1u);
        r->subscription = s.sub;
    }
    EXPECT_EQ(tavix_register_in_variable_pointer_list("R_1_1_INT16", 0), variable_pointer_list.entries[0].record);
    EXPECT_EQ(variable_pointer_list.count, 5u);
    EXPECT_EQ(tavix_get_variable_pointer_list_index("Q_1_1_BOOL"), 3);
    EXPECT_EQ(tavix_get_variable_pointer_list_index(nullptr), -1);

    SetWord(1984, 0xFFFE);  // %R1 = -2
    const float one = 1.0f;
    uint32_t u;
    std::memcpy(&u, &one, 4);
    SetWord(1985, uint16_t(u));
    SetWord(1986, uint16_t(u >> 16));               // %R2..3 = 1.0f
    std::memcpy(&plc_reg[2 * 1988], "AB\x01Z", 4);  // %R5..6
    plc_reg[(10240 - 1024) / 8] = 1;                // %Q1
    SetWord(1991, 1000);                            // %R8 low word of the 64-bit count
    for (int i = 0; i < 5; i++) tavix_automatic_update_variables();
    ASSERT_EQ(notified.size(), 5u);
    EXPECT_EQ(notified[0].value.kind, TAVIX_DV_INT32);
    EXPECT_EQ(notified[0].value.i32, -2);
    EXPECT_EQ(notified[0].seconds, 1709251200u);
    EXPECT_EQ(notified[1].value.kind, TAVIX_DV_FLOAT);
    EXPECT_EQ(notified[1].value.f, 1.0f);
    EXPECT_EQ(notified[2].value.kind, TAVIX_DV_TEXT);
    EXPECT_STREQ(notified[2].value.text, "AB\x80Z");
    EXPECT_EQ(notified[3].value.kind, TAVIX_DV_BOOL);
    EXPECT_EQ(notified[3].value.b, 1);
    EXPECT_EQ(notified[4].value.kind, TAVIX_DV_DOUBLE);
    EXPECT_EQ(notified[4].value.d, 1000.0);

    // Nothing changed: a whole round notifies nothing; 1.0 written again and
    // -0.0 over +0.0 are no change either.
    SetWord(1985, uint16_t(u));
    for (int i = 0; i < 5; i++) tavix_automatic_update_variables();
    EXPECT_EQ(notified.size(), 5u);
    SetWord(1984, 7);
    for (int i = 0; i < 5; i++) tavix_automatic_update_variables();
    ASSERT_EQ(notified.size(), 6u);
    EXPECT_EQ(notified[5].sub, reinterpret_cast<void *>(1));
    EXPECT_EQ(notified[5].value.i32, 7);

    tavix_unregister_variable("R_2_1_FLOAT32");
    EXPECT_EQ(variable_pointer_list.count, 4u);
    EXPECT_EQ(tavix_get_variable_pointer_list_index("Q_1_1_BOOL"), 2);
    EXPECT_EQ(variable_list.used, 4u);
}

// A float or double that turns NaN is one change; staying NaN is none (NaN
// is unequal to itself, and would else be notified on every round); a
// number after it is a change again.
TEST_F(WebVars, AValueThatStaysNaNIsNoChange) {
    WebVariable f{}, d{};
    ASSERT_EQ(tavix_parse_parameterized_variable("R_1_1_FLOAT32", &f), 1u);
    ASSERT_EQ(tavix_parse_parameterized_variable("R_3_1_LREAL64", &d), 1u);
    // %R1..2: float quiet NaN 0x7FC00000; %R3..6: double quiet NaN 0x7FF8000000000000.
    SetWord(1985, 0x7FC0);
    SetWord(1989, 0x7FF8);
    EXPECT_EQ(tavix_check_updated_variable_value(&f), 1u);
    EXPECT_EQ(tavix_check_updated_variable_value(&d), 1u);
    EXPECT_TRUE(std::isnan(f.last.f));
    EXPECT_TRUE(std::isnan(d.last.d));
    EXPECT_EQ(tavix_check_updated_variable_value(&f), 0u);
    EXPECT_EQ(tavix_check_updated_variable_value(&d), 0u);
    // Another NaN (a payload bit set) is no change either.
    SetWord(1984, 0x0001);
    SetWord(1986, 0x0001);
    EXPECT_EQ(tavix_check_updated_variable_value(&f), 0u);
    EXPECT_EQ(tavix_check_updated_variable_value(&d), 0u);
    // 1.0: float 0x3F800000, double 0x3FF0000000000000.
    SetWord(1984, 0);
    SetWord(1985, 0x3F80);
    SetWord(1986, 0);
    SetWord(1989, 0x3FF0);
    EXPECT_EQ(tavix_check_updated_variable_value(&f), 1u);
    EXPECT_EQ(tavix_check_updated_variable_value(&d), 1u);
    EXPECT_EQ(f.last.f, 1.0f);
    EXPECT_EQ(d.last.d, 1.0);
}

TEST_F(WebVars, ClockStampsAndTexts) {
    struct {
        uint16_t clock[6];
        uint32_t utc;
    } cases[] = {{{0, 0, 0, 1, 1, 2000}, 946684800},
                 {{0, 0, 0, 1, 3, 2024}, 1709251200},
                 {{59, 59, 23, 31, 12, 2099}, 4102444799},
                 {{30, 15, 12, 29, 2, 2024}, 1709208930}};
    for (const auto &c : cases) {
        uint8_t stamp[6];
        LoadStamp(stamp, c.clock);
        EXPECT_EQ(tavix_Conversion_to_UTC_Time_func(stamp), c.utc);
    }
    EXPECT_EQ(isAscii("Hello ~"), 1u);
    EXPECT_EQ(isAscii(""), 0u);
    EXPECT_EQ(isAscii("a\tb"), 0u);
    char t[] =
        "a\x7f\x1f"
        "b";
    EXPECT_EQ(ConvertToAscii(t), 4u);
    EXPECT_STREQ(t,
                 "a\x80\x80"
                 "b");
}
