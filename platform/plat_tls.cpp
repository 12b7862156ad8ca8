// libssl loaded at run time: one table of entry points for every user.
#include "platform/plat_tls.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <mutex>

#include "platform/plat_dl.h"

namespace {

const char *const kLibraries[] = {"libssl.so", "libssl.so.3", nullptr};

// Entry points, in the order of kNames: the web server's name table (19
// names), each required. TLSv1_2_client_method (the e-mail client's) is
// looked up beside it and may be missing: a libssl without the old method
// names still serves HTTPS.
enum Entry : std::size_t {
    FREE,
    ACCEPT,
    CONNECT,
    READ,
    WRITE,
    GET_ERROR,
    SET_FD,
    NEW,
    CTX_NEW,
    SERVER_METHOD,
    INIT,
    CTX_USE_PRIVATE_KEY,
    CTX_USE_CERTIFICATE,
    CTX_PASSWORD_CB,
    PENDING,
    CTX_FREE,
    SET_CONNECT_STATE,
    SET_ACCEPT_STATE,
    SHUTDOWN,
    ENTRIES
};
constexpr std::array<const char *, ENTRIES + 1> kNames = {"SSL_free",
                                                          "SSL_accept",
                                                          "SSL_connect",
                                                          "SSL_read",
                                                          "SSL_write",
                                                          "SSL_get_error",
                                                          "SSL_set_fd",
                                                          "SSL_new",
                                                          "SSL_CTX_new",
                                                          "TLS_server_method",
                                                          "OPENSSL_init_ssl",
                                                          "SSL_CTX_use_PrivateKey_file",
                                                          "SSL_CTX_use_certificate_file",
                                                          "SSL_CTX_set_default_passwd_cb",
                                                          "SSL_pending",
                                                          "SSL_CTX_free",
                                                          "SSL_set_connect_state",
                                                          "SSL_set_accept_state",
                                                          "SSL_shutdown",
                                                          nullptr};
static_assert(kNames[ENTRIES - 1] != nullptr && kNames[ENTRIES] == nullptr, "one name per entry");

// Written under load_lock before ready is set; read by any thread after.
std::mutex load_lock;
void *library;
std::array<void *, ENTRIES> slots;
void *thread_stop;   // OPENSSL_thread_stop, where the library has it
void *tls12_client;  // TLSv1_2_client_method, where the library has it
std::atomic<bool> ready;

template <class R, class... A>
R Call(Entry e, A... a) {
    return reinterpret_cast<R (*)(A...)>(slots[e])(a...);
}

}  // namespace

const char *const *plat_tls_libraries = kLibraries;

int PLAT_TlsLoad() {
    if (ready.load(std::memory_order_acquire)) return PLAT_TLS_READY;
    const std::lock_guard<std::mutex> hold(load_lock);
    if (ready.load(std::memory_order_relaxed)) return PLAT_TLS_READY;
    void *h = PLAT_DlOpen(plat_tls_libraries);
    if (h == nullptr) return PLAT_TLS_NO_LIBRARY;
    std::array<void *, ENTRIES> found{};
    if (PLAT_DlResolve(h, kNames.data(), found.data()) != nullptr) {
        PLAT_DlClose(h);
        return PLAT_TLS_NO_ENTRY;
    }
    library = h;
    slots = found;
    thread_stop = PLAT_DlSym(h, "OPENSSL_thread_stop", nullptr);
    tls12_client = PLAT_DlSym(h, "TLSv1_2_client_method", nullptr);
    Call<int>(INIT, uint64_t(0), static_cast<const void *>(nullptr));
    ready.store(true, std::memory_order_release);
    return PLAT_TLS_READY;
}

bool PLAT_TlsReady() { return ready.load(std::memory_order_acquire); }

void PLAT_TlsClose() {
    const std::lock_guard<std::mutex> hold(load_lock);
    ready.store(false, std::memory_order_release);
    slots.fill(nullptr);
    thread_stop = nullptr;
    tls12_client = nullptr;
    PLAT_DlClose(library);
    library = nullptr;
}

const void *PLAT_TlsServerMethod() { return Call<const void *>(SERVER_METHOD); }
const void *PLAT_Tls12ClientMethod() {
    return tls12_client != nullptr ? reinterpret_cast<const void *(*)()>(tls12_client)() : nullptr;
}
void *PLAT_SslCtxNew(const void *method) { return Call<void *>(CTX_NEW, method); }
void PLAT_SslCtxFree(void *ctx) { Call<void>(CTX_FREE, ctx); }
void PLAT_SslCtxSetPasswordCb(void *ctx, PlatTlsPassword cb) { Call<void>(CTX_PASSWORD_CB, ctx, cb); }
int PLAT_SslCtxUseCertificateFile(void *ctx, const char *file, int type) {
    return Call<int>(CTX_USE_CERTIFICATE, ctx, file, type);
}
int PLAT_SslCtxUsePrivateKeyFile(void *ctx, const char *file, int type) {
    return Call<int>(CTX_USE_PRIVATE_KEY, ctx, file, type);
}
void *PLAT_SslNew(void *ctx) { return Call<void *>(NEW, ctx); }
void PLAT_SslFree(void *ssl) { Call<void>(FREE, ssl); }
int PLAT_SslSetFd(void *ssl, int fd) { return Call<int>(SET_FD, ssl, fd); }
void PLAT_SslSetAcceptState(void *ssl) { Call<void>(SET_ACCEPT_STATE, ssl); }
void PLAT_SslSetConnectState(void *ssl) { Call<void>(SET_CONNECT_STATE, ssl); }
int PLAT_SslConnect(void *ssl) { return Call<int>(CONNECT, ssl); }
int PLAT_SslRead(void *ssl, void *buf, int n) { return Call<int>(READ, ssl, buf, n); }
int PLAT_SslWrite(void *ssl, const void *buf, int n) { return Call<int>(WRITE, ssl, buf, n); }
int PLAT_SslGetError(const void *ssl, int result) { return Call<int>(GET_ERROR, ssl, result); }

void PLAT_TlsThreadStop() {
    if (!ready.load(std::memory_order_acquire) || thread_stop == nullptr) return;
    reinterpret_cast<void (*)()>(thread_stop)();
}
