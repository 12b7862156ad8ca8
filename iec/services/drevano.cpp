// The IEC runtime's embedding. Until the runtime itself is built only the
// bit helpers, the path helper and the file deletions do real work; the rest
// answers as a controller with no IEC application.
#include "iec/services/drevano.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "platform/plat.h"

uint8_t drevano_variables_enumerateded = 0;
uint8_t DrevanoS9 = 0;
uint16_t iVmAlive = 0;

// placeholder until the IEC runtime services land
void Drevano_init() {}
// placeholder until the IEC runtime services land
void __Exit() {}
// placeholder until the IEC runtime services land
void ClearDrevanoFlags() {}
// placeholder until the IEC runtime services land
void _VMThread() {}
// placeholder until the IEC runtime services land
void Drevano_Comm_service() {}

// placeholder until the IEC runtime services land
void DrevanoUpdateWordSRRegs() {}
// placeholder until the IEC runtime services land
void DrevanoUpdateBitSysRegs() {}
// placeholder until the IEC runtime services land
void DrevanoUpdateBitInputRegs() {}
// placeholder until the IEC runtime services land
void DrevanoUpdateWordInputRegs() {}
// placeholder until the IEC runtime services land
void DrevanoUpdateBitOutputRegs() {}
// placeholder until the IEC runtime services land
void DrevanoUpdateWordOutputRegs() {}

// placeholder until the IEC runtime services land: no database is loaded
uint8_t *DrevanoCalculateVmDbAddress(uint32_t, uint32_t) { return nullptr; }

void Drevano_Bit_To_Byte(const uint8_t *bits, uint8_t *bytes, uint32_t count)
{
    for (uint32_t i = 0; i < count; i++)
        bytes[i] = (bits[i / 8] >> (i % 8)) & 1;
}

void Drevano_Byte_To_Bit(const uint8_t *bytes, uint8_t *bits, uint32_t count)
{
    for (uint32_t i = 0; i < count; i++) {
        const uint8_t mask = uint8_t(1u << (i % 8));
        if (bytes[i])
            bits[i / 8] |= mask;
        else
            bits[i / 8] &= uint8_t(~mask);
    }
}

namespace {
constexpr char kRuntimeFolder[] = "/mnt/cfg/";
constexpr std::size_t kFullPathMax = 254;

// Removes a file of the configuration flash; 1 removed, 0 absent, -1 failed.
int RemoveCfgFile(const char *abs)
{
    char path[600];
    if (!PLAT_Path(abs, path, sizeof path))
        return -1;
    if (unlink(path) == 0)
        return 1;
    return errno == ENOENT ? 0 : -1;
}
}  // namespace

char *Z7_GetFullPath(const char *name, char *out)
{
    if (!name || !out || !name[0])
        return nullptr;
    const std::size_t folder = sizeof kRuntimeFolder - 1;
    const std::size_t len = strlen(name);
    if (folder + len > kFullPathMax)
        return nullptr;
    memcpy(out, kRuntimeFolder, folder);
    memcpy(out + folder, name, len + 1);
    return out;
}

// placeholder until the IEC runtime services land
void Z7_Connect_Serial() {}
// placeholder until the IEC runtime services land
void Z7_Connect_Ethernet() {}

uint32_t DeleteDrevanoProgram()
{
    return RemoveCfgFile("/mnt/cfg/z7.cod") >= 0 ? 1 : 0;
}

uint32_t DelDrevanoRetentiveFile()
{
    return RemoveCfgFile("/mnt/cfg/z7.ret") == 1 ? 1 : 0;
}
