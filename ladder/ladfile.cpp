// File instructions 248 to 254: the operand record is decoded from the stream
// and handed to the file-instruction layer. The records are the same in both
// register layouts (little-endian, byte offsets from the opcode word; a name
// is a count, then the name, and the next field or instruction follows on a
// word boundary):
//
// 250 (read a CSV file), 251 (write a CSV file), 253 (delete):
//   0 opcode, 2 drive, 4 kind, 5 flags, 6 data reference, 10 format,
//   12 start, 16 count, 20 status reference, 24 name count, 28 name.
// 249 (copy), 252 (rename): the same, then a second name count and the
//   second name (copy: the destination; rename: the new name).
// 254 (format): 0 opcode, 2 drive, 4..19 zero, 20 status reference; the
//   record ends there.
// 248 (descriptor transfer): 0 opcode, 2 mode (77 write, else read),
//   4 header (write: 1 writes a header line into a new file), 5 flags (as
//   above), 8 drive, 12 data reference, 16 status reference (its element
//   count is the next word, the row counter of a read the one after), 20 name
//   count, 24 descriptor count, 28 bytes of the names area (write), 38 bytes
//   of register data (write); write: 8-byte descriptors from 40, the names
//   area behind them (descriptor name offsets count from the opcode word),
//   then the name; read: 40 restart value, 4-byte descriptors from 44, then
//   the name.
//
// A name count below 1024 is the length of a name held in the record; 0
// means a 32-bit reference to a string register follows (first word: length
// in its high byte, then the text); 1024 or more is itself that reference.
#include <cstdint>
#include <cstring>

#include "ladder/ladint.h"
#include "media/fileblk.h"

namespace {
constexpr uint8_t FL_COUNT_REF = 0x20, FL_START_REF = 0x40, FL_DATA_OFFSET = 0x80;
constexpr uint16_t DESC_WRITE = 77;
// Bytes of the descriptor record's fixed part and of one descriptor.
constexpr uint32_t DESC_HEAD = 40, DESC_WRITE_SIZE = 8, DESC_READ_SIZE = 4, DESC_READ_FIRST = 44;
constexpr uint32_t NAME_INLINE_MAX = 1024;

// Byte of the register image at a bit address of any window (the image
// size bounds n bytes from it), or LAD_NOREF.
uint32_t RefByte(uint32_t ref, uint32_t n) {
    const uint32_t r = LadRemap(ref);
    if (r < 1024 || r >= LAD_BIT_END) return LAD_NOREF;
    const uint32_t b = (r - 1024) / 8;
    return LadBytesFit(b, n) ? b : LAD_NOREF;
}

// Text of a string register: its first word holds the length in the high
// byte, the text follows.
bool StringReg(uint32_t ref, char *out, std::size_t size) {
    const uint32_t b = RefByte(ref, 2);
    if (b == LAD_NOREF) return false;
    std::size_t len = plc_reg[b + 1];
    if (len >= size) len = size - 1;
    if (!LadBytesFit(b + 2, len)) return false;
    std::memcpy(out, &plc_reg[b + 2], len);
    out[len] = 0;
    return true;
}

// Reads a name whose count word was just read; a name that cannot be had is
// empty. False when the record runs past the program (the cursor is cut).
bool ReadName(LadCursor &c, uint32_t count, char *out, std::size_t size) {
    out[0] = 0;
    bool ok = true;
    if (count == 0) {
        ok = StringReg(LadDword(c), out, size);
    } else if (count >= NAME_INLINE_MAX) {
        ok = StringReg(count, out, size);
    } else {
        const uint32_t words = (count + 1) / 2;
        if (uint64_t(c.pos) + words > c.end) {
            c.bad = 1;
            return false;
        }
        const std::size_t n = count < size ? count : size - 1;
        std::memcpy(out, c.code + 2 * std::size_t(c.pos), n);
        out[n] = 0;
        c.pos += words;
    }
    if (!ok) out[0] = 0;
    return !c.bad;
}

// Skips n bytes of the record (rounded up to words); false past the program.
bool Skip(LadCursor &c, uint64_t bytes) {
    const uint64_t words = (bytes + 1) / 2;
    if (uint64_t(c.pos) + words > c.end) {
        c.bad = 1;
        return false;
    }
    c.pos += uint32_t(words);
    return true;
}

// Register-held operands named by the flags.
void ResolveRefs(FileOpRec &op) {
    if (op.flags & FL_COUNT_REF) {
        const uint32_t b = RefByte(op.count, 2);
        op.count = b == LAD_NOREF ? 0 : LE_Get16(&plc_reg[b]);
    }
    if (op.flags & FL_START_REF) {
        const uint32_t b = RefByte(uint32_t(op.start), 4);
        op.start = b == LAD_NOREF ? 0 : int32_t(LE_Get32(&plc_reg[b]));
    }
    if (op.flags & FL_DATA_OFFSET) {
        // The bit address of the byte offset, in 64 bits: an offset whose
        // bit address passes 32 bits lies outside the image (0, refused)
        // rather than coming round to a low register.
        const uint32_t b = RefByte(op.data, 4);
        const uint64_t bit = b == LAD_NOREF ? 0 : uint64_t(LE_Get32(&plc_reg[b])) * 8 + 1024;
        op.data = bit > UINT32_MAX ? 0 : uint32_t(bit);
    }
}

// Room for any name the record holds (a count below 1024): a name too long
// for a path reaches the file layer whole and is refused there (86), never
// cut to a shorter name that may be another file's.
char name1[NAME_INLINE_MAX], name2[NAME_INLINE_MAX];

// The descriptor transfer's record, from its mode word on.
bool ReadDescRecord(LadCursor &c, uint32_t at, FileOpRec &op) {
    op.desc_mode = LadWord(c);
    const uint16_t hf = LadWord(c);
    op.header = uint16_t(hf & 0xFF);
    op.flags = uint8_t(hf >> 8);
    op.kind = 1;
    LadWord(c);
    op.drive = uint8_t(LadWord(c));
    LadWord(c);
    op.data = LadDword(c);
    op.status = LadDword(c);
    op.row_ref = op.status;
    const uint32_t name_count = LadDword(c);
    const uint32_t descs = LadDword(c);
    const uint32_t names_bytes = LadDword(c);
    LadDword(c);
    LadWord(c);
    op.desc_bytes = LadWord(c);
    if (c.bad) return false;
    const uint8_t *base = c.code + 2 * std::size_t(at);
    if (descs > 0xFFFF) {
        c.bad = 1;
        return false;
    }
    op.desc_count = uint16_t(descs);
    if (op.desc_mode == DESC_WRITE) {
        op.descs = base + DESC_HEAD;
        op.descs_size = descs * DESC_WRITE_SIZE;
        if (!Skip(c, uint64_t(op.descs_size) + names_bytes)) return false;
        // Name offsets of the descriptors count from the opcode word.
        op.names = base;
        op.names_size = DESC_HEAD + op.descs_size + names_bytes;
    } else {
        op.row_restart = LadWord(c);
        LadWord(c);
        op.descs = base + DESC_READ_FIRST;
        op.descs_size = descs * DESC_READ_SIZE;
        if (!Skip(c, op.descs_size)) return false;
    }
    return ReadName(c, name_count, name1, sizeof name1);
}

int Op_File() {
    if (lad.lsp < 1) return LAD_FAULT;
    LadCursor &c = lad.cur;
    const uint32_t at = lad.op_pos - 1;  // the opcode word
    c.pos = at;
    FileOpRec op{};
    op.owner = at + 1;
    op.opcode = LadWord(c);
    if (op.opcode == LOP_FILE_DESC) {
        if (!ReadDescRecord(c, at, op)) return LAD_GO;
    } else {
        op.drive = uint8_t(LadWord(c));
        const uint16_t kf = LadWord(c);
        op.kind = uint8_t(kf & 0xFF);
        op.flags = uint8_t(kf >> 8);
        op.data = LadDword(c);
        op.format = LadWord(c) & 0x7FFF;
        op.start = int32_t(LadDword(c));
        op.count = LadDword(c);
        op.status = LadDword(c);
        name1[0] = 0;
        if (op.opcode != LOP_FILE_FORMAT) {
            if (!ReadName(c, LadDword(c), name1, sizeof name1)) return LAD_GO;
            if (op.opcode == LOP_FILE_COPY || op.opcode == LOP_FILE_RENAME) {
                if (!ReadName(c, LadDword(c), name2, sizeof name2)) return LAD_GO;
                op.name2 = name2;
            }
        }
    }
    if (LadCut()) return LAD_GO;
    op.name = name1;
    ResolveRefs(op);
    uint8_t &power = l_stack[lad.lsp - 1];
    power = uint8_t(File_Access(&op, power) ? 1 : 0);
    return LAD_GO;
}
}  // namespace

void LadFile_Fill() {
    for (LadOp *t : {lad_ops16, lad_opsx})
        for (unsigned op = LOP_FILE_DESC; op <= LOP_FILE_FORMAT; op++) t[op] = Op_File;
}
