// placeholder until the data logger and the debug logger land.
#include "media/datalog.h"

void LOG_Start() {}
void LOG_Stop() {}
void LOG_Update() {}
void DLOG_Update() {}
