// placeholder until the ladder engine lands: every scan ends at once.
#include "ladder/ladder.h"

uint8_t RegTokLen_16b = 1;

int32_t LogicUpdate() { return -1; }
