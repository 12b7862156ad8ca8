// The protocol manager: up to two loadable protocol drivers delivered with
// the user program in the protocol-manager table, their scan lists of block
// transfers between register image and devices, on the programming port.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "protocols/pmgr_drv.h"

// Protocol-manager table of the user program (the data of its memory file);
// its third 32-bit word is the number of loaded drivers (served only when 1
// or 2). Null while no table is in force.
extern uint8_t *promgr_table;

constexpr uint32_t PMGR_DRIVERS = 2, PMGR_COMMANDS = 512, PMGR_DEVICES = 128, PMGR_TIMERS = 8;
constexpr uint32_t PMGR_SEG_WORDS = 16384;  // 32 KB data segment per driver
constexpr uint32_t PMGR_TABLE_MIN = 48;

// Port arbitration of the programming port, above this floor; the executive
// fills it. Unset: the port is never claimed (claim refused).
struct PmgrHooks {
    bool (*talk_override)(uint32_t port);  // true: claimed
    void (*talk_release)(uint32_t port);
};
extern PmgrHooks pmgr_hooks;

// Protocol version word of the driver record serving an Ethernet group (the
// first record's when none does, 313 without a table); the network layer's
// virtual ports announce it.
uint16_t Pmgr_GroupVersion(uint32_t group);
// States of a device (PmgrDevice::state).
enum : uint16_t {
    PMGR_DEV_OK = 0,
    PMGR_DEV_RECOVERING = 1,
    PMGR_DEV_FAULT = 2,
    PMGR_DEV_REPORTED = 3,
    PMGR_DEV_FAULTED = 4
};
// States of a driver's scan cycle (PmgrDcb::state).
enum : uint16_t {
    PMGR_IDLE = 0,
    PMGR_CYCLE_START = 1,
    PMGR_RUNNING = 2,
    PMGR_FED = 3,
    PMGR_PERIOD_WAIT = 4,
    PMGR_TRIGGER_WAIT = 5
};

struct PmgrDevice {
    uint8_t *status;  // status pair (error code, failing command index), null none
    uint16_t err;
    uint8_t latched;
    uint16_t remaining;
    uint16_t state;      // PMGR_DEV_*
    uint32_t time;       // sysDTic
    PmgrCommand *owner;  // command owning the retry sequence
    const uint8_t *cfg;  // the driver's configuration block
    const uint8_t *entry;
    const uint8_t *disable;  // device disable bit's byte, null none
    uint8_t disable_mask;
};

struct PmgrDcb {
    uint16_t port;
    uint16_t state;                             // PMGR_IDLE ... PMGR_TRIGGER_WAIT
    uint16_t *data;                             // 32 KB data segment
    std::array<uintptr_t, PMGR_H_SLOTS> entry;  // header slots as loaded
    uint32_t free_running;
    std::array<uintptr_t, PMGR_S_SLOTS> svc;
    const uint8_t *cfg;
    uint32_t ncmd, ndev;
    uint8_t *status_area;  // 4 words, null none
    uint16_t cycle;        // cycle time (ms) or overrun count
    uint16_t status2;
    uint32_t cycle_start;
    uint32_t period;
    uint32_t retry_delay;
    uint16_t cfg_flags;
    uint8_t *trig;  // driver trigger bit byte, null none
    uint8_t trig_mask;
    uint8_t *trig_value;  // trigger-value word, null none
    uint16_t saved_trig;
    uint16_t ctl_req, ctl_result;
    void *ctl_arg;
    uint32_t resume;
    uint32_t handover;  // bit address of the port hand-over bit, 0 none
};

extern std::array<PmgrDcb, PMGR_DRIVERS> dcb;
extern std::array<std::array<PmgrCommand, PMGR_COMMANDS>, PMGR_DRIVERS> mcb;
extern std::array<std::array<PmgrDevice, PMGR_DEVICES>, PMGR_DRIVERS> scb;
extern std::array<uint16_t, 2 * PMGR_SEG_WORDS> dataSeg;
extern std::array<uint16_t, 2 * PMGR_SEG_WORDS> drvData;
extern std::array<uintptr_t *, PMGR_DRIVERS> pExecHdr_info;
extern std::array<void *, PMGR_DRIVERS> LibHandle;
extern uint8_t PromgrDriversLoaded;

struct PmgrTimer {
    uint32_t start;
    uint16_t remaining;
    uint16_t used;
};
extern std::array<PmgrTimer, PMGR_TIMERS> tcb;

// One service pass of driver index's command list (index 0 or 1).
void PMGR_TheLoop(uint32_t index);
// Loads the drivers of the table when the controller leaves mode 0.
void PMGR_Start();
// Stops every loaded driver when the controller enters mode 0.
void PMGR_Stop();
// Exchanges the drivers' register blocks once per scan in modes 1 to 4.
void PMGR_Scan();
// Writes driver image n to its file and opens it; 1 done, 0 when refused.
uint32_t PMGR_Config(uint32_t n);

// Driver information for a display: count slots of PMGR_INFO_SLOT characters
// (bounded by the buffer), "(None Loaded)" or the name and version of the
// driver whose configured port numbers the slot.
constexpr uint32_t PMGR_INFO_SLOT = 50;
void PMGR_GetDrvInfo(std::span<char> buffer, uint32_t count);

// Link entries for IEC register bindings: the manager keeps no links of its
// own, so resetting answers its argument, a link answers 0 and loading or
// NoAction do nothing.
inline uint32_t PMGR_ResetLinks(uint32_t x) { return x; }
inline uint32_t PMGR_LinkReg() { return 0; }
inline void PMGR_LoadLinks() {}
inline void NoAction() {}

// Timer services of the drivers.
intptr_t CreateTimer();
intptr_t WriteTimer(intptr_t t, intptr_t ms);
intptr_t ReadTimer(intptr_t t);
intptr_t CloseTimer(intptr_t t);
