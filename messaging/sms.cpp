// SMS engine: reads the messaging block's SMS section, sends messages with
// live register values to contact groups when a trigger bit rises, and
// applies command messages that match the downloaded templates.
#include "messaging/sms.h"

#include <bit>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/image/bytes.h"
#include "core/image/plcreg.h"
#include "core/image/timebase.h"
#include "core/storage/memfile.h"
#include "core/storage/nvram.h"
#include "messaging/atcmd.h"

SmsEngine sms;

namespace {

constexpr uint32_t kBlockData = 8;  // the sections start after the CRC and length words
constexpr uint32_t kMaxFields = 21;
constexpr uint32_t kNumberDigits = 20;

uint32_t U32(uint32_t off) { return off + 4 <= SMS_TABLE_BL_SIZE ? LE_Get32(&sms_table_bl[off]) : 0; }
uint8_t U8(uint32_t off) { return off < SMS_TABLE_BL_SIZE ? sms_table_bl[off] : 0; }

uint32_t BlockEnd() {
    const uint64_t n = uint64_t(kBlockData) + LE_Get32(&sms_table_bl[4]);
    return n > SMS_TABLE_BL_SIZE ? uint32_t(SMS_TABLE_BL_SIZE) : uint32_t(n);
}

bool Inside(const SmsTables &t, uint64_t at, uint64_t n) { return at >= t.sec && at + n <= uint64_t(t.sec) + t.size; }

// Tool address to block offset.
uint64_t Place(uint32_t sec, uint32_t addr, uint32_t base) {
    return uint64_t(sec) + 100 + uint64_t(addr) - uint64_t(base);
}

bool TriggerBit(uint32_t addr, uint8_t *v) {
    uint8_t b = 0;
    if (!SMSPlcReg_Get(&b, addr, 1)) return false;
    *v = b;
    return true;
}

// Phone number of contact c: digits with a '+' only in first place.
void ContactNumber(uint32_t c, char *out, std::size_t cap) {
    const SmsTables &t = sms.t;
    const uint32_t rec = t.contacts + 20 * c;
    const uint32_t off = U32(rec);
    const uint32_t len = U32(rec + 4) & 0xFF;
    char raw[32] = {};
    if (len == 0) {
        uint8_t b[21] = {};
        for (unsigned i = 0; i < 21; i++)
            if (!SMSPlcReg_Get(&b[i], off + 8 * i, 8)) break;
        std::memcpy(raw, b, 21);
    } else if (const char *s = Sms_String(t, off, len)) {
        std::memcpy(raw, s, len < 31 ? len : 31);
    }
    // At most 20 digits, behind a '+' when the number starts with one.
    std::size_t k = 0, digits = 0;
    for (unsigned i = 0; raw[i] && i < 31 && k + 1 < cap && digits < kNumberDigits; i++) {
        if (raw[i] >= '0' && raw[i] <= '9') {
            out[k++] = raw[i];
            digits++;
        } else if (raw[i] == '+' && k == 0) {
            out[k++] = raw[i];
        }
    }
    out[k] = 0;
}

uint32_t ReadValue(uint32_t addr, uint32_t width, uint32_t *v) {
    uint8_t b[4] = {};
    if (width == 0) width = 16;
    if (width != 1 && width != 8 && width != 16 && width != 32) return 0;
    if (!SMSPlcReg_Get(b, addr, width)) return 0;
    *v = LE_Get32(b);
    return 1;
}

}  // namespace

void Sms_ContactNumber(uint32_t c, char *out, std::size_t cap) { ContactNumber(c, out, cap); }

bool Sms_MagicIs1VMS() { return std::memcmp(sms.MagicID.data(), "1VMS", 4) == 0; }

uint32_t Sms_Tables(uint32_t sec, SmsTables &t) {
    t = SmsTables{};
    if (uint64_t(sec) + 100 > BlockEnd()) return 0;
    t.sec = sec;
    t.size = U32(sec);
    const uint32_t base = U32(sec + 8);
    const uint64_t contacts = uint64_t(sec) + 100;
    const uint64_t rx = Place(sec, U32(sec + 16), base), tx = Place(sec, U32(sec + 24), base);
    const uint64_t fields = Place(sec, U32(sec + 32), base), strings = Place(sec, U32(sec + 40), base);
    t.ncontacts = U32(sec + 12) / 20;
    t.nrx = U32(sec + 20) / 16;
    t.ntx = U32(sec + 28) / 16;
    t.nfields = U32(sec + 36) / 12;
    t.limit = U32(sec + 44);
    const auto fit = [](uint64_t v) { return v > 0xFFFFFFFFu ? 0xFFFFFFFFu : uint32_t(v); };
    t.contacts = fit(contacts);
    t.rx = fit(rx);
    t.tx = fit(tx);
    t.fields = fit(fields);
    t.lists = fit(fields + uint64_t(t.nfields) * 12);
    t.strings = fit(strings);
    return 1;
}

uint32_t SMSTableCheck(const SmsTables &t) {
    if (t.ncontacts > 256 || t.nrx > 256 || t.ntx > 256) return 0;
    // The section lies inside the block; every table with entries, the
    // position lists and the string area up to its limit lie inside the
    // section. A table without entries is never read, whatever its address.
    if (uint64_t(t.sec) + t.size > BlockEnd() || t.size < 100) return 0;
    const auto holds = [&t](uint64_t at, uint64_t n) { return n == 0 || Inside(t, at, n); };
    if (!holds(t.contacts, uint64_t(t.ncontacts) * 20) || !holds(t.rx, uint64_t(t.nrx) * 16) ||
        !holds(t.tx, uint64_t(t.ntx) * 16) || !holds(t.fields, uint64_t(t.nfields) * 12) ||
        !holds(t.lists, uint64_t(t.nrx + t.ntx) * 8) || !holds(t.strings, t.limit))
        return 0;
    // A string's end, not only its offset and its length, lies within the
    // limit: one that ended past it would be read from past the string area.
    const auto ok = [&](uint32_t off, uint32_t len) { return uint64_t(off) + len <= t.limit; };
    for (uint32_t i = 0; i < t.ncontacts; i++) {
        const uint32_t r = t.contacts + 20 * i;
        if (U32(r + 4) != 0 && !ok(U32(r), U32(r + 4))) return 0;
    }
    for (uint32_t i = 0; i < t.nrx; i++)
        if (!ok(U32(t.rx + 16 * i), U32(t.rx + 16 * i + 4))) return 0;
    for (uint32_t i = 0; i < t.ntx; i++)
        if (!ok(U32(t.tx + 16 * i), U32(t.tx + 16 * i + 4))) return 0;
    for (uint32_t i = 0; i < t.nrx + t.ntx; i++)
        if (!ok(U32(t.lists + 8 * i), U32(t.lists + 8 * i + 4))) return 0;
    return 1;
}

const char *Sms_String(const SmsTables &t, uint32_t off, uint32_t len) {
    // Bounded by the block's data too: the centre number and the PIN are
    // read from a section before its check, whose size may claim more.
    const uint64_t at = uint64_t(t.strings) + off;
    if (uint64_t(off) + len > t.limit || !Inside(t, at, len) || at + len > BlockEnd()) return nullptr;
    return reinterpret_cast<const char *>(&sms_table_bl[t.strings + off]);
}

bool Sms_List(const SmsTables &t, bool send, uint32_t i, const char **text, uint32_t *len) {
    const uint32_t k = send ? t.nrx + i : i;
    if ((send && i >= t.ntx) || (!send && i >= t.nrx)) return false;
    const uint32_t off = U32(t.lists + 8 * k);
    uint32_t l = U32(t.lists + 8 * k + 4);
    if (l > 140) l = 140;
    *text = Sms_String(t, off, l);
    *len = l;
    return *text != nullptr;
}

uint32_t FieldExtractor(const char *list, uint32_t len, uint32_t *at, uint32_t *pos, uint32_t *field) {
    uint32_t i = *at;
    if (i == 0 && len > 0 && list[0] == ':') i = 1;
    uint32_t v[2];
    for (unsigned k = 0; k < 2; k++) {
        if (i >= len || list[i] < '0' || list[i] > '9') return 0;
        uint32_t n = 0;
        while (i < len && list[i] >= '0' && list[i] <= '9') {
            n = n * 10 + uint32_t(list[i] - '0');
            if (n > 100000) n = 100000;
            i++;
        }
        if (i >= len || list[i] != ':') return 0;
        i++;
        v[k] = n;
    }
    *pos = v[0];
    *field = v[1];
    *at = i;
    return 1;
}

uint32_t GetDataFromReg(const SmsTables &t, uint32_t f, char *out, uint32_t cap) {
    out[0] = 0;
    if (f >= t.nfields || cap < 40) return 0;
    const uint32_t rec = t.fields + 12 * f;
    const uint32_t addr = U32(rec);
    const uint8_t width = U8(rec + 4), format = U8(rec + 5), fw = U8(rec + 6);
    uint32_t v = 0;
    if (format == 8) {
        uint32_t n = fw < 31 ? fw : 31, k = 0;
        for (; k < n; k++) {
            uint8_t b = 0;
            if (!SMSPlcReg_Get(&b, addr + 8 * k, 8)) break;
            out[k] = char(b);
        }
        out[k] = 0;
        return k;
    }
    // A width of 0 reads (and is written by a command as) a word.
    const uint32_t rw = format == 0 ? (width ? width : 1) : (width ? width : 16);
    if (!ReadValue(addr, rw, &v)) return 0;
    int n = 0;
    switch (format) {
    case 0: n = std::snprintf(out, cap, "%s", (v & (rw == 1 ? 1u : 0xFFFFFFFFu)) ? " ON" : "OFF"); break;
    case 1: {
        char b[33];
        int k = 0;
        uint32_t x = rw < 32 ? (v & ((1u << rw) - 1)) : v;
        do {
            b[k++] = char('0' + (x & 1));
            x >>= 1;
        } while (x);
        for (int i = 0; i < k; i++) out[i] = b[k - 1 - i];
        out[k] = 0;
        n = k;
        break;
    }
    case 2: n = std::snprintf(out, cap, "%x", rw < 32 ? (v & ((1u << rw) - 1)) : v); break;
    case 3:
        n = width == 8 ? std::snprintf(out, cap, "%d", int(int8_t(v))) : std::snprintf(out, cap, "%d", int(int16_t(v)));
        break;
    case 4: n = std::snprintf(out, cap, "%u", unsigned(v & 0xFFFF)); break;
    case 5: n = std::snprintf(out, cap, "%d", int32_t(v)); break;
    case 6: n = std::snprintf(out, cap, "%u", v); break;
    case 7: {
        const float fl = std::bit_cast<float>(v);
        char b[64];
        n = std::snprintf(b, sizeof b, "%f", double(fl));
        if (n > 32 || n < 0) n = 0;
        std::memcpy(out, b, size_t(n));
        out[n] = 0;
        break;
    }
    case 9: n = std::snprintf(out, cap, "%u.%u.%u.%u", v >> 24, (v >> 16) & 0xFF, (v >> 8) & 0xFF, v & 0xFF); break;
    default:
        n = 0;
        out[0] = 0;
        break;
    }
    return n > 0 ? uint32_t(n) : 0;
}

void DataFormat(char *msg, uint32_t msg_len, uint32_t place, const char *value, uint32_t vlen, const SmsTables &t,
                uint32_t f) {
    if (f >= t.nfields || place >= msg_len) return;
    const uint32_t rec = t.fields + 12 * f;
    const uint8_t format = U8(rec + 5), flags = U8(rec + 7), d = U8(rec + 8);
    uint32_t w = U8(rec + 6);
    if (format == 0 && w == 0) w = 3;
    char txt[264];
    uint32_t L = vlen < 64 ? vlen : 64;
    std::memcpy(txt, value, L);
    txt[L] = 0;
    if (format == 7) {
        char *pt = std::strchr(txt, '.');
        if (d == 1 && txt[0] == '0') {
            std::memmove(txt, txt + 1, L);
            L--;
            pt = std::strchr(txt, '.');
        }
        if (d == 0 && pt) {
            *pt = 0;
        } else if (pt && w > d) {
            const uint32_t keep = w - d;
            if (std::strlen(pt + 1) > keep) pt[1 + keep] = 0;
        }
        L = uint32_t(std::strlen(txt));
    } else if (d != 0 && format != 8 && format != 0) {
        // A point among digits: " ON"/"OFF" and a text have no digits to
        // place it in (in its field of 3 a bit would only ever overflow), so
        // a decimal control given with them is left aside.
        const bool neg = txt[0] == '-';
        const char *dg = txt + (neg ? 1 : 0);
        const uint32_t dl = uint32_t(std::strlen(dg));
        // A sign in front leaves one character less for the zero, the point
        // and the digits: when they no longer fit, the field overflows
        // rather than the digits overwriting the point.
        const uint32_t lead = (neg ? 1u : 0u) + (d == 1 ? 0u : 1u);
        const bool fits = w >= d && (dl > w - d || lead + 1 + dl <= w);
        if (dl + (neg ? 1 : 0) < w && fits) {
            char r[264];
            const uint32_t k = w - d;
            uint32_t n = 0;
            if (neg) r[n++] = '-';
            if (dl > k) {
                std::memcpy(r + n, dg, dl - k);
                n += dl - k;
                r[n++] = '.';
                std::memcpy(r + n, dg + dl - k, k);
                n += k;
            } else {
                // w characters: the point at its index, '0' up to the digits.
                const uint32_t total = w;
                const uint32_t p = (d == 1 ? 0 : 1) + n;
                for (uint32_t i = n; i < total; i++) r[i] = '0';
                r[p] = '.';
                std::memcpy(r + total - dl, dg, dl);
                n = total;
            }
            r[n] = 0;
            std::memcpy(txt, r, n + 1);
            L = n;
        } else {
            L = 0xFFFF;  // overflows its field
        }
    }
    if (L > w) {
        for (uint32_t i = place; i < msg_len; i++) {
            if (msg[i] != 'x' && msg[i] != 'X' && msg[i] != '.') break;
            msg[i] = '>';
        }
        return;
    }
    char field[256];
    if (w > sizeof field) w = sizeof field;
    const char pad = (flags & 2) ? '0' : ' ';
    if (flags & 1) {
        std::memcpy(field, txt, L);
        for (uint32_t i = L; i < w; i++) field[i] = ' ';
    } else {
        for (uint32_t i = 0; i < w - L; i++) field[i] = pad;
        std::memcpy(field + w - L, txt, L);
    }
    for (uint32_t i = 0; i < w && place + i < msg_len; i++) msg[place + i] = field[i];
}

void Sms_WriteStatus() {
    if (sms.status_reg) SMSPlcReg_Set(sms.status_reg, sms.status.data(), 96);
}

void Sms_WriteStorage(const char *prefix, const char *text, uint32_t len) {
    if (!sms.storage_reg) return;
    uint8_t area[160] = {};
    uint32_t n = 0;
    for (const char *p = prefix; *p && n < 160; p++) area[n++] = uint8_t(*p);
    for (uint32_t i = 0; i < len && n < 160; i++) area[n++] = uint8_t(text[i]);
    SMSPlcReg_Set(sms.storage_reg, area, 1280);
}

uint32_t SmsStructInit() {
    SmsTables &t = sms.t;
    Sms_Tables(kBlockData, t);
    std::memcpy(sms.MagicID.data(), &sms_table_bl[kBlockData + 4], 4);
    sms.MagicID[4] = 0;
    const uint32_t sec = kBlockData;
    const uint8_t period = U8(sec + 57);
    ReceiveSMSDuration = period ? uint32_t(period) * 10000u : 10000u;
    sms.status_reg = U32(sec + 60);
    sms.storage_reg = U32(sec + 64);
    sms.start_mode = U8(sec + 70);
    // The centre number and the SIM's PIN go to the module whether or not
    // the tables pass their check (messaging off still leaves the SIM its
    // PIN); each is read only from inside the section and the block.
    const uint32_t clen = U32(sec + 52);
    const char *centre = Sms_String(t, U32(sec + 48), clen);
    if (U8(sec + 68) == 1 && clen < 17 && centre)
        AT_SetConfig(3, centre, clen);
    else
        AT_SetConfig(3, "", 0);
    const uint32_t plen = U32(sec + 76);
    const char *pin = Sms_String(t, U32(sec + 72), plen);
    if (U8(sec + 69) == 1 && plen < 5 && pin)
        AT_SetConfig(1, pin, plen);
    else
        AT_SetConfig(1, "", 0);
    const bool table_ok = SMSTableCheck(t) != 0;
    sms.table_ok = table_ok;
    // The module's serial port and its line settings.
    const uint8_t portp1 = U8(sec + 92);
    ATPort = portp1 ? uint8_t(portp1 - 1) : 0;
    ComportCfg = {U8(sec + 93), U8(sec + 94), U8(sec + 95),
                  U8(sec + 96), U8(sec + 97), uint8_t(((U8(sec + 99) & 0x0F) << 4) | 1)};
    if (!table_ok ||
        ((GSMGPRSInfo_St.b[kGsmCall] & kGsmCallConfigured) && !(GSMGPRSInfo_St.b[kGsmConfig] & kGsmCfgTelit))) {
        std::memcpy(sms.MagicID.data(), "MSON", 5);
        return 0;
    }
    GSMGPRSInfo_St.b[kGsmPort] |= kGsmPortSmsMark;
    GSMGPRSParmInit();
    return 0;
}

void SMS_Start() {
    const uint32_t size = U32(kBlockData);
    const bool on =
        (NV_EditorFeatures & NVF_SMS) && size > 99 && std::memcmp(&sms_table_bl[kBlockData + 4], "MSON", 4) != 0;
    if (!on) {
        std::memcpy(sms.MagicID.data(), "MSON", 5);
        // Off only for this run: forget the set-up, so that the next start
        // with a valid section sets the engine up again even when the block
        // is the same one as before.
        sms.set_up = 0;
        return;
    }
    const uint16_t crc = LE_Get16(&sms_table_bl[0]);
    if (sms.set_up && crc == sms.last_crc && size == sms.last_size) {
        sms.bLastTrigger = {};
        // A section that failed its check names no storage area of ours.
        if (Sms_MagicIs1VMS()) Sms_WriteStorage("", "", 0);
        return;
    }
    sms.status = {};
    SmsStructInit();
    // A downloaded AT script would report through a register of its own;
    // the section names none (only the status and storage registers, at 60
    // and 64), so there is none to clear here, and no guessed place of the
    // user's registers is overwritten.
    sms.last_crc = crc;
    sms.last_size = size;
    sms.set_up = 1;
    sms.init_done = 0;
    sms.recv_ok = 1;
    sms.send_ok = 0;
    sms.PrepAction = 0;
    sms.msg = 0;
    sms.group_send = 0;
    sms.rounds = 0;
    sms.delay_pending = sms.start_mode == 1;
    sms.hold_at = FPGA_GetFrt();
    RxAction = 0;
    // A section that failed its check names no storage area of ours.
    if (!Sms_MagicIs1VMS()) return;
    sms.bLastTrigger = {};
    Sms_WriteStorage("", "", 0);
}

void SMS_Stop() {}

uint32_t PrepareSMS() {
    SmsTables &t = sms.t;
    if (t.ntx == 0) {
        sms.recv_ok = 1;
        sms.send_ok = 0;
        return 0;
    }
    // After the last entry receiving is allowed again. Only receive rounds
    // are counted (in SMS_Scanner): the modem goes back after two of them,
    // each followed by its send pass, not after one of each.
    const auto next_entry = [&]() {
        if (++sms.msg >= t.ntx) {
            sms.msg = 0;
            sms.recv_ok = 1;
        }
    };
    const auto take_number = [&]() {
        while (sms.group_left) {
            const uint16_t c = sms.group[--sms.group_left];
            ContactNumber(c, sms.number.data(), sms.number.size());
            if (sms.number[0]) return true;
        }
        return false;
    };
    if (sms.PrepAction == 0) {
        const uint32_t e = t.tx + 16 * sms.msg;
        if (sms.group_send) {
            if (take_number()) {
                sms.PrepAction = 1;
                return 0;
            }
            // The contacts left have no number: the group is finished as
            // after its last send, or the trigger, still set, would start
            // the whole group again.
            const uint8_t zero = 0;
            sms.group_send = 0;
            SMSPlcReg_Set(U32(e + 12), &zero, 1);
            next_entry();
            return 0;
        }
        uint8_t trig = 0;
        const uint32_t taddr = U32(e + 12);
        if (!TriggerBit(taddr, &trig) || trig == 0) sms.bLastTrigger[sms.msg] = 0;
        if (trig != 1 || sms.bLastTrigger[sms.msg]) {
            next_entry();
            return 0;
        }
        // A new rise: the group, the text and its fields.
        const uint8_t grp = U8(e + 8);
        sms.group_left = 0;
        for (uint32_t c = 0; c < t.ncontacts && sms.group_left < sms.group.size(); c++)
            if (U8(t.contacts + 20 * c + 16) == grp) sms.group[sms.group_left++] = uint16_t(c);
        const uint32_t len = U32(e + 4);
        const char *txt = Sms_String(t, U32(e), len);
        sms.bLastTrigger[sms.msg] = 1;
        if (txt == nullptr || len >= SMS_TEXT_MAX || sms.group_left == 0) {
            next_entry();
            return 0;
        }
        std::memcpy(sms.Txt_buf.data(), txt, len);
        sms.txt_len = uint16_t(len);
        const char *list;
        uint32_t ll, at = 0, pos, fld;
        if (Sms_List(t, true, sms.msg, &list, &ll)) {
            char val[72];
            // Every item of the list (at most 140 characters) is filled: the
            // limit of 21 fields is that of a command's template.
            while (FieldExtractor(list, ll, &at, &pos, &fld)) {
                if (pos >= SMS_TEXT_MAX || fld >= t.nfields) continue;
                const uint32_t vl = GetDataFromReg(t, fld, val, sizeof val);
                DataFormat(sms.Txt_buf.data(), len, pos, val, vl, t, fld);
            }
        }
        sms.group_send = 1;
        if (!take_number()) {
            sms.group_send = 0;
            next_entry();
            return 0;
        }
        sms.PrepAction = 1;
        sms.recv_ok = 0;
        return 0;
    }
    // Step 1: send the text to the number.
    SmsText num{}, txt{};
    num.len = uint16_t(std::strlen(sms.number.data()));
    std::memcpy(num.text.data(), sms.number.data(), num.len);
    txt.len = sms.txt_len;
    std::memcpy(txt.text.data(), sms.Txt_buf.data(), txt.len);
    const uint32_t r = SendSMSTelit(num, txt);
    if (r == 0) return 0;
    const bool finished = sms.group_left == 0;
    const uint32_t e = t.tx + 16 * sms.msg;
    const uint8_t zero = 0;
    if (r == 1) {
        sms.status[1] &= uint8_t(~0xC0u);
        sms.bLastTrigger[sms.msg] = 0;
        if (finished) SMSPlcReg_Set(U32(e + 12), &zero, 1);
        Sms_WriteStorage("", sms.Txt_buf.data(), sms.txt_len < 160 ? sms.txt_len : 160);
        LE_Put16(&sms.status[8], uint16_t(LE_Get16(&sms.status[8]) + 1));
    } else {
        if (r == 3)
            sms.status[1] = uint8_t((sms.status[1] | 0x40) & ~0x80u);
        else
            sms.status[1] |= 0xC0;
        sms.bLastTrigger[sms.msg] = 0;
        if (finished) SMSPlcReg_Set(U32(e + 12), &zero, 1);
    }
    Sms_WriteStatus();
    sms.PrepAction = 0;
    if (finished) {
        sms.group_send = 0;
        next_entry();
    }
    return r;
}

uint32_t ParseSMS(uint32_t entry, const char *text, uint32_t len, char *answer, uint32_t answer_cap, uint8_t *rv) {
    SmsTables &t = sms.t;
    *rv = 0;
    if (entry >= t.nrx) return 0;
    const uint32_t e = t.rx + 16 * entry;
    uint32_t tl = U32(e + 4);
    if (tl > 160) tl = 160;
    const char *tpl = Sms_String(t, U32(e), tl);
    if (tpl == nullptr) return 0;
    struct Val {
        uint32_t field, pos;
        char text[40];
        uint32_t n;
    };
    Val vals[kMaxFields];
    uint32_t nv = 0;
    uint32_t fpos[kMaxFields], ffld[kMaxFields], nf = 0;
    bool taken[kMaxFields] = {};
    const char *list;
    uint32_t ll, at = 0;
    if (Sms_List(t, false, entry, &list, &ll)) {
        uint32_t pos, fld;
        while (nf < kMaxFields && FieldExtractor(list, ll, &at, &pos, &fld)) {
            if (pos >= SMS_TEXT_MAX || fld >= t.nfields) continue;
            fpos[nf] = pos;
            ffld[nf++] = fld;
        }
    }
    uint32_t ti = 0, ri = 0;
    while (ti < tl) {
        // Each list item is a field once: one of width 0 leaves the template
        // where it is, and taking it again would never end (nor would the
        // values stay within their 21 slots).
        int f = -1;
        for (uint32_t k = 0; k < nf; k++)
            if (fpos[k] == ti && !taken[k]) f = int(k);
        if (f >= 0 && nv < kMaxFields) {
            taken[f] = true;
            const uint32_t rec = t.fields + 12 * ffld[f];
            const uint8_t format = U8(rec + 5);
            uint32_t fw = U8(rec + 6);
            if (format == 0 && fw == 0) fw = 3;
            while (ri < len && text[ri] == ' ') ri++;
            Val &v = vals[nv++];
            v.field = ffld[f];
            v.pos = ti;
            v.n = 0;
            for (uint32_t c = 0; c < fw && ri < len && v.n < sizeof v.text - 1; c++) {
                const char ch = text[ri];
                const char up = char(std::toupper(uint8_t(ch)));
                bool okc;
                switch (format) {
                case 0: okc = up == 'O' || up == 'N' || up == 'F'; break;
                case 1: okc = ch == '0' || ch == '1'; break;
                case 2: okc = std::isxdigit(uint8_t(ch)) != 0; break;
                case 3:
                case 5: okc = ch == '-' || (ch >= '0' && ch <= '9') || ch == '.'; break;
                case 4:
                case 6: okc = (ch >= '0' && ch <= '9') || ch == '.'; break;
                case 7: okc = ch == '-' || ch == '.' || (ch >= '0' && ch <= '9'); break;
                case 9: okc = ch == '.' || (ch >= '0' && ch <= '9'); break;
                default: okc = true; break;
                }
                if (!okc) break;
                ri++;
                if (ch == '.' && format >= 3 && format <= 6) continue;
                v.text[v.n++] = ch;
            }
            v.text[v.n] = 0;
            ti += fw;
            // The blanks behind the value are skipped on both sides: the
            // template's own blank would otherwise never match again.
            while (ri < len && text[ri] == ' ') ri++;
            while (ti < tl && tpl[ti] == ' ') ti++;
            continue;
        }
        if (ri < len && std::toupper(uint8_t(tpl[ti])) == std::toupper(uint8_t(text[ri]))) {
            ti++;
            ri++;
        } else if (ri < len && text[ri] == ' ') {
            ri++;
        } else {
            return 0;
        }
    }
    // After the template: blanks and "RV" only.
    for (; ri < len; ri++) {
        if (text[ri] == ' ' || text[ri] == '\r' || text[ri] == '\n') continue;
        if (ri + 1 < len && std::toupper(uint8_t(text[ri])) == 'R' && std::toupper(uint8_t(text[ri + 1])) == 'V') {
            *rv = 1;
            ri++;
            continue;
        }
        return 0;
    }
    for (uint32_t k = 0; k < nv; k++) {
        const Val &v = vals[k];
        const uint32_t rec = t.fields + 12 * v.field;
        const uint32_t addr = U32(rec);
        const uint8_t width = U8(rec + 4), format = U8(rec + 5), fw = U8(rec + 6);
        uint8_t b[64] = {};
        uint32_t bits = width;
        uint32_t x = 0;
        switch (format) {
        case 0: {
            char up[8] = {};
            for (uint32_t i = 0; i < v.n && i < 7; i++) up[i] = char(std::toupper(uint8_t(v.text[i])));
            if (std::strcmp(up, "ON") == 0)
                x = 1;
            else if (std::strcmp(up, "OFF") == 0)
                x = 0;
            else
                return 0;
            bits = 1;
            break;
        }
        case 1: x = uint32_t(std::strtoul(v.text, nullptr, 2)); break;
        case 2: x = uint32_t(std::strtoul(v.text, nullptr, 16)); break;
        case 3:
            x = uint32_t(std::strtol(v.text, nullptr, 10));
            bits = width == 8 ? 8 : 16;
            break;
        case 4:
            x = uint32_t(std::strtoul(v.text, nullptr, 10));
            bits = 16;
            break;
        case 5:
            x = uint32_t(std::strtol(v.text, nullptr, 10));
            bits = 32;
            break;
        case 6:
            x = uint32_t(std::strtoul(v.text, nullptr, 0));
            bits = 32;
            break;
        case 7: {
            x = std::bit_cast<uint32_t>(std::strtof(v.text, nullptr));
            bits = 32;
            break;
        }
        case 8:
            std::memcpy(b, v.text, v.n);
            bits = uint32_t(fw) * 8;
            if (bits > 8 * sizeof b) bits = 8 * sizeof b;
            break;
        case 9: {
            unsigned a[4] = {};
            std::sscanf(v.text, "%u.%u.%u.%u", &a[0], &a[1], &a[2], &a[3]);
            x = (a[0] & 0xFF) << 24 | (a[1] & 0xFF) << 16 | (a[2] & 0xFF) << 8 | (a[3] & 0xFF);
            bits = 32;
            break;
        }
        default: return 0;
        }
        if (format != 8) LE_Put32(b, x);
        if (bits == 0) bits = 16;
        if (!SMSPlcReg_Set(addr, b, bits)) return 0;
    }
    if (*rv && answer && answer_cap > 1) {
        const uint32_t n = tl < answer_cap - 1 ? tl : answer_cap - 1;
        std::memcpy(answer, tpl, n);
        answer[n] = 0;
        char val[72];
        for (uint32_t k = 0; k < nf; k++) {
            const uint32_t vl = GetDataFromReg(t, ffld[k], val, sizeof val);
            DataFormat(answer, n, fpos[k], val, vl, t, ffld[k]);
        }
        sms.reply = 1;
    }
    return 1;
}

void SMS_Scanner() {
    if (!Sms_MagicIs1VMS()) return;
    if (CheckInit()) {
        sms.init_done = 1;
        if (sms.recv_ok) {
            sms.send_ok = 0;
            if (ReceiveSMSTelit()) {
                sms.rounds++;
                sms.send_ok = 1;
            }
        }
        LE_Put16(&sms.status[2], uint16_t(CheckSigSt()));
        Sms_WriteStatus();
        if (!sms.send_ok) return;
        sms.recv_ok = 0;
        PrepareSMS();
        if (sms.rounds >= 2 && sms.recv_ok) {
            if (GSMHoldKeep()) return;  // the hold register keeps the modem a while
            sms.rounds = 0;
            GSMGPRSRsrcMngr(3, 4);
        }
        return;
    }
    if (!sms.table_ok) {
        sms.status[1] |= 0x20;
        return;
    }
    if (sms.delay_pending) {
        if (FPGA_GetFrt() - sms.hold_at < 150000) return;
        sms.delay_pending = 0;
        GSMGPRSInfo_St.b[kGsmConfig] |= kGsmCfgPowerWaited;
    }
    SmsConfig();
    // The module had been initialised and no longer is: the rounds counted
    // on it are void, and the modem goes back to the manager (which starts
    // it again) unless the hold register's bit keeps it.
    if (sms.init_done) {
        sms.rounds = 0;
        if (!GSMHoldBit()) GSMGPRSRsrcMngr(3, 4);
    }
}
