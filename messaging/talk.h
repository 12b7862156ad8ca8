// Talk layer: the user program's use of the programming port (port 0) and the
// modem control that runs on it.
#pragma once

#include <array>
#include <cstdint>

struct LadCursor;

// Talk record of the port.
struct TalkRec {
    uintptr_t open_owner;  // identity of the open block holding the port, 0 none
    uint8_t opened;        // the port reached the owner's mode
    uint8_t open_enable;
    uintptr_t close_owner;
    uint8_t close_enable;
    uint32_t send_pos;  // byte address of the next byte (register image for the
    uint32_t recv_pos;  // ladder forms, VM arena for the IEC ones), TALK_NOPOS none
    uint32_t send_end;  // first byte past the buffer of the transfer
    uint32_t recv_end;
    std::array<uint8_t, 3> modem_enable;  // per kind: 0 init string, 1 dial, 2 answer
    uint8_t modem_init;
    std::array<uint8_t, 2> modbus_enable;  // station word zero / non-zero
    uint8_t modbus_started;
    // A constant control operand of the running Modbus block (u16), kept here
    // by value: the program it came from may be replaced under a running
    // exchange (an on-line change).
    std::array<uint8_t, 2> modbus_control;
};
constexpr uint32_t TALK_NOPOS = 0xFFFFFFFFu;
extern TalkRec Talk;
extern uint8_t TalkOverride;
extern uint8_t TalkModemProtect;
extern std::array<uint8_t, 8> temp_open;  // u16 port word, then the 6-byte mode record

// Block operations on records of the IEC blocks (see messaging.h for the
// ladder forms). Each answers the block's done or status value.
// Open: u16 port, then the 6-byte port mode record; the record's address is
// the block's identity.
uint32_t Z7TalkOpen(const uint8_t *rec, uint32_t enable);
uint32_t Z7TalkClose(const uint16_t *port_word, uint32_t enable);
// Send and receive: u16 port, u16 count, the buffer's and the progress word's
// VM arena addresses (32 bits each, high half first).
uint32_t Z7TalkSend(const uint8_t *rec, uint32_t enable);
uint32_t Z7TalkReceive(const uint8_t *rec, uint32_t enable);
// Modem: u16 port, u16 kind, u16 status, u16 option, u16 length (the ring
// count when answering), then the text. The modem steps write the status
// into the record itself, so it must stay in place while the request runs.
uint32_t Z7TalkModem(uint8_t *rec, uint32_t enable);
constexpr uint32_t Z7MODEM_TEXT = 10;  // offset of the text in the modem record
constexpr uint32_t Z7MODEM_TEXTMAX = 50;
uint32_t Z7_TalkModbus(const uint8_t *rec, uint32_t enable);

// ---- modem control of the port ----------------------------------------------------
// Status words of a modem request.
constexpr uint16_t MODEM_BUSY = 65534, MODEM_IDLE = 65535, MODEM_TIMEOUT = 65533;

// One request: what the block asks for.
constexpr uint32_t kModemNoStatus = 0xFFFFFFFFu;  // ModemReq::status: no status register
struct ModemReq {
    uint16_t kind;                     // 0 init string, 1 dial, 2 answer
    uint32_t status = kModemNoStatus;  // word index of the caller's status word (any register word)
    uint8_t *status_at;                // else (when set) the status word itself (u16 LE)
    uint16_t option;                   // bit 0 pulse dialling / UDP socket
    uint16_t length;                   // text length; 1024 or more: the number is in registers
    uint32_t text_ref;                 // bit address of the number when length >= 1024
    std::array<char, 256> text;        // init string (a ladder one up to 255 characters) or number
    uint16_t rings;                    // answer: ring count
};

// Steps of a modem request (ModemRec::step, per request kind).
enum ModemStep : uint8_t {
    kModemIdle = 0,
    kModemStart = 2,       // guard time; GSM manager or option board taken
    kModemEscape = 3,      // "+++" sent, then the init string
    kModemInitAnswer = 4,  // the init string's answer
    kModemCommand = 5,     // the request's AT line out
    kModemAnswer = 6,      // its answer
    kModemFailed = 7,      // ended with a failure status
    kModemOnline = 8,      // done (command) or the call's data phase
};

struct ModemRec {
    std::array<ModemReq, 3> slot;
    uint8_t busy;
    std::array<uint8_t, 3> step;
    uint8_t connected;
    std::array<char, 264> cmd;  // command line just sent ("AT" and the longest init string)
    std::array<char, 96> resp;  // response line being received
    uint8_t resp_idx;
    uint32_t t_start, t_period;
    uint8_t lost_passes;
    uint8_t hangup;  // a hang-up raises the line again at hang_at
    uint32_t hang_at;
    uint8_t socket_asked;  // cellular option: data socket requested
    uint8_t gsm;           // 1: handed to the GSM modem manager, 2: releasing
    uint8_t counted;       // the ended request was counted in the manager's calls
};
extern ModemRec modem;
extern uint32_t modem_idle_start, modem_idle_period;
extern uint8_t GsmModem;  // 1: a verbose GSM modem is on the port

void ModemInit(uint32_t port);
uint32_t ModemStart(uint32_t port, const ModemReq &req);
uint32_t ModemStop(uint32_t port, uint32_t kind);
uint32_t ModemExecute(uint32_t port, uint32_t kind);
uint32_t Z7ModemExecute(uint32_t port, uint32_t kind);
uint32_t GetResult(uint32_t port);
uint32_t ResultToBin(const char *line);
// The caller's status word of a request (0 when it has none) and its update.
uint16_t ModemStatusOf(const ModemReq &r);
void ModemSetStatus(const ModemReq &r, uint16_t v);
// Timer of the modem record: period 0 never expires.
void ModemTalkTimer(uint32_t period);
uint32_t ModemTalkExpired();
uint32_t GPRSIdleTimer(uint32_t period);
// Finishes a hang-up in progress (line raised again after 250 ms); run from
// ModemCycle.
void ModemHangupPoll();
// 1 when slot 1 holds the cellular option board.
uint32_t Modem_CellularOption();
