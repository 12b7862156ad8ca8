// Set-up shared by the benchmark and fuzz programs: one temporary PLC_ROOT
// for the whole program, files written into it, and a reset table that turns
// a warm reset into a jump back into the program. Header only: these programs
// use it without the test library.
#pragma once

#include <csetjmp>
#include <cstdio>
#include <cstdlib>

#include "platform/plat.h"

namespace test_support {

// Makes a folder from tmpl (the caller's static "/tmp/...-XXXXXX" buffer,
// which receives the name), makes it PLC_ROOT and starts the platform on it
// as a program named arg0, with the folders a board always has when asked.
// Aborts when the folder cannot be made.
inline const char *ProgramRoot(char *tmpl, const char *arg0, bool board_folders = true) {
    if (mkdtemp(tmpl) == nullptr) std::abort();
    setenv("PLC_ROOT", tmpl, 1);
    // The platform keeps the argument vector (a warm reset re-executes it).
    static char name[32];
    std::snprintf(name, sizeof name, "%s", arg0);
    static char *argv[] = {name, nullptr};
    PLAT_Init(1, argv);
    if (board_folders) PLAT_MakeBoardFolders();
    return tmpl;
}

// Writes text to the file rel (e.g. "sim/io.json") below root.
inline void PutRootFile(const char *root, const char *rel, const char *text) {
    char path[512];
    std::snprintf(path, sizeof path, "%s/%s", root, rel);
    FILE *f = std::fopen(path, "w");
    if (f == nullptr) std::abort();
    std::fputs(text, f);
    std::fclose(f);
}

// A warm reset or reboot asked for by the input ends the current input
// instead of the process: the program sets the jump point with
// setjmp(ResetJump()) and puts kJumpReset in force.
inline std::jmp_buf &ResetJump() {
    static std::jmp_buf jump;
    return jump;
}
[[noreturn]] inline void JumpOnReset() { std::longjmp(ResetJump(), 1); }
inline const PlatResetOps kJumpReset = {JumpOnReset, JumpOnReset, JumpOnReset};

}  // namespace test_support
