// FileX-style file layer on Linux files: drive letters, mounting on demand,
// name resolution against a per-media current directory, POSIX errors turned
// into FileX status numbers.
//
// Mounting has two implementations: the board's (block devices, mount(2) and
// the mount shell lines) and the workstation's, where a drive's folder under
// the root is the drive: A: is present while mnt/USB0 exists, B: while
// mnt/USB1 exists, Z: is mnt/cfg, and formatting empties the folder.
#include "media/filex.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <ftw.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/time.h>
#include <unistd.h>

#include "core/image/bytes.h"
#include "platform/plat.h"

std::array<std::atomic<uint8_t>, 3> CfFormatBusy;
std::array<MntDriveRec, 3> MntDrive = {{
    {"", "/mnt/USB0", 0},
    {"", "/mnt/USB1", 0},
    {"/dev/ubi0_2", "/mnt/cfg", 0},
}};
FxMedia Cf_Media;
uint8_t FileMutex;

namespace {
// MountDrive without the format guard: the format's own mounts.
uint32_t Mount(uint8_t drive, char *mount_out);

// ---- small helpers ---------------------------------------------------------------------
// Copies text into out (size bytes), cut to size - 1 characters.
void Copy(char *out, std::size_t size, const char *text) {
    std::size_t n = std::strlen(text);
    if (n >= size) n = size - 1;
    std::memcpy(out, text, n);
    out[n] = 0;
}

// out := a followed by b; false (out untouched) when it would not fit.
bool Join(char *out, std::size_t size, const char *a, const char *b) {
    const std::size_t na = std::strlen(a), nb = std::strlen(b);
    if (na + nb >= size) return false;
    std::memcpy(out, a, na);
    std::memcpy(out + na, b, nb + 1);
    return true;
}

bool HostPath(const char *sys, char *out) { return PLAT_Path(sys, out, FX_PATH_MAX) != nullptr; }

bool IsDir(const char *sys) {
    char p[FX_PATH_MAX];
    struct stat st {};
    return HostPath(sys, p) && stat(p, &st) == 0 && S_ISDIR(st.st_mode);
}

// Shell lines must not be cut short by the interval timer of the scan.
void DisarmTimer() {
    struct itimerval off {};
    setitimer(ITIMER_REAL, &off, nullptr);
}

void Shell(const char *a, const char *b, const char *c, const char *d) {
    char line[160];
    std::snprintf(line, sizeof line, "%s%s%s%s", a, b, c, d);
    DisarmTimer();
    PLAT_System(line);
}

// True when a host path lies on the configuration flash (Z:).
bool OnFlash(const char *host) {
    char z[FX_PATH_MAX];
    if (!HostPath(MntDrive[DRIVE_Z].mount, z)) return false;
    const std::size_t n = std::strlen(z);
    return std::strncmp(host, z, n) == 0 && (host[n] == 0 || host[n] == '/');
}

// Attributes of the entry at host path p: read-only when the owner may not
// write, system when the group may not read. A removable drive's mode bits
// come from whoever put the file there (the board's FAT card has none to
// give, a workstation's card folder has the user's), so there only the mode
// the attribute set gives a system file (0700) reads as system, and a plain
// 0600 file copied onto the card stays plain.
uint32_t Attributes(const struct stat &st, const char *p) {
    uint32_t a = S_ISDIR(st.st_mode) ? FX_DIRECTORY : 0;
    if (!(st.st_mode & S_IWUSR)) a |= FX_READ_ONLY;
    const bool system = OnFlash(p) ? !(st.st_mode & S_IRGRP) : (st.st_mode & 0777) == 0700;
    if (system) a |= FX_SYSTEM;
    return a;
}

void Fields(const struct stat &st, const char *p, uint32_t *attributes, uint64_t *size, uint32_t *year, uint32_t *month,
            uint32_t *day, uint32_t *hour, uint32_t *minute, uint32_t *second) {
    struct tm t {};
    localtime_r(&st.st_mtime, &t);
    if (attributes) *attributes = Attributes(st, p);
    if (size) *size = uint64_t(st.st_size);
    if (year) *year = uint32_t(t.tm_year + 1900);
    if (month) *month = uint32_t(t.tm_mon + 1);
    if (day) *day = uint32_t(t.tm_mday);
    if (hour) *hour = uint32_t(t.tm_hour);
    if (minute) *minute = uint32_t(t.tm_min);
    if (second) *second = uint32_t(t.tm_sec);
}

// ---- mounting -----------------------------------------------------------------------------
struct FxMountOps {
    uint32_t (*mount)(uint8_t drive);  // 1 when the drive is usable (marked mounted)
    bool (*check)(uint8_t drive);      // a mounted drive is still there
    void (*unmount)(const char *mount_path);
    uint32_t (*format)(uint8_t drive);  // 0 not mountable, 2 failed, 3 formatted
};

// Board: the SD card is the first "mmcblk" device, the stick the first "sd"
// device, each mounted as vfat.
bool FindBlock(const char *pattern, char *name, std::size_t size) {
    DIR *d = opendir("/sys/block");
    if (d == nullptr) return false;
    bool found = false;
    while (struct dirent *e = readdir(d)) {
        if (std::strstr(e->d_name, pattern) != nullptr && std::strlen(e->d_name) < size) {
            Copy(name, size, e->d_name);
            found = true;
            break;
        }
    }
    closedir(d);
    return found;
}

bool CanOpen(const char *dev) {
    const int fd = open(dev, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    close(fd);
    return true;
}

uint32_t BoardMount(uint8_t drive) {
    MntDriveRec &m = MntDrive[drive];
    if (drive == DRIVE_Z) {
        if (!IsDir(m.mount)) return 0;
        m.mounted = 1;
        return 1;
    }
    char name[16];
    if (!FindBlock(drive == DRIVE_A ? "mmcblk" : "sd", name, 9)) return 0;
    UnmountDrive(m.mount);
    char whole[16], part[16];
    if (!Join(whole, sizeof whole, "/dev/", name) || !Join(part, sizeof part, whole, drive == DRIVE_A ? "p1" : "1"))
        return 0;
    if (CanOpen(part))
        Copy(m.device, sizeof m.device, part);
    else if (CanOpen(whole))
        Copy(m.device, sizeof m.device, whole);
    else
        return 0;
    if (mount(m.device, m.mount, "vfat", 0xC0ED0000UL, nullptr) != 0) {
        if (errno != EROFS && errno != EBUSY) return 0;
        Shell("mount -o ", m.device, " ", m.mount);
        Shell("mount -o remount,rw ", m.device, " ", m.mount);
    } else if (drive == DRIVE_A) {
        // Mounted again through the shell so that the FTP users' group may write.
        Shell("umount /mnt/USB0", "", "", "");
        Shell("mount -o umask=002,gid=$(id -g ftp| awk '{print $1}') ", m.device, " ", m.mount);
        Shell("mount -o remount,rw ", m.device, " ", m.mount);
    }
    m.mounted = 1;
    return 1;
}

bool BoardCheck(uint8_t drive) {
    struct statvfs v {};
    return statvfs(MntDrive[drive].device, &v) == 0;
}

void BoardUnmount(const char *mount_path) {
    DisarmTimer();
    if (umount2(mount_path, MNT_FORCE) != 0) std::perror("umount2");
}

uint32_t BoardFormat(uint8_t drive) {
    char mnt[16];
    if (!Mount(drive, mnt)) return 0;
    MntDrive[drive].mounted = 0;
    UnmountDrive(mnt);
    sleep(2);
    Shell("mkfs.vfat -I ", MntDrive[drive].device, " > /dev/shm/a", "");
    return Mount(drive, mnt) ? 3 : 2;
}

// Workstation: the folder is the drive.
uint32_t HostMount(uint8_t drive) {
    MntDriveRec &m = MntDrive[drive];
    if (!IsDir(m.mount)) return 0;
    if (drive != DRIVE_Z) Copy(m.device, sizeof m.device, m.mount);
    m.mounted = 1;
    return 1;
}

bool HostCheck(uint8_t drive) { return IsDir(MntDrive[drive].mount); }

void HostUnmount(const char *) {}

int RemoveEntry(const char *path, const struct stat *, int, struct FTW *ftw) {
    if (ftw->level == 0) return 0;  // the drive's folder itself stays
    return remove(path);
}

uint32_t HostFormat(uint8_t drive) {
    char mnt[16];
    if (!Mount(drive, mnt)) return 0;
    MntDrive[drive].mounted = 0;
    UnmountDrive(mnt);
    sleep(2);  // as on the board, before the drive is made anew
    char p[FX_PATH_MAX];
    if (!HostPath(mnt, p)) return 2;
    const bool emptied = nftw(p, RemoveEntry, 16, FTW_DEPTH | FTW_PHYS) == 0;
    if (!Mount(drive, mnt)) return 2;
    return emptied ? 3 : 2;
}

constexpr FxMountOps kBoardMount = {BoardMount, BoardCheck, BoardUnmount, BoardFormat};
constexpr FxMountOps kHostMount = {HostMount, HostCheck, HostUnmount, HostFormat};

const FxMountOps &Mounts() { return PLAT_IsBoard() ? kBoardMount : kHostMount; }

// ---- name resolution ----------------------------------------------------------------------------
// Mount folders of the drives (the installation mounts its medium on /mnt/USB).
constexpr const char *kMountFolders[] = {"/mnt/USB0", "/mnt/USB1", "/mnt/cfg", "/mnt/USB"};

// Length of the mount folder that starts the system path, 0 when the path is
// not on a drive.
std::size_t MountPrefix(const char *sys) {
    for (const char *m : kMountFolders) {
        const std::size_t n = std::strlen(m);
        if (std::strncmp(sys, m, n) == 0 && (sys[n] == 0 || sys[n] == '/')) return n;
    }
    return 0;
}

// True when no component of host from index from on is a symbolic link. A
// missing component ends the walk: nothing below it exists to follow.
bool NoLinks(char *host, std::size_t from) {
    for (std::size_t i = from;; i++) {
        const char c = host[i];
        if (c != '/' && c != 0) continue;
        if (i > from && host[i - 1] != '/') {
            host[i] = 0;
            struct stat st {};
            const int r = lstat(host, &st);
            host[i] = c;
            if (r != 0) return true;
            if (S_ISLNK(st.st_mode)) return false;
        }
        if (c == 0) return true;
    }
}

// True when the host path of the system path sys has no symbolic link below
// the mount folder of its drive (a path off the drives is not walked).
bool LinkFree(const char *sys, char *host) {
    const std::size_t m = MountPrefix(sys);
    return m == 0 || NoLinks(host, std::strlen(host) - std::strlen(sys) + m);
}

// Locate's answer for a name with a symbolic link in it; each operation
// turns it into its own answer for a name that does not exist.
constexpr uint32_t kLinked = 0xFFFFFFFFu;
uint32_t Absent(uint32_t s, uint32_t absent) { return s == kLinked ? absent : s; }

// A name relative to the current directory: neither a drive letter nor a
// leading separator. "in/x.txt" is as relative as "x.txt": taken from the
// root instead, a client's name would reach another folder's file of the
// same name.
bool Relative(const char *name) { return name[0] != '/' && name[0] != '\\' && !(name[0] != 0 && name[1] == ':'); }

// Resolves a name against the media's current directory to the host path to
// open. Answers 0, FX_MEDIA_NOT_OPEN, FX_INVALID_PATH or kLinked.
uint32_t Locate(const FxMedia *media, const char *name, char *host) {
    if (name == nullptr) return FX_INVALID_PATH;
    char full[FX_PATH_MAX];
    if (Relative(name) && media != nullptr) {
        if (std::snprintf(full, sizeof full, "%s%s", media->cwd, name) >= int(sizeof full)) return FX_INVALID_PATH;
    } else {
        Copy(full, sizeof full, name);
    }
    // Checked on the joined name: neither the name nor the current directory may climb.
    if (Fx_PathLeaves(full)) return FX_INVALID_PATH;
    char local[FX_PATH_MAX];
    if (!CfDriveChk(full, local, DRIVE_ANY)) return FX_MEDIA_NOT_OPEN;
    if (!HostPath(local, host)) return FX_INVALID_PATH;
    return LinkFree(local, host) ? FX_SUCCESS : kLinked;
}

// Identity of a removable drive's mount folder: the folder a card is, on a
// workstation; the mounted volume's root on the board.
bool MountId(uint8_t drive, uint64_t *dev, uint64_t *ino) {
    char p[FX_PATH_MAX];
    struct stat st {};
    if (!HostPath(MntDrive[drive].mount, p) || stat(p, &st) != 0) return false;
    *dev = uint64_t(st.st_dev);
    *ino = uint64_t(st.st_ino);
    return true;
}

// Records the removable drive a file was opened on.
void NoteMedia(FxFile *file, const FxMedia *media, const char *name) {
    file->media = 0;
    uint8_t drive = DRIVE_A;  // as Locate: a name without a letter is on A:
    const char *n = name;
    if (Relative(n) && media != nullptr) n = media->cwd;
    if (n[0] != 0 && n[1] == ':') {
        const int c = std::tolower(static_cast<unsigned char>(n[0]));
        drive = c == 'b' ? DRIVE_B : c == 'z' ? DRIVE_Z : DRIVE_A;
    }
    if (drive == DRIVE_Z) return;  // the configuration flash is never pulled
    if (MountId(drive, &file->mount_dev, &file->mount_ino)) file->media = uint8_t(drive + 1);
}

// False once the drive of an open file is gone: pulled, or another card in its place.
bool MediaThere(const FxFile *file) {
    if (file->media == 0) return true;
    const uint8_t drive = uint8_t(file->media - 1);
    uint64_t dev = 0, ino = 0;
    return MountDrive(drive, nullptr) && MountId(drive, &dev, &ino) && dev == file->mount_dev && ino == file->mount_ino;
}

// An operation on a file whose drive is gone closes it and answers as on an
// absent drive.
uint32_t Gone(FxFile *file) {
    if (MediaThere(file)) return FX_SUCCESS;
    close(file->fd);
    file->open = 0;
    file->fd = -1;
    return FX_MEDIA_NOT_OPEN;
}

uint32_t IoStatus(int err) {
    if (err == EBADF) return FX_NOT_OPEN;
    if (err == EISDIR) return FX_NOT_A_FILE;
    return FX_ACCESS_ERROR;
}

void RefreshSize(FxFile *file) {
    struct stat st {};
    if (fstat(file->fd, &st) == 0) {
        file->size = uint64_t(st.st_size);
        file->size_copy = file->size;
    }
}
}  // namespace

namespace {
uint32_t Mount(uint8_t drive, char *mount_out) {
    MntDriveRec &m = MntDrive[drive];
    const FxMountOps &ops = Mounts();
    if (m.mounted) {
        if (!FileMutex && !ops.check(drive)) {
            m.mounted = 0;
            UnmountDrive(m.mount);
            return 0;
        }
    } else if (!ops.mount(drive)) {
        return 0;
    }
    if (mount_out != nullptr) Copy(mount_out, sizeof m.mount, m.mount);
    return 1;
}
}  // namespace

// ---- drives ------------------------------------------------------------------------------------------
uint32_t MountDrive(uint8_t drive, char *mount_out) {
    if (drive > DRIVE_Z || CfFormatBusy[drive]) return 0;
    return Mount(drive, mount_out);
}

uint32_t Cf_Check(uint8_t drive) { return MountDrive(drive, nullptr) ? 3 : 0; }

void Cf_Init() {}

void UnmountDrive(const char *mount_path) { Mounts().unmount(mount_path); }

uint32_t Cf_Format(uint32_t, uint8_t drive) {
    if (drive > DRIVE_Z) return 0;
    return Mounts().format(drive);
}

bool Fx_MediaHost(const char *sys, char *host, std::size_t size) {
    if (sys == nullptr || host == nullptr || size == 0) return false;
    if (MountPrefix(sys) != 0 && Fx_PathLeaves(sys)) return false;
    return PLAT_Path(sys, host, size) != nullptr && LinkFree(sys, host);
}

bool Fx_HostLinkFree(char *host, std::size_t from) {
    if (host == nullptr) return false;
    const std::size_t n = std::strlen(host);
    // On a drive the walk starts at its mount folder.
    for (const char *m : kMountFolders) {
        char mount[FX_PATH_MAX];
        if (!HostPath(m, mount)) continue;
        const std::size_t k = std::strlen(mount);
        if (k < from && k <= n && std::strncmp(host, mount, k) == 0 && (host[k] == 0 || host[k] == '/')) from = k;
    }
    return NoLinks(host, from < n ? from : n);
}

uint32_t Fx_PathLeaves(const char *name) {
    if (name == nullptr) return 0;
    const char *c = name;
    if (c[0] != 0 && c[1] == ':') c += 2;
    while (*c != 0) {
        while (*c == '/' || *c == '\\') c++;
        const char *start = c;
        while (*c != 0 && *c != '/' && *c != '\\') c++;
        if (c - start == 2 && start[0] == '.' && start[1] == '.') return 1;
    }
    return 0;
}

uint32_t CfDriveChk(const char *name, char *out, uint8_t drive) {
    out[0] = 0;
    if (name == nullptr || Fx_PathLeaves(name)) {
        Copy(out, FX_PATH_MAX, "/");
        return 0;
    }
    const char *rest = name;
    if (drive == DRIVE_ANY) {
        drive = DRIVE_A;
        if (name[0] != 0 && name[1] == ':') {
            switch (std::tolower(static_cast<unsigned char>(name[0]))) {
            case 'a': drive = DRIVE_A; break;
            case 'b': drive = DRIVE_B; break;
            case 'z': drive = DRIVE_Z; break;
            default: Copy(out, FX_PATH_MAX, "/"); return 0;
            }
            rest = name + 2;
        }
    }
    char mnt[16];
    if (drive > DRIVE_Z || !MountDrive(drive, mnt)) {
        Copy(out, FX_PATH_MAX, "/");
        return 0;
    }
    std::size_t k = std::strlen(mnt);
    std::memcpy(out, mnt, k);
    if (rest[0] != '/' && rest[0] != '\\') out[k++] = '/';
    for (const char *c = rest; *c != 0 && k < FX_PATH_MAX - 1; c++) out[k++] = *c == '\\' ? '/' : *c;
    out[k] = 0;
    return 1;
}

// ---- files ------------------------------------------------------------------------------------------
uint32_t _fxe_file_create(FxMedia *media, const char *name) {
    char p[FX_PATH_MAX];
    if (const uint32_t s = Locate(media, name, p)) return Absent(s, FX_INVALID_PATH);
    const int fd = open(p, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        if (errno == ENOENT || errno == EFAULT || errno == ELOOP) return FX_INVALID_PATH;
        return errno == ENFILE ? FX_IO_ERROR : FX_ACCESS_ERROR;
    }
    close(fd);
    return FX_SUCCESS;
}

uint32_t _fxe_file_open(FxMedia *media, FxFile *file, const char *name, uint32_t type) {
    if (file->open) _fxe_file_close(file);
    char p[FX_PATH_MAX];
    if (const uint32_t s = Locate(media, name, p)) return Absent(s, FX_NOT_FOUND);
    int flags = O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW;
    switch (type) {
    case FX_OPEN_FOR_READ: flags |= O_RDONLY; break;
    case FX_OPEN_FOR_WRITE: flags |= O_RDWR; break;
    case FX_OPEN_FOR_TRUNCATE: flags |= O_RDWR | O_TRUNC; break;
    default: flags |= O_RDWR | O_APPEND; break;
    }
    int fd = open(p, flags);
    if (fd < 0) {
        if (errno == EFAULT) return FX_INVALID_PATH;
        if (errno == ENFILE) return FX_IO_ERROR;
        return errno == ENOENT || errno == ELOOP ? FX_NOT_FOUND : FX_ACCESS_ERROR;
    }
    if (fd == 0) {
        // Standard input's number is never kept as a file.
        const int d = fcntl(fd, F_DUPFD_CLOEXEC, 1);
        close(fd);
        if (d < 0) return FX_ACCESS_ERROR;
        fd = d;
    }
    file->fd = fd;
    file->open = 1;
    file->size = file->size_copy = 0;
    RefreshSize(file);
    NoteMedia(file, media, name);
    return FX_SUCCESS;
}

uint32_t _fxe_file_close(FxFile *file) {
    if (!file->open) return FX_NOT_OPEN;
    const bool there = MediaThere(file);
    close(file->fd);
    file->open = 0;
    file->fd = -1;
    return there ? FX_SUCCESS : FX_MEDIA_NOT_OPEN;
}

int _fxe_file_hold(const FxFile *file) {
    if (!file->open) return -1;
    return fcntl(file->fd, F_DUPFD_CLOEXEC, 3);
}

void _fxe_file_release(int hold, bool remove) {
    if (hold < 0) return;
    if (remove) {
        // The descriptor knows where the file is now, also after its folder was renamed.
        char fdpath[40], path[FX_PATH_MAX];
        std::snprintf(fdpath, sizeof fdpath, "/proc/self/fd/%d", hold);
        const ssize_t n = readlink(fdpath, path, sizeof path - 1);
        struct stat a {
        }, b{};
        if (n > 0 && path[0] == '/') {
            path[n] = 0;
            // Only the very file held: never a name that another file took meanwhile.
            if (fstat(hold, &a) == 0 && lstat(path, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino)
                unlink(path);
        }
    }
    close(hold);
}

uint32_t _fxe_file_media_check(FxFile *file) {
    if (!file->open) return FX_SUCCESS;
    return Gone(file);
}

uint32_t _fxe_file_read(FxFile *file, void *buffer, uint32_t length, uint32_t *count) {
    if (count) *count = 0;
    if (!file->open) return FX_NOT_OPEN;
    if (const uint32_t s = Gone(file)) return s;
    ssize_t r;
    do r = read(file->fd, buffer, length);
    while (r < 0 && errno == EINTR);
    if (r < 0) return IoStatus(errno);
    if (count) *count = uint32_t(r);
    return FX_SUCCESS;
}

uint32_t _fxe_file_write(FxFile *file, const void *data, uint32_t length) {
    if (!file->open) return FX_NOT_OPEN;
    if (const uint32_t s = Gone(file)) return s;
    const uint8_t *p = static_cast<const uint8_t *>(data);
    uint32_t left = length;
    while (left > 0) {
        const ssize_t w = write(file->fd, p, left);
        if (w < 0) {
            if (errno == EINTR) continue;
            return IoStatus(errno);
        }
        if (w == 0) return FX_ACCESS_ERROR;
        p += w;
        left -= uint32_t(w);
    }
    RefreshSize(file);
    return FX_SUCCESS;
}

uint32_t _fxe_file_seek(FxFile *file, uint64_t offset) {
    if (!file->open) return FX_NOT_OPEN;
    if (offset > uint64_t(INT64_MAX)) return FX_ACCESS_ERROR;
    return lseek(file->fd, off_t(offset), SEEK_SET) < 0 ? IoStatus(errno) : FX_SUCCESS;
}

uint32_t _fxe_file_relative_seek(FxFile *file, int64_t offset, uint32_t from) {
    if (!file->open) return FX_NOT_OPEN;
    int whence;
    switch (from) {
    case 0: whence = SEEK_CUR; break;
    case 1: whence = SEEK_END; break;
    case 2: whence = SEEK_SET; break;
    default: return FX_ACCESS_ERROR;
    }
    return lseek(file->fd, off_t(offset), whence) < 0 ? IoStatus(errno) : FX_SUCCESS;
}

uint32_t _fxe_file_truncate(FxFile *file, uint64_t length) {
    if (!file->open) return FX_NOT_OPEN;
    if (length > uint64_t(INT64_MAX)) return FX_ACCESS_ERROR;
    if (ftruncate(file->fd, off_t(length)) != 0) return errno == EBADF ? FX_NOT_OPEN : FX_ACCESS_ERROR;
    RefreshSize(file);
    return FX_SUCCESS;
}

namespace {
// The folder part of a host path ("." for none).
void FolderOf(const char *path, char *out) {
    const char *slash = std::strrchr(path, '/');
    if (slash == nullptr) {
        Copy(out, FX_PATH_MAX, ".");
        return;
    }
    const std::size_t n = slash == path ? 1 : std::size_t(slash - path);
    std::memcpy(out, path, n);
    out[n] = 0;
}

// Copies what from holds to the end of to; false on any failure.
bool CopyAll(int from, int to) {
    for (;;) {
        const ssize_t n = copy_file_range(from, nullptr, to, nullptr, 1 << 20, 0);
        if (n == 0) return true;
        if (n > 0) continue;
        if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP) return false;
        // The kernel cannot copy between these two: through a buffer.
        uint8_t buf[8192];
        for (;;) {
            const ssize_t r = read(from, buf, sizeof buf);
            if (r == 0) return true;
            if (r < 0) return false;
            for (ssize_t off = 0; off < r;) {
                const ssize_t w = write(to, buf + off, std::size_t(r - off));
                if (w <= 0) return false;
                off += w;
            }
        }
    }
}

// The folder of path to the card (its entries survive a power cut).
void SyncFolder(const char *path) {
    char dir[FX_PATH_MAX];
    FolderOf(path, dir);
    const int d = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (d < 0) return;
    fsync(d);
    close(d);
}
}  // namespace

uint32_t _fxe_file_upload_open(FxMedia *media, FxFile *file, FxUpload *up, const char *name, bool append) {
    _fxe_file_upload_abort(file, up);
    if (file->open) _fxe_file_close(file);
    if (const uint32_t s = Locate(media, name, up->target)) return Absent(s, FX_NOT_FOUND);
    struct stat st {};
    const bool exists = lstat(up->target, &st) == 0;
    if (exists && !S_ISREG(st.st_mode)) return S_ISDIR(st.st_mode) ? FX_NOT_A_FILE : FX_ACCESS_ERROR;
    const mode_t mode = exists ? (st.st_mode & 07777) : 0600;
    char dir[FX_PATH_MAX];
    FolderOf(up->target, dir);
    up->temp[0] = 0;
    int fd = open(dir, O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
    if (fd < 0) {
        // A drive that holds no file without a name (the card's FAT): a named
        // one, which a later upload of the same file replaces if a power cut
        // leaves it behind.
        if (!Join(up->temp, sizeof up->temp, up->target, FX_UPLOAD_SUFFIX)) return FX_INVALID_PATH;
        fd = open(up->temp, O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd < 0) {
            up->temp[0] = 0;
            if (errno == ENOENT || errno == ELOOP) return FX_NOT_FOUND;
            return errno == ENFILE ? FX_IO_ERROR : FX_ACCESS_ERROR;
        }
    }
    if (fd == 0) {
        // Standard input's number is never kept as a file (an unnamed file
        // cannot be opened again: it moves).
        const int d = fcntl(fd, F_DUPFD_CLOEXEC, 1);
        close(fd);
        fd = d;
    }
    up->active = 1;
    file->fd = fd;
    file->open = fd >= 0;
    file->size = file->size_copy = 0;
    // The new file keeps the old one's rights (the creation mask aside).
    if (fd < 0 || (exists && fchmod(fd, mode) != 0)) {
        _fxe_file_upload_abort(file, up);
        return FX_ACCESS_ERROR;
    }
    if (append && exists) {
        const int old = open(up->target, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        const bool copied = old >= 0 && CopyAll(old, fd);
        if (old >= 0) close(old);
        if (!copied) {
            _fxe_file_upload_abort(file, up);
            return FX_ACCESS_ERROR;
        }
    }
    RefreshSize(file);
    NoteMedia(file, media, name);
    return FX_SUCCESS;
}

uint32_t _fxe_file_upload_commit(FxFile *file, FxUpload *up) {
    if (!up->active) return FX_NOT_OPEN;
    if (!file->open || Gone(file) != FX_SUCCESS || fsync(file->fd) != 0) {
        _fxe_file_upload_abort(file, up);
        return FX_MEDIA_NOT_OPEN;
    }
    bool ok = true;
    if (up->temp[0] == 0) {
        // The unnamed file gets the temporary name first: a name cannot be
        // given over an existing one, a rename can.
        if (!Join(up->temp, sizeof up->temp, up->target, FX_UPLOAD_SUFFIX)) {
            _fxe_file_upload_abort(file, up);
            return FX_INVALID_PATH;
        }
        char self[40];
        std::snprintf(self, sizeof self, "/proc/self/fd/%d", file->fd);
        unlink(up->temp);  // one a power cut left behind
        ok = linkat(AT_FDCWD, self, AT_FDCWD, up->temp, AT_SYMLINK_FOLLOW) == 0;
        if (!ok) up->temp[0] = 0;
    }
    ok = ok && rename(up->temp, up->target) == 0;
    if (!ok) {
        _fxe_file_upload_abort(file, up);
        return FX_ACCESS_ERROR;
    }
    up->temp[0] = 0;
    _fxe_file_upload_abort(file, up);  // closes; the file is the target now
    SyncFolder(up->target);
    return FX_SUCCESS;
}

void _fxe_file_upload_abort(FxFile *file, FxUpload *up) {
    if (!up->active) return;
    if (file->open) {
        close(file->fd);
        file->open = 0;
        file->fd = -1;
    }
    if (up->temp[0] != 0) unlink(up->temp);
    up->temp[0] = 0;
    up->active = 0;
}

uint32_t _fxe_file_delete(FxMedia *media, const char *name) {
    char p[FX_PATH_MAX];
    if (const uint32_t s = Locate(media, name, p)) return Absent(s, FX_NOT_FOUND);
    if (unlink(p) == 0) return FX_SUCCESS;
    switch (errno) {
    case EFAULT: return FX_INVALID_PATH;
    case ENOENT: return FX_NOT_FOUND;
    case EISDIR: return FX_NOT_A_FILE;
    default: return FX_ACCESS_ERROR;
    }
}

namespace {
uint32_t RenameStatus(int err) { return err == EEXIST || err == ENOTEMPTY ? FX_DIR_NOT_EMPTY : FX_ACCESS_ERROR; }
}  // namespace

uint32_t _fxe_file_rename(FxMedia *media, const char *old_name, const char *new_name) {
    char from[FX_PATH_MAX], to[FX_PATH_MAX];
    if (const uint32_t s = Locate(media, old_name, from)) return Absent(s, FX_INVALID_PATH);
    if (const uint32_t s = Locate(media, new_name, to)) return Absent(s, FX_INVALID_PATH);
    if (!CanOpen(from)) return FX_INVALID_PATH;
    if (CanOpen(to)) return FX_ALREADY_CREATED;
    if (rename(from, to) != 0) return RenameStatus(errno);
    utimes(to, nullptr);
    return FX_SUCCESS;
}

uint32_t _fxe_directory_rename(FxMedia *media, const char *old_name, const char *new_name) {
    char from[FX_PATH_MAX], to[FX_PATH_MAX];
    if (const uint32_t s = Locate(media, old_name, from)) return Absent(s, FX_ACCESS_ERROR);
    if (const uint32_t s = Locate(media, new_name, to)) return Absent(s, FX_ACCESS_ERROR);
    return rename(from, to) == 0 ? FX_SUCCESS : RenameStatus(errno);
}

namespace {
mode_t AttributeMode(uint32_t attributes) {
    if (attributes & FX_SYSTEM) return 0700;
    return (attributes & FX_READ_ONLY) ? 0444 : 0774;
}
}  // namespace

uint32_t _fxe_file_attributes_set(FxMedia *media, const char *name, uint32_t attributes) {
    char p[FX_PATH_MAX];
    if (const uint32_t s = Locate(media, name, p)) return Absent(s, FX_INVALID_ATTR);
    return chmod(p, AttributeMode(attributes)) == 0 ? FX_SUCCESS : FX_INVALID_ATTR;
}

uint32_t _fxe_directory_attributes_set(FxMedia *media, const char *name, uint32_t attributes) {
    char p[FX_PATH_MAX];
    if (const uint32_t s = Locate(media, name, p)) return Absent(s, FX_INVALID_PATH);
    if (chmod(p, AttributeMode(attributes)) == 0) return FX_SUCCESS;
    switch (errno) {
    case EINVAL: return FX_INVALID_ATTR;
    case ENOENT: return FX_INVALID_PATH;
    case ENOTDIR: return FX_NOT_DIRECTORY;
    default: return FX_ACCESS_ERROR;
    }
}

uint32_t _fxe_file_attributes_read(FxMedia *media, const char *name, uint32_t *attributes) {
    char p[FX_PATH_MAX];
    if (const uint32_t s = Locate(media, name, p)) return Absent(s, FX_INVALID_PATH);
    struct stat st {};
    if (stat(p, &st) != 0) return FX_INVALID_PATH;
    if (attributes) *attributes = Attributes(st, p);
    return FX_SUCCESS;
}

uint32_t _fxe_directory_attributes_read(FxMedia *media, const char *name, uint32_t *attributes) {
    return _fxe_file_attributes_read(media, name, attributes);
}

// ---- directories --------------------------------------------------------------------------------------
uint32_t _fxe_directory_create(FxMedia *media, const char *name) {
    char p[FX_PATH_MAX];
    if (const uint32_t s = Locate(media, name, p)) return Absent(s, FX_INVALID_PATH);
    if (mkdir(p, 0775) == 0) return FX_SUCCESS;
    switch (errno) {
    case EEXIST: return FX_ALREADY_CREATED;
    case EFAULT: return FX_INVALID_PATH;
    case EROFS: return FX_WRITE_PROTECT;
    case EINTR: return FX_SUCCESS;
    default: return FX_ACCESS_ERROR;
    }
}

uint32_t _fxe_directory_delete(FxMedia *media, const char *name) {
    char p[FX_PATH_MAX];
    if (const uint32_t s = Locate(media, name, p)) return Absent(s, FX_ACCESS_ERROR);
    if (rmdir(p) == 0) return FX_SUCCESS;
    switch (errno) {
    case ENOTEMPTY: return FX_DIR_NOT_EMPTY;
    case EFAULT: return FX_INVALID_PATH;
    case EROFS: return FX_WRITE_PROTECT;
    case ENOTDIR: return FX_NOT_DIRECTORY;
    default: return FX_ACCESS_ERROR;
    }
}

uint32_t _fxe_directory_name_test(FxMedia *media, const char *name) {
    char p[FX_PATH_MAX];
    if (const uint32_t s = Locate(media, name, p)) return Absent(s, FX_NOT_FOUND);
    DIR *d = opendir(p);
    if (d == nullptr) {
        if (errno == ENOENT) return FX_NOT_FOUND;
        return errno == ENOTDIR ? FX_NOT_DIRECTORY : FX_ACCESS_ERROR;
    }
    closedir(d);
    return FX_SUCCESS;
}

uint32_t _fxe_directory_first_full_entry_find(FxMedia *media, char *name, uint32_t *attributes, uint64_t *size,
                                              uint32_t *year, uint32_t *month, uint32_t *day, uint32_t *hour,
                                              uint32_t *minute, uint32_t *second) {
    if (media->dir != nullptr) {
        closedir(media->dir);
        media->dir = nullptr;
    }
    char p[FX_PATH_MAX];
    if (const uint32_t s = Locate(media, "", p)) return Absent(s, FX_NOT_FOUND);
    media->dir = opendir(p);
    if (media->dir == nullptr) {
        if (errno == ENOENT) return FX_NOT_FOUND;
        return errno == ENOTDIR ? FX_NOT_DIRECTORY : FX_ACCESS_ERROR;
    }
    return _fxe_directory_next_full_entry_find(media, name, attributes, size, year, month, day, hour, minute, second);
}

uint32_t _fxe_directory_next_full_entry_find(FxMedia *media, char *name, uint32_t *attributes, uint64_t *size,
                                             uint32_t *year, uint32_t *month, uint32_t *day, uint32_t *hour,
                                             uint32_t *minute, uint32_t *second) {
    if (media->dir == nullptr) return FX_NOT_DIRECTORY;
    errno = 0;
    char dir[FX_PATH_MAX];
    if (const uint32_t s = Locate(media, "", dir)) return Absent(s, FX_NOT_FOUND);
    for (;;) {
        struct dirent *e = readdir(media->dir);
        if (e == nullptr) {
            const int err = errno;
            closedir(media->dir);
            media->dir = nullptr;
            return err == EBADF ? FX_NOT_DIRECTORY : FX_NO_MORE_ENTRIES;
        }
        char p[FX_PATH_MAX];
        if (!Join(p, FX_PATH_MAX, dir, e->d_name)) return FX_INVALID_PATH;  // 512 characters or more
        struct stat st {};
        if (lstat(p, &st) != 0) st = {};
        // A symbolic link is no entry of the drive: no name through it opens.
        if (S_ISLNK(st.st_mode)) continue;
        Copy(name, FX_NAME_MAX, e->d_name);
        Fields(st, p, attributes, size, year, month, day, hour, minute, second);
        return FX_SUCCESS;
    }
}

uint32_t _fxe_directory_information_get(FxMedia *media, const char *name, uint32_t *attributes, uint64_t *size,
                                        uint32_t *year, uint32_t *month, uint32_t *day, uint32_t *hour,
                                        uint32_t *minute, uint32_t *second) {
    char p[FX_PATH_MAX];
    if (const uint32_t s = Locate(media, name, p)) return Absent(s, FX_NOT_FOUND);
    struct stat st {};
    if (stat(p, &st) != 0) return FX_NOT_FOUND;
    Fields(st, p, attributes, size, year, month, day, hour, minute, second);
    return FX_SUCCESS;
}

uint32_t _fxe_directory_local_path_set(FxMedia *media, FxLocalPath *local, const char *path) {
    if (path == nullptr) return FX_SUCCESS;
    if (Fx_PathLeaves(path)) return FX_INVALID_PATH;
    char res[FX_PATH_MAX];
    const bool root = path[0] == '/' || path[0] == '\\';
    if (root || (path[0] != 0 && path[1] == ':')) {
        if (root && path[1] == 0)
            res[0] = 0;
        else
            Copy(res, sizeof res, path);
    } else {
        // Appended to an empty directory the path starts at the root: a
        // directory text is also taken as a name (a reply naming the folder
        // just made), and a relative one would be joined to itself.
        const int k = std::snprintf(res, sizeof res, "%s%s%s", media->cwd[0] == 0 ? "/" : "", media->cwd, path);
        if (k < 0 || k >= int(sizeof res)) return FX_INVALID_PATH;
    }
    const std::size_t n = std::strlen(res);
    if (n > 0 && res[n - 1] != '/' && res[n - 1] != '\\' && n < FX_PATH_MAX - 1) {
        res[n] = '/';
        res[n + 1] = 0;
    }
    Copy(media->cwd, sizeof media->cwd, res);
    if (local != nullptr) Copy(local->path, sizeof local->path, res);
    return FX_SUCCESS;
}

uint32_t _fxe_directory_local_path_get(FxMedia *media, const char **path) {
    if (path != nullptr) *path = media->cwd;
    return FX_SUCCESS;
}

uint32_t _fxe_directory_local_path_restore(FxMedia *media, const FxLocalPath *local) {
    Copy(media->cwd, sizeof media->cwd, local != nullptr ? local->path : "");
    return FX_SUCCESS;
}

// ---- media ------------------------------------------------------------------------------------------------
uint32_t _fxe_media_flush(FxMedia *) { return FX_SUCCESS; }

uint32_t _fxe_media_space_available(FxMedia *media, uint32_t *free_kb) {
    char mnt[16];
    if (!MountDrive(media->drive, mnt)) return FX_MEDIA_NOT_OPEN;
    if (FileMutex) return FX_ACCESS_ERROR;
    FileMutex = 1;
    uint64_t free_blocks = 0, total = 0, block = 0;
    bool ok = false;
    char p[FX_PATH_MAX];
    if (media->drive == DRIVE_Z) {
        // The record has no triple for the configuration flash: ask it directly.
        struct statvfs v {};
        if (HostPath(mnt, p) && statvfs(p, &v) == 0) {
            free_blocks = v.f_bavail;
            total = v.f_blocks;
            block = v.f_frsize;
            ok = true;
        }
    } else if (HostPath(FX_SPACE_RECORD, p)) {
        const int fd = open(p, O_RDONLY | O_CLOEXEC);
        uint8_t rec[FX_SPACE_RECORD_SIZE];
        if (fd >= 0) {
            ok = read(fd, rec, sizeof rec) == ssize_t(sizeof rec);
            close(fd);
        }
        if (ok) {
            const uint8_t *t = rec + (media->drive == DRIVE_A ? 0 : 12);
            free_blocks = LE_Get32(t);
            total = LE_Get32(t + 4);
            block = LE_Get32(t + 8);
        }
    }
    FileMutex = 0;
    if (!ok || total == 0) return FX_ACCESS_ERROR;
    // Bytes first, in 64 bits: small blocks must not round to 0 KB.
    const uint64_t kb = free_blocks * block / 1024;
    const uint32_t out = kb > 0xFFFFFFFFu ? 0xFFFFFFFFu : uint32_t(kb);
    media->free_kb = out;
    media->total_blocks = total > 0xFFFFFFFFu ? 0xFFFFFFFFu : uint32_t(total);
    media->block_kb = uint32_t(block / 1024);
    media->block_bytes = uint32_t(block);
    media->space_valid = 1;
    if (free_kb) *free_kb = out;
    return FX_SUCCESS;
}

uint32_t set_mtime(FxFile *file, const char *path, uint32_t year, uint32_t month, uint32_t day, uint32_t hour,
                   uint32_t minute, uint32_t second, uint32_t flags) {
    struct tm t {};
    t.tm_year = int(year) - 1900;
    t.tm_mon = int(month) - 1;
    t.tm_mday = int(day);
    t.tm_hour = int(hour);
    t.tm_min = int(minute);
    t.tm_sec = int(second);
    t.tm_isdst = -1;
    const time_t when = mktime(&t);
    if (when == time_t(-1)) return FX_ACCESS_ERROR;
    struct timeval tv[2] = {{when, 0}, {when, 0}};
    if (flags & 0x10) {
        char p[FX_PATH_MAX];
        if (path == nullptr || Fx_PathLeaves(path) || !HostPath(path, p)) return FX_INVALID_PATH;
        return utimes(p, tv) == 0 ? FX_SUCCESS : FX_ACCESS_ERROR;
    }
    if (file == nullptr || !file->open) return FX_NOT_OPEN;
    return futimes(file->fd, tv) == 0 ? FX_SUCCESS : FX_ACCESS_ERROR;
}
