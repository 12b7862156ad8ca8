// The XML parser and the line reader over any bytes: a document parsed from
// the input is written out, parsed again and written again, and both texts
// must be equal; a failed parse leaves no node. The same bytes are then read
// line by line into destinations of every size from 2 to 40 through a text
// buffer. Every node and text buffer is given back.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "iec/blocks/blktxb.h"
#include "iec/blocks/blkxml.h"
#include "iec/vm/z7parts.h"
#include "iec/vm/z7vm.h"
#include "tests/support/iec_db.h"

namespace {
uint32_t Db() {
    static const uint32_t db = test_support::IecHeapDb(4u << 20, "FUZZ");
    return db;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const uint32_t db = Db();
    if (size > 1 << 16) return 0;
    const char *text = reinterpret_cast<const char *>(data);
    const uint32_t root = Z7XML_ParseText(db, text, uint32_t(size));
    if (root == 0) {
        if (Z7XML_Count(db) != 0 || Z7XML_LastError(db) == 0) std::abort();
    } else {
        static std::vector<char> a(1 << 20), b(1 << 20);
        const uint32_t n = Z7XML_WriteToMem(db, root, a.data(), uint32_t(a.size()));
        Z7XML_Free(db, root);
        if (n == 0 || Z7XML_Count(db) != 0) std::abort();
        // A name may begin with '!' or '?' when blanks follow its '<' ("< !a/>");
        // written out it reads as a declaration, so such a document does not
        // come back the same, by the format's own rules. The writer escapes
        // '<' everywhere else, so "<!" or "<?" in its text can only be such a
        // name; the round trip is checked on every other document.
        const std::string_view written(a.data(), n);
        if (written.find("<!") == std::string_view::npos && written.find("<?") == std::string_view::npos) {
            const uint32_t again = Z7XML_ParseText(db, a.data(), n);
            if (again == 0) std::abort();
            const uint32_t m = Z7XML_WriteToMem(db, again, b.data(), uint32_t(b.size()));
            Z7XML_Free(db, again);
            if (m != n || std::memcmp(a.data(), b.data(), n) != 0) std::abort();
        }
    }
    const uint32_t h = Z7XS_Alloc(db, uint32_t(size) + 1, nullptr);
    if (h == 0 || !Z7XS_Set(db, h, data, uint32_t(size))) std::abort();
    const uint32_t len = Z7XS_GetLength(db, h);
    char line[48];
    for (uint32_t dst = 2; dst <= 40; dst += 1 + dst / 4) {
        Z7XS_Rewind(db, h);
        uint32_t got = 0, calls = 0;
        while (Z7XS_GetLine(db, h, line, dst)) {
            const size_t n = std::strlen(line);
            if (n > (dst > 2 ? dst - 2 : 1)) std::abort();
            got += uint32_t(n);
            if (++calls > len + 1) std::abort();  // every call moves on
        }
        if (got > len || line[0] != 0) std::abort();
    }
    Z7XS_Free(db, h);
    if (Z7XS_Count(db) != 0) std::abort();
    return 0;
}
