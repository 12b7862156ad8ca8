// Data logger and debug logger as seen by the controller modes and the scan.
// placeholder until the data logger and the debug logger land
// (media/datalog_placeholder.cpp).
#pragma once

// Start when the controller leaves mode 0, stop when it enters it, one step
// per scan in modes 1 to 4. Placeholders: do nothing.
void LOG_Start();
void LOG_Stop();
void LOG_Update();
// Debug logger step per scan. Placeholder: does nothing.
void DLOG_Update();
