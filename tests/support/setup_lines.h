// The shell lines of the start-up hardware check, in order, as the command
// log records them. One list for the in-process tests and the black-box tests
// (bbsupport.py reads the quoted lines of this file).
#pragma once

#include <array>

namespace test_support {

inline constexpr std::array<const char *, 9> kSetupLines = {
    "killall -9 inetd",
    "echo 10 >  /proc/sys/vm/dirty_writeback_centisecs",
    "echo 20 >  /proc/sys/vm/dirty_expire_centisecs",
    "echo 0 > /proc/sys/net/ipv4/conf/eth0/arp_filter",
    "echo 0 > /proc/sys/net/ipv4/conf/eth1/arp_filter",
    "echo 1 > /proc/sys/net/ipv4/conf/all/arp_ignore",
    "echo 1 > /proc/sys/net/ipv4/conf/all/proxy_arp",
    "echo 5 > /proc/sys/net/ipv4/tcp_retries2",
    "uname -a > /dev/shm/rev.txt",
};

}  // namespace test_support
