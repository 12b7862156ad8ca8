// The web server's JSON writer and reader, buffers and text utilities, with
// values worked out by hand from RFC 4648, RFC 7231 dates and JSON.
#include <gtest/gtest.h>

#include <algorithm>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <tuple>
#include <thread>
#include <vector>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>

#include "tavIXsdk/tavixsdk/tavix_buffer.h"
#include "tavIXsdk/tavixsdk/tavix_json.h"
#include "tavIXsdk/tavixsdk/tavix_sys.h"
#include "tavIXsdk/tavixsdk/tavix_util.h"
#include "tests/support/temp_root.h"
#include "tests/support/web_clock.h"

namespace {

std::vector<std::string> reported;
void Collect(const char *text) { reported.emplace_back(text); }

struct TavixBase : ::testing::Test {
    void SetUp() override {
        tavix_options_initialize();
        tavix_global_options.error_cb = Collect;
        reported.clear();
    }
    void TearDown() override {
        tavix_buffer_free_all();
        tavix_options_free();
    }
};

template <typename F>
std::string Written(F put) {
    const long need = put(nullptr, 0);
    std::string out(std::size_t(need), '?');
    EXPECT_EQ(put(out.data(), out.size()), need);
    return out;
}

}  // namespace

TEST_F(TavixBase, JsonWriterWritesMeasuresAndRefusesWhatDoesNotFit) {
    auto str = [](const char *s, long n) {
        return Written([&](char *d, std::size_t r) { return tavix_json_put_string(d, r, s, n); });
    };
    EXPECT_EQ(str("\x01", -1), "\"\\u0001\"");
    EXPECT_EQ(str("\x0c", -1), "\"\\u000c\"");
    EXPECT_EQ(str("a/b", -1), "\"a\\/b\"");
    EXPECT_EQ(str("\"\\\b\t\n\r", -1), "\"\\\"\\\\\\b\\t\\n\\r\"");
    EXPECT_EQ(str("xyz", 2), "\"xy\"");
    EXPECT_EQ(str("\xc3\xa9", -1), "\"\xc3\xa9\"");

    auto real = [](double v) { return Written([&](char *d, std::size_t r) { return tavix_json_put_real(d, r, v); }); };
    EXPECT_EQ(real(0.1), "0.1");
    EXPECT_EQ(real(1e300), "1e+300");
    EXPECT_EQ(real(-2.5), "-2.5");
    EXPECT_EQ(real(NAN), "null");
    EXPECT_EQ(real(INFINITY), "null");

    auto ts = [](uint64_t s, uint64_t ns) {
        const tavix_timestamp t{s, ns};
        return Written([&](char *d, std::size_t r) { return tavix_json_put_timestamp(d, r, &t); });
    };
    EXPECT_EQ(ts(1700000000, 5000000), "1700000000005.000000");
    EXPECT_EQ(ts(1700000000, 0), "1700000000000");
    EXPECT_EQ(ts(0, 5000123), "5.000123");

    struct {
        tavix_data_value v;
        const char *json;
    } values[] = {
        {{TAVIX_DV_BOOL, {.b = 1}}, "true"},
        {{TAVIX_DV_INT32, {.i32 = -7}}, "-7"},
        {{TAVIX_DV_INT64, {.i64 = -9000000000}}, "-9000000000"},
        {{TAVIX_DV_UINT32, {.u32 = 4294967295u}}, "4294967295"},
        {{TAVIX_DV_UINT64, {.u64 = 18446744073709551615ull}}, "18446744073709551615"},
        {{TAVIX_DV_FLOAT, {.f = 1.5f}}, "1.5"},
        {{TAVIX_DV_DOUBLE, {.d = 0.25}}, "0.25"},
        {{TAVIX_DV_TEXT, {.text = "A\"B"}}, "\"A\\\"B\""},
        {{99, {.u32 = 1}}, "null"},
    };
    for (const auto &c : values) {
        EXPECT_EQ(Written([&](char *d, std::size_t r) { return tavix_json_put_data_value(d, r, &c.v); }), c.json);
        EXPECT_EQ(Written([&](char *d, std::size_t r) { return tavix_json_put_value(d, r, &c.v); }),
                  std::string("\"value\":") + c.json);
    }
    const uint8_t bytes[] = {0x0A, 0xFF};
    EXPECT_EQ(Written([&](char *d, std::size_t r) { return tavix_json_put_hex_data(d, r, bytes, 2, true); }),
              "\"0AFF\"");
    const tavix_localized one[] = {{nullptr, "plain"}, {nullptr, nullptr}};
    const tavix_localized two[] = {{"en", "Hi"}, {"de", "Hallo"}, {nullptr, nullptr}};
    EXPECT_EQ(Written([&](char *d, std::size_t r) { return tavix_json_put_localized_strings(d, r, one); }),
              "\"plain\"");
    EXPECT_EQ(Written([&](char *d, std::size_t r) { return tavix_json_put_localized_strings(d, r, two); }),
              "{\"en\":\"Hi\",\"de\":\"Hallo\"}");
    const char packed[] = "en\0Hi\0de\0Hallo\0\0";
    EXPECT_EQ(Written([&](char *d, std::size_t r) { return tavix_json_serialize_localized_strings(d, r, packed); }),
              "{\"en\":\"Hi\",\"de\":\"Hallo\"}");
    EXPECT_EQ(Written([&](char *d, std::size_t r) { return tavix_json_serialize_localized_strings(d, r, "\0txt"); }),
              "\"txt\"");
    EXPECT_TRUE(reported.empty());

    // Too small: nothing written, the bytes needed answered and reported.
    char small[4] = {'x', 'x', 'x', 'x'};
    EXPECT_EQ(tavix_json_put_string(small, sizeof small, "hello", -1), 7);
    EXPECT_EQ(std::string(small, 4), "xxxx");
    ASSERT_EQ(reported.size(), 1u);
    EXPECT_EQ(reported[0],
              "Internal JSON builder error: Buffer is too small! 7 bytes needed! Please verify function: "
              "\"tavix_json_put_string\"!");
    EXPECT_EQ(tavix_json_put_delimiter(small, sizeof small, 6), 0);
    EXPECT_EQ(reported.back(),
              "Internal JSON builder error: Parameter of function are invalid! Please verify "
              "parameters for function: \"tavix_json_put_delimiter\"!");
    std::string delims;
    for (int c = 0; c < 6; c++)
        delims += Written([&](char *d, std::size_t r) { return tavix_json_put_delimiter(d, r, c); });
    EXPECT_EQ(delims, "{:,}[]");
}

// Reals are written as the C library's printf "%.16g" writes them: the
// shortcuts for integers, short decimals and shortest digits must agree with
// it, also where the shortest round-trip digits differ from the 16-digit
// rounding (8.00000000000001 is 8.000000000000011 to 16 digits) and where
// they round up to a power of ten (1e23 is 9.999999999999999e+22).
TEST_F(TavixBase, JsonRealsAreWrittenAsPrintfSixteenDigitsWritesThem) {
    auto check = [](double v) {
        char want[64], got[64];
        std::snprintf(want, sizeof want, "%.16g", v);
        const long n = tavix_json_put_real(got, sizeof got, v);
        got[n] = 0;
        return std::string(got) == want ? std::string() : std::string(want) + " written as " + got;
    };
    for (double v : {8.00000000000001,
                     1e23,
                     0.1 + 0.2,
                     0.1,
                     1e-4,
                     1.234e-5,
                     5e-324,
                     2.2250738585072014e-308,
                     1.7976931348623157e308,
                     1e15,
                     1e16,
                     123456789012345678.0,
                     9007199254740993.0,
                     -0.0,
                     -1.5,
                     4503599627370495.5,
                     999999999999999.9,
                     0.30000000000000004,
                     2.5e-7,
                     100000.0})
        EXPECT_EQ(check(v), "") << v;
    // a sweep of short decimals and of random bit patterns
    uint64_t x = 88172645463325252ull;
    int differ = 0;
    std::string first;
    for (int i = 0; i < 200000; i++) {
        x ^= x << 13, x ^= x >> 7, x ^= x << 17;
        double bits;
        std::memcpy(&bits, &x, sizeof bits);
        for (double v : {bits, double(int64_t(x % 2000001) - 1000000) / 1000.0, double(x % 100000) * 0.01 + 1e-9}) {
            if (!std::isfinite(v)) continue;
            const std::string d = check(v);
            if (!d.empty() && differ++ == 0) first = d;
        }
    }
    EXPECT_EQ(differ, 0) << first;
}

TEST_F(TavixBase, JsonReaderTokensNumbersStringsAndObjects) {
    struct {
        const char *text;
        int kind, used;
    } tokens[] = {{" \t\r\n{", TAVIX_TOK_OBJ_OPEN, 5},
                  {":", TAVIX_TOK_COLON, 1},
                  {",", TAVIX_TOK_COMMA, 1},
                  {"}", TAVIX_TOK_OBJ_CLOSE, 1},
                  {"[", TAVIX_TOK_ARR_OPEN, 1},
                  {"]", TAVIX_TOK_ARR_CLOSE, 1},
                  {" \"x\"", TAVIX_TOK_STRING, 2},
                  {" -5", TAVIX_TOK_NUMBER, 1},
                  {"TRUE", TAVIX_TOK_TRUE, 4},
                  {"False", TAVIX_TOK_FALSE, 5},
                  {"null", TAVIX_TOK_NULL, 4},
                  {"  ", TAVIX_TOK_END, 2},
                  {"x", TAVIX_TOK_OTHER, 0}};
    for (const auto &t : tokens) {
        int kind = -1;
        EXPECT_EQ(tavix_util_json_decode_next_token(t.text, &kind), t.used) << t.text;
        EXPECT_EQ(kind, t.kind) << t.text;
    }
    int64_t i = 0;
    double d = 0;
    bool real = true;
    EXPECT_EQ(tavix_util_json_decode_number("4294967295,", &i, &d, &real), 10);
    EXPECT_EQ(i, 4294967295);
    EXPECT_FALSE(real);
    EXPECT_EQ(tavix_util_json_decode_number("-12}", &i, &d, &real), 3);
    EXPECT_EQ(i, -12);
    EXPECT_EQ(tavix_util_json_decode_number("2.75e1]", &i, &d, &real), 6);
    EXPECT_TRUE(real);
    EXPECT_EQ(d, 27.5);
    EXPECT_EQ(i, 27);
    EXPECT_EQ(tavix_util_json_decode_number("x", &i, &d, &real), -1);

    char out[16];
    std::size_t len = 0;
    EXPECT_EQ(tavix_util_json_decode_string("ab\\\"\\/\\u0041\\n\"tail", out, sizeof out, &len), 15);
    EXPECT_EQ(std::string(out, len), "ab\"/A\n");
    EXPECT_EQ(tavix_util_json_decode_string("\\u0141\"", out, sizeof out, &len), -1);
    EXPECT_EQ(tavix_util_json_decode_string("\\x\"", out, sizeof out, &len), -1);
    EXPECT_EQ(tavix_util_json_decode_string("open", out, sizeof out, &len), -1);
    EXPECT_EQ(tavix_util_json_decode_string("abc\"", nullptr, 0, &len), 4);
    EXPECT_EQ(len, 3u);
    EXPECT_EQ(tavix_util_json_decode_string("a\\nb\"", nullptr, 0, &len), -1);
    EXPECT_EQ(tavix_util_json_decode_string("abcdef\"", out, 4, &len), 7);
    EXPECT_STREQ(out, "abc");

    EXPECT_EQ(tavix_util_json_eat_object("{\"a\":{\"b\":\"}\"},\"c\":[1,2]} rest"), 25);
    EXPECT_EQ(tavix_util_json_eat_object("{\"a\":1"), -1);
    EXPECT_EQ(tavix_util_json_eat_object("[1]"), -1);
}

TEST_F(TavixBase, BuffersGrowByPowersOfTwoOverflowOnceAndPoolTheirRecords) {
    tavix_buffer *b = tavix_buffer_get(TAVIX_BUF_DATA, 0, 8388608, false);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->marker, TAVIX_BUF_NEW);
    EXPECT_EQ(tavix_buffer_grow(b, 100), 0);
    EXPECT_EQ(b->capacity, 128u);
    EXPECT_EQ(tavix_buffer_grow(b, 600), 0);
    EXPECT_EQ(b->capacity, 2048u);
    tavix_buffer_return(b);
    EXPECT_EQ(tavix_buffer_pool.head, b);
    EXPECT_EQ(b->pool_next, nullptr);
    EXPECT_EQ(b->capacity, 2048u);  // small storage stays with the record

    tavix_buffer *c = tavix_buffer_get(TAVIX_BUF_DATA, 16, 4096, false);
    EXPECT_EQ(c, b);
    EXPECT_EQ(c->marker, TAVIX_BUF_TAKEN);
    std::vector<uint8_t> big(5000, 'x');
    EXPECT_EQ(tavix_buffer_put_data(c, big.data(), 5000), 1);
    EXPECT_EQ(tavix_buffer_put_data(c, big.data(), 5000), 1);
    ASSERT_EQ(reported.size(), 1u);
    EXPECT_EQ(reported[0], "Buffer overflow - max size 4096, wants 5000");
    EXPECT_EQ(tavix_buffer_is_overflowed(c), -1);
    EXPECT_EQ(tavix_buffer_reach_max_size(c, 4097), 2);
    EXPECT_EQ(tavix_buffer_reach_max_size(nullptr, 0), 1);
    tavix_buffer_return(c);

    // Header lines go before the blank line; URL encoding; pieces up to a pattern.
    tavix_buffer *h = tavix_buffer_get(TAVIX_BUF_RESP_CHAINED, 0, 65536, true);
    const char head[] = "HTTP/1.0 200 \r\n\r\n";
    ASSERT_EQ(tavix_buffer_put_data(h, head, sizeof head - 1), 0);
    EXPECT_EQ(tavix_buffer_add_header(h, "A: 1", 4), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(h->data), h->length), "HTTP/1.0 200 \r\nA: 1\r\n\r\n");
    tavix_buffer *body = tavix_buffer_get(TAVIX_BUF_DATA, 0, 65536, true);
    int err = 0;
    EXPECT_EQ(tavix_buffer_put_urlencoded(body, "a b/é", 0, true, &err), 12u);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(body->data), body->length), "a+b%2F%C3%A9");
    EXPECT_EQ(tavix_buffer_put_chained_content(h, body), 0);
    EXPECT_EQ(tavix_buffer_available_data(h), 35u);
    const uint8_t *piece = nullptr;
    EXPECT_EQ(tavix_buffer_get_data(h, &piece, nullptr, 0, "\r\n", 2), 15);
    tavix_buffer_get_advance(h, 15);
    EXPECT_EQ(tavix_buffer_get_data(h, &piece, nullptr, 0, nullptr, 0), 8);
    tavix_buffer_get_advance(h, 8);
    EXPECT_EQ(tavix_buffer_get_data(h, &piece, nullptr, 0, nullptr, 0), 12);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(piece), 12), "a+b%2F%C3%A9");
    tavix_buffer_get_advance(h, 12);
    EXPECT_EQ(tavix_buffer_get_data(h, &piece, nullptr, 0, nullptr, 0), -1);
    tavix_buffer_rewind(h);
    EXPECT_EQ(tavix_buffer_available_data(h), 35u);
    tavix_buffer *split = nullptr;
    EXPECT_EQ(tavix_buffer_split_content(h, &split), 0);
    EXPECT_EQ(split, body);
    EXPECT_EQ(h->kind, TAVIX_BUF_RESP_HEADER);
    tavix_buffer_free(split);
    tavix_buffer_free(h);

    // A file-backed buffer hands its file out in scratch-sized pieces.
    test_support::TempRoot root;
    const std::string path = root.path() + "/f.bin";
    FILE *f = std::fopen(path.c_str(), "wb");
    std::fputs("0123456789", f);
    std::fclose(f);
    tavix_buffer *fb = tavix_buffer_get(TAVIX_BUF_FILE, 0, 4096, true);
    EXPECT_EQ(tavix_buffer_put_file(fb, path.c_str()), 0);
    uint8_t scratch[4];
    EXPECT_EQ(tavix_buffer_get_data(fb, &piece, nullptr, 0, nullptr, 0), -1);
    std::string read;
    for (long n; (n = tavix_buffer_get_data(fb, &piece, scratch, sizeof scratch, nullptr, 0)) > 0;) {
        read.append(reinterpret_cast<const char *>(piece), std::size_t(n));
        tavix_buffer_get_advance(fb, uint32_t(n));
    }
    EXPECT_EQ(read, "0123456789");
    EXPECT_EQ(tavix_buffer_put_file(fb, (root.path() + "/none").c_str()), -1);
    // A small file read whole: its bytes are the data, nothing is left to the file.
    ASSERT_EQ(tavix_buffer_put_file(fb, path.c_str()), 0);
    EXPECT_EQ(tavix_buffer_read_whole_file(fb, 9), 1);  // larger than allowed: left to the file
    EXPECT_EQ(fb->length, 0u);
    EXPECT_EQ(tavix_buffer_read_whole_file(fb, 10), 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(fb->data), fb->length), "0123456789");
    EXPECT_EQ(tavix_buffer_available_data(fb), 10u);
    EXPECT_EQ(tavix_buffer_get_data(fb, &piece, nullptr, 0, nullptr, 0), 10);
    tavix_buffer_get_advance(fb, 10);
    EXPECT_EQ(tavix_buffer_available_data(fb), 0u);
    EXPECT_EQ(tavix_buffer_get_data(fb, &piece, scratch, sizeof scratch, nullptr, 0), -1);
    EXPECT_EQ(tavix_buffer_read_whole_file(fb, 10), 1);  // read already

    // Gathered for sending: the header's bytes in memory, then the file's part
    // from its descriptor, both as far as they were sent.
    tavix_buffer *hdr = tavix_buffer_get(TAVIX_BUF_RESP_CHAINED, 16, 4096, true);
    tavix_buffer_put_data(hdr, "HDR:", 4);
    tavix_buffer *file_body = tavix_buffer_get(TAVIX_BUF_FILE, 0, 4096, true);
    ASSERT_EQ(tavix_buffer_put_file(file_body, path.c_str()), 0);
    tavix_buffer_put_chained_content(hdr, file_body);
    struct iovec iov[2];
    tavix_buffer_file_part part{};
    ASSERT_EQ(tavix_buffer_gather(hdr, iov, 2, &part), 1u);
    EXPECT_EQ(std::string(static_cast<const char *>(iov[0].iov_base), iov[0].iov_len), "HDR:");
    EXPECT_EQ(part.fd, file_body->fd);
    EXPECT_EQ(part.offset, 0u);
    EXPECT_EQ(part.count, 10u);
    EXPECT_EQ(tavix_buffer_gather(hdr, iov, 0, &part), 0u);  // no room: not even the file part
    EXPECT_EQ(part.count, 0u);
    tavix_buffer_get_advance(hdr, 3);
    ASSERT_EQ(tavix_buffer_gather(hdr, iov, 2, &part), 1u);
    EXPECT_EQ(std::string(static_cast<const char *>(iov[0].iov_base), iov[0].iov_len), ":");
    tavix_buffer_get_advance(hdr, 1);
    tavix_buffer_get_advance(hdr, 4);  // "0123" of the file went
    EXPECT_EQ(tavix_buffer_gather(hdr, iov, 2, &part), 0u);
    EXPECT_EQ(part.offset, 4u);
    EXPECT_EQ(part.count, 6u);
    tavix_buffer_get_advance(hdr, 6);
    EXPECT_EQ(tavix_buffer_gather(hdr, iov, 2, &part), 0u);
    EXPECT_EQ(part.count, 0u);
    tavix_buffer_free(hdr);
    // An open descriptor that is not a regular file is refused and closed.
    const int dir = open(root.path().c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    ASSERT_EQ(fstat(dir, &st), 0);
    EXPECT_EQ(tavix_buffer_put_open_file(fb, dir, &st), -1);
    EXPECT_EQ(fcntl(dir, F_GETFD), -1);
    tavix_buffer_free(fb);

    // Form-field dictionary: 24-bit name offset, value offset, value length.
    tavix_buffer *d = tavix_buffer_get(TAVIX_BUF_DATA, 0, 4096, true);
    const uint8_t data[] = {'#', 'k', 0, 'v', 'a', 'l', 0, 1, 0, 0, 3, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    tavix_buffer_put_data(d, data, sizeof data);
    d->dict_pos = 7;
    const char *name = nullptr, *value = nullptr;
    uint32_t vlen = 0;
    EXPECT_EQ(tavix_buffer_get_dict_entry(d, 0, &name, &value, &vlen), 0);
    EXPECT_STREQ(name, "k");
    EXPECT_EQ(std::string(value, vlen), "val");
    EXPECT_EQ(tavix_buffer_get_dict_entry(d, 1, &name, &value, &vlen), -1);
    tavix_buffer_free(d);
}

TEST_F(TavixBase, BufferRoomResetsTimersAndTheOverflowCheck) {
    tavix_buffer *b = tavix_buffer_get(TAVIX_BUF_DATA, 100, 1000, true);
    ASSERT_NE(b, nullptr);
    tavix_buffer_put_data(b, "abcdefghij", 10);
    // Room up to the limit, or up to the storage (128 bytes for 100 asked).
    EXPECT_EQ(tavix_buffer_available_space(b, true), 990u);
    EXPECT_EQ(tavix_buffer_available_space(b, false), 118u);
    tavix_buffer_reset(b);
    EXPECT_EQ(std::make_tuple(b->length, b->limit, b->kind, b->data[0], b->data[127]),
              std::make_tuple(0u, 0u, uint32_t(TAVIX_BUF_UNSET), uint8_t(0), uint8_t(0)));
    tavix_buffer_free(b);

    // On a clock the test moves (half seconds from 1000): 3 running, 4
    // paused (not counted), 2 running again give 5; a stop holds it.
    test_support::WebClock clock;
    tavix_timer t{};
    tavix_timer_init_imp(&t);
    tavix_timer_start_imp(&t);
    EXPECT_EQ(t.state, TAVIX_TIMER_RUNNING);
    EXPECT_EQ(t.start, 1000u);
    test_support::WebClock::Advance(3);
    EXPECT_EQ(tavix_timer_elapsed_imp(&t), 3u);
    tavix_timer_pause_imp(&t);
    EXPECT_EQ(tavix_timer_has_state_imp(&t, TAVIX_TIMER_RUNNING | TAVIX_TIMER_PAUSED), 1);
    EXPECT_EQ(t.stop, 1003u);
    test_support::WebClock::Advance(4);
    EXPECT_EQ(tavix_timer_elapsed_imp(&t), 3u);
    tavix_timer_resume_imp(&t);
    EXPECT_EQ(t.state, TAVIX_TIMER_RUNNING);
    EXPECT_EQ(t.start, 1004u);
    test_support::WebClock::Advance(2);
    EXPECT_EQ(tavix_timer_elapsed_imp(&t), 5u);
    tavix_timer_resume_imp(&t);  // not paused: nothing moves
    EXPECT_EQ(tavix_timer_elapsed_imp(&t), 5u);
    tavix_timer_pause_imp(&t);
    test_support::WebClock::Advance(1);
    tavix_timer_start_imp(&t);  // a paused timer resumes
    EXPECT_EQ(tavix_timer_elapsed_imp(&t), 5u);
    test_support::WebClock::Advance(1);
    tavix_timer_stop_imp(&t);
    test_support::WebClock::Advance(7);
    EXPECT_EQ(std::make_tuple(t.state, tavix_timer_elapsed_imp(&t)), std::make_tuple(0u, uint64_t(6)));
    // Mode 0 clears the bits, 1 sets them, any other replaces the state.
    tavix_timer_state_imp(&t, TAVIX_TIMER_RUNNING, 0);
    EXPECT_EQ(t.state, 0u);
    tavix_timer_state_imp(&t, TAVIX_TIMER_PAUSED, 1);
    EXPECT_EQ(t.state, TAVIX_TIMER_PAUSED);
    tavix_timer_state_imp(&t, TAVIX_TIMER_RUNNING, 2);
    EXPECT_EQ(t.state, TAVIX_TIMER_RUNNING);

    EXPECT_EQ(tavix_util_call_overflow_error(4096, 4096), 0);
    EXPECT_EQ(tavix_util_call_overflow_error(4096, 5000), 1);
    EXPECT_EQ(reported, std::vector<std::string>{"Buffer overflow - max size 4096, wants 5000"});
}

TEST_F(TavixBase, SystemHelpersTimeFilesCopiesAndLocks) {
    // Wall-clock seconds with whole microseconds, as the system gives them.
    struct timeval before {};
    gettimeofday(&before, nullptr);
    long ns = -1;
    const time_t now = tavix_sys_get_current_time(&ns);
    EXPECT_GE(now, before.tv_sec);
    EXPECT_LE(now, before.tv_sec + 5);
    EXPECT_EQ(ns % 1000, 0);
    EXPECT_LT(ns, 1000000000L);

    test_support::TempRoot root;
    const std::string file = root / "a.htm", dir = root.path();
    FILE *f = std::fopen(file.c_str(), "wb");
    std::fclose(f);
    const struct timespec times[2] = {{784111777, 0}, {784111777, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
    EXPECT_EQ(tavix_sys_get_file_modified_time(file.c_str()), 784111777);
    EXPECT_EQ(tavix_sys_get_file_modified_time((root / "none").c_str()), 0);
    EXPECT_EQ(std::make_tuple(tavix_sys_is_file(file.c_str()), tavix_sys_is_file(dir.c_str()),
                              tavix_sys_is_directory(dir.c_str()), tavix_sys_is_directory(file.c_str()),
                              tavix_sys_is_file((root / "none").c_str())),
              std::make_tuple(1, 0, 1, 0, 0));
    char *copy = tavix_strdup("tavIX");
    EXPECT_STREQ(copy, "tavIX");
    std::free(copy);
    EXPECT_EQ(tavix_strdup(nullptr), nullptr);

    // The mutex is recursive; the read-write lock takes readers together.
    pthread_mutex_t m;
    ASSERT_EQ(tavix_lock_mutex_initialize(&m), 0);
    EXPECT_EQ(tavix_lock_mutex_lock(&m), 0);
    EXPECT_EQ(tavix_lock_mutex_lock(&m), 0);
    EXPECT_EQ(tavix_lock_mutex_unlock(&m), 0);
    EXPECT_EQ(tavix_lock_mutex_unlock(&m), 0);
    EXPECT_EQ(tavix_lock_mutex_destroy(&m), 0);
    pthread_rwlock_t l;
    ASSERT_EQ(tavix_lock_rw_init(&l), 0);
    tavix_lock_rw_lock_read(&l);
    int taken = -1;
    std::thread([&] {
        taken = pthread_rwlock_tryrdlock(&l);
        if (taken == 0) pthread_rwlock_unlock(&l);
    }).join();
    EXPECT_EQ(taken, 0);
    std::thread([&] { taken = pthread_rwlock_trywrlock(&l); }).join();
    EXPECT_EQ(taken, EBUSY);
    tavix_lock_rw_unlock_read(&l);
    tavix_lock_rw_lock_write(&l);
    std::thread([&] { taken = pthread_rwlock_tryrdlock(&l); }).join();
    EXPECT_EQ(taken, EBUSY);
    tavix_lock_rw_unlock_write(&l);
    EXPECT_EQ(tavix_lock_rw_destroy(&l), 0);
}

// A buffer returned twice is reported and stays in the pool once; a debug
// build stops there, as the second return is a fault of its caller.
TEST_F(TavixBase, ABufferReturnedTwiceIsReportedOnce) {
    tavix_buffer *b = tavix_buffer_get(TAVIX_BUF_DATA, 0, 4096, false);
    ASSERT_NE(b, nullptr);
    tavix_buffer_return(b);
#ifdef NDEBUG
    tavix_buffer_return(b);
    ASSERT_EQ(reported.size(), 1u);
    EXPECT_EQ(reported[0], "DEBUG: Tried to free already freed buffer");
    EXPECT_EQ(tavix_buffer_pool.head, b);
    EXPECT_EQ(b->pool_next, nullptr);
#else
    EXPECT_DEATH(tavix_buffer_return(b), "buffer returned twice");
    EXPECT_EQ(tavix_buffer_pool.head, b);
#endif
}

TEST_F(TavixBase, SearchesFindTheFirstPlaceWithinTheGivenLengthOnly) {
    const char text[] = "GET / HTTP/1.0\r\ncontent-LENGTH: 5\r\n\r\nab\0Zgzip";
    const std::size_t n = sizeof text - 1;  // 45 bytes with the NUL at 39
    EXPECT_EQ(tavix_util_strnstr(text, n, "\r\n", 2), 14);
    EXPECT_EQ(tavix_util_strnstr(text, n, "\r\n\r\n", 4), 33);
    EXPECT_EQ(tavix_util_strnstr(text, 36, "\r\n\r\n", 4), -1);  // the last byte lies past the length
    EXPECT_EQ(tavix_util_strnstr(text, 37, "\r\n\r\n", 4), 33);
    EXPECT_EQ(tavix_util_strnstr(text, n, "\0Z", 2), 39);  // past a NUL
    EXPECT_EQ(tavix_util_strnstr(text, n, "GET", 0), 0);
    EXPECT_EQ(tavix_util_strnstr(text, 2, "GET", 3), -1);
    EXPECT_EQ(tavix_util_strcasenstr(text, n, "Content-Length:", 15), 16);
    EXPECT_EQ(tavix_util_strcasenstr(text, n, "GZIP", 4), 41);
    EXPECT_EQ(tavix_util_strcasenstr(text, 44, "GZIP", 4), -1);
    EXPECT_EQ(tavix_util_strcasenstr(text, n, "b\0z", 3), 38);
    EXPECT_EQ(tavix_util_strcasenstr(text, n, "http/1.1", 8), -1);
    EXPECT_EQ(tavix_util_strcasenstr("", 0, "x", 1), -1);
}

TEST_F(TavixBase, TextUtilitiesFollowTheirRfcs) {
    struct {
        const char *in, *out;
    } b64[] = {{"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {"foobar", "Zm9vYmFy"}};
    for (const auto &c : b64) {
        char out[32];
        std::size_t size = sizeof out;
        EXPECT_EQ(tavix_base64_encode(reinterpret_cast<const uint8_t *>(c.in), std::strlen(c.in), out, &size), 0);
        EXPECT_STREQ(out, c.out);
        uint8_t back[32];
        std::size_t n = sizeof back;
        EXPECT_EQ(tavix_base64_decode(c.out, std::strlen(c.out), back, &n), 0);
        EXPECT_EQ(std::string(reinterpret_cast<char *>(back), n), c.in);
    }
    char small[4];
    std::size_t size = sizeof small;
    EXPECT_EQ(tavix_base64_encode(reinterpret_cast<const uint8_t *>("foo"), 3, small, &size), -2);
    EXPECT_EQ(size, 5u);
    uint8_t back[8];
    std::size_t n = sizeof back;
    EXPECT_EQ(tavix_base64_decode("Zm9v\r\nYmFy", 10, back, &n), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(back), n), "foobar");
    n = sizeof back;
    EXPECT_EQ(tavix_base64_decode("Zg==Zg==", 8, back, &n), -1);
    n = sizeof back;
    EXPECT_EQ(tavix_base64_decode("Zm9", 3, back, &n), -1);
    n = 2;
    EXPECT_EQ(tavix_base64_decode("Zm9v", 4, back, &n), -2);

    uint8_t hex[4];
    std::size_t count = 0;
    EXPECT_EQ(tavix_util_hex_decode("0aFf", 4, hex, sizeof hex, &count), 0);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(hex[0], 0x0A);
    EXPECT_EQ(hex[1], 0xFF);
    EXPECT_EQ(tavix_util_hex_decode("0aF", 3, hex, sizeof hex, &count), 1);
    EXPECT_EQ(tavix_util_hex_decode("0aFfzz", -1, hex, sizeof hex, &count), 0);
    EXPECT_EQ(count, 2u);
    char enc[16];
    tavix_util_hex_encode(hex, 2, enc);
    EXPECT_STREQ(enc, "0aff");

    char url[16];
    EXPECT_EQ(tavix_util_url_decode("a%20b+c", 7, url, sizeof url, true, true), 5u);
    EXPECT_STREQ(url, "a b c");
    EXPECT_EQ(tavix_util_url_decode("x%4", 3, url, sizeof url, false, true), 3u);
    EXPECT_STREQ(url, "x%4");
    EXPECT_EQ(tavix_util_url_decode("abcdef", 6, url, 4, false, true), 3u);
    EXPECT_EQ(tavix_util_url_compare("/a%2Fb", "/a/b", false), 0);
    EXPECT_EQ(tavix_util_url_compare("/x?1", "/x?2", true), 0);
    EXPECT_EQ(tavix_util_url_compare("/x?1", "/x?2", false), -1);
    EXPECT_EQ(tavix_util_url_compare("/b\" rest", "/a", false), 1);

    EXPECT_EQ(tavix_util_parse_http_time("Sun, 06 Nov 1994 08:49:37 GMT"), 784111777);
    EXPECT_EQ(tavix_util_parse_http_time("Sunday, 06-Nov-94 08:49:37 GMT"), 784111777);
    EXPECT_EQ(tavix_util_parse_http_time("Sun Nov  6 08:49:37 1994"), 784111777);
    EXPECT_EQ(tavix_util_parse_http_time("Sun, 06 Nov 1994 08:49:37 UTC"), 0);
    EXPECT_EQ(tavix_util_parse_http_time("06 Nov 1994"), 0);
    char date[40];
    EXPECT_EQ(tavix_util_output_http_time(784111777, date, sizeof date), 29u);
    EXPECT_STREQ(date, "Sun, 06 Nov 1994 08:49:37 GMT");

    uint64_t s = 0, ns = 0;
    tavix_util_split_jstime_to_seconds_nanoseconds("1700000000123.456", &s, &ns);
    EXPECT_EQ(s, 1700000000u);
    EXPECT_EQ(ns, 123456000u);

    const char *text = nullptr;
    EXPECT_EQ(tavix_get_error_strings(301, &text, nullptr), 0);
    EXPECT_STREQ(text, "Address not found");
    EXPECT_EQ(tavix_get_error_strings(999, &text, nullptr), -1);
    EXPECT_STREQ(text, "Cannot convert error code to an error string");
    EXPECT_EQ(tavix_util_snprintf(nullptr, 4, "x"), -2);
    EXPECT_EQ(tavix_util_snprintf(date, 4, "%s", "abcdef"), 6);
    EXPECT_STREQ(date, "abc");
    EXPECT_EQ(tavix_util_upper_power_of_two(4096), 4096u);
    EXPECT_EQ(tavix_util_upper_power_of_two(4097), 8192u);

    EXPECT_STREQ(tavix_options_mime_type("/a/b.HTM"), "text/html");
    EXPECT_STREQ(tavix_options_mime_type("app.js"), "text/javascript");
    EXPECT_EQ(tavix_options_mime_type("noext"), nullptr);
    test_support::TempRoot root;
    const std::string path = root.path() + "/mime.types";
    FILE *f = std::fopen(path.c_str(), "w");
    std::fputs("# comment\n\ntext/plain txt text # trailing\napplication/wasm wasm\n", f);
    std::fclose(f);
    ASSERT_EQ(tavix_options_set_mimetypes_from_file(path.c_str()), 0);
    EXPECT_EQ(tavix_global_options.mime_count, 3u);
    EXPECT_STREQ(tavix_options_mime_type("a.TEXT"), "text/plain");
    EXPECT_STREQ(tavix_options_mime_type("a.wasm"), "application/wasm");
    EXPECT_EQ(tavix_options_mime_type("a.htm"), nullptr);

    uint8_t rnd[9];
    EXPECT_EQ(tavix_sys_get_random_data(rnd, 4, true, true), 0);
    EXPECT_EQ(std::strlen(reinterpret_cast<char *>(rnd)), 8u);
    // Raw bytes with the no-zero flag: none is 0 (4096 random bytes without
    // the flag hold a zero byte but for a chance of about 1 in 10^7).
    std::vector<uint8_t> raw(4096, 0);
    EXPECT_EQ(tavix_sys_get_random_data(raw.data(), raw.size(), false, true), 0);
    EXPECT_EQ(std::count(raw.begin(), raw.end(), uint8_t(0)), 0);
}

TEST_F(TavixBase, TheOptionsStartWithTheirDefaults) {
    const tavix_options_t &o = tavix_global_options;
    EXPECT_STREQ(o.default_documents, "index.htm");
    EXPECT_STREQ(o.prefix, "/tavIX/");
    EXPECT_STREQ(o.web_root, "WEBROOT_NOT_SET");
    EXPECT_STREQ(o.realm, "tavIX");
    EXPECT_STREQ(o.server_header, "TavIX SDK/0.9.0");
    EXPECT_EQ(o.http_port, 80u);
    EXPECT_EQ(o.https_port, 443u);
    EXPECT_EQ(o.level, 3u);
    EXPECT_EQ(o.auth_method, 5u);
    EXPECT_EQ(o.tcp_nodelay, 1u);
    EXPECT_EQ(o.session_timeout, 60u);
    EXPECT_EQ(o.request_limit, 131072u);
    EXPECT_EQ(o.buffer_limit, 8388608u);
    EXPECT_EQ(o.long_poll, 1u);
    EXPECT_EQ(o.max_sessions, 4u);
    EXPECT_EQ(o.max_frames, 16u);
    EXPECT_EQ(o.max_items, 8192u);
    EXPECT_EQ(o.max_notifications, 4608u);
    EXPECT_EQ(o.max_auth_records, 4u);
    EXPECT_EQ(o.mime_count, 10u);
}
