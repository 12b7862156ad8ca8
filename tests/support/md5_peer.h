// MD5 of a text from an outside peer (python's hashlib), for digests whose
// input is known only at run time (server nonces, session ids, cnonces).
#pragma once

#include <cstdio>
#include <string>

namespace test_support {

inline std::string Md5Peer(const std::string &text) {
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char c : text) {
        hex += kHex[c >> 4];
        hex += kHex[c & 15];
    }
    const std::string cmd =
        "python3 -c \"import hashlib; print(hashlib.md5(bytes.fromhex('" + hex + "')).hexdigest(), end='')\"";
    std::string out;
    FILE *p = popen(cmd.c_str(), "r");
    if (p == nullptr) return out;
    char buf[64];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    pclose(p);
    return out;
}

}  // namespace test_support
