// Remote servers: a page's session can name another server of the same kind
// ("servername" in its session header); its requests are then forwarded
// there on a remote session this server keeps for the page, signed with that
// session's header, through the remote server's HTTP login, and the remote
// answers are handed back to the page.
#pragma once

#include <cstdint>

#include "tavIXsdk/tavixsdk/tavix_buffer.h"
#include "tavIXsdk/tavixsdk/tavix_comm.h"
#include "tavIXsdk/tavixsdk/tavix_rsa.h"
#include "tavIXsdk/tavixsdk/tavix_session.h"

constexpr uint32_t TAVIX_REMOTE_SERVERS_MAX = 256;
constexpr uint32_t TAVIX_REMOTE_LINKS_MAX = 64;
constexpr uint32_t TAVIX_REMOTE_SESSIONS_MAX = 64;
constexpr uint32_t TAVIX_REMOTE_WORK_SIZE = 4096;
constexpr uint32_t TAVIX_REMOTE_MODULUS_MAX = 512;  // bytes

// Request kinds of a forwarding link.
enum : uint32_t { TAVIX_RK_INFO = 0, TAVIX_RK_CREATESESSION, TAVIX_RK_DELETESESSION, TAVIX_RK_LOGIN, TAVIX_RK_OTHER };
// Address states of a remote server.
enum : uint32_t { TAVIX_RS_UNRESOLVED = 0, TAVIX_RS_FAILED, TAVIX_RS_RESOLVED, TAVIX_RS_INFO };

struct tavix_remote_session {
    uint32_t in_use;
    int32_t server;
    char id[16];
    char key[40];
    uint32_t counter;  // the next cnonce
    uint64_t last_use;
    char master[9];  // the page's session
};

struct tavix_remote_link {
    uint32_t in_use;
    int32_t server;
    tavix_connection *client, *conn;
    uint32_t client_id, conn_id;  // records are reused: the ids tell them apart
    tavix_buffer *request;        // the forwarded request, kept for a resend
    uint32_t kind;
    char master[9];
    char target_id[16];  // the remote session the request names, or the one being created
    char target_key[40];
    char uri[256];
};

struct tavix_remote_server {
    uint32_t index;
    char name[64];
    char host[128];
    uint16_t port;
    uint32_t enabled;
    uint32_t address;  // IPv4, host order
    uint32_t state;
    uint64_t resolve_time;
    uint64_t timeout;  // remote sessions unused this long (server time) are expired
    // What its "info" answer told.
    uint32_t level;  // 0 basic, 1 advanced, 2 scada, 3 multipoint
    uint32_t login_form;
    uint32_t long_poll, max_timeout, security;
    tavix_rsa_key *key;
    char prefix[64];
    uint8_t random[8];
    char *work;  // TAVIX_REMOTE_WORK_SIZE bytes
    uint64_t last_use;
};

struct tavix_remote_table_t {
    tavix_remote_server *servers[TAVIX_REMOTE_SERVERS_MAX];
    uint32_t count;
    uint64_t last_tick;
    tavix_remote_link links[TAVIX_REMOTE_LINKS_MAX];
    tavix_remote_session sessions[TAVIX_REMOTE_SESSIONS_MAX];
};
extern tavix_remote_table_t tavix_remote_table;

void tavix_comm_remote_server_initialize();
// Appends a server and resolves its host; the index, or -1.
int tavix_comm_remote_server_define(const char *name, const char *host, uint16_t port, uint32_t flag);
tavix_remote_server *tavix_comm_remote_server_get(int index);
// Index of the server of this exact name, -1 when none.
int tavix_comm_remote_server_find(const char *name);
int tavix_comm_remote_server_enable(const char *name, uint32_t flag);
tavix_remote_session *tavix_comm_remote_server_find_session(int index, const char *master, const char *remote_id);
void tavix_comm_remote_server_resolve(tavix_remote_server *s, uint64_t now);
// The largest "maxtimeout" a remote server's "info" answer reported (server
// time units); 0 without one.
uint64_t tavix_comm_remote_server_max_timeout();
void tavix_comm_remote_server_tick(uint64_t now);
// Connects and sends the link's request; 0, or -1 when no connection can be made.
int tavix_comm_remote_server_send(int index, tavix_connection *client, tavix_buffer *request, tavix_remote_link **out);
int tavix_comm_remote_server_resend(int index, tavix_remote_link *link);
// Rewrites a page's request for the remote server and sends it: null when it
// went out (the answer comes later), else the JSON error to give the page.
tavix_buffer *tavix_comm_remote_server_handle_mangle_remote_request(tavix_session *master, int index,
                                                                    tavix_remote_session *remote,
                                                                    tavix_connection *client, tavix_buffer *request);
// The dispatcher's receive for connections to remote servers: frames the answer.
void tavix_comm_remote_server_receive(tavix_connection *c, tavix_buffer *received);
// One whole answer on a link's connection.
void tavix_comm_remote_server_handle_response(tavix_connection *c, const char *answer, uint32_t length);
// A connection went away: a waiting page gets 601; a page gone closes its link.
void tavix_comm_remote_server_dropped_connection(tavix_connection *c);
// Remote sessions of a page session that ends.
void tavix_comm_remote_server_delete_session(const char *master);
void tavix_comm_remote_server_clear();
void tavix_comm_remote_server_free();
