// The Modbus blocks of the IEC library: first the records each block hands
// to the Talk layer (a recorder in its place), then the whole chain - block,
// Talk layer, serial Modbus engine - against a stand-in port driver, as
// slave and as master. Frames carry a CRC from an independent bit-by-bit
// CRC-16/MODBUS; the frames are used where they fit.
#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "core/image/bytes.h"
#include "core/storage/memfile.h"
#include "exec/hooks.h"
#include "iec/blocks/blkform.h"
#include "iec/blocks/blkmodbus.h"
#include "iec/blocks/blkport.h"
#include "iec/services/z7svc.h"
#include "io/vcomm.h"
#include "messaging/talk.h"
#include "protocols/mbserial.h"
#include "tests/iec/iec_fixture.h"
#include "tests/support/fake_clock.h"
#include "tests/support/stand_in_port.h"

namespace iec_test {
namespace {

using Bytes = std::vector<uint8_t>;
enum : uint16_t {
    BOOL_ = 1,
    DINT_ = 2,
    REAL_ = 3,
    TIME_ = 4,
    STRING_ = 5,
    SINT_ = 10,
    INT_ = 11,
    LINT_ = 12,
    USINT_ = 14,
    UINT_ = 15
};

using test_support::CrcAppend;
Bytes Crc(Bytes b) { return CrcAppend(std::move(b)); }

// Stand-in port driver: received bytes (-1 = the silence after a frame) and
// the bytes sent; the mode record says RTU (mode 3).
test_support::FakePort &fp = test_support::fake_port;

// What the recorder saw of the last call.
struct Seen {
    uint32_t calls = 0;
    Bytes call, rec;
    uint32_t enable = 0;
    uint32_t answer = 0;      // the recorder's answer
    uint16_t set_status = 0;  // written into the record's status word first
};
Seen seen;
uint8_t *HostPtr(const uint8_t *p) {
    return reinterpret_cast<uint8_t *>(uintptr_t(LE_Get32(p) | (uint64_t(LE_Get32(p + 4)) << 32)));
}
uint32_t Recorder_(const uint8_t *rec, uint32_t enable) {
    seen.calls++;
    seen.call.assign(rec, rec + TMB_SIZE);
    const uint8_t *data = HostPtr(rec + TMB_DATA);
    const bool master = LE_Get32(rec + TMB_STATION) == 0;
    seen.rec.assign(data, data + (master ? uint32_t(MBR_SIZE) : uint32_t(MBM_SIZE)));
    seen.enable = enable;
    LE_Put16(HostPtr(rec + TMB_STATUS), seen.set_status);
    return seen.answer;
}

// A request frame to a slave block and the answer it must get.
struct Exchange {
    const char *what;
    Bytes req, answer;
};

class BlkModbus : public IecTest {
protected:
    uint32_t db = 0;
    test_support::FakeClock clock_;
    VcommDrv saved_{};
    BlkMbHooks saved_hooks_{};

    void SetUp() override { Boot(0); }
    void Boot(uint32_t ct_bytes) {
        IecTest::SetUp();
        test_support::IecImage img;
        img.ct_alloc = img.ct_used = ct_bytes;
        img.d8 = img.d16 = img.d32 = img.d64 = img.time = {63, 63, 0};
        ASSERT_EQ(Start(img, db), 0u);
        BlkLib_Install();
        saved_ = Vcomm_Drv[0];
        Vcomm_Drv[0] = test_support::FakePortDrv();
        Exec_LinkMessaging();
        fp = test_support::FakePort{};
        Talk = TalkRec{};
        TalkOverride = 0;
        saved_hooks_ = BlkMb_Hooks;
        seen = Seen{};
    }
    void TearDown() override {
        BlkMb_Hooks = saved_hooks_;
        Vcomm_Drv[0] = saved_;
        Talk = TalkRec{};
        BlkLib_Remove();
        if (db) Z7Def_Stop(db, nullptr, "/mnt/cfg/z7.ret", "APP");
        IecTest::TearDown();
    }
    uint32_t Call(const char *name, const std::vector<uint16_t> &ops) {
        FbHandler h = Z7Blocks_GetProc(Z7Blocks_Find(name));
        EXPECT_NE(h, nullptr) << name;
        return h ? CallHandler(h, db, ops, 0, FB_EXEC) : 0;
    }
    uint32_t Addr(uint32_t sec, uint32_t i) const { return Z7Sec_Elem(db, sec, i); }
    void I(uint32_t i, uint16_t v) const { Z7Mem_Put16(Addr(Z7SEC_D16, i), v); }
    uint16_t I(uint32_t i) const { return Z7Mem_Get16(Addr(Z7SEC_D16, i)); }
    void B(uint32_t i, uint8_t v) const { Z7Mem_Put8(Addr(Z7SEC_D8, i), v); }
    uint8_t B(uint32_t i) const { return Z7Mem_Get8(Addr(Z7SEC_D8, i)); }
    void D(uint32_t i, uint32_t v) const { Z7Mem_Put32(Addr(Z7SEC_D32, i), v); }
    uint32_t D(uint32_t i) const { return Z7Mem_Get32(Addr(Z7SEC_D32, i)); }
    // Slave address 0x11, this option word, port 0, enabled.
    void Station(uint16_t option) const {
        I(1, 0x11);
        I(2, option);
        D(1, 0);
        B(1, 1);
    }
    // The bytes the block sends in one call.
    Bytes Sent(const char *block, const std::vector<uint16_t> &ops) {
        fp.tx.clear();
        Call(block, ops);
        return fp.tx;
    }
    // Bytes arriving on the port, with no silence after them.
    void Receive(const Bytes &b) {
        for (uint8_t x : b) fp.rx.push_back(x);
    }
    Bytes Ask(const Bytes &req, const char *block, const std::vector<uint16_t> &ops) {
        Receive(req);
        fp.rx.push_back(-1);
        return Sent(block, ops);
    }
    // Each request of the table to the block, expecting its answer.
    void AskEach(const std::vector<Exchange> &cases, const char *block, const std::vector<uint16_t> &ops) {
        for (const Exchange &c : cases) {
            SCOPED_TRACE(c.what);
            EXPECT_EQ(Ask(c.req, block, ops), c.answer);
        }
    }
};

// Operands used below. BOOL: 1 enable, 2 flag, 10.. coils, 20.. inputs,
// 30.. master bits. INT: 1 slave, 2 option, 3 status, 4 extension word,
// 5..10 request, 11.. holding, 21.. input registers, 31.. master data,
// 50.. forward table. DINT: 1 port, 11.. holding (DINT/REAL).

TEST_F(BlkModbus, RecordsFromTheOperands) {
    BlkMb_Hooks.talk_modbus = Recorder_;
    struct Row {
        const char *what, *block;
        std::vector<uint16_t> ops;
        std::vector<uint16_t> req;  // INT 5..10
        bool called;
        // master: quantity, element code, data array section and index
        // slave: holding count, element code, holding section and index
        uint16_t qty, elem;
        uint32_t sec, idx;
    };
    // MODBUSDOREQUEST: type, enable, port, option, flag, request, data, size, status
    // MODBUSMAPSLAVE: type, enable, port, slave, option, coils, n, inputs, n, holding, n, inregs, n, status
    const std::vector<Row> rows = {
        {"INT request within the array",
         "MODBUSDOREQUEST",
         {INT_, 1, 1, 2, 2, 5, 31, 8, 3},
         {0x11, 3, 0x6B, 3, 0, 0},
         true,
         3,
         1,
         Z7SEC_D16,
         31},
        {"count cut to the array",
         "MODBUSDOREQUEST",
         {INT_, 1, 1, 2, 2, 5, 31, 8, 3},
         {0x11, 3, 0x6B, 20, 0, 0},
         true,
         8,
         1,
         Z7SEC_D16,
         31},
        {"REAL: registers doubled",
         "MODBUSDOREQUEST",
         {REAL_, 1, 1, 2, 2, 5, 11, 8, 3},
         {0x11, 3, 0, 20, 0, 0},
         true,
         16,
         2,
         Z7SEC_D32,
         11},
        {"DINT: three elements, six registers",
         "MODBUSDOREQUEST",
         {DINT_, 1, 1, 2, 2, 5, 11, 8, 3},
         {0x11, 3, 0, 3, 0, 0},
         true,
         6,
         2,
         Z7SEC_D32,
         11},
        {"bytes: two per register",
         "MODBUSDOREQUEST",
         {USINT_, 1, 1, 2, 2, 5, 30, 5, 3},
         {0x11, 3, 0, 9, 0, 0},
         true,
         2,
         0,
         Z7SEC_D8,
         30},
        {"bits: one byte per bit",
         "MODBUSDOREQUEST",
         {BOOL_, 1, 1, 2, 2, 5, 30, 5, 3},
         {0x11, 1, 0, 9, 0, 0},
         true,
         5,
         0,
         Z7SEC_D8,
         30},
        {"extra word: offset into the array",
         "MODBUSDOREQUEST",
         {INT_, 1, 1, 2, 2, 5, 31, 8, 3},
         {0x11, 3, 0, 20, 0, 6},
         true,
         2,
         1,
         Z7SEC_D16,
         31},
        {"type code LINT: nothing",
         "MODBUSDOREQUEST",
         {LINT_, 1, 1, 2, 2, 5, 31, 8, 3},
         {0x11, 3, 0, 3, 0, 0},
         false,
         0,
         0,
         0,
         0},
        {"type code TIME: nothing",
         "MODBUSDOREQUEST",
         {TIME_, 1, 1, 2, 2, 5, 31, 8, 3},
         {0x11, 3, 0, 3, 0, 0},
         false,
         0,
         0,
         0,
         0},
        {"type code STRING: nothing",
         "MODBUSMAPSLAVE",
         {STRING_, 1, 1, 1, 2, 10, 8, 20, 4, 11, 4, 21, 2, 3},
         {},
         false,
         0,
         0,
         0,
         0},
        {"OLDUSERSMASTER FC1: the bit array",
         "OLDUSERSMASTER",
         {INT_, 1, 1, 2, 2, 5, 0, 30, 4, 31, 8, 3},
         {0x11, 1, 0, 10, 0, 0},
         true,
         4,
         0,
         Z7SEC_D8,
         30},
        {"OLDUSERSMASTER FC3 REAL: the register array doubled",
         "OLDUSERSMASTER",
         {REAL_, 1, 1, 2, 2, 5, 0, 30, 4, 11, 2, 3},
         {0x11, 3, 0, 5, 0, 0},
         true,
         4,
         2,
         Z7SEC_D32,
         11},
        {"OLDUSERSMASTER FC17: nothing",
         "OLDUSERSMASTER",
         {INT_, 1, 1, 2, 2, 5, 0, 30, 4, 31, 8, 3},
         {0x11, 17, 0, 1, 0, 0},
         false,
         0,
         0,
         0,
         0},
        {"slave 1", "MODBUSMAPSLAVE", {INT_, 1, 1, 1, 2, 10, 8, 20, 4, 11, 4, 21, 2, 3}, {}, true, 4, 1, Z7SEC_D16, 11},
        {"slave REAL holding: count doubled",
         "MODBUSMAPSLAVE",
         {REAL_, 1, 1, 1, 2, 10, 8, 20, 4, 11, 5, 21, 2, 3},
         {},
         true,
         10,
         2,
         Z7SEC_D32,
         11},
        {"slave DINT holding: count doubled",
         "MODBUSMAPSLAVE",
         {DINT_, 1, 1, 1, 2, 10, 8, 20, 4, 11, 3, 21, 2, 3},
         {},
         true,
         6,
         2,
         Z7SEC_D32,
         11},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        seen = Seen{};
        Station(10);  // option: 1 s
        B(2, 1);
        I(3, 0x5555);
        for (size_t k = 0; k < r.req.size(); k++) I(5 + uint32_t(k), r.req[k]);
        Call(r.block, r.ops);
        ASSERT_EQ(seen.calls, r.called ? 1u : 0u);
        if (!r.called) {
            EXPECT_EQ(I(3), 0x5555u);  // status untouched
            continue;
        }
        const uint8_t *c = seen.call.data();
        EXPECT_EQ(LE_Get16(c + TMB_PORT), 0u);
        EXPECT_EQ(LE_Get16(c + TMB_SECOND), 10u);
        EXPECT_EQ(seen.enable, 1u);
        const uint8_t *rec = seen.rec.data();
        if (std::string(r.block) == "MODBUSMAPSLAVE") {
            EXPECT_EQ(LE_Get32(c + TMB_STATION), 0x11u);
            EXPECT_EQ(LE_Get32(rec + MBM_ADDR + 4 * MBM_COILS), Addr(Z7SEC_D8, 10));
            EXPECT_EQ(LE_Get32(rec + MBM_COUNT + 4 * MBM_COILS), 8u);
            EXPECT_EQ(LE_Get32(rec + MBM_ADDR + 4 * MBM_INPUTS), Addr(Z7SEC_D8, 20));
            EXPECT_EQ(LE_Get32(rec + MBM_COUNT + 4 * MBM_INPUTS), 4u);
            EXPECT_EQ(LE_Get32(rec + MBM_ADDR + 4 * MBM_HOLDING), Addr(r.sec, r.idx));
            EXPECT_EQ(LE_Get32(rec + MBM_COUNT + 4 * MBM_HOLDING), r.qty);
            EXPECT_EQ(LE_Get16(rec + MBM_ELEM), r.elem);
            EXPECT_EQ(LE_Get16(rec + MBM_RESERVED), 0u);  // no frames of the program's own
            EXPECT_EQ(HostPtr(c + TMB_CONTROL), HostPtr(c + TMB_DATA) + MBM_RESERVED);
            EXPECT_EQ(HostPtr(c + TMB_STATUS), HostPtr(c + TMB_DATA) + MBM_STATUS);
        } else {
            EXPECT_EQ(LE_Get32(c + TMB_STATION), 0u);
            EXPECT_EQ(LE_Get16(rec + MBR_SLAVE), r.req[0]);
            EXPECT_EQ(LE_Get16(rec + MBR_FC), r.req[1]);
            EXPECT_EQ(LE_Get16(rec + MBR_START), r.req[2]);
            EXPECT_EQ(LE_Get16(rec + MBR_QTY), r.qty);
            EXPECT_EQ(LE_Get16(rec + MBR_ELEM), r.elem);
            EXPECT_EQ(LE_Get32(rec + MBR_DATA), Addr(r.sec, r.idx));
            EXPECT_EQ(LE_Get16(rec + MBR_OFFSET), r.req[5]);
            EXPECT_EQ(LE_Get16(rec + MBR_FLAG), 1u);
            EXPECT_EQ(HostPtr(c + TMB_CONTROL), HostPtr(c + TMB_DATA) + MBR_FLAG);
            EXPECT_EQ(HostPtr(c + TMB_STATUS), HostPtr(c + TMB_DATA) + MBR_STATUS);
        }
        EXPECT_EQ(I(3), 0u);  // the recorder answered 0: status 0
    }
    // Slave addresses 0 and 248, port 4, a negative port: no call at all.
    for (uint16_t slave : {0, 248, 0xFFFF}) {
        seen = Seen{};
        I(1, slave);
        Call("MODBUSMAPSLAVE", {INT_, 1, 1, 1, 2, 10, 8, 20, 4, 11, 4, 21, 2, 3});
        Call("MODBUSMAPEXTEND", {INT_, 1, 1, 1, 2, 4, 50, 10, 8, 20, 4, 11, 4, 21, 2, 3});
        EXPECT_EQ(seen.calls, 0u) << slave;
    }
    I(1, 247);
    for (uint32_t port : {4u, 0xFFFFFFFFu}) {
        seen = Seen{};
        D(1, port);
        Call("MODBUSMAPSLAVE", {INT_, 1, 1, 1, 2, 10, 8, 20, 4, 11, 4, 21, 2, 3});
        EXPECT_EQ(seen.calls, 0u) << port;
        // a master on such a port: no call, status 0 as the Talk layer's refusal
        I(3, 0x5555);
        Call("MODBUSDOREQUEST", {INT_, 1, 1, 2, 2, 5, 31, 8, 3});
        EXPECT_EQ(seen.calls, 0u) << port;
        EXPECT_EQ(I(3), 0u) << port;
    }
    D(1, 0);
    // A non-zero answer copies the record's status to the output; the
    // extended form puts its extension word into the record.
    seen = Seen{};
    seen.answer = 1;
    seen.set_status = 0x2002;
    I(4, 3);
    Call("MODBUSMAPEXTEND", {INT_, 1, 1, 1, 2, 4, 50, 10, 8, 20, 4, 11, 4, 21, 2, 3});
    ASSERT_EQ(seen.calls, 1u);
    EXPECT_EQ(LE_Get16(seen.rec.data() + MBM_EXT), 3u);
    EXPECT_EQ(LE_Get32(seen.rec.data() + MBM_ADDR + 4 * MBM_HOLDING), Addr(Z7SEC_D16, 11));
    EXPECT_EQ(I(3), 0x2002u);
    // A data array that leaves its section names no array (the engine then
    // refuses the request); an offset past the array likewise.
    I(5, 0x11), I(6, 3), I(7, 0), I(8, 4), I(10, 0);
    Call("MODBUSDOREQUEST", {INT_, 1, 1, 2, 2, 5, 60, 8, 3});
    EXPECT_EQ(LE_Get32(seen.rec.data() + MBR_DATA), 0u);
    I(10, 8);
    Call("MODBUSDOREQUEST", {INT_, 1, 1, 2, 2, 5, 31, 8, 3});
    EXPECT_EQ(LE_Get32(seen.rec.data() + MBR_DATA), 0u);
    EXPECT_EQ(LE_Get16(seen.rec.data() + MBR_QTY), 0u);
    // Command answers: stateless, usable.
    for (const char *name : {"MODBUSDOREQUEST", "OLDUSERSMASTER", "MODBUSMAPSLAVE", "MODBUSMAPEXTEND"}) {
        FbHandler h = Z7Blocks_GetProc(Z7Blocks_Find(name));
        ASSERT_NE(h, nullptr) << name;
        EXPECT_EQ(CallHandler(h, db, {}, 0, FB_AVAIL), 1u) << name;
        EXPECT_EQ(CallHandler(h, db, {}, 0, FB_INSTSIZE), 0u) << name;
    }
}

TEST_F(BlkModbus, SlaveAndMasterThroughTheTalkLayerAndTheEngine) {
    const std::vector<uint16_t> slave{INT_, 1, 1, 1, 2, 10, 8, 20, 4, 11, 4, 21, 2, 3};
    Station(0);
    const uint16_t hr[4] = {0x0A0B, 0x0C0D, 0x1234, 0xFFFE};
    for (uint32_t k = 0; k < 4; k++) I(11 + k, hr[k]);
    I(21, 0x4321);
    I(22, 0x8765);
    B(10, 1), B(12, 1);  // coils 0 and 2
    B(23, 1);            // input 3
    // Port mode below 3: refused, nothing runs.
    fp.mode[5] = 2;
    EXPECT_EQ(Ask(Crc({0x11, 3, 0, 0, 0, 4}), "MODBUSMAPSLAVE", slave), Bytes{});
    fp.rx.clear();
    // The runtime's link just handed the port back (command protocol, mode
    // 1): the engine's start puts the open block's protocol in place.
    fp.mode[5] = 1;
    z7protocol = 3;
    z7runtime_modbusinit = 1;
    DrevanoRuntime = drevano_variables_enumerateded = 1;
    EXPECT_EQ(Ask(Crc({0x11, 3, 0, 2, 0, 1}), "MODBUSMAPSLAVE", slave), Crc({0x11, 3, 2, 0x12, 0x34}));
    DrevanoRuntime = drevano_variables_enumerateded = 0;
    EXPECT_EQ(fp.mode[5], 3);
    EXPECT_EQ(z7runtime_modbusinit, 0);
    const std::vector<Exchange> cases = {
        {"FC3 four registers",
         Crc({0x11, 3, 0, 0, 0, 4}),
         {0x11, 0x03, 0x08, 0x0A, 0x0B, 0x0C, 0x0D, 0x12, 0x34, 0xFF, 0xFE, 0x52, 0x63}},
        {"FC6 echoed", Crc({0x11, 6, 0, 1, 0x0B, 0xEE}), Crc({0x11, 6, 0, 1, 0x0B, 0xEE})},
        {"FC3 after FC6", Crc({0x11, 3, 0, 1, 0, 1}), Crc({0x11, 3, 2, 0x0B, 0xEE})},
        {"FC3 past the array: exception 2", Crc({0x11, 3, 0, 3, 0, 2}), Crc({0x11, 0x83, 2})},
        {"FC3 quantity 126: exception 3", Crc({0x11, 3, 0, 0, 0, 126}), Crc({0x11, 0x83, 3})},
        {"FC16 two words", Crc({0x11, 16, 0, 2, 0, 2, 4, 0xF0, 0xF2, 0x00, 0x25}), Crc({0x11, 16, 0, 2, 0, 2})},
        {"FC16 byte count short: exception 3", Crc({0x11, 16, 0, 2, 0, 2, 2, 0x12, 0x34}), Crc({0x11, 0x90, 3})},
        {"FC4 input registers", Crc({0x11, 4, 0, 0, 0, 2}), Crc({0x11, 4, 4, 0x43, 0x21, 0x87, 0x65})},
        {"FC4 past them", Crc({0x11, 4, 0, 1, 0, 2}), Crc({0x11, 0x84, 2})},
        {"FC1 coils", Crc({0x11, 1, 0, 0, 0, 3}), Crc({0x11, 1, 1, 0x05})},
        {"FC15 coils 3..7", Crc({0x11, 15, 0, 3, 0, 5, 1, 0x15}), Crc({0x11, 15, 0, 3, 0, 5})},
        {"FC1 after FC15", Crc({0x11, 1, 0, 0, 0, 8}), Crc({0x11, 1, 1, 0xAD})},
        {"FC5 coil 7 off", Crc({0x11, 5, 0, 7, 0, 0}), Crc({0x11, 5, 0, 7, 0, 0})},
        {"FC2 inputs", Crc({0x11, 2, 0, 0, 0, 4}), Crc({0x11, 2, 1, 0x08})},
        {"FC2 past them", Crc({0x11, 2, 0, 2, 0, 3}), Crc({0x11, 0x82, 2})},
        {"FC22 mask write", Crc({0x11, 22, 0, 0, 0xF0, 0xF0, 0x03, 0x03}),
         Crc({0x11, 22, 0, 0, 0xF0, 0xF0, 0x03, 0x03})},
        {"FC7", Crc({0x11, 7}), {0x11, 0x07, 0x00, 0x23, 0xF5}},
        {"FC43: exception 1", Crc({0x11, 0x2B, 0x0E, 0x01, 0x00}), {0x11, 0xAB, 0x01, 0x9F, 0x35}},
        {"another station: silence", Crc({0x12, 3, 0, 0, 0, 1}), {}},
        {"bad CRC: silence", {0x11, 0x03, 0x00, 0x00, 0x00, 0x04, 0x06, 0xE1}, {}},
        {"broadcast FC6: carried out, silence", Crc({0, 6, 0, 3, 0x55, 0x55}), {}},
        {"FC3 reads all four", Crc({0x11, 3, 0, 0, 0, 4}),
         Crc({0x11, 3, 8, 0x03, 0x03, 0x0B, 0xEE, 0xF0, 0xF2, 0x55, 0x55})},
    };
    AskEach(cases, "MODBUSMAPSLAVE", slave);
    EXPECT_EQ(I(12), 0x0BEEu);
    EXPECT_EQ(I(13), 0xF0F2u);
    EXPECT_EQ(I(14), 0x5555u);
    const uint8_t coils[8] = {1, 0, 1, 1, 0, 1, 0, 0};  // 0x05, then 0x15 from coil 3, coil 7 cleared
    for (uint32_t k = 0; k < 8; k++) EXPECT_EQ(B(10 + k), coils[k]) << k;
    EXPECT_EQ(B(18), 0u);  // past the coil array: untouched
    EXPECT_EQ(I(15), 0u);  // past the holding array: untouched
    // the status output follows the engine's status word (bit 3 toggles per
    // addressed request)
    EXPECT_EQ(I(3) & ~0x08u, 0u);
    // Enable off: engine stopped, status 0, requests unanswered.
    B(1, 0);
    EXPECT_EQ(Ask(Crc({0x11, 3, 0, 0, 0, 1}), "MODBUSMAPSLAVE", slave), Bytes{});
    EXPECT_EQ(I(3), 0u);
    fp.rx.clear();

    // Master: INT request array {0x11, 3, 0x6B, 3, 0, 0}, data INT 31..38,
    // time-out 1 s, flag BOOL 2.
    const std::vector<uint16_t> master{INT_, 1, 1, 2, 2, 5, 31, 8, 3};
    const uint16_t req[6] = {0x11, 3, 0x6B, 3, 0, 0};
    for (uint32_t k = 0; k < 6; k++) I(5 + k, req[k]);
    I(2, 10);
    B(1, 1);
    B(2, 0);
    auto step = [&] { return Sent("MODBUSDOREQUEST", master); };
    EXPECT_EQ(step(), Bytes{});  // enabled, flag 0: idle
    EXPECT_EQ(I(3), 0u);
    B(2, 1);
    EXPECT_EQ(step(), (Bytes{0x11, 0x03, 0x00, 0x6B, 0x00, 0x03, 0x76, 0x87}));
    step();
    Receive({0x11, 0x03, 0x06, 0xAE, 0x41, 0x56, 0x52, 0x43, 0x40, 0x49, 0xAD});
    step();
    EXPECT_EQ(I(3), 1u);
    EXPECT_EQ(I(31), 0xAE41u);
    EXPECT_EQ(I(32), 0x5652u);
    EXPECT_EQ(I(33), 0x4340u);
    EXPECT_EQ(I(34), 0u);
    // The flag held at 1 sends nothing more; 0 clears the status.
    EXPECT_EQ(step(), Bytes{});
    B(2, 0);
    step();
    EXPECT_EQ(I(3), 0u);
    // Exception 2 answer, then silence (time-out 1 s).
    B(2, 1);
    EXPECT_EQ(step(), Crc({0x11, 3, 0, 0x6B, 0, 3}));
    step();
    Receive(Crc({0x11, 0x83, 2}));
    step();
    EXPECT_EQ(I(3), 0x2002u);
    B(2, 0);
    step();
    B(2, 1);
    EXPECT_EQ(step(), Crc({0x11, 3, 0, 0x6B, 0, 3}));
    step();
    test_support::FakeClock::AdvanceMs(900);
    step();
    EXPECT_EQ(I(3), 0u);
    test_support::FakeClock::AdvanceMs(200);
    step();
    EXPECT_EQ(I(3), 0x102u);
    B(2, 0);
    step();
    // Count cut to the array and an offset: 3 registers from element 6 of 8
    // ask for 2 and store at INT 37, 38.
    I(8, 3), I(10, 6);
    B(2, 1);
    EXPECT_EQ(step(), Crc({0x11, 3, 0, 0x6B, 0, 2}));
    step();
    Receive(Crc({0x11, 3, 4, 0xCA, 0xFE, 0xBE, 0xEF}));
    step();
    EXPECT_EQ(I(3), 1u);
    EXPECT_EQ(I(37), 0xCAFEu);
    EXPECT_EQ(I(38), 0xBEEFu);
    EXPECT_EQ(I(39), 0u);
    B(2, 0);
    step();
    // FC16 from a REAL array: 1 element, 2 registers in memory order.
    const std::vector<uint16_t> real{REAL_, 1, 1, 2, 2, 5, 11, 4, 3};
    D(11, 0x40490FDB);
    I(6, 16), I(8, 1), I(10, 0);
    B(2, 1);
    EXPECT_EQ(Sent("MODBUSDOREQUEST", real), Crc({0x11, 16, 0, 0x6B, 0, 2, 4, 0x0F, 0xDB, 0x40, 0x49}));
    B(2, 0);
    Call("MODBUSDOREQUEST", real);
    // OLDUSERSMASTER FC2 into the BOOL array 30..33: one byte per bit.
    const std::vector<uint16_t> old{INT_, 1, 1, 2, 2, 5, 0, 30, 4, 31, 8, 3};
    I(6, 2), I(7, 0), I(8, 10);
    B(2, 1);
    EXPECT_EQ(Sent("OLDUSERSMASTER", old), Crc({0x11, 2, 0, 0, 0, 4}));
    Call("OLDUSERSMASTER", old);
    Receive(Crc({0x11, 2, 1, 0x09}));
    Call("OLDUSERSMASTER", old);
    EXPECT_EQ(I(3), 1u);
    EXPECT_EQ(B(30), 1u);
    EXPECT_EQ(B(31), 0u);
    EXPECT_EQ(B(32), 0u);
    EXPECT_EQ(B(33), 1u);
    EXPECT_EQ(B(34), 0u);
    // A master enabled while the slave form holds the engine waits.
    B(1, 0);
    Call("OLDUSERSMASTER", old);
    B(1, 1);
    Call("MODBUSMAPSLAVE", slave);
    B(2, 0);
    Call("MODBUSDOREQUEST", master);
    B(2, 1);
    EXPECT_EQ(step(), Bytes{});
    EXPECT_EQ(I(3), 0u);
}

// A DINT holding array (element code 2): registers are the elements' words
// in memory order, and a single-register write (FC6) sets the whole element
// holding that register. Then a port in the IEC runtime's own protocol (6)
// keeps the engine's protocol state over a new start.
TEST_F(BlkModbus, DintHoldingAndTheRuntimeProtocol) {
    const std::vector<uint16_t> slave{DINT_, 1, 1, 1, 2, 10, 8, 20, 4, 11, 3, 21, 2, 3};
    Station(0);
    D(11, 0x11112222);
    D(12, 0x33334444);
    D(13, 0x55556666);
    D(14, 0x77778888);  // past the array
    const std::vector<Exchange> cases = {
        {"FC3 six registers", Crc({0x11, 3, 0, 0, 0, 6}),
         Crc({0x11, 3, 12, 0x22, 0x22, 0x11, 0x11, 0x44, 0x44, 0x33, 0x33, 0x66, 0x66, 0x55, 0x55})},
        {"FC6 register 2: element 1 whole", Crc({0x11, 6, 0, 2, 0x0B, 0xEE}), Crc({0x11, 6, 0, 2, 0x0B, 0xEE})},
        {"FC6 register 5: element 2 whole, sign kept", Crc({0x11, 6, 0, 5, 0xFF, 0xFE}),
         Crc({0x11, 6, 0, 5, 0xFF, 0xFE})},
        {"FC6 register 6: past the array", Crc({0x11, 6, 0, 6, 0x12, 0x34}), Crc({0x11, 0x86, 2})},
        {"FC16 two registers: one element", Crc({0x11, 16, 0, 0, 0, 2, 4, 0xAA, 0xAA, 0xBB, 0xBB}),
         Crc({0x11, 16, 0, 0, 0, 2})},
        {"FC3 after the writes", Crc({0x11, 3, 0, 0, 0, 6}),
         Crc({0x11, 3, 12, 0xAA, 0xAA, 0xBB, 0xBB, 0x0B, 0xEE, 0x00, 0x00, 0xFF, 0xFE, 0xFF, 0xFF})},
        {"FC8 bus messages: 7", Crc({0x11, 8, 0, 11, 0, 0}), Crc({0x11, 8, 0, 11, 0, 7})},
    };
    AskEach(cases, "MODBUSMAPSLAVE", slave);
    EXPECT_EQ(D(11), 0xBBBBAAAAu);
    EXPECT_EQ(D(12), 0x00000BEEu);
    EXPECT_EQ(D(13), 0xFFFFFFFEu);
    EXPECT_EQ(D(14), 0x77778888u);

    struct Restart {
        const char *what;
        uint8_t runtime, nibble;
        Bytes answer;  // to FC8 bus messages after the new start
    };
    const Restart restarts[] = {
        // IEC application, port in the runtime's protocol: counters, RTU
        // framing and station kept; the hand-back flag is left for later.
        {"runtime protocol: state kept", 1, 6, Crc({0x11, 8, 0, 11, 0, 8})},
        // Without an IEC application a nibble of 6 is no RTU: ASCII framing,
        // the RTU request goes unanswered.
        {"no IEC application: ASCII", 0, 6, {}},
        // RTU mode: a fresh protocol state, the counter starts again.
        {"RTU: counters cleared", 1, 3, Crc({0x11, 8, 0, 11, 0, 1})},
    };
    for (const Restart &r : restarts) {
        SCOPED_TRACE(r.what);
        B(1, 0);
        Call("MODBUSMAPSLAVE", slave);
        fp.mode[5] = r.nibble;
        z7protocol = 3;  // a hand-back would put RTU on the port
        z7runtime_modbusinit = 1;
        DrevanoRuntime = drevano_variables_enumerateded = r.runtime;
        B(1, 1);
        EXPECT_EQ(Ask(Crc({0x11, 8, 0, 11, 0, 0}), "MODBUSMAPSLAVE", slave), r.answer);
        fp.rx.clear();
        if (r.runtime && r.nibble == 6) {
            EXPECT_EQ(fp.mode[5], 6);
            EXPECT_EQ(z7runtime_modbusinit, 1);
        }
        DrevanoRuntime = drevano_variables_enumerateded = 0;
        fp.mode[5] = 3;
        z7runtime_modbusinit = 0;
    }

    // Forced variables are not written by the engine: DINT 12 (32-bit lock
    // bit) and coil BOOL 10 (8-bit lock bit); DINT 11 carries another
    // section's lock bit only and is written.
    auto lock = [&](uint32_t i, uint8_t bits) { Z7Mem_Put8(Addr(Z7SEC_LOCK, i), bits); };
    lock(12, 0x04);
    lock(11, 0x02);
    lock(10, 0x01);
    const std::vector<Exchange> forced = {
        {"FC6 on the forced element: echoed", Crc({0x11, 6, 0, 3, 0x00, 0x07}), Crc({0x11, 6, 0, 3, 0x00, 0x07})},
        {"FC16 over elements 0..2", Crc({0x11, 16, 0, 0, 0, 6, 12, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}),
         Crc({0x11, 16, 0, 0, 0, 6})},
        {"FC5 coils 0 and 1 on", Crc({0x11, 5, 0, 0, 0xFF, 0}), Crc({0x11, 5, 0, 0, 0xFF, 0})},
        {"FC5 coil 1 on", Crc({0x11, 5, 0, 1, 0xFF, 0}), Crc({0x11, 5, 0, 1, 0xFF, 0})},
    };
    B(10, 0), B(11, 0);
    AskEach(forced, "MODBUSMAPSLAVE", slave);
    EXPECT_EQ(D(11), 0x03040102u);  // registers 0, 1: 0x0102, 0x0304 (low word first)
    EXPECT_EQ(D(12), 0x00000BEEu);  // forced: kept
    EXPECT_EQ(D(13), 0x0B0C090Au);
    EXPECT_EQ(B(10), 0u);  // forced coil kept
    EXPECT_EQ(B(11), 1u);
    for (uint32_t i : {10u, 11u, 12u}) lock(i, 0);
}

// An application with a complex-type segment: the request, data, slave-map
// and extension arrays are named by DINTs holding their offsets there.
class BlkModbusComplex : public BlkModbus {
protected:
    void SetUp() override { Boot(128); }
    uint32_t Ct(uint32_t off) const { return Z7Sec_Addr(db, Z7SEC_CT) + off; }
};

TEST_F(BlkModbusComplex, ArrayOperandsLieInTheComplexTypeSegment) {
    BlkMb_Hooks.talk_modbus = Recorder_;
    ASSERT_NE(Z7Sec_Addr(db, Z7SEC_CT), 0u);
    Station(10);
    B(2, 1);
    // request (six INTs) at segment byte 0 (DINT 5); data at byte 32 (DINT 31)
    const uint16_t req[6] = {0x11, 3, 0x6B, 3, 0, 0};
    for (uint32_t k = 0; k < 6; k++) {
        Z7Mem_Put16(Ct(2 * k), req[k]);
        I(5 + k, 0x22);  // INT 5..10 hold no request
    }
    D(5, 0);
    D(31, 32);
    Call("MODBUSDOREQUEST", {INT_, 1, 1, 2, 2, 5, 31, 8, 3});
    ASSERT_EQ(seen.calls, 1u);
    const uint8_t *rec = seen.rec.data();
    EXPECT_EQ(LE_Get16(rec + MBR_SLAVE), 0x11u);
    EXPECT_EQ(LE_Get16(rec + MBR_FC), 3u);
    EXPECT_EQ(LE_Get16(rec + MBR_START), 0x6Bu);
    EXPECT_EQ(LE_Get16(rec + MBR_QTY), 3u);
    EXPECT_EQ(LE_Get32(rec + MBR_DATA), Ct(32));
    // eight INTs from byte 120 pass the segment's 128 bytes: no data array
    D(31, 120);
    Call("MODBUSDOREQUEST", {INT_, 1, 1, 2, 2, 5, 31, 8, 3});
    EXPECT_EQ(LE_Get32(seen.rec.data() + MBR_DATA), 0u);
    // slave map: coils at 40 (DINT 10), inputs at 48 (DINT 20), holding at
    // 64 (DINT 11), input registers at 96 (DINT 21)
    D(10, 40);
    D(20, 48);
    D(11, 64);
    D(21, 96);
    seen = Seen{};
    Call("MODBUSMAPSLAVE", {INT_, 1, 1, 1, 2, 10, 8, 20, 4, 11, 4, 21, 2, 3});
    ASSERT_EQ(seen.calls, 1u);
    rec = seen.rec.data();
    EXPECT_EQ(LE_Get32(rec + MBM_ADDR + 4 * MBM_COILS), Ct(40));
    EXPECT_EQ(LE_Get32(rec + MBM_ADDR + 4 * MBM_INPUTS), Ct(48));
    EXPECT_EQ(LE_Get32(rec + MBM_ADDR + 4 * MBM_HOLDING), Ct(64));
    EXPECT_EQ(LE_Get32(rec + MBM_COUNT + 4 * MBM_HOLDING), 4u);
    EXPECT_EQ(LE_Get32(rec + MBM_ADDR + 4 * MBM_INREGS), Ct(96));
}

// Store-and-forward through the extended slave: the extension word counts
// the entries of the extension array (high byte, low byte: two stations).
TEST_F(BlkModbus, ExtendedSlaveForwardsFrames) {
    const std::vector<uint16_t> ext{INT_, 1, 1, 1, 2, 4, 50, 10, 8, 20, 4, 11, 4, 21, 2, 3};
    I(1, 0x11);
    D(1, 0);
    B(1, 1);
    I(4, 1);
    I(50, 0x2030);
    EXPECT_EQ(Ask(Crc({0x11, 3, 0, 0, 0, 1}), "MODBUSMAPEXTEND", ext), Crc({0x11, 3, 2, 0, 0}));
    // A frame for station 0x20 goes on to 0x30 at the next step, unchanged
    // but for its address (and the CRC computed again).
    EXPECT_EQ(Ask(Crc({0x20, 3, 0, 0, 0, 1}), "MODBUSMAPEXTEND", ext), Bytes{});
    EXPECT_EQ(Sent("MODBUSMAPEXTEND", ext), Crc({0x30, 3, 0, 0, 0, 1}));
    // The extension word set back to 0 while enabled: forwarding ends, the
    // frame for 0x20 is neither answered nor passed on.
    I(4, 0);
    Call("MODBUSMAPEXTEND", ext);
    EXPECT_EQ(Ask(Crc({0x20, 3, 0, 0, 0, 1}), "MODBUSMAPEXTEND", ext), Bytes{});
    EXPECT_EQ(Sent("MODBUSMAPEXTEND", ext), Bytes{});
    I(4, 1);
    // An extension array past its section: no table, nothing forwarded.
    B(1, 0);
    Call("MODBUSMAPEXTEND", ext);
    B(1, 1);
    I(4, 20);
    const std::vector<uint16_t> past{INT_, 1, 1, 1, 2, 4, 60, 10, 8, 20, 4, 11, 4, 21, 2, 3};
    Ask(Crc({0x11, 3, 0, 0, 0, 1}), "MODBUSMAPEXTEND", past);
    EXPECT_EQ(Ask(Crc({0x20, 3, 0, 0, 0, 1}), "MODBUSMAPEXTEND", past), Bytes{});
    EXPECT_EQ(Sent("MODBUSMAPEXTEND", past), Bytes{});
}

}  // namespace
}  // namespace iec_test
