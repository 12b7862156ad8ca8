// Removable-media file API: drive letters in names, upper-case names,
// wildcard search, tree removal, directory creation, copy, and the CSV
// exchange of register data. Sits on the FileX-style file layer and answers
// CF result codes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "media/filex.h"

// CF result codes.
constexpr uint16_t CF_OK = 0, CF_NOT_PRESENT = 2, CF_MEDIA_ERROR = 5, CF_NOT_FOUND = 66, CF_NOT_FILE = 73,
                   CF_ACCESS = 77, CF_EXISTS = 81, CF_FORMATTING = 82, CF_INVALID = 86, CF_NO_SPACE = 92,
                   CF_TOO_DEEP = 96, CF_EOF = 65535;

extern FxMedia Cf_Media2, Cf_Media3;  // USB stick, configuration flash (Cf_Media: SD card)
extern uint32_t CfResult;             // last file-layer status
extern uint16_t CfStatus;             // last CF result code
extern const std::array<uint16_t, 37> CfStatusTable;

// FileX-style status to CF result code.
uint16_t CfXlate(uint32_t status);
// Drive check answer (0, 1, 2, 82, 3) to CF result code.
uint16_t CfStateDecode(uint32_t state);
FxMedia *CfMediaOf(uint8_t drive);
// Wildcard match: '*' the rest, '?' any one character, letters in any case;
// an empty pattern matches everything.
bool CfPatternCmp(const char *pattern, const char *name);

// Turns a CF name into the layer's form "X:\PATH" (drive from the prefix,
// any other letter or none: A:), upper case, each existing component taken
// in the case it has on the media. need_name: the last component must have
// a name part. Answers 0 or 86; the drive out is 0..2.
uint16_t CfName(const char *name, char *out /* FX_PATH_MAX */, uint8_t *drive, bool need_name);
// A name that a program gives (the file instructions of ladder programs, the
// IEC file blocks) lies on the SD card or the USB stick, never on the
// configuration flash: a "Z:" prefix becomes "A:", in place.
void CfProgramName(char *name);
// Turns the last component of a resolved name to upper case: a file
// deleted and created again takes that name, not the case of the entry it
// replaced.
void CfUpperLast(char *name);

struct CfEntry {
    char full[FX_PATH_MAX];
    char name[FX_NAME_MAX];
    char ext[15];
    uint8_t attr;
    uint64_t size;
    uint16_t date;  // (year - 1980) * 512 + month * 32 + day
    uint16_t time;  // hour * 2048 + minute * 32 + second / 2
    FxLocalPath saved;
    char pat_name[FX_NAME_MAX];
    char pat_ext[FX_NAME_MAX];
};

void CF_Init();
uint16_t CF_GetStatus(uint8_t drive);
uint16_t CF_Open(FxFile *file, const char *name, uint32_t mode);
uint16_t CF_Read(FxFile *file, void *buffer, uint32_t size, uint32_t *count);
uint16_t CF_Write(FxFile *file, const void *data, uint32_t size, uint32_t *count);
uint16_t CF_Close(FxFile *file);
uint16_t CF_Size(FxFile *file, uint64_t *size);
uint16_t CF_RenameFile(uint8_t drive, const char *old_name, const char *new_name);
uint16_t CF_DeleteFile(uint8_t drive, const char *name);
// Starts the format of drive 0 or 1 as a worker job (File_StartFormat): 82
// while it runs (its result then comes from File_FormatResult), 94 when a
// job holds the drive, 86 for another drive.
uint16_t CF_FormatCard(uint8_t drive);
uint16_t CF_MakeDir(uint8_t drive, const char *name);
uint16_t CF_RemoveDir(uint8_t drive, const char *name);
uint16_t CF_ChangeDir(uint8_t drive, const char *name);
uint16_t CF_GetFirst(uint8_t drive, CfEntry *entry, const char *pattern);
uint16_t CF_GetNext(uint8_t drive, CfEntry *entry);
uint16_t CF_GetDone(uint8_t drive, CfEntry *entry);
uint16_t CF_GetFreeSpace(uint8_t drive, uint32_t *total_kb, uint32_t *free_kb);
uint16_t CF_CopyFile(uint8_t drive, const char *source, const char *destination);

// ---- CSV exchange -------------------------------------------------------------------
// Element widths in bits by format 0..8.
constexpr std::array<uint8_t, 9> CF_TypeWidth = {8, 16, 8, 32, 16, 16, 32, 32, 16};
constexpr uint32_t CF_MAX_ROWS = 600;
// A text read by column lays each row's text in a slot of this many bytes.
constexpr uint32_t CF_TEXT_SLOT = 128;

// One CSV request (the file-transfer record). The data area is bounded by
// data_size; nothing is read or written outside it.
struct CfTransferRec {
    uint32_t kind;  // write: 0 raw bytes, 1 formatted values
    const char *name;
    uint8_t *data;
    uint32_t data_size;
    uint32_t format;  // 0..8
    uint32_t count;   // elements; column read: column | max rows << 16
    uint32_t *count_out;
    int32_t start;  // read: -1 rows, other negative column, else fields to skip;
                    // write: elements per line
    uint32_t mode;  // write mode 0..3
    uint8_t flag8;  // read: 76 descriptors; write: nonzero ends with a line break
    // Descriptor modes: read 76 (4-byte {reserved, format, u16 count}),
    // write 77 (8-byte {u32 name offset, u8 name length, u8 format, u16 count}).
    uint16_t desc_mode;
    uint16_t header;  // write: 1 writes a header line into a new file
    uint16_t desc_count;
    const uint8_t *names;
    uint32_t names_size;
    const uint8_t *descs;
    uint32_t descs_size;
};

uint16_t CF_ReadFile(uint8_t drive, CfTransferRec *rec);
uint16_t CF_WriteFile(uint8_t drive, CfTransferRec *rec);
uint16_t CF_ReadFileByRow(CfTransferRec *rec);
uint16_t CF_ReadFileByColumn(CfTransferRec *rec);
uint16_t CF_ReadFileRowCount(CfTransferRec *rec);
// Rows a column read fills: min(max rows or 600, end row - first row).
uint32_t CF_ColumnRows(const CfTransferRec *rec);
