// Clone files. Both are written to a temporary name first and renamed over
// the old file only when complete, so that a failed save never loses the
// clone that was on the card.
#include "media/clone.h"

#include <array>
#include <cstdio>
#include <cstring>

#include "core/cmd/mcmd.h"
#include "core/image/bytes.h"
#include "core/image/plcreg.h"
#include "core/image/util.h"
#include "core/storage/memfile.h"
#include "core/storage/nvram.h"
#include "media/filex.h"

namespace {

constexpr uint32_t kFailed = 2006, kBad = 73;
constexpr std::array<uint8_t, 9> kLoadTables = {4, 0, 5, 6, 20, 21, 22, 23, 33};

bool Present(uint8_t type, uint32_t features) {
    switch (type) {
    case 20: return features & 0x01;
    case 21: return features & 0x02;
    case 22: return features & 0x04;
    case 23: return features & 0x08;
    case 33: return features & (0x10 | 0x80);
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

uint32_t SaveTables(FxFile &f, uint8_t target) {
    uint8_t lock[4] = {target, 1, 0xE8, 0xFD};
    if (MCMD_SendCmd(25, 4, lock) != 0xA0) {
        MCMD_Errno = 1;
        return kFailed;
    }
    uint32_t result = 0;
    uint8_t ans[MCMD_RX_MAX];
    uint32_t n = 0;
    if (MCMD_SendCmd(8, 1, &target, ans, sizeof ans, &n) != MCMD_FRAME || n < 3) {
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
        if (MCMD_SendCmd(5, 2, up) != 0xA0) {
            MCMD_Errno = 11;
            result = kFailed;
            break;
        }
        uint32_t total = 0;
        uint16_t crc = 0xFFFF;
        for (;;) {
            uint8_t buf[MCMD_RX_MAX];
            uint32_t got = 0;
            if (MCMD_GetData(&got, buf, sizeof buf) != MCMD_FRAME) {
                MCMD_Errno = 12;
                result = kFailed;
                break;
            }
            MCMD_SendCntl(0xA0);
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
    uint8_t release[4] = {target, 0, 0xF4, 0x01};
    if (MCMD_SendCmd(25, 4, release) != 0xA0 && result == 0) {
        MCMD_Errno = 80;
    }
    return result;
}

}  // namespace

uint32_t SavePgm(const char *name) {
    char tmp[FX_PATH_MAX];
    if (name == nullptr || !TempName(name, tmp, sizeof tmp)) return FX_INVALID_PATH;
    const uint8_t target = uint8_t(PlcWord(W_NETID));
    if (const uint32_t r = MCMD_Init(0)) return r;
    FxMedia m{};
    FxFile f{};
    uint32_t result = CreateTemp(m, f, tmp);
    if (result == 0) {
        result = SaveTables(f, target);
        result = Commit(m, f, tmp, name, result);
    }
    MCMD_Close();
    return result;
}

uint32_t MakeDat(const char *name) {
    char tmp[FX_PATH_MAX];
    if (name == nullptr || !TempName(name, tmp, sizeof tmp)) return FX_INVALID_PATH;
    FxMedia m{};
    FxFile f{};
    uint32_t result = CreateTemp(m, f, tmp);
    if (result != 0) return result;
    uint16_t crc = 0xFFFF;
    for (std::size_t pos = 0; pos < PLC_REG_SIZE && result == 0; pos += 1024) {
        const uint32_t n = uint32_t(std::min<std::size_t>(1024, PLC_REG_SIZE - pos));
        crc = crc16_next(&plc_reg[pos], n, crc);
        result = _fxe_file_write(&f, &plc_reg[pos], n);
    }
    uint8_t c[2];
    LE_Put16(c, crc);
    if (result == 0) result = _fxe_file_write(&f, c, 2);
    return Commit(m, f, tmp, name, result);
}

uint32_t LoadDat(const char *name) {
    FxMedia m{};
    FxFile f{};
    if (const uint32_t s = _fxe_file_open(&m, &f, name, FX_OPEN_FOR_READ)) return s;
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
    if (crc16(buf.data(), PLC_REG_SIZE) != LE_Get16(&buf[PLC_REG_SIZE])) return kBad;
    std::memcpy(plc_reg.data(), buf.data(), PLC_REG_SIZE);
    return 0;
}
