// The web server's application roads in process, each through a POST with
// test callbacks: password change, user information at session, login and
// logout, the process image, batches of 32, deferred addresses, the session's
// user data in every callback, the typed answer functions and the
// notifications of alarms, filters and users as "publish" writes them.
// Digests were worked out with python's hashlib; JSON texts by hand.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "tavIXsdk/tavixsdk/tavix_auth.h"
#include "tavIXsdk/tavixsdk/tavix_methods.h"
#include "tavIXsdk/tavixsdk/tavix_post.h"
#include "tavIXsdk/tavixsdk/tavix_raw.h"
#include "tavIXsdk/tavixsdk/tavix_rsa.h"
#include "tavIXsdk/tavixsdk/tavix_server.h"
#include "tavIXsdk/tavixsdk/tavix_session.h"
#include "tavIXsdk/tavixsdk/tavix_subs.h"
#include "tavIXsdk/tavixsdk/tavix_util.h"
#include "core/image/bytes.h"
#include "core/image/plcreg.h"
#include "core/image/util.h"
#include "exec/sys.h"
#include "tests/support/temp_root.h"
#include "tests/support/web_clock.h"
#include "webhmi/weblife.h"
#include "webhmi/webusers.h"
#include "webhmi/webvars.h"

namespace {

// md5("op:tavIX:pw")
constexpr char kHa1[] = "226f2a0adcb0f34a56dc9c2f26248223";
// md5("00000001:k1:old:new"), md5("00000001:k1:pw")
constexpr char kChangeDigest[] = "2a55da2b9b7260332aaf02acfd9bdcf8";
constexpr char kLoginDigest[] = "59022c0d4e3392e84bd1d89ccd73f869";

std::vector<std::string> calls;  // what the test callbacks saw, in order

// The user name of the user data a callback got ("-" for none).
std::string Who(const void *user) { return user != nullptr ? static_cast<const tavix_auth_entry *>(user)->user : "-"; }

struct WebAnswers : ::testing::Test {
    tavix_session *s = nullptr;
    int cnonce = 0;

    void SetUp() override {
        ASSERT_EQ(tavix_engine_raw_handler_init(), 0);
        tavix_global_options.error_cb = [](const char *) {};
        tavix_global_options.level = 2;
        tavix_methods_register();
        tavix_server_clear_callbacks();
        calls.clear();
    }
    void TearDown() override {
        tavix_server_clear_callbacks();
        tavix_engine_hooks = tavix_engine_hooks_t{};
        tavix_acccess_rights_clear();
        tavix_options_free_rsa();
        tavix_engine_raw_handler_shutdown();
        // The variable table outlives a server; each test starts without one.
        while (variable_pointer_list.count > 0) tavix_unregister_variable(variable_pointer_list.entries[0].name);
        web_notify_hook = nullptr;
        tavix_subs_realloc = std::realloc;
    }
    // The controller's own callbacks on the variable table, over a register
    // image whose clock reads 1 March 2024, 00:00:00 (UTC 1709251200).
    static void Controller() {
        tavix_register_controller_callbacks();
        plc_reg.fill(0);
        const uint16_t clock[6] = {0, 0, 0, 1, 3, 2024};
        for (uint32_t i = 0; i < 6; i++) LE_Put16(&plc_reg[2 * (W_CLOCK + i)], clock[i]);
    }
    static void SetR(uint32_t n, uint16_t v) { LE_Put16(&plc_reg[2 * (1983 + n)], v); }
    static uint16_t GetR(uint32_t n) { return LE_Get16(&plc_reg[2 * (1983 + n)]); }
    // Every variable checked once by the automatic update.
    static void UpdateAll() {
        for (uint32_t i = 0; i <= variable_pointer_list.count; i++) tavix_automatic_update_variables();
    }
    // A session with key "k1": with login method 2 logged in over Digest as op.
    void Open(uint32_t method) {
        tavix_global_options.auth_method = method;
        uint8_t ha1[16];
        std::size_t n = 0;
        ASSERT_EQ(tavix_util_hex_decode(kHa1, 32, ha1, 16, &n), 0);
        int code = 0;
        ASSERT_EQ(tavix_engine_session_create(0, nullptr, "k1", false, "tavIX", method == 2 ? "op" : nullptr, ha1, true,
                                              &s, &code),
                  0);
        ASSERT_STREQ(s->id, "00000001");
    }
    std::string Request(const std::string &method, const std::string &body) {
        std::string x;
        if (s != nullptr) {
            const std::string c = std::to_string(++cnonce);
            const std::string text = std::string(s->id) + ":k1:" + c;
            char hex[33];
            tavix_md5_hex(text.data(), text.size(), hex);
            x = "X-TavIX: sessionid=\"" + std::string(s->id) + "\", cnonce=\"" + c + "\", digest=\"" + hex + "\"\r\n";
        }
        return "POST /tavIX/?" + method + " HTTP/1.0\r\n" + x + "Content-Length: " + std::to_string(body.size()) +
               "\r\n\r\n" + body;
    }
    // One request through the request engine: the header and body bytes of
    // its answer ("(no answer)" and "" without one).
    static std::pair<std::string, std::string> Exchange(const std::string &req) {
        tavix_connection c{};
        EXPECT_EQ(tavix_engine_raw_handler_init_dispatcher(&c, reinterpret_cast<const uint8_t *>(req.data()),
                                                           uint32_t(req.size())),
                  0);
        const uint8_t *h = nullptr, *b = nullptr;
        uint32_t hl = 0, bl = 0;
        std::pair<std::string, std::string> out{"(no answer)", ""};
        if (tavix_engine_raw_handler_call_dispatcher(&c, &h, &hl, &b, &bl) == 0)
            out = {std::string(reinterpret_cast<const char *>(h), hl),
                   b != nullptr ? std::string(reinterpret_cast<const char *>(b), bl) : ""};
        tavix_engine_raw_handler_free_dispatcher(&c);
        return out;
    }
    // One POST through the request engine; the JSON body of its answer.
    std::string Post(const std::string &method, const std::string &body = "") {
        const auto [header, json] = Exchange(Request(method, body));
        return header == "(no answer)" ? header : json;
    }
    std::string Publish() { return Post("publish", "longpoll=false"); }
    // A POST that the server answers later, on a dispatcher record: the
    // dispatcher's result (4: not answered now).
    int Start(tavix_connection &c, const std::string &method, const std::string &body = "") {
        const std::string req = Request(method, body);
        EXPECT_EQ(tavix_engine_raw_handler_init_dispatcher(&c, reinterpret_cast<const uint8_t *>(req.data()),
                                                           uint32_t(req.size())),
                  0);
        const uint8_t *h = nullptr, *b = nullptr;
        uint32_t hl = 0, bl = 0;
        return tavix_engine_raw_handler_call_dispatcher(&c, &h, &hl, &b, &bl);
    }
    // The JSON body of the answer a record was sent later ("(nothing)" when none).
    static std::string Sent(tavix_connection &c) {
        tavix_buffer *r = c.send_head;
        if (r == nullptr) return "(nothing)";
        const uint8_t *piece = nullptr;
        long n = tavix_buffer_get_data(r, &piece, nullptr, 0, nullptr, 0);
        EXPECT_EQ(std::string(reinterpret_cast<const char *>(piece), std::size_t(n > 0 ? n : 0)).substr(0, 17),
                  "HTTP/1.0 200 OK\r\n");
        tavix_buffer_get_advance(r, uint32_t(n > 0 ? n : 0));
        n = tavix_buffer_get_data(r, &piece, nullptr, 0, nullptr, 0);
        const std::string body(reinterpret_cast<const char *>(piece), std::size_t(n > 0 ? n : 0));
        for (tavix_buffer *b = r; b != nullptr;) {
            tavix_buffer *next = b->send_next;
            tavix_buffer_free(b);
            b = next;
        }
        c.send_head = c.send_tail = nullptr;
        return body;
    }
    // A 1024-bit key for the ciphers of login and password change.
    static void Key() { ASSERT_EQ(tavix_options_generate_temporary_rsa(1024, 0x10001), 0); }
    static std::string Cipher(const char *text) {
        char hex[260];
        EXPECT_EQ(tavix_auth_rsa_encrypt(text, tavix_options_rsa_key(), hex, sizeof hex), 256);
        return hex;
    }
};

// The controller clock at 6 November 1994, 08:49:37 UTC, and the JSON answer
// header with its date.
uint32_t Clock1994() { return 784111777u; }
std::string JsonHeader(std::size_t length) {
    return "HTTP/1.0 200 OK\r\nServer: TavIX SDK/0.9.0\r\nDate: Sun, 06 Nov 1994 08:49:37 GMT\r\n"
           "Cache-Control: no-cache\r\nContent-Length: " +
           std::to_string(length) + "\r\nContent-Type: application/json\r\n\r\n";
}
// The password digest of op:pw in the realm tavIX; anyone else is unknown.
int DigestOfOp(const tavix_identity *who, const char *, char *ha1, int *code) {
    if (std::strcmp(who->user, "op") != 0) {
        *code = 405;
        return -1;
    }
    std::memcpy(ha1, kHa1, 33);
    *code = 0;
    return 0;
}
// "op:pw" in base64.
constexpr char kBasicOp[] = "Authorization: Basic b3A6cHc=\r\n";

std::string Addresses(const char *field, int n, const char *extra = "") {
    std::string body;
    // Appended piece by piece: GCC 12 at -O3 reports a false overlap for
    // "literal" + std::string temporaries.
    for (int i = 0; i < n; i++) {
        if (i) body += '&';
        body += field;
        body += "=A";
        body += std::to_string(i);
        body += extra;
    }
    return body;
}

}  // namespace

TEST_F(WebAnswers, ChangePasswordDecryptsChecksTheDigestAndAnswersTheCallbacksCode) {
    Open(5);
    Key();
    const std::string fields = "username=op&oldpasswordcipher=" + Cipher("old") + "&newpasswordcipher=" + Cipher("new");
    EXPECT_EQ(Post("changepassword", fields + "&passworddigest=" + kChangeDigest),
              "{\"error\":505,\"errorstring\":\"Password change callback not set\"}");
    static int answer = 0;
    tavix_server_set_auth_callbacks(nullptr, nullptr, nullptr,
                                    [](const char *u, const char *o, const char *n, int *code) {
                                        calls.push_back(std::string(u) + "|" + o + "|" + n);
                                        *code = answer;
                                        return 0;
                                    });
    EXPECT_EQ(Post("changepassword", fields + "&passworddigest=" + kChangeDigest), "{}");
    EXPECT_EQ(calls, std::vector<std::string>{"op|old|new"});
    // A digest over other passwords, a cipher that does not decrypt: the callback is not asked.
    EXPECT_EQ(Post("changepassword", fields + "&passworddigest=" + kLoginDigest),
              "{\"error\":403,\"errorstring\":\"Digest check failed\"}");
    EXPECT_EQ(Post("changepassword", "username=op&oldpasswordcipher=00ff&newpasswordcipher=" + Cipher("new") +
                                         "&passworddigest=" + kChangeDigest),
              "{\"error\":402,\"errorstring\":\"RSA encrypted data not decryptable (corrupted data or "
              "corrupted\\/missing private key)\"}");
    EXPECT_EQ(Post("changepassword", "username=op&oldpasswordcipher=" + Cipher("old") +
                                         "&newpasswordcipher=zz&passworddigest=" + kChangeDigest),
              "{\"error\":402,\"errorstring\":\"RSA encrypted data not decryptable (corrupted data or "
              "corrupted\\/missing private key)\"}");
    EXPECT_EQ(calls.size(), 1u);
    // The callback's own code, with the server's text or the application's.
    answer = 408;
    EXPECT_EQ(Post("changepassword", fields + "&passworddigest=" + kChangeDigest),
              "{\"error\":408,\"errorstring\":\"Password change failed\"}");
    answer = 10001;
    EXPECT_EQ(Post("changepassword", fields + "&passworddigest=" + kChangeDigest),
              "{\"error\":10001,\"errorstring\":\"Error fetching callback not set\"}");
    tavix_server_set_error_callback_simple([](int32_t code) { return code == 10001 ? "Too short" : nullptr; });
    EXPECT_EQ(Post("changepassword", fields + "&passworddigest=" + kChangeDigest),
              "{\"error\":10001,\"errorstring\":\"Too short\"}");
    tavix_server_set_error_callback_ex([](int32_t, tavix_localized *pairs, uint32_t room) {
        EXPECT_GE(room, 2u);
        pairs[0] = {"en", "Too short"};
        pairs[1] = {"de", "Zu kurz"};
        return 2u;
    });
    EXPECT_EQ(Post("changepassword", fields + "&passworddigest=" + kChangeDigest),
              "{\"error\":10001,\"errorstring\":{\"en\":\"Too short\",\"de\":\"Zu kurz\"}}");
    // Without the application's texts its codes keep the server's own.
    tavix_server_set_error_callback_simple(nullptr);
    tavix_server_set_error_callback_ex(nullptr);
    answer = 10000;
    EXPECT_EQ(Post("changepassword", fields + "&passworddigest=" + kChangeDigest),
              "{\"error\":10000,\"errorstring\":\"Invalid Data\"}");
}

TEST_F(WebAnswers, SessionLoginAndLogoutDeliverTheUsersRightsFromSecurityCfg) {
    const char cfg[] =
        "tavIX\r\nop;226f2a0adcb0f34a56dc9c2f26248223;Right0;Right3\r\n"
        "guest;00000000000000000000000000000000;Right0;Right1\r\n";
    tavix_parse_access_rights(cfg, sizeof cfg - 1);
    tavix_server_set_auth_callbacks(nullptr, nullptr, tavix_authentication_user_info_cb, nullptr);
    // A Digest login: the session's first notification names op and its rights.
    Open(2);
    EXPECT_EQ(Publish(),
              "{\"result\":[{\"type\":0,\"subscriptionid\":[\"\"],\"right\":[\"Right0\",\"Right1\","
              "\"Right2\",\"Right3\"],\"username\":\"op\"}],\"remaining\":0}");
    EXPECT_EQ(Post("login"), "{}");  // nothing to do with an HTTP login
    EXPECT_EQ(Publish(), "{\"result\":[],\"remaining\":0}");
    tavix_engine_session_delete_idx(0);
    s = nullptr;

    // The form login: no user at first, then op, then none again.
    tavix_global_options.auth_method = 5;
    tavix_options_set_auth_options(5, "tavIX");
    static constexpr tavix_digest_cb digest = [](const tavix_identity *who, const char *, char *ha1, int *code) {
        calls.push_back(std::string(who->realm) + "|" + who->user);
        std::memcpy(ha1, kHa1, 33);
        *code = 0;
        return 0;
    };
    tavix_server_set_auth_callbacks(nullptr, digest, tavix_authentication_user_info_cb, nullptr);
    int code = 0;
    ASSERT_EQ(tavix_engine_session_create(0, nullptr, "k1", false, nullptr, nullptr, nullptr, false, &s, &code), 0);
    ASSERT_STREQ(s->id, "00000002");
    Key();
    // md5("00000002:k1:pw")
    const std::string login =
        "username=op&passwordcipher=" + Cipher("pw") + "&passworddigest=2a90ed74d17cc0a8e7ac62f46548fee6";
    EXPECT_EQ(Post("login", "username=op&passwordcipher=" + Cipher("pw") + "&passworddigest=" + kLoginDigest),
              "{\"error\":403,\"errorstring\":\"Digest check failed\"}");
    EXPECT_EQ(Post("login", login), "{}");
    EXPECT_EQ(calls, std::vector<std::string>{"tavIX|op"});
    EXPECT_EQ(Publish(),
              "{\"result\":[{\"type\":0,\"subscriptionid\":[\"\"]},{\"type\":0,\"subscriptionid\":[\"\"]},"
              "{\"type\":0,\"subscriptionid\":[\"\"],\"right\":[\"Right0\",\"Right1\",\"Right2\","
              "\"Right3\"],\"username\":\"op\"}],\"remaining\":0}");
    EXPECT_EQ(Post("logout"), "{}");
    EXPECT_EQ(Publish(), "{\"result\":[{\"type\":0,\"subscriptionid\":[\"\"]}],\"remaining\":0}");

    // Named values beside the rights; a value named username stands for the user.
    tavix_server_set_auth_callbacks(
        nullptr, digest,
        [](void *context, const tavix_identity *who) {
            static const char *const texts[] = {"Right0", nullptr};
            static const char *const plain[] = {"language", "level", nullptr};
            static const char *const named[] = {"username", nullptr};
            tavix_data_value values[2]{};
            values[0].kind = TAVIX_DV_TEXT;
            values[0].text = "de";
            values[1].kind = TAVIX_DV_UINT32;
            values[1].u32 = 3;
            auto *r = static_cast<tavix_request *>(context);
            EXPECT_EQ(tavix_user_info_return(r, texts, who != nullptr ? plain : named, values), 0);
            EXPECT_EQ(tavix_data_write_return(r, 0), 2);
        },
        nullptr);
    EXPECT_EQ(Post("login", login), "{}");
    EXPECT_EQ(Post("logout"), "{}");
    EXPECT_EQ(Publish(),
              "{\"result\":[{\"type\":0,\"subscriptionid\":[\"\"],\"right\":[\"Right0\"],"
              "\"language\":\"de\",\"level\":3,\"username\":\"op\"},{\"type\":0,\"subscriptionid\":[\"\"],"
              "\"right\":[\"Right0\"],\"username\":\"de\"}],\"remaining\":0}");

    // A session made over a Basic login keeps the user's password in its
    // entry (for a Basic login towards a remote server) and its HA1.
    s = nullptr;
    tavix_engine_hooks.access = tavix_auth_engine_access;
    tavix_options_set_auth_options(1, "tavIX");
    tavix_server_set_auth_callbacks(nullptr, DigestOfOp, nullptr, nullptr);
    const std::string body = "cipher=" + Cipher("k9");
    const auto created = Exchange(std::string("POST /tavIX/?createsession HTTP/1.0\r\n") + kBasicOp +
                                  "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
    EXPECT_EQ(created.second, "{\"sessionid\":\"00000003\"}");
    const tavix_auth_entry *e = tavix_auth_find_auth_data("k9");
    ASSERT_NE(e, nullptr);
    char ha1[33];
    tavix_util_hex_encode(e->ha1, 16, ha1);
    EXPECT_EQ(std::make_tuple(std::string(e->realm), std::string(e->user), std::string(e->password), std::string(ha1)),
              std::make_tuple(std::string("tavIX"), std::string("op"), std::string("pw"), std::string(kHa1)));
}

// A form login names its user whole: a name too long for the session's
// entry is refused (405) before the password-digest callback is asked, so it
// never logs in as the user its first 63 characters name; an HA1 text that
// is not 32 hexadecimal characters is refused (403).
TEST_F(WebAnswers, AFormLoginRefusesANameTooLongForItsEntryAndAnHa1NotOf32Characters) {
    Open(5);
    tavix_options_set_auth_options(5, "tavIX");
    Key();
    static std::string extra;  // what the callback adds behind the HA1 it answers
    // The HA1 of any user with the password pw.
    tavix_server_set_auth_callbacks(
        nullptr,
        [](const tavix_identity *who, const char *password, char *ha1, int *code) {
            calls.push_back(who->user);
            const std::string text = std::string(who->user) + ":" + who->realm + ":" + password;
            tavix_md5_hex(text.data(), text.size(), ha1);
            std::memcpy(ha1 + 32, extra.c_str(), extra.size() + 1);
            *code = 0;
            return 0;
        },
        nullptr, nullptr);
    const std::string u63(63, 'u');
    const std::string password = "&passwordcipher=" + Cipher("pw") + "&passworddigest=" + kLoginDigest;
    EXPECT_EQ(Post("login", "username=" + u63 + "v" + password), "{\"error\":405,\"errorstring\":\"Access denied\"}");
    EXPECT_EQ(calls, std::vector<std::string>{});
    EXPECT_EQ(tavix_engine_session_get_user_data(s), nullptr);
    // 63 characters fit.
    EXPECT_EQ(Post("login", "username=" + u63 + password), "{}");
    EXPECT_EQ(calls, std::vector<std::string>{u63});
    // "00" behind the right HA1: 17 bytes, no HA1; the entry stays empty.
    extra = "00";
    EXPECT_EQ(Post("login", "username=op" + password), "{\"error\":403,\"errorstring\":\"Digest check failed\"}");
    extra.clear();
    EXPECT_EQ(tavix_engine_session_get_user_data(s), nullptr);
    EXPECT_EQ(Post("login", "username=op" + password), "{}");
    EXPECT_STREQ(tavix_engine_session_get_user_data(s)->user, "op");

    // Every other refusal of a form login answers its code and leaves the
    // session without a user (the entry is cleared before the checks).
    // md5("00000001:k1:px"): the digest of a password op does not have.
    const std::string cipher = "&passwordcipher=" + Cipher("pw");
    const std::string digest = std::string("&passworddigest=") + kLoginDigest;
    const std::string px =
        "username=op&passwordcipher=" + Cipher("px") + "&passworddigest=f7c8b7279fdbb422d57753886cffc5c6";
    static int refusal = 0;  // the code of a callback that refuses with -1
    const tavix_digest_cb refusing = [](const tavix_identity *, const char *, char *, int *code) {
        *code = refusal;
        return -1;
    };
    const std::string k455 = "{\"error\":455,\"errorstring\":\"Auth type is form and no user\\/password were sent\"}";
    const std::string k402 =
        "{\"error\":402,\"errorstring\":\"RSA encrypted data not decryptable (corrupted data or "
        "corrupted\\/missing private key)\"}";
    const std::string k403 = "{\"error\":403,\"errorstring\":\"Digest check failed\"}";
    const std::string k405 = "{\"error\":405,\"errorstring\":\"Access denied\"}";
    const struct {
        tavix_digest_cb cb;
        int refusal;
        std::string body, answer;
    } refusals[] = {
        {nullptr, 0, "username=op" + password, "{\"error\":507,\"errorstring\":\"Password digest callback not set\"}"},
        {DigestOfOp, 0, cipher.substr(1) + digest, k455},
        {DigestOfOp, 0, "username=op" + digest, k455},
        {DigestOfOp, 0, "username=op" + cipher, k455},
        {DigestOfOp, 0, "username=op&passwordcipher=00ff" + digest, k402},
        // 63 bytes decrypted: one more than a password may have.
        {DigestOfOp, 0, "username=op&passwordcipher=" + Cipher(std::string(63, 'p').c_str()) + digest, k402},
        {DigestOfOp, 0, "username=op" + cipher + digest.substr(0, digest.size() - 1), k403},
        // The digest holds, the HA1 op's password gives does not.
        {DigestOfOp, 0, px, k405},
        {DigestOfOp, 0, "username=nobody" + password, k405},
        {refusing, 408, "username=op" + password, "{\"error\":408,\"errorstring\":\"Password change failed\"}"},
        {refusing, 0, "username=op" + password, k405},
    };
    for (const auto &t : refusals) {
        tavix_server_set_auth_callbacks(nullptr, t.cb, nullptr, nullptr);
        refusal = t.refusal;
        EXPECT_EQ(Post("login", "username=op" + password), t.cb == DigestOfOp ? "{}" : t.answer) << t.body;
        EXPECT_EQ(Post("login", t.body), t.answer) << t.body;
        EXPECT_EQ(tavix_engine_session_get_user_data(s), nullptr) << t.body;
    }
    // No room for the session's entry: 407, and no entry.
    tavix_server_set_auth_callbacks(nullptr, DigestOfOp, nullptr, nullptr);
    tavix_auth_remove_auth_data("k1");
    for (const char *k : {"a", "b", "c", "d"}) ASSERT_NE(tavix_auth_insert_auth_data(k), nullptr);
    EXPECT_EQ(Post("login", "username=op" + password),
              "{\"error\":407,\"errorstring\":\"Authorization data overflow, try later\"}");
    EXPECT_EQ(tavix_auth_find_auth_data("k1"), nullptr);
    for (const char *k : {"a", "b", "c", "d"}) tavix_auth_remove_auth_data(k);
    EXPECT_EQ(Post("login", "username=op" + password), "{}");
    EXPECT_STREQ(tavix_engine_session_get_user_data(s)->user, "op");
}

// A page stays active (controller clock) through its writes, item
// subscriptions and, with an HTTP login, its new frames; reads and publishes
// do not count. It expires the inactivity time-out after its last activity.
TEST_F(WebAnswers, OnlyWritesSubscriptionsAndHttpLoginFramesKeepAPageActive) {
    static uint32_t utc = 1000000;
    tavix_engine_hooks.utc_now = [] { return utc; };
    Open(2);
    EXPECT_EQ(s->last_activity, 1000000u);
    utc += 100;
    Post("read", "address[]=a");
    Publish();
    EXPECT_EQ(s->last_activity, 1000000u);
    Post("write", "address[]=a&value[]=1");
    EXPECT_EQ(s->last_activity, 1000100u);
    utc += 100;
    EXPECT_EQ(Post("createsubscription"), "{\"subscriptionid\":\"1\"}");
    EXPECT_EQ(s->last_activity, 1000200u);
    utc += 100;
    Post("subscribedata", "subscriptionid=1&address[]=a");
    EXPECT_EQ(s->last_activity, 1000300u);
    tavix_global_options.auth_method = 5;  // a form login's frames do not count
    utc += 100;
    EXPECT_EQ(Post("createsubscription"), "{\"subscriptionid\":\"2\"}");
    EXPECT_EQ(s->last_activity, 1000300u);
    static std::vector<std::string> logged;
    tavix_global_options.error_cb = [](const char *t) { logged.emplace_back(t); };
    tavix_session_table.connection_timeout = 60;
    tavix_session_table.inactivity_timeout = 300;
    utc = 1000600;
    tavix_engine_session_delete_expired(tavix_sys_get_current_monotonous_time(), nullptr);
    EXPECT_EQ(tavix_session_table.count, 1u);
    utc = 1000601;
    tavix_engine_session_delete_expired(tavix_sys_get_current_monotonous_time(), nullptr);
    EXPECT_EQ(tavix_session_table.count, 0u);
    EXPECT_EQ(logged, std::vector<std::string>{"Expiring session 00000001 due to session (inactivity) timeout from "
                                               "webpage's"});
    s = nullptr;
}

TEST_F(WebAnswers, ProcessImageAnswersWhatTheCallbackReturned) {
    Open(2);
    EXPECT_EQ(Post("readprocessimage"), "{\"result\":[]}");
    EXPECT_EQ(Post("listprocessimage"), "{\"result\":[]}");
    tavix_server_set_processimage_callbacks(
        [](tavix_request *r, const void *user, const void *) {
            calls.push_back("read " + Who(user));
            tavix_data_value v{};
            v.kind = TAVIX_DV_INT32;
            v.i32 = -5;
            const tavix_timestamp t{1700000000, 0};
            const tavix_localized d[] = {{nullptr, "Speed"}, {nullptr, nullptr}};
            EXPECT_EQ(tavix_read_processimage_return(r, &v, &t, 2, d, "op", 0), 0);
            EXPECT_EQ(tavix_read_processimage_return(r, nullptr, nullptr, 0, nullptr, nullptr, 301), 0);
            EXPECT_EQ(tavix_data_read_return(r, &v, &t, 0, nullptr, nullptr, 0), 2);
            EXPECT_EQ(tavix_list_processimage_return(r, "X"), 2);
        },
        [](tavix_request *r, const void *user, const void *) {
            calls.push_back("list " + Who(user));
            EXPECT_EQ(tavix_list_processimage_return(r, "Motor/Speed"), 0);
            EXPECT_EQ(tavix_list_processimage_return(r, "Motor.On"), 0);
            EXPECT_EQ(tavix_list_processimage_return(r, nullptr), 1);
        });
    EXPECT_EQ(
        Post("readprocessimage"),
        "{\"result\":[{\"value\":-5,\"timestamp\":1700000000000,\"status\":2,\"description\":\"Speed\","
        "\"username\":\"op\",\"error\":0},{\"value\":null,\"error\":301,\"errorstring\":\"Address not found\"}]}");
    EXPECT_EQ(Post("listprocessimage"), "{\"result\":[{\"address\":\"Motor\\/Speed\"},{\"address\":\"Motor.On\"}]}");
    EXPECT_EQ(calls, (std::vector<std::string>{"read op", "list op"}));
    const std::string info = Post("info");
    EXPECT_NE(info.find("\"read\",\"write\",\"browsertime\",\"processimage\"]"), std::string::npos) << info;
}

TEST_F(WebAnswers, AnAnswerThatReachesTheBufferLimitEndsThereAndTakesNoLaterSmallerElement) {
    Open(2);
    // Batch callbacks that append an element for every address whatever the
    // results say: A and C are found (48 bytes each on reading, {"error":0}
    // on writing), B is not (58 and 48 bytes). The body holds {"result":[
    // (11 bytes) and A's element when B is refused at the limit; C, smaller,
    // would still fit, but the answer has ended.
    static std::vector<int> results;
    results.clear();
    static uint32_t limit = 0;
    tavix_server_set_basic_callbacks_multi(
        [](tavix_request *r, const void *, const char *const *a) {
            const uint32_t keep = tavix_global_options.buffer_limit;
            tavix_global_options.buffer_limit = limit;
            for (uint32_t n = 0; a[n] != nullptr; n++) {
                tavix_data_value v{};
                v.kind = TAVIX_DV_INT32;
                v.i32 = -7;
                const tavix_timestamp t{1700000000, 0};
                results.push_back(std::strcmp(a[n], "B") == 0
                                      ? tavix_data_read_return(r, nullptr, nullptr, 0, nullptr, nullptr, 301)
                                      : tavix_data_read_return(r, &v, &t, 0, nullptr, nullptr, 0));
            }
            tavix_global_options.buffer_limit = keep;
        },
        [](tavix_request *r, const void *, const char *const *a, const char *const *, const uint32_t *) {
            const uint32_t keep = tavix_global_options.buffer_limit;
            tavix_global_options.buffer_limit = limit;
            for (uint32_t n = 0; a[n] != nullptr; n++)
                results.push_back(tavix_data_write_return(r, std::strcmp(a[n], "B") == 0 ? 301 : 0));
            tavix_global_options.buffer_limit = keep;
        });
    // Reading: 11 + 48 = 59 after A; B needs 59 + 1 + 58 + 2 = 120, C 110.
    limit = 115;
    EXPECT_EQ(Post("read", "address[]=A&address[]=B&address[]=C"),
              "{\"result\":[{\"value\":-7,\"timestamp\":1700000000000,\"error\":0}]}");
    EXPECT_EQ(results, (std::vector<int>{0, 3, 3}));
    // Writing: 11 + 11 = 22 after A; B needs 22 + 1 + 48 + 2 = 73, C 36.
    results.clear();
    limit = 50;
    EXPECT_EQ(Post("write", "address[]=A&value[]=1&address[]=B&value[]=2&address[]=C&value[]=3"),
              "{\"result\":[{\"error\":0}]}");
    EXPECT_EQ(results, (std::vector<int>{0, 3, 3}));
    // The closing ]} keeps its room in writing too: A and B make 72 bytes
    // with it, so a limit of 71 ends the answer after A.
    results.clear();
    limit = 71;
    EXPECT_EQ(Post("write", "address[]=A&value[]=1&address[]=B&value[]=2"), "{\"result\":[{\"error\":0}]}");
    EXPECT_EQ(results, (std::vector<int>{0, 3}));
    results.clear();
    limit = 72;
    EXPECT_EQ(Post("write", "address[]=A&value[]=1&address[]=B&value[]=2"),
              "{\"result\":[{\"error\":0},{\"error\":301,\"errorstring\":\"Address not found\"}]}");
    EXPECT_EQ(results, (std::vector<int>{0, 0}));
    // The refusal stays on the record: a later element that fits is refused too.
    tavix_buffer *body = tavix_buffer_get(TAVIX_BUF_DATA, 512, 1 << 20, true);
    tavix_request r = tavix_request_make(TAVIX_REQ_QUERY, body, nullptr);
    tavix_data_value v{};
    v.kind = TAVIX_DV_UINT32;
    v.u32 = 4;
    const uint32_t keep = tavix_global_options.buffer_limit;
    // ,{"type":1,"address":"V1","value":4} is 35 bytes, 51 with the room
    // kept for the "more" footer; with a 24-character longer address, 75.
    tavix_global_options.buffer_limit = 60;
    EXPECT_EQ(tavix_data_filter_read_return(&r, "V123456789012345678901234", &v, nullptr, 0, nullptr, nullptr), 3);
    EXPECT_EQ(r.error, 304);
    EXPECT_EQ(tavix_data_filter_read_return(&r, "V1", &v, nullptr, 0, nullptr, nullptr), 3);
    EXPECT_EQ(r.error, 304);
    EXPECT_EQ(body->length, 0u);
    tavix_global_options.buffer_limit = keep;
    tavix_buffer_free(body);
}

TEST_F(WebAnswers, SeventyAddressesGoToTheBatchCallbacksAs32And32And6) {
    Open(2);
    static std::vector<std::pair<uint32_t, uint32_t>> batches;
    batches.clear();
    tavix_server_set_basic_callbacks_multi(
        [](tavix_request *r, const void *, const char *const *a) {
            uint32_t n = 0;
            for (; a[n] != nullptr; n++) {
                tavix_data_value v{};
                v.kind = TAVIX_DV_TEXT;
                v.text = a[n];
                tavix_data_read_return(r, &v, nullptr, 0, nullptr, nullptr, 0);
            }
            batches.push_back({r->first_index, n});
        },
        [](tavix_request *r, const void *, const char *const *a, const char *const *v, const uint32_t *l) {
            uint32_t n = 0;
            for (; a[n] != nullptr; n++) {
                std::string expected = "v";
                expected += a[n] + 1;
                EXPECT_EQ(std::string(v[n], l[n]), expected) << a[n];
                tavix_data_write_return(r, 0);
            }
            batches.push_back({r->first_index, n});
        });
    std::string want = "{\"result\":[";
    for (int i = 0; i < 70; i++) {
        want += i ? ",{\"value\":\"A" : "{\"value\":\"A";
        want += std::to_string(i);
        want += "\",\"error\":0}";
    }
    EXPECT_EQ(Post("read", Addresses("address[]", 70)), want + "]}");
    const std::vector<std::pair<uint32_t, uint32_t>> split{{0, 32}, {32, 32}, {64, 6}};
    EXPECT_EQ(batches, split);
    batches.clear();
    // Pairs by position, the values listed after the addresses.
    std::string body = Addresses("address[]", 70) + "&";
    for (int i = 0; i < 70; i++) {
        if (i) body += '&';
        body += "value[]=v";
        body += std::to_string(i);
    }
    want = "{\"result\":[{\"error\":0}";
    for (int i = 1; i < 70; i++) want += ",{\"error\":0}";
    EXPECT_EQ(Post("write", body), want + "]}");
    EXPECT_EQ(batches, split);

    // An address the application answers later refuses the request.
    tavix_server_set_deferred_address_callback([](const char *a) { return int(std::strcmp(a, "A40") == 0); });
    batches.clear();
    const std::string refused =
        "{\"error\":302,\"errorstring\":\"Too many deferred read\\/write\\/query filter "
        "requests\"}";
    EXPECT_EQ(Post("read", Addresses("address[]", 70)), refused);
    EXPECT_EQ(Post("write", body), refused);
    tavix_server_set_history_callbacks(
        [](tavix_request *, const void *, const char *const *, const tavix_history_args *) { return 0; });
    EXPECT_EQ(Post("readhistory", Addresses("address[]", 70)), refused);
    EXPECT_TRUE(batches.empty());
    EXPECT_EQ(Post("read", Addresses("address[]", 40)).substr(0, 11), "{\"result\":[");
}

TEST_F(WebAnswers, EveryCallbackGetsTheSessionsUserAndTheWorkerACopy) {
    Open(2);
    tavix_server_set_basic_callbacks_simple(
        [](tavix_request *r, const void *user, const char *) {
            calls.push_back("read " + Who(user));
            tavix_data_read_return(r, nullptr, nullptr, 0, nullptr, nullptr, 301);
        },
        [](tavix_request *r, const void *user, const char *, const char *, uint32_t) {
            calls.push_back("write " + Who(user));
            tavix_data_write_return(r, 0);
        });
    tavix_server_set_advanced_callbacks(
        [](tavix_item *, const void *user, const char *, void **, uint32_t *, int *s) {
            calls.push_back("subscribe " + Who(user));
            *s = 0;
            return 0;
        },
        nullptr);
    tavix_server_set_alarm_callbacks(
        [](tavix_item *, const void *user, const char *, void **, uint32_t *, int *s) {
            calls.push_back("alarm " + Who(user));
            *s = 0;
            return 0;
        },
        nullptr, nullptr,
        [](const void *user, const char *, int *code) {
            calls.push_back("accept " + Who(user));
            *code = 0;
            return 0;
        });
    tavix_server_set_history_callbacks(
        [](tavix_request *, const void *user, const char *const *, const tavix_history_args *) {
            calls.push_back("history " + Who(user));
            return 0;
        });
    static const void *worker_user = nullptr;
    tavix_server_set_scada_callbacks(
        [](tavix_request *, const void *user, const char *, double, const tavix_filter *) {
            calls.push_back("query " + Who(user));
            worker_user = user;
            return 0;
        },
        [](tavix_item *, const void *user, const char *, double, const tavix_filter *, void **, int *s) {
            calls.push_back("filter " + Who(user));
            *s = 0;
            return 0;
        },
        nullptr);
    Post("read", "address[]=a");
    Post("write", "address[]=a&value[]=1");
    Post("createsubscription");
    Post("subscribedata", "subscriptionid=1&address[]=a");
    Post("subscribealarm", "subscriptionid=1&address[]=b");
    Post("subscribefilter", "subscriptionid=1&level=eq:1");
    Post("readhistory", "address[]=a");
    Post("acceptalarm", "address[]=b");
    // The query filter's worker answers on the request's connection; a
    // filter without its ':' is answered 467 without the callback.
    tavix_connection &c = tavix_comm_state.conns[0];
    EXPECT_EQ(Start(c, "queryfilter", "level=eq:1"), 4);  // answered later
    EXPECT_EQ(tavix_engine_query_filter_step(), 1);
    const tavix_auth_entry *mine = tavix_engine_session_get_user_data(s);
    ASSERT_NE(mine, nullptr);
    EXPECT_NE(worker_user, nullptr);
    EXPECT_NE(worker_user, static_cast<const void *>(mine));  // its own copy
    EXPECT_EQ(Sent(c), "{\"result\":[]}");
    EXPECT_EQ(Start(c, "queryfilter", "aggregation=avg&level=eq1"), 4);
    EXPECT_EQ(tavix_engine_query_filter_step(), 1);
    EXPECT_EQ(Sent(c), "{\"result\":[{\"error\":467,\"errorstring\":\"Invalid syntax of filter parameters\"}]}");
    // A job still waiting when the application takes its query callback
    // back is answered 509, as the request itself would be now.
    EXPECT_EQ(Start(c, "queryfilter", "level=eq:1"), 4);
    tavix_server_set_scada_callbacks(nullptr, nullptr, nullptr);
    EXPECT_EQ(tavix_engine_query_filter_step(), 1);
    EXPECT_EQ(Sent(c), "{\"result\":[{\"error\":509,\"errorstring\":\"Received no historized data\"}]}");
    tavix_engine_raw_handler_free_dispatcher(&c);
    EXPECT_EQ(calls, (std::vector<std::string>{"read op", "write op", "subscribe op", "alarm op", "filter op",
                                               "history op", "accept op", "query op"}));
}

TEST_F(WebAnswers, EveryFilterFieldIsHandedOnAndCheckedHoweverManyThereAre) {
    Open(2);
    static uint32_t seen = 0;
    static std::string last;
    tavix_server_set_scada_callbacks(
        nullptr,
        [](tavix_item *, const void *, const char *, double, const tavix_filter *f, void **handle, int *status) {
            seen = 0;
            for (; f->name != nullptr; f++, seen++) last = std::string(f->name) + "=" + f->op + "," + f->value;
            *handle = nullptr;
            *status = 0;
            return 0;
        },
        [](void *, int *status) {
            *status = 0;
            return 0;
        });
    EXPECT_EQ(Post("createsubscription"), "{\"subscriptionid\":\"1\"}");
    std::string seventy = "subscriptionid=1";
    for (int i = 0; i < 70; i++) seventy += "&f" + std::to_string(i) + "=eq:" + std::to_string(i);
    EXPECT_EQ(Post("subscribefilter", seventy), "{\"serverhandle\":\"\\/\\/F\\/00000001\"}");
    EXPECT_EQ(seen, 70u);
    EXPECT_EQ(last, "f69=eq,69");
    // A 65th filter without its ':' is refused like the first.
    std::string bad = "subscriptionid=1";
    for (int i = 0; i < 64; i++) bad += "&f" + std::to_string(i) + "=eq:" + std::to_string(i);
    bad += "&f64=eq64";
    seen = 0;
    EXPECT_EQ(Post("subscribefilter", bad), "{\"error\":467,\"errorstring\":\"Invalid syntax of filter parameters\"}");
    EXPECT_EQ(seen, 0u);
}

TEST_F(WebAnswers, FilterSubscriptionCallsTheApplicationWithItsFilters) {
    Open(2);
    tavix_server_set_scada_callbacks(
        nullptr,
        [](tavix_item *it, const void *, const char *aggregation, double interval, const tavix_filter *f, void **handle,
           int *status) {
            std::string seen = std::string(it->name) + "|" + (aggregation != nullptr ? aggregation : "-") + "|" +
                               std::to_string(interval);
            for (; f->name != nullptr; f++) seen += std::string("|") + f->name + "=" + f->op + "," + f->value;
            calls.push_back(seen);
            *handle = reinterpret_cast<void *>(uintptr_t(calls.size()));
            *status = std::strcmp(aggregation != nullptr ? aggregation : "", "bad") == 0 ? 10002 : 0;
            return 0;
        },
        [](void *handle, int *status) {
            calls.push_back("off " + std::to_string(reinterpret_cast<uintptr_t>(handle)));
            *status = 0;
            return 0;
        });
    EXPECT_EQ(Post("createsubscription"), "{\"subscriptionid\":\"1\"}");
    EXPECT_EQ(Post("subscribefilter", "subscriptionid=1&aggregation=avg&interval=2.5&level=ge:3&area=eq:North"),
              "{\"serverhandle\":\"\\/\\/F\\/00000001\"}");
    EXPECT_EQ(Post("subscribefilter", "subscriptionid=1&level=eq:1"), "{\"serverhandle\":\"\\/\\/F\\/00000002\"}");
    EXPECT_EQ(Post("subscribefilter", "subscriptionid=1&aggregation=bad"),
              "{\"error\":10002,\"errorstring\":\"Error fetching callback not set\"}");
    // The named fields by their first characters: none of them is a filter.
    EXPECT_EQ(Post("subscribefilter", "subscriptionid_=1&aggregation2=max&interval.s=4&zone=in:A"),
              "{\"serverhandle\":\"\\/\\/F\\/00000004\"}");
    EXPECT_EQ(Post("unsubscribefilter", "subscriptionid=1&serverhandle[]=//F/00000001"),
              "{\"result\":[{\"error\":0}]}");
    EXPECT_EQ(calls, (std::vector<std::string>{"//F/00000001|avg|2.500000|level=ge,3|area=eq,North",
                                               "//F/00000002|-|0.000000|level=eq,1", "//F/00000003|bad|0.000000",
                                               "//F/00000004|max|4.000000|zone=in,A", "off 1"}));
    // Handles let go only while their elements fit the answer's room.
    EXPECT_EQ(Post("subscribefilter", "subscriptionid=1&level=eq:2"), "{\"serverhandle\":\"\\/\\/F\\/00000005\"}");
    const std::string form = "POST /tavIX/?x HTTP/1.0\r\n\r\nserverhandle[]=//F/00000005&serverhandle[]=//F/00000002";
    tavix_buffer *req = tavix_buffer_get(TAVIX_BUF_REQ_HEADER, 0, 1 << 20, true);
    tavix_buffer_put_data(req, form.data(), uint32_t(form.size()));
    ASSERT_EQ(tavix_engine_parse_form(req, 27), 0);
    EXPECT_EQ(tavix_engine_write_handle_unsubscribe_filter_request(nullptr, 0, req, s->frames), 36);
    EXPECT_EQ(calls.size(), 6u);  // measuring lets nothing go
    char text[36];
    const long n = tavix_engine_write_handle_unsubscribe_filter_request(text, 35, req, s->frames);
    EXPECT_EQ(std::string(text, std::size_t(n)), "{\"result\":[{\"error\":0}]}");
    EXPECT_EQ(calls.back(), "off 6");
    EXPECT_NE(tavix_engine_frame_find_item(s->frames, "//F/00000002"), nullptr);
    tavix_buffer_free(req);
    // A filter change published with the address the application gives.
    tavix_item *it = tavix_engine_subscription_item_get("//F/00000002", false);
    ASSERT_NE(it, nullptr);
    tavix_data_value v{};
    v.kind = TAVIX_DV_DOUBLE;
    v.d = 1.5;
    const tavix_timestamp t{1700000000, 0};
    const tavix_localized plain[] = {{nullptr, "Level"}, {nullptr, nullptr}};
    tavix_data_filter_notify(it, "Tank.Level", &v, &t, 0, plain, "op");
    const tavix_localized texts[] = {{"en", "High"}, {"de", "Hoch"}, {nullptr, nullptr}};
    const tavix_timestamp low{0, 5000000};
    const tavix_alarm_fields a{nullptr, &low, 1, 10, texts, nullptr, nullptr};
    tavix_alarm_filter_notify(it, "Tank.High", &a);
    EXPECT_EQ(Publish(),
              "{\"result\":[{\"type\":1,\"subscriptionid\":[\"1\"],\"address\":\"Tank.Level\",\"value\":1.5,"
              "\"timestamp\":1700000000000,\"description\":\"Level\",\"username\":\"op\"},{\"type\":2,"
              "\"subscriptionid\":[\"1\"],\"address\":\"Tank.High\",\"state\":1,\"priority\":10,"
              "\"timestamp\":5.000000,\"eventtext\":{\"en\":\"High\",\"de\":\"Hoch\"}}],\"remaining\":0}");
    // A server handle is the name of an item the frame holds, whichever way
    // it was subscribed: a data item named there is let go too.
    EXPECT_EQ(Post("subscribedata", "subscriptionid=1&address[]=Tank.Level"), "{\"result\":[{\"error\":0}]}");
    EXPECT_EQ(Post("unsubscribefilter", "subscriptionid=1&serverhandle[]=Tank.Level"), "{\"result\":[{\"error\":0}]}");
    EXPECT_EQ(tavix_engine_frame_find_item(s->frames, "Tank.Level"), nullptr);
    EXPECT_EQ(tavix_engine_subscription_item_get("Tank.Level", false), nullptr);
    // A handle named twice is let go once and then held no more (460); the
    // handle after it is still let go and answered.
    calls.clear();
    EXPECT_EQ(Post("unsubscribefilter",
                   "subscriptionid=1&serverhandle[]=//F/00000002&serverhandle[]=//F/00000002"
                   "&serverhandle[]=//F/00000004"),
              "{\"result\":[{\"error\":0},{\"error\":460,\"errorstring\":\"Subscribed data item not found\"},"
              "{\"error\":0}]}");
    EXPECT_EQ(calls, (std::vector<std::string>{"off 2", "off 4"}));
}

TEST_F(WebAnswers, AlarmNotificationsCarryEveryFieldOfTheirLayout) {
    Open(2);
    static tavix_item *alarm = nullptr;
    // A second frame joining the item gets the current alarm.
    tavix_server_set_alarm_callbacks(
        [](tavix_item *it, const void *, const char *, void **, uint32_t *keeps, int *status) {
            alarm = it;
            *keeps = 0;
            *status = 0;
            return 0;
        },
        nullptr,
        [](tavix_request *r, const void *, const char *address) {
            calls.push_back(address);
            const tavix_timestamp t{1700000001, 0};
            if (calls.size() == 2) {
                // Answered as a data value: a data notification, whatever
                // kind of item asked.
                tavix_data_value v{};
                v.kind = TAVIX_DV_INT32;
                v.i32 = 9;
                EXPECT_EQ(tavix_data_read_return(r, &v, &t, 0, nullptr, nullptr, 0), 0);
                return;
            }
            const tavix_alarm_fields a{nullptr, &t, 2, 7, nullptr, "Boiler", nullptr};
            EXPECT_EQ(tavix_alarm_read_return(r, &a, 0), 0);
            EXPECT_EQ(tavix_data_write_return(r, 0), 2);
        },
        [](const void *, const char *address, int *code) {
            *code = std::strcmp(address, "B") == 0 ? 301 : 0;
            return 0;
        });
    EXPECT_EQ(Post("createsubscription"), "{\"subscriptionid\":\"1\"}");
    EXPECT_EQ(Post("subscribealarm", "subscriptionid=1&address[]=Boiler.Alarm"), "{\"result\":[{\"error\":0}]}");
    ASSERT_NE(alarm, nullptr);
    tavix_data_value v{};
    v.kind = TAVIX_DV_INT32;
    v.i32 = 7;
    const tavix_timestamp t{1700000000, 5000000};
    const tavix_localized texts[] = {{"en", "Overheat"}, {"de", "Zu heiss"}, {nullptr, nullptr}};
    const tavix_alarm_fields a{&v, &t, 3, 500, texts, "Boiler 1", "op"};
    tavix_alarm_notify(alarm, &a);
    EXPECT_EQ(Publish(),
              "{\"result\":[{\"type\":2,\"subscriptionid\":[\"1\"],\"address\":\"Boiler.Alarm\",\"state\":3,"
              "\"priority\":500,\"timestamp\":1700000000005.000000,\"value\":7,\"eventtext\":{\"en\":"
              "\"Overheat\",\"de\":\"Zu heiss\"},\"display\":\"Boiler 1\",\"username\":\"op\"}],"
              "\"remaining\":0}");
    EXPECT_EQ(Post("createsubscription"), "{\"subscriptionid\":\"2\"}");
    EXPECT_EQ(Post("subscribealarm", "subscriptionid=2&address[]=Boiler.Alarm"), "{\"result\":[{\"error\":0}]}");
    EXPECT_EQ(calls, std::vector<std::string>{"Boiler.Alarm"});
    EXPECT_EQ(Publish(),
              "{\"result\":[{\"type\":2,\"subscriptionid\":[\"2\"],\"address\":\"Boiler.Alarm\",\"state\":2,"
              "\"priority\":7,\"timestamp\":1700000001000,\"display\":\"Boiler\"}],\"remaining\":0}");
    EXPECT_EQ(Post("createsubscription"), "{\"subscriptionid\":\"3\"}");
    EXPECT_EQ(Post("subscribealarm", "subscriptionid=3&address[]=Boiler.Alarm"), "{\"result\":[{\"error\":0}]}");
    EXPECT_EQ(Publish(),
              "{\"result\":[{\"type\":1,\"subscriptionid\":[\"3\"],\"address\":\"Boiler.Alarm\","
              "\"value\":9,\"timestamp\":1700000001000}],\"remaining\":0}");
    // Acknowledgements: one element per address, empty for a code of 0.
    EXPECT_EQ(Post("acceptalarm", "address[]=A&address[]=B&address[]=C"),
              "{\"result\":[{},{\"error\":301,\"errorstring\":\"Address not found\"},{}]}");
    EXPECT_EQ(Post("acceptalarm"), "{\"result\":[]}");
    // The answer measured, then written into its room: what does not fit is left out.
    const int codes[] = {0, 301, 0};
    EXPECT_EQ(tavix_engine_write_handle_accept_alarm_request(nullptr, 0, codes, 3), 66);
    char text[66];
    long n = tavix_engine_write_handle_accept_alarm_request(text, 66, codes, 3);
    EXPECT_EQ(std::string(text, std::size_t(n)),
              "{\"result\":[{},{\"error\":301,\"errorstring\":\"Address not found\"},{}]}");
    n = tavix_engine_write_handle_accept_alarm_request(text, 65, codes, 3);
    EXPECT_EQ(std::string(text, std::size_t(n)),
              "{\"result\":[{},{\"error\":301,\"errorstring\":\"Address not found\"}]}");
    // Without a request buffer: one line in the error log, no acknowledgement
    // asked, and an empty array.
    static std::vector<std::string> logged;
    tavix_global_options.error_cb = [](const char *t) { logged.emplace_back(t); };
    tavix_buffer *answer = tavix_engine_handle_accept_alarm_request(nullptr, s, nullptr, nullptr);
    ASSERT_NE(answer, nullptr);
    ASSERT_NE(answer->content, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(answer->content->data), answer->content->length),
              "{\"result\":[]}");
    tavix_buffer_return(answer);
    EXPECT_EQ(logged, std::vector<std::string>{"tavix_engine_get_accept_alarm_error_codes: Parameters are wrong!"});
}

TEST_F(WebAnswers, HistoryAndFilterElementsAndTheirRefusals) {
    Open(2);
    tavix_server_set_history_callbacks(
        [](tavix_request *r, const void *, const char *const *a, const tavix_history_args *h) {
            tavix_data_value v{};
            v.kind = TAVIX_DV_BOOL;
            v.b = 1;
            const tavix_timestamp t{h->start_s, h->start_ns};
            const tavix_localized d[] = {{"en", "Pump"}, {nullptr, nullptr}};
            EXPECT_EQ(tavix_read_history_return(r, a[0], &v, &t, -1, d, "op"), 0);
            EXPECT_EQ(tavix_read_history_return(r, a[0], &v, &t, 0, nullptr, nullptr), 0);
            EXPECT_EQ(tavix_read_history_return(r, a[0], nullptr, &t, 0, nullptr, nullptr), 1);
            EXPECT_EQ(tavix_read_history_return(r, a[0], &v, nullptr, 0, nullptr, nullptr), 1);
            EXPECT_EQ(tavix_event_filter_read_return(r, a[0], &t, &v, nullptr, nullptr), 2);
            return 0;
        });
    EXPECT_EQ(Post("readhistory", "address[]=P1&starttime=1700000000123.5"),
              "{\"result\":[{\"address\":\"P1\",\"value\":true,\"timestamp\":1700000000123.500000,\"status\":-1,"
              "\"description\":{\"en\":\"Pump\"},\"username\":\"op\"},{\"address\":\"P1\",\"value\":true,"
              "\"timestamp\":1700000000123.500000}]}");
    // Field names are matched by the known name's first characters.
    EXPECT_EQ(Post("readhistory", "address[]x=P1&starttime_ms=1700000000123.5"),
              "{\"result\":[{\"address\":\"P1\",\"value\":true,\"timestamp\":1700000000123.500000,\"status\":-1,"
              "\"description\":{\"en\":\"Pump\"},\"username\":\"op\"},{\"address\":\"P1\",\"value\":true,"
              "\"timestamp\":1700000000123.500000}]}");
    // The bounds flag (a value beginning with "true"), shown as the status;
    // elements past a 600-byte body end the answer with the "more" footer.
    tavix_server_set_history_callbacks(
        [](tavix_request *r, const void *, const char *const *a, const tavix_history_args *h) {
            tavix_data_value v{};
            v.kind = TAVIX_DV_BOOL;
            v.b = 1;
            const tavix_timestamp t{1700000000, 0};
            const uint32_t keep = tavix_global_options.buffer_limit;
            tavix_global_options.buffer_limit = 600;
            for (int i = 0; i < (h->bounds ? 1 : 20); i++)
                tavix_read_history_return(r, a[0], &v, &t, h->bounds ? 7 : 0, nullptr, nullptr);
            tavix_global_options.buffer_limit = keep;
            return 0;
        });
    EXPECT_EQ(Post("readhistory", "address[]=P1&returnbounds=trueish"),
              "{\"result\":[{\"address\":\"P1\",\"value\":true,\"timestamp\":1700000000000,\"status\":7}]}");
    EXPECT_EQ(Post("readhistory", "address[]=P1&returnbounds2=true"),
              "{\"result\":[{\"address\":\"P1\",\"value\":true,\"timestamp\":1700000000000,\"status\":7}]}");
    const std::string element = "{\"address\":\"P1\",\"value\":true,\"timestamp\":1700000000000}";
    std::string ten = "{\"result\":[" + element;
    for (int i = 1; i < 10; i++) ten += "," + element;
    EXPECT_EQ(Post("readhistory", "address[]=P1&returnbounds=True"), ten + "],\"more\":\"true\"}");

    // The query filter's three elements, written into a request of kind 6.
    tavix_buffer *body = tavix_buffer_get(TAVIX_BUF_DATA, 512, 1 << 20, true);
    tavix_request r = tavix_request_make(TAVIX_REQ_QUERY, body, nullptr);
    tavix_data_value v{};
    v.kind = TAVIX_DV_UINT32;
    v.u32 = 4;
    const tavix_timestamp t{1700000000, 0};
    const tavix_localized ev[] = {{nullptr, "Door open"}, {nullptr, nullptr}};
    EXPECT_EQ(tavix_event_filter_read_return(&r, "D1", &t, &v, ev, "op"), 0);
    EXPECT_EQ(tavix_alarm_filter_read_return(&r, "A1", &t, 1, 900, nullptr, ev, "Hall", nullptr), 0);
    EXPECT_EQ(tavix_data_filter_read_return(&r, "V1", &v, nullptr, 3, nullptr, nullptr), 0);
    EXPECT_EQ(tavix_event_filter_read_return(&r, nullptr, &t, &v, nullptr, nullptr), 1);
    EXPECT_EQ(tavix_alarm_filter_read_return(&r, "A1", nullptr, 1, 2, nullptr, nullptr, nullptr, nullptr), 1);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(body->data), body->length),
              "{\"type\":99,\"timestamp\":1700000000000,\"address\":\"D1\",\"value\":4,\"eventtext\":\"Door open\","
              "\"username\":\"op\"},{\"type\":2,\"timestamp\":1700000000000,\"state\":1,\"priority\":900,"
              "\"address\":\"A1\",\"eventtext\":\"Door open\",\"display\":\"Hall\"},{\"type\":1,\"address\":\"V1\","
              "\"value\":4,\"status\":3}");
    // Other kinds: 2, and 1 for the data filter; past the buffer limit: 3 with 304.
    tavix_request read = tavix_request_make(TAVIX_REQ_READ, body, nullptr);
    EXPECT_EQ(tavix_alarm_filter_read_return(&read, "A1", &t, 1, 2, nullptr, nullptr, nullptr, nullptr), 2);
    EXPECT_EQ(tavix_data_filter_read_return(&read, "V1", &v, nullptr, 0, nullptr, nullptr), 1);
    EXPECT_EQ(tavix_read_history_return(&read, "V1", &v, &t, 0, nullptr, nullptr), 2);
    EXPECT_EQ(tavix_user_info_return(&read, nullptr, nullptr, nullptr), 1);  // no session
    EXPECT_EQ(tavix_alarm_read_return(&read, nullptr, 0), 2);
    EXPECT_EQ(tavix_list_processimage_return(&read, "x"), 2);
    const uint32_t before = body->length;
    tavix_global_options.buffer_limit = before + 30;
    EXPECT_EQ(tavix_data_filter_read_return(&r, "V1", &v, nullptr, 0, nullptr, nullptr), 3);
    EXPECT_EQ(r.error, 304);
    EXPECT_EQ(body->length, before);
    tavix_buffer_free(body);
}

// The user agreement is to be shown to a named user not in the list; to
// one who accepted it, or when no user name is given, it is not.
TEST_F(WebAnswers, TheAgreementIsShownToANamedUserWhoHasNotAcceptedItOnly) {
    test_support::TempRoot root;
    std::filesystem::create_directories(root / "mnt/USB0/tavIX/config");
    std::ofstream(root / "mnt/USB0/tavIX/config/LoggedIn_users.txt") << "ann:";
    tavix_read_update_already_logged_users();
    auto ask = [](const char *user) {
        tavix_buffer *response = nullptr;
        bool keep = false;
        tavix_connection c{};
        EXPECT_EQ(request_hook_callback("POST", "/tavIX/?displayLicenseAgreement", &c, nullptr, &response, &keep, user),
                  1);
        std::string out;
        const uint8_t *piece = nullptr;
        for (long n;
             response != nullptr && (n = tavix_buffer_get_data(response, &piece, nullptr, 0, nullptr, 0)) > 0;) {
            out.append(reinterpret_cast<const char *>(piece), std::size_t(n));
            tavix_buffer_get_advance(response, uint32_t(n));
        }
        tavix_buffer_return(response);
        return out.substr(out.find("\r\n\r\n") + 4);
    };
    EXPECT_EQ(ask("bob"), "{\"Result\":\"TRUE\"}");
    EXPECT_EQ(ask("ann"), "{\"Result\":\"FALSE\"}");
    EXPECT_EQ(ask(""), "{\"Result\":\"FALSE\"}");
}

TEST(WebUsers, TheOemVariantKeepsItsAgreementListInOneFolder) {
    test_support::TempRoot root;
    crc_header[3] = 128;
    std::filesystem::create_directories(root / "mnt/USB0/oemHMI/config");
    std::ofstream(root / "mnt/USB0/oemHMI/config/LoggedIn_users.txt") << "ann:";
    tavix_read_update_already_logged_users();
    EXPECT_EQ(tavix_check_already_logged_users("ann"), 0);
    EXPECT_EQ(tavix_update_accepted_license_users("bob"), 1);
    EXPECT_EQ(tavix_update_accepted_license_users("bob"), 0);
    std::stringstream text;
    text << std::ifstream(root / "mnt/USB0/oemHMI/config/LoggedIn_users.txt").rdbuf();
    EXPECT_EQ(text.str(), "ann:bob:");
    // The next server start reads both.
    tavix_read_update_already_logged_users();
    EXPECT_EQ(tavix_check_already_logged_users("bob"), 1);
    struct stat st {};
    EXPECT_NE(stat((root / "mnt/USB0/tavIX").c_str(), &st), 0);
    crc_header[3] = 0;
}

// Names in the file end at ":": a name holding one is kept in the list of
// this run but not written, where the next start would read it as the
// names of two other users who never accepted.
TEST(WebUsers, ANameWithAColonIsNotWrittenAsTheNamesOfOthers) {
    test_support::TempRoot root;
    std::filesystem::create_directories(root / "mnt/USB0/tavIX/config");
    std::ofstream(root / "mnt/USB0/tavIX/config/LoggedIn_users.txt") << "ann:";
    tavix_read_update_already_logged_users();
    EXPECT_EQ(tavix_update_accepted_license_users("bob:eve"), 0);
    EXPECT_EQ(tavix_check_already_logged_users("bob:eve"), 1);
    EXPECT_EQ(tavix_update_accepted_license_users("bob:eve"), 0);
    std::stringstream text;
    text << std::ifstream(root / "mnt/USB0/tavIX/config/LoggedIn_users.txt").rdbuf();
    EXPECT_EQ(text.str(), "ann:");
    tavix_read_update_already_logged_users();
    EXPECT_EQ(tavix_check_already_logged_users("eve"), -1);
    EXPECT_EQ(tavix_check_already_logged_users("bob"), -1);
}

// The agreement list is read up to 4,096 bytes: a name whose last letter is
// byte 4,096 of the file is taken whole, nothing after that byte is.
TEST(WebUsers, TheAgreementListIsReadToItsFourThousandNinetySixthByte) {
    test_support::TempRoot root;
    std::filesystem::create_directories(root / "mnt/USB0/tavIX/config");
    std::string text;
    for (int i = 0; i < 99; i++) text += std::string(40, 'f') + ":";  // 99 x 41 = 4,059 bytes
    text += std::string(21, 'g') + ":";                               // 4,081
    text += "lastuser1234567";                                        // bytes 4,082 to 4,096
    ASSERT_EQ(text.size(), 4096u);
    text += ":late:";
    std::ofstream(root / "mnt/USB0/tavIX/config/LoggedIn_users.txt") << text;
    tavix_read_update_already_logged_users();
    EXPECT_EQ(tavix_check_already_logged_users("lastuser1234567"), 100);
    EXPECT_EQ(tavix_check_already_logged_users("late"), -1);
}

TEST_F(WebAnswers, SingleItemCallbacksAnswerEachAddressAndEmptiedSlotsGiveTheirCodes) {
    Open(2);
    tavix_server_set_basic_callbacks_simple(
        [](tavix_request *r, const void *user, const char *a) {
            calls.push_back(std::string("read ") + a + " " + Who(user));
            tavix_data_value v{};
            v.kind = TAVIX_DV_INT32;
            v.i32 = -7;
            const tavix_timestamp t{1700000000, 0};
            if (std::strcmp(a, "B") == 0)
                tavix_data_read_return(r, nullptr, nullptr, 0, nullptr, nullptr, 301);
            else
                tavix_data_read_return(r, &v, &t, 0, nullptr, nullptr, 0);
        },
        [](tavix_request *r, const void *user, const char *a, const char *v, uint32_t n) {
            calls.push_back(std::string("write ") + a + "=" + std::string(v, n) + " " + Who(user));
            tavix_data_write_return(r, std::strcmp(a, "B") == 0 ? 301 : 0);
        });
    EXPECT_EQ(Post("read", "address[]=A&address[]=B"),
              "{\"result\":[{\"value\":-7,\"timestamp\":1700000000000,\"error\":0},{\"value\":null,\"error\":301,"
              "\"errorstring\":\"Address not found\"}]}");
    EXPECT_EQ(Post("write", "address[]=A&value[]=12&address[]=B&value[]=x"),
              "{\"result\":[{\"error\":0},{\"error\":301,\"errorstring\":\"Address not found\"}]}");
    EXPECT_EQ(calls, (std::vector<std::string>{"read A op", "read B op", "write A=12 op", "write B=x op"}));
    // Null empties the slots again.
    tavix_server_set_basic_callbacks_simple(nullptr, nullptr);
    EXPECT_EQ(Post("read", "address[]=A"), "{\"error\":502,\"errorstring\":\"Data read callback not set\"}");
    EXPECT_EQ(Post("write", "address[]=A&value[]=1"),
              "{\"error\":503,\"errorstring\":\"Data write callback not set\"}");
    tavix_server_set_history_callbacks(nullptr);
    EXPECT_EQ(Post("readhistory", "address[]=A"), "{\"error\":510,\"errorstring\":\"Read history callback not set\"}");
    EXPECT_EQ(calls.size(), 4u);
    // Level 0 checks no session header: a method that needs a session answers 454.
    tavix_global_options.level = 0;
    EXPECT_EQ(Post("read", "address[]=A"), "{\"error\":454,\"errorstring\":\"X-TavIX is missing\"}");
    // Level 1 leaves out the methods of class 2, whatever the session; names
    // are whole and case-sensitive.
    tavix_global_options.level = 1;
    EXPECT_EQ(Post("queryfilter", "address[]=A"), "{\"error\":300,\"errorstring\":\"Unknown method\"}");
    tavix_global_options.level = 2;
    for (const char *name : {"Read", "rea", "reads"})
        EXPECT_EQ(Post(name, "address[]=A"), "{\"error\":300,\"errorstring\":\"Unknown method\"}") << name;
    // The method interface under another URL prefix; the old one is no longer it.
    tavix_options_set_tavix_prefix("/hmi/");
    EXPECT_EQ(Exchange("POST /hmi/?info HTTP/1.0\r\nContent-Length: 0\r\n\r\n").first.substr(0, 17),
              "HTTP/1.0 200 OK\r\n");
    EXPECT_EQ(Exchange("POST /tavIX/?info HTTP/1.0\r\nContent-Length: 0\r\n\r\n").first.substr(0, 24),
              "HTTP/1.0 404 Not found\r\n");
}

// A data notification of a controller item at the test clock, and a whole
// "publish" answer of such notifications.
std::string Change(const char *frames, const char *address, const char *value) {
    return std::string("{\"type\":1,\"subscriptionid\":[") + frames + "],\"address\":\"" + address +
           "\",\"value\":" + value + ",\"timestamp\":1709251200000}";
}
std::string Published(const std::vector<std::string> &items) {
    std::string out = "{\"result\":[";
    for (std::size_t i = 0; i < items.size(); i++) {
        if (i) out += ',';
        out += items[i];
    }
    return out + "],\"remaining\":0}";
}
constexpr char kNone[] = "{\"result\":[],\"remaining\":0}";
constexpr char kOk[] = "{\"result\":[{\"error\":0}]}";

// Subscribe and unsubscribe callbacks of data items (handle 7) and alarm
// items (handle 8); the address "Bad" is refused with 301.
constexpr uintptr_t kDataHandle = 7, kAlarmHandle = 8;
template <uintptr_t kHandle>
int SubscribeAs(tavix_item *, const void *user, const char *a, void **handle, uint32_t *keeps, int *status) {
    calls.push_back(std::string(kHandle == kDataHandle ? "data " : "alarm ") + a + " " + Who(user));
    *handle = reinterpret_cast<void *>(kHandle);
    *keeps = 0;
    *status = std::strcmp(a, "Bad") == 0 ? 301 : 0;
    return 0;
}
int unsubscribe_status = 0;  // what the unsubscribe callbacks answer
template <uintptr_t kHandle>
int UnsubscribeAs(void *handle, int *status) {
    calls.push_back(std::string(kHandle == kDataHandle ? "data" : "alarm") + " off " +
                    std::to_string(reinterpret_cast<uintptr_t>(handle)));
    *status = unsubscribe_status;
    return 0;
}

// An item keeps the kind of its first subscription; a frame that joined it
// as the other kind still lets go of it by its address.
TEST_F(WebAnswers, AnUnsubscribeByAddressTakesTheItemWhateverKindItWasSubscribedAs) {
    Open(2);
    static std::vector<std::string> logged;
    logged.clear();
    tavix_global_options.error_cb = [](const char *t) { logged.emplace_back(t); };
    tavix_server_set_advanced_callbacks(SubscribeAs<kDataHandle>, UnsubscribeAs<kDataHandle>);
    tavix_server_set_alarm_callbacks(SubscribeAs<kAlarmHandle>, UnsubscribeAs<kAlarmHandle>, nullptr, nullptr);
    EXPECT_EQ(Post("createsubscription"), "{\"subscriptionid\":\"1\"}");
    EXPECT_EQ(Post("createsubscription"), "{\"subscriptionid\":\"2\"}");
    EXPECT_EQ(Post("subscribedata", "subscriptionid=1&address[]=X"), kOk);
    EXPECT_EQ(Post("subscribealarm", "subscriptionid=2&address[]=X"), kOk);
    // Frame 2 joined a data item and no read callback is registered: said in the error log.
    EXPECT_EQ(logged, std::vector<std::string>{"No read data callback is defined!"});
    EXPECT_EQ(Post("unsubscribealarm", "subscriptionid=2&address[]=X"), kOk);
    EXPECT_EQ(Post("unsubscribealarm", "subscriptionid=2&address[]=X"),
              "{\"result\":[{\"error\":460,\"errorstring\":\"Subscribed data item not found\"}]}");
    // Frame 1 still holds it; its own unsubscribe is the item's last.
    EXPECT_EQ(calls, std::vector<std::string>{"data X op"});
    EXPECT_EQ(Post("unsubscribedata", "subscriptionid=1&address[]=X"), kOk);
    EXPECT_EQ(calls, (std::vector<std::string>{"data X op", "data off 7"}));
    // An address of 255 characters is refused on subscribing (301) and so is
    // never held: unsubscribing it finds no item (460).
    const std::string longer(255, 'L');
    EXPECT_EQ(Post("subscribedata", "subscriptionid=1&address[]=" + longer),
              "{\"result\":[{\"error\":301,\"errorstring\":\"Address not found\"}]}");
    EXPECT_EQ(Post("unsubscribedata", "subscriptionid=1&address[]=" + longer),
              "{\"result\":[{\"error\":460,\"errorstring\":\"Subscribed data item not found\"}]}");
    EXPECT_EQ(calls, (std::vector<std::string>{"data X op", "data off 7"}));

    // A frame joining an item another frame holds reads its current value
    // as the item's kind (an alarm frame of a data item by the data read, a
    // data frame of an alarm item by the alarm read), and the item lets go
    // as the kind of its first subscription.
    calls.clear();
    tavix_server_set_basic_callbacks_simple(
        [](tavix_request *, const void *, const char *a) { calls.push_back(std::string("data read ") + a); }, nullptr);
    tavix_server_set_alarm_callbacks(
        SubscribeAs<kAlarmHandle>, UnsubscribeAs<kAlarmHandle>,
        [](tavix_request *, const void *, const char *a) { calls.push_back(std::string("alarm read ") + a); }, nullptr);
    EXPECT_EQ(Post("subscribedata", "subscriptionid=1&address[]=Y"), kOk);
    EXPECT_EQ(Post("subscribealarm", "subscriptionid=2&address[]=Y"), kOk);
    EXPECT_EQ(Post("subscribealarm", "subscriptionid=1&address[]=Z"), kOk);
    EXPECT_EQ(Post("subscribedata", "subscriptionid=2&address[]=Z"), kOk);
    EXPECT_EQ(Post("unsubscribedata", "subscriptionid=1&address[]=Y"), kOk);
    EXPECT_EQ(Post("unsubscribealarm", "subscriptionid=2&address[]=Y"), kOk);
    EXPECT_EQ(Post("unsubscribealarm", "subscriptionid=1&address[]=Z"), kOk);
    EXPECT_EQ(Post("unsubscribedata", "subscriptionid=2&address[]=Z"), kOk);
    EXPECT_EQ(calls, (std::vector<std::string>{"data Y op", "data read Y", "alarm Z op", "alarm read Z", "data off 7",
                                               "alarm off 8"}));
}

// A filter's server handle is the name of an item the server made for that
// one filter subscription: named as the address of a data or alarm
// subscription it is no address (301), and the filter's frame alone keeps
// it, its changes and its unsubscribe callback.
TEST_F(WebAnswers, AFilterHandleNamedAsADataOrAlarmAddressIsNoAddress) {
    Open(2);
    tavix_server_set_advanced_callbacks(SubscribeAs<kDataHandle>, UnsubscribeAs<kDataHandle>);
    tavix_server_set_alarm_callbacks(SubscribeAs<kAlarmHandle>, UnsubscribeAs<kAlarmHandle>, nullptr, nullptr);
    tavix_server_set_basic_callbacks_simple(
        [](tavix_request *, const void *, const char *a) { calls.push_back(std::string("data read ") + a); }, nullptr);
    tavix_server_set_scada_callbacks(
        nullptr,
        [](tavix_item *it, const void *, const char *, double, const tavix_filter *, void **handle, int *status) {
            calls.push_back(std::string("filter ") + it->name);
            *handle = reinterpret_cast<void *>(uintptr_t(5));
            *status = 0;
            return 0;
        },
        [](void *handle, int *status) {
            calls.push_back("filter off " + std::to_string(reinterpret_cast<uintptr_t>(handle)));
            *status = 0;
            return 0;
        });
    EXPECT_EQ(Post("createsubscription"), "{\"subscriptionid\":\"1\"}");
    EXPECT_EQ(Post("createsubscription"), "{\"subscriptionid\":\"2\"}");
    EXPECT_EQ(Post("subscribefilter", "subscriptionid=1&level=eq:1"), "{\"serverhandle\":\"\\/\\/F\\/00000001\"}");
    const std::string refused = "{\"result\":[{\"error\":301,\"errorstring\":\"Address not found\"}]}";
    EXPECT_EQ(Post("subscribedata", "subscriptionid=2&address[]=//F/00000001"), refused);
    EXPECT_EQ(Post("subscribealarm", "subscriptionid=2&address[]=//F/00000001"), refused);
    EXPECT_EQ(Post("unsubscribedata", "subscriptionid=2&address[]=//F/00000001"),
              "{\"result\":[{\"error\":460,\"errorstring\":\"Subscribed data item not found\"}]}");
    tavix_item *it = tavix_engine_subscription_item_get("//F/00000001", false);
    ASSERT_NE(it, nullptr);
    EXPECT_EQ(it->frame_count, 1u);
    tavix_data_value v{};
    v.kind = TAVIX_DV_INT32;
    v.i32 = 4;
    const tavix_timestamp t{1700000000, 0};
    tavix_data_filter_notify(it, "Tank.Level", &v, &t, 0, nullptr, nullptr);
    EXPECT_EQ(Publish(),
              "{\"result\":[{\"type\":1,\"subscriptionid\":[\"1\"],\"address\":\"Tank.Level\",\"value\":4,"
              "\"timestamp\":1700000000000}],\"remaining\":0}");
    EXPECT_EQ(Post("unsubscribefilter", "subscriptionid=1&serverhandle[]=//F/00000001"), kOk);
    EXPECT_EQ(calls, (std::vector<std::string>{"filter //F/00000001", "filter off 5"}));
    EXPECT_EQ(tavix_engine_subscription_item_get("//F/00000001", false), nullptr);
}

// An item answer that would pass the buffer limit is closed after the last
// element that fits, and still acts on every address of the request.
TEST_F(WebAnswers, AnItemAnswerPastTheBufferLimitClosesItsArrayAfterTheElementsThatFit) {
    Open(2);
    tavix_server_set_advanced_callbacks(SubscribeAs<kDataHandle>, UnsubscribeAs<kDataHandle>);
    EXPECT_EQ(Post("createsubscription"), "{\"subscriptionid\":\"1\"}");
    EXPECT_EQ(Post("subscribedata", "subscriptionid=1&address[]=Z"), kOk);
    std::string body = "subscriptionid=1";
    for (int i = 0; i < 20; i++) body += "&address[]=N" + std::to_string(i);
    body += "&address[]=Z";
    // {"result":[ is 11 bytes, each 460 element 60 and its comma 1: after k
    // elements 10 + 61k, and ]} must still fit into 1024: 16 elements.
    const std::string missing = "{\"error\":460,\"errorstring\":\"Subscribed data item not found\"}";
    std::string want = "{\"result\":[" + missing;
    for (int i = 1; i < 16; i++) want += "," + missing;
    want += "]}";
    const uint32_t keep = tavix_global_options.buffer_limit;
    tavix_global_options.buffer_limit = 1024;
    const std::string got = Post("unsubscribedata", body);
    tavix_global_options.buffer_limit = keep;
    EXPECT_EQ(got, want);
    // Z, past the cut, is unsubscribed all the same.
    EXPECT_EQ(calls, (std::vector<std::string>{"data Z op", "data off 7"}));
}

TEST_F(WebAnswers, SubscribeCallbacksAnswerEachItemAndUnsubscribeCallbacksGetTheirHandles) {
    Open(2);
    tavix_server_set_advanced_callbacks(SubscribeAs<kDataHandle>, UnsubscribeAs<kDataHandle>);
    tavix_server_set_alarm_callbacks(SubscribeAs<kAlarmHandle>, UnsubscribeAs<kAlarmHandle>, nullptr, nullptr);
    EXPECT_EQ(Post("createsubscription"), "{\"subscriptionid\":\"1\"}");
    EXPECT_EQ(Post("subscribedata", "subscriptionid=1&address[]=Tank.Level&address[]=Bad"),
              "{\"result\":[{\"error\":0},{\"error\":301,\"errorstring\":\"Address not found\"}]}");
    EXPECT_EQ(Post("subscribealarm", "subscriptionid=1&address[]=Tank.High"), "{\"result\":[{\"error\":0}]}");
    EXPECT_EQ(Post("unsubscribedata", "subscriptionid=1&address[]=Tank.Level&address[]=Bad"),
              "{\"result\":[{\"error\":0},{\"error\":460,\"errorstring\":\"Subscribed data item not found\"}]}");
    EXPECT_EQ(Post("unsubscribealarm", "subscriptionid=1&address[]=Tank.High"), "{\"result\":[{\"error\":0}]}");
    // Each new item is subscribed once; the unsubscribe gets its handle back.
    EXPECT_EQ(calls, (std::vector<std::string>{"data Tank.Level op", "data Bad op", "alarm Tank.High op", "data off 7",
                                               "alarm off 8"}));

    // The unsubscribe callback's code is the answer of a deleted frame; an
    // item found in the frame is let go and its element says 0 whatever the
    // callback answered.
    unsubscribe_status = 10001;
    const std::string app = "{\"error\":10001,\"errorstring\":\"Error fetching callback not set\"}";
    EXPECT_EQ(Post("subscribedata", "subscriptionid=1&address[]=A&address[]=B"),
              "{\"result\":[{\"error\":0},{\"error\":0}]}");
    EXPECT_EQ(Post("unsubscribedata", "subscriptionid=1&address[]=A"), kOk);
    EXPECT_EQ(Post("unsubscribedata", "subscriptionid=1&address[]=A"),
              "{\"result\":[{\"error\":460,\"errorstring\":\"Subscribed data item not found\"}]}");
    EXPECT_EQ(Post("deletesubscription", "subscriptionid=1"), app);
    unsubscribe_status = 0;
    calls.clear();
    // The items the server may hold: a new address past them is refused
    // (464), a held one still joins another frame; memory refused while the
    // frame's item list grows past its own room of 32 gives 900 and leaves
    // nothing more subscribed.
    EXPECT_EQ(Post("createsubscription"), "{\"subscriptionid\":\"2\"}");
    EXPECT_EQ(Post("createsubscription"), "{\"subscriptionid\":\"3\"}");
    tavix_global_options.max_items = 1;
    EXPECT_EQ(Post("subscribedata", "subscriptionid=2&address[]=A&address[]=B"),
              "{\"result\":[{\"error\":0},{\"error\":464,\"errorstring\":\"Too many subscription items in the "
              "server\"}]}");
    EXPECT_EQ(Post("subscribedata", "subscriptionid=3&address[]=A"), kOk);
    tavix_global_options.max_items = 8192;
    std::string more = "subscriptionid=2";
    std::vector<std::string> want{"data A op"};
    for (int i = 0; i < 31; i++) {
        more += "&address[]=D" + std::to_string(i);
        want.push_back("data D" + std::to_string(i) + " op");
    }
    calls.clear();
    Post("subscribedata", more);
    EXPECT_EQ(calls.size(), 31u);
    calls.insert(calls.begin(), "data A op");
    tavix_subs_realloc = [](void *p, std::size_t n) {
        return p == nullptr && n == 64 * sizeof(void *) ? nullptr : std::realloc(p, n);
    };
    EXPECT_EQ(Post("subscribedata", "subscriptionid=2&address[]=C"),
              "{\"result\":[{\"error\":900,\"errorstring\":\"Out of memory\"}]}");
    tavix_subs_realloc = std::realloc;
    EXPECT_EQ(tavix_subscription_map.count, 32u);
    EXPECT_EQ(calls, want);

    // A deleted frame lets its items go in their order in the frame (P
    // before Q) and answers the last nonzero code of their callbacks.
    tavix_server_set_advanced_callbacks(
        [](tavix_item *, const void *, const char *a, void **handle, uint32_t *keeps, int *status) {
            *handle = reinterpret_cast<void *>(uintptr_t(a[0]));
            *keeps = 0;
            *status = 0;
            return 0;
        },
        [](void *handle, int *status) {
            const uintptr_t h = reinterpret_cast<uintptr_t>(handle);
            calls.push_back(std::string("off ") + char(h));
            *status = int(10000 + h - 'O');  // P 10001, Q 10002
            return 0;
        });
    calls.clear();
    EXPECT_EQ(Post("createsubscription"), "{\"subscriptionid\":\"4\"}");
    EXPECT_EQ(Post("subscribedata", "subscriptionid=4&address[]=Q&address[]=P"),
              "{\"result\":[{\"error\":0},{\"error\":0}]}");
    EXPECT_EQ(Post("deletesubscription", "subscriptionid=4"),
              "{\"error\":10002,\"errorstring\":\"Error fetching callback not set\"}");
    EXPECT_EQ(calls, (std::vector<std::string>{"off P", "off Q"}));
}

TEST_F(WebAnswers, TheAccessCallbackGrantsOrRefusesEachRequest) {
    tavix_engine_hooks.access = tavix_auth_engine_access;
    tavix_engine_hooks.utc_now = Clock1994;
    tavix_options_set_auth_options(1, "tavIX");
    tavix_server_set_auth_callbacks(
        [](const char *method, const char *url, void *, const tavix_identity *who, int *code) {
            calls.push_back(std::string(method) + " " + url + " " + (who != nullptr ? who->user : "-"));
            *code = 405;
            return int(std::strcmp(url, "/tavIX/?info") == 0);
        },
        DigestOfOp, nullptr, nullptr);
    const auto refused = Exchange(std::string("POST /tavIX/?read HTTP/1.0\r\n") + kBasicOp + "\r\n");
    const std::string page =
        "<!DOCTYPE html><html><head><title>403 Forbidden via access check callback</title></head>"
        "<body><h1>Forbidden via access check callback</h1><p>Requested Entity: "
        "/tavIX/?read</p></body></html>";
    EXPECT_EQ(refused.first,
              "HTTP/1.0 403 Forbidden via access check callback\r\nServer: TavIX SDK/0.9.0\r\n"
              "Date: Sun, 06 Nov 1994 08:49:37 GMT\r\nContent-Length: 189\r\n"
              "Content-Type: text/html; charset=utf-8\r\n\r\n");
    EXPECT_EQ(refused.second, page);
    const auto granted = Exchange(std::string("POST /tavIX/?info HTTP/1.0\r\n") + kBasicOp + "\r\n");
    EXPECT_EQ(granted.first.substr(0, 17), "HTTP/1.0 200 OK\r\n");
    // "login" is offered: the digest callback came with the access callback.
    EXPECT_EQ(granted.second,
              "{\"loginmethod\":\"http\",\"encryptionmodulus\":\"\",\"encryptionexponent\":\"\","
              "\"certificationlevel\":\"scada\",\"features\":[\"session\",\"login\",\"read\",\"write\","
              "\"browsertime\"],\"longpollsupport\":true,\"securitysupport\":true,\"maxtimeout\":60,"
              "\"vendorinfo\":\"Controller web HMI server\",\"servername\":\"\"}");
    EXPECT_EQ(calls, (std::vector<std::string>{"POST /tavIX/?read op", "POST /tavIX/?info op"}));
    // "info" is measured before it is written: a long server name fits whole.
    const std::string name(3000, 'n');
    tavix_options_set_server_name(name.c_str());
    const auto named = Exchange(std::string("POST /tavIX/?info HTTP/1.0\r\n") + kBasicOp + "\r\n");
    EXPECT_EQ(named.second.size(), granted.second.size() + 3000);
    EXPECT_EQ(named.second.substr(named.second.size() - 3016), "\"servername\":\"" + name + "\"}");
    tavix_options_set_server_name(nullptr);
    // A level above 3 is named "unknown" and offers only what every level does.
    const uint32_t level = tavix_global_options.level;
    tavix_global_options.level = 4;
    const auto unknown = Exchange(std::string("POST /tavIX/?info HTTP/1.0\r\n") + kBasicOp + "\r\n");
    tavix_global_options.level = level;
    EXPECT_EQ(unknown.second,
              "{\"loginmethod\":\"http\",\"encryptionmodulus\":\"\",\"encryptionexponent\":\"\","
              "\"certificationlevel\":\"unknown\",\"features\":[\"read\",\"write\",\"browsertime\"],"
              "\"longpollsupport\":true,\"securitysupport\":true,\"maxtimeout\":60,"
              "\"vendorinfo\":\"Controller web HMI server\",\"servername\":\"\"}");

    // A connection whose own identity callback names the user needs no
    // credentials; one that names nobody is challenged as any other.
    calls.clear();
    const auto through = [](tavix_identity_cb identity) {
        tavix_connection c{};
        c.identity = identity;
        const std::string req = "POST /tavIX/?info HTTP/1.0\r\n\r\n";
        EXPECT_EQ(tavix_engine_raw_handler_init_dispatcher(&c, reinterpret_cast<const uint8_t *>(req.data()),
                                                           uint32_t(req.size())),
                  0);
        const uint8_t *h = nullptr, *b = nullptr;
        uint32_t hl = 0, bl = 0;
        EXPECT_EQ(tavix_engine_raw_handler_call_dispatcher(&c, &h, &hl, &b, &bl), 0);
        std::string status = h != nullptr ? std::string(reinterpret_cast<const char *>(h), hl) : "";
        status = status.substr(0, status.find("\r\n"));
        tavix_engine_raw_handler_free_dispatcher(&c);
        return status;
    };
    EXPECT_EQ(through([](tavix_connection *, const char *authorization, const char *method, const char *url,
                         tavix_identity *who) {
                  calls.push_back(std::string("identity ") + method + " " + url + " " +
                                  (authorization != nullptr ? authorization : "-"));
                  std::snprintf(who->realm, sizeof who->realm, "tavIX");
                  std::snprintf(who->user, sizeof who->user, "plc");
                  return 1;
              }),
              "HTTP/1.0 200 OK");
    EXPECT_EQ(through([](tavix_connection *, const char *, const char *, const char *, tavix_identity *) {
                  calls.push_back("nobody");
                  return 0;
              }),
              "HTTP/1.0 401 Authorization Required");
    EXPECT_EQ(calls, (std::vector<std::string>{"identity POST /tavIX/?info -", "POST /tavIX/?info plc", "nobody"}));
}

TEST_F(WebAnswers, TheRequestHookAnswersItsOwnUrlsWithTheRequestsUserAndMayKeepTheRequest) {
    tavix_engine_hooks.access = tavix_auth_engine_access;
    tavix_engine_hooks.utc_now = Clock1994;
    tavix_options_set_auth_options(1, "tavIX");
    tavix_server_set_auth_callbacks(nullptr, DigestOfOp, nullptr, nullptr);
    // The controller's own hook answers the ping.
    tavix_server_set_request_hook_callback(request_hook_callback);
    const auto ping = Exchange(std::string("POST /tavIX/?Ping HTTP/1.0\r\n") + kBasicOp + "Content-Length: 0\r\n\r\n");
    EXPECT_EQ(ping.first, JsonHeader(15));
    EXPECT_EQ(ping.second, "{\"Result\":\"OK\"}");
    // A GET of it is not the hook's: the path ends at its "?", no such file.
    const auto get = Exchange(std::string("GET /tavIX/?Ping HTTP/1.0\r\n") + kBasicOp + "\r\n");
    EXPECT_EQ(get.first,
              "HTTP/1.0 404 Not Found\r\nServer: TavIX SDK/0.9.0\r\nDate: Sun, 06 Nov 1994 08:49:37 GMT\r\n"
              "Content-Length: 132\r\nContent-Type: text/html; charset=utf-8\r\n\r\n");
    EXPECT_EQ(get.second,
              "<!DOCTYPE html><html><head><title>404 Not Found</title></head><body><h1>Not Found</h1>"
              "<p>Requested Entity: /tavIX/</p></body></html>");

    static tavix_buffer *kept = nullptr;
    tavix_server_set_request_hook_callback([](const char *method, const char *url, tavix_connection *,
                                              tavix_buffer *request, tavix_buffer **response, bool *keep,
                                              const char *user) {
        calls.push_back(std::string(method) + " " + url + " " + user);
        if (std::strcmp(url, "/mine") != 0 && std::strcmp(url, "/tavIX/?mine") != 0) return 0;
        if (method[0] == 'P') {
            kept = request;
            *keep = true;
        }
        tavix_buffer *b = tavix_buffer_get(TAVIX_BUF_DATA, 64, tavix_global_options.buffer_limit, false);
        tavix_buffer_put_data(b, "{\"mine\":1}", 10);
        *response = tavix_engine_construct_json_response(b);
        return 1;
    });
    const std::string post = std::string("POST /tavIX/?mine HTTP/1.0\r\n") + kBasicOp + "Content-Length: 3\r\n\r\na=1";
    EXPECT_EQ(Exchange(std::string("GET /mine HTTP/1.0\r\n") + kBasicOp + "\r\n"),
              std::make_pair(JsonHeader(10), std::string("{\"mine\":1}")));
    EXPECT_EQ(Exchange(post), std::make_pair(JsonHeader(10), std::string("{\"mine\":1}")));
    // The kept request is the hook's: still whole, not given back to the pool.
    ASSERT_NE(kept, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(kept->data), 28), "POST /tavIX/?mine HTTP/1.0\r\n");
    tavix_buffer_return(kept);
    // An URL the hook leaves goes on to the server: no such file.
    EXPECT_EQ(Exchange(std::string("GET /other.htm HTTP/1.0\r\n") + kBasicOp + "\r\n").first.substr(0, 24),
              "HTTP/1.0 404 Not Found\r\n");
    EXPECT_EQ(calls, (std::vector<std::string>{"GET /mine op", "POST /tavIX/?mine op", "GET /other.htm op"}));
}

TEST_F(WebAnswers, ALongUrlIsCheckedForAccessFirstAndReachesTheHooksWhole) {
    tavix_engine_hooks.access = tavix_auth_engine_access;
    tavix_engine_hooks.utc_now = Clock1994;
    tavix_options_set_auth_options(1, "tavIX");
    tavix_server_set_auth_callbacks(nullptr, DigestOfOp, nullptr, nullptr);
    const std::string query = "?v=" + std::string(400, 'q');
    // Without credentials: the access check answers, not the path's length.
    EXPECT_EQ(Exchange("GET /index.htm" + query + " HTTP/1.0\r\n\r\n").first.substr(0, 37),
              "HTTP/1.0 401 Authorization Required\r\n");
    static std::vector<std::string> seen;
    seen.clear();
    tavix_server_set_request_hook_callback([](const char *method, const char *url, tavix_connection *, tavix_buffer *,
                                              tavix_buffer **response, bool *, const char *) {
        seen.push_back(std::string(method) + " " + url);
        tavix_buffer *b = tavix_buffer_get(TAVIX_BUF_DATA, 64, tavix_global_options.buffer_limit, false);
        tavix_buffer_put_data(b, "{\"mine\":1}", 10);
        *response = tavix_engine_construct_json_response(b);
        return 1;
    });
    EXPECT_EQ(Exchange("GET /mine" + query + " HTTP/1.0\r\n" + kBasicOp + "\r\n").second, "{\"mine\":1}");
    EXPECT_EQ(
        Exchange("POST /tavIX/?mine&" + query.substr(1) + " HTTP/1.0\r\n" + kBasicOp + "Content-Length: 0\r\n\r\n")
            .second,
        "{\"mine\":1}");
    EXPECT_EQ(seen, (std::vector<std::string>{"GET /mine" + query, "POST /tavIX/?mine&" + query.substr(1)}));
}

TEST_F(WebAnswers, AUrlOfUpTo65535BytesIsTakenAndARelativeOneIsForbidden) {
    tavix_engine_hooks.utc_now = Clock1994;
    auto status = [](const std::string &req) {
        const std::string h = Exchange(req).first;
        return h.substr(0, h.find("\r\n"));
    };
    // 65,535 bytes of URL, then its blank: no such file. One byte more: 414.
    EXPECT_EQ(status("GET /" + std::string(65534, 'a') + " HTTP/1.0\r\n\r\n"), "HTTP/1.0 404 Not Found");
    EXPECT_EQ(status("GET /" + std::string(65535, 'a') + " HTTP/1.0\r\n\r\n"), "HTTP/1.0 414 Request-URL Too Long");
    EXPECT_EQ(status("GET x.htm HTTP/1.0\r\n\r\n"), "HTTP/1.0 403 Forbidden - is not an absolute path");
    EXPECT_EQ(status("GET %2Fx.htm/..%2F..%2Fy HTTP/1.0\r\n\r\n"), "HTTP/1.0 403 Forbidden - no .. allowed");
}

// The request line's refusals, each with its page: a method named in its page
// with its five HTML characters escaped, a method token too short or without
// a blank in its first 16 bytes, a full request whose URL no blank ends; a
// method is known by its first bytes alone.
TEST_F(WebAnswers, EachRefusalOfTheRequestLineAnswersItsStatusAndPage) {
    tavix_engine_hooks.utc_now = Clock1994;
    auto header = [](const char *status, std::size_t length) {
        return std::string("HTTP/1.0 ") + status +
               "\r\nServer: TavIX SDK/0.9.0\r\nDate: Sun, 06 Nov 1994 08:49:37 GMT\r\nContent-Length: " +
               std::to_string(length) + "\r\nContent-Type: text/html; charset=utf-8\r\n\r\n";
    };
    EXPECT_EQ(Exchange("X\"&'<>Y /x HTTP/1.0\r\n\r\n"),
              std::make_pair(header("500 Invalid method", 162),
                             std::string("<!DOCTYPE html><html><head><title>500 Invalid method</title></head><body>"
                                         "<h1>Invalid method</h1><p>Requested Entity: X&quot;&amp;&apos;&lt;&gt;Y"
                                         "</p></body></html>")));
    const std::string unrecognised =
        "<!DOCTYPE html><html><head><title>500 No recognizable method found in request</title></head><body><h1>No "
        "recognizable method found in request</h1><p>Requested Entity: </p></body></html>";
    for (const char *line : {"GE /x HTTP/1.0\r\n\r\n", "ABCDEFGHIJKLMNOP /x HTTP/1.0\r\n\r\n"})
        EXPECT_EQ(Exchange(line),
                  std::make_pair(header("500 No recognizable method found in request", 185), unrecognised))
            << line;
    EXPECT_EQ(Exchange("POST /tavIX/?info\r\n\r\n"),
              std::make_pair(header("414 Request-URL Too Long", 151),
                             std::string("<!DOCTYPE html><html><head><title>414 Request-URL Too Long</title></head>"
                                         "<body><h1>Request-URL Too Long</h1><p>Requested Entity: POST</p></body>"
                                         "</html>")));
    // GETX is GET and HEADY is HEAD: no such file, the page or its header alone.
    EXPECT_EQ(Exchange("GETX /none.htm HTTP/1.0\r\n\r\n"),
              std::make_pair(header("404 Not Found", 134),
                             std::string("<!DOCTYPE html><html><head><title>404 Not Found</title></head><body><h1>Not "
                                         "Found</h1><p>Requested Entity: /none.htm</p></body></html>")));
    EXPECT_EQ(Exchange("HEADY /none.htm HTTP/1.0\r\n\r\n").first,
              "HTTP/1.0 404 Not Found\r\nServer: TavIX SDK/0.9.0\r\nDate: Sun, 06 Nov 1994 08:49:37 GMT\r\n\r\n");
}

// A session holds up to its frame limit; the "longpoll" field turns long
// polling off with "false" in any letter case or "0", and nothing else.
TEST_F(WebAnswers, FramesUpToTheLimitAndLongPollOffByFalseOrZero) {
    Open(2);
    tavix_global_options.max_frames = 2;
    EXPECT_EQ(Post("createsubscription"), "{\"subscriptionid\":\"1\"}");
    EXPECT_EQ(Post("createsubscription"), "{\"subscriptionid\":\"2\"}");
    EXPECT_EQ(Post("createsubscription"),
              "{\"error\":463,\"errorstring\":\"Too many subscription frames in a session\"}");
    tavix_global_options.max_frames = 16;
    for (const char *off : {"longpoll=FALSE", "longpoll=False", "longpoll=0"})
        EXPECT_EQ(Post("publish", off), kNone) << off;
    for (const char *on : {"longpoll=no", "longpoll=00", "longpoll=true", ""})
        EXPECT_EQ(Post("publish", on), "(no answer)") << on;
    EXPECT_EQ(s->parked, nullptr);  // each waiting record was let go at its free call
}

// A POST without Content-Length ends at its header, and what arrived behind
// the header with it is its body: "longpoll=false" turns the poll off, so
// the answer comes at once instead of the poll waiting. A GET has no body:
// a request behind it stays a request (two in one write both answered).
TEST_F(WebAnswers, APostWithoutContentLengthTakesTheRestReceivedAsItsBody) {
    tavix_engine_hooks.utc_now = Clock1994;
    Open(2);
    EXPECT_EQ(Post("createsubscription"), "{\"subscriptionid\":\"1\"}");
    std::string req = Request("publish", "longpoll=false");
    const std::size_t cl = req.find("Content-Length: 14\r\n");
    ASSERT_NE(cl, std::string::npos);
    req.erase(cl, 20);
    EXPECT_EQ(req.substr(req.size() - 18), "\r\n\r\nlongpoll=false");
    EXPECT_EQ(Exchange(req), std::make_pair(JsonHeader(27), std::string(kNone)));
    EXPECT_EQ(s->parked, nullptr);
}

// The 401 challenge of each login method that has one, byte for byte; a
// login method without one sends 500 instead.
TEST_F(WebAnswers, EachLoginMethodsChallengeAndA500WithoutOne) {
    tavix_engine_hooks.utc_now = Clock1994;
    auto whole = [](tavix_buffer *b) {
        std::string out;
        const uint8_t *piece = nullptr;
        for (long n; b != nullptr && (n = tavix_buffer_get_data(b, &piece, nullptr, 0, nullptr, 0)) > 0;) {
            out.append(reinterpret_cast<const char *>(piece), std::size_t(n));
            tavix_buffer_get_advance(b, uint32_t(n));
        }
        tavix_buffer_return(b);
        return out;
    };
    const std::string head =
        "HTTP/1.0 401 Authorization Required\r\nServer: TavIX SDK/0.9.0\r\n"
        "Date: Sun, 06 Nov 1994 08:49:37 GMT\r\n";
    const std::string tail =
        "Content-Length: 126\r\nContent-Type: text/html; charset=utf-8\r\n\r\n<!DOCTYPE html><html><head>"
        "<title>401 Authorization Required</title></head><body><h1>Authorization required</h1></body></html>";
    ASSERT_EQ(tail.size(), 189u);
    tavix_options_set_auth_options(1, "plant");
    EXPECT_EQ(whole(tavix_auth_generate_401_response(false, ", x=\"1\"")),
              head + "WWW-Authenticate: Basic realm=\"plant\"\r\n" + tail);
    tavix_options_set_auth_options(3, "plant");
    EXPECT_EQ(whole(tavix_auth_generate_401_response(false, ", x=\"1\"")),
              head + "WWW-Authenticate: Negotiate, x=\"1\"\r\n" + tail);
    tavix_options_set_auth_options(4, "plant");
    EXPECT_EQ(whole(tavix_auth_generate_401_response(true, nullptr)),
              head + "Connection: Keep-Alive\r\nWWW-Authenticate: NTLM\r\n" + tail);
    // A login method with no challenge: the 500 status line and the common
    // fields, no WWW-Authenticate line, and the same 189-byte tail.
    const std::string internal =
        "HTTP/1.0 500 Internal error - HTTP auth needed and not supported\r\nServer: TavIX SDK/0.9.0\r\n"
        "Date: Sun, 06 Nov 1994 08:49:37 GMT\r\n";
    tavix_options_set_auth_options(5, "plant");
    EXPECT_EQ(whole(tavix_auth_generate_401_response(false, nullptr)), internal + tail);
    tavix_options_set_auth_options(0, "plant");
    EXPECT_EQ(whole(tavix_auth_generate_401_response(true, ", x=\"1\"")),
              internal + "Connection: Keep-Alive\r\n" + tail);
    // A page asked without credentials: GET gets the challenge page, HEAD
    // the same header fields, Content-Length included, and no body.
    tavix_engine_hooks.access = tavix_auth_engine_access;
    tavix_options_set_auth_options(1, "plant");
    const std::string basic = head + "WWW-Authenticate: Basic realm=\"plant\"\r\n";
    EXPECT_EQ(Exchange("GET /x.htm HTTP/1.0\r\n\r\n"), std::make_pair(basic + tail, std::string()));
    EXPECT_EQ(Exchange("HEAD /x.htm HTTP/1.0\r\n\r\n"),
              std::make_pair(basic + tail.substr(0, tail.size() - 126), std::string()));
    // Form login with an access callback that asks for credentials: the
    // 500 in place of the challenge, its page left off for HEAD.
    tavix_options_set_auth_options(5, "plant");
    tavix_auth_callbacks.access = [](const char *, const char *, void *, const tavix_identity *, int *code) {
        *code = 401;
        return 0;
    };
    EXPECT_EQ(Exchange("GET /x.htm HTTP/1.0\r\n\r\n"), std::make_pair(internal + tail, std::string()));
    EXPECT_EQ(Exchange("HEAD /x.htm HTTP/1.0\r\n\r\n"),
              std::make_pair(internal + tail.substr(0, tail.size() - 126), std::string()));
    tavix_auth_callbacks.access = nullptr;
}

// With an HTTP login, a browser that creates a subscription is recorded as
// logged in (ESR17 bit 4 set); deleting its session, or the session's
// expiry, takes the record out again (the bit cleared with the last).
TEST_F(WebAnswers, ASubscriptionRecordsTheHttpUserAndTheSessionsEndTakesTheRecordOut) {
    tavix_engine_hooks.utc_now = Clock1994;
    tavix_session_table.login = tavix_add_user_login_details;
    tavix_session_table.logout = tavix_delete_user_login_details;
    tavix_clear_user_login_details();
    plc_reg.fill(0);
    // ESR17 bit 4: the %ESR window starts at image byte 108544, word 17 is
    // its bytes 32 and 33, bit 4 the mask 0x08 of byte 32.
    auto bit4 = [] { return plc_reg[108544 + 32] & 0x08; };
    std::snprintf(tavix_auth_current.user, sizeof tavix_auth_current.user, "%s", "op");
    Open(2);
    EXPECT_EQ(Post("createsubscription"), "{\"subscriptionid\":\"1\"}");
    ASSERT_EQ(user_details_list.count, 1);
    EXPECT_EQ(std::make_tuple(user_details_list.entries[0].time, user_details_list.entries[0].session,
                              std::string(user_details_list.entries[0].name)),
              std::make_tuple(784111777u, 1u, std::string("op")));
    EXPECT_EQ(bit4(), 0x08);
    EXPECT_EQ(Post("deletesession"), "{}");
    EXPECT_EQ(user_details_list.count, 0);
    EXPECT_EQ(bit4(), 0);
    // A second session, ended by its expiry.
    int code = 0;
    ASSERT_EQ(tavix_engine_session_create(0, nullptr, "k1", false, "tavIX", "op", nullptr, false, &s, &code), 0);
    EXPECT_STREQ(s->id, "00000002");
    EXPECT_EQ(Post("createsubscription"), "{\"subscriptionid\":\"2\"}");  // frame ids count on across sessions
    EXPECT_EQ(user_details_list.count, 1);
    EXPECT_EQ(user_details_list.entries[0].session, 2u);
    EXPECT_EQ(bit4(), 0x08);
    s->aborted = 1;
    tavix_engine_session_delete_expired(s->last_access, nullptr);
    s = nullptr;
    EXPECT_EQ(user_details_list.count, 0);
    EXPECT_EQ(bit4(), 0);
    tavix_session_table.login = nullptr;
    tavix_session_table.logout = nullptr;
    tavix_auth_current = tavix_identity{};
}

TEST_F(WebAnswers, ARequestInAReusedBufferEndsWithANulBehindItsBytes) {
    // A buffer given back full of other bytes keeps them (it is not cleared):
    // the next request taken into it still ends with a NUL, which the readers
    // of its header values (the Authorization line's length) stop at.
    tavix_buffer *used = tavix_buffer_get(TAVIX_BUF_DATA, 256, 4096, false);
    ASSERT_NE(used, nullptr);
    std::memset(used->data, 'Z', used->capacity);
    used->length = used->capacity;
    tavix_buffer_return(used);
    static tavix_buffer *reused = nullptr;
    static std::string text;
    static int after = -1;
    reused = used;
    tavix_server_set_request_hook_callback([](const char *, const char *, tavix_connection *, tavix_buffer *request,
                                              tavix_buffer **response, bool *, const char *) {
        if (request != reused) return 0;
        text.assign(reinterpret_cast<const char *>(request->data), request->length);
        after = request->data[request->length];
        tavix_buffer *b = tavix_buffer_get(TAVIX_BUF_DATA, 64, tavix_global_options.buffer_limit, false);
        tavix_buffer_put_data(b, "{\"mine\":1}", 10);
        *response = tavix_engine_construct_json_response(b);
        return 1;
    });
    const std::string get = std::string("GET /mine HTTP/1.0\r\n") + kBasicOp + "\r\n";
    EXPECT_EQ(Exchange(get).second, "{\"mine\":1}");
    EXPECT_EQ(text, "GET /mine HTTP/1.0\r\nAuthorization: Basic b3A6cHc=\r\n\r\n");
    EXPECT_EQ(after, 0);
}

TEST_F(WebAnswers, TheResponseHookSeesEachAnswerAsItGoesOut) {
    tavix_engine_hooks.utc_now = Clock1994;
    tavix_server_set_response_hook_callback(
        [](const char *method, const char *url, tavix_connection *, tavix_buffer *response) {
            const uint8_t *piece = nullptr;
            const long n = response != nullptr ? tavix_buffer_get_data(response, &piece, nullptr, 0, nullptr, 0) : -1;
            calls.push_back(std::string(method) + " " + url + " " +
                            (n > 0 ? std::string(reinterpret_cast<const char *>(piece), std::size_t(n)) : "-"));
        });
    const auto read = Exchange("POST /tavIX/?read HTTP/1.0\r\nContent-Length: 11\r\n\r\naddress[]=A");
    const auto missing = Exchange("HEAD /none.htm HTTP/1.0\r\n\r\n");
    EXPECT_EQ(read,
              std::make_pair(JsonHeader(48), std::string("{\"error\":454,\"errorstring\":\"X-TavIX is missing\"}")));
    EXPECT_EQ(missing.first,
              "HTTP/1.0 404 Not Found\r\nServer: TavIX SDK/0.9.0\r\n"
              "Date: Sun, 06 Nov 1994 08:49:37 GMT\r\n\r\n");
    EXPECT_EQ(calls, (std::vector<std::string>{"POST /tavIX/?read " + read.first, "HEAD /none.htm " + missing.first}));
}

TEST_F(WebAnswers, FailuresGoToTheLoggingCallbackAndEveryTickToTheIdleCallback) {
    tavix_engine_hooks.utc_now = Clock1994;
    static std::vector<std::string> logged;
    tavix_server_set_error_logging_cb([](const char *t) { logged.emplace_back(t); });
    EXPECT_EQ(Exchange("POST /tavIX/?read HTTP/1.0\r\nContent-Length: -1\r\n\r\n").first, "(no answer)");
    EXPECT_EQ(logged, std::vector<std::string>{"Content-Length negative or too large"});
    // One byte above the request limit of 131,072 is refused the same way;
    // leading zeros are no part of a length's size: 00000000003 is 3.
    EXPECT_EQ(Exchange("POST /tavIX/?read HTTP/1.0\r\nContent-Length: 131073\r\n\r\n").first, "(no answer)");
    EXPECT_EQ(logged.size(), 2u);
    EXPECT_EQ(Exchange("POST /tavIX/?read HTTP/1.0\r\nContent-Length: 00000000003\r\n\r\na=1"),
              std::make_pair(std::string("HTTP/1.0 200 OK\r\nServer: TavIX SDK/0.9.0\r\nDate: Sun, 06 Nov 1994 "
                                         "08:49:37 GMT\r\nCache-Control: no-cache\r\nContent-Length: 48\r\n"
                                         "Content-Type: application/json\r\n\r\n"),
                             std::string("{\"error\":454,\"errorstring\":\"X-TavIX is missing\"}")));
    EXPECT_EQ(logged.size(), 2u);
    // Only a header line of that name gives the length: the name inside the
    // URL or inside another field is no length of this request.
    EXPECT_EQ(Exchange("GET /find?q=content-length:x HTTP/1.0\r\nX-Content-Length: 99999999999\r\n"
                       "X-Note: content-length: -1\r\n\r\n")
                  .first.substr(0, 24),
              "HTTP/1.0 404 Not Found\r\n");
    EXPECT_EQ(
        Exchange("POST /tavIX/?read HTTP/1.0\r\nReferer: /?content-length:9\r\ncontent-length: 3\r\n\r\na=1").second,
        "{\"error\":454,\"errorstring\":\"X-TavIX is missing\"}");
    EXPECT_EQ(logged.size(), 2u);
    tavix_server_set_error_logging_cb(nullptr);
    EXPECT_EQ(tavix_global_options.error_cb, tavix_options_stderr_error_cb);

    // The dispatcher ticks after its third idle cycle; the server time is
    // moved 1000 half-seconds on.
    static std::vector<uint64_t> ticks;
    tavix_server_set_idle_cb([](uint64_t now) { ticks.push_back(now); });
    tavix_comm_set_cb(tavix_engine_receive_comm_data, tavix_server_connection_dropped, tavix_server_session_tick);
    test_support::WebClock clock;
    tavix_timer_start_imp(&tavix_comm_state.timer);
    test_support::WebClock::Advance(1000);
    tavix_comm_mainloop_accept_conn();
    tavix_comm_mainloop_accept_conn();
    EXPECT_TRUE(ticks.empty());
    tavix_comm_mainloop_accept_conn();
    EXPECT_EQ(ticks, std::vector<uint64_t>{1000});
    tavix_server_set_idle_cb(nullptr);
    for (int i = 0; i < 3; i++) tavix_comm_mainloop_accept_conn();
    EXPECT_EQ(ticks.size(), 1u);
    tavix_comm_set_cb(nullptr, nullptr, nullptr);
}

TEST_F(WebAnswers, ARefusedAlarmSubscriptionLeavesTheControllersDataItemAsItWas) {
    Open(2);
    Controller();
    SetR(5, 7);
    EXPECT_EQ(Post("createsubscription"), "{\"subscriptionid\":\"1\"}");
    EXPECT_EQ(Post("subscribedata", "subscriptionid=1&address[]=R_5_1_INT16"), kOk);
    // A data item and an alarm item of one address in one frame: the second is refused.
    const std::string twice =
        "{\"result\":[{\"error\":465,\"errorstring\":\"Subscribed data item already subscribed "
        "in this frame\"}]}";
    EXPECT_EQ(Post("subscribealarm", "subscriptionid=1&address[]=R_5_1_INT16"), twice);
    // Still the data item it was: its latest value published, its unsubscribe as data.
    SetR(5, 8);
    UpdateAll();
    EXPECT_EQ(Publish(), Published({Change("\"1\"", "R_5_1_INT16", "8")}));
    EXPECT_EQ(Post("unsubscribedata", "subscriptionid=1&address[]=R_5_1_INT16"), kOk);
    EXPECT_EQ(variable_pointer_list.count, 0u);

    // Refused again, then the frame deleted: the controller lets the address go with it.
    EXPECT_EQ(Post("subscribedata", "subscriptionid=1&address[]=R_5_1_INT16"), kOk);
    EXPECT_EQ(Post("subscribealarm", "subscriptionid=1&address[]=R_5_1_INT16"), twice);
    const tavix_item *r5 = tavix_engine_subscription_item_get("R_5_1_INT16", false);
    ASSERT_NE(r5, nullptr);
    EXPECT_EQ(Post("deletesubscription", "subscriptionid=1"), "{}");
    EXPECT_EQ(variable_pointer_list.count, 0u);
    // The next address takes the recycled item and never hears of %R5.
    EXPECT_EQ(Post("createsubscription"), "{\"subscriptionid\":\"2\"}");
    EXPECT_EQ(Post("subscribedata", "subscriptionid=2&address[]=R_9_1_INT16"), kOk);
    EXPECT_EQ(tavix_engine_subscription_item_get("R_9_1_INT16", false), r5);
    EXPECT_EQ(Publish(), Published({Change("\"2\"", "R_9_1_INT16", "0")}));
    SetR(5, 42);
    UpdateAll();
    EXPECT_EQ(Publish(), kNone);

    // An alarm subscription of an address another frame holds as data gets the
    // data item, answered by a read; its last frame lets it go as data.
    EXPECT_EQ(Post("createsubscription"), "{\"subscriptionid\":\"3\"}");
    EXPECT_EQ(Post("subscribealarm", "subscriptionid=3&address[]=R_9_1_INT16"), kOk);
    EXPECT_EQ(Publish(), Published({Change("\"2\",\"3\"", "R_9_1_INT16", "0")}));
    EXPECT_EQ(Post("deletesubscription", "subscriptionid=2"), "{}");
    EXPECT_EQ(variable_pointer_list.count, 1u);
    EXPECT_EQ(Post("deletesubscription", "subscriptionid=3"), "{}");
    EXPECT_EQ(variable_pointer_list.count, 0u);
}

TEST_F(WebAnswers, EachChangeOfAControllerItemIsPublishedOnceAndNoneAfterItsUnsubscribe) {
    Open(2);
    Controller();
    SetR(5, 3);
    EXPECT_EQ(Post("createsubscription"), "{\"subscriptionid\":\"1\"}");
    // A long address: its item is freed, not kept for reuse, when it goes;
    // the value it was subscribed with goes with it.
    const std::string longer = "R_" + std::string(130, '0') + "5_1_INT16";
    EXPECT_EQ(Post("subscribedata", "subscriptionid=1&address[]=" + longer), kOk);
    EXPECT_EQ(Post("unsubscribedata", "subscriptionid=1&address[]=" + longer), kOk);
    EXPECT_EQ(tavix_subscription_map.recycled_count, 0u);
    EXPECT_EQ(Publish(), kNone);

    // Two writes between publishes: the item's latest value only.
    EXPECT_EQ(Post("subscribedata", "subscriptionid=1&address[]=R_5_1_INT16"), kOk);
    EXPECT_EQ(Post("write", "address[]=R_5_1_INT16&value[]=1"), kOk);
    EXPECT_EQ(Post("write", "address[]=R_5_1_INT16&value[]=2"), kOk);
    EXPECT_EQ(Publish(), Published({Change("\"1\"", "R_5_1_INT16", "2")}));
    // A read that finds a change: the subscribers hear of it too.
    SetR(5, 42);
    EXPECT_EQ(Post("read", "address[]=R_5_1_INT16"),
              "{\"result\":[{\"value\":42,\"timestamp\":1709251200000,"
              "\"error\":0}]}");
    EXPECT_EQ(Publish(), Published({Change("\"1\"", "R_5_1_INT16", "42")}));
    UpdateAll();
    EXPECT_EQ(Publish(), kNone);
}

TEST_F(WebAnswers, AParkedPollIsAnsweredByTheNextPollOrAtHalfItsTimeoutAndGivesItsBodyBackWithoutMemory) {
    Open(2);
    static std::vector<std::string> logged;
    tavix_global_options.error_cb = [](const char *t) { logged.emplace_back(t); };
    tavix_connection &a = tavix_comm_state.conns[0], &b = tavix_comm_state.conns[1];
    // Two polls of one session with nothing queued: the second answers the first.
    EXPECT_EQ(Start(a, "publish"), 4);
    EXPECT_EQ(Start(b, "publish"), 4);
    EXPECT_EQ(Sent(a), kNone);
    // The session's timeout is 60 units: a poll waits 30.
    tavix_engine_session_tick(s->parked_time + 29);
    EXPECT_EQ(Sent(b), "(nothing)");
    tavix_engine_session_tick(s->parked_time + 30);
    EXPECT_EQ(Sent(b), kNone);

    // No buffer for the answer: the parked body goes back to the pool. A poll
    // takes it again and waits; only the tick tears the session down.
    EXPECT_EQ(Start(a, "publish"), 4);
    tavix_buffer *body = s->parked;
    tavix_buffer_free_all();
    tavix_global_options.buffer_limit = 100;
    EXPECT_EQ(Start(b, "publish"), 4);
    EXPECT_EQ(Sent(a), "(nothing)");
    EXPECT_EQ(s->parked, body);
    EXPECT_EQ(s->aborted, 0u);
    const std::string overflow = "Buffer overflow - max size 100, wants 1024";
    EXPECT_EQ(logged, std::vector<std::string>{overflow});
    tavix_buffer_free_all();
    tavix_engine_session_tick(s->parked_time + 30);
    EXPECT_EQ(tavix_buffer_pool.head, body);
    EXPECT_EQ(s->parked, nullptr);
    EXPECT_EQ(s->aborted, 1u);
    EXPECT_EQ(logged, (std::vector<std::string>{overflow, overflow,
                                                "Got no buffer for session 00000001 longpoll "
                                                "answer"}));
    // The torn-down session's waiting poll is answered 466 before the session goes.
    tavix_global_options.buffer_limit = 8388608;
    const auto timeouts =
        std::make_pair(tavix_session_table.connection_timeout, tavix_session_table.inactivity_timeout);
    tavix_session_table.connection_timeout = 60;
    tavix_session_table.inactivity_timeout = 300;
    EXPECT_EQ(Start(a, "publish"), 4);
    tavix_server_session_tick(s->parked_time + 1);
    std::tie(tavix_session_table.connection_timeout, tavix_session_table.inactivity_timeout) = timeouts;
    EXPECT_EQ(tavix_session_table.count, 0u);
    EXPECT_EQ(Sent(a),
              "{\"error\":466,\"errorstring\":\"Session was aborted while waiting for data (queue overflow, expiry, "
              "other reasons)\"}");
    EXPECT_EQ(a.session, nullptr);
    EXPECT_EQ(logged.back(), "Tearing session 00000001 down");
    s = nullptr;
    tavix_engine_raw_handler_free_dispatcher(&a);
    tavix_engine_raw_handler_free_dispatcher(&b);
}

TEST_F(WebAnswers, AParkedPollNeverAnswersOntoARecordThatWasFreedOrTakenByAnotherConnection) {
    Open(2);
    tavix_connection &a = tavix_comm_state.conns[0], &b = tavix_comm_state.conns[1];
    // The host frees the record of a waiting poll and hands it the next
    // request: the session's next poll does not answer onto it.
    EXPECT_EQ(Start(a, "publish"), 4);
    tavix_engine_raw_handler_free_dispatcher(&a);
    const std::string other = "GET /missing HTTP/1.0\r\n";
    ASSERT_EQ(
        tavix_engine_raw_handler_init_dispatcher(&a, reinterpret_cast<const uint8_t *>(other.data()), other.size()), 0);
    EXPECT_EQ(Start(b, "publish"), 4);
    EXPECT_EQ(Sent(a), "(nothing)");
    tavix_engine_raw_handler_free_dispatcher(&a);
    // A record the host gives back to its heap: the next poll reads nothing of it.
    auto *gone = new tavix_connection{};
    tavix_engine_raw_handler_free_dispatcher(&b);
    EXPECT_EQ(Start(*gone, "publish"), 4);
    tavix_engine_raw_handler_free_dispatcher(gone);
    delete gone;
    EXPECT_EQ(Start(b, "publish"), 4);
    EXPECT_EQ(s->parked_conn, &b);

    // A dispatcher connection that ends without the dropped callback (a TLS
    // stream cut without a close notice) and whose record a new connection
    // takes: neither the next poll's answer nor the teardown's 466 reaches it.
    tavix_engine_raw_handler_free_dispatcher(&b);
    EXPECT_EQ(Start(a, "publish"), 4);
    a.silent_drop = 1;
    tavix_comm_drop_connection(&a);
    ASSERT_EQ(tavix_comm_take_record(), &a);
    EXPECT_EQ(Start(b, "publish"), 4);
    EXPECT_EQ(Sent(a), "(nothing)");
    a.silent_drop = 1;
    tavix_comm_drop_connection(&a);
    ASSERT_EQ(tavix_comm_take_record(), &a);
    // b now waits; b goes silently too, and a new connection takes its record.
    b.silent_drop = 1;
    tavix_comm_drop_connection(&b);
    ASSERT_EQ(tavix_comm_take_record(), &b);
    s->aborted = 1;
    tavix_session_table.last_expiry = s->parked_time;  // the pass runs at the next unit whatever ran before
    tavix_server_session_tick(s->parked_time + 1);
    EXPECT_EQ(tavix_session_table.count, 0u);
    EXPECT_EQ(Sent(b), "(nothing)");
    s = nullptr;
    for (tavix_connection *k : {&a, &b}) {
        k->silent_drop = 1;
        tavix_comm_drop_connection(k);
    }
}

TEST_F(WebAnswers, ControllerWritesConvertEachTypeAndNoteTheLastLocalUser) {
    Open(2);
    Controller();
    SetR(30, 8);
    const char *const names[] = {"R_10_1_UINT16", "R_11_1_UINT32", "R_13_1_FLOAT32", "R_15_1_LREAL64", "R_20_1_TIME",
                                 "R_30_1_BOOL",   "R_30_2_BOOL",   "R_30_3_BOOL",    "R_30_4_BOOL",    "SR_1_1_UINT16"};
    const char *const values[] = {"65535", "4000000000", "1.5", "-2.25", "1000", "T", "t", "1", "false", "77"};
    EXPECT_EQ(Post("createsubscription"), "{\"subscriptionid\":\"1\"}");
    std::string subscribe = "subscriptionid=1", write, ok = "{\"result\":[";
    for (int i = 0; i < 10; i++) {
        subscribe += std::string("&address[]=") + names[i];
        write += std::string(i ? "&" : "") + "address[]=" + names[i] + "&value[]=" + values[i];
        ok += i ? ",{\"error\":0}" : "{\"error\":0}";
    }
    ok += "]}";
    EXPECT_EQ(Post("subscribedata", subscribe), ok);
    // %SR1 takes only 0: the register refuses 77, so that write is answered
    // as refused and its subscriber keeps the value the register holds, while
    // 77 is still noted as the last local user.
    const std::string refused =
        ok.substr(0, ok.rfind("{\"error\":0}")) + "{\"error\":301,\"errorstring\":\"Address not found\"}]}";
    EXPECT_EQ(Post("write", write), refused);
    // The register words as each type lays them out, little-endian.
    const std::vector<uint16_t> words{GetR(10), GetR(11), GetR(12), GetR(13), GetR(14), GetR(15), GetR(16),
                                      GetR(17), GetR(18), GetR(20), GetR(21), GetR(22), GetR(30)};
    EXPECT_EQ(words, (std::vector<uint16_t>{0xFFFF, 0x2800, 0xEE6B, 0x0000, 0x3FC0, 0, 0, 0, 0xC002, 1000, 0, 0, 7}));
    EXPECT_EQ(SYS_lastLocalUser, 77);
    EXPECT_EQ(Publish(),
              Published({Change("\"1\"", "R_10_1_UINT16", "65535"), Change("\"1\"", "R_11_1_UINT32", "4000000000"),
                         Change("\"1\"", "R_13_1_FLOAT32", "1.5"), Change("\"1\"", "R_15_1_LREAL64", "-2.25"),
                         Change("\"1\"", "R_20_1_TIME", "1000"), Change("\"1\"", "R_30_1_BOOL", "true"),
                         Change("\"1\"", "R_30_2_BOOL", "true"), Change("\"1\"", "R_30_3_BOOL", "true"),
                         Change("\"1\"", "R_30_4_BOOL", "false"), Change("\"1\"", "SR_1_1_UINT16", "0")}));
}
