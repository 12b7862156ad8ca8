// Data-logger and debug-logger channel clients: a request is posted by
// writing the channel's fields and toggling its request byte; texts and data
// go into the channel's own text field and data area, and the parameters
// carry their offsets in the mailbox area.
#include "media/cfdl.h"

#include <algorithm>
#include <cstring>

#include "core/image/bytes.h"
#include "core/image/dpram.h"
#include "core/image/plcreg.h"
#include "media/cfm.h"

namespace {
struct Channel {
    std::size_t base, text, data, data_size;
    unsigned log;  // index in cfmLogWritten
};
constexpr Channel kDlog{DP_DLOG_REQ, DP_DLOG_TEXT, DP_DLOG_DATA, DP_DLOG_DATA_SIZE, 0};
constexpr Channel kDbgl{DP_DBGL_REQ, DP_DBGL_TEXT, DP_DBGL_DATA, DP_DBGL_DATA_SIZE, 1};

bool Busy(const Channel &c) { return dpram[c.base] != dpram[c.base + 1]; }
void Param(const Channel &c, unsigned i, uint32_t v) { LE_Put32(&dpram[c.base + DP_LOG_P1 + 4 * (i - 1)], v); }
int16_t Post(const Channel &c, uint8_t op, uint8_t arg) {
    dpram[c.base + DP_LOG_OP] = op;
    dpram[c.base + DP_LOG_ARG] = arg;
    dpram[c.base] = uint8_t(1 - dpram[c.base + 1]);
    return -2;
}
// Copies a text into the channel's text field; false when it does not fit.
bool Text(const Channel &c, const char *s) {
    if (s == nullptr) return false;
    const std::size_t n = std::strlen(s);
    if (n >= DP_NAME_SIZE) return false;
    std::memcpy(&dpram[c.text], s, n + 1);
    return true;
}

int16_t MakeDir(const Channel &c, uint8_t drive, const char *path) {
    if (Busy(c)) return -3;
    if (!Text(c, path)) return 86;
    Param(c, 1, uint32_t(c.text));
    return Post(c, CFDL_OP_MKDIR, drive);
}
int16_t Open(const Channel &c, const char *name, uint32_t mode, uint32_t flags) {
    if (Busy(c)) return -3;
    if (!Text(c, name)) return 86;
    Param(c, 1, uint32_t(c.text));
    Param(c, 2, mode);
    Param(c, 3, flags);
    return Post(c, CFDL_OP_OPEN, 0);
}
int16_t Write(const Channel &c, uint32_t handle, const void *data, uint32_t length, uint32_t extra) {
    if (Busy(c)) return -3;
    if (length > c.data_size || (length && data == nullptr)) return 86;
    if (length) std::memmove(&dpram[c.data], data, length);
    Param(c, 1, handle);
    Param(c, 2, uint32_t(c.data));
    Param(c, 3, length);
    Param(c, 4, extra);
    return Post(c, CFDL_OP_WRITE, 0);
}
int16_t Close(const Channel &c, uint32_t handle) {
    if (Busy(c)) return -3;
    Param(c, 1, handle);
    return Post(c, CFDL_OP_CLOSE, 0);
}
int16_t Result(const Channel &c) {
    if (Busy(c)) {
        const uint16_t st = PlcWord(CFM_W_STATUS);
        return (!MntDrive[DRIVE_A].mounted && st != 0) ? int16_t(st) : int16_t(-2);
    }
    return int16_t(LE_Get16(&dpram[c.base + 4]));
}
uint16_t Status() { return MntDrive[DRIVE_A].mounted ? 0 : PlcWord(CFM_W_STATUS); }
int16_t Space(uint32_t *total, uint32_t *free) {
    if (total) *total = PlcDword(CFM_W_TOTAL);
    if (free) *free = PlcDword(CFM_W_FREE);
    return 0;
}
}  // namespace

int16_t CFDL_MakeDir(uint8_t drive, const char *path) { return MakeDir(kDlog, drive, path); }
int16_t CFDL_Open(const char *name, uint32_t mode, uint32_t flags) { return Open(kDlog, name, mode, flags); }
int16_t CFDL_Write(uint32_t handle, const void *data, uint32_t length, uint32_t extra) {
    return Write(kDlog, handle, data, length, extra);
}
int16_t CFDL_Close(uint32_t handle) { return Close(kDlog, handle); }
int16_t CFDL_Result() { return Result(kDlog); }
uint16_t CFDL_GetStatus() { return Status(); }
int16_t CFDL_GetFreeSpace(uint8_t, uint32_t *total, uint32_t *free) { return Space(total, free); }
uint32_t CFDL_Written() { return cfmLogWritten[kDlog.log]; }

int16_t CFDBGL_MakeDir(uint8_t drive, const char *path) { return MakeDir(kDbgl, drive, path); }
int16_t CFDBGL_Open(const char *name, uint32_t mode, uint32_t flags) { return Open(kDbgl, name, mode, flags); }
int16_t CFDBGL_Write(uint32_t handle, const void *data, uint32_t length, uint32_t extra) {
    return Write(kDbgl, handle, data, length, extra);
}
int16_t CFDBGL_Close(uint32_t handle) { return Close(kDbgl, handle); }
int16_t CFDBGL_Result() { return Result(kDbgl); }
uint16_t CFDBGL_GetStatus() { return Status(); }
int16_t CFDBGL_GetFreeSpace(uint8_t, uint32_t *total, uint32_t *free) { return Space(total, free); }
uint32_t CFDBGL_Written() { return cfmLogWritten[kDbgl.log]; }
