// Configuration validation and defaults: decides at start-up (and after an
// abandoned download) whether the application held in the memory files is
// whole, and re-creates every file with its default when it is not.
#include "core/storage/nvram.h"

#include <array>
#include <cstring>

#include "core/storage/backup.h"
#include "core/storage/memfile.h"
#include "core/image/plcreg.h"
#include "core/image/syshook.h"
#include "core/image/util.h"

uint32_t NV_EditorFeatures;
uint8_t nv_Startup;
std::array<uint8_t, 256> io_force;

namespace {
constexpr std::array<uint8_t, 2> kLadderDefault = {0x09, 0x00};
constexpr std::array<uint8_t, 12> kIoDefault = {0xFF, 0, 0, 0, 0xFF, 0, 0, 0, 0xFF, 0, 0, 0};
constexpr std::array<uint8_t, 34> kNetDefault = {0, 0, 0, 0, 0, 0, 0x40};
constexpr std::array<uint8_t, 80> kSetupDefault = {};
constexpr std::array<uint8_t, 4> kForceDefault = {};
constexpr std::array<uint8_t, 8> kTableDefault = {0x08, 0, 0, 0, 0, 0, 0, 0};

// Bounds of the validation (bytes of data).
constexpr uint32_t kIoMax = 520192, kLadderMax = 2097152, kForceMax = 256, kSetupMax = 80, kPromgrMax = 4194304,
                   kTableMax = 131072, kMqttMax = 8388608;
constexpr uint32_t kLadderErase = 2097152, kIoErase = 520192;

// Retained system words.
constexpr uint32_t W_IDBASE = 188, W_159 = 159, W_160 = 160, W_264 = W_CMD_FRAME_TO, W_279 = 279, W_281 = 281,
                   W_290 = 290, W_296 = 296, W_297 = 297, W_300 = 300, W_307 = 307, W_310 = 310, W_312 = 312,
                   W_313 = 313, W_DL_LEN = 272, W_DL_CRC = 275;
constexpr uint16_t FAULT_NETID = 0x20;

// A block with its own header; its data room excludes the header.
bool BlockGood(const uint8_t *area, std::size_t size, uint32_t max) {
    const uint32_t n = MF_Len(area);
    if (n < 1 || n > max || n > size - MF_HDR) return false;
    return crc16(area + MF_HDR, n) == MF_Crc(area);
}

bool RangeFix(uint32_t word, uint16_t lo, uint16_t hi, uint16_t otherwise) {
    const uint16_t v = PlcWord(word);
    if (v >= lo && v <= hi) return true;
    PlcWordSet(word, otherwise);
    return false;
}

// Data written into a block, with its header and mirrors: valid (CRC, length)
// or invalid (0, 0).
void SetValidity(unsigned type, const uint8_t *data, uint32_t n, bool valid) {
    const FileInfo &f = file_info[type];
    const uint16_t crc = valid ? crc16(data, n) : 0;
    const uint32_t len = valid ? n : 0;
    if (f.len_var == f.crc_var + 4) {
        MF_SetHeader(f.crc_var, crc, len);
    } else {
        // In the register image: one CRC word, two length words.
        LE_Put16(f.crc_var, crc);
        LE_Put32(f.len_var, len);
    }
    if (f.crc_mirror >= 0) PlcWordSet(uint32_t(f.crc_mirror), crc);
    if (f.len_mirror >= 0) PlcDwordSet(uint32_t(f.len_mirror), len);
}

template <std::size_t N>
void WriteDefault(unsigned type, const std::array<uint8_t, N> &dflt, uint32_t erase, bool valid) {
    uint8_t *data = file_info[type].area + MF_HDR;
    if (erase != 0) SYS_BlockErase(file_info[type].area, erase);
    nv_write(data, dflt.data(), N);
    SetValidity(type, data, N, valid);
}

void CheckIds() {
    RangeFix(W_IDBASE, 1, 127, 1);
    const uint16_t top = uint16_t(128 - PlcWord(W_IDBASE));
    if (!RangeFix(W_NETID, 1, top, top)) PlcWordSet(W_FAULT, uint16_t(PlcWord(W_FAULT) | FAULT_NETID));
    RangeFix(W_CANRATE, 0, 4, 0);
}

void ForceDefaults() {
    PlcWordSet(W_MODE, 0);
    PlcWordSet(W_159, 16);
    PlcWordSet(W_160, 0);
    PlcWordSet(W_NETID_CFG, 0);
    PlcWordSet(W_264, 500);
    PlcWordSet(W_300, 0);
    PlcWordSet(W_307, 0);
    PlcWordSet(W_310, 1);
    PlcWordSet(W_312, 0);
    PlcWordSet(W_313, 15);
    PlcWordSet(W_279, 0);
    PlcWordSet(W_296, 0x7FFF);
    PlcWordSet(W_297, 0x8000);
    PlcWordSet(W_290, 0);
    PlcWordSet(W_BACKUP, 0);
}

void RangeRules() {
    RangeFix(W_MODE, 0, 2, 0);
    RangeFix(W_159, 1, 40, 16);
    RangeFix(W_160, 0, 1, 0);
    RangeFix(W_NETID_CFG, 0, 127, 0);
    RangeFix(W_264, 500, 0xFFFF, 500);
    RangeFix(W_300, 0, 1, 0);
    RangeFix(W_307, 0, 2, 0);
    RangeFix(W_310, 0, 1, 1);
    RangeFix(W_312, 0, 1, 0);
    RangeFix(W_313, 5, 1200, 15);
    RangeFix(W_279, 0, 3, 0);
}

bool FilesGood() {
    if (!BlockGood(io_config_bl.data(), IO_CONFIG_BL_SIZE, kIoMax)) return false;
    if (!BlockGood(ladder_bl.data(), LADDER_BL_SIZE, kLadderMax)) return false;
    // The force data are checked in the force image.
    const uint32_t force_len = PlcDword(W_FORCE_LEN);
    if (force_len < 1 || force_len > kForceMax) return false;
    std::memcpy(io_force.data(), &plc_reg[MF_FORCE_BYTE], force_len);
    if (crc16(io_force.data(), force_len) != PlcWord(W_FORCE_CRC)) return false;
    const uint32_t setup_len = PlcDword(W_SETUP_LEN);
    if (setup_len < 1 || setup_len > kSetupMax) return false;
    if (crc16(&plc_reg[MF_SETUP_BYTE], setup_len) != PlcWord(W_SETUP_CRC)) return false;
    const uint32_t f = nv_get_features();
    if ((f & NVF_PROMGR) && !BlockGood(promgr_table_bl.data(), PROMGR_TABLE_BL_SIZE, kPromgrMax)) return false;
    if ((f & NVF_SMS) && !BlockGood(sms_table_bl.data(), SMS_TABLE_BL_SIZE, kTableMax)) return false;
    if ((f & NVF_DATALOG) && !BlockGood(datalog_table.data(), DATALOG_TABLE_SIZE, kTableMax)) return false;
    if ((f & NVF_CANOPEN) && !BlockGood(copendnet_tbl.data(), COPENDNET_TBL_SIZE, kTableMax)) return false;
    if ((f & NVF_MQTT) && !BlockGood(mqtt_tbl.data(), MQTT_TBL_SIZE, kMqttMax)) return false;
    return true;
}

// Every file gets its default; valid files carry their CRC and length,
// invalid ones CRC 0 and length 0 over the same default data.
void Recreate(bool invalid) {
    fwload_set_def = 0;
    const bool valid = !invalid;
    WriteDefault(MFT_LADDER, kLadderDefault, kLadderErase, valid);
    WriteDefault(MFT_IO_CONFIG, kIoDefault, kIoErase, valid);
    WriteDefault(MFT_NET_CONFIG, kNetDefault, 0, valid);
    plc_reg[SBITS_HI] &= uint8_t(~S_FORCE_ENABLED);
    io_force.fill(0);
    WriteDefault(MFT_FORCE, kForceDefault, 0, true);
    WriteDefault(MFT_SETUP, kSetupDefault, 0, valid);
    WriteDefault(MFT_PROMGR, kTableDefault, PROMGR_TABLE_BL_SIZE, valid);
    WriteDefault(MFT_MESSAGING, kTableDefault, SMS_TABLE_BL_SIZE, valid);
    WriteDefault(MFT_DATALOG, kTableDefault, 0, valid);
    if (invalid) {
        PlcWordSet(W_FAULT, uint16_t(PlcWord(W_FAULT) | FAULT_INVALID));
        SysHook_SetPlcMode(0);
    }
    // The messaging and logging services see a changed data-log table.
    PlcDwordSet(W_DL_LEN, ~MF_Len(datalog_table.data()));
    PlcWordSet(W_DL_CRC, uint16_t(~MF_Crc(datalog_table.data())));
    WriteDefault(MFT_CANOPEN, kTableDefault, COPENDNET_TBL_SIZE, true);
    SysHook_NetInit();
    WriteDefault(MFT_MQTT, kTableDefault, MQTT_TBL_SIZE, valid);
    nv_get_features();
}
}  // namespace

uint32_t nv_get_features() {
    // The feature word sits 9 bytes before the end of the program; a program
    // shorter than that (or with a length beyond its area) has none.
    const uint32_t n = MF_Len(ladder_bl.data());
    const uint8_t *data = &ladder_bl[MF_HDR];
    if (n < 9 || n > LADDER_BL_SIZE - MF_HDR || data[n - 1] >= 254)
        NV_EditorFeatures = 0;
    else
        NV_EditorFeatures = LE_Get32(data + n - 9);
    return NV_EditorFeatures;
}

void nv_write(uint8_t *dst, const uint8_t *src, std::size_t n) {
    SYS_FlashWrite(src, dst, uint32_t(n / 2));
    if (n & 1) {
        const uint8_t last[2] = {src[n - 1], 0xFF};
        SYS_FlashWrite(last, dst + n - 1, 1);
    }
}

uint32_t nvram_init(uint32_t defaults, uint32_t invalidate) {
    RestoreSRReg();
    if (defaults) EraseBackupData();
    if (fwload_set_def) defaults = 1;

    CheckIds();
    if (defaults)
        ForceDefaults();
    else
        RangeRules();

    PlcWordSet(W_OLC, 0);

    if (!defaults && !invalidate && FilesGood()) {
        PlcWordSet(W_281, uint16_t(PlcWord(W_281) & ~0xC000u));
        return defaults;
    }
    if (!defaults) invalidate = 1;
    // A running program is never replaced; start-up counts as stopped.
    const bool running = PlcWord(W_MODE) == 2 && !nv_Startup;
    if (!running) Recreate(invalidate != 0);

    PlcWordSet(W_281, uint16_t(PlcWord(W_281) & ~0xC000u));
    return defaults;
}

uint32_t SYS_BlockErase(uint8_t *buffer, uint32_t length) {
    std::memset(buffer, 0xFF, std::min<uint32_t>(length, 1024));
    return 1;
}

uint32_t SYS_FlashWrite(const uint8_t *source, uint8_t *destination, uint32_t words) {
    std::memmove(destination, source, 2 * std::size_t(words));
    return 1;
}
