// Variable map built from an image's variable table: lookups by symbol,
// index, tag, enumeration and descriptions, and tables whose records lie.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "iec/vm/z7map.h"
#include "iec/vm/z7parts.h"
#include "iec/vm/z7vm.h"
#include "tests/iec/iec_fixture.h"
#include "tests/support/iec_image.h"
#include "tests/support/iec_vms.h"

namespace {
using test_support::IecImage;

struct Var {
    uint16_t type, index, dim, strlen, tag, flags;
    std::string symbol;
};

// The image with a variable table of these records appended (header word 16).
std::vector<uint8_t> WithTable(std::vector<Var> vars, uint16_t table_flags = 0, uint16_t marker = 0x8000, int cut = 0) {
    IecImage img;
    img.d8 = {10, 10, 0};
    img.d16 = {10, 10, 0};
    img.d32 = {10, 10, 0};
    std::vector<uint8_t> b = img.Build();
    while (b.size() % 4) b.push_back(0);
    const uint32_t t = uint32_t(b.size());
    b.resize(t + 16, 0);
    IecImage::Put16(b, t, 16);
    IecImage::Put16(b, t + 2, 0x77);
    IecImage::Put16(b, t + 4, uint16_t(vars.size()));
    IecImage::Put16(b, t + 6, table_flags);
    IecImage::Put16(b, t + 14, marker);
    for (const Var &v : vars) {
        const uint32_t sym = (v.flags & 1) ? uint32_t(v.symbol.size() + 1) : 0;
        const uint32_t tail = 16 + ((sym + 1) & ~1u);
        const uint32_t len = tail + ((v.flags & 0x100) ? 8 : 0);
        const uint32_t r = uint32_t(b.size());
        b.resize(r + len, 0);
        IecImage::Put16(b, r, uint16_t(len));
        IecImage::Put16(b, r + 2, v.type);
        IecImage::Put16(b, r + 4, v.index);
        IecImage::Put16(b, r + 6, v.dim);
        IecImage::Put16(b, r + 8, v.strlen);
        IecImage::Put16(b, r + 10, uint16_t(tail));
        IecImage::Put16(b, r + 12, v.tag);
        IecImage::Put16(b, r + 14, v.flags);
        if (sym) std::memcpy(&b[r + 16], v.symbol.c_str(), sym);
    }
    b.resize(b.size() + 2, 0);  // a record of length 0 ends the table
    IecImage::Put32(b, 16 * 4, t);
    if (cut) b.resize(b.size() - size_t(cut));
    return b;
}

class Map : public ::testing::Test {
protected:
    std::vector<uint32_t> blocks;
    uint32_t db = 0;
    void TearDown() override {
        for (uint32_t b : blocks) Z7Mem_Free(b);
    }
    uint32_t Build(const std::vector<uint8_t> &bytes) {
        const uint32_t code = test_support::IecLoad(bytes);
        blocks.push_back(code);
        db = 0;
        const uint32_t rc = Z7VM_CreateDB(code, &db);
        if (db) blocks.push_back(db);
        if (rc == 0) Z7VMMap_Build(db, code);
        return rc;
    }
};

TEST_F(Map, LookupsEnumerationAndDescriptions) {
    ASSERT_EQ(Build(WithTable({{2, 3, 1, 0, 5, 0x3, "motor_speed"},
                               {11, 1, 1, 0, 0, 0x1, "A1"},
                               {1, 2, 1, 0, 0, 0x1, "a"},
                               {2, 4, 1, 0, 21, 0x3, "t21"},
                               {11, 999, 1, 0, 0, 0x1, "far"},
                               {16, 7, 1, 0, 0, 0x1, "u7"},
                               {17, 5, 1, 0, 0, 0x1, "ul5"}})),
              0u);
    EXPECT_EQ(Z7Map_Hash("a"), 65);
    EXPECT_EQ(Z7Map_Hash("a") % 17, 14);
    // (65 x 33 + '1') = 2194; and a longer one: 39905, bucket 6
    EXPECT_EQ(Z7Map_Hash("A1"), 2194);
    EXPECT_EQ(Z7Map_Hash("motor_speed"), 39905);
    EXPECT_EQ(Z7Map_Hash("MOTOR_SPEED"), 39905);
    // the 49 chain heads as the workbench polls them (area 25): by index
    // (mod 16), by tag (mod 16), by symbol bucket (hash mod 17: motor_speed
    // 6, A1 1, a 14, t21 27639 -> 14, far 12921 -> 1, u7 2860 -> 4, ul5
    // 29590 -> 10); a later definition heads its chain
    {
        const uint32_t items = Z7Sec_Addr(db, Z7SEC_MAPITEM);
        auto item = [&](uint32_t i) { return items + 24 * i; };
        std::vector<uint32_t> want(49, 0);
        want[3] = item(0), want[1] = item(1), want[2] = item(2), want[4] = item(3), want[7] = item(5);
        want[5] = item(6);
        want[16 + 5] = item(3);
        want[32 + 6] = item(0), want[32 + 1] = item(4), want[32 + 14] = item(3), want[32 + 4] = item(5);
        want[32 + 10] = item(6);
        std::vector<uint32_t> heads(49);
        for (uint32_t k = 0; k < 49; k++) heads[k] = Z7Mem_Get32(Z7Sec_Elem(db, Z7SEC_MAPHASH, k));
        EXPECT_EQ(heads, want);
        EXPECT_EQ(Z7Mem_Get32(item(5) + 12), item(4)) << "u7's index chain goes on to far (999 mod 16 = 7)";
        EXPECT_EQ(Z7Mem_Get32(item(3) + 20), item(0)) << "tag 21 goes on to tag 5";
        EXPECT_EQ(Z7Mem_Get32(item(4) + 16), item(1)) << "far goes on to A1";
        EXPECT_EQ(Z7Mem_Get32(item(3) + 16), item(2)) << "t21 goes on to a";
    }
    const uint32_t m = Z7Map_GetBySymbol(db, "motor_speed");
    ASSERT_NE(m, 0u);
    EXPECT_EQ(Z7Map_GetBySymbol(db, "MOTOR_SPEED"), m);
    EXPECT_EQ(Z7Map_GetBySymbol(db, "motor_spee"), 0u);
    EXPECT_EQ(Z7Map_GetData(m), Z7Sec_Addr(db, Z7SEC_D32) + 12);
    EXPECT_EQ(Z7Map_GetByIndex(db, 16, 3), m);  // UDINT finds the DINT
    EXPECT_EQ(Z7Map_GetByIndex(db, 2, 7), Z7Map_GetBySymbol(db, "U7"));
    EXPECT_EQ(Z7Map_GetByIndex(db, 11, 3), 0u);
    EXPECT_EQ(Z7Map_GetByIndex(db, 12, 5), Z7Map_GetBySymbol(db, "ul5"));  // LINT finds the ULINT
    EXPECT_EQ(Z7Map_GetByIndex(db, 17, 2), 0u);
    EXPECT_EQ(Z7Map_GetDim(m), 0u) << "a single value";
    EXPECT_EQ(Z7Map_GetByNumTag(db, 5), m);
    EXPECT_EQ(Z7Map_GetByNumTag(db, 21), Z7Map_GetBySymbol(db, "t21"));
    EXPECT_EQ(Z7Map_GetData(Z7Map_GetBySymbol(db, "far")), 0u);  // index outside its section
    EXPECT_EQ(Z7Map_GetByData(db, Z7Map_GetData(m)), m);
    EXPECT_EQ(Z7Map_CheckPointer(db, m), 1u);
    EXPECT_EQ(Z7Map_CheckPointer(db, m + 4), 0u);

    uint8_t desc[300];
    EXPECT_EQ(Z7Map_GetDesc(db, 1, desc), 14u);
    const uint8_t want[14] = {0, 11, 0, 1, 0, 0, 0, 1, 0, 1, 2, 'A', '1', 0};
    EXPECT_EQ(std::memcmp(desc, want, 14), 0);
    EXPECT_EQ(Z7Map_GetDescLength(db, 1), 14u);
    EXPECT_EQ(Z7Map_GetDesc(db, 99, desc), 12u);

    uint32_t pos = 0, n = 0;
    for (uint32_t it = Z7Map_GetFirst(db, &pos); it; it = Z7Map_GetNext(db, &pos)) n++;
    EXPECT_EQ(n, 7u);
    EXPECT_EQ(pos, 6u);
    EXPECT_EQ(Z7Map_GetNext(db, &pos), 0u);
    EXPECT_EQ(pos, 6u);
    EXPECT_EQ(Z7Map_GetNext(db, nullptr), 0u);
}

TEST_F(Map, TablesThatLie) {
    // marker 0x8001: the image cannot be sized
    EXPECT_NE(Build(WithTable({{2, 3, 1, 0, 0, 1, "x"}}, 0, 0x8001)), 0u);
    // status flag on the table but not on the records: items keep one stride
    ASSERT_EQ(Build(WithTable({{2, 1, 1, 0, 0, 1, "p"}, {2, 2, 1, 0, 0, 1, "q"}}, 0x200)), 0u);
    EXPECT_EQ(Z7Map_GetBySymbol(db, "q") - Z7Map_GetBySymbol(db, "p"), 40u);
    // the last record runs past the image: it is not built
    ASSERT_EQ(Build(WithTable({{2, 1, 1, 0, 0, 1, "p"}, {2, 2, 1, 0, 0, 1, "long_last_symbol"}}, 0, 0x8000, 12)), 0u);
    EXPECT_NE(Z7Map_GetBySymbol(db, "p"), 0u);
    EXPECT_EQ(Z7Map_GetBySymbol(db, "long_last_symbol"), 0u);
    // a complex type whose extended information lies outside its record
    ASSERT_EQ(Build(WithTable({{127, 0, 1, 0, 0, 0x101, "ct"}})), 0u);
    EXPECT_EQ(Z7Map_GetData(Z7Map_GetBySymbol(db, "ct")), 0u);
}

// An on-line change keeps the map's layout: a new table of another layout
// identifier or item size is refused (1), one of the same is rebuilt in
// place with its own record count, and an image without a valid table
// empties the map.
TEST_F(Map, HotRestartRebuildsTheSameLayoutOnly) {
    ASSERT_EQ(Build(WithTable({{2, 1, 1, 0, 0, 1, "p"}, {2, 2, 1, 0, 0, 1, "q"}, {2, 3, 1, 0, 0, 1, "r"}})), 0u);
    auto load = [&](std::vector<uint8_t> bytes, uint16_t layout) {
        const uint32_t t = uint32_t(bytes[64] | bytes[65] << 8 | bytes[66] << 16 | bytes[67] << 24);
        bytes[t + 2] = uint8_t(layout);
        bytes[t + 3] = uint8_t(layout >> 8);
        const uint32_t code = test_support::IecLoad(bytes);
        blocks.push_back(code);
        return code;
    };
    const uint32_t other_layout = load(WithTable({{2, 1, 1, 0, 0, 1, "p"}}), 0x78);
    const uint32_t with_vsi = load(WithTable({{2, 1, 1, 0, 0, 0x201, "p"}}, 0x200), 0x77);
    const uint32_t same = load(WithTable({{11, 4, 1, 0, 0, 1, "s"}, {2, 5, 1, 0, 0, 1, "t"}}), 0x77);
    const uint32_t none = load(WithTable({{2, 1, 1, 0, 0, 1, "p"}}, 0, 0x8001), 0x77);
    EXPECT_EQ(Z7VMMap_CanHotRestart(db, other_layout), 1u);
    EXPECT_EQ(Z7VMMap_CanHotRestart(db, with_vsi), 1u);
    EXPECT_EQ(Z7VMMap_CanHotRestart(db, same), 0u);
    EXPECT_EQ(Z7VMMap_CanHotRestart(db, none), 0u) << "no valid table: nothing to refuse";
    EXPECT_EQ(Z7VMMap_HotRestart(db, other_layout), 1u);
    EXPECT_EQ(Z7VMMap_HotRestart(db, same), 0u);
    EXPECT_EQ(Z7Map_GetBySymbol(db, "p"), 0u);
    EXPECT_EQ(Z7Map_GetBySymbol(db, "t"), Z7Sec_Addr(db, Z7SEC_MAPITEM) + 24);
    EXPECT_EQ(Z7Map_GetByIndex(db, 11, 4), Z7Sec_Addr(db, Z7SEC_MAPITEM));
    uint32_t pos = 0, n = 0;
    for (uint32_t it = Z7Map_GetFirst(db, &pos); it; it = Z7Map_GetNext(db, &pos)) n++;
    EXPECT_EQ(n, 2u) << "the new record count";
    EXPECT_EQ(Z7VMMap_HotRestart(db, none), 0u);
    EXPECT_EQ(Z7Map_GetFirst(db, &pos), 0u) << "emptied";
    EXPECT_EQ(Z7Map_GetBySymbol(db, "t"), 0u);
    for (uint32_t k = 0; k < 49; k++) EXPECT_EQ(Z7Mem_Get32(Z7Sec_Elem(db, Z7SEC_MAPHASH, k)), 0u) << k;
}

// Arrays of one elementary type among the map's items, and the properties
// behind a record's tail, in an application with complex-type definitions
// named like arrays.
class MapArrays : public iec_test::IecTest {
protected:
    uint32_t db = 0;
    void TearDown() override {
        if (db) Z7Def_Stop(db, nullptr, nullptr, "APP");
        IecTest::TearDown();
    }
};

TEST_F(MapArrays, ArraysOfOneTypeAndProperties) {
    // type definitions: the u32 total size, then NUL-terminated names
    std::vector<uint8_t> defs(4, 0);
    auto def = [&](const char *name) {
        const uint32_t at = uint32_t(defs.size());
        defs.insert(defs.end(), name, name + std::strlen(name) + 1);
        return at;
    };
    const uint32_t grid = def("INT[2,3]"), bytes = def("USINT[4]"), dw = def("DWORD[3]"), pt = def("PT"),
                   zero = def("INT[0]"), cube = def("BOOL[2,2,2]"), words = def("WORD[5]"), big = def("INT[5]");
    defs[0] = uint8_t(defs.size());
    using test_support::Tail;
    std::vector<uint8_t> q = Tail(8, grid);
    const char profile[16] = {'P', 'R', 'O', 'F', 'I', 'L', 'E'};
    q.insert(q.end(), profile, profile + 16);
    q.insert(q.end(), {'x', 'y', 'z', '!'});
    IecImage img;
    img.d8 = {9, 9, 9};
    img.d16 = {15, 15, 15};
    img.d32 = {9, 9, 9};
    img.str = {2, 2, 2};
    img.string_sizes = {8, 8};
    img.ct_alloc = 64;
    img.ct_used = 64;
    img.ext.assign(10, 0);
    img.map_vars = {{11, 2, 4, 0, 0, 0x1, "Arr4", {}},
                    {11, 1, 1, 0, 0, 0x1, "One", {}},
                    {5, 1, 2, 8, 0, 0x1, "Strs", {}},
                    {127, 0, 1, 0, 0, 0x101, "Grid", Tail(8, grid)},
                    {127, 0, 1, 0, 0, 0x101, "Bytes", Tail(20, bytes)},
                    {127, 0, 1, 0, 0, 0x101, "Dw", Tail(24, dw)},
                    {127, 0, 1, 0, 0, 0x101, "Pt", Tail(40, pt)},
                    {127, 0, 1, 0, 0, 0x101, "Zero", Tail(44, zero)},
                    {127, 0, 1, 0, 0, 0x101, "Cube", Tail(48, cube)},
                    {127, 0, 1, 0, 0, 0x101, "Words", Tail(52, words)},
                    {11, 14, 4, 0, 0, 0x1, "Far", {}},
                    {127, 0, 1, 0, 0, 0x101, "Big", Tail(56, big)},
                    {2, 3, 1, 0, 0, 0x5, "P", {'a', 'b', 'c', 0}},
                    {127, 0, 1, 0, 0, 0x10D, "Q", q}};
    const uint32_t code = test_support::IecLoad(test_support::WithTypeDefs(img, defs));
    blocks.push_back(code);
    ASSERT_EQ(Create(code, db), 0u);
    ASSERT_EQ(Z7Def_ColdStart(code, db, nullptr, nullptr, 0, 0, "APP"), 0u);

    const uint32_t ct = Z7Sec_Addr(db, Z7SEC_CT);
    constexpr uint32_t kUntouched = 0xEEEE;  // outputs are left alone for a non-array
    struct Row {
        const char *symbol;
        uint32_t data, count, type;
    };
    const Row rows[] = {
        {"Arr4", Z7Sec_Elem(db, Z7SEC_D16, 2), 4, 11},
        {"One", 0, kUntouched, kUntouched},  // a single value
        {"Strs", Z7Mem_Get32(Z7Sec_Elem(db, Z7SEC_STRPTR, 1)), 2, 5},
        {"Grid", ct + 8, 6, 11},
        {"Bytes", ct + 20, 4, 14},  // USINT, not SINT
        {"Dw", ct + 24, 3, 16},
        {"Pt", 0, kUntouched, kUntouched},  // a structure
        {"Zero", 0, kUntouched, kUntouched},
        {"Cube", ct + 48, 8, 1},
        {"Words", ct + 52, 5, 15},
        {"Far", 0, kUntouched, kUntouched},  // INT 14..17 of 16
        {"Big", 0, kUntouched, kUntouched},  // 56 + 10 bytes of 64
    };
    for (const Row &r : rows) {
        uint32_t count = kUntouched, type = kUntouched;
        const uint32_t item = Z7Map_GetBySymbol(db, r.symbol);
        ASSERT_NE(item, 0u) << r.symbol;
        EXPECT_EQ(Z7Map_IsArrayOfSingleVar(db, item, &count, &type), r.data) << r.symbol;
        EXPECT_EQ(count, r.count) << r.symbol;
        EXPECT_EQ(type, r.type) << r.symbol;
    }
    EXPECT_NE(Z7Map_IsArrayOfSingleVar(db, Z7Map_GetBySymbol(db, "Arr4"), nullptr, nullptr), 0u);
    EXPECT_EQ(Z7Map_IsArrayOfSingleVar(db, 0, nullptr, nullptr), 0u);

    // properties: right behind the symbol, or behind type information and profile name
    auto props = [](uint32_t item) {
        const uint8_t *p = Z7Mem_Ptr(Z7Map_GetProps(item), Z7Map_GetPropsSize(item));
        return p ? std::string(reinterpret_cast<const char *>(p), Z7Map_GetPropsSize(item)) : std::string("-");
    };
    EXPECT_EQ(props(Z7Map_GetBySymbol(db, "P")), std::string("abc\0", 4));
    EXPECT_EQ(Z7Map_GetProps(Z7Map_GetBySymbol(db, "P")), Z7Map_GetDef(Z7Map_GetBySymbol(db, "P")) + 18);
    EXPECT_EQ(props(Z7Map_GetBySymbol(db, "Q")), "xyz!");
    EXPECT_EQ(Z7Map_GetProps(Z7Map_GetBySymbol(db, "Q")), Z7Map_GetDef(Z7Map_GetBySymbol(db, "Q")) + 18 + 8 + 16);
    const uint8_t *prof = Z7Mem_Ptr(Z7Map_GetProfileName(Z7Map_GetBySymbol(db, "Q")), 7);
    ASSERT_NE(prof, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(prof), 7), "PROFILE");
    EXPECT_EQ(Z7Map_GetProps(Z7Map_GetBySymbol(db, "Arr4")), 0u);  // no flag 0x4
    EXPECT_EQ(Z7Map_GetPropsSize(Z7Map_GetBySymbol(db, "Arr4")), 0u);
    EXPECT_EQ(Z7Map_GetProps(0), 0u);
    EXPECT_EQ(Z7Map_GetPropsSize(0), 0u);
}

}  // namespace
