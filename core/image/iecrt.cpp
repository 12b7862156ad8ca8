// The IEC runtime's state as the register image sees it (see iecrt.h).
#include "core/image/iecrt.h"

uint8_t DrevanoRuntime;
// The doubled "ed" is part of the name other modules and tools use.
uint8_t drevano_variables_enumerateded = 0;
std::array<uint8_t, 76> tinyImage{};
IecHooks iec_hooks;

void DrevanoStop() {
    IecHook_Exit();
    IecHook_ClearFlags();
    DrevanoRuntime = 0;
}
