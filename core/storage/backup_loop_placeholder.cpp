// placeholder until register backup lands: no backup action is ever taken
// up from word 291.
#include "core/storage/backup.h"

void FailSafeFlagCheck() {}
void ManualRestoreExecute() {}
uint32_t z7_reg_store_backup() { return 0; }
uint32_t z7_reg_load_backup() { return 0; }
