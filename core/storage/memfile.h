// Memory files (downloaded images with CRC-16 and length) and their storage
// in the configuration flash.
//
// A memory-file block: u32 word whose low 16 bits hold the CRC-16 of the
// data, u32 data length in bytes, then the data from byte 8.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "core/image/bytes.h"
#include "core/image/iecrt.h"

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

// File types of the command protocol's download, verify and upload (0..33;
// the numbers are what the programming tool sends). Types 7 to 11 are the
// graphics files; type 3 is refused whatever its area.
enum MfType : uint8_t {
    MFT_LADDER = 0,  // the ladder program, which may carry an IEC application
    MFT_FORCE = 2,   // the I/O force table, in the register image
    MFT_REFUSED = 3,
    MFT_SETUP = 4,  // the register set-up area, in the register image
    MFT_IO_CONFIG = 5,
    MFT_NET_CONFIG = 6,
    MFT_GRAPHICS_FIRST = 7,
    MFT_GRAPHICS_LAST = 11,
    MFT_SS_INFO = 17,  // the system information record (upload only)
    MFT_MAC_IMAGE = 19,
    MFT_PROMGR = 20,     // the protocol-manager table
    MFT_MESSAGING = 21,  // the messaging table
    MFT_DATALOG = 22,    // the data-log table
    MFT_CANOPEN = 23,    // the CANopen table
    MFT_OLP = 26,        // the on-line change program
    MFT_MQTT = 33,       // the MQTT table
};

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

extern const uint8_t *DrevanoI0_VarLoc;
extern uint8_t fwload_set_def;  // defaults asked for (no register file found)
extern std::array<uint8_t, 32> bbram;
// Bytes of the location table present behind the code image (set with
// DrevanoI0_VarLoc when the program is loaded).
extern uint32_t DrevanoI0_VarLocLen;
// System information record (upload type 17); its second 16-bit word is the
// identity of I/O slot 0.
extern std::array<uint8_t, 98> Cmd_SS_Info;
// Set when a downloaded configuration must be re-applied.
extern uint8_t CmdConfigChanged;
extern uint8_t Cmd_Downloading;  // 1 while a download is in progress

uint32_t LoadProgram();
// Reads the block of one file type (4, 5, 20, 21, 22, 23 or 33) from the
// stored "config.pgm" into its area, the other areas untouched. 1 when the
// whole block was read; 0 for another type, no stored file, or a file cut
// short (the area then holds what was read).
uint32_t LoadConfigBlock(uint32_t type);
uint32_t LoadLadder();
uint32_t SaveProgram();
uint32_t SaveLadder();
uint32_t Z7SaveLadderPgm();
uint32_t DeleteProgram();
// Saves the register image to "autoreg.dta" when it differs from the image
// last saved (the clock records and the %S clock bits aside); 1 when the
// file holds the image.
uint32_t AutoSaveRegisters();
// The register file was written, created or removed by another path: the
// next auto-save writes whatever the image holds.
void MF_RegisterFileChanged();
// The same save from the fatal-signal path: no lock, no stdio, no allocation;
// a file of its own for the temporary copy, so a save the fault interrupted
// (or one running in another thread) is never disturbed.
uint32_t AutoSaveRegistersNow();
// A consistent copy of the register image for the watchdog thread's emergency
// save: the main loop publishes it at the end of every outermost pass (never
// waiting: a copy being saved is left alone), the emergency save writes that
// copy instead of the image the loop may be changing. 0 before any pass.
void MF_PublishRegisters();
uint32_t MF_SavePublished();
uint32_t AutoLoadRegisters();
uint32_t CrtAutoSaveRegFile();
uint32_t DelAutoRegFile();
uint32_t SaveBBRAMFile();
uint32_t BkpRegisters();
uint32_t LoadRegisters();
uint32_t ClrRegFile();
void DrevanoStart();
void LoadDrevano(const uint8_t *data, uint32_t len);
void GenLogFile();
// The largest program a start accepts (a longer one is re-created as invalid).
constexpr uint32_t MF_LADDER_MAX = 2097152;
// 1 when the program area carries an IEC code section.
bool MF_ProgramCarriesIec();
// An on-line change of the running IEC application becomes the program: the
// change image "/mnt/cfg/z7.upd" (also written to "/mnt/cfg/z7.cod") takes the
// place of the code image, behind it what followed the code image in the
// received program when that carries an IEC code section of its own (the
// received program is then used up: its length becomes 0), else in the
// program area (the location table); CRC and length are set and the
// program stored without handing it to the runtime again (it runs the change
// already). 1 when the program area holds the new program; 0 when it keeps
// the stored program (no change image, a program past MF_LADDER_MAX, or a
// read cut short).
uint32_t MF_TakeIecChange();
// Called by a store with the save lock held, before it writes: a test stops a
// save there to fault with the lock taken. Null in the controller.
extern void (*MF_SaveLockedHook)();
// The largest change image the program area can store around the running
// application's location table; 0 when the program carries no application.
uint32_t MF_IecChangeRoom();

// ---- additions of the storage module ------------------------------------------

// The stored files of the configuration flash.
constexpr const char *MF_LADDER_PGM = "/mnt/cfg/ladder.pgm";
constexpr const char *MF_CONFIG_PGM = "/mnt/cfg/config.pgm";
constexpr const char *MF_AUTOREG = "/mnt/cfg/autoreg.dta";
constexpr const char *MF_RETNREG = "/mnt/cfg/retnreg.dta";
constexpr const char *MF_BKPREG = "/mnt/cfg/bkpreg.dta";
constexpr const char *MF_BBRAM = "/mnt/cfg/bbram.dta";
constexpr const char *MF_OEMINFO = "/mnt/cfg/oeminfo";
constexpr const char *MF_LOGFILE = "/mnt/cfg/logfile";
constexpr const char *MF_Z7COD = "/mnt/cfg/z7.cod";
constexpr const char *MF_Z7UPD = "/mnt/cfg/z7.upd";      // the IEC runtime's change image
constexpr const char *MF_Z7APPLIED = "/mnt/cfg/z7.apl";  // the change image last applied, until stored
constexpr const char *MF_Z7RET = "/mnt/cfg/z7.ret";      // the IEC runtime's retain file
constexpr const char *MF_Z7BKP = "/mnt/cfg/Z7_BKP.RET";  // its copy kept with the register backup

// Register-image places of the force table (type 2) and the register set-up
// area (type 4). For these two rows of file_info, area + MF_HDR is the data in
// the register image and the header lives in the register words named by
// crc_var and len_var.
constexpr std::size_t MF_FORCE_BYTE = 640, MF_FORCE_MAX = 256;
constexpr std::size_t MF_SETUP_BYTE = 109088, MF_SETUP_MAX = 88;
constexpr uint32_t W_FORCE_LEN = 142, W_FORCE_CRC = 152;
constexpr uint32_t W_SETUP_LEN = 148, W_SETUP_CRC = 155;

// System information record as an uploadable block (type 17): header with
// the CRC (ss_info_crc) and length (ss_info_size), then a copy of
// Cmd_SS_Info. MF_SsInfoRefresh fills it before an upload.
constexpr std::size_t SS_INFO_SIZE = 98;
extern std::array<uint8_t, MF_HDR + SS_INFO_SIZE> ss_info_bl;
void MF_SsInfoRefresh();

// Persistent status word (SoC persistent register 3) and its bits; the next
// persistent register (4) is cleared together with it on a register-file
// deletion.
constexpr uint32_t PS_AUTOREG_SHORT = 0x04, PS_AUTOREG_CREATE = 0x08, PS_LADDER_WRITE = 0x20, PS_LADDER_CRC = 0x40,
                   PS_SAVE_FAIL = 0x80, PS_CONFIG_SHORT = 0x100, PS_REGFILE_DELETED = 0x8000;
uint32_t MF_PersistGet();
void MF_PersistSet(uint32_t value);
// Sets or clears bits of the persistent status word in one atomic step: the
// main loop and the watchdog thread's emergency save both change it.
void MF_PersistOr(uint32_t bits);
void MF_PersistClear(uint32_t bits);
void MF_PersistNextSet(uint32_t value);

// Crash-safe file store used by every save: the pieces are written to a
// temporary file in the same folder, which (with sync) is flushed, renamed
// over the old file, and the folder is flushed. A crash at any instant leaves
// the old or the new file, never a torn one. abs is a system path. Answers 1
// when the new file is in place, 0 otherwise (the old file is untouched).
struct MfPiece {
    const uint8_t *data;
    std::size_t len;
};
uint32_t MF_WriteFile(const char *abs, std::span<const MfPiece> pieces, bool sync);
// MF_WriteFile, synced, for the fatal-signal path: no lock, no allocation;
// the whole file goes through "<name>.sig".
uint32_t MF_WriteFileNow(const char *abs, std::span<const MfPiece> pieces);
// Deletes a stored file; 1 when it is gone (also when it never existed).
uint32_t MF_RemoveFile(const char *abs);
// Start-up check of the configuration folder before anything is loaded: a
// stored file that exists but cannot be read (another user's, an I/O error,
// a folder where the file should be) is not a missing one, which would be
// replaced by its default. Answers false, with one line on standard error
// naming the file and the error, when one cannot be read; nothing is written.
bool MF_CheckStoredFiles();
// Copies the stored file from over to the same way (synced), reading and
// writing 1,024 bytes at a time; a short write prints "write failed" and the
// old file stays. 1 when the copy is in place, 0 otherwise (from missing).
uint32_t MF_CopyFile(const char *from, const char *to);
