// Access check of the web server: HTTP Basic and Digest (MD5, qop "auth")
// against the application's password-digest callback, the 401 challenge with
// a stateless nonce, the application's access callback, and the table of
// authentication entries that holds each session's login identity.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tavIXsdk/tavixsdk/tavix_buffer.h"
#include "tavIXsdk/tavixsdk/tavix_comm.h"

constexpr std::size_t TAVIX_NAME_MAX = 64;

struct tavix_identity {
    char realm[TAVIX_NAME_MAX];
    char user[TAVIX_NAME_MAX];
    uint8_t ha1[16];                // of the verified login (zero when anonymous)
    char password[TAVIX_NAME_MAX];  // of a Basic login (empty for Digest)
};

// Callbacks of the application.
struct tavix_auth_callbacks_t {
    // Nonzero grants; *code 405 or 401 or another code when refused.
    int (*access)(const char *method, const char *url, void *context, const tavix_identity *who, int *code);
    // The HA1 of a user as 32 hexadecimal characters; negative when unknown.
    int (*digest)(const tavix_identity *who, const char *password, char *ha1_hex, int *code);
    // Rights of a user (Part of the user-information request); may be unset.
    void (*user_info)(void *context, const tavix_identity *who);
};
extern tavix_auth_callbacks_t tavix_auth_callbacks;

struct tavix_auth_entry {
    char realm[TAVIX_NAME_MAX];
    char user[TAVIX_NAME_MAX];
    uint64_t last_use;
    uint8_t key_digest[16];
    uint8_t ha1[16];
    char password[TAVIX_NAME_MAX];
    bool used;
};
constexpr uint32_t TAVIX_AUTH_ENTRIES_MAX = 64;
// Nonce counts seen per Digest nonce: the highest, and a window of the 32
// below it (bit k: highest - k seen), so a count is taken once.
struct tavix_nonce_use {
    uint64_t key;  // issue time << 16 | challenge counter, from the nonce's first 12 characters; 0 free
    uint32_t top;
    uint32_t window;
};
constexpr uint32_t TAVIX_NONCE_USES_MAX = 64;
struct tavix_auth_table_t {
    uint8_t secret[16];
    uint16_t counter;
    uint32_t count;
    tavix_auth_entry entries[TAVIX_AUTH_ENTRIES_MAX];  // sorted by key digest
    tavix_nonce_use uses[TAVIX_NONCE_USES_MAX];
    uint64_t use_floor;  // nonces at or below it are no longer tracked: taken as stale
};
extern tavix_auth_table_t tavix_auth_table;

int tavix_auth_initialize();
void tavix_auth_clear();
void tavix_auth_free();
void tavix_auth_expire_auth_data(uint64_t now, uint64_t age);

// The 32-character server nonce for now, NUL-terminated.
void tavix_auth_make_nonce(char out[33], uint64_t now);
// The 401 challenge; extra is appended to the Digest parameters.
tavix_buffer *tavix_auth_generate_401_response(bool keep_alive, const char *extra);
// 0 when valid; else -1 with *code, and *stale set for a stale Digest nonce.
int tavix_auth_verify_auth_header(tavix_connection *c, const char *authorization, const char *method, const char *url,
                                  tavix_identity *who, int *code, bool *stale);
// 1 granted; 0 with a 401 or 403 in *response.
int tavix_auth_verify_access(tavix_connection *c, const char *authorization, const char *method, const char *url,
                             void *context, tavix_identity *who, tavix_buffer **response);

// Authentication entries keyed by the MD5 of a session key.
tavix_auth_entry *tavix_auth_insert_auth_data(const char *key);
tavix_auth_entry *tavix_auth_find_auth_data(const char *key);
void tavix_auth_remove_auth_data(const char *key);
void tavix_auth_fill_authdata(bool ha1_given, const char *realm, const char *user, const void *password_or_ha1,
                              tavix_auth_entry *e);
// Clears an entry's identity (realm, user, HA1, password), keeping its key
// digest (its place in the table), in use, last used now.
void tavix_auth_data_clear(tavix_auth_entry *e);

// The 16 bytes of an HA1 text that the password-digest callback answered
// (a buffer of room bytes): 0 when the whole text, up to its NUL, is 32
// hexadecimal characters; -1 otherwise (the callers' 403).
int tavix_auth_decode_ha1(const char *text, std::size_t room, uint8_t out[16]);

// MD5 helpers (LibTomCrypt): digest of a text, and its lower-case hex form.
void tavix_md5(const void *data, std::size_t n, uint8_t out[16]);
void tavix_md5_hex(const void *data, std::size_t n, char out[33]);

// The engine's access hook: the request's Authorization field through
// tavix_auth_verify_access (identity kept for the request hook).
int tavix_auth_engine_access(tavix_connection *c, const char *method, const char *url, tavix_buffer *request,
                             tavix_buffer **response);
// The identity of the request being handled (empty user: anonymous).
extern tavix_identity tavix_auth_current;

// Client side, towards remote servers: the nonces their challenges gave.
struct tavix_nonce_entry {
    uint8_t key_digest[16];
    uint64_t received;
    bool qop_auth;
    uint32_t count;
    char nonce[128];
    char opaque[128];
    char realm[TAVIX_NAME_MAX];
};
constexpr uint32_t TAVIX_NONCES_MAX = 2 * TAVIX_AUTH_ENTRIES_MAX;
struct tavix_nonce_table_t {
    uint32_t count;
    tavix_nonce_entry entries[TAVIX_NONCES_MAX];  // sorted by key digest
};
extern tavix_nonce_table_t tavix_nonce_table;

// Takes a remote server's WWW-Authenticate value for key; 0, or -1 with the
// code (615 unsupported qop or algorithm, 616 malformed, 407 table full).
int tavix_auth_parse_digest_header(const char *key, const char *value, tavix_nonce_entry **out, int *code);
// The Authorization value (with its "\r\n") for a request to a remote server;
// 0, or -1 with the code (613 no nonce, 614 other realm, 616 too long, 508).
int tavix_auth_generate_auth_header(const char *key, bool digest, const char *method, const char *uri,
                                    const tavix_auth_entry *who, char *out, std::size_t size, int *code);
