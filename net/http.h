// HTTP/1.0 server on TCP port 80 with the NetX-style interface: serves files
// of a media and hands each request to an authentication check and a request
// notification; Digest and Basic credential checks. One step per main-loop
// pass, never blocking; one connection at a time, closed after each answer.
#pragma once

#include <array>
#include <cstdint>

#include "media/filex.h"
#include "net/md5.h"
#include "net/nx.h"

constexpr uint32_t NX_HTTP_SERVER_ID = 0x48545450;
constexpr uint32_t NX_HTTP_MAX_RESOURCE = 40;
constexpr uint32_t NX_HTTP_SERVER_PORT = 80;

// Status numbers.
enum : uint32_t {
    NX_HTTP_ERROR = 224,
    NX_HTTP_TIMEOUT = 225,
    NX_HTTP_DATA_END = 226,  // parameter empty or too long
    NX_HTTP_DONT_AUTHENTICATE = 227,
    NX_HTTP_BASIC_AUTHENTICATE = 228,
    NX_HTTP_DIGEST_AUTHENTICATE = 229,
    NX_HTTP_NOT_FOUND = 230,
    NX_HTTP_INCOMPLETE_CONTENT = 231,  // end of content
    NX_HTTP_CALLBACK_COMPLETED = 232,
    NX_HTTP_POOL_ERROR = 233,
};
// Request types handed to the callbacks.
enum : uint32_t {
    NX_HTTP_SERVER_GET_REQUEST = 1,
    NX_HTTP_SERVER_POST_REQUEST = 2,
    NX_HTTP_SERVER_HEAD_REQUEST = 3,
    NX_HTTP_SERVER_PUT_REQUEST = 4,
    NX_HTTP_SERVER_DELETE_REQUEST = 5
};

// Smallest payload a packet of the server's pool must offer.
constexpr uint32_t NX_HTTP_SERVER_MIN_PACKET_SIZE = 604;
// Passes a connection may spend without a whole request before it is dropped.
constexpr uint32_t NX_HTTP_SERVER_MAX_PENDING = 1000;
// A PUT body that stops arriving for this long (ms) is answered 500.
constexpr uint32_t NX_HTTP_SERVER_RECEIVE_MS = 5000;
// Connections are taken as they come and held, each in a record of its own,
// until their request header is whole; then answered one at a time. With
// every record taken, a new connection displaces the oldest that has not
// handed on a whole request.
constexpr uint32_t NX_HTTP_SERVER_WAITING = 8;
// Connections taken at most in one step.
constexpr uint32_t NX_HTTP_SERVER_TAKE_MAX = 32;

// A connection held until its request is whole.
struct NxHttpWaiting {
    NX_TCP_SOCKET socket;  // listens on the server's port while it holds none
    NX_PACKET *request;    // what has come of its request
    uint32_t passes;       // passes spent without a whole request header
    uint32_t accept_seq;   // order of taking: the oldest is displaced first
    uint8_t whole;         // the request is whole and waits to be answered
};

struct NX_HTTP_SERVER;
using NxHttpAuthCheck = uint32_t (*)(NX_HTTP_SERVER *server, uint32_t request_type, char *resource, char **name,
                                     char **password, char **realm);
using NxHttpRequestNotify = uint32_t (*)(NX_HTTP_SERVER *server, uint32_t request_type, char *resource,
                                         NX_PACKET *packet);

struct NX_HTTP_SERVER {
    uint32_t nx_http_server_id;
    const char *nx_http_server_name;
    NX_IP *nx_http_server_ip_ptr;
    char nx_http_server_request_resource[NX_HTTP_MAX_RESOURCE];
    uint32_t nx_http_server_connection_pending;
    NX_PACKET_POOL *nx_http_server_packet_pool_ptr;
    FxMedia *nx_http_server_media_ptr;
    uint32_t nx_http_server_get_requests;
    uint32_t nx_http_server_head_requests;
    uint32_t nx_http_server_put_requests;
    uint32_t nx_http_server_delete_requests;
    uint32_t nx_http_server_post_requests;
    uint32_t nx_http_server_unknown_requests;
    uint32_t nx_http_server_total_bytes_sent;
    uint32_t nx_http_server_total_bytes_received;
    uint32_t nx_http_server_allocation_errors;
    uint32_t nx_http_server_connection_failures;
    uint32_t nx_http_server_connection_successes;
    uint32_t nx_http_server_invalid_http_headers;  // request time-outs
    FxFile nx_http_server_file;
    NX_TCP_SOCKET nx_http_server_socket;
    uint32_t nx_http_server_thread;  // kept for the interface; the server has no thread
    NX_MD5 nx_http_server_md5data;
    NxHttpAuthCheck nx_http_server_authentication_check;
    NxHttpRequestNotify nx_http_server_request_notify;
    // A request header still arriving over later passes.
    NX_PACKET *nx_http_server_request_packet;
    // The packet of a long POST body that content_get last received, and
    // the index in the content of its first byte.
    NX_PACKET *nx_http_server_content_more;
    uint32_t nx_http_server_content_base;
    // A PUT whose body still arrives: bytes expected, ms tick of the last data.
    uint32_t nx_http_server_put_remaining;
    uint32_t nx_http_server_put_time;
    uint8_t nx_http_server_put_active;
    // Where a PUT's body goes until it is whole.
    FxUpload nx_http_server_upload;
    // Connections held until their request is whole, and the order number
    // of the last one taken.
    std::array<NxHttpWaiting, NX_HTTP_SERVER_WAITING> nx_http_server_waiting;
    uint32_t nx_http_server_accept_seq;
};

extern std::array<uint32_t, 2> length_info;
extern const char _nx_http_server_nonce[36];
extern const char _nx_http_server_base64_array[65];

// ---- server operations (checking front ends _nxe_, then _nx_) ----------------------------
uint32_t _nxe_http_server_create(NX_HTTP_SERVER *server, const char *name, NX_IP *ip, FxMedia *media, void *stack,
                                 uint32_t stack_size, NX_PACKET_POOL *pool, NxHttpAuthCheck auth,
                                 NxHttpRequestNotify notify);
uint32_t _nx_http_server_create(NX_HTTP_SERVER *server, const char *name, NX_IP *ip, FxMedia *media, void *stack,
                                uint32_t stack_size, NX_PACKET_POOL *pool, NxHttpAuthCheck auth,
                                NxHttpRequestNotify notify);
uint32_t _nxe_http_server_start(NX_HTTP_SERVER *server);
uint32_t _nx_http_server_start(NX_HTTP_SERVER *server);
uint32_t _nxe_http_server_stop(NX_HTTP_SERVER *server);
uint32_t _nx_http_server_stop(NX_HTTP_SERVER *server);
uint32_t _nxe_http_server_delete(NX_HTTP_SERVER *server);
uint32_t _nx_http_server_delete(NX_HTTP_SERVER *server);
void _nx_http_server_connection_present(NX_TCP_SOCKET *socket, uint32_t port);
void _nx_http_server_thread_entry(NX_HTTP_SERVER *server);

uint32_t _nxe_http_server_content_get(NX_HTTP_SERVER *server, NX_PACKET *packet, uint32_t offset, char *destination,
                                      uint32_t max, uint32_t *actual);
uint32_t _nx_http_server_content_get(NX_HTTP_SERVER *server, NX_PACKET *packet, uint32_t offset, char *destination,
                                     uint32_t max, uint32_t *actual);
uint32_t _nxe_http_server_content_length_get(NX_PACKET *packet);
uint32_t _nx_http_server_content_length_get(NX_PACKET *packet);
uint32_t _nxe_http_server_param_get(NX_PACKET *packet, uint32_t index, char *destination, uint32_t max);
uint32_t _nx_http_server_param_get(NX_PACKET *packet, uint32_t index, char *destination, uint32_t max);
uint32_t _nxe_http_server_query_get(NX_PACKET *packet, uint32_t index, char *destination, uint32_t max);
uint32_t _nx_http_server_query_get(NX_PACKET *packet, uint32_t index, char *destination, uint32_t max);
uint32_t _nx_http_server_callback_response_send(NX_HTTP_SERVER *server, const char *header, const char *info,
                                                const char *info2);
uint32_t _nx_http_server_callback_data_send(NX_HTTP_SERVER *server, const void *data, uint32_t length);
uint32_t _nx_http_server_response_send(NX_HTTP_SERVER *server, const char *header, const char *info, const char *info2);

// ---- request helpers --------------------------------------------------------------------------
// The resource of the request (at most max - 1 characters): 0 or 224.
uint32_t _nx_http_server_retrieve_resource(NX_PACKET *packet, char *resource, uint32_t max);
// Index of the first byte after the header's blank line (0 for empty data).
uint32_t _nx_http_server_calculate_content_offset(NX_PACKET *packet);
// Content type of a resource by its extension.
const char *_nx_http_server_type_get(const char *resource);
// Decimal text of number without leading zeros; its length.
uint32_t _nx_http_server_number_convert(uint32_t number, char *text);
// A Content-Length header of more than ten digits (a length no 32-bit count holds).
bool HttpContentLengthTooLong(NX_PACKET *packet);

// ---- authentication -----------------------------------------------------------------------------
uint32_t _nx_http_server_digest_authenticate(NX_HTTP_SERVER *server, NX_PACKET *packet, const char *name,
                                             const char *password, const char *realm);
uint32_t _nx_http_server_basic_authenticate(NX_HTTP_SERVER *server, NX_PACKET *packet, const char *name,
                                            const char *password, const char *realm);
uint32_t _nx_http_server_retrieve_digest_authorization(NX_PACKET *packet, char *response, char *uri, char *nc,
                                                       char *cnonce);
uint32_t _nx_http_server_retrieve_basic_authorization(NX_PACKET *packet, char *credentials);
void _nx_http_server_digest_response_calculate(NX_HTTP_SERVER *server, const char *name, const char *realm,
                                               const char *password, const char *nonce, const char *method,
                                               const char *uri, const char *nc, const char *cnonce, char *result);
void _nx_http_base64_decode(const char *text, char *out);
void _nx_http_base64_encode(const char *text, uint32_t length, char *out);
void _nx_http_server_hex_ascii_convert(const uint8_t *bytes, uint32_t count, char *out);
