// Web HMI server costs in process: a Digest-authenticated GET of a small file
// and a POST ?Ping through framing, access check and response, 100 JSON
// values, and the RSA private operation. Allocations per request are counted.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "bench/malloc_count.h"
#include "tavIXsdk/tavixsdk/tavix_auth.h"
#include "tavIXsdk/tavixsdk/tavix_buffer.h"
#include "tavIXsdk/tavixsdk/tavix_comm.h"
#include "tavIXsdk/tavixsdk/tavix_engine.h"
#include "tavIXsdk/tavixsdk/tavix_json.h"
#include "tavIXsdk/tavixsdk/tavix_post.h"
#include "tavIXsdk/tavixsdk/tavix_rsa.h"
#include "tavIXsdk/tavixsdk/tavix_methods.h"
#include "tavIXsdk/tavixsdk/tavix_session.h"
#include "tavIXsdk/tavixsdk/tavix_subs.h"
#include "tavIXsdk/tavixsdk/tavix_util.h"
#include "webhmi/webusers.h"

namespace {

void Quiet(const char *) {}

void Setup() {
    static bool done = false;
    if (done) return;
    done = true;
    tavix_options_initialize();
    tavix_global_options.error_cb = Quiet;
    tavix_global_options.auth_method = 2;
    tavix_comm_state_initialize();
    tavix_timer_start_imp(&tavix_comm_state.timer);
    tavix_auth_initialize();
    tavix_engine_session_initialize();
    mkdir("/tmp/bench-webhmi", 0700);
    FILE *f = std::fopen("/tmp/bench-webhmi/index.htm", "wb");
    for (int i = 0; i < 1024; i++) std::fputc('a', f);
    std::fclose(f);
    tavix_options_set_web_root("/tmp/bench-webhmi", "index.htm");
    const char cfg[] = "tavIX\r\nadmin;a9866e24426444567e0b2446f9f8db75;Right0;Right3\r\n";
    tavix_parse_access_rights(cfg, sizeof cfg - 1);
    tavix_auth_callbacks = {tavix_access_cb, tavix_authentication_digest_cb, nullptr};
    tavix_engine_hooks.access = tavix_auth_engine_access;
    tavix_engine_hooks.post = tavix_engine_handle_post_request;
    tavix_engine_hooks.request = request_hook_callback;
}

std::string Md5(const std::string &s) {
    char hex[33];
    tavix_md5_hex(s.data(), s.size(), hex);
    return hex;
}

// Digest GETs of one fresh nonce with the counts 1 to n: the server takes
// each count of a nonce once, so every request is a new one.
std::vector<std::string> DigestGets(std::size_t n) {
    char nonce[33];
    tavix_auth_make_nonce(nonce, tavix_sys_get_current_monotonous_time());
    const std::string ha1 = "a9866e24426444567e0b2446f9f8db75", ha2 = Md5("GET:/index.htm");
    std::vector<std::string> out;
    for (std::size_t i = 1; i <= n; i++) {
        char nc[9];
        std::snprintf(nc, sizeof nc, "%08x", unsigned(i));
        const std::string resp = Md5(ha1 + ":" + nonce + ":" + nc + ":0a4f113b:auth:" + ha2);
        out.push_back(std::string("GET /index.htm HTTP/1.0\r\nHost: 10.77.0.2\r\nUser-Agent: Mozilla/5.0 (X11; Linux "
                                  "x86_64) bench\r\nAccept: text/html,application/xhtml+xml\r\nAccept-Encoding: "
                                  "gzip, deflate\r\n") +
                      "Authorization: Digest username=\"admin\", realm=\"tavIX\", nonce=\"" + nonce +
                      "\", uri=\"/index.htm\", algorithm=MD5, response=\"" + resp + "\", qop=auth, nc=" + nc +
                      ", cnonce=\"0a4f113b\"\r\n\r\n");
    }
    return out;
}

// One request through framing, dispatch and the send chain (sent into the void).
void Serve(const std::string &request, std::size_t &bytes) {
    tavix_connection c{};
    c.in_use = 1;
    c.sock = -1;
    static tavix_buffer *recv = nullptr;
    if (recv == nullptr) recv = tavix_buffer_get(TAVIX_BUF_DATA, 4096, 4096, true);
    recv->length = recv->read_pos = 0;
    tavix_buffer_put_data(recv, request.data(), uint32_t(request.size()));
    tavix_engine_handle_data(&c, &c.pending, recv);
    static uint8_t scratch[16384];
    for (tavix_buffer *b = c.send_head; b != nullptr;) {
        tavix_buffer *next = b->send_next;
        const uint8_t *piece = nullptr;
        for (long n; (n = tavix_buffer_get_data(b, &piece, scratch, sizeof scratch, nullptr, 0)) > 0;) {
            bytes += std::size_t(n);
            tavix_buffer_get_advance(b, uint32_t(n));
        }
        b->send_next = nullptr;
        tavix_buffer_return(b);
        b = next;
    }
}

void BM_DigestGet1K(benchmark::State &state) {
    Setup();
    constexpr std::size_t kChunk = 4096;
    std::vector<std::string> reqs = DigestGets(kChunk);
    std::size_t bytes = 0, k = 1, refills = 0;
    Serve(reqs[0], bytes);  // warms the pool
    const std::size_t request_bytes = reqs[0].size();
    const std::size_t before = malloc_calls;
    for (auto _ : state) {
        if (k == reqs.size()) {  // the next counts, outside the timing and the malloc count
            state.PauseTiming();
            const std::size_t m = malloc_calls;
            reqs = DigestGets(kChunk);
            refills += malloc_calls - m;
            k = 0;
            state.ResumeTiming();
        }
        Serve(reqs[k++], bytes);
    }
    state.counters["request_bytes"] = double(request_bytes);
    state.counters["mallocs_per_request"] =
        benchmark::Counter(double(malloc_calls - before - refills), benchmark::Counter::kAvgIterations);
    benchmark::DoNotOptimize(bytes);
}
BENCHMARK(BM_DigestGet1K);

void BM_PostPing(benchmark::State &state) {
    Setup();
    tavix_global_options.auth_method = 5;  // anonymous: the POST path alone
    const std::string req = "POST /tavIX/?Ping HTTP/1.0\r\nContent-Length: 0\r\n\r\n";
    std::size_t bytes = 0;
    Serve(req, bytes);
    const std::size_t before = malloc_calls;
    for (auto _ : state) Serve(req, bytes);
    state.counters["mallocs_per_request"] =
        benchmark::Counter(double(malloc_calls - before), benchmark::Counter::kAvgIterations);
    tavix_global_options.auth_method = 2;
    benchmark::DoNotOptimize(bytes);
}
BENCHMARK(BM_PostPing);

void BM_Json100Values(benchmark::State &state) {
    char out[4096];
    tavix_data_value v{};
    v.kind = TAVIX_DV_DOUBLE;
    for (auto _ : state) {
        long n = tavix_json_put_delimiter(out, sizeof out, TAVIX_JSON_ARR_OPEN);
        for (int i = 0; i < 100; i++) {
            v.d = 1.5 * i;
            if (i) n += tavix_json_put_delimiter(out + n, sizeof out - std::size_t(n), TAVIX_JSON_COMMA);
            n += tavix_json_put_data_value(out + n, sizeof out - std::size_t(n), &v);
        }
        n += tavix_json_put_delimiter(out + n, sizeof out - std::size_t(n), TAVIX_JSON_ARR_CLOSE);
        benchmark::DoNotOptimize(n);
    }
}
BENCHMARK(BM_Json100Values);

void BM_RsaPrivate1024(benchmark::State &state) {
    Setup();
    if (tavix_options_rsa_key() == nullptr) tavix_options_generate_temporary_rsa(1024, 0x10001);
    const tavix_rsa_key *k = tavix_options_rsa_key();
    uint8_t in[128] = {0, 2}, out[128];
    for (int i = 2; i < 128; i++) in[i] = uint8_t(i);
    for (auto _ : state) {
        std::size_t n = sizeof out;
        benchmark::DoNotOptimize(tavix_rsa_exptmod(k, true, in, sizeof in, out, &n));
    }
}
BENCHMARK(BM_RsaPrivate1024);

// A change of one address held by a frame in each of 32 sessions.
void BM_Notify32Sessions(benchmark::State &state) {
    Setup();
    tavix_global_options.max_sessions = 32;
    tavix_global_options.max_auth_records = 32;
    tavix_global_options.auth_method = 5;
    tavix_engine_subscriptions_init();
    tavix_data_callbacks.subscribe = [](tavix_item *, const void *, const char *, void **h, uint32_t *keeps,
                                        int *status) {
        *h = nullptr;
        *keeps = 1;
        *status = 0;
        return 0;
    };
    tavix_item *item = nullptr;
    for (int i = 0; i < 32; i++) {
        tavix_session *s = nullptr;
        int code = 0;
        const std::string key = "key" + std::to_string(i);
        tavix_engine_session_create(0, nullptr, key.c_str(), false, nullptr, nullptr, nullptr, false, &s, &code);
        tavix_frame *f = tavix_engine_subscription_frame_alloc();
        f->owner = s;
        s->frames = f;
        int err = 0;
        tavix_engine_subscription_frame_subscribe_item(f, 0, "R_1_1_INT16", &item, 0, &err);
    }
    tavix_data_value v{};
    v.kind = TAVIX_DV_INT32;
    const tavix_timestamp t{1700000000, 0};
    for (auto _ : state) {
        v.i32++;
        tavix_data_notify(item, &v, &t, 0);  // replaces each session's queued value
    }
    tavix_engine_session_clear();
    tavix_global_options.auth_method = 2;
}
BENCHMARK(BM_Notify32Sessions);

void BM_SerializeNotification(benchmark::State &state) {
    // The header and its variable part: the address, then the frame ids.
    static char vars[] =
        "R_5_1_INT16\0"
        "1\0";
    tavix_publish_item n{};
    n.kind = 1;
    n.value.kind = TAVIX_DV_INT32;
    n.value.i32 = 4660;
    n.stamp = {1700000000, 5000000};
    n.vars = vars;
    n.vars_size = sizeof vars;
    n.address = 1;
    n.ids = 13;
    char out[256];
    for (auto _ : state) benchmark::DoNotOptimize(tavix_engine_publish_item_serialize(&n, out, sizeof out));
}
BENCHMARK(BM_SerializeNotification);

// A read of 100 addresses through the handler, the callback answering each.
void BM_Read100(benchmark::State &state) {
    Setup();
    tavix_methods_register();
    tavix_data_callbacks.read = [](tavix_request *r, const void *, const char *) {
        tavix_data_value v{};
        v.kind = TAVIX_DV_INT32;
        v.i32 = 4660;
        const tavix_timestamp t{1700000000, 0};
        tavix_data_read_return(r, &v, &t, 0, nullptr, nullptr, 0);
    };
    std::string form = "POST /tavIX/?read HTTP/1.0\r\n\r\n";
    const std::size_t body_at = form.size();
    for (int i = 1; i <= 100; i++) {
        form += i > 1 ? "&address[]=R_" : "address[]=R_";
        form += std::to_string(i);
        form += "_1_INT16";
    }
    tavix_connection c{};
    auto once = [&]() {
        tavix_buffer *req = tavix_buffer_get(TAVIX_BUF_REQ_HEADER, 8192, 1 << 20, false);
        tavix_buffer_put_data(req, form.data(), uint32_t(form.size()));
        tavix_engine_parse_form(req, uint32_t(body_at));
        bool keep = false;
        tavix_buffer *resp = tavix_post_handlers[TAVIX_M_READ](&c, nullptr, req, &keep);
        tavix_buffer_return(req);
        tavix_buffer_return(resp);
    };
    once();
    once();
    const std::size_t before = malloc_calls;
    for (auto _ : state) once();
    state.counters["mallocs_per_read"] =
        benchmark::Counter(double(malloc_calls - before), benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_Read100);

// A write of 2,400 address/value pairs (the values after the addresses)
// through the handler: the pairing walks the fields once.
void BM_Write2400Pairs(benchmark::State &state) {
    Setup();
    tavix_methods_register();
    tavix_data_callbacks.write = [](tavix_request *r, const void *, const char *, const char *, uint32_t) {
        tavix_data_write_return(r, 0);
    };
    std::string form = "POST /tavIX/?write HTTP/1.0\r\n\r\n";
    const std::size_t body_at = form.size();
    for (int i = 1; i <= 2400; i++) {
        form += i > 1 ? "&address[]=R_" : "address[]=R_";
        form += std::to_string(i);
        form += "_1_INT16";
    }
    for (int i = 1; i <= 2400; i++) {
        form += "&value[]=";
        form += std::to_string(i);
    }
    tavix_connection c{};
    for (auto _ : state) {
        tavix_buffer *req = tavix_buffer_get(TAVIX_BUF_REQ_HEADER, 131072, 1 << 20, false);
        tavix_buffer_put_data(req, form.data(), uint32_t(form.size()));
        tavix_engine_parse_form(req, uint32_t(body_at));
        bool keep = false;
        tavix_buffer *resp = tavix_post_handlers[TAVIX_M_WRITE](&c, nullptr, req, &keep);
        tavix_buffer_return(req);
        tavix_buffer_return(resp);
    }
}
BENCHMARK(BM_Write2400Pairs)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
