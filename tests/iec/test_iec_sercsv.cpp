// The serial, Modbus-slave and CSV standard blocks through the standard
// registry, on a stand-in serial port and Modbus server: frames with CRCs
// from pymodbus's computeCRC, CSV lines worked out by hand.
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/image/bytes.h"
#include "iec/blocks/blkcsv.h"
#include "iec/blocks/blkform.h"
#include "iec/blocks/blkser.h"
#include "iec/services/z7svc.h"
#include "iec/vm/z7stdlib.h"
#include "iec/vm/z7str.h"
#include "tests/iec/iec_fixture.h"

namespace iec_test {
using test_support::IecImage;

namespace {
using Bytes = std::vector<uint8_t>;
Bytes Hex(const std::string &h) {
    Bytes b;
    for (size_t k = 0; k + 1 < h.size(); k += 2) b.push_back(uint8_t(std::stoul(h.substr(k, 2), nullptr, 16)));
    return b;
}
// Stand-in port and server.
struct Fake {
    static inline Bytes rx, tx;
    static inline uint32_t send_max = 1000, opens = 0;
    static inline bool server = true;
    static inline uint32_t silent = 0;  // the next requests served without an answer
    static inline std::vector<Bytes> served;
    static void Init(int32_t *h) { *h = -1; }
    static bool IsValid(int32_t h) { return h == 5; }
    static void Open(int32_t *h, const char *) {
        opens++;
        *h = 5;
    }
    static uint32_t Receive(int32_t *, uint32_t max, uint8_t *buf) {
        const uint32_t n = std::min<uint32_t>(max, uint32_t(rx.size()));
        std::copy(rx.begin(), rx.begin() + n, buf);
        rx.erase(rx.begin(), rx.begin() + n);
        return n;
    }
    static uint32_t Send(int32_t, uint32_t len, const uint8_t *d) {
        const uint32_t n = std::min(len, send_max);
        tx.insert(tx.end(), d, d + n);
        return n;
    }
    static void Close(int32_t *h) { *h = -1; }
    static inline std::vector<std::string> udp;
    static bool UdpOpen(uint16_t port, int32_t *s) {
        udp.push_back("open " + std::to_string(port));
        *s = 9;
        return true;
    }
    static void UdpActivate(uint32_t, int32_t s, uint32_t rtu, uint32_t unit, const char *name) {
        udp.push_back("serve " + std::to_string(s) + " " + std::to_string(rtu) + " " + std::to_string(unit) + " " +
                      name);
    }
    static void UdpClose(int32_t s) { udp.push_back("close " + std::to_string(s)); }
    static bool Find(uint32_t, const char *name) { return server && (name[0] == 0 || std::string(name) == "srv"); }
    // FC3: two registers' worth {0x12, 0x34}; FC4: exception 2; FC6: echo
    static uint32_t Serve(uint32_t, const uint8_t *req, uint32_t len, uint8_t *ans, uint32_t, uint32_t, uint32_t,
                          const char *) {
        served.emplace_back(req, req + len);
        if (silent > 0) {
            silent--;
            return 0;
        }
        if (req[1] == 3) {
            const uint8_t a[] = {req[0], 3, 2, 0x12, 0x34};
            std::copy(a, a + 5, ans);
            return 5;
        }
        if (req[1] == 4) {
            const uint8_t a[] = {req[0], 0x84, 2};
            std::copy(a, a + 3, ans);
            return 3;
        }
        std::copy(req, req + len, ans);
        return len;
    }
};
}  // namespace

class SerCsv : public IecTest {
protected:
    uint32_t db = 0;
    Bytes image;
    void SetUp() override { Boot(0); }
    void Boot(uint32_t ct_bytes) {
        IecTest::SetUp();
        IecImage img;
        img.ct_alloc = img.ct_used = ct_bytes;
        img.d8 = img.d16 = img.d32 = img.d64 = img.time = {63, 63, 0};
        img.str = {8, 8, 0};
        img.string_sizes = {255, 255, 255, 255, 255, 255, 255, 255};
        img.ext.assign(18, 0);
        image = img.Build();
        AddLists();
        const uint32_t code = test_support::IecLoad(image);
        blocks.push_back(code);
        ASSERT_EQ(Create(code, db), 0u);
        ASSERT_EQ(Z7Def_ColdStart(code, db, "/mnt/cfg/z7.ret", nullptr, false, 0, "APP"), 0u);
        BlkLib_Install();
        Z7Svc_InstallStdHooks();
        BlkSer_Hooks = {Fake::Init, Fake::IsValid, Fake::Open,    Fake::Receive,     Fake::Send,    Fake::Close,
                        Fake::Find, Fake::Serve,   Fake::UdpOpen, Fake::UdpActivate, Fake::UdpClose};
        Fake::udp.clear();
        Fake::rx.clear();
        Fake::tx.clear();
        Fake::served.clear();
        Fake::send_max = 1000;
        Fake::opens = 0;
        Fake::server = true;
        Fake::silent = 0;
    }
    void TearDown() override {
        BlkLib_Remove();
        BlkSer_Hooks = {};
        if (db) Z7Def_Stop(db, nullptr, "/mnt/cfg/z7.ret", "APP");
        IecTest::TearDown();
    }
    // Variable lists: {type, index, complex-type offset} per entry.
    struct E {
        uint16_t type, index;
    };
    void AddLists() {
        const std::vector<std::vector<E>> lists = {
            {{1, 1}, {2, 1}, {3, 2}, {5, 1}, {4, 1}, {11, 1}},
            {{17, 1}, {5, 2}, {13, 2}, {10, 3}, {15, 2}, {16, 3}, {12, 3}, {1, 4}},
            {},
            {{2, 1}, {99, 1}},
            {{2, 1}, {2, 1000}},
        };
        const uint32_t table = uint32_t(image.size());
        image.resize(table + 4 + 4 * lists.size());
        LE_Put16(&image[table + 2], uint16_t(lists.size()));
        for (size_t l = 0; l < lists.size(); l++) {
            const uint32_t at = uint32_t(image.size());
            LE_Put32(&image[table + 4 + 4 * l], at);
            image.resize(at + 8 + 8 * lists[l].size());
            LE_Put16(&image[at], uint16_t(lists[l].size()));
            for (size_t k = 0; k < lists[l].size(); k++) {
                LE_Put16(&image[at + 8 + 8 * k], lists[l][k].type);
                LE_Put16(&image[at + 8 + 8 * k + 2], lists[l][k].index);
            }
        }
        const uint32_t ext = LE_Get32(&image[40]);
        LE_Put32(&image[ext + 4 * 14], table);
    }
    uint32_t Call(const char *name, const std::vector<uint16_t> &ops, uint32_t inst, uint32_t cmd = FB_EXEC) {
        FbHandler h = nullptr;
        for (uint32_t id = 0; id < Z7STFB_ROWS; id++)
            if (std::string(Z7Stfb_GetName(id)) == name) h = Z7Stfb_GetProc(id);
        EXPECT_NE(h, nullptr) << name;
        return h != nullptr ? CallHandler(h, db, ops, inst, cmd) : 0xFFFFFFFF;
    }
    uint32_t Inst(uint32_t size) {
        const uint32_t a = Z7Mem_Alloc(size);
        blocks.push_back(a);
        return a;
    }
    uint32_t A(uint32_t sec, uint32_t i) const { return Z7Sec_Elem(db, sec, i); }
    int32_t D(uint32_t i) const { return int32_t(Z7Mem_Get32(A(Z7SEC_D32, i))); }
    void SetD(uint32_t i, uint32_t v) const { Z7Mem_Put32(A(Z7SEC_D32, i), v); }
    uint8_t B(uint32_t i) const { return Z7Mem_Get8(A(Z7SEC_D8, i)); }
    void SetB(uint32_t i, uint8_t v) const { Z7Mem_Put8(A(Z7SEC_D8, i), v); }
    void SetS(uint32_t i, const std::string &t) { Z7VMStr_AscForce(Z7VMStr_Slot(db, i), t.data(), uint32_t(t.size())); }
    std::string S(uint32_t i) {
        const uint32_t n = Z7VMStr_GetLength(db, i);
        const uint8_t *p = Z7Mem_Ptr(Z7VMStr_GetText(db, i), n);
        return p ? std::string(reinterpret_cast<const char *>(p), n) : std::string();
    }
    std::string FileText(const std::string &rel) {
        std::ifstream f(root / rel, std::ios::binary);
        std::stringstream s;
        s << f.rdbuf();
        return s.str();
    }
};

TEST_F(SerCsv, StandardRowsAnswerTheirClassesAndSizes) {
    struct Row {
        const char *name;
        uint32_t classno, size, avail;
    };
    const Row rows[] = {{"SERIO", 21, 4, 0},          {"SERIO_B", 55, 4, 1},        {"LOGFILECSV", 35, 2, 0},
                        {"MBSLAVEUDP", 38, 4, 0},     {"MBSLAVEUDPEX", 47, 4, 0},   {"MBSLAVERTU", 39, 556, 0},
                        {"MBSLAVERTUEX", 48, 556, 0}, {"MBSLAVERTUEXD", 56, 556, 0}};
    for (const Row &r : rows) {
        EXPECT_EQ(Call(r.name, {}, 0, FB_CLASSNO), r.classno) << r.name;
        EXPECT_EQ(Call(r.name, {}, 0, FB_INSTSIZE), r.size) << r.name;
        EXPECT_EQ(Call(r.name, {}, 0, FB_AVAIL), r.avail) << r.name;
        EXPECT_EQ(Call(r.name, {}, 0, FB_CLASSSIZE), 0u) << r.name;
    }
}

TEST_F(SerCsv, CsvLinesOfEveryTypeAndEveryError) {
    // list 0 values: BOOL 1, DINT -5, REAL 1.5, STRING "ok", TIME 1000, INT -7
    SetB(1, 1);
    SetD(1, uint32_t(-5));
    SetD(2, 0x3FC00000);
    SetS(1, "ok");
    Z7Mem_Put32(A(Z7SEC_TIME, 1), 1000);
    Z7Mem_Put16(A(Z7SEC_D16, 1), 0xFFF9);
    // list 1: ULINT max, STRING a"b, LREAL 0.25, SINT 200, UINT 65535, UDINT max, LINT -1, BOOL 0
    Z7Mem_Put32(A(Z7SEC_D64, 1), 0xFFFFFFFF);
    Z7Mem_Put32(A(Z7SEC_D64, 1) + 4, 0xFFFFFFFF);
    SetS(2, "a\"b");
    Z7Mem_Put32(A(Z7SEC_D64, 2), 0);
    Z7Mem_Put32(A(Z7SEC_D64, 2) + 4, 0x3FD00000);
    SetB(3, 200);
    Z7Mem_Put16(A(Z7SEC_D16, 2), 0xFFFF);
    SetD(3, 0xFFFFFFFF);
    Z7Mem_Put32(A(Z7SEC_D64, 3), 0xFFFFFFFF);
    Z7Mem_Put32(A(Z7SEC_D64, 3) + 4, 0xFFFFFFFF);
    // operands: LOG B10, RST B11, LIST D10, PATH S3; Q B12, ERR D11
    const uint32_t inst = Inst(8);
    SetS(3, "/mnt/cfg/log.csv");
    auto run = [&](uint8_t log, uint8_t rst, int32_t list) {
        SetB(10, log);
        SetB(11, rst);
        SetD(10, uint32_t(list));
        Call("LOGFILECSV", {10, 11, 10, 3, 12, 11}, inst);
    };
    run(0, 1, 0);
    EXPECT_EQ(B(12), 1);
    EXPECT_EQ(D(11), 0);
    EXPECT_EQ(FileText("mnt/cfg/log.csv"), "");
    const std::string l0 = "\"1\";\"-5\";\"1.5\";\"ok\";\"1000\";\"-7\"\n";
    run(1, 0, 0);
    EXPECT_EQ(B(12), 1);
    EXPECT_EQ(FileText("mnt/cfg/log.csv"), l0);
    run(1, 0, 0);  // held: no line
    EXPECT_EQ(B(12), 0);
    EXPECT_EQ(D(11), 0);
    EXPECT_EQ(FileText("mnt/cfg/log.csv"), l0);
    run(0, 0, 0);
    run(1, 0, 0);
    EXPECT_EQ(FileText("mnt/cfg/log.csv"), l0 + l0);
    const std::string l1 =
        "\"18446744073709551615\";\"a\"\"b\";\"0.25\";\"200\";\"65535\";\"4294967295\";\"-1\";\"0\"\n";
    run(0, 0, 1);
    run(1, 0, 1);
    run(0, 0, 2);
    run(1, 0, 2);  // an empty list: an empty line
    EXPECT_EQ(B(12), 1);
    EXPECT_EQ(FileText("mnt/cfg/log.csv"), l0 + l0 + l1 + "\n");
    // errors: bad type and entry outside its segment (5, nothing written),
    // list out of range or negative (4)
    struct Err {
        int32_t list;
        int32_t err;
    };
    for (const Err &e : {Err{3, 5}, Err{4, 5}, Err{5, 4}, Err{-1, 4}}) {
        run(0, 0, e.list);
        run(1, 0, e.list);
        EXPECT_EQ(B(12), 0) << e.list;
        EXPECT_EQ(D(11), e.err) << e.list;
    }
    EXPECT_EQ(FileText("mnt/cfg/log.csv"), l0 + l0 + l1 + "\n");
    EXPECT_EQ(BlkCsv_Line(db, image.data(), uint32_t(image.size()), 0, 0, nullptr), 3u);
    // a file that cannot be created (1) or opened for appending (2)
    SetS(3, "/mnt/nodir/log.csv");
    run(0, 0, 0);
    run(0, 1, 0);
    EXPECT_EQ(D(11), 1);
    run(0, 0, 0);
    run(1, 0, 0);
    EXPECT_EQ(D(11), 2);
    // a forced ERR keeps its value
    Z7Mem_Put8(Z7Sec_Elem(db, Z7SEC_LOCK, 11), 0x04);
    SetD(11, 77);
    run(0, 0, 0);
    run(1, 0, 0);
    EXPECT_EQ(D(11), 77);
}

TEST_F(SerCsv, SerioStringsAndByteArrays) {
    // SERIO: RUN B1, SND B2, CONF S1, DATA_SND S2; OPEN B3, RCV B4, error B5, DATA_RCV S3
    const uint32_t inst = Inst(8);
    Call("SERIO", {}, inst, FB_INSTINIT);
    const std::vector<uint16_t> ops = {1, 2, 1, 2, 3, 4, 5, 3};
    SetB(1, 1);
    Fake::rx = {'P', 'I', 'N', 'G'};
    Call("SERIO", ops, inst);
    EXPECT_EQ(B(3), 1);
    EXPECT_EQ(B(4), 1);
    EXPECT_EQ(S(3), "PING");
    SetB(2, 1);
    SetS(2, "PONG");
    Call("SERIO", ops, inst);
    Call("SERIO", ops, inst);  // SND is a level
    EXPECT_EQ(std::string(Fake::tx.begin(), Fake::tx.end()), "PONGPONG");
    EXPECT_EQ(B(4), 0);
    EXPECT_EQ(S(3), "");
    Fake::send_max = 0;
    Call("SERIO", ops, inst);
    EXPECT_EQ(B(5), 1);
    EXPECT_EQ(Fake::opens, 1u);
    SetB(1, 0);
    Call("SERIO", ops, inst);
    EXPECT_EQ(B(3), 0);
    EXPECT_EQ(LE_Get32(Z7Mem_Ptr(inst, 4)), 0xFFFFFFFFu);

    // SERIO_B: RUN B1, CONF S1, send array B20 (8), start D1, count D2,
    // receive array B30 (6), start D3, maximum D4; OPEN B3, sent D5, received D6
    Fake::send_max = 1000;
    Fake::tx.clear();
    const std::vector<uint16_t> bops = {1, 1, 20, 8, 1, 2, 30, 6, 3, 4, 3, 5, 6};
    for (uint8_t k = 0; k < 8; k++) SetB(20 + k, uint8_t('a' + k));
    struct Case {
        uint32_t s_start, s_count, r_start, r_max;
        std::string sent, rx_left;
        int32_t nsent, nrecv;
    };
    const Case cases[] = {
        {2, 3, 1, 4, "cde", "", 3, 4},
        {0, 8, 0, 6, "abcdefgh", "", 8, 6},
        {7, 2, 5, 2, "", "", 0, 0},                    // past the end of both arrays
        {0xFFFFFFFF, 2, 0xFFFFFFFF, 2, "", "", 0, 0},  // start + count wraps
        {8, 0, 6, 0, "", "", 0, 0},
    };
    SetB(1, 1);
    for (const Case &c : cases) {
        Fake::tx.clear();
        Fake::rx = {'1', '2', '3', '4', '5', '6'};
        for (uint8_t k = 0; k < 6; k++) SetB(30 + k, '.');
        SetD(1, c.s_start);
        SetD(2, c.s_count);
        SetD(3, c.r_start);
        SetD(4, c.r_max);
        Call("SERIO_B", bops, inst);
        EXPECT_EQ(B(3), 1);
        EXPECT_EQ(std::string(Fake::tx.begin(), Fake::tx.end()), c.sent);
        EXPECT_EQ(D(5), c.nsent);
        EXPECT_EQ(D(6), c.nrecv);
    }
    std::string got;
    for (uint8_t k = 0; k < 6; k++) got.push_back(char(B(30 + k)));
    EXPECT_EQ(got, "......");
    Call("SERIO_B", bops, inst, FB_INSTEXIT);
    EXPECT_EQ(LE_Get32(Z7Mem_Ptr(inst, 4)), 0xFFFFFFFFu);
}

// SERIO sends DATA_SND's current length, a 0 byte included, and a send
// with no port held (RUN FALSE, or an open that failed) reports the send error.
TEST_F(SerCsv, SerioSendsTheWholeTextAndReportsASendWithoutPort) {
    // RUN B1, SND B2, CONF S1, DATA_SND S2; OPEN B3, RCV B4, error B5, DATA_RCV S3
    const uint32_t inst = Inst(8);
    Call("SERIO", {}, inst, FB_INSTINIT);
    const std::vector<uint16_t> ops = {1, 2, 1, 2, 3, 4, 5, 3};
    SetB(1, 1);
    SetB(2, 1);
    SetS(2, std::string("A\0B", 3));
    Call("SERIO", ops, inst);
    EXPECT_EQ(B(3), 1);
    EXPECT_EQ(B(5), 0);
    EXPECT_EQ(Fake::tx, (Bytes{0x41, 0x00, 0x42}));

    // RUN FALSE: the port is closed and the send fails
    Fake::tx.clear();
    SetB(1, 0);
    SetB(5, 0);
    Call("SERIO", ops, inst);
    EXPECT_EQ(B(3), 0);
    EXPECT_EQ(B(5), 1);
    EXPECT_EQ(Fake::tx, Bytes{});

    // SND FALSE without a port: no error
    SetB(2, 0);
    Call("SERIO", ops, inst);
    EXPECT_EQ(B(5), 0);
    // an empty text is not sent: no error
    SetB(2, 1);
    SetS(2, "");
    Call("SERIO", ops, inst);
    EXPECT_EQ(B(5), 0);
}

// An application with a complex-type segment: SERIO_B's arrays are named by
// DINTs holding their offsets in that segment, not by 8-bit variables.
class SerCsvComplex : public SerCsv {
protected:
    void SetUp() override { Boot(64); }
};

TEST_F(SerCsvComplex, SerioByteArraysLieInTheComplexTypeSegment) {
    const uint32_t ct = Z7Sec_Addr(db, Z7SEC_CT);
    ASSERT_NE(ct, 0u);
    const uint32_t inst = Inst(8);
    Call("SERIO_B", {}, inst, FB_INSTINIT);
    // send array at segment byte 8 (DINT 20), receive array at byte 32 (DINT 30)
    const std::vector<uint16_t> bops = {1, 1, 20, 8, 1, 2, 30, 6, 3, 4, 3, 5, 6};
    SetD(20, 8);
    SetD(30, 32);
    for (uint8_t k = 0; k < 8; k++) {
        Z7Mem_Put8(ct + 8 + k, uint8_t('a' + k));
        SetB(20 + k, uint8_t('A' + k));
    }
    for (uint8_t k = 0; k < 6; k++) {
        Z7Mem_Put8(ct + 32 + k, '.');
        SetB(30 + k, '.');
    }
    Fake::rx = {'1', '2', '3', '4', '5', '6'};
    SetB(1, 1);
    SetD(1, 2);
    SetD(2, 3);
    SetD(3, 1);
    SetD(4, 4);
    Call("SERIO_B", bops, inst);
    EXPECT_EQ(B(3), 1);
    EXPECT_EQ(std::string(Fake::tx.begin(), Fake::tx.end()), "cde");
    EXPECT_EQ(D(5), 3);
    EXPECT_EQ(D(6), 4);
    const uint8_t *r = Z7Mem_Ptr(ct + 32, 6);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(r), 6), ".1234.");
    std::string vars;
    for (uint8_t k = 0; k < 6; k++) vars.push_back(char(B(30 + k)));
    EXPECT_EQ(vars, "......");
    // an array passing the segment's end moves nothing
    SetD(30, 60);
    Fake::tx.clear();
    Call("SERIO_B", bops, inst);
    EXPECT_EQ(D(6), 0);
    Call("SERIO_B", bops, inst, FB_INSTEXIT);
}

TEST_F(SerCsv, RtuSlaveServesRecognisesAndCounts) {
    // MBSLAVERTUEXD: RUN B1, CONF S1, SLAVE D1, server S2; OK B2, counters D10..D15
    const uint32_t inst = Inst(RTU_SIZE);
    Call("MBSLAVERTUEXD", {}, inst, FB_INSTINIT);
    const std::vector<uint16_t> ops = {1, 1, 1, 2, 2, 10, 11, 12, 13, 14, 15};
    SetB(1, 1);
    SetD(1, 17);
    SetS(2, "srv");
    auto exec = [&] { Call("MBSLAVERTUEXD", ops, inst); };
    auto counters = [&] { return std::vector<int32_t>{D(10), D(11), D(12), D(13), D(14), D(15)}; };
    exec();
    EXPECT_EQ(B(2), 1);
    const Bytes read = Hex("1103006b00037687"), answer = Hex("110302123474f0");
    // two requests in one read: one per execution, in order
    Fake::rx = read;
    Fake::rx.insert(Fake::rx.end(), read.begin(), read.end());
    exec();
    EXPECT_EQ(Fake::tx, answer);
    exec();
    Bytes two = answer;
    two.insert(two.end(), answer.begin(), answer.end());
    EXPECT_EQ(Fake::tx, two);
    EXPECT_EQ(counters(), (std::vector<int32_t>{2, 2, 0, 2, 0, 0}));
    EXPECT_EQ(Fake::served.size(), 2u);
    EXPECT_EQ(Fake::served[0], Hex("1103006b0003"));
    // slave 18: good CRC only; a bad CRC counted once, then the next request
    Fake::tx.clear();
    Fake::rx = Hex("1203006b000376b4");
    const Bytes bad = Hex("1103016b0203aabb");  // no 0x00 or 0x11 after its address
    Fake::rx.insert(Fake::rx.end(), bad.begin(), bad.end());
    Fake::rx.insert(Fake::rx.end(), {0x11, 0x63});  // own address, unknown code: skipped
    Fake::rx.insert(Fake::rx.end(), read.begin(), read.end());
    exec();
    EXPECT_EQ(Fake::tx, answer);
    EXPECT_EQ(counters(), (std::vector<int32_t>{3, 4, 0, 3, 0, 1}));
    // another station's answer is dropped; a broadcast FC6 is carried out unanswered
    Fake::tx.clear();
    Fake::rx = Hex("110302123474f0");
    const Bytes bc = Hex("00060001000399da");
    Fake::rx.insert(Fake::rx.end(), bc.begin(), bc.end());
    exec();
    EXPECT_TRUE(Fake::tx.empty());
    EXPECT_EQ(Fake::served.back(), Hex("000600010003"));
    EXPECT_EQ(counters(), (std::vector<int32_t>{3, 5, 0, 3, 1, 1}));
    // an exception answer, sent three bytes at a time; nothing is read meanwhile
    Fake::send_max = 3;
    Fake::rx = Hex("110400000001335a");
    exec();
    Fake::rx = read;
    exec();
    EXPECT_EQ(Fake::tx, Hex("118402c304"));
    EXPECT_EQ(Fake::rx, read);
    EXPECT_EQ(counters(), (std::vector<int32_t>{4, 6, 1, 3, 1, 1}));
    // with ten operands the sixth counter is not written
    SetD(15, 99);
    Call("MBSLAVERTUEXD", {1, 1, 1, 2, 2, 10, 11, 12, 13, 14}, inst);
    EXPECT_EQ(D(15), 99);
    // command 8 (an on-line change): the open flag follows the handle
    Z7Mem_Put32(inst + 552, 0);
    Call("MBSLAVERTUEXD", {}, inst, FB_INSTKEEP);
    EXPECT_EQ(Z7Mem_Get32(inst + 552), 1u);
    // RUN FALSE closes; without a server the block idles
    SetB(1, 0);
    exec();
    EXPECT_EQ(B(2), 0);
    Z7Mem_Put32(inst + 552, 1);
    Call("MBSLAVERTUEXD", {}, inst, FB_INSTKEEP);
    EXPECT_EQ(Z7Mem_Get32(inst + 552), 0u) << "no port held";
    Fake::server = false;
    SetB(1, 1);
    exec();
    EXPECT_EQ(B(2), 0);
    Call("MBSLAVERTU", {1, 1, 1, 3}, inst);
    EXPECT_EQ(B(3), 0);
}

// The recogniser's request length per function code: 8 for 5 and 8, 9 +
// the byte count for 15 and 16, 4 for 17, 7 for 43. Six requests in one
// read, one served per execution, each answered by the stand-in's echo
// (CRCs from pymodbus's computeCRC).
TEST_F(SerCsv, RtuSlaveRecognisesTheLengthOfEachFunction) {
    const uint32_t inst = Inst(RTU_SIZE);
    Call("MBSLAVERTUEXD", {}, inst, FB_INSTINIT);
    const std::vector<uint16_t> ops = {1, 1, 1, 2, 2, 10, 11, 12, 13, 14, 15};
    SetB(1, 1);
    SetD(1, 17);
    SetS(2, "srv");
    const std::vector<Bytes> frames = {
        Hex("11050010ff008f6f"),           Hex("110800001234efec"), Hex("110f0010000a02cd01bf38"),
        Hex("11100001000204000a0102c6f0"), Hex("1111cdec"),         Hex("112b0e0100b1b4")};
    Bytes all, answers;
    for (const Bytes &f : frames) all.insert(all.end(), f.begin(), f.end());
    Call("MBSLAVERTUEXD", ops, inst);
    Fake::rx = all;
    for (size_t k = 0; k < frames.size(); k++) {
        Call("MBSLAVERTUEXD", ops, inst);
        ASSERT_EQ(Fake::served.size(), k + 1) << k;
        EXPECT_EQ(Fake::served[k], Bytes(frames[k].begin(), frames[k].end() - 2)) << k;
        answers.insert(answers.end(), frames[k].begin(), frames[k].end());
        EXPECT_EQ(Fake::tx, answers) << k;
    }
    EXPECT_EQ(std::vector<int32_t>({D(10), D(11), D(12), D(13), D(14), D(15)}),
              (std::vector<int32_t>{6, 6, 0, 6, 0, 0}));
    Call("MBSLAVERTUEXD", {}, inst, FB_INSTEXIT);
}

// A request the server gives no answer to is not served: the recogniser
// goes on in the same execution with the request behind it.
TEST_F(SerCsv, RtuSlaveGoesOnPastAnUnansweredRequest) {
    const uint32_t inst = Inst(RTU_SIZE);
    Call("MBSLAVERTUEXD", {}, inst, FB_INSTINIT);
    const std::vector<uint16_t> ops = {1, 1, 1, 2, 2, 10, 11, 12, 13, 14, 15};
    SetB(1, 1);
    SetD(1, 17);
    SetS(2, "srv");
    Call("MBSLAVERTUEXD", ops, inst);
    const Bytes read = Hex("1103006b00037687");
    Fake::rx = read;
    Fake::rx.insert(Fake::rx.end(), read.begin(), read.end());
    Fake::silent = 1;
    Call("MBSLAVERTUEXD", ops, inst);
    EXPECT_EQ(Fake::served.size(), 2u);
    EXPECT_EQ(Fake::tx, Hex("110302123474f0"));
    EXPECT_EQ(std::vector<int32_t>({D(10), D(11), D(12), D(13), D(14), D(15)}),
              (std::vector<int32_t>{2, 2, 0, 1, 0, 0}));
}

// After a frame whose CRC fails, the search for the next frame start keeps
// the own address when it is the last byte read: the rest of that request,
// read at the next execution, is served (dropping the byte would lose it).
TEST_F(SerCsv, RtuSlaveKeepsAnAddressReadLastWhenItResynchronises) {
    const uint32_t inst = Inst(RTU_SIZE);
    Call("MBSLAVERTUEXD", {}, inst, FB_INSTINIT);
    const std::vector<uint16_t> ops = {1, 1, 1, 2, 2, 10, 11, 12, 13, 14, 15};
    SetB(1, 1);
    SetD(1, 17);
    SetS(2, "srv");
    Call("MBSLAVERTUEXD", ops, inst);
    Fake::rx = Hex("1103016b0203aabb11");  // a bad CRC, then the own address
    Call("MBSLAVERTUEXD", ops, inst);
    EXPECT_TRUE(Fake::tx.empty());
    EXPECT_EQ(Z7Mem_Get16(inst + RTU_COUNT), 1u);
    EXPECT_EQ(Z7Mem_Get8(inst + RTU_RX), 0x11u);
    Fake::rx = Hex("03006b00037687");  // the rest of a read of slave 17
    Call("MBSLAVERTUEXD", ops, inst);
    EXPECT_EQ(Fake::tx, Hex("110302123474f0"));
    ASSERT_EQ(Fake::served.size(), 1u);
    EXPECT_EQ(Fake::served[0], Hex("1103006b0003"));
    EXPECT_EQ(std::vector<int32_t>({D(10), D(11), D(12), D(13), D(14), D(15)}),
              (std::vector<int32_t>{1, 1, 0, 1, 0, 1}));
    Call("MBSLAVERTUEXD", {}, inst, FB_INSTEXIT);
}

TEST_F(SerCsv, UdpSlaveOpensServesAndCloses) {
    // MBSLAVEUDPEX: RUN B1, PORT D1, SLAVE D2, RTU B2, server S1; OK B3
    const uint32_t inst = Inst(8);
    Call("MBSLAVEUDPEX", {}, inst, FB_INSTINIT);
    const std::vector<uint16_t> ops = {1, 1, 2, 2, 1, 3};
    SetB(1, 1);
    SetD(1, 0x10000 + 502);
    SetD(2, 0x20011);
    SetB(2, 1);
    SetS(1, "srv");
    Call("MBSLAVEUDPEX", ops, inst);
    EXPECT_EQ(B(3), 1);
    Call("MBSLAVEUDPEX", ops, inst, FB_INSTKEEP);  // closed, opened again at the next execution
    Call("MBSLAVEUDPEX", ops, inst);
    SetB(1, 0);
    Call("MBSLAVEUDPEX", ops, inst);
    EXPECT_EQ(B(3), 0);
    EXPECT_EQ(Fake::udp, (std::vector<std::string>{"open 502", "serve 9 1 17 srv", "close 9", "open 502",
                                                   "serve 9 1 17 srv", "close 9"}));
    Fake::server = false;
    SetB(1, 1);
    Call("MBSLAVEUDP", {1, 1, 2, 2, 3}, inst);
    EXPECT_EQ(B(3), 0);
    EXPECT_EQ(Fake::udp.size(), 6u);
}

}  // namespace iec_test
