// File instructions: the ownership protocol of the drives' transfers, the
// limits of register transfers, and the worker jobs (copy, the three
// deletes, format). Paths of the jobs are resolved in the main thread; a
// worker thread then copies or deletes in-process and watches a cancel flag,
// or formats the drive (no shell "cp" or "rm": stopping one by "killall"
// would end every process of that name on the machine).
#include "media/fileblk.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <pthread.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "core/image/bytes.h"
#include "core/image/plcreg.h"
#include "media/cfapi.h"
#include "media/cfdpram.h"
#include "media/cfm.h"
#include "platform/plat.h"

std::array<uint32_t, 2> FileStatus;
std::atomic<uint32_t> RmCopyOpsThreadId, RmDeleteOpsThreadId, RmDelAllOpsThreadId, RmDelFromObjOpsThreadId,
    RmFormatOpsThreadId;
std::atomic<int32_t> CopyRet, DeleteRet, DelAllRet, DelFromObjRet, FormatRet;
RmJob RmBlockDataCopy, RmBlockDataDelete, RmBlockDataDelAll, RmBlockDataDelFromObj, RmBlockDataFormat;

namespace {
constexpr uint8_t BUSY_USB = 2, BUSY_SD = 4;
// The instruction whose request on the file-request channel is posted and
// not yet collected (0 none): when it lets go of its drive first, it hands
// the channel back, or no file instruction of either drive could post again.
uint32_t chan_owner;

bool OnChannel(uint16_t opcode) {
    return opcode == 248 || opcode == 250 || opcode == 251 || opcode == 252 || opcode == 254;
}
void LetGoOfChannel(uint32_t owner) {
    if (chan_owner == 0 || chan_owner != owner) return;
    CF_DpramAbandon();
    chan_owner = 0;
}
constexpr std::size_t HOST_MAX = RM_HOST_MAX;

// ---- register image windows ----------------------------------------------------------------
// The image is one run of bytes: the linear window, then %ET, %EM and %ESR.
// A reference of an extended window is folded to its place in that run, and
// a linear bit address past the linear window (a byte pointer into the
// extended areas) names the same place; a range may run on across windows
// up to the last bit of %ESR.
constexpr uint64_t IMAGE_BITS = (uint64_t(REG_ESR_BYTE) * 8) + (REG_ESR_END - REG_ESR_FIRST);
static_assert(IMAGE_BITS / 8 <= PLC_REG_SIZE);

// Bit offset of a bit address from the start of the image; false outside it.
bool Fold(uint32_t a, uint64_t *off) {
    if (a >= REG_LIN_FIRST && uint64_t(a) - REG_LIN_FIRST < IMAGE_BITS)
        *off = a - REG_LIN_FIRST;
    else if (a >= REG_ET_FIRST && a < REG_ET_END)
        *off = uint64_t(REG_ET_BYTE) * 8 + (a - REG_ET_FIRST);
    else if (a >= REG_EM_FIRST && a < REG_EM_END)
        *off = uint64_t(REG_EM_BYTE) * 8 + (a - REG_EM_FIRST);
    else if (a >= REG_ESR_FIRST && a < REG_ESR_END)
        *off = uint64_t(REG_ESR_BYTE) * 8 + (a - REG_ESR_FIRST);
    else
        return false;
    return true;
}

// Byte of a range of bits that ends inside the image; false otherwise.
bool Range(uint32_t a, uint64_t bits, uint32_t *byte) {
    uint64_t off = 0;
    if (!Fold(a, &off) || bits > IMAGE_BITS - off) return false;
    *byte = uint32_t(off / 8);
    return true;
}

uint8_t *StatusPtr(const FileOpRec *op) {
    if (op->status_ptr != nullptr) return op->status_ptr;
    uint32_t b = 0;
    return Range(op->status, 32, &b) ? &plc_reg[b] : nullptr;
}
uint16_t GetStatus(const FileOpRec *op) {
    const uint8_t *p = StatusPtr(op);
    return p ? LE_Get16(p) : FILE_DISABLED;
}
void SetStatus(const FileOpRec *op, uint16_t v) {
    if (uint8_t *p = StatusPtr(op)) LE_Put16(p, v);
}
void SetCount(const FileOpRec *op, uint32_t n) {
    if (uint8_t *p = StatusPtr(op)) LE_Put16(p + 2, uint16_t(n));
}

bool GetBit(uint32_t a) {
    uint32_t b = 0;
    return Range(a, 1, &b) && ((plc_reg[b] >> (a & 7)) & 1);
}
void PutBit(uint32_t a, bool v) {
    uint32_t b = 0;
    if (!Range(a, 1, &b)) return;
    const uint8_t m = uint8_t(1u << (a & 7));
    plc_reg[b] = v ? uint8_t(plc_reg[b] | m) : uint8_t(plc_reg[b] & ~m);
}

// Bytes of register data a read descriptor list fills (64 bits: a long
// list of large counts never wraps to a small size).
uint64_t ReadDescBytes(const FileOpRec *op, uint32_t *elements) {
    uint64_t pos = 0;
    *elements = 0;
    for (uint32_t i = 0; i < op->desc_count; i++) {
        if (op->descs == nullptr || uint64_t(i + 1) * 4 > op->descs_size) return UINT64_MAX;
        const uint8_t f = op->descs[4 * i + 1];
        const uint32_t c = LE_Get16(op->descs + 4 * i + 2);
        *elements += c ? c : 1;
        // A descriptor without a count is passed over by the reader: it
        // fills no bytes (a text one would else leave two bytes of the
        // channel, whatever an earlier request put there, in the registers).
        if (c == 0) continue;
        switch (f) {
        case 0: pos = (pos + c + 2) & ~uint64_t(1); break;
        case 2: pos += (c + 15) / 16 * 2; break;
        case 3:
        case 6:
        case 7: pos += 4 * uint64_t(c); break;
        case 10: pos = (pos + c + 1) & ~uint64_t(1); break;
        default: pos += 2 * uint64_t(c); break;
        }
    }
    return pos;
}

// A read lands in the %IG..%K block only when it starts there, and in the
// %AIG..%SR block only when it starts there (end exclusive, in bits).
bool ReadLands(uint32_t a, uint64_t bits) {
    const uint64_t end = uint64_t(a) + bits;
    if (a < 2048 && end > 1536) return false;
    if (a >= 2048 && a < 8192 && end > 3072) return false;
    return true;
}

// The transfer record of a register transfer (248, 250, 251) for this scan.
struct Transfer {
    CfTransferRec rec{};
    uint32_t count = 0;
    uint8_t bit[2] = {};
    bool read = false;
};

// The row counter of a descriptor read: the word two words above the
// reference at operand offset 16; false when it lies outside the image.
bool RowCounter(const FileOpRec *op, uint32_t *byte) { return Range(op->row_ref + 32, 16, byte); }

uint16_t Prepare(const FileOpRec *op, Transfer &t) {
    CfTransferRec &r = t.rec;
    t.read = op->opcode == 250 || (op->opcode == 248 && op->desc_mode != 77);
    r.kind = op->kind;
    r.name = op->name;
    r.format = op->format & 0x7FFF;
    r.count = op->count;
    r.count_out = &t.count;
    r.start = op->start;
    r.mode = op->flags & 0x0F;
    r.flag8 = t.read ? 0 : uint8_t((op->flags >> 4) & 1);
    uint64_t bytes = 0;
    if (op->opcode == 248) {
        if (op->desc_count == 0) return CF_INVALID;
        r.kind = 1;
        r.desc_count = op->desc_count;
        r.descs = op->descs;
        r.descs_size = op->descs_size;
        if (t.read) {
            uint32_t elements = 0;
            bytes = ReadDescBytes(op, &elements);
            r.flag8 = 76;
            // Successive starts read successive groups of rows (the counter
            // moves on once the request is posted, in Step).
            uint32_t w = 0;
            if (!RowCounter(op, &w)) return CF_INVALID;
            const uint16_t counter = LE_Get16(&plc_reg[w]);
            r.start = int32_t(uint32_t(counter) * elements);
        } else {
            bytes = op->desc_bytes;
            r.desc_mode = 77;
            r.header = op->header;
            r.names = op->names;
            r.names_size = op->names_size;
            r.flag8 = 1;  // a descriptor write always ends its line
        }
    } else {
        if (r.format > 8) return CF_INVALID;
        if (r.kind == 0) {
            bytes = r.count;
        } else if (r.format == 2) {
            // One bit: moved through a byte of its own.
            r.count = t.read && r.start < 0 ? r.count : 1;
            if (!t.read) t.bit[0] = GetBit(op->data) ? 1 : 0;
            r.data = t.bit;
            r.data_size = sizeof t.bit;
            // The one bit obeys the landing rule of every read: a bit of a
            // system register is never set from a file.
            uint32_t b = 0;
            return Range(op->data, 1, &b) && (!t.read || ReadLands(op->data, 1)) ? CF_OK : CF_INVALID;
        } else if (t.read && r.start == -1) {
            bytes = CF_TypeWidth[r.format] == 32 ? 4 : 2;
        } else if (t.read && r.start < 0) {
            bytes = uint64_t(CF_ColumnRows(&r)) * (r.format == 0 ? CF_TEXT_SLOT : CF_TypeWidth[r.format] / 8);
        } else {
            bytes = r.format == 0 ? r.count : CF_DataBytes(r.format, r.count);
        }
    }
    if (bytes > FILE_MAX_BYTES) return CF_INVALID;
    uint32_t byte = 0;
    if (!Range(op->data, bytes * 8, &byte)) return CF_INVALID;
    if (t.read && !ReadLands(op->data, bytes * 8)) return CF_INVALID;
    r.data = &plc_reg[byte];
    r.data_size = uint32_t(bytes);
    return CF_OK;
}

int32_t PostTransfer(const FileOpRec *op, Transfer &t, bool poll) {
    const uint8_t d = uint8_t(op->drive | (poll ? CF_DPRAM_POLL : 0));
    return t.read ? CF_DpramReadFile(d, &t.rec) : CF_DpramWriteFile(d, &t.rec);
}

// ---- names of the jobs ---------------------------------------------------------------------
// A job name: cut at the first blank (at most 511 characters), meta sequences
// expanded, a "Z:" taken as the SD card, resolved on its drive (existing entries in any case) to a host
// path. Refuses ".." and the drive root. Answers 0, 86 or 2.
uint16_t JobPath(const char *name, char *host, uint8_t *drive, bool *wild, bool *dir_end) {
    char n[FX_PATH_MAX];
    std::size_t k = 0;
    while (name[k] != 0 && name[k] != ' ') {
        if (k >= FX_PATH_MAX - 1) return CF_INVALID;
        n[k] = name[k] == '/' ? '\\' : name[k];
        k++;
    }
    n[k] = 0;
    // A name cut to fit (its meta sequences grown past a path, or on its
    // drive's mount point) would name another, shorter file: refused.
    if (!ConvertMeta(n, sizeof n)) return CF_INVALID;
    // "Z:" is the SD card here: the stored program and configuration are
    // out of a program's reach.
    CfProgramName(n);
    *wild = std::strpbrk(n, "*?") != nullptr;
    // A folder name ends with a separator after the meta sequences are
    // expanded (an expansion may change the length of the name).
    const std::size_t len_exp = std::strlen(n);
    *dir_end = len_exp > 0 && n[len_exp - 1] == '\\';
    char cf[FX_PATH_MAX];
    if (CfName(n, cf, drive, false)) return CF_INVALID;
    for (const char *c = cf + 2; *c;) {
        while (*c == '\\') c++;
        const char *e = c;
        while (*e && *e != '\\') e++;
        if ((e - c == 2 && c[0] == '.' && c[1] == '.') || (e - c == 1 && c[0] == '.')) return CF_INVALID;
        c = e;
    }
    std::size_t len = std::strlen(cf);
    while (len > 3 && cf[len - 1] == '\\') cf[--len] = 0;
    if (len <= 3) return CF_INVALID;  // the drive root itself
    char sys[FX_PATH_MAX];
    if (!CfDriveChk(cf, sys, DRIVE_ANY)) return CF_NOT_PRESENT;
    if (std::strlen(sys) >= FX_PATH_MAX - 1) return CF_INVALID;
    if (PLAT_Path(sys, host, HOST_MAX) == nullptr) return CF_INVALID;
    // A symbolic link on the card leads off it: as a name that is not there.
    return Fx_MediaHost(sys, host, HOST_MAX) ? CF_OK : CF_NOT_FOUND;
}

bool Mounted(uint8_t drive) { return MountDrive(drive, nullptr) != 0; }
uint8_t BusyBit(uint8_t drive) { return drive == DRIVE_B ? BUSY_USB : BUSY_SD; }
uint8_t DriveOfName(const char *name) { return std::strstr(name, "B:") || std::strstr(name, "b:") ? DRIVE_B : DRIVE_A; }

void CopyStr(char *out, std::size_t size, const char *text) {
    std::size_t n = std::strlen(text);
    if (n >= size) n = size - 1;
    std::memcpy(out, text, n);
    out[n] = 0;
}

// ---- names on the drives ----------------------------------------------------------------------
// An entry's name against a pattern: '*' any run, '?' any one character,
// any other character itself in either case (a card's names match in any
// case; a '[' is a character like any other). One pass over the name, going
// back only to just after the last '*' seen: time grows with the product of
// the two lengths at most. Trying every place for every '*' in turn would
// take ages for a pattern of many '*' against a long name, and the check of
// a delete runs in the scan. Nothing is copied, so a long pattern is never
// cut to one that matches other names.
bool NameMatches(const char *pattern, const char *name) {
    const auto up = [](char c) { return std::toupper(static_cast<unsigned char>(c)); };
    const char *p = pattern, *n = name, *star = nullptr, *resume = nullptr;
    while (*n != 0) {
        if (*p == '*') {
            star = p++;
            resume = n;
        } else if (*p != 0 && (*p == '?' || up(*p) == up(*n))) {
            p++;
            n++;
        } else if (star != nullptr) {
            p = star + 1;  // the last '*' takes one more character
            n = ++resume;
        } else {
            return false;
        }
    }
    while (*p == '*') p++;
    return *p == 0;
}

bool Dots(const char *name) { return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0; }

// 1 when an entry other than "." and ".." matches the pattern.
uint32_t AnyFilePresentWithSuchPattern(const char *dir, const char *pattern) {
    DIR *d = opendir(dir);
    if (d == nullptr) return 0;
    uint32_t found = 0;
    while (struct dirent *e = readdir(d)) {
        if (!Dots(e->d_name) && NameMatches(pattern, e->d_name)) {
            found = 1;
            break;
        }
    }
    closedir(d);
    return found;
}

// 1 when the directory cannot be opened or holds nothing but "." and "..".
uint32_t isDirectoryEmpty(const char *path) {
    DIR *d = opendir(path);
    if (d == nullptr) return 1;
    uint32_t entries = 0;
    while (entries < 3 && readdir(d) != nullptr) entries++;
    closedir(d);
    return entries < 3 ? 1 : 0;
}

// Splits a host path at its last '/': the directory and the last component.
const char *SplitHost(char *path) {
    char *cut = std::strrchr(path, '/');
    if (cut == nullptr) return path;
    *cut = 0;
    return cut + 1;
}

// ---- the jobs ----------------------------------------------------------------------------------
struct JobKind {
    RmJob *rec;
    std::atomic<uint32_t> *id;
    std::atomic<int32_t> *ret;
};
// Copy, delete, delete-all, delete-from-object, format.
const std::array<JobKind, 5> kJobs = {{{&RmBlockDataCopy, &RmCopyOpsThreadId, &CopyRet},
                                       {&RmBlockDataDelete, &RmDeleteOpsThreadId, &DeleteRet},
                                       {&RmBlockDataDelAll, &RmDelAllOpsThreadId, &DelAllRet},
                                       {&RmBlockDataDelFromObj, &RmDelFromObjOpsThreadId, &DelFromObjRet},
                                       {&RmBlockDataFormat, &RmFormatOpsThreadId, &FormatRet}}};
// The instruction that started the last job of each kind and has not yet
// collected its result (0 none). The result variable is one per kind: a job
// started over an uncollected result would hand the new job's result to the
// first starter's poll.
std::array<uint32_t, 5> job_owner;
uint32_t &OwnerOf(const JobKind &k) { return job_owner[std::size_t(&k - kJobs.data())]; }
// The result is kept for its starter only while the starter still holds a
// drive: a starter that went away by any road (a new IEC application) keeps
// nothing waiting.
bool Reserved(const JobKind &k) {
    const uint32_t o = OwnerOf(k);
    return o != 0 && (FileStatus[0] == o || FileStatus[1] == o);
}
const JobKind &KindOf(const RmJob *job) {
    for (const JobKind &k : kJobs)
        if (k.rec == job) return k;
    return kJobs[0];
}

// 94 when a job of this kind runs or its result waits for its starter, or
// a job of another kind is marked on one of the drives in mask; else 0.
int32_t Conflict(const JobKind &self, uint8_t mask) {
    if (*self.id != 0 || Reserved(self)) return FILE_JOB_CONFLICT;
    for (const JobKind &k : kJobs)
        if (&k != &self && *k.id != 0 && (k.rec->busy & mask)) return FILE_JOB_CONFLICT;
    return 0;
}

bool MakeDirs(const char *path) {
    char p[HOST_MAX];
    CopyStr(p, sizeof p, path);
    for (char *c = p + 1; *c; c++) {
        if (*c != '/') continue;
        *c = 0;
        if (mkdir(p, 0775) != 0 && errno != EEXIST) return false;
        *c = '/';
    }
    return mkdir(p, 0775) == 0 || errno == EEXIST;
}

bool CopyFile(const char *from, const char *to, const std::atomic<bool> &cancel) {
    struct stat a {
    }, b{};
    if (lstat(from, &a) != 0 || !S_ISREG(a.st_mode)) return false;
    if (stat(to, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino) return false;
    const int in = open(from, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (in < 0) return false;
    const int out = open(to, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0664);
    if (out < 0) {
        close(in);
        return false;
    }
    static thread_local uint8_t buf[65536];
    bool ok = true;
    for (;;) {
        if (cancel.load()) {
            ok = false;
            break;
        }
        const ssize_t r = read(in, buf, sizeof buf);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) {
            ok = r == 0;
            break;
        }
        for (ssize_t done = 0; done < r;) {
            const ssize_t w = write(out, buf + done, std::size_t(r - done));
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) {
                ok = false;
                break;
            }
            done += w;
        }
        if (!ok) break;
    }
    close(in);
    if (close(out) != 0) ok = false;
    if (!ok) unlink(to);
    return ok;
}

bool CopyJob(RmJob &j) {
    // The destination directory: the destination itself when it names a
    // directory, else its parent.
    char dir[HOST_MAX];
    CopyStr(dir, sizeof dir, j.second);
    if (!(j.flag & 2)) SplitHost(dir);
    if (!MakeDirs(dir)) return false;
    if (!(j.flag & 1)) {
        char to[HOST_MAX];
        if (j.flag & 2) {
            const char *base = std::strrchr(j.first, '/');
            const int n = std::snprintf(to, sizeof to, "%s/%s", dir, base ? base + 1 : j.first);
            if (n < 0 || n >= int(sizeof to)) return false;
        } else {
            CopyStr(to, sizeof to, j.second);
        }
        return CopyFile(j.first, to, j.cancel);
    }
    char sdir[HOST_MAX];
    CopyStr(sdir, sizeof sdir, j.first);
    const char *pattern = SplitHost(sdir);
    DIR *d = opendir(sdir);
    if (d == nullptr) return false;
    bool ok = true, omitted = false;
    int copied = 0;
    while (struct dirent *e = readdir(d)) {
        if (!ok || j.cancel.load()) break;
        if (Dots(e->d_name) || !NameMatches(pattern, e->d_name)) continue;
        char from[HOST_MAX], to[HOST_MAX];
        if (std::snprintf(from, sizeof from, "%s/%s", sdir, e->d_name) >= int(sizeof from) ||
            std::snprintf(to, sizeof to, "%s/%s", dir, e->d_name) >= int(sizeof to)) {
            ok = false;
            break;
        }
        struct stat st {};
        if (lstat(from, &st) != 0) continue;
        // A folder is not copied (no recursion), and the copy then fails as
        // a shell copy does, once the files are across; links are skipped.
        if (S_ISDIR(st.st_mode)) omitted = true;
        if (!S_ISREG(st.st_mode)) continue;
        ok = CopyFile(from, to, j.cancel);
        copied++;
    }
    closedir(d);
    return ok && copied > 0 && !omitted;
}

thread_local const std::atomic<bool> *delete_cancel;
int RemoveOne(const char *path, const struct stat *, int, struct FTW *) {
    if (delete_cancel && delete_cancel->load()) return 1;
    return remove(path) == 0 ? 0 : 1;
}
bool RemoveTree(const char *path) {
    struct stat st {};
    if (lstat(path, &st) != 0) return false;
    if (!S_ISDIR(st.st_mode)) return unlink(path) == 0;
    return nftw(path, RemoveOne, 16, FTW_DEPTH | FTW_PHYS) == 0;
}

// Removes the path, or with a pattern (flag) every entry of its directory
// that matches; a name that is not there is nothing to remove.
bool DeleteJob(RmJob &j) {
    delete_cancel = &j.cancel;
    if (!j.flag) {
        struct stat st {};
        return lstat(j.first, &st) != 0 || RemoveTree(j.first);
    }
    char dir[HOST_MAX];
    CopyStr(dir, sizeof dir, j.first);
    const char *pattern = SplitHost(dir);
    DIR *d = opendir(dir);
    if (d == nullptr) return errno == ENOENT;
    bool ok = true;
    while (struct dirent *e = readdir(d)) {
        if (j.cancel.load()) break;
        if (Dots(e->d_name) || !NameMatches(pattern, e->d_name)) continue;
        char p[HOST_MAX];
        if (std::snprintf(p, sizeof p, "%s/%s", dir, e->d_name) >= int(sizeof p)) continue;
        if (!RemoveTree(p)) ok = false;
    }
    closedir(d);
    return ok;
}

bool StartThread(RmJob &job) {
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    pthread_t t;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    const bool ok = pthread_create(&t, &attr, RMBlockThreadFunc, &job) == 0;
    pthread_attr_destroy(&attr);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return ok;
}

// Marks the job running on the drives of mask and starts its thread;
// answers -2, or 5 when no thread could be started.
int32_t Launch(const JobKind &k, uint16_t opcode, uint8_t mask, uint32_t owner) {
    RmJob &j = *k.rec;
    j.opcode = opcode;
    j.cancel = false;
    j.busy = mask;
    *k.ret = -2;
    *k.id = 1;
    if (!StartThread(j)) {
        *k.id = 0;
        j.busy = 0;
        if (opcode == 254) CfFormatBusy[j.drive] = 0;
        return CF_MEDIA_ERROR;
    }
    OwnerOf(k) = owner;
    return -2;
}

// Starts a copy; answers -2 when started, else the final status.
int32_t StartCopy(const FileOpRec *op) {
    if (op->name == nullptr || op->name2 == nullptr || op->name[0] == 0 || op->name2[0] == 0) return CF_NOT_FOUND;
    const JobKind &k = kJobs[0];
    if (*k.id != 0 || Reserved(k)) return FILE_JOB_CONFLICT;
    // A drive another job holds first: a drive being formatted is unmounted
    // meanwhile, and is busy rather than missing.
    const uint8_t sd = DriveOfName(op->name), dd = DriveOfName(op->name2);
    const uint8_t mask = uint8_t(BusyBit(sd) | BusyBit(dd));
    if (const int32_t c = Conflict(k, mask)) return c;
    if (!Mounted(sd) || !Mounted(dd)) return CF_NOT_PRESENT;
    RmJob &j = *k.rec;
    bool wild = false, dir_end = false, w2 = false;
    uint8_t d1 = 0, d2 = 0;
    if (const uint16_t s = JobPath(op->name, j.first, &d1, &wild, &dir_end)) return s;
    if (const uint16_t s = JobPath(op->name2, j.second, &d2, &w2, &dir_end)) return s;
    // A destination with '*' or '?' is refused (86), not passed on: it
    // names no one file. A shell copy would expand it to whatever already
    // matches and write over that file (or copy every match into the
    // last), and one that matches nothing would make a file or folder
    // whose name holds '*' or '?', which a FAT card cannot hold and no
    // later instruction could name except by pattern.
    if (w2) return CF_INVALID;
    struct stat st {};
    const bool dest_dir = dir_end || wild || (stat(j.second, &st) == 0 && S_ISDIR(st.st_mode));
    j.flag = uint8_t((wild ? 1 : 0) | (dest_dir ? 2 : 0));
    return Launch(k, 249, mask, op->owner);
}

// Delete (253), delete-all (5), delete-from-object (4): the name's drive
// mounted and free of other jobs. A delete needs what it names to be there
// (a pattern: at least one match in a directory that is not empty); the
// other two remove whatever is there. A delete-all keeps a '*' that ends
// the name (every entry of the folder); a delete-from-object drops it and
// removes the folder itself.
int32_t StartDelete(const FileOpRec *op, const JobKind &k) {
    if (op->name == nullptr || op->name[0] == 0) return CF_NOT_FOUND;
    if (*k.id != 0 || Reserved(k)) return FILE_JOB_CONFLICT;
    const uint8_t drive = DriveOfName(op->name);
    if (const int32_t c = Conflict(k, BusyBit(drive))) return c;
    if (!Mounted(drive)) return CF_NOT_PRESENT;
    char name[FX_PATH_MAX];
    std::size_t n = 0;
    while (op->name[n] != 0 && op->name[n] != ' ') {
        if (n >= sizeof name - 1) return CF_INVALID;
        name[n] = op->name[n];
        n++;
    }
    name[n] = 0;
    if (op->opcode == 4 && n > 0 && name[n - 1] == '*') name[--n] = 0;
    RmJob &j = *k.rec;
    bool wild = false, dir_end = false;
    uint8_t d = 0;
    if (const uint16_t s = JobPath(name, j.first, &d, &wild, &dir_end)) return s;
    if (op->opcode == 253) {
        struct stat st {};
        if (wild) {
            char dir[HOST_MAX];
            CopyStr(dir, sizeof dir, j.first);
            const char *pattern = SplitHost(dir);
            if (isDirectoryEmpty(dir) || !AnyFilePresentWithSuchPattern(dir, pattern)) return CF_NOT_FOUND;
        } else if (lstat(j.first, &st) != 0) {
            return CF_NOT_FOUND;
        }
    }
    j.flag = wild ? 1 : 0;
    return Launch(k, op->opcode, BusyBit(drive), op->owner);
}

// Stops the job of this kind that owner started (any job for owner 0); a
// job another instruction started runs on.
void Cancel(const JobKind &k, uint32_t owner) {
    if (owner != 0 && OwnerOf(k) != owner) return;
    OwnerOf(k) = 0;
    if (*k.id != 0) {
        k.rec->cancel = true;
        *k.ret = -4;
    }
}

// Posts or polls the operation of an instruction; -2 while it runs.
int32_t Step(const FileOpRec *op, bool poll, uint32_t *count, bool *has_count) {
    *has_count = false;
    switch (op->opcode) {
    case 248:
    case 250:
    case 251: {
        Transfer t;
        const uint16_t prep = Prepare(op, t);
        if (const uint16_t s = prep) {
            if (!poll) return s;
            // The operands changed under a running transfer: collect it, copy nothing.
            t.rec.data = nullptr;
            t.rec.data_size = 0;
        }
        const int32_t r = PostTransfer(op, t, poll);
        // Only a posted start takes its group of rows: one refused or left
        // waiting for the channel is tried again next scan with the same
        // rows, not with the counter run on past rows never read.
        if (!poll && r == -2 && op->opcode == 248 && t.read) {
            uint32_t w = 0;
            if (RowCounter(op, &w)) LE_Put16(&plc_reg[w], uint16_t(LE_Get16(&plc_reg[w]) + 1));
        }
        if (poll && r != -2) {
            *count = t.count;
            *has_count = true;
            // One bit moves only with a read that handed back one element (a
            // read by column over several rows leaves it as it was).
            if (prep == CF_OK && t.read && t.rec.format == 2 && op->opcode != 248 && t.count == 1)
                PutBit(op->data, t.bit[0] & 1);
        }
        return r;
    }
    case 249: return poll ? CopyRet.load() : StartCopy(op);
    case 252: return CF_DpramRenameFile(uint8_t(op->drive | (poll ? CF_DPRAM_POLL : 0)), op->name, op->name2);
    case 253: return poll ? DeleteRet.load() : StartDelete(op, kJobs[1]);
    case 5: return poll ? DelAllRet.load() : StartDelete(op, kJobs[2]);
    case 4: return poll ? DelFromObjRet.load() : StartDelete(op, kJobs[3]);
    case 254: return CF_DpramFormatCard(uint8_t(op->drive | (poll ? CF_DPRAM_POLL : 0)));
    default: return CF_INVALID;
    }
}
}  // namespace

void File_Init() {
    FileStatus = {};
    job_owner = {};  // jobs still running keep their kind busy all the same
    // A new program: no request of the old one's instructions is collected
    // any more (an IEC file block's request stays the block's).
    LetGoOfChannel(chan_owner);
}

uint32_t File_Access(const FileOpRec *op, uint32_t enable) {
    if (op == nullptr || op->owner == 0) return 0;
    // A status reference outside the image can show neither progress nor an
    // answer: the request would never be collected and would keep the drive
    // and the request channel (or the job kind) from every other
    // instruction. Such an instruction does nothing at all.
    if (StatusPtr(op) == nullptr) return 0;
    if (op->opcode == 248 && op->desc_mode != 77) {
        // Restart of the row counter.
        const uint8_t *sp = StatusPtr(op);
        if (sp && (GetBit(1536) || (sp[0] & 1))) {
            uint32_t w = 0;
            if (RowCounter(op, &w)) LE_Put16(&plc_reg[w], op->row_restart ? 1 : 0);
            // The end-of-file code 65535 without its bit 0 would read as
            // 65534 "in progress" for a read that is over; it stays 65535
            // (the rows restart all the same, and the next start reads the
            // first group again).
            const uint16_t s = uint16_t(GetStatus(op) & ~1u);
            if (s != FILE_BUSY || chan_owner == op->owner) SetStatus(op, s);
        }
    }
    const unsigned slot = op->drive & 1;
    if (op->drive > 1) {
        SetStatus(op, CF_INVALID);
        return 0;
    }
    if (!enable) {
        if (FileStatus[slot] == op->owner) {
            FileStatus[slot] = 0;
            LetGoOfChannel(op->owner);
            // A running copy or delete stops; a format runs to its end.
            if (op->opcode == 249) Cancel(kJobs[0], op->owner);
            if (op->opcode == 253) Cancel(kJobs[1], op->owner);
            if (op->opcode == 5) Cancel(kJobs[2], op->owner);
            if (op->opcode == 4) Cancel(kJobs[3], op->owner);
        }
        SetStatus(op, FILE_DISABLED);
        return 0;
    }
    if (FileStatus[slot] != 0 && FileStatus[slot] != op->owner) {
        SetStatus(op, FILE_OWNED);
        return 0;
    }
    uint32_t count = 0;
    bool has_count = false;
    if (FileStatus[slot] == op->owner) {
        // Only a request of this instruction's own is polled: its answer,
        // once collected, is gone from the channel, and a status word set to
        // 65534 again (by the program) would otherwise collect whatever
        // request another instruction has on the channel, with its data.
        if (GetStatus(op) == FILE_BUSY && (!OnChannel(op->opcode) || chan_owner == op->owner)) {
            const int32_t r = Step(op, true, &count, &has_count);
            if (r != -2) {
                if (OnChannel(op->opcode) && chan_owner == op->owner) chan_owner = 0;  // collected
                for (const JobKind &k : kJobs)
                    if (OwnerOf(k) == op->owner && k.rec->opcode == op->opcode) OwnerOf(k) = 0;
                SetStatus(op, uint16_t(r));
                if (has_count) SetCount(op, count);
            }
        }
        return GetStatus(op) == 0 ? 1 : 0;
    }
    const int32_t r = Step(op, false, &count, &has_count);
    if (r == -2) {
        FileStatus[slot] = op->owner;
        if (OnChannel(op->opcode)) chan_owner = op->owner;
        SetStatus(op, FILE_BUSY);
        SetCount(op, 0);
        return 0;
    }
    SetStatus(op, uint16_t(r));
    return r == 0 ? 1 : 0;
}

void File_KillJobs() {
    for (unsigned i = 0; i < 4; i++) Cancel(kJobs[i], 0);
    FileStatus = {};
    LetGoOfChannel(chan_owner);
}

bool File_JobsIdle(uint32_t timeout_ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        bool idle = true;
        for (const JobKind &k : kJobs) idle = idle && *k.id == 0;
        if (idle) return true;
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

int32_t File_StartFormat(uint8_t drive) {
    if (drive > DRIVE_B) return CF_INVALID;
    const JobKind &k = kJobs[4];
    if (const int32_t c = Conflict(k, BusyBit(drive))) return c;
    k.rec->drive = drive;
    // Before the thread starts: from here on nothing else mounts the drive.
    CfFormatBusy[drive] = 1;
    const int32_t r = Launch(k, 254, BusyBit(drive), 0);
    return r == -2 ? CF_FORMATTING : r;
}

int32_t File_FormatResult() { return RmFormatOpsThreadId != 0 ? -2 : FormatRet.load(); }

void *RMBlockThreadFunc(void *arg) {
    RmJob &j = *static_cast<RmJob *>(arg);
    const JobKind &k = KindOf(&j);
    int32_t result = 0;
    switch (j.opcode) {
    case 249: result = CopyJob(j) ? 0 : 5; break;
    case 254:
        result = CfStateDecode(Cf_Format(0, j.drive));
        CfFormatBusy[j.drive] = 0;
        break;
    default: result = DeleteJob(j) ? 0 : 5; break;  // 253, 5, 4
    }
    if (!j.cancel.load()) *k.ret = result;
    j.busy = 0;
    *k.id = 0;
    return nullptr;
}
