// File instructions of ladder programs (and the removable-media file blocks
// that share them): CSV read and write, rename and format through the
// mailbox client (the card manager runs the format as a worker job), copy
// and the deletes as in-process jobs in worker threads. One instruction at a
// time owns the transfer of a drive.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "media/filex.h"

// Decoded operand record of one file instruction.
struct FileOpRec {
    uint32_t owner;       // nonzero identity of the instruction (e.g. its place in the program)
    uint16_t opcode;      // 248..254; the jobs delete-all 5 and delete-from-object 4
    uint8_t drive;        // 0 SD card, 1 USB stick
    uint8_t kind;         // 0 raw bytes, 1 formatted values
    uint8_t flags;        // bits 0-3 write mode, bit 4 end the write with a line break
    uint32_t data;        // bit address of the data (any window)
    uint16_t format;      // element format
    int32_t start;        // read: start selector; write: elements per line
    uint32_t count;       // elements (raw: bytes)
    uint32_t status;      // bit address of the status word; the element count is the next word
    uint8_t *status_ptr;  // when set, the status and count words live here instead (IEC blocks)
    const char *name;
    const char *name2;  // copy: destination; rename: new name
    // Descriptor transfer (248): mode 77 writes, any other reads.
    uint16_t desc_mode;
    uint16_t header;
    uint16_t desc_count;
    uint16_t desc_bytes;  // write: bytes of register data the descriptors cover
    const uint8_t *descs;
    uint32_t descs_size;
    const uint8_t *names;  // write: names area (name and one separator each)
    uint32_t names_size;
    uint32_t row_ref;      // read: the row counter is the word two words above this reference
    uint16_t row_restart;  // value of the counter after a restart is 1 when nonzero, else 0
};

// Status values besides the CF result codes.
constexpr uint16_t FILE_BUSY = 65534, FILE_OWNED = 65533, FILE_DISABLED = 65532;
constexpr uint16_t FILE_JOB_CONFLICT = 94;
constexpr uint32_t FILE_MAX_BYTES = 8192;

// Owner slots per drive (0 free).
extern std::array<uint32_t, 2> FileStatus;

// Jobs in worker threads, one record per kind: copy (opcode 249), delete
// (253), delete-all (5), delete-from-object (4), format (254). A job marks
// the drives it works on in its busy byte (2 the USB stick, 4 the SD card);
// no job starts on a drive another kind has marked (94). Host paths are
// resolved by the main thread.
constexpr std::size_t RM_HOST_MAX = 1024;
struct RmJob {
    uint16_t opcode;
    char first[RM_HOST_MAX];   // source (copy), target or pattern (deletes)
    char second[RM_HOST_MAX];  // destination (copy)
    uint8_t flag;              // copy: bit 0 wildcard source, bit 1 directory destination; deletes: pattern
    uint8_t drive;             // format
    std::atomic<uint8_t> busy;
    std::atomic<bool> cancel;
};
extern RmJob RmBlockDataCopy, RmBlockDataDelete, RmBlockDataDelAll, RmBlockDataDelFromObj, RmBlockDataFormat;
// Nonzero while a job of that kind runs.
extern std::atomic<uint32_t> RmCopyOpsThreadId, RmDeleteOpsThreadId, RmDelAllOpsThreadId, RmDelFromObjOpsThreadId,
    RmFormatOpsThreadId;
// Results: -2 running, -4 stopped, 0 done, 5 failed; the format's the drive
// check translated (0 formatted, 2 drive not there, 1 failed).
extern std::atomic<int32_t> CopyRet, DeleteRet, DelAllRet, DelFromObjRet, FormatRet;
// Body of every worker thread (the job record is its argument).
void *RMBlockThreadFunc(void *job);

void File_Init();
// Starts the format job of drive 0 or 1: 82 (format in progress) when it
// runs, 94 when a job holds the drive, 86 for another drive.
int32_t File_StartFormat(uint8_t drive);
// -2 while the format job runs, then its result.
int32_t File_FormatResult();
// One scan of one instruction; 1 when its status word is 0.
uint32_t File_Access(const FileOpRec *op, uint32_t enable);
// The controller stops: running jobs are cancelled (their result -4) and the
// owner slots cleared.
void File_KillJobs();
// Waits (bounded, for tests and the end of the process) until no job runs.
bool File_JobsIdle(uint32_t timeout_ms);
