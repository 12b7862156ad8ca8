// The web server's connections in process, through the real dispatcher on a
// loopback listener of the test's own: every record taken by half-sent
// requests, a request's own deadline, the files its folder may serve, Digest
// nonce counts taken once, Basic credentials with a NUL, and the TLS problem
// line held to one a minute.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "media/filex.h"
#include "platform/plat_net.h"
#include "platform/plat_tls.h"
#include "tavIXsdk/tavixsdk/tavix_auth.h"
#include "tavIXsdk/tavixsdk/tavix_comm.h"
#include "tavIXsdk/tavixsdk/tavix_engine.h"
#include "tavIXsdk/tavixsdk/tavix_util.h"
#include "tests/support/loopback.h"
#include "tests/support/temp_root.h"
#include "tests/support/web_clock.h"

namespace {

std::vector<std::string> logged;

// n bytes that depend on their position, with no short period.
std::string Pattern(std::size_t n) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; i++) s[i] = char((i * 131 + (i >> 10)) & 0xFF);
    return s;
}

// Twice the most a socket's send buffer holds on this system, and more.
std::string LargerThanASendBuffer() {
    std::size_t most = 4u << 20;
    std::ifstream("/proc/sys/net/ipv4/tcp_wmem") >> most >> most >> most;
    return Pattern(2 * most + 12345);
}

// What follows an answer's header.
std::string Body(const std::string &answer) {
    const std::size_t at = answer.find("\r\n\r\n");
    return at == std::string::npos ? "<no header end>" : answer.substr(at + 4);
}

void Write(const std::string &path, const std::string &data) { std::ofstream(path, std::ios::binary) << data; }

struct WebConn : ::testing::Test {
    test_support::TempRoot root;
    test_support::WebClock clock;
    int listener = -1;
    uint16_t port = 0;
    std::string www;

    void SetUp() override {
        tavix_options_initialize();
        tavix_global_options.error_cb = [](const char *t) { logged.emplace_back(t); };
        logged.clear();
        tavix_options_set_auth_options(0, "tavIX");
        tavix_comm_state_initialize();
        tavix_comm_set_cb(tavix_engine_receive_comm_data, nullptr, nullptr);
        tavix_auth_initialize();
        tavix_engine_hooks = {};
        www = root / "mnt/USB0/tavIX/wwwroot";
        for (const char *d : {"mnt", "mnt/USB0", "mnt/USB0/tavIX", "mnt/USB0/tavIX/wwwroot", "mnt/cfg"})
            mkdir((root / d).c_str(), 0700);
        Write(www + "/index.htm", "<p>in</p>");
        tavix_options_set_web_root(www.c_str(), "index.htm");
        listener = Listen();
        tavix_comm_state.http_listener = listener;
        tavix_timer_start_imp(&tavix_comm_state.timer);
    }
    void TearDown() override {
        tavix_comm_mainloop_exit();  // drops every connection, closes the listeners
        tavix_comm_free();
        tavix_auth_clear();
        tavix_buffer_free_all();
        tavix_options_free();
    }
    // A non-blocking listener (the dispatcher accepts until none is left).
    int Listen() {
        const int s = test_support::LoopbackBind(&port);
        EXPECT_NE(port, 0);
        fcntl(s, F_SETFL, fcntl(s, F_GETFL) | O_NONBLOCK);
        return s;
    }
    int Connect(const std::string &first) const {
        int r = -1;
        const int s = test_support::LoopbackDial(port, &r);
        EXPECT_EQ(r, 0);
        EXPECT_EQ(send(s, first.data(), first.size(), 0), ssize_t(first.size()));
        return s;
    }
    // Moves the server clock units half seconds on.
    static void Age(uint64_t units) { test_support::WebClock::Advance(units); }
    static uint32_t InUse() {
        uint32_t n = 0;
        for (const tavix_connection &c : tavix_comm_state.conns) n += c.in_use;
        return n;
    }
    // Runs cycles until the predicate holds (at most 10 s).
    template <typename P>
    static bool Until(P pred) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < end) {
            tavix_comm_mainloop_accept_conn();
            if (pred()) return true;
            usleep(1000);
        }
        return pred();
    }
    // What a client got before the server closed, running cycles meanwhile;
    // "<open>" appended when it did not close within 10 s.
    static std::string Answer(int s) {
        std::string out;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < end) {
            // As the web thread runs them: a wait, then the cycle serving what it found.
            tavix_comm_wait(0);
            tavix_comm_mainloop_accept_conn();
            struct pollfd p {
                s, POLLIN, 0
            };
            if (poll(&p, 1, 1) <= 0) continue;
            char buf[4096];
            const ssize_t n = recv(s, buf, sizeof buf, 0);
            if (n <= 0) return out;
            out.append(buf, std::size_t(n));
        }
        return out + "<open>";
    }
    // A few cycles, time for bytes on loopback to arrive and be read.
    static void Cycles() {
        for (int k = 0; k < 20; k++) {
            tavix_comm_mainloop_accept_conn();
            usleep(1000);
        }
    }
    // A client with a small window that sent GET url and reads nothing yet.
    int SlowReader(const char *url) const {
        const int s = socket(AF_INET, SOCK_STREAM, 0);
        const int window = 4096;
        setsockopt(s, SOL_SOCKET, SO_RCVBUF, &window, sizeof window);
        EXPECT_EQ(test_support::LoopbackConnect(s, port), 0);
        const std::string get = std::string("GET ") + url + " HTTP/1.0\r\n\r\n";
        EXPECT_EQ(send(s, get.data(), get.size(), 0), ssize_t(get.size()));
        return s;
    }
    // 1 while a connection's answer is not all out of the server.
    static bool AnswerWaiting() {
        for (const tavix_connection &c : tavix_comm_state.conns)
            if (c.in_use && c.send_head != nullptr) return true;
        return false;
    }
    // What a client got until the server closed, read 8 KB at a time between
    // cycles; "<open>" appended when it did not close within 20 s.
    static std::string ReadSlowly(int s) {
        std::string got;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        for (ssize_t n = 1; n > 0 && std::chrono::steady_clock::now() < end;) {
            tavix_comm_mainloop_accept_conn();
            char buf[8192];
            n = recv(s, buf, sizeof buf, MSG_DONTWAIT);
            if (n > 0) got.append(buf, std::size_t(n));
            if (n < 0 && errno == EAGAIN) n = 1;
            if (n == 0) return got;
        }
        return got + "<open>";
    }
    // A self-signed certificate from openssl, TLS made ready and an HTTPS
    // listener of the test's own (its port in port).
    bool ListenTls() {
        const std::string key = root / "k.pem", cert = root / "c.pem", pem = root / "server.pem";
        const std::string cmd = "openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=plc -days 2 -keyout " + key +
                                " -out " + cert + " 2>/dev/null && cat " + cert + " " + key + " > " + pem;
        if (std::system(cmd.c_str()) != 0) return false;
        tavix_options_set_https_options(nullptr, 443, pem.c_str(), nullptr);
        if (tavix_comm_prepare() != 0 || tavix_comm_tls_ready() != 1) return false;
        tavix_comm_state.https_listener = Listen();
        return true;
    }
    static bool Closed(int s) {
        char b;
        return recv(s, &b, 1, MSG_DONTWAIT) == 0;
    }
    tavix_buffer *Get(const char *url) {
        tavix_buffer *req = tavix_buffer_get(TAVIX_BUF_REQ_HEADER, 64, 4096, false);
        const std::string r = std::string("GET ") + url + " HTTP/1.0\r\n\r\n";
        tavix_buffer_put_data(req, r.data(), uint32_t(r.size()));
        tavix_connection c{};
        c.in_use = 1;
        c.sock = -1;
        return tavix_engine_handle_request(&c, req);
    }
    static std::string Status(tavix_buffer *b) {
        const std::string t(reinterpret_cast<char *>(b->data), b->length);
        tavix_buffer_return(b);
        return t.substr(0, t.find("\r\n"));
    }
};

const char kTimeout[] = "HTTP/1.0 408 Request Timeout\r\nContent-Length: 0\r\n\r\n";

}  // namespace

TEST_F(WebConn, HalfSentRequestsAreDisplacedOldestFirstAndEndAtTheirDeadline) {
    std::vector<int> slow;
    for (uint32_t i = 0; i < TAVIX_MAX_CONNECTIONS; i++) {
        slow.push_back(Connect("G"));
        // One at a time, so that the records are taken in the clients' order.
        ASSERT_TRUE(Until([&] { return InUse() == i + 1 && tavix_comm_state.conns[i].receiving; })) << i;
    }
    for (const tavix_connection &c : tavix_comm_state.conns) EXPECT_EQ((c.receiving << 1) | c.served, 2u);
    // Every record held: a whole request displaces the oldest half-sent one.
    const int normal = Connect("GET /index.htm HTTP/1.0\r\n\r\n");
    const std::string answer = Answer(normal);
    close(normal);
    EXPECT_EQ(answer.substr(0, 17), "HTTP/1.0 200 OK\r\n");
    EXPECT_EQ(answer.substr(answer.size() - 9), "<p>in</p>");
    EXPECT_TRUE(Until([&] { return Closed(slow[0]); }));
    EXPECT_FALSE(Closed(slow[1]));
    EXPECT_EQ(InUse(), TAVIX_MAX_CONNECTIONS - 1);

    // Bytes every few units do not move the deadline: 40 units from the first byte.
    const int late = Connect("GE");
    ASSERT_TRUE(Until([&] { return InUse() == TAVIX_MAX_CONNECTIONS; }));
    // The half-sent requests start their clocks now: the real time the set-up
    // took on a loaded machine does not count against them.
    const uint64_t start = tavix_sys_get_current_monotonous_time();
    for (tavix_connection &c : tavix_comm_state.conns)
        if (c.receiving) c.request_start = start;
    for (int k = 0; k < 3; k++) {
        Age(12);
        ASSERT_EQ(send(slow[1], "T", 1, 0), 1);
        ASSERT_EQ(send(late, "T", 1, 0), 1);
        Cycles();
    }
    EXPECT_FALSE(Closed(slow[1]));  // 36 units: a trickle every 12 would have kept it open
    Age(4);
    EXPECT_EQ(Answer(slow[1]), kTimeout);
    EXPECT_EQ(Answer(late), kTimeout);
    EXPECT_TRUE(Until([] { return InUse() == 0; }));
    EXPECT_EQ(Answer(slow[TAVIX_MAX_CONNECTIONS - 1]), kTimeout);
    for (int s : slow) close(s);
    close(late);
}

TEST_F(WebConn, AWholeRequestEndsTheClockAndAServedConnectionIsNotDisplaced) {
    // Header and body in three pieces: the clock runs from the first.
    const std::string a = "POST /x HTTP/1.0\r\nContent-Le", b = "ngth: 4\r\n\r\nab";
    const int post = Connect(a);
    tavix_connection &first = tavix_comm_state.conns[0];
    ASSERT_TRUE(Until([&] { return first.receiving == 1; }));
    const uint64_t start = first.request_start;
    Age(10);
    ASSERT_EQ(send(post, b.data(), b.size(), 0), ssize_t(b.size()));
    ASSERT_TRUE(Until([&] { return first.pending != nullptr && first.pending->length == a.size() + b.size(); }));
    EXPECT_EQ(first.request_start, start);
    EXPECT_EQ(first.receiving, 1u);
    // Its last bytes make it whole: answered, and with nothing more from its
    // client, closed at once (its record as it was at the close).
    static tavix_connection at_drop;
    tavix_comm_set_cb(
        tavix_engine_receive_comm_data, [](tavix_connection *c) { at_drop = *c; }, nullptr);
    ASSERT_EQ(send(post, "cd", 2, 0), 2);
    const std::string answer = Answer(post);
    close(post);
    EXPECT_EQ(answer.substr(0, 9), "HTTP/1.0 ");
    EXPECT_EQ(answer.find("<open>"), std::string::npos);
    EXPECT_EQ(first.in_use, 0u);
    EXPECT_EQ(at_drop.served, 1u);
    EXPECT_EQ(at_drop.receiving, 0u);
    // A served connection still in its record (one read to its end), the
    // rest half-sent requests: a new connection takes the oldest of theirs,
    // never the one that was served, though it came first.
    ASSERT_EQ(tavix_comm_take_record(), &first);
    first.id = 1;
    first.accept_seq = 1;
    first.served = 1;
    const uint32_t served_id = first.id;
    for (uint32_t i = 1; i < TAVIX_MAX_CONNECTIONS; i++) {
        tavix_connection *c = tavix_comm_take_record();
        ASSERT_NE(c, nullptr);
        c->accept_seq = 1000 - i;  // the last one taken is the oldest
    }
    tavix_connection *next = tavix_comm_take_record();
    ASSERT_EQ(next, &tavix_comm_state.conns[TAVIX_MAX_CONNECTIONS - 1]);
    EXPECT_EQ(next->accept_seq, 0u);  // a fresh record
    EXPECT_EQ(tavix_comm_state.conns[TAVIX_MAX_CONNECTIONS - 2].accept_seq, 1000u - (TAVIX_MAX_CONNECTIONS - 2));
    EXPECT_EQ(first.id, served_id);
    EXPECT_EQ(first.in_use, 1u);
    // Records that all carry a whole request are not taken.
    for (tavix_connection &c : tavix_comm_state.conns) c.served = 1;
    EXPECT_EQ(tavix_comm_take_record(), nullptr);
}

// A request line without a version is a whole request: answered without a
// blank line after it. Two requests in one write are both answered, in order.
TEST_F(WebConn, ASimpleRequestIsAnsweredAtOnceAndTwoInOneWriteInOrder) {
    tavix_engine_hooks.utc_now = [] { return 784111777u; };
    const std::string ok =
        "HTTP/1.0 200 OK\r\nServer: TavIX SDK/0.9.0\r\nDate: Sun, 06 Nov 1994 08:49:37 GMT\r\nContent-Length: 9\r\n"
        "Content-Type: text/html\r\n\r\n<p>in</p>";
    const int simple = Connect("GET /index.htm\r\n");
    EXPECT_EQ(Answer(simple), ok);
    close(simple);
    const std::string missing =
        "HTTP/1.0 404 Not Found\r\nServer: TavIX SDK/0.9.0\r\nDate: Sun, 06 Nov 1994 08:49:37 GMT\r\nContent-Length: "
        "134\r\nContent-Type: text/html; charset=utf-8\r\n\r\n<!DOCTYPE html><html><head><title>404 Not Found</title>"
        "</head><body><h1>Not Found</h1><p>Requested Entity: /none.htm</p></body></html>";
    const int two = Connect("GET /index.htm HTTP/1.0\r\n\r\nGET /none.htm HTTP/1.0\r\n\r\n");
    EXPECT_EQ(Answer(two), ok + missing);
    close(two);
}

// A body of the whole request limit (131,072 bytes) waits in the pending
// buffer until complete and is then answered; one byte more is refused.
TEST_F(WebConn, ABodyOfTheWholeRequestLimitIsFramedAndAnswered) {
    const std::string json = "{\"error\":501,\"errorstring\":\"Not implemented\"}";
    const int s = Connect("POST /x HTTP/1.0\r\nContent-Length: 131072\r\n\r\n");
    const std::string body = Pattern(131072);
    std::thread writer([&] {
        for (std::size_t at = 0; at < body.size();) {
            const ssize_t n = send(s, body.data() + at, body.size() - at, 0);
            if (n <= 0) break;
            at += std::size_t(n);
        }
    });
    const std::string answer = Answer(s);
    writer.join();
    close(s);
    EXPECT_EQ(answer.substr(0, 17), "HTTP/1.0 200 OK\r\n");
    EXPECT_EQ(Body(answer), json);
    logged.clear();
    const int over = Connect("POST /x HTTP/1.0\r\nContent-Length: 131073\r\n\r\n");
    EXPECT_EQ(Answer(over), "");
    close(over);
    EXPECT_EQ(logged, std::vector<std::string>{"Content-Length negative or too large"});
}

TEST_F(WebConn, NamesThroughSymbolicLinksAreNotServed) {
    const std::string outside = root / "outside";
    mkdir(outside.c_str(), 0700);
    Write(outside + "/index.htm", "secret");
    Write(root / "mnt/cfg/autoreg.dta", "registers");
    symlink((outside + "/index.htm").c_str(), (www + "/lnk.txt").c_str());
    symlink((root / "mnt/cfg").c_str(), (www + "/cfglnk").c_str());
    symlink(outside.c_str(), (www + "/outdir").c_str());
    mkdir((www + "/pages").c_str(), 0700);
    symlink((outside + "/index.htm").c_str(), (www + "/pages/index.htm").c_str());
    for (const char *url : {"/lnk.txt", "/cfglnk/autoreg.dta", "/outdir/", "/outdir", "/pages/", "/cfglnk/"})
        EXPECT_EQ(Status(Get(url)), "HTTP/1.0 404 Not Found") << url;
    EXPECT_EQ(Status(Get("/index.htm")), "HTTP/1.0 200 OK");

    // The walk itself: from the drive's mount folder down, whatever the start given.
    std::string p = www + "/index.htm";
    EXPECT_TRUE(Fx_HostLinkFree(p.data(), www.size()));
    p = www + "/cfglnk/autoreg.dta";
    EXPECT_FALSE(Fx_HostLinkFree(p.data(), www.size()));
    p = www + "/missing/deeper.htm";
    EXPECT_TRUE(Fx_HostLinkFree(p.data(), www.size()));
    EXPECT_EQ(p, www + "/missing/deeper.htm");  // left as it was
    rename((root / "mnt/USB0/tavIX").c_str(), (root / "mnt/USB0/real").c_str());
    symlink((root / "mnt/USB0/real").c_str(), (root / "mnt/USB0/tavIX").c_str());
    p = www + "/index.htm";
    EXPECT_FALSE(Fx_HostLinkFree(p.data(), www.size())) << "a link above the web folder, on the drive";
    // Off the drives only what lies past the start is walked.
    p = outside + "/index.htm";
    symlink(outside.c_str(), (root / "outlink").c_str());
    std::string via = root / "outlink/index.htm";
    EXPECT_TRUE(Fx_HostLinkFree(via.data(), via.size() - 10));
    EXPECT_FALSE(Fx_HostLinkFree(via.data(), root.path().size()));
}

TEST_F(WebConn, TheQueryOfAUrlIsCutBeforeItsLengthOrItsBytesCount) {
    // The query goes whatever its length or its bytes: the file is served.
    const std::string query(300, 'q');
    EXPECT_EQ(Status(Get(("/index.htm?v=" + query).c_str())), "HTTP/1.0 200 OK");
    EXPECT_EQ(Status(Get("/index.htm?v=%00")), "HTTP/1.0 200 OK");
    EXPECT_EQ(Status(Get("/index.htm#%00")), "HTTP/1.0 200 OK");
    // A NUL in the path itself, or a path longer than the room for it, names no file.
    EXPECT_EQ(Status(Get("/index%00.htm")), "HTTP/1.0 404 Not Found");
    EXPECT_EQ(Status(Get(("/" + std::string(300, 'a')).c_str())), "HTTP/1.0 404 Not Found");
}

TEST_F(WebConn, DigestNonceCountsAreTakenOnceAndBasicRefusesANul) {
    auto digest = [](const tavix_identity *, const char *password, char *ha1, int *code) {
        if (password != nullptr && std::string(password) != "secret1") {
            *code = 405;
            return -1;
        }
        std::snprintf(ha1, 33, "%s", "a9866e24426444567e0b2446f9f8db75");  // md5 of admin:tavIX:secret1
        return 0;
    };
    tavix_auth_callbacks = {nullptr, digest, nullptr};
    tavix_global_options.auth_method = 2;
    Age(100);
    auto md5 = [](const std::string &s) {
        char hex[33];
        tavix_md5_hex(s.data(), s.size(), hex);
        return std::string(hex);
    };
    auto header = [&](const char *nonce, const char *nc) {
        const std::string resp =
            md5("a9866e24426444567e0b2446f9f8db75:" + std::string(nonce) + ":" + nc + ":c1:auth:" + md5("GET:/x"));
        return std::string("Digest username=\"admin\", realm=\"tavIX\", nonce=\"") + nonce +
               "\", uri=\"/x\", response=\"" + resp + "\", qop=auth, nc=" + nc + ", cnonce=\"c1\"\r\n";
    };
    auto verify = [&](const char *nonce, const char *nc, int *code, bool *stale) {
        tavix_identity who{};
        return tavix_auth_verify_auth_header(nullptr, header(nonce, nc).c_str(), "GET", "/x", &who, code, stale);
    };
    char nonce[33];
    tavix_auth_make_nonce(nonce, tavix_sys_get_current_monotonous_time());
    int code = 0;
    bool stale = true;
    // Each count once; a lower one unseen within the last 32 passes (requests
    // of one browser may overtake each other), one 32 or more below does not.
    const struct {
        const char *nc;
        int result, code;
    } steps[] = {{"00000001", 0, 0},    {"00000001", -1, 405}, {"00000003", 0, 0}, {"00000002", 0, 0},
                 {"00000002", -1, 405}, {"00000003", -1, 405}, {"00000024", 0, 0}, {"00000004", -1, 405},
                 {"00000005", 0, 0},    {"00000005", -1, 405}, {"ffffffff", 0, 0}, {"00000024", -1, 405}};
    for (const auto &s : steps) {
        code = 0;
        const int r = verify(nonce, s.nc, &code, &stale);
        // The code only means something for a refusal.
        EXPECT_EQ(std::make_pair(r, r == 0 ? 0 : code), std::make_pair(s.result, s.code)) << s.nc;
        EXPECT_FALSE(stale) << s.nc;
    }
    // 64 nonces tracked: a 65th lets the oldest go, which then counts as stale.
    char second[33], n[33];
    tavix_auth_make_nonce(second, tavix_sys_get_current_monotonous_time());
    EXPECT_EQ(verify(second, "00000001", &code, &stale), 0);
    for (int k = 0; k < 62; k++) {
        tavix_auth_make_nonce(n, tavix_sys_get_current_monotonous_time());
        ASSERT_EQ(verify(n, "00000001", &code, &stale), 0) << k;
    }
    EXPECT_EQ(verify(nonce, "ffffffff", &code, &stale), -1);  // still tracked: a replay
    EXPECT_EQ(code, 405);
    EXPECT_FALSE(stale);
    tavix_auth_make_nonce(n, tavix_sys_get_current_monotonous_time());
    EXPECT_EQ(verify(n, "00000001", &code, &stale), 0);
    EXPECT_EQ(verify(nonce, "00000007", &code, &stale), -1);
    EXPECT_EQ(code, 401);
    EXPECT_TRUE(stale);
    EXPECT_EQ(verify(second, "00000002", &code, &stale), 0);
    EXPECT_EQ(verify(second, "00000002", &code, &stale), -1);
    EXPECT_EQ(code, 405);
    EXPECT_FALSE(stale);
    // A nonce past its 60 units frees its place without raising the floor.
    const uint64_t floor = tavix_auth_table.use_floor;
    Age(61);
    tavix_auth_make_nonce(n, tavix_sys_get_current_monotonous_time());
    EXPECT_EQ(verify(n, "00000001", &code, &stale), 0);
    tavix_auth_make_nonce(n, tavix_sys_get_current_monotonous_time());
    EXPECT_EQ(verify(n, "00000001", &code, &stale), 0);
    EXPECT_EQ(tavix_auth_table.use_floor, floor);

    // Basic: a NUL anywhere in the decoded text fails the login (base64 from python).
    tavix_global_options.auth_method = 1;
    tavix_identity who{};
    EXPECT_EQ(
        tavix_auth_verify_auth_header(nullptr, "Basic YWRtaW46c2VjcmV0MQ==\r\n", "GET", "/x", &who, &code, &stale), 0);
    for (const char *b64 : {"YWRtaW46c2VjcmV0MQB4", "YWRtaW4AOnNlY3JldDE=", "YWRtaW46c2VjcmV0MQA="}) {
        code = 0;
        EXPECT_EQ(tavix_auth_verify_auth_header(nullptr, (std::string("Basic ") + b64 + "\r\n").c_str(), "GET", "/x",
                                                &who, &code, &stale),
                  -1)
            << b64;
        EXPECT_EQ(code, 406) << b64;
    }
    tavix_auth_callbacks = {};
}

TEST_F(WebConn, PlainTextOnTheTlsPortIsReportedOnceAMinuteWithACount) {
    ASSERT_TRUE(ListenTls());  // the clients below connect to it
    auto plain = [&](int times) {
        for (int k = 0; k < times; k++) {
            const int s = Connect("GET / HTTP/1.0\r\n\r\n");
            EXPECT_EQ(Answer(s), "");
            close(s);
        }
    };
    auto lines = [] {
        std::vector<std::string> out;
        for (const std::string &l : logged)
            if (l.rfind("SSL read problem", 0) == 0) out.push_back(l);
        return out;
    };
    // SSL_read answers -1 with SSL_ERROR_SSL (1) for bytes that are no TLS record.
    plain(5);
    EXPECT_EQ(lines(), std::vector<std::string>{"SSL read problem: -1, 1"});
    Age(119);
    plain(1);
    EXPECT_EQ(lines().size(), 1u);
    // A minute on, the tick prints what was held back, with its count.
    Age(1);
    ASSERT_TRUE(Until([&] { return lines().size() == 2; }));
    EXPECT_EQ(lines()[1], "SSL read problem: -1, 1 (5 times)");
    plain(2);
    Age(120);
    plain(1);  // the next one after a minute goes out at once, with the two before it
    EXPECT_EQ(lines().size(), 3u);
    EXPECT_EQ(lines().back(), "SSL read problem: -1, 1 (3 times)");
}

TEST_F(WebConn, FileAnswersArriveWholeAndASlowReaderHoldsNobodyUp) {
    const std::string mid = Pattern(100 * 1024), big = Pattern(1024 * 1024);
    Write(www + "/100k.bin", mid);
    Write(www + "/1m.bin", big);
    for (const auto &[url, length, want] : {std::tuple{"/100k.bin", "102400", &mid}, {"/1m.bin", "1048576", &big}}) {
        const int s = Connect(std::string("GET ") + url + " HTTP/1.0\r\n\r\n");
        const std::string a = Answer(s);
        close(s);
        EXPECT_EQ(a.substr(0, a.find("\r\n")), "HTTP/1.0 200 OK") << url;
        EXPECT_NE(a.find(std::string("\r\nContent-Length: ") + length + "\r\n"), std::string::npos) << url;
        const std::string body = Body(a);
        EXPECT_EQ(body.size(), want->size()) << url;
        EXPECT_TRUE(body == *want) << url << ": the bytes differ";
    }

    // A reader with a small window that takes nothing: its answer, larger
    // than the most the system's send buffer holds, waits for room while
    // another client is answered.
    const std::string huge = LargerThanASendBuffer();
    Write(www + "/huge.bin", huge);
    const int slow = SlowReader("/huge.bin");
    ASSERT_TRUE(Until(AnswerWaiting));
    const int quick = Connect("GET /index.htm HTTP/1.0\r\n\r\n");
    const std::string a = Answer(quick);
    close(quick);
    EXPECT_EQ(a.substr(0, a.find("\r\n")), "HTTP/1.0 200 OK");
    EXPECT_EQ(Body(a), "<p>in</p>");
    EXPECT_TRUE(AnswerWaiting()) << "the slow reader's answer is still on its way";
    // Taken a little at a time, the slow reader's answer is whole too.
    const std::string got = ReadSlowly(slow);
    close(slow);
    EXPECT_EQ(Body(got).size(), huge.size());
    EXPECT_TRUE(Body(got) == huge) << "the slow reader's bytes differ";
}

TEST_F(WebConn, AClientThatShutsItsWriteSideAfterItsRequestGetsTheWholeAnswerAndThenTheClose) {
    // As "nc -N" and some HTTP libraries do: the request, then a FIN, then
    // the answer is read. The end of the client's stream does not cut the
    // answer still queued; once it is out the connection is closed.
    const std::string huge = LargerThanASendBuffer();
    Write(www + "/huge.bin", huge);
    const int slow = SlowReader("/huge.bin");
    ASSERT_TRUE(Until(AnswerWaiting));
    ASSERT_EQ(shutdown(slow, SHUT_WR), 0);
    Cycles();
    const std::string got = ReadSlowly(slow);
    close(slow);
    ASSERT_GE(got.size(), 6u);
    EXPECT_NE(got.substr(got.size() - 6), "<open>");
    EXPECT_EQ(Body(got).size(), huge.size());
    EXPECT_TRUE(Body(got) == huge) << "the half-closed client's bytes differ";
    EXPECT_TRUE(Until([] { return InUse() == 0; }));
}

TEST_F(WebConn, AFileCutShortUnderItsAnswerEndsTheConnection) {
    const std::string huge = LargerThanASendBuffer();
    Write(www + "/huge.bin", huge);
    const int slow = SlowReader("/huge.bin");
    ASSERT_TRUE(Until(AnswerWaiting));
    ASSERT_EQ(truncate((www + "/huge.bin").c_str(), 1000), 0);
    const std::string got = ReadSlowly(slow);
    close(slow);
    ASSERT_GE(got.size(), 6u);
    EXPECT_NE(got.substr(got.size() - 6), "<open>");
    EXPECT_LT(Body(got).size(), huge.size());
    EXPECT_FALSE(AnswerWaiting());
    EXPECT_EQ(InUse(), 0u);
    EXPECT_NE(std::find(logged.begin(), logged.end(), "file read problem: 0, 0"), logged.end());
}

TEST_F(WebConn, AFileAnswerOverTlsArrivesWhole) {
    ASSERT_TRUE(ListenTls());
    const std::string big = Pattern(1024 * 1024);
    Write(www + "/1m.bin", big);
    const std::string out = root / "got.bin", url = "https://127.0.0.1:" + std::to_string(port) + "/1m.bin";
    const char *argv[] = {"curl", "-sk", "--max-time", "20", "-o", out.c_str(), url.c_str(), nullptr};
    pid_t pid = -1;
    ASSERT_EQ(posix_spawnp(&pid, "curl", nullptr, nullptr, const_cast<char *const *>(argv), environ), 0);
    int status = -1;
    const bool ended = Until([&] { return waitpid(pid, &status, WNOHANG) == pid; });
    if (!ended) kill(pid, SIGKILL), waitpid(pid, &status, 0);
    ASSERT_TRUE(ended);
    EXPECT_EQ(status, 0);
    std::ifstream f(out, std::ios::binary);
    const std::string got((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    EXPECT_EQ(got.size(), big.size());
    EXPECT_TRUE(got == big) << "the bytes over TLS differ";
}

// Without a usable TLS library HTTPS is refused with its line and HTTP is
// served as before.
TEST_F(WebConn, WithoutTheTlsLibraryOnlyHttpIsServed) {
    const struct {
        const char *library, *line;
    } cases[] = {{"libplc-absent-tls.so", "Cannot load SSL library"},
                 {"libc.so.6", "Cannot find SSL methods in the DLL"}};
    const char *const *libraries = plat_tls_libraries;
    const std::string pem = root / "server.pem";
    Write(pem, "no key here");
    tavix_options_set_https_options(nullptr, 443, pem.c_str(), nullptr);
    for (const auto &c : cases) {
        const char *const names[] = {c.library, nullptr};
        PLAT_TlsClose();
        plat_tls_libraries = names;
        logged.clear();
        EXPECT_EQ(tavix_comm_prepare(), -1) << c.library;
        EXPECT_EQ(tavix_comm_tls_ready(), 0) << c.library;
        EXPECT_EQ(logged, std::vector<std::string>{c.line});
        plat_tls_libraries = libraries;
        const int s = Connect("GET /index.htm HTTP/1.0\r\n\r\n");
        const std::string a = Answer(s);
        close(s);
        EXPECT_EQ(a.substr(0, a.find("\r\n")), "HTTP/1.0 200 OK");
        EXPECT_EQ(Body(a), "<p>in</p>");
    }
}

// A listener that cannot be opened is said and answered -1; the one that
// did open is served on a running server clock, by which idle connections
// and sessions still end.
TEST_F(WebConn, AnHttpsPortInUseLeavesHttpServedOnARunningClock) {
    ASSERT_TRUE(ListenTls());
    // The test's HTTPS stand-in keeps its port taken; its HTTP one gives way.
    const int busy = tavix_comm_state.https_listener;
    const uint16_t busy_port = port;
    close(tavix_comm_state.http_listener);
    tavix_comm_state.http_listener = tavix_comm_state.https_listener = -1;
    port = test_support::LoopbackFreePort();
    tavix_options_set_http_options(nullptr, port);
    tavix_global_options.https_port = busy_port;
    tavix_timer_init_imp(&tavix_comm_state.timer);  // as set up: not yet started
    tavix_comm_state.shutdown = 1;
    logged.clear();
    plat_net = &plat_net_own;
    EXPECT_EQ(tavix_comm_mainloop(), -1);
    plat_net = nullptr;
    close(busy);
    EXPECT_EQ(logged, std::vector<std::string>{"open_listening_port(" + std::to_string(busy_port) +
                                               "): Address already in use"});
    EXPECT_EQ(tavix_comm_state.https_listener, -1);
    ASSERT_GE(tavix_comm_state.http_listener, 0);
    EXPECT_EQ(tavix_comm_state.shutdown, 0u);
    Age(3);
    EXPECT_EQ(tavix_sys_get_current_monotonous_time(), 3u);
    const int s = Connect("GET /index.htm HTTP/1.0\r\n\r\n");
    const std::string a = Answer(s);
    close(s);
    EXPECT_EQ(a.substr(0, a.find("\r\n")), "HTTP/1.0 200 OK");
    EXPECT_EQ(Body(a), "<p>in</p>");
}

// An answer larger than its buffer's limit never goes out: the line is said,
// the write side is shut, and the connection goes when its client closes or
// its idle time-out ends.
// A client that resets its connection is dropped without a line.
TEST_F(WebConn, AnOverflowedAnswerShutsTheWriteSideAndAResetIsDroppedSilently) {
    const int s = Connect("");  // no request yet
    ASSERT_TRUE(Until([] { return InUse() == 1; }));
    uint32_t id = 0;
    for (const tavix_connection &c : tavix_comm_state.conns)
        if (c.in_use) id = c.id;
    tavix_buffer *b = tavix_buffer_get(TAVIX_BUF_DATA, 16, 16, false);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(tavix_buffer_put_data(b, "0123456789abcdef0123", 20), 0);
    ASSERT_NE(tavix_buffer_is_overflowed(b), 0);
    logged.clear();
    ASSERT_EQ(tavix_comm_send_id(id, b), 0);
    EXPECT_TRUE(Until([s] { return Closed(s); })) << "the write side is shut, nothing sent";
    EXPECT_EQ(logged, std::vector<std::string>{"Tried to send an overflowed buffer, dropping the connection"});
    EXPECT_EQ(InUse(), 1u);
    // Requests its client still sends cannot be answered: they are read and
    // let go, queue no answers, say the line no more and do not keep the
    // connection from its idle time-out.
    Age(60);
    const std::string more = "GET /index.htm HTTP/1.0\r\n\r\n";
    for (int k = 0; k < 2; k++) {
        ASSERT_EQ(send(s, more.data(), more.size(), 0), ssize_t(more.size()));
        Cycles();
    }
    EXPECT_EQ(logged, std::vector<std::string>{"Tried to send an overflowed buffer, dropping the connection"});
    uint32_t queued = 0;
    for (const tavix_connection &c : tavix_comm_state.conns)
        if (c.in_use)
            for (const tavix_buffer *q = c.send_head; q != nullptr; q = q->send_next) queued++;
    EXPECT_EQ(queued, 1u);
    // Nothing more can go out on it: a client that never closes loses it
    // after the idle time-out like any idle connection (60 s, 120 units).
    Age(60);
    Cycles();
    EXPECT_EQ(InUse(), 1u);
    Age(1);
    EXPECT_TRUE(Until([] { return InUse() == 0; }));
    close(s);

    const int r = Connect("GET /index.htm HTTP/1.0\r\n");
    ASSERT_TRUE(Until([] { return InUse() == 1; }));
    Cycles();  // the half request read
    const struct linger reset { 1, 0 };
    ASSERT_EQ(setsockopt(r, SOL_SOCKET, SO_LINGER, &reset, sizeof reset), 0);
    logged.clear();
    close(r);
    EXPECT_TRUE(Until([] { return InUse() == 0; }));
    EXPECT_EQ(logged, std::vector<std::string>{});
}

// Connection ids count from 1 and, after 0xFFFFFFFF, on from 1: never 0.
TEST_F(WebConn, ConnectionIdsStartAtOneAndPassOverZeroWhenTheyWrap) {
    tavix_connection *a = tavix_comm_take_record();
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->id, 1u);
    tavix_comm_state.next_id = 0xFFFFFFFE;
    tavix_connection *b = tavix_comm_take_record(), *c = tavix_comm_take_record(), *d = tavix_comm_take_record();
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(std::make_tuple(b->id, c->id, d->id), std::make_tuple(0xFFFFFFFEu, 0xFFFFFFFFu, 1u));
    for (tavix_connection *k : {a, b, c, d}) tavix_comm_drop_connection(k);
}

TEST_F(WebConn, AWorkersAnswerByIdNeverLandsOnTheConnectionThatTookItsRecordOver) {
    tavix_connection *c = tavix_comm_take_record();
    ASSERT_NE(c, nullptr);
    const uint32_t id = c->id;
    // The worker sends while the web thread holds the connection lock, under
    // which it drops the connection and gives its record to the next one.
    pthread_mutex_lock(&tavix_comm_state.lock);
    int sent = 99;
    std::thread worker([&] { sent = tavix_comm_send_id(id, tavix_buffer_get(TAVIX_BUF_DATA, 16, 4096, true)); });
    usleep(100000);
    c->id = id + 1;
    pthread_mutex_unlock(&tavix_comm_state.lock);
    worker.join();
    EXPECT_EQ(sent, -1);
    EXPECT_EQ(c->send_head, nullptr);
    tavix_comm_drop_connection(c);
}

TEST_F(WebConn, ADisconnectDropsAConnectionStillConnectingAndClosesAnOtherOnceItsAnswerIsOut) {
    tavix_connection *a = tavix_comm_take_record(), *b = tavix_comm_take_record();
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    a->connecting = 1;
    tavix_comm_disconnect(a);
    EXPECT_EQ(a->in_use, 0u);
    b->interest = TAVIX_WANT_READ;
    tavix_comm_disconnect(b);
    EXPECT_EQ(std::make_tuple(b->in_use, b->closing, b->interest),
              std::make_tuple(1u, 1u, TAVIX_WANT_READ | TAVIX_WANT_WRITE));
    tavix_comm_drop_connection(b);
}
