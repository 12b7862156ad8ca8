// placeholder until register backup lands: no backup action is ever taken
// up from word 291.
#include "core/backup.h"

void FailSafeFlagCheck() {}
void ManualRestoreExecute() {}
