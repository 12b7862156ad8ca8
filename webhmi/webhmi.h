// The web HMI server's binding to the controller's register image.
#pragma once

#include <cstdint>

// Writes into ref the register-image bit reference of bit b (1..16) of
// register n (from 1) of register type type (0..17, in the order of
// RegType). Of a bit register, bit b is the (b - 1)-th bit after it. %SR
// 193..448 name the words of %ESR 1..256.
// Answers 1, or 0 (ref untouched) when type, number or bit is out of range,
// or the bit lies past the type's last bit.
uint32_t EtnRdsPlcReg_Adr(uint32_t &ref, uint32_t type, uint32_t n, uint32_t b);
