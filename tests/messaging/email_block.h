// Builds a messaging block whose 100-byte SMS section is followed by an
// e-mail section, byte by byte as the programming tool lays it out: header,
// settings, contacts, messages, data fields, position lists, strings.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "core/image/bytes.h"
#include "core/storage/memfile.h"

struct EmailBlock {
    struct Contact {
        std::string address;
        uint8_t group;
    };
    struct Msg {
        std::string body, subject;
        uint8_t group;
        uint32_t trigger;
        std::string list;
        std::string path = "";  // attachment path and kind (0 none)
        uint8_t kind = 0;
    };
    struct Field {
        uint32_t addr;
        uint8_t width, format, fw, flags, d;
    };
    std::vector<Contact> contacts;
    std::vector<Msg> msgs;
    std::vector<Field> fields;
    uint32_t status_reg = 0, server = 0, dns = 0;
    uint16_t port = 25;
    uint8_t flags = 0, auth = 0;
    std::string domain, sender, server_name, user, password;

    void Install(uint16_t crc = 0x4321) const {
        std::vector<uint8_t> s(100, 0), tables;
        std::string strings;
        auto str = [&](const std::string &t) {
            const uint32_t off = uint32_t(strings.size());
            strings += t;
            return off;
        };
        auto rec = [&](std::size_t n) {
            tables.resize(tables.size() + n, 0);
            return tables.size() - n;
        };
        const uint32_t base = 7000;
        for (const Contact &c : contacts) {
            const std::size_t r = rec(20);
            LE_Put32(&tables[r], str(c.address));
            LE_Put32(&tables[r + 4], uint32_t(c.address.size()));
            tables[r + 16] = c.group;
        }
        const uint32_t m_at = uint32_t(tables.size());
        for (const Msg &m : msgs) {
            const std::size_t r = rec(16);
            LE_Put32(&tables[r], str(m.body));
            LE_Put32(&tables[r + 4], uint32_t(m.body.size()));
            str(m.subject);
            str(m.path);
            tables[r + 8] = m.group;
            tables[r + 9] = uint8_t(m.subject.size());
            tables[r + 10] = uint8_t(m.path.size());
            tables[r + 11] = m.kind;
            LE_Put32(&tables[r + 12], m.trigger);
        }
        const uint32_t f_at = uint32_t(tables.size());
        for (const Field &f : fields) {
            const std::size_t r = rec(12);
            LE_Put32(&tables[r], f.addr);
            tables[r + 4] = f.width, tables[r + 5] = f.format, tables[r + 6] = f.fw, tables[r + 7] = f.flags,
                       tables[r + 8] = f.d;
        }
        for (const Msg &m : msgs) {
            const std::size_t r = rec(8);
            LE_Put32(&tables[r], str(m.list));
            LE_Put32(&tables[r + 4], uint32_t(m.list.size()));
        }
        const uint32_t dom = str(domain), snd = str(sender), name = str(server_name), usr = str(user),
                       pw = str(password);
        std::memcpy(&s[4], "LAME", 4);
        const uint32_t hdr[] = {base,
                                uint32_t(20 * contacts.size()),
                                base + m_at,
                                0,
                                base + m_at,
                                uint32_t(16 * msgs.size()),
                                base + f_at,
                                uint32_t(12 * fields.size()),
                                base + uint32_t(tables.size()),
                                uint32_t(strings.size()),
                                status_reg,
                                dom,
                                snd};
        for (std::size_t i = 0; i < std::size(hdr); i++) LE_Put32(&s[8 + 4 * i], hdr[i]);
        LE_Put32(&s[72], server_name.empty() ? server : name);
        LE_Put32(&s[76], dns);
        LE_Put16(&s[84], port);
        s[88] = uint8_t(domain.size());
        s[89] = uint8_t(sender.size());
        LE_Put32(&s[60], usr);
        LE_Put32(&s[64], pw);
        s[90] = uint8_t(user.size());
        s[91] = uint8_t(password.size());
        s[93] = uint8_t(server_name.size());
        s[94] = flags;
        s[96] = auth;
        s.insert(s.end(), tables.begin(), tables.end());
        s.insert(s.end(), strings.begin(), strings.end());
        LE_Put32(&s[0], uint32_t(s.size()));
        std::vector<uint8_t> sms(100, 0);
        LE_Put32(&sms[0], 100);
        std::memcpy(&sms[4], "MSON", 4);
        sms.insert(sms.end(), s.begin(), s.end());
        sms_table_bl.fill(0);
        LE_Put32(&sms_table_bl[0], crc);
        LE_Put32(&sms_table_bl[4], uint32_t(sms.size()));
        std::memcpy(&sms_table_bl[8], sms.data(), sms.size());
    }
};
