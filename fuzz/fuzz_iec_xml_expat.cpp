// The XML parser against libexpat: on a document that libexpat accepts and
// that keeps to what both read alike (printable ASCII, double-quoted
// attributes, the five entity references, no comments or declarations,
// attribute names distinct ignoring case, names and values of at most 511
// characters, nesting within the limit), both trees are equal: names,
// attributes in order, contents (the character data of an element joined)
// and children. The tree written back is read by
// libexpat again into the same tree, except that an element with children
// loses its own contents.
#include <expat.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>
#include <utility>
#include <vector>

#include "iec/blocks/blkxml.h"
#include "iec/vm/z7parts.h"
#include "iec/vm/z7vm.h"
#include "tests/support/iec_db.h"

namespace {
uint32_t Db() {
    static const uint32_t db = test_support::IecHeapDb(4u << 20, "FUZZ");
    return db;
}

struct Node {
    std::string name, text;
    std::vector<std::pair<std::string, std::string>> attrs;
    std::vector<Node> kids;
    bool operator==(const Node &o) const {
        return name == o.name && text == o.text && attrs == o.attrs && kids == o.kids;
    }
};

struct Expat {
    Node root;
    std::vector<Node *> stack;
    bool fits = true;
    uint32_t depth = 0;
};
void XMLCALL Start(void *u, const XML_Char *name, const XML_Char **atts) {
    Expat &e = *static_cast<Expat *>(u);
    Node *n = &e.root;
    if (!e.stack.empty()) {
        e.stack.back()->kids.emplace_back();
        n = &e.stack.back()->kids.back();
    }
    n->name = name;
    // names and attribute values are read up to 511 characters
    if (std::strlen(name) > 511) e.fits = false;
    for (const XML_Char **a = atts; *a; a += 2) {
        if (std::strlen(a[0]) > 511 || std::strlen(a[1]) > 511) e.fits = false;
        for (const auto &[k, v] : n->attrs)
            if (strcasecmp(k.c_str(), a[0]) == 0) e.fits = false;
        n->attrs.emplace_back(a[0], a[1]);
    }
    e.stack.push_back(n);
    if (e.stack.size() > XML_MAX_DEPTH) e.fits = false;
}
void XMLCALL End(void *u, const XML_Char *) { static_cast<Expat *>(u)->stack.pop_back(); }
void XMLCALL Chars(void *u, const XML_Char *s, int len) {
    Expat &e = *static_cast<Expat *>(u);
    if (!e.stack.empty()) e.stack.back()->text.append(s, size_t(len));
}

bool ByExpat(const char *t, size_t n, Node &out) {
    Expat e;
    XML_Parser p = XML_ParserCreate(nullptr);
    XML_SetUserData(p, &e);
    XML_SetElementHandler(p, Start, End);
    XML_SetCharacterDataHandler(p, Chars);
    const bool ok = XML_Parse(p, t, int(n), 1) == XML_STATUS_OK && e.fits;
    XML_ParserFree(p);
    out = std::move(e.root);
    return ok;
}

std::string Get(uint32_t db, uint32_t (*fn)(uint32_t, uint32_t, char *, uint32_t), uint32_t node) {
    static std::vector<char> buf(1 << 17);
    fn(db, node, buf.data(), uint32_t(buf.size()));
    return buf.data();
}
// Our tree, walked from the root with an explicit stack.
Node Ours(uint32_t db, uint32_t root) {
    Node out;
    std::vector<std::pair<uint32_t, Node *>> stack{{root, &out}};
    while (!stack.empty()) {
        auto [h, n] = stack.back();
        stack.pop_back();
        n->name = Get(db, Z7XML_GetTagName, h);
        n->text = Get(db, Z7XML_GetTagContents, h);
        // attribute names come from the expat tree's order: read each back
        for (uint32_t c = Z7XML_FirstChild(db, h, ""); c != 0; c = Z7XML_NextChild(db, h, c, ""))
            n->kids.emplace_back();
        uint32_t k = 0;
        for (uint32_t c = Z7XML_FirstChild(db, h, ""); c != 0; c = Z7XML_NextChild(db, h, c, ""))
            stack.push_back({c, &n->kids[k++]});
    }
    return out;
}
// Attributes: each of the expat tree's attributes read back by name, and
// none more (the writer puts them out in our order, checked by the round trip).
bool SameAttrs(uint32_t db, uint32_t h, const Node &e) {
    static char v[1024];
    for (const auto &[k, val] : e.attrs)
        if (!Z7XML_GetTagAttrib(db, h, k.c_str(), v, sizeof v) || val != v) return false;
    uint32_t c = Z7XML_FirstChild(db, h, "");
    for (const Node &kid : e.kids) {
        if (c == 0 || !SameAttrs(db, c, kid)) return false;
        c = Z7XML_NextChild(db, h, c, "");
    }
    return true;
}
void DropMixed(Node &n) {
    if (!n.kids.empty()) n.text.clear();
    for (Node &k : n.kids) DropMixed(k);
}
bool Fits(const uint8_t *d, size_t n) {
    for (size_t k = 0; k < n; k++) {
        const char c = char(d[k]);
        if (c < 0x20 || c > 0x7E || c == '\'') return false;
        if (c == '<' && k + 1 < n && (d[k + 1] == '!' || d[k + 1] == '?')) return false;
        if (c == '&') {
            bool known = false;
            for (const char *e : {"&lt;", "&gt;", "&amp;", "&apos;", "&quot;"})
                known = known || (n - k >= std::strlen(e) && std::memcmp(d + k, e, std::strlen(e)) == 0);
            if (!known) return false;
        }
    }
    return true;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const uint32_t db = Db();
    if (size > 1 << 14 || !Fits(data, size)) return 0;
    const char *text = reinterpret_cast<const char *>(data);
    Node want;
    if (!ByExpat(text, size, want)) return 0;
    const uint32_t root = Z7XML_ParseText(db, text, uint32_t(size));
    if (root == 0) std::abort();
    Node got = Ours(db, root);
    Node bare = want;
    // compare without attributes first (our walk reads none), then the attributes
    std::vector<Node *> st{&bare};
    while (!st.empty()) {
        Node *n = st.back();
        st.pop_back();
        n->attrs.clear();
        for (Node &k : n->kids) st.push_back(&k);
    }
    if (!(got == bare) || !SameAttrs(db, root, want)) std::abort();
    static std::vector<char> out(1 << 17);
    const uint32_t n = Z7XML_WriteToMem(db, root, out.data(), uint32_t(out.size()));
    Z7XML_Free(db, root);
    if (n == 0 || Z7XML_Count(db) != 0) std::abort();
    Node back;
    if (!ByExpat(out.data(), n, back)) std::abort();
    DropMixed(want);
    if (!(back == want)) std::abort();
    return 0;
}
