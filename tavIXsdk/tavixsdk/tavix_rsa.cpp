// RSA keys on LibTomMath.
#include "tavIXsdk/tavixsdk/tavix_rsa.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <tommath.h>

#include "tavIXsdk/tavixsdk/tavix_util.h"

struct tavix_rsa_key {
    mp_int e, d, n, p, q, qinv, dp, dq;
};

namespace {

// Plain storage: the web thread may still hold the key while the process ends.
struct ServerKey {
    tavix_rsa_key *key;
    uint8_t n[512], e[64];  // big-endian public parts
    std::size_t n_len, e_len;
} server;

bool Init(tavix_rsa_key *k) {
    return mp_init_multi(&k->e, &k->d, &k->n, &k->p, &k->q, &k->qinv, &k->dp, &k->dq, nullptr) == MP_OKAY;
}

// A number's big-endian bytes into out; the count, 0 when it does not fit.
std::size_t Bytes(const mp_int *v, uint8_t *out, std::size_t room) {
    std::size_t w = 0;
    if (mp_ubin_size(v) > room || mp_to_ubin(v, out, room, &w) != MP_OKAY) return 0;
    return w;
}

// What a failed libtommath call answers: -2 when memory ran out, else the
// caller's own code for the step.
int Failed(mp_err err, int code) { return err == MP_MEM ? -2 : code; }

// The prime search: a random prime of bits / 2 bits with gcd(prime - 1, e)
// = 1, drawn into scratch (bits / 16 bytes), t and g its temporaries. 0, or
// -1 random data, -2 reading, -3 prime test, -4 subtraction, -5 gcd; *err
// is the failing libtommath code (MP_OKAY for the random source).
int PrimeSearch(mp_int *out, int bits, const mp_int *e, uint8_t *scratch, mp_int *t, mp_int *g, mp_err *err) {
    *err = MP_OKAY;
    const std::size_t n = std::size_t(bits / 16);
    // An even e (0 too) shares the factor 2 with every prime - 1: no gcd of
    // 1 would ever come, and the search would never end.
    if (mp_iseven(e)) return -5;
    // An odd e may still share a factor with prime - 1 of every prime of a
    // small size (3 x 5 x 7 x 29 x 113 does for all 8-bit ones): after this
    // many primes turned down by the gcd the search gives up. Even e = 3
    // turns down half the primes, so a search that can succeed never comes
    // near it.
    constexpr int kGcdRefusals = 10000;
    int refused = 0;
    for (;;) {
        // Without the random source every draw would repeat the one before,
        // and the search never end: the key cannot be made.
        if (tavix_sys_fill_random(scratch, n) != 0) return -1;
        scratch[0] |= 0xC0;
        scratch[n - 1] |= 0x01;
        mp_bool prime = MP_NO;
        if ((*err = mp_from_ubin(out, scratch, n)) != MP_OKAY) return -2;
        if ((*err = mp_prime_is_prime(out, 8, &prime)) != MP_OKAY) return -3;
        if (prime != MP_YES) continue;
        if ((*err = mp_sub_d(out, 1, t)) != MP_OKAY) return -4;
        if ((*err = mp_gcd(t, e, g)) != MP_OKAY) return -5;
        if (mp_cmp_d(g, 1) == MP_EQ) return 0;
        if (++refused >= kGcdRefusals) return -5;
    }
}

// The prime search of key generation; 0, -1 the random source failed, -2 no
// memory, else below -2.
int RandPrime(mp_int *out, int bits, const mp_int *e) {
    // bits is at most 4,096: the draw fits a fixed buffer (a vector here
    // threw out of the C interface when memory ran out)
    std::array<uint8_t, 4096 / 16> buf{};
    mp_int t, g;
    if (mp_init_multi(&t, &g, nullptr) != MP_OKAY) return -2;
    mp_err err = MP_OKAY;
    int rc = PrimeSearch(out, bits, e, buf.data(), &t, &g, &err);
    if (rc != 0 && err != MP_OKAY) rc = Failed(err, -3);
    mp_clear_multi(&t, &g, nullptr);
    return rc;
}

void Install(tavix_rsa_key *k) {
    tavix_options_free_rsa();
    server.key = k;
    server.n_len = Bytes(&k->n, server.n, sizeof server.n);
    server.e_len = Bytes(&k->e, server.e, sizeof server.e);
}

// A DER length at p; false when it runs past the data or takes more than 2 bytes.
bool DerLength(const uint8_t *der, std::size_t avail, std::size_t &p, std::size_t &len) {
    if (p >= avail) return false;
    const uint8_t b = der[p++];
    if (b < 0x80) {
        len = b;
    } else {
        const int k = b & 0x7F;
        if (k < 1 || k > 2 || p + std::size_t(k) > avail) return false;
        len = 0;
        for (int i = 0; i < k; i++) len = len << 8 | der[p++];
    }
    return len <= avail - p;
}

}  // namespace

tavix_rsa_key *tavix_rsa_alloc() {
    auto *k = static_cast<tavix_rsa_key *>(std::calloc(1, sizeof(tavix_rsa_key)));
    if (k == nullptr) return nullptr;
    if (!Init(k)) {
        std::free(k);
        return nullptr;
    }
    return k;
}

void tavix_rsa_free(tavix_rsa_key *k) {
    if (k == nullptr) return;
    mp_clear_multi(&k->e, &k->d, &k->n, &k->p, &k->q, &k->qinv, &k->dp, &k->dq, nullptr);
    std::free(k);
}

int tavix_rsa_make_key(tavix_rsa_key *k, int bits, uint32_t e) {
    if (bits < 1024 || bits > 4096) return -1;
    // An even exponent (0 too) shares the factor 2 with every prime - 1: the
    // prime search would never end. An exponent of 1 makes a key whose
    // operation leaves every input as it is. Neither gives a key.
    if (e < 3 || e % 2 == 0) return -3;
    mp_int p1, q1, lambda;
    if (mp_init_multi(&p1, &q1, &lambda, nullptr) != MP_OKAY) return -2;
    mp_set_u32(&k->e, e);
    int rc = RandPrime(&k->p, bits, &k->e);
    if (rc == 0) rc = RandPrime(&k->q, bits, &k->e);
    if (rc == 0) {
        mp_err err = mp_sub_d(&k->p, 1, &p1);
        if (err == MP_OKAY) err = mp_sub_d(&k->q, 1, &q1);
        if (err == MP_OKAY) err = mp_lcm(&p1, &q1, &lambda);
        if (err == MP_OKAY) err = mp_invmod(&k->e, &lambda, &k->d);
        if (err == MP_OKAY) err = mp_mul(&k->p, &k->q, &k->n);
        if (err == MP_OKAY) err = mp_mod(&k->d, &p1, &k->dp);
        if (err == MP_OKAY) err = mp_mod(&k->d, &q1, &k->dq);
        if (err == MP_OKAY) err = mp_invmod(&k->q, &k->p, &k->qinv);
        if (err != MP_OKAY) rc = Failed(err, -3);
    } else if (rc != -2) {
        rc = -3;  // the random source or a prime step failed
    }
    mp_clear_multi(&p1, &q1, &lambda, nullptr);
    return rc;
}

struct tavix_bn {
    mp_int v;
};

int tavix_rsa_bn_init(tavix_bn **out) {
    *out = static_cast<tavix_bn *>(std::calloc(1, sizeof(tavix_bn)));
    if (*out == nullptr) return -1;
    if (mp_init(&(*out)->v) != MP_OKAY) {
        std::free(*out);
        *out = nullptr;
        return -2;
    }
    return 0;
}

void tavix_rsa_bn_clear(tavix_bn *n) {
    if (n == nullptr) return;
    mp_clear(&n->v);
    std::free(n);
}

int tavix_rsa_bn_read(tavix_bn *n, const uint8_t *bytes, std::size_t count) {
    return mp_from_ubin(&n->v, bytes, count) == MP_OKAY ? 0 : -1;
}

int tavix_rsa_bn_write(const tavix_bn *n, uint8_t *out) {
    std::size_t w = 0;
    return mp_to_ubin(&n->v, out, mp_ubin_size(&n->v), &w) == MP_OKAY ? 0 : -1;
}

std::size_t tavix_rsa_bn_size(const tavix_bn *n) { return mp_ubin_size(&n->v); }

int tavix_rsa_bn_rand_prime(tavix_bn *out, int bits, const tavix_bn *e, uint8_t *scratch, tavix_bn *t, tavix_bn *g) {
    if (bits < 16 || bits > 4096) return -1;  // no bytes to draw, or past the largest key
    mp_err err = MP_OKAY;
    return PrimeSearch(&out->v, bits, &e->v, scratch, &t->v, &g->v, &err);
}

int tavix_rsa_set_public(tavix_rsa_key *k, const uint8_t *n, std::size_t n_len, const uint8_t *e, std::size_t e_len) {
    if (k == nullptr || n_len == 0 || e_len == 0) return -1;
    return mp_from_ubin(&k->n, n, n_len) == MP_OKAY && mp_from_ubin(&k->e, e, e_len) == MP_OKAY && !mp_iszero(&k->n)
               ? 0
               : -1;
}

std::size_t tavix_rsa_modulus_size(const tavix_rsa_key *k) { return mp_ubin_size(&k->n); }

int tavix_rsa_exptmod(const tavix_rsa_key *k, bool private_op, const uint8_t *in, std::size_t in_len, uint8_t *out,
                      std::size_t *out_len) {
    const std::size_t size = mp_ubin_size(&k->n);
    if (*out_len < size) {
        *out_len = size;
        return -1;
    }
    mp_int x, a, b, t;
    if (mp_init_multi(&x, &a, &b, &t, nullptr) != MP_OKAY) return -1;
    int rc = -1;
    if (mp_from_ubin(&x, in, in_len) == MP_OKAY && mp_cmp(&x, &k->n) != MP_GT) {
        bool ok;
        if (!private_op) {
            ok = mp_exptmod(&x, &k->e, &k->n, &t) == MP_OKAY;
        } else {
            // Chinese remainders: a = x^dP mod p, b = x^dQ mod q, t = (a - b) qInv mod p, t q + b.
            ok = mp_exptmod(&x, &k->dp, &k->p, &a) == MP_OKAY && mp_exptmod(&x, &k->dq, &k->q, &b) == MP_OKAY &&
                 mp_sub(&a, &b, &t) == MP_OKAY && mp_mulmod(&t, &k->qinv, &k->p, &t) == MP_OKAY &&
                 mp_mul(&t, &k->q, &t) == MP_OKAY && mp_add(&t, &b, &t) == MP_OKAY;
        }
        const std::size_t n = ok ? mp_ubin_size(&t) : 0;
        std::size_t w = 0;
        if (ok && n <= size) {
            std::memset(out, 0, size - n);
            if (mp_to_ubin(&t, out + (size - n), n, &w) == MP_OKAY) {
                *out_len = size;
                rc = 0;
            }
        }
    }
    mp_clear_multi(&x, &a, &b, &t, nullptr);
    return rc;
}

void tavix_options_free_rsa() {
    tavix_rsa_free(server.key);
    server.key = nullptr;
    server.n_len = server.e_len = 0;
}

int tavix_options_generate_temporary_rsa(int bits, uint32_t e) {
    // The old key is let go only once the new one is made: a failure leaves
    // the server with the key it had rather than none.
    tavix_rsa_key *k = tavix_rsa_alloc();
    if (k == nullptr) return -1;
    if (tavix_rsa_make_key(k, bits, e) != 0) {
        tavix_rsa_free(k);
        return -1;
    }
    Install(k);
    return 0;
}

const uint8_t *tavix_options_rsa_modulus(std::size_t *n) {
    *n = server.n_len;
    return server.n_len == 0 ? nullptr : server.n;
}

const uint8_t *tavix_options_rsa_exponent(std::size_t *n) {
    *n = server.e_len;
    return server.e_len == 0 ? nullptr : server.e;
}

long tavix_options_der_decode_integer(const uint8_t *der, std::size_t avail, uint8_t *out, std::size_t room,
                                      std::size_t *length) {
    std::size_t p = 0, len = 0;
    if (avail < 2 || der[p++] != 0x02 || !DerLength(der, avail, p, len) || len > room) return -1;
    std::memcpy(out, der + p, len);
    *length = len;
    return long(p + len);
}

int tavix_options_set_rsa_from_buffer(const uint8_t *der, std::size_t avail) {
    static const uint8_t kRsaAlgorithm[13] = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7,
                                              0x0D, 0x01, 0x01, 0x01, 0x05, 0x00};
    std::size_t p = 0, len = 0;
    if (avail < 2 || der[p++] != 0x30 || !DerLength(der, avail, p, len)) return -1;
    const std::size_t end = p + len;
    if (end - p < 3 || der[p] != 0x02 || der[p + 1] != 0x01 || der[p + 2] != 0x00) return -1;
    p += 3;
    if (p < end && der[p] == 0x30) {
        // PKCS#8: the rsaEncryption identifier, then the key in an OCTET STRING.
        if (end - p < 15 || der[p + 1] != 13 || std::memcmp(der + p + 2, kRsaAlgorithm, 13) != 0) return -1;
        p += 15;
        std::size_t inner = 0;
        if (p >= end || der[p++] != 0x04 || !DerLength(der, end, p, inner)) return -1;
        std::size_t q = p, seq = 0;
        if (q >= end || der[q++] != 0x30 || !DerLength(der, end, q, seq)) return -1;
        if (end - q < 3 || der[q] != 0x02 || der[q + 1] != 0x01 || der[q + 2] != 0x00) return -1;
        p = q + 3;
    }
    tavix_rsa_key *k = tavix_rsa_alloc();
    if (k == nullptr) return -1;
    mp_int *order[8] = {&k->n, &k->e, &k->d, &k->p, &k->q, &k->dp, &k->dq, &k->qinv};
    uint8_t value[1024];
    for (mp_int *m : order) {
        std::size_t vl = 0;
        const long used = tavix_options_der_decode_integer(der + p, end - p, value, sizeof value, &vl);
        if (used < 0 || mp_from_ubin(m, value, vl) != MP_OKAY) {
            tavix_rsa_free(k);  // nothing installed, the old key stays, and the failure is answered (-1)
            return -1;
        }
        p += std::size_t(used);
    }
    // Parts past what the server publishes (a modulus over 4,096 bits) would
    // leave it a key whose modulus no page can learn: refused, the old key kept.
    if (mp_ubin_size(&k->n) > sizeof server.n || mp_ubin_size(&k->e) > sizeof server.e) {
        tavix_rsa_free(k);
        return -1;
    }
    Install(k);
    return 0;
}

int tavix_options_set_rsa_from_file(const char *path) {
    FILE *f = std::fopen(path, "rb");
    if (f == nullptr) return -1;
    uint8_t buf[4097];
    const std::size_t n = std::fread(buf, 1, sizeof buf, f);
    std::fclose(f);
    if (n == 0 || n > 4096) return -1;
    return tavix_options_set_rsa_from_buffer(buf, n);
}

long tavix_auth_rsa_decrypt(const char *hex, char *out, std::size_t out_size) {
    if (server.key == nullptr) return -1;
    const std::size_t size = server.n_len;
    uint8_t cipher[512], block[512];
    std::size_t cn = 0;
    if (size > sizeof block || std::strlen(hex) > 2 * size ||
        tavix_util_hex_decode(hex, long(std::strlen(hex)), cipher, sizeof cipher, &cn) != 0)
        return -1;
    std::size_t bn = sizeof block;
    if (tavix_rsa_exptmod(server.key, true, cipher, cn, block, &bn) != 0) return -1;
    if (block[0] != 0 || (block[1] != 1 && block[1] != 2)) return -1;
    std::size_t i = 2;
    while (i < bn && block[i] != 0) i++;
    if (i >= bn) return -1;
    const std::size_t mlen = bn - i - 1;
    if (mlen >= out_size) return -1;
    std::memcpy(out, block + i + 1, mlen);
    out[mlen] = 0;
    return long(mlen);
}

long tavix_auth_rsa_encrypt(const char *text, const tavix_rsa_key *pub, char *out, std::size_t out_size) {
    const std::size_t size = tavix_rsa_modulus_size(pub);
    const std::size_t tl = std::strlen(text);
    if (size > 512 || tl + 16 > size || out_size < 2 * size + 1) return -1;
    uint8_t block[512], cipher[512];
    block[0] = 0;
    block[1] = 2;
    const std::size_t pad = size - tl - 3;
    tavix_sys_get_random_data(block + 2, pad, false, true);
    block[2 + pad] = 0;
    std::memcpy(block + 3 + pad, text, tl);
    std::size_t cn = sizeof cipher;
    if (tavix_rsa_exptmod(pub, false, block, size, cipher, &cn) != 0) return -1;
    tavix_util_hex_encode(cipher, cn, out);
    return long(2 * cn);
}

const tavix_rsa_key *tavix_options_rsa_key() { return server.key; }

int tavix_options_set_public_encryption_options(const uint8_t *modulus, std::size_t modulus_length,
                                                const uint8_t *exponent, std::size_t exponent_length) {
    // Parts longer than the server publishes (a 4,096-bit modulus, a 64-byte
    // exponent) are refused rather than cut: a cut modulus would be another key.
    if (modulus == nullptr || exponent == nullptr || modulus_length == 0 || exponent_length == 0 ||
        modulus_length > sizeof server.n || exponent_length > sizeof server.e)
        return -1;
    // The private parts of another key no longer belong to these.
    tavix_options_free_rsa();
    std::memcpy(server.n, modulus, modulus_length);
    std::memcpy(server.e, exponent, exponent_length);
    server.n_len = modulus_length;
    server.e_len = exponent_length;
    return 0;
}

int tavix_options_set_private_encryption_options(const tavix_rsa_private_parts *parts) {
    if (parts == nullptr || server.n_len == 0 || server.e_len == 0) return -1;
    const tavix_rsa_part *in[6] = {&parts->d, &parts->p, &parts->q, &parts->dp, &parts->dq, &parts->qinv};
    for (const tavix_rsa_part *x : in)
        if (x->bytes == nullptr || x->length == 0) return -1;
    tavix_rsa_key *k = tavix_rsa_alloc();
    if (k == nullptr) return -1;
    mp_int *out[6] = {&k->d, &k->p, &k->q, &k->dp, &k->dq, &k->qinv};
    bool ok = mp_from_ubin(&k->n, server.n, server.n_len) == MP_OKAY &&
              mp_from_ubin(&k->e, server.e, server.e_len) == MP_OKAY;
    for (int i = 0; i < 6 && ok; i++) ok = mp_from_ubin(out[i], in[i]->bytes, in[i]->length) == MP_OKAY;
    if (!ok) {
        tavix_rsa_free(k);
        return -1;
    }
    tavix_rsa_free(server.key);
    server.key = k;
    return 0;
}
