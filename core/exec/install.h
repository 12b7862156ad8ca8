// Installation from removable media and the board's pin set-up.
// placeholder until installation and update land (core/exec/install_placeholder.cpp).
#pragma once

#include <cstdint>

// Pin-control set-up of the board. Placeholder: does nothing.
void GPIOInit();
// Installation from removable media, started with one command-line argument.
// It ends in a reset or an endless LED signal and does not come back; the
// placeholder shows the endless signal and returns only when the process is
// asked to stop.
void InstallBoot();
// Update from the removable media on a LOAD press: 0 while still working,
// else the result bits (0x20: nothing found).
uint32_t UpdateKernFirmApplic(uint32_t sample, uint32_t tick);
// After a download of the MAC image: stores it and sets the interface address.
void SaveAndSetMACID();
