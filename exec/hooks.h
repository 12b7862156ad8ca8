// The one place where the executive connects the floors below it to the
// services above them.
#pragma once

// Fills every hook table of the lower floors; first step of start-up.
void Exec_InstallHooks();
// The port instructions of the ladder engine and the IEC blocks on the Talk
// layer, and the messaging service's hands-off flag: filled when start-up
// has opened the serial ports (before that, and in tests that do not ask
// for them, the ladder port instructions are absent).
void Exec_LinkMessaging();
