// Firmware update from the SD card. The file is looked for before the
// controller is stopped; a copy that fails or comes out short reports bit 14
// of word 281 and never reboots.
#include "media/cfupdate.h"

#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/image/syshook.h"
#include "core/image/plcreg.h"
#include "core/storage/memfile.h"
#include "media/cfapi.h"
#include "media/filex.h"
#include "platform/plat.h"

uint16_t controller_mode;
uint8_t FwUpdateBusy;

namespace {

constexpr uint16_t U_ROOT_FILE = 0x100, U_FOLDER = 0x200, U_KEEP = 0x400, U_ERASE = 0x800, U_FAILED = 0x4000,
                   U_NOT_NEWER = 0x8000;
constexpr uint32_t W_INITRDVER = 54279;
constexpr std::size_t kPathMax = 48;

CfmListReq fw_list{0, "UPDATE\\*.*", 1};

void UpdSet(uint16_t b) { PlcWordSet(W_UPDATE, uint16_t(PlcWord(W_UPDATE) | b)); }
void UpdClear(uint16_t b) { PlcWordSet(W_UPDATE, uint16_t(PlcWord(W_UPDATE) & ~b)); }

// Size of a file under the root, -1 when missing.
long long HostSize(const char *abs) {
    char p[FX_PATH_MAX];
    struct stat st {};
    if (!Fx_MediaHost(abs, p, sizeof p) || stat(p, &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    return st.st_size;
}

bool Opens(const char *abs) {
    char p[FX_PATH_MAX];
    if (PLAT_Path(abs, p, sizeof p) == nullptr) return false;
    const int fd = open(p, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    close(fd);
    return true;
}

// The card's block device: "/dev/<mmcblk..>p1" or "/dev/<sd..>1", else the
// whole device when it opens.
bool FindDevice(char *out, std::size_t size) {
    char sys[FX_PATH_MAX];
    if (PLAT_Path("/sys/block", sys, sizeof sys) == nullptr) return false;
    DIR *d = opendir(sys);
    if (d == nullptr) return false;
    bool found = false;
    while (dirent *e = readdir(d)) {
        const bool mmc = std::strstr(e->d_name, "mmcblk") != nullptr;
        if (!mmc && std::strstr(e->d_name, "sd") == nullptr) continue;
        if (std::strlen(e->d_name) > 10) continue;
        std::snprintf(out, size, "/dev/%s%s", e->d_name, mmc ? "p1" : "1");
        if (Opens(out)) {
            found = true;
            break;
        }
        std::snprintf(out, size, "/dev/%s", e->d_name);
        if (Opens(out)) {
            found = true;
            break;
        }
    }
    closedir(d);
    return found;
}

// A path on the card with '/' separators, at most 48 characters.
bool CardPath(const char *path, char *out) {
    const std::size_t n = std::strlen(path);
    if (n == 0 || n > kPathMax || Fx_PathLeaves(path)) return false;
    for (std::size_t i = 0; i <= n; ++i) out[i] = path[i] == '\\' ? '/' : path[i];
    return true;
}

}  // namespace

bool FwFolderName(const char *name, uint32_t *version, uint32_t *build) {
    if (name == nullptr || name[0] != 'V' || std::strlen(name) != 8) return false;
    uint32_t v = 0;
    for (int i = 1; i < 8; ++i) {
        if (name[i] < '0' || name[i] > '9') return false;
        v = v * 10 + uint32_t(name[i] - '0');
    }
    *version = v / 1000;
    *build = v % 1000;
    return true;
}

uint32_t SD_check_fw_file(const char *path) {
    char rel[kPathMax + 1], abs[kPathMax + 16];
    if (!CardPath(path, rel)) return 0;
    if (CF_GetStatus(DRIVE_A) != CF_OK) return 0;
    std::snprintf(abs, sizeof abs, "/mnt/USB0/%s", rel);
    if (HostSize(abs) <= 0) return 0;
    controller_mode = PlcWord(W_MODE);
    SysHook_SetPlcMode(0);
    return 1;
}

uint32_t Load_fw_file_from_mSD(const char *path) {
    UpdClear(U_FAILED | U_NOT_NEWER);
    char rel[kPathMax + 1];
    char dev[64];
    auto fail = [](uint32_t code) {
        SysHook_SetPlcMode(controller_mode & 0xFF);
        UpdSet(U_FAILED);
        return code;
    };
    if (!CardPath(path, rel) || !FindDevice(dev, sizeof dev)) return fail(1);
    char src[kPathMax + 16];
    std::snprintf(src, sizeof src, "/mnt/USB/%s", rel);
    char cmd[160];
    std::snprintf(cmd, sizeof cmd, "mount -t vfat %s /mnt/USB", dev);
    PLAT_System(cmd);
    // A name that is no file on the card (a symbolic link off it among them)
    // is never copied, and the firmware in place stays.
    if (HostSize(src) <= 0) return fail(2);
    PLAT_System("rm /mnt/firm/*");
    std::snprintf(cmd, sizeof cmd, "cp /mnt/USB/%s /mnt/firm/firmware", rel);
    const int cp = PLAT_System(cmd);
    const int sync = PLAT_System("sync");
    // The copy must be whole: same size as the file on the card.
    const long long want = HostSize(src), got = HostSize("/mnt/firm/firmware");
    if (cp != 0 || sync != 0 || want <= 0 || got != want) return fail(sync != 0 ? uint32_t(sync) : 2);
    SysHook_SetPlcMode(controller_mode & 0xFF);
    if (PlcWord(W_INITRDVER) != 1) PLAT_System("rm /mnt/firm/qmz7");
    if (!(PlcWord(W_UPDATE) & U_KEEP)) UpdClear(U_FOLDER);
    UpdClear(U_ROOT_FILE);
    SysHook_StopWatchdog();
    if (PlcWord(W_UPDATE) & U_ERASE) {
        DeleteProgram();
        DelAutoRegFile();
        ClrRegFile();
    } else {
        SaveProgram();
        AutoSaveRegisters();
    }
    MF_PersistSet(0x8000);
    usleep(50);  // the two persistent registers are written 50 microseconds apart
    MF_PersistNextSet(0);
    PLAT_System("reboot");
    PLAT_Reboot();
}

uint16_t GetFirmwareDir(uint8_t drive, CfmListReq *req) {
    if (CF_GetStatus(drive) != CF_OK || FwUpdateBusy) {
        UpdClear(U_FAILED | U_NOT_NEWER);
        return 1;
    }
    // A listing that fails or finds nothing is an empty one: the steps below
    // still clear bit 15 and store the count (0), so a program waiting for
    // bit 15 sees the request end.
    const uint16_t r = CFM_GetDirectory(drive, req);
    int best = -1;
    uint32_t best_v = 0, best_b = 0;
    for (uint32_t k = 0; k < nElements; ++k) {
        const uint16_t i = cfmListOrder[k];
        const uint8_t *x = cfmList[i].data();
        if ((x[271] & 0x7F) != FX_DIRECTORY) continue;
        char name[9];
        std::memcpy(name, x, 8);
        name[8] = 0;
        uint32_t v = 0, b = 0;
        if (x[8] != 0 || x[256] != 0 || !FwFolderName(name, &v, &b)) continue;
        if (best < 0 || v > best_v || (v == best_v && b > best_b)) {
            best = int(i);
            best_v = v;
            best_b = b;
        }
    }
    const uint32_t run_v = PlcWord(W_FWVER), run_b = PlcWord(W_FWBUILD);
    if (best >= 0 && (best_v > run_v || (best_v == run_v && best_b > run_b))) {
        char path[kPathMax + 1];
        std::snprintf(path, sizeof path, "UPDATE/V%04u%03u/%s", best_v, best_b, FW_MODEL_STEM);
        if (SD_check_fw_file(path)) {
            FwUpdateBusy = 1;
            Load_fw_file_from_mSD(path);
            FwUpdateBusy = 0;  // back only on failure (bit 14 set there)
        } else {
            UpdClear(U_NOT_NEWER);
        }
    } else {
        UpdClear(U_NOT_NEWER);
    }
    req->count = nElements;
    return r;
}

void CFM_FirmwareCheck() {
    const uint16_t w = PlcWord(W_UPDATE);
    if (w & U_ROOT_FILE) {
        if (SD_check_fw_file(FW_MODEL_STEM)) {
            if (Load_fw_file_from_mSD(FW_MODEL_STEM) != 0)
                UpdSet(U_FAILED);
            else
                UpdClear(U_ROOT_FILE);
        }
        return;
    }
    if (!(w & U_FOLDER)) return;
    if (!CFM_IsBlkReady(pLoadSDFirmwareCFCB)) return;
    CFM_LoadReq(pLoadSDFirmwareCFCB, DRIVE_A, 27, &fw_list, nullptr);
}
