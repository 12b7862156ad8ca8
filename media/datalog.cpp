// Data logger: the downloaded data-log table is checked once at start, rows
// are sampled into each group's share of a RAM ring every scan, and one step
// of file work per scan appends the oldest row to the group's daily or
// hourly CSV file through the data-logger mailbox channel. A row leaves the
// ring only once its line was written and the file closed, so rows survive a
// pulled card while the ring has room.
#include "media/datalog.h"

#include <bit>
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "core/image/bytes.h"
#include "core/storage/memfile.h"
#include "core/image/plcreg.h"
#include "media/cfdl.h"
#include "media/filex.h"

std::array<LogRunRec, LOG_GROUPS> LogRun;
std::array<uint8_t, LOG_RAW_SIZE> LogRawBuf;
uint16_t LogFileWriteState, LogFileWriteGroup;
std::array<uint16_t, 2> LogStatus;
uint8_t LogEnable, LogForce;

namespace {
// The table in use (a copy, so that a new download cannot change it under
// the logger).
std::array<uint8_t, DATALOG_TABLE_SIZE> log_table;
bool log_valid;
bool log_started_once;
uint32_t log_enable_addr, log_status_addr;
uint16_t log_groups;
std::size_t log_text;  // start of the text area
std::array<uint8_t, 600> LogRowBuf;
char LogFileWriteBuf[LOG_LINE_SIZE + 8];
std::size_t line_len;
uint32_t fmt_item;  // next item to format (a float ends the pass)
std::array<uint16_t, 7> LogRtc;
bool log_file_open;
std::array<std::array<char, 16>, LOG_GROUPS> prev_name;

constexpr std::array<uint8_t, 12> kTextMax = {1, 17, 6, 11, 5, 10, 5, 16, 14, 15, 11, 11};
constexpr const char *kMonth[13] = {"???", "Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                    "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

const uint8_t *Text(uint32_t off) { return &log_table[log_text + off]; }
uint32_t ItemCount(const uint8_t *g) { return LE_Get32(g + 40); }
const uint8_t *Item(const uint8_t *g, uint32_t i) { return g + LOG_GROUP_REC + LOG_ITEM_REC * i; }
uint32_t ItemWidth(uint8_t type) { return type == 0 ? 1 : uint32_t(LogTypeRawCount[type]) * 8; }

void DateText(char *out, std::size_t size, uint32_t f, uint32_t d, uint32_t m, uint32_t y) {
    const char *mn = kMonth[m <= 12 ? m : 0];
    const unsigned yy = y % 100;
    switch (f) {
    case 0: std::snprintf(out, size, "%02u/%02u", m, d); break;
    case 1: std::snprintf(out, size, "%02u/%02u/%02u", m, d, yy); break;
    case 2: std::snprintf(out, size, "%02u/%02u/%04u", m, d, y); break;
    case 3: std::snprintf(out, size, "%02u-%3s", d, mn); break;
    case 4: std::snprintf(out, size, "%02u-%3s-%02u", d, mn, yy); break;
    case 5: std::snprintf(out, size, "%02u-%3s-%04u", d, mn, y); break;
    case 6: std::snprintf(out, size, "%02u-%02u", d, m); break;
    case 7: std::snprintf(out, size, "%02u-%02u-%02u", d, m, yy); break;
    case 8: std::snprintf(out, size, "%02u-%02u-%04u", d, m, y); break;
    case 9: std::snprintf(out, size, "%02u-%02u", m, d); break;
    case 10: std::snprintf(out, size, "%02u-%02u-%02u", yy, m, d); break;
    case 11: std::snprintf(out, size, "%04u-%02u-%02u", y, m, d); break;
    default: out[0] = 0; break;
    }
}

void TimeText(char *out, std::size_t size, uint32_t f, uint32_t s, uint32_t mi, uint32_t h) {
    const unsigned h12 = h % 12 == 0 ? 12 : h % 12;
    const char *ap = h < 12 ? "AM" : "PM";
    switch (f) {
    case 0: std::snprintf(out, size, "%02u:%02u", h, mi); break;
    case 1: std::snprintf(out, size, "%02u:%02u:%02u", h, mi, s); break;
    case 2: std::snprintf(out, size, "%02u:%02u %s", h12, mi, ap); break;
    case 3: std::snprintf(out, size, "%02u:%02u:%02u %s", h12, mi, s, ap); break;
    default: out[0] = 0; break;
    }
}

void ValueText(char *out, std::size_t size, uint8_t type, const uint8_t *raw) {
    switch (type) {
    case 0: std::snprintf(out, size, "%d", raw[0] ? 1 : 0); break;
    case 1: {
        const uint16_t v = LE_Get16(raw);
        for (int i = 0; i < 16; i++) out[i] = (v >> (15 - i)) & 1 ? '1' : '0';
        out[16] = 'B';
        out[17] = 0;
        break;
    }
    case 2: std::snprintf(out, size, "%d", int(int16_t(LE_Get16(raw)))); break;
    case 3: std::snprintf(out, size, "%d", int32_t(LE_Get32(raw))); break;
    case 4: std::snprintf(out, size, "%u", unsigned(LE_Get16(raw))); break;
    case 5: std::snprintf(out, size, "%u", LE_Get32(raw)); break;
    case 6: std::snprintf(out, size, "%04XH", unsigned(LE_Get16(raw))); break;
    case 7: {
        std::size_t n = 0;
        while (n < 16 && raw[n] != 0) n++;
        std::memcpy(out, raw, n);
        out[n] = 0;
        break;
    }
    case 8: {
        std::snprintf(out, size, "%g", double(std::bit_cast<float>(LE_Get32(raw))));
        break;
    }
    case 9: std::snprintf(out, size, "%d.%d.%d.%d", raw[3], raw[2], raw[1], raw[0]); break;
    case 10: DateText(out, size, 11, LE_Get16(raw), LE_Get16(raw + 2), LE_Get16(raw + 4)); break;
    default: TimeText(out, size, 1, LE_Get16(raw), LE_Get16(raw + 2), LE_Get16(raw + 4)); break;
    }
}

// ---- the ring --------------------------------------------------------------------------------
void RingPut(LogRunRec &g, const uint8_t *p, std::size_t n) {
    for (std::size_t i = 0; i < n; i++) {
        LogRawBuf[g.part + g.wr] = p[i];
        if (++g.wr == g.part_size) g.wr = 0;
    }
    g.held = uint16_t(g.held + n);
}

void LogBufWriteRow(LogRunRec &g) {
    if (g.rows >= g.capacity) return;  // full: the row is lost
    uint8_t head[12];
    for (unsigned i = 0; i < 3; i++) LE_Put16(head + 2 * i, LogRtc[3 + i]);  // day, month, year
    for (unsigned i = 0; i < 3; i++) LE_Put16(head + 6 + 2 * i, LogRtc[i]);  // second, minute, hour
    RingPut(g, head, sizeof head);
    for (uint32_t i = 0; i < ItemCount(g.rec); i++) {
        const uint8_t *it = Item(g.rec, i);
        const uint8_t type = it[4];
        uint8_t raw[16] = {};
        if (type == 10)
            std::memcpy(raw, head, 6);
        else if (type == 11)
            std::memcpy(raw, head + 6, 6);
        else
            PlcReg_Get(raw, LE_Get32(it), ItemWidth(type));
        RingPut(g, raw, LogTypeRawCount[type]);
    }
    g.rows++;
}

void RowOut(const LogRunRec &g) {
    uint32_t r = g.rd;
    for (uint32_t i = 0; i < g.row_size; i++) {
        LogRowBuf[i] = LogRawBuf[g.part + r];
        if (++r == g.part_size) r = 0;
    }
}
void RowDrop(LogRunRec &g) {
    if (g.rows == 0) return;
    g.rd = uint16_t((g.rd + g.row_size) % g.part_size);
    g.held = uint16_t(g.held - g.row_size);
    g.rows--;
}
void Empty(LogRunRec &g) {
    g.rd = g.wr = 0;
    g.held = g.rows = 0;
}

// ---- file work ------------------------------------------------------------------------------
void LogFileError(int32_t code) {
    if (code >= 1 && code <= 7) {
        LogStatus[0] = uint16_t(code);
        // 6 and 7 (safe to remove, removal pending) are card states as well:
        // waiting for the card keeps the group's rows, which the error path
        // below would drop.
        LogFileWriteState = 0;
        return;
    }
    LogRunRec &g = LogRun[LogFileWriteGroup];
    g.write_result = uint16_t(code);
    Empty(g);
    LogFileWriteState = 16;
}

// File name of the row in LogRowBuf into the group's path.
void LogFileFormatFilename(LogRunRec &g) {
    const uint8_t *row = LogRowBuf.data();
    const bool daily = LE_Get32(g.rec + 20) != 0;
    char name[16];
    if (daily)
        std::snprintf(name, sizeof name, "%02u%02u%02u.CSV", LE_Get16(row + 4) % 100u, LE_Get16(row + 2) % 100u,
                      LE_Get16(row) % 100u);
    else
        std::snprintf(name, sizeof name, "%02u%02u%02u.CSV", LE_Get16(row + 2) % 100u, LE_Get16(row) % 100u,
                      LE_Get16(row + 10) % 100u);
    std::array<char, 16> &prev = prev_name[LogFileWriteGroup];
    if (prev[0] != 0 && std::strcmp(prev.data(), name) != 0) {
        // The finished file loses its system attribute, and only that: a
        // file made read-only meanwhile stays read-only.
        FxMedia m{};
        char old[300];
        std::snprintf(old, sizeof old, "A:%s%.*s%s", g.path[0] == '\\' ? "" : "\\", int(g.name_pos), g.path,
                      prev.data());
        uint32_t attr = 0;
        if (_fxe_file_attributes_read(&m, old, &attr) == FX_SUCCESS)
            _fxe_file_attributes_set(&m, old, attr & ~uint32_t(FX_SYSTEM));
    }
    std::memcpy(prev.data(), name, sizeof name);
    std::snprintf(g.path + g.name_pos, sizeof g.path - g.name_pos, "%s", name);
}

bool Append(const char *s) {
    const std::size_t n = std::strlen(s);
    if (line_len + n >= LOG_LINE_SIZE) return false;
    std::memcpy(LogFileWriteBuf + line_len, s, n + 1);
    line_len += n;
    return true;
}

// Builds the rest of the row's line; false when a float ended the pass.
bool FormatRow(const LogRunRec &g) {
    const uint8_t *row = LogRowBuf.data();
    char t[48];
    if (fmt_item == 0) {
        line_len = 0;
        LogFileWriteBuf[0] = 0;
        DateText(t, sizeof t, g.rec[32], LE_Get16(row), LE_Get16(row + 2), LE_Get16(row + 4));
        Append(t);
        Append(",");
        TimeText(t, sizeof t, g.rec[36], LE_Get16(row + 6), LE_Get16(row + 8), LE_Get16(row + 10));
        Append(t);
    }
    std::size_t off = 12;
    const uint32_t n = ItemCount(g.rec);
    for (uint32_t i = 0; i < fmt_item; i++) off += LogTypeRawCount[Item(g.rec, i)[4]];
    while (fmt_item < n) {
        const uint8_t type = Item(g.rec, fmt_item)[4];
        ValueText(t, sizeof t, type, row + off);
        Append(",");
        Append(t);
        off += LogTypeRawCount[type];
        fmt_item++;
        if (type == 8) return false;  // the line end follows in the next pass
    }
    Append("\r\n");
    fmt_item = 0;
    return true;
}

void HeaderLine(const LogRunRec &g) {
    line_len = 0;
    LogFileWriteBuf[0] = 0;
    Append("Date,Time");
    for (uint32_t i = 0; i < ItemCount(g.rec); i++) {
        const uint8_t *it = Item(g.rec, i);
        char name[17];
        const uint32_t len = std::min<uint32_t>(LE_Get32(it + 12), 16);
        std::memcpy(name, Text(LE_Get32(it + 8)), len);
        name[len] = 0;
        if (const char *z = static_cast<const char *>(std::memchr(name, 0, len))) name[z - name] = 0;
        Append(",");
        Append(name);
    }
    Append("\r\n");
}

// Posts a request: advances to next when posted, stays when the channel is
// busy, else an error.
void Posted(int16_t r, uint16_t next) {
    if (r == -2)
        LogFileWriteState = next;
    else if (r != -3)
        LogFileError(r);
}
// Waits for an answer: the answer, or -2 while pending.
int16_t Answer() { return CFDL_Result(); }

uint16_t NextGroup() { return uint16_t((LogFileWriteGroup + 1u) % log_groups); }

void FileStep() {
    LogRunRec &g = LogRun[LogFileWriteGroup];
    switch (LogFileWriteState) {
    case 16:
        if (log_file_open)
            Posted(CFDL_Close(0), 17);
        else
            LogFileWriteState = 1;
        break;
    case 17: {
        const int16_t r = Answer();
        if (r == -2) break;
        log_file_open = false;
        LogFileWriteState = 1;
        break;
    }
    case 0:
        if (CFDL_GetStatus() == 0) {
            LogStatus[0] = 0;  // the card is back: its status code goes, or it would stay for ever
            LogFileWriteState = 16;
        }
        break;
    case 1: {
        if (const uint16_t st = CFDL_GetStatus()) {
            // Any card state is waited for, a format in progress (82) among
            // them: the buffered rows stay (as an error they would be dropped).
            if (st <= 7) LogStatus[0] = st;
            LogFileWriteState = 0;
            break;
        }
        // The configured groups in turn from the current one, until one
        // holds a row; when none does, the pass ends where it began.
        for (uint16_t groups_looked = 0; groups_looked < log_groups; groups_looked++) {
            LogRunRec &c = LogRun[LogFileWriteGroup];
            if (c.rec != nullptr && c.rows > 0) {
                RowOut(c);
                LogFileWriteState = 2;
                break;
            }
            LogFileWriteGroup = NextGroup();
        }
        break;
    }
    case 2: {
        char dir[256];
        std::snprintf(dir, sizeof dir, "%.*s", int(g.name_pos > 0 ? g.name_pos - 1 : 0), g.path);
        Posted(CFDL_MakeDir(0, dir), 3);
        break;
    }
    case 3: {
        const int16_t r = Answer();
        if (r == -2) break;
        if (r == 0 || r == 81)
            LogFileWriteState = g.new_file ? 6 : 4;
        else
            LogFileError(r);
        break;
    }
    case 4:
        LogFileFormatFilename(g);
        Posted(CFDL_Open(g.path, 1, 0), 5);
        break;
    case 5: {
        const int16_t r = Answer();
        if (r == -2) break;
        if (r == 0) {
            log_file_open = true;
            fmt_item = 0;
            LogFileWriteState = 10;
        } else if (r == 66) {
            LogFileWriteState = 6;
        } else {
            LogFileError(r);
        }
        break;
    }
    case 6:
        LogFileFormatFilename(g);
        Posted(CFDL_Open(g.path, 8, 0), 7);
        break;
    case 7: {
        const int16_t r = Answer();
        if (r == -2) break;
        if (r == 0) {
            log_file_open = true;
            LogFileWriteState = 8;
        } else {
            LogFileError(r);
        }
        break;
    }
    case 8:
        HeaderLine(g);
        Posted(CFDL_Write(0, LogFileWriteBuf, uint32_t(line_len), 0), 9);
        break;
    case 9: {
        const int16_t r = Answer();
        if (r == -2) break;
        if (r == 0) {
            fmt_item = 0;
            LogFileWriteState = 10;
        } else {
            LogFileError(r);
        }
        break;
    }
    case 10:
    case 11: LogFileWriteState = FormatRow(g) ? 12 : 11; break;
    case 12: Posted(CFDL_Write(0, LogFileWriteBuf, uint32_t(line_len), 0), 13); break;
    case 13: {
        const int16_t r = Answer();
        if (r == -2) break;
        if (r == 0) {
            g.write_result = 0;
            LogFileWriteState = 14;
        } else {
            LogFileError(r);
        }
        break;
    }
    case 14: Posted(CFDL_Close(0), 15); break;
    case 15: {
        const int16_t r = Answer();
        if (r == -2) break;
        log_file_open = false;
        RowDrop(g);
        g.new_file = 0;
        LogFileWriteState = 1;
        LogFileWriteGroup = NextGroup();
        break;
    }
    default: LogFileWriteState = 16; break;
    }
}

void Sample() {
    if (log_enable_addr == 0) {
        LogEnable = 0;
        return;
    }
    uint8_t en = 0;
    PlcReg_Get(&en, log_enable_addr, 1);
    const bool enabled = en != 0;
    const uint32_t t = uint32_t(PlcWord(W_CLOCK)) + 60u * PlcWord(W_CLOCK + 1) + 3600u * PlcWord(W_CLOCK + 2) +
                       86400u * uint32_t(std::max<int>(PlcWord(W_CLOCK + 6) - 1, 0));
    if (enabled && !LogEnable) LogForce = 1;
    LogEnable = enabled ? 1 : 0;
    if (enabled)
        for (unsigned i = 0; i < 7; i++) LogRtc[i] = PlcWord(W_CLOCK + i);
    for (unsigned i = 0; i < log_groups; i++) {
        LogRunRec &g = LogRun[i];
        if (g.rec == nullptr) continue;
        const uint32_t trigger = LE_Get32(g.rec + 8);
        bool edge = false;
        if (trigger != 0) {
            uint8_t b = 0;
            PlcReg_Get(&b, trigger, 1);
            edge = b && !g.prev_trigger;
            g.prev_trigger = b ? 1 : 0;  // edges while disabled are passed over
        }
        if (!enabled) continue;
        const uint32_t period = LE_Get32(g.rec + 16);
        bool due = false;
        if (period != 0) {
            const uint64_t p = LE_Get32(g.rec + 20) ? uint64_t(period) * 60 : period;
            int64_t last = g.last;
            if (last > int64_t(t)) last -= 604800;  // the week wrapped
            due = int64_t(t) - last >= int64_t(p);
            if (due || LogForce) g.last = t;
        }
        if (edge || (period != 0 && (due || LogForce))) LogBufWriteRow(g);
    }
    LogForce = 0;
}

void Publish() {
    uint32_t total = 0, free = 0;
    CFDL_GetFreeSpace(0, &total, &free);
    LogStatus[1] = LOG_UsedPercent(total, free);
    if (log_status_addr) {
        uint8_t b[4];
        LE_Put16(b, LogStatus[0]);
        LE_Put16(b + 2, LogStatus[1]);
        PlcReg_Set(log_status_addr, b, 32);
    }
    for (unsigned i = 0; i < log_groups; i++) {
        LogRunRec &g = LogRun[i];
        if (g.rec == nullptr) continue;
        g.fill = uint16_t(g.capacity ? 100u * g.rows / g.capacity : 0);
        const uint32_t addr = LE_Get32(g.rec + 12);
        if (addr == 0) continue;
        uint8_t b[4];
        LE_Put16(b, g.write_result);
        LE_Put16(b + 2, g.fill);
        PlcReg_Set(addr, b, 32);
    }
}

bool TextOk(uint64_t off, uint64_t len, std::size_t end) { return log_text + off + len <= end; }
}  // namespace

uint16_t LOG_UsedPercent(uint32_t total, uint32_t free) {
    if (total == 0 || free >= total) return 0;
    const uint64_t used = uint64_t(total) - free;
    const uint64_t div = (uint64_t(total) + 50) / 100;
    const uint64_t pct = div == 0 ? used * 100 / total : used / div;
    return uint16_t(std::min<uint64_t>(pct, 100));
}

int LOG_Load(std::span<const uint8_t> table, bool changed) {
    log_valid = false;
    for (LogRunRec &g : LogRun) g = LogRunRec{};
    const std::size_t n = std::min(table.size(), log_table.size());
    if (n < LOG_MIN_TABLE) return 1;
    std::memcpy(log_table.data(), table.data(), n);
    const uint8_t *t = log_table.data();
    const std::size_t end = std::min<std::size_t>(LE_Get32(t), n);
    if (LE_Get32(t) < LOG_MIN_TABLE || LE_Get32(t + 4) != LOG_MAGIC) return 1;
    log_enable_addr = LE_Get32(t + 12);
    log_status_addr = LE_Get32(t + 16);
    log_groups = LE_Get16(t + 22);
    if (log_groups == 0) return 2;  // logging disabled
    if (log_groups > LOG_GROUPS) return 3;
    std::size_t off = 24;
    std::array<std::size_t, LOG_GROUPS> at{};
    for (unsigned i = 0; i < log_groups; i++) {
        if (off + LOG_GROUP_REC > end) return 4;
        const uint64_t items = LE_Get32(t + off + 40);
        if (off + LOG_GROUP_REC + items * LOG_ITEM_REC > end) return 4;
        at[i] = off;
        off += LOG_GROUP_REC + std::size_t(items) * LOG_ITEM_REC;
    }
    log_text = off;
    uint64_t sum = 0;
    for (unsigned i = 0; i < log_groups; i++) {
        const uint8_t *g = t + at[i];
        LogRunRec &r = LogRun[i];
        const uint32_t sub = LE_Get32(g), sub_len = LE_Get16(g + 4);
        const uint32_t dir = LE_Get32(g + 24), dir_len = LE_Get32(g + 28);
        if (!TextOk(sub, sub_len, end) || !TextOk(dir, dir_len, end)) return 5;
        uint32_t row = 12;
        std::size_t line = 11 + 1 + 11 + 2, header = 9 + 2;
        for (uint32_t k = 0; k < ItemCount(g); k++) {
            const uint8_t *it = Item(g, k);
            const uint8_t type = it[4];
            if (type > 11) return 6;
            if (type < 10 && PlcReg_Ptr(LE_Get32(it), ItemWidth(type)) == nullptr) return 6;
            if (!TextOk(LE_Get32(it + 8), std::min<uint32_t>(LE_Get32(it + 12), 16), end)) return 5;
            row += LogTypeRawCount[type];
            line += 1 + kTextMax[type];
            header += 1 + std::min<uint32_t>(LE_Get32(it + 12), 16);
        }
        // A group whose line or header could outgrow the line buffer, or its
        // row the row buffer, is left out alone: it logs nothing and its
        // status shows 7, while the other groups log as usual.
        const bool too_long = line >= LOG_LINE_SIZE || header >= LOG_LINE_SIZE || row > LogRowBuf.size();
        // Path: folder, "\" unless it ends with one, sub-folder and "\".
        char path[256];
        std::snprintf(path, sizeof path, "%.*s", int(std::min<uint32_t>(dir_len, 200)),
                      reinterpret_cast<const char *>(t + log_text + dir));
        int k = int(std::strlen(path));
        if (k > 0 && path[k - 1] != '\\') path[k++] = '\\';
        path[k] = 0;
        if (sub_len > 0) {
            const int w =
                std::snprintf(path + k, sizeof path - std::size_t(k), "%.*s\\", int(std::min<uint32_t>(sub_len, 40)),
                              reinterpret_cast<const char *>(t + log_text + sub));
            if (w > 0) k = int(std::strlen(path));
        }
        if (std::size_t(k) + 16 >= sizeof r.path) return 5;
        std::memcpy(r.path, path, std::size_t(k) + 1);
        r.name_pos = std::size_t(k);
        r.row_size = too_long ? 0 : uint16_t(row);  // 0: no share of the buffer, no rows
        r.write_result = too_long ? 7 : 0;
        r.rec = g;
        r.prev_trigger = 1;
        r.new_file = changed ? 1 : 0;
        sum += r.row_size;
    }
    if (sum == 0) {  // no group can log: the table is refused
        for (LogRunRec &g : LogRun) g = LogRunRec{};
        return 7;
    }
    uint32_t part = 0;
    for (unsigned i = 0; i < log_groups; i++) {
        LogRunRec &r = LogRun[i];
        if (r.row_size == 0) continue;
        const uint32_t share = uint32_t(uint64_t(r.row_size) * LOG_RAW_SIZE / sum);
        r.capacity = uint16_t(share / r.row_size);
        if (r.capacity == 0) {
            for (LogRunRec &g : LogRun) g = LogRunRec{};
            return 8;
        }
        r.part = part;
        r.part_size = uint16_t(r.capacity * r.row_size);
        part += r.part_size;
    }
    prev_name = {};
    LogFileWriteState = 16;
    LogFileWriteGroup = 0;
    LogStatus = {};
    log_valid = true;
    return 0;
}

void LOG_Start() {
    const uint16_t crc = MF_Crc(datalog_table.data());
    const uint32_t len = MF_Len(datalog_table.data());
    const bool same = crc == PlcWord(275) && len == PlcDword(272);
    if (same && log_started_once) return;
    log_started_once = true;
    PlcWordSet(275, crc);
    PlcDwordSet(272, len);
    const std::size_t n = std::min<std::size_t>(len, DATALOG_TABLE_SIZE - MF_HDR);
    LOG_Load(std::span<const uint8_t>(datalog_table.data() + MF_HDR, n), !same);
}

void LOG_Stop() {}

void LOG_Update() {
    if (!log_valid) return;
    Sample();
    FileStep();
    Publish();
}
