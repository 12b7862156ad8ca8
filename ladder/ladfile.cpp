// File instructions 250 (read a CSV file into registers) and 251 (write
// registers to a CSV file): the operand record is decoded from the stream
// and handed to the file-instruction layer. Its layout is the same in both
// register layouts (little-endian, from the opcode word): 0 opcode, 2 drive,
// 4 kind, 5 flags, 6 data reference, 10 format, 12 start, 16 count,
// 20 status reference, 24 name count, 28 name (then the next instruction on
// a word boundary).
#include <cstring>

#include "ladder/ladint.h"
#include "media/fileblk.h"

namespace {
constexpr uint8_t FL_COUNT_REF = 0x20, FL_START_REF = 0x40, FL_DATA_OFFSET = 0x80;

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

int Op_File() {
    if (lad.lsp < 1) return LAD_FAULT;
    LadCursor &c = lad.cur;
    const uint32_t at = lad.op_pos - 1;  // the opcode word
    c.pos = at;
    FileOpRec op{};
    op.owner = at + 1;
    op.opcode = LadWord(c);
    op.drive = uint8_t(LadWord(c));
    const uint16_t kf = LadWord(c);
    op.kind = uint8_t(kf & 0xFF);
    op.flags = uint8_t(kf >> 8);
    op.data = LadDword(c);
    op.format = LadWord(c) & 0x7FFF;
    op.start = int32_t(LadDword(c));
    op.count = LadDword(c);
    op.status = LadDword(c);
    const uint32_t name_count = LadDword(c);
    static char name[FX_PATH_MAX];
    name[0] = 0;
    bool name_ok = true;
    if (name_count == 0) {
        name_ok = StringReg(LadDword(c), name, sizeof name);
    } else if (name_count >= 1024) {
        name_ok = StringReg(name_count, name, sizeof name);
    } else {
        const uint32_t words = (name_count + 1) / 2;
        if (uint64_t(c.pos) + words > c.end) {
            c.bad = 1;
            return LAD_GO;
        }
        const std::size_t n = name_count < sizeof name ? name_count : sizeof name - 1;
        std::memcpy(name, c.code + 2 * std::size_t(c.pos), n);
        name[n] = 0;
        c.pos += words;
    }
    if (LadCut()) return LAD_GO;
    op.name = name;
    uint8_t &power = l_stack[lad.lsp - 1];
    // Register-held operands.
    if (op.flags & FL_COUNT_REF) {
        const uint32_t b = RefByte(op.count, 2);
        op.count = b == LAD_NOREF ? 0 : LE_Get16(&plc_reg[b]);
    }
    if (op.flags & FL_START_REF) {
        const uint32_t b = RefByte(uint32_t(op.start), 4);
        op.start = b == LAD_NOREF ? 0 : int32_t(LE_Get32(&plc_reg[b]));
    }
    if (op.flags & FL_DATA_OFFSET) {
        const uint32_t b = RefByte(op.data, 4);
        op.data = b == LAD_NOREF ? 0 : LE_Get32(&plc_reg[b]) * 8 + 1024;
    }
    if (!name_ok) name[0] = 0;
    power = uint8_t(File_Access(&op, power) ? 1 : 0);
    return LAD_GO;
}
}  // namespace

void LadFile_Fill() {
    for (LadOp *t : {lad_ops16, lad_opsx}) {
        t[250] = Op_File;
        t[251] = Op_File;
    }
}
