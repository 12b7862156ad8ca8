/* Stand-in SNMP agent library for the IEC tests: records what it is given
   and asks the runtime's answer callback on request. Built once with every
   entry point (libz7snmp.so) and once without Z7SNMP_StopAgent. */
#include <stdint.h>
#include <string.h>

typedef uint32_t (*AnswerFn)(void *data, uint32_t instance, uint32_t item, char *out, uint32_t size);

static char folder[256];
static uint32_t started_arg, stops;
static AnswerFn answer;
static void *answer_data;

uint32_t Z7SNMP_SetFolderMIB(const char *f) {
    strncpy(folder, f ? f : "", sizeof folder - 1);
    return 1;
}
uint32_t Z7SNMP_StartAgent(uint32_t arg, AnswerFn fn, void *data) {
    started_arg = arg;
    answer = fn;
    answer_data = data;
    return 1;
}
#ifndef Z7SNMP_NO_STOP
void Z7SNMP_StopAgent(void) {
    stops++;
    answer = 0;
}
#endif

/* Test side. */
const char *Z7SNMPTest_Folder(void) { return folder; }
uint32_t Z7SNMPTest_Arg(void) { return started_arg; }
uint32_t Z7SNMPTest_Stops(void) { return stops; }
uint32_t Z7SNMPTest_Ask(uint32_t instance, uint32_t item, char *out, uint32_t size) {
    return answer ? answer(answer_data, instance, item, out, size) : 0xFFFFFFFFu;
}
