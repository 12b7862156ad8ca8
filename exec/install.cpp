// MAC IDs: the maker's identifier, the text form of a MAC, and the MAC image
// downloaded by the programming tool.
#include "exec/install.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "exec/mainloop.h"
#include "exec/sys.h"
#include "core/image/iecrt.h"
#include "core/image/timebase.h"
#include "platform/plat.h"
#include "core/image/plcreg.h"
#include "core/storage/memfile.h"
#include "media/filex.h"
#include "net/net.h"

namespace {
int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}
}  // namespace

uint32_t convert_MACSTR_MACINT(const char *text, uint8_t *out) {
    if (text == nullptr) return 0;
    for (int i = 0; i < 6; ++i) {
        const char *p = text + 3 * i;
        const int hi = HexDigit(p[0]);
        const int lo = hi < 0 ? -1 : HexDigit(p[1]);
        if (hi < 0 || lo < 0) return 0;
        out[i] = uint8_t(hi * 16 + lo);
        if (i < 5 && p[2] == 0) return 0;
    }
    return std::memcmp(out, MAKER_OUI, 3) == 0 ? 1 : 0;
}

void convert_BYTE_ASCIIHEX(char *out, uint8_t byte) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    out[0] = kHex[byte >> 4];
    out[1] = kHex[byte & 0x0F];
    out[2] = 0;
}

bool SaveAndSetMACID() {
    if (std::memcmp(&tinyImage[8], MAKER_OUI, 3) != 0) return false;
    const std::array<MfPiece, 1> pieces{{{tinyImage.data(), tinyImage.size()}}};
    if (!MF_WriteFile("/mnt/cfg/TINYIMGE.BIN", pieces, true)) return false;
    Etn_SetMacId(&tinyImage[8], 0);
    plc_reg[2 * W_MAC] = tinyImage[13];
    plc_reg[2 * W_MAC + 1] = tinyImage[12];
    plc_reg[2 * W_MAC + 2] = tinyImage[11];
    plc_reg[2 * W_MAC + 3] = tinyImage[10];
    return true;
}

// ---- pins --------------------------------------------------------------------------------------

// Maps the SoC's pin-control block (0x70000 bytes at 0x80018000) before any
// other register use, so that every later window (the persistent status
// word, the reset register) lies inside this one mapping. The pin values
// themselves are the board's.
void GPIOInit() {
    static volatile uint32_t *pins = PLAT_SocMap(0x80018000u, 0x70000u);
    (void)pins;
}

// ---- installation and the LOAD update -------------------------------------------------------

char InstallMessage[256];
pid_t install_blinker;

namespace {

constexpr const char *kFirmwareNames[] = {"vbx310n", "vbx310", "vbx310c", "vbx310j", "vbx310d", "vbx420",  "vbx420c",
                                          "vbx420j", "vbx530", "vbx530c", "vbx530j", "vbx640",  "vbx640c", "vbx640j"};
constexpr const char *kDevices[] = {"/dev/mmcblk0p1", "/dev/mmcblk0", "/dev/sda1", "/dev/sda"};

void Message(const char *text) {
    std::snprintf(InstallMessage, sizeof InstallMessage, "%s", text);
    std::printf("%s\n", text);
    std::fflush(stdout);
}

// Names on the installation medium never follow a symbolic link off it.
bool HostFile(const char *abs, char *out, std::size_t size) { return Fx_MediaHost(abs, out, size); }

bool Exists(const char *abs) {
    char p[512];
    struct stat st {};
    return HostFile(abs, p, sizeof p) && stat(p, &st) == 0;
}

long long Size(const char *abs) {
    char p[512];
    struct stat st {};
    if (!HostFile(abs, p, sizeof p) || stat(p, &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    return st.st_size;
}

const char *FindDevice() {
    for (const char *d : kDevices) {
        char p[512];
        if (!HostFile(d, p, sizeof p)) continue;
        const int fd = open(p, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd >= 0) {
            close(fd);
            return d;
        }
    }
    return nullptr;
}

const char *FindFirmware(const char *media) {
    for (const char *n : kFirmwareNames) {
        char abs[96];
        std::snprintf(abs, sizeof abs, "%s/%s", media, n);
        if (Size(abs) > 0) return n;
    }
    return nullptr;
}

// "cp <media>/<file>  <target>" (two blanks) and a check that the copy is whole.
bool CopyFirmware(const char *media, const char *file) {
    const char *target = PlcWord(W_INITRD_VER) == 1 ? "/mnt/firm/qmz7" : "/mnt/firm/firmware";
    char cmd[160], src[96];
    std::snprintf(src, sizeof src, "%s/%s", media, file);
    std::snprintf(cmd, sizeof cmd, "cp %s  %s", src, target);
    const int r = PLAT_System(cmd);
    return r == 0 && Size(target) == Size(src) && Size(src) > 0;
}

void DeleteProgramAndRegisters() {
    // The IEC application stops first, so that the reset after this writes
    // no retained values of it; its retain file goes with the registers.
    const bool iec = DrevanoRuntime != 0;
    if (iec) DrevanoStop();
    DeleteProgram();
    DelAutoRegFile();
    ClrRegFile();
    if (iec) IecHook_DeleteRetain();
}

// Runs the commands of "update.init" (unpacked to /dev/shm/update).
void RunUpdateInit(const char *media) {
    char abs[96], cmd[160];
    std::snprintf(abs, sizeof abs, "%s/update.init", media);
    if (!Exists(abs)) return;
    char p[512];
    if (!HostFile("/proc/cmdline", p, sizeof p)) return;
    FILE *f = std::fopen(p, "r");
    if (f == nullptr) return;
    char line[512] = {};
    const bool ubifs = std::fgets(line, sizeof line, f) != nullptr && std::strstr(line, "rootfstype=ubifs");
    std::fclose(f);
    if (!ubifs) return;
    PLAT_System("mount -t ubifs ubi0:rootfs1 /mnt/rwfs");
    PLAT_System("mkdir /dev/shm/update");
    std::snprintf(cmd, sizeof cmd, "unzip %s -d /dev/shm/update", abs);
    PLAT_System(cmd);
    if (!HostFile("/dev/shm/update/path.info", p, sizeof p)) return;
    f = std::fopen(p, "r");
    if (f == nullptr) return;
    int c;
    std::size_t n = 0;
    char text[256];
    // A line longer than the buffer is refused whole: a command cut short
    // (a path, a size, a target) may do something else entirely.
    bool too_long = false;
    const auto run = [&] {
        text[n] = 0;
        if (too_long)
            Message("Update command too long");
        else if (n > 0)
            PLAT_System(text);
        n = 0;
        too_long = false;
    };
    // A line ends at CR, and also at a bare LF: a list written with Unix
    // line ends would otherwise run as one command of every line run together.
    while ((c = std::fgetc(f)) != EOF) {
        if (c == '\r' || c == '\n') {
            run();
        } else if (c >= 0x20) {
            if (n < sizeof text - 1)
                text[n++] = char(c);
            else
                too_long = true;
        }
    }
    run();
    std::fclose(f);
}

constexpr const char *kBlinkerName = "ledblink";

// True when the kernel's mount table ("/proc/mounts") holds the folder
// mounted read-only ("ro" among its options).
bool MountedReadOnly(const char *folder) {
    char p[512];
    if (!HostFile("/proc/mounts", p, sizeof p)) return false;
    FILE *f = std::fopen(p, "r");
    if (f == nullptr) return false;
    char line[512];
    bool ro = false;
    // The last entry of the folder is the mount in force.
    while (std::fgets(line, sizeof line, f) != nullptr) {
        char dev[160], dir[160], type[64], opts[256];
        if (std::sscanf(line, "%159s %159s %63s %255s", dev, dir, type, opts) != 4) continue;
        if (std::strcmp(dir, folder) != 0) continue;
        ro = false;
        for (char *o = std::strtok(opts, ","); o != nullptr && !ro; o = std::strtok(nullptr, ","))
            ro = std::strcmp(o, "ro") == 0;
    }
    std::fclose(f);
    return ro;
}

// Waits seconds, then until LOAD is released; the blinker shows the wait
// (the service tick would step the buttons that called the update).
void PauseAndRelease(uint32_t seconds) {
    for (uint32_t i = 0; i < seconds * 100 && !Main_StopRequested; ++i) usleep(10000);
    while ((PLAT_Buttons() & PLAT_BTN_LOAD) && !Main_StopRequested) usleep(10000);
}

// The LED blinker, a child process that toggles both LEDs every 500 ms
// while an update or the installation works (the loop does not run then).
void BlinkerStart() {
    if (install_blinker == 0) install_blinker = SetStatusLeds_fork();
}
void BlinkerStop() {
    if (install_blinker == 0) return;
    PLAT_ChildKill(kBlinkerName);  // by its process id, from the table of children
    install_blinker = 0;
}

// The endless LED signal, with the service tick running; on the host it ends
// when the process is asked to stop. burst 0: both LEDs show the code led;
// else bursts of `burst` flashes following the tick's flash phase, 2 s dark
// between them.
void Endless(uint32_t led, uint32_t burst) {
    constexpr uint32_t kDark = 200;  // 2 s in 10 ms units
    uint32_t flashes = 0, dark_from = 0;
    uint8_t phase = sysFlash;
    bool dark = false;
    for (;;) {
        if (Main_StopRequested) {
            std::fflush(stdout);
            return;
        }
        TimerISR();
        if (burst == 0) {
            SYS_SetStatusLeds(led, led);
        } else if (dark) {
            SYS_SetStatusLeds(0, 0);
            if (sysDTic - dark_from >= kDark) {
                dark = false;
                flashes = 0;
                phase = sysFlash;
            }
        } else {
            if (sysFlash != phase) {
                phase = sysFlash;
                // One flash ends when the phase falls.
                if (!sysFlash && ++flashes >= burst) {
                    dark = true;
                    dark_from = sysDTic;
                }
            }
            const uint32_t on = !dark && sysFlash ? 1 : 0;
            SYS_SetStatusLeds(on, on);
        }
        usleep(10000);
    }
}

// The card mounted for the installation: on "/mnt/USB"; answered read-only
// (the kernel's mount table names it "ro"), it is mounted on "/mnt/USB0"
// instead and remounted read-write, and the files are taken from there.
const char *MountInstallMedia(const char *dev) {
    char cmd[160];
    std::snprintf(cmd, sizeof cmd, "mount %s /mnt/USB", dev);
    PLAT_System(cmd);
    if (!MountedReadOnly("/mnt/USB")) return "/mnt/USB";
    std::snprintf(cmd, sizeof cmd, "mount %s /mnt/USB0", dev);
    PLAT_System(cmd);
    PLAT_System("mount -o remount,rw /mnt/USB0");
    return "/mnt/USB0";
}

uint8_t upd_state = 4;
uint32_t upd_result;
uint8_t upd_kernel, upd_firmware, upd_app;
const char *upd_fw;

}  // namespace

uint32_t SaveMACID(uint8_t *image, uint32_t iface, const char *list) {
    uint8_t *mac = image + 8 + 6 * iface;
    const bool valid = std::memcmp(mac, MAKER_OUI, 3) == 0;
    const auto store = [image] {
        const std::array<MfPiece, 1> pieces{{{image, 76}}};
        return MF_WriteFile("/mnt/cfg/TINYIMGE.BIN", pieces, true) != 0;
    };
    // An interface that has a valid MAC keeps it, whatever the list says, and
    // its image is written back: the configuration volume may be new, and a
    // MAC lost there would not come back.
    const auto keep = [&](uint32_t result) {
        if (valid) store();
        return result;
    };
    char p[512];
    if (!HostFile(list, p, sizeof p)) return keep(5);
    FILE *f = std::fopen(p, "rb");
    if (f == nullptr) return keep(5);
    char text[129] = {};
    const std::size_t n = std::fread(text, 1, 128, f);
    std::fclose(f);
    text[n] = 0;
    const char *line2 = std::strchr(text, '\n');
    // A list whose last MAC was given out: the carry left the last three
    // bytes, and counting on would give out the range's first MAC again.
    if (std::strncmp(text, "USED UP", 7) == 0) return keep(2);
    uint8_t next[6], last[6];
    if (!convert_MACSTR_MACINT(text, next) || line2 == nullptr || !convert_MACSTR_MACINT(line2 + 1, last))
        return keep(4);
    if (std::memcmp(next, last, 6) > 0 || valid) return keep(2);
    // The next MAC after this one: the last three bytes with carry; a carry
    // out of them means the list is used up after this MAC.
    uint8_t after[6];
    std::memcpy(after, next, 6);
    bool used_up = true;
    for (int i = 5; i >= 3; --i) {
        if (++after[i] != 0) {
            used_up = false;
            break;
        }
    }
    char line[24];
    std::size_t k = 0;
    for (int i = 0; i < 6; ++i) {
        convert_BYTE_ASCIIHEX(&line[k], after[i]);
        k += 2;
        if (i < 5) line[k++] = ':';
    }
    line[k] = 0;
    if (used_up) std::snprintf(line, sizeof line, "USED UP");
    // Line 1 is replaced through a temporary file renamed over the list
    // instead of removing the list and writing it anew: a reset between the
    // two would lose the list. Then it is read back.
    char tmpname[520];
    std::snprintf(tmpname, sizeof tmpname, "%s.tmp", p);
    f = std::fopen(tmpname, "wb");
    if (f == nullptr) return 3;
    std::fprintf(f, "%s\r\n%s", line, line2 + 1);
    const bool wrote = std::fclose(f) == 0;
    if (!wrote || std::rename(tmpname, p) != 0) {
        std::remove(tmpname);
        return 3;
    }
    f = std::fopen(p, "rb");
    if (f == nullptr) return 3;
    char back[24] = {};
    const std::size_t got = std::fread(back, 1, std::strlen(line), f);
    std::fclose(f);
    if (got != std::strlen(line) || std::memcmp(back, line, got) != 0) return 3;
    uint8_t before[6];
    std::memcpy(before, mac, 6);
    std::memcpy(mac, next, 6);
    if (!store()) {
        std::memcpy(mac, before, 6);
        return 3;
    }
    return 0;
}

uint32_t UpdateKernFirmApplic(uint32_t, uint32_t) {
    switch (upd_state) {
    case 4: {
        upd_result = 0;
        if (FindDevice() == nullptr || !Exists("/mnt/USB0")) {
            Message("Media Error or NOT accessable");
            upd_result = 0x80;
            upd_state = 6;
            return 0;
        }
        upd_result = 0x20;
        upd_kernel = Size("/mnt/USB0/qmkern.sb") > 0;
        upd_fw = FindFirmware("/mnt/USB0");
        upd_firmware = upd_fw != nullptr;
        upd_app = Size("/mnt/USB0/DEFAULT.PGM") > 0;
        StopWatchdog();
        BlinkerStart();
        upd_state = 5;
        return 0;
    }
    case 5: {
        bool reset = false;
        if (upd_kernel) {
            if (PLAT_System("flash_eraseall /dev/mtd0") != 0) {
                Message("Disk MTD0 Erase Error");
            } else if (PLAT_System("kobs-ng init /mnt/USB0/qmkern.sb") != 0) {
                Message("Boot Update Error");
            } else {
                upd_result |= 0x01;
                MF_PersistSet(0x8000);
                MF_PersistNextSet(0);
                DeleteProgramAndRegisters();
                RunUpdateInit("/mnt/USB0");
                reset = true;
            }
        }
        if (upd_firmware) {
            if (CopyFirmware("/mnt/USB0", upd_fw)) {
                upd_result |= 0x04;
                if (!upd_kernel) DeleteProgramAndRegisters();
                reset = true;
            } else {
                Message("File Copy Error");
                reset = reset && upd_kernel;
            }
        }
        // Only a kernel or a firmware actually written ends in the reset; after
        // a failed step the controller runs on with its message, so the
        // operator sees the failure and may try again.
        if (reset) {
            PLAT_System("sync");
            PauseAndRelease(3);
            if (!Main_StopRequested) SYS_WarmReset();
        }
        if (upd_app) upd_result |= 0x40;
        if (!(upd_result & 0x45)) upd_result |= 0x80;
        upd_state = 6;
        return 0;
    }
    default:
        upd_state = 4;
        BlinkerStop();
        if (!WatchDogDisable) StartWatchdog();
        return upd_result;
    }
}

void InstallBoot() {
    StopWatchdog();
    const char *dev = FindDevice();
    if (dev == nullptr) {
        Message("Missing MICRO-SD or USB Insert and Try Again");
        return Endless(12, 0);
    }
    PLAT_System("umount /mnt/USB0");
    PLAT_System("sync");
    const char *media = MountInstallMedia(dev);
    char path[96], cmd[160];
    const auto on_media = [&](const char *name) {
        std::snprintf(path, sizeof path, "%s/%s", media, name);
        return path;
    };
    const char *fw = FindFirmware(media);
    const bool kern = Size(on_media("qmkern.sb")) > 0;
    const bool init = Size(on_media("qminit.ufs")) > 0, firm = Size(on_media("qmfirm.ufs")) > 0,
               cfg = Size(on_media("qmcfg.ufs")) > 0;
    const bool images = init && firm && cfg;
    const bool tools = Exists("/usr/bin/ubiformat");
    const bool list = Exists(on_media("MACIDS.TXT"));
    const bool stored_mac = Exists("/mnt/cfg/TINYIMGE.BIN");
    if (!kern) Message("Missing File:qmkern.sb");
    if (!init) Message("Missing File:qminit.ufs");
    if (!firm) Message("Missing File:qmfirm.ufs");
    if (!cfg) Message("Missing File:qmcfg.ufs");
    if (!tools) Message("Required tools are missing");
    if (fw == nullptr) Message("Missing File: vbx310/n/c/j/d or vbx420/ vbx530/ vbx640");
    // No MAC source at all, or a list missing beside a stored image.
    if (!list && !stored_mac) Message("Missing File:/mnt/USB/MACIDS.TXT");
    if (!list && stored_mac) Message("Missing File: MACIDS.TXT");
    BlinkerStart();

    // Each step runs unless a step it depends on failed: the volumes do not
    // depend on the kernel, the firmware copy and the MAC write-back depend
    // on the volumes (they are written onto them), the MAC not on the
    // firmware. Once the volumes are formatted the MAC must be written back,
    // or the unit loses it. Each failing tool leaves its message.
    bool failed = false, mac_failed = false, asked = false;
    uint32_t mac_result = 0;
    if (kern) {
        asked = true;
        std::snprintf(cmd, sizeof cmd, "kobs-ng init %s", on_media("qmkern.sb"));
        if (PLAT_System("flash_eraseall /dev/mtd0") != 0) {
            Message("Disk MTD0 Erase Error");
            failed = true;
        } else if (PLAT_System(cmd) != 0) {
            Message("Boot Update Error");
            failed = true;
        }
    }
    if (images && tools) {
        asked = true;
        uint8_t image[76];
        SYS_GetMACID(image);  // the current MAC image is kept
        static constexpr const char *kVolumes[] = {"umount /mnt/firm",
                                                   "umount /mnt/cfg",
                                                   "ubidetach /dev/ubi_ctrl -d 0",
                                                   "ubiformat /dev/mtd1 -q",
                                                   "ubiattach /dev/ubi_ctrl -d 0 -m 1",
                                                   "ubimkvol /dev/ubi0 -N rootfs1 -s 26MiB",
                                                   "ubimkvol /dev/ubi0 -N firm -s 13MiB",
                                                   "ubimkvol /dev/ubi0 -N cfg -s 64MiB",
                                                   "ubiupdatevol /dev/ubi0_0 %s/qminit.ufs",
                                                   "ubiupdatevol /dev/ubi0_1 %s/qmfirm.ufs",
                                                   "ubiupdatevol /dev/ubi0_2 %s/qmcfg.ufs",
                                                   "mount -t ubifs ubi0:firm /mnt/firm",
                                                   "mount -t ubifs ubi0:cfg /mnt/cfg"};
        bool volumes = true;
        for (const char *c : kVolumes) {
            std::snprintf(cmd, sizeof cmd, c, media);
            if (PLAT_System(cmd) != 0) {
                char text[192];
                std::snprintf(text, sizeof text, "%s failed", cmd);
                Message(text);
                volumes = false;
                failed = true;
                break;
            }
        }
        if (volumes && fw != nullptr && !CopyFirmware(media, fw)) {
            Message("File Copy Error");
            failed = true;
        }
        if (volumes) {
            mac_result = SaveMACID(image, 0, on_media("MACIDS.TXT"));
            if (mac_result == 0) std::memcpy(tinyImage.data(), image, sizeof image);
            switch (mac_result) {
            case 0: break;
            case 4: Message("MACIDS.TXT: Invalid MACID"); break;
            case 2: Message("MACID Not Updated"); break;
            case 5: Message("MACID EMPTY"); break;
            default: Message("MACID writing on SD failed"); break;
            }
            mac_failed = mac_result != 0;
            // The OEM code: 1 to 3 digits, at most 255.
            char p[512];
            if (HostFile(on_media("oeminfo.txt"), p, sizeof p)) {
                if (FILE *f = std::fopen(p, "r")) {
                    char t[8] = {};
                    const std::size_t n = std::fread(t, 1, 4, f);
                    std::fclose(f);
                    unsigned v = 0, digits = 0;
                    for (std::size_t i = 0; i < n && t[i] >= '0' && t[i] <= '9'; ++i, ++digits)
                        v = v * 10 + unsigned(t[i] - '0');
                    if (digits >= 1 && digits <= 3 && v <= 255) {
                        const uint8_t b = uint8_t(v);
                        const std::array<MfPiece, 1> pieces{{{&b, 1}}};
                        MF_WriteFile("/mnt/cfg/oeminfo", pieces, true);
                    }
                }
            }
            MF_PersistSet(0x8000);
            DeleteProgramAndRegisters();
            RunUpdateInit(media);
            if (!failed) Message("Operation Completed Change Boot Mode and RESET the unit");
        }
    } else if (fw != nullptr) {
        asked = true;
        if (!CopyFirmware(media, fw)) {
            Message("File Copy Error");
            failed = true;
        } else
            DeleteProgramAndRegisters();
    }
    PLAT_System("sync");
    std::snprintf(cmd, sizeof cmd, "umount %s", media);
    BlinkerStop();
    if (failed) return Endless(12, 0);
    if (mac_failed) return Endless(0, mac_result);
    if (asked) {
        PLAT_System(cmd);
        return Endless(2, 0);
    }
    PLAT_System(cmd);
    PLAT_System("umount /mnt/firm");
    PLAT_System("umount /mnt/cfg");
    PauseAndRelease(3);
    // Asked to stop during the pause: end here, not in a reset that would start it over.
    if (Main_StopRequested) return;
    SYS_WarmReset();
}
