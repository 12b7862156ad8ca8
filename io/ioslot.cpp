// The slot layer between the executive and the module driver: probing of
// the two expansion slots, the slot check against the downloaded I/O
// configuration, one driver message per point transfer, the calibration
// pass-through and the modem-control lines of slot-1 option boards.
#include <algorithm>
#include <cstring>

#include "core/image/bytes.h"
#include "core/storage/memfile.h"
#include "core/image/plcreg.h"
#include "io/i2c.h"
#include "io/iodrv.h"

std::array<IoSlotRec, IO_SLOTS> io_cfg;
std::array<IoSlotInfo, IO_SLOTS> slotinfo;
std::array<uint8_t, IO_SLOTS> slot_status;
std::array<uint16_t, IO_SLOTS> io_init;
uint8_t WideIoModulePresent;
const uint8_t *EtnConfp;

namespace {

IoDriverMsg extmsg, iomsg, querymsg, calmsg;
std::array<uint8_t, 64> calbuf;
bool probed = false;
uint32_t unknown_mask = 0;

constexpr uint16_t ETHERNET_ID = 64000;

// Variant compatibility: [variant found][variant configured].
constexpr uint8_t kCompat[4][4] = {{1, 0, 1, 1}, {0, 1, 0, 0}, {0, 0, 1, 1}, {0, 0, 1, 1}};

bool Family(uint16_t id) { return (id & 0xF9FF) == 0xF800; }
unsigned Variant(uint16_t id) { return (id >> 9) & 3; }

void SetText(IoSlotRec &r, char status, const char *text11) {
    r.status = status;
    std::memcpy(r.text, text11, sizeof r.text);
}

// The model text after "I/O: ".
void ModelText(IoSlotRec &r, char status) {
    char model[6];
    std::memcpy(model, r.text + 5, 6);
    r.status = status;
    std::memcpy(r.text, "I/O: ", 5);
    std::memcpy(r.text + 5, model, 6);
}

void Send(IoDriverMsg &m, uint8_t code, uint32_t slot, uint8_t *buf, uint32_t first, uint32_t count) {
    m = IoDriverMsg{};
    m.code = code;
    m.slot = uint8_t(slot);
    m.buffer = buf;
    m.first = uint16_t(first);
    m.count = uint16_t(count);
    io_driver(&m);
}

// Station address of the fieldbus-slave module from configuration word 0.
uint32_t Station(const IoSlotRec &r) {
    const uint16_t w = Io_ConfigWord(r, 0);
    if (w <= 1024) return w;
    uint8_t v[2] = {};
    PlcReg_Get(v, w, 16);
    return LE_Get16(v);
}

}  // namespace

uint16_t Io_ConfigWord(const IoSlotRec &rec, unsigned n) {
    if (rec.config == nullptr || 2u * n + 2 > rec.config_len) return 0;
    return LE_Get16(rec.config + 2 * n);
}

char *strmcpy(char *dst, const char *src, std::size_t n) {
    if (n == 0) return dst;
    std::size_t i = 0;
    for (; i + 1 < n && src[i] != 0; i++) dst[i] = src[i];
    dst[i] = 0;
    return dst + i;
}

int32_t get_ident(uint16_t id) {
    const int32_t row = Io_IdentRow(id);
    return row < 0 ? -1 : io_ident[std::size_t(row)].type;
}

uint32_t write_io_eeprom(uint32_t device, uint32_t mem, uint32_t count, uint8_t *buf, uint32_t mode) {
    const uint32_t combined = (mode & 0xFF) == 3 ? (device << 16) | (mem & 0xFFFF) : (device << 7) | (mem & 0xFF);
    return I2C_write_mem(buf, combined, count, mode);
}

uint32_t read_io_eeprom(uint32_t device, uint32_t mem, uint32_t count, uint8_t *buf, uint32_t mode) {
    const uint32_t combined = (mode & 0xFF) == 3 ? (device << 16) | (mem & 0xFFFF) : (device << 7) | (mem & 0xFF);
    return I2C_read_mem(buf, combined, count, mode);
}

uint32_t get_io_info(uint16_t *ids) {
    static constexpr uint8_t kScan0[] = {0xA6, 0xA0, 0xA4, 0xA2, 0x50, 0x52};
    static constexpr uint8_t kScan1[] = {0x72, 0x70};
    for (uint32_t s = 0; s < 2; s++) {
        const uint8_t expander = s ? 0x4E : 0x4C, generic = s ? 0x0A : 0x08, eeprom = s ? 0x1E : 0x1C;
        const uint16_t suffix = s ? 0x0F : 0x0E;
        uint16_t id = 255;
        if (I2C_query(expander) == 0) {
            uint8_t b[2] = {0xFF, 0xFF};
            I2C_write_io(expander, b, 1);
            if (I2C_read_io(expander, b, 1) == 0) id = uint16_t(b[1] << 8 | suffix);
            if (s == 1 && id == 0x1F0F) WideIoModulePresent = 1;
        } else if (I2C_query(generic) == 0) {
            id = uint16_t(generic << 8 | 0x0F);
        } else if (I2C_query(eeprom) == 0) {
            uint8_t b = 0xFF;
            if (I2C_read_mem(&b, uint32_t(eeprom) << 16 | 8, 1, 3) == 0) id = uint16_t(b << 8 | suffix);
        } else {
            const uint8_t *list = s ? kScan1 : kScan0;
            const std::size_t n = s ? sizeof kScan1 : sizeof kScan0;
            for (std::size_t i = 0; i < n; i++) {
                if (I2C_query(list[i]) == 0) {
                    id = uint16_t(list[i] << 8 | 0x0F);
                    break;
                }
            }
        }
        ids[s] = id;
    }
    ids[2] = ETHERNET_ID;
    return 3;
}

uint32_t IoInit(const uint16_t *ids, uint32_t count) {
    uint32_t mask = 0;
    const uint32_t n = std::min<uint32_t>(count, 2);
    for (uint32_t i = 0; i < 2; i++) {
        const uint16_t id = i < n ? ids[i] : 255;
        const int32_t row = Io_IdentRow(id);
        slotinfo[i] = {uint8_t(row < 0 ? 255 : io_ident[std::size_t(row)].type), id};
        if (row < 0 && id != 255) mask |= 1u << i;
    }
    slotinfo[2] = {0, count > 2 ? ids[2] : ETHERNET_ID};
    if (slotinfo[0].type != 255 || slotinfo[1].type != 255) {
        IoDriverMsg env{};
        env.code = 1;
        env.first = slotinfo[0].id;  // ids of slots 0 and 1
        env.count = slotinfo[1].id;
        io_driver(&env);
    }
    return mask;
}

uint32_t IoCfg(IoSlotRec &rec, uint32_t slot) {
    const char *model;
    std::array<uint16_t, 4> points{};
    if (slot < 2) {
        iomsg = IoDriverMsg{};
        iomsg.code = 4;
        iomsg.slot = uint8_t(slot);
        iomsg.buffer = const_cast<uint8_t *>(rec.config);
        iomsg.count = rec.config != nullptr ? rec.config_len : 0;
        iomsg.clock = &plc_reg[2 * W_CLOCK];
        io_driver(&iomsg);
        querymsg = IoDriverMsg{};
        querymsg.code = 2;
        querymsg.slot = uint8_t(slot);
        io_driver(&querymsg);
        model = querymsg.model != nullptr ? querymsg.model : "      ";
        points = querymsg.points;
    } else {
        EtnConfp = rec.config != nullptr && rec.config_len != 0 ? const_cast<uint8_t *>(rec.config) : nullptr;
        model = "TQR300";
    }
    rec.status = char(querymsg.status);
    std::memcpy(rec.text, "     ", 5);
    for (unsigned i = 0; i < 6; i++) rec.text[5 + i] = model[i] ? model[i] : ' ';
    rec.di = points[0];
    rec.dq = points[1];
    rec.ai = points[2];
    rec.aq = points[3];
    rec.configured = querymsg.status == 0 ? 1 : 0;
    return 0;
}

void Io_ResetProbe() {
    probed = false;
    unknown_mask = 0;
    WideIoModulePresent = 0;
    querymsg = IoDriverMsg{};
    Io_DriverReset();
}

uint32_t Io_SlotCheck() {
    if (!probed) {
        probed = true;
        get_io_info(io_init.data());
        unknown_mask = IoInit(io_init.data(), 3);
    }
    // The downloaded configuration: slot records for slots 0, 1, 2.
    uint8_t *data = &io_config_bl[MF_HDR];
    const std::size_t len = std::min<std::size_t>(MF_Len(io_config_bl.data()), IO_CONFIG_BL_SIZE - MF_HDR);
    std::size_t pos = 0;
    bool ended = false;
    EtnConfp = nullptr;
    bool fault = false;
    for (uint32_t s = 0; s < IO_SLOTS; s++) {
        IoSlotRec &r = io_cfg[s];
        r = IoSlotRec{};
        uint16_t c = 255;
        uint8_t *cfg = nullptr;
        uint16_t cfg_len = 0;
        // A record that does not fit the downloaded length ends the run:
        // this slot and the later ones count as not configured.
        if (!ended && pos + 2 <= len) {
            const uint16_t id = LE_Get16(data + pos);
            if (id == 0xFFFF) {
                pos += 2;
            } else if (pos + 4 > len) {
                ended = true;
            } else {
                const uint16_t dl = LE_Get16(data + pos + 2);
                if (pos + 4 + dl > len) {
                    ended = true;
                } else {
                    c = id;
                    cfg = data + pos + 4;
                    cfg_len = dl;
                    pos += 4 + ((dl + 3u) & ~3u);
                }
            }
        } else {
            ended = true;
        }
        const uint16_t f = slotinfo[s].id;
        uint8_t result;
        const bool accepted = f == c || (Family(f) && Family(c) && kCompat[Variant(f)][Variant(c)]);
        if (accepted) {
            result = f != 255 ? 2 : 1;
        } else {
            result = f == 255 ? 3 : c == 255 ? 5 : 4;
        }
        if (s < 2 && (unknown_mask & (1u << s))) result = 6;
        if (result == 2 || result == 4 || result == 5) {
            if (cfg_len != 0 && (result == 2 || s < 2)) {
                r.config = cfg;
                r.config_len = cfg_len;
            }
            if (result != 2) r.config = nullptr, r.config_len = 0;
        }
        slot_status[s] = result;
        switch (result) {
        case 1:
            SetText(r, ' ', "I/O: Empty ");
            r.configured = 1;
            break;
        case 2: {
            IoCfg(r, s);
            const char st = r.status != 0 ? 'f' : r.configured == 0 ? 'c' : ' ';
            ModelText(r, st);
            if (st != ' ') fault = true;
            if (s < 2 && tbl[s].row == ROW_FIELDBUS && r.config != nullptr) {
                const uint32_t station = Station(r);
                if (station >= 1 && station <= 125) {
                    uint8_t a = uint8_t(station);
                    write_io_eeprom(0x1C + 2 * s, 0xFC, 1, &a, 3);
                } else if (const uint16_t ref = Io_ConfigWord(r, 9); ref != 0) {
                    const uint8_t v[2] = {0xFE, 0xFE};
                    PlcReg_Set(ref, v, 16);
                }
            }
            break;
        }
        case 3: SetText(r, '-', "I/O Missing"); break;
        case 4:
        case 5:
            IoCfg(r, s);
            ModelText(r, result == 4 ? '?' : '+');
            break;
        default: SetText(r, '*', "Unsupported"); break;
        }
        if (result != 1 && result != 2) {
            fault = true;
            r.di = r.dq = r.ai = r.aq = 0;
            r.configured = 0;
        }
    }
    if (fault) {
        PlcWordSet(W_FAULT, uint16_t(PlcWord(W_FAULT) | FAULT_IOCFG));
        plc_reg[SBITS_LO] &= uint8_t(~S_IOCFG_OK);
        IoStop();
    } else {
        PlcWordSet(W_FAULT, uint16_t(PlcWord(W_FAULT) & ~FAULT_IOCFG));
        plc_reg[SBITS_LO] |= S_IOCFG_OK;
    }
    // Slot information: entries 0..2; the fourth entry has no slot and stays zero.
    Cmd_SS_Info.fill(0);
    for (unsigned i = 0; i < IO_SLOTS; i++) {
        uint8_t *e = &Cmd_SS_Info[2 + 24 * i];
        const IoSlotRec &r = io_cfg[i];
        LE_Put16(e, slotinfo[i].id);
        e[2] = uint8_t(r.status);
        std::memcpy(e + 3, r.text, sizeof r.text);
        LE_Put16(e + 14, r.di);
        LE_Put16(e + 16, r.dq);
        LE_Put16(e + 18, r.ai);
        LE_Put16(e + 20, r.aq);
        e[22] = r.configured;
    }
    std::memcpy(&plc_reg[2 * W_SLOT_INFO], Cmd_SS_Info.data(), Cmd_SS_Info.size());
    return fault ? 1 : 0;
}

uint32_t IoGetIs(uint8_t *buffer, uint32_t slot, uint32_t first_bit, uint32_t bits) {
    if (slot < 2) Send(extmsg, 9, slot, buffer, first_bit / 8, bits / 8);
    return 0;
}

uint32_t IoPutQs(uint8_t *buffer, uint32_t slot, uint32_t first_bit, uint32_t bits) {
    if (slot < 2) Send(extmsg, 10, slot, buffer, first_bit / 8, bits / 8);
    return 0;
}

uint32_t IoGetAIs(uint8_t *buffer, uint32_t slot, uint32_t first_channel, uint32_t channels) {
    if (slot < 2) Send(extmsg, 11, slot, buffer, first_channel, channels);
    return 0;
}

uint32_t IoPutAQs(uint8_t *buffer, uint32_t slot, uint32_t first_channel, uint32_t channels) {
    if (slot < 2) Send(extmsg, 12, slot, buffer, first_channel, channels);
    return 0;
}

uint32_t IoService(uint32_t slot) {
    if (slot < 2) Send(iomsg, 6, slot, nullptr, 0, 0);
    return 0;
}

void IoStop() {
    Send(extmsg, 13, 0, nullptr, 0, 0);
    Send(extmsg, 13, 1, nullptr, 0, 0);
}

void IoTermSet(uint32_t value) {
    if (tbl[0].row < 0) return;
    io_q_put(0, uint8_t(value & 0xF0));
}

uint32_t IoCal(uint8_t *packet) {
    const uint32_t len = packet[0];
    const uint32_t slot = len >= 2 ? packet[2] : 255;
    // The data after the slot byte must fit the 64-byte calibration buffer.
    if (len < 2 || slot > 2 || slotinfo[slot].type == 255 || len - 2 > calbuf.size()) {
        packet[0] = 1;
        packet[1] = 0x40;
        return 0;
    }
    calbuf.fill(0);
    std::memcpy(calbuf.data(), packet + 3, len - 2);
    calmsg = IoDriverMsg{};
    calmsg.code = 8;
    calmsg.slot = uint8_t(slot);
    calmsg.extra = uint8_t(len - 2);
    calmsg.buffer = calbuf.data();
    if (slot != 2) io_driver(&calmsg);
    const uint32_t answer = std::min<uint32_t>(calmsg.extra, calbuf.size());
    packet[0] = uint8_t(answer);
    std::memcpy(packet + 1, calbuf.data(), answer);
    return 0;
}

// ---- modem-control lines of slot-1 option boards -----------------------------------------------

namespace {
struct LineRow {
    std::array<uint16_t, 8> ids;
    uint8_t expander;
    bool two;
    uint8_t mask;
    bool set_when_on;  // a non-zero argument sets the bit (else clears it)
};

constexpr uint16_t kCell6[8] = {0xAE0F, 0x6E0F, 0x6F0F, 0xEE0F, 0xEF0F, 0xAF0F, 0, 0};
constexpr LineRow kPwr[] = {{{0xAF0F, 0x6F0F, 0xAE0F, 0x6E0F, 0xEE0F, 0xEF0F}, 78, true, 0x02, false},
                            {{0xDF0F, 0xBF0F}, 78, true, 0x08, false}};
constexpr LineRow kReset[] = {{{0x720F}, 114, false, 0x40, true},
                              {{0x700F}, 112, false, 0x40, true},
                              {{0x3F0F}, 78, true, 0x80, true},
                              {{0x7F0F}, 78, true, 0x20, true},
                              {{0xBF0F, 0xDF0F}, 78, true, 0x04, true}};
constexpr LineRow kDtr[] = {{{0x700F}, 112, false, 0x08, false},
                            {{0xAF0F, 0x6F0F, 0xAE0F, 0x6E0F, 0xDF0F, 0xBF0F, 0xEE0F, 0xEF0F}, 78, true, 0x40, false}};
constexpr LineRow kShdn[] = {
    {{kCell6[0], kCell6[1], kCell6[2], kCell6[3], kCell6[4], kCell6[5]}, 78, true, 0x08, true}};
constexpr LineRow kOnOf[] = {
    {{kCell6[0], kCell6[1], kCell6[2], kCell6[3], kCell6[4], kCell6[5]}, 78, true, 0x04, true}};

template <std::size_t N>
const LineRow *Find(const LineRow (&rows)[N]) {
    const uint16_t id = slotinfo[1].id;
    for (const LineRow &r : rows) {
        for (uint16_t x : r.ids) {
            if (x != 0 && x == id) return &r;
        }
    }
    return nullptr;
}

void Rewrite(const LineRow *r, uint32_t arg) {
    if (r == nullptr) return;
    uint8_t b[2] = {};
    const uint32_t mode = r->two ? 1 : 0;
    if (I2C_read_io(r->expander, b, mode) != 0) return;
    const bool set = r->set_when_on ? arg != 0 : arg == 0;
    b[0] = uint8_t(set ? b[0] | r->mask : b[0] & ~r->mask);
    I2C_write_io(r->expander, b, mode);
}
}  // namespace

void IoCommPwr(uint32_t, uint32_t on) { Rewrite(Find(kPwr), on); }
void IoCommReset(uint32_t, uint32_t active) { Rewrite(Find(kReset), active); }
void IoPutDTR(uint32_t on) { Rewrite(Find(kDtr), on); }
void IoCommShdn(uint32_t on) { Rewrite(Find(kShdn), on); }
void IoCommOnOf(uint32_t on) { Rewrite(Find(kOnOf), on); }

uint32_t IoGetDCD() {
    const LineRow *r = Find(kDtr);
    if (r == nullptr) return 0;
    uint8_t b[2] = {};
    if (!r->two) {
        if (I2C_read_io(r->expander, b, 0) != 0) return 0;
        return (b[0] & 0x04) ? 0 : 1;
    }
    const uint8_t w = 0x20;
    I2C_write_io(r->expander, &w, 0);
    if (I2C_read_io(r->expander, b, 1) != 0) return 0;
    return (b[0] & 0x20) ? 0 : 1;
}
