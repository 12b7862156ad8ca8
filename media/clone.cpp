// Clone files. Both are written to a temporary name first and renamed over
// the old file only when complete, so that a failed save never loses the
// clone that was on the card.
#include "media/clone.h"

#include <array>
#include <cstdio>
#include <cstring>

#include "core/image/bytes.h"
#include "core/image/plcreg.h"
#include "core/image/util.h"
#include "core/storage/backup.h"
#include "core/storage/memfile.h"
#include "core/storage/nvram.h"
#include "core/image/syshook.h"
#include "media/backup.h"
#include "media/cfm.h"
#include "media/filex.h"

uint32_t MCMD_Errno;
CloneCmdLink clone_cmd_link;

namespace {
constexpr uint32_t kPortNotHad = 2004;
uint32_t Link_Init(uint32_t argument) { return clone_cmd_link.init ? clone_cmd_link.init(argument) : kPortNotHad; }
uint16_t Link_SendCmd(uint8_t command, uint8_t length, const uint8_t *data, uint8_t *rx = nullptr, uint32_t rx_max = 0,
                      uint32_t *rx_len = nullptr) {
    return clone_cmd_link.send_cmd ? clone_cmd_link.send_cmd(command, length, data, rx, rx_max, rx_len) : MCMD_TIMEOUT;
}
uint16_t Link_GetData(uint32_t *length, uint8_t *buffer, uint32_t max) {
    if (clone_cmd_link.get_data) return clone_cmd_link.get_data(length, buffer, max);
    if (length != nullptr) *length = 0;
    return MCMD_TIMEOUT;
}
uint16_t Link_SendData(uint8_t length, const uint8_t *data) {
    return clone_cmd_link.send_data ? clone_cmd_link.send_data(length, data) : MCMD_TIMEOUT;
}
void Link_SendCntl(uint8_t byte) {
    if (clone_cmd_link.send_cntl) clone_cmd_link.send_cntl(byte);
}
void Link_Close() {
    if (clone_cmd_link.close) clone_cmd_link.close();
}
}  // namespace

namespace {

constexpr uint32_t kFailed = 2006, kBad = 73;
// The files a program clone holds, in their order; a section of type
// kSecRegisters holds register values instead (9-byte records).
constexpr std::array<uint8_t, 9> kLoadTables = {MFT_SETUP,     MFT_LADDER,  MFT_IO_CONFIG, MFT_NET_CONFIG, MFT_PROMGR,
                                                MFT_MESSAGING, MFT_DATALOG, MFT_CANOPEN,   MFT_MQTT};
constexpr uint16_t kSecRegisters = 99;

bool Present(uint8_t type, uint32_t features) {
    switch (type) {
    case MFT_PROMGR: return features & 0x01;
    case MFT_MESSAGING: return features & 0x02;
    case MFT_DATALOG: return features & 0x04;
    case MFT_CANOPEN: return features & 0x08;
    case MFT_MQTT: return features & (0x10 | 0x80);
    default: return true;
    }
}

// A temporary name beside the target ("A:\X.PGM" -> "A:\X.PGM.TMP").
bool TempName(const char *name, char *out, std::size_t size) {
    return std::snprintf(out, size, "%s.TMP", name) < int(size);
}

// Creates the temporary file open for writing.
uint32_t CreateTemp(FxMedia &m, FxFile &f, const char *tmp) {
    _fxe_file_delete(&m, tmp);
    if (const uint32_t s = _fxe_file_create(&m, tmp)) return s;
    return _fxe_file_open(&m, &f, tmp, FX_OPEN_FOR_WRITE);
}

// Closes the temporary file and puts it in place of the target.
uint32_t Commit(FxMedia &m, FxFile &f, const char *tmp, const char *name, uint32_t result) {
    const uint32_t c = _fxe_file_close(&f);
    if (result == 0) result = c;
    if (result == 0) {
        _fxe_file_delete(&m, name);
        result = _fxe_file_rename(&m, tmp, name);
    }
    if (result != 0) _fxe_file_delete(&m, tmp);
    return result;
}

// Sends the release of the locked controller (command 25); a refusal
// leaves error number 80 unless an earlier failure left its own.
void SendRelease(uint8_t target, uint32_t result) {
    uint8_t release[4] = {target, 0, 0xF4, 0x01};
    if (Link_SendCmd(25, 4, release) != 0xA0 && result == 0) MCMD_Errno = 80;
}

// The clone's header and sections, from the locked controller; the release
// at the end, whatever happened.
uint32_t SaveTables(FxFile &f, uint8_t target) {
    uint32_t result = 0;
    uint8_t ans[MCMD_RX_MAX];
    uint32_t n = 0;
    if (Link_SendCmd(8, 1, &target, ans, sizeof ans, &n) != MCMD_FRAME || n < 3) {
        MCMD_Errno = 2;
        result = kFailed;
    }
    // Identity: the first answer byte, or behind 255 the 16-bit value after
    // the two version bytes.
    uint16_t identity = ans[0];
    if (result == 0 && ans[0] == 255) {
        if (n < 5) {
            MCMD_Errno = 2;
            result = kFailed;
        }
        identity = LE_Get16(&ans[3]);
    }
    const uint32_t features = nv_get_features();
    if (result == 0) {
        std::array<uint8_t, CLONE_HEADER> h{};
        uint16_t count = 4;
        for (uint32_t b = 0; b < 4; ++b) count = uint16_t(count + ((features >> b) & 1));
        if (features & (0x10 | 0x80)) count++;
        const uint16_t ver = PlcWord(W_FWVER);
        LE_Put16(&h[0], identity);
        h[2] = uint8_t(ver % 100);
        h[3] = uint8_t(ver / 100);
        LE_Put16(&h[4], count);
        LE_Put16(&h[6], CLONE_MAGIC);
        result = _fxe_file_write(&f, h.data(), uint32_t(h.size()));
    }
    for (uint8_t type : kLoadTables) {
        if (result != 0) break;
        if (!Present(type, features)) continue;
        const FileInfo &fi = file_info[type];
        const uint32_t len = fi.len_var != nullptr ? LE_Get32(fi.len_var) : 0;
        uint8_t sec[12] = {};
        LE_Put16(&sec[0], type);
        LE_Put32(&sec[8], len);
        if ((result = _fxe_file_write(&f, sec, sizeof sec)) != 0) break;
        uint8_t up[2] = {target, type};
        if (Link_SendCmd(5, 2, up) != 0xA0) {
            MCMD_Errno = 11;
            result = kFailed;
            break;
        }
        uint32_t total = 0;
        uint16_t crc = 0xFFFF;
        for (;;) {
            uint8_t buf[MCMD_RX_MAX];
            uint32_t got = 0;
            if (Link_GetData(&got, buf, sizeof buf) != MCMD_FRAME) {
                MCMD_Errno = 12;
                result = kFailed;
                break;
            }
            Link_SendCntl(0xA0);
            if (got == 0) break;
            total += got;
            crc = crc16_next(buf, got, crc);
            if ((result = _fxe_file_write(&f, buf, got)) != 0) break;
        }
        if (result != 0) break;
        if (total != len) {
            result = kBad;
            break;
        }
        uint8_t c[2];
        LE_Put16(c, crc);
        result = _fxe_file_write(&f, c, 2);
    }
    SendRelease(target, result);
    return result;
}

}  // namespace

uint32_t SavePgm(const char *name) {
    char tmp[FX_PATH_MAX];
    if (name == nullptr || !TempName(name, tmp, sizeof tmp)) return FX_INVALID_PATH;
    const uint8_t target = uint8_t(CFM_RegWord(pNetIdRcb));
    if (const uint32_t r = Link_Init(0)) return r;
    // The controller is locked first; only then is the file created.
    uint8_t lock[4] = {target, 1, 0xE8, 0xFD};
    if (Link_SendCmd(25, 4, lock) != 0xA0) {
        MCMD_Errno = 1;
        Link_Close();
        return kFailed;
    }
    FxMedia m{};
    FxFile f{};
    uint32_t result = CreateTemp(m, f, tmp);
    if (result != 0) {
        _fxe_file_delete(&m, tmp);
        SendRelease(target, result);
    } else {
        // Held apart from the file: a card pulled mid-save closes the file, and
        // the temporary file is still found and removed wherever it went.
        const int hold = _fxe_file_hold(&f);
        result = SaveTables(f, target);
        result = Commit(m, f, tmp, name, result);
        _fxe_file_release(hold, result != 0);
    }
    Link_Close();
    return result;
}

namespace {

std::array<uint8_t, DNLD_IMAGE_SIZE> dnld_image;
uint32_t dnld_used;
uint8_t conn_open, conn_target;

uint32_t Release() {
    uint32_t r = 0;
    if (conn_open) {
        uint8_t release[4] = {conn_target, 0, 0xF4, 0x01};
        if (Link_SendCmd(25, 4, release) != 0xA0) {
            MCMD_Errno = 80;
            r = kFailed;
        }
    }
    conn_open = 0;
    Link_Close();
    return r;
}

// Reads exactly n bytes; false when the file ends first or fails.
bool ReadExact(FxFile &f, uint8_t *out, uint32_t n) {
    uint32_t total = 0;
    while (total < n) {
        uint32_t got = 0;
        const uint32_t piece = std::min<uint32_t>(63488, n - total);
        if (_fxe_file_read(&f, out + total, piece, &got) != 0 || got == 0) return false;
        total += got;
    }
    return true;
}

// The file part of the validation: header, sections and their CRCs into the
// work buffer.
uint32_t ReadClone(FxFile &f, uint8_t *out, uint8_t *h) {
    if (!ReadExact(f, h, CLONE_HEADER)) return kBad;
    const uint16_t count = LE_Get16(&h[4]);
    if (LE_Get16(&h[6]) != CLONE_MAGIC || count >= 81) return kBad;
    dnld_used = 0;
    for (uint16_t k = 0; k < count; ++k) {
        uint8_t sec[12];
        if (!ReadExact(f, sec, 12)) return kBad;
        const uint16_t type = LE_Get16(&sec[0]);
        const uint32_t n = LE_Get32(&sec[8]);
        const uint32_t limit = (type == MFT_GRAPHICS_LAST || type == MFT_PROMGR) ? 0x400000u : 0x200000u;
        if (n > limit) return kBad;
        dnld_used = (dnld_used + 1u) & ~1u;  // each section on an even address
        // Section header, data and CRC must fit the work buffer.
        if (uint64_t(dnld_used) + 12 + n + 2 > dnld_image.size()) return 2003;
        uint8_t *at = &dnld_image[dnld_used];
        std::memcpy(at, sec, 12);
        if (!ReadExact(f, at + 12, n)) return kBad;
        uint8_t c[2];
        if (!ReadExact(f, c, 2)) return kBad;
        if (crc16(at + 12, n) != LE_Get16(c)) return kBad;
        if (type == kSecRegisters && n % 9 != 0) return kBad;
        for (uint32_t r = 0; type == kSecRegisters && r < n; r += 9) {
            const uint8_t width = at[12 + r + 4];
            if (width < 1 || width > 32) return kBad;
        }
        if (type == MFT_SETUP && out != nullptr) {
            std::memset(out, 0, 80);
            std::memcpy(out, at + 12, std::min<uint32_t>(n, 80));
        }
        dnld_used += 12 + n;
    }
    return 0;
}

uint32_t Validate(FxFile &f, uint8_t *out) {
    uint8_t h[CLONE_HEADER];
    if (const uint32_t r = ReadClone(f, out, h)) return r;
    // The controller's identity and version.
    uint8_t ans[MCMD_RX_MAX];
    uint32_t an = 0;
    if (Link_SendCmd(8, 1, &conn_target, ans, sizeof ans, &an) != MCMD_FRAME || an < 3 || (ans[0] == 255 && an < 5)) {
        MCMD_Errno = 30;
        return kFailed;
    }
    const uint16_t identity = ans[0] == 255 ? LE_Get16(&ans[3]) : ans[0];
    if (identity != LE_Get16(&h[0])) return 2002;
    if (uint32_t(h[3]) * 256 + h[2] > uint32_t(ans[1]) * 256 + ans[2]) return 2007;
    return 0;
}

}  // namespace

uint32_t CloneReadFile(const char *name, uint8_t *out, uint8_t *header) {
    FxMedia m{};
    FxFile f{};
    uint32_t r = name != nullptr ? _fxe_file_open(&m, &f, name, FX_OPEN_FOR_READ) : FX_INVALID_PATH;
    if (r != 0) return r;
    r = ReadClone(f, out, header);
    _fxe_file_close(&f);
    if (r != 0) dnld_used = 0;
    return r;
}

uint32_t CloneGetInfo(uint8_t *out) {
    if (conn_open) Release();
    conn_target = uint8_t(CFM_RegWord(pNetIdRcb));
    if (const uint32_t r = Link_Init(0)) return r;
    uint8_t lock[4] = {conn_target, 1, 0xE8, 0xFD};
    if (Link_SendCmd(25, 4, lock) != 0xA0) {
        MCMD_Errno = 20;
        Link_Close();
        return kFailed;
    }
    conn_open = 1;
    uint8_t up[2] = {conn_target, MFT_SETUP};
    uint32_t total = 0;
    bool ok = Link_SendCmd(5, 2, up) == 0xA0;
    while (ok) {
        uint8_t buf[MCMD_RX_MAX];
        uint32_t got = 0;
        if (Link_GetData(&got, buf, sizeof buf) != MCMD_FRAME) {
            ok = false;
            break;
        }
        Link_SendCntl(0xA0);
        if (got == 0) break;
        if (out != nullptr && total < 80) std::memcpy(out + total, buf, std::min<uint32_t>(got, 80 - total));
        total += got;
    }
    if (!ok) {
        MCMD_Errno = 21;
        Release();
        return kFailed;
    }
    return 0;
}

uint32_t ValidatePgm(const char *name, uint8_t *out) {
    uint32_t r = conn_open ? 0 : CloneGetInfo(nullptr);
    FxMedia m{};
    FxFile f{};
    // A failed connection is a failure like the others below: the stored
    // program is loaded again all the same.
    if (r == 0) r = name != nullptr ? _fxe_file_open(&m, &f, name, FX_OPEN_FOR_READ) : FX_INVALID_PATH;
    if (r == 0) {
        r = Validate(f, out);
        _fxe_file_close(&f);
    }
    if (r != 0) {
        dnld_used = 0;
        Release();
        LoadProgram();  // the controller keeps what it had
    }
    return r;
}

uint32_t LoadPgm() {
    const uint8_t target = conn_target;
    bool ok = conn_open != 0;
    uint8_t stop[2] = {target, 0};
    if (ok && Link_SendCmd(2, 2, stop) != 0xA0) {
        MCMD_Errno = 40;
        ok = false;
    }
    uint32_t pos = 0;
    while (ok && pos + 12 <= dnld_used) {
        pos = (pos + 1u) & ~1u;
        const uint8_t *sec = &dnld_image[pos];
        const uint16_t type = LE_Get16(&sec[0]);
        const uint32_t n = LE_Get32(&sec[8]);
        const uint8_t *data = sec + 12;
        pos += 12 + n;
        if (type == 9 || type == MFT_GRAPHICS_LAST) continue;  // never written into a controller here
        if (type == kSecRegisters) {
            for (uint32_t r = 0; ok && r + 9 <= n; r += 9) {
                const uint8_t *rec = data + r;
                const uint8_t width = rec[4];
                const uint8_t vbytes = uint8_t(width / 8 ? width / 8 : 1);
                uint8_t cmd[12];
                uint8_t len;
                cmd[0] = target;
                cmd[1] = width;
                const uint16_t low = LE_Get16(rec);
                if (low == 1776 || low == 1777) {
                    std::memcpy(&cmd[2], rec, 4);
                    std::memcpy(&cmd[6], rec + 5, vbytes);
                    len = uint8_t(6 + vbytes);
                } else {
                    cmd[2] = cmd[3] = 0;
                    std::memcpy(&cmd[4], rec, 4);
                    cmd[7] &= 0x7F;
                    std::memcpy(&cmd[8], rec + 5, std::min<uint8_t>(vbytes, 4));
                    len = uint8_t(8 + std::min<uint8_t>(vbytes, 4));
                }
                if (Link_SendCmd(24, len, cmd) != 0xA0) {
                    MCMD_Errno = 70;
                    ok = false;
                }
            }
            continue;
        }
        uint8_t dl[2] = {target, uint8_t(type)};
        if (Link_SendCmd(4, 2, dl) != 0xA0) {
            MCMD_Errno = 50;
            ok = false;
            break;
        }
        for (uint32_t k = 0; ok && k < n; k += 64) {
            const uint8_t piece = uint8_t(std::min<uint32_t>(64, n - k));
            if (Link_SendData(piece, data + k) != 0xA0) {
                MCMD_Errno = 51;
                ok = false;
            }
        }
        if (ok && Link_SendData(0, nullptr) != 0xA0) {
            MCMD_Errno = 51;
            ok = false;
        }
    }
    if (!ok) {
        LoadProgram();
        Release();
        return kFailed;
    }
    if (Sys_AutoLoad == 1 && Sys_ManualLoadKey == 0 && (PlcWord(W_BACKUP) & 0x10)) {
        SaveProgram();
        SysHook_SetPlcMode(2);
    }
    Release();
    if (Sys_AutoLoad == 1) {
        // The fail-safe restore of the register backup under an IEC
        // application. Its reset is the one that ends this load, below:
        // the data clone and the store come first.
        if (DrevanoRuntime) RestoreBBRAMImage(1);
        Sys_ManualLoadKey = 0;
        Sys_AutoLoad = 0;
        Sys_AppLoad = 0;
    }
    if (Clon_LoadClone == 1) {
        Clon_LoadClone = 0;
        // A failed data clone shows in bit 11 of word 291 (bit address 5691).
        if (LoadDat("A:\\clone.dat") != 0) PlcWordSet(W_BACKUP, uint16_t(PlcWord(W_BACKUP) | 0x0800));
        // The clone load is over: its request, bit 9 (bit address 5689), is
        // cleared before the registers are saved, so that the restarted
        // controller does not ask for it again. (Nothing else would: the
        // restart comes before the end of the load's action.)
        PlcWordSet(W_BACKUP, uint16_t(PlcWord(W_BACKUP) & ~0x0200));
    }
    SaveProgram();
    AutoSaveRegisters();
    SysHook_WarmReset();
    return 0;
}

uint32_t CloneRelease() { return Release(); }

uint32_t z7LoadDat(const char *) { return IecRetainRestore(CLONE_IEC_RETAIN, IecRetainForm::Clone) ? 1 : 0; }

uint32_t MakeDat(const char *name) {
    char tmp[FX_PATH_MAX];
    if (name == nullptr || !TempName(name, tmp, sizeof tmp)) return FX_INVALID_PATH;
    FxMedia m{};
    FxFile f{};
    uint32_t result = CreateTemp(m, f, tmp);
    if (result != 0) return result;
    // The IEC application's retained variables go with the data clone.
    if (DrevanoRuntime) IecHook_RetainSave(CLONE_IEC_RETAIN, IecRetainForm::Clone);
    const int hold = _fxe_file_hold(&f);  // as in SavePgm
    uint16_t crc = 0xFFFF;
    for (std::size_t pos = 0; pos < PLC_REG_SIZE && result == 0; pos += 1024) {
        const uint32_t n = uint32_t(std::min<std::size_t>(1024, PLC_REG_SIZE - pos));
        crc = crc16_next(&plc_reg[pos], n, crc);
        result = _fxe_file_write(&f, &plc_reg[pos], n);
    }
    uint8_t c[2];
    LE_Put16(c, crc);
    if (result == 0) result = _fxe_file_write(&f, c, 2);
    result = Commit(m, f, tmp, name, result);
    _fxe_file_release(hold, result != 0);
    return result;
}

uint32_t LoadDat(const char *name) {
    FxMedia m{};
    FxFile f{};
    if (const uint32_t s = _fxe_file_open(&m, &f, name, FX_OPEN_FOR_READ)) return s;
    if (DrevanoRuntime) z7LoadDat(CLONE_IEC_RETAIN);
    // Read whole and checked before the register image is touched.
    static std::array<uint8_t, CLONE_DAT_SIZE> buf;
    uint32_t total = 0, result = 0;
    while (total < buf.size()) {
        uint32_t got = 0;
        result = _fxe_file_read(&f, &buf[total], uint32_t(std::min<std::size_t>(1024, buf.size() - total)), &got);
        if (result != 0 || got == 0) break;
        total += got;
    }
    _fxe_file_close(&f);
    if (result != 0) return result;
    if (total != buf.size()) return 65535;
    // A damaged clone is reported (73), not answered 0 as if it had loaded.
    if (crc16(buf.data(), PLC_REG_SIZE) != LE_Get16(&buf[PLC_REG_SIZE])) return kBad;
    // Update_SystemVariables: the kernel revision text and the start-up
    // version word describe this controller, not the clone's source. The
    // running system puts its own values in (the image's may be older: an
    // auto-saved image from before a kernel update); without the executive
    // the image keeps those it had.
    uint8_t kernel[10], initrd[2];
    std::memcpy(kernel, &plc_reg[2 * W_KERNEL_REV], sizeof kernel);
    std::memcpy(initrd, &plc_reg[2 * W_INITRD_VER], sizeof initrd);
    std::memcpy(plc_reg.data(), buf.data(), PLC_REG_SIZE);
    std::memcpy(&plc_reg[2 * W_KERNEL_REV], kernel, sizeof kernel);
    std::memcpy(&plc_reg[2 * W_INITRD_VER], initrd, sizeof initrd);
    SysHook_SystemVariables();
    return 0;
}
