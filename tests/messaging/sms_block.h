// Builds the messaging block's SMS section byte by byte, as the programming
// tool lays it out: header, settings, contacts, command and message tables,
// data fields, position lists and the string area.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "core/image/bytes.h"
#include "core/storage/memfile.h"

struct SmsBlock {
    struct Contact {
        std::string number;
        uint8_t group;
        uint32_t reg = 0;  // with no number: the bit address of registers holding it
    };
    struct Rx {
        std::string tpl;
        uint8_t reply, group;
        uint32_t bit;
        std::string list;
    };
    struct Tx {
        std::string text;
        uint8_t group;
        uint32_t trigger;
        std::string list;
    };
    struct Field {
        uint32_t addr;
        uint8_t width, format, fw, flags, d;
    };
    std::vector<Contact> contacts;
    std::vector<Rx> rx;
    std::vector<Tx> tx;
    std::vector<Field> fields;
    uint32_t status_reg = 0, storage_reg = 0;
    uint8_t port_plus1 = 3;
    std::array<uint8_t, 6> cfg{5, 0, 3, 0, 0, 1};  // baud .. handshake, mode, option
    uint8_t period = 1;
    std::string centre;
    int size_override = -1;
    uint32_t limit_extra = 0;

    std::vector<uint8_t> Section() const {
        const uint32_t base = 5000;
        std::vector<uint8_t> s(100, 0);
        std::string strings;
        auto str = [&](const std::string &t) {
            const uint32_t off = uint32_t(strings.size());
            strings += t;
            return off;
        };
        auto put32 = [&](std::vector<uint8_t> &v, std::size_t at, uint32_t x) {
            if (v.size() < at + 4) v.resize(at + 4);
            LE_Put32(&v[at], x);
        };
        std::vector<uint8_t> tables;
        const uint32_t c_at = 0;
        for (const Contact &c : contacts) {
            std::vector<uint8_t> r(20, 0);
            put32(r, 0, c.number.empty() ? c.reg : str(c.number));
            put32(r, 4, uint32_t(c.number.size()));
            r[16] = c.group;
            tables.insert(tables.end(), r.begin(), r.end());
        }
        const uint32_t rx_at = uint32_t(tables.size());
        for (const Rx &e : rx) {
            std::vector<uint8_t> r(16, 0);
            put32(r, 0, str(e.tpl));
            put32(r, 4, uint32_t(e.tpl.size()));
            r[8] = e.reply;
            r[9] = e.group;
            put32(r, 12, e.bit);
            tables.insert(tables.end(), r.begin(), r.end());
        }
        const uint32_t tx_at = uint32_t(tables.size());
        for (const Tx &e : tx) {
            std::vector<uint8_t> r(16, 0);
            put32(r, 0, str(e.text));
            put32(r, 4, uint32_t(e.text.size()));
            r[8] = e.group;
            put32(r, 12, e.trigger);
            tables.insert(tables.end(), r.begin(), r.end());
        }
        const uint32_t f_at = uint32_t(tables.size());
        for (const Field &f : fields) {
            std::vector<uint8_t> r(12, 0);
            put32(r, 0, f.addr);
            r[4] = f.width, r[5] = f.format, r[6] = f.fw, r[7] = f.flags, r[8] = f.d;
            tables.insert(tables.end(), r.begin(), r.end());
        }
        for (const Rx &e : rx) {
            std::vector<uint8_t> r(8, 0);
            put32(r, 0, str(e.list));
            put32(r, 4, uint32_t(e.list.size()));
            tables.insert(tables.end(), r.begin(), r.end());
        }
        for (const Tx &e : tx) {
            std::vector<uint8_t> r(8, 0);
            put32(r, 0, str(e.list));
            put32(r, 4, uint32_t(e.list.size()));
            tables.insert(tables.end(), r.begin(), r.end());
        }
        const uint32_t centre_off = str(centre);
        const uint32_t s_at = uint32_t(tables.size());
        const uint32_t limit = uint32_t(strings.size()) + limit_extra;
        std::memcpy(&s[4], "1VMS", 4);
        put32(s, 8, base + c_at);
        put32(s, 12, uint32_t(20 * contacts.size()));
        put32(s, 16, base + rx_at);
        put32(s, 20, uint32_t(16 * rx.size()));
        put32(s, 24, base + tx_at);
        put32(s, 28, uint32_t(16 * tx.size()));
        put32(s, 32, base + f_at);
        put32(s, 36, uint32_t(12 * fields.size()));
        put32(s, 40, base + s_at);
        put32(s, 44, limit);
        put32(s, 48, centre_off);
        put32(s, 52, uint32_t(centre.size()));
        s[57] = period;
        put32(s, 60, status_reg);
        put32(s, 64, storage_reg);
        s[68] = centre.empty() ? 0 : 1;
        s[92] = port_plus1;
        for (unsigned i = 0; i < 5; i++) s[93 + i] = cfg[i];
        s[98] = cfg[5];
        s[99] = 0;
        s.resize(100);
        s.insert(s.end(), tables.begin(), tables.end());
        s.insert(s.end(), strings.begin(), strings.end());
        put32(s, 0, size_override >= 0 ? uint32_t(size_override) : uint32_t(s.size()));
        return s;
    }
    // Writes the block: CRC word, data length, the section.
    void Install(uint16_t crc = 0x1234) const {
        const std::vector<uint8_t> s = Section();
        sms_table_bl.fill(0);
        LE_Put32(&sms_table_bl[0], crc);
        LE_Put32(&sms_table_bl[4], uint32_t(s.size()));
        std::memcpy(&sms_table_bl[8], s.data(), s.size());
    }
};
