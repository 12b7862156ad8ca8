// Register bridge and dual-port map: the 64 KB map of handshake, status and
// statistics words and the programming-tool byte channel; the calls through
// which the protocols reach the register image; the per-interface Ethernet
// configuration record and its parser.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "net/dpr_layout.h"

// ---- the dual-port map ----------------------------------------------------------------------
constexpr std::size_t DPR_MAP_SIZE = 65536;
extern std::array<uint8_t, DPR_MAP_SIZE> DprMap;
extern uint8_t *Dpr_Map_Ptr;

// Byte offsets in the map.
constexpr std::size_t DPR_MAGIC = 0, DPR_SEMAPHORE = 15, DPR_RUN = 32, DPR_CFG_REQ = 34, DPR_CFG_ACK = 36, DPR_ASK = 38,
                      DPR_ASK_REF = 40, DPR_STATUS = 42, DPR_CLOCK = 48, DPR_NETID = 60, DPR_EGD_COUNT = 78,
                      DPR_STATS = 92;
constexpr std::size_t DPR_WRREQ1 = 49408, DPR_WRREQ2 = 55080, DPR_RDREQ1 = 52756, DPR_RDREQ2 = 58428;
constexpr std::size_t DPR_EGD_STATUS = 60888, DPR_EGD_STATUS_END = 62936;  // 256 entries of 8 bytes
constexpr unsigned DPR_EGD_STATUS_MAX = 256;
// Programming-tool byte channel.
constexpr std::size_t ETN_RX_ACK = 62936, ETN_RX_REQ = 62937, ETN_RX_COUNT = 62938, ETN_RX_DATA = 62940;
constexpr std::size_t ETN_TX_REQ = 63008, ETN_TX_ACK = 63009, ETN_TX_LEN = 63010, ETN_TX_DATA = 63012;
constexpr std::size_t ETN_B_ACK = 63080, ETN_B_REQ = 63081, ETN_B_DATA = 63082;
// A reply block holds the 68 bytes before the single-byte handshake: the
// nominal 2,524 would run over that handshake, the end-of-exchange signal
// and the access values and flags. The server sends at most 67 of them.
constexpr std::size_t ETN_TX_MAX = ETN_B_ACK - ETN_TX_DATA;
constexpr std::size_t ETN_SIG_REQ = 63086, ETN_SIG_ACK = 63087;
constexpr std::size_t ETN_ACCESS = 63088, ETN_USERS = 63092, ETN_ACCESS_FLAGS = 63104, ETN_LEVELS = 63105;
constexpr std::size_t ETN_RX_MAX = ETN_TX_REQ - ETN_RX_DATA;  // 68 bytes of a receive block

extern uint8_t *DprWrReqs1, *DprWrReqs2, *DprRdReqs1, *DprRdReqs2, *DprStatusWrReqs;
extern uint16_t EGD_Index_Count;
// Bases of %T and %M in the register layout in force (12288 and 14336 in the
// 16-bit layout, 0x10008000 and 0x1001C000 in the extended one).
extern uint32_t T_token, M_token;

// Last good address set of interface 0, kept in the battery-backed memory.
struct DprBackupRec {
    uint32_t spare;
    uint32_t marker;  // 0x12345678
    uint32_t address, mask, gateway, dns;
};
constexpr uint32_t DPR_BACKUP_MARKER = 0x12345678;
extern DprBackupRec DprBackup;

// ---- Ethernet configuration record ---------------------------------------------------------
constexpr unsigned DPR_EGD_MAX = 128, DPR_EGD_ITEMS = 99;
struct DprEgdExchange {
    uint32_t kind;
    uint32_t header[4];
    uint32_t items[DPR_EGD_ITEMS][2];  // reference, descriptor
};
struct FtpUserAccount {
    char user[41];
    char password[41];
    char text[512];
    uint8_t rights;
    uint8_t extra;
};
struct DprHttpAccount {
    char user[41];
    char password[41];
    char text[512];
    uint8_t flag;
};
struct DprModbusIec {
    uint32_t map_word;
    uint32_t present;
    uint16_t udp_mode;
    uint16_t port;
    uint32_t words[8];
};
struct ModbusServerCfg {
    uint32_t map_word;
    uint32_t present;
    uint16_t udp_mode;
    uint16_t port;
};

struct DprConfigRec {
    uint32_t length;
    uint32_t address, mask, gateway, dns;  // host byte order
    uint32_t ping_timeout, ping_target_ref, ping_result_ref;
    uint32_t const_ref, status_ref;  // registers of 0x1ED and of the status word
    uint32_t address_ref, mask_ref, gateway_ref, dns_ref;
    uint8_t dhcp_enable;
    uint8_t enables[3];  // EtnProtocolEnables
    DprEgdExchange egd[DPR_EGD_MAX];
    uint32_t eip[3][2];  // produced, consumed, third: reference, size
    FtpUserAccount ftp[2];
    DprHttpAccount http;
    DprModbusIec modbus_iec;
    ModbusServerCfg modbus;
    uint32_t ascii[6];
    uint16_t ntp_values[2];
    char ntp_servers[DPR_NTP_NAMES][DPR_NTP_NAME_BYTES];
    uint32_t egd_status_count;
    uint32_t values[2];  // record kind 0x00100000
    // Not part of the parsed record: the 128-byte field of pseudo-register 1017.
    uint8_t text[128];
};
constexpr std::size_t DPR_CONFIG_BYTES = DPRC_END;  // the parsed record
// The EtherNet/IP assembly pairs: produced, consumed, the run/idle status
// register; each {reference, size in bytes}.
constexpr unsigned DPR_EIP_PRODUCED = 0, DPR_EIP_CONSUMED = 1, DPR_EIP_RUN_IDLE = 2, DPR_EIP_REF = 0, DPR_EIP_SIZE = 1;
// The ASCII-over-TCP references: the port is in a register (nonzero) or is
// the next value; the text to send, its control word, the receive block and
// the status register.
constexpr unsigned DPR_ASCII_PORT_IN_REG = 0, DPR_ASCII_PORT = 1, DPR_ASCII_SEND = 2, DPR_ASCII_CONTROL = 3,
                   DPR_ASCII_RECEIVE = 4, DPR_ASCII_STATUS = 5;

// Enable bits: byte 0.
constexpr uint8_t EN0_B0 = 0x01, EN0_MODBUS = 0x02, EN0_EGD = 0x04, EN0_PING = 0x08, EN0_EIP = 0x10, EN0_FTP = 0x20,
                  EN0_HTTP = 0x40, EN0_B7 = 0x80;
// Byte 1.
constexpr uint8_t EN1_ASCII = 0x01, EN1_NETID_OCTET = 0x02, EN1_MASKGW_WORDS = 0x04, EN1_ADDR_REG = 0x08,
                  EN1_MASK_REG = 0x10, EN1_GW_REG = 0x20, EN1_SERVICES_OFF = 0x40, EN1_MODBUS_PORT = 0x80;
// Byte 2.
constexpr uint8_t EN2_NTP = 0x01, EN2_DNS_WORD = 0x02, EN2_DNS_REG = 0x04, EN2_DHCP = 0x08;

extern std::array<DprConfigRec, 2> Dpr_Configuration;
extern uint8_t NTP_Enabled, Ntp_ConfigReset, Invalid_reg_flag;
extern const char DprCryptKey[41];

// ---- register bridge ---------------------------------------------------------------------------
struct EtnReq {
    uint32_t reference;  // bit address
    uint32_t count;      // bits
};
// 0 when the request lies inside one register window, 1 when not.
uint32_t EtnValidateReq(const EtnReq *req);
uint8_t Dpr_Get_Char_Data(uint32_t ref);
void Dpr_Set_Char_Data(uint32_t ref, uint8_t v);
uint16_t Dpr_Get_W_Data(uint32_t ref);
void Dpr_Set_W_Data(uint32_t ref, uint16_t v);
uint32_t Dpr_Get_Dw_Data(uint32_t ref);
void Dpr_Set_Dw_Data(uint32_t ref, uint32_t v);
// Moves length bits between the registers at ref and buf: dir != 0 buffer to
// registers, 0 registers to buffer; bit mode 1 packs from bit 0 of buf.
uint8_t *Dpr_Data_Block(uint32_t ref, uint32_t length, uint8_t *buf, uint32_t dir, uint8_t bit_mode);
uint32_t Dpr_Add_Req(const EtnReq *req, uint32_t dir, uint32_t, uint32_t);
uint32_t Dpr_Chk_Rd_Pending();
uint32_t Dpr_Chk_Wr_Pending();
void DprSetSemaphore();
void DprClearSemaphore();
void Dpr_Set_Egd_Status(uint16_t status, uint32_t index);
void Dpr_Add_Egd_Status_Req(uint32_t ref, uint16_t value, uint32_t index);

// ---- set-up and service ----------------------------------------------------------------------
void Dpr_Init();
void DprInitReq();
void Dpr_Config();
void Dpr_Io_Service();
void Dpr_Ask_Config();
// Parses the block at EtnConfp into interface n's record: 0 parsed, 1 none.
uint32_t DprParseConfig(uint32_t n);
// Walks a block of block_bytes bytes (word 0 onward) into rec; used by
// DprParseConfig once the block has been found. 0 parsed, 1 none.
uint32_t DprParseBlock(const uint8_t *block, std::size_t block_bytes, uint32_t n, DprConfigRec &rec);
void Dpr_StrCrypt(char *dst, const uint8_t *src, uint32_t length);
