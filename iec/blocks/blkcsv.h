// CSV logging of the code image's variable lists and the standard blocks of
// the library that live above the VM (serial port, Modbus slaves, CSV).
#pragma once

#include <cstdint>

#include "iec/vm/z7interp.h"

// LOGFILECSV error codes.
enum : uint32_t { CSV_OK = 0, CSV_CREATE = 1, CSV_APPEND = 2, CSV_NOLISTS = 3, CSV_LIST = 4, CSV_WRITE = 5 };

// Receives pieces of a line; false when a write failed.
struct CsvSink {
    bool (*put)(void *ctx, const char *text, uint32_t len);
    void *ctx;
};

// One line of variable list `list` of an image (host bytes, len long; the
// table of lists at offset table, 0 none) with the database's values and
// separators, ended by "\n". A null sink only checks the list. CSV_OK, or
// CSV_NOLISTS, CSV_LIST, CSV_WRITE (an entry outside the image or its
// segment, a type without a text form, or a failed write).
uint32_t BlkCsv_Line(uint32_t db, const uint8_t *image, uint32_t len, uint32_t table, int32_t list,
                     const CsvSink *sink);

// Handler of a standard block row built in this library, or null.
FbHandler BlkStd_Proc(uint32_t id);
