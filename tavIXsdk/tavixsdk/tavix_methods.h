// The POST method handlers of the web server and the long-poll answers.
#pragma once

#include <cstdint>

#include "tavIXsdk/tavixsdk/tavix_session.h"

// Callbacks of the methods the application may offer; unset ones give their
// method's code ("info" lists only what is set).
struct tavix_request;
struct tavix_history_args {
    uint64_t start_s, start_ns, end_s, end_ns;
    bool bounds;
    const char *aggregation;
};
// A filter of a query: field name, the value's text before its ':' and after it.
struct tavix_filter {
    const char *name, *op, *value;
};
struct tavix_method_callbacks_t {
    // Appends one element per address (at most 32 a call) through the answer interface.
    int (*history)(tavix_request *r, const void *user, const char *const *addresses, const tavix_history_args *a);
    // Runs on the query-filter worker; filters end with a null name.
    int (*query_filter)(tavix_request *r, const void *user, const char *aggregation, double interval,
                        const tavix_filter *filters);
    int (*accept_alarm)(const void *user, const char *address, int *code);
    int (*change_password)(const char *user, const char *old_password, const char *new_password, int *code);
    bool filter_subscribe, alarm_subscribe, list_process_image;
};
extern tavix_method_callbacks_t tavix_method_callbacks;

// Query-filter jobs waiting for the worker (at most 4).
constexpr uint32_t TAVIX_QUERY_JOBS = 4;
uint32_t tavix_engine_query_jobs_waiting();
// One pass of the query-filter worker: answers the job at the head; 1 when it took one.
int tavix_engine_query_filter_step();
// Starts the worker in a thread slot (it polls its queue every 20 ms).
int tavix_engine_start_deferred_query_filter_threads();

// Installs every handler in the POST method table.
void tavix_methods_register();
// Long polls: a session's parked "publish" answered now.
void tavix_engine_session_answer_parked(tavix_session *s);
// The server tick's long-poll pass: parked polls with notifications, or
// parked for half their session's timeout, are answered.
void tavix_engine_session_tick(uint64_t now);
