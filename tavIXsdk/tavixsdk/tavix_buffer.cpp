// Growable byte buffers, their pool, and the server's timers.
#include "tavIXsdk/tavixsdk/tavix_buffer.h"

#include <cassert>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tavIXsdk/tavixsdk/tavix_util.h"

tavix_buffer_pool_t tavix_buffer_pool = {nullptr, PTHREAD_MUTEX_INITIALIZER};
tavix_timer tavix_default_timer;

namespace {

constexpr uint32_t kKeepStorage = 4096;  // storage up to this size stays with a pooled record
constexpr uint32_t kDoubleBelow = 0x100000;

void ClearEngineWords(tavix_buffer *b) {
    b->engine[0] = b->engine[1] = b->engine[2] = 0;
    b->engine[3] = -1;
}

bool IsChained(const tavix_buffer *b) { return b->kind == TAVIX_BUF_RESP_CHAINED || b->kind == TAVIX_BUF_REQ_CHAINED; }

}  // namespace

void tavix_buffer_reset_data(tavix_buffer *b) {
    b->kind = TAVIX_BUF_UNSET;
    b->held = b->queued = 0;
    b->send_next = nullptr;
    b->fd = -1;
    b->file_size = 0;
    b->content = nullptr;
    b->read_pos = b->file_pos = b->length = 0;
    b->overflowed = 0;
    ClearEngineWords(b);
    b->header_length = b->content_length = b->content_replaced = 0;
    b->dict_pos = 0;
    b->limit = 0;
}

void tavix_buffer_reset(tavix_buffer *b) {
    tavix_buffer_reset_data(b);
    if (b->data != nullptr) std::memset(b->data, 0, b->capacity);
}

tavix_buffer *tavix_buffer_get(uint32_t kind, uint32_t initial, uint32_t limit, bool unpooled) {
    tavix_buffer *b = nullptr;
    if (!unpooled) {
        pthread_mutex_lock(&tavix_buffer_pool.lock);
        b = tavix_buffer_pool.head;
        if (b != nullptr) tavix_buffer_pool.head = b->pool_next;
        pthread_mutex_unlock(&tavix_buffer_pool.lock);
        if (b != nullptr) {
            b->marker = TAVIX_BUF_TAKEN;
            b->pool_next = nullptr;
            tavix_buffer_reset_data(b);
        }
    }
    if (b == nullptr) {
        b = static_cast<tavix_buffer *>(std::calloc(1, sizeof(tavix_buffer)));
        if (b == nullptr) return nullptr;
        b->marker = TAVIX_BUF_NEW;
        b->fd = -1;
        ClearEngineWords(b);
    }
    if (b->limit < limit) b->limit = limit;
    if (b->capacity < initial && tavix_buffer_grow(b, initial) != 0) {
        tavix_buffer_return(b);
        return nullptr;
    }
    b->kind = kind;
    return b;
}

void tavix_buffer_discard_file_content(tavix_buffer *b) {
    if (b->fd >= 0) close(b->fd);
    b->fd = -1;
    b->file_size = 0;
}

void tavix_buffer_return(tavix_buffer *b) {
    if (b == nullptr) return;
    if (b->marker == TAVIX_BUF_FREED) {
        tavix_util_error("DEBUG: Tried to free already freed buffer");
        assert(!"buffer returned twice");
        return;
    }
    b->marker = TAVIX_BUF_FREED;
    if (b->capacity > kKeepStorage) {
        std::free(b->data);
        b->data = nullptr;
        b->capacity = 0;
    }
    tavix_buffer_discard_file_content(b);
    tavix_buffer *content = b->content;
    // The kept storage is not cleared: every user writes before it reads, and
    // a request is handed on with a NUL behind its bytes.
    tavix_buffer_reset_data(b);
    pthread_mutex_lock(&tavix_buffer_pool.lock);
    b->pool_next = tavix_buffer_pool.head;
    tavix_buffer_pool.head = b;
    pthread_mutex_unlock(&tavix_buffer_pool.lock);
    if (content != nullptr) tavix_buffer_return(content);
}

void tavix_buffer_free(tavix_buffer *b) {
    if (b == nullptr) return;
    tavix_buffer_discard_file_content(b);
    if (b->content != nullptr) tavix_buffer_free(b->content);
    std::free(b->data);
    std::free(b);
}

void tavix_buffer_free_all() {
    pthread_mutex_lock(&tavix_buffer_pool.lock);
    tavix_buffer *b = tavix_buffer_pool.head;
    tavix_buffer_pool.head = nullptr;
    pthread_mutex_unlock(&tavix_buffer_pool.lock);
    while (b != nullptr) {
        tavix_buffer *next = b->pool_next;
        std::free(b->data);
        std::free(b);
        b = next;
    }
}

int tavix_buffer_grow(tavix_buffer *b, uint32_t wanted) {
    if (wanted > b->limit) {
        if (!b->overflowed) {
            tavix_util_error("Buffer overflow - max size %u, wants %u", b->limit, wanted);
            b->overflowed = 1;
        }
        return 1;
    }
    uint64_t size = tavix_util_upper_power_of_two(wanted);
    if (size > b->limit) size = b->limit;
    if (size <= b->capacity) return 0;
    if (b->data == nullptr) {
        b->data = static_cast<uint8_t *>(std::calloc(1, size));
        if (b->data == nullptr) return 1;
        b->capacity = uint32_t(size);
        return 0;
    }
    if (size * 2 < kDoubleBelow && size * 2 < b->limit) size *= 2;
    uint8_t *d = static_cast<uint8_t *>(std::realloc(b->data, size));
    if (d == nullptr) {
        std::free(b->data);
        b->data = nullptr;
        b->capacity = b->length = 0;
        return 1;
    }
    std::memset(d + b->capacity, 0, size - b->capacity);
    b->data = d;
    b->capacity = uint32_t(size);
    return 0;
}

int tavix_buffer_put_data(tavix_buffer *b, const void *bytes, uint32_t count) {
    if (b == nullptr || (bytes == nullptr && count != 0)) return 1;
    const uint64_t need = uint64_t(b->length) + count;
    if (need > UINT32_MAX || (need > b->capacity && tavix_buffer_grow(b, uint32_t(need)) != 0)) return 1;
    if (count != 0) std::memcpy(b->data + b->length, bytes, count);
    b->length += count;
    return 0;
}

uint32_t tavix_buffer_put_urlencoded(tavix_buffer *b, const char *text, uint32_t length, bool plus_for_space,
                                     int *error) {
    static const char kDigits[] = "0123456789ABCDEF";
    const uint32_t n = length != 0 ? length : uint32_t(std::strlen(text));
    uint32_t written = 0;
    for (uint32_t i = 0; i < n; i++) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        char piece[3];
        uint32_t k = 1;
        if (std::isalnum(c))
            piece[0] = char(c);
        else if (c == ' ' && plus_for_space)
            piece[0] = '+';
        else
            piece[0] = '%', piece[1] = kDigits[c >> 4], piece[2] = kDigits[c & 15], k = 3;
        if (tavix_buffer_put_data(b, piece, k) != 0) {
            if (error != nullptr) *error = 1;
            break;
        }
        written += k;
    }
    return written;
}

int tavix_buffer_add_header(tavix_buffer *b, const char *text, uint32_t count) {
    if (b == nullptr || text == nullptr || b->length < 2) return 1;
    // The header's last two bytes ("\r\n") give way to the line and a new end.
    const uint32_t at = b->length - 2;
    if (uint64_t(at) + count + 4 > b->capacity && tavix_buffer_grow(b, at + count + 4) != 0) return 2;
    std::memcpy(b->data + at, text, count);
    std::memcpy(b->data + at + count, "\r\n\r\n", 4);
    b->length = at + count + 4;
    return 0;
}

long tavix_buffer_get_data(tavix_buffer *b, const uint8_t **out, uint8_t *scratch, uint32_t scratch_size,
                           const char *pattern, uint32_t pattern_length) {
    for (tavix_buffer *p = b; p != nullptr; p = IsChained(p) ? p->content : nullptr) {
        const uint8_t *piece = nullptr;
        uint32_t n = 0;
        if (p->read_pos < p->length) {
            piece = p->data + p->read_pos;
            n = p->length - p->read_pos;
        } else if (p->kind == TAVIX_BUF_FILE && p->fd >= 0 && p->file_pos < p->file_size) {
            if (scratch == nullptr || scratch_size == 0) return -1;
            n = p->file_size - p->file_pos < scratch_size ? p->file_size - p->file_pos : scratch_size;
            const ssize_t r = pread(p->fd, scratch, n, off_t(p->file_pos));
            if (r <= 0) return -1;
            n = uint32_t(r);
            piece = scratch;
        } else {
            continue;
        }
        if (pattern != nullptr && pattern_length != 0) {
            const long at = tavix_util_strnstr(reinterpret_cast<const char *>(piece), n, pattern, pattern_length);
            if (at >= 0) n = uint32_t(at) + pattern_length;
        }
        *out = piece;
        return long(n);
    }
    return -1;
}

uint32_t tavix_buffer_gather(const tavix_buffer *b, struct iovec *iov, uint32_t max, tavix_buffer_file_part *file) {
    *file = tavix_buffer_file_part{-1, 0, 0};
    uint32_t n = 0;
    for (const tavix_buffer *p = b; p != nullptr; p = IsChained(p) ? p->content : nullptr) {
        if (p->read_pos < p->length) {
            if (n == max) return n;
            iov[n++] = {p->data + p->read_pos, p->length - p->read_pos};
        }
        if (p->kind == TAVIX_BUF_FILE && p->fd >= 0 && p->file_pos < p->file_size) {
            *file = {p->fd, p->file_pos, p->file_size - p->file_pos};
            return n;
        }
    }
    return n;
}

void tavix_buffer_get_advance(tavix_buffer *b, uint32_t count) {
    for (tavix_buffer *p = b; p != nullptr; p = IsChained(p) ? p->content : nullptr) {
        if (p->read_pos < p->length) {
            const uint32_t left = p->length - p->read_pos;
            p->read_pos += count < left ? count : left;
            return;
        }
        if (p->kind == TAVIX_BUF_FILE && p->file_pos < p->file_size) {
            const uint32_t left = p->file_size - p->file_pos;
            p->file_pos += count < left ? count : left;
            return;
        }
    }
}

uint32_t tavix_buffer_available_data(const tavix_buffer *b) {
    uint64_t n = 0;
    for (const tavix_buffer *p = b; p != nullptr; p = IsChained(p) ? p->content : nullptr) {
        n += p->length - (p->read_pos < p->length ? p->read_pos : p->length);
        if (p->kind == TAVIX_BUF_FILE && p->fd >= 0 && p->file_pos < p->file_size) n += p->file_size - p->file_pos;
    }
    return n > UINT32_MAX ? UINT32_MAX : uint32_t(n);
}

uint32_t tavix_buffer_available_space(const tavix_buffer *b, bool up_to_limit) {
    const uint32_t top = up_to_limit ? b->limit : b->capacity;
    return top > b->length ? top - b->length : 0;
}

int tavix_buffer_reach_max_size(const tavix_buffer *b, uint32_t extra) {
    if (b == nullptr) return 1;
    return uint64_t(b->length) + extra > b->limit ? 2 : 0;
}

int tavix_buffer_is_overflowed(const tavix_buffer *b) {
    for (const tavix_buffer *p = b; p != nullptr; p = IsChained(p) ? p->content : nullptr)
        if (p->overflowed) return -1;
    return 0;
}

void tavix_buffer_rewind(tavix_buffer *b) {
    for (tavix_buffer *p = b; p != nullptr; p = IsChained(p) ? p->content : nullptr) p->read_pos = p->file_pos = 0;
}

int tavix_buffer_put_file(tavix_buffer *b, const char *path) {
    if (b == nullptr || b->kind != TAVIX_BUF_FILE || path == nullptr) return -1;
    tavix_buffer_discard_file_content(b);
    // A link in the last place is not opened (the web folder's rule).
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return -1;
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        close(fd);
        return -1;
    }
    return tavix_buffer_put_open_file(b, fd, &st);
}

int tavix_buffer_put_open_file(tavix_buffer *b, int fd, const struct stat *st) {
    if (b == nullptr || b->kind != TAVIX_BUF_FILE || !S_ISREG(st->st_mode) || uint64_t(st->st_size) > UINT32_MAX) {
        close(fd);
        return -1;
    }
    tavix_buffer_discard_file_content(b);
    b->fd = fd;
    b->file_size = uint32_t(st->st_size);
    b->file_pos = 0;
    return 0;
}

int tavix_buffer_read_whole_file(tavix_buffer *b, uint32_t most) {
    if (b == nullptr || b->kind != TAVIX_BUF_FILE || b->fd < 0 || b->length != 0 || b->file_pos != 0 ||
        b->file_size == 0 || b->file_size > most || b->file_size > b->limit)
        return 1;
    if (b->capacity < b->file_size && tavix_buffer_grow(b, b->file_size) != 0) return 1;
    const ssize_t r = pread(b->fd, b->data, b->file_size, 0);
    if (r <= 0) return 1;
    // What was read is the buffer's data; a short read leaves the rest to the file.
    b->length = b->file_pos = uint32_t(r);
    return 0;
}

int tavix_buffer_put_chained_content(tavix_buffer *header, tavix_buffer *content) {
    if (header == nullptr || !IsChained(header)) return -1;
    if (header->content != nullptr && header->content != content) {
        tavix_buffer_return(header->content);
        header->content_replaced = 1;
    }
    header->content = content;
    if (content != nullptr) {
        content->held = header->held;
        header->content_length = content->length;
    }
    header->header_length = header->length;
    return 0;
}

int tavix_buffer_split_content(tavix_buffer *b, tavix_buffer **content) {
    *content = nullptr;
    if (b->kind == TAVIX_BUF_FILE) return -1;
    if (IsChained(b)) {
        *content = b->content;
        b->content = nullptr;
        b->kind = b->kind == TAVIX_BUF_RESP_CHAINED ? TAVIX_BUF_RESP_HEADER : TAVIX_BUF_REQ_HEADER;
        b->length = b->header_length;
        return 0;
    }
    if (b->header_length > b->length) return -1;
    tavix_buffer *c =
        tavix_buffer_get(TAVIX_BUF_DATA, b->length - b->header_length, tavix_global_options.request_limit, false);
    if (c == nullptr) return -1;
    if (tavix_buffer_put_data(c, b->data + b->header_length, b->length - b->header_length) != 0) {
        tavix_buffer_return(c);
        return -1;
    }
    b->length = b->header_length;
    *content = c;
    return 0;
}

int tavix_buffer_create_grow(tavix_buffer **slot, uint32_t kind, uint32_t extra, uint32_t limit) {
    if (*slot == nullptr) {
        if (extra > limit) {
            tavix_util_error("Buffer overflow - max size %u, wants %u", limit, extra);
            return 2;
        }
        *slot = tavix_buffer_get(kind, extra, limit, false);
        return *slot == nullptr ? 2 : 0;
    }
    const uint64_t want = uint64_t((*slot)->length) + extra;
    if (want > limit) {
        tavix_util_error("Buffer overflow - max size %u, wants %u", limit,
                         uint32_t(want > UINT32_MAX ? UINT32_MAX : want));
        return 2;
    }
    return tavix_buffer_grow(*slot, uint32_t(want)) != 0 ? 2 : 0;
}

namespace {
uint32_t Get24(const uint8_t *p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16; }
}  // namespace

int tavix_buffer_get_dict_entry(const tavix_buffer *b, uint32_t index, const char **name, const char **value,
                                uint32_t *value_length) {
    const uint64_t at = uint64_t(b->dict_pos) + 12ull * index;
    if (b->data == nullptr || at + 12 > b->length) return -1;
    const uint8_t *e = b->data + at;
    const uint32_t n = Get24(e), v = Get24(e + 3), len = Get24(e + 6);
    if (n == 0 || n >= b->length || uint64_t(v) + len > b->length) return -1;
    *name = reinterpret_cast<const char *>(b->data + n);
    *value = reinterpret_cast<const char *>(b->data + v);
    *value_length = len;
    return 0;
}

int tavix_timer_get_time_imp(uint64_t *out) {
    struct timespec ts {};
    if (clock_gettime(CLOCK_MONOTONIC_RAW, &ts) != 0) {
        *out = 0;
        return 1;
    }
    *out = uint64_t(ts.tv_sec) * 2;
    return 0;
}

int (*tavix_timer_clock)(uint64_t *out) = tavix_timer_get_time_imp;

namespace {
tavix_timer *T(tavix_timer *t) { return t != nullptr ? t : &tavix_default_timer; }
uint64_t Now() {
    uint64_t n = 0;
    tavix_timer_clock(&n);
    return n;
}
}  // namespace

void tavix_timer_init_imp(tavix_timer *t) { *T(t) = tavix_timer{}; }

void tavix_timer_start_imp(tavix_timer *t) {
    t = T(t);
    if (t->state & TAVIX_TIMER_PAUSED) {
        tavix_timer_resume_imp(t);
        return;
    }
    t->state = TAVIX_TIMER_RUNNING;
    t->start = Now();
}

void tavix_timer_stop_imp(tavix_timer *t) {
    t = T(t);
    t->stop = Now();
    t->state = 0;
}

void tavix_timer_pause_imp(tavix_timer *t) {
    t = T(t);
    t->stop = Now();
    t->state |= TAVIX_TIMER_PAUSED;
}

void tavix_timer_resume_imp(tavix_timer *t) {
    t = T(t);
    if (!(t->state & TAVIX_TIMER_PAUSED)) return;
    t->state &= ~TAVIX_TIMER_PAUSED;
    t->start += Now() - t->stop;
}

uint64_t tavix_timer_elapsed_imp(tavix_timer *t) {
    t = T(t);
    const uint64_t end = (t->state & TAVIX_TIMER_RUNNING) && !(t->state & TAVIX_TIMER_PAUSED) ? Now() : t->stop;
    return end >= t->start ? end - t->start : 0;
}

int tavix_timer_has_state_imp(tavix_timer *t, uint32_t bits) { return (T(t)->state & bits) == bits ? 1 : 0; }

void tavix_timer_state_imp(tavix_timer *t, uint32_t bits, int mode) {
    t = T(t);
    if (mode == 0)
        t->state &= ~bits;
    else if (mode == 1)
        t->state |= bits;
    else
        t->state = bits;
}
