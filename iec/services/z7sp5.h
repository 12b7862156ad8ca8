// SP5: the runtime's point-to-point protocol for a serial line. Frame layer
// ("SP5", 8-byte header, payload, CRC-16, ']'), data link with addresses,
// sequence numbers, retries and duplicate detection (master and slave),
// transport of messages up to 1024 bytes in segments of 240, and the file
// transfer on top (master and slave). Every layer is polled and never waits.
#pragma once

#include <array>
#include <cstdint>

using Z7SerialHandle = int32_t;

constexpr uint32_t SP5_HEADER = 8;
constexpr uint32_t SP5_PAYLOAD = 1024;
constexpr uint32_t SP5_FRAME = 3 + SP5_HEADER + SP5_PAYLOAD + 3;
constexpr uint32_t SP5_SEGMENT = 240;
constexpr uint32_t SP5_BLOCK = 1000;  // file-transfer block

// ---- frame layer ------------------------------------------------------------------------------
struct Z7SP5Frm {
    Z7SerialHandle serial;
    std::array<uint8_t, SP5_FRAME> rx;  // bytes read and not yet taken
    uint32_t rx_have;
    std::array<uint8_t, SP5_FRAME> tx;  // the frame going out
    uint32_t tx_len, tx_done;
};
uint32_t Z7SP5Frm_Open(Z7SP5Frm *f, const char *settings);
void Z7SP5Frm_Close(Z7SP5Frm *f);
// Frame bytes of header and payload (n = payload length) with CRC and end.
uint32_t Z7SP5Frm_Build(uint8_t *out, const uint8_t *header, const uint8_t *payload);
// Sends header + payload (restart 1 starts a new frame, 0 goes on); 1 when
// the whole frame is out.
uint32_t Z7SP5Frm_Send(Z7SP5Frm *f, const uint8_t *header, const uint8_t *payload, uint32_t restart);
// Reads what waits and looks for a frame: 1 with header (8 bytes), payload
// and the received CRC, 0 when no whole frame is there yet.
uint32_t Z7SP5Frm_Receive(Z7SP5Frm *f, uint8_t *header, uint8_t *payload, uint16_t *crc, uint32_t restart);
// The frame search over bytes already read (also used on a whole buffer):
// 1 with a frame taken from the front of buf (have shrinks), 0 when none.
uint32_t Z7SP5Frm_Find(uint8_t *buf, uint32_t *have, uint8_t *header, uint8_t *payload, uint16_t *crc);
uint32_t Z7SP5Frm_CheckCRC(const uint8_t *header, const uint8_t *payload, uint16_t crc);

// ---- data link ----------------------------------------------------------------------------------
enum : uint8_t { SP5_MASTER = 1, SP5_SLAVE = 2, SP5_BROADCAST = 4 };
struct Z7SP5Dl {
    Z7SP5Frm frm;
    uint8_t role;
    uint16_t address;
    uint32_t requests, answers, crc_errors, duplicates, ignored;
    uint8_t state;  // slave: 1 answer owed; master: 1 sending, 2 waiting for the answer
    uint8_t seq, last_seq;
    uint32_t retries, retry_limit, timeout_ms, sent_ms;
    uint8_t *header;                      // caller's header buffer (8 bytes)
    uint8_t *payload;                     // caller's payload buffer (1024 bytes)
    std::array<uint8_t, SP5_HEADER> req;  // master: the request under way; slave: the owed request
    std::array<uint8_t, SP5_FRAME> last;  // slave: the last answer frame, sent again for a duplicate
    uint32_t last_len;
};
uint32_t Z7SP5Dls_Open(Z7SP5Dl *d, uint8_t role, uint16_t address, const char *settings, uint8_t *header,
                       uint8_t *payload);
// 1 with a new request in header/payload (an answer is now owed).
uint32_t Z7SP5Dls_Listen(Z7SP5Dl *d);
uint32_t Z7SP5Dls_Send(Z7SP5Dl *d, const uint8_t *header, const uint8_t *payload);
void Z7SP5Dls_DontSend(Z7SP5Dl *d);
void Z7SP5Dls_Close(Z7SP5Dl *d);
uint32_t Z7SP5Dlm_Open(Z7SP5Dl *d, uint8_t role, const char *settings, uint32_t timeout_ms, uint32_t retry_limit,
                       uint8_t *header, uint8_t *payload);
// 1 when the request went under way; 0 while another is.
uint32_t Z7SP5Dlm_Send(Z7SP5Dl *d, const uint8_t *header, const uint8_t *payload, uint32_t now_ms);
// 1 when the request ended: failed 0 and the answer in header/payload, or
// failed 1 and a 0 header type after the retries ran out. 0 while waiting.
uint32_t Z7SP5Dlm_GetAnswer(Z7SP5Dl *d, uint32_t now_ms, uint32_t *failed);
void Z7SP5Dlm_AbortRequest(Z7SP5Dl *d);
void Z7SP5Dlm_Close(Z7SP5Dl *d);

// ---- transport ----------------------------------------------------------------------------------
struct Z7SP5Tl {
    Z7SP5Dl dl;
    std::array<uint8_t, SP5_HEADER> hdr;
    std::array<uint8_t, SP5_PAYLOAD> seg;
    std::array<uint8_t, SP5_PAYLOAD> msg;  // message being received
    uint32_t msg_len;
    uint8_t msg_no, next_seg, msg_type;
    std::array<uint8_t, SP5_PAYLOAD + 8> out;  // message being sent (answer or request)
    uint32_t out_len;
    uint8_t out_no;
    uint8_t state;  // master: 1 sending a request segment, 2 fetching answer segments
    uint8_t out_seg;
    uint8_t req_type;  // master: 'S' or 'Q', as the caller chose
};
uint32_t Z7SP5Tls_Open(Z7SP5Tl *t, uint8_t role, uint16_t address, const char *settings);
// A whole message received: its length (copied to out; with out null left in
// t->msg), else 0. A message longer than size is dropped (0, no answer owed).
uint32_t Z7SP5Tls_Listen(Z7SP5Tl *t, uint8_t *out, uint32_t size);
uint32_t Z7SP5Tls_Send(Z7SP5Tl *t, const uint8_t *data, uint32_t len);
void Z7SP5Tls_DontSend(Z7SP5Tl *t);
void Z7SP5Tls_Close(Z7SP5Tl *t);
uint32_t Z7SP5Tlm_Open(Z7SP5Tl *t, const char *settings, uint16_t address, uint32_t timeout_ms, uint32_t retries);
// A request of len bytes (at most 1024) of the caller's type, 'S' or 'Q'; 1 under way.
uint32_t Z7SP5Tlm_Send(Z7SP5Tl *t, const uint8_t *data, uint32_t len, uint32_t now_ms, uint8_t type);
// 1 when the exchange ended: the answer's length in len (0 on failure).
uint32_t Z7SP5Tlm_GetAnswer(Z7SP5Tl *t, uint8_t *out, uint32_t *len, uint32_t now_ms);
void Z7SP5Tlm_AbortRequest(Z7SP5Tl *t);
void Z7SP5Tlm_Close(Z7SP5Tl *t);

// ---- file transfer ----------------------------------------------------------------------------
struct Z7SP5Ft {
    Z7SP5Tl tl;
    std::array<uint8_t, 8> password;
    std::array<char, 256> name;  // file of the transfer under way
    uint8_t up, down;            // slave: an upload or download is open
    std::array<uint8_t, SP5_PAYLOAD + 8> ans;
    // master
    uint8_t job;  // 0 none, 1 receive, 2 send
    uint8_t step;
    std::array<char, 256> local;
    uint32_t remote_size, offset, result, local_size;
};
uint32_t Z7SP5Ftls_Open(Z7SP5Ft *s, uint16_t address, const char *settings);
void Z7SP5Ftls_SetPassword(Z7SP5Ft *s, const char *password);
// A message for the host (not file transfer): its length in out (at most
// size), else 0. File-transfer messages are answered here.
uint32_t Z7SP5Ftls_Listen(Z7SP5Ft *s, uint8_t *out, uint32_t size);
// Sends the host's answer; 1 when under way.
uint32_t Z7SP5Ftls_Send(Z7SP5Ft *s, const uint8_t *data, uint32_t len);
void Z7SP5Ftls_Close(Z7SP5Ft *s);
// Answer of one file-transfer message (starting with "F5"); its length.
uint32_t Z7SP5Ftls_Serve(Z7SP5Ft *s, const uint8_t *m, uint32_t n, uint8_t *answer);
// CRC-32 of the first length bytes of a file (0xFFFFFFFF for none).
uint32_t Z7SP5Ftls_FileCrcUpTo(const char *path, uint32_t length);

uint32_t Z7SP5Ftlm_Open(Z7SP5Ft *m, const char *settings, uint16_t address, uint32_t timeout_ms, uint32_t retries);
// Starts fetching remote into local (1) or sending local to remote (1); 0
// refused (busy, names over 255 characters, password of 9 or more, no local
// file to send).
uint32_t Z7SP5Ftlm_RcvFile(Z7SP5Ft *m, const char *local, const char *remote, const char *password, uint32_t now_ms);
uint32_t Z7SP5Ftlm_SendFile(Z7SP5Ft *m, const char *local, const char *remote, const char *password, uint32_t now_ms);
// Sends one message of the file-transfer protocol over the master's link as a
// request ('S'), the counterpart of Z7SP5Ftls_Send: 1 under way, 0 refused
// (an exchange still under way, more than 1024 bytes, the link not open).
// The transfers send each of their requests through it; the answer comes
// back through the link (Z7SP5Tlm_GetAnswer on m->tl) for a message sent
// outside a transfer.
uint32_t Z7SP5Ftlm_Send(Z7SP5Ft *m, const uint8_t *data, uint32_t len, uint32_t now_ms);
// Carries the transfer on: 1 when it ended (status 0 done, else the error
// code of the slave or 0xFF for a link failure), 0 while under way.
uint32_t Z7SP5Ftlm_GetAnswer(Z7SP5Ft *m, uint32_t now_ms, uint32_t *status);
void Z7SP5Ftlm_AbortRequest(Z7SP5Ft *m);
void Z7SP5Ftlm_Close(Z7SP5Ft *m);
