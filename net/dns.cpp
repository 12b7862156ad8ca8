// Non-blocking DNS A-record resolver: one lookup at a time, asked of the
// first name server of "/etc/resolv.conf", answered within 10 s.
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/image/bytes.h"
#include "core/image/timebase.h"
#include "net/dhcp.h"
#include "platform/plat.h"
#include "platform/plat_net.h"

DnsFlowCtrl dnsFlowCtrl = {0, {}, 0, -1, {}, {}, 0, 0, 0};
uint16_t transId;

namespace {

uint32_t timer_start, timer_period;
uint16_t sent_id;
uint32_t server_addr;  // host order, of the query sent

void ReadServers() {
    DnsFlowCtrl &c = dnsFlowCtrl;
    c.server_count = 0;
    std::memset(c.servers, 0, sizeof c.servers);
}

int32_t Finish(int32_t result) {
    DnsFlowCtrl &c = dnsFlowCtrl;
    if (c.fd >= 0) close(c.fd);
    c.fd = -1;
    c.state = 0;
    return result;
}

// Skips a (possibly compressed) name at p; the position after it or 0.
std::size_t SkipName(const uint8_t *buf, std::size_t n, std::size_t p) {
    while (p < n) {
        const uint8_t l = buf[p];
        if (l == 0) return p + 1;
        if ((l & 0xC0) == 0xC0) return p + 2 <= n ? p + 2 : 0;
        if (l & 0xC0) return 0;
        p += 1u + l;
    }
    return 0;
}

}  // namespace

uint32_t dnsTimer(uint32_t period) {
    const uint32_t now = FPGA_GetFrt();
    if (period != 0) {
        timer_start = now;
        timer_period = period;
        return 0;
    }
    if (timer_period == 0) return 0;
    return now - timer_start >= timer_period ? 1 : 0;
}

uint32_t DnsBuildQuery(const char *host, uint16_t id, uint8_t *buf) {
    const std::size_t hl = std::strlen(host);
    if (hl == 0 || hl > 253) return 0;
    std::memset(buf, 0, 1024);
    BE_Put16(buf, id);
    BE_Put16(buf + 2, 0x0180);
    BE_Put16(buf + 4, 1);
    std::size_t p = 12;
    const char *s = host;
    while (*s) {
        const char *dot = std::strchr(s, '.');
        const std::size_t l = dot ? std::size_t(dot - s) : std::strlen(s);
        if (l == 0 || l > 63) return 0;
        buf[p++] = uint8_t(l);
        std::memcpy(buf + p, s, l);
        p += l;
        s += l;
        if (*s == '.') {
            s++;
            // A trailing dot ends the name.
            if (*s == 0) break;
        }
    }
    buf[p++] = 0;
    BE_Put16(buf + p, 1);
    BE_Put16(buf + p + 2, 1);
    return uint32_t(p + 4);
}

uint32_t DnsParseAnswer(const uint8_t *buf, std::size_t n, uint16_t id, uint32_t *address) {
    if (n < 12 || BE_Get16(buf) != id || !(buf[2] & 0x80)) return 0;
    const uint16_t qd = BE_Get16(buf + 4), an = BE_Get16(buf + 6);
    if (an == 0) return 0;
    std::size_t p = 12;
    for (uint16_t i = 0; i < qd; i++) {
        p = SkipName(buf, n, p);
        if (p == 0 || p + 4 > n) return 0;
        p += 4;
    }
    for (uint16_t i = 0; i < an; i++) {
        p = SkipName(buf, n, p);
        if (p == 0 || p + 10 > n) return 0;
        const uint16_t type = BE_Get16(buf + p), cls = BE_Get16(buf + p + 2), len = BE_Get16(buf + p + 8);
        p += 10;
        if (p + len > n) return 0;
        if (type == 1 && cls == 1 && len == 4) {
            *address = BE_Get32(buf + p);
            return 1;
        }
        p += len;
    }
    return 0;
}

int32_t dnsResolve(const char *host, char *out) {
    DnsFlowCtrl &c = dnsFlowCtrl;
    switch (c.state) {
    case 0: {
        ReadServers();
        char path[512];
        FILE *f = PLAT_Path("/etc/resolv.conf", path, sizeof path) ? std::fopen(path, "r") : nullptr;
        if (f == nullptr) return -2;
        char line[258];
        while (c.server_count < 2 && std::fgets(line, sizeof line, f) != nullptr) {
            if (line[0] == '#' || std::strncmp(line, "nameserver", 10) != 0) continue;
            // Fields are separated by single blanks only.
            const char *sp = std::strchr(line, ' ');
            if (sp == nullptr) continue;
            const char *v = sp + 1;
            std::size_t l = 0;
            while (v[l] && v[l] != ' ' && v[l] != '\n' && v[l] != '\r' && l < 255) l++;
            std::memcpy(c.servers[c.server_count], v, l);
            c.servers[c.server_count][l] = 0;
            c.server_count++;
        }
        std::fclose(f);
        const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0) return -3;
        c.fd = fd;
        c.state = 1;
        return 2;
    }
    case 1: {
        const uint16_t id = transId++;
        const uint32_t len = DnsBuildQuery(host, id, c.query.data());
        c.query_len = uint16_t(len);
        struct sockaddr_in a {};
        a.sin_family = AF_INET;
        a.sin_port = htons(53);
        a.sin_addr.s_addr = inet_addr(c.servers[0]);
        c.server_used = 0;
        if (len == 0 || c.server_count == 0 ||
            PLAT_NetSendTo(c.fd, c.query.data(), len, 0, reinterpret_cast<struct sockaddr *>(&a), sizeof a) < 0)
            return Finish(-5);
        sent_id = id;
        server_addr = ntohl(a.sin_addr.s_addr);
        dnsTimer(DNS_WAIT_TICKS);
        c.state = 2;
        return 1;
    }
    case 2: {
        struct sockaddr_in from {};
        socklen_t fl = sizeof from;
        const ssize_t n = recvfrom(c.fd, c.answer.data(), c.answer.size(), MSG_DONTWAIT,
                                   reinterpret_cast<struct sockaddr *>(&from), &fl);
        if (n > 0) {
            // Only the server asked, from its port 53, answers.
            // A stray datagram does not hold the lookup past its 10 s.
            if (ntohl(from.sin_addr.s_addr) != server_addr || ntohs(from.sin_port) != 53)
                return dnsTimer(0) ? Finish(-6) : 1;
            c.answer_len = uint32_t(n);
            c.state = 3;
            return 2;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return Finish(-7);
        if (!dnsTimer(0)) return 1;
        return Finish(-6);
    }
    case 3: {
        uint32_t addr = 0;
        if (!DnsParseAnswer(c.answer.data(), c.answer_len, sent_id, &addr)) return Finish(-1);
        std::sprintf(out, "%d.%d.%d.%d", int(addr >> 24), int((addr >> 16) & 0xFF), int((addr >> 8) & 0xFF),
                     int(addr & 0xFF));
        return Finish(0);
    }
    default: return Finish(-1);
    }
}
