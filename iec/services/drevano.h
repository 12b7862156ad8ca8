// The IEC runtime's embedding in the controller: start and stop, the per-pass
// communication service, the per-scan cycle, the bindings of located IEC
// variables to the register image and the hand-over of the programming link.
#pragma once

#include <array>
#include <cstdint>

#include "core/storage/memfile.h"
#include "core/image/util.h"

extern uint32_t drevano_total_variables_enumerated;
// Set by the scan while bit 0 of register byte 65 is set; the runtime's first
// cycle then sets every bound system bit and clears it.
extern uint8_t DrevanoS9;
// 0 stopped, 1 running, 2 stop under way.
extern uint16_t iVmAlive;
extern uint8_t Z7_init;
extern uint8_t DrevanoFirstRun;
extern uint8_t bNewRegParams;
// Event-server state (null when the event server could not be opened).
extern void *pEvData;
// Counts successful starts; binding tables built for an older count are stale.
extern uint32_t Drevano_StartGen;
// Counts databases freed: tables built in an older one keep nothing of it.
extern uint32_t Drevano_DbGen;
// Bit 0: system words not yet primed, bit 1: system bits not yet primed.
extern uint8_t FistScanRegFlag;

// One-time start of the runtime after a program with an IEC code section was
// loaded (communication server, memory manager, event server, block library,
// stored application, binding tables).
void Drevano_init();
// Shuts the runtime down (application, block library, servers, memory
// manager, its mutex and log).
void __Exit();
// The host's try-lock of the VM database: 1 taken, 0 busy (never waits);
// the cycle, the workbench's requests and the on-line change take it.
uint32_t _TakeMutex();
void _ReleaseMutex();
// Zeroes the enumeration flags (the runtime stops).
void ClearDrevanoFlags();
// One application cycle, called by the ladder interpreter instead of the
// ladder program while the runtime is in use.
void _VMThread();
// One pass of the runtime's communication server.
void Drevano_Comm_service();
// Builds the binding, sets the first-scan bits and %SR1.
void DrevanoFirstRun_func();
uint32_t EnumDrevanoVars();

// ---- register binding ---------------------------------------------------------------------------
struct DrevanoWordEntry {
    uint32_t addr;  // bit address of the register
    uint8_t *reg;
    uint8_t *vm;
    uint16_t last;
};
struct DrevanoBitEntry {
    uint32_t addr;
    uint8_t *reg;
    uint8_t *vm;
    uint8_t set, clr, last, bit, flags;  // flags: system bits, 0x10 writable, 0x20 primed at its next pass
};
struct DrevanoSrEntry {
    uint32_t addr;
    uint8_t *reg;
    uint8_t *vm;
    uint16_t last, min, max;
    uint8_t flags;  // bit 0 bounded, bit 1 primed at its next pass
};
extern std::array<DrevanoWordEntry, 544> VmDbWordInput_ptr;
extern std::array<DrevanoWordEntry, 544> VmDbWordOutput_ptr;
extern std::array<DrevanoBitEntry, 2304> VmDbBitInput_ptr;
extern std::array<DrevanoBitEntry, 2304> VmDbBitOutput_ptr;
extern std::array<DrevanoBitEntry, 512> VmDbBitSys_ptr;
extern std::array<DrevanoSrEntry, 256> VmDbWordSR_ptr;
extern uint32_t WordInputEntries, WordOutputEntries, BoolInputEntries, BoolOutputEntries, WordSREntries, BoolSysEntries;

// Bit address of location-table slot s (0 past the table).
uint32_t Drevano_SlotAddress(uint32_t s);
// Arena address of a VM location when width bytes of it lie inside its
// section (string: the text behind the two length bytes); 0 otherwise or
// without a database.
uint32_t Drevano_VmAddr(uint32_t location, uint32_t width);
// Builds the six tables from the location table for the running database.
void Drevano_BuildTables();
// 1 when the tables were built for the running application.
uint32_t Drevano_TablesReady();
// Writes 1 into the VM BOOL of every system-bit binding.
void Drevano_SetSystemBits();
uint32_t DrevanoCalculateRegToken(const uint8_t *vm, uint32_t kind, uint32_t input);

// Synchronise bound IEC variables with the register image (system words and
// bits each scan, inputs after the forces, outputs after the outputs).
void DrevanoUpdateWordSRRegs();
void DrevanoUpdateBitSysRegs();
void DrevanoUpdateBitInputRegs();
void DrevanoUpdateWordInputRegs();
void DrevanoUpdateBitOutputRegs();
void DrevanoUpdateWordOutputRegs();

// Pointer to the database element an IEC variable handle names; null when no
// database is loaded or the element lies outside its section.
uint8_t *DrevanoCalculateVmDbAddress(uint32_t handle, uint32_t width);

// The runtime folder put in front of the runtime's own file names
// ("/mnt/cfg/"; the memory manager's files carry their full paths).
extern char Z7FILE_PATH[255];
// out := Z7FILE_PATH followed by name. out must hold 255 bytes. Answers out,
// or null when name is empty or the result would exceed 254 characters.
char *Z7_GetFullPath(const char *name, char *out);

// Hand the programming link to the runtime's communication server over the
// serial port or Ethernet (TCP port 1100).
void Z7_Connect_Serial();
void Z7_Connect_Ethernet();

// The running application's retained variables saved to and loaded from a
// retain file (the iec_hooks retain hooks); true done, false without an
// application or a file it takes.
bool Drevano_RetainSave(const char *path, IecRetainForm form);
bool Drevano_RetainLoad(const char *path, IecRetainForm form);
// Deletes the IEC code file "/mnt/cfg/z7.cod"; true when deleted or absent.
bool DeleteDrevanoProgram();
// Deletes the IEC retain file "/mnt/cfg/z7.ret"; true when deleted.
bool DelDrevanoRetentiveFile();
// While an application is in use: stops the runtime, marks none in use,
// deletes the code and the retain file and answers 1 when the retain file
// was deleted, else 0. Otherwise answers value unchanged.
uint32_t DelDrevanoFile(uint32_t value);

// Host hooks of the runtime: a shell line through the platform (its status),
// sleeps that return at once, no register-parameter service (0).
int Z7_SysCmd(const char *command);
void Z7_Sleep(uint32_t ms);
void _Sleep(uint32_t ms);
uint32_t Z7REG();
// The runtime's own cycle thread: one application cycle (_VMThread) on a
// thread of its own with SIGALRM blocked; 1 when started. __Exit waits for
// it. Not used by this controller, which cycles from its scan.
uint32_t _RunThread();
// 1 when a key waiting on the console is the interrupt character (3); reads
// at most one key and never waits.
uint32_t _ShouldTerminate();

// Symbol of an IEC variable resolved by path (address and type out); answers
// the map item of the symbol as a whole, 0 when there is none.
uint32_t DrevanoEnumerateVarialbes(uint32_t db, const char *symbol, uint32_t *type, uint32_t *address);
// Map item of the first name of a symbol path; the cursor moves behind it.
uint32_t Valmar_Z7VmSyb_GetMapItem(uint32_t db, const char **cursor);
// Called after an on-line change was applied (the executive arms its
// on-line program mode); null: nothing.
extern void (*Drevano_OnChangeApplied)();
