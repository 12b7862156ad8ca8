// The option of the benchmark programs that runs one case plainly, outside
// Google Benchmark, for valgrind --tool=callgrind: FLAG=NAME[:N].
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace bench_plain {

// The first argument that starts with flag (its '=' included) gives the case's
// name and, after a colon, the count n (else n keeps the default it holds).
// false when no argument has the flag.
inline bool Option(int argc, char **argv, const char *flag, std::string &name, uint32_t &n) {
    const std::size_t len = std::strlen(flag);
    for (int i = 1; i < argc; i++) {
        if (std::strncmp(argv[i], flag, len) != 0) continue;
        name = argv[i] + len;
        const auto colon = name.find(':');
        if (colon != std::string::npos) {
            n = uint32_t(std::strtoul(name.c_str() + colon + 1, nullptr, 10));
            name.resize(colon);
        }
        return true;
    }
    return false;
}

}  // namespace bench_plain
