// Datagrams (lists, escapes, keys, writes, ageing) and the programming
// port's lock and intercept rings.
#include "tests/cmd/test_cmd_support.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>

using namespace cmd_test;

namespace {

Bytes Words(std::initializer_list<uint16_t> w) {
    Bytes out;
    for (uint16_t v : w) {
        out.push_back(uint8_t(v));
        out.push_back(uint8_t(v >> 8));
    }
    return out;
}
constexpr uint16_t kR1 = 32768 / 16;  // reference of %R1
uint16_t R(uint32_t n) { return LE_Get16(&plc_reg[(32768 - 1024) / 8 + 2 * (n - 1)]); }

class Datagram : public CmdTest {};

TEST_F(Datagram, EscapesCountTheRealReferences) {
    Bytes w = Words({0, 0});
    for (uint16_t i = 0; i < 28; i++) {
        const Bytes one = Words({uint16_t(kR1 + i)});
        w.insert(w.end(), one.begin(), one.end());
    }
    const uint8_t id = Datagram_Create(0, 7, w.data(), 30);
    ASSERT_EQ(id, 0);
    EXPECT_EQ(DgDefTable[0].count, 28);
    std::array<uint8_t, 60> out{};
    EXPECT_EQ(Datagram_Read(id, 7, out.data()), 28);
    // Several escapes: each sets the upper half of the references after it.
    const Bytes m = Words({0, 0, kR1, 0, 1, 5, 0, 0, kR1 + 1});
    const uint8_t id2 = Datagram_Create(0, 7, m.data(), 9);
    ASSERT_EQ(id2, 1);
    EXPECT_EQ(DgDefTable[1].count, 3);
    EXPECT_EQ(DgDefTable[1].refs[0], kR1);
    EXPECT_EQ(DgDefTable[1].refs[1], 0x10005u);
    EXPECT_EQ(DgDefTable[1].refs[2], uint32_t(kR1 + 1));
    // 0x10005 * 16 lies outside the image: the read is refused.
    EXPECT_EQ(Datagram_Read(id2, 7, out.data()), DG_FAIL);
    // A trailing escape, or more than 30 words, is refused.
    const Bytes t = Words({kR1, 0});
    EXPECT_EQ(Datagram_Create(0, 7, t.data(), 2), DG_FAIL);
    const Bytes t2 = Words({kR1, 0, 1, 0});
    EXPECT_EQ(Datagram_Create(0, 7, t2.data(), 4), DG_FAIL);
    Bytes many(62, 1);
    EXPECT_EQ(Datagram_Create(0, 7, many.data(), 31), DG_FAIL);
    EXPECT_EQ(Datagram_Create(0, 7, many.data(), 0), 2);  // an empty list is a list
}

TEST_F(Datagram, KeysCountsAndWrites) {
    const Bytes w = Words({kR1, kR1 + 1, kR1 + 2, kR1 + 3});
    const uint8_t id = Datagram_Create(0, 0x55AA, w.data(), 4);
    const Bytes three = Words({1, 2, 3});
    EXPECT_EQ(Datagram_Write(id, 0x55AA, three.data(), 3), DG_FAIL);
    EXPECT_EQ(R(1) | R(2) | R(3) | R(4), 0);
    const Bytes four = Words({1, 2, 3, 4});
    EXPECT_EQ(Datagram_Write(id, 0x55AB, four.data(), 4), DG_FAIL);
    EXPECT_EQ(Datagram_Write(id, 0x55AA, four.data(), 4), id);
    EXPECT_EQ(R(4), 4);
    EXPECT_EQ(Datagram_Delete(id, 1), DG_FAIL);
    EXPECT_EQ(Datagram_Delete(64, 0x55AA), DG_FAIL);
    EXPECT_EQ(Datagram_Delete(id, 0x55AA), id);
    EXPECT_EQ(Datagram_Read(id, 0x55AA, nullptr), DG_FAIL);
    // A refused write stops at once; earlier words stay written.
    const Bytes sr = Words({kR1 + 9, 3136 / 16});
    const uint8_t id2 = Datagram_Create(0, 1, sr.data(), 2);
    const Bytes bad = Words({9, 77});  // mode 77 is not a mode
    EXPECT_EQ(Datagram_Write(id2, 1, bad.data(), 2), DG_FAIL);
    EXPECT_EQ(R(10), 9);
}

TEST_F(Datagram, AllSixtyFourThenFullAndDeleteAll) {
    const Bytes w = Words({kR1});
    for (unsigned i = 0; i < DG_COUNT; i++) EXPECT_EQ(Datagram_Create(0, uint16_t(i), w.data(), 1), i);
    EXPECT_EQ(Datagram_Create(0, 0, w.data(), 1), DG_FAIL);
    EXPECT_EQ(Datagram_Delete(10, 10), 10);
    EXPECT_EQ(Datagram_Create(0, 99, w.data(), 1), 10);  // the lowest free id
    EXPECT_EQ(Datagram_Delete(255, 12345), 0);
    for (const DgDef &d : DgDefTable) EXPECT_EQ(d.in_use, 0);
}

TEST_F(Datagram, IdleTimeoutsAgeEveryHundredMilliseconds) {
    // The aging's time is taken first, whatever an earlier test's check left
    // (the first check takes it; a check more than 100 ms later ages and
    // takes it again).
    Datagram_Check();
    Advance(101);
    Datagram_Check();
    const Bytes w = Words({kR1});
    const uint8_t quick = Datagram_Create(1, 1, w.data(), 1);
    const uint8_t slow = Datagram_Create(3, 1, w.data(), 1);
    const uint8_t never = Datagram_Create(0, 1, w.data(), 1);
    Advance(100);
    Datagram_Check();
    EXPECT_EQ(DgDefTable[quick].in_use, 1);  // exactly 1000 ticks: not yet
    Advance(1);
    Datagram_Check();
    EXPECT_EQ(DgDefTable[quick].in_use, 0);
    std::array<uint8_t, 2> out{};
    Advance(101);
    Datagram_Check();
    EXPECT_EQ(Datagram_Read(slow, 1, out.data()), 1);  // a read restarts its idle count
    for (int i = 0; i < 2; i++) {
        Advance(101);
        Datagram_Check();
    }
    EXPECT_EQ(DgDefTable[slow].in_use, 1);
    Advance(101);
    Datagram_Check();
    EXPECT_EQ(DgDefTable[slow].in_use, 0);
    for (int i = 0; i < 300; i++) {
        Advance(101);
        Datagram_Check();
    }
    EXPECT_EQ(DgDefTable[never].in_use, 1);
}

TEST_F(Datagram, CommandFrames) {
    PlcWordSet(2048 + 5, 0);
    Bytes create = {0x7F, 0, 0x34, 0x12};
    const Bytes w = Words({kR1, kR1 + 1});
    create.insert(create.end(), w.begin(), w.end());
    EXPECT_EQ(Exchange(Frame(0x20, create)), Frame(0xFF, {0}));
    Bytes write = {0x7F, 0, 0x34, 0x12};
    const Bytes v = Words({0xBEEF, 0x0102});
    write.insert(write.end(), v.begin(), v.end());
    EXPECT_EQ(Exchange(Frame(0x21, write)), (Bytes{0xA0}));
    EXPECT_EQ(Exchange(Frame(0x22, {0x7F, 0, 0x34, 0x12})), Frame(0xFF, {0xEF, 0xBE, 0x02, 0x01}));
    EXPECT_EQ(Exchange(Frame(0x22, {0x7F, 0, 0x35, 0x12})), (Bytes{0x09}));
    EXPECT_EQ(Exchange(Frame(0x21, {0x7F, 0, 0x34, 0x12, 1, 0})), (Bytes{0x09}));
    EXPECT_EQ(Exchange(Frame(0x1F, {0x7F, 0, 0x34, 0x12})), (Bytes{0xA0}));
    EXPECT_EQ(Exchange(Frame(0x1F, {0x7F, 0, 0x34, 0x12})), (Bytes{0x09}));
    EXPECT_EQ(Exchange(Frame(0x1F, {0x7F, 255, 0, 0})), (Bytes{0xA0}));
}

// ---- the port --------------------------------------------------------------------

class Vcomm : public CmdTest {};

TEST_F(Vcomm, ModeSetAndLockSet) {
    Vcomm_Lock = 0;
    EXPECT_EQ(Vcomm_ModeSet(0, 1, 0, 5), 0u);
    EXPECT_EQ(Vcomm_Host, 1u);
    EXPECT_EQ(Vcomm_ModeSet(0, 0, 0, 5), 1u);  // held: refused without force
    EXPECT_EQ(Vcomm_Host, 1u);
    EXPECT_EQ(Vcomm_ModeSet(1, 0, 1, 9), 0u);  // force while only bit 0 is set
    EXPECT_EQ(Vcomm_Host, 0u);
    EXPECT_EQ(Vcomm_Mode, 1u);
    EXPECT_EQ(Vcomm_ConnectId, 9);
    for (uint32_t lock : {2u, 3u}) {
        Vcomm_Lock = lock;
        EXPECT_EQ(Vcomm_ModeSet(1, 1, 0, 1), lock);
        EXPECT_EQ(Vcomm_Host, 0u);
    }
    const uint16_t idle = Vcomm_Idle;
    Vcomm_Lock = 0;
    Vcomm_LockSet(1);
    Vcomm_LockSet(3);
    EXPECT_EQ(Vcomm_Lock, 3u);
    Vcomm_LockSet(4);
    EXPECT_EQ(Vcomm_Lock, 1u);
    Vcomm_LockSet(9);
    EXPECT_EQ(Vcomm_Lock, 1u);
    Vcomm_LockSet(2);
    EXPECT_EQ(Vcomm_Lock, 0u);
    EXPECT_EQ(Vcomm_Idle, uint16_t(idle + 1));
    Vcomm_LockSet(0);
    EXPECT_EQ(Vcomm_Idle, uint16_t(idle + 1));  // was free already
}

TEST_F(Vcomm, InterceptRingHolds2047Bytes) {
    Vcomm_Drv[0].SetIntrcpt(0, 1);
    for (unsigned i = 0; i < 2047; i++) EXPECT_EQ(Vcomm_Drv[0].StuffRx(0, uint8_t(i)), 1u);
    EXPECT_EQ(Vcomm_Drv[0].StuffRx(0, 0xEE), 0u);
    EXPECT_EQ(Vcomm_Drv[0].CountRx(0), 2047u);
    for (unsigned i = 0; i < 2047; i++) {
        ASSERT_EQ(Vcomm_Drv[0].CheckRx(0), 1u);
        EXPECT_EQ(Vcomm_Drv[0].GetRx(0), i & 0xFF);
    }
    EXPECT_EQ(Vcomm_Drv[0].CheckRx(0), 0u);
    const uint8_t out[3] = {1, 2, 3};
    Vcomm_Drv[0].PutnTx(0, out, 3);
    EXPECT_EQ(Vcomm_Drv[0].CountTx(0), 3u);
    EXPECT_EQ(Vcomm_Drv[0].EmptyTx(0), 0u);
    EXPECT_EQ(Drain(), (Bytes{1, 2, 3}));
    EXPECT_EQ(Vcomm_Drv[0].EmptyTx(0), 1u);
}

TEST_F(Vcomm, WaitRxArmsTheCharacterTimeAfterTheFirstByte) {
    PlcWordSet(W_MODE, 2);
    ASSERT_EQ(Vcomm_Drv[0].InitWait(0, 1000000, 0), 1u);
    const uint32_t h = Vcomm_Port[0].rtu_timer;
    ASSERT_NE(h, 0u);
    EXPECT_EQ(tmr[h - 1].period, 1000000u / 100);
    Stuff({0x11});
    uint8_t b = 0;
    EXPECT_EQ(Vcomm_Drv[0].WaitRx(0, &b), 1u);
    EXPECT_EQ(b, 0x11);
    // Nothing more waiting: the frame end is now timed per character.
    b = 0xAA;
    EXPECT_EQ(Vcomm_Drv[0].WaitRx(0, &b), 2u);
    EXPECT_EQ(tmr[h - 1].period, cnt_table[Vcomm_Port[0].SerialOpenMode[0]] / 100);
    EXPECT_EQ(Vcomm_Port[0].rtu_index, 2);
    // Outside mode 2 the wait ends at once.
    PlcWordSet(W_MODE, 0);
    EXPECT_EQ(Vcomm_Drv[0].WaitRx(0, &b), 0u);
    EXPECT_EQ(Vcomm_Port[0].wait_armed, 0);
}

TEST_F(Vcomm, InitAnswersWhetherTheStartUpModeCouldBeApplied) {
    EXPECT_EQ(SCI2_Init(0), 0u);  // no device
    // A device that is no terminal opens but takes no settings.
    ::mkdir((root / "dev").c_str(), 0755);
    if (FILE *f = std::fopen((root / "dev/ttySP0").c_str(), "w")) std::fclose(f);
    EXPECT_EQ(SCI2_Init(0), 0u);
    EXPECT_GE(Vcomm_Port[0].fd, 0);
    EXPECT_EQ(Vcomm_Port[0].SerialOpenMode, rism_mode);
    std::remove((root / "dev/ttySP0").c_str());
    EXPECT_EQ(SCI2_Init(0), 0u);  // closes the file again
    test_support::StartInterceptedPort();
}

// The Modbus core flushes the transmitter before each frame. On a
// pseudo-terminal that must not take back an answer written before it and
// not yet read at the far end (it is sent, as from a UART).
TEST_F(Vcomm, AnAnswerWrittenBeforeAFlushStillReachesThePeer) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    ::mkdir((root / "dev").c_str(), 0755);
    ASSERT_EQ(::symlink(ptsname(master), (root / "dev/ttySP0").c_str()), 0);
    EXPECT_EQ(SCI2_Init(0), 1u);
    ASSERT_GE(Vcomm_Port[0].fd, 0);
    // The kernel hands written bytes to the far end a moment later: a flush
    // in that moment took them back on some of the tries. A busy machine
    // makes that moment rarer, so there are many tries, in rounds that the
    // far end reads out before its input queue fills.
    const uint8_t ack = 0x06, frame[2] = {0x11, 0x03};
    Bytes want, got;
    struct pollfd pf {
        master, POLLIN, 0
    };
    uint8_t buf[256];
    for (int round = 0; round < 40; round++) {
        for (int i = 0; i < 200; i++) {
            Vcomm_Drv[0].PutnTx(0, &ack, 1);
            Vcomm_Drv[0].FlushTx(0);
            Vcomm_Drv[0].PutnTx(0, frame, 2);
            want.insert(want.end(), {ack, frame[0], frame[1]});
        }
        while (got.size() < want.size() && ::poll(&pf, 1, 2000) > 0) {
            const ssize_t n = ::read(master, buf, sizeof buf);
            if (n <= 0) break;
            got.insert(got.end(), buf, buf + n);
        }
        ASSERT_EQ(got.size(), want.size()) << "round " << round;
    }
    EXPECT_EQ(got, want);
    std::remove((root / "dev/ttySP0").c_str());
    EXPECT_EQ(SCI2_Init(0), 0u);
    ::close(master);
    test_support::StartInterceptedPort();
}

// Open builds the line settings from the mode record on a real terminal; a
// field out of range answers 0 but the other fields still take effect. (A
// pseudo-terminal keeps rate, stop bits, handshake and input flags; it forces
// eight data bits without parity, so those two fields are not read back.)
TEST_F(Vcomm, OpenSetsTheLineFromTheModeRecordEvenWithABadField) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    ::mkdir((root / "dev").c_str(), 0755);
    ASSERT_EQ(::symlink(ptsname(master), (root / "dev/ttySP0").c_str()), 0);
    EXPECT_EQ(SCI2_Init(0), 1u);
    ASSERT_GE(Vcomm_Port[0].fd, 0);
    const struct Row {
        VcommMode mode;
        uint32_t answer;
        speed_t speed;
        tcflag_t cflags;  // of CSTOPB, CRTSCTS
        tcflag_t iflags;  // of IXON, IXOFF, IGNPAR
    } rows[] = {
        {{0, 1, 2, 1, 1, 1}, 1, B300, CSTOPB, IXON | IXOFF},
        {{9, 2, 3, 0, 2, 1}, 1, B115200, CRTSCTS, 0},
        {{8, 0, 3, 0, 4, 1}, 1, B57600, 0, IGNPAR},
        {{7, 0, 4, 1, 3, 1}, 0, B38400, CSTOPB, IGNPAR},  // nine data bits
        {{5, 3, 3, 0, 1, 1}, 0, B9600, 0, IXON | IXOFF},  // parity 3
        {{4, 0, 3, 2, 2, 1}, 0, B4800, CRTSCTS, IGNPAR},  // stop-bit code 2
        {{6, 2, 3, 1, 6, 1}, 0, B19200, CSTOPB, 0},       // handshake 6
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(testing::PrintToString(r.mode));
        EXPECT_EQ(Vcomm_Drv[0].Open(0, r.mode.data()), r.answer);
        EXPECT_EQ(Vcomm_Port[0].SerialOpenMode, r.mode);
        struct termios t {};
        ASSERT_EQ(tcgetattr(Vcomm_Port[0].fd, &t), 0);
        EXPECT_EQ(cfgetospeed(&t), r.speed);
        EXPECT_EQ(cfgetispeed(&t), r.speed);
        EXPECT_EQ(t.c_cflag & (CSTOPB | CRTSCTS), r.cflags);
        EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), tcflag_t(CLOCAL | CREAD));
        EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IGNPAR), r.iflags);
        EXPECT_EQ(t.c_oflag & OPOST, 0u);
        EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
        EXPECT_EQ(t.c_cc[VMIN], 1);
        EXPECT_EQ(t.c_cc[VTIME], 0);
    }
    std::remove((root / "dev/ttySP0").c_str());
    EXPECT_EQ(SCI2_Init(0), 0u);
    ::close(master);
    test_support::StartInterceptedPort();
}

TEST_F(Vcomm, ProtocolChangeTableAndInvalidFields) {
    VcommMode m = qncan_mode;
    m[5] = 3;
    EXPECT_EQ(Vcomm_Drv[0].Open(0, m.data()), 0u);  // no device, but the mode is taken
    EXPECT_EQ(PlcWord(W_PORTPROTO), 3);
    m[5] = 2;
    Vcomm_Drv[0].Open(0, m.data());
    EXPECT_EQ(Vcomm_Port[0].SerialOpenMode[5], 3);  // 2 while 3 is in force: refused
    EXPECT_EQ(Vcomm_Port[0].rtu_timer != 0, true);
    // The frame gap of Modbus RTU is timed with the rate's character time:
    // at 9600 bit/s (code 5) 26,666 us, a one-shot of 266 ticks of 100 us,
    // so that a short pause inside a frame does not end it.
    Vcomm_Drv[0].Open(0, qncan_mode.data());
    m[0] = 5;
    m[5] = 3;
    Vcomm_Drv[0].Open(0, m.data());
    ASSERT_NE(Vcomm_Port[0].rtu_timer, 0u);
    EXPECT_EQ(tmr[Vcomm_Port[0].rtu_timer - 1].period, 266u);
    EXPECT_EQ(tmr[Vcomm_Port[0].rtu_timer - 1].kind, 1u);
    Vcomm_Drv[0].Open(0, qncan_mode.data());  // 1 is always allowed
    EXPECT_EQ(Vcomm_Port[0].SerialOpenMode[5], 1);
    EXPECT_EQ(Vcomm_Port[0].rtu_timer, 0u);
    EXPECT_EQ(PlcWord(W_PORTPROTO), 1);
    m = qncan_mode;
    m[2] = 4;  // 9 data bits
    EXPECT_EQ(Vcomm_Drv[0].Open(0, m.data()), 0u);
    EXPECT_EQ(Vcomm_Port[0].SerialOpenMode[2], 4);
    // The table's constant operations.
    EXPECT_EQ(Vcomm_Drv[0].Test(0), 0u);
    EXPECT_EQ(Vcomm_Drv[0].SetCts(0, 7), 7u);
    EXPECT_EQ(Vcomm_Drv[0].GetDCD(0), 0u);
    EXPECT_EQ(Vcomm_Drv[0].ModeRec(0), Vcomm_Port[0].SerialOpenMode.data());
}

}  // namespace
