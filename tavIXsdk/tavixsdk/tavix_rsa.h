// RSA keys of the web server (LibTomMath): a temporary key made at every
// server start, import of a DER key, the raw operation with the CRT shortcut,
// and PKCS#1 v1.5 encryption and decryption of passwords and session keys.
#pragma once

#include <cstddef>
#include <cstdint>

struct tavix_rsa_key;  // eight big integers: e, d, n, p, q, qInv, dP, dQ

tavix_rsa_key *tavix_rsa_alloc();
void tavix_rsa_free(tavix_rsa_key *k);
// One big integer (big-endian bytes in and out).
struct tavix_bn;
// A new big integer at *out: 0; -1 no memory; -2 its initialisation failed.
int tavix_rsa_bn_init(tavix_bn **out);
void tavix_rsa_bn_clear(tavix_bn *n);  // frees it; null: nothing
// From count big-endian bytes: 0, or -1.
int tavix_rsa_bn_read(tavix_bn *n, const uint8_t *bytes, std::size_t count);
// Its big-endian bytes into out, which has room for tavix_rsa_bn_size(n): 0, or -1.
int tavix_rsa_bn_write(const tavix_bn *n, uint8_t *out);
std::size_t tavix_rsa_bn_size(const tavix_bn *n);
// A random prime of bits / 2 bits (top two bits set) with gcd(prime - 1, e)
// = 1, drawn into scratch (room for bits / 16 bytes), t and g the
// temporaries: 0, or -1 random data (also bits outside 16..4096), -2
// reading, -3 prime test, -4 subtraction, -5 gcd (an even e at once, and
// an e sharing a factor with prime - 1 of 10,000 primes in a row: no prime
// of this size would ever do).
int tavix_rsa_bn_rand_prime(tavix_bn *out, int bits, const tavix_bn *e, uint8_t *scratch, tavix_bn *t, tavix_bn *g);

// 0; -1 size outside 1024..4096 bits; -2 no memory; -3 arithmetic failure
// (also an even exponent or one below 3: no key can be made of it).
int tavix_rsa_make_key(tavix_rsa_key *k, int bits, uint32_t e);
// 0, or -1 (input above the modulus, or *out_len too small: the needed length written back).
int tavix_rsa_exptmod(const tavix_rsa_key *k, bool private_op, const uint8_t *in, std::size_t in_len, uint8_t *out,
                      std::size_t *out_len);
// A public key from its big-endian modulus and exponent; 0, or -1.
int tavix_rsa_set_public(tavix_rsa_key *k, const uint8_t *n, std::size_t n_len, const uint8_t *e, std::size_t e_len);
// Bytes of the modulus.
std::size_t tavix_rsa_modulus_size(const tavix_rsa_key *k);

// The server's key (options): replaced only when the new one is whole.
int tavix_options_generate_temporary_rsa(int bits, uint32_t e);
int tavix_options_set_rsa_from_buffer(const uint8_t *der, std::size_t n);
int tavix_options_set_rsa_from_file(const char *path);
void tavix_options_free_rsa();
// The server's public parts (big-endian): copied; the key record of other
// parts is dropped. 0, or -1 (nothing changed) when a part is missing or too long.
int tavix_options_set_public_encryption_options(const uint8_t *modulus, std::size_t modulus_length,
                                                const uint8_t *exponent, std::size_t exponent_length);
// The private parts (big-endian), with the public parts set before, make the
// server's key record. 0, or -1 (nothing changed) when a part is missing.
struct tavix_rsa_part {
    const uint8_t *bytes;
    std::size_t length;
};
struct tavix_rsa_private_parts {
    tavix_rsa_part d, p, q, dp, dq, qinv;
};
int tavix_options_set_private_encryption_options(const tavix_rsa_private_parts *parts);
// Big-endian modulus and public exponent of the server's key (null when none).
const uint8_t *tavix_options_rsa_modulus(std::size_t *n);
const uint8_t *tavix_options_rsa_exponent(std::size_t *n);
// One DER INTEGER: bytes consumed, or -1.
long tavix_options_der_decode_integer(const uint8_t *der, std::size_t avail, uint8_t *out, std::size_t room,
                                      std::size_t *length);

// Decrypts hexadecimal cipher text with the server's key; message length, or -1.
long tavix_auth_rsa_decrypt(const char *hex, char *out, std::size_t out_size);
// Encrypts text with a public key into lower-case hex; hex length, or -1.
long tavix_auth_rsa_encrypt(const char *text, const tavix_rsa_key *pub, char *out, std::size_t out_size);
// The server's key record (null when none).
const tavix_rsa_key *tavix_options_rsa_key();
