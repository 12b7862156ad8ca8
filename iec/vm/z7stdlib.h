// The standard library of the IEC runtime: the standard blocks offered to
// the linker before the controller registry, the bit, byte, date and system
// standard functions, and the array tools the handlers share.
#pragma once

#include <cstdint>

#include "iec/vm/z7interp.h"

struct Z7Ops;

// ---- standard blocks ------------------------------------------------------------------------------
// 54 rows in linker order; the walk skips a row without a handler.
constexpr uint32_t Z7STFB_ROWS = 54;
const char *Z7Stfb_GetName(uint32_t id);
FbHandler Z7Stfb_GetProc(uint32_t id);
// Rows built in the block library above the VM (serial, Modbus slave and CSV
// blocks): set when the library is installed; null leaves those rows absent.
extern FbHandler (*Z7Stfb_LibProc)(uint32_t id);
// Rows whose blocks live in the runtime services (Modbus masters and TCP
// slaves): filled at start-up by the services; asked after the library's.
extern FbHandler (*Z7Stfb_UpperProc)(uint32_t id);
// Handlers that stand in no list (counters by level).
FbHandler Z7Stfb_Counter(uint32_t which);  // 0 CTU, 1 CTD, 2 CTUD

// Array blocks of the controller registry, rows 51-56 (null for other rows).
FbHandler Z7ArBlk_GetProc(uint32_t row);

// Signal records of the code image the database was built from: the record
// of signal n when it lies whole inside the image (points = its point
// count), else 0. The value of a record at time t (ms).
uint32_t Z7Sig_Record(uint32_t db, int64_t n, uint32_t *points);
float Z7Sig_Value(uint32_t record, uint32_t points, uint32_t t);

// ---- array tools ------------------------------------------------------------------------------------
// Address of the first element of the array operand at index for an element
// type code: in the complex-type segment when the database has one (the
// index names a DINT holding the byte offset), else in the typed segment.
uint32_t Z7Tools_GetAnyArray(uint32_t db, uint32_t type, uint32_t index);
// As above, but only when count elements lie inside their segment (count
// below 0 or past the segment: 0). size receives the element size.
uint32_t Z7Tools_GetArrayIn(uint32_t db, uint32_t type, uint32_t index, int64_t count, uint32_t *size);
// Element size of a type code (1, 2, 4, 8; 0 for STRING and unknown codes).
uint32_t Z7Tools_TypeSize(uint32_t type);
// Complex-type segment address + the DINT at index (0 without a segment or
// when the offset lies outside it).
uint32_t Z7Tools_GetCTParam(uint32_t db, uint32_t index);
// First element of an array operand of that width (0 = absent).
uint32_t Z7Tools_GetD8Array(uint32_t db, uint32_t index);
uint32_t Z7Tools_GetD16Array(uint32_t db, uint32_t index);
uint32_t Z7Tools_GetD32Array(uint32_t db, uint32_t index);
uint32_t Z7Tools_GetD64Array(uint32_t db, uint32_t index);
uint32_t Z7Tools_GetTimeArray(uint32_t db, uint32_t index);
// With a complex-type segment: the array's address in it and flag 1; else
// the string pointer table entry of index and flag 0.
uint32_t Z7Tools_GetStringArray(uint32_t db, uint32_t index, uint32_t *flag);
// CRC-16, reflected 0xA001, initial 0xFFFF (0xFFFF for no bytes).
uint16_t Z7Tools_Crc16(const uint8_t *data, uint16_t len);

// ---- resource table (section 19, items of 12 bytes) ------------------------------------------
enum : uint32_t { RSC_DATA = 0, RSC_SIZE = 4, RSC_ID = 8, RSC_KIND = 10 };
enum : uint16_t { RSC_MEMORY = 1, RSC_FILE = 2, RSC_ARRAY = 3, RSC_SOCKET = 4 };
// Item addresses (0 = none).
uint32_t Z7VMRsc_GetFreeItem(uint32_t db);
uint32_t Z7VMRsc_FindData(uint32_t db, uint32_t data);
uint32_t Z7VMRsc_FindSocket(uint32_t db, int32_t sock);
// The used item of that kind holding data (file handles and socket numbers
// may be equal: each is looked up by its own kind).
uint32_t Z7VMRsc_FindKind(uint32_t db, uint32_t data, uint16_t kind);
uint32_t Z7VMRsc_FindArray(uint32_t db, uint32_t id);
uint32_t Z7VMRsc_Exist(uint32_t db);
void Z7VMRsc_Set(uint32_t item, uint32_t data, uint32_t size, uint16_t id, uint16_t kind);
// 1 created, 2 bad or used identifier or no free item, 3 count below 1, 4 no memory.
uint32_t Z7VMRsc_CreateArray(uint32_t db, int64_t id, int64_t count, uint32_t esize);
// 1 written, 2 no such array, 3 index out of range (negative included).
uint32_t Z7VMRsc_WriteArray(uint32_t db, uint32_t id, int32_t index, uint32_t esize, const void *src);
// 1 read, 0 no such array or index out of range.
uint32_t Z7VMRsc_ReadArray(uint32_t db, uint32_t id, int32_t index, uint32_t esize, void *dst);

// Value of key in [section] of a parameter file (names compared without
// case): 1 found, else 0. out (size > 0) receives the value, or the key
// itself when not found, cut to size - 1 characters.
uint32_t Z7Param_Get(uint32_t ignored, const char *path, const char *section, const char *key, char *out,
                     uint32_t size);

// ---- platform calls of the library --------------------------------------------------------
// Files, sockets and the clock live above the VM: the runtime services fill
// this table at start (Z7Svc_InstallVMHooks); until then every call answers
// as a runtime without files, sockets or clock (0, -1, nothing).
using Z7SocketHandle = int32_t;
// Where a connect under way stands.
enum class Z7Connect : uint8_t { kUp, kPending, kBroken };
// Files are numbered from 1 (0 = none); a call that answers bool answers
// whether it was done (read and write: all of size bytes), a count is a
// count. closed receives whether the peer closed or the socket failed.
struct Z7StdHooks {
    uint32_t (*file_open)(const char *path, bool write);
    uint32_t (*file_open_append)(const char *path);
    void (*file_close)(uint32_t h);
    bool (*file_read)(uint32_t h, void *buffer, uint32_t size);
    bool (*file_write)(uint32_t h, const void *buffer, uint32_t size);
    bool (*file_flush)(uint32_t h);
    bool (*file_seek)(uint32_t h, uint32_t origin, int32_t offset);
    bool (*file_eof)(uint32_t h);
    uint32_t (*file_read_line)(uint32_t h, char *buf, uint32_t size);
    bool (*file_write_line)(uint32_t h, const char *text);
    bool (*file_delete)(const char *path);
    bool (*file_rename)(const char *from, const char *to);
    bool (*file_copy)(const char *from, const char *to);
    bool (*file_exist)(const char *path);
    uint32_t (*file_size)(const char *path);
    // Listening, connected and datagram sockets: true when created (h then
    // holds it; -1 otherwise). pending: the connect is still under way.
    bool (*tcp_listen)(uint16_t port, uint32_t backlog, Z7SocketHandle *h, uint32_t arg);
    Z7SocketHandle (*tcp_accept)(Z7SocketHandle listening, uint32_t arg);
    bool (*tcp_connect)(const char *ip, uint16_t port, Z7SocketHandle *h, bool *pending, uint32_t arg);
    Z7Connect (*tcp_check_pending)(Z7SocketHandle h);
    int32_t (*tcp_send)(Z7SocketHandle h, uint32_t len, const uint8_t *data, bool *closed);
    int32_t (*tcp_receive)(Z7SocketHandle h, uint32_t len, uint8_t *buf, bool *closed);
    void (*socket_close)(Z7SocketHandle h);
    bool (*udp_create)(uint16_t port, Z7SocketHandle *h);
    // Bytes of the datagram taken (0: none waiting).
    uint32_t (*udp_recv_from)(Z7SocketHandle h, uint8_t *buf, uint32_t size, uint8_t addr[16]);
    // true when the whole datagram went out.
    bool (*udp_send_to)(Z7SocketHandle h, const uint8_t addr[16], const uint8_t *data, uint32_t len);
    void (*udp_addr_make)(uint8_t addr[16], const char *text, uint16_t default_port);
    // Path of a name in the runtime folder (out: 256 bytes); null when refused.
    char *(*full_path)(const char *name, char *out);
    // Modbus device identification (MBSLAVEIDENT): true when stored.
    bool (*mb_dev_ident)(const char *vendor, const char *product, const char *revision, const uint16_t *words,
                         uint32_t count);
};
extern Z7StdHooks Z7Std_Hooks;
// Current local (or UTC) date stamp and milliseconds of the day through the
// VM's clock hook (0 and 0 without one).
void Z7Std_Clock(uint32_t utc, uint32_t *date, uint32_t *time);
