#include "tests/support/temp_root.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <ftw.h>
#include <unistd.h>

#include "platform/plat.h"

namespace test_support {

namespace {

char arg0[] = "test";
char *argv[] = {arg0, nullptr};

std::set<std::string> &Kept() {
    static std::set<std::string> kept;
    return kept;
}

void RemoveKept() {
    for (const std::string &d : Kept()) std::filesystem::remove_all(d);
}

}  // namespace

TempRoot::TempRoot() {
    const char *old = std::getenv("PLC_ROOT");
    had_old_ = old != nullptr;
    if (had_old_) old_ = old;
    char tmpl[] = "/tmp/plc-storage-XXXXXX";
    const char *d = mkdtemp(tmpl);
    if (d != nullptr) path_ = d;
    setenv("PLC_ROOT", path_.c_str(), 1);
    PLAT_Init(1, argv);
    PLAT_MakeBoardFolders();
}

TempRoot::~TempRoot() {
    if (had_old_)
        setenv("PLC_ROOT", old_.c_str(), 1);
    else
        unsetenv("PLC_ROOT");
    PLAT_Init(1, argv);
    if (!path_.empty())
        nftw(
            path_.c_str(), [](const char *p, const struct stat *, int, struct FTW *) { return remove(p); }, 16,
            FTW_DEPTH | FTW_PHYS);
}

std::string KeptRoot(char *tmpl) {
    static std::set<const char *> made;
    if (made.insert(tmpl).second) {
        if (mkdtemp(tmpl) == nullptr) std::abort();
        if (Kept().empty()) std::atexit(RemoveKept);
        Kept().insert(tmpl);
    }
    if (std::strcmp(PLAT_Root(), tmpl) != 0) {
        setenv("PLC_ROOT", tmpl, 1);
        PLAT_Init(0, nullptr);
        PLAT_MakeBoardFolders();
    }
    return tmpl;
}

}  // namespace test_support
