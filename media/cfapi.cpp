// Removable-media file API on the FileX-style layer: names, status
// translation, search, tree removal, directories and copy. The CSV exchange
// is in media/cfcsv.cpp.
#include "media/cfapi.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>

#include "media/fileblk.h"
#include "platform/plat.h"

FxMedia Cf_Media2, Cf_Media3;
uint32_t CfResult;
uint16_t CfStatus;

const std::array<uint16_t, 37> CfStatusTable = {0,  5,  5,  5,  66, 73, 77, 73, 92, 65535, 92, 81, 86,
                                                66, 66, 81, 92, 2,  86, 86, 86, 86, 86,    86, 86, 86,
                                                5,  5,  5,  5,  5,  5,  5,  5,  5,  92,    86};

namespace {
uint16_t Done(uint16_t code) {
    CfStatus = code;
    return code;
}

void Copy(char *out, std::size_t size, const char *text) {
    std::size_t n = std::strlen(text);
    if (n >= size) n = size - 1;
    std::memcpy(out, text, n);
    out[n] = 0;
}

void Upper(char *s) {
    for (; *s; s++) *s = char(std::toupper(static_cast<unsigned char>(*s)));
}

bool IsSep(char c) { return c == '\\' || c == '/'; }

bool HasWild(const char *s) { return std::strpbrk(s, "*?") != nullptr; }

// Drive of a name's prefix; any other letter or none: the SD card.
uint8_t PrefixDrive(const char *name, bool *had) {
    *had = false;
    if (name[0] != 0 && name[1] == ':') {
        *had = true;
        switch (std::toupper(static_cast<unsigned char>(name[0]))) {
        case 'B': return DRIVE_B;
        case 'Z': return DRIVE_Z;
        case 'A': return DRIVE_A;
        default: *had = false; return DRIVE_A;
        }
    }
    return DRIVE_A;
}

// Host folder of a drive's mount point; false when the drive is not usable.
bool HostMount(uint8_t drive, char *out) {
    char mnt[16];
    if (!MountDrive(drive, mnt)) return false;
    return PLAT_Path(mnt, out, FX_PATH_MAX) != nullptr;
}

// Splits "dir\name.ext" into the directory part (with its trailing separator)
// and the last component.
void SplitLast(const char *path, char *dir, const char **last) {
    const char *cut = path;
    for (const char *c = path; *c; c++)
        if (IsSep(*c) || (c == path + 1 && *c == ':')) cut = c + 1;
    const std::size_t n = std::size_t(cut - path);
    std::memcpy(dir, path, n);
    dir[n] = 0;
    *last = cut;
}

// Name part and extension of a component (split at the first '.').
void SplitExt(const char *comp, char *name, std::size_t name_size, char *ext, std::size_t ext_size) {
    if (std::strcmp(comp, ".") == 0 || std::strcmp(comp, "..") == 0) {
        Copy(name, name_size, comp);
        ext[0] = 0;
        return;
    }
    const char *dot = std::strchr(comp, '.');
    if (dot == nullptr) {
        Copy(name, name_size, comp);
        ext[0] = 0;
        return;
    }
    std::size_t n = std::size_t(dot - comp);
    if (n >= name_size) n = name_size - 1;
    std::memcpy(name, comp, n);
    name[n] = 0;
    Copy(ext, ext_size, dot + 1);
}

uint16_t FatDate(uint32_t y, uint32_t mo, uint32_t d) {
    return uint16_t((y >= 1980 ? y - 1980 : 0) * 512 + mo * 32 + d);
}
uint16_t FatTime(uint32_t h, uint32_t mi, uint32_t s) { return uint16_t(h * 2048 + mi * 32 + s / 2); }
}  // namespace

uint16_t CfXlate(uint32_t status) {
    CfResult = status;
    if (status < CfStatusTable.size()) return CfStatusTable[status];
    if (status == 137) return CF_INVALID;
    if (status == FX_IO_ERROR) return Cf_Check(DRIVE_A) == 3 ? CF_MEDIA_ERROR : CF_NOT_PRESENT;
    return CF_MEDIA_ERROR;
}

uint16_t CfStateDecode(uint32_t state) {
    switch (state) {
    case 0: return CF_NOT_PRESENT;
    case 1: return 4;
    case 2: return 1;
    case 82: return CF_FORMATTING;
    default: return CF_OK;
    }
}

FxMedia *CfMediaOf(uint8_t drive) {
    switch (drive) {
    case DRIVE_B: return &Cf_Media2;
    case DRIVE_Z: return &Cf_Media3;
    default: return &Cf_Media;
    }
}

bool CfPatternCmp(const char *p, const char *n) {
    if (*p == 0) return true;
    for (; *p; p++, n++) {
        if (*p == '*') return true;
        if (*n == 0) return false;
        if (*p == '?') continue;
        if (std::toupper(static_cast<unsigned char>(*p)) != std::toupper(static_cast<unsigned char>(*n))) return false;
    }
    return *n == 0;
}

uint16_t CfName(const char *name, char *out, uint8_t *drive_out, bool need_name) {
    if (name == nullptr) return CF_INVALID;
    bool had = false;
    const uint8_t drive = PrefixDrive(name, &had);
    const char *rest = (name[0] != 0 && name[1] == ':') ? name + 2 : name;
    if (std::strlen(rest) > FX_PATH_MAX - 1) return CF_INVALID;
    char path[FX_PATH_MAX];
    const FxMedia *media = CfMediaOf(drive);
    if (!IsSep(rest[0]) && std::strpbrk(rest, "\\/") == nullptr && !had) {
        // A bare name lies in the drive's current directory.
        const char *cwd = media->cwd;
        if (cwd[0] != 0 && cwd[1] == ':') cwd += 2;
        if (std::snprintf(path, sizeof path, "%s%s%s", IsSep(cwd[0]) ? "" : "\\", cwd, rest) >= int(sizeof path))
            return CF_INVALID;
    } else {
        if (std::snprintf(path, sizeof path, "%s%s", IsSep(rest[0]) ? "" : "\\", rest) >= int(sizeof path))
            return CF_INVALID;
    }
    for (char *c = path; *c; c++)
        if (*c == '/') *c = '\\';
    Upper(path);
    // Check the components and take existing entries in their own case.
    // Existing entries are looked up in any case on the FAT drives only: the
    // configuration flash is case-sensitive, and its stored files (lower
    // case) stay out of reach of the names given here.
    char host[FX_PATH_MAX] = "";
    bool mounted = drive != DRIVE_Z && HostMount(drive, host);
    std::size_t hl = std::strlen(host);
    const char *last = path;
    for (char *c = path; *c;) {
        if (*c == '\\') {
            c++;
            continue;
        }
        char *end = c;
        while (*end && *end != '\\') end++;
        const std::size_t len = std::size_t(end - c);
        last = c;
        const bool dots = (len == 1 && c[0] == '.') || (len == 2 && c[0] == '.' && c[1] == '.');
        if (c[0] == '.' && !dots) return CF_INVALID;
        if (!dots) {
            const char *dot = static_cast<const char *>(std::memchr(c, '.', len));
            const std::size_t nlen = dot ? std::size_t(dot - c) : len;
            const std::size_t elen = dot ? len - nlen - 1 : 0;
            if (nlen > 255 || elen > 14) return CF_INVALID;
        }
        if (mounted && hl + 1 + len < sizeof host) {
            host[hl] = '/';
            std::memcpy(host + hl + 1, c, len);
            host[hl + 1 + len] = 0;
            struct stat st {};
            if (!dots && lstat(host, &st) != 0) {
                host[hl] = 0;
                if (DIR *d = opendir(host)) {
                    while (struct dirent *e = readdir(d)) {
                        if (std::strlen(e->d_name) == len && strncasecmp(e->d_name, c, len) == 0) {
                            std::memcpy(c, e->d_name, len);
                            break;
                        }
                    }
                    closedir(d);
                }
                host[hl] = '/';
                std::memcpy(host + hl + 1, c, len);
            }
            hl += 1 + len;
        } else {
            mounted = false;  // too long to look up: the rest keeps its case
        }
        c = end;
    }
    if (need_name) {
        if (*last == '\\' || *last == 0 || *last == '.') return CF_INVALID;
        const char *dot = std::strchr(last, '.');
        if (dot == last) return CF_INVALID;
    }
    static constexpr char kLetter[3] = {'A', 'B', 'Z'};
    if (std::snprintf(out, FX_PATH_MAX, "%c:%s", kLetter[drive], path) >= int(FX_PATH_MAX)) return CF_INVALID;
    if (drive_out) *drive_out = drive;
    return CF_OK;
}

void CfProgramName(char *name) {
    if (name != nullptr && (name[0] == 'Z' || name[0] == 'z') && name[1] == ':') name[0] = 'A';
}

void CfUpperLast(char *name) {
    if (name == nullptr) return;
    char *last = name;
    for (char *c = name; *c; c++)
        if (IsSep(*c) || *c == ':') last = c + 1;
    Upper(last);
}

void CF_Init() {
    Cf_Init();
    Cf_Media.drive = DRIVE_A;
    Cf_Media2.drive = DRIVE_B;
    Cf_Media3.drive = DRIVE_Z;
    CfStatus = CF_NOT_PRESENT;
}

uint16_t CF_GetStatus(uint8_t drive) {
    if (drive > DRIVE_Z) return Done(CF_INVALID);
    if (CfFormatBusy[drive]) return Done(CF_FORMATTING);
    return Done(CfStateDecode(Cf_Check(drive)));
}

uint16_t CF_Open(FxFile *file, const char *name, uint32_t mode) {
    char n[FX_PATH_MAX];
    uint8_t drive = 0;
    if (CfName(name, n, &drive, true) != CF_OK) return Done(CF_INVALID);
    FxMedia *media = CfMediaOf(drive);
    if (mode == 0) return Done(CfXlate(_fxe_file_open(media, file, n, FX_OPEN_FOR_READ)));
    if (mode & 0x0E) {
        _fxe_file_delete(media, n);
        CfUpperLast(n);
        if (const uint32_t s = _fxe_file_create(media, n)) return Done(CfXlate(s));
        // A new file carries the archive attribute (bit 3: archive and system).
        _fxe_file_attributes_set(media, n, (mode & 0x08) ? 0x24 : 0x20);
    }
    if (const uint32_t s = _fxe_file_open(media, file, n, FX_OPEN_FOR_WRITE)) return Done(CfXlate(s));
    if (mode & 0x01) {
        if (const uint32_t s = _fxe_file_relative_seek(file, 0, 1)) {
            _fxe_file_close(file);
            return Done(CfXlate(s));
        }
    }
    return Done(CF_OK);
}

uint16_t CF_Read(FxFile *file, void *buffer, uint32_t size, uint32_t *count) {
    return Done(CfXlate(_fxe_file_read(file, buffer, size, count)));
}

uint16_t CF_Write(FxFile *file, const void *data, uint32_t size, uint32_t *count) {
    const uint32_t s = _fxe_file_write(file, data, size);
    if (count) *count = s == FX_SUCCESS ? size : 0;
    return Done(CfXlate(s));
}

uint16_t CF_Close(FxFile *file) { return Done(CfXlate(_fxe_file_close(file))); }

uint16_t CF_Size(FxFile *file, uint64_t *size) {
    if (size) *size = file->size;
    return Done(CF_OK);
}

uint16_t CF_RenameFile(uint8_t, const char *old_name, const char *new_name) {
    char a[FX_PATH_MAX], b[FX_PATH_MAX];
    uint8_t da = 0, db = 0;
    if (CfName(old_name, a, &da, true) || CfName(new_name, b, &db, true) || da != db) return Done(CF_INVALID);
    return Done(CfXlate(_fxe_file_rename(CfMediaOf(da), a, b)));
}

uint16_t CF_DeleteFile(uint8_t, const char *name) {
    char n[FX_PATH_MAX];
    uint8_t drive = 0;
    if (CfName(name, n, &drive, true)) return Done(CF_INVALID);
    FxMedia *media = CfMediaOf(drive);
    if (!HasWild(n)) {
        uint32_t attr = 0;
        if (_fxe_file_attributes_read(media, n, &attr) == FX_SUCCESS) {
            if (attr & (FX_DIRECTORY | 0x08)) return Done(CF_NOT_FOUND);  // only files are deleted
            if (attr & FX_SYSTEM) return Done(CF_ACCESS);
        }
        return Done(CfXlate(_fxe_file_delete(media, n)));
    }
    char dir[FX_PATH_MAX];
    const char *last = nullptr;
    SplitLast(n, dir, &last);
    char pn[FX_NAME_MAX], pe[FX_NAME_MAX];
    SplitExt(last, pn, sizeof pn, pe, sizeof pe);
    FxMedia m{};
    m.drive = drive;
    _fxe_directory_local_path_set(&m, nullptr, dir);
    char e[FX_NAME_MAX];
    uint32_t attr = 0;
    uint16_t result = CF_NOT_FOUND;
    bool deleted = false, system = false;
    uint32_t s = _fxe_directory_first_full_entry_find(&m, e, &attr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                                      nullptr, nullptr);
    while (s == FX_SUCCESS) {
        char en[FX_NAME_MAX], ee[FX_NAME_MAX];
        SplitExt(e, en, sizeof en, ee, sizeof ee);
        if (!(attr & (FX_DIRECTORY | 0x08)) && CfPatternCmp(pn, en) && CfPatternCmp(pe, ee)) {
            if (attr & FX_SYSTEM) {
                system = true;
            } else {
                const uint32_t d = _fxe_file_delete(&m, e);
                if (d == FX_SUCCESS)
                    deleted = true;
                else if (result == CF_NOT_FOUND)
                    result = CfXlate(d);
            }
        }
        s = _fxe_directory_next_full_entry_find(&m, e, &attr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                                nullptr);
    }
    if (m.dir) closedir(m.dir);
    if (deleted) return Done(CF_OK);
    if (result != CF_NOT_FOUND) return Done(result);
    return Done(system ? CF_ACCESS : CF_NOT_FOUND);
}

uint16_t CF_FormatCard(uint8_t drive) { return Done(uint16_t(File_StartFormat(drive))); }

uint16_t CF_MakeDir(uint8_t, const char *name) {
    char n[FX_PATH_MAX];
    uint8_t drive = 0;
    if (CfName(name, n, &drive, false)) return Done(CF_INVALID);
    FxMedia *media = CfMediaOf(drive);
    // Create each directory along the path from the root: one that exists on
    // the way is no error, the last one existing answers 81.
    uint32_t s = FX_ALREADY_CREATED;  // the root itself
    std::size_t end = std::strlen(n);
    while (end > 3 && n[end - 1] == '\\') n[--end] = 0;
    if (end <= 3) {
        char host[FX_PATH_MAX];
        if (!HostMount(drive, host)) return Done(CF_NOT_PRESENT);
    }
    for (std::size_t i = 3; i <= end; i++) {
        if (n[i] != '\\' && n[i] != 0) continue;
        if (i == 3 || n[i - 1] == '\\') continue;
        const char keep = n[i];
        n[i] = 0;
        s = _fxe_directory_create(media, n);
        n[i] = keep;
        if (s == FX_ALREADY_CREATED && i < end) s = FX_SUCCESS;
        if (s != FX_SUCCESS) break;
    }
    return Done(CfXlate(s));
}

namespace {
int cf_depth;

// Removes everything in the directory dir ("X:\...\"), then the directory
// itself unless it is the root.
uint16_t CfRemoveTree(uint8_t drive, const char *dir) {
    if (++cf_depth > 16) {
        cf_depth--;
        return CF_TOO_DEEP;
    }
    FxMedia m{};
    m.drive = drive;
    _fxe_directory_local_path_set(&m, nullptr, dir);
    char e[FX_NAME_MAX];
    uint32_t attr = 0;
    uint16_t result = CF_OK;
    uint32_t s = _fxe_directory_first_full_entry_find(&m, e, &attr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                                      nullptr, nullptr);
    if (s != FX_SUCCESS && s != FX_NO_MORE_ENTRIES) result = CfXlate(s);
    while (s == FX_SUCCESS && result == CF_OK) {
        char child[FX_PATH_MAX];
        if (std::snprintf(child, sizeof child, "%s%s", m.cwd, e) >= int(sizeof child)) {
            result = CF_INVALID;
            break;
        }
        if (attr & FX_DIRECTORY) {
            if (std::strcmp(e, ".") != 0 && std::strcmp(e, "..") != 0) {
                std::strncat(child, "\\", sizeof child - std::strlen(child) - 1);
                result = CfRemoveTree(drive, child);
            }
        } else if (!(attr & 0x08)) {
            if (attr & FX_READ_ONLY) _fxe_file_attributes_set(&m, child, 0);
            if (const uint32_t d = _fxe_file_delete(&m, child)) result = CfXlate(d);
        }
        if (result == CF_OK)
            s = _fxe_directory_next_full_entry_find(&m, e, &attr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                                    nullptr);
    }
    if (m.dir) closedir(m.dir);
    const std::size_t n = std::strlen(dir);
    const bool root = n <= 3;  // "X:\"
    if (result == CF_OK && !root) {
        char self[FX_PATH_MAX];
        Copy(self, sizeof self, dir);
        if (self[n - 1] == '\\') self[n - 1] = 0;
        _fxe_directory_attributes_set(&m, self, 0);
        if (const uint32_t d = _fxe_directory_delete(&m, self)) result = CfXlate(d);
    }
    cf_depth--;
    return result;
}
}  // namespace

uint16_t CF_RemoveDir(uint8_t, const char *name) {
    if (name == nullptr) return Done(CF_INVALID);
    // A name without a drive or a leading separator is taken from the root,
    // never from the drive's current directory.
    char rooted[FX_PATH_MAX];
    if (!IsSep(name[0]) && !(name[0] != 0 && name[1] == ':')) {
        if (std::snprintf(rooted, sizeof rooted, "\\%s", name) >= int(sizeof rooted)) return Done(CF_INVALID);
        name = rooted;
    }
    char n[FX_PATH_MAX];
    uint8_t drive = 0;
    if (CfName(name, n, &drive, false)) return Done(CF_INVALID);
    const std::size_t len = std::strlen(n);
    if (n[len - 1] != '\\') {
        if (len + 1 >= sizeof n) return Done(CF_INVALID);
        n[len] = '\\';
        n[len + 1] = 0;
    }
    {
        char host[FX_PATH_MAX];
        if (!HostMount(drive, host)) return Done(CF_NOT_PRESENT);
    }
    uint32_t attr = 0;
    if (const uint32_t s = _fxe_directory_attributes_read(CfMediaOf(drive), n, &attr))
        return Done(CfXlate(s == FX_INVALID_PATH ? FX_NOT_FOUND : s));
    if (!(attr & FX_DIRECTORY)) return Done(CF_NOT_FOUND);
    cf_depth = 0;
    return Done(CfRemoveTree(drive, n));
}

uint16_t CF_ChangeDir(uint8_t drive, const char *name) {
    if (drive > DRIVE_Z || name == nullptr) return Done(CF_INVALID);
    return Done(CfXlate(_fxe_directory_local_path_set(CfMediaOf(drive), nullptr, name)));
}

namespace {
uint16_t NextMatch(FxMedia *media, CfEntry *entry, uint32_t s, char *e, uint32_t attr, uint64_t size, uint32_t *t) {
    for (;;) {
        if (s != FX_SUCCESS) {
            _fxe_directory_local_path_restore(media, &entry->saved);
            return s == FX_NO_MORE_ENTRIES ? CF_EXISTS : CfXlate(s);
        }
        char en[FX_NAME_MAX], ee[FX_NAME_MAX];
        SplitExt(e, en, sizeof en, ee, sizeof ee);
        if (CfPatternCmp(entry->pat_name, en) && CfPatternCmp(entry->pat_ext, ee)) {
            Copy(entry->full, sizeof entry->full, e);
            Upper(en);
            Upper(ee);
            Copy(entry->name, sizeof entry->name, en);
            Copy(entry->ext, sizeof entry->ext, ee);
            entry->attr = uint8_t(attr);
            entry->size = size;
            entry->date = FatDate(t[0], t[1], t[2]);
            entry->time = FatTime(t[3], t[4], t[5]);
            return CF_OK;
        }
        s = _fxe_directory_next_full_entry_find(media, e, &attr, &size, &t[0], &t[1], &t[2], &t[3], &t[4], &t[5]);
    }
}
}  // namespace

uint16_t CF_GetFirst(uint8_t drive, CfEntry *entry, const char *pattern) {
    if (drive > DRIVE_Z || pattern == nullptr) return Done(CF_INVALID);
    // The search runs in the record of the drive named here, which
    // CF_GetNext and CF_GetDone name too; the directory set for it carries
    // the pattern's own drive, so a pattern on another drive is searched
    // there and both drives' current directories stay as they were.
    FxMedia *media = CfMediaOf(drive);
    char n[FX_PATH_MAX];
    uint8_t pd = drive;
    if (CfName(pattern, n, &pd, false)) return Done(CF_INVALID);
    char dir[FX_PATH_MAX];
    const char *last = nullptr;
    SplitLast(n, dir, &last);
    SplitExt(last, entry->pat_name, sizeof entry->pat_name, entry->pat_ext, sizeof entry->pat_ext);
    Copy(entry->saved.path, sizeof entry->saved.path, media->cwd);
    const bool bare = std::strpbrk(pattern, "\\/:") == nullptr;
    // A directory the layer refuses answers its status; the current one is
    // not searched in its place.
    if (!bare) {
        if (const uint32_t s = _fxe_directory_local_path_set(media, nullptr, dir)) return Done(CfXlate(s));
    }
    char e[FX_NAME_MAX];
    uint32_t attr = 0;
    uint64_t size = 0;
    uint32_t t[6] = {};
    const uint32_t s =
        _fxe_directory_first_full_entry_find(media, e, &attr, &size, &t[0], &t[1], &t[2], &t[3], &t[4], &t[5]);
    return Done(NextMatch(media, entry, s, e, attr, size, t));
}

uint16_t CF_GetNext(uint8_t drive, CfEntry *entry) {
    if (drive > DRIVE_Z) return Done(CF_INVALID);
    FxMedia *media = CfMediaOf(drive);
    char e[FX_NAME_MAX];
    uint32_t attr = 0;
    uint64_t size = 0;
    uint32_t t[6] = {};
    const uint32_t s =
        _fxe_directory_next_full_entry_find(media, e, &attr, &size, &t[0], &t[1], &t[2], &t[3], &t[4], &t[5]);
    return Done(NextMatch(media, entry, s, e, attr, size, t));
}

uint16_t CF_GetDone(uint8_t drive, CfEntry *entry) {
    if (drive > DRIVE_Z) return Done(CF_INVALID);
    FxMedia *media = CfMediaOf(drive);
    if (media->dir) {
        closedir(media->dir);
        media->dir = nullptr;
    }
    _fxe_directory_local_path_restore(media, &entry->saved);
    return Done(CF_OK);
}

uint16_t CF_GetFreeSpace(uint8_t drive, uint32_t *total_kb, uint32_t *free_kb) {
    if (drive > DRIVE_Z) return Done(CF_INVALID);
    if (CfFormatBusy[drive]) return Done(CF_FORMATTING);
    FxMedia *media = CfMediaOf(drive);
    media->drive = drive;
    uint32_t fr = 0;
    const uint32_t s = _fxe_media_space_available(media, &fr);
    if (s != FX_SUCCESS) {
        if (total_kb) *total_kb = 0;
        if (free_kb) *free_kb = 0;
        return Done(CfXlate(s));
    }
    // Total blocks times block bytes, in 64 bits, from this query's record
    // (not the one before it, which the first query would find empty).
    const uint64_t total = uint64_t(media->total_blocks) * media->block_bytes / 1024;
    if (total_kb) *total_kb = total > 0xFFFFFFFFu ? 0xFFFFFFFFu : uint32_t(total);
    if (free_kb) *free_kb = fr;
    return Done(CF_OK);
}

namespace {
// Copies one file ("X:\..." names). The source must not be the destination.
uint16_t CopyOne(uint8_t sd, const char *src, uint8_t dd, const char *dst) {
    char hs[FX_PATH_MAX], hd[FX_PATH_MAX], ls[FX_PATH_MAX], ld[FX_PATH_MAX];
    if (!CfDriveChk(src, ls, DRIVE_ANY) || !CfDriveChk(dst, ld, DRIVE_ANY)) return CF_NOT_PRESENT;
    struct stat a {
    }, b{};
    if (PLAT_Path(ls, hs, sizeof hs) && PLAT_Path(ld, hd, sizeof hd) && stat(hs, &a) == 0 && stat(hd, &b) == 0 &&
        a.st_dev == b.st_dev && a.st_ino == b.st_ino)
        return CF_INVALID;
    FxFile in{}, out{};
    if (const uint32_t s = _fxe_file_open(CfMediaOf(sd), &in, src, FX_OPEN_FOR_READ)) return CfXlate(s);
    FxMedia *dm = CfMediaOf(dd);
    _fxe_file_delete(dm, dst);
    uint32_t s = _fxe_file_create(dm, dst);
    if (s == FX_SUCCESS) _fxe_file_attributes_set(dm, dst, 0x20);
    if (s == FX_SUCCESS) s = _fxe_file_open(dm, &out, dst, FX_OPEN_FOR_WRITE);
    if (s != FX_SUCCESS) {
        _fxe_file_close(&in);
        return CfXlate(s);
    }
    uint8_t buf[1024];
    for (;;) {
        uint32_t got = 0;
        s = _fxe_file_read(&in, buf, sizeof buf, &got);
        if (s != FX_SUCCESS || got == 0) break;
        s = _fxe_file_write(&out, buf, got);
        if (s != FX_SUCCESS) break;
    }
    _fxe_file_close(&in);
    _fxe_file_close(&out);
    return CfXlate(s);
}

bool ExplicitDrive(const char *name) {
    if (name == nullptr || name[0] == 0 || name[1] != ':') return false;
    const int c = std::toupper(static_cast<unsigned char>(name[0]));
    return c == 'A' || c == 'B' || c == 'Z';
}
}  // namespace

uint16_t CF_CopyFile(uint8_t, const char *source, const char *destination) {
    if (!ExplicitDrive(source) || !ExplicitDrive(destination)) return Done(CF_INVALID);
    char s[FX_PATH_MAX], d[FX_PATH_MAX];
    uint8_t sd = 0, dd = 0;
    if (CfName(source, s, &sd, true) || CfName(destination, d, &dd, false)) return Done(CF_INVALID);
    char sdir[FX_PATH_MAX];
    const char *slast = nullptr;
    SplitLast(s, sdir, &slast);
    uint32_t attr = 0;
    const std::size_t dl = std::strlen(d);
    const bool dest_dir = d[dl - 1] == '\\' || (_fxe_directory_attributes_read(CfMediaOf(dd), d, &attr) == FX_SUCCESS &&
                                                (attr & FX_DIRECTORY));
    if (HasWild(slast) || dest_dir) {
        if (dl > 3) {
            const uint16_t m = CF_MakeDir(dd, d);
            if (m != CF_OK && m != CF_EXISTS) return Done(m);
        }
        if (d[dl - 1] != '\\') {
            if (dl + 1 >= sizeof d) return Done(CF_INVALID);
            d[dl] = '\\';
            d[dl + 1] = 0;
        }
        char pn[FX_NAME_MAX], pe[FX_NAME_MAX];
        SplitExt(slast, pn, sizeof pn, pe, sizeof pe);
        FxMedia m{};
        m.drive = sd;
        _fxe_directory_local_path_set(&m, nullptr, sdir);
        char e[FX_NAME_MAX];
        uint16_t result = CF_NOT_FOUND;
        uint32_t st = _fxe_directory_first_full_entry_find(&m, e, &attr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                                           nullptr, nullptr);
        while (st == FX_SUCCESS) {
            char en[FX_NAME_MAX], ee[FX_NAME_MAX];
            SplitExt(e, en, sizeof en, ee, sizeof ee);
            if (!(attr & (FX_DIRECTORY | 0x08)) && CfPatternCmp(pn, en) && CfPatternCmp(pe, ee)) {
                char from[FX_PATH_MAX], to[FX_PATH_MAX];
                if (std::snprintf(from, sizeof from, "%s%s", sdir, e) >= int(sizeof from) ||
                    std::snprintf(to, sizeof to, "%s%s", d, e) >= int(sizeof to)) {
                    result = CF_INVALID;
                    break;
                }
                result = CopyOne(sd, from, dd, to);
                if (result != CF_OK) break;
            }
            st = _fxe_directory_next_full_entry_find(&m, e, &attr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                                     nullptr);
        }
        if (m.dir) closedir(m.dir);
        return Done(result);
    }
    char ddir[FX_PATH_MAX];
    const char *dlast = nullptr;
    SplitLast(d, ddir, &dlast);
    if (std::strlen(ddir) > 3) {
        const uint16_t m = CF_MakeDir(dd, ddir);
        if (m != CF_OK && m != CF_EXISTS) return Done(m);
    }
    return Done(CopyOne(sd, s, dd, d));
}
