// Start-up and the polled main loop.
#pragma once

#include <csignal>
#include <cstdint>

extern uint8_t BootMode;
extern uint32_t WatchDogDisable;
extern uint8_t Sys_AppLoad, Sys_AutoLoad, Sys_ALstmcInited;
extern uint32_t systick;
extern volatile sig_atomic_t Main_StopRequested;  // SIGTERM / SIGINT: end cleanly

int Main_Run(int argc, char **argv);
void The_Loop();
void ExecuteSubLoop_Wait();
void ExecutePMGR_Loop();
void DebugMsg(const char *text);
