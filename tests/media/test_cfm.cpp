// Card file manager: one request in flight, round robin over the blocks,
// cancelled answers dropped, listings cut and sorted, meta sequences in names,
// the supervisor's registers and the safe-removal handshake, and the mailbox
// clients of the file-request and logger channels.
#include <algorithm>
#include <cstring>
#include <dirent.h>
#include <filesystem>
#include <sys/statvfs.h>

#include "core/image/bytes.h"
#include "exec/mainloop.h"
#include "core/image/timebase.h"
#include "media/cfdl.h"
#include "media/cfdpram.h"
#include "media/cfupdate.h"
#include "tests/media/media_fixture.h"
#include "tests/support/cf_rec.h"

using namespace media_test;

namespace {
class Cfm : public MediaTest {
protected:
    int16_t Poll(tCFCB *b) {
        int16_t r = -1;
        for (int i = 0; i < 10; i++) {
            if (CFM_PollReq(b, &r) == 4) return r;
            CFM_TheLoop(0);
        }
        ADD_FAILURE() << "no answer";
        return r;
    }
    void SetDate(uint16_t d, uint16_t m, uint16_t y, uint16_t h = 14, uint16_t mi = 3, uint16_t s = 9) {
        const uint16_t w[6] = {s, mi, h, d, m, y};
        for (unsigned i = 0; i < 6; i++) PlcWordSet(W_CLOCK + i, w[i]);
    }
    void Passes(int n) {
        for (int i = 0; i < n; i++) Pass();
    }
};
}  // namespace

TEST_F(Cfm, OneRequestInFlightRoundRobinCancelAndListings) {
    tCFCB *b3 = &cfcb[3], *b5 = &cfcb[5], *b6 = &cfcb[6], *b7 = &cfcb[7];
    // Two clients post in one pass: the second waits for the first answer.
    CFM_LoadReq(b5, DRIVE_A, 12, nullptr, nullptr);
    CFM_LoadReq(b6, DRIVE_A, 12, nullptr, nullptr);
    EXPECT_EQ(b5->state, CFCB_SERVICE);
    EXPECT_EQ(b6->state, CFCB_POSTED);
    EXPECT_EQ(qcb_cfi.enqueued, 1u);
    CFM_TheLoop(0);
    EXPECT_EQ(CFM_PollReq(b6, nullptr), 2u);  // collects b5's answer, sends b6
    EXPECT_EQ(b5->state, CFCB_DONE);
    EXPECT_EQ(b6->state, CFCB_SERVICE);
    EXPECT_EQ(Poll(b5), CF_OK);
    EXPECT_EQ(Poll(b6), CF_OK);
    // A block posted again before its answer was collected is taken all the
    // same, after a console line naming it by its address in hexadecimal.
    b5->state = CFCB_DONE;
    testing::internal::CaptureStdout();
    CFM_LoadReq(b5, DRIVE_A, 12, nullptr, nullptr);
    std::fflush(stdout);
    char line[64];
    std::snprintf(line, sizeof line, "Bad State on %x\n", unsigned(reinterpret_cast<uintptr_t>(b5)));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), line);
    EXPECT_EQ(Poll(b5), CF_OK);
    // Round robin from the block after the last one served: 7 before 3.
    b3->state = b7->state = CFCB_IDLE;
    b3->drive = b7->drive = DRIVE_B;  // no stick: status 2
    cfcbArgs[3] = cfcbArgs[7] = {};
    b3->code = b7->code = 12;
    b3->state = b7->state = CFCB_POSTED;
    CFM_IsBlkReady(b5);
    EXPECT_EQ(b7->state, CFCB_SERVICE);
    EXPECT_EQ(b3->state, CFCB_POSTED);
    EXPECT_EQ(Poll(b7), CF_NOT_PRESENT);
    EXPECT_EQ(Poll(b3), CF_NOT_PRESENT);

    // A block cancelled in service drops its answer and becomes idle.
    CFM_LoadReq(b5, DRIVE_B, 12, nullptr, nullptr);
    CFM_CancelReq(b5);
    EXPECT_EQ(b5->state, CFCB_CANCELLED);
    EXPECT_EQ(CFM_IsAllHalted(), 0u);
    CFM_TheLoop(0);
    EXPECT_EQ(CFM_IsAllHalted(), 1u);
    EXPECT_EQ(b5->state, CFCB_IDLE);
    EXPECT_EQ(b5->result, 0u);
    b6->state = CFCB_ERROR;
    int16_t r = 0;
    EXPECT_EQ(CFM_PollReq(b6, &r), 4u);
    EXPECT_EQ(r, 97);

    // A listing of 600 files: 512 entries examined, the last copied flagged.
    MkDir("mnt/USB0/MANY");
    MkDir("mnt/USB0/MANY/SUB");
    for (int i = 0; i < 600; i++) Put("mnt/USB0/MANY/F" + std::to_string(1000 + i) + ".CSV", "x");
    CfmListReq list{0, "A:\\MANY\\*.*", 0};
    CFM_LoadReq(b5, DRIVE_A, 10, &list, nullptr);
    EXPECT_EQ(Poll(b5), CF_OK);
    // 512 entries are examined in the order the file system gives them ("."
    // and ".." among them, skipped); the listing holds the others.
    uint32_t want = 0;
    bool sub_examined = false;
    {
        DIR *d = opendir(P("mnt/USB0/MANY").c_str());
        ASSERT_NE(d, nullptr);
        int seen = 0;
        for (const dirent *e; seen < 512 && (e = readdir(d)) != nullptr; seen++) {
            if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
            want++;
            if (std::strcmp(e->d_name, "SUB") == 0) sub_examined = true;
        }
        closedir(d);
    }
    EXPECT_EQ(list.count, want);
    EXPECT_EQ(cfmList[list.count - 1][271], 0x80);
    EXPECT_STREQ(cfmListBase, "\\MANY");
    // Sorted: directories first, then by name.
    const char *first = reinterpret_cast<const char *>(cfmList[cfmListOrder[0]].data());
    EXPECT_EQ(std::strcmp(first, "SUB") == 0, sub_examined) << first;
    for (uint32_t i = 1 + (sub_examined ? 1 : 0); i + 1 < list.count; i++)
        EXPECT_LT(std::memcmp(cfmList[cfmListOrder[i - 1]].data(), cfmList[cfmListOrder[i]].data(), 8), 0);
    // A directory listed whole: directories first, then by name.
    MkDir("mnt/USB0/SMALL");
    MkDir("mnt/USB0/SMALL/ZDIR");
    Put("mnt/USB0/SMALL/B.CSV", "x");
    MkDir("mnt/USB0/SMALL/YDIR");
    Put("mnt/USB0/SMALL/A.TXT", "x");
    CfmListReq small{0, "A:\\SMALL\\*.*", 0};
    CFM_LoadReq(b5, DRIVE_A, 10, &small, nullptr);
    EXPECT_EQ(Poll(b5), CF_OK);
    ASSERT_EQ(small.count, 4u);
    const char *order[4] = {"YDIR", "ZDIR", "A", "B"};
    for (uint32_t i = 0; i < 4; i++)
        EXPECT_STREQ(reinterpret_cast<const char *>(cfmList[cfmListOrder[i]].data()), order[i]) << i;
    EXPECT_EQ(cfmList[cfmListOrder[3]][271], 0) << "nothing cut";
    // Entry layout: extension at 256, time at 274 and date at 276.
    struct stat st {};
    ASSERT_EQ(stat(P("mnt/USB0/SMALL/B.CSV").c_str(), &st), 0);
    struct tm t {};
    localtime_r(&st.st_mtime, &t);
    const uint8_t *e = cfmList[cfmListOrder[3]].data();
    EXPECT_STREQ(reinterpret_cast<const char *>(e + 256), "CSV");
    EXPECT_EQ(LE_Get16(e + 274), t.tm_hour * 2048 + t.tm_min * 32 + t.tm_sec / 2);
    EXPECT_EQ(LE_Get16(e + 276), (t.tm_year + 1900 - 1980) * 512 + (t.tm_mon + 1) * 32 + t.tm_mday);
    // Delete what a listing named.
    CfmListReq few{0, "A:\\MANY\\F10?0.CSV", 0};
    CFM_LoadReq(b5, DRIVE_A, 10, &few, nullptr);
    EXPECT_EQ(Poll(b5), CF_OK);
    EXPECT_EQ(few.count, 10u);
    CFM_LoadReq(b5, DRIVE_A, 11, nullptr, nullptr);
    EXPECT_EQ(Poll(b5), CF_OK);
    EXPECT_FALSE(Exists("mnt/USB0/MANY/F1010.CSV"));
    EXPECT_TRUE(Exists("mnt/USB0/MANY/F1011.CSV"));
    // An empty folder answers 1002, a pattern that matches nothing 1000.
    MkDir("mnt/USB0/EMPTY");
    CfmListReq empty{0, "A:\\EMPTY\\*.*", 0};
    CFM_LoadReq(b5, DRIVE_A, 10, &empty, nullptr);
    EXPECT_EQ(Poll(b5), 1002);
    CfmListReq none{0, "A:\\MANY\\*.XYZ", 0};
    CFM_LoadReq(b5, DRIVE_A, 10, &none, nullptr);
    EXPECT_EQ(Poll(b5), 1000);
    // The pause answers only after 400 ticks, without holding the loop.
    CFM_LoadReq(b5, DRIVE_A, 24, nullptr, nullptr);
    CFM_TheLoop(0);
    EXPECT_EQ(CFM_PollReq(b5, nullptr), 2u);
    sysTic = uint16_t(sysTic + 400);
    EXPECT_EQ(Poll(b5), 0);
}

TEST_F(Cfm, MetaSequencesInNames) {
    auto conv = [](const char *in) {
        char b[FX_PATH_MAX];
        std::strcpy(b, in);
        ConvertMeta(b, sizeof b);
        return std::string(b);
    };
    SetDate(7, 12, 2025);
    EXPECT_EQ(conv("A:\\OUT\\L$Y$M$D.CSV"), "A:\\OUT\\L251207.CSV");
    EXPECT_EQ(conv("OUT\\NN$1u3.CSV"), "OUT\\NN000.CSV");
    EXPECT_EQ(conv("A$1u3.TXT"), "A000.TXT");
    EXPECT_EQ(conv("T$h$m$s$Q$9u1$"), "T140309$Q$9u1$");
    SetDate(5, 3, 2021);
    EXPECT_EQ(conv("LOG$Y$M$D.CSV"), "LOG210305.CSV");
    EXPECT_EQ(conv("W$W"), "W10");  // 59 + 5 + Friday (5) = 69: week 10
    std::string longname(600, 'x');
    longname = "$D" + longname;
    char b[700];
    std::strcpy(b, longname.c_str());
    ConvertMeta(b, sizeof b);
    EXPECT_EQ(std::strlen(b), 511u);
}

TEST_F(Cfm, SupervisorRegistersAndSafeRemoval) {
    struct statvfs v {};
    ASSERT_EQ(statvfs(P("mnt/USB0").c_str(), &v), 0);
    Passes(8);
    EXPECT_EQ(PlcWord(CFM_W_STATUS), 0);
    EXPECT_EQ(PlcDword(CFM_W_TOTAL), uint32_t(uint64_t(v.f_blocks) * v.f_frsize / 1024));
    EXPECT_GT(PlcDword(CFM_W_FREE), 0u);
    // Card pulled: status 2, no space.
    ASSERT_EQ(rename(P("mnt/USB0").c_str(), P("mnt/USB0.out").c_str()), 0);
    sysDTic += 200;
    Passes(8);
    EXPECT_EQ(PlcWord(CFM_W_STATUS), CF_NOT_PRESENT);
    EXPECT_EQ(PlcDword(CFM_W_TOTAL), 0u);
    EXPECT_EQ(PlcDword(CFM_W_FREE), 0u);
    ASSERT_EQ(rename(P("mnt/USB0.out").c_str(), P("mnt/USB0").c_str()), 0);
    sysDTic += 200;
    Passes(8);
    EXPECT_EQ(PlcWord(CFM_W_STATUS), 0);

    // Removal asked with a request in flight: 7 until every block is halted.
    CFM_LoadReq(&cfcb[6], DRIVE_A, 12, nullptr, nullptr);
    PlcWordSet(CFM_W_REMOVE, 1);
    CFM_Update();
    EXPECT_EQ(cfm.status, 7u);
    EXPECT_EQ(PlcWord(CFM_W_REMOVE), 1);
    Passes(6);
    EXPECT_EQ(PlcWord(CFM_W_REMOVE), 3);
    EXPECT_EQ(PlcWord(CFM_W_STATUS), 6);
    // A file request meanwhile is not taken.
    std::vector<uint8_t> d(4, 0);
    uint32_t n = 0;
    CfTransferRec w = test_support::CfValuesRec("A:\\R.CSV", d.data(), 4, 5, 2, &n);
    w.mode = 2;
    w.flag8 = 1;
    EXPECT_EQ(CF_DpramWriteFile(DRIVE_A, &w), -2);
    Passes(10);
    EXPECT_EQ(CF_DpramWriteFile(DRIVE_A | CF_DPRAM_POLL, &w), -2);
    EXPECT_EQ(PlcWord(CFM_W_STATUS), 6);
    // Released: the request completes and polling returns to normal.
    PlcWordSet(CFM_W_REMOVE, 0);
    Passes(10);
    EXPECT_EQ(CF_DpramWriteFile(DRIVE_A | CF_DPRAM_POLL, &w), 0);
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(Get("mnt/USB0/R.CSV"), "0,0\r\n");
    EXPECT_EQ(PlcWord(CFM_W_REMOVE), 0);
    Passes(8);
    EXPECT_EQ(PlcWord(CFM_W_STATUS), 0);

    // The registers are register links of the system services, made by
    // CFM_Open in the table start-up chose: {bit address, width, bytes}.
    const uint32_t links[5][3] = {{5840, 16, 2}, {5856, 16, 2}, {5872, 32, 4}, {5904, 32, 4}, {3520, 16, 2}};
    ASSERT_EQ(rcbIndex, 5u);
    for (unsigned i = 0; i < 5; i++) {
        EXPECT_EQ(rcbThird[i].address, links[i][0]) << i;
        EXPECT_EQ(rcbThird[i].width, links[i][1]) << i;
        EXPECT_EQ(rcbThird[i].count, links[i][2]) << i;
    }
    EXPECT_EQ(pCntlRcb, &rcbThird[0]);
    EXPECT_EQ(pNetIdRcb, &rcbThird[4]);
    // Links moved to words 3100 and 3101: the removal request is read and
    // granted there, the status shown there.
    SYS_ChgLink(pCntlRcb, 1024 + 16 * 3100);
    SYS_ChgLink(pStatRcb, 1024 + 16 * 3101);
    PlcWordSet(CFM_W_REMOVE, 1);
    Passes(4);
    EXPECT_EQ(remove_state, CFM_RM_IDLE);
    PlcWordSet(CFM_W_REMOVE, 0);
    PlcWordSet(3100, 1);
    Passes(4);
    EXPECT_EQ(PlcWord(3100), 3);
    EXPECT_EQ(PlcWord(3101), 6);
    EXPECT_EQ(PlcWord(CFM_W_REMOVE), 0);
    EXPECT_EQ(PlcWord(CFM_W_STATUS), 0);
}

TEST_F(Cfm, MailboxClientsOfFileAndLoggerChannels) {
    // File requests: busy channel, names cut at a blank, '/' turned to '\'.
    Put("mnt/USB0/IN.CSV", "1,2,3,4,5,6,7,8,9,10\r\n");
    std::vector<uint8_t> area(40, 0xEE);
    uint32_t n = 0;
    CfTransferRec r = test_support::CfValuesRec("A:\\in.csv trailing", area.data(), 20, 5, 10, &n);
    EXPECT_EQ(CF_DpramReadFile(DRIVE_A, &r), -2);
    EXPECT_STREQ(reinterpret_cast<const char *>(&dpram[DP_FILE_NAME]), "A:\\in.csv");
    // A busy channel answers -3 and is left as it is: name, record, data.
    const auto posted = dpram;
    EXPECT_EQ(CF_DpramReadFile(DRIVE_A, &r), -3);
    EXPECT_EQ(CF_DpramDeleteFile(DRIVE_A, "X"), -3);
    std::vector<uint8_t> other(8, 0x77);
    uint32_t other_n = 0;
    CfTransferRec w = test_support::CfValuesRec("A:\\OTHER.CSV", other.data(), 8, 8, 4, &other_n);
    EXPECT_EQ(CF_DpramWriteFile(DRIVE_A, &w), -3);
    EXPECT_EQ(CF_DpramRenameFile(DRIVE_A, "A:\\Y", "A:\\Z"), -3);
    EXPECT_EQ(CF_DpramCopyFile(DRIVE_A, "A:\\Y", "A:\\Z"), -3);
    EXPECT_EQ(CF_DpramFormatCard(DRIVE_A), -3);
    EXPECT_TRUE(dpram == posted);
    EXPECT_EQ(CF_DpramReadFile(DRIVE_A | CF_DPRAM_POLL, &r), -2);
    Passes(3);
    EXPECT_EQ(CF_DpramReadFile(DRIVE_A | CF_DPRAM_POLL, &r), 0);
    EXPECT_EQ(n, 10u);
    EXPECT_EQ(LE_Get16(&area[18]), 10);
    EXPECT_EQ(area[20], 0xEE);  // 20 bytes copied back, no more
    EXPECT_EQ(cfm.requests, 1u);
    // Rename, copy and delete reach the file API; the names are expanded.
    MkDir("mnt/USB0/LOG");
    Put("mnt/USB0/LOG/A.CSV", "a");
    PlcWordSet(W_CLOCK + 3, 9);
    EXPECT_EQ(CF_DpramRenameFile(DRIVE_A, "LOG/A.CSV", "LOG/B$D.CSV"), -2);
    EXPECT_STREQ(reinterpret_cast<const char *>(&dpram[DP_FILE_NAME]), "LOG\\A.CSV");
    Passes(3);
    EXPECT_EQ(CF_DpramRenameFile(DRIVE_A | CF_DPRAM_POLL, nullptr, nullptr), 0);
    EXPECT_TRUE(Exists("mnt/USB0/LOG/B09.CSV"));
    EXPECT_EQ(CF_DpramCopyFile(DRIVE_A, "A:\\LOG\\B09.CSV", "A:\\LOG\\C.CSV"), -2);
    Passes(3);
    EXPECT_EQ(CF_DpramCopyFile(DRIVE_A | CF_DPRAM_POLL, nullptr, nullptr), 0);
    EXPECT_EQ(CF_DpramDeleteFile(DRIVE_A, "A:\\LOG\\B*.CSV"), -2);
    Passes(3);
    EXPECT_EQ(CF_DpramDeleteFile(DRIVE_A | CF_DPRAM_POLL, nullptr), 0);
    EXPECT_FALSE(Exists("mnt/USB0/LOG/B09.CSV"));
    EXPECT_EQ(Get("mnt/USB0/LOG/C.CSV"), "a");
    EXPECT_EQ(CF_DpramDeleteFile(DRIVE_A, std::string(600, 'n').c_str()), 86);
    // A record whose offsets leave the area is answered 86 by the server.
    dpram[DP_FILE_OP] = CFD_OP_READ;
    LE_Put32(&dpram[DP_FILE_REC + 4], 8776);
    LE_Put32(&dpram[DP_FILE_REC + 8], 70000);
    dpram[DP_FILE_REQ] = uint8_t(1 - dpram[DP_FILE_ACK]);
    Passes(3);
    EXPECT_EQ(CF_DpramReadFile(DRIVE_A | CF_DPRAM_POLL, &r), 86);
    // 2^30 elements of 32 bits are 4 GiB, not 0 bytes: refused, not posted.
    EXPECT_EQ(CF_DataBytes(3, 0x40000000u), 0x100000000ull);
    EXPECT_EQ(CF_DataBytes(5, 0x80000000u), 0x100000000ull);
    CfTransferRec huge = test_support::CfValuesRec("A:\\H.CSV", area.data(), 0xFFFFFFFFu, 3, 0x40000000u, &n);
    huge.mode = 2;
    const uint8_t req = dpram[DP_FILE_REQ];
    EXPECT_EQ(CF_DpramWriteFile(DRIVE_A, &huge), 86);
    EXPECT_EQ(dpram[DP_FILE_REQ], req);
    Passes(3);
    EXPECT_FALSE(Exists("mnt/USB0/H.CSV"));

    // Logger channel: busy answers -3, a fresh post -2.
    EXPECT_EQ(CFDL_MakeDir(0, "\\LOGS"), -2);
    EXPECT_EQ(CFDL_Result(), -2);
    EXPECT_EQ(CFDL_Open("\\LOGS\\X.CSV", 8, 0), -3);
    Passes(3);
    EXPECT_EQ(CFDL_Result(), 0);
    EXPECT_EQ(CFDL_Open("\\LOGS\\X.CSV", 8, 0), -2);
    Passes(3);
    EXPECT_EQ(CFDL_Result(), 0);
    EXPECT_EQ(CFDL_Write(0, "row\r\n", 5, 0), -2);
    Passes(3);
    EXPECT_EQ(CFDL_Result(), 0);
    EXPECT_EQ(CFDL_Written(), 5u);
    EXPECT_EQ(CFDL_Close(0), -2);
    Passes(3);
    EXPECT_EQ(CFDL_Result(), 0);
    EXPECT_EQ(Get("mnt/USB0/LOGS/X.CSV"), "row\r\n");
    // The debug-logger channel has a block of its own: both run at once.
    EXPECT_EQ(CFDBGL_MakeDir(0, "\\DEBUG"), -2);
    EXPECT_EQ(CFDL_MakeDir(0, "\\LOGS2"), -2);
    Passes(4);
    EXPECT_EQ(CFDBGL_Result(), 0);
    EXPECT_EQ(CFDL_Result(), 0);
    EXPECT_TRUE(Exists("mnt/USB0/DEBUG"));
    EXPECT_TRUE(Exists("mnt/USB0/LOGS2"));
    EXPECT_EQ(CFDL_Write(0, nullptr, 5000, 0), 86);
    uint32_t tot = 0, fr = 0;
    PlcDwordSet(CFM_W_TOTAL, 1234);
    PlcDwordSet(CFM_W_FREE, 567);
    EXPECT_EQ(CFDL_GetFreeSpace(0, &tot, &fr), 0);
    EXPECT_EQ(tot, 1234u);
    EXPECT_EQ(fr, 567u);
    // The channel's free-space request answers in its two parameter words:
    // total kilobytes, then free kilobytes.
    {
        struct statvfs v {};
        ASSERT_EQ(statvfs(P("mnt/USB0").c_str(), &v), 0);
        BackTsk_Report();
        dpram[DP_DLOG_REQ + DP_LOG_OP] = 1;
        dpram[DP_DLOG_REQ + DP_LOG_ARG] = 0;
        LE_Put32(&dpram[DP_DLOG_REQ + DP_LOG_P1], 0xAAAAAAAAu);
        LE_Put32(&dpram[DP_DLOG_REQ + DP_LOG_P1 + 4], 0xBBBBBBBBu);
        dpram[DP_DLOG_REQ] = uint8_t(1 - dpram[DP_DLOG_REQ + 1]);
        Passes(3);
        EXPECT_EQ(CFDL_Result(), 0);
        EXPECT_EQ(LE_Get32(&dpram[DP_DLOG_REQ + DP_LOG_P1]), uint32_t(uint64_t(v.f_blocks) * v.f_frsize / 1024));
        const uint32_t free_kb = LE_Get32(&dpram[DP_DLOG_REQ + DP_LOG_P1 + 4]);
        EXPECT_GT(free_kb, 0u);
        EXPECT_LE(free_kb, uint32_t(uint64_t(v.f_blocks) * v.f_frsize / 1024));
    }

    // Requests handed over are counted: the loggers' writes and closes, the
    // e-mail channel's closes and reads; no status, space, folder, open or
    // listing request.
    std::strcpy(reinterpret_cast<char *>(&dpram[DP_DLOG_TEXT]), "\\LOGS\\C.TXT");
    const struct {
        std::size_t base;
        uint32_t (*server)();
        tCFCB *block;
        uint8_t op;
        uint32_t counted;
    } rows[] = {
        {DP_DLOG_REQ, CFM_LoadLoggerReq, pLoggerCFCB, 0, 0}, {DP_DLOG_REQ, CFM_LoadLoggerReq, pLoggerCFCB, 1, 0},
        {DP_DLOG_REQ, CFM_LoadLoggerReq, pLoggerCFCB, 2, 0}, {DP_DLOG_REQ, CFM_LoadLoggerReq, pLoggerCFCB, 3, 0},
        {DP_DLOG_REQ, CFM_LoadLoggerReq, pLoggerCFCB, 4, 1}, {DP_DLOG_REQ, CFM_LoadLoggerReq, pLoggerCFCB, 5, 1},
        {DP_MAIL_REQ, CFM_LoadEmailReq, pEmailCFCB, 0, 0},   {DP_MAIL_REQ, CFM_LoadEmailReq, pEmailCFCB, 3, 0},
        {DP_MAIL_REQ, CFM_LoadEmailReq, pEmailCFCB, 6, 1},   {DP_MAIL_REQ, CFM_LoadEmailReq, pEmailCFCB, 5, 1},
        {DP_MAIL_REQ, CFM_LoadEmailReq, pEmailCFCB, 7, 0}};
    for (const auto &r : rows) {
        SCOPED_TRACE(testing::Message() << r.base << " op " << int(r.op));
        dpram[r.base + DP_LOG_OP] = r.op;
        dpram[r.base + DP_LOG_ARG] = 0;
        LE_Put32(&dpram[r.base + DP_LOG_P1], r.op == 4 || r.op == 6 ? 0 : uint32_t(DP_DLOG_TEXT));
        LE_Put32(&dpram[r.base + DP_LOG_P1 + 4], r.op == 3 ? 2 : uint32_t(DP_DLOG_DATA));
        LE_Put32(&dpram[r.base + DP_LOG_P1 + 8], 0);
        const uint32_t before = cfm.requests;
        EXPECT_EQ(r.server(), 1u);
        EXPECT_EQ(cfm.requests - before, r.counted);
        Poll(r.block);
    }
}

// The firmware-update listing (request 27): whatever the listing answers, a
// search that found nothing newer clears bit 15 and stores its count.
TEST_F(Cfm, FirmwareListingEndsWithoutAnUpdateFolder) {
    PlcWordSet(W_FWVER, 1550);
    enum Card { NO_FOLDER, FILE_NAMED_UPDATE, OLDER_FOLDER, NO_CARD };
    struct Row {
        Card card;
        int16_t result;
        uint32_t count;
        uint16_t word;  // word 281 after the listing, 0xC200 before
    };
    const Row rows[] = {
        {NO_FOLDER, CF_NOT_FOUND, 0, 0x4200},
        {FILE_NAMED_UPDATE, CF_NOT_FOUND, 0, 0x4200},
        {OLDER_FOLDER, CF_OK, 2, 0x4200},  // ".." and the folder
        {NO_CARD, 1, 99, 0x0200},          // not ready: bits 14 and 15 cleared, nothing listed
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(int(r.card));
        std::filesystem::remove_all(P("mnt/USB0"));
        if (r.card != NO_CARD) MkDir("mnt/USB0");
        if (r.card == FILE_NAMED_UPDATE) Put("mnt/USB0/UPDATE", "x");
        if (r.card == OLDER_FOLDER) {
            MkDir("mnt/USB0/UPDATE");
            MkDir("mnt/USB0/UPDATE/V1549999");
            Put("mnt/USB0/UPDATE/V1549999/vbx310c", "old");
        }
        PlcWordSet(W_UPDATE, 0xC200);
        CfmListReq list{99, "UPDATE\\*.*", 1};
        CFM_LoadReq(pLoadSDFirmwareCFCB, DRIVE_A, 27, &list, nullptr);
        EXPECT_EQ(Poll(pLoadSDFirmwareCFCB), r.result);
        EXPECT_EQ(list.count, r.count);
        EXPECT_EQ(PlcWord(W_UPDATE), r.word);
    }
    // The supervisor posts the listing for bit 9; the program sees bit 15 cleared.
    MkDir("mnt/USB0");
    PlcWordSet(W_MODE, 2);
    PlcWordSet(W_UPDATE, 0x8200);
    for (int i = 0; i < 40 && (PlcWord(W_UPDATE) & 0x8000); i++) Pass();
    EXPECT_EQ(PlcWord(W_UPDATE), 0x0200);
    EXPECT_EQ(PlcWord(W_MODE), 2);
}

// The newest folder is installed when its version is above the running one,
// or equal with a higher build; here the card's device cannot be found, so
// an install that starts ends failed (bit 14) with the mode back.
TEST_F(Cfm, FirmwareFolderOfTheSameVersionWithAHigherBuildIsNewer) {
    PlcWordSet(W_FWVER, 1550);
    PlcWordSet(W_FWBUILD, 50);
    const struct {
        const char *folder;
        uint16_t word;  // word 281 after the listing, 0x8200 before
    } rows[] = {
        {"V1550051", 0x4200},  // same version, higher build: installed (and failed here)
        {"V1550050", 0x0200},  // same version and build: nothing newer
        {"V1550049", 0x0200}, {"V1549999", 0x0200}, {"V1551000", 0x4200},  // higher version, lower build
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.folder);
        std::filesystem::remove_all(P("mnt/USB0"));
        MkDir("mnt/USB0");
        MkDir("mnt/USB0/UPDATE");
        MkDir(std::string("mnt/USB0/UPDATE/") + r.folder);
        Put(std::string("mnt/USB0/UPDATE/") + r.folder + "/vbx310c", "firmware");
        PlcWordSet(W_MODE, 2);
        PlcWordSet(W_UPDATE, 0x8200);
        CfmListReq list{99, "UPDATE\\*.*", 1};
        CFM_LoadReq(pLoadSDFirmwareCFCB, DRIVE_A, 27, &list, nullptr);
        EXPECT_EQ(Poll(pLoadSDFirmwareCFCB), CF_OK);
        EXPECT_EQ(PlcWord(W_UPDATE), r.word);
    }
}

// Request 7: folders along the way are no error, an existing final folder is.
TEST_F(Cfm, MakeDirectoryRequestAnswersAnExistingFolder) {
    tCFCB *b = &cfcb[6];
    const struct {
        const char *name;
        int16_t result;
    } rows[] = {{"A:\\LOGS\\DAY", CF_OK},       {"A:\\LOGS\\DAY", CF_EXISTS}, {"a:\\logs", CF_EXISTS},
                {"A:\\LOGS\\DAY\\HOUR", CF_OK}, {"A:\\", CF_EXISTS},          {"B:\\LOGS", CF_NOT_PRESENT}};
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        CFM_LoadReq(b, DRIVE_A, 7, const_cast<char *>(r.name), nullptr);
        EXPECT_EQ(Poll(b), r.result);
    }
    EXPECT_TRUE(Exists("mnt/USB0/LOGS/DAY/HOUR"));
}

// A row count through the file-request channel: the count goes back in the
// width the card manager wrote it, 16 bits unless the format is a 32-bit
// one; what lies behind it in the channel's data area (an earlier
// request's data) never reaches the caller's area.
TEST_F(Cfm, RowCountCopiedBackInTheWidthWritten) {
    Put("mnt/USB0/ROWS.CSV", "1\r\n2\r\n3\r\n");
    const struct {
        uint32_t format;
        std::vector<uint8_t> want;
    } rows[] = {
        {5, {3, 0, 0xEE, 0xEE, 0xEE, 0xEE}},
        {3, {3, 0, 0, 0, 0xEE, 0xEE}},
        {7, {3, 0, 0, 0, 0xEE, 0xEE}},
        {12, {3, 0, 0xEE, 0xEE, 0xEE, 0xEE}},  // no format: 16 bits
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.format);
        std::fill_n(&dpram[DP_FILE_DATA], 8, uint8_t(0x55));
        std::vector<uint8_t> area(6, 0xEE);
        uint32_t n = 0;
        CfTransferRec rec = test_support::CfValuesRec("A:\\ROWS.CSV", area.data(), 6, r.format, 1, &n);
        rec.start = -1;
        ASSERT_EQ(CF_DpramReadFile(DRIVE_A, &rec), -2);
        Passes(3);
        ASSERT_EQ(CF_DpramReadFile(DRIVE_A | CF_DPRAM_POLL, &rec), 0);
        EXPECT_EQ(n, 1u);
        EXPECT_EQ(area, r.want);
    }
}

// A read by row copies back the bytes of the elements read and no more:
// bits eight to a byte, bit 0 first; 32-bit values four bytes each, low
// byte first.
TEST_F(Cfm, ReadCopiesBackTheBytesOfTheElementsRead) {
    Put("mnt/USB0/BITS.CSV", "1,0,1,1,0,0,0,0,1,1\r\n");
    Put("mnt/USB0/LONGS.CSV", "5,-1,70000\r\n");
    const struct {
        const char *name;
        uint32_t format, count, n;
        std::vector<uint8_t> want;
    } rows[] = {
        {"A:\\BITS.CSV", 2, 10, 10, {0x0D, 0x03, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE}},
        {"A:\\LONGS.CSV", 3, 3, 3, {5, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0x70, 0x11, 0x01, 0x00, 0xEE}},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        std::fill_n(&dpram[DP_FILE_DATA], 16, uint8_t(0));
        std::vector<uint8_t> area(13, 0xEE);
        uint32_t n = 0;
        CfTransferRec rec = test_support::CfValuesRec(r.name, area.data(), 13, r.format, r.count, &n);
        ASSERT_EQ(CF_DpramReadFile(DRIVE_A, &rec), -2);
        Passes(3);
        ASSERT_EQ(CF_DpramReadFile(DRIVE_A | CF_DPRAM_POLL, &rec), 0);
        EXPECT_EQ(n, r.n);
        EXPECT_EQ(area, r.want);
    }
}
