// The CAN seam: endpoints on a CAN interface by name, moving 16-byte Linux
// `struct can_frame` records (u32 identifier with flags, u8 length, three pad
// bytes, 8 data bytes) without ever waiting.
//
// Board: SocketCAN raw sockets. Workstation: SocketCAN when the interface
// exists, otherwise the host bus: every endpoint binds a Unix datagram socket
// in $PLC_ROOT/sim/can/<name>/ and a frame written is sent to every other
// socket in that folder. A peer that is gone or whose queue is full loses
// that frame; nothing is sent twice and nothing blocks.
#pragma once

#include <cstdint>

constexpr unsigned PLAT_CAN_FRAME = 16;
constexpr unsigned PLAT_CAN_ENDPOINTS = 8;
constexpr uint32_t PLAT_CAN_EFF = 0x80000000u, PLAT_CAN_RTR = 0x40000000u, PLAT_CAN_ERR = 0x20000000u;

struct PlatCanOps {
    int (*open)(const char *ifname);             // endpoint >= 0, or -1 (errno set)
    int (*read)(int ep, uint8_t *frame);         // 16 when a frame was read, else -1 or short
    int (*write)(int ep, const uint8_t *frame);  // 16 when sent, else -1 (errno EAGAIN: retry later)
    int (*set_err_mask)(int ep, uint32_t mask);  // error classes delivered as error frames; 0 ok
    int (*set_sndbuf)(int ep, int bytes);        // 0 ok
    void (*close)(int ep);
    // Each readiness report of the endpoint counts *tally up (see
    // PLAT_PollTally); -1 when its input is not reported (read it every pass).
    int (*tally)(int ep, uint32_t *tally);
};

int PLAT_CanOpen(const char *ifname);
// The step at which the last failed PLAT_CanOpen stopped: creating the
// socket (or taking an endpoint), looking the interface up by its name (on
// the host bus: the name and its folder), binding to it, or making the
// socket non-blocking. PLAT_CanOpen sets PLAT_CAN_STEP_SOCKET before it asks
// the table, so a table that sets nothing reports the socket.
enum : int { PLAT_CAN_STEP_SOCKET = 1, PLAT_CAN_STEP_INTERFACE = 2, PLAT_CAN_STEP_BIND = 3, PLAT_CAN_STEP_FCNTL = 4 };
extern int plat_can_open_step;
int PLAT_CanRead(int ep, uint8_t *frame);
int PLAT_CanWrite(int ep, const uint8_t *frame);
int PLAT_CanSetErrMask(int ep, uint32_t mask);
int PLAT_CanSetSndBuf(int ep, int bytes);
void PLAT_CanClose(int ep);
int PLAT_CanTally(int ep, uint32_t *tally);  // -1 also when the table has no tally

// The table in force: the board's or the host's, chosen by PLAT_Init's
// decision; tests may put their own in its place.
extern const PlatCanOps *plat_can;
extern const PlatCanOps plat_can_board, plat_can_host;

// SocketCAN endpoints shared by both tables (raw socket bound to ifname).
int PlatCan_SockOpen(const char *ifname);
