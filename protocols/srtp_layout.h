// Layout of an SRTP message: the 56-byte header (little-endian fields) and
// the values of its fields; the text whose length the header gives follows
// it. Byte offsets from the start of the message.
#pragma once

#include <cstddef>
#include <cstdint>

// ---- header --------------------------------------------------------------------------------------------
// 0 message type; 2 u16 sequence, echoed; 4 u32 text length; 8 status of
// connection and error answers; 9 a request's form (where its service is);
// 16, 17 bytes of type-3 answers; 30 reflected from the request; 31 mailbox
// kind; 32..39 two address words, swapped in the answer; 42 the service of
// forms 1 and 5; 43 a session request's mode flag; 44 the data of short read
// answers; 48 the data of writes carried in the header; 50 the service of
// the other forms; answers: 51 privilege, 52 u16 source, 54 u16 controller
// status.
constexpr std::size_t SRTPH_TYPE = 0, SRTPH_SEQUENCE = 2, SRTPH_TEXT_LENGTH = 4, SRTPH_STATUS = 8, SRTPH_FORM = 9,
                      SRTPH_ANSWER16 = 16, SRTPH_ANSWER17 = 17, SRTPH_REFLECTED = 30, SRTPH_KIND = 31, SRTPH_ADDR = 32,
                      SRTPH_ADDR2 = 36, SRTPH_SHORT_SERVICE = 42, SRTPH_SESSION_FLAG = 43, SRTPH_SHORT_DATA = 44,
                      SRTPH_HEADER_DATA = 48, SRTPH_LONG_SERVICE = 50, SRTPH_PRIVILEGE = 51, SRTPH_SOURCE = 52,
                      SRTPH_PLC_STATUS = 54;
// Fields that share those places: an answer's text length, a refusal's
// class and code, the session request's tag, the answers' mark.
constexpr std::size_t SRTPH_ANSWER_TEXT = 42, SRTPH_ERROR_CLASS = 42, SRTPH_ERROR_CODE = 43, SRTPH_SESSION_TAG = 42,
                      SRTPH_ANSWER_MARK = 50;
constexpr uint32_t SRTPH_ADDR_BYTES = 4;
constexpr uint32_t SRTPH_SHORT_DATA_BYTES = 6;  // a read of fewer bytes is answered in the header

// A service, from its place: code, segment selector, u16 offset, u16 count.
constexpr std::size_t SRTPS_CODE = 0, SRTPS_SELECTOR = 1, SRTPS_OFFSET = 2, SRTPS_COUNT = 4;
// The forms whose service is at SRTPH_SHORT_SERVICE, and whose header
// carries 8 bytes of written data (2 in the others).
constexpr uint8_t SRTP_FORM_SHORT = 1, SRTP_FORM_SHORT2 = 5;
constexpr uint32_t SRTP_HEADER_DATA_SHORT = 8, SRTP_HEADER_DATA_LONG = 2;

// ---- values ----------------------------------------------------------------------------------------------
// Message types: requests, then answers.
enum : uint8_t {
    SRTP_MSG_CONNECT = 0,
    SRTP_MSG_REQUEST = 2,
    SRTP_MSG_SESSION = 8,
    SRTP_MSG_CONNECT_ANSWER = 1,
    SRTP_MSG_ANSWER = 3,
    SRTP_MSG_ERROR = 5,
};
// Mailbox kinds of requests (writes: data in the header, data in the text;
// a kind that is ignored) and of answers.
enum : uint8_t {
    SRTP_KIND_WRITE_HEADER = 0xC0,
    SRTP_KIND_WRITE_TEXT = 0x80,
    SRTP_KIND_WRITE_TEXT2 = 0x93,
    SRTP_KIND_IGNORED = 0xD7,
    SRTP_KIND_DONE = 0xD4,
    SRTP_KIND_DONE_TEXT = 0x94,
    SRTP_KIND_REFUSED = 0xD1,
};
// Byte 17 of a type-3 answer.
constexpr uint8_t SRTP_ANSWER_NO_TEXT = 1, SRTP_ANSWER_TEXT = 2;
// The answers' mark and source, the controller status while it does not
// run, a refusal's class and code, the session request's tag.
constexpr uint8_t SRTP_ANSWER_MARK = 0xFF;
constexpr uint16_t SRTP_SOURCE = 0x74, SRTP_NOT_RUNNING = 0x2000;
constexpr uint8_t SRTP_REFUSAL_CLASS = 5, SRTP_REFUSAL_CODE = 0xF4;
constexpr uint8_t SRTP_SESSION_TAG = 'O', SRTP_SESSION_MODE1 = 1;

// Service codes.
enum : uint8_t {
    SRTP_SVC_SHORT_STATUS = 0x00,
    SRTP_SVC_LONG_STATUS = 0x01,
    SRTP_SVC_READ = 0x04,
    SRTP_SVC_WRITE = 0x07,
    SRTP_SVC_PRIVILEGE = 0x21,
    SRTP_SVC_CONTROL_INFO = 0x43,
    SRTP_SVC_SESSION = 0x4F,
    SRTP_SVC_FEATURES = 0x61,
};
// Segment selectors: registers by word, byte and bit; two fixed answers of
// the read service.
enum : uint8_t {
    SRTP_SEL_R = 8,
    SRTP_SEL_AI = 10,
    SRTP_SEL_AQ = 12,
    SRTP_SEL_I = 16,
    SRTP_SEL_Q = 18,
    SRTP_SEL_T = 20,
    SRTP_SEL_M = 22,
    SRTP_SEL_I_BIT = 70,
    SRTP_SEL_Q_BIT = 72,
    SRTP_SEL_T_BIT = 74,
    SRTP_SEL_M_BIT = 76,
    SRTP_SEL_MEM_ALLOC = 230,
    SRTP_SEL_MODULE_CFG = 236,
};
// Privilege levels a change may ask for: 255 is the highest; the others
// outside LOW..HIGH fall back to LOW.
constexpr uint8_t SRTP_PRIV_LOW = 2, SRTP_PRIV_HIGH = 4, SRTP_PRIV_ASK_HIGHEST = 255;
