// The controller's block library, handler by handler: the command answers of
// every registered row, then one table per family with hand-worked values.
#include <cmath>
#include <cstring>
#include <sstream>
#include <string>

#include "core/image/plcreg.h"
#include "iec/blocks/blkclk.h"
#include "iec/blocks/blkform.h"
#include "iec/blocks/blknet.h"
#include "io/candrv.h"
#include "io/copen.h"
#include "core/image/timebase.h"
#include "iec/blocks/blkpid.h"
#include "ladder/ladpid.h"
#include "iec/vm/z7interp.h"
#include "iec/vm/z7str.h"
#include "tests/iec/iec_fixture.h"
#include "core/image/dpram.h"
#include "exec/sys.h"
#include "media/cfdpram.h"
#include "media/cfm.h"
#include "media/fileblk.h"
#include "media/filex.h"
#include <sys/stat.h>

namespace iec_test {
using test_support::IecImage;

enum : uint16_t {
    BOOL_ = 1,
    DINT_ = 2,
    REAL_ = 3,
    TIME_ = 4,
    STRING_ = 5,
    SINT_ = 10,
    INT_ = 11,
    LINT_ = 12,
    LREAL_ = 13,
    USINT_ = 14,
    UINT_ = 15,
    UDINT_ = 16,
    ULINT_ = 17
};

class BlkLib : public IecTest {
protected:
    uint32_t db = 0;
    void SetUp() override { Boot(0); }
    void Boot(uint32_t ct_bytes) {
        IecTest::SetUp();
        IecImage img;
        img.ct_alloc = img.ct_used = ct_bytes;
        img.d8 = img.d16 = img.d32 = img.d64 = img.time = {63, 63, 0};
        img.str = {8, 8, 0};
        img.string_sizes = {16, 16, 16, 16, 16, 16, 16, 4};
        ASSERT_EQ(Start(img, db), 0u);
        BlkLib_Install();
        BlkClk_AlarmStatus = 0;
        BlkClk_Force = {};
        PlcRegClear();
    }
    void TearDown() override {
        BlkLib_Remove();
        Blk_Hooks = {};
        if (db) Z7Def_Stop(db, nullptr, "/mnt/cfg/z7.ret", "APP");
        IecTest::TearDown();
    }
    FbHandler Proc(const char *name) { return Z7Blocks_GetProc(Z7Blocks_Find(name)); }
    uint32_t Call(const char *name, const std::vector<uint16_t> &ops, uint32_t inst = 0, uint32_t cmd = FB_EXEC) {
        FbHandler h = Proc(name);
        EXPECT_NE(h, nullptr) << name;
        if (h == nullptr) return 0xFFFFFFFF;
        return CallHandler(h, db, ops, inst, cmd);
    }
    uint32_t Inst(uint32_t size) {
        const uint32_t a = Z7Mem_Alloc(size);
        blocks.push_back(a);
        return a;
    }
    uint32_t Sec(uint16_t type) const {
        switch (type) {
        case BOOL_:
        case SINT_:
        case USINT_: return Z7SEC_D8;
        case INT_:
        case UINT_: return Z7SEC_D16;
        case DINT_:
        case REAL_:
        case UDINT_: return Z7SEC_D32;
        case TIME_: return Z7SEC_TIME;
        default: return Z7SEC_D64;
        }
    }
    void Put(uint16_t type, uint32_t i, uint64_t v) const {
        const uint32_t a = Z7Sec_Elem(db, Sec(type), i);
        switch (Sec(type)) {
        case Z7SEC_D8: Z7Mem_Put8(a, uint8_t(v)); break;
        case Z7SEC_D16: Z7Mem_Put16(a, uint16_t(v)); break;
        case Z7SEC_D64:
            Z7Mem_Put32(a + 4, uint32_t(v >> 32));
            Z7Mem_Put32(a, uint32_t(v));
            break;
        default: Z7Mem_Put32(a, uint32_t(v)); break;
        }
    }
    uint64_t Get(uint16_t type, uint32_t i) const {
        const uint32_t a = Z7Sec_Elem(db, Sec(type), i);
        switch (Sec(type)) {
        case Z7SEC_D8: return Z7Mem_Get8(a);
        case Z7SEC_D16: return Z7Mem_Get16(a);
        case Z7SEC_D64: return Z7Mem_Get32(a) | uint64_t(Z7Mem_Get32(a + 4)) << 32;
        default: return Z7Mem_Get32(a);
        }
    }
    static uint32_t F(float f) {
        uint32_t b;
        std::memcpy(&b, &f, 4);
        return b;
    }
    static uint64_t L(double f) {
        uint64_t b;
        std::memcpy(&b, &f, 8);
        return b;
    }
    void SetStr(uint32_t i, const char *t) { Z7VMStr_AscForceC(db, i, t); }
    std::string Str(uint32_t i) {
        const uint32_t n = Z7VMStr_GetLength(db, i);
        const uint8_t *p = Z7Mem_Ptr(Z7VMStr_GetText(db, i), n);
        return p ? std::string(reinterpret_cast<const char *>(p), n) : std::string();
    }
    void PutBytes(uint32_t i, const std::string &s) {
        for (size_t k = 0; k < s.size(); k++) Put(USINT_, i + uint32_t(k), uint8_t(s[k]));
    }
    // The card (drive A:, an empty folder) and its file-request path, as
    // start-up leaves them; one main-loop pass of the card manager.
    void MediaUp() {
        ::mkdir((root / "mnt").c_str(), 0775);
        ::mkdir((root / "mnt/USB0").c_str(), 0775);
        for (MntDriveRec &d : MntDrive) d.mounted = 0;
        FileMutex = 0;
        Cf_Media = Cf_Media2 = Cf_Media3 = FxMedia{};
        dpram.fill(0);
        Dpram_Init();
        BackTsk_Report();
        SYS_ResetRCBs(2);  // as start-up, before the card manager links its registers
        CFM_Open();
        File_Init();
        CF_DpramAbandon();  // a request an earlier test left uncollected is gone with the area
    }
    static void MediaPass() {
        SYS_Update();
        CFM_Update();
        CFM_TheLoop(0);
    }
    std::string Bytes(uint32_t i, uint32_t n) {
        std::string s;
        for (uint32_t k = 0; k < n; k++) s.push_back(char(Get(USINT_, i + k)));
        return s;
    }
};

TEST_F(BlkLib, CommandAnswersOfEveryRowAndAbsentFamilies) {
    struct Row {
        const char *name;
        uint32_t size;
    };
    const Row rows[] = {
        {"TON100MS", 8},     {"TOF1S32", 8},       {"TONR10MS", 8},  {"TON1MS32", 8},    {"CTU", 2},
        {"CTD", 2},          {"FORCESCREEN", 4},   {"LIM", 0},       {"SQRT", 0},        {"MULTISHIFT", 0},
        {"INTTOASCII", 0},   {"STRINGFIND", 0},    {"ALARM", 0},     {"SUNPOS", 0},      {"SCALEINT", 0},
        {"SAVERCPBYSTR", 0}, {"LOADRCPBYSTR2", 0}, {"KEYPRESS", 0},  {"WRITE_CF", 56},   {"WRITE_CF2", 56},
        {"READ_CF", 44},     {"READ_CF2", 44},     {"COPY_CF", 294}, {"DELETE_CF", 290}, {"RENAME_CF", 8},
    };
    const uint32_t inst = Inst(8);
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(Call(r.name, {}, inst, FB_AVAIL), 1u);
        EXPECT_EQ(
            Call(r.name, {}, inst, FB_INSTSIZE),
            r.name == std::string("KEYPRESS") || std::string(r.name).find("RCP") != std::string::npos ? 0u : r.size);
        for (uint32_t cmd : {1u, 2u, 4u, 5u, 7u, 10u, 11u, 12u}) EXPECT_EQ(Call(r.name, {}, inst, cmd), 0u);
    }
    // Every row of the timer, counter, ANY, text, clock, PID, file, CANopen
    // and network families (the registry's order, 61..202): 9 answers 1, 3
    // the instance size of the table (0 when not listed), and every other
    // command 0 without touching the instance.
    const char *registry =
        "CANOPENGETLOCID CANOPENGETSTATE CANOPENSETNMT CANOPENSDOREAD CANOPENSDOWRITE CANOPENRCEMC "
        "CANOPENRCEMCDEV LIM COPY_CF READ_CF READ_CF2 WRITE_CF WRITE_CF2 DELETE_CF SETPID SETPIDMAN GETPIDMAN "
        "PID_IND PID_IND_AUTO PID_ISA_AUTO PID_ISA SAVERCPBYSTR SAVERCPBYINDEX SAVERCPBYSTR2 LOADRCPBYSTR "
        "LOADRCPBYINDEX LOADRCPBYSTR2 RENAME_CF CHANGESCREEN FORCESCREEN SCALEINT SCALEREAL SETCLK BITCLEAR "
        "BITSET BITTEST ALARM KEYPRESS NETPUTHB NETGETHB NETGETWORD NETPUTWORD NETPUTWORDEX NETGETREMOTEI "
        "NETPUTLOCALQ NETGETREMOTEAI NETPUTLOCALAQ DAYSOFMONTH DAYSOFWEEK MONTHSOFYEAR STARTENDYEAR TIMEOFDAY "
        "FILL MULTIROT MULTISHIFT MVB ASCIITODINT ASCIITOINT ASCIITOREAL CMPSTRINGCONST CMPSTRINGVAR DINTTOASCII "
        "INTTOASCII REALTOASCII SETSTRING STRINGLEN STRINGLENA DEGTORAD RADTODEG TOF100MS TOF100MS32 TOF10MS "
        "TOF10MS32 TOF1MS TOF1MS32 TOF1S TOF1S32 TON100MS TON100MS32 TON10MS TON10MS32 TON1MS TON1MS32 TON1S "
        "TON1S32 TONR100MS TONR100MS32 TONR10MS TONR10MS32 TONR1MS TONR1MS32 TONR1S TONR1S32 SETPID_R PID_IND_R "
        "SETPIDMAN_R PID_IND_AUTO_R PID_ISA_R PID_ISA_AUTO_R SETCANID TEXTTABLE STRINGCONCAT CHARASCIICODE "
        "DELETECHARS INSERTCHARS ASCIITOHEX HEXTOASCII CRC16 STRINGFIND STRINGREPLACE STRINGLEFT STRINGMID "
        "STRINGRIGHT SUNPOS ABS SHL SHR ROL ROR NOT_MASK AND_MASK OR_MASK XOR_MASK SEL MOD SQRT CTU CTD";
    const std::pair<const char *, uint32_t> sizes[] = {
        {"CTU", 2},           {"CTD", 2},        {"PID_IND", 72},      {"PID_IND_R", 72},      {"PID_IND_AUTO", 34},
        {"PID_ISA_AUTO", 34}, {"PID_ISA", 34},   {"PID_ISA_R", 34},    {"PID_IND_AUTO_R", 34}, {"PID_ISA_AUTO_R", 34},
        {"WRITE_CF", 56},     {"WRITE_CF2", 56}, {"READ_CF", 44},      {"READ_CF2", 44},       {"COPY_CF", 294},
        {"DELETE_CF", 290},   {"RENAME_CF", 8},  {"NETGETWORD", 4},    {"NETPUTWORD", 4},      {"NETPUTWORDEX", 4},
        {"FORCESCREEN", 4},   {"NETGETHB", 1},   {"NETGETREMOTEI", 1}, {"NETGETREMOTEAI", 1},
    };
    const uint32_t big = Inst(300);
    uint32_t rows_seen = 0;
    std::istringstream names(registry);
    for (std::string name; names >> name;) {
        SCOPED_TRACE(name);
        uint32_t size = name.rfind("TO", 0) == 0 ? 8 : 0;  // TON, TOF, TONR: 8
        for (const auto &[n, z] : sizes)
            if (name == n) size = z;
        ASSERT_NE(Proc(name.c_str()), nullptr);
        EXPECT_EQ(Call(name.c_str(), {}, big, FB_AVAIL), 1u);
        EXPECT_EQ(Call(name.c_str(), {}, big, FB_INSTSIZE), size);
        for (uint32_t k = 0; k < 300; k++) Z7Mem_Put8(big + k, 0xA5);
        for (uint32_t cmd : {1u, 2u, 4u, 5u, 7u, 8u, 10u, 11u, 12u})
            EXPECT_EQ(Call(name.c_str(), {}, big, cmd), 0u) << cmd;
        uint32_t touched = 0;
        for (uint32_t k = 0; k < 300; k++) touched += Z7Mem_Get8(big + k) != 0xA5;
        EXPECT_EQ(touched, 0u);
        rows_seen++;
    }
    EXPECT_EQ(rows_seen, 128u);  // 142 rows less the 14 port, modem and Modbus rows
    // every row from 61 up with a handler is one of ours: the port, modem and
    // Modbus rows are present
    for (const char *present : {"OPENCOMM", "MODEMAUTODIAL", "GPRSCONNECT", "MODBUSDOREQUEST"})
        EXPECT_NE(Proc(present), nullptr) << present;
    BlkLib_Remove();
    EXPECT_EQ(Proc("CTU"), nullptr);
    EXPECT_EQ(Z7Blocks_GetNextID(60), 0u);
    BlkLib_Install();
    EXPECT_EQ(Z7Blocks_GetNextID(60), Z7Blocks_Find("CANOPENGETLOCID"));
}

TEST_F(BlkLib, AnyTypedArithmeticMasksShiftsAndLimits) {
    // operands: type, inputs at indices 1.., output at index 20
    struct Row {
        const char *name;
        uint16_t type;
        std::vector<uint64_t> in;
        uint64_t want;
    };
    const Row rows[] = {
        {"MOD", DINT_, {uint32_t(-7), 2}, uint32_t(-1)},
        {"MOD", DINT_, {uint32_t(-7), 0}, 0},
        {"MOD", DINT_, {uint32_t(-7), uint32_t(-1)}, 0},
        {"MOD", INT_, {7, uint16_t(-3)}, 1},
        {"MOD", SINT_, {0xF9, 2}, 1},  // taken as the unsigned byte 249
        {"MOD", REAL_, {F(7.5f), F(2.0f)}, F(1.5f)},
        {"MOD", REAL_, {F(7.5f), F(0.0f)}, F(0.0f)},
        {"SQRT", INT_, {17}, 4},
        {"SQRT", INT_, {uint16_t(-4)}, 0},
        {"SQRT", REAL_, {F(2.25f)}, F(1.5f)},
        {"SQRT", LREAL_, {L(-1.0)}, L(0.0)},
        // 64-bit roots are exact: 2^64 - 1 and 2^63 lie above LINT's range,
        // and 3037000499^2 - 1 rounds up to a square as a double
        {"SQRT", ULINT_, {0xFFFFFFFFFFFFFFFFull}, 4294967295u},
        {"SQRT", ULINT_, {uint64_t(1) << 63}, 3037000499u},
        {"SQRT", LINT_, {9223372030926249000ull}, 3037000498u},
        {"SQRT", LINT_, {uint64_t(-1)}, 0},
        {"SQRT", UDINT_, {0xFFFFFFFFu}, 65535},
        {"ABS", INT_, {uint16_t(-5)}, 5},
        {"ABS", INT_, {0x8000}, 0x8000},
        {"ABS", REAL_, {F(-2.5f)}, F(2.5f)},
        {"ABS", LINT_, {uint64_t(-9)}, 9},
        {"ABS", UINT_, {0xFFFF}, 0xFFFF},
        {"SHL", INT_, {0x1234, 4}, 0x2340},
        {"SHL", INT_, {0x1234, 16}, 0},
        {"SHL", DINT_, {1, 33}, 0},
        {"SHL", DINT_, {1, 0x101}, 2},  // low 8 bits of N
        {"SHL", LINT_, {1, 40}, uint64_t(1) << 40},
        {"SHL", REAL_, {F(1.0f), 3}, F(1.0f)},
        {"SHR", DINT_, {0x80000000u, 31}, 1},
        {"SHR", INT_, {0x8000, 15}, 1},
        {"ROL", INT_, {0x8001, 1}, 3},
        {"ROL", USINT_, {0x81, 9}, 0x03},
        {"ROR", DINT_, {1, 33}, 0x80000000u},
        {"ROR", LINT_, {1, 1}, uint64_t(1) << 63},
        {"NOT_MASK", INT_, {0x00FF}, 0xFF00},
        {"NOT_MASK", BOOL_, {1}, 0},
        {"NOT_MASK", REAL_, {F(3.0f)}, F(3.0f)},
        {"AND_MASK", INT_, {0xF0F0, 0x3C3C}, 0x3030},
        {"OR_MASK", INT_, {0xF0F0, 0x3C3C}, 0xFCFC},
        {"XOR_MASK", DINT_, {0x0F0F0F0F, 0xFFFF0000u}, 0xF0F00F0Fu},
        {"AND_MASK", BOOL_, {1, 0}, 0},
        {"OR_MASK", BOOL_, {1, 0}, 1},
        {"AND_MASK", TIME_, {500, 3}, 500},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(std::string(r.name) + " type " + std::to_string(r.type));
        std::vector<uint16_t> ops{r.type};
        for (size_t k = 0; k < r.in.size(); k++) {
            Put(r.type, uint32_t(1 + k), r.in[k]);
            ops.push_back(uint16_t(1 + k));
        }
        Put(r.type, 20, 0x5A);
        ops.push_back(20);
        Call(r.name, ops);
        EXPECT_EQ(Get(r.type, 20), r.want);
    }
    // SEL: G is BOOL whatever the type; STRING by copy
    Put(BOOL_, 30, 1);
    Put(INT_, 1, 10);
    Put(INT_, 2, 20);
    Call("SEL", {INT_, 30, 1, 2, 21});
    EXPECT_EQ(Get(INT_, 21), 20u);
    Put(BOOL_, 30, 0);
    SetStr(1, "ZERO");
    SetStr(2, "ONE");
    Call("SEL", {STRING_, 30, 1, 2, 3});
    EXPECT_EQ(Str(3), "ZERO");
    // LIM (MN, IN, MX) -> BOOL
    struct Lim {
        uint16_t type;
        uint64_t mn, in, mx;
        uint8_t q;
    };
    const Lim lims[] = {
        {INT_, 10, 5, 2, 0},
        {INT_, 10, 11, 2, 1},
        {INT_, 2, 2, 10, 1},
        {INT_, 2, 11, 10, 0},
        {INT_, 10, 1, 2, 1},
        {DINT_, uint32_t(-5), uint32_t(-5), 0, 1},
        {REAL_, F(1.0f), F(0.5f), F(2.0f), 1},
        {REAL_, F(1.0f), F(2.9f), F(2.0f), 1},
        {REAL_, F(1.0f), F(3.1f), F(2.0f), 0},
        {ULINT_, 5, ~uint64_t(0), 9, 0},
        {LINT_, uint64_t(-3), 0, 3, 1},
    };
    for (const Lim &l : lims) {
        SCOPED_TRACE(std::to_string(l.type) + " in " + std::to_string(l.in));
        Put(l.type, 1, l.mn);
        Put(l.type, 2, l.in);
        Put(l.type, 3, l.mx);
        Put(BOOL_, 31, 7);
        Call("LIM", {l.type, 1, 2, 3, 31});
        EXPECT_EQ(Get(BOOL_, 31), l.q);
    }
    // type codes outside the list write nothing
    for (uint16_t bad : {0, 6, 9, 18, 255}) {
        Put(DINT_, 20, 0x77);
        Call("ABS", {bad, 1, 20});
        Call("MOD", {bad, 1, 2, 20});
        EXPECT_EQ(Get(DINT_, 20), 0x77u);
    }
    // too short an operand list: nothing
    Put(INT_, 20, 0x77);
    Call("SHL", {INT_, 1, 2});
    EXPECT_EQ(Get(INT_, 20), 0x77u);
}

TEST_F(BlkLib, BitBlocksAndArrayMoves) {
    // INT array at 1.., dimension and size literal, bit number INT at 40, OUT BOOL 41
    struct Bit {
        const char *name;
        std::vector<uint16_t> words;
        uint16_t dim, size;
        int16_t bit;
        uint8_t out;
        std::vector<uint16_t> after;
    };
    const Bit bits[] = {
        {"BITTEST", {0, 1}, 2, 4, 17, 1, {0, 1}},
        {"BITTEST", {0, 1}, 2, 4, 1, 0, {0, 1}},
        {"BITTEST", {0, 1}, 2, 2, 17, 0, {0, 1}},  // past size x 8
        {"BITTEST", {0, 1}, 1, 4, 17, 0, {0, 1}},  // word past the dimension
        {"BITSET", {0, 0}, 2, 4, 3, 1, {4, 0}},
        {"BITSET", {0, 0}, 2, 4, 32, 1, {0, 0x8000}},
        {"BITCLEAR", {0xFFFF}, 1, 2, 16, 1, {0x7FFF}},
        {"BITCLEAR", {0xFFFF}, 1, 2, 0, 0, {0xFFFF}},
        {"BITSET", {0}, 1, 0, 1, 0, {0}},
        {"BITSET", {0}, 1, 2, -1, 0, {0}},
    };
    for (const Bit &b : bits) {
        SCOPED_TRACE(std::string(b.name) + " bit " + std::to_string(b.bit));
        for (size_t k = 0; k < b.words.size(); k++) Put(INT_, 1 + uint32_t(k), b.words[k]);
        Put(INT_, 40, uint16_t(b.bit));
        Put(BOOL_, 41, 9);
        Call(b.name, {1, b.dim, b.size, 40, 41});
        EXPECT_EQ(Get(BOOL_, 41), b.out);
        for (size_t k = 0; k < b.after.size(); k++) EXPECT_EQ(Get(INT_, 1 + uint32_t(k)), b.after[k]);
    }
    // MVB INT [7,8,9] -> count 2
    for (uint32_t k = 0; k < 3; k++) {
        Put(INT_, 1 + k, 7 + k);
        Put(INT_, 11 + k, 0);
    }
    Put(INT_, 40, 2);
    Call("MVB", {INT_, 1, 3, 11, 3, 40});
    EXPECT_EQ(Get(INT_, 11), 7u);
    EXPECT_EQ(Get(INT_, 12), 8u);
    EXPECT_EQ(Get(INT_, 13), 0u);
    Put(INT_, 40, 50);  // count beyond the dimensions: cut to them
    Call("MVB", {INT_, 1, 3, 11, 2, 40});
    EXPECT_EQ(Get(INT_, 13), 0u);
    // REAL and LREAL arrays: nothing moved; DINT and LINT by whole elements
    for (uint32_t k = 0; k < 3; k++) {
        Put(REAL_, 1 + k, F(1.5f + float(k)));
        Put(REAL_, 11 + k, F(-1.0f));
        Put(LREAL_, 1 + k, L(2.5 + k));
        Put(LREAL_, 11 + k, L(-2.0));
    }
    Put(INT_, 40, 2);
    Call("MVB", {REAL_, 1, 3, 11, 3, 40});  // REAL: nothing
    Call("MVB", {LREAL_, 1, 3, 11, 3, 40});
    for (uint32_t k = 0; k < 3; k++) {
        EXPECT_EQ(Get(REAL_, 11 + k), F(-1.0f)) << k;
        EXPECT_EQ(Get(LREAL_, 11 + k), L(-2.0)) << k;
    }
    Put(DINT_, 1, 0x12345678u);
    Put(DINT_, 2, 0x9ABCDEF0u);
    Put(DINT_, 3, 0x0F0F0F0Fu);
    Call("MVB", {DINT_, 1, 3, 11, 3, 40});
    EXPECT_EQ(Get(DINT_, 11), 0x12345678u);
    EXPECT_EQ(Get(DINT_, 12), 0x9ABCDEF0u);
    EXPECT_EQ(Get(DINT_, 13), F(-1.0f));  // REAL 13 shares the 32-bit section: untouched
    Put(LINT_, 1, 0x0102030405060708ull);
    Call("MVB", {LINT_, 1, 3, 11, 3, 40});
    EXPECT_EQ(Get(LINT_, 11), 0x0102030405060708ull);
    EXPECT_EQ(Get(LINT_, 13), L(-2.0));
    // FILL DINT 16#1234 count 2
    for (uint32_t k = 0; k < 3; k++) Put(DINT_, 1 + k, 0);
    Put(INT_, 41, 0x1234);
    Call("FILL", {DINT_, 41, 1, 3, 40});
    EXPECT_EQ(Get(DINT_, 1), 0x12341234u);
    EXPECT_EQ(Get(DINT_, 2), 0x12341234u);
    EXPECT_EQ(Get(DINT_, 3), 0u);
    // MULTISHIFT: count INT 40, array INT 1.., dimension, length DINT 10, direction BOOL 42, fill 43, out 44
    struct Shift {
        const char *name;
        int16_t count;
        int32_t length;
        uint16_t dim;
        uint8_t dir;
        uint16_t fill;
        std::vector<uint16_t> after;
        uint16_t out;
    };
    const Shift shifts[] = {
        {"MULTISHIFT", 2, 4, 4, 1, 0, {0, 0, 1, 2}, 3},
        {"MULTISHIFT", 1, 4, 4, 0, 9, {2, 3, 4, 9}, 1},
        {"MULTISHIFT", 4, 4, 4, 0, 9, {9, 9, 9, 9}, 4},
        {"MULTISHIFT", 5, 4, 4, 0, 9, {1, 2, 3, 4}, 0x55},  // count above the length
        {"MULTISHIFT", 1, 5, 4, 0, 9, {1, 2, 3, 4}, 0x55},  // length above the dimension
        {"MULTIROT", 1, 4, 4, 0, 0, {2, 3, 4, 1}, 0x55},
        {"MULTIROT", 2, 4, 4, 1, 0, {3, 4, 1, 2}, 0x55},
        {"MULTIROT", 5, 4, 4, 1, 0, {1, 2, 3, 4}, 0x55},
        {"MULTIROT", 1, 4, 3, 1, 0, {1, 2, 3, 4}, 0x55},
    };
    for (const Shift &s : shifts) {
        SCOPED_TRACE(std::string(s.name) + " count " + std::to_string(s.count));
        for (uint32_t k = 0; k < 4; k++) Put(INT_, 1 + k, 1 + k);
        Put(INT_, 40, uint16_t(s.count));
        Put(DINT_, 10, uint32_t(s.length));
        Put(BOOL_, 42, s.dir);
        Put(INT_, 43, s.fill);
        Put(INT_, 44, 0x55);
        if (std::string(s.name) == "MULTISHIFT")
            Call(s.name, {INT_, 40, 1, s.dim, 10, 42, 43, 44});
        else
            Call(s.name, {INT_, 40, 1, s.dim, 10, 42});
        for (uint32_t k = 0; k < 4; k++) EXPECT_EQ(Get(INT_, 1 + k), s.after[k]) << k;
        EXPECT_EQ(Get(INT_, 44), s.out);
    }
    // an array reaching past its section moves nothing
    Put(INT_, 40, 1);
    Put(DINT_, 10, 4);
    Put(INT_, 62, 5);
    Call("MULTISHIFT", {INT_, 40, 62, 4, 10, 42, 43, 44});
    EXPECT_EQ(Get(INT_, 62), 5u);
}

TEST_F(BlkLib, TextAndNumberConversions) {
    // number to text: value, array at 1.. (USINT), size, decimals, width, zeros, ok
    struct Num {
        const char *name;
        uint64_t value;
        int16_t dec, width;
        uint8_t zeros;
        uint16_t size;
        std::string text;  // with its terminator
        uint8_t ok;
    };
    const Num nums[] = {
        {"INTTOASCII", 5, 2, 6, 0, 16, std::string("0.05\0", 5), 1},
        {"INTTOASCII", 1234, 2, 6, 0, 16, std::string("12.34\0", 6), 1},
        {"INTTOASCII", 12345, 0, 3, 0, 16, std::string("123\0", 4), 0},
        {"INTTOASCII", 42, 0, 5, 1, 16, std::string("00042\0", 6), 1},
        {"INTTOASCII", 12345, 0, 8, 0, 4, std::string("123\0", 4), 0},  // cut to the array's size: no success
        {"DINTTOASCII", 123456, 3, 8, 0, 16, std::string("123.456\0", 8), 1},
        {"DINTTOASCII", 123456, 3, 8, 0, 5, std::string("123.\0", 5), 0},     // width + 1 past the array: cut
        {"DINTTOASCII", 123456, 3, 8, 0, 8, std::string("123.456\0", 8), 1},  // exactly fits with its terminator
        {"REALTOASCII", F(12.5f), 1, 4, 0, 3, std::string("12\0", 3), 0},
        {"REALTOASCII", F(12.5f), 1, 4, 0, 5, std::string("12.5\0", 5), 1},
        {"REALTOASCII", F(0.5f), 1, 3, 0, 16, std::string("0.5\0", 4), 1},
        {"REALTOASCII", 0x7F800000u, 1, 3, 0, 16, std::string("inf\0", 4), 0},
    };
    for (const Num &n : nums) {
        SCOPED_TRACE(std::string(n.name) + " " + std::to_string(n.value));
        for (uint32_t k = 0; k < 16; k++) Put(USINT_, 1 + k, 0xEE);
        const uint16_t vt = std::string(n.name) == "INTTOASCII" ? INT_ : DINT_;
        Put(vt, 30, n.value);
        Put(INT_, 31, uint16_t(n.dec));
        Put(INT_, 32, uint16_t(n.width));
        Put(BOOL_, 33, n.zeros);
        Call(n.name, {30, 1, n.size, 31, 32, 33, 34});
        EXPECT_EQ(Bytes(1, uint32_t(n.text.size())), n.text);
        EXPECT_EQ(Get(USINT_, 1 + uint32_t(n.text.size())), 0xEEu);
        EXPECT_EQ(Get(BOOL_, 34), n.ok);
    }
    // text to number
    struct Parse {
        const char *name;
        std::string text;
        uint16_t type;
        uint64_t want;
    };
    const Parse parses[] = {
        {"ASCIITOINT", "  -123x", INT_, uint16_t(-123)},
        {"ASCIITOINT", "abc", INT_, 0},
        {"ASCIITOINT", "70000", INT_, 70000 & 0xFFFF},
        {"ASCIITODINT", "70000", DINT_, 70000},
        {"ASCIITOREAL", "2.5", REAL_, F(2.5f)},
        {"ASCIITOREAL", "inf", REAL_, F(0.0f)},
        // decimal only: the first other character ends the number
        {"ASCIITOREAL", "0x10", REAL_, F(0.0f)},
        {"ASCIITOREAL", " -12.75abc", REAL_, F(-12.75f)},
        {"ASCIITOREAL", "+.5", REAL_, F(0.5f)},
        {"ASCIITOREAL", "1e3", REAL_, F(1.0f)},
        {"ASCIITOREAL", "12.5.3", REAL_, F(12.5f)},
        {"ASCIITOREAL", "-", REAL_, F(0.0f)},
        {"ASCIITOREAL", "nan", REAL_, F(0.0f)},
        {"ASCIITOREAL", "007.25", REAL_, F(7.25f)},
    };
    for (const Parse &p : parses) {
        SCOPED_TRACE(p.name + std::string(" ") + p.text);
        PutBytes(1, p.text + std::string(1, '\0'));
        Put(p.type, 35, 0x99);
        Call(p.name, {1, 16, 35});
        EXPECT_EQ(Get(p.type, 35), p.want);
    }
    // comparisons
    PutBytes(1, std::string("ABC\0", 4));
    SetStr(1, "ABCD");
    Call("CMPSTRINGCONST", {1, 16, 1, 36});
    EXPECT_EQ(Get(BOOL_, 36), 0u);
    SetStr(1, "ABC");
    Call("CMPSTRINGCONST", {1, 16, 1, 36});
    EXPECT_EQ(Get(BOOL_, 36), 1u);
    PutBytes(1, "ABCX");
    PutBytes(20, "ABCY");
    for (auto [len, eq] : {std::pair{3, 1}, {4, 0}}) {
        Put(INT_, 37, uint16_t(len));
        Call("CMPSTRINGVAR", {1, 4, 20, 4, 37, 38});
        EXPECT_EQ(Get(BOOL_, 38), uint64_t(eq));
    }
    // A length past the shorter array: "ABCD" (4) and "ABCDXYZ" (7) share
    // four bytes, not six; past both arrays of one size the bytes decide.
    PutBytes(1, "ABCD");
    PutBytes(20, "ABCDXYZ");
    struct Cmp {
        uint16_t size_a, size_b, len;
        uint64_t eq;
    };
    for (const Cmp &c : {Cmp{4, 7, 6, 0}, Cmp{4, 7, 4, 1}, Cmp{4, 4, 6, 1}, Cmp{7, 4, 5, 0}}) {
        Put(INT_, 37, c.len);
        Call("CMPSTRINGVAR", {1, c.size_a, 20, c.size_b, 37, 38});
        EXPECT_EQ(Get(BOOL_, 38), c.eq) << c.size_a << " " << c.size_b << " " << c.len;
    }
    // lengths, SETSTRING
    SetStr(1, "HELLO");
    Call("STRINGLEN", {1, 37});
    EXPECT_EQ(Get(INT_, 37), 5u);
    PutBytes(20, std::string("ABC\0", 4));
    Call("STRINGLENA", {20, 37});
    EXPECT_EQ(Get(INT_, 37), 3u);
    for (uint32_t k = 0; k < 8; k++) Put(USINT_, 1 + k, 0xEE);
    Call("SETSTRING", {1, 1, 8, 39});
    EXPECT_EQ(Bytes(1, 8), std::string("HELLO\0\xEE\xEE", 8));  // the text and its end
    EXPECT_EQ(Get(BOOL_, 39), 1u);
    // a shorter string over it: the array's text is the new one alone
    SetStr(6, "AB");
    Call("SETSTRING", {6, 1, 8, 39});
    EXPECT_EQ(Bytes(1, 8), std::string("AB\0LO\0\xEE\xEE", 8));
    Call("STRINGLENA", {1, 37});
    EXPECT_EQ(Get(INT_, 37), 2u);
    for (uint32_t k = 0; k < 8; k++) Put(USINT_, 1 + k, 0xEE);
    Call("SETSTRING", {1, 1, 5, 39});  // exactly the array's size: no room for the end
    EXPECT_EQ(Bytes(1, 8), "HELLO\xEE\xEE\xEE");
    Put(BOOL_, 39, 0);
    Call("SETSTRING", {1, 50, 3, 39});  // cut to the array
    EXPECT_EQ(Bytes(50, 4), std::string("HEL\0", 4));
    // VM string wrappers
    SetStr(2, "AB");
    SetStr(3, "CD");
    Call("STRINGCONCAT", {2, 3, 4});
    EXPECT_EQ(Str(4), "ABCD");
    Put(DINT_, 40, 2);
    Call("STRINGLEFT", {1, 40, 4});
    EXPECT_EQ(Str(4), "HE");
    Call("STRINGRIGHT", {1, 40, 4});
    EXPECT_EQ(Str(4), "LO");
    Put(DINT_, 40, 0xABCD);
    Call("HEXTOASCII", {40, 4});
    EXPECT_EQ(Str(4), "ABCD");
    SetStr(4, "1aFz");
    Call("ASCIITOHEX", {4, 41});
    EXPECT_EQ(Get(DINT_, 41), 0x1AFu);
    SetStr(4, "123456789");
    Call("CRC16", {4, 41});
    EXPECT_EQ(Get(DINT_, 41), 0x4B37u);
    SetStr(3, "LL");
    Call("STRINGFIND", {1, 3, 41});
    EXPECT_EQ(Get(DINT_, 41), 3u);
    Put(REAL_, 42, F(180.0f));
    Call("DEGTORAD", {42, 43});
    EXPECT_EQ(Get(REAL_, 43), 0x40490FDBu);
    Call("RADTODEG", {43, 44});
    EXPECT_EQ(Get(REAL_, 44), F(180.0f));
    // Positions count from 0. Length and position differ in every row, so a
    // block that takes them the other way round gives another text.
    SetStr(1, "ABCDEFG");
    SetStr(2, "xy");
    Put(DINT_, 45, 3);  // length
    Put(DINT_, 46, 2);  // position
    Call("STRINGMID", {1, 45, 46, 5});
    EXPECT_EQ(Str(5), "CDE");  // the other way round: "DE"
    Put(DINT_, 45, 2);
    Put(DINT_, 46, 1);
    Call("DELETECHARS", {1, 45, 46, 5});
    EXPECT_EQ(Str(5), "ADEFG");  // the other way round: "ABDEFG"
    Put(DINT_, 46, 1);
    Call("INSERTCHARS", {1, 2, 46, 5});
    EXPECT_EQ(Str(5), "AxyBCDEFG");
    Put(DINT_, 46, 7);  // at the end
    Call("INSERTCHARS", {1, 2, 46, 5});
    EXPECT_EQ(Str(5), "ABCDEFGxy");
    Put(DINT_, 45, 3);
    Put(DINT_, 46, 2);
    Call("STRINGREPLACE", {1, 2, 45, 46, 5});
    EXPECT_EQ(Str(5), "ABxyFG");  // the other way round: "ABCxyFG"
    for (auto [pos, code] : {std::pair{1, 0x42u}, {0, 0x41u}, {6, 0x47u}, {7, 0u}, {-1, 0u}}) {
        Put(DINT_, 46, uint32_t(pos));
        Put(DINT_, 47, 0x55);
        Call("CHARASCIICODE", {1, 46, 47});
        EXPECT_EQ(Get(DINT_, 47), code) << pos;
    }
}

TEST_F(BlkLib, TimersCountersOnTheTimeBase) {
    uint32_t now = 0x40000000;
    auto at = [&](uint32_t t) { PlcDwordSet(276, now = t); };
    auto timer = [&](const char *name, uint32_t inst, uint8_t in, bool wide) {
        Put(BOOL_, 1, in);
        return Call(name, {1, wide ? uint16_t(3) : uint16_t(3), 2, 3}, inst);
    };
    // TON100MS PT 5: the reference is the first call, not time 0
    uint32_t ton = Inst(8);
    EXPECT_EQ(Call("TON100MS", {}, ton, FB_INSTINIT), 0u);
    Put(INT_, 3, 5);
    Put(INT_, 4, 0);
    at(0x40000000);
    Put(BOOL_, 1, 1);
    Call("TON100MS", {1, 3, 2, 4}, ton);
    EXPECT_EQ(Get(INT_, 4), 0u);
    EXPECT_EQ(Get(BOOL_, 2), 0u);
    at(now + 2500);  // 2.5 units
    Call("TON100MS", {1, 3, 2, 4}, ton);
    EXPECT_EQ(Get(INT_, 4), 2u);
    at(now + 500);  // the half unit carried over
    Call("TON100MS", {1, 3, 2, 4}, ton);
    EXPECT_EQ(Get(INT_, 4), 3u);
    at(now + 5000);
    Call("TON100MS", {1, 3, 2, 4}, ton);
    EXPECT_EQ(Get(INT_, 4), 8u);
    Call("TON100MS", {1, 3, 2, 4}, ton);
    EXPECT_EQ(Get(INT_, 4), 5u);
    EXPECT_EQ(Get(BOOL_, 2), 1u);
    Put(BOOL_, 1, 0);
    Call("TON100MS", {1, 3, 2, 4}, ton);
    EXPECT_EQ(Get(INT_, 4), 0u);
    EXPECT_EQ(Get(BOOL_, 2), 0u);
    Put(BOOL_, 1, 2);  // neither 0 nor 1: nothing
    Put(INT_, 4, 77);
    Call("TON100MS", {1, 3, 2, 4}, ton);
    EXPECT_EQ(Get(INT_, 4), 77u);
    // TON1MS32 PT 3 (DINT)
    uint32_t t32 = Inst(8);
    Put(DINT_, 3, 3);
    Put(DINT_, 4, 0);
    Put(BOOL_, 1, 1);
    Call("TON1MS32", {1, 3, 2, 4}, t32);
    at(now + 35);
    Call("TON1MS32", {1, 3, 2, 4}, t32);
    Call("TON1MS32", {1, 3, 2, 4}, t32);
    EXPECT_EQ(Get(DINT_, 4), 3u);
    EXPECT_EQ(Get(BOOL_, 2), 1u);
    // DINT timers count every unit of a long gap between calls: 70 s and
    // 99,999 ms in one step each (INT forms keep 16-bit elapsed values).
    struct Gap {
        const char *name;
        uint32_t ticks, et;
    };
    for (const Gap &g : {Gap{"TON1MS32", 700000, 70000}, Gap{"TON1MS32", 999995, 99999},
                         Gap{"TON10MS32", 7000050, 70000}, Gap{"TONR1MS32", 700009, 70000}}) {
        const uint32_t t = Inst(8);
        const bool r = std::string(g.name).rfind("TONR", 0) == 0;
        Put(DINT_, 3, 200000);
        Put(DINT_, 4, 0);
        Put(BOOL_, 1, 1);
        Put(BOOL_, 5, 0);
        auto call = [&] {
            if (r)
                Call(g.name, {1, 5, 3, 2, 4}, t);
            else
                Call(g.name, {1, 3, 2, 4}, t);
        };
        call();
        at(now + g.ticks);
        call();
        EXPECT_EQ(Get(DINT_, 4), g.et) << g.name << " " << g.ticks;
        EXPECT_EQ(Get(BOOL_, 2), 0u);
    }
    // TOF1S PT 600, IN 0: Q 1 and ET the seconds since the first call
    uint32_t tof = Inst(8);
    Put(INT_, 3, 600);
    Put(INT_, 4, 0);
    Put(BOOL_, 1, 0);
    Call("TOF1S", {1, 3, 2, 4}, tof);
    at(now + 70000);
    Call("TOF1S", {1, 3, 2, 4}, tof);
    EXPECT_EQ(Get(BOOL_, 2), 1u);
    EXPECT_EQ(Get(INT_, 4), 7u);
    Put(BOOL_, 1, 1);
    Call("TOF1S", {1, 3, 2, 4}, tof);
    EXPECT_EQ(Get(INT_, 4), 0u);
    EXPECT_EQ(Get(BOOL_, 2), 1u);
    // TONR1S: off time does not count, R clears
    uint32_t tonr = Inst(8);
    Put(INT_, 3, 100);
    Put(INT_, 4, 0);
    Put(BOOL_, 5, 0);
    Put(BOOL_, 1, 1);
    auto tonr_call = [&] { Call("TONR1S", {1, 5, 3, 2, 4}, tonr); };
    tonr_call();
    at(now + 30000);
    tonr_call();
    EXPECT_EQ(Get(INT_, 4), 3u);
    Put(BOOL_, 1, 0);
    tonr_call();
    at(now + 50000);
    tonr_call();
    EXPECT_EQ(Get(INT_, 4), 3u);
    Put(BOOL_, 1, 1);
    tonr_call();
    at(now + 20000);
    tonr_call();
    EXPECT_EQ(Get(INT_, 4), 5u);
    Put(BOOL_, 5, 1);
    tonr_call();
    EXPECT_EQ(Get(INT_, 4), 0u);
    EXPECT_EQ(Get(BOOL_, 2), 0u);
    // TONR1S called every 0.1 s with IN on for 0.9 s and off for 0.1 s, ten
    // times: the parts of a unit gathered while on add up to 9 s, none is
    // dropped at a pause and no pause is counted.
    uint32_t tonr2 = Inst(8);
    Put(INT_, 4, 0);
    Put(BOOL_, 5, 0);
    Put(BOOL_, 1, 1);
    auto tonr2_call = [&] { Call("TONR1S", {1, 5, 3, 2, 4}, tonr2); };
    tonr2_call();
    for (int s = 1; s <= 100; s++) {
        at(now + 1000);
        Put(BOOL_, 1, s % 10 == 0 ? 0 : 1);
        tonr2_call();
    }
    EXPECT_EQ(Get(INT_, 4), 9u);
    // Command 6 answers 0 and leaves the instance as it stands.
    const std::vector<uint8_t> inst_before(Z7Mem_Ptr(tonr2, 8), Z7Mem_Ptr(tonr2, 8) + 8);
    EXPECT_EQ(Call("TONR1S", {}, tonr2, FB_INSTINIT), 0u);
    EXPECT_EQ(std::vector<uint8_t>(Z7Mem_Ptr(tonr2, 8), Z7Mem_Ptr(tonr2, 8) + 8), inst_before);
    // TON10MS every 15 ms: never loses time (12 calls, 180 ms -> 18)
    uint32_t t10 = Inst(8);
    Put(INT_, 3, 1000);
    Put(INT_, 4, 0);
    Put(BOOL_, 1, 1);
    Call("TON10MS", {1, 3, 2, 4}, t10);
    for (int k = 0; k < 12; k++) {
        at(now + 150);
        Call("TON10MS", {1, 3, 2, 4}, t10);
    }
    EXPECT_EQ(Get(INT_, 4), 18u);
    (void)timer;
    // CTU: CU held, PV 5
    uint32_t ctu = Inst(2);
    Put(INT_, 10, 5);
    Put(BOOL_, 11, 1);
    Put(BOOL_, 12, 0);
    for (int k = 0; k < 7; k++) Call("CTU", {11, 12, 10, 13, 14}, ctu);
    EXPECT_EQ(Get(INT_, 14), 5u);
    EXPECT_EQ(Get(BOOL_, 13), 1u);
    Put(BOOL_, 12, 1);
    Call("CTU", {11, 12, 10, 13, 14}, ctu);
    EXPECT_EQ(Get(INT_, 14), 0u);
    EXPECT_EQ(Get(BOOL_, 13), 0u);
    // CTD from 0 stays 0 with Q 1; LD loads PV
    uint32_t ctd = Inst(2);
    Put(BOOL_, 12, 0);
    Call("CTD", {11, 12, 10, 13, 14}, ctd);
    EXPECT_EQ(Get(INT_, 14), 0u);
    EXPECT_EQ(Get(BOOL_, 13), 1u);
    Put(BOOL_, 12, 1);
    Call("CTD", {11, 12, 10, 13, 14}, ctd);
    Put(BOOL_, 12, 0);
    Call("CTD", {11, 12, 10, 13, 14}, ctd);
    EXPECT_EQ(Get(INT_, 14), 4u);
    EXPECT_EQ(Get(BOOL_, 13), 0u);
    // Every timer of the family from a fresh instance: IN 1 (TOF: IN 0), a
    // preset out of reach; 3.5 units after the first call ET is 3, half a
    // unit later the carried half makes 4; a preset of 4 then ends the
    // timing (TON, TONR: Q 1; TOF: Q 0). Unit ticks of 0.1 ms by hand.
    struct Fam {
        const char *name;
        uint32_t unit;
        bool wide, off, retentive;
    };
    const Fam fam[] = {
        {"TON1MS", 10, false, false, false},      {"TON10MS", 100, false, false, false},
        {"TON100MS", 1000, false, false, false},  {"TON1S", 10000, false, false, false},
        {"TON1MS32", 10, true, false, false},     {"TON10MS32", 100, true, false, false},
        {"TON100MS32", 1000, true, false, false}, {"TON1S32", 10000, true, false, false},
        {"TOF1MS", 10, false, true, false},       {"TOF10MS", 100, false, true, false},
        {"TOF100MS", 1000, false, true, false},   {"TOF1S", 10000, false, true, false},
        {"TOF1MS32", 10, true, true, false},      {"TOF10MS32", 100, true, true, false},
        {"TOF100MS32", 1000, true, true, false},  {"TOF1S32", 10000, true, true, false},
        {"TONR1MS", 10, false, false, true},      {"TONR10MS", 100, false, false, true},
        {"TONR100MS", 1000, false, false, true},  {"TONR1S", 10000, false, false, true},
        {"TONR1MS32", 10, true, false, true},     {"TONR10MS32", 100, true, false, true},
        {"TONR100MS32", 1000, true, false, true}, {"TONR1S32", 10000, true, false, true},
    };
    for (const Fam &t : fam) {
        SCOPED_TRACE(t.name);
        const uint32_t inst = Inst(8);
        const uint16_t pt_ty = t.wide ? uint16_t(DINT_) : uint16_t(INT_);
        Put(pt_ty, 30, 30000);
        Put(pt_ty, 31, 0);
        Put(BOOL_, 30, t.off ? 0 : 1);
        Put(BOOL_, 31, 0);  // R
        Put(BOOL_, 32, 9);  // Q, written by every call
        const std::vector<uint16_t> ops =
            t.retentive ? std::vector<uint16_t>{30, 31, 30, 32, 31} : std::vector<uint16_t>{30, 30, 32, 31};
        at(0x50000000);
        Call(t.name, ops, inst);
        EXPECT_EQ(Get(pt_ty, 31), 0u);
        at(now + 3 * t.unit + t.unit / 2);
        Call(t.name, ops, inst);
        EXPECT_EQ(Get(pt_ty, 31), 3u);
        EXPECT_EQ(Get(BOOL_, 32), t.off ? 1u : 0u);
        at(now + t.unit / 2);
        Call(t.name, ops, inst);
        EXPECT_EQ(Get(pt_ty, 31), 4u);
        Put(pt_ty, 30, 4);
        Call(t.name, ops, inst);
        EXPECT_EQ(Get(pt_ty, 31), 4u);
        EXPECT_EQ(Get(BOOL_, 32), t.off ? 0u : 1u);
    }
    // A call with IN (or R) neither 0 nor 1 does nothing, also as a fresh
    // instance's first call: TONR1MS given IN 2 at time T, then IN 0 at
    // T + 100 ms and IN 1 at T + 101 ms has 1 ms, the time since the first
    // call it took.
    {
        const uint32_t inst = Inst(8);
        Put(INT_, 30, 30000);
        Put(INT_, 31, 0);
        Put(BOOL_, 31, 0);
        const std::vector<uint16_t> ops = {30, 31, 30, 32, 31};
        at(0x40000000);
        Put(BOOL_, 30, 2);
        Call("TONR1MS", ops, inst);
        at(0x40000000 + 1000);
        Put(BOOL_, 30, 0);
        Call("TONR1MS", ops, inst);
        at(0x40000000 + 1010);
        Put(BOOL_, 30, 1);
        Call("TONR1MS", ops, inst);
        EXPECT_EQ(Get(INT_, 31), 1u);
        EXPECT_EQ(Get(BOOL_, 32), 0u);
    }
}

TEST_F(BlkLib, ClockScreensScalingAlarmsAndTexts) {
    // clock image: 08:30:00, 15.04.2026, day of week 3
    const uint16_t clock[7] = {0, 30, 8, 15, 4, 2026, 3};
    for (uint32_t k = 0; k < 7; k++) PlcWordSet(W_CLOCK + k, clock[k]);
    struct Sched {
        const char *name;
        uint16_t type;
        uint64_t mask;
        uint8_t want;
    };
    const Sched scheds[] = {
        {"STARTENDYEAR", DINT_, 2000u | (2100u << 16), 1},
        {"STARTENDYEAR", DINT_, 1999u | (2100u << 16), 0},
        {"DAYSOFWEEK", INT_, 127, 1},
        {"DAYSOFWEEK", INT_, 128, 0},
        {"DAYSOFWEEK", INT_, 4, 1},
        {"MONTHSOFYEAR", INT_, 4095, 1},
        {"MONTHSOFYEAR", INT_, 4096, 0},
        {"DAYSOFMONTH", DINT_, 0x7FFFFFFF, 1},
        {"DAYSOFMONTH", DINT_, 0x80000000u, 0},
    };
    for (const Sched &s : scheds) {
        SCOPED_TRACE(s.name + std::to_string(s.mask));
        Put(s.type, 1, s.mask);
        Put(BOOL_, 2, 9);
        Call(s.name, {1, 2});
        EXPECT_EQ(Get(BOOL_, 2), s.want);
    }
    for (auto [sh, eh, want] : {std::tuple{8, 8, 0}, {8, 9, 1}, {9, 8, 0}}) {
        Put(INT_, 1, uint16_t(sh));
        Put(INT_, 2, 0);
        Put(INT_, 3, uint16_t(eh));
        Put(INT_, 4, 0);
        Call("TIMEOFDAY", {1, 2, 3, 4, 5});
        EXPECT_EQ(Get(BOOL_, 5), uint64_t(want));
    }
    // SETCLK: day 0 leaves the clock; a full date goes to the hook
    static uint16_t set_rec[6];
    Blk_Hooks.rtc_set = [](const uint16_t *rec) {
        std::memcpy(set_rec, rec, sizeof set_rec);
        return true;
    };
    const uint16_t date[6] = {5, 6, 7, 0, 2, 2030};
    for (uint32_t k = 0; k < 6; k++) Put(INT_, 10 + k, date[k]);
    Call("SETCLK", {10, 6, 3});
    EXPECT_EQ(Get(BOOL_, 3), 0u);
    EXPECT_EQ(set_rec[5], 0u);
    Put(INT_, 13, 9);
    Call("SETCLK", {10, 6, 3});
    EXPECT_EQ(Get(BOOL_, 3), 1u);
    EXPECT_EQ(set_rec[3], 9u);
    EXPECT_EQ(set_rec[5], 2030u);
    // scaling
    struct Scale {
        int16_t x, x1, x2, y1, y2, want;
    };
    for (const Scale &s : {Scale{5, 0, 0, 0, 10, 50},
                           {25, 0, 100, 100, 200, 125},
                           {300, 0, 10, 0, 30000, 32767},
                           {-300, 0, 10, 0, 30000, -32768}}) {
        const int16_t v[5] = {s.x, s.x1, s.x2, s.y1, s.y2};
        for (uint32_t k = 0; k < 5; k++) Put(INT_, 20 + k, uint16_t(v[k]));
        Call("SCALEINT", {20, 21, 22, 23, 24, 25});
        EXPECT_EQ(int16_t(Get(INT_, 25)), s.want) << s.x;
    }
    const float r[5] = {5, 0, 10, 100, 200};
    for (uint32_t k = 0; k < 5; k++) Put(REAL_, 20 + k, F(r[k]));
    Call("SCALEREAL", {20, 21, 22, 23, 24, 25});
    EXPECT_EQ(Get(REAL_, 25), F(150.0f));
    // CHANGESCREEN while nothing is forced
    Put(DINT_, 30, 7);
    Call("CHANGESCREEN", {30, 31});
    EXPECT_EQ(Get(DINT_, 31), 7u);
    EXPECT_EQ(PlcWord(128), 7u);
    PlcWordSet(129, 3);
    Put(DINT_, 30, 8);
    Call("CHANGESCREEN", {30, 31});
    EXPECT_EQ(PlcWord(128), 7u);
    PlcWordSet(129, 0);
    // FORCESCREEN: instances numbered 1, 2 as the VM initialises them (a
    // size question first restarts the numbering, and forgets a force of
    // the application before). Operands: enable (BOOL 50 + k), screen
    // (DINT 50 + k), current (DINT 60 + k).
    BlkClk_Force.holder = 5;  // left by an application before
    uint32_t fs[2];
    EXPECT_EQ(Call("FORCESCREEN", {}, 0, FB_INSTSIZE), 4u);
    for (uint32_t &i : fs) {
        i = Inst(4);
        Call("FORCESCREEN", {}, i, FB_INSTINIT);
    }
    EXPECT_EQ(Z7Mem_Get16(fs[0]), 1u);
    EXPECT_EQ(Z7Mem_Get16(fs[1]), 2u);
    auto force = [&](uint32_t k) {
        Call("FORCESCREEN", {uint16_t(50 + k), uint16_t(50 + k), uint16_t(60 + k)}, fs[k]);
    };
    auto cycle = [&] {
        force(0);
        force(1);
    };
    struct Step {
        uint8_t en0, en1;
        uint16_t forced, shown;  // words 129 and 128 after the cycle
        uint32_t cur0, cur1;
    };
    Put(DINT_, 50, 0x10007);  // the low 16 bits: screen 7
    Put(DINT_, 51, 8);
    Put(DINT_, 60, 0);
    Put(DINT_, 61, 0);
    PlcWordSet(128, 5);
    const Step steps[] = {
        {1, 0, 7, 7, 7, 0},                      // one instance: its screen is forced and shown
        {1, 0, 7, 7, 7, 0}, {0, 0, 0, 5, 7, 0},  // released: the screen before comes back
        {1, 1, 8, 8, 7, 8},                      // both at once: the later-initialised one holds
        {1, 0, 0, 8, 7, 8},                      // it lets go while the other is still on
        {1, 0, 7, 7, 7, 8},                      // the other takes it on its next call
        {0, 0, 0, 5, 7, 8},                      // the screen before any force comes back
    };
    int n = 0;
    for (const Step &st : steps) {
        SCOPED_TRACE(n++);
        Put(BOOL_, 50, st.en0);
        Put(BOOL_, 51, st.en1);
        cycle();
        EXPECT_EQ(PlcWord(129), st.forced);
        EXPECT_EQ(PlcWord(128), st.shown);
        EXPECT_EQ(Get(DINT_, 60), st.cur0);
        EXPECT_EQ(Get(DINT_, 61), st.cur1);
    }
    // ALARM [0x100, 0, 0x100], dimension 3, first screen 10, count 3
    Put(INT_, 1, 0x100);
    Put(INT_, 2, 0);
    Put(INT_, 3, 0x100);
    Put(DINT_, 40, 10);
    Put(DINT_, 41, 3);
    for (uint32_t k = 0; k < 4; k++) Put(BOOL_, 42 + k, 0);
    auto alarm = [&] { Call("ALARM", {1, 3, 42, 43, 44, 45, 40, 41}); };
    alarm();
    alarm();
    EXPECT_EQ(Get(INT_, 1), 0xC301u);
    EXPECT_EQ(Get(INT_, 2), 0u);
    EXPECT_EQ(Get(INT_, 3), 0x0301u);
    EXPECT_EQ(PlcWord(129), 10u);
    EXPECT_EQ(PlcWord(128), 10u);
    Put(BOOL_, 45, 1);  // acknowledge pulse
    alarm();
    Put(BOOL_, 45, 0);
    alarm();
    EXPECT_EQ(Get(INT_, 1), 0xC701u);
    Put(BOOL_, 44, 1);  // clear pulse
    alarm();
    Put(BOOL_, 44, 0);
    alarm();
    EXPECT_EQ(Get(INT_, 1), 0xC302u);
    EXPECT_EQ(PlcWord(129), 12u);
    Put(BOOL_, 43, 1);  // previous: alarm 0 is latched again
    alarm();
    EXPECT_EQ(PlcWord(129), 10u);
    Put(BOOL_, 43, 0);
    alarm();
    Put(BOOL_, 43, 1);  // previous from the first alarm stays there
    alarm();
    EXPECT_EQ(PlcWord(129), 10u);
    Put(BOOL_, 43, 0);
    Put(BOOL_, 42, 1);  // next
    alarm();
    EXPECT_EQ(PlcWord(129), 12u);
    // first screens at the ends of DINT (no overflow): the selection falls
    // back to the first latched alarm, the screen is the low 16 bits
    Put(BOOL_, 42, 0);
    Put(DINT_, 40, 0x7FFFFFFE);
    alarm();
    EXPECT_EQ(PlcWord(129), 0xFFFEu);
    Put(DINT_, 40, 0x80000000u);
    alarm();
    EXPECT_EQ(PlcWord(129), 0u);
    // a count of 0 looks at no alarm, but word 0 still loses its summary
    // bits: 0xC302 keeps only its own latch and count
    EXPECT_EQ(Get(INT_, 1), 0xC302u);
    Put(DINT_, 41, 0);
    alarm();
    EXPECT_EQ(Get(INT_, 1), 0x0302u);
    EXPECT_EQ(Get(INT_, 3), 0x0301u);
    EXPECT_EQ(PlcWord(129), 0xFFFFu);
    EXPECT_EQ(PlcWord(128), 0xFFFFu);
    // TEXTTABLE: table 0 {limits 10, 20 -> "LOW", "HIGH"}, then the end
    static const uint8_t tables[] = {0, 0, 2, 0, 10, 0, 0, 0, 0, 0, 0, 0, 20, 0, 0, 0, 4, 0, 0, 0, 0xFF, 0xFF, 0, 0};
    static const char strings[] = "LOW\0HIGH";
    Blk_Hooks.text_tables = tables;
    Blk_Hooks.text_tables_len = sizeof tables;
    Blk_Hooks.strings = reinterpret_cast<const uint8_t *>(strings);
    Blk_Hooks.strings_len = sizeof strings;
    for (auto [value, text] : {std::pair{5, "LOW"}, {15, "HIGH"}, {999, "HIGH"}}) {
        Put(INT_, 50, 1);
        Put(INT_, 51, uint16_t(value));
        Call("TEXTTABLE", {50, 51, 8});  // string 8 holds 4 characters
        EXPECT_EQ(Str(8), text);
    }
    Blk_Hooks.strings_len = 6;  // "HIGH" runs past the area: cut
    Put(INT_, 51, 15);
    Call("TEXTTABLE", {50, 51, 8});
    EXPECT_EQ(Str(8), "HI");
    static const char longer[] = "LOW\0HIGHEST";  // longer than string 8's maximum of 4: cut to it
    Blk_Hooks.strings = reinterpret_cast<const uint8_t *>(longer);
    Blk_Hooks.strings_len = sizeof longer;
    Call("TEXTTABLE", {50, 51, 8});
    EXPECT_EQ(Str(8), "HIGH");
    EXPECT_EQ(Z7Mem_Get8(Z7VMStr_Slot(db, 8)), 4u);  // the slot's maximum byte kept
    Put(INT_, 50, 2);                                // no such table: empty
    Call("TEXTTABLE", {50, 51, 8});
    EXPECT_EQ(Str(8), "");
    // SUNPOS at 12:00:00 UT on 21.06.2026, latitude 48 N (first location
    // operand), longitude 11 E (second): worked through the solar-position
    // steps by hand, zenith 25.957347 degrees, so the elevation is 64.042653,
    // the azimuth 202.556974 (past south). With the location operands taken
    // the other way round (latitude 11, longitude 48) the sun would stand at
    // elevation 43.14, azimuth 291.91.
    const uint16_t when[6] = {2026, 6, 21, 12, 0, 0};
    for (uint32_t k = 0; k < 6; k++) Put(INT_, 60 + k, when[k]);
    Put(LREAL_, 10, L(48.0));
    Put(LREAL_, 11, L(11.0));
    Put(LREAL_, 12, L(-1.0));
    Put(LREAL_, 13, L(-1.0));
    Call("SUNPOS", {60, 61, 62, 63, 64, 65, 10, 11, 12, 13});
    auto lreal = [&](uint32_t i) {
        const uint64_t b = Get(LREAL_, i);
        double d;
        std::memcpy(&d, &b, 8);
        return d;
    };
    EXPECT_NEAR(lreal(12), 64.042653, 1e-4);
    EXPECT_NEAR(lreal(13), 202.556974, 1e-4);
    // SETCANID: id 0 nothing; a new id restarts the network
    static int restarts;
    restarts = 0;
    Blk_Hooks.net_init = [] { restarts++; };
    PlcWordSet(W_NETID, 1);
    PlcWordSet(188, 4);
    for (auto [id, want, runs] : {std::tuple{0, 1, 0}, {251, 1, 0}, {250, 250, 1}, {250, 250, 1}}) {
        Put(INT_, 52, uint16_t(id));
        Call("SETCANID", {52});
        EXPECT_EQ(PlcWord(W_NETID), uint32_t(want));
        EXPECT_EQ(restarts, runs);
    }
}

TEST_F(BlkLib, PidSetUpManualOutputAndSteps) {
    // register block INT 1..16; SETPID values INT 20..29, options BOOL 30..33
    struct Set {
        std::vector<int16_t> values;
        std::vector<uint8_t> options;
        std::vector<uint16_t> words;  // 0..10
    };
    const Set sets[] = {
        {{100, 5, 6, 2, 1, 3, -100, 1000, -1000, 50},
         {1, 0, 1, 0},
         {100, 5, 6, 2, 1, 3, 0xFF9C, 1000, 0xFC18, 50, 0x0300}},
        {{-1, -1, 32001, 400, 328, 33, 32001, -32001, 32001, 32001},
         {0, 1, 0, 1},
         {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x2400}},
    };
    std::vector<uint16_t> ops{1};
    for (uint16_t k = 0; k < 10; k++) ops.push_back(uint16_t(20 + k));
    for (uint16_t k = 0; k < 4; k++) ops.push_back(uint16_t(30 + k));
    for (const Set &s : sets) {
        for (uint32_t k = 0; k < 16; k++) Put(INT_, 1 + k, 0xAAAA);
        for (uint32_t k = 0; k < 10; k++) Put(INT_, 20 + k, uint16_t(s.values[k]));
        for (uint32_t k = 0; k < 4; k++) Put(BOOL_, 30 + k, s.options[k]);
        Call("SETPID", ops);
        for (uint32_t k = 0; k < 11; k++) EXPECT_EQ(Get(INT_, 1 + k), s.words[k]) << "word " << k;
        for (uint32_t k = 11; k < 16; k++) EXPECT_EQ(Get(INT_, 1 + k), 0xAAAAu) << "word " << k;
    }
    // SETPID_R: gain, derivative, integral, bias, clamps REAL (D32 23..28), scale D32 40
    struct SetR {
        float gain, der, integ, bias, hi, lo;
        std::vector<uint16_t> words;  // 3..8
    };
    const SetR setrs[] = {
        {2.5f, 0.25f, 0.5f, 50.0f, 1000.0f, -1000.0f, {2500, 250, 500, 5, 100, 0xFF9C}},
        {65.536f, 65.0f, 32.767f, 40000.0f, 32000.0f, -32001.0f, {0, 65000, 0, 0, 3200, 0}},
        {-0.5f, 300.0f, -1.0f, 0.0f, 0.0f, 0.0f, {0, 0, 0, 0, 0, 0}},
    };
    Put(REAL_, 40, F(10.0f));
    for (const SetR &s : setrs) {
        const float v[6] = {s.gain, s.der, s.integ, s.bias, s.hi, s.lo};
        for (uint32_t k = 0; k < 6; k++) Put(REAL_, 23 + k, F(v[k]));
        std::vector<uint16_t> r = ops;
        r.push_back(40);
        Call("SETPID_R", r);
        for (uint32_t k = 0; k < 6; k++)
            EXPECT_EQ(Get(INT_, 4 + k), s.words[k]) << "gain " << s.gain << " word " << 3 + k;
    }
    // manual output
    Put(INT_, 40, 250);
    Put(BOOL_, 41, 0);
    Call("SETPIDMAN", {1, 40, 41});
    EXPECT_EQ(Get(INT_, 12), 250u);
    EXPECT_EQ(Get(BOOL_, 41), 1u);
    Put(REAL_, 41, F(2.5f));
    Put(REAL_, 42, F(10.0f));
    Put(BOOL_, 41, 0);
    Call("SETPIDMAN_R", {1, 41, 42, 41});
    EXPECT_EQ(Get(INT_, 12), 25u);
    Put(INT_, 15, 777);
    Call("GETPIDMAN", {1, 42});
    EXPECT_EQ(Get(INT_, 42), 777u);
    // step blocks: consecutive loop numbers, 72 and 34 bytes
    pid_Instance = 0;
    const uint32_t a = Inst(72), b = Inst(34);
    EXPECT_EQ(Call("PID_IND", {}, a, FB_INSTSIZE), 72u);
    EXPECT_EQ(Call("PID_ISA", {}, b, FB_INSTSIZE), 34u);
    Call("PID_IND", {}, a, FB_INSTINIT);
    Call("PID_ISA", {}, b, FB_INSTINIT);
    EXPECT_EQ(Z7Mem_Get8(a + 1), 0u);
    EXPECT_EQ(Z7Mem_Get8(b + 1), 1u);
    EXPECT_EQ(pid_Instance, 2u);
    // one PID_IND step in manual: SP, PV and the options land in the block
    for (uint32_t k = 0; k < 16; k++) Put(INT_, 1 + k, 0);
    Put(INT_, 12, 300);  // manual output
    Put(INT_, 50, 400);  // set-point
    Put(INT_, 51, 123);  // process value
    Put(BOOL_, 52, 1);   // manual
    Put(BOOL_, 53, 0);
    Put(BOOL_, 54, 0);
    Call("PID_IND", {1, 50, 51, 52, 53, 54, 55}, a);
    EXPECT_EQ(Get(INT_, 13), 400u);
    EXPECT_EQ(Get(INT_, 14), 123u);
    EXPECT_EQ(Get(INT_, 11) & 0x0086u, 0x0006u);  // in use, manual, IND: no gain-all
    EXPECT_EQ(Get(INT_, 55), Get(INT_, 12));
    // set-point hold bit: PV follows, SP and options stay
    Put(INT_, 11, uint16_t(Get(INT_, 11) | 0x0001));
    Put(INT_, 50, 999);
    Put(INT_, 51, 77);
    Put(BOOL_, 52, 0);
    Call("PID_ISA", {1, 50, 51, 52, 53, 54, 55}, b);
    EXPECT_EQ(Get(INT_, 13), 400u);
    EXPECT_EQ(Get(INT_, 14), 77u);
    EXPECT_EQ(Get(INT_, 11) & 0x0082u, 0x0082u);  // manual kept, ISA: gain-all
    // "_R" forms: set-point and process value divided by the scale (REAL 56)
    // and truncated, the output word times the scale as REAL (REAL 55)
    const uint32_t c = Inst(72);
    Call("PID_IND_R", {}, c, FB_INSTINIT);
    EXPECT_EQ(Z7Mem_Get8(c + 1), 2u);
    for (uint32_t k = 0; k < 16; k++) Put(INT_, 1 + k, 0);
    Put(INT_, 12, uint16_t(-25));  // manual output word
    Put(REAL_, 50, F(400.0f));
    Put(REAL_, 51, F(123.0f));
    Put(REAL_, 56, F(10.0f));
    Put(REAL_, 55, F(7.0f));
    Put(BOOL_, 52, 1);  // manual
    Call("PID_IND_R", {1, 50, 51, 52, 53, 54, 56, 55}, c);
    EXPECT_EQ(Get(INT_, 13), 40u);  // 400 / 10
    EXPECT_EQ(Get(INT_, 14), 12u);  // 12.3 cut to 12
    EXPECT_EQ(Get(INT_, 12), uint16_t(-25));
    EXPECT_EQ(Get(REAL_, 55), F(-250.0f));
    // AUTO forms: after the options the tune request (BOOL 60), three DINT
    // settings (61..63), the second control (BOOL 61), the output (INT 55)
    // and the tune-done flag (BOOL 62), set while a requested tune of the
    // loop has finished
    const uint32_t d = Inst(34);
    Call("PID_ISA_AUTO", {}, d, FB_INSTINIT);
    const uint8_t loop = Z7Mem_Get8(d + 1);
    EXPECT_EQ(loop, 3u);
    pid_at[loop].state = 7;  // a tune that has finished
    Put(BOOL_, 60, 1);
    Put(BOOL_, 61, 0);
    Put(BOOL_, 62, 0);
    const std::vector<uint16_t> auto_ops{1, 50, 51, 52, 53, 54, 60, 61, 62, 63, 61, 55, 62};
    Call("PID_ISA_AUTO", auto_ops, d);
    EXPECT_EQ(Get(BOOL_, 62), 1u);
    EXPECT_EQ(Get(INT_, 11) & 0x0082u, 0x0082u);
    Put(BOOL_, 60, 0);  // the request dropped: flag cleared, tune state reset
    Put(INT_, 12, 321);
    Put(INT_, 55, 0);
    Call("PID_ISA_AUTO", auto_ops, d);
    EXPECT_EQ(Get(BOOL_, 62), 0u);
    EXPECT_EQ(pid_at[loop].state, 0u);
    EXPECT_EQ(Get(INT_, 55), 321u);  // manual: the output word
    // An engine error halts the instance for good: dead band upper 5 below
    // lower 6 (answer 2). That call still writes its outputs and block; the
    // next writes nothing, until command 6 runs the instance again.
    for (uint32_t k = 0; k < 16; k++) Put(INT_, 1 + k, 0);
    Put(INT_, 2, 5);
    Put(INT_, 3, 6);
    Put(INT_, 51, 11);
    Put(BOOL_, 52, 0);
    Call("PID_IND", {1, 50, 51, 52, 53, 54, 55}, a);
    EXPECT_EQ(Z7Mem_Get8(a), 1u);
    EXPECT_EQ(Get(INT_, 14), 11u);
    EXPECT_EQ(Get(INT_, 11), 0x0004u);
    Put(INT_, 51, 22);
    Put(INT_, 55, 0x5555);
    Call("PID_IND", {1, 50, 51, 52, 53, 54, 55}, a);
    EXPECT_EQ(Get(INT_, 14), 11u);
    EXPECT_EQ(Get(INT_, 55), 0x5555u);
    Call("PID_IND", {}, a, FB_INSTINIT);
    EXPECT_EQ(Z7Mem_Get8(a), 0u);
    Put(INT_, 3, 5);
    Call("PID_IND", {1, 50, 51, 52, 53, 54, 55}, a);
    EXPECT_EQ(Get(INT_, 14), 22u);
}

TEST_F(BlkLib, NetworkHeartbeatsAndRemoteWords) {
    Net_Data = {};
    _Can_FlushTx(0);
    PlcWordSet(W_NETID, 1);
    PlcWordSet(188, 1);
    auto frames = [] {
        std::vector<std::tuple<uint32_t, uint8_t, uint8_t>> f;  // id, length, remote
        CanRing &r = CanPort[0].tx;
        for (uint16_t k = 0, i = r.out; k < r.count; k++, i = uint16_t((i + 1) % CAN_RING))
            f.emplace_back(r.msg[i].id, r.msg[i].len, r.msg[i].rtr);
        _Can_FlushTx(0);
        return f;
    };
    using F = std::vector<std::tuple<uint32_t, uint8_t, uint8_t>>;
    // NETGETHB of a node never seen: Q 0, status 0
    Put(BOOL_, 1, 1);
    Put(INT_, 2, 5);
    Put(INT_, 3, 1000);
    Put(BOOL_, 4, 1);
    Put(INT_, 5, 9);
    const uint32_t hb = Inst(1);
    EXPECT_EQ(Call("NETGETHB", {}, hb, FB_INSTSIZE), 1u);
    Call("NETGETHB", {1, 2, 3, 4, 5}, hb);
    EXPECT_EQ(Get(BOOL_, 4), 0u);
    EXPECT_EQ(Get(INT_, 5), 0u);
    // NETPUTHB node 5 period 1000: output heartbeat id 40, no data; not again within the period
    const uint32_t sent = FPGA_GetFrt();  // at or before the block's own send time
    Call("NETPUTHB", {1, 2, 3, 4, 5});
    EXPECT_EQ(Get(BOOL_, 4), 1u);
    Call("NETPUTHB", {1, 2, 3, 4, 5});
    EXPECT_EQ(Get(BOOL_, 4), 0u);
    EXPECT_EQ(frames(), (F{{40, 0, 0}}));
    // the next one only after 1 s (polled, deadline 5 s)
    F f;
    while (f.empty() && FPGA_GetFrt() - sent < 50000) {
        Call("NETPUTHB", {1, 2, 3, 4, 5});
        f = frames();
    }
    EXPECT_EQ(f, (F{{40, 0, 0}}));
    EXPECT_GE(FPGA_GetFrt() - sent, 10000u);
    // period 1001: input heartbeat id 44 (period 1000); again within it answers 1, sends nothing
    Put(INT_, 3, 1001);
    Call("NETPUTHB", {1, 2, 3, 4, 5});
    Call("NETPUTHB", {1, 2, 3, 4, 5});
    EXPECT_EQ(Get(BOOL_, 4), 1u);
    EXPECT_EQ(frames(), (F{{44, 0, 0}}));
    Put(BOOL_, 1, 0);  // disabled: Q 0, nothing sent
    Call("NETPUTHB", {1, 2, 3, 4, 5});
    EXPECT_EQ(Get(BOOL_, 4), 0u);
    EXPECT_TRUE(frames().empty());
    // a heartbeat of node 9 with two digital words arrives through the CAN hook
    ASSERT_NE(CANOpen_NetDataRx, nullptr);
    CanMsg m{4, 0, 72, {0x34, 0x12, 0x78, 0x56}};
    EXPECT_EQ(CANOpen_NetDataRx(m), 0u);
    Put(BOOL_, 1, 1);
    Put(INT_, 2, 9);
    Put(INT_, 3, 1000);
    Call("NETGETHB", {1, 2, 3, 4, 5}, hb);
    EXPECT_EQ(Get(BOOL_, 4), 1u);
    // NETGETREMOTEI: the first call only requests (remote frame id 72), later calls copy
    const uint32_t ri = Inst(1);
    EXPECT_EQ(Call("NETGETREMOTEI", {}, ri, FB_INSTSIZE), 1u);
    Call("NETGETREMOTEI", {}, ri, FB_INSTINIT);
    Put(INT_, 10, 0);
    Put(INT_, 11, 0);
    Put(INT_, 12, 2);
    Call("NETGETREMOTEI", {2, 10, 12}, ri);
    EXPECT_EQ(frames(), (F{{72, 0, 1}}));
    EXPECT_EQ(Get(INT_, 10), 0u);
    Call("NETGETREMOTEI", {2, 10, 12}, ri);
    EXPECT_EQ(Get(INT_, 10), 0u);  // the request cleared the old words
    CANOpen_NetDataRx(m);
    Call("NETGETREMOTEI", {2, 10, 12}, ri);
    EXPECT_EQ(Get(INT_, 10), 0x1234u);
    EXPECT_EQ(Get(INT_, 11), 0x5678u);
    // helpers: queueing only for local nodes and runs inside the words
    const uint16_t w[3] = {1, 2, 3};
    EXPECT_EQ(Z7Net_QueQG(1, 2, w, 3), 0u);
    EXPECT_EQ(Z7Net_QueQG(2, 0, w, 1), 0u);
    EXPECT_EQ(Z7Net_QueQG(1, 1, w, 3), 1u);
    EXPECT_EQ(Z7Net_QueAQG(1, 30, w, 0x8003), 0u);
    EXPECT_EQ(Z7Net_QueAQG(1, 29, w, 0x8003), 1u);
    uint16_t out[3] = {};
    EXPECT_EQ(Z7Net_GetAQG(1, 29, out, 3), 0u);  // checks only: nothing valid
    EXPECT_EQ(Z7Net_GetQG(1, 1, out, 3), 1u);
    EXPECT_EQ(out[2], 3u);
    EXPECT_EQ(Z7Net_ReqQG(200), 0u);
    // scale 0 reads as 100: no division by zero
    Z7Net_Scale = 0;
    EXPECT_EQ(Z7Net_GetQHB(9, 1000), 1u);
    Z7Net_Scale = 100;
    // The age limit of an output heartbeat is taken to 16 bits: 7000 ms is
    // 70,000 ticks, cut to 4,464, so a heartbeat 0.5 s old is forgotten;
    // 6553 ms (65,530 ticks) still keeps it.
    Net_Data[21].qhb = FPGA_GetFrt() - 5000;
    EXPECT_EQ(Z7Net_GetQHB(21, 6553), 1u);
    EXPECT_EQ(Z7Net_GetQHB(21, 7000), 0u);
    EXPECT_EQ(Net_Data[21].qhb, 0u);
    frames();
    // 200 frames queued: no transmit slot, so every sending helper answers
    // 0 and stores nothing (times and valid masks of node 20 as they were)
    for (uint32_t k = 0; k < 200; k++) {
        CanMsg *slot = _Can_NextTx(0);
        ASSERT_NE(slot, nullptr) << k;
        _Can_PutTx(0, slot);
    }
    Net_Data[20].qg_valid = 0xF;
    Net_Data[20].aqg_valid = 0x3;
    EXPECT_EQ(Z7Net_PutQHB(20, 1000), 0u);
    EXPECT_EQ(Z7Net_PutIHB(20, 1000), 0u);
    EXPECT_EQ(Z7Net_ReqQG(20), 0u);
    EXPECT_EQ(Z7Net_ReqAQG(20), 0u);
    EXPECT_EQ(Net_Data[20].qhb, 0u);
    EXPECT_EQ(Net_Data[20].ihb, 0u);
    EXPECT_EQ(Net_Data[20].qg_valid, 0xFu);
    EXPECT_EQ(Net_Data[20].aqg_valid, 0x3u);
    EXPECT_EQ(CanPort[0].tx.count, 200u);
    _Can_FlushTx(0);
}

TEST_F(BlkLib, CanopenBlocksCheckTheirArrays) {
    struct Row {
        const char *name;
        std::vector<uint16_t> ops;  // after the execute flag (BOOL 1)
        uint8_t exec_after;
    };
    // arrays at INT 10.. with their sizes; results at INT 30..
    const Row
        rows[] =
            {
                {"CANOPENSDOREAD", {10, 2, 30, 5}, 1},  // request array of 2: nothing
                {"CANOPENSDOREAD", {10, 3, 30, 4}, 1},  // result array of 4: nothing
                {"CANOPENSDOWRITE", {10, 4, 30, 3}, 1}, {"CANOPENSETNMT", {10, 1, 30}, 1},
                {"CANOPENRCEMC", {10, 5}, 1},           {"CANOPENRCEMCDEV", {11, 10, 4}, 1},
                {"CANOPENSDOREAD", {62, 3, 30, 5}, 1},  // request array past its section
            };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        for (uint32_t k = 0; k < 8; k++) {
            Put(INT_, 10 + k, 0x1111);
            Put(INT_, 30 + k, 0x2222);
        }
        Put(BOOL_, 1, 1);
        std::vector<uint16_t> ops{1};
        ops.insert(ops.end(), r.ops.begin(), r.ops.end());
        Call(r.name, ops);
        EXPECT_EQ(Get(BOOL_, 1), r.exec_after);
        for (uint32_t k = 0; k < 8; k++) {
            EXPECT_EQ(Get(INT_, 10 + k), 0x1111u);
            EXPECT_EQ(Get(INT_, 30 + k), 0x2222u);
        }
    }
    // CANOPENGETLOCID: execute 0 keeps the output; execute 1 writes it and clears execute
    Put(BOOL_, 1, 0);
    Put(INT_, 2, 0x7777);
    Call("CANOPENGETLOCID", {1, 2});
    EXPECT_EQ(Get(INT_, 2), 0x7777u);
    Put(BOOL_, 1, 1);
    Call("CANOPENGETLOCID", {1, 2});
    EXPECT_EQ(Get(BOOL_, 1), 0u);
    EXPECT_EQ(Get(INT_, 2), uint64_t(uint16_t(Z7_get_node_id())));
    // CANOPENSETNMT: parameter element 0 is the node, element 1 the command;
    // the NMT frame (id 0) carries the command first, then the node
    const uint8_t master = co.master;
    co.master = 1;
    _Can_FlushTx(0);
    auto nmt_frames = [] {
        std::vector<std::vector<uint8_t>> f;  // id, then the data
        CanRing &r = CanPort[0].tx;
        for (uint16_t k = 0, i = r.out; k < r.count; k++, i = uint16_t((i + 1) % CAN_RING)) {
            std::vector<uint8_t> one{uint8_t(r.msg[i].id)};
            one.insert(one.end(), r.msg[i].data.begin(), r.msg[i].data.begin() + r.msg[i].len);
            f.push_back(one);
        }
        _Can_FlushTx(0);
        return f;
    };
    Put(INT_, 10, 0x20);  // node
    Put(INT_, 11, 0x80);  // command: enter pre-operational
    Put(INT_, 30, 255);
    Put(BOOL_, 1, 1);
    Call("CANOPENSETNMT", {1, 10, 2, 30});
    EXPECT_EQ(Get(INT_, 30), 0u);
    EXPECT_EQ(Get(BOOL_, 1), 1u);
    EXPECT_EQ(nmt_frames(), (std::vector<std::vector<uint8_t>>{{0x00, 0x80, 0x20}}));
    Call("CANOPENSETNMT", {1, 10, 2, 30});  // done stays done, nothing sent again
    EXPECT_EQ(nmt_frames(), (std::vector<std::vector<uint8_t>>{}));
    Put(BOOL_, 1, 0);
    Call("CANOPENSETNMT", {1, 10, 2, 30});
    EXPECT_EQ(Get(INT_, 30), 255u);
    EXPECT_EQ(Get(BOOL_, 1), 0u);
    Put(INT_, 10, 0x81);  // a node id with bit 7: 38, nothing sent
    Put(BOOL_, 1, 1);
    Call("CANOPENSETNMT", {1, 10, 2, 30});
    EXPECT_EQ(Get(INT_, 30), 38u);
    EXPECT_EQ(Get(BOOL_, 1), 0u);
    EXPECT_EQ(nmt_frames(), (std::vector<std::vector<uint8_t>>{}));
    co.master = master;
    // CANOPENRCEMC: element 0 the status (255 idle, 254 waiting, 0 received),
    // the 8 bytes of the emergency message into elements 1 to 4, element 5
    // untouched
    Emcy_RecMsg = EmcyRec{};
    for (uint32_t k = 0; k < 6; k++) Put(INT_, 10 + k, 0x1111);
    Put(INT_, 10, 255);
    Put(BOOL_, 1, 1);
    Call("CANOPENRCEMC", {1, 10, 6});
    EXPECT_EQ(Get(INT_, 10), 254u);
    EXPECT_EQ(Emcy_RecMsg.flags, 1u);
    Emcy_RecMsg.flags = 3;  // a message came in
    Emcy_RecMsg.data = {0x10, 0x81, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66};
    Put(BOOL_, 1, 1);
    Call("CANOPENRCEMC", {1, 10, 6});
    EXPECT_EQ(Get(INT_, 10), 0u);
    EXPECT_EQ(Get(INT_, 11), 0x8110u);
    EXPECT_EQ(Get(INT_, 12), 0x2211u);
    EXPECT_EQ(Get(INT_, 13), 0x4433u);
    EXPECT_EQ(Get(INT_, 14), 0x6655u);
    EXPECT_EQ(Get(INT_, 15), 0x1111u);
    EXPECT_EQ(Emcy_RecMsg.flags, 0u);
    Put(BOOL_, 1, 0);
    Call("CANOPENRCEMC", {1, 10, 6});
    EXPECT_EQ(Get(INT_, 10), 255u);
    // CANOPENRCEMCDEV: the node (INT 2) first, then the emergency array:
    // element 0 the status, elements 1 to 4 the message; a node above 127
    // gives 38 and arms nothing
    Emcy_RecMsg = EmcyRec{};
    for (uint32_t k = 0; k < 5; k++) Put(INT_, 10 + k, 0x1111);
    Put(INT_, 10, 255);
    Put(INT_, 2, 200);
    Put(BOOL_, 1, 1);
    Call("CANOPENRCEMCDEV", {1, 2, 10, 5});
    EXPECT_EQ(Get(INT_, 10), 38u);
    EXPECT_EQ(Emcy_RecMsg.flags, 0u);
    Put(INT_, 10, 255);
    Put(INT_, 2, 0x21);
    Put(BOOL_, 1, 1);
    Call("CANOPENRCEMCDEV", {1, 2, 10, 5});
    EXPECT_EQ(Get(INT_, 10), 254u);
    EXPECT_EQ(Emcy_RecMsg.flags, 1u);
    EXPECT_EQ(Emcy_RecMsg.node, 0x21u);
    Emcy_RecMsg.flags = 3;
    Emcy_RecMsg.data = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};
    Put(BOOL_, 1, 1);
    Call("CANOPENRCEMCDEV", {1, 2, 10, 5});
    EXPECT_EQ(Get(INT_, 10), 0u);
    EXPECT_EQ(Get(INT_, 11), 0x0201u);
    EXPECT_EQ(Get(INT_, 12), 0x0403u);
    EXPECT_EQ(Get(INT_, 13), 0x0605u);
    EXPECT_EQ(Get(INT_, 14), 0x0807u);
    EXPECT_EQ(Get(INT_, 2), 0x21u);
    Put(BOOL_, 1, 0);
    Call("CANOPENRCEMCDEV", {1, 2, 10, 5});
    EXPECT_EQ(Get(INT_, 10), 255u);
}
// CANOPENSDOREAD of the own dictionary's device name (object 0x1008, the six
// model characters at register byte 516): the data go to the result array
// from element 4 on and stop at its end, by its size operand; the length
// element still tells the object's 6 bytes.
TEST_F(BlkLib, CanopenSdoReadStopsAtTheResultArray) {
    co.NMT_State = NMT_PREOP;
    SDO_St = SdoState{};
    const char model[] = "ABCDEF";
    std::memcpy(&plc_reg[516], model, 6);
    struct Row {
        uint16_t size;               // result array size operand
        std::vector<uint16_t> want;  // INT 34 .. 37 afterwards
    };
    const Row rows[] = {
        {5, {0x4241, 0x2222, 0x2222, 0x2222}},
        {6, {0x4241, 0x4443, 0x2222, 0x2222}},
        {7, {0x4241, 0x4443, 0x4645, 0x2222}},
        {12, {0x4241, 0x4443, 0x4645, 0x2222}},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.size);
        Put(INT_, 10, 0);       // node 0: the own dictionary
        Put(INT_, 11, 0x1008);  // index
        Put(INT_, 12, 0);       // sub-index
        Put(INT_, 30, 255);     // status idle
        for (uint32_t k = 31; k < 38; k++) Put(INT_, k, 0x2222);
        Put(BOOL_, 1, 1);
        Call("CANOPENSDOREAD", {1, 10, 3, 30, r.size});
        EXPECT_EQ(Get(BOOL_, 1), 1u);
        EXPECT_EQ(Get(INT_, 30), 0u);
        EXPECT_EQ(Get(INT_, 33), 6u);  // the length, the whole INT
        for (uint32_t k = 0; k < 4; k++) EXPECT_EQ(Get(INT_, 34 + k), r.want[k]) << "INT " << 34 + k;
        Put(BOOL_, 1, 0);
        Call("CANOPENSDOREAD", {1, 10, 3, 30, r.size});
        EXPECT_EQ(Get(INT_, 30), 255u);
    }
    // A size operand beyond the section: the data stop at the section's end.
    for (uint32_t k = 58; k < 63; k++) Put(INT_, k, 0x2222);
    Put(INT_, 58, 255);
    Put(BOOL_, 1, 1);
    Call("CANOPENSDOREAD", {1, 10, 3, 58, 8});
    EXPECT_EQ(Get(INT_, 58), 0u);
    EXPECT_EQ(Get(INT_, 62), 0x4241u);
    // CANOPENGETSTATE of node 0, the own state (pre-operational, 0x7F): the
    // whole INT output holds it, not only its low byte; execute drops
    Put(INT_, 40, 0);
    Put(INT_, 41, 0xFFFF);
    Put(BOOL_, 1, 1);
    Call("CANOPENGETSTATE", {1, 40, 41});
    EXPECT_EQ(Get(INT_, 41), 0x007Fu);
    EXPECT_EQ(Get(BOOL_, 1), 0u);
    // execute 0: nothing read
    co.NMT_State = NMT_OPER;
    Call("CANOPENGETSTATE", {1, 40, 41});
    EXPECT_EQ(Get(INT_, 41), 0x007Fu);
    Put(BOOL_, 1, 1);
    Call("CANOPENGETSTATE", {1, 40, 41});
    EXPECT_EQ(Get(INT_, 41), 5u);
    co.NMT_State = NMT_INIT;
}

// CANOPENSDOWRITE stays inside its arrays. A refused write (the node not
// running: status 34, abort code 0x08000022) puts the 32-bit abort code into
// request elements 4 and 5 as far as the request array reaches: a 5-element
// array keeps its low half, the INT behind it is untouched. The data of a
// write are result element 2 on: a length whose bytes lie past the result
// array (by its size operand or its section) is refused whole.
TEST_F(BlkLib, CanopenSdoWriteStaysInsideItsArrays) {
    SDO_St = SdoState{};
    struct Row {
        uint8_t nmt;
        uint16_t req_size, res_first, res_size, len;
        uint16_t status;                 // request element 3 afterwards
        std::vector<uint16_t> req_tail;  // INT 14, 15 afterwards
        uint8_t exec;
        uint32_t sync_us;  // SYNC period (object 0x1006) afterwards
    };
    const Row rows[] = {
        {NMT_INIT, 5, 30, 3, 2, 34, {0x0022, 0x5555}, 0, 4000},
        {NMT_INIT, 6, 30, 3, 2, 34, {0x0022, 0x0800}, 0, 4000},
        {NMT_PREOP, 5, 30, 3, 4, 255, {0x5555, 0x5555}, 1, 4000},  // 4 bytes in room for 2: refused
        {NMT_PREOP, 5, 30, 3, 300, 255, {0x5555, 0x5555}, 1, 4000},
        {NMT_PREOP, 5, 61, 4, 4, 255, {0x5555, 0x5555}, 1, 4000},  // its size says 4, its section holds 3
        {NMT_PREOP, 5, 30, 4, 4, 0, {0x5555, 0x5555}, 1, 0x00012345 / 100 * 100},
        {NMT_PREOP, 5, 60, 4, 4, 0, {0x5555, 0x5555}, 1, 0x00012345 / 100 * 100},  // the section's last INT
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(testing::Message() << r.req_size << " " << r.res_first << " " << r.res_size << " " << r.len);
        co.NMT_State = r.nmt;
        co.sync_period = 40;
        for (uint32_t k = 10; k < 64; k++) Put(INT_, k, 0x5555);
        Put(INT_, 10, 0);       // node 0: the own dictionary
        Put(INT_, 11, 0x1006);  // SYNC period
        Put(INT_, 12, 0);
        Put(INT_, 13, 255);
        Put(INT_, r.res_first + 1, r.len);
        Put(INT_, r.res_first + 2, 0x2345);
        if (r.res_first + 3 < 64) Put(INT_, r.res_first + 3, 0x0001);
        Put(BOOL_, 1, 1);
        Call("CANOPENSDOWRITE", {1, 10, r.req_size, r.res_first, r.res_size});
        EXPECT_EQ(Get(INT_, 13), r.status);
        EXPECT_EQ(Get(INT_, 14), r.req_tail[0]);
        EXPECT_EQ(Get(INT_, 15), r.req_tail[1]);
        EXPECT_EQ(Get(BOOL_, 1), r.exec);
        EXPECT_EQ(co.sync_period * 100, r.sync_us);
        EXPECT_EQ(Get(INT_, r.res_first), 0x5555u);
        EXPECT_EQ(Get(INT_, r.res_first + 1), r.len);
        for (uint32_t k = 16; k < 64; k++) {
            if (k >= r.res_first && k <= r.res_first + 3u) continue;
            EXPECT_EQ(Get(INT_, k), 0x5555u) << "INT " << k;
        }
        Put(BOOL_, 1, 0);
        Call("CANOPENSDOWRITE", {1, 10, r.req_size, r.res_first, r.res_size});
        EXPECT_EQ(Get(INT_, 13), 255u);  // execute 0 always releases, whatever the length says
    }
    co.NMT_State = NMT_INIT;
}

// File blocks against the card file manager of a fresh root: ownership of
// the read/write group, the write and read round trip on A:, refusals, and
// copy, delete and rename.
TEST_F(BlkLib, FileBlocksOwnershipRoundTripAndRefusals) {
    MediaUp();
    auto pass = [] { MediaPass(); };
    const uint32_t a = Inst(56), b = Inst(56), rd = Inst(44), cp = Inst(294), del = Inst(290), ren = Inst(8);
    // BOOL: enables of a, b, read, copy, delete, rename; the line-break flag.
    for (uint32_t k = 0; k < 6; k++) Put(BOOL_, k, 1);
    Put(BOOL_, 10, 1);
    const int16_t data[] = {10, -20, 30, 40};
    for (uint32_t k = 0; k < 4; k++) Put(INT_, k, uint16_t(data[k]));
    Put(INT_, 10, 3);  // elements to write
    Put(INT_, 11, 3);  // elements per line
    Put(INT_, 12, 3);  // elements to read
    Put(DINT_, 0, 3);  // write mode: replace
    Put(DINT_, 1, 5);  // element format: signed 16-bit decimal
    Put(DINT_, 2, 1);  // formatted values
    Put(DINT_, 6, 0);  // read from the first field
    SetStr(1, "A:\\OUT\\B1.CSV");
    SetStr(2, "A:\\OUT\\C1.CSV");
    SetStr(3, "");
    SetStr(4, "A:\\OUT\\R1.CSV");
    auto write = [&](uint16_t en, uint16_t status) {
        return std::vector<uint16_t>{INT_, en, 0, 1, 1, 0, 4, 10, 11, 2, 10, status};
    };
    const std::vector<uint16_t> read = {INT_, 2, 1, 1, 6, 12, 20, 10, 2, 5};
    auto status = [&](uint32_t k) { return int32_t(Get(DINT_, k)); };

    // A type code outside the blocks' list (4, TIME) writes nothing, enabled
    // or not, and posts nothing: the status keeps its value and the owner
    // word stays free for the writers below.
    {
        const uint32_t odd = Inst(56), odd_rd = Inst(44);
        Put(DINT_, 15, 1234);
        Put(DINT_, 16, 5678);
        for (uint16_t en : {uint16_t(0), uint16_t(1)}) {
            Put(BOOL_, 7, en);
            std::vector<uint16_t> w = write(7, 15), r = read;
            w[0] = TIME_;
            r[0] = TIME_;
            r[1] = 7;
            r[9] = 16;
            Call("WRITE_CF", w, odd);
            Call("READ_CF", r, odd_rd);
            EXPECT_EQ(status(15), 1234);
            EXPECT_EQ(status(16), 5678);
        }
    }

    // Two writers: the first owns the transfer, the second reads -3 until the
    // first is disabled, even after the first has finished.
    Call("WRITE_CF", write(0, 3), a);
    EXPECT_EQ(status(3), -2);
    Call("WRITE_CF", write(1, 4), b);
    EXPECT_EQ(status(4), -3);
    for (int i = 0; i < 50 && status(3) == -2; i++) {
        pass();
        Call("WRITE_CF", write(0, 3), a);
    }
    EXPECT_EQ(status(3), 0x30000);  // done, three elements
    EXPECT_EQ(Call("WRITE_CF", write(1, 4), b), 0u);
    EXPECT_EQ(status(4), -3);
    std::string text;
    {
        std::FILE *f = std::fopen((root / "mnt/USB0/OUT/B1.CSV").c_str(), "rb");
        ASSERT_NE(f, nullptr);
        char buf[64] = {};
        text.assign(buf, std::fread(buf, 1, sizeof buf, f));
        std::fclose(f);
    }
    EXPECT_EQ(text, "10,-20,30\r\n");
    Put(BOOL_, 0, 0);
    Call("WRITE_CF", write(0, 3), a);
    EXPECT_EQ(status(3), -4);
    Call("WRITE_CF", write(1, 4), b);
    EXPECT_EQ(status(4), -2);
    for (int i = 0; i < 50 && status(4) == -2; i++) {
        pass();
        Call("WRITE_CF", write(1, 4), b);
    }
    EXPECT_EQ(status(4), 0x30000);
    Put(BOOL_, 1, 0);
    Call("WRITE_CF", write(1, 4), b);

    // Read it back into INT[10] from element 20. Answered but not yet
    // collected, the read still holds the shared channel: the rename block
    // finds it taken (-3), and the read collects its own rows.
    Call("READ_CF", read, rd);
    pass();
    pass();
    pass();
    EXPECT_EQ(dpram[DP_FILE_REQ], dpram[DP_FILE_ACK]);
    Call("RENAME_CF", {5, 2, 4, 9}, ren);
    EXPECT_EQ(status(9), -3);
    for (int i = 0; i < 50 && status(5) == -2; i++) {
        pass();
        Call("READ_CF", read, rd);
    }
    EXPECT_EQ(status(5), 0x30000);
    EXPECT_EQ(int16_t(Get(INT_, 20)), 10);
    EXPECT_EQ(int16_t(Get(INT_, 21)), -20);
    EXPECT_EQ(int16_t(Get(INT_, 22)), 30);
    Put(BOOL_, 2, 0);
    Call("READ_CF", read, rd);
    EXPECT_EQ(status(5), -4);
    // A read disabled before it collected its answer hands the channel
    // back: the rename below posts.
    Put(BOOL_, 2, 1);
    Call("READ_CF", read, rd);
    EXPECT_EQ(status(5), -2);
    pass();
    pass();
    pass();
    Put(BOOL_, 2, 0);
    Call("READ_CF", read, rd);
    EXPECT_EQ(status(5), -4);

    // Empty paths: 66 without a job.
    Call("DELETE_CF", {4, 3, 7}, del);
    EXPECT_EQ(status(7), 66);
    Put(BOOL_, 4, 0);
    Call("DELETE_CF", {4, 3, 7}, del);
    EXPECT_EQ(status(7), -4);
    Call("COPY_CF", {3, 1, 3, 8}, cp);
    EXPECT_EQ(status(8), 66);
    Put(BOOL_, 3, 0);
    Call("COPY_CF", {3, 1, 3, 8}, cp);
    // A copy that runs, then a rename of the copy.
    Put(BOOL_, 3, 1);
    Call("COPY_CF", {3, 1, 2, 8}, cp);
    for (int i = 0; i < 2000 && status(8) == -2; i++) {
        File_JobsIdle(10);
        Call("COPY_CF", {3, 1, 2, 8}, cp);
    }
    EXPECT_EQ(status(8), 0);
    // The finished copy keeps the owner word while enabled; command 6 of
    // any block of the group frees it: a DELETE_CF made then is not
    // refused as another's (its empty path gives 66).
    Put(BOOL_, 4, 1);
    Call("DELETE_CF", {4, 3, 7}, del);
    EXPECT_EQ(status(7), -3);
    const uint32_t del2 = Inst(290);
    Call("DELETE_CF", {}, del2, FB_INSTINIT);
    Call("DELETE_CF", {4, 3, 7}, del2);
    EXPECT_EQ(status(7), 66);
    Put(BOOL_, 4, 0);
    Put(BOOL_, 3, 0);
    Call("COPY_CF", {3, 1, 2, 8}, cp);
    EXPECT_EQ(status(8), -4);
    Call("RENAME_CF", {5, 2, 4, 9}, ren);
    for (int i = 0; i < 50 && status(9) == -2; i++) {
        pass();
        Call("RENAME_CF", {5, 2, 4, 9}, ren);
    }
    EXPECT_EQ(status(9), 0);
    struct stat st {};
    EXPECT_EQ(::stat((root / "mnt/USB0/OUT/R1.CSV").c_str(), &st), 0);
    EXPECT_NE(::stat((root / "mnt/USB0/OUT/C1.CSV").c_str(), &st), 0);
    // READ_CF2: the renamed copy, its name in a BYTE array of 20.
    PutBytes(40, std::string("A:\\OUT\\R1.CSV") + '\0');
    Put(BOOL_, 2, 1);
    const std::vector<uint16_t> read2 = {INT_, 2, 1, 40, 20, 6, 12, 30, 10, 2, 10};
    Call("READ_CF2", read2, rd);
    for (int i = 0; i < 50 && status(10) == -2; i++) {
        pass();
        Call("READ_CF2", read2, rd);
    }
    EXPECT_EQ(status(10), 0x30000);
    EXPECT_EQ(int16_t(Get(INT_, 31)), -20);
    File_JobsIdle(5000);
}

// NET word blocks: the area comes from the symbol of the area array in the
// variable map; words go through the global-word helpers and CAN requests.
TEST_F(BlkLib, NetworkWordBlocksFollowTheAreaSymbol) {
    Z7Def_Stop(db, nullptr, "/mnt/cfg/z7.ret", "APP");
    db = 0;
    IecImage img;
    img.d8 = img.d16 = img.d32 = img.d64 = img.time = {63, 63, 0};
    img.str = {8, 8, 0};
    img.string_sizes = {16, 16, 16, 16, 16, 16, 16, 4};
    img.map_vars = {{INT_, 40, 4, 0, 0, 1, "AQG", {}}, {BOOL_, 10, 2, 0, 0, 1, "QG", {}},
                    {INT_, 44, 4, 0, 0, 1, "AQ", {}},  {INT_, 48, 2, 0, 0, 1, "R", {}},
                    {INT_, 50, 2, 0, 0, 1, "AI", {}},  {INT_, 52, 2, 0, 0, 1, "AIG", {}},
                    {BOOL_, 60, 2, 0, 0, 1, "IG", {}}, {INT_, 54, 2, 0, 0, 1, "I", {}},
                    {INT_, 56, 2, 0, 0, 1, "Q", {}},   {DINT_, 50, 2, 0, 0, 1, "AQG", {}}};
    ASSERT_EQ(Start(img, db), 0u);
    static std::vector<std::string> traced;
    traced.clear();
    Blk_Hooks.trace = [](const char *line) { traced.emplace_back(line); };
    Net_Data = {};
    _Can_FlushTx(0);
    PlcWordSet(W_NETID, 5);
    PlcWordSet(188, 1);
    auto frames = [] {
        std::vector<std::pair<uint32_t, uint8_t>> f;  // id, remote
        CanRing &r = CanPort[0].tx;
        for (uint16_t k = 0, i = r.out; k < r.count; k++, i = uint16_t((i + 1) % CAN_RING))
            f.emplace_back(r.msg[i].id, r.msg[i].rtr);
        _Can_FlushTx(0);
        return f;
    };
    using F = std::vector<std::pair<uint32_t, uint8_t>>;
    auto inst = [&] {
        const uint32_t i = Inst(4);
        EXPECT_EQ(Call("NETGETWORD", {}, i, FB_INSTSIZE), 4u);
        Call("NETGETWORD", {}, i, FB_INSTINIT);
        return i;
    };
    Put(INT_, 1, 5);  // node
    Put(INT_, 2, 1);  // first analog word
    Put(INT_, 3, 3);  // words
    for (uint32_t k = 0; k < 4; k++) Put(INT_, 10 + k, 0x1111u * (k + 1));

    // Analog: three words of node 5 queued from word 1.
    const uint32_t put = inst(), get = inst(), ex = inst();
    const std::vector<uint16_t> put_ops = {INT_, 1, 10, 4, 40, 2, 3};
    Call("NETPUTWORD", put_ops, put);
    EXPECT_EQ(Net_Data[5].aqg_valid, 0x0Eu);
    EXPECT_EQ(Net_Data[5].aqg[1], 0x1111);
    EXPECT_EQ(Net_Data[5].aqg[3], 0x3333);
    // The getter's first call only asks (remote frame 5 x 8 + 3), which
    // drops what was valid; queued again, the words arrive.
    const std::vector<uint16_t> get_ops = {INT_, 1, 40, 2, 20, 4, 3};
    Call("NETGETWORD", get_ops, get);
    EXPECT_EQ(frames(), (F{{43, 1}}));
    EXPECT_EQ(Get(INT_, 20), 0u);
    Call("NETGETWORD", get_ops, get);
    EXPECT_EQ(Get(INT_, 20), 0u);
    Call("NETPUTWORD", put_ops, put);
    Call("NETGETWORD", get_ops, get);
    EXPECT_EQ(Get(INT_, 20), 0x1111u);
    EXPECT_EQ(Get(INT_, 22), 0x3333u);
    EXPECT_EQ(Get(INT_, 23), 0u);
    // Every one of the count words must be valid, however few the data
    // array holds: four words from word 1 with word 4 not valid copy
    // nothing into an array of 2; once all four are, the first two land.
    const uint32_t small = inst();
    Put(INT_, 7, 4);
    for (uint32_t k = 0; k < 3; k++) Put(INT_, 24 + k, 0x7777);
    const std::vector<uint16_t> small_ops = {INT_, 1, 40, 2, 24, 2, 7};
    Call("NETGETWORD", small_ops, small);  // the request
    EXPECT_EQ(frames(), (F{{43, 1}}));
    Call("NETPUTWORD", put_ops, put);
    Call("NETGETWORD", small_ops, small);
    EXPECT_EQ(Get(INT_, 24), 0x7777u);
    EXPECT_EQ(Get(INT_, 25), 0x7777u);
    const uint16_t four[4] = {0x0A0A, 0x0B0B, 0x0C0C, 0x0D0D};
    EXPECT_EQ(Z7Net_QueAQG(5, 1, four, 4), 1u);
    Call("NETGETWORD", small_ops, small);
    EXPECT_EQ(Get(INT_, 24), 0x0A0Au);
    EXPECT_EQ(Get(INT_, 25), 0x0B0Bu);
    EXPECT_EQ(Get(INT_, 26), 0x7777u);

    // On change: the first call queues, an unchanged one only checks, a
    // changed word queues again; the trigger always queues.
    const std::vector<uint16_t> ex_ops = {INT_, 1, 10, 4, 40, 2, 3, 0};
    Put(BOOL_, 0, 0);
    Net_Data[5].aqg_valid = 0;
    Call("NETPUTWORDEX", ex_ops, ex);
    EXPECT_EQ(Net_Data[5].aqg_valid, 0x0Eu);
    Net_Data[5].aqg_valid = 0;
    Call("NETPUTWORDEX", ex_ops, ex);
    EXPECT_EQ(Net_Data[5].aqg_valid, 0u);
    Put(INT_, 11, 0x0BEE);
    Call("NETPUTWORDEX", ex_ops, ex);
    EXPECT_EQ(Net_Data[5].aqg_valid, 0x0Eu);
    EXPECT_EQ(Net_Data[5].aqg[2], 0x0BEE);
    Net_Data[5].aqg_valid = 0;
    Put(BOOL_, 0, 1);
    Call("NETPUTWORDEX", ex_ops, ex);
    EXPECT_EQ(Net_Data[5].aqg_valid, 0x0Eu);

    // Digital: sixteen BOOLs packed into word 16 / 16 = 1, and back.
    Put(INT_, 4, 16);
    Put(INT_, 5, 1);
    for (uint32_t k = 0; k < 16; k++) Put(BOOL_, 20 + k, k == 0 || k == 15);
    const uint32_t dput = inst(), dget = inst();
    Call("NETPUTWORD", {BOOL_, 1, 20, 16, 10, 4, 5}, dput);
    EXPECT_EQ(Net_Data[5].qg[1], 0x8001);
    EXPECT_EQ(Net_Data[5].qg_valid, 0x2u);
    const std::vector<uint16_t> dget_ops = {BOOL_, 1, 10, 4, 40, 16, 5};
    Call("NETGETWORD", dget_ops, dget);
    EXPECT_EQ(frames(), (F{{40, 1}}));  // a local node keeps its words
    Call("NETGETWORD", dget_ops, dget);
    std::string bits;
    for (uint32_t k = 0; k < 16; k++) bits.push_back(char('0' + Get(BOOL_, 40 + k)));
    EXPECT_EQ(bits, "1000000000000001");
    // On change, digital: a run's reference copy lies at previous-scan
    // byte 32 plus twice the start operand, so starts 16 and 17 (both
    // word 1) keep copies of their own: the second queues its word too.
    for (uint32_t k = 32; k < 128; k++) old_reg[k] = 0;
    Put(BOOL_, 0, 0);
    Put(INT_, 6, 17);
    const uint32_t dex1 = inst(), dex2 = inst();
    Net_Data[5].qg_valid = 0;
    Call("NETPUTWORDEX", {BOOL_, 1, 20, 16, 10, 4, 5, 0}, dex1);
    EXPECT_EQ(Net_Data[5].qg_valid, 0x2u);
    EXPECT_EQ(LE_Get16(&old_reg[64]), 0x8001u);
    Net_Data[5].qg_valid = 0;
    Call("NETPUTWORDEX", {BOOL_, 1, 20, 16, 10, 6, 5, 0}, dex2);
    EXPECT_EQ(Net_Data[5].qg_valid, 0x2u);
    EXPECT_EQ(LE_Get16(&old_reg[66]), 0x8001u);
    Net_Data[5].qg_valid = 0;
    Call("NETPUTWORDEX", {BOOL_, 1, 20, 16, 10, 6, 5, 0}, dex2);  // unchanged: checks only
    EXPECT_EQ(Net_Data[5].qg_valid, 0u);

    // "AQ" is an input area (nothing queued); an unknown symbol does nothing.
    Net_Data[5] = {};
    const uint32_t aq = inst(), none = inst();
    Call("NETPUTWORD", {INT_, 1, 10, 4, 44, 2, 3}, aq);
    Call("NETGETWORD", {INT_, 1, 48, 2, 20, 4, 3}, none);
    EXPECT_EQ(Net_Data[5].aqg_valid, 0u);
    EXPECT_TRUE(frames().empty());
    EXPECT_EQ(traced, (std::vector<std::string>{"NETPUTW plc type 4n", "NETGETW plc type 4.........\n",
                                                "NETGETW plc type 4.........\n", "NETPUTWEX plc type 4n",
                                                "NETPUTW plc type 5n", "NETGETW plc type 5.........\n",
                                                "NETPUTWEX plc type 5n", "NETPUTWEX plc type 5n", "NETPUTW plc type 3n",
                                                "NETGETW plc type 0.........\n"}));
    // Every area symbol and its kind as the first call traces it: "AI" 1,
    // "AIG" 3, "IG" 6, "I" 7, "Q" 8; a DINT array named "AQG" is 4, the
    // same array given as REAL names no area. AIG is read as AQG and IG as
    // QG: the first call asks for the node's words (5 x 8 + 3, 5 x 8 + 0).
    struct AreaRow {
        uint16_t type, index;
        const char *line;
        F sent;
    };
    const AreaRow area_rows[] = {
        {INT_, 50, "NETGETW plc type 1.........\n", {}},
        {INT_, 52, "NETGETW plc type 3.........\n", {{43, 1}}},
        {BOOL_, 60, "NETGETW plc type 6.........\n", {{40, 1}}},
        {INT_, 54, "NETGETW plc type 7.........\n", {}},
        {INT_, 56, "NETGETW plc type 8.........\n", {}},
        {DINT_, 50, "NETGETW plc type 4.........\n", {{43, 1}}},
        {REAL_, 50, "NETGETW plc type 0.........\n", {}},
    };
    for (const AreaRow &r : area_rows) {
        SCOPED_TRACE(r.line);
        traced.clear();
        const uint32_t i = inst();
        Call("NETGETWORD", {r.type, 1, r.index, 2, 20, 4, 3}, i);
        EXPECT_EQ(traced, std::vector<std::string>{r.line});
        EXPECT_EQ(frames(), r.sent);
    }
}

// An application with a complex-type segment: the CANopen blocks' INT
// arrays are named by DINTs holding their offsets there.
class BlkLibComplex : public BlkLib {
protected:
    void SetUp() override { Boot(64); }
};

TEST_F(BlkLibComplex, CanopenArraysLieInTheComplexTypeSegment) {
    const uint32_t ct = Z7Sec_Addr(db, Z7SEC_CT);
    ASSERT_NE(ct, 0u);
    // CANOPENRCEMC without execute: status 255 goes to the emergency
    // array's first element, at segment byte 16 (DINT 10), not to INT 10
    for (uint32_t k = 0; k < 8; k++) {
        Z7Mem_Put16(ct + 16 + 2 * k, 0x1111);
        Put(INT_, 10 + k, 0x1111);
    }
    Put(DINT_, 10, 16);
    Put(BOOL_, 1, 0);
    Call("CANOPENRCEMC", {1, 10, 6});
    EXPECT_EQ(Z7Mem_Get16(ct + 16), 255u);
    EXPECT_EQ(Get(INT_, 10), 0x1111u);
    // an array passing the segment's end: nothing written
    Put(DINT_, 10, 56);
    Z7Mem_Put16(ct + 56, 0x1111);
    Call("CANOPENRCEMC", {1, 10, 6});
    EXPECT_EQ(Z7Mem_Get16(ct + 56), 0x1111u);
}

// The bit and array-move blocks find their arrays in the complex-type
// segment: BITSET's words at segment byte 0, MVB from byte 8 to byte 16,
// FILL at byte 24, MULTIROT at byte 40; the typed INTs and DINTs at the
// operands' own indices stay.
TEST_F(BlkLibComplex, BitAndMoveArraysLieInTheComplexTypeSegment) {
    const uint32_t ct = Z7Sec_Addr(db, Z7SEC_CT);
    ASSERT_NE(ct, 0u);
    for (uint32_t k = 0; k < 32; k++) Z7Mem_Put16(ct + 2 * k, 0);
    for (uint32_t k = 0; k < 40; k++) {
        Put(INT_, k, 0x1111);
        if (k >= 10) Put(DINT_, k, 0x22222222u);
    }
    // BITSET bit 18 (word 1, bit 1) of a 2-word array at byte 0
    Put(DINT_, 1, 0);
    Put(INT_, 40, 18);
    Put(BOOL_, 41, 0);
    Call("BITSET", {1, 2, 4, 40, 41});
    EXPECT_EQ(Get(BOOL_, 41), 1u);
    EXPECT_EQ(Z7Mem_Get16(ct + 2), 0x0002u);
    Call("BITTEST", {1, 2, 4, 40, 41});
    EXPECT_EQ(Get(BOOL_, 41), 1u);
    // MVB INT [7, 8, 9] at byte 8 -> byte 16, count 2
    for (uint32_t k = 0; k < 3; k++) Z7Mem_Put16(ct + 8 + 2 * k, uint16_t(7 + k));
    Put(DINT_, 2, 8);
    Put(DINT_, 3, 16);
    Put(INT_, 40, 2);
    Call("MVB", {INT_, 2, 3, 3, 3, 40});
    EXPECT_EQ(Z7Mem_Get16(ct + 16), 7u);
    EXPECT_EQ(Z7Mem_Get16(ct + 18), 8u);
    EXPECT_EQ(Z7Mem_Get16(ct + 20), 0u);
    // FILL DINT 16#1234 count 2 at byte 24
    Put(DINT_, 4, 24);
    Put(INT_, 41, 0x1234);
    Call("FILL", {DINT_, 41, 4, 3, 40});
    EXPECT_EQ(Z7Mem_Get32(ct + 24), 0x12341234u);
    EXPECT_EQ(Z7Mem_Get32(ct + 28), 0x12341234u);
    EXPECT_EQ(Z7Mem_Get32(ct + 32), 0u);
    // MULTIROT INT [1, 2, 3] at byte 40 by one, direction 0
    for (uint32_t k = 0; k < 3; k++) Z7Mem_Put16(ct + 40 + 2 * k, uint16_t(1 + k));
    Put(DINT_, 5, 40);
    Put(INT_, 42, 1);
    Put(DINT_, 43, 3);
    Put(BOOL_, 44, 0);
    Call("MULTIROT", {INT_, 42, 5, 3, 43, 44});
    EXPECT_EQ(Z7Mem_Get16(ct + 40), 2u);
    EXPECT_EQ(Z7Mem_Get16(ct + 42), 3u);
    EXPECT_EQ(Z7Mem_Get16(ct + 44), 1u);
    for (uint32_t k = 0; k < 6; k++) EXPECT_EQ(Get(INT_, k), 0x1111u) << k;
    for (uint32_t k = 10; k < 40; k++) EXPECT_EQ(Get(DINT_, k), 0x22222222u) << k;
}

// NETGETREMOTEI writes node 9's digital words into its INT array in the
// complex-type segment (byte 48), not at INT 10.
TEST_F(BlkLibComplex, RemoteWordsLieInTheComplexTypeSegment) {
    const uint32_t ct = Z7Sec_Addr(db, Z7SEC_CT);
    ASSERT_NE(ct, 0u);
    Net_Data = {};
    _Can_FlushTx(0);
    PlcWordSet(W_NETID, 1);
    PlcWordSet(188, 1);
    ASSERT_NE(CANOpen_NetDataRx, nullptr);
    Z7Mem_Put16(ct + 48, 0x3333);
    Z7Mem_Put16(ct + 50, 0x3333);
    Put(INT_, 10, 0x1111);
    Put(INT_, 11, 0x1111);
    Put(DINT_, 10, 48);
    Put(INT_, 2, 9);
    Put(INT_, 12, 2);
    const uint32_t ri = Inst(1);
    Call("NETGETREMOTEI", {}, ri, FB_INSTINIT);
    Call("NETGETREMOTEI", {2, 10, 12}, ri);  // the request
    CanMsg m{4, 0, 72, {0x34, 0x12, 0x78, 0x56}};
    CANOpen_NetDataRx(m);
    Call("NETGETREMOTEI", {2, 10, 12}, ri);
    EXPECT_EQ(Z7Mem_Get16(ct + 48), 0x1234u);
    EXPECT_EQ(Z7Mem_Get16(ct + 50), 0x5678u);
    EXPECT_EQ(Get(INT_, 10), 0x1111u);
    EXPECT_EQ(Get(INT_, 11), 0x1111u);
    _Can_FlushTx(0);
}

// The NET word blocks find their area and data arrays in the complex-type
// segment: the area variables "AQG" (segment byte 16) and "QG" (byte 8) are
// named there, the data arrays lie at bytes 32 (INT) and 0 (BOOL); the
// typed INTs and BOOLs at the operands' own indices stay.
TEST_F(BlkLibComplex, NetworkWordArraysLieInTheComplexTypeSegment) {
    Z7Def_Stop(db, nullptr, "/mnt/cfg/z7.ret", "APP");
    db = 0;
    IecImage img;
    img.ct_alloc = img.ct_used = 64;
    img.d8 = img.d16 = img.d32 = img.d64 = img.time = {63, 63, 0};
    img.str = {8, 8, 0};
    img.string_sizes = {16, 16, 16, 16, 16, 16, 16, 4};
    img.map_vars = {{127, 0, 1, 0, 0, 0x101, "AQG", {16, 0, 0, 0, 0, 0, 0, 0}},
                    {127, 0, 1, 0, 0, 0x101, "QG", {8, 0, 0, 0, 0, 0, 0, 0}}};
    ASSERT_EQ(Start(img, db), 0u);
    const uint32_t ct = Z7Sec_Addr(db, Z7SEC_CT);
    ASSERT_NE(ct, 0u);
    Net_Data = {};
    _Can_FlushTx(0);
    PlcWordSet(W_NETID, 5);
    PlcWordSet(188, 1);
    for (uint32_t k = 0; k < 32; k++) Z7Mem_Put16(ct + 2 * k, 0);
    for (uint32_t k = 0; k < 3; k++) Z7Mem_Put16(ct + 32 + 2 * k, uint16_t(0xA1 + k));
    for (uint32_t k = 0; k < 40; k++) {
        Put(INT_, 10 + k, 0x1111);
        Put(BOOL_, 10 + k, 1);
    }
    Put(DINT_, 40, 16);  // the analog area
    Put(DINT_, 41, 8);   // the digital area
    Put(DINT_, 10, 32);  // analog data
    Put(DINT_, 11, 40);  // analog data read back
    Put(DINT_, 12, 0);   // BOOL data
    Put(INT_, 1, 5);     // node
    Put(INT_, 2, 1);     // first analog word
    Put(INT_, 3, 3);     // words
    auto inst = [&] {
        const uint32_t i = Inst(4);
        Call("NETGETWORD", {}, i, FB_INSTINIT);
        return i;
    };
    const uint32_t put = inst(), get = inst(), dput = inst();
    Call("NETPUTWORD", {INT_, 1, 10, 4, 40, 2, 3}, put);
    EXPECT_EQ(Net_Data[5].aqg_valid, 0x0Eu);
    EXPECT_EQ(Net_Data[5].aqg[1], 0xA1);
    EXPECT_EQ(Net_Data[5].aqg[3], 0xA3);
    const std::vector<uint16_t> get_ops = {INT_, 1, 40, 2, 11, 4, 3};
    Call("NETGETWORD", get_ops, get);  // the request
    Call("NETPUTWORD", {INT_, 1, 10, 4, 40, 2, 3}, put);
    Call("NETGETWORD", get_ops, get);
    EXPECT_EQ(Z7Mem_Get16(ct + 40), 0xA1u);
    EXPECT_EQ(Z7Mem_Get16(ct + 44), 0xA3u);
    // sixteen BOOLs at segment byte 0 (first and last set) into word 0
    Z7Mem_Put8(ct, 1);
    Z7Mem_Put8(ct + 15, 1);
    Put(INT_, 4, 0);
    Put(INT_, 5, 1);
    Call("NETPUTWORD", {BOOL_, 1, 12, 16, 41, 4, 5}, dput);
    EXPECT_EQ(Net_Data[5].qg_valid, 0x1u);
    EXPECT_EQ(Net_Data[5].qg[0], 0x8001);
    for (uint32_t k = 0; k < 40; k++) {
        EXPECT_EQ(Get(INT_, 10 + k), 0x1111u) << k;
        EXPECT_EQ(Get(BOOL_, 10 + k), 1u) << k;
    }
    _Can_FlushTx(0);
}

// The file blocks find their arrays in the complex-type segment: WRITE_CF2's
// name as a BYTE array at segment byte 0 and its INT data at byte 32, read
// back by READ_CF into the INT array at byte 48; the typed INTs and BYTEs at
// the operands' own indices stay.
TEST_F(BlkLibComplex, FileBlockArraysLieInTheComplexTypeSegment) {
    MediaUp();
    const uint32_t ct = Z7Sec_Addr(db, Z7SEC_CT);
    ASSERT_NE(ct, 0u);
    for (uint32_t k = 0; k < 64; k++) Z7Mem_Put8(ct + k, 0);
    const std::string name = "A:\\CT.CSV";
    for (size_t k = 0; k < name.size(); k++) Z7Mem_Put8(ct + uint32_t(k), uint8_t(name[k]));
    const int16_t data[] = {7, -8, 9};
    for (uint32_t k = 0; k < 3; k++) Z7Mem_Put16(ct + 32 + 2 * k, uint16_t(data[k]));
    for (uint32_t k = 20; k < 40; k++) {
        Put(INT_, k, 0x1111);
        Put(USINT_, k, 'X');
    }
    Put(DINT_, 20, 0);   // name array
    Put(DINT_, 21, 32);  // data written
    Put(DINT_, 22, 48);  // data read
    Put(BOOL_, 1, 1);
    Put(BOOL_, 2, 1);
    Put(INT_, 10, 3);  // elements
    Put(INT_, 11, 3);  // elements per line
    Put(DINT_, 0, 3);  // replace
    Put(DINT_, 1, 5);  // signed 16-bit decimal
    Put(DINT_, 2, 1);  // formatted values
    Put(DINT_, 6, 0);  // read from the first field
    Put(BOOL_, 3, 1);  // line break
    SetStr(1, "A:\\CT.CSV");
    const uint32_t w = Inst(56), r = Inst(44);
    Call("WRITE_CF2", {}, w, FB_INSTINIT);  // as the application's build: no owner
    const std::vector<uint16_t> write2 = {INT_, 1, 0, 1, 20, 16, 21, 4, 10, 11, 2, 3, 4};
    Call("WRITE_CF2", write2, w);
    for (int i = 0; i < 50 && int32_t(Get(DINT_, 4)) == -2; i++) {
        MediaPass();
        Call("WRITE_CF2", write2, w);
    }
    EXPECT_EQ(int32_t(Get(DINT_, 4)), 0x30000);
    std::string text;
    {
        std::FILE *f = std::fopen((root / "mnt/USB0/CT.CSV").c_str(), "rb");
        ASSERT_NE(f, nullptr);
        char buf[64] = {};
        text.assign(buf, std::fread(buf, 1, sizeof buf, f));
        std::fclose(f);
    }
    EXPECT_EQ(text, "7,-8,9\r\n");
    Put(BOOL_, 1, 0);
    Call("WRITE_CF2", write2, w);
    const std::vector<uint16_t> read = {INT_, 2, 1, 1, 6, 10, 22, 4, 2, 5};
    Call("READ_CF", read, r);
    for (int i = 0; i < 50 && int32_t(Get(DINT_, 5)) == -2; i++) {
        MediaPass();
        Call("READ_CF", read, r);
    }
    EXPECT_EQ(int32_t(Get(DINT_, 5)), 0x30000);
    EXPECT_EQ(int16_t(Z7Mem_Get16(ct + 48)), 7);
    EXPECT_EQ(int16_t(Z7Mem_Get16(ct + 50)), -8);
    EXPECT_EQ(int16_t(Z7Mem_Get16(ct + 52)), 9);
    for (uint32_t k = 20; k < 40; k++) {
        EXPECT_EQ(Get(INT_, k), 0x1111u) << k;
        EXPECT_EQ(Get(USINT_, k), uint8_t('X')) << k;
    }
    Put(BOOL_, 2, 0);
    Call("READ_CF", read, r);
}

// The text blocks find their BYTE arrays in the complex-type segment too:
// "-123" at segment byte 0, "-124" at byte 16, "2.5" at byte 8, SETSTRING's
// array at byte 24 and INTTOASCII's at byte 40; the typed bytes at the
// operands' own indices stay.
TEST_F(BlkLibComplex, TextArraysLieInTheComplexTypeSegment) {
    const uint32_t ct = Z7Sec_Addr(db, Z7SEC_CT);
    ASSERT_NE(ct, 0u);
    for (uint32_t k = 0; k < 64; k++) Z7Mem_Put8(ct + k, 0xEE);
    for (uint32_t k = 0; k < 30; k++) Put(USINT_, k, 'X');
    const auto put = [&](uint32_t at, const std::string &t) {
        for (size_t k = 0; k < t.size(); k++) Z7Mem_Put8(ct + at + uint32_t(k), uint8_t(t[k]));
    };
    put(0, std::string("-123\0", 5));
    put(8, std::string("2.5\0", 4));
    put(16, std::string("-124\0", 5));
    Put(DINT_, 20, 0);
    Put(DINT_, 21, 8);
    Put(DINT_, 22, 16);
    Put(DINT_, 23, 24);
    Put(DINT_, 24, 40);
    Call("ASCIITOINT", {20, 8, 30});
    EXPECT_EQ(Get(INT_, 30), uint16_t(-123));
    Call("ASCIITODINT", {20, 8, 25});
    EXPECT_EQ(Get(DINT_, 25), uint32_t(-123));
    Call("ASCIITOREAL", {21, 8, 26});
    EXPECT_EQ(Get(REAL_, 26), F(2.5f));
    Call("STRINGLENA", {22, 31});
    EXPECT_EQ(Get(INT_, 31), 4u);
    SetStr(1, "-123");
    Put(BOOL_, 34, 0);
    Call("CMPSTRINGCONST", {20, 8, 1, 34});
    EXPECT_EQ(Get(BOOL_, 34), 1u);
    for (auto [len, eq] : {std::pair{3, 1}, {4, 0}}) {
        Put(INT_, 32, uint16_t(len));
        Put(BOOL_, 35, uint8_t(1 - eq));
        Call("CMPSTRINGVAR", {20, 8, 22, 8, 32, 35});
        EXPECT_EQ(Get(BOOL_, 35), uint64_t(eq)) << len;
    }
    SetStr(1, "HELLO");
    Put(BOOL_, 36, 0);
    Call("SETSTRING", {1, 23, 8, 36});
    EXPECT_EQ(Get(BOOL_, 36), 1u);
    std::string set;
    for (uint32_t k = 0; k < 5; k++) set.push_back(char(Z7Mem_Get8(ct + 24 + k)));
    EXPECT_EQ(set, "HELLO");
    // INTTOASCII 42, no decimals, width 5, leading zeros: "00042" and its end
    Put(INT_, 33, 42);
    Put(INT_, 34, 0);
    Put(INT_, 35, 5);
    Put(BOOL_, 37, 1);
    Put(BOOL_, 38, 0);
    Call("INTTOASCII", {33, 24, 16, 34, 35, 37, 38});
    EXPECT_EQ(Get(BOOL_, 38), 1u);
    std::string num;
    for (uint32_t k = 0; k < 7; k++) num.push_back(char(Z7Mem_Get8(ct + 40 + k)));
    EXPECT_EQ(num, std::string("00042\0\xEE", 7));
    for (uint32_t k = 0; k < 30; k++) EXPECT_EQ(Get(USINT_, k), uint8_t('X')) << k;
}

// The clock and PID blocks find their arrays in the complex-type segment
// too: SETCLK's six words at segment byte 0, ALARM's words at byte 16, a PID
// register block at byte 24; the INTs at the operands' own indices stay.
TEST_F(BlkLibComplex, ClockAndPidArraysLieInTheComplexTypeSegment) {
    const uint32_t ct = Z7Sec_Addr(db, Z7SEC_CT);
    ASSERT_NE(ct, 0u);
    for (uint32_t k = 0; k < 32; k++) Z7Mem_Put16(ct + 2 * k, 0);
    for (uint32_t k = 0; k < 40; k++) Put(INT_, k, 0x1111);
    // SETCLK {second 5, minute 4, hour 3, day 2, month 1, year 2026}
    static uint16_t set[6];
    Blk_Hooks.rtc_set = [](const uint16_t *rec) {
        std::memcpy(set, rec, sizeof set);
        return true;
    };
    const uint16_t when[6] = {5, 4, 3, 2, 1, 2026};
    for (uint32_t k = 0; k < 6; k++) Z7Mem_Put16(ct + 2 * k, when[k]);
    Put(DINT_, 30, 0);
    Put(BOOL_, 3, 0);
    Call("SETCLK", {30, 6, 3});
    EXPECT_EQ(Get(BOOL_, 3), 1u);
    EXPECT_EQ(std::vector<uint16_t>(set, set + 6), std::vector<uint16_t>(when, when + 6));
    // ALARM [0x100, 0, 0x100], first screen 10, count 3
    Z7Mem_Put16(ct + 16, 0x100);
    Z7Mem_Put16(ct + 20, 0x100);
    Put(DINT_, 10, 16);
    Put(DINT_, 40, 10);
    Put(DINT_, 41, 3);
    for (uint32_t k = 0; k < 4; k++) Put(BOOL_, 42 + k, 0);
    Call("ALARM", {10, 3, 42, 43, 44, 45, 40, 41});
    Call("ALARM", {10, 3, 42, 43, 44, 45, 40, 41});
    EXPECT_EQ(Z7Mem_Get16(ct + 16), 0xC301u);
    EXPECT_EQ(Z7Mem_Get16(ct + 18), 0u);
    EXPECT_EQ(Z7Mem_Get16(ct + 20), 0x0301u);
    EXPECT_EQ(PlcWord(129), 10u);
    for (uint32_t k = 10; k < 13; k++) EXPECT_EQ(Get(INT_, k), 0x1111u) << k;
    // an alarm array passing the segment's end: left alone
    Put(DINT_, 11, 60);
    Z7Mem_Put16(ct + 60, 0x100);
    Call("ALARM", {11, 3, 42, 43, 44, 45, 40, 41});
    EXPECT_EQ(Z7Mem_Get16(ct + 60), 0x100u);
    // SETPIDMAN writes word 11 of the block, GETPIDMAN reads word 14
    Put(DINT_, 20, 24);
    Put(INT_, 30, 250);
    Put(BOOL_, 4, 0);
    Call("SETPIDMAN", {20, 30, 4});
    EXPECT_EQ(Z7Mem_Get16(ct + 24 + 22), 250u);
    EXPECT_EQ(Get(BOOL_, 4), 1u);
    Z7Mem_Put16(ct + 24 + 28, 777);
    Call("GETPIDMAN", {20, 31});
    EXPECT_EQ(Get(INT_, 31), 777u);
    for (uint32_t k = 20; k < 30; k++) EXPECT_EQ(Get(INT_, k), 0x1111u) << k;
}

}  // namespace iec_test
