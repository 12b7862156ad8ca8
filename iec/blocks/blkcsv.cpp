// LOGFILECSV: one line of a variable list's values per rising LOG, appended
// to a file; a rising RST empties the file. A line is checked whole before
// anything is written, so a bad list writes nothing.
#include "iec/blocks/blkcsv.h"

#include <bit>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "core/image/bytes.h"
#include "iec/blocks/blkform.h"
#include "iec/blocks/blkser.h"
#include "iec/vm/z7cnv.h"
#include "iec/vm/z7stdlib.h"
#include "iec/vm/z7str.h"

namespace {
constexpr uint32_t kEntry = 8, kListHead = 8;

// Host address of width bytes of a value: in the complex-type segment at
// offset ct when ct is non-zero, else index idx of the type's section.
const uint8_t *ValueAt(uint32_t db, uint32_t sec, uint32_t width, uint32_t idx, uint32_t ct) {
    if (ct != 0) {
        const uint32_t bytes = Z7Sec_Bytes(db, Z7SEC_CT);
        return uint64_t(ct) + width <= bytes ? Z7Mem_Ptr(Z7Sec_Addr(db, Z7SEC_CT) + ct, width) : nullptr;
    }
    if (uint64_t(idx + 1) * width > Z7Sec_Bytes(db, sec)) return nullptr;
    return Z7Mem_Ptr(Z7Sec_Addr(db, sec) + idx * width, width);
}

// Text of one entry into out (at least 600 bytes: a string with every quote
// doubled); its length, or -1 when the entry has no value text.
int32_t ValueText(uint32_t db, uint16_t type, uint16_t idx, uint32_t ct, char sep2, char *out) {
    const uint8_t *p = nullptr;
    int n = 0;
    switch (type) {
    case IEC_BOOL:
    case IEC_SINT:
    case IEC_USINT:
        if (!(p = ValueAt(db, Z7SEC_D8, 1, idx, ct))) return -1;
        n = type == IEC_BOOL ? std::snprintf(out, 8, "%d", p[0] != 0) : std::snprintf(out, 8, "%u", unsigned(p[0]));
        break;
    case IEC_INT:
    case IEC_UINT:
        if (!(p = ValueAt(db, Z7SEC_D16, 2, idx, ct))) return -1;
        n = type == IEC_INT ? std::snprintf(out, 16, "%d", int(int16_t(LE_Get16(p))))
                            : std::snprintf(out, 16, "%u", unsigned(LE_Get16(p)));
        break;
    case IEC_DINT:
    case IEC_UDINT:
        if (!(p = ValueAt(db, Z7SEC_D32, 4, idx, ct))) return -1;
        n = type == IEC_DINT ? std::snprintf(out, 16, "%" PRId32, int32_t(LE_Get32(p)))
                             : std::snprintf(out, 16, "%" PRIu32, LE_Get32(p));
        break;
    case IEC_TIME:
        if (!(p = ValueAt(db, Z7SEC_TIME, 4, idx, ct))) return -1;
        n = std::snprintf(out, 16, "%" PRIu32, LE_Get32(p));
        break;
    case IEC_REAL:
    case IEC_LREAL: {
        double v;
        if (type == IEC_REAL) {
            if (!(p = ValueAt(db, Z7SEC_D32, 4, idx, ct))) return -1;
            v = std::bit_cast<float>(LE_Get32(p));
        } else {
            if (!(p = ValueAt(db, Z7SEC_D64, 8, idx, ct))) return -1;
            v = std::bit_cast<double>(LE_Get32(p) | uint64_t(LE_Get32(p + 4)) << 32);
        }
        n = std::snprintf(out, 40, "%g", v);
        for (int k = 0; k < n; k++)
            if (out[k] == '.') out[k] = sep2;
        break;
    }
    case IEC_LINT:
    case IEC_ULINT: {
        if (!(p = ValueAt(db, Z7SEC_D64, 8, idx, ct))) return -1;
        const uint64_t b = LE_Get32(p) | uint64_t(LE_Get32(p + 4)) << 32;
        // A ULINT is written unsigned: as a LINT its values above 2^63 would
        // read as negative numbers in the file.
        n = type == IEC_LINT ? std::snprintf(out, 24, "%" PRId64, int64_t(b)) : std::snprintf(out, 24, "%" PRIu64, b);
        break;
    }
    case IEC_STRING: {
        // a string slot {maximum, length, text}
        uint32_t slot = 0;
        if (ct != 0) {
            const uint32_t bytes = Z7Sec_Bytes(db, Z7SEC_CT);
            if (uint64_t(ct) + 2 > bytes) return -1;
            slot = Z7Sec_Addr(db, Z7SEC_CT) + ct;
            if (uint64_t(ct) + 2 + Z7Mem_Get8(slot + 1) > bytes) return -1;
        } else if ((slot = Z7VMStr_Slot(db, idx)) == 0) {
            return -1;
        }
        const uint8_t *s = Z7Mem_Ptr(slot, 2);
        const uint8_t *t = s ? Z7Mem_Ptr(slot + 2, s[1]) : nullptr;
        if (t == nullptr && (s == nullptr || s[1] != 0)) return -1;
        // A quote inside the text is doubled: left single it would end the
        // quoted field early and split the value for every CSV reader.
        for (uint32_t k = 0; k < (s ? s[1] : 0u) && t[k] != 0; k++) {
            if (t[k] == '"') out[n++] = '"';
            out[n++] = char(t[k]);
        }
        break;
    }
    default: return -1;
    }
    return n < 0 ? -1 : n;
}

// Buffered file output of one line.
struct FileSink {
    uint32_t file;
    char buf[512];
    uint32_t used = 0;
    bool ok = true;
    bool Flush() {
        if (used && ok) ok = Z7Std_Hooks.file_write != nullptr && Z7Std_Hooks.file_write(file, buf, used);
        used = 0;
        return ok;
    }
    static bool Put(void *ctx, const char *t, uint32_t n) {
        FileSink &f = *static_cast<FileSink *>(ctx);
        for (uint32_t k = 0; k < n; k++) {
            if (f.used == sizeof f.buf && !f.Flush()) return false;
            f.buf[f.used++] = t[k];
        }
        return f.ok;
    }
};

// LOG, RST, LIST, PATH; Q, ERR. Instance: previous LOG, previous RST.
void LogFileCsv(const Z7Ops &o, uint8_t *m) {
    const bool log = o.B(0) != 0, rst = o.B(1) != 0;
    char path[256];
    Z7Ops_Text(o, 3, path);
    bool q = false;
    uint32_t err = CSV_OK;
    if (rst && !m[1]) {
        const uint32_t f = Z7Std_Hooks.file_open != nullptr ? Z7Std_Hooks.file_open(path, 1) : 0;
        if (f != 0 && Z7Std_Hooks.file_close != nullptr) Z7Std_Hooks.file_close(f);
        q = f != 0;
        err = f != 0 ? CSV_OK : CSV_CREATE;
    } else if (log && !m[0]) {
        const uint32_t code = Z7Mem_Get32(Z7VM_Header(o.db) + HD_CODE);
        const uint32_t len = code ? Z7VMCode_Length(code) : 0;
        const uint8_t *image = len ? Z7Mem_Ptr(code, len) : nullptr;
        const uint32_t vl = code ? Z7VMCode_GetVLsts(code) : 0;
        const uint32_t table = image != nullptr && vl > code ? vl - code : 0;
        FileSink f{Z7Std_Hooks.file_open_append != nullptr ? Z7Std_Hooks.file_open_append(path) : 0, {}, 0, true};
        if (f.file == 0) {
            err = CSV_APPEND;
        } else {
            // the whole line is checked before anything is written
            err = BlkCsv_Line(o.db, image, len, table, o.D(2), nullptr);
            const CsvSink sink{FileSink::Put, &f};
            if (err == CSV_OK) err = BlkCsv_Line(o.db, image, len, table, o.D(2), &sink);
            if (!f.Flush() && err == CSV_OK) err = CSV_WRITE;
            if (Z7Std_Hooks.file_close != nullptr) Z7Std_Hooks.file_close(f.file);
        }
        q = err == CSV_OK;
    }
    o.SetB(4, q);
    o.SetD(5, int32_t(err));
    m[0] = log;
    m[1] = rst;
}

// Standard block entry: class number, instance size and the body.
template <uint32_t ClassNo, uint32_t Size, uint32_t Need, void (*Body)(const Z7Ops &, uint8_t *)>
uint32_t Std(uint32_t cmd, uint32_t db, uint32_t c, uint32_t inst, uint32_t arg) {
    if (cmd == FB_CLASSNO) return ClassNo;
    if (cmd == FB_AVAIL) return 0;
    return Blk_Stateful<Size, Need, Body>(cmd, db, c, inst, arg);
}
}  // namespace

uint32_t BlkCsv_Line(uint32_t db, const uint8_t *image, uint32_t len, uint32_t table, int32_t list,
                     const CsvSink *sink) {
    if (image == nullptr || table == 0 || uint64_t(table) + 4 > len) return CSV_NOLISTS;
    const uint32_t lists = LE_Get16(image + table + 2);
    if (list < 0 || uint32_t(list) >= lists) return CSV_LIST;
    if (uint64_t(table) + 4 + 4 * (uint64_t(list) + 1) > len) return CSV_WRITE;
    const uint32_t at = LE_Get32(image + table + 4 + 4 * uint32_t(list));
    if (uint64_t(at) + kListHead > len) return CSV_WRITE;
    const uint32_t count = LE_Get16(image + at);
    if (uint64_t(at) + kListHead + uint64_t(count) * kEntry > len) return CSV_WRITE;
    const uint32_t st = Z7VM_Status(db);
    const char sep1 = char(Z7Mem_Get8(st + ST_SEP1)), sep2 = char(Z7Mem_Get8(st + ST_SEP2));
    char text[600];
    for (uint32_t k = 0; k < count; k++) {
        const uint8_t *e = image + at + kListHead + k * kEntry;
        const int32_t n = ValueText(db, LE_Get16(e), LE_Get16(e + 2), LE_Get32(e + 4), sep2, text);
        if (n < 0) return CSV_WRITE;
        if (sink == nullptr) continue;
        if ((k != 0 && !sink->put(sink->ctx, &sep1, 1)) || !sink->put(sink->ctx, "\"", 1) ||
            !sink->put(sink->ctx, text, uint32_t(n)) || !sink->put(sink->ctx, "\"", 1))
            return CSV_WRITE;
    }
    if (sink != nullptr && !sink->put(sink->ctx, "\n", 1)) return CSV_WRITE;
    return CSV_OK;
}

FbHandler BlkStd_Proc(uint32_t id) {
    const char *name = Z7Stfb_GetName(id);
    if (name == nullptr) return nullptr;
    if (std::strcmp(name, "LOGFILECSV") == 0) return Std<35, 2, 6, LogFileCsv>;
    return BlkSer_StdProc(name);
}
