// Loads a messaging block from the input (u16 section length, the SMS
// section, then a received message text), starts the SMS engine on it and,
// when the block passes its checks, formats every data field, parses the
// text against every receive command and runs send steps with every
// trigger set.
#include <cstdint>
#include <cstring>

#include "core/image/bytes.h"
#include "core/image/plcreg.h"
#include "core/storage/memfile.h"
#include "core/storage/nvram.h"
#include "io/io.h"
#include "messaging/atcmd.h"
#include "messaging/sms.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    size_t n = LE_Get16(data);
    if (n > size - 2) n = size - 2;
    if (n > SMS_TABLE_BL_SIZE - 8) n = SMS_TABLE_BL_SIZE - 8;
    const uint8_t *text = data + 2 + n;
    const size_t tlen = size - 2 - n;
    sms_table_bl.fill(0);
    LE_Put32(&sms_table_bl[0], uint32_t(size));
    LE_Put32(&sms_table_bl[4], uint32_t(n));
    std::memcpy(&sms_table_bl[8], data + 2, n);
    NV_EditorFeatures |= NVF_SMS;
    sms = SmsEngine{};
    GSMGPRSInfo_St = GsmInfo{};
    // The modem section at the block's end, read as with a modem board.
    static uint16_t crc;
    crc = uint16_t((crc + 1) % 0xFFFF);
    LE_Put32(&sms_table_bl[0], crc);
    io_init[1] = 0xDF0F;
    GSMGPRSParmInit();
    char item[160];
    GSMGPRSInfo_St.owner = 2;
    for (uint32_t i = 0; i < 9; i++) {
        const uint32_t n = GSMGPRSParm(i, item, sizeof item);
        if (n >= sizeof item) __builtin_trap();
    }
    GSMGPRSOprtor();
    string_init();
    io_init[1] = 0;
    GSMGPRSInfo_St = GsmInfo{};
    SMS_Start();
    if (!Sms_MagicIs1VMS()) return 0;
    const SmsTables &t = sms.t;
    char val[72], msg[SMS_TEXT_MAX];
    for (uint32_t f = 0; f < t.nfields && f < 64; f++) {
        const uint32_t vl = GetDataFromReg(t, f, val, sizeof val);
        std::memset(msg, 'x', sizeof msg);
        DataFormat(msg, sizeof msg, f * 7 % sizeof msg, val, vl, t, f);
    }
    char answer[168];
    uint8_t rv;
    for (uint32_t e = 0; e < t.nrx; e++)
        ParseSMS(e, reinterpret_cast<const char *>(text), uint32_t(tlen < 1024 ? tlen : 1024), answer, sizeof answer,
                 &rv);
    for (int i = 0; i < 8; i++) PrepareSMS();
    return 0;
}
