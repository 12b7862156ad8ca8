// Memory files (downloaded images with CRC-16 and length) and their storage
// in the configuration flash.
//
// A memory-file block: u32 word whose low 16 bits hold the CRC-16 of the
// data, u32 data length in bytes, then the data from byte 8.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "core/bytes.h"

constexpr std::size_t MF_HDR = 8;

constexpr std::size_t LADDER_BL_SIZE = 4194304;
constexpr std::size_t IO_CONFIG_BL_SIZE = 1040384;
constexpr std::size_t NET_CONFIG_BL_SIZE = 4096;
constexpr std::size_t PROMGR_TABLE_BL_SIZE = 4194304;
constexpr std::size_t SMS_TABLE_BL_SIZE = 131072;
constexpr std::size_t DATALOG_TABLE_SIZE = 131072;
constexpr std::size_t COPENDNET_TBL_SIZE = 131072;
constexpr std::size_t LADDER_OLP_SIZE = 4194304;
constexpr std::size_t MQTT_TBL_SIZE = 8388608;
constexpr std::size_t FLASH_PARM_TBL_SIZE = 65536;

extern std::array<uint8_t, LADDER_BL_SIZE> ladder_bl;
extern std::array<uint8_t, IO_CONFIG_BL_SIZE> io_config_bl;
extern std::array<uint8_t, NET_CONFIG_BL_SIZE> net_config_bl;
extern std::array<uint8_t, PROMGR_TABLE_BL_SIZE> promgr_table_bl;
extern std::array<uint8_t, SMS_TABLE_BL_SIZE> sms_table_bl;
extern std::array<uint8_t, DATALOG_TABLE_SIZE> datalog_table;
extern std::array<uint8_t, COPENDNET_TBL_SIZE> copendnet_tbl;
extern std::array<uint8_t, LADDER_OLP_SIZE> ladder_olp;
extern std::array<uint8_t, MQTT_TBL_SIZE> mqtt_tbl;
extern std::array<uint8_t, FLASH_PARM_TBL_SIZE> flash_parm_tbl;

// Header fields of a memory-file block.
inline uint16_t MF_Crc(const uint8_t *block) { return LE_Get16(block); }
inline uint32_t MF_Len(const uint8_t *block) { return LE_Get32(block + 4); }
inline void MF_SetHeader(uint8_t *block, uint16_t crc, uint32_t len) {
    LE_Put32(block, crc);
    LE_Put32(block + 4, len);
}

// One row per file type of the command protocol (0..33).
struct FileInfo {
    uint8_t *area;          // block start (header at 0, data at 8); null: no area
    std::size_t area_size;  // bytes of the block, header included
    uint8_t *crc_var;       // where the CRC is kept (16 bits, little-endian)
    uint8_t *len_var;       // where the length is kept (32 bits, little-endian)
    int32_t crc_mirror;     // register word mirroring the CRC, -1 none
    int32_t len_mirror;     // first of two register words mirroring the length, -1 none
    uint16_t erase_kb;
    uint8_t erase;
};
constexpr unsigned FILE_TYPES = 34;
extern std::array<FileInfo, FILE_TYPES> file_info;

extern uint8_t DrevanoRuntime;      // an IEC application is in use
extern const uint8_t *DrevanoI0_VarLoc;
extern uint8_t fwload_set_def;      // defaults asked for (no register file found)
extern std::array<uint8_t, 32> bbram;

uint32_t LoadProgram();
uint32_t LoadLadder();
uint32_t SaveProgram();
uint32_t SaveLadder();
uint32_t Z7SaveLadderPgm();
uint32_t DeleteProgram();
uint32_t AutoSaveRegisters();
uint32_t AutoLoadRegisters();
uint32_t CrtAutoSaveRegFile();
uint32_t DelAutoRegFile();
uint32_t SaveBBRAMFile();
uint32_t BkpRegisters();
uint32_t LoadRegisters();
uint32_t ClrRegFile();
void DrevanoStart();
void LoadDrevano(const uint8_t *data, uint32_t len);
void DrevanoStop();
void GenLogFile();
