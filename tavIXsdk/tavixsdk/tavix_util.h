// The web server's options, its table of result codes, MIME types and the
// small text utilities of the request engine: hex and base64, URL decoding and
// comparison, HTTP dates, random data and the error reporting every part of
// the server goes through.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

// One text per call: where the server reports its failures.
using tavix_error_cb = void (*)(const char *text);
using tavix_idle_cb = void (*)(uint64_t now);

struct tavix_mime_type {
    const char *extension;
    const char *type;
};

// Options record; texts are owned copies (null: not set).
struct tavix_options_t {
    char *server_name;
    char *prefix;  // URL prefix of the method interface
    char *http_address;
    uint32_t http_port;  // 0 disables
    char *https_address;
    uint32_t https_port;  // 0 disables
    char *certificate;    // PEM file with certificate and key; null disables TLS
    char *passphrase;
    char *web_root;
    char *default_documents;  // separated by ';'
    const tavix_mime_type *mime;
    uint32_t mime_count;
    uint32_t level;        // methods of a higher class are not served; 0: no sessions
    uint32_t auth_method;  // 1 Basic, 2 Digest, 3 Negotiate, 4 NTLM, 5 form login
    char *realm;
    uint32_t tcp_nodelay;
    uint32_t session_timeout;  // seconds
    uint32_t request_limit;    // bytes
    uint32_t buffer_limit;     // bytes
    tavix_error_cb error_cb;
    tavix_idle_cb idle_cb;
    const char *banner;
    const char *server_header;
    uint32_t long_poll;
    uint32_t max_sessions;
    uint32_t max_frames;
    uint32_t max_items;
    uint32_t max_notifications;
    uint32_t max_auth_records;
};
extern tavix_options_t tavix_global_options;

// The default MIME table, sorted by extension.
constexpr uint32_t TAVIX_DEFAULT_MIME_COUNT = 10;
extern const tavix_mime_type tavix_default_mime_types[TAVIX_DEFAULT_MIME_COUNT];

struct tavix_error_entry {
    int32_t code;
    const char *text;
};
// Result codes and their texts; the last row has a negative code.
extern const tavix_error_entry tavix_error_table[];

// Sets the defaults (freeing texts set before); 0.
int tavix_options_initialize();
// Frees every text and the MIME table unless it is the default one.
void tavix_options_free();
int tavix_options_set_http_options(const char *address, uint32_t port);
int tavix_options_set_https_options(const char *address, uint32_t port, const char *certificate,
                                    const char *passphrase);
int tavix_options_set_web_root(const char *folder, const char *documents);
int tavix_options_set_server_name(const char *name);
int tavix_options_set_tavix_prefix(const char *prefix);
int tavix_options_set_auth_options(uint32_t method, const char *realm);
// Reads "type ext ext ..." lines; 0, or -1 when the file cannot be read.
int tavix_options_set_mimetypes_from_file(const char *path);
// The MIME type of a file name's extension, or null.
const char *tavix_options_mime_type(const char *name);
// Writes the text and a newline to the standard error stream.
void tavix_options_stderr_error_cb(const char *text);

// Reports one text through the options' error callback (printf form).
void tavix_util_error(const char *format, ...) __attribute__((format(printf, 1, 2)));

// The table text of a code, or "Cannot convert error code to an error string".
int tavix_get_error_strings(int32_t code, const char **text, const char **languages);

// -2 for a null destination, zero size or null format; -1 on a formatting
// error; else the length the text needs, always NUL-terminated within size.
int tavix_util_snprintf(char *out, std::size_t size, const char *format, ...) __attribute__((format(printf, 3, 4)));

// Lower-case hexadecimal, NUL-terminated, written from the end (out may be
// the input itself).
void tavix_util_hex_encode(const uint8_t *bytes, std::size_t count, char *out);
// 0 with the byte count; 1 for an odd length, a bad digit or a full output
// (with a length); with length -1 decoding stops at the first non-hex digit.
int tavix_util_hex_decode(const char *text, long length, uint8_t *out, std::size_t out_size, std::size_t *count);
// 0; -2 when *size is too small (the needed size is written back).
int tavix_base64_encode(const uint8_t *bytes, std::size_t count, char *out, std::size_t *size);
// 0 with the byte count in *size; -1 malformed; -2 output too small.
int tavix_base64_decode(const char *text, std::size_t count, uint8_t *out, std::size_t *size);
// Answers the output length.
std::size_t tavix_util_url_decode(const char *text, std::size_t length, char *out, std::size_t out_size,
                                  bool plus_as_space, bool terminate);
int tavix_util_url_compare(const char *a, const char *b, bool stop_at_query);
long tavix_util_strnstr(const char *haystack, std::size_t length, const char *needle, std::size_t needle_length);
long tavix_util_strcasenstr(const char *haystack, std::size_t length, const char *needle, std::size_t needle_length);
uint64_t tavix_util_upper_power_of_two(uint64_t value);
int tavix_util_compare_mimetype(const void *a, const void *b);
// 1 (and the overflow text reported) when wanted exceeds the limit, else 0.
int tavix_util_call_overflow_error(uint32_t limit, uint32_t wanted);
// "%a, %d %b %Y %H:%M:%S GMT"; answers the length.
std::size_t tavix_util_output_http_time(time_t seconds, char *out, std::size_t size);
// Seconds since 1970 of an HTTP date in any of its three forms, 0 when it does not parse.
time_t tavix_util_parse_http_time(const char *text);
// A time in milliseconds with an optional fraction into seconds and nanoseconds.
void tavix_util_split_jstime_to_seconds_nanoseconds(const char *text, uint64_t *seconds, uint64_t *nanoseconds);
// Reads length bytes of /dev/urandom; optionally without zero bytes and as
// lower-case hexadecimal in place (out holds 2 x length + 1 then). 0.
int tavix_sys_get_random_data(uint8_t *out, std::size_t length, bool as_hex, bool no_zero);
// The same source for a caller that must not go on without it: 0, or -1
// (reported) when fewer than length bytes arrive.
int tavix_sys_fill_random(uint8_t *out, std::size_t length);
// The random source, "/dev/urandom" (a test points it elsewhere).
extern const char *tavix_sys_random_path;
