// placeholder until the board's pin set-up lands: the SoC register window is
// mapped by the platform layer on first use.
#include "core/exec/install.h"

void GPIOInit() {}
