// Modbus application layer: the pieces the masters build their requests
// from.
#include "core/image/mbpdu.h"

#include "core/image/bytes.h"

uint32_t MbPdu_Request(uint8_t *pdu, uint8_t fc, uint16_t a, uint16_t v) {
    pdu[0] = fc;
    BE_Put16(pdu + MB_PDU_ADDRESS, a);
    BE_Put16(pdu + MB_PDU_QUANTITY, v);
    return MB_PDU_FIELDS;
}

uint32_t MbPdu_WriteHead(uint8_t *pdu, uint8_t fc, uint16_t a, uint16_t q) {
    MbPdu_Request(pdu, fc, a, q);
    pdu[MB_PDU_COUNT] = uint8_t(MbPdu_Bytes(fc, q));
    return MB_PDU_WRITE_HEAD;
}
