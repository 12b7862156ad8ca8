// Layouts of the Ethernet configuration: the downloaded block (a tagged
// stream of little-endian u32 records) and the parsed per-interface record
// it fills (DprConfigRec, net/dpr.h).
#pragma once

#include <cstddef>
#include <cstdint>

// ---- the downloaded block, byte offsets from word 0 -----------------------------------------------
constexpr std::size_t DPRB_LENGTH = 0, DPRB_ADDRESS = 4, DPRB_MASK = 8, DPRB_RECORDS = 12;
constexpr uint32_t DPRB_NONE = 0xFFFFFFFFu;  // length word of "no configuration"
constexpr uint32_t DPRB_MIN_LENGTH = 8;      // a length up to this holds no record
// A record's reading stops at a position of its own; the next kind word is
// the second word after it. A kind word of 0 ends the stream.
constexpr std::size_t DPRB_NEXT = 8;

// ---- record kinds: the kind word's bits, tested in the order of DprRecordOf -------------------
constexpr uint32_t DPRK_EGD = 0x80000000u, DPRK_PING = 0x40000000u, DPRK_EIP = 0x10000000u, DPRK_FTP = 0x08000000u,
                   DPRK_HTTP = 0x04000000u, DPRK_MODBUS = 0x01000000u, DPRK_ASCII = 0x00800000u, DPRK_NTP = 0x00200000u,
                   DPRK_ADDRESSES = 0x20000000u;
constexpr uint32_t DPRK_VALUES = 0x00100000u;  // the whole kind word, not a bit
// EtherNet/IP assembly record: the pair it fills.
constexpr uint32_t DPRK_EIP_THIRD = 0x20000000u, DPRK_EIP_PRODUCED = 0x00000002u;

enum class DprRecord : uint8_t {
    Egd,           // an EGD exchange
    Ping,          // ping time-out and registers
    EipAssembly,   // an EtherNet/IP assembly
    FtpAccounts,   // FTP accounts
    HttpAccount,   // the HTTP account
    ModbusServer,  // Modbus server settings
    AsciiTcp,      // ASCII-over-TCP references
    NetworkTime,   // network time values and server names
    Addresses,     // addresses, enables and status registers
    Values,        // two values
    Skipped,       // any other kind: read over
};

constexpr DprRecord DprRecordOf(uint32_t k) {
    if (k & DPRK_EGD) return DprRecord::Egd;
    if (k & DPRK_PING) return DprRecord::Ping;
    if (k & DPRK_EIP) return DprRecord::EipAssembly;
    if (k & DPRK_FTP) return DprRecord::FtpAccounts;
    if (k & DPRK_HTTP) return DprRecord::HttpAccount;
    if (k & DPRK_MODBUS) return DprRecord::ModbusServer;
    if (k & DPRK_ASCII) return DprRecord::AsciiTcp;
    if (k & DPRK_NTP) return DprRecord::NetworkTime;
    if (k & DPRK_ADDRESSES) return DprRecord::Addresses;
    if (k == DPRK_VALUES) return DprRecord::Values;
    return DprRecord::Skipped;
}

// ---- fields of each record, byte offsets from its kind word -----------------------------------
// EGD exchange: 4 header words, then items {reference, descriptor} up to a
// reference of 0 (the stop). A descriptor whose top three bits are 100 also
// asks for a status word.
constexpr std::size_t DPRR_EGD_HEADER = 4, DPRR_EGD_ITEMS = 20, DPRR_EGD_ITEM = 8, DPRR_EGD_ITEM_DESC = 4;
constexpr uint32_t DPRR_EGD_STATUS_MASK = 0xE000, DPRR_EGD_STATUS_DESC = 0x8000;
// Ping: 8 words.
constexpr std::size_t DPRR_PING_TIMEOUT = 12, DPRR_PING_TARGET = 20, DPRR_PING_RESULT = 28, DPRR_PING_LAST = 32,
                      DPRR_PING_STOP = 36;
constexpr uint32_t DPRR_PING_REF_BITS = 2;  // count each ping register is validated with
// EtherNet/IP assembly: 6 words; the last two are the register and size.
constexpr std::size_t DPRR_EIP_REF = 20, DPRR_EIP_SIZE = 24, DPRR_EIP_STOP = 28;
// FTP and HTTP accounts: entries of three scrambled strings, a rights (or
// flag) byte, a more-follows byte and 2 further bytes.
constexpr std::size_t DPRR_ACCOUNTS = 4, DPRR_ACCOUNT_MORE = 1, DPRR_ACCOUNT_TAIL = 4;
// Modbus server: a flags word, optional UDP mode and port words, the map
// word, then 8 words (the IEC copy, or skipped with DPRR_MB_SKIP8).
constexpr std::size_t DPRR_MB_FLAGS = 4, DPRR_MB_NEXT = 8, DPRR_MB_MODE_PORT_WORDS = 8, DPRR_MB_WORDS = 32;
constexpr uint32_t DPRR_MB_MODE_PORT = 0x40000, DPRR_MB_SKIP8 = 0x20000;
// ASCII over TCP: 6 references; the second to fifth are validated for 16
// bits, the second only with the port-from-register flag (the first word).
constexpr std::size_t DPRR_ASCII_REFS = 4, DPRR_ASCII_STOP = 28;
constexpr unsigned DPRR_ASCII_COUNT = 6;
constexpr uint32_t DPRR_ASCII_REF_BITS = 16;
// Network time: one word (two u16 values), then the server names.
constexpr std::size_t DPRR_NTP_VALUES = 4, DPRR_NTP_NAMES = 8;
constexpr unsigned DPR_NTP_NAMES = 10;
constexpr std::size_t DPR_NTP_NAME_BYTES = 96;
constexpr std::size_t DPRR_NTP_STOP = DPRR_NTP_NAMES + DPR_NTP_NAMES * DPR_NTP_NAME_BYTES;
// Addresses and enables: the flags word, the gateway, then (after an
// optional DNS word and one further word) pairs {reference, count}.
constexpr std::size_t DPRR_ADDR_FLAGS = 8, DPRR_ADDR_GATEWAY = 12, DPRR_ADDR_PAIR = 8;
// Two values.
constexpr std::size_t DPRR_VALUE0 = 8, DPRR_VALUE1 = 12, DPRR_VALUES_STOP = 16;
// Any other kind: 4 words, then words up to a 0 word (the stop).
constexpr std::size_t DPRR_SKIP_WORDS = 20;

// Flags word of the addresses-and-enables record. "_OFF" bits switch a
// service off; the others set what they name.
constexpr uint32_t DPRF_NETID_OCTET = 0x1, DPRF_EN0_B0_OFF = 0x2, DPRF_ADDR_REG = 0x4, DPRF_MODBUS_OFF = 0x8,
                   DPRF_EGD_OFF = 0x10, DPRF_PING_OFF = 0x20, DPRF_EIP_OFF = 0x40, DPRF_FTP_OFF = 0x80,
                   DPRF_HTTP_OFF = 0x100, DPRF_DHCP = 0x200, DPRF_ASCII_OFF = 0x400, DPRF_MODBUS_PORT_OFF = 0x1000,
                   DPRF_NTP_OFF = 0x2000, DPRF_DNS_WORD = 0x8000, DPRF_DNS_REG = 0x10000,
                   DPRF_MASKGW_WORDS = 0x20000000, DPRF_MASK_REG = 0x40000000, DPRF_GW_REG = 0x80000000;

// ---- the register bridge's request tables: a zero word ends the entries ----------------------
constexpr std::size_t DPR_REQ_ENTRIES = 20, DPR_REQ_ENTRY = 8;

// ---- the parsed record, byte offsets -------------------------------------------------------
constexpr std::size_t DPRC_LENGTH = 0, DPRC_ADDRESS = 4, DPRC_MASK = 8, DPRC_GATEWAY = 12, DPRC_DNS = 16,
                      DPRC_PING_TIMEOUT = 20, DPRC_PING_TARGET = 24, DPRC_PING_RESULT = 28, DPRC_CONST_REF = 32,
                      DPRC_STATUS_REF = 36, DPRC_ADDRESS_REF = 40, DPRC_MASK_REF = 44, DPRC_GATEWAY_REF = 48,
                      DPRC_DNS_REF = 52, DPRC_DHCP = 56, DPRC_ENABLES = 57, DPRC_EGD = 60, DPRC_EIP = 103996,
                      DPRC_FTP = 104020, DPRC_HTTP = 105212, DPRC_MODBUS_IEC = 105808, DPRC_MODBUS = 105852,
                      DPRC_ASCII = 105864, DPRC_NTP = 105888, DPRC_EGD_STATUS_COUNT = 106852, DPRC_VALUES = 106856,
                      DPRC_END = 106864;
// Sizes of its entries.
constexpr std::size_t DPRC_EGD_ENTRY = 812, DPRC_FTP_ENTRY = 596, DPRC_MODBUS_IEC_SIZE = 44, DPRC_MODBUS_SIZE = 12;
