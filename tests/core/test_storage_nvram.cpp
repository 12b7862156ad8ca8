// Configuration validation: range rules of the retained words, the file
// checks and their bounds, the mode-2 rule, the editor features.
#include "exec/plcmode.h"
#include "core/image/util.h"
#include "tests/core/test_storage_fixture.h"

using namespace storage_test;

namespace {

// A whole application in the memory files (no optional tables).
void PutValidApp(uint32_t features = 0) {
    PlcWordSet(W_NETID, 1);
    SetArea(ladder_bl.data(), Program(64, features));
    SetArea(io_config_bl.data(), Pattern(30, 1));
    std::memset(&plc_reg[MF_FORCE_BYTE], 0, 4);
    PlcDwordSet(W_FORCE_LEN, 4);
    PlcWordSet(W_FORCE_CRC, RefCrc(kForceDef));
    const auto setup = Pattern(40, 2);
    std::memcpy(&plc_reg[MF_SETUP_BYTE], setup.data(), setup.size());
    PlcDwordSet(W_SETUP_LEN, 40);
    PlcWordSet(W_SETUP_CRC, RefCrc(setup));
}

class NvramTest : public StorageTest {};

}  // namespace

TEST_F(NvramTest, EditorFeaturesNeedNineBytes) {
    for (uint32_t len : {0u, 1u, 2u, 8u}) {
        std::memset(ladder_bl.data(), 0xAB, 64);  // garbage around the data
        SetArea(ladder_bl.data(), std::vector<uint8_t>(len, 0x01));
        EXPECT_EQ(nv_get_features(), 0u) << len;
    }
    SetArea(ladder_bl.data(), Program(9, 0x8013));
    EXPECT_EQ(nv_get_features(), 0x8013u);
    EXPECT_EQ(NV_EditorFeatures, 0x8013u);
    auto p = Program(40, 0x12345678);
    SetArea(ladder_bl.data(), p);
    EXPECT_EQ(nv_get_features(), 0x12345678u);
    p.back() = 254;  // no feature trailer
    SetArea(ladder_bl.data(), p);
    EXPECT_EQ(nv_get_features(), 0u);
    MF_SetHeader(ladder_bl.data(), 0, 0xFFFFFFFFu);
    EXPECT_EQ(nv_get_features(), 0u);
}

TEST_F(NvramTest, WholeApplicationPassesUntouched) {
    PutValidApp();
    PlcWordSet(W_MODE, 2);
    PlcWordSet(W_OLC, 7);
    PlcWordSet(281, 0xC001);
    EXPECT_EQ(nvram_init(0, 0), 0u);
    EXPECT_EQ(PlcWord(W_FAULT), 0);
    EXPECT_EQ(PlcWord(W_MODE), 2);
    EXPECT_EQ(PlcWord(W_OLC), 0);
    EXPECT_EQ(PlcWord(281), 0x0001);
    EXPECT_EQ(MF_Len(ladder_bl.data()), 64u);
    // The force data are checked in the force image.
    EXPECT_EQ(io_force[0], 0);
}

TEST_F(NvramTest, RetainedWordsRangeRules) {
    PutValidApp();
    const struct {
        uint32_t word;
        uint16_t bad, fixed;
    } rules[] = {{132, 3, 0}, {159, 0, 16}, {159, 41, 16}, {160, 2, 0},  {158, 128, 0},   {264, 499, 500}, {300, 2, 0},
                 {307, 3, 0}, {310, 2, 1},  {312, 2, 0},   {313, 4, 15}, {313, 1201, 15}, {279, 4, 0},     {157, 5, 0}};
    for (const auto &r : rules) {
        PlcWordSet(W_NETID, 1);
        PlcWordSet(188, 1);
        PlcWordSet(r.word, r.bad);
        nvram_init(0, 0);
        EXPECT_EQ(PlcWord(r.word), r.fixed) << r.word;
    }
    // Good values stay.
    PlcWordSet(313, 1200);
    PlcWordSet(264, 9000);
    nvram_init(0, 0);
    EXPECT_EQ(PlcWord(313), 1200);
    EXPECT_EQ(PlcWord(264), 9000);
}

TEST_F(NvramTest, NetworkIdOutOfRangeSetsFaultBit) {
    PutValidApp();
    PlcWordSet(188, 100);
    PlcWordSet(W_NETID, 0);
    nvram_init(0, 0);
    EXPECT_EQ(PlcWord(W_NETID), 28);
    EXPECT_TRUE(PlcWord(W_FAULT) & 0x20);

    PlcWordSet(W_FAULT, 0);
    PlcWordSet(188, 0);  // itself out of range: 1
    PlcWordSet(W_NETID, 128);
    nvram_init(0, 0);
    EXPECT_EQ(PlcWord(188), 1);
    EXPECT_EQ(PlcWord(W_NETID), 127);
    EXPECT_TRUE(PlcWord(W_FAULT) & 0x20);
}

TEST_F(NvramTest, EachBadFileInvalidatesTheApplication) {
    struct Case {
        const char *name;
        void (*spoil)();
        uint32_t features;
    };
    const Case cases[] = {
        {"empty setup area", [] { PlcDwordSet(W_SETUP_LEN, 0); }, 0},
        {"setup area longer than 80", [] { PlcDwordSet(W_SETUP_LEN, 81); }, 0},
        {"force table longer than 256", [] { PlcDwordSet(W_FORCE_LEN, 257); }, 0},
        {"force CRC", [] { plc_reg[MF_FORCE_BYTE] = 1; }, 0},
        {"io length", [] { MF_SetHeader(io_config_bl.data(), MF_Crc(io_config_bl.data()), 520193); }, 0},
        {"program length", [] { MF_SetHeader(ladder_bl.data(), 0, 2097153); }, 0},
        {"program CRC", [] { ladder_bl[MF_HDR + 3] ^= 1; }, 0},
        // A length within the validation bound but beyond the table's area.
        {"promgr beyond area", [] { MF_SetHeader(promgr_table_bl.data(), 0, uint32_t(PROMGR_TABLE_BL_SIZE)); }, 0x01},
        {"sms", [] { MF_SetHeader(sms_table_bl.data(), 0, 131072); }, 0x02},
        {"datalog", [] { MF_SetHeader(datalog_table.data(), 0, 0); }, 0x04},
        {"canopen", [] { MF_SetHeader(copendnet_tbl.data(), 1, 8); }, 0x08},
        {"mqtt bit 7", [] { MF_SetHeader(mqtt_tbl.data(), 0, uint32_t(MQTT_TBL_SIZE)); }, 0x80},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        PutValidApp(c.features);
        for (uint8_t *t :
             {promgr_table_bl.data(), sms_table_bl.data(), datalog_table.data(), copendnet_tbl.data(), mqtt_tbl.data()})
            SetArea(t, Pattern(16, 5));
        c.spoil();
        PlcWordSet(W_MODE, 1);
        EXPECT_EQ(nvram_init(0, 0), 0u);
        EXPECT_TRUE(PlcWord(W_FAULT) & 0x04);
        EXPECT_EQ(PlcWord(W_MODE), 0);
        EXPECT_EQ(MF_Len(ladder_bl.data()), 0u);
        EXPECT_EQ(AreaData(ladder_bl.data(), 2), kLadderDef);
    }
}

TEST_F(NvramTest, OptionalTablesCheckedOnlyWithTheirFeatureBit) {
    PutValidApp(0);
    MF_SetHeader(mqtt_tbl.data(), 0x1234, 8);  // bad, but not in use
    EXPECT_EQ(nvram_init(0, 0), 0u);
    EXPECT_EQ(PlcWord(W_FAULT) & 0x04, 0);
    PutValidApp(0x10);
    EXPECT_EQ(nvram_init(0, 0), 0u);
    EXPECT_TRUE(PlcWord(W_FAULT) & 0x04);
}

TEST_F(NvramTest, ModeTwoKeepsEverythingButStartupDoesNot) {
    PutValidApp();
    ladder_bl[MF_HDR + 5] ^= 0xFF;  // program CRC wrong
    const auto before = AreaData(ladder_bl.data(), 64);
    PlcWordSet(W_MODE, 2);
    EXPECT_EQ(nvram_init(0, 0), 0u);
    EXPECT_EQ(PlcWord(W_MODE), 2);
    EXPECT_EQ(PlcWord(W_FAULT) & 0x04, 0);
    EXPECT_EQ(AreaData(ladder_bl.data(), 64), before);
    EXPECT_EQ(MF_Len(ladder_bl.data()), 64u);

    // An abandoned download in mode 2 re-creates nothing either.
    EXPECT_EQ(nvram_init(0, 1), 0u);
    EXPECT_EQ(AreaData(ladder_bl.data(), 64), before);

    // At start-up the controller counts as stopped: the bad program is replaced.
    nv_Startup = 1;
    EXPECT_EQ(nvram_init(0, 0), 0u);
    nv_Startup = 0;
    EXPECT_EQ(PlcWord(W_MODE), 0);
    EXPECT_TRUE(PlcWord(W_FAULT) & 0x04);
    EXPECT_EQ(AreaData(ladder_bl.data(), 2), kLadderDef);
}

TEST_F(NvramTest, CanopenAndMqttErasedOnlyWhenRecreating) {
    PutValidApp(0x98);  // CANopen and MQTT in use
    const auto copen = Pattern(300, 41), mqtt = Pattern(500, 42);
    SetArea(copendnet_tbl.data(), copen);
    SetArea(mqtt_tbl.data(), mqtt);
    SetArea(datalog_table.data(), Pattern(10, 43));
    EXPECT_EQ(nvram_init(0, 0), 0u);
    EXPECT_EQ(AreaData(copendnet_tbl.data(), 300), copen);
    EXPECT_EQ(AreaData(mqtt_tbl.data(), 500), mqtt);
    EXPECT_EQ(MF_Len(mqtt_tbl.data()), 500u);
    EXPECT_EQ(MF_Len(copendnet_tbl.data()), 300u);

    // With defaults asked for, both are re-created (valid).
    EXPECT_EQ(nvram_init(1, 0), 1u);
    EXPECT_EQ(AreaData(copendnet_tbl.data(), 8), kTableDef);
    EXPECT_EQ(AreaData(mqtt_tbl.data(), 8), kTableDef);
    EXPECT_EQ(MF_Len(mqtt_tbl.data()), 8u);
    EXPECT_EQ(MF_Crc(mqtt_tbl.data()), RefCrc(kTableDef));
    EXPECT_EQ(PlcWord(W_FAULT) & 0x04, 0);
}

TEST_F(NvramTest, AbandonedDownloadInvalidatesWithDefaultsInPlace) {
    PutValidApp();
    PlcWordSet(W_MODE, 1);
    EXPECT_EQ(nvram_init(0, 1), 0u);
    EXPECT_TRUE(PlcWord(W_FAULT) & 0x04);
    EXPECT_EQ(PlcWord(W_MODE), 0);
    EXPECT_EQ(AreaData(io_config_bl.data(), 12), kIoDef);
    EXPECT_EQ(MF_Len(io_config_bl.data()), 0u);
    EXPECT_EQ(PlcDword(144), 0u);
    EXPECT_EQ(PlcWord(153), 0);
    EXPECT_EQ(PlcDword(W_SETUP_LEN), 0u);
    EXPECT_EQ(MF_Len(datalog_table.data()), 0u);
    EXPECT_EQ(PlcDword(272), 0xFFFFFFFFu);
    EXPECT_EQ(PlcWord(275), 0xFFFF);
    // The network default: 34 bytes, byte 6 = 0x40.
    EXPECT_EQ(net_config_bl[MF_HDR + 6], 0x40);
    EXPECT_EQ(MF_Len(net_config_bl.data()), 0u);
}

TEST_F(NvramTest, DefaultsRequestForcesRetainedWords) {
    PutValidApp();
    PlcWordSet(W_MODE, 2);
    PlcWordSet(313, 100);
    PlcWordSet(W_BACKUP, 0x20);
    fwload_set_def = 1;
    EXPECT_EQ(nvram_init(0, 0), 1u);
    EXPECT_EQ(fwload_set_def, 0);
    EXPECT_EQ(PlcWord(W_MODE), 0);
    EXPECT_EQ(PlcWord(313), 15);
    EXPECT_EQ(PlcWord(W_BACKUP), 0);
    EXPECT_EQ(MF_Len(ladder_bl.data()), 2u);
    EXPECT_EQ(MF_Crc(ladder_bl.data()), RefCrc(kLadderDef));
}
