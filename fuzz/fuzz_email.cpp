// E-mail client input from outside: the input's first byte picks the target.
// 0: SMTP replies framed as they arrive (the rest cut in two fragments at the
// second byte); 1: a DNS answer to query 1; 2: a messaging block whose
// e-mail section is configured and each of whose messages is composed with
// its data fields.
#include <cstdint>
#include <cstring>

#include "core/image/bytes.h"
#include "core/image/plcreg.h"
#include "core/storage/memfile.h"
#include "messaging/email.h"

namespace {
void Replies(const uint8_t *d, size_t n) {
    static char buf[EM_RX_CAP];
    uint32_t len = 0;
    const size_t cut = n ? d[0] % (n + 1) : 0;
    for (const auto &[p, k] : {std::pair{d, cut}, std::pair{d + cut, n - cut}}) {
        const uint32_t take = uint32_t(k < EM_RX_CAP - len ? k : EM_RX_CAP - len);
        std::memcpy(buf + len, p, take);
        len += take;
        uint32_t used = 0;
        while (EtnEmailReply(buf, len, &used)) {
            if (used == 0 || used > len) __builtin_trap();
            std::memmove(buf, buf + used, len - used);
            len -= used;
        }
    }
}

void Section(const uint8_t *d, size_t n) {
    if (n > SMS_TABLE_BL_SIZE - 8) n = SMS_TABLE_BL_SIZE - 8;
    sms_table_bl.fill(0);
    LE_Put32(&sms_table_bl[4], uint32_t(n));
    std::memcpy(&sms_table_bl[8], d, n);
    // The status word stays in %R: on the system words it would restart the program.
    const uint64_t sec = 8 + uint64_t(LE_Get32(&sms_table_bl[8]));
    if (sec + 52 <= 8 + n) LE_Put32(&sms_table_bl[sec + 48], 32768 + 16 * 499);
    EtnEmailConn = EmailRec{};
    EtnEmailConn.sock.fd = -1;
    EtnEmailConn.dns.fd = -1;
    EtnEmailConn.conn_state = EMC_IDLE;
    LE_Put16(&plc_reg[2 * W_MODE], 2);
    EtnEmailScan(1);
    if (!EtnEmailConn.configured) return;
    for (uint32_t i = 0; i < EtnEmailConn.nmsgs && i < 8; i++) {
        EtnEmailConn.msg = i;
        if (EtnEmailComposeMessage() > EM_DATA_CAP) __builtin_trap();
    }
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    const uint8_t *d = data + 1;
    const size_t n = size - 1;
    switch (data[0] % 3) {
    case 0: Replies(d, n); break;
    case 1: {
        uint32_t a = 0;
        EtnEmailDnsAnswer(d, uint32_t(n), 1, &a);
        break;
    }
    default: Section(d, n); break;
    }
    return 0;
}
