// E-mail client pieces that need no server: base64, the DNS query, reply
// framing over fragments, dot-stuffing and the e-mail section check.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <cstring>
#include <string>
#include <vector>

#include "core/image/bytes.h"
#include "core/image/dpram.h"
#include "core/image/passwork.h"
#include "core/image/plcreg.h"
#include "core/storage/memfile.h"
#include "media/cfm.h"
#include "messaging/email.h"
#include "platform/plat_tls.h"
#include "tests/messaging/email_block.h"
#include "tests/messaging/msg_fixture.h"
#include "tests/support/eth_ip.h"
#include "tests/support/fake_clock.h"
#include "tests/support/own_netns.h"

using namespace la;

namespace {

// The e-mail client as at start-up: no socket, no name query.
void ClearEmailConn() {
    EtnEmailConn = EmailRec{};
    EtnEmailConn.sock.fd = -1;
    EtnEmailConn.dns.fd = -1;
}

// The mail installed in the section store started over the cellular modem
// (the mode word at 2), then the module's data socket 2 connected.
void StartModemMail() {
    ClearEmailConn();
    EtnEmailConn.conn_state = EMC_IDLE;
    LE_Put16(&plc_reg[2 * W_MODE], 2);
    EtnEmailScan(0);
    ASSERT_EQ(EtnEmailConn.conn_state, EMC_ACTIVE);
    TelitPowerON = 1;  // the module's data socket 2 is connected
    at_status.port = MSG_CELL_PORT;
    socket_info_st[2] = SocketInfo{};
    socket_info_st[2].state = 6;
}

// The end of a test over the modem, also when an assertion stops it early:
// the mode word at 0, the module off, its data socket 2, the client and the
// section store cleared.
struct ModemMailCleanup {
    ~ModemMailCleanup() {
        LE_Put16(&plc_reg[2 * W_MODE], 0);
        TelitPowerON = 0;
        socket_info_st[2] = SocketInfo{};
        ClearEmailConn();
        sms_table_bl.fill(0);
    }
};

TEST(Email, Base64DnsQueryAndDotStuffing) {
    char out[200];
    struct B64 {
        std::string in;
        uint32_t wrap;
        std::string want;
    };
    std::string sixty;
    for (int i = 0; i < 60; i++) sixty.push_back(char(i));
    const B64 cases[] = {
        {"plc@test.lan", 0, "cGxjQHRlc3QubGFu"},
        {"Pa55w0rd", 0, "UGE1NXcwcmQ="},
        {"ab", 0, "YWI="},
        {sixty, 1, "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4vMDEyMzQ1Njc4\r\nOTo7"},
    };
    for (const B64 &c : cases) {
        const uint32_t n =
            EtnEmailBase64Encd(reinterpret_cast<const uint8_t *>(c.in.data()), out, uint32_t(c.in.size()), c.wrap);
        EXPECT_EQ(std::string(out, n), c.want);
    }

    uint8_t q[1024];
    const uint32_t ql = EtnEmailDnsBuild("mail.test.lan", 0x0102, q);
    const std::vector<uint8_t> want = {0x01, 0x02, 0x01, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00,
                                       0x00, 4,    'm',  'a',  'i',  'l',  4,    't',  'e',  's',  't',
                                       3,    'l',  'a',  'n',  0,    0x00, 0x01, 0x00, 0x01};
    EXPECT_EQ(std::vector<uint8_t>(q, q + ql), want);
    EXPECT_EQ(EtnEmailDnsBuild("bad..name", 1, q), 0u);

    // Answers to that query: the question, then the records as written here.
    auto answer = [&](uint16_t id, uint8_t flags, uint8_t count, std::vector<uint8_t> recs) {
        std::vector<uint8_t> a(want);
        a[0] = uint8_t(id >> 8), a[1] = uint8_t(id);
        a[2] = flags, a[3] = 0x80;
        a[7] = count;
        for (uint8_t b : recs) a.push_back(b);
        return a;
    };
    const std::vector<uint8_t> a_rec = {0xC0, 12, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4, 10, 77, 0, 3};
    // CNAME "smtp" + pointer to "test.lan" (offset 17), then the A record under a full name
    const std::vector<uint8_t> cname = {0xC0, 12, 0, 5, 0, 1, 0, 0, 0, 60, 0, 7, 4, 's', 'm', 't', 'p', 0xC0, 17};
    const std::vector<uint8_t> full = {4, 's', 'm', 't', 'p', 0xC0, 17, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4, 10, 77, 0, 9};
    const std::vector<uint8_t> class3 = {0xC0, 12, 0, 1, 0, 3, 0, 0, 0, 60, 0, 4, 1, 2, 3, 4};
    const std::vector<uint8_t> long_a = {0xC0, 12, 0, 1, 0, 1, 0, 0, 0, 60, 0, 5, 1, 2, 3, 4, 5};
    std::vector<uint8_t> cut = a_rec;
    cut.resize(cut.size() - 1);
    std::vector<uint8_t> both = cname;
    for (uint8_t b : full) both.push_back(b);
    std::vector<uint8_t> skip3 = class3;
    for (uint8_t b : a_rec) skip3.push_back(b);
    struct A {
        const char *what;
        std::vector<uint8_t> bytes;
        uint32_t answer, address;
    };
    const A answers[] = {
        {"A record", answer(0x0102, 0x81, 1, a_rec), 1, 0x0A4D0003},
        {"CNAME skipped, A under a full name", answer(0x0102, 0x81, 2, both), 1, 0x0A4D0009},
        {"class 3 skipped", answer(0x0102, 0x81, 2, skip3), 1, 0x0A4D0003},
        {"length 5 is no address", answer(0x0102, 0x81, 1, long_a), 2, 0},
        {"no records", answer(0x0102, 0x81, 0, {}), 2, 0},
        {"not a response", answer(0x0102, 0x01, 1, a_rec), 2, 0},
        {"address cut short", answer(0x0102, 0x81, 1, cut), 2, 0},
        {"two records claimed, one there", answer(0x0102, 0x81, 2, class3), 2, 0},
        {"name past the bytes", answer(0x0102, 0x81, 1, {63, 'a', 'b', 'c'}), 2, 0},
        {"another query's answer", answer(0x0103, 0x81, 1, a_rec), 0, 0},
        {"eleven bytes", std::vector<uint8_t>(want.begin(), want.begin() + 11), 0, 0},
        {"twelve bytes of a query", std::vector<uint8_t>(want.begin(), want.begin() + 12), 2, 0},
    };
    for (const A &a : answers) {
        uint32_t addr = 0;
        EXPECT_EQ(EtnEmailDnsAnswer(a.bytes.data(), uint32_t(a.bytes.size()), 0x0102, &addr), a.answer) << a.what;
        EXPECT_EQ(addr, a.address) << a.what;
    }

    const std::string text = ".first\r\nmid.dle\r\n.\r\n..two\n.x";
    char st[64];
    const uint32_t sl = EtnEmailDotStuff(text.data(), uint32_t(text.size()), st, sizeof st, true);
    EXPECT_EQ(std::string(st, sl), "..first\r\nmid.dle\r\n..\r\n...two\n..x");
    EXPECT_EQ(EtnEmailDotStuff(text.data(), uint32_t(text.size()), st, 10, true), 11u);
    EXPECT_EQ(EtnEmailDotStuff(text.data(), uint32_t(text.size()), st, 32, true), 32u) << "exactly the room";

    // A register string: 7 characters in 8 bytes; at most 256 of a longer one.
    for (uint32_t i = 0; i < 150; i++) LT_SetW(R(100) + 16 * i, 0x4141);
    char reg[300];
    EXPECT_EQ(EtnEmailGetRegStr(R(100), reg, 8), 7u);
    EXPECT_STREQ(reg, "AAAAAAA");
    EXPECT_EQ(EtnEmailGetRegStr(R(100), reg, sizeof reg), 256u);
    for (uint32_t i = 0; i < 150; i++) LT_SetW(R(100) + 16 * i, 0);
}

TEST(Email, RepliesAreTakenWholeOverFragments) {
    struct R {
        std::string in;
        uint32_t code, used;
    };
    const R cases[] = {
        {"2", 0, 0},
        {"25", 0, 0},
        {"250-plc.test\r\n250-SIZE", 0, 0},
        {"250-plc.test\r\n250-SIZE 33554432\r\n250 HELP\r\n", 250, 43},
        {"220 ready\r\n334 VXNlcm5hbWU6\r\n", 220, 11},
        {"550 no such user\r\n", 550, 18},
        {"421\r\n", 421, 5},
        {"hello\r\n354 go on\r\n", 354, 18},
        {"5", 0, 0},
        {"45", 0, 0},
        // Every digit 0 and 9 at each place; a line of three digits and LF.
        {"099 odd\r\n", 99, 9},
        {"950 odd\r\n", 950, 9},
        {"500 no\r\n", 500, 8},
        {"290 odd\r\n", 290, 9},
        {"219 odd\r\n", 219, 9},
        {"250\n", 250, 4},
    };
    for (const R &c : cases) {
        uint32_t used = 0;
        EXPECT_EQ(EtnEmailReply(c.in.data(), uint32_t(c.in.size()), &used), c.code) << c.in;
        EXPECT_EQ(used, c.used) << c.in;
    }
}

// Messaging block: a 100-byte SMS section and an e-mail section of `size`
// bytes whose tables the caller may spoil.
std::vector<uint8_t> Block(uint32_t size, const char *magic, uint32_t contacts_size, uint32_t limit,
                           uint32_t fields_size, uint32_t rx_addr = 7020, uint32_t status_reg = 0) {
    std::vector<uint8_t> b(8 + 100 + size, 0);
    LE_Put32(&b[8], 100);
    std::memcpy(&b[12], "MSON", 4);
    uint8_t *s = &b[108];
    LE_Put32(s, size);
    std::memcpy(s + 4, magic, 4);
    const uint32_t base = 7000;
    LE_Put32(s + 8, base);
    LE_Put32(s + 12, contacts_size);
    for (unsigned off : {16u, 24u, 32u, 40u}) LE_Put32(s + off, base + 20);
    LE_Put32(s + 16, rx_addr);
    LE_Put32(s + 36, fields_size);
    LE_Put32(s + 44, limit);
    if (size >= 52) LE_Put32(s + 48, status_reg);
    return b;
}

// Each refusal sets status bit 0 and, when the section carries the e-mail
// magic, shows it in the status register the section names (%R500 here);
// a section of another magic names no register, which keeps its value.
TEST(Email, SectionChecksSetStatusBit0) {
    struct C {
        uint32_t size;
        const char *magic;
        uint32_t contacts, limit, fields;
        uint32_t status;
        uint8_t state;
        uint32_t reg;  // %R500..501 afterwards, preset 0xA5A5A5A5
        uint32_t rx = 7020;
    };
    const C cases[] = {
        {153, "LAME", 20, 0, 0, 0, EMC_ACTIVE, 0},
        {152, "LAME", 20, 0, 0, EM_ST_CONFIG, EMC_IDLE, 1},
        {52, "LAME", 20, 0, 0, EM_ST_CONFIG, EMC_IDLE, 1},  // just the status register
        {153, "LAMF", 20, 0, 0, EM_ST_CONFIG, EMC_IDLE, 0xA5A5A5A5},
        {153, "LAME", 20 * 3, 0, 0, EM_ST_CONFIG, EMC_IDLE, 1},    // contacts run past the section
        {153, "LAME", 20 * 300, 0, 0, EM_ST_CONFIG, EMC_IDLE, 1},  // more than 256 contacts
        {153, "LAME", 20, 100, 0, EM_ST_CONFIG, EMC_IDLE, 1},      // string limit past the section
        {153, "LAME", 20, 0, 12 * 2, 0, EMC_ACTIVE, 0},            // two data fields: inside
        {153, "LAME", 20, 0, 12 * 3, EM_ST_CONFIG, EMC_IDLE, 1},   // three run past the section
        {153, "LAME", 20, 0, 0, 0, EMC_ACTIVE, 0, 0},              // no receive commands, address 0
    };
    for (const C &c : cases) {
        const std::vector<uint8_t> b = Block(c.size, c.magic, c.contacts, c.limit, c.fields, c.rx, R(500));
        LT_SetD(R(500), 0xA5A5A5A5);
        sms_table_bl.fill(0);
        LE_Put32(&sms_table_bl[4], uint32_t(b.size() - 8));
        std::memcpy(sms_table_bl.data(), b.data(), b.size());
        LE_Put32(&sms_table_bl[4], uint32_t(b.size() - 8));
        ClearEmailConn();
        EtnEmailConn.conn_state = EMC_IDLE;
        LE_Put16(&plc_reg[2 * W_MODE], 2);
        EtnEmailScan(1);
        EXPECT_EQ(EtnEmailConn.status, c.status) << c.size << " " << c.contacts;
        EXPECT_EQ(EtnEmailConn.conn_state, c.state);
        EXPECT_EQ(LT_D(R(500)), c.reg) << c.size << " " << c.contacts;
    }
    // A 52-byte section at the very end of the store: its status register is
    // its last 4 bytes, and it is refused there.
    const std::vector<uint8_t> tail = Block(52, "LAME", 20, 0, 0, 7020, R(500));
    sms_table_bl.fill(0);
    LE_Put32(&sms_table_bl[4], uint32_t(SMS_TABLE_BL_SIZE - 8));
    LE_Put32(&sms_table_bl[8], uint32_t(SMS_TABLE_BL_SIZE - 52 - 8));
    std::memcpy(&sms_table_bl[SMS_TABLE_BL_SIZE - 52], &tail[108], 52);
    LT_SetD(R(500), 0xA5A5A5A5);
    ClearEmailConn();
    EtnEmailConn.conn_state = EMC_IDLE;
    EtnEmailScan(1);
    EXPECT_EQ(EtnEmailConn.status, EM_ST_CONFIG);
    EXPECT_EQ(LT_D(R(500)), 1u);
    // A message whose subject ends at the string limit (the last string) is inside.
    EmailBlock last;
    last.contacts = {{"a@b.lan", 1}};
    last.msgs = {{"Hi", "S", 1, M16(10), ""}};
    last.Install();
    ClearEmailConn();
    EtnEmailConn.conn_state = EMC_IDLE;
    EtnEmailScan(1);
    EXPECT_EQ(EtnEmailConn.status, 0u);
    EXPECT_EQ(EtnEmailConn.conn_state, EMC_ACTIVE);
    // The recipients are the group's contacts and no more: the 20 bytes
    // behind the one contact (the first message record) carry the group's
    // number (10, the second body's string offset) at the group's place.
    last.contacts = {{"a@b.lan", 10}};
    last.msgs = {{"Hi", "S", 10, M16(10), ""}, {"Yo", "T", 10, M16(11), ""}};
    last.Install();
    ClearEmailConn();
    EtnEmailConn.conn_state = EMC_IDLE;
    EtnEmailScan(1);
    ASSERT_EQ(EtnEmailConn.conn_state, EMC_ACTIVE);
    EtnEmailConn.msg = 0;
    const uint32_t composed = EtnEmailComposeMessage();
    EXPECT_NE(std::string(EtnEmailConn.data.data(), composed).find("\r\nTo: a@b.lan\r\nSubject: S\r\n"),
              std::string::npos);
    LE_Put16(&plc_reg[2 * W_MODE], 0);
    sms_table_bl.fill(0);
}

}  // namespace

namespace {

// A plain SMTP server on loopback, served from the test's loop: one reply
// per command line, the message up to its closing dot.
struct LoopSmtp {
    int ls = -1, cs = -1;
    uint16_t port = 0, peer_port = 0;
    std::string in, data, cmds;
    bool in_data = false, mute = false;  // mute: nothing more after STARTTLS
    int auth_step = 0;                   // AUTH LOGIN: user name, then password asked for
    std::string rcpt_reply = "250 fine\r\n";
    std::string quit_reply = "221 bye\r\n";
    std::size_t read_budget = SIZE_MAX;  // bytes taken per Pump (a server slow to read)
    explicit LoopSmtp(uint16_t want = 0, uint32_t addr = INADDR_LOOPBACK) {
        ls = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        const int one = 1;
        setsockopt(ls, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(want);
        a.sin_addr.s_addr = htonl(addr);
        socklen_t l = sizeof a;
        if (bind(ls, reinterpret_cast<sockaddr *>(&a), l) != 0 || listen(ls, 4) != 0 ||
            getsockname(ls, reinterpret_cast<sockaddr *>(&a), &l) != 0)
            return;
        port = ntohs(a.sin_port);
    }
    ~LoopSmtp() {
        if (cs >= 0) close(cs);
        if (ls >= 0) close(ls);
    }
    void Say(const char *t) { (void)!send(cs, t, std::strlen(t), MSG_NOSIGNAL); }
    void Pump() {
        if (cs < 0) {
            sockaddr_in p{};
            socklen_t l = sizeof p;
            cs = accept4(ls, reinterpret_cast<sockaddr *>(&p), &l, SOCK_NONBLOCK);
            if (cs < 0) return;
            peer_port = ntohs(p.sin_port);
            Say("220 loop ready\r\n");
        }
        char b[2048];
        ssize_t n;
        for (std::size_t taken = 0; taken < read_budget; taken += std::size_t(n)) {
            n = recv(cs, b, std::min(sizeof b, read_budget - taken), 0);
            if (n <= 0) break;
            in.append(b, std::size_t(n));
        }
        if (mute) {
            in.clear();
            return;
        }
        for (std::size_t e; (e = in.find(in_data ? "\r\n.\r\n" : "\r\n")) != std::string::npos;) {
            if (in_data) {
                data = in.substr(0, e);
                in.erase(0, e + 5);
                in_data = false;
                Say("250 queued\r\n");
                continue;
            }
            const std::string line = in.substr(0, e);
            in.erase(0, e + 2);
            cmds += line + "|";
            if (auth_step != 0) {
                Say(auth_step == 1 ? "334 UGFzc3dvcmQ6\r\n" : "235 accepted\r\n");
                auth_step = auth_step == 1 ? 2 : 0;
            } else if (line == "AUTH LOGIN") {
                Say("334 VXNlcm5hbWU6\r\n");
                auth_step = 1;
            } else if (line.rfind("RCPT TO:", 0) == 0) {
                Say(rcpt_reply.c_str());
            } else if (line == "DATA") {
                in_data = true;
                Say("354 go on\r\n");
            } else if (line == "STARTTLS") {
                Say("220 go ahead\r\n");
                mute = true;
                in.clear();
                return;
            } else {
                Say(line == "QUIT" ? quit_reply.c_str() : "250 fine\r\n");
            }
        }
    }
};

// A mail to the loop server at `port` on the far end of the test's network
// namespace, its status in %R500.
EmailBlock MailToPeer(uint16_t port) {
    EmailBlock b;
    b.status_reg = R(500);
    b.server = test_support::OwnNetns::kPeerAddr;
    b.port = port;
    b.domain = "plc.test.lan";
    b.sender = "plc@test.lan";
    return b;
}

// The mail over Ethernet stopped (the mode word at 0), twenty passes to close
// its connection, then its socket deleted.
void StopEthernetMail() {
    LE_Put16(&plc_reg[2 * W_MODE], 0);
    for (int k = 0; k < 20; k++) {
        EnetThread();
        EtnEmailScan(1);
    }
    _nx_tcp_socket_delete(&EtnEmailConn.sock);
}

class EmailLoop : public MsgTest {};

}  // namespace

// The socket layer's next client port is exchanged with register word 54541:
// a register value from 30000 up becomes the interface's, the mail leaves from
// that port, and the register follows the interface after the bind; a lower
// register value is replaced by the interface's.
TEST_F(EmailLoop, ClientPortFollowsWord54541AndHandshakeTimesOut) {
    // Namespaces of its own: eth0 on a veth pair, the mail servers at its far
    // end, the same interface and free ports on every host.
    test_support::OwnNetns netns;
    ASSERT_TRUE(netns.ok()) << netns.error();
    std::optional<LoopSmtp> srv_at, tls_at;
    {
        test_support::OwnNetns::PeerScope peer(netns);
        srv_at.emplace(0, test_support::OwnNetns::kPeerAddr);
        tls_at.emplace(587, test_support::OwnNetns::kPeerAddr);
    }
    LoopSmtp &srv = *srv_at, &tls = *tls_at;
    static std::array<uint8_t, 40 * 1600> mem;
    NX_IP ip;
    NX_PACKET_POOL pool;
    test_support::EthIp(ip, pool, mem, "mail loop pool");
    ip.nx_ip_link_up = 1;

    // A lower register value takes the interface's.
    ip.nx_ip_next_port = 45000;
    PlcWordSet(W_CLIENT_PORT, 1234);
    EtnEmailConn = EmailRec{};
    ASSERT_EQ(EtnEmailInit(&ip, &pool), 0u);
    EXPECT_EQ(PlcWord(W_CLIENT_PORT), 45000);
    EXPECT_EQ(ip.nx_ip_next_port, 45000u);
    _nx_tcp_socket_delete(&EtnEmailConn.sock);

    // A register value from 30000 up becomes the interface's; the mail's
    // connection leaves from it.
    ASSERT_NE(srv.port, 0);
    ip.nx_ip_next_port = 0;
    const uint16_t first = 47311;
    PlcWordSet(W_CLIENT_PORT, first);
    EtnEmailConn = EmailRec{};
    ASSERT_EQ(EtnEmailInit(&ip, &pool), 0u);
    EXPECT_EQ(ip.nx_ip_next_port, first);
    EXPECT_EQ(PlcWord(W_CLIENT_PORT), first);

    EmailBlock b = MailToPeer(srv.port);
    b.contacts = {{"alice@test.lan", 1}};
    b.msgs = {{"Level: xxxxx", "Alarm", 1, M16(10), "7:0:"}};
    b.fields = {{R(600), 16, 4, 5, 2, 0}};
    b.Install();
    LT_SetW(R(600), 77);
    LT_SetBit(M16(10), true);
    LE_Put16(&plc_reg[2 * W_MODE], 2);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while ((LT_Bit(M16(10)) || EtnEmailConn.sub == EMS_SMTP || EtnEmailConn.conn_state != EMC_ACTIVE) &&
           std::chrono::steady_clock::now() < end) {
        EnetThread();
        EtnEmailScan(1);
        srv.Pump();
    }
    EXPECT_FALSE(LT_Bit(M16(10)));
    EXPECT_EQ(srv.cmds, "EHLO plc.test.lan|MAIL FROM:<plc@test.lan>|RCPT TO:<alice@test.lan>|DATA|QUIT|");
    EXPECT_NE(srv.data.find("\r\n\r\nLevel: 00077\r\n"), std::string::npos) << srv.data;
    EXPECT_EQ(srv.peer_port, 47311);  // free in this namespace
    EXPECT_EQ(ip.nx_ip_next_port, 47312u);
    EXPECT_EQ(PlcWord(W_CLIENT_PORT), 47312);
    uint8_t st[4] = {1, 1, 1, 1};
    PlcReg_Get(st, R(500), 32);
    EXPECT_EQ(LE_Get32(st), 0u);

    // The mail to the server on port 587 with authentication, served from
    // this loop; after 59 s of silence it is still waiting (status 0), and
    // past 60 s it has ended with the status returned.
    auto pass = [&] {
        EnetThread();
        EtnEmailScan(1);
        tls.Pump();
    };
    auto send587 = [&] {
        b.port = 587;
        b.auth = 1;
        b.Install(0x2345);
        LT_SetBit(M16(10), true);
        LE_Put16(&plc_reg[2 * W_MODE], 2);
    };
    auto status_after_60s = [&](const char *waiting) {
        for (int k = 0; k < 50; k++) pass();
        test_support::FakeClock::AdvanceMs(59000);
        for (int k = 0; k < 20; k++) pass();
        PlcReg_Get(st, R(500), 32);
        EXPECT_EQ(LE_Get32(st), 0u) << waiting;
        test_support::FakeClock::AdvanceMs(1001);
        for (int k = 0; k < 20; k++) pass();
        PlcReg_Get(st, R(500), 32);
        return LE_Get32(st);
    };
    auto stop = [&] {
        LE_Put16(&plc_reg[2 * W_MODE], 0);
        for (int k = 0; k < 20; k++) pass();
        _nx_tcp_socket_delete(&EtnEmailConn.sock);
    };

    // Without the TLS library nothing is said on port 587: the greeting is
    // not taken, and after 60 s the mail ends with bit 10 at step 3.
    LE_Put16(&plc_reg[2 * W_MODE], 0);
    EtnEmailScan(1);
    _nx_tcp_socket_delete(&EtnEmailConn.sock);
    ASSERT_EQ(tls.port, 587);
    {
        static const char *const absent[] = {"libplc-absent-tls.so", nullptr};
        const char *const *libraries = plat_tls_libraries;
        PLAT_TlsClose();
        plat_tls_libraries = absent;
        test_support::FakeClock clock;
        EtnEmailConn = EmailRec{};
        ASSERT_EQ(EtnEmailInit(&ip, &pool), 0u);
        EXPECT_EQ(email_openssl_initialize(), -1);
        send587();
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (EtnEmailConn.smtp != kSmtpAwaitReply && std::chrono::steady_clock::now() < until) pass();
        EXPECT_EQ(status_after_60s("still waiting for a greeting it can take"), 0x00003400u);
        EXPECT_EQ(tls.cmds, "");
        stop();
        plat_tls_libraries = libraries;
        close(tls.cs);
        tls.cs = -1;
        tls.in.clear();
    }

    // Port 587 whose server answers STARTTLS and then says nothing: the
    // handshake waits, and after 60 s the mail ends with bit 10 at step 8.
    {
        test_support::FakeClock clock;
        EtnEmailConn = EmailRec{};
        ASSERT_EQ(EtnEmailInit(&ip, &pool), 0u);
        send587();
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!tls.mute && std::chrono::steady_clock::now() < until) pass();
        EXPECT_EQ(tls.cmds, "EHLO 587|STARTTLS|");
        EXPECT_EQ(status_after_60s("still in the handshake"), 0x00008400u);
        EXPECT_TRUE(LT_Bit(M16(10)));
        stop();
    }
    LE_Put16(&plc_reg[2 * W_MODE], 0);
    ClearEmailConn();
    sms_table_bl.fill(0);
}

// AUTH LOGIN (334, 334, 235) carries the mail on; a refused recipient ends it
// with the reply code in the status, whether 4xx or 5xx.
TEST_F(EmailLoop, AuthLoginAndRefusalsOfEitherClass) {
    test_support::OwnNetns netns;
    ASSERT_TRUE(netns.ok()) << netns.error();
    static std::array<uint8_t, 40 * 1600> mem;
    NX_IP ip;
    NX_PACKET_POOL pool;
    test_support::EthIp(ip, pool, mem, "mail auth pool");
    ip.nx_ip_link_up = 1;
    struct Case {
        const char *rcpt_reply;
        const char *cmds;
        uint32_t status;
    };
    const Case cases[] = {
        {"250 fine\r\n",
         "EHLO plc.test.lan|AUTH LOGIN|dXNlcg==|c2VjcmV0|MAIL FROM:<plc@test.lan>|RCPT TO:<ops90@test.lan>|DATA|QUIT|",
         0},
        // REPLY_ERR (bit 11), step 14 (RCPT TO) in bits 12-19, the code from bit 20.
        {"451 try later\r\n",
         "EHLO plc.test.lan|AUTH LOGIN|dXNlcg==|c2VjcmV0|MAIL FROM:<plc@test.lan>|RCPT TO:<ops90@test.lan>|",
         0x1C30E800},
        {"550 no such user\r\n",
         "EHLO plc.test.lan|AUTH LOGIN|dXNlcg==|c2VjcmV0|MAIL FROM:<plc@test.lan>|RCPT TO:<ops90@test.lan>|",
         0x2260E800},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.rcpt_reply);
        std::optional<LoopSmtp> at;
        {
            test_support::OwnNetns::PeerScope peer(netns);
            at.emplace(0, test_support::OwnNetns::kPeerAddr);
        }
        LoopSmtp &srv = *at;
        ASSERT_NE(srv.port, 0);
        srv.rcpt_reply = c.rcpt_reply;
        EtnEmailConn = EmailRec{};
        ASSERT_EQ(EtnEmailInit(&ip, &pool), 0u);
        EmailBlock b = MailToPeer(srv.port);
        b.contacts = {{"ops90@test.lan", 1}};  // the digits 0 and 9 are address characters
        b.msgs = {{"Hello", "Alarm", 1, M16(10), ""}};
        b.auth = 1;
        b.user = "user";
        b.password = "secret";
        b.Install();
        LT_SetD(R(500), 0);
        LT_SetBit(M16(10), true);
        LE_Put16(&plc_reg[2 * W_MODE], 2);
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (LT_D(R(500)) == 0 && srv.cmds.find("QUIT|") == std::string::npos &&
               std::chrono::steady_clock::now() < end) {
            EnetThread();
            EtnEmailScan(1);
            srv.Pump();
        }
        EXPECT_EQ(srv.cmds, c.cmds);
        EXPECT_EQ(LT_D(R(500)), c.status);
        StopEthernetMail();
    }
    ClearEmailConn();
    sms_table_bl.fill(0);
}

// The mail is done once its data is taken: the answer to QUIT is not
// awaited, and a server that never gives it leaves the status 0 and the
// client free for the next mail at once.
TEST_F(EmailLoop, AMailIsDoneWithoutTheAnswerToQuit) {
    test_support::OwnNetns netns;
    ASSERT_TRUE(netns.ok()) << netns.error();
    static std::array<uint8_t, 40 * 1600> mem;
    NX_IP ip;
    NX_PACKET_POOL pool;
    test_support::EthIp(ip, pool, mem, "mail quit pool");
    ip.nx_ip_link_up = 1;
    std::optional<LoopSmtp> at;
    {
        test_support::OwnNetns::PeerScope peer(netns);
        at.emplace(0, test_support::OwnNetns::kPeerAddr);
    }
    LoopSmtp &srv = *at;
    ASSERT_NE(srv.port, 0);
    srv.quit_reply = "";
    test_support::FakeClock clock;
    EtnEmailConn = EmailRec{};
    ASSERT_EQ(EtnEmailInit(&ip, &pool), 0u);
    EmailBlock b = MailToPeer(srv.port);
    b.contacts = {{"ops@test.lan", 1}};
    b.msgs = {{"Hello", "Alarm", 1, M16(10), ""}};
    b.Install();
    LT_SetD(R(500), 0xA5A5A5A5);
    LT_SetBit(M16(10), true);
    LE_Put16(&plc_reg[2 * W_MODE], 2);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while ((LT_Bit(M16(10)) || EtnEmailConn.sub == EMS_SMTP || EtnEmailConn.conn_state != EMC_ACTIVE) &&
           std::chrono::steady_clock::now() < end) {
        EnetThread();
        EtnEmailScan(1);
        srv.Pump();
    }
    EXPECT_FALSE(LT_Bit(M16(10)));
    EXPECT_EQ(EtnEmailConn.sub, EMS_TRIGGER);
    EXPECT_EQ(EtnEmailConn.smtp, kSmtpClosed);
    EXPECT_EQ(srv.cmds, "EHLO plc.test.lan|MAIL FROM:<plc@test.lan>|RCPT TO:<ops@test.lan>|DATA|QUIT|");
    EXPECT_EQ(LT_D(R(500)), 0u);
    StopEthernetMail();
    ClearEmailConn();
    sms_table_bl.fill(0);
}

namespace {
// Base64 text (line breaks skipped) to its bytes.
std::string FromBase64(const std::string &t) {
    const std::string abc = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    uint32_t acc = 0;
    int bits = 0;
    for (const char c : t) {
        const std::size_t v = abc.find(c);
        if (v == std::string::npos) continue;  // line breaks, padding
        acc = (acc << 6) | uint32_t(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(char((acc >> bits) & 0xFF));
        }
    }
    return out;
}
}  // namespace

// Attachments over the cellular modem: 342-byte reads, a 2 s pause before the
// first file, 0.8 s after the part's head before the first read, and 1 s
// after each read before its bytes are encoded and sent. The mailbox's e-mail
// channel is answered here as the card file manager would.
TEST_F(EmailLoop, AttachmentReadsArePacedOnTheModem) {
    const ModemMailCleanup cleanup;
    EmailBlock b;
    b.contacts = {{"a@b.lan", 1}};
    b.msgs = {{"Hi", "S", 1, M16(10), "", "A:\\R.BIN", 1}};
    b.server = 0x0A4D0003;
    b.flags = 0x01;  // through the cellular modem
    b.Install();
    ASSERT_NO_FATAL_FAILURE(StartModemMail());
    ASSERT_TRUE(EtnEmailConn.flags & EMF_MODEM);
    dpram[DP_MAIL_ACK] = dpram[DP_MAIL_REQ];
    EtnEmailConn.sub = EMS_SMTP;
    EtnEmailConn.smtp = kSmtpMessage;
    std::string file;
    for (int k = 0; k < 700; k++) file.push_back(char(k * 7));
    struct Req {
        uint8_t op;
        uint32_t size, at, sent_at;
    };
    std::vector<Req> reqs;
    std::string out;
    std::size_t pos = 0;
    for (uint32_t t = 0; t == 0 || (t < 200000 && EtnEmailConn.smtp == kSmtpAttach); t += 100) {
        EtnEmailScan(0);
        SocketInfo &s = socket_info_st[2];
        if (s.tx_len) {  // the module takes what was handed to the socket
            out.append(reinterpret_cast<const char *>(s.tx_ptr), s.tx_len);
            s.tx_len = 0;
            if (!reqs.empty() && reqs.back().op == 6 && reqs.back().sent_at == 0) reqs.back().sent_at = t;
        }
        if (dpram[DP_MAIL_REQ] != dpram[DP_MAIL_ACK]) {
            const uint8_t op = dpram[DP_MAIL_REQ + DP_LOG_OP];
            const uint32_t size = LE_Get32(&dpram[DP_MAIL_REQ + DP_LOG_P1 + 8]);
            reqs.push_back({op, size, t, 0});
            if (op == 6) {
                const uint32_t n = uint32_t(std::min<std::size_t>(size, file.size() - pos));
                std::memcpy(&dpram[DP_MAIL_DATA], file.data() + pos, n);
                pos += n;
                cfmLogWritten[2] = n;
            }
            LE_Put16(&dpram[DP_MAIL_RES], 0);
            dpram[DP_MAIL_ACK] = dpram[DP_MAIL_REQ];
        }
        LA_TimeAdvance(100);
    }
    ASSERT_EQ(reqs.size(), 5u);  // open, three reads, close
    EXPECT_EQ(reqs[0].op, 3);
    EXPECT_GE(reqs[0].at, 20000u);  // the first pause
    EXPECT_LT(reqs[0].at, 20000u + 300);
    for (uint32_t k = 1; k <= 3; k++) {
        SCOPED_TRACE(k);
        EXPECT_EQ(reqs[k].op, 6);
        EXPECT_EQ(reqs[k].size, 342u);
        EXPECT_GE(reqs[k].sent_at, reqs[k].at + 10000u);  // 1 s after the read
        EXPECT_LT(reqs[k].sent_at, reqs[k].at + 10000u + 300);
    }
    EXPECT_GE(reqs[1].at, reqs[0].at + 8000u);  // 0.8 s after the head
    EXPECT_LT(reqs[1].at, reqs[0].at + 8000u + 300);
    EXPECT_EQ(reqs[4].op, 5);
    // The part carries the whole file.
    const std::size_t head = out.find("filename=\"R.BIN\"\r\n\r\n");
    ASSERT_NE(head, std::string::npos);
    std::string b64 = out.substr(head + 20);
    b64 = b64.substr(0, b64.find("\r\n--"));
    std::string plain;
    for (char c : b64)
        if (c != '\r' && c != '\n') plain.push_back(c);
    EXPECT_EQ(plain.size(), 456u + 456u + 24u);  // 342, 342 and 16 bytes, each piece encoded on its own
    // Decoded here, piece by piece (the last one padded): the file's bytes.
    EXPECT_TRUE(FromBase64(plain.substr(0, 456)) == file.substr(0, 342));
    EXPECT_TRUE(FromBase64(plain.substr(456, 456)) == file.substr(342, 342));
    EXPECT_TRUE(FromBase64(plain.substr(912)) == file.substr(684));
    EXPECT_EQ(plain.substr(912), "tLvCydDX3uXs8/oBCA8WHQ==");  // by python's base64 module
}

// Over the modem a reply read in pieces of the buffer limit: an EHLO reply
// whose "250-" lines together run past 1380 bytes is still taken at its
// last line, and the mail goes on with MAIL FROM.
TEST_F(EmailLoop, ALongMultiLineReplyOnTheModemIsTakenWhole) {
    const ModemMailCleanup cleanup;
    EmailBlock b;
    b.contacts = {{"a@b.lan", 1}};
    b.msgs = {{"Hi", "S", 1, M16(10), ""}};
    b.server = 0x0A4D0003;
    b.sender = "plc@b.lan";
    b.flags = 0x01;  // through the cellular modem
    b.Install();
    ASSERT_NO_FATAL_FAILURE(StartModemMail());
    EtnEmailConn.sub = EMS_SMTP;
    EtnEmailConn.smtp = kSmtpAwaitReply;
    EtnEmailConn.cmd = kSmtpEhlo;
    EtnEmailConn.next = kSmtpMailFrom;
    EtnEmailConn.timer_len = 0;
    // 30 lines of 49 bytes (1470) and the last line: 1478 bytes.
    std::string reply;
    for (int k = 0; k < 30; k++)
        reply += "250-EXTENSION-NUMBER-" + std::to_string(10 + k) + "-XXXXXXXXXXXXXXXXXXXXXXX\r\n";
    reply += "250 OK\r\n";
    ASSERT_EQ(reply.size(), 1478u);
    SocketInfo &s = socket_info_st[2];
    std::memcpy(s.data.data(), reply.data(), reply.size());
    s.read_idx = 0;
    s.unread = uint16_t(reply.size());
    std::string out;
    for (int k = 0; k < 6; k++) {
        EtnEmailScan(0);
        if (s.tx_len) {
            out.append(reinterpret_cast<const char *>(s.tx_ptr), s.tx_len);
            s.tx_len = 0;
        }
    }
    EXPECT_EQ(s.unread, 0u);
    EXPECT_EQ(EtnEmailConn.status, 0u);
    EXPECT_EQ(out, "MAIL FROM:<plc@b.lan>\r\n");
    EXPECT_EQ(EtnEmailConn.smtp, kSmtpAwaitReply);
    EXPECT_EQ(EtnEmailConn.cmd, kSmtpMailFrom);
}

// Over the modem QUIT leaves before the disconnect: while the module has
// not taken it, the data socket stays kept; once it went out the socket is
// let go and the mail is done, its trigger cleared.
TEST_F(EmailLoop, OnTheModemQuitLeavesBeforeTheDisconnect) {
    const ModemMailCleanup cleanup;
    EmailBlock b;
    b.contacts = {{"a@b.lan", 1}};
    b.msgs = {{"Hi", "S", 1, M16(10), ""}};
    b.server = 0x0A4D0003;
    b.flags = 0x01;  // through the cellular modem
    b.Install();
    ASSERT_NO_FATAL_FAILURE(StartModemMail());
    SocketInfo &s = socket_info_st[2];
    s.flags = SOCKF_KEEP;
    static const uint8_t earlier[1] = {'x'};
    s.tx_ptr = earlier;  // the module is still busy with an earlier piece
    s.tx_len = 1;
    LT_SetBit(M16(10), true);
    EtnEmailConn.sub = EMS_SMTP;
    EtnEmailConn.smtp = kSmtpQuit;
    EtnEmailConn.msg = 0;
    for (int k = 0; k < 5; k++) EtnEmailScan(0);
    EXPECT_FALSE(LT_Bit(M16(10)));
    EXPECT_EQ(EtnEmailConn.smtp, kSmtpClose);
    EXPECT_EQ(s.flags & SOCKF_KEEP, SOCKF_KEEP);
    s.tx_len = 0;  // taken
    s.flags = SOCKF_KEEP;
    EtnEmailScan(0);
    ASSERT_EQ(s.tx_len, 6u);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(s.tx_ptr), s.tx_len), "QUIT\r\n");
    EXPECT_EQ(EtnEmailConn.smtp, kSmtpClose);
    EXPECT_EQ(s.flags & SOCKF_KEEP, SOCKF_KEEP);
    s.tx_len = 0;  // gone out
    EtnEmailScan(0);
    EXPECT_EQ(s.flags & SOCKF_KEEP, 0);
    EXPECT_EQ(EtnEmailConn.smtp, kSmtpClosed);
    EXPECT_EQ(EtnEmailConn.status, 0u);
}

// A folder attachment whose folder cannot be listed, or lists no file, adds
// no part and no error line: the mail ends with its closing boundary.
TEST_F(EmailLoop, AnEmptyOrUnlistableFolderAddsNoErrorLine) {
    const ModemMailCleanup cleanup;
    for (const int16_t result : {int16_t(0), int16_t(5)}) {
        SCOPED_TRACE(result);
        EmailBlock b;
        b.contacts = {{"a@b.lan", 1}};
        b.msgs = {{"Hi", "S", 1, M16(10), "", "A:\\LOGS\\", 2}};
        b.server = 0x0A4D0003;
        b.flags = 0x01;  // through the cellular modem
        b.Install();
        ASSERT_NO_FATAL_FAILURE(StartModemMail());
        dpram[DP_MAIL_ACK] = dpram[DP_MAIL_REQ];
        EtnEmailConn.sub = EMS_SMTP;
        EtnEmailConn.smtp = kSmtpMessage;
        std::string out;
        std::vector<uint8_t> ops;
        for (uint32_t t = 0; t == 0 || (t < 200000 && EtnEmailConn.smtp == kSmtpAttach); t += 100) {
            EtnEmailScan(0);
            SocketInfo &s = socket_info_st[2];
            if (s.tx_len) {
                out.append(reinterpret_cast<const char *>(s.tx_ptr), s.tx_len);
                s.tx_len = 0;
            }
            if (dpram[DP_MAIL_REQ] != dpram[DP_MAIL_ACK]) {
                ops.push_back(dpram[DP_MAIL_REQ + DP_LOG_OP]);
                cfmLogWritten[2] = 0;  // an empty listing
                LE_Put16(&dpram[DP_MAIL_RES], uint16_t(result));
                dpram[DP_MAIL_ACK] = dpram[DP_MAIL_REQ];
            }
            LA_TimeAdvance(100);
        }
        EXPECT_EQ(ops.size(), 1u);
        EXPECT_NE(EtnEmailConn.smtp, kSmtpAttach);
        EXPECT_EQ(out.find("Attachment Error"), std::string::npos) << out;
        const std::string end = "\r\n--KtUVoLDO__KV_VoLdOKtU--\r\n";
        ASSERT_GE(out.size(), end.size());
        EXPECT_EQ(out.substr(out.size() - end.size()), end) << out;
        EXPECT_EQ(EtnEmailConn.status, 0u);
    }
}

// An attachment of 120 KB to a server that reads 256 bytes at a time, its
// receive buffer and the client's send buffer small: the reads of the file
// wait for room on the connection, and the whole file arrives.
TEST_F(EmailLoop, AnAttachmentReachesAServerSlowToRead) {
    test_support::OwnNetns netns;
    ASSERT_TRUE(netns.ok()) << netns.error();
    static std::array<uint8_t, 40 * 1600> mem;
    NX_IP ip;
    NX_PACKET_POOL pool;
    test_support::EthIp(ip, pool, mem, "mail slow pool");
    ip.nx_ip_link_up = 1;
    std::optional<LoopSmtp> at;
    {
        test_support::OwnNetns::PeerScope peer(netns);
        at.emplace(0, test_support::OwnNetns::kPeerAddr);
    }
    LoopSmtp &srv = *at;
    ASSERT_NE(srv.port, 0);
    const int small = 4096;
    const int tiny = 1024;  // the server's window stays small: its slow reads leave the connection full
    setsockopt(srv.ls, SOL_SOCKET, SO_RCVBUF, &tiny, sizeof tiny);
    EtnEmailConn = EmailRec{};
    ASSERT_EQ(EtnEmailInit(&ip, &pool), 0u);
    EmailBlock b = MailToPeer(srv.port);
    b.contacts = {{"ops@test.lan", 1}};
    b.msgs = {{"Hello", "Log", 1, M16(10), "", "A:\\R.BIN", 1}};
    b.Install();
    std::string file;
    for (int k = 0; k < 120372; k++) file.push_back(char((k * 7 + k / 251) & 0xFF));
    std::size_t pos = 0;
    dpram[DP_MAIL_ACK] = dpram[DP_MAIL_REQ];
    LT_SetD(R(500), 0);
    LT_SetBit(M16(10), true);
    LE_Put16(&plc_reg[2 * W_MODE], 2);
    bool shrunk = false;
    unsigned passes = 0, held = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (LT_D(R(500)) == 0 && srv.data.empty() && std::chrono::steady_clock::now() < end) {
        EnetThread();
        EtnEmailScan(1);
        if (!shrunk && EtnEmailConn.sock.fd >= 0 && EtnEmailConn.sock.state == NX_TCP_ESTABLISHED) {
            setsockopt(EtnEmailConn.sock.fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
            shrunk = true;
        }
        if (dpram[DP_MAIL_REQ] != dpram[DP_MAIL_ACK]) {
            const uint8_t op = dpram[DP_MAIL_REQ + DP_LOG_OP];
            if (op == 6) {
                const uint32_t size = LE_Get32(&dpram[DP_MAIL_REQ + DP_LOG_P1 + 8]);
                const uint32_t n = uint32_t(std::min<std::size_t>(size, file.size() - pos));
                std::memcpy(&dpram[DP_MAIL_DATA], file.data() + pos, n);
                pos += n;
                cfmLogWritten[2] = n;
            }
            LE_Put16(&dpram[DP_MAIL_RES], 0);
            dpram[DP_MAIL_ACK] = dpram[DP_MAIL_REQ];
        }
        // In the data the server reads 256 bytes every eighth pass only; the
        // closing boundary and the data end, like the reads, go out only
        // when the connection has room, and the mail arrives whole.
        if (srv.in_data) srv.read_budget = 256;
        // Once the whole file is read, the server reads nothing for 40 passes.
        if (pos == file.size() && held < 40) {
            held++;
            continue;
        }
        if (!srv.in_data || ++passes % 8 == 0) srv.Pump();
    }
    EXPECT_TRUE(shrunk);
    EXPECT_NE(srv.data.find("\r\n--KtUVoLDO__KV_VoLdOKtU--\r\n"), std::string::npos);
    EXPECT_EQ(LT_D(R(500)), 0u);
    const std::size_t head = srv.data.find("filename=\"R.BIN\"\r\n\r\n");
    ASSERT_NE(head, std::string::npos);
    std::string b64 = srv.data.substr(head + 20);
    b64 = b64.substr(0, b64.find("\r\n--"));
    EXPECT_TRUE(FromBase64(b64) == file) << FromBase64(b64).size();
    StopEthernetMail();
    ClearEmailConn();
    sms_table_bl.fill(0);
}

namespace {
// A mail over the cellular modem set up at the head and body, the module's
// data socket 2 connected (the mailbox channel free).
void ModemMailAtTheMessage(const EmailBlock::Msg &m) {
    EmailBlock b;
    b.contacts = {{"a@b.lan", 1}};
    b.msgs = {m};
    b.server = 0x0A4D0003;
    b.status_reg = R(500);
    b.flags = 0x01;  // through the cellular modem
    b.Install();
    LT_SetD(R(500), 0);
    LT_SetBit(M16(10), true);
    ASSERT_NO_FATAL_FAILURE(StartModemMail());
    ASSERT_TRUE(EtnEmailConn.flags & EMF_MODEM);
    dpram[DP_MAIL_ACK] = dpram[DP_MAIL_REQ];
    EtnEmailConn.sub = EMS_SMTP;
    EtnEmailConn.smtp = kSmtpMessage;
}

// Answers a request posted on the mailbox's e-mail channel: every request
// with `result`, reads with no bytes.
void AnswerMailbox(int16_t result) {
    if (dpram[DP_MAIL_REQ] == dpram[DP_MAIL_ACK]) return;
    cfmLogWritten[2] = 0;
    LE_Put16(&dpram[DP_MAIL_RES], uint16_t(result));
    dpram[DP_MAIL_ACK] = dpram[DP_MAIL_REQ];
}
}  // namespace

// Over the modem a module that never takes another byte (its socket still
// busy with an earlier piece) keeps the mail's texts queued: the part's
// head, the error line and the data end each wait for the queue to drain,
// but no longer than 60 s; then the mail fails with the send-failure bit at
// its step (17 in the attachments, 18 at the data end), as a refused send
// would, and is closed.
TEST_F(EmailLoop, OnTheModemAQueueThatNeverDrainsFailsTheMailAfter60s) {
    const ModemMailCleanup cleanup;
    struct Case {
        const char *path;
        uint8_t kind;
        int16_t open;     // the mailbox's answer to the file's open
        uint8_t smtp;     // where the mail waits
        uint8_t att_sub;  // (in the attachments)
        uint32_t status;  // bit 6 and the step, worked out by hand
    } const cases[] = {
        {"A:\\R.BIN", 1, 0, kSmtpAttach, kAttHead, 0x00011040u},  // 0x40 | 17 << 12
        {"A:\\R.BIN", 1, 5, kSmtpAttach, kAttEnd, 0x00011040u},   // the error line waits
        {"", 0, 0, kSmtpEndData, 0, 0x00012040u},                 // 0x40 | 18 << 12
    };
    static const uint8_t earlier[1] = {'x'};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.path);
        SCOPED_TRACE(int(c.smtp));
        ModemMailAtTheMessage({"Hi", "S", 1, M16(10), "", c.path, c.kind});
        SocketInfo &s = socket_info_st[2];
        s.tx_ptr = earlier;  // the module is busy with an earlier piece for good
        s.tx_len = 1;
        auto waiting = [&] {
            return EtnEmailConn.smtp == c.smtp && (c.smtp != kSmtpAttach || EtnEmailConn.att_sub == c.att_sub);
        };
        for (uint32_t t = 0; t < 100000 && !waiting(); t += 100) {
            EtnEmailScan(0);
            AnswerMailbox(c.open);
            LA_TimeAdvance(100);
        }
        ASSERT_TRUE(waiting());
        EtnEmailScan(0);  // the wait begins
        LA_TimeAdvance(599999);
        for (int k = 0; k < 3; k++) EtnEmailScan(0);
        EXPECT_TRUE(waiting());
        EXPECT_EQ(EtnEmailConn.status, 0u);
        EXPECT_EQ(LT_D(R(500)), 0u);
        LA_TimeAdvance(1);  // 60 s
        EtnEmailScan(0);
        EXPECT_EQ(EtnEmailConn.smtp, kSmtpClose);
        EXPECT_EQ(EtnEmailConn.reported, c.status);
        EXPECT_EQ(LT_D(R(500)), c.status);
        EXPECT_TRUE(LT_Bit(M16(10)));  // not sent: its trigger stays
    }
    // A slow line that takes a piece every 50 s: each piece it takes starts
    // the 60 s again, and after 200 s the data end goes out, nothing failed.
    {
        ModemMailAtTheMessage({std::string(5000, 'b'), "S", 1, M16(10), ""});
        SocketInfo &s = socket_info_st[2];
        s.tx_ptr = earlier;
        s.tx_len = 1;
        EtnEmailScan(0);
        ASSERT_EQ(EtnEmailConn.smtp, kSmtpEndData);
        unsigned taken = 0;
        for (int k = 0; k < 10 && EtnEmailConn.smtp == kSmtpEndData; k++) {
            LA_TimeAdvance(500000);  // 50 s
            EtnEmailScan(0);
            EXPECT_EQ(EtnEmailConn.status, 0u) << k;
            if (s.tx_len) taken++;
            s.tx_len = 0;  // the module takes what it holds
            EtnEmailScan(0);
        }
        // The earlier piece, then 1499 bytes a time of the about 5.2 KB
        // queued (head and body): after the fourth take, 200 s on, the
        // last 0.7 KB fits the socket and the data end follows.
        EXPECT_EQ(taken, 4u);
        EXPECT_EQ(EtnEmailConn.smtp, kSmtpAwaitReply);
        EXPECT_EQ(EtnEmailConn.cmd, kSmtpEndData);
        EXPECT_EQ(EtnEmailConn.status, 0u);
    }
}

// The part's head names the file by its last path component: behind the
// last "\", and behind the drive ("B:") of a path without a folder. A ":"
// further on is no separator of the media's paths and stays in the name.
TEST_F(EmailLoop, ThePartHeadNamesTheFileWithoutFolderOrDrive) {
    const ModemMailCleanup cleanup;
    struct Case {
        const char *path, *name;
    } const cases[] = {
        {"A:\\LOGS\\R.BIN", "R.BIN"},
        {"B:R.BIN", "R.BIN"},
        {"A:\\LOGS\\R:1.BIN", "R:1.BIN"},
        {"R.BIN", "R.BIN"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.path);
        ModemMailAtTheMessage({"Hi", "S", 1, M16(10), "", c.path, 1});
        std::string out;
        for (uint32_t t = 0; t == 0 || (t < 200000 && EtnEmailConn.smtp == kSmtpAttach); t += 100) {
            EtnEmailScan(0);
            SocketInfo &s = socket_info_st[2];
            if (s.tx_len) {
                out.append(reinterpret_cast<const char *>(s.tx_ptr), s.tx_len);
                s.tx_len = 0;
            }
            AnswerMailbox(0);
            LA_TimeAdvance(100);
        }
        EXPECT_EQ(EtnEmailConn.smtp, kSmtpEndData);
        EXPECT_NE(out.find(std::string("\r\n\tfilename=\"") + c.name + "\"\r\n\r\n"), std::string::npos) << out;
        EXPECT_EQ(EtnEmailConn.status, 0u);
    }
}

namespace {
// A mail with an attachment to a server on the far end of an own network
// namespace, served from the test's loop; the mailbox channel is answered
// here: `open` answers the file's open, reads give the file.
struct EthAttachMail {
    test_support::OwnNetns netns;
    std::array<uint8_t, 40 * 1600> mem{};
    NX_IP ip{};
    NX_PACKET_POOL pool{};
    std::optional<LoopSmtp> at;
    std::string file;
    std::size_t pos = 0;
    int16_t open = 0;
    bool Start(const char *path) {
        if (!netns.ok()) return false;
        test_support::EthIp(ip, pool, mem, "mail stall pool");
        ip.nx_ip_link_up = 1;
        {
            test_support::OwnNetns::PeerScope peer(netns);
            at.emplace(0, test_support::OwnNetns::kPeerAddr);
        }
        if (at->port == 0) return false;
        const int tiny = 1024;
        setsockopt(at->ls, SOL_SOCKET, SO_RCVBUF, &tiny, sizeof tiny);
        EtnEmailConn = EmailRec{};
        if (EtnEmailInit(&ip, &pool) != 0) return false;
        EmailBlock b = MailToPeer(at->port);
        b.contacts = {{"ops@test.lan", 1}};
        b.msgs = {{"Hello", "Log", 1, M16(10), "", path, 1}};
        b.Install();
        dpram[DP_MAIL_ACK] = dpram[DP_MAIL_REQ];
        LT_SetD(R(500), 0);
        LT_SetBit(M16(10), true);
        LE_Put16(&plc_reg[2 * W_MODE], 2);
        return true;
    }
    void Mailbox() {
        if (dpram[DP_MAIL_REQ] == dpram[DP_MAIL_ACK]) return;
        int16_t r = 0;
        const uint8_t op = dpram[DP_MAIL_REQ + DP_LOG_OP];
        if (op == 3) r = open;
        if (op == 6) {
            const uint32_t size = LE_Get32(&dpram[DP_MAIL_REQ + DP_LOG_P1 + 8]);
            const uint32_t n = uint32_t(std::min<std::size_t>(size, file.size() - pos));
            std::memcpy(&dpram[DP_MAIL_DATA], file.data() + pos, n);
            pos += n;
            cfmLogWritten[2] = n;
        }
        LE_Put16(&dpram[DP_MAIL_RES], uint16_t(r));
        dpram[DP_MAIL_ACK] = dpram[DP_MAIL_REQ];
    }
    void Stop() {
        StopEthernetMail();
        ClearEmailConn();
        sms_table_bl.fill(0);
    }
};
}  // namespace

// A server that takes the mail up to its data and then reads no more, the
// connection staying up: the attachment's reads wait for room, but no
// longer than 60 s; then the mail fails with the send-failure bit at step
// 17 (the attachments), 0x00011040, and is closed, its trigger kept.
TEST_F(EmailLoop, AServerThatStopsReadingFailsTheAttachmentAfter60s) {
    test_support::FakeClock clock;
    EthAttachMail m;
    for (int k = 0; k < 120372; k++) m.file.push_back(char((k * 7 + k / 251) & 0xFF));
    ASSERT_TRUE(m.Start("A:\\R.BIN")) << m.netns.error();
    LoopSmtp &srv = *m.at;
    const int small = 4096;
    bool shrunk = false;
    // Up to the data the server answers; then it reads nothing. The client
    // reads the file until the connection is full and stays so.
    std::size_t last = 0;
    unsigned still = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (still < 200 && std::chrono::steady_clock::now() < end) {
        EnetThread();
        EtnEmailScan(1);
        if (!shrunk && EtnEmailConn.sock.fd >= 0 && EtnEmailConn.sock.state == NX_TCP_ESTABLISHED) {
            setsockopt(EtnEmailConn.sock.fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
            shrunk = true;
        }
        m.Mailbox();
        if (!srv.in_data) srv.Pump();
        still = m.pos > 0 && m.pos == last ? still + 1 : 0;
        last = m.pos;
    }
    ASSERT_TRUE(shrunk);
    ASSERT_EQ(still, 200u);
    ASSERT_LT(m.pos, m.file.size());
    EXPECT_EQ(EtnEmailConn.smtp, kSmtpAttach);
    EXPECT_EQ(EtnEmailConn.att_sub, kAttRead);
    test_support::FakeClock::AdvanceMs(59999);
    for (int k = 0; k < 20; k++) {
        EnetThread();
        EtnEmailScan(1);
    }
    EXPECT_EQ(EtnEmailConn.smtp, kSmtpAttach);
    EXPECT_EQ(LT_D(R(500)), 0u);
    test_support::FakeClock::AdvanceMs(1);
    for (int k = 0; k < 5; k++) {
        EnetThread();
        EtnEmailScan(1);
    }
    EXPECT_EQ(LT_D(R(500)), 0x00011040u);
    EXPECT_NE(EtnEmailConn.conn_state, EMC_ACTIVE);
    EXPECT_TRUE(LT_Bit(M16(10)));
    EXPECT_TRUE(srv.data.empty());
    m.Stop();
}

// A file that cannot be opened ends the attachments with the error line and
// then the closing boundary, each its own send with its own wait for room: a
// connection left full by the error line holds the boundary back rather than
// failing the mail, and the mail then arrives whole.
TEST_F(EmailLoop, TheErrorLineAndTheClosingBoundaryWaitForRoomApart) {
    EthAttachMail m;
    m.open = 5;
    ASSERT_TRUE(m.Start("A:\\NONE.BIN")) << m.netns.error();
    LoopSmtp &srv = *m.at;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!(EtnEmailConn.smtp == kSmtpAttach && EtnEmailConn.att_sub == kAttEnd) &&
           std::chrono::steady_clock::now() < end) {
        EnetThread();
        EtnEmailScan(1);
        m.Mailbox();
        srv.Pump();
    }
    ASSERT_EQ(EtnEmailConn.att_sub, kAttEnd);
    EtnEmailScan(1);  // the error line
    EXPECT_EQ(EtnEmailConn.smtp, kSmtpAttach);
    // The send left the connection full, as the socket layer marks it.
    EtnEmailConn.sock.writable = 0;
    EtnEmailConn.sock.transmit_state = 2;
    for (int k = 0; k < 5; k++) EtnEmailScan(1);
    EXPECT_EQ(EtnEmailConn.smtp, kSmtpAttach);
    EXPECT_EQ(EtnEmailConn.status, 0u);
    // Room again, as the readiness set reports it.
    EtnEmailConn.sock.writable = 1;
    EtnEmailConn.sock.transmit_state = 0;
    end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (srv.data.empty() && LT_D(R(500)) == 0 && std::chrono::steady_clock::now() < end) {
        EnetThread();
        EtnEmailScan(1);
        srv.Pump();
    }
    const std::string tail = "\r\n\r\n\r\nAttachment Error:1000\r\n\r\n--KtUVoLDO__KV_VoLdOKtU--\r\n";
    ASSERT_GE(srv.data.size(), tail.size());
    EXPECT_EQ(srv.data.substr(srv.data.size() - tail.size()), tail);
    EXPECT_EQ(LT_D(R(500)), 0u);
    m.Stop();
}

// A mail that ends in the middle of its attachment leaves no file open on
// the card (an open file keeps the card from being removed or formatted):
// the client closes it through the mailbox channel, once the channel is
// free. Over the modem: the module takes nothing more, the part's head
// waits 60 s and the mail fails with the file open; and the controller
// leaves run mode while a read is still unanswered.
TEST_F(EmailLoop, AMailEndedInItsAttachmentClosesTheFile) {
    const ModemMailCleanup cleanup;
    static const uint8_t earlier[1] = {'x'};
    // The head never goes out: after the failure a close (5) follows the
    // open (3).
    {
        ModemMailAtTheMessage({"Hi", "S", 1, M16(10), "", "A:\\R.BIN", 1});
        SocketInfo &s = socket_info_st[2];
        s.tx_ptr = earlier;  // the module is busy with an earlier piece for good
        s.tx_len = 1;
        std::vector<uint8_t> ops;
        auto pass = [&] {
            EtnEmailScan(0);
            if (dpram[DP_MAIL_REQ] != dpram[DP_MAIL_ACK]) ops.push_back(dpram[DP_MAIL_REQ + DP_LOG_OP]);
            AnswerMailbox(0);
        };
        for (uint32_t t = 0; t < 100000 && EtnEmailConn.att_sub != kAttHead; t += 100) {
            pass();
            LA_TimeAdvance(100);
        }
        ASSERT_EQ(EtnEmailConn.att_sub, kAttHead);
        pass();  // the wait begins
        LA_TimeAdvance(600000);
        for (int k = 0; k < 10; k++) pass();
        EXPECT_EQ(EtnEmailConn.reported, 0x00011040u);
        EXPECT_EQ(ops, (std::vector<uint8_t>{3, 5}));
    }
    // Run mode left while a read is under way: once it is answered the
    // file is closed, and only once.
    {
        ModemMailAtTheMessage({"Hi", "S", 1, M16(10), "", "A:\\R.BIN", 1});
        std::vector<uint8_t> ops;
        for (uint32_t t = 0; t < 100000 && ops.size() < 2; t += 100) {
            EtnEmailScan(0);
            SocketInfo &s = socket_info_st[2];
            s.tx_len = 0;  // the module takes what it is given
            if (dpram[DP_MAIL_REQ] != dpram[DP_MAIL_ACK]) {
                ops.push_back(dpram[DP_MAIL_REQ + DP_LOG_OP]);
                if (ops.size() < 2) AnswerMailbox(0);  // the open; the read stays unanswered
            }
            LA_TimeAdvance(100);
        }
        ASSERT_EQ(ops, (std::vector<uint8_t>{3, 6}));
        LE_Put16(&plc_reg[2 * W_MODE], 0);
        for (int k = 0; k < 5; k++) EtnEmailScan(0);
        EXPECT_EQ(EtnEmailConn.conn_state, EMC_IDLE);
        EXPECT_NE(dpram[DP_MAIL_REQ], dpram[DP_MAIL_ACK]);  // still the read
        AnswerMailbox(0);
        for (int k = 0; k < 5; k++) {
            EtnEmailScan(0);
            if (dpram[DP_MAIL_REQ] != dpram[DP_MAIL_ACK]) ops.push_back(dpram[DP_MAIL_REQ + DP_LOG_OP]);
            AnswerMailbox(0);
        }
        EXPECT_EQ(ops, (std::vector<uint8_t>{3, 6, 5}));
    }
}

// Over Ethernet the Ethernet manager steps a stopped, idle client only when
// it publishes work: a mail stopped while its file's read is unanswered keeps
// asking to be stepped until the file's close is posted, then rests.
TEST_F(EmailLoop, AStoppedMailIsSteppedUntilItsFileIsClosed) {
    EthAttachMail m;
    m.file.assign(5000, 'f');
    ASSERT_TRUE(m.Start("A:\\R.BIN")) << m.netns.error();
    LoopSmtp &srv = *m.at;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!(dpram[DP_MAIL_REQ] != dpram[DP_MAIL_ACK] && dpram[DP_MAIL_REQ + DP_LOG_OP] == 6) &&
           std::chrono::steady_clock::now() < end) {
        EnetThread();
        EtnEmailScan(1);
        if (dpram[DP_MAIL_REQ + DP_LOG_OP] != 6) m.Mailbox();
        srv.Pump();
    }
    ASSERT_NE(dpram[DP_MAIL_REQ], dpram[DP_MAIL_ACK]);  // the read, unanswered
    LE_Put16(&plc_reg[2 * W_MODE], 0);
    for (int k = 0; k < 5; k++) {
        EnetThread();
        EtnEmailScan(1);
    }
    EXPECT_EQ(EtnEmailConn.conn_state, EMC_IDLE);
    EXPECT_EQ(EtnEmailDue(1000), 1000u);  // the close still to post
    m.Mailbox();                          // the read answered
    EtnEmailScan(1);
    EXPECT_NE(dpram[DP_MAIL_REQ], dpram[DP_MAIL_ACK]);
    EXPECT_EQ(dpram[DP_MAIL_REQ + DP_LOG_OP], 5);
    m.Mailbox();
    EXPECT_EQ(EtnEmailDue(1000), 1000u + PASS_IDLE_MS);
    m.Stop();
}

// Over the modem a server name longer than the data socket's record holds
// (63 characters) is refused by the modem at once: the mail ends with bit 3
// and code 2 at the connection's step 3, 0x00203008, not after a 60 s wait
// as a time-out.
TEST_F(EmailLoop, OnTheModemARefusedDialEndsTheMailAtOnce) {
    EmailBlock b;
    b.contacts = {{"a@b.lan", 1}};
    b.msgs = {{"Hi", "S", 1, M16(10), ""}};
    b.server_name = std::string(60, 'm') + ".lan";  // 64 characters
    b.port = 25;
    b.status_reg = R(500);
    b.flags = 0x01 | 0x02;  // through the cellular modem, the server by name
    b.Install();
    LT_SetD(R(500), 0);
    LT_SetBit(M16(10), true);
    ClearEmailConn();
    EtnEmailConn.conn_state = EMC_IDLE;
    LE_Put16(&plc_reg[2 * W_MODE], 2);
    EtnEmailScan(0);
    ASSERT_EQ(EtnEmailConn.conn_state, EMC_ACTIVE);
    at_status.port = MSG_CELL_PORT;
    const uint32_t init = at_status.status;
    at_status.status |= AT_STS_INIT;  // the module is ready
    GSMGPRSInfo_St.owner = 4;         // and the e-mail client holds it
    socket_info_st[2] = SocketInfo{};
    for (int k = 0; k < 5; k++) EtnEmailScan(0);
    EXPECT_EQ(socket_info_st[2].state, 0);
    EXPECT_EQ(LT_D(R(500)), 0x00203008u);
    EXPECT_TRUE(LT_Bit(M16(10)));
    LE_Put16(&plc_reg[2 * W_MODE], 0);
    for (int k = 0; k < 5; k++) EtnEmailScan(0);
    at_status.status = init;
    GSMGPRSInfo_St.owner = 0;
    socket_info_st[2] = SocketInfo{};
    ClearEmailConn();
    sms_table_bl.fill(0);
}

// A mailbox channel still held by an earlier request that is never answered
// (a card made safe to remove takes none) keeps the attachment from starting
// no longer than 60 s: then the attachment fails as an unanswered request
// does, with the error line, and the mail ends instead of holding its
// connection for ever.
TEST_F(EmailLoop, AChannelHeldForEverFailsTheAttachmentAfter60s) {
    const ModemMailCleanup cleanup;
    ModemMailAtTheMessage({"Hi", "S", 1, M16(10), "", "A:\\R.BIN", 1});
    const uint8_t held = uint8_t(dpram[DP_MAIL_ACK] + 1);
    dpram[DP_MAIL_REQ] = held;  // an earlier request, never answered
    SocketInfo &s = socket_info_st[2];
    std::string out;
    auto pass = [&] {
        EtnEmailScan(0);
        if (s.tx_len) {
            out.append(reinterpret_cast<const char *>(s.tx_ptr), s.tx_len);
            s.tx_len = 0;
        }
    };
    pass();  // the head and body; the 60 s begin
    ASSERT_EQ(EtnEmailConn.smtp, kSmtpAttach);
    LA_TimeAdvance(599999);
    for (int k = 0; k < 3; k++) pass();
    EXPECT_EQ(EtnEmailConn.smtp, kSmtpAttach);
    EXPECT_EQ(EtnEmailConn.att_sub, kAttStart);
    LA_TimeAdvance(1);
    for (int k = 0; k < 5; k++) pass();
    EXPECT_EQ(EtnEmailConn.smtp, kSmtpAwaitReply);
    EXPECT_EQ(EtnEmailConn.cmd, kSmtpEndData);
    const std::string tail = "\r\n\r\n\r\nAttachment Error:1000\r\n\r\n--KtUVoLDO__KV_VoLdOKtU--\r\n\r\n.\r\n";
    ASSERT_GE(out.size(), tail.size());
    EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
    EXPECT_EQ(dpram[DP_MAIL_REQ], held);  // nothing posted over it
    EXPECT_EQ(EtnEmailConn.status, 0u);
    dpram[DP_MAIL_ACK] = dpram[DP_MAIL_REQ];  // the held channel let go
}
