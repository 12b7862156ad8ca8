// The IEC virtual machine: code image accessors, database sections and build,
// entry points and cycle, program execution and log, retained variables.
//
// Every "address" is a u32 offset into the VM arena (iec/vm/z7mem.h): a code
// image, a database and everything inside them. 0 means none.
#pragma once

#include <cstdint>

#include "iec/vm/z7mem.h"

// Database of the running IEC application (arena offset of its descriptor
// table); 0 when no IEC application is loaded, and the retain steps of the
// backup and the clone are then skipped.
extern uint32_t pDB;

// ---- database layout -------------------------------------------------------------------
enum : uint32_t {
    Z7SEC_STATUS = 0,
    Z7SEC_LOG = 1,
    Z7SEC_EXEC = 2,
    Z7SEC_HEADER = 3,
    Z7SEC_PROG = 4,
    Z7SEC_LOCK = 5,
    Z7SEC_D8 = 6,
    Z7SEC_D16 = 7,
    Z7SEC_D32 = 8,
    Z7SEC_D64 = 9,
    Z7SEC_TIME = 10,
    Z7SEC_TIMERS = 11,
    Z7SEC_CLASS = 12,
    Z7SEC_INST = 13,
    Z7SEC_CLASSDATA = 14,
    Z7SEC_INSTDATA = 15,
    Z7SEC_CFUNC = 16,
    Z7SEC_STRPTR = 17,
    Z7SEC_STRBUF = 18,
    Z7SEC_RSC = 19,
    Z7SEC_STEP = 20,
    Z7SEC_TRANS = 21,
    Z7SEC_UNRES = 22,
    Z7SEC_IOS = 23,
    Z7SEC_MAPITEM = 24,
    Z7SEC_MAPHASH = 25,
    Z7SEC_XV = 26,
    Z7SEC_BSMP = 27,
    Z7SEC_TASK = 28,
    Z7SEC_CSTACK = 29,
    Z7SEC_MB = 30,
    Z7SEC_ASI = 31,
    Z7SEC_EVT = 32,
    Z7SEC_EAXCNX = 33,
    Z7SEC_EAXVAR = 34,
    Z7SEC_CT = 35,
    Z7SEC_CAN0 = 36,
    Z7SEC_DDK = 39,
    Z7SEC_COUNT = 40,
};
constexpr uint32_t Z7_DESC_SIZE = 16;                           // one section descriptor
constexpr uint32_t Z7_DESC_TABLE = Z7SEC_COUNT * Z7_DESC_SIZE;  // 640

// Section descriptor fields (byte offsets).
enum : uint32_t { SD_ADDR = 0, SD_SIZE = 4, SD_ELEM = 8, SD_BOUND = 10, SD_USED = 12, SD_ALLOC = 14 };

// Status record (section 0, 248 bytes).
enum : uint32_t {
    ST_NAME = 0,
    ST_PERIOD = 16,
    ST_LAST = 20,
    ST_LONGEST = 24,
    ST_STAMP = 28,
    ST_OVERRUNS = 32,
    ST_CYCLES = 36,
    ST_APP4 = 40,
    ST_APP5 = 44,
    ST_APPPRE7 = 48,
    ST_APP34 = 52,
    ST_LAYOUT = 56,
    ST_FLAGS = 60,
    ST_BRK_PROG = 62,
    ST_BRK_POS = 64,
    ST_LOGCOUNT = 68,
    ST_UNRESCOUNT = 70,
    ST_EXECLEN = 72,
    ST_TIMERS = 74,
    ST_BREAKPOINTS = 76,
    ST_OPTIONS = 204,
    ST_LOCKED = 208,
    ST_CSSIZE = 212,
    ST_SEP1 = 214,
    ST_SEP2 = 215,
    ST_TXB_LIVE = 216,
    ST_TXB_ERR = 220,
    ST_XML_LIVE = 224,
    ST_XML_ERR = 228,
    ST_SECONDS = 232,
    ST_MILLIS = 236,
    ST_SIZE = 248,
};
// Status flags.
enum : uint16_t {
    Z7F_RUN = 0x0001,
    Z7F_STOPPED = 0x0002,
    Z7F_STEP = 0x0008,
    Z7F_LOG = 0x0010,
    Z7F_DEGREES = 0x0020,
    Z7F_LOCKED = 0x0040,
    Z7F_ONECYCLE = 0x0100,
    Z7F_NOEVENTS = 0x0200,
    Z7F_CT = 0x1000,
    Z7F_BREAKPOINTS = 0x2000,
    Z7F_STOPREQ = 0x4000,
};
// Status options.
enum : uint32_t { Z7O_ABANDON = 0x2, Z7O_NOTPURE = 0x4, Z7O_NOIOSTEP = 0x8, Z7O_CHANGED = 0x10, Z7O_RETAINS = 0x40 };

// Header (first 112 bytes of section 3).
enum : uint32_t {
    HD_MAGIC = 0,
    HD_CODE = 4,
    HD_STAMP = 8,
    HD_SFCCRC = 12,
    HD_VARTYPES = 16,
    HD_PASSWORD = 20,
    HD_CTUSED = 24,
    HD_RET_ADDR = 28,
    HD_RET_SIZE = 52,
    HD_RET_SIG = 64,
    HD_RET_DEF = 68,
    HD_RET_CTADDR = 76,
    HD_RET_CTSIZE = 80,
    HD_EXECUTOR = 84,
    HD_DEFSTRTAB = 88,
    HD_CURSTRTAB = 92,
    HD_HEAP = 96,
    HD_MAPSTAMP = 100,
    HD_SIZE = 112,
};
constexpr uint32_t Z7_DB_MAGIC = 0x8000026;

// Program table entry (section 4, 24 bytes).
enum : uint32_t {
    PG_CODE = 0,
    PG_LEN = 4,
    PG_HELD = 8,
    PG_STATE = 12,
    PG_KIND = 14,
    PG_SAVED = 16,
    PG_BASE = 18,
    PG_DIV = 20,
    PG_SIZE = 24,
};
enum : uint16_t { Z7P_ACTIVE = 0x01, Z7P_SUSPENDED = 0x02, Z7P_CALLED = 0x08, Z7P_CHILD = 0x10 };

// VM log codes of the core.
enum : uint16_t { Z7LOG_OVERRUN = 30, Z7LOG_NORETAIN = 31, Z7LOG_RECURSION = 33, Z7LOG_TRACE = 68 };

// Section helpers (db = database offset).
uint32_t Z7Sec_Addr(uint32_t db, uint32_t sec);
uint32_t Z7Sec_Bytes(uint32_t db, uint32_t sec);  // byte size of the section
uint16_t Z7Sec_Get(uint32_t db, uint32_t sec, uint32_t field);
void Z7Sec_Set(uint32_t db, uint32_t sec, uint32_t field, uint16_t v);
// Address of element idx of a section (0 when idx is not below the allocated count).
uint32_t Z7Sec_Elem(uint32_t db, uint32_t sec, uint32_t idx);
uint32_t Z7VM_Status(uint32_t db);  // address of the status record
uint32_t Z7VM_Header(uint32_t db);  // address of the header
uint16_t Z7St_Flags(uint32_t db);
void Z7St_SetFlags(uint32_t db, uint16_t f);

// ---- code image (image = arena offset of its first byte) -----------------------------
uint32_t Z7VMCode_CheckCode(uint32_t code);
uint16_t Z7VMCode_GetNbProg(uint32_t code);
uint16_t Z7VMCode_GetNbProgAlloc(uint32_t code);
uint16_t Z7VMCode_GetNbProgWithStack(uint32_t code);
uint16_t Z7VMCode_GetNbLockFlags(uint32_t code);
uint16_t Z7VMCode_GetNbData8(uint32_t code);
uint16_t Z7VMCode_GetNbData16(uint32_t code);
uint16_t Z7VMCode_GetNbData32(uint32_t code);
uint16_t Z7VMCode_GetNbData64(uint32_t code);
uint16_t Z7VMCode_GetNbTime(uint32_t code);
uint16_t Z7VMCode_GetNbActiveTime(uint32_t code);
uint16_t Z7VMCode_GetNbFBInstance(uint32_t code);
// Highest used instance number + 1 (at most the allocated count).
uint16_t Z7VMCode_GetNbFBInstanceUsed(uint32_t code);
uint16_t Z7VMCode_GetNbCustomFunc(uint32_t code);
uint16_t Z7VMCode_GetNbString(uint32_t code, uint32_t *buffer_size);
uint16_t Z7VMCode_GetNbStep(uint32_t code);
uint16_t Z7VMCode_GetNbTrans(uint32_t code);
uint16_t Z7VMCode_GetNbXV(uint32_t code);
// desc = address of the section descriptor in the database (or table).
uint32_t Z7VMCode_GetData8Sizing(uint32_t code, uint32_t desc);
uint32_t Z7VMCode_GetData16Sizing(uint32_t code, uint32_t desc);
uint32_t Z7VMCode_GetData32Sizing(uint32_t code, uint32_t desc);
uint32_t Z7VMCode_GetData64Sizing(uint32_t code, uint32_t desc);
uint32_t Z7VMCode_GetTimeSizing(uint32_t code, uint32_t desc);
uint32_t Z7VMCode_GetStringSizing(uint32_t code, uint32_t desc);
uint32_t Z7VMCode_GetXVSizing(uint32_t code, uint32_t desc);
uint16_t Z7VMCode_GetCallStackSize(uint32_t code);
uint32_t Z7VMCode_GetCallStackAllocSize(uint32_t code);
uint32_t Z7VMCode_GetPassword(uint32_t code);
uint32_t Z7VMCode_GetFullBuildStamp(uint32_t code);
uint32_t Z7VMCode_GetSfcCrc(uint32_t code);
uint32_t Z7VMCode_GetAppName(uint32_t code);
uint32_t Z7VMCode_GetVarTypeList(uint32_t code);
uint32_t Z7VMCode_GetIODef(uint32_t code);
uint32_t Z7VMCode_GetPublishedList(uint32_t code);
uint32_t Z7VMCode_GetClassList(uint32_t code);
uint32_t Z7VMCode_GetInstanceList(uint32_t code);
uint32_t Z7VMCode_GetWishedFBIRawSize(uint32_t code);
uint32_t Z7VMCode_GetCustomFuncList(uint32_t code);
uint32_t Z7VMCode_MBClientConfig(uint32_t code);
uint32_t Z7VMCode_AsiConfig(uint32_t code);
uint32_t Z7VMCode_StaticEvents(uint32_t code);
uint32_t Z7VMCode_GetEAX(uint32_t code, uint32_t *cnx_table, uint32_t *var_table);
uint32_t Z7VMCode_GetBusDrv(uint32_t code);
uint32_t Z7VMCode_GetBusIOList(uint32_t code);
uint32_t Z7VMCode_GetNbIOs(uint32_t code);
uint32_t Z7VMCode_IsCCPure(uint32_t code);
uint32_t Z7VMCode_GetCTSegDef(uint32_t code);
uint32_t Z7VMCode_GetCTTypeDef(uint32_t code);
uint32_t Z7VMCode_GetCTSegAllocSize(uint32_t code);
uint32_t Z7VMCode_GetCTSegUsedSize(uint32_t code);
uint32_t Z7VMCode_GetRecipes(uint32_t code);
uint32_t Z7VMCode_GetVLsts(uint32_t code);
uint32_t Z7VMCode_GetDefStringTable(uint32_t code);
uint32_t Z7VMCode_GetStringTable(uint32_t code, uint32_t n);
uint32_t Z7VMCode_GetSignal(uint32_t code, uint32_t n);
uint32_t Z7VMCode_GetCanDef(uint32_t code);
int32_t Z7VMCode_GetHeapSize(uint32_t code);
uint32_t Z7VMCode_GetITs(uint32_t code);
uint32_t Z7VMCode_GetITCount(uint32_t code);
uint32_t Z7VMCode_IsCodeDebug(uint32_t code);
uint32_t Z7VMCode_GetInstanceNames(uint32_t code);
uint32_t Z7VMVode_GetEATableVers(uint32_t code, uint32_t connection);
uint32_t Z7VMCode_GetRetainDef(uint32_t code);
uint32_t Z7VMCode_GetExtCount(uint32_t code);
// Image length (0 when code is not a live arena block).
uint32_t Z7VMCode_Length(uint32_t code);

uint32_t Z7VMCode_SetProgramPointers(uint32_t code, uint32_t db);
uint32_t Z7VMCode_SetStringPointers(uint32_t code, uint32_t db);
uint32_t Z7VMCode_SetXVPointers(uint32_t code, uint32_t db);
uint32_t Z7VMCode_BuildTaskList(uint32_t code, uint32_t db);
uint32_t Z7VMCode_CanHOTBuildTaskList(uint32_t code);
void Z7VMCode_InitiateStatus(uint32_t code, uint32_t db);
uint32_t Z7VMCode_CanUpdateStatus(uint32_t code, uint32_t db);
uint32_t Z7VMCode_UpdateStatus(uint32_t code, uint32_t db);
uint32_t Z7VMCode_AllocHeap(uint32_t code, uint32_t db, uint32_t hot);
void Z7VMCode_ApplyData8Init(uint32_t code, uint32_t db, uint32_t all);
void Z7VMCode_ApplyData16Init(uint32_t code, uint32_t db, uint32_t all);
void Z7VMCode_ApplyData32Init(uint32_t code, uint32_t db, uint32_t all);
void Z7VMCode_ApplyData64Init(uint32_t code, uint32_t db, uint32_t all);
void Z7VMCode_ApplyTimeInit(uint32_t code, uint32_t db, uint32_t all);
void Z7VMCode_ApplyStringInit(uint32_t code, uint32_t db, uint32_t all);
void Z7VMCode_ApplyCTSegInit(uint32_t code, uint32_t db, uint32_t from);

// ---- database sizing and build ------------------------------------------------------------
// table = a zeroed 640-byte descriptor table in host memory; it is copied to
// the start of the database block once that exists.
uint32_t Z7VM_GetDBSize(uint32_t code, uint8_t *table);
// 640 + every section rounded up to 8 bytes; 0 when the total does not fit
// the arena.
uint32_t Z7VM_GetTotalDBSize(const uint8_t *table);
void Z7VM_BuildDBMainLinks(uint32_t db);
uint32_t Z7VM_BuildEx(uint32_t code, uint32_t db, uint32_t open_io, uint32_t open_ddk);
uint32_t Z7VM_Build(uint32_t code, uint32_t db);
void Z7VM_SetPauseMode(uint32_t db, uint32_t pause);
uint32_t Z7VM_GetNbTask(uint32_t db);
uint32_t Z7VM_GetTaskName(uint32_t db, uint32_t n);
uint32_t Z7VM_FindTask(uint32_t db, const char *name, uint32_t *number);
uint32_t Z7VM_GetTriggerPtr(uint32_t db);
uint32_t Z7VM_RegisterCycleTime(uint32_t db, uint32_t elapsed_us);

// Host start sequence in one call: sizes the database for code, allocates it
// in the arena and lays out its sections. 0 and *db, or the sizing code (1
// when there is no room).
uint32_t Z7VM_CreateDB(uint32_t code, uint32_t *db);

// ---- on-line change and hot restart ------------------------------------------------------
// 0 when the image can be applied to the database, else a refusal code
// (also logged); the database is not touched.
uint32_t Z7VM_CanHOTStart(uint32_t code, uint32_t db);
// Applies the image; 0 or a code (the database may be partly rebuilt then).
uint32_t Z7VM_BuildHOT(uint32_t code, uint32_t db, uint32_t now_ms);
// Puts an earlier image back over the database after a change: its
// boundaries, programs, strings, map, blocks and links again; variables it
// has that the database lacks get their initial values. 0 or a code.
uint32_t Z7VM_UndoHOTChange(uint32_t code, uint32_t db, uint32_t now_ms);
// 1 when the typed sections, strings, instances, custom functions, programs
// and XV of the image fit (*out = 0), else 0 and the refusal code in *out.
uint32_t Z7VMHot_PrcVarMap(uint32_t code, uint32_t db, uint32_t apply, uint32_t *out);
// The same for an earlier image put back over the database after a change:
// lower boundaries and used counts are taken, strings it lacks lose their slots.
uint32_t Z7VMHot_UndoVarMap(uint32_t code, uint32_t db, uint32_t apply, uint32_t *out);
// 0 when size bytes at block are a saved database of this code image: its
// descriptor table is the image's sizing, its size their total and its header
// magic 0x8000026; else 1.
uint32_t Z7VM_CheckHotImage(uint32_t code, uint32_t block, uint32_t size);

// ---- entry points and cycle -------------------------------------------------------------
uint32_t Z7Def_ColdStart(uint32_t code, uint32_t db, const char *retain_path, void *evs, uint8_t load_retains,
                         uint8_t pause, const char *evarg);
uint32_t Z7Def_HotStart(uint32_t code, uint32_t db, const char *retain_path, void *evs, uint8_t pause,
                        const char *evarg, uint32_t now_ms);
uint32_t Z7Def_Change(uint32_t code, uint32_t db, void *evs, const char *evarg, uint32_t now_ms);
// The same around Z7VM_UndoHOTChange: an earlier image put back (the host
// does not call it).
uint32_t Z7Def_UndoChange(uint32_t code, uint32_t db, void *evs, const char *evarg, uint32_t now_ms);
uint32_t Z7Def_Stop(uint32_t db, void *evs, const char *retain_path, const char *evarg);
void Z7Def_Cycle(uint32_t db, uint32_t now_ms, void *evs);
uint32_t Z7VM_Cycle(uint32_t db, uint32_t now_ms);
uint32_t Z7VM_FullIOExchangeEx(uint32_t db, uint32_t now_ms);
uint32_t Z7VM_FullIOExchange(uint32_t db);
uint32_t Z7VM_PerformTask(uint32_t db, uint32_t task, uint32_t now_ms, uint32_t update_timers);
void Z7VM_ShutDown(uint32_t db, const char *retain_path);
// Links of the host made once at start (driver-kit links, none on this
// controller, then the external block library) and undone at exit.
uint32_t Z7VM_OpenDynaLinks();
void Z7VM_CloseDynaLinks(uint32_t handle);
// Milliseconds from stamp to now on the runtime clock, which wraps once a
// day; a clock reading at or above one day (the host's 2^32 ms clock) is
// taken in u32 arithmetic.
uint32_t Z7VM_Elapsed(uint32_t stamp, uint32_t now);

// ---- programs, breakpoints, log ------------------------------------------------------------
void Z7VMPrg_ActivateAllPrograms(uint32_t db);
void Z7VMPrg_ActivateNewPrograms(uint32_t db, uint32_t code);
void Z7VMPrg_Execute(uint32_t db);
void Z7VMPrg_Task(uint32_t db, uint32_t task, uint32_t cyclic);
void Z7VMPrg_ProcessExecBuffer(uint32_t db);
uint32_t Z7VMPrg_Call(uint32_t db, uint32_t prog);
uint32_t Z7VMPrg_HasBreapointOrStep(uint32_t db);
void Z7VMPrg_SetBreakpoint(uint32_t db, uint16_t prog, uint16_t pos, uint16_t kind);
uint32_t Z7VMPrg_IsBreakpoint(uint32_t db, uint16_t prog, uint16_t pos, uint16_t global_pos);
void Z7VMPrg_SaveCallStack(uint32_t db, uint32_t prog);
void Z7VMPrg_RestoreCallStack(uint32_t db, uint32_t prog);
void Z7VMLog_Push(uint32_t db, uint16_t code, uint16_t arg, uint32_t arg32);
uint32_t Z7VMLog_Pop(uint32_t db, uint16_t *code, uint16_t *arg, uint32_t *arg32);
void Z7VMLog_RegisterUnresolved(uint32_t db, const char *name);
uint32_t Z7VMLog_GetUnresolved(uint32_t db, uint32_t index);
void Z7VMLog_PushSys(uint16_t code);
uint32_t Z7VMLog_PopSys(uint16_t *code);

// ---- retained variables ----------------------------------------------------------------------
// Fills the retain descriptor; 1 when a retained run lies outside its section
// or exceeds 65,535 bytes.
uint32_t Z7VMWarm_PrepareData(uint32_t code, uint32_t db);
uint32_t Z7VMWarm_CanUpdatePointers(uint32_t code, uint32_t db);
uint32_t Z7VMWarm_UpdatePointers(uint32_t code, uint32_t db);
// Checks that the application's retained variables can be stored (the path is
// not used): 1 on this controller.
uint32_t Z7VM_PrepareRetains(uint32_t db, const char *path);
uint32_t Z7VMWarm_CanStore(uint32_t db);
// Loads the retained variables from the retain file at path into the running
// database: 0 when read, 1 when the path is null, the file is missing, shorter
// than the layout or of another layout signature.
uint32_t Z7VM_LoadRetains(uint32_t db, const char *path);
uint32_t Z7VMWarm_Load(uint32_t db, const char *path);
uint32_t Z7VMWarm_CanLoad(uint32_t code, const char *path);
uint32_t Z7VM_CanLoadRetains(uint32_t code, const char *path);
uint32_t Z7VMWarm_CheckFile(uint32_t signature, const char *path);
// Writes the retain file at path (crash-safe: a new file replaces the old one
// whole), or removes it when the application retains nothing. 1 when the file
// is in place or removed, 0 on failure.
uint32_t Z7VMWarm_ShutDown(uint32_t db, const char *path);
// Writes the retain image to file; 1 when written, 0 otherwise.
uint32_t Z7VMWarm_SaveToFile(uint32_t db, const char *file);
// Z7VMWarm_SaveToFile from the fatal-signal path (no lock, no allocation).
uint32_t Z7VMWarm_SaveNow(uint32_t db, const char *file);
// Reads a retain image into the database; 1 when loaded, 0 when there is no
// file, it is too short or its signature differs from the running
// application's (nothing is read then).
uint32_t Z7VMWarm_LoadFromFile(uint32_t db, const char *file);
void Z7VMWarm_CycleExchange(uint32_t db);
