// The web server's request path through the real dispatcher on random
// operations: loopback clients connect, send pieces of requests, close; the
// server clock jumps; cycles run, after a wait or not. With byte 0 odd, 124 records are first held
// by half-sent requests so that new connections displace them. Each input
// ends with every connection dropped and every client closed.
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "tavIXsdk/tavixsdk/tavix_comm.h"
#include "tavIXsdk/tavixsdk/tavix_engine.h"
#include "tavIXsdk/tavixsdk/tavix_util.h"
#include "tests/support/loopback.h"

namespace {

void Quiet(const char *) {}

uint16_t port;
constexpr std::size_t kClientsMax = 12;
constexpr uint32_t kHeld = 124;

bool Setup() {
    tavix_options_initialize();
    tavix_global_options.error_cb = Quiet;
    tavix_options_set_auth_options(0, "tavIX");
    tavix_comm_state_initialize();
    tavix_comm_set_cb(tavix_engine_receive_comm_data, nullptr, nullptr);
    mkdir("/tmp/fuzz-webconn", 0700);
    // A page larger than a socket takes at once: its answer goes out over cycles.
    if (FILE *f = std::fopen("/tmp/fuzz-webconn/index.htm", "wb")) {
        std::fputs("<html>", f);
        for (int i = 0; i < 4096; i++) std::fputs("<p>0123456789abcdef</p>\n", f);
        std::fputs("</html>", f);
        std::fclose(f);
    }
    tavix_options_set_web_root("/tmp/fuzz-webconn", "index.htm");
    const int l = test_support::LoopbackBind(&port);
    // Room for every client of an input: a connect never waits on the backlog.
    if (port == 0 || listen(l, 64) != 0) return false;
    fcntl(l, F_SETFL, fcntl(l, F_GETFL) | O_NONBLOCK);  // accepted until none is left
    tavix_comm_state.http_listener = l;
    tavix_timer_start_imp(&tavix_comm_state.timer);
    return true;
}

int Connect() {
    int r = -1;
    const int s = test_support::LoopbackDial(port, &r);
    if (r != 0) {
        close(s);
        return -1;
    }
    return s;
}

// A record held by a half-sent request on one end of a socket pair.
void Hold(std::vector<int> &peers) {
    int sp[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, sp) != 0) return;
    tavix_connection *c = tavix_comm_take_record();
    if (c == nullptr) {
        close(sp[0]);
        close(sp[1]);
        return;
    }
    c->id = 0x80000000u + uint32_t(peers.size());
    c->sock = sp[0];
    c->interest = TAVIX_WANT_READ | TAVIX_WANT_EXCEPT;
    c->recv = tavix_buffer_get(TAVIX_BUF_DATA, TAVIX_RECV_SIZE, TAVIX_RECV_SIZE, false);
    c->accept_seq = ++tavix_comm_state.accept_count;
    c->receiving = 1;
    c->request_start = tavix_sys_get_current_monotonous_time();
    peers.push_back(sp[1]);
    (void)!write(sp[1], "GET /", 5);
}

void Drain(int s) {
    char buf[4096];
    while (recv(s, buf, sizeof buf, MSG_DONTWAIT) > 0) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const bool ready = Setup();
    if (!ready || size < 1) return 0;
    std::vector<int> clients, peers;
    if (data[0] & 1) {
        for (uint32_t i = 0; i < kHeld; i++) Hold(peers);
    }
    std::size_t at = 1;
    auto next = [&]() -> uint8_t { return at < size ? data[at++] : 0; };
    while (at < size) {
        const uint8_t op = next();
        switch (op % 6) {
        case 0:
            if (clients.size() < kClientsMax) clients.push_back(Connect());
            break;
        case 1: {  // a piece of bytes from one client
            if (clients.empty()) break;
            const int s = clients[next() % clients.size()];
            const std::size_t n = next() % 64;
            const std::size_t take = n < size - at ? n : size - at;
            if (s >= 0 && take > 0) (void)!send(s, data + at, take, MSG_NOSIGNAL | MSG_DONTWAIT);
            at += take;
            break;
        }
        case 2: {  // a client closes or shuts its write side
            if (clients.empty()) break;
            int &s = clients[next() % clients.size()];
            if (s < 0) break;
            if (op & 0x80) {
                shutdown(s, SHUT_WR);
            } else {
                close(s);
                s = -1;
            }
            break;
        }
        case 3: tavix_comm_state.timer.start -= next() % 48; break;  // the server clock jumps
        default: {
            const int cycles = 1 + op % 3;
            for (int k = 0; k < cycles; k++) {
                if (op & 0x40) tavix_comm_wait(0);  // the cycle then serves what the wait found
                tavix_comm_mainloop_accept_conn();
            }
            for (int s : clients)
                if (s >= 0) Drain(s);
            break;
        }
        }
    }
    // Cycles until no connection waits on the listener (a cycle may take one
    // at a time), so the next input starts with an empty queue.
    struct pollfd listener {
        tavix_comm_state.http_listener, POLLIN, 0
    };
    for (int k = 0; k < 3 || (k < 200 && poll(&listener, 1, 0) > 0); k++) tavix_comm_mainloop_accept_conn();
    for (tavix_connection &c : tavix_comm_state.conns) {
        if (c.in_use) {
            c.silent_drop = 1;
            tavix_comm_drop_connection(&c);
        }
    }
    for (int s : clients)
        if (s >= 0) close(s);
    for (int s : peers) close(s);
    return 0;
}
