// The web server's clock for a test: it reads what the test set (half
// seconds, from 1000) and moves only when the test moves it.
#pragma once

#include <cstdint>

#include "tavIXsdk/tavixsdk/tavix_buffer.h"

namespace test_support {

class WebClock {
public:
    WebClock() : saved_(tavix_timer_clock) {
        Reading() = 1000;
        tavix_timer_clock = Read;
    }
    ~WebClock() { tavix_timer_clock = saved_; }
    WebClock(const WebClock &) = delete;
    WebClock &operator=(const WebClock &) = delete;
    // Moves the clock on by units half seconds.
    static void Advance(uint64_t units) { Reading() += units; }

private:
    static uint64_t &Reading() {
        static uint64_t now;
        return now;
    }
    static int Read(uint64_t *out) {
        *out = Reading();
        return 0;
    }
    int (*saved_)(uint64_t *);
};

}  // namespace test_support
