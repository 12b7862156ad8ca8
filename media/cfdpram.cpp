// File-request client of the mailbox area: the caller's transfer record is
// copied into the channel with its name, data area and count word replaced by
// offsets in the area; results and read data are copied back on the poll.
#include "media/cfdpram.h"

#include <algorithm>
#include <cstring>

#include "core/image/bytes.h"
#include "core/image/dpram.h"

namespace {
// A request stays its poster's from the post until the poll that collects
// its answer: the file instructions of both drives and the IEC file blocks
// share this one channel, and a second caller posting over a finished but
// uncollected request would hand its own result, count and data to the
// first caller's poll. Only the acknowledge byte says "finished"; this flag
// says "collected".
bool held;
bool Pending() { return dpram[DP_FILE_REQ] != dpram[DP_FILE_ACK]; }
bool Busy() { return held || Pending(); }
// The poll of the request's owner: -2 while the card file manager works on
// it, else the channel is given back and the answer is the owner's to take.
bool Collect() {
    if (Pending()) return false;
    held = false;
    return true;
}
void Word(unsigned i, uint32_t v) { LE_Put32(&dpram[DP_FILE_REC + 4 * i], v); }

// Copies a name up to its first blank or its end, '/' becoming '\'; false
// for a name of 512 characters or more (or one that does not fit room).
bool PutName(std::size_t at, const char *name, std::size_t room, const char *suffix = nullptr) {
    if (name == nullptr) return false;
    std::size_t n = 0;
    while (name[n] != 0 && name[n] != ' ') n++;
    if (n >= DP_NAME_SIZE) return false;
    const std::size_t sn = suffix ? std::strlen(suffix) : 0;
    if (n + sn + 1 > room || n + sn >= DP_NAME_SIZE) return false;
    for (std::size_t i = 0; i < n; i++) dpram[at + i] = uint8_t(name[i] == '/' ? '\\' : name[i]);
    if (sn) std::memcpy(&dpram[at + n], suffix, sn);
    dpram[at + n + sn] = 0;
    return true;
}

bool HasCsv(const char *name) { return std::strstr(name, ".csv") || std::strstr(name, ".CSV"); }

int32_t Post(uint8_t op, uint8_t drive) {
    dpram[DP_FILE_OP] = op;
    dpram[DP_FILE_DRIVE] = uint8_t(drive & 0x7F);
    dpram[DP_FILE_REQ] = uint8_t(1 - dpram[DP_FILE_ACK]);
    held = true;
    return -2;
}

int32_t Result() { return LE_Get16(&dpram[DP_FILE_RES]); }

void FillRecord(const CfTransferRec *rec) {
    std::memset(&dpram[DP_FILE_REC], 0, DP_FILE_COUNT + 4 - DP_FILE_REC);
    Word(0, rec->kind);
    Word(1, uint32_t(DP_FILE_NAME));
    Word(2, uint32_t(DP_FILE_DATA));
    Word(3, rec->format);
    Word(4, rec->count);
    Word(5, uint32_t(DP_FILE_COUNT));
    Word(6, uint32_t(rec->start));
    Word(7, rec->mode);
    Word(8, rec->flag8);
}
}  // namespace

uint64_t CF_DataBytes(uint32_t format, uint32_t n) {
    if (format == 2) return (uint64_t(n) + 7) / 8;
    if (format > 8) return n;
    return uint64_t(n) * CF_TypeWidth[format] / 8;
}

int32_t CF_DpramReadFile(uint8_t drive, CfTransferRec *rec) {
    if (drive & CF_DPRAM_POLL) {
        if (!Collect()) return -2;
        const uint32_t n = LE_Get32(&dpram[DP_FILE_COUNT]);
        const int32_t result = Result();
        uint64_t bytes;
        if (result != CF_OK && result != CF_EOF)
            bytes = 0;  // a refused read leaves the registers alone
        else if (rec->flag8 == 76)
            bytes = rec->data_size;
        else if (rec->start == -1)
            // A row count: 32 bits for a 32-bit format, else 16, as the card
            // manager writes it; a byte more would hand the caller whatever
            // an earlier request left in the data area.
            bytes = n ? (rec->format <= 8 && CF_TypeWidth[rec->format] == 32 ? 4 : 2) : 0;
        else if (rec->start < 0 && rec->format == 0)
            // Text by column: a slot per row read, not a byte per row (the
            // rows after the first would never reach the caller).
            bytes = uint64_t(n) * CF_TEXT_SLOT;
        else
            bytes = CF_DataBytes(rec->format, n);  // text: exactly the characters read
        bytes = std::min({bytes, uint64_t(rec->data_size), uint64_t(DP_FILE_DATA_SIZE)});
        if (rec->data && bytes) std::memcpy(rec->data, &dpram[DP_FILE_DATA], std::size_t(bytes));
        if (rec->count_out) *rec->count_out = n;
        return result;
    }
    if (Busy()) return -3;
    const bool csv = rec->kind == 1 && rec->flag8 == 76 && rec->name && !HasCsv(rec->name);
    if (!PutName(DP_FILE_NAME, rec->name, DP_NAME_SIZE, csv ? ".csv" : nullptr)) return 86;
    FillRecord(rec);
    if (rec->flag8 == 76) {
        // Read descriptors go behind the data the read will fill.
        const uint32_t dbytes = uint32_t(rec->desc_count) * 4;
        if (rec->descs == nullptr || dbytes > rec->descs_size || uint64_t(rec->data_size) + dbytes > DP_FILE_DATA_SIZE)
            return 86;
        const std::size_t at = DP_FILE_DATA + rec->data_size;
        std::memcpy(&dpram[at], rec->descs, dbytes);
        Word(9, uint32_t(at));
        Word(10, rec->desc_count);
    }
    return Post(CFD_OP_READ, drive);
}

int32_t CF_DpramWriteFile(uint8_t drive, CfTransferRec *rec) {
    if (drive & CF_DPRAM_POLL) {
        if (!Collect()) return -2;
        if (rec->count_out) *rec->count_out = LE_Get32(&dpram[DP_FILE_COUNT]);
        return Result();
    }
    if (Busy()) return -3;
    const bool desc = rec->desc_mode == 77;
    uint64_t bytes;
    if (desc)
        bytes = rec->data_size;
    else if (rec->kind == 0)
        bytes = rec->count;
    else
        bytes = rec->format == 0 ? rec->count : CF_DataBytes(rec->format, rec->count);
    if (bytes > DP_FILE_DATA_SIZE || bytes > rec->data_size || (bytes && rec->data == nullptr)) return 86;
    const bool csv = desc && rec->kind == 1 && rec->name && !HasCsv(rec->name);
    if (!PutName(DP_FILE_NAME, rec->name, DP_NAME_SIZE, csv ? ".csv" : nullptr)) return 86;
    FillRecord(rec);
    if (desc) {
        const uint32_t dbytes = uint32_t(rec->desc_count) * 8;
        if (rec->descs == nullptr || dbytes > rec->descs_size || bytes + dbytes + rec->names_size > DP_FILE_DATA_SIZE)
            return 86;
        const std::size_t dat = DP_FILE_DATA + bytes, nat = dat + dbytes;
        std::memcpy(&dpram[dat], rec->descs, dbytes);
        if (rec->names_size) std::memcpy(&dpram[nat], rec->names, rec->names_size);
        Word(9, 77u | uint32_t(rec->header) << 16);
        Word(10, rec->desc_count);
        Word(11, uint32_t(nat));
        Word(12, uint32_t(dat));
    }
    if (bytes) std::memcpy(&dpram[DP_FILE_DATA], rec->data, std::size_t(bytes));
    return Post(CFD_OP_WRITE, drive);
}

namespace {
int32_t TwoNames(uint8_t op, uint8_t drive, const char *a, const char *b) {
    if (drive & CF_DPRAM_POLL) return Collect() ? Result() : -2;
    if (Busy()) return -3;
    if (!PutName(DP_FILE_NAME, a, DP_NAME_SIZE)) return 86;
    if (b && !PutName(DP_FILE_DATA, b, DP_NAME_SIZE)) return 86;
    std::memset(&dpram[DP_FILE_REC], 0, 8);
    Word(0, uint32_t(DP_FILE_NAME));
    if (b) Word(1, uint32_t(DP_FILE_DATA));
    return Post(op, drive);
}
}  // namespace

int32_t CF_DpramRenameFile(uint8_t drive, const char *a, const char *b) { return TwoNames(CFD_OP_RENAME, drive, a, b); }
int32_t CF_DpramCopyFile(uint8_t drive, const char *a, const char *b) { return TwoNames(CFD_OP_COPY, drive, a, b); }
int32_t CF_DpramDeleteFile(uint8_t drive, const char *name) { return TwoNames(CFD_OP_DELETE, drive, name, nullptr); }
int32_t CF_DpramFormatCard(uint8_t drive) {
    if (drive & CF_DPRAM_POLL) return Collect() ? Result() : -2;
    if (Busy()) return -3;
    return Post(CFD_OP_FORMAT, drive);
}

void CF_DpramAbandon() { held = false; }
