// Register bridge and dual-port map: set-up of the map and of interface 0's
// configuration, the per-pass service that raises configuration changes, and
// the accessors through which the protocols reach the register image.
#include <cstddef>
#include <cstring>

#include "core/image/bytes.h"
#include "core/image/passwork.h"
#include "core/storage/memfile.h"
#include "core/image/plcreg.h"
#include "core/image/syshook.h"
#include "core/image/iecrt.h"
#include "core/image/util.h"
#include "io/io.h"
#include "net/net.h"

// The parsed record's layout, as the system services and the protocols read it.
static_assert(offsetof(DprConfigRec, length) == DPRC_LENGTH && offsetof(DprConfigRec, address) == DPRC_ADDRESS &&
              offsetof(DprConfigRec, mask) == DPRC_MASK && offsetof(DprConfigRec, gateway) == DPRC_GATEWAY &&
              offsetof(DprConfigRec, dns) == DPRC_DNS);
static_assert(offsetof(DprConfigRec, ping_timeout) == DPRC_PING_TIMEOUT &&
              offsetof(DprConfigRec, ping_target_ref) == DPRC_PING_TARGET &&
              offsetof(DprConfigRec, ping_result_ref) == DPRC_PING_RESULT);
static_assert(offsetof(DprConfigRec, const_ref) == DPRC_CONST_REF &&
              offsetof(DprConfigRec, status_ref) == DPRC_STATUS_REF &&
              offsetof(DprConfigRec, address_ref) == DPRC_ADDRESS_REF &&
              offsetof(DprConfigRec, mask_ref) == DPRC_MASK_REF &&
              offsetof(DprConfigRec, gateway_ref) == DPRC_GATEWAY_REF &&
              offsetof(DprConfigRec, dns_ref) == DPRC_DNS_REF);
static_assert(offsetof(DprConfigRec, dhcp_enable) == DPRC_DHCP && offsetof(DprConfigRec, enables) == DPRC_ENABLES);
static_assert(offsetof(DprConfigRec, egd) == DPRC_EGD && sizeof(DprEgdExchange) == DPRC_EGD_ENTRY);
static_assert(offsetof(DprConfigRec, eip) == DPRC_EIP && offsetof(DprConfigRec, ftp) == DPRC_FTP &&
              sizeof(FtpUserAccount) == DPRC_FTP_ENTRY && offsetof(DprConfigRec, http) == DPRC_HTTP);
static_assert(offsetof(DprConfigRec, modbus_iec) == DPRC_MODBUS_IEC && sizeof(DprModbusIec) == DPRC_MODBUS_IEC_SIZE);
static_assert(offsetof(DprConfigRec, modbus) == DPRC_MODBUS && sizeof(ModbusServerCfg) == DPRC_MODBUS_SIZE);
static_assert(offsetof(DprConfigRec, ascii) == DPRC_ASCII && offsetof(DprConfigRec, ntp_values) == DPRC_NTP);
static_assert(offsetof(DprConfigRec, egd_status_count) == DPRC_EGD_STATUS_COUNT &&
              offsetof(DprConfigRec, values) == DPRC_VALUES);
static_assert(offsetof(DprConfigRec, text) == DPRC_END);

std::array<uint8_t, DPR_MAP_SIZE> DprMap;
uint8_t *Dpr_Map_Ptr = DprMap.data();
uint8_t *DprWrReqs1 = &DprMap[DPR_WRREQ1], *DprWrReqs2 = &DprMap[DPR_WRREQ2];
uint8_t *DprRdReqs1 = &DprMap[DPR_RDREQ1], *DprRdReqs2 = &DprMap[DPR_RDREQ2];
uint8_t *DprStatusWrReqs = &DprMap[DPR_EGD_STATUS];
uint16_t EGD_Index_Count;
uint32_t T_token = REG_ET_FIRST;
uint32_t M_token = REG_EM_FIRST;
DprBackupRec DprBackup;
std::array<DprConfigRec, 2> Dpr_Configuration;
uint8_t NTP_Enabled, Ntp_ConfigReset, Invalid_reg_flag;

namespace {
// Change detection of Dpr_Io_Service.
uint16_t last_crc;
uint32_t last_size;
const uint8_t *last_conf;

uint16_t MapW(std::size_t off) { return LE_Get16(&DprMap[off]); }
void MapSetW(std::size_t off, uint16_t v) { LE_Put16(&DprMap[off], v); }

// Backup record in the battery-backed memory, as 24 bytes.
void BackupRead() {
    uint8_t b[24] = {};
    SysHook_ReadBbr(b, 0, sizeof b);
    DprBackup = {LE_Get32(b), LE_Get32(b + 4), LE_Get32(b + 8), LE_Get32(b + 12), LE_Get32(b + 16), LE_Get32(b + 20)};
}
void BackupWrite() {
    uint8_t b[24];
    const uint32_t w[6] = {DprBackup.spare, DprBackup.marker,  DprBackup.address,
                           DprBackup.mask,  DprBackup.gateway, DprBackup.dns};
    for (unsigned i = 0; i < 6; i++) LE_Put32(b + 4 * i, w[i]);
    SysHook_WriteBbr(b, 0, sizeof b);
}

// The parse result in the record: services off without a configuration,
// which then runs on the last good address set.
void ApplyParse(uint32_t r, bool store_backup) {
    PassWork_NetChange();  // the network services step on the next pass
    DprConfigRec &c = Dpr_Configuration[0];
    if (r)
        c.enables[1] |= EN1_SERVICES_OFF;
    else
        c.enables[1] &= uint8_t(~EN1_SERVICES_OFF);
    if (r == 1) {
        c.address = DprBackup.address;
        c.mask = DprBackup.mask;
        c.gateway = DprBackup.gateway;
        c.dns = DprBackup.dns;
    } else if (store_backup) {
        DprBackup.marker = DPR_BACKUP_MARKER;
        DprBackup.address = c.address;
        DprBackup.mask = c.mask;
        DprBackup.gateway = c.gateway;
        DprBackup.dns = c.dns;
        BackupWrite();
    }
}

uint8_t *RegPtr(uint32_t ref, uint32_t width) {
    DprMap[DPR_SEMAPHORE] = 0;
    return PlcReg_Ptr(ref, width);
}

// A block at an IEC variable: whole elements of 1, 2 or 4 bytes (no bit
// number) as bytes, and of 8 bytes (LINT, LREAL) too, which the converters
// would only spoil; other variables in bit mode 1 a byte per bit (a BOOL
// element each). The handle's low bits are an element index, never a bit
// offset. Anything else, like a refused variable, reads as zeros and takes
// no write.
void IecDataBlock(uint32_t ref, uint32_t length, uint8_t *buf, uint32_t dir, uint8_t bit_mode) {
    if (buf == nullptr) return;
    const uint32_t type = (ref >> 26) & 7, bit = (ref >> 20) & 0x3F;
    uint8_t *var = nullptr;
    if (bit == 0 && type <= 3) {
        var = PlcReg_Ptr(ref, length);
        if (var != nullptr) {
            if (dir)
                std::memcpy(var, buf, length / 8);
            else
                std::memcpy(buf, var, length / 8);
            return;
        }
    } else if (bit_mode == 1) {
        // A BOOL array is located in bytes, any other variable in bits.
        var = PlcReg_Ptr(ref, type == 6 ? length : 8 * length);
        if (var != nullptr) {
            if (dir)
                Drevano_Bit_To_Byte(buf, var, length);
            else
                Drevano_Byte_To_Bit(var, buf, length);
            return;
        }
    }
    if (dir == 0) std::memset(buf, 0, (length + 7) / 8);
}
}  // namespace

// ---- set-up ------------------------------------------------------------------------------------

void DprInitReq() { std::memset(&DprMap[DPR_WRREQ1], 0, DPR_EGD_STATUS_END - DPR_WRREQ1); }

void Dpr_Init() {
    Dpr_Map_Ptr = DprMap.data();
    DprMap.fill(0);
    DprInitReq();
    LE_Put32(&DprMap[0], 29026);
    LE_Put32(&DprMap[4], 0x16000000);
    MapSetW(8, 512);
    MapSetW(10, uint16_t(DPR_WRREQ1));
    MapSetW(12, uint16_t(DPR_RDREQ1));
    const uint16_t sizes[6] = {256, 256, 248, 128, 120, 122};
    for (unsigned i = 0; i < 6; i++) MapSetW(16 + 2 * i, sizes[i]);
    MapSetW(64, uint16_t(DPR_WRREQ1));
    MapSetW(66, uint16_t(DPR_RDREQ1));
    MapSetW(68, uint16_t(DPR_WRREQ2));
    MapSetW(70, uint16_t(DPR_RDREQ2));
    MapSetW(76, uint16_t(DPR_EGD_STATUS));
    const uint16_t boxes[4] = {24960, 62936, 63008, 63080};
    for (unsigned i = 0; i < 4; i++) MapSetW(82 + 2 * i, boxes[i]);
    T_token = REG_ET_FIRST;
    M_token = REG_EM_FIRST;
    MapSetW(DPR_CFG_REQ, uint16_t(~MapW(DPR_CFG_ACK)));
}

void Dpr_Config() {
    DprConfigRec &c = Dpr_Configuration[0];
    std::memset(&c, 0, DPR_CONFIG_BYTES);
    c.enables[0] = EN0_EGD;
    DprInitReq();
    MapSetW(DPR_CFG_ACK, MapW(DPR_CFG_REQ));
    EGD_Index_Count = 0;
    BackupRead();
    if (DprBackup.marker != DPR_BACKUP_MARKER) {
        DprBackup = {0, DPR_BACKUP_MARKER, 0, 0, 0, 0};
        BackupWrite();
    }
    ApplyParse(DprParseConfig(0), true);
    Etn_UpdateSecurity();
}

void Dpr_Io_Service() {
    if (PlcWord(W_MODE) == 2) {
        if (MapW(DPR_RUN) == 0) {
            T_token = RegTokLen_16b ? BA_T : REG_ET_FIRST;
            M_token = RegTokLen_16b ? BA_M : REG_EM_FIRST;
            // A block too short to parse keeps the last good address set, as
            // at start-up; the backup itself is left as it is.
            ApplyParse(DprParseConfig(0), false);
            MapSetW(DPR_RUN, 1);
        }
    } else if (MapW(DPR_RUN) != 0) {
        MapSetW(DPR_RUN, 0);
        PassWork_NetChange();
    }
    std::memcpy(&DprMap[DPR_CLOCK], &plc_reg[2 * W_CLOCK], 12);
    const uint16_t crc = LE_Get16(&io_config_bl[0]);
    const uint32_t size = LE_Get32(&io_config_bl[4]);
    if ((crc != last_crc || size != last_size || EtnConfp != last_conf) && Cmd_Downloading == 0) {
        last_crc = crc;
        last_size = size;
        last_conf = EtnConfp;
        if (MapW(DPR_CFG_REQ) == MapW(DPR_CFG_ACK)) MapSetW(DPR_CFG_REQ, uint16_t(~MapW(DPR_CFG_ACK)));
    }
}

void Dpr_Ask_Config() {
    LE_Put32(&DprMap[DPR_MAGIC], 29026);
    MapSetW(DPR_ASK, uint16_t(~MapW(DPR_ASK_REF)));
}

// ---- register access -----------------------------------------------------------------------------

uint32_t EtnValidateReq(const EtnReq *req) {
    const uint32_t r = req->reference;
    const uint64_t end = uint64_t(r) + req->count;
    if (DrevanoRuntime && PlcReg_IsIecHandle(r)) return 0;
    if (r < 1024) return 1;
    static constexpr uint32_t kEnds[] = {1280, 1536, 1792, 2048, 2560, 3072, 6144, 10240};
    for (uint32_t e : kEnds) {
        if (r < e) return end > e ? 1 : 0;
    }
    if (r < 22527) return end >= 22528 ? 1 : 0;
    if (r >= REG_ET_FIRST && r < REG_ET_END) return end > REG_ET_END ? 1 : 0;
    if (r >= REG_EM_FIRST && r < REG_EM_END) return end > REG_EM_END ? 1 : 0;
    if (r < 24576) return end > 24576 ? 1 : 0;
    if (r >= 32768) return end > 832752 ? 1 : 0;
    return end > 32768 ? 1 : 0;
}

uint8_t Dpr_Get_Char_Data(uint32_t ref) {
    const uint8_t *p = RegPtr(ref, 8);
    return p ? p[0] : 0;
}
void Dpr_Set_Char_Data(uint32_t ref, uint8_t v) {
    if (uint8_t *p = RegPtr(ref, 8)) p[0] = v;
}
uint16_t Dpr_Get_W_Data(uint32_t ref) {
    const uint8_t *p = RegPtr(ref, 16);
    return p ? LE_Get16(p) : 0;
}
void Dpr_Set_W_Data(uint32_t ref, uint16_t v) {
    if (uint8_t *p = RegPtr(ref, 16)) LE_Put16(p, v);
}
uint32_t Dpr_Get_Dw_Data(uint32_t ref) {
    const uint8_t *p = RegPtr(ref, 32);
    return p ? LE_Get32(p) : 0;
}
void Dpr_Set_Dw_Data(uint32_t ref, uint32_t v) {
    if (uint8_t *p = RegPtr(ref, 32)) LE_Put32(p, v);
}

uint8_t *Dpr_Data_Block(uint32_t ref, uint32_t length, uint8_t *buf, uint32_t dir, uint8_t bit_mode) {
    if (PlcReg_IsIecHandle(ref) && DrevanoRuntime && drevano_variables_enumerateded) {
        IecDataBlock(ref, length, buf, dir, bit_mode);
        DprMap[DPR_SEMAPHORE] = 0;
        return buf;
    }
    uint8_t *reg = RegPtr(ref, length);
    if (reg == nullptr || buf == nullptr) {
        // A refused reference reads as zeros and takes no write.
        if (buf != nullptr && dir == 0) std::memset(buf, 0, (length + 7) / 8);
        DprMap[DPR_SEMAPHORE] = 0;
        return buf;
    }
    if (ref % 8 == 0 && length % 8 == 0) {
        if (dir)
            std::memcpy(reg, buf, length / 8);
        else
            std::memcpy(buf, reg, length / 8);
    } else if (bit_mode == 0 || bit_mode == 1) {
        uint32_t rbit = ref % 8;
        uint32_t rbyte = 0;
        uint32_t bbit = bit_mode == 0 ? rbit : 0;
        uint32_t bbyte = 0;
        for (uint32_t i = 0; i < length; i++) {
            if (dir) {
                const bool v = (buf[bbyte] >> bbit) & 1;
                if (v)
                    reg[rbyte] = uint8_t(reg[rbyte] | (1u << rbit));
                else
                    reg[rbyte] = uint8_t(reg[rbyte] & ~(1u << rbit));
            } else {
                const bool v = (reg[rbyte] >> rbit) & 1;
                if (v)
                    buf[bbyte] = uint8_t(buf[bbyte] | (1u << bbit));
                else
                    buf[bbyte] = uint8_t(buf[bbyte] & ~(1u << bbit));
            }
            if (++rbit == 8) {
                rbit = 0;
                rbyte++;
            }
            if (++bbit == 8) {
                bbit = 0;
                bbyte++;
            }
        }
    }
    DprMap[DPR_SEMAPHORE] = 0;
    return buf;
}

uint32_t Dpr_Add_Req(const EtnReq *, uint32_t, uint32_t, uint32_t) { return 1; }

uint32_t Dpr_Chk_Rd_Pending() {
    return (DprRdReqs1[0] != DprRdReqs1[1] ? 1u : 0u) | (DprRdReqs2[0] != DprRdReqs2[1] ? 2u : 0u);
}
uint32_t Dpr_Chk_Wr_Pending() {
    return (DprWrReqs1[0] != DprWrReqs1[1] ? 1u : 0u) | (DprWrReqs2[0] != DprWrReqs2[1] ? 2u : 0u);
}
void DprSetSemaphore() {}
void DprClearSemaphore() { DprMap[DPR_SEMAPHORE] = 0; }

void Dpr_Set_Egd_Status(uint16_t status, uint32_t index) {
    if (index >= DPR_EGD_STATUS_MAX) return;
    uint8_t *e = DprStatusWrReqs + 8 * index;
    const uint32_t ref = LE_Get32(e + 4);
    if (ref == 0) return;
    Dpr_Set_W_Data(ref, status);
    e[0]++;
}

void Dpr_Add_Egd_Status_Req(uint32_t ref, uint16_t value, uint32_t index) {
    if (index >= DPR_EGD_STATUS_MAX) return;
    uint8_t *e = DprStatusWrReqs + 8 * index;
    LE_Put16(e + 2, uint16_t((value & 0x7FF) * 8));
    LE_Put32(e + 4, ref);
}
