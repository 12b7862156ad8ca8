// The SP5 serial link: the file-transfer slave as channel 1 of the
// communication server, driven with whole frames over a socket pair (frames,
// CRCs and file CRCs worked out here bit by bit), and the file-transfer
// master against that slave.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "iec/services/z7sp5.h"
#include "iec/services/z7svc.h"
#include "tests/iec/iec_fixture.h"

namespace {
using Bytes = std::vector<uint8_t>;

uint16_t Crc16(const Bytes &b, size_t from, size_t n) {
    uint16_t c = 0xFFFF;
    for (size_t i = from; i < from + n; i++) {
        c ^= b[i];
        for (int k = 0; k < 8; k++) c = (c & 1) ? uint16_t((c >> 1) ^ 0xA001) : uint16_t(c >> 1);
    }
    return c;
}
uint32_t Crc32(const Bytes &b, size_t n) {
    uint32_t c = 0xFFFFFFFF;
    for (size_t i = 0; i < n && i < b.size(); i++) {
        c ^= b[i];
        for (int k = 0; k < 8; k++) c = (c & 1) ? (c >> 1) ^ 0xA000A001u : c >> 1;
    }
    return c;
}
Bytes Be32(uint32_t v) { return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)}; }
Bytes Be16(uint32_t v) { return {uint8_t(v >> 8), uint8_t(v)}; }
Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes &p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}
Bytes Text(const std::string &s) { return Bytes(s.begin(), s.end()); }
// One SP5 frame: header {address, type, sequence, message, segment, length}.
Bytes Frame(uint16_t addr, char type, uint8_t seq, uint8_t msg, uint8_t seg, const Bytes &payload) {
    Bytes f = Cat({Text("SP5"), Be16(addr), {uint8_t(type), seq, msg, seg}, Be16(uint32_t(payload.size())), payload});
    const uint16_t c = Crc16(f, 3, 8 + payload.size());
    return Cat({f, Be16(c), {']'}});
}
Bytes Ft(uint8_t cmd, const Bytes &args, const std::string &password = std::string(8, '\0')) {
    return Cat({Text("F5"), {cmd}, Text(password), args});
}
Bytes Named(const std::string &name, const Bytes &rest = {}) { return Cat({{uint8_t(name.size())}, Text(name), rest}); }

class Sp5 : public iec_test::IecTest {
protected:
    static inline Z7CSData cs;  // 20 KB and more: not on the stack
    int fd[2] = {-1, -1};
    uint8_t seq = 0;
    void SetUp() override {
        IecTest::SetUp();
        mkdir((root / "mnt").c_str(), 0755);
        mkdir((root / "mnt/cfg").c_str(), 0755);
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fd), 0);
        fcntl(fd[0], F_SETFL, O_NONBLOCK);
        fcntl(fd[1], F_SETFL, O_NONBLOCK);
        Z7CSSettings s{0, 0x0123, "DUMMY"};
        Z7CS_Open(&cs, &s, 0);
        ASSERT_EQ(cs.ch[0].flags, Z7CH_SP5 | Z7CH_USED);
        cs.sp5.tl.dl.frm.serial = cs.ch[0].serial = fd[0];
    }
    void TearDown() override {
        Z7CS_Close(&cs);
        close(fd[0]);
        close(fd[1]);
        IecTest::TearDown();
    }
    // Host passes: kinds 19 and 21 are served inside; others get return code 9.
    void Poll() {
        for (int k = 0; k < 4; k++) {
            Z7CS_Activate(&cs);
            uint32_t ch = 0;
            if (Z7CS_GetQuestion(&cs, &ch) != 0) {
                Z7CS_SendRC(&cs, ch, 9);
                Z7CS_ReleaseQuestion(&cs, ch);
            }
        }
    }
    Bytes Exchange(const Bytes &out) {
        if (!out.empty()) {
            EXPECT_EQ(write(fd[1], out.data(), out.size()), ssize_t(out.size()));
        }
        Poll();
        Bytes in(8192);
        const ssize_t n = read(fd[1], in.data(), in.size());
        in.resize(n > 0 ? size_t(n) : 0);
        return in;
    }
    uint8_t Next() { return seq = uint8_t(seq == 255 ? 1 : seq + 1); }
    // One message in one frame; the payload of the one answer frame, whose
    // header is checked against the request's.
    Bytes Ask(const Bytes &msg, uint8_t no, uint8_t want_seg = 0) {
        const uint8_t s = Next();
        const Bytes a = Exchange(Frame(0x0123, 'S', s, no, 0, msg));
        if (a.size() < 14) return {};
        EXPECT_EQ(Bytes(a.begin(), a.begin() + 11),
                  Cat({Text("SP5"), Be16(0x0123), {'A', s, no, want_seg}, Be16(uint32_t(a.size() - 14))}));
        return Bytes(a.begin() + 11, a.end() - 3);
    }
    std::string File(const std::string &rel) const {
        std::ifstream in(root / rel, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    bool Exists(const std::string &rel) const {
        struct stat st {};
        return stat((root / rel).c_str(), &st) == 0;
    }
};

TEST_F(Sp5, SlaveFramesRefusalsDuplicatesAndTheHandBack) {
    // kind 21 value 1 in one frame, answered by the communication server
    const Bytes k21 = Text(std::string("Z7\x00\x03\x15\x00\x01", 7));
    const Bytes request = Frame(0x0123, 'S', 1, 1, 0, k21);
    EXPECT_EQ(request, Bytes({0x53, 0x50, 0x35, 0x01, 0x23, 0x53, 0x01, 0x01, 0x00, 0x00, 0x07,
                              0x5A, 0x37, 0x00, 0x03, 0x15, 0x00, 0x01, 0x14, 0xF0, 0x5D}));
    EXPECT_EQ(Exchange(request), Bytes({0x53, 0x50, 0x35, 0x01, 0x23, 0x41, 0x01, 0x01, 0x00, 0x00, 0x07,
                                        0x5A, 0x37, 0x00, 0x03, 0x15, 0x00, 0x00, 0x06, 0x08, 0x5D}));
    // a duplicate (same sequence) gets the same answer frame again, whole
    const Bytes again = Exchange(Frame(0x0123, 'S', 1, 1, 0, Text(std::string("Z7\x00\x03\x15\x00\x02", 7))));
    EXPECT_EQ(again, Bytes({0x53, 0x50, 0x35, 0x01, 0x23, 0x41, 0x01, 0x01, 0x00, 0x00, 0x07,
                            0x5A, 0x37, 0x00, 0x03, 0x15, 0x00, 0x00, 0x06, 0x08, 0x5D}));
    EXPECT_EQ(cs.sp5.tl.dl.duplicates, 1u);
    // a bad CRC: the header back with type '?', no payload
    Bytes bad = Frame(0x0123, 'S', 2, 2, 0, Text("Z7"));
    bad[bad.size() - 2] ^= 1;
    EXPECT_EQ(Exchange(bad),
              Bytes({0x53, 0x50, 0x35, 0x01, 0x23, 0x3F, 0x02, 0x02, 0x00, 0x00, 0x00, 0x72, 0xEE, 0x5D}));
    // a length of 1025, another address, a type that is no request: nothing
    Bytes big = Cat({Text("SP5"), Be16(0x0123), {'S', 3, 3, 0}, Be16(1025), Bytes(1025, 0), {0, 0, ']'}});
    EXPECT_EQ(Exchange(big), Bytes());
    EXPECT_EQ(Exchange(Frame(0x0124, 'S', 3, 3, 0, k21)), Bytes());
    EXPECT_EQ(Exchange(Frame(0x0123, 'A', 3, 3, 0, k21)), Bytes());
    // a marker byte that breaks "SP5" is looked at again as its start; a
    // frame split over reads is put together
    const Bytes q = Frame(0x0123, 'S', 4, 4, 0, k21);
    EXPECT_EQ(Exchange(Cat({Text("SPSSP"), Bytes(q.begin(), q.begin() + 9)})), Bytes());
    const Bytes four = Exchange(Bytes(q.begin() + 9, q.end()));
    ASSERT_EQ(four.size(), 21u);
    EXPECT_EQ(four[6], 4);
    EXPECT_EQ(Bytes(four.begin() + 11, four.begin() + 18), Text(std::string("Z7\x00\x03\x15\x00\x00", 7)));
    // another kind goes to the host
    EXPECT_EQ(Ask(Text(std::string("Z7\x00\x01\x05", 5)), 5), Text(std::string("Z7\x00\x03\x05\x00\x09", 7)));
    // a request the server drops (its Z7 size past its bytes) owes no
    // answer; sent again, it does not get the answer of the request before
    const Bytes short_z7 = Frame(0x0123, 'S', 2, 6, 0, Text(std::string("Z7\x00\x09\x15", 5)));
    EXPECT_EQ(Exchange(short_z7), Bytes());
    EXPECT_EQ(Exchange(short_z7), Bytes());
    EXPECT_EQ(cs.sp5.tl.dl.duplicates, 2u);
    // 'H','R' at the start of a read gives the port back
    EXPECT_EQ(Exchange(Text(std::string("HR\x00\x00", 4))), Bytes());
    EXPECT_EQ(cs.ch[0].serial, -1);
    EXPECT_EQ(IsCommMode_Qncan, 1);
}

// A message is at most 1024 bytes: the slave's answer of 1025 is refused,
// one of 1024 goes out in segments of 240. The master's request carries the
// type its caller chose, 'S' or 'Q'; any other is refused.
TEST_F(Sp5, AnswersUpTo1024BytesAndRequestsOfTheCallersType) {
    Z7SP5Tl &tl = cs.sp5.tl;
    const Bytes q = Frame(0x0123, 'S', 1, 7, 0, Text("ASK"));
    ASSERT_EQ(write(fd[1], q.data(), q.size()), ssize_t(q.size()));
    uint8_t got[16];
    uint32_t n = 0;
    for (int k = 0; k < 100 && n == 0; k++) n = Z7SP5Tls_Listen(&tl, got, sizeof got);
    ASSERT_EQ(n, 3u);
    EXPECT_EQ(Bytes(got, got + 3), Text("ASK"));
    // a message longer than the caller's room is not handed up half: it is
    // dropped, and no answer is owed for it
    const Bytes longer = Frame(0x0123, 'S', 2, 8, 0, Text("ASKING"));
    ASSERT_EQ(write(fd[1], longer.data(), longer.size()), ssize_t(longer.size()));
    uint8_t small[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    const uint32_t requests = tl.dl.requests;
    uint32_t m4 = 0;
    for (int k = 0; k < 100 && tl.dl.requests == requests; k++) m4 = Z7SP5Tls_Listen(&tl, small, sizeof small);
    EXPECT_EQ(m4, 0u);
    EXPECT_EQ(Bytes(small, small + 4), Bytes(4, 0xEE));
    EXPECT_EQ(Z7SP5Tls_Send(&tl, got, 3), 0u);
    // the next request, its sequence 3, is handed up whole
    const Bytes q3 = Frame(0x0123, 'S', 3, 9, 0, Text("ASK"));
    ASSERT_EQ(write(fd[1], q3.data(), q3.size()), ssize_t(q3.size()));
    n = 0;
    for (int k = 0; k < 100 && n == 0; k++) n = Z7SP5Tls_Listen(&tl, got, sizeof got);
    ASSERT_EQ(n, 3u);
    const Bytes answer(1025, 0x5A);
    EXPECT_EQ(Z7SP5Tls_Send(&tl, answer.data(), 1025), 0u);
    EXPECT_EQ(Z7SP5Tls_Send(&tl, answer.data(), 1024), 1u);
    Bytes in(8192);
    const ssize_t r = read(fd[1], in.data(), in.size());
    ASSERT_EQ(r, ssize_t(14 + 240));
    in.resize(size_t(r));
    EXPECT_EQ(in, Frame(0x0123, 'A', 3, 9, 1, Bytes(240, 0x5A)));

    int m[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, m), 0);
    static Z7SP5Tl master;
    Z7SP5Tlm_Open(&master, "DUMMY", 0x0045, 200, 3);
    master.dl.frm.serial = m[0];
    const Bytes msg = Text("Z7Q");
    EXPECT_EQ(Z7SP5Tlm_Send(&master, msg.data(), 3, 1000, 'A'), 0u);
    EXPECT_EQ(Z7SP5Tlm_Send(&master, msg.data(), 3, 1000, 'Q'), 1u);
    Bytes out(64);
    const ssize_t w = read(m[1], out.data(), out.size());
    ASSERT_EQ(w, ssize_t(14 + 3));
    out.resize(size_t(w));
    EXPECT_EQ(out, Frame(0x0045, 'Q', 1, 1, 0, msg));
    Z7SP5Tlm_Close(&master);
    close(m[0]);
    close(m[1]);
}

TEST_F(Sp5, SlaveUploadsAndDownloadsFiles) {
    Bytes file(3000);
    for (size_t i = 0; i < file.size(); i++) file[i] = uint8_t(i * 7 + i / 256);
    std::ofstream(root / "mnt/cfg/data.bin", std::ios::binary).write(reinterpret_cast<const char *>(file.data()), 3000);
    // refusals: password, name past the message, unknown command, no upload open
    EXPECT_EQ(Ask(Ft(1, Named("data.bin", Be32(100)), "ABCDEFGH"), 1), Text(std::string("F5\x01\x01", 4)));
    EXPECT_EQ(Ask(Ft(1, {20, 'd', 'a'}), 2), Text(std::string("F5\x01\x02", 4)));
    EXPECT_EQ(Ask(Ft(9, {}), 3), Text(std::string("F5\x09\x02", 4)));
    EXPECT_EQ(Ask(Ft(5, Cat({Be32(0), Be16(10)})), 4), Text(std::string("F5\x05\x02", 4)));
    EXPECT_EQ(Ask(Ft(1, Named("none.bin", Be32(0))), 5), Text(std::string("F5\x01\x04", 4)));

    // upload, 100 bytes announced
    EXPECT_EQ(Ask(Ft(1, Named("data.bin", Be32(100))), 6),
              Cat({Text("F5"), {1, 0}, Be32(3000), Be32(Crc32(file, 100))}));
    EXPECT_EQ(File("mnt/cfg/sp5ftr.tmp").size(), 3000u);
    EXPECT_EQ(Ask(Ft(5, Cat({Be32(0), Be16(200)})), 7),
              Cat({Text("F5"), {5, 0}, Bytes(file.begin(), file.begin() + 200)}));
    EXPECT_EQ(Ask(Ft(5, Cat({Be32(2900), Be16(200)})), 8),
              Cat({Text("F5"), {5, 0}, Bytes(file.begin() + 2900, file.end())}));
    EXPECT_EQ(Ask(Ft(5, Cat({Be32(3000), Be16(200)})), 9), Text(std::string("F5\x05\x03", 4)));
    // 1000 bytes (1004 with the head) in segments 1..4 of 240 and 0x85 of 44,
    // the rest fetched with 'N'; a read of 2000 is cut to 1000
    for (uint16_t len : {1000, 2000}) {
        const Bytes want = Cat({Text("F5"), {5, 0}, Bytes(file.begin() + 1000, file.begin() + 2000)});
        const uint8_t s = Next();
        Bytes a = Exchange(Frame(0x0123, 'S', s, 10, 0, Ft(5, Cat({Be32(1000), Be16(len)}))));
        Bytes got;
        for (uint8_t k = 1; k <= 5; k++) {
            const uint8_t seg = uint8_t(k == 5 ? 0x85 : k);
            const uint32_t n = k == 5 ? 44 : 240;
            ASSERT_EQ(a.size(), 14u + n) << "segment " << int(k);
            const Bytes h(a.begin() + 3, a.begin() + 11);
            EXPECT_EQ(h, Cat({Be16(0x0123), {'A', seq, 10, seg}, Be16(n)}));
            got.insert(got.end(), a.begin() + 11, a.end() - 3);
            if (k < 5) a = Exchange(Frame(0x0123, 'N', Next(), 10, uint8_t(k + 1), {}));
        }
        EXPECT_EQ(got, want);
    }
    EXPECT_EQ(Ask(Ft(3, Named("other.bin")), 11), Text(std::string("F5\x03\x02", 4)));
    EXPECT_EQ(Ask(Ft(3, Named("data.bin")), 12), Cat({Text("F5"), {3, 0}, Be32(3000), Be32(Crc32(file, 3000))}));
    EXPECT_FALSE(Exists("mnt/cfg/sp5ftr.tmp"));
    EXPECT_EQ(Ask(Ft(5, Cat({Be32(0), Be16(10)})), 13), Text(std::string("F5\x05\x02", 4)));

    // download of 1000 bytes: 600 in three segments, 400, then the end
    Bytes up(1000);
    for (size_t i = 0; i < up.size(); i++) up[i] = uint8_t(255 - i % 251);
    EXPECT_EQ(Ask(Ft(6, Cat({Be32(0), Be16(4), {1, 2, 3, 4}})), 14), Text(std::string("F5\x06\x02", 4)));
    EXPECT_EQ(Ask(Ft(2, Named("new.bin")), 15), Cat({Text("F5"), {2, 0}, Be32(0), Be32(0xFFFFFFFF)}));
    const Bytes first = Ft(6, Cat({Be32(0), Be16(600), Bytes(up.begin(), up.begin() + 600)}));
    ASSERT_EQ(first.size(), 617u);
    for (uint8_t k = 1; k <= 3; k++) {
        const size_t off = (k - 1) * 240u, n = k == 3 ? first.size() - 480 : 240;
        const uint8_t seg = uint8_t(k == 3 ? 0x83 : k), s = Next();
        const Bytes a = Exchange(Frame(0x0123, 'S', s, 16, seg, Bytes(first.begin() + off, first.begin() + off + n)));
        if (k < 3)
            EXPECT_EQ(a, Frame(0x0123, 'A', s, 16, seg, {})) << "segment " << int(k) << " acknowledged empty";
        else
            EXPECT_EQ(a, Frame(0x0123, 'A', s, 16, 0, Text(std::string("F5\x06\x00", 4))));
    }
    // a block that neither starts the file nor follows its end; a segment out of order
    EXPECT_EQ(Ask(Ft(6, Cat({Be32(700), Be16(4), {1, 2, 3, 4}})), 17), Text(std::string("F5\x06\x04", 4)));
    const uint8_t so = Next();
    EXPECT_EQ(Exchange(Frame(0x0123, 'S', so, 18, 2, Bytes(10, 1))), Frame(0x0123, 'p', so, 18, 2, {}));
    EXPECT_EQ(Ask(Ft(6, Cat({Be32(600), Be16(400), Bytes(up.begin() + 600, up.end())})), 19),
              Text(std::string("F5\x06\x00", 4)));
    EXPECT_EQ(Ask(Ft(4, Named("new.bin", Cat({Be32(1000), Be32(Crc32(up, 999))}))), 20),
              Text(std::string("F5\x04\x04", 4)));
    EXPECT_EQ(Ask(Ft(4, Named("new.bin", Cat({Be32(1000), Be32(Crc32(up, 1000))}))), 21),
              Cat({Text("F5"), {4, 0}, Be32(1000), Be32(Crc32(up, 1000))}));
    EXPECT_EQ(File("mnt/cfg/new.bin"), std::string(up.begin(), up.end()));
    EXPECT_FALSE(Exists("mnt/cfg/sp5ftw.tmp"));
    EXPECT_EQ(Ask(Ft(4, Named("new.bin", Cat({Be32(1000), Be32(Crc32(up, 1000))}))), 22),
              Text(std::string("F5\x04\x02", 4)));
}

// The master's data link alone against a socket it reads by hand: the
// sequence wraps from 255 to 1, a '?' answer sends the request again at once,
// an answer of another sequence is counted and waited past, and once the
// time-outs ran past the retry limit (2: three frames in all) the request
// fails. A poll that comes late, even by more than a day, still finds the
// time-out run out.
TEST_F(Sp5, MasterLinkWrapsResendsAndGivesUp) {
    int m[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, m), 0);
    static Z7SP5Dl d;
    static uint8_t hdr[SP5_HEADER], pay[SP5_PAYLOAD];
    Z7SP5Dlm_Open(&d, SP5_MASTER, "DUMMY", 100, 2, hdr, pay);
    d.frm.serial = m[0];
    d.seq = 255;
    auto line = [&] {
        Bytes in(4096);
        const ssize_t r = read(m[1], in.data(), in.size());
        in.resize(r > 0 ? size_t(r) : 0);
        return in;
    };
    auto put = [&](const Bytes &f) { EXPECT_EQ(write(m[1], f.data(), f.size()), ssize_t(f.size())); };
    const uint8_t h[SP5_HEADER] = {0x01, 0x23, 'S', 0, 7, 0, 0, 0};
    uint32_t failed = 9;
    ASSERT_EQ(Z7SP5Dlm_Send(&d, h, nullptr, 1000), 1u);
    EXPECT_EQ(Z7SP5Dlm_Send(&d, h, nullptr, 1000), 0u);
    const Bytes first = {'S', 'P', '5', 0x01, 0x23, 'S', 1, 7, 0, 0, 0, 0xD2, 0xA3, ']'};
    EXPECT_EQ(first, Frame(0x0123, 'S', 1, 7, 0, {}));
    EXPECT_EQ(line(), first);
    EXPECT_EQ(Z7SP5Dlm_GetAnswer(&d, 1001, &failed), 0u);
    put(Frame(0x0123, '?', 1, 7, 0, {}));
    EXPECT_EQ(Z7SP5Dlm_GetAnswer(&d, 1002, &failed), 0u);
    EXPECT_EQ(line(), first);
    put(Frame(0x0123, 'A', 5, 7, 0, {}));
    EXPECT_EQ(Z7SP5Dlm_GetAnswer(&d, 1003, &failed), 0u);
    EXPECT_EQ(d.ignored, 1u);
    EXPECT_EQ(d.crc_errors, 1u);
    EXPECT_EQ(Z7SP5Dlm_GetAnswer(&d, 1101, &failed), 0u);
    EXPECT_EQ(line(), Bytes());
    EXPECT_EQ(Z7SP5Dlm_GetAnswer(&d, 1102, &failed), 0u);
    EXPECT_EQ(line(), first);
    EXPECT_EQ(Z7SP5Dlm_GetAnswer(&d, 1202, &failed), 1u);
    EXPECT_EQ(failed, 1u);
    EXPECT_EQ(line(), Bytes());
    // the header buffer still held the foreign answer (type 'A'): a failed
    // request leaves type 0 there, so it never reads as answered
    EXPECT_EQ(hdr[2], 0);
    // the next request, sequence 2, answered
    ASSERT_EQ(Z7SP5Dlm_Send(&d, h, nullptr, 2000), 1u);
    EXPECT_EQ(line(), Frame(0x0123, 'S', 2, 7, 0, {}));
    put(Frame(0x0123, 'A', 2, 7, 0, Text("OK")));
    EXPECT_EQ(Z7SP5Dlm_GetAnswer(&d, 2001, &failed), 1u);
    EXPECT_EQ(failed, 0u);
    EXPECT_EQ(Bytes(pay, pay + 2), Text("OK"));
    // sequence 3 polled again only a day and 5 ms later: sent again, and
    // 100 ms after that it has failed
    ASSERT_EQ(Z7SP5Dlm_Send(&d, h, nullptr, 3000), 1u);
    EXPECT_EQ(line(), Frame(0x0123, 'S', 3, 7, 0, {}));
    EXPECT_EQ(Z7SP5Dlm_GetAnswer(&d, 3000 + 86400005, &failed), 0u);
    EXPECT_EQ(line(), Frame(0x0123, 'S', 3, 7, 0, {}));
    EXPECT_EQ(Z7SP5Dlm_GetAnswer(&d, 3100 + 86400005, &failed), 0u);
    EXPECT_EQ(line(), Frame(0x0123, 'S', 3, 7, 0, {}));
    EXPECT_EQ(Z7SP5Dlm_GetAnswer(&d, 3200 + 86400005, &failed), 1u);
    EXPECT_EQ(failed, 1u);
    EXPECT_EQ(hdr[2], 0);
    // sequence 4 sent 64 ms before the millisecond counter wraps: 99 ms
    // later (past the wrap) it still waits, at 100 ms it goes out again
    ASSERT_EQ(Z7SP5Dlm_Send(&d, h, nullptr, 0xFFFFFFC0u), 1u);
    EXPECT_EQ(line(), Frame(0x0123, 'S', 4, 7, 0, {}));
    EXPECT_EQ(Z7SP5Dlm_GetAnswer(&d, 0x23u, &failed), 0u);
    EXPECT_EQ(line(), Bytes());
    EXPECT_EQ(Z7SP5Dlm_GetAnswer(&d, 0x24u, &failed), 0u);
    EXPECT_EQ(line(), Frame(0x0123, 'S', 4, 7, 0, {}));
    put(Frame(0x0123, 'A', 4, 7, 0, Text("W")));
    EXPECT_EQ(Z7SP5Dlm_GetAnswer(&d, 0x25u, &failed), 1u);
    EXPECT_EQ(failed, 0u);
    EXPECT_EQ(hdr[2], 'A');
    Z7SP5Dlm_Close(&d);
    close(m[0]);
    close(m[1]);
}

// The master against the slave of the fixture: both ends polled in turn.
TEST_F(Sp5, MasterFetchesAndSendsFilesThroughTheSlave) {
    static Z7SP5Ft m;
    Z7SP5Ftlm_Open(&m, "DUMMY", 0x0123, 200, 3);
    m.tl.dl.frm.serial = fd[1];
    Bytes big(65536 + 123);
    for (size_t i = 0; i < big.size(); i++) big[i] = uint8_t(i * 13 + i / 1000);
    std::ofstream(root / "mnt/cfg/remote.bin", std::ios::binary)
        .write(reinterpret_cast<const char *>(big.data()), std::streamsize(big.size()));
    uint32_t now = 1000, status = 77;
    auto run = [&] {
        for (int k = 0; k < 20000; k++) {
            now += 1;
            Poll();
            if (Z7SP5Ftlm_GetAnswer(&m, now, &status)) return true;
        }
        return false;
    };
    // One message sent by hand: a size question for remote.bin goes out as
    // one request, the slave's answer comes back through the link, and a
    // second message while the first is still out is refused.
    {
        const Bytes ask = Ft(1, Named("remote.bin", Be32(0)));
        ASSERT_EQ(Z7SP5Ftlm_Send(&m, ask.data(), uint32_t(ask.size()), now), 1u);
        EXPECT_EQ(Z7SP5Ftlm_Send(&m, ask.data(), uint32_t(ask.size()), now), 0u);
        EXPECT_EQ(Z7SP5Ftlm_Send(&m, big.data(), 1025, now), 0u);
        std::array<uint8_t, 1024> answer{};
        uint32_t n = 0;
        bool got = false;
        for (int k = 0; k < 2000 && !got; k++) {
            now += 1;
            Poll();
            got = Z7SP5Tlm_GetAnswer(&m.tl, answer.data(), &n, now) != 0;
        }
        ASSERT_TRUE(got);
        EXPECT_EQ(Bytes(answer.begin(), answer.begin() + n),
                  Cat({Text("F5"), {1, 0}, Be32(uint32_t(big.size())), Be32(Crc32(big, 0))}));
    }
    // refused at once
    EXPECT_EQ(Z7SP5Ftlm_RcvFile(&m, "/mnt/cfg/l.bin", "remote.bin", "123456789", now), 0u);
    EXPECT_EQ(Z7SP5Ftlm_SendFile(&m, "/mnt/cfg/absent.bin", "x.bin", "", now), 0u);
    EXPECT_EQ(Z7SP5Ftlm_RcvFile(&m, "/mnt/cfg/l.bin", std::string(256, 'a').c_str(), "", now), 0u);

    ASSERT_EQ(Z7SP5Ftlm_RcvFile(&m, "/mnt/cfg/local.bin", "remote.bin", "", now), 1u);
    ASSERT_TRUE(run());
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(File("mnt/cfg/local.bin"), std::string(big.begin(), big.end()));
    // a local file that is the start of the remote one is continued
    std::ofstream(root / "mnt/cfg/part.bin", std::ios::binary).write(reinterpret_cast<const char *>(big.data()), 5000);
    const uint32_t reqs = m.tl.dl.requests;
    ASSERT_EQ(Z7SP5Ftlm_RcvFile(&m, "/mnt/cfg/part.bin", "remote.bin", "", now), 1u);
    ASSERT_TRUE(run());
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(File("mnt/cfg/part.bin"), std::string(big.begin(), big.end()));
    EXPECT_LT(m.tl.dl.requests - reqs, 2u + 61u * 5u) << "blocks from 5000 on only";
    // missing remote file: the slave's code
    ASSERT_EQ(Z7SP5Ftlm_RcvFile(&m, "/mnt/cfg/l2.bin", "nothing.bin", "", now), 1u);
    ASSERT_TRUE(run());
    EXPECT_EQ(status, 4u);
    // send: the slave writes the target
    ASSERT_EQ(Z7SP5Ftlm_SendFile(&m, "/mnt/cfg/local.bin", "copy.bin", "", now), 1u);
    ASSERT_TRUE(run());
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(File("mnt/cfg/copy.bin"), std::string(big.begin(), big.end()));
    // wrong password
    ASSERT_EQ(Z7SP5Ftlm_SendFile(&m, "/mnt/cfg/local.bin", "copy.bin", "PW", now), 1u);
    ASSERT_TRUE(run());
    EXPECT_EQ(status, 1u);
    // an empty remote file fetched into a local name that does not exist
    // yet: the local file is there, empty, when the transfer ends well
    std::ofstream(root / "mnt/cfg/empty.bin", std::ios::binary).close();
    ASSERT_FALSE(Exists("mnt/cfg/fresh.bin"));
    ASSERT_EQ(Z7SP5Ftlm_RcvFile(&m, "/mnt/cfg/fresh.bin", "empty.bin", "", now), 1u);
    ASSERT_TRUE(run());
    EXPECT_EQ(status, 0u);
    EXPECT_TRUE(Exists("mnt/cfg/fresh.bin"));
    EXPECT_EQ(File("mnt/cfg/fresh.bin"), "");
    // an empty local file sent: the slave's target is there, empty
    std::ofstream(root / "mnt/cfg/e.bin", std::ios::binary).close();
    ASSERT_EQ(Z7SP5Ftlm_SendFile(&m, "/mnt/cfg/e.bin", "e2.bin", "", now), 1u);
    ASSERT_TRUE(run());
    EXPECT_EQ(status, 0u);
    EXPECT_TRUE(Exists("mnt/cfg/e2.bin"));
    EXPECT_EQ(File("mnt/cfg/e2.bin"), "");
    // a local file longer than the remote one is fetched again from 0; one
    // equal to it is whole at once
    std::ofstream(root / "mnt/cfg/r.bin", std::ios::binary) << "hello world";
    std::ofstream(root / "mnt/cfg/l.bin", std::ios::binary) << "hello world and more";
    for (int pass = 0; pass < 2; pass++) {
        ASSERT_EQ(Z7SP5Ftlm_RcvFile(&m, "/mnt/cfg/l.bin", "r.bin", "", now), 1u);
        ASSERT_TRUE(run());
        EXPECT_EQ(status, 0u);
        EXPECT_EQ(File("mnt/cfg/l.bin"), "hello world") << "pass " << pass;
    }
    // a send goes on behind what the slave's download file holds when it is
    // the start of the local file, and starts it anew when it is not
    for (const char *held : {"hello", "jello"}) {
        std::ofstream(root / "mnt/cfg/sp5ftw.tmp", std::ios::binary) << held;
        ASSERT_EQ(Z7SP5Ftlm_SendFile(&m, "/mnt/cfg/r.bin", "t.bin", "", now), 1u);
        ASSERT_TRUE(run());
        EXPECT_EQ(status, 0u);
        EXPECT_EQ(File("mnt/cfg/t.bin"), "hello world") << held;
        EXPECT_FALSE(Exists("mnt/cfg/sp5ftw.tmp"));
    }
    // the slave's own transfer files are not targets: its codes come back
    ASSERT_EQ(Z7SP5Ftlm_RcvFile(&m, "/mnt/cfg/x.bin", "sp5ftr.tmp", "", now), 1u);
    ASSERT_TRUE(run());
    EXPECT_EQ(status, 4u);
    ASSERT_EQ(Z7SP5Ftlm_SendFile(&m, "/mnt/cfg/r.bin", "sp5ftw.tmp", "", now), 1u);
    ASSERT_TRUE(run());
    EXPECT_EQ(status, 4u);
    EXPECT_EQ(File("mnt/cfg/r.bin"), "hello world");
    // no slave: the retries run out
    cs.sp5.tl.dl.frm.serial = cs.ch[0].serial = -1;
    ASSERT_EQ(Z7SP5Ftlm_RcvFile(&m, "/mnt/cfg/l3.bin", "remote.bin", "", now), 1u);
    ASSERT_TRUE(run());
    EXPECT_EQ(status, 0xFFu);
    // a line whose writes never go through (a handle open for reading only):
    // the request that cannot get out times out like an unanswered one, and
    // the transfer ends once the retries ran out
    const int ro = open((root / "mnt/cfg/empty.bin").c_str(), O_RDONLY);
    ASSERT_GE(ro, 0);
    m.tl.dl.frm.serial = ro;
    ASSERT_EQ(Z7SP5Ftlm_RcvFile(&m, "/mnt/cfg/l4.bin", "remote.bin", "", now), 1u);
    const bool ended = run();
    close(ro);
    ASSERT_TRUE(ended);
    EXPECT_EQ(status, 0xFFu);
    // the link not open: a message and a transfer are refused at once
    m.tl.dl.frm.serial = -1;
    const Bytes ask = Ft(1, Named("remote.bin", Be32(0)));
    EXPECT_EQ(Z7SP5Ftlm_Send(&m, ask.data(), uint32_t(ask.size()), now), 0u);
    EXPECT_EQ(Z7SP5Ftlm_RcvFile(&m, "/mnt/cfg/l5.bin", "remote.bin", "", now), 0u);
    EXPECT_EQ(Z7SP5Ftlm_SendFile(&m, "/mnt/cfg/local.bin", "copy.bin", "", now), 0u);
    Z7SP5Ftlm_Close(&m);
}

// The same master and slave on the two ends of a socat pseudo-terminal pair
// (socat is started here and ended by its process id).
TEST_F(Sp5, MasterAndSlaveOverAPseudoTerminalPair) {
    const std::string la = root / "ptyA", lb = root / "ptyB";
    const pid_t socat = fork();
    if (socat == 0) {
        const std::string x = "pty,raw,echo=0,link=" + la, y = "pty,raw,echo=0,link=" + lb;
        execlp("socat", "socat", x.c_str(), y.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    ASSERT_GT(socat, 0);
    int a = -1, b = -1;
    // whatever fails below, the slave gets its socket back and socat ends
    struct Cleanup {
        Z7CSData &cs;
        int slave, &a, &b;
        pid_t socat;
        ~Cleanup() {
            cs.sp5.tl.dl.frm.serial = cs.ch[0].serial = slave;
            if (a >= 0) close(a);
            if (b >= 0) close(b);
            kill(socat, SIGTERM);
            waitpid(socat, nullptr, 0);
        }
    } cleanup{cs, fd[0], a, b, socat};
    for (int i = 0; i < 500 && (a < 0 || b < 0); i++) {  // up to 5 s for socat's links
        usleep(10000);
        if (a < 0) a = open(la.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY);
        if (b < 0) b = open(lb.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY);
    }
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    static Z7SP5Ft m;
    Z7SP5Ftlm_Open(&m, "DUMMY", 0x0123, 1000, 5);
    m.tl.dl.frm.serial = b;
    cs.sp5.tl.dl.frm.serial = cs.ch[0].serial = a;
    Bytes data(20000);
    for (size_t i = 0; i < data.size(); i++) data[i] = uint8_t(i * 29 + i / 300);
    std::ofstream(root / "mnt/cfg/src.bin", std::ios::binary)
        .write(reinterpret_cast<const char *>(data.data()), std::streamsize(data.size()));
    uint32_t status = 77;
    auto run = [&] {
        timespec t0{}, t{};
        clock_gettime(CLOCK_MONOTONIC, &t0);
        for (;;) {
            clock_gettime(CLOCK_MONOTONIC, &t);
            const uint32_t ms = uint32_t((t.tv_sec - t0.tv_sec) * 1000 + (t.tv_nsec - t0.tv_nsec) / 1000000);
            if (ms > 30000) return false;
            Poll();
            if (Z7SP5Ftlm_GetAnswer(&m, 1000 + ms, &status)) return true;
        }
    };
    ASSERT_EQ(Z7SP5Ftlm_RcvFile(&m, "/mnt/cfg/got.bin", "src.bin", "", 1000), 1u);
    ASSERT_TRUE(run());
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(File("mnt/cfg/got.bin"), std::string(data.begin(), data.end()));
    ASSERT_EQ(Z7SP5Ftlm_SendFile(&m, "/mnt/cfg/src.bin", "sent.bin", "", 1000), 1u);
    ASSERT_TRUE(run());
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(File("mnt/cfg/sent.bin"), std::string(data.begin(), data.end()));
}

}  // namespace
