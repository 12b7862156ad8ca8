// Flow computation (opcode 381): petroleum volume-correction factors for
// temperature and pressure, the iterative base density from an observed
// density, and helpers for the double-precision values they use.
#pragma once

#include <cstdint>

#include "ladder/ladder.h"

// Observed-density limits and base-density limits of the three commodity
// groups (crude oils are the ones computed with).
constexpr double RHO_min_crude = 470.5, RHO_max_crude = 1201.8;
constexpr double RHO60_min_crude = 610.6, RHO60_max_crude = 1163.5;
constexpr double RHO_min_refined = 470.4, RHO_max_refined = 1209.5;
constexpr double RHO_min_lub = 714.3, RHO_max_lub = 1209.3;
constexpr double RHO60_min_refined = 610.6, RHO60_max_refined = 1163.5;
constexpr double RHO60_min_lub = 800.9, RHO60_max_lub = 1163.5;
constexpr double TSV = 0.01374979547;  // delta 60

// The cursor is on the sub-function word after the opcode and is left after
// the last operand (operands are always one word each, with the escape words).
// Answers the new power: 0 for out-of-range or undefined results, which write
// nothing; with the power off 1 (sub-function 6: 0) and nothing is computed.
uint32_t Flow_Funs(LadCursor *pc, uint32_t power);

// Sub-function 6 on plain values: in holds up to 13 doubles (see the slots in
// ladflow.cpp), out receives 8. Answers 1, or 0 when an input is out of range
// or no pass converged (out untouched).
uint32_t Flow_11_1_7_1(const double *in, uint32_t alpha_given, uint32_t base_given, double *out);

// Temperature on the ITS-90 scale in degrees C to the IPTS-68 scale.
double Flow_T68(double t90_c);
