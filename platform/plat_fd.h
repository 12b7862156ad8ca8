// One owner per descriptor: a PlatFd closes what it holds when it is reset,
// given a new descriptor or destroyed; it cannot be copied, only moved.
#pragma once

#include <unistd.h>

class PlatFd {
public:
    PlatFd() = default;
    explicit PlatFd(int fd) : fd_(fd) {}
    PlatFd(const PlatFd &) = delete;
    PlatFd &operator=(const PlatFd &) = delete;
    PlatFd(PlatFd &&o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
    PlatFd &operator=(PlatFd &&o) noexcept {
        if (this != &o) reset(o.release());
        return *this;
    }
    ~PlatFd() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    // Closes the descriptor held (if any) and takes fd.
    void reset(int fd = -1) {
        if (fd_ >= 0 && fd_ != fd) close(fd_);
        fd_ = fd;
    }
    // Gives the descriptor up without closing it.
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_ = -1;
};
