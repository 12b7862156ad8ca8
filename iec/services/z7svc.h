// The IEC runtime's services: memory manager of the runtime files, socket and
// serial layer, communication server of the programming workbench, event
// server, register binding of located variables, and the host's link flags.
// All of it runs on the main-loop thread and never blocks.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <sys/time.h>

#include "iec/services/z7sp5.h"
#include "iec/vm/z7stdlib.h"

// ---- memory manager -------------------------------------------------------------------------
enum : uint16_t { Z7MM_CODE = 1, Z7MM_VMDB = 2, Z7MM_CHANGE = 3 };
enum : uint16_t { Z7MMF_ALLOC = 0x1, Z7MMF_LINKED = 0x2 };
struct Z7MMSlot {
    uint16_t kind, flags, links, modified;
    uint32_t size, linked, block;  // block: arena offset (0 none)
};
struct Z7MMData {
    const char *folder;  // runtime folder prefix ("" on this controller)
    std::array<Z7MMSlot, 3> slot;
};
// One piece of a download: byte count and bytes.
struct Z7MMPiece {
    uint32_t size;
    const uint8_t *data;
};
void Z7MM_Open(Z7MMData *mm, const char *folder);
void Z7MM_Close(Z7MMData *mm);
uint32_t Z7MM_LoadCode(Z7MMData *mm);
uint32_t Z7MM_LoadVMDB(Z7MMData *mm);
uint32_t Z7MM_LoadChange(Z7MMData *mm);
uint32_t Z7MM_LinkCode(Z7MMData *mm);
uint32_t Z7MM_LinkVMDB(Z7MMData *mm);
uint32_t Z7MM_LinkChange(Z7MMData *mm);
uint32_t Z7MM_UnlinkCode(Z7MMData *mm);
uint32_t Z7MM_UnlinkVMDB(Z7MMData *mm);
uint32_t Z7MM_UnlinkChange(Z7MMData *mm);
uint32_t Z7MM_FreeCode(Z7MMData *mm);
uint32_t Z7MM_FreeVMDB(Z7MMData *mm);
uint32_t Z7MM_FreeChange(Z7MMData *mm);
uint32_t Z7MM_AllocRawVMDB(Z7MMData *mm, uint32_t size);
uint32_t Z7MM_SaveVMDB(Z7MMData *mm);
uint32_t Z7MM_SaveChange(Z7MMData *mm);
uint32_t Z7MM_SaveChangeA(Z7MMData *mm, const char *text);
// kind 2 start, 3 append, 4 end. The pieces go to NAME.tmp, which replaces
// the file at the end piece; a file that would outgrow the VM arena is
// removed and refused.
uint32_t Z7MM_WriteCodeRequest(Z7MMData *mm, uint32_t kind, const Z7MMPiece *piece);
uint32_t Z7MM_WriteChangeRequest(Z7MMData *mm, uint32_t kind, const Z7MMPiece *piece);
uint32_t Z7MM_WriteSyncRequest(Z7MMData *mm, uint32_t kind, const Z7MMPiece *piece);
// The change image becomes the code image; a code block still in the code
// slot is freed, so a caller whose services still read it takes it first.
uint32_t Z7MM_RegisterChange(Z7MMData *mm);
// Detaches the code block from its slot (unlinked) and answers it; the caller
// frees it with Z7Mem_Free.
uint32_t Z7MM_TakeCode(Z7MMData *mm);
// Read sizes of the last load (tests): up to 8 pieces.
extern std::array<uint32_t, 8> Z7MM_LastReads;
extern uint32_t Z7MM_LastReadCount;

// ---- link flags shared with the controller ----------------------------------------------------
extern uint8_t IsCommMode_Qncan;      // 1: the controller's own protocol owns the link
extern uint8_t z7_rcv;                // runtime traffic seen in this pass
extern uint8_t eth_conn;              // the runtime link is open on Ethernet
extern uint8_t z7runtime_modbusinit;  // the serial port was handed back
extern uint32_t timer_Z7;             // time-base stamp of the last runtime traffic
extern uint8_t new_serial_packet;     // the next serial read starts a packet

// ---- sockets and serial port ------------------------------------------------------------------
using Z7SocketHandle = int32_t;
using Z7SerialHandle = int32_t;
uint32_t Z7Socket_Initialize(uint32_t arg);
void Z7Socket_Terminate();
// Socket calls answer as the VM's hooks of the same meaning (true: created,
// sent; closed: the peer closed or the socket failed).
bool Z7Socket_CreateListeningSocket(uint16_t port, uint32_t backlog, Z7SocketHandle *h, uint32_t arg);
bool Z7Socket_CreateListeningSocketOn(uint16_t port, uint32_t backlog, const char *ip, Z7SocketHandle *h);
Z7SocketHandle Z7Socket_Accept(Z7SocketHandle listening, uint32_t arg);
bool Z7Socket_CreateConnectedSocket(const char *ip, uint16_t port, Z7SocketHandle *h, bool *pending, uint32_t arg);
Z7Connect Z7Socket_CheckPendingConnect(Z7SocketHandle h);
int32_t Z7Socket_Send(Z7SocketHandle h, uint32_t len, const uint8_t *data, bool *closed);
// Plain receive: the bytes are delivered as they are.
int32_t Z7Socket_Receive(Z7SocketHandle h, uint32_t len, uint8_t *buf, bool *closed);
// Receive at a frame start of the communication server's channel: the first
// word decides ('H','R' hands the link back and delivers nothing; 'Z','7'
// marks runtime traffic).
int32_t Z7Socket_ReceiveFrameStart(Z7SocketHandle h, uint32_t len, uint8_t *buf, bool *closed);
void Z7Socket_CloseSocket(Z7SocketHandle h);
bool Z7Socket_UdpCreate(uint16_t port, Z7SocketHandle *h);
bool Z7Socket_UdpCreateOn(uint16_t port, const char *ip, Z7SocketHandle *h);
bool Z7Socket_AcceptBroadcast(Z7SocketHandle h);
uint32_t Z7Socket_UdpRecvFrom(Z7SocketHandle h, uint8_t *buf, uint32_t size, uint8_t addr[16]);
bool Z7Socket_UdpSendTo(Z7SocketHandle h, const uint8_t addr[16], const uint8_t *data, uint32_t len);
void Z7Socket_UdpAddrMake(uint8_t addr[16], const char *text, uint16_t default_port);

void Z7Serial_Initialize(Z7SerialHandle *h);
bool Z7Serial_IsValid(Z7SerialHandle h);
uint32_t Z7Serial_Open(Z7SerialHandle *h, const char *settings);
// frame_start: the read begins a frame (the first word decides, as above).
uint32_t Z7Serial_Receive(Z7SerialHandle *h, uint32_t max, uint8_t *buf, bool frame_start);
uint32_t Z7Serial_Send(Z7SerialHandle h, uint32_t len, const uint8_t *data);
// As many bytes as the line takes now, in one write (SP5 frames); the count.
uint32_t Z7Serial_Write(Z7SerialHandle h, uint32_t len, const uint8_t *data);
void Z7Serial_Close(Z7SerialHandle *h);
// Re-opens the programming port's driver for the controller's own protocol;
// a serial block's hold of the port ends.
void Z7Serial_HandBack();
// The standard library's serial blocks, the Modbus client engine's serial
// connections and MBMASTERRTU hold the programming port: from an
// open that took the port until a hand-back (the controller's frame start at
// a read, the silence hand-back), a block's close (unless the link is the
// workbench's), or Z7Serial_Release, the port's protocol is the runtime's,
// so the command driver does not read it. Their reads watch for the frame
// start; a handle whose hold ended is dead (reads and sends do nothing, a
// read makes it -1). After the frame start no open takes the port until
// Z7Serial_Rearm (the link handed to the runtime again, an application start).
void Z7Serial_HoldOpen(Z7SerialHandle *h, const char *settings);
uint32_t Z7Serial_HoldReceive(Z7SerialHandle *h, uint32_t max, uint8_t *buf);
// A holder's read that watches for the frame start only when frame_start is
// set (a read in the middle of a frame delivers its bytes as they are).
uint32_t Z7Serial_HoldRead(Z7SerialHandle *h, uint32_t max, uint8_t *buf, bool frame_start);
// True for a valid handle whose hold (when it is the programming port's) goes on.
bool Z7Serial_HoldAlive(Z7SerialHandle h);
uint32_t Z7Serial_HoldSend(Z7SerialHandle h, uint32_t len, const uint8_t *data);
void Z7Serial_HoldClose(Z7SerialHandle *h);
void Z7Serial_Release();
void Z7Serial_Rearm();
bool Z7Serial_Held();

// ---- communication server ---------------------------------------------------------------------
constexpr uint32_t Z7CS_CHANNELS = 8;
constexpr uint32_t Z7CS_PAYLOAD = 1024;
constexpr uint32_t Z7CS_FRAME = 4 + Z7CS_PAYLOAD + 2;
enum : uint16_t {
    Z7CH_USED = 0x1,
    Z7CH_QUESTION = 0x2,
    Z7CH_PENDING = 0x4,
    Z7CH_CRC = 0x8,
    Z7CH_KNOWN = 0x10,
    Z7CH_PARTIAL = 0x20,
    Z7CH_SOCKET = 0x100,
    Z7CH_SERIAL = 0x200,
    Z7CH_SP5 = 0x400,
};
struct Z7CSChannel {
    uint16_t number, flags, spare, received, expected, to_send, answer_len;
    // A plain socket channel's bytes read past the frame being taken: they
    // follow it in rx (at received) and start the next frame.
    uint16_t ahead;
    std::array<uint8_t, Z7CS_FRAME> rx;
    std::array<uint8_t, Z7CS_FRAME> tx;
    uint32_t silence;
    Z7SocketHandle sock;
    Z7SerialHandle serial;
    uint32_t last_rx_ms;
};
struct Z7CSSettings {
    uint16_t tcp_port, sp5_address;
    const char *serial;  // null: no serial channel
};
struct Z7CSData {
    uint32_t ft_file;  // open file-transfer file (a file handle, 0 none)
    uint32_t ft_crc;
    uint32_t ft_dir;
    uint8_t ft_reg;  // the open file is "z7.reg", written
    uint16_t flags;  // bit 11: discovery tag ",W3"
    uint32_t stamp;  // ms, set by Z7CS_ActivateStamp
    // Called with the channel number of each connection accepted.
    void (*accepted)(Z7CSData *cs, uint32_t channel);
    uint8_t has_stamp;
    std::array<Z7CSChannel, Z7CS_CHANNELS> ch;
    Z7SocketHandle listen, udp;
    bool listen_open;  // a listening socket was asked for
    uint16_t port;
    Z7SP5Ft sp5;  // the SP5 file-transfer slave of channel 1
    uint32_t sp5_requests;
    // The socket channels carry Modbus only (a slave block's own server): a
    // frame start never hands the programming link back.
    bool plain;
};
uint32_t Z7CS_Open(Z7CSData *cs, const Z7CSSettings *settings, uint32_t arg);
void Z7CS_Close(Z7CSData *cs);
void Z7CS_Activate(Z7CSData *cs);
void Z7CS_ActivateStamp(Z7CSData *cs, uint32_t ms);
uint32_t Z7CS_GetQuestion(Z7CSData *cs, uint32_t *channel);
uint8_t *Z7CS_GetVMRequest(Z7CSData *cs, uint32_t channel);
uint8_t *Z7CS_GetRequestFrame(Z7CSData *cs, uint32_t channel);
// Bytes received of the question's frame (0 when the channel holds none).
uint32_t Z7CS_GetRequestLength(Z7CSData *cs, uint32_t channel);
uint8_t *Z7CS_GetVMAnswerBuffer(Z7CSData *cs, uint32_t channel);
uint8_t *Z7CS_GetAnswerFrameBuffer(Z7CSData *cs, uint32_t channel);
void Z7CS_SendRC(Z7CSData *cs, uint32_t channel, uint16_t code);
void Z7CS_SendVMAnswer(Z7CSData *cs, uint32_t channel, uint32_t length);
void Z7CS_SendAnswerFrame(Z7CSData *cs, uint32_t channel, uint32_t length);
void Z7CS_ReleaseQuestion(Z7CSData *cs, uint32_t channel);
// True when no socket, datagram or serial byte waits and no answer or
// question is under way: a poll would do nothing.
bool Z7CS_Quiet(Z7CSData *cs);
void Z7CSSer_Open(Z7CSData *cs, const char *settings);
// Channel 1 as the SP5 file-transfer slave at address (1..32767).
void Z7CSSP5_Open(Z7CSData *cs, uint16_t address, const char *settings);
void Z7CSSock_CloseAllSockets(Z7CSData *cs);
void Z7CSSock_CheckSilentSocketsEx(Z7CSData *cs, uint32_t now, uint32_t timeout);
// The same with the time-out of 10,000 ms; the second forwards to the first.
void Z7CSSock_CheckSilentSockets(Z7CSData *cs, uint32_t now);
void Z7CS_CheckSilentSockets(Z7CSData *cs, uint32_t now);
uint32_t Z7CS_GetNbHostTCP(const Z7CSData *cs);
// The server's task number: always 1.
uint32_t Z7CS_GetTaskNo(const Z7CSData *cs);
// The accept callback Z7CS_Open installs: does nothing.
void Z7CS_DefaultCallback(Z7CSData *cs, uint32_t channel);
// Start information (kinds 5..8) and load information (kinds 2..4), bounded
// by the received frame; 0 when accepted.
struct Z7CSStartInfo {
    uint8_t load_retains, pause;
    char name[256];
};
struct Z7CSLoadInfo {
    uint8_t type;
    uint32_t value;
    char name[256];
    Z7MMPiece piece;
};
uint32_t Z7CS_GetStartInfo(Z7CSData *cs, uint32_t channel, Z7CSStartInfo *info);
uint32_t Z7CS_GetLoadInfo(Z7CSData *cs, uint32_t channel, Z7CSLoadInfo *info);
// CRC-16 of the serial frames (initial 0xFFFF, reflected 0xA001).
uint16_t Z7CS_Crc16(const uint8_t *p, uint32_t n);
// Running CRC-32 of the file transfer (reflected 0xA000A001, no inversion).
uint32_t Z7CS_Crc32(uint32_t crc, const uint8_t *p, uint32_t n);

// ---- event server -----------------------------------------------------------------------------
constexpr uint32_t Z7EVS_CLIENTS = 8;
// An event callback: sees each event (type, sub-code, data, date and time
// stamps) before it is queued. Eight slots on the server (every event) and on
// each client (the events offered to that client); empty slots are null and
// follow the filled ones.
using Z7EvsCallback = void (*)(uint8_t type, uint8_t sub, uint32_t len, const uint8_t *data, uint32_t date,
                               uint32_t time);
constexpr uint32_t Z7EVS_CALLBACKS = 8;
using Z7EvsCallbacks = std::array<Z7EvsCallback, Z7EVS_CALLBACKS>;
struct Z7EvsSettings {
    std::array<uint32_t, 4> capacity, key;
    uint16_t port;
};
struct Z7EvsQueue {
    uint32_t capacity, key;
    uint8_t *buf;
    uint32_t read, used;
    uint16_t flags, lost, lost_sent;
};
struct Z7EvsClient {
    std::array<Z7EvsQueue, 4> q;
    Z7SocketHandle own_listen, sock;
    std::array<uint8_t, 1024> frame;
    uint16_t count, length;
    uint32_t time;
    Z7EvsCallbacks callback;
    uint16_t subs, state;
    uint8_t number;
    uint32_t max_frame;
};
struct Z7EvsData {
    uint32_t client_size;
    uint16_t port, status;
    Z7SocketHandle listen;
    Z7EvsCallbacks callback;
    std::array<Z7EvsClient *, Z7EVS_CLIENTS> client;
};
uint32_t Z7Evs_GetMemorySize(const Z7EvsSettings *s);
uint32_t Z7Evs_Open(void *mem, const Z7EvsSettings *s);
void Z7Evs_Close(void *evs);
uint32_t Z7Evs_Event(void *evs, uint8_t type, uint8_t sub, uint32_t len, const uint8_t *data);
uint32_t Z7Evs_TextEvent(void *evs, uint8_t type, uint8_t sub, const char *text);
void Z7Evs_OnAppChange(void *evs, const char *name);
void Z7Evs_Trace(void *evs, const char *text);
uint32_t Z7Evs_EAOpen(void *evs);
void Z7Evs_FlushEAEvents(void *evs);
uint16_t Z7Evs_GetCnxPrefs(void *evs, uint32_t index);
uint32_t Z7Evs_GetNbClient(void *evs);
uint32_t Z7Evs_HasNewConections(void *evs);
uint32_t Z7Evs_EventTo(void *evs, uint8_t type, uint8_t sub, uint32_t len, const uint8_t *data, uint32_t index,
                       uint32_t *not_sent, uint32_t date, uint32_t time);
// Callback slots of the server and of one client: 0 filled / removed, 1
// when every slot is taken (or cb is null) / cb is in none. A removal moves
// the later slots down by one.
uint32_t Z7Evs_SetCallback(void *evs, Z7EvsCallback cb);
uint32_t Z7Evs_RemoveCallback(void *evs, Z7EvsCallback cb);
uint32_t Z7Evs1_SetCallback(Z7EvsClient *client, Z7EvsCallback cb);
uint32_t Z7Evs1_RemoveCallback(Z7EvsClient *client, Z7EvsCallback cb);
// One event for one client with the given stamps: its callbacks, then the
// queueing (0 queued or not wanted, 1 unknown type or queue full).
uint32_t Z7Evs1_EventDT(Z7EvsClient *client, uint8_t type, uint8_t sub, uint32_t len, const uint8_t *data,
                        uint32_t date, uint32_t time);
// The same stamped with the current local date and time.
uint32_t Z7Evs1_Event(Z7EvsClient *client, uint8_t type, uint8_t sub, uint32_t len, const uint8_t *data);
// The per-client family: a text event (length = text length, at most 255)
// and the application start, stop and change (1, 5/6/7) and trace (8, 1)
// events of one client.
uint32_t Z7Evs1_TextEvent(Z7EvsClient *client, uint8_t type, uint8_t sub, const char *text);
void Z7Evs1_OnAppStart(Z7EvsClient *client, const char *name);
void Z7Evs1_OnAppStop(Z7EvsClient *client, const char *name);
void Z7Evs1_OnAppChange(Z7EvsClient *client, const char *name);
void Z7Evs1_Trace(Z7EvsClient *client, const char *text);
// Bytes of one client record with its four queues behind it.
uint32_t Z7Evs1_GetMemorySize(const Z7EvsSettings *s);
// Clears a client record at rec (Z7Evs1_GetMemorySize bytes): sockets -1,
// the queues empty with their buffers behind the record, state 0.
Z7EvsClient *Z7Evs1_Open(void *rec, const Z7EvsSettings *s);
// One step of a connected client's state machine.
void Z7Evs1_Activate(Z7EvsClient *client, uint32_t now);
// out[i] := 1 when client i + 1 is connected and wants variable-status
// information (subscription bit 6), else 0.
void Z7Evs_GetCnxVsiPrefs(void *evs, uint8_t out[Z7EVS_CLIENTS]);
// Status bit 1: the application disabled its public-variable events.
void Z7Evs_SetEventsDisabled(void *evs, uint32_t disabled);

// ---- published variable change events (database section 32) ----------------------------------
// upper, lower: hysteresis in the variable's type, native order, or null.
uint32_t Z7EA_RegisterChangeEvent(uint32_t db, uint32_t client, uint32_t type, uint32_t index, uint32_t id,
                                  const uint8_t *upper, const uint8_t *lower, uint32_t ct);
uint32_t Z7EA_UnregisterChangeEvent(uint32_t db, uint32_t client, uint32_t type, uint32_t index, uint32_t ct);
uint32_t Z7EA_RegisterStaticEvents(uint32_t code, uint32_t db);
uint32_t Z7EA_UnregisterAllBroadcastEvents(uint32_t db);
void Z7EA_ForceGeneralUpdate(uint32_t db);
uint32_t Z7EA_ManagePrivateEvents(uint32_t db, void *evs);
uint32_t Z7EA_ManageBroadcastEvents(uint32_t db, void *evs);
// Fills the VM's hook table with the runtime services (change subscriptions,
// change notice, clock, event port).
void Z7Svc_InstallVMHooks();
// Fills the standard library's table of file and socket calls.
void Z7Svc_InstallStdHooks();
// Serves the VM request waiting on a channel (request kind 1): the answer, or
// return code 1 when the channel has no request or answer buffer.
void Z7Def_ServeVMRequest(Z7CSData *cs, uint32_t db, uint32_t channel);
// The same with the event port the connect answer names (the host does not use it).
void Z7Def_ServeVMRequestEx(Z7CSData *cs, uint32_t db, uint32_t channel, uint16_t event_port);
// Takes the status words of a synchronisation question (kind 24) waiting on
// a channel: 0 taken, 1 not (no database, another kind, a short frame). The
// host does not call it.
uint32_t Z7Def_ServeSyncRequest(Z7CSData *cs, uint32_t db, uint32_t channel);

// ---- clock and files (platform layer) -----------------------------------------------------------
uint32_t Z7RtClk_GetCurTimeStamp();
uint32_t Z7RtClk_GetCurDateStamp();
void Z7RtClk_GetCurDateTimeStamp(uint32_t local, uint32_t *date, uint32_t *time, uint32_t *flag);
uint32_t Z7RtClk_GetString(uint32_t kind, char *out);
uint32_t Z7File_OpenAppend(const char *path);
bool Z7File_Fseek(uint32_t h, uint32_t origin, int32_t offset);
bool Z7File_Eof(uint32_t h);
bool Z7File_Copy(const char *from, const char *to);
bool Z7File_WriteLine(uint32_t h, const char *text);
uint32_t Z7File_ReadLine(uint32_t h, char *buf, uint32_t size);
// Runtime-relative name of the file transfer to a system path ("" refused).
char *_GetFullPath(const char *name, char *out);
uint32_t Z7FT_OpenWrite(uint32_t value, const char *name, uint8_t *is_reg);
uint32_t Z7FT_OpenRead(const char *name, uint32_t *size);
uint32_t Z7FT_Read(uint32_t h, uint32_t count, uint8_t *buf);
uint32_t Z7FT_Write(uint32_t h, uint32_t len, const uint8_t *data);
void Z7FT_Close(uint32_t h, uint8_t is_reg);
uint32_t Z7FT_Delete(const char *name);
// Directory listing: none on this controller (open answers 0, an entry 0).
uint32_t Z7FT_OpenDir(const char *name);
uint32_t Z7FT_GetDirEntry(uint32_t dir, char *name);
void Z7FT_CloseDir(uint32_t dir);
uint32_t Z7DDK_GetPrivateProfileString(const char *section, const char *key, const char *def, char *out, uint32_t size,
                                       const char *file);
uint32_t Z7DDK_StringToMac(const char *text, uint8_t mac[6]);
void Z7DDK_MacToString(const uint8_t mac[6], char *out);

// ---- host hooks ---------------------------------------------------------------------------------
uint16_t Z7EVSPORT();
void Z7_SignalRegChange();
// Monotonic millisecond clock of the runtime (a wrapping u32) and the
// controller's 100 us time base; tests aim them at their own clocks.
extern uint32_t (*Z7Host_Ms)();
extern uint32_t (*Z7Host_Frt)();
uint32_t _GetTickCount();
// Wall clock of the runtime's date and time stamps; tests aim it at their own.
extern void (*Z7Host_Clock)(timeval *tv);
// Runtime log (nothing in this controller opens it). Options: bit 0 the file
// "z7.log" of the runtime folder, bit 1 the system log, bit 9 trace and
// warning lines, bit 10 error lines. A line is "date time,ms : [KIND] text",
// at most 80 characters; 16 lines wait at most, a further one is dropped.
void Z7LOG_Open(uint32_t options);
// kind 3 trace, 2 warning, 1 error
void _Z7LOG_Log(uint32_t kind, const char *text);
void Z7LOG_Trace(const char *text);
void Z7LOG_Warn(const char *text);
void Z7LOG_Err(const char *text);
// Stops the writer (the waiting lines are still written), closes the file.
void Z7LOG_Close();
// The writer thread: writes the waiting lines every Z7LOG_PeriodMs (500;
// tests lengthen it to queue lines without a write in between).
void *Z7LOG_Thread(void *);
extern uint32_t Z7LOG_PeriodMs;

// ---- runtime services called by the VM (through z7_services, iec/vm/z7parts.h) -------------------------------------------------------------------------
void Z7Evs_OnAppStart(void *evs, const char *arg);
void Z7Evs_OnAppStop(void *evs, const char *arg);
void Z7Evs_Activate(void *evs, uint32_t now_ms);
uint32_t Z7EA_Open(uint32_t db, void *evs);
void Z7EA_Close(uint32_t db, void *evs);
uint32_t Z7EA_ManageChangeEvents(uint32_t db, void *evs);

uint32_t Z7MB_GetMemorySizing(uint32_t code);
uint32_t Z7MB_Build(uint32_t config, uint32_t area, uint32_t size);
uint32_t Z7MB_Link(uint32_t db);
uint32_t Z7VM_OpenModbus(uint32_t db);
void Z7VM_CloseModbus(uint32_t db);
void Z7VM_ActivateModbus(uint32_t db);
void Z7VM_ExchangeModbusData(uint32_t db);

uint16_t Z7EAX_GetNbCnx(uint32_t code);
uint16_t Z7EAX_GetNbVar(uint32_t code);
uint32_t Z7EAX_Build(uint32_t code, uint32_t db);
uint32_t Z7EAX_Link(uint32_t db);
uint32_t Z7VM_OpenExtData(uint32_t db);
void Z7VM_CloseExtData(uint32_t db);
void Z7VM_UpdateExtData(uint32_t db);
// Remote bindings by database: hot-start check and build (1 when the image
// does not fit), open, close, one step of every connection (now = ms of the day).
uint32_t Z7EAX_CanBuildHOT(uint32_t code, uint32_t db);
uint32_t Z7EAX_BuildHOT(uint32_t code, uint32_t db);
uint32_t Z7EAX_Open(uint32_t db);
void Z7EAX_Close(uint32_t db);
void Z7EAX_Activate(uint32_t db, uint32_t now);

// Sizes sections 36 to 38 in the descriptor table; 0.
uint32_t Z7VMCan_GetDBSize(uint32_t code, uint8_t *table);
uint32_t Z7VMCan_Build(uint32_t code, uint32_t db);
void Z7VMCan_Exchange(uint32_t db);
void Z7VMCan_Close(uint32_t db);

uint32_t Z7VMAsi_GetSizing(uint32_t code);
uint32_t Z7VMAsi_Open(uint32_t config, uint32_t area, uint32_t db);
void Z7VMAsi_Exchange(uint32_t db);
void Z7VMAsi_Close(uint32_t db);

uint32_t Z7DDKC_GetSize(uint32_t code);
uint32_t Z7DDKC_Build(uint32_t code, uint32_t db);
void Z7DDKC_Exchange(uint32_t db);
void Z7DDKC_Close(uint32_t db);

// ---- runtime platform layer (iec/services) ------------------------------------------------
uint32_t Z7Ios_GetMemorySizing(uint32_t iodef);
uint32_t Z7Ios_Open(uint32_t iodef, uint32_t area, uint32_t size);
uint32_t Z7Ios_Exchange(uint32_t db);
// 0: the (absent) host I/O system does not stand in the way of a hot restart.
uint32_t Z7Ios_CanHotRestart(uint32_t iodef);
// The hot restart and the close clear the module pointers; HotRestart answers 0.
uint32_t Z7Ios_HotRestart(uint32_t iodef);
void Z7Ios_Close();
extern void *pCounter;
extern void *pS7;
// Runtime trace: formats at most 512 bytes and prints the line on standard
// output (Z7EVSTRACE_Line: the line already formatted).
void Z7EVSTRACE(const char *format, ...) __attribute__((format(printf, 1, 2)));
void Z7EVSTRACE_Line(const char *text);
// Aims the VM's z7_services at the services above (start-up).
void Z7Svc_Install();
// Files: a handle is a slot number (0 = none). Paths are system paths,
// resolved under the root. true: done.
uint32_t Z7File_Open(const char *path, bool write);
void Z7File_Close(uint32_t handle);
bool Z7File_Read(uint32_t handle, void *buffer, uint32_t size);
bool Z7File_Write(uint32_t handle, const void *buffer, uint32_t size);
bool Z7File_Fflush(uint32_t handle);
bool Z7File_Delete(const char *path);
bool Z7File_Rename(const char *from, const char *to);
bool Z7File_Exist(const char *path);
uint32_t Z7File_GetSize(const char *path);
// As the two above, a folder being no file (false, 0).
bool Z7File_IsFile(const char *path);
uint32_t Z7File_GetFileSize(const char *path);
