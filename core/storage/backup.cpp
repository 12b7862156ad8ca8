// Register backup: the backup block kept in memory and in "bkpreg.dta".
#include "core/storage/backup.h"

#include <cstring>

#include "core/image/plcreg.h"
#include "core/storage/memfile.h"
#include "core/storage/nvram.h"

std::array<uint8_t, CRCSIZE_TBL_SIZE> crcsize_tbl;

void RestoreSRReg() {
    LoadRegisters();
    for (unsigned type : {MFT_LADDER, MFT_IO_CONFIG, MFT_NET_CONFIG, MFT_PROMGR, MFT_MESSAGING}) {
        const FileInfo &f = file_info[type];
        PlcWordSet(uint32_t(f.crc_mirror), LE_Get16(f.crc_var));
        PlcDwordSet(uint32_t(f.len_mirror), LE_Get32(f.len_var));
    }
}

void EraseBackupData() {
    if (LE_Get32(&crcsize_tbl[4]) != 0xFFFFFFFFu) {
        SYS_BlockErase(crcsize_tbl.data(), uint32_t(CRCSIZE_TBL_SIZE));
        PlcWordSet(W_BACKUP, uint16_t(PlcWord(W_BACKUP) & ~0x000Cu));
    }
    ClrRegFile();
}

bool z7_reg_store_backup() { return IecHook_RetainSave(MF_Z7BKP, IecRetainForm::Backup); }

bool z7_reg_load_backup() { return IecRetainRestore(MF_Z7BKP, IecRetainForm::Backup); }

bool IecRetainRestore(const char *from, IecRetainForm form) {
    // A file the running application does not take (another application's)
    // never replaces its own retain file.
    if (!IecHook_RetainLoad(from, form)) return false;
    return MF_CopyFile(from, MF_Z7RET) != 0;
}
