// File blocks: WRITE_CF, WRITE_CF2, READ_CF and READ_CF2 post and poll a
// transfer on the mailbox file-request client; COPY_CF and DELETE_CF run as
// the file instructions' copy and delete jobs; RENAME_CF posts a rename. One
// instance owns its group's transfer from start to end; the status output is
// -2 running, -3 another owner, -4 disabled, 66 an empty path, else the
// service's result (read and write: with the element count in the upper half).
#include <algorithm>

#include "iec/blocks/blkform.h"
#include "iec/vm/z7str.h"
#include "media/cfdpram.h"
#include "media/fileblk.h"

namespace {
constexpr int32_t ST_BUSY = -2, ST_OWNED = -3, ST_DISABLED = -4, ST_BAD = 86;

// Owner words (instance address, 0 free) of the transfer groups the blocks
// manage themselves; copy and delete share the file instructions' slots.
uint32_t owner_rw, owner_ren;
// The group's request on the file-request channel is posted and not yet
// collected: an owner that lets go first hands the channel back, or no file
// block or instruction could post again.
bool rw_posted, ren_posted;
void LetGo(bool &posted) {
    if (posted) CF_DpramAbandon();
    posted = false;
}

// The owner's transfer record: the client copies read data and the count
// back through it when the owner polls, so it outlives the call.
CfTransferRec rw_rec;
uint32_t rw_count;
// A read into a STRING: its slot, else 0. Both read forms set the string's
// length from the count read (cut to its maximum), not only READ_CF2: a
// string whose length stayed would hide the characters just read.
uint32_t rw_string_slot;

// Places of the operands of one read or write form.
struct Form {
    bool write;
    bool name_array;  // the name is a BYTE array with its size behind it
    uint32_t need;
};
struct Places {
    uint32_t enable, name, name_size, data, size, count, w0, w6, w7, w8, status;
};
constexpr uint32_t NONE = 0xFFFF;
constexpr Places Place(const Form &f) {
    const uint32_t s = f.name_array ? 1 : 0;  // the name's size shifts what follows
    if (f.write) return {1, 4, f.name_array ? 5u : NONE, 5 + s, 6 + s, 7 + s, 9 + s, 8 + s, 2, 10 + s, 11 + s};
    return {1, 3, f.name_array ? 4u : NONE, 6 + s, 7 + s, 5 + s, 8 + s, 4 + s, NONE, NONE, 9 + s};
}

// Section and element width of an array by its IEC type code (STRING: 0).
bool Accessor(uint32_t type, uint32_t *sec, uint32_t *width) {
    switch (type) {
    case 1:
    case 10:
    case 14:
        *sec = Z7SEC_D8;
        *width = 1;
        return true;
    case 11:
    case 15:
        *sec = Z7SEC_D16;
        *width = 2;
        return true;
    case 2:
    case 3:
    case 16:
        *sec = Z7SEC_D32;
        *width = 4;
        return true;
    case 12:
    case 13:
    case 17:
        *sec = Z7SEC_D64;
        *width = 8;
        return true;
    case 5:
        *sec = 0;
        *width = 1;
        return true;
    default: return false;
    }
}

// Name text of a STRING operand or of a BYTE array of the given size (found
// as every array operand is; an array outside its segment names nothing).
void NameText(const Z7Ops &o, uint32_t k, uint32_t size_k, char (&out)[512]) {
    uint32_t n = 0;
    if (size_k == NONE) {
        const uint32_t len = std::min<uint32_t>(Z7VMStr_GetLength(o.db, o.Lit(k)), sizeof out - 1);
        const uint8_t *t = Z7Mem_Ptr(Z7VMStr_GetText(o.db, o.Lit(k)), len);
        while (t != nullptr && n < len && t[n] != 0) {
            out[n] = char(t[n]);
            n++;
        }
    } else {
        const uint32_t max = std::min<uint32_t>(o.Lit(size_k), sizeof out - 1);
        const uint8_t *a = Blk_ByteArray(o, k, max);
        while (a != nullptr && n < max && a[n] != 0) {
            out[n] = char(a[n]);
            n++;
        }
    }
    out[n] = 0;
}

// String slot {maximum, length, text} of the first string of the STRING
// array at operand k: in the complex-type segment when the application has
// one, the whole slot inside it; 0 when there is none.
uint32_t FirstString(const Z7Ops &o, uint32_t k) {
    uint32_t ct = 0;
    const uint32_t slot = Z7Tools_GetStringArray(o.db, o.Lit(k), &ct);
    if (ct == 0) return Z7VMStr_Slot(o.db, o.Lit(k));
    const uint32_t base = Z7Sec_Addr(o.db, Z7SEC_CT), bytes = Z7Sec_Bytes(o.db, Z7SEC_CT);
    if (slot == 0 || slot < base || uint64_t(slot - base) + 2 > bytes) return 0;
    return uint64_t(slot - base) + 2 + Z7Mem_Get8(slot) <= bytes ? slot : 0;
}

// Status written as a DINT; a read or write that ended carries its count.
void SetStatus(const Z7Ops &o, uint32_t k, int32_t r, bool with_count) {
    if (with_count && r >= 0) r = int32_t(uint32_t(r & 0xFFFF) | (rw_count & 0xFFFF) << 16);
    o.SetD(k, r);
}

// Builds the transfer record from the operands; false when the data array
// does not lie in its section.
bool Build(const Z7Ops &o, const Places &p, bool write, char (&name)[512]) {
    uint32_t sec = 0, width = 0;
    if (!Accessor(o.Lit(0), &sec, &width)) return false;
    const uint32_t size = o.Lit(p.size);
    const int32_t asked = o.I(p.count);
    rw_rec = CfTransferRec{};
    rw_string_slot = 0;
    if (sec == 0) {
        // A STRING array: the characters of its first string.
        const uint32_t slot = FirstString(o, p.data);
        uint8_t *s = Z7Mem_Ptr(slot, 2);
        if (s == nullptr || Z7Mem_Ptr(slot, 2u + s[0]) == nullptr) return false;
        rw_rec.data = s + 2;
        rw_rec.data_size = write ? s[1] : s[0];
        if (!write) rw_string_slot = slot;
    } else {
        // found as every array operand is, all size elements inside it
        rw_rec.data = Blk_Array(o, p.data, o.Lit(0), size);
        if (rw_rec.data == nullptr) return false;
        rw_rec.data_size = size * width;
    }
    NameText(o, p.name, p.name_size, name);
    rw_rec.name = name;
    rw_rec.kind = o.U32(p.w0);
    rw_rec.format = o.U32(write ? 3 : 2);  // the element type
    rw_rec.count = uint32_t(std::clamp<int32_t>(asked, 0, int32_t(std::min<uint32_t>(size, 0x7FFF))));
    rw_count = 0;
    rw_rec.count_out = &rw_count;
    if (write) {
        rw_rec.start = o.I(p.w6);
        rw_rec.mode = o.U32(p.w7);
        rw_rec.flag8 = o.U8(p.w8);
    } else {
        rw_rec.start = o.D(p.w6);
    }
    return true;
}

template <bool Write, bool NameArray>
uint32_t ReadWrite(uint32_t cmd, uint32_t db, uint32_t, uint32_t inst, uint32_t arg) {
    constexpr Form form{Write, NameArray, (Write ? 12u : 10u) + (NameArray ? 1u : 0u)};
    constexpr Places p = Place(form);
    if (cmd == FB_INSTINIT) {
        owner_rw = 0;
        LetGo(rw_posted);
    }
    if (cmd != FB_EXEC) return Blk_Answer(cmd, Write ? 56 : 44);
    Z7Ops o;
    if (inst == 0 || !Z7Ops_Open(db, arg, form.need, o)) return 0;
    // A type code outside the list writes nothing, as every ANY-typed block
    // given one: no status, no request, the owner word untouched.
    uint32_t sec = 0, width = 0;
    if (!Accessor(o.Lit(0), &sec, &width)) return 0;
    if (!o.B(p.enable)) {
        if (owner_rw == inst) {
            owner_rw = 0;
            LetGo(rw_posted);
        }
        o.SetD(p.status, ST_DISABLED);
        return 0;
    }
    if (owner_rw == 0) {
        static char name[512];
        if (!Build(o, p, Write, name)) {
            // a data array past its segment: refused as a bad request,
            // nothing posted
            o.SetD(p.status, ST_BAD);
            return 0;
        }
        o.SetD(p.status, 0);
        const int32_t r = Write ? CF_DpramWriteFile(0, &rw_rec) : CF_DpramReadFile(0, &rw_rec);
        if (r == ST_BUSY) {
            owner_rw = inst;
            rw_posted = true;
        }
        o.SetD(p.status, r);
        return 0;
    }
    if (owner_rw != inst) {
        o.SetD(p.status, ST_OWNED);
        return 0;
    }
    if (o.D(p.status) != ST_BUSY) return 0;  // ended: the result stays until disabled
    const int32_t r = Write ? CF_DpramWriteFile(CF_DPRAM_POLL, &rw_rec) : CF_DpramReadFile(CF_DPRAM_POLL, &rw_rec);
    SetStatus(o, p.status, r, r != ST_BUSY);
    if (r != ST_BUSY) rw_posted = false;  // collected
    if (r != ST_BUSY && rw_string_slot != 0) {
        uint8_t *s = Z7Mem_Ptr(rw_string_slot, 2);
        if (s != nullptr) s[1] = uint8_t(std::min<uint32_t>(rw_count & 0xFF, s[0]));
    }
    return 0;
}

// COPY_CF (enable, source, destination, status) and DELETE_CF (enable,
// path, status): the file instructions' jobs with this instance as owner.
// Their 16-bit status word lives in a scratch pair that mirrors the DINT.
template <uint16_t Opcode>
uint32_t Job(uint32_t cmd, uint32_t db, uint32_t, uint32_t inst, uint32_t arg) {
    constexpr bool copy = Opcode == 249;
    constexpr uint32_t need = copy ? 4 : 3, status = need - 1;
    const uint32_t owner = inst | 0x80000000u;  // never a ladder instruction's place
    // Command 6 frees the group's owner word: the slot when a copy or delete
    // block holds it (bit 31), whichever instance that is; a ladder
    // instruction's hold stays.
    if (cmd == FB_INSTINIT) {
        for (uint32_t &slot : FileStatus)
            if (slot & 0x80000000u) slot = 0;
    }
    if (cmd != FB_EXEC) return Blk_Answer(cmd, copy ? 294 : 290);
    Z7Ops o;
    if (inst == 0 || !Z7Ops_Open(db, arg, need, o)) return 0;
    static char first[512], second[512];
    NameText(o, 1, NONE, first);
    if (copy) NameText(o, 2, NONE, second);
    uint8_t word[4] = {};
    LE_Put16(word, uint16_t(o.D(status)));
    FileOpRec op{};
    op.owner = owner;
    op.opcode = Opcode;
    op.drive = 0;
    op.name = first;
    op.name2 = copy ? second : nullptr;
    op.status_ptr = word;
    File_Access(&op, o.B(0));
    o.SetD(status, int16_t(LE_Get16(word)));
    return 0;
}

// RENAME_CF (enable, old name, new name, status).
uint32_t Rename(uint32_t cmd, uint32_t db, uint32_t, uint32_t inst, uint32_t arg) {
    if (cmd == FB_INSTINIT) {
        owner_ren = 0;
        LetGo(ren_posted);
    }
    if (cmd != FB_EXEC) return Blk_Answer(cmd, 8);
    Z7Ops o;
    if (inst == 0 || !Z7Ops_Open(db, arg, 4, o)) return 0;
    if (!o.B(0)) {
        if (owner_ren == inst) {
            owner_ren = 0;
            LetGo(ren_posted);
        }
        o.SetD(3, ST_DISABLED);
        return 0;
    }
    if (owner_ren == 0) {
        static char from[512], to[512];
        NameText(o, 1, NONE, from);
        NameText(o, 2, NONE, to);
        o.SetD(3, 0);
        const int32_t r = CF_DpramRenameFile(0, from, to);
        if (r == ST_BUSY) {
            owner_ren = inst;
            ren_posted = true;
        }
        o.SetD(3, r);
        return 0;
    }
    if (owner_ren != inst) {
        o.SetD(3, ST_OWNED);
        return 0;
    }
    if (o.D(3) == ST_BUSY) {
        const int32_t r = CF_DpramRenameFile(CF_DPRAM_POLL, nullptr, nullptr);
        if (r != ST_BUSY) ren_posted = false;  // collected
        o.SetD(3, r);
    }
    return 0;
}

constexpr BlkRow kRows[] = {
    {"WRITE_CF", ReadWrite<true, false>},
    {"WRITE_CF2", ReadWrite<true, true>},
    {"READ_CF", ReadWrite<false, false>},
    {"READ_CF2", ReadWrite<false, true>},
    {"COPY_CF", Job<249>},
    {"DELETE_CF", Job<253>},
    {"RENAME_CF", Rename},
};
}  // namespace

const BlkFamily BlkFile_Family{kRows, sizeof kRows / sizeof kRows[0]};
