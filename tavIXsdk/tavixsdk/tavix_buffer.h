// The web server's growable byte buffers with their pool, and the
// elapsed-time timers that give the server its clock (half-second units).
#pragma once

#include <cstdint>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/uio.h>

constexpr uint32_t TAVIX_BUF_TAKEN = 0xFACEFACE, TAVIX_BUF_NEW = 0xCAFFEEEE, TAVIX_BUF_FREED = 0xDEADBEEF;

// Buffer kinds.
enum : uint32_t {
    TAVIX_BUF_UNSET = 0,
    TAVIX_BUF_DATA = 1,
    TAVIX_BUF_REQ_HEADER = 2,
    TAVIX_BUF_RESP_HEADER = 4,
    TAVIX_BUF_FILE = 5,
    TAVIX_BUF_ENGINE = 6,
    TAVIX_BUF_RESP_CHAINED = 7,
    TAVIX_BUF_REQ_CHAINED = 8
};

struct tavix_buffer {
    uint32_t marker;
    uint32_t kind;
    uint32_t held;    // belongs to its creator: after sending only the queued mark is cleared
    uint32_t queued;  // sits in a connection's send chain
    tavix_buffer *pool_next;
    tavix_buffer *send_next;
    uint8_t *data;
    uint32_t capacity, limit;
    int fd;  // open file of a file-backed buffer, -1 when none
    uint32_t file_size;
    tavix_buffer *content;  // chained content (kinds 7 and 8)
    uint32_t read_pos, file_pos, length;
    uint32_t overflowed;
    int32_t engine[4];
    uint32_t header_length, content_length, content_replaced;
    uint32_t dict_pos;  // where the form-field dictionary starts
};

// The pool of returned buffers, shared by the web thread and its workers.
struct tavix_buffer_pool_t {
    tavix_buffer *head;
    pthread_mutex_t lock;
};
extern tavix_buffer_pool_t tavix_buffer_pool;

tavix_buffer *tavix_buffer_get(uint32_t kind, uint32_t initial, uint32_t limit, bool unpooled);
void tavix_buffer_return(tavix_buffer *b);
void tavix_buffer_free(tavix_buffer *b);
void tavix_buffer_free_all();
// 0, or 1 when the wanted size passes the limit or memory runs out.
int tavix_buffer_grow(tavix_buffer *b, uint32_t wanted);
int tavix_buffer_put_data(tavix_buffer *b, const void *bytes, uint32_t count);
// Answers the bytes written; a failed grow stops and sets *error.
uint32_t tavix_buffer_put_urlencoded(tavix_buffer *b, const char *text, uint32_t length, bool plus_for_space,
                                     int *error);
// 1 bad argument, 2 cannot grow, 0.
int tavix_buffer_add_header(tavix_buffer *b, const char *text, uint32_t count);
// The next contiguous piece along the chain (a file's piece read into the
// scratch), ending just after the pattern when it occurs; -1 for nothing.
long tavix_buffer_get_data(tavix_buffer *b, const uint8_t **out, uint8_t *scratch, uint32_t scratch_size,
                           const char *pattern, uint32_t pattern_length);
// A file's part of an answer, sent from the file itself: descriptor,
// offset and byte count (0 for none).
struct tavix_buffer_file_part {
    int fd;
    uint32_t offset, count;
};
// The pieces in memory that come next along the chain, at most max into iov,
// up to the first file part, which lands in *file (count 0 when none comes
// before the end or the max-th piece); answers the pieces' count.
uint32_t tavix_buffer_gather(const tavix_buffer *b, struct iovec *iov, uint32_t max, tavix_buffer_file_part *file);
void tavix_buffer_get_advance(tavix_buffer *b, uint32_t count);
uint32_t tavix_buffer_available_data(const tavix_buffer *b);
uint32_t tavix_buffer_available_space(const tavix_buffer *b, bool up_to_limit);
int tavix_buffer_reach_max_size(const tavix_buffer *b, uint32_t extra);
int tavix_buffer_is_overflowed(const tavix_buffer *b);
void tavix_buffer_rewind(tavix_buffer *b);
int tavix_buffer_put_file(tavix_buffer *b, const char *path);
// Takes an open file (closed on failure, as when it is not regular): 0 or -1.
int tavix_buffer_put_open_file(tavix_buffer *b, int fd, const struct stat *st);
// Reads a file of at most most bytes into the buffer's data at once (sent
// before what is left of the file): 0, or 1 when it was not read.
int tavix_buffer_read_whole_file(tavix_buffer *b, uint32_t most);
void tavix_buffer_discard_file_content(tavix_buffer *b);
int tavix_buffer_put_chained_content(tavix_buffer *header, tavix_buffer *content);
int tavix_buffer_split_content(tavix_buffer *b, tavix_buffer **content);
int tavix_buffer_create_grow(tavix_buffer **slot, uint32_t kind, uint32_t extra, uint32_t limit);
int tavix_buffer_get_dict_entry(const tavix_buffer *b, uint32_t index, const char **name, const char **value,
                                uint32_t *value_length);
void tavix_buffer_reset(tavix_buffer *b);
void tavix_buffer_reset_data(tavix_buffer *b);

// Timers: start, stop (u64, half seconds) and state (bit 0 running, bit 1 paused).
struct tavix_timer {
    uint64_t start, stop;
    uint32_t state;
};
constexpr uint32_t TAVIX_TIMER_RUNNING = 1, TAVIX_TIMER_PAUSED = 2;
extern tavix_timer tavix_default_timer;

void tavix_timer_init_imp(tavix_timer *t);
void tavix_timer_start_imp(tavix_timer *t);
void tavix_timer_stop_imp(tavix_timer *t);
void tavix_timer_pause_imp(tavix_timer *t);
void tavix_timer_resume_imp(tavix_timer *t);
uint64_t tavix_timer_elapsed_imp(tavix_timer *t);
int tavix_timer_has_state_imp(tavix_timer *t, uint32_t bits);
void tavix_timer_state_imp(tavix_timer *t, uint32_t bits, int mode);
// Now in half seconds; answers 1 when the clock cannot be read (then 0).
int tavix_timer_get_time_imp(uint64_t *out);
// The clock every timer reads, answering as tavix_timer_get_time_imp (its
// default); tests set a clock of their own.
extern int (*tavix_timer_clock)(uint64_t *out);
