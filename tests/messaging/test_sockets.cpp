// Data sockets of the built-in module: initialisation, context activation,
// dialling, sending, the unsolicited ring and reading, against an
// in-process module on the cellular line.
#include <cstring>

#include "core/storage/nvram.h"
#include "media/datalog.h"
#include "messaging/email.h"
#include "messaging/messaging.h"
#include "tests/messaging/email_block.h"
#include "tests/messaging/msg_fixture.h"
#include "tests/messaging/sms_block.h"

using namespace la;

namespace {

struct CellSim {
    std::size_t seen = 0;
    std::vector<std::string> cmds;
    std::size_t send_expect = 0;  // data bytes expected after a "> " prompt
    std::string sent_data;
    void Pump() {
        std::string &tx = fake_ports::P()[2].tx;
        while (seen < tx.size()) {
            if (send_expect) {
                const std::size_t n = std::min(send_expect, tx.size() - seen);
                sent_data += tx.substr(seen, n);
                seen += n;
                send_expect -= n;
                if (send_expect == 0) fake_ports::Feed(2, "\r\nOK\r\n");
                continue;
            }
            if (tx.compare(seen, 3, "+++") == 0) {
                seen += 3;
                cmds.push_back("+++");
                fake_ports::Feed(2, "\r\nOK\r\n");
                continue;
            }
            const std::size_t p = tx.find('\r', seen);
            if (p == std::string::npos) return;
            std::string line = tx.substr(seen, p - seen);
            seen = p + 1;
            while (!line.empty() && line[0] == '\x1a') line.erase(0, 1);
            if (line.empty()) continue;
            cmds.push_back(line);
            std::string ans = "\r\nOK\r\n";
            if (line == "AT+CPIN?")
                ans = "\r\n+CPIN: " + cpin + "\r\n\r\nOK\r\n";
            else if (line == "AT+CREG?") {
                ans = "\r\n+CREG: 0," + std::string(1, creg.empty() ? '1' : creg.front()) + "\r\n\r\nOK\r\n";
                if (!creg.empty()) creg.erase(0, 1);
            } else if (line == "AT+COPS=?")
                ans = cops_list + "\r\nOK\r\n";
            else if (line == "AT#MONI")
                ans = "\r\n#MONI: Op Name BSIC:12 RxQual:0 LAC:1 Id:2 ARFCN:3 PWR:-90dbm TA:0\r\n\r\nOK\r\n";
            else if (line == "AT+GMM")
                ans = "\r\nLE910-D\r\n\r\nOK\r\n";
            else if (line.rfind("AT#SGACT=1,1", 0) == 0)
                ans = mute_activation ? "" : "\r\n#SGACT: " + address + "\r\n\r\nOK\r\n";
            else if (line == "AT#SS")
                ans = ss;
            else if (line.rfind("AT#SH=", 0) == 0 && mute_close)
                ans = "";
            else if (line.rfind("AT#SD=1,", 0) == 0)
                ss[9] = '2';  // the call is up, suspended
            else if (line.rfind("AT#SSENDEXT=", 0) == 0) {
                send_expect = std::stoul(line.substr(line.find(',') + 1));
                ans = "\r\n> ";
            } else if (line.rfind("AT#SD=3,", 0) == 0) {
                ss[ss.find("#SS: 3,") + 7] = '2';
            } else if (line.rfind("AT#SRECV=", 0) == 0) {
                const std::string id = line.substr(9, line.find(',') - 9);
                // The module sends exactly the bytes it announces: the peer's,
                // then count_extra more of the peer's stream (its lines of "OK").
                std::string data = peer;
                for (std::size_t i = 0; i < count_extra; i++) data.push_back("\r\nOK\r\n"[i % 6]);
                ans = "\r\n#SRECV: " + id + "," + std::to_string(data.size()) + "\r\n" + data + "\r\n\r\nOK\r\n";
                if (consume) peer.clear();
            }
            fake_ports::Feed(2, ans);
        }
    }
    std::string address = "10.0.0.2";  // given by the context activation
    std::string creg;                  // registration states to answer, then 1
    std::string cpin = "READY";        // the SIM's state
    std::string cops_list;             // answer to AT+COPS=? (before the OK)
    std::size_t count_extra = 0;
    bool consume = false;          // a read takes the peer's bytes
    bool mute_activation = false;  // no answer to the context activation
    bool mute_close = false;       // no answer to a close
    std::string ss =
        "\r\n#SS: 1,0,10.0.0.2,1025,10.77.0.3,5000\r\n#SS: 2,0\r\n#SS: 3,0\r\n#SS: 4,0\r\n#SS: 5,0\r\n#SS: 6,0\r\n\r\nOK\r\n";
    std::string peer;
};

class SockTest : public MsgTest {
protected:
    CellSim sim;
    void SetUp() override {
        MsgTest::SetUp();
        at_status = AtStatus{};
        at_status.socket = 0xFF;
        socket_info_st = {};
        sms = SmsEngine{};
        GSMGPRSInfo_St = GsmInfo{};
        GSMGPRSInfo_St.marker = GSM_MARKER;
        TelitPowerON = 0;
        io_init[1] = 0x6F0F;
        Port(2).mode = {9, 0, 3, 0, 0, 1};
    }
    void TearDown() override {
        io_init[1] = 0;
        DbgLog = saved_log;
        Dbglog_len = 0;
        MsgTest::TearDown();
    }
    // The debug log collects (filter bit 0) from here on.
    DbgLogRec saved_log = DbgLog;
    void LogOn() {
        DbgLog = {R(900), 0, 1};
        LT_SetW(R(900), 0x0001);
        PlcWordSet(W_MODE, 2);
        Dbglog_len = 0;
    }
    std::string LogText() const { return std::string(reinterpret_cast<const char *>(DbgLogBuf.data()), Dbglog_len); }
    void Pass(uint32_t ms) {
        for (uint32_t i = 0; i < ms / 10; i++) {
            LA_TimeAdvance(100);
            ModemCycle();
            sim.Pump();
        }
    }
    std::size_t Find(const std::string &c, std::size_t from = 0) {
        for (std::size_t i = from; i < sim.cmds.size(); i++)
            if (sim.cmds[i] == c) return i;
        return sim.cmds.size();
    }
};

}  // namespace

// Socket numbers are 0..5 (the module's 1..6): 6 is none, and its status
// line is the last socket's.
TEST_F(SockTest, SocketNumbersToTheLast) {
    SockConnInfo req{};
    req.socket = SOCK_COUNT;
    EXPECT_EQ(ModemDataConnRequest(req), 1u);
    EXPECT_EQ(ModemDataDisConnRequest(SOCK_COUNT), 0u);
    EXPECT_FALSE(IsModemSocketActive(at_status.port, SOCK_COUNT));
    EXPECT_EQ(ModemCheckRecv(SOCK_COUNT), 0u);
    EXPECT_EQ(ModemDataRecv(SOCK_COUNT), 0u);
    const uint8_t byte = 1;
    EXPECT_EQ(ModemDataSend(SOCK_COUNT, &byte, 1, 1), 1u);
    DataConnectionLoop(SOCK_COUNT);
    at_status.prompt = 4;
    Sock_ApplyStatus(SOCK_COUNT, 3, "6,3", 3);
    EXPECT_EQ(at_status.prompt, 0) << "socket 6 is the last";
    // The receive area's end: a read index there gives nothing.
    SocketInfo &r = socket_info_st[0];
    r.unread = 1;
    r.read_idx = 1600;
    r.tx_len = 0x4141;
    EXPECT_EQ(ModemDataRecv(0), 0u);
    EXPECT_EQ(r.unread, 1);
    r = SocketInfo{};
    // A caller's buffer of 65535 bytes is taken whole.
    SocketInfo &t = socket_info_st[1];
    t.state = 6;
    const std::vector<uint8_t> big(0xFFFF, 'x');
    EXPECT_EQ(ModemDataSend(1, big.data(), 0xFFFF, 0), 0u);
    EXPECT_EQ(t.tx_len, 0xFFFF);
    EXPECT_EQ(t.tx_ptr, big.data());
    t = SocketInfo{};
    // The peer port of an accepted call: its digits up to the end of the
    // line (a length short of the text), at most 7 of them.
    const struct {
        const char *line;
        uint32_t cut;
        const char *port;
    } rows[] = {{"3,5,10.0.0.2,1025,10.77.0.3,90507", 1, "9050"},
                {"3,5,10.0.0.2,1025,10.77.0.3,12345678", 0, "1234567"}};
    for (const auto &row : rows) {
        socket_info_st[2] = SocketInfo{};
        Sock_ApplyStatus(3, 5, row.line, uint32_t(std::strlen(row.line) - row.cut));
        EXPECT_EQ(std::string(socket_info_st[2].host.data()), "10.77.0.3") << row.line;
        EXPECT_EQ(std::string(socket_info_st[2].peer_port.data()), row.port) << row.line;
    }
    socket_info_st[2] = SocketInfo{};
}

TEST_F(SockTest, DialSendRingAndReceive) {
    // %SR163 at 11 or 13 keeps the command protocol off the programming port.
    const struct {
        uint16_t ctl;
        uint8_t held;
    } holds[] = {{12, 0}, {11, 1}, {13, 1}, {7, 0}};
    for (const auto &h : holds) {
        Msg_SetCmdOverride(0);
        PlcWordSet(SR_WORD(163), h.ctl);
        ModemCycle();
        EXPECT_EQ(Msg_CmdOverride(), h.held) << h.ctl;
    }
    PlcWordSet(SR_WORD(163), 0);
    Msg_SetCmdOverride(0);
    Pass(60000);  // initialisation, identity, first signal reading
    ASSERT_EQ(CheckInit(), 1u);
    EXPECT_EQ(sim.cmds[0], "AT#ENHRST=1,0");
    EXPECT_EQ(at_status.model, 5);    // "LE910-D"
    EXPECT_EQ(at_status.signal, 12);  // -90 dBm is not in the table
    // The signal is read every 10 s: none within 9.5 s of a reading, one by 10.5 s.
    sim.cmds.clear();
    for (int i = 0; i < 1200 && Find("AT#MONI") == sim.cmds.size(); i++) Pass(10);
    ASSERT_LT(Find("AT#MONI"), sim.cmds.size());
    sim.cmds.clear();
    Pass(9500);
    EXPECT_EQ(Find("AT#MONI"), sim.cmds.size());
    Pass(1000);
    EXPECT_LT(Find("AT#MONI"), sim.cmds.size());
    SockConnInfo req{};
    req.ip = 0x0A4D0003;
    req.port = 5000;
    req.socket = 0;
    req.flags = 2;
    EXPECT_EQ(ModemDataConnRequest(req), 1u);
    Pass(3000);
    const std::size_t sd = Find("AT#SD=1,0,5000,\"10.77.0.3\",0,0,1");
    ASSERT_LT(sd, sim.cmds.size());
    EXPECT_LT(Find("AT+CGDCONT=1,\"IP\",\"\",\"0.0.0.0\",0,0"), sd);
    EXPECT_LT(Find("AT#SGACT=1,1,\"\",\"\""), sd);  // the context came first
    EXPECT_EQ(at_status.local_ip, 0x0A000002u);
    // Connected once the module says so.
    Pass(2000);
    EXPECT_EQ(socket_info_st[0].state, 7);
    EXPECT_EQ(ModemDataConnRequest(req), 0u);
    EXPECT_TRUE(IsModemSocketActive(2, 0));
    // The built-in module carries the programming port's traffic: Talk, the
    // command protocol and serial Modbus ask with port 0.
    EXPECT_EQ(at_status.port, 2u);
    EXPECT_TRUE(IsModemSocketActive(0, 0));
    EXPECT_FALSE(IsModemSocketActive(1, 0));
    EXPECT_FALSE(IsModemSocketActive(2, 6));
    EXPECT_FALSE(IsModemSocketActive(0, 6));
    const uint8_t hello[5] = {'H', 'E', 'L', 'L', 'O'};
    LogOn();
    EXPECT_EQ(ModemDataSend(0, hello, 5, 1), 0u);
    Pass(2000);
    EXPECT_LT(Find("AT#SSENDEXT=1,5"), sim.cmds.size());
    // "Data send time <ms> mS": the time is the passes the send took.
    const std::string sendlog = LogText();
    const std::size_t at = sendlog.find("Data send time ");
    ASSERT_NE(at, std::string::npos) << sendlog;
    std::size_t d = at + 15;
    while (d < sendlog.size() && sendlog[d] >= '0' && sendlog[d] <= '9') d++;
    EXPECT_GT(d, at + 15) << sendlog;
    EXPECT_EQ(sendlog.compare(d, 5, " mS\r\n"), 0) << sendlog;
    EXPECT_EQ(sim.sent_data, "HELLO");
    EXPECT_EQ(socket_info_st[0].tx_len, 0);
    // The status record of socket 0: id, flags (dial, kept), state, 0, u32
    // sent, u32 received.
    const uint8_t status0[12] = {1, 0x06, 7, 0, 5, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(std::memcmp(Globalsocket_st.data(), status0, sizeof status0), 0);
    // Two appends of 1,000 bytes: the second no longer fits.
    std::vector<uint8_t> k(1000, 'k');
    EXPECT_EQ(ModemDataSend(0, k.data(), 1000, 1), 0u);
    EXPECT_EQ(ModemDataSend(0, k.data(), 1000, 1), 1u);
    EXPECT_EQ(socket_info_st[0].flags & SOCKF_REFUSED, SOCKF_REFUSED);
    Pass(2000);
    EXPECT_EQ(sim.sent_data.size(), 1005u);
    // The peer's bytes: an unsolicited ring, the status poll, the read.
    Dbglog_len = 0;
    sim.peer = "ABCD";
    sim.ss[9] = '3';
    fake_ports::Feed(2, "\r\nSRING: 1\r\n");
    Pass(2000);
    EXPECT_LT(Find("AT#SRECV=1,1500"), sim.cmds.size());
    ASSERT_EQ(ModemCheckRecv(0), 1u);
    std::string got;
    for (int i = 0; i < 4; i++) {
        ASSERT_EQ(ModemCheckRecv(0), 1u);
        got.push_back(char(ModemDataRecv(0)));
    }
    EXPECT_EQ(got, "ABCD");
    // The data follows "\r\n#SRECV: 1,4\r\n" in the socket's data area.
    EXPECT_NE(LogText().find("\nReceived Data:4  total:4  offset:15 \n\r\n"), std::string::npos) << LogText();
    EXPECT_EQ(ModemCheckRecv(0), 255u);  // drained: rewound once
    EXPECT_EQ(ModemCheckRecv(0), 0u);
    // A long read: the 1,402 bytes the module announces ("XY", then the
    // peer's lines of "OK") are taken whole as data, none of them taken for
    // the final result.
    sim.peer = "XY";
    sim.count_extra = 1400;
    sim.ss[9] = '3';
    fake_ports::Feed(2, "\r\nSRING: 1\r\n");
    Pass(2000);
    EXPECT_EQ(socket_info_st[0].unread, 1402);
    EXPECT_EQ(socket_info_st[0].flags & SOCKF_ERECV, 0);
    std::string head;
    for (int i = 0; i < 8; i++) head.push_back(char(ModemDataRecv(0)));
    EXPECT_EQ(head, "XY\r\nOK\r\n");
}

// A server name of 63 characters is dialled whole; one of 64 is refused (it
// would be dialled cut, to another host).
TEST_F(SockTest, ServerNamesOverSixtyThreeCharactersAreRefused) {
    Pass(60000);
    ASSERT_EQ(CheckInit(), 1u);
    const std::string name63 = std::string(59, 'h') + ".lan";
    ASSERT_EQ(name63.size(), 63u);
    SockConnInfo req{};
    req.port = 5000, req.socket = 1, req.flags = 2;
    const std::string name64 = "x" + name63;
    std::memcpy(req.host.data(), name64.data(), name64.size());
    EXPECT_EQ(ModemDataConnRequest(req), 1u);
    EXPECT_EQ(socket_info_st[1].state, 0);
    req.host = {};
    std::memcpy(req.host.data(), ("\"" + name63 + "\"").data(), 65);  // quotes are not the name's
    EXPECT_EQ(ModemDataConnRequest(req), 1u);
    EXPECT_EQ(socket_info_st[1].state, 1);
    Pass(3000);
    EXPECT_LT(Find("AT#SD=2,0,5000,\"" + name63 + "\",0,0,1"), sim.cmds.size());
}

// Data waiting at the module is read while the program keeps one byte queued
// for sending at every pass: a pending send does not hold the read back.
TEST_F(SockTest, DataWaitingIsReadWhileSendsKeepComing) {
    Pass(60000);
    ASSERT_EQ(CheckInit(), 1u);
    SockConnInfo req{};
    req.ip = 0x0A4D0003, req.port = 5000, req.socket = 0, req.flags = 2;
    ModemDataConnRequest(req);
    Pass(5000);
    ASSERT_EQ(socket_info_st[0].state, 7);
    sim.peer = "ABCD";
    sim.ss[9] = '3';
    fake_ports::Feed(2, "\r\nSRING: 1\r\n");
    const uint8_t q = 'q';
    for (int i = 0; i < 3000 && socket_info_st[0].unread == 0; i++) {
        if (socket_info_st[0].tx_len == 0) ModemDataSend(0, &q, 1, 1);
        Pass(10);
    }
    EXPECT_LT(Find("AT#SRECV=1,1500"), sim.cmds.size());
    EXPECT_EQ(socket_info_st[0].unread, 4);
    EXPECT_NE(sim.sent_data.find('q'), std::string::npos);
}

// A close whose time-out is the tenth error in a row resets the module: the
// socket's record stays as the reset left it (closed, state 0), so a new
// request takes it again.
TEST_F(SockTest, AModuleResetDuringACloseLeavesTheSocketFree) {
    Pass(60000);
    ASSERT_EQ(CheckInit(), 1u);
    SockConnInfo dial{};
    dial.ip = 0x0A4D0003, dial.port = 5000, dial.socket = 0, dial.flags = 2;
    ModemDataConnRequest(dial);  // the data context comes up with it
    Pass(5000);
    ASSERT_EQ(socket_info_st[0].state, 7);
    SocketInfo &s = socket_info_st[1];
    s.conn_id = 2;
    s.state = 6;
    s.flags = 0;  // a listener whose disconnect was asked for
    s.port = 6000;
    sim.mute_close = true;
    for (int i = 0; i < 3000 && Find("AT#SH=2") == sim.cmds.size(); i++) Pass(10);
    ASSERT_LT(Find("AT#SH=2"), sim.cmds.size());
    at_status.errcnt = 9;  // nine errors in a row before it
    const uint16_t resets = at_status.resets;
    for (int i = 0; i < 3000 && at_status.resets == resets; i++) Pass(10);
    ASSERT_EQ(at_status.resets, resets + 1);
    EXPECT_EQ(s.state, 0);
    EXPECT_EQ(s.flags, 0);
    sim.mute_close = false;
    Pass(60000);
    ASSERT_EQ(CheckInit(), 1u);
    SockConnInfo req{};
    req.port = 6001, req.socket = 1, req.flags = 0;
    ModemDataConnRequest(req);
    EXPECT_EQ(s.state, 1);
    EXPECT_EQ(s.port, 6001);
}

// Appends stay below the 1,500-byte transmit buffer: 1,000 and 499 fit,
// one byte more does not (refused while the others are pending); a socket
// that is not connected (state 5) takes nothing.
TEST_F(SockTest, AppendsUpToTheTransmitBuffer) {
    SocketInfo &s = socket_info_st[3];
    s.state = 6;
    LogOn();
    const std::vector<uint8_t> k(1000, 'k'), m(500, 'm');
    EXPECT_EQ(ModemDataSend(3, k.data(), 1000, 1), 0u);
    EXPECT_EQ(ModemDataSend(3, m.data(), 500, 1), 1u);
    // The first refusal since the last accepted send is logged, once.
    EXPECT_EQ(ModemDataSend(3, m.data(), 500, 1), 1u);
    EXPECT_EQ(LogText(), "Socket Send ERROR,buffer overflow condition\n\r\n");
    EXPECT_EQ(s.tx_len, 1000);
    EXPECT_EQ(s.flags & SOCKF_REFUSED, SOCKF_REFUSED);
    s.flags = 0;
    EXPECT_EQ(ModemDataSend(3, m.data(), 499, 1), 0u);
    EXPECT_EQ(s.tx_len, 1499);
    EXPECT_EQ(s.flags & SOCKF_REFUSED, 0);
    EXPECT_EQ(ModemDataSend(3, m.data(), 1, 1), 1u);  // refused again after an accepted one: logged again
    EXPECT_EQ(LogText(),
              "Socket Send ERROR,buffer overflow condition\n\r\n"
              "Socket Send ERROR,buffer overflow condition\n\r\n");
    s.flags = 0;
    EXPECT_EQ(s.tx_ptr[999], 'k');
    EXPECT_EQ(s.tx_ptr[1000], 'm');
    s = SocketInfo{};
    s.state = 5;
    EXPECT_EQ(ModemDataSend(3, k.data(), 1, 1), 1u);
    EXPECT_EQ(s.tx_len, 0);
}

// The rewind of a drained read (answer 255) is socket 0's only; a socket
// whose open command is done (state 3) follows the module's "listening"
// (4), "incoming" (5) and "closed" (0: free, as no peer was recorded).
TEST_F(SockTest, RewindOfSocketZeroAndTheModuleStates) {
    for (uint32_t n : {0u, 1u, 5u}) {
        SocketInfo &s = socket_info_st[n];
        s = SocketInfo{};
        s.read_idx = 40;
        EXPECT_EQ(ModemCheckRecv(n), n == 0 ? 255u : 0u) << n;
        EXPECT_EQ(ModemCheckRecv(n), 0u) << n;
        EXPECT_EQ(s.read_idx, n == 0 ? 0 : 40) << n;
    }
    SocketInfo &s = socket_info_st[2];
    s = SocketInfo{};
    s.state = 3;
    s.flags = SOCKF_KEEP;  // a kept listener
    Sock_ApplyStatus(3, 4, "3,4", 3);
    EXPECT_EQ(s.state, 4);
    Sock_ApplyStatus(3, 0, "3,0", 3);
    EXPECT_EQ(s.state, 0);
    s.state = 3;
    s.flags = SOCKF_DIAL | SOCKF_KEEP;
    Sock_ApplyStatus(3, 0, "3,0", 3);
    EXPECT_EQ(s.state, 0);
}

TEST_F(SockTest, TalkSendOverTheSocketCountsAcceptedBytesOnly) {
    at_status.port = MSG_CELL_PORT;  // the built-in module's own serial record
    TelitPowerON = 1;
    SocketInfo &s = socket_info_st[0];
    s.state = 6;
    const uint8_t pending[3] = {1, 2, 3};
    ASSERT_EQ(ModemDataSend(0, pending, 3, 0), 0u);  // the caller's own buffer: nothing appends
    LadAsm a(true);
    a.contact(LT_ON).op(133).word(0).word(5).reg(R(10)).reg(R(20)).coil(M16(12));
    a.contact(LT_ON).op(134).word(0).word(2).reg(R(30)).reg(R(21)).coil(M16(13)).end();
    Talk.opened = 1;
    Port(0).mode = {5, 0, 3, 0, 0, 2};
    ASSERT_EQ(Run(a), -1);
    plc_reg[64] &= uint8_t(~1u);
    ASSERT_EQ(Scan(), -1);
    EXPECT_EQ(LT_W(R(20)), 0);
    EXPECT_FALSE(LT_Bit(M16(12)));
    s.tx_len = 0;
    s.tx_ptr = nullptr;
    ASSERT_EQ(Scan(), -1);
    EXPECT_EQ(LT_W(R(20)), 5);
    EXPECT_TRUE(LT_Bit(M16(12)));
    EXPECT_EQ(s.tx_len, 5);
    EXPECT_EQ(Port(0).tx, "");  // nothing went to the serial side
    // A receive of 2 takes two of the five bytes waiting on the socket.
    std::memcpy(s.data.data(), "VWXYZ", 5);
    s.unread = 5;
    ASSERT_EQ(Scan(), -1);
    EXPECT_EQ(LT_W(R(21)), 2);
    EXPECT_EQ(LT_W(R(30)), 0x5756);
    EXPECT_EQ(LT_W(R(31)), 0);
    EXPECT_EQ(s.unread, 3);
}

TEST_F(SockTest, SecondDialWaitsOneSecondAndBoundsHold) {
    Pass(60000);
    ASSERT_EQ(CheckInit(), 1u);
    SockConnInfo a{};
    a.ip = 0x0A4D0003, a.port = 5000, a.socket = 0, a.flags = 2;
    SockConnInfo b = a;
    b.socket = 1, b.port = 5001;
    ModemDataConnRequest(a);
    ModemDataConnRequest(b);
    // Time between the two dials, whichever goes first.
    uint32_t t = 0, first = 0;
    int seen = 0;
    while (seen < 2 && t < 10000) {
        Pass(10);
        t += 10;
        int n = 0;
        for (const std::string &c : sim.cmds) n += c.rfind("AT#SD=", 0) == 0;
        if (n >= 1 && seen == 0) first = t;
        seen = n;
    }
    ASSERT_EQ(seen, 2);
    EXPECT_GE(t - first, 1000u);
    EXPECT_LT(t - first, 3000u);
    // A status line with an id outside 1..6 and a long peer text changes nothing.
    Sock_ApplyStatus(7, 1, "7,1", 3);
    Sock_ApplyStatus(0, 1, "0,1", 3);
    const std::string longpeer = "3,5,10.0.0.2,1025," + std::string(300, '9') + ",5000";
    socket_info_st[2].flags = 0x04;
    Sock_ApplyStatus(3, 5, longpeer.c_str(), uint32_t(longpeer.size()));
    EXPECT_EQ(socket_info_st[2].host_len, socket_info_st[2].host.size() - 1);
    // A host name of 64 characters is refused; 63 fill the record.
    SockConnInfo h{};
    h.socket = 4;
    std::memset(h.host.data(), 'h', 64);
    EXPECT_EQ(ModemDataConnRequest(h), 1u);
    EXPECT_EQ(socket_info_st[4].state, 0);
    EXPECT_EQ(socket_info_st[4].host_len, 0);
    h.host[63] = 0;
    ModemDataConnRequest(h);
    EXPECT_EQ(socket_info_st[4].host_len, 63);
    EXPECT_EQ(std::string(socket_info_st[4].host.data()), std::string(63, 'h'));
    EXPECT_EQ(ModemDataDisConnRequest(9), 0u);
    EXPECT_EQ(ModemDataSend(6, nullptr, 0, 0), 1u);
}

// A dial asked for within a second of the last one is opening (state 2)
// while it waits out that second; the dial goes out once it has passed.
TEST_F(SockTest, ADialWaitingItsSecondIsAlreadyOpening) {
    Pass(60000);
    ASSERT_EQ(CheckInit(), 1u);
    SockConnInfo a{};
    a.ip = 0x0A4D0003, a.port = 5000, a.socket = 0, a.flags = 2;
    ModemDataConnRequest(a);
    for (int i = 0; i < 3000 && socket_info_st[0].state < 3; i++) Pass(10);
    ASSERT_GE(socket_info_st[0].state, 3);
    SockConnInfo b = a;
    b.socket = 1, b.port = 5001;
    EXPECT_EQ(ModemDataConnRequest(b), 1u);
    EXPECT_EQ(socket_info_st[1].state, 1);
    for (int i = 0; i < 50 && socket_info_st[1].state == 1; i++) Pass(10);
    EXPECT_EQ(socket_info_st[1].state, 2);
    EXPECT_EQ(Globalsocket_st[SOCK_ST_SIZE + SOCK_ST_STATE], 2);
    EXPECT_EQ(Find("AT#SD=2,0,5001,\"10.77.0.3\",0,0,1"), sim.cmds.size());
    EXPECT_EQ(ModemDataConnRequest(b), 1u);  // still not connected, request unchanged
    for (int i = 0; i < 300 && Find("AT#SD=2,0,5001,\"10.77.0.3\",0,0,1") == sim.cmds.size(); i++) Pass(10);
    EXPECT_LT(Find("AT#SD=2,0,5001,\"10.77.0.3\",0,0,1"), sim.cmds.size());
    for (int i = 0; i < 300 && socket_info_st[1].state < 3; i++) Pass(10);
    EXPECT_GE(socket_info_st[1].state, 3);
}

// The module's "closed" for a kept listener: one that had a peer forgets it
// and listens again; one that never had a peer is left free (its user asks
// for it again).
TEST_F(SockTest, AClosedListenerListensAgainOnlyAfterAPeer) {
    SocketInfo &s = socket_info_st[2];
    s = SocketInfo{};
    s.conn_id = 3;
    s.state = 4;
    s.flags = SOCKF_KEEP;
    s.port = 6000;
    Sock_ApplyStatus(3, 0, "3,0", 3);
    EXPECT_EQ(s.state, 0);
    EXPECT_EQ(s.flags, SOCKF_KEEP);
    s.state = 4;
    LogOn();
    const char *in = "3,5,10.0.0.2,6000,10.77.0.9,41000";
    Sock_ApplyStatus(3, 5, in, uint32_t(std::strlen(in)));
    EXPECT_EQ(s.state, 5);
    EXPECT_EQ(LogText(), "Socket Accept 3 IP 10.77.0.9,Port 41000\n\r\n");
    Sock_ApplyStatus(3, 5, in, uint32_t(std::strlen(in)));  // a peer recorded: not logged again
    EXPECT_EQ(LogText(), "Socket Accept 3 IP 10.77.0.9,Port 41000\n\r\n");
    EXPECT_EQ(std::string(s.host.data()), "10.77.0.9");
    EXPECT_EQ(std::string(s.peer_port.data()), "41000");
    Sock_ApplyStatus(3, 1, "3,1", 3);
    EXPECT_EQ(s.state, 6);
    Sock_ApplyStatus(3, 0, "3,0", 3);
    EXPECT_EQ(s.state, 1);
    EXPECT_EQ(s.host_len, 0);
    EXPECT_EQ(s.host[0], 0);
    EXPECT_EQ(s.peer_port[0], 0);
    EXPECT_EQ(s.port, 6000);
    s = SocketInfo{};
}

// A context activation that gets no answer is a failed one: the module is
// reset, the context not marked active, and the activation tried again.
TEST_F(SockTest, AnActivationWithoutAnswerResetsTheModule) {
    Pass(60000);
    ASSERT_EQ(CheckInit(), 1u);
    sim.mute_activation = true;
    const uint16_t resets = at_status.resets;
    SockConnInfo req{};
    req.ip = 0x0A4D0003;
    req.port = 5000;
    req.flags = 2;
    ModemDataConnRequest(req);
    for (int i = 0; i < 6000 && at_status.resets == resets; i++) Pass(10);
    EXPECT_EQ(at_status.resets, resets + 1);
    EXPECT_EQ(at_status.status & AT_STS_CONTEXT, 0);
    EXPECT_EQ(at_status.activations, 0);
    EXPECT_EQ(Find("AT#SD=1,0,5000,\"10.77.0.3\",0,0,1"), sim.cmds.size());
    // The same time-out as the tenth error in a row: one reset, not two.
    Pass(60000);
    ASSERT_EQ(CheckInit(), 1u);
    sim.cmds.clear();
    ModemDataConnRequest(req);
    for (int i = 0; i < 6000 && Find("AT#SGACT=1,1,\"\",\"\"") == sim.cmds.size(); i++) Pass(10);
    ASSERT_LT(Find("AT#SGACT=1,1,\"\",\"\""), sim.cmds.size());
    at_status.errcnt = 9;
    const uint16_t again = at_status.resets;
    for (int i = 0; i < 6000 && at_status.resets == again; i++) Pass(10);
    EXPECT_EQ(at_status.resets, again + 1);
}

TEST_F(SockTest, EmailOverTheModemDataSocket) {
    Pass(60000);
    ASSERT_EQ(CheckInit(), 1u);
    EmailBlock b;
    b.contacts = {{"alice@test.lan", 1}, {"bob@test.lan", 2}};
    b.msgs = {{"Level: xxxxx\r\n.end", "Alarm", 1, M16(10), "7:0:"}};
    b.fields = {{R(600), 16, 4, 5, 2, 0}};
    b.status_reg = R(500);
    b.server = 0x0A4D0003;
    b.port = 2525;
    b.flags = 0x01;  // through the cellular modem
    b.domain = "plc.test.lan";
    b.sender = "plc@test.lan";
    b.Install();
    LT_SetW(R(600), 1234);
    LT_SetBit(M16(10), true);
    EtnEmailConn = EmailRec{};
    EtnEmailConn.sock.fd = -1;
    EtnEmailConn.dns.fd = -1;
    EtnEmailConn.conn_state = EMC_IDLE;
    LE_Put16(&plc_reg[2 * W_MODE], 2);
    sim.consume = true;
    // The SMS engine holds the modem: the mail waits with its request
    // pending (user 4) and dials nothing until the modem is handed back.
    GSMGPRSInfo_St.owner = 3;
    PlcWordSet(SR_WORD(163), 13);
    for (int i = 0; i < 50; i++) {
        EtnEmailScan(0);
        Pass(10);
    }
    EXPECT_EQ(GSMGPRSInfo_St.pending, 4);
    EXPECT_EQ(GSMGPRSInfo_St.owner, 3);
    EXPECT_EQ(Find("AT#SD=3,0,2525,\"10.77.0.3\",0,0,1"), sim.cmds.size());
    EXPECT_EQ(GSMGPRSRsrcMngr(3, 4), 1u);
    bool owned = false;
    // The server: one reply per command line, the data up to its end.
    std::size_t seen = 0;
    bool greeted = false, data = false;
    auto reply = [&](const std::string &r) {
        sim.peer += r;
        sim.ss[sim.ss.find("#SS: 3,") + 7] = '3';
        fake_ports::Feed(2, "\r\nSRING: 3\r\n");
    };
    for (int i = 0; i < 12000 && (LT_Bit(M16(10)) || EtnEmailConn.sub == EMS_SMTP); i++) {
        EtnEmailScan(1);  // the Ethernet manager's call: ignored with the modem
        EtnEmailScan(0);
        Pass(10);
        owned = owned || GSMGPRSInfo_St.owner == 4;
        if (!greeted && sim.ss[sim.ss.find("#SS: 3,") + 7] == '2' &&
            Find("AT#SD=3,0,2525,\"10.77.0.3\",0,0,1") < sim.cmds.size()) {
            greeted = true;
            reply("220 ready\r\n");
        }
        const std::string &d = sim.sent_data;
        for (std::size_t e; (e = d.find(data ? "\r\n.\r\n" : "\r\n", seen)) != std::string::npos;) {
            const std::string line = d.substr(seen, e - seen);
            seen = e + (data ? 5 : 2);
            if (data) {
                data = false;
                reply("250 queued\r\n");
            } else if (line == "DATA") {
                data = true;
                reply("354 go on\r\n");
            } else {
                // (Not "250 OK": the module layer takes an "OK" line in the data
                // for its own final result.)
                reply(line == "QUIT" ? "221 bye\r\n" : "250-plc\r\n250 fine\r\n");
            }
        }
    }
    EXPECT_FALSE(LT_Bit(M16(10)));
    const std::string &d = sim.sent_data;
    const std::size_t date = d.find("Date: ");
    ASSERT_NE(date, std::string::npos);
    EXPECT_EQ(d.substr(0, date),
              "EHLO plc.test.lan\r\nMAIL FROM:<plc@test.lan>\r\nRCPT TO:<alice@test.lan>\r\nDATA\r\n");
    const std::size_t from = d.find("\r\n", date) + 2;
    EXPECT_EQ(d.substr(from),
              "From: plc@test.lan\r\nTo: alice@test.lan\r\nSubject: Alarm\r\nMIME-Version: 1.0\r\n"
              "Content-Type:text/plain; charset=US-ASCII \r\n\r\nLevel: 01234\r\n..end\r\n"
              "\r\n.\r\nQUIT\r\n");
    uint8_t st[4] = {1, 1, 1, 1};
    PlcReg_Get(st, R(500), 32);
    EXPECT_EQ(LE_Get32(st), 0u);
    // The mail held the modem as user 4 and handed it back at the close,
    // marking byte 11 bit 0 as %SR163 was 13; no request is left pending.
    EXPECT_TRUE(owned);
    EXPECT_EQ(GSMGPRSInfo_St.owner, 0);
    EXPECT_EQ(GSMGPRSInfo_St.pending, 0);
    EXPECT_EQ(GSMGPRSInfo_St.mail_close, 0x01);
    EXPECT_EQ(reinterpret_cast<const uint8_t *>(&GSMGPRSInfo_St)[11], 0x01);
    GSMGPRSInfo_St.mail_close = 0;
    PlcWordSet(SR_WORD(163), 0);
    // A dial that cannot be placed within 60 s (module switched off)
    // reports bit 3 with code 2 in the reply field and the connection step 3.
    TelitPowerON = 0;
    at_status = AtStatus{};
    EtnEmailConn = EmailRec{};
    EtnEmailConn.sock.fd = -1;
    EtnEmailConn.dns.fd = -1;
    EtnEmailConn.conn_state = EMC_IDLE;
    LT_SetBit(M16(10), true);
    for (int i = 0; i < 20; i++) {
        EtnEmailScan(1);
        EtnEmailScan(0);
        LA_TimeAdvance(50000);  // 5 s
    }
    PlcReg_Get(st, R(500), 32);
    EXPECT_EQ(LE_Get32(st), 0x00203008u);
    EXPECT_TRUE(LT_Bit(M16(10)));
    EXPECT_EQ(GSMGPRSInfo_St.owner, 0);       // handed back at the close
    EXPECT_EQ(GSMGPRSInfo_St.mail_close, 0);  // %SR163 was not 13
    // A modem another user keeps for 60 s: the same refusal, code 2, and the
    // request is withdrawn at the close (SMS can then have the modem).
    EtnEmailConn = EmailRec{};
    EtnEmailConn.sock.fd = -1;
    EtnEmailConn.dns.fd = -1;
    EtnEmailConn.conn_state = EMC_IDLE;
    GSMGPRSInfo_St.owner = 1;
    for (int i = 0; i < 20; i++) {
        EtnEmailScan(0);
        LA_TimeAdvance(50000);
    }
    PlcReg_Get(st, R(500), 32);
    EXPECT_EQ(LE_Get32(st), 0x00203008u);
    EXPECT_EQ(GSMGPRSInfo_St.owner, 1);
    EXPECT_EQ(GSMGPRSInfo_St.pending, 0);
    EXPECT_EQ(GSMGPRSRsrcMngr(3, 2), 1u);
}

// A peer's bytes that hold "OK" inside a line ("BOOK", "1 OK 2") reach the
// socket whole: an "OK" that does not open a line is no final result.
TEST_F(SockTest, APeersOkInsideTheDataIsKept) {
    Pass(60000);
    ASSERT_EQ(CheckInit(), 1u);
    SockConnInfo req{};
    req.ip = 0x0A4D0003;
    req.port = 5000;
    req.socket = 0;
    req.flags = 2;
    ASSERT_EQ(ModemDataConnRequest(req), 1u);
    Pass(5000);
    ASSERT_EQ(socket_info_st[0].state, 7);
    sim.consume = true;
    // A peer's own "OK" or "ERROR" line inside the data (at the start of the
    // data or of a line in it) is data too: the module announces the count
    // and the final result comes after that many bytes.
    for (const char *peer : {"BOOK", "1 OK 2", "OK\r\n", "\r\nOK\r\nmore", "ERROR\r\n", "a\r\n+CME ERROR: 3\r\n"}) {
        sim.peer = peer;
        sim.ss[9] = '3';
        fake_ports::Feed(2, "\r\nSRING: 1\r\n");
        Pass(2000);
        std::string got;
        for (int i = 0; i < 32 && ModemCheckRecv(0) == 1; i++) got.push_back(char(ModemDataRecv(0)));
        EXPECT_EQ(got, peer);
        EXPECT_EQ(socket_info_st[0].flags & SOCKF_ERECV, 0) << "no receive error";
    }
}

// The registration check: "searching" (2) asks again a second later,
// "roaming" (5) goes to the operator check (none configured: automatic
// selection) and then to the data settings, as "home" (1) does directly.
// A SIM asking for its PIN gets the configured one; a centre number
// configured is set.
TEST_F(SockTest, RegistrationStatesAndTheSimPin) {
    sim.creg = "225";
    sim.cpin = "SIM PIN";
    AT_SetConfig(AT_ITEM_PIN, "1234", 4);
    AT_SetConfig(AT_ITEM_SMS_CENTRE, "+491234", 7);
    Pass(60000);
    ASSERT_EQ(CheckInit(), 1u);
    const std::vector<std::string> want = {"AT+CMEE=2",    "AT+CPIN?",        "AT+CPIN=1234", "AT+CREG?",
                                           "AT+CREG?",     "AT+CREG?",        "AT+COPS=0",    "AT#AUTOATT=0",
                                           "AT#SGACT=1,0", "AT+CSCA=+491234", "AT+CMGF=1",    "AT+CSMP=17,167,0,0"};
    const std::size_t at = Find("AT+CMEE=2");
    ASSERT_LT(at + want.size(), sim.cmds.size());
    EXPECT_EQ(std::vector<std::string>(sim.cmds.begin() + long(at), sim.cmds.begin() + long(at + want.size())), want);
    AT_SetConfig(AT_ITEM_PIN, "", 0);
    AT_SetConfig(AT_ITEM_SMS_CENTRE, "", 0);
}

// The address the context activation gives is kept with its first octet
// highest and logged as "IP:<text> <number>", the number as a signed one.
TEST_F(SockTest, TheActivatedAddressAndItsLogLine) {
    sim.address = "192.168.1.2";
    Pass(60000);
    ASSERT_EQ(CheckInit(), 1u);
    LogOn();
    SockConnInfo req{};
    req.ip = 0x0A4D0003;
    req.port = 5000;
    req.flags = 2;
    ASSERT_EQ(ModemDataConnRequest(req), 1u);
    Pass(5000);
    EXPECT_EQ(at_status.local_ip, 0xC0A80102u);
    EXPECT_EQ(at_status.activations, 1);
    EXPECT_NE(LogText().find("IP:192.168.1.2 -1062731518\n"), std::string::npos) << LogText();
}
