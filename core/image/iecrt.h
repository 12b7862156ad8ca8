// The IEC runtime as the register image and the floors above it see it:
// whether an IEC application is in use, its enumeration flag, the board's
// product record and the hook table through which the lower floors start,
// stop and run the runtime.
#pragma once

#include <array>
#include <cstdint>

extern uint8_t DrevanoRuntime;  // an IEC application is in use
// Nonzero once the IEC application's variables are enumerated for the
// register binding (first runtime cycle after a start); cleared by
// ClearDrevanoFlags.
extern uint8_t drevano_variables_enumerateded;
// Product record of the board, "/mnt/cfg/TINYIMGE.BIN" (MAC addresses from byte 8).
extern std::array<uint8_t, 76> tinyImage;

// The IEC runtime as the floors below it reach it: a stored program that
// carries an IEC code section starts it, a new program or cleared registers
// stop it, and the scan runs its cycle in place of the ladder program. The
// executive aims these at the runtime at start-up; unset, the controller has
// no IEC runtime: nothing is started, stopped, run or deleted.
struct IecHooks {
    uint32_t (*init)();            // one-time start after a program with IEC code was loaded
    void (*exit)();                // shuts the runtime down
    void (*clear_flags)();         // zeroes the enumeration flags (the runtime stops)
    uint32_t (*delete_program)();  // deletes the stored IEC code file, 1 done
    uint32_t (*delete_retain)();   // deletes the IEC retain file, 1 done
    void (*cycle)();               // one application cycle
    // The running application's retained variables, through the runtime's
    // warm-restart save and load (form IEC_RETAIN_BACKUP) or its retain-file
    // write and checked load (IEC_RETAIN_CLONE); 1 done, 0 not (no
    // application, no file, a file of another application).
    uint32_t (*retain_save)(const char *path, uint32_t form);
    uint32_t (*retain_load)(const char *path, uint32_t form);
};
constexpr uint32_t IEC_RETAIN_BACKUP = 0, IEC_RETAIN_CLONE = 1;
extern IecHooks iec_hooks;
inline uint32_t IecHook_Init() { return iec_hooks.init ? iec_hooks.init() : 0; }
inline void IecHook_Exit() { if (iec_hooks.exit) iec_hooks.exit(); }
inline void IecHook_ClearFlags() { if (iec_hooks.clear_flags) iec_hooks.clear_flags(); }
inline uint32_t IecHook_DeleteProgram() { return iec_hooks.delete_program ? iec_hooks.delete_program() : 0; }
inline uint32_t IecHook_DeleteRetain() { return iec_hooks.delete_retain ? iec_hooks.delete_retain() : 0; }
inline void IecHook_Cycle() { if (iec_hooks.cycle) iec_hooks.cycle(); }
inline uint32_t IecHook_RetainSave(const char *path, uint32_t form) {
    return iec_hooks.retain_save ? iec_hooks.retain_save(path, form) : 0;
}
inline uint32_t IecHook_RetainLoad(const char *path, uint32_t form) {
    return iec_hooks.retain_load ? iec_hooks.retain_load(path, form) : 0;
}

// Shuts the IEC runtime down and marks no application in use.
void DrevanoStop();
