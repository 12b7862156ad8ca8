// The Ethernet configuration parser, the register bridge's range check and
// block moves, and the map's set-up and configuration-change service.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "core/image/bytes.h"
#include "core/image/iecrt.h"
#include "cmd/cmd.h"
#include "core/storage/memfile.h"
#include "core/image/plcreg.h"
#include "exec/sys.h"
#include "io/io.h"
#include "net/dpr.h"
#include "net/net.h"
#include "platform/plat.h"
#include "tests/support/temp_root.h"

namespace {

// A configuration record stream; Block() gives it with its length word.
struct Stream {
    std::vector<uint32_t> w;
    Stream &operator<<(uint32_t v) {
        w.push_back(v);
        return *this;
    }
    Stream &Bytes(const std::vector<uint8_t> &b) {
        std::vector<uint8_t> p = b;
        while (p.size() % 4) p.push_back(0);
        for (size_t i = 0; i < p.size(); i += 4) w.push_back(LE_Get32(&p[i]));
        return *this;
    }
    std::vector<uint8_t> Block(uint32_t addr, uint32_t mask) const {
        std::vector<uint8_t> b(12 + 4 * w.size());
        LE_Put32(&b[0], uint32_t(b.size()));
        LE_Put32(&b[4], addr);
        LE_Put32(&b[8], mask);
        for (size_t i = 0; i < w.size(); i++) LE_Put32(&b[12 + 4 * i], w[i]);
        return b;
    }
};

// The address-and-enables and ping records of a typical download.
Stream Typical() {
    Stream s;
    s << 0x20000000 << 0 << 0x200005DA << 0x0A4D0001 << 0 << 33568 << 16 << 33552 << 16 << 33712 << 32 << 33744 << 32
      << 33776 << 32 << 0 << 0;
    s << 0x40000000 << 0 << 0 << 1000 << 32 << 33872 << 32 << 33904 << 32 << 0 << 0;
    return s;
}

std::vector<uint8_t> Scrambled(const std::string &text) {
    std::vector<uint8_t> b{uint8_t(text.size())};
    for (size_t i = 0; i < text.size(); i++) b.push_back(uint8_t(text[i] ^ DprCryptKey[i % 40]));
    while ((b.size() % 4) != 0 || b.size() < ((text.size() + 4) & ~size_t(3))) b.push_back(0);
    b.resize((text.size() + 4) & ~size_t(3));
    return b;
}

std::vector<uint8_t> Entry(const std::string &u, const std::string &p, const std::string &t, uint8_t rights,
                           uint8_t more) {
    std::vector<uint8_t> b;
    for (const auto &s : {u, p, t}) {
        auto x = Scrambled(s);
        b.insert(b.end(), x.begin(), x.end());
    }
    b.insert(b.end(), {rights, more, 0, 0});
    return b;
}

uint32_t Parse(const std::vector<uint8_t> &block, DprConfigRec &rec) {
    return DprParseBlock(block.data(), block.size(), 0, rec);
}

// The block as the I/O configuration places it: the u16 length just before.
std::vector<uint8_t> g_slot;
void Install(const std::vector<uint8_t> &block) {
    g_slot.assign(4, 0);
    LE_Put16(&g_slot[2], uint16_t(block.size()));
    g_slot.insert(g_slot.end(), block.begin(), block.end());
    EtnConfp = g_slot.data() + 4;
}

}  // namespace

TEST(NetConfig, TypicalBlockAccountsEgdModbusAndBounds) {
    test_support::TempRoot root;
    EGD_Index_Count = 0;
    // Network time as no earlier parse left it (its record turns it on).
    NTP_Enabled = 0;
    DprInitReq();
    static DprConfigRec rec;
    Stream s = Typical();
    // EGD exchange with a status item, an FTP list of three entries, HTTP,
    // Modbus with its port words, ASCII with a port (word 1 clear), the pair record.
    s << 0x80000001 << 1 << 2 << 3 << 4 << 33000 << 0x8005 << 34000 << 0x0010 << 0 << 0;
    s << 0x08000000;
    {
        std::vector<uint8_t> e = Entry("ops", "pw", "", 3, 1);
        auto e2 = Entry("maint", std::string(4, 'k'), "t", 1, 1);
        auto e3 = Entry("third", "x", "", 7, 0);
        e.insert(e.end(), e2.begin(), e2.end());
        e.insert(e.end(), e3.begin(), e3.end());
        s.Bytes(e);
    }
    s << 0 << 0;
    s << 0x04000000;
    s.Bytes(Entry("web", "secret", "hello", 9, 0));
    s << 0 << 0;
    s << 0x01000000 << 0x40000 << 1 << 5020 << 17 << 0 << 0;
    s << 0x00800000 << 0 << 4001 << 33000 << 34000 << 500 << 36000 << 0 << 0;
    s << 0x00100000 << 0 << 11 << 22 << 0 << 0;
    s << 0;
    ASSERT_EQ(Parse(s.Block(0x0A4D0002, 0xFFFFFF00), rec), 0u);
    EXPECT_EQ(rec.address, 0x0A4D0002u);
    EXPECT_EQ(rec.mask, 0xFFFFFF00u);
    EXPECT_EQ(rec.gateway, 0x0A4D0001u);
    EXPECT_EQ(rec.enables[0], 0x88);
    EXPECT_EQ(rec.enables[1], 0x04);
    EXPECT_EQ(rec.enables[2], 0x00);
    EXPECT_EQ(rec.dhcp_enable, 0);
    EXPECT_EQ(rec.const_ref, 33568u);
    EXPECT_EQ(rec.status_ref, 33552u);
    EXPECT_EQ(rec.address_ref, 33712u);
    EXPECT_EQ(rec.mask_ref, 33744u);
    EXPECT_EQ(rec.gateway_ref, 33776u);
    EXPECT_EQ(rec.ping_timeout, 1000u);
    EXPECT_EQ(rec.ping_target_ref, 33872u);
    EXPECT_EQ(rec.ping_result_ref, 33904u);
    // EGD: the exchange and a status entry whose word is (5 & 0x7FF) * 8.
    EXPECT_EQ(rec.egd[0].kind, 0x80000001u);
    EXPECT_EQ(rec.egd[0].header[3], 4u);
    EXPECT_EQ(rec.egd[0].items[1][0], 34000u);
    EXPECT_EQ(rec.egd[1].kind, 0u);
    EXPECT_EQ(rec.egd_status_count, 1u);
    EXPECT_EQ(LE_Get16(DprStatusWrReqs + 2), 40);
    EXPECT_EQ(LE_Get32(DprStatusWrReqs + 4), 33000u);
    EXPECT_EQ(LE_Get16(&DprMap[DPR_EGD_COUNT]), 1);
    // Accounts: two FTP entries stored, the third skipped, HTTP after them.
    EXPECT_STREQ(rec.ftp[0].user, "ops");
    EXPECT_STREQ(rec.ftp[0].password, "pw");
    EXPECT_EQ(rec.ftp[0].rights, 3);
    EXPECT_STREQ(rec.ftp[1].password, "kkkk");
    EXPECT_STREQ(rec.ftp[1].text, "t");
    EXPECT_STREQ(rec.http.user, "web");
    EXPECT_STREQ(rec.http.password, "secret");
    EXPECT_STREQ(rec.http.text, "hello");
    EXPECT_EQ(rec.http.flag, 9);
    // Modbus register copy with UDP mode and port.
    EXPECT_EQ(rec.modbus.present, 1u);
    EXPECT_EQ(rec.modbus.udp_mode, 1);
    EXPECT_EQ(rec.modbus.port, 5020);
    EXPECT_EQ(rec.modbus.map_word, 17u);
    // ASCII: word 2 is a port (word 1 clear), so it is not validated.
    EXPECT_EQ(rec.ascii[1], 4001u);
    EXPECT_EQ(rec.ascii[4], 0u);  // 500 is below 1024: dropped
    EXPECT_EQ(rec.values[0], 11u);
    EXPECT_EQ(rec.values[1], 22u);

    // EtherNet/IP assemblies (produced: bit 1, third: bit 29, else consumed;
    // an invalid range switches the service off) and a DNS word with its
    // register pair after the mask and gateway pairs.
    Stream eip;
    eip << 0x20000000 << 0 << 0x20008000 << 0x0A000001 << 0x08080808 << 0 << 33568 << 16 << 33552 << 16 << 33712 << 32
        << 33744 << 32 << 33776 << 32 << 33808 << 32 << 0 << 0;
    eip << 0x10000002 << 0 << 0 << 0 << 0 << 40000 << 8 << 0 << 0;
    eip << 0x30000000 << 0 << 0 << 0 << 0 << 41000 << 4 << 0 << 0;
    eip << 0x10000000 << 0 << 0 << 0 << 0 << 42000 << 2 << 0 << 0;
    eip << 0 << 0;
    ASSERT_EQ(Parse(eip.Block(1, 2), rec), 0u);
    EXPECT_EQ(rec.gateway, 0x0A000001u);
    EXPECT_EQ(rec.dns, 0x08080808u);
    EXPECT_EQ(rec.dns_ref, 33808u);
    EXPECT_EQ(rec.eip[0][0], 40000u);
    EXPECT_EQ(rec.eip[0][1], 8u);
    EXPECT_EQ(rec.eip[1][0], 42000u);
    EXPECT_EQ(rec.eip[2][0], 41000u);
    EXPECT_EQ(rec.eip[2][1], 4u);
    EXPECT_EQ(rec.enables[0] & EN0_EIP, EN0_EIP);
    Stream badeip;
    badeip << 0x20000000 << 0 << 0 << 0 << 0 << 0 << 0 << 0 << 0 << 0 << 0 << 0 << 0;
    badeip << 0x10000002 << 0 << 0 << 0 << 0 << 40000 << 0x20000 << 0 << 0 << 0;
    ASSERT_EQ(Parse(badeip.Block(1, 2), rec), 0u);
    EXPECT_EQ(rec.enables[0] & EN0_EIP, 0);
    EXPECT_EQ(rec.eip[0][0], 0u);

    // Short and absent blocks.
    std::vector<uint8_t> eight(12, 0);
    LE_Put32(&eight[0], 8);
    EXPECT_EQ(Parse(eight, rec), 1u);
    // 9 to 11 bytes: address and mask stored, no records (they would start
    // at byte 12): a configuration.
    for (uint32_t length : {9u, 11u}) {
        std::vector<uint8_t> short_block(12, 0);
        LE_Put32(&short_block[0], length);
        LE_Put32(&short_block[4], 0x0A4D0002);
        LE_Put32(&short_block[8], 0xFFFFFF00);
        EXPECT_EQ(Parse(short_block, rec), 0u) << length;
        EXPECT_EQ(rec.length, length);
        EXPECT_EQ(rec.address, 0x0A4D0002u) << length;
        EXPECT_EQ(rec.mask, 0xFFFFFF00u) << length;
    }
    std::vector<uint8_t> none(12, 0xFF);
    EXPECT_EQ(Parse(none, rec), 1u);

    // A length word far beyond the bytes present, no terminator, an exchange
    // of 150 items and an over-long scrambled string: the walk stays inside
    // the block, keeps 99 items and 40 characters.
    // Three exchanges of status items: 297 kept items, 256 status entries.
    Stream big;
    for (uint32_t x = 0; x < 3; x++) {
        big << (0x80000000 | x) << 1 << 2 << 3 << 4;
        for (uint32_t i = 0; i < 150; i++) big << (40000 + 16 * i) << 0x8001;
        big << 0 << 0;
    }
    big << 0x04000000;
    std::vector<uint8_t> longstr{60};
    for (int i = 0; i < 60; i++) longstr.push_back(uint8_t('a' ^ DprCryptKey[i % 40]));
    big.Bytes(longstr);
    big.Bytes(Scrambled("")).Bytes(Scrambled("")).Bytes({1, 0, 0, 0});
    std::vector<uint8_t> b = big.Block(1, 2);
    LE_Put32(&b[0], 0x7FFFFFF0);
    EGD_Index_Count = 0;
    ASSERT_EQ(Parse(b, rec), 0u);
    EXPECT_EQ(rec.egd[0].items[98][0], 40000u + 16 * 98);
    EXPECT_EQ(rec.egd[2].items[98][0], 40000u + 16 * 98);
    EXPECT_EQ(EGD_Index_Count, DPR_EGD_STATUS_MAX);
    EXPECT_EQ(rec.egd_status_count, DPR_EGD_STATUS_MAX);
    EXPECT_EQ(LE_Get32(DprStatusWrReqs + 8 * 255 + 4), 40000u + 16 * (255 - 198));
    EXPECT_EQ(std::strlen(rec.http.user), 40u);
    EXPECT_EQ(rec.http.flag, 1);
    b.resize(b.size() - 6);  // cut inside the account
    EXPECT_EQ(Parse(b, rec), 0u);

    // Network time: names cut at control characters, written to the file.
    Stream ntp;
    std::vector<uint8_t> names(960, 0);
    std::memcpy(&names[0], "pool.example\x01junk", 17);
    std::memcpy(&names[96], "time.example", 12);
    ntp << 0x00200000 << 0x00050003;
    ntp.Bytes(names) << 0 << 0 << 0;
    ASSERT_EQ(Parse(ntp.Block(1, 2), rec), 0u);
    EXPECT_STREQ(rec.ntp_servers[0], "pool.example");
    EXPECT_EQ(rec.ntp_values[0], 3);
    std::ifstream f(root / "etc/ntp.conf");
    std::stringstream text;
    text << f.rdbuf();
    EXPECT_EQ(text.str(), "server pool.example\nserver time.example\n");
}

// Records that end at the block's last byte are taken; cut short by a few
// bytes they are not, and nothing past the bytes present is read.
TEST(NetConfig, RecordsToTheLastByte) {
    test_support::TempRoot root;
    EGD_Index_Count = 0;
    DprInitReq();
    static DprConfigRec rec;
    auto parse = [](const Stream &s, int cut = 0) {
        std::vector<uint8_t> b = s.Block(1, 2);
        b.resize(b.size() - std::size_t(cut));
        return Parse(b, rec);
    };
    Stream pair;
    pair << 0x00100000 << 0 << 11 << 22;
    ASSERT_EQ(parse(pair), 0u);
    EXPECT_EQ(rec.values[1], 22u);
    // An account record with nothing after its kind word; one cut inside
    // its rights word.
    Stream http;
    http << 0x04000000;
    EXPECT_EQ(parse(http), 0u);
    EXPECT_STREQ(rec.http.user, "");
    http.Bytes(Entry("web", "secret", "hello", 9, 0));
    EXPECT_EQ(parse(http, 2), 0u);
    EXPECT_STREQ(rec.http.user, "");
    EXPECT_EQ(parse(http), 0u);
    EXPECT_STREQ(rec.http.user, "web");
    // Modbus with its 32 further bytes, whole and 4 bytes short.
    Stream mb;
    mb << 0x01000000 << 0x20000 << 17 << 0 << 0 << 0 << 0 << 0 << 0 << 0 << 0;
    ASSERT_EQ(parse(mb), 0u);
    EXPECT_EQ(rec.modbus.present, 1u);
    EXPECT_EQ(parse(mb, 4), 0u);
    EXPECT_EQ(rec.modbus.present, 0u);
    // Network time: a name of 96 characters keeps 95; a blank is part of a
    // name; 4 bytes short, none is taken.
    Stream ntp;
    std::vector<uint8_t> names(960, 0);
    std::memset(&names[0], 'a', 96);
    std::memcpy(&names[96], "ntp one", 7);
    ntp << 0x00200000 << 0x00050003;
    ntp.Bytes(names);
    ASSERT_EQ(parse(ntp), 0u);
    EXPECT_EQ(std::strlen(rec.ntp_servers[0]), 95u);
    EXPECT_STREQ(rec.ntp_servers[1], "ntp one");
    EXPECT_EQ(parse(ntp, 4), 0u);
    EXPECT_STREQ(rec.ntp_servers[0], "");
    // 128 EGD exchanges end the walk: the account record after them is not read.
    Stream egd;
    for (uint32_t x = 0; x < DPR_EGD_MAX; x++) egd << (0x80000000 | x) << 1 << 2 << 3 << 4 << 0 << 0;
    egd << 0x04000000;
    egd.Bytes(Entry("web", "secret", "hello", 9, 0));
    ASSERT_EQ(parse(egd), 0u);
    EXPECT_EQ(rec.egd[DPR_EGD_MAX - 1].kind, 0x80000000u | (DPR_EGD_MAX - 1));
    EXPECT_STREQ(rec.http.user, "");
    // Request tables: 288 read and 416 write entries fill them; one more
    // (no end mark) refuses the block.
    for (uint32_t i = 0; i < 288; i++) LE_Put32(DprRdReqs1 + 20 + 8 * i, 32768);
    for (uint32_t i = 0; i < 416; i++) LE_Put32(DprWrReqs1 + 20 + 8 * i, 32768);
    EXPECT_EQ(parse(pair), 0u);
    LE_Put32(DprRdReqs1 + 20 + 8 * 288, 32768);
    EXPECT_EQ(parse(pair), 1u);
    DprInitReq();
    for (uint32_t i = 0; i <= 416; i++) LE_Put32(DprWrReqs1 + 20 + 8 * i, 32768);
    EXPECT_EQ(parse(pair), 1u);
    DprInitReq();
    // Both interfaces parse their slot's block; there is no third.
    Install(pair.Block(1, 2));
    EXPECT_EQ(DprParseConfig(1), 0u);
    EXPECT_EQ(Dpr_Configuration[1].values[1], 22u);
    EXPECT_EQ(DprParseConfig(2), 1u);
    EtnConfp = nullptr;
    std::memset(&Dpr_Configuration[1], 0, DPR_CONFIG_BYTES);
}

// ASCII over TCP follows each parse: a bad reference switches it off for
// that configuration only, and a good one after it switches it on again.
TEST(NetConfig, AsciiEnableFollowsEachParse) {
    test_support::TempRoot root;
    static DprConfigRec rec;
    auto block = [](uint32_t send, uint32_t status) {
        // Addresses record with the ASCII service on (flags bit 10 clear), then
        // the six ASCII references: port 4001 fixed, send, control, receive, status.
        Stream s;
        s << 0x20000000 << 0 << 0x200001DA << 0x0A4D0001 << 0 << 0 << 0 << 0 << 0 << 0 << 0 << 0 << 0 << 0 << 0 << 0
          << 0;
        s << 0x00800000 << 0 << 4001 << send << 34000 << 35000 << status << 0 << 0;
        s << 0;
        return s.Block(0x0A4D0002, 0xFFFFFF00);
    };
    ASSERT_EQ(Parse(block(33000, 36000), rec), 0u);
    EXPECT_EQ(rec.enables[1] & EN1_ASCII, EN1_ASCII);
    EXPECT_EQ(rec.ascii[DPR_ASCII_SEND], 33000u);
    ASSERT_EQ(Parse(block(100, 500), rec), 0u);
    EXPECT_EQ(rec.enables[1] & EN1_ASCII, 0);
    EXPECT_EQ(rec.ascii[DPR_ASCII_SEND], 0u);
    EXPECT_EQ(rec.ascii[DPR_ASCII_RECEIVE], 35000u);
    ASSERT_EQ(Parse(block(33000, 36000), rec), 0u);
    EXPECT_EQ(rec.enables[1] & EN1_ASCII, EN1_ASCII);
    EXPECT_EQ(rec.ascii[DPR_ASCII_STATUS], 36000u);
}

TEST(NetBridge, ValidateRangesAndBlockMoves) {
    auto valid = [](uint32_t r, uint32_t n) {
        const EtnReq q{r, n};
        return EtnValidateReq(&q) == 0;
    };
    EXPECT_TRUE(valid(1024, 256));
    EXPECT_FALSE(valid(1024, 257));
    EXPECT_FALSE(valid(1000, 8));
    EXPECT_TRUE(valid(832736, 16));           // %R49999
    EXPECT_FALSE(valid(832752, 16));          // %R50000
    EXPECT_FALSE(valid(32768, 0xFFFFFFF0u));  // no wrap of r + n
    EXPECT_TRUE(valid(0x10008000, 0x4000));
    EXPECT_FALSE(valid(0x10008000, 0x4001));
    EXPECT_TRUE(valid(0x1001C000, 16));
    EXPECT_FALSE(valid(0x10030000, 16));
    // With the IEC runtime in use any IEC variable handle is valid; 0xFFFFFFFF
    // is none and past every register area.
    DrevanoRuntime = 1;
    EXPECT_TRUE(valid(0xC0000000u, 16));
    EXPECT_TRUE(valid(0xFFFFFFFEu, 0xFFFF));
    EXPECT_FALSE(valid(0xFFFFFFFFu, 16));
    EXPECT_FALSE(valid(0xBFFFFFFFu, 16));
    DrevanoRuntime = 0;
    EXPECT_FALSE(valid(0xC0000000u, 16));
    // The last bit of each area is the request's last, not one further.
    EXPECT_TRUE(valid(22511, 16));
    EXPECT_FALSE(valid(22512, 16));
    EXPECT_TRUE(valid(REG_EM_END - 16, 16));
    EXPECT_FALSE(valid(REG_EM_END - 16, 17));
    EXPECT_TRUE(valid(24576 - 16, 16));
    EXPECT_FALSE(valid(24576 - 16, 17));
    EXPECT_TRUE(valid(32768 - 16, 16));
    EXPECT_FALSE(valid(32768 - 16, 17));
    // EGD status entries: 256 of them; index 256 is none.
    std::array<uint8_t, 8> after{};
    std::memcpy(after.data(), DprStatusWrReqs + 8 * 256, 8);
    Dpr_Add_Egd_Status_Req(32768, 5, 256);
    EXPECT_EQ(0, std::memcmp(after.data(), DprStatusWrReqs + 8 * 256, 8));
    LE_Put32(DprStatusWrReqs + 8 * 256 + 4, 32768);
    plc_reg.fill(0);
    Dpr_Set_Egd_Status(0x77, 256);
    EXPECT_EQ(Dpr_Get_W_Data(32768), 0);
    std::memcpy(DprStatusWrReqs + 8 * 256, after.data(), 8);

    plc_reg.fill(0);
    uint8_t buf[8] = {0x34, 0x12, 0, 0, 0, 0, 0, 0};
    Dpr_Data_Block(32768, 16, buf, 1, 0);  // %R1, byte aligned
    EXPECT_EQ(Dpr_Get_W_Data(32768), 0x1234);
    // Bit mode 1 from bit address 1027, 5 bits: buffer bits 0..4.
    plc_reg[0] = 0xF8;  // bits 3..7 of %I byte 0
    uint8_t packed[2] = {};
    Dpr_Data_Block(1027, 5, packed, 0, 1);
    EXPECT_EQ(packed[0], 0x1F);
    // Bit mode 0 keeps bit positions; buffer to registers.
    uint8_t same[2] = {0x50, 0};
    plc_reg[0] = 0;
    Dpr_Data_Block(1028, 3, same, 1, 0);
    EXPECT_EQ(plc_reg[0], 0x50);
    // A refused reference reads zeros and writes nothing.
    uint8_t z[4] = {9, 9, 9, 9};
    Dpr_Data_Block(100, 32, z, 0, 0);
    EXPECT_EQ(LE_Get32(z), 0u);
    EXPECT_EQ(Dpr_Get_Dw_Data(100), 0u);
    Dpr_Set_Dw_Data(33712, 0x0A4D0002);
    EXPECT_EQ(Dpr_Get_Dw_Data(33712), 0x0A4D0002u);
    // One byte: the high byte of %R1.
    Dpr_Set_Char_Data(32776, 0xA5);
    EXPECT_EQ(Dpr_Get_Char_Data(32776), 0xA5);
    EXPECT_EQ(Dpr_Get_W_Data(32768), 0xA534);
    Dpr_Set_Char_Data(100, 0x77);
    EXPECT_EQ(Dpr_Get_Char_Data(100), 0);

    // IEC variables: an element of 1, 2 or 4 bytes moves as bytes from the
    // handle's element; bit mode 1 takes a byte per bit (a BOOL array from
    // element 3 here); the handle's low bits are never a bit offset.
    static uint8_t vars[32];
    auto *saved = PlcReg_IecLocate;
    PlcReg_IecLocate = [](uint32_t h, uint32_t) -> uint8_t * { return &vars[h & 0x1F]; };
    DrevanoRuntime = drevano_variables_enumerateded = 1;
    std::memset(vars, 0, sizeof vars);
    uint8_t in[2] = {0x34, 0x12};
    Dpr_Data_Block(0xC4000005, 16, in, 1, 0);  // INT element at byte 5
    EXPECT_EQ(vars[5], 0x34);
    EXPECT_EQ(vars[6], 0x12);
    uint8_t back[2] = {};
    Dpr_Data_Block(0xC4000005, 16, back, 0, 1);
    EXPECT_EQ(LE_Get16(back), 0x1234);
    const uint8_t bools[5] = {1, 0, 1, 1, 0};
    std::memcpy(&vars[11], bools, 5);
    uint8_t packed5[1] = {0xFF};
    Dpr_Data_Block(0xD800000B, 5, packed5, 0, 1);
    EXPECT_EQ(packed5[0], 0xED);  // bits 0..4 from the bytes, the rest left as they were
    uint8_t coils[1] = {0x12};    // 0, 1, 0, 0, 1
    Dpr_Data_Block(0xD8000013, 5, coils, 1, 1);
    const uint8_t want[5] = {0, 1, 0, 0, 1};
    EXPECT_EQ(0, std::memcmp(&vars[19], want, 5));
    EXPECT_EQ(vars[24], 0);
    uint8_t eight[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    Dpr_Data_Block(0xCC000018, 64, eight, 1, 0);  // an 8-byte element at byte 24
    EXPECT_EQ(0, std::memcmp(&vars[24], eight, 8));
    // A bit number in the handle in bit mode 0: nothing moves, a read gives zeros.
    uint8_t z2[2] = {9, 9};
    Dpr_Data_Block(0xC4300005, 16, z2, 0, 0);
    EXPECT_EQ(LE_Get16(z2), 0);
    DrevanoRuntime = drevano_variables_enumerateded = 0;
    PlcReg_IecLocate = saved;
}

TEST(NetBridge, ConfigBackupRunReparseAndChangeRequest) {
    test_support::TempRoot root;
    bbram.fill(0);
    plc_reg.fill(0);
    T_token = M_token = 0;
    DprMap.fill(0x5A);
    Dpr_Init();
    // The header, byte for byte: magic 29026, 0x16000000, 512, the request
    // tables at 49408 and 52756, the six sizes, the request word 0xFFFF
    // against acknowledge 0, the four request tables, the EGD status table
    // at 60888 and the mailbox areas 24960, 62936, 63008, 63080; the rest 0.
    const std::vector<uint8_t> header = {
        0x62, 0x71, 0,    0,    0,    0,    0,    0x16, 0x00, 0x02, 0x00, 0xC1, 0x14, 0xCE, 0, 0,  // 0..15
        0x00, 0x01, 0x00, 0x01, 0xF8, 0x00, 0x80, 0x00, 0x78, 0x00, 0x7A, 0x00, 0,    0,    0, 0,  // 16..31
        0,    0,    0xFF, 0xFF, 0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0, 0,  // 32..47
        0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0, 0,  // 48..63
        0x00, 0xC1, 0x14, 0xCE, 0x28, 0xD7, 0x3C, 0xE4, 0,    0,    0,    0,    0xD8, 0xED, 0, 0,  // 64..79
        0,    0,    0x80, 0x61, 0xD8, 0xF5, 0x20, 0xF6, 0x68, 0xF6, 0,    0,    0,    0,    0, 0,  // 80..95
        0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0, 0,
        0,    0,    0,    0};  // 96..115
    EXPECT_EQ(std::vector<uint8_t>(DprMap.begin(), DprMap.begin() + 116), header);
    EXPECT_EQ(std::count(DprMap.begin(), DprMap.end(), 0x5A), 0) << "the whole map is zeroed";
    EXPECT_EQ(T_token, 0x10008000u);
    EXPECT_EQ(M_token, 0x1001C000u);
    // Pending writes: bit 0 for table 1, bit 1 for table 2.
    EXPECT_EQ(Dpr_Chk_Wr_Pending(), 0u);
    DprWrReqs2[0] = 1;
    EXPECT_EQ(Dpr_Chk_Wr_Pending(), 2u);
    DprWrReqs1[0] = 1;
    EXPECT_EQ(Dpr_Chk_Wr_Pending(), 3u);
    DprWrReqs1[1] = DprWrReqs2[1] = 1;
    EXPECT_EQ(Dpr_Chk_Wr_Pending(), 0u);
    // Asking for a configuration: the magic, and the complement of word 40 in word 38.
    LE_Put32(&DprMap[0], 0);
    LE_Put16(&DprMap[40], 0x1234);
    Dpr_Ask_Config();
    EXPECT_EQ(LE_Get32(&DprMap[0]), 29026u);
    EXPECT_EQ(LE_Get16(&DprMap[38]), 0xEDCB);
    Dpr_Init();

    // A good block is parsed and kept as the backup address set.
    Install(Typical().Block(0x0A4D0002, 0xFFFFFF00));
    Dpr_Config();
    EXPECT_EQ(LE_Get16(&DprMap[DPR_CFG_ACK]), 0xFFFF);
    EXPECT_EQ(Dpr_Configuration[0].enables[1] & EN1_SERVICES_OFF, 0);
    EXPECT_EQ(LE_Get32(&bbram[4]), DPR_BACKUP_MARKER);
    EXPECT_EQ(LE_Get32(&bbram[8]), 0x0A4D0002u);

    // A block of length 8 switches services off and keeps the last good address.
    std::vector<uint8_t> eight(12, 0);
    LE_Put32(&eight[0], 8);
    LE_Put32(&eight[4], 0x01020304);
    Install(eight);
    Dpr_Config();
    EXPECT_NE(Dpr_Configuration[0].enables[1] & EN1_SERVICES_OFF, 0);
    EXPECT_EQ(Dpr_Configuration[0].address, 0x0A4D0002u);
    EXPECT_EQ(Dpr_Configuration[0].gateway, 0x0A4D0001u);
    EXPECT_EQ(LE_Get32(&bbram[8]), 0x0A4D0002u);

    // Entering run re-parses once and also keeps the backup address; the
    // %T and %M bases follow the register layout then in force.
    const uint8_t layout_was = RegTokLen_16b;
    RegTokLen_16b = 1;
    PlcWordSet(W_MODE, 2);
    Dpr_Io_Service();
    EXPECT_EQ(LE_Get16(&DprMap[DPR_RUN]), 1);
    EXPECT_EQ(Dpr_Configuration[0].address, 0x0A4D0002u);
    EXPECT_EQ(T_token, 12288u);
    EXPECT_EQ(M_token, 14336u);
    RegTokLen_16b = 0;
    Dpr_Io_Service();
    EXPECT_EQ(T_token, 12288u) << "once per entry into run";
    PlcWordSet(W_MODE, 0);
    Dpr_Io_Service();
    EXPECT_EQ(LE_Get16(&DprMap[DPR_RUN]), 0);
    PlcWordSet(W_MODE, 2);
    Dpr_Io_Service();
    EXPECT_EQ(T_token, 0x10008000u);
    EXPECT_EQ(M_token, 0x1001C000u);
    PlcWordSet(W_MODE, 0);
    Dpr_Io_Service();
    RegTokLen_16b = layout_was;

    // One EGD status item: one entry after the configuration and after each
    // entry into run, which parses the block again; a second configuration
    // without it leaves none behind.
    Stream egd = Typical();
    egd << 0x80000001 << 1 << 2 << 3 << 4 << 33000 << 0x8005 << 0 << 0 << 0;
    Install(egd.Block(0x0A4D0002, 0xFFFFFF00));
    Dpr_Config();
    EXPECT_EQ(EGD_Index_Count, 1);
    EXPECT_EQ(LE_Get16(&DprMap[DPR_EGD_COUNT]), 1);
    for (int cycle = 0; cycle < 3; cycle++) {
        PlcWordSet(W_MODE, 2);
        Dpr_Io_Service();
        PlcWordSet(W_MODE, 0);
        Dpr_Io_Service();
        EXPECT_EQ(EGD_Index_Count, 1) << "cycle " << cycle;
        EXPECT_EQ(LE_Get16(&DprMap[DPR_EGD_COUNT]), 1) << "cycle " << cycle;
        EXPECT_EQ(Dpr_Configuration[0].egd_status_count, 1u);
        EXPECT_EQ(LE_Get32(DprStatusWrReqs + 4), 33000u);
        EXPECT_EQ(LE_Get32(DprStatusWrReqs + 8 + 4), 0u);
    }
    Install(Typical().Block(0x0A4D0002, 0xFFFFFF00));
    PlcWordSet(W_MODE, 2);
    Dpr_Io_Service();
    PlcWordSet(W_MODE, 0);
    Dpr_Io_Service();
    EXPECT_EQ(EGD_Index_Count, 0);
    EXPECT_EQ(LE_Get16(&DprMap[DPR_EGD_COUNT]), 0);
    EXPECT_EQ(LE_Get32(DprStatusWrReqs + 4), 0u);

    // A new I/O configuration raises one change request, not during a download.
    const uint16_t ack = LE_Get16(&DprMap[DPR_CFG_ACK]);
    LE_Put16(&DprMap[DPR_CFG_REQ], ack);
    LE_Put16(&io_config_bl[0], uint16_t(LE_Get16(&io_config_bl[0]) + 1));
    Cmd_Downloading = 1;
    Dpr_Io_Service();
    EXPECT_EQ(LE_Get16(&DprMap[DPR_CFG_REQ]), ack);
    Cmd_Downloading = 0;
    Dpr_Io_Service();
    EXPECT_EQ(LE_Get16(&DprMap[DPR_CFG_REQ]), uint16_t(~ack));
    // The clock copy follows the register image.
    PlcWordSet(171, 0x2A);
    Dpr_Io_Service();
    EXPECT_EQ(LE_Get16(&DprMap[DPR_CLOCK]), 0x2A);
    EtnConfp = nullptr;
}
