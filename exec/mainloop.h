// Start-up and the polled main loop: every service is stepped once per pass.
#pragma once

#include <array>
#include <csignal>
#include <cstdint>
#include <pthread.h>
#include <sys/types.h>

#include "core/image/tx.h"
#include "core/image/syshook.h"

extern uint8_t BootMode;                       // started for an installation from removable media
extern uint32_t WatchDogDisable;               // the hardware watchdog must not be opened
extern uint32_t systick;                       // tchTic at the last auto-save
extern std::array<int, 2> MasterScriptPipefd;  // pipe to the service script
extern pid_t WDmainPid;                        // process id of the controller
extern pthread_t Main_Thread;                  // the thread that runs the loop

// The longest wait between two passes when nothing reports (an idle loop
// stays cool; input, or work queued for the next pass, ends it at once).
constexpr uint32_t MAIN_PASS_WAIT_US = 1000;

// Start-up, the loop, and the clean end on SIGTERM/SIGINT (answers 0), or
// -1 when the open-file limit cannot be read or set.
int Main_Run(int argc, char **argv);
// The start-up sequence alone: 0 ready for the loop, -1 when the open-file
// limit cannot be read or set, 1 when the installation came back on a stop
// request.
int Main_Startup(int argc, char **argv);
// One pass of the loop.
void The_Loop();
// The work after each pass: the MQTT supervisor and the web HMI's step.
void Main_AfterPass();
// The wait between two passes (at most MAIN_PASS_WAIT_US; input ends it),
// then what came during it is taken for the next pass.
void Main_Wait();
// One more pass for a routine that waits; nesting is bounded.
void ExecuteSubLoop_Wait();
constexpr int SUBLOOP_MAX_DEPTH = 8;
extern int SubLoop_Depth;
// The loaded protocol drivers' command lists.
void ExecutePMGR_Loop();
// Status bits of bytes 64 and 65 derived from word 131 and the force table.
void Main_StatusBits();
// Body of the watchdog thread.
void *WatchdogScan(void *arg);
// One check of the watchdog thread: with the watchdog open and its time left
// between 400 and 1000, saves the register image and answers 1.
uint32_t WatchdogScan_Check();
// Prints the text and a newline.
void DebugMsg(const char *text);
// 0 disarms the interval timer; 1 arms it once for word 294 ms.
void Enable_Interrupt(uint32_t on);
// Writes one service command to the service script. A script that has ended
// or does not read loses the command: 1 when written, 0 when dropped.
uint32_t MasterScript_Send(const char *line);
