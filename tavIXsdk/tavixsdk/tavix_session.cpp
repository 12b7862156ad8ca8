// Web server sessions.
#include "tavIXsdk/tavixsdk/tavix_session.h"
#include "tavIXsdk/tavixsdk/tavix_remote.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tavIXsdk/tavixsdk/tavix_auth.h"
#include "tavIXsdk/tavixsdk/tavix_engine.h"
#include "tavIXsdk/tavixsdk/tavix_rsa.h"
#include "tavIXsdk/tavixsdk/tavix_subs.h"
#include "tavIXsdk/tavixsdk/tavix_sys.h"
#include "tavIXsdk/tavixsdk/tavix_util.h"

tavix_session_table_t tavix_session_table;

namespace {

auto &T = tavix_session_table;
bool lock_made;

uint32_t Capacity() {
    const uint32_t n = tavix_global_options.max_sessions;
    return n == 0 || n > TAVIX_SESSIONS_MAX ? TAVIX_SESSIONS_MAX : n;
}

uint32_t UtcNow() {
    return tavix_engine_hooks.utc_now != nullptr ? tavix_engine_hooks.utc_now() : uint32_t(time(nullptr));
}

// A parameter name="value" of the header (value up to its closing quote).
bool Param(const char *v, std::size_t n, const char *name, char *out, std::size_t room, bool *malformed) {
    const std::size_t nl = std::strlen(name);
    for (std::size_t i = 0; i + nl + 2 <= n; i++) {
        if (std::strncmp(v + i, name, nl) != 0 || v[i + nl] != '=' || v[i + nl + 1] != '"') continue;
        if (i > 0 && v[i - 1] != ' ' && v[i - 1] != ',') continue;
        std::size_t k = 0;
        for (std::size_t p = i + nl + 2;; p++) {
            if (p >= n || v[p] == '\r' || v[p] == 0 || k + 1 >= room) {
                *malformed = true;
                return false;
            }
            if (v[p] == '"') break;
            out[k++] = v[p];
        }
        out[k] = 0;
        return true;
    }
    return false;
}

int Find(const char *id) {
    int lo = 0, hi = int(T.count);
    while (lo < hi) {
        const int mid = (lo + hi) / 2;
        const int c = std::strncmp(T.sessions[mid]->id, id, 9);
        if (c == 0) return mid;
        if (c < 0)
            lo = mid + 1;
        else
            hi = mid;
    }
    return -1;
}

// Replay check over the accepted counter nonces (bit k: highest - k taken).
int Replay(tavix_session *s, int64_t cnonce) {
    if (cnonce < 1 || cnonce > 0x7FFFFFFF) return 462;
    const int64_t d = cnonce - int64_t(s->highest_cnonce);
    const bool empty = s->window[0] < 0;
    uint32_t mask = s->accepted;
    if (!empty && (d == 0 || d >= 65536 || d < -7)) return 462;
    if (d < 0) {
        if (mask & (1u << (-d))) return 462;
        mask |= 1u << (-d);
    } else {
        for (int k = 7; k > 0; k--) s->window[k] = s->window[k - 1];
        s->window[0] = int32_t(cnonce);
        s->highest_cnonce = int32_t(cnonce);
        mask = (d >= 8 ? 0u : (mask << d) & 0xFFu) | 1u;
    }
    s->accepted = mask;
    return 0;
}

void FreeSession(tavix_session *s) {
    // Frames first: an item's callback runs when its last frame lets go.
    while (s->frames != nullptr) {
        tavix_frame *f = s->frames;
        s->frames = f->next;
        int code = 0;
        tavix_engine_subscription_frame_unsubscribe_all(f, &code);
        tavix_engine_subscription_frame_free(f);
    }
    tavix_engine_session_clear_notification_queue(s);
    if (s->key != nullptr) {
        tavix_auth_remove_auth_data(s->key);
        std::free(s->key);
    }
    tavix_buffer_return(s->parked);
    // The record still waiting on its poll (a host's record of the raw
    // interface too, which the loop below does not see) lets go of it.
    if (tavix_connection *c = s->parked_conn;
        c != nullptr && c->in_use && c->id == s->parked_conn_id && c->session == s) {
        c->session = nullptr;
        c->long_poll = 0;
    }
    tavix_comm_remote_server_delete_session(s->id);
    // No connection keeps a link to a session that is gone.
    for (tavix_connection &c : tavix_comm_state.conns)
        if (c.session == s) c.session = nullptr;
    tavix_lock_mutex_destroy(&s->queue_lock);
    tavix_lock_mutex_destroy(&s->items_lock);
    std::free(s);
}

}  // namespace

int tavix_engine_session_initialize() {
    T.count = 0;
    T.next_number = 1;
    // The controller sets both from its configuration; these are the defaults.
    if (T.connection_timeout == 0) T.connection_timeout = 60;
    if (T.inactivity_timeout == 0) T.inactivity_timeout = 300;
    if (!lock_made && tavix_lock_rw_init(&T.lock) != 0) {
        tavix_util_error("Initializing of session rw mutex failed!");
        return -1;
    }
    lock_made = true;
    return 0;
}

int tavix_engine_session_create(uint64_t now, const char *timeout_text, const char *key, bool key_encrypted,
                                const char *realm, const char *user, const void *password_or_ha1, bool ha1_given,
                                tavix_session **out, int *code) {
    tavix_lock_rw_lock_write(&T.lock);
    int rc = -1;
    tavix_session *s = nullptr;
    char plain[512];
    do {
        if (T.count >= Capacity()) {
            *code = 450;
            break;
        }
        if (key == nullptr || key[0] == 0) {
            *code = 457;
            break;
        }
        uint64_t timeout = tavix_global_options.session_timeout;
        if (timeout_text != nullptr && timeout_text[0] != 0) {
            const uint64_t t = std::strtoull(timeout_text, nullptr, 10);
            timeout = t == 0 ? 1 : t;
        }
        if (timeout > tavix_global_options.session_timeout) timeout = tavix_global_options.session_timeout;
        if (key_encrypted) {
            if (tavix_auth_rsa_decrypt(key, plain, sizeof plain) < 0) {
                *code = 402;
                break;
            }
        } else {
            std::snprintf(plain, sizeof plain, "%s", key);
        }
        const uint32_t method = tavix_global_options.auth_method;
        if (method >= 1 && method <= 4) {
            tavix_auth_entry *e = tavix_auth_insert_auth_data(plain);
            if (e == nullptr) {
                *code = 407;
                break;
            }
            // An entry left behind under this key starts afresh (used now).
            tavix_auth_data_clear(e);
            tavix_auth_fill_authdata(ha1_given, realm, user, password_or_ha1, e);
        }
        s = static_cast<tavix_session *>(std::calloc(1, sizeof(tavix_session)));
        if (s == nullptr || (s->key = tavix_strdup(plain)) == nullptr) {
            std::free(s);
            s = nullptr;
            *code = 900;
            break;
        }
        std::snprintf(s->id, sizeof s->id, "%08x", T.next_number);
        s->timeout = timeout;
        s->last_access = now;
        for (int32_t &w : s->window) w = -1;
        s->last_activity = UtcNow();
        tavix_lock_mutex_initialize(&s->queue_lock);
        tavix_lock_mutex_initialize(&s->items_lock);
        T.sessions[T.count++] = s;
        T.next_number = T.next_number + 1 == 0 ? 1 : T.next_number + 1;
        *out = s;
        rc = 0;
    } while (false);
    tavix_lock_rw_unlock_write(&T.lock);
    // The page learns who it is: the HTTP login's user, none otherwise.
    const uint32_t m = tavix_global_options.auth_method;
    if (rc == 0) tavix_engine_session_user_info(s, realm, m >= 1 && m <= 4 ? user : nullptr);
    return rc;
}

const tavix_auth_entry *tavix_engine_session_get_user_data(const tavix_session *s) {
    if (s == nullptr || s->key == nullptr || tavix_global_options.level == 0) return nullptr;
    const tavix_auth_entry *e = tavix_auth_find_auth_data(s->key);
    return e != nullptr && e->user[0] != 0 ? e : nullptr;
}

void tavix_engine_session_user_info(tavix_session *s, const char *realm, const char *user) {
    if (tavix_auth_callbacks.user_info == nullptr || s == nullptr) return;
    tavix_request r = tavix_request_make(TAVIX_REQ_USER, nullptr, s);
    tavix_identity who{};
    if (user != nullptr && user[0] != 0) {
        std::snprintf(who.realm, sizeof who.realm, "%s", realm != nullptr ? realm : "");
        std::snprintf(who.user, sizeof who.user, "%s", user);
        r.username = who.user;
    }
    tavix_auth_callbacks.user_info(&r, r.username != nullptr ? &who : nullptr);
}

int tavix_engine_session_verify_header(const char *value, tavix_session **out, int *index, int *remote_index,
                                       tavix_remote_session **remote) {
    if (remote_index != nullptr) *remote_index = -1;
    if (remote != nullptr) *remote = nullptr;
    if (value == nullptr) return 454;
    const char *end = static_cast<const char *>(std::memchr(value, '\r', strnlen(value, 256)));
    if (end == nullptr || end[1] != '\n') return 453;
    const std::size_t n = std::size_t(end - value);
    // Each value may take the whole header: a long one is answered by the
    // step it fails (451, 403 or 462), not refused as malformed.
    char sid[256], cnonce[256], digest[256];
    bool bad = false;
    if (!Param(value, n, "sessionid", sid, sizeof sid, &bad) ||
        !Param(value, n, "cnonce", cnonce, sizeof cnonce, &bad) ||
        !Param(value, n, "digest", digest, sizeof digest, &bad) || bad)
        return 453;
    char server[256], remote_id[256];
    const bool named = Param(value, n, "servername", server, sizeof server, &bad);
    const bool with_session = !bad && Param(value, n, "serversessionid", remote_id, sizeof remote_id, &bad);
    if (bad) return 453;
    tavix_lock_rw_lock_read(&T.lock);
    const int i = Find(sid);
    int rc = 0;
    if (i < 0) {
        rc = 451;
    } else {
        tavix_session *s = T.sessions[i];
        char text[sizeof sid + 512 + sizeof cnonce + 2];  // a session key has at most 511 characters
        const int tn = std::snprintf(text, sizeof text, "%s:%s:%s", sid, s->key, cnonce);
        uint8_t want[16], got[16];
        tavix_md5(text, std::size_t(tn), want);
        std::size_t gn = 0;
        char *stop = nullptr;
        const long long c = std::strtoll(cnonce, &stop, 10);
        if (std::strlen(digest) != 32 || tavix_util_hex_decode(digest, 32, got, 16, &gn) != 0 || gn != 16 ||
            std::memcmp(want, got, 16) != 0) {
            rc = 403;
        } else if (stop == cnonce || *stop != 0) {
            rc = 462;
        } else if ((rc = Replay(s, c)) == 0) {
            s->last_access = tavix_sys_get_current_monotonous_time();
            if (tavix_auth_entry *e = tavix_auth_find_auth_data(s->key)) e->last_use = s->last_access;
            *out = s;
            *index = i;
            if (named) {
                // The remote server must be defined, enabled and reachable.
                const int r = tavix_comm_remote_server_find(server);
                const tavix_remote_server *rs = tavix_comm_remote_server_get(r);
                tavix_remote_session *rsession = rs != nullptr && with_session
                                                     ? tavix_comm_remote_server_find_session(r, s->id, remote_id)
                                                     : nullptr;
                if (rs == nullptr || !rs->enabled || rs->state < TAVIX_RS_RESOLVED)
                    rc = 601;
                else if (with_session && rsession == nullptr)
                    rc = 603;
                else {
                    if (remote_index != nullptr) *remote_index = r;
                    if (remote != nullptr) *remote = rsession;
                }
            }
        }
    }
    tavix_lock_rw_unlock_read(&T.lock);
    return rc;
}

int tavix_engine_session_get_id(const char *id, tavix_session **out, int *index, int *code) {
    tavix_lock_rw_lock_read(&T.lock);
    const int i = Find(id);
    if (i >= 0) {
        *out = T.sessions[i];
        *index = i;
    }
    tavix_lock_rw_unlock_read(&T.lock);
    if (i < 0) {
        *code = 451;
        return -1;
    }
    return 0;
}

int tavix_engine_session_delete_idx(int index) {
    tavix_lock_rw_lock_write(&T.lock);
    if (index < 0 || uint32_t(index) >= T.count) {
        tavix_lock_rw_unlock_write(&T.lock);
        return -1;
    }
    tavix_session *s = T.sessions[index];
    for (uint32_t k = uint32_t(index); k + 1 < T.count; k++) T.sessions[k] = T.sessions[k + 1];
    T.sessions[--T.count] = nullptr;
    FreeSession(s);
    tavix_lock_rw_unlock_write(&T.lock);
    return 0;
}

void tavix_engine_session_delete_expired(uint64_t now, void (*teardown)(tavix_session *)) {
    const uint32_t utc = UtcNow();
    for (int i = int(T.count) - 1; i >= 0; i--) {
        tavix_session *s = T.sessions[i];
        // Each reason that applies is said.
        bool end = false;
        if (now > s->last_access + 2ull * T.connection_timeout) {
            tavix_util_error("Expiring session %s due to connection timeout", s->id);
            end = true;
        }
        if (uint64_t(utc) > uint64_t(s->last_activity) + T.inactivity_timeout) {
            tavix_util_error("Expiring session %s due to session (inactivity) timeout from webpage's", s->id);
            end = true;
        }
        if (s->aborted) {
            tavix_util_error("Tearing session %s down", s->id);
            end = true;
        }
        if (!end) continue;
        if (T.logout != nullptr) T.logout(uint32_t(std::strtoul(s->id, nullptr, 16)));
        if (teardown != nullptr) teardown(s);
        tavix_engine_session_delete_idx(i);
    }
    T.last_expiry = now;
}

void tavix_engine_session_clear() {
    while (T.count > 0) tavix_engine_session_delete_idx(int(T.count) - 1);
}

void tavix_engine_session_free() {
    tavix_engine_session_clear();
    if (lock_made && tavix_lock_rw_destroy(&T.lock) != 0) tavix_util_error("Destroying of session rw mutex failed!");
    lock_made = false;
}
