// Feeds arbitrary bytes to the in-program FTP server as the control stream of
// one client, in pieces of any size, on a card in a temporary root: command
// splitting, parsing, login, paths, renames, directory and transfer commands
// (uploads included). The control connection is one end of a socket pair
// whose other end the harness reads after every step, as a client that
// reads its answers: each answer must be one whole reply line.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "net/dpr.h"
#include "net/ftp.h"
#include "tests/support/proc_root.h"

namespace {
alignas(16) uint8_t pool_memory[32 * (NX_PACKET_HEADER + 1520)];
NX_PACKET_POOL pool;
NX_IP ip;
int control[2] = {-1, -1};  // the server's end, the client's end

// Reads what the server answered: whole lines "ddd ...\r\n", no CR or LF
// inside a line.
void ReadAnswers() {
    uint8_t buf[4096];
    std::size_t line = 0;  // bytes of the line in hand
    uint8_t prev = 0;
    for (;;) {
        const ssize_t n = recv(control[1], buf, sizeof buf, MSG_DONTWAIT);
        if (n <= 0) break;
        for (ssize_t i = 0; i < n; i++) {
            const uint8_t b = buf[i];
            if (line < 3 && (b < '0' || b > '9')) std::abort();
            if (line == 3 && b != ' ') std::abort();
            if ((b == '\n') != (prev == '\r')) std::abort();
            line = b == '\n' ? 0 : line + 1;
            prev = b;
        }
    }
    if (line != 0) std::abort();  // a reply is sent whole
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool once = [] {
        static char root[] = "/tmp/plc-fuzz-ftp-XXXXXX";
        test_support::ProgramRoot(root, "fuzz", false);
        mkdir((std::string(root) + "/mnt").c_str(), 0755);
        mkdir((std::string(root) + "/mnt/USB0").c_str(), 0755);
        _nx_packet_pool_create(&pool, "fuzz", 1520, pool_memory, sizeof pool_memory);
        ip.nx_ip_default_packet_pool = &pool;
        std::strcpy(Dpr_Configuration[0].ftp[0].user, "a");
        std::strcpy(Dpr_Configuration[0].ftp[0].password, "p");
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, control) != 0) std::abort();
        return true;
    }();
    (void)once;
    NX_FTP_SERVER &sv = FtpServer[0];
    std::memset(static_cast<void *>(&sv), 0, sizeof sv);
    for (auto &c : sv.nx_ftp_server_client_list) {
        c.control.fd = c.control.accepted_fd = c.data.fd = c.data.accepted_fd = c.file.fd = -1;
        c.control.ip = &ip;
    }
    sv.nx_ftp_server_id = NX_FTP_SERVER_ID;
    sv.nx_ftp_server_ip_ptr = &ip;
    sv.nx_ftp_server_packet_pool_ptr = &pool;
    sv.nx_ftp_server_media_ptr = &FtpMedia;
    sv.nx_ftp_login = FtpServerLogin;
    sv.nx_ftp_logout = FtpServerLogout;
    NX_TCP_SOCKET &cs = sv.nx_ftp_server_client_list[0].control;
    cs.state = NX_TCP_ESTABLISHED;
    cs.fd = control[0];
    cs.client = 1;
    cs.bound = 1;
    cs.writable = 1;
    // A peer the platform never connects to from this namespace (TEST-NET-1):
    // active data connections are refused, nothing is sent anywhere.
    sv.nx_ftp_server_client_list[0].control.peer_address = 0xC0000201;
    std::strcpy(FtpMedia.cwd, "");
    // The first byte sets the size of the pieces the rest arrives in (as
    // receives split and merge a control stream); each piece is kept with
    // the client and its whole commands answered one a step.
    if (size == 0) return 0;
    const size_t piece = 1 + data[0] % 97;
    static const uint8_t none = 0;
    for (size_t p = 1; p < size; p += piece) {
        const size_t n = size - p < piece ? size - p : piece;
        const uint32_t kept_before = sv.nx_ftp_server_client_list[0].command_len;
        if (kept_before + n > NX_FTP_COMMAND_ROOM) std::abort();
        int steps = 0;
        for (bool more = FtpServerInput(&sv, 0, data + p, uint32_t(n)); more; more = FtpServerInput(&sv, 0, &none, 0)) {
            if (++steps > int(NX_FTP_COMMAND_ROOM)) std::abort();  // every step answers one command
            ReadAnswers();
        }
        ReadAnswers();
        // What is kept is never a whole command, nor longer than a line.
        const NX_FTP_CLIENT_REQUEST &c = sv.nx_ftp_server_client_list[0];
        if (c.command_len >= NX_FTP_LINE_MAX || FtpCommandLength(c.command.data(), c.command_len) != 0) std::abort();
    }
    for (auto &c : sv.nx_ftp_server_client_list) {
        _fxe_file_upload_abort(&c.file, &c.upload);
        if (c.file.open) _fxe_file_close(&c.file);
        if (c.rename_source) _nx_packet_release(c.rename_source);
        c.rename_source = nullptr;
        _nx_tcp_socket_delete(&c.data);
    }
    nx_ftp_extended_struct[0].pending = 0;
    // Every packet is back in the pool.
    if (pool.nx_packet_pool_available_list != nullptr) {
        for (NX_PACKET *q = pool.nx_packet_pool_available_list; q; q = q->nx_packet_pool_next)
            if (q->nx_packet_state != NX_PACKET_FREE) std::abort();
    }
    return 0;
}
