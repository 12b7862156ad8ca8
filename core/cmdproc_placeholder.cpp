// Weak stand-ins for services the commands call whose modules have not landed
// yet; the real definitions replace them without a change here.
// placeholder until the installation and register-backup modules land
#include <cstdint>

__attribute__((weak)) void SaveAndSetMACID() {}
__attribute__((weak)) uint32_t z7_reg_store_backup() { return 0; }
__attribute__((weak)) uint32_t z7_reg_load_backup() { return 0; }
