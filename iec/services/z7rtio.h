// The IEC application's own field I/O: application CAN messages on named
// ports (database sections 36-38), the AS-i binding (section 31) with the
// I/O channel accessors, and the I/O driver kit (section 39). All of it runs
// in the IEC cycle on the main-loop thread and allocates nothing per cycle.
#pragma once

#include <cstdint>

#include "iec/vm/z7mem.h"

// ---- application CAN messages -------------------------------------------------------------
// Port record (48 bytes, section 36).
enum : uint32_t {
    CP_CFG = 0,
    CP_RCV = 4,
    CP_SND = 8,
    CP_QHEAD = 12,
    CP_QTAIL = 16,
    CP_SPARE_RCV = 20,
    CP_SPARE_SND = 24,
    CP_NAME = 28,
    CP_FLAGS = 32,
    CP_WORD6 = 34,
    CP_SPARES = 36,
    CP_NRCV = 38,
    CP_CB = 40,
    CP_SOCK = 44,
    CP_SIZE = 48,
};
// Message record (40 bytes, section 37).
enum : uint32_t {
    CM_CFG = 0,
    CM_NEXT = 4,
    CM_ID = 8,
    CM_DATA = 12,
    CM_LAST = 20,
    CM_HOST1 = 24,
    CM_HOST2 = 28,
    CM_FLAGS = 32,
    CM_LEN = 34,
    CM_MARK = 35,
    CM_PORT = 36,
    CM_SIZE = 40,
};
// Variable record (24 bytes, section 38).
enum : uint32_t { CV_CFG = 0, CV_SCALE = 4, CV_MSG = 8, CV_DATA = 12, CV_LOCK = 16, CV_MASK = 20, CV_SIZE = 24 };
// Port flags and message flags.
enum : uint16_t { CPF_WORD5 = 1, CPF_FIRST = 2, CPF_FRAME = 4 };
enum : uint16_t {
    CMF_NEW = 1,
    CMF_QUEUED = 2,
    CMF_CHANGED = 4,
    CMF_REQUEST = 8,
    CMF_CONFIG = 0x10,
    CMF_APP = 0x20,
    CMF_SENDLIST = 0x8000,
};
// Frames a port writes at most in one cycle (a flooded bus never stretches
// the scan; the rest waits for the next one).
constexpr uint32_t Z7CAN_FRAMES_PER_CYCLE = 64;
// Frames a port reads in one cycle: all that wait, up to a second of a fully
// loaded 1 Mbit/s bus (about 8,000 frames), which only a bus that never
// falls silent reaches.
constexpr uint32_t Z7CAN_READ_GUARD = 8192;

uint32_t Z7VMCan_CanBuildHot(uint32_t db, uint32_t code);
uint32_t Z7VMCan_BuildHot(uint32_t db, uint32_t code);
uint32_t _Z7VMCan_Open(uint32_t db);
// One cycle at now (ms on the runtime clock).
void Z7VMCan_ExchangeAt(uint32_t db, uint32_t now_ms);
uint32_t Z7VMCan_SendAppMsg(uint32_t db, const char *port, uint32_t id, uint32_t len, const uint8_t *data,
                            uint32_t flag);
uint32_t Z7VMCan_RcvAppMsg(uint32_t db, const char *port, uint32_t *id, uint32_t *len, uint8_t *data);
// Port record address (0 = no port).
uint32_t _Z7VMCan_FindPort(uint32_t db, const char *name);
uint32_t Z7VMCan_CB(uint32_t command, uint32_t port, uint32_t msg, uint32_t id);
uint32_t Z7VMCan_PeekNextSndMsg(uint32_t port);
uint32_t Z7VMCan_PopNextSndMsg(uint32_t port);
uint32_t Z7VMCan_FindRcvMsg(uint32_t port, uint32_t id);
void Z7VMCan_MarkRcvMsg(uint32_t port, uint32_t msg);
uint32_t Z7VMCan_GetSndMsgList(uint32_t port, uint32_t *count);
uint32_t Z7VMCan_GetRcvMsgList(uint32_t port, uint32_t *count);
// Linux CAN port of a port record, through the CAN seam.
uint32_t Z7Can_Open(uint32_t port, const char *name);
void Z7Can_Close(uint32_t port);
void Z7Can_OnPreExchange(uint32_t port);
void Z7Can_OnPostExchange(uint32_t port);
uint32_t Z7Can_GetErrors(uint32_t port);
void Z7Can_PreOpen(uint32_t db);
void Z7Can_PostClose(uint32_t db);
void Z7CAN_OnSpcOut(uint32_t port, uint32_t msg);
uint32_t Z7Can_GetBusOffFlag(uint32_t port);

// ---- AS-i binding and channel access ------------------------------------------------------------
// Head of section 31 and a master record (412 bytes) in it.
enum : uint32_t {
    AH_MASTERS = 0,
    AH_ITEMS = 2,
    AH_MCAP = 4,
    AH_ICAP = 6,
    AH_FLAGS = 8,
    AH_MFIRST = 12,
    AH_IFIRST = 16,
    AH_SIZE = 20
};
enum : uint32_t {
    AM_CFG = 0,
    AM_WORD2 = 4,
    AM_PROF = 8,
    AM_IN = 264,
    AM_OUT = 296,
    AM_LISTS = 360,
    AM_FLAGS = 400,
    AM_IFIRST = 402,
    AM_ICOUNT = 404,
    AM_OFIRST = 406,
    AM_OCOUNT = 408,
    AM_SIZE = 412,
};
inline uint32_t Z7Asi_MasterRec(uint32_t area, uint32_t m) { return Z7Mem_Get32(area + AH_MFIRST) + AM_SIZE * m; }
inline uint32_t Z7Asi_Masters(uint32_t area) { return area ? Z7Mem_Get16(area + AH_MASTERS) : 0; }
uint32_t Z7VMAsi_CanHotStart(uint32_t config, uint32_t area);
uint32_t Z7VMAsi_HotStart(uint32_t config, uint32_t area, uint32_t db);
void Z7VMAsi_GetMasterProfiles(uint32_t area, uint32_t master, uint8_t *out);
// Host hooks of the AS-i master. On a workstation a stand-in under
// $PLC_ROOT/sim/asi/ serves them while that folder exists.
uint32_t Z7Asi_Init(uint32_t area);
uint32_t Z7Asi_IsHWOpen(uint32_t area);
void Z7Asi_Exit(uint32_t area);
void Z7Asi_Exchange(uint32_t area);
void Z7Asi_ReadConfig(uint32_t area);
void Z7Asi_ApplyConfig(uint32_t area);
uint32_t Z7Asi_ReadPP(uint32_t area, uint32_t master, uint32_t slave, uint8_t *out);
uint32_t Z7Asi_WritePP(uint32_t area, uint32_t master, uint32_t slave, uint8_t value);
uint32_t Z7Asi_SendParameter(uint32_t area, uint32_t master, uint32_t slave, uint8_t value);
uint32_t Z7Asi_ReadPI(uint32_t area, uint32_t master, uint32_t slave, uint8_t *out);
uint32_t Z7Asi_StorePI(uint32_t area, uint32_t master);
// Channel n of an I/O group {u16 first variable index, u16 channel count}.
uint8_t Z7IOX_ReadChanBool(uint32_t group, uint32_t db, uint32_t chan);
void Z7IOX_WriteChanBool(uint32_t group, uint32_t db, uint32_t chan, uint8_t v);
int8_t Z7IOX_ReadChanSint(uint32_t group, uint32_t db, uint32_t chan);
void Z7IOX_WriteChanSint(uint32_t group, uint32_t db, uint32_t chan, int8_t v);
int16_t Z7IOX_ReadChanInt(uint32_t group, uint32_t db, uint32_t chan);
void Z7IOX_WriteChanInt(uint32_t group, uint32_t db, uint32_t chan, int16_t v);
int32_t Z7IOX_ReadChanDint(uint32_t group, uint32_t db, uint32_t chan);
void Z7IOX_WriteChanDint(uint32_t group, uint32_t db, uint32_t chan, int32_t v);
// A 32-bit (64-bit) channel whose variable the application declares REAL
// (LREAL) is converted: integers go in as floating values, floating values
// come out truncated with saturation; the Real accessors convert the other way
// on integer variables.
float Z7IOX_ReadChanReal(uint32_t group, uint32_t db, uint32_t chan);
void Z7IOX_WriteChanReal(uint32_t group, uint32_t db, uint32_t chan, float v);
int64_t Z7IOX_ReadChanLint(uint32_t group, uint32_t db, uint32_t chan);
void Z7IOX_WriteChanLint(uint32_t group, uint32_t db, uint32_t chan, int64_t v);
double Z7IOX_ReadChanLReal(uint32_t group, uint32_t db, uint32_t chan);
void Z7IOX_WriteChanLReal(uint32_t group, uint32_t db, uint32_t chan, double v);
// STRING channels: the text zero-terminated in place ("" past the count); a
// C text stores min(strlen, maximum) characters. The counted form {u8
// length, characters} reads the slot's counted text and writes one cut to
// the maximum.
const char *Z7IOX_ReadChanCString(uint32_t group, uint32_t db, uint32_t chan);
void Z7IOX_WriteChanCString(uint32_t group, uint32_t db, uint32_t chan, const char *text);
const uint8_t *Z7IOX_ReadChanBinString(uint32_t group, uint32_t db, uint32_t chan);
void Z7IOX_WriteChanBinString(uint32_t group, uint32_t db, uint32_t chan, const uint8_t *counted);

// ---- I/O driver kit -------------------------------------------------------------------------------
// Driver handler: (command, bus number, database, level, node data, argument, properties).
using Z7DDKHandler = uint32_t (*)(uint32_t cmd, uint32_t bus, uint32_t db, uint32_t level, uint32_t node, uint32_t arg,
                                  uint32_t props);
// The platform's handler lookup: no driver is registered on this controller,
// so every name answers null (Z7DDKC_GetHandlerProc), and DDKC_NULL, the
// empty handler, answers 0 to every command.
Z7DDKHandler Z7DDKC_IpGetHandler(const char *name);
Z7DDKHandler Z7DDKC_GetHandlerProc(const char *name);
uint32_t DDKC_NULL(uint32_t cmd, uint32_t bus, uint32_t db, uint32_t level, uint32_t node, uint32_t arg,
                   uint32_t props);
// The lookup the kit uses (Z7DDKC_IpGetHandler; tests aim it at their own drivers).
extern Z7DDKHandler (*Z7DDKC_Lookup)(const char *name);
void Z7DDKC_IpInit();
void Z7DDKC_IpExit();
uint32_t Z7DDKC_OpenLinks();
void Z7DDKC_CloseLinks();
uint32_t Z7DDKC_CanBuildHot(uint32_t db, uint32_t code);
uint32_t Z7DDKC_BuildHot(uint32_t db, uint32_t code);
void Z7DDKC_ExchangeArg(uint32_t db, uint32_t arg);
uint32_t Z7DDKH_GetDef(uint32_t db, uint32_t node);
uint32_t Z7DDKH_GetProps(uint32_t db, uint32_t node);
uint32_t Z7DDKH_GetParent(uint32_t db, uint32_t node);
uint32_t Z7DDKH_GetChild(uint32_t db, uint32_t node);
uint32_t Z7DDKH_GetSibling(uint32_t db, uint32_t node);
uint32_t Z7DDKH_FindBus(uint32_t db, const char *name);
uint32_t Z7DDKH_GetDataPtr(uint32_t db, uint32_t item, uint32_t *forced);
uint32_t Z7DDKH_GetVsiPtr(uint32_t db, uint32_t item);
uint32_t Z7DDKH_ReadVarAny(uint32_t db, uint32_t item, uint32_t type, uint8_t *out);
uint32_t Z7DDKH_WriteVarAny(uint32_t db, uint32_t item, uint32_t type, const uint8_t *value);
int32_t Z7DDKH_ReadVarLong(uint32_t db, uint32_t item);
uint32_t Z7DDKH_WriteVarLong(uint32_t db, uint32_t item, int32_t v);
uint8_t Z7DDKH_ReadVarBool(uint32_t db, uint32_t item);
uint32_t Z7DDKH_ReadVarDword(uint32_t db, uint32_t item);
float Z7DDKH_ReadVarReal(uint32_t db, uint32_t item);
int64_t Z7DDKH_ReadVarLint(uint32_t db, uint32_t item);
double Z7DDKH_ReadVarLreal(uint32_t db, uint32_t item);
uint32_t Z7DDKH_WriteVarBool(uint32_t db, uint32_t item, uint8_t v);
uint32_t Z7DDKH_WriteVarDword(uint32_t db, uint32_t item, uint32_t v);
uint32_t Z7DDKH_WriteVarReal(uint32_t db, uint32_t item, float v);
uint32_t Z7DDKH_WriteVarLint(uint32_t db, uint32_t item, int64_t v);
uint32_t Z7DDKH_WriteVarLreal(uint32_t db, uint32_t item, double v);
// Address of a STRING item's text (0 for other items); a STRING item takes
// min(length, maximum) characters unless forced.
uint32_t Z7DDKH_ReadVarString(uint32_t db, uint32_t item);
uint32_t Z7DDKH_WriteVarString(uint32_t db, uint32_t item, const char *text, uint32_t len);

// ---- shared memory and its bus driver -------------------------------------------------------------
// A named area of size bytes shared with another process, with a semaphore
// of the same name: Create makes a new one (0 when it exists), Link opens an
// existing one at least size bytes long; both clear it. A handle is a slot
// number, 0 = none. Lock waits at most 20 ms for the semaphore: 1 taken, 0
// not. Close removes a created area and its semaphore.
uint32_t Z7Shm_Create(const char *name, uint32_t size);
uint32_t Z7Shm_Link(const char *name, uint32_t size);
uint32_t Z7Shm_Lock(uint32_t h);
void Z7Shm_Unlock(uint32_t h);
uint8_t *Z7Shm_GetData(uint32_t h);
void Z7Shm_Close(uint32_t h);
// Driver-kit handler exchanging the variables of its items through a shared
// area per bus (properties in iec/services/z7shm.cpp); not registered.
uint32_t Z7BusShm2(uint32_t cmd, uint32_t bus, uint32_t db, uint32_t level, uint32_t node, uint32_t arg,
                   uint32_t props);
