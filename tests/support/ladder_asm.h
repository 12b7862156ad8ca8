// A small ladder assembler for tests: emits the 16-bit word stream of a
// program in either register layout, resolves jump labels and wraps the
// stream as a ladder memory file (CRC-16, length, editor features).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// Register references (bit addresses) by type and number.
namespace la {
constexpr uint32_t I(uint32_t n) { return 8192 + n - 1; }
constexpr uint32_t Q(uint32_t n) { return 10240 + n - 1; }
constexpr uint32_t S(uint32_t n) { return 1536 + n - 1; }
constexpr uint32_t R(uint32_t n) { return 32768 + 16 * (n - 1); }
constexpr uint32_t AI(uint32_t n) { return 16384 + 16 * (n - 1); }
constexpr uint32_t AQ(uint32_t n) { return 24576 + 16 * (n - 1); }
constexpr uint32_t SR(uint32_t n) { return 3072 + 16 * (n - 1); }
// %T and %M in the 16-bit layout and the extended layout.
constexpr uint32_t T16(uint32_t n) { return 12288 + n - 1; }
constexpr uint32_t M16(uint32_t n) { return 14336 + n - 1; }
constexpr uint32_t ET(uint32_t n) { return 0x10008000 + n - 1; }
constexpr uint32_t EM(uint32_t n) { return 0x1001C000 + n - 1; }
constexpr uint32_t ESR(uint32_t n) { return 0x10030000 + 16 * (n - 1); }
// Word index of the register image that a word reference names.
constexpr uint32_t WordOf(uint32_t ref) { return (ref - 1024) / 16; }
}  // namespace la

struct LadAsm {
    bool l16;  // true: 16-bit layout
    std::vector<uint16_t> w;
    std::map<std::string, std::size_t> labels;
    struct Fix {
        std::size_t at;  // first word of the offset
        std::string label;
        bool wide;
    };
    std::vector<Fix> fixes;

    explicit LadAsm(bool layout16) : l16(layout16) {}

    LadAsm &op(uint16_t code) { return word(code); }
    LadAsm &word(uint16_t v) {
        w.push_back(v);
        return *this;
    }
    LadAsm &dword(uint32_t v) { return word(uint16_t(v)).word(uint16_t(v >> 16)); }
    // Bit operand of the interpreter's own instructions (no escapes).
    LadAsm &bit(uint32_t ref);
    // Bit operand of the library routines (escapes for references above 0xFFFF).
    LadAsm &bitx(uint32_t ref);
    // Word or byte operand (escapes 1776/1777 for 0x10000 + e and 0x20000 + e).
    LadAsm &reg(uint32_t ref);
    // A constant written in the reference format (one word, with the escapes
    // above 0xFFFF, or two).
    LadAsm &refconst(uint32_t v) { return l16 ? reg(v) : dword(v); }

    // Contact: the one-word form when the reference allows it, else opcode 31.
    LadAsm &contact(uint32_t ref);
    LadAsm &coil(uint32_t ref) { return op(38).bit(ref); }
    LadAsm &end() { return op(9); }

    LadAsm &label(const std::string &name);
    // Opcode followed by a 16-bit (71, 73, 70) or 32-bit (68, 69) offset to label.
    LadAsm &jump(uint16_t code, const std::string &name);
    // Resolves the offsets; answers false when a label is missing or out of range.
    bool finish();
};

// Memory-file block of a stream: u32 CRC word, u32 length, the stream, then
// the editor features (u32 at data offset L - 9) and five trailer bytes.
// features bit 15 selects the 16-bit layout.
std::vector<uint8_t> LA_MemFile(const std::vector<uint16_t> &words, uint32_t features);
uint32_t LA_Features(bool layout16);
// Copies a program into the ladder memory file and reads the editor features
// from it with nv_get_features.
void LA_Load(const LadAsm &a);
// The stream alone, without the editor features (NV_EditorFeatures is set
// directly): the program's data end with its last word.
void LA_LoadBare(const LadAsm &a);
void LA_LoadRaw(const std::vector<uint8_t> &block);
// Editor features read back from a memory-file block.
uint32_t LA_ReadFeatures(const std::vector<uint8_t> &block);

// A settable time base for tests: FPGA_GetFrt follows LA_TimeAdvance.
void LA_TimeInstall();
void LA_TimeAdvance(uint32_t ticks_100us);
void LA_TimeRemove();
