// HTTP/1.0 server: request reading, methods, response writer, request
// helpers, and the Digest and Basic credential checks.
#include "net/http.h"

#include <cctype>
#include <cstddef>
#include <cstring>

#include "core/image/tx.h"

std::array<uint32_t, 2> length_info;
const char _nx_http_server_nonce[36] = "c9e1f0a7b3d5e2c8f4a6b0d9e7c1a3f5b2d";
const char _nx_http_server_base64_array[65] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

namespace {

struct Span {
    const char *p;
    const char *end;
};
Span Data(const NX_PACKET *pk) {
    return {reinterpret_cast<const char *>(pk->nx_packet_prepend_ptr),
            reinterpret_cast<const char *>(pk->nx_packet_append_ptr)};
}

bool EqNoCase(const char *a, const char *b, std::size_t n) {
    for (std::size_t i = 0; i < n; i++) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

// First position of key (letters without regard to case, other characters
// exact) in [p, end); nullptr when absent. Stops at a NUL when stop_nul.
const char *FindNoCase(const char *p, const char *end, const char *key, bool stop_nul = false) {
    const std::size_t n = std::strlen(key);
    const int k0 = std::tolower(static_cast<unsigned char>(key[0]));
    for (; p + n <= end; p++) {
        if (stop_nul && *p == 0) return nullptr;
        if ((*p | 0x20) != (k0 | 0x20) && *p != key[0]) continue;
        if (EqNoCase(p, key, n)) return p;
    }
    return nullptr;
}

const char *FindExact(const char *p, const char *end, const char *key) {
    const std::size_t n = std::strlen(key);
    for (; p + n <= end; p++) {
        if (std::memcmp(p, key, n) == 0) return p;
    }
    return nullptr;
}

uint32_t Append(NX_PACKET *pk, const char *text, NX_PACKET_POOL *pool) {
    return _nx_packet_data_append(pk, text, uint32_t(std::strlen(text)), pool, 0);
}

NX_HTTP_SERVER *ServerOf(NX_TCP_SOCKET *s) {
    return reinterpret_cast<NX_HTTP_SERVER *>(reinterpret_cast<char *>(s) -
                                              offsetof(NX_HTTP_SERVER, nx_http_server_socket));
}

uint32_t Iface(const NX_HTTP_SERVER *sv) {
    return sv->nx_http_server_ip_ptr ? (sv->nx_http_server_ip_ptr->nx_ip_interface & 1) : 0;
}

void Relisten(NX_HTTP_SERVER *sv) {
    _nx_tcp_server_socket_relisten(sv->nx_http_server_ip_ptr, NX_HTTP_SERVER_PORT, &sv->nx_http_server_socket);
}

void DropRequest(NX_HTTP_SERVER *sv) {
    if (sv->nx_http_server_request_packet) _nx_packet_release(sv->nx_http_server_request_packet);
    sv->nx_http_server_request_packet = nullptr;
    if (sv->nx_http_server_content_more) _nx_packet_release(sv->nx_http_server_content_more);
    sv->nx_http_server_content_more = nullptr;
}

void CloseFile(NX_HTTP_SERVER *sv) {
    if (sv->nx_http_server_file.open) _fxe_file_close(&sv->nx_http_server_file);
    length_info[Iface(sv)] = 0;
}

// A PUT that ends before its body is whole leaves the old file as it was.
void PutDrop(NX_HTTP_SERVER *sv) {
    _fxe_file_upload_abort(&sv->nx_http_server_file, &sv->nx_http_server_upload);
    sv->nx_http_server_put_active = 0;
}

// Closes the connection of server record s, which listens again. Bytes the
// client sent past its request are read away first, so that the close does
// not reset the connection under the answer.
void CloseConnection(NX_TCP_SOCKET *s) {
    for (int i = 0; i < 8; i++) {
        NX_PACKET *pk = nullptr;
        if (_nx_tcp_socket_receive(s, &pk, 0) != NX_SUCCESS) break;
        _nx_packet_release(pk);
    }
    _nx_tcp_server_socket_unaccept(s);
}

// Ends the connection in hand and listens again.
void EndConnection(NX_HTTP_SERVER *sv) {
    DropRequest(sv);
    PutDrop(sv);
    CloseConnection(&sv->nx_http_server_socket);
    Relisten(sv);
}

uint32_t Authenticate(NX_HTTP_SERVER *sv, uint32_t type, NX_PACKET *pk) {
    if (sv->nx_http_server_authentication_check == nullptr) return NX_SUCCESS;
    char *name = nullptr, *password = nullptr, *realm = nullptr;
    uint32_t st = sv->nx_http_server_authentication_check(sv, type, sv->nx_http_server_request_resource, &name,
                                                          &password, &realm);
    if (st == NX_HTTP_BASIC_AUTHENTICATE)
        st = _nx_http_server_basic_authenticate(sv, pk, name ? name : "", password ? password : "", realm ? realm : "");
    else if (st == NX_HTTP_DIGEST_AUTHENTICATE)
        st =
            _nx_http_server_digest_authenticate(sv, pk, name ? name : "", password ? password : "", realm ? realm : "");
    return st == NX_HTTP_DONT_AUTHENTICATE ? NX_SUCCESS : st;
}

// Continues a GET file response: one packet, at most the connection's MSS.
void FileData(NX_HTTP_SERVER *sv, NX_PACKET *pk) {
    const uint32_t n = Iface(sv);
    if (pk == nullptr && _nx_packet_allocate(sv->nx_http_server_packet_pool_ptr, &pk, 0, 0) != NX_SUCCESS) {
        sv->nx_http_server_allocation_errors++;
        CloseFile(sv);
        return;
    }
    uint32_t room = uint32_t(pk->nx_packet_data_end - pk->nx_packet_append_ptr) - 4;
    const uint32_t mss = sv->nx_http_server_socket.mss;
    if (mss != 0 && pk->nx_packet_length + room > mss)
        room = mss > pk->nx_packet_length ? mss - pk->nx_packet_length : 0;
    // No more than the Content-Length announced: bytes a file (a data log)
    // gained since its size was taken are not sent behind the answer.
    if (room > length_info[n]) room = length_info[n];
    uint32_t got = 0;
    if (room == 0 || _fxe_file_read(&sv->nx_http_server_file, pk->nx_packet_append_ptr, room, &got) != FX_SUCCESS ||
        got == 0) {
        _nx_packet_release(pk);
        CloseFile(sv);
        return;
    }
    pk->nx_packet_append_ptr += got;
    pk->nx_packet_length += got;
    if (_nx_tcp_socket_send(&sv->nx_http_server_socket, pk, 5000) != NX_SUCCESS) {
        CloseFile(sv);
        return;
    }
    sv->nx_http_server_total_bytes_sent += got;
    const uint32_t left = length_info[n] > got ? length_info[n] - got : 0;
    // What the size promised has gone: the response is complete.
    if (left == 0) {
        CloseFile(sv);
        return;
    }
    length_info[n] = left;
}

void GetProcess(NX_HTTP_SERVER *sv, uint32_t type, NX_PACKET *pk) {
    const uint32_t n = Iface(sv);
    if (_nx_http_server_retrieve_resource(pk, sv->nx_http_server_request_resource, NX_HTTP_MAX_RESOURCE) !=
        NX_SUCCESS) {
        _nx_http_server_response_send(sv, "HTTP/1.0 400 ", "NetX HTTP URL Bad", nullptr);
        return;
    }
    if (type == NX_HTTP_SERVER_POST_REQUEST) {
        if (_nx_http_server_content_length_get(pk) == 0) {
            _nx_http_server_response_send(sv, "HTTP/1.0 411 ", "NetX HTTP No Content Length", nullptr);
            return;
        }
        if (_nx_http_server_calculate_content_offset(pk) == 0) {
            _nx_http_server_response_send(sv, "HTTP/1.0 411 ", "NetX HTTP Invalid Content Offset", nullptr);
            return;
        }
    }
    if (Authenticate(sv, type, pk) != NX_SUCCESS) return;
    _nx_tcp_socket_transmit_configure(&sv->nx_http_server_socket, 40, 1000, 7, 0);
    if (sv->nx_http_server_request_notify) {
        const uint32_t st = sv->nx_http_server_request_notify(sv, type, sv->nx_http_server_request_resource, pk);
        if (st == NX_HTTP_CALLBACK_COMPLETED) return;
        if (st != NX_SUCCESS) {
            _nx_http_server_response_send(sv, "HTTP/1.0 500 ", "NetX HTTP Request Aborted", nullptr);
            return;
        }
    }
    // A folder opens, but is no file to send: it is not found either.
    uint32_t attributes = 0;
    uint64_t size64 = 0;
    if (_fxe_file_open(sv->nx_http_server_media_ptr, &sv->nx_http_server_file, sv->nx_http_server_request_resource,
                       FX_OPEN_FOR_READ) != FX_SUCCESS ||
        (_fxe_directory_information_get(sv->nx_http_server_media_ptr, sv->nx_http_server_request_resource, &attributes,
                                        &size64, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr) == FX_SUCCESS &&
         (attributes & FX_DIRECTORY))) {
        CloseFile(sv);
        _nx_http_server_response_send(sv, "HTTP/1.0 404 ",
                                      "NetX HTTP Server unable to find file: ", sv->nx_http_server_request_resource);
        return;
    }
    NX_PACKET *out = nullptr;
    if (_nx_packet_allocate(sv->nx_http_server_packet_pool_ptr, &out, 0, 0) != NX_SUCCESS) {
        sv->nx_http_server_allocation_errors++;
        _nx_http_server_response_send(sv, "HTTP/1.0 500 ", "NetX HTTP Request Aborted", nullptr);
        CloseFile(sv);
        return;
    }
    const uint32_t size = size64 > 0xFFFFFFFFu ? 0xFFFFFFFFu : uint32_t(size64);
    char num[12];
    _nx_http_server_number_convert(size, num);
    NX_PACKET_POOL *pool = sv->nx_http_server_packet_pool_ptr;
    Append(out, "HTTP/1.0 200 ", pool);
    Append(out, "\r\n", pool);
    Append(out, "Content-Length: ", pool);
    Append(out, num, pool);
    Append(out, "\r\n", pool);
    Append(out, "Content-Type: ", pool);
    Append(out, _nx_http_server_type_get(sv->nx_http_server_request_resource), pool);
    Append(out, "\r\n", pool);
    Append(out, "\r\n", pool);
    if (size == 0 || type == NX_HTTP_SERVER_HEAD_REQUEST) {
        if (_nx_tcp_socket_send(&sv->nx_http_server_socket, out, 5000) == NX_SUCCESS)
            sv->nx_http_server_total_bytes_sent += out == nullptr ? 0 : 0;
        CloseFile(sv);
        return;
    }
    length_info[n] = size;
    FileData(sv, out);
}

// Writes the part of pk's data from 'from' that the PUT still expects.
bool PutWrite(NX_HTTP_SERVER *sv, const uint8_t *from, const uint8_t *to) {
    uint32_t n = uint32_t(to - from);
    if (n > sv->nx_http_server_put_remaining) n = sv->nx_http_server_put_remaining;
    if (n == 0) return true;
    if (_fxe_file_write(&sv->nx_http_server_file, from, n) != FX_SUCCESS) return false;
    sv->nx_http_server_total_bytes_received += n;
    sv->nx_http_server_put_remaining -= n;
    return true;
}

void PutFail(NX_HTTP_SERVER *sv, const char *text) {
    PutDrop(sv);
    _nx_http_server_response_send(sv, "HTTP/1.0 500 ", text, nullptr);
}

void PutFinish(NX_HTTP_SERVER *sv) {
    if (_fxe_file_upload_commit(&sv->nx_http_server_file, &sv->nx_http_server_upload) != FX_SUCCESS)
        return PutFail(sv, "NetX HTTP File Write Failed");
    sv->nx_http_server_put_active = 0;
    _nx_http_server_response_send(sv, "HTTP/1.0 200 ", nullptr, nullptr);
}

// The rest of a PUT body, as much as has arrived; true when the request ended.
bool PutContinue(NX_HTTP_SERVER *sv) {
    while (sv->nx_http_server_put_remaining > 0) {
        NX_PACKET *pk = nullptr;
        if (_nx_tcp_socket_receive(&sv->nx_http_server_socket, &pk, 0) != NX_SUCCESS) {
            if (_tx_time_get() - sv->nx_http_server_put_time >= NX_HTTP_SERVER_RECEIVE_MS) {
                PutFail(sv, "NetX HTTP Receive Timeout");
                return true;
            }
            return false;
        }
        sv->nx_http_server_put_time = _tx_time_get();
        const bool ok = PutWrite(sv, pk->nx_packet_prepend_ptr, pk->nx_packet_append_ptr);
        _nx_packet_release(pk);
        if (!ok) {
            PutFail(sv, "NetX HTTP File Write Failed");
            return true;
        }
    }
    PutFinish(sv);
    return true;
}

// PUT; true when the request ended in this pass.
bool PutProcess(NX_HTTP_SERVER *sv, NX_PACKET *pk) {
    if (_nx_http_server_retrieve_resource(pk, sv->nx_http_server_request_resource, NX_HTTP_MAX_RESOURCE) !=
        NX_SUCCESS) {
        _nx_http_server_response_send(sv, "HTTP/1.0 400 ", "NetX HTTP URL Bad", nullptr);
        return true;
    }
    const uint32_t length = _nx_http_server_content_length_get(pk);
    if (length == 0 || HttpContentLengthTooLong(pk)) {
        _nx_http_server_response_send(sv, "HTTP/1.0 411 ", "NetX HTTP No Content Length", nullptr);
        return true;
    }
    const uint32_t offset = _nx_http_server_calculate_content_offset(pk);
    if (offset == 0) {
        _nx_http_server_response_send(sv, "HTTP/1.0 411 ", "NetX HTTP Invalid Content Offset", nullptr);
        return true;
    }
    if (Authenticate(sv, NX_HTTP_SERVER_PUT_REQUEST, pk) != NX_SUCCESS) return true;
    if (sv->nx_http_server_request_notify) {
        const uint32_t st =
            sv->nx_http_server_request_notify(sv, NX_HTTP_SERVER_PUT_REQUEST, sv->nx_http_server_request_resource, pk);
        if (st == NX_HTTP_CALLBACK_COMPLETED) {
            _nx_http_server_response_send(sv, "HTTP/1.0 200 ", nullptr, nullptr);
            return true;
        }
        if (st != NX_SUCCESS) {
            _nx_http_server_response_send(sv, "HTTP/1.0 500 ", "NetX HTTP Request Aborted", nullptr);
            return true;
        }
    }
    if (_fxe_file_upload_open(sv->nx_http_server_media_ptr, &sv->nx_http_server_file, &sv->nx_http_server_upload,
                              sv->nx_http_server_request_resource, false) != FX_SUCCESS) {
        _nx_http_server_response_send(sv, "HTTP/1.0 500 ", "NetX HTTP File Create/Open Failed", nullptr);
        return true;
    }
    sv->nx_http_server_put_remaining = length;
    sv->nx_http_server_put_time = _tx_time_get();
    sv->nx_http_server_put_active = 1;
    if (offset < pk->nx_packet_length && !PutWrite(sv, pk->nx_packet_prepend_ptr + offset, pk->nx_packet_append_ptr)) {
        PutFail(sv, "NetX HTTP File Write Failed");
        return true;
    }
    return PutContinue(sv);
}

void DeleteProcess(NX_HTTP_SERVER *sv, NX_PACKET *pk) {
    if (_nx_http_server_retrieve_resource(pk, sv->nx_http_server_request_resource, NX_HTTP_MAX_RESOURCE) !=
        NX_SUCCESS) {
        _nx_http_server_response_send(sv, "HTTP/1.0 400 ", "NetX HTTP URL Bad", nullptr);
        return;
    }
    if (Authenticate(sv, NX_HTTP_SERVER_DELETE_REQUEST, pk) != NX_SUCCESS) return;
    if (sv->nx_http_server_request_notify) {
        const uint32_t st = sv->nx_http_server_request_notify(sv, NX_HTTP_SERVER_DELETE_REQUEST,
                                                              sv->nx_http_server_request_resource, pk);
        if (st == NX_HTTP_CALLBACK_COMPLETED) {
            _nx_http_server_response_send(sv, "HTTP/1.0 200 ", nullptr, nullptr);
            return;
        }
        if (st != NX_SUCCESS) {
            _nx_http_server_response_send(sv, "HTTP/1.0 500 ", "NetX HTTP Request Aborted", nullptr);
            return;
        }
    }
    if (_fxe_file_delete(sv->nx_http_server_media_ptr, sv->nx_http_server_request_resource) == FX_SUCCESS)
        _nx_http_server_response_send(sv, "HTTP/1.0 200 ", nullptr, nullptr);
    else
        _nx_http_server_response_send(sv, "HTTP/1.0 500 ", "NetX HTTP File Delete Failed", nullptr);
}

// The request in pk is a POST whose header is whole.
bool PostHeaderWhole(const NX_PACKET *pk) {
    const Span d = Data(pk);
    return d.end - d.p >= 5 && std::memcmp(d.p, "POST ", 5) == 0 && FindExact(d.p, d.end, "\r\n\r\n") != nullptr;
}

// Reads the request of connection s into its packet held (none at first):
// 0 whole header (and, for a POST, as much of the body as a packet holds),
// 225 still arriving, 224 refused (held is then released). Only what the
// held packet has room for is read: the rest of a long POST body stays with
// the connection, and content_get reads it when the request notification
// asks for it. A header must fit one packet.
uint32_t GetClientRequest(NX_TCP_SOCKET *s, NX_PACKET *&held) {
    auto drop = [&held] {
        if (held != nullptr) _nx_packet_release(held);
        held = nullptr;
    };
    for (;;) {
        if (held != nullptr) {
            const Span d = Data(held);
            const char *blank = FindExact(d.p, d.end, "\r\n\r\n");
            if (blank != nullptr) {
                // A POST body is read with its header, as far as a packet holds it;
                // other bodies (PUT) are read by their method.
                if (!(d.end - d.p >= 5 && std::memcmp(d.p, "POST ", 5) == 0)) return NX_SUCCESS;
                const uint32_t want = _nx_http_server_content_length_get(held);
                const uint32_t have = uint32_t(d.end - (blank + 4));
                if (have >= want || held->nx_packet_append_ptr >= held->nx_packet_data_end) return NX_SUCCESS;
            } else if (held->nx_packet_append_ptr >= held->nx_packet_data_end) {
                drop();
                return NX_HTTP_ERROR;
            }
            if (NxTcpReceiveBehind(s, held) != NX_SUCCESS) return NX_HTTP_TIMEOUT;
            continue;
        }
        NX_PACKET *pk = nullptr;
        if (_nx_tcp_socket_receive(s, &pk, 0) != NX_SUCCESS) return NX_HTTP_TIMEOUT;
        const char c = char(pk->nx_packet_prepend_ptr[0]);
        if (c == 0 || std::strchr("GgPpDdHhTt", c) == nullptr) {
            _nx_packet_release(pk);
            return NX_HTTP_ERROR;
        }
        held = pk;
    }
}

// ---- connections held until their request is whole ------------------------------------------

bool Holds(const NxHttpWaiting &w) { return w.socket.accepted_fd >= 0; }

// Lets a held connection go unanswered; its record listens again. A request
// that did not come whole in time counts as a request time-out.
void LetGo(NX_HTTP_SERVER *sv, NxHttpWaiting &w, bool timed_out) {
    if (w.request != nullptr) _nx_packet_release(w.request);
    w.request = nullptr;
    w.whole = 0;
    CloseConnection(&w.socket);
    if (timed_out) sv->nx_http_server_invalid_http_headers++;
}

// Reads what came of a held request; a refused one, or one whose client
// closed before it was whole, is let go, and so is one whose header did not
// come whole in NX_HTTP_SERVER_MAX_PENDING passes. A POST whose header is
// whole but whose body stops short of its Content-Length is answered all
// the same once that time is up: the request notification reads what came
// and gets 225 for the rest, where holding it further would leave the
// client without any answer.
void ReadHeld(NX_HTTP_SERVER *sv, NxHttpWaiting &w) {
    const bool closed = w.socket.state == NX_TCP_CLOSE_WAIT;
    const uint32_t st = closed || NxRxReady(&w.socket) ? GetClientRequest(&w.socket, w.request) : NX_HTTP_TIMEOUT;
    if (st == NX_SUCCESS) {
        w.whole = 1;
    } else if (st == NX_HTTP_ERROR || closed) {
        LetGo(sv, w, false);
    } else if (++w.passes >= NX_HTTP_SERVER_MAX_PENDING) {
        if (w.request != nullptr && PostHeaderWhole(w.request))
            w.whole = 1;
        else
            LetGo(sv, w, true);
    }
}

// Takes the connections waiting on the port into the held records and reads
// what came of the requests held.
void Intake(NX_HTTP_SERVER *sv) {
    auto &held = sv->nx_http_server_waiting;
    for (NxHttpWaiting &w : held) {
        if (Holds(w) && !w.whole) ReadHeld(sv, w);
    }
    for (uint32_t n = 0; n < NX_HTTP_SERVER_TAKE_MAX && NxConnectionWaiting(&sv->nx_http_server_socket); n++) {
        NxHttpWaiting *w = nullptr;
        for (NxHttpWaiting &h : held) {
            if (!Holds(h) && h.socket.state == NX_TCP_LISTEN) {
                w = &h;
                break;
            }
        }
        if (w == nullptr) {
            // Every record is taken: the oldest that has not handed on a
            // whole request gives way. Whole requests are all answered first.
            for (NxHttpWaiting &h : held) {
                if (Holds(h) && !h.whole && (w == nullptr || int32_t(h.accept_seq - w->accept_seq) < 0)) w = &h;
            }
            if (w == nullptr) break;
            LetGo(sv, *w, true);
        }
        if (_nx_tcp_server_socket_accept(&w->socket, 5000) != NX_SUCCESS) {
            sv->nx_http_server_connection_failures++;
            break;
        }
        sv->nx_http_server_connection_successes++;
        w->accept_seq = ++sv->nx_http_server_accept_seq;
        w->passes = 0;
        w->whole = 0;
        ReadHeld(sv, *w);
    }
    sv->nx_http_server_connection_pending = 0;
}

// Of the held connections with a whole request, the one taken first; null when none.
NxHttpWaiting *NextWhole(NX_HTTP_SERVER *sv) {
    NxHttpWaiting *next = nullptr;
    for (NxHttpWaiting &w : sv->nx_http_server_waiting) {
        if (Holds(w) && w.whole && (next == nullptr || int32_t(w.accept_seq - next->accept_seq) < 0)) next = &w;
    }
    return next;
}

}  // namespace

// ---- creation and life cycle ------------------------------------------------------------------

uint32_t _nxe_http_server_create(NX_HTTP_SERVER *server, const char *name, NX_IP *ip, FxMedia *media, void *stack,
                                 uint32_t stack_size, NX_PACKET_POOL *pool, NxHttpAuthCheck auth,
                                 NxHttpRequestNotify notify) {
    if (server == nullptr || ip == nullptr || server->nx_http_server_id == NX_HTTP_SERVER_ID || stack == nullptr ||
        pool == nullptr)
        return NX_PTR_ERROR;
    NX_PACKET *first = pool->nx_packet_pool_available_list;
    if (first == nullptr || first->nx_packet_data_end - first->nx_packet_data_start < NX_HTTP_SERVER_MIN_PACKET_SIZE)
        return NX_HTTP_POOL_ERROR;
    return _nx_http_server_create(server, name, ip, media, stack, stack_size, pool, auth, notify);
}

uint32_t _nx_http_server_create(NX_HTTP_SERVER *server, const char *name, NX_IP *ip, FxMedia *media, void *, uint32_t,
                                NX_PACKET_POOL *pool, NxHttpAuthCheck auth, NxHttpRequestNotify notify) {
    std::memset(static_cast<void *>(server), 0, sizeof *server);
    server->nx_http_server_socket.fd = -1;
    server->nx_http_server_socket.accepted_fd = -1;
    server->nx_http_server_file.fd = -1;
    if (_nx_tcp_socket_create(ip, &server->nx_http_server_socket, "HTTP Server Socket", 0, 0x4000, 128, 2048, nullptr,
                              nullptr) != NX_SUCCESS)
        return NX_HTTP_ERROR;
    for (NxHttpWaiting &w : server->nx_http_server_waiting) {
        w.socket.fd = -1;
        w.socket.accepted_fd = -1;
        if (_nx_tcp_socket_create(ip, &w.socket, "HTTP Server Socket", 0, 0x4000, 128, 2048, nullptr, nullptr) !=
            NX_SUCCESS) {
            for (NxHttpWaiting &h : server->nx_http_server_waiting) _nx_tcp_socket_delete(&h.socket);
            _nx_tcp_socket_delete(&server->nx_http_server_socket);
            return NX_HTTP_ERROR;
        }
    }
    server->nx_http_server_id = NX_HTTP_SERVER_ID;
    server->nx_http_server_name = name;
    server->nx_http_server_ip_ptr = ip;
    server->nx_http_server_media_ptr = media;
    server->nx_http_server_packet_pool_ptr = pool;
    server->nx_http_server_authentication_check = auth;
    server->nx_http_server_request_notify = notify;
    return NX_SUCCESS;
}

uint32_t _nxe_http_server_start(NX_HTTP_SERVER *server) {
    if (server == nullptr || server->nx_http_server_id != NX_HTTP_SERVER_ID) return NX_PTR_ERROR;
    return _nx_http_server_start(server);
}

uint32_t _nx_http_server_start(NX_HTTP_SERVER *server) {
    if (_nx_tcp_server_socket_listen(server->nx_http_server_ip_ptr, NX_HTTP_SERVER_PORT, &server->nx_http_server_socket,
                                     5, _nx_http_server_connection_present) != NX_SUCCESS)
        return NX_HTTP_ERROR;
    // The held records share the port's queue; the step takes connections
    // into them itself, so the socket layer calls none of them back.
    for (NxHttpWaiting &w : server->nx_http_server_waiting) {
        _nx_tcp_server_socket_relisten(server->nx_http_server_ip_ptr, NX_HTTP_SERVER_PORT, &w.socket);
        w.socket.listen_callback = nullptr;
    }
    return NX_SUCCESS;
}

uint32_t _nxe_http_server_stop(NX_HTTP_SERVER *server) {
    if (server == nullptr || server->nx_http_server_id != NX_HTTP_SERVER_ID) return NX_PTR_ERROR;
    return _nx_http_server_stop(server);
}

uint32_t _nx_http_server_stop(NX_HTTP_SERVER *) { return NX_SUCCESS; }

uint32_t _nxe_http_server_delete(NX_HTTP_SERVER *server) {
    if (server == nullptr || server->nx_http_server_id != NX_HTTP_SERVER_ID) return NX_PTR_ERROR;
    return _nx_http_server_delete(server);
}

uint32_t _nx_http_server_delete(NX_HTTP_SERVER *server) {
    server->nx_http_server_id = 0;
    for (NxHttpWaiting &w : server->nx_http_server_waiting) {
        if (w.request != nullptr) _nx_packet_release(w.request);
        w.request = nullptr;
        w.whole = 0;
        _nx_tcp_server_socket_unaccept(&w.socket);
        _nx_tcp_socket_delete(&w.socket);
    }
    DropRequest(server);
    PutDrop(server);
    CloseFile(server);
    _nx_tcp_server_socket_unaccept(&server->nx_http_server_socket);
    _nx_tcp_socket_delete(&server->nx_http_server_socket);
    return NX_SUCCESS;
}

void _nx_http_server_connection_present(NX_TCP_SOCKET *socket, uint32_t) {
    // The next step takes it (and every other waiting).
    ServerOf(socket)->nx_http_server_connection_pending = 1;
}

// ---- the step ---------------------------------------------------------------------------------

void _nx_http_server_thread_entry(NX_HTTP_SERVER *sv) {
    NX_TCP_SOCKET *s = &sv->nx_http_server_socket;
    // Connections are taken and their requests read while one is answered.
    Intake(sv);
    if (s->state == NX_TCP_CLOSE_WAIT) {
        // A client that closed its side after the whole body still gets its
        // PUT stored; what did not come whole is dropped.
        if (sv->nx_http_server_put_active) PutContinue(sv);
        DropRequest(sv);
        PutDrop(sv);
        _nx_tcp_server_socket_unaccept(s);
        Relisten(sv);
        CloseFile(sv);
        return;
    }
    if (sv->nx_http_server_file.open && !sv->nx_http_server_put_active) {
        if (!s->writable) return;
        FileData(sv, nullptr);
        if (!sv->nx_http_server_file.open) EndConnection(sv);
        return;
    }
    if (sv->nx_http_server_put_active) {
        if (PutContinue(sv)) EndConnection(sv);
        return;
    }
    // One answer at a time: the held connection whose request is whole and
    // that was taken first moves to the server's own record.
    NxHttpWaiting *next = s->state == NX_TCP_LISTEN ? NextWhole(sv) : nullptr;
    if (next == nullptr || NxHandOver(&next->socket, s) != NX_SUCCESS) return;
    DropRequest(sv);
    sv->nx_http_server_request_packet = next->request;
    next->request = nullptr;
    next->whole = 0;
    NX_PACKET *pk = sv->nx_http_server_request_packet;
    const Span d = Data(pk);
    auto is = [&](const char *w) {
        const std::size_t n = std::strlen(w);
        return std::size_t(d.end - d.p) >= n && std::memcmp(d.p, w, n) == 0;
    };
    bool ended = true;
    if (is("GET ")) {
        sv->nx_http_server_get_requests++;
        GetProcess(sv, NX_HTTP_SERVER_GET_REQUEST, pk);
        if (sv->nx_http_server_file.open) {
            DropRequest(sv);
            return;
        }
    } else if (is("PUT ")) {
        sv->nx_http_server_put_requests++;
        ended = PutProcess(sv, pk);
    } else if (is("POST ")) {
        sv->nx_http_server_post_requests++;
        GetProcess(sv, NX_HTTP_SERVER_POST_REQUEST, pk);
    } else if (is("DELETE ")) {
        sv->nx_http_server_delete_requests++;
        DeleteProcess(sv, pk);
    } else if (is("HEAD ")) {
        sv->nx_http_server_head_requests++;
        GetProcess(sv, NX_HTTP_SERVER_HEAD_REQUEST, pk);
    } else {
        _nx_http_server_response_send(sv, "HTTP/1.0 501 ", "NetX HTTP Request Not Implemented", nullptr);
        sv->nx_http_server_unknown_requests++;
    }
    DropRequest(sv);
    if (ended) EndConnection(sv);
}

// ---- responses -----------------------------------------------------------------------------------

uint32_t _nx_http_server_number_convert(uint32_t number, char *text) {
    char rev[10];
    uint32_t n = 0;
    do {
        rev[n++] = char('0' + number % 10);
        number /= 10;
    } while (number != 0 && n < 10);
    for (uint32_t i = 0; i < n; i++) text[i] = rev[n - 1 - i];
    text[n] = 0;
    return n;
}

uint32_t _nx_http_server_response_send(NX_HTTP_SERVER *sv, const char *header, const char *info, const char *info2) {
    NX_PACKET_POOL *pool = sv->nx_http_server_packet_pool_ptr;
    NX_PACKET *pk = nullptr;
    const uint32_t st = _nx_packet_allocate(pool, &pk, 0, 0);
    if (st != NX_SUCCESS) {
        sv->nx_http_server_allocation_errors++;
        return st;
    }
    Append(pk, header, pool);
    Append(pk, "\r\n", pool);
    if (info != nullptr) {
        char num[12];
        _nx_http_server_number_convert(uint32_t(std::strlen(info) + (info2 ? std::strlen(info2) : 0)), num);
        Append(pk, "Content-Length: ", pool);
        Append(pk, num, pool);
        Append(pk, "\r\n", pool);
        Append(pk, "\r\n", pool);
        Append(pk, info, pool);
        if (info2) Append(pk, info2, pool);
    } else {
        Append(pk, "\r\n", pool);
    }
    const uint32_t len = pk->nx_packet_length;
    if (_nx_tcp_socket_send(&sv->nx_http_server_socket, pk, 5000) == NX_SUCCESS)
        sv->nx_http_server_total_bytes_sent += len;
    return NX_SUCCESS;
}

uint32_t _nx_http_server_callback_response_send(NX_HTTP_SERVER *sv, const char *header, const char *info,
                                                const char *info2) {
    _nx_http_server_response_send(sv, header, info, info2);
    return NX_SUCCESS;
}

uint32_t _nx_http_server_callback_data_send(NX_HTTP_SERVER *sv, const void *data, uint32_t length) {
    NX_PACKET *pk = nullptr;
    if (_nx_packet_allocate(sv->nx_http_server_packet_pool_ptr, &pk, 0, 0) != NX_SUCCESS) {
        sv->nx_http_server_allocation_errors++;
        return NX_HTTP_ERROR;
    }
    if (_nx_packet_data_append(pk, data, length, sv->nx_http_server_packet_pool_ptr, 0) != NX_SUCCESS) {
        sv->nx_http_server_allocation_errors++;
        _nx_packet_release(pk);
        return NX_HTTP_ERROR;
    }
    if (_nx_tcp_socket_send(&sv->nx_http_server_socket, pk, 5000) != NX_SUCCESS) return NX_HTTP_ERROR;
    sv->nx_http_server_total_bytes_sent += length;
    return NX_SUCCESS;
}

// ---- request helpers --------------------------------------------------------------------------------

uint32_t _nx_http_server_retrieve_resource(NX_PACKET *pk, char *resource, uint32_t max) {
    const Span d = Data(pk);
    const char *p = d.p;
    while (p < d.end && *p != '/') p++;
    if (p >= d.end) return NX_HTTP_ERROR;
    uint32_t n = 0;
    while (p < d.end && *p != ' ' && *p != ';' && *p != '?') {
        if (n >= max - 1) return NX_HTTP_ERROR;
        resource[n++] = *p++;
    }
    if (p >= d.end) return NX_HTTP_ERROR;
    resource[n] = 0;
    return NX_SUCCESS;
}

const char *_nx_http_server_type_get(const char *resource) {
    const std::size_t len = std::strlen(resource);
    const char *ext = nullptr;
    for (std::size_t i = len; i > 1; i--) {
        if (resource[i - 1] == '.') {
            ext = resource + i;
            break;
        }
    }
    if (ext == nullptr) ext = len > 0 ? resource + 1 : resource;
    char e[4] = {};
    for (int i = 0; i < 3 && ext[i]; i++) e[i] = char(std::tolower(static_cast<unsigned char>(ext[i])));
    if (std::strcmp(e, "txt") == 0) return "text/plain";
    if (std::strcmp(e, "htm") == 0) return "text/html";
    if (std::strcmp(e, "gif") == 0) return "image/gif";
    if (std::strcmp(e, "xbm") == 0) return "image/x-xbitmap";
    return "text/plain";
}

namespace {
// The digits after "Content-Length: "; n receives their count.
const char *LengthDigits(NX_PACKET *pk, uint32_t &n) {
    n = 0;
    const Span d = Data(pk);
    const char *p = FindNoCase(d.p, d.end, "Content-Length: ");
    if (p == nullptr) return nullptr;
    p += 16;
    const char *q = p;
    while (q < d.end && *q >= '0' && *q <= '9') q++;
    if (q >= d.end || (*q != '\r' && *q != ' ')) return nullptr;
    n = uint32_t(q - p);
    return p;
}
}  // namespace

bool HttpContentLengthTooLong(NX_PACKET *pk) {
    uint32_t n = 0;
    LengthDigits(pk, n);
    return n > 10;
}

uint32_t _nxe_http_server_content_length_get(NX_PACKET *packet) {
    return packet == nullptr ? 0 : _nx_http_server_content_length_get(packet);
}

uint32_t _nx_http_server_content_length_get(NX_PACKET *pk) {
    uint32_t n = 0;
    const char *p = LengthDigits(pk, n);
    if (p == nullptr || n == 0 || n > 10) return 0;
    uint64_t v = 0;
    for (uint32_t i = 0; i < n; i++) v = v * 10 + uint32_t(p[i] - '0');
    return v > 0xFFFFFFFFu ? 0 : uint32_t(v);
}

uint32_t _nx_http_server_calculate_content_offset(NX_PACKET *pk) {
    const Span d = Data(pk);
    if (d.end <= d.p) return 0;
    const char *b = FindExact(d.p, d.end, "\r\n\r\n");
    if (b == nullptr) return uint32_t(d.end - d.p);
    return uint32_t(b + 4 - d.p);
}

namespace {
// The start of parameter/query 'index' of the URL, or nullptr (230).
const char *UrlItem(NX_PACKET *pk, uint32_t index, bool query, const char *&end) {
    const Span d = Data(pk);
    end = d.end;
    const char *p = d.p;
    while (p < d.end && *p != '/') p++;
    uint32_t k = 0;
    bool in_query = false;
    for (; p < d.end; p++) {
        const char c = *p;
        if (!query) {
            if (c == '?' || c == ' ' || c == '&' || c == '\r') return nullptr;
            if (c == ';') {
                if (k++ == index) return p + 1;
            }
        } else {
            if (c == ' ' || c == ';' || c == '\r') return nullptr;
            if (c == '?') {
                if (in_query) return nullptr;
                in_query = true;
                if (k++ == index) return p + 1;
            } else if (c == '&' && in_query) {
                if (k++ == index) return p + 1;
            }
        }
    }
    return nullptr;
}
bool ItemEnd(char c) { return c == ';' || c == '?' || c == '&' || c == ' ' || c == '\r'; }
}  // namespace

uint32_t _nxe_http_server_param_get(NX_PACKET *packet, uint32_t index, char *destination, uint32_t max) {
    if (packet == nullptr || destination == nullptr) return NX_PTR_ERROR;
    return _nx_http_server_param_get(packet, index, destination, max);
}

uint32_t _nx_http_server_param_get(NX_PACKET *pk, uint32_t index, char *dst, uint32_t max) {
    const char *end = nullptr;
    const char *p = UrlItem(pk, index, false, end);
    if (p == nullptr) return NX_HTTP_NOT_FOUND;
    if (max == 0) return NX_SUCCESS;
    uint32_t n = 0;
    while (p < end && !ItemEnd(*p)) {
        if (n >= max - 1) return NX_HTTP_DATA_END;
        dst[n++] = *p++;
    }
    dst[n] = 0;
    return NX_SUCCESS;
}

uint32_t _nxe_http_server_query_get(NX_PACKET *packet, uint32_t index, char *destination, uint32_t max) {
    if (packet == nullptr || destination == nullptr) return NX_PTR_ERROR;
    return _nx_http_server_query_get(packet, index, destination, max);
}

uint32_t _nx_http_server_query_get(NX_PACKET *pk, uint32_t index, char *dst, uint32_t max) {
    const char *end = nullptr;
    const char *p = UrlItem(pk, index, true, end);
    if (p == nullptr) return NX_HTTP_NOT_FOUND;
    if (max == 0) return NX_HTTP_DATA_END;
    uint32_t n = 0;
    while (p < end && !ItemEnd(*p) && n < max - 1) dst[n++] = *p++;
    dst[n] = 0;
    return n == 0 ? uint32_t(NX_HTTP_DATA_END) : uint32_t(NX_SUCCESS);
}

uint32_t _nxe_http_server_content_get(NX_HTTP_SERVER *server, NX_PACKET *packet, uint32_t offset, char *destination,
                                      uint32_t max, uint32_t *actual) {
    if (server == nullptr || packet == nullptr || destination == nullptr || actual == nullptr ||
        server->nx_http_server_id != NX_HTTP_SERVER_ID)
        return NX_PTR_ERROR;
    return _nx_http_server_content_get(server, packet, offset, destination, max, actual);
}

uint32_t _nx_http_server_content_get(NX_HTTP_SERVER *sv, NX_PACKET *pk, uint32_t offset, char *dst, uint32_t max,
                                     uint32_t *actual) {
    *actual = 0;
    const uint32_t length = _nx_http_server_content_length_get(pk);
    if (length <= offset) return NX_HTTP_INCOMPLETE_CONTENT;
    // Content bytes the request packet holds behind its header.
    const uint32_t head = _nx_http_server_calculate_content_offset(pk);
    const uint32_t first = pk->nx_packet_length > head ? pk->nx_packet_length - head : 0;
    const uint8_t *from = nullptr;
    uint32_t left = 0;
    if (offset < first) {
        from = pk->nx_packet_prepend_ptr + head + offset;
        left = first - offset;
    } else {
        // The rest of the body is still with the connection of the request
        // in hand: it is received a packet at a time, and the one holding
        // the byte wanted is kept with the request until it is dropped. A
        // packet passed over is released, so bytes before it are gone (224).
        if (sv == nullptr || pk != sv->nx_http_server_request_packet) return NX_HTTP_TIMEOUT;
        NX_PACKET *&more = sv->nx_http_server_content_more;
        uint32_t &base = sv->nx_http_server_content_base;
        if (more == nullptr) {
            base = first;
        } else if (offset < base) {
            return NX_HTTP_ERROR;
        }
        while (more == nullptr || offset - base >= more->nx_packet_length) {
            if (more != nullptr) {
                base += more->nx_packet_length;
                _nx_packet_release(more);
                more = nullptr;
            }
            if (_nx_tcp_socket_receive(&sv->nx_http_server_socket, &more, NX_HTTP_SERVER_RECEIVE_MS) != NX_SUCCESS) {
                more = nullptr;
                return NX_HTTP_TIMEOUT;
            }
            sv->nx_http_server_total_bytes_received += more->nx_packet_length;
        }
        from = more->nx_packet_prepend_ptr + (offset - base);
        left = more->nx_packet_length - (offset - base);
    }
    uint32_t n = length - offset;
    if (n > max) n = max;
    if (n > left) n = left;
    std::memcpy(dst, from, n);
    *actual = n;
    return NX_SUCCESS;
}

// ---- authentication ------------------------------------------------------------------------------------

void _nx_http_server_hex_ascii_convert(const uint8_t *bytes, uint32_t count, char *out) {
    static constexpr char kHex[] = "0123456789abcdef";
    for (uint32_t i = 0; i < count; i++) {
        out[2 * i] = kHex[bytes[i] >> 4];
        out[2 * i + 1] = kHex[bytes[i] & 15];
    }
    out[2 * count] = 0;
}

namespace {
void Md5Text(NX_MD5 *md5, const char *const *parts, unsigned n, char out[33]) {
    _nx_md5_initialize(md5);
    for (unsigned i = 0; i < n; i++)
        _nx_md5_update(md5, reinterpret_cast<const uint8_t *>(parts[i]), uint32_t(std::strlen(parts[i])));
    uint8_t digest[16];
    _nx_md5_digest_calculate(md5, digest);
    _nx_http_server_hex_ascii_convert(digest, 16, out);
}

// The value of field 'name' after the Digest keyword, up to 39 characters.
void DigestField(const char *from, const char *end, const char *name, char *out, const char *extra_end,
                 uint32_t max = 39) {
    out[0] = 0;
    const char *p = FindNoCase(from, end, name);
    if (p == nullptr) return;
    p += std::strlen(name);
    while (p < end && (*p == ' ' || *p == '"')) p++;
    uint32_t n = 0;
    while (p < end && *p != ' ' && *p != 0 && *p != '\r' && *p != '"' && std::strchr(extra_end, *p) == nullptr &&
           n < max)
        out[n++] = *p++;
    out[n] = 0;
}

// The position after "Authorization: " and its blanks, or nullptr.
const char *AuthorizationValue(NX_PACKET *pk, const char *&end) {
    const Span d = Data(pk);
    end = d.end;
    const char *p = FindNoCase(d.p, d.end, "Authorization: ", true);
    if (p == nullptr) return nullptr;
    p += 15;
    while (p < d.end && *p == ' ') p++;
    return p;
}

void Challenge(NX_HTTP_SERVER *sv, bool digest, const char *realm) {
    NX_PACKET_POOL *pool = sv->nx_http_server_packet_pool_ptr;
    NX_PACKET *pk = nullptr;
    if (_nx_packet_allocate(pool, &pk, 0, 0) != NX_SUCCESS) {
        sv->nx_http_server_allocation_errors++;
        return;
    }
    Append(pk, "HTTP/1.0 401 Unauthorized", pool);
    Append(pk, "\r\n", pool);
    if (digest) {
        Append(pk, "WWW-Authenticate: Digest realm=", pool);
    } else {
        Append(pk, "WWW-Authenticate: Basic realm=", pool);
    }
    Append(pk, "\"", pool);
    Append(pk, realm, pool);
    Append(pk, "\"", pool);
    if (digest) {
        Append(pk, ",", pool);
        Append(pk, " algorithm=", pool);
        Append(pk, "\"md5\"", pool);
        Append(pk, ",", pool);
        Append(pk, " nonce=", pool);
        Append(pk, "\"", pool);
        Append(pk, _nx_http_server_nonce, pool);
        Append(pk, "\"", pool);
        Append(pk, ", qop=\"auth\"", pool);
    }
    Append(pk, "\r\n", pool);
    Append(pk, "\r\n", pool);
    _nx_tcp_socket_send(&sv->nx_http_server_socket, pk, 5000);
}
}  // namespace

void _nx_http_server_digest_response_calculate(NX_HTTP_SERVER *sv, const char *name, const char *realm,
                                               const char *password, const char *nonce, const char *method,
                                               const char *uri, const char *nc, const char *cnonce, char *result) {
    char ha1[33], ha2[33];
    const char *p1[] = {name, ":", realm, ":", password};
    Md5Text(&sv->nx_http_server_md5data, p1, 5, ha1);
    const char *p2[] = {method, ":", uri};
    Md5Text(&sv->nx_http_server_md5data, p2, 3, ha2);
    const char *p3[] = {ha1, ":", nonce, ":", nc, ":", cnonce, ":auth", ":", ha2};
    Md5Text(&sv->nx_http_server_md5data, p3, 10, result);
}

uint32_t _nx_http_server_retrieve_digest_authorization(NX_PACKET *pk, char *response, char *uri, char *nc,
                                                       char *cnonce) {
    response[0] = uri[0] = nc[0] = cnonce[0] = 0;
    const char *end = nullptr;
    const char *p = AuthorizationValue(pk, end);
    if (p == nullptr) return 0;
    p = FindNoCase(p, end, "Digest ");
    if (p == nullptr) return 0;
    p += 7;
    DigestField(p, end, "nc=", nc, ",");
    // Clients send client nonces longer than the other fields (curl: 44 characters).
    DigestField(p, end, "cnonce=", cnonce, "", 63);
    DigestField(p, end, "uri=", uri, "");
    DigestField(p, end, "response=", response, ":");
    // The response must be 32 characters closed by a double quote.
    const char *r = FindNoCase(p, end, "response=");
    if (r != nullptr) {
        r += 9;
        while (r < end && (*r == ' ' || *r == '"')) r++;
        if (std::strlen(response) == 32 && r + 32 < end && r[32] == '"') return 32;
    }
    response[0] = 0;
    return 0;
}

uint32_t _nx_http_server_digest_authenticate(NX_HTTP_SERVER *sv, NX_PACKET *pk, const char *name, const char *password,
                                             const char *realm) {
    char response[40], uri[40], nc[40], cnonce[64];
    if (_nx_http_server_retrieve_digest_authorization(pk, response, uri, nc, cnonce) == 32) {
        char method[8];
        const Span d = Data(pk);
        uint32_t n = 0;
        while (d.p + n < d.end && d.p[n] != ' ' && n < 7) {
            method[n] = d.p[n];
            n++;
        }
        method[n] = 0;
        char expect[33];
        _nx_http_server_digest_response_calculate(sv, name, realm, password, _nx_http_server_nonce, method, uri, nc,
                                                  cnonce, expect);
        if (std::strcmp(expect, response) == 0) return NX_SUCCESS;
    }
    Challenge(sv, true, realm);
    return NX_HTTP_DIGEST_AUTHENTICATE;
}

uint32_t _nx_http_server_retrieve_basic_authorization(NX_PACKET *pk, char *credentials) {
    credentials[0] = 0;
    const char *end = nullptr;
    const char *p = AuthorizationValue(pk, end);
    if (p == nullptr) return 0;
    p = FindNoCase(p, end, "Basic ");
    if (p == nullptr) return 0;
    p += 6;
    while (p < end && *p == ' ') p++;
    uint32_t n = 0;
    while (p < end && *p != ' ' && *p != 0 && *p != '\r' && n < 101) credentials[n++] = *p++;
    credentials[n] = 0;
    return n;
}

void _nx_http_base64_decode(const char *text, char *out) {
    const std::size_t len = std::strlen(text);
    out[0] = 0;
    if (len < 2 || text[0] == '=') return;
    std::size_t outn = (len * 6) / 8;
    if (outn > 101) outn = 101;
    uint32_t acc = 0, bits = 0;
    std::size_t k = 0;
    for (std::size_t i = 0; i < len && k < outn; i++) {
        const char c = text[i];
        if (c == 0 || c == '=') break;
        const char *f = std::strchr(_nx_http_server_base64_array, c);
        const uint32_t v = f ? uint32_t(f - _nx_http_server_base64_array) : 0;
        acc = (acc << 6) | v;
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out[k++] = char((acc >> bits) & 0xFF);
        }
    }
    out[k] = 0;
}

void _nx_http_base64_encode(const char *text, uint32_t length, char *out) {
    uint32_t k = 0;
    for (uint32_t i = 0; i < length && k + 4 <= 101; i += 3) {
        const uint32_t b0 = uint8_t(text[i]);
        const uint32_t b1 = i + 1 < length ? uint8_t(text[i + 1]) : 0;
        const uint32_t b2 = i + 2 < length ? uint8_t(text[i + 2]) : 0;
        const uint32_t v = (b0 << 16) | (b1 << 8) | b2;
        out[k++] = _nx_http_server_base64_array[(v >> 18) & 63];
        out[k++] = _nx_http_server_base64_array[(v >> 12) & 63];
        out[k++] = i + 1 < length ? _nx_http_server_base64_array[(v >> 6) & 63] : '=';
        out[k++] = i + 2 < length ? _nx_http_server_base64_array[v & 63] : '=';
    }
    out[k] = 0;
}

uint32_t _nx_http_server_basic_authenticate(NX_HTTP_SERVER *sv, NX_PACKET *pk, const char *name, const char *password,
                                            const char *realm) {
    char cred[102], decoded[103];
    if (_nx_http_server_retrieve_basic_authorization(pk, cred) != 0) {
        _nx_http_base64_decode(cred, decoded);
        const std::size_t nl = std::strlen(name);
        if (std::strncmp(decoded, name, nl) == 0 && decoded[nl] == ':' && std::strcmp(decoded + nl + 1, password) == 0)
            return NX_SUCCESS;
    }
    Challenge(sv, false, realm);
    return NX_HTTP_BASIC_AUTHENTICATE;
}
