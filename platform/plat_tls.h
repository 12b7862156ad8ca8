// TLS for the web server and the e-mail client: libssl is loaded at run time
// (the unversioned name, then the versioned one) and the entry points both
// use are looked up by name once, in one table. A machine without the
// library, or with one that lacks an entry point, has no TLS; everything
// else runs. Handles are the library's own (SSL, SSL_CTX), carried opaque.
#pragma once

#include <cstdint>

// PLAT_TlsLoad's answers.
constexpr int PLAT_TLS_READY = 0;
constexpr int PLAT_TLS_NO_LIBRARY = 1;  // no name of plat_tls_libraries loads
constexpr int PLAT_TLS_NO_ENTRY = 2;    // the library lacks an entry point: not used

// The names tried in order, null-terminated: "libssl.so", "libssl.so.3".
// Replaced only by tests.
extern const char *const *plat_tls_libraries;

// Opens and initialises the library once (both threads may ask); a failure
// is not kept, the next call tries again.
int PLAT_TlsLoad();
// True once a load succeeded.
bool PLAT_TlsReady();
// Closes the library and forgets the table (tests; every handle made with it
// must be freed first).
void PLAT_TlsClose();

// The entry points; call them only while PLAT_TlsReady() holds.
using PlatTlsPassword = int (*)(char *buf, int size, int rwflag, void *user);
const void *PLAT_TlsServerMethod();
const void *PLAT_Tls12ClientMethod();  // TLS 1.2 only; null when the library has no such method
void *PLAT_SslCtxNew(const void *method);
void PLAT_SslCtxFree(void *ctx);
void PLAT_SslCtxSetPasswordCb(void *ctx, PlatTlsPassword cb);
// PEM file (type 1) of the certificate, of the private key: 1 loaded.
int PLAT_SslCtxUseCertificateFile(void *ctx, const char *file, int type);
int PLAT_SslCtxUsePrivateKeyFile(void *ctx, const char *file, int type);
void *PLAT_SslNew(void *ctx);
void PLAT_SslFree(void *ssl);
int PLAT_SslSetFd(void *ssl, int fd);
void PLAT_SslSetAcceptState(void *ssl);
void PLAT_SslSetConnectState(void *ssl);
int PLAT_SslConnect(void *ssl);
int PLAT_SslRead(void *ssl, void *buf, int n);
int PLAT_SslWrite(void *ssl, const void *buf, int n);
int PLAT_SslGetError(const void *ssl, int result);
// Frees the calling thread's state in the library (its error queue); nothing
// without the library or where the library has no such call.
void PLAT_TlsThreadStop();
