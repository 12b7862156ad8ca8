// Small assembler of IEC VM bytecode for tests, benchmarks and fuzz seeds.
//
// One instruction per line or ';'-separated statement:
//   label:            defines a label at the next word
//   MNEMONIC a b ...  an opcode by name (table in iec_asm.cpp) or OPn
//   12 0x1F          plain operand words
//   @label            relative displacement: label - (address after this word)
//   &label            absolute byte offset of the label from the code start
//   #v               32-bit constant as two words, most significant first
//   ##v              64-bit constant as four words, most significant first
//   #1.5f / ##1.5     REAL / LREAL constants (bits)
// '#' directly after whitespace at the start of a token is a constant; text
// after "//" is a comment.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace test_support {

// Assembles text into u16 words; throws std::runtime_error on an unknown
// mnemonic or label.
std::vector<uint16_t> IecAsm(const std::string &text);
// Opcode of a mnemonic (0 when unknown).
uint16_t IecOpcode(const std::string &mnemonic);

}  // namespace test_support
