// The IEC runtime's clock fixed at Sunday 2024-03-10 14:05:09.007 UTC, with
// the local time zone UTC, for as long as the object lives: date and time
// answers then do not follow the machine's clock.
#pragma once

#include <cstdlib>
#include <ctime>
#include <string>
#include <sys/time.h>

#include "iec/services/z7svc.h"

namespace test_support {

class FixedIecClock {
public:
    FixedIecClock() {
        if (const char *tz = std::getenv("TZ")) old_tz_ = tz, had_tz_ = true;
        setenv("TZ", "UTC0", 1);
        tzset();
        Z7Host_Clock = [](timeval *tv) {
            tv->tv_sec = 1710079509;
            tv->tv_usec = 7000;
        };
    }
    ~FixedIecClock() {
        if (had_tz_)
            setenv("TZ", old_tz_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
        Z7Host_Clock = saved_;
    }
    FixedIecClock(const FixedIecClock &) = delete;
    FixedIecClock &operator=(const FixedIecClock &) = delete;

private:
    void (*saved_)(timeval *) = Z7Host_Clock;
    std::string old_tz_;
    bool had_tz_ = false;
};

}  // namespace test_support
