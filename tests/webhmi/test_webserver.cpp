// The web server's keys, sessions, logins and the controller's callbacks,
// in process. Keys and digests are checked against openssl and md5 values
// worked out outside the code.
#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <filesystem>
#include <string>
#include <utility>
#include <sched.h>
#include <sys/stat.h>
#include <thread>
#include <tuple>
#include <unistd.h>
#include <vector>

#include "core/image/plcreg.h"
#include "net/net.h"
#include "tests/support/md5_peer.h"
#include "tavIXsdk/tavixsdk/tavix_auth.h"
#include "tavIXsdk/tavixsdk/tavix_comm.h"
#include "tavIXsdk/tavixsdk/tavix_post.h"
#include "tavIXsdk/tavixsdk/tavix_remote.h"
#include "tavIXsdk/tavixsdk/tavix_rsa.h"
#include "tavIXsdk/tavixsdk/tavix_server.h"
#include "tavIXsdk/tavixsdk/tavix_session.h"
#include "tavIXsdk/tavixsdk/tavix_sys.h"
#include "tavIXsdk/tavixsdk/tavix_util.h"
#include "tests/support/temp_root.h"
#include "tests/support/web_clock.h"
#include "webhmi/weblife.h"
#include "webhmi/webusers.h"
#include "webhmi/webvars.h"

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// Allocations of the thread that arms this fail from the given count on
// (-1: none fail), so that a test can run libtommath out of memory at any
// step. The sanitizers' allocators stand in for these in their builds, and
// a memory checker's when it runs the tests.
namespace {
thread_local long g_allocs_before_failure = -1;
thread_local long g_allocs_seen = 0;
bool AllocationAllowed() {
    g_allocs_seen++;
    return g_allocs_before_failure < 0 || g_allocs_seen <= g_allocs_before_failure;
}
}  // namespace
extern "C" {
void *__libc_malloc(std::size_t);
void *__libc_calloc(std::size_t, std::size_t);
void *__libc_realloc(void *, std::size_t);
void *malloc(std::size_t n) { return AllocationAllowed() ? __libc_malloc(n) : nullptr; }
void *calloc(std::size_t n, std::size_t size) { return AllocationAllowed() ? __libc_calloc(n, size) : nullptr; }
void *realloc(void *p, std::size_t n) { return AllocationAllowed() ? __libc_realloc(p, n) : nullptr; }
}
#endif

namespace {

std::vector<std::string> logged;

struct WebServer : ::testing::Test {
    void SetUp() override {
        tavix_options_initialize();
        tavix_global_options.error_cb = [](const char *t) { logged.emplace_back(t); };
        logged.clear();
        tavix_comm_state_initialize();
        tavix_timer_start_imp(&tavix_comm_state.timer);
        tavix_auth_initialize();
        tavix_engine_session_initialize();
        plc_reg.fill(0);
    }
    void TearDown() override {
        tavix_engine_session_clear();
        tavix_auth_clear();
        tavix_options_free_rsa();
        tavix_acccess_rights_clear();
        tavix_buffer_free_all();
        tavix_options_free();
    }
    // Moves the server clock units half seconds on.
    static void Age(uint64_t units) { test_support::WebClock::Advance(units); }
    test_support::WebClock clock;
};

using test_support::Md5Peer;

// The product's MD5 in hex.
std::string Md5Of(const std::string &s) {
    char hex[33];
    tavix_md5_hex(s.data(), s.size(), hex);
    return hex;
}

std::string Shell(const std::string &cmd) {
    std::string out;
    FILE *p = popen(cmd.c_str(), "r");
    char buf[512];
    for (std::size_t n; p != nullptr && (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    if (p != nullptr) pclose(p);
    return out;
}

std::string Header(const char *sid, const std::string &key, int cnonce) {
    const std::string c = std::to_string(cnonce);
    return std::string("sessionid=\"") + sid + "\", cnonce=\"" + c + "\", digest=\"" +
           Md5Peer(std::string(sid) + ":" + key + ":" + c) + "\"\r\n";
}

}  // namespace

TEST_F(WebServer, RsaKeysGenerateImportAndDecrypt) {
    tavix_rsa_key *k = tavix_rsa_alloc();
    EXPECT_EQ(tavix_rsa_make_key(k, 512, 0x10001), -1);
    EXPECT_EQ(tavix_rsa_make_key(k, 8192, 0x10001), -1);
    // An even exponent shares the factor 2 with every prime - 1, so no prime
    // ever passes and the search would never end; an exponent of 1 makes a
    // key whose operation leaves the data as it is: both have no key (-3).
    EXPECT_EQ(tavix_rsa_make_key(k, 1024, 0), -3);
    EXPECT_EQ(tavix_rsa_make_key(k, 1024, 2), -3);
    EXPECT_EQ(tavix_rsa_make_key(k, 1024, 0x10000), -3);
    EXPECT_EQ(tavix_rsa_make_key(k, 1024, 1), -3);
    tavix_rsa_free(k);
    ASSERT_EQ(tavix_options_generate_temporary_rsa(1024, 0x10001), 0);
    std::size_t n = 0, e = 0;
    const uint8_t *mod = tavix_options_rsa_modulus(&n);
    const uint8_t *exp = tavix_options_rsa_exponent(&e);
    ASSERT_EQ(n, 128u);
    EXPECT_GE(mod[0], 0x80);
    ASSERT_EQ(e, 3u);
    EXPECT_EQ((std::vector<uint8_t>(exp, exp + 3)), (std::vector<uint8_t>{0x01, 0x00, 0x01}));
    // Public then private returns the input, left-padded to the modulus.
    const tavix_rsa_key *key = tavix_options_rsa_key();
    uint8_t in[3] = {1, 2, 3}, c[128], back[128];
    std::size_t cl = sizeof c, bl = sizeof back;
    ASSERT_EQ(tavix_rsa_exptmod(key, false, in, 3, c, &cl), 0);
    ASSERT_EQ(tavix_rsa_exptmod(key, true, c, cl, back, &bl), 0);
    EXPECT_EQ(bl, 128u);
    EXPECT_EQ(std::vector<uint8_t>(back, back + 125), std::vector<uint8_t>(125, 0));
    EXPECT_EQ((std::vector<uint8_t>(back + 125, back + 128)), (std::vector<uint8_t>{1, 2, 3}));
    std::vector<uint8_t> m(mod, mod + 128);
    bl = sizeof back;
    EXPECT_EQ(tavix_rsa_exptmod(key, false, m.data(), 128, back, &bl), 0);
    for (int i = 127; i >= 0 && ++m[size_t(i)] == 0; i--) {
    }  // modulus + 1, carrying when the low byte is 0xFF
    EXPECT_EQ(tavix_rsa_exptmod(key, false, m.data(), 128, back, &bl), -1);
    // A session key travels PKCS#1 v1.5 encrypted; block type 3 is refused.
    char hex[260], plain[64];
    ASSERT_EQ(tavix_auth_rsa_encrypt("my session key", key, hex, sizeof hex), 256);
    EXPECT_EQ(tavix_auth_rsa_decrypt(hex, plain, sizeof plain), 14);
    EXPECT_STREQ(plain, "my session key");
    uint8_t block[128] = {0, 3};
    std::memset(block + 2, 0x55, 100);
    block[102] = 0;
    cl = sizeof c;
    ASSERT_EQ(tavix_rsa_exptmod(key, false, block, 128, c, &cl), 0);
    tavix_util_hex_encode(c, 128, hex);
    EXPECT_EQ(tavix_auth_rsa_decrypt(hex, plain, sizeof plain), -1);

    // openssl's keys in both DER forms give openssl's modulus.
    test_support::TempRoot root;
    const std::string dir = root.path();
    Shell("openssl genrsa -traditional -out " + dir + "/k.pem 1024 2>/dev/null");
    Shell("openssl rsa -in " + dir + "/k.pem -outform DER -traditional -out " + dir + "/k1.der 2>/dev/null");
    Shell("openssl pkcs8 -topk8 -nocrypt -in " + dir + "/k.pem -outform DER -out " + dir + "/k8.der 2>/dev/null");
    std::string want = Shell("openssl rsa -in " + dir + "/k.pem -noout -modulus 2>/dev/null");
    ASSERT_EQ(want.rfind("Modulus=", 0), 0u) << want;
    want = want.substr(8, 256);
    for (const char *f : {"/k1.der", "/k8.der"}) {
        ASSERT_EQ(tavix_options_set_rsa_from_file((dir + f).c_str()), 0) << f;
        mod = tavix_options_rsa_modulus(&n);
        char got[260];
        tavix_util_hex_encode(mod, n, got);
        for (char &ch : want) ch = char(std::tolower(static_cast<unsigned char>(ch)));
        EXPECT_EQ(std::string(got), want) << f;
        // The private parts too (every one of them enters the decryption):
        // a text that openssl encrypts with the key comes back.
        const std::string cipher = Shell("printf secret-7 | openssl pkeyutl -encrypt -inkey " + dir +
                                         "/k.pem -pkeyopt rsa_padding_mode:pkcs1 | od -An -tx1 | tr -d ' \\n'");
        ASSERT_EQ(cipher.size(), 256u) << f;
        EXPECT_EQ(tavix_auth_rsa_decrypt(cipher.c_str(), plain, sizeof plain), 8) << f;
        EXPECT_STREQ(plain, "secret-7") << f;
    }
    EXPECT_EQ(tavix_options_set_rsa_from_file((dir + "/k.pem").c_str()), -1);
    mod = tavix_options_rsa_modulus(&n);
    ASSERT_EQ(n, 128u);  // the failed import left the key in place
    // Other refusals, each leaving the key in place: a PKCS#8 wrapper whose
    // algorithm is not rsaEncryption (1.2.840.113549.1.1.2), a length of 3 length bytes,
    // an empty file, a file of 4,097 bytes; an INTEGER past the room.
    const std::vector<uint8_t> md2 = {0x30, 0x17, 0x02, 0x01, 0x00, 0x30, 0x0D, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86,
                                      0xF7, 0x0D, 0x01, 0x01, 0x02, 0x05, 0x00, 0x04, 0x03, 0x30, 0x01, 0x00};
    EXPECT_EQ(tavix_options_set_rsa_from_buffer(md2.data(), md2.size()), -1);
    const uint8_t long3[] = {0x30, 0x83, 0x00, 0x00, 0x03, 0x02, 0x01, 0x00};
    EXPECT_EQ(tavix_options_set_rsa_from_buffer(long3, sizeof long3), -1);
    std::ofstream(dir + "/empty.der").close();
    EXPECT_EQ(tavix_options_set_rsa_from_file((dir + "/empty.der").c_str()), -1);
    std::ofstream(dir + "/big.der", std::ios::binary) << std::string(4097, '\x30');
    EXPECT_EQ(tavix_options_set_rsa_from_file((dir + "/big.der").c_str()), -1);
    mod = tavix_options_rsa_modulus(&n);
    ASSERT_EQ(n, 128u);
    uint8_t value[2];
    std::size_t vl = 0;
    const uint8_t int2[] = {0x02, 0x82, 0x00, 0x02, 0x01, 0x00}, int3[] = {0x02, 0x03, 0x01, 0x00, 0x01};
    EXPECT_EQ(tavix_options_der_decode_integer(int2, sizeof int2, value, sizeof value, &vl), 6);
    EXPECT_EQ(vl, 2u);
    EXPECT_EQ(tavix_options_der_decode_integer(int3, sizeof int3, value, sizeof value, &vl), -1);
    // Too little room for the result: the length needed comes back.
    uint8_t tiny[10];
    std::size_t tl = sizeof tiny;
    EXPECT_EQ(tavix_rsa_exptmod(tavix_options_rsa_key(), false, in, 3, tiny, &tl), -1);
    EXPECT_EQ(tl, 128u);
    // A modulus of 513 bytes (4,097 bits and more) is past what the server
    // publishes: the import is refused, and the key in place stays.
    std::vector<uint8_t> der = {0x30, 0x82, 0x02, 0x1F, 0x02, 0x01, 0x00, 0x02, 0x82, 0x02, 0x01, 0x01};
    der.insert(der.end(), 512, 0xAB);
    der.insert(der.end(), {0x02, 0x03, 0x01, 0x00, 0x01});
    for (int i = 0; i < 6; i++) der.insert(der.end(), {0x02, 0x01, 0x05});
    ASSERT_EQ(der.size(), 4u + 0x21Fu);
    const std::vector<uint8_t> before(mod, mod + n);
    EXPECT_EQ(tavix_options_set_rsa_from_buffer(der.data(), der.size()), -1);
    mod = tavix_options_rsa_modulus(&n);
    ASSERT_EQ(n, 128u);
    EXPECT_EQ(std::vector<uint8_t>(mod, mod + n), before);
    // Big integers by themselves: bytes in and out, and the prime search of a
    // 1,024-bit key (a 512-bit prime, top two bits set, odd, that openssl
    // takes for a prime, with gcd(p - 1, 65537) = 1 checked by the search).
    {
        tavix_bn *e = nullptr, *p = nullptr, *t = nullptr, *g = nullptr;
        ASSERT_EQ(tavix_rsa_bn_init(&e), 0);
        ASSERT_EQ(tavix_rsa_bn_init(&p), 0);
        ASSERT_EQ(tavix_rsa_bn_init(&t), 0);
        ASSERT_EQ(tavix_rsa_bn_init(&g), 0);
        const uint8_t e_bytes[] = {0x00, 0x01, 0x00, 0x01};  // a leading zero is not kept
        ASSERT_EQ(tavix_rsa_bn_read(e, e_bytes, sizeof e_bytes), 0);
        ASSERT_EQ(tavix_rsa_bn_size(e), 3u);
        uint8_t back[3] = {};
        ASSERT_EQ(tavix_rsa_bn_write(e, back), 0);
        EXPECT_EQ(std::vector<uint8_t>(back, back + 3), std::vector<uint8_t>({0x01, 0x00, 0x01}));
        uint8_t scratch[64];
        ASSERT_EQ(tavix_rsa_bn_rand_prime(p, 1024, e, scratch, t, g), 0);
        ASSERT_EQ(tavix_rsa_bn_size(p), 64u);
        uint8_t prime[64];
        ASSERT_EQ(tavix_rsa_bn_write(p, prime), 0);
        EXPECT_EQ(prime[0] & 0xC0, 0xC0);
        EXPECT_EQ(prime[63] & 0x01, 0x01);
        std::string hex;
        for (const uint8_t b : prime) hex += "0123456789ABCDEF"[b >> 4], hex += "0123456789ABCDEF"[b & 15];
        EXPECT_NE(Shell("openssl prime -hex " + hex).find(" is prime"), std::string::npos) << hex;
        // out of range, an even e (no prime would ever do), no random source
        EXPECT_EQ(tavix_rsa_bn_rand_prime(p, 8, e, scratch, t, g), -1);
        EXPECT_EQ(tavix_rsa_bn_rand_prime(p, 4112, e, scratch, t, g), -1);
        const uint8_t two = 2;
        ASSERT_EQ(tavix_rsa_bn_read(g, &two, 1), 0);
        EXPECT_EQ(tavix_rsa_bn_rand_prime(p, 1024, g, scratch, t, e), -5);
        // An odd e = 3 x 5 x 7 x 29 x 113 = 344,085 shares a factor with
        // prime - 1 of every 8-bit prime with the top two bits set (193, 197,
        // 199, 211, 223, 227, 229, 233, 239, 241, 251): the search gives up
        // (-5) rather than drawing for ever.
        const uint8_t covering[] = {0x05, 0x40, 0x15};
        ASSERT_EQ(tavix_rsa_bn_read(g, covering, sizeof covering), 0);
        EXPECT_EQ(tavix_rsa_bn_rand_prime(p, 16, g, scratch, t, e), -5);
        tavix_sys_random_path = "/nonexistent/urandom";
        EXPECT_EQ(tavix_rsa_bn_rand_prime(p, 1024, e, scratch, t, g), -1);
        tavix_sys_random_path = "/dev/urandom";
        for (tavix_bn *b : {e, p, t, g}) tavix_rsa_bn_clear(b);
        tavix_rsa_bn_clear(nullptr);
    }
    // Without a random source the prime search would draw the same bytes for
    // ever: making the key fails at once, and the key in place stays.
    tavix_sys_random_path = "/nonexistent/urandom";
    tavix_rsa_key *blind = tavix_rsa_alloc();
    EXPECT_EQ(tavix_rsa_make_key(blind, 1024, 0x10001), -3);
    tavix_rsa_free(blind);
    EXPECT_EQ(tavix_options_generate_temporary_rsa(1024, 0x10001), -1);
    tavix_sys_random_path = "/dev/urandom";
    mod = tavix_options_rsa_modulus(&n);
    ASSERT_EQ(n, 128u);
    EXPECT_EQ(std::vector<uint8_t>(mod, mod + n), before);
}

// The big-endian bytes of one part of "openssl rsa -text" (its hex lines).
std::vector<uint8_t> Part(const std::string &text, const std::string &name) {
    std::vector<uint8_t> out;
    std::size_t at = text.find("\n" + name + ":");
    if (at == std::string::npos) return out;
    at = text.find('\n', at + 1);
    std::string hex;
    while (at != std::string::npos && at + 1 < text.size() && text[at + 1] == ' ') {
        const std::size_t end = text.find('\n', at + 1);
        for (std::size_t i = at + 1; i < (end == std::string::npos ? text.size() : end); i++)
            if (std::isxdigit(static_cast<unsigned char>(text[i]))) hex += text[i];
        at = end;
    }
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(uint8_t(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

TEST_F(WebServer, MemoryRunningOutAnywhereInKeyGenerationAnswersMinusTwo) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "allocations cannot be made to fail under the sanitizers";
#else
    // The random source gives the same 512-bit prime p (top two bits and the
    // lowest set, gcd(p - 1, 65537) = 1) at every draw, so p = q: every step
    // runs, and the last, q^-1 mod p, has no answer (-3, an arithmetic
    // failure). Running out of memory at any allocation before that is -2.
    test_support::TempRoot root;
    const std::string path = root.path() + "/prime.bin";
    const std::string hex =
        "ca559276cc085efe3f062bbd53df7181f5aa4b943def9a4edc5660ec0a3cb098"
        "db2392d0e2206af6dbca70ef0982e920b810b367868c58bd32805dcbbce00faf";
    std::string bytes;
    for (std::size_t i = 0; i < hex.size(); i += 2) bytes += char(std::stoi(hex.substr(i, 2), nullptr, 16));
    std::ofstream(path, std::ios::binary) << bytes;
    tavix_rsa_key *k = tavix_rsa_alloc();
    ASSERT_NE(k, nullptr);
    // whatever way the test ends, the key goes and the random source is the
    // system's again (later tests of this process draw from it)
    struct Restore {
        tavix_rsa_key *k;
        ~Restore() {
            tavix_rsa_free(k);
            tavix_sys_random_path = "/dev/urandom";
        }
    } restore{k};
    tavix_sys_random_path = path.c_str();
    g_allocs_seen = 0;
    EXPECT_EQ(tavix_rsa_make_key(k, 1024, 0x10001), -3);
    const long total = g_allocs_seen;
    if (total == 0) GTEST_SKIP() << "a memory checker's allocator stands in for the one this test fails";
    ASSERT_GT(total, 1000);
    // Each of the first allocations and of the last ones (the steps after the
    // primes), and points spread through the prime searches.
    std::vector<long> points;
    for (long at = 0; at < total; at += at < 32 || at >= total - 128 ? 1 : total / 64) points.push_back(at);
    // libtommath's own random witnesses make the count vary by an allocation
    // or two from one run to the next: a run that needed none past the point
    // still ends at q^-1 mod p.
    std::size_t failed = 0;
    for (const long at : points) {
        g_allocs_seen = 0;
        g_allocs_before_failure = at;
        const int rc = tavix_rsa_make_key(k, 1024, 0x10001);
        g_allocs_before_failure = -1;
        const bool ran_out = g_allocs_seen > at;
        failed += ran_out;
        EXPECT_EQ(rc, ran_out ? -2 : -3) << "allocation " << at << " of " << total;
    }
    EXPECT_GE(failed, points.size() - 8);
#endif
}

TEST_F(WebServer, KeyPartsSetByTheApplicationDecryptWhatOpensslEncrypted) {
    test_support::TempRoot root;
    const std::string dir = root.path();
    Shell("openssl genrsa -traditional -out " + dir + "/k.pem 1024 2>/dev/null");
    const std::string text = Shell("openssl rsa -in " + dir + "/k.pem -text -noout 2>/dev/null");
    const std::vector<uint8_t> n = Part(text, "modulus"), d = Part(text, "privateExponent"), p = Part(text, "prime1"),
                               q = Part(text, "prime2"), dp = Part(text, "exponent1"), dq = Part(text, "exponent2"),
                               qinv = Part(text, "coefficient");
    ASSERT_GE(n.size(), 128u) << text;
    const uint8_t e[3] = {0x01, 0x00, 0x01};
    // Private parts before public ones, or a part missing: nothing set.
    tavix_rsa_private_parts parts{{d.data(), d.size()},   {p.data(), p.size()},   {q.data(), q.size()},
                                  {dp.data(), dp.size()}, {dq.data(), dq.size()}, {qinv.data(), qinv.size()}};
    EXPECT_EQ(tavix_options_set_private_encryption_options(&parts), -1);
    EXPECT_EQ(tavix_options_set_public_encryption_options(n.data(), n.size(), nullptr, 0), -1);
    std::size_t len = 0;
    EXPECT_EQ(tavix_options_rsa_modulus(&len), nullptr);
    ASSERT_EQ(tavix_options_set_public_encryption_options(n.data(), n.size(), e, 3), 0);
    const uint8_t *mod = tavix_options_rsa_modulus(&len);
    EXPECT_EQ(std::vector<uint8_t>(mod, mod + len), n);
    EXPECT_EQ(tavix_options_rsa_key(), nullptr);
    tavix_rsa_private_parts partial = parts;
    partial.qinv = {nullptr, 0};
    EXPECT_EQ(tavix_options_set_private_encryption_options(&partial), -1);
    EXPECT_EQ(tavix_options_rsa_key(), nullptr);
    ASSERT_EQ(tavix_options_set_private_encryption_options(&parts), 0);
    ASSERT_NE(tavix_options_rsa_key(), nullptr);
    // openssl encrypts with PKCS#1 v1.5; the server's key decrypts.
    Shell("printf 'pass word' > " + dir + "/m.txt");
    Shell("openssl pkeyutl -encrypt -inkey " + dir + "/k.pem -pkeyopt rsa_padding_mode:pkcs1 -in " + dir +
          "/m.txt -out " + dir + "/c.bin 2>/dev/null");
    const std::string hex = Shell("od -An -v -tx1 " + dir + "/c.bin | tr -d ' \\n'");
    ASSERT_EQ(hex.size(), 2 * n.size() - (n[0] == 0 ? 2 : 0)) << hex;
    char plain[64];
    EXPECT_EQ(tavix_auth_rsa_decrypt(hex.c_str(), plain, sizeof plain), 9);
    EXPECT_STREQ(plain, "pass word");
}

TEST_F(WebServer, SessionsCountNoncesAndRefuseReplays) {
    tavix_session *s = nullptr;
    int code = 0;
    tavix_global_options.auth_method = 5;
    ASSERT_EQ(tavix_engine_session_create(0, "0", "k1", false, nullptr, nullptr, nullptr, false, &s, &code), 0);
    EXPECT_STREQ(s->id, "00000001");
    EXPECT_EQ(s->timeout, 1u);
    ASSERT_EQ(tavix_engine_session_create(0, "600", "k2", false, nullptr, nullptr, nullptr, false, &s, &code), 0);
    EXPECT_EQ(s->timeout, 60u);
    EXPECT_EQ(tavix_engine_session_create(0, nullptr, "", false, nullptr, nullptr, nullptr, false, &s, &code), -1);
    EXPECT_EQ(code, 457);
    EXPECT_EQ(tavix_engine_session_create(0, nullptr, "zz", true, nullptr, nullptr, nullptr, false, &s, &code), -1);
    EXPECT_EQ(code, 402);  // no key to decrypt with
    for (const char *key : {"k3", "k4"})
        ASSERT_EQ(tavix_engine_session_create(0, nullptr, key, false, nullptr, nullptr, nullptr, false, &s, &code), 0);
    EXPECT_EQ(tavix_engine_session_create(0, nullptr, "k5", false, nullptr, nullptr, nullptr, false, &s, &code), -1);
    EXPECT_EQ(code, 450);

    int index = -1;
    tavix_session *found = nullptr;
    auto verify = [&](int cnonce) {
        return tavix_engine_session_verify_header(Header("00000002", "k2", cnonce).c_str(), &found, &index);
    };
    EXPECT_EQ(verify(10), 0);
    EXPECT_EQ(index, 1);
    EXPECT_EQ(verify(10), 462);
    EXPECT_EQ(verify(5), 0);    // below the highest, not seen before
    EXPECT_EQ(verify(5), 462);  // now seen
    EXPECT_EQ(verify(2), 462);  // more than 7 below
    EXPECT_EQ(verify(100000), 462);
    EXPECT_EQ(verify(11), 0);
    EXPECT_EQ(verify(0), 462);
    EXPECT_EQ(tavix_engine_session_verify_header(Header("00000009", "k2", 1).c_str(), &found, &index), 451);
    std::string bad = Header("00000002", "wrong", 12);
    EXPECT_EQ(tavix_engine_session_verify_header(bad.c_str(), &found, &index), 403);
    EXPECT_EQ(tavix_engine_session_verify_header("sessionid=\"00000002\"\r\n", &found, &index), 453);
    EXPECT_EQ(tavix_engine_session_verify_header("sessionid=\"0000\r\n", &found, &index), 453);
    EXPECT_EQ(tavix_engine_session_verify_header(nullptr, &found, &index), 454);
    const std::string longer = std::string(300, 'x') + "\r\n";
    EXPECT_EQ(tavix_engine_session_verify_header(longer.c_str(), &found, &index), 453);
    // Long values inside the header's 256 bytes are read whole and answered
    // by the step they fail: a session id no session has (451), a digest
    // that is not 16 bytes of hex (403), a cnonce that is no number (462).
    const std::string sid20 = "00000002" + std::string(12, '0');
    EXPECT_EQ(
        tavix_engine_session_verify_header(
            ("sessionid=\"" + sid20 + "\", cnonce=\"13\", digest=\"" + Md5Peer(sid20 + ":k2:13") + "\"\r\n").c_str(),
            &found, &index),
        451);
    EXPECT_EQ(
        tavix_engine_session_verify_header(
            ("sessionid=\"00000002\", cnonce=\"13\", digest=\"" + Md5Peer("00000002:k2:13") + "00000000\"\r\n").c_str(),
            &found, &index),
        403);
    const std::string word(20, 'c');
    EXPECT_EQ(tavix_engine_session_verify_header(("sessionid=\"00000002\", cnonce=\"" + word + "\", digest=\"" +
                                                  Md5Peer("00000002:k2:" + word) + "\"\r\n")
                                                     .c_str(),
                                                 &found, &index),
              462);

    // Connection time-out: twice the keep-alive seconds in half seconds.
    tavix_session_table.connection_timeout = 60;
    tavix_session_table.inactivity_timeout = 300000;
    tavix_engine_session_delete_expired(119, nullptr);
    EXPECT_EQ(tavix_session_table.count, 4u);
    tavix_engine_session_delete_expired(120, nullptr);  // not yet later than 0 + 120
    EXPECT_EQ(tavix_session_table.count, 4u);
    tavix_engine_session_delete_expired(121 + tavix_sys_get_current_monotonous_time(), nullptr);
    EXPECT_EQ(tavix_session_table.count, 0u);
    ASSERT_FALSE(logged.empty());
    EXPECT_EQ(logged.back(), "Expiring session 00000001 due to connection timeout");

    // A session past both time-outs and aborted as well gives each reason its line.
    tavix_engine_hooks.utc_now = [] { return 1000u; };
    ASSERT_EQ(tavix_engine_session_create(0, nullptr, "k6", false, nullptr, nullptr, nullptr, false, &s, &code), 0);
    EXPECT_STREQ(s->id, "00000005");
    s->aborted = 1;
    tavix_session_table.inactivity_timeout = 300;
    tavix_engine_hooks.utc_now = [] { return 1301u; };
    logged.clear();
    tavix_engine_session_delete_expired(121 + tavix_sys_get_current_monotonous_time(), nullptr);
    tavix_engine_hooks.utc_now = nullptr;
    EXPECT_EQ(tavix_session_table.count, 0u);
    EXPECT_EQ(logged,
              (std::vector<std::string>{"Expiring session 00000005 due to connection timeout",
                                        "Expiring session 00000005 due to session (inactivity) timeout from webpage's",
                                        "Tearing session 00000005 down"}));
    // Inactivity alone: 300 s after its last activity a session stays, one second later it goes.
    tavix_engine_hooks.utc_now = [] { return 1000u; };
    ASSERT_EQ(tavix_engine_session_create(0, nullptr, "k7", false, nullptr, nullptr, nullptr, false, &s, &code), 0);
    tavix_engine_hooks.utc_now = [] { return 1300u; };
    tavix_engine_session_delete_expired(1, nullptr);
    EXPECT_EQ(tavix_session_table.count, 1u);
    tavix_engine_hooks.utc_now = [] { return 1301u; };
    logged.clear();
    tavix_engine_session_delete_expired(2, nullptr);
    tavix_engine_hooks.utc_now = nullptr;
    EXPECT_EQ(tavix_session_table.count, 0u);
    EXPECT_EQ(
        logged,
        (std::vector<std::string>{"Expiring session 00000006 due to session (inactivity) timeout from webpage's"}));
}

TEST_F(WebServer, LoginsUsersRightsAndStaleNonces) {
    const char cfg[] =
        "tavIX\r\nadmin;a9866e24426444567e0b2446f9f8db75;Right0;Right3\r\nbroken;x;Right0\r\nnext;y;R;R\r\n";
    // The file on the card: read whole; one that is there but cannot be read
    // (a folder in its place) leaves no user, and the console says so.
    test_support::TempRoot root;
    const std::string cfg_dir = root / "mnt/USB0/tavIX/config";
    Shell("mkdir -p " + cfg_dir);
    {
        FILE *f = std::fopen((cfg_dir + "/security.cfg").c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fwrite(cfg, 1, sizeof cfg - 1, f);
        std::fclose(f);
    }
    tavix_get_acccess_rights();
    EXPECT_EQ(user_access_rights_list.count, 1u);
    ASSERT_EQ(unlink((cfg_dir + "/security.cfg").c_str()), 0);
    ASSERT_EQ(mkdir((cfg_dir + "/security.cfg").c_str(), 0755), 0);
    testing::internal::CaptureStdout();
    tavix_get_acccess_rights();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "cannot read " + cfg_dir + "/security.cfg (Is a directory): no user can log in\n");
    EXPECT_EQ(user_access_rights_list.count, 0u);
    ASSERT_EQ(rmdir((cfg_dir + "/security.cfg").c_str()), 0);
    testing::internal::CaptureStdout();
    tavix_get_acccess_rights();  // missing: no users, nothing said
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    tavix_parse_access_rights(cfg, sizeof cfg - 1);
    ASSERT_EQ(user_access_rights_list.count, 1u);  // reading stops at the user without four fields
    EXPECT_STREQ(user_access_rights_list.realm, "tavIX");
    tavix_identity admin{"tavIX", "admin", {}, {}};
    const char *rights[10];
    EXPECT_EQ(tavix_authentication_user_rights(&admin, rights, 10), 4u);
    EXPECT_STREQ(rights[3], "Right3");
    EXPECT_EQ(rights[4], nullptr);
    char field[40];
    int status = -1;
    tavix_global_options.auth_method = 1;
    EXPECT_EQ(tavix_authentication_digest_cb(&admin, "secret1", field, &status), 0);
    EXPECT_STREQ(field, "a9866e24426444567e0b2446f9f8db75");
    EXPECT_EQ(tavix_authentication_digest_cb(&admin, "secret2", field, &status), -1);
    EXPECT_EQ(status, 405);

    // Digest through the access check: fresh grants, 61 units old is stale.
    tavix_global_options.auth_method = 2;
    tavix_auth_callbacks = {nullptr, tavix_authentication_digest_cb, nullptr};
    Age(100);
    char nonce[33];
    tavix_auth_make_nonce(nonce, tavix_sys_get_current_monotonous_time());
    auto authz = [&](const char *n, const std::string &nc = "00000001") {
        const std::string ha1 = "a9866e24426444567e0b2446f9f8db75";
        const std::string resp =
            Md5Peer(ha1 + ":" + n + ":" + nc + ":abc:auth:741dba7c5c5edd205d856484cd5149f8");  // GET:/x.htm
        return std::string("Digest username=\"admin\", realm=\"tavIX\", nonce=\"") + n +
               "\", uri=\"/x.htm\", response=\"" + resp + "\", qop=auth, nc=" + nc + ", cnonce=\"abc\"\r\n";
    };
    tavix_identity who{};
    int code = 0;
    bool stale = false;
    EXPECT_EQ(tavix_auth_verify_auth_header(nullptr, authz(nonce).c_str(), "GET", "/x.htm", &who, &code, &stale), 0);
    EXPECT_STREQ(who.user, "admin");
    Age(60);  // 60 units old: still fresh
    EXPECT_EQ(
        tavix_auth_verify_auth_header(nullptr, authz(nonce, "00000002").c_str(), "GET", "/x.htm", &who, &code, &stale),
        0);
    Age(1);
    EXPECT_EQ(tavix_auth_verify_auth_header(nullptr, authz(nonce).c_str(), "GET", "/x.htm", &who, &code, &stale), -1);
    EXPECT_TRUE(stale);
    tavix_buffer *resp = nullptr;
    EXPECT_EQ(tavix_auth_verify_access(nullptr, authz(nonce).c_str(), "GET", "/x.htm", nullptr, &who, &resp), 0);
    ASSERT_NE(resp, nullptr);
    const std::string text(reinterpret_cast<char *>(resp->data), resp->length);
    EXPECT_NE(text.find("qop=\"auth\", stale=\"true\"\r\n"), std::string::npos) << text;
    tavix_buffer_free(resp);
    // A response of the wrong length is refused.
    std::string shortened = authz(nonce);
    shortened.replace(shortened.find("response=\"") + 10, 1, "");
    EXPECT_EQ(tavix_auth_verify_auth_header(nullptr, shortened.c_str(), "GET", "/x.htm", &who, &code, &stale), -1);
    EXPECT_FALSE(stale);
    // A URL of 3000 bytes is compared and digested whole.
    tavix_auth_make_nonce(nonce, tavix_sys_get_current_monotonous_time());
    const std::string url = "/x.htm?v=" + std::string(2991, 'q');
    const std::string long_resp = Md5Peer("a9866e24426444567e0b2446f9f8db75:" + std::string(nonce) +
                                          ":00000001:abc:auth:" + Md5Peer("GET:" + url));
    const std::string long_authz = std::string("Digest username=\"admin\", realm=\"tavIX\", nonce=\"") + nonce +
                                   "\", uri=\"" + url + "\", response=\"" + long_resp +
                                   "\", qop=auth, nc=00000001, cnonce=\"abc\"\r\n";
    EXPECT_EQ(tavix_auth_verify_auth_header(nullptr, long_authz.c_str(), "GET", url.c_str(), &who, &code, &stale), 0);
    EXPECT_EQ(
        tavix_auth_verify_auth_header(nullptr, long_authz.c_str(), "GET", (url + "q").c_str(), &who, &code, &stale),
        -1);
    // A client's cnonce of any length is digested whole; one character of it
    // changed is another response (405).
    tavix_auth_make_nonce(nonce, tavix_sys_get_current_monotonous_time());
    const std::string cn(300, 'c');
    auto cn_authz = [&](const std::string &written) {
        return std::string("Digest username=\"admin\", realm=\"tavIX\", nonce=\"") + nonce +
               "\", uri=\"/x.htm\", response=\"" +
               Md5Peer("a9866e24426444567e0b2446f9f8db75:" + std::string(nonce) + ":00000001:" + cn +
                       ":auth:741dba7c5c5edd205d856484cd5149f8") +
               "\", qop=auth, nc=00000001, cnonce=\"" + written + "\"\r\n";
    };
    EXPECT_EQ(tavix_auth_verify_auth_header(nullptr, cn_authz(cn + "d").c_str(), "GET", "/x.htm", &who, &code, &stale),
              -1);
    EXPECT_EQ(code, 405);
    EXPECT_EQ(tavix_auth_verify_auth_header(nullptr, cn_authz(cn).c_str(), "GET", "/x.htm", &who, &code, &stale), 0);

    // Authentication entries: a fifth is refused and logged.
    for (const char *k : {"a", "b", "c", "d"}) ASSERT_NE(tavix_auth_insert_auth_data(k), nullptr);
    EXPECT_EQ(tavix_auth_insert_auth_data("e"), nullptr);
    EXPECT_EQ(logged.back(),
              "Maximum number of active authenticated clients (auth, 4) exceeded, wait a few seconds "
              "and try again");
    EXPECT_NE(tavix_auth_find_auth_data("c"), nullptr);
    tavix_auth_remove_auth_data("c");
    EXPECT_EQ(tavix_auth_find_auth_data("c"), nullptr);

    // Logged-in users and ESR17 bit 4.
    auto bit4 = [] {
        uint8_t b = 0;
        PlcReg_Get(&b, Tavix_login_status_token, 1);
        return b & 1;
    };
    tavix_clear_user_login_details();
    for (uint32_t id = 1; id <= 5; id++) tavix_add_user_login_details(id, "operator-with-a-long-name", 1000 + id);
    EXPECT_EQ(user_details_list.count, 4);
    EXPECT_STREQ(user_details_list.entries[0].name, "operator-with-a-");
    EXPECT_EQ(bit4(), 1);
    // Invalidated at a server stop: every entry's time, id and name cleared,
    // the count kept, bit 4 cleared.
    tavix_invalidate_all_user_login_details();
    for (const WebLoginRecord &e : user_details_list.entries)
        EXPECT_EQ(std::make_tuple(e.time, e.session, std::string(e.name, sizeof e.name)),
                  std::make_tuple(0u, 0u, std::string(sizeof e.name, '\0')));
    EXPECT_EQ(user_details_list.count, 4);
    EXPECT_EQ(bit4(), 0);
    tavix_clear_user_login_details();
    for (uint32_t id = 1; id <= 4; id++) tavix_add_user_login_details(id, "operator-with-a-long-name", 1000 + id);
    EXPECT_EQ(bit4(), 1);
    for (uint32_t id = 1; id <= 4; id++) tavix_delete_user_login_details(id);
    EXPECT_EQ(user_details_list.count, 0);
    EXPECT_EQ(bit4(), 0);
}

// The password-digest callback's HA1 is taken whole: one with characters
// behind its 32 grants neither a Basic nor a Digest login (403).
TEST_F(WebServer, AnHa1TextLongerThan32CharactersGrantsNoBasicOrDigestLogin) {
    static std::string answer;
    tavix_auth_callbacks = {nullptr,
                            [](const tavix_identity *, const char *, char *ha1, int *code) {
                                std::memcpy(ha1, answer.c_str(), answer.size() + 1);
                                *code = 0;
                                return 0;
                            },
                            nullptr};
    // md5("admin:tavIX:secret1"); "admin:secret1" in base64.
    const std::string ha1 = "a9866e24426444567e0b2446f9f8db75";
    const char basic[] = "Basic YWRtaW46c2VjcmV0MQ==\r\n";
    tavix_options_set_auth_options(1, "tavIX");
    tavix_identity who{};
    int code = 0;
    bool stale = false;
    answer = ha1 + "00";
    EXPECT_EQ(tavix_auth_verify_auth_header(nullptr, basic, "GET", "/x.htm", &who, &code, &stale), -1);
    EXPECT_EQ(code, 403);
    answer = ha1;
    EXPECT_EQ(tavix_auth_verify_auth_header(nullptr, basic, "GET", "/x.htm", &who, &code, &stale), 0);

    tavix_options_set_auth_options(2, "tavIX");
    Age(100);
    char nonce[33];
    tavix_auth_make_nonce(nonce, tavix_sys_get_current_monotonous_time());
    // HA2 = md5("GET:/x.htm").
    auto authz = [&](const char *nc, bool quoted = false) {
        const std::string resp = Md5Peer(ha1 + ":" + nonce + ":" + nc + ":abc:auth:741dba7c5c5edd205d856484cd5149f8");
        const std::string q = quoted ? "\"" : "";
        return std::string("Digest username=\"admin\", realm=\"tavIX\", nonce=\"") + nonce +
               "\", uri=\"/x.htm\", response=\"" + resp + "\", qop=auth, nc=" + q + nc + q + ", cnonce=\"abc\"\r\n";
    };
    answer = ha1 + "0";
    EXPECT_EQ(tavix_auth_verify_auth_header(nullptr, authz("00000001").c_str(), "GET", "/x.htm", &who, &code, &stale),
              -1);
    EXPECT_EQ(code, 403);
    answer = ha1;
    EXPECT_EQ(tavix_auth_verify_auth_header(nullptr, authz("00000002").c_str(), "GET", "/x.htm", &who, &code, &stale),
              0);
    EXPECT_STREQ(who.user, "admin");
    // A nonce count is hexadecimal digits, up to 8 of them, taken as the client wrote them.
    EXPECT_EQ(tavix_auth_verify_auth_header(nullptr, authz("3").c_str(), "GET", "/x.htm", &who, &code, &stale), 0);
    EXPECT_EQ(tavix_auth_verify_auth_header(nullptr, authz("0a", true).c_str(), "GET", "/x.htm", &who, &code, &stale),
              0);
    EXPECT_EQ(tavix_auth_verify_auth_header(nullptr, authz("00000000b").c_str(), "GET", "/x.htm", &who, &code, &stale),
              -1);
    EXPECT_EQ(tavix_auth_verify_auth_header(nullptr, authz("").c_str(), "GET", "/x.htm", &who, &code, &stale), -1);
    // A user name of 63 characters is taken; one of 64 is refused as malformed.
    auto named = [&](const std::string &user, const char *nc) {
        const std::string resp = Md5Peer(ha1 + ":" + nonce + ":" + nc + ":abc:auth:741dba7c5c5edd205d856484cd5149f8");
        return "Digest username=\"" + user + "\", realm=\"tavIX\", nonce=\"" + nonce +
               "\", uri=\"/x.htm\", response=\"" + resp + "\", qop=auth, nc=" + nc + ", cnonce=\"abc\"\r\n";
    };
    const std::string u63(63, 'u');
    EXPECT_EQ(tavix_auth_verify_auth_header(nullptr, named(u63, "0c").c_str(), "GET", "/x.htm", &who, &code, &stale),
              0);
    EXPECT_EQ(who.user, u63);
    EXPECT_EQ(
        tavix_auth_verify_auth_header(nullptr, named(u63 + "u", "0d").c_str(), "GET", "/x.htm", &who, &code, &stale),
        -1);
    EXPECT_EQ(code, 406);
    // Basic the same: 63 characters of user name and of password are taken,
    // a 64th of password refused (base64 and MD5 from python).
    tavix_options_set_auth_options(1, "tavIX");
    answer = "da405fa6d972d82a2fa63f2b501b509c";  // md5(63 u ":tavIX:" 63 p)
    const std::string b64 =
        "dXV1dXV1dXV1dXV1dXV1dXV1dXV1dXV1dXV1dXV1dXV1dXV1dXV1dXV1dXV1dXV1dXV1dXV1dXV1dXV1dXV1OnBwcHBwcHBwcHBw"
        "cHBwcHBwcHBwcHBwcHBwcHBwcHBwcHBwcHBwcHBwcHBwcHBwcHBwcHBwcHBwcHBwcHBwcA==";
    const std::string b64_longer =
        "dXV1dXV1dXV1dXV1dXV1dXV1dXV1dXV1dXV1dXV1dXV1dXV1dXV1dXV1dXV1dXV1dXV1dXV1dXV1dXV1dXV1OnBwcHBwcHBwcHBw"
        "cHBwcHBwcHBwcHBwcHBwcHBwcHBwcHBwcHBwcHBwcHBwcHBwcHBwcHBwcHBwcHBwcHBwcHA=";
    EXPECT_EQ(
        tavix_auth_verify_auth_header(nullptr, ("Basic " + b64 + "\r\n").c_str(), "GET", "/x.htm", &who, &code, &stale),
        0);
    EXPECT_EQ(who.user, u63);
    EXPECT_EQ(tavix_auth_verify_auth_header(nullptr, ("Basic " + b64_longer + "\r\n").c_str(), "GET", "/x.htm", &who,
                                            &code, &stale),
              -1);
    EXPECT_EQ(code, 406);

    // The controller's own callback hands the stored field on whole: one in
    // "security.cfg" with characters behind its 32 grants no Digest login,
    // as it grants no Basic one.
    const std::string cfg = "tavIX\r\nadmin;" + ha1 + "00;Right0;Right3\r\n";
    tavix_parse_access_rights(cfg.data(), cfg.size());
    tavix_auth_callbacks = {nullptr, tavix_authentication_digest_cb, nullptr};
    tavix_options_set_auth_options(2, "tavIX");
    EXPECT_EQ(tavix_auth_verify_auth_header(nullptr, authz("0e").c_str(), "GET", "/x.htm", &who, &code, &stale), -1);
    EXPECT_EQ(code, 403);
}

// The server tick lets authentication entries go once unused for twice the
// larger of the session time-out option and the largest "maxtimeout" a
// remote server reported (server time units).
TEST_F(WebServer, AuthenticationEntriesExpireAfterTwiceTheLongerTimeOut) {
    tavix_server_clear_callbacks();
    tavix_comm_remote_server_initialize();
    tavix_global_options.session_timeout = 60;
    ASSERT_NE(tavix_auth_insert_auth_data("a"), nullptr);  // used at 0
    tavix_server_session_tick(120);
    EXPECT_NE(tavix_auth_find_auth_data("a"), nullptr);
    tavix_server_session_tick(131);
    EXPECT_EQ(tavix_auth_find_auth_data("a"), nullptr);

    ASSERT_EQ(tavix_comm_remote_server_define("plc2", "127.0.0.1", 8080, 1), 0);
    tavix_comm_remote_server_get(0)->max_timeout = 200;
    Age(131);
    ASSERT_NE(tavix_auth_insert_auth_data("b"), nullptr);  // used at 131
    tavix_server_session_tick(252);
    tavix_server_session_tick(531);
    EXPECT_NE(tavix_auth_find_auth_data("b"), nullptr);
    tavix_server_session_tick(542);
    EXPECT_EQ(tavix_auth_find_auth_data("b"), nullptr);
    // A remote time-out below the option's: the option's holds.
    tavix_comm_remote_server_get(0)->max_timeout = 30;
    Age(411);
    ASSERT_NE(tavix_auth_insert_auth_data("c"), nullptr);  // used at 542
    tavix_server_session_tick(662);
    EXPECT_NE(tavix_auth_find_auth_data("c"), nullptr);
    tavix_server_session_tick(673);
    EXPECT_EQ(tavix_auth_find_auth_data("c"), nullptr);
    tavix_comm_remote_server_initialize();

    // A session made over an HTTP login on a key whose entry was left behind
    // starts that entry afresh: used now, not when it was left.
    ASSERT_NE(tavix_auth_insert_auth_data("k7"), nullptr);  // used at 542
    Age(200);
    tavix_global_options.auth_method = 2;
    const uint8_t ha1[16] = {1};
    tavix_session *s = nullptr;
    int code = 0;
    ASSERT_EQ(tavix_engine_session_create(742, nullptr, "k7", false, "tavIX", "op", ha1, true, &s, &code), 0);
    tavix_auth_expire_auth_data(800, 120);
    const tavix_auth_entry *e = tavix_auth_find_auth_data("k7");
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(std::make_tuple(e->last_use, std::string(e->user)), std::make_tuple(uint64_t(742), std::string("op")));
}

// The web server's thread reaches registers through the guard the main loop
// holds through each pass: a write made while a pass runs waits for the
// pass to end, and a stream of reads and writes beside passes that change the
// same register is free of races (ThreadSanitizer, tools/tsan.sh, reports
// any access outside the guard).
TEST_F(WebServer, ItemAccessFromTheWebThreadWaitsForThePass) {
    WebVariable *d = nullptr;
    ASSERT_EQ(tavix_subscribe_item(reinterpret_cast<void *>(1), "R_30_1_INT32", &d), 0u);
    auto dword = [] {
        return uint32_t(plc_reg[2 * 2013]) | uint32_t(plc_reg[2 * 2013 + 1]) << 8 | uint32_t(plc_reg[2 * 2014]) << 16 |
               uint32_t(plc_reg[2 * 2014 + 1]) << 24;
    };
    PlcDwordSet(2013, 0);
    PlcReg_Lock();  // a pass runs
    std::thread web([] { tavix_write_item("R_30_1_INT32", "305419896", 9); });
    for (long i = 0; i < 50000000 && PlcReg_Waiters() == 0; i++) sched_yield();
    EXPECT_EQ(PlcReg_Waiters(), 1) << "the write waits";
    EXPECT_EQ(dword(), 0u) << "nothing written in the middle of the pass";
    PlcReg_Unlock();  // the loop waits between passes
    web.join();
    EXPECT_EQ(dword(), 0x12345678u);

    PlcDwordSet(2013, 0x00010001u);  // high word equal to low word, as every pass leaves it
    std::atomic<bool> done{false};
    int torn = 0;  // a value read half written by a pass
    std::thread reader([&] {
        tavix_data_value v{};
        tavix_timestamp t{};
        for (int i = 0; i < 2000; i++) {
            tavix_read_item("R_30_1_INT32", &v, &t);
            if (v.u32 != 7 && (v.u32 >> 16) != (v.u32 & 0xFFFF)) torn++;
            tavix_write_item("R_30_1_INT32", "7", 1);
        }
        done = true;
    });
    uint32_t passes = 0;
    while (!done) {
        PlcReg_Lock();
        // The scan writes the register word by word, as a ladder move does.
        PlcWordSet(2013, uint16_t(passes));
        PlcWordSet(2014, uint16_t(passes));
        PlcReg_Unlock();
        passes++;
        sched_yield();
    }
    reader.join();
    EXPECT_EQ(torn, 0);
    tavix_unsubscribe_item(d);
}

TEST_F(WebServer, ItemWritesConvertCheckAndNotify) {
    WebVariable *b = nullptr, *c = nullptr, *i = nullptr;
    ASSERT_EQ(tavix_subscribe_item(reinterpret_cast<void *>(1), "R_7_3_BOOL", &b), 0u);
    ASSERT_EQ(tavix_subscribe_item(reinterpret_cast<void *>(2), "R_10_1_CHAR_8", &c), 0u);
    ASSERT_EQ(tavix_subscribe_item(reinterpret_cast<void *>(3), "R_20_1_INT16", &i), 0u);
    WebVariable *none = nullptr;
    EXPECT_EQ(tavix_subscribe_item(nullptr, "R_99999_1_INT16", &none), 301u);
    EXPECT_EQ(tavix_get_variable_pointer_list_index("R_99999_1_INT16"), -1);
    auto word = [](uint32_t n) { return uint16_t(plc_reg[2 * (1983 + n)] | plc_reg[2 * (1983 + n) + 1] << 8); };
    EXPECT_EQ(tavix_write_item("R_7_3_BOOL", "true", 4), 0u);
    EXPECT_EQ(word(7), 4);
    EXPECT_EQ(tavix_write_item("R_7_3_BOOL", "x", 1), 0u);
    EXPECT_EQ(word(7), 0);
    EXPECT_EQ(tavix_write_item("R_10_1_CHAR_8", "AB", 2), 0u);
    EXPECT_EQ(word(10), 0x4241);
    EXPECT_EQ(word(11), 0);
    EXPECT_EQ(tavix_write_item("R_10_1_CHAR_8", "ABCDEFGHIJ", 10), 304u);
    EXPECT_EQ(tavix_write_item("R_10_1_CHAR_8", "\xc3\xa9", 2), 10000u);
    EXPECT_EQ(word(10), 0x4241);
    EXPECT_EQ(tavix_write_item("R_20_1_INT16", "70000", 5), 0u);
    EXPECT_EQ(word(20), 4464);
    EXPECT_EQ(tavix_write_item("R_21_1_INT16", "1", 1), 301u);
    EXPECT_EQ(tavix_write_item("KeepAliveVar", "1", 1), 0u);
    tavix_data_value v{};
    tavix_timestamp t{};
    EXPECT_EQ(tavix_read_item("R_20_1_INT16", &v, &t), 0u);
    EXPECT_EQ(v.i32, 4464);
    EXPECT_EQ(tavix_read_item("R_21_1_INT16", &v, &t), 301u);
    // A write the register access refuses (%SR6 is read-only) answers the
    // refused-address code; the record keeps its last value and the
    // subscriber hears nothing, since the register never changed.
    WebVariable *sr = nullptr;
    ASSERT_EQ(tavix_subscribe_item(reinterpret_cast<void *>(4), "SR_6_1_UINT16", &sr), 0u);
    uint16_t held = 0, after = 0;
    PlcReg_Get(&held, sr->reference, 16);
    const uint64_t last = sr->last.raw;
    static int heard;
    heard = 0;
    web_notify_hook = [](void *, const tavix_data_value *, const tavix_timestamp *, uint32_t) { heard++; };
    const uint16_t refused = uint16_t(held + 1);
    const std::string text = std::to_string(refused);
    EXPECT_EQ(tavix_write_item("SR_6_1_UINT16", text.c_str(), uint32_t(text.size())), 301u);
    PlcReg_Get(&after, sr->reference, 16);
    EXPECT_EQ(after, held);
    EXPECT_EQ(sr->last.raw, last);
    EXPECT_EQ(heard, 0);
    EXPECT_EQ(tavix_read_item("SR_6_1_UINT16", &v, &t), 0u) << "the register itself still reads";
    EXPECT_EQ(v.u32, held);
    // A write the register takes is still heard.
    EXPECT_EQ(tavix_write_item("R_20_1_INT16", "12", 2), 0u);
    EXPECT_EQ(word(20), 12);
    EXPECT_EQ(heard, 1);
    // A TIME count wider than the register's 48 bits is written cut to them
    // (2^48 + 5 leaves 5), and the value its subscriber hears is the one
    // the register holds, not the one asked for.
    WebVariable *tm = nullptr;
    ASSERT_EQ(tavix_subscribe_item(reinterpret_cast<void *>(5), "R_40_1_TIME", &tm), 0u);
    static double told;
    told = -1;
    web_notify_hook = [](void *, const tavix_data_value *v, const tavix_timestamp *, uint32_t) { told = v->d; };
    EXPECT_EQ(tavix_write_item("R_40_1_TIME", "281474976710661", 15), 0u);
    EXPECT_EQ(std::make_tuple(word(40), word(41), word(42), word(43)), std::make_tuple(5, 0, 0, 0));
    EXPECT_EQ(told, 5.0);
    EXPECT_EQ(tm->last.d, 5.0);
    web_notify_hook = nullptr;
    tavix_unsubscribe_item(tm);
    tavix_unsubscribe_item(sr);
    tavix_unsubscribe_item(b);
    tavix_unsubscribe_item(c);
    tavix_unsubscribe_item(i);
    EXPECT_EQ(variable_pointer_list.count, 0u);
}

TEST_F(WebServer, GlobalConfigurationKeys) {
    struct {
        const char *text;
        uint16_t keep, inactivity;
        uint8_t method;
    } cases[] = {{"KeepAlive:30\nInactivityTimeOut:2\nAuthentication:Basic\n", 30, 120, 1},
                 {"Authentication:basic\nKeepAlive:0\n", 0, 0, 2},
                 {"InactivityTimeOut:1093\n", 0, 65535, 2},
                 {"InactivityTimeOut:-5\nOther:1\nKeepAlive:7\n", 7, 0, 2}};
    for (const auto &c : cases) {
        ConnectionTimeOut = SessionTimeOut = 0;
        tavix_authentication_method = 2;
        tavIX_global_config_file_size = uint16_t(std::strlen(c.text));
        tavix_update_global_config_parameters(c.text);
        EXPECT_EQ(ConnectionTimeOut, c.keep) << c.text;
        EXPECT_EQ(SessionTimeOut, c.inactivity) << c.text;
        EXPECT_EQ(tavix_authentication_method, c.method) << c.text;
    }
    test_support::TempRoot root;
    const std::string path = root.path() + "/cfg";
    FILE *f = std::fopen(path.c_str(), "wb");
    for (int k = 0; k < 400; k++) std::fputc('x', f);
    std::fclose(f);
    char buf[250];
    std::memset(buf, 1, sizeof buf);
    EXPECT_EQ(tavix_read_file(buf, sizeof buf, path.c_str(), 2), 0);
    EXPECT_EQ(tavIX_global_config_file_size, 249);
}

TEST_F(WebServer, FourWorkerSlots) {
    static volatile int release = 0;
    auto work = [](int slot, void *) {
        while (!release && !tavix_sys_thread_stop_requested(slot)) usleep(1000);
    };
    for (int i = 0; i < 4; i++) EXPECT_EQ(tavix_sys_thread_start(work, nullptr), i);
    EXPECT_EQ(tavix_sys_thread_start(work, nullptr), -1);
    EXPECT_EQ(tavix_workers.count, 4u);
    tavix_sys_thread_shutdown_threads();
    EXPECT_EQ(tavix_workers.count, 0u);
    release = 1;
    EXPECT_EQ(tavix_sys_thread_start(work, nullptr), 0);
    tavix_sys_thread_shutdown_threads();
    // A stop asked of a running slot is what its function polls.
    release = 0;
    static std::atomic<int> running{0};
    const int slot = tavix_sys_thread_start(
        [](int slot, void *) {
            running = 1;
            while (!tavix_sys_thread_stop_requested(slot)) usleep(1000);
        },
        nullptr);
    ASSERT_EQ(slot, 0);
    while (running == 0) usleep(1000);
    EXPECT_EQ(tavix_sys_thread_stop_requested(slot), 0);
    tavix_sys_thread_request_stop(slot);
    EXPECT_EQ(tavix_sys_thread_stop_requested(slot), 1);
    tavix_sys_thread_shutdown_threads();
    EXPECT_EQ(tavix_workers.count, 0u);
}

TEST_F(WebServer, TheServerIsInitialisedPreparedRunClearedAndFreedAsAWhole) {
    tavix_server_set_idle_cb([](uint64_t) {});
    ASSERT_EQ(tavix_server_initialize(), 0);
    // Defaults and empty callback slots; the method table filled.
    EXPECT_EQ(tavix_global_options.idle_cb, nullptr);
    EXPECT_STREQ(tavix_global_options.prefix, "/tavIX/");
    EXPECT_EQ(tavix_global_options.http_port, 80u);
    EXPECT_EQ(tavix_comm_state.next_id, 1u);
    EXPECT_EQ(tavix_post_handlers[TAVIX_M_PUBLISH], tavix_engine_handle_publish_request);
    EXPECT_EQ(tavix_engine_hooks.post, tavix_engine_handle_post_request);
    tavix_global_options.error_cb = [](const char *t) { logged.emplace_back(t); };
    // No listener: both ports off.
    tavix_options_set_http_options(nullptr, 0);
    tavix_options_set_https_options(nullptr, 0, nullptr, nullptr);
    ASSERT_EQ(tavix_server_prepare(), 0);
    EXPECT_EQ(tavix_comm_state.receive, tavix_engine_receive_comm_data);
    EXPECT_EQ(tavix_comm_state.dropped, tavix_server_connection_dropped);
    EXPECT_EQ(tavix_comm_state.tick, tavix_server_session_tick);
    EXPECT_EQ(tavix_engine_hooks.access, tavix_auth_engine_access);
    ASSERT_EQ(tavix_server_mainloop(), 0);
    EXPECT_EQ(tavix_workers.count, 1u);  // the query-filter worker
    EXPECT_EQ(std::make_pair(tavix_comm_state.http_listener, tavix_comm_state.https_listener), std::make_pair(-1, -1));
    // Remote servers through the server's own names.
    EXPECT_EQ(tavix_server_remote_server_define("plc2", "127.0.0.1", 8080, 0), 0);
    EXPECT_EQ(tavix_server_remote_server_enable("plc2", 1), 0);
    EXPECT_EQ(tavix_comm_remote_server_get(0)->enabled, 1u);
    EXPECT_EQ(tavix_server_remote_server_enable("plc3", 1), -1);
    tavix_server_request_shutdown();
    EXPECT_EQ(tavix_comm_state.shutdown, 1u);

    // Stopped: a session and its subscribed item go with the clear, the
    // remote server with the free.
    tavix_session *sess = nullptr;
    int code = 0;
    ASSERT_EQ(tavix_engine_session_create(0, nullptr, "k", false, nullptr, nullptr, nullptr, false, &sess, &code), 0);
    tavix_frame *f = tavix_engine_subscription_frame_alloc();
    f->owner = sess;
    sess->frames = f;
    sess->frame_count = 1;
    int err = 0;
    ASSERT_EQ(tavix_engine_subscription_frame_subscribe_item(f, 0, "A", nullptr, 0, &err), 0);
    tavix_sys_thread_shutdown_threads();
    tavix_server_clear();
    EXPECT_EQ(std::make_tuple(tavix_session_table.count, tavix_subscription_map.count, tavix_remote_table.count),
              std::make_tuple(0u, 0u, 1u));
    tavix_server_free();
    EXPECT_EQ(tavix_remote_table.count, 0u);
    EXPECT_EQ(tavix_comm_state.scratch, nullptr);
    EXPECT_EQ(tavix_global_options.prefix, nullptr);
    // Back to what the other tests start from.
    ASSERT_EQ(tavix_server_initialize(), 0);
    ASSERT_EQ(tavix_server_prepare(), 0);
    tavix_engine_hooks = tavix_engine_hooks_t{};
}

// A stop asked while the server sets itself up (its RSA key takes a while)
// is not lost: the thread stops once set up instead of serving on. A start
// asked after that stop starts it again once the thread has ended.
TEST_F(WebServer, AStopAskedDuringTheSetUpStopsTheServerOnceSetUp) {
    test_support::TempRoot root;
    static std::atomic<int> setups{0}, release{0};
    tavix_setup_hook = [] {
        setups++;
        while (release == 0) usleep(1000);
    };
    tavix_startup();
    TavixHttp = 1;
    tavix_start_passes = TAVIX_START_PASSES + 1;
    TavixThreadCreated = 0;
    TavixFtping = 0;
    TavixUpdateNewIp = 0;
    // Main's web steps, as the main loop runs them after each pass.
    auto until = [](auto done) {
        for (int i = 0; i < 30000 && !done(); i++) {
            tavix_main_step();
            usleep(1000);
        }
        return done();
    };
    auto ended = [] { return TavixThreadCreated == 0 && TavixServerState == TavixState::Stopped; };
    auto status_bit = [] {
        uint8_t b = 0;
        PlcReg_Get(&b, Tavix_server_status_token, 1);
        return b & 1;
    };
    TavixServerState = TavixState::StartRequested;
    tavix_main_step();
    EXPECT_EQ(TavixServerState, TavixState::Starting);
    EXPECT_EQ(TavixThreadCreated, 1);
    ASSERT_TRUE(until([] { return setups == 1; }));
    // An upload begins (the watcher's stop) while the set-up is held.
    TavixServerState = TavixState::StopRequested;
    release = 1;
    const bool stopped = until(ended);
    const TavixState seen = TavixServerState;
    if (!stopped) {
        TavixServerState = TavixState::StopRequested;  // ends the thread for the tests that follow
        until(ended);
    }
    EXPECT_TRUE(stopped) << "state " << int(seen);
    EXPECT_EQ(status_bit(), 0);

    // Stopped during the set-up, then started by the card manager: the
    // thread ends and the next web step starts a new one, which serves.
    release = 0;
    TavixServerState = TavixState::StartRequested;
    tavix_main_step();
    ASSERT_TRUE(until([] { return setups == 2; }));
    TavixServerState = TavixState::StopRequested;
    tavix_card_checked(true);
    EXPECT_EQ(TavixServerState, TavixState::StartRequested);
    release = 1;
    const bool restarted = until([] { return setups == 3 && TavixServerState == TavixState::Running; });
    EXPECT_TRUE(restarted) << "set-ups " << setups << ", state " << int(TavixServerState.load());
    EXPECT_EQ(status_bit(), 1);
    TavixServerState = TavixState::StopRequested;
    EXPECT_TRUE(until(ended));
    EXPECT_EQ(status_bit(), 0);

    tavix_setup_hook = nullptr;
    TavixHttp = 0;
    tavixFtpStates = TavixFtpState::WaitFolder;
    // Back to what the other tests start from.
    ASSERT_EQ(tavix_server_initialize(), 0);
    ASSERT_EQ(tavix_server_prepare(), 0);
    tavix_engine_hooks = tavix_engine_hooks_t{};
}

// The upload watcher: a deleted web root holds the server stopped until the
// end marker is there and the thread has ended; a watch that cannot be made
// is tried at every step and said once.
TEST_F(WebServer, TheUploadWatcherHoldsTheServerStoppedFromTheDeletedWebRootToTheEndMarker) {
    namespace fs = std::filesystem;
    test_support::TempRoot root;
    fs::create_directories(root / "mnt/USB0/tavIX/wwwroot");
    tavixFtpStates = TavixFtpState::WaitFolder;
    TavixFtping = 0;
    TavixServerState = TavixState::Running;
    TavixThreadCreated = 1;  // its thread runs
    tavix_check_ftp_state();
    EXPECT_EQ(tavixFtpStates, TavixFtpState::Arm);
    fs::remove_all(root / "mnt/USB0/tavIX");  // the card pulled
    testing::internal::CaptureStderr();
    for (int i = 0; i < 50; i++) tavix_check_ftp_state();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "inotify_add_watch: No such file or directory\n");
    EXPECT_EQ(tavixFtpStates, TavixFtpState::Arm);
    fs::create_directories(root / "mnt/USB0/tavIX/wwwroot");
    tavix_check_ftp_state();
    EXPECT_EQ(tavixFtpStates, TavixFtpState::Watch);
    tavix_check_ftp_state();
    EXPECT_EQ(tavixFtpStates, TavixFtpState::Watch);
    fs::remove(root / "mnt/USB0/tavIX/wwwroot");  // an upload begins
    tavix_check_ftp_state();
    EXPECT_EQ(tavixFtpStates, TavixFtpState::WaitEnd);
    EXPECT_EQ(TavixFtping, 1);
    EXPECT_EQ(TavixServerState, TavixState::StopRequested);
    std::ofstream(root / "mnt/USB0/EndOfFTP.txt") << "";
    for (int i = 0; i < 30; i++) {
        tavix_check_ftp_state();
        usleep(1000);
    }
    EXPECT_EQ(tavixFtpStates, TavixFtpState::WaitEnd) << "the thread has not ended yet";
    TavixThreadCreated = 0;
    TavixServerState = TavixState::Stopped;
    for (int i = 0; i < 5000 && tavixFtpStates != TavixFtpState::WaitFolder; i++) {
        tavix_check_ftp_state();
        usleep(1000);
    }
    EXPECT_EQ(tavixFtpStates, TavixFtpState::WaitFolder);
    EXPECT_EQ(TavixServerState, TavixState::StartRequested);
    EXPECT_EQ(TavixFtping, 0);
    EXPECT_FALSE(fs::exists(root / "mnt/USB0/EndOfFTP.txt"));
    TavixServerState = TavixState::Stopped;
}

// The descriptors this process holds open.
std::size_t OpenDescriptors() {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto &e : std::filesystem::directory_iterator("/proc/self/fd")) n++;
    return n;
}

// Each start the card manager asks for sets the watcher back to its first
// step, which arms a new watch: the one before is closed, not left open
// (each would keep an inotify instance and a slot among the loop's wake-up
// descriptors until inotify_init fails and uploads go unnoticed).
TEST_F(WebServer, EachNewWatchOfTheUploadWatcherClosesTheOneBefore) {
    namespace fs = std::filesystem;
    test_support::TempRoot root;
    fs::create_directories(root / "mnt/USB0/tavIX/wwwroot");
    TavixHttp = 1;
    TavixFtping = 0;
    TavixServerState = TavixState::Stopped;
    tavixFtpStates = TavixFtpState::WaitFolder;
    auto arm = [] {
        for (int i = 0; i < 3; i++) tavix_check_ftp_state();
        EXPECT_EQ(tavixFtpStates, TavixFtpState::Watch);
    };
    arm();
    const std::size_t armed = OpenDescriptors();
    for (int k = 0; k < 5; k++) {
        // An IEC download stopped the server; the card poll starts it again.
        tavix_card_checked(true);
        EXPECT_EQ(TavixServerState, TavixState::StartRequested);
        EXPECT_EQ(tavixFtpStates, TavixFtpState::WaitFolder);
        TavixServerState = TavixState::Stopped;
        arm();
    }
    EXPECT_EQ(OpenDescriptors(), armed);
    // The watch still works: a deleted web root starts an upload.
    fs::remove(root / "mnt/USB0/tavIX/wwwroot");
    tavix_check_ftp_state();
    EXPECT_EQ(tavixFtpStates, TavixFtpState::WaitEnd);
    EXPECT_EQ(TavixFtping, 1);
    TavixFtping = 0;
    TavixHttp = 0;
    TavixServerState = TavixState::Stopped;
    tavixFtpStates = TavixFtpState::WaitFolder;
}

// A boot without a card: the watcher ends up polling for the web folder. A
// card put in later brings the folder with it; that is no upload, and the
// card poll that follows starts the server, whose folder the watcher then
// watches. A folder made on a card that was there already is an upload.
TEST_F(WebServer, ACardPutInAfterABootWithoutOneStartsTheServer) {
    namespace fs = std::filesystem;
    test_support::TempRoot root;
    TavixHttp = 1;
    TavixFtping = 0;
    TavixServerState = TavixState::StopRequested;  // the card poll found no card
    tavixFtpStates = TavixFtpState::WaitFolder;
    for (int i = 0; i < 200 && tavixFtpStates != TavixFtpState::PollFolder; i++) tavix_check_ftp_state();
    ASSERT_EQ(tavixFtpStates, TavixFtpState::PollFolder);
    fs::create_directories(root / "mnt/USB0/tavIX/wwwroot");  // the card goes in
    // The watcher's steps come first (it looks at most every 10 ms).
    for (int i = 0; i < 60; i++) {
        tavix_check_ftp_state();
        usleep(1000);
    }
    EXPECT_EQ(TavixFtping, 0);
    tavix_card_checked(true);
    EXPECT_EQ(TavixServerState, TavixState::StartRequested);
    for (int i = 0; i < 3; i++) tavix_check_ftp_state();
    EXPECT_EQ(tavixFtpStates, TavixFtpState::Watch);

    // The card there, its folder not: the folder's creation is an upload.
    fs::remove_all(root / "mnt/USB0/tavIX");
    TavixServerState = TavixState::Running;
    TavixThreadCreated = 1;  // a server thread that runs
    tavixFtpStates = TavixFtpState::WaitFolder;
    for (int i = 0; i < 200 && tavixFtpStates != TavixFtpState::PollFolder; i++) tavix_check_ftp_state();
    ASSERT_EQ(tavixFtpStates, TavixFtpState::PollFolder);
    fs::create_directories(root / "mnt/USB0/tavIX");
    for (int i = 0; i < 60 && tavixFtpStates == TavixFtpState::PollFolder; i++) {
        tavix_check_ftp_state();
        usleep(1000);
    }
    EXPECT_EQ(tavixFtpStates, TavixFtpState::WaitEnd);
    EXPECT_EQ(TavixFtping, 1);
    EXPECT_EQ(TavixServerState, TavixState::StopRequested);

    // The same upload with the server already stopped (no thread left to
    // act on a stop): it stays stopped, so the end marker is taken and the
    // server starts again, instead of a stop request nobody answers
    // holding the upload for good.
    fs::remove_all(root / "mnt/USB0/tavIX");
    TavixThreadCreated = 0;
    TavixFtping = 0;
    TavixServerState = TavixState::Stopped;
    tavixFtpStates = TavixFtpState::WaitFolder;
    for (int i = 0; i < 200 && tavixFtpStates != TavixFtpState::PollFolder; i++) tavix_check_ftp_state();
    ASSERT_EQ(tavixFtpStates, TavixFtpState::PollFolder);
    fs::create_directories(root / "mnt/USB0/tavIX");
    for (int i = 0; i < 60 && tavixFtpStates == TavixFtpState::PollFolder; i++) {
        tavix_check_ftp_state();
        usleep(1000);
    }
    EXPECT_EQ(tavixFtpStates, TavixFtpState::WaitEnd);
    EXPECT_EQ(TavixServerState, TavixState::Stopped);
    std::ofstream(root / "mnt/USB0/EndOfFTP.txt").close();
    for (int i = 0; i < 60 && tavixFtpStates == TavixFtpState::WaitEnd; i++) {
        tavix_check_ftp_state();
        usleep(1000);
    }
    EXPECT_FALSE(fs::exists(root / "mnt/USB0/EndOfFTP.txt"));
    EXPECT_EQ(TavixFtping, 0);
    EXPECT_EQ(TavixServerState, TavixState::StartRequested);
    TavixFtping = 0;
    TavixHttp = 0;
    TavixServerState = TavixState::Stopped;
    tavixFtpStates = TavixFtpState::WaitFolder;
}

// The expiry pass drops the entries of both tables whose last use (for a
// remote server's nonce: the time it was received) lies longer ago than the age.
TEST_F(WebServer, TheExpiryPassDropsOldAuthenticationAndNonceEntries) {
    tavix_nonce_entry *e = nullptr;
    int code = 0;
    const char *challenge = "Digest realm=\"tavIX\", nonce=\"abc123\", qop=\"auth\"\r\n";
    ASSERT_EQ(tavix_auth_parse_digest_header("k1", challenge, &e, &code), 0);
    ASSERT_NE(tavix_auth_insert_auth_data("k2"), nullptr);
    const uint64_t t = e->received;
    ASSERT_EQ(tavix_auth_find_auth_data("k2")->last_use, t);
    Age(5);
    ASSERT_EQ(tavix_auth_parse_digest_header("k3", challenge, &e, &code), 0);
    tavix_auth_expire_auth_data(t + 10, 10);  // t + 10 is not past t + 10: all stay
    EXPECT_EQ(tavix_nonce_table.count, 2u);
    EXPECT_NE(tavix_auth_find_auth_data("k2"), nullptr);
    tavix_auth_expire_auth_data(t + 11, 10);
    EXPECT_EQ(tavix_nonce_table.count, 1u);
    EXPECT_EQ(tavix_auth_find_auth_data("k2"), nullptr);
    EXPECT_STREQ(tavix_nonce_table.entries[0].nonce, "abc123");
    EXPECT_EQ(tavix_nonce_table.entries[0].received, t + 5);
    tavix_auth_expire_auth_data(t + 16, 10);
    EXPECT_EQ(tavix_nonce_table.count, 0u);
}

// A read-write lock call that fails ends the program (each death test runs
// in a child process that gtest forks).
TEST_F(WebServer, AFailedReadWriteLockCallIsFatal) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    pthread_rwlock_t l;
    ASSERT_EQ(tavix_lock_rw_init(&l), 0);
    tavix_lock_rw_lock_write(&l);
    // A read lock asked by the thread that holds the write lock: EDEADLK.
    EXPECT_DEATH(tavix_lock_rw_lock_read(&l), "read-write lock");
    EXPECT_DEATH(tavix_lock_rw_lock_write(&l), "read-write lock");
    tavix_lock_rw_unlock_write(&l);
    tavix_lock_rw_destroy(&l);
}

TEST_F(WebServer, RemoteChallengesAndOurAnswers) {
    tavix_global_options.max_auth_records = 1;  // room for two nonces
    tavix_nonce_entry *e = nullptr;
    int code = 0;
    const char *challenge = "Digest realm=\"tavIX\", nonce=\"abc123\", opaque=\"op\", algorithm=MD5, qop=\"auth\"\r\n";
    ASSERT_EQ(tavix_auth_parse_digest_header("k1", challenge, &e, &code), 0);
    EXPECT_STREQ(e->nonce, "abc123");
    EXPECT_EQ(tavix_auth_parse_digest_header("k2", "Digest realm=\"r\", nonce=\"n\", algorithm=SHA-256\r\n", &e, &code),
              -1);
    EXPECT_EQ(code, 615);
    // Only qop "auth" is answered: "auth-int" alone is refused, a list holding "auth" taken.
    code = 0;
    EXPECT_EQ(tavix_auth_parse_digest_header("k2", "Digest realm=\"r\", nonce=\"n\", qop=\"auth-int\"\r\n", &e, &code),
              -1);
    EXPECT_EQ(code, 615);
    EXPECT_EQ(
        tavix_auth_parse_digest_header("k2", "Digest realm=\"r\", nonce=\"n\", qop=\"auth-int,auth\"\r\n", &e, &code),
        0);
    EXPECT_TRUE(e->qop_auth);
    tavix_auth_clear();
    ASSERT_EQ(tavix_auth_parse_digest_header("k1", challenge, &e, &code), 0);
    EXPECT_EQ(
        tavix_auth_parse_digest_header("k2", "Digest realm=\"r\", nonce=\"n\", qop=\"auth,auth-int\"\r\n", &e, &code),
        0);
    EXPECT_EQ(tavix_auth_parse_digest_header("k3", "Digest nonce=\"n\"\r\n", &e, &code), -1);
    EXPECT_EQ(code, 616);
    EXPECT_EQ(tavix_auth_parse_digest_header("k3", "Digest realm=\"r\", nonce=\"n\"\r\n", &e, &code), -1);
    EXPECT_EQ(code, 407);

    tavix_auth_entry who{};
    tavix_auth_fill_authdata(false, "tavIX", "admin", "secret1", &who);
    char out[600];
    ASSERT_EQ(tavix_auth_generate_auth_header("k1", true, "POST", "/tavIX/?read", &who, out, sizeof out, &code), 0);
    // The response recomputed from the header's own cnonce and nc.
    const std::string h = out;
    const auto field = [&](const char *name) {
        const std::size_t at = h.find(std::string(name) + "=\"") + std::strlen(name) + 2;
        return h.substr(at, h.find('"', at) - at);
    };
    EXPECT_EQ(field("nc"), "00000001");
    EXPECT_EQ(field("cnonce").size(), 16u);
    EXPECT_EQ(field("opaque"), "op");
    // HA1 of admin:tavIX:secret1 and HA2 of POST:/tavIX/?read from hashlib.
    EXPECT_EQ(field("response"), Md5Peer("a9866e24426444567e0b2446f9f8db75:abc123:00000001:" + field("cnonce") +
                                         ":auth:bb0807ccf74bb7d6b6b07f3f3d406a4a"));
    EXPECT_EQ(h.substr(h.size() - 2), "\r\n");
    EXPECT_EQ(tavix_auth_generate_auth_header("none", true, "POST", "/", &who, out, sizeof out, &code), -1);
    EXPECT_EQ(code, 613);
    tavix_auth_entry other{};
    tavix_auth_fill_authdata(false, "elsewhere", "admin", "secret1", &other);
    EXPECT_EQ(tavix_auth_generate_auth_header("k1", true, "POST", "/", &other, out, sizeof out, &code), -1);
    EXPECT_EQ(code, 614);
    ASSERT_EQ(tavix_auth_generate_auth_header("k1", false, "POST", "/", &who, out, sizeof out, &code), 0);
    EXPECT_STREQ(out, "Basic YWRtaW46c2VjcmV0MQ==\r\n");
}

TEST_F(WebServer, Md5MatchesTheReferenceDigests) {
    // The RFC 1321 test suite.
    EXPECT_EQ(Md5Of(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(Md5Of("a"), "0cc175b9c0f1b6a831c399e269772661");
    EXPECT_EQ(Md5Of("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(Md5Of("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
    EXPECT_EQ(Md5Of("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
    EXPECT_EQ(Md5Of("12345678901234567890123456789012345678901234567890123456789012345678901234567890"),
              "57edf4a22be3c955ac49da2e2107b67a");
    // RFC 2617's worked example: HA1, HA2 and the response.
    EXPECT_EQ(Md5Of("Mufasa:testrealm@host.com:Circle Of Life"), "939e7578ed9e3c518a452acee763bce9");
    EXPECT_EQ(Md5Of("GET:/dir/index.html"), "39aff3a2bab6126f332b942af96d3366");
    EXPECT_EQ(Md5Of("939e7578ed9e3c518a452acee763bce9:dcd98b7102dd2f0e8b11d0f600bfb0c093:00000001:0a4f113b:auth:"
                    "39aff3a2bab6126f332b942af96d3366"),
              "6629fae49393a05397450978507c4ef1");
    // The outside peer agrees with the same reference.
    EXPECT_EQ(Md5Peer("Mufasa:testrealm@host.com:Circle Of Life"), "939e7578ed9e3c518a452acee763bce9");
}
