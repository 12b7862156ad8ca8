// Runtime platform layer: files (a handle is a slot number of a small table
// of streams), the runtime trace, and the host I/O system hooks, which answer
// "no I/O system" on this controller.
#include <array>
#include <cstdarg>
#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

#include "iec/vm/z7parts.h"
#include "platform/plat.h"

namespace {
std::array<FILE *, 16> files{};

FILE *Slot(uint32_t h) { return h >= 1 && h <= files.size() ? files[h - 1] : nullptr; }

bool Host(const char *path, char *out, size_t n) { return path != nullptr && PLAT_Path(path, out, n) != nullptr; }
}  // namespace

uint32_t Z7File_Open(const char *path, uint32_t write) {
    char p[512];
    if (!Host(path, p, sizeof p)) return 0;
    for (uint32_t i = 0; i < files.size(); i++) {
        if (files[i] != nullptr) continue;
        files[i] = std::fopen(p, write ? "wb" : "rb");
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

uint32_t Z7File_Read(uint32_t h, void *buffer, uint32_t size) {
    FILE *f = Slot(h);
    return f && buffer && std::fread(buffer, 1, size, f) == size ? 1 : 0;
}

uint32_t Z7File_Write(uint32_t h, const void *buffer, uint32_t size) {
    FILE *f = Slot(h);
    return f && buffer && std::fwrite(buffer, 1, size, f) == size ? 1 : 0;
}

uint32_t Z7File_Fflush(uint32_t h) {
    FILE *f = Slot(h);
    return f && std::fflush(f) == 0 ? 1 : 0;
}

uint32_t Z7File_Delete(const char *path) {
    char p[512];
    return Host(path, p, sizeof p) && unlink(p) == 0 ? 1 : 0;
}

uint32_t Z7File_Rename(const char *from, const char *to) {
    char a[512], b[512];
    return Host(from, a, sizeof a) && Host(to, b, sizeof b) && std::rename(a, b) == 0 ? 1 : 0;
}

uint32_t Z7File_Exist(const char *path) {
    char p[512];
    return Host(path, p, sizeof p) && access(p, F_OK) == 0 ? 1 : 0;
}

uint32_t Z7File_GetSize(const char *path) {
    char p[512];
    struct stat st {};
    return Host(path, p, sizeof p) && stat(p, &st) == 0 ? uint32_t(st.st_size) : 0;
}

void Z7EVSTRACE(const char *format, ...) {
    char text[513];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    std::printf("%s\n", text);
    std::fflush(stdout);
}

uint32_t Z7Ios_GetMemorySizing(uint32_t) { return 0; }
uint32_t Z7Ios_Open(uint32_t, uint32_t, uint32_t) { return 0; }
uint32_t Z7Ios_Exchange(uint32_t) { return 0; }
void Z7Ios_Close() {}
