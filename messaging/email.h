// SMTP e-mail client: a message's trigger bit sends its text, with live
// register values, to a contact group, over Ethernet (optionally STARTTLS on
// port 587 with AUTH LOGIN). Configured by the e-mail section of the
// messaging block, which follows its SMS section; one polled step per call.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "messaging/sms.h"
#include "net/nx.h"

// Status word bits.
constexpr uint32_t EM_ST_CONFIG = 1u << 0, EM_ST_SERVER = 1u << 1, EM_ST_SOCKET = 1u << 2, EM_ST_CONNECT = 1u << 3,
                   EM_ST_CONN_TO = 1u << 4, EM_ST_PACKET = 1u << 5, EM_ST_SEND = 1u << 6, EM_ST_DNS_SOCK = 1u << 7,
                   EM_ST_DNS_NONE = 1u << 8, EM_ST_DNS_TO = 1u << 9, EM_ST_REPLY_TO = 1u << 10,
                   EM_ST_REPLY_ERR = 1u << 11;
constexpr uint32_t EM_STEP_NO_RCPT = 20;

// Transport flags of the record.
constexpr uint8_t EMF_STARTED = 0x01, EMF_MODEM = 0x02, EMF_ALT = 0x04, EMF_RUN = 0x10;
// Connection states.
constexpr uint8_t EMC_ACTIVE = 1, EMC_CLOSING = 3, EMC_IDLE = 4;
// Send sub-states.
constexpr uint8_t EMS_TRIGGER = 5, EMS_SMTP = 6;

constexpr uint32_t EM_BUF_LIMIT = 1380;
constexpr uint32_t EM_SECTION_MIN = 153;
constexpr uint32_t EM_STATUS_REG = 48;  // section offset of the status register's bit address

// SMTP states (EmailRec::smtp). The status word's step field (bits 12..19)
// shows a state as its number less kSmtpStart.
enum : uint8_t {
    kSmtpStart = 7,          // server and port from the settings
    kSmtpDnsSend = 8,        // the server name's query out
    kSmtpDnsWait = 9,        // its answer
    kSmtpConnect = 10,       // the connection, then the greeting awaited
    kSmtpGreeting = 11,      // connected: TLS set up (port 587) or the greeting awaited
    kSmtpTlsDone = 13,       // the handshake ended
    kSmtpTlsHandshake = 15,  // the TLS handshake
    kSmtpEhlo = 16,          // EHLO
    kSmtpAuth = 17,          // AUTH LOGIN
    kSmtpUser = 18,          // the user name
    kSmtpPassword = 19,      // the password
    kSmtpMailFrom = 20,      // MAIL FROM
    kSmtpRcptTo = 21,        // RCPT TO, one per recipient
    kSmtpData = 22,          // DATA
    kSmtpMessage = 23,       // head and body
    kSmtpAttach = 24,        // attachments
    kSmtpEndData = 25,       // the end of the data
    kSmtpQuit = 26,          // QUIT
    kSmtpAwaitReply = 27,    // the reply of the last command
    kSmtpClose = 28,         // the connection closed
    kSmtpClosed = 29,        // done
    kSmtpStartTls = 30,      // STARTTLS
};
constexpr uint32_t EmSmtpStep(uint8_t state) { return uint32_t(state) - kSmtpStart; }
// Attachment steps (EmailRec::att_sub): each file through the mailbox
// channel of the file service.
enum : uint8_t {
    kAttStart = 0,      // the path of the message; a file opened or a folder listed
    kAttListed = 1,     // the listing's answer: the next file picked
    kAttOpenNext = 2,   // the picked file opened
    kAttOpened = 3,     // the open's answer
    kAttHead = 4,       // the part's head sent
    kAttRead = 5,       // the next piece read
    kAttSend = 6,       // the piece encoded and sent
    kAttClose = 7,      // the file closed
    kAttClosed = 8,     // the close's answer: the next file of a folder
    kAttEnd = 9,        // an error line
    kAttBoundary = 10,  // the closing boundary
};
constexpr uint32_t EM_RX_CAP = 2048;
constexpr uint32_t EM_DATA_CAP = 20 * EM_BUF_LIMIT;  // head and body: at most 10 packets each
constexpr uint32_t EM_TICKS_60S = 600000;
#define EM_BOUNDARY "KtUVoLDO__KV_VoLdOKtU"

struct EmailRec {
    uint8_t flags;       // EMF_*
    uint8_t conn_state;  // EMC_*
    uint8_t smtp;        // SMTP state kSmtp*
    uint8_t sub;         // EMS_*
    uint8_t next;        // state entered after an accepted reply (0: none is accepted)
    uint8_t cmd;         // state that sent the last command
    uint8_t cfg_flags;   // section byte 94
    uint8_t auth;        // section byte 96
    uint8_t valid_rcpt;  // a recipient address was sent
    uint8_t prev_run;
    uint8_t close_step;  // 0 before the disconnect, 1 waiting for the socket to go
    uint8_t dns_open;
    uint8_t tls_up;  // handshake done: every byte goes through TLS
    uint8_t configured;
    uint8_t modem_req;  // the modem was asked for the data connection
    uint32_t sec;       // section offset in the messaging block
    SmsTables t;
    uint32_t nmsgs;
    uint32_t msg;   // message being sent
    uint32_t rcpt;  // next contact to look at
    uint16_t port;
    uint32_t server, dns_server;
    uint32_t reported, status;
    uint32_t status_reg;
    uint16_t last_crc;
    uint32_t last_size;
    uint16_t dns_id;
    uint32_t timer_start, timer_len;
    NX_IP *ip;
    NX_PACKET_POOL *pool;
    NX_TCP_SOCKET sock;
    NX_UDP_SOCKET dns;
    uint8_t att_kind;           // 0 none, 1 a file, 2 every file of a folder, 3 newest, 4 oldest
    uint8_t att_sub;            // attachment step kAtt*
    uint8_t att_drive;          // 0 A:, 1 B:
    uint8_t att_sent;           // files sent of this message
    uint8_t att_open;           // a file's open was posted and no close since
    uint32_t att_index;         // next listing entry (kind 2)
    int16_t att_result;         // 1000 after a failed attachment
    uint32_t att_prefix;        // length of the folder part of the path
    uint32_t att_at, att_wait;  // modem transport: the pause running (start, ticks)
    uint8_t room_wait;          // a send waits for room on the connection (its 60 s running)
    std::array<char, 1644> att_path;
    std::array<char, 520> att_file;
    uint32_t rx_len;
    std::array<char, EM_RX_CAP> rx;
    std::array<char, EM_DATA_CAP> data;
};
extern EmailRec EtnEmailConn;

// Ethernet manager's start: the TCP socket, idle state, libssl; 0 when made.
uint32_t EtnEmailInit(NX_IP *ip, NX_PACKET_POOL *pool);
// 0 from the scan, 1 from the Ethernet manager.
void EtnEmailScan(int caller);
// 1 while the mail connection is established.
uint32_t EtnEmailConnCnt();
// When the Ethernet manager's step of the client has work next (ms, now
// given): every pass while a mail is under way or its status register is
// written, or while a file of an ended mail waits for its close, else
// PASS_IDLE_MS ahead (a mode change steps it first).
uint32_t EtnEmailDue(uint32_t now);
// Restart request: steps the close; true once closed.
bool EtnEmailDiscnt();
// 0 when TLS is loaded (platform/plat_tls.h), -1 otherwise.
int32_t email_openssl_initialize();

// Base64 of n (at most 1380) bytes; with wrap a "\r\n" after every 76
// characters. Answers the output length.
uint32_t EtnEmailBase64Encd(const uint8_t *src, char *dst, uint32_t n, uint32_t wrap);
// Whole replies in buf: the code of the first complete reply (its last line
// "ddd " or "ddd" alone) and the bytes it takes; 0 when none is complete.
uint32_t EtnEmailReply(const char *buf, uint32_t len, uint32_t *used);
// DNS query for name into buf (at least 300 bytes): its length, 0 when the
// name cannot be encoded.
uint32_t EtnEmailDnsBuild(const char *name, uint16_t id, uint8_t *buf);
// The server for the modem's dial: the name in double quotes, or the
// address in dotted decimal; its length.
uint32_t EtnEmailServerText(char *out, uint32_t cap);
// An answer to DNS query id: 1 with the first A record's address, 2 when it
// carries no address, 0 when it is not the answer awaited.
uint32_t EtnEmailDnsAnswer(const uint8_t *buf, uint32_t n, uint16_t id, uint32_t *address);
// Head and body of message EtnEmailConn.msg, data fields filled in and
// dot-stuffed, into EtnEmailConn.data: its length.
uint32_t EtnEmailComposeMessage();
// One step of the attachment sub-machine (state 24): files from the card
// through the mailbox's e-mail channel, base64-encoded parts.
void EtnEmailAttachStep();
// Copies text into out doubling a '.' at the start of every line; the length
// written, or cap + 1 when it does not fit.
uint32_t EtnEmailDotStuff(const char *text, uint32_t len, char *out, uint32_t cap, bool line_start);
// Register text at a bit address: up to a NUL, two blanks or 256 characters.
uint32_t EtnEmailGetRegStr(uint32_t addr, char *out, uint32_t cap);
