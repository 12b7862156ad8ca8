// Register backup requests: the request bits of word 291 that store, restore
// and erase the backup block, make and load the clone on the card, with their
// confirmation handshakes. One action at a time, looked at once per pass.
#include "media/backup.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "core/image/plcreg.h"
#include "core/image/util.h"
#include "core/image/syshook.h"
#include "core/storage/backup.h"
#include "core/storage/nvram.h"
#include "core/storage/memfile.h"
#include "media/cfm.h"
#include "media/clone.h"
#include "media/filex.h"

uint8_t Manual_test;
uint8_t Mrstate_flag;
uint8_t Clone_Sure_Flag;
uint8_t Clon_LoadClone;

namespace {

constexpr uint16_t B_RESTORED = 1u << 2, B_PRESENT = 1u << 3, B_STORE = 1u << 6, B_ERASE = 1u << 7,
                   B_MAKE_CLONE = 1u << 8, B_LOAD_CLONE = 1u << 9, B_MAKE_FAILED = 1u << 10, B_LOAD_FAILED = 1u << 11,
                   B_LOAD_CONFIRM = 1u << 12, B_RESTORE = 1u << 13, B_RESTORE_CONFIRM = 1u << 14;
constexpr uint8_t kMarker = 'Z';

uint16_t Bits() { return PlcWord(W_BACKUP); }
void Set(uint16_t b) { PlcWordSet(W_BACKUP, uint16_t(Bits() | b)); }
void Clear(uint16_t b) { PlcWordSet(W_BACKUP, uint16_t(Bits() & ~b)); }

bool BackupGood() {
    const uint32_t len = LE_Get32(&crcsize_tbl[4]);
    if (len != PLC_REG_SIZE) return false;
    return (LE_Get32(&crcsize_tbl[0]) & 0xFFFFu) == crc16(&crcsize_tbl[8], PLC_REG_SIZE);
}

// Restore handshake: bits 13 and 14.
void ManualRegbackupScan() {
    const uint16_t w = Bits();
    if (Mrstate_flag == 0) {
        if (w & B_RESTORE) {
            Manual_test = (w & B_PRESENT) ? 1 : 5;
            Mrstate_flag = 'c';
        }
        return;
    }
    if (Mrstate_flag != 1) return;
    if ((w & B_RESTORE) && (w & B_RESTORE_CONFIRM)) return;  // waits
    Manual_test = (w & B_RESTORE) ? 2 : 5;
    Mrstate_flag = 'c';
}

// Action 6, the data clone on the card, in steps: the card's free space,
// the program clone (card request 20), then "A:\clone.dat". A failure at any
// step ends the request with bit 10 set and bit 8 cleared.
uint8_t clone_step;
uint32_t clone_free_kb;
char filespec[32];

void MakeCloneEnd(bool failed) {
    Clear(B_MAKE_CLONE);
    if (failed) Set(B_MAKE_FAILED);
    clone_step = 0;
    Manual_test = 0;
}

void MakeCloneStep() {
    switch (clone_step) {
    case 0: {
        std::array<uint16_t, 10> w{};
        CFM_GetParm(w.data());
        clone_free_kb = w[0] | (uint32_t(w[1]) << 16);
        std::snprintf(filespec, sizeof filespec, "A:\\AUTOLOAD.PGM");
        // Bit 10 tells about the latest attempt: a new one starts it clear.
        Clear(B_MAKE_FAILED);
        clone_step = 1;
        return;
    }
    case 1:
        if (!CFM_IsBlkReady(pDirCFCB)) return;
        CFM_LoadReq(pDirCFCB, DRIVE_A, 20, filespec, nullptr);
        clone_step = 2;
        return;
    case 2: {
        int16_t r = 0;
        if (CFM_PollReq(pDirCFCB, &r) == 2) return;
        if (r != 0) return MakeCloneEnd(true);
        // The free space is in KB; the clone needs 109,178 bytes.
        if (uint64_t(clone_free_kb) * 1024 <= 109177) return MakeCloneEnd(true);
        // Bit 8 is cleared before the image is copied, so the clone never
        // carries the request along to the controller that loads it.
        Clear(B_MAKE_CLONE);
        return MakeCloneEnd(MakeDat("A:\\clone.dat") != 0);
    }
    default: return MakeCloneEnd(true);
    }
}

// Action 8, a program load from the card, in steps: requests 16 (the
// controller's information), 17 (validate the file) and 18 (load), each
// polled to its end; an error stops the sequence.
uint8_t load_step;
std::array<uint8_t, 80> SIFile;

bool CheckCloneError(int16_t r) {
    if (r == 0) return false;
    if (Clon_LoadClone) Set(B_LOAD_FAILED);
    // A failed automatic load ends; it is not started again in every pass.
    if (Sys_AutoLoad) {
        Sys_AutoLoad = 0;
        Sys_ManualLoadKey = 0;
        Sys_AppLoad = 0;
    }
    Clon_LoadClone = 0;
    Clear(B_LOAD_CLONE);
    load_step = 0;
    Manual_test = 9;
    return true;
}

void LoadCloneStep() {
    switch (load_step) {
    case 0:
        std::snprintf(filespec, sizeof filespec, "%s",
                      Sys_LoadPGM_Status == 0 ? "A:\\AUTOLOAD.PGM" : "A:\\DEFAULT.PGM");
        // Bit 11 likewise tells about the latest load only.
        Clear(B_LOAD_FAILED);
        load_step = 1;
        return;
    case 1:
    case 3:
    case 5:
        if (!CFM_IsBlkReady(pDirCFCB)) return;
        if (load_step == 1)
            CFM_LoadReq(pDirCFCB, DRIVE_A, 16, SIFile.data(), nullptr);
        else if (load_step == 3)
            CFM_LoadReq(pDirCFCB, DRIVE_A, 17, filespec, SIFile.data());
        else
            CFM_LoadReq(pDirCFCB, DRIVE_A, 18, nullptr, nullptr);
        load_step++;
        return;
    case 2:
    case 4:
    case 6: {
        int16_t r = 0;
        if (CFM_PollReq(pDirCFCB, &r) == 2) return;
        if (CheckCloneError(r)) return;
        if (load_step == 6) {  // a good load restarts; here only after a failure
            load_step = 0;
            Manual_test = 9;
            return;
        }
        load_step++;
        return;
    }
    default:
        load_step = 0;
        Manual_test = 9;
        return;
    }
}

}  // namespace

uint32_t StoreBBRAM() {
    Clear(B_STORE);
    SYS_BlockErase(crcsize_tbl.data(), uint32_t(CRCSIZE_TBL_SIZE));
    // The block erase covers the first 1,024 bytes: the markers behind the
    // image are erased here, so that the restore flag reads 255.
    std::fill(crcsize_tbl.begin() + BKP_MARKER, crcsize_tbl.begin() + BKP_RESTORED + 4, uint8_t(0xFF));
    std::memcpy(&crcsize_tbl[8], plc_reg.data(), PLC_REG_SIZE);
    LE_Put32(&crcsize_tbl[0], crc16(&crcsize_tbl[8], PLC_REG_SIZE));
    LE_Put32(&crcsize_tbl[4], uint32_t(PLC_REG_SIZE));
    // The register copy above holds word 291 as it was; the status bits are
    // set after it, as the backup describes itself only through its markers.
    Set(B_PRESENT);
    Clear(B_RESTORED);
    crcsize_tbl[BKP_MARKER] = kMarker;
    if (BkpRegisters()) {
        // The IEC application's retained variables go with this backup only:
        // saved once the register file is in place, and a retain file of an
        // earlier backup never stays beside it.
        if (!DrevanoRuntime || !z7_reg_store_backup()) MF_RemoveFile(MF_Z7BKP);
        return 1;
    }
    // The file still holds the backup stored before (or none): the block goes
    // back to it, so that the status bits and a restore follow the file, and
    // the failure shows in the persistent storage-fault word.
    MF_PersistOr(PS_SAVE_FAIL);
    // The user who asked for the store sees the failure now, not after the
    // next start.
    PlcWordSet(W_STORFAULT, uint16_t(MF_PersistGet()));
    SYS_BlockErase(crcsize_tbl.data(), uint32_t(CRCSIZE_TBL_SIZE));
    crcsize_tbl[BKP_MARKER] = 0;
    crcsize_tbl[BKP_RESTORED] = 255;
    LoadRegisters();
    if (crcsize_tbl[BKP_MARKER] == kMarker) {
        Set(B_PRESENT);
        if ((crcsize_tbl[BKP_RESTORED] & 1) == 0) Set(B_RESTORED);
    } else {
        Clear(B_PRESENT | B_RESTORED);
    }
    return 0;
}

bool RestoreBBRAMImage(uint32_t failsafe) {
    if (!BackupGood()) return false;
    const uint8_t mode = plc_reg[2 * W_MODE];
    std::memcpy(plc_reg.data(), &crcsize_tbl[8], PLC_REG_SIZE);
    plc_reg[2 * W_MODE] = mode;
    if (DrevanoRuntime) z7_reg_load_backup();
    Set(B_PRESENT);
    if (failsafe == 1) {
        Set(B_RESTORED);
        crcsize_tbl[BKP_RESTORED] = 0;
        BkpRegisters();
    }
    return true;
}

void RestoreBBRAM(uint32_t failsafe) {
    if (!RestoreBBRAMImage(failsafe)) return;
    AutoSaveRegisters();
    SysHook_WarmReset();
}

void FailSafeFlagCheck() {
    if (Manual_test != 0) return;
    const uint16_t w = Bits();
    // A restore under way (asked or waiting for confirmation) holds every
    // other request: a store carried out now would overwrite the backup the
    // user is about to confirm.
    if ((w & (B_RESTORE | B_RESTORE_CONFIRM)) || Mrstate_flag != 0) {
        ManualRegbackupScan();
        return;
    }
    if (w & B_STORE)
        Manual_test = 3;
    else if (w & B_ERASE)
        Manual_test = 4;
    else if (w & B_MAKE_CLONE)
        Manual_test = 6;
    else if (w & B_LOAD_CLONE) {
        if (!Clone_Sure_Flag) {
            Manual_test = 7;
        } else if (!(w & B_LOAD_CONFIRM)) {
            Manual_test = 8;
            Clon_LoadClone = 1;
        }
    } else if (Clone_Sure_Flag) {
        Manual_test = 9;
    }
}

void ManualRestoreExecute() {
    switch (Manual_test) {
    case 0:
        // An automatic program load: the LOAD button, or asked at start-up
        // once the card has answered a few requests.
        if (Sys_AutoLoad && (Sys_ManualLoadKey || (Sys_AppLoad && Sys_CFinitTime > 5))) {
            Manual_test = 8;
            Clon_LoadClone = 0;
            return;
        }
        // Status bits from the backup image.
        if (crcsize_tbl[BKP_MARKER] == kMarker) {
            Set(B_PRESENT);
            if ((crcsize_tbl[BKP_RESTORED] & 1) == 0)
                Set(B_RESTORED);
            else
                Clear(B_RESTORED);
        } else {
            Clear(B_PRESENT | B_RESTORED);
        }
        return;
    case 1:
        Set(B_RESTORE_CONFIRM);
        Mrstate_flag = 1;
        Manual_test = 0;
        return;
    case 2:
        Clear(B_RESTORE);
        Mrstate_flag = 0;
        Manual_test = 0;
        RestoreBBRAM(0);  // resets when the backup is good
        Clear(B_RESTORE_CONFIRM);
        return;
    case 3:
        StoreBBRAM();
        Manual_test = 0;
        return;
    case 4:
        EraseBackupData();
        Clear(B_ERASE);
        Manual_test = 0;
        return;
    case 5:
        Clear(B_RESTORE | B_RESTORE_CONFIRM);
        Mrstate_flag = 0;
        Manual_test = 0;
        return;
    case 6: MakeCloneStep(); return;
    case 7:
        Set(B_LOAD_CONFIRM);
        Clone_Sure_Flag = 1;
        Manual_test = 0;
        return;
    case 8: LoadCloneStep(); return;
    case 9:
        Clear(B_LOAD_CONFIRM | B_LOAD_CLONE);
        Sys_LoadPGM_Status = 0;
        Clone_Sure_Flag = 0;
        Manual_test = 0;
        return;
    default: Manual_test = 0; return;
    }
}
