// The SMS engine and the AT script engine against an in-process modem on the
// external module's line: initialisation script, sending with register
// values, receiving commands, data-field texts and the block checks.
#include <cstring>

#include "core/image/rtc.h"
#include "core/storage/nvram.h"
#include "media/datalog.h"
#include "messaging/messaging.h"
#include "tests/messaging/msg_fixture.h"
#include "tests/messaging/sms_block.h"

using namespace la;

namespace {

uint16_t next_crc = 0x2000;

// Answers the commands the controller writes on port 2 the way a module does.
struct ModemSim {
    std::size_t seen = 0;
    std::vector<std::string> cmds;
    std::string list;  // answer to AT+CMGL (before the final OK)
    bool cmgs_error = false, no_prompt = false;
    void Pump() {
        std::string &tx = fake_ports::P()[2].tx;
        for (;;) {
            const std::size_t p = tx.find_first_of(std::string("\r\x1a", 2), seen);
            if (p == std::string::npos) return;
            const std::string line = tx.substr(seen, p - seen);
            const char term = tx[p];
            seen = p + 1;
            if (line.empty()) continue;
            cmds.push_back(line + term);
            std::string ans = "\r\nOK\r\n";
            if (line == "AT+CPIN?")
                ans = "\r\n+CPIN: READY\r\n\r\nOK\r\n";
            else if (line == "AT+CSQ")
                ans = "\r\n+CSQ: 21,0\r\n\r\nOK\r\n";
            else if (line.rfind("AT+CMGS=", 0) == 0)
                ans = no_prompt ? "" : cmgs_error ? "\r\nERROR\r\n" : "\r\n> ";
            else if (term == '\x1a')
                ans = "\r\n+CMGS: 7\r\n\r\nOK\r\n";
            else if (line == "AT+CMGL=\"ALL\"")
                ans = list + "\r\nOK\r\n";
            fake_ports::Feed(2, ans);
        }
    }
};

class SmsTest : public MsgTest {
protected:
    ModemSim sim;
    void SetUp() override {
        MsgTest::SetUp();
        at_status = AtStatus{};
        at_status.socket = 0xFF;
        sms = SmsEngine{};
        GSMGPRSInfo_St = GsmInfo{};
        RxAction = 0;
        TelitPowerON = 0;
        NV_EditorFeatures |= NVF_SMS;
        plc_reg[64] &= uint8_t(~1u);
    }
    // Main-loop passes and scans for ms milliseconds of controller time.
    void Pass(uint32_t ms) {
        for (uint32_t i = 0; i < ms / 10; i++) {
            LA_TimeAdvance(100);
            ModemCycle();
            SMS_Scanner();
            sim.Pump();
        }
    }
    SmsBlock SendBlock() {
        SmsBlock b;
        b.contacts = {{"+49 151-1234 5678", 1}};
        b.tx = {{"T=xxx C", 1, M16(40), "2:0:"}};
        b.rx = {{"SET xx", 0, 1, M16(41), "4:1:"}};
        b.fields = {{R(5), 16, 4, 3, 0, 0}, {R(6), 16, 4, 2, 0, 0}};
        b.status_reg = R(100);
        b.storage_reg = R(200);
        return b;
    }
    std::string Storage() {
        return std::string(reinterpret_cast<const char *>(&plc_reg[(R(200) - 1024) / 8]), 12).c_str();
    }
    void StartUp(const SmsBlock &b) {
        b.Install(next_crc++);
        SMS_Start();
        ASSERT_TRUE(Sms_MagicIs1VMS());
        Pass(100);
        ASSERT_EQ(sim.cmds.size(), 1u);
        EXPECT_EQ(sim.cmds[0], "AT+CPIN?\r");
        Pass(9800);
        EXPECT_EQ(sim.cmds.size(), 1u);  // ten seconds after the SIM check
        Pass(400);
        ASSERT_EQ(sim.cmds.size(), 2u);
        EXPECT_EQ(sim.cmds[1], "AT+CMGF=1\r");
        Pass(1000);  // each step waits a second after its answer
        ASSERT_EQ(sim.cmds.size(), 3u);
        EXPECT_EQ(sim.cmds[2], "AT+CSMP=17,167,0,0\r");
        Pass(200);
        EXPECT_EQ(CheckInit(), 1u);
    }
};

}  // namespace

TEST_F(SmsTest, SendsTheTextWithItsFieldToTheGroup) {
    // A number of 25 digits goes out as its first 20 behind the '+': a
    // phone number has at most 20 digits.
    {
        SmsBlock b = SendBlock();
        b.contacts = {{"+4912345678901234567890123", 1}};
        StartUp(b);
        LT_SetBit(M16(40), true);
        Pass(6000);
        std::size_t at = 0;
        while (at < sim.cmds.size() && sim.cmds[at].rfind("AT+CMGS", 0) != 0) at++;
        ASSERT_LT(at, sim.cmds.size());
        EXPECT_EQ(sim.cmds[at], "AT+CMGS=+49123456789012345678\r");
        SetUp();
        sim = ModemSim{};
    }
    SmsBlock b = SendBlock();
    b.contacts = {{"+49 170-1234 5609", 1}};  // digits 0 and 9 are kept
    StartUp(b);
    const std::size_t before = sim.cmds.size();
    LT_SetW(R(5), 42);
    LT_SetBit(M16(40), true);
    Pass(6000);
    std::size_t at = before;
    while (at < sim.cmds.size() && sim.cmds[at].rfind("AT+CMGS", 0) != 0) at++;
    ASSERT_LT(at + 1, sim.cmds.size());
    EXPECT_EQ(sim.cmds[at], "AT+CMGS=+4917012345609\r");
    EXPECT_EQ(sim.cmds[at + 1], "T= 42 C\x1a");
    // A list of the stored messages is all that came between.
    for (std::size_t i = before; i < at; i++) EXPECT_EQ(sim.cmds[i], "AT+CMGL=\"ALL\"\r");
    EXPECT_FALSE(LT_Bit(M16(40)));
    EXPECT_EQ(Storage(), "T= 42 C");
    EXPECT_EQ(LT_W(R(104)), 1);
    EXPECT_EQ(LT_W(R(100)), 0);
    // The cyclic signal query of the external module.
    Pass(11000);
    EXPECT_EQ(LT_W(R(101)), 21);
    // Every item of a message's position list is filled, however many:
    // one field of one character at each of 24 places here.
    SetUp();
    sim = ModemSim{};
    SmsBlock many = SendBlock();
    std::string list;
    for (int i = 0; i < 24; i++) list += std::to_string(i) + ":2:";
    many.tx = {{std::string(24, 'x'), 1, M16(40), list}};
    many.fields.push_back({R(7), 16, 4, 1, 0, 0});
    StartUp(many);
    const std::size_t first = sim.cmds.size();
    LT_SetW(R(7), 7);
    LT_SetBit(M16(40), true);
    Pass(6000);
    at = first;
    while (at < sim.cmds.size() && sim.cmds[at].rfind("AT+CMGS", 0) != 0) at++;
    ASSERT_LT(at + 1, sim.cmds.size());
    EXPECT_EQ(sim.cmds[at + 1], "777777777777777777777777\x1a");
}

// A group whose remaining contacts have no number ends its send: the
// trigger is cleared and the message goes out once, to the one number.
TEST_F(SmsTest, AGroupWithoutNumbersLeftEndsItsSend) {
    SmsBlock b = SendBlock();
    b.contacts = {{"none", 1}, {"+4915112345678", 1}, {"-", 1}};
    StartUp(b);
    const std::size_t before = sim.cmds.size();
    LT_SetW(R(5), 7);
    LT_SetBit(M16(40), true);
    Pass(40000);
    std::vector<std::string> sent;
    for (std::size_t i = before; i < sim.cmds.size(); i++)
        if (sim.cmds[i].rfind("AT+CMGS", 0) == 0) sent.push_back(sim.cmds[i]);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0], "AT+CMGS=+4915112345678\r");
    EXPECT_FALSE(LT_Bit(M16(40)));
    EXPECT_EQ(LT_W(R(104)), 1);
    // Set again, it goes out again, once.
    LT_SetBit(M16(40), true);
    Pass(40000);
    std::size_t again = 0;
    for (std::size_t i = before; i < sim.cmds.size(); i++) again += sim.cmds[i].rfind("AT+CMGS", 0) == 0;
    EXPECT_EQ(again, 2u);
    EXPECT_FALSE(LT_Bit(M16(40)));
}

// A group of three contacts: three messages in three send steps, the last
// contact first; the trigger is cleared after the third only.
TEST_F(SmsTest, AGroupOfThreeGetsThreeMessagesLastContactFirst) {
    SmsBlock b = SendBlock();
    b.contacts = {{"+4915100000001", 1}, {"+4915100000002", 1}, {"+4917000000009", 2}, {"+4915100000003", 1}};
    StartUp(b);
    const std::size_t before = sim.cmds.size();
    LT_SetW(R(5), 5);
    LT_SetBit(M16(40), true);
    std::vector<std::string> sent;
    std::vector<uint32_t> started, ended;  // ms: each AT+CMGS, each text's end
    bool cleared_early = false;
    for (uint32_t t = 0; t < 40000 && sent.size() < 3; t += 10) {
        const std::size_t had = sim.cmds.size();
        Pass(10);
        for (std::size_t k = had; k < sim.cmds.size(); k++) {
            if (sim.cmds[k].rfind("AT+CMGS", 0) == 0) started.push_back(t);
            if (sim.cmds[k].back() == '\x1a') ended.push_back(t);
        }
        sent.clear();
        for (std::size_t k = before; k < sim.cmds.size(); k++)
            if (sim.cmds[k].rfind("AT+CMGS", 0) == 0) sent.push_back(sim.cmds[k]);
        if (sent.size() < 3 && !LT_Bit(M16(40))) cleared_early = true;
    }
    // A Telit module sends at most once every 5 s after the last attempt.
    ASSERT_EQ(started.size(), 3u);
    ASSERT_GE(ended.size(), 2u);
    EXPECT_GE(started[1], ended[0] + 5000);
    EXPECT_LT(started[1], ended[0] + 7000);
    EXPECT_GE(started[2], ended[1] + 5000);
    Pass(20000);
    sent.clear();
    for (std::size_t k = before; k < sim.cmds.size(); k++)
        if (sim.cmds[k].rfind("AT+CMGS", 0) == 0) sent.push_back(sim.cmds[k]);
    const std::vector<std::string> want = {"AT+CMGS=+4915100000003\r", "AT+CMGS=+4915100000002\r",
                                           "AT+CMGS=+4915100000001\r"};
    EXPECT_EQ(sent, want);
    EXPECT_FALSE(cleared_early);
    EXPECT_FALSE(LT_Bit(M16(40)));
    EXPECT_EQ(LT_W(R(104)), 3);
}

TEST_F(SmsTest, ErrorAndMissingPromptMarkTheStatusWord) {
    struct Row {
        bool error;
        uint16_t bits;
        uint32_t wait_ms;
    };
    for (const Row r : {Row{true, 0x4000, 2000}, Row{false, 0xC000, 52000}}) {
        SetUp();
        sim = ModemSim{};
        sim.cmgs_error = r.error;
        sim.no_prompt = !r.error;
        StartUp(SendBlock());
        LT_SetW(R(5), 42);
        LT_SetBit(M16(40), true);
        Pass(r.wait_ms);
        EXPECT_EQ(LT_W(R(100)), r.bits) << r.error;
        EXPECT_FALSE(LT_Bit(M16(40)));
        EXPECT_EQ(LT_W(R(104)), 0);
    }
}

TEST_F(SmsTest, ReceivesCommandsFromKnownSendersOnly) {
    struct Row {
        const char *what;
        const char *tpl;
        uint8_t reply;
        const char *sender;
        const char *text;
        uint16_t r6;
        bool bit;
        const char *storage;
        const char *answer;  // nullptr: none
    };
    const Row rows[] = {
        {"command", "SET xx", 0, "+4915112345678", "set 42", 42, true, "R-set 42", nullptr},
        {"command with RV", "SET xx", 0, "+4915112345678", "set 42 RV", 42, true, "R-set 42 RV", "SET 42"},
        {"answer asked by the entry", "SET xx", 1, "+4915112345678", "set 42", 42, true, "R-set 42", "ACK"},
        {"text behind the field", "SET xx C", 0, "+4915112345678", "set 42 c", 42, true, "R-set 42 c", nullptr},
        {"unknown sender", "SET xx", 0, "+4915199999999", "set 42", 0, false, "", nullptr},
        {"no match", "SET xx", 0, "+4915112345678", "get 42", 0, false, "", nullptr},
    };
    for (const Row &r : rows) {
        SetUp();
        sim = ModemSim{};
        SmsBlock b = SendBlock();
        b.rx[0].tpl = r.tpl;
        b.rx[0].reply = r.reply;
        StartUp(b);
        sim.list = std::string("\r\n+CMGL: 3,\"REC UNREAD\",\"") + r.sender + "\",,\"24/01/01,12:00:00+04\"\r\n" +
                   r.text + "\r\n";
        Pass(3000);
        EXPECT_EQ(LT_W(R(6)), r.r6) << r.what;
        EXPECT_EQ(LT_Bit(M16(41)), r.bit) << r.what;
        EXPECT_EQ(Storage(), r.storage) << r.what;
        bool deleted = false, answered = false;
        for (std::size_t i = 0; i < sim.cmds.size(); i++) {
            if (sim.cmds[i] == "AT+CMGD=3\r") deleted = true;
            if (r.answer && sim.cmds[i] == std::string(r.answer) + "\x1a") answered = true;
        }
        EXPECT_TRUE(deleted) << r.what;
        EXPECT_EQ(answered, r.answer != nullptr) << r.what;
    }
}

// A contact whose number is held in registers (length 0): its commands are
// a known sender's, applied and deleted; and a message to its group goes to
// that number.
TEST_F(SmsTest, ContactsWithTheirNumberInRegisters) {
    SmsBlock b = SendBlock();
    b.contacts = {{"", 1, R(300)}};
    std::memcpy(&plc_reg[(R(300) - 1024) / 8], "+4915112345678", 15);
    StartUp(b);
    sim.list = "\r\n+CMGL: 3,\"REC UNREAD\",\"+4915112345678\",,\"24/01/01,12:00:00+04\"\r\nset 42\r\n";
    Pass(3000);
    EXPECT_EQ(LT_W(R(6)), 42);
    EXPECT_TRUE(LT_Bit(M16(41)));
    EXPECT_EQ(Storage(), "R-set 42");
    sim.list.clear();
    const std::size_t before = sim.cmds.size();
    LT_SetW(R(5), 7);
    LT_SetBit(M16(40), true);
    Pass(6000);
    std::size_t at = before;
    while (at < sim.cmds.size() && sim.cmds[at].rfind("AT+CMGS", 0) != 0) at++;
    ASSERT_LT(at + 1, sim.cmds.size());
    EXPECT_EQ(sim.cmds[at], "AT+CMGS=+4915112345678\r");
    EXPECT_EQ(sim.cmds[at + 1], "T=  7 C\x1a");
}

TEST_F(SmsTest, EmptyListsOfTheExternalModuleAreNoErrors) {
    StartUp(SendBlock());
    const uint16_t resets = at_status.resets;
    std::size_t polls = 0;
    for (int i = 0; i < 30; i++) {
        Pass(500);
        EXPECT_EQ(at_status.errcnt, 0) << i;
    }
    for (const std::string &c : sim.cmds) polls += c == "AT+CMGL=\"ALL\"\r";
    EXPECT_GE(polls, 11u);
    EXPECT_EQ(at_status.resets, resets);
    std::size_t sims = 0;
    for (const std::string &c : sim.cmds) sims += c == "AT+CPIN?\r";
    EXPECT_EQ(sims, 1u);  // never re-initialised
}

TEST_F(SmsTest, DataFieldTexts) {
    struct Row {
        const char *what;
        SmsBlock::Field f;
        uint32_t value;
        const char *placeholder;
        const char *text;
    };
    const Row rows[] = {
        {"overflow", {R(5), 16, 4, 3, 0, 0}, 1234, "xxx C", ">>> C"},
        {"decimals", {R(5), 16, 4, 6, 0, 2}, 1234, "xxxxxx", "0.1234"},
        {"decimals, long value", {R(5), 16, 4, 6, 0, 2}, 12345, "xxxxxx", "1.2345"},
        {"dotted address", {R(5), 32, 9, 9, 0, 0}, 0x0A4D0003, "xxxxxxxxx", "10.77.0.3"},
        {"bit on", {R(5), 1, 0, 0, 0, 0}, 1, "xxx", " ON"},
        {"bit off", {R(5), 1, 0, 3, 0, 0}, 0, "xxx", "OFF"},
        {"binary", {R(5), 16, 1, 4, 0, 0}, 5, "xxxx", " 101"},
        {"hexadecimal", {R(5), 16, 2, 4, 0, 0}, 0xBEEF, "xxxx", "beef"},
        // A width of 0 is a word, as when a command writes the field.
        {"binary of width 0", {R(5), 0, 1, 4, 0, 0}, 5, "xxxx", " 101"},
        {"hexadecimal of width 0", {R(5), 0, 2, 4, 0, 0}, 0xBEEF, "xxxx", "beef"},
        {"signed 16", {R(5), 16, 3, 4, 0, 0}, 0xFFFB, "xxxx", "  -5"},
        {"signed 8", {R(5), 8, 3, 4, 0, 0}, 0xFB, "xxxx", "  -5"},
        {"unsigned 32", {R(5), 32, 6, 10, 0, 0}, 4000000000u, "xxxxxxxxxx", "4000000000"},
        {"zero padded", {R(5), 16, 4, 5, 2, 0}, 42, "xxxxx", "00042"},
        {"right padded", {R(5), 16, 4, 5, 1, 0}, 42, "xxxxx", "42   "},
        {"field wider than the text", {R(5), 16, 4, 4, 0, 0}, 1234, "xxx", "123"},
        // A sign, a zero, the point and three digits need six characters.
        {"negative decimals", {R(5), 16, 3, 6, 0, 2}, 0xFF85, "xxxxxx", "-0.123"},
        {"negative decimals, one short", {R(5), 16, 3, 5, 0, 2}, 0xFF85, "xxxxx", ">>>>>"},
        {"negative decimals, four digits", {R(5), 16, 3, 7, 0, 2}, 0xFB2E, "xxxxxxx", "-0.1234"},
        {"negative decimals, four digits one short", {R(5), 16, 3, 6, 0, 2}, 0xFB2E, "xxxxxx", ">>>>>>"},
        {"negative decimals, point inside", {R(5), 16, 3, 5, 0, 2}, 0xFFF4, "xxxxx", "-0.12"},
    };
    for (const Row &r : rows) {
        SmsBlock b = SendBlock();
        b.fields = {r.f};
        b.Install(next_crc++);
        SmsTables t;
        ASSERT_EQ(Sms_Tables(8, t), 1u);
        ASSERT_EQ(SMSTableCheck(t), 1u) << r.what;
        LT_SetD(R(5), r.value);
        if (r.f.width == 16) LT_SetD(R(5), r.value & 0xFFFF);
        char val[72];
        const uint32_t n = GetDataFromReg(t, 0, val, sizeof val);
        char msg[32];
        std::snprintf(msg, sizeof msg, "%s", r.placeholder);
        DataFormat(msg, uint32_t(std::strlen(msg)), 0, val, n, t, 0);
        EXPECT_STREQ(msg, r.text) << r.what;
    }
}

// Field values at their lengths: a buffer of 40 bytes is enough; a text field
// of 3 takes 3 register bytes; a float printed in 32 characters is kept; a
// field placed at the text's end writes nothing.
TEST_F(SmsTest, FieldValuesAtTheirLengths) {
    SmsBlock b = SendBlock();
    b.fields = {{R(5), 16, 4, 3, 0, 0}, {R(7), 8, 8, 3, 0, 0}, {R(9), 32, 7, 40, 0, 0}};
    b.Install(next_crc++);
    SmsTables t;
    ASSERT_EQ(Sms_Tables(8, t), 1u);
    LT_SetW(R(5), 42);
    char val[72];
    EXPECT_EQ(GetDataFromReg(t, 0, val, 40), 2u);
    EXPECT_STREQ(val, "42");
    LT_SetW(R(7), 0x4241);
    LT_SetW(R(8), 0x4443);
    EXPECT_EQ(GetDataFromReg(t, 1, val, sizeof val), 3u);
    EXPECT_STREQ(val, "ABC");
    LT_SetD(R(9), 0x67800000);  // 2^80
    EXPECT_EQ(GetDataFromReg(t, 2, val, sizeof val), 32u);
    EXPECT_STREQ(val, "1208925819614629174706176.000000");
    char msg[4] = "abc";
    DataFormat(msg, 3, 3, "42", 2, t, 0);
    EXPECT_STREQ(msg, "abc");
}

// Command texts: digits 0 and 9 in every numeric format, a value or "RV" that
// would run past the text's end, a value of 40 characters (39 are taken).
TEST_F(SmsTest, CommandTextsToTheirEnds) {
    struct Row {
        const char *what;
        SmsBlock::Field f;
        const char *tpl, *text;
        std::size_t len;  // bytes of text given; the rest lies past its end
        uint32_t ok, value;
        uint8_t rv;
    };
    const Row rows[] = {
        {"signed 16", {R(6), 16, 3, 4, 0, 0}, "SET xxxx", "set -909", 8, 1, 0xFC73, 0},
        {"unsigned 16", {R(6), 16, 4, 3, 0, 0}, "SET xxx", "set 909", 7, 1, 909, 0},
        {"signed 32", {R(6), 32, 5, 5, 0, 0}, "SET xxxxx", "set 90009", 9, 1, 90009, 0},
        {"unsigned 32", {R(6), 32, 6, 5, 0, 0}, "SET xxxxx", "set 90009", 9, 1, 90009, 0},
        {"float", {R(6), 32, 7, 4, 0, 0}, "SET xxxx", "set 9.05", 8, 1, 0x4110CCCD, 0},
        {"dotted", {R(6), 32, 9, 8, 0, 0}, "SET xxxxxxxx", "set 10.9.0.9", 12, 1, 0x0A090009, 0},
        {"value at the end", {R(6), 16, 4, 3, 0, 0}, "SET xxx", "set 423", 6, 1, 42, 0},
        {"text ending at the field: an empty value", {R(6), 16, 4, 3, 0, 0}, "SET xxx", "set 4", 4, 1, 0, 0},
        {"template past the end", {R(6), 16, 4, 3, 0, 0}, "SET xxx V", "set 42 V", 7, 0, 0x7777, 0},
        {"RV past the end", {R(6), 16, 4, 3, 0, 0}, "SET xxx", "set 42 RV", 8, 0, 0x7777, 0},
        {"40 characters",
         {R(6), 8, 8, 45, 0, 0},
         "T xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx",
         "T aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa",
         42,
         0,
         0x7777,
         0},
    };
    for (const Row &r : rows) {
        SetUp();
        SmsBlock b = SendBlock();
        b.rx[0].tpl = r.tpl;
        b.fields = {r.f};
        b.rx[0].list = std::string(r.tpl).find('x') == 4 ? "4:0:" : "2:0:";
        b.Install(next_crc++);
        ASSERT_EQ(Sms_Tables(8, sms.t), 1u) << r.what;
        LT_SetD(R(6), 0x7777);
        char answer[64];
        uint8_t rv = 9;
        const std::vector<char> text(r.text, r.text + r.len);  // no byte behind the text's end
        EXPECT_EQ(ParseSMS(0, text.data(), uint32_t(r.len), answer, sizeof answer, &rv), r.ok) << r.what;
        EXPECT_EQ(r.f.width == 16 ? LT_W(R(6)) : LT_D(R(6)), r.value) << r.what;
        EXPECT_EQ(rv, r.rv) << r.what;
    }
    // At most 21 fields: list items placed past the longest text are no
    // fields and leave room for the one behind them.
    {
        SetUp();
        SmsBlock b = SendBlock();
        b.rx[0].tpl = "SET xxx";
        b.fields = {{R(6), 16, 4, 3, 0, 0}};
        b.rx[0].list.clear();
        for (int k = 0; k < 21; k++) b.rx[0].list += "512:0:";
        b.rx[0].list += "4:0:";
        b.Install(next_crc++);
        ASSERT_EQ(Sms_Tables(8, sms.t), 1u);
        LT_SetD(R(6), 0x7777);
        char answer[64];
        uint8_t rv = 9;
        EXPECT_EQ(ParseSMS(0, "set 42", 6, answer, sizeof answer, &rv), 1u);
        EXPECT_EQ(LT_W(R(6)), 42);
    }
    // A data field of width 0 takes no characters and the template goes on
    // behind it: "xxx" against "42" refuses the command, nothing is written.
    {
        SetUp();
        SmsBlock b = SendBlock();
        b.rx[0].tpl = "SET xxx";
        b.fields = {{R(6), 16, 4, 0, 0, 0}};
        b.rx[0].list = "4:0:";
        b.Install(next_crc++);
        ASSERT_EQ(Sms_Tables(8, sms.t), 1u);
        LT_SetD(R(6), 0x7777);
        char answer[64];
        uint8_t rv = 9;
        EXPECT_EQ(ParseSMS(0, "set 42", 6, answer, sizeof answer, &rv), 0u);
        EXPECT_EQ(LT_W(R(6)), 0x7777);
        // In front of a ":" the field takes an empty value, written as 0.
        b.rx[0].tpl = "SET :";
        b.Install(next_crc++);
        ASSERT_EQ(Sms_Tables(8, sms.t), 1u);
        EXPECT_EQ(ParseSMS(0, "set 42:", 7, answer, sizeof answer, &rv), 0u);
        EXPECT_EQ(LT_W(R(6)), 0x7777);
        EXPECT_EQ(ParseSMS(0, "set :", 5, answer, sizeof answer, &rv), 1u);
        EXPECT_EQ(LT_W(R(6)), 0);
    }
    // Position lists: the digit 9, two digits ending in 9, a pair whose
    // second number or colon lies past the list's end.
    struct L {
        const char *list;
        uint32_t len, ok, pos, field;
    };
    const L lists[] = {
        {"9:0:", 4, 1, 9, 0},
        {"19:0:", 5, 1, 19, 0},
        {"1:2:", 2, 0, 0, 0},
        {"1:2:", 3, 0, 0, 0},
    };
    for (const L &l : lists) {
        uint32_t at = 0, pos = 0, field = 0;
        const std::vector<char> exact(l.list, l.list + l.len);  // no byte behind the list's end
        EXPECT_EQ(FieldExtractor(exact.data(), l.len, &at, &pos, &field), l.ok) << l.list << " " << l.len;
        EXPECT_EQ(pos, l.pos) << l.list;
        EXPECT_EQ(field, l.field) << l.list;
    }
}

// The tenth error in a row (a time-out here) logs the count with the
// controller's clock, not the host's, and resets the module.
TEST_F(SmsTest, TenErrorsInARowLogTheControllersTime) {
    const DbgLogRec saved = DbgLog;
    DbgLog = {R(900), 0, 1};
    LT_SetW(R(900), 0x0001);
    LE_Put16(&plc_reg[2 * W_MODE], 2);
    Dbglog_len = 0;
    const std::array<uint16_t, 7> clock_was = RTCTime;
    RTCTime = {7, 8, 21, 9, 12, 2026, 4};  // 21:08:07
    std::vector<uint8_t> buf(256);
    const at_cmd_st script[] = {{4, "AT+A", 0, "", 20000, AT_F_LAST, 0, 13, 0, 1, 0},
                                {AT_END, "", 0, "", 0, 0, 0, 0, 0, 0, 0}};
    at_status.port = 2;
    at_status.errcnt = 9;
    const uint16_t resets = at_status.resets;
    AT_Load(script, 0, 1, buf.data(), uint16_t(buf.size()));
    AT_Cmd_Handler(&script[0]);
    LA_TimeAdvance(20000);
    AT_Cmd_Handler(&script[0]);
    EXPECT_EQ(at_status.resets, resets + 1);
    std::string log(reinterpret_cast<const char *>(DbgLogBuf.data()), Dbglog_len);
    EXPECT_NE(log.find("Cirtc Err cnt 10 21:8:7"), std::string::npos) << log;
    // The bytes of an answer are logged as they are read: 40 of them as a
    // line of 32 and one of the last 8.
    Dbglog_len = 0;
    at_status.errcnt = 0;
    fake_ports::FlushRx(2);
    AT_Load(script, 0, 1, buf.data(), uint16_t(buf.size()));
    AT_Cmd_Handler(&script[0]);
    fake_ports::Feed(2, "\r\n+X: 0123456789ABCDEFGHIJKLMNOPQR\r\nOK\r\n");
    AT_Cmd_Handler(&script[0]);
    EXPECT_EQ(at_status.result, AT_R_OK);
    log.assign(reinterpret_cast<const char *>(DbgLogBuf.data()), Dbglog_len);
    // (The log ends each entry with CR LF.)
    EXPECT_NE(log.find("\r\n+X: 0123456789ABCDEFGHIJKLMNOP\r\nQR\r\nOK\r\n\r\n"), std::string::npos) << log;
    RTCTime = clock_was;
    DbgLog = saved;
    Dbglog_len = 0;
    LE_Put16(&plc_reg[2 * W_MODE], 0);
}

// Texts of 511 characters go out; 512 are more than a message holds.
TEST_F(SmsTest, TextsOfTheLongestLength) {
    for (const std::size_t n : {std::size_t(511), std::size_t(512)}) {
        SetUp();
        sim = ModemSim{};
        SmsBlock b = SendBlock();
        b.tx[0].text = std::string(n, 'a');
        b.tx[0].list = "";
        StartUp(b);
        const std::size_t before = sim.cmds.size();
        LT_SetBit(M16(40), true);
        Pass(6000);
        std::size_t sent = 0;
        for (std::size_t i = before; i < sim.cmds.size(); i++) sent += sim.cmds[i].rfind("AT+CMGS", 0) == 0;
        EXPECT_EQ(sent, n == 511 ? 1u : 0u) << n;
    }
}

TEST_F(SmsTest, WidestFieldKeepsItsPointAndDigits) {
    SmsBlock b = SendBlock();
    b.fields = {{R(5), 16, 4, 200, 0, 2}};
    b.Install(next_crc++);
    SmsTables t;
    ASSERT_EQ(Sms_Tables(8, t), 1u);
    LT_SetW(R(5), 1234);
    char val[72];
    const uint32_t n = GetDataFromReg(t, 0, val, sizeof val);
    std::string msg(200, 'x');
    DataFormat(msg.data(), 200, 0, val, n, t, 0);
    EXPECT_EQ(msg, "0." + std::string(194, '0') + "1234");
}

TEST_F(SmsTest, BlockChecksDisableMessaging) {
    struct Row {
        const char *what;
        int size;  // section size written, -1: the real one
        uint32_t limit_extra;
        bool centre_far;
        bool on;
    };
    const Row rows[] = {
        {"valid", -1, 0, false, true},
        {"99-byte section", 99, 0, false, false},
        {"section past the block", 200000, 0, false, false},
        {"limit past the section", -1, 4000, false, false},
    };
    for (const Row &r : rows) {
        SetUp();
        SmsBlock b = SendBlock();
        b.size_override = r.size;
        b.limit_extra = r.limit_extra;
        b.Install(next_crc++);
        SMS_Start();
        EXPECT_EQ(Sms_MagicIs1VMS(), r.on) << r.what;
        if (!r.on) {
            EXPECT_EQ(std::string(sms.MagicID.data()), "MSON") << r.what;
        }
    }
    // A receive-command or send-message table without entries is never read:
    // its address (0 here, far before the section) does not matter.
    for (bool receive : {true, false}) {
        SetUp();
        SmsBlock b = SendBlock();
        if (receive)
            b.rx.clear();
        else
            b.tx.clear();
        b.Install(next_crc++);
        LE_Put32(&sms_table_bl[8 + (receive ? 16 : 24)], 0);
        SMS_Start();
        EXPECT_TRUE(Sms_MagicIs1VMS()) << receive;
    }
    // A section of its 100-byte header alone, its tables empty, is valid.
    SetUp();
    SmsBlock().Install(next_crc++);
    ASSERT_EQ(LE_Get32(&sms_table_bl[8]), 100u);
    SMS_Start();
    EXPECT_TRUE(Sms_MagicIs1VMS());
    // A service-centre number of 16 characters and a PIN of 4 (its first 4)
    // go to the module; 17 and 5 are too long and go as empty.
    for (const std::size_t n : {std::size_t(16), std::size_t(17)}) {
        SetUp();
        SmsBlock with_centre;
        with_centre.centre = std::string("+4917200000000099").substr(0, n);
        with_centre.Install(next_crc++);
        LE_Put32(&sms_table_bl[8 + 72], LE_Get32(&sms_table_bl[8 + 48]));
        LE_Put32(&sms_table_bl[8 + 76], uint32_t(n - 12));
        sms_table_bl[8 + 69] = 1;
        SMS_Start();
        EXPECT_TRUE(Sms_MagicIs1VMS());
        EXPECT_EQ(ConfigDataInStr[2].len, n == 16 ? 16 : 0) << n;
        EXPECT_EQ(ConfigDataInStr[0].len, n == 16 ? 4 : 0) << n;
    }
    // The centre number and the PIN go to the module before the tables are
    // checked: a section that fails its check (its string limit past the
    // section here) still gives them, and with them the SIM its PIN. A PIN
    // placed past the block's data (in a section claiming 200000 bytes) is
    // none: nothing is read from past the block.
    const auto config = [](unsigned item) {
        const AtConfigStr &c = ConfigDataInStr[item - 1];
        return std::string(c.text.data(), c.len);
    };
    for (const bool past : {false, true}) {
        SetUp();
        SmsBlock failing = SendBlock();
        failing.centre = "+491720000000";
        failing.limit_extra = 4000;
        failing.size_override = past ? 200000 : -1;
        failing.Install(next_crc++);
        const uint32_t strings_len = LE_Get32(&sms_table_bl[8 + 44]) - 4000;
        LE_Put32(&sms_table_bl[8 + 72], past ? strings_len + 16 : LE_Get32(&sms_table_bl[8 + 48]) + 9);
        LE_Put32(&sms_table_bl[8 + 76], 4);
        sms_table_bl[8 + 69] = 1;
        SMS_Start();
        EXPECT_FALSE(Sms_MagicIs1VMS()) << past;
        EXPECT_EQ(config(3), "+491720000000") << past;
        EXPECT_EQ(config(1), past ? "" : "0000") << past;
    }
    // A 99-byte section is no section: nothing is read from it, its storage
    // register keeps its value.
    SetUp();
    SmsBlock small = SendBlock();
    small.size_override = 99;
    small.Install(next_crc++);
    LT_SetW(R(200), 0x4142);
    SMS_Start();
    EXPECT_FALSE(Sms_MagicIs1VMS());
    EXPECT_EQ(LT_W(R(200)), 0x4142);
    // A section at the very end of the store whose position list's length
    // is the store's last word: read there (1 refuses it, string limit 0).
    struct End {
        uint32_t len, ok;
    };
    for (const End &e : {End{1, 0}, End{0, 1}}) {
        sms_table_bl.fill(0);
        const uint32_t sec = uint32_t(SMS_TABLE_BL_SIZE) - 124;
        uint8_t *s = &sms_table_bl[sec];
        LE_Put32(&sms_table_bl[4], uint32_t(SMS_TABLE_BL_SIZE) - 8);
        LE_Put32(s, 124);
        LE_Put32(s + 8, 7000);
        LE_Put32(s + 24, 7000);  // one send message, at the section's byte 100
        LE_Put32(s + 28, 16);
        LE_Put32(s + 32, 7016);  // no fields: its list at byte 116
        LE_Put32(s + 40, 7000);
        LE_Put32(&sms_table_bl[SMS_TABLE_BL_SIZE - 4], e.len);
        SmsTables t;
        ASSERT_EQ(Sms_Tables(sec, t), 1u);
        EXPECT_EQ(t.lists, SMS_TABLE_BL_SIZE - 8);
        EXPECT_EQ(SMSTableCheck(t), e.ok) << e.len;
    }
    // A section that fails its check is not used: the storage register named
    // in it keeps its value.
    SetUp();
    SmsBlock bad = SendBlock();
    bad.limit_extra = 4000;
    bad.Install(next_crc++);
    LT_SetW(R(200), 0x4142);
    LT_SetW(R(279), 0x4344);
    SMS_Start();
    EXPECT_FALSE(Sms_MagicIs1VMS());
    EXPECT_EQ(LT_W(R(200)), 0x4142);
    EXPECT_EQ(LT_W(R(279)), 0x4344);
    // Nor at the next entry into run with the same block.
    SMS_Start();
    EXPECT_FALSE(Sms_MagicIs1VMS());
    EXPECT_EQ(LT_W(R(200)), 0x4142);
    EXPECT_EQ(LT_W(R(279)), 0x4344);
    // A feature word without SMS leaves messaging off.
    SetUp();
    NV_EditorFeatures &= ~NVF_SMS;
    SendBlock().Install(next_crc++);
    SMS_Start();
    EXPECT_FALSE(Sms_MagicIs1VMS());
    // Switched off for one run and on again with the same block (feature bit
    // dropped, or the section cut to 99 bytes and put back): the engine is
    // set up again, and a raised trigger sends its message.
    for (const bool by_size : {false, true}) {
        SetUp();
        sim = ModemSim{};
        SmsBlock same = SendBlock();
        StartUp(same);
        if (by_size) {
            const uint32_t real = LE_Get32(&sms_table_bl[8]);
            LE_Put32(&sms_table_bl[8], 99);
            SMS_Start();
            EXPECT_FALSE(Sms_MagicIs1VMS()) << by_size;
            LE_Put32(&sms_table_bl[8], real);
        } else {
            NV_EditorFeatures &= ~NVF_SMS;
            SMS_Start();
            EXPECT_FALSE(Sms_MagicIs1VMS()) << by_size;
            NV_EditorFeatures |= NVF_SMS;
        }
        SMS_Start();
        EXPECT_TRUE(Sms_MagicIs1VMS()) << by_size;
        const std::size_t before = sim.cmds.size();
        LT_SetW(R(5), 42);
        LT_SetBit(M16(40), true);
        Pass(30000);
        std::vector<std::string> sent;
        for (std::size_t i = before; i < sim.cmds.size(); i++)
            if (sim.cmds[i].rfind("AT+CMGS", 0) == 0) sent.push_back(sim.cmds[i]);
        ASSERT_EQ(sent.size(), 1u) << by_size;
        EXPECT_EQ(sent[0], "AT+CMGS=+4915112345678\r") << by_size;
    }
}

TEST_F(SmsTest, SenderNumbersMatchByContainment) {
    EXPECT_EQ(Sms_NumberMatch("+4915112345678", "015112345678"), 1u);
    EXPECT_EQ(Sms_NumberMatch("+4915112345678", "+49 151-1234 5678"), 1u);
    EXPECT_EQ(Sms_NumberMatch("+4915112345678", "015199999999"), 0u);
    EXPECT_EQ(Sms_NumberMatch("+4915112345678", ""), 0u);
    // The other direction: a sender without its country code lies inside a
    // contact stored with it.
    EXPECT_EQ(Sms_NumberMatch("15112345678", "+4915112345678"), 1u);
    EXPECT_EQ(Sms_NumberMatch("5112345678", "0049 151 12345678"), 1u);
    EXPECT_EQ(Sms_NumberMatch("15112345679", "+4915112345678"), 0u);
    EXPECT_EQ(Sms_NumberMatch("", "+4915112345678"), 0u);
    EXPECT_EQ(Sms_NumberMatch("+4915112345678", "000"), 0u) << "a contact of zeros is no number";
    char idx[4], snd[24], txt[64];
    const char list[] = "\r\n+CMGL: 12,\"REC READ\",\"+4917\",,\"24/01/01\"\r\nhello\r\n";
    ASSERT_EQ(Sms_ParseList(list, sizeof list - 1, idx, snd, sizeof snd, txt, sizeof txt), 1u);
    EXPECT_STREQ(idx, "12");
    EXPECT_STREQ(snd, "+4917");
    EXPECT_STREQ(txt, "hello");
    EXPECT_EQ(Sms_ParseList("\r\n", 2, idx, snd, sizeof snd, txt, sizeof txt), 0u);
    // Digits 0 and 9 in numbers and indexes; numbers of 40 digits keep 31.
    EXPECT_EQ(Sms_NumberMatch("+1050", "1050"), 1u);
    EXPECT_EQ(Sms_NumberMatch(std::string(40, '7').c_str(), std::string(40, '7').c_str()), 1u);
    const char list90[] = "\r\n+CMGL: 90,\"REC READ\",\"+4917\",,\"24/01/01\"\r\nhello\r\n";
    ASSERT_EQ(Sms_ParseList(list90, sizeof list90 - 1, idx, snd, sizeof snd, txt, sizeof txt), 1u);
    EXPECT_STREQ(idx, "90");
    // Lists cut after the index, after the second comma, inside the sender,
    // and a text that runs to the last byte: nothing read past them.
    for (const char *cut : {"\r\n+CMGL: 1", "\r\n+CMGL: 1,\"REC READ\",", "\r\n+CMGL: 1,\"REC READ\",\"+49"}) {
        const std::vector<char> part(cut, cut + std::strlen(cut));
        EXPECT_EQ(Sms_ParseList(part.data(), uint32_t(part.size()), idx, snd, sizeof snd, txt, sizeof txt), 0u) << cut;
    }
    const std::string to_end = "\r\n+CMGL: 1,\"REC READ\",\"+4917\",,\"x\"\r\nhellox";
    ASSERT_EQ(Sms_ParseList(to_end.data(), uint32_t(to_end.size() - 1), idx, snd, sizeof snd, txt, sizeof txt), 1u);
    EXPECT_STREQ(txt, "hello");
}

// The AT engine's step results on hand-made scripts against port 2: an
// ERROR, an OK, an expected text missing, no wait at all, a buffer filled
// without a final result, parse pseudo-commands (captures and compares to
// their last byte), a prompt that is the whole answer.
TEST_F(SmsTest, AtScriptStepsAndTheirResults) {
    std::vector<uint8_t> buf;
    std::string &tx = fake_ports::P()[2].tx;
    auto run = [&](const at_cmd_st *script, uint32_t count, const char *answer, std::size_t room = 256) {
        std::vector<uint8_t>(room).swap(buf);  // exactly room bytes
        at_status.port = 2;
        AT_Load(script, 0, count, buf.data(), uint16_t(room));
        tx.clear();
        fake_ports::FlushRx(2);
        uint8_t step = AT_Cmd_Handler(&script[0]);
        if (answer != nullptr) {
            fake_ports::Feed(2, answer);
            step = AT_Cmd_Handler(&script[0]);
        }
        return step;
    };
    const at_cmd_st end{AT_END, "", 0, "", 0, 0, 0, 0, 0, 0, 0};
    const at_cmd_st plain[] = {{4, "AT+A", 0, "", 20000, AT_F_LAST, 0, 13, 0, 1, 0}, end};
    at_status.errcnt = 5;
    EXPECT_EQ(run(plain, 1, "\r\nERROR\r\n"), 1);
    EXPECT_EQ(tx, "AT+A\r");
    EXPECT_EQ(at_status.result, AT_R_ERR);
    EXPECT_EQ(at_status.errcnt, 5) << "an error is no success";
    EXPECT_EQ(run(plain, 1, "\r\nOK\r\n"), 1);
    EXPECT_EQ(at_status.result, AT_R_OK);
    EXPECT_EQ(at_status.errcnt, 0) << "a success ends a run of errors";
    // The final results the recogniser takes: the extended errors, an OK
    // right after a CR (an echoed command); an "OK" inside a line is none.
    for (const char *err : {"\r\n+CME ERROR: 10\r\n", "\r\n+CMS ERROR: 500\r\n"}) {
        run(plain, 1, err);
        EXPECT_EQ(at_status.result, AT_R_ERR) << err;
    }
    run(plain, 1, "AT+A\rOK\r\n");
    EXPECT_EQ(at_status.result, AT_R_OK);
    EXPECT_EQ(run(plain, 1, "\r\nBOOK\r\n"), 0);
    EXPECT_EQ(at_status.phase, AT_PH_WAIT);
    // A listed message's text line is the sender's, not a final result: a
    // text "ERROR" or "OK" stays in the list and the module's OK ends it.
    const at_cmd_st list[] = {{4, "AT+L", 6, "+CMGL:", 20000, AT_F_LAST | AT_F_PARSE, 0, 13, 0, 1, 0},
                              {AT_PSEUDO, "#1", 0, "", 0, 0, 0, 0, 0, 1, 0},
                              end};
    // A text of several lines (the sender's line breaks come as bare LFs)
    // is the sender's to its CR LF.
    for (const char *text : {"ERROR", "OK", "+CME ERROR: 1", "OK then", "Hi\nOK", "Pump\nERROR 5"}) {
        const std::string msg = std::string("\r\n+CMGL: 1,\"REC READ\",\"+4917\",,\"x\"\r\n") + text + "\r\n";
        run(list, 3, (msg + "\r\nOK\r\n").c_str());
        EXPECT_EQ(at_status.result, AT_R_OK) << text;
        EXPECT_EQ(std::string(reinterpret_cast<const char *>(buf.data()), at_status.count), msg + "\r\n") << text;
    }
    // The list as the line brings it, a read ending right after the text
    // "ERROR": no result yet; the module's OK comes with the next read.
    run(list, 3, "\r\n+CMGL: 1,\"REC READ\",\"+4917\",,\"x\"\r\nERROR\r\n");
    EXPECT_EQ(at_status.phase, AT_PH_WAIT);
    fake_ports::Feed(2, "\r\nOK\r\n");
    AT_Cmd_Handler(&list[0]);
    EXPECT_EQ(at_status.result, AT_R_OK);
    const at_cmd_st expect[] = {{4, "AT+B", 5, "+CSQ:", 20000, AT_F_LAST, 0, 13, 0, 1, 0}, end};
    run(expect, 1, "\r\nOK\r\n");
    EXPECT_EQ(at_status.result, AT_R_ERR);
    const at_cmd_st nowait[] = {{4, "AT+C", 0, "", 0, AT_F_LAST, 0, 13, 0, 1, 0}, end};
    EXPECT_EQ(run(nowait, 1, nullptr), 1);
    EXPECT_EQ(at_status.result, AT_R_OK);
    run(plain, 1, "\r\n+CSQ: 21,0\r\n", 8);
    EXPECT_EQ(at_status.result, AT_R_ERR) << "8 bytes and no final result";
    // Parse: field 1 captured ("ABC"), compared whole; field 9; slot 6.
    const at_cmd_st parse[] = {{4, "AT+E", 4, "+X: ", 20000, AT_F_LAST | AT_F_PARSE, 0, 13, 0, 1, 0},
                               {AT_PSEUDO, "#1", 0, "", 0, 0, ',', 0, 0, 1, 0},
                               {AT_PSEUDO, "=", 3, "ABC", 0, 0, 0, 0, 0, 1, 0},
                               end};
    run(parse, 4, "\r\n+X: ABC,DE\r\n\r\nOK\r\n");
    EXPECT_EQ(at_status.result, AT_R_OK);
    run(parse, 4, "\r\n+X: ABD,DE\r\n\r\nOK\r\n");
    EXPECT_EQ(at_status.result, AT_R_ERR);
    run(parse, 2, "\r\n+X: ABD,DE\r\n\r\nOK\r\n");
    EXPECT_EQ(at_status.result, AT_R_OK) << "the compare lies past the script's end";
    const at_cmd_st ninth[] = {{4, "AT+E", 4, "+X: ", 20000, AT_F_LAST | AT_F_PARSE, 0, 13, 0, 1, 0},
                               {AT_PSEUDO, "#9", 0, "", 0, 0, ',', 0, 0, 1, 0},
                               {AT_PSEUDO, "=", 4, "NINE", 0, 0, 0, 0, 0, 1, 0},
                               end};
    run(ninth, 4, "\r\n+X: a,b,c,d,e,f,g,h,NINE\r\n\r\nOK\r\n");
    EXPECT_EQ(at_status.result, AT_R_OK);
    char six[16] = {}, one[16] = {};
    at_stack_data[5] = AtSlot{0, six, sizeof six, nullptr};
    at_stack_data[0] = AtSlot{0, one, sizeof one, nullptr};
    const at_cmd_st slots[] = {{4, "AT+E", 4, "+X: ", 20000, AT_F_LAST | AT_F_PARSE, 0, 13, 0, 1, 0},
                               {AT_PSEUDO, "#2C1", 0, "", 0, 0, ',', 0, 0, 1, 0},
                               {AT_PSEUDO, "#1S6", 0, "", 0, 0, ',', 0, 0, 1, 0},
                               end};
    run(slots, 4, "\r\n+X: ABC,DE,FG\r\n\r\nOK\r\n");
    EXPECT_STREQ(six, "ABC");
    EXPECT_STREQ(one, "DE") << "a C capture ends at its separator";
    // A prompt that is the whole answer is the expected text.
    at_status.prompt = 2;
    const at_cmd_st prompt[] = {{4, "AT+F", 4, "\r\n> ", 20000, AT_F_LAST, 0, 13, 0, 1, 0}, end};
    run(prompt, 1, "\r\n> ");
    EXPECT_EQ(at_status.result, AT_R_OK);
    at_status.prompt = 0;
    // Send pieces: slot 6's text; the script's last entry is its last, and
    // the pseudo-command after it belongs to another.
    at_stack_data[5] = AtSlot{2, six, sizeof six, nullptr};
    std::memcpy(six, "hi", 3);
    const at_cmd_st piece[] = {{AT_PSEUDO, "%6", 0, "", 0, AT_F_LAST, 0, 0, 0, 1, 0}, end};
    run(piece, 1, nullptr);
    EXPECT_EQ(tx, "hi");
    const at_cmd_st two[] = {{4, "AT+H", 0, "", 0, 0, 0, 13, 0, 1, 0},
                             {4, "AT+I", 0, "", 0, 0, 0, 13, 0, 1, 0},
                             {AT_PSEUDO, "%1", 0, "", 0, 0, 0, 0, 0, 1, 0}};
    EXPECT_EQ(run(two, 1, nullptr), 1);
    EXPECT_EQ(tx, "AT+H\r");
    EXPECT_EQ(run(&two[1], 1, nullptr), 1);
    // The operator's number after its name: digits 9 and 0 first.
    AT_SetConfig(4, "TESTNET", 7);
    const at_cmd_st oper[] = {{4, "AT+G", 0, "", 20000, AT_F_LAST | AT_F_PARSE, 0, 13, 0, 1, 0},
                              {AT_PSEUDO, "$N", 0, "", 0, 0, 0, 0, 0, 1, 0},
                              end};
    for (const char *num : {"90210", "09910"}) {
        at_stack_data[0] = AtSlot{0, one, sizeof one, nullptr};
        run(oper, 3, (std::string("\r\n+COPS: (2,\"TESTNET\",\"TN\",\"") + num + "\")\r\n\r\nOK\r\n").c_str());
        EXPECT_STREQ(one, num);
    }
    // A numeric code configured is the code itself, not the one listed
    // after it; a code that only starts another is not found.
    AT_SetConfig(4, "22201", 5);
    const std::string two_codes =
        "\r\n+COPS: (2,\"I TIM\",\"TIM\",\"22201\"),(1,\"voda IT\",\"VD\",\"22210\")\r\n\r\nOK\r\n";
    at_stack_data[0] = AtSlot{0, one, sizeof one, nullptr};
    run(oper, 3, two_codes.c_str());
    EXPECT_EQ(at_status.result, AT_R_OK);
    EXPECT_STREQ(one, "22201");
    AT_SetConfig(4, "2221", 4);
    at_stack_data[0] = AtSlot{0, one, sizeof one, nullptr};
    at_status.status &= uint8_t(~AT_STS_NO_OPERATOR);
    run(oper, 3, two_codes.c_str());
    EXPECT_STREQ(one, "0");
    EXPECT_EQ(at_status.status & AT_STS_NO_OPERATOR, AT_STS_NO_OPERATOR);
    AT_SetConfig(4, "TESTNET", 7);
    char tiny[1] = {'x'};
    at_stack_data[0] = AtSlot{0, tiny, 1, nullptr};
    run(oper, 3, "\r\n+COPS: (2,\"OTHER\")\r\n\r\nOK\r\n");
    EXPECT_EQ(tiny[0], 'x') << "a slot of one byte is left alone";
    at_stack_data = {};
    // A configuration string keeps 1,023 characters.
    AT_SetConfig(1, std::string(1024, 'c').c_str(), 1024);
    EXPECT_EQ(ConfigDataInStr[0].len, 1023);
    AT_SetConfig(1, "", 0);
    // Socket status texts: 55 characters are too short to hold one; 56 are read.
    for (const std::size_t n : {std::size_t(55), std::size_t(56)}) {
        at_status.prompt = 4;
        std::string text = "#SS: 1,3";
        text.resize(n, ' ');
        AT_ApplySocketStatus(text.c_str(), uint32_t(n));
        EXPECT_EQ(at_status.prompt, n == 55 ? 4 : 0) << n;
    }
    at_status = AtStatus{};
    at_status.socket = 0xFF;
}

TEST_F(SmsTest, ReceiveCycleOnTheProgrammingPortModem) {
    SmsBlock b = SendBlock();
    b.rx[0].reply = 1;
    b.Install(next_crc++);
    SMS_Start();
    ASSERT_TRUE(Sms_MagicIs1VMS());
    RxAction = 13;
    std::string &tx = Port(0).tx;
    uint32_t over = 0;
    auto step = [&](uint32_t ms) {
        over = 0;
        for (uint32_t i = 0; i < ms / 10 && !over; i++) {
            LA_TimeAdvance(100);
            over = ReceiveSMSEnfora();
        }
    };
    const std::string kHeader = "\r\n+CMGL: 3,\"REC READ\",\"+4915112345678\",,\"24/01/01,12:00:00+04\"\r\n";
    // The receive period (1 s), then the unread listing; an empty answer ends
    // the cycle and the next listing asks for the read ones.
    step(900);
    EXPECT_EQ(tx, "");
    step(200);
    EXPECT_EQ(tx, "AT+CMGL= \"REC UNREAD\"\r\n");
    fake_ports::Feed(0, "\r\nOK\r\n");
    step(20);
    EXPECT_EQ(over, 1u);
    tx.clear();
    step(1100);
    EXPECT_EQ(tx, "AT+CMGL= \"REC READ\"\r\n");
    // A command from the contact: applied after the 2 s wait, answered, deleted.
    fake_ports::Feed(0, kHeader + "set 42\r\n\r\nOK\r\n");
    tx.clear();
    step(1900);
    EXPECT_EQ(LT_W(R(6)), 0);
    step(200);
    EXPECT_EQ(LT_W(R(6)), 42);
    EXPECT_TRUE(LT_Bit(M16(41)));
    EXPECT_EQ(Storage(), "R-set 42");
    EXPECT_EQ(tx, "AT+CMGS=\"+4915112345678\"\r");
    fake_ports::Feed(0, "\r\n> ");
    step(20);
    EXPECT_EQ(tx, "AT+CMGS=\"+4915112345678\"\rACK\x1a");
    fake_ports::Feed(0, "\r\n+CMGS: 9\r\n\r\nOK\r\n");
    step(20);
    EXPECT_EQ(tx,
              "AT+CMGS=\"+4915112345678\"\rACK\x1a"
              "AT+CMGD=3\r\n");
    fake_ports::Feed(0, "\r\nOK\r\n");
    step(20);
    EXPECT_EQ(over, 1u);
    EXPECT_EQ(RxAction, 13);
    EXPECT_EQ(LE_Get16(&sms.status[4]), 1u);   // received
    EXPECT_EQ(LE_Get16(&sms.status[10]), 1u);  // answered
    // An unknown sender: counted and deleted, nothing applied.
    tx.clear();
    step(1100);
    fake_ports::Feed(0, "\r\n+CMGL: 4,\"REC UNREAD\",\"+4917000000000\",,\"x\"\r\nset 7\r\n\r\nOK\r\n");
    step(2100);
    EXPECT_EQ(tx, "AT+CMGL= \"REC UNREAD\"\r\nAT+CMGD=4\r\n");
    EXPECT_EQ(LT_W(R(6)), 42);
    EXPECT_EQ(LE_Get16(&sms.status[6]), 1u);  // unknown senders
    fake_ports::Feed(0, "\r\nOK\r\n");
    step(20);
    // No answer within 10 s: bits 4 and 7 of status byte 1; "ERROR": bit 4.
    struct Row {
        const char *answer;
        uint8_t bits;
    };
    for (const Row &r : {Row{nullptr, 0x90}, Row{"\r\nERROR\r\n", 0x10}}) {
        sms.status[1] = 0;
        EnforaInit = 1;
        step(1100);
        if (r.answer) fake_ports::Feed(0, r.answer);
        step(10100);
        EXPECT_EQ(over, 1u);
        EXPECT_EQ(sms.status[1] & 0x90, r.bits);
        EXPECT_EQ(LT_W(R(100)) >> 8 & 0x90, r.bits);
        EXPECT_EQ(RxAction, 13);
    }
    EXPECT_EQ(CmdRetryCnt, 2);
    // Some bytes but no end within the 10 s: no listing error (no retry, no
    // bit 4, bit 7 cleared); the cycle ends as with an empty listing.
    sms.status[1] = 0x80;
    EnforaInit = 1;
    tx.clear();
    step(1100);
    ASSERT_EQ(tx, "AT+CMGL= \"REC READ\"\r\n");
    fake_ports::Feed(0, "\r\n+CMGL: 5,\"REC");
    step(9900);
    EXPECT_EQ(over, 0u);
    step(200);
    EXPECT_EQ(over, 1u);
    EXPECT_EQ(sms.status[1] & 0x90, 0);
    EXPECT_EQ(LT_W(R(100)) >> 8 & 0x90, 0);
    EXPECT_EQ(RxAction, 13);
    EXPECT_EQ(CmdRetryCnt, 2);
    tx.clear();
    step(1100);
    EXPECT_EQ(tx, "AT+CMGL= \"REC UNREAD\"\r\n");
    // A message whose text holds "ERROR" (mid-line, or ending its line) is a
    // listing all the same: parsed, its unknown sender counted, deleted; no
    // retry, no bit 4.
    const struct {
        const char *listing, *del;
    } texts[] = {
        {"\r\n+CMGL: 6,\"REC UNREAD\",\"+4917000000000\",,\"x\"\r\nERRORS AT PUMP\r\n\r\nOK\r\n", "AT+CMGD=6\r\n"},
        {"\r\n+CMGL: 7,\"REC READ\",\"+4917000000000\",,\"x\"\r\nPUMP ERROR\r\n\r\nOK\r\n", "AT+CMGD=7\r\n"},
    };
    uint16_t unknown = 1;
    for (const auto &t : texts) {
        if (tx.empty()) step(1100);
        tx.clear();
        fake_ports::Feed(0, t.listing);
        step(2100);
        EXPECT_EQ(tx, t.del) << t.listing;
        EXPECT_EQ(LE_Get16(&sms.status[6]), ++unknown) << t.listing;
        EXPECT_EQ(sms.status[1] & 0x10, 0) << t.listing;
        EXPECT_EQ(CmdRetryCnt, 2) << t.listing;
        fake_ports::Feed(0, "\r\nOK\r\n");
        step(20);
        EXPECT_EQ(over, 1u) << t.listing;
        tx.clear();
    }
}

// The engine holds the modem for two receive rounds, each followed by a
// pass over the send-message entries, and hands it back once receiving is
// allowed after the second: a send pass is no round of its own.
TEST_F(SmsTest, TheModemGoesBackAfterTwoReceiveRounds) {
    StartUp(SendBlock());
    GsmInfo &g = GSMGPRSInfo_St;
    ASSERT_EQ(GSMGPRSRsrcMngr(3, 3), 1u);
    const std::size_t before = sim.cmds.size();
    const auto listings = [&]() {
        std::size_t n = 0;
        for (std::size_t i = before; i < sim.cmds.size(); i++) n += sim.cmds[i] == "AT+CMGL=\"ALL\"\r";
        return n;
    };
    std::size_t at_hand_back = 0;
    for (uint32_t t = 0; t < 20000 && g.owner == 3; t += 10) {
        Pass(10);
        at_hand_back = listings();
    }
    EXPECT_EQ(g.owner, 0);
    EXPECT_EQ(at_hand_back, 2u);
    EXPECT_EQ(sms.rounds, 0);
}

// A module that is no longer initialised (reset, or starting again) is handed
// back at once and the rounds counted before are forgotten, unless the hold
// register's bit asks to keep it.
TEST_F(SmsTest, AModuleNoLongerInitialisedIsHandedBack) {
    StartUp(SendBlock());
    GsmInfo &g = GSMGPRSInfo_St;
    g.hold_reg = M16(50);
    for (const bool hold : {false, true}) {
        ASSERT_EQ(GSMGPRSRsrcMngr(3, 3), 1u);
        LT_SetBit(M16(50), hold);
        sms.rounds = 1;
        at_status.status &= uint8_t(~AT_STS_INIT);
        SMS_Scanner();
        EXPECT_EQ(sms.rounds, 0) << hold;
        EXPECT_EQ(g.owner, hold ? 3 : 0) << hold;
        at_status.status |= AT_STS_INIT;
    }
}
