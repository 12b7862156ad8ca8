// In-program FTP server: control connections, login, commands, active and
// passive data connections, file transfers and listings. A file goes out one
// packet per pass; a command that needs a data connection first is parked
// and finished in a later pass.
#include "net/ftp.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "core/image/passwork.h"
#include "core/image/tx.h"
#include "net/dpr.h"
#include "net/net.h"
#include "net/nx_server.h"
#include "net/svc.h"
#include "platform/plat.h"

std::array<NX_FTP_SERVER, 2> FtpServer;
std::array<NX_IP *, 2> FtpIpPtr;
NX_PACKET_POOL *FtpPacketPoolPtr;
std::array<NxFtpExtended, 8> nx_ftp_extended_struct;
uint32_t ftp_events = 63;
FxMedia FtpMedia = {DRIVE_A, "", nullptr, 0, 0, 0, 0, 0};
const char *const FtpMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
uint32_t FtpStack[1024];

namespace {

constexpr std::size_t kArg = 256;

struct Cmd {
    const char *word;
    uint32_t code;
};
constexpr Cmd kCommands[] = {{"NOOP", FTP_NOOP}, {"USER", FTP_USER}, {"PASS", FTP_PASS}, {"QUIT", FTP_QUIT},
                             {"RETR", FTP_RETR}, {"STOR", FTP_STOR}, {"RNFR", FTP_RNFR}, {"RNTO", FTP_RNTO},
                             {"DELE", FTP_DELE}, {"RMD", FTP_RMD},   {"XRMD", FTP_RMD},  {"MKD", FTP_MKD},
                             {"XMKD", FTP_MKD},  {"NLST", FTP_NLST}, {"PORT", FTP_PORT}, {"CWD", FTP_CWD},
                             {"PWD", FTP_PWD},   {"TYPE", FTP_TYPE}, {"LIST", FTP_LIST}, {"CDUP", FTP_CDUP},
                             {"FEAT", FTP_FEAT}, {"SIZE", FTP_SIZE}, {"PASV", FTP_PASV}, {"APPE", FTP_APPE}};

uint32_t Iface(const NX_FTP_SERVER *sv) {
    return sv->nx_ftp_server_ip_ptr ? sv->nx_ftp_server_ip_ptr->nx_ip_interface & 7 : 0;
}

NX_FTP_SERVER *ServerOf(NX_TCP_SOCKET *s) {
    for (NX_FTP_SERVER &sv : FtpServer) {
        const char *p = reinterpret_cast<const char *>(s);
        if (p >= reinterpret_cast<const char *>(&sv) && p < reinterpret_cast<const char *>(&sv + 1)) return &sv;
    }
    return nullptr;
}

void SetEvent(NX_TCP_SOCKET *s, uint32_t bit) {
    if (NX_FTP_SERVER *sv = ServerOf(s)) sv->nx_ftp_server_events |= bit;
}
void ConnectionPresent(NX_TCP_SOCKET *s, uint32_t) { SetEvent(s, FTP_EV_CONNECT); }
void CommandPresent(NX_TCP_SOCKET *s) { SetEvent(s, FTP_EV_COMMAND); }
void DataPresent(NX_TCP_SOCKET *s) { SetEvent(s, FTP_EV_DATA); }
void ControlDisconnect(NX_TCP_SOCKET *s) { SetEvent(s, FTP_EV_CONTROL_DISCONNECT); }
void DataDisconnect(NX_TCP_SOCKET *s) { SetEvent(s, FTP_EV_DATA_DISCONNECT); }

// The client whose data socket s is; null for another socket.
NX_FTP_CLIENT_REQUEST *ClientOfData(NX_TCP_SOCKET *s) {
    if (NX_FTP_SERVER *sv = ServerOf(s)) {
        for (NX_FTP_CLIENT_REQUEST &c : sv->nx_ftp_server_client_list)
            if (&c.data == s) return &c;
    }
    return nullptr;
}
// A passive data connection is taken only from the host of its client's
// control connection (as PORT allows only that host): another host's is
// closed unread and the port listens on for the client.
void PassiveDataConnect(NX_TCP_SOCKET *s, uint32_t) {
    if (_nx_tcp_server_socket_accept(s, 0) != NX_IN_PROGRESS) {
        _nx_tcp_server_socket_unaccept(s);
        return;
    }
    const NX_FTP_CLIENT_REQUEST *c = ClientOfData(s);
    if (c == nullptr || s->peer_address != c->control.peer_address) _nx_tcp_server_socket_unaccept(s);
}

// The peer has closed the connection and nothing is left to read.
bool PeerClosed(const NX_TCP_SOCKET &s) {
    if (s.state == NX_TCP_CLOSE_WAIT) return true;
    const int fd = s.client ? s.fd : s.accepted_fd;
    if (fd < 0 || s.state != NX_TCP_ESTABLISHED) return false;
    struct pollfd p {
        fd, short(POLLIN | POLLRDHUP), 0
    };
    if (poll(&p, 1, 0) <= 0 || !(p.revents & (POLLRDHUP | POLLHUP))) return false;
    int avail = 0;
    return ioctl(fd, FIONREAD, &avail) == 0 && avail == 0;
}

// Room to send: the socket layer's flag (cleared by a send that filled the
// connection until the readiness set reports room) and the kernel's word.
bool SocketWritable(const NX_TCP_SOCKET &s) {
    const int fd = s.client ? s.fd : s.accepted_fd;
    if (fd < 0 || s.state != NX_TCP_ESTABLISHED || s.writable == 0) return false;
    struct pollfd p {
        fd, POLLOUT, 0
    };
    return poll(&p, 1, 0) > 0 && (p.revents & POLLOUT);
}

// A reply on the control socket in a packet of its own.
void Reply(NX_FTP_SERVER *sv, NX_FTP_CLIENT_REQUEST &c, const char *code, const char *message) {
    NX_PACKET *pk = nullptr;
    if (_nx_packet_allocate(sv->nx_ftp_server_packet_pool_ptr, &pk, 0, 0) != NX_SUCCESS) {
        sv->nx_ftp_server_allocation_errors++;
        return;
    }
    _nx_ftp_server_response(&c.control, pk, code, message);
}

void DirReply(NX_FTP_SERVER *sv, NX_FTP_CLIENT_REQUEST &c, const char *code, const char *message, const char *path) {
    NX_PACKET *pk = nullptr;
    if (_nx_packet_allocate(sv->nx_ftp_server_packet_pool_ptr, &pk, 0, 0) != NX_SUCCESS) {
        sv->nx_ftp_server_allocation_errors++;
        return;
    }
    _nx_ftp_server_directory_response(&c.control, pk, code, message, path);
}

void ReleaseRename(NX_FTP_CLIENT_REQUEST &c) {
    if (c.rename_source) _nx_packet_release(c.rename_source);
    c.rename_source = nullptr;
}

void CloseData(NX_FTP_SERVER *sv, NX_FTP_CLIENT_REQUEST &c) {
    _nx_tcp_server_socket_unaccept(&c.data);
    _nx_tcp_socket_disconnect(&c.data, 0);
    _nx_tcp_client_socket_unbind(&c.data);
    _nx_tcp_socket_delete(&c.data);
    c.data.fd = -1;
    // An upload that did not finish leaves its target as it was.
    _fxe_file_upload_abort(&c.file, &c.upload);
    if (c.file.open) _fxe_file_close(&c.file);
    _fxe_media_flush(sv->nx_ftp_server_media_ptr);
    if (c.list_media.dir != nullptr) closedir(c.list_media.dir);
    c.list_media.dir = nullptr;
    c.list_line_len = 0;
    c.transfer_state = 0;
    c.pasv_since = 0;
}

void Relisten(NX_FTP_SERVER *sv, NX_FTP_CLIENT_REQUEST &c) {
    _nx_tcp_server_socket_relisten(sv->nx_ftp_server_ip_ptr, NX_FTP_SERVER_PORT, &c.control);
}

// What a control disconnect, QUIT or a time-out leaves behind.
void CleanClient(NX_FTP_SERVER *sv, NX_FTP_CLIENT_REQUEST &c) {
    c.logged_in = 0;
    c.idle_budget = 0;
    CloseData(sv, c);
    _nx_tcp_server_socket_unaccept(&c.control);
    std::strcpy(c.local_path.path, "");
    ReleaseRename(c);
    c.passive = 0;
    c.pasv_since = 0;
    c.command_len = 0;
    NxFtpExtended &x = nx_ftp_extended_struct[Iface(sv)];
    if (x.pending && &sv->nx_ftp_server_client_list[x.index] == &c) x.pending = 0;
    Relisten(sv, c);
}

void EndOfUpload() {
    char p[512];
    if (!PLAT_Path("/mnt/USB0/EndOfFTP.txt", p, sizeof p) || access(p, F_OK) != 0) return;
    const NetSvcHooks &h = NetSvc_Hooks;
    if (h.web_state && h.web_state() == TavixState::Stopped && h.web_ftping_set) h.web_ftping_set(0);
    PLAT_System("rm /mnt/USB0/EndOfFTP.txt");
    PLAT_System("sync");
}

// A name holding "tavIX" stops the web HMI server before the file is touched
// (the wait is bounded: a server that does not stop does not hold FTP).
void StopWebFor(const char *name) {
    const NetSvcHooks &h = NetSvc_Hooks;
    if (std::strstr(name, "tavIX") == nullptr || h.web_ftping == nullptr || h.web_ftping() != 0) return;
    if (h.web_state_set) h.web_state_set(TavixState::StopRequested);
    if (h.web_ftping_set) h.web_ftping_set(1);
    const uint32_t start = _tx_time_get();
    while (TavixHttp && h.web_state && h.web_state() != TavixState::Stopped &&
           _tx_time_get() - start < SVC_HANDOVER_WAIT_MS) {
        if (h.watchdog_kick) h.watchdog_kick();
        usleep(1000);
    }
}

// Copies src into dst of room bytes, cut to fit (user and password: 40 characters).
void CopyCut(char *dst, std::size_t room, const char *src) {
    const std::size_t n = strnlen(src, room - 1);
    std::memcpy(dst, src, n);
    dst[n] = 0;
}

void DropTrailingSlash(char *a) {
    const std::size_t n = std::strlen(a);
    if (n >= 2 && (a[n - 1] == '/' || a[n - 1] == '\\')) a[n - 1] = 0;
}

// The argument of the command in pk: up to CR, LF or NUL.
void Argument(NX_PACKET *pk, char *arg) {
    const uint8_t *p = pk->nx_packet_prepend_ptr, *end = pk->nx_packet_append_ptr;
    std::size_t n = 0;
    while (p < end && *p != '\r' && *p != '\n' && *p != 0 && n < kArg - 1) arg[n++] = char(*p++);
    arg[n] = 0;
}

// FTP serves the card alone: a name led by another drive's letter is
// refused (the client's own folder, set by CWD, is never off the card, so a
// name joined to it stays there; climbs out of the card the file layer
// refuses itself).
bool OnCard(const char *name) {
    return name[0] == 0 || name[1] != ':' || std::tolower(static_cast<unsigned char>(name[0])) == 'a';
}

// The 550 text of each command that names a file or folder.
const char *OffCardRefusal(uint32_t code) {
    switch (code) {
    case FTP_RETR: return "File Open Fail";
    case FTP_STOR:
    case FTP_APPE: return "File Open Failed";
    case FTP_DELE: return "Delete Failed";
    case FTP_RNFR: return "Rename File not found";
    case FTP_RNTO: return "Rename failed";
    case FTP_MKD: return "Directory Create failed";
    case FTP_RMD: return "Delete Directory Fail";
    case FTP_CWD: return "Change Dir Fail";
    case FTP_NLST: return "List bad Directory";
    default: return nullptr;
    }
}

void Restore(NX_FTP_SERVER *sv, NX_FTP_CLIENT_REQUEST &c) {
    _fxe_directory_local_path_restore(sv->nx_ftp_server_media_ptr, &c.local_path);
}

// A path as shown to clients: "/" first, no trailing slash.
void ShownPath(const char *p, char *out) {
    std::size_t k = 0;
    if (p[0] != '/' && p[0] != '\\') out[k++] = '/';
    for (; *p && k < FX_PATH_MAX - 1; p++) out[k++] = *p;
    out[k] = 0;
    const std::size_t n = std::strlen(out);
    if (n > 1 && (out[n - 1] == '/' || out[n - 1] == '\\')) out[n - 1] = 0;
}
void ShownPath(const NX_FTP_CLIENT_REQUEST &c, char *out) { ShownPath(c.local_path.path, out); }

// ---- data connections ------------------------------------------------------------------------

uint32_t OpenActive(NX_FTP_SERVER *sv, NX_FTP_CLIENT_REQUEST &c, bool receive) {
    NX_TCP_SOCKET &d = c.data;
    // A passive connection taken before PORT (and its listener) is given
    // back, not forgotten: its descriptor would stay open for good.
    _nx_tcp_server_socket_unaccept(&d);
    _nx_tcp_socket_delete(&d);
    if (_nx_tcp_socket_create(sv->nx_ftp_server_ip_ptr, &d, "FTP Server Data Socket", 0, 0x4000, 128, 2048, nullptr,
                              receive ? DataDisconnect : nullptr) != NX_SUCCESS)
        return NX_NOT_SUCCESSFUL;
    if (receive) _nx_tcp_socket_receive_notify(&d, DataPresent);
    if (_nx_tcp_client_socket_bind(&d, 20, 0) != NX_SUCCESS) {
        _nx_tcp_socket_delete(&d);
        d.fd = -1;
        if (_nx_tcp_socket_create(sv->nx_ftp_server_ip_ptr, &d, "FTP Server Data Socket", 0, 0x4000, 128, 2048, nullptr,
                                  receive ? DataDisconnect : nullptr) != NX_SUCCESS ||
            _nx_tcp_client_socket_bind(&d, 0, 0) != NX_SUCCESS)
            return NX_NOT_SUCCESSFUL;
        if (receive) _nx_tcp_socket_receive_notify(&d, DataPresent);
    }
    const uint32_t st = _nx_tcp_client_socket_connect(&d, c.control.peer_address, c.data_port, 0);
    if (st != NX_SUCCESS && st != NX_IN_PROGRESS) {
        _nx_tcp_client_socket_unbind(&d);
        _nx_tcp_socket_delete(&d);
        return NX_NOT_SUCCESSFUL;
    }
    return NX_SUCCESS;
}

// The data connection of a transfer: the passive one, or a new active one.
uint32_t OpenData(NX_FTP_SERVER *sv, NX_FTP_CLIENT_REQUEST &c, bool receive) {
    if (c.passive) return c.data.fd >= 0 ? NX_SUCCESS : NX_NOT_SUCCESSFUL;
    return OpenActive(sv, c, receive);
}

bool DataUsable(NX_FTP_CLIENT_REQUEST &c) {
    if (c.data.state == NX_TCP_CONNECTING) {
        // The connection poll moves it on; a connect that succeeded is writable.
        if (SocketWritable(c.data) || (c.data.fd >= 0 && [&] {
                struct pollfd p {
                    c.data.fd, POLLOUT, 0
                };
                return poll(&p, 1, 0) > 0 && (p.revents & POLLOUT) && !(p.revents & (POLLERR | POLLHUP));
            }()))
            c.data.state = NX_TCP_ESTABLISHED;
    }
    return c.data.state == NX_TCP_ESTABLISHED && SocketWritable(c.data);
}

// The active data connection was refused (or is gone): it never becomes usable.
bool DataFailed(const NX_FTP_CLIENT_REQUEST &c) {
    if (c.data.state == NX_TCP_CREATED || c.data.fd < 0) return !c.passive;
    if (c.data.state != NX_TCP_CONNECTING) return false;
    struct pollfd p {
        c.data.fd, POLLOUT, 0
    };
    return poll(&p, 1, 0) > 0 && (p.revents & (POLLERR | POLLHUP));
}

// A parked command may go on: its data connection stands (an upload's
// client may have sent all and closed it already), or it never will.
bool ParkOver(NX_FTP_CLIENT_REQUEST &c, uint32_t pending) {
    return DataUsable(c) || (pending == FTP_PENDING_STOR && c.data.state == NX_TCP_CLOSE_WAIT) || DataFailed(c);
}

void SendFilePacket(NX_FTP_SERVER *sv, NX_FTP_CLIENT_REQUEST &c) {
    if (!DataUsable(c)) return;
    NX_PACKET *pk = nullptr;
    uint32_t st = _nx_packet_allocate(sv->nx_ftp_server_packet_pool_ptr, &pk, 0, 0);
    if (st != NX_SUCCESS) return;  // tried again next pass
    uint32_t room = uint32_t(pk->nx_packet_data_end - pk->nx_packet_append_ptr) - 4;
    if (c.data.mss != 0 && c.data.mss < room) room = c.data.mss;
    uint32_t got = 0;
    st = _fxe_file_read(&c.file, pk->nx_packet_append_ptr, room, &got);
    if (st == FX_SUCCESS && got == 0) st = 9;  // end of the file
    if (st == FX_SUCCESS) {
        pk->nx_packet_append_ptr += got;
        pk->nx_packet_length = got;
        if (_nx_tcp_socket_send(&c.data, pk, 6000) == NX_SUCCESS) {
            // A download is activity: one longer than the idle time-out goes on.
            c.idle_budget = NX_FTP_IDLE_BUDGET;
            c.byte_count = c.byte_count > got ? c.byte_count - got : 0;
            sv->nx_ftp_server_total_bytes_sent += got;
            return;
        }
        st = NX_NOT_SUCCESSFUL;
    } else {
        _nx_packet_release(pk);
    }
    const bool done = st == 9 && c.byte_count == 0;
    const bool passive = c.passive != 0;
    CloseData(sv, c);
    if (done)
        Reply(sv, c, passive ? "226" : "250", "File Sent");
    else
        Reply(sv, c, "550", "Read Fail");
}

// Receives what the data connection of a receiving client holds.
void ReceiveFile(NX_FTP_SERVER *sv, NX_FTP_CLIENT_REQUEST &c) {
    bool wrote = false;
    for (int i = 0; i < 16; i++) {
        NX_PACKET *pk = nullptr;
        if (_nx_tcp_socket_receive(&c.data, &pk, 0) != NX_SUCCESS) break;
        c.idle_budget = NX_FTP_IDLE_BUDGET;
        if (c.transfer_state == 2) {
            c.byte_count += pk->nx_packet_length;
            // After a failed write (a full card) the rest is only read away.
            if (!c.write_failed &&
                _fxe_file_write(&c.file, pk->nx_packet_prepend_ptr, pk->nx_packet_length) == FX_SUCCESS) {
                wrote = true;
                sv->nx_ftp_server_total_bytes_received += pk->nx_packet_length;
            } else {
                c.write_failed = 1;
            }
        }
        _nx_packet_release(pk);
    }
    // What this pass received goes to the card before the pass ends.
    if (wrote) fsync(c.file.fd);
}

void FinishReceive(NX_FTP_SERVER *sv, NX_FTP_CLIENT_REQUEST &c) {
    ReceiveFile(sv, c);
    c.idle_budget = NX_FTP_IDLE_BUDGET;
    uint64_t size = 0;
    // The size the file has now, against what it had plus what came in; only
    // a whole upload takes the old file's place.
    if (c.file.open) size = uint64_t(lseek(c.file.fd, 0, SEEK_END));
    const uint64_t want = uint64_t(c.byte_count) + (c.append ? c.start_size : 0);
    const bool closed = !c.write_failed && size == want && _fxe_file_upload_commit(&c.file, &c.upload) == FX_SUCCESS;
    _fxe_file_upload_abort(&c.file, &c.upload);
    const uint32_t state = c.transfer_state;
    _nx_tcp_server_socket_unaccept(&c.data);
    _nx_tcp_socket_disconnect(&c.data, 0);
    _nx_tcp_socket_delete(&c.data);
    _fxe_media_flush(sv->nx_ftp_server_media_ptr);
    c.transfer_state = 0;
    if (state != 2) return;
    if (closed)
        Reply(sv, c, "250", "File Written");
    else
        Reply(sv, c, "550", "File Write Failed");
}

// ---- listings ----------------------------------------------------------------------------------------

// The line of an entry of the walk in hand; false at its end (status in *st).
bool ListingEntry(NX_FTP_CLIENT_REQUEST &c, uint32_t *st, bool first) {
    uint32_t attr = 0, year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    uint64_t size = 0;
    char name[FX_NAME_MAX];
    FxMedia *m = &c.list_media;
    *st =
        first
            ? _fxe_directory_first_full_entry_find(m, name, &attr, &size, &year, &month, &day, &hour, &minute, &second)
            : _fxe_directory_next_full_entry_find(m, name, &attr, &size, &year, &month, &day, &hour, &minute, &second);
    c.list_line_len = 0;
    if (*st != FX_SUCCESS) return false;
    int n;
    if (c.list_full) {
        n = std::snprintf(c.list_line, sizeof c.list_line, "%c%s  1 owner group %6.6ld %s %d %2.2d:%2.2d %s\r\n",
                          (attr & FX_DIRECTORY) ? 'd' : '-', (attr & FX_READ_ONLY) ? "-w--w--w-" : "rw-rw-rw-",
                          long(size), FtpMonths[(month >= 1 && month <= 12) ? month - 1 : 0], int(day), int(hour),
                          int(minute), name);
    } else {
        n = std::snprintf(c.list_line, sizeof c.list_line, "%s\r\n", name);
    }
    c.list_line_len = n < 0 ? 0 : std::min<uint32_t>(uint32_t(n), sizeof c.list_line - 1);
    return true;
}

void EndListing(NX_FTP_SERVER *sv, NX_FTP_CLIENT_REQUEST &c, bool ok) {
    const bool passive = c.passive != 0;
    CloseData(sv, c);
    if (ok)
        Reply(sv, c, passive ? "226" : "250", "List End");
    else
        Reply(sv, c, "550", "List fail");
}

// Starts the listing of the client's folder (NLST: the folder it named) on
// its own directory walk; the lines go out in the following passes.
void SendListing(NX_FTP_SERVER *sv, NX_FTP_CLIENT_REQUEST &c, bool full) {
    Reply(sv, c, c.passive ? "150" : "125", "Sending List");
    FxMedia *m = sv->nx_ftp_server_media_ptr;
    if (c.list_media.dir != nullptr) closedir(c.list_media.dir);
    c.list_media = *m;
    c.list_media.dir = nullptr;
    _fxe_directory_local_path_restore(&c.list_media, !full && c.list_named ? &c.list_path : &c.local_path);
    c.list_named = 0;
    c.list_full = full;
    uint32_t st = 0;
    if (!ListingEntry(c, &st, true) && st != FX_NO_MORE_ENTRIES) return EndListing(sv, c, false);
    c.transfer_state = 3;
}

// Sends what the data connection takes of the listing in hand: whole
// packets, a few a pass, while it has room. A listing bigger than the
// socket buffers thus goes out whole across passes.
void ListingPass(NX_FTP_SERVER *sv, NX_FTP_CLIENT_REQUEST &c) {
    for (int sent = 0; sent < 8; sent++) {
        if (c.list_line_len == 0) return EndListing(sv, c, true);  // the walk ended, all sent
        if (!DataUsable(c)) {
            if (c.data.state != NX_TCP_ESTABLISHED) EndListing(sv, c, false);
            return;
        }
        NX_PACKET *pk = nullptr;
        if (_nx_packet_allocate(sv->nx_ftp_server_packet_pool_ptr, &pk, 0, 0) != NX_SUCCESS) {
            sv->nx_ftp_server_allocation_errors++;
            return EndListing(sv, c, false);
        }
        uint32_t room = uint32_t(pk->nx_packet_data_end - pk->nx_packet_append_ptr) - 4;
        if (c.data.mss != 0 && c.data.mss < room) room = c.data.mss;
        uint32_t st = FX_SUCCESS;
        while (c.list_line_len != 0) {
            const uint32_t n = std::min(c.list_line_len, room);
            if (pk->nx_packet_length != 0 && pk->nx_packet_length + n > room) break;
            _nx_packet_data_append(pk, c.list_line, n, sv->nx_ftp_server_packet_pool_ptr, 0);
            if (!ListingEntry(c, &st, false) && st != FX_NO_MORE_ENTRIES) {
                _nx_packet_release(pk);
                return EndListing(sv, c, false);
            }
        }
        const uint32_t len = pk->nx_packet_length;
        if (len != 0) {
            if (_nx_tcp_socket_send(&c.data, pk, 6000) != NX_SUCCESS) return EndListing(sv, c, false);
            sv->nx_ftp_server_total_bytes_sent += len;
        } else {
            _nx_packet_release(pk);
        }
    }
}

// The continuation of a parked command. One whose data connection never
// came (refused, or not made within 6 s) is answered 550, not left waiting
// for the idle time-out.
void Continue(NX_FTP_SERVER *sv, uint32_t pending, NX_FTP_CLIENT_REQUEST &c) {
    if (!DataUsable(c) && !(pending == FTP_PENDING_STOR && c.data.state == NX_TCP_CLOSE_WAIT)) {
        CloseData(sv, c);
        const char *text = pending == FTP_PENDING_RETR   ? "File Open Fail"
                           : pending == FTP_PENDING_STOR ? "File Open Failed"
                           : pending == FTP_PENDING_LIST ? "Bad Directory"
                                                         : "List bad Directory";
        return Reply(sv, c, "550", text);
    }
    if (pending == FTP_PENDING_RETR) {
        c.transfer_state = 1;
        Reply(sv, c, "125", "File Opened");
    } else if (pending == FTP_PENDING_STOR) {
        c.transfer_state = 2;
        c.byte_count = 0;
        Reply(sv, c, c.passive ? "150" : "125", "File Open for Write");
        ReceiveFile(sv, c);
    } else {
        SendListing(sv, c, pending == FTP_PENDING_LIST);
    }
}

void Park(NX_FTP_SERVER *sv, uint32_t index, uint32_t pending) {
    NxFtpExtended &x = nx_ftp_extended_struct[Iface(sv)];
    x.pending = pending;
    x.index = index;
    x.mode = 0;
    x.start = _tx_time_get();
}

// ---- commands ----------------------------------------------------------------------------------------

void Transfer(NX_FTP_SERVER *sv, uint32_t index, NX_FTP_CLIENT_REQUEST &c, uint32_t code, const char *arg) {
    FxMedia *m = sv->nx_ftp_server_media_ptr;
    if (code == FTP_RETR) {
        if (c.type != 'I') return Reply(sv, c, "504", "Only Image transfer allowed");
        Restore(sv, c);
        if (_fxe_file_open(m, &c.file, arg, FX_OPEN_FOR_READ) != FX_SUCCESS || OpenData(sv, c, false) != NX_SUCCESS) {
            CloseData(sv, c);
            return Reply(sv, c, "550", "File Open Fail");
        }
        c.byte_count = uint32_t(c.file.size);
        // An active connection still being made: 125 once it stands.
        if (!c.passive && c.data.state == NX_TCP_CONNECTING) return Park(sv, index, FTP_PENDING_RETR);
        c.transfer_state = 1;
        Reply(sv, c, c.passive ? "150" : "125", "File Opened");
        return;
    }
    if (code == FTP_STOR || code == FTP_APPE) {
        if (c.type != 'I') return Reply(sv, c, "504", "Only Image transfer allowed");
        Restore(sv, c);
        StopWebFor(arg);
        // The data goes to a file of its own that replaces the old one only
        // when whole (APPE: a copy of the old one, the data after it).
        if (_fxe_file_upload_open(m, &c.file, &c.upload, arg, code == FTP_APPE) != FX_SUCCESS)
            return Reply(sv, c, "550", "File Open Failed");
        c.append = code == FTP_APPE;
        c.write_failed = 0;
        c.start_size = uint32_t(lseek(c.file.fd, 0, SEEK_END));
        if (OpenData(sv, c, true) != NX_SUCCESS) {
            CloseData(sv, c);
            return Reply(sv, c, "550", "File Open Failed");
        }
        return Park(sv, index, FTP_PENDING_STOR);
    }
    // NLST and LIST.
    if (c.type != 'I' && c.type != 'A') return Reply(sv, c, "504", "Only ASCII Listing allowed");
    Restore(sv, c);
    c.list_named = 0;
    if (code == FTP_NLST && arg[0] != 0 && std::strncmp(arg, "*.*", 3) != 0) {
        char dir[kArg];
        std::strcpy(dir, arg);
        DropTrailingSlash(dir);
        if (Fx_PathLeaves(dir) || _fxe_directory_name_test(m, dir) != FX_SUCCESS ||
            _fxe_directory_local_path_set(m, &c.list_path, dir) != FX_SUCCESS)
            return Reply(sv, c, "550", "List bad Directory");
        c.list_named = 1;  // the listing walks this folder, not the client's own
    }
    if (OpenData(sv, c, false) != NX_SUCCESS) {
        CloseData(sv, c);
        return Reply(sv, c, "550", code == FTP_LIST ? "Bad Directory" : "List bad Directory");
    }
    Park(sv, index, code == FTP_LIST ? FTP_PENDING_LIST : FTP_PENDING_NLST);
}

void Pasv(NX_FTP_SERVER *sv, uint32_t index, NX_FTP_CLIENT_REQUEST &c) {
    if (c.data.state > NX_TCP_LISTEN || c.data.fd >= 0) CloseData(sv, c);
    NX_TCP_SOCKET &d = c.data;
    _nx_tcp_server_socket_unaccept(&d);
    _nx_tcp_socket_delete(&d);
    c.passive_port = NX_FTP_PASSIVE_BASE + index;
    bool ok = _nx_tcp_socket_create(sv->nx_ftp_server_ip_ptr, &d, "FTP Server Data Socket", 0, 0x4000, 128, 2048,
                                    nullptr, DataDisconnect) == NX_SUCCESS;
    if (ok) {
        _nx_tcp_socket_receive_notify(&d, DataPresent);
        ok = _nx_tcp_server_socket_listen(sv->nx_ftp_server_ip_ptr, c.passive_port, &d, 10, PassiveDataConnect) ==
             NX_SUCCESS;
    }
    if (!ok) {
        _nx_tcp_socket_delete(&d);
        // The client is told, and its commands go on as before.
        return Reply(sv, c, "425", "Can't open data connection");
    }
    const uint32_t a = sv->nx_ftp_server_ip_ptr->nx_ip_address;
    char text[96];
    std::snprintf(text, sizeof text, "227 Entering Passive Mode(%lu,%lu,%lu,%lu,%d,%d) \r\n",
                  static_cast<unsigned long>(a >> 24), static_cast<unsigned long>((a >> 16) & 0xFF),
                  static_cast<unsigned long>((a >> 8) & 0xFF), static_cast<unsigned long>(a & 0xFF),
                  int(c.passive_port / 256), int(c.passive_port % 256));
    NX_PACKET *pk = nullptr;
    if (_nx_packet_allocate(sv->nx_ftp_server_packet_pool_ptr, &pk, 0, 0) != NX_SUCCESS) {
        sv->nx_ftp_server_allocation_errors++;
        return;
    }
    _nx_packet_data_append(pk, text, uint32_t(std::strlen(text)), sv->nx_ftp_server_packet_pool_ptr, 0);
    _nx_tcp_socket_send(&c.control, pk, 6000);
    c.passive = 1;
    // Only this client's commands wait for its data connection, 6 s at most.
    c.pasv_since = _tx_time_get() | 1;
}

void Command(NX_FTP_SERVER *sv, uint32_t index, NX_FTP_CLIENT_REQUEST &c, NX_PACKET *pk) {
    const uint32_t code = _nx_ftp_server_parse_command(pk);
    char arg[kArg];
    Argument(pk, arg);
    _nx_packet_release(pk);
    FxMedia *m = sv->nx_ftp_server_media_ptr;
    // Before a login only USER, PASS and QUIT are taken.
    if (!c.logged_in && code != FTP_USER && code != FTP_PASS && code != FTP_QUIT) {
        sv->nx_ftp_server_authentication_errors++;
        return Reply(sv, c, "530", "Not logged in");
    }
    if (c.rights == 1 && (code == FTP_STOR || code == FTP_APPE || code == FTP_RNFR || code == FTP_RNTO ||
                          code == FTP_DELE || code == FTP_RMD || code == FTP_MKD)) {
        sv->nx_ftp_server_authentication_errors++;
        if (c.passive) CloseData(sv, c);
        return Reply(sv, c, "532", "Need account for storing files");
    }
    // CWD drops its leading "/.." pieces first: the name it uses is checked there.
    if (const char *refusal = OffCardRefusal(code); refusal != nullptr && code != FTP_CWD && !OnCard(arg))
        return Reply(sv, c, "550", refusal);
    if (code > FTP_APPE) {
        sv->nx_ftp_server_unknown_commands++;
        return Reply(sv, c, "502", "Not Implemented");
    }
    switch (code) {
    case FTP_NOOP: return Reply(sv, c, "200", "NOOP Success");
    case FTP_USER: CopyCut(c.user, sizeof c.user, arg); return Reply(sv, c, "331", "Enter password");
    case FTP_PASS: {
        CopyCut(c.password, sizeof c.password, arg);
        // Whatever login came before ends here; only an accepted password
        // starts a new one (rights 0 would mean no restriction).
        c.logged_in = 0;
        c.rights = 1;
        ReleaseRename(c);
        uint8_t rights = 0;
        if (sv->nx_ftp_login && sv->nx_ftp_login(sv, c.control.peer_address, c.control.peer_port, c.user, c.password,
                                                 &rights) == NX_SUCCESS) {
            c.rights = rights;
            c.type = 'A';
            c.logged_in = 1;
            return Reply(sv, c, "230", "Logged in");
        }
        sv->nx_ftp_server_login_errors++;
        return Reply(sv, c, "530", "Login Fail");
    }
    case FTP_QUIT:
        sv->nx_ftp_server_disconnection_requests++;
        if (sv->nx_ftp_logout)
            sv->nx_ftp_logout(sv, c.control.peer_address, c.control.peer_port, c.user, c.password, nullptr);
        Reply(sv, c, "221", "Logging Off");
        CleanClient(sv, c);
        return;
    case FTP_TYPE:
        if (arg[0] == 'I') {
            c.type = 'I';
            return Reply(sv, c, "200", "Type Binary");
        }
        if (arg[0] == 'A') {
            c.type = 'A';
            return Reply(sv, c, "200", "Type ASCII");
        }
        return Reply(sv, c, "504", "Type Non ASCII or Binary");
    case FTP_PWD: {
        char p[FX_PATH_MAX];
        ShownPath(c, p);
        return DirReply(sv, c, "257", "is current Directory", p);
    }
    case FTP_CWD:
    case FTP_CDUP: {
        const char *a = code == FTP_CDUP ? ".." : arg;
        while (std::strncmp(a, "/..", 3) == 0) a += 3;
        char dir[kArg];
        std::snprintf(dir, sizeof dir, "%s", a[0] ? a : "/");
        DropTrailingSlash(dir);
        if (!OnCard(dir)) return Reply(sv, c, "550", OffCardRefusal(FTP_CWD));
        Restore(sv, c);
        if (std::strcmp(dir, "..") == 0) {
            // One level up from the current path; the root stays the root.
            char up[FX_PATH_MAX];
            ShownPath(c, up);
            char *last = std::strrchr(up, '/');
            if (last != nullptr) last[last == up ? 1 : 0] = 0;
            const std::size_t n = strnlen(up, sizeof dir - 1);
            std::memcpy(dir, up, n);
            dir[n] = 0;
        }
        uint32_t attr = 0;
        const uint32_t st = _fxe_directory_attributes_read(m, dir, &attr);
        bool ok = st == FX_SUCCESS && (attr & FX_DIRECTORY);
        if (ok) ok = _fxe_directory_local_path_set(m, &c.local_path, dir) == FX_SUCCESS;
        if (!ok) return Reply(sv, c, "550", "Change Dir Fail");
        char p[FX_PATH_MAX];
        ShownPath(c, p);
        return DirReply(sv, c, "250", "set successfully", p);
    }
    case FTP_MKD: {
        DropTrailingSlash(arg);
        Restore(sv, c);
        if (_fxe_directory_create(m, arg) != FX_SUCCESS) return Reply(sv, c, "550", "Directory Create failed");
        _fxe_media_flush(m);
        // The reply names the new folder by a path set to it, which must name
        // a folder; the client's own path stays as it was.
        FxLocalPath made{};
        const bool set = _fxe_directory_local_path_set(m, &made, arg) == FX_SUCCESS &&
                         _fxe_directory_name_test(m, made.path) == FX_SUCCESS;
        Restore(sv, c);
        if (!set) return Reply(sv, c, "550", "Set New Directory Fail");
        char p[FX_PATH_MAX];
        ShownPath(made.path, p);
        return DirReply(sv, c, "200", "Directory Created", p);
    }
    case FTP_RMD:
        DropTrailingSlash(arg);
        Restore(sv, c);
        if (_fxe_directory_delete(m, arg) != FX_SUCCESS) return Reply(sv, c, "550", "Delete Directory Fail");
        _fxe_media_flush(m);
        return Reply(sv, c, "250", "Directory Deleted");
    case FTP_DELE:
        Restore(sv, c);
        StopWebFor(arg);
        if (_fxe_file_delete(m, arg) != FX_SUCCESS) return Reply(sv, c, "550", "Delete Failed");
        _fxe_media_flush(m);
        return Reply(sv, c, "250", "File Deleted");
    case FTP_RNFR: {
        DropTrailingSlash(arg);
        Restore(sv, c);
        uint32_t attr = 0;
        uint32_t st = _fxe_file_attributes_read(m, arg, &attr);
        if (st == FX_NOT_A_FILE) st = _fxe_directory_attributes_read(m, arg, &attr);
        if (st != FX_SUCCESS) return Reply(sv, c, "550", "Rename File not found");
        // A second RNFR replaces the first: its packet goes back to the pool.
        ReleaseRename(c);
        NX_PACKET *keep = nullptr;
        if (_nx_packet_allocate(sv->nx_ftp_server_packet_pool_ptr, &keep, 0, 0) != NX_SUCCESS) {
            sv->nx_ftp_server_allocation_errors++;
            return Reply(sv, c, "550", "Rename File not found");
        }
        _nx_packet_data_append(keep, arg, uint32_t(std::strlen(arg) + 1), sv->nx_ftp_server_packet_pool_ptr, 0);
        c.rename_source = keep;
        return Reply(sv, c, "350", "Rename File From");
    }
    case FTP_RNTO: {
        DropTrailingSlash(arg);
        if (c.rename_source == nullptr) return Reply(sv, c, "550", "Rename failed");
        Restore(sv, c);
        const char *from = reinterpret_cast<const char *>(c.rename_source->nx_packet_prepend_ptr);
        uint32_t st = _fxe_file_rename(m, from, arg);
        if (st == FX_NOT_A_FILE) st = _fxe_directory_rename(m, from, arg);
        ReleaseRename(c);
        _fxe_media_flush(m);
        return Reply(sv, c, st == FX_SUCCESS ? "250" : "550", st == FX_SUCCESS ? "File Renamed" : "Rename failed");
    }
    case FTP_FEAT: return Reply(sv, c, "500", "Not Implemented");
    // 550 would say "no such file": clients would not go on to RETR.
    case FTP_SIZE: return Reply(sv, c, "502", "Not Implemented");
    case FTP_PORT: {
        c.passive = 0;
        uint32_t addr = 0, port = 0;
        const bool ok = FtpParsePort(arg, &addr, &port) && addr != 0 && addr == c.control.peer_address && port != 0;
        c.data_port = port;
        return Reply(sv, c, ok ? "200" : "501", ok ? "Port set" : "Port Fail");
    }
    case FTP_PASV: return Pasv(sv, index, c);
    case FTP_RETR:
    case FTP_STOR:
    case FTP_APPE:
    case FTP_NLST:
    case FTP_LIST: return Transfer(sv, index, c, code, arg);
    default: sv->nx_ftp_server_unknown_commands++; return Reply(sv, c, "502", "Not Implemented");
    }
}

// Answers the first whole command kept for client index; false when none is
// whole (or no packet is free for it: it waits for the next step). True also
// when a whole command waits because its answer could not go out now.
bool NextCommand(NX_FTP_SERVER *sv, uint32_t index, NX_FTP_CLIENT_REQUEST &c) {
    const uint32_t n = FtpCommandLength(c.command.data(), c.command_len);
    if (n == 0) return false;
    // A client that sends commands faster than it reads their answers fills
    // its connection: the next command waits for room (the readiness set
    // reports it) rather than its answer being dropped by a refused send.
    if (!SocketWritable(c.control)) return true;
    NX_PACKET_POOL *pool = sv->nx_ftp_server_packet_pool_ptr;
    NX_PACKET *pk = nullptr;
    if (_nx_packet_allocate(pool, &pk, 0, 0) != NX_SUCCESS) {
        sv->nx_ftp_server_allocation_errors++;
        return false;
    }
    // The line without its line feed: a client that ends lines with LF alone
    // is understood as well.
    const uint32_t line = c.command[n - 1] == '\n' ? n - 1 : n;
    _nx_packet_data_append(pk, c.command.data(), line, pool, 0);
    c.command_len -= n;
    std::memmove(c.command.data(), c.command.data() + n, c.command_len);
    // Another whole command waits: the next pass answers it.
    if (FtpCommandLength(c.command.data(), c.command_len) != 0) PLAT_PollWake();
    c.idle_budget = NX_FTP_IDLE_BUDGET;
    c.last_command = _tx_time_get();
    c.commanded = 1;
    Command(sv, index, c, pk);
    return true;
}

void ConnectionProcessing(NX_FTP_SERVER *sv) {
    for (NX_FTP_CLIENT_REQUEST &c : sv->nx_ftp_server_client_list) {
        if (c.control.state < NX_TCP_LISTEN || c.control.state > 4) continue;
        // Also one the displacement took in hand to learn its host.
        if (!NxConnectionWaiting(&c.control)) continue;
        sv->nx_ftp_server_connection_requests++;
        if (_nx_tcp_server_socket_accept(&c.control, 6000) != NX_SUCCESS) {
            _nx_tcp_server_socket_unaccept(&c.control);
            break;
        }
        c.idle_budget = NX_FTP_IDLE_BUDGET;
        c.last_command = _tx_time_get();
        c.commanded = 0;
        c.logged_in = 0;
        c.rights = 0;
        c.type = 'A';
        c.passive = 0;
        Reply(sv, c, "220", "Connection Ready");
        std::strcpy(c.local_path.path, "");
        break;
    }
    for (NX_FTP_CLIENT_REQUEST &c : sv->nx_ftp_server_client_list) {
        if (c.control.state != NX_TCP_CREATED) continue;
        const uint32_t st = _nx_tcp_server_socket_relisten(sv->nx_ftp_server_ip_ptr, NX_FTP_SERVER_PORT, &c.control);
        if (st == NX_SUCCESS || st == 72) break;
        sv->nx_ftp_server_relisten_errors++;
    }
}

// A client that gives way to a new connection: closed as after a time-out.
void DisplaceClient(NX_TCP_SOCKET *s) {
    NX_FTP_SERVER *sv = ServerOf(s);
    if (sv == nullptr) return;
    for (NX_FTP_CLIENT_REQUEST &c : sv->nx_ftp_server_client_list) {
        if (&c.control != s) continue;
        sv->nx_ftp_server_disconnection_requests++;
        CleanClient(sv, c);
    }
}

void TimeoutProcessing(NX_FTP_SERVER *sv) {
    for (NX_FTP_CLIENT_REQUEST &c : sv->nx_ftp_server_client_list) {
        if (c.idle_budget == 0) continue;
        if (c.idle_budget < 61) {
            sv->nx_ftp_server_idle_timeouts++;
            CleanClient(sv, c);
        } else {
            c.idle_budget -= 60;
        }
    }
}

}  // namespace

// ---- public operations -----------------------------------------------------------------------------

uint32_t _nx_ftp_server_parse_command(NX_PACKET *pk) {
    uint8_t *p = pk->nx_packet_prepend_ptr, *end = pk->nx_packet_append_ptr;
    char word[8];
    std::size_t n = 0;
    bool fits = true;
    while (p < end && *p != ' ' && *p != '\r') {
        if (n < sizeof word - 1)
            word[n++] = char(std::toupper(*p));
        else
            fits = false;
        p++;
    }
    word[n] = 0;
    if (p < end) p++;
    uint32_t code = FTP_INVALID;
    for (const Cmd &cmd : kCommands) {
        if (fits && std::strcmp(cmd.word, word) == 0) code = cmd.code;
    }
    if (code == FTP_LIST) {
        while (p < end && *p != '\r') p++;
    }
    pk->nx_packet_length -= uint32_t(p - pk->nx_packet_prepend_ptr);
    pk->nx_packet_prepend_ptr = p;
    return code;
}

void _nx_ftp_server_response(NX_TCP_SOCKET *socket, NX_PACKET *pk, const char *code, const char *message) {
    pk->nx_packet_prepend_ptr = pk->nx_packet_append_ptr = pk->nx_packet_data_start;
    pk->nx_packet_length = 0;
    const std::size_t room = std::size_t(pk->nx_packet_data_end - pk->nx_packet_data_start) - 4;
    char *t = reinterpret_cast<char *>(pk->nx_packet_data_start);
    const int n = std::snprintf(t, room, "%s %s \r\n", code, message);
    const uint32_t len = uint32_t(n < 0 ? 0 : (std::size_t(n) >= room ? room - 1 : std::size_t(n)));
    pk->nx_packet_append_ptr += len;
    pk->nx_packet_length = len;
    _nx_tcp_socket_send(socket, pk, 6000);
}

void _nx_ftp_server_directory_response(NX_TCP_SOCKET *socket, NX_PACKET *pk, const char *code, const char *message,
                                       const char *path) {
    pk->nx_packet_prepend_ptr = pk->nx_packet_append_ptr = pk->nx_packet_data_start;
    pk->nx_packet_length = 0;
    const std::size_t room = std::size_t(pk->nx_packet_data_end - pk->nx_packet_data_start) - 4;
    char *t = reinterpret_cast<char *>(pk->nx_packet_data_start);
    std::size_t k = 0;
    auto put = [&](char ch) {
        if (k < room) t[k++] = ch;
    };
    for (const char *c = code; *c; c++) put(*c);
    put(' ');
    put('"');
    if (path[0] != '/' && path[0] != '\\') put('/');
    for (const char *c = path; *c; c++) {
        if (*c == '"') put('"');
        put(*c == '\\' ? '/' : *c);
    }
    put('"');
    put(' ');
    for (const char *c = message; *c; c++) put(*c);
    put(' ');
    put('\r');
    put('\n');
    pk->nx_packet_append_ptr += k;
    pk->nx_packet_length = uint32_t(k);
    _nx_tcp_socket_send(socket, pk, 6000);
}

void FtpServerCommand(NX_FTP_SERVER *server, uint32_t index, NX_PACKET *packet) {
    if (index >= NX_FTP_MAX_CLIENTS) {
        _nx_packet_release(packet);
        return;
    }
    Command(server, index, server->nx_ftp_server_client_list[index], packet);
}

uint32_t FtpCommandLength(const uint8_t *data, uint32_t len) {
    const void *lf = std::memchr(data, '\n', std::min(len, NX_FTP_LINE_MAX));
    if (lf != nullptr) return uint32_t(static_cast<const uint8_t *>(lf) - data) + 1;
    return len >= NX_FTP_LINE_MAX ? NX_FTP_LINE_MAX : 0;
}

bool FtpServerInput(NX_FTP_SERVER *server, uint32_t index, const uint8_t *data, uint32_t len) {
    if (index >= NX_FTP_MAX_CLIENTS) return false;
    NX_FTP_CLIENT_REQUEST &c = server->nx_ftp_server_client_list[index];
    // What does not fit is lost; the room holds more than a step ever keeps.
    const uint32_t n = std::min<uint32_t>(len, NX_FTP_COMMAND_ROOM - c.command_len);
    std::memcpy(c.command.data() + c.command_len, data, n);
    c.command_len += n;
    return NextCommand(server, index, c);
}

uint32_t FtpParsePort(const char *arg, uint32_t *address, uint32_t *port) {
    uint32_t v[6] = {};
    unsigned k = 0, commas = 0;
    const char *p = arg;
    bool digit = false;
    for (; *p && *p != '\r' && *p != '\n'; p++) {
        if (*p >= '0' && *p <= '9') {
            if (k < 6) v[k] = v[k] * 10 + uint32_t(*p - '0');
            digit = true;
        } else if (*p == ',') {
            if (!digit) return 0;
            commas++;
            k++;
            digit = false;
        } else {
            return 0;
        }
    }
    for (uint32_t &x : v) x &= 0xFF;
    *address = v[0] << 24 | v[1] << 16 | v[2] << 8 | v[3];
    *port = v[4] << 8 | v[5];
    return commas == 5 && digit ? 1 : 0;
}

uint32_t FtpServerLogin(NX_FTP_SERVER *server, uint32_t, uint32_t, const char *name, const char *password,
                        uint8_t *rights) {
    const DprConfigRec &cfg = Dpr_Configuration[Iface(server) & 1];
    const FtpUserAccount &a1 = cfg.ftp[0], &a2 = cfg.ftp[1];
    if (a1.user[0] == 0 && a2.user[0] == 0 && std::strcmp(name, "anonymous") == 0) {
        *rights = 1;
        return NX_SUCCESS;
    }
    // An unused account (no name) matches nobody.
    for (const FtpUserAccount *a : {&a1, &a2}) {
        if (a->user[0] != 0 && std::strcmp(name, a->user) == 0 &&
            (a->password[0] == 0 || std::strcmp(password, a->password) == 0)) {
            *rights = a->rights;
            return NX_SUCCESS;
        }
    }
    return NX_FTP_INVALID_LOGIN;
}

uint32_t FtpServerLogout(NX_FTP_SERVER *server, uint32_t, uint32_t, const char *, const char *, uint8_t *) {
    _fxe_media_flush(server->nx_ftp_server_media_ptr);
    return NX_SUCCESS;
}

uint32_t _nxe_ftp_server_create(NX_FTP_SERVER *server, const char *name, NX_IP *ip, FxMedia *media, void *stack,
                                uint32_t stack_size, NX_PACKET_POOL *pool, NxFtpLogin login, NxFtpLogout logout) {
    if (server == nullptr || ip == nullptr || server->nx_ftp_server_id == NX_FTP_SERVER_ID || stack == nullptr ||
        pool == nullptr)
        return NX_PTR_ERROR;
    return _nx_ftp_server_create(server, name, ip, media, stack, stack_size, pool, login, logout);
}

uint32_t _nx_ftp_server_create(NX_FTP_SERVER *server, const char *name, NX_IP *ip, FxMedia *media, void *, uint32_t,
                               NX_PACKET_POOL *pool, NxFtpLogin login, NxFtpLogout logout) {
    std::memset(static_cast<void *>(server), 0, sizeof *server);
    ftp_events = 63;
    bool ok = true;
    for (NX_FTP_CLIENT_REQUEST &c : server->nx_ftp_server_client_list) {
        c.control.fd = c.control.accepted_fd = -1;
        c.data.fd = c.data.accepted_fd = -1;
        c.file.fd = -1;
        if (_nx_tcp_socket_create(ip, &c.control, "FTP Server Control Socket", 0, 0x4000, 128, 400, nullptr,
                                  ControlDisconnect) != NX_SUCCESS) {
            ok = false;
            break;
        }
        _nx_tcp_socket_receive_notify(&c.control, CommandPresent);
    }
    if (!ok) {
        for (NX_FTP_CLIENT_REQUEST &c : server->nx_ftp_server_client_list) _nx_tcp_socket_delete(&c.control);
        return NX_FTP_INVALID_LOGIN;
    }
    server->nx_ftp_login = login;
    server->nx_ftp_logout = logout;
    server->nx_ftp_server_id = NX_FTP_SERVER_ID;
    server->nx_ftp_server_name = name;
    server->nx_ftp_server_ip_ptr = ip;
    server->nx_ftp_server_packet_pool_ptr = pool;
    server->nx_ftp_server_media_ptr = media;
    return NX_SUCCESS;
}

uint32_t _nxe_ftp_server_start(NX_FTP_SERVER *server) {
    if (server == nullptr || server->nx_ftp_server_id != NX_FTP_SERVER_ID) return NX_PTR_ERROR;
    return _nx_ftp_server_start(server);
}

uint32_t _nx_ftp_server_start(NX_FTP_SERVER *server) {
    if (_nx_tcp_server_socket_listen(server->nx_ftp_server_ip_ptr, NX_FTP_SERVER_PORT,
                                     &server->nx_ftp_server_client_list[0].control, 10,
                                     ConnectionPresent) != NX_SUCCESS)
        return NX_FTP_INVALID_LOGIN;
    server->nx_ftp_server_timer = _tx_time_get() | 1;
    return NX_SUCCESS;
}

uint32_t _nxe_ftp_server_stop(NX_FTP_SERVER *server) {
    if (server == nullptr || server->nx_ftp_server_id != NX_FTP_SERVER_ID) return NX_PTR_ERROR;
    return _nx_ftp_server_stop(server);
}

uint32_t _nx_ftp_server_stop(NX_FTP_SERVER *server) {
    server->nx_ftp_server_timer = 0;
    return NX_SUCCESS;
}

uint32_t _nxe_ftp_server_delete(NX_FTP_SERVER *server) {
    if (server == nullptr || server->nx_ftp_server_id != NX_FTP_SERVER_ID) return NX_PTR_ERROR;
    return _nx_ftp_server_delete(server);
}

uint32_t _nx_ftp_server_delete(NX_FTP_SERVER *server) {
    server->nx_ftp_server_id = 0;
    server->nx_ftp_server_timer = 0;
    for (NX_FTP_CLIENT_REQUEST &c : server->nx_ftp_server_client_list) {
        CloseData(server, c);
        ReleaseRename(c);
        _nx_tcp_server_socket_unaccept(&c.control);
        _nx_tcp_socket_delete(&c.control);
    }
    _nx_tcp_server_socket_unlisten(server->nx_ftp_server_ip_ptr, NX_FTP_SERVER_PORT);
    nx_ftp_extended_struct[Iface(server)].pending = 0;
    return NX_SUCCESS;
}

void _nx_ftp_server_thread_entry(NX_FTP_SERVER *sv) {
    const uint32_t now = _tx_time_get();
    // Compared as a signed difference: the timer is kept odd (0 means
    // stopped), so it may stand 1 ms ahead of the clock that set it.
    if (sv->nx_ftp_server_timer != 0 && int32_t(now - sv->nx_ftp_server_timer) >= int32_t(NX_FTP_TIMER_MS)) {
        sv->nx_ftp_server_timer = now | 1;
        sv->nx_ftp_server_events |= FTP_EV_TIMEOUT;
    }
    NxFtpExtended &x = nx_ftp_extended_struct[Iface(sv)];
    auto &clients = sv->nx_ftp_server_client_list;
    // A parked command goes on once its data connection is usable, or after 6 s.
    if (x.pending) {
        NX_FTP_CLIENT_REQUEST &c = clients[x.index];
        if (ParkOver(c, x.pending) || now - x.start >= NX_FTP_PARK_MS) {
            const uint32_t pending = x.pending;
            x.pending = 0;
            Continue(sv, pending, c);
        }
    }
    // Ten clients keep no other host out: with every connection taken and
    // another waiting, the idlest client of the host holding the most gives
    // way to it, as in the other servers (the step that finds the waiting
    // one free takes it). A client with a transfer under way, one parked
    // until its data connection comes, or one with a whole command kept for
    // a later pass (its answer waits for room, a passive listener or a
    // transfer) is at work and never the one closed.
    NxServerDisplaceBy(
        clients, now, DisplaceClient, [](NX_FTP_CLIENT_REQUEST &c) { return &c.control; },
        [](const NX_FTP_CLIENT_REQUEST &c) { return c.last_command; },
        [](const NX_FTP_CLIENT_REQUEST &c) { return c.commanded != 0; },
        [&clients, &x](const NX_FTP_CLIENT_REQUEST &c) {
            return c.transfer_state != 0 || (x.pending != 0 && x.index == uint32_t(&c - clients.data())) ||
                   FtpCommandLength(c.command.data(), c.command_len) != 0;
        });
    const uint32_t ev = sv->nx_ftp_server_events;
    sv->nx_ftp_server_events = 0;
    if (ev & FTP_EV_CONNECT) ConnectionProcessing(sv);
    for (uint32_t i = 0; i < NX_FTP_MAX_CLIENTS; i++) {
        NX_FTP_CLIENT_REQUEST &c = clients[i];
        if (c.transfer_state == 2) ReceiveFile(sv, c);
        if (c.transfer_state == 2 && PeerClosed(c.data)) FinishReceive(sv, c);
        if (c.transfer_state == 1) SendFilePacket(sv, c);
        if (c.transfer_state == 3) ListingPass(sv, c);
        // A passive listener waits for its client's data connection, 6 s at most.
        if (c.pasv_since != 0 &&
            (c.data.state == NX_TCP_ESTABLISHED || int32_t(now - c.pasv_since) >= int32_t(NX_FTP_PARK_MS)))
            c.pasv_since = 0;
    }
    for (uint32_t i = 0; i < NX_FTP_MAX_CLIENTS; i++) {
        NX_FTP_CLIENT_REQUEST &c = clients[i];
        if (c.control.state != NX_TCP_ESTABLISHED || c.pasv_since != 0) continue;
        // The parked-command record is one for the server: while it holds
        // a client's command, no client's command is taken (a second one
        // parked would take the first one's place, which then never ends).
        // It holds one 6 s at most.
        if (x.pending) continue;
        if (c.transfer_state != 0) continue;
        if (NextCommand(sv, i, c)) continue;
        NX_PACKET *pk = nullptr;
        if (!NxRxReady(&c.control) || _nx_tcp_socket_receive(&c.control, &pk, 0) != NX_SUCCESS) continue;
        c.idle_budget = NX_FTP_IDLE_BUDGET;
        FtpServerInput(sv, i, pk->nx_packet_prepend_ptr, pk->nx_packet_length);
        _nx_packet_release(pk);
    }
    for (NX_FTP_CLIENT_REQUEST &c : clients) {
        if (c.control.state != NX_TCP_CLOSE_WAIT) continue;
        sv->nx_ftp_server_disconnection_requests++;
        CleanClient(sv, c);
        EndOfUpload();
    }
    if (ev & FTP_EV_TIMEOUT) TimeoutProcessing(sv);
}

uint32_t Ftp_Init(NX_IP *ip, NX_PACKET_POOL *pool) {
    FtpPacketPoolPtr = pool;
    if (ip != nullptr) FtpIpPtr[ip->nx_ip_interface & 1] = ip;
    return 0;
}

void Ftp_Scan(uint32_t iface) {
    if (iface > 1) return;
    NX_FTP_SERVER &sv = FtpServer[iface];
    if (!(Dpr_Configuration[iface].enables[0] & EN0_FTP)) {
        if (sv.nx_ftp_server_id == NX_FTP_SERVER_ID) _nx_ftp_server_delete(&sv);
        return;
    }
    if (sv.nx_ftp_server_id == NX_FTP_SERVER_ID) {
        _nx_ftp_server_thread_entry(&sv);
    } else if (_nxe_ftp_server_create(&sv, "QDR FTP Server", FtpIpPtr[iface], &FtpMedia, FtpStack,
                                      uint32_t(sizeof FtpStack), FtpPacketPoolPtr, FtpServerLogin,
                                      FtpServerLogout) == NX_SUCCESS) {
        if (_nxe_ftp_server_start(&sv) != NX_SUCCESS) _nx_ftp_server_delete(&sv);
    }
}

uint32_t Ftp_Due(uint32_t iface, uint32_t now) {
    if (iface > 1 || !(Dpr_Configuration[iface].enables[0] & EN0_FTP)) return now + PASS_IDLE_MS;
    return now;
}

uint32_t Ftp_ConnCnt(uint32_t iface) {
    if (iface > 1 || FtpServer[iface].nx_ftp_server_id != NX_FTP_SERVER_ID) return 0;
    uint8_t n = 0;
    for (const NX_FTP_CLIENT_REQUEST &c : FtpServer[iface].nx_ftp_server_client_list) {
        if (c.control.state == NX_TCP_ESTABLISHED) n++;
        if (c.data.state == NX_TCP_ESTABLISHED) n++;
    }
    return n;
}
