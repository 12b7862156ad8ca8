// Callback registration, server tick and dropped connections of the web server.
#include "tavIXsdk/tavixsdk/tavix_server.h"

#include "tavIXsdk/tavixsdk/tavix_post.h"
#include "tavIXsdk/tavixsdk/tavix_remote.h"
#include "tavIXsdk/tavixsdk/tavix_session.h"
#include "tavIXsdk/tavixsdk/tavix_sys.h"

namespace {

// Server time of the last authentication expiry pass.
uint64_t last_auth_expiry;
// Authentication data is expired when more than this many time units (half
// seconds) have passed since the last pass.
constexpr uint64_t kAuthExpiryUnits = 9;

// A session torn down by the expiry pass: its waiting long poll is answered
// 466 with the parked body; then no connection keeps a link to it.
void SessionTeardown(tavix_session *s) {
    tavix_buffer *body = s->parked;
    tavix_connection *c = s->parked_conn;
    const bool alive = tavix_engine_session_parked_alive(s, c);  // not a record another client took since
    s->parked = nullptr;
    s->parked_conn = nullptr;
    s->parked_conn_id = 0;
    if (body != nullptr && alive) {
        body->length = body->read_pos = 0;
        static const char kOpen[] = "{", kClose[] = "}";
        tavix_buffer *resp = nullptr;
        if (tavix_buffer_put_data(body, kOpen, 1) == 0 && tavix_json_put_error_strings(body, 466) == 0 &&
            tavix_buffer_put_data(body, kClose, 1) == 0)
            resp = tavix_engine_construct_json_response(body);
        else
            tavix_buffer_return(body);
        if (resp != nullptr) tavix_comm_send(c, resp);
        c->long_poll = 0;
        c->session = nullptr;  // a host's record of the raw interface is not in the table below
    } else {
        tavix_buffer_return(body);
    }
    for (tavix_connection &k : tavix_comm_state.conns)
        if (k.session == s) k.session = nullptr;
}

}  // namespace

int tavix_server_initialize() {
    tavix_server_clear_callbacks();
    tavix_engine_hooks = tavix_engine_hooks_t{};
    tavix_comm_remote_server_initialize();
    if (const int rc = tavix_options_initialize()) return rc < 0 ? rc : -1;
    if (tavix_comm_state_initialize() != 0) return -1;
    if (tavix_comm_initialize() != 0) return -1;
    tavix_timer_init_imp(&tavix_comm_state.timer);
    tavix_engine_query_jobs_clear();
    tavix_methods_register();
    tavix_engine_hooks.post = tavix_engine_handle_post_request;
    return 0;
}

int tavix_server_prepare() {
    int first = 0;
    auto step = [&first](int rc) {
        if (rc < 0 && first == 0) first = rc;
    };
    tavix_comm_set_cb(tavix_engine_receive_comm_data, tavix_server_connection_dropped, tavix_server_session_tick);
    step(tavix_comm_prepare());
    tavix_engine_hooks.access = tavix_auth_engine_access;
    step(tavix_auth_initialize());
    step(tavix_engine_session_initialize());
    step(tavix_engine_subscriptions_init());
    return first;
}

int tavix_server_mainloop() {
    // Deferred reads and writes have no worker: requests are never parked.
    tavix_engine_start_deferred_query_filter_threads();
    tavix_engine_start_deferred_rdhst_threads();
    return tavix_comm_mainloop();
}

void tavix_server_request_shutdown() { tavix_comm_signal_shutdown(); }

void tavix_server_clear() {
    tavix_comm_remote_server_clear();
    tavix_auth_clear();
    tavix_engine_session_clear();
    tavix_engine_subscriptions_clear();
    tavix_engine_query_jobs_clear();
}

void tavix_server_free() {
    tavix_comm_remote_server_free();
    tavix_auth_free();
    tavix_engine_session_free();
    tavix_engine_subscriptions_free();
    tavix_comm_free();
    tavix_options_free();
    tavix_buffer_free_all();
}

int tavix_server_remote_server_enable(const char *name, uint32_t flag) {
    return tavix_comm_remote_server_enable(name, flag);
}

int tavix_server_remote_server_define(const char *name, const char *host, uint16_t port, uint32_t flag) {
    return tavix_comm_remote_server_define(name, host, port, flag);
}

int tavix_server_set_error_callback_simple(tavix_error_text_cb text) {
    tavix_method_callbacks.error_text = text;
    return 0;
}

int tavix_server_set_error_callback_ex(tavix_error_text_ex_cb texts) {
    tavix_method_callbacks.error_text_ex = texts;
    return 0;
}

int tavix_server_set_basic_callbacks_simple(tavix_read_cb read, tavix_write_cb write) {
    tavix_data_callbacks.read = read;
    tavix_data_callbacks.write = write;
    return 0;
}

int tavix_server_set_basic_callbacks_multi(tavix_read_multi_cb read, tavix_write_multi_cb write) {
    tavix_data_callbacks.read_multi = read;
    tavix_data_callbacks.write_multi = write;
    return 0;
}

int tavix_server_set_processimage_callbacks(tavix_process_image_cb read, tavix_process_image_cb list) {
    tavix_data_callbacks.read_process_image = read;
    tavix_data_callbacks.list_process_image = list;
    return 0;
}

int tavix_server_set_deferred_address_callback(tavix_deferred_cb deferred) {
    tavix_data_callbacks.deferred = deferred;
    return 0;
}

int tavix_server_set_advanced_callbacks(tavix_subscribe_cb subscribe, tavix_unsubscribe_cb unsubscribe) {
    tavix_data_callbacks.subscribe = subscribe;
    tavix_data_callbacks.unsubscribe = unsubscribe;
    return 0;
}

int tavix_server_set_alarm_callbacks(tavix_subscribe_cb subscribe, tavix_unsubscribe_cb unsubscribe,
                                     tavix_alarm_read_cb read, tavix_accept_alarm_cb accept) {
    tavix_data_callbacks.alarm_subscribe = subscribe;
    tavix_data_callbacks.alarm_unsubscribe = unsubscribe;
    tavix_data_callbacks.alarm_read = read;
    tavix_method_callbacks.accept_alarm = accept;
    return 0;
}

int tavix_server_set_scada_callbacks(tavix_query_filter_cb query, tavix_filter_subscribe_cb subscribe,
                                     tavix_unsubscribe_cb unsubscribe) {
    tavix_method_callbacks.query_filter = query;
    tavix_data_callbacks.filter_subscribe = subscribe;
    tavix_data_callbacks.filter_unsubscribe = unsubscribe;
    return 0;
}

int tavix_server_set_history_callbacks(tavix_history_cb history) {
    tavix_method_callbacks.history = history;
    return 0;
}

int tavix_server_set_auth_callbacks(tavix_access_cb_t access, tavix_digest_cb digest, tavix_user_info_cb user_info,
                                    tavix_change_password_cb change_password) {
    tavix_auth_callbacks.access = access;
    tavix_auth_callbacks.digest = digest;
    tavix_auth_callbacks.user_info = user_info;
    tavix_method_callbacks.change_password = change_password;
    return 0;
}

int tavix_server_set_request_hook_callback(tavix_request_hook_cb hook) {
    tavix_engine_hooks.request = hook;
    return 0;
}

int tavix_server_set_response_hook_callback(tavix_response_hook_cb hook) {
    tavix_engine_hooks.response = hook;
    return 0;
}

int tavix_server_set_error_logging_cb(tavix_error_cb cb) {
    tavix_global_options.error_cb = cb != nullptr ? cb : tavix_options_stderr_error_cb;
    return 0;
}

int tavix_server_set_idle_cb(tavix_idle_cb cb) {
    tavix_global_options.idle_cb = cb;
    return 0;
}

void tavix_server_clear_callbacks() {
    tavix_data_callbacks = tavix_data_callbacks_t{};
    tavix_method_callbacks = tavix_method_callbacks_t{};
    tavix_auth_callbacks = tavix_auth_callbacks_t{};
    tavix_engine_hooks.request = nullptr;
    tavix_engine_hooks.response = nullptr;
    tavix_global_options.idle_cb = nullptr;
    last_auth_expiry = 0;
}

void tavix_server_session_tick(uint64_t now) {
    if (now != tavix_session_table.last_expiry) tavix_engine_session_delete_expired(now, SessionTeardown);
    tavix_engine_session_tick(now);
    tavix_comm_remote_server_tick(now);
    if (now - last_auth_expiry > kAuthExpiryUnits) {
        const uint64_t remote = tavix_comm_remote_server_max_timeout();
        const uint64_t own = tavix_global_options.session_timeout;
        tavix_auth_expire_auth_data(now, 2 * (remote > own ? remote : own));
        last_auth_expiry = now;
    }
    if (tavix_global_options.idle_cb != nullptr) tavix_global_options.idle_cb(now);
    tavix_sys_thread_tick();
}

void tavix_server_connection_dropped(tavix_connection *c) {
    tavix_engine_session_unlink_connection(c);
    tavix_comm_remote_server_dropped_connection(c);
}
