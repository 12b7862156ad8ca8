// Installation from removable media and the board's pin set-up.
// placeholder until installation and update land (core/install_placeholder.cpp).
#pragma once

// Pin-control set-up of the board. Placeholder: does nothing.
void GPIOInit();
// Installation from removable media, started with one command-line argument.
// It ends in a reset or an endless LED signal and does not come back; the
// placeholder shows the endless signal and returns only when the process is
// asked to stop.
void InstallBoot();
