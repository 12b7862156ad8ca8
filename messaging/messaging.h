// Remote messaging as seen by the executive, the command protocol and the
// other services: the cellular modem supervisor and its data sockets, SMS,
// e-mail, MQTT and the user program's own use of the programming port (the
// Talk blocks).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

struct LadCursor;  // ladder/ladder.h

// Cellular-modem supervisor; last call of every main-loop pass.
void ModemCycle();
// MQTT supervisor, after every main-loop pass.
void mqttStateLoop();
// SMS engine: set up when leaving mode 0, one step per scan.
void SMS_Start();
void SMS_Stop();
void SMS_Scanner();
// E-mail client step: 0 from the scan, 1 from the Ethernet manager.
void EtnEmailScan(int caller);

// ---- cellular data sockets ----------------------------------------------------------
struct SocketInfo {
    uint8_t conn_id;  // socket number + 1 while in use, 0 free
    uint8_t flags;    // SOCKF_*
    uint8_t state;    // SOCK_*; 6 and above: connected
    uint32_t sent, received;
    uint16_t read_idx, handed;
    uint16_t port;
    uint32_t ip;  // first octet in the high byte
    uint16_t host_len;
    std::array<char, 64> host;  // host name to dial, or the peer's address
    std::array<char, 8> peer_port;
    std::array<uint8_t, 1600> data;  // receive area; bytes 100.. the transmit buffer
    uint16_t tx_len, unread;
    const uint8_t *tx_ptr;
};
constexpr uint8_t SOCKF_UDP = 0x01, SOCKF_DIAL = 0x02, SOCKF_KEEP = 0x04, SOCKF_ELISTEN = 0x08, SOCKF_EDIAL = 0x10,
                  SOCKF_ESEND = 0x20, SOCKF_ERECV = 0x40, SOCKF_REFUSED = 0x80;
constexpr unsigned SOCK_COUNT = 6;
constexpr uint16_t SOCK_TXBUF = 100, SOCK_TXMAX = 1500;
extern std::array<SocketInfo, SOCK_COUNT> socket_info_st;
// The sockets' status records for the status readers: per socket 12 bytes
// {connection id, flags, state, 0, u32 sent, u32 received}.
constexpr std::size_t SOCK_ST_SIZE = 12, SOCK_ST_CONN = 0, SOCK_ST_FLAGS = 1, SOCK_ST_STATE = 2, SOCK_ST_PAD = 3,
                      SOCK_ST_SENT = 4, SOCK_ST_RECEIVED = 8;
extern std::array<uint8_t, SOCK_COUNT * SOCK_ST_SIZE> Globalsocket_st;

struct SockConnInfo {
    uint32_t ip;
    uint16_t port;
    uint8_t socket;  // 0..5
    uint8_t flags;   // bit 0 UDP, bit 1 dial out
    std::array<char, 1024> host;
};

uint32_t ModemDataConnRequest(const SockConnInfo &req);
uint32_t ModemDataDisConnRequest(uint32_t socket);
// True when socket (0..5) is connected and the module is attached to serial
// port number `port`.
bool IsModemSocketActive(uint32_t port, uint32_t socket);
// 1 when unread bytes wait (255 once for a drained socket 0), else 0.
uint32_t ModemCheckRecv(uint32_t socket);
// Next unread byte; 0 when none.
uint8_t ModemDataRecv(uint32_t socket);
// Queues bytes (append: copied into the transmit buffer); 0 queued, 1 refused.
uint32_t ModemDataSend(uint32_t socket, const uint8_t *data, uint32_t length, uint32_t append);
uint32_t ModemGetGPSData();

// ---- programming-port arbitration and the Talk blocks -------------------------------
bool Talk_Override(uint32_t port);  // true: the port is claimed
void Talk_Release(uint32_t port);
uint32_t TalkOpened(uint32_t port);
void TalkClosed(uint32_t port);
// First scan of a program run: resets the port's Talk record (the modem of a
// port back in command mode survives a dial or answer request; the override
// claim is kept).
void TalkInit();

// Ladder port blocks: cursor on the first operand and the power in; each
// leaves the cursor behind its operands and answers the power out
// (TalkModem: 255 for an unknown kind, cursor one word back).
uint32_t TalkOpen(LadCursor *pc, uint32_t power);                            // 132
uint32_t IEC_TalkSend(LadCursor *pc, uint32_t power, uint32_t indirect);     // 133, 394 sel 0/1
uint32_t IEC_TalkReceive(LadCursor *pc, uint32_t power, uint32_t indirect);  // 134, 394 sel 2/3
uint32_t TalkClose(LadCursor *pc, uint32_t power);                           // 135
uint32_t TalkModem(LadCursor *pc, uint32_t power);                           // 136
uint32_t TalkModbus(LadCursor *pc, uint32_t power);                          // 137
uint32_t IEC_TalkModbus(LadCursor *pc, uint32_t power);                      // 531

// Serves the talk-override channel of the mailbox area; once per main-loop pass.
void Dpram_Service();
