// Shared between the implementations of the platform layer only.
#pragma once

extern int plat_argc;
extern char **plat_argv;

// Appends one line to sim/commands.log under the root.
void PlatHost_Log(const char *line);
