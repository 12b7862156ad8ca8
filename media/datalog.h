// Data logger (log groups sampled into a RAM ring and appended as CSV lines
// to daily or hourly files on the SD card) and debug logger (text lines
// collected while running and appended to a daily file), both writing
// through their mailbox channels.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

// ---- data logger ------------------------------------------------------------------
constexpr uint32_t LOG_MAGIC = 0x444C4F47;  // "GOLD" in file order
constexpr unsigned LOG_GROUPS = 10;
constexpr std::size_t LOG_RAW_SIZE = 40960, LOG_LINE_SIZE = 595;
constexpr std::size_t LOG_MIN_TABLE = 84, LOG_GROUP_REC = 44, LOG_ITEM_REC = 16;
// Raw bytes of a value type in the ring (LogTypeRawCount).
constexpr std::array<uint8_t, 12> LogTypeRawCount = {1, 2, 2, 4, 2, 4, 2, 16, 4, 4, 6, 6};

struct LogRunRec {
    uint16_t write_result;
    uint16_t fill;  // percent
    uint32_t last;  // last periodic sample, seconds since the start of the week
    uint8_t prev_trigger;
    uint32_t part;  // offset of the group's part in LogRawBuf
    uint16_t part_size;
    uint16_t wr, rd;       // byte indexes in the part
    uint16_t held;         // bytes held
    uint16_t rows;         // rows held
    uint16_t row_size;     // 12 + raw sizes of the items
    uint16_t capacity;     // rows
    char path[256];        // folder, "\", sub-folder, "\", file name
    std::size_t name_pos;  // where the file name starts in path
    uint8_t new_file;
    const uint8_t *rec;  // the group's record in the table (null: no group)
};
extern std::array<LogRunRec, LOG_GROUPS> LogRun;
extern std::array<uint8_t, LOG_RAW_SIZE> LogRawBuf;
extern uint16_t LogFileWriteState, LogFileWriteGroup;
extern std::array<uint16_t, 2> LogStatus;  // status code, percent of the card used
extern uint8_t LogEnable, LogForce;

// Checks and takes over a data-log table (the memory file's data); answers
// 0 when it is used, else a reason (tests). LOG_Start does this with the
// downloaded table.
int LOG_Load(std::span<const uint8_t> table, bool changed);
// Start when the controller enters run, stop when it leaves it, one step
// per scan.
void LOG_Start();
void LOG_Stop();
void LOG_Update();
// Percent of the card in use, 0..100 (0 when the total is 0).
uint16_t LOG_UsedPercent(uint32_t total_kb, uint32_t free_kb);

// ---- debug logger ----------------------------------------------------------------
struct DbgLogRec {
    uint32_t filter;  // bit address of the 16-bit filter register (status: the next word)
    uint32_t second;
    uint8_t enable;
};
extern DbgLogRec DbgLog;
constexpr std::size_t DBG_LOG_SIZE = 20480;
extern std::array<uint8_t, DBG_LOG_SIZE> DbgLogBuf;
extern uint32_t Dbglog_len;
extern uint16_t DLogFileWriteState, DLogStatus;

// The logger's switch, read once at start-up: PLC_DEBUG_LOG holds the bit
// address (decimal, or hex with 0x) of the 16-bit filter register, whose
// status word follows it; set, the logger is enabled with that filter.
// Unset or empty: off. Any other value is refused with one line on standard
// error (off). Answers 1 when enabled.
uint32_t DLOG_Init();
// 0 appended; 1 empty or no room; 2 filtered out; 3 not enabled or not in mode 2.
uint32_t DBG_WriteLog(uint16_t mask, const char *text);
void DLOG_Update();
