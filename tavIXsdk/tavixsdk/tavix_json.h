// The web server's JSON writer and reader. The writer measures and writes
// with the same functions: with a null destination a function answers the
// bytes it would write; with a destination too small for the text it writes
// nothing, reports it and answers the bytes needed. Nothing is NUL-terminated.
#pragma once

#include <cstddef>
#include <cstdint>

// Delimiter codes.
enum : int {
    TAVIX_JSON_OBJ_OPEN = 0,
    TAVIX_JSON_COLON,
    TAVIX_JSON_COMMA,
    TAVIX_JSON_OBJ_CLOSE,
    TAVIX_JSON_ARR_OPEN,
    TAVIX_JSON_ARR_CLOSE
};

// Data value kinds handed to the writer by data callbacks.
enum : uint32_t {
    TAVIX_DV_BOOL = 1,
    TAVIX_DV_INT32,
    TAVIX_DV_INT64,
    TAVIX_DV_UINT32,
    TAVIX_DV_UINT64,
    TAVIX_DV_FLOAT,
    TAVIX_DV_DOUBLE,
    TAVIX_DV_TEXT
};

struct tavix_data_value {
    uint32_t kind;
    union {
        uint8_t b;
        int32_t i32;
        int64_t i64;
        uint32_t u32;
        uint64_t u64;
        float f;
        double d;
        const char *text;
    };
};

struct tavix_timestamp {
    uint64_t seconds;
    uint64_t nanoseconds;
};

struct tavix_localized {
    const char *language;  // null for a plain text
    const char *text;
};

long tavix_json_put_delimiter(char *dst, std::size_t room, int code);
long tavix_json_put_string(char *dst, std::size_t room, const char *text, long length);
long tavix_json_put_hex_data(char *dst, std::size_t room, const uint8_t *bytes, long length, bool upper);
long tavix_json_put_integer(char *dst, std::size_t room, uint64_t value, bool is_unsigned);
long tavix_json_put_real(char *dst, std::size_t room, double value);
long tavix_json_put_boolean(char *dst, std::size_t room, bool value);
long tavix_json_put_null(char *dst, std::size_t room);
long tavix_json_put_timestamp(char *dst, std::size_t room, const tavix_timestamp *t);
long tavix_json_put_data_value(char *dst, std::size_t room, const tavix_data_value *v);
// "value":<data value>
long tavix_json_put_value(char *dst, std::size_t room, const tavix_data_value *v);
// A list of {language, text} pairs ended by a pair with a null text.
long tavix_json_put_localized_strings(char *dst, std::size_t room, const tavix_localized *list);
// The same from a packed list: language NUL text NUL ..., ended by an empty
// language; a list starting with NUL is the plain text after it.
long tavix_json_serialize_localized_strings(char *dst, std::size_t room, const char *packed);

// Reader token kinds.
enum : int {
    TAVIX_TOK_OBJ_OPEN = 0,
    TAVIX_TOK_COLON,
    TAVIX_TOK_COMMA,
    TAVIX_TOK_OBJ_CLOSE,
    TAVIX_TOK_ARR_OPEN,
    TAVIX_TOK_ARR_CLOSE,
    TAVIX_TOK_STRING,
    TAVIX_TOK_NUMBER,
    TAVIX_TOK_TRUE,
    TAVIX_TOK_FALSE,
    TAVIX_TOK_NULL,
    TAVIX_TOK_END,
    TAVIX_TOK_OTHER
};

// Skips blanks and reads one token; answers the bytes consumed (a string's
// opening quote is consumed, a number is not).
int tavix_util_json_decode_next_token(const char *text, int *kind);
// Answers the number's length, -1 for none.
int tavix_util_json_decode_number(const char *text, int64_t *integer, double *real, bool *is_real);
// text starts after the opening quote. Measuring (null out) refuses any
// backslash. Answers the bytes consumed with the closing quote, -1 when
// malformed; the copy is NUL-terminated when room remains.
int tavix_util_json_decode_string(const char *text, char *out, std::size_t out_size, std::size_t *length);
// Skips one object (text at its "{") to its matching "}"; answers the bytes
// consumed, -1 when malformed.
int tavix_util_json_eat_object(const char *text);
