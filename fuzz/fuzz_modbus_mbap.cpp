// Feeds arbitrary bytes to the Modbus server's request handling as one
// received frame (of at most the request buffer), in the ladder mapping with
// the 16-bit or the extended register layout, and builds the read answer a
// request leaves pending.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/image/plcreg.h"
#include "net/dpr.h"
#include "net/enet.h"
#include "protocols/modbus.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool once = [] {
        Dpr_Init();
        return true;
    }();
    (void)once;
    if (size < 1) return 0;
    // Byte 0: layout and write inhibit.
    T_token = (data[0] & 1) ? 0x10008000u : 12288u;
    M_token = (data[0] & 1) ? 0x1001C000u : 14336u;
    Dpr_Configuration[0].modbus.map_word = (data[0] & 2) ? 14336u + 1999u : 0u;
    plc_reg[14336 / 8 + 1999 / 8] = (data[0] & 4) ? 0xFF : 0;
    const size_t n = std::min<size_t>(size - 1, MODBUS_RX_MAX);
    std::memcpy(ModbusRxBuff.data(), data + 1, n);
    ModbusConnEth[0].slots[0].read_pending = 0;
    const uint32_t answer = ModbusRequest(0, 0, uint32_t(n));
    if (answer > MODBUS_TX_MAX) std::abort();
    if (ModbusConnEth[0].slots[0].read_pending && ModbusReadAnswer(0, 0) > 9 + 255) std::abort();
    return 0;
}
