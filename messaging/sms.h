// SMS engine: the messaging block's SMS section, the send and receive steps
// run from the scan, and the data fields that put register values into
// message texts (shared with the e-mail client).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// Places of one section's tables inside the messaging block (byte offsets
// into sms_table_bl), checked by SMSTableCheck.
struct SmsTables {
    uint32_t sec;   // section start
    uint32_t size;  // section size
    uint32_t contacts, ncontacts;
    uint32_t rx, nrx;
    uint32_t tx, ntx;
    uint32_t fields, nfields;
    uint32_t lists;    // position lists: one 8-byte entry per rx, then per tx entry
    uint32_t strings;  // string area
    uint32_t limit;
};
constexpr uint32_t SMS_TEXT_MAX = 512;

// Engine state.
struct SmsEngine {
    std::array<char, 5> MagicID;  // "1VMS" or "MSON"
    uint8_t reply;
    std::array<uint8_t, 12> status;  // 6 status words
    uint8_t init_done, send_ok, recv_ok, table_ok;
    SmsTables t;
    uint32_t status_reg, storage_reg;
    uint8_t start_mode;
    uint8_t set_up;
    uint8_t PrepAction;
    uint32_t msg;  // send-message entry being scanned
    uint8_t group_send;
    uint8_t group_left;
    std::array<uint16_t, 32> group;  // contacts of the group being sent
    std::array<char, 24> number;
    std::array<char, SMS_TEXT_MAX> Txt_buf;
    uint16_t txt_len;
    std::array<uint8_t, 256> bLastTrigger;
    uint16_t last_crc;
    uint32_t last_size;
    uint8_t rounds;  // receive rounds ended since the modem was last handed back
    uint8_t delay_pending;
    uint32_t hold_at;
    uint8_t holding;
};
extern SmsEngine sms;

bool Sms_MagicIs1VMS();
// Reads the section header; 0.
uint32_t SmsStructInit();
// 1 when every table, list and text lies inside the section and its limit.
uint32_t SMSTableCheck(const SmsTables &t);
// Reads a section header at byte offset `sec` of the block into t; 0 when the
// header does not fit the block.
uint32_t Sms_Tables(uint32_t sec, SmsTables &t);
uint32_t PrepareSMS();
// Matches a received text against a receive-command entry; applies the
// values; with "RV" fills `answer` (the filled template). 1 accepted.
uint32_t ParseSMS(uint32_t entry, const char *text, uint32_t len, char *answer, uint32_t answer_cap, uint8_t *rv);
// Text of data field `field` (formats 0..9) into out; its length.
uint32_t GetDataFromReg(const SmsTables &t, uint32_t field, char *out, uint32_t cap);
// Writes a value text at `place` of the message, shaped by the data field's
// format, width, decimals and flags.
void DataFormat(char *msg, uint32_t msg_len, uint32_t place, const char *value, uint32_t vlen, const SmsTables &t,
                uint32_t field);
// Next "pos:field:" item of a position list; 0 when none.
uint32_t FieldExtractor(const char *list, uint32_t len, uint32_t *at, uint32_t *pos, uint32_t *field);
// Position list of receive entry i (rx) or send entry i.
bool Sms_List(const SmsTables &t, bool send, uint32_t i, const char **text, uint32_t *len);
// Text of a string-area reference, bounded by the section.
const char *Sms_String(const SmsTables &t, uint32_t off, uint32_t len);
// Phone number of contact c (its text, or the 21 register bytes it names
// when its length is 0): digits, a '+' only in first place.
void Sms_ContactNumber(uint32_t c, char *out, std::size_t cap);
void Sms_WriteStatus();
void Sms_WriteStorage(const char *prefix, const char *text, uint32_t len);
