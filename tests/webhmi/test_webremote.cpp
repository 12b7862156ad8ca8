// Forwarding to remote servers, in process: a page's requests go through the
// real dispatcher to python3 stand-ins on 127.0.0.1 that check the Digest
// login, the RSA-encrypted session key and the X-TavIX digest with hashlib.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include "tavIXsdk/tavixsdk/tavix_auth.h"
#include "tavIXsdk/tavixsdk/tavix_comm.h"
#include "tavIXsdk/tavixsdk/tavix_engine.h"
#include "tavIXsdk/tavixsdk/tavix_methods.h"
#include "tavIXsdk/tavixsdk/tavix_post.h"
#include "tavIXsdk/tavixsdk/tavix_remote.h"
#include "tavIXsdk/tavixsdk/tavix_rsa.h"
#include "tavIXsdk/tavixsdk/tavix_session.h"
#include "tavIXsdk/tavixsdk/tavix_util.h"
#include "tests/support/md5_peer.h"
#include "tests/support/temp_root.h"

extern char **environ;

namespace {

// This file's folder: the compiler names it from the build folder, the
// parent of the folder that holds the test program.
std::string Here() {
    std::string f = __FILE__;
    if (f[0] != '/') {
        char exe[4096] = {};
        const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
        std::string build(exe, n > 0 ? std::size_t(n) : 0);
        build = build.substr(0, build.rfind('/'));
        f = build.substr(0, build.rfind('/')) + "/" + f;
    }
    return f.substr(0, f.rfind('/'));
}

// One stand-in process in a mode; its port comes on its first output line.
struct StandIn {
    pid_t pid = -1;
    uint16_t port = 0;
    std::string log;
    StandIn(const char *mode, const std::string &log_path) : log(log_path) {
        int out[2];
        if (pipe(out) != 0) return;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        posix_spawn_file_actions_addclose(&fa, out[0]);
        const std::string script = Here() + "/peers/remote_standin.py";
        char *argv[] = {const_cast<char *>("/usr/bin/python3"), const_cast<char *>(script.c_str()),
                        const_cast<char *>(mode), const_cast<char *>(log.c_str()), nullptr};
        if (posix_spawn(&pid, argv[0], &fa, nullptr, argv, environ) != 0) pid = -1;
        posix_spawn_file_actions_destroy(&fa);
        close(out[1]);
        char line[16] = {};
        std::size_t n = 0;
        // The key is made first: a generous wait for the line.
        struct pollfd p {
            out[0], POLLIN, 0
        };
        while (n < sizeof line - 1 && poll(&p, 1, 20000) > 0 && read(out[0], line + n, 1) == 1 && line[n] != '\n') n++;
        close(out[0]);
        port = uint16_t(std::atoi(line));
    }
    ~StandIn() { Stop(); }
    void Stop() {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
        pid = -1;
    }
    std::vector<std::string> Requests() const {
        std::vector<std::string> lines;
        std::ifstream in(log);
        for (std::string l; std::getline(in, l);) lines.push_back(l);
        return lines;
    }
};

using test_support::Md5Peer;

struct WebRemote : ::testing::Test {
    test_support::TempRoot root;
    int listener = -1;
    uint16_t port = 0;
    tavix_session *page = nullptr;
    int cnonce = 0;
    std::vector<std::string> logged;
    static WebRemote *self;

    void SetUp() override {
        self = this;
        tavix_options_initialize();
        tavix_options_set_auth_options(2, "tavIX");
        tavix_global_options.level = 2;
        tavix_global_options.error_cb = [](const char *t) { self->logged.emplace_back(t); };
        tavix_comm_state_initialize();
        tavix_comm_set_cb(tavix_engine_receive_comm_data, tavix_comm_remote_server_dropped_connection, nullptr);
        tavix_auth_initialize();
        tavix_engine_session_initialize();
        tavix_comm_remote_server_initialize();
        tavix_methods_register();
        tavix_engine_hooks = {};
        tavix_engine_hooks.post = tavix_engine_handle_post_request;
        ASSERT_EQ(tavix_options_generate_temporary_rsa(1024, 65537), 0);
        // The page's side: a listener of our own on an ephemeral loopback port.
        listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t al = sizeof a;
        ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
        ASSERT_EQ(listen(listener, 8), 0);
        ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr *>(&a), &al), 0);
        port = ntohs(a.sin_port);
        tavix_comm_state.http_listener = listener;
        tavix_timer_start_imp(&tavix_comm_state.timer);
        // The page's session, logged in over Digest as op:pw.
        // MD5 of "op:tavIX:pw" (hashlib).
        const uint8_t ha1[16] = {0x22, 0x6f, 0x2a, 0x0a, 0xdc, 0xb0, 0xf3, 0x4a,
                                 0x56, 0xdc, 0x9c, 0x2f, 0x26, 0x24, 0x82, 0x23};
        int code = 0;
        ASSERT_EQ(tavix_engine_session_create(tavix_sys_get_current_monotonous_time(), "60", "pagekey", false, "tavIX",
                                              "op", ha1, true, &page, &code),
                  0);
    }
    void TearDown() override {
        tavix_comm_mainloop_exit();  // closes the listener too
        tavix_comm_remote_server_free();
        tavix_engine_session_clear();
        tavix_auth_clear();
        tavix_options_free_rsa();
        tavix_buffer_free_all();
        tavix_options_free();
        tavix_engine_hooks = {};
    }

    // A POST of the page with its session header naming a remote server.
    std::string Post(const std::string &method, const std::string &body, const std::string &remote) {
        cnonce++;
        const std::string c = std::to_string(cnonce);
        const std::string x = "sessionid=\"" + std::string(page->id) + "\", cnonce=\"" + c + "\", digest=\"" +
                              Md5Peer(std::string(page->id) + ":pagekey:" + c) + "\"" + remote;
        return "POST /tavIX/?" + method + " HTTP/1.1\r\nHost: plc\r\nConnection: keep-alive\r\nX-Page: 7\r\n" +
               "X-TavIX: " + x + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    }

    // Sends a request and runs the dispatcher until the answer is whole.
    std::string Ask(const std::string &request) {
        const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port);
        EXPECT_EQ(connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
        EXPECT_EQ(send(s, request.data(), request.size(), 0), ssize_t(request.size()));
        std::string out;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline) {
            tavix_comm_mainloop_accept_conn();
            struct pollfd p {
                s, POLLIN, 0
            };
            if (poll(&p, 1, 2) <= 0) continue;
            char buf[4096];
            const ssize_t n = recv(s, buf, sizeof buf, 0);
            if (n <= 0) break;
            out.append(buf, std::size_t(n));
        }
        close(s);
        return out;
    }
    static std::string Body(const std::string &answer) {
        const std::size_t at = answer.find("\r\n\r\n");
        return at == std::string::npos ? "" : answer.substr(at + 4);
    }
};
WebRemote *WebRemote::self;

}  // namespace

TEST_F(WebRemote, InfoSessionAndReadsThroughTheDigestLogin) {
    StandIn remote("digest", root / "digest.log");
    ASSERT_GT(remote.port, 0);
    ASSERT_EQ(tavix_comm_remote_server_define("plc2", "127.0.0.1", remote.port, 1), 0);
    const std::string to = ", servername=\"plc2\"";

    // info: the 401 is answered with op's Digest login and the request sent again.
    std::string a = Ask(Post("info", "", to));
    ASSERT_EQ(a.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << a;
    EXPECT_NE(Body(a).find("\"certificationlevel\": \"scada\""), std::string::npos) << a;
    const tavix_remote_server *s = tavix_comm_remote_server_get(0);
    EXPECT_EQ(s->state, uint32_t(TAVIX_RS_INFO));
    EXPECT_EQ(std::make_tuple(s->level, s->security, s->max_timeout, s->login_form), std::make_tuple(2u, 1u, 60u, 0u));
    ASSERT_NE(s->key, nullptr);
    EXPECT_EQ(tavix_rsa_modulus_size(s->key), 128u);
    std::vector<std::string> seen = remote.Requests();
    ASSERT_EQ(seen.size(), 2u);
    // The forwarded request: HTTP/1.0, the page's own lines less Host,
    // Connection and Authorization, no session header without a remote session.
    EXPECT_EQ(seen[0],
              "{\"line\": \"POST /tavIX/?info HTTP/1.0\", \"lines\": [\"X-Page: 7\", \"Connection: close\", "
              "\"Content-Type: application/x-www-form-urlencoded\", \"Content-Length: 0\"], \"body\": \"\"}");
    EXPECT_NE(seen[1].find("\"Authorization: Digest username=\\\"op\\\", realm=\\\"tavIX\\\", nonce=\\\"0123abcd\\\", "
                           "uri=\\\"/tavIX/?info\\\", response=\\\""),
              std::string::npos)
        << seen[1];

    // createsession: the remote server decrypts the key we made for the page.
    a = Ask(Post("createsession", "timeout=20", to));
    ASSERT_EQ(a.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << a;
    const tavix_remote_session *r = tavix_comm_remote_server_find_session(0, page->id, "0000002a");
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(std::strlen(r->key), 32u);
    EXPECT_EQ(Body(a),
              "{\"sessionid\": \"0000002a\", \"keyseen\": \"" + std::string(r->key) + "\", \"timeout\": \"20\"}");

    // Requests on the remote session carry its header, counting from 1.
    const std::string on = to + ", serversessionid=\"0000002a\"";
    a = Ask(Post("read", "address%5B%5D=R_5_1_INT16", on));
    EXPECT_EQ(Body(a),
              "{\"result\": [{\"value\": 4660, \"error\": 0}], \"cnonce\": \"1\", \"form\": "
              "{\"address[]\": [\"R_5_1_INT16\"]}}");
    a = Ask(Post("read", "address%5B%5D=R_6_1_UINT16", on));
    EXPECT_NE(Body(a).find("\"cnonce\": \"2\""), std::string::npos) << a;

    // Names that are not there.
    EXPECT_EQ(Body(Ask(Post("read", "", to + ", serversessionid=\"00000099\""))),
              "{\"error\":603,\"errorstring\":\"Requested remote session was not found\"}");
    EXPECT_EQ(Body(Ask(Post("read", "", ", servername=\"plc3\""))),
              "{\"error\":601,\"errorstring\":\"Remote server not accessible\"}");
    ASSERT_EQ(tavix_comm_remote_server_enable("plc2", 0), 0);
    EXPECT_EQ(Body(Ask(Post("read", "", on))), "{\"error\":601,\"errorstring\":\"Remote server not accessible\"}");
    ASSERT_EQ(tavix_comm_remote_server_enable("plc2", 1), 0);

    // deletesession ends the remote session; the page session's end would too.
    a = Ask(Post("deletesession", "", on));
    EXPECT_EQ(a.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << a;
    EXPECT_EQ(tavix_comm_remote_server_find_session(0, page->id, "0000002a"), nullptr);

    // A remote session unused for the server's time-out is expired by the
    // tick, said in the error log.
    a = Ask(Post("createsession", "", to));
    ASSERT_EQ(a.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << a;
    r = tavix_comm_remote_server_find_session(0, page->id, "0000002a");
    ASSERT_NE(r, nullptr);
    const uint64_t idle_end = r->last_use + s->timeout;
    logged.clear();
    tavix_comm_remote_server_tick(idle_end - 1);
    EXPECT_EQ(tavix_comm_remote_server_find_session(0, page->id, "0000002a"), r);
    tavix_comm_remote_server_tick(idle_end);
    EXPECT_EQ(tavix_comm_remote_server_find_session(0, page->id, "0000002a"), nullptr);
    EXPECT_EQ(logged, std::vector<std::string>{"Expiring remote session 0000002a on master session " +
                                               std::string(page->id) + " due to inactivity"});

    // The stand-in gone: the page hears 601.
    remote.Stop();
    EXPECT_EQ(Body(Ask(Post("info", "", to))), "{\"error\":601,\"errorstring\":\"Remote server not accessible\"}");
    for (const tavix_remote_link &l : tavix_remote_table.links) EXPECT_EQ(l.in_use, 0u);

    // The page session's end takes the remote server's nonce for its key along.
    EXPECT_EQ(tavix_nonce_table.count, 1u);
    tavix_engine_session_clear();
    EXPECT_EQ(tavix_nonce_table.count, 0u);

    // A request towards a remote server as it goes out: its header, then its chained body.
    tavix_buffer *req = tavix_engine_initialize_request("/tavIX/?read");
    ASSERT_NE(req, nullptr);
    tavix_buffer_put_data(req, "X-Page: 7\r\n", 11);
    tavix_buffer *body = tavix_buffer_get(TAVIX_BUF_DATA, 64, 4096, false);
    tavix_buffer_put_data(body, "address[]=R_1_1_INT16", 21);
    ASSERT_EQ(tavix_engine_chain_content(req, body, "application/x-www-form-urlencoded"), 0);
    std::string bytes;
    const uint8_t *piece = nullptr;
    for (long n; (n = tavix_buffer_get_data(req, &piece, nullptr, 0, nullptr, 0)) > 0;) {
        bytes.append(reinterpret_cast<const char *>(piece), std::size_t(n));
        tavix_buffer_get_advance(req, uint32_t(n));
    }
    EXPECT_EQ(bytes,
              "POST /tavIX/?read HTTP/1.0\r\nX-Page: 7\r\nContent-Type: application/x-www-form-urlencoded\r\n"
              "Content-Length: 21\r\n\r\naddress[]=R_1_1_INT16");
    tavix_buffer_return(req);
}

TEST_F(WebRemote, RefusedLoginsAndBadAnswers) {
    struct Case {
        const char *mode;
        const char *method;
        std::string body;
        std::size_t requests;
    } cases[] = {
        // A second 401 means the credentials were refused.
        {"refuse", "info", "{\"error\":609,\"errorstring\":\"Login at the remote server failed\"}", 2},
        {"drop", "info", "{\"error\":601,\"errorstring\":\"Remote server not accessible\"}", 1},
        {"short", "info", "{\"error\":604,\"errorstring\":\"Missing\\/invalid data in the remote response\"}", 1},
        // An answer whose Content-Length is negative or above the request
        // limit is refused as a request would be: its connection is closed.
        {"minus", "info", "{\"error\":601,\"errorstring\":\"Remote server not accessible\"}", 1},
        {"toolarge", "info", "{\"error\":601,\"errorstring\":\"Remote server not accessible\"}", 1},
        {"bigkey", "info", "{\"error\":604,\"errorstring\":\"Missing\\/invalid data in the remote response\"}", 2},
        {"huge", "info", "{\"error\":604,\"errorstring\":\"Missing\\/invalid data in the remote response\"}", 2},
        // An answer without the members it must have.
        {"empty", "info", "{\"error\":604,\"errorstring\":\"Missing\\/invalid data in the remote response\"}", 2},
        // No info yet: no key to give the new session's key to.
        {"digest", "createsession",
         "{\"error\":606,\"errorstring\":\"Cannot process remote create session - no info, no RSA keys or level < "
         "Advanced?\"}",
         0},
        {"digest", "login",
         "{\"error\":608,\"errorstring\":\"Cannot process remote login - no info, no RSA keys or level < "
         "Advanced?\"}",
         0},
    };
    int index = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.mode);
        StandIn remote(c.mode, root / (std::string(c.mode) + ".log"));
        ASSERT_GT(remote.port, 0);
        const std::string name = std::string("r") + c.mode + c.method;
        ASSERT_EQ(tavix_comm_remote_server_define(name.c_str(), "127.0.0.1", remote.port, 1), index++);
        EXPECT_EQ(Body(Ask(Post(c.method, "", ", servername=\"" + name + "\""))), c.body);
        EXPECT_EQ(remote.Requests().size(), c.requests);
    }
    for (const tavix_remote_link &l : tavix_remote_table.links) EXPECT_EQ(l.in_use, 0u);
    EXPECT_EQ(std::count(logged.begin(), logged.end(), "Content-Length negative or too large"), 2);

    // A page without an HTTP login cannot answer the challenge.
    tavix_engine_session_clear();
    tavix_auth_clear();
    int code = 0;
    ASSERT_EQ(tavix_engine_session_create(tavix_sys_get_current_monotonous_time(), "60", "pagekey", false, "tavIX", "",
                                          nullptr, false, &page, &code),
              0);
    cnonce = 0;
    StandIn remote("digest", root / "anon.log");
    ASSERT_EQ(tavix_comm_remote_server_define("anon", "127.0.0.1", remote.port, 1), index);
    EXPECT_EQ(Body(Ask(Post("info", "", ", servername=\"anon\""))),
              "{\"error\":613,\"errorstring\":\"No or lost own authentication while handshaking the HTTP auth\"}");
    EXPECT_EQ(Body(Ask(Post("login", "", ", servername=\"anon\""))),
              "{\"error\":611,\"errorstring\":\"Client not logged into multipoint server\"}");
}

// A forwarded login: to a remote server with the form login it carries the
// password encrypted with the remote key and the digest over the remote
// session, as a page would; to one with an HTTP login (where "login" does
// nothing) only the user name. The user's HA1, as good as the password for a
// Digest login, never goes out.
TEST_F(WebRemote, AForwardedLoginCarriesWhatTheRemoteLoginMethodNeedsAndNeverTheHa1) {
    const std::string ha1 = "226f2a0adcb0f34a56dc9c2f26248223";  // MD5 of "op:tavIX:pw"
    StandIn http("digest", root / "http.log");
    ASSERT_GT(http.port, 0);
    ASSERT_EQ(tavix_comm_remote_server_define("plc2", "127.0.0.1", http.port, 1), 0);
    const std::string to = ", servername=\"plc2\"", on = to + ", serversessionid=\"0000002a\"";
    ASSERT_EQ(Ask(Post("info", "", to)).rfind("HTTP/1.0 200 OK\r\n", 0), 0u);
    ASSERT_EQ(Ask(Post("createsession", "", to)).rfind("HTTP/1.0 200 OK\r\n", 0), 0u);
    EXPECT_NE(Body(Ask(Post("login", "", on))).find("\"form\": {\"username\": [\"op\"]}}"), std::string::npos);
    std::vector<std::string> seen = http.Requests();
    ASSERT_FALSE(seen.empty());
    EXPECT_NE(seen.back().find("\"body\": \"username=op\"}"), std::string::npos) << seen.back();
    for (const std::string &l : seen) EXPECT_EQ(l.find(ha1), std::string::npos) << l;

    // This server with the Basic login: the password is known here.
    tavix_engine_session_clear();
    tavix_auth_clear();
    tavix_options_set_auth_options(1, "tavIX");
    int code = 0;
    ASSERT_EQ(tavix_engine_session_create(tavix_sys_get_current_monotonous_time(), "60", "pagekey", false, "tavIX",
                                          "op", "pw", false, &page, &code),
              0);
    cnonce = 0;
    StandIn form("form", root / "form.log");
    ASSERT_GT(form.port, 0);
    ASSERT_EQ(tavix_comm_remote_server_define("plc3", "127.0.0.1", form.port, 1), 1);
    const std::string to3 = ", servername=\"plc3\"", on3 = to3 + ", serversessionid=\"0000002a\"";
    ASSERT_EQ(Ask(Post("info", "", to3)).rfind("HTTP/1.0 200 OK\r\n", 0), 0u);
    EXPECT_EQ(tavix_comm_remote_server_get(1)->login_form, 1u);
    ASSERT_EQ(Ask(Post("createsession", "", to3)).rfind("HTTP/1.0 200 OK\r\n", 0), 0u);
    EXPECT_EQ(Body(Ask(Post("login", "", on3))), "{}");
    seen = form.Requests();
    ASSERT_FALSE(seen.empty());
    EXPECT_NE(seen.back().find("passwordcipher="), std::string::npos) << seen.back();
    for (const std::string &l : seen) EXPECT_EQ(l.find(ha1), std::string::npos) << l;
    // Without a remote session there is no session to log into.
    EXPECT_EQ(Body(Ask(Post("login", "", to3))),
              "{\"error\":608,\"errorstring\":\"Cannot process remote login - no info, no RSA keys or level < "
              "Advanced?\"}");
}
