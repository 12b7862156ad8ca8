// The one place where the executive connects the floors below it to the
// services above them.
#pragma once

// Fills every hook table of the lower floors; first step of start-up.
void Exec_InstallHooks();
