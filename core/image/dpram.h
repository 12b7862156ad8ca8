// Mailbox area: request channels between services and their servers in one
// in-memory area. A channel is idle while its request byte equals its
// acknowledge byte; a producer posts by setting request := 1 - acknowledge,
// the server copies request into acknowledge when done.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

constexpr std::size_t DPRAM_SIZE = 74336;
extern std::array<uint8_t, DPRAM_SIZE> dpram;

// Channel positions (byte offsets in dpram).
constexpr std::size_t DP_TALK_REQ = 8460, DP_TALK_ACK = 8461, DP_TALK_ARG = 8462, DP_TALK_RES = 8463;
constexpr std::size_t DP_FILE_REQ = 8464, DP_FILE_ACK = 8465, DP_FILE_RES = 8468;
constexpr std::size_t DP_DLOG_REQ = 8728, DP_DLOG_ACK = 8729, DP_DLOG_RES = 8732;
constexpr std::size_t DP_MAIL_REQ = 8752, DP_MAIL_ACK = 8753, DP_MAIL_RES = 8756;
constexpr std::size_t DP_DBGL_REQ = 74312, DP_DBGL_ACK = 74313, DP_DBGL_RES = 74316;

// File-request channel: operation and drive bytes, the parameter record (13
// words of offsets and values) and its count word. Its name field and data
// area lie in otherwise unused parts of the area, clear of every channel.
constexpr std::size_t DP_FILE_OP = 8466, DP_FILE_DRIVE = 8467, DP_FILE_REC = 8472, DP_FILE_COUNT = 8524;
constexpr std::size_t DP_FILE_DATA = 268, DP_FILE_DATA_SIZE = 8192;
constexpr std::size_t DP_FILE_NAME = 8776, DP_NAME_SIZE = 512;
// Logger channels (data logger at DP_DLOG_REQ, debug logger at DP_DBGL_REQ):
// operation +2, argument +3, result +4, parameters 1..4 at +8, +12, +16, +20.
// Parameters that name text or data hold offsets into the area: each logger
// client has a text field and a data area of its own.
constexpr std::size_t DP_LOG_OP = 2, DP_LOG_ARG = 3, DP_LOG_P1 = 8;
constexpr std::size_t DP_DLOG_TEXT = 9288, DP_DLOG_DATA = 9800, DP_DLOG_DATA_SIZE = 1024;
constexpr std::size_t DP_DBGL_TEXT = 10824, DP_DBGL_DATA = 11336, DP_DBGL_DATA_SIZE = 20480;
// E-mail channel text and data areas (parameters are offsets as above).
constexpr std::size_t DP_MAIL_TEXT = 31816, DP_MAIL_DATA = 32328, DP_MAIL_DATA_SIZE = 4096;

// Clears the channels at start-up (header byte 0 := 1).
void Dpram_Init();
