// Temporary PLC_ROOT folders for in-process tests, so that no test touches the
// machine's own /mnt/cfg.
#pragma once

#include <string>

namespace test_support {

// A fresh root for one test (for the lifetime of the object); the previous
// root is put back afterwards and the folder removed.
class TempRoot {
public:
    TempRoot();
    ~TempRoot();
    TempRoot(const TempRoot &) = delete;
    TempRoot &operator=(const TempRoot &) = delete;
    std::string operator/(const std::string &rel) const { return path_ + "/" + rel; }
    const std::string &path() const { return path_; }

private:
    std::string path_;
    std::string old_;
    bool had_old_ = false;
};

// A root kept for the whole test program: made on the first call from tmpl
// (the caller's static "/tmp/...-XXXXXX" buffer, which receives the name) and
// removed at exit. The platform is pointed at it again whenever another test
// moved it elsewhere.
std::string KeptRoot(char *tmpl);

}  // namespace test_support
