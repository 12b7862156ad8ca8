// VM strings. A STRING variable is a slot {u8 maximum, u8 length, maximum + 1
// bytes of text} reached through the database's string pointer table; every
// operation cuts its result to the destination's maximum and never fails.
// Slots and literals are arena addresses; plain texts are host pointers.
#pragma once

#include <cstdint>

// Address of the slot of string index idx (0 when there is none).
uint32_t Z7VMStr_Slot(uint32_t db, uint32_t idx);

// counted = {u8 length, characters} (host memory).
void Z7VMStr_Force(uint32_t db, uint32_t dst, const uint8_t *counted);
void Z7VMStr_AscForce(uint32_t slot, const char *text, uint32_t n);
void Z7VMStr_AscForceC(uint32_t db, uint32_t dst, const char *text);
void Z7VMStr_Copy(uint32_t db, uint32_t dst, uint32_t src);
void Z7VMStr_CopyPtr(uint32_t dst_slot, uint32_t src_slot);
// literal = arena address of {u16 length, u16 per character}.
void Z7VMStr_DBForce(uint32_t db, uint32_t dst, uint32_t literal);
void Z7VMStr_DBForcePtr(uint32_t slot, uint32_t literal);
void Z7VMStr_Empty(uint32_t db, uint32_t dst);
uint32_t Z7VMStr_IsEmpty(uint32_t db, uint32_t s);
uint32_t Z7VMStr_GetLength(uint32_t db, uint32_t s);
uint32_t Z7VMStr_GetMaxLength(uint32_t db, uint32_t s);
uint32_t Z7VMStr_GetText(uint32_t db, uint32_t s);  // arena address of the text
int32_t Z7VMStr_Compare(uint32_t db, uint32_t a, uint32_t b);
void Z7VMStr_Cat(uint32_t db, uint32_t dst, uint32_t a, uint32_t b);
void Z7VMStr_Left(uint32_t db, uint32_t dst, uint32_t s, int32_t n);
void Z7VMStr_Right(uint32_t db, uint32_t dst, uint32_t s, int32_t n);
void Z7VMStr_Mid(uint32_t db, uint32_t dst, uint32_t s, int32_t pos, int32_t n);
void Z7VMStr_Delete(uint32_t db, uint32_t dst, uint32_t s, int32_t pos, int32_t n);
void Z7VMStr_Insert(uint32_t db, uint32_t dst, uint32_t s, uint32_t ins, int32_t pos);
// Insert with the inserted text (n characters) held by the caller.
void Z7VMStr_InsertText(uint32_t db, uint32_t dst, uint32_t s, const uint8_t *ins, uint32_t n, int32_t pos);
uint32_t Z7VMStr_Find(uint32_t db, uint32_t s, uint32_t pattern);
uint32_t Z7VMStr_Ascii(uint32_t db, uint32_t s, int32_t pos);
void Z7VMStr_Char(uint32_t db, uint32_t dst, uint32_t code);
uint16_t Z7VMStr_Crc16(uint32_t db, uint32_t s);
uint32_t Z7VMStr_AtoH(uint32_t db, uint32_t s);
void Z7VMStr_HtoA(uint32_t db, uint32_t dst, uint32_t value);
uint32_t Z7VMStr_AtoUL(uint32_t db, uint32_t s);
int64_t Z7VMStr_AtoLINT(uint32_t db, uint32_t s);
int64_t Z7VMStr_SZtoLINT(const char *text);
void Z7VMStr_LINTtoSZ(char *out, int64_t value);
void Z7VMStr_UtoSZ(char *out, uint32_t value);
int32_t Z7VMStr_AtoI(uint32_t db, uint32_t s);
float Z7VMStr_AtoF(uint32_t db, uint32_t s);
double Z7VMStr_AtoD(uint32_t db, uint32_t s);
void Z7VMStr_ItoA(uint32_t db, uint32_t dst, int32_t value);
void Z7VMStr_UtoA(uint32_t db, uint32_t dst, uint32_t value);
void Z7VMStr_LINTtoA(uint32_t db, uint32_t dst, int64_t value);
void Z7VMStr_BootoA(uint32_t db, uint32_t dst, uint32_t value);
void Z7VMStr_FtoA(uint32_t db, uint32_t dst, float value);
void Z7VMStr_DtoA(uint32_t db, uint32_t dst, double value);
void Z7VMStr_TmrtoA(uint32_t db, uint32_t dst, uint32_t value);
int32_t Z7VMStr_ICmp(const char *a, const char *b);
int32_t Z7VMStr_NICmp(const char *a, const char *b, uint32_t n);
// array = arena address of the array's first element.
uint32_t Z7VMStr_FromD8(uint32_t db, uint32_t array, uint32_t declared, uint32_t dst, int32_t n);
uint32_t Z7VMStr_FromD16(uint32_t db, uint32_t array, uint32_t declared, uint32_t dst, int32_t n);
uint32_t Z7VMStr_FromD32(uint32_t db, uint32_t array, uint32_t declared, uint32_t dst, int32_t n);
uint32_t Z7VMStr_ToD8(uint32_t db, uint32_t s, uint32_t array, uint32_t declared);
uint32_t Z7VMStr_ToD16(uint32_t db, uint32_t s, uint32_t array, uint32_t declared);
uint32_t Z7VMStr_ToD32(uint32_t db, uint32_t s, uint32_t array, uint32_t declared);
void Z7VMStr_DateFmt(uint32_t db, uint32_t dst, uint32_t format, uint32_t date, uint32_t time_ms);
// type = IEC type code of the value at index idx of its typed section.
void Z7VMStr_NumToStr(uint32_t db, uint32_t dst, uint32_t type, uint32_t idx, int32_t width, int32_t precision);
