// The workbench's communication server on its serial channel (a socket pair
// stands in for the programming port) and the event server on a real TCP
// socket, both stepped by hand with a settable millisecond clock.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>
#include <string>
#include <vector>

#include "core/image/bytes.h"
#include "core/image/plcreg.h"
#include "io/vcomm.h"
#include "iec/services/z7svc.h"
#include "iec/vm/z7parts.h"
#include "tests/support/iec_clock.h"
#include "tests/support/loopback.h"
#include "tests/support/stand_in_port.h"
#include "tests/support/temp_root.h"

namespace {
using Bytes = std::vector<uint8_t>;

Bytes Hex(const char *h) {
    Bytes b;
    for (const char *p = h; p[0] && p[1]; p += 2) {
        if (*p == ' ') {
            p--;
            continue;
        }
        b.push_back(uint8_t(std::stoul(std::string(p, 2), nullptr, 16)));
    }
    return b;
}

// Reads what is waiting (up to n bytes) within a short time.
Bytes Take(int fd, size_t n, int ms = 200) {
    Bytes out;
    while (out.size() < n) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, ms) <= 0) break;
        uint8_t buf[4096];
        const ssize_t r = read(fd, buf, std::min(sizeof buf, n - out.size()));
        if (r <= 0) break;
        out.insert(out.end(), buf, buf + r);
    }
    return out;
}

class Serial : public ::testing::Test {
protected:
    test_support::TempRoot root;
    Z7CSData cs{};
    int sv[2] = {-1, -1};

    void SetUp() override {
        mkdir((root / "mnt").c_str(), 0755);
        mkdir((root / "mnt/cfg").c_str(), 0755);
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv), 0);
        Vcomm_Port[ProgrammingPort].fd = sv[0];
        const Z7CSSettings s{0, 0, "DUMMY"};
        Z7CS_Open(&cs, &s, 0);
        IsCommMode_Qncan = 0;
    }
    void TearDown() override {
        Z7CS_Close(&cs);
        Vcomm_Port[ProgrammingPort].fd = -1;
        close(sv[0]);
        close(sv[1]);
        IsCommMode_Qncan = 1;
    }
    void Send(const Bytes &b) { ASSERT_EQ(write(sv[1], b.data(), b.size()), ssize_t(b.size())); }
    Bytes Framed(Bytes f) {
        const uint16_t crc = Z7CS_Crc16(f.data(), uint32_t(f.size()));
        f.push_back(uint8_t(crc >> 8));
        f.push_back(uint8_t(crc));
        return f;
    }
    // Polls the server until a question is found or the answer went out.
    uint32_t Poll(uint32_t *ch = nullptr) {
        uint32_t kind = 0, c = 0;
        for (int i = 0; i < 8 && kind == 0; i++) {
            Z7CS_Activate(&cs);
            kind = Z7CS_GetQuestion(&cs, &c);
        }
        Z7CS_Activate(&cs);
        if (ch) *ch = c;
        return kind;
    }
    // One file-transfer request; the answer frame (CRC removed).
    Bytes Ft(uint8_t sub, const Bytes &args) {
        Bytes f{'Z', '7', 0, 0, 19, sub};
        f.insert(f.end(), args.begin(), args.end());
        BE_Put16(&f[2], uint16_t(f.size() - 4));
        Send(Framed(f));
        EXPECT_EQ(Poll(), 0u);
        // the serial answer goes out a byte at a time: keep polling while reading
        Bytes a;
        for (int i = 0; i < 5000; i++) {
            const Bytes got = Take(sv[1], 4096, 0);
            a.insert(a.end(), got.begin(), got.end());
            if (a.size() >= 4 && a.size() >= BE_Get16(&a[2]) + 6u) break;
            Z7CS_Activate(&cs);
        }
        if (a.size() < 8) return {};
        EXPECT_EQ(Z7CS_Crc16(a.data(), uint32_t(a.size() - 2)), BE_Get16(&a[a.size() - 2]));
        a.resize(a.size() - 2);
        return a;
    }
};

TEST_F(Serial, FramesCrcModbusLengthsAndTheHandBack) {
    Send(Hex("5A37000315000102 35"));
    EXPECT_EQ(Poll(), 0u);  // kind 21 is answered inside
    EXPECT_EQ(Take(sv[1], 9), Hex("5A37000315 0000C2F4"));
    // a bad CRC: nothing, and the receiver starts again
    Bytes bad = Framed(Hex("5A37000315 0001"));
    bad.back() ^= 1;
    Send(bad);
    EXPECT_EQ(Poll(), 0u);
    EXPECT_TRUE(Take(sv[1], 1, 50).empty());
    // 'H','R' inside a payload is data: value 0x4852 answers 1, the link stays
    Send(Framed(Hex("5A37000315 4852")));
    EXPECT_EQ(Poll(), 0u);
    EXPECT_EQ(Take(sv[1], 9), Framed(Hex("5A37000315 0001")));
    EXPECT_EQ(IsCommMode_Qncan, 0);
    // kind byte 0 is no kind a host serves: return code 1 (5A 37 00 03 00
    // 00 01, CRC), and the channel takes the next question
    Send(Framed(Hex("5A37000100")));
    EXPECT_EQ(Poll(), 0u);
    EXPECT_EQ(Take(sv[1], 9), Framed(Hex("5A37000300 0001")));
    Send(Hex("5A37000315000102 35"));
    EXPECT_EQ(Poll(), 0u);
    EXPECT_EQ(Take(sv[1], 9), Hex("5A37000315 0000C2F4"));
    // Modbus RTU read holding registers: complete after the 6- and 7-byte tries
    Bytes rtu = Hex("010300000002");
    const uint16_t crc = Z7CS_Crc16(rtu.data(), 6);
    rtu.push_back(uint8_t(crc));
    rtu.push_back(uint8_t(crc >> 8));
    Send(rtu);
    uint32_t ch = 0;
    EXPECT_EQ(Poll(&ch), 16u);
    EXPECT_EQ(ch, 1u);
    EXPECT_EQ(std::memcmp(Z7CS_GetRequestFrame(&cs, 1), rtu.data(), 8), 0);
    Z7CS_ReleaseQuestion(&cs, 1);
    // a size of 1025 is traced and dropped
    testing::internal::CaptureStdout();
    Send(Hex("5A370401"));
    Poll();
    EXPECT_NE(testing::internal::GetCapturedStdout().find("Invalid frame size - endianness maybe incorrect"),
              std::string::npos);
    // the controller's own frame start gives the port back
    Send(Hex("48520000"));
    Poll();
    EXPECT_EQ(IsCommMode_Qncan, 1);
    EXPECT_FALSE(Z7Serial_IsValid(cs.ch[0].serial));
}

// Modbus RTU requests of variable length are found by their CRC tries:
// functions 15 and 16 after 8 bytes at byte 6 + 9, function 43 at 7 bytes.
// With a time stamp, a partial frame older than 500 ms is dropped: exactly
// 500 ms keeps it.
TEST_F(Serial, RtuLengthsAndTheInterByteTimeOut) {
    auto rtu = [](const char *h) {
        Bytes b = Hex(h);
        const uint16_t crc = Z7CS_Crc16(b.data(), uint32_t(b.size()));
        b.push_back(uint8_t(crc));
        b.push_back(uint8_t(crc >> 8));
        return b;
    };
    for (const char *req : {"01 0F 00 00 00 0A 02 FF 03", "01 10 00 00 00 02 04 12 34 56 78", "01 2B 0E 01 00"}) {
        SCOPED_TRACE(req);
        const Bytes b = rtu(req);
        Send(b);
        uint32_t ch = 0;
        ASSERT_EQ(Poll(&ch), 16u);
        EXPECT_EQ(Z7CS_GetRequestLength(&cs, 1), b.size());
        EXPECT_EQ(Bytes(Z7CS_GetRequestFrame(&cs, 1), Z7CS_GetRequestFrame(&cs, 1) + b.size()), b);
        Z7CS_ReleaseQuestion(&cs, 1);
    }
    const Bytes k21 = Hex("5A37000315000102 35");
    auto stamped = [&](uint32_t ms) {
        uint32_t kind = 0, ch = 0;
        for (int i = 0; i < 8 && kind == 0; i++) {
            Z7CS_ActivateStamp(&cs, ms);
            kind = Z7CS_GetQuestion(&cs, &ch);
        }
        return kind;
    };
    // the answer goes out a byte at a time: polls at ms until it is whole
    auto answer = [&](uint32_t ms) {
        Bytes a;
        for (int i = 0; i < 5000 && a.size() < 9; i++) {
            Z7CS_ActivateStamp(&cs, ms);
            const Bytes got = Take(sv[1], 9 - a.size(), 0);
            a.insert(a.end(), got.begin(), got.end());
        }
        return a;
    };
    // exactly 500 ms between the pieces: one frame, answered
    // (a header of four bytes is read whole: the first piece holds five)
    Send(Bytes(k21.begin(), k21.begin() + 5));
    EXPECT_EQ(stamped(1000), 0u);
    Send(Bytes(k21.begin() + 5, k21.end()));
    EXPECT_EQ(stamped(1500), 0u);
    EXPECT_EQ(answer(1500), Hex("5A37000315 0000C2F4"));
    // 501 ms: the first piece is dropped, the whole frame behind it answered
    Send(Bytes(k21.begin(), k21.begin() + 5));
    EXPECT_EQ(stamped(2000), 0u);
    EXPECT_EQ(stamped(2501), 0u);
    Send(k21);
    EXPECT_EQ(stamped(2502), 0u);
    EXPECT_EQ(answer(2502), Hex("5A37000315 0000C2F4"));
    // A receiver restart leaves an answer still going out alone. The port
    // is kept full so that the answer waits; meanwhile bytes of an unknown
    // function code (0x63) come, or a partial frame times out. Once the
    // port drains, the whole answer leaves.
    auto fill = [&] {
        const uint8_t junk[256] = {};
        while (write(sv[0], junk, sizeof junk) > 0) {
        }
        while (write(sv[0], junk, 1) > 0) {
        }
    };
    auto drain = [&] {
        uint8_t buf[4096];
        while (read(sv[1], buf, sizeof buf) > 0) {
        }
    };
    fill();
    Send(k21);
    EXPECT_EQ(stamped(3000), 0u);
    Z7CS_ActivateStamp(&cs, 3000);
    Send(Hex("01 63 00 00"));
    Z7CS_ActivateStamp(&cs, 3000);
    drain();
    EXPECT_EQ(answer(3000), Hex("5A37000315 0000C2F4"));
    fill();
    Send(k21);
    EXPECT_EQ(stamped(4000), 0u);
    Send(Bytes(k21.begin(), k21.begin() + 5));
    Z7CS_ActivateStamp(&cs, 4000);
    Z7CS_ActivateStamp(&cs, 4501);
    drain();
    EXPECT_EQ(answer(4501), Hex("5A37000315 0000C2F4"));
}

TEST_F(Serial, FileTransferReadsWritesAndStaysInTheFolder) {
    Bytes data(2000);
    for (size_t i = 0; i < data.size(); i++) data[i] = uint8_t(i * 13 + 1);
    {
        std::ofstream f(root / "mnt/cfg/data.bin", std::ios::binary);
        f.write(reinterpret_cast<const char *>(data.data()), std::streamsize(data.size()));
    }
    Bytes name{'d', 'a', 't', 'a', '.', 'b', 'i', 'n', 0};
    Bytes a = Ft(4, name);
    ASSERT_EQ(a.size(), 12u);
    EXPECT_EQ(a[6], 0);
    EXPECT_EQ(BE_Get32(&a[8]), 2000u);
    for (uint32_t want : {800u, 800u, 400u, 0u}) {
        a = Ft(5, {});
        ASSERT_GE(a.size(), 10u);
        EXPECT_EQ(BE_Get16(&a[8]), want);
        EXPECT_EQ(a.size(), 10u + want);
    }
    a = Ft(3, {});
    ASSERT_EQ(a.size(), 12u);
    EXPECT_EQ(BE_Get32(&a[8]), Z7CS_Crc32(0xFFFFFFFF, data.data(), 2000));
    EXPECT_EQ(Ft(3, {})[6], 4);  // no file open
    // write: a length beyond the frame is refused with status 3
    Bytes open{0, 0, 0, 0, 'o', 'u', 't', '.', 'b', 'i', 'n', 0};
    EXPECT_EQ(Ft(1, open)[6], 0);
    EXPECT_EQ(Ft(2, {0, 3, 'a', 'b', 'c'})[6], 0);
    EXPECT_EQ(Ft(2, {0, 200, 'x'})[6], 3);
    a = Ft(6, {});
    EXPECT_EQ(BE_Get32(&a[8]), Z7CS_Crc32(0xFFFFFFFF, reinterpret_cast<const uint8_t *>("abc"), 3));
    std::ifstream f(root / "mnt/cfg/out.bin", std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(f), {}), "abc");
    // names that climb keep only their last element, under the runtime folder
    char path[256];
    ASSERT_NE(_GetFullPath("/x/../../etc/passwd", path), nullptr);
    EXPECT_STREQ(path, "/mnt/cfg/passwd");
    ASSERT_NE(_GetFullPath("..\\..\\z7.reg", path), nullptr);
    EXPECT_STREQ(path, "/mnt/cfg/z7.reg");
    EXPECT_EQ(_GetFullPath("a/..", path), nullptr);
    EXPECT_EQ(Ft(7, {})[6], 8);
    EXPECT_EQ(Ft(42, {})[6], 1);
    // a name that does not end inside the frame is refused
    EXPECT_EQ(Ft(4, {'x', 'y'})[6], 5);
}

// A socket channel reads all of a frame that is waiting in one pass: start,
// MBAP length and rest for Modbus TCP, start and rest for the runtime's own
// frames; a frame still coming in pieces is a question once it is whole.
TEST(SocketChannel, WholeFramesAreQuestionsInOnePass) {
    static Z7CSData cs{};
    const uint16_t port = test_support::LoopbackFreePort();
    const Z7CSSettings s{port, 0, nullptr};
    Z7CS_Open(&cs, &s, 0);
    ASSERT_GE(cs.listen, 0);
    const int cl = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(test_support::LoopbackConnect(cl, port), 0);
    for (int i = 0; i < 1000 && cs.ch[0].sock < 0; i++) Z7CS_Activate(&cs);
    ASSERT_GE(cs.ch[0].sock, 0);
    auto arrive = [&](const Bytes &b) {
        ASSERT_EQ(write(cl, b.data(), b.size()), ssize_t(b.size()));
        int waiting = 0;
        for (int i = 0; i < 1000 && waiting < int(b.size()); i++) {
            pollfd p{cs.ch[0].sock, POLLIN, 10};
            poll(&p, 1, 10);
            ioctl(cs.ch[0].sock, FIONREAD, &waiting);
        }
        ASSERT_GE(waiting, int(b.size()));
    };
    uint32_t ch = 0;
    struct Case {
        const char *what, *frame;
        uint32_t kind;
    };
    const Case cases[] = {
        {"Modbus TCP, FC3", "00 01 00 00 00 06 07 03 00 00 00 01", 17},
        {"the runtime's frame, kind 2", "5A 37 00 02 02 00", 2},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.what);
        const Bytes f = Hex(k.frame);
        arrive(f);
        Z7CS_Activate(&cs);
        EXPECT_EQ(Z7CS_GetQuestion(&cs, &ch), k.kind);
        EXPECT_EQ(Z7CS_GetRequestLength(&cs, ch), f.size());
        Z7CS_ReleaseQuestion(&cs, ch);
    }
    // in pieces: the start and length only, then the rest
    const Bytes f = Hex("00 02 00 00 00 06 07 03 00 00 00 01");
    arrive(Bytes(f.begin(), f.begin() + 6));
    Z7CS_Activate(&cs);
    EXPECT_EQ(Z7CS_GetQuestion(&cs, &ch), 0u);
    arrive(Bytes(f.begin() + 6, f.end()));
    Z7CS_Activate(&cs);
    EXPECT_EQ(Z7CS_GetQuestion(&cs, &ch), 17u);
    EXPECT_EQ(std::memcmp(Z7CS_GetRequestFrame(&cs, ch), f.data(), f.size()), 0);
    Z7CS_ReleaseQuestion(&cs, ch);
    // A slave block's channel (Modbus only) reads what is waiting at once:
    // a header that is not MBAP is dropped, and the requests that came with
    // it are questions in turn, the later ones without new input.
    cs.plain = true;
    const Bytes g = Hex("00 03 00 00 00 06 07 03 00 01 00 02"), h = Hex("00 04 00 00 00 06 07 04 00 02 00 03");
    Bytes three = Hex("00 09 00 07");
    three.insert(three.end(), g.begin(), g.end());
    three.insert(three.end(), h.begin(), h.end());
    arrive(three);
    for (const Bytes *want : {&g, &h}) {
        Z7CS_Activate(&cs);
        ASSERT_EQ(Z7CS_GetQuestion(&cs, &ch), 17u);
        ASSERT_EQ(Z7CS_GetRequestLength(&cs, ch), want->size());
        EXPECT_EQ(Bytes(Z7CS_GetRequestFrame(&cs, ch), Z7CS_GetRequestFrame(&cs, ch) + want->size()), *want);
        Z7CS_ReleaseQuestion(&cs, ch);
    }
    Z7CS_Activate(&cs);
    EXPECT_EQ(Z7CS_GetQuestion(&cs, &ch), 0u);
    // in pieces as before
    arrive(Bytes(g.begin(), g.begin() + 5));
    Z7CS_Activate(&cs);
    EXPECT_EQ(Z7CS_GetQuestion(&cs, &ch), 0u);
    arrive(Bytes(g.begin() + 5, g.end()));
    Z7CS_Activate(&cs);
    ASSERT_EQ(Z7CS_GetQuestion(&cs, &ch), 17u);
    EXPECT_EQ(Bytes(Z7CS_GetRequestFrame(&cs, ch), Z7CS_GetRequestFrame(&cs, ch) + g.size()), g);
    Z7CS_ReleaseQuestion(&cs, ch);
    // Nor does it serve the workbench's own kinds: a file-transfer question
    // (kind 19, sub-command 7) and a kind-21 question are handed out like
    // any other kind for the owner to release, and nothing is answered.
    for (const char *k : {"5A 37 00 02 13 07", "5A 37 00 03 15 00 01"}) {
        SCOPED_TRACE(k);
        const Bytes q = Hex(k);
        arrive(q);
        Z7CS_Activate(&cs);
        EXPECT_EQ(Z7CS_GetQuestion(&cs, &ch), uint32_t(q[4]));
        EXPECT_EQ(cs.ch[0].flags & (Z7CH_PENDING | Z7CH_PARTIAL), 0);
        EXPECT_EQ(cs.ch[0].answer_len, 0u);
        Z7CS_ReleaseQuestion(&cs, ch);
    }
    cs.plain = false;
    // silence: the first check stamps it, a stamp older than the time-out
    // (across midnight) closes the channel
    EXPECT_EQ(Z7CS_GetNbHostTCP(&cs), 1u);
    Z7CSSock_CheckSilentSocketsEx(&cs, 86399000, 10000);
    Z7CSSock_CheckSilentSocketsEx(&cs, 9000, 10000);
    EXPECT_EQ(Z7CS_GetNbHostTCP(&cs), 1u);
    Z7CSSock_CheckSilentSocketsEx(&cs, 9001, 10000);
    EXPECT_EQ(Z7CS_GetNbHostTCP(&cs), 0u);
    // the short forms take 10,000 ms
    const int cl2 = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(test_support::LoopbackConnect(cl2, port), 0);
    for (int i = 0; i < 1000 && cs.ch[0].sock < 0; i++) Z7CS_Activate(&cs);
    ASSERT_GE(cs.ch[0].sock, 0);
    Z7CS_CheckSilentSockets(&cs, 500);
    Z7CSSock_CheckSilentSockets(&cs, 10500);
    EXPECT_EQ(Z7CS_GetNbHostTCP(&cs), 1u);
    Z7CS_CheckSilentSockets(&cs, 10501);
    EXPECT_EQ(Z7CS_GetNbHostTCP(&cs), 0u);
    EXPECT_EQ(Z7CS_GetTaskNo(&cs), 1u);
    EXPECT_EQ(cs.accepted, &Z7CS_DefaultCallback);
    close(cl2);
    close(cl);
    Z7CS_Close(&cs);
}

// Three busy connections: an answer leaves in the pass that served its
// question (no further poll), and a channel whose peer asks again at once
// does not keep the later channels waiting: questions are given out in turn.
TEST(SocketChannel, AnswersLeaveAtOnceAndQuestionsGoOutInChannelOrder) {
    static Z7CSData cs{};
    const uint16_t port = test_support::LoopbackFreePort();
    const Z7CSSettings s{port, 0, nullptr};
    Z7CS_Open(&cs, &s, 0);
    ASSERT_GE(cs.listen, 0);
    int cl[3];
    for (int &c : cl) {
        int rc = -1;
        c = test_support::LoopbackDial(port, &rc);
        ASSERT_EQ(rc, 0);
    }
    for (int i = 0; i < 1000 && cs.ch[2].sock < 0; i++) {
        Z7CS_Activate(&cs);
        usleep(100);
    }
    ASSERT_GE(cs.ch[2].sock, 0);
    // The request of client k (transaction id 0x0k0n) is waiting at the server.
    auto ask = [&](int k, uint8_t n) {
        const Bytes q{uint8_t(k + 1), n, 0, 0, 0, 6, 7, 3, 0, 0, 0, 1};
        ASSERT_EQ(write(cl[k], q.data(), q.size()), ssize_t(q.size()));
        int waiting = 0;
        for (int i = 0; i < 1000 && waiting < int(q.size()); i++) {
            pollfd p{cs.ch[size_t(k)].sock, POLLIN, 0};
            poll(&p, 1, 10);
            ioctl(cs.ch[size_t(k)].sock, FIONREAD, &waiting);
        }
        ASSERT_GE(waiting, int(q.size()));
    };
    for (int k = 0; k < 3; k++) ask(k, 1);
    // pass by pass: the channel given out and the transaction id it holds;
    // the first channel holding a question goes first
    const struct {
        uint32_t ch;
        uint8_t tid[2];
    } turns[] = {{1, {1, 1}}, {1, {1, 2}}, {2, {2, 1}}, {2, {2, 2}}, {3, {3, 1}}};
    uint8_t asked[3] = {1, 1, 1};
    for (const auto &t : turns) {
        SCOPED_TRACE(testing::Message() << "channel " << t.ch << " id " << int(t.tid[0]) << "." << int(t.tid[1]));
        Z7CS_Activate(&cs);
        uint32_t ch = 0;
        ASSERT_EQ(Z7CS_GetQuestion(&cs, &ch), 17u);
        ASSERT_EQ(ch, t.ch);
        const uint8_t *q = Z7CS_GetRequestFrame(&cs, ch);
        ASSERT_NE(q, nullptr);
        EXPECT_EQ(q[0], t.tid[0]);
        EXPECT_EQ(q[1], t.tid[1]);
        uint8_t *a = Z7CS_GetAnswerFrameBuffer(&cs, ch);
        ASSERT_NE(a, nullptr);
        const Bytes ans{q[0], q[1], 0, 0, 0, 5, 7, 3, 2, 0x24, 0x68};
        std::memcpy(a, ans.data(), ans.size());
        Z7CS_SendAnswerFrame(&cs, ch, uint32_t(ans.size()));
        Z7CS_ReleaseQuestion(&cs, ch);
        // no poll of the server between the answer and the peer's read
        EXPECT_EQ(Take(cl[ch - 1], ans.size()), ans);
        // the peer asks again at once (channel 1 and 2 twice in the table)
        const int k = int(ch - 1);
        if (++asked[k] <= 2) ask(k, asked[k]);
    }
    for (int c : cl) close(c);
    Z7CS_Close(&cs);
}

// A peer that asks again before it read the last answer, which is still
// going out: its new question waits until that answer is gone, and is then
// answered (an answer queued while the last one is still being sent would be
// dropped, and the peer would wait for it forever).
TEST(SocketChannel, AQuestionWaitsWhileItsChannelsLastAnswerIsStillGoingOut) {
    static Z7CSData cs{};
    const uint16_t port = test_support::LoopbackFreePort();
    const Z7CSSettings s{port, 0, nullptr};
    Z7CS_Open(&cs, &s, 0);
    ASSERT_GE(cs.listen, 0);
    int rc = -1;
    const int cl = test_support::LoopbackDial(port, &rc);
    ASSERT_EQ(rc, 0);
    for (int i = 0; i < 1000 && cs.ch[0].sock < 0; i++) {
        Z7CS_Activate(&cs);
        usleep(100);
    }
    ASSERT_GE(cs.ch[0].sock, 0);
    const int small = 4096;
    setsockopt(cs.ch[0].sock, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    setsockopt(cl, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    // Modbus TCP: read one holding register, transaction id 0x00nn
    auto ask = [&](uint8_t n) {
        const Bytes q{0, n, 0, 0, 0, 6, 7, 3, 0, 0, 0, 1};
        ASSERT_EQ(write(cl, q.data(), q.size()), ssize_t(q.size()));
    };
    auto question = [&] {
        uint32_t ch = 0, kind = 0;
        for (int i = 0; i < 200 && kind == 0; i++) {
            Z7CS_Activate(&cs);
            kind = Z7CS_GetQuestion(&cs, &ch);
            if (kind == 0) usleep(1000);
        }
        return kind;
    };
    // answers of 1,000 bytes the peer does not read, until one is left partly sent
    size_t sent = 0;
    for (uint8_t n = 1; n < 200 && !(cs.ch[0].flags & Z7CH_PARTIAL); n++) {
        ask(n);
        ASSERT_EQ(question(), 17u);
        uint8_t *a = Z7CS_GetAnswerFrameBuffer(&cs, 1);
        ASSERT_NE(a, nullptr);
        std::memset(a, n, 1000);
        Z7CS_SendAnswerFrame(&cs, 1, 1000);
        Z7CS_ReleaseQuestion(&cs, 1);
        sent += 1000;
    }
    ASSERT_TRUE(cs.ch[0].flags & Z7CH_PARTIAL);
    ask(0xEE);
    int waiting = 0;
    for (int i = 0; i < 1000 && waiting < 12; i++) {
        pollfd p{cs.ch[0].sock, POLLIN, 0};
        poll(&p, 1, 10);
        ioctl(cs.ch[0].sock, FIONREAD, &waiting);
    }
    ASSERT_GE(waiting, 12);
    for (int i = 0; i < 3; i++) {
        Z7CS_Activate(&cs);
        ASSERT_TRUE(cs.ch[0].flags & Z7CH_QUESTION);  // it came, and it waits
        uint32_t ch = 0;
        EXPECT_EQ(Z7CS_GetQuestion(&cs, &ch), 0u);
    }
    // the peer reads everything so far: the question is given out and answered
    Bytes got;
    for (int i = 0; i < 5000 && got.size() < sent; i++) {
        Z7CS_Activate(&cs);
        const Bytes b = Take(cl, sent - got.size(), 1);
        got.insert(got.end(), b.begin(), b.end());
    }
    ASSERT_EQ(got.size(), sent);
    ASSERT_EQ(question(), 17u);
    EXPECT_EQ(Z7CS_GetRequestFrame(&cs, 1)[1], 0xEE);
    uint8_t *a = Z7CS_GetAnswerFrameBuffer(&cs, 1);
    ASSERT_NE(a, nullptr);
    const Bytes ans{0, 0xEE, 0, 0, 0, 5, 7, 3, 2, 0x12, 0x34};
    std::memcpy(a, ans.data(), ans.size());
    Z7CS_SendAnswerFrame(&cs, 1, uint32_t(ans.size()));
    Z7CS_ReleaseQuestion(&cs, 1);
    EXPECT_EQ(Take(cl, ans.size(), 2000), ans);
    close(cl);
    Z7CS_Close(&cs);
}

// The serial link handed over while a workbench on TCP holds channel 1: the
// connection moves to a free channel and both links are served, the serial
// one as channel 1. The kind-21 question on the serial link is answered
// there; the TCP workbench's question keeps its connection.
TEST(SocketChannel, ASerialHandOverWhileATcpWorkbenchHoldsChannelOneServesBoth) {
    static Z7CSData cs{};
    const uint16_t port = test_support::LoopbackFreePort();
    const Z7CSSettings s{port, 0, nullptr};
    Z7CS_Open(&cs, &s, 0);
    ASSERT_GE(cs.listen, 0);
    int rc = -1;
    const int cl = test_support::LoopbackDial(port, &rc);
    ASSERT_EQ(rc, 0);
    for (int i = 0; i < 1000 && cs.ch[0].sock < 0; i++) {
        Z7CS_Activate(&cs);
        usleep(100);
    }
    ASSERT_GE(cs.ch[0].sock, 0);
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv), 0);
    Vcomm_Port[ProgrammingPort].fd = sv[0];
    Z7CSSer_Open(&cs, "DUMMY");
    EXPECT_EQ(cs.ch[0].flags, Z7CH_SERIAL | Z7CH_USED);
    EXPECT_EQ(cs.ch[1].flags, Z7CH_SOCKET | Z7CH_USED);
    EXPECT_EQ(cs.ch[1].number, 2u);
    EXPECT_EQ(Z7CS_GetNbHostTCP(&cs), 1u);
    // serial kind 21, value 1: answered 0 on the serial link
    const Bytes q = Hex("5A37000315000102 35");
    ASSERT_EQ(write(sv[1], q.data(), q.size()), ssize_t(q.size()));
    Bytes a;
    for (int i = 0; i < 5000 && a.size() < 9; i++) {
        Z7CS_Activate(&cs);
        uint32_t ch = 0;
        EXPECT_EQ(Z7CS_GetQuestion(&cs, &ch), 0u);
        const Bytes got = Take(sv[1], 9 - a.size(), 0);
        a.insert(a.end(), got.begin(), got.end());
    }
    EXPECT_EQ(a, Hex("5A37000315 0000C2F4"));
    // the TCP workbench's download piece arrives on channel 2 and is answered there
    const Bytes f = Hex("5A37000302 0000");
    ASSERT_EQ(write(cl, f.data(), f.size()), ssize_t(f.size()));
    uint32_t ch = 0, kind = 0;
    for (int i = 0; i < 1000 && kind == 0; i++) {
        Z7CS_Activate(&cs);
        kind = Z7CS_GetQuestion(&cs, &ch);
        if (kind == 0) usleep(1000);
    }
    EXPECT_EQ(kind, 2u);
    EXPECT_EQ(ch, 2u);
    Z7CS_SendRC(&cs, ch, 0x0102);
    Z7CS_ReleaseQuestion(&cs, ch);
    Z7CS_Activate(&cs);
    EXPECT_EQ(Take(cl, 7, 2000), Hex("5A37000302 0102"));
    Z7CS_Close(&cs);
    Vcomm_Port[ProgrammingPort].fd = -1;
    close(sv[0]);
    close(sv[1]);
    close(cl);
}

// The runtime's socket calls: a handle past the select() limit of 1,024 is
// read and written like any other; a handle that is not open reports the
// socket closed; sends on a connecting socket wait for the connection.
TEST(SocketLayer, AnyDescriptorClosedHandlesAndPendingConnects) {
    rlimit lim{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &lim), 0);
    const rlimit old = lim;
    if (lim.rlim_max != RLIM_INFINITY && lim.rlim_max < 1100) GTEST_SKIP() << "no descriptors past 1,024 here";
    lim.rlim_cur = 1100;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lim), 0);
    uint16_t port = 0;
    const int lfd = test_support::LoopbackBind(&port);
    ASSERT_NE(port, 0);
    Z7SocketHandle h = -1;
    bool pending = false;
    ASSERT_TRUE(Z7Socket_CreateConnectedSocket("127.0.0.1", port, &h, &pending, 0));
    ASSERT_GE(h, 0);
    const int peer = accept(lfd, nullptr, nullptr);
    ASSERT_GE(peer, 0);
    bool closed = true;
    Z7Connect up = Z7Connect::kBroken;
    for (int i = 0; i < 1000 && (up = Z7Socket_CheckPendingConnect(h)) == Z7Connect::kPending; i++) usleep(1000);
    EXPECT_EQ(up, Z7Connect::kUp);
    // the connected socket moved to descriptor 1,050
    ASSERT_EQ(dup2(h, 1050), 1050);
    close(h);
    const Z7SocketHandle big = 1050;
    const uint8_t out[] = {0x00, 0x07, 0x00, 0x00, 0x00, 0x06, 0x01, 0x03, 0x00, 0x64, 0x00, 0x02};
    EXPECT_EQ(Z7Socket_Send(big, sizeof out, out, &closed), int32_t(sizeof out));
    EXPECT_FALSE(closed);
    EXPECT_EQ(Take(peer, sizeof out), Bytes(out, out + sizeof out));
    uint8_t in[16] = {};
    EXPECT_EQ(Z7Socket_Receive(big, sizeof in, in, &closed), 0);  // nothing waits
    EXPECT_FALSE(closed);
    const uint8_t back[] = {0x00, 0x07, 0x00, 0x00, 0x00, 0x07, 0x01, 0x03, 0x04, 0x12, 0x34, 0xFF, 0xFE};
    ASSERT_EQ(write(peer, back, sizeof back), ssize_t(sizeof back));
    int32_t got = 0;
    for (int i = 0; i < 1000 && got == 0; i++) {
        pollfd p{big, POLLIN, 0};
        poll(&p, 1, 10);
        got = Z7Socket_Receive(big, sizeof in, in, &closed);
    }
    ASSERT_EQ(got, int32_t(sizeof back));
    EXPECT_EQ(Bytes(in, in + got), Bytes(back, back + sizeof back));
    // the peer goes: closed; a handle that is not open: closed too
    close(peer);
    got = 1;
    closed = false;
    for (int i = 0; i < 1000 && !closed; i++) {
        pollfd p{big, POLLIN, 0};
        poll(&p, 1, 10);
        got = Z7Socket_Receive(big, sizeof in, in, &closed);
    }
    EXPECT_TRUE(closed);
    EXPECT_EQ(got, 0);
    Z7Socket_CloseSocket(big);
    closed = false;
    EXPECT_EQ(Z7Socket_Receive(big, sizeof in, in, &closed), 0);
    EXPECT_TRUE(closed);

    // a connect to a port nobody listens on: the send waits (0, not closed)
    // while it is under way, then reports the socket closed
    close(lfd);
    Z7SocketHandle r = -1;
    if (Z7Socket_CreateConnectedSocket("127.0.0.1", port, &r, &pending, 0)) {
        closed = false;
        int32_t sent = 0;
        for (int i = 0; i < 1000 && !closed; i++) {
            sent += Z7Socket_Send(r, sizeof out, out, &closed);
            if (!closed) usleep(1000);
        }
        EXPECT_TRUE(closed);
        EXPECT_EQ(sent, 0);
        Z7Socket_CloseSocket(r);
    }
    setrlimit(RLIMIT_NOFILE, &old);
}

// Each answer of the socket calls both ways: a listener on a port another
// socket holds is refused and has none, on a free port it is made; a connect
// ends up; a handle that is not open is broken; datagram sockets and sends.
TEST(SocketLayer, CreationAndConnectAnswers) {
    uint16_t port = 0;
    const int lfd = test_support::LoopbackBind(&port);
    ASSERT_NE(port, 0);
    Z7SocketHandle l = 7;
    EXPECT_FALSE(Z7Socket_CreateListeningSocketOn(port, 4, "127.0.0.1", &l));
    EXPECT_EQ(l, -1);
    EXPECT_FALSE(Z7Socket_CreateListeningSocketOn(port, 4, "no address", &l));
    EXPECT_EQ(l, -1);
    close(lfd);
    ASSERT_TRUE(Z7Socket_CreateListeningSocketOn(port, 4, "127.0.0.1", &l));
    ASSERT_GE(l, 0);

    Z7SocketHandle c = -1;
    bool pending = true;
    EXPECT_FALSE(Z7Socket_CreateConnectedSocket("no address", port, &c, &pending, 0));
    EXPECT_EQ(c, -1);
    EXPECT_FALSE(pending);
    ASSERT_TRUE(Z7Socket_CreateConnectedSocket("127.0.0.1", port, &c, &pending, 0));
    ASSERT_GE(c, 0);
    Z7Connect st = Z7Connect::kPending;
    for (int i = 0; i < 5000 && (st = Z7Socket_CheckPendingConnect(c)) == Z7Connect::kPending; i++) usleep(1000);
    EXPECT_EQ(st, Z7Connect::kUp);
    EXPECT_EQ(Z7Socket_CheckPendingConnect(-1), Z7Connect::kBroken);
    const int gone = dup(c);
    close(gone);
    EXPECT_EQ(Z7Socket_CheckPendingConnect(gone), Z7Connect::kBroken);
    Z7Socket_CloseSocket(c);
    Z7Socket_CloseSocket(l);

    uint16_t uport = 0;
    const int peer = test_support::LoopbackBind(&uport, SOCK_DGRAM);
    Z7SocketHandle u = 7;
    EXPECT_FALSE(Z7Socket_UdpCreateOn(0, "no address", &u));
    EXPECT_EQ(u, -1);
    EXPECT_FALSE(Z7Socket_AcceptBroadcast(-1));
    ASSERT_TRUE(Z7Socket_UdpCreate(0, &u));
    ASSERT_GE(u, 0);
    EXPECT_TRUE(Z7Socket_AcceptBroadcast(u));
    uint8_t to[16];
    const std::string where = "127.0.0.1:" + std::to_string(uport);
    Z7Socket_UdpAddrMake(to, where.c_str(), 1);
    const uint8_t data[3] = {0x11, 0x22, 0x33};
    EXPECT_FALSE(Z7Socket_UdpSendTo(-1, to, data, sizeof data));
    EXPECT_TRUE(Z7Socket_UdpSendTo(u, to, data, sizeof data));
    pollfd pf{peer, POLLIN, 0};
    ASSERT_EQ(poll(&pf, 1, 5000), 1);
    uint8_t got[8] = {};
    EXPECT_EQ(recv(peer, got, sizeof got, 0), 3);
    EXPECT_EQ(std::vector<uint8_t>(got, got + 3), std::vector<uint8_t>({0x11, 0x22, 0x33}));
    close(peer);
    Z7Socket_CloseSocket(u);
    // Descriptor 0 free (a controller started with standard input closed):
    // no socket is handed out on it, since a handle of 0 is never closed
    // (records that start zeroed hold 0 for "no socket"). Each kind of
    // socket made while 0 is free lands elsewhere, and 0 stays free.
    const int saved = dup(0);
    ASSERT_GE(saved, 0);
    close(0);
    Z7SocketHandle made[2] = {-1, -1};
    EXPECT_TRUE(Z7Socket_UdpCreate(0, &made[0]));
    EXPECT_TRUE(Z7Socket_CreateListeningSocket(0, 1, &made[1], 0));
    const int zero_taken = fcntl(0, F_GETFD);
    for (const Z7SocketHandle m : made) EXPECT_NE(m, 0);
    EXPECT_EQ(zero_taken, -1) << "descriptor 0 left free";
    for (const Z7SocketHandle m : made) Z7Socket_CloseSocket(m);
    ASSERT_EQ(dup2(saved, 0), 0);
    close(saved);
}

// Datagram addresses from text: the port behind a colon, honoured only in a
// text shorter than 64 characters; 16 bytes {family, port, address, zeros}.
TEST(SocketLayer, UdpAddressTextsAndTheirPortSuffix) {
    uint8_t a[16];
    Z7Socket_UdpAddrMake(a, "192.168.1.20:1200", 502);
    EXPECT_EQ(Bytes(a + 2, a + 16), Hex("04b0c0a80114"
                                        "0000000000000000"));
    EXPECT_EQ(LE_Get16(a), AF_INET);
    Z7Socket_UdpAddrMake(a, "10.0.0.7", 502);
    EXPECT_EQ(Bytes(a + 2, a + 16), Hex("01f60a000007"
                                        "0000000000000000"));
    // 64 characters with a colon: the default port, the whole text refused
    // by inet_addr (all ones)
    const std::string longer = "10.0.0.7:1200" + std::string(51, ' ');
    ASSERT_EQ(longer.size(), 64u);
    Z7Socket_UdpAddrMake(a, longer.c_str(), 502);
    EXPECT_EQ(Bytes(a + 2, a + 16), Hex("01f6ffffffff"
                                        "0000000000000000"));
    // 63 characters: the suffix counts
    Z7Socket_UdpAddrMake(a, longer.substr(0, 63).c_str(), 502);
    EXPECT_EQ(Bytes(a + 2, a + 8), Hex("04b00a000007"));
}

// ---- event server ---------------------------------------------------------------------------

class Events : public ::testing::Test {
protected:
    std::vector<uint8_t> mem;
    Z7EvsSettings s{};
    uint16_t port = 0;
    std::vector<int> fds;

    void SetUp() override {
        s.capacity = {1024, 0, 8000, 16000};
        s.port = 0;  // any free port
        mem.resize(Z7Evs_GetMemorySize(&s));
        ASSERT_EQ(Z7Evs_Open(mem.data(), &s), 0u);
        sockaddr_in a{};
        socklen_t al = sizeof a;
        getsockname(reinterpret_cast<Z7EvsData *>(mem.data())->listen, reinterpret_cast<sockaddr *>(&a), &al);
        port = ntohs(a.sin_port);
    }
    void TearDown() override {
        Z7Evs_Close(mem.data());
        for (int fd : fds) close(fd);
    }
    int Connect() {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
        fds.push_back(fd);
        usleep(2000);
        return fd;
    }
    void Step(uint32_t now) { Z7Evs_Activate(mem.data(), now); }
    // One event frame: header and events.
    Bytes Frame(int fd) {
        Bytes h = Take(fd, 4);
        if (h.size() < 4) return h;
        Bytes rest = Take(fd, BE_Get16(&h[2]));
        h.insert(h.end(), rest.begin(), rest.end());
        return h;
    }
    static bool Closed(int fd) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 200) <= 0) return false;
        uint8_t b;
        return read(fd, &b, 1) <= 0;
    }
    static void Ack(int fd, uint8_t flags, uint32_t key = 0, uint32_t max = 0) {
        Bytes a{'Z', '7', 0, 0, 0x12, flags, 0, 0, 0, 0};
        BE_Put32(&a[6], key);
        if (max) {
            a.resize(14);
            BE_Put32(&a[10], max);
        }
        BE_Put16(&a[2], uint16_t(a.size() - 4));
        ASSERT_EQ(write(fd, a.data(), a.size()), ssize_t(a.size()));
        usleep(2000);
    }
};

// The 3 s a client has to acknowledge an idle frame, across the wrap of the
// runtime's millisecond tick (2^32 ms): kept at 3,000 ms, closed at 3,001.
TEST_F(Events, SilenceAcrossTheWrapOfTheMillisecondTick) {
    const int quiet = Connect();
    Step(4294966296u);  // 1,000 ms before the wrap
    ASSERT_EQ(Frame(quiet).size(), 21u);
    Step(1000);
    Step(2000);
    EXPECT_FALSE(Closed(quiet));
    Step(2001);
    EXPECT_TRUE(Closed(quiet));
    EXPECT_EQ(Z7Evs_GetNbClient(mem.data()), 0u);
}

TEST_F(Events, IdleFrameSilenceAcknowledgementsAndLimits) {
    const int quiet = Connect();
    Step(1000);
    const Bytes idle = Frame(quiet);
    ASSERT_EQ(idle.size(), 21u);
    EXPECT_EQ(Bytes(idle.begin(), idle.begin() + 10), Hex("5A37001112010800 0301"));
    EXPECT_EQ(Bytes(idle.end() - 3, idle.end()), Hex("090101"));
    Step(4000);  // exactly 3 s: kept
    EXPECT_FALSE(Closed(quiet));
    Step(4001);
    EXPECT_TRUE(Closed(quiet));
    EXPECT_EQ(Z7Evs_GetNbClient(mem.data()), 0u);

    // a client taking every queue, frames below 100 bytes
    const int c = Connect();
    Step(5000);
    Frame(c);
    Ack(c, 0x0F, 0, 100);
    Step(5001);
    EXPECT_EQ(Z7Evs_GetCnxPrefs(mem.data(), 0), 0x0F);
    for (int i = 0; i < 5; i++) Z7Evs_Trace(mem.data(), "twenty characters...");
    Z7Evs_OnAppStop(mem.data(), "APP");
    Step(5002);
    Bytes f = Frame(c);
    ASSERT_GE(f.size(), 6u);
    EXPECT_LT(f.size(), 100u);
    EXPECT_EQ(f[5], 3);  // 6 + 15 ("APP") + 32 + 32 < 100; a third trace would pass it
    EXPECT_EQ(Bytes(f.begin() + 6, f.begin() + 9), Hex("010603"));
    // not acknowledged in a garbled frame: the same events again
    Bytes junk{'X', 'X', 0, 0};
    ASSERT_EQ(write(c, junk.data(), 4), 4);
    usleep(2000);
    Step(5003);
    Step(5004);
    EXPECT_EQ(Frame(c), f);
    Ack(c, 0x0F, 0, 100);
    Step(5005);
    Step(5006);
    f = Frame(c);
    EXPECT_EQ(f[5], 2);
    EXPECT_EQ(f[6], 8);

    // overflow of queue 4: one queue-lost event, the count drops at the acknowledgement
    Ack(c, 0x0F, 0, 1024);
    Step(5007);
    for (int i = 0; i < 2000; i++) Z7Evs_Trace(mem.data(), "overflowing trace line");
    Step(5008);
    f = Frame(c);
    ASSERT_GE(f.size(), 18u);
    EXPECT_EQ(f[6], 1);
    EXPECT_EQ(f[7], 4);
    auto *d = reinterpret_cast<Z7EvsData *>(mem.data());
    const uint16_t lost = d->client[0]->q[3].lost;
    EXPECT_GT(lost, 0);
    Ack(c, 0x0F, 0, 1024);
    Step(5009);
    EXPECT_EQ(d->client[0]->q[3].lost, 0);

    // an acknowledgement larger than the frame buffer closes the client
    Step(5010);
    Frame(c);
    const Bytes big{'Z', '7', 0x04, 0x01};
    ASSERT_EQ(write(c, big.data(), 4), 4);
    usleep(2000);
    Step(5011);
    EXPECT_TRUE(Closed(c));

    // a ninth connection is closed at once
    for (int i = 0; i < 8; i++) Connect();
    Step(6000);
    const int ninth = Connect();
    Step(6001);
    EXPECT_TRUE(Closed(ninth));
}

// A client asking for no acknowledgements (flag 0x20) has what went out
// removed at once and is never closed for its silence; with flag 0x80 an
// event of sub-code 255 is dropped for it.
TEST_F(Events, NoAcknowledgementClientAndSubCode255Dropped) {
    auto *d = reinterpret_cast<Z7EvsData *>(mem.data());
    const int c = Connect();
    Step(1000);
    ASSERT_EQ(Frame(c).size(), 21u);
    Ack(c, 0xAF);
    Step(1001);
    ASSERT_EQ(Z7Evs_GetCnxPrefs(d, 0), 0xAF);
    Z7Evs_OnAppStart(d, "A");
    EXPECT_EQ(Z7Evs_Event(d, 8, 255, 0, nullptr), 0u);
    EXPECT_EQ(d->client[0]->q[3].used, 0u);
    Step(1002);
    Bytes f = Frame(c);
    ASSERT_EQ(f.size(), 19u);  // 6 + 12 + 1
    EXPECT_EQ(Bytes(f.begin(), f.begin() + 10), Hex("5A37000F1201 01050101"));
    EXPECT_EQ(f[18], 'A');
    EXPECT_EQ(d->client[0]->q[0].used, 0u);  // gone without an acknowledgement
    EXPECT_EQ(d->client[0]->state, 1);
    Z7Evs_Trace(d, "t");
    Step(1003);
    f = Frame(c);
    ASSERT_EQ(f.size(), 19u);
    EXPECT_EQ(Bytes(f.begin(), f.begin() + 10), Hex("5A37000F1201 08010101"));
    EXPECT_EQ(f[18], 't');
    EXPECT_EQ(d->client[0]->q[3].used, 0u);
    // silence: idle frames after 2 s, never a close
    Step(3003);
    EXPECT_TRUE(Frame(c).empty());
    Step(3004);
    EXPECT_EQ(Frame(c).size(), 21u);
    Step(9000);
    EXPECT_EQ(Frame(c).size(), 21u);
    EXPECT_FALSE(Closed(c));
    EXPECT_EQ(Z7Evs_GetNbClient(d), 1u);
}

// With frames below 100 bytes, a trace of 90 characters (12 + 90 bytes)
// never fits: it stays at the head of its queue and holds back the traces
// behind it, while the application queue still goes out and idle frames
// keep the connection.
TEST_F(Events, AnEventTooLargeForTheFrameStaysAtTheHeadOfItsQueue) {
    auto *d = reinterpret_cast<Z7EvsData *>(mem.data());
    const int c = Connect();
    Step(1000);
    ASSERT_EQ(Frame(c).size(), 21u);
    Ack(c, 0x0F, 0, 100);
    Step(1001);
    Z7Evs_Trace(d, std::string(90, 'x').c_str());
    Z7Evs_Trace(d, "t");
    Z7Evs_OnAppStop(d, "AB");
    const uint32_t used = d->client[0]->q[3].used;
    ASSERT_EQ(used, 102u + 13u);
    Step(1002);
    const Bytes f = Frame(c);
    ASSERT_EQ(f.size(), 20u);  // 6 + 12 + 2: the stop event only
    EXPECT_EQ(Bytes(f.begin(), f.begin() + 10), Hex("5A3700101201 01060201"));
    Ack(c, 0x0F, 0, 100);
    Step(1003);
    EXPECT_EQ(d->client[0]->q[0].used, 0u);
    EXPECT_EQ(d->client[0]->q[3].used, used);
    EXPECT_EQ(d->client[0]->q[3].read, 0u);
    Step(3002);
    EXPECT_TRUE(Frame(c).empty());
    Step(3004);  // 2,001 ms after the last frame: an idle frame, not the trace
    const Bytes idle = Frame(c);
    ASSERT_EQ(idle.size(), 21u);
    EXPECT_EQ(Bytes(idle.begin(), idle.begin() + 10), Hex("5A37001112010800 0301"));
    EXPECT_EQ(d->client[0]->q[3].used, used);
}

// Event callbacks: each records its number, what it saw and how much of
// client 1's trace queue was used at that moment (the event not yet queued).
struct Seen {
    int who;
    uint8_t type, sub;
    std::string data;
    uint32_t date, time, queued;
};
std::vector<Seen> seen;
Z7EvsClient *watched = nullptr;
template <int N>
void Cb(uint8_t type, uint8_t sub, uint32_t len, const uint8_t *data, uint32_t date, uint32_t time) {
    seen.push_back({N, type, sub, std::string(reinterpret_cast<const char *>(data), len), date, time,
                    watched ? watched->q[3].used : 0});
}
std::vector<int> Who() {
    std::vector<int> w;
    for (const Seen &s : seen) w.push_back(s.who);
    return w;
}

TEST_F(Events, CallbacksFirstEightSlotsAndRemovalShiftingDown) {
    void *evs = mem.data();
    auto *d = reinterpret_cast<Z7EvsData *>(evs);
    watched = d->client[0];
    seen.clear();
    // eight server slots; a ninth is refused, a null callback too
    const Z7EvsCallback cbs[9] = {Cb<1>, Cb<2>, Cb<3>, Cb<4>, Cb<5>, Cb<6>, Cb<7>, Cb<8>, Cb<9>};
    for (int i = 0; i < 8; i++) EXPECT_EQ(Z7Evs_SetCallback(evs, cbs[i]), 0u) << i;
    EXPECT_EQ(Z7Evs_SetCallback(evs, cbs[8]), 1u);
    EXPECT_EQ(Z7Evs_SetCallback(evs, nullptr), 1u);
    // no client connected: the server's callbacks still see the event
    Z7Evs_Trace(evs, "hello");
    EXPECT_EQ(Who(), (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(seen[0].type, 8);
    EXPECT_EQ(seen[0].sub, 1);
    EXPECT_EQ(seen[0].data, "hello");
    // removing the third moves the later ones down; the freed last slot takes the ninth
    EXPECT_EQ(Z7Evs_RemoveCallback(evs, Cb<3>), 0u);
    EXPECT_EQ(Z7Evs_RemoveCallback(evs, Cb<3>), 1u);
    EXPECT_EQ(Z7Evs_SetCallback(evs, Cb<9>), 0u);
    EXPECT_EQ(Z7Evs_SetCallback(evs, Cb<3>), 1u);
    seen.clear();
    Z7Evs_Trace(evs, "x");
    EXPECT_EQ(Who(), (std::vector<int>{1, 2, 4, 5, 6, 7, 8, 9}));
    for (int n : {1, 2, 4, 5, 6, 7, 8}) EXPECT_EQ(Z7Evs_RemoveCallback(evs, cbs[n - 1]), 0u) << n;
    seen.clear();
    Z7Evs_Trace(evs, "y");
    EXPECT_EQ(Who(), (std::vector<int>{9}));

    // a client taking the trace queue: server callback, then the client's, then the queue
    const int c = Connect();
    Step(1000);
    Frame(c);
    Ack(c, 0x4F);
    Step(1001);
    ASSERT_EQ(Z7Evs_GetCnxPrefs(evs, 0), 0x4F);
    EXPECT_EQ(Z7Evs1_SetCallback(watched, Cb<20>), 0u);
    EXPECT_EQ(Z7Evs1_SetCallback(watched, Cb<21>), 0u);
    seen.clear();
    Z7Evs_Trace(evs, "abc");
    ASSERT_EQ(Who(), (std::vector<int>{9, 20, 21}));
    EXPECT_EQ(seen[0].queued, 0u);  // the server's and the client's callbacks come before the queueing
    EXPECT_EQ(seen[1].queued, 0u);
    EXPECT_EQ(seen[2].queued, 0u);
    EXPECT_EQ(watched->q[3].used, 15u);  // 12 + "abc"
    // the per-client worker: callbacks with the given stamps, also for an event
    // that finds no room (queue 2 holds nothing here: counted lost, 1)
    seen.clear();
    EXPECT_EQ(Z7Evs1_EventDT(watched, 2, 3, 2, reinterpret_cast<const uint8_t *>("zz"), 0x07EA0C08, 4321), 1u);
    EXPECT_EQ(watched->q[1].lost, 1);
    ASSERT_EQ(Who(), (std::vector<int>{20, 21}));
    EXPECT_EQ(seen[0].date, 0x07EA0C08u);
    EXPECT_EQ(seen[0].time, 4321u);
    EXPECT_EQ(seen[0].data, "zz");
    EXPECT_EQ(Z7Evs1_EventDT(watched, 8, 1, 1, reinterpret_cast<const uint8_t *>("q"), 0x07EA0C08, 4321), 0u);
    const uint8_t *rec = watched->q[3].buf + 15;
    EXPECT_EQ(std::vector<uint8_t>(rec, rec + 13),
              (std::vector<uint8_t>{8, 1, 1, 1, 0x08, 0x0C, 0xEA, 0x07, 0xE1, 0x10, 0, 0, 'q'}));
    // stamped with today's date
    seen.clear();
    EXPECT_EQ(Z7Evs1_Event(watched, 8, 1, 0, nullptr), 0u);
    ASSERT_EQ(Who(), (std::vector<int>{20, 21}));
    EXPECT_EQ(seen[0].date, Z7RtClk_GetCurDateStamp());
    // removal from the client's slots; an event for another client reaches no callback here
    EXPECT_EQ(Z7Evs1_RemoveCallback(watched, Cb<20>), 0u);
    EXPECT_EQ(Z7Evs1_RemoveCallback(watched, Cb<20>), 1u);
    seen.clear();
    uint32_t not_sent = 9;
    EXPECT_EQ(Z7Evs_EventTo(evs, 8, 1, 0, nullptr, 0, &not_sent, 1, 2), 0u);
    EXPECT_EQ(not_sent, 0u);
    EXPECT_EQ(Who(), (std::vector<int>{21}));
    seen.clear();
    EXPECT_EQ(Z7Evs_EventTo(evs, 8, 1, 0, nullptr, 1, &not_sent, 1, 2), 1u);
    EXPECT_EQ(not_sent, 1u);
    EXPECT_EQ(Who(), std::vector<int>{});
    watched = nullptr;
}

// An event is stamped with the date and time of one clock reading: the
// clock reads 2026-12-08 23:59:59.999 UTC the first time it is asked and
// 2026-12-09 00:00:00.000 ever after, so a date and a time taken from two
// readings would stamp the event 2026-12-08 00:00:00.000, a day early. The
// same holds for the per-client worker's stamps.
uint32_t midnight_readings = 0;
void MidnightClock(timeval *tv) {
    tv->tv_sec = midnight_readings++ == 0 ? 1796774399 : 1796774400;
    tv->tv_usec = midnight_readings == 1 ? 999000 : 0;
}
TEST_F(Events, StampsOfAnEventFromOneClockReading) {
    void *evs = mem.data();
    auto *d = reinterpret_cast<Z7EvsData *>(evs);
    watched = nullptr;
    seen.clear();
    test_support::FixedIecClock utc;
    ASSERT_EQ(Z7Evs_SetCallback(evs, Cb<1>), 0u);
    midnight_readings = 0;
    Z7Host_Clock = MidnightClock;
    Z7Evs_Trace(evs, "m");
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].date, 0x07EA0C08u);
    EXPECT_EQ(seen[0].time, 86399999u);
    ASSERT_EQ(Z7Evs_RemoveCallback(evs, Cb<1>), 0u);
    ASSERT_EQ(Z7Evs1_SetCallback(d->client[0], Cb<2>), 0u);
    seen.clear();
    midnight_readings = 0;
    EXPECT_EQ(Z7Evs1_Event(d->client[0], 8, 1, 0, nullptr), 0u);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].date, 0x07EA0C08u);
    EXPECT_EQ(seen[0].time, 86399999u);
}

TEST_F(Events, PerClientTextEventsReachThatClientOnly) {
    auto *d = reinterpret_cast<Z7EvsData *>(mem.data());
    const int a = Connect();
    Step(1000);
    const int b = Connect();
    Step(1000);
    Frame(a);
    Frame(b);
    Ack(a, 0x4F);
    Ack(b, 0x4F);
    Step(1001);
    ASSERT_EQ(Z7Evs_GetCnxPrefs(d, 0), 0x4F);
    ASSERT_EQ(Z7Evs_GetCnxPrefs(d, 1), 0x4F);
    Z7EvsClient *first = d->client[0], *second = d->client[1];
    const uint32_t used0 = first->q[0].used, used3 = first->q[3].used;
    // start, stop and change: type 1, sub-codes 5, 6 and 7, the name as data;
    // a record is type, sub-code, length, client number, date, time, data
    Z7Evs1_OnAppStart(first, "app");
    Z7Evs1_OnAppStop(first, "app");
    Z7Evs1_OnAppChange(first, "b");
    ASSERT_EQ(first->q[0].used, used0 + 15 + 15 + 13);
    const uint8_t *r = first->q[0].buf + used0;
    EXPECT_EQ(std::vector<uint8_t>(r, r + 4), (std::vector<uint8_t>{1, 5, 3, 1}));
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(r + 12), 3), "app");
    EXPECT_EQ(std::vector<uint8_t>(r + 15, r + 19), (std::vector<uint8_t>{1, 6, 3, 1}));
    EXPECT_EQ(std::vector<uint8_t>(r + 30, r + 34), (std::vector<uint8_t>{1, 7, 1, 1}));
    EXPECT_EQ(r[42], 'b');
    // trace: type 8, sub-code 1, on the trace queue; a text longer than 255 is cut to 255
    Z7Evs1_Trace(first, "t");
    const std::string long_text(300, 'x');
    EXPECT_EQ(Z7Evs1_TextEvent(first, 8, 2, long_text.c_str()), 0u);
    ASSERT_EQ(first->q[3].used, used3 + 13 + 12 + 255);
    const uint8_t *t = first->q[3].buf + used3;
    EXPECT_EQ(std::vector<uint8_t>(t, t + 4), (std::vector<uint8_t>{8, 1, 1, 1}));
    EXPECT_EQ(std::vector<uint8_t>(t + 13, t + 17), (std::vector<uint8_t>{8, 2, 255, 1}));
    // the other client's queues saw none of it
    for (const Z7EvsQueue &q : second->q) EXPECT_EQ(q.used, 0u);
    // a type outside 1, 2, 4, 8 and 132 is not queued and answers 1
    EXPECT_EQ(Z7Evs1_TextEvent(first, 16, 1, "n"), 1u);
    close(b);
    fds.pop_back();
}

TEST(EventClient, OpenedRecordIsEmptyWithItsQueuesBehindIt) {
    Z7EvsSettings s{};
    s.capacity = {1024, 0, 8000, 16000};
    s.key = {11, 22, 33, 44};
    const uint32_t size = Z7Evs1_GetMemorySize(&s);
    // the queues follow the record, each rounded up to 8 bytes: 1024 + 0 + 8000 + 16000
    ASSERT_GE(size, sizeof(Z7EvsClient) + 25024u);
    EXPECT_EQ(size % 8, 0u);
    std::vector<uint8_t> rec(size, 0xAB);
    Z7EvsClient *c = Z7Evs1_Open(rec.data(), &s);
    ASSERT_EQ(static_cast<void *>(c), static_cast<void *>(rec.data()));
    EXPECT_EQ(c->sock, -1);
    EXPECT_EQ(c->own_listen, -1);
    EXPECT_EQ(c->state, 0);
    EXPECT_EQ(c->q[0].buf + 1024, c->q[1].buf);
    EXPECT_EQ(c->q[1].buf, c->q[2].buf);
    EXPECT_EQ(c->q[2].buf + 8000, c->q[3].buf);
    EXPECT_EQ(c->q[3].buf + 16000, rec.data() + size);
    for (uint32_t k = 0; k < 4; k++) {
        EXPECT_EQ(c->q[k].capacity, s.capacity[k]) << k;
        EXPECT_EQ(c->q[k].key, s.key[k]) << k;
        EXPECT_EQ(c->q[k].used, 0u) << k;
        EXPECT_EQ(c->q[k].flags, 1) << k;
    }
    // a record without a connection is not stepped
    Z7Evs1_Activate(c, 5000);
    EXPECT_EQ(c->state, 0);
    EXPECT_EQ(c->sock, -1);
}

// Lost events of a queue are counted up to 65,535 and stay there: the count
// never wraps back to 0, which would drop the queue-lost notice.
TEST(EventClient, LostCountOfAQueueStopsAtItsTop) {
    Z7EvsSettings s{};
    s.capacity = {1024, 0, 8000, 16000};
    std::vector<uint8_t> rec(Z7Evs1_GetMemorySize(&s));
    Z7EvsClient *c = Z7Evs1_Open(rec.data(), &s);
    c->subs = 0x02;  // queue 2 only, which holds nothing
    for (uint32_t i = 0; i < 65535; i++) ASSERT_EQ(Z7Evs1_EventDT(c, 2, 1, 0, nullptr, 0, 0), 1u);
    EXPECT_EQ(c->q[1].lost, 65535);
    EXPECT_EQ(Z7Evs1_EventDT(c, 2, 1, 0, nullptr, 0, 0), 1u);
    EXPECT_EQ(c->q[1].lost, 65535);
    EXPECT_EQ(Z7Evs1_EventDT(c, 2, 1, 0, nullptr, 0, 0), 1u);
    EXPECT_EQ(c->q[1].lost, 65535);
    EXPECT_EQ(c->q[1].used, 0u);
}

TEST_F(Events, VariableStatusPreferencesOfTheConnectedClients) {
    uint8_t out[8];
    std::memset(out, 0xEE, sizeof out);
    Z7Evs_GetCnxVsiPrefs(mem.data(), out);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 8), std::vector<uint8_t>(8, 0));
    const int a = Connect();
    Step(1000);
    const int b = Connect();
    Step(1001);
    const int c = Connect();
    Step(1002);
    Frame(a), Frame(b), Frame(c);
    Ack(a, 0x0F);
    Ack(b, 0x4F);
    Ack(c, 0x40);  // bit 6 without any queue
    Step(1003);
    Z7Evs_GetCnxVsiPrefs(mem.data(), out);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 8), (std::vector<uint8_t>{0, 1, 1, 0, 0, 0, 0, 0}));
    close(b);
    // the closed peer is noticed when its next idle frame goes out (after 2 s)
    for (uint32_t t = 1004; t < 6000 && Z7Evs_GetNbClient(mem.data()) != 2; t += 100) Step(t);
    ASSERT_EQ(Z7Evs_GetNbClient(mem.data()), 2u);
    Z7Evs_GetCnxVsiPrefs(mem.data(), out);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 8), (std::vector<uint8_t>{0, 0, 1, 0, 0, 0, 0, 0}));
}

}  // namespace

// The programming port held by the serial blocks' handles: the port's
// protocol is the runtime's (6) while held, so the command driver leaves it;
// the controller's frame start, a block's close (unless the link is the
// workbench's) or a release gives it back (protocol 1, the driver re-opened
// with a mode record starting with 5); after the frame start no block takes
// it until the link is handed over again. The plain serial handle of the
// other runtime users takes no hold.
namespace {
VcommMode hold_mode{};
std::vector<VcommMode> hold_opens;
}  // namespace

TEST(SerialHold, HeldUntilTheFrameStartACloseOrARelease) {
    test_support::PortOnPair port;  // given back at the end
    ASSERT_TRUE(port.ok);
    int *const sv = port.sv;
    Vcomm_Drv[ProgrammingPort].ModeRec = [](uint32_t) { return hold_mode.data(); };
    Vcomm_Drv[ProgrammingPort].Open = [](uint32_t, const uint8_t *m) {
        VcommMode v;
        std::memcpy(v.data(), m, 6);
        hold_opens.push_back(v);
        return 1u;
    };
    hold_mode = {3, 0, 3, 0, 0, 0x21};  // the command protocol, option bit 5
    hold_opens.clear();
    Z7Serial_Rearm();

    int32_t plain = -1;
    Z7Serial_Open(&plain, "");
    EXPECT_EQ(plain, sv[0]);
    EXPECT_FALSE(Z7Serial_Held());
    EXPECT_EQ(Vcomm_Protocol(ProgrammingPort), 1);
    int32_t a = -1, b = -1, other = 7;
    Z7Serial_HoldOpen(&a, "");
    Z7Serial_HoldOpen(&b, "");
    Z7Serial_HoldOpen(&other, "");
    EXPECT_EQ(a, sv[0]);
    EXPECT_EQ(b, sv[0]);
    EXPECT_EQ(other, 7);  // a handle in use is left alone
    EXPECT_TRUE(Z7Serial_Held());
    EXPECT_EQ(hold_mode[5], 0x26);
    EXPECT_EQ(Vcomm_Protocol(ProgrammingPort), 6);
    uint8_t buf[16];
    ASSERT_EQ(write(sv[1], "AB", 2), 2);
    EXPECT_EQ(Z7Serial_HoldReceive(&a, sizeof buf, buf), 2u);
    EXPECT_EQ(std::memcmp(buf, "AB", 2), 0);
    EXPECT_EQ(Z7Serial_HoldSend(a, 2, reinterpret_cast<const uint8_t *>("xy")), 2u);
    EXPECT_EQ(Take(sv[1], 2), Hex("7879"));

    // the frame start through one handle: every block's handle is dead
    ASSERT_EQ(write(sv[1], "HR\0\0", 4), 4);
    EXPECT_EQ(Z7Serial_HoldReceive(&b, sizeof buf, buf), 0u);
    EXPECT_EQ(b, -1);
    EXPECT_FALSE(Z7Serial_Held());
    EXPECT_EQ(IsCommMode_Qncan, 1);
    EXPECT_EQ(hold_mode[5], 0x21);
    ASSERT_EQ(hold_opens.size(), 1u);
    EXPECT_EQ(hold_opens[0], (VcommMode{5, 0, 3, 0, 0, 0x21}));
    ASSERT_EQ(write(sv[1], "CD", 2), 2);
    EXPECT_EQ(Z7Serial_HoldSend(a, 2, reinterpret_cast<const uint8_t *>("zz")), 0u);
    EXPECT_EQ(Z7Serial_HoldReceive(&a, sizeof buf, buf), 0u);
    EXPECT_EQ(a, -1);
    EXPECT_EQ(Take(sv[0], 2), Hex("4344"));  // left for the controller
    Z7Serial_HoldOpen(&a, "");
    EXPECT_EQ(a, -1);
    EXPECT_EQ(Vcomm_Protocol(ProgrammingPort), 1);

    // handed over again: held; a close gives it back, and so does a release
    Z7Serial_Rearm();
    Z7Serial_HoldOpen(&a, "");
    EXPECT_EQ(a, sv[0]);
    EXPECT_EQ(Vcomm_Protocol(ProgrammingPort), 6);
    Z7Serial_HoldClose(&a);
    EXPECT_EQ(a, -1);
    EXPECT_EQ(Vcomm_Protocol(ProgrammingPort), 1);
    EXPECT_EQ(hold_opens.size(), 2u);
    // while the link is the workbench's, a block's close leaves it held
    int32_t c = -1;
    Z7Serial_HoldOpen(&c, "");
    IsCommMode_Qncan = 0;
    Z7Serial_HoldClose(&c);
    IsCommMode_Qncan = 1;
    EXPECT_EQ(c, -1);
    EXPECT_TRUE(Z7Serial_Held());
    Z7Serial_HoldOpen(&a, "");
    EXPECT_EQ(a, sv[0]);
    Z7Serial_Release();
    EXPECT_FALSE(Z7Serial_Held());
    EXPECT_EQ(Vcomm_Protocol(ProgrammingPort), 1);
    Z7Serial_Release();  // not held: nothing more
    EXPECT_EQ(hold_opens.size(), 3u);
    // the plain handle was never affected
    EXPECT_EQ(Z7Serial_Send(plain, 1, reinterpret_cast<const uint8_t *>("p")), 1u);
    EXPECT_EQ(Take(sv[1], 1), Hex("70"));
}

// A read of 4 bytes at a packet start waits for 4 bytes; the programming
// port is not taken while register word 290 is set.
TEST(SerialHold, PacketStartWaitsForFourBytesAndWord290KeepsThePort) {
    test_support::PortOnPair port;
    ASSERT_TRUE(port.ok);
    int *const sv = port.sv;
    const uint16_t saved = PlcWord(290);
    PlcWordSet(290, 1);
    int32_t h = -1;
    EXPECT_EQ(Z7Serial_Open(&h, "9600,N,8,1"), 1u);
    EXPECT_EQ(h, -1);
    EXPECT_FALSE(Z7Serial_IsValid(h));
    PlcWordSet(290, 0);
    Z7Serial_Open(&h, "");
    EXPECT_EQ(h, sv[0]);
    new_serial_packet = 1;
    uint8_t buf[8] = {};
    ASSERT_EQ(write(sv[1], "Z7\x01", 3), 3);
    EXPECT_EQ(Z7Serial_Receive(&h, 4, buf, true), 0u);
    EXPECT_EQ(new_serial_packet, 1);
    ASSERT_EQ(write(sv[1], "\x02\x03", 2), 2);
    EXPECT_EQ(Z7Serial_Receive(&h, 4, buf, true), 4u);
    EXPECT_EQ(Bytes(buf, buf + 4), Hex("5a370102"));
    EXPECT_EQ(new_serial_packet, 0);
    EXPECT_EQ(z7_rcv, 1);
    EXPECT_EQ(Z7Serial_Receive(&h, 4, buf, false), 1u);
    EXPECT_EQ(buf[0], 0x03);
    PlcWordSet(290, saved);
}
