// The modem manager: its initialisation machine's commands in order against
// a modem that answers OK (the signal answer into the status register), the
// answer classifier and the resource manager.
#include <algorithm>
#include <cstring>
#include <map>
#include <set>

#include "messaging/messaging.h"
#include "protocols/mbserial.h"
#include "tests/messaging/msg_fixture.h"

using namespace la;

namespace {

uint16_t section_crc = 0x5000;

// A messaging block of texts followed by a modem section of `len` bytes.
struct ModemSection {
    uint32_t len = 96;
    uint8_t fa = 0, fb = 0, hold = 0;
    uint32_t hold_reg = 0, hold_time_reg = 0, status_reg = 0, ip = 0;
    std::string strings;
    // APN, user, password, operator, port, then the texts of items 1, 2, 3, 6
    std::array<std::pair<uint32_t, uint32_t>, 9> texts{};
    void Install() const {
        std::vector<uint8_t> d(strings.begin(), strings.end());
        std::vector<uint8_t> sec(96, 0);
        std::memcpy(sec.data(), "EMSG", 4);
        sec[4] = fa, sec[5] = fb, sec[6] = hold;
        LE_Put32(&sec[8], hold_reg);
        LE_Put32(&sec[12], hold_time_reg);
        LE_Put32(&sec[16], status_reg);
        LE_Put32(&sec[20], ip);
        for (unsigned i = 0; i < texts.size(); i++) {
            LE_Put32(&sec[24 + 8 * i], texts[i].first);
            LE_Put32(&sec[28 + 8 * i], texts[i].second);
        }
        d.insert(d.end(), sec.begin(), sec.begin() + len);
        sms_table_bl.fill(0);
        LE_Put32(&sms_table_bl[0], section_crc++);
        LE_Put32(&sms_table_bl[4], uint32_t(d.size()));
        std::memcpy(&sms_table_bl[8], d.data(), d.size());
    }
};

void RegText(uint32_t ref, const std::string &t) { std::memcpy(&plc_reg[LT_Byte(ref)], t.c_str(), t.size() + 1); }

// A modem section whose manual operator is the register string at %R300.
ModemSection OperatorInR300() {
    ModemSection sec;
    sec.fb = 0x01 | 0x04;  // register texts, manual operator
    sec.texts = {{{0, 0}, {0, 0}, {0, 0}, {R(300), 0}, {0, 0}}};
    return sec;
}

// A talk-port modem request of `kind` with its status word and text.
ModemReq Request(uint8_t kind, uint32_t status, const std::string &text) {
    ModemReq q{};
    q.kind = kind;
    q.status = status;
    q.length = uint16_t(text.size());
    std::memcpy(q.text.data(), text.data(), text.size());
    return q;
}

// The manager's record of a present, configured GSM modem.
void MarkGsmModemConfigured() {
    GSMGPRSInfo_St.marker = GSM_MARKER;
    GSMGPRSInfo_St.b[0] = 0x01;
    GSMGPRSInfo_St.b[1] = 0x01;
}

std::string Config(unsigned item) {
    const AtConfigStr &c = ConfigDataInStr[item - 1];
    return std::string(c.text.data(), c.len);
}

class GsmTest : public MsgTest {
protected:
    std::size_t seen = 0;
    std::vector<std::string> cmds;
    void SetUp() override {
        MsgTest::SetUp();
        GSMGPRSInfo_St = GsmInfo{};
        GSMGPRSInfo_St.b[1] = 0x01;  // a configuration is present
        seen = 0;
        cmds.clear();
        answers.clear();
        silent.clear();
        for (unsigned i : {1u, 3u, 4u, 5u, 7u, 8u}) AT_SetConfig(i, "", 0);
    }
    std::map<std::string, std::string> answers;  // exact line -> answer
    std::set<std::string> silent;
    bool mute = false;  // a modem that answers no command line
    // Steps the machine; every command line gets "OK" (an escape too).
    void Run(uint32_t passes) {
        for (uint32_t i = 0; i < passes; i++) {
            LA_TimeAdvance(1000);
            GSMModemInit(0);
            Pump();
        }
    }
    void Pump() {
        {
            std::string &tx = Port(0).tx;
            for (;;) {
                if (tx.compare(seen, 3, "+++") == 0) {
                    seen += 3;
                    cmds.push_back("+++");
                    if (!silent.count("+++")) fake_ports::Feed(0, "\r\nOK\r\n");
                    continue;
                }
                const std::size_t p = tx.find('\r', seen);
                if (p == std::string::npos) break;
                cmds.push_back(tx.substr(seen, p - seen));
                seen = p + 1;
                const std::string &c = cmds.back();
                if (silent.count(c) || mute) continue;
                if (answers.count(c))
                    fake_ports::Feed(0, answers[c]);
                else
                    fake_ports::Feed(0, c == "AT$NETIP?" ? "\r\n$NETIP: 10.1.2.3\r\nOK\r\n" : "\r\nOK\r\n");
            }
        }
    }
    bool Sent(const std::string &c) const { return std::find(cmds.begin(), cmds.end(), c) != cmds.end(); }
};

}  // namespace

TEST_F(GsmTest, InitialisationCommandsInTheirOrder) {
    GSMGPRSInfo_St.status_reg = R(70);
    answers["AT+CSQ"] = "\r\n+CSQ: 20,3\r\n\r\nOK\r\n";
    Run(600);
    const std::vector<std::string> want = {"+++",
                                           "AT+IPR=115200",
                                           "ATE0HS0=0Q0V1&C1&D1",
                                           "AT+GMM",
                                           "AT$NETMON=5,2,2,3",
                                           "AT+CFUN=1",
                                           "AT+FCLASS=0",
                                           "AT$AREG=0",
                                           "AT+COPS=0",
                                           "AT+CSQ",
                                           "AT+CBST=7,0,1",
                                           "AT+CGDCONT=1,\"IP\",\"\"",
                                           "AT%CGPCO=1,\",\",0",
                                           "AT$HOSTIF= 1",
                                           "AT$PADBLK=512",
                                           "AT$PADTO=1",
                                           "AT$PADCMD=00",
                                           "AT$PADFWD=13",
                                           "AT$UDPAPI=,1",
                                           "AT$PADSRC=1001",
                                           "AT$PADDST=\"0.0.0.0\"",
                                           "AT$ACTIVE=0",
                                           "AT$AREG=2",
                                           "+++",
                                           "AT$NETIP?"};
    ASSERT_GE(cmds.size(), want.size());
    EXPECT_EQ(std::vector<std::string>(cmds.begin(), cmds.begin() + long(want.size())), want);
    EXPECT_EQ(GSMGPRSInfo_St.b[0] & 0x18, 0x18);  // configured once, held
    EXPECT_STREQ(GSMGPRSInfo_St.allocated_ip.data(), "10.1.2.3");
    // The signal answer as its word: rssi 20 high, ber 3 low.
    EXPECT_EQ(LE_Get16(&plc_reg[LT_Byte(R(70))]), 0x1403);
}

// Answers the machine takes as OK: NO CARRIER to the address query (the
// call's end, not a failure) and ERROR to the monitor command of a module
// that announced its hardware reset; the same ERROR without it starts again.
TEST_F(GsmTest, AnswersTakenAsOk) {
    answers["AT$NETIP?"] = "\r\nNO CARRIER\r\n";
    Run(600);
    EXPECT_EQ(std::count(cmds.begin(), cmds.end(), "AT+IPR=115200"), 1);
    EXPECT_TRUE(Sent("AT$NETIP?"));
    for (const bool hw_reset : {true, false}) {
        SetUp();
        answers["AT$NETMON=5,2,2,3"] = "\r\nERROR\r\n";
        if (hw_reset) GSMGPRSInfo_St.b[5] |= 0x40;
        Run(600);
        auto netmon = std::find(cmds.begin(), cmds.end(), "AT$NETMON=5,2,2,3");
        ASSERT_NE(netmon, cmds.end());
        ASSERT_NE(netmon + 1, cmds.end());
        // With the hardware reset the function command is not sent: the
        // class command follows; without it the machine starts again.
        EXPECT_EQ(*(netmon + 1), hw_reset ? "AT+FCLASS=0" : "+++");
    }
}

// The address answer: digits 0, 8 and 9 taken; an address from 1 to 8 is
// valid at the first answer, others after the second; 23 characters kept.
TEST_F(GsmTest, AddressAnswers) {
    struct Row {
        const char *answer, *ip;
        long queries;
    };
    const Row rows[] = {
        {"8.0.9.1", "8.0.9.1", 1},
        {"1.2.3.4", "1.2.3.4", 1},
        {"0.1.2.3", "0.1.2.3", 2},
        {"9.1.2.3", "9.1.2.3", 2},
        {"123.123.123.1234567890123", "123.123.123.12345678901", 1},
    };
    for (const Row &r : rows) {
        SetUp();
        answers["AT$NETIP?"] = std::string("\r\n$NETIP: ") + r.answer + "\r\nOK\r\n";
        Run(600);
        EXPECT_STREQ(GSMGPRSInfo_St.allocated_ip.data(), r.ip) << r.answer;
        EXPECT_EQ(std::count(cmds.begin(), cmds.end(), "AT$NETIP?"), r.queries) << r.answer;
    }
}

// A start that ends in an error while the address is asked for counts its
// address queries anew: the next start asks twice again before it settles
// without a valid address.
TEST_F(GsmTest, AddressQueriesCountedPerStart) {
    answers["AT$NETIP?"] = "\r\nERROR\r\n";
    for (int i = 0; i < 2000 && !Sent("AT$NETIP?"); i++) Run(1);
    ASSERT_TRUE(Sent("AT$NETIP?"));
    answers["AT$NETIP?"] = "\r\n$NETIP: 0.1.2.3\r\nOK\r\n";
    Run(1200);
    EXPECT_EQ(std::count(cmds.begin(), cmds.end(), "AT+IPR=115200"), 2);
    EXPECT_EQ(std::count(cmds.begin(), cmds.end(), "AT$NETIP?"), 3);
    EXPECT_STREQ(GSMGPRSInfo_St.allocated_ip.data(), "0.1.2.3");
}

TEST_F(GsmTest, NumericOperatorAndManualSelection) {
    AT_SetConfig(4, " 26201 ", 7);
    GSMGPRSOprtor();
    EXPECT_STREQ(NWOprtrName.data(), "26201\"");
    EXPECT_EQ(NumericOprtCode, 1);
    GSMGPRSInfo_St.b[1] |= 0x80;
    Run(600);
    bool found = false;
    for (const std::string &c : cmds) found = found || c == "AT+COPS=1,2,\"26201\"";
    EXPECT_TRUE(found);
    for (const std::string &c : cmds) EXPECT_NE(c, "AT+COPS=?");
    AT_SetConfig(4, "vodafone de", 11);
    GSMGPRSOprtor();
    EXPECT_STREQ(NWOprtrName.data(), "VODAFONE DE");
    EXPECT_EQ(NumericOprtCode, 0);
    AT_SetConfig(4, "26209", 5);
    GSMGPRSOprtor();
    EXPECT_EQ(NumericOprtCode, 1) << "9 is a digit";
}

// A manual operator the network refuses is tried three times, then the
// modem registers automatically (byte 1 bit 5 set) until the operator changes.
TEST_F(GsmTest, ARefusedOperatorIsTriedThreeTimesThenAutomatic) {
    AT_SetConfig(4, "26201", 5);
    GSMGPRSOprtor();
    GSMGPRSInfo_St.b[1] |= 0x80;
    answers["AT+COPS=1,2,\"26201\""] = "\r\nERROR\r\n";
    Run(3000);
    EXPECT_EQ(std::count(cmds.begin(), cmds.end(), "AT+COPS=1,2,\"26201\""), 3);
    EXPECT_EQ(GSMGPRSInfo_St.b[1] & 0x20, 0x20);
    auto last = std::find(cmds.rbegin(), cmds.rend(), "AT+COPS=1,2,\"26201\"");
    ASSERT_NE(last, cmds.rend());
    EXPECT_NE(std::find(cmds.begin() + (cmds.rend() - last), cmds.end(), "AT+COPS=0"), cmds.end());
}

// Manual selection by name: the operator list is asked for, the name found
// in it (any letter case) gives the numeric code of its entry, sent closed
// by a double quote. A name the list lacks is an error of the list step: the
// machine starts again with byte 1 bit 5 set and registers automatically.
TEST_F(GsmTest, OperatorByNameFromTheList) {
    struct Row {
        const char *list;  // the operator entries of the answer
        const char *select;
    };
    const Row rows[] = {
        {"(2,\"testnet\",\"\",\"00101\"),(1,\"other\",\"OT\",\"00202\"),,(0-4),(0-2)", "AT+COPS=1,2,\"00101\""},
        {"(1,\"other\",\"OT\",\"00202\",7),(2,\"TestNet\",\"TN2\",\"00101\",7)", "AT+COPS=1,2,\"00101\""},
        {"(1,\"other\",\"OT\",\"00202\")", "AT+COPS=0"},
        {"(2,\"testnet\",\"TN\"),(1,\"other\",\"OT\",\"00202\")", "AT+COPS=0"},  // its entry has no code
    };
    for (const Row &r : rows) {
        SetUp();
        AT_SetConfig(4, "testnet", 7);
        GSMGPRSInfo_St.b[1] |= 0x80;
        answers["AT+COPS=?"] = std::string("\r\n+COPS: ") + r.list + "\r\n\r\nOK\r\n";
        Run(600);
        auto list = std::find(cmds.begin(), cmds.end(), "AT+COPS=?");
        ASSERT_NE(list, cmds.end()) << r.list;
        ASSERT_NE(list + 1, cmds.end());
        EXPECT_EQ(GSMGPRSInfo_St.b[1] & 0x40, 0x40);  // the list was asked for
        if (std::string(r.select) != "AT+COPS=0") {
            EXPECT_EQ(*(list + 1), r.select) << r.list;
            EXPECT_EQ(GSMGPRSInfo_St.b[1] & 0x20, 0);
            continue;
        }
        // Not in the list: error 4, a new start, then automatic registration.
        EXPECT_EQ(*(list + 1), "+++");
        EXPECT_EQ(GSMGPRSInfo_St.b[1] & 0x20, 0x20);
        auto areg = std::find(list, cmds.end(), "AT$AREG=0");
        ASSERT_NE(areg, cmds.end());
        ASSERT_NE(areg + 1, cmds.end());
        EXPECT_EQ(*(areg + 1), "AT+COPS=0");
        EXPECT_EQ(std::count(cmds.begin(), cmds.end(), "AT+COPS=?"), 1);
    }
}

// An operator step the modem leaves unanswered is no refusal: the start is
// repeated with the manual selection, the operator list asked for again,
// and the modem never registers automatically for it.
TEST_F(GsmTest, AnUnansweredOperatorListKeepsTheManualSelection) {
    AT_SetConfig(4, "testnet", 7);
    GSMGPRSInfo_St.b[1] |= 0x80;
    silent.insert("AT+COPS=?");
    Run(2000);  // the list at about 21 s and, after its 120 s, at about 148 s
    EXPECT_EQ(std::count(cmds.begin(), cmds.end(), "AT+COPS=?"), 2);
    EXPECT_EQ(GSMGPRSInfo_St.b[1] & 0x20, 0);
    EXPECT_FALSE(Sent("AT+COPS=0"));
    // The list answered without the name is the refusal: automatic then.
    silent.clear();
    answers["AT+COPS=?"] = "\r\n+COPS: (1,\"other\",\"OT\",\"00202\")\r\n\r\nOK\r\n";
    Run(3000);
    EXPECT_EQ(GSMGPRSInfo_St.b[1] & 0x20, 0x20);
    EXPECT_TRUE(Sent("AT+COPS=0"));
}

// Each start of a configured modem prepares the operator name again: a name
// changed since (here the register string of the modem section) clears
// "configured once", so the full initialisation selects the new operator; an
// unchanged name keeps the short way.
TEST_F(GsmTest, OperatorNamePreparedAgainAtEachStart) {
    io_init[1] = 0xDF0F;
    ModemSection sec = OperatorInR300();
    RegText(R(300), "00101");
    sec.Install();
    GSMGPRSParmInit();
    Run(600);
    ASSERT_TRUE(Sent("AT+COPS=1,2,\"00101\""));
    ASSERT_EQ(GSMGPRSInfo_St.b[0] & 0x08, 0x08);
    for (const char *name : {"00101", "00202"}) {
        RegText(R(300), name);
        cmds.clear();
        GSMGPRSInfo_St.b[3] = 0;  // a new start
        Run(600);
        auto echo = std::find(cmds.begin(), cmds.end(), "ATE0HS0=0Q0V1&C1&D1");
        ASSERT_NE(echo, cmds.end()) << name;
        ASSERT_NE(echo + 1, cmds.end());
        const bool changed = std::string(name) != "00101";
        EXPECT_EQ(*(echo + 1), changed ? "AT+GMM" : "AT$AREG=0") << name;
        EXPECT_EQ(Sent(std::string("AT+COPS=1,2,\"") + name + "\""), changed) << name;
    }
    io_init[1] = 0;
}

TEST_F(GsmTest, AnswerCodesAndTheResourceManager) {
    struct Row {
        const char *text;
        uint32_t code;
        bool hw_reset;
    };
    const Row rows[] = {{"\r\nOK\r", 0, false},         {"\r\nERROR\r", 4, false},     {"\r\nCONNECT 9600\r", 1, false},
                        {"\r\nNO CARRIER\r", 3, false}, {"\r\nRING\r", 2, false},      {"\r\nLISTEN\r", 6, false},
                        {"\r\nAT-Command\r", 4, false}, {"\r\nEnabler-II\r", 0, true}, {"Enabler-II\r", 0, false},
                        {"\r\nhello\r", 0xFFFE, false}, {"\r\nOK", 0, false}};
    for (const Row &r : rows) {
        GSMGPRSInfo_St.b[5] = 0;
        EXPECT_EQ(GSMResultCode(r.text, uint32_t(std::strlen(r.text))), r.code) << r.text;
        EXPECT_EQ((GSMGPRSInfo_St.b[5] & 0x40) != 0, r.hw_reset) << r.text;
    }
    // The classifier over the port: '+' dropped, a CR ends the line.
    fake_ports::Feed(0, "\r\n+CSQ: 20,0\r\n\r\nOK\r\n");
    GSMindex = 0;
    EXPECT_EQ(GSMGetResult(0), 0u);
    GSMTimer(10);
    LA_TimeAdvance(10);
    EXPECT_EQ(GSMGetResult(0), 0xFFFDu);
    // A line longer than the buffer starts it again; the answer after it counts.
    fake_ports::Feed(0, std::string(400, 'a') + "\r\nOK\r\n");
    GSMindex = 0;
    EXPECT_EQ(GSMGetResult(0), 0u);
    // Arbitration.
    GsmInfo &g = GSMGPRSInfo_St;
    g.owner = 0, g.pending = 0;
    EXPECT_EQ(GSMGPRSRsrcMngr(3, 4), 1u);  // SMS hands back with nothing pending
    EXPECT_EQ(g.owner, 0);
    EXPECT_EQ(GSMGPRSRsrcMngr(3, 3), 1u);
    EXPECT_EQ(GSMGPRSRsrcMngr(3, 3), 2u);  // already the owner
    EXPECT_EQ(GSMGPRSRsrcMngr(3, 1), 5u);
    EXPECT_EQ(GSMGPRSRsrcMngr(1, 0), 0u);
    EXPECT_EQ(GSMGPRSRsrcMngr(1, 2), 1u);  // recorded as pending
    EXPECT_EQ(GSMGPRSRsrcMngr(4, 2), 1u);  // e-mail replaces it while SMS owns
    EXPECT_EQ(g.pending, 4);
    EXPECT_EQ(GSMGPRSRsrcMngr(3, 4), 1u);
    EXPECT_EQ(GSMGPRSRsrcMngr(1, 3), 0u);  // another requester is pending
    EXPECT_EQ(GSMGPRSRsrcMngr(4, 3), 1u);
    EXPECT_EQ(GSMGPRSRsrcMngr(4, 1), 7u);
    // Giving up clears the caller's own request and ownership only: the
    // Talk-port user gives up while e-mail owns the modem; then e-mail
    // gives it up (no hang-up for it).
    EXPECT_EQ(GSMGPRSRsrcMngr(1, 2), 1u);
    EXPECT_EQ(g.pending, 1);
    EXPECT_EQ(GSMGPRSRsrcMngr(1, 6), 1u);
    EXPECT_EQ(g.pending, 0);
    EXPECT_EQ(g.owner, 4);
    EXPECT_EQ(GSMGPRSRsrcMngr(4, 6), 1u);
    EXPECT_EQ(g.owner, 0);
    EXPECT_EQ(Port(0).tx, "");
}

TEST_F(GsmTest, SmsOnTheProgrammingPortModem) {
    struct Row {
        const char *what;
        const char *prompt;  // nullptr: none
        const char *answer;  // nullptr: none
        uint32_t result;
    };
    const Row rows[] = {{"sent", "\r\n> ", "\r\n+CMGS: 12\r\n\r\nOK\r\n", 1},
                        {"error", "\r\n> ", "\r\nERROR\r\n", 3},
                        {"no answer", "\r\n> ", nullptr, 2}};
    for (const Row &r : rows) {
        SetUp();
        TxAction = 20;
        SmsText num{}, txt{};
        num.len = 4;
        std::memcpy(num.text.data(), "+491", 4);
        txt.len = 2;
        std::memcpy(txt.text.data(), "Hi", 2);
        EXPECT_EQ(TransmitSMS(num, txt), 0u);
        EXPECT_EQ(Port(0).tx, "AT+CMGS=\"+491\"\r") << r.what;
        EXPECT_EQ(WaitForPrompt, 1);
        fake_ports::Feed(0, r.prompt);
        EXPECT_EQ(TransmitSMS(num, txt), 0u);
        EXPECT_EQ(Port(0).tx, "AT+CMGS=\"+491\"\rHi\x1a") << r.what;
        uint32_t got = 0;
        if (r.answer) {
            fake_ports::Feed(0, r.answer);
            got = TransmitSMS(num, txt);
        } else {
            LA_TimeAdvance(99999);
            EXPECT_EQ(TransmitSMS(num, txt), 0u);
            LA_TimeAdvance(1);
            got = TransmitSMS(num, txt);
        }
        EXPECT_EQ(got, r.result) << r.what;
        EXPECT_EQ(TxAction, 20);
    }
    // The manager's initialisation marks the modem initialised, so the
    // retries count from then on.
    SetUp();
    EnforaInit = 0;
    InitCount = 0;
    Run(600);
    ASSERT_EQ(GSMGPRSInfo_St.b[0] & 0x08, 0x08);
    EXPECT_EQ(EnforaInit, 1);
    // No prompt within 10 s: ESC, a retry counted, the number again.
    TxAction = 20;
    CmdRetryCnt = 0;
    Port(0).tx.clear();
    seen = 0;
    SmsText num{}, txt{};
    num.len = 1;
    num.text[0] = '1';
    TransmitSMS(num, txt);
    LA_TimeAdvance(100000);
    TransmitSMS(num, txt);
    EXPECT_EQ(Port(0).tx, "AT+CMGS=\"1\"\r\x1b");
    EXPECT_EQ(CmdRetryCnt, 1);
    EXPECT_EQ(TxAction, 20);
    // Nine retries mark the modem for a new initialisation: the manager's
    // next start configures it in full.
    for (int i = 0; i < 7; i++) CommInit();
    EXPECT_EQ(EnforaInit, 1);
    EXPECT_EQ(InitCount, 0);
    CommInit();
    EXPECT_EQ(EnforaInit, 0);
    EXPECT_EQ(InitCount, 1);
    EXPECT_EQ(CmdRetryCnt, 0);
    EXPECT_EQ(GSMGPRSInfo_St.b[0] & 0x08, 0);
    cmds.clear();
    seen = Port(0).tx.size();
    GSMGPRSInfo_St.b[3] = 0;
    Run(600);
    EXPECT_TRUE(Sent("AT+IPR=115200"));
    EXPECT_EQ(EnforaInit, 1);
}

TEST_F(GsmTest, AnswerCollectorOfTheProgrammingPortModem) {
    char buf[520];
    fake_ports::Feed(0, "\r\n+CMGL: 1,\"REC READ\"\r\nhello\r\n\r\nO");
    EXPECT_EQ(GetResponseX(buf), 0u);
    fake_ports::Feed(0, "K\r\n");
    EXPECT_EQ(GetResponseX(buf), 34u);
    EXPECT_STREQ(buf, "+CMGL: 1,\"REC READ\"\r\nhello\r\n\r\nOK\r\n");
    ErrorRespFlag = 0;
    fake_ports::Feed(0, "ERROR\r\n");
    EXPECT_EQ(GetResponseX(buf), 7u);
    EXPECT_EQ(ErrorRespFlag, 1);
    // Longer than the buffer: the end is kept and still completes the answer.
    fake_ports::Feed(0, std::string(700, 'a') + "\r\nOK\r\n");
    EXPECT_EQ(GetResponseX(buf), 511u);  // at most 511 characters
    EXPECT_EQ(std::string(buf + 505), "\r\nOK\r\n");
    EXPECT_EQ(buf[504], 'a');
}

TEST_F(GsmTest, ModemSectionFillsTheConfiguration) {
    io_init[1] = 0xDF0F;  // the modem option board
    struct Row {
        const char *what;
        ModemSection sec;
        std::string reg_apn;  // register strings
        const char *apn, *user, *pw;
        uint8_t b0, b1, hold_time;
        uint32_t hold_reg;
        const char *dest;  // item 7 with the tool owning the modem
        uint32_t apn_reg = R(300);
    };
    ModemSection inline_texts;
    inline_texts.fa = 0x02 | 0x20 | 0x40;
    inline_texts.fb = 0x04 | 0x10 | 0x20;
    inline_texts.hold = 30;
    inline_texts.hold_reg = M16(50);
    inline_texts.hold_time_reg = R(60);
    inline_texts.ip = 0x0A4D0003;
    inline_texts.strings = "internet.t-d1.detmsecretvodafone8000";
    inline_texts.texts = {{{0, 16}, {16, 2}, {18, 6}, {24, 8}, {32, 4}}};
    ModemSection regs;
    regs.fb = 0x01;
    regs.hold = 5;
    regs.hold_reg = M16(50);  // ignored without flag B bit 4
    regs.texts = {{{R(300), 0}, {R(320), 0}, {R(340), 0}, {0, 0}, {0, 0}}};
    ModemSection sec48 = inline_texts;
    sec48.len = 48;  // the password's length word is its last
    sec48.fb = 0x04 | 0x10;
    const std::string hundred(100, 'a');  // an APN keeps 100 characters
    ModemSection regs_long = regs;
    regs_long.texts[0] = {R(400), 0};
    ModemSection short_sec = inline_texts;
    short_sec.len = 36;  // the texts lie beyond it
    short_sec.fa = 0x04;
    short_sec.fb = 0x10;
    const Row rows[] = {
        {"inline texts", inline_texts, "", "internet.t-d1.de", "tm", "secret", 0x05, 0x8B, 30, M16(50),
         "10.77.0.3/8000"},
        {"register texts", regs, "apn.reg  tail", "apn.reg", "u1", "p1", 0x01, 0x01, 10, 0, ""},
        {"short section", short_sec, "", "internet.t-d1.de", "", "", 0x01, 0x05, 30, M16(50), "10.77.0.3/18501"},
        {"48-byte section", sec48, "", "internet.t-d1.de", "tm", "secret", 0x05, 0x8B, 30, M16(50), "10.77.0.3/18501"},
        {"register text of 110 characters", regs_long, std::string(110, 'a'), hundred.c_str(), "u1", "p1", 0x01, 0x01,
         10, 0, "", R(400)},
    };
    for (const Row &r : rows) {
        SetUp();
        io_init[1] = 0xDF0F;
        RegText(r.apn_reg, r.reg_apn);
        RegText(R(320), "u1");
        RegText(R(340), "p1");
        r.sec.Install();
        EXPECT_EQ(GSMGPRSParmInit(), 1u) << r.what;
        const GsmInfo &g = GSMGPRSInfo_St;
        EXPECT_EQ(g.marker, GSM_MARKER) << r.what;
        EXPECT_EQ(Config(5), r.apn) << r.what;
        EXPECT_EQ(Config(7), r.user) << r.what;
        EXPECT_EQ(Config(8), r.pw) << r.what;
        EXPECT_EQ(g.b[0], r.b0) << r.what;
        EXPECT_EQ(g.b[1], r.b1) << r.what;
        EXPECT_EQ(g.hold_time, r.hold_time) << r.what;
        EXPECT_EQ(g.hold_reg, r.hold_reg) << r.what;
        char t[128];
        GSMGPRSInfo_St.owner = 0;
        EXPECT_EQ(GSMGPRSParm(7, t, sizeof t), 0u) << r.what;
        GSMGPRSInfo_St.owner = 2;
        EXPECT_EQ(GSMGPRSParm(7, t, sizeof t), std::strlen(r.dest)) << r.what;
        EXPECT_STREQ(t, r.dest) << r.what;
        EXPECT_STREQ(g.dest.data(), r.dest) << r.what;
    }
    // The inline section's texts reach the modem in the initialisation.
    SetUp();
    io_init[1] = 0xDF0F;
    inline_texts.fa = 0x20;
    inline_texts.Install();
    GSMGPRSParmInit();
    GSMGPRSOprtor();
    EXPECT_STREQ(NWOprtrName.data(), "VODAFONE");
    EXPECT_EQ(Config(4), "VODAFONE");
    answers["AT+COPS=?"] = "\r\n+COPS: (2,\"vodafone\",\"\",\"26202\")\r\n\r\nOK\r\n";
    GSMGPRSInfo_St.owner = 2;  // the tool's connection: its destination
    Run(600);
    EXPECT_TRUE(Sent("AT+CGDCONT=1,\"IP\",\"internet.t-d1.de\"")) << cmds.size();
    EXPECT_TRUE(Sent("AT%CGPCO=1,\"tm,secret\",0"));
    EXPECT_TRUE(Sent("AT$PADDST=\"10.77.0.3\",8000"));
    char t[128];
    EXPECT_EQ(GSMGPRSParm(4, t, sizeof t), 18u);
    EXPECT_STREQ(t, "\"internet.t-d1.de\"");
    EXPECT_EQ(GSMGPRSParm(5, t, sizeof t), 13u);
    EXPECT_STREQ(t, "\"tm,secret\",0");
    // Without the marker every item is one byte 0xFF of length 0.
    GSMGPRSInfo_St.marker = 0;
    EXPECT_EQ(GSMGPRSParm(4, t, sizeof t), 0u);
    EXPECT_EQ(uint8_t(t[0]), 0xFF);
    EXPECT_EQ(GSMGPRSInfo_St.b[0] & 1, 0);
}

// Items 1, 2, 3 and 6 of the modem configuration are the section's texts at
// bytes 64, 72, 80 and 88: each copied NUL-terminated (at most 22
// characters) and answered with length 1, an empty one too.
TEST_F(GsmTest, TextItemsOneTwoThreeAndSixAnswerLengthOne) {
    io_init[1] = 0xDF0F;
    ModemSection sec;
    sec.strings = "firstsecond" + std::string(25, 'x') + "six";
    sec.texts[5] = {0, 5};
    sec.texts[6] = {5, 6};
    sec.texts[7] = {11, 25};
    sec.texts[8] = {36, 3};
    sec.Install();
    GSMGPRSParmInit();
    struct Row {
        uint32_t item;
        std::string text;  // with its NUL
    };
    const Row rows[] = {{1, std::string("first", 6)},
                        {2, std::string("second", 7)},
                        {3, std::string(22, 'x') + '\0'},
                        {6, std::string("six", 4)}};
    for (const Row &r : rows) {
        char t[64];
        std::memset(t, 'Z', sizeof t);
        EXPECT_EQ(GSMGPRSParm(r.item, t, sizeof t), 1u) << r.item;
        EXPECT_EQ(std::string(t, r.text.size()), r.text) << r.item;
    }
    // A 48-byte section has no such texts: empty, still length 1.
    sec.len = 48;
    sec.Install();
    GSMGPRSParmInit();
    for (const uint32_t item : {1u, 2u, 3u, 6u}) {
        char t[8] = {'Z', 'Z'};
        EXPECT_EQ(GSMGPRSParm(item, t, sizeof t), 1u) << item;
        EXPECT_EQ(t[0], 0) << item;
    }
    // Items the section does not have stay empty with length 0.
    char t[8] = {'Z'};
    EXPECT_EQ(GSMGPRSParm(8, t, sizeof t), 0u);
    EXPECT_EQ(t[0], 0);
}

TEST_F(GsmTest, DataCallStatesAfterTheConfiguration) {
    struct Feed {
        const char *text;
        uint32_t dcd;
        uint32_t wait_ms;
    };
    struct Row {
        const char *what;
        uint8_t b0, b1, state;
        uint32_t dcd_at_start;
        std::vector<Feed> feeds;
        const char *tx;
        uint8_t end_state;
        uint16_t status;
        bool connected;
    };
    const Row rows[] = {
        {"dial ATDT", 0x02 | 0x40, 0x01, 28, 0, {{"\r\nCONNECT 9600\r\n", 1, 100}}, "ATDT5551234\r", 32, 1, true},
        {"dial ATDP", 0x40, 0x01, 28, 0, {{"\r\nNO CARRIER\r\n", 0, 100}}, "ATDP10.1.2.3\r", 31, 3, false},
        {"carrier up", 0x40 | 0x10, 0x01, 28, 1, {}, "", 0, 0xFFFE, false},
        {"answer", 0x80, 0x01, 29, 0, {{"\r\nOK\r\n", 0, 100}, {"\r\nCONNECT\r\n", 1, 100}}, "ATS0=1\r", 32, 1, true},
        {"listen", 0x04 | 0x80, 0x03, 29, 0, {{"\r\nLISTEN\r\n", 0, 100}}, "", 31, 6, true},
        {"listen time-out", 0x04 | 0x80 | 0x10, 0x03, 29, 0, {{"", 0, 120100}}, "", 0, 4, false},
        {"destination refused", 0x80, 0x01, 27, 0, {{"\r\nERROR\r\n", 0, 100}}, "10.0.0.9/18501\r", 0, 4, false},
        {"no answer to the dial", 0x02 | 0x40, 0x01, 28, 0, {{"", 0, 120100}}, "ATDT5551234\r", 0, 4, false},
        {"answer, OK only", 0x80, 0x01, 29, 0, {{"\r\nOK\r\n", 0, 100}}, "ATS0=1\r", 31, 0, true},
        {"answer, then ERROR",
         0x80,
         0x01,
         29,
         0,
         {{"\r\nOK\r\n", 0, 100}, {"\r\nERROR\r\n", 0, 100}},
         "ATS0=1\r",
         0,
         4,
         false},
    };
    for (const Row &r : rows) {
        SetUp();
        io_init[1] = 0xDF0F;
        LE_Put16(&sms_table_bl[0], 0xFFFF);  // no block change to read
        GsmInfo &g = GSMGPRSInfo_St;
        g.b[0] = r.b0;
        g.b[1] = r.b1;
        g.b[3] = r.state;
        g.conn_status = 0xFFFE;
        std::snprintf(g.dest.data(), g.dest.size(), "%s", r.state == 27 ? "10.0.0.9/18501" : "5551234");
        std::snprintf(g.allocated_ip.data(), g.allocated_ip.size(), "10.1.2.3");
        Port(0).dcd = r.dcd_at_start;
        GSMModemInit(0);
        for (const Feed &f : r.feeds) {
            fake_ports::Feed(0, f.text);
            Port(0).dcd = f.dcd;
            for (uint32_t ms = 0; ms < f.wait_ms && g.b[3] != 0; ms += 10) {
                LA_TimeAdvance(100);
                GSMModemInit(0);
            }
        }
        EXPECT_EQ(Port(0).tx, r.tx) << r.what;
        EXPECT_EQ(g.b[3], r.end_state) << r.what;
        EXPECT_EQ(g.conn_status, r.status) << r.what;
        EXPECT_EQ((g.b[0] & 0x20) != 0, r.connected) << r.what;
        if (r.end_state == 0) {
            EXPECT_EQ(g.b[0] & 0x10, 0) << r.what;
        }
    }
    // Waiting for CONNECT, an ERROR is the machine's failure: its code returned.
    SetUp();
    LE_Put16(&sms_table_bl[0], 0xFFFF);
    GSMGPRSInfo_St.b[1] = 0x01;
    GSMGPRSInfo_St.b[3] = 31;
    fake_ports::Feed(0, "\r\nERROR\r\n");
    EXPECT_EQ(GSMModemInit(0), 4u);
}

// A wait for LISTEN left behind by a start that was given up does not carry
// into the next start: its wait of 120 s begins again when it is reached,
// not the 1 s left of the last command's timer.
TEST_F(GsmTest, AListenWaitOfAnEarlierStartIsNotCarriedOver) {
    io_init[1] = 0xDF0F;
    LE_Put16(&sms_table_bl[0], 0xFFFF);  // no block change to read
    GsmInfo &g = GSMGPRSInfo_St;
    g.b[0] = 0x04 | 0x80;
    g.b[1] = 0x03;
    g.b[3] = 29;
    GSMModemInit(0);  // waiting for LISTEN
    g.b[3] = 0;       // the start is given up; the next one begins at 0
    GSMModemInit(0);
    g.conn_status = 0xFFFE;
    g.b[3] = 29;  // the next start reaches the wait again
    GSMTimer(10000);
    for (uint32_t ms = 0; ms < 5000; ms += 10) {
        LA_TimeAdvance(100);
        GSMModemInit(0);
    }
    EXPECT_EQ(g.b[3], 29);
    EXPECT_EQ(g.conn_status, 0xFFFE);
    fake_ports::Feed(0, "\r\nLISTEN\r\n");
    GSMModemInit(0);
    EXPECT_EQ(g.b[3], 31);
    EXPECT_EQ(g.conn_status, 6);
}

// A start given up during the escape's guard time: the next start (state 0)
// begins with its own first entry, the line down and the status unknown,
// not with the escape of the earlier one.
TEST_F(GsmTest, AStartGivenUpInTheEscapeBeginsTheNextAtItsFirstEntry) {
    LE_Put16(&sms_table_bl[0], 0xFFFF);  // no block change to read
    GsmInfo &g = GSMGPRSInfo_St;
    g.b[1] = 0x01 | 0x10;  // the first power-up wait was taken
    g.b[3] = 23;
    GSMModemInit(0);  // the escape's guard time runs
    LA_TimeAdvance(11000);
    g.b[3] = 0;  // given up; the next start begins at 0
    g.conn_status = 4;
    Port(0).dtr.clear();
    GSMModemInit(0);
    EXPECT_EQ(Port(0).tx, "");
    EXPECT_EQ(g.conn_status, 0xFFFE);
    EXPECT_EQ(Port(0).dtr, std::vector<uint32_t>{0});
    LA_TimeAdvance(10999);
    GSMModemInit(0);
    EXPECT_EQ(Port(0).tx, "");
    LA_TimeAdvance(1);
    GSMModemInit(0);
    EXPECT_EQ(Port(0).tx, "+++");
    EXPECT_EQ(Port(0).dtr, (std::vector<uint32_t>{0, 1}));
    // Given up in the power-up's second wait: a new start of the modem
    // control drops the line again and waits anew before its escape.
    GSMModemRestart();
    g.conn_status = 4;
    Port(0).tx.clear();
    Port(0).dtr.clear();
    GSMModemInit(0);
    EXPECT_EQ(g.conn_status, 0xFFFE);
    EXPECT_EQ(Port(0).dtr, std::vector<uint32_t>{0});
    LA_TimeAdvance(11000);
    GSMModemInit(0);
    EXPECT_EQ(Port(0).tx, "+++");
}

TEST_F(GsmTest, HangUpEscapeAndReturnToTheCall) {
    GsmInfo &g = GSMGPRSInfo_St;
    auto until_done = [&](uint32_t immediate, uint32_t max_ms) {
        for (uint32_t ms = 0; ms < max_ms; ms += 10) {
            if (GSMSMSDisconnect(0, immediate)) return ms;
            LA_TimeAdvance(100);
            Pump();
        }
        return max_ms;
    };
    // Immediate with the carrier up: 0.25 s, "ATHS0=0"; the carrier drops
    // with the answer: connection status from it, state 0.
    Msg_SetCmdOverride(0);
    g.b[0] = 0x30;
    g.b[3] = 32;
    Port(0).dcd = 1;
    answers["ATHS0=0"] = "\r\nNO CARRIER\r\n";
    EXPECT_EQ(GSMSMSDisconnect(0, 1), 0u);
    EXPECT_EQ(g.b[3], 33);
    LA_TimeAdvance(2400);
    EXPECT_EQ(GSMSMSDisconnect(0, 1), 0u);
    EXPECT_EQ(Port(0).tx, "");
    LA_TimeAdvance(100);
    EXPECT_EQ(GSMSMSDisconnect(0, 1), 0u);
    EXPECT_EQ(Port(0).tx, "ATHS0=0\r");
    Port(0).dcd = 0;
    Pump();
    EXPECT_EQ(GSMSMSDisconnect(0, 1), 1u);
    EXPECT_EQ(g.conn_status, 3);
    EXPECT_EQ(g.b[3], 0);
    EXPECT_EQ(g.b[0] & 0x30, 0);
    EXPECT_EQ(Msg_CmdOverride(), 1);
    // No answer: line down 1.1 s, escape, and again; given up after three.
    SetUp();
    g.b[1] = 0;  // no configuration: "AT$AREG=0"
    Port(0).dcd = 1;
    silent.insert("AT$AREG=0");
    silent.insert("+++");
    const uint32_t took = until_done(1, 100000);
    EXPECT_EQ(Port(0).tx, "AT$AREG=0\r+++AT$AREG=0\r+++AT$AREG=0\r");
    EXPECT_EQ(Port(0).dtr, (std::vector<uint32_t>{0, 1, 0, 1}));
    EXPECT_GE(took, 3 * 10000u + 2 * 2600u);
    // Not immediate: escape to command mode with the guard times; the call
    // stays, an escape is pending.
    SetUp();
    Port(0).dcd = 1;
    g.b[0] = 0x20;
    EXPECT_EQ(until_done(0, 1090), 1090u);
    EXPECT_EQ(Port(0).dtr, (std::vector<uint32_t>{0}));
    const uint32_t escape = until_done(0, 10000);
    EXPECT_GE(escape, 1500u);
    EXPECT_LE(escape, 1530u);
    EXPECT_EQ(Port(0).tx, "+++");
    EXPECT_EQ(Port(0).dtr, (std::vector<uint32_t>{0, 1}));
    EXPECT_EQ(g.b[5] & 1, 1);
    // The data user takes it back: "ATO" returns to the call.
    g.owner = 0;
    EXPECT_EQ(GSMGPRSRsrcMngr(1, 3), 1u);
    EXPECT_EQ(Port(0).tx, "+++ATO\r");
    EXPECT_EQ(g.b[3], 32);
    EXPECT_EQ(g.conn_status, 1);
    EXPECT_EQ(g.b[5] & 1, 0);
    // Without a configuration an escape pending refuses the data user.
    g.owner = 0;
    g.b[5] |= 1;
    g.b[1] = 0;
    EXPECT_EQ(GSMGPRSRsrcMngr(2, 3), 0u);
    // The keep bit keeps the call through a non-immediate hang-up.
    g.b[1] = 0x03;
    g.b[0] = 0x20;
    Port(0).tx.clear();
    EXPECT_EQ(GSMSMSDisconnect(0, 0), 1u);
    EXPECT_EQ(Port(0).tx, "");
}

// A hang-up that gets no answer gives up after three tries, but not as a
// clean one: the talk-port user giving the modem up (operation 6) loses it,
// the status says the hang-up timed out, the call's start mark stays and a
// power cycle is asked for, which the next start carries out ("AT$RESET")
// and which drops a call that may still be up.
TEST_F(GsmTest, AHangUpGivenUpAsksForAPowerCycle) {
    GsmInfo &g = GSMGPRSInfo_St;
    g.b[0] = 0x30;
    g.b[3] = 32;
    GSMModemInit(0);  // the machine stepped in the established call
    ASSERT_EQ(g.b[3], 32);
    g.b[1] = 0x01;  // a configuration is present: "ATHS0=0"
    g.owner = 1;
    g.conn_status = 1;
    Port(0).dcd = 1;
    silent.insert("ATHS0=0");
    silent.insert("+++");
    uint32_t done = 0;
    for (uint32_t i = 0; i < 10000 && !done; i++) {
        done = GSMGPRSRsrcMngr(1, 6);
        LA_TimeAdvance(100);
        Pump();
    }
    EXPECT_EQ(done, 1u);
    EXPECT_EQ(Port(0).tx, "ATHS0=0\r+++ATHS0=0\r+++ATHS0=0\r");
    EXPECT_EQ(g.owner, 0);
    EXPECT_EQ(g.conn_status, 0xFFFD);
    EXPECT_EQ(g.b[0], 0x10);
    EXPECT_EQ(g.b[5] & 0x20, 0x20);
    EXPECT_EQ(g.b[3], 0);
    // The next start resets the modem instead of the escape.
    silent.clear();
    cmds.clear();
    Run(200);  // the first power-up delay of 15 s, then the reset
    ASSERT_FALSE(cmds.empty());
    EXPECT_EQ(cmds.front(), "AT$RESET");
    EXPECT_EQ(g.b[5] & 0x20, 0);
}

// A new start of the initialisation machine while a hang-up is under way
// drops that hang-up: the next hang-up begins at its own first step (the
// 0.25 s, then its command), not in the old one's wait for an answer, where
// an answer meant for the new start would end it with the call still up.
// The call left up by the dropped hang-up is ended by a power cycle, which
// the new start carries out.
TEST_F(GsmTest, ARestartDuringAHangUpBeginsTheNextHangUpAtItsFirstStep) {
    GsmInfo &g = GSMGPRSInfo_St;
    g.b[0] = 0x30;
    g.b[3] = 32;
    Port(0).dcd = 1;
    EXPECT_EQ(GSMSMSDisconnect(0, 1), 0u);
    LA_TimeAdvance(2500);
    EXPECT_EQ(GSMSMSDisconnect(0, 1), 0u);
    EXPECT_EQ(Port(0).tx, "ATHS0=0\r");  // its answer is awaited
    EXPECT_EQ(g.b[3], 34);
    GSMModemRestart();
    EXPECT_EQ(g.b[3], 0);
    EXPECT_EQ(g.b[5] & 0x20, 0x20);
    // An answer of the new start's commands, then a new hang-up.
    fake_ports::Feed(0, "\r\nOK\r\n");
    Port(0).tx.clear();
    g.b[3] = 32;
    EXPECT_EQ(GSMSMSDisconnect(0, 1), 0u);
    EXPECT_EQ(g.b[3], 33);
    EXPECT_EQ(Port(0).tx, "");
    LA_TimeAdvance(2499);
    EXPECT_EQ(GSMSMSDisconnect(0, 1), 0u);
    EXPECT_EQ(Port(0).tx, "");
    LA_TimeAdvance(1);
    EXPECT_EQ(GSMSMSDisconnect(0, 1), 0u);
    EXPECT_EQ(Port(0).tx, "ATHS0=0\r");
    Port(0).dcd = 0;
    fake_ports::Feed(0, "\r\nNO CARRIER\r\n");
    EXPECT_EQ(GSMSMSDisconnect(0, 1), 1u);
    EXPECT_EQ(g.conn_status, 3);
    EXPECT_EQ(g.b[3], 0);
    // A restart with no hang-up under way, or with the carrier down, asks
    // for no power cycle.
    g.b[5] = 0;
    GSMModemRestart();
    EXPECT_EQ(g.b[5] & 0x20, 0);
}

// The program asks for the modem again while the hang-up of its stop still
// runs: that hang-up is finished first (its answer taken, the modem handed
// back), then the request takes the modem and configures it anew.
TEST_F(GsmTest, TalkPortModemRequestAfterAStopFinishesTheHangUpFirst) {
    io_init[1] = 0xDF0F;
    ModemSection sec;
    sec.Install();
    GSMGPRSParmInit();
    GsmInfo &g = GSMGPRSInfo_St;
    MarkGsmModemConfigured();
    answers["ATDT5551234"] = "\r\nCONNECT 9600\r\n";
    silent.insert("ATHS0=0");  // the hang-up's answer comes later, by hand
    const ModemReq q = Request(1, WordOf(R(40)), "5551234");
    ModemInit(0);
    ASSERT_EQ(ModemStart(0, q), 1u);
    for (uint32_t i = 0; i < 1000 && LT_W(R(40)) != 1; i++) {
        LA_TimeAdvance(1000);
        ModemExecute(0, 1);
        Pump();
        if (Sent("ATDT5551234")) Port(0).dcd = 1;
    }
    ASSERT_EQ(LT_W(R(40)), 1);
    ModemStop(0, 1);
    for (uint32_t i = 0; i < 100 && !Sent("ATHS0=0"); i++) {
        LA_TimeAdvance(100);
        ModemHangupPoll();
        Pump();
    }
    ASSERT_TRUE(Sent("ATHS0=0"));
    EXPECT_EQ(g.owner, 1);
    // The enable rises again at once.
    cmds.clear();
    ASSERT_EQ(ModemStart(0, q), 1u);
    for (uint32_t i = 0; i < 5; i++) {
        LA_TimeAdvance(100);
        ModemExecute(0, 1);
        ModemHangupPoll();
        Pump();
    }
    EXPECT_EQ(g.b[3], 34);  // still waiting for the hang-up's answer
    EXPECT_TRUE(cmds.empty());
    EXPECT_EQ(LT_W(R(40)), 0xFFFE);
    Port(0).dcd = 0;
    fake_ports::Feed(0, "\r\nNO CARRIER\r\n");
    LA_TimeAdvance(100);
    ModemExecute(0, 1);
    EXPECT_EQ(g.conn_status, 3);  // the hang-up ended with the modem's answer
    for (uint32_t i = 0; i < 1000 && LT_W(R(40)) != 1; i++) {
        LA_TimeAdvance(1000);
        ModemExecute(0, 1);
        ModemHangupPoll();
        Pump();
        if (Sent("ATDT5551234")) Port(0).dcd = 1;
    }
    EXPECT_EQ(LT_W(R(40)), 1);
    ASSERT_GE(cmds.size(), 2u);
    EXPECT_EQ(cmds[0], "+++");
    EXPECT_EQ(cmds[1], "ATE0HS0=0Q0V1&C1&D1");  // configured once: the short start
    EXPECT_EQ(g.owner, 1);
    io_init[1] = 0;
}

TEST_F(GsmTest, HandBackHeldByTheHoldRegister) {
    GsmInfo &g = GSMGPRSInfo_St;
    g.hold_reg = M16(50);
    g.hold_time_reg = R(60);
    g.hold_time = 10;
    // SMS engine: held for the seconds of the hold-time register, then the
    // bit is cleared.
    LT_SetW(R(60), 3);
    EXPECT_EQ(GSMHoldKeep(), 0u);
    LT_SetBit(M16(50), true);
    EXPECT_EQ(GSMHoldKeep(), 1u);
    LA_TimeAdvance(29999);
    EXPECT_EQ(GSMHoldKeep(), 1u);
    LA_TimeAdvance(1);
    EXPECT_EQ(GSMHoldKeep(), 0u);
    EXPECT_FALSE(LT_Bit(M16(50)));
    // Talk-port user with a request pending: held while the bit is 1; bytes
    // on the port keep it; then hung up (carrier down: at once), owner 0.
    g.hold_time_reg = 0;
    g.owner = 1;
    g.pending = 4;
    LT_SetBit(M16(50), true);
    EXPECT_EQ(GSMGPRSRsrcMngr(1, 4), 0u);
    EXPECT_EQ(g.b[5] & 0x10, 0x10);
    LA_TimeAdvance(90000);
    fake_ports::Feed(0, "x");
    EXPECT_EQ(GSMGPRSRsrcMngr(1, 4), 0u);
    Port(0).rx.clear();
    LA_TimeAdvance(99999);
    EXPECT_EQ(GSMGPRSRsrcMngr(1, 4), 0u);
    LA_TimeAdvance(1);
    EXPECT_EQ(GSMGPRSRsrcMngr(1, 4), 1u);
    EXPECT_EQ(g.owner, 0);
    EXPECT_EQ(g.pending, 4);
    // A hold bit of 0 ends the hold: hold time back to 10.
    g.owner = 1;
    g.hold_time = 20;
    EXPECT_EQ(GSMGPRSRsrcMngr(1, 4), 0u);
    LT_SetBit(M16(50), false);
    EXPECT_EQ(GSMGPRSRsrcMngr(1, 4), 1u);
    EXPECT_EQ(g.hold_time, 10);
    EXPECT_EQ(g.owner, 0);
}

// A hold that ran out hangs the call up: the hold bit still set does not
// start a new hold while the hang-up it began is running.
TEST_F(GsmTest, AHoldThatRanOutHangsUpWithoutHoldingAgain) {
    GsmInfo &g = GSMGPRSInfo_St;
    g.hold_reg = M16(50);
    g.hold_time = 10;
    g.owner = 1;
    g.pending = 4;
    Port(0).dcd = 1;
    LT_SetBit(M16(50), true);
    EXPECT_EQ(GSMGPRSRsrcMngr(1, 4), 0u);
    LA_TimeAdvance(100000);
    EXPECT_EQ(GSMGPRSRsrcMngr(1, 4), 0u);  // the hang-up starts: 0.25 s
    EXPECT_EQ(Port(0).tx, "");
    LA_TimeAdvance(2500);
    EXPECT_EQ(GSMGPRSRsrcMngr(1, 4), 0u);
    EXPECT_EQ(Port(0).tx, "ATHS0=0\r");
    Port(0).dcd = 0;
    fake_ports::Feed(0, "\r\nOK\r\n");
    EXPECT_EQ(GSMGPRSRsrcMngr(1, 4), 1u);
    EXPECT_EQ(g.owner, 0);
    EXPECT_EQ(g.pending, 4);
    EXPECT_EQ(g.b[5] & 0x10, 0);
}

TEST_F(GsmTest, ToolConnectionAndProgrammingPortTakeOver) {
    GsmInfo &g = GSMGPRSInfo_St;
    io_init[1] = 0x6F0F;
    g.b[3] = 0;
    ConnToolTelit();
    EXPECT_EQ(g.b[3], 31);
    g.b[0] = 0x30;
    ConnToolTelit();  // the module is not initialised: not connected
    EXPECT_EQ(g.b[3], 0);
    EXPECT_EQ(g.conn_status, 4);
    EXPECT_EQ(g.b[0] & 0x30, 0);
    // The programming port opened with the module's settings, unless it
    // already runs mode 9.
    ComportCfg = {7, 0, 3, 0, 0, 0x01};
    Msg_SetCmdOverride(0);
    CmdOvrd();
    EXPECT_EQ(Msg_CmdOverride(), 1);
    ASSERT_EQ(Port(0).opens.size(), 1u);
    EXPECT_EQ(Port(0).opens[0], ComportCfg);
    Port(0).mode[0] = 9;
    CmdOvrd();
    EXPECT_EQ(Port(0).opens.size(), 1u);
}

TEST_F(GsmTest, TalkPortModemHandsTheGsmModemToTheManager) {
    io_init[1] = 0xDF0F;
    ModemSection sec;
    sec.Install();
    GSMGPRSParmInit();
    GsmInfo &g = GSMGPRSInfo_St;
    struct Row {
        const char *what;
        std::string text;
        const char *dial;  // the line that dials
        uint8_t ip;
    };
    const std::string ipbn = std::string("IPbn") + '\x03' + '\x00' + 'M' + '\x0A' + '\x88' + '\x13';
    const Row rows[] = {{"circuit", "5551234", "ATDT5551234", 0}, {"IP", ipbn, "ATDP10.1.2.3", 1}};
    for (const Row &r : rows) {
        SetUp();
        io_init[1] = 0xDF0F;
        MarkGsmModemConfigured();
        g.owner = 3;  // SMS has it: the request waits
        const ModemReq q = Request(1, WordOf(R(40)), r.text);
        ASSERT_EQ(ModemStart(0, q), 1u);
        EXPECT_EQ(ModemExecute(0, 1), 0u);
        EXPECT_EQ(LT_W(R(40)), 0xFFFE);
        EXPECT_EQ(Port(0).tx, "") << r.what;
        EXPECT_EQ(g.pending, 1);
        GSMGPRSRsrcMngr(3, 4);
        answers[r.dial] = "\r\nCONNECT 9600\r\n";
        for (uint32_t i = 0; i < 1000 && LT_W(R(40)) == 0xFFFE; i++) {
            LA_TimeAdvance(1000);
            ModemExecute(0, 1);
            Pump();
            if (Sent(r.dial)) Port(0).dcd = 1;
        }
        EXPECT_EQ(g.owner, 1) << r.what;
        EXPECT_EQ(GsmModem, 1);
        EXPECT_EQ(g.ip_call, r.ip) << r.what;
        EXPECT_STREQ(g.dest.data(), r.ip ? "10.77.0.3/5000" : "5551234") << r.what;
        ASSERT_TRUE(Sent(r.dial)) << r.what;
        EXPECT_EQ(cmds[0], "+++") << r.what;
        EXPECT_EQ(cmds[1], "AT+IPR=115200") << r.what;
        EXPECT_EQ(LT_W(R(40)), 1) << r.what;
        EXPECT_EQ(ModemExecute(0, 1), 1u) << r.what;
        // Serial Modbus over an IP call goes with its MBAP header.
        EXPECT_EQ(ModbusTCP_St.flags & 1, r.ip) << r.what;
        // The stop gives the modem back: hung up through the manager.
        answers["ATHS0=0"] = "\r\nNO CARRIER\r\n";
        ModemStop(0, 1);
        EXPECT_EQ(LT_W(R(40)), 0xFFFF);
        EXPECT_EQ(ModbusTCP_St.flags & 1, 0) << r.what;
        // The call's idle time-out ends with it: it cannot end a later call.
        LA_TimeAdvance(9000000);
        EXPECT_EQ(GPRSIdleTimer(0), 0u) << r.what;
        for (uint32_t i = 0; i < 100 && g.owner; i++) {
            LA_TimeAdvance(100);
            ModemHangupPoll();
            Pump();
            if (Sent("ATHS0=0")) Port(0).dcd = 0;
        }
        EXPECT_TRUE(Sent("ATHS0=0")) << r.what;
        EXPECT_EQ(g.owner, 0) << r.what;
        EXPECT_EQ(modem.gsm, 0) << r.what;
    }
    // An initialisation string (kind 0) on the verbose modem: the answer's
    // text ('+' and line feeds dropped, lines a CR apart) goes into the
    // registers behind the status register, zero-terminated and cut at the
    // end of the register image.
    struct Kind0 {
        const char *what;
        uint32_t status;   // word index of the status register
        std::string text;  // the bytes behind it
    };
    constexpr uint32_t kLast = PLC_REG_SIZE / 2 - 1;
    const Kind0 kind0[] = {{"%R40", WordOf(R(40)), std::string("CGMI: \"Telit\"\rOK") + '\0'},
                           {"the image's last word but one", kLast - 1, std::string("C") + '\0'}};
    for (const Kind0 &r : kind0) {
        SetUp();
        io_init[1] = 0xDF0F;
        MarkGsmModemConfigured();
        answers["AT+CGMI"] = "\r\n+CGMI: \"Telit\"\r\n\r\nOK\r\n";
        const ModemReq q = Request(0, r.status, "+CGMI");
        ASSERT_EQ(ModemStart(0, q), 1u);
        for (uint32_t i = 0; i < 1000 && PlcWord(r.status) == 0xFFFE; i++) {
            LA_TimeAdvance(1000);
            ModemExecute(0, 0);
            Pump();
        }
        EXPECT_TRUE(Sent("AT+CGMI")) << r.what;
        EXPECT_EQ(PlcWord(r.status), 0) << r.what;
        EXPECT_EQ(std::string(reinterpret_cast<const char *>(&plc_reg[2 * (r.status + 1)]), r.text.size()), r.text)
            << r.what;
        EXPECT_EQ(ModemExecute(0, 0), 1u) << r.what;
        ModemStop(0, 0);
        for (uint32_t i = 0; i < 100 && g.owner; i++) {
            LA_TimeAdvance(100);
            ModemHangupPoll();
            Pump();
        }
        EXPECT_EQ(g.owner, 0) << r.what;
    }
}

// The ends of a call on the manager's verbose modem: a dial answered with
// ERROR ends the request (status 4) and counts one ended call, however long
// the request stays ended; a connected call whose carrier is lost gives 6
// when the manager listens for an IP call, else keeps its status.
TEST_F(GsmTest, TalkPortModemCallEndsOnTheManagersModem) {
    GsmInfo &g = GSMGPRSInfo_St;
    uint32_t ended_with = 0;  // the status on the pass that ended the request
    auto run = [&](const char *dial_answer) {
        SetUp();
        io_init[1] = 0xDF0F;
        // The block's modem section is read once, as the start would read
        // it; the record below is then the one the start works with.
        GSMGPRSParmInit();
        MarkGsmModemConfigured();
        answers["ATDT5551234"] = dial_answer;
        const ModemReq q = Request(1, WordOf(R(40)), "5551234");
        ModemInit(0);
        EXPECT_EQ(ModemStart(0, q), 1u);
        for (uint32_t i = 0; i < 1000 && !Sent("ATDT5551234"); i++) {
            LA_TimeAdvance(1000);
            ModemExecute(0, 1);
            Pump();
        }
        Port(0).dcd = 1;
        ended_with = 0;
        for (uint32_t i = 0; i < 20; i++) {
            LA_TimeAdvance(1000);
            const bool running = modem.step[1] != kModemFailed;
            ModemExecute(0, 1);
            if (running && modem.step[1] == kModemFailed) ended_with = LT_W(R(40));
            Pump();
        }
    };
    run("\r\nERROR\r\n");
    EXPECT_EQ(modem.step[1], kModemFailed);
    EXPECT_EQ(ended_with, 4u);  // the ERROR's own pass, not one later
    EXPECT_EQ(LT_W(R(40)), 4);
    EXPECT_EQ(g.calls, 1);
    ModemStop(0, 1);
    EXPECT_EQ(g.calls, 1);
    for (const bool listens : {true, false}) {
        run("\r\nCONNECT 9600\r\n");
        EXPECT_EQ(ModemExecute(0, 1), 1u) << listens;
        EXPECT_EQ(LT_W(R(40)), 1);
        if (listens) {
            g.ip_call = 1;
            g.b[0] |= kGsmCallIpIn;
        }
        Port(0).dcd = 0;
        for (uint32_t i = 0; i < 4; i++) EXPECT_EQ(ModemExecute(0, 1), 0u);
        EXPECT_EQ(modem.connected, 1) << "four passes of grace";
        ModemExecute(0, 1);
        EXPECT_EQ(modem.connected, 0);
        EXPECT_EQ(LT_W(R(40)), listens ? 6 : 1) << listens;
        EXPECT_EQ(g.calls, 0);
        ModemStop(0, 1);
    }
    io_init[1] = 0;
}

// A modem that stops answering: each command without an answer counts a
// retry and the machine starts again with the escape; the third start
// without an answer asks for a power cycle, so the next start resets the
// modem with "AT$RESET" and counts from 0 again (that start is the first of
// the next three).
TEST_F(GsmTest, AModemThatNeverAnswersIsResetAfterThreeTries) {
    mute = true;
    Run(4000);
    std::vector<std::string> starts;
    for (const std::string &c : cmds)
        if (c == "+++" || c == "AT$RESET") starts.push_back(c);
    ASSERT_GE(starts.size(), 7u);
    const std::vector<std::string> want = {"+++", "+++", "+++", "AT$RESET", "+++", "+++", "AT$RESET"};
    EXPECT_EQ(std::vector<std::string>(starts.begin(), starts.begin() + 7), want);
}

// A new modem section without a manual operator leaves no operator text of
// the section before it.
TEST_F(GsmTest, ASectionWithoutAManualOperatorClearsTheOldOne) {
    io_init[1] = 0xDF0F;
    ModemSection sec = OperatorInR300();
    RegText(R(300), "00101");
    sec.Install();
    GSMGPRSParmInit();
    GSMGPRSOprtor();
    EXPECT_EQ(Config(4), "00101");
    sec.fb = 0x01;  // no manual operator
    sec.Install();
    GSMGPRSParmInit();
    GSMGPRSOprtor();
    EXPECT_EQ(Config(4), "");
    EXPECT_STREQ(NWOprtrName.data(), "");
    EXPECT_EQ(GSMGPRSInfo_St.b[1] & 0x80, 0);
    io_init[1] = 0;
}

// An operator held as a register string is its 22 characters: blanks in
// front of the name, two of them too, are skipped, not taken as its end;
// the name ends at a NUL or at a blank before a blank.
TEST_F(GsmTest, AnOperatorRegisterStringSkipsBlanksInFront) {
    io_init[1] = 0xDF0F;
    struct Row {
        std::string reg;
        const char *name;
        uint8_t numeric;
    };
    const Row rows[] = {{"  00101", "00101\"", 1},
                        {"   vodafone de  x", "VODAFONE DE", 0},
                        {"tel2", "TEL2", 0},
                        {std::string(20, ' ') + "abcdef", "AB", 0}};
    for (const Row &r : rows) {
        ModemSection sec = OperatorInR300();
        std::memset(&plc_reg[LT_Byte(R(300))], 0, 40);
        RegText(R(300), r.reg);
        sec.Install();
        GSMGPRSParmInit();
        GSMGPRSOprtor();
        EXPECT_STREQ(NWOprtrName.data(), r.name) << r.reg;
        EXPECT_EQ(NumericOprtCode, r.numeric) << r.reg;
    }
    io_init[1] = 0;
}

// An AT command of the SMS steps first drops what still waits to go out on
// port 0 (the flush here empties the stand-in's transmit record).
TEST_F(GsmTest, AnAtCommandFlushesThePortsTransmitSideFirst) {
    Vcomm_Drv[0].FlushTx = [](uint32_t n) { fake_ports::P()[n].tx.clear(); };
    Port(0).tx = "stale";
    ATCommand("+CMGF=1");
    EXPECT_EQ(Port(0).tx, "AT+CMGF=1\r\n");
}

// The answer buffer holds 351 bytes: a line of 348 bytes and "OK" with its
// CR fills it exactly and gives OK; one byte more restarts the buffer at the
// CR, and the OK before it is lost.
TEST_F(GsmTest, TheAnswerBufferHolds351Bytes) {
    GSMTimer(1000000);
    GSMindex = 0;
    fake_ports::Feed(0, std::string(348, 'x') + "OK\r");
    EXPECT_EQ(GSMGetResult(0), 0u);
    GSMindex = 0;
    fake_ports::Feed(0, std::string(349, 'x') + "OK\r");
    EXPECT_EQ(GSMGetResult(0), 0xFFFEu);
    EXPECT_EQ(GSMindex, 1u);  // the CR alone, at the start again
}

// A messaging block that loses its SMS section and comes back unchanged
// (the same block downloaded again, with the same check word) configures
// the modem again: the check word seen before the removal is forgotten.
TEST_F(GsmTest, TheSameBlockDownloadedAgainIsReadAgain) {
    io_init[1] = 0;  // no modem option board: the SMS section decides
    std::memcpy(sms.MagicID.data(), "1VMS", 5);
    ModemSection sec;
    sec.fa = 0x20;  // no wait for an address
    sec.hold = 30;
    sec.Install();
    EXPECT_EQ(GSMGPRSParmInit(), 1u);
    EXPECT_EQ(GSMGPRSInfo_St.b[0], 0x05);
    EXPECT_EQ(GSMGPRSInfo_St.hold_time, 30);
    std::memcpy(sms.MagicID.data(), "MSON", 5);  // a block without SMS
    EXPECT_EQ(GSMGPRSParmInit(), 0u);
    EXPECT_EQ(GSMGPRSInfo_St.b[0], 0x00);
    EXPECT_EQ(GSMGPRSInfo_St.hold_time, 0);
    std::memcpy(sms.MagicID.data(), "1VMS", 5);  // the first block again
    EXPECT_EQ(GSMGPRSParmInit(), 1u);
    EXPECT_EQ(GSMGPRSInfo_St.b[0], 0x05);
    EXPECT_EQ(GSMGPRSInfo_St.b[1] & 0x01, 0x01);
    EXPECT_EQ(GSMGPRSInfo_St.hold_time, 30);
    sms.MagicID = {};
}

// A text of the section's string area ends at a NUL inside its given
// length: a field padded with NULs gives the text before them, so no NUL
// byte reaches an AT command line and a padded numeric operator is still
// sent as its code.
TEST_F(GsmTest, InlineTextsEndAtANulInsideTheirLength) {
    io_init[1] = 0xDF0F;
    ModemSection sec;
    sec.fb = 0x04;  // manual operator, texts in the string area
    sec.strings = std::string("apn.de\0\0\0\0", 10) + std::string("26201\0\0", 7) + std::string("us\0", 3);
    sec.texts = {{{0, 10}, {17, 3}, {0, 0}, {10, 7}, {0, 0}}};
    sec.Install();
    GSMGPRSParmInit();
    EXPECT_EQ(ConfigDataInStr[4].len, 6u);
    EXPECT_EQ(Config(5), "apn.de");
    EXPECT_EQ(Config(7), "us");
    GSMGPRSOprtor();
    EXPECT_EQ(Config(4), "26201");
    EXPECT_STREQ(NWOprtrName.data(), "26201\"");
    EXPECT_EQ(NumericOprtCode, 1);
    char t[64];
    EXPECT_EQ(GSMGPRSParm(4, t, sizeof t), 8u);
    EXPECT_EQ(std::string(t), "\"apn.de\"");
    io_init[1] = 0;
}
