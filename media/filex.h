// FileX-style file layer on the drives A: (SD card), B: (USB stick) and Z:
// (configuration flash), and the free-space reporter.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <dirent.h>
#include <sys/types.h>

// Status numbers.
constexpr uint32_t FX_SUCCESS = 0, FX_NOT_FOUND = 4, FX_NOT_A_FILE = 5, FX_ACCESS_ERROR = 6, FX_NOT_OPEN = 7,
                   FX_ALREADY_CREATED = 11, FX_INVALID_PATH = 13, FX_NOT_DIRECTORY = 14, FX_NO_MORE_ENTRIES = 15,
                   FX_DIR_NOT_EMPTY = 16, FX_MEDIA_NOT_OPEN = 17, FX_INVALID_ATTR = 25, FX_WRITE_PROTECT = 35,
                   FX_IO_ERROR = 144;

// Entry attributes.
constexpr uint32_t FX_READ_ONLY = 0x01, FX_SYSTEM = 0x04, FX_DIRECTORY = 0x10;

// Open types of _fxe_file_open (any other value opens for appending).
constexpr uint32_t FX_OPEN_FOR_READ = 0, FX_OPEN_FOR_WRITE = 1, FX_OPEN_FOR_TRUNCATE = 4;

constexpr uint8_t DRIVE_A = 0, DRIVE_B = 1, DRIVE_Z = 2, DRIVE_ANY = 255;
constexpr std::size_t FX_PATH_MAX = 512;  // paths are cut to 511 characters
constexpr std::size_t FX_NAME_MAX = 256;  // room of an entry name

struct MntDriveRec {
    char device[16];
    char mount[16];
    std::atomic<uint8_t> mounted;  // a format job changes it in its own thread
};
extern std::array<MntDriveRec, 3> MntDrive;
// Set while a format job runs on a drive: MountDrive answers 0 for it (only
// the format itself mounts it again), so nothing else touches the drive.
extern std::array<std::atomic<uint8_t>, 3> CfFormatBusy;

// Per-user media record: drive, current directory, open directory stream and
// the fields of the last space query.
struct FxMedia {
    uint8_t drive;
    char cwd[FX_PATH_MAX];
    DIR *dir;
    uint32_t free_kb;
    uint32_t total_blocks;
    uint32_t block_kb;
    uint32_t block_bytes;
    uint8_t space_valid;
};
struct FxFile {
    int fd;
    uint8_t open;
    uint64_t size;
    uint64_t size_copy;
    // The removable drive the file lies on (1 + drive, 0: none) and the
    // identity of its mount folder at the open: a pulled card ends the file.
    uint8_t media;
    uint64_t mount_dev, mount_ino;
};
struct FxLocalPath {
    char path[FX_PATH_MAX];
};

extern FxMedia Cf_Media;
extern uint8_t FileMutex;  // busy flag around the size queries and the record file

// Free-space record written by the reporter.
constexpr const char *FX_SPACE_RECORD = "/dev/shm/read.dat";
constexpr std::size_t FX_SPACE_RECORD_SIZE = 24;

// ---- drives ----------------------------------------------------------------------
uint32_t MountDrive(uint8_t drive, char *mount_out /* 16 bytes */);
uint32_t Cf_Check(uint8_t drive);
void Cf_Init();
// Resolves a name ("B:\LOGS\a.csv", "/LOGS/a.csv", "a.csv") to its system
// path on a drive; answers 1 when the drive is usable, 0 otherwise. A name
// with a ".." component would leave the drive: refused (0, "/").
uint32_t CfDriveChk(const char *name, char *local_out /* FX_PATH_MAX */, uint8_t drive);
// 1 when the name has a ".." component ("/" and "\\" both separate them,
// a leading drive letter is skipped).
uint32_t Fx_PathLeaves(const char *name);
void UnmountDrive(const char *mount_path);
// Host path of a system path ("/mnt/USB0/DIR/F.TXT"; on a workstation under
// the root). Below a drive's mount folder no component may be a symbolic
// link (a card can carry links that leave it) nor "..": false then, and for
// a path that does not fit. Paths off the drives are only placed.
bool Fx_MediaHost(const char *sys, char *host, std::size_t size);
// The same rule for a host path (a server's folder under the root): true
// when no component from index from on is a symbolic link, nor any below the
// mount folder of the drive the path lies on. Missing components end the walk.
bool Fx_HostLinkFree(char *host, std::size_t from);
uint32_t Cf_Format(uint32_t ignored, uint8_t drive);

// ---- files ---------------------------------------------------------------------------
uint32_t _fxe_file_create(FxMedia *media, const char *name);
uint32_t _fxe_file_open(FxMedia *media, FxFile *file, const char *name, uint32_t type);
uint32_t _fxe_file_close(FxFile *file);
// A second hold on an open file that outlives the file's own descriptor
// (closed when its card is pulled); -1 when none could be taken.
int _fxe_file_hold(const FxFile *file);
// Lets go of a hold; with remove, first deletes the file wherever its folder
// is now (a pulled card's folder included).
void _fxe_file_release(int hold, bool remove);
// FX_MEDIA_NOT_OPEN (the file closed) once the drive of an open file is gone,
// else FX_SUCCESS. Reads and writes check it themselves.
uint32_t _fxe_file_media_check(FxFile *file);
uint32_t _fxe_file_read(FxFile *file, void *buffer, uint32_t length, uint32_t *count);
uint32_t _fxe_file_write(FxFile *file, const void *data, uint32_t length);
uint32_t _fxe_file_seek(FxFile *file, uint64_t offset);
// from: 0 current position, 1 end, 2 start.
uint32_t _fxe_file_relative_seek(FxFile *file, int64_t offset, uint32_t from);
uint32_t _fxe_file_truncate(FxFile *file, uint64_t length);
uint32_t _fxe_file_delete(FxMedia *media, const char *name);
uint32_t _fxe_file_rename(FxMedia *media, const char *old_name, const char *new_name);
uint32_t _fxe_file_attributes_set(FxMedia *media, const char *name, uint32_t attributes);
uint32_t _fxe_file_attributes_read(FxMedia *media, const char *name, uint32_t *attributes);

// An upload in hand: the new content goes to a file of its own on the
// target's folder (without a name where the drive allows it, else under the
// target's name with FX_UPLOAD_SUFFIX) and takes the target's place only when
// whole, so a failed or cut upload leaves the old file as it was.
constexpr const char *FX_UPLOAD_SUFFIX = ".upl~";
struct FxUpload {
    char target[FX_PATH_MAX];  // host path of the file replaced
    char temp[FX_PATH_MAX];    // host path of the temporary while it has a name, else ""
    uint8_t active;
};
// Opens file for an upload of name: empty, or with append holding the
// target's present content. Answers as _fxe_file_open.
uint32_t _fxe_file_upload_open(FxMedia *media, FxFile *file, FxUpload *up, const char *name, bool append);
// The upload is whole: on the card, in the target's place, closed. Any other
// answer than FX_SUCCESS leaves the target as it was and nothing of the upload.
uint32_t _fxe_file_upload_commit(FxFile *file, FxUpload *up);
// The upload failed: closed, nothing of it left. Harmless when none is active.
void _fxe_file_upload_abort(FxFile *file, FxUpload *up);

// ---- directories ------------------------------------------------------------------------
uint32_t _fxe_directory_rename(FxMedia *media, const char *old_name, const char *new_name);
uint32_t _fxe_directory_attributes_set(FxMedia *media, const char *name, uint32_t attributes);
uint32_t _fxe_directory_attributes_read(FxMedia *media, const char *name, uint32_t *attributes);
uint32_t _fxe_directory_create(FxMedia *media, const char *name);
uint32_t _fxe_directory_delete(FxMedia *media, const char *name);
uint32_t _fxe_directory_name_test(FxMedia *media, const char *name);
// Entry search in the current directory; name needs FX_NAME_MAX bytes. Every
// out field but name may be null.
uint32_t _fxe_directory_first_full_entry_find(FxMedia *media, char *name, uint32_t *attributes, uint64_t *size,
                                              uint32_t *year, uint32_t *month, uint32_t *day, uint32_t *hour,
                                              uint32_t *minute, uint32_t *second);
uint32_t _fxe_directory_next_full_entry_find(FxMedia *media, char *name, uint32_t *attributes, uint64_t *size,
                                             uint32_t *year, uint32_t *month, uint32_t *day, uint32_t *hour,
                                             uint32_t *minute, uint32_t *second);
uint32_t _fxe_directory_information_get(FxMedia *media, const char *name, uint32_t *attributes, uint64_t *size,
                                        uint32_t *year, uint32_t *month, uint32_t *day, uint32_t *hour,
                                        uint32_t *minute, uint32_t *second);
uint32_t _fxe_directory_local_path_set(FxMedia *media, FxLocalPath *local, const char *path);
uint32_t _fxe_directory_local_path_get(FxMedia *media, const char **path);
uint32_t _fxe_directory_local_path_restore(FxMedia *media, const FxLocalPath *local);

// ---- media ----------------------------------------------------------------------------------
uint32_t _fxe_media_flush(FxMedia *media);
uint32_t _fxe_media_space_available(FxMedia *media, uint32_t *free_kb);

// Sets a modification time (local time fields) with futimes on the file, or
// with utimes on the path when flag bit 4 is set.
uint32_t set_mtime(FxFile *file, const char *path, uint32_t year, uint32_t month, uint32_t day, uint32_t hour,
                   uint32_t minute, uint32_t second, uint32_t flags);

// ---- free-space reporter -----------------------------------------------------------------------
// Body of the reporter child: rewrites the free-space record once a second
// and ends when the controller ends. Never returns.
[[noreturn]] void BackTsk();
// Forks the reporter child (registered as a child of the controller, ending
// with it); answers its process id, or -1 when the fork failed.
pid_t BackTsk_Start();
// One rewrite of the free-space record (what the reporter does each second).
void BackTsk_Report();
