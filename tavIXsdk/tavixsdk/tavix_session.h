// Sessions of the web server: the table, creation with an RSA-encrypted key,
// verification of the "X-TavIX" header (MD5 over the key and a counter nonce,
// with replay protection), deletion and expiry on two clocks.
#pragma once

#include <cstdint>
#include <pthread.h>

#include "tavIXsdk/tavixsdk/tavix_buffer.h"
#include "tavIXsdk/tavixsdk/tavix_comm.h"

constexpr uint32_t TAVIX_SESSIONS_MAX = 64;

struct tavix_publish_item;
struct tavix_frame;

struct tavix_session {
    char id[9];
    char *key;
    uint64_t timeout;      // server time units
    uint64_t last_access;  // server time
    int32_t highest_cnonce;
    int32_t window[8];  // newest first; -1 empty
    uint32_t accepted;  // bit k: highest - k was accepted
    uint32_t aborted;
    pthread_mutex_t queue_lock, items_lock;
    tavix_buffer *parked;  // parked long poll
    tavix_connection *parked_conn;
    uint32_t parked_conn_id;  // records are reused: the id tells the waiting connection apart
    uint64_t parked_time;
    uint32_t parked_max;
    uint32_t last_activity;  // controller clock, UTC seconds
    tavix_frame *frames;     // subscription frames, in creation order
    uint32_t frame_count;
    tavix_publish_item *queue_head, *queue_tail;  // notifications for "publish"
    uint32_t queue_count;
    uint32_t overflow_logged;
    uint32_t answer_now;  // a parked long poll is answered at the next tick
};

struct tavix_session_table_t {
    tavix_session *sessions[TAVIX_SESSIONS_MAX];  // sorted by id
    uint32_t count;
    uint32_t next_number;
    pthread_rwlock_t lock;
    uint64_t last_expiry;
    uint32_t connection_timeout;  // seconds: requests must come within twice this
    uint32_t inactivity_timeout;  // seconds of controller clock without activity
    // Called with the session number when a session ends (the controller's login records).
    void (*logout)(uint32_t number);
    // Called when a session with an HTTP login creates a frame (the login records).
    void (*login)(uint32_t number, const char *user, uint32_t time);
};
extern tavix_session_table_t tavix_session_table;

int tavix_engine_session_initialize();
// 0 with the session, or -1 with the code (450, 457, 402, 407, 900).
int tavix_engine_session_create(uint64_t now, const char *timeout_text, const char *key, bool key_encrypted,
                                const char *realm, const char *user, const void *password_or_ha1, bool ha1_given,
                                tavix_session **out, int *code);
struct tavix_remote_session;
// 0 with the session and its index, or the code (454, 453, 451, 403, 462;
// 601 and 603 for a remote server or remote session that is not there).
// With "servername", the remote server's index (else -1) and the remote
// session "serversessionid" names (else null).
int tavix_engine_session_verify_header(const char *value, tavix_session **out, int *index, int *remote_index = nullptr,
                                       tavix_remote_session **remote = nullptr);
// The session's user data: its authentication entry when that names a user
// (and the level option is above 0), else null.
struct tavix_auth_entry;
const tavix_auth_entry *tavix_engine_session_get_user_data(const tavix_session *s);
// Calls the application's user-information callback with a request of kind
// 5 for the session and the user (null: none).
void tavix_engine_session_user_info(tavix_session *s, const char *realm, const char *user);
int tavix_engine_session_get_id(const char *id, tavix_session **out, int *index, int *code);
int tavix_engine_session_delete_idx(int index);
void tavix_engine_session_delete_expired(uint64_t now, void (*teardown)(tavix_session *));
void tavix_engine_session_clear();
void tavix_engine_session_free();
