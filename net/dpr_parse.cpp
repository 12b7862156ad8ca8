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

constexpr uint32_t kStrMax = 40;           // characters the key covers and a name field holds
constexpr uint32_t kReadMax = 288, kWriteMax = 416;

struct Walk {
    const uint8_t *b;
    std::size_t end;  // bytes from word 0
    bool Word(std::size_t pos, uint32_t &v) const {
        if (pos + 4 > end) return false;
        v = LE_Get32(b + pos);
        return true;
    }
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
        if (pos == 0 || !w.Byte(pos, rights) || !w.Byte(pos + 1, more) || pos + 4 > w.end) return 0;
        store(entry, user, pass, text, rights);
        pos += 4;
        if (more == 0) return pos;
    }
}

// Network-time server names into the record and "/etc/ntp.conf".
void NtpNames(const Walk &w, std::size_t pos, DprConfigRec &rec) {
    char path[512];
    if (PLAT_Path("/etc", path, sizeof path)) mkdir(path, 0755);
    FILE *f = PLAT_Path("/etc/ntp.conf", path, sizeof path) ? std::fopen(path, "w+") : nullptr;
    bool listing = true;
    for (unsigned i = 0; i < 10; i++) {
        const uint8_t *src = w.b + pos + 96 * i;
        char *dst = rec.ntp_servers[i];
        std::size_t n = 0;
        // A name ends at 95 characters or at the first control character.
        while (n < 95 && src[n] >= 0x20 && src[n] != 0x7F) {
            dst[n] = char(src[n]);
            n++;
        }
        dst[n] = 0;
        if (n == 0) listing = false;
        if (listing && f) std::fprintf(f, "server %s\n", dst);
    }
    if (f) std::fclose(f);
}

// Count of 8-byte entries of a request table before a zero word.
uint32_t CountEntries(const uint8_t *table, uint32_t max) {
    uint32_t n = 0;
    while (n <= max && LE_Get32(table + 20 + 8 * n) != 0) n++;
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

void AddressesAndEnables(const Walk &w, std::size_t pos, uint32_t k, uint32_t n, DprConfigRec &rec,
                         std::size_t &stop, bool &ok) {
    uint32_t F = 0, v = 0;
    ok = false;
    if (!w.Word(pos + 8, F)) return;
    uint8_t *e = rec.enables;
    auto put = [](uint8_t &byte, uint8_t bit, bool on) { byte = on ? uint8_t(byte | bit) : uint8_t(byte & ~bit); };
    put(e[1], EN1_NETID_OCTET, F & 0x1);
    put(e[0], EN0_B0, !(F & 0x2));
    put(e[1], EN1_ADDR_REG, F & 0x4);
    if (!(F & 0x8)) {
        e[0] |= EN0_MODBUS;
        rec.modbus.udp_mode = rec.modbus_iec.udp_mode = 0;
        rec.modbus.port = rec.modbus_iec.port = 502;
        put(e[1], EN1_MODBUS_PORT, !(F & 0x1000));
    } else {
        e[0] &= uint8_t(~EN0_MODBUS);
    }
    put(e[0], EN0_EGD, !(F & 0x10));
    put(e[0], EN0_PING, !(F & 0x20));
    put(e[0], EN0_EIP, !(F & 0x40));
    put(e[0], EN0_FTP, !(F & 0x80));
    put(e[0], EN0_HTTP, !(F & 0x100));
    put(e[0], EN0_B7, !(F & 0x200));
    put(e[2], EN2_DHCP, F & 0x200);
    rec.dhcp_enable = (F & 0x200) ? 1 : 0;
    put(e[1], EN1_ASCII, !(F & 0x400));
    if (n == 0 && NTP_Enabled == 1 && !(F & 0x2000)) e[2] |= EN2_NTP;
    put(e[2], EN2_DNS_WORD, F & 0x8000);
    put(e[2], EN2_DNS_REG, F & 0x10000);
    put(e[1], EN1_MASKGW_WORDS, F & 0x20000000);
    put(e[1], EN1_MASK_REG, F & 0x40000000);
    put(e[1], EN1_GW_REG, F & 0x80000000);
    (void)k;

    std::size_t p = pos + 12;
    if (!w.Word(p, rec.gateway)) return;
    p += 4;
    if (e[2] & EN2_DNS_WORD) {
        if (!w.Word(p, rec.dns)) return;
        p += 4;
    }
    p += 4;  // one further word
    auto pair = [&](uint32_t &ref) {
        uint32_t r = 0, c = 0;
        if (!w.Word(p, r) || !w.Word(p + 4, c)) return false;
        p += 8;
        ref = ValidRef(r, c) ? r : 0;
        return true;
    };
    if (!pair(rec.const_ref) || !pair(rec.status_ref) || !pair(rec.address_ref)) return;
    if (e[1] & EN1_MASKGW_WORDS) {
        if (!pair(rec.mask_ref) || !pair(rec.gateway_ref)) return;
        if ((e[2] & EN2_DNS_WORD) && !pair(rec.dns_ref)) return;
    }
    if (n == 0) {
        if (NTP_Enabled != 1) {
            e[2] &= uint8_t(~EN2_NTP);
            NTP_Enabled = 0;
            SystemTimeFromClock();
        } else if (!(F & 0x2000)) {
            SystemTimeFromClock();
        }
    }
    (void)v;
    stop = p;
    ok = true;
}

}  // namespace

void Dpr_StrCrypt(char *dst, const uint8_t *src, uint32_t length) {
    if (length > kStrMax) length = kStrMax;
    for (uint32_t i = 0; i < length; i++) dst[i] = char(src[i] ^ uint8_t(DprCryptKey[i]));
    dst[length] = 0;
}

uint32_t DprParseBlock(const uint8_t *block, std::size_t block_bytes, uint32_t n, DprConfigRec &rec) {
    std::memset(&rec, 0, DPR_CONFIG_BYTES);
    if (block == nullptr || block_bytes < 4) return 1;
    const uint32_t length = LE_Get32(block);
    rec.length = length;
    if (length == 0xFFFFFFFF || length <= 8) return 1;
    // The block ends where its length word says, and never past the bytes present.
    std::size_t end = ((std::size_t(length) + 4) & ~std::size_t(3)) - 4;
    if (end > block_bytes) end = block_bytes;
    const Walk w{block, end};
    if (!w.Word(4, rec.address) || !w.Word(8, rec.mask)) return 1;

    uint32_t exchanges = 0;
    std::size_t pos = 12;
    uint32_t k = 0;
    while (w.Word(pos, k) && k != 0 && exchanges < DPR_EGD_MAX) {
        std::size_t stop = 0;
        uint32_t v = 0;
        if (k & 0x80000000u) {
            DprEgdExchange &x = rec.egd[exchanges++];
            x.kind = k;
            bool ok = true;
            for (unsigned i = 0; i < 4 && ok; i++) ok = w.Word(pos + 4 + 4 * i, x.header[i]);
            std::size_t p = pos + 20;
            uint32_t items = 0, ref = 0, desc = 0;
            while (ok && (ok = w.Word(p, ref)) && ref != 0) {
                if (!(ok = w.Word(p + 4, desc))) break;
                // Items beyond the room of an exchange are skipped whole.
                const bool room = items < DPR_EGD_ITEMS;
                if (room) {
                    x.items[items][0] = ref;
                    x.items[items][1] = desc;
                    items++;
                }
                if (room && (desc & 0xE000) == 0x8000 && EGD_Index_Count < DPR_EGD_STATUS_MAX) {
                    Dpr_Add_Egd_Status_Req(ref, uint16_t(desc), EGD_Index_Count);
                    EGD_Index_Count++;
                    rec.egd_status_count++;
                    LE_Put16(Dpr_Map_Ptr + DPR_EGD_COUNT, EGD_Index_Count);
                }
                p += 8;
            }
            if (!ok) break;
            stop = p;
        } else if (k & 0x40000000u) {
            uint32_t t = 0, target = 0, result = 0;
            if (!w.Word(pos + 12, t) || !w.Word(pos + 20, target) || !w.Word(pos + 28, result) ||
                !w.Word(pos + 32, v))
                break;
            rec.ping_timeout = t;
            const bool result_ok = ValidRef(result, 2);
            rec.ping_target_ref = ValidRef(target, 2) ? target : 0;
            rec.ping_result_ref = result_ok ? result : 0;
            if (!result_ok || rec.ping_target_ref == 0) {
                rec.enables[0] &= uint8_t(~EN0_PING);
                rec.ping_target_ref = rec.ping_result_ref = 0;
            }
            stop = pos + 36;
        } else if (k & 0x10000000u) {
            uint32_t ref = 0, size = 0;
            if (!w.Word(pos + 20, ref) || !w.Word(pos + 24, size)) break;
            if (ref != 0 && size != 0) {
                if (!ValidRef(ref, size * 8)) {
                    rec.enables[0] &= uint8_t(~EN0_EIP);
                } else {
                    const unsigned slot = (k & 0x20000000u) ? 2 : (k & 0x2u) ? 0 : 1;
                    rec.eip[slot][0] = ref;
                    rec.eip[slot][1] = size;
                }
            }
            stop = pos + 28;
        } else if (k & 0x08000000u) {
            stop = Accounts(w, pos + 4, [&rec](unsigned i, const char *u, const char *p, const char *t, uint8_t r) {
                if (i >= 2) return;
                std::strcpy(rec.ftp[i].user, u);
                std::strcpy(rec.ftp[i].password, p);
                std::strcpy(rec.ftp[i].text, t);
                rec.ftp[i].rights = r;
            });
            if (stop == 0) break;
        } else if (k & 0x04000000u) {
            stop = Accounts(w, pos + 4, [&rec](unsigned i, const char *u, const char *p, const char *t, uint8_t r) {
                if (i != 0) return;
                std::strcpy(rec.http.user, u);
                std::strcpy(rec.http.password, p);
                std::strcpy(rec.http.text, t);
                rec.http.flag = r;
            });
            if (stop == 0) break;
        } else if (k & 0x01000000u) {
            uint32_t f = 0;
            if (!w.Word(pos + 4, f)) break;
            std::size_t p = pos + 8;
            uint16_t mode = rec.modbus.udp_mode, port = rec.modbus.port;
            if ((f & 0x40000) || (rec.enables[1] & EN1_MODBUS_PORT)) {
                uint32_t m = 0, pt = 0;
                if (!w.Word(p, m) || !w.Word(p + 4, pt)) break;
                mode = uint16_t(m);
                port = uint16_t(pt);
                p += 8;
            }
            uint32_t map_word = 0;
            if (!w.Word(p, map_word)) break;
            p += 4;
            if (DrevanoRuntime && drevano_variables_enumerateded) {
                DprModbusIec &m = rec.modbus_iec;
                bool ok = true;
                for (unsigned i = 0; i < 8 && ok; i++) ok = w.Word(p + 4 * i, m.words[i]);
                if (!ok) break;
                p += 32;
                m.map_word = map_word;
                m.present = 1;
                m.udp_mode = mode;
                m.port = port;
            } else {
                ModbusServerCfg &m = rec.modbus;
                if (f & 0x20000) {
                    if (p + 32 > end) break;
                    p += 32;
                }
                m.map_word = map_word;
                m.present = 1;
                m.udp_mode = mode;
                m.port = port;
            }
            stop = p;
        } else if (k & 0x00800000u) {
            uint32_t refs[6] = {};
            bool ok = true;
            for (unsigned i = 0; i < 6 && ok; i++) ok = w.Word(pos + 4 + 4 * i, refs[i]);
            if (!ok) break;
            for (unsigned i = 1; i <= 4; i++) {
                // With the port-from-register flag clear, word 2 is the port itself.
                if (i == 1 && refs[0] == 0) continue;
                if (!ValidRef(refs[i], 16)) {
                    refs[i] = 0;
                    Invalid_reg_flag = 1;
                }
            }
            if (Invalid_reg_flag) rec.enables[1] &= uint8_t(~EN1_ASCII);
            std::memcpy(rec.ascii, refs, sizeof refs);
            stop = pos + 28;
        } else if (k & 0x00200000u) {
            uint32_t first = 0;
            if (!w.Word(pos + 4, first) || pos + 8 + 960 > end) break;
            if (n == 0) {
                rec.ntp_values[0] = uint16_t(first);
                rec.ntp_values[1] = uint16_t(first >> 16);
                NtpNames(w, pos + 8, rec);
                NTP_Enabled = 1;
                Ntp_ConfigReset = 1;
            }
            stop = pos + 8 + 960;
        } else if (k & 0x20000000u) {
            bool ok = false;
            AddressesAndEnables(w, pos, k, n, rec, stop, ok);
            if (!ok) break;
        } else if (k == 0x00100000u) {
            if (!w.Word(pos + 8, rec.values[0]) || !w.Word(pos + 12, rec.values[1])) break;
            stop = pos + 16;
        } else {
            std::size_t p = pos + 20;
            bool ok = true;
            while ((ok = w.Word(p, v)) && v != 0) p += 4;
            if (!ok) break;
            stop = p;
        }
        pos = stop + 8;
    }
    // Step 4's end mark is already there: the record was zeroed.
    if (CountEntries(DprRdReqs1, kReadMax) > kReadMax || CountEntries(DprWrReqs1, kWriteMax) > kWriteMax) return 1;
    return 0;
}

uint32_t DprParseConfig(uint32_t n) {
    if (n > 1) return 1;
    DprConfigRec &rec = Dpr_Configuration[n];
    if (EtnConfp == nullptr || LE_Get32(EtnConfp) == 0xFFFFFFFF || LE_Get16(EtnConfp - 2) == 0) {
        return 1;
    }
    // The slot record's own length bounds the walk as much as word 0 does.
    const std::size_t room = LE_Get16(EtnConfp - 2);
    return DprParseBlock(EtnConfp, room, n, rec);
}
