// File-transfer host. A command line waits in FxpInterface until FxpMain
// executes it; uploads, downloads and listings then move through the ring, one
// step per main-loop pass, so that a long transfer never stalls the scan.
#include "media/fxp.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <fnmatch.h>

#include "core/image/plcreg.h"
#include "core/image/timebase.h"
#include "media/filex.h"

FxpInterfaceRec FxpInterface;

namespace {

constexpr uint32_t R_OK_CDUP = 200, R_OK_CWD = 250, R_OK_MKD = 257, R_OPENED = 150, R_BUSY = 450, R_NO_SPACE = 452,
                   R_UNKNOWN = 500, R_BAD_NAME = 501, R_NOT_FOUND = 550, R_FAIL = 611, R_PREVIOUS = 612, R_EXISTS = 614,
                   R_NONE = 615, R_NO_RESTORE = 616, R_NOT_EMPTY = 617, R_AT_ROOT = 618, R_EXTRA = 619,
                   R_ACCEPTED = 651, R_NO_READ = 653;
constexpr std::size_t TOKEN_MAX = 256;
constexpr std::size_t REL_MAX = FX_PATH_MAX + TOKEN_MAX + 8;
constexpr uint16_t W_FXP_OVERRIDE = 302;  // 652 here lets commands through without media
constexpr const char kDriveLetter[3] = {'A', 'B', 'Z'};

// Per drive the working directory, relative to the drive's root, with '/'
// separators and a trailing '/' ("" at the root).
char FxpCwd[3][FX_PATH_MAX];
uint8_t FxpDrive = DRIVE_A;
uint8_t FxpCommandPrvF, FxpWriteFileErrF, FxpReadFileErrF, FileWriteCompleteF, FxpFlushF;
FxFile FxpTransferFile;
// The upload in hand: its bytes go to a file of their own, which takes the
// target's place only when the upload is whole (a cut upload leaves the old
// file, or none, under the name).
FxUpload FxpUpload;
char FxpTransferPath[REL_MAX];  // the upload's target
uint8_t FxpUploadNew;           // the target did not exist: plain attributes once in place
// An upload whose tool went silent (stopped half-way: Ctrl-C, a cable
// pulled) is cut short after this long without a block, so that its partial
// file is dropped and the name keeps what it had: the tool's own retries of a
// block take a few seconds at most.
constexpr uint32_t kUploadIdleTicks = 150000;  // 15 s in 100 us ticks (the count's wrap is harmless)
uint32_t FxpLastBlockTick;                     // when the upload opened or its last block came

// Listing: the directory being listed, the pattern, and a line that did not
// fit into the ring yet.
FxMedia FxpListMedia;
char FxpListPattern[TOKEN_MAX + 1];
char FxpListLine[FX_NAME_MAX + 80];
std::size_t FxpListLineLen;
uint8_t FxpListFirst;

// A token resolved against a drive's working directory.
struct FxpName {
    uint8_t drive;
    char dir[FX_PATH_MAX];     // relative to the root, trailing '/' unless empty
    char name[TOKEN_MAX + 1];  // last component, may be empty
};

void RingClear() {
    FxpInterface.wr = FxpInterface.rd = FxpInterface.fill = 0;
    FxpInterface.end_of_data = 0;
}
uint32_t RingFree() { return uint32_t(FXP_RING_SIZE - FxpInterface.fill); }
void RingPut(const uint8_t *data, uint32_t n) {
    for (uint32_t i = 0; i < n; ++i) {
        FxpInterface.ring[FxpInterface.wr] = data[i];
        FxpInterface.wr = uint16_t((FxpInterface.wr + 1) % FXP_RING_SIZE);
    }
    FxpInterface.fill = uint16_t(FxpInterface.fill + n);
}
uint32_t RingTake(uint8_t *out, uint32_t max) {
    const uint32_t n = std::min<uint32_t>(max, FxpInterface.fill);
    for (uint32_t i = 0; i < n; ++i) {
        out[i] = FxpInterface.ring[FxpInterface.rd];
        FxpInterface.rd = uint16_t((FxpInterface.rd + 1) % FXP_RING_SIZE);
    }
    FxpInterface.fill = uint16_t(FxpInterface.fill - n);
    return n;
}

// "X:/dir/name" as the file layer takes it (a name with a separator is taken
// from the drive's root).
void FullPath(uint8_t drive, const char *dir, const char *name, char *out, std::size_t size) {
    std::size_t n = 0;
    auto add = [&](const char *t) {
        while (*t != 0 && n + 1 < size) out[n++] = *t++;
    };
    const char head[4] = {kDriveLetter[drive], ':', '/', 0};
    add(head);
    add(dir);
    add(name);
    out[n] = 0;
}

// Splits a line into at most three tokens; a token in double quotes keeps its
// blanks; tokens are cut at 256 characters.
int Tokenise(const char *line, char tok[3][TOKEN_MAX + 1]) {
    int n = 0;
    const char *c = line;
    for (int i = 0; i < 3; ++i) tok[i][0] = 0;
    while (n < 3) {
        while (*c == ' ') c++;
        if (*c == 0) break;
        std::size_t len = 0;
        if (*c == '"') {
            c++;
            while (*c != 0 && *c != '"') {
                if (len < TOKEN_MAX) tok[n][len++] = *c;
                c++;
            }
            if (*c == '"') c++;
        } else {
            while (*c != 0 && *c != ' ') {
                if (len < TOKEN_MAX) tok[n][len++] = *c;
                c++;
            }
        }
        tok[n][len] = 0;
        n++;
    }
    return n;
}

// Resolves a token ("A:\FX\D.BIN", "\D.BIN", "SUB\D.BIN", "D.BIN") against
// the drive's working directory. A ".." component, which would climb out of
// the drive, and a path too long for the file layer are refused (false).
bool Resolve(const char *token, FxpName &out) {
    out.drive = FxpDrive;
    const char *c = token;
    if (c[0] != 0 && c[1] == ':') {
        switch (c[0]) {
        case 'A': out.drive = DRIVE_A; break;
        case 'B': out.drive = DRIVE_B; break;
        case 'Z': out.drive = DRIVE_Z; break;
        default: return false;
        }
        c += 2;
    }
    char buf[FX_PATH_MAX];
    std::size_t len = 0;
    if (*c == '/' || *c == '\\') {
        buf[0] = 0;
    } else {
        len = std::strlen(FxpCwd[out.drive]);
        std::memcpy(buf, FxpCwd[out.drive], len + 1);
    }
    out.name[0] = 0;
    while (*c != 0) {
        while (*c == '/' || *c == '\\') c++;
        const char *start = c;
        while (*c != 0 && *c != '/' && *c != '\\') c++;
        const std::size_t n = std::size_t(c - start);
        if (n == 0) break;
        if (n == 1 && start[0] == '.') continue;
        if (n == 2 && start[0] == '.' && start[1] == '.') return false;
        if (out.name[0] != 0) {  // the previous component is a directory
            const std::size_t m = std::strlen(out.name);
            if (len + m + 2 >= sizeof buf - 16) return false;
            std::memcpy(buf + len, out.name, m);
            len += m;
            buf[len++] = '/';
            buf[len] = 0;
        }
        if (n > TOKEN_MAX) return false;
        std::memcpy(out.name, start, n);
        out.name[n] = 0;
    }
    // A trailing separator names a directory: it is the last component.
    std::memcpy(out.dir, buf, len + 1);
    return true;
}

void CloseTransfer() {
    // An unfinished upload leaves nothing behind; the target stays as it was.
    _fxe_file_upload_abort(&FxpTransferFile, &FxpUpload);
    if (FxpTransferFile.open) _fxe_file_close(&FxpTransferFile);
    FxpTransferPath[0] = 0;
    if (FxpListMedia.dir != nullptr) {
        closedir(FxpListMedia.dir);
        FxpListMedia.dir = nullptr;
    }
    FxpInterface.state = FXP_IDLE;
}

bool IsDirectory(const char *path) {
    FxMedia m{};
    uint32_t attr = 0;
    return _fxe_directory_attributes_read(&m, path, &attr) == FX_SUCCESS && (attr & FX_DIRECTORY) != 0;
}

uint32_t DoMkd(const FxpName &n) {
    FxMedia m{};
    char path[REL_MAX];
    // Every missing directory along the path, then the last one.
    const std::size_t dl = std::strlen(n.dir);
    uint32_t s = FX_SUCCESS;
    for (std::size_t i = 0; i < dl; ++i) {
        if (n.dir[i] != '/') continue;
        char part[FX_PATH_MAX];
        std::memcpy(part, n.dir, i);
        part[i] = 0;
        FullPath(n.drive, part, "", path, sizeof path);
        s = _fxe_directory_create(&m, path);
        if (s != FX_SUCCESS && s != FX_ALREADY_CREATED) break;
        s = FX_SUCCESS;
    }
    if (s == FX_SUCCESS) {
        if (n.name[0] == 0) return R_BAD_NAME;
        FullPath(n.drive, n.dir, n.name, path, sizeof path);
        s = _fxe_directory_create(&m, path);
    }
    if (s == FX_SUCCESS) FxpFlushF = 1;
    switch (s) {
    case FX_SUCCESS: return R_OK_MKD;
    case 10: return R_NO_SPACE;
    case FX_ALREADY_CREATED: return R_EXISTS;
    case FX_INVALID_PATH: return R_NOT_FOUND;
    default: return R_FAIL;
    }
}

uint32_t DoCwd(const FxpName &n) {
    char rel[REL_MAX];
    const int len = std::snprintf(rel, sizeof rel, "%s%s%s", n.dir, n.name, n.name[0] != 0 ? "/" : "");
    if (len < 0 || len >= int(FX_PATH_MAX) - 16) return R_BAD_NAME;
    char path[REL_MAX];
    FullPath(n.drive, rel, "", path, sizeof path);
    if (!IsDirectory(path)) {
        // A file of that name is there but is no directory (611); a path
        // that is not there answers 550.
        FullPath(n.drive, n.dir, n.name, path, sizeof path);
        FxMedia m{};
        uint32_t attr = 0;
        const bool file = n.name[0] != 0 && _fxe_file_attributes_read(&m, path, &attr) == FX_SUCCESS;
        return file ? R_FAIL : R_NOT_FOUND;
    }
    std::memcpy(FxpCwd[n.drive], rel, std::size_t(len) + 1);
    FxpDrive = n.drive;
    return R_OK_CWD;
}

uint32_t DoCdup(uint8_t drive) {
    char *cwd = FxpCwd[drive];
    std::size_t len = std::strlen(cwd);
    if (len == 0) return R_AT_ROOT;
    len--;  // the trailing '/'
    while (len > 0 && cwd[len - 1] != '/') len--;
    cwd[len] = 0;
    return R_OK_CDUP;
}

// An existing file is replaced, whole: the upload goes to a file of its own
// that takes the name once complete, so the old content stays under it until
// then and after an upload cut short. A folder of that name is not replaced
// (614), nor a read-only file (611, as a create over it fails).
uint32_t DoStor(const FxpName &n) {
    if (n.name[0] == 0) return R_BAD_NAME;
    char path[REL_MAX];
    FullPath(n.drive, n.dir, n.name, path, sizeof path);
    FxMedia m{};
    if (IsDirectory(path)) return R_EXISTS;
    uint32_t attr = 0;
    const bool exists = _fxe_file_attributes_read(&m, path, &attr) == FX_SUCCESS;
    if (exists && (attr & FX_READ_ONLY)) return R_FAIL;
    const uint32_t s = _fxe_file_upload_open(&m, &FxpTransferFile, &FxpUpload, path, false);
    switch (s) {
    case FX_SUCCESS: break;
    case 10: return R_NO_SPACE;
    case FX_NOT_A_FILE: return R_EXISTS;
    case FX_NOT_FOUND:
    case FX_INVALID_PATH: return R_BAD_NAME;  // no such folder
    case FX_ACCESS_ERROR: return R_BUSY;
    default: return R_FAIL;
    }
    FxpUploadNew = exists ? 0 : 1;
    std::memcpy(FxpTransferPath, path, sizeof path);
    FxpLastBlockTick = FPGA_GetFrt();
    FxpWriteFileErrF = 0;
    FileWriteCompleteF = 0;
    FxpInterface.state = FXP_UPLOAD;
    return R_OPENED;
}

uint32_t DoRetr(const FxpName &n) {
    if (n.name[0] == 0) return R_BAD_NAME;
    char path[REL_MAX];
    FullPath(n.drive, n.dir, n.name, path, sizeof path);
    if (IsDirectory(path)) return R_BUSY;  // not a file
    FxMedia m{};
    const uint32_t s = _fxe_file_open(&m, &FxpTransferFile, path, FX_OPEN_FOR_READ);
    switch (s) {
    case FX_SUCCESS: break;
    case FX_NOT_FOUND:
    case FX_ACCESS_ERROR:
    case 8: return R_NOT_FOUND;
    case FX_NOT_A_FILE: return R_BUSY;
    default: return R_FAIL;
    }
    FxpReadFileErrF = 0;
    FxpInterface.extra = uint32_t(FxpTransferFile.size);
    FxpInterface.state = FXP_DOWNLOAD;
    return R_EXTRA;
}

uint32_t DoRnfr(const FxpName &from, const char *to_token) {
    FxpName to{};
    if (from.name[0] == 0 || to_token[0] == 0) return R_BAD_NAME;
    if (!Resolve(to_token, to) || to.name[0] == 0 || to.drive != from.drive) return R_BAD_NAME;
    char a[REL_MAX], b[REL_MAX];
    FullPath(from.drive, from.dir, from.name, a, sizeof a);
    FullPath(to.drive, to.dir, to.name, b, sizeof b);
    FxMedia m{};
    const uint32_t s = IsDirectory(a) ? _fxe_directory_rename(&m, a, b) : _fxe_file_rename(&m, a, b);
    // An old name that cannot be opened (13) answers 550 as a missing one
    // does, a new name taken by a directory (16) 614 as a taken file name
    // does, rather than the bare failure 611: the tool can say what is wrong.
    switch (s) {
    case FX_SUCCESS: return R_OK_CDUP;
    case FX_NOT_FOUND:
    case FX_ACCESS_ERROR:
    case FX_INVALID_PATH: return R_NOT_FOUND;
    case FX_NOT_A_FILE:
    case 12:
    case FX_NOT_DIRECTORY: return R_BAD_NAME;
    case FX_ALREADY_CREATED:
    case FX_DIR_NOT_EMPTY: return R_EXISTS;
    default: return R_FAIL;
    }
}

uint32_t DoDele(const FxpName &n) {
    if (n.name[0] == 0) return R_BAD_NAME;
    char path[REL_MAX];
    FullPath(n.drive, n.dir, n.name, path, sizeof path);
    FxMedia m{};
    switch (_fxe_file_delete(&m, path)) {
    case FX_SUCCESS: return R_OK_CWD;
    case FX_NOT_FOUND:
    case FX_ACCESS_ERROR: return R_NOT_FOUND;
    case FX_NOT_A_FILE: return R_BAD_NAME;
    default: return R_FAIL;
    }
}

uint32_t DoRmd(const FxpName &n) {
    if (n.name[0] == 0) return R_BAD_NAME;
    char rel[REL_MAX];
    std::snprintf(rel, sizeof rel, "%s%s/", n.dir, n.name);
    // A drive's working directory itself: 501. A folder above it holds it, so
    // the removal answers 617 as for any folder that is not empty.
    if (std::strcmp(rel, FxpCwd[n.drive]) == 0) return R_BAD_NAME;
    char path[REL_MAX];
    FullPath(n.drive, n.dir, n.name, path, sizeof path);
    if (!IsDirectory(path)) return R_NOT_FOUND;
    FxMedia m{};
    switch (_fxe_directory_delete(&m, path)) {
    case FX_SUCCESS: return R_OK_CWD;
    case FX_NOT_FOUND:
    case FX_NOT_DIRECTORY: return R_NOT_FOUND;
    case 12: return R_BAD_NAME;
    case FX_DIR_NOT_EMPTY: return R_NOT_EMPTY;
    default: return R_FAIL;
    }
}

// Next listing line into FxpListLine; false at the end of the directory.
bool NextListLine(uint32_t &status) {
    for (;;) {
        char name[FX_NAME_MAX];
        uint32_t attr = 0, y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
        uint64_t size = 0;
        const uint32_t r =
            FxpListFirst
                ? _fxe_directory_first_full_entry_find(&FxpListMedia, name, &attr, &size, &y, &mo, &d, &h, &mi, &s)
                : _fxe_directory_next_full_entry_find(&FxpListMedia, name, &attr, &size, &y, &mo, &d, &h, &mi, &s);
        FxpListFirst = 0;
        if (r != FX_SUCCESS) {
            status = r;
            return false;
        }
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
        if (FxpListPattern[0] != 0 && fnmatch(FxpListPattern, name, FNM_CASEFOLD) != 0) continue;
        // The date is written whole: cut to 8 characters, a two-digit day and
        // month would lose the year's last digits.
        const int n = std::snprintf(FxpListLine, sizeof FxpListLine, "%c %s %llu %u:%u:%u %u/%u/%u %c%c%c\r\n",
                                    (attr & FX_DIRECTORY) ? 'D' : 'F', name, static_cast<unsigned long long>(size), h,
                                    mi, s, d, mo, y, (attr & FX_READ_ONLY) ? 'R' : 'r', (attr & FX_SYSTEM) ? 'S' : 's',
                                    (attr & 0x02) ? 'H' : 'h');
        FxpListLineLen = std::min<std::size_t>(std::size_t(std::max(n, 0)), sizeof FxpListLine - 1);
        return true;
    }
}

uint32_t DoList(const char *token) {
    FxpName n{};
    char rel[REL_MAX];
    FxpListPattern[0] = 0;
    if (token[0] == 0) {
        n.drive = FxpDrive;
        std::snprintf(rel, sizeof rel, "%s", FxpCwd[n.drive]);
    } else {
        if (!Resolve(token, n)) return R_NOT_FOUND;
        char path[REL_MAX];
        FullPath(n.drive, n.dir, n.name, path, sizeof path);
        if (n.name[0] != 0 && IsDirectory(path)) {
            std::snprintf(rel, sizeof rel, "%s%s/", n.dir, n.name);
        } else {
            std::snprintf(rel, sizeof rel, "%s", n.dir);
            if (std::strcmp(n.name, "*.*") != 0) std::memcpy(FxpListPattern, n.name, sizeof FxpListPattern);
        }
    }
    FxpListMedia = FxMedia{};
    FxpListMedia.drive = n.drive;
    FullPath(n.drive, rel, "", FxpListMedia.cwd, sizeof FxpListMedia.cwd);
    // First pass: the total length of the listing.
    uint32_t total = 0, status = 0;
    FxpListFirst = 1;
    bool any = NextListLine(status);
    if (!any && status != FX_NO_MORE_ENTRIES) {
        if (FxpListMedia.dir != nullptr) closedir(FxpListMedia.dir);
        FxpListMedia.dir = nullptr;
        return R_NOT_FOUND;
    }
    while (any) {
        total += uint32_t(FxpListLineLen);
        any = NextListLine(status);
    }
    if (status != FX_NO_MORE_ENTRIES) return R_NONE;
    FxpListFirst = 1;
    FxpListLineLen = 0;
    FxpInterface.extra = total;
    FxpInterface.state = FXP_LISTING;
    return R_EXTRA;
}

uint32_t Execute() {
    char tok[3][TOKEN_MAX + 1];
    Tokenise(FxpInterface.line, tok);
    if (tok[0][0] == 0) return R_UNKNOWN;
    for (char *c = tok[0]; *c != 0; ++c) *c = char(std::tolower(static_cast<unsigned char>(*c)));
    for (int i = 1; i < 3; ++i)
        for (char *c = tok[i]; *c != 0; ++c) *c = char(std::toupper(static_cast<unsigned char>(*c)));
    // The drive of the command: a prefix of its argument, else the current one.
    uint8_t drive = FxpDrive;
    if (tok[1][0] != 0 && tok[1][1] == ':') {
        if (tok[1][0] == 'A')
            drive = DRIVE_A;
        else if (tok[1][0] == 'B')
            drive = DRIVE_B;
        else if (tok[1][0] == 'Z')
            drive = DRIVE_Z;
        else
            return R_BAD_NAME;
    }
    char mnt[16];
    if (drive != DRIVE_Z && PlcWord(W_FXP_OVERRIDE) != 652 && !MountDrive(drive, mnt)) return R_FAIL;
    CloseTransfer();
    RingClear();
    // The drive's working directory must still be there; when it is gone
    // (removed, or another card inserted) the command answers 616 and the
    // drive goes back to its root, so that the next command works.
    if (FxpCwd[drive][0] != 0) {
        char path[REL_MAX];
        FullPath(drive, FxpCwd[drive], "", path, sizeof path);
        if (!IsDirectory(path)) {
            FxpCwd[drive][0] = 0;
            return R_NO_RESTORE;
        }
    }

    const char *verb = tok[0];
    FxpName n{};
    const bool known = std::strcmp(verb, "mkd") == 0 || std::strcmp(verb, "cwd") == 0 ||
                       std::strcmp(verb, "stor") == 0 || std::strcmp(verb, "retr") == 0 ||
                       std::strcmp(verb, "rnfr") == 0 || std::strcmp(verb, "dele") == 0 ||
                       std::strcmp(verb, "rmd") == 0;
    if (known) {
        if (tok[1][0] == 0) return std::strcmp(verb, "cwd") == 0 ? R_FAIL : R_BAD_NAME;
        if (!Resolve(tok[1], n)) return R_BAD_NAME;
    }
    if (std::strcmp(verb, "mkd") == 0) return DoMkd(n);
    if (std::strcmp(verb, "cwd") == 0) return DoCwd(n);
    if (std::strcmp(verb, "cdup") == 0) return DoCdup(drive);
    if (std::strcmp(verb, "stor") == 0) return DoStor(n);
    if (std::strcmp(verb, "retr") == 0) return DoRetr(n);
    if (std::strcmp(verb, "rnfr") == 0) return DoRnfr(n, tok[2]);
    if (std::strcmp(verb, "dele") == 0) return DoDele(n);
    if (std::strcmp(verb, "rmd") == 0) return DoRmd(n);
    if (std::strcmp(verb, "list") == 0) return DoList(tok[1]);
    return R_UNKNOWN;
}

void StepDownload() {
    if (FxpInterface.end_of_data || RingFree() < 1024) return;
    uint8_t buf[FXP_RING_SIZE];
    uint32_t got = 0;
    const uint32_t s = _fxe_file_read(&FxpTransferFile, buf, RingFree(), &got);
    if (s != FX_SUCCESS) {
        FxpReadFileErrF = 1;
        _fxe_file_close(&FxpTransferFile);
        RingClear();
        FxpInterface.state = FXP_IDLE;
        return;
    }
    RingPut(buf, got);
    if (got == 0) {
        FxpInterface.end_of_data = 1;
        _fxe_file_close(&FxpTransferFile);
    }
}

void StepUpload() {
    FileWriteCompleteF = 0;
    while (FxpInterface.fill > 0) {
        uint8_t buf[FXP_RING_SIZE];
        const uint32_t n = RingTake(buf, FXP_RING_SIZE);
        if (_fxe_file_write(&FxpTransferFile, buf, n) != FX_SUCCESS) {
            CloseTransfer();  // closes and deletes the partial file
            FxpWriteFileErrF = 1;
            RingClear();
            return;
        }
    }
    if (FxpInterface.end_of_data) {
        // Complete: the file takes its name, and the tool's closing empty
        // block is answered once the flush is done.
        if (_fxe_file_upload_commit(&FxpTransferFile, &FxpUpload) != FX_SUCCESS) {
            CloseTransfer();
            FxpWriteFileErrF = 1;
            RingClear();
            return;
        }
        if (FxpUploadNew) {
            // Plain attributes, as a file written on the card's FAT volume has.
            FxMedia m{};
            _fxe_file_attributes_set(&m, FxpTransferPath, 0);
        }
        FxpTransferPath[0] = 0;
        FxpInterface.state = FXP_UPLOAD_DONE;
        FxpFlushF = 1;
    }
}

// A pulled card ends an open transfer at once: the ring's bytes are dropped,
// the file closed, and the tool's next block and the close are refused.
void DropIfPulled() {
    const uint8_t st = FxpInterface.state;
    bool gone = false;
    if (st == FXP_UPLOAD || st == FXP_DOWNLOAD || st == FXP_DOWNLOAD_OUT)
        gone = FxpTransferFile.open && _fxe_file_media_check(&FxpTransferFile) != FX_SUCCESS;
    else if (st == FXP_LISTING || st == FXP_LISTING_OUT)
        gone = FxpListMedia.drive != DRIVE_Z && !MountDrive(FxpListMedia.drive, nullptr);
    if (!gone) return;
    if (st == FXP_UPLOAD)
        FxpWriteFileErrF = 1;
    else
        FxpReadFileErrF = 1;
    CloseTransfer();
    RingClear();
}

void StepListing() {
    for (;;) {
        if (FxpListLineLen == 0) {
            uint32_t status = 0;
            if (!NextListLine(status)) {
                FxpInterface.end_of_data = 1;
                return;
            }
        }
        if (FxpListLineLen > RingFree()) return;
        RingPut(reinterpret_cast<const uint8_t *>(FxpListLine), uint32_t(FxpListLineLen));
        FxpListLineLen = 0;
    }
}

}  // namespace

void Fxp_Initialise() {
    _fxe_file_upload_abort(&FxpTransferFile, &FxpUpload);  // nothing of a cut upload stays
    if (FxpTransferFile.open) _fxe_file_close(&FxpTransferFile);
    if (FxpListMedia.dir != nullptr) closedir(FxpListMedia.dir);
    FxpInterface = FxpInterfaceRec{};
    FxpListMedia = FxMedia{};
    FxpTransferFile = FxFile{};
    FxpUpload = FxUpload{};
    FxpUploadNew = 0;
    FxpTransferPath[0] = 0;
    FxpCommandPrvF = FxpWriteFileErrF = FxpReadFileErrF = FileWriteCompleteF = FxpFlushF = 0;
    FxpListLineLen = 0;
    for (auto &c : FxpCwd) c[0] = 0;
    FxpDrive = DRIVE_A;
}

int32_t Fxp_DoParseCommand(const char *line, int32_t *extra) {
    if (extra != nullptr) *extra = -1;
    if (line != nullptr) {
        // A line while another waits to be carried out takes its place, and
        // the next poll answers 612 before the new line's reply. A line whose
        // reply was ready but never collected (the exchange that sent it was
        // cut off) is over: the new line is taken as usual. Answering 612
        // there would block every later command, since each exchange ends at
        // that answer and leaves its own reply uncollected in turn.
        FxpCommandPrvF = FxpInterface.pending && !FxpInterface.done ? 1 : 0;
        const std::size_t n = strnlen(line, FXP_LINE_MAX);
        std::memcpy(FxpInterface.line, line, n);
        FxpInterface.line[n] = 0;
        FxpInterface.reply = R_ACCEPTED;
        FxpInterface.pending = 1;
        FxpInterface.done = 0;
        return -1;
    }
    if (FxpCommandPrvF) {
        FxpCommandPrvF = 0;
        return int32_t(R_PREVIOUS);
    }
    if (!FxpInterface.pending) return int32_t(R_NONE);
    if (!FxpInterface.done) return -1;
    FxpInterface.pending = 0;
    FxpInterface.done = 0;
    if (FxpInterface.reply == R_EXTRA && extra != nullptr) *extra = int32_t(FxpInterface.extra);
    return int32_t(FxpInterface.reply);
}

int32_t Fxp_DoWriteData(const uint8_t *data, uint32_t length) {
    // The upload's write error (the file is closed and deleted) is the
    // answer to the tool's next block, once.
    if (FxpWriteFileErrF) {
        FxpWriteFileErrF = 0;
        return int32_t(R_FAIL);
    }
    if (length == 0) {
        if (FileWriteCompleteF) {
            FileWriteCompleteF = 0;
            return int32_t(R_ACCEPTED);
        }
        if (FxpInterface.state == FXP_UPLOAD || FxpInterface.state == FXP_UPLOAD_DONE) {
            FxpInterface.end_of_data = 1;
            return -1;
        }
        return int32_t(R_FAIL);
    }
    // A block with no upload open is refused every time, not only once after
    // a write error: taken into the ring it would be answered 651 and then
    // go nowhere, and left out it would be offered again for ever.
    if (FxpInterface.state != FXP_UPLOAD || FxpInterface.end_of_data) return int32_t(R_FAIL);
    if (length > RingFree()) return -1;
    RingPut(data, length);
    FxpLastBlockTick = FPGA_GetFrt();
    return int32_t(R_ACCEPTED);
}

int32_t Fxp_DoReadData(uint8_t *buffer, uint32_t max) {
    const uint8_t st = FxpInterface.state;
    if (st == FXP_DOWNLOAD_OUT || st == FXP_LISTING_OUT) {
        RingClear();
        FxpInterface.state = FXP_IDLE;
        return 0;
    }
    if (st != FXP_DOWNLOAD && st != FXP_LISTING) {
        if (FxpReadFileErrF) {
            FxpReadFileErrF = 0;
            return -int32_t(R_FAIL);
        }
        return -int32_t(R_NO_READ);
    }
    if (FxpInterface.fill > 0) return int32_t(RingTake(buffer, max));
    if (FxpInterface.end_of_data) {
        FxpInterface.state = st == FXP_DOWNLOAD ? FXP_DOWNLOAD_OUT : FXP_LISTING_OUT;
        return -1;
    }
    return -1;
}

void FxpMain(uint32_t) {
    DropIfPulled();
    if (FxpInterface.pending && !FxpInterface.done) {
        FxpInterface.reply = Execute();
        FxpInterface.done = 1;
        return;
    }
    switch (FxpInterface.state) {
    case FXP_DOWNLOAD: StepDownload(); return;
    case FXP_UPLOAD:
        if (!FxpInterface.end_of_data && FxpInterface.fill == 0 &&
            FPGA_GetFrt() - FxpLastBlockTick > kUploadIdleTicks) {
            // Cut short: the partial file goes, and a late block is refused.
            CloseTransfer();
            FxpWriteFileErrF = 1;
            RingClear();
            return;
        }
        StepUpload();
        return;
    case FXP_LISTING: StepListing(); return;
    default: break;
    }
    if (FxpFlushF) {
        FxMedia m{};
        m.drive = FxpDrive;
        _fxe_media_flush(&m);
        FxpFlushF = 0;
        FileWriteCompleteF = 1;
        if (FxpInterface.state == FXP_UPLOAD_DONE) FxpInterface.state = FXP_IDLE;
    }
}
