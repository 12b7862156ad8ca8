// Feeds arbitrary bytes to the in-program FTP server as command packets of
// one client (split at line ends), on a card in a temporary root: parsing,
// login, paths, renames, directory and transfer commands. The control socket
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
    size_t p = 0;
    while (p < size) {
        size_t e = p;
        while (e < size && data[e] != '\n' && e - p < 1500) e++;
        NX_PACKET *pk = nullptr;
        if (_nx_packet_allocate(&pool, &pk, 0, 0) != NX_SUCCESS) std::abort();
        _nx_packet_data_append(pk, data + p, uint32_t(e - p), &pool, 0);
        FtpServerCommand(&sv, 0, pk);
        p = e + 1;
    }
    for (auto &c : sv.nx_ftp_server_client_list) {
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
