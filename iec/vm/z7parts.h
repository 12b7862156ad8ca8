// Calls of the VM core into the parts of the runtime that hang on it: block
// linking, interpreter, timers, variable map, resources, sampling trace, the
// runtime services (event server, public variables, Modbus, remote bindings,
// CAN, AS-i, driver kit) and the runtime platform layer. Until a part is
// built its functions answer as an application with nothing of that kind
// configured.
#pragma once

#include <cstdint>

// ---- block classes, instances, custom functions ----------------------------------------
uint16_t Z7VMFbl_GetNbClass(uint32_t code);
uint32_t Z7VMFbl_GetClassDataSize(uint32_t code);
uint32_t Z7VMFbl_GetInstanceDataSize(uint32_t code);
uint32_t Z7VMFbl_Link(uint32_t code, uint32_t db);
uint32_t Z7VMFbl_InitInstances(uint32_t code, uint32_t db, uint32_t cold);
uint32_t Z7VMFbl_InitCustomFunctions(uint32_t code, uint32_t db);
void Z7VMFbl_KeepAlive(uint32_t db);
void Z7VMFbl_ShutDown(uint32_t db);
// External block library: a handle (0 = none loaded).
uint32_t Z7Bdll_OpenDynaLinks();
void Z7Bdll_CloseDynaLinks();

// ---- interpreter ------------------------------------------------------------------------------
void Z7VMTic_Init(uint32_t db);
void Z7VMTic_Exit(uint32_t db);
// Runs one program's code: 1 go on with the next program, 0 run no further
// program in this cycle.
uint32_t Z7VMTic_Run(uint32_t db, uint32_t status, uint32_t code, uint32_t length, uint32_t program);
// The program runner calls the interpreter through this pointer (tests aim it
// at a recorder).
using Z7VMTic_RunFn = uint32_t (*)(uint32_t db, uint32_t status, uint32_t code, uint32_t length, uint32_t program);
extern Z7VMTic_RunFn Z7VMTic_RunPtr;

// ---- timers, map, resources, sampling, standard functions ---------------------------------
void Z7VMTmr_UpdateTimers(uint32_t db);
// Sizes sections 24 and 25 in the descriptor table; 1 when the image has no
// valid published-variable table.
uint32_t Z7VMMap_GetSizing(uint8_t *table, uint32_t code);
uint32_t Z7VMMap_Build(uint32_t db, uint32_t code);
void Z7VMRsc_FreeAll(uint32_t db);
void Z7VMBsmp_Activate(uint32_t db);
// operands = arena address of the words {function number, N, N operands}.
uint32_t Z7VMStf_Execute(uint32_t db, uint32_t operands);

// ---- runtime services -------------------------------------------------------------------------
void Z7Evs_OnAppStart(void *evs, const char *arg);
void Z7Evs_OnAppStop(void *evs, const char *arg);
void Z7Evs_Activate(void *evs, uint32_t now_ms);
uint32_t Z7EA_Open(uint32_t db, void *evs);
void Z7EA_Close(uint32_t db, void *evs);
void Z7EA_ManageChangeEvents(uint32_t db, void *evs);

uint32_t Z7MB_GetMemorySizing(uint32_t code);
uint32_t Z7MB_Build(uint32_t config, uint32_t area, uint32_t size);
uint32_t Z7MB_Link(uint32_t db);
uint32_t Z7VM_OpenModbus(uint32_t db);
void Z7VM_CloseModbus(uint32_t db);
void Z7VM_ActivateModbus(uint32_t db);
void Z7VM_ExchangeModbusData(uint32_t db);

uint16_t Z7EAX_GetNbCnx(uint32_t code);
uint16_t Z7EAX_GetNbVar(uint32_t code);
uint32_t Z7EAX_Build(uint32_t code, uint32_t db);
uint32_t Z7EAX_Link(uint32_t db);
uint32_t Z7VM_OpenExtData(uint32_t db);
void Z7VM_CloseExtData(uint32_t db);
void Z7VM_UpdateExtData(uint32_t db);

// Sizes sections 36 to 38 in the descriptor table; 0.
uint32_t Z7VMCan_GetDBSize(uint32_t code, uint8_t *table);
uint32_t Z7VMCan_Build(uint32_t code, uint32_t db);
void Z7VMCan_Exchange(uint32_t db);
void Z7VMCan_Close(uint32_t db);

uint32_t Z7VMAsi_GetSizing(uint32_t code);
uint32_t Z7VMAsi_Open(uint32_t config, uint32_t area, uint32_t db);
void Z7VMAsi_Exchange(uint32_t db);
void Z7VMAsi_Close(uint32_t db);

uint32_t Z7DDKC_GetSize(uint32_t code);
uint32_t Z7DDKC_Build(uint32_t code, uint32_t db);
void Z7DDKC_Exchange(uint32_t db);
void Z7DDKC_Close(uint32_t db);

// ---- runtime platform layer (iec/services) ------------------------------------------------
uint32_t Z7Ios_GetMemorySizing(uint32_t iodef);
uint32_t Z7Ios_Open(uint32_t iodef, uint32_t area, uint32_t size);
uint32_t Z7Ios_Exchange(uint32_t db);
void Z7Ios_Close();
// Runtime trace: formats at most 512 bytes and prints the line on standard
// output.
void Z7EVSTRACE(const char *format, ...) __attribute__((format(printf, 1, 2)));
// Files: a handle is a slot number (0 = none). Paths are system paths,
// resolved under the root. 1 success, 0 failure.
uint32_t Z7File_Open(const char *path, uint32_t write);
void Z7File_Close(uint32_t handle);
uint32_t Z7File_Read(uint32_t handle, void *buffer, uint32_t size);
uint32_t Z7File_Write(uint32_t handle, const void *buffer, uint32_t size);
uint32_t Z7File_Fflush(uint32_t handle);
uint32_t Z7File_Delete(const char *path);
uint32_t Z7File_Rename(const char *from, const char *to);
uint32_t Z7File_Exist(const char *path);
uint32_t Z7File_GetSize(const char *path);
