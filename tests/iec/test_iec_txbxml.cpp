// Text buffers, XML documents and operator menus through their blocks, as an
// IEC program calls them: handles in DINTs, texts in STRINGs, files under the
// test's root; expected texts and codes worked out by hand.
#include <pthread.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "iec/blocks/blkform.h"
#include "iec/blocks/blktxb.h"
#include "iec/blocks/blkxml.h"
#include "iec/services/z7svc.h"
#include "iec/vm/z7stdlib.h"
#include "iec/vm/z7str.h"
#include "tests/iec/iec_fixture.h"

namespace iec_test {
using test_support::IecImage;

class TxbXml : public IecTest {
protected:
    uint32_t db = 0;
    // strings 1..8: STRING(255); 9: STRING(10); 10: STRING(4)
    void SetUp() override { Boot(1 << 20); }
    void Boot(int32_t heap, uint32_t ct_bytes = 0) {
        IecTest::SetUp();
        IecImage img;
        img.ct_alloc = img.ct_used = ct_bytes;
        img.d8 = img.d16 = img.d32 = img.d64 = img.time = {63, 63, 0};
        img.str = {10, 10, 0};
        img.string_sizes = {255, 255, 255, 255, 255, 255, 255, 255, 10, 4};
        img.map_vars.push_back({2, 40, 1, 0, 0, 1, "V", {}});
        img.map_vars.push_back({5, 8, 1, 255, 0, 1, "S", {}});
        img.ext.assign(18, 0);
        img.ext[17] = uint32_t(heap);
        ASSERT_EQ(Start(img, db), 0u);
        BlkLib_Install();
        Z7Svc_InstallStdHooks();
    }
    void TearDown() override {
        BlkLib_Remove();
        if (db) Z7Def_Stop(db, nullptr, "/mnt/cfg/z7.ret", "APP");
        IecTest::TearDown();
    }
    uint32_t Call(const char *name, const std::vector<uint16_t> &ops, uint32_t inst = 0, uint32_t cmd = FB_EXEC) {
        FbHandler h = Z7Blocks_GetProc(Z7Blocks_Find(name));
        EXPECT_NE(h, nullptr) << name;
        return h != nullptr ? CallHandler(h, db, ops, inst, cmd) : 0xFFFFFFFF;
    }
    int32_t D(uint32_t i) const { return int32_t(Z7Mem_Get32(Z7Sec_Elem(db, Z7SEC_D32, i))); }
    void SetD(uint32_t i, int32_t v) const { Z7Mem_Put32(Z7Sec_Elem(db, Z7SEC_D32, i), uint32_t(v)); }
    uint8_t B(uint32_t i) const { return Z7Mem_Get8(Z7Sec_Elem(db, Z7SEC_D8, i)); }
    void SetB(uint32_t i, uint8_t v) const { Z7Mem_Put8(Z7Sec_Elem(db, Z7SEC_D8, i), v); }
    void SetS(uint32_t i, const std::string &t) { Z7VMStr_AscForce(Z7VMStr_Slot(db, i), t.data(), uint32_t(t.size())); }
    std::string S(uint32_t i) {
        const uint32_t n = Z7VMStr_GetLength(db, i);
        const uint8_t *p = Z7Mem_Ptr(Z7VMStr_GetText(db, i), n);
        return p ? std::string(reinterpret_cast<const char *>(p), n) : std::string();
    }
    uint32_t TxbErr() const { return Z7XS_LastError(db); }
    uint32_t XmlErr() const { return Z7XML_LastError(db); }
    std::string Text(uint32_t h) {
        std::string out(Z7XS_GetLength(db, h) + 1, '\0');
        out.resize(Z7XS_Get(db, h, out.data(), uint32_t(out.size())));
        return out;
    }
    std::string FileText(const std::string &rel) {
        std::ifstream f(root / rel, std::ios::binary);
        std::stringstream s;
        s << f.rdbuf();
        return s.str();
    }
    // Text buffer holding t (through TXBNEWSTRING, string 7 and DINT 63).
    uint32_t NewTxb(const std::string &t) {
        SetS(7, t);
        Call("TXBNEWSTRING", {7, 63});
        return uint32_t(D(63));
    }
};

TEST_F(TxbXml, TextBufferBlocksWriteReadLinesCopiesAndErrors) {
    // D: 1 handle, 2 value, 3 length, 4 second handle; B: 1 OK; S: 1 text, 9 STRING(10)
    const uint32_t h = NewTxb("Hello");
    ASSERT_NE(h, 0u);
    SetD(1, int32_t(h));
    SetD(2, 42);
    Call("TXBAPPEND", {2, 1, 2, 1});
    EXPECT_EQ(B(1), 1);
    SetS(1, "!");
    Call("TXBAPPENDLINE", {1, 1, 1});
    Call("TXBGETLENGTH", {1, 3});
    EXPECT_EQ(D(3), 9);
    SetS(2, "/mnt/cfg/t.txt");
    SetB(1, 0);
    Call("TXBWRITEFILE", {1, 2, 1});
    EXPECT_EQ(B(1), 1);
    EXPECT_EQ(FileText("mnt/cfg/t.txt"), "Hello42!\n");
    Call("TXBREADFILE", {2, 4});
    ASSERT_NE(D(4), 0);
    EXPECT_EQ(Text(uint32_t(D(4))), "Hello42!\n");
    Call("TXBGETLENGTH", {4, 3});
    EXPECT_EQ(D(3), 9);
    SetS(2, "/mnt/cfg/missing.txt");
    Call("TXBREADFILE", {2, 5});
    EXPECT_EQ(D(5), 0);
    EXPECT_EQ(TxbErr(), 6u);
    SetS(2, "/mnt/nodir/x.txt");
    Call("TXBWRITEFILE", {1, 2, 1});
    EXPECT_EQ(B(1), 0);
    EXPECT_EQ(TxbErr(), 7u);

    // copy then append the copy: 18; append a buffer to itself: the text twice
    Call("TXBNEW", {6});
    Call("TXBCOPY", {6, 1, 1});
    Call("TXBAPPENDTXB", {6, 1, 1});
    Call("TXBGETLENGTH", {6, 3});
    EXPECT_EQ(D(3), 18);
    Call("TXBAPPENDTXB", {6, 6, 1});
    EXPECT_EQ(B(1), 1);
    EXPECT_EQ(Text(uint32_t(D(6))), "Hello42!\nHello42!\nHello42!\nHello42!\n");
    Call("TXBCOPY", {6, 6, 1});
    EXPECT_EQ(B(1), 1);
    EXPECT_EQ(Z7XS_GetLength(db, uint32_t(D(6))), 36u);

    // lines into a STRING(10)
    struct Line {
        std::string got;
        uint8_t ok;
        uint32_t err;
    };
    auto lines = [&](const std::string &text, uint32_t n) {
        SetS(1, text);
        Call("TXBSETSTRING", {1, 1, 1});
        std::vector<Line> out;
        for (uint32_t k = 0; k < n; k++) {
            Call("TXBGETLINE", {1, 9, 1});
            out.push_back({S(9), B(1), TxbErr()});
        }
        return out;
    };
    auto eq = [](const std::vector<Line> &a, const std::vector<Line> &b) {
        ASSERT_EQ(a.size(), b.size());
        for (size_t k = 0; k < a.size(); k++) {
            EXPECT_EQ(a[k].got, b[k].got) << k;
            EXPECT_EQ(a[k].ok, b[k].ok) << k;
            EXPECT_EQ(a[k].err, b[k].err) << k;
        }
    };
    eq(lines("AB\r\nCD", 3), {{"AB\r", 1, 0}, {"CD", 1, 0}, {"", 0, 0}});
    eq(lines("ABCDEFGHIJKLMNOPQRST\nX", 4), {{"ABCDEFGHI", 1, 5}, {"JKLMNOPQR", 1, 5}, {"ST", 1, 0}, {"X", 1, 0}});
    // exactly nine characters before the line feed: a whole line
    eq(lines("ABCDEFGHI\nJ", 3), {{"ABCDEFGHI", 1, 0}, {"J", 1, 0}, {"", 0, 0}});
    // a one-character destination still moves on
    char one[2];
    Z7XS_Rewind(db, h);
    EXPECT_EQ(Z7XS_GetLine(db, h, one, 2), 1u);
    EXPECT_EQ(std::string(one), "A");
    EXPECT_EQ(TxbErr(), 5u);
    Call("TXBREWIND", {1, 1});
    Call("TXBGETLINE", {1, 9, 1});
    EXPECT_EQ(S(9), "ABCDEFGHI");

    // strings, data arrays (8-bit 10..17, count 8) and clearing
    Call("TXBGETSTRING", {1, 10});
    EXPECT_EQ(S(10), "ABCD");
    for (uint8_t k = 0; k < 8; k++) SetB(10 + k, uint8_t("xyz\0abc"[k]));
    Call("TXBSETDATA", {1, 10, 8, 1});
    EXPECT_EQ(B(1), 1);
    EXPECT_EQ(Text(h), "xyz");
    // the text block itself, for a reader in place; error 4 for a bad handle
    EXPECT_EQ(Z7XS_GetTextHandle(db, h ^ 0x5A5A), 0u);
    EXPECT_EQ(TxbErr(), 4u);
    EXPECT_NE(Z7XS_GetTextHandle(db, h), 0u);
    EXPECT_EQ(TxbErr(), 0u);
    SetS(1, "0123456789");
    Call("TXBSETSTRING", {1, 1, 1});
    Call("TXBGETDATA", {1, 10, 4, 1});
    EXPECT_EQ(B(1), 1);
    EXPECT_EQ(std::string({char(B(10)), char(B(11)), char(B(12)), char(B(13)), char(B(14))}), std::string("012\0a", 5));
    char none[2] = {'Q', 'Q'};  // a destination of size 0 gets nothing, not even a terminator
    EXPECT_EQ(Z7XS_Get(db, h, none, 0), 0u);
    EXPECT_EQ(Z7XS_GetLine(db, h, none, 0), 0u);
    EXPECT_EQ(none[0], 'Q');
    SetB(10, 'Q');
    Call("TXBGETDATA", {1, 10, 0, 1});  // no room: nothing written
    EXPECT_EQ(B(10), 'Q');
    EXPECT_EQ(B(1), 0);
    Call("TXBGETDATA", {1, 60, 8, 1});  // array past the 8-bit section (64 bytes)
    EXPECT_EQ(B(1), 0);
    Call("TXBSETDATA", {1, 60, 8, 1});
    EXPECT_EQ(B(1), 0);
    EXPECT_EQ(Text(h), "0123456789");
    Call("TXBCLEAR", {1, 1});
    EXPECT_EQ(Text(h), "");

    Call("TXBANSITOUTF8", {1, 1});
    EXPECT_EQ(B(1), 0);
    EXPECT_EQ(TxbErr(), 10u);
    Call("TXBUTF8TOANSI", {1, 1});
    EXPECT_EQ(TxbErr(), 10u);
    Call("TXBLASTERROR", {3});
    EXPECT_EQ(D(3), 10);
    Call("TXBMANAGER", {2, 3});
    EXPECT_EQ(B(2), 1);
    EXPECT_EQ(D(3), 3);  // h, the read file, the copy
    for (uint32_t i : {4u, 6u}) Call("TXBFREE", {uint16_t(i), 1});
    Call("TXBFREE", {1, 1});
    EXPECT_EQ(B(1), 1);
    Call("TXBFREE", {1, 1});
    EXPECT_EQ(B(1), 0);
    EXPECT_EQ(TxbErr(), 4u);
    Call("TXBMANAGER", {2, 3});
    EXPECT_EQ(D(3), 0);
    SetD(3, 77);
    Call("TXBGETLENGTH", {1, 3});
    EXPECT_EQ(D(3), 0);
    EXPECT_EQ(TxbErr(), 4u);
}

TEST_F(TxbXml, ParsedDocumentIsWalkedReadAndWrittenBack) {
    const std::string doc =
        "<?xml version=\"1.0\"?>\n<!-- note -->\n<a x=\"1\" Y=\"&lt;q&gt;\"><b/>text &amp; more<c n=\"2\">C1</c></a>tail";
    SetD(1, int32_t(NewTxb("")));
    ASSERT_EQ(Z7XS_Set(db, uint32_t(D(1)), reinterpret_cast<const uint8_t *>(doc.data()), uint32_t(doc.size())), 1u);
    Call("XMLPARSEDOCTXB", {1, 2});  // D2 root
    const uint32_t a = uint32_t(D(2));
    ASSERT_NE(a, 0u);
    EXPECT_EQ(XmlErr(), 0u);
    Call("XMLGETTAGNAME", {2, 3});
    EXPECT_EQ(S(3), "a");
    // attributes: STRING "y", DINT "X", missing "zz" leaves the DINT alone
    SetS(4, "y");
    Call("XMLGETTAGATTRIB", {5, 2, 4, 5, 1});
    EXPECT_EQ(S(5), "<q>");
    EXPECT_EQ(B(1), 1);
    SetS(4, "X");
    Call("XMLGETTAGATTRIB", {2, 2, 4, 3, 1});
    EXPECT_EQ(D(3), 1);
    SetS(4, "zz");
    SetD(3, 77);
    Call("XMLGETTAGATTRIB", {2, 2, 4, 3, 1});
    EXPECT_EQ(D(3), 77);
    EXPECT_EQ(B(1), 0);
    EXPECT_EQ(XmlErr(), 0u);
    // children b, c, then none; filter "C" finds c
    SetS(4, "");
    Call("XMLFIRSTCHILD", {2, 4, 3});
    const uint32_t b = uint32_t(D(3));
    Call("XMLNEXTCHILD", {2, 3, 4, 5});
    const uint32_t c = uint32_t(D(5));
    Call("XMLNEXTCHILD", {2, 5, 4, 6});
    EXPECT_EQ(D(6), 0);
    Call("XMLGETTAGNAME", {3, 6});
    EXPECT_EQ(S(6), "b");
    Call("XMLGETTAGNAME", {5, 6});
    EXPECT_EQ(S(6), "c");
    SetS(4, "C");
    Call("XMLFIRSTCHILD", {2, 4, 7});
    EXPECT_EQ(uint32_t(D(7)), c);
    Call("XMLCHECKTAGNAME", {7, 4, 1});
    EXPECT_EQ(B(1), 1);
    Call("XMLGETTAGCONT", {5, 5, 6, 1});
    EXPECT_EQ(S(6), "C1");
    SetS(4, "n");
    Call("XMLGETTAGATTRIB", {2, 5, 4, 8, 1});
    EXPECT_EQ(D(8), 2);
    Call("XMLGETTAGCONT", {5, 2, 6, 1});
    EXPECT_EQ(S(6), "text & more");
    Call("XMLGETPARENT", {5, 9});
    EXPECT_EQ(uint32_t(D(9)), a);
    // c is no child of b
    SetS(4, "");
    Call("XMLNEXTCHILD", {5, 3, 4, 6});
    EXPECT_EQ(D(6), 0);
    EXPECT_EQ(XmlErr(), 4u);
    Call("XMLMANAGER", {2, 10, 11});
    EXPECT_EQ(D(10), 3);
    EXPECT_EQ(D(11), 3);
    Call("XMLWRITEDOCTXB", {2, 1, 1});
    EXPECT_EQ(B(1), 1);
    EXPECT_EQ(Text(uint32_t(D(1))),
              "<?xml version=\"1.0\" standalone=\"yes\"?><a x=\"1\" Y=\"&lt;q&gt;\"><b/><c n=\"2\">C1</c></a>");
    // a text buffer that cannot be grown for the document, a bad handle
    // included, is the heap-exhausted error
    SetD(12, 0x5A5A);
    Call("XMLWRITEDOCTXB", {2, 12, 1});
    EXPECT_EQ(B(1), 0);
    EXPECT_EQ(XmlErr(), 5u);
    // freeing c leaves b as a's only child
    Call("XMLFREEDOC", {5, 1});
    EXPECT_EQ(B(1), 1);
    EXPECT_EQ(Z7XML_FirstChild(db, a, ""), b);
    EXPECT_EQ(Z7XML_NextChild(db, a, b, ""), 0u);
    EXPECT_EQ(Z7XML_Count(db), 2u);
    Call("XMLFREEDOC", {5, 1});
    EXPECT_EQ(B(1), 0);
    EXPECT_EQ(XmlErr(), 4u);
    Call("XMLFREEDOC", {2, 1});
    EXPECT_EQ(Z7XML_Count(db), 0u);
    Z7XS_Free(db, uint32_t(D(1)));
}

TEST_F(TxbXml, BuiltDocumentEscapesAndSyntaxFaultsLeaveNothing) {
    SetS(1, "cfg");
    Call("XMLNEWDOC", {1, 1});
    SetS(1, "item");
    Call("XMLADDCHILD", {1, 1, 2});
    SetS(1, "id");
    SetD(3, 7);
    Call("XMLSETTAGATTRIB", {2, 2, 1, 3, 1});
    SetS(1, "ID");
    SetD(3, 8);
    Call("XMLSETTAGATTRIB", {2, 2, 1, 3, 1});
    EXPECT_EQ(B(1), 1);
    SetS(1, "x<y & \"z\"");
    Call("XMLSETTAGCONT", {5, 2, 1, 1});
    SetS(1, "empty");
    Call("XMLADDCHILD", {1, 1, 4});
    SetS(1, "v");
    SetS(2, "it's");
    Call("XMLSETTAGATTRIB", {5, 4, 1, 2, 1});
    SetD(5, int32_t(NewTxb("")));
    Call("XMLWRITEDOCTXB", {1, 5, 1});
    EXPECT_EQ(Text(uint32_t(D(5))),
              "<?xml version=\"1.0\" standalone=\"yes\"?><cfg><item id=\"8\">x&lt;y &amp; "
              "&quot;z&quot;</item><empty v=\"it&apos;s\"/></cfg>");
    Call("XMLGETTAGCONTT", {2, 6});
    EXPECT_EQ(Z7XS_GetLength(db, uint32_t(D(6))), 9u);
    SetS(3, "/mnt/cfg/x.xml");
    Call("XMLWRITEDOCFILE", {1, 3, 1});
    EXPECT_EQ(B(1), 1);
    EXPECT_EQ(FileText("mnt/cfg/x.xml"), Text(uint32_t(D(5))));
    Call("XMLPARSEDOCFILE", {3, 7});
    ASSERT_NE(D(7), 0);
    char back[512];
    EXPECT_EQ(Z7XML_WriteToMem(db, uint32_t(D(7)), back, sizeof back), Text(uint32_t(D(5))).size());
    EXPECT_EQ(std::string(back), Text(uint32_t(D(5))));
    EXPECT_EQ(Z7XML_Count(db), 6u);
    Z7XML_Free(db, uint32_t(D(7)));
    Z7XML_Free(db, uint32_t(D(1)));

    struct Bad {
        std::string doc;
        uint32_t err;
    };
    const Bad bad[] = {
        {"<a><b></B2></a>", 7},
        {"<a x='1'/>", 7},
        {"<a x=\"&foo;\"/>", 7},
        {"<a><b>", 7},
        {"", 7},
        {"just text", 7},
        {"</a>", 7},
        {"<a x=\"1\" =\"2\"/>", 7},
        {"<a/ >", 7},
        {std::string(600, 'n').insert(0, "<"), 7},
    };
    for (const Bad &t : bad) {
        EXPECT_EQ(Z7XML_ParseText(db, t.doc.data(), uint32_t(t.doc.size())), 0u) << t.doc;
        EXPECT_EQ(XmlErr(), t.err) << t.doc;
        EXPECT_EQ(Z7XML_Count(db), 0u) << t.doc;
    }
    SetS(3, "/mnt/cfg/none.xml");
    Call("XMLPARSEDOCFILE", {3, 7});
    EXPECT_EQ(D(7), 0);
    EXPECT_EQ(XmlErr(), 8u);
    // closing tags ignore case; an unknown reference in contents is kept;
    // long contents arrive whole
    const std::string ok = "<a><b>t &x; &#65; &toolongname;</B>" + std::string(1300, 'z') + "</A>";
    const uint32_t r = Z7XML_ParseText(db, ok.data(), uint32_t(ok.size()));
    ASSERT_NE(r, 0u);
    char cont[2048];
    Z7XML_GetTagContents(db, Z7XML_FirstChild(db, r, "b"), cont, sizeof cont);
    EXPECT_EQ(std::string(cont), "t &x; &#65; &toolongname;");
    Z7XML_GetTagContents(db, r, cont, sizeof cont);
    EXPECT_EQ(std::string(cont), std::string(1300, 'z'));
    EXPECT_EQ(Z7XML_AppendContents(db, r, "+tail"), 1u);  // joined in a longer block
    Z7XML_GetTagContents(db, r, cont, sizeof cont);
    EXPECT_EQ(std::string(cont), std::string(1300, 'z') + "+tail");
    Z7XML_Free(db, r);
    // a comment or "<>" inside contents takes the text after it up to the next
    // tag along; blanks before a closing tag's '>' are allowed
    struct Skip {
        std::string doc, cont;
    };
    const Skip skips[] = {
        {"<a>x<!-- c -->skipped<b/>tail</a >", "xtail"},
        {"<a>p<>q<b/>r</a>", "pr"},
        {"<!DOCTYPE a><a>s<?pi?>t<b/></a>", "s"},
    };
    for (const Skip &t : skips) {
        const uint32_t root = Z7XML_ParseText(db, t.doc.data(), uint32_t(t.doc.size()));
        ASSERT_NE(root, 0u) << t.doc;
        Z7XML_GetTagContents(db, root, cont, sizeof cont);
        EXPECT_EQ(std::string(cont), t.cont) << t.doc;
        EXPECT_NE(Z7XML_FirstChild(db, root, "b"), 0u) << t.doc;
        EXPECT_EQ(Z7XML_Count(db), 2u) << t.doc;
        Z7XML_Free(db, root);
    }
    // 256 levels parse, 257 and 50,000 do not
    auto nested = [](uint32_t n) {
        std::string s;
        for (uint32_t k = 0; k < n; k++) s += "<a>";
        for (uint32_t k = 0; k < n; k++) s += "</a>";
        return s;
    };
    for (const uint32_t n : {256u, 257u, 50000u}) {
        const std::string s = nested(n);
        const uint32_t root = Z7XML_ParseText(db, s.data(), uint32_t(s.size()));
        EXPECT_EQ(root != 0, n == 256) << n;
        EXPECT_EQ(XmlErr(), n == 256 ? 0u : 7u) << n;
        EXPECT_EQ(Z7XML_Count(db), n == 256 ? 256u : 0u) << n;
        if (root) Z7XML_Free(db, root);
    }
    EXPECT_EQ(Z7XML_Count(db), 0u);

    // a tree 5,000 levels deep is written and freed on a small stack (about 128 KB
    // once the 64 KB of thread-local storage is carved from it): neither recurses
    const uint32_t deep = Z7XML_Alloc(db, "a");
    uint32_t leaf = deep;
    for (int k = 1; k < 5000 && leaf; k++) leaf = Z7XML_AddChild(db, leaf, "a");
    ASSERT_NE(leaf, 0u);
    ASSERT_EQ(Z7XML_Count(db), 5000u);
    struct Job {
        uint32_t db, root, txb, wrote, freed;
    } job{db, deep, uint32_t(NewTxb("")), 0, 0};
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 192 * 1024);
    pthread_t t;
    ASSERT_EQ(pthread_create(
                  &t, &attr,
                  [](void *p) -> void * {
                      Job &j = *static_cast<Job *>(p);
                      j.wrote = Z7XML_WriteToXS(j.db, j.root, j.txb);
                      j.freed = Z7XML_Free(j.db, j.root);
                      return nullptr;
                  },
                  &job),
              0);
    pthread_join(t, nullptr);
    pthread_attr_destroy(&attr);
    EXPECT_EQ(job.wrote, 1u);
    EXPECT_EQ(job.freed, 1u);
    // the declaration, 4,999 "<a>", one "<a/>", 4,999 "</a>"
    EXPECT_EQ(Z7XS_GetLength(db, job.txb), 38u + 3 * 4999 + 4 + 4 * 4999);
    const std::string text = Text(job.txb);
    EXPECT_EQ(text.substr(0, 44), "<?xml version=\"1.0\" standalone=\"yes\"?><a><a>");
    EXPECT_EQ(text.substr(38 + 3 * 4999, 12), "<a/></a></a>");
    EXPECT_EQ(Z7XML_Count(db), 0u);
    Z7XS_Free(db, job.txb);
}

TEST_F(TxbXml, SymbolValuesHonourLocks) {
    // V is DINT 40, S is STRING 8
    SetS(1, "V");
    SetS(2, "1234");
    Call("XMLSETSYBVALUE", {1, 2, 0, 3});
    EXPECT_EQ(D(3), 1);
    EXPECT_EQ(D(40), 1234);
    Call("XMLGETSYBVALUE", {1, 0, 4});
    EXPECT_EQ(S(4), "1234");
    Z7Mem_Put8(Z7Sec_Elem(db, Z7SEC_LOCK, 40), 0x04);
    SetS(2, "99");
    Call("XMLSETSYBVALUE", {1, 2, 0, 3});
    EXPECT_EQ(D(40), 1234);
    Z7Mem_Put8(Z7Sec_Elem(db, Z7SEC_LOCK, 40), 0);
    SetS(1, "S");
    SetS(2, "hello");
    Call("XMLSETSYBVALUE", {1, 2, 0, 3});
    EXPECT_EQ(S(8), "hello");
    Call("XMLGETSYBVALUE", {1, 0, 10});
    EXPECT_EQ(S(10), "hell");  // cut to STRING(4)
    SetS(1, "NOPE");
    Call("XMLSETSYBVALUE", {1, 2, 0, 3});
    EXPECT_EQ(D(3), 0);
    Call("XMLGETSYBVALUE", {1, 0, 4});
    EXPECT_EQ(S(4), "");
}

// A forced STRING output keeps its text: TXBGETSTRING and TXBGETLINE still
// run (the line is consumed, OK is set) but leave the string as forced.
TEST_F(TxbXml, StringOutputsOfTextBuffersHonourLocks) {
    // D1 handle; B1 OK; S9 STRING(10) forced, S10 STRING(4) forced
    SetD(1, int32_t(NewTxb("one\ntwo")));
    SetS(9, "kept");
    SetS(10, "KEPT");
    Z7Mem_Put8(Z7Sec_Elem(db, Z7SEC_LOCK, 9), 0x20);
    Z7Mem_Put8(Z7Sec_Elem(db, Z7SEC_LOCK, 10), 0x20);
    Call("TXBGETSTRING", {1, 10});
    EXPECT_EQ(S(10), "KEPT");
    Call("TXBGETLINE", {1, 9, 1});
    EXPECT_EQ(S(9), "kept");
    EXPECT_EQ(B(1), 1);
    // the first line was consumed: unforced, the next call gives the second
    Z7Mem_Put8(Z7Sec_Elem(db, Z7SEC_LOCK, 9), 0);
    Z7Mem_Put8(Z7Sec_Elem(db, Z7SEC_LOCK, 10), 0);
    Call("TXBGETLINE", {1, 9, 1});
    EXPECT_EQ(S(9), "two");
    Call("TXBGETSTRING", {1, 10});
    EXPECT_EQ(S(10), "one\n");
}

TEST_F(TxbXml, MenuNavigation) {
    // D: 1 root, 2 setup, 3 scratch; HMIMENU operands: B 1..4, D 1; D 5, D 6, S 1, S 2
    SetS(3, "Main");
    Call("HMINEWMENU", {0, 3, 1});
    auto item = [&](uint16_t menu, const char *t, int32_t cmd) {
        SetS(3, t);
        SetD(4, cmd);
        Call("HMINEWMENUITEM", {menu, 3, 4, 3});
        EXPECT_NE(D(3), 0);
    };
    item(1, "Start", 11);
    SetS(3, "Setup");
    Call("HMINEWMENU", {1, 3, 2});
    item(2, "Speed", 21);
    item(2, "Limit", 22);
    item(1, "Stop", 12);
    const uint32_t inst = Z7Mem_Alloc(660);
    blocks.push_back(inst);
    EXPECT_EQ(Call("HMIMENU", {}, inst, FB_INSTSIZE), 660u);
    struct Step {
        uint8_t up, down, enter, back;
        std::string title, items;
        int32_t pos, cmd;
    };
    const Step steps[] = {
        {0, 0, 0, 0, "Main", "Start|Setup|Stop", 1, 0}, {0, 1, 0, 0, "Main", "Start|Setup|Stop", 2, 0},
        {0, 0, 1, 0, "Setup", "Speed|Limit", 1, 0},     {0, 1, 0, 0, "Setup", "Speed|Limit", 2, 0},
        {0, 0, 1, 0, "Setup", "Speed|Limit", 2, 22},    {0, 0, 0, 1, "Main", "Start|Setup|Stop", 1, 0},
        {1, 0, 0, 0, "Main", "Start|Setup|Stop", 3, 0}, {0, 0, 1, 0, "Main", "Start|Setup|Stop", 3, 12},
        {0, 0, 0, 1, "Main", "Start|Setup|Stop", 3, 0},  // BACK at the root
    };
    for (const Step &s : steps) {
        SetB(1, s.up);
        SetB(2, s.down);
        SetB(3, s.enter);
        SetB(4, s.back);
        Call("HMIMENU", {1, 2, 3, 4, 1, 5, 6, 1, 2}, inst);
        EXPECT_EQ(S(1), s.title);
        EXPECT_EQ(S(2), s.items);
        EXPECT_EQ(D(6), s.pos);
        EXPECT_EQ(D(5), s.cmd);
        // held buttons do nothing more
        Call("HMIMENU", {1, 2, 3, 4, 1, 5, 6, 1, 2}, inst);
        EXPECT_EQ(D(6), s.pos);
        EXPECT_EQ(D(5), 0);
        for (uint32_t k = 1; k <= 4; k++) SetB(k, 0);
        Call("HMIMENU", {1, 2, 3, 4, 1, 5, 6, 1, 2}, inst);
    }
    // the selected entry (Stop, its handle still in D3) freed: ENTER fires nothing
    Call("HMIDELMENU", {3, 5});
    EXPECT_EQ(B(5), 1);
    SetB(3, 1);
    Call("HMIMENU", {1, 2, 3, 4, 1, 5, 6, 1, 2}, inst);
    EXPECT_EQ(D(5), 0);
    EXPECT_EQ(D(6), 3);
    SetB(3, 0);
    Call("HMIMENU", {1, 2, 3, 4, 1, 5, 6, 1, 2}, inst);
    SetS(3, "Haupt");
    Call("HMIRENAMEMENU", {1, 3, 5});
    EXPECT_EQ(B(5), 1);
    Call("HMIDELMENU", {2, 5});
    EXPECT_EQ(B(5), 1);
    SetD(1, int32_t(Z7XML_Alloc(db, "MNU")));  // another root: rebuilt, no entries
    SetB(2, 1);
    Call("HMIMENU", {1, 2, 3, 4, 1, 5, 6, 1, 2}, inst);
    EXPECT_EQ(S(2), "");
    EXPECT_EQ(D(6), 1);
    SetB(2, 0);
    SetB(3, 1);
    Call("HMIMENU", {1, 2, 3, 4, 1, 5, 6, 1, 2}, inst);
    EXPECT_EQ(D(5), 0);

    // an item for no menu: no node, and the zero handle is a bad node
    Z7XML_SetError(db, 0);
    SetD(3, 77);
    SetS(3, "Orphan");
    SetD(4, 9);
    Call("HMINEWMENUITEM", {0, 3, 4, 3});
    EXPECT_EQ(D(3), 0);
    EXPECT_EQ(XmlErr(), 4u);

    // a menu of 40 items shows the first 32: "1|2|...|32" is 9 + 23 * 2 digits and 31 bars
    const uint32_t nodes = Z7XML_Count(db);
    SetS(3, "Many");
    Call("HMINEWMENU", {0, 3, 1});
    for (int32_t k = 1; k <= 40; k++) item(1, std::to_string(k).c_str(), 100 + k);
    EXPECT_EQ(Z7XML_Count(db), nodes + 41);
    for (uint32_t k = 1; k <= 4; k++) SetB(k, 0);
    Call("HMIMENU", {1, 2, 3, 4, 1, 5, 6, 1, 2}, inst);
    std::string want = "1";
    for (int32_t k = 2; k <= 32; k++) want += "|" + std::to_string(k);
    EXPECT_EQ(S(1), "Many");
    EXPECT_EQ(S(2), want);
    EXPECT_EQ(S(2).size(), 86u);
    SetB(1, 1);  // UP from the first entry wraps to the 32nd, not the 40th
    Call("HMIMENU", {1, 2, 3, 4, 1, 5, 6, 1, 2}, inst);
    EXPECT_EQ(D(6), 32);
    SetB(1, 0);
    Call("HMIMENU", {1, 2, 3, 4, 1, 5, 6, 1, 2}, inst);
    SetB(3, 1);
    Call("HMIMENU", {1, 2, 3, 4, 1, 5, 6, 1, 2}, inst);
    EXPECT_EQ(D(5), 132);
}

namespace {
// Stand-in application socket: what was sent, and the pieces a receive
// hands out (the last one with the closed report when closing is set).
struct FakeTcp {
    static inline std::string sent;
    static inline std::vector<std::string> pieces;
    static inline bool closing = false, endless = false;
    static int32_t Send(Z7SocketHandle, uint32_t len, const uint8_t *d, bool *closed) {
        sent.assign(reinterpret_cast<const char *>(d), len);
        *closed = false;
        return int32_t(len);
    }
    static int32_t Receive(Z7SocketHandle, uint32_t len, uint8_t *buf, bool *closed) {
        *closed = false;
        if (endless) {
            std::memset(buf, 'z', len);
            return int32_t(len);
        }
        if (pieces.empty()) return 0;
        const std::string p = pieces.front().substr(0, len);
        pieces.erase(pieces.begin());
        std::memcpy(buf, p.data(), p.size());
        *closed = pieces.empty() && closing;
        return int32_t(p.size());
    }
};
}  // namespace

TEST_F(TxbXml, TcpSendAndReceiveOnApplicationSockets) {
    const Z7StdHooks saved = Z7Std_Hooks;
    Z7Std_Hooks.tcp_send = FakeTcp::Send;
    Z7Std_Hooks.tcp_receive = FakeTcp::Receive;
    Z7VMRsc_Set(Z7VMRsc_GetFreeItem(db), 7, 0, 1, RSC_SOCKET);
    // D10 socket, D1 handle, D11 sent, D12 received
    SetD(1, int32_t(NewTxb("Hello")));
    SetD(10, 7);
    Call("TXBSENDTCP", {10, 1, 11});
    EXPECT_EQ(D(11), 5);
    EXPECT_EQ(FakeTcp::sent, "Hello");
    SetD(10, 8);  // no socket of the application: the output keeps its value
    SetD(11, 77);
    Call("TXBSENDTCP", {10, 1, 11});
    EXPECT_EQ(D(11), 77);
    SetD(10, 7);
    const std::string big(70000, 'b');
    Z7XS_Set(db, uint32_t(D(1)), reinterpret_cast<const uint8_t *>(big.data()), uint32_t(big.size()));
    Call("TXBSENDTCP", {10, 1, 11});
    EXPECT_EQ(D(11), 65535);
    // pieces are appended, the one with the closed report too; received adds up
    FakeTcp::pieces = {"abc", "de"};
    FakeTcp::closing = true;
    SetD(12, 3);
    Call("TXBRCVTCP", {10, 1, 12});
    EXPECT_EQ(Text(uint32_t(D(1))), "abcde");
    EXPECT_EQ(D(12), 8);
    // at most 64 KB a call
    FakeTcp::endless = true;
    SetD(12, 0);
    Call("TXBRCVTCP", {10, 1, 12});
    EXPECT_EQ(D(12), 65536);
    EXPECT_EQ(Z7XS_GetLength(db, uint32_t(D(1))), 65536u);
    FakeTcp::endless = false;
    Z7Std_Hooks = saved;
}

class TxbXmlNoHeap : public TxbXml {
protected:
    void SetUp() override { Boot(0); }
};

TEST_F(TxbXmlNoHeap, NothingHappens) {
    SetD(1, 5);
    SetS(1, "x");
    Call("TXBNEWSTRING", {1, 1});
    EXPECT_EQ(D(1), 5);
    Call("XMLNEWDOC", {1, 1});
    EXPECT_EQ(D(1), 0);
    Call("TXBMANAGER", {1, 2});
    EXPECT_EQ(B(1), 0);
    EXPECT_EQ(Z7XML_ParseText(db, "<a/>", 4), 0u);
}

// An application with a complex-type segment: a byte-array operand names a
// DINT holding the array's offset in that segment, not an 8-bit variable.
class TxbXmlComplex : public TxbXml {
protected:
    void SetUp() override { Boot(1 << 20, 64); }
};

TEST_F(TxbXmlComplex, DataArraysLieInTheComplexTypeSegment) {
    const uint32_t ct = Z7Sec_Addr(db, Z7SEC_CT);
    ASSERT_NE(ct, 0u);
    const uint32_t h = NewTxb("");
    ASSERT_NE(h, 0u);
    SetD(1, int32_t(h));
    SetD(10, 16);  // the array at byte 16 of the segment
    SetD(11, 60);  // 8 bytes from byte 60 pass the segment's 64
    for (uint8_t k = 0; k < 8; k++) {
        Z7Mem_Put8(ct + 16 + k, uint8_t("xyz\0abc"[k]));
        SetB(10 + k, uint8_t('a' + k));  // the 8-bit variables at the operand's index
    }
    Call("TXBSETDATA", {1, 10, 8, 1});
    EXPECT_EQ(B(1), 1);
    EXPECT_EQ(Text(h), "xyz");
    SetS(1, "0123456789");
    Call("TXBSETSTRING", {1, 1, 1});
    Call("TXBGETDATA", {1, 10, 4, 1});
    EXPECT_EQ(B(1), 1);
    const uint8_t *seg = Z7Mem_Ptr(ct + 16, 8);
    ASSERT_NE(seg, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(seg), 8), std::string("012\0abc", 8));
    for (uint8_t k = 0; k < 8; k++) EXPECT_EQ(B(10 + k), uint8_t('a' + k)) << int(k);
    Call("TXBGETDATA", {1, 11, 8, 1});
    EXPECT_EQ(B(1), 0);
    Call("TXBSETDATA", {1, 11, 8, 1});
    EXPECT_EQ(B(1), 0);
    EXPECT_EQ(Text(h), "0123456789");
}

}  // namespace iec_test
