// Text addresses of the web HMI: register addresses ("R_1_9_BOOL") and their
// bit addresses, the table of subscribed variables with their last values,
// change detection, time stamps and the round-robin automatic update.
#pragma once

#include <cstdint>

#include "tavIXsdk/tavixsdk/tavix_json.h"

// Web data types.
enum : uint8_t {
    WDT_INT32 = 0,
    WDT_INT16,
    WDT_INT8,
    WDT_UINT32,
    WDT_UINT16,
    WDT_UINT8,
    WDT_FLOAT32,
    WDT_LREAL64,
    WDT_CHAR,
    WDT_BOOL,
    WDT_TIME,
    WDT_COUNT
};
extern const char *const RegTypeNames[18];
extern const char *const RegDataTypeName[WDT_COUNT];
extern const uint8_t RegDataLength[8];

constexpr uint32_t WEB_VARIABLES = 4096;
constexpr uint32_t WEB_ADDRESS_MAX = 254;  // longer addresses are refused

struct WebVariable {
    const char *key;  // the registered address; null marks a free record
    uint32_t number;
    uint32_t reference;  // bit address, or an IEC variable handle
    uint8_t type;        // register type 0..17
    uint8_t bit;
    uint8_t data_type;
    uint8_t width;  // bits; characters for CHAR
    union {
        int32_t i32;
        float f;
        double d;
        uint8_t b;
        char *text;  // CHAR: a copy of width + 1 bytes
        uint64_t raw;
    } last;
    uint32_t stamp_seconds, stamp_nanoseconds;
    uint32_t status;
    void *subscription;
};

struct WebVariableList {
    uint32_t used;
    uint32_t next;
    WebVariable records[WEB_VARIABLES];
};
extern WebVariableList variable_list;

struct WebVariableIndex {
    uint32_t count;
    struct {
        char *name;
        WebVariable *record;
    } entries[WEB_VARIABLES];
};
extern WebVariableIndex variable_pointer_list;
extern uint32_t variable_count;  // round-robin cursor

// Hands a changed variable to its subscriber (the server's notification).
extern void (*web_notify_hook)(void *subscription, const tavix_data_value *value, const tavix_timestamp *stamp,
                               uint32_t status);

uint32_t tavix_parse_parameterized_variable(const char *address, WebVariable *record);
WebVariable *tavix_register_in_variable_pointer_list(const char *name, uint32_t size);
long tavix_get_variable_pointer_list_index(const char *name);
WebVariable *tavix_register_in_variable_list(const char *key);
// Removes a name and frees its record.
void tavix_unregister_variable(const char *name);
uint32_t tavix_check_updated_variable_value(WebVariable *v);
void tavix_fill_variable_value(const WebVariable *v, tavix_data_value *out);
void tavix_notify_variable(WebVariable *v, tavix_data_value *value);
void tavix_automatic_update_variables();
// Six bytes: second, minute, hour, day, month and year modulo 100.
void LoadStamp(uint8_t *stamp, const uint16_t *clock_image);
uint32_t tavix_Conversion_to_UTC_Time_func(const uint8_t *stamp);
uint32_t isAscii(const char *text);
uint32_t ConvertToAscii(char *text);
