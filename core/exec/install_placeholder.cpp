// placeholder until installation and update land: the installation shows its
// endless "cannot install" LED signal.
#include "core/exec/install.h"

#include <cstdio>
#include <unistd.h>

#include "core/exec/mainloop.h"
#include "core/image/timebase.h"

void GPIOInit() {}
uint32_t UpdateKernFirmApplic(uint32_t, uint32_t) { return 0x20; }

void InstallBoot() {
    std::printf("Installation from removable media is not available\n");
    std::fflush(stdout);
    Flashcount = 255;
    while (!Main_StopRequested) {
        TimerISR();
        usleep(10000);
    }
}
