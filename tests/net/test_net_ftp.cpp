// The in-program FTP server's commands in-process, on a loopback control
// connection; the login rules; PORT and command parsing. Also the time-bound
// behaviour of the services: the FTP daemon marker's wait, the DHCP
// renewal clamp and the DNS resolver's time-out and refusals.
#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <vector>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/image/plcreg.h"
#include "core/image/tx.h"
#include "net/dhcp.h"
#include "net/dpr.h"
#include "net/ftp.h"
#include "net/net.h"
#include "net/svc.h"
#include "tests/support/fake_clock.h"
#include "tests/support/loop_peer.h"
#include "tests/support/own_netns.h"
#include "tests/support/temp_root.h"

namespace {

struct LoopPair {
    int ours = -1, theirs = -1;
    LoopPair() {
        const int l = socket(AF_INET, SOCK_STREAM, 0);
        struct sockaddr_in a {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t al = sizeof a;
        bind(l, reinterpret_cast<struct sockaddr *>(&a), sizeof a);
        listen(l, 1);
        getsockname(l, reinterpret_cast<struct sockaddr *>(&a), &al);
        theirs = socket(AF_INET, SOCK_STREAM, 0);
        connect(theirs, reinterpret_cast<struct sockaddr *>(&a), sizeof a);
        ours = accept(l, nullptr, nullptr);
        close(l);
        struct timeval tv {
            2, 0
        };
        setsockopt(theirs, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }
    ~LoopPair() { close(theirs); }
    std::string Line() {
        std::string s;
        char c;
        while (s.size() < 512 && read(theirs, &c, 1) == 1) {
            s += c;
            if (s.size() >= 2 && s.compare(s.size() - 2, 2, "\r\n") == 0) break;
        }
        return s;
    }
};

alignas(16) uint8_t pool_memory[16 * (NX_PACKET_HEADER + 1520)];
NX_PACKET_POOL pool;
NX_IP ip;

struct FtpFixture {
    test_support::TempRoot root;
    LoopPair link;
    NX_FTP_SERVER &sv = FtpServer[0];
    FtpFixture() {
        mkdir((root / "mnt").c_str(), 0755);
        mkdir((root / "mnt/USB0").c_str(), 0755);
        _nx_packet_pool_create(&pool, "ftp test", 1520, pool_memory, sizeof pool_memory);
        ip = {};
        ip.nx_ip_address = 0x7F000001;
        ip.nx_ip_default_packet_pool = &pool;
        std::memset(static_cast<void *>(&sv), 0, sizeof sv);
        sv.nx_ftp_server_id = NX_FTP_SERVER_ID;
        sv.nx_ftp_server_ip_ptr = &ip;
        sv.nx_ftp_server_packet_pool_ptr = &pool;
        sv.nx_ftp_server_media_ptr = &FtpMedia;
        sv.nx_ftp_login = FtpServerLogin;
        sv.nx_ftp_logout = FtpServerLogout;
        for (auto &c : sv.nx_ftp_server_client_list) {
            c.control.fd = c.control.accepted_fd = c.data.fd = c.data.accepted_fd = c.file.fd = -1;
        }
        NX_TCP_SOCKET &s = sv.nx_ftp_server_client_list[0].control;
        s.fd = link.ours;
        s.client = 1;
        s.bound = 1;
        s.writable = 1;
        s.state = NX_TCP_ESTABLISHED;
        s.ip = &ip;
        s.peer_address = 0x7F000001;
        sv.nx_ftp_server_client_list[0].type = 'A';
        DprConfigRec &c = Dpr_Configuration[0];
        std::memset(&c, 0, DPR_CONFIG_BYTES);
        std::strcpy(c.ftp[0].user, "alice");
        std::strcpy(c.ftp[0].password, "pw1");
        std::strcpy(c.ftp[1].user, "bob");
        c.ftp[1].rights = 1;
    }
    ~FtpFixture() {
        close(link.ours);
        std::memset(static_cast<void *>(&sv), 0, sizeof sv);
        std::memset(&Dpr_Configuration[0], 0, DPR_CONFIG_BYTES);
    }
    std::string Send(const std::string &line) {
        NX_PACKET *pk = nullptr;
        EXPECT_EQ(_nx_packet_allocate(&pool, &pk, 0, 0), 0u);
        _nx_packet_data_append(pk, line.data(), uint32_t(line.size()), &pool, 0);
        FtpServerCommand(&sv, 0, pk);
        return link.Line();
    }
};

TEST(NetFtp, CommandsRepliesAndRefusedPaths) {
    FtpFixture f;
    const uint32_t free_at_start = [] {
        uint32_t n = 0;
        for (NX_PACKET *p = pool.nx_packet_pool_available_list; p; p = p->nx_packet_pool_next)
            n += p->nx_packet_state == NX_PACKET_FREE;
        return n;
    }();
    { std::ofstream(f.root / "mnt/USB0/a.txt") << "abc"; }
    const std::pair<const char *, const char *> script[] = {
        {"NOOP\r\n", "530 Not logged in \r\n"},
        {"USER alice\r\n", "331 Enter password \r\n"},
        {"PASS x\r\n", "530 Login Fail \r\n"},
        {"PASS pw1\r\n", "230 Logged in \r\n"},
        {"noop\r\n", "200 NOOP Success \r\n"},
        {"PWD\r\n", "257 \"/\" is current Directory \r\n"},
        {"TYPE X\r\n", "504 Type Non ASCII or Binary \r\n"},
        {"XYZ\r\n", "502 Not Implemented \r\n"},
        {"FEAT\r\n", "500 Not Implemented \r\n"},
        {"SIZE a.txt\r\n", "502 Not Implemented \r\n"},
        // Files move in image type only (the login leaves type A).
        {"RETR a.txt\r\n", "504 Only Image transfer allowed \r\n"},
        {"STOR n.txt\r\n", "504 Only Image transfer allowed \r\n"},
        {"APPE a.txt\r\n", "504 Only Image transfer allowed \r\n"},
        {"RNTO b.txt\r\n", "550 Rename failed \r\n"},
        {"RNFR a.txt\r\n", "350 Rename File From \r\n"},
        {"RNFR a.txt\r\n", "350 Rename File From \r\n"},
        {"RNTO b.txt\r\n", "250 File Renamed \r\n"},
        {"RNFR ../x\r\n", "550 Rename File not found \r\n"},
        {"MKD d\"q/\r\n", "200 \"/d\"\"q\" Directory Created \r\n"},
        {"CWD /../../d\"q\r\n", "250 \"/d\"\"q\" set successfully \r\n"},
        {"CDUP\r\n", "250 \"/\" set successfully \r\n"},
        // In a sub-folder a new folder's path is the client's path and its
        // name, and the client's own path stays. A name with a separator is
        // taken from the client's path as well, never from the card's root.
        {"MKD sub\r\n", "200 \"/sub\" Directory Created \r\n"},
        {"CWD sub\r\n", "250 \"/sub\" set successfully \r\n"},
        {"MKD in\r\n", "200 \"/sub/in\" Directory Created \r\n"},
        {"PWD\r\n", "257 \"/sub\" is current Directory \r\n"},
        {"MKD in/new\r\n", "200 \"/sub/in/new\" Directory Created \r\n"},
        {"MKD d\"q/y\r\n", "550 Directory Create failed \r\n"},
        {"CWD in/deeper\r\n", "550 Change Dir Fail \r\n"},
        {"CDUP\r\n", "250 \"/\" set successfully \r\n"},
        {"RMD d\"q/y\r\n", "550 Delete Directory Fail \r\n"},
        {"RMD in/new\r\n", "550 Delete Directory Fail \r\n"},
        {"RMD sub/in/new\r\n", "250 Directory Deleted \r\n"},
        {"CWD d\"q/../..\r\n", "550 Change Dir Fail \r\n"},
        {"CWD b.txt\r\n", "550 Change Dir Fail \r\n"},
        {"MKD ../x\r\n", "550 Directory Create failed \r\n"},
        {"DELE ../mnt/x\r\n", "550 Delete Failed \r\n"},
        {"TYPE I\r\n", "200 Type Binary \r\n"},
        {"RETR ../x\r\n", "550 File Open Fail \r\n"},
        {"STOR ../x\r\n", "550 File Open Failed \r\n"},
        {"PORT 10,77,0,9,4,1\r\n", "501 Port Fail \r\n"},
        {"PORT 127,0,0,1,4,1\r\n", "200 Port set \r\n"},
        {"DELE b.txt\r\n", "250 File Deleted \r\n"},
        {"RMD d\"q\r\n", "250 Directory Deleted \r\n"},
        {"RMD d\"q\r\n", "550 Delete Directory Fail \r\n"},
        {"QUIT\r\n", "221 Logging Off \r\n"},
    };
    for (const auto &[line, want] : script) EXPECT_EQ(f.Send(line), want) << line;
    EXPECT_EQ(f.sv.nx_ftp_server_client_list[0].data_port, 1025u);
    EXPECT_EQ(access((f.root / "mnt/USB0/n.txt").c_str(), F_OK), -1) << "an upload refused for its type makes no file";
    EXPECT_EQ(access((f.root / "mnt/USB0/b.txt").c_str(), F_OK), -1);
    uint32_t free_now = 0;
    for (NX_PACKET *p = pool.nx_packet_pool_available_list; p; p = p->nx_packet_pool_next)
        free_now += p->nx_packet_state == NX_PACKET_FREE;
    EXPECT_EQ(free_now, free_at_start) << "every packet, the replaced rename source too, went back";
}

TEST(NetFtp, CommandsSplitFromTheByteStream) {
    auto length = [](const std::string &s) {
        return FtpCommandLength(reinterpret_cast<const uint8_t *>(s.data()), uint32_t(s.size()));
    };
    EXPECT_EQ(length("NOOP\r\nPWD\r\n"), 6u);
    EXPECT_EQ(length("NO"), 0u);
    EXPECT_EQ(length(""), 0u);
    EXPECT_EQ(length(std::string(100, 'a')), 0u);
    EXPECT_EQ(length(std::string(511, 'a') + "\n"), 512u);
    EXPECT_EQ(length(std::string(512, 'a') + "\n"), 512u) << "a longer line is taken cut";
    EXPECT_EQ(length(std::string(600, 'a')), 512u);
    EXPECT_EQ(length(std::string(512, 'a')), 512u) << "512 bytes without LF are a whole line";

    FtpFixture f;
    auto input = [&](const std::string &s) {
        return FtpServerInput(&f.sv, 0, reinterpret_cast<const uint8_t *>(s.data()), uint32_t(s.size()));
    };
    // One command a call, in order; a cut one waits for its end.
    ASSERT_TRUE(input("USER alice\r\nPASS pw1\r\nPW"));
    EXPECT_EQ(f.link.Line(), "331 Enter password \r\n");
    ASSERT_TRUE(input(""));
    EXPECT_EQ(f.link.Line(), "230 Logged in \r\n");
    EXPECT_FALSE(input(""));
    ASSERT_TRUE(input("D\r\nNOOP\n"));
    EXPECT_EQ(f.link.Line(), "257 \"/\" is current Directory \r\n");
    ASSERT_TRUE(input(""));
    EXPECT_EQ(f.link.Line(), "200 NOOP Success \r\n") << "a line ended by LF alone";
    EXPECT_FALSE(input(""));
    // A line longer than a command can be: answered in two cut pieces.
    ASSERT_TRUE(input(std::string(600, 'A') + "\r\n"));
    EXPECT_EQ(f.link.Line(), "502 Not Implemented \r\n");
    ASSERT_TRUE(input(""));
    EXPECT_EQ(f.link.Line(), "502 Not Implemented \r\n");
    EXPECT_FALSE(input(""));
    // QUIT drops what the client sent after it.
    ASSERT_TRUE(input("QUIT\r\nNOOP\r\n"));
    EXPECT_EQ(f.link.Line(), "221 Logging Off \r\n");
    EXPECT_EQ(f.sv.nx_ftp_server_client_list[0].command_len, 0u);
    EXPECT_FALSE(FtpServerInput(&f.sv, NX_FTP_MAX_CLIENTS, reinterpret_cast<const uint8_t *>("NOOP\r\n"), 6));
}

TEST(NetFtp, AClientThatDoesNotReadGetsEveryAnswerLater) {
    FtpFixture f;
    const int small = 1;
    setsockopt(f.link.ours, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    setsockopt(f.link.theirs, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    const NX_FTP_CLIENT_REQUEST &c = f.sv.nx_ftp_server_client_list[0];
    auto input = [&](const std::string &s) {
        return FtpServerInput(&f.sv, 0, reinterpret_cast<const uint8_t *>(s.data()), uint32_t(s.size()));
    };
    // Commands one by one while the client reads nothing: once the connection
    // is full, the next command is kept instead of answered into nowhere.
    int answered = 0;
    while (answered < 20000) {
        ASSERT_TRUE(input("NOOP\r\n"));
        if (c.command_len != 0) break;
        answered++;
    }
    ASSERT_LT(answered, 20000) << "the connection never filled";
    EXPECT_EQ(c.command_len, 6u);
    EXPECT_TRUE(input("")) << "still waiting for room";
    // The client reads: every answer given so far is there, then the kept one.
    for (int i = 0; i < answered; i++) ASSERT_EQ(f.link.Line(), "530 Not logged in \r\n") << i;
    ASSERT_TRUE(input(""));
    EXPECT_EQ(c.command_len, 0u);
    EXPECT_EQ(f.link.Line(), "530 Not logged in \r\n");
}

TEST(NetFtp, ReadOnlyAccountLoginRulesPortAndParser) {
    FtpFixture f;
    std::ofstream(f.root / "mnt/USB0/a.txt") << "a";
    // A refused password ends the login, and a rename begun under it.
    for (const auto &[line, want] :
         std::initializer_list<std::pair<const char *, const char *>>{{"USER alice\r\n", "331 Enter password \r\n"},
                                                                      {"PASS pw1\r\n", "230 Logged in \r\n"},
                                                                      {"RNFR a.txt\r\n", "350 Rename File From \r\n"},
                                                                      {"PASS pw2\r\n", "530 Login Fail \r\n"},
                                                                      {"RNTO b.txt\r\n", "530 Not logged in \r\n"},
                                                                      {"PASS pw1\r\n", "230 Logged in \r\n"},
                                                                      {"RNTO b.txt\r\n", "550 Rename failed \r\n"}})
        EXPECT_EQ(f.Send(line), want) << line;
    EXPECT_EQ(access((f.root / "mnt/USB0/a.txt").c_str(), F_OK), 0);

    EXPECT_EQ(f.Send("USER bob\r\n"), "331 Enter password \r\n");
    EXPECT_EQ(f.Send("PASS any\r\n"), "230 Logged in \r\n");
    for (const char *cmd :
         {"STOR x\r\n", "APPE x\r\n", "DELE x\r\n", "RNFR x\r\n", "RNTO x\r\n", "MKD x\r\n", "RMD x\r\n"})
        EXPECT_EQ(f.Send(cmd), "532 Need account for storing files \r\n") << cmd;
    // After a refused password no command but USER, PASS and QUIT is taken,
    // whatever the login before allowed.
    EXPECT_EQ(f.Send("USER nobody\r\n"), "331 Enter password \r\n");
    EXPECT_EQ(f.Send("PASS wrong\r\n"), "530 Login Fail \r\n");
    for (const char *cmd : {"NOOP",  "RETR a.txt", "STOR x", "APPE x", "RNFR a.txt", "RNTO x", "DELE a.txt",
                            "RMD d", "XRMD d",     "MKD d",  "XMKD d", "NLST",       "LIST",   "PORT 127,0,0,1,4,1",
                            "PASV",  "CWD /",      "CDUP",   "PWD",    "TYPE I",     "FEAT",   "SIZE a.txt",
                            "XYZ"})
        EXPECT_EQ(f.Send(std::string(cmd) + "\r\n"), "530 Not logged in \r\n") << cmd;
    EXPECT_EQ(f.sv.nx_ftp_server_client_list[0].logged_in, 0u);
    EXPECT_EQ(f.sv.nx_ftp_server_client_list[0].rights, 1) << "read only, not 0 (no restriction)";

    struct Row {
        const char *u1, *p1, *u2, *p2, *name, *pass;
        uint32_t result;
        uint8_t rights;
    } rows[] = {
        {"alice", "pw1", "bob", "", "alice", "pw1", 0, 0},
        {"alice", "pw1", "bob", "", "alice", "pw2", 208, 9},
        {"alice", "pw1", "bob", "", "bob", "zz", 0, 1},
        {"alice", "pw1", "", "", "", "", 208, 9},
        {"", "", "", "", "anonymous", "x", 0, 1},
        {"alice", "pw1", "", "", "anonymous", "x", 208, 9},
        {"", "", "", "", "", "", 208, 9},
    };
    DprConfigRec &c = Dpr_Configuration[0];
    for (const Row &r : rows) {
        std::strcpy(c.ftp[0].user, r.u1);
        std::strcpy(c.ftp[0].password, r.p1);
        std::strcpy(c.ftp[1].user, r.u2);
        std::strcpy(c.ftp[1].password, r.p2);
        c.ftp[0].rights = 0;
        c.ftp[1].rights = 1;
        uint8_t rights = 9;
        EXPECT_EQ(FtpServerLogin(&f.sv, 0, 0, r.name, r.pass, &rights), r.result) << r.name << "/" << r.pass;
        EXPECT_EQ(rights, r.rights) << r.name << " (9: left as it was)";
    }
    // No accounts (the last row): anonymous is read only, and a refused
    // password after it leaves nothing.
    for (const auto &[line, want] : std::initializer_list<std::pair<const char *, const char *>>{
             {"USER anonymous\r\n", "331 Enter password \r\n"},
             {"PASS x\r\n", "230 Logged in \r\n"},
             {"MKD d\r\n", "532 Need account for storing files \r\n"},
             {"USER x\r\n", "331 Enter password \r\n"},
             {"PASS y\r\n", "530 Login Fail \r\n"},
             {"MKD d\r\n", "530 Not logged in \r\n"},
             {"QUIT\r\n", "221 Logging Off \r\n"}})
        EXPECT_EQ(f.Send(line), want) << line;
    EXPECT_EQ(access((f.root / "mnt/USB0/d").c_str(), F_OK), -1);

    uint32_t a = 0, p = 0;
    EXPECT_EQ(FtpParsePort("192,168,0,10,4,1", &a, &p), 1u);
    EXPECT_EQ(a, 0xC0A8000Au);
    EXPECT_EQ(p, 1025u);
    EXPECT_EQ(FtpParsePort("300,2,3,4,5,6", &a, &p), 1u);
    EXPECT_EQ(a, 0x2C020304u) << "the low 8 bits of each number";
    for (const char *bad : {"1,2,3,4,5", "1,2,3,4,5,6,7", "1,2,3,4,5,", "a,2,3,4,5,6", "1,,3,4,5,6", ""})
        EXPECT_EQ(FtpParsePort(bad, &a, &p), 0u) << bad;

    // past: the last bytes stay in the buffer behind the end of the data.
    struct Word {
        const char *line;
        uint32_t code;
        const char *rest;
        uint32_t past;
    } words[] = {
        {"list -la\r\n", FTP_LIST, "\r\n", 0},     {"XMKD d\r\n", FTP_MKD, "d\r\n", 0},
        {"xrmd d\r\n", FTP_RMD, "d\r\n", 0},       {"APPE f\r\n", FTP_APPE, "f\r\n", 0},
        {"PASV\r\n", FTP_PASV, "\n", 0},           {"NOOPX\r\n", FTP_INVALID, "\n", 0},
        {"ABCDEFGHIJK\r\n", FTP_INVALID, "\n", 0}, {"PWD", FTP_PWD, "", 0},
        {"LIST -laX\r", FTP_LIST, "", 2},
    };
    for (const auto &[line, code, rest, past] : words) {
        NX_PACKET *pk = nullptr;
        ASSERT_EQ(_nx_packet_allocate(&pool, &pk, 0, 0), 0u);
        _nx_packet_data_append(pk, line, uint32_t(std::strlen(line)), &pool, 0);
        pk->nx_packet_append_ptr -= past;
        pk->nx_packet_length -= past;
        EXPECT_EQ(_nx_ftp_server_parse_command(pk), code) << line;
        ASSERT_EQ(pk->nx_packet_length, std::strlen(rest)) << line;
        EXPECT_EQ(std::string(reinterpret_cast<char *>(pk->nx_packet_prepend_ptr), pk->nx_packet_length), rest) << line;
        _nx_packet_release(pk);
    }
}

TEST(NetFtp, NamesOffTheCardAreRefused) {
    FtpFixture f;
    mkdir((f.root / "mnt/cfg").c_str(), 0755);
    mkdir((f.root / "mnt/cfg/sub").c_str(), 0755);
    std::ofstream(f.root / "mnt/cfg/secret.dta") << "flash";
    std::ofstream(f.root / "mnt/USB0/a.txt") << "a";
    // An active data port of the client's: a transfer that got as far as
    // its data connection would connect here.
    const int l = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    struct sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t al = sizeof a;
    ASSERT_EQ(bind(l, reinterpret_cast<struct sockaddr *>(&a), sizeof a), 0);
    ASSERT_EQ(listen(l, 8), 0);
    getsockname(l, reinterpret_cast<struct sockaddr *>(&a), &al);
    const unsigned port = ntohs(a.sin_port);
    EXPECT_EQ(f.Send("USER alice\r\n"), "331 Enter password \r\n");
    EXPECT_EQ(f.Send("PASS pw1\r\n"), "230 Logged in \r\n");
    EXPECT_EQ(f.Send("TYPE I\r\n"), "200 Type Binary \r\n");
    EXPECT_EQ(f.Send("PORT 127,0,0,1," + std::to_string(port / 256) + "," + std::to_string(port % 256) + "\r\n"),
              "200 Port set \r\n");
    const std::pair<const char *, const char *> refusals[] = {
        {"RETR %ssecret.dta", "550 File Open Fail \r\n"},
        {"STOR %ssecret.dta", "550 File Open Failed \r\n"},
        {"APPE %ssecret.dta", "550 File Open Failed \r\n"},
        {"DELE %ssecret.dta", "550 Delete Failed \r\n"},
        {"RNFR %ssecret.dta", "550 Rename File not found \r\n"},
        {"MKD %snew", "550 Directory Create failed \r\n"},
        {"XMKD %snew", "550 Directory Create failed \r\n"},
        {"RMD %ssub", "550 Delete Directory Fail \r\n"},
        {"CWD %ssub", "550 Change Dir Fail \r\n"},
        {"CWD %s", "550 Change Dir Fail \r\n"},
        {"CWD /..%ssub", "550 Change Dir Fail \r\n"},
        {"NLST %ssub", "550 List bad Directory \r\n"},
    };
    for (const char *drive : {"Z:\\", "z:/", "Z:", "b:/"}) {
        for (const auto &[form, want] : refusals) {
            char line[64];
            std::snprintf(line, sizeof line, form, drive);
            EXPECT_EQ(f.Send(std::string(line) + "\r\n"), want) << line;
        }
        EXPECT_EQ(f.Send("RNFR a.txt\r\n"), "350 Rename File From \r\n");
        EXPECT_EQ(f.Send(std::string("RNTO ") + drive + "a.txt\r\n"), "550 Rename failed \r\n") << drive;
    }
    EXPECT_EQ(f.Send("PWD\r\n"), "257 \"/\" is current Directory \r\n");
    EXPECT_EQ(accept(l, nullptr, nullptr), -1) << "no data connection was opened";
    close(l);
    std::string flash;
    std::getline(std::ifstream(f.root / "mnt/cfg/secret.dta"), flash);
    EXPECT_EQ(flash, "flash");
    EXPECT_EQ(access((f.root / "mnt/cfg/sub").c_str(), F_OK), 0);
    for (const char *gone : {"mnt/cfg/new", "mnt/cfg/a.txt", "mnt/cfg/secret.dta.upl~"})
        EXPECT_EQ(access((f.root / gone).c_str(), F_OK), -1) << gone;
    // The card by its own letter is served.
    EXPECT_EQ(f.Send("DELE A:\\a.txt\r\n"), "250 File Deleted \r\n");
    EXPECT_EQ(access((f.root / "mnt/USB0/a.txt").c_str(), F_OK), -1);
}

TEST(NetFtp, APassiveDataConnectionIsTakenOnlyFromTheClientsHost) {
    FtpFixture f;
    // Client 7 (passive port 30007) on the fixture's control connection from 127.0.0.1.
    NX_FTP_CLIENT_REQUEST &c = f.sv.nx_ftp_server_client_list[7];
    c.control = f.sv.nx_ftp_server_client_list[0].control;
    c.type = 'I';
    f.sv.nx_ftp_server_client_list[0].control.fd = -1;
    auto send = [&](const char *line) {
        NX_PACKET *pk = nullptr;
        EXPECT_EQ(_nx_packet_allocate(&pool, &pk, 0, 0), 0u);
        _nx_packet_data_append(pk, line, uint32_t(std::strlen(line)), &pool, 0);
        FtpServerCommand(&f.sv, 7, pk);
        return f.link.Line();
    };
    EXPECT_EQ(send("USER alice\r\n"), "331 Enter password \r\n");
    EXPECT_EQ(send("PASS pw1\r\n"), "230 Logged in \r\n");
    // Another test may hold the port for a moment: PASV is asked again then.
    const std::string pasv = "227 Entering Passive Mode(127,0,0,1,117,55) \r\n";
    std::string got;
    for (int i = 0; i < 50 && (got = send("PASV\r\n")) != pasv; i++) usleep(100000);
    ASSERT_EQ(got, pasv);
    auto from = [](uint32_t source) {
        const int s = socket(AF_INET, SOCK_STREAM, 0);
        struct sockaddr_in a {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(source);
        bind(s, reinterpret_cast<struct sockaddr *>(&a), sizeof a);
        a.sin_port = htons(30007);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(connect(s, reinterpret_cast<struct sockaddr *>(&a), sizeof a), 0);
        struct timeval tv {
            0, 10000
        };
        setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        return s;
    };
    // Another host (127.0.0.2) that sends first is closed unread; the port
    // listens on.
    const int foreign = from(0x7F000002);
    ASSERT_EQ(write(foreign, "foreign", 7), 7);
    ssize_t n = -1;
    for (int i = 0; i < 500 && n < 0; i++) {
        EnetThread();
        char b[16];
        n = read(foreign, b, sizeof b);
    }
    EXPECT_EQ(n, 0) << "the foreign connection is closed";
    EXPECT_EQ(c.data.state, NX_TCP_LISTEN);
    close(foreign);
    // The client's own host is taken.
    const int own = from(INADDR_LOOPBACK);
    for (int i = 0; i < 500 && c.data.state != NX_TCP_ESTABLISHED; i++) {
        EnetThread();
        usleep(1000);
    }
    EXPECT_EQ(c.data.state, NX_TCP_ESTABLISHED);
    EXPECT_EQ(c.data.peer_address, 0x7F000001u);
    EXPECT_EQ(send("QUIT\r\n"), "221 Logging Off \r\n");
    close(own);
}

// The FTP server of interface 0 on port 21 of a network namespace of the
// test's own, its ten clients from hosts of their own (127.0.0.2 on).
struct FtpServed {
    test_support::OwnNetns netns;
    test_support::TempRoot root;
    test_support::FakeClock clock;  // after the root, which puts the real clock in force
    NX_PACKET_POOL pool{};
    NX_IP ip{};
    FtpServed() {
        mkdir((root / "mnt").c_str(), 0755);
        mkdir((root / "mnt/USB0").c_str(), 0755);
        static std::array<uint8_t, 64 * (NX_PACKET_HEADER + 1520)> mem alignas(16);
        _nx_packet_pool_create(&pool, "ftp slots", 1520, mem.data(), uint32_t(mem.size()));
        ip.nx_ip_address = 0x7F000001;
        ip.nx_ip_default_packet_pool = &pool;
        DprConfigRec &c = Dpr_Configuration[0];
        std::memset(&c, 0, DPR_CONFIG_BYTES);
        std::strcpy(c.ftp[0].user, "alice");
        std::strcpy(c.ftp[0].password, "pw1");
        c.enables[0] = EN0_FTP;
        Ftp_Init(&ip, &pool);
        // Away from a reading of 0 ms, which the server's stamps take for none
        // (the first reading sets where the time base starts).
        static_cast<void>(_tx_time_get());
        test_support::FakeClock::AdvanceMs(5000);
    }
    ~FtpServed() {
        std::memset(&Dpr_Configuration[0], 0, DPR_CONFIG_BYTES);
        Ftp_Scan(0);  // the service off: the server and its sockets go
        FtpIpPtr[0] = nullptr;
    }
    static void Pass(int n = 1) {
        for (int i = 0; i < n; i++) {
            Ftp_Scan(0);
            EnetThread();
            usleep(1000);
        }
    }
};

// A client's control connection: the lines it receives, the server stepped
// meanwhile.
struct FtpPeer : test_support::LoopPeer {
    std::string got;
    explicit FtpPeer(uint32_t from, uint16_t port = NX_FTP_SERVER_PORT) : LoopPeer(port, from) {}
    std::string Line() {
        for (int i = 0; i < 300 && got.find("\r\n") == std::string::npos && !closed; i++) {
            FtpServed::Pass();
            const std::vector<uint8_t> b = Take(1);
            got.append(b.begin(), b.end());
        }
        const size_t end = got.find("\r\n");
        if (end == std::string::npos) return got;
        const std::string line = got.substr(0, end + 2);
        got.erase(0, end + 2);
        return line;
    }
    std::string Ask(const std::string &line) {
        Send(std::vector<uint8_t>(line.begin(), line.end()));
        return Line();
    }
    // Whether the server closed the connection within a few passes.
    bool Closed() {
        for (int i = 0; i < 20 && !closed; i++) {
            FtpServed::Pass();
            const std::vector<uint8_t> b = Take(1);
            got.append(b.begin(), b.end());
        }
        return closed;
    }
};

// Ten clients hold every connection. A newcomer closes first a client that
// never sent a whole command, the one accepted longest ago: a record taken
// again counts from its new acceptance, not from what its last client did.
// Then, with every client having asked, the client whose last command is the
// oldest gives way, unless an upload of it is still running: that one is at
// work and the next oldest goes.
TEST(NetFtp, ANewcomerClosesWhatNeverAskedOldestFirstAndNeverAClientMidTransfer) {
    FtpServed f;
    ASSERT_TRUE(f.netns.ok()) << f.netns.error();
    FtpServed::Pass(2);
    auto host = [](int i) { return 0x7F000002u + uint32_t(i); };
    std::vector<std::unique_ptr<FtpPeer>> c;
    // Client 0 logs in and starts an upload that it keeps running.
    c.push_back(std::make_unique<FtpPeer>(host(0)));
    ASSERT_EQ(c[0]->Line(), "220 Connection Ready \r\n");
    EXPECT_EQ(c[0]->Ask("USER alice\r\n"), "331 Enter password \r\n");
    EXPECT_EQ(c[0]->Ask("PASS pw1\r\n"), "230 Logged in \r\n");
    EXPECT_EQ(c[0]->Ask("TYPE I\r\n"), "200 Type Binary \r\n");
    EXPECT_EQ(c[0]->Ask("PASV\r\n"), "227 Entering Passive Mode(127,0,0,1,117,48) \r\n");
    // The passive listener's wait counts from the next millisecond on.
    test_support::FakeClock::AdvanceMs(1);
    FtpPeer data(host(0), NX_FTP_PASSIVE_BASE);
    ASSERT_TRUE(data.connected);
    FtpServed::Pass(3);
    EXPECT_EQ(c[0]->Ask("STOR up.bin\r\n"), "150 File Open for Write \r\n");
    data.Send({1, 2, 3, 4});
    // Nine more, one a second, each sending a part of a command only.
    for (int i = 1; i < 10; i++) {
        test_support::FakeClock::AdvanceMs(1000);
        c.push_back(std::make_unique<FtpPeer>(host(i)));
        ASSERT_EQ(c[i]->Line(), "220 Connection Ready \r\n") << i;
        c[i]->Send({'N', 'O'});
    }
    ASSERT_EQ(Ftp_ConnCnt(0), 11u) << "ten clients, one data connection";
    // Client 1 leaves; client 10 takes its record, the youngest of those
    // that never asked, in the record before client 2's.
    c[1].reset();
    FtpServed::Pass(5);
    test_support::FakeClock::AdvanceMs(1000);
    c.push_back(std::make_unique<FtpPeer>(host(10)));
    ASSERT_EQ(c[10]->Line(), "220 Connection Ready \r\n");
    EXPECT_EQ(FtpServer[0].nx_ftp_server_client_list[1].control.peer_address, host(10));
    // The first newcomer: client 2 gives way.
    test_support::FakeClock::AdvanceMs(1000);
    FtpPeer first(host(11));
    EXPECT_EQ(first.Line(), "220 Connection Ready \r\n");
    EXPECT_TRUE(c[2]->Closed()) << "the oldest that never asked gives way";
    for (int i : {0, 3, 4, 5, 6, 7, 8, 9, 10}) EXPECT_FALSE(c[i]->Closed()) << i;
    // Every client asks, client 0 (the upload's) longest ago.
    for (int i : {3, 4, 5, 6, 7, 8, 9, 10}) {
        test_support::FakeClock::AdvanceMs(1000);
        EXPECT_EQ(c[i]->Ask(i == 10 ? "NOOP\r\n" : "OP\r\n"), "530 Not logged in \r\n") << i;
    }
    test_support::FakeClock::AdvanceMs(1000);
    EXPECT_EQ(first.Ask("NOOP\r\n"), "530 Not logged in \r\n");
    // The second newcomer: client 3 gives way, not client 0 mid-upload.
    test_support::FakeClock::AdvanceMs(1000);
    FtpPeer second(host(12));
    EXPECT_EQ(second.Line(), "220 Connection Ready \r\n");
    EXPECT_TRUE(c[3]->Closed()) << "the idlest of those at rest gives way";
    EXPECT_FALSE(c[0]->Closed()) << "an upload under way keeps its client";
    // The upload goes on and ends whole.
    data.Send({5, 6});
    data.WaitDelivered();
    FtpServed::Pass(3);
    close(data.fd);
    data.fd = -1;
    EXPECT_EQ(c[0]->Line(), "250 File Written \r\n");
    std::ifstream in(f.root / "mnt/USB0/up.bin", std::ios::binary);
    const std::string stored((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(stored, std::string("\x01\x02\x03\x04\x05\x06", 6));
}

// Arguments at their ends: a two-character name with its slash, one that
// runs to the end of the bytes received, one longer than 255 characters.
TEST(NetFtp, ArgumentsToTheirEnds) {
    FtpFixture f;
    EXPECT_EQ(f.Send("USER alice\r\n"), "331 Enter password \r\n");
    EXPECT_EQ(f.Send("PASS pw1\r\n"), "230 Logged in \r\n");
    EXPECT_EQ(f.Send("MKD e/\r\n"), "200 \"/e\" Directory Created \r\n");
    NX_PACKET *pk = nullptr;
    ASSERT_EQ(_nx_packet_allocate(&pool, &pk, 0, 0), 0u);
    _nx_packet_data_append(pk, "MKD gh", 6, &pool, 0);
    pk->nx_packet_append_ptr -= 1;  // 'h' stays in the buffer, past the end
    pk->nx_packet_length -= 1;
    FtpServerCommand(&f.sv, 0, pk);
    EXPECT_EQ(f.link.Line(), "200 \"/g\" Directory Created \r\n");
    EXPECT_EQ(f.Send("DELE " + std::string(300, 'a') + "\r\n"), "550 Delete Failed \r\n");

    // An upload whose name holds "tavIX" asks the web HMI server to stop and
    // marks a web project upload before its file is opened: here the open
    // fails (no such folder), and the server was asked all the same. Another
    // name asks nothing, nor does a second such upload while one is marked.
    static TavixState web;
    static uint8_t ftping;
    web = TavixState::Running;
    ftping = 0;
    const NetSvcHooks hooks_was = NetSvc_Hooks;
    const uint8_t http_was = TavixHttp;
    TavixHttp = 0;
    NetSvc_Hooks.web_state = [] { return web; };
    NetSvc_Hooks.web_state_set = [](TavixState st) { web = st; };
    NetSvc_Hooks.web_ftping = [] { return ftping; };
    NetSvc_Hooks.web_ftping_set = [](uint8_t v) { ftping = v; };
    EXPECT_EQ(f.Send("TYPE I\r\n"), "200 Type Binary \r\n");
    EXPECT_EQ(f.Send("STOR none/web.bin\r\n"), "550 File Open Failed \r\n");
    EXPECT_EQ(web, TavixState::Running);
    EXPECT_EQ(ftping, 0);
    EXPECT_EQ(f.Send("STOR none/tavIX.bin\r\n"), "550 File Open Failed \r\n");
    EXPECT_EQ(web, TavixState::StopRequested);
    EXPECT_EQ(ftping, 1);
    web = TavixState::Running;
    EXPECT_EQ(f.Send("APPE none/tavIX.bin\r\n"), "550 File Open Failed \r\n");
    EXPECT_EQ(web, TavixState::Running);
    NetSvc_Hooks = hooks_was;
    TavixHttp = http_was;
    EXPECT_EQ(f.Send("QUIT\r\n"), "221 Logging Off \r\n");
}

TEST(NetFtp, MarkerGiveUpRenewalClampAndResolverTimeOut) {
    test_support::TempRoot root;
    mkdir((root / "opt").c_str(), 0755);
    mkdir((root / "opt/valmar").c_str(), 0755);
    mkdir((root / "opt/valmar/ftp").c_str(), 0755);
    test_support::FakeClock clock;
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    static int wfd;
    wfd = fds[1];
    NetSvc_Hooks = {};
    NetSvc_Hooks.script_pipe = [] { return wfd; };
    NetSvc_Hooks.script_absent = [] { return false; };
    Svc_Reset();
    plc_reg[566] = 0x08;
    plc_reg[567] = 0;
    Svc_RestartRequests();
    char buf[32] = {};
    EXPECT_EQ(std::string(buf, std::size_t(read(fds[0], buf, sizeof buf))), "stop0\nstart0\n");
    test_support::FakeClock::AdvanceMs(29999);
    Svc_RestartRequests();
    EXPECT_EQ(plc_reg[566], 0x08) << "still waiting for the marker";
    // A daemon that has not started in 30 s is asked again; the request
    // stays pending (and holds the other restart actions) until its marker
    // comes.
    test_support::FakeClock::AdvanceMs(1);
    Svc_RestartRequests();
    Svc_RestartRequests();
    EXPECT_EQ(plc_reg[566], 0x08) << "not reported done without the marker";
    EXPECT_EQ(prot_run_bit, 4);
    std::memset(buf, 0, sizeof buf);
    struct pollfd again {
        fds[0], POLLIN, 0
    };
    ASSERT_EQ(poll(&again, 1, 0), 1) << "the daemon is asked again";
    EXPECT_EQ(std::string(buf, std::size_t(read(fds[0], buf, sizeof buf))), "stop0\nstart0\n");
    std::ofstream(root / "opt/valmar/ftp/started1.txt") << "";
    Svc_RestartRequests();
    EXPECT_EQ(plc_reg[566], 0);
    EXPECT_EQ(prot_run_bit, 0);

    // A web restart asked while a web project upload runs waits for the
    // upload's end, however long it takes, and is done only when the web
    // server runs again. The web server holds the HTTP port here.
    const uint8_t http_was = TavixHttp;
    TavixHttp = 1;
    static TavixState web;
    static uint8_t uploading;
    web = TavixState::Running;
    uploading = 1;
    NetSvc_Hooks.web_state = [] { return web; };
    NetSvc_Hooks.web_state_set = [](TavixState st) { web = st; };
    NetSvc_Hooks.web_ftping = [] { return uploading; };
    plc_reg[566] = 0x10;
    Svc_RestartRequests();
    EXPECT_EQ(web, TavixState::Running) << "not stopped during the upload";
    test_support::FakeClock::AdvanceMs(45000);
    Svc_RestartRequests();
    EXPECT_EQ(plc_reg[566], 0x10) << "the request outlives a long upload";
    uploading = 0;
    Svc_RestartRequests();
    EXPECT_EQ(web, TavixState::StopRequested);
    web = TavixState::Stopped;
    Svc_RestartRequests();
    EXPECT_EQ(web, TavixState::StartRequested);
    EXPECT_EQ(plc_reg[566], 0x10);
    web = TavixState::Running;
    Svc_RestartRequests();
    EXPECT_EQ(plc_reg[566], 0);
    EXPECT_EQ(prot_run_bit, 0);
    // A start asked and not yet begun (no server thread yet) is not turned
    // into a stop, which only a running thread acts on: not at once, nor
    // when 30 s have passed. The request is done once that start has the
    // server running.
    web = TavixState::StartRequested;
    plc_reg[566] = 0x10;
    Svc_RestartRequests();
    EXPECT_EQ(web, TavixState::StartRequested);
    test_support::FakeClock::AdvanceMs(30000);
    Svc_RestartRequests();
    Svc_RestartRequests();
    EXPECT_EQ(web, TavixState::StartRequested);
    EXPECT_EQ(plc_reg[566], 0x10);
    web = TavixState::Running;
    Svc_RestartRequests();
    EXPECT_EQ(plc_reg[566], 0);
    EXPECT_EQ(prot_run_bit, 0);
    TavixHttp = http_was;
    NetSvc_Hooks = {};
    close(fds[0]);
    close(fds[1]);

    // A T1 of 500,000 s renews after 429,496 s, not at the wrapped tick count
    // (5,000,000,000 mod 2^32 ticks: 70,503 s).
    DhcpProcCtrl &r = dhcpProcCtrl[0];
    std::memset(static_cast<void *>(&r), 0, sizeof r);
    r.fd = -1;
    r.bound = 1;
    r.no_lease = 0;
    dhcpOffered[0] = {};
    dhcpOffered[0].t1 = 500000;
    dhcpTimer(&r.renew_timer, 0);
    r.renew_running = 1;
    test_support::FakeClock::AdvanceMs(70504000);
    dhcpScan(1, 0);
    EXPECT_EQ(r.state, 0u);
    test_support::FakeClock::AdvanceMs(429495000 - 70504000);
    dhcpScan(1, 0);
    EXPECT_EQ(r.state, 0u);
    test_support::FakeClock::AdvanceMs(1000);
    dhcpScan(1, 0);
    EXPECT_EQ(r.state, 2u);
    EXPECT_EQ(r.msg, DHCP_RENEW);
    EXPECT_EQ(dhcpState, 1);
    std::memset(static_cast<void *>(&r), 0, sizeof r);
    r.fd = -1;
    dhcpState = 1;

    // The resolver: no resolv.conf, a name it will not send, silence for 10 s.
    char out[32] = {};
    dnsFlowCtrl.state = 0;
    EXPECT_EQ(dnsResolve("broker.plc.test", out), -2);
    mkdir((root / "etc").c_str(), 0755);
    std::ofstream(root / "etc/resolv.conf") << "# local\nnameserver\t127.0.0.1\nnameserver 127.0.0.9\n";
    EXPECT_EQ(dnsResolve((std::string(64, 'a') + ".test").c_str(), out), 2);
    EXPECT_EQ(dnsResolve((std::string(64, 'a') + ".test").c_str(), out), -5);
    EXPECT_EQ(dnsResolve("broker.plc.test", out), 2);
    EXPECT_STREQ(dnsFlowCtrl.servers[0], "127.0.0.9") << "a tab does not separate fields";
    EXPECT_EQ(dnsResolve("broker.plc.test", out), 1);
    EXPECT_EQ(dnsResolve("broker.plc.test", out), 1);
    test_support::FakeClock::AdvanceMs(9999);
    EXPECT_EQ(dnsResolve("broker.plc.test", out), 1);
    test_support::FakeClock::AdvanceMs(1);
    EXPECT_EQ(dnsResolve("broker.plc.test", out), -6);
    EXPECT_EQ(dnsFlowCtrl.state, 0u);
    EXPECT_EQ(dnsFlowCtrl.fd, -1);
    // Three name servers: the first two are taken.
    std::ofstream(root / "etc/resolv.conf") << "nameserver 127.0.0.7\nnameserver 127.0.0.8\nnameserver 127.0.0.9\n";
    EXPECT_EQ(dnsResolve("broker.plc.test", out), 2);
    EXPECT_EQ(dnsFlowCtrl.server_count, 2u);
    EXPECT_STREQ(dnsFlowCtrl.servers[1], "127.0.0.8");
    close(dnsFlowCtrl.fd);
    dnsFlowCtrl.fd = -1;
    dnsFlowCtrl.state = 0;
}

TEST(NetFtp, ResolverAgainstALoopbackNameServer) {
    // The name server's port is 53: binding it needs the right to (CI runs as root).
    const int srv = socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_port = htons(53);
    a.sin_addr.s_addr = htonl(0x7F00000A);  // 127.0.0.10
    if (bind(srv, reinterpret_cast<struct sockaddr *>(&a), sizeof a) != 0) {
        close(srv);
        GTEST_SKIP() << "port 53 of 127.0.0.10 cannot be bound here";
    }
    const int other = socket(AF_INET, SOCK_DGRAM, 0);
    test_support::TempRoot root;
    mkdir((root / "etc").c_str(), 0755);
    std::ofstream(root / "etc/resolv.conf") << "nameserver 127.0.0.10\n";
    dnsFlowCtrl.state = 0;
    char out[32] = {};
    auto answer = [&](int from, bool same_id) {
        uint8_t q[512];
        struct sockaddr_in peer {};
        socklen_t pl = sizeof peer;
        const ssize_t n = recvfrom(srv, q, sizeof q, 0, reinterpret_cast<struct sockaddr *>(&peer), &pl);
        EXPECT_GT(n, 12);
        std::vector<uint8_t> r(q, q + n);
        if (!same_id) r[1] ^= 1;
        r[2] = 0x81, r[3] = 0x80, r[7] = 2;
        const uint8_t aaaa[] = {0xC0, 12, 0, 28, 0, 1, 0, 0, 0, 60, 0, 16, 0xfd, 0,
                                0,    0,  0, 0,  0, 0, 0, 0, 0, 0,  0, 0,  0,    1};
        const uint8_t rec[] = {0xC0, 12, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4, 10, 77, 0, 42};
        r.insert(r.end(), aaaa, aaaa + sizeof aaaa);
        r.insert(r.end(), rec, rec + sizeof rec);
        sendto(from, r.data(), r.size(), 0, reinterpret_cast<struct sockaddr *>(&peer), pl);
        return peer;
    };
    auto until_not_1 = [&] {
        int32_t v = 1;
        for (int i = 0; i < 2000 && v == 1; i++) {
            v = dnsResolve("broker.plc.test", out);
            if (v == 1) usleep(1000);
        }
        return v;
    };
    EXPECT_EQ(dnsResolve("broker.plc.test", out), 2);
    EXPECT_EQ(dnsResolve("broker.plc.test", out), 1);
    // An answer from another port is not the name server's.
    answer(other, true);
    usleep(20000);
    EXPECT_EQ(dnsResolve("broker.plc.test", out), 1);
    EXPECT_EQ(dnsFlowCtrl.state, 2u);
    // Stray datagrams keep coming: the 10 s limit ends the lookup all the same.
    {
        test_support::FakeClock clock;
        test_support::FakeClock::AdvanceMs(10000);
        struct sockaddr_in me {};
        socklen_t ml = sizeof me;
        ASSERT_EQ(getsockname(dnsFlowCtrl.fd, reinterpret_cast<struct sockaddr *>(&me), &ml), 0);
        me.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(sendto(other, "stray", 5, 0, reinterpret_cast<struct sockaddr *>(&me), ml), 5);
        struct pollfd w {
            dnsFlowCtrl.fd, POLLIN, 0
        };
        ASSERT_EQ(poll(&w, 1, 5000), 1);
        EXPECT_EQ(dnsResolve("broker.plc.test", out), -6);
        EXPECT_EQ(dnsFlowCtrl.state, 0u);
    }
    // Next lookup: a new identifier; the answer skips the AAAA record.
    dnsFlowCtrl.state = 0;
    close(dnsFlowCtrl.fd);
    dnsFlowCtrl.fd = -1;
    EXPECT_EQ(dnsResolve("broker.plc.test", out), 2);
    EXPECT_EQ(dnsResolve("broker.plc.test", out), 1);
    answer(srv, true);
    EXPECT_EQ(until_not_1(), 2);
    EXPECT_EQ(dnsResolve("broker.plc.test", out), 0);
    EXPECT_STREQ(out, "10.77.0.42");
    // An empty datagram from the server is no answer: the lookup waits on.
    EXPECT_EQ(dnsResolve("broker.plc.test", out), 2);
    EXPECT_EQ(dnsResolve("broker.plc.test", out), 1);
    {
        uint8_t q[512];
        struct sockaddr_in peer {};
        socklen_t pl = sizeof peer;
        EXPECT_GT(recvfrom(srv, q, sizeof q, 0, reinterpret_cast<struct sockaddr *>(&peer), &pl), 12);
        sendto(srv, q, 0, 0, reinterpret_cast<struct sockaddr *>(&peer), pl);
        struct pollfd w {
            dnsFlowCtrl.fd, POLLIN, 0
        };
        ASSERT_EQ(poll(&w, 1, 5000), 1);
        EXPECT_EQ(dnsResolve("broker.plc.test", out), 1);
        EXPECT_EQ(dnsFlowCtrl.state, 2u);
    }
    dnsFlowCtrl.state = 0;
    close(dnsFlowCtrl.fd);
    dnsFlowCtrl.fd = -1;
    // A stale identifier: -1.
    EXPECT_EQ(dnsResolve("broker.plc.test", out), 2);
    EXPECT_EQ(dnsResolve("broker.plc.test", out), 1);
    answer(srv, false);
    EXPECT_EQ(until_not_1(), 2);
    EXPECT_EQ(dnsResolve("broker.plc.test", out), -1);
    close(srv);
    close(other);
}

// ---- data connections through the server's step ------------------------------------------------

// Descriptors this process holds.
int OpenDescriptors() {
    int n = 0;
    for (int fd = 0; fd < 4096; fd++) n += fcntl(fd, F_GETFD) != -1;
    return n;
}

// A loopback listener on a port of the kernel's choice.
struct Listener {
    int fd = -1;
    uint32_t port = 0;
    Listener() {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        struct sockaddr_in a {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t al = sizeof a;
        bind(fd, reinterpret_cast<struct sockaddr *>(&a), sizeof a);
        listen(fd, 4);
        getsockname(fd, reinterpret_cast<struct sockaddr *>(&a), &al);
        port = ntohs(a.sin_port);
    }
    ~Listener() { close(fd); }
    std::string Port() const {
        return "PORT 127,0,0,1," + std::to_string(port >> 8) + "," + std::to_string(port & 0xFF) + "\r\n";
    }
};

// One pass of the connection poll and the server's step.
void Pass(NX_FTP_SERVER &sv) {
    EnetThread();
    _nx_ftp_server_thread_entry(&sv);
}

// The next reply line on fd, the server stepped meanwhile; "" after 5 s.
std::string LineStepping(NX_FTP_SERVER &sv, int fd) {
    std::string s;
    for (int i = 0; i < 5000; i++) {
        Pass(sv);
        struct pollfd p {
            fd, POLLIN, 0
        };
        while (poll(&p, 1, 0) == 1) {
            char c;
            if (read(fd, &c, 1) != 1) return s;
            s += c;
            if (s.size() >= 2 && s.compare(s.size() - 2, 2, "\r\n") == 0) return s;
        }
        usleep(1000);
    }
    return s;
}

// Accepts the server's active data connection on l, the server stepped meanwhile.
int AcceptStepping(NX_FTP_SERVER &sv, const Listener &l) {
    for (int i = 0; i < 5000; i++) {
        Pass(sv);
        struct pollfd p {
            l.fd, POLLIN, 0
        };
        if (poll(&p, 1, 1) == 1) return accept(l.fd, nullptr, nullptr);
    }
    return -1;
}

// Connects to the passive port of the fixture's client 0 (30000) and steps
// the server until it took the connection.
int ConnectPassive(NX_FTP_SERVER &sv) {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_port = htons(30000);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(connect(s, reinterpret_cast<struct sockaddr *>(&a), sizeof a), 0);
    NX_FTP_CLIENT_REQUEST &c = sv.nx_ftp_server_client_list[0];
    for (int i = 0; i < 5000 && c.data.state != NX_TCP_ESTABLISHED; i++) {
        EnetThread();
        usleep(1000);
    }
    EXPECT_EQ(c.data.state, NX_TCP_ESTABLISHED);
    return s;
}

// PORT after a passive connection was accepted gives the accepted
// connection back: repeated, it costs the controller no descriptor.
TEST(NetFtp, PortAfterAnAcceptedPassiveConnectionKeepsNoDescriptor) {
    FtpFixture f;
    std::ofstream(f.root / "mnt/USB0/a.txt") << "abc";
    EXPECT_EQ(f.Send("USER alice\r\n"), "331 Enter password \r\n");
    EXPECT_EQ(f.Send("PASS pw1\r\n"), "230 Logged in \r\n");
    EXPECT_EQ(f.Send("TYPE I\r\n"), "200 Type Binary \r\n");
    // The first round is counted from its end: descriptors the process makes
    // at first use (the readiness set's own) are not the server's.
    int before = 0;
    for (int round = 0; round < 4; round++) {
        if (round == 1) before = OpenDescriptors();
        const std::string pasv = "227 Entering Passive Mode(127,0,0,1,117,48) \r\n";
        std::string got;
        for (int i = 0; i < 50 && (got = f.Send("PASV\r\n")) != pasv; i++) usleep(100000);
        ASSERT_EQ(got, pasv);
        const int passive = ConnectPassive(f.sv);
        Listener l;
        EXPECT_EQ(f.Send(l.Port()), "200 Port set \r\n");
        // The active connection of RETR replaces the passive one.
        ASSERT_EQ(write(f.link.theirs, "RETR a.txt\r\n", 12), 12);
        EXPECT_EQ(LineStepping(f.sv, f.link.theirs), "125 File Opened \r\n");
        EXPECT_EQ(LineStepping(f.sv, f.link.theirs), "250 File Sent \r\n");
        close(passive);
    }
    EXPECT_EQ(OpenDescriptors(), before);
    EXPECT_EQ(f.Send("QUIT\r\n"), "221 Logging Off \r\n");
}

// The 60 s timer fires once a minute whatever the millisecond it was set
// at: each firing takes 60 s off the idle budget of 240 s.
TEST(NetFtp, TheIdleTimerFiresOnceAMinute) {
    FtpFixture f;
    test_support::FakeClock clock;
    if (_tx_time_get() % 2 != 0) test_support::FakeClock::AdvanceMs(1);
    NX_FTP_CLIENT_REQUEST &c = f.sv.nx_ftp_server_client_list[0];
    f.sv.nx_ftp_server_timer = _tx_time_get() - 60000;
    c.idle_budget = 240;
    _nx_ftp_server_thread_entry(&f.sv);
    EXPECT_EQ(c.idle_budget, 180u);
    _nx_ftp_server_thread_entry(&f.sv);
    _nx_ftp_server_thread_entry(&f.sv);
    EXPECT_EQ(c.idle_budget, 180u) << "not again in the same millisecond";
    test_support::FakeClock::AdvanceMs(30000);
    _nx_ftp_server_thread_entry(&f.sv);
    EXPECT_EQ(c.idle_budget, 180u);
    test_support::FakeClock::AdvanceMs(30010);
    _nx_ftp_server_thread_entry(&f.sv);
    EXPECT_EQ(c.idle_budget, 120u);
}

// A download that lasts longer than the idle time-out is not cut: each
// packet of it counts as activity.
TEST(NetFtp, ALongDownloadOutlivesTheIdleTimeOut) {
    FtpFixture f;
    test_support::FakeClock clock;
    f.sv.nx_ftp_server_timer = _tx_time_get() | 1;
    std::string body;
    for (int i = 0; i < 12000; i++) body += char('a' + i % 23);
    std::ofstream(f.root / "mnt/USB0/big.bin") << body;
    EXPECT_EQ(f.Send("USER alice\r\n"), "331 Enter password \r\n");
    EXPECT_EQ(f.Send("PASS pw1\r\n"), "230 Logged in \r\n");
    EXPECT_EQ(f.Send("TYPE I\r\n"), "200 Type Binary \r\n");
    Listener l;
    EXPECT_EQ(f.Send(l.Port()), "200 Port set \r\n");
    NX_FTP_CLIENT_REQUEST &c = f.sv.nx_ftp_server_client_list[0];
    c.idle_budget = NX_FTP_IDLE_BUDGET;
    NX_PACKET *pk = nullptr;
    ASSERT_EQ(_nx_packet_allocate(&pool, &pk, 0, 0), 0u);
    _nx_packet_data_append(pk, "RETR big.bin\r\n", 14, &pool, 0);
    FtpServerCommand(&f.sv, 0, pk);
    const int d = AcceptStepping(f.sv, l);
    ASSERT_GE(d, 0);
    EXPECT_EQ(f.link.Line(), "125 File Opened \r\n");
    // One minute between passes: the transfer takes more than eight.
    std::string got;
    for (int i = 0; i < 40 && c.transfer_state == 1; i++) {
        test_support::FakeClock::AdvanceMs(60000);
        Pass(f.sv);
        char b[4096];
        struct pollfd p {
            d, POLLIN, 0
        };
        while (poll(&p, 1, 100) == 1) {
            const ssize_t n = read(d, b, sizeof b);
            if (n <= 0) break;
            got.append(b, std::size_t(n));
        }
    }
    EXPECT_EQ(f.link.Line(), "250 File Sent \r\n");
    EXPECT_EQ(got.size(), body.size());
    EXPECT_TRUE(got == body);
    EXPECT_EQ(c.control.state, NX_TCP_ESTABLISHED);
    close(d);
}

// LIST gives a size of seven digits whole.
TEST(NetFtp, ListShowsSizesAboveSixDigits) {
    FtpFixture f;
    const char *tz = getenv("TZ");
    const std::string saved = tz ? tz : "";
    setenv("TZ", "UTC0", 1);
    tzset();
    const std::string big = f.root / "mnt/USB0/big.bin";
    { std::ofstream(big) << ""; }
    ASSERT_EQ(truncate(big.c_str(), 1234567), 0);
    // 2024-03-05 07:08:09 UTC.
    struct timespec t[2] = {{1709622489, 0}, {1709622489, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, big.c_str(), t, 0), 0);
    EXPECT_EQ(f.Send("USER alice\r\n"), "331 Enter password \r\n");
    EXPECT_EQ(f.Send("PASS pw1\r\n"), "230 Logged in \r\n");
    Listener l;
    EXPECT_EQ(f.Send(l.Port()), "200 Port set \r\n");
    NX_PACKET *pk = nullptr;
    ASSERT_EQ(_nx_packet_allocate(&pool, &pk, 0, 0), 0u);
    _nx_packet_data_append(pk, "LIST\r\n", 6, &pool, 0);
    FtpServerCommand(&f.sv, 0, pk);
    const int d = AcceptStepping(f.sv, l);
    ASSERT_GE(d, 0);
    EXPECT_EQ(LineStepping(f.sv, f.link.theirs), "125 Sending List \r\n");
    EXPECT_EQ(LineStepping(f.sv, f.link.theirs), "250 List End \r\n");
    // The folder's own entries ("." and "..") come with it: the file's line.
    char b[512];
    const ssize_t n = read(d, b, sizeof b);
    const std::string listing(b, std::size_t(n > 0 ? n : 0));
    const std::size_t end = listing.find(" big.bin\r\n");
    ASSERT_NE(end, std::string::npos) << listing;
    const std::size_t begin = listing.rfind("\r\n", end);
    const std::string line = listing.substr(begin == std::string::npos ? 0 : begin + 2);
    EXPECT_EQ(line, "-rw-rw-rw-  1 owner group 1234567 Mar 5 07:08 big.bin\r\n");
    close(d);
    if (tz)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

// A PASV whose port cannot be listened on is answered, and the client's
// commands go on.
TEST(NetFtp, AFailedPasvIsAnswered) {
    FtpFixture f;
    // Port 30000, client 0's passive port, held by another socket.
    const int holder = socket(AF_INET, SOCK_STREAM, 0);
    const int one = 1;
    setsockopt(holder, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_port = htons(30000);
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    // Another test's passive listener may hold the port for a moment.
    int bound = -1;
    for (int i = 0; i < 50 && (bound = bind(holder, reinterpret_cast<struct sockaddr *>(&a), sizeof a)) != 0; i++)
        usleep(100000);
    ASSERT_EQ(bound, 0);
    ASSERT_EQ(listen(holder, 1), 0);
    EXPECT_EQ(f.Send("USER alice\r\n"), "331 Enter password \r\n");
    EXPECT_EQ(f.Send("PASS pw1\r\n"), "230 Logged in \r\n");
    EXPECT_EQ(f.Send("PASV\r\n"), "425 Can't open data connection \r\n");
    EXPECT_EQ(f.sv.nx_ftp_server_client_list[0].passive, 0u);
    EXPECT_EQ(f.Send("NOOP\r\n"), "200 NOOP Success \r\n");
    close(holder);
}

// An active data connection that the client refuses is answered 550, at
// once, for a download, an upload and a listing alike.
TEST(NetFtp, ARefusedActiveDataConnectionIsAnswered) {
    FtpFixture f;
    std::ofstream(f.root / "mnt/USB0/a.txt") << "abc";
    EXPECT_EQ(f.Send("USER alice\r\n"), "331 Enter password \r\n");
    EXPECT_EQ(f.Send("PASS pw1\r\n"), "230 Logged in \r\n");
    EXPECT_EQ(f.Send("TYPE I\r\n"), "200 Type Binary \r\n");
    uint32_t closed_port = 0;
    {
        Listener gone;
        closed_port = gone.port;
    }
    const std::string port =
        "PORT 127,0,0,1," + std::to_string(closed_port >> 8) + "," + std::to_string(closed_port & 0xFF) + "\r\n";
    EXPECT_EQ(f.Send(port), "200 Port set \r\n");
    const std::pair<const char *, const char *> script[] = {
        {"RETR a.txt\r\n", "550 File Open Fail \r\n"},
        {"STOR b.txt\r\n", "550 File Open Failed \r\n"},
        {"NLST\r\n", "550 List bad Directory \r\n"},
        {"LIST\r\n", "550 Bad Directory \r\n"},
    };
    for (const auto &[line, want] : script) {
        ASSERT_EQ(write(f.link.theirs, line, std::strlen(line)), ssize_t(std::strlen(line)));
        EXPECT_EQ(LineStepping(f.sv, f.link.theirs), want) << line;
        EXPECT_EQ(f.sv.nx_ftp_server_client_list[0].transfer_state, 0u) << line;
    }
    EXPECT_EQ(access((f.root / "mnt/USB0/b.txt").c_str(), F_OK), -1);
}

// Two clients that start an upload in the same pass each get theirs: the
// second does not take the first one's place in the parked command.
TEST(NetFtp, TwoUploadsParkedTogetherAreBothStored) {
    FtpFixture f;
    LoopPair second;
    NX_FTP_CLIENT_REQUEST &c1 = f.sv.nx_ftp_server_client_list[1];
    c1.control = f.sv.nx_ftp_server_client_list[0].control;
    c1.control.fd = second.ours;
    c1.type = 'A';
    auto send = [&](uint32_t index, const char *line) {
        NX_PACKET *pk = nullptr;
        EXPECT_EQ(_nx_packet_allocate(&pool, &pk, 0, 0), 0u);
        _nx_packet_data_append(pk, line, uint32_t(std::strlen(line)), &pool, 0);
        FtpServerCommand(&f.sv, index, pk);
        return (index == 0 ? f.link : second).Line();
    };
    Listener l0, l1;
    for (uint32_t i : {0u, 1u}) {
        EXPECT_EQ(send(i, "USER alice\r\n"), "331 Enter password \r\n");
        EXPECT_EQ(send(i, "PASS pw1\r\n"), "230 Logged in \r\n");
        EXPECT_EQ(send(i, "TYPE I\r\n"), "200 Type Binary \r\n");
        EXPECT_EQ(send(i, (i == 0 ? l0 : l1).Port().c_str()), "200 Port set \r\n");
    }
    ASSERT_EQ(write(f.link.theirs, "STOR x.bin\r\n", 12), 12);
    ASSERT_EQ(write(second.theirs, "STOR y.bin\r\n", 12), 12);
    const int d0 = AcceptStepping(f.sv, l0);
    const int d1 = AcceptStepping(f.sv, l1);
    ASSERT_GE(d0, 0);
    ASSERT_GE(d1, 0);
    EXPECT_EQ(LineStepping(f.sv, f.link.theirs), "125 File Open for Write \r\n");
    EXPECT_EQ(LineStepping(f.sv, second.theirs), "125 File Open for Write \r\n");
    ASSERT_EQ(write(d0, "first", 5), 5);
    ASSERT_EQ(write(d1, "second", 6), 6);
    close(d0);
    close(d1);
    EXPECT_EQ(LineStepping(f.sv, f.link.theirs), "250 File Written \r\n");
    EXPECT_EQ(LineStepping(f.sv, second.theirs), "250 File Written \r\n");
    auto content = [&](const char *name) {
        std::ifstream in(f.root / (std::string("mnt/USB0/") + name));
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    EXPECT_EQ(content("x.bin"), "first");
    EXPECT_EQ(content("y.bin"), "second");
    close(second.ours);
}

// A listing bigger than the socket buffers (3,002 files, small buffers) arrives whole, across passes, and ends "List End".
TEST(NetFtp, AListingBiggerThanTheSocketBuffersArrivesWhole) {
    FtpFixture f;
    std::vector<std::string> want;
    for (int i = 0; i < 3002; i++) {
        char name[80];
        std::snprintf(name, sizeof name, "entry-%04d-%s.txt", i, std::string(40, 'x').c_str());
        std::ofstream(f.root / (std::string("mnt/USB0/") + name)) << "";
        want.push_back(std::string(name) + "\r\n");
    }
    // The folder's own entries come with it.
    want.push_back(".\r\n");
    want.push_back("..\r\n");
    std::sort(want.begin(), want.end());
    EXPECT_EQ(f.Send("USER alice\r\n"), "331 Enter password \r\n");
    EXPECT_EQ(f.Send("PASS pw1\r\n"), "230 Logged in \r\n");
    Listener l;
    const int small = 4096;
    setsockopt(l.fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    EXPECT_EQ(f.Send(l.Port()), "200 Port set \r\n");
    ASSERT_EQ(write(f.link.theirs, "NLST\r\n", 6), 6);
    const int d = AcceptStepping(f.sv, l);
    ASSERT_GE(d, 0);
    // Socket buffers as small as a board's: the listing (about 170 KB)
    // is far more than they hold.
    setsockopt(f.sv.nx_ftp_server_client_list[0].data.fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    std::string got;
    for (int i = 0; i < 20000; i++) {
        Pass(f.sv);
        struct pollfd p {
            d, POLLIN, 0
        };
        if (poll(&p, 1, 1) != 1) continue;
        char b[2048];
        const ssize_t n = read(d, b, sizeof b);
        if (n <= 0) break;
        got.append(b, std::size_t(n));
    }
    close(d);
    EXPECT_EQ(LineStepping(f.sv, f.link.theirs), "125 Sending List \r\n");
    EXPECT_EQ(LineStepping(f.sv, f.link.theirs), "250 List End \r\n");
    std::vector<std::string> lines;
    for (std::size_t at = 0; at < got.size();) {
        const std::size_t e = got.find("\r\n", at);
        const std::size_t end = e == std::string::npos ? got.size() : e + 2;
        lines.push_back(got.substr(at, end - at));
        at = end;
    }
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines.size(), 3004u);
    EXPECT_TRUE(lines == want);
}

}  // namespace
