// Serial Modbus engine on the programming port: RTU and ASCII framing (and
// MBAP framing for a modem data socket), a slave answering from the register
// image and a master sending one request per trigger.
#pragma once

#include <array>
#include <cstdint>

constexpr uint32_t MOD_BUF = 260;  // frame buffer
// With an MBAP header in front a frame fills up to 265 bytes; the 266th
// overflows as the 261st does without it.
constexpr uint32_t MOD_BUF_TCP = 265;

// Caller's parameter record. Addresses are byte pointers into the register
// image (or, for a constant control operand, into the program); words are
// little-endian.
struct ModbusParm {
    uint16_t station;        // 0 master, 1..246 slave, 247+ two-byte addressing
    uint16_t timeout;        // 100 ms units, 0 none
    const uint8_t *control;  // master trigger word / slave own-frame length
    uint8_t *data;           // master request record / slave own-frame bytes
    uint32_t data_ref;       // register reference of data (ladder forms), 0 none
    uint8_t *status;         // status word
    uint8_t trigger_bit;
    std::array<uint16_t, 2> ext;  // ext[1]: store-and-forward entries
    const uint8_t *forward;       // forward table, u16 entries
    uint32_t write_protect;       // bit address, 0 none
    uint8_t iec;                  // data is an IEC request or map record naming VM arena arrays
};

// Mode bits of the protocol state.
constexpr uint8_t MOD_ASCII = 0x01, MOD_MASTER = 0x02, MOD_LISTEN = 0x04;
// Counters, in order.
enum ModCounter : uint8_t { MOD_CNT_BUS, MOD_CNT_SLAVE, MOD_CNT_COMERR, MOD_CNT_EXCEPT, MOD_CNT_NORESP, MOD_CNT_N };

struct ModbusProto {
    uint8_t mode;
    uint16_t result;
    std::array<uint16_t, MOD_CNT_N> counters;
    uint32_t port;
    uint8_t rx_state;  // RTU: 0 idle, 1 receiving; ASCII: 5 idle, 6 data, 7 overlong, 11 after CR
    uint16_t crc;
    uint8_t half, cur, lrc;  // ASCII: characters of the byte, its value, the sum
    uint16_t length;         // accepted frame length
    uint16_t rx_count;
    int16_t exp_req, exp_rsp;  // last index expected; negative: byte count at -value
    uint8_t match_req, match_rsp;
    uint8_t frame_error;  // a frame failed since the last slave step
    std::array<uint8_t, MOD_BUF_TCP> buf;
    uint16_t station;
    std::array<uint8_t, 16> req;  // master request as built (request record)
};

// The engine's steps: a slave's, and a master's idle, sending, waiting for
// its answer and done until its trigger falls.
enum class ModState : uint8_t { kSlave, kIdle, kSending, kWaiting, kDone };

struct ModbusPcb {
    ModbusParm parm;
    ModbusProto proto;
    uint32_t elapsed;  // 100 ms steps
    uint32_t ref;      // FPGA_GetFrt at the last restart of elapsed
    uint16_t trig_mask;
    uint8_t latch;
    ModState state;
    uint16_t pending;
    uint8_t tx_flag;      // 0 idle, 255 while the port still sends
    uint8_t fwd_pending;  // a forward, or an answer, waits in buf for the port
    uint8_t sys_active;
    uint8_t last_ctl;  // IEC master: control word's low byte at the previous step
};
extern std::array<ModbusPcb, 1> pcb;

// Bit 2 (a frame being sent) is cleared when framing starts and never left
// set: a frame goes out whole within one call, so no step could see it.
struct ModbusTcpState {
    uint8_t flags;  // bit 0 framing on, bit 1 awaiting answer, bit 2 sending, bits 3-4 port
    uint16_t tid;
    uint16_t pid;
};
extern ModbusTcpState ModbusTCP_St;

// Modem data socket the engine reads and writes when connected; the
// executive fills it. Unset: the serial port only.
struct ModSocketHooks {
    bool (*connected)(uint32_t port, uint32_t socket);
    uint32_t (*check)(uint32_t socket);  // 1 byte waits, 255 frame end
    uint8_t (*recv)(uint32_t socket);
    uint32_t (*send)(uint32_t socket, const uint8_t *data, uint32_t n, uint32_t flag);
};
extern ModSocketHooks mod_socket;

// Master build error codes (status word = code | 2).
constexpr uint16_t MOD_ERR_STATION = 4, MOD_ERR_QTY = 8, MOD_ERR_FUNC = 16, MOD_ERR_TABLE = 32, MOD_ERR_INACTIVE = 0x80;

void ModbusInit(uint32_t port, const ModbusParm &parm);
uint32_t ModbusExecute(uint32_t port);
void ModbusStop(uint32_t port);
void MOD_TCPInit(uint32_t on, uint32_t port);
// Last index of an RTU request and answer of a function code; a negative
// value -k says the byte count sits at index k.
int16_t ExpectedSize(uint8_t fc, bool answer);

// Framing, exposed for tests and fuzzing: one received byte, the end-of-frame
// event; 1 when a whole frame was accepted (proto.length bytes in proto.buf).
uint32_t MOD_RxByte(ModbusProto &m, uint8_t b);
uint32_t MOD_RxEnd(ModbusProto &m);
// Handles the accepted request in proto.buf; the answer's length in
// proto.buf (0: none). Sends nothing.
uint32_t MOD_ReqProcess(ModbusPcb &c);
// Handles an accepted answer to the master's request; the result word.
uint16_t MOD_RspProcess(ModbusPcb &c);
// Builds the master request from the request record into proto.buf; its
// length, or 0 with the error code in *err.
uint32_t MOD_ReqBuild(ModbusPcb &c, uint16_t *err);

// IEC forms of the three above: the slave map record and the master request
// record of the IEC Modbus blocks, whose arrays are VM arena addresses (one
// byte per BOOL, registers as 16-bit words in memory order). MOD_ReqProcess
// and the master step use them when the parameter record says iec.
uint32_t Z7_MOD_ReqProcess(ModbusPcb &c);
uint32_t Z7_MOD_ReqBuild(ModbusPcb &c, uint16_t *err);
uint16_t Z7_MOD_RspProcess(ModbusPcb &c);
// Store-and-forward table of an IEC slave held by the engine on port: count
// u16 entries at table.
void Z7_MOD_Forward(uint32_t port, uint32_t count, const uint8_t *table);
