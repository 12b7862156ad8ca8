// CANopen node on CAN port 0: configuration, NMT, heartbeat, guarding,
// SYNC, TIME, EMCY, the master's boot-up of slaves, SDO, PDO, the ladder
// block, the IEC helpers and the programming channel over CAN.
#pragma once

#include <array>
#include <cstdint>

#include "io/candrv.h"

// Set by the command protocol while a CANopen table download is running.
extern uint8_t CANOpen_dwnld;

// ---- status word bits ---------------------------------------------------------------
constexpr uint32_t CO_ST_CFG = 1u << 0, CO_ST_NOLIFE = 1u << 2, CO_ST_TXFULL = 1u << 3, CO_ST_RPDO_SET = 1u << 5,
                   CO_ST_RPDO_OBJ = 1u << 6, CO_ST_RPDO_SHORT = 1u << 7, CO_ST_RPDO_EMPTY = 1u << 8,
                   CO_ST_TPDO_GET = 1u << 10, CO_ST_TPDO_LONG = 1u << 11, CO_ST_TPDO_OBJ = 1u << 12,
                   CO_ST_TPDO_EMPTY = 1u << 13, CO_ST_SDO_SHORT = 1u << 14, CO_ST_NMT_SHORT = 1u << 15,
                   CO_ST_REGWRITE = 1u << 16, CO_ST_LIFE = 1u << 17, CO_ST_HBLOST = 1u << 18, CO_ST_OPTFAIL = 1u << 19,
                   CO_ST_MANDFAIL = 1u << 20, CO_ST_CANOVR = 1u << 21, CO_ST_BUSOFF = 1u << 22,
                   CO_ST_CANWARN = 1u << 23;
constexpr uint32_t CO_EMCY_MASK = 0x1EBFFB;

// NMT states.
constexpr uint8_t NMT_INIT = 0, NMT_STOPPED = 4, NMT_OPER = 5, NMT_PREOP = 0x7F;
constexpr uint8_t NMT_UNKNOWN = 0xFE;  // no state reported since the last reset
// NMT commands sent by the master.
constexpr uint8_t NMT_CMD_START = 1, NMT_CMD_STOP = 2, NMT_CMD_RESET_COMM = 0x82;

// Boot steps of a slave under the master (CoNodeEntry::step); a step that
// finishes goes on with the next one.
enum CoBootStep : uint8_t {
    CO_BOOT_RESET = 1,        // reset communication, wait for the boot-up
    CO_BOOT_DEVICE_TYPE = 2,  // check object 0x1000
    CO_BOOT_VENDOR_ID = 3,    // check 0x1018 sub 1 .. 4
    CO_BOOT_PRODUCT_CODE = 4,
    CO_BOOT_REVISION = 5,
    CO_BOOT_SERIAL = 6,
    CO_BOOT_SW_VERSION_1 = 7,  // check 0x1F52 sub 1 and 2 (software version)
    CO_BOOT_SW_VERSION_2 = 8,
    CO_BOOT_CFG_DATE = 9,  // check 0x1020 sub 1 and 2 (configuration date and time)
    CO_BOOT_CFG_TIME = 10,
    CO_BOOT_SW_UPDATE = 11,      // a software update (none: configure)
    CO_BOOT_CONFIGURE = 12,      // download the configuration
    CO_BOOT_ERROR_CONTROL = 13,  // start heartbeat or node guarding
    CO_BOOT_SPARE_14 = 14,       // nothing to do
    CO_BOOT_SPARE_15 = 15,       // nothing to do
    CO_BOOT_RESULT = 16,         // act on the boot's error
    CO_BOOT_START = 17,          // start the slave
    CO_BOOT_RUNNING = 18,        // operational, supervised
    CO_BOOT_STOPPED = 19,        // boot given up
};

// ---- configuration block (offsets from the data start) -------------------------------
constexpr uint32_t CO_SLAVE_REC = 56;
constexpr unsigned CO_NODES = 127, CO_PDOS = 64, CO_MAXPDO = 63, CO_MAXOBJ = 64;

// One entry of the master's node table (or of the heartbeat consumer).
struct CoNodeEntry {
    uint16_t time_ms;  // guard or heartbeat time
    uint8_t id;
    uint8_t err;    // node error code
    uint32_t t;     // time of the last event
    uint8_t state;  // reported NMT state, 0xFE unknown
    uint8_t step;   // boot step
    uint8_t retry;  // guard requests without answer
    uint8_t flags;  // CO_NF_*
    uint32_t wait;  // start of the step's wait
    uint8_t sub;    // progress inside a step
    // configuration download: entry cursor, cursor inside a mapping group,
    // phase (0 plain entries, 1 count 0, 2 mapping entries, 3 the count), a
    // download on its way
    uint32_t cfg_pos, cfg_q;
    uint8_t cfg_phase, cfg_busy;
};
// CO_NF_NMTSENT: an NMT command went to the node (or to all) since its last
// heartbeat or guard answer. CO_NF_REBOOT: a slave kept alive (assignment
// bit 4) was found not operational and reset: its boot goes the whole way.
// CO_NF_GROUP: its reset was the one of all nodes (every slave goes on
// together when it ends). CO_NF_ALONE: reset by a command of its own since
// the last start that reached it (a broadcast start that went before does
// not: it is started by its own command).
constexpr uint8_t CO_NF_GUARDREQ = 1, CO_NF_GUARDANS = 2, CO_NF_RTRSENT = 4, CO_NF_ENTRY = 8, CO_NF_NMTSENT = 16,
                  CO_NF_REBOOT = 32, CO_NF_GROUP = 64, CO_NF_ALONE = 128;

struct CoNode {
    uint16_t Node_id;
    uint8_t NMT_State;
    uint8_t master, hbcons, guard_master;
    uint8_t count;  // entries of the node table
    uint8_t cur;    // slave being worked on
    uint32_t status;
    uint8_t errreg;
    uint32_t pdo_err;  // number of the PDO that last set a PDO error bit
    uint32_t status_reg;
    uint16_t blk_word;  // first word of the block at the last initialisation
    uint8_t startup;    // NMT start-up flags
    uint8_t reset_all;
    uint32_t start_reg;
    // heartbeat producer
    uint16_t hb_ms;
    uint32_t hb_ticks, hb_last;
    // node guarding, slave side
    uint16_t guard_ms;
    uint8_t life_factor;
    uint32_t life_ticks, guard_last;
    uint8_t guarded, toggle, guard_req, life_elapsed;
    // SYNC
    uint32_t sync_cobid, sync_period, sync_window, sync_last;
    uint8_t sync_on, sync_produce, sync_period_el, sync_window_el;
    // EMCY
    uint32_t emcy_cobid;
    uint8_t emcy_on, emcy_inhibit_el;
    uint16_t emcy_inhibit;
    uint32_t emcy_last, emcy_sent;
    // TIME
    uint32_t time_cobid;
    uint8_t time_en, time_produce, time_consume, time_sent_valid;
    uint32_t time_ms_sent;
    uint16_t time_day;
    uint8_t time_day_valid;
    // dates of the configuration
    uint32_t sw_date, sw_time, cfg_date, cfg_time;
    // configuration download
    uint8_t dwnld_seen, preop_sent;
};
extern CoNode co;
extern std::array<CoNodeEntry, CO_NODES> co_nodes;

// EMCY receive slot of the ladder and IEC waits.
struct EmcyRec {
    uint8_t flags;  // bit 0 armed, bit 1 received
    uint16_t node;
    std::array<uint8_t, 8> data;
};
extern EmcyRec Emcy_RecMsg;

// ---- SDO ----------------------------------------------------------------------------
constexpr unsigned SDO_BUF = 258, SDO_SERVERS = 128;
constexpr uint8_t SDO_F_COMPOSE = 1, SDO_F_UPLOAD = 2, SDO_F_CLIENT = 4, SDO_F_SEGUP = 8, SDO_F_DONE = 16,
                  SDO_F_ABORTED = 32, SDO_F_USER = 64;
struct SdoState {
    uint8_t flags;
    uint8_t sub;
    uint16_t index;
    std::array<uint32_t, SDO_SERVERS> rx_cob, tx_cob;
    uint8_t active, count;
    uint32_t client_cob, client_listen, client_time, client_timeout;
    uint16_t req_index;
    uint8_t req_sub;
    uint64_t owner;               // ladder or IEC user holding the client, 0 none
    std::array<uint8_t, 8> cbuf;  // client data: request and answer
    uint8_t ccnt;
    std::array<uint8_t, SDO_BUF> buf;
    uint16_t cnt, pos;
};
extern SdoState SDO_St;

// Programming channel: the block being received and the reply being sent.
struct CoBlock {
    uint8_t rx_on;  // a block download from the tool is running
    uint8_t rx_segs, rx_seq;
    uint16_t rx_size;
    uint8_t rx_crc;
    uint8_t rx_server;  // server that took it
    std::array<uint8_t, SDO_BUF> rx;
    uint16_t rx_cnt;
    uint8_t tx_state;  // 0 idle, 1 initiate sent, 2 sending segments, 3 waiting for the end
    uint8_t tx_segs, tx_seq;
    uint32_t tx_cob, tx_listen, tx_time, tx_last;
    std::array<uint8_t, SDO_BUF + 1> tx;
    uint16_t tx_cnt;
    std::array<uint8_t, 2048> next;  // bytes of the next replies, queued while one is sent
    uint16_t next_cnt;
    uint8_t next_node;
    uint8_t reply_node;   // tool node of the last block received
    uint8_t reply_known;  // a block named it (0 is a node id too)
    uint8_t fwd_node;     // node a forwarded conversation talks to
    uint8_t fwd_known;    // the last forwarded command frame named one (not 0)
};
extern CoBlock co_blk;

constexpr uint32_t SDO_ABORT_BLKSIZE = 0x05040002, SDO_ABORT_SEQ = 0x05040003, SDO_ABORT_ACCESS = 0x06010000,
                   SDO_ABORT_RO = 0x06010002, SDO_ABORT_MAP = 0x06040041, SDO_ABORT_PARAM = 0x06040043,
                   SDO_ABORT_LONG = 0x06070012, SDO_ABORT_SHORT = 0x06070013, SDO_ABORT_SUB = 0x06090011,
                   SDO_ABORT_GENERAL = 0x08000000, SDO_ABORT_STATE = 0x08000022;
constexpr uint32_t CO_VENDOR_ID = 0x000001E1;
constexpr uint32_t CO_DEVICE_TYPE = 0x195;

// ---- PDO ----------------------------------------------------------------------------
struct TpdoRec {
    uint32_t cobid, last_tx, ev_start, inhibit, event;
    std::array<uint8_t, 8> last;
    uint8_t type, sync_cnt;
    uint16_t first;
    uint8_t count, flags;
    uint32_t trigger;
};
constexpr uint8_t TPDO_F_DYN = 1, TPDO_F_RTR = 4, TPDO_F_INH = 8, TPDO_F_EVT = 16, TPDO_F_INIT = 32;
struct RpdoRec {
    uint32_t cobid;
    std::array<uint8_t, 8> data;
    uint16_t first;
    uint8_t count, flags;  // bit 0 sync, bit 1 waiting, bit 2 dynamic, bits 3..6 length
};
constexpr uint8_t RPDO_F_SYNC = 1, RPDO_F_NEW = 2, RPDO_F_DYN = 4;
struct MapEntry {
    uint32_t map;
    uint32_t handle;
};
extern std::array<TpdoRec, CO_PDOS> co_tpdo;
extern std::array<RpdoRec, CO_PDOS> co_rpdo;
extern uint16_t co_ntpdo, co_nrpdo;
extern std::array<MapEntry, 1024> Dynamic_St;
extern uint16_t DynMap_Indx;
// Configured mapping entries of the block, in PDO order, and with IEC
// bindings the IEC variable handle of each (0 otherwise).
extern std::array<uint32_t, CO_MAXPDO * CO_MAXOBJ> co_tmap, co_rmap;
extern std::array<uint32_t, CO_MAXPDO * CO_MAXOBJ> co_thandle, co_rhandle;
// The block has IEC bindings (its status register is an IEC variable handle):
// 12-byte TPDO communication entries, 8-byte mapping entries. The IEC PDO
// map: handle and enable (bit 0).
extern uint8_t co_iec_layout;
extern uint32_t co_iec_map_handle, co_iec_map_enable;
// An IEC application runs with its variables enumerated: handles may be used.
bool CANOpenIecOk();
// The IEC PDO map: handle + (index - 0xA584) x 254 + (sub - 1) for 0xA584 to
// 0xA5A8 and sub-indices 1 to 254 while it is enabled; 0 otherwise.
uint32_t CANOpenIecMapHandle(uint32_t index, uint32_t sub, uint32_t *address);
// Address and width of a mapped object: its handle (or the IEC PDO map) with
// IEC bindings, else its register object. 0 when there is none.
uint32_t CANOpenObjTarget(uint32_t map, uint32_t handle, uint32_t *address, uint32_t *width);
// A register object with IEC bindings: the IEC PDO map, or the handle of a
// mapped PDO object with this index and sub-index; 0 when none.
uint32_t CANOpenIecObject(uint32_t index, uint32_t sub, uint32_t *address, uint32_t *width);

// Start record of the CAN node.
struct FpgaPort;
struct NetInitRec {
    FpgaPort *port;     // time-base port record
    uint16_t tick;      // tick length (100)
    uint8_t rate;       // rate code of word 157
    uint8_t c2, c3;     // constants 2 and 3
    uint8_t cfg_rate;   // rate code of the network configuration
    uint8_t node_id;    // word 156
    uint16_t id_count;  // word 188
    uint8_t flag;       // bit 1 of word 158
};

// ---- the operations ---------------------------------------------------------------
// Receive hook of the CAN network's own frames (global words, heartbeats of
// the IEC blocks): asked first for every received frame; nonzero takes it.
// Null until that service installs itself.
extern uint32_t (*CANOpen_NetDataRx)(const CanMsg &msg);
void CANOpenInit(const NetInitRec *rec);
void CANOpenRxMsg();
void CANOpenTxMsg();
uint32_t CANOpenNMTSend(uint8_t node, uint8_t command);
uint32_t CANOpenHBProd();
uint32_t CANOpenNGSend(uint32_t entry);
void CANOpenTimer(uint32_t kind, uint32_t index);
uint32_t CANOpenGetData(uint32_t *value, uint32_t index, uint32_t bits, uint32_t address);
uint32_t CANOpenSetData(uint32_t value, uint32_t index, uint32_t bits, uint32_t address);
uint32_t CANOpenGetMsgData(const uint8_t *data, uint32_t first_bit, uint32_t bits);
uint32_t CANOpenDWProcess(uint8_t *bytes, uint32_t value, uint32_t to_bytes);
// Queues one frame; 1 when queued, else status bit 3 and 0.
uint32_t CANOpenSend(uint32_t id, uint8_t len, const uint8_t *data, uint8_t rtr = 0);
void CANOpenBootStep();
// The block's data and its length (0 when the block is not usable).
const uint8_t *CANOpenBlock(uint32_t *len);

// SDO (copen_sdo.cpp)
void CANOpenSDOInit(const uint8_t *blk, uint32_t len);
// 1 when the frame was an SDO frame of this node (server or client).
uint32_t CANOpenSDORx(const CanMsg &m);
uint32_t CANOpenODAccess();
uint32_t CANOpenGetODEntry(uint32_t index, uint32_t sub, uint32_t *address, uint32_t *width);
// Object values in a transfer buffer, little-endian: the value of its cnt
// bytes (at most 4); v put as n bytes, with the count set; the length check
// of a write of cnt bytes to an object of n bytes (0 or the abort code).
uint32_t CANOpenObjGet(const uint8_t *buf, uint16_t cnt);
void CANOpenObjPut(uint8_t *buf, uint16_t *cnt, uint32_t v, unsigned n);
uint32_t CANOpenObjLen(uint16_t cnt, unsigned n);
// A COB-ID whose identifier is 0 (11 or 29 bits, by its frame-format bit).
bool CANOpenCobZero(uint32_t cob);
uint32_t CANOpenSDOCompose(uint8_t command);
void CANOpenSSDOAbortTransfer(const uint8_t *request, uint32_t code);
uint32_t CANOpenCSDOUpldInit(uint32_t keep_cob);
uint32_t CANOpenCSDODwnInit(uint32_t keep_cob);
uint32_t CANOpen_SlaveInfoChk(uint16_t index, uint8_t sub, uint32_t expected, uint32_t *equal);
void CANOpenSDOClientTimeout();

// PDO (copen_pdo.cpp)
void CANOpenPDOInit(const uint8_t *blk, uint32_t len);
uint32_t CANOpenRPDORx(const CanMsg &m);
void CANOpenRPDOExtract(uint32_t pdo, uint32_t count, uint32_t first, const uint8_t *data, uint32_t len);
uint32_t CANOpenTPDOCompose(uint32_t pdo, uint8_t *data);
void CANOpenSyncHdl(uint32_t mode);
void CANOpenTPDOTx();
uint32_t CANOpenTPDORemote(uint32_t id);
uint32_t CANOpenPDOAccess(uint16_t index, uint8_t sub, uint32_t write, uint8_t *buf, uint16_t *cnt);
uint32_t CANOpenMapPDO(uint32_t entry, uint32_t pdo, uint32_t count, uint32_t rx);

// Programming channel and user operations (copen_lad.cpp)
void CANOpenBlockRx(const CanMsg &m, uint32_t server);
uint32_t CANOpenBlockReplyRx(const CanMsg &m);
void CANOpenBlockTx();
uint32_t CANOpenLadrBlock(const uint16_t **token, uint32_t enable);
// Words the instruction takes from its first token word on (at most 17), so
// that a caller can check them against the program's end first.
uint32_t CANOpenLadrWords(uint16_t first);
extern std::array<uint16_t, 256> SDO_KernelStatus;
struct HostQue {
    std::array<uint8_t, 256> buf;
    uint16_t in, out;
};
extern HostQue QnCAN_HostQue;

// IEC helpers: operands are pointers to the block's variables, in order.
uint32_t Z7_get_node_id();
uint32_t Z7_get_state(void *const *op, uint32_t enable);
uint32_t Z7_set_nmt_state(void *const *op, uint32_t enable);
// data_room: bytes the data operand (op[7]) has room for; the copy stops there.
uint32_t Z7_canopen_sdo_read(void *const *op, uint32_t enable, uint32_t data_room);
uint32_t Z7_canopen_sdo_write(void *const *op, uint32_t enable);
uint32_t Z7_canopen_rec_emrgency(void *const *op, uint32_t enable);
uint32_t Z7_canopen_rec_emrgency_any(void *const *op, uint32_t enable);
