// Register backup block and the calls the storage module makes into it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "core/image/iecrt.h"

// Backup image: CRC word, length (109,176), copy of the register image,
// validity marker 'Z' at BKP_MARKER, restore flag at BKP_RESTORED.
constexpr std::size_t CRCSIZE_TBL_SIZE = 262144;
constexpr std::size_t BKP_MARKER = 109184;
constexpr std::size_t BKP_RESTORED = 109188;
extern std::array<uint8_t, CRCSIZE_TBL_SIZE> crcsize_tbl;

// Re-reads "bkpreg.dta" and puts the CRC and length of the program, I/O and
// network configurations, protocol-manager and messaging tables back into
// their system-register mirrors.
void RestoreSRReg();
// Erases the backup block (unless already erased) and deletes its file.
void EraseBackupData();
// The IEC runtime's retain variables saved with the register backup to
// "/mnt/cfg/Z7_BKP.RET" and restored from it; true when done.
bool z7_reg_store_backup();
bool z7_reg_load_backup();
// Loads the running application's retained variables from a retain file
// (form as the iec_hooks retain hooks) and copies the file over the
// runtime's own retain file, so that the next start keeps them; true when done.
bool IecRetainRestore(const char *from, IecRetainForm form);
