// Network services in-process: MD5 and the Digest response, Base64, register
// texts and form values, the HTTP and FTP servers' checking front ends, DHCP
// messages and datagrams, DNS queries and answers, and the service script's
// pipe and files.
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "core/image/plcreg.h"
#include "core/image/tx.h"
#include "net/dhcp.h"
#include "net/dpr.h"
#include "net/enet.h"
#include "net/ftp.h"
#include "net/http.h"
#include "net/httpreg.h"
#include "net/md5.h"
#include "net/net.h"
#include "net/svc.h"
#include "platform/plat_net.h"
#include "tests/support/eth_ip.h"
#include "tests/support/fake_clock.h"
#include "tests/support/loop_peer.h"
#include "tests/support/md5_peer.h"
#include "tests/support/own_netns.h"
#include "tests/support/temp_root.h"

namespace {

std::string Md5Hex(const std::string &s, std::size_t split = 0) {
    NX_MD5 c;
    _nx_md5_initialize(&c);
    const auto *p = reinterpret_cast<const uint8_t *>(s.data());
    if (split > s.size()) split = s.size();
    _nx_md5_update(&c, p, uint32_t(split));
    _nx_md5_update(&c, p + split, uint32_t(s.size() - split));
    uint8_t d[16];
    _nx_md5_digest_calculate(&c, d);
    char out[33];
    _nx_http_server_hex_ascii_convert(d, 16, out);
    return out;
}

TEST(NetServices, Md5SuiteDigestAndBase64) {
    // RFC 1321, appendix A.5.
    const std::pair<std::string, std::string> suite[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto &[text, hex] : suite) {
        for (std::size_t split : {std::size_t(0), std::size_t(1), std::size_t(63), std::size_t(64), text.size()})
            EXPECT_EQ(Md5Hex(text, split), hex) << text << " split " << split;
    }
    EXPECT_EQ(_nx_md5_initialize(nullptr), 7u);
    EXPECT_EQ(_nx_md5_update(nullptr, nullptr, 0), 7u);

    // A browser's answer to the challenge (admin / secret, GET /index.htm).
    static NX_HTTP_SERVER sv;
    char r[33];
    _nx_http_server_digest_response_calculate(&sv, "admin", "Controller HTTP Server", "secret", _nx_http_server_nonce,
                                              "GET", "/index.htm", "00000001", "0a4f113b", r);
    EXPECT_STREQ(r, "8201fa5e72ab0ec174e0c54fe53b3f43");

    // The response field: 32 characters closed by a double quote, nothing else.
    alignas(16) static uint8_t mem[2 * (NX_PACKET_HEADER + 1520)];
    static NX_PACKET_POOL pool;
    _nx_packet_pool_create(&pool, "digest", 1520, mem, sizeof mem);
    const std::string r32 = "8201fa5e72ab0ec174e0c54fe53b3f43";
    const std::pair<std::string, uint32_t> fields[] = {
        {"response=\"" + r32 + "\"", 32},  {"response=\"" + r32.substr(1) + "\"", 0}, {"response=\"" + r32 + "4\"", 0},
        {"response=\"" + r32 + "\r\n", 0}, {"RESPONSE=\"" + r32 + "\"", 32},
    };
    for (const auto &[field, want] : fields) {
        const std::string req =
            "GET /index.htm HTTP/1.0\r\nAuthorization: Digest username=\"admin\", nc=00000001, "
            "cnonce=\"0a4f113b\", uri=\"/index.htm\", " +
            field + "\r\n\r\n";
        NX_PACKET *pk = nullptr;
        ASSERT_EQ(_nx_packet_allocate(&pool, &pk, 0, 0), 0u);
        _nx_packet_data_append(pk, req.data(), uint32_t(req.size()), &pool, 0);
        char response[40], uri[40], nc[40], cnonce[64];
        EXPECT_EQ(_nx_http_server_retrieve_digest_authorization(pk, response, uri, nc, cnonce), want) << field;
        EXPECT_STREQ(response, want ? r32.c_str() : "") << field;
        EXPECT_STREQ(uri, "/index.htm");
        EXPECT_STREQ(nc, "00000001");
        EXPECT_STREQ(cnonce, "0a4f113b");
        _nx_packet_release(pk);
    }

    // The checks themselves, on a connection whose bytes the test reads.
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    sv.nx_http_server_packet_pool_ptr = &pool;
    NX_TCP_SOCKET &cs = sv.nx_http_server_socket;
    cs.fd = pair[0];
    cs.client = 1;
    cs.bound = 1;
    cs.state = NX_TCP_ESTABLISHED;
    auto sent = [&] {
        std::string out;
        char b[512];
        for (ssize_t n; (n = recv(pair[1], b, sizeof b, MSG_DONTWAIT)) > 0;) out.append(b, std::size_t(n));
        return out;
    };
    auto check = [&](const std::string &req, bool digest, const char *name, const char *password) {
        cs.writable = 1;
        NX_PACKET *pk = nullptr;
        EXPECT_EQ(_nx_packet_allocate(&pool, &pk, 0, 0), 0u);
        _nx_packet_data_append(pk, req.data(), uint32_t(req.size()), &pool, 0);
        const uint32_t st = digest
                                ? _nx_http_server_digest_authenticate(&sv, pk, name, password, "Controller HTTP Server")
                                : _nx_http_server_basic_authenticate(&sv, pk, name, password, "Controller HTTP Server");
        _nx_packet_release(pk);
        return st;
    };
    const std::string digest_challenge =
        "HTTP/1.0 401 Unauthorized\r\nWWW-Authenticate: Digest realm=\"Controller HTTP Server\", algorithm=\"md5\", "
        "nonce=\"c9e1f0a7b3d5e2c8f4a6b0d9e7c1a3f5b2d\", qop=\"auth\"\r\n\r\n";
    const std::string basic_challenge =
        "HTTP/1.0 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"Controller HTTP Server\"\r\n\r\n";
    auto digest_req = [](const std::string &method, const std::string &response) {
        return method +
               " /index.htm HTTP/1.0\r\nAuthorization: Digest username=\"admin\", realm=\"Controller HTTP Server\", "
               "nonce=\"c9e1f0a7b3d5e2c8f4a6b0d9e7c1a3f5b2d\", uri=\"/index.htm\", qop=auth, nc=00000001, "
               "cnonce=\"0a4f113b\", response=\"" +
               response + "\"\r\n\r\n";
    };
    EXPECT_EQ(check(digest_req("GET", r32), true, "admin", "secret"), 0u);
    EXPECT_EQ(sent(), "");
    // Upper-case digits are another text: refused with the challenge.
    std::string upper = r32;
    for (char &ch : upper) ch = char(std::toupper(static_cast<unsigned char>(ch)));
    EXPECT_EQ(check(digest_req("GET", upper), true, "admin", "secret"), 229u);
    EXPECT_EQ(sent(), digest_challenge);
    EXPECT_EQ(check(digest_req("GET", r32), true, "admin", "secret2"), 229u);
    EXPECT_EQ(sent(), digest_challenge);
    EXPECT_EQ(check("GET /index.htm HTTP/1.0\r\n\r\n", true, "admin", "secret"), 229u) << "no credentials";
    EXPECT_EQ(sent(), digest_challenge);
    // The whole method word enters HA2: DELETE, from python's hashlib.
    const std::string ha1 = test_support::Md5Peer("admin:Controller HTTP Server:secret");
    const std::string del = test_support::Md5Peer(ha1 + ":c9e1f0a7b3d5e2c8f4a6b0d9e7c1a3f5b2d:00000001:0a4f113b:auth:" +
                                                  test_support::Md5Peer("DELETE:/index.htm"));
    ASSERT_EQ(del.size(), 32u);
    EXPECT_EQ(check(digest_req("DELETE", del), true, "admin", "secret"), 0u);
    EXPECT_EQ(check(digest_req("DEL", del), true, "admin", "secret"), 229u);
    EXPECT_EQ(sent(), digest_challenge);

    // Basic: exactly name, colon and password ("admin:secret", "admin:secre",
    // "admin:secret1", "admin:", ":secret" in Base64).
    const std::string basic = "GET / HTTP/1.0\r\nAuthorization: Basic ";
    EXPECT_EQ(check(basic + "YWRtaW46c2VjcmV0\r\n\r\n", false, "admin", "secret"), 0u);
    EXPECT_EQ(sent(), "");
    EXPECT_EQ(check(basic + "YWRtaW46c2VjcmU=\r\n\r\n", false, "admin", "secret"), 228u);
    EXPECT_EQ(sent(), basic_challenge);
    EXPECT_EQ(check(basic + "YWRtaW46c2VjcmV0MQ==\r\n\r\n", false, "admin", "secret"), 228u);
    EXPECT_EQ(sent(), basic_challenge);
    EXPECT_EQ(check(basic + "YWRtaW46\r\n\r\n", false, "admin", ""), 0u) << "an empty password";
    EXPECT_EQ(check(basic + "OnNlY3JldA==\r\n\r\n", false, "", "secret"), 0u) << "an empty name";
    EXPECT_EQ(check(basic + "OnNlY3JldA==\r\n\r\n", false, "admin", "secret"), 228u);
    EXPECT_EQ(check("GET / HTTP/1.0\r\nauthorization: basic   YWRtaW46c2VjcmV0\r\n\r\n", false, "admin", "secret"), 0u)
        << "header and scheme without regard to case, blanks skipped";
    EXPECT_EQ(sent(), basic_challenge);
    // No packet for the challenge: counted, nothing sent, the code all the same.
    NX_PACKET *hold[2] = {};
    ASSERT_EQ(_nx_packet_allocate(&pool, &hold[0], 0, 0), 0u);
    ASSERT_EQ(_nx_packet_allocate(&pool, &hold[1], 0, 0), 0u);
    NX_PACKET *req = hold[1];
    const std::string bad = basic + "YWRtaW46eA==\r\n\r\n";
    _nx_packet_data_append(req, bad.data(), uint32_t(bad.size()), &pool, 0);
    const uint32_t errors = sv.nx_http_server_allocation_errors;
    EXPECT_EQ(_nx_http_server_basic_authenticate(&sv, req, "admin", "secret", "Controller HTTP Server"), 228u);
    EXPECT_EQ(_nx_http_server_digest_authenticate(&sv, req, "admin", "secret", "Controller HTTP Server"), 229u);
    EXPECT_EQ(sv.nx_http_server_allocation_errors, errors + 2);
    EXPECT_EQ(sent(), "");
    _nx_packet_release(hold[0]);
    _nx_packet_release(hold[1]);
    cs = NX_TCP_SOCKET{};
    close(pair[0]);
    close(pair[1]);

    char out[128];
    _nx_http_base64_decode("YWRtaW46c2VjcmV0", out);
    EXPECT_STREQ(out, "admin:secret");
    _nx_http_base64_decode("=abc", out);
    EXPECT_STREQ(out, "");
    _nx_http_base64_encode("admin:secret", 12, out);
    EXPECT_STREQ(out, "YWRtaW46c2VjcmV0");
    _nx_http_base64_encode("ab", 2, out);
    EXPECT_STREQ(out, "YWI=");
}

// The HTTP server's request helpers at the ends of their fields and of the
// bytes received. A packet may hold bytes past its end (written, then cut
// off here) that no helper may take: ';', 'Z', '"' or CR just past the end.
TEST(NetServices, HttpRequestHelpersToTheLastByte) {
    alignas(16) static uint8_t mem[4 * (NX_PACKET_HEADER + 1520)];
    static NX_PACKET_POOL pool;
    _nx_packet_pool_create(&pool, "helpers", 1520, mem, sizeof mem);
    NX_PACKET *pk = nullptr;
    auto packet = [&](const std::string &text, std::size_t past = 0) {
        if (pk != nullptr) _nx_packet_release(pk);
        pk = nullptr;
        EXPECT_EQ(_nx_packet_allocate(&pool, &pk, 0, 0), 0u);
        _nx_packet_data_append(pk, text.data(), uint32_t(text.size()), &pool, 0);
        pk->nx_packet_append_ptr -= past;
        pk->nx_packet_length -= uint32_t(past);
        return pk;
    };
    // Resource: 7 characters fit 8 bytes, 8 do not; no blank before the end.
    char res[8];
    EXPECT_EQ(_nx_http_server_retrieve_resource(packet("GET /abcdef HTTP/1.0\r\n\r\n"), res, 8), 0u);
    EXPECT_STREQ(res, "/abcdef");
    EXPECT_EQ(_nx_http_server_retrieve_resource(packet("GET /abcdefg HTTP/1.0\r\n\r\n"), res, 8), 224u);
    EXPECT_EQ(_nx_http_server_retrieve_resource(packet("GET /abc"), res, 8), 224u);
    // Content length: digits 0 and 9, ten digits, eleven, digits at the end.
    EXPECT_EQ(_nx_http_server_content_length_get(packet("POST / HTTP/1.0\r\nContent-Length: 10\r\n\r\n")), 10u);
    EXPECT_EQ(_nx_http_server_content_length_get(packet("POST / HTTP/1.0\r\nContent-Length: 9\r\n\r\n")), 9u);
    packet("POST / HTTP/1.0\r\nContent-Length: 4294967295\r\n\r\n");
    EXPECT_EQ(_nx_http_server_content_length_get(pk), 4294967295u);
    EXPECT_FALSE(HttpContentLengthTooLong(pk));
    packet("POST / HTTP/1.0\r\nContent-Length: 12345678901\r\n\r\n");
    EXPECT_EQ(_nx_http_server_content_length_get(pk), 0u);
    EXPECT_TRUE(HttpContentLengthTooLong(pk));
    EXPECT_EQ(_nx_http_server_content_length_get(packet("POST / HTTP/1.0\r\nContent-Length: 12\r", 1)), 0u);
    // Parameters and queries: to the end of the bytes, 3 characters in 4 bytes.
    char four[4];
    EXPECT_EQ(_nx_http_server_param_get(packet("GET /a;xyZ ", 2), 0, four, 4), 0u);
    EXPECT_STREQ(four, "xy");
    EXPECT_EQ(_nx_http_server_param_get(packet("GET /x;", 1), 0, four, 4), 230u);
    EXPECT_EQ(_nx_http_server_param_get(packet("GET /a;abc HTTP/1.0\r\n\r\n"), 0, four, 4), 0u);
    EXPECT_STREQ(four, "abc");
    EXPECT_EQ(_nx_http_server_param_get(packet("GET /a;abcd HTTP/1.0\r\n\r\n"), 0, four, 4), 226u);
    EXPECT_EQ(_nx_http_server_query_get(packet("GET /a?xyZ ", 2), 0, four, 4), 0u);
    EXPECT_STREQ(four, "xy");
    EXPECT_EQ(_nx_http_server_query_get(packet("GET /a?abcd HTTP/1.0\r\n\r\n"), 0, four, 4), 0u);
    EXPECT_STREQ(four, "abc");
    // Content: none received behind the header and no connection to
    // receive more from (225); the offset of the body's end.
    char body[16];
    uint32_t got = 99;
    EXPECT_EQ(_nx_http_server_content_get(nullptr, packet("POST / HTTP/1.0\r\nContent-Length: 12\r\n\r\n"), 0, body, 16,
                                          &got),
              225u);
    packet("POST / HTTP/1.0\r\nContent-Length: 12\r\n\r\n0123456789AB");
    EXPECT_EQ(_nx_http_server_content_get(nullptr, pk, 12, body, 16, &got), 231u);
    EXPECT_EQ(_nx_http_server_content_get(nullptr, pk, 11, body, 16, &got), 0u);
    EXPECT_EQ(got, 1u);
    EXPECT_EQ(body[0], 'B');
    // Digest fields: 39 characters kept of a longer one; one that runs to the
    // end of the bytes; a response whose closing quote is past the end.
    const std::string r32 = "8201fa5e72ab0ec174e0c54fe53b3f43";
    char response[40], uri[40], nc[40], cnonce[64];
    std::string uri45(45, 'u');
    uri45[0] = '/';
    packet("GET / HTTP/1.0\r\nAuthorization: Digest uri=\"" + uri45 + "\", nc=00000001Z\r\n", 3);
    EXPECT_EQ(_nx_http_server_retrieve_digest_authorization(pk, response, uri, nc, cnonce), 0u);
    EXPECT_EQ(std::string(uri), uri45.substr(0, 39));
    EXPECT_STREQ(nc, "00000001");
    packet("GET / HTTP/1.0\r\nAuthorization: Digest nc=1, response=\"" + r32 + "\"\r\n", 3);
    EXPECT_EQ(_nx_http_server_retrieve_digest_authorization(pk, response, uri, nc, cnonce), 0u);
    // Basic: to the end of the bytes; 101 characters kept of 110.
    char cred[102];
    EXPECT_EQ(_nx_http_server_retrieve_basic_authorization(
                  packet("GET / HTTP/1.0\r\nAuthorization: Basic YWJjZ\r\n", 3), cred),
              4u);
    EXPECT_STREQ(cred, "YWJj");
    const std::string long_cred(110, 'Q');
    EXPECT_EQ(_nx_http_server_retrieve_basic_authorization(
                  packet("GET / HTTP/1.0\r\nAuthorization: Basic " + long_cred + "\r\n\r\n"), cred),
              101u);
    _nx_packet_release(pk);
    // Base64 of 2 characters decodes to one byte; 1 and 2 bytes of longer texts.
    char out[16];
    _nx_http_base64_decode("YQ", out);
    EXPECT_STREQ(out, "a");
    _nx_http_base64_encode("ab", 1, out);
    EXPECT_STREQ(out, "YQ==");
    _nx_http_base64_encode("abc", 2, out);
    EXPECT_STREQ(out, "YWI=");
}

TEST(NetServices, RegisterTextsFormatsAndFormValues) {
    struct Row {
        const char *reg, *fmt, *len;
        uint32_t ref, bits;
    } rows[] = {
        {"R1", "INT", "", 32768, 16},
        {"R2", "DINT", "", 32784, 32},
        {"R49999", "INT", "", 32768 + 16 * 49998, 16},
        {"R50000", "INT", "", 0, 0},
        {"R65537", "INT", "", 0, 0},  // no modulo 65536
        {"R0", "INT", "", 0, 0},
        {"I1.1", "BOOL", "", 0, 0},
        {"I2", "INT", "", 0, 0},
        {"I17", "INT", "", 8192 + 16, 16},
        {"R1.16", "BOOL", "", 32768 + 15, 1},
        {"R1.17", "BOOL", "", 0, 0},
        {"Q5", "BOOL", "", 10240 + 4, 1},
        {"R3", "ASCII", "10", 32768 + 32, 80},
        {"R3", "ASCII", "", 32768 + 32, 248},
        {"R3", "ASCII", "32", 0, 0},
        {"R3", "", "", 32768 + 32, 16},
        {"R3", "FOO", "", 0, 0},
        {"r3", "INT", "", 0, 0},
        {"R3x", "INT", "", 0, 0},
        {"AI2", "UINT", "", 16384 + 16, 16},
        {"S16", "BOOL", "", 1536 + 15, 1},
        {"R00000001", "INT", "", 0, 0},
        {"R3", "ASCII", "1", 32768 + 32, 8},
    };
    for (const Row &r : rows) {
        EtnReq q{1, 1};
        MakeRegBlock(&q, r.reg, r.fmt, r.len);
        EXPECT_EQ(q.reference, r.ref) << r.reg << " " << r.fmt;
        EXPECT_EQ(q.count, r.bits) << r.reg << " " << r.fmt;
    }
    const std::pair<const char *, const char *> forms[] = {
        {"Courier+New", "Courier New"},
        {"%23FF0000", "#FF0000"},
        {"a%00b", "a"},
        {"50%", "50%"},
        {"x&y", "x"},
        {"ab\tc  ", "ab c"},
        {"%4", "%4"},
        {"", ""},
        {"%39", "9"},
    };
    for (const auto &[in, want] : forms) {
        char out[64];
        UrlValueDecode(out, in);
        EXPECT_STREQ(out, want) << in;
    }
    // The page of a register value, and a page that would pass 255 characters.
    char page[256];
    uint32_t len = 0;
    Dpr_Set_W_Data(32768 + 16 * 99, 123);
    ASSERT_EQ(HttpRegPage("R100", "INT", "", "", "5", "", "", "", page, len), 0u);
    EXPECT_STREQ(page, "<head><meta http-equiv=\"refresh\" content=\"5\"></head>\r\n\r\n<body>123</body>\r\n");
    EXPECT_EQ(len, 74u);
    const std::string face(63, 'F');
    EXPECT_EQ(HttpRegPage("R100", "INT", "", "", face.c_str(), "4", face.c_str(), face.c_str(), page, len), 224u);
    // 111 characters of tags and value with a 17-character refresh text and
    // two of 63: 255 exactly; one more refresh character: refused.
    EXPECT_EQ(
        HttpRegPage("R100", "INT", "", "", std::string(17, '5').c_str(), "4", face.c_str(), face.c_str(), page, len),
        0u);
    EXPECT_EQ(len, 255u);
    EXPECT_EQ(
        HttpRegPage("R100", "INT", "", "", std::string(18, '5').c_str(), "4", face.c_str(), face.c_str(), page, len),
        224u);
    // ASCII values of 1 and 31 characters.
    PlcReg_Set(32768 + 32, "ABCDEFGHIJKLMNOPQRSTUVWXYZ01234", 248);
    // REAL 1.5 (0x3FC00000, low word first at %R106): "%E" only when field 3
    // is "E"; ";fmt-REAL--E" has an empty field 3 and field 4 "E".
    Dpr_Set_W_Data(32768 + 16 * 105, 0x0000);
    Dpr_Set_W_Data(32768 + 16 * 106, 0x3FC0);
    ASSERT_EQ(HttpRegPage("R106", "REAL", "E", "", "", "", "", "", page, len), 0u);
    EXPECT_STREQ(page, "<body>1.500000E+00</body>\r\n");
    ASSERT_EQ(HttpRegPage("R106", "REAL", "", "E", "", "", "", "", page, len), 0u);
    EXPECT_STREQ(page, "<body>1.500000</body>\r\n");
    ASSERT_EQ(HttpRegPage("R3", "ASCII", "1", "", "", "", "", "", page, len), 0u);
    EXPECT_STREQ(page, "<body>A</body>\r\n");
    ASSERT_EQ(HttpRegPage("R3", "ASCII", "31", "", "", "", "", "", page, len), 0u);
    EXPECT_STREQ(page, "<body>ABCDEFGHIJKLMNOPQRSTUVWXYZ01234</body>\r\n");
    // A form value of 64 characters keeps 63.
    char value[64];
    UrlValueDecode(value, std::string(64, 'v').c_str());
    EXPECT_EQ(std::string(value), std::string(63, 'v'));
    // The write form: an ASCII length of 1, 9 and 10 characters takes as many
    // (%R3 on: two a register).
    alignas(16) static uint8_t mem[2 * (NX_PACKET_HEADER + 1520)];
    static NX_PACKET_POOL pool;
    _nx_packet_pool_create(&pool, "write form", 1520, mem, sizeof mem);
    static NX_HTTP_SERVER sv;
    sv = {};
    sv.nx_http_server_packet_pool_ptr = &pool;
    sv.nx_http_server_socket.fd = sv.nx_http_server_socket.accepted_fd = -1;
    DprInitReq();
    auto write = [&](const std::string &fmt, const std::string &value = "ABCDEFGHIJKL") {
        plc_reg.fill(0);
        const std::string req = "POST /writereg.htm;reg-R3;fmt-" + fmt +
                                " HTTP/1.0\r\nContent-Length: " + std::to_string(4 + value.size()) +
                                "\r\n\r\nreg=" + value;
        NX_PACKET *pk = nullptr;
        EXPECT_EQ(_nx_packet_allocate(&pool, &pk, 0, 0), 0u);
        _nx_packet_data_append(pk, req.data(), uint32_t(req.size()), &pool, 0);
        char resource[] = "/writereg.htm";
        Http_RequestNotify(&sv, NX_HTTP_SERVER_POST_REQUEST, resource, pk);
        _nx_packet_release(pk);
        DprInitReq();
    };
    write("ASCII-1");
    EXPECT_EQ(Dpr_Get_W_Data(32768 + 32), 0x0041);
    write("ASCII-9");
    EXPECT_EQ(Dpr_Get_W_Data(32768 + 32 + 16 * 4), 0x0049);
    write("ASCII-10");
    EXPECT_EQ(Dpr_Get_W_Data(32768 + 32 + 16 * 4), 0x4A49);
    EXPECT_EQ(Dpr_Get_W_Data(32768 + 32 + 16 * 5), 0);
    // An address with the digits 0 and 9: 10.9.0.1 is 0x0A090001, low word first.
    write("IPADR", "10.9.0.1");
    EXPECT_EQ(Dpr_Get_W_Data(32768 + 32), 0x0001);
    EXPECT_EQ(Dpr_Get_W_Data(32768 + 48), 0x0A09);
}

// The checking front ends of the HTTP and FTP servers: a missing record,
// instance, stack, pool, packet or destination, or a record without (or,
// to create, already with) its identifier is refused with 7; a pool whose
// packets hold less than 604 bytes with 233; a good call answers as the call.
TEST(NetServices, HttpAndFtpFrontEndsRefuseWithTheirCodes) {
    plat_net = &plat_net_own;
    static NX_PACKET_POOL pool, small;
    static std::array<uint8_t, 2 * (NX_PACKET_HEADER + 1520)> mem alignas(16), small_mem alignas(16);
    static NX_IP ip;
    test_support::EthIp(ip, pool, mem, "f");
    _nx_packet_pool_create(&small, "small", 1520, small_mem.data(), uint32_t(small_mem.size()));
    // The first packets hold 604 and 603 bytes.
    NX_PACKET *first = pool.nx_packet_pool_available_list, *short_first = small.nx_packet_pool_available_list;
    first->nx_packet_data_end = first->nx_packet_data_start + 604;
    short_first->nx_packet_data_end = short_first->nx_packet_data_start + 603;
    static NX_HTTP_SERVER hs;
    static NX_FTP_SERVER fs;
    hs = {};
    uint8_t stack[4];
    char dst[16];
    uint32_t actual = 0;
    NX_PACKET *pk = nullptr;
    ASSERT_EQ(_nx_packet_allocate(&pool, &pk, 0, 0), NX_SUCCESS);
    const char req[] = "POST /writereg.htm HTTP/1.0\r\nContent-Length: 12\r\n\r\n";
    _nx_packet_data_append(pk, req, sizeof req - 1, &pool, 0);
    auto http = [&](NX_IP *i, void *st, NX_PACKET_POOL *pl) {
        return _nxe_http_server_create(&hs, "H", i, nullptr, st, 4, pl, nullptr, nullptr);
    };
    auto ftp = [&](NX_IP *i, void *st, NX_PACKET_POOL *pl) {
        return _nxe_ftp_server_create(&fs, "F", i, nullptr, st, 4, pl, nullptr, nullptr);
    };
    struct Row {
        const char *what;
        std::function<uint32_t()> call;
        uint32_t want;
    };
    const Row rows[] = {
        {"HTTP create, no record",
         [&] { return _nxe_http_server_create(nullptr, "H", &ip, nullptr, stack, 4, &pool, nullptr, nullptr); }, 7},
        {"HTTP create, no instance", [&] { return http(nullptr, stack, &pool); }, 7},
        {"HTTP create, no stack", [&] { return http(&ip, nullptr, &pool); }, 7},
        {"HTTP create, no pool", [&] { return http(&ip, stack, nullptr); }, 7},
        {"HTTP create, packets of 603 bytes", [&] { return http(&ip, stack, &small); }, 233},
        {"HTTP start, not created", [&] { return _nxe_http_server_start(&hs); }, 7},
        {"HTTP stop, not created", [&] { return _nxe_http_server_stop(&hs); }, 7},
        {"HTTP delete, not created", [&] { return _nxe_http_server_delete(&hs); }, 7},
        {"HTTP content, not created", [&] { return _nxe_http_server_content_get(&hs, pk, 0, dst, 16, &actual); }, 7},
        {"HTTP create", [&] { return http(&ip, stack, &pool); }, 0},
        {"HTTP create again", [&] { return http(&ip, stack, &pool); }, 7},
        {"HTTP start, no record", [&] { return _nxe_http_server_start(nullptr); }, 7},
        {"HTTP stop, no record", [&] { return _nxe_http_server_stop(nullptr); }, 7},
        {"HTTP stop", [&] { return _nxe_http_server_stop(&hs); }, 0},
        {"HTTP content, no server", [&] { return _nxe_http_server_content_get(nullptr, pk, 0, dst, 16, &actual); }, 7},
        {"HTTP content, no packet", [&] { return _nxe_http_server_content_get(&hs, nullptr, 0, dst, 16, &actual); }, 7},
        {"HTTP content, no destination", [&] { return _nxe_http_server_content_get(&hs, pk, 0, nullptr, 16, &actual); },
         7},
        {"HTTP content, no size", [&] { return _nxe_http_server_content_get(&hs, pk, 0, dst, 16, nullptr); }, 7},
        {"HTTP parameter, no packet", [&] { return _nxe_http_server_param_get(nullptr, 0, dst, 16); }, 7},
        {"HTTP parameter, no destination", [&] { return _nxe_http_server_param_get(pk, 0, nullptr, 16); }, 7},
        {"HTTP query, no packet", [&] { return _nxe_http_server_query_get(nullptr, 0, dst, 16); }, 7},
        {"HTTP query, no destination", [&] { return _nxe_http_server_query_get(pk, 0, nullptr, 16); }, 7},
        {"HTTP content length, no packet", [&] { return _nxe_http_server_content_length_get(nullptr); }, 0},
        {"HTTP content length", [&] { return _nxe_http_server_content_length_get(pk); }, 12},
        {"HTTP delete, no record", [&] { return _nxe_http_server_delete(nullptr); }, 7},
        {"HTTP delete", [&] { return _nxe_http_server_delete(&hs); }, 0},
        {"HTTP delete again", [&] { return _nxe_http_server_delete(&hs); }, 7},
        {"FTP create, no record",
         [&] { return _nxe_ftp_server_create(nullptr, "F", &ip, nullptr, stack, 4, &pool, nullptr, nullptr); }, 7},
        {"FTP create, no instance", [&] { return ftp(nullptr, stack, &pool); }, 7},
        {"FTP create, no stack", [&] { return ftp(&ip, nullptr, &pool); }, 7},
        {"FTP create, no pool", [&] { return ftp(&ip, stack, nullptr); }, 7},
        {"FTP start, not created", [&] { return _nxe_ftp_server_start(&fs); }, 7},
        {"FTP stop, not created", [&] { return _nxe_ftp_server_stop(&fs); }, 7},
        {"FTP delete, not created", [&] { return _nxe_ftp_server_delete(&fs); }, 7},
        {"FTP create", [&] { return ftp(&ip, stack, &pool); }, 0},
        {"FTP create again", [&] { return ftp(&ip, stack, &pool); }, 7},
        {"FTP start, no record", [&] { return _nxe_ftp_server_start(nullptr); }, 7},
        {"FTP stop, no record", [&] { return _nxe_ftp_server_stop(nullptr); }, 7},
        {"FTP stop", [&] { return _nxe_ftp_server_stop(&fs); }, 0},
        {"FTP delete, no record", [&] { return _nxe_ftp_server_delete(nullptr); }, 7},
        {"FTP delete", [&] { return _nxe_ftp_server_delete(&fs); }, 0},
        {"FTP delete again", [&] { return _nxe_ftp_server_delete(&fs); }, 7},
    };
    for (const Row &r : rows) EXPECT_EQ(r.call(), r.want) << r.what;
    _nx_packet_release(pk);
    plat_net = nullptr;
}

// What the request notification of the live server test read of the body,
// and the status of its last content read.
std::string http_body_read;
uint32_t http_body_status = 0;

uint32_t ReadWholeBody(NX_HTTP_SERVER *sv, uint32_t, char *, NX_PACKET *pk) {
    http_body_read.clear();
    char part[500];
    uint32_t got = 0;
    while ((http_body_status = _nxe_http_server_content_get(sv, pk, uint32_t(http_body_read.size()), part, sizeof part,
                                                            &got)) == NX_SUCCESS)
        http_body_read.append(part, got);
    const std::string n = std::to_string(http_body_read.size());
    _nx_http_server_callback_response_send(sv, "HTTP/1.0 200 ", n.c_str(), nullptr);
    return NX_HTTP_CALLBACK_COMPLETED;
}

// The server on port 80 of a namespace of the test's own, with a request
// notification that reads the body in pieces of 500 bytes: a POST body that
// runs past the first packet (1,520 bytes) is read whole through
// content_get, which ends with 231 at its Content-Length; a body that stops
// short of its Content-Length is answered once the server stops waiting for
// it, the notification getting what came and then 225.
TEST(NetServices, HttpPostBodyBeyondTheFirstPacketAndOneCutShort) {
    test_support::OwnNetns netns;
    ASSERT_TRUE(netns.ok()) << netns.error();
    static NX_PACKET_POOL pool;
    static std::array<uint8_t, 16 * (NX_PACKET_HEADER + 1520)> mem alignas(16);
    static NX_IP ip;
    static NX_HTTP_SERVER hs;
    pool = {};
    ip = {};
    hs = {};
    _nx_packet_pool_create(&pool, "http live", 1520, mem.data(), uint32_t(mem.size()));
    ip.nx_ip_address = 0x7F000001;
    ip.nx_ip_default_packet_pool = &pool;
    uint8_t stack[4];
    ASSERT_EQ(_nxe_http_server_create(&hs, "H", &ip, nullptr, stack, 4, &pool, nullptr, ReadWholeBody), 0u);
    ASSERT_EQ(_nxe_http_server_start(&hs), 0u);
    auto answer = [](test_support::LoopPeer &peer, int passes) {
        std::string got;
        for (int i = 0; i < passes && !peer.closed; i++) {
            _nx_http_server_thread_entry(&hs);
            EnetThread();
            const std::vector<uint8_t> b = peer.Take(1);
            got.append(b.begin(), b.end());
        }
        return got;
    };
    std::string body(3000, '\0');
    for (std::size_t i = 0; i < body.size(); i++) body[i] = char('A' + (i * 7) % 26);
    {
        test_support::LoopPeer peer(80);
        ASSERT_TRUE(peer.connected);
        const std::string req = "POST /form.htm HTTP/1.0\r\nContent-Length: 3000\r\n\r\n" + body;
        peer.Send(std::vector<uint8_t>(req.begin(), req.end()));
        peer.WaitDelivered();
        EXPECT_EQ(answer(peer, 300), "HTTP/1.0 200 \r\nContent-Length: 4\r\n\r\n3000");
        EXPECT_TRUE(peer.closed);
        EXPECT_EQ(http_body_read, body);
        EXPECT_EQ(http_body_status, 231u);
    }
    {
        test_support::LoopPeer peer(80);
        ASSERT_TRUE(peer.connected);
        const std::string req = "POST /form.htm HTTP/1.0\r\nContent-Length: 100\r\n\r\nvalue=5678";
        peer.Send(std::vector<uint8_t>(req.begin(), req.end()));
        peer.WaitDelivered();
        EXPECT_EQ(answer(peer, 1200), "HTTP/1.0 200 \r\nContent-Length: 2\r\n\r\n10");
        EXPECT_TRUE(peer.closed);
        EXPECT_EQ(http_body_read, "value=5678");
        EXPECT_EQ(http_body_status, 225u);
    }
    EXPECT_EQ(_nxe_http_server_delete(&hs), 0u);
    uint32_t free_packets = 0;
    for (NX_PACKET *pk = pool.nx_packet_pool_available_list; pk != nullptr; pk = pk->nx_packet_pool_next)
        free_packets += pk->nx_packet_state == NX_PACKET_FREE;
    EXPECT_EQ(free_packets, pool.nx_packet_pool_total);
}

// A request header that never ends (no blank line) keeps its connection
// for 1,000 passes of the server, counting the pass that took it; then the
// connection is closed without an answer and counted as a request time-out.
TEST(NetServices, HttpHeaderThatNeverEndsIsDroppedAfterAThousandPasses) {
    test_support::OwnNetns netns;
    ASSERT_TRUE(netns.ok()) << netns.error();
    static NX_PACKET_POOL pool;
    static std::array<uint8_t, 16 * (NX_PACKET_HEADER + 1520)> mem alignas(16);
    static NX_IP ip;
    static NX_HTTP_SERVER hs;
    pool = {};
    ip = {};
    hs = {};
    _nx_packet_pool_create(&pool, "http slow", 1520, mem.data(), uint32_t(mem.size()));
    ip.nx_ip_address = 0x7F000001;
    ip.nx_ip_default_packet_pool = &pool;
    uint8_t stack[4];
    ASSERT_EQ(_nxe_http_server_create(&hs, "H", &ip, nullptr, stack, 4, &pool, nullptr, nullptr), 0u);
    ASSERT_EQ(_nxe_http_server_start(&hs), 0u);
    test_support::LoopPeer peer(80);
    ASSERT_TRUE(peer.connected);
    const std::string req = "GET /x.htm HTTP/1.0\r\n";
    peer.Send(std::vector<uint8_t>(req.begin(), req.end()));
    peer.WaitDelivered();
    for (int i = 0; i < 300 && hs.nx_http_server_connection_successes == 0; i++) {
        EnetThread();
        _nx_http_server_thread_entry(&hs);
    }
    ASSERT_EQ(hs.nx_http_server_connection_successes, 1u);
    for (int i = 0; i < 998; i++) {
        EnetThread();
        _nx_http_server_thread_entry(&hs);
    }
    EXPECT_TRUE(peer.Take(0).empty());
    EXPECT_FALSE(peer.closed);
    EXPECT_EQ(hs.nx_http_server_invalid_http_headers, 0u);
    EnetThread();
    _nx_http_server_thread_entry(&hs);
    EXPECT_TRUE(peer.Take(2000).empty());
    EXPECT_TRUE(peer.closed);
    EXPECT_EQ(hs.nx_http_server_invalid_http_headers, 1u);
    EXPECT_EQ(_nxe_http_server_delete(&hs), 0u);
}

// A GET of a card file that grows while it is sent, as a data log does
// between passes: the answer carries the length the file had when the
// request came, and exactly that many bytes of it. With a packet of 1,520
// bytes the header (65 bytes) and 1,451 bytes of the 2,000 go first; the
// 100 bytes added meanwhile stay out of the second packet's 549.
TEST(NetServices, HttpGetOfAGrowingFileSendsTheLengthItAnnounced) {
    test_support::OwnNetns netns;
    ASSERT_TRUE(netns.ok()) << netns.error();
    test_support::TempRoot root;
    mkdir((root / "mnt").c_str(), 0755);
    mkdir((root / "mnt/USB0").c_str(), 0755);
    std::string data(2000, '\0');
    for (std::size_t i = 0; i < data.size(); i++) data[i] = char('a' + i % 26);
    std::ofstream(root / "mnt/USB0/log.txt", std::ios::binary) << data;
    static NX_PACKET_POOL pool;
    static std::array<uint8_t, 16 * (NX_PACKET_HEADER + 1520)> mem alignas(16);
    static NX_IP ip;
    static NX_HTTP_SERVER hs;
    static FxMedia card;
    pool = {};
    ip = {};
    hs = {};
    card = {};
    card.drive = DRIVE_A;
    _nx_packet_pool_create(&pool, "http get", 1520, mem.data(), uint32_t(mem.size()));
    ip.nx_ip_address = 0x7F000001;
    ip.nx_ip_default_packet_pool = &pool;
    uint8_t stack[4];
    ASSERT_EQ(_nxe_http_server_create(&hs, "H", &ip, &card, stack, 4, &pool, nullptr, nullptr), 0u);
    ASSERT_EQ(_nxe_http_server_start(&hs), 0u);
    test_support::LoopPeer peer(80);
    ASSERT_TRUE(peer.connected);
    const std::string req = "GET /log.txt HTTP/1.0\r\n\r\n";
    peer.Send(std::vector<uint8_t>(req.begin(), req.end()));
    peer.WaitDelivered();
    std::string got;
    for (int i = 0; i < 300 && got.empty() && !peer.closed; i++) {
        _nx_http_server_thread_entry(&hs);
        EnetThread();
        const std::vector<uint8_t> b = peer.Take(1);
        got.append(b.begin(), b.end());
    }
    EXPECT_EQ(got.size(), 65u + 1451u);
    std::ofstream(root / "mnt/USB0/log.txt", std::ios::binary | std::ios::app) << std::string(100, '+');
    for (int i = 0; i < 300 && !peer.closed; i++) {
        _nx_http_server_thread_entry(&hs);
        EnetThread();
        const std::vector<uint8_t> b = peer.Take(1);
        got.append(b.begin(), b.end());
    }
    EXPECT_TRUE(peer.closed);
    EXPECT_EQ(got, "HTTP/1.0 200 \r\nContent-Length: 2000\r\nContent-Type: text/plain\r\n\r\n" + data);
    EXPECT_EQ(_nxe_http_server_delete(&hs), 0u);
    // Deleted, the server no longer listens: port 80 is free for another.
    test_support::LoopPeer after(80);
    EXPECT_FALSE(after.connected);
}

std::vector<uint8_t> Bytes(const uint8_t *p, std::size_t n) { return {p, p + n}; }

// One's-complement sum of 16-bit big-endian words (an odd last byte padded).
uint32_t WordSum(const uint8_t *p, std::size_t n, uint32_t acc = 0) {
    for (std::size_t i = 0; i < n; i++) acc += (i % 2 == 0) ? uint32_t(p[i]) << 8 : p[i];
    while (acc >> 16) acc = (acc & 0xFFFF) + (acc >> 16);
    return acc;
}

// msg in an IPv4/UDP datagram from 10.77.0.3 port 67 to 255.255.255.255 port
// 68, with its header checksum and, when asked, its UDP checksum.
std::vector<uint8_t> Datagram(const std::vector<uint8_t> &msg, bool udp_sum = false) {
    std::vector<uint8_t> dg(28 + msg.size(), 0);
    dg[0] = 0x45;
    dg[2] = uint8_t(dg.size() >> 8), dg[3] = uint8_t(dg.size());
    dg[8] = 64, dg[9] = 17;
    dg[12] = 10, dg[13] = 77, dg[15] = 3;
    dg[16] = dg[17] = dg[18] = dg[19] = 255;
    const uint16_t ipsum = uint16_t(~WordSum(dg.data(), 20));
    dg[10] = uint8_t(ipsum >> 8), dg[11] = uint8_t(ipsum);
    dg[20] = 0, dg[21] = 67, dg[22] = 0, dg[23] = 68;
    const std::size_t udp = dg.size() - 20;
    dg[24] = uint8_t(udp >> 8), dg[25] = uint8_t(udp);
    std::copy(msg.begin(), msg.end(), dg.begin() + 28);
    if (udp_sum) {
        // Pseudo-header: source, destination, protocol 17, UDP length.
        uint32_t acc = WordSum(dg.data() + 12, 8, 17 + uint32_t(udp));
        uint16_t sum = uint16_t(~WordSum(dg.data() + 20, udp, acc));
        if (sum == 0) sum = 0xFFFF;
        dg[26] = uint8_t(sum >> 8), dg[27] = uint8_t(sum);
    }
    return dg;
}

TEST(NetServices, DhcpMessagesDatagramsAndLease) {
    DhcpProcCtrl &r = dhcpProcCtrl[0];
    std::memset(static_cast<void *>(&r), 0, sizeof r);
    r.fd = -1;
    r.xid = 1;
    r.mac = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
    dhcpOffered[0] = {};
    setQryPacket(DHCP_DISCOVER, 0);
    const std::vector<uint8_t> head = {1, 1, 6, 0, 0, 0, 0, 1, 0, 0, 0x80, 0};
    EXPECT_EQ(Bytes(r.out.data(), 12), head);
    EXPECT_EQ(Bytes(r.out.data() + 28, 6), Bytes(r.mac.data(), 6));
    const std::vector<uint8_t> opts = {99,   130,  83,   99,   53, 1, 1, 61, 7, 1,   0x02, 0x11,
                                       0x22, 0x33, 0x44, 0x55, 55, 3, 1, 3,  6, 255, 0};
    EXPECT_EQ(Bytes(r.out.data() + 236, opts.size()), opts);
    DhcpBuildDatagram(0, 0xFFFFFFFF);
    const uint8_t *d = r.dgram.data();
    const std::vector<uint8_t> ip_head = {0x45, 0, 0x02, 0x40, 0, 0, 0, 0, 64, 17};
    EXPECT_EQ(Bytes(d, 10), ip_head);
    EXPECT_EQ(Bytes(d + 12, 8), (std::vector<uint8_t>{0, 0, 0, 0, 255, 255, 255, 255}));
    EXPECT_EQ(Bytes(d + 20, 6), (std::vector<uint8_t>{0, 68, 0, 67, 0x02, 0x2C}));
    // Header checksum worked out by hand: ~(0x4500 + 0x0240 + 0x4011 + 0xFFFF + 0xFFFF) = 0x78AE.
    EXPECT_EQ(Bytes(d + 10, 2), (std::vector<uint8_t>{0x78, 0xAE}));

    // A reply of 300 bytes of message: option 53 after a pad, T1 too long, 255 ends.
    std::vector<uint8_t> msg(300, 0);
    msg[0] = 2;
    msg[7] = 1;
    msg[16] = 10, msg[17] = 77, msg[18] = 0, msg[19] = 55;
    std::memcpy(&msg[28], r.mac.data(), 6);
    const uint8_t o[] = {99,   130,  83,   99,   0, 53, 1,  2, 1,   4,  255, 255, 255, 0, 3, 4,  10,
                         77,   0,    1,    6,    4, 10, 77, 0, 3,   54, 4,   10,  77,  0, 3, 58, 4,
                         0xFF, 0xFF, 0xFF, 0xFF, 3, 2,  9,  9, 255, 1,  4,   1,   2,   3, 4};
    std::memcpy(&msg[236], o, sizeof o);
    std::vector<uint8_t> dg(28 + msg.size(), 0);
    dg[0] = 0x45;
    dg[2] = uint8_t(dg.size() >> 8), dg[3] = uint8_t(dg.size());
    dg[8] = 64, dg[9] = 17;
    dg[12] = 10, dg[13] = 77, dg[15] = 3;
    dg[16] = dg[17] = dg[18] = dg[19] = 255;
    uint32_t acc = 0;
    for (int i = 0; i < 20; i += 2) acc += uint32_t(dg[i] << 8 | dg[i + 1]);
    while (acc >> 16) acc = (acc & 0xFFFF) + (acc >> 16);
    const uint16_t ipsum = uint16_t(~acc);
    dg[10] = uint8_t(ipsum >> 8), dg[11] = uint8_t(ipsum);
    dg[20] = 0, dg[21] = 67, dg[22] = 0, dg[23] = 68;
    dg[24] = uint8_t((dg.size() - 20) >> 8), dg[25] = uint8_t(dg.size() - 20);
    std::memcpy(&dg[28], msg.data(), msg.size());
    ASSERT_EQ(DhcpTakeDatagram(0, dg.data(), dg.size()), 1u) << "UDP checksum 0 is accepted";
    EXPECT_EQ(DhcpReplyType(0), DHCP_OFFER);
    procOfferAckPacket(0);
    const DhcpOffered &l = dhcpOffered[0];
    EXPECT_EQ(l.address, 0x0A4D0037u);
    EXPECT_EQ(l.mask, 0xFFFFFF00u);
    EXPECT_EQ(l.router, 0x0A4D0001u);
    EXPECT_EQ(l.dns1, 0x0A4D0003u);
    EXPECT_EQ(l.server, 0x0A4D0003u);
    EXPECT_EQ(l.t1, 0xFFFFFFFFu);
    EXPECT_EQ(l.t2, 0u) << "items of fewer than 4 bytes and items after 255 are not stored";
    dg[10] ^= 1;
    EXPECT_EQ(DhcpTakeDatagram(0, dg.data(), dg.size()), 0u) << "wrong header checksum";
    dg[10] ^= 1;
    EXPECT_EQ(DhcpTakeDatagram(0, dg.data(), 27), 0u);
    dg[23] = 67;
    EXPECT_EQ(DhcpTakeDatagram(0, dg.data(), dg.size()), 0u) << "not for port 68";
    // An odd length under its UDP checksum; headers alone; the longest datagram.
    std::vector<uint8_t> odd(msg);
    odd.push_back(0x5A);
    const std::vector<uint8_t> odd_dg = Datagram(odd, true);
    EXPECT_EQ(DhcpTakeDatagram(0, odd_dg.data(), odd_dg.size()), 1u);
    EXPECT_EQ(r.in_len, 301u);
    const std::vector<uint8_t> bare = Datagram({});
    EXPECT_EQ(DhcpTakeDatagram(0, bare.data(), bare.size()), 1u);
    EXPECT_EQ(r.in_len, 0u);
    std::vector<uint8_t> full(msg);
    full.resize(548);
    const std::vector<uint8_t> full_dg = Datagram(full, true);
    ASSERT_EQ(full_dg.size(), 576u);
    EXPECT_EQ(DhcpTakeDatagram(0, full_dg.data(), full_dg.size()), 1u);
    EXPECT_EQ(r.in_len, 548u);

    // Waiting for the answer: an offer asks for its address, an
    // acknowledgement binds the lease, a refusal ends the exchange.
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM, 0, sv), 0);
    auto answered = [&](uint8_t type) {
        std::vector<uint8_t> m(msg);
        m[236 + 7] = type;
        const std::vector<uint8_t> a = Datagram(m);
        r.fd = sv[0];
        r.state = DHCP_ST_WAIT;
        r.msg = DHCP_DISCOVER;
        r.bound = 0;
        EXPECT_EQ(send(sv[1], a.data(), a.size(), 0), ssize_t(a.size()));
        dhcpScan(1, 0);
    };
    answered(DHCP_OFFER);
    EXPECT_EQ(r.state, DHCP_ST_SEND);
    EXPECT_EQ(r.msg, DHCP_REQUEST);
    answered(DHCP_ACK);
    EXPECT_EQ(r.state, DHCP_ST_SEND);
    EXPECT_EQ(r.msg, DHCP_INFORM);
    EXPECT_EQ(r.bound, 1);
    answered(DHCP_NAK);
    EXPECT_EQ(r.state, DHCP_ST_IDLE);
    EXPECT_EQ(r.bound, 0);
    close(sv[0]);
    close(sv[1]);
    // A new discovery asks for the address last offered (10.77.0.55) with
    // option 50, although it clears the lease.
    r.fd = -1;
    r.state = DHCP_ST_SEND;
    r.msg = DHCP_DISCOVER;
    dhcpScan(1, 0);
    EXPECT_EQ(dhcpOffered[0].address, 0u);
    const std::vector<uint8_t> again = {99,       130,      83,       99,       53,       1,        1,  61,  7,  1,
                                        r.mac[0], r.mac[1], r.mac[2], r.mac[3], r.mac[4], r.mac[5], 50, 4,   10, 77,
                                        0,        55,       55,       3,        1,        3,        6,  255, 0};
    EXPECT_EQ(Bytes(r.out.data() + 236, again.size()), again);
    std::memset(static_cast<void *>(&r), 0, sizeof r);
    r.fd = -1;
}

// A held lease through its life: renewed after 300 s when the server gave no
// T1, the renewing request unicast to the server with the lease address;
// after the acknowledgement one INFORM whose exchange the first datagram
// ends; turned off, one RELEASE to the server; a reply to another
// transaction ends the exchange and discovery starts again.
TEST(NetServices, DhcpRenewalInformReleaseAndStrayReply) {
    test_support::FakeClock clock;
    DhcpProcCtrl &r = dhcpProcCtrl[0];
    std::memset(static_cast<void *>(&r), 0, sizeof r);
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM, 0, sv), 0);
    r.fd = sv[0];
    r.xid = 1;
    r.mac = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
    r.bound = 1;
    r.no_lease = 0;
    r.offered_known = 1;
    const uint8_t lease_raw[] = {10, 77, 0, 55};
    std::memcpy(&r.offered_raw, lease_raw, 4);
    dhcpOffered[0] = {0x0A4D0003, 0x0A4D0037, 0xFFFFFF00, 0x0A4D0001, 0, 0, 0, 0, 0};
    auto reply = [&](uint8_t type, uint8_t xid) {
        std::vector<uint8_t> m(300, 0);
        m[0] = 2;
        m[7] = xid;
        m[16] = 10, m[17] = 77, m[18] = 0, m[19] = 55;
        std::memcpy(&m[28], r.mac.data(), 6);
        const uint8_t o[] = {99, 130, 83, 99, 53, 1, type, 54, 4, 10, 77, 0, 3, 58, 4, 0, 0, 0, 60, 255};
        std::memcpy(&m[236], o, sizeof o);
        const std::vector<uint8_t> d = Datagram(m);
        EXPECT_EQ(send(sv[1], d.data(), d.size(), 0), ssize_t(d.size()));
    };
    auto dest = [&] { return Bytes(r.dgram.data() + 16, 4); };
    const std::vector<uint8_t> server = {10, 77, 0, 3}, all = {255, 255, 255, 255};

    // Without T1 the lease is renewed after 300 s (3,000,000 ticks).
    dhcpScan(1, 0);
    EXPECT_EQ(dhcpOffered[0].t1, 300u);
    EXPECT_EQ(r.renew_running, 1);
    test_support::FakeClock::Advance(2999999);
    dhcpScan(1, 0);
    EXPECT_EQ(r.state, DHCP_ST_IDLE);
    test_support::FakeClock::Advance(1);
    dhcpScan(1, 0);
    EXPECT_EQ(r.state, DHCP_ST_SEND);
    EXPECT_EQ(r.msg, DHCP_RENEW);
    EXPECT_EQ(r.bound, 0);
    EXPECT_EQ(dhcpState, 1);
    dhcpScan(1, 0);
    EXPECT_EQ(r.state, DHCP_ST_WAIT);
    EXPECT_EQ(Bytes(r.out.data() + 12, 4), Bytes(lease_raw, 4)) << "ciaddr";
    EXPECT_EQ(Bytes(r.out.data() + 10, 2), (std::vector<uint8_t>{0, 0}));
    const std::vector<uint8_t> renew = {99,   130,  83, 99, 53, 1,  3, 61, 7,  1, 0x02, 0x11, 0x22, 0x33,
                                        0x44, 0x55, 50, 4,  10, 77, 0, 55, 55, 3, 1,    3,    6,    255};
    EXPECT_EQ(Bytes(r.out.data() + 236, renew.size()), renew);
    EXPECT_EQ(dest(), server);

    // The acknowledgement binds again (T1 60 s) and one INFORM goes out,
    // broadcast; any datagram ends that exchange.
    reply(DHCP_ACK, 1);
    dhcpScan(1, 0);
    EXPECT_EQ(r.bound, 1);
    EXPECT_EQ(dhcpState, 0);
    EXPECT_EQ(r.state, DHCP_ST_SEND);
    EXPECT_EQ(r.msg, DHCP_INFORM);
    EXPECT_EQ(dhcpOffered[0].t1, 60u);
    dhcpScan(1, 0);
    const std::vector<uint8_t> inform = {99,   130,  83,   99,   53,   1,  8, 61, 7, 1, 0x02,
                                         0x11, 0x22, 0x33, 0x44, 0x55, 55, 3, 1,  3, 6, 255};
    EXPECT_EQ(Bytes(r.out.data() + 236, inform.size()), inform);
    EXPECT_EQ(Bytes(r.out.data() + 12, 4), Bytes(lease_raw, 4));
    EXPECT_EQ(dest(), all);
    reply(DHCP_NAK, 9);
    dhcpScan(1, 0);
    EXPECT_EQ(r.state, DHCP_ST_IDLE);
    EXPECT_EQ(r.bound, 1);

    // Turned off: one RELEASE to the server, then nothing more.
    dhcpScan(0, 0);
    EXPECT_EQ(r.state, DHCP_ST_RELEASE);
    dhcpScan(0, 0);
    EXPECT_EQ(r.msg, DHCP_RELEASE);
    EXPECT_EQ(dhcpState, 2);
    EXPECT_EQ(r.bound, 0);
    dhcpScan(0, 0);
    const std::vector<uint8_t> release = {99,   130,  83,   99,   53, 1, 7,  61, 7, 1, 0x02, 0x11,
                                          0x22, 0x33, 0x44, 0x55, 54, 4, 10, 77, 0, 3, 255};
    EXPECT_EQ(Bytes(r.out.data() + 236, release.size()), release);
    EXPECT_EQ(Bytes(r.out.data() + 12, 4), Bytes(lease_raw, 4));
    EXPECT_EQ(dest(), server);
    test_support::FakeClock::Advance(60000);
    dhcpScan(0, 0);
    EXPECT_EQ(r.state, DHCP_ST_IDLE);
    dhcpScan(0, 0);
    EXPECT_EQ(r.state, DHCP_ST_IDLE);

    // On again: discovery; an offer for another transaction ends it.
    dhcpScan(1, 0);
    EXPECT_EQ(r.state, DHCP_ST_START);
    dhcpScan(1, 0);
    dhcpScan(1, 0);
    EXPECT_EQ(r.state, DHCP_ST_WAIT);
    reply(DHCP_OFFER, 2);
    dhcpScan(1, 0);
    EXPECT_EQ(r.state, DHCP_ST_IDLE);
    dhcpScan(1, 0);
    EXPECT_EQ(r.state, DHCP_ST_START);

    close(sv[0]);
    close(sv[1]);
    std::memset(static_cast<void *>(&r), 0, sizeof r);
    r.fd = -1;
    dhcpOffered[0] = {};
}

TEST(NetServices, DnsQueriesAndAnswers) {
    uint8_t q[1024];
    const uint32_t n = DnsBuildQuery("broker.plc.test", 0x1234, q);
    const std::vector<uint8_t> want = {0x12, 0x34, 0x01, 0x80, 0,   1,   0,   0,   0, 0,   0,
                                       0,    6,    'b',  'r',  'o', 'k', 'e', 'r', 3, 'p', 'l',
                                       'c',  4,    't',  'e',  's', 't', 0,   0,   1, 0,   1};
    EXPECT_EQ(Bytes(q, n), want);
    EXPECT_EQ(DnsBuildQuery(std::string(64, 'a').c_str(), 1, q), 0u);
    EXPECT_EQ(DnsBuildQuery((std::string(63, 'a') + "." + std::string(63, 'b') + "." + std::string(63, 'c') + "." +
                             std::string(62, 'd'))
                                .c_str(),
                            1, q),
              0u)
        << "254 characters";
    EXPECT_EQ(DnsBuildQuery("a..b", 1, q), 0u);
    // 253 characters: four labels, 255 bytes with their lengths and the root.
    EXPECT_EQ(DnsBuildQuery((std::string(63, 'a') + "." + std::string(63, 'b') + "." + std::string(63, 'c') + "." +
                             std::string(61, 'd'))
                                .c_str(),
                            1, q),
              12u + 255u + 4u);

    // Answer: the question, an AAAA record first, then the A record.
    std::vector<uint8_t> a(want);
    a[2] = 0x81, a[3] = 0x80;
    a[7] = 2;
    const uint8_t aaaa[] = {0xC0, 12, 0, 28, 0, 1, 0, 0, 0, 60, 0, 16, 0xfd, 0,
                            0,    0,  0, 0,  0, 0, 0, 0, 0, 0,  0, 0,  0,    1};
    const uint8_t rec[] = {0xC0, 12, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4, 10, 77, 0, 42};
    a.insert(a.end(), aaaa, aaaa + sizeof aaaa);
    a.insert(a.end(), rec, rec + sizeof rec);
    uint32_t addr = 0;
    EXPECT_EQ(DnsParseAnswer(a.data(), a.size(), 0x1234, &addr), 1u);
    EXPECT_EQ(addr, 0x0A4D002Au);
    EXPECT_EQ(DnsParseAnswer(a.data(), a.size(), 0x1233, &addr), 0u) << "stale identifier";
    EXPECT_EQ(DnsParseAnswer(a.data(), a.size() - 1, 0x1234, &addr), 0u) << "record past the bytes received";
    // Cut right after the question's first label, and inside the A record's
    // fixed part: nothing read past the bytes.
    const std::vector<uint8_t> in_name(a.begin(), a.begin() + 19);
    EXPECT_EQ(DnsParseAnswer(in_name.data(), in_name.size(), 0x1234, &addr), 0u);
    const std::vector<uint8_t> in_record(a.begin(), a.end() - 12);
    EXPECT_EQ(DnsParseAnswer(in_record.data(), in_record.size(), 0x1234, &addr), 0u);
    a[2] = 0x01;
    EXPECT_EQ(DnsParseAnswer(a.data(), a.size(), 0x1234, &addr), 0u) << "not a response";
}

TEST(NetServices, ServicePipeFilesAndRestartBits) {
    test_support::TempRoot root;
    mkdir((root / "opt").c_str(), 0755);
    mkdir((root / "opt/valmar").c_str(), 0755);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    static int wfd;
    wfd = fds[1];
    NetSvc_Hooks = {};
    NetSvc_Hooks.script_pipe = [] { return wfd; };
    NetSvc_Hooks.script_absent = [] { return false; };
    Svc_Reset();
    Svc_DnsSet(0x0A4D0003);
    EXPECT_EQ(Svc_PipeWrite("stop0\n", 6, "write"), 1u);
    char buf[64] = {};
    const ssize_t n = read(fds[0], buf, sizeof buf);
    EXPECT_EQ(std::string(buf, std::size_t(n)), std::string("dnsSet_2_0_10.77.0.3\n\0stop0\n", 28));

    DprConfigRec &c = Dpr_Configuration[0];
    c.enables[0] = EN0_FTP;
    std::strcpy(c.ftp[0].user, "alice");
    std::strcpy(c.ftp[0].password, "pw1");
    c.ftp[0].rights = 0;
    std::strcpy(c.ftp[1].user, "bob");
    c.ftp[1].password[0] = 0;
    c.ftp[1].rights = 1;
    NTP_Enabled = 1;
    Svc_WriteServiceFiles();
    auto slurp = [&](const char *rel) {
        std::ifstream f(root / rel, std::ios::binary);
        std::stringstream s;
        s << f.rdbuf();
        return s.str();
    };
    EXPECT_EQ(slurp("opt/valmar/main_conf"), "ftp0\nntp0\n");
    EXPECT_EQ(slurp("opt/valmar/ftp/newpwdfile1"), "alice:pw1\n");
    EXPECT_EQ(slurp("opt/valmar/ftp/newvsftpd.chroot_list1"), "alice:1\n");
    std::strcpy(c.ftp[0].password, "p:w");
    Svc_WriteServiceFiles();
    EXPECT_EQ(slurp("opt/valmar/ftp/newpwdfile1"), "") << "a name or password with ':' gets no line";
    c.enables[0] = 0;
    NTP_Enabled = 0;
    Svc_WriteServiceFiles();
    EXPECT_EQ(slurp("opt/valmar/main_conf"), "ftp0\n");
    EXPECT_EQ(access((root / "opt/valmar/ftp/newpwdfile1").c_str(), F_OK), -1);

    // Without a script an FTP restart request clears at once.
    NetSvc_Hooks.script_absent = [] { return true; };
    plc_reg[566] = 0x08;
    plc_reg[567] = 0;
    Svc_RestartRequests();
    EXPECT_EQ(plc_reg[566], 0);
    EXPECT_EQ(prot_run_bit, 0);

    // The HTTP hand-over: a running web server is asked to stop and waited
    // for while its thread lives; a start asked but not yet begun has no
    // thread to act on a stop, and is withdrawn (stopped) instead, so that a
    // later start or restart request finds the server stopped.
    static TavixState web;
    static bool thread_lives;
    NetSvc_Hooks.web_state = [] { return web; };
    NetSvc_Hooks.web_state_set = [](TavixState st) { web = st; };
    NetSvc_Hooks.web_thread = [] { return thread_lives; };
    // The wait begins on an even millisecond, and lasts 3 s at most.
    const uint8_t http_was = TavixHttp;
    test_support::FakeClock clock;
    test_support::FakeClock::AdvanceMs(_tx_time_get() & 1);
    web = TavixState::Running;
    thread_lives = true;
    TavixHttp = 1;
    Svc_HandoverPending = 1;
    Svc_HandoverStep();
    EXPECT_EQ(web, TavixState::StopRequested);
    EXPECT_EQ(TavixHttp, 1) << "the port is the web server's while its thread lives";
    test_support::FakeClock::AdvanceMs(2999);
    Svc_HandoverStep();
    EXPECT_EQ(TavixHttp, 1);
    test_support::FakeClock::AdvanceMs(1);
    Svc_HandoverStep();
    EXPECT_EQ(TavixHttp, 0);
    EXPECT_EQ(Svc_HandoverPending, 0);
    // A web project upload that begins during the wait ends it at once.
    static uint8_t ftping;
    ftping = 0;
    NetSvc_Hooks.web_ftping = [] { return ftping; };
    web = TavixState::Running;
    TavixHttp = 1;
    Svc_HandoverPending = 1;
    Svc_HandoverStep();
    EXPECT_EQ(TavixHttp, 1);
    ftping = 1;
    test_support::FakeClock::AdvanceMs(10);
    Svc_HandoverStep();
    EXPECT_EQ(TavixHttp, 0);
    EXPECT_EQ(Svc_HandoverPending, 0);
    ftping = 0;
    web = TavixState::StartRequested;
    thread_lives = false;
    TavixHttp = 1;
    Svc_HandoverPending = 1;
    Svc_HandoverStep();
    EXPECT_EQ(web, TavixState::Stopped);
    EXPECT_EQ(TavixHttp, 0);
    EXPECT_EQ(Svc_HandoverPending, 0);
    TavixHttp = http_was;

    // A restart under way runs to its end even when the program clears its
    // bit meanwhile (here by writing the word whole for a Modbus restart);
    // the other requests wait for that end and then run, rather than never.
    NetSvc_Hooks.script_absent = [] { return false; };
    static int modbus_restarts;
    modbus_restarts = 0;
    const EnetHooks hooks_was = enet_hooks;
    enet_hooks.modbus.stop = [](uint32_t) {};
    enet_hooks.modbus.init = [](NX_IP *, NX_PACKET_POOL *) -> uint32_t {
        modbus_restarts++;
        return 0;
    };
    Svc_Reset();
    plc_reg[566] = 0x08;
    Svc_RestartRequests();
    EXPECT_EQ(prot_run_bit, 4);
    EXPECT_EQ(reset_flg, 1);
    char cmds[32] = {};
    EXPECT_EQ(std::string(cmds, std::size_t(read(fds[0], cmds, sizeof cmds))), "stop0\nstart0\n");
    plc_reg[566] = 0x02;
    Svc_RestartRequests();
    EXPECT_EQ(plc_reg[566], 0x02) << "Modbus waits for the FTP restart";
    EXPECT_EQ(modbus_restarts, 0);
    std::ofstream(root / "opt/valmar/ftp/started1.txt").put('1');
    Svc_RestartRequests();
    EXPECT_EQ(prot_run_bit, 0);
    EXPECT_EQ(reset_flg, 0);
    EXPECT_EQ(plc_reg[566], 0x00);
    EXPECT_EQ(modbus_restarts, 1);
    // eth1's FTP daemon: its own commands (no NUL) and its own marker.
    plc_reg[560] = 0x08;
    Svc_RestartRequests();
    EXPECT_EQ(prot_run_bit, 0x80);
    EXPECT_EQ(std::string(cmds, std::size_t(read(fds[0], cmds, sizeof cmds))), "stop1\nstart1\n");
    Svc_RestartRequests();
    EXPECT_EQ(plc_reg[560], 0x08) << "waits for eth1's marker";
    std::ofstream(root / "opt/valmar/ftp/started2.txt").put('1');
    Svc_RestartRequests();
    EXPECT_EQ(plc_reg[560], 0x00);
    EXPECT_EQ(prot_run_bit, 0);
    EXPECT_EQ(reset_flg, 0);
    // A changed eth0 address: "stop0" and "start0" with their NULs, once,
    // and nothing in the pass right after a configuration change.
    const uint8_t link_was = uint8_t(Enet_IpInstance[0].nx_ip_link_up);
    Enet_IpInstance[0].nx_ip_link_up = 1;
    IpAddr0Change = 1;
    MasterRestartOn = 1;
    Svc_AddressAndTime();
    EXPECT_EQ(MasterRestartOn, 0);
    EXPECT_EQ(IpAddr0Change, 1);
    Svc_AddressAndTime();
    EXPECT_EQ(IpAddr0Change, 0);
    EXPECT_EQ(std::string(cmds, std::size_t(read(fds[0], cmds, sizeof cmds))), std::string("stop0\n\0start0\n\0", 15));
    Enet_IpInstance[0].nx_ip_link_up = link_was;
    // The same for the e-mail connection's end, then an EGD restart.
    static bool email_ended;
    static int egd_restarts;
    email_ended = false;
    egd_restarts = 0;
    NetSvc_Hooks.email_disconnect = [] { return email_ended; };
    NetSvc_Hooks.egd_restart = [](uint32_t) { egd_restarts++; };
    plc_reg[566] = 0x20;
    Svc_RestartRequests();
    EXPECT_EQ(prot_run_bit, 0x10);
    plc_reg[566] = 0x01;
    Svc_RestartRequests();
    EXPECT_EQ(egd_restarts, 0);
    EXPECT_EQ(plc_reg[566], 0x01);
    email_ended = true;
    Svc_RestartRequests();
    EXPECT_EQ(prot_run_bit, 0);
    EXPECT_EQ(plc_reg[566], 0x01) << "EGD runs on the pass after (it is tested before the e-mail)";
    Svc_RestartRequests();
    EXPECT_EQ(egd_restarts, 1);
    EXPECT_EQ(plc_reg[566], 0x00);
    // EGD and Modbus asked together both restart in one pass, Modbus first.
    static int modbus_before_egd;
    modbus_before_egd = -1;
    NetSvc_Hooks.egd_restart = [](uint32_t) { modbus_before_egd = modbus_restarts; };
    plc_reg[566] = 0x03;
    Svc_RestartRequests();
    EXPECT_EQ(plc_reg[566], 0x00);
    EXPECT_EQ(modbus_restarts, 2);
    EXPECT_EQ(modbus_before_egd, 2);
    EXPECT_EQ(prot_run_bit, 0);
    // A web restart asked while the register server holds port 80 cannot
    // happen until the port is handed back: it waits for that with its bit
    // set, and holds no other restart meanwhile.
    TavixHttp = 0;
    web = TavixState::Stopped;
    thread_lives = false;
    plc_reg[566] = 0x10;
    Svc_RestartRequests();
    EXPECT_EQ(web, TavixState::Stopped);
    EXPECT_EQ(prot_run_bit, 0);
    plc_reg[566] = 0x12;
    Svc_RestartRequests();
    EXPECT_EQ(modbus_restarts, 3);
    EXPECT_EQ(plc_reg[566], 0x10);
    TavixHttp = 1;
    Svc_RestartRequests();
    EXPECT_EQ(web, TavixState::StartRequested);
    EXPECT_EQ(prot_run_bit, 8);
    EXPECT_EQ(reset_flg, 1);
    web = TavixState::Running;
    Svc_RestartRequests();
    EXPECT_EQ(plc_reg[566], 0x00);
    EXPECT_EQ(prot_run_bit, 0);
    EXPECT_EQ(reset_flg, 0);
    // A running server is stopped first and started once its thread has
    // ended; while a web project upload runs nothing is asked, and the
    // request (with every other restart) waits for the upload's end.
    web = TavixState::Running;
    thread_lives = true;
    ftping = 1;
    plc_reg[566] = 0x10;
    Svc_RestartRequests();
    EXPECT_EQ(web, TavixState::Running);
    EXPECT_EQ(prot_run_bit, 8);
    EXPECT_EQ(reset_flg, 0);
    plc_reg[566] = 0x12;
    Svc_RestartRequests();
    EXPECT_EQ(modbus_restarts, 3) << "Modbus waits for the web restart";
    plc_reg[566] = 0x10;
    ftping = 0;
    Svc_RestartRequests();
    EXPECT_EQ(web, TavixState::StopRequested);
    EXPECT_EQ(reset_flg, 0);
    Svc_RestartRequests();
    EXPECT_EQ(web, TavixState::StopRequested) << "the stop is left to the live thread";
    web = TavixState::Stopped;
    thread_lives = false;
    Svc_RestartRequests();
    EXPECT_EQ(web, TavixState::StartRequested);
    EXPECT_EQ(reset_flg, 1);
    web = TavixState::Starting;
    Svc_RestartRequests();
    EXPECT_EQ(plc_reg[566], 0x10);
    web = TavixState::Running;
    Svc_RestartRequests();
    EXPECT_EQ(plc_reg[566], 0x00);
    EXPECT_EQ(prot_run_bit, 0);
    EXPECT_EQ(reset_flg, 0);
    // A stop asked of a server whose thread has already ended (or never
    // began) is acted on by no one: the restart does not wait for it, but
    // starts the server; while the thread lives the stop is left to it.
    web = TavixState::StopRequested;
    thread_lives = true;
    plc_reg[566] = 0x10;
    Svc_RestartRequests();
    EXPECT_EQ(web, TavixState::StopRequested);
    EXPECT_EQ(prot_run_bit, 8);
    EXPECT_EQ(reset_flg, 0);
    thread_lives = false;
    Svc_RestartRequests();
    EXPECT_EQ(web, TavixState::StartRequested);
    EXPECT_EQ(reset_flg, 1);
    web = TavixState::Running;
    Svc_RestartRequests();
    EXPECT_EQ(plc_reg[566], 0x00);
    EXPECT_EQ(prot_run_bit, 0);
    EXPECT_EQ(reset_flg, 0);
    TavixHttp = http_was;
    enet_hooks = hooks_was;
    Svc_Reset();
    close(fds[0]);
    close(fds[1]);
    NetSvc_Hooks = {};
    std::memset(&c, 0, DPR_CONFIG_BYTES);
}

}  // namespace
