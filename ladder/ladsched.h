// Time schedules: clock-of-day, day-of-week, day-of-month, month and year
// windows tested against the clock image of the register image. The ladder
// instructions (370, 372..379) decode their operands from the token stream;
// the Z7Schedule_ functions take plain values for the IEC blocks.
#pragma once

#include <cstdint>

#include "ladder/ladder.h"

// Tests on the clock image now; each answers 1 or 0.
uint32_t Z7Schedule_TimeOfDay(uint32_t start_hour, uint32_t start_minute, uint32_t stop_hour, uint32_t stop_minute);
uint32_t Z7Schedule_DayOfWeek(uint32_t mask);
uint32_t Z7Schedule_MonthOfYear(uint32_t mask);
uint32_t Z7Schedule_DayOfMonth(int32_t mask);
uint32_t Z7Schedule_Year(const uint16_t *start_end);

// Ladder routines: the cursor is after the opcode and is left after the
// operands, which are consumed whatever the power; the answer is the new power.
uint32_t Schedule_TimeOfDay(LadCursor *pc, uint32_t power);
uint32_t Schedule_DayOfWeekImm(LadCursor *pc, uint32_t power);
uint32_t Schedule_DayOfWeekReg(LadCursor *pc, uint32_t power);
uint32_t Schedule_DayOfMonthImm(LadCursor *pc, uint32_t power);
uint32_t Schedule_DayOfMonthReg(LadCursor *pc, uint32_t power);
uint32_t Schedule_MonthOfYearImm(LadCursor *pc, uint32_t power);
uint32_t Schedule_MonthOfYearReg(LadCursor *pc, uint32_t power);
uint32_t Schedule_YearImm(LadCursor *pc, uint32_t power);
uint32_t Schedule_YearReg(LadCursor *pc, uint32_t power);
