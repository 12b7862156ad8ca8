// In-program FTP server on TCP port 21 with the NetX-style interface: up to
// ten clients per interface, two configured accounts, active and passive
// data connections. Stepped once per main-loop pass; never blocks.
#pragma once

#include <array>
#include <cstdint>

#include "media/filex.h"
#include "net/nx.h"

constexpr uint32_t NX_FTP_SERVER_ID = 0x46545200;
constexpr uint32_t NX_FTP_MAX_CLIENTS = 10;
constexpr uint32_t NX_FTP_SERVER_PORT = 21;
constexpr uint32_t NX_FTP_PASSIVE_BASE = 30000;
constexpr uint32_t NX_FTP_IDLE_BUDGET = 240;  // seconds
constexpr uint32_t NX_FTP_TIMER_MS = 60000;
constexpr uint32_t NX_FTP_PARK_MS = 6000;  // a parked command or passive listener waits at most this
constexpr uint32_t NX_FTP_INVALID_LOGIN = 208;
// Control bytes kept between steps: one command is answered a step, the rest
// waits. A line longer than NX_FTP_LINE_MAX without its line feed is taken
// cut there; the room holds such a line and one more receive.
constexpr uint32_t NX_FTP_LINE_MAX = 512;
constexpr uint32_t NX_FTP_COMMAND_ROOM = 2048;

// Events (bits of the server's flags).
enum : uint32_t {
    FTP_EV_CONNECT = 1,
    FTP_EV_DATA_DISCONNECT = 2,
    FTP_EV_COMMAND = 4,
    FTP_EV_DATA = 8,
    FTP_EV_TIMEOUT = 16,
    FTP_EV_CONTROL_DISCONNECT = 32
};
// Command codes of the parser.
enum : uint32_t {
    FTP_NOOP = 0,
    FTP_USER,
    FTP_PASS,
    FTP_QUIT,
    FTP_RETR,
    FTP_STOR,
    FTP_RNFR,
    FTP_RNTO,
    FTP_DELE,
    FTP_RMD,
    FTP_MKD,
    FTP_NLST,
    FTP_PORT,
    FTP_CWD,
    FTP_PWD,
    FTP_TYPE,
    FTP_LIST,
    FTP_CDUP,
    FTP_INVALID,
    FTP_FEAT = 23,
    FTP_SIZE = 24,
    FTP_PASV = 25,
    FTP_APPE = 26
};
// Deferred commands.
// 23: an active RETR whose data connection is still being made (its 125
// waits until the connection stands, a refused one is answered 550).
enum : uint32_t { FTP_PENDING_STOR = 20, FTP_PENDING_NLST = 21, FTP_PENDING_LIST = 22, FTP_PENDING_RETR = 23 };

struct NX_FTP_CLIENT_REQUEST {
    uint32_t data_port;
    uint32_t transfer_state;  // 0 idle, 1 sending, 2 receiving, 3 sending a listing
    uint32_t logged_in;
    uint8_t rights;        // 1 read only
    uint8_t type;          // 'A' or 'I'
    uint32_t idle_budget;  // seconds
    uint32_t byte_count;
    uint32_t passive;
    char user[41];
    char password[41];
    NX_PACKET *rename_source;
    FxFile file;
    FxLocalPath local_path;
    FxLocalPath list_path;  // the folder a pending NLST names
    uint32_t list_named;    // the pending NLST named a folder
    NX_TCP_SOCKET control;
    NX_TCP_SOCKET data;
    uint32_t passive_port;
    uint32_t start_size;    // size of the file before an APPE
    uint32_t pasv_since;    // ms tick of PASV while its data connection is awaited, 0 none
    uint32_t append;        // the transfer in hand is an APPE
    uint32_t write_failed;  // a write of the upload in hand failed
    FxUpload upload;        // where the upload in hand goes until it is whole
    uint32_t last_command;  // ms tick of its acceptance or its last whole command
    uint32_t commanded;     // a whole command came since the acceptance
    uint32_t command_len;   // control bytes received and not yet answered
    // A listing goes out across passes, as much as the data connection
    // takes: its own directory walk, whether it is LIST's, and the line of
    // the walk's current entry not sent yet.
    FxMedia list_media;
    uint32_t list_full;
    uint32_t list_line_len;
    char list_line[FX_NAME_MAX + 64];
    std::array<uint8_t, NX_FTP_COMMAND_ROOM> command;
};

struct NX_FTP_SERVER;
using NxFtpLogin = uint32_t (*)(NX_FTP_SERVER *server, uint32_t address, uint32_t port, const char *name,
                                const char *password, uint8_t *rights);
using NxFtpLogout = uint32_t (*)(NX_FTP_SERVER *server, uint32_t address, uint32_t port, const char *name,
                                 const char *password, uint8_t *info);

struct NX_FTP_SERVER {
    uint32_t nx_ftp_server_id;
    const char *nx_ftp_server_name;
    NX_IP *nx_ftp_server_ip_ptr;
    NX_PACKET_POOL *nx_ftp_server_packet_pool_ptr;
    FxMedia *nx_ftp_server_media_ptr;
    uint32_t nx_ftp_server_connection_requests;
    uint32_t nx_ftp_server_disconnection_requests;
    uint32_t nx_ftp_server_login_errors;
    uint32_t nx_ftp_server_authentication_errors;
    uint32_t nx_ftp_server_total_bytes_sent;
    uint32_t nx_ftp_server_total_bytes_received;
    uint32_t nx_ftp_server_unknown_commands;
    uint32_t nx_ftp_server_allocation_errors;
    uint32_t nx_ftp_server_relisten_errors;
    uint32_t nx_ftp_server_idle_timeouts;
    std::array<NX_FTP_CLIENT_REQUEST, NX_FTP_MAX_CLIENTS> nx_ftp_server_client_list;
    uint32_t nx_ftp_server_events;  // the flags group
    uint32_t nx_ftp_server_timer;   // ms tick of the last timer expiry; 0 not active
    uint32_t nx_ftp_server_thread;  // kept for the interface
    NxFtpLogin nx_ftp_login;
    NxFtpLogout nx_ftp_logout;
};

// One deferred command per interface number.
struct NxFtpExtended {
    uint32_t pending;  // 0, FTP_PENDING_STOR, _NLST, _LIST or _RETR
    uint32_t index;    // connection
    uint32_t mode;     // 0: a whole directory is listed
    NX_PACKET *packet;
    char name[FX_NAME_MAX];  // entry name of the directory walk (any length the media gives)
    uint32_t start;          // ms tick the command was parked
};

extern std::array<NX_FTP_SERVER, 2> FtpServer;
extern std::array<NX_IP *, 2> FtpIpPtr;
extern NX_PACKET_POOL *FtpPacketPoolPtr;
extern std::array<NxFtpExtended, 8> nx_ftp_extended_struct;
extern uint32_t ftp_events;
extern FxMedia FtpMedia;  // the card as the FTP clients walk it
extern const char *const FtpMonths[12];

uint32_t Ftp_Init(NX_IP *ip, NX_PACKET_POOL *pool);
void Ftp_Scan(uint32_t iface);
uint32_t Ftp_ConnCnt(uint32_t iface);
// When the in-program server has work next (ms, now given): every pass while
// it is on, else PASS_IDLE_MS ahead.
uint32_t Ftp_Due(uint32_t iface, uint32_t now);
uint32_t FtpServerLogin(NX_FTP_SERVER *server, uint32_t address, uint32_t port, const char *name, const char *password,
                        uint8_t *rights);
uint32_t FtpServerLogout(NX_FTP_SERVER *server, uint32_t address, uint32_t port, const char *name, const char *password,
                         uint8_t *info);

uint32_t _nxe_ftp_server_create(NX_FTP_SERVER *server, const char *name, NX_IP *ip, FxMedia *media, void *stack,
                                uint32_t stack_size, NX_PACKET_POOL *pool, NxFtpLogin login, NxFtpLogout logout);
uint32_t _nx_ftp_server_create(NX_FTP_SERVER *server, const char *name, NX_IP *ip, FxMedia *media, void *stack,
                               uint32_t stack_size, NX_PACKET_POOL *pool, NxFtpLogin login, NxFtpLogout logout);
uint32_t _nxe_ftp_server_start(NX_FTP_SERVER *server);
uint32_t _nx_ftp_server_start(NX_FTP_SERVER *server);
uint32_t _nxe_ftp_server_stop(NX_FTP_SERVER *server);
uint32_t _nx_ftp_server_stop(NX_FTP_SERVER *server);
uint32_t _nxe_ftp_server_delete(NX_FTP_SERVER *server);
uint32_t _nx_ftp_server_delete(NX_FTP_SERVER *server);
void _nx_ftp_server_thread_entry(NX_FTP_SERVER *server);
// Command code of a command line; data and length move past the word.
uint32_t _nx_ftp_server_parse_command(NX_PACKET *packet);
void _nx_ftp_server_response(NX_TCP_SOCKET *socket, NX_PACKET *packet, const char *code, const char *message);
void _nx_ftp_server_directory_response(NX_TCP_SOCKET *socket, NX_PACKET *packet, const char *code, const char *message,
                                       const char *path);
// One command packet of client index (taken by the step from its control
// socket; the packet is released).
void FtpServerCommand(NX_FTP_SERVER *server, uint32_t index, NX_PACKET *packet);
// Length of the first command in len buffered control bytes: through its line
// feed, or NX_FTP_LINE_MAX for a longer line without one; 0 while the first
// command is not whole.
uint32_t FtpCommandLength(const uint8_t *data, uint32_t len);
// Control bytes of client index as they arrive (kept with the client); answers
// the first whole command among them, if any (a step answers one). False when
// none was whole; true also when one waits for room to send its answer.
bool FtpServerInput(NX_FTP_SERVER *server, uint32_t index, const uint8_t *data, uint32_t len);
// PORT argument: 1 with address and port (host order) when well formed.
uint32_t FtpParsePort(const char *arg, uint32_t *address, uint32_t *port);
