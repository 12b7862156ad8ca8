// Linux service control of the Ethernet manager: commands to the service
// script's pipe, the service enable and FTP account files, the network time
// step, the restart-request bits of the system registers and the HTTP port
// hand-over to the web HMI server. Effects above the network floor go through
// NetSvc_Hooks, which the executive fills at start-up.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/image/bytes.h"
#include "core/image/plcreg.h"

// Life cycle of the web HMI server (webhmi/weblife.cpp runs it). A stop or
// start is requested by setting the state; the server thread moves it on.
enum class TavixState : uint8_t {
    StopRequested = 0,   // only the running thread acts on it, between cycles
    Stopped = 1,         // no server thread (the state at power-up)
    StartRequested = 2,  // main's web step creates the thread
    Starting = 3,        // the thread is setting the server up
    Running = 4,
};

struct NetSvcHooks {
    int (*script_pipe)();                                // write end of the script's pipe, -1 none
    bool (*script_absent)();                             // while no service script runs
    void (*utc_from_system)(uint32_t sec, uint32_t ms);  // network time into the UTC record
    TavixState (*web_state)();                           // the web HMI server's life-cycle state
    void (*web_state_set)(TavixState state);
    bool (*web_thread)();     // while its thread exists
    uint8_t (*web_ftping)();  // 1 while a web project upload runs
    void (*web_ftping_set)(uint8_t v);
    void (*egd_restart)(uint32_t iface);  // EGD de-initialise and initialise
    bool (*email_disconnect)();           // true once the e-mail connection has ended
    void (*watchdog_kick)();
};
extern NetSvcHooks NetSvc_Hooks;

// Restart-request words: register image bytes 566 (eth0) and 560 (eth1).
constexpr std::size_t SVC_RESTART_ETH0 = 566, SVC_RESTART_ETH1 = 560;
// A restart whose daemon or server has not come back after this many ms is
// asked again; its request stays pending until it does.
constexpr uint32_t SVC_MARKER_GIVE_UP_MS = 30000;
// The hand-over waits for the web server's thread at most this many ms (across passes).
constexpr uint32_t SVC_HANDOVER_WAIT_MS = 3000;

extern uint8_t MasterRestartOn;
extern uint32_t NTP_LastSysSec;
extern uint16_t prot_run_bit;
extern uint16_t reset_flg;

// Writes exactly n bytes of a command to the script's pipe (when there is
// one); a failed write prints the system error with what. 1 written, 0 not.
uint32_t Svc_PipeWrite(const char *text, std::size_t n, const char *what);
// Configuration change: stopall, re-parse, service files, startall, EGD and
// Modbus, then the HTTP hand-over (finished by Svc_HandoverStep).
void Svc_ConfigChange();
// Rewrites main_conf and the FTP account files from interface 0's record.
void Svc_WriteServiceFiles();
// The DNS command for a changed DNS server (address in host order).
void Svc_DnsSet(uint32_t dns);
// Step 6 of the pass: address-change commands and the network time step.
void Svc_AddressAndTime();
// A pending HTTP hand-over: waits (bounded) for the web server's thread.
void Svc_HandoverStep();
extern uint8_t Svc_HandoverPending;  // a hand-over waits: Svc_HandoverStep has work
// Step 10 of the pass: the restart-request bits.
void Svc_RestartRequests();
// Whether a restart-request bit is set, or a restart is under way
// (Svc_RestartRequests has work).
inline bool Svc_RestartAsked() {
    return (LE_Get16(&plc_reg[SVC_RESTART_ETH0]) & 0x3B) != 0 || (LE_Get16(&plc_reg[SVC_RESTART_ETH1]) & 0x0B) != 0 ||
           prot_run_bit != 0;
}
// Clears the module's state (start-up and tests).
void Svc_Reset();
