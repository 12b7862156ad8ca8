// Calls from the floors below the executive up into it: mode changes, resets,
// re-configuration, the watchdog and waiting loops. The executive fills
// sys_hooks once at start-up (exec/hooks.cpp); while a hook is unset its call
// does what a controller without that executive service does: nothing (a
// question answers 0).
#pragma once

#include <csignal>
#include <cstdint>

struct SysHooks {
    void (*set_plc_mode)(uint32_t mode);  // controller mode change
    void (*warm_reset)();                 // warm reset of the controller
    void (*net_init)();                   // restart of the CAN network node
    bool (*io_config)();                  // slot check of the I/O configuration, true when out of order
    void (*net_config)();                 // applies the network configuration block
    void (*net_io_config)();              // re-applies a changed network and I/O configuration
    void (*port_init)(uint8_t protocol);  // protocol of the programming port
    bool (*save_and_set_macid)();         // stores a downloaded MAC image, true done
    void (*start_watchdog)();
    void (*stop_watchdog)();
    void (*tickle_watchdog)();
    void (*subloop_wait)();  // one more main-loop pass for a routine that waits
    void (*enable_interrupt)(uint32_t on);
    // Battery-backed image of the command protocol: bytes copied, 0 refused.
    uint32_t (*read_bbr)(uint8_t *out, uint32_t offset, uint32_t length);
    uint32_t (*write_bbr)(const uint8_t *data, uint32_t offset, uint32_t length);
    bool (*command_idle)();  // while no command of the command protocol is under way
    // Puts the running system's kernel revision text and start-up image
    // version into the register image (after an image from elsewhere was loaded).
    void (*system_variables)();
};
extern SysHooks sys_hooks;

// SIGTERM / SIGINT arrived: the main loop ends cleanly and routines that
// wait give up.
extern volatile sig_atomic_t Main_StopRequested;

inline void SysHook_SetPlcMode(uint32_t mode) {
    if (sys_hooks.set_plc_mode) sys_hooks.set_plc_mode(mode);
}
inline void SysHook_WarmReset() {
    if (sys_hooks.warm_reset) sys_hooks.warm_reset();
}
inline void SysHook_NetInit() {
    if (sys_hooks.net_init) sys_hooks.net_init();
}
inline bool SysHook_IoConfig() { return sys_hooks.io_config && sys_hooks.io_config(); }
inline void SysHook_NetConfig() {
    if (sys_hooks.net_config) sys_hooks.net_config();
}
inline void SysHook_NetIoConfig() {
    if (sys_hooks.net_io_config) sys_hooks.net_io_config();
}
inline void SysHook_PortInit(uint8_t protocol) {
    if (sys_hooks.port_init) sys_hooks.port_init(protocol);
}
inline bool SysHook_SaveAndSetMACID() { return sys_hooks.save_and_set_macid && sys_hooks.save_and_set_macid(); }
inline void SysHook_StartWatchdog() {
    if (sys_hooks.start_watchdog) sys_hooks.start_watchdog();
}
inline void SysHook_StopWatchdog() {
    if (sys_hooks.stop_watchdog) sys_hooks.stop_watchdog();
}
inline void SysHook_TickleWatchdog() {
    if (sys_hooks.tickle_watchdog) sys_hooks.tickle_watchdog();
}
inline void SysHook_SubLoopWait() {
    if (sys_hooks.subloop_wait) sys_hooks.subloop_wait();
}
inline void SysHook_EnableInterrupt(uint32_t on) {
    if (sys_hooks.enable_interrupt) sys_hooks.enable_interrupt(on);
}
inline void SysHook_SystemVariables() {
    if (sys_hooks.system_variables) sys_hooks.system_variables();
}
inline bool SysHook_CommandIdle() { return sys_hooks.command_idle == nullptr || sys_hooks.command_idle(); }
inline uint32_t SysHook_ReadBbr(uint8_t *out, uint32_t offset, uint32_t length) {
    return sys_hooks.read_bbr ? sys_hooks.read_bbr(out, offset, length) : 0;
}
inline uint32_t SysHook_WriteBbr(const uint8_t *data, uint32_t offset, uint32_t length) {
    return sys_hooks.write_bbr ? sys_hooks.write_bbr(data, offset, length) : 0;
}
