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

// Clears the channels at start-up (header byte 0 := 1).
void Dpram_Init();
// Serves the talk-override channel; once per main-loop pass.
void Dpram_Service();
