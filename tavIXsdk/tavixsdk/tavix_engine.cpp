// HTTP request framing, dispatch, responses and static files.
#include "tavIXsdk/tavixsdk/tavix_engine.h"
#include "tavIXsdk/tavixsdk/tavix_remote.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <linux/openat2.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "media/filex.h"
#include "tavIXsdk/tavixsdk/tavix_auth.h"
#include "tavIXsdk/tavixsdk/tavix_json.h"
#include "tavIXsdk/tavixsdk/tavix_util.h"

tavix_engine_hooks_t tavix_engine_hooks;

long tavix_engine_content_length(const char *header, uint32_t length) {
    // The field is a header line of that name: the same letters inside the
    // request line or inside another field's value (a Referer's query, an
    // "X-Content-Length") would frame the request by a length nobody gave.
    const char *end = header + length;
    const char *p = nullptr;
    for (long at = tavix_util_strnstr(header, length, "\r\n", 2); at >= 0 && p == nullptr;) {
        const char *line = header + at + 2;
        if (end - line >= 15 && strncasecmp(line, "Content-Length:", 15) == 0) p = line + 15;
        const long next = tavix_util_strnstr(line, std::size_t(end - line), "\r\n", 2);
        at = next < 0 ? -1 : long(line - header) + next;
    }
    if (p == nullptr) return -1;
    while (p < end && (*p == ' ' || *p == '\t')) p++;
    if (p < end && *p == '-') return -2;
    uint64_t v = 0;
    int digits = 0, significant = 0;
    // Leading zeros add nothing: only the digits from the first nonzero one
    // count towards the ten that the largest limit needs.
    while (p < end && *p >= '0' && *p <= '9') {
        v = v * 10 + uint64_t(*p - '0');
        digits++;
        if (v != 0 && ++significant > 10) return -2;
        p++;
    }
    // A value that is no number leaves the end of the request unknown: it is
    // refused as a bad length is, rather than read as 0 (which would take the
    // body that follows for a request of its own).
    if (digits == 0 || v > tavix_global_options.request_limit) return -2;
    return long(v);
}

namespace {

constexpr uint32_t kPathSize = 256;
constexpr uint32_t kUrlMax = 65535;
constexpr uint32_t kReadWhole = 4096;  // a file up to this size is read in one go at open

// Shows the application the answer of a GET, HEAD or POST; answers it unchanged.
tavix_buffer *ResponseHook(const char *method, const char *url, tavix_connection *c, tavix_buffer *response) {
    if (tavix_engine_hooks.response != nullptr) tavix_engine_hooks.response(method, url, c, response);
    return response;
}

bool Put(tavix_buffer *b, const char *text) { return tavix_buffer_put_data(b, text, uint32_t(std::strlen(text))) == 0; }

bool Putf(tavix_buffer *b, const char *format, ...) __attribute__((format(printf, 2, 3)));
bool Putf(tavix_buffer *b, const char *format, ...) {
    char line[512];
    va_list ap;
    va_start(ap, format);
    const int n = std::vsnprintf(line, sizeof line, format, ap);
    va_end(ap);
    return n >= 0 && std::size_t(n) < sizeof line && tavix_buffer_put_data(b, line, uint32_t(n)) == 0;
}

// The decimal digits of v.
bool PutDecimal(tavix_buffer *b, uint32_t v) {
    char digits[10];
    uint32_t n = 0;
    do {
        digits[sizeof digits - 1 - n++] = char('0' + v % 10);
        v /= 10;
    } while (v != 0);
    return tavix_buffer_put_data(b, digits + sizeof digits - n, n) == 0;
}

// "Content-Length: n\r\nContent-Type: type\r\n"
bool PutLengthAndType(tavix_buffer *b, uint32_t length, const char *type) {
    return Put(b, "Content-Length: ") && PutDecimal(b, length) && Put(b, "\r\nContent-Type: ") && Put(b, type) &&
           Put(b, "\r\n");
}

void Escaped(tavix_buffer *b, const char *text) {
    for (const char *p = text; *p != 0; p++) {
        switch (*p) {
        case '"': Put(b, "&quot;"); break;
        case '&': Put(b, "&amp;"); break;
        case '\'': Put(b, "&apos;"); break;
        case '<': Put(b, "&lt;"); break;
        case '>': Put(b, "&gt;"); break;
        default: tavix_buffer_put_data(b, p, 1); break;
        }
    }
}

bool IsFile(const char *path) {
    struct stat st {};
    return stat(path, &st) == 0 && S_ISREG(st.st_mode);
}

bool IsDirectory(const char *path) {
    struct stat st {};
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

// Opens name (below the folder dir) for reading in one call that refuses a
// symbolic link anywhere on the path: the descriptor, or -1 with errno. A
// kernel without the call answers ENOSYS, after which it is not tried again.
bool open_link_free_missing = false;
int OpenLinkFree(int dir, const char *name) {
    if (open_link_free_missing) {
        errno = ENOSYS;
        return -1;
    }
    open_how how{};
    how.flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;  // a FIFO or device never blocks the open
    how.resolve = RESOLVE_NO_SYMLINKS;
    const long fd = syscall(SYS_openat2, dir, name, &how, sizeof how);
    if (fd < 0 && errno == ENOSYS) open_link_free_missing = true;
    return int(fd);
}

// The quick way to a static file: when no name on the whole path is a
// symbolic link, the file (or the first default document of a folder that is
// a regular file) is opened without the per-name checks, which could only
// agree. Answers the open descriptor and its status, the default document's
// name joined to path; -1 when the full checks must decide.
int OpenWebFileQuick(char *path, const char *docs, struct stat *st) {
    const int top = OpenLinkFree(AT_FDCWD, path);
    if (top < 0) return -1;
    if (fstat(top, st) != 0 || (!S_ISREG(st->st_mode) && !S_ISDIR(st->st_mode))) {
        close(top);
        return -1;
    }
    if (S_ISREG(st->st_mode)) return top;
    std::size_t pl = std::strlen(path);
    if (pl > 0 && path[pl - 1] == '/') pl--;
    int found = -1;
    for (const char *d = docs; *d != 0;) {
        const char *end = std::strchr(d, ';');
        const std::size_t n = end != nullptr ? std::size_t(end - d) : std::strlen(d);
        if (n > 0 && pl + 1 + n < kPathSize - 1) {
            char name[kPathSize];
            std::memcpy(name, d, n);
            name[n] = 0;
            if (name[0] == '/') break;  // the full checks decide
            const int fd = OpenLinkFree(top, name);
            if (fd < 0 && errno != ENOENT) break;
            if (fd >= 0) {
                if (fstat(fd, st) == 0 && S_ISREG(st->st_mode)) {
                    path[pl] = '/';
                    std::memcpy(path + pl + 1, name, n + 1);
                    found = fd;
                    break;
                }
                close(fd);
                if (!S_ISDIR(st->st_mode)) break;  // not a file a stat would pass over silently
            }
        }
        d = end != nullptr ? end + 1 : d + n;
    }
    close(top);
    return found;
}

// The full checks: the file at path, or the first default document of the
// folder at path that is a regular file (its name joined to path), with no
// symbolic link on its name in the web folder (one could lead off it).
// Answers 0 when found.
int FindWebFile(char *path, const char *docs, std::size_t root_len) {
    if (!IsFile(path)) {
        std::size_t pl = std::strlen(path);
        if (pl > 0 && path[pl - 1] == '/') path[--pl] = 0;
        if (!IsDirectory(path)) return -1;
        bool found = false;
        for (const char *d = docs; *d != 0 && !found;) {
            const char *end = std::strchr(d, ';');
            const std::size_t n = end != nullptr ? std::size_t(end - d) : std::strlen(d);
            if (n > 0 && pl + 1 + n < kPathSize - 1) {
                char candidate[kPathSize];
                std::memcpy(candidate, path, pl);
                candidate[pl] = '/';
                std::memcpy(candidate + pl + 1, d, n);
                candidate[pl + 1 + n] = 0;
                if (IsFile(candidate)) {
                    std::memcpy(path, candidate, kPathSize);
                    found = true;
                }
            }
            d = end != nullptr ? end + 1 : d + n;
        }
        if (!found) return -1;
    }
    return Fx_HostLinkFree(path, root_len) ? 0 : -1;
}

uint32_t UtcNow() {
    return tavix_engine_hooks.utc_now != nullptr ? tavix_engine_hooks.utc_now() : uint32_t(time(nullptr));
}

}  // namespace

int tavix_engine_initialize_response_fields(tavix_buffer *b, int status, const char *reason, bool keep_alive) {
    b->length = b->read_pos = 0;
    // The date text changes once a second: made again only then (per thread,
    // as the workers answer too).
    thread_local struct {
        uint32_t second;
        bool made;
        std::size_t length;
        char text[64];
    } date{};
    const uint32_t now = UtcNow();
    if (!date.made || date.second != now) {
        date.length = tavix_util_output_http_time(time_t(now), date.text, sizeof date.text);
        date.second = now;
        date.made = true;
    }
    const char *server = tavix_global_options.server_header != nullptr ? tavix_global_options.server_header : "";
    bool ok = Put(b, "HTTP/1.0 ") && (status >= 0 ? PutDecimal(b, uint32_t(status)) : Putf(b, "%d", status)) &&
              Put(b, " ") && Put(b, reason) && Put(b, "\r\nServer: ") && Put(b, server) && Put(b, "\r\n");
    if (ok && date.length > 0)
        ok = Put(b, "Date: ") && tavix_buffer_put_data(b, date.text, uint32_t(date.length)) == 0 && Put(b, "\r\n");
    if (ok && keep_alive) ok = Put(b, "Connection: Keep-Alive\r\n");
    return ok ? 0 : -1;
}

tavix_buffer *tavix_engine_initialize_response(int status, const char *reason, bool keep_alive) {
    tavix_buffer *b = tavix_buffer_get(TAVIX_BUF_RESP_CHAINED, 1024, tavix_global_options.buffer_limit, false);
    if (b == nullptr) return nullptr;
    if (tavix_engine_initialize_response_fields(b, status, reason, keep_alive) != 0) {
        tavix_buffer_return(b);
        return nullptr;
    }
    return b;
}

tavix_buffer *tavix_engine_initialize_response_mtsafe(int status, const char *reason, bool keep_alive) {
    tavix_buffer *b = tavix_buffer_get(TAVIX_BUF_RESP_CHAINED, 1024, tavix_global_options.buffer_limit, true);
    if (b == nullptr) return nullptr;
    if (tavix_engine_initialize_response_fields(b, status, reason, keep_alive) != 0) {
        tavix_buffer_free(b);
        return nullptr;
    }
    return b;
}

tavix_buffer *tavix_engine_get_content_buffer_mtsafe() {
    return tavix_buffer_get(TAVIX_BUF_DATA, 512, tavix_global_options.buffer_limit, true);
}

tavix_buffer *tavix_engine_not_available_err(const char *entity, int status, const char *reason, bool keep_alive,
                                             bool header_only) {
    tavix_buffer *h = tavix_engine_initialize_response(status, reason, keep_alive);
    if (h == nullptr) return nullptr;
    if (header_only) {
        Put(h, "\r\n");
        return h;
    }
    tavix_buffer *body = tavix_buffer_get(TAVIX_BUF_DATA, 512, tavix_global_options.buffer_limit, false);
    if (body == nullptr) {
        tavix_buffer_return(h);
        return nullptr;
    }
    char head[257];
    std::snprintf(head, sizeof head,
                  "<!DOCTYPE html><html><head><title>%d %s</title></head><body><h1>%s</h1><p>Requested Entity: ",
                  status, reason, reason);
    Put(body, head);
    Escaped(body, entity != nullptr ? entity : "");
    Put(body, "</p></body></html>");
    PutLengthAndType(h, body->length, "text/html; charset=utf-8");
    Put(h, "\r\n");
    tavix_buffer_put_chained_content(h, body);
    return h;
}

int tavix_engine_handle_request_header(tavix_connection *c, const char *method, const char *url, tavix_buffer *request,
                                       tavix_buffer **response) {
    // Answers never keep the connection: it closes after the last one.
    if (c != nullptr) c->keep_alive = 0;
    if (tavix_engine_hooks.access == nullptr) return 1;
    return tavix_engine_hooks.access(c, method, url, request, response);
}

tavix_buffer *tavix_engine_initialize_request(const char *path) {
    tavix_buffer *b = tavix_buffer_get(TAVIX_BUF_REQ_CHAINED, 1024, tavix_global_options.request_limit + 8192, false);
    if (b == nullptr) return nullptr;
    if (!Put(b, "POST ") || !Put(b, path) || !Put(b, " HTTP/1.0\r\n")) {
        tavix_buffer_return(b);
        return nullptr;
    }
    return b;
}

int tavix_engine_chain_content(tavix_buffer *header, tavix_buffer *content, const char *type) {
    char line[48];
    std::snprintf(line, sizeof line, "Content-Length: %u\r\n\r\n", content->length);
    if ((type != nullptr && (!Put(header, "Content-Type: ") || !Put(header, type) || !Put(header, "\r\n"))) ||
        !Put(header, line))
        return -1;
    return tavix_buffer_put_chained_content(header, content);
}

tavix_buffer *tavix_engine_construct_json_response(tavix_buffer *body) {
    tavix_buffer *h = tavix_engine_initialize_response(200, "OK", false);
    if (h == nullptr) {
        tavix_buffer_return(body);
        return nullptr;
    }
    Put(h, "Cache-Control: no-cache\r\n");
    PutLengthAndType(h, body->length, "application/json");
    Put(h, "\r\n");
    tavix_buffer_put_chained_content(h, body);
    return h;
}

const char *tavix_engine_find_mimetype(const char *extension) {
    const tavix_mime_type key{extension, nullptr};
    const void *hit = std::bsearch(&key, tavix_global_options.mime, tavix_global_options.mime_count,
                                   sizeof(tavix_mime_type), tavix_util_compare_mimetype);
    return hit == nullptr ? nullptr : static_cast<const tavix_mime_type *>(hit)->type;
}

const char *tavix_engine_header_field(const tavix_buffer *request, const char *name, uint32_t *length) {
    const char *data = reinterpret_cast<const char *>(request->data);
    const uint32_t n = request->length;
    const std::size_t name_len = std::strlen(name);
    // Fields start after a line end; the first line is the request line.
    for (long at = tavix_util_strnstr(data, n, "\r\n", 2); at >= 0;) {
        const uint32_t start = uint32_t(at) + 2;
        if (start + 2 <= n && data[start] == '\r' && data[start + 1] == '\n') return nullptr;  // header end
        const long next = tavix_util_strnstr(data + start, n - start, "\r\n", 2);
        const uint32_t line_len = next < 0 ? n - start : uint32_t(next);
        if (line_len >= name_len && strncasecmp(data + start, name, name_len) == 0) {
            *length = uint32_t(line_len - name_len);
            return data + start + name_len;
        }
        if (next < 0) return nullptr;
        at = long(start) + next;
    }
    return nullptr;
}

namespace {

// GET and HEAD over the whole decoded URL (dn bytes, NUL-terminated).
tavix_buffer *ServeFile(char *decoded, std::size_t dn, bool header_only, const char *web_root, tavix_connection *c,
                        tavix_buffer *request, bool *keep_request) {
    const char *method = header_only ? "HEAD" : "GET";
    uint32_t enc_len = 0;
    const char *enc = tavix_engine_header_field(request, "Accept-Encoding: ", &enc_len);
    const bool gzip_ok = enc != nullptr && tavix_util_strcasenstr(enc, enc_len, "gzip", 4) >= 0;

    char path[kPathSize];
    const std::size_t root_len = std::strlen(web_root);
    tavix_buffer *response = nullptr;
    if (root_len >= kPathSize - 1) return tavix_engine_not_available_err("", 404, "Not Found", false, header_only);

    if (tavix_engine_handle_request_header(c, method, decoded, request, &response) == 0) return response;
    bool keep = false;
    const int answered =
        tavix_engine_hooks.request != nullptr &&
        tavix_engine_hooks.request(method, decoded, c, request, &response, &keep, tavix_auth_current.user);
    if (keep_request != nullptr) *keep_request = keep;
    if (answered) return response;

    // The path ends at the first "?" or "#": what follows (a query of any
    // length, any bytes) is no part of the file name. A NUL before it, or a
    // path longer than the room the web root leaves, names no file.
    std::size_t len = dn;
    for (std::size_t i = 0; i < dn; i++) {
        char &ch = decoded[i];
        if (ch == '\\') ch = '/';
        if (ch == '?' || ch == '#') {
            ch = 0;
            len = i;
            break;
        }
        if (ch == 0) return tavix_engine_not_available_err(decoded, 404, "Not Found", false, header_only);
    }
    if (decoded[0] != '/')
        return tavix_engine_not_available_err(decoded, 403, "Forbidden - is not an absolute path", false, header_only);
    if (std::strstr(decoded, "/../") != nullptr || (len >= 3 && std::strcmp(decoded + len - 3, "/..") == 0))
        return tavix_engine_not_available_err(decoded, 403, "Forbidden - no .. allowed", false, header_only);
    if (len > kPathSize - 1 - root_len)
        return tavix_engine_not_available_err(decoded, 404, "Not Found", false, header_only);
    // The web root and the decoded name.
    std::memcpy(path, web_root, root_len);
    std::memcpy(path + root_len, decoded, len);
    path[root_len + len] = 0;

    const char *docs =
        tavix_global_options.default_documents != nullptr ? tavix_global_options.default_documents : "index.htm";
    struct stat st {};
    const int quick = OpenWebFileQuick(path, docs, &st);
    if (quick < 0) {
        const int full = FindWebFile(path, docs, root_len);
        if (full != 0) return tavix_engine_not_available_err(decoded, 404, "Not Found", false, header_only);
    }

    tavix_buffer *h = tavix_engine_initialize_response(200, "OK", false);
    if (h == nullptr) {
        if (quick >= 0) close(quick);
        tavix_util_error("Can't initialize response!");
        return nullptr;
    }
    tavix_buffer *file = tavix_buffer_get(TAVIX_BUF_FILE, 0, tavix_global_options.buffer_limit, false);
    const int put = file == nullptr ? -1
                    : quick >= 0    ? tavix_buffer_put_open_file(file, quick, &st)
                                    : tavix_buffer_put_file(file, path);
    if (put != 0) {
        if (file == nullptr && quick >= 0) close(quick);
        tavix_buffer_return(file);
        tavix_buffer_return(h);
        return tavix_engine_not_available_err(decoded, 404, "Not Found", false, header_only);
    }
    // A small file is read whole now, in one read that also gives its first bytes.
    if (!header_only) tavix_buffer_read_whole_file(file, kReadWhole);
    const char *slash = std::strrchr(path, '/');
    const char *dot = std::strrchr(slash != nullptr ? slash : path, '.');
    const char *type = dot != nullptr ? tavix_engine_find_mimetype(dot + 1) : nullptr;
    if (type != nullptr) {
        uint8_t magic[3] = {};
        const bool got =
            file->length >= 3 ? (std::memcpy(magic, file->data, 3), true) : pread(file->fd, magic, 3, 0) == 3;
        const bool gz = got && magic[0] == 0x1F && magic[1] == 0x8B && magic[2] == 0x08;
        if (gz && !gzip_ok) {
            tavix_buffer_return(file);
            tavix_buffer_return(h);
            return tavix_engine_not_available_err(decoded, 406, "Not acceptable (gzip)", false, header_only);
        }
        PutLengthAndType(h, file->file_size, type);
        if (gz) Put(h, "Content-Encoding: gzip\r\n");
    } else {
        PutLengthAndType(h, file->file_size, "application/octet-stream");
    }
    Put(h, "\r\n");
    if (header_only)
        tavix_buffer_return(file);
    else
        tavix_buffer_put_chained_content(h, file);
    return h;
}

}  // namespace

tavix_buffer *tavix_engine_handle_head_get_request(const char *url, uint32_t url_length, bool header_only,
                                                   const char *web_root, tavix_connection *c, tavix_buffer *request,
                                                   bool *keep_request) {
    // The whole URL decoded: the access check and the request hook see it
    // all, and only then is the query cut off the path.
    char *decoded = static_cast<char *>(std::malloc(std::size_t(url_length) + 1));
    if (decoded == nullptr) {
        tavix_util_error("Can't initialize response!");
        return nullptr;
    }
    const std::size_t dn = tavix_util_url_decode(url, url_length, decoded, std::size_t(url_length) + 1, false, true);
    tavix_buffer *response = ServeFile(decoded, dn, header_only, web_root, c, request, keep_request);
    std::free(decoded);
    return response;
}

namespace {
// Hands a parsed request to its method's handler; u is the URL's copy.
tavix_buffer *Dispatch(const char *method, const char *u, const char *url, uint32_t url_len, tavix_connection *c,
                       tavix_buffer *request);
}  // namespace

tavix_buffer *tavix_engine_handle_request(tavix_connection *c, tavix_buffer *request) {
    const char *data = reinterpret_cast<const char *>(request->data);
    const uint32_t n = request->length;
    const long eol = tavix_util_strnstr(data, n, "\r\n", 2);
    tavix_buffer *response = nullptr;
    if (eol < 0) {
        response = tavix_engine_not_available_err("", 400, "Bad Request", false, false);
        tavix_buffer_return(request);
        return response;
    }
    const uint32_t line = uint32_t(eol);
    const long blank = tavix_util_strnstr(data, line < 16 ? line : 16, " ", 1);
    if (blank <= 2) {
        response = tavix_engine_not_available_err("", 500, "No recognizable method found in request", false, false);
        tavix_buffer_return(request);
        return response;
    }
    char method[17];
    std::memcpy(method, data, std::size_t(blank));
    method[blank] = 0;
    const char *url = data + blank + 1;
    const uint32_t rest = line - uint32_t(blank) - 1;
    const long url_end = tavix_util_strnstr(url, rest < 65536 ? rest : 65536, " ", 1);
    uint32_t url_len = 0;
    const bool simple = line + 2 == n;  // nothing but the request line
    if (url_end < 0) {
        if (!simple || rest > kUrlMax) {
            response = tavix_engine_not_available_err(method, 414, "Request-URL Too Long", false, false);
            tavix_buffer_return(request);
            return response;
        }
        url_len = rest;
    } else {
        url_len = uint32_t(url_end);
    }
    c->keep_alive = 0;
    // The URL copied whole, as the POST path, its access check and the
    // response hook see it.
    char *u = static_cast<char *>(std::malloc(std::size_t(url_len) + 1));
    if (u == nullptr) {
        tavix_util_error("Can't initialize response!");
        tavix_buffer_return(request);
        return nullptr;
    }
    const std::size_t un = strnlen(url, url_len);
    std::memcpy(u, url, un);
    u[un] = 0;
    response = Dispatch(method, u, url, url_len, c, request);
    std::free(u);
    return response;
}

namespace {

tavix_buffer *Dispatch(const char *method, const char *u, const char *url, uint32_t url_len, tavix_connection *c,
                       tavix_buffer *request) {
    tavix_buffer *response = nullptr;
    if (std::strncmp(method, "GET", 3) == 0 || std::strncmp(method, "HEAD", 4) == 0) {
        const bool head = method[0] == 'H';
        bool keep = false;
        response =
            tavix_engine_handle_head_get_request(url, url_len, head, tavix_global_options.web_root, c, request, &keep);
        if (!keep) tavix_buffer_return(request);
        return ResponseHook(method, u, c, response);
    }
    if (std::strncmp(method, "POST", 4) == 0) {
        if (tavix_engine_hooks.post != nullptr)
            return ResponseHook(method, u, c, tavix_engine_hooks.post(c, u, request));
        tavix_buffer_return(request);
        tavix_buffer *body = tavix_buffer_get(TAVIX_BUF_DATA, 64, tavix_global_options.buffer_limit, false);
        if (body == nullptr) return ResponseHook(method, u, c, nullptr);
        Put(body, "{\"error\":501,\"errorstring\":\"Not implemented\"}");
        return ResponseHook(method, u, c, tavix_engine_construct_json_response(body));
    }
    response = tavix_engine_not_available_err(method, 500, "Invalid method", false, false);
    tavix_buffer_return(request);
    return response;
}

}  // namespace

int tavix_engine_handle_data(tavix_connection *c, tavix_buffer **pending, tavix_buffer *received) {
    const bool closed = received->length == 0;
    tavix_buffer *work = received;
    if (*pending != nullptr) {
        if (tavix_buffer_put_data(*pending, received->data + received->read_pos,
                                  received->length - received->read_pos) != 0) {
            c->closing = 1;
            return -1;
        }
        received->read_pos = received->length;
        work = *pending;
    }
    for (;;) {
        const char *data = reinterpret_cast<const char *>(work->data) + work->read_pos;
        const uint32_t avail = work->length - work->read_pos;
        if (avail == 0) break;
        const long eol = tavix_util_strnstr(data, avail, "\r\n", 2);
        if (eol < 3) break;
        uint32_t take = 0;
        if (std::strncmp(data, "GET ", 4) == 0 && std::memchr(data + 4, ' ', std::size_t(eol) - 4) == nullptr) {
            take = uint32_t(eol) + 2;  // a simple request: the line alone
        } else {
            const long end = tavix_util_strnstr(data, avail, "\r\n\r\n", 4);
            if (end < 0) break;
            const uint32_t header = uint32_t(end) + 4;
            const long cl = tavix_engine_content_length(data, header);
            if (cl == -2) {
                tavix_util_error("Content-Length negative or too large");
                c->closing = 1;
                return -1;
            }
            // Without a length a request ends with its header, and what came
            // with it behind the header is its body (a POST's fields sent
            // without a length are not lost). GET and HEAD carry no body: a
            // request sent behind one on the same connection stays a request.
            const bool bodiless = std::strncmp(data, "GET", 3) == 0 || std::strncmp(data, "HEAD", 4) == 0;
            const uint32_t body = cl >= 0 ? uint32_t(cl) : bodiless ? 0 : avail - header;
            if (uint64_t(header) + body > avail) {
                if (!closed) break;
                take = avail;  // the peer closed: what arrived is all there is
            } else {
                take = header + body;
            }
        }
        // The request limit bounds the body (its Content-Length was checked
        // against it); the request and pending buffers hold 8 KB more for the
        // header lines, so that a body of the whole limit still fits.
        tavix_buffer *req =
            tavix_buffer_get(TAVIX_BUF_REQ_HEADER, take + 1, tavix_global_options.request_limit + 8192, false);
        if (req == nullptr || tavix_buffer_put_data(req, data, take) != 0) {
            tavix_buffer_return(req);
            c->closing = 1;
            return -1;
        }
        req->data[take] = 0;  // a NUL behind the request for the readers of its header values
        work->read_pos += take;
        tavix_buffer *resp = tavix_engine_handle_request(c, req);
        if (resp != nullptr) tavix_comm_send(c, resp);
    }
    // Keep what is not consumed for the next call.
    const uint32_t left = work->length - work->read_pos;
    if (work == received) {
        if (left > 0) {
            *pending = tavix_buffer_get(TAVIX_BUF_DATA, left < 1024 ? 1024 : left,
                                        tavix_global_options.request_limit + 8192, false);
            if (*pending == nullptr ||
                tavix_buffer_put_data(*pending, received->data + received->read_pos, left) != 0) {
                c->closing = 1;
                return -1;
            }
        }
    } else if (left == 0) {
        tavix_buffer_return(*pending);
        *pending = nullptr;
    } else if (work->read_pos > 0) {
        std::memmove(work->data, work->data + work->read_pos, left);
        work->length = left;
        work->read_pos = 0;
    }
    received->length = received->read_pos = 0;
    return 0;
}

void tavix_engine_receive_comm_data(tavix_connection *c, tavix_buffer *received) {
    if (c->kind == 1) {
        tavix_comm_remote_server_receive(c, received);  // an answer of a remote server
        return;
    }
    tavix_engine_handle_data(c, &c->pending, received);
}
