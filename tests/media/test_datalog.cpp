// Data logger and debug logger driven scan by scan against the card file
// manager: files, headers and value texts byte for byte, trigger edges, rows
// kept while the card is away, table refusals, and the debug log's file.
#include <cstring>
#include <sys/stat.h>

#include "core/image/bytes.h"
#include "core/image/timebase.h"
#include "media/datalog.h"
#include "tests/media/media_fixture.h"
#include "tests/support/ladder_asm.h"

using namespace media_test;
using la::R;

namespace {
constexpr uint32_t M(uint32_t n) { return la::M16(n); }

struct LogItem {
    uint32_t addr;
    uint8_t type;
    std::string name;
};
struct LogGroup {
    std::string folder, sub;
    uint32_t trigger = 0, status = 0, period = 0, long_period = 0;
    uint8_t date = 0, time = 0;
    std::vector<LogItem> items;
};

// A data-log table as the programming tool builds it.
std::vector<uint8_t> Table(uint32_t enable, uint32_t status, const std::vector<LogGroup> &groups) {
    std::vector<uint8_t> t(24, 0), text;
    auto add_text = [&text](const std::string &s) {
        const uint32_t off = uint32_t(text.size());
        text.insert(text.end(), s.begin(), s.end());
        return off;
    };
    for (const LogGroup &g : groups) {
        std::vector<uint8_t> r(44 + 16 * g.items.size(), 0);
        LE_Put32(&r[0], add_text(g.sub));
        LE_Put16(&r[4], uint16_t(g.sub.size()));
        LE_Put32(&r[8], g.trigger);
        LE_Put32(&r[12], g.status);
        LE_Put32(&r[16], g.period);
        LE_Put32(&r[20], g.long_period);
        LE_Put32(&r[24], add_text(g.folder));
        LE_Put32(&r[28], uint32_t(g.folder.size()));
        r[32] = g.date;
        r[36] = g.time;
        LE_Put32(&r[40], uint32_t(g.items.size()));
        for (std::size_t i = 0; i < g.items.size(); i++) {
            uint8_t *it = &r[44 + 16 * i];
            LE_Put32(it, g.items[i].addr);
            it[4] = g.items[i].type;
            LE_Put32(it + 8, add_text(g.items[i].name));
            LE_Put32(it + 12, uint32_t(g.items[i].name.size()));
        }
        t.insert(t.end(), r.begin(), r.end());
    }
    t.insert(t.end(), text.begin(), text.end());
    if (t.size() < LOG_MIN_TABLE) t.resize(LOG_MIN_TABLE);
    LE_Put32(&t[0], uint32_t(t.size()));
    LE_Put32(&t[4], LOG_MAGIC);
    LE_Put32(&t[12], enable);
    LE_Put32(&t[16], status);
    LE_Put16(&t[22], uint16_t(groups.size()));
    return t;
}

class Logger : public MediaTest {
protected:
    void SetUp() override {
        MediaTest::SetUp();
        Clock(14, 3, 9);
        PlcWordSet(W_MODE, 2);
    }
    void Clock(uint16_t h, uint16_t mi, uint16_t s, uint16_t d = 7, uint16_t mo = 12, uint16_t y = 2025) {
        const uint16_t w[7] = {s, mi, h, d, mo, y, 1};
        for (unsigned i = 0; i < 7; i++) PlcWordSet(W_CLOCK + i, w[i]);
    }
    void On(uint32_t bit, bool v) {
        uint8_t &b = plc_reg[(bit - 1024) / 8];
        b = v ? uint8_t(b | 1u << (bit & 7)) : uint8_t(b & ~(1u << (bit & 7)));
    }
    void SetW(uint32_t ref, uint16_t v) { PlcWordSet(la::WordOf(ref), v); }
    uint16_t W(uint32_t ref) { return PlcWord(la::WordOf(ref)); }
    void Scans(int n) {
        for (int i = 0; i < n; i++) {
            LOG_Update();
            DLOG_Update();
            Pass();
            sysDTic += 5;
        }
    }
};
}  // namespace

TEST_F(Logger, PeriodicGroupsWriteDailyAndHourlyFiles) {
    LogGroup daily{"LOGS", "", 0, R(300), 1, 1, 4, 3, {{R(1), 4, "V"}}};
    LogGroup hourly{"\\LOGS\\", "H", 0, R(302), 10, 0, 0, 0, {{R(2), 4, "V"}}};
    ASSERT_EQ(LOG_Load(Table(M(1), R(304), {daily, hourly}), true), 0);
    SetW(R(1), 23130);
    SetW(R(2), 40000);
    Scans(5);
    EXPECT_FALSE(Exists("mnt/USB0/LOGS"));  // not enabled yet
    On(M(1), true);
    Scans(60);
    EXPECT_EQ(Get("mnt/USB0/LOGS/251207.CSV"), "Date,Time,V\r\n07-Dec-25,02:03:09 PM,23130\r\n");
    EXPECT_EQ(Get("mnt/USB0/LOGS/H/120714.CSV"), "Date,Time,V\r\n12/07,14:03,40000\r\n");
    EXPECT_EQ(W(R(300)), 0);  // write result
    EXPECT_EQ(W(R(301)), 0);  // fill
    // Ten seconds on: only the hourly group is due; its file keeps its header.
    Clock(14, 3, 19);
    SetW(R(2), 7);
    Scans(40);
    EXPECT_EQ(Get("mnt/USB0/LOGS/H/120714.CSV"), "Date,Time,V\r\n12/07,14:03,40000\r\n12/07,14:03,7\r\n");
    EXPECT_EQ(Get("mnt/USB0/LOGS/251207.CSV"), "Date,Time,V\r\n07-Dec-25,02:03:09 PM,23130\r\n");
    // A new hour starts a new file with its header. The finished file loses
    // its system attribute and keeps the others: made read-only meanwhile,
    // it stays read-only.
    struct stat st {};
    ASSERT_EQ(stat(P("mnt/USB0/LOGS/H/120714.CSV").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);  // system while it is written
    ASSERT_EQ(chmod(P("mnt/USB0/LOGS/H/120714.CSV").c_str(), 0444), 0);
    Clock(15, 0, 0);
    Scans(40);
    EXPECT_EQ(Get("mnt/USB0/LOGS/H/120715.CSV"), "Date,Time,V\r\n12/07,15:00,7\r\n");
    ASSERT_EQ(stat(P("mnt/USB0/LOGS/H/120714.CSV").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0444u);
    // Disabled: nothing; enabled again: one more periodic row at once.
    On(M(1), false);
    Scans(3);
    Clock(15, 0, 5);
    On(M(1), true);
    Scans(40);
    EXPECT_EQ(Get("mnt/USB0/LOGS/H/120715.CSV"), "Date,Time,V\r\n12/07,15:00,7\r\n12/07,15:00,7\r\n");
    // Across Sunday midnight the week wraps: a row at Saturday 23:59:55
    // (second 604,795 of the week), none 9 s later, one 10 s later.
    Clock(23, 59, 55, 13);
    PlcWordSet(W_CLOCK + 6, 7);
    Scans(40);
    EXPECT_EQ(Get("mnt/USB0/LOGS/H/121323.CSV"), "Date,Time,V\r\n12/13,23:59,7\r\n");
    Clock(0, 0, 4, 14);
    Scans(40);
    EXPECT_FALSE(Exists("mnt/USB0/LOGS/H/121400.CSV"));
    Clock(0, 0, 5, 14);
    Scans(40);
    EXPECT_EQ(Get("mnt/USB0/LOGS/H/121400.CSV"), "Date,Time,V\r\n12/14,00:00,7\r\n");
}

TEST_F(Logger, TriggerEdgesAndEveryValueText) {
    LogGroup g{"EV",
               "",
               M(2),
               0,
               0,
               0,
               0,
               0,
               {{R(1), 2, "Signed"},
                {R(2), 4, "Unsigned"},
                {R(3), 6, "Hex"},
                {R(4), 1, "Bits"},
                {R(5), 9, "Address"},
                {R(7), 7, "Text"},
                {R(20), 8, "F1"},
                {R(22), 8, "F2"},
                {R(24), 3, "L"},
                {R(26), 5, "UL"},
                {M(9), 0, "ANameLongerThanSixteen"},
                {0, 10, "D"},
                {0, 11, "T"}}};
    ASSERT_EQ(LOG_Load(Table(M(1), 0, {g}), true), 0);
    SetW(R(1), uint16_t(-2));
    SetW(R(2), 0xFFFE);
    SetW(R(3), 0xAB);
    SetW(R(4), 0x8001);
    std::memcpy(&plc_reg[2 * la::WordOf(R(5))], "\x01\x00\xA8\xC0", 4);
    std::memcpy(&plc_reg[2 * la::WordOf(R(7))], "ABCDEFGHIJKLMNOPQR", 18);
    const float f1 = 1.5f, f2 = -0.25f;
    std::memcpy(&plc_reg[2 * la::WordOf(R(20))], &f1, 4);
    std::memcpy(&plc_reg[2 * la::WordOf(R(22))], &f2, 4);
    PlcDwordSet(la::WordOf(R(24)), uint32_t(-100000));
    PlcDwordSet(la::WordOf(R(26)), 4000000000u);
    On(M(9), true);
    On(M(1), true);
    Scans(20);
    EXPECT_FALSE(Exists("mnt/USB0/EV"));  // no period, no edge
    On(M(2), true);
    Scans(40);
    On(M(2), false);
    Scans(2);
    // An edge while disabled is not logged.
    On(M(1), false);
    Scans(2);
    On(M(2), true);
    Scans(2);
    On(M(1), true);
    Scans(20);
    EXPECT_EQ(Get("mnt/USB0/EV/251207.CSV").size(), 0u);  // hourly names: month, day, hour
    EXPECT_EQ(Get("mnt/USB0/EV/120714.CSV"),
              "Date,Time,Signed,Unsigned,Hex,Bits,Address,Text,F1,F2,L,UL,ANameLongerThanS,D,T\r\n"
              "12/07,14:03,-2,65534,00ABH,1000000000000001B,192.168.0.1,ABCDEFGHIJKLMNOP,1.5,-0.25,"
              "-100000,4000000000,1,2025-12-07,14:03:09\r\n");
}

TEST_F(Logger, RowsKeptWhileTheCardIsAway) {
    LogGroup g{"KEEP", "", 0, 0, 1, 0, 0, 1, {{R(1), 4, "N"}}};
    ASSERT_EQ(LOG_Load(Table(M(1), R(100), {g}), true), 0);
    On(M(1), true);
    Scans(30);
    ASSERT_TRUE(Exists("mnt/USB0/KEEP/120714.CSV"));
    ASSERT_EQ(rename(P("mnt/USB0").c_str(), P("mnt/USB0.out").c_str()), 0);
    for (uint16_t s = 10; s < 20; s++) {
        Clock(14, 3, s);
        SetW(R(1), s);
        Scans(6);
    }
    EXPECT_EQ(W(R(100)), CF_NOT_PRESENT);
    EXPECT_EQ(LogStatus[0], CF_NOT_PRESENT);
    ASSERT_EQ(rename(P("mnt/USB0.out").c_str(), P("mnt/USB0").c_str()), 0);
    Scans(600);
    EXPECT_EQ(W(R(100)), 0);
    std::string want = "Date,Time,N\r\n12/07,14:03:09,0\r\n";
    const std::string got = Get("mnt/USB0/KEEP/120714.CSV");
    for (uint16_t s = 10; s < 20; s++) want += "12/07,14:03:" + std::to_string(s) + "," + std::to_string(s) + "\r\n";
    EXPECT_EQ(got, want);

    // Released for removal and pulled before the supervisor looked again: the
    // card reads 6 (safe to remove), both for the request that waits in the
    // channel (the card manager takes none meanwhile) and for the next rows,
    // and the rows wait for the card as for a missing one.
    PlcWordSet(CFM_W_REMOVE, 1);
    Scans(10);
    ASSERT_EQ(PlcWord(CFM_W_STATUS), 6);
    Clock(14, 3, 20);
    SetW(R(1), 20);
    for (int i = 0; i < 6; i++) LOG_Update();
    want += "12/07,14:03:20,20\r\n";
    ASSERT_EQ(LogFileWriteState, 3);
    ASSERT_EQ(rename(P("mnt/USB0").c_str(), P("mnt/USB0.out").c_str()), 0);
    MntDrive[DRIVE_A].mounted = 0;  // another user of the drive found it gone
    for (uint16_t s = 21; s < 25; s++) {
        Clock(14, 3, s);
        SetW(R(1), s);
        for (int i = 0; i < 6; i++) LOG_Update();
        want += "12/07,14:03:" + std::to_string(s) + "," + std::to_string(s) + "\r\n";
    }
    EXPECT_EQ(LogStatus[0], 6);
    EXPECT_EQ(W(R(100)), 6);
    EXPECT_EQ(LogRun[0].rows, 5);
    ASSERT_EQ(rename(P("mnt/USB0.out").c_str(), P("mnt/USB0").c_str()), 0);
    PlcWordSet(CFM_W_REMOVE, 0);
    Scans(600);
    EXPECT_EQ(Get("mnt/USB0/KEEP/120714.CSV"), want);
    EXPECT_EQ(W(R(100)), 0);

    // A format in progress (82, the drive unmounted meanwhile) is waited for
    // as well; 82 is no status code of the logger.
    ASSERT_EQ(LogFileWriteState, 1);
    MntDrive[DRIVE_A].mounted = 0;
    PlcWordSet(CFM_W_STATUS, CF_FORMATTING);
    for (uint16_t s = 25; s < 28; s++) {
        Clock(14, 3, s);
        SetW(R(1), s);
        for (int i = 0; i < 6; i++) LOG_Update();
        want += "12/07,14:03:" + std::to_string(s) + "," + std::to_string(s) + "\r\n";
    }
    EXPECT_EQ(LogStatus[0], 0);
    EXPECT_EQ(LogRun[0].rows, 3);
    Scans(600);
    EXPECT_EQ(Get("mnt/USB0/KEEP/120714.CSV"), want);
}

// The file work's passes: the configured groups are looked at in one pass
// until one holds a row, wrapping after the last of them; formatting a row
// stops after each float, so a row of two floats takes three passes.
TEST_F(Logger, GroupsLookedAtInOnePassAndAFloatEndsThePass) {
    LogGroup a{"PA", "", M(2), 0, 0, 0, 0, 1, {{R(1), 4, "N"}}};
    LogGroup b{"PB", "", M(3), 0, 0, 0, 0, 1, {{R(20), 8, "F1"}, {R(22), 8, "F2"}}};
    ASSERT_EQ(LOG_Load(Table(M(1), 0, {a, b}), true), 0);
    const float f1 = 1.5f, f2 = -0.25f;
    std::memcpy(&plc_reg[2 * la::WordOf(R(20))], &f1, 4);
    std::memcpy(&plc_reg[2 * la::WordOf(R(22))], &f2, 4);
    SetW(R(1), 42);
    On(M(1), true);
    Scans(5);
    ASSERT_EQ(LogFileWriteState, 1);
    LogFileWriteGroup = 0;
    On(M(3), true);
    LOG_Update();  // the row of group 1 is sampled and found in the same pass
    EXPECT_EQ(LogFileWriteState, 2);
    EXPECT_EQ(LogFileWriteGroup, 1);
    for (int i = 0; i < 60 && LogFileWriteState != 10; i++) {
        LOG_Update();
        Pass();
    }
    ASSERT_EQ(LogFileWriteState, 10);
    LOG_Update();  // date, time and the first float
    EXPECT_EQ(LogFileWriteState, 11);
    LOG_Update();  // the second float
    EXPECT_EQ(LogFileWriteState, 11);
    LOG_Update();  // the line end
    EXPECT_EQ(LogFileWriteState, 12);
    for (int i = 0; i < 60 && LogFileWriteState != 1; i++) {
        LOG_Update();
        Pass();
    }
    ASSERT_EQ(LogFileWriteState, 1);
    EXPECT_EQ(LogFileWriteGroup, 0);  // after the last configured group: group 0
    EXPECT_EQ(Get("mnt/USB0/PB/120714.CSV"), "Date,Time,F1,F2\r\n12/07,14:03:09,1.5,-0.25\r\n");
    On(M(2), true);
    LOG_Update();
    EXPECT_EQ(LogFileWriteState, 2);
    EXPECT_EQ(LogFileWriteGroup, 0);
    Scans(60);
    EXPECT_EQ(Get("mnt/USB0/PA/120714.CSV"), "Date,Time,N\r\n12/07,14:03:09,42\r\n");
}

TEST_F(Logger, TableRefusalsAndUsedShare) {
    LogGroup g{"T", "", 0, 0, 1, 0, 0, 0, {{R(1), 4, "N"}}};
    std::vector<uint8_t> good = Table(M(1), 0, {g});
    EXPECT_EQ(LOG_Load(good, true), 0);
    std::vector<uint8_t> t = good;
    LE_Put32(&t[4], 0x12345678);
    EXPECT_EQ(LOG_Load(t, true), 1);  // no magic
    t = good;
    LE_Put32(&t[0], 60);
    EXPECT_EQ(LOG_Load(t, true), 1);                                             // shorter than 84 bytes
    EXPECT_EQ(LOG_Load(Table(M(1), 0, {}), true), 2);                            // no groups: disabled
    EXPECT_EQ(LOG_Load(Table(M(1), 0, std::vector<LogGroup>(11, g)), true), 3);  // over 10 groups
    t = good;
    LE_Put32(&t[24 + 40], 1000);  // items past the end
    EXPECT_EQ(LOG_Load(t, true), 4);
    t = good;
    LE_Put32(&t[24 + 44 + 12], 5000);  // column name past the end
    EXPECT_EQ(LOG_Load(t, true), 5);
    LogGroup bad = g;
    bad.items[0].addr = 0xFFFFFFF0;  // the image refuses it
    EXPECT_EQ(LOG_Load(Table(M(1), 0, {bad}), true), 6);
    LogGroup wide = g;
    for (int i = 0; i < 40; i++) wide.items.push_back({R(1), 1, "B"});  // no 595-byte line holds it
    EXPECT_EQ(LOG_Load(Table(M(1), 0, {wide}), true), 7);
    // Refused tables log nothing.
    On(M(1), true);
    Scans(20);
    EXPECT_FALSE(Exists("mnt/USB0/T"));
    // Beside a group that fits, the wide one is left out alone: the other
    // logs, the wide one's status shows 7 and no file of its own.
    LogGroup wide2 = wide, fits = g;
    wide2.folder = "W";
    wide2.status = R(400);
    fits.status = R(402);
    SetW(R(1), 5);
    EXPECT_EQ(LOG_Load(Table(M(1), 0, {wide2, fits}), true), 0);
    Scans(40);
    EXPECT_EQ(Get("mnt/USB0/T/120714.CSV"), "Date,Time,N\r\n12/07,14:03,5\r\n");
    EXPECT_FALSE(Exists("mnt/USB0/W"));
    EXPECT_EQ(W(R(400)), 7);
    EXPECT_EQ(W(R(401)), 0);
    EXPECT_EQ(W(R(402)), 0);
    On(M(1), false);

    EXPECT_EQ(LOG_UsedPercent(0, 0), 0);
    EXPECT_EQ(LOG_UsedPercent(40, 10), 75);  // below 50 KB: no division by 0
    EXPECT_EQ(LOG_UsedPercent(1000, 500), 50);
    EXPECT_EQ(LOG_UsedPercent(100, 200), 0);
    EXPECT_EQ(LOG_UsedPercent(1000, 0), 100);
    EXPECT_EQ(LOG_UsedPercent(0xFFFFFFFFu, 1), 99);
}

TEST_F(Logger, DebugLogCollectsAndAppendsDaily) {
    // Names are upper case on the card.
    DbgLog = {R(200), 0, 1};
    SetW(R(200), 0x0003);
    EXPECT_EQ(DBG_WriteLog(4, "filtered"), 2u);
    EXPECT_EQ(DBG_WriteLog(1, ""), 1u);
    EXPECT_EQ(DBG_WriteLog(1, std::string(DBG_LOG_SIZE, 'x').c_str()), 1u);
    EXPECT_EQ(DBG_WriteLog(1, "AT+CSQ"), 0u);
    EXPECT_EQ(DBG_WriteLog(2, "OK"), 0u);
    PlcWordSet(W_MODE, 0);
    EXPECT_EQ(DBG_WriteLog(1, "stopped"), 3u);
    PlcWordSet(W_MODE, 2);
    Scans(3);
    EXPECT_EQ(DBG_WriteLog(1, "during"), 0u);  // added while the first write runs
    Scans(40);
    EXPECT_EQ(Get("mnt/USB0/DEBUG/DLOG_251207.LOG"), "AT+CSQ\r\nOK\r\nduring\r\n");
    EXPECT_EQ(Dbglog_len, 0u);
    EXPECT_EQ(W(R(201)), 0);
    // Filter 0 discards what was collected.
    EXPECT_EQ(DBG_WriteLog(1, "lost"), 0u);
    SetW(R(200), 0);
    Scans(20);
    EXPECT_EQ(Dbglog_len, 0u);
    SetW(R(200), 1);
    Clock(0, 0, 1, 8);
    EXPECT_EQ(DBG_WriteLog(1, "next day"), 0u);
    Scans(40);
    EXPECT_EQ(Get("mnt/USB0/DEBUG/DLOG_251208.LOG"), "next day\r\n");
    EXPECT_EQ(Get("mnt/USB0/DEBUG/DLOG_251207.LOG"), "AT+CSQ\r\nOK\r\nduring\r\n");
    DbgLog = {};
}

// The switch: PLC_DEBUG_LOG names the filter register (%R300 is bit address
// 32768 + 16 x 299 = 37552 = 0x92B0); anything else leaves the logger off.
TEST_F(Logger, DebugLogSwitchFromTheEnvironment) {
    struct Row {
        const char *value;  // nullptr: unset
        uint32_t on, filter;
    };
    const Row rows[] = {
        {"37552", 1, 37552},  {"0x92B0", 1, 37552},  {nullptr, 0, 0}, {"", 0, 0},     {"R300", 0, 0},
        {"37552 ", 0, 0},     {"-37552", 0, 0},      {"0", 0, 0},     {"1000", 0, 0},  // below the register windows
        {"4294967295", 0, 0}, {"99999999999", 0, 0},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.value ? r.value : "(unset)");
        DbgLog = {1, 2, 1};
        if (r.value)
            setenv("PLC_DEBUG_LOG", r.value, 1);
        else
            unsetenv("PLC_DEBUG_LOG");
        EXPECT_EQ(DLOG_Init(), r.on);
        EXPECT_EQ(DbgLog.enable, r.on);
        EXPECT_EQ(DbgLog.filter, r.filter);
    }
    unsetenv("PLC_DEBUG_LOG");
    DbgLog = {};
}

// The debug log's status word (the register after the filter) while the card
// is away: 2 (missing) with the lines kept, 6 (safe to remove) with the work
// waiting in its card check; both go once the card serves again, and the
// kept lines reach the file.
TEST_F(Logger, DebugLogStatusWhileTheCardIsAway) {
    DbgLog = {R(200), 0, 1};
    SetW(R(200), 1);
    ASSERT_EQ(rename(P("mnt/USB0").c_str(), P("mnt/USB0.out").c_str()), 0);
    EXPECT_EQ(DBG_WriteLog(1, "one"), 0u);
    Scans(40);
    EXPECT_EQ(W(R(201)), 2);
    EXPECT_EQ(DLogFileWriteState, 0);
    EXPECT_EQ(Dbglog_len, 5u);
    EXPECT_EQ(DBG_WriteLog(1, "two"), 0u);
    ASSERT_EQ(rename(P("mnt/USB0.out").c_str(), P("mnt/USB0").c_str()), 0);
    Scans(600);
    EXPECT_EQ(W(R(201)), 0);
    EXPECT_EQ(Dbglog_len, 0u);
    EXPECT_EQ(Get("mnt/USB0/DEBUG/DLOG_251207.LOG"), "one\r\ntwo\r\n");

    // Released for removal and pulled before the supervisor looked again:
    // the card reads 6 (safe to remove) and the line waits in state 1.
    PlcWordSet(CFM_W_REMOVE, 1);
    Scans(10);
    ASSERT_EQ(PlcWord(CFM_W_STATUS), 6);
    ASSERT_EQ(rename(P("mnt/USB0").c_str(), P("mnt/USB0.out").c_str()), 0);
    MntDrive[DRIVE_A].mounted = 0;  // another user of the drive found it gone
    EXPECT_EQ(DBG_WriteLog(1, "three"), 0u);
    for (int i = 0; i < 10; i++) DLOG_Update();
    EXPECT_EQ(W(R(201)), 6);
    EXPECT_EQ(DLogFileWriteState, 1);
    EXPECT_EQ(Dbglog_len, 7u);
    ASSERT_EQ(rename(P("mnt/USB0.out").c_str(), P("mnt/USB0").c_str()), 0);
    PlcWordSet(CFM_W_REMOVE, 0);
    Scans(600);
    EXPECT_EQ(W(R(201)), 0);
    EXPECT_EQ(Dbglog_len, 0u);
    EXPECT_EQ(Get("mnt/USB0/DEBUG/DLOG_251207.LOG"), "one\r\ntwo\r\nthree\r\n");
    DbgLog = {};
}
