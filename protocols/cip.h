// CIP objects of the EtherNet/IP adapter: Identity, Message Router,
// Assembly, Connection, Connection Manager, TCP/IP Interface and Ethernet
// Link, each a fixed pool of instances with allocation, readying, release and
// one service routine; the connection configuration records; the EPATH parser.
#pragma once

#include <array>
#include <cstdint>

// General status codes.
enum : uint8_t {
    CIP_OK = 0,
    CIP_CONN_FAILURE = 1,
    CIP_RESOURCE = 2,
    CIP_PATH = 4,
    CIP_UNSUPPORTED = 8,
    CIP_BAD_ATTR = 9,
    CIP_STATE = 0x0C,
    CIP_SHORT = 0x13,
    CIP_NO_ATTR = 0x14,
    CIP_LONG = 0x15,
    CIP_NO_OBJECT = 0x16,
};
// Extended status of connection failures.
enum : uint16_t {
    CIP_EXT_NO_MATCH = 0x0107,
    CIP_EXT_CLASS = 0x0108,
    CIP_EXT_SIZE = 0x0109,
    CIP_EXT_LIST_FULL = 0x0113,
    CIP_EXT_NO_RECORD = 0x011A,
    CIP_EXT_BAD_ADDRESS = 0x0312,  // a T->O address that is neither the opener's nor a group
    CIP_EXT_BAD_PATH = 0x0315,
};
// Services.
enum : uint8_t {
    CIP_GET_SINGLE = 0x0E,
    CIP_SET_SINGLE = 0x10,
    CIP_RESET = 0x05,
    CIP_APPLY = 0x0D,
    CIP_FWD_CLOSE = 0x4E,
    CIP_FWD_OPEN = 0x54,
};
// Classes.
enum : uint8_t {
    CIP_CLASS_IDENTITY = 1,
    CIP_CLASS_ROUTER = 2,
    CIP_CLASS_ASSEMBLY = 4,
    CIP_CLASS_CONNECTION = 5,
    CIP_CLASS_CONN_MGR = 6,
    CIP_CLASS_TCPIP = 0xF5,
    CIP_CLASS_LINK = 0xF6,
};
// The head of a request: service, path size in words, path, then its data;
// of an answer: the service with bit 7 set, a reserved 0, the general status,
// the size of the extended status in words, then the extended status and data.
constexpr uint32_t CIP_REQ_SERVICE = 0, CIP_REQ_PATH_WORDS = 1, CIP_REQ_PATH = 2;
constexpr uint32_t CIP_REPLY_SERVICE = 0, CIP_REPLY_RESERVED = 1, CIP_REPLY_GENERAL = 2, CIP_REPLY_EXT_WORDS = 3,
                   CIP_REPLY_DATA = 4;
constexpr uint8_t CIP_REPLY_BIT = 0x80;
constexpr uint32_t CIP_ANSWER_MAX = 300;  // room an answer buffer must have
constexpr unsigned CIP_CONNECTIONS = 8;
constexpr unsigned CIP_PATH_WORDS = 16;

// Parsed request: the message router's input.
struct CipRequest {
    uint8_t service;
    uint8_t cls, instance, attribute;
    uint16_t length;
    const uint8_t *data;
    uint8_t iface;  // interface whose router serves it
};
using CipService = uint32_t (*)(const CipRequest &req, uint8_t *answer);

// EPATH parse result.
struct EpathApp {
    uint8_t cls, instance, point, attribute;
    uint8_t has;  // bits: 1 class, 2 instance, 4 connection point, 8 attribute
};
struct EpathResult {
    uint16_t port;
    uint8_t link_len;
    uint16_t link_pos;
    uint8_t key[8];
    uint8_t has_key;
    uint8_t count;  // application paths
    std::array<EpathApp, 3> app;
};
constexpr uint8_t EPATH_CLASS = 1, EPATH_INSTANCE = 2, EPATH_POINT = 4, EPATH_ATTRIBUTE = 8;
// 0 parsed, 1 bad path.
uint32_t Epath_Parse(const uint8_t *path, EpathResult *r, uint32_t size);

struct ObjIdentity {
    uint8_t used, ready, number;
    uint16_t vendor, device_type, product_code;
    uint8_t major, minor;
    uint16_t status;
    uint32_t serial;
    const char *name;
    void (*reset)(uint8_t kind);
};
struct ObjMessageRouter {
    uint8_t used, ready, number;
    struct Reg {
        uint8_t cls;
        CipService fn;
    };
    std::array<Reg, 8> regs;
};
struct ObjConnCfg {
    uint8_t used, ready, number;
    uint8_t priority_tick, timeout_ticks;
    uint32_t ot_id, to_id;
    uint16_t serial, vendor;
    uint32_t orig_serial;
    uint8_t multiplier;
    uint32_t ot_rpi;
    uint16_t ot_params;
    uint32_t to_rpi;
    uint16_t to_params;
    uint8_t trigger;
    uint8_t path_words;
    std::array<uint8_t, 2 * CIP_PATH_WORDS> path;
    uint8_t flags;  // bits 3-5 interface number, bit 6 closed after a time-out
    uint8_t general;
    uint16_t extended;
};
constexpr uint8_t CIP_CFG_IFACE_SHIFT = 3, CIP_CFG_IFACE_MASK = 7, CIP_CFG_TIMED_OUT = 0x40;
// Network parameters of a Forward_Open: the size in the low 9 bits, the
// connection type in bits 13-14 (0 null), bit 14 point to point.
constexpr uint16_t CIP_NET_SIZE = 0x01FF, CIP_NET_TYPE = 0x6000, CIP_NET_POINT = 0x4000;
// Transport class and trigger: the class in the low 4 bits; a Connection
// instance marks a consuming one in bit 7.
constexpr uint8_t CIP_TRIGGER_CLASS = 0x0F, CIP_TRIGGER_CONSUMING = 0x80;
constexpr uint8_t CIP_TRANSPORT_IO = 1, CIP_TRANSPORT_EXPLICIT = 3;
struct ObjConnManager;
using CipConnHook = uint32_t (*)(ObjConnCfg *cfg);  // open: 0 done, else general status set in cfg
struct ObjConnManager {
    uint8_t used, ready, number;
    std::array<ObjConnCfg *, CIP_CONNECTIONS> list;
    CipConnHook open;
    CipConnHook close;
};
struct ObjAssembly {
    uint8_t used, ready;
    uint16_t number;
    std::array<uint16_t, 4> member_bits;
    uint8_t *data;
};
// The state of a Connection instance (its attribute 1).
enum class CipConnState : uint8_t {
    NonExistent = 0,
    Configuring = 1,
    WaitingForId = 2,
    Established = 3,
    TimedOut = 4,
    DeferredDelete = 5,
};
// Its type (attribute 2), and the time-out actions of attribute 12 that keep
// it (any other value closes it).
constexpr uint8_t CIP_CONN_EXPLICIT = 0, CIP_CONN_IO = 1;
constexpr uint8_t CIP_TIMEOUT_TO_TIMED_OUT = 0, CIP_TIMEOUT_AUTO_RESET = 2;
struct ObjConnection {
    uint8_t used, ready, number;
    CipConnState state;
    uint8_t type;     // CIP_CONN_EXPLICIT or CIP_CONN_IO
    uint8_t trigger;  // transport class and trigger; bit 7 consuming
    uint16_t produced_cid16, consumed_cid16;
    uint8_t comm;
    uint16_t produced_size, consumed_size;
    uint16_t rate;
    uint32_t produced_id, consumed_id;
    uint8_t timeout_action;
    uint16_t inhibit;
    std::array<uint8_t, 6> produced_path, consumed_path;
};
struct ObjTcpIp {
    uint8_t used, ready, number;
    uint32_t status, capability, control;
    std::array<uint8_t, 6> path;  // size in words, then the path
};
struct ObjEnetLnk {
    uint8_t used, ready, number;
    uint32_t speed, flags;
    std::array<uint8_t, 6> mac;
};

extern std::array<ObjIdentity, 2> IdentityPool;
extern std::array<ObjMessageRouter, 2> RouterPool;
extern std::array<ObjConnManager, 2> ConnManagerPool;
extern std::array<ObjAssembly, 4> AssemblyPool;
extern std::array<ObjConnCfg, CIP_CONNECTIONS> ConnCfgPool;
extern std::array<ObjConnection, CIP_CONNECTIONS> ConnectionPool;
extern std::array<ObjTcpIp, 2> TcpIpPool;
extern std::array<ObjEnetLnk, 2> EnetLnkPool;
extern const char Eip_Product_Name[7];
constexpr uint16_t EIP_VENDOR_ID = 0x0421;

#define CIP_OBJECT_OPS(Prefix, Type)             \
    void Prefix##_Class_Init();                  \
    uint32_t Prefix##_Inst_Allocate(Type **out); \
    void Prefix##_Inst_Ready(Type *inst);        \
    void Prefix##_Inst_Free(Type *inst);         \
    uint32_t Prefix##_Service(const CipRequest &req, uint8_t *answer);
CIP_OBJECT_OPS(Identity, ObjIdentity)
CIP_OBJECT_OPS(Message_Router, ObjMessageRouter)
CIP_OBJECT_OPS(Assembly, ObjAssembly)
CIP_OBJECT_OPS(Connection, ObjConnection)
CIP_OBJECT_OPS(Conn_Manager, ObjConnManager)
CIP_OBJECT_OPS(Conn_Cfg, ObjConnCfg)
CIP_OBJECT_OPS(TcpIp, ObjTcpIp)
CIP_OBJECT_OPS(Enet_Lnk, ObjEnetLnk)
#undef CIP_OBJECT_OPS

void Message_Router_Class_Install(ObjMessageRouter *router, uint8_t cls, CipService fn);
// Error answer of a Forward_Open (or Forward_Close) of the request data req:
// general status, one extended word, serial, vendor, originator serial and a
// remaining path size of 0. Its length, 15.
uint32_t ConnManagerOpenError(uint8_t *answer, uint8_t service, uint8_t general, uint16_t extended, const uint8_t *req);
// Data arriving on (Put) or asked of (Get) a connection: the answer's length.
uint32_t Conn_Put_Data(const CipRequest &req, uint8_t *answer, ObjConnection *conn);
uint32_t Conn_Get_Data(const CipRequest &req, uint8_t *answer, ObjConnection *conn);
// A 4-byte answer head with the general status (no extended status): 4.
uint32_t CipAnswer(uint8_t *answer, uint8_t service, uint8_t general);
