// Feeds arbitrary bytes to the serial Modbus receiver (RTU, ASCII or MBAP
// framing by byte 0), byte by byte with end-of-frame events where the input
// holds 0xFF 0xFE, and hands every accepted frame to the slave's request
// processing or, as an answer, to the master's answer processing with the
// request record of bytes 1..12.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/image/plcreg.h"
#include "protocols/mbserial.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 13) return 0;
    const uint8_t sel = data[0];
    RegTokLen_16b = sel & 1;
    ModbusPcb &c = pcb[0];
    c = ModbusPcb{};
    c.sys_active = 1;
    c.parm.status = &plc_reg[4000];
    c.parm.data = &plc_reg[4100];
    std::memcpy(c.parm.data, data + 1, 12);
    std::memcpy(c.proto.req.data(), data + 1, 12);
    ModbusProto &m = c.proto;
    m.mode = uint8_t(((sel & 2) ? MOD_ASCII : 0) | ((sel & 4) ? MOD_MASTER : 0));
    m.rx_state = (sel & 2) ? 5 : 0;
    m.station = (sel & 8) ? uint16_t(0x1100 | data[1]) : 0x11;
    ModbusTCP_St.flags = (sel & 16) ? 1 : 0;
    // The forward table: two entries of the input's bytes 3..6.
    c.parm.ext = {0, 2};
    c.parm.forward = data + 3;
    for (size_t i = 13; i < size; i++) {
        uint32_t got;
        if (data[i] == 0xFF && i + 1 < size && data[i + 1] == 0xFE) {
            got = MOD_RxEnd(m);
            i++;
        } else {
            got = MOD_RxByte(m, data[i]);
        }
        if (!got) continue;
        if (m.length > MOD_BUF_TCP) std::abort();
        if (m.mode & MOD_MASTER) {
            MOD_RspProcess(c);
            uint16_t err = 0;
            if (MOD_ReqBuild(c, &err) > MOD_BUF - 2) std::abort();
        } else if (MOD_ReqProcess(c) > MOD_BUF - 2) {
            std::abort();
        }
    }
    return 0;
}
