// placeholder until program storage lands: the areas exist, nothing is stored.
#include "core/memfile.h"

std::array<uint8_t, LADDER_BL_SIZE> ladder_bl;
std::array<uint8_t, IO_CONFIG_BL_SIZE> io_config_bl;
std::array<uint8_t, NET_CONFIG_BL_SIZE> net_config_bl;
std::array<uint8_t, PROMGR_TABLE_BL_SIZE> promgr_table_bl;
std::array<uint8_t, SMS_TABLE_BL_SIZE> sms_table_bl;
std::array<uint8_t, DATALOG_TABLE_SIZE> datalog_table;
std::array<uint8_t, COPENDNET_TBL_SIZE> copendnet_tbl;
std::array<uint8_t, LADDER_OLP_SIZE> ladder_olp;
std::array<uint8_t, MQTT_TBL_SIZE> mqtt_tbl;
std::array<uint8_t, FLASH_PARM_TBL_SIZE> flash_parm_tbl;
std::array<FileInfo, FILE_TYPES> file_info{};
uint8_t DrevanoRuntime;
const uint8_t *DrevanoI0_VarLoc;
uint8_t fwload_set_def;
std::array<uint8_t, 32> bbram;

uint32_t LoadProgram() { return 1; }
uint32_t LoadLadder() { return 1; }
uint32_t SaveProgram() { return 1; }
uint32_t SaveLadder() { return 1; }
uint32_t Z7SaveLadderPgm() { return 1; }
uint32_t DeleteProgram() { return 1; }
uint32_t AutoSaveRegisters() { return 0; }
uint32_t AutoLoadRegisters() { return 1; }
uint32_t CrtAutoSaveRegFile() { return 1; }
uint32_t DelAutoRegFile() { return 1; }
uint32_t SaveBBRAMFile() { return 1; }
uint32_t BkpRegisters() { return 1; }
uint32_t LoadRegisters() { return 1; }
uint32_t ClrRegFile() { return 1; }
void DrevanoStart() {}
void LoadDrevano(const uint8_t *, uint32_t) {}
void DrevanoStop() { DrevanoRuntime = 0; }
void GenLogFile() {}
