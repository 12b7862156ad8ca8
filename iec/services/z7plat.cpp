// Runtime platform layer: files (a handle is a slot number of a small table
// of streams), the file-transfer helpers, the clock stamps, the runtime
// trace, driver-kit utilities, and the host hooks of I/O systems this
// controller does not have, which answer "none".
#include <array>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/time.h>
#include <cstdarg>
#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

#include "iec/services/drevano.h"
#include "iec/services/z7mb.h"
#include "iec/services/z7rtio.h"
#include "iec/services/z7svc.h"
#include "iec/vm/z7parts.h"
#include "media/filex.h"
#include "platform/plat.h"

namespace {
// Every runtime file handle (Z7File_, Z7FT_ and Z7Vfs_ opens) is a slot of
// this fixed table, numbered from 1: at most 16 files are open at once, and
// a further open answers 0 (failure), as for a file that cannot be opened,
// until one of them is closed.
std::array<FILE *, 16> files{};

FILE *Slot(uint32_t h) { return h >= 1 && h <= files.size() ? files[h - 1] : nullptr; }

// A name on a drive never follows a symbolic link off it.
bool Host(const char *path, char *out, size_t n) { return path != nullptr && Fx_MediaHost(path, out, n); }
}  // namespace

uint32_t Z7File_Open(const char *path, bool write) {
    char p[512];
    if (!Host(path, p, sizeof p)) return 0;
    for (uint32_t i = 0; i < files.size(); i++) {
        if (files[i] != nullptr) continue;
        files[i] = std::fopen(p, write ? "wb" : "rb");
        // a directory opens for reading on the host but is no file: every
        // read of it would end at once, and a copy of it would empty its
        // destination and report success
        struct stat st {};
        if (files[i] != nullptr && !write && fstat(fileno(files[i]), &st) == 0 && S_ISDIR(st.st_mode)) {
            std::fclose(files[i]);
            files[i] = nullptr;
        }
        return files[i] ? i + 1 : 0;
    }
    return 0;
}

void Z7File_Close(uint32_t h) {
    if (FILE *f = Slot(h)) {
        std::fclose(f);
        files[h - 1] = nullptr;
    }
}

bool Z7File_Read(uint32_t h, void *buffer, uint32_t size) {
    FILE *f = Slot(h);
    return f && buffer && std::fread(buffer, 1, size, f) == size;
}

bool Z7File_Write(uint32_t h, const void *buffer, uint32_t size) {
    FILE *f = Slot(h);
    return f && buffer && std::fwrite(buffer, 1, size, f) == size;
}

bool Z7File_Fflush(uint32_t h) {
    FILE *f = Slot(h);
    return f && std::fflush(f) == 0;
}

bool Z7File_Delete(const char *path) {
    char p[512];
    return Host(path, p, sizeof p) && unlink(p) == 0;
}

bool Z7File_Rename(const char *from, const char *to) {
    char a[512], b[512];
    return Host(from, a, sizeof a) && Host(to, b, sizeof b) && std::rename(a, b) == 0;
}

bool Z7File_Exist(const char *path) {
    char p[512];
    return Host(path, p, sizeof p) && access(p, F_OK) == 0;
}

uint32_t Z7File_GetSize(const char *path) {
    char p[512];
    struct stat st {};
    return Host(path, p, sizeof p) && stat(p, &st) == 0 ? uint32_t(st.st_size) : 0;
}

// The standard functions' F_EXIST and file sizes: a folder is no file (it
// does not open as one either), so it neither exists nor has a size here.
bool Z7File_IsFile(const char *path) {
    char p[512];
    struct stat st {};
    return Host(path, p, sizeof p) && stat(p, &st) == 0 && !S_ISDIR(st.st_mode);
}
uint32_t Z7File_GetFileSize(const char *path) { return Z7File_IsFile(path) ? Z7File_GetSize(path) : 0; }

// No host I/O system: nothing is sized, opened or exchanged, and its module
// pointers stay empty.
void *pCounter = nullptr;
void *pS7 = nullptr;
uint32_t Z7Ios_GetMemorySizing(uint32_t) { return 0; }
uint32_t Z7Ios_Open(uint32_t, uint32_t, uint32_t) { return 0; }
uint32_t Z7Ios_Exchange(uint32_t) { return 0; }
uint32_t Z7Ios_CanHotRestart(uint32_t) { return 0; }
uint32_t Z7Ios_HotRestart(uint32_t) {
    pCounter = nullptr;
    pS7 = nullptr;
    return 0;
}
void Z7Ios_Close() {
    pCounter = nullptr;
    pS7 = nullptr;
}

// ---- more file calls ------------------------------------------------------------------------------

uint32_t Z7File_OpenAppend(const char *path) {
    char p[512];
    if (!Host(path, p, sizeof p)) return 0;
    for (uint32_t i = 0; i < files.size(); i++) {
        if (files[i] != nullptr) continue;
        files[i] = std::fopen(p, "ab");
        if (files[i] == nullptr) files[i] = std::fopen(p, "wb");
        return files[i] ? i + 1 : 0;
    }
    return 0;
}

bool Z7File_Fseek(uint32_t h, uint32_t origin, int32_t offset) {
    FILE *f = Slot(h);
    const int whence = origin == 1 ? SEEK_CUR : origin == 2 ? SEEK_END : SEEK_SET;
    return f && std::fseek(f, offset, whence) == 0;
}

bool Z7File_Eof(uint32_t h) {
    FILE *f = Slot(h);
    return f == nullptr || std::feof(f);
}

bool Z7File_Copy(const char *from, const char *to) {
    const uint32_t in = Z7File_Open(from, false);
    if (in == 0) return false;
    // Opening the destination empties it: when it is the source itself (by
    // the same name or another link) the file would be lost and the copy of
    // nothing reported done, so it is refused and the file left as it was.
    char dst[512];
    struct stat a {
    }, b{};
    if (Host(to, dst, sizeof dst) && fstat(fileno(Slot(in)), &a) == 0 && stat(dst, &b) == 0 && a.st_dev == b.st_dev &&
        a.st_ino == b.st_ino) {
        Z7File_Close(in);
        return false;
    }
    const uint32_t out = Z7File_Open(to, true);
    if (out == 0) {
        Z7File_Close(in);
        return false;
    }
    uint8_t buf[64];
    bool ok = true;
    for (;;) {
        const size_t n = std::fread(buf, 1, sizeof buf, Slot(in));
        if (n == 0) break;
        if (std::fwrite(buf, 1, n, Slot(out)) != n) ok = false;
    }
    Z7File_Close(in);
    Z7File_Close(out);
    return ok;
}

bool Z7File_WriteLine(uint32_t h, const char *text) {
    FILE *f = Slot(h);
    return f && text && std::fputs(text, f) >= 0 && std::fputc('\n', f) != EOF;
}

uint32_t Z7File_ReadLine(uint32_t h, char *buf, uint32_t size) {
    if (buf == nullptr || size == 0) return 0;
    // a handle without a stream reads the empty line: the caller's buffer
    // never keeps what it held before
    buf[0] = 0;
    FILE *f = Slot(h);
    if (f == nullptr) return 0;
    uint32_t n = 0;
    while (n + 1 < size && n < 255) {
        const int c = std::fgetc(f);
        if (c == EOF || c == '\n') break;
        if (c == 0) continue;
        buf[n++] = char(c);
    }
    buf[n] = 0;
    return n;
}

// ---- file-transfer helpers -----------------------------------------------------------------------

char *_GetFullPath(const char *name, char *out) {
    if (name == nullptr || out == nullptr) return nullptr;
    char t[256];
    size_t n = strnlen(name, 255);
    std::memcpy(t, name, n);
    t[n] = 0;
    for (size_t i = 0; i < n; i++)
        if (t[i] == '\\') t[i] = '/';
    const char *r = t;
    // ".." first: a name that climbs keeps only its last element, even when
    // it starts with '/'
    if (std::strstr(r, "..") != nullptr) {
        const char *slash = std::strrchr(r, '/');
        if (slash) r = slash + 1;
        if (std::strcmp(r, "..") == 0 || std::strcmp(r, ".") == 0) return nullptr;
    } else if (r[0] == '/') {
        std::memcpy(out, r, std::strlen(r) + 1);
        return out;
    }
    if (std::strstr(r, "./") != nullptr && std::strlen(r) >= 2) r += 2;
    return Z7_GetFullPath(r, out);
}

uint32_t Z7FT_OpenWrite(uint32_t, const char *name, uint8_t *is_reg) {
    char p[256];
    if (is_reg) *is_reg = name && std::strcmp(name, "z7.reg") == 0 ? 1 : 0;
    return _GetFullPath(name, p) ? Z7File_Open(p, true) : 0;
}

uint32_t Z7FT_OpenRead(const char *name, uint32_t *size) {
    char p[256];
    if (size) *size = 0;
    if (!_GetFullPath(name, p)) return 0;
    const uint32_t h = Z7File_Open(p, false);
    if (h && size) *size = Z7File_GetSize(p);
    return h;
}

uint32_t Z7FT_Read(uint32_t h, uint32_t count, uint8_t *buf) {
    FILE *f = Slot(h);
    return f ? uint32_t(std::fread(buf, 1, count, f)) : 0;
}

uint32_t Z7FT_Write(uint32_t h, uint32_t len, const uint8_t *data) {
    FILE *f = Slot(h);
    return f && (len == 0 || std::fwrite(data, 1, len, f) == len) ? 1 : 0;
}

void Z7FT_Close(uint32_t h, uint8_t is_reg) {
    Z7File_Close(h);
    if (is_reg) Z7_SignalRegChange();
}

uint32_t Z7FT_Delete(const char *name) {
    char p[256];
    return _GetFullPath(name, p) ? Z7File_Delete(p) : 0;
}

// No directory listing on this controller: nothing opens, nothing is listed.
uint32_t Z7FT_OpenDir(const char *) { return 0; }
uint32_t Z7FT_GetDirEntry(uint32_t, char *name) {
    if (name) name[0] = 0;
    return 0;
}
void Z7FT_CloseDir(uint32_t) {}

// ---- clock -------------------------------------------------------------------------------------------

namespace {
void HostClock(timeval *tv) { gettimeofday(tv, nullptr); }
}  // namespace

void (*Z7Host_Clock)(timeval *tv) = HostClock;

namespace {
void Now(bool local, struct tm *t, uint32_t *ms) {
    timeval tv{};
    Z7Host_Clock(&tv);
    const time_t s = tv.tv_sec;
    if (local)
        localtime_r(&s, t);
    else
        gmtime_r(&s, t);
    if (ms) *ms = uint32_t(tv.tv_usec / 1000);
}
uint32_t DateOf(const struct tm &t) {
    return uint32_t(t.tm_year + 1900) << 16 | uint32_t(t.tm_mon + 1) << 8 | uint32_t(t.tm_mday);
}
uint32_t TimeOf(const struct tm &t, uint32_t ms) {
    return uint32_t((t.tm_hour * 60 + t.tm_min) * 60 + t.tm_sec) * 1000 + ms;
}
}  // namespace

uint32_t Z7RtClk_GetCurTimeStamp() {
    struct tm t {};
    uint32_t ms = 0;
    Now(true, &t, &ms);
    return TimeOf(t, ms);
}

uint32_t Z7RtClk_GetCurDateStamp() {
    struct tm t {};
    Now(true, &t, nullptr);
    return DateOf(t);
}

void Z7RtClk_GetCurDateTimeStamp(uint32_t local, uint32_t *date, uint32_t *time, uint32_t *flag) {
    struct tm t {};
    uint32_t ms = 0;
    Now(local != 0, &t, &ms);
    if (date) *date = DateOf(t);
    if (time) *time = TimeOf(t, ms);
    if (flag) *flag = 0;
}

uint32_t Z7RtClk_GetString(uint32_t kind, char *out) {
    static constexpr const char *kDays[7] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                             "Thursday", "Friday", "Saturday"};
    struct tm t {};
    Now(true, &t, nullptr);
    int n;
    if (kind == 1)
        n = std::snprintf(out, 16, "%02u:%02u:%02u", unsigned(t.tm_hour), unsigned(t.tm_min), unsigned(t.tm_sec));
    else if (kind == 2)
        n = std::snprintf(out, 16, "%s", kDays[t.tm_wday % 7]);
    else
        n = std::snprintf(out, 16, "%04u/%02u/%02u", unsigned(t.tm_year + 1900), unsigned(t.tm_mon + 1),
                          unsigned(t.tm_mday));
    return n > 0 ? uint32_t(n) : 0;
}

// ---- trace ---------------------------------------------------------------------------------------------

void Z7EVSTRACE_Line(const char *text) {
    if (pEvData) Z7Evs_Trace(pEvData, text);
    std::printf("%s\n", text);
    std::fflush(stdout);
    Z7LOG_Trace(text);
}

namespace {
// Traces a formatted line of at most 512 bytes, its terminator included
// (cap, at most 512: the line is cut to cap - 1 characters).
__attribute__((format(printf, 2, 0))) void TraceLineV(std::size_t cap, const char *format, va_list ap) {
    char text[512];
    std::vsnprintf(text, cap < sizeof text ? cap : sizeof text, format, ap);
    Z7EVSTRACE_Line(text);
}
}  // namespace

void Z7EVSTRACE(const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    TraceLineV(512, format, ap);
    va_end(ap);
}

void Z7Svc_Install() {
    z7_services.Z7Evs_OnAppStart = Z7Evs_OnAppStart;
    z7_services.Z7Evs_OnAppStop = Z7Evs_OnAppStop;
    z7_services.Z7Evs_Activate = Z7Evs_Activate;
    z7_services.Z7EA_Open = Z7EA_Open;
    z7_services.Z7EA_Close = Z7EA_Close;
    z7_services.Z7EA_ManageChangeEvents = Z7EA_ManageChangeEvents;
    z7_services.Z7MB_GetMemorySizing = Z7MB_GetMemorySizing;
    z7_services.Z7MB_Build = Z7MB_Build;
    z7_services.Z7MB_CanBuildHOT = Z7MB_CanBuildHOT;
    z7_services.Z7MB_BuildHOT = Z7MB_BuildHOT;
    z7_services.Z7EAX_CanBuildHOT = Z7EAX_CanBuildHOT;
    z7_services.Z7EAX_BuildHOT = Z7EAX_BuildHOT;
    z7_services.Z7MB_Link = Z7MB_Link;
    z7_services.Z7VM_OpenModbus = Z7VM_OpenModbus;
    z7_services.Z7VM_CloseModbus = Z7VM_CloseModbus;
    z7_services.Z7VM_ActivateModbus = Z7VM_ActivateModbus;
    z7_services.Z7VM_ExchangeModbusData = Z7VM_ExchangeModbusData;
    Z7MB_InstallBlocks();
    z7_services.Z7EAX_GetNbCnx = Z7EAX_GetNbCnx;
    z7_services.Z7EAX_GetNbVar = Z7EAX_GetNbVar;
    z7_services.Z7EAX_Build = Z7EAX_Build;
    z7_services.Z7EAX_Link = Z7EAX_Link;
    z7_services.Z7VM_OpenExtData = Z7VM_OpenExtData;
    z7_services.Z7VM_CloseExtData = Z7VM_CloseExtData;
    z7_services.Z7VM_UpdateExtData = Z7VM_UpdateExtData;
    z7_services.Z7VMCan_GetDBSize = Z7VMCan_GetDBSize;
    z7_services.Z7VMCan_Build = Z7VMCan_Build;
    z7_services.Z7VMCan_Exchange = Z7VMCan_Exchange;
    z7_services.Z7VMCan_Close = Z7VMCan_Close;
    z7_services.Z7VMAsi_GetSizing = Z7VMAsi_GetSizing;
    z7_services.Z7VMAsi_Open = Z7VMAsi_Open;
    z7_services.Z7VMAsi_Exchange = Z7VMAsi_Exchange;
    z7_services.Z7VMAsi_Close = Z7VMAsi_Close;
    z7_services.Z7DDKC_GetSize = Z7DDKC_GetSize;
    z7_services.Z7DDKC_Build = Z7DDKC_Build;
    z7_services.Z7DDKC_Exchange = Z7DDKC_Exchange;
    z7_services.Z7DDKC_Close = Z7DDKC_Close;
    z7_services.Z7Ios_GetMemorySizing = Z7Ios_GetMemorySizing;
    z7_services.Z7Ios_Open = Z7Ios_Open;
    z7_services.Z7Ios_Exchange = Z7Ios_Exchange;
    z7_services.Z7Ios_Close = Z7Ios_Close;
    z7_services.Z7Ios_CanHotRestart = Z7Ios_CanHotRestart;
    z7_services.Z7Ios_HotRestart = Z7Ios_HotRestart;
    z7_services.Z7DDKC_OpenLinks = Z7DDKC_OpenLinks;
    z7_services.Z7DDKC_CloseLinks = Z7DDKC_CloseLinks;
    z7_services.Z7File_Delete = Z7File_Delete;
    z7_services.Z7File_Exist = Z7File_Exist;
    z7_services.trace = Z7EVSTRACE_Line;
    z7_services.Z7VMCan_CanBuildHot = Z7VMCan_CanBuildHot;
    z7_services.Z7VMCan_BuildHot = Z7VMCan_BuildHot;
    z7_services.Z7VMCan_SendAppMsg = Z7VMCan_SendAppMsg;
    z7_services.Z7VMCan_RcvAppMsg = Z7VMCan_RcvAppMsg;
    z7_services.Z7VMAsi_CanHotStart = Z7VMAsi_CanHotStart;
    z7_services.Z7VMAsi_HotStart = Z7VMAsi_HotStart;
    z7_services.Z7VMAsi_GetMasterProfiles = Z7VMAsi_GetMasterProfiles;
    z7_services.Z7DDKC_CanBuildHot = Z7DDKC_CanBuildHot;
    z7_services.Z7DDKC_BuildHot = Z7DDKC_BuildHot;
}

// ---- driver-kit utilities -------------------------------------------------------------------------------

namespace {
bool NoCaseEq(const char *a, const char *b, size_t n) {
    for (size_t i = 0; i < n; i++)
        if (std::toupper(uint8_t(a[i])) != std::toupper(uint8_t(b[i]))) return false;
    return true;
}
void CopyCut(char *out, uint32_t size, const char *text, size_t n) {
    if (size == 0) return;
    if (n > size - 1) n = size - 1;
    std::memcpy(out, text, n);
    out[n] = 0;
}
}  // namespace

uint32_t Z7DDK_GetPrivateProfileString(const char *section, const char *key, const char *def, char *out, uint32_t size,
                                       const char *file) {
    if (out == nullptr || size == 0) return 0;  // nothing may be written
    const char *d = def ? def : "";
    CopyCut(out, size, d, std::strlen(d));
    const uint32_t h = file && section && key ? Z7File_Open(file, false) : 0;
    if (h == 0) return uint32_t(std::strlen(out));
    const size_t sl = std::strlen(section), kl = std::strlen(key);
    char line[256];
    bool in = false;
    while (!Z7File_Eof(h)) {
        const uint32_t n = Z7File_ReadLine(h, line, sizeof line);
        if (n == 0 && Z7File_Eof(h)) break;
        if (line[0] == '[') {
            in = n >= sl + 2 && NoCaseEq(line + 1, section, sl) && line[sl + 1] == ']';
            continue;
        }
        if (in && n > kl && NoCaseEq(line, key, kl) && line[kl] == '=') {
            size_t vl = n - kl - 1;
            if (vl > 0 && line[kl + 1 + vl - 1] == '\r') vl--;
            CopyCut(out, size, line + kl + 1, vl);
            break;
        }
    }
    Z7File_Close(h);
    return uint32_t(std::strlen(out));
}

void Z7DDK_MacToString(const uint8_t mac[6], char *out) {
    std::snprintf(out, 18, "%.2X:%.2X:%.2X:%.2X:%.2X:%.2X", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
}

uint32_t Z7DDK_StringToMac(const char *text, uint8_t mac[6]) {
    if (text == nullptr || std::strlen(text) != 17) return 0;
    for (int i = 0; i < 6; i++) {
        const char *p = text + 3 * i;
        if (!std::isxdigit(uint8_t(p[0])) || !std::isxdigit(uint8_t(p[1]))) return 0;
        if (i < 5 && p[2] != ':' && p[2] != '-') return 0;
        char pair[3] = {p[0], p[1], 0};
        mac[i] = uint8_t(std::strtoul(pair, nullptr, 16));
    }
    return 1;
}

uint32_t Z7DDK_GetPrivateProfileFlag(const char *section, const char *key, uint32_t def, const char *file) {
    char v[256];
    if (Z7DDK_GetPrivateProfileString(section, key, "", v, sizeof v, file) == 0) return def;
    for (const char *t : {"1", "TRUE", "ON"})
        if (NoCaseEq(v, t, std::strlen(t)) && std::strlen(v) >= std::strlen(t)) return 1;
    return def;
}

int32_t Z7DDK_GetPrivateProfileInt(const char *section, const char *key, int32_t def, const char *file) {
    char v[256];
    if (Z7DDK_GetPrivateProfileString(section, key, "", v, sizeof v, file) == 0) return def;
    char *end = nullptr;
    const long n = std::strtol(v, &end, 10);
    return end != v ? int32_t(n) : def;
}

namespace {
char work_folder[256];
uint32_t trace_level = 0;
uint8_t ddk_busy = 0;
}  // namespace

void Z7DDK_FormatFolder(char *text) {
    // an empty text names no folder: it stays empty rather than the root
    if (text == nullptr || text[0] == 0) return;
    size_t n = std::strlen(text);
    for (size_t i = 0; i < n; i++)
        if (text[i] == '\\') text[i] = '/';
    while (n > 0 && text[n - 1] == '/') text[--n] = 0;
    if (n + 1 < 256) {
        text[n] = '/';
        text[n + 1] = 0;
    }
}

uint32_t Z7DDK_SetWorkFolder(const char *text) {
    if (text == nullptr || std::strlen(text) >= 255) return 0;  // with its '/' it fills the 256 bytes
    std::strcpy(work_folder, text);
    Z7DDK_FormatFolder(work_folder);
    return work_folder[0] != 0 ? 1 : 0;
}

uint32_t Z7DDK_IsFile(char *out, const char *folder, const char *name, const char *ext) {
    char f[256];
    std::snprintf(f, sizeof f, "%s", folder ? folder : "");
    Z7DDK_FormatFolder(f);
    // A join that does not fit is no file: cut, it could name the folder
    // itself (or another file) and answer for it.
    const int n = std::snprintf(out, 256, "%s%s%s", f, name ? name : "", ext ? ext : "");
    if (n < 0 || n >= 256) {
        out[0] = 0;
        return 0;
    }
    return Z7File_Exist(out);
}

uint32_t Z7DDK_GetWorkFile(char *out, const char *name, const char *ext) {
    return Z7DDK_IsFile(out, work_folder, name, ext);
}

int32_t Z7DDK_GetDeviceName(uint32_t, char *out) {
    if (out) std::memset(out, 0, 4);
    return -1;
}

uint32_t Z7DDK_CreateMutex() {
    ddk_busy = 0;
    return 1;
}
uint32_t Z7DDK_DeleteMutex() {
    ddk_busy = 0;
    return 1;
}
uint32_t Z7DDK_TakeMutex() {
    if (ddk_busy) return 0;
    ddk_busy = 1;
    return 1;
}
uint32_t Z7DDK_ReleaseMutex() {
    if (!ddk_busy) return 0;
    ddk_busy = 0;
    return 1;
}

void Z7DDK_StrLower(char *t) {
    for (; t && *t; t++)
        if (*t >= 'A' && *t <= 'Z') *t = char(*t + 32);
}
void Z7DDK_StrUpper(char *t) {
    for (; t && *t; t++)
        if (*t >= 'a' && *t <= 'z') *t = char(*t - 32);
}
uint32_t Z7DDK_StrcmpNoCase(const char *a, const char *b) {
    if (a == nullptr || b == nullptr) return a == b ? 1 : 0;
    const size_t n = std::strlen(a);
    return n == std::strlen(b) && NoCaseEq(a, b, n) ? 1 : 0;
}
const char *Z7DDK_StrStr(const char *hay, const char *needle, uint32_t exact) {
    if (hay == nullptr || needle == nullptr) return nullptr;
    if (exact) return std::strstr(hay, needle);
    char h[256], n[256];
    std::snprintf(h, sizeof h, "%s", hay);
    std::snprintf(n, sizeof n, "%s", needle);
    Z7DDK_StrUpper(h);
    Z7DDK_StrUpper(n);
    const char *r = std::strstr(h, n);
    return r ? hay + (r - h) : nullptr;
}

void Z7DDK_SetTraceLevel(uint32_t level) { trace_level = level; }
uint32_t Z7DDK_GetTraceLevel() { return trace_level; }
void Z7DDK_LogTrace(uint32_t level, const char *format, ...) {
    if (level > trace_level) return;
    va_list ap;
    va_start(ap, format);
    TraceLineV(512, format, ap);
    va_end(ap);
}
void Z7DDK_Trace(const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    TraceLineV(512, format, ap);
    va_end(ap);
}

// ---- virtual files: plain files on this controller ------------------------------------------------------

namespace {
// Known runtime files; only the kind 1..3 rows (flags 0) may be held in memory.
struct Item {
    uint16_t kind, flags;
    const char *name;
};
constexpr Item kItems[] = {
    {1, 0, "/mnt/cfg/z7.hot"}, {2, 0, "/mnt/cfg/z7.cod"},
    {3, 0, "/mnt/cfg/z7.upd"}, {1, 1, "/mnt/cfg/z7.hot"},
    {2, 1, "/mnt/cfg/z7.cod"}, {3, 1, "/mnt/cfg/z7.upd"},
    {4, 1, "z7.upl"},          {5, 1, "z7.rsc"},
    {6, 1, "z7.rst"},          {7, 1, "z7.rbm"},
    {8, 1, "z7.rfn"},          {9, 1, "z7.reg"},
    {10, 1, "z7next.reg"},     {11, 257, "/mnt/cfg/z7info.txt"},
    {0, 0, nullptr},
};
bool InMemoryAllowed(const char *name) {
    for (const Item &i : kItems)
        if (i.kind != 0 && i.flags == 0 && name && std::strcmp(i.name, name) == 0) return true;
    return false;
}
}  // namespace

uint32_t Z7Vfs_OpenReadRand(const char *path, uint32_t *size) {
    if (size) *size = Z7File_GetSize(path);
    return Z7File_Open(path, false);
}
uint32_t Z7Vfs_OpenWriteCreate(const char *path) { return Z7File_Open(path, true); }
uint32_t Z7Vfs_OpenWriteAppend(const char *path) { return Z7File_OpenAppend(path); }
void Z7Vfs_Close(uint32_t h) { Z7File_Close(h); }
uint32_t Z7Vfs_Eof(uint32_t h) { return Z7File_Eof(h); }
uint32_t Z7Vfs_Rename(const char *from, const char *to) { return Z7File_Rename(from, to); }
uint32_t Z7Vfs_Delete(const char *path) { return Z7File_Delete(path); }
uint32_t Z7Vfs_GetSize(const char *path, uint32_t *size) {
    const uint32_t n = Z7File_GetSize(path);
    if (size) *size = n;
    return n != 0 ? 1 : 0;
}
int32_t Z7Vfs_GetMaxRamFileSize() { return -1; }
uint32_t Z7Vfs_FileInFlash(const char *) { return 0; }
void Z7Vfs_CleanSRAMBuffers() {}

uint32_t Z7Vfs_Read(uint32_t h, int32_t offset, uint32_t count, void *buf) {
    FILE *f = Slot(h);
    if (f == nullptr || (offset >= 0 && std::fseek(f, offset, SEEK_SET) != 0)) return 0;
    return uint32_t(std::fread(buf, 1, count, f));
}
uint32_t Z7Vfs_Write(uint32_t h, int32_t offset, uint32_t count, const void *buf) {
    FILE *f = Slot(h);
    if (f == nullptr || (offset >= 0 && std::fseek(f, offset, SEEK_SET) != 0)) return 0;
    return uint32_t(std::fwrite(buf, 1, count, f));
}

void *Z7Vfs_CreateRamFile(const char *name, uint32_t size) {
    return InMemoryAllowed(name) && size ? std::calloc(1, size) : nullptr;
}
void *Z7Vfs_LoadToMemory(const char *path, uint32_t *size) {
    if (size) *size = 0;
    const uint32_t n = Z7File_GetSize(path);
    if (n == 0 || !InMemoryAllowed(path)) return nullptr;
    uint8_t *block = static_cast<uint8_t *>(std::malloc(n));
    const uint32_t h = block ? Z7File_Open(path, false) : 0;
    bool ok = h != 0;
    for (uint32_t done = 0; ok && done < n; done += 512)
        ok = Z7File_Read(h, block + done, n - done < 512 ? n - done : 512);
    Z7File_Close(h);
    if (!ok) {
        std::free(block);
        return nullptr;
    }
    if (size) *size = n;
    return block;
}
void Z7Vfs_ReleaseRamFile(void *block) { std::free(block); }
void Z7Vfs_ReleaseFromMemory(void *block) { std::free(block); }

uint32_t Z7File_Fread(uint32_t h, uint32_t item, uint32_t count, void *buf) {
    FILE *f = Slot(h);
    return f && item ? uint32_t(std::fread(buf, item, count, f)) : 0;
}
uint32_t Z7File_Fwrite(uint32_t h, uint32_t item, uint32_t count, const void *buf) {
    FILE *f = Slot(h);
    return f && item ? uint32_t(std::fwrite(buf, item, count, f)) : 0;
}

// ---- host hooks: the AS-i master, the driver-kit handlers ------------------------------------------------
// The controller has no AS-i master. On a workstation a stand-in serves the
// hooks while $PLC_ROOT/sim/asi/ exists: sim/asi/in<m> (m = master from 1)
// holds the 32-byte input image, the five 8-byte slave lists and the two flag
// bytes (missing bytes read 0; read again when the file changes), and
// sim/asi/out<m> receives the 32-byte output image (written whole through a
// temporary file) at open and whenever it changes. Without the folder the
// hooks do nothing.
namespace {
constexpr uint32_t kSimMasters = 16, kSimIn = 32 + 40 + 2;
struct SimMaster {
    bool seen = false, written = false;
    struct timespec mtime {};
    off_t size = 0;
    ino_t ino = 0;
    std::array<uint8_t, 32> out{};
};
std::array<SimMaster, kSimMasters> sim;
bool sim_open = false;

bool SimFolder() {
    char p[512];
    struct stat st;
    return PLAT_Path("/sim/asi", p, sizeof p) != nullptr && stat(p, &st) == 0 && S_ISDIR(st.st_mode);
}

void SimWriteOut(uint32_t m, const uint8_t *img) {
    char name[32], path[500], tmp[512];
    std::snprintf(name, sizeof name, "/sim/asi/out%u", m + 1);
    if (PLAT_Path(name, path, sizeof path) == nullptr) return;
    std::snprintf(tmp, sizeof tmp, "%s.tmp", path);
    FILE *f = std::fopen(tmp, "wb");
    if (f == nullptr) return;
    const bool ok = std::fwrite(img, 1, 32, f) == 32;
    if (std::fclose(f) == 0 && ok && std::rename(tmp, path) == 0) {
        std::memcpy(sim[m].out.data(), img, 32);
        sim[m].written = true;
    } else {
        std::remove(tmp);
    }
}

void SimReadIn(uint32_t m, uint32_t rec) {
    char name[32], path[512];
    std::snprintf(name, sizeof name, "/sim/asi/in%u", m + 1);
    if (PLAT_Path(name, path, sizeof path) == nullptr) return;
    struct stat st {};
    const bool present = stat(path, &st) == 0;
    SimMaster &s = sim[m];
    if (s.seen && present == (s.ino != 0) && st.st_ino == s.ino && st.st_size == s.size &&
        st.st_mtim.tv_sec == s.mtime.tv_sec && st.st_mtim.tv_nsec == s.mtime.tv_nsec)
        return;
    s.seen = true;
    s.ino = present ? st.st_ino : 0;
    s.size = present ? st.st_size : 0;
    s.mtime = present ? st.st_mtim : timespec{};
    uint8_t in[kSimIn] = {};
    if (FILE *f = present ? std::fopen(path, "rb") : nullptr) {
        (void)std::fread(in, 1, sizeof in, f);
        std::fclose(f);
    }
    std::memcpy(Z7Mem_Ptr(rec + AM_IN, 32), in, 32);
    std::memcpy(Z7Mem_Ptr(rec + AM_LISTS, 40), in + 32, 40);
    std::memcpy(Z7Mem_Ptr(rec + AM_FLAGS, 2), in + 72, 2);
}
}  // namespace

uint32_t Z7Asi_Init(uint32_t area) {
    sim = {};
    sim_open = SimFolder();
    if (sim_open) Z7Asi_Exchange(area);
    return 0;
}
uint32_t Z7Asi_IsHWOpen(uint32_t) { return sim_open ? 1 : 0; }
void Z7Asi_Exit(uint32_t) {
    sim_open = false;
    sim = {};
}
void Z7Asi_Exchange(uint32_t area) {
    if (!sim_open || !SimFolder()) return;
    const uint32_t n = Z7Asi_Masters(area) < kSimMasters ? Z7Asi_Masters(area) : kSimMasters;
    for (uint32_t m = 0; m < n; m++) {
        const uint32_t rec = Z7Asi_MasterRec(area, m);
        const uint8_t *out = Z7Mem_Ptr(rec + AM_OUT, 32);
        if (!sim[m].written || std::memcmp(out, sim[m].out.data(), 32) != 0) SimWriteOut(m, out);
        SimReadIn(m, rec);
    }
}
void Z7Asi_ReadConfig(uint32_t) {}
void Z7Asi_ApplyConfig(uint32_t) {}
uint32_t Z7Asi_ReadPP(uint32_t, uint32_t, uint32_t, uint8_t *) { return 0; }
uint32_t Z7Asi_WritePP(uint32_t, uint32_t, uint32_t, uint8_t) { return 0; }
uint32_t Z7Asi_SendParameter(uint32_t, uint32_t, uint32_t, uint8_t) { return 0; }
uint32_t Z7Asi_ReadPI(uint32_t, uint32_t, uint32_t, uint8_t *) { return 0; }
uint32_t Z7Asi_StorePI(uint32_t, uint32_t) { return 0; }

// No bus driver is registered: every name is looked up in vain.
uint32_t DDKC_NULL(uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t) { return 0; }
Z7DDKHandler Z7DDKC_GetHandlerProc(const char *) { return nullptr; }
Z7DDKHandler Z7DDKC_IpGetHandler(const char *name) { return Z7DDKC_GetHandlerProc(name); }
void Z7DDKC_IpInit() {}
void Z7DDKC_IpExit() {}
