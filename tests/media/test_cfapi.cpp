// File API: CSV files written and read byte for byte in every format, names
// and their case on the media, copy, wildcard delete, tree removal and the
// free space of a drive.
#include <cmath>
#include <cstring>
#include <sys/statvfs.h>

#include "core/image/bytes.h"
#include "tests/media/media_fixture.h"
#include "tests/support/cf_rec.h"

using namespace media_test;

namespace {

class CfApi : public MediaTest {
protected:
    std::vector<uint8_t> data = std::vector<uint8_t>(8192, 0);
    uint32_t count = 0;

    CfTransferRec Rec(const char *name, uint32_t format, uint32_t n, int32_t start, uint32_t mode = 0,
                      uint8_t flag8 = 0) {
        CfTransferRec r = test_support::CfValuesRec(name, data.data(), uint32_t(data.size()), format, n, &count);
        r.start = start;
        r.mode = mode;
        r.flag8 = flag8;
        return r;
    }
    void W16(std::size_t i, uint16_t v) { LE_Put16(&data[2 * i], v); }
    void W32(std::size_t i, uint32_t v) { LE_Put32(&data[4 * i], v); }
    uint16_t R16(std::size_t i) const { return LE_Get16(&data[2 * i]); }
    uint32_t R32(std::size_t i) const { return LE_Get32(&data[4 * i]); }
    uint16_t Write(const char *name, uint32_t format, uint32_t n, int32_t per_line, uint32_t mode, bool end) {
        CfTransferRec r = Rec(name, format, n, per_line, mode, end ? 1 : 0);
        return CF_WriteFile(DRIVE_A, &r);
    }
};

float F(uint32_t bits) {
    float f;
    std::memcpy(&f, &bits, 4);
    return f;
}
uint32_t Bits(float f) {
    uint32_t b;
    std::memcpy(&b, &f, 4);
    return b;
}

}  // namespace

TEST_F(CfApi, CsvWriteFormatsModesAndFailures) {
    // Signed words, three per line, ended: the folder is created on the way.
    const int16_t v[] = {1, -2, 300, -32768, 32767, 0};
    for (int i = 0; i < 6; i++) W16(std::size_t(i), uint16_t(v[i]));
    EXPECT_EQ(Write("A:\\OUT\\W01.CSV", 5, 6, 3, 3, true), CF_OK);
    EXPECT_EQ(count, 6u);
    EXPECT_EQ(Get("mnt/USB0/OUT/W01.CSV"), "1,-2,300\r\n-32768,32767,0\r\n");
    // Append hexadecimal words; new-file mode on it refuses, the file stays.
    W16(0, 0xBEEF);
    W16(1, 0x7F);
    EXPECT_EQ(Write("A:\\OUT\\W01.CSV", 4, 2, 0, 1, true), CF_OK);
    const std::string both = "1,-2,300\r\n-32768,32767,0\r\nBEEF,7F\r\n";
    EXPECT_EQ(Get("mnt/USB0/OUT/W01.CSV"), both);
    EXPECT_EQ(Write("A:\\OUT\\W01.CSV", 4, 2, 0, 0, true), CF_EXISTS);
    EXPECT_EQ(Get("mnt/USB0/OUT/W01.CSV"), both);
    // Appending to a missing file creates nothing.
    EXPECT_EQ(Write("A:\\OUT\\NONE.CSV", 4, 2, 0, 1, true), CF_NOT_FOUND);
    EXPECT_FALSE(Exists("mnt/USB0/OUT/NONE.CSV"));

    // Every format appended into one line, the end flag only on the last.
    W32(0, uint32_t(-100000));
    W32(1, 2147483647u);
    EXPECT_EQ(Write("A:\\ONE.CSV", 3, 2, 0, 2, false), CF_OK);
    W32(0, 4000000000u);
    EXPECT_EQ(Write("A:\\ONE.CSV", 7, 1, 0, 1, false), CF_OK);
    W16(0, 65535);
    EXPECT_EQ(Write("A:\\ONE.CSV", 8, 1, 0, 1, false), CF_OK);
    W16(0, 0x8001);
    EXPECT_EQ(Write("A:\\ONE.CSV", 1, 1, 0, 1, false), CF_OK);
    W32(0, Bits(1.5f));
    W32(1, Bits(-0.25f));
    EXPECT_EQ(Write("A:\\ONE.CSV", 6, 2, 0, 1, false), CF_OK);
    std::memcpy(data.data(), "ab,c\0zz", 7);
    EXPECT_EQ(Write("A:\\ONE.CSV", 0, 10, 0, 1, true), CF_OK);
    EXPECT_EQ(count, 4u);
    EXPECT_EQ(Get("mnt/USB0/ONE.CSV"), "-100000,2147483647,4000000000,65535,1000000000000001,1.5,-0.25,\"ab,c\"\r\n");
    // Bits from consecutive bytes, bit 0 first; raw bytes as they are.
    data[0] = 0x05;
    data[1] = 0x01;
    EXPECT_EQ(Write("A:\\BITS.CSV", 2, 10, 4, 3, false), CF_OK);
    EXPECT_EQ(Get("mnt/USB0/BITS.CSV"), "1,0,1,0\r\n0,0,0,0\r\n1,0,");
    CfTransferRec raw = Rec("A:\\RAW.BIN", 0, 5, 0, 3);
    raw.kind = 0;
    std::memcpy(data.data(), "a\0b\r\n", 5);
    EXPECT_EQ(CF_WriteFile(DRIVE_A, &raw), CF_OK);
    EXPECT_EQ(ReadFile(P("mnt/USB0/RAW.BIN")), (std::vector<uint8_t>{'a', 0, 'b', '\r', '\n'}));

    // Refusals: bad record fields, a directory of that name, no card.
    EXPECT_EQ(Write("A:\\X.CSV", 9, 1, 0, 3, true), CF_INVALID);
    EXPECT_EQ(Write("A:\\X.CSV", 5, 0, 0, 3, true), CF_INVALID);
    EXPECT_EQ(Write("A:\\X.CSV", 5, 1, 0, 4, true), CF_INVALID);
    EXPECT_EQ(Write("A:\\.X", 5, 1, 0, 3, true), CF_INVALID);
    EXPECT_EQ(Write("A:\\OUT", 5, 1, 0, 3, true), CF_NO_SPACE);
    // A count beyond the data area writes nothing outside it.
    CfTransferRec small = Rec("A:\\SMALL.CSV", 5, 4, 0, 3, 1);
    small.data_size = 6;
    EXPECT_EQ(CF_WriteFile(DRIVE_A, &small), CF_INVALID);
    ASSERT_EQ(rename(P("mnt/USB0").c_str(), P("mnt/USB0.out").c_str()), 0);
    EXPECT_EQ(Write("A:\\OUT\\W01.CSV", 5, 1, 0, 2, true), CF_NOT_PRESENT);
}

TEST_F(CfApi, CsvReadByRowColumnAndRowCount) {
    // Written by another tool in lower case: found in any case.
    Put("mnt/USB0/in.csv", "10,20,30\r\n-40,50,60\r\n70,80,90\r\n100,110,120\r\n130,140,150\r\n");
    W16(4, 0x5A5A);
    CfTransferRec r = Rec("A:\\IN.CSV", 5, 4, 2);
    EXPECT_EQ(CF_ReadFile(DRIVE_A, &r), CF_OK);
    EXPECT_EQ(count, 4u);
    EXPECT_EQ(int16_t(R16(0)), 30);
    EXPECT_EQ(int16_t(R16(1)), -40);
    EXPECT_EQ(R16(2), 50);
    EXPECT_EQ(R16(3), 60);
    EXPECT_EQ(R16(4), 0x5A5A);
    // Row count.
    r = Rec("a:\\in.csv", 5, 0, -1);
    EXPECT_EQ(CF_ReadFile(DRIVE_A, &r), CF_OK);
    EXPECT_EQ(R16(0), 5);
    EXPECT_EQ(count, 1u);
    // Column 1 of rows 0-2.
    r = Rec("A:\\IN.CSV", 5, 1, int32_t(0x80030000u));
    EXPECT_EQ(CF_ReadFile(DRIVE_A, &r), CF_OK);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(R16(0), 20);
    EXPECT_EQ(R16(1), 50);
    EXPECT_EQ(R16(2), 80);
    EXPECT_EQ(R16(3), 0);  // the first 2,400 bytes are cleared for a short range
    // Column 2 from row 3 to the end; more rows asked than the file holds.
    r = Rec("A:\\IN.CSV", 3, 2 | (10u << 16), int32_t(0x80140003u));
    EXPECT_EQ(CF_ReadFile(DRIVE_A, &r), CF_EOF);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(R32(0), 120u);
    EXPECT_EQ(R32(1), 150u);
    r = Rec("A:\\IN.CSV", 5, 1, int32_t(0x80010002u));  // first row beyond the end row
    EXPECT_EQ(CF_ReadFile(DRIVE_A, &r), CF_INVALID);
    // More elements than the file holds.
    r = Rec("A:\\IN.CSV", 5, 20, 0);
    EXPECT_EQ(CF_ReadFile(DRIVE_A, &r), CF_EOF);
    EXPECT_EQ(count, 15u);
    EXPECT_EQ(R16(14), 150);

    // Text: quotes dropped, the comma inside kept, ended by a 0 byte.
    Put("mnt/USB0/T.CSV", "\"ab,c\",x\r\n");
    std::memset(data.data(), 0x7E, 16);
    r = Rec("A:\\T.CSV", 0, 10, 0);
    EXPECT_EQ(CF_ReadFile(DRIVE_A, &r), CF_OK);
    EXPECT_EQ(count, 4u);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(data.data())), "ab,c");
    r = Rec("A:\\T.CSV", 0, 127, 0);
    EXPECT_EQ(CF_ReadFile(DRIVE_A, &r), CF_INVALID);
    // Hexadecimal (other characters ignored), bits, bit fields, floats.
    Put("mnt/USB0/F.CSV", " BeEf , 7x f,1000000000000001,0,3,1.5e2\n");
    r = Rec("A:\\F.CSV", 4, 2, 0);
    EXPECT_EQ(CF_ReadFile(DRIVE_A, &r), CF_OK);
    EXPECT_EQ(R16(0), 0xBEEF);
    EXPECT_EQ(R16(1), 0x7F);
    r = Rec("A:\\F.CSV", 1, 1, 2);
    EXPECT_EQ(CF_ReadFile(DRIVE_A, &r), CF_OK);
    EXPECT_EQ(R16(0), 0x8001);
    data[0] = 0xFF;
    r = Rec("A:\\F.CSV", 2, 2, 3);
    EXPECT_EQ(CF_ReadFile(DRIVE_A, &r), CF_OK);
    EXPECT_EQ(data[0], 0xFE);  // bit 0 cleared, bit 1 set
    r = Rec("A:\\F.CSV", 6, 1, 5);
    EXPECT_EQ(CF_ReadFile(DRIVE_A, &r), CF_OK);
    EXPECT_EQ(F(R32(0)), 150.0f);
    // A read that would run past the data area stops at its end.
    r = Rec("A:\\IN.CSV", 5, 4, 0);
    r.data_size = 4;
    EXPECT_EQ(CF_ReadFile(DRIVE_A, &r), CF_INVALID);
    EXPECT_EQ(count, 2u);
    r = Rec("A:\\MISSING.CSV", 5, 1, 0);
    EXPECT_EQ(CF_ReadFile(DRIVE_A, &r), CF_NOT_FOUND);
}

TEST_F(CfApi, DescriptorWriteWithHeaderReadsBack) {
    // {name offset, name length (with its separator), format, count}.
    const char names[] = "Temp,Arr,Txt,";
    std::vector<uint8_t> d(24);
    auto desc = [&d](int i, uint32_t off, uint8_t len, uint8_t f, uint16_t c) {
        LE_Put32(&d[std::size_t(8 * i)], off);
        d[std::size_t(8 * i + 4)] = len;
        d[std::size_t(8 * i + 5)] = f;
        LE_Put16(&d[std::size_t(8 * i + 6)], c);
    };
    desc(0, 0, 5, 5, 1);
    desc(1, 5, 4, 3, 2);
    desc(2, 9, 4, 0, 6);
    LE_Put16(&data[0], uint16_t(-5));
    LE_Put32(&data[2], 70000);  // 32-bit values at any alignment
    LE_Put32(&data[6], uint32_t(-1));
    std::memcpy(&data[10], "hello\0", 6);
    CfTransferRec w = Rec("A:\\D.CSV", 0, 0, 0, 2, 1);
    w.desc_mode = 77;
    w.header = 1;
    w.desc_count = 3;
    w.names = reinterpret_cast<const uint8_t *>(names);
    w.names_size = sizeof names - 1;
    w.descs = d.data();
    w.descs_size = uint32_t(d.size());
    w.data_size = 18;
    EXPECT_EQ(CF_WriteFile(DRIVE_A, &w), CF_OK);
    EXPECT_EQ(CF_WriteFile(DRIVE_A, &w), CF_OK);  // no second header
    EXPECT_EQ(Get("mnt/USB0/D.CSV"), "Temp,Arr[0],Arr[1],Txt\r\n-5,70000,-1,hello\r\n-5,70000,-1,hello\r\n");
    // Without the end flag the last element is followed by a comma.
    CfTransferRec open_end = w;
    open_end.name = "A:\\E.CSV";
    open_end.flag8 = 0;
    EXPECT_EQ(CF_WriteFile(DRIVE_A, &open_end), CF_OK);
    EXPECT_EQ(Get("mnt/USB0/E.CSV"), "Temp,Arr[0],Arr[1],Txt\r\n-5,70000,-1,hello,");

    std::vector<uint8_t> rd = {0, 5, 1, 0, 0, 3, 2, 0, 0, 0, 6, 0};
    std::vector<uint8_t> before(data.begin(), data.begin() + 18);
    std::fill(data.begin(), data.end(), 0);
    CfTransferRec r = Rec("A:\\D.CSV", 0, 0, 4, 0, 76);
    r.desc_count = 3;
    r.descs = rd.data();
    r.descs_size = uint32_t(rd.size());
    EXPECT_EQ(CF_ReadFile(DRIVE_A, &r), CF_OK);
    EXPECT_EQ(std::vector<uint8_t>(data.begin(), data.begin() + 18), before);
}

TEST_F(CfApi, NamesCopyDeleteAndTreeRemoval) {
    MkDir("mnt/USB1");
    MkDir("mnt/USB0/Data");
    Put("mnt/USB0/Data/rows.csv", "1\r\n");
    char n[FX_PATH_MAX];
    uint8_t drive = 9;
    EXPECT_EQ(CfName("b:\\log\\x.csv", n, &drive, true), CF_OK);
    EXPECT_STREQ(n, "B:\\LOG\\X.CSV");
    EXPECT_EQ(drive, DRIVE_B);
    EXPECT_EQ(CfName("log\\x.csv", n, &drive, true), CF_OK);
    EXPECT_STREQ(n, "A:\\LOG\\X.CSV");
    EXPECT_EQ(CfName("Q:\\x.csv", n, &drive, true), CF_OK);
    EXPECT_STREQ(n, "A:\\X.CSV");
    EXPECT_EQ(drive, DRIVE_A);
    EXPECT_EQ(CfName("A:\\DATA\\ROWS.CSV", n, &drive, true), CF_OK);
    EXPECT_STREQ(n, "A:\\Data\\rows.csv");  // existing entries keep their case
    EXPECT_EQ(CfName("A:\\.hidden", n, &drive, true), CF_INVALID);
    EXPECT_EQ(CfName(("A:\\" + std::string(256, 'N') + ".CSV").c_str(), n, &drive, true), CF_INVALID);
    EXPECT_EQ(CfName("A:\\X.123456789012345", n, &drive, true), CF_INVALID);

    // Nested directories; an existing one on the way is no error, an
    // existing last one (the root among them) answers 81.
    EXPECT_EQ(CF_MakeDir(DRIVE_A, "A:\\DATA\\X\\Y"), CF_OK);
    struct stat st {};
    EXPECT_EQ(stat(P("mnt/USB0/Data/X/Y").c_str(), &st), 0);
    EXPECT_EQ(CF_MakeDir(DRIVE_A, "A:\\DATA\\X"), CF_EXISTS);
    EXPECT_EQ(CfStatus, CF_EXISTS);
    EXPECT_EQ(CF_MakeDir(DRIVE_A, "A:\\"), CF_EXISTS);

    // Copy: one file into a new folder on the other drive, wildcards.
    std::string big(5000, 'q');
    Put("mnt/USB0/Data/b.csv", big);
    Put("mnt/USB0/Data/c.txt", "no");
    EXPECT_EQ(CF_CopyFile(DRIVE_A, "A:\\DATA\\ROWS.CSV", "B:\\NEW\\R.CSV"), CF_OK);
    EXPECT_EQ(Get("mnt/USB1/NEW/R.CSV"), "1\r\n");
    EXPECT_EQ(CF_CopyFile(DRIVE_A, "A:\\DATA\\ROWS.CSV", "B:\\NEW\\S.CSV"), CF_OK);  // into the folder now there
    EXPECT_EQ(Get("mnt/USB1/NEW/S.CSV"), "1\r\n");
    EXPECT_EQ(CF_CopyFile(DRIVE_A, "A:\\DATA\\*.CSV", "B:\\ALL\\"), CF_OK);
    EXPECT_EQ(Get("mnt/USB1/ALL/b.csv"), big);
    EXPECT_TRUE(Exists("mnt/USB1/ALL/rows.csv"));
    EXPECT_FALSE(Exists("mnt/USB1/ALL/c.txt"));
    EXPECT_EQ(CF_CopyFile(DRIVE_A, "A:\\DATA\\*.XLS", "B:\\ALL\\"), CF_NOT_FOUND);
    EXPECT_EQ(CF_CopyFile(DRIVE_A, "DATA\\ROWS.CSV", "B:\\R.CSV"), CF_INVALID);  // no drive
    // A source that is its own destination is refused and left whole.
    EXPECT_EQ(CF_CopyFile(DRIVE_A, "A:\\DATA\\B.CSV", "a:\\data\\b.csv"), CF_INVALID);
    EXPECT_EQ(Get("mnt/USB0/Data/b.csv"), big);

    // Wildcard delete: system files stay.
    FxMedia m{};
    ASSERT_EQ(_fxe_file_attributes_set(&m, "B:\\ALL\\rows.csv", 0x24), FX_SUCCESS);
    EXPECT_EQ(CF_DeleteFile(DRIVE_B, "B:\\ALL\\*.CSV"), CF_OK);
    EXPECT_FALSE(Exists("mnt/USB1/ALL/b.csv"));
    EXPECT_TRUE(Exists("mnt/USB1/ALL/rows.csv"));
    EXPECT_EQ(CF_DeleteFile(DRIVE_B, "B:\\ALL\\*.CSV"), CF_ACCESS);
    EXPECT_EQ(CF_DeleteFile(DRIVE_B, "B:\\ALL\\*.XLS"), CF_NOT_FOUND);

    // Listing by pattern, then the search restores the current directory.
    CF_ChangeDir(DRIVE_A, "\\DATA");
    CfEntry e{};
    std::vector<std::string> found;
    for (uint16_t s = CF_GetFirst(DRIVE_A, &e, "A:\\DATA\\*.CSV"); s == CF_OK; s = CF_GetNext(DRIVE_A, &e))
        found.push_back(std::string(e.name) + "." + e.ext);
    std::sort(found.begin(), found.end());
    EXPECT_EQ(found, (std::vector<std::string>{"B.CSV", "ROWS.CSV"}));
    EXPECT_STREQ(Cf_Media.cwd, "\\DATA/");

    // Tree removal, a read-only file inside; too deep a tree answers 96.
    Put("mnt/USB0/Data/X/Y/ro.csv", "r");
    chmod(P("mnt/USB0/Data/X/Y/ro.csv").c_str(), 0444);
    EXPECT_EQ(CF_RemoveDir(DRIVE_A, "A:\\DATA"), CF_OK);
    EXPECT_FALSE(Exists("mnt/USB0/Data"));
    std::string deep = "mnt/USB0/D";
    MkDir(deep);
    for (int i = 0; i < 17; i++) MkDir(deep += "/D");
    EXPECT_EQ(CF_RemoveDir(DRIVE_A, "A:\\D"), CF_TOO_DEEP);

    // Space: total blocks times block bytes of the card's folder.
    struct statvfs v {};
    ASSERT_EQ(statvfs(P("mnt/USB0").c_str(), &v), 0);
    BackTsk_Report();
    uint32_t total = 0, free = 0;
    EXPECT_EQ(CF_GetFreeSpace(DRIVE_A, &total, &free), CF_OK);
    EXPECT_EQ(total, uint32_t(uint64_t(v.f_blocks) * v.f_frsize / 1024));
    EXPECT_GT(free, 0u);
}

// The configuration flash is not a FAT volume: a name there matches only an
// entry of exactly its (upper-case) spelling, so the controller's own
// lower-case stored files are out of reach of a name given in any case.
TEST_F(CfApi, NamesOnTheConfigurationFlashKeepTheirCase) {
    MkDir("mnt/cfg");
    Put("mnt/cfg/ladder.pgm", "PGM");
    Put("mnt/cfg/UP.BIN", "UP");
    char n[FX_PATH_MAX];
    uint8_t drive = 9;
    EXPECT_EQ(CfName("Z:\\ladder.pgm", n, &drive, true), CF_OK);
    EXPECT_STREQ(n, "Z:\\LADDER.PGM");
    EXPECT_EQ(drive, DRIVE_Z);
    FxFile f{};
    EXPECT_EQ(CF_Open(&f, "Z:\\ladder.pgm", 0), CF_NOT_FOUND);
    EXPECT_EQ(CF_DeleteFile(DRIVE_Z, "Z:\\LADDER.PGM"), CF_NOT_FOUND);
    EXPECT_EQ(Get("mnt/cfg/ladder.pgm"), "PGM");
    ASSERT_EQ(CF_Open(&f, "z:\\up.bin", 0), CF_OK);
    char buf[8] = {};
    uint32_t got = 0;
    EXPECT_EQ(CF_Read(&f, buf, sizeof buf, &got), CF_OK);
    EXPECT_EQ(std::string(buf, got), "UP");
    CF_Close(&f);
    // The SD card is FAT: any case matches there.
    Put("mnt/USB0/low.csv", "L");
    EXPECT_EQ(CfName("A:\\LOW.CSV", n, &drive, true), CF_OK);
    EXPECT_STREQ(n, "A:\\low.csv");
}

// A bare directory name given to the removal is taken from the drive's root,
// not from its current directory.
TEST_F(CfApi, RemoveDirTakesABareNameFromTheRoot) {
    MkDir("mnt/USB0/DATA");
    MkDir("mnt/USB0/DATA/LOGS");
    Put("mnt/USB0/DATA/LOGS/in.csv", "D");
    MkDir("mnt/USB0/LOGS");
    Put("mnt/USB0/LOGS/top.csv", "T");
    EXPECT_EQ(CF_ChangeDir(DRIVE_A, "\\DATA"), CF_OK);
    EXPECT_EQ(CF_RemoveDir(DRIVE_A, "LOGS"), CF_OK);
    EXPECT_FALSE(Exists("mnt/USB0/LOGS"));
    EXPECT_EQ(Get("mnt/USB0/DATA/LOGS/in.csv"), "D");
    // Gone now: the next removal of the bare name finds nothing.
    EXPECT_EQ(CF_RemoveDir(DRIVE_A, "LOGS"), CF_NOT_FOUND);
    EXPECT_EQ(Get("mnt/USB0/DATA/LOGS/in.csv"), "D");
}

// A file written over (CSV write mode 3, or an open that re-creates it) is
// deleted and created again under its upper-case name, whatever the case
// of the entry it replaces; an append keeps the entry as it is.
TEST_F(CfApi, ReplacedFileTakesItsUpperCaseName) {
    Put("mnt/USB0/low.csv", "old\r\n");
    Put("mnt/USB0/app.csv", "1,");
    Put("mnt/USB0/open.bin", "xyz");
    W16(0, 7);
    EXPECT_EQ(Write("A:\\LOW.CSV", 5, 1, 0, 3, true), CF_OK);
    EXPECT_FALSE(Exists("mnt/USB0/low.csv"));
    EXPECT_EQ(Get("mnt/USB0/LOW.CSV"), "7\r\n");
    EXPECT_EQ(Write("A:\\APP.CSV", 5, 1, 0, 2, true), CF_OK);
    EXPECT_EQ(Get("mnt/USB0/app.csv"), "1,7\r\n");
    EXPECT_FALSE(Exists("mnt/USB0/APP.CSV"));
    FxFile f{};
    ASSERT_EQ(CF_Open(&f, "a:\\open.bin", 2), CF_OK);
    uint32_t put = 0;
    EXPECT_EQ(CF_Write(&f, "AB", 2, &put), CF_OK);
    EXPECT_EQ(put, 2u);
    CF_Close(&f);
    EXPECT_FALSE(Exists("mnt/USB0/open.bin"));
    EXPECT_EQ(Get("mnt/USB0/OPEN.BIN"), "AB");
}

// A search goes on where it began: the pattern's own drive, whatever drive
// the calls name, and a directory the layer refuses answers its status
// instead of listing the current one.
TEST_F(CfApi, SearchContinuesOnThePatternsDrive) {
    MkDir("mnt/USB1");
    MkDir("mnt/USB1/LOG");
    Put("mnt/USB1/LOG/a.csv", "a");
    Put("mnt/USB1/LOG/b.csv", "b");
    Put("mnt/USB1/LOG/c.txt", "c");
    MkDir("mnt/USB0/DATA");
    Put("mnt/USB0/DATA/x.csv", "x");
    ASSERT_EQ(CF_ChangeDir(DRIVE_A, "\\DATA"), CF_OK);
    CfEntry e{};
    std::vector<std::string> found;
    uint16_t s = CF_GetFirst(DRIVE_A, &e, "B:\\LOG\\*.CSV");
    for (; s == CF_OK; s = CF_GetNext(DRIVE_A, &e)) found.push_back(std::string(e.name) + "." + e.ext);
    EXPECT_EQ(s, CF_EXISTS);
    std::sort(found.begin(), found.end());
    EXPECT_EQ(found, (std::vector<std::string>{"A.CSV", "B.CSV"}));
    EXPECT_EQ(CF_GetDone(DRIVE_A, &e), CF_OK);
    EXPECT_STREQ(Cf_Media.cwd, "\\DATA/");
    EXPECT_STREQ(Cf_Media2.cwd, "");

    // A directory with a ".." in it is refused by the layer: 66, the current
    // directory as it was, nothing of the current directory listed.
    EXPECT_EQ(CF_GetFirst(DRIVE_A, &e, "A:\\DATA\\..\\*.*"), CF_NOT_FOUND);
    EXPECT_EQ(CfStatus, CF_NOT_FOUND);
    EXPECT_STREQ(Cf_Media.cwd, "\\DATA/");
}

// A descriptor write whose descriptors reach past the data it was given is
// refused before the file is touched: no half line is left in it, and a
// replace does not delete the file first.
TEST_F(CfApi, DescriptorWriteBeyondItsDataLeavesTheFileAsItWas) {
    const char names[] = "A,B,";
    std::vector<uint8_t> d(16);
    LE_Put32(&d[0], 0);
    d[4] = 2, d[5] = 5, LE_Put16(&d[6], 1);
    LE_Put32(&d[8], 2);
    d[12] = 2, d[13] = 3, LE_Put16(&d[14], 1);
    LE_Put16(&data[0], 7);
    LE_Put32(&data[2], 9);
    Put("mnt/USB0/KEEP.CSV", "1,2\r\n");
    CfTransferRec w = Rec("A:\\KEEP.CSV", 0, 0, 0, 1, 1);
    w.desc_mode = 77;
    w.desc_count = 2;
    w.names = reinterpret_cast<const uint8_t *>(names);
    w.names_size = sizeof names - 1;
    w.descs = d.data();
    w.descs_size = uint32_t(d.size());
    w.data_size = 4;  // the 32-bit element at byte 2 needs 6
    count = 99;
    EXPECT_EQ(CF_WriteFile(DRIVE_A, &w), CF_INVALID);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(Get("mnt/USB0/KEEP.CSV"), "1,2\r\n");
    w.mode = 3;
    EXPECT_EQ(CF_WriteFile(DRIVE_A, &w), CF_INVALID);
    EXPECT_EQ(Get("mnt/USB0/KEEP.CSV"), "1,2\r\n");
    // A header that names past its names area: refused the same way.
    w.mode = 2;
    w.name = "A:\\NEWH.CSV";
    w.header = 1;
    w.data_size = 6;
    w.names_size = 3;
    EXPECT_EQ(CF_WriteFile(DRIVE_A, &w), CF_INVALID);
    EXPECT_FALSE(Exists("mnt/USB0/NEWH.CSV"));
    // Given what they need, both go through.
    w.names_size = 4;
    EXPECT_EQ(CF_WriteFile(DRIVE_A, &w), CF_OK);
    EXPECT_EQ(Get("mnt/USB0/NEWH.CSV"), "A,B\r\n7,9\r\n");
    w.name = "A:\\KEEP.CSV";
    w.mode = 1;
    EXPECT_EQ(CF_WriteFile(DRIVE_A, &w), CF_OK);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(Get("mnt/USB0/KEEP.CSV"), "1,2\r\n7,9\r\n");
}
