// Feeds arbitrary bytes to the in-program FTP server as the control stream of
// one client, in pieces of any size, on a card in a temporary root: command
// splitting, parsing, login, paths, renames, directory and transfer commands
// (uploads included). The control socket
// has no connection, so every reply is built and then dropped.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>

#include "net/dpr.h"
#include "net/ftp.h"
#include "tests/support/proc_root.h"

namespace {
alignas(16) uint8_t pool_memory[32 * (NX_PACKET_HEADER + 1520)];
NX_PACKET_POOL pool;
NX_IP ip;
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
    sv.nx_ftp_server_client_list[0].control.state = NX_TCP_ESTABLISHED;
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
        for (bool more = FtpServerInput(&sv, 0, data + p, uint32_t(n)); more;
             more = FtpServerInput(&sv, 0, &none, 0)) {
            if (++steps > int(NX_FTP_COMMAND_ROOM)) std::abort();  // every step answers one command
        }
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
