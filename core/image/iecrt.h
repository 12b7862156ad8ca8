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
// How retained values travel: the runtime's warm-restart file (the register
// backup), its retain file with the application's check (a clone), or the
// warm-restart file written from the fatal-signal path (no lock waited for,
// nothing allocated; not written while the runtime is at work).
enum class IecRetainForm : uint8_t { Backup, Clone, Signal };
struct IecHooks {
    void (*init)();            // one-time start after a program with IEC code was loaded
    void (*exit)();            // shuts the runtime down
    void (*clear_flags)();     // zeroes the enumeration flags (the runtime stops)
    bool (*delete_program)();  // deletes the stored IEC code file; true done
    bool (*delete_retain)();   // deletes the IEC retain file; true done
    void (*cycle)();           // one application cycle
    // The running application's retained variables saved to or loaded from
    // path; true done, false not (no application, no file, a file of
    // another application).
    bool (*retain_save)(const char *path, IecRetainForm form);
    bool (*retain_load)(const char *path, IecRetainForm form);
};
extern IecHooks iec_hooks;
inline void IecHook_Init() {
    if (iec_hooks.init) iec_hooks.init();
}
inline void IecHook_Exit() {
    if (iec_hooks.exit) iec_hooks.exit();
}
inline void IecHook_ClearFlags() {
    if (iec_hooks.clear_flags) iec_hooks.clear_flags();
}
inline bool IecHook_DeleteProgram() { return iec_hooks.delete_program && iec_hooks.delete_program(); }
inline bool IecHook_DeleteRetain() { return iec_hooks.delete_retain && iec_hooks.delete_retain(); }
inline void IecHook_Cycle() {
    if (iec_hooks.cycle) iec_hooks.cycle();
}
inline bool IecHook_RetainSave(const char *path, IecRetainForm form) {
    return iec_hooks.retain_save && iec_hooks.retain_save(path, form);
}
inline bool IecHook_RetainLoad(const char *path, IecRetainForm form) {
    return iec_hooks.retain_load && iec_hooks.retain_load(path, form);
}

// Shuts the IEC runtime down and marks no application in use.
void DrevanoStop();
