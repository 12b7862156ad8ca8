// Linux service control, restart requests and the HTTP hand-over.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include "core/image/bytes.h"
#include "core/image/passwork.h"
#include "core/image/plcreg.h"
#include "core/image/tx.h"
#include "net/enet.h"
#include "net/enet_proto.h"
#include "net/net.h"
#include "net/svc.h"
#include "platform/plat.h"

NetSvcHooks NetSvc_Hooks;
uint8_t MasterRestartOn;
uint32_t NTP_LastSysSec;
uint16_t prot_run_bit;
uint16_t reset_flg;

uint8_t Svc_HandoverPending;

namespace {

uint32_t handover_since;  // ms tick (odd, never 0) of the hand-over's first wait
uint32_t marker_since;    // ms tick of the FTP restart's first pass

int Pipe() { return NetSvc_Hooks.script_pipe ? NetSvc_Hooks.script_pipe() : -1; }
bool ScriptAbsent() { return NetSvc_Hooks.script_absent == nullptr || NetSvc_Hooks.script_absent(); }
TavixState WebState() { return NetSvc_Hooks.web_state ? NetSvc_Hooks.web_state() : TavixState::Stopped; }
bool WebThread() { return NetSvc_Hooks.web_thread && NetSvc_Hooks.web_thread(); }
uint8_t WebFtping() { return NetSvc_Hooks.web_ftping ? NetSvc_Hooks.web_ftping() : 0; }
void WebStateSet(TavixState s) {
    if (NetSvc_Hooks.web_state_set) NetSvc_Hooks.web_state_set(s);
}

// Stops the web server for the hand-over. A start asked and not yet begun
// has no thread to act on a stop, which would stand for good: it is
// withdrawn instead, leaving the server stopped.
void WebStopForHandover() {
    const TavixState st = WebState();
    if (st == TavixState::StartRequested)
        WebStateSet(TavixState::Stopped);
    else if (st != TavixState::Stopped)
        WebStateSet(TavixState::StopRequested);
}

FILE *OpenW(const char *abs) {
    char p[512];
    if (!PLAT_Path(abs, p, sizeof p)) return nullptr;
    return std::fopen(p, "w+");
}

bool Exists(const char *abs) {
    char p[512];
    return PLAT_Path(abs, p, sizeof p) && access(p, F_OK) == 0;
}

void Remove(const char *abs) {
    char p[512];
    if (PLAT_Path(abs, p, sizeof p)) unlink(p);
}

// Linux answers fsync of a pipe with EINVAL every time: that answer is not
// printed, as it tells of no fault; any other is.
void FsyncPipe() {
    const int fd = Pipe();
    if (fd >= 0 && fsync(fd) != 0 && errno != EINVAL) std::perror("fsync");
}

void SendText(const char *text, bool with_nul, const char *what) {
    Svc_PipeWrite(text, std::strlen(text) + (with_nul ? 1 : 0), what);
}

// An account is written when both its name and password are set and neither
// holds a character that would break the line format.
bool Writable(const FtpUserAccount &a) {
    if (a.user[0] == 0 || a.password[0] == 0) return false;
    for (const char *s : {a.user, a.password}) {
        for (const char *c = s; *c; c++) {
            if (*c == ':' || static_cast<unsigned char>(*c) < 0x20 || *c == 0x7F) return false;
        }
    }
    return true;
}

uint16_t RestartWord(std::size_t at) { return LE_Get16(&plc_reg[at]); }
void ClearRestartBit(std::size_t at, uint16_t bit) { LE_Put16(&plc_reg[at], uint16_t(RestartWord(at) & ~bit)); }

// The FTP restart of one interface: first pass deletes the marker and sends
// the commands, later passes wait for the marker (at most 30 s).
void FtpRestart(std::size_t at, uint16_t run, const char *marker, const char *stop, const char *start) {
    if (reset_flg == 0) {
        prot_run_bit |= run;
        Remove(marker);
        if (ScriptAbsent()) {
            // No daemon will write a marker: nothing to wait for.
            ClearRestartBit(at, 0x08);
            prot_run_bit = 0;
            return;
        }
        SendText(stop, false, "master write errno");
        SendText(start, false, "master write errno");
        reset_flg = 1;
        marker_since = _tx_time_get();
        return;
    }
    if (Exists(marker)) {
        ClearRestartBit(at, 0x08);
        reset_flg = 0;
        prot_run_bit = 0;
    } else if (_tx_time_get() - marker_since >= SVC_MARKER_GIVE_UP_MS) {
        // A daemon that has not started in 30 s is asked again (next pass),
        // so a lost command does not hold the request for good; the request
        // stays pending, and holds the other restart actions, until the
        // marker comes: a restart that did not happen is never reported done.
        reset_flg = 0;
    }
}

}  // namespace

void Svc_Reset() {
    MasterRestartOn = 0;
    NTP_LastSysSec = 0;
    prot_run_bit = reset_flg = 0;
    Svc_HandoverPending = 0;
    handover_since = 0;
    marker_since = 0;
}

uint32_t Svc_PipeWrite(const char *text, std::size_t n, const char *what) {
    const int fd = Pipe();
    if (fd < 0) return 0;
    if (write(fd, text, n) != ssize_t(n)) {
        std::perror(what);
        return 0;
    }
    return 1;
}

void Svc_WriteServiceFiles() {
    char p[512];
    if (PLAT_Path("/opt/valmar/ftp", p, sizeof p)) mkdir(p, 0755);
    if (FILE *f = OpenW("/opt/valmar/main_conf")) {
        std::fprintf(f, "ftp%d\n", 0);
        if (NTP_Enabled == 1) std::fprintf(f, "ntp%d\n", 0);
        std::fclose(f);
    }
    char pwd[64], chroot[64];
    std::snprintf(pwd, sizeof pwd, "/opt/valmar/ftp/newpwdfile%d", 1);
    std::snprintf(chroot, sizeof chroot, "/opt/valmar/ftp/newvsftpd.chroot_list%d", 1);
    const DprConfigRec &c = Dpr_Configuration[0];
    if (!(c.enables[0] & EN0_FTP)) {
        Remove(pwd);
        Remove(chroot);
    } else {
        FILE *a = OpenW(pwd);
        FILE *b = OpenW(chroot);
        for (const FtpUserAccount &acc : c.ftp) {
            if (!Writable(acc)) continue;
            if (a) std::fprintf(a, "%s:%s\n", acc.user, acc.password);
            if (b) std::fprintf(b, "%s:%d\n", acc.user, acc.rights == 0 ? 1 : 0);
        }
        if (a) std::fclose(a);
        if (b) std::fclose(b);
    }
    PLAT_SyncNow();
}

void Svc_ConfigChange() {
    const bool script = !ScriptAbsent();
    if (script) {
        SendText("stopall\n", true, "write");
        FsyncPipe();
    }
    NTP_Enabled = 0;
    MasterRestartOn = 1;
    Dpr_Config();
    if (script) {
        Svc_WriteServiceFiles();
        SendText("startall\n", true, "write");
    }
    if (enet_hooks.egd_config) enet_hooks.egd_config(0);
    if (enet_hooks.modbus.stop) enet_hooks.modbus.stop(0);
    const bool http = (Dpr_Configuration[0].enables[0] & EN0_HTTP) || (Dpr_Configuration[1].enables[0] & EN0_HTTP);
    // A web server already stopped has nothing to hand over: the port is ours at once.
    if (http && WebFtping() == 0) {
        WebStopForHandover();
        Svc_HandoverPending = 1;
        Svc_HandoverStep();
    }
}

void Svc_HandoverStep() {
    if (!Svc_HandoverPending) return;
    WebStopForHandover();
    if (handover_since == 0) handover_since = _tx_time_get() | 1;
    // The web server's thread is waited for across passes, never inside one;
    // one that has not ended after 3 s no longer holds the port back. The
    // wait counts from the even millisecond below the stamp (kept odd so it is
    // never 0): from the stamp itself it would be -1 at once, and over.
    const uint32_t waited = _tx_time_get() - (handover_since & ~1u);
    if (WebThread() && !WebFtping() && waited < SVC_HANDOVER_WAIT_MS) return;
    Svc_HandoverPending = 0;
    handover_since = 0;
    TavixHttp = 0;
    PassWork_NetChange();  // the in-program web server takes the port
}

void Svc_DnsSet(uint32_t dns) {
    char line[32];
    const int n = std::snprintf(line, sizeof line, "dnsSet_%d_%ld_%d.%d.%d.%d\n", 2, 0L, int(dns >> 24),
                                int((dns >> 16) & 0xFF), int((dns >> 8) & 0xFF), int(dns & 0xFF));
    if (n > 0 && n < int(sizeof line)) Svc_PipeWrite(line, std::size_t(n) + 1, "write");
}

void Svc_AddressAndTime() {
    if (ScriptAbsent()) return;
    if (MasterRestartOn == 1) {
        MasterRestartOn = 0;
    } else if (IpAddr0Change && Enet_IpInstance[0].nx_ip_link_up == 1) {
        SendText("stop0\n", true, "write");
        PLAT_SyncNow();
        IpAddr0Change = 0;
        SendText("start0\n", true, "write");
    }
    if (NTP_Enabled) {
        struct timeval tv {};
        gettimeofday(&tv, nullptr);
        if (uint32_t(tv.tv_sec) != NTP_LastSysSec) {
            NTP_LastSysSec = uint32_t(tv.tv_sec);
            if (NetSvc_Hooks.utc_from_system)
                NetSvc_Hooks.utc_from_system(uint32_t(tv.tv_sec), uint32_t(tv.tv_usec / 1000));
        }
    }
}

void Svc_RestartRequests() {
    // No request bit set and no restart under way: nothing below acts.
    if (!Svc_RestartAsked()) return;
    const uint16_t w0 = RestartWord(SVC_RESTART_ETH0);
    const uint16_t w1 = RestartWord(SVC_RESTART_ETH1);
    PassWork_NetChange();  // services restarted: every one steps on the next pass
    NX_PACKET_POOL *pool = &EnetPacketPoolCtrl;
    // A restart under way (FTP, web, e-mail) runs to its end even when the
    // program clears its bit meanwhile, say by writing the whole word for
    // another request: left half done it would hold prot_run_bit, and with
    // it every later restart request, for good.
    const auto under_way = [](uint16_t run) { return prot_run_bit == run; };
    // 1. FTP daemons.
    if (((w0 & 0x08) || under_way(4)) && (prot_run_bit == 0 || prot_run_bit == 4)) {
        FtpRestart(SVC_RESTART_ETH0, 4, "/opt/valmar/ftp/started1.txt", "stop0\n", "start0\n");
    } else if (((w1 & 0x08) || under_way(0x80)) && (prot_run_bit == 0 || prot_run_bit == 0x80)) {
        FtpRestart(SVC_RESTART_ETH1, 0x80, "/opt/valmar/ftp/started2.txt", "stop1\n", "start1\n");
    }
    // 2. Modbus server.
    if ((RestartWord(SVC_RESTART_ETH0) & 0x02) && (prot_run_bit == 0 || prot_run_bit == 2)) {
        if (enet_hooks.modbus.stop) enet_hooks.modbus.stop(0);
        if (enet_hooks.modbus.init) enet_hooks.modbus.init(&Enet_IpInstance[0], pool);
        ClearRestartBit(SVC_RESTART_ETH0, 0x02);
        prot_run_bit = 0;
    } else if ((RestartWord(SVC_RESTART_ETH1) & 0x02) && (prot_run_bit == 0 || prot_run_bit == 0x40)) {
        // The second instance is never created: nothing to restart.
        ClearRestartBit(SVC_RESTART_ETH1, 0x02);
        prot_run_bit = 0;
    }
    // 3. EGD.
    if ((RestartWord(SVC_RESTART_ETH0) & 0x01) && (prot_run_bit == 0 || prot_run_bit == 1)) {
        if (NetSvc_Hooks.egd_restart) NetSvc_Hooks.egd_restart(0);
        ClearRestartBit(SVC_RESTART_ETH0, 0x01);
        prot_run_bit = 0;
    } else if ((RestartWord(SVC_RESTART_ETH1) & 0x01) && (prot_run_bit == 0 || prot_run_bit == 0x20)) {
        ClearRestartBit(SVC_RESTART_ETH1, 0x01);
        prot_run_bit = 0;
    }
    // 4. Web HMI server (its thread is waited for across passes; asked again every 30 s).
    if (((RestartWord(SVC_RESTART_ETH0) & 0x10) || under_way(8)) && (prot_run_bit == 0 || prot_run_bit == 8) &&
        TavixHttp == 0) {
        // The register HTTP server holds port 80, and the web server cannot
        // run until it is handed back: the request waits for that with its
        // bit set, but holds no other restart meanwhile (a restart begun is
        // set aside and begins again once the port is the web server's).
        prot_run_bit = 0;
        reset_flg = 0;
    } else if (((RestartWord(SVC_RESTART_ETH0) & 0x10) || under_way(8)) && (prot_run_bit == 0 || prot_run_bit == 8)) {
        if ((prot_run_bit & 8) == 0) marker_since = _tx_time_get();
        if (reset_flg == 0) {
            prot_run_bit |= 8;
            // A server on its way up or running is stopped first; one already
            // asked to stop is left to stop.
            // A start asked and not yet begun has no thread to act on a
            // stop, which would stand for good (and the server never start
            // again): that start is the restart, and it is waited for.
            // A stop asked of a server whose thread has ended (or never
            // began) is likewise acted on by no one, and would hold this
            // request, and every other restart, for good: the server is
            // stopped, and is started like one.
            TavixState st = WebState();
            if (st == TavixState::StopRequested && !WebThread()) st = TavixState::Stopped;
            if (st == TavixState::StartRequested && WebFtping() == 0) {
                reset_flg = 1;
            } else if (st != TavixState::StopRequested && st != TavixState::Stopped && WebFtping() == 0) {
                WebStateSet(TavixState::StopRequested);
            } else if (st == TavixState::Stopped && WebFtping() == 0) {
                reset_flg = 1;
                WebStateSet(TavixState::StartRequested);
            }
        }
        if (reset_flg == 1 && WebState() == TavixState::Running) {
            ClearRestartBit(SVC_RESTART_ETH0, 0x10);
            prot_run_bit = 0;
            reset_flg = 0;
        } else if (_tx_time_get() - marker_since >= SVC_MARKER_GIVE_UP_MS) {
            // Not running again in 30 s: the stop and start are asked again,
            // and the request stays pending until the server runs. During a
            // web project upload nothing is asked: the request waits for the
            // upload's end, however long it takes.
            marker_since = _tx_time_get();
            reset_flg = 0;
        }
    }
    // 5. E-mail connection.
    if (((RestartWord(SVC_RESTART_ETH0) & 0x20) || under_way(0x10)) && (prot_run_bit == 0 || prot_run_bit == 0x10)) {
        prot_run_bit |= 0x10;
        if (NetSvc_Hooks.email_disconnect == nullptr || NetSvc_Hooks.email_disconnect()) {
            prot_run_bit = 0;
            ClearRestartBit(SVC_RESTART_ETH0, 0x20);
        }
    }
}
