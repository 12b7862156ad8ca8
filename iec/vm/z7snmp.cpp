// SNMP agent link: loads the optional agent library and answers its
// questions about the running application from the status record.
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "iec/vm/z7clone.h"
#include "iec/vm/z7vm.h"
#include "platform/plat_dl.h"

const char *Z7RT_SnmpLibrary = "libz7snmp.so";

namespace {
uint32_t snmp_db = 0, snmp_instance = 0;
void *snmp_lib = nullptr;
Z7SnmpStopFn snmp_stop = nullptr;

uint32_t Text(char *out, uint32_t size, const char *text) {
    if (out == nullptr || size == 0) return 1;
    const size_t n = std::strlen(text) < size - 1 ? std::strlen(text) : size - 1;
    std::memcpy(out, text, n);
    out[n] = 0;
    return 1;
}
}  // namespace

void Z7RT_SetDB(uint32_t db) { snmp_db = db; }

uint32_t Z7RT_SnmpAnswer(void *, uint32_t instance, uint32_t item, char *out, uint32_t size) {
    if (instance != snmp_instance || item < 1 || item > 7) return 0;
    const uint32_t st = Z7VM_Status(snmp_db);
    if (st == 0) return Text(out, size, item <= 5 ? "0" : "");
    char t[32];
    switch (item) {
    case 1: return Text(out, size, "1");
    case 2: {
        const uint16_t f = Z7St_Flags(snmp_db);
        return Text(out, size, (f & Z7F_RUN) ? "1" : (f & Z7F_STOPPED) ? "2" : (f & Z7F_STEP) ? "3" : "4");
    }
    case 3:
    case 4: {
        std::snprintf(t, sizeof t, "%ld", long(Z7Mem_Get32(st + (item == 3 ? ST_LONGEST : ST_PERIOD)) / 1000));
        return Text(out, size, t);
    }
    case 5: std::snprintf(t, sizeof t, "%ld", long(Z7Mem_Get32(st + ST_OVERRUNS))); return Text(out, size, t);
    case 6: {
        char name[17] = {};
        std::memcpy(name, Z7Mem_Ptr(st + ST_NAME, 16), 16);
        return Text(out, size, name);
    }
    default: std::snprintf(t, sizeof t, "%ld", long(int32_t(Z7Mem_Get32(st + ST_APP4)))); return Text(out, size, t);
    }
}

uint32_t Z7RT_LoadSnmp(uint32_t arg, const char *mib_folder) {
    Z7RT_UnloadSnmp();
    const char *error = "";
    void *lib = PLAT_DlOpenNow(Z7RT_SnmpLibrary, &error);
    if (lib == nullptr) {
        std::printf("\nLoading Z7snmp lib failed:%s\n", error);
        return 0;
    }
    static const char *const kNames[] = {"Z7SNMP_SetFolderMIB", "Z7SNMP_StartAgent", "Z7SNMP_StopAgent", nullptr};
    void *slots[3] = {};
    if (PLAT_DlResolve(lib, kNames, slots) != nullptr) {
        PLAT_DlClose(lib);  // a library without every entry point is not used
        return 0;
    }
    snmp_lib = lib;
    snmp_stop = reinterpret_cast<Z7SnmpStopFn>(slots[2]);
    snmp_instance = arg;
    reinterpret_cast<Z7SnmpSetFolderFn>(slots[0])(mib_folder);
    reinterpret_cast<Z7SnmpStartFn>(slots[1])(arg, Z7RT_SnmpAnswer, nullptr);
    return 1;
}

uint32_t Z7RT_UnloadSnmp() {
    if (snmp_lib != nullptr) {
        if (snmp_stop) snmp_stop();
        PLAT_DlClose(snmp_lib);
    }
    snmp_lib = nullptr;
    snmp_stop = nullptr;
    return 1;
}
