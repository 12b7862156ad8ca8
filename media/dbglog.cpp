// Debug logger: lines handed to DBG_WriteLog are collected while the
// controller runs and appended, one file step per scan, to the daily file
// "\DEBUG\dlog_YYMMDD.log" through the debug-logger mailbox channel. Not
// through the data logger's channel: its answers carry no owner, so with
// both loggers posting there one could collect the other's result (an open,
// a write count) and the other wait for an answer that never comes.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/image/plcreg.h"
#include "media/cfdl.h"
#include "media/datalog.h"

DbgLogRec DbgLog;
std::array<uint8_t, DBG_LOG_SIZE> DbgLogBuf;
uint32_t Dbglog_len;
uint16_t DLogFileWriteState = 16, DLogStatus;

namespace {
bool dlog_open;
uint32_t dlog_posted;  // bytes handed to the last write
char Dfilename[32];

uint16_t Filter() {
    uint8_t b[2] = {};
    if (DbgLog.filter == 0 || !PlcReg_Get(b, DbgLog.filter, 16)) return 0;
    return uint16_t(b[0] | b[1] << 8);
}

void Error(int32_t code) {
    if (code >= 1 && code <= 7) {
        DLogStatus = uint16_t(code);
        if (code <= 5) {
            DLogFileWriteState = 0;
            return;
        }
    }
    DLogFileWriteState = 16;
}
void Posted(int16_t r, uint16_t next) {
    if (r == -2)
        DLogFileWriteState = next;
    else if (r != -3)
        Error(r);  // a busy channel is tried again next scan
}

void Step() {
    switch (DLogFileWriteState) {
    case 16:
        if (dlog_open)
            Posted(CFDBGL_Close(1), 17);
        else
            DLogFileWriteState = 1;
        break;
    case 17:
    case 15:
        if (CFDBGL_Result() == -2) break;
        dlog_open = false;
        DLogFileWriteState = 1;
        break;
    case 0:
        if (CFDBGL_GetStatus() == 0) {
            DLogStatus = 0;
            DLogFileWriteState = 16;
        }
        break;
    case 1: {
        const uint16_t st = CFDBGL_GetStatus();
        if (st == 0) {
            // The card serves again: a 6 or 7 recorded while it was released
            // goes, or the status word would show it for ever.
            DLogStatus = 0;
            DLogFileWriteState = Dbglog_len ? 2 : 16;
        } else if (st <= 5)
            Error(st);
        else if (st <= 7)
            DLogStatus = st;
        else
            DLogFileWriteState = 16;
        break;
    }
    case 2: Posted(CFDBGL_MakeDir(0, "\\DEBUG"), 3); break;
    case 3: {
        const int16_t r = CFDBGL_Result();
        if (r == -2) break;
        if (r == 0 || r == 81)
            DLogFileWriteState = 4;
        else
            Error(r);
        break;
    }
    case 4:
    case 6:
        std::snprintf(Dfilename, sizeof Dfilename, "\\DEBUG\\dlog_%02u%02u%02u.log", PlcWord(W_CLOCK + 5) % 100u,
                      PlcWord(W_CLOCK + 4) % 100u, PlcWord(W_CLOCK + 3) % 100u);
        Posted(CFDBGL_Open(Dfilename, DLogFileWriteState == 4 ? 1 : 8, 0), uint16_t(DLogFileWriteState + 1));
        break;
    case 5:
    case 7: {
        const int16_t r = CFDBGL_Result();
        if (r == -2) break;
        if (r == 0) {
            dlog_open = true;
            DLogFileWriteState = 12;
        } else if (r == 66 && DLogFileWriteState == 5) {
            DLogFileWriteState = 6;
        } else {
            Error(r);
        }
        break;
    }
    case 12:
        dlog_posted = Dbglog_len;
        Posted(CFDBGL_Write(1, DbgLogBuf.data(), dlog_posted, 0), 13);
        break;
    case 13: {
        const int16_t r = CFDBGL_Result();
        if (r == -2) break;
        if (r != 0) {
            Error(r);
            break;
        }
        // What was taken leaves the buffer; the rest (and lines added since
        // the post) moves to the front in place.
        uint32_t taken = CFDBGL_Written();
        if (taken > Dbglog_len) taken = Dbglog_len;
        std::memmove(DbgLogBuf.data(), DbgLogBuf.data() + taken, Dbglog_len - taken);
        Dbglog_len -= taken;
        DLogFileWriteState = 14;
        break;
    }
    case 14: Posted(CFDBGL_Close(1), 15); break;
    default: DLogFileWriteState = 16; break;
    }
}
}  // namespace

uint32_t DLOG_Init() {
    DbgLog = DbgLogRec{};
    const char *s = std::getenv("PLC_DEBUG_LOG");
    if (s == nullptr || *s == 0) return 0;
    char *end = nullptr;
    const unsigned long long v = (*s >= '0' && *s <= '9') ? std::strtoull(s, &end, 0) : 0;
    // Both words (filter, then status) must be register words the
    // register access reaches.
    if (v == 0 || end == nullptr || *end != 0 || v > 0xFFFFFFFFull - 16 || PlcReg_Ptr(uint32_t(v), 16) == nullptr ||
        PlcReg_Ptr(uint32_t(v + 16), 16) == nullptr) {
        std::fprintf(stderr, "PLC_DEBUG_LOG=%s ignored: not the bit address of a register word\n", s);
        return 0;
    }
    DbgLog.filter = uint32_t(v);
    DbgLog.enable = 1;
    return 1;
}

uint32_t DBG_WriteLog(uint16_t mask, const char *text) {
    if (!DbgLog.enable || PlcWord(W_MODE) != 2) return 3;
    if ((mask & Filter()) == 0) return 2;
    const std::size_t n = text ? std::strlen(text) : 0;
    if (n == 0 || n + 2 > DBG_LOG_SIZE - Dbglog_len) return 1;
    std::memcpy(DbgLogBuf.data() + Dbglog_len, text, n);
    DbgLogBuf[Dbglog_len + n] = '\r';
    DbgLogBuf[Dbglog_len + n + 1] = '\n';
    Dbglog_len += uint32_t(n + 2);
    return 0;
}

void DLOG_Update() {
    if (!DbgLog.enable) return;
    if (Filter() == 0) {
        Dbglog_len = 0;
        // Closed at once only when a file is open and no answer is awaited:
        // a pending request runs to its end first, and the steps below then
        // close the file all the same.
        if (DLogFileWriteState != 16 && dlog_open &&
            (DLogFileWriteState == 1 || DLogFileWriteState == 12 || DLogFileWriteState == 14))
            DLogFileWriteState = 14;
    }
    // Also stepped with an empty buffer while a file is open or an answer is
    // awaited, so that the file is always closed again.
    const bool waiting = DLogFileWriteState != 1 && DLogFileWriteState != 16;
    if (Dbglog_len > 0 || dlog_open || waiting) Step();
    // The status word holds the card status code only; the used share of
    // the card is not folded into it.
    if (DbgLog.filter != 0) {
        uint8_t b[2] = {uint8_t(DLogStatus), uint8_t(DLogStatus >> 8)};
        PlcReg_Set(DbgLog.filter + 16, b, 16);
    }
}
