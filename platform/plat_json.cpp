// Recursive-descent JSON reader with a depth bound.
#include "platform/plat_json.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {
struct Reader {
    const char *p;
    const char *end;
    std::string &error;
    int depth = 0;

    void Skip() {
        while (p < end && (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r')) p++;
    }
    bool Fail(const char *what) {
        if (error.empty()) error = what;
        return false;
    }
    bool Literal(const char *word) {
        const std::size_t n = std::strlen(word);
        if (std::size_t(end - p) < n || std::memcmp(p, word, n) != 0) return Fail("unknown word");
        p += n;
        return true;
    }
    bool Str(std::string &out) {
        if (p >= end || *p != '"') return Fail("expected a string");
        p++;
        while (p < end && *p != '"') {
            char c = *p++;
            if (c == '\\') {
                if (p >= end) return Fail("unterminated string");
                c = *p++;
                switch (c) {
                case 'n': c = '\n'; break;
                case 't': c = '\t'; break;
                case 'r': c = '\r'; break;
                case 'b': c = '\b'; break;
                case 'f': c = '\f'; break;
                case 'u':
                    // Only the ASCII range is of use in these files.
                    if (end - p < 4) return Fail("bad escape");
                    c = char(std::strtol(std::string(p, 4).c_str(), nullptr, 16) & 0x7F);
                    p += 4;
                    break;
                default: break;
                }
            }
            out.push_back(c);
        }
        if (p >= end) return Fail("unterminated string");
        p++;
        return true;
    }
    // The members of an object (keyed) or an array, from its opening bracket
    // to its closing one.
    bool Members(PlatJson &v, bool keyed) {
        const char close = keyed ? '}' : ']';
        p++;
        Skip();
        if (p < end && *p == close) {
            p++;
            return true;
        }
        for (;;) {
            if (keyed) {
                Skip();
                v.keys.emplace_back();
                if (!Str(v.keys.back())) return false;
                Skip();
                if (p >= end || *p != ':') return Fail("expected ':'");
                p++;
            }
            v.items.emplace_back();
            if (!Value(v.items.back())) return false;
            Skip();
            if (p < end && *p == ',') {
                p++;
                continue;
            }
            if (p < end && *p == close) {
                p++;
                return true;
            }
            return Fail(keyed ? "expected ',' or '}'" : "expected ',' or ']'");
        }
    }
    bool Value(PlatJson &v) {
        if (++depth > 32) return Fail("nested too deeply");
        Skip();
        if (p >= end) return Fail("unexpected end");
        bool ok = true;
        if (*p == '{') {
            v.kind = PlatJson::Object;
            if (!Members(v, true)) return false;
        } else if (*p == '[') {
            v.kind = PlatJson::Array;
            if (!Members(v, false)) return false;
        } else if (*p == '"') {
            v.kind = PlatJson::String;
            ok = Str(v.text);
        } else if (*p == 't') {
            v.kind = PlatJson::Bool;
            v.number = 1;
            ok = Literal("true");
        } else if (*p == 'f') {
            v.kind = PlatJson::Bool;
            ok = Literal("false");
        } else if (*p == 'n') {
            ok = Literal("null");
        } else {
            const std::string num(p, std::size_t(std::min<std::ptrdiff_t>(end - p, 64)));
            char *stop = nullptr;
            v.kind = PlatJson::Number;
            v.number = std::strtod(num.c_str(), &stop);
            if (stop == num.c_str()) return Fail("bad number");
            p += stop - num.c_str();
        }
        depth--;
        return ok;
    }
};
}  // namespace

const PlatJson *PlatJson::Find(const char *key) const {
    if (kind != Object) return nullptr;
    for (std::size_t i = 0; i < keys.size() && i < items.size(); i++) {
        if (keys[i] == key) return &items[i];
    }
    return nullptr;
}

bool PlatJson_Parse(const char *text, std::size_t len, PlatJson &out, std::string &error) {
    error.clear();
    out = PlatJson{};
    Reader r{text, text + len, error};
    if (!r.Value(out)) return false;
    r.Skip();
    if (r.p != r.end) {
        error = "text after the value";
        return false;
    }
    return true;
}

bool PlatJson_IntText(const std::string &s, int64_t &out) {
    if (s.empty() || s.size() > 20) return false;
    char *stop = nullptr;
    const long long v = std::strtoll(s.c_str(), &stop, 0);
    if (stop == s.c_str() || *stop != 0) return false;
    out = v;
    return true;
}

bool PlatJson_Int(const PlatJson &v, int64_t &out) {
    if (v.kind == PlatJson::Number) {
        if (!(v.number > -1e15 && v.number < 1e15)) return false;
        out = int64_t(v.number);
        return true;
    }
    if (v.kind == PlatJson::String) return PlatJson_IntText(v.text, out);
    return false;
}
