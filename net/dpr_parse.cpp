// Ethernet configuration parser: the tagged record stream of the downloaded
// configuration block into the fixed per-interface record. Every read is
// bounded by the block's length word and the room of the slot record.
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

#include "core/image/bytes.h"
#include "core/image/syshook.h"
#include "core/image/plcreg.h"
#include "core/image/rtc.h"
#include "core/storage/memfile.h"
#include "io/io.h"
#include "net/dpr.h"
#include "platform/plat.h"

const char DprCryptKey[41] = "Wx7q Lm9 pRd vAT Ke h4NN Oza qu ReTuBel?";

namespace {

constexpr uint32_t kStrMax = 40;  // characters the key covers and a name field holds
constexpr uint32_t kReadMax = 288, kWriteMax = 416;

struct Walk {
    const uint8_t *b;
    std::size_t end;  // bytes from word 0
    bool Word(std::size_t pos, uint32_t &v) const {
        if (pos + 4 > end) return false;
        v = LE_Get32(b + pos);
        return true;
    }
    bool Pair(std::size_t pos, uint32_t &a, uint32_t &b) const { return Word(pos, a) && Word(pos + 4, b); }
    bool Byte(std::size_t pos, uint8_t &v) const {
        if (pos >= end) return false;
        v = b[pos];
        return true;
    }
};

bool ValidRef(uint32_t ref, uint32_t count) {
    const EtnReq r{ref, count};
    return EtnValidateReq(&r) == 0;
}

// One scrambled string at pos into dst (room for kStrMax + 1); the position
// after it, or 0 when it runs past the block.
std::size_t ScrambledString(const Walk &w, std::size_t pos, char *dst) {
    uint8_t len = 0;
    if (!w.Byte(pos, len)) return 0;
    const std::size_t size = (std::size_t(len) + 4) & ~std::size_t(3);
    if (pos + size > w.end) return 0;
    if (dst != nullptr) Dpr_StrCrypt(dst, w.b + pos + 1, len > kStrMax ? kStrMax : len);
    return pos + size;
}

// Account entries (FTP: up to two stored, HTTP: the first); the stop
// position, or 0 when the list runs past the block.
template <typename StoreFn>
std::size_t Accounts(const Walk &w, std::size_t pos, StoreFn store) {
    for (unsigned entry = 0;; entry++) {
        char user[kStrMax + 1] = {}, pass[kStrMax + 1] = {}, text[kStrMax + 1] = {};
        pos = ScrambledString(w, pos, user);
        if (pos) pos = ScrambledString(w, pos, pass);
        if (pos) pos = ScrambledString(w, pos, text);
        uint8_t rights = 0, more = 0;
        if (pos == 0 || !w.Byte(pos, rights) || !w.Byte(pos + DPRR_ACCOUNT_MORE, more) ||
            pos + DPRR_ACCOUNT_TAIL > w.end)
            return 0;
        store(entry, user, pass, text, rights);
        pos += DPRR_ACCOUNT_TAIL;
        if (more == 0) return pos;
    }
}

// Network-time server names into the record and "/etc/ntp.conf".
void NtpNames(const Walk &w, std::size_t pos, DprConfigRec &rec) {
    char path[512];
    if (PLAT_Path("/etc", path, sizeof path)) mkdir(path, 0755);
    FILE *f = PLAT_Path("/etc/ntp.conf", path, sizeof path) ? std::fopen(path, "w+") : nullptr;
    bool listing = true;
    for (unsigned i = 0; i < DPR_NTP_NAMES; i++) {
        const uint8_t *src = w.b + pos + DPR_NTP_NAME_BYTES * i;
        char *dst = rec.ntp_servers[i];
        std::size_t n = 0;
        // A name ends at the field's last byte or at the first control character.
        while (n < DPR_NTP_NAME_BYTES - 1 && src[n] >= 0x20 && src[n] != 0x7F) {
            dst[n] = char(src[n]);
            n++;
        }
        dst[n] = 0;
        if (n == 0) listing = false;
        if (listing && f) std::fprintf(f, "server %s\n", dst);
    }
    if (f) std::fclose(f);
}

// Count of the entries of a request table before a zero word.
uint32_t CountEntries(const uint8_t *table, uint32_t max) {
    uint32_t n = 0;
    while (n <= max && LE_Get32(table + DPR_REQ_ENTRIES + DPR_REQ_ENTRY * n) != 0) n++;
    return n;
}

// The system time from the controller's UTC clock record, when the command
// processor allows it.
void SystemTimeFromClock() {
    if (!SysHook_CommandIdle()) return;
    uint16_t utc[6];
    for (unsigned i = 0; i < 6; i++) utc[i] = LE_Get16(&plc_reg[2 * (W_UTC + i)]);
    UtcTime t{};
    if (UtcCheck(utc, CheckLeap(utc[5])) && UtcGet(utc, &t) != 0) PLAT_SetSystemTime(int64_t(t.seconds));
}

// ---- the records ------------------------------------------------------------------------------
// Each reader gets the position of its record's kind word and answers the
// record's stop, or 0 when the record runs past the block (the walk ends).

std::size_t EgdRecord(const Walk &w, std::size_t pos, uint32_t k, DprEgdExchange &x, DprConfigRec &rec) {
    x.kind = k;
    for (unsigned i = 0; i < 4; i++)
        if (!w.Word(pos + DPRR_EGD_HEADER + 4 * i, x.header[i])) return 0;
    std::size_t p = pos + DPRR_EGD_ITEMS;
    uint32_t items = 0, ref = 0, desc = 0;
    while (true) {
        if (!w.Word(p, ref)) return 0;
        if (ref == 0) return p;
        if (!w.Word(p + DPRR_EGD_ITEM_DESC, desc)) return 0;
        // Items beyond the room of an exchange are skipped whole.
        const bool room = items < DPR_EGD_ITEMS;
        if (room) {
            x.items[items][0] = ref;
            x.items[items][1] = desc;
            items++;
        }
        if (room && (desc & DPRR_EGD_STATUS_MASK) == DPRR_EGD_STATUS_DESC && EGD_Index_Count < DPR_EGD_STATUS_MAX) {
            Dpr_Add_Egd_Status_Req(ref, uint16_t(desc), EGD_Index_Count);
            EGD_Index_Count++;
            rec.egd_status_count++;
            LE_Put16(Dpr_Map_Ptr + DPR_EGD_COUNT, EGD_Index_Count);
        }
        p += DPRR_EGD_ITEM;
    }
}

std::size_t PingRecord(const Walk &w, std::size_t pos, DprConfigRec &rec) {
    uint32_t t = 0, target = 0, result = 0, last = 0;
    if (!w.Word(pos + DPRR_PING_TIMEOUT, t) || !w.Word(pos + DPRR_PING_TARGET, target) ||
        !w.Word(pos + DPRR_PING_RESULT, result) || !w.Word(pos + DPRR_PING_LAST, last))
        return 0;
    rec.ping_timeout = t;
    const bool result_ok = ValidRef(result, DPRR_PING_REF_BITS);
    rec.ping_target_ref = ValidRef(target, DPRR_PING_REF_BITS) ? target : 0;
    rec.ping_result_ref = result_ok ? result : 0;
    if (!result_ok || rec.ping_target_ref == 0) {
        rec.enables[0] &= uint8_t(~EN0_PING);
        rec.ping_target_ref = rec.ping_result_ref = 0;
    }
    return pos + DPRR_PING_STOP;
}

std::size_t EipRecord(const Walk &w, std::size_t pos, uint32_t k, DprConfigRec &rec) {
    uint32_t ref = 0, size = 0;
    if (!w.Word(pos + DPRR_EIP_REF, ref) || !w.Word(pos + DPRR_EIP_SIZE, size)) return 0;
    if (ref != 0 && size != 0) {
        if (!ValidRef(ref, size * 8)) {
            rec.enables[0] &= uint8_t(~EN0_EIP);
        } else {
            // Pairs: produced, consumed, third.
            const unsigned slot = (k & DPRK_EIP_THIRD) ? 2 : (k & DPRK_EIP_PRODUCED) ? 0 : 1;
            rec.eip[slot][0] = ref;
            rec.eip[slot][1] = size;
        }
    }
    return pos + DPRR_EIP_STOP;
}

std::size_t FtpRecord(const Walk &w, std::size_t pos, DprConfigRec &rec) {
    return Accounts(w, pos + DPRR_ACCOUNTS, [&rec](unsigned i, const char *u, const char *p, const char *t, uint8_t r) {
        if (i >= 2) return;
        std::strcpy(rec.ftp[i].user, u);
        std::strcpy(rec.ftp[i].password, p);
        std::strcpy(rec.ftp[i].text, t);
        rec.ftp[i].rights = r;
    });
}

std::size_t HttpRecord(const Walk &w, std::size_t pos, DprConfigRec &rec) {
    return Accounts(w, pos + DPRR_ACCOUNTS, [&rec](unsigned i, const char *u, const char *p, const char *t, uint8_t r) {
        if (i != 0) return;
        std::strcpy(rec.http.user, u);
        std::strcpy(rec.http.password, p);
        std::strcpy(rec.http.text, t);
        rec.http.flag = r;
    });
}

std::size_t ModbusRecord(const Walk &w, std::size_t pos, DprConfigRec &rec) {
    uint32_t f = 0;
    if (!w.Word(pos + DPRR_MB_FLAGS, f)) return 0;
    std::size_t p = pos + DPRR_MB_NEXT;
    uint16_t mode = rec.modbus.udp_mode, port = rec.modbus.port;
    if ((f & DPRR_MB_MODE_PORT) || (rec.enables[1] & EN1_MODBUS_PORT)) {
        uint32_t m = 0, pt = 0;
        if (!w.Pair(p, m, pt)) return 0;
        mode = uint16_t(m);
        port = uint16_t(pt);
        p += DPRR_MB_MODE_PORT_WORDS;
    }
    uint32_t map_word = 0;
    if (!w.Word(p, map_word)) return 0;
    p += 4;
    if (DrevanoRuntime && drevano_variables_enumerateded) {
        DprModbusIec &m = rec.modbus_iec;
        for (unsigned i = 0; i < 8; i++)
            if (!w.Word(p + 4 * i, m.words[i])) return 0;
        p += DPRR_MB_WORDS;
        m.map_word = map_word;
        m.present = 1;
        m.udp_mode = mode;
        m.port = port;
    } else {
        ModbusServerCfg &m = rec.modbus;
        if (f & DPRR_MB_SKIP8) {
            if (p + DPRR_MB_WORDS > w.end) return 0;
            p += DPRR_MB_WORDS;
        }
        m.map_word = map_word;
        m.present = 1;
        m.udp_mode = mode;
        m.port = port;
    }
    return p;
}

std::size_t AsciiRecord(const Walk &w, std::size_t pos, DprConfigRec &rec) {
    uint32_t refs[DPRR_ASCII_COUNT] = {};
    for (unsigned i = 0; i < DPRR_ASCII_COUNT; i++)
        if (!w.Word(pos + DPRR_ASCII_REFS + 4 * i, refs[i])) return 0;
    for (unsigned i = 1; i <= 4; i++) {
        // With the port-from-register flag clear, word 2 is the port itself.
        if (i == 1 && refs[0] == 0) continue;
        if (!ValidRef(refs[i], DPRR_ASCII_REF_BITS)) {
            refs[i] = 0;
            Invalid_reg_flag = 1;
        }
    }
    if (Invalid_reg_flag) rec.enables[1] &= uint8_t(~EN1_ASCII);
    std::memcpy(rec.ascii, refs, sizeof refs);
    return pos + DPRR_ASCII_STOP;
}

std::size_t NtpRecord(const Walk &w, std::size_t pos, uint32_t n, DprConfigRec &rec) {
    uint32_t first = 0;
    if (!w.Word(pos + DPRR_NTP_VALUES, first) || pos + DPRR_NTP_STOP > w.end) return 0;
    // Network time belongs to interface 0 alone.
    if (n == 0) {
        rec.ntp_values[0] = uint16_t(first);
        rec.ntp_values[1] = uint16_t(first >> 16);
        NtpNames(w, pos + DPRR_NTP_NAMES, rec);
        NTP_Enabled = 1;
        Ntp_ConfigReset = 1;
    }
    return pos + DPRR_NTP_STOP;
}

std::size_t AddressesRecord(const Walk &w, std::size_t pos, uint32_t n, DprConfigRec &rec) {
    uint32_t F = 0;
    if (!w.Word(pos + DPRR_ADDR_FLAGS, F)) return 0;
    uint8_t *e = rec.enables;
    auto put = [](uint8_t &byte, uint8_t bit, bool on) { byte = on ? uint8_t(byte | bit) : uint8_t(byte & ~bit); };
    put(e[1], EN1_NETID_OCTET, F & DPRF_NETID_OCTET);
    put(e[0], EN0_B0, !(F & DPRF_EN0_B0_OFF));
    put(e[1], EN1_ADDR_REG, F & DPRF_ADDR_REG);
    if (!(F & DPRF_MODBUS_OFF)) {
        e[0] |= EN0_MODBUS;
        rec.modbus.udp_mode = rec.modbus_iec.udp_mode = 0;
        rec.modbus.port = rec.modbus_iec.port = 502;
        put(e[1], EN1_MODBUS_PORT, !(F & DPRF_MODBUS_PORT_OFF));
    } else {
        e[0] &= uint8_t(~EN0_MODBUS);
    }
    put(e[0], EN0_EGD, !(F & DPRF_EGD_OFF));
    put(e[0], EN0_PING, !(F & DPRF_PING_OFF));
    put(e[0], EN0_EIP, !(F & DPRF_EIP_OFF));
    put(e[0], EN0_FTP, !(F & DPRF_FTP_OFF));
    put(e[0], EN0_HTTP, !(F & DPRF_HTTP_OFF));
    put(e[0], EN0_B7, !(F & DPRF_DHCP));
    put(e[2], EN2_DHCP, F & DPRF_DHCP);
    rec.dhcp_enable = (F & DPRF_DHCP) ? 1 : 0;
    put(e[1], EN1_ASCII, !(F & DPRF_ASCII_OFF));
    if (n == 0 && NTP_Enabled == 1 && !(F & DPRF_NTP_OFF)) e[2] |= EN2_NTP;
    put(e[2], EN2_DNS_WORD, F & DPRF_DNS_WORD);
    put(e[2], EN2_DNS_REG, F & DPRF_DNS_REG);
    put(e[1], EN1_MASKGW_WORDS, F & DPRF_MASKGW_WORDS);
    put(e[1], EN1_MASK_REG, F & DPRF_MASK_REG);
    put(e[1], EN1_GW_REG, F & DPRF_GW_REG);

    std::size_t p = pos + DPRR_ADDR_GATEWAY;
    if (!w.Word(p, rec.gateway)) return 0;
    p += 4;
    if (e[2] & EN2_DNS_WORD) {
        if (!w.Word(p, rec.dns)) return 0;
        p += 4;
    }
    p += 4;  // one further word
    auto pair = [&](uint32_t &ref) {
        uint32_t r = 0, c = 0;
        if (!w.Pair(p, r, c)) return false;
        p += DPRR_ADDR_PAIR;
        ref = ValidRef(r, c) ? r : 0;
        return true;
    };
    if (!pair(rec.const_ref) || !pair(rec.status_ref) || !pair(rec.address_ref)) return 0;
    if (e[1] & EN1_MASKGW_WORDS) {
        if (!pair(rec.mask_ref) || !pair(rec.gateway_ref)) return 0;
        if ((e[2] & EN2_DNS_WORD) && !pair(rec.dns_ref)) return 0;
    }
    if (n == 0) {
        if (NTP_Enabled != 1) {
            e[2] &= uint8_t(~EN2_NTP);
            NTP_Enabled = 0;
            SystemTimeFromClock();
        } else if (!(F & DPRF_NTP_OFF)) {
            SystemTimeFromClock();
        }
    }
    return p;
}

std::size_t ValuesRecord(const Walk &w, std::size_t pos, DprConfigRec &rec) {
    if (!w.Word(pos + DPRR_VALUE0, rec.values[0]) || !w.Word(pos + DPRR_VALUE1, rec.values[1])) return 0;
    return pos + DPRR_VALUES_STOP;
}

std::size_t SkippedRecord(const Walk &w, std::size_t pos) {
    std::size_t p = pos + DPRR_SKIP_WORDS;
    uint32_t v = 0;
    while (true) {
        if (!w.Word(p, v)) return 0;
        if (v == 0) return p;
        p += 4;
    }
}

}  // namespace

void Dpr_StrCrypt(char *dst, const uint8_t *src, uint32_t length) {
    if (length > kStrMax) length = kStrMax;
    for (uint32_t i = 0; i < length; i++) dst[i] = char(src[i] ^ uint8_t(DprCryptKey[i]));
    dst[length] = 0;
}

uint32_t DprParseBlock(const uint8_t *block, std::size_t block_bytes, uint32_t n, DprConfigRec &rec) {
    std::memset(&rec, 0, DPR_CONFIG_BYTES);
    // What a parse finds holds for that configuration alone: a bad ASCII
    // reference of the last one does not switch off the next, and interface
    // 0's EGD status entries are numbered afresh each time, however often
    // entering run parses the block again.
    Invalid_reg_flag = 0;
    if (n == 0) {
        EGD_Index_Count = 0;
        std::memset(DprStatusWrReqs, 0, DPR_EGD_STATUS_END - DPR_EGD_STATUS);
        LE_Put16(Dpr_Map_Ptr + DPR_EGD_COUNT, 0);
    }
    if (block == nullptr || block_bytes < 4) return 1;
    const uint32_t length = LE_Get32(block + DPRB_LENGTH);
    rec.length = length;
    if (length == DPRB_NONE || length <= DPRB_MIN_LENGTH) return 1;
    // The block ends where its length word says, and never past the bytes present.
    std::size_t end = ((std::size_t(length) + 4) & ~std::size_t(3)) - 4;
    if (end > block_bytes) end = block_bytes;
    const Walk w{block, end};
    // Address and mask are stored for any length above 8 (one of 9 to 11
    // bytes ends inside the mask word): they are read from the bytes present.
    const Walk head{block, block_bytes};
    if (!head.Word(DPRB_ADDRESS, rec.address) || !head.Word(DPRB_MASK, rec.mask)) return 1;

    uint32_t exchanges = 0;
    std::size_t pos = DPRB_RECORDS;
    uint32_t k = 0;
    while (w.Word(pos, k) && k != 0 && exchanges < DPR_EGD_MAX) {
        std::size_t stop = 0;
        switch (DprRecordOf(k)) {
        case DprRecord::Egd: stop = EgdRecord(w, pos, k, rec.egd[exchanges++], rec); break;
        case DprRecord::Ping: stop = PingRecord(w, pos, rec); break;
        case DprRecord::EipAssembly: stop = EipRecord(w, pos, k, rec); break;
        case DprRecord::FtpAccounts: stop = FtpRecord(w, pos, rec); break;
        case DprRecord::HttpAccount: stop = HttpRecord(w, pos, rec); break;
        case DprRecord::ModbusServer: stop = ModbusRecord(w, pos, rec); break;
        case DprRecord::AsciiTcp: stop = AsciiRecord(w, pos, rec); break;
        case DprRecord::NetworkTime: stop = NtpRecord(w, pos, n, rec); break;
        case DprRecord::Addresses: stop = AddressesRecord(w, pos, n, rec); break;
        case DprRecord::Values: stop = ValuesRecord(w, pos, rec); break;
        case DprRecord::Skipped: stop = SkippedRecord(w, pos); break;
        }
        if (stop == 0) break;
        pos = stop + DPRB_NEXT;
    }
    // The end mark after the last exchange is already there: the record was zeroed.
    if (CountEntries(DprRdReqs1, kReadMax) > kReadMax || CountEntries(DprWrReqs1, kWriteMax) > kWriteMax) return 1;
    return 0;
}

uint32_t DprParseConfig(uint32_t n) {
    if (n > 1) return 1;
    DprConfigRec &rec = Dpr_Configuration[n];
    if (EtnConfp == nullptr || LE_Get32(EtnConfp + DPRB_LENGTH) == DPRB_NONE || LE_Get16(EtnConfp - 2) == 0) {
        return 1;
    }
    // The slot record's own length bounds the walk as much as word 0 does.
    const std::size_t room = LE_Get16(EtnConfp - 2);
    return DprParseBlock(EtnConfp, room, n, rec);
}
