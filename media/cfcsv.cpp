// CSV exchange of register data: read by row, by column, count rows; write
// raw bytes or formatted values, with or without element descriptors.
#include <bit>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/image/bytes.h"
#include "media/cfapi.h"

namespace {
constexpr std::size_t FIELD_MAX = 127;  // characters kept of a field; longer ones are cut
constexpr uint32_t FMT_BYTE = 10;       // one byte, descriptor modes only

uint16_t Done(uint16_t code) {
    CfStatus = code;
    return code;
}

// ---- buffered input ------------------------------------------------------------------
struct CsvIn {
    FxFile file{};
    uint8_t buf[512];
    uint32_t pos = 0, len = 0;
    uint32_t line = 0;  // line feeds passed
    uint16_t err = 0;
    bool end = false;
};

int Get(CsvIn &in) {
    if (in.pos == in.len) {
        if (in.end) return -1;
        uint32_t got = 0;
        const uint32_t s = _fxe_file_read(&in.file, in.buf, sizeof in.buf, &got);
        if (s != FX_SUCCESS) in.err = CfXlate(s);
        if (s != FX_SUCCESS || got == 0) {
            in.end = true;
            return -1;
        }
        in.pos = 0;
        in.len = got;
    }
    const int c = in.buf[in.pos++];
    if (c == '\n') in.line++;
    return c;
}

// Reads one field: leading blanks (and, with skip_lines, line ends) are
// passed over; the field ends at ',', CR or LF outside quotes or at the end
// of the file. Answers false when the file ended before a field began.
bool ReadField(CsvIn &in, bool text, bool skip_lines, char *field, int *term) {
    int c;
    do c = Get(in);
    while (c == ' ' || c == '\t' || (skip_lines && (c == '\r' || c == '\n')));
    if (c < 0) {
        field[0] = 0;
        *term = -1;
        return false;
    }
    std::size_t n = 0;
    bool quoted = false;
    for (;; c = Get(in)) {
        if (c < 0) break;
        if (c == '"') {
            quoted = !quoted;
            if (text) continue;
        } else if (!quoted && (c == ',' || c == '\r' || c == '\n')) {
            break;
        }
        if (n < FIELD_MAX) field[n++] = char(c);
    }
    field[n] = 0;
    *term = c;
    return true;
}

// ---- element positions in the data area ---------------------------------------------------
struct Cursor {
    uint32_t pos = 0;  // byte
    uint32_t bit = 0;  // bit within the 16-bit word at pos (bits), or element bit index
};

bool Fits(const CfTransferRec *rec, uint32_t pos, uint32_t n) { return uint64_t(pos) + n <= rec->data_size; }

uint32_t WidthBytes(uint32_t format) { return format == FMT_BYTE ? 1 : CF_TypeWidth[format] / 8; }

// Stores a converted field; false when it would leave the data area.
bool Store(CfTransferRec *rec, Cursor &cur, uint32_t format, const char *f, bool desc, uint32_t text_count) {
    uint8_t *d = rec->data;
    switch (format) {
    case 0: {
        const std::size_t n = std::strlen(f);
        if (desc) {
            if (!Fits(rec, cur.pos, text_count)) return false;
            std::memset(d + cur.pos, 0, text_count);
            std::memcpy(d + cur.pos, f, n < text_count ? n : text_count);
        } else {
            const std::size_t k = n < text_count ? n : text_count;
            if (!Fits(rec, cur.pos, uint32_t(k))) return false;
            std::memcpy(d + cur.pos, f, k);
            if (k < text_count && Fits(rec, cur.pos + uint32_t(k), 1)) d[cur.pos + k] = 0;
        }
        return true;
    }
    case 2: {
        const uint32_t byte = desc ? cur.pos + cur.bit / 8 : cur.bit / 8;
        const uint32_t b = desc ? cur.bit % 8 : cur.bit % 8;
        if (!Fits(rec, byte, 1)) return false;
        const bool on = std::strtol(f, nullptr, 10) != 0;
        d[byte] = on ? uint8_t(d[byte] | (1u << b)) : uint8_t(d[byte] & ~(1u << b));
        return true;
    }
    default: break;
    }
    const uint32_t w = WidthBytes(format);
    if (!Fits(rec, cur.pos, w)) return false;
    uint32_t v = 0;
    switch (format) {
    case 1:
        for (const char *c = f; *c; c++) v = (v << 1) | (uint32_t(*c) & 1);
        break;
    case 3: v = uint32_t(int32_t(std::strtoll(f, nullptr, 10))); break;
    case 4:
        for (const char *c = f; *c; c++) {
            if (std::isxdigit(static_cast<unsigned char>(*c))) {
                const int x = std::isdigit(static_cast<unsigned char>(*c)) ? *c - '0' : (std::toupper(*c) - 'A' + 10);
                v = (v << 4) | uint32_t(x);
            }
        }
        break;
    case 5: v = uint32_t(int32_t(std::strtol(f, nullptr, 10))); break;
    case 6: {
        v = std::bit_cast<uint32_t>(std::strtof(f, nullptr));
        break;
    }
    case 7: v = uint32_t(std::strtoull(f, nullptr, 10)); break;
    default: v = uint32_t(std::strtoul(f, nullptr, 10)); break;  // 8 and the byte
    }
    if (w == 4)
        LE_Put32(d + cur.pos, v);
    else if (w == 2)
        LE_Put16(d + cur.pos, uint16_t(v));
    else
        d[cur.pos] = uint8_t(v);
    return true;
}

// Moves the cursor past one element.
void Advance(Cursor &cur, uint32_t format, bool desc, uint32_t text_count) {
    if (!desc) {
        if (format == 2)
            cur.bit++;
        else
            cur.pos += WidthBytes(format);
        return;
    }
    switch (format) {
    case 0: cur.pos = (cur.pos + text_count + 2) & ~1u; break;
    case 2:
        if (++cur.bit == 16) {
            cur.bit = 0;
            cur.pos += 2;
        }
        break;
    default: cur.pos += WidthBytes(format); break;
    }
}
// End of a descriptor: partial bit words and bytes end on an even position.
void EndDesc(Cursor &cur, uint32_t format) {
    if (format == 2 && cur.bit != 0) {
        cur.bit = 0;
        cur.pos += 2;
    }
    if (format == FMT_BYTE) cur.pos = (cur.pos + 1) & ~1u;
}

// Element k of the request: its format and text count (descriptor modes walk
// the descriptors).
struct Plan {
    const CfTransferRec *rec;
    bool desc;
    bool write;
    uint32_t di = 0, de = 0;  // descriptor and element within it
};
bool DescAt(const Plan &p, uint32_t i, uint32_t *format, uint32_t *count, uint32_t *name_off, uint32_t *name_len) {
    const CfTransferRec *r = p.rec;
    const uint32_t size = p.write ? 8 : 4;
    if (r->descs == nullptr || uint64_t(i + 1) * size > r->descs_size) return false;
    const uint8_t *d = r->descs + i * size;
    if (p.write) {
        *name_off = LE_Get32(d);
        *name_len = d[4];
        *format = d[5];
        *count = LE_Get16(d + 6);
    } else {
        *name_off = *name_len = 0;
        *format = d[1];
        *count = LE_Get16(d + 2);
    }
    return true;
}
bool FormatOk(uint32_t f, bool desc) { return f <= 8 || (desc && f == FMT_BYTE); }
// Format and count of descriptor di, or the record's own when the request
// has no descriptors; false when the descriptor is missing or its format is
// refused.
bool PlanAt(const Plan &p, uint32_t di, uint32_t *format, uint32_t *count) {
    *format = p.rec->format;
    *count = p.rec->count;
    uint32_t name_off = 0, name_len = 0;
    return !p.desc || (DescAt(p, di, format, count, &name_off, &name_len) && FormatOk(*format, true));
}
// Runs body(di, format, count) for each of the n entries of the plan that has
// elements, while status stays CF_OK and body answers true; an entry the plan
// cannot give sets status CF_INVALID.
template <class Body>
void EachEntry(const Plan &p, uint32_t n, uint16_t &status, Body body) {
    for (uint32_t di = 0; di < n && status == CF_OK; di++) {
        uint32_t format, count;
        if (!PlanAt(p, di, &format, &count)) {
            status = CF_INVALID;
            break;
        }
        if (count != 0 && !body(di, format, count)) break;
    }
}

// ---- buffered output --------------------------------------------------------------------
struct CsvOut {
    FxFile file{};
    char buf[512];
    uint32_t n = 0;
    uint32_t status = FX_SUCCESS;
    bool dry = false;  // a trial run: nothing reaches a file
};
void Flush(CsvOut &o) {
    if (o.n && o.status == FX_SUCCESS && !o.dry) o.status = _fxe_file_write(&o.file, o.buf, o.n);
    o.n = 0;
}
void Put(CsvOut &o, const char *s, std::size_t len) {
    while (len > 0) {
        const std::size_t k = std::min<std::size_t>(len, sizeof o.buf - o.n);
        std::memcpy(o.buf + o.n, s, k);
        o.n += uint32_t(k);
        s += k;
        len -= k;
        if (o.n == sizeof o.buf) Flush(o);
    }
}
void Put(CsvOut &o, const char *s) { Put(o, s, std::strlen(s)); }

// Formats one element; false when it lies outside the data area.
bool Format(const CfTransferRec *rec, const Cursor &cur, uint32_t format, bool desc, uint32_t text_count, CsvOut &o,
            uint32_t *text_len) {
    const uint8_t *d = rec->data;
    char t[64];
    if (format == 0) {
        if (!Fits(rec, cur.pos, 0)) return false;
        std::size_t n = 0;
        const uint32_t room = rec->data_size - cur.pos;
        const uint32_t max = text_count < room ? text_count : room;
        while (n < max && d[cur.pos + n] != 0) n++;
        *text_len = uint32_t(n);
        const bool quote = std::memchr(d + cur.pos, ',', n) != nullptr;
        if (quote) Put(o, "\"", 1);
        Put(o, reinterpret_cast<const char *>(d + cur.pos), n);
        if (quote) Put(o, "\"", 1);
        return true;
    }
    if (format == 2) {
        const uint32_t byte = desc ? cur.pos + cur.bit / 8 : cur.bit / 8;
        if (!Fits(rec, byte, 1)) return false;
        Put(o, (d[byte] >> (cur.bit % 8)) & 1 ? "1" : "0", 1);
        return true;
    }
    const uint32_t w = WidthBytes(format);
    if (!Fits(rec, cur.pos, w)) return false;
    const uint32_t v = w == 4 ? LE_Get32(d + cur.pos) : w == 2 ? LE_Get16(d + cur.pos) : d[cur.pos];
    switch (format) {
    case 1:
        for (int i = 0; i < 16; i++) t[i] = (v >> (15 - i)) & 1 ? '1' : '0';
        t[16] = 0;
        break;
    case 3: std::snprintf(t, sizeof t, "%d", int32_t(v)); break;
    case 4: std::snprintf(t, sizeof t, "%X", unsigned(uint16_t(v))); break;
    case 5: std::snprintf(t, sizeof t, "%d", int(int16_t(v))); break;
    case 6: {
        std::snprintf(t, sizeof t, "%g", double(std::bit_cast<float>(v)));
        break;
    }
    case 7: std::snprintf(t, sizeof t, "%u", v); break;
    case 8: std::snprintf(t, sizeof t, "%u", unsigned(uint16_t(v))); break;
    default: std::snprintf(t, sizeof t, "%d", int(uint8_t(v))); break;
    }
    Put(o, t);
    return true;
}

void SetCount(CfTransferRec *rec, uint32_t n) {
    if (rec->count_out) *rec->count_out = n;
}

// The formatted values of a write (and the header line of a new file in the
// descriptor mode) into o; CF_OK, or CF_INVALID for an element or a name
// outside the areas the record gives.
uint16_t WriteValues(CfTransferRec *rec, bool desc, bool fresh, CsvOut &o, uint32_t *done_out) {
    uint16_t status = CF_OK;
    uint32_t done = 0;
    // The byte at word 8 ends the last line, in the descriptor mode too
    // (the ladder instruction sets it there: its writes always end one).
    const bool end_flag = rec->flag8 != 0;
    Plan plan{rec, desc, true};
    Cursor cur;
    const uint32_t ndesc = desc ? rec->desc_count : 1;
    // Header line of a new file in the descriptor mode.
    if (desc && fresh && rec->header == 1) {
        uint32_t last = ndesc;
        for (uint32_t di = 0; di < ndesc; di++) {
            uint32_t f, c, no, nl;
            if (DescAt(plan, di, &f, &c, &no, &nl) && c != 0) last = di;
        }
        for (uint32_t di = 0; di < ndesc && status == CF_OK; di++) {
            uint32_t f, c, no, nl;
            if (!DescAt(plan, di, &f, &c, &no, &nl) || rec->names == nullptr || uint64_t(no) + nl > rec->names_size ||
                nl == 0) {
                status = CF_INVALID;
                break;
            }
            if (c == 0) continue;
            const char *nm = reinterpret_cast<const char *>(rec->names + no);
            if (c == 1 || f == 0) {
                Put(o, nm, di == last ? nl - 1 : nl);
            } else {
                for (uint32_t i = 0; i < c; i++) {
                    Put(o, nm, nl - 1);
                    char idx[8];
                    std::snprintf(idx, sizeof idx, "[%c]%s", char('0' + i), di == last && i + 1 == c ? "" : ",");
                    Put(o, idx);
                }
            }
        }
        Put(o, "\r\n", 2);
    }
    EachEntry(plan, ndesc, status, [&](uint32_t di, uint32_t format, uint32_t count) {
        const bool text = format == 0;
        const uint32_t tc = desc && text && count > 25 ? 25 : count;
        const uint32_t elements = text ? 1 : count;
        bool last_desc = true;
        for (uint32_t k = di + 1; k < ndesc; k++) {
            uint32_t f, c, a, b;
            if (DescAt(plan, k, &f, &c, &a, &b) && c != 0) last_desc = false;
        }
        for (uint32_t e = 0; e < elements; e++) {
            uint32_t text_len = 0;
            if (!Format(rec, cur, format, desc, tc, o, &text_len)) {
                status = CF_INVALID;
                break;
            }
            Advance(cur, format, desc, count);
            done += text && !desc ? text_len : 1;
            const bool last = e + 1 == elements && last_desc;
            const uint32_t per_line = desc ? 0 : uint32_t(rec->start);
            if (last)
                Put(o, end_flag ? "\r\n" : ",");
            else if (per_line != 0 && !text && (e + 1) % per_line == 0)
                Put(o, "\r\n");
            else
                Put(o, ",", 1);
        }
        if (desc) EndDesc(cur, format);
        return true;
    });
    *done_out = done;
    return status;
}

uint16_t OpenRead(CfTransferRec *rec, CsvIn &in) {
    char n[FX_PATH_MAX];
    uint8_t drive = 0;
    if (CfName(rec->name, n, &drive, true)) return CF_INVALID;
    return CfXlate(_fxe_file_open(CfMediaOf(drive), &in.file, n, FX_OPEN_FOR_READ));
}
}  // namespace

uint32_t CF_ColumnRows(const CfTransferRec *rec) {
    uint32_t rows = rec->count >> 16;
    if (rows == 0) rows = CF_MAX_ROWS;
    const uint32_t first = uint32_t(rec->start) & 0xFFFF, end = (uint32_t(rec->start) >> 16) & 0x7FFF;
    if (end >= first && end - first < rows) rows = end - first;
    return rows;
}

uint16_t CF_ReadFileRowCount(CfTransferRec *rec) {
    SetCount(rec, 0);
    CsvIn in;
    if (const uint16_t s = OpenRead(rec, in)) return Done(s);
    uint32_t lines = 0;
    uint8_t buf[128];
    uint32_t got = 0;
    uint32_t s;
    while ((s = _fxe_file_read(&in.file, buf, sizeof buf, &got)) == FX_SUCCESS && got > 0)
        for (uint32_t i = 0; i < got; i++) lines += buf[i] == '\n';
    _fxe_file_close(&in.file);
    if (s != FX_SUCCESS) return Done(CfXlate(s));
    // The count takes the width of the request's format: a 32-bit format's
    // register holds it whole.
    const bool wide = rec->format <= 8 && CF_TypeWidth[rec->format] == 32;
    if (!Fits(rec, 0, wide ? 4 : 2)) return Done(CF_INVALID);
    if (wide)
        LE_Put32(rec->data, lines);
    else
        LE_Put16(rec->data, uint16_t(lines));
    SetCount(rec, 1);
    return Done(CF_OK);
}

uint16_t CF_ReadFileByRow(CfTransferRec *rec) {
    SetCount(rec, 0);
    const bool desc = rec->flag8 == 76;
    if (!desc && rec->format > 8) return Done(CF_INVALID);
    if (!desc && rec->format == 0 && rec->count > 126) return Done(CF_INVALID);
    CsvIn in;
    if (const uint16_t s = OpenRead(rec, in)) return Done(s);
    const bool text0 = !desc && rec->format == 0;
    uint16_t status = CF_OK;
    // Fields to pass over first.
    for (int32_t i = 0; i < rec->start && status == CF_OK; i++) {
        bool q = false;
        for (;;) {
            const int c = Get(in);
            if (c < 0) {
                status = CF_EOF;
                break;
            }
            if (c == '"' && text0) q = !q;
            if ((c == ',' && !q) || c == '\n') break;
        }
    }
    uint32_t done = 0;
    char field[FIELD_MAX + 1];
    Cursor cur;
    Plan plan{rec, desc, false};
    const uint32_t ndesc = desc ? rec->desc_count : 1;
    EachEntry(plan, ndesc, status, [&](uint32_t di, uint32_t format, uint32_t count) {
        const bool text = format == 0;
        const uint32_t elements = text ? 1 : count;
        for (uint32_t e = 0; e < elements; e++) {
            int term = 0;
            if (!ReadField(in, text, true, field, &term)) {
                status = CF_EOF;
                break;
            }
            if (!Store(rec, cur, format, field, desc, text ? count : 0)) {
                status = CF_INVALID;
                break;
            }
            done += (text && !desc) ? uint32_t(std::strlen(field) < count ? std::strlen(field) : count) : 1;
            Advance(cur, format, desc, count);
            if (term < 0 && (e + 1 < elements || di + 1 < ndesc)) {
                status = CF_EOF;
                break;
            }
        }
        if (desc) EndDesc(cur, format);
        return !text0;
    });
    if (in.err && status == CF_EOF) status = in.err;
    _fxe_file_close(&in.file);
    SetCount(rec, done);
    return Done(status);
}

uint16_t CF_ReadFileByColumn(CfTransferRec *rec) {
    SetCount(rec, 0);
    if (rec->format > 8) return Done(CF_INVALID);
    const uint32_t first = uint32_t(rec->start) & 0xFFFF, end = (uint32_t(rec->start) >> 16) & 0x7FFF;
    if (first > end) return Done(CF_INVALID);
    const uint32_t rows = CF_ColumnRows(rec);
    uint32_t max = rec->count >> 16;
    if (max == 0) max = CF_MAX_ROWS;
    if (rows < max) std::memset(rec->data, 0, std::min<uint32_t>(2400, rec->data_size));
    const uint32_t column = rec->count & 0xFFFF;
    const bool text = rec->format == 0;
    CsvIn in;
    if (const uint16_t s = OpenRead(rec, in)) return Done(s);
    uint16_t status = CF_OK;
    uint32_t done = 0;
    Cursor cur;
    char field[FIELD_MAX + 1];
    for (uint32_t r = first; r < first + rows && status == CF_OK; r++) {
        while (in.line < r) {
            if (Get(in) < 0) {
                status = CF_EOF;
                break;
            }
        }
        if (status != CF_OK) break;
        bool q = false, short_line = false;
        for (uint32_t commas = 0; commas < column;) {
            const int c = Get(in);
            if (c < 0) {
                status = CF_EOF;
                break;
            }
            if (c == '"' && text)
                q = !q;
            else if (c == ',' && !q)
                commas++;
            else if (c == '\n') {
                short_line = true;
                break;
            }
        }
        if (status != CF_OK || short_line) break;
        int term = 0;
        if (!ReadField(in, text, false, field, &term)) {
            status = CF_EOF;
            break;
        }
        if (!Store(rec, cur, rec->format, field, false, text ? 127 : 0)) {
            status = CF_INVALID;
            break;
        }
        // Text rows take slots of their own.
        if (text)
            cur.pos += CF_TEXT_SLOT;
        else
            Advance(cur, rec->format, false, 0);
        done++;
    }
    if (in.err && status == CF_EOF) status = in.err;
    _fxe_file_close(&in.file);
    SetCount(rec, done);
    return Done(status);
}

uint16_t CF_ReadFile(uint8_t, CfTransferRec *rec) {
    if (rec->start == -1) return CF_ReadFileRowCount(rec);
    if (rec->start < 0) return CF_ReadFileByColumn(rec);
    return CF_ReadFileByRow(rec);
}

uint16_t CF_WriteFile(uint8_t, CfTransferRec *rec) {
    SetCount(rec, 0);
    const bool desc = rec->desc_mode == 77;
    char n[FX_PATH_MAX];
    uint8_t drive = 0;
    if (rec->kind > 1 || (!desc && rec->format > 8) || (!desc && rec->count == 0) || rec->mode > 3 ||
        CfName(rec->name, n, &drive, true))
        return Done(CF_INVALID);
    FxMedia *media = CfMediaOf(drive);
    if (!Cf_Check(drive)) return Done(CF_GetStatus(drive));
    uint32_t attr = 0;
    bool exists = _fxe_file_attributes_read(media, n, &attr) == FX_SUCCESS;
    if (exists && (attr & FX_DIRECTORY)) return Done(CF_NO_SPACE);
    if (rec->mode == 0 && exists) return Done(CF_EXISTS);
    if (rec->mode == 1 && !exists) return Done(CF_NOT_FOUND);
    // What the record asks for is tried out before the file is touched: an
    // element or a name outside the areas it gives is refused here, not
    // after half a line went into the file (or a replaced file was deleted).
    if (rec->kind == 0 && !Fits(rec, 0, rec->count)) return Done(CF_INVALID);
    if (rec->kind == 1) {
        CsvOut trial;
        trial.dry = true;
        uint32_t elements = 0;
        if (const uint16_t t = WriteValues(rec, desc, !exists || rec->mode == 3, trial, &elements)) return Done(t);
    }
    if (rec->mode == 3 && exists) {
        if (const uint32_t s = _fxe_file_delete(media, n)) return Done(CfXlate(s));
        CfUpperLast(n);
        exists = false;
    }
    const bool fresh = !exists;
    CsvOut o;
    uint32_t s = FX_SUCCESS;
    for (int attempt = 0; attempt < 2; attempt++) {
        s = exists ? FX_SUCCESS : _fxe_file_create(media, n);
        if (s == FX_SUCCESS && !exists) _fxe_file_attributes_set(media, n, 0x20);  // archive
        if (s == FX_SUCCESS) s = _fxe_file_open(media, &o.file, n, FX_OPEN_FOR_WRITE);
        if (s != FX_INVALID_PATH && s != FX_NOT_FOUND) break;
        // The directory is missing: create it and try once more.
        char dir[FX_PATH_MAX];
        std::memcpy(dir, n, sizeof dir);
        char *cut = std::strrchr(dir, '\\');
        if (cut == nullptr || cut - dir <= 2) break;
        *cut = 0;
        if (const uint16_t m = CF_MakeDir(drive, dir); m != CF_OK && m != CF_EXISTS) break;
    }
    if (s != FX_SUCCESS) return Done(CfXlate(s));
    if (!fresh) s = _fxe_file_relative_seek(&o.file, 0, 1);
    uint32_t done = 0;
    uint16_t status = CF_OK;
    if (s != FX_SUCCESS) {
        status = CfXlate(s);
    } else if (rec->kind == 0) {
        const uint32_t k = rec->count;
        if (!Fits(rec, 0, k)) {
            status = CF_INVALID;
        } else {
            o.status = _fxe_file_write(&o.file, rec->data, k);
            status = CfXlate(o.status);
            if (status == CF_OK) done = k;
        }
    } else {
        status = WriteValues(rec, desc, fresh, o, &done);
        Flush(o);
        if (status == CF_OK) status = CfXlate(o.status);
    }
    _fxe_file_close(&o.file);
    if (status == CF_NO_SPACE) done = 0;
    SetCount(rec, done);
    return Done(status);
}
