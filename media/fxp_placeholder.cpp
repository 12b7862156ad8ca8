// placeholder until the file-transfer host lands: every file command is
// answered with the reply for "no transfer possible".
#include "media/fxp.h"

namespace {
constexpr int32_t kNoHost = 653;
}

void Fxp_Initialise() {}
int32_t Fxp_DoParseCommand(const char *, int32_t *extra) {
    if (extra) *extra = -1;
    return kNoHost;
}
int32_t Fxp_DoWriteData(const uint8_t *, uint32_t) { return kNoHost; }
int32_t Fxp_DoReadData(uint8_t *, uint32_t) { return kNoHost; }
void FxpMain(uint32_t) {}
