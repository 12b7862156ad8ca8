// Command protocol of the programming tool: frames, hosts, forwarding and the
// command table.
#pragma once

#include <array>
#include <cstdint>

#include "core/storage/memfile.h"
#include "io/vcomm.h"

// 1 while a program download (type 0) is open outside an on-line change: the
// program area is incomplete and the scan never executes it (I/O goes on,
// outputs hold). Cleared when the last frame arrives; a download that is
// abandoned puts the stored program back first (Cmd_ProgramAbandoned).
extern uint8_t Cmd_PgmHold;
void Cmd_ProgramAbandoned();
// 1 from the first frame of a download until its last one. A download cut
// off there (abandoned, or refused as too long) leaves its file's area erased
// or written over in part under the old CRC, which a later store would keep
// and the next start refuse with the whole application. Unless every file was
// re-created (recreated), Cmd_FileAbandoned puts back what was there: the
// forces from the force image, the register set-up, I/O configuration and
// tables from "config.pgm" (or marks the file invalid when none is stored),
// and says so on the console with why ("abandoned").
extern uint8_t Cmd_FileOpen;
void Cmd_FileAbandoned(bool recreated, const char *why);
extern uint8_t Cmd_Override;  // the port is lent to the modem or the Talk blocks

// 0 warm-resets the controller; 1 re-opens the programming port in the
// command protocol's own mode.
void Cmd_PortInit(uint8_t code);
void Cmd_Init();
// One pass of the protocol; once per main-loop pass.
void Cmd_Check();
// Lets an internal client take the conversation; 1 when granted.
uint32_t Cmd_Request(uint8_t id);

// ---- frame layer ----------------------------------------------------------------
constexpr uint32_t CMD_BUF_MAX = 1024;  // data bytes of one frame
constexpr uint8_t CMD_ACK = 0xA0, CMD_NAK = 0x09, CMD_BADSUM = 0x0F, CMD_BUSY = 0x60;
constexpr uint8_t CMD_DATA = 0xFF;  // command code of data and answer frames
constexpr uint8_t CMD_IDLE = 255;   // CmdRun when no command runs
constexpr uint32_t CMD_COUNT = 39;

struct CmdRecord {
    uint8_t command;
    uint16_t length;  // data length announced by the frame
    std::array<uint8_t, CMD_BUF_MAX> data;
    uint8_t checksum;   // running sum
    uint16_t index;     // data bytes received
    uint32_t state;     // 0 command, 1 length, 2 data, 3 checksum
    uint8_t one_byte;   // a single answer byte completes a frame
    uint8_t timer;      // inter-byte software timer
    uint16_t timeout;   // inter-byte time-out (ms)
    uint8_t len_state;  // 0 normal, 1 after 0xFF, 2 after the low byte
    uint32_t long_len;  // length being assembled in the long form
};
extern CmdRecord CmdBuf;

extern uint32_t CmdHost;  // 0 serial port or modem socket, 1 Ethernet channel

// The driver record (Vcomm_Drv) each host code talks through. Host 0 is the
// programming port; host 1 is the Ethernet channel's own calls until a
// transport installs a port for it (VCOMM_NO_PORT: no record). Every byte of
// a host with a record goes through that record's operations only.
extern uint32_t ChkHost;
extern uint8_t CmdRun;           // command in progress, CMD_IDLE none
extern uint8_t CmdMode;          // step of a multi-frame handler or of forwarding
extern uint8_t CmdHostToPlc;     // 1: next bytes from the host, 0: from the forwarded node
extern uint8_t CmdGlobal;        // the frame was addressed to all controllers
extern uint8_t NegotiationFlag;  // long frames in force
extern uint16_t CmdDataMax;      // largest data block the controller sends
extern uint32_t CmdBaudTimer;    // guards a changed port set-up and the lock
extern uint16_t CmdOldIdle;

// Checksum seed: the OEM code byte without its top bit.
uint8_t Cmd_Seed();
// The checksum byte of a frame whose other bytes are given.
uint8_t Cmd_Checksum(const uint8_t *bytes, uint32_t n);

// Byte layer. *char talks to the conversation's host, *byte chooses between
// the host and the forwarded CAN node.
uint32_t chkchar();
uint8_t cmd_getchar();
void cmd_putchar(uint8_t b);
void cmd_putnchar(const uint8_t *data, uint32_t n);
void flushchar();
uint32_t chkbyte();
uint8_t getbyte();
void putbyte(uint8_t b);
void flushbyte();
// 1 when a whole good frame is in CmdBuf; consumes every byte available now.
uint32_t get_packet();
// Sends one frame (short form, or the long form while negotiated).
void put_packet(uint8_t command, uint16_t length, const uint8_t *data);

// Restarts the inter-byte timer with the frame time-out: a multi-frame
// command waits for the next frame.
void Cmd_WaitMore();
// Ends the command in progress.
void Cmd_End();
// One answer byte, unless the frame was global.
void Cmd_Answer(uint8_t b);
// Restarts CmdBaudTimer unless it is stopped or the port is a CAN command node.
void Cmd_BaudTimerTouch();

// ---- command table --------------------------------------------------------------
using CmdHandler = void (*)();
struct CmdInfoRow {
    CmdHandler handler;
    uint16_t kind;      // reply kind when forwarded: 0 byte, 1 frame, 2 host data, 3 controller data
    uint8_t any_id;     // served by whichever controller receives it
    uint8_t broadcast;  // may be addressed to id 255
};
extern const std::array<CmdInfoRow, CMD_COUNT> CmdInfo;

// Download state.
extern uint8_t CmdGrfxType;  // the file being downloaded is of type 7..11
extern uint8_t CmdFileType;
// 0 marks a download started, 1 ends it (stores the program outside mode 2).
void CmdPanel(uint32_t end);
// Re-applies a changed network and I/O configuration.
void NetIoConfig();
// Largest download accepted for a file type: the room of its area, and no
// more than start-up validation accepts. 0 for types that cannot be downloaded.
uint32_t Cmd_FileLimit(uint32_t type);
// Applies the port-lock settings of a set_comm_lock frame.
void do_comm_lock();
