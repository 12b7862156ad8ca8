// The web server's connection dispatcher: the HTTP and HTTPS listeners, the
// browser connections, their send chains, and TLS from the system's libssl,
// opened at run time so that a machine without it still serves plain HTTP.
#pragma once

#include <cstdint>
#include <poll.h>
#include <pthread.h>

#include "tavIXsdk/tavixsdk/tavix_buffer.h"

constexpr uint32_t TAVIX_MAX_CONNECTIONS = 128;
constexpr uint32_t TAVIX_SCRATCH_SIZE = 16384;
constexpr uint32_t TAVIX_RECV_SIZE = 4096;
// A request (a TLS handshake included) must arrive whole, header and body,
// within this many server time units (20 s) of its first byte; trickling
// does not extend it.
constexpr uint64_t TAVIX_REQUEST_DEADLINE = 40;
// TLS problem lines are printed at most once per this many units (a minute).
constexpr uint64_t TAVIX_SSL_REPORT_UNITS = 120;

// Interest bits.
constexpr uint32_t TAVIX_WANT_READ = 1, TAVIX_WANT_WRITE = 2, TAVIX_WANT_EXCEPT = 4;

struct tavix_connection;
struct tavix_identity;
// A connection's own identity callback (set by a host of the raw request
// interface that knows its peer): nonzero when it names the user of this
// request in *who, whom the access check then takes without credentials.
using tavix_identity_cb = int (*)(tavix_connection *c, const char *authorization, const char *method, const char *url,
                                  tavix_identity *who);

struct tavix_connection {
    uint32_t id;
    int sock;
    uint32_t kind;  // 0 accepted, 1 outgoing
    uint32_t in_use;
    uint32_t silent_drop;
    uint32_t keep_alive;
    int32_t remote_index;
    uint32_t long_poll;
    uint32_t interest;
    void *cleanup_arg;
    void (*cleanup)(void *);
    uint32_t tls;
    void *ssl;
    uint32_t closing;
    uint32_t write_shut;
    uint32_t peer_shut;  // the client ended its stream (a half-close) while its answer was still going out
    uint32_t connecting;
    uint32_t drop;   // to be dropped at the end of its read
    uint32_t fresh;  // accepted in this cycle: read at once
    uint64_t connect_time;
    uint64_t last_request;   // server time of the last received bytes
    uint64_t request_start;  // server time of the first byte of the request being received
    uint64_t accept_seq;     // order of acceptance: the oldest is displaced first
    uint32_t receiving;      // 1 from a request's first byte until it is handed on whole
    uint32_t served;         // 1 once a whole request was handed on
    uint32_t timed_out;      // the request missed its deadline: answered 408 and dropped
    uint32_t read_drained;   // the last read took all the socket held
    uint32_t read_wants_read, write_wants_write, read_wants_write, write_wants_read;
    tavix_buffer *recv;
    tavix_buffer *pending;
    tavix_buffer *send_head, *send_tail;
    void *session;
    tavix_identity_cb identity;
};

using tavix_receive_cb = void (*)(tavix_connection *c, tavix_buffer *received);
using tavix_dropped_cb = void (*)(tavix_connection *c);
using tavix_tick_cb = void (*)(uint64_t now);

struct tavix_comm_state_t {
    tavix_receive_cb receive;
    tavix_dropped_cb dropped;
    tavix_tick_cb tick;
    void *ssl_ctx;
    int http_listener, https_listener;
    uint32_t shutdown;
    uint8_t *scratch;
    pthread_mutex_t lock;
    uint32_t next_id;
    uint32_t idle_cycles, active_cycles;
    uint64_t accept_count;  // connections accepted since start (their accept_seq)
    // TLS problem lines held back: count since the last line, the last values.
    uint64_t ssl_report_time;
    uint32_t ssl_reported, ssl_held;
    const char *ssl_text;
    int ssl_result, ssl_error;
    uint32_t connection_timeout;  // seconds without a request before a connection is dropped
    tavix_timer timer;
    tavix_connection conns[TAVIX_MAX_CONNECTIONS];
    // The readiness set of the last wait, served by the next cycle instead
    // of a poll of its own: the listeners, then connections (their records
    // and ids when the set was made); poll's answer; 1 while not yet served.
    struct pollfd set_fds[TAVIX_MAX_CONNECTIONS + 2];
    tavix_connection *set_who[TAVIX_MAX_CONNECTIONS + 2];
    uint32_t set_ids[TAVIX_MAX_CONNECTIONS + 2];
    uint32_t set_count;
    int set_ready;
    uint32_t set_fresh;
};
extern tavix_comm_state_t tavix_comm_state;

// Sets up the state (listeners closed, ids from 1, the scratch buffer); 0 or -1.
int tavix_comm_state_initialize();
void tavix_comm_set_cb(tavix_receive_cb receive, tavix_dropped_cb dropped, tavix_tick_cb tick);
int tavix_comm_initialize();
// Initialises TLS when a certificate is configured; 0 or negative.
int tavix_comm_prepare();
// Opens the listeners and starts the timer; 0, or -1 when a listener cannot be opened.
int tavix_comm_mainloop();
// One cycle: serves what the last wait found ready (or, without a wait
// since the last cycle, what a poll without waiting finds).
void tavix_comm_mainloop_accept_conn();
int tavix_comm_send(tavix_connection *c, tavix_buffer *b);
int tavix_comm_send_id(uint32_t id, tavix_buffer *b);
void tavix_comm_disconnect(tavix_connection *c);
// A non-blocking outgoing connection (remote servers); the socket, or -1.
int tavix_comm_connect(uint32_t address, uint16_t port, bool tls, int32_t remote_index, tavix_connection **out);
void tavix_comm_drop_connection(tavix_connection *c);
// A free connection record; with every record taken, the record of the
// oldest accepted connection that has not handed on a whole request (nor
// carries an answer) is dropped and taken. Null when none can be had.
tavix_connection *tavix_comm_take_record();
// The next connection id (never 0), for a record its host keeps (raw interface).
uint32_t tavix_comm_next_id();
// Marks for dropping the connections past their idle time-out or their
// request deadline at server time now.
void tavix_comm_expire(uint64_t now);
void tavix_comm_signal_shutdown();
void tavix_comm_mainloop_exit();
void tavix_comm_free();
// Frees what the TLS library keeps for the calling thread; the web thread's last call.
void tavix_comm_thread_stop();
// Waits up to ms for input or room on any socket the next cycle serves,
// whose readiness the next cycle takes; answers like poll.
int tavix_comm_wait(int ms);
// Server time: half seconds on the dispatcher's timer.
uint64_t tavix_sys_get_current_monotonous_time();
// 1 while HTTPS can be served (libssl loaded and a context made).
int tavix_comm_tls_ready();
