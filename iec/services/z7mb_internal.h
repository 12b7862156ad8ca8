// Records of the application's Modbus in database section 30, shared by the
// configuration, server and client modules. Links between records are byte
// offsets inside the section (0 = none); VM data, lock bytes, status
// information and configuration records are arena addresses.
#pragma once

#include <cstdint>

#include "core/image/mbpdu.h"
#include "iec/services/z7mb.h"
#include "iec/vm/z7mem.h"

// header (36 bytes)
enum : uint32_t {
    MBH_SIZE = 0,
    MBH_CONN = 4,
    MBH_DEFSRV = 8,
    MBH_UNIT = 12,
    MBH_REQ = 16,
    MBH_END = 20,
    MBH_VAR = 24,
    MBH_NCONN = 28,
    MBH_NUNIT = 30,
    MBH_NREQ = 32,
    MBH_NVAR = 34,
};
// connection (328 bytes)
enum : uint32_t {
    MBC_CFG = 0,
    MBC_FIRSTREQ = 4,
    MBC_NREQ = 8,
    MBC_NUNIT = 10,
    MBC_ID = 12,
    MBC_CUR = 14,
    MBC_SERIAL = 16,
    MBC_STATE = 17,
    MBC_ERROR = 18,
    MBC_ASCIIRX = 19,
    MBC_FLAGS = 20,
    MBC_DONE = 22,
    MBC_TOTAL = 24,
    MBC_TID = 26,
    MBC_ASCII = 28,
    MBC_LASTANS = 32,
    MBC_OPENT = 36,
    MBC_SENDT = 40,
    MBC_TIMEOUT = 44,
    MBC_SOCK = 48,
    MBC_SERH = 52,
    MBC_FRAME = 56,
    MBC_FRAMESIZE = 264,
    MBC_SECTION = 320,
    MBC_FIRSTUNIT = 324,  // its first unit status record (0 none)
    MBC_SIZE = 328,
};
// request or table (40 bytes)
enum : uint32_t {
    MBR_CFG = 0,
    MBR_UNIT = 4,
    MBR_LASTSEND = 8,
    MBR_DATA = 12,
    MBR_DATE = 16,
    MBR_TIME = 20,
    MBR_STATUS = 24,
    MBR_ERROR = 26,
    MBR_TRIES = 28,
    MBR_GOOD = 30,
    MBR_ERRORS = 32,
    MBR_ARMED = 34,
    MBR_SERVER = 35,
    MBR_LATCH = 36,
    MBR_NORX = 37,
    MBR_CONN = 38,
    MBR_SIZE = 40,
};
// armed byte: bit 0 armed, bit 1 sent once; a refused request is never sent
enum : uint8_t { MBR_SENT = 0x2, MBR_REFUSED = 0x80 };
// variable binding (28 bytes)
enum : uint32_t {
    MBV_CFG = 0,
    MBV_DATA = 4,
    MBV_REQ = 8,
    MBV_LOCK = 12,
    MBV_OFF = 16,
    MBV_MASK = 18,
    MBV_KIND = 20,
    MBV_BIT = 22,
    MBV_LOCKMASK = 23,
    MBV_VSI = 24,
    MBV_SIZE = 28,
};
// unit status (28 bytes)
enum : uint32_t {
    MBU_CONNID = 0,
    MBU_UNIT = 2,
    MBU_LASTERR = 3,
    MBU_ERRDATE = 4,
    MBU_ERRTIME = 8,
    MBU_RSTDATE = 12,
    MBU_RSTTIME = 16,
    MBU_EXCH = 20,
    MBU_ERRORS = 24,
};

// Word w of a configuration record.
inline uint16_t W(uint32_t rec, uint32_t w) { return Z7Mem_Get16(rec + 2 * w); }

// Section view: host pointer and the record tables, checked against the size.
struct MBState {
    uint8_t *s = nullptr;
    uint32_t state = 0, size = 0;
    uint32_t conns = 0, reqs = 0, units = 0, vars = 0;
    uint32_t nconn = 0, nreq = 0, nunit = 0, nvar = 0;
    uint8_t *At(uint32_t off, uint32_t n) const { return off != 0 && uint64_t(off) + n <= size ? s + off : nullptr; }
    uint8_t *Conn(uint32_t i) const { return s + conns + MBC_SIZE * i; }
    uint8_t *Req(uint32_t i) const { return s + reqs + MBR_SIZE * i; }
    uint8_t *Var(uint32_t i) const { return s + vars + MBV_SIZE * i; }
    uint8_t *Unit(uint32_t i) const { return s + units + MBV_SIZE * i; }
};
bool MB_Open(uint32_t state, MBState &st);
float MB_Float(uint32_t bits);
uint32_t MB_Bits(float f);
void MB_Text(uint32_t rec, char *out, uint32_t size);
