// Layouts of EtherNet/IP messages, byte offsets, all fields little-endian
// unless stated: the encapsulation header, the data of SendRRData and
// SendUnitData, the common packet format (CPF) items, the answers built here
// and the I/O datagrams.
#pragma once

#include <cstddef>
#include <cstdint>

// ---- encapsulation header (24 bytes) --------------------------------------------------------------
// u16 command; u16 length of the data after the header; u32 session handle;
// u32 status; 8 bytes of sender context; u32 options.
constexpr std::size_t EIPH_COMMAND = 0, EIPH_LENGTH = 2, EIPH_SESSION = 4, EIPH_STATUS = 8, EIPH_CONTEXT = 12,
                      EIPH_CONTEXT_BYTES = 8, EIPH_OPTIONS = 20;

// ---- data of a command, from the start of the message ----------------------------------------------
// RegisterSession: u16 protocol version, u16 options.
constexpr std::size_t EIPD_VERSION = 24, EIPD_REG_OPTIONS = 26;
constexpr uint16_t EIP_ENCAP_VERSION = 1;  // of the encapsulation protocol, in these answers
constexpr uint32_t EIPD_REGISTER_BYTES = 4;
// SendRRData and SendUnitData: u32 interface handle, u16 time-out, then the
// CPF items.
constexpr std::size_t EIPD_HANDLE = 24, EIPD_TIMEOUT = 28, EIPD_CPF = 30;
constexpr uint32_t EIPD_SEND_MIN = 8;  // handle, time-out and the item count

// ---- common packet format, from its start ------------------------------------------------------------
// u16 item count, then items {u16 type, u16 length, data}.
constexpr std::size_t CPF_COUNT = 0, CPF_ITEMS = 2;
constexpr std::size_t CPFI_TYPE = 0, CPFI_LENGTH = 2, CPFI_DATA = 4;
// Data of a connected address (u32 connection ID) and a sequenced address
// (u32 connection ID, u32 sequence number).
constexpr std::size_t CPFA_CONN_ID = 0, CPFA_SEQUENCE = 4;
constexpr uint32_t CPFA_CONN_BYTES = 4, CPFA_SEQ_BYTES = 8;
// Data of a socket-address item (big-endian): u16 family, u16 port, u32
// address, 8 zero bytes.
constexpr std::size_t CPFS_FAMILY = 0, CPFS_PORT = 2, CPFS_ADDRESS = 4;
constexpr uint32_t CPFS_BYTES = 16;
constexpr uint16_t CPFS_INET = 2;

// ---- ListServices answer data (26 bytes) -------------------------------------------------------------
// Item count 1, then one item: type, length 20, u16 version, u16 capability
// flags, 16 bytes of name.
constexpr std::size_t EIPL_VERSION = CPF_ITEMS + CPFI_DATA, EIPL_FLAGS = EIPL_VERSION + 2, EIPL_NAME = EIPL_FLAGS + 2;
constexpr uint32_t EIPL_NAME_BYTES = 16, EIPL_ITEM_BYTES = 4 + EIPL_NAME_BYTES,
                   EIPL_BYTES = EIPL_NAME + EIPL_NAME_BYTES;
constexpr uint16_t EIPL_TYPE = 0x0100, EIPL_CIP_OVER_TCP = 0x0020;

// ---- SendRRData answer --------------------------------------------------------------------------------
// A null address item, then the unconnected data item carrying the CIP
// answer; socket-address items follow it.
constexpr std::size_t EIPR_ADDRESS = EIPD_CPF + CPF_ITEMS, EIPR_DATA = EIPR_ADDRESS + CPFI_DATA,
                      EIPR_ANSWER = EIPR_DATA + CPFI_DATA;

// ---- SendUnitData answer -------------------------------------------------------------------------------
// A connected address item (the T->O connection ID), then the connected data
// item: u16 sequence count, the CIP answer.
constexpr std::size_t EIPU_ADDRESS = EIPD_CPF + CPF_ITEMS, EIPU_DATA = EIPU_ADDRESS + CPFI_DATA + CPFA_CONN_BYTES,
                      EIPU_COUNT = EIPU_DATA + CPFI_DATA, EIPU_ANSWER = EIPU_COUNT + 2;

// ---- I/O datagram ----------------------------------------------------------------------------------------
// Item count 2; a sequenced address item; a connected data item whose data
// is the u16 sequence count, then (consumed only) a u32 run/idle header of
// which the first two bytes are kept, then the assembly's data.
constexpr std::size_t EIPIO_ADDRESS = CPF_ITEMS, EIPIO_DATA = EIPIO_ADDRESS + CPFI_DATA + CPFA_SEQ_BYTES;
constexpr uint32_t EIPIO_COUNT_BYTES = 2;
constexpr std::size_t EIPIO_RUN_IDLE = EIPIO_COUNT_BYTES, EIPIO_CONSUMED = EIPIO_RUN_IDLE + 4;  // in the item's data
constexpr std::size_t EIPIO_PRODUCED = EIPIO_DATA + CPFI_DATA + EIPIO_COUNT_BYTES;              // in the datagram
