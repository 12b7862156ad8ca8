// E-mail client pieces that need no server: base64, the DNS query, reply
// framing over fragments, dot-stuffing and the e-mail section check.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/image/bytes.h"
#include "core/image/plcreg.h"
#include "core/storage/memfile.h"
#include "messaging/email.h"

namespace {

TEST(Email, Base64DnsQueryAndDotStuffing) {
    char out[200];
    struct B64 { std::string in; uint32_t wrap; std::string want; };
    std::string sixty;
    for (int i = 0; i < 60; i++) sixty.push_back(char(i));
    const B64 cases[] = {
        {"plc@test.lan", 0, "cGxjQHRlc3QubGFu"},
        {"Pa55w0rd", 0, "UGE1NXcwcmQ="},
        {"ab", 0, "YWI="},
        {sixty, 1, "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4vMDEyMzQ1Njc4\r\nOTo7"},
    };
    for (const B64 &c : cases) {
        const uint32_t n = EtnEmailBase64Encd(reinterpret_cast<const uint8_t *>(c.in.data()), out,
                                              uint32_t(c.in.size()), c.wrap);
        EXPECT_EQ(std::string(out, n), c.want);
    }

    uint8_t q[1024];
    const uint32_t ql = EtnEmailDnsBuild("mail.test.lan", 0x0102, q);
    const std::vector<uint8_t> want = {0x01, 0x02, 0x01, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                       4,    'm',  'a',  'i',  'l',  4,    't',  'e',  's',  't',  3,    'l',
                                       'a',  'n',  0,    0x00, 0x01, 0x00, 0x01};
    EXPECT_EQ(std::vector<uint8_t>(q, q + ql), want);
    EXPECT_EQ(EtnEmailDnsBuild("bad..name", 1, q), 0u);

    const std::string text = ".first\r\nmid.dle\r\n.\r\n..two\n.x";
    char st[64];
    const uint32_t sl = EtnEmailDotStuff(text.data(), uint32_t(text.size()), st, sizeof st, true);
    EXPECT_EQ(std::string(st, sl), "..first\r\nmid.dle\r\n..\r\n...two\n..x");
    EXPECT_EQ(EtnEmailDotStuff(text.data(), uint32_t(text.size()), st, 10, true), 11u);
}

TEST(Email, RepliesAreTakenWholeOverFragments) {
    struct R { std::string in; uint32_t code, used; };
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
    };
    for (const R &c : cases) {
        uint32_t used = 0;
        EXPECT_EQ(EtnEmailReply(c.in.data(), uint32_t(c.in.size()), &used), c.code) << c.in;
        EXPECT_EQ(used, c.used) << c.in;
    }
}

// Messaging block: a 100-byte SMS section and an e-mail section of `size`
// bytes whose tables the caller may spoil.
std::vector<uint8_t> Block(uint32_t size, const char *magic, uint32_t contacts_size, uint32_t limit) {
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
    LE_Put32(s + 44, limit);
    return b;
}

TEST(Email, SectionChecksSetStatusBit0) {
    struct C { uint32_t size; const char *magic; uint32_t contacts, limit; uint32_t status; uint8_t state; };
    const C cases[] = {
        {153, "LAME", 20, 0, 0, EMC_ACTIVE},
        {152, "LAME", 20, 0, EM_ST_CONFIG, EMC_IDLE},
        {153, "LAMF", 20, 0, EM_ST_CONFIG, EMC_IDLE},
        {153, "LAME", 20 * 3, 0, EM_ST_CONFIG, EMC_IDLE},      // contacts run past the section
        {153, "LAME", 20 * 300, 0, EM_ST_CONFIG, EMC_IDLE},    // more than 256 contacts
        {153, "LAME", 20, 100, EM_ST_CONFIG, EMC_IDLE},        // string limit past the section
    };
    for (const C &c : cases) {
        const std::vector<uint8_t> b = Block(c.size, c.magic, c.contacts, c.limit);
        sms_table_bl.fill(0);
        LE_Put32(&sms_table_bl[4], uint32_t(b.size() - 8));
        std::memcpy(sms_table_bl.data(), b.data(), b.size());
        LE_Put32(&sms_table_bl[4], uint32_t(b.size() - 8));
        EtnEmailConn = EmailRec{};
        EtnEmailConn.sock.fd = -1;
        EtnEmailConn.dns.fd = -1;
        EtnEmailConn.conn_state = EMC_IDLE;
        LE_Put16(&plc_reg[2 * W_MODE], 2);
        EtnEmailScan(1);
        EXPECT_EQ(EtnEmailConn.status, c.status) << c.size << " " << c.contacts;
        EXPECT_EQ(EtnEmailConn.conn_state, c.state);
    }
    LE_Put16(&plc_reg[2 * W_MODE], 0);
    sms_table_bl.fill(0);
}

}  // namespace
