// Life cycle of the web HMI server: main's web step, the thread, its set-up
// and teardown, and the upload watcher. The thread runs one dispatcher cycle
// and one step of the variable update at a time under the pass lock, 5 ms
// apart.
#include "webhmi/weblife.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <semaphore.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/image/iecrt.h"
#include "core/image/plcreg.h"
#include "core/image/tx.h"
#include "core/image/util.h"
#include "core/storage/memfile.h"
#include "net/net.h"
#include "platform/plat.h"
#include "platform/plat_poll.h"
#include "tavIXsdk/tavixsdk/tavix_buffer.h"
#include "tavIXsdk/tavixsdk/tavix_comm.h"
#include "tavIXsdk/tavixsdk/tavix_engine.h"
#include "tavIXsdk/tavixsdk/tavix_remote.h"
#include "tavIXsdk/tavixsdk/tavix_methods.h"
#include "tavIXsdk/tavixsdk/tavix_post.h"
#include "tavIXsdk/tavixsdk/tavix_subs.h"
#include "tavIXsdk/tavixsdk/tavix_rsa.h"
#include "tavIXsdk/tavixsdk/tavix_server.h"
#include "tavIXsdk/tavixsdk/tavix_session.h"
#include "tavIXsdk/tavixsdk/tavix_sys.h"
#include "tavIXsdk/tavixsdk/tavix_util.h"
#include "webhmi/webusers.h"
#include "webhmi/webvars.h"

uint16_t ConnectionTimeOut;
uint16_t SessionTimeOut;
uint8_t tavix_authentication_method = 2;
uint16_t tavIX_global_config_file_size;
uint8_t TavixServerStatus;

std::atomic<TavixState> TavixServerState{TavixState::Stopped};
std::atomic<uint8_t> TavixThreadCreated{0};
std::atomic<uint8_t> TavixFtping{0};
TavixFtpState tavixFtpStates = TavixFtpState::WaitFolder;
uint8_t tavix_start_passes;

sem_t demoMutex;
void (*tavix_setup_hook)();
pthread_mutex_t TavixQueryFilterMutex = PTHREAD_MUTEX_INITIALIZER;

namespace {

constexpr std::size_t kConfigBuffer = 250;
constexpr std::size_t kEventBuffer = 32768;
// Watcher steps without the web folder before it polls for the folder instead.
constexpr uint8_t kFolderWaits = 100;

// Makes the test-and-post of tavix_DemoUnlock atomic when both threads release.
pthread_mutex_t demo_release_guard = PTHREAD_MUTEX_INITIALIZER;

pthread_t tavix_thread_id;
int inotify_fd = -1, inotify_watch = -1;
uint8_t ftp_wait_count;
// Whether the card was in at the watcher's last look while it polls for the
// web folder: a folder that comes with the card is no upload.
bool card_was_in;

bool Oem() { return crc_header[3] == 128; }

// The host path of a board path, in a static buffer per call site.
const char *Host(const char *abs, char *out, std::size_t size) {
    return PLAT_Path(abs, out, size) != nullptr ? out : abs;
}

bool Exists(const char *abs) {
    char p[512];
    return access(Host(abs, p, sizeof p), F_OK) == 0;
}

// The watcher's looks for a folder or marker that may appear at any time:
// at most one every 10 ms, not one a pass (a path walk costs more than a
// whole idle pass).
constexpr uint32_t kLookMs = 10;
uint32_t last_look;
bool LookDue() {
    const uint32_t now = _tx_time_get();
    if (now - last_look < kLookMs) return false;
    last_look = now;
    return true;
}

void WriteStatus(uint8_t v) {
    TavixServerStatus = v;
    PlcReg_SetGuarded(Tavix_server_status_token, &TavixServerStatus, 1);
}

uint32_t ControllerUtc() {
    uint16_t clock[6];
    // Through the guarded read, as every register this thread reads.
    uint8_t raw[12] = {};
    PlcReg_GetGuarded(raw, SR_ADDR(44), 96);
    for (unsigned i = 0; i < 6; i++) clock[i] = LE_Get16(raw + 2 * i);
    uint8_t stamp[6];
    LoadStamp(stamp, clock);
    return tavix_Conversion_to_UTC_Time_func(stamp);
}

// A watch that cannot be made is tried again; its failure is printed once
// until a watch is made (a card pulled would print it at every pass).
bool inotify_failure_said;

// Ends the watch in place, if any.
void CloseInotify() {
    if (inotify_fd < 0) return;
    if (inotify_watch >= 0) inotify_rm_watch(inotify_fd, inotify_watch);
    PLAT_PollUnwatch(inotify_fd);
    close(inotify_fd);
    inotify_fd = inotify_watch = -1;
}

bool tavix_create_inotify(const char *abs, bool on_create) {
    char p[512];
    // The watcher is set back to its first step at each start the card
    // manager asks for: the watch it made before is closed here, or each
    // would keep an inotify instance (and a wake-up slot) open for good.
    CloseInotify();
    inotify_fd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (inotify_fd < 0) {
        if (!inotify_failure_said) std::perror("inotify_init");
        inotify_failure_said = true;
        return false;
    }
    inotify_watch = inotify_add_watch(inotify_fd, Host(abs, p, sizeof p), on_create ? IN_CREATE : IN_DELETE);
    if (inotify_watch < 0) {
        if (!inotify_failure_said) std::perror("inotify_add_watch");
        inotify_failure_said = true;
        close(inotify_fd);
        inotify_fd = -1;
        return false;
    }
    inotify_failure_said = false;
    // Its events end the loop's wait; without them it is not read.
    PLAT_PollWatch(inotify_fd);
    return true;
}

// 1 when "wwwroot" was deleted or the watch ended (watch closed then).
int tavix_check_inotify() {
    if (inotify_fd < 0 || !PLAT_PollHasInput(inotify_fd)) return 0;
    static char events[kEventBuffer] __attribute__((aligned(alignof(struct inotify_event))));
    const ssize_t n = read(inotify_fd, events, sizeof events);
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            PLAT_PollInputTaken(inotify_fd);
        else
            std::perror("read");
        return 0;
    }
    if (size_t(n) < sizeof events) PLAT_PollInputTaken(inotify_fd);
    for (ssize_t at = 0; at + ssize_t(sizeof(struct inotify_event)) <= n;) {
        const auto *e = reinterpret_cast<const struct inotify_event *>(events + at);
        const bool ended = e->len == 0;
        const bool root_gone = e->len > 0 && (e->mask & IN_ISDIR) && (e->mask & IN_DELETE) && !(e->mask & IN_CREATE) &&
                               std::strcmp(e->name, "wwwroot") == 0;
        if (ended || root_gone) {
            CloseInotify();
            return 1;
        }
        at += ssize_t(sizeof(struct inotify_event)) + ssize_t(e->len);
    }
    return 0;
}

void *tavix_Loop(void *) {
    tavix_server_main();
    if (tavix_setup_hook != nullptr) tavix_setup_hook();
    // Only a start still standing becomes running: a stop asked during the
    // set-up stops the server now that it is set up.
    TavixState starting = TavixState::Starting;
    const bool serve = TavixServerState.compare_exchange_strong(starting, TavixState::Running);
    for (; serve;) {
        if (sem_trywait(&demoMutex) != 0) {
            usleep(1000);
            continue;
        }
        tavix_comm_mainloop_accept_conn();
        tavix_automatic_update_variables();
        if (TavixServerState == TavixState::StopRequested) break;
        tavix_DemoUnlock();
        // At most 5 ms between cycles; input ends the wait at once.
        tavix_comm_wait(5);
    }
    tavix_sys_thread_shutdown_threads();
    tavix_thread_clear();
    TavixThreadCreated = 0;
    tavix_DemoUnlock();
    // TavixQueryFilterMutex is not released here: no one holds it (the query
    // worker guards its queue with a lock of its own), and a mutex released
    // unheld is undefined.
    tavix_comm_thread_stop();
    // Stopped, unless a start was asked after the stop (the card manager's):
    // that request stands, and main's next web step starts a new thread.
    TavixState stop = TavixState::StopRequested;
    TavixServerState.compare_exchange_strong(stop, TavixState::Stopped);
    pthread_exit(nullptr);
}

}  // namespace

const char *tavix_web_root() {
    static char root[512];
    return Host(Oem() ? "/mnt/USB0/oemHMI/wwwroot" : "/mnt/USB0/tavIX/wwwroot", root, sizeof root);
}

int tavix_read_file(char *dst, std::size_t capacity, const char *path, int mode) {
    FILE *f = std::fopen(path, "rb");
    if (f == nullptr) return 0;
    // At most capacity - 1 bytes, so the text always ends with a NUL.
    const std::size_t n = capacity > 0 ? std::fread(dst, 1, capacity - 1, f) : 0;
    if (n > 0 && (mode == 2 || mode == 3)) tavIX_global_config_file_size = uint16_t(n);
    return std::fclose(f);
}

void tavix_update_global_config_parameters(const char *text) {
    char work[kConfigBuffer];
    std::snprintf(work, sizeof work, "%s", text);
    const std::size_t size =
        tavIX_global_config_file_size < sizeof work ? tavIX_global_config_file_size : sizeof work - 1;
    char *save = nullptr;
    for (char *key = strtok_r(work, ":", &save); key != nullptr;) {
        // Blank lines and blanks before a key are passed over; the key itself
        // is compared exactly.
        while (*key == '\r' || *key == '\n' || *key == ' ') key++;
        char *value = strtok_r(nullptr, "\n", &save);
        if (value == nullptr) break;
        const long v = std::strtol(value, nullptr, 10);
        if (std::strcmp(key, "KeepAlive") == 0) {
            ConnectionTimeOut = v < 0 ? 0 : uint16_t(v > 65535 ? 65535 : v);
        } else if (std::strcmp(key, "InactivityTimeOut") == 0) {
            // Minutes to seconds, held to what the word can carry; a negative
            // value leaves the default.
            SessionTimeOut = v < 0 ? 0 : uint16_t(v * 60 > 65535 ? 65535 : v * 60);
        } else if (std::strcmp(key, "Authentication") == 0) {
            tavix_authentication_method = std::strstr(value, "Basic") != nullptr ? 1 : 2;
        }
        if (std::size_t(value + std::strlen(value) - work) >= size) break;
        key = strtok_r(nullptr, ":", &save);
    }
}

void tavix_register_controller_callbacks() {
    tavix_server_clear_callbacks();
    tavix_server_set_basic_callbacks_simple(tavix_read_data_simple_cb, tavix_write_data_simple_cb);
    tavix_server_set_basic_callbacks_multi(tavix_read_data_multi_cb, tavix_write_data_multi_cb);
    tavix_server_set_advanced_callbacks(tavix_subscribe_data_cb, tavix_unsubscribe_data_cb);
    tavix_server_set_auth_callbacks(tavix_access_cb, tavix_authentication_digest_cb, tavix_authentication_user_info_cb,
                                    nullptr);
    tavix_server_set_request_hook_callback(request_hook_callback);
    web_notify_hook = tavix_variable_notify;
}

int tavix_server_main() {
    char text[kConfigBuffer] = {};
    WriteStatus(0);
    tavix_acccess_rights_clear();
    tavIX_global_config_file_size = 0;
    char path[512];
    tavix_read_file(text, sizeof text,
                    Host(Oem() ? "/mnt/USB0/oemHMI/config/tavIXGlobal.cfg" : "/mnt/USB0/tavIX/config/tavIXGlobal.cfg",
                         path, sizeof path),
                    2);
    if (tavIX_global_config_file_size != 0) tavix_update_global_config_parameters(text);
    tavix_get_acccess_rights();
    tavIX_global_config_file_size = 0;
    tavix_read_update_already_logged_users();

    tavix_server_initialize();
    tavix_engine_hooks.utc_now = ControllerUtc;
    tavix_options_set_web_root(tavix_web_root(), "index.htm;index.html");
    tavix_options_set_server_name(Oem() ? "OEM_server" : "tavIX_server");
    tavix_options_set_auth_options(tavix_authentication_method, Oem() ? "oemHMI" : "tavIX");
    char cert[512];
    tavix_options_set_http_options(nullptr, 80);
    tavix_options_set_https_options(nullptr, 443, Host("/mnt/USB0/server.pem", cert, sizeof cert), nullptr);
    if (tavix_options_generate_temporary_rsa(1024, 0x10001) != 0) tavix_util_error("Cannot generate the RSA key");
    tavix_global_options.level = 2;
    tavix_register_controller_callbacks();
    tavix_session_table.logout = tavix_delete_user_login_details;
    tavix_session_table.login = tavix_add_user_login_details;
    tavix_server_prepare();
    tavix_server_mainloop();
    if (ConnectionTimeOut == 0) ConnectionTimeOut = 60;
    if (SessionTimeOut == 0) SessionTimeOut = 300;
    tavix_comm_state.connection_timeout = ConnectionTimeOut;
    tavix_session_table.connection_timeout = ConnectionTimeOut;
    tavix_session_table.inactivity_timeout = SessionTimeOut;
    WriteStatus(1);
    usleep(1000);
    return 0;
}

void tavix_thread_clear() {
    tavix_comm_mainloop_exit();
    tavix_server_clear();
    tavix_server_free();
    tavix_acccess_rights_clear();
    if (TavixServerStatus == 1) {
        WriteStatus(0);
        tavix_invalidate_all_user_login_details();
        tavix_clear_user_login_details();
    }
}

bool tavix_thread_create() {
    sigset_t block, old;
    sigemptyset(&block);
    sigaddset(&block, SIGALRM);
    sigaddset(&block, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &block, &old);
    pthread_attr_t tattr;
    pthread_attr_init(&tattr);
    pthread_attr_setdetachstate(&tattr, PTHREAD_CREATE_DETACHED);
    const bool made = pthread_create(&tavix_thread_id, &tattr, tavix_Loop, nullptr) == 0;
    if (made) pthread_setname_np(tavix_thread_id, "tavix");
    pthread_attr_destroy(&tattr);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return made;
}

// An upload begins: the server stops until its end marker. Only a server
// thread acts on a stop request; with none left (the server stopped
// already) the request is turned to stopped at once, since a request nobody
// answers would keep the upload from ever ending. The request is stored
// before the thread is looked for: an ending thread clears its flag before
// it turns a stop request to stopped, so whichever of the two sees the other
// last turns it, and a thread ending between a look and a store cannot leave
// the request standing with nobody to answer it.
namespace {
void StopForUpload() {
    TavixFtping = 1;
    TavixServerState = TavixState::StopRequested;
    if (!TavixThreadCreated) {
        TavixState stop = TavixState::StopRequested;
        TavixServerState.compare_exchange_strong(stop, TavixState::Stopped);
    }
}
}  // namespace

void tavix_check_ftp_state() {
    const char *folder = "/mnt/USB0/tavIX";
    switch (tavixFtpStates) {
    case TavixFtpState::WaitFolder:
        if (Exists(folder)) {
            tavixFtpStates = TavixFtpState::Arm;
        } else {
            if (ftp_wait_count < kFolderWaits) {
                ftp_wait_count++;
            } else {
                tavixFtpStates = TavixFtpState::PollFolder;
                card_was_in = Exists("/mnt/USB0");
            }
        }
        break;
    case TavixFtpState::Arm:
        if (tavix_create_inotify(folder, false)) tavixFtpStates = TavixFtpState::Watch;
        break;
    case TavixFtpState::Watch:
        if (tavix_check_inotify() == 1) {
            StopForUpload();
            tavixFtpStates = TavixFtpState::WaitEnd;
        }
        break;
    case TavixFtpState::PollFolder:
        if (LookDue()) {
            // A card put in after a boot without one brings its folder: that
            // is no upload (taken for one, the server would wait for an end
            // marker that never comes, and the card poll, seeing an upload,
            // would never start it). The folder is watched as at start-up,
            // and the card poll starts the server. A folder made on a card
            // that was in already is an upload.
            const bool card_in = Exists("/mnt/USB0");
            if (card_in && Exists(folder)) {
                if (card_was_in) {
                    tavixFtpStates = TavixFtpState::WaitEnd;
                    StopForUpload();
                } else {
                    tavixFtpStates = TavixFtpState::WaitFolder;
                }
            }
            card_was_in = card_in;
        }
        break;
    case TavixFtpState::WaitEnd:
        if (TavixServerState == TavixState::Stopped && LookDue() && Exists("/mnt/USB0/EndOfFTP.txt")) {
            char p[512];
            unlink(Host("/mnt/USB0/EndOfFTP.txt", p, sizeof p));
            sync();
            TavixFtping = 0;
            TavixServerState = TavixState::StartRequested;
            tavixFtpStates = TavixFtpState::WaitFolder;
        }
        break;
    default: tavixFtpStates = TavixFtpState::WaitFolder; break;
    }
}

void tavix_DemoUnlock() {
    int value = 0;
    // Already unlocked (the usual case between passes): nothing to post.
    if (sem_getvalue(&demoMutex, &value) == 0 && value >= 1) return;
    pthread_mutex_lock(&demo_release_guard);
    if (sem_getvalue(&demoMutex, &value) == 0 && value < 1) sem_post(&demoMutex);
    pthread_mutex_unlock(&demo_release_guard);
}

void tavix_startup() {
    char marker[512];
    if (PLAT_Path("/mnt/USB0/EndOfFTP.txt", marker, sizeof marker)) {
        const int fd = open(marker, O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            close(fd);
            PLAT_System("rm /mnt/USB0/EndOfFTP.txt");
            PLAT_System("sync");
        }
    }
    sem_init(&demoMutex, 0, 1);
    pthread_mutex_init(&TavixQueryFilterMutex, nullptr);
}

void tavix_main_step() {
    if (TavixHttp == 0 || tavix_start_passes <= TAVIX_START_PASSES) {
        // The counter stops at its top instead of wrapping back to 0.
        if (Cmd_Downloading == 0 && tavix_start_passes < 255) tavix_start_passes++;
        return;
    }
    tavix_DemoUnlock();
    tavix_check_ftp_state();
    if (DrevanoRuntime && drevano_variables_enumerateded && Cmd_Downloading) {
        // The download replaces the variables the server serves.
        TavixServerState = TavixState::StopRequested;
    } else {
        switch (TavixServerState.load()) {
        case TavixState::Stopped:
            if (TavixUpdateNewIp == 1) {
                TavixServerState = TavixState::StartRequested;
                TavixUpdateNewIp = 0;
            }
            break;
        case TavixState::StartRequested:
            if (!TavixFtping && !TavixThreadCreated) {
                // Marked before the thread exists, so its end (and its move
                // to running) always comes after these two stores.
                TavixThreadCreated = 1;
                TavixServerState = TavixState::Starting;
                if (!tavix_thread_create()) {
                    TavixThreadCreated = 0;
                    TavixServerState = TavixState::StartRequested;  // tried again at the next step
                }
            }
            break;
        case TavixState::Running:
            // A new address: stop now, start again once stopped.
            if (TavixUpdateNewIp == 1) TavixServerState = TavixState::StopRequested;
            break;
        case TavixState::StopRequested:
        case TavixState::Starting: break;
        }
    }
    tavix_DemoUnlock();
}

void tavix_card_checked(bool ok) {
    const TavixState s = TavixServerState;
    if (!ok) {
        TavixFtping = 0;
        TavixServerState = TavixState::StopRequested;
    } else if ((s == TavixState::StopRequested || s == TavixState::Stopped) && TavixFtping == 0 && TavixHttp) {
        tavixFtpStates = TavixFtpState::WaitFolder;
        TavixServerState = TavixState::StartRequested;
    }
}

TavixState tavix_state() { return TavixServerState; }
void tavix_state_set(TavixState state) { TavixServerState = state; }
bool tavix_thread_exists() { return TavixThreadCreated != 0; }
uint8_t tavix_ftping() { return TavixFtping; }
void tavix_ftping_set(uint8_t v) { TavixFtping = v; }
