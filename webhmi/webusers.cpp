// The controller's callbacks for the web HMI server.
#include "webhmi/webusers.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "core/image/bytes.h"
#include "core/image/plcreg.h"
#include "core/image/util.h"
#include "platform/plat.h"
#include "tavIXsdk/tavixsdk/tavix_engine.h"
#include "tavIXsdk/tavixsdk/tavix_subs.h"
#include "tavIXsdk/tavixsdk/tavix_util.h"

WebUserTable user_access_rights_list;
uint16_t *web_last_local_user;
const char *const access_levels[8] = {"Right0", "Right1", "Right2", "Right3", "Right4", "Right5", "Right6", "Right7"};
WebLoginList user_details_list;
std::atomic<uint8_t> login_flag;
uint8_t TavixLoginStatus;
char Tavix_LoggedUsers[256][16];
std::atomic<uint32_t> tavix_LoggedUsers{0};

namespace {

bool Oem() { return crc_header[3] == 128; }

const char *ConfigFile(const char *name, char *out, std::size_t size) {
    char abs[128];
    std::snprintf(abs, sizeof abs, "/mnt/USB0/%s/config/%s", Oem() ? "oemHMI" : "tavIX", name);
    return PLAT_Path(abs, out, size) != nullptr ? out : nullptr;
}

void WriteLoginStatus(uint8_t v) {
    TavixLoginStatus = v;
    PlcReg_SetGuarded(Tavix_login_status_token, &TavixLoginStatus, 1);
}

// The spin byte guarding the login records: taken in one atomic exchange.
void Take() {
    while (login_flag.exchange(1) != 0) usleep(100);
}
void Give() {
    tavix_LoggedUsers = user_details_list.count;
    login_flag = 0;
}

// The number behind a five-character word ("Right3" gives 3); -1 when none.
long RightNumber(const char *field) {
    if (std::strlen(field) < 6) return -1;
    char *end = nullptr;
    const long v = std::strtol(field + 5, &end, 10);
    return end == field + 5 ? -1 : v;
}

uint32_t NowUtc() {
    uint16_t clock[6];
    // Through the guarded read, as every register this thread reads.
    uint8_t raw[12] = {};
    PlcReg_GetGuarded(raw, SR_ADDR(44), 96);
    for (unsigned i = 0; i < 6; i++) clock[i] = LE_Get16(raw + 2 * i);
    uint8_t stamp[6];
    LoadStamp(stamp, clock);
    return tavix_Conversion_to_UTC_Time_func(stamp);
}

tavix_buffer *Json(const char *text) {
    tavix_buffer *body = tavix_buffer_get(TAVIX_BUF_DATA, 512, 512, false);
    if (body == nullptr) return nullptr;
    tavix_buffer_put_data(body, text, uint32_t(std::strlen(text)));
    return tavix_engine_construct_json_response(body);
}

WebVariable *Lookup(const char *address) {
    const long i = tavix_get_variable_pointer_list_index(address);
    return i < 0 ? nullptr : variable_pointer_list.entries[i].record;
}

}  // namespace

void tavix_acccess_rights_clear() {
    auto &t = user_access_rights_list;
    std::free(t.realm);
    t.realm = nullptr;
    for (uint32_t i = 0; i < t.count; i++) {
        std::free(t.users[i].name);
        std::free(t.users[i].password);
        t.users[i] = WebUser{};
    }
    t.count = 0;
}

void tavix_parse_access_rights(const char *text, std::size_t n) {
    tavix_acccess_rights_clear();
    auto &t = user_access_rights_list;
    const char *end = text + n;
    const char *eol = static_cast<const char *>(std::memchr(text, '\n', n));
    if (eol == nullptr) return;
    std::size_t rl = std::size_t(eol - text);
    if (rl > 0 && text[rl - 1] == '\r') rl--;
    t.realm = strndup(text, rl);
    for (const char *p = eol + 1; end - p >= 4 && t.count < WEB_USERS_MAX;) {
        const char *le = static_cast<const char *>(std::memchr(p, '\n', std::size_t(end - p)));
        const char *line_end = le != nullptr ? le : end;
        std::size_t ll = std::size_t(line_end - p);
        if (ll > 0 && p[ll - 1] == '\r') ll--;
        char line[512];
        if (ll >= sizeof line) break;
        std::memcpy(line, p, ll);
        line[ll] = 0;
        char *save = nullptr;
        char *f[4] = {};
        f[0] = strtok_r(line, ";", &save);
        for (int k = 1; k < 4 && f[k - 1] != nullptr; k++) f[k] = strtok_r(nullptr, ";", &save);
        if (f[3] == nullptr) break;  // a user must have all four fields
        const long third = RightNumber(f[2]), level = RightNumber(f[3]);
        if (third < 0 || level < 0) break;
        WebUser &u = t.users[t.count++];
        u.name = strdup(f[0]);
        u.password = strdup(f[1]);
        u.third = uint8_t(third);
        u.level = uint8_t(level > 7 ? 7 : level);
        if (le == nullptr) break;
        p = le + 1;
    }
}

void tavix_get_acccess_rights() {
    char path[512];
    tavix_acccess_rights_clear();
    if (ConfigFile("security.cfg", path, sizeof path) == nullptr) return;
    // A file that is there but cannot be read is no missing one: with no
    // users nobody logs in, and the console says why.
    const auto unreadable = [&path](int err) {
        std::printf("cannot read %s (%s): no user can log in\n", path, std::strerror(err));
        std::fflush(stdout);
    };
    FILE *f = std::fopen(path, "rb");
    if (f == nullptr) {
        if (errno != ENOENT) unreadable(errno);
        return;
    }
    static char text[65536];
    const std::size_t n = std::fread(text, 1, sizeof text - 1, f);
    const int err = std::ferror(f) ? errno : 0;
    std::fclose(f);
    if (err != 0) return unreadable(err);
    text[n] = 0;
    tavix_parse_access_rights(text, n);
}

int tavix_authentication_digest_cb(const tavix_identity *who, const char *password, char *field, int *status) {
    const auto &t = user_access_rights_list;
    const uint32_t method = tavix_global_options.auth_method;
    if (t.realm != nullptr && std::strcmp(who->realm, t.realm) == 0 && (method == 1 || method == 2)) {
        for (uint32_t i = 0; i < t.count; i++) {
            const WebUser &u = t.users[i];
            if (std::strcmp(u.name, who->user) != 0) continue;
            if (method == 1) {
                char text[4 * TAVIX_NAME_MAX + 140], hex[33];
                const int n = std::snprintf(text, sizeof text, "%s:%s:%s", who->user, who->realm,
                                            password != nullptr ? password : "");
                tavix_md5_hex(text, std::size_t(n), hex);
                if (std::strcmp(hex, u.password) != 0) continue;
            }
            // Handed on whole as far as it can tell: a stored field longer
            // than the 32 digits of an HA1 stays longer (33 characters), so
            // the server refuses it for every login method instead of taking
            // its first 32 digits for a Digest login. The callers' room is 40.
            std::snprintf(field, 34, "%s", u.password);
            *status = 0;
            return 0;
        }
    }
    *status = 405;
    return -1;
}

uint32_t tavix_authentication_user_rights(const tavix_identity *who, const char **rights, uint32_t room) {
    const auto &t = user_access_rights_list;
    for (uint32_t i = 0; i < t.count; i++) {
        const WebUser &u = t.users[i];
        if (std::strcmp(u.name, who->user) != 0 || t.realm == nullptr || std::strcmp(t.realm, who->realm) != 0)
            continue;
        uint32_t n = 0;
        for (uint32_t k = 0; k <= u.level && n + 1 < room; k++) rights[n++] = access_levels[k];
        rights[n] = nullptr;
        return n;
    }
    if (room > 0) rights[0] = nullptr;
    return 0;
}

void tavix_authentication_user_info_cb(void *context, const tavix_identity *who) {
    const char *rights[WEB_RIGHTS + 1] = {};
    if (who != nullptr) tavix_authentication_user_rights(who, rights, WEB_RIGHTS + 1);
    tavix_user_info_return(static_cast<tavix_request *>(context), rights, nullptr, nullptr);
}

int tavix_access_cb(const char *, const char *, void *, const tavix_identity *, int *) { return 1; }

void tavix_add_user_login_details(uint32_t session, const char *name, uint32_t time) {
    Take();
    auto &l = user_details_list;
    bool known = false;
    for (uint8_t i = 0; i < l.count; i++) known = known || l.entries[i].session == session;
    if (l.count < 4 && !known) {
        WebLoginRecord &e = l.entries[l.count++];
        e = WebLoginRecord{};
        e.time = time;
        e.session = session;
        std::snprintf(e.name, sizeof e.name, "%s", name != nullptr ? name : "");
    }
    WriteLoginStatus(1);
    Give();
}

void tavix_delete_user_login_details(uint32_t session) {
    Take();
    auto &l = user_details_list;
    for (uint8_t i = 0; i < l.count; i++) {
        if (l.entries[i].session != session) continue;
        for (uint8_t k = i; k + 1 < l.count; k++) l.entries[k] = l.entries[k + 1];
        l.entries[--l.count] = WebLoginRecord{};
        if (l.count == 0) WriteLoginStatus(0);
        break;
    }
    Give();
}

void tavix_invalidate_all_user_login_details() {
    Take();
    for (auto &e : user_details_list.entries) {
        e.time = e.session = 0;
        std::memset(e.name, 0, sizeof e.name);
    }
    WriteLoginStatus(0);
    Give();
}

void tavix_clear_user_login_details() {
    Take();
    user_details_list = WebLoginList{};
    Give();
}

void tavix_read_update_already_logged_users() {
    std::memset(Tavix_LoggedUsers, 0, sizeof Tavix_LoggedUsers);
    char path[512];
    if (ConfigFile("LoggedIn_users.txt", path, sizeof path) == nullptr) return;
    FILE *f = std::fopen(path, "rb");
    if (f == nullptr) return;
    // Up to 4,096 bytes of the file; the byte after them stays the
    // terminator (the names are cut by length, never read past n).
    char text[4096 + 1] = {};
    const std::size_t n = std::fread(text, 1, sizeof text - 1, f);
    std::fclose(f);
    std::size_t slot = 0;
    for (std::size_t p = 0; p < n && slot < 256;) {
        const char *colon = static_cast<const char *>(std::memchr(text + p, ':', n - p));
        const std::size_t len = colon != nullptr ? std::size_t(colon - (text + p)) : n - p;
        if (len > 0) std::snprintf(Tavix_LoggedUsers[slot++], 16, "%.*s", int(len > 15 ? 15 : len), text + p);
        if (colon == nullptr) break;
        p += len + 1;
    }
}

long tavix_check_already_logged_users(const char *name) {
    for (long i = 0; i < 256 && Tavix_LoggedUsers[i][0] != 0; i++)
        if (std::strncmp(Tavix_LoggedUsers[i], name, 15) == 0) return i;
    return -1;
}

int tavix_update_accepted_license_users(const char *name) {
    if (name == nullptr || name[0] == 0 || tavix_check_already_logged_users(name) >= 0) return 0;
    long slot = 0;
    while (slot < 256 && Tavix_LoggedUsers[slot][0] != 0) slot++;
    if (slot < 256) std::snprintf(Tavix_LoggedUsers[slot], 16, "%.15s", name);
    // Names in the file end at ":": one holding a colon stays in this run's
    // list only (answered as not written, like a file that cannot be
    // opened), for the next start would read it as other users' names.
    if (std::strchr(name, ':') != nullptr) return 0;
    // The file the list is read from at server start.
    char path[512];
    FILE *f = ConfigFile("LoggedIn_users.txt", path, sizeof path) != nullptr ? std::fopen(path, "a+") : nullptr;
    if (f == nullptr) return 0;
    std::fprintf(f, "%s:", name);
    std::fclose(f);
    return 1;
}

int request_hook_callback(const char *method, const char *url, tavix_connection *, tavix_buffer *,
                          tavix_buffer **response, bool *, const char *user) {
    if (std::strncmp(method, "POST", 4) != 0) return 0;
    if (user == nullptr) user = "";
    if (std::strcmp(url, "/tavIX/?Ping") == 0) {
        *response = Json("{\"Result\":\"OK\"}");
        return 1;
    }
    if (std::strcmp(url, "/tavIX/?displayLicenseAgreement") == 0) {
        const bool show = user[0] != 0 && tavix_check_already_logged_users(user) < 0;
        *response = Json(show ? "{\"Result\":\"TRUE\"}" : "{\"Result\":\"FALSE\"}");
        return 1;
    }
    if (std::strcmp(url, "/tavIX/?acceptedLicense") == 0) {
        *response =
            Json(tavix_update_accepted_license_users(user) ? "{\"Result\":\"TRUE\"}" : "{\"Result\":\"FALSE\"}");
        return 1;
    }
    return 0;
}

uint32_t tavix_read_item(const char *address, tavix_data_value *value, tavix_timestamp *stamp) {
    WebVariable *v = address != nullptr && address[0] != 0 ? Lookup(address) : nullptr;
    if (v == nullptr || v->key == nullptr) return 301;
    // A change the read finds is the subscribers' too: it takes the place of
    // the one the automatic update would have found.
    if (tavix_check_updated_variable_value(v)) {
        v->stamp_seconds = NowUtc();
        v->stamp_nanoseconds = 0;
        tavix_data_value changed{};
        tavix_notify_variable(v, &changed);
    }
    tavix_fill_variable_value(v, value);
    *stamp = {v->stamp_seconds, v->stamp_nanoseconds};
    return v->status;
}

uint32_t tavix_write_item(const char *address, const char *text, uint32_t length) {
    if (address == nullptr || address[0] == 0) return 301;
    if (std::strcmp(address, "KeepAliveVar") == 0) return 0;
    WebVariable *v = Lookup(address);
    if (v == nullptr || v->key == nullptr) return 301;
    char value[256];
    const uint32_t vl = length < sizeof value ? length : sizeof value - 1;
    std::memcpy(value, text, vl);
    value[vl] = 0;
    uint8_t out[256] = {};
    uint32_t width = 0;
    // The new value becomes the last value only once the register has taken
    // it; a refused write puts the old one back below.
    const uint64_t kept = v->last.raw;
    switch (v->data_type) {
    case WDT_INT32:
    case WDT_INT16:
    case WDT_INT8: {
        const uint32_t x = uint32_t(std::strtol(value, nullptr, 10));
        LE_Put32(out, x);
        width = RegDataLength[v->data_type];
        v->last.raw = x & (width == 32 ? 0xFFFFFFFFu : (1u << width) - 1);
        break;
    }
    case WDT_UINT32:
    case WDT_UINT16:
    case WDT_UINT8: {
        unsigned x = 0;
        std::sscanf(value, "%u", &x);
        LE_Put32(out, x);
        width = RegDataLength[v->data_type];
        v->last.raw = x & (width == 32 ? 0xFFFFFFFFu : (1u << width) - 1);
        break;
    }
    case WDT_FLOAT32: {
        const float f = float(std::strtod(value, nullptr));
        std::memcpy(out, &f, 4);
        width = 32;
        v->last.raw = 0;
        v->last.f = f;
        break;
    }
    case WDT_LREAL64: {
        const double d = std::strtod(value, nullptr);
        std::memcpy(out, &d, 8);
        width = 64;
        v->last.d = d;
        break;
    }
    case WDT_BOOL:
        out[0] = (value[0] == '1' || value[0] == 'T' || value[0] == 't') ? 1 : 0;
        width = 1;
        v->last.b = out[0];
        break;
    case WDT_TIME: {
        const double d = std::strtod(value, nullptr);
        uint64_t u = d <= 0 || std::isnan(d) ? 0 : d >= 1.8e19 ? UINT64_MAX : uint64_t(d);
        width = v->width;
        // Only the record's width of the count is written (48 bits of a
        // register, 32 of an IEC TIME): the last value is what the
        // register then holds, not the wider count asked for.
        if (width < 64) u &= (uint64_t(1) << width) - 1;
        LE_Put32(out, uint32_t(u));
        LE_Put32(out + 4, uint32_t(u >> 32));
        v->last.d = double(u);
        break;
    }
    case WDT_CHAR:
        for (uint32_t i = 0; i < length; i++) {
            const unsigned char c = static_cast<unsigned char>(text[i]);
            if (c < 32 || c > 127) {
                v->status = 10000;
                return v->status;
            }
        }
        if (length > v->width) {
            v->status = 304;
            return v->status;
        }
        std::memcpy(out, text, length);
        width = uint32_t(v->width) * 8;
        break;
    default: return 301;
    }
    // A write to %SR1 notes the last local user whatever the register makes
    // of it (the register itself takes only 0), as the system-register write
    // of the controller does.
    if (v->reference == 3072 && web_last_local_user != nullptr) *web_last_local_user = LE_Get16(out);
    if (PlcReg_SetGuarded(v->reference, out, width) == 0) {
        // The register refused the write (a read-only or out-of-range
        // system register, an IEC variable during an on-line change, ...):
        // nothing was written, so it is answered as an address that cannot
        // be written (301), the record keeps its last value and its status
        // (reads of the register stay good) and no subscriber is told.
        v->last.raw = kept;
        return 301;
    }
    if (v->data_type == WDT_CHAR && v->last.text != nullptr) {
        std::memcpy(v->last.text, out, v->width);
        v->last.text[v->width] = 0;
    }
    v->status = 0;
    v->stamp_seconds = NowUtc();
    v->stamp_nanoseconds = 0;
    tavix_data_value dv{};
    tavix_notify_variable(v, &dv);
    return v->status;
}

uint32_t tavix_subscribe_item(void *subscription, const char *address, WebVariable **item) {
    *item = nullptr;
    if (address == nullptr) return 301;
    WebVariable *v = tavix_register_in_variable_pointer_list(address, 0);
    if (v == nullptr) return 301;
    char copy[257];
    std::snprintf(copy, sizeof copy, "%s", address);
    const char *key = v->key;
    const uint8_t was_type = v->data_type, was_width = v->width;
    if (tavix_parse_parameterized_variable(copy, v) == 0) {
        tavix_unregister_variable(address);
        return 301;
    }
    v->key = key;
    // A name registered before is parsed afresh, and a new IEC application
    // may have given it another type or text length: the last value kept in
    // the old shape would be taken for the new one (a number for a text
    // pointer, a text buffer too short for the new length). It starts again.
    if (v->data_type != was_type || v->width != was_width) {
        if (was_type == WDT_CHAR) std::free(v->last.text);
        v->last.raw = 0;
    }
    v->subscription = subscription;
    if (v->data_type == WDT_CHAR && v->last.text == nullptr)
        v->last.text = static_cast<char *>(std::calloc(1, std::size_t(v->width) + 1));
    *item = v;
    tavix_check_updated_variable_value(v);
    v->stamp_seconds = NowUtc();
    v->stamp_nanoseconds = 0;
    tavix_data_value dv{};
    tavix_notify_variable(v, &dv);
    return 0;
}

void tavix_unsubscribe_item(WebVariable *item) {
    if (item == nullptr || item->key == nullptr) return;
    char name[WEB_ADDRESS_MAX + 2];
    std::snprintf(name, sizeof name, "%s", item->key);
    tavix_unregister_variable(name);
}

void tavix_read_data_simple_cb(tavix_request *r, const void *, const char *address) {
    tavix_data_value v{};
    tavix_timestamp t{};
    WebVariable *rec = address != nullptr && address[0] != 0 ? Lookup(address) : nullptr;
    if (rec == nullptr || rec->key == nullptr) {
        tavix_data_read_return(r, nullptr, nullptr, 0, nullptr, nullptr, 301);
        return;
    }
    const uint32_t status = tavix_read_item(address, &v, &t);
    tavix_data_read_return(r, &v, &t, int32_t(status), nullptr, nullptr, 0);
}

void tavix_read_data_multi_cb(tavix_request *r, const void *user, const char *const *addresses) {
    // Once the answer has ended at the buffer limit, the rest is neither read nor answered.
    for (const char *const *a = addresses; *a != nullptr && r->ended == 0; a++) tavix_read_data_simple_cb(r, user, *a);
}

void tavix_write_data_simple_cb(tavix_request *r, const void *, const char *address, const char *value,
                                uint32_t length) {
    tavix_data_write_return(r, int32_t(tavix_write_item(address, value, length)));
}

void tavix_write_data_multi_cb(tavix_request *r, const void *user, const char *const *addresses,
                               const char *const *values, const uint32_t *lengths) {
    // Once the answer has ended at the buffer limit, the rest is not written: its client would not learn of it.
    for (uint32_t i = 0; addresses[i] != nullptr && r->ended == 0; i++)
        tavix_write_data_simple_cb(r, user, addresses[i], values[i], lengths[i]);
}

int tavix_subscribe_data_cb(tavix_item *item, const void *, const char *address, void **handle, uint32_t *keeps_refs,
                            int *status) {
    // The item keeps its latest value only: set before the subscription's
    // first value is queued, so that one is counted (and replaced, and
    // dropped with the item) like every later one.
    *keeps_refs = 1;
    WebVariable *v = nullptr;
    *status = int(tavix_subscribe_item(item, address, &v));
    // The handle is the name's own record (a name registered before is not
    // the name index's last entry).
    *handle = v;
    return *status == 0 ? 0 : -1;
}

int tavix_unsubscribe_data_cb(void *handle, int *status) {
    tavix_unsubscribe_item(static_cast<WebVariable *>(handle));
    *status = 0;
    return 0;
}

void tavix_variable_notify(void *subscription, const tavix_data_value *value, const tavix_timestamp *stamp,
                           uint32_t status) {
    tavix_data_notify(static_cast<tavix_item *>(subscription), value, stamp, int32_t(status));
}
