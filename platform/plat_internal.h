// Shared between the implementations of the platform layer only.
#pragma once

#include <cstddef>

extern int plat_argc;
extern char **plat_argv;

// Appends one line to sim/commands.log under the root.
void PlatHost_Log(const char *line);
// The same, safe in a signal handler: one write, no lock, never waits for a
// log that cannot take the line at once.
void PlatHost_LogNow(const char *line);
// PLC_RESET=exit was asked for (read once by PLAT_Init).
extern bool plat_reset_exit;
// Ends every registered child by its process id; safe in a signal handler.
void PlatChildKillAllNow();
// Appends text to buf (of size cap, at *len); safe in a signal handler.
void PlatAppend(char *buf, std::size_t cap, std::size_t *len, const char *text);
void PlatAppendU(char *buf, std::size_t cap, std::size_t *len, unsigned value);
