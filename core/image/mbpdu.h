// Modbus application layer, shared by the servers (TCP and UDP, the serial
// slave, the IEC application's server) and the masters (serial, the IEC
// client engine, the remote I/O master): function and exception codes and
// limits; a request decoded, checked and answered against the register
// access its server passes in; requests encoded and answers checked. A PDU
// starts at its function code; each transport frames it (MBAP, RTU, ASCII).
#pragma once

#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "core/image/bytes.h"

enum MbFunction : uint8_t {
    MB_READ_COILS = 1,
    MB_READ_DISCRETE_INPUTS = 2,
    MB_READ_HOLDING_REGISTERS = 3,
    MB_READ_INPUT_REGISTERS = 4,
    MB_WRITE_SINGLE_COIL = 5,
    MB_WRITE_SINGLE_REGISTER = 6,
    MB_READ_EXCEPTION_STATUS = 7,
    MB_DIAGNOSTICS = 8,
    MB_WRITE_MULTIPLE_COILS = 15,
    MB_WRITE_MULTIPLE_REGISTERS = 16,
    MB_REPORT_SERVER_ID = 17,
    MB_MASK_WRITE_REGISTER = 22,
    MB_READ_WRITE_REGISTERS = 23,
    MB_ENCAPSULATED_INTERFACE = 43,
    // User-defined, the serial engine's own: a two-byte broadcast, which a
    // slave answers 0, 65, 0 behind its address.
    MB_USER_STATUS = 65,
};
// Set in the function code of an exception answer.
constexpr uint8_t MB_EXCEPTION_BIT = 0x80;
enum MbException : uint8_t {
    MB_EX_ILLEGAL_FUNCTION = 1,
    MB_EX_ILLEGAL_DATA_ADDRESS = 2,
    MB_EX_ILLEGAL_DATA_VALUE = 3,
    MB_EX_SERVER_DEVICE_FAILURE = 4,
};
// What a server's access or rule answers when the request gets no answer
// (or one its server sends later).
constexpr uint8_t MB_SILENT = 0xFF;

// Values of function 5.
constexpr uint16_t MB_COIL_ON = 0xFF00, MB_COIL_OFF = 0x0000;
// Quantities a request may ask: reads, multiple writes, and the write part
// of function 23; a byte count field holds at most MB_COUNT_MAX.
constexpr uint16_t MB_READ_BITS_MAX = 2000, MB_READ_REGISTERS_MAX = 125, MB_WRITE_BITS_MAX = 1968,
                   MB_WRITE_REGISTERS_MAX = 123, MB_RW_WRITE_REGISTERS_MAX = 121;
constexpr uint32_t MB_COUNT_MAX = 255;
constexpr uint16_t MB_NO_LIMIT = 0xFFFF;

// Request PDU: function code, address, quantity (or value), byte count and
// data of a multiple write; the masks of function 22; the write address,
// quantity, byte count and data of function 23.
constexpr uint32_t MB_PDU_ADDRESS = 1, MB_PDU_QUANTITY = 3, MB_PDU_VALUE = 3, MB_PDU_COUNT = 5, MB_PDU_DATA = 6;
constexpr uint32_t MB_PDU_AND_MASK = 3, MB_PDU_OR_MASK = 5;
constexpr uint32_t MB_PDU_RW_ADDRESS = 5, MB_PDU_RW_QUANTITY = 7, MB_PDU_RW_COUNT = 9, MB_PDU_RW_DATA = 10;
// Lengths: a request up to its quantity or value, a multiple write's head.
constexpr uint32_t MB_PDU_FIELDS = 5, MB_PDU_WRITE_HEAD = 6;
// Answer PDU: a read's byte count and data; an exception's code.
constexpr uint32_t MB_ANSWER_COUNT = 1, MB_ANSWER_DATA = 2, MB_ANSWER_CODE = 1;
// MBAP header: transaction, protocol, length (of the unit and the PDU),
// unit; the PDU follows.
constexpr uint32_t MB_MBAP_TRANSACTION = 0, MB_MBAP_PROTOCOL = 2, MB_MBAP_LENGTH = 4, MB_MBAP_UNIT = 6, MB_MBAP_PDU = 7;

// A set of function codes below 32, one bit each.
constexpr uint32_t MbPdu_Set(std::initializer_list<uint8_t> fcs) {
    uint32_t set = 0;
    for (uint8_t fc : fcs) set |= 1u << fc;
    return set;
}
inline bool MbPdu_In(uint32_t set, uint8_t fc) { return fc < 32 && ((set >> fc) & 1) != 0; }
// Functions whose items are bits (1, 2, 5, 15), the others' registers; the
// writes (5, 6, 15, 16).
constexpr uint32_t MB_BIT_FUNCTIONS =
    MbPdu_Set({MB_READ_COILS, MB_READ_DISCRETE_INPUTS, MB_WRITE_SINGLE_COIL, MB_WRITE_MULTIPLE_COILS});
constexpr uint32_t MB_WRITE_FUNCTIONS =
    MbPdu_Set({MB_WRITE_SINGLE_COIL, MB_WRITE_SINGLE_REGISTER, MB_WRITE_MULTIPLE_COILS, MB_WRITE_MULTIPLE_REGISTERS});
inline bool MbPdu_Bits(uint8_t fc) { return MbPdu_In(MB_BIT_FUNCTIONS, fc); }
inline bool MbPdu_IsWrite(uint8_t fc) { return MbPdu_In(MB_WRITE_FUNCTIONS, fc); }
// Bytes that q items of function fc take on the wire.
inline uint32_t MbPdu_Bytes(uint8_t fc, uint32_t q) { return MbPdu_Bits(fc) ? (q + 7) / 8 : 2 * q; }

// ---- serving ----------------------------------------------------------------------------------

// A server's register access: its own map and tables behind the core's
// checks. Each answers 0 (done), an exception code, or MB_SILENT. Items go
// as they travel: bits packed from bit 0 of the first byte, registers two
// bytes each, high byte first (a coil of function 5 as one such bit). Area
// 0 is the request's range, area 1 the write range of function 23.
struct MbAccess {
    // A refusal of a request of function fc before its range is looked at;
    // null: none.
    uint8_t (*admit)(void *ctx, uint8_t fc);
    // The range of q items from address a of function fc's table.
    uint8_t (*locate)(void *ctx, uint8_t fc, uint32_t a, uint32_t q, uint32_t area);
    // The items of a located range, read into out or written from in.
    uint8_t (*read)(void *ctx, uint8_t fc, uint32_t q, uint8_t *out, uint32_t area);
    uint8_t (*write)(void *ctx, uint8_t fc, uint32_t q, const uint8_t *in, uint32_t area);
};

// Where the servers answer differently, each server's own rules.
struct MbRules {
    uint32_t functions;                            // the set of functions served (of 1-7, 15, 16, 22, 23)
    uint16_t read_bits_max, read_registers_max;    // a read asking more: quantity_code
    uint16_t write_bits_max, write_registers_max;  // functions 15, 16 and 23's write part (MB_NO_LIMIT: none)
    uint8_t quantity_code;
    // A request that ends before its fields; 0: no answer, neither to a
    // multiple write without its byte count.
    uint8_t short_code;
    uint8_t data_code;  // a multiple write whose data is missing (or not as its byte count says)
    uint8_t flags;      // MB_RULE_*
};
// A multiple write's byte count must match its quantity; its data is
// checked after its range, else before.
constexpr uint8_t MB_RULE_BYTE_COUNT = 0x01, MB_RULE_DATA_AFTER_RANGE = 0x02;
// Function 5: any value but 0 sets the coil, else bit 0 of the value's high
// byte; the echo's value is its high byte and 0.
constexpr uint8_t MB_RULE_COIL_NONZERO = 0x04, MB_RULE_COIL_ECHO_HIGH = 0x08;

// An exception answer of function fc: its length.
inline uint32_t MbPdu_Exception(uint8_t *ans, uint8_t fc, uint8_t code) {
    ans[0] = uint8_t(fc | MB_EXCEPTION_BIT);
    ans[MB_ANSWER_CODE] = code;
    return 2;
}
// The head of a read answer of function fc with q items (function code and
// byte count); its length. The data follows at MB_ANSWER_DATA.
inline uint32_t MbPdu_ReadHead(uint8_t *ans, uint8_t fc, uint32_t q) {
    ans[0] = fc;
    ans[MB_ANSWER_COUNT] = uint8_t(MbPdu_Bytes(fc, q));
    return MB_ANSWER_DATA;
}

// Serves a request PDU of len bytes (at least its function code) into ans,
// which may be the request itself: the answer PDU's length, 0 for none.
// Inlined into each server, whose constant access table then costs no
// indirect call.
[[gnu::always_inline]] inline uint32_t MbPdu_Serve(const MbRules &r, const MbAccess &acc, void *ctx, const uint8_t *req,
                                                   uint32_t len, uint8_t *ans) {
    const uint8_t fc = req[0];
    // An access's refusal: its exception, or no answer.
    auto refused = [&](uint8_t x) { return x == MB_SILENT ? 0u : MbPdu_Exception(ans, fc, x); };
    auto shortened = [&]() { return r.short_code ? MbPdu_Exception(ans, fc, r.short_code) : 0u; };
    // A write's answer: the first n bytes of its request.
    auto echo = [&](uint32_t n) {
        if (ans != req) std::memcpy(ans, req, n);
        return n;
    };
    if (!MbPdu_In(r.functions, fc)) return MbPdu_Exception(ans, fc, MB_EX_ILLEGAL_FUNCTION);
    if (MbPdu_In(r.functions, MB_READ_EXCEPTION_STATUS) && fc == MB_READ_EXCEPTION_STATUS) {
        ans[0] = fc;
        ans[1] = 0;  // nothing sets a status bit
        return 2;
    }
    if (len < MB_PDU_FIELDS) return shortened();
    uint8_t x = acc.admit != nullptr ? acc.admit(ctx, fc) : 0;
    if (x != 0) return refused(x);
    const uint32_t a = BE_Get16(req + MB_PDU_ADDRESS), q = BE_Get16(req + MB_PDU_QUANTITY);
    switch (fc) {
    case MB_READ_COILS:
    case MB_READ_DISCRETE_INPUTS:
    case MB_READ_HOLDING_REGISTERS:
    case MB_READ_INPUT_REGISTERS: {
        const bool bits = fc <= MB_READ_DISCRETE_INPUTS;
        if (q > (bits ? r.read_bits_max : r.read_registers_max)) return MbPdu_Exception(ans, fc, r.quantity_code);
        x = acc.locate(ctx, fc, a, q, 0);
        if (x == 0) x = acc.read(ctx, fc, q, ans + MB_ANSWER_DATA, 0);
        if (x != 0) return refused(x);
        const uint32_t bc = bits ? (q + 7) / 8 : 2 * q;
        ans[0] = fc;
        ans[MB_ANSWER_COUNT] = uint8_t(bc);
        return MB_ANSWER_DATA + bc;
    }
    case MB_WRITE_SINGLE_COIL:
    case MB_WRITE_SINGLE_REGISTER: {
        x = acc.locate(ctx, fc, a, 1, 0);
        if (x != 0) return refused(x);
        // A coil travels as one packed bit.
        const uint8_t on = (r.flags & MB_RULE_COIL_NONZERO) ? q != 0 : req[MB_PDU_VALUE] & 1;
        x = acc.write(ctx, fc, 1, fc == MB_WRITE_SINGLE_COIL ? &on : req + MB_PDU_VALUE, 0);
        if (x != 0) return refused(x);
        echo(MB_PDU_FIELDS);
        if (fc == MB_WRITE_SINGLE_COIL && (r.flags & MB_RULE_COIL_ECHO_HIGH)) ans[MB_PDU_VALUE + 1] = 0;
        return MB_PDU_FIELDS;
    }
    case MB_WRITE_MULTIPLE_COILS:
    case MB_WRITE_MULTIPLE_REGISTERS: {
        if (r.short_code == 0 && len < MB_PDU_WRITE_HEAD) return 0;
        if (q > (fc == MB_WRITE_MULTIPLE_COILS ? r.write_bits_max : r.write_registers_max))
            return MbPdu_Exception(ans, fc, r.quantity_code);
        const uint32_t need = MbPdu_Bytes(fc, q);
        bool data = len >= MB_PDU_WRITE_HEAD;
        if (data && (r.flags & MB_RULE_BYTE_COUNT))
            data = req[MB_PDU_COUNT] == need && len - MB_PDU_DATA >= need;
        else if (data)
            data = len - MB_PDU_DATA >= need;
        const bool after = (r.flags & MB_RULE_DATA_AFTER_RANGE) != 0;
        if (!after && !data) return MbPdu_Exception(ans, fc, r.data_code);
        x = acc.locate(ctx, fc, a, q, 0);
        if (x == 0 && !data) return MbPdu_Exception(ans, fc, r.data_code);
        if (x == 0) x = acc.write(ctx, fc, q, req + MB_PDU_DATA, 0);
        if (x != 0) return refused(x);
        return echo(MB_PDU_FIELDS);
    }
    case MB_MASK_WRITE_REGISTER: {
        // The register becomes (value AND and-mask) OR (or-mask AND NOT and-mask).
        if (len < MB_PDU_OR_MASK + 2) return shortened();
        uint8_t w[2];
        x = acc.locate(ctx, fc, a, 1, 0);
        if (x == 0) x = acc.read(ctx, fc, 1, w, 0);
        if (x == 0) {
            const uint16_t and_mask = BE_Get16(req + MB_PDU_AND_MASK), or_mask = BE_Get16(req + MB_PDU_OR_MASK);
            BE_Put16(w, uint16_t((BE_Get16(w) & and_mask) | (or_mask & ~and_mask)));
            x = acc.write(ctx, fc, 1, w, 0);
        }
        if (x != 0) return refused(x);
        return echo(MB_PDU_OR_MASK + 2);
    }
    case MB_READ_WRITE_REGISTERS: {
        // The write goes first, then the read.
        if (len < MB_PDU_RW_DATA) return shortened();
        const uint32_t wa = BE_Get16(req + MB_PDU_RW_ADDRESS), wq = BE_Get16(req + MB_PDU_RW_QUANTITY);
        // The write part within the server's multiple-write limit: the
        // frame's own length bounds it further.
        if (q > r.read_registers_max || wq > r.write_registers_max) return MbPdu_Exception(ans, fc, r.quantity_code);
        x = acc.locate(ctx, fc, a, q, 0);
        if (x == 0) x = acc.locate(ctx, fc, wa, wq, 1);
        if (x != 0) return refused(x);
        const uint32_t bc = req[MB_PDU_RW_COUNT];
        if (bc != 2 * wq || len - MB_PDU_RW_DATA < bc) return MbPdu_Exception(ans, fc, r.data_code);
        x = acc.write(ctx, fc, wq, req + MB_PDU_RW_DATA, 1);
        if (x == 0) x = acc.read(ctx, fc, q, ans + MB_ANSWER_DATA, 0);
        if (x != 0) return refused(x);
        return MbPdu_ReadHead(ans, fc, q) + 2 * q;
    }
    default: return MbPdu_Exception(ans, fc, MB_EX_ILLEGAL_FUNCTION);
    }
}

// ---- masters ----------------------------------------------------------------------------------

// A request of function code and two 16-bit fields (address and quantity,
// or address and value); its length, MB_PDU_FIELDS.
uint32_t MbPdu_Request(uint8_t *pdu, uint8_t fc, uint16_t a, uint16_t v);
// The head of a multiple write of q items (its byte count as many bytes as
// they take); its length, MB_PDU_WRITE_HEAD. The data follows at MB_PDU_DATA.
uint32_t MbPdu_WriteHead(uint8_t *pdu, uint8_t fc, uint16_t a, uint16_t q);

enum MbAnswerKind : uint8_t { MB_ANSWER_NORMAL, MB_ANSWER_EXCEPTION, MB_ANSWER_OTHER };
// What an answer PDU (at least its function code) is to a request of
// function fc. strict: only fc with the exception bit is an exception; else
// any function code with the bit, whatever fc is.
inline MbAnswerKind MbPdu_AnswerKind(const uint8_t *pdu, uint32_t fc, bool strict) {
    const uint8_t got = pdu[0];
    if (strict ? got == (fc | MB_EXCEPTION_BIT) : (got & MB_EXCEPTION_BIT) != 0) return MB_ANSWER_EXCEPTION;
    return got == fc ? MB_ANSWER_NORMAL : MB_ANSWER_OTHER;
}
// How a read answer's byte count must stand to the bytes asked.
enum MbCountRule : uint8_t { MB_COUNT_EXACT, MB_COUNT_AT_MOST, MB_COUNT_AT_LEAST };
// Whether a read answer of len bytes has a byte count that stands to want
// by rule, and the lesser of the two present in its data.
inline bool MbPdu_AnswerData(const uint8_t *pdu, uint32_t len, uint32_t want, MbCountRule rule) {
    if (len < MB_ANSWER_DATA) return false;
    const uint32_t bc = pdu[MB_ANSWER_COUNT];
    const bool fits = rule == MB_COUNT_EXACT ? bc == want : rule == MB_COUNT_AT_MOST ? bc <= want : bc >= want;
    return fits && (bc < want ? bc : want) <= len - MB_ANSWER_DATA;
}
