// Speed of the text-buffer, XML, RTU-slave and CSV pieces of the IEC block
// library.
//   BM_XmlParse1MB / BM_ExpatTree1MB: a 1 MB document into a tree, ours in
//       the application heap, libexpat's into a tree of std containers
//       (target: expat time / our time >= 1.0).
//   BM_XmlWrite1MB:  the same tree written into memory (target <= 10 ms).
//   BM_TxbAppend16:  the TXBAPPEND block adding 16 characters to a 64 KB
//       text (target <= 200 ns).
//   BM_RtuRecognise: the RTU slave's recogniser over a stream of requests for
//       another slave, 256 bytes an iteration (target <= 50 ns a byte).
//   BM_CsvLine6:     one CSV line of six values (target <= 2 us).
// Each reports the heap allocations it made ("mallocs", expected 0 except
// for libexpat).
#include <benchmark/benchmark.h>
#include <expat.h>

#include <cstring>
#include <string>
#include <vector>

#include "bench/malloc_count.h"
#include "core/image/bytes.h"
#include "iec/blocks/blkcsv.h"
#include "iec/blocks/blkform.h"
#include "iec/blocks/blkser.h"
#include "iec/blocks/blktxb.h"
#include "iec/blocks/blkxml.h"
#include "iec/vm/z7str.h"
#include "iec/vm/z7vm.h"
#include "tests/support/iec_db.h"

namespace {
std::vector<uint8_t> image;
uint32_t table = 0;

uint32_t Db() {
    static uint32_t db = [] {
        test_support::IecImage img;
        img.d8 = img.d16 = img.d32 = img.d64 = img.time = {63, 63, 0};
        img.str = {4, 4, 0};
        img.string_sizes = {64, 64, 64, 64};
        img.ext.assign(18, 0);
        img.ext[17] = 24u << 20;
        image = img.Build();
        // one variable list of six values
        table = uint32_t(image.size());
        image.resize(table + 8 + 8 + 6 * 8);
        LE_Put16(&image[table + 2], 1);
        LE_Put32(&image[table + 4], table + 8);
        LE_Put16(&image[table + 8], 6);
        const uint16_t e[6][2] = {{1, 1}, {2, 1}, {3, 2}, {5, 1}, {4, 1}, {11, 1}};
        for (uint32_t k = 0; k < 6; k++) {
            LE_Put16(&image[table + 16 + 8 * k], e[k][0]);
            LE_Put16(&image[table + 16 + 8 * k + 2], e[k][1]);
        }
        const uint32_t d = test_support::IecColdDb(image, "B");
        BlkLib_Install();
        Z7Mem_Put8(Z7Sec_Elem(d, Z7SEC_D8, 1), 1);
        Z7Mem_Put32(Z7Sec_Elem(d, Z7SEC_D32, 1), uint32_t(-5));
        Z7Mem_Put32(Z7Sec_Elem(d, Z7SEC_D32, 2), 0x3FC00000);
        Z7VMStr_AscForce(Z7VMStr_Slot(d, 1), "ok", 2);
        Z7Mem_Put32(Z7Sec_Elem(d, Z7SEC_TIME, 1), 1000);
        Z7Mem_Put16(Z7Sec_Elem(d, Z7SEC_D16, 1), 0xFFF9);
        return d;
    }();
    return db;
}

const std::string &Doc() {
    static const std::string doc = [] {
        std::string s = "<?xml version=\"1.0\"?><root>";
        for (uint32_t k = 0; s.size() < (1u << 20) - 100; k++)
            s += "<item id=\"" + std::to_string(k) + "\" name=\"a&amp;b\"><v>value " + std::to_string(k) +
                 " &lt;ok&gt;</v><w/></item>";
        return s + "</root>";
    }();
    return doc;
}

void BM_XmlParse1MB(benchmark::State &state) {
    const uint32_t db = Db();
    const std::string &doc = Doc();
    std::size_t mallocs = 0, nodes = 0;
    for (auto _ : state) {
        const std::size_t before = malloc_calls;
        const uint32_t root = Z7XML_ParseText(db, doc.data(), uint32_t(doc.size()));
        mallocs += malloc_calls - before;
        state.PauseTiming();
        if (root == 0) std::abort();
        nodes = Z7XML_Count(db);
        Z7XML_Free(db, root);
        Z7Heap_FreeAll(Blk_Heap(db));  // a fresh heap for the next run
        state.ResumeTiming();
    }
    state.counters["nodes"] = double(nodes);
    state.counters["mallocs"] = double(mallocs);
    state.SetBytesProcessed(int64_t(state.iterations() * doc.size()));
}
BENCHMARK(BM_XmlParse1MB)->Unit(benchmark::kMillisecond);

struct ENode {
    std::string name, text;
    std::vector<std::pair<std::string, std::string>> attrs;
    std::vector<ENode> kids;
};
struct ETree {
    ENode root;
    std::vector<ENode *> stack;
};
void XMLCALL EStart(void *u, const XML_Char *name, const XML_Char **atts) {
    ETree &t = *static_cast<ETree *>(u);
    ENode *n = &t.root;
    if (!t.stack.empty()) {
        t.stack.back()->kids.emplace_back();
        n = &t.stack.back()->kids.back();
    }
    n->name = name;
    for (const XML_Char **a = atts; *a; a += 2) n->attrs.emplace_back(a[0], a[1]);
    t.stack.push_back(n);
}
void XMLCALL EEnd(void *u, const XML_Char *) { static_cast<ETree *>(u)->stack.pop_back(); }
void XMLCALL EChars(void *u, const XML_Char *s, int len) {
    ETree &t = *static_cast<ETree *>(u);
    if (!t.stack.empty()) t.stack.back()->text.append(s, size_t(len));
}

void BM_ExpatTree1MB(benchmark::State &state) {
    const std::string &doc = Doc();
    for (auto _ : state) {
        ETree t;
        XML_Parser p = XML_ParserCreate(nullptr);
        XML_SetUserData(p, &t);
        XML_SetElementHandler(p, EStart, EEnd);
        XML_SetCharacterDataHandler(p, EChars);
        if (XML_Parse(p, doc.data(), int(doc.size()), 1) != XML_STATUS_OK) std::abort();
        XML_ParserFree(p);
        benchmark::DoNotOptimize(t.root.kids.size());
    }
    state.SetBytesProcessed(int64_t(state.iterations() * doc.size()));
}
BENCHMARK(BM_ExpatTree1MB)->Unit(benchmark::kMillisecond);

void BM_XmlWrite1MB(benchmark::State &state) {
    const uint32_t db = Db();
    const std::string &doc = Doc();
    const uint32_t root = Z7XML_ParseText(db, doc.data(), uint32_t(doc.size()));
    std::vector<char> out(2u << 20);
    std::size_t mallocs = 0, len = 0;
    for (auto _ : state) {
        const std::size_t before = malloc_calls;
        len = Z7XML_WriteToMem(db, root, out.data(), uint32_t(out.size()));
        mallocs += malloc_calls - before;
    }
    if (len == 0) std::abort();
    Z7XML_Free(db, root);
    Z7Heap_FreeAll(Blk_Heap(db));  // a fresh heap for the next run
    state.counters["bytes"] = double(len);
    state.counters["mallocs"] = double(mallocs);
}
BENCHMARK(BM_XmlWrite1MB)->Unit(benchmark::kMillisecond);

uint32_t List(const std::vector<uint16_t> &ops) {
    const uint32_t l = Z7Mem_Alloc(uint32_t(2 + 2 * ops.size()));
    Z7Mem_Put16(l, uint16_t(ops.size()));
    for (size_t k = 0; k < ops.size(); k++) Z7Mem_Put16(l + 2 + 2 * uint32_t(k), ops[k]);
    return l + 2;
}

void BM_TxbAppend16(benchmark::State &state) {
    const uint32_t db = Db();
    const std::string base(65536, 'x');
    const uint32_t h = Z7XS_Alloc(db, 0, base.c_str());
    Z7Mem_Put32(Z7Sec_Elem(db, Z7SEC_D32, 5), h);
    Z7VMStr_AscForce(Z7VMStr_Slot(db, 2), "0123456789abcdef", 16);
    FbHandler fn = Z7Blocks_GetProc(Z7Blocks_Find("TXBAPPEND"));
    const uint32_t arg = List({5, 5, 2, 3});  // STRING, handle D5, text S2, OK B3
    std::size_t mallocs = 0;
    uint32_t k = 0;
    for (auto _ : state) {
        const std::size_t before = malloc_calls;
        fn(FB_EXEC, db, 0, 0, arg);
        mallocs += malloc_calls - before;
        if (++k == 1024) {
            state.PauseTiming();
            Z7XS_Set(db, h, reinterpret_cast<const uint8_t *>(base.data()), uint32_t(base.size()));
            k = 0;
            state.ResumeTiming();
        }
    }
    if (Z7Mem_Get8(Z7Sec_Elem(db, Z7SEC_D8, 3)) != 1) std::abort();
    state.counters["mallocs"] = double(mallocs);
    Z7XS_Free(db, h);
    Z7Mem_Free(arg - 2);
}
BENCHMARK(BM_TxbAppend16);

void BM_RtuRecognise(benchmark::State &state) {
    // requests for slave 18 seen by slave 17: every one is recognised and dropped
    const uint8_t frame[8] = {0x12, 0x03, 0x00, 0x6b, 0x00, 0x03, 0x76, 0xb4};
    static uint8_t m[RTU_SIZE];
    std::size_t mallocs = 0, bytes = 0;
    for (auto _ : state) {
        std::memset(m + RTU_COUNT, 0, 12);
        for (uint32_t k = 0; k < 256; k++) m[RTU_RX + k] = frame[k % 8];
        LE_Put16(m + RTU_COUNT, 256);
        const std::size_t before = malloc_calls;
        uint32_t len = 0;
        while (BlkRtu_Recognise(m, 17, &len)) {
            const uint32_t c = LE_Get16(m + RTU_COUNT);
            std::memmove(m + RTU_RX, m + RTU_RX + len, c - len);
            std::memset(m + RTU_COUNT, 0, 8);
            LE_Put16(m + RTU_COUNT, uint16_t(c - len));
        }
        mallocs += malloc_calls - before;
        bytes += 256;
    }
    state.counters["mallocs"] = double(mallocs);
    state.SetBytesProcessed(int64_t(bytes));
}
BENCHMARK(BM_RtuRecognise);

bool ToBuf(void *ctx, const char *t, uint32_t n) {
    std::string *s = static_cast<std::string *>(ctx);
    s->append(t, n);
    return true;
}
void BM_CsvLine6(benchmark::State &state) {
    const uint32_t db = Db();
    std::string line;
    line.reserve(256);
    const CsvSink sink{ToBuf, &line};
    std::size_t mallocs = 0;
    for (auto _ : state) {
        line.clear();
        const std::size_t before = malloc_calls;
        // checked, then written, as the block does
        if (BlkCsv_Line(db, image.data(), uint32_t(image.size()), table, 0, nullptr) != 0 ||
            BlkCsv_Line(db, image.data(), uint32_t(image.size()), table, 0, &sink) != 0)
            std::abort();
        mallocs += malloc_calls - before;
    }
    if (line != "\"1\";\"-5\";\"1.5\";\"ok\";\"1000\";\"-7\"\n") std::abort();
    state.counters["mallocs"] = double(mallocs);
}
BENCHMARK(BM_CsvLine6);
}  // namespace

BENCHMARK_MAIN();
