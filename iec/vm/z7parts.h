// Calls of the VM core into the parts of the runtime that hang on it: block
// linking, interpreter, timers, variable map, resources, sampling trace, the
// runtime services (event server, public variables, Modbus, remote bindings,
// CAN, AS-i, driver kit) and the runtime platform layer.
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

// ---- runtime services and platform layer (iec/services) -------------------------------------------
// The VM reaches the runtime services (event server, public variables,
// Modbus, remote bindings, CAN, AS-i, driver kit), the runtime's I/O layer,
// its trace and its files only through z7_services, which the executive fills
// at start-up (Z7Svc_Install). A service left unset answers as an
// application with nothing of that kind configured: sizes and counts 0,
// nothing opened or exchanged, no trace line, no file.
struct Z7Services {
    void (*Z7Evs_OnAppStart)(void *evs, const char *arg);
    void (*Z7Evs_OnAppStop)(void *evs, const char *arg);
    void (*Z7Evs_Activate)(void *evs, uint32_t now_ms);
    uint32_t (*Z7EA_Open)(uint32_t db, void *evs);
    void (*Z7EA_Close)(uint32_t db, void *evs);
    uint32_t (*Z7EA_ManageChangeEvents)(uint32_t db, void *evs);
    uint32_t (*Z7MB_GetMemorySizing)(uint32_t code);
    uint32_t (*Z7MB_Build)(uint32_t config, uint32_t area, uint32_t size);
    uint32_t (*Z7MB_Link)(uint32_t db);
    uint32_t (*Z7MB_CanBuildHOT)(uint32_t config, uint32_t state);
    uint32_t (*Z7MB_BuildHOT)(uint32_t config, uint32_t state);
    uint32_t (*Z7VM_OpenModbus)(uint32_t db);
    void (*Z7VM_CloseModbus)(uint32_t db);
    void (*Z7VM_ActivateModbus)(uint32_t db);
    void (*Z7VM_ExchangeModbusData)(uint32_t db);
    uint16_t (*Z7EAX_GetNbCnx)(uint32_t code);
    uint16_t (*Z7EAX_GetNbVar)(uint32_t code);
    uint32_t (*Z7EAX_Build)(uint32_t code, uint32_t db);
    uint32_t (*Z7EAX_Link)(uint32_t db);
    uint32_t (*Z7EAX_CanBuildHOT)(uint32_t code, uint32_t db);
    uint32_t (*Z7EAX_BuildHOT)(uint32_t code, uint32_t db);
    uint32_t (*Z7VM_OpenExtData)(uint32_t db);
    void (*Z7VM_CloseExtData)(uint32_t db);
    void (*Z7VM_UpdateExtData)(uint32_t db);
    uint32_t (*Z7VMCan_GetDBSize)(uint32_t code, uint8_t *table);
    uint32_t (*Z7VMCan_Build)(uint32_t code, uint32_t db);
    void (*Z7VMCan_Exchange)(uint32_t db);
    void (*Z7VMCan_Close)(uint32_t db);
    uint32_t (*Z7VMAsi_GetSizing)(uint32_t code);
    uint32_t (*Z7VMAsi_Open)(uint32_t config, uint32_t area, uint32_t db);
    void (*Z7VMAsi_Exchange)(uint32_t db);
    void (*Z7VMAsi_Close)(uint32_t db);
    uint32_t (*Z7DDKC_GetSize)(uint32_t code);
    uint32_t (*Z7DDKC_Build)(uint32_t code, uint32_t db);
    void (*Z7DDKC_Exchange)(uint32_t db);
    void (*Z7DDKC_Close)(uint32_t db);
    uint32_t (*Z7Ios_GetMemorySizing)(uint32_t iodef);
    uint32_t (*Z7Ios_Open)(uint32_t iodef, uint32_t area, uint32_t size);
    uint32_t (*Z7Ios_Exchange)(uint32_t db);
    void (*Z7Ios_Close)();
    bool (*Z7File_Delete)(const char *path);
    bool (*Z7File_Exist)(const char *path);
    void (*trace)(const char *text);  // one trace line (at most 512 characters)
    // application CAN messages, AS-i and driver kit across an on-line change
    uint32_t (*Z7VMCan_CanBuildHot)(uint32_t db, uint32_t code);
    uint32_t (*Z7VMCan_BuildHot)(uint32_t db, uint32_t code);
    uint32_t (*Z7VMCan_SendAppMsg)(uint32_t db, const char *port, uint32_t id, uint32_t len, const uint8_t *data,
                                   uint32_t flag);
    uint32_t (*Z7VMCan_RcvAppMsg)(uint32_t db, const char *port, uint32_t *id, uint32_t *len, uint8_t *data);
    uint32_t (*Z7VMAsi_CanHotStart)(uint32_t config, uint32_t area);
    uint32_t (*Z7VMAsi_HotStart)(uint32_t config, uint32_t area, uint32_t db);
    void (*Z7VMAsi_GetMasterProfiles)(uint32_t area, uint32_t master, uint8_t *out);
    uint32_t (*Z7DDKC_CanBuildHot)(uint32_t db, uint32_t code);
    uint32_t (*Z7DDKC_BuildHot)(uint32_t db, uint32_t code);
    // the host I/O layer across a hot restart; the driver kit's platform links
    uint32_t (*Z7Ios_CanHotRestart)(uint32_t iodef);
    uint32_t (*Z7Ios_HotRestart)(uint32_t iodef);
    uint32_t (*Z7DDKC_OpenLinks)();
    void (*Z7DDKC_CloseLinks)();
};
extern Z7Services z7_services;

inline void Z7Part_Evs_OnAppStart(void *evs, const char *arg) {
    if (z7_services.Z7Evs_OnAppStart) z7_services.Z7Evs_OnAppStart(evs, arg);
}
inline void Z7Part_Evs_OnAppStop(void *evs, const char *arg) {
    if (z7_services.Z7Evs_OnAppStop) z7_services.Z7Evs_OnAppStop(evs, arg);
}
inline void Z7Part_Evs_Activate(void *evs, uint32_t now_ms) {
    if (z7_services.Z7Evs_Activate) z7_services.Z7Evs_Activate(evs, now_ms);
}
inline uint32_t Z7Part_EA_Open(uint32_t db, void *evs) {
    return z7_services.Z7EA_Open ? z7_services.Z7EA_Open(db, evs) : 0;
}
inline void Z7Part_EA_Close(uint32_t db, void *evs) {
    if (z7_services.Z7EA_Close) z7_services.Z7EA_Close(db, evs);
}
inline void Z7Part_EA_ManageChangeEvents(uint32_t db, void *evs) {
    if (z7_services.Z7EA_ManageChangeEvents) z7_services.Z7EA_ManageChangeEvents(db, evs);
}
inline uint32_t Z7Part_MB_GetMemorySizing(uint32_t code) {
    return z7_services.Z7MB_GetMemorySizing ? z7_services.Z7MB_GetMemorySizing(code) : 0;
}
inline uint32_t Z7Part_MB_Build(uint32_t config, uint32_t area, uint32_t size) {
    return z7_services.Z7MB_Build ? z7_services.Z7MB_Build(config, area, size) : 0;
}
inline uint32_t Z7Part_MB_Link(uint32_t db) { return z7_services.Z7MB_Link ? z7_services.Z7MB_Link(db) : 0; }
inline uint32_t Z7Part_MB_CanBuildHOT(uint32_t config, uint32_t state) {
    return z7_services.Z7MB_CanBuildHOT ? z7_services.Z7MB_CanBuildHOT(config, state) : 0;
}
inline uint32_t Z7Part_MB_BuildHOT(uint32_t config, uint32_t state) {
    return z7_services.Z7MB_BuildHOT ? z7_services.Z7MB_BuildHOT(config, state) : 0;
}
inline uint32_t Z7Part_VM_OpenModbus(uint32_t db) {
    return z7_services.Z7VM_OpenModbus ? z7_services.Z7VM_OpenModbus(db) : 0;
}
inline void Z7Part_VM_CloseModbus(uint32_t db) {
    if (z7_services.Z7VM_CloseModbus) z7_services.Z7VM_CloseModbus(db);
}
inline void Z7Part_VM_ActivateModbus(uint32_t db) {
    if (z7_services.Z7VM_ActivateModbus) z7_services.Z7VM_ActivateModbus(db);
}
inline void Z7Part_VM_ExchangeModbusData(uint32_t db) {
    if (z7_services.Z7VM_ExchangeModbusData) z7_services.Z7VM_ExchangeModbusData(db);
}
inline uint16_t Z7Part_EAX_GetNbCnx(uint32_t code) {
    return z7_services.Z7EAX_GetNbCnx ? z7_services.Z7EAX_GetNbCnx(code) : 0;
}
inline uint16_t Z7Part_EAX_GetNbVar(uint32_t code) {
    return z7_services.Z7EAX_GetNbVar ? z7_services.Z7EAX_GetNbVar(code) : 0;
}
inline uint32_t Z7Part_EAX_Build(uint32_t code, uint32_t db) {
    return z7_services.Z7EAX_Build ? z7_services.Z7EAX_Build(code, db) : 0;
}
inline uint32_t Z7Part_EAX_Link(uint32_t db) { return z7_services.Z7EAX_Link ? z7_services.Z7EAX_Link(db) : 0; }
inline uint32_t Z7Part_EAX_CanBuildHOT(uint32_t code, uint32_t db) {
    return z7_services.Z7EAX_CanBuildHOT ? z7_services.Z7EAX_CanBuildHOT(code, db) : 0;
}
inline uint32_t Z7Part_EAX_BuildHOT(uint32_t code, uint32_t db) {
    return z7_services.Z7EAX_BuildHOT ? z7_services.Z7EAX_BuildHOT(code, db) : 0;
}
inline uint32_t Z7Part_VM_OpenExtData(uint32_t db) {
    return z7_services.Z7VM_OpenExtData ? z7_services.Z7VM_OpenExtData(db) : 0;
}
inline void Z7Part_VM_CloseExtData(uint32_t db) {
    if (z7_services.Z7VM_CloseExtData) z7_services.Z7VM_CloseExtData(db);
}
inline void Z7Part_VM_UpdateExtData(uint32_t db) {
    if (z7_services.Z7VM_UpdateExtData) z7_services.Z7VM_UpdateExtData(db);
}
inline uint32_t Z7Part_VMCan_GetDBSize(uint32_t code, uint8_t *table) {
    return z7_services.Z7VMCan_GetDBSize ? z7_services.Z7VMCan_GetDBSize(code, table) : 0;
}
inline uint32_t Z7Part_VMCan_Build(uint32_t code, uint32_t db) {
    return z7_services.Z7VMCan_Build ? z7_services.Z7VMCan_Build(code, db) : 0;
}
inline void Z7Part_VMCan_Exchange(uint32_t db) {
    if (z7_services.Z7VMCan_Exchange) z7_services.Z7VMCan_Exchange(db);
}
inline void Z7Part_VMCan_Close(uint32_t db) {
    if (z7_services.Z7VMCan_Close) z7_services.Z7VMCan_Close(db);
}
inline uint32_t Z7Part_VMAsi_GetSizing(uint32_t code) {
    return z7_services.Z7VMAsi_GetSizing ? z7_services.Z7VMAsi_GetSizing(code) : 0;
}
inline uint32_t Z7Part_VMAsi_Open(uint32_t config, uint32_t area, uint32_t db) {
    return z7_services.Z7VMAsi_Open ? z7_services.Z7VMAsi_Open(config, area, db) : 0;
}
inline void Z7Part_VMAsi_Exchange(uint32_t db) {
    if (z7_services.Z7VMAsi_Exchange) z7_services.Z7VMAsi_Exchange(db);
}
inline void Z7Part_VMAsi_Close(uint32_t db) {
    if (z7_services.Z7VMAsi_Close) z7_services.Z7VMAsi_Close(db);
}
inline uint32_t Z7Part_DDKC_GetSize(uint32_t code) {
    return z7_services.Z7DDKC_GetSize ? z7_services.Z7DDKC_GetSize(code) : 0;
}
inline uint32_t Z7Part_DDKC_Build(uint32_t code, uint32_t db) {
    return z7_services.Z7DDKC_Build ? z7_services.Z7DDKC_Build(code, db) : 0;
}
inline void Z7Part_DDKC_Exchange(uint32_t db) {
    if (z7_services.Z7DDKC_Exchange) z7_services.Z7DDKC_Exchange(db);
}
inline void Z7Part_DDKC_Close(uint32_t db) {
    if (z7_services.Z7DDKC_Close) z7_services.Z7DDKC_Close(db);
}
inline uint32_t Z7Part_Ios_GetMemorySizing(uint32_t iodef) {
    return z7_services.Z7Ios_GetMemorySizing ? z7_services.Z7Ios_GetMemorySizing(iodef) : 0;
}
inline uint32_t Z7Part_Ios_Open(uint32_t iodef, uint32_t area, uint32_t size) {
    return z7_services.Z7Ios_Open ? z7_services.Z7Ios_Open(iodef, area, size) : 0;
}
inline uint32_t Z7Part_Ios_Exchange(uint32_t db) {
    return z7_services.Z7Ios_Exchange ? z7_services.Z7Ios_Exchange(db) : 0;
}
inline void Z7Part_Ios_Close() {
    if (z7_services.Z7Ios_Close) z7_services.Z7Ios_Close();
}
inline bool Z7Part_File_Delete(const char *path) {
    return z7_services.Z7File_Delete && z7_services.Z7File_Delete(path);
}
inline bool Z7Part_File_Exist(const char *path) { return z7_services.Z7File_Exist && z7_services.Z7File_Exist(path); }
inline uint32_t Z7Part_VMCan_CanBuildHot(uint32_t db, uint32_t code) {
    return z7_services.Z7VMCan_CanBuildHot ? z7_services.Z7VMCan_CanBuildHot(db, code) : 0;
}
inline uint32_t Z7Part_VMCan_BuildHot(uint32_t db, uint32_t code) {
    return z7_services.Z7VMCan_BuildHot ? z7_services.Z7VMCan_BuildHot(db, code) : 0;
}
inline uint32_t Z7Part_VMCan_SendAppMsg(uint32_t db, const char *port, uint32_t id, uint32_t len, const uint8_t *data,
                                        uint32_t flag) {
    return z7_services.Z7VMCan_SendAppMsg ? z7_services.Z7VMCan_SendAppMsg(db, port, id, len, data, flag) : 0;
}
inline uint32_t Z7Part_VMCan_RcvAppMsg(uint32_t db, const char *port, uint32_t *id, uint32_t *len, uint8_t *data) {
    return z7_services.Z7VMCan_RcvAppMsg ? z7_services.Z7VMCan_RcvAppMsg(db, port, id, len, data) : 0;
}
inline uint32_t Z7Part_VMAsi_CanHotStart(uint32_t config, uint32_t area) {
    return z7_services.Z7VMAsi_CanHotStart ? z7_services.Z7VMAsi_CanHotStart(config, area) : 0;
}
inline uint32_t Z7Part_VMAsi_HotStart(uint32_t config, uint32_t area, uint32_t db) {
    return z7_services.Z7VMAsi_HotStart ? z7_services.Z7VMAsi_HotStart(config, area, db) : 0;
}
// 256 bytes of 0xFF when no AS-i binding answers.
inline void Z7Part_VMAsi_GetMasterProfiles(uint32_t area, uint32_t master, uint8_t *out) {
    if (z7_services.Z7VMAsi_GetMasterProfiles)
        z7_services.Z7VMAsi_GetMasterProfiles(area, master, out);
    else
        for (uint32_t i = 0; i < 256; i++) out[i] = 0xFF;
}
inline uint32_t Z7Part_DDKC_CanBuildHot(uint32_t db, uint32_t code) {
    return z7_services.Z7DDKC_CanBuildHot ? z7_services.Z7DDKC_CanBuildHot(db, code) : 0;
}
inline uint32_t Z7Part_DDKC_BuildHot(uint32_t db, uint32_t code) {
    return z7_services.Z7DDKC_BuildHot ? z7_services.Z7DDKC_BuildHot(db, code) : 0;
}
inline uint32_t Z7Part_Ios_CanHotRestart(uint32_t iodef) {
    return z7_services.Z7Ios_CanHotRestart ? z7_services.Z7Ios_CanHotRestart(iodef) : 0;
}
inline uint32_t Z7Part_Ios_HotRestart(uint32_t iodef) {
    return z7_services.Z7Ios_HotRestart ? z7_services.Z7Ios_HotRestart(iodef) : 0;
}
inline uint32_t Z7Part_DDKC_OpenLinks() { return z7_services.Z7DDKC_OpenLinks ? z7_services.Z7DDKC_OpenLinks() : 0; }
inline void Z7Part_DDKC_CloseLinks() {
    if (z7_services.Z7DDKC_CloseLinks) z7_services.Z7DDKC_CloseLinks();
}
// Formats at most 512 characters and hands the line to the runtime's trace.
void Z7Part_Trace(const char *format, ...) __attribute__((format(printf, 1, 2)));
