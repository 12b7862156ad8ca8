// XML tag trees in the application heap, their parser and writer.
//
// Node (28 bytes): magic, name string, contents string (0 none), first
// child, parent (0 for a root), next sibling, first attribute. Attribute (12
// bytes): next, name string, value string. String block: u32 capacity, then
// the NUL-terminated text. Every block is locked only while it is read or
// written, so any number of handles can be followed in one operation.
//
// The parser and the writer walk the tree with an explicit stack or the
// parent links, never by recursion; nesting deeper than XML_MAX_DEPTH is a
// syntax error. All parser state lives in the call.
#include "iec/blocks/blkxml.h"

#include <algorithm>
#include <cstring>

#include "core/image/bytes.h"
#include "iec/blocks/blktxb.h"
#include "iec/vm/z7stdlib.h"
#include "iec/vm/z7str.h"
#include "iec/vm/z7vm.h"
#include "platform/plat_assert.h"

namespace {
enum : uint32_t {
    N_MAGIC = 0,
    N_NAME = 4,
    N_CONT = 8,
    N_CHILD = 12,
    N_PARENT = 16,
    N_NEXT = 20,
    N_ATTR = 24,
    N_SIZE = 28
};
enum : uint32_t { A_NEXT = 0, A_NAME = 4, A_VALUE = 8, A_SIZE = 12 };
constexpr uint32_t kTok = 512;
constexpr uint32_t kMaxStr = 0x3FFFFFF0u;

uint32_t Status(uint32_t db, uint32_t f) { return Z7VM_Status(db) + f; }
void Count(uint32_t db, int64_t d) {
    const int64_t n = int64_t(Z7Mem_Get32(Status(db, ST_XML_LIVE))) + d;
    Z7Mem_Put32(Status(db, ST_XML_LIVE), n < 0 ? 0 : uint32_t(n));
}

// ---- blocks -------------------------------------------------------------------------------------
uint32_t Field(uint32_t heap, uint32_t h, uint32_t size, uint32_t f) {
    BlkHeapRef r(heap, h, size);
    return r.p ? LE_Get32(r.p + f) : 0;
}
void SetField(uint32_t heap, uint32_t h, uint32_t size, uint32_t f, uint32_t v) {
    BlkHeapRef r(heap, h, size);
    if (r.p) LE_Put32(r.p + f, v);
}
uint32_t NGet(uint32_t heap, uint32_t h, uint32_t f) { return Field(heap, h, N_SIZE, f); }
void NSet(uint32_t heap, uint32_t h, uint32_t f, uint32_t v) { SetField(heap, h, N_SIZE, f, v); }
uint32_t AGet(uint32_t heap, uint32_t h, uint32_t f) { return Field(heap, h, A_SIZE, f); }
bool IsNode(uint32_t heap, uint32_t h) { return h != 0 && NGet(heap, h, N_MAGIC) == XML_MAGIC; }

// A string block locked for reading: its text and length.
struct Str {
    BlkHeapRef r;
    const char *text = "";
    uint32_t len = 0, cap = 0;
    Str(uint32_t heap, uint32_t h) {
        if (h == 0 || !r.Take(heap, h, 4)) return;
        cap = LE_Get32(r.p);
        if (cap == 0 || cap > kMaxStr || !r.Fit(cap + 4)) return;
        r.p[3 + cap] = 0;
        text = reinterpret_cast<const char *>(r.p + 4);
        len = uint32_t(strnlen(text, cap));
    }
};

uint32_t NewStr(uint32_t heap, const char *text, uint32_t len, uint32_t cap) {
    cap = std::max(cap, len + 1);
    const uint32_t h = Z7Heap_Alloc(heap, cap + 4);
    if (h == 0) return 0;
    BlkHeapRef r(heap, h, cap + 4);
    if (r.p == nullptr) {
        Z7Heap_Free(heap, h);
        return 0;
    }
    LE_Put32(r.p, cap);
    if (len) std::memcpy(r.p + 4, text, len);
    std::memset(r.p + 4 + len, 0, cap - len);
    return h;
}
// Replaces the string in field f of block b (size bytes) with len bytes of
// text, or appends them; false when no block could be made.
bool PutStr(uint32_t heap, uint32_t b, uint32_t size, uint32_t f, const char *text, uint32_t len, bool append) {
    const uint32_t old = Field(heap, b, size, f);
    uint32_t cur = 0;
    {
        Str s(heap, old);
        cur = append ? s.len : 0;
        if (s.r.p != nullptr && uint64_t(cur) + len + 1 <= s.cap) {
            char *t = reinterpret_cast<char *>(s.r.p + 4);
            std::memcpy(t + cur, text, len);
            t[cur + len] = 0;
            return true;
        }
    }
    const uint64_t joint = uint64_t(cur) + len;
    if (joint + 1 > kMaxStr) return false;
    // appended texts get room to spare, so long contents grow in few copies
    const uint32_t cap = append && joint >= 256 ? uint32_t(std::min<uint64_t>(kMaxStr, joint + joint / 2)) : 0;
    uint32_t h = 0;
    {
        Str s(heap, old);
        h = NewStr(heap, s.text, cur, cap ? cap : uint32_t(joint + 1));
        if (h == 0 && cap) h = NewStr(heap, s.text, cur, uint32_t(joint + 1));
    }
    if (h == 0) return false;
    {
        BlkHeapRef r(heap, h, 4);
        if (r.Fit(uint32_t(joint) + 5)) std::memcpy(r.p + 4 + cur, text, len);
    }
    if (old) Z7Heap_Free(heap, old);
    SetField(heap, b, size, f, h);
    return true;
}

// Copies at most size - 1 characters of a string and terminates.
void CopyStr(uint32_t heap, uint32_t h, char *dst, uint32_t size) {
    if (dst == nullptr || size == 0) return;
    Str s(heap, h);
    const uint32_t n = std::min(s.len, size - 1);
    std::memcpy(dst, s.text, n);
    dst[n] = 0;
}
bool NameIs(uint32_t heap, uint32_t h, const char *name) {
    Str s(heap, h);
    return Z7VMStr_ICmp(s.text, name) == 0;
}

// A new node named name (len bytes) under parent after its child last (0:
// first child); a root when parent is 0. 0 when the heap is full.
uint32_t MakeNode(uint32_t db, uint32_t heap, uint32_t parent, uint32_t last, const char *name, uint32_t len,
                  uint32_t *name_handle = nullptr) {
    const uint32_t nh = NewStr(heap, name, len, 0);
    if (name_handle) *name_handle = nh;
    const uint32_t h = nh ? Z7Heap_Alloc(heap, N_SIZE) : 0;
    if (h == 0) {
        if (nh) Z7Heap_Free(heap, nh);
        return 0;
    }
    {
        BlkHeapRef r(heap, h, N_SIZE);
        if (r.p == nullptr) {
            Z7Heap_Free(heap, h);
            Z7Heap_Free(heap, nh);
            return 0;
        }
        std::memset(r.p, 0, N_SIZE);
        LE_Put32(r.p + N_MAGIC, XML_MAGIC);
        LE_Put32(r.p + N_NAME, nh);
        LE_Put32(r.p + N_PARENT, parent);
    }
    if (parent != 0) {
        if (last != 0)
            NSet(heap, last, N_NEXT, h);
        else
            NSet(heap, parent, N_CHILD, h);
    }
    Count(db, 1);
    return h;
}
uint32_t LastChild(uint32_t heap, uint32_t parent) {
    uint32_t c = NGet(heap, parent, N_CHILD), last = 0;
    while (c != 0) {
        last = c;
        c = NGet(heap, c, N_NEXT);
    }
    return last;
}

// Appends a new attribute after last (0: the node has none yet); its handle.
uint32_t AddAttr(uint32_t heap, uint32_t node, uint32_t last, const char *name, uint32_t nlen, const char *value,
                 uint32_t vlen) {
    const uint32_t nh = NewStr(heap, name, nlen, 0);
    const uint32_t vh = nh ? NewStr(heap, value, vlen, 0) : 0;
    const uint32_t ah = vh ? Z7Heap_Alloc(heap, A_SIZE) : 0;
    BlkHeapRef r(heap, ah, A_SIZE);
    if (r.p == nullptr) {
        if (ah) Z7Heap_Free(heap, ah);
        if (vh) Z7Heap_Free(heap, vh);
        if (nh) Z7Heap_Free(heap, nh);
        return 0;
    }
    LE_Put32(r.p + A_NEXT, 0);
    LE_Put32(r.p + A_NAME, nh);
    LE_Put32(r.p + A_VALUE, vh);
    r.Release();
    if (last)
        SetField(heap, last, A_SIZE, A_NEXT, ah);
    else
        NSet(heap, node, N_ATTR, ah);
    return ah;
}

// Sets (or adds at the end) the attribute name of node.
bool SetAttr(uint32_t heap, uint32_t node, const char *name, uint32_t nlen, const char *value, uint32_t vlen) {
    uint32_t a = NGet(heap, node, N_ATTR), last = 0;
    while (a != 0) {
        if (NameIs(heap, AGet(heap, a, A_NAME), name)) return PutStr(heap, a, A_SIZE, A_VALUE, value, vlen, false);
        last = a;
        a = AGet(heap, a, A_NEXT);
    }
    return AddAttr(heap, node, last, name, nlen, value, vlen) != 0;
}

// Deletes one node's own blocks (strings, attributes, the node).
void DropNode(uint32_t heap, uint32_t h) {
    uint32_t a = NGet(heap, h, N_ATTR);
    while (a != 0) {
        const uint32_t next = AGet(heap, a, A_NEXT);
        if (const uint32_t s = AGet(heap, a, A_NAME)) Z7Heap_Free(heap, s);
        if (const uint32_t s = AGet(heap, a, A_VALUE)) Z7Heap_Free(heap, s);
        Z7Heap_Free(heap, a);
        a = next;
    }
    if (const uint32_t s = NGet(heap, h, N_NAME)) Z7Heap_Free(heap, s);
    if (const uint32_t s = NGet(heap, h, N_CONT)) Z7Heap_Free(heap, s);
    NSet(heap, h, N_MAGIC, 0);
    Z7Heap_Free(heap, h);
}
// Unlinks node from its parent and deletes its subtree: each node's first
// child is taken off its list before the walk descends into it, so coming
// back up through the parent link goes on with the next one.
void FreeTree(uint32_t db, uint32_t heap, uint32_t node) {
    if (const uint32_t parent = NGet(heap, node, N_PARENT)) {
        const uint32_t next = NGet(heap, node, N_NEXT);
        uint32_t c = NGet(heap, parent, N_CHILD);
        if (c == node) {
            NSet(heap, parent, N_CHILD, next);
        } else {
            while (c != 0 && NGet(heap, c, N_NEXT) != node) c = NGet(heap, c, N_NEXT);
            if (c != 0) NSet(heap, c, N_NEXT, next);
        }
    }
    int64_t freed = 0;
    uint32_t cur = node;
    while (cur != 0) {
        const uint32_t child = NGet(heap, cur, N_CHILD);
        if (child != 0 && IsNode(heap, child)) {
            NSet(heap, cur, N_CHILD, NGet(heap, child, N_NEXT));
            NSet(heap, child, N_PARENT, cur);
            cur = child;
            continue;
        }
        const uint32_t up = cur == node ? 0 : NGet(heap, cur, N_PARENT);
        DropNode(heap, cur);
        freed++;
        cur = up;
    }
    Count(db, -freed);
}

// ---- operation frame ----------------------------------------------------------------------------
// Starts an operation on node (0: none): compacts, checks the node. heap 0
// when the operation cannot go on (error recorded).
uint32_t Begin(uint32_t db, uint32_t node, bool check = true) {
    const uint32_t heap = Blk_Heap(db);
    if (heap == 0) return 0;
    Z7Heap_Compact(heap, 4);
    if (check && !IsNode(heap, node)) {
        Z7XML_SetError(db, XML_BADNODE);
        return 0;
    }
    Z7XML_SetError(db, XML_OK);
    return heap;
}
uint32_t Len(const char *t) { return t ? uint32_t(strnlen(t, kMaxStr)) : 0; }

// ---- parser ---------------------------------------------------------------------------------------
// Characters from memory or from a file; 0 at the end.
struct Source {
    const char *mem = nullptr;
    uint32_t len = 0, pos = 0;
    uint32_t file = 0, left = 0;  // file handle and bytes not yet read
    char buf[512];
    bool Fill() {
        if (file == 0 || left == 0) return false;
        const uint32_t n = std::min<uint32_t>(sizeof buf, left);
        if (Z7Std_Hooks.file_read == nullptr || !Z7Std_Hooks.file_read(file, buf, n)) {
            left = 0;
            return false;
        }
        left -= n;
        mem = buf;
        len = n;
        pos = 0;
        return true;
    }
    char Cur() {
        if (pos < len) return mem[pos];
        return Fill() ? mem[pos] : 0;
    }
    void Next() {
        if (pos < len) pos++;
    }
};

bool Blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

struct Frame {
    uint32_t node, last, name, cont;  // node, last child, name and contents strings
};

struct Parser {
    uint32_t db, heap;
    Source &src;
    uint32_t err = 0;
    char tok[kTok];
    uint32_t tlen = 0;
    char aname[kTok];
    Frame stack[XML_MAX_DEPTH];
    uint32_t depth = 0;

    Parser(uint32_t d, uint32_t h, Source &s) : db(d), heap(h), src(s) {}

    bool Fail(uint32_t e) {
        if (err == 0) err = e;
        return false;
    }
    void SkipBlanks() {
        while (Blank(src.Cur())) src.Next();
    }
    // After '&': a reference of at most 9 characters ended by ';'. 1..255
    // the character; -1 unknown (the characters read are in ref).
    int Entity(char ref[12], uint32_t &n, bool &ended) {
        n = 0;
        ended = false;
        for (;;) {
            const char c = src.Cur();
            if (c == ';') {
                src.Next();
                ended = true;
                break;
            }
            const bool word = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '#';
            if (!word || n == 9) break;
            ref[n++] = c;
            src.Next();
        }
        ref[n] = 0;
        if (!ended) return -1;
        if (std::strcmp(ref, "lt") == 0) return '<';
        if (std::strcmp(ref, "gt") == 0) return '>';
        if (std::strcmp(ref, "amp") == 0) return '&';
        if (std::strcmp(ref, "apos") == 0) return '\'';
        if (std::strcmp(ref, "quot") == 0) return '"';
        return -1;
    }
    // One character of a name or value: decoded, or -1 on a bad reference.
    int Strict(char c) {
        src.Next();
        if (c != '&') return uint8_t(c);
        char ref[12];
        uint32_t n;
        bool ended;
        return Entity(ref, n, ended);
    }
    // A name into out (terminated); false on a syntax error.
    bool Name(char *out, uint32_t &n) {
        n = 0;
        for (;;) {
            const char c = src.Cur();
            if (c == 0) return Fail(XML_SYNTAX);
            if (Blank(c) || c == '<' || c == '>' || c == '/' || c == '=' || c == '"' || c == '\'') break;
            const int d = Strict(c);
            if (d < 0 || n >= kTok - 1) return Fail(XML_SYNTAX);
            out[n++] = char(d);
        }
        out[n] = 0;
        return n != 0 || Fail(XML_SYNTAX);
    }
    // Skips to the next tag: past its '<', over declarations, comments and
    // "<>". False at the end of the input.
    bool FindTag() {
        for (;;) {
            char c;
            while ((c = src.Cur()) != 0 && c != '<') src.Next();
            if (c == 0) return false;
            src.Next();
            c = src.Cur();
            if (c == '?' || c == '!') {
                while ((c = src.Cur()) != 0 && c != '>') src.Next();
                if (c == 0) return false;
                src.Next();
            } else if (c == '>') {
                src.Next();
            } else {
                return true;
            }
        }
    }
    bool Flush() {
        if (tlen == 0) return true;
        if (NEVER(depth == 0)) return Fail(XML_SYNTAX);  // text gathers only inside an element
        Frame &f = stack[depth - 1];
        bool ok;
        if (f.cont == 0) {
            f.cont = NewStr(heap, tok, tlen, 0);
            ok = f.cont != 0;
            if (ok) NSet(heap, f.node, N_CONT, f.cont);
        } else {
            ok = PutStr(heap, f.node, N_SIZE, N_CONT, tok, tlen, true);
        }
        tlen = 0;
        return ok || Fail(XML_NOHEAP);
    }
    bool Add(char c) {
        tok[tlen++] = c;
        return tlen <= kTok - 2 || Flush();
    }
    // An element's start tag, after its '<': the node is made (a root when
    // depth is 0) and pushed unless it is empty. 0 error, 1 empty, 2 open.
    int Start(uint32_t *made) {
        SkipBlanks();
        uint32_t n;
        if (!Name(tok, n)) return 0;
        const uint32_t parent = depth ? stack[depth - 1].node : 0;
        uint32_t name = 0;
        const uint32_t node = MakeNode(db, heap, parent, depth ? stack[depth - 1].last : 0, tok, n, &name);
        if (node == 0) return Fail(XML_NOHEAP), 0;
        *made = node;
        if (depth) stack[depth - 1].last = node;
        // names of this element's attributes, to find a repeated one without
        // reading the heap; past its room every attribute takes the search
        char seen[1024];
        uint32_t seen_len = 0, last_attr = 0;
        bool overflow = false;
        for (;;) {
            SkipBlanks();
            char c = src.Cur();
            if (c == '/') {
                src.Next();
                if (src.Cur() != '>') return Fail(XML_SYNTAX), 0;
                src.Next();
                return 1;
            }
            if (c == '>') {
                src.Next();
                if (depth == XML_MAX_DEPTH) return Fail(XML_SYNTAX), 0;
                stack[depth++] = Frame{node, 0, name, 0};
                return 2;
            }
            uint32_t an;
            if (!Name(aname, an)) return 0;
            SkipBlanks();
            if (src.Cur() != '=') return Fail(XML_SYNTAX), 0;
            src.Next();
            SkipBlanks();
            if (src.Cur() != '"') return Fail(XML_SYNTAX), 0;
            src.Next();
            uint32_t vn = 0;
            while ((c = src.Cur()) != '"') {
                if (c == 0) return Fail(XML_SYNTAX), 0;
                const int d = Strict(c);
                if (d < 0 || vn >= kTok - 1) return Fail(XML_SYNTAX), 0;
                tok[vn++] = char(d);
            }
            src.Next();
            tok[vn] = 0;
            bool repeated = overflow;
            for (uint32_t k = 0; k < seen_len && !repeated; k += uint32_t(std::strlen(seen + k)) + 1)
                repeated = Z7VMStr_ICmp(seen + k, aname) == 0;
            if (repeated) {
                if (!SetAttr(heap, node, aname, an, tok, vn)) return Fail(XML_NOHEAP), 0;
                continue;
            }
            last_attr = AddAttr(heap, node, last_attr, aname, an, tok, vn);
            if (last_attr == 0) return Fail(XML_NOHEAP), 0;
            if (seen_len + an + 1 <= sizeof seen) {
                std::memcpy(seen + seen_len, aname, an + 1);
                seen_len += an + 1;
            } else {
                overflow = true;
            }
        }
    }
    // The closing tag of the innermost element, after "</".
    bool Close() {
        SkipBlanks();
        uint32_t n;
        if (!Name(tok, n)) return false;
        if (NEVER(depth == 0)) return Fail(XML_SYNTAX);  // a closing tag is read only inside an element
        if (!NameIs(heap, stack[depth - 1].name, tok)) return Fail(XML_SYNTAX);
        SkipBlanks();
        if (src.Cur() != '>') return Fail(XML_SYNTAX);
        src.Next();
        depth--;
        return true;
    }
    // Contents of the open elements until the first one closes.
    bool Contents() {
        tlen = 0;
        while (depth != 0) {
            const char c = src.Cur();
            if (c == 0) return Fail(XML_SYNTAX);
            if (c == '&') {
                src.Next();
                char ref[12];
                uint32_t n;
                bool ended;
                const int d = Entity(ref, n, ended);
                if (d >= 0) {
                    if (!Add(char(d))) return false;
                    continue;
                }
                // an unknown reference stays as written
                if (!Add('&')) return false;
                for (uint32_t k = 0; k < n; k++)
                    if (!Add(ref[k])) return false;
                if (ended && !Add(';')) return false;
                continue;
            }
            if (c != '<') {
                src.Next();
                if (!Add(c)) return false;
                continue;
            }
            if (!Flush()) return false;
            src.Next();
            const char n = src.Cur();
            if (n == '?' || n == '!' || n == '>') {
                // back to '<' state: skip the declaration or comment and the
                // text after it, up to the next tag
                char k;
                if (n != '>')
                    while ((k = src.Cur()) != 0 && k != '>') src.Next();
                if (src.Cur() == 0) return Fail(XML_SYNTAX);
                src.Next();
                if (!FindTag()) return Fail(XML_SYNTAX);
            }
            if (src.Cur() == '/') {
                src.Next();
                if (!Close()) return false;
                continue;
            }
            uint32_t made = 0;
            if (Start(&made) == 0) return false;
        }
        return true;
    }
    uint32_t Run() {
        if (!FindTag() || src.Cur() == '/') {
            Fail(XML_SYNTAX);
            return 0;
        }
        uint32_t root = 0;
        const int kind = Start(&root);
        if (kind == 2 && !Contents()) {
            // frames are freed with the root
        }
        if (kind == 0 || err != 0) {
            if (root != 0) FreeTree(db, heap, root);
            return 0;
        }
        return root;
    }
};

uint32_t Parse(uint32_t db, uint32_t heap, Source &src) {
    Parser p(db, heap, src);
    const uint32_t root = p.Run();
    Z7XML_SetError(db, root ? XML_OK : (p.err ? p.err : XML_SYNTAX));
    Z7Heap_Compact(heap, 16);
    return root;
}

// ---- writer -----------------------------------------------------------------------------------------
// Counts, writes into memory, or writes into a file through a small buffer.
struct Sink {
    uint64_t count = 0;
    char *out = nullptr;
    uint64_t size = 0;
    uint32_t file = 0;
    char buf[512];
    uint32_t blen = 0;
    bool ok = true;
    void Flush() {
        if (file && blen) ok = ok && Z7Std_Hooks.file_write != nullptr && Z7Std_Hooks.file_write(file, buf, blen);
        blen = 0;
    }
    void Put(const char *t, uint32_t n) {
        if (out != nullptr) {
            if (count + n <= size)
                std::memcpy(out + count, t, n);
            else
                ok = false;
        } else if (file != 0) {
            for (uint32_t k = 0; k < n; k++) {
                if (blen == sizeof buf) Flush();
                buf[blen++] = t[k];
            }
        }
        count += n;
    }
    void Esc(const char *t, uint32_t n) {
        uint32_t run = 0;
        for (uint32_t k = 0; k < n; k++) {
            const char *e = nullptr;
            switch (t[k]) {
            case '"': e = "&quot;"; break;
            case '&': e = "&amp;"; break;
            case '\'': e = "&apos;"; break;
            case '<': e = "&lt;"; break;
            case '>': e = "&gt;"; break;
            default: continue;
            }
            Put(t + run, k - run);
            Put(e, uint32_t(std::strlen(e)));
            run = k + 1;
        }
        Put(t + run, n - run);
    }
    void EscStr(uint32_t heap, uint32_t h) {
        Str s(heap, h);
        Esc(s.text, s.len);
    }
};

// A node's fields, read under one lock.
struct NodeRec {
    uint32_t name = 0, cont = 0, child = 0, parent = 0, next = 0, attr = 0;
    NodeRec(uint32_t heap, uint32_t h) {
        BlkHeapRef r(heap, h, N_SIZE);
        if (r.p == nullptr) return;
        name = LE_Get32(r.p + N_NAME);
        cont = LE_Get32(r.p + N_CONT);
        child = LE_Get32(r.p + N_CHILD);
        parent = LE_Get32(r.p + N_PARENT);
        next = LE_Get32(r.p + N_NEXT);
        attr = LE_Get32(r.p + N_ATTR);
    }
};

void Write(uint32_t heap, uint32_t node, Sink &k) {
    static constexpr char kDecl[] = "<?xml version=\"1.0\" standalone=\"yes\"?>";
    k.Put(kDecl, sizeof kDecl - 1);
    uint32_t cur = node;
    while (cur != 0) {
        const NodeRec n(heap, cur);
        k.Put("<", 1);
        k.EscStr(heap, n.name);
        for (uint32_t a = n.attr; a != 0;) {
            uint32_t name = 0, value = 0, next = 0;
            {
                BlkHeapRef r(heap, a, A_SIZE);
                if (r.p == nullptr) break;
                next = LE_Get32(r.p + A_NEXT);
                name = LE_Get32(r.p + A_NAME);
                value = LE_Get32(r.p + A_VALUE);
            }
            a = next;
            if (name == 0) continue;
            k.Put(" ", 1);
            k.EscStr(heap, name);
            k.Put("=\"", 2);
            k.EscStr(heap, value);
            k.Put("\"", 1);
        }
        if (n.child != 0) {
            k.Put(">", 1);
            cur = n.child;
            continue;
        }
        bool has = false;
        {
            Str c(heap, n.cont);
            if (c.len != 0) {
                has = true;
                k.Put(">", 1);
                k.Esc(c.text, c.len);
            }
        }
        if (has) {
            k.Put("</", 2);
            k.EscStr(heap, n.name);
            k.Put(">", 1);
        } else {
            k.Put("/>", 2);
        }
        // up to the next sibling, closing the elements left behind
        uint32_t next = n.next;
        for (;;) {
            if (cur == node) {
                cur = 0;
                break;
            }
            if (next != 0) {
                cur = next;
                break;
            }
            cur = NodeRec(heap, cur).parent;
            const NodeRec up(heap, cur);
            k.Put("</", 2);
            k.EscStr(heap, up.name);
            k.Put(">", 1);
            next = up.next;
        }
    }
    k.Flush();
}

struct FillCtx {
    uint32_t heap, node;
};
bool FillDoc(char *dst, uint32_t len, void *ctx) {
    const FillCtx *c = static_cast<const FillCtx *>(ctx);
    Sink k;
    k.out = dst;
    k.size = len;
    Write(c->heap, c->node, k);
    return k.ok && k.count == len;
}
}  // namespace

uint32_t Z7XML_LastError(uint32_t db) { return Z7Mem_Get32(Status(db, ST_XML_ERR)); }
void Z7XML_SetError(uint32_t db, uint32_t e) { Z7Mem_Put32(Status(db, ST_XML_ERR), e); }
uint32_t Z7XML_Count(uint32_t db) { return Z7Mem_Get32(Status(db, ST_XML_LIVE)); }

uint32_t Z7XML_Alloc(uint32_t db, const char *name) {
    const uint32_t heap = Begin(db, 0, false);
    if (heap == 0) return 0;
    const uint32_t h = MakeNode(db, heap, 0, 0, name ? name : "", Len(name));
    if (h == 0) Z7XML_SetError(db, XML_NOHEAP);
    return h;
}

uint32_t Z7XML_AddChild(uint32_t db, uint32_t parent, const char *name) {
    const uint32_t heap = Begin(db, parent);
    if (heap == 0) return 0;
    const uint32_t h = MakeNode(db, heap, parent, LastChild(heap, parent), name ? name : "", Len(name));
    if (h == 0) Z7XML_SetError(db, XML_NOHEAP);
    return h;
}

uint32_t Z7XML_GetParent(uint32_t db, uint32_t node) {
    const uint32_t heap = Begin(db, node);
    return heap ? NGet(heap, node, N_PARENT) : 0;
}

namespace {
uint32_t Match(uint32_t heap, uint32_t c, const char *filter) {
    const bool any = filter == nullptr || filter[0] == 0;
    while (c != 0 && !any && !NameIs(heap, NGet(heap, c, N_NAME), filter)) c = NGet(heap, c, N_NEXT);
    return c;
}
}  // namespace

uint32_t Z7XML_FirstChild(uint32_t db, uint32_t node, const char *filter) {
    const uint32_t heap = Begin(db, node);
    return heap ? Match(heap, NGet(heap, node, N_CHILD), filter) : 0;
}

uint32_t Z7XML_NextChild(uint32_t db, uint32_t parent, uint32_t child, const char *filter) {
    const uint32_t heap = Begin(db, parent);
    if (heap == 0) return 0;
    if (!IsNode(heap, child) || NGet(heap, child, N_PARENT) != parent) {
        Z7XML_SetError(db, XML_BADNODE);
        return 0;
    }
    return Match(heap, NGet(heap, child, N_NEXT), filter);
}

uint32_t Z7XML_GetTagName(uint32_t db, uint32_t node, char *dst, uint32_t size) {
    if (dst && size) dst[0] = 0;
    const uint32_t heap = Begin(db, node);
    if (heap == 0) return 0;
    CopyStr(heap, NGet(heap, node, N_NAME), dst, size);
    return 1;
}

uint32_t Z7XML_GetTagContents(uint32_t db, uint32_t node, char *dst, uint32_t size) {
    if (dst && size) dst[0] = 0;
    const uint32_t heap = Begin(db, node);
    if (heap == 0) return 0;
    CopyStr(heap, NGet(heap, node, N_CONT), dst, size);
    return 1;
}

uint32_t Z7XML_GetTagAttrib(uint32_t db, uint32_t node, const char *name, char *dst, uint32_t size) {
    if (dst && size) dst[0] = 0;
    const uint32_t heap = Begin(db, node);
    if (heap == 0 || name == nullptr) return 0;
    for (uint32_t a = NGet(heap, node, N_ATTR); a != 0; a = AGet(heap, a, A_NEXT))
        if (NameIs(heap, AGet(heap, a, A_NAME), name)) {
            CopyStr(heap, AGet(heap, a, A_VALUE), dst, size);
            return 1;
        }
    return 0;
}

uint32_t Z7XML_SetTagContents(uint32_t db, uint32_t node, const char *text) {
    const uint32_t heap = Begin(db, node);
    if (heap == 0) return 0;
    if (PutStr(heap, node, N_SIZE, N_CONT, text ? text : "", Len(text), false)) return 1;
    Z7XML_SetError(db, XML_NOHEAP);
    return 0;
}

uint32_t Z7XML_AppendContents(uint32_t db, uint32_t node, const char *text) {
    const uint32_t heap = Begin(db, node);
    if (heap == 0) return 0;
    if (PutStr(heap, node, N_SIZE, N_CONT, text ? text : "", Len(text), true)) return 1;
    Z7XML_SetError(db, XML_NOHEAP);
    return 0;
}

uint32_t Z7XML_SetTagAttrib(uint32_t db, uint32_t node, const char *name, const char *value) {
    const uint32_t heap = Begin(db, node);
    if (heap == 0 || name == nullptr) return 0;
    if (SetAttr(heap, node, name, Len(name), value ? value : "", Len(value))) return 1;
    Z7XML_SetError(db, XML_NOHEAP);
    return 0;
}

uint32_t Z7XML_GetTagContentsXS(uint32_t db, uint32_t node) {
    const uint32_t heap = Begin(db, node);
    if (heap == 0) return 0;
    const uint32_t cont = NGet(heap, node, N_CONT);
    uint32_t len = 0;
    {
        Str s(heap, cont);
        len = s.len;
    }
    const uint32_t txb = Z7XS_Alloc(db, len ? len + 1 : 32, nullptr);
    if (txb == 0) {
        Z7XML_SetError(db, XML_NOHEAP);
        return 0;
    }
    if (len) {
        Str s(heap, cont);
        Z7XS_Set(db, txb, reinterpret_cast<const uint8_t *>(s.text), s.len);
    }
    return txb;
}

uint32_t Z7XML_SetTagContentsXS(uint32_t db, uint32_t node, uint32_t txb) {
    const uint32_t heap = Begin(db, node);
    if (heap == 0) return 0;
    BlkHeapRef ref;
    const char *t = nullptr;
    uint32_t len = 0;
    if (!Z7XS_View(db, txb, ref, &t, &len)) {
        Z7XS_SetError(db, XS_NOREAD);
        Z7XML_SetError(db, XML_NOTXB);
        return 0;
    }
    if (PutStr(heap, node, N_SIZE, N_CONT, t, len, false)) return 1;
    Z7XML_SetError(db, XML_NOHEAP);
    return 0;
}

uint32_t Z7XML_Free(uint32_t db, uint32_t node) {
    const uint32_t heap = Begin(db, node);
    if (heap == 0) return 0;
    FreeTree(db, heap, node);
    Z7Heap_Compact(heap, 16);
    Z7XML_SetError(db, XML_OK);
    return 1;
}

uint32_t Z7XML_ParseText(uint32_t db, const char *text, uint32_t len) {
    const uint32_t heap = Begin(db, 0, false);
    if (heap == 0) return 0;
    Source src;
    src.mem = text;
    src.len = text ? len : 0;
    return Parse(db, heap, src);
}

uint32_t Z7XML_ParseXS(uint32_t db, uint32_t txb) {
    const uint32_t heap = Begin(db, 0, false);
    if (heap == 0) return 0;
    BlkHeapRef ref;  // the text stays locked while it is read in place
    Source src;
    if (!Z7XS_View(db, txb, ref, &src.mem, &src.len)) {
        Z7XML_SetError(db, XML_NOTXB);
        return 0;
    }
    return Parse(db, heap, src);
}

uint32_t Z7XML_ParseFile(uint32_t db, const char *path) {
    const uint32_t heap = Begin(db, 0, false);
    if (heap == 0) return 0;
    Source src;
    src.file = Z7Std_Hooks.file_open != nullptr && path != nullptr ? Z7Std_Hooks.file_open(path, 0) : 0;
    if (src.file == 0) {
        Z7XML_SetError(db, XML_NOREAD);
        return 0;
    }
    src.left = Z7Std_Hooks.file_size != nullptr ? Z7Std_Hooks.file_size(path) : 0;
    const uint32_t root = Parse(db, heap, src);
    if (Z7Std_Hooks.file_close != nullptr) Z7Std_Hooks.file_close(src.file);
    return root;
}

uint32_t Z7XML_WriteToMem(uint32_t db, uint32_t node, char *out, uint32_t size) {
    const uint32_t heap = Begin(db, node);
    if (heap == 0) return 0;
    Sink k;
    k.out = out;
    k.size = size;
    Write(heap, node, k);
    if (!k.ok) return 0;
    if (k.count < size) out[k.count] = 0;
    return uint32_t(k.count);
}

uint32_t Z7XML_WriteToXS(uint32_t db, uint32_t node, uint32_t txb) {
    const uint32_t heap = Begin(db, node);
    if (heap == 0) return 0;
    Sink count;
    Write(heap, node, count);
    if (count.count >= kMaxStr) {
        Z7XML_SetError(db, XML_NOMEASURE);
        return 0;
    }
    FillCtx ctx{heap, node};
    // a text buffer that cannot take the document, a bad handle included,
    // is a growth failure (error 6 is kept for text buffers that are read)
    if (Z7XS_Fill(db, txb, uint32_t(count.count), FillDoc, &ctx) == 0) {
        Z7XML_SetError(db, XML_NOHEAP);
        return 0;
    }
    return 1;
}

uint32_t Z7XML_WriteToFile(uint32_t db, uint32_t node, const char *path) {
    const uint32_t heap = Begin(db, node);
    if (heap == 0) return 0;
    Sink k;
    k.file = Z7Std_Hooks.file_open != nullptr && path != nullptr ? Z7Std_Hooks.file_open(path, 1) : 0;
    if (k.file == 0) {
        Z7XML_SetError(db, XML_NOWRITE);
        return 0;
    }
    Write(heap, node, k);
    if (Z7Std_Hooks.file_close != nullptr) Z7Std_Hooks.file_close(k.file);
    if (!k.ok) {
        Z7XML_SetError(db, XML_NOWRITE);
        return 0;
    }
    return 1;
}
