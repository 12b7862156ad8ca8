// The web server as a whole towards its application: its life cycle
// (initialise, prepare, run, clear, free), the registration of the
// application's callbacks in the server's callback records and options,
// and the server tick and connection-dropped handlers the dispatcher calls.
#pragma once

#include <cstdint>

#include "tavIXsdk/tavixsdk/tavix_auth.h"
#include "tavIXsdk/tavixsdk/tavix_comm.h"
#include "tavIXsdk/tavixsdk/tavix_engine.h"
#include "tavIXsdk/tavixsdk/tavix_methods.h"
#include "tavIXsdk/tavixsdk/tavix_subs.h"
#include "tavIXsdk/tavixsdk/tavix_util.h"

// The callback kinds, as the records hold them.
using tavix_error_text_cb = decltype(tavix_method_callbacks_t::error_text);
using tavix_error_text_ex_cb = decltype(tavix_method_callbacks_t::error_text_ex);
using tavix_read_cb = decltype(tavix_data_callbacks_t::read);
using tavix_write_cb = decltype(tavix_data_callbacks_t::write);
using tavix_read_multi_cb = decltype(tavix_data_callbacks_t::read_multi);
using tavix_write_multi_cb = decltype(tavix_data_callbacks_t::write_multi);
using tavix_process_image_cb = decltype(tavix_data_callbacks_t::read_process_image);
using tavix_deferred_cb = decltype(tavix_data_callbacks_t::deferred);
using tavix_subscribe_cb = decltype(tavix_data_callbacks_t::subscribe);
using tavix_unsubscribe_cb = decltype(tavix_data_callbacks_t::unsubscribe);
using tavix_alarm_read_cb = decltype(tavix_data_callbacks_t::alarm_read);
using tavix_accept_alarm_cb = decltype(tavix_method_callbacks_t::accept_alarm);
using tavix_query_filter_cb = decltype(tavix_method_callbacks_t::query_filter);
using tavix_filter_subscribe_cb = decltype(tavix_data_callbacks_t::filter_subscribe);
using tavix_history_cb = decltype(tavix_method_callbacks_t::history);
using tavix_access_cb_t = decltype(tavix_auth_callbacks_t::access);
using tavix_digest_cb = decltype(tavix_auth_callbacks_t::digest);
using tavix_user_info_cb = decltype(tavix_auth_callbacks_t::user_info);
using tavix_change_password_cb = decltype(tavix_method_callbacks_t::change_password);
using tavix_request_hook_cb = decltype(tavix_engine_hooks_t::request);
using tavix_response_hook_cb = decltype(tavix_engine_hooks_t::response);

// Life cycle, in this order: initialise; set the options and register the
// callbacks; prepare; run (the dispatcher's cycles run in the caller's
// thread); clear and free when it stops. The server's state lives in the
// records of its parts (options, callback records, dispatcher, buffer pool,
// authentication and session tables, subscription map, worker slots, query
// queue, remote servers).
// Default options, every callback slot empty, the dispatcher's state
// (listeners closed, connection ids from 1, its scratch buffer and lock),
// the method table, no query job, no remote server; 0 or the first failure
// (negative).
int tavix_server_initialize();
// The dispatcher's callbacks, TLS from the options' certificate, the access
// check, the authentication and session tables and the subscription map.
// Every step runs; answers the first negative result.
int tavix_server_prepare();
// Starts the query-filter worker (deferred reads and writes and history
// reads have none), then opens the listeners and starts the server clock;
// 0, or -1 when a listener cannot be opened.
int tavix_server_mainloop();
// Sets the dispatcher's shutdown flag (the controller stops the server
// through its life-cycle state instead).
void tavix_server_request_shutdown();
// Drops remote servers' links and sessions, authentication entries, sessions
// (their parked answers given back, their frames let go) and the subscribed
// items, and the waiting query jobs.
void tavix_server_clear();
// Frees what the parts keep: remote servers, authentication, sessions and
// their lock, subscriptions, the dispatcher, the options and the buffer pool.
void tavix_server_free();
// Remote servers (the controller defines none).
int tavix_server_remote_server_enable(const char *name, uint32_t flag);
int tavix_server_remote_server_define(const char *name, const char *host, uint16_t port, uint32_t flag);

// Registration: each setter stores its arguments in their slots; a null
// argument empties its slot (the server then answers that road's "not set"
// code or leaves it out of "info"). Called during set-up, before the server
// runs: the slots are read by the web thread and the workers without a lock.
// Each answers 0.
int tavix_server_set_error_callback_simple(tavix_error_text_cb text);
int tavix_server_set_error_callback_ex(tavix_error_text_ex_cb texts);
int tavix_server_set_basic_callbacks_simple(tavix_read_cb read, tavix_write_cb write);
int tavix_server_set_basic_callbacks_multi(tavix_read_multi_cb read, tavix_write_multi_cb write);
int tavix_server_set_processimage_callbacks(tavix_process_image_cb read, tavix_process_image_cb list);
int tavix_server_set_deferred_address_callback(tavix_deferred_cb deferred);
int tavix_server_set_advanced_callbacks(tavix_subscribe_cb subscribe, tavix_unsubscribe_cb unsubscribe);
// Alarm items (subscribe, unsubscribe, current alarm) and the acknowledgement.
int tavix_server_set_alarm_callbacks(tavix_subscribe_cb subscribe, tavix_unsubscribe_cb unsubscribe,
                                     tavix_alarm_read_cb read, tavix_accept_alarm_cb accept);
// The query filter (run on its worker) and the filter items of "subscribefilter".
int tavix_server_set_scada_callbacks(tavix_query_filter_cb query, tavix_filter_subscribe_cb subscribe,
                                     tavix_unsubscribe_cb unsubscribe);
int tavix_server_set_history_callbacks(tavix_history_cb history);
// Access check, password digest, user information and password change.
int tavix_server_set_auth_callbacks(tavix_access_cb_t access, tavix_digest_cb digest, tavix_user_info_cb user_info,
                                    tavix_change_password_cb change_password);
int tavix_server_set_request_hook_callback(tavix_request_hook_cb hook);
int tavix_server_set_response_hook_callback(tavix_response_hook_cb hook);
// Where failures are reported; null restores the standard-error writer.
int tavix_server_set_error_logging_cb(tavix_error_cb cb);
// Called on every server tick with the server time; null: none.
int tavix_server_set_idle_cb(tavix_idle_cb cb);
// Empties every callback slot (the server's start state).
void tavix_server_clear_callbacks();

// The dispatcher's tick callback: session expiry and long polls, remote
// servers, authentication expiry (at most every 5 s), the idle callback and
// the reaping of finished workers.
void tavix_server_session_tick(uint64_t now);
// The dispatcher's dropped callback: a long-poll connection gives its
// session's parked answer back; remote servers hear of their connections.
void tavix_server_connection_dropped(tavix_connection *c);
