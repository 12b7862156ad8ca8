// AT command script engine of the cellular module, the modem manager's shared
// record and the SMS transport, as the messaging modules share them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "core/image/plcreg.h"
#include "messaging/messaging.h"

// Serial driver records: the programming port, the built-in module's line.
constexpr uint32_t MSG_PROG_PORT = 0, MSG_CELL_PORT = 2;

// ---- script tables -----------------------------------------------------------------
constexpr uint8_t AT_PSEUDO = 0, AT_END = 255;
struct at_cmd_st {
    uint8_t cmd_len;  // AT_PSEUDO, AT_END or the command length
    const char *cmd;
    uint8_t exp_len;
    const char *exp;
    uint32_t timeout;  // 100 us ticks, 0 none
    uint16_t flags;    // AT_F_*; bits 5..12 error class
    uint16_t sep;      // separator of '#' captures
    uint16_t term;     // terminator sent after the piece; C captures: maximum
    uint16_t item;     // configuration string 1..8, 0 none
    int16_t next;      // relative step
    uint32_t wait;     // pause after the step (initialisation script)
};
constexpr uint16_t AT_F_PARSE = 0x01, AT_F_RETURN = 0x02, AT_F_LAST = 0x10;
constexpr unsigned AT_CMD_COUNT = 119, AT_CMD_EXT_COUNT = 20;
extern const std::array<at_cmd_st, AT_CMD_COUNT> at_cmd;
extern const std::array<at_cmd_st, AT_CMD_EXT_COUNT> at_cmd_ext;

// Script states (first entry of the running script).
constexpr uint32_t AT_ST_INIT = 0, AT_ST_SMS_EXT = 12, AT_ST_LIST_EXT = 15, AT_ST_DELETE_EXT = 17, AT_ST_SMS = 34,
                   AT_ST_LIST = 37, AT_ST_DELETE = 39, AT_ST_ACTIVATE = 42, AT_ST_LISTEN = 66, AT_ST_DIAL = 74,
                   AT_ST_UNSOL = 84, AT_ST_RECV = 88, AT_ST_ACCEPT = 93, AT_ST_SS = 96, AT_ST_SEND = 98,
                   AT_ST_CLOSE = 102, AT_ST_CSQ = 104, AT_ST_MONI = 106, AT_ST_IDENT = 108, AT_ST_CALLER = 118,
                   AT_ST_READY = 122;
// Entries of the scripts from their first entry; "AT+CSCA=" and the centre
// number follow each other in the initialisation script.
constexpr uint32_t AT_N_INIT = 34, AT_N_INIT_EXT = 12, AT_N_STATUS = 2, AT_N_IDENT = 10, AT_N_ACTIVATE = 24,
                   AT_N_SS = 2;
constexpr uint32_t AT_IX_CSCA = 30, AT_N_CSCA = 2;
// Configuration strings (ConfigDataInStr[item - 1]).
constexpr unsigned AT_ITEM_PIN = 1, AT_ITEM_PUK = 2, AT_ITEM_SMS_CENTRE = 3, AT_ITEM_OPERATOR = 4, AT_ITEM_APN = 5,
                   AT_ITEM_PDP = 6, AT_ITEM_USER = 7, AT_ITEM_PASSWORD = 8;
// Answer buffers: the engine's own (status and SMS scripts) and at_resp
// (initialisation, SIM and one-time scripts); each holds one byte more for
// the terminating NUL.
constexpr uint16_t AT_ANSWER_SIZE = 1024, AT_RESP_SIZE = 1600;
// The engine's clock: 100 us ticks of FPGA_GetFrt; the cyclic status every
// 10 ticks of 1 s.
constexpr uint32_t AT_TICK_1S = 10000, AT_CYCLIC_TICKS = 10;

// Handler phases and results.
constexpr uint32_t AT_PH_SEND = 0, AT_PH_WAIT = 1, AT_PH_PARSE = 2, AT_PH_DONE = 3;
constexpr uint32_t AT_R_NONE = 0, AT_R_OK = 1, AT_R_ERR = 2, AT_R_TIMEOUT = 5, AT_R_PROMPT = 6, AT_R_FOUND = 9;

// A capture slot: storage for S/C captures and send data, or a pointer into
// the answer (P captures and send data held elsewhere).
struct AtSlot {
    uint16_t len;
    char *text;
    uint16_t cap;
    const uint8_t *ptr;
};

// Configuration string {length, text}.
struct AtConfigStr {
    uint16_t len;
    std::array<char, 1024> text;
};
extern std::array<AtConfigStr, 8> ConfigDataInStr;

struct AtStatus {
    uint32_t state;
    uint32_t phase;
    uint32_t result;
    uint16_t buf_size, count;
    uint8_t *buf;
    std::array<uint8_t, AT_ANSWER_SIZE + 1> answer;  // status and SMS scripts
    const uint8_t *parse;                            // parse text and its length
    uint32_t parse_len;
    const at_cmd_st *table;  // table of the running script
    uint32_t pos;            // current entry
    uint32_t end;            // first entry after the script
    uint32_t sent_at, timeout;
    uint32_t tick_at;
    uint32_t done_at, done_wait;  // pause of the initialisation script
    uint16_t resets, inits, activations, lists;
    uint8_t prompt;  // AT_PR_*
    uint8_t socket;  // current socket, AT_SOCKET_NONE none
    uint8_t errcnt;
    uint8_t model;
    uint8_t loaded;  // a script is loaded
    uint8_t ticks;
    uint8_t port;
    uint8_t events;  // AT_EV_*
    uint8_t status;  // AT_STS_*
    uint8_t errors;  // AT_ERR_*: bit 0 time-out, 1..7 classes
    uint8_t signal;  // AT_SIGNAL_MIN..AT_SIGNAL_MAX valid, AT_SIGNAL_UNKNOWN
    uint32_t local_ip;
    uint32_t sent, received;
    std::array<char, 17> imei;
    std::array<char, 21> number;
    std::array<char, 17> oper;
    std::array<char, 17> version;
    std::array<char, 17> model_text;
    uint8_t access_tech;
    uint8_t rstate;     // recogniser state
    uint16_t raw_left;  // bytes of announced socket data still to come (not recognised)
    uint8_t text_line;  // a listed message's text line is being read (not recognised)
    uint32_t last_result;
    std::array<char, 17> ip_text;
    std::array<char, 24> netcode;
    std::array<char, 64> scratch;  // bare '#' captures
    uint8_t skip_ok;               // an answer counted as no error (empty list)
    uint8_t stepped;               // the last AT_Step completed a step
};
// Event flags: a socket event is pending (poll the sockets), the cyclic
// status is due, the signal was good at the last tick, the identity was read.
constexpr uint8_t AT_EV_SOCKET = 0x01, AT_EV_CYCLIC = 0x02, AT_EV_SIGNAL = 0x04, AT_EV_IDENT = 0x08;
// Status flags: initialised, data context active, operator not found, reset
// done and not yet initialised again.
constexpr uint8_t AT_STS_INIT = 0x01, AT_STS_CONTEXT = 0x02, AT_STS_NO_OPERATOR = 0x08, AT_STS_RESET = 0x10;
// Error flags: the time-out and the bits of the error classes 2, 3, 4, 6,
// 7 and 8 (SIM, operator selection, SMS send, SMS delete, class 7, context
// activation). A time-out, SIM or operator error fails the initialisation.
constexpr uint8_t AT_ERR_TIMEOUT = 0x01, AT_ERR_SIM = 0x02, AT_ERR_OPERATOR = 0x04, AT_ERR_SMS_SEND = 0x10,
                  AT_ERR_SMS_DELETE = 0x20, AT_ERR_CLASS7 = 0x40, AT_ERR_ACTIVATION = 0x80;
constexpr uint8_t AT_ERR_INIT = AT_ERR_TIMEOUT | AT_ERR_SIM | AT_ERR_OPERATOR;
// Prompt and carrier flags.
constexpr uint8_t AT_PR_SEEN = 0x01, AT_PR_WAITING = 0x02, AT_PR_NO_CARRIER = 0x04;
// Signal level.
constexpr uint8_t AT_SIGNAL_MIN = 1, AT_SIGNAL_MAX = 98, AT_SIGNAL_UNKNOWN = 99;
inline bool AT_SignalValid(uint8_t level) { return level >= AT_SIGNAL_MIN && level <= AT_SIGNAL_MAX; }
constexpr uint8_t AT_SOCKET_NONE = 0xFF;

extern AtStatus at_status;
extern std::array<AtSlot, 6> at_stack_data;
extern std::array<uint8_t, AT_RESP_SIZE + 1> at_resp;  // initialisation, SIM and one-time scripts
extern const std::array<int8_t, 32> sigst;
extern uint8_t TelitPowerON, ExternalModem;
extern uint8_t SigStCSQ;
extern uint8_t ATPort;
extern std::array<uint8_t, 6> ComportCfg;

uint8_t AT_Cmd_Handler(const at_cmd_st *entry);
uint32_t AT_ReadResponse(uint8_t *buf, uint32_t size);
void Send_AT_Command(uint32_t len, const uint8_t *bytes);
uint32_t ModemTimer(uint32_t *stamp, uint32_t ticks);
void ModemReset();
uint32_t CheckInit();
uint32_t CheckSigSt();
// Loads a script: table, first entry, entry count, answer buffer.
void AT_Load(const at_cmd_st *table, uint32_t first, uint32_t count, uint8_t *buf, uint16_t size);
// Steps the loaded script once: 0 running, 1 complete.
uint32_t AT_Step();
// Engine back to ready (or initialising when not initialised).
void AT_Idle();
void DataContextActivation();
// Walks the "#SS:" lines of a socket-status answer (longer than 55
// characters) and applies each to its socket.
void AT_ApplySocketStatus(const char *text, uint32_t len);
void ModemCyclicStatus();
void ModemOnetimeStatus();
// Text of a configuration string; empty is length 0.
void AT_SetConfig(unsigned item, const char *text, uint32_t len);

// ---- sockets (gsmsock.cpp) -----------------------------------------------------------
void DataConnectionLoop(uint32_t n);
// Applies one "#SS:" line's module state to the socket with that id.
void Sock_ApplyStatus(uint32_t id, uint32_t mstate, const char *line, uint32_t len);
extern uint32_t sock_last_dial;

// ---- modem manager record (gsmmgr.cpp) ----------------------------------------------
// The flag bytes GsmInfo::b, by index:
//   0 call: 0x01 modem configured, 0x02 circuit (dial-up) call, 0x04 no wait
//     for an IP address, 0x08 initialised once, 0x10 a start ended (cleared
//     when the line is seen down), 0x20 connected, 0x40 IP call out, 0x80 IP
//     call in (listen);
//   1 configuration: 0x01 parameters read, 0x02 keep a data call through
//     hand-overs, 0x04 external Telit module, 0x08 hold through hand-overs,
//     0x10 power-up wait done, 0x20 operator refused, 0x40 operator list
//     asked, 0x80 manual operator;
//   2 unused; 3 initialisation state (GsmState);
//   4 low nibble the serial port, high nibble marked by the SMS engine;
//   5 run: 0x01 left in command mode (escape pending), 0x04 cleared with a
//     new configuration, 0x10 hold running, 0x20 reset the modem at the next
//     start, 0x40 modem with a hardware reset.
enum : uint8_t { kGsmCall = 0, kGsmConfig = 1, kGsmState = 3, kGsmPort = 4, kGsmRun = 5 };
constexpr uint8_t kGsmCallConfigured = 0x01, kGsmCallDialUp = 0x02, kGsmCallNoIpWait = 0x04, kGsmCallInitDone = 0x08,
                  kGsmCallStarted = 0x10, kGsmCallConnected = 0x20, kGsmCallIpOut = 0x40, kGsmCallIpIn = 0x80;
constexpr uint8_t kGsmCfgRead = 0x01, kGsmCfgKeepCall = 0x02, kGsmCfgTelit = 0x04, kGsmCfgHoldOver = 0x08,
                  kGsmCfgPowerWaited = 0x10, kGsmCfgOperatorFailed = 0x20, kGsmCfgOperatorList = 0x40,
                  kGsmCfgManualOperator = 0x80;
constexpr uint8_t kGsmPortMask = 0x0F, kGsmPortSmsMark = 0xF0;
constexpr uint8_t kGsmRunEscaped = 0x01, kGsmRunCfgStale = 0x04, kGsmRunHolding = 0x10, kGsmRunReset = 0x20,
                  kGsmRunHwReset = 0x40;

// %SR163 (register word 290), the modem hand-over word the user program
// sets: 11 and 13 keep the programming port away from the command protocol
// while the built-in module runs; 7, 11 and 13 keep the modem's owner over a
// new configuration; 13 also marks an e-mail close in GsmInfo::mail_close.
constexpr uint32_t W_MODEM_CTL = SR_WORD(163);
constexpr uint16_t kModemCtlKeepOwner = 7, kModemCtlHoldPort = 11, kModemCtlHoldPortMail = 13;

// States of the initialisation machine (flag byte 3); the numbers are kept
// as the modem record shows them. Command states send one AT line and wait
// in kGsmAwaitAnswer for its answer, then go on at GsmInfo::follow.
enum GsmState : uint8_t {
    kGsmPowerUp = 0,         // line down, wait, escape or reset the modem
    kGsmSetRate = 1,         // AT+IPR
    kGsmSetEcho = 2,         // ATE0...
    kGsmSetFunction = 3,     // AT+CFUN
    kGsmAskModel = 4,        // AT+GMM
    kGsmSetClass = 5,        // AT+FCLASS
    kGsmRegOff = 6,          // AT$AREG=0
    kGsmListOperators = 7,   // AT+COPS=?
    kGsmAskSignal = 8,       // AT+CSQ
    kGsmSelectOperator = 9,  // AT+COPS=
    kGsmSetBearer = 10,      // AT+CBST
    kGsmSetContext = 11,     // AT+CGDCONT
    kGsmSetLogin = 12,       // AT%CGPCO
    kGsmPadBlock = 13,       // AT$PADBLK
    kGsmPadTimeout = 14,     // AT$PADTO
    kGsmPadCommand = 15,     // AT$PADCMD
    kGsmPadForward = 16,     // AT$PADFWD
    kGsmUdpApi = 17,         // AT$UDPAPI
    kGsmPadSource = 18,      // AT$PADSRC
    kGsmPadDest = 19,        // AT$PADDST
    kGsmActive = 20,         // AT$ACTIVE
    kGsmRegOn = 21,          // AT$AREG=2
    kGsmHostIf = 22,         // AT$HOSTIF
    kGsmEscape = 23,         // guard time, "+++"
    kGsmAskIp = 24,          // AT$NETIP?
    kGsmAwaitAnswer = 25,    // the answer of the last command
    kGsmReady = 26,          // initialised, no call
    kGsmSendDest = 27,       // the destination text
    kGsmDial = 28,           // IP call out
    kGsmListen = 29,         // IP call in
    kGsmAwaitOk = 30,        // the OK of a call command
    kGsmAwaitConnect = 31,   // CONNECT and the carrier
    kGsmConnected = 32,      // data flow
    kGsmHangEscape = 33,     // hang-up: escape
    kGsmHangCommand = 34,    // hang-up: the command's answer
    kGsmAskNetmon = 35,      // AT$NETMON
};

// Results of GSMGetResult / GSMResultCode (also kept in GsmInfo::conn_status).
constexpr uint32_t kGsmOk = 0, kGsmConnect = 1, kGsmRing = 2, kGsmNoCarrier = 3, kGsmError = 4, kGsmListening = 6,
                   kGsmTimedOut = 0xFFFD, kGsmNoAnswer = 0xFFFE;

struct GsmInfo {
    std::array<uint8_t, 6> b;  // flag bytes 0..5, named above
    uint16_t conn_status;
    uint8_t owner, pending;
    uint8_t spare10;
    uint8_t mail_close;  // byte 11: bit 0 the e-mail client closed while %SR163 was 13
    uint32_t hold_start;
    std::array<char, 24> allocated_ip;
    uint32_t hold_reg, status_reg;
    uint32_t hold_time_reg;     // register of the hold seconds, 0: hold_time
    std::array<char, 40> dest;  // destination or dial text
    uint8_t ip_call;            // the dial text is an IP address
    uint32_t marker;            // "EMSG" when a modem configuration is present
    uint8_t follow;             // follow-up state of the initialisation machine
    uint8_t retries;
    uint16_t last_crc;
    uint8_t hold_time;
    std::array<char, 24> oper_code;  // numeric operator code with its closing '"'
    uint16_t calls;                  // Talk-port modem requests that ended on this modem
};
static_assert(offsetof(GsmInfo, pending) == 9 && offsetof(GsmInfo, mail_close) == 11);
constexpr uint32_t GSM_MARKER = 0x47534D45u;  // "EMSG"
extern GsmInfo GSMGPRSInfo_St;
extern std::array<char, 352> GSMCmdBuf;
extern uint16_t GSMindex;
extern std::array<char, 23> NWOprtrName;
extern uint8_t NumericOprtCode;
uint32_t GSMGetResult(uint32_t port);
uint32_t GSMResultCode(const char *buf, uint32_t len);
uint32_t GSMGPRSRsrcMngr(uint32_t user, uint32_t op);
uint32_t GSMGPRSParmInit();
void GSMGPRSOprtor();
uint32_t GSMModemInit(uint32_t port);
// A new start of the initialisation machine: state 0 from its first entry.
void GSMModemRestart();
uint32_t GSMTimer(uint32_t ticks);
uint32_t SMSPlcReg_Get(void *buf, uint32_t addr, uint32_t width);
uint32_t GSMPlcReg_Get(void *buf, uint32_t addr, uint32_t width);
uint32_t GSMPlcReg_Set(uint32_t addr, const void *buf, uint32_t width);
// Modem configuration item (text and length out; see the modem section).
uint32_t GSMGPRSParm(uint32_t item, char *out, uint32_t cap);
// Fills configuration strings 5, 7 and 8 (APN, user name, password).
void string_init();
// One step of a hang-up: 1 when finished.
uint32_t GSMSMSDisconnect(uint32_t port, uint32_t immediate);
// Requests or watches the programming tool's socket on the built-in module.
void ConnToolTelit();
extern SockConnInfo GSMToolConn;
// The programming port taken for the GSM modem.
void CmdOvrd();
// Stops the manager's shared timer (never expires).
void GSMTimerStop();
// 1 while a hand-back is held by the hold register (SMS engine's rounds).
uint32_t GSMHoldKeep();
// 1 when the hold register is configured and its bit is 1.
uint32_t GSMHoldBit();
uint32_t SMSPlcReg_Set(uint32_t addr, const void *buf, uint32_t width);

// ---- SMS over the modem (gsmsms.cpp) -------------------------------------------------
struct SmsText {
    uint16_t len;
    std::array<char, 1024> text;
};
uint32_t SendSMSTelit(const SmsText &number, const SmsText &text);
uint32_t ReceiveSMS(uint8_t *list, uint16_t *len);
uint32_t DeleteSMS(const char *index);
// One step of the receive cycle: 1 when the cycle is over.
uint32_t ReceiveSMSTelit();
// The SMS set-up of the modem while it is not initialised: the initialisation
// script already sets the text mode and the centre number, so nothing is
// left to do here; answers 0.
uint32_t SmsConfig();
// Finds the first "+CMGL: " entry of a list: index text, sender and text.
// 0 when none.
uint32_t Sms_ParseList(const char *list, uint32_t len, char *index, char *sender, uint32_t sender_cap, char *text,
                       uint32_t text_cap);
// 1 when the sender matches the contact number (digits, contact's leading
// zeros dropped, either contains the other).
uint32_t Sms_NumberMatch(const char *sender, const char *contact);
extern uint8_t RxAction;
// Group ids of every contact that matches the sender; their count.
uint32_t Sms_SenderGroups(const char *from, uint8_t *out, uint32_t cap);
// Runs the receive-command entries of the sender's groups from (*gi, *ei)
// on: applies accepted commands; 1 when an answer is due (num and txt
// filled, the scan resumes after that entry), 0 when the scan is over.
uint32_t Sms_Commands(const uint8_t *grp, uint32_t ngrp, uint32_t *gi, uint32_t *ei, const char *text, uint32_t len,
                      const char *from, SmsText &num, SmsText &txt);

// ---- SMS on the programming port's GSM modem (enfora.cpp) ------------------------------
extern uint8_t TxAction;  // 20 send the number, 22 wait for the prompt, 21 wait for the answer
extern uint8_t WaitForPrompt, WaitingForResp, ErrorRespFlag;
// EnforaInit: set when the modem manager's initialisation of this modem
// completes, cleared with its "configured once" (nine retries clear both).
extern uint8_t CmdRetryCnt, InitCount, EnforaInit;
void SendNO(const char *number);
void SendSMS(const char *text);
void ATCommand(const char *text);
// Collects one answer from port 0: its length once "OK" or "ERROR" and CR LF
// have come (NUL-terminated in buf, at most 511 characters), else 0.
uint32_t GetResponseX(char *buf);
void CommInit();
// 0 busy, 1 sent, 2 time-out, 3 error.
uint32_t TransmitSMS(const SmsText &number, const SmsText &text);
extern uint8_t RecvState;
extern uint32_t ReceiveSMSDuration;
// One step of the receive cycle on the programming port's GSM modem: 1 when
// the cycle is over.
uint32_t ReceiveSMSEnfora();
