/* Stand-in libssl for the platform tests: every entry point of the loader's
   name table as a function that does nothing, built once with all of them,
   once without TLSv1_2_client_method (as a libssl built without the old
   method names) and once without SSL_shutdown. Only loaded, never used for
   a connection. */
#include <stddef.h>
#include <stdint.h>

static int method_tag;

const void *TLS_server_method(void) { return &method_tag; }
#ifndef TLS_STUB_NO_TLS12
const void *TLSv1_2_client_method(void) { return &method_tag; }
#endif
int OPENSSL_init_ssl(uint64_t options, const void *settings) {
    (void)options;
    (void)settings;
    return 1;
}
void *SSL_CTX_new(const void *method) {
    (void)method;
    return NULL;
}
void SSL_CTX_free(void *ctx) { (void)ctx; }
void SSL_CTX_set_default_passwd_cb(void *ctx, void *cb) {
    (void)ctx;
    (void)cb;
}
int SSL_CTX_use_certificate_file(void *ctx, const char *file, int type) {
    (void)ctx;
    (void)file;
    (void)type;
    return 0;
}
int SSL_CTX_use_PrivateKey_file(void *ctx, const char *file, int type) {
    (void)ctx;
    (void)file;
    (void)type;
    return 0;
}
void *SSL_new(void *ctx) {
    (void)ctx;
    return NULL;
}
void SSL_free(void *ssl) { (void)ssl; }
int SSL_set_fd(void *ssl, int fd) {
    (void)ssl;
    (void)fd;
    return 0;
}
void SSL_set_accept_state(void *ssl) { (void)ssl; }
void SSL_set_connect_state(void *ssl) { (void)ssl; }
int SSL_accept(void *ssl) {
    (void)ssl;
    return -1;
}
int SSL_connect(void *ssl) {
    (void)ssl;
    return -1;
}
int SSL_read(void *ssl, void *buf, int n) {
    (void)ssl;
    (void)buf;
    (void)n;
    return -1;
}
int SSL_write(void *ssl, const void *buf, int n) {
    (void)ssl;
    (void)buf;
    (void)n;
    return -1;
}
int SSL_pending(const void *ssl) {
    (void)ssl;
    return 0;
}
int SSL_get_error(const void *ssl, int result) {
    (void)ssl;
    (void)result;
    return 5;
}
#ifndef TLS_STUB_NO_SHUTDOWN
int SSL_shutdown(void *ssl) {
    (void)ssl;
    return 1;
}
#endif
