// The executive's hook table, filled by the executive at start-up.
#include "core/image/syshook.h"

SysHooks sys_hooks;
volatile sig_atomic_t Main_StopRequested;
