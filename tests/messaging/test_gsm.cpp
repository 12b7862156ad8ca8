// The modem manager: its initialisation machine's commands in order against
// a modem that answers OK, the answer classifier and the resource manager.
#include <cstring>

#include "messaging/messaging.h"
#include "tests/messaging/msg_fixture.h"

namespace {

class GsmTest : public MsgTest {
protected:
    std::size_t seen = 0;
    std::vector<std::string> cmds;
    void SetUp() override {
        MsgTest::SetUp();
        GSMGPRSInfo_St = GsmInfo{};
        GSMGPRSInfo_St.b[1] = 0x01;  // a configuration is present
    }
    // Steps the machine; every command line gets "OK" (an escape too).
    void Run(uint32_t passes) {
        for (uint32_t i = 0; i < passes; i++) {
            LA_TimeAdvance(1000);
            GSMModemInit(0);
            std::string &tx = Port(0).tx;
            for (;;) {
                if (tx.compare(seen, 3, "+++") == 0) {
                    seen += 3;
                    cmds.push_back("+++");
                    fake_ports::Feed(0, "\r\nOK\r\n");
                    continue;
                }
                const std::size_t p = tx.find('\r', seen);
                if (p == std::string::npos) break;
                cmds.push_back(tx.substr(seen, p - seen));
                seen = p + 1;
                fake_ports::Feed(0, cmds.back() == "AT$NETIP?" ? "\r\n$NETIP: 10.1.2.3\r\nOK\r\n" : "\r\nOK\r\n");
            }
        }
    }
};

}  // namespace

TEST_F(GsmTest, InitialisationCommandsInTheirOrder) {
    Run(600);
    const std::vector<std::string> want = {
        "+++", "AT+IPR=115200", "ATE0HS0=0Q0V1&C1&D1", "AT+GMM", "AT$NETMON=5,2,2,3", "AT+CFUN=1",
        "AT+FCLASS=0", "AT$AREG=0", "AT+COPS=0", "AT+CSQ", "AT+CBST=7,0,1", "AT+CGDCONT=1,\"IP\",\"\"",
        "AT%CGPCO=1,\",\",0", "AT$HOSTIF= 1", "AT$PADBLK=512", "AT$PADTO=1", "AT$PADCMD=00", "AT$PADFWD=13",
        "AT$UDPAPI=,1", "AT$PADSRC=1001", "AT$PADDST=\"0.0.0.0\"", "AT$ACTIVE=0", "AT$AREG=2", "+++",
        "AT$NETIP?"};
    ASSERT_GE(cmds.size(), want.size());
    EXPECT_EQ(std::vector<std::string>(cmds.begin(), cmds.begin() + long(want.size())), want);
    EXPECT_EQ(GSMGPRSInfo_St.b[0] & 0x18, 0x18);  // configured once, held
    EXPECT_STREQ(GSMGPRSInfo_St.allocated_ip.data(), "10.1.2.3");
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
}

TEST_F(GsmTest, AnswerCodesAndTheResourceManager) {
    struct Row {
        const char *text;
        uint32_t code;
        bool hw_reset;
    };
    const Row rows[] = {{"\r\nOK\r", 0, false},         {"\r\nERROR\r", 4, false},
                        {"\r\nCONNECT 9600\r", 1, false}, {"\r\nNO CARRIER\r", 3, false},
                        {"\r\nRING\r", 2, false},       {"\r\nLISTEN\r", 6, false},
                        {"\r\nAT-Command\r", 4, false}, {"\r\nEnabler-II\r", 0, true},
                        {"Enabler-II\r", 0, false},     {"\r\nhello\r", 0xFFFE, false}};
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
    // No prompt within 10 s: ESC, a retry counted, the number again.
    SetUp();
    TxAction = 20;
    EnforaInit = 1;
    CmdRetryCnt = 0;
    SmsText num{}, txt{};
    num.len = 1;
    num.text[0] = '1';
    TransmitSMS(num, txt);
    LA_TimeAdvance(100000);
    TransmitSMS(num, txt);
    EXPECT_EQ(Port(0).tx, "AT+CMGS=\"1\"\r\x1b");
    EXPECT_EQ(CmdRetryCnt, 1);
    EXPECT_EQ(TxAction, 20);
    // Nine retries mark the modem for a new initialisation.
    for (int i = 0; i < 8; i++) CommInit();
    EXPECT_EQ(EnforaInit, 0);
    EXPECT_EQ(InitCount, 1);
    EXPECT_EQ(CmdRetryCnt, 0);
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
