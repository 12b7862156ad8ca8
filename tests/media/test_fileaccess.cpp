// File instructions: ladder programs with opcodes 250 and 251 run scan by
// scan against the card file manager (status words, counts, power, owner
// slots, refusals before posting), and the operations behind the other file
// opcodes on decoded records (copy and delete jobs, rename, format,
// descriptor transfers).
#include <cstring>
#include <filesystem>
#include <fcntl.h>
#include <unistd.h>

#include "core/image/bytes.h"
#include "core/storage/memfile.h"
#include "ladder/ladder.h"
#include "tests/media/media_fixture.h"
#include "tests/support/ladder_asm.h"

using namespace media_test;
using la::R;

namespace {
constexpr uint32_t M(uint32_t n) { return la::M16(n); }
constexpr uint32_t Q(uint32_t n) { return la::Q(n); }

// Text on whole words, low byte first.
void PutText(std::vector<uint16_t> &w, const std::string &name) {
    for (std::size_t i = 0; i < name.size(); i += 2)
        w.push_back(uint16_t(uint8_t(name[i]) | (i + 1 < name.size() ? uint8_t(name[i + 1]) << 8 : 0)));
}

// Words of a file instruction's operand record.
std::vector<uint16_t> FileOp(uint16_t opcode, uint8_t flags, uint32_t data, uint16_t format, uint32_t start,
                             uint32_t count, uint32_t status, const std::string &name, uint16_t drive = 0,
                             uint8_t kind = 1) {
    std::vector<uint16_t> w = {opcode,
                               drive,
                               uint16_t(kind | flags << 8),
                               uint16_t(data),
                               uint16_t(data >> 16),
                               format,
                               uint16_t(start),
                               uint16_t(start >> 16),
                               uint16_t(count),
                               uint16_t(count >> 16),
                               uint16_t(status),
                               uint16_t(status >> 16),
                               uint16_t(name.size()),
                               uint16_t(name.size() >> 16)};
    PutText(w, name);
    return w;
}

void PutName(std::vector<uint16_t> &w, const std::string &name) {
    w.push_back(uint16_t(name.size()));
    w.push_back(uint16_t(name.size() >> 16));
    PutText(w, name);
}

// Copy (249), rename (252), delete (253): the head of 250/251 with zeros,
// the status reference, the first name and (copy, rename) the second.
std::vector<uint16_t> NameOp(uint16_t opcode, uint32_t status, const std::string &name,
                             const std::string *name2 = nullptr, uint16_t drive = 0) {
    std::vector<uint16_t> w = {opcode, drive, 0, 0, 0, 0, 0, 0, 0, 0, uint16_t(status), uint16_t(status >> 16)};
    PutName(w, name);
    if (name2) PutName(w, *name2);
    return w;
}

// Format (254): the head up to the status reference.
std::vector<uint16_t> FormatOp(uint16_t drive, uint32_t status) {
    return {254, drive, 0, 0, 0, 0, 0, 0, 0, 0, uint16_t(status), uint16_t(status >> 16)};
}

// Descriptor transfer (248), written out word by word: a write of R(10),
// R(11) under the header "V,T" or a read of one row into R(20), R(21).
std::vector<uint16_t> DescWrite(uint32_t status, const std::string &name) {
    std::vector<uint16_t> w = {248,
                               77,
                               0x0201,  // mode; header line, write mode 2 (append or create)
                               0,
                               0,
                               0,  // reserved, drive 0, reserved
                               uint16_t(R(10)),
                               uint16_t(R(10) >> 16),
                               uint16_t(status),
                               uint16_t(status >> 16)};
    w.insert(w.end(), {uint16_t(name.size()), 0, 2, 0, 4, 0, 0, 0, 0, 4});  // names 4 bytes, data 4 bytes
    // Descriptors at byte 40: names at bytes 56 ("V,") and 58 ("T,").
    w.insert(w.end(), {56, 0, 0x0502, 1, 58, 0, 0x0802, 1});
    w.insert(w.end(), {0x2C56, 0x2C54});
    PutText(w, name);
    return w;
}
std::vector<uint16_t> DescRead(uint32_t status, const std::string &name) {
    std::vector<uint16_t> w = {
        248, 0, 0, 0, 0, 0, uint16_t(R(20)), uint16_t(R(20) >> 16), uint16_t(status), uint16_t(status >> 16)};
    w.insert(w.end(), {uint16_t(name.size()), 0, 2, 0, 0, 0, 0, 0, 0, 0});
    w.insert(w.end(), {1, 0, 0x0500, 1, 0x0800, 1});  // restart at 1; descriptors at byte 44
    PutText(w, name);
    return w;
}

constexpr uint8_t END = 0x10;

// A decoded record of a job on names: copy (249), rename (252), delete
// (253), format (254), delete-from-object (4), delete-all (5).
FileOpRec NameRec(uint32_t owner, uint16_t opcode, uint32_t status, const char *name = nullptr,
                  const char *name2 = nullptr, uint8_t drive = 0) {
    FileOpRec op{};
    op.owner = owner;
    op.opcode = opcode;
    op.drive = drive;
    op.status = status;
    op.name = name;
    op.name2 = name2;
    return op;
}

// A decoded read (250) of formatted values, its status at R(100).
FileOpRec ReadRec(uint32_t owner, uint16_t format, uint32_t count, uint32_t data, const char *name) {
    FileOpRec rd{};
    rd.owner = owner;
    rd.opcode = 250;
    rd.kind = 1;
    rd.format = format;
    rd.count = count;
    rd.data = data;
    rd.status = R(100);
    rd.name = name;
    return rd;
}

// A decoded descriptor read (248) of two descriptors, its status at R(110)
// and its row counter two words above R(112), at R(114).
constexpr uint8_t ROW_DESCS[8] = {0, 5, 1, 0, 0, 8, 1, 0};
FileOpRec RowRead(uint32_t owner, const uint8_t (&descs)[8], uint32_t data, const char *name) {
    FileOpRec dr{};
    dr.owner = owner;
    dr.opcode = 248;
    dr.desc_count = 2;
    dr.descs = descs;
    dr.descs_size = sizeof descs;
    dr.data = data;
    dr.status = R(110);
    dr.row_ref = R(112);
    dr.name = name;
    return dr;
}

// A decoded write (251) of R(1) as one line of B:\OUT.CSV on the USB
// stick, its status at R(102).
FileOpRec StickWrite() {
    FileOpRec b{};
    b.owner = 7;
    b.opcode = 251;
    b.drive = 1;
    b.kind = 1;
    b.flags = 2 | END;
    b.format = 5;
    b.count = 1;
    b.data = R(1);
    b.status = R(102);
    b.name = "B:\\OUT.CSV";
    return b;
}

class FileInstr : public MediaTest {
protected:
    LadAsm a{true};

    void SetUp() override {
        MediaTest::SetUp();
        plc_reg[64] |= 1;
        DrevanoRuntime = 0;
        lad_step_limit = LAD_STEP_LIMIT_DEFAULT;
        LA_TimeInstall();
    }
    void TearDown() override {
        LA_TimeRemove();
        MediaTest::TearDown();
    }
    // A rung: enable bit, the instruction, its power on a coil.
    void Rung(uint32_t enable, const std::vector<uint16_t> &op, uint32_t coil) {
        a.contact(enable);
        for (uint16_t w : op) a.word(w);
        a.coil(coil);
    }
    void Load() {
        a.end();
        ASSERT_TRUE(a.finish());
        LA_Load(a);
    }
    void Scan(int n = 1) {
        for (int i = 0; i < n; i++) {
            ASSERT_EQ(LogicUpdate(), -1);
            Pass();
        }
    }
    void On(uint32_t bit, bool v) {
        uint8_t &b = plc_reg[(bit - 1024) / 8];
        b = v ? uint8_t(b | 1u << (bit & 7)) : uint8_t(b & ~(1u << (bit & 7)));
    }
    bool Bit(uint32_t bit) { return (plc_reg[(bit - 1024) / 8] >> (bit & 7)) & 1; }
    uint16_t W(uint32_t ref) { return PlcWord(la::WordOf(ref)); }
    void SetW(uint32_t ref, uint16_t v) { PlcWordSet(la::WordOf(ref), v); }
    // Scans until the status word leaves 65534 (at most n scans, and the
    // end of every worker job that runs meanwhile).
    uint16_t Run(uint32_t status, int n = 20) {
        for (int i = 0; i < n; i++) {
            Scan();
            if (W(status) != FILE_BUSY) return W(status);
            if (!File_JobsIdle(0)) {
                EXPECT_TRUE(File_JobsIdle(10000));
            }
        }
        return W(status);
    }
    // While a posted record's status shows 65534, gives the file manager a
    // pass and polls again (ten times at most).
    void Collect(const FileOpRec &op) {
        for (int i = 0; i < 10 && W(op.status) == FILE_BUSY; i++) {
            Pass();
            File_Access(&op, 1);
        }
    }
    // Posts a decoded record and collects its answer.
    void Poll(const FileOpRec &op) {
        File_Access(&op, 1);
        Collect(op);
    }
    // Starts a worker job and polls it again once the workers are idle.
    void Finish(const FileOpRec &op) {
        File_Access(&op, 1);
        ASSERT_TRUE(File_JobsIdle(10000));
        File_Access(&op, 1);
    }
    // A 50 MB file: a copy of it runs for a while.
    void BigFile(const std::string &rel) {
        const int fd = open(P(rel).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, 50 << 20), 0);
        close(fd);
    }
};
}  // namespace

TEST_F(FileInstr, WriteThenAppendRefuseAndDisable) {
    Rung(M(1), FileOp(251, 3 | END, R(1), 5, 3, 6, R(100), "A:\\OUT\\W01.CSV"), Q(1));
    Rung(M(2), FileOp(251, 1 | END, R(20), 4, 0, 2, R(102), "A:\\OUT\\W01.CSV"), Q(2));
    Rung(M(3), FileOp(251, 0 | END, R(20), 4, 0, 2, R(104), "A:\\OUT\\W01.CSV"), Q(3));
    Rung(M(4), FileOp(251, 1 | END, R(20), 4, 0, 2, R(106), "A:\\OUT\\MISSING.CSV"), Q(4));
    Load();
    const int16_t v[] = {1, -2, 300, -32768, 32767, 0};
    for (int i = 0; i < 6; i++) SetW(R(1 + uint32_t(i)), uint16_t(v[i]));
    SetW(R(20), 0xBEEF);
    SetW(R(21), 0x7F);
    On(M(1), true);
    Scan();
    EXPECT_EQ(W(R(100)), 65534);
    EXPECT_FALSE(Bit(Q(1)));
    EXPECT_EQ(Run(R(100)), 0);
    EXPECT_EQ(W(R(101)), 6);
    Scan();
    EXPECT_TRUE(Bit(Q(1)));
    EXPECT_EQ(Get("mnt/USB0/OUT/W01.CSV"), "1,-2,300\r\n-32768,32767,0\r\n");
    On(M(1), false);
    Scan();
    EXPECT_EQ(W(R(100)), 65532);
    EXPECT_FALSE(Bit(Q(1)));

    On(M(2), true);
    EXPECT_EQ(Run(R(102)), 0);
    On(M(2), false);
    Scan();
    const std::string both = "1,-2,300\r\n-32768,32767,0\r\nBEEF,7F\r\n";
    EXPECT_EQ(Get("mnt/USB0/OUT/W01.CSV"), both);
    On(M(3), true);
    EXPECT_EQ(Run(R(104)), CF_EXISTS);
    EXPECT_FALSE(Bit(Q(3)));
    On(M(3), false);
    Scan();
    EXPECT_EQ(Get("mnt/USB0/OUT/W01.CSV"), both);
    On(M(4), true);
    EXPECT_EQ(Run(R(106)), CF_NOT_FOUND);
    EXPECT_FALSE(Exists("mnt/USB0/OUT/MISSING.CSV"));
}

TEST_F(FileInstr, ReadsIntoRegistersAndRefusalsBeforePosting) {
    Put("mnt/USB0/in.csv", "10,20,30\r\n-40,50,60\r\n70,80,90\r\n100,110,120\r\n130,140,150\r\n");
    Put("mnt/USB0/t.csv", "\"ab,c\",x\r\n");
    Rung(M(1), FileOp(250, 0, R(10), 5, 2, 4, R(100), "A:\\IN.CSV"), Q(1));
    Rung(M(2), FileOp(250, 0, R(20), 5, 0xFFFFFFFFu, 0, R(102), "A:\\IN.CSV"), Q(2));
    Rung(M(3), FileOp(250, 0, R(30), 5, 0x80030000u, 1, R(104), "A:\\IN.CSV"), Q(3));
    Rung(M(4), FileOp(250, 0, R(40), 5, 0, 20, R(106), "A:\\IN.CSV"), Q(4));
    Rung(M(5), FileOp(250, 0, R(70), 0, 0, 10, R(108), "A:\\T.CSV"), Q(5));
    Rung(M(6), FileOp(250, 0, R(80), 0, 0, 127, R(110), "A:\\T.CSV"), Q(6));
    Rung(M(7), FileOp(251, 3, R(1), 3, 0, 5000, R(112), "A:\\BIG.CSV"), Q(7));
    Rung(M(8), FileOp(250, 0, la::SR(100), 5, 0, 1, R(114), "A:\\IN.CSV"), Q(8));
    Rung(M(9), FileOp(251, 3, R(50240), 8, 0, 4000, R(116), "A:\\BIG.CSV"), Q(9));
    Rung(M(10), FileOp(250, 0, M(50), 2, 0, 1, R(118), "A:\\IN.CSV"), Q(10));  // one bit
    // 2^30 elements of 32 bits: 4 GiB, far above 8,192 bytes (not 0).
    Rung(M(11), FileOp(251, 3, R(1), 3, 0, 0x40000000u, R(120), "A:\\BIG.CSV"), Q(11));
    Rung(M(12), FileOp(250, 0, R(1), 7, 0, 0x40000000u, R(122), "A:\\IN.CSV"), Q(12));
    Rung(M(13), FileOp(251, 3, R(1), 5, 0, 0x80000000u, R(124), "A:\\BIG.CSV"), Q(13));
    // One bit read into a system register: outside the blocks a read may land in.
    Rung(M(14), FileOp(250, 0, la::SR(100), 2, 0, 1, R(126), "A:\\IN.CSV"), Q(14));
    Load();
    SetW(R(14), 0x5A5A);
    On(M(1), true);
    EXPECT_EQ(Run(R(100)), 0);
    EXPECT_EQ(W(R(101)), 4);
    EXPECT_EQ(W(R(10)), 30);
    EXPECT_EQ(int16_t(W(R(11))), -40);
    EXPECT_EQ(W(R(12)), 50);
    EXPECT_EQ(W(R(13)), 60);
    EXPECT_EQ(W(R(14)), 0x5A5A);
    On(M(1), false);
    On(M(2), true);
    EXPECT_EQ(Run(R(102)), 0);
    EXPECT_EQ(W(R(20)), 5);
    On(M(2), false);
    On(M(3), true);
    EXPECT_EQ(Run(R(104)), 0);
    EXPECT_EQ(W(R(105)), 3);
    EXPECT_EQ(W(R(30)), 20);
    EXPECT_EQ(W(R(31)), 50);
    EXPECT_EQ(W(R(32)), 80);
    On(M(3), false);
    On(M(4), true);
    EXPECT_EQ(Run(R(106)), CF_EOF);
    EXPECT_EQ(W(R(107)), 15);
    EXPECT_EQ(W(R(54)), 150);
    On(M(4), false);
    On(M(5), true);
    EXPECT_EQ(Run(R(108)), 0);
    EXPECT_EQ(W(R(109)), 4);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(&plc_reg[2 * la::WordOf(R(70))])), "ab,c");
    On(M(5), false);
    On(M(6), true);
    EXPECT_EQ(Run(R(110)), CF_INVALID);
    On(M(6), false);
    // Refused before posting: the channel is not used, nothing changes.
    const uint8_t req = dpram[DP_FILE_REQ];
    SetW(la::SR(100), 0x1234);
    for (uint32_t m : {7u, 8u, 9u, 11u, 12u, 13u, 14u}) {
        On(M(m), true);
        Scan();
        EXPECT_EQ(W(R(112 + 2 * (m - 7))), CF_INVALID) << m;
        On(M(m), false);
    }
    EXPECT_EQ(dpram[DP_FILE_REQ], req);
    EXPECT_EQ(W(la::SR(100)), 0x1234);
    EXPECT_FALSE(Exists("mnt/USB0/BIG.CSV"));
    // One bit: the first field of the file (10, nonzero) sets it.
    On(M(10), true);
    EXPECT_EQ(Run(R(118)), 0);
    EXPECT_TRUE(Bit(M(50)));
}

TEST_F(FileInstr, SecondWriterWaitsForTheOwner) {
    Rung(M(1), FileOp(251, 2 | END, R(1), 8, 0, 1, R(100), "A:\\TWO.CSV"), Q(1));
    Rung(M(2), FileOp(251, 2 | END, R(2), 8, 0, 1, R(102), "A:\\TWO.CSV"), Q(2));
    Load();
    SetW(R(1), 111);
    SetW(R(2), 222);
    On(M(1), true);
    On(M(2), true);
    for (int i = 0; i < 10; i++) {
        Scan();
        EXPECT_EQ(W(R(102)), 65533);
    }
    EXPECT_EQ(W(R(100)), 0);
    EXPECT_EQ(Get("mnt/USB0/TWO.CSV"), "111\r\n");
    On(M(1), false);
    EXPECT_EQ(Run(R(102)), 0);
    EXPECT_EQ(Get("mnt/USB0/TWO.CSV"), "111\r\n222\r\n");
    EXPECT_EQ(W(R(100)), 65532);
    // The card away: the write answers 2.
    On(M(2), false);
    Scan();
    ASSERT_EQ(rename(P("mnt/USB0").c_str(), P("mnt/USB0.out").c_str()), 0);
    On(M(1), true);
    EXPECT_EQ(Run(R(100)), CF_NOT_PRESENT);
}

// The register image is one run of bytes: a byte pointer may name a byte of
// the extended areas, and a range may run from the end of %R on into them.
TEST_F(FileInstr, RangesReachTheExtendedAreasOfTheImage) {
    constexpr uint8_t PTR = 0x80;
    Rung(M(1), FileOp(251, 2 | END | PTR, R(200), 8, 0, 1, R(100), "A:\\EXT.CSV"), Q(1));
    Rung(M(2), FileOp(251, 2 | END, R(50240), 8, 2, 2, R(102), "A:\\EXT.CSV"), Q(2));
    // Past the last word of %ESR (byte 109,056 of the image): refused.
    Rung(M(3), FileOp(251, 2 | END | PTR, R(202), 8, 0, 1, R(104), "A:\\EXT.CSV"), Q(3));
    Load();
    PlcDwordSet(la::WordOf(R(200)), 106496);  // the first byte of %EM
    PlcDwordSet(la::WordOf(R(202)), 109056);
    LE_Put16(&plc_reg[106496], 333);
    SetW(R(50240), 444);
    LE_Put16(&plc_reg[104448], 555);  // %ET1..16
    On(M(1), true);
    EXPECT_EQ(Run(R(100)), 0);
    On(M(1), false);
    On(M(2), true);
    EXPECT_EQ(Run(R(102)), 0);
    On(M(2), false);
    On(M(3), true);
    Scan();
    EXPECT_EQ(W(R(104)), CF_INVALID);
    EXPECT_EQ(Get("mnt/USB0/EXT.CSV"), "333\r\n444,555\r\n");
}

// Operands held in registers: the element count (a word), the elements per
// line (a double word), and the name as a string register named after a
// count of 0 or by a count of 1024 and above (first word: the length in its
// high byte, then the text).
TEST_F(FileInstr, CountsStartsAndNamesHeldInRegisters) {
    constexpr uint8_t COUNT_REF = 0x20, START_REF = 0x40;
    Rung(M(1), FileOp(251, 2 | END | COUNT_REF | START_REF, R(1), 8, R(52), R(50), R(100), "A:\\REG.CSV"), Q(1));
    std::vector<uint16_t> after = FileOp(251, 2 | END, R(3), 8, 0, 1, R(102), "");
    after.insert(after.end(), {uint16_t(R(60)), uint16_t(R(60) >> 16)});
    Rung(M(2), after, Q(2));
    std::vector<uint16_t> by_ref = FileOp(251, 2 | END, R(4), 8, 0, 1, R(104), "");
    by_ref[12] = uint16_t(R(70));
    by_ref[13] = uint16_t(R(70) >> 16);
    Rung(M(3), by_ref, Q(3));
    Load();
    SetW(R(1), 11);
    SetW(R(2), 22);
    SetW(R(3), 33);
    SetW(R(4), 44);
    SetW(R(50), 2);
    PlcDwordSet(la::WordOf(R(52)), 2);
    SetW(R(60), 8 << 8);
    std::memcpy(&plc_reg[2 * la::WordOf(R(61))], "A:\\S.CSV", 8);
    SetW(R(70), 8 << 8);
    std::memcpy(&plc_reg[2 * la::WordOf(R(71))], "A:\\T.CSV", 8);
    for (uint32_t m : {1u, 2u, 3u}) {
        On(M(m), true);
        EXPECT_EQ(Run(R(100 + 2 * (m - 1))), 0) << m;
        On(M(m), false);
        Scan();
    }
    EXPECT_EQ(W(R(101)), 2);
    EXPECT_EQ(Get("mnt/USB0/REG.CSV"), "11,22\r\n");
    EXPECT_EQ(Get("mnt/USB0/S.CSV"), "33\r\n");
    EXPECT_EQ(Get("mnt/USB0/T.CSV"), "44\r\n");
}

TEST_F(FileInstr, CopyDeleteRenameAndFormatOperations) {
    MkDir("mnt/USB1");
    MkDir("mnt/USB0/Src");
    // A 50 MB source keeps the copy running for a while.
    ASSERT_NO_FATAL_FAILURE(BigFile("mnt/USB0/Src/big.bin"));
    Put("mnt/USB0/Src/a.csv", "A");
    Put("mnt/USB0/Src/b.csv", "B");
    FileOpRec copy = NameRec(1, 249, R(100), "A:\\SRC\\BIG.BIN", "B:\\DST\\");
    FileOpRec del = NameRec(2, 253, R(102), "B:\\DST\\*.*", nullptr, 1);

    EXPECT_EQ(File_Access(&copy, 1), 0u);
    EXPECT_EQ(W(R(100)), 65534);
    EXPECT_EQ(File_Access(&del, 1), 0u);
    EXPECT_EQ(W(R(102)), 94);
    File_Access(&del, 0);
    // Disabling the running copy cancels it.
    const bool running = RmCopyOpsThreadId != 0;
    File_Access(&copy, 0);
    EXPECT_EQ(W(R(100)), 65532);
    ASSERT_TRUE(File_JobsIdle(10000));
    if (running) {
        EXPECT_EQ(CopyRet.load(), -4);
        EXPECT_FALSE(Exists("mnt/USB1/DST/big.bin"));
    }
    // Copied whole; wildcards in any case.
    for (int i = 0; i < 2000 && File_Access(&copy, 1) == 0 && W(R(100)) == FILE_BUSY; i++) usleep(5000);
    EXPECT_EQ(W(R(100)), 0);
    struct stat st {};
    ASSERT_EQ(stat(P("mnt/USB1/DST/big.bin").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 50 << 20);
    File_Access(&copy, 0);
    copy.name = "A:\\SRC\\*.CSV";
    copy.name2 = "B:\\CSV";
    ASSERT_NO_FATAL_FAILURE(Finish(copy));
    EXPECT_EQ(W(R(100)), 0);
    EXPECT_EQ(Get("mnt/USB1/CSV/a.csv"), "A");
    EXPECT_EQ(Get("mnt/USB1/CSV/b.csv"), "B");
    File_Access(&copy, 0);
    // Refused names: the root, "..", a missing source drive.
    copy.name = "A:\\";
    EXPECT_EQ(File_Access(&copy, 1), 0u);
    EXPECT_EQ(W(R(100)), CF_INVALID);
    copy.name = "A:\\SRC\\..\\..\\X";
    File_Access(&copy, 1);
    EXPECT_EQ(W(R(100)), CF_INVALID);
    // Delete: nothing matching gives 66, a pattern deletes in any case.
    del.name = "B:\\DST\\*.XLS";
    File_Access(&del, 1);
    EXPECT_EQ(W(R(102)), CF_NOT_FOUND);
    del.name = "B:\\DST\\*.BIN";
    ASSERT_NO_FATAL_FAILURE(Finish(del));
    EXPECT_EQ(W(R(102)), 0);
    EXPECT_FALSE(Exists("mnt/USB1/DST/big.bin"));
    File_Access(&del, 0);
    del.name = "B:\\CSV";
    ASSERT_NO_FATAL_FAILURE(Finish(del));
    EXPECT_EQ(W(R(102)), 0);
    EXPECT_FALSE(Exists("mnt/USB1/CSV"));
    File_Access(&del, 0);

    // Rename and format go through the mailbox.
    const FileOpRec ren = NameRec(3, 252, R(104), "A:\\SRC\\A.CSV", "A:\\SRC\\Z.CSV");
    Poll(ren);
    EXPECT_EQ(W(R(104)), 0);
    EXPECT_EQ(Get("mnt/USB0/Src/Z.CSV"), "A");
    File_Access(&ren, 0);
    const FileOpRec fmt = NameRec(4, 254, R(106), nullptr, nullptr, 1);
    File_Access(&fmt, 1);
    for (int i = 0; i < 10 && W(R(106)) == FILE_BUSY; i++) {
        Pass();
        ASSERT_TRUE(File_JobsIdle(10000));
        File_Access(&fmt, 1);
    }
    EXPECT_EQ(W(R(106)), 0);
    EXPECT_FALSE(Exists("mnt/USB1/DST"));
    EXPECT_TRUE(Exists("mnt/USB1"));

    // Descriptor transfers: a write with its header, then successive rows.
    const char names[] = "V,T,";
    uint8_t wd[16] = {};
    LE_Put32(wd, 0);
    wd[4] = 2;
    wd[5] = 5;
    LE_Put16(wd + 6, 1);
    LE_Put32(wd + 8, 2);
    wd[12] = 2;
    wd[13] = 8;
    LE_Put16(wd + 14, 1);
    FileOpRec dw{};
    dw.owner = 5;
    dw.opcode = 248;
    dw.flags = 2;  // append or create
    dw.desc_mode = 77;
    dw.header = 1;
    dw.desc_count = 2;
    dw.descs = wd;
    dw.descs_size = sizeof wd;
    dw.names = reinterpret_cast<const uint8_t *>(names);
    dw.names_size = 4;
    dw.desc_bytes = 4;
    dw.data = R(10);
    dw.status = R(108);
    dw.name = "A:\\DESC";  // ".csv" is added
    for (uint16_t row = 1; row <= 2; row++) {
        SetW(R(10), uint16_t(-row));
        SetW(R(11), uint16_t(11 * row));
        Poll(dw);
        EXPECT_EQ(W(R(108)), 0);
        File_Access(&dw, 0);
    }
    EXPECT_EQ(Get("mnt/USB0/DESC.CSV"), "V,T\r\n-1,11\r\n-2,22\r\n");
    FileOpRec dr = RowRead(6, ROW_DESCS, R(20), "A:\\DESC.CSV");  // the counter: R(114)
    dr.row_restart = 1;
    SetW(R(110), 1);  // restart bit
    On(1536, false);  // not the first scan
    for (uint16_t row : {1, 2}) {
        Poll(dr);
        EXPECT_EQ(W(R(110)), 0);
        EXPECT_EQ(int16_t(W(R(20))), -row);
        EXPECT_EQ(W(R(21)), 11 * row);
        File_Access(&dr, 0);
    }
    EXPECT_EQ(W(R(114)), 3);
}

// Delete-all (job 5) empties a folder, delete-from-object (job 4) removes
// what it names, the folder itself for a name ending in '*'; a name that is
// not there is nothing to remove. Each job refuses to start on a drive that
// a job of another kind holds (94), and a second job of its own kind
// anywhere; the format job answers 82 for its drive's status meanwhile.
TEST_F(FileInstr, WorkerJobsAndTheirRefusalsOnTheSameDrive) {
    MkDir("mnt/USB1");
    MkDir("mnt/USB0/LOGS");
    MkDir("mnt/USB0/LOGS/SUB");
    Put("mnt/USB0/LOGS/a.csv", "A");
    Put("mnt/USB0/LOGS/SUB/b.csv", "B");
    MkDir("mnt/USB0/OLD");
    Put("mnt/USB0/OLD/c.csv", "C");
    FileOpRec op{};
    op.owner = 1;
    op.status = R(100);
    const auto finish = [&](uint16_t opcode, const char *name) {
        op.opcode = opcode;
        op.name = name;
        File_Access(&op, 1);
        EXPECT_TRUE(File_JobsIdle(10000));
        File_Access(&op, 1);
        const uint16_t st = W(R(100));
        File_Access(&op, 0);
        return st;
    };
    EXPECT_EQ(finish(5, "A:\\LOGS\\*"), 0);
    EXPECT_EQ(DelAllRet.load(), 0);
    EXPECT_TRUE(Exists("mnt/USB0/LOGS"));
    EXPECT_FALSE(Exists("mnt/USB0/LOGS/a.csv"));
    EXPECT_FALSE(Exists("mnt/USB0/LOGS/SUB"));
    EXPECT_EQ(finish(4, "A:\\OLD\\*"), 0);
    EXPECT_EQ(DelFromObjRet.load(), 0);
    EXPECT_FALSE(Exists("mnt/USB0/OLD"));
    EXPECT_EQ(finish(5, "A:\\NONE\\*"), 0);
    EXPECT_EQ(finish(4, "A:\\NONE.CSV"), 0);
    EXPECT_EQ(finish(4, ""), CF_NOT_FOUND);
    EXPECT_EQ(finish(5, "B:\\X\\*"), 0);
    ASSERT_EQ(rename(P("mnt/USB1").c_str(), P("mnt/USB1.out").c_str()), 0);
    EXPECT_EQ(finish(5, "B:\\X\\*"), CF_NOT_PRESENT);
    ASSERT_EQ(rename(P("mnt/USB1.out").c_str(), P("mnt/USB1").c_str()), 0);

    // A job of each kind marked on the SD card (busy byte 4): every other
    // kind is refused there and nowhere else; its own kind everywhere.
    struct Kind {
        RmJob *rec;
        std::atomic<uint32_t> *id;
        uint16_t opcode;
    };
    const Kind kinds[] = {{&RmBlockDataCopy, &RmCopyOpsThreadId, 249},
                          {&RmBlockDataDelete, &RmDeleteOpsThreadId, 253},
                          {&RmBlockDataDelAll, &RmDelAllOpsThreadId, 5},
                          {&RmBlockDataDelFromObj, &RmDelFromObjOpsThreadId, 4},
                          {&RmBlockDataFormat, &RmFormatOpsThreadId, 254}};
    Put("mnt/USB0/s.csv", "S");
    Put("mnt/USB1/u.csv", "U");
    const auto ask = [&](uint16_t opcode, bool on_sd) -> int32_t {
        if (opcode == 254) return File_StartFormat(on_sd ? DRIVE_A : DRIVE_B);
        const FileOpRec q =
            NameRec(2, opcode, R(102), on_sd ? "A:\\S.CSV" : "B:\\U.CSV", on_sd ? "A:\\T.CSV" : "B:\\T.CSV");
        File_Access(&q, 1);
        const uint16_t st = W(R(102));
        File_Access(&q, 0);
        return st;
    };
    for (const Kind &held : kinds) {
        held.rec->busy = 4;
        *held.id = 1;
        for (const Kind &k : kinds)
            EXPECT_EQ(ask(k.opcode, true), 94) << held.opcode << " holds, " << k.opcode << " asked";
        EXPECT_EQ(ask(held.opcode, false), 94) << held.opcode << " runs already";
        *held.id = 0;
        held.rec->busy = 0;
    }
    for (const Kind &k : kinds) EXPECT_EQ(*k.id, 0u);

    // A real format of the stick through the instruction: its status 82,
    // the stick refused to a copy, a delete and a second format; the card
    // free for a copy; the status in the end the drive check translated.
    const FileOpRec fmt = NameRec(3, 254, R(104), nullptr, nullptr, 1);
    File_Access(&fmt, 1);
    for (int i = 0; i < 20 && RmFormatOpsThreadId == 0; i++) Pass();
    ASSERT_NE(RmFormatOpsThreadId, 0u);
    EXPECT_EQ(CF_GetStatus(DRIVE_B), CF_FORMATTING);
    uint32_t total = 1, free = 1;
    EXPECT_EQ(CF_GetFreeSpace(DRIVE_B, &total, &free), CF_FORMATTING);
    EXPECT_EQ(CF_GetStatus(DRIVE_A), 0);
    EXPECT_EQ(ask(249, false), 94);
    EXPECT_EQ(ask(253, false), 94);
    EXPECT_EQ(File_StartFormat(DRIVE_A), 94);
    EXPECT_EQ(File_StartFormat(DRIVE_Z), CF_INVALID);
    op.opcode = 249;
    op.name = "A:\\S.CSV";
    op.name2 = "A:\\COPY.CSV";
    File_Access(&op, 1);
    EXPECT_EQ(W(R(100)), FILE_BUSY);
    ASSERT_TRUE(File_JobsIdle(10000));
    File_Access(&op, 1);
    EXPECT_EQ(W(R(100)), 0);
    File_Access(&op, 0);
    Collect(fmt);
    EXPECT_EQ(W(R(104)), 0);
    EXPECT_FALSE(Exists("mnt/USB1/u.csv"));
    EXPECT_EQ(CF_GetStatus(DRIVE_B), 0);
    File_Access(&fmt, 0);
    // No stick: the format ends as the drive check of a missing drive, 2.
    ASSERT_EQ(rename(P("mnt/USB1").c_str(), P("mnt/USB1.out").c_str()), 0);
    File_Access(&fmt, 1);
    for (int i = 0; i < 20 && W(R(104)) == FILE_BUSY; i++) {
        Pass();
        ASSERT_TRUE(File_JobsIdle(10000));
        File_Access(&fmt, 1);
    }
    EXPECT_EQ(W(R(104)), CF_NOT_PRESENT);
    EXPECT_EQ(FormatRet.load(), 2);
}

// Copy and delete jobs never go through a symbolic link on the card: a link
// in a name answers as a missing name (66), a wildcard copy skips links, and
// nothing outside the card is read, written or removed.
TEST_F(FileInstr, CopyAndDeleteJobsRefuseSymbolicLinks) {
    MkDir("mnt/USB1");
    MkDir("outside");
    Put("outside/secret.csv", "S");
    Put("mnt/USB0/own.csv", "O");
    ASSERT_EQ(symlink(P("outside").c_str(), P("mnt/USB0/ESC").c_str()), 0);
    ASSERT_EQ(symlink(P("outside/secret.csv").c_str(), P("mnt/USB0/PW.CSV").c_str()), 0);
    struct Case {
        uint16_t opcode;
        const char *name, *name2;
    };
    const Case refused[] = {
        {249, "A:\\PW.CSV", "B:\\X.CSV"},
        {249, "A:\\ESC\\SECRET.CSV", "B:\\X.CSV"},
        {249, "A:\\OWN.CSV", "A:\\ESC\\COPY.CSV"},
        {253, "A:\\PW.CSV", nullptr},
        {253, "A:\\ESC", nullptr},
        {253, "A:\\ESC\\SECRET.CSV", nullptr},
    };
    for (const Case &c : refused) {
        const FileOpRec op = NameRec(1, c.opcode, R(100), c.name, c.name2);
        ASSERT_NO_FATAL_FAILURE(Finish(op));
        EXPECT_EQ(W(R(100)), CF_NOT_FOUND) << c.opcode << " " << c.name;
        File_Access(&op, 0);
    }
    // A wildcard copy takes the card's own file and leaves the link.
    const FileOpRec op = NameRec(1, 249, R(100), "A:\\*.CSV", "B:\\ALL\\");
    ASSERT_NO_FATAL_FAILURE(Finish(op));
    EXPECT_EQ(W(R(100)), 0);
    File_Access(&op, 0);
    EXPECT_EQ(Get("mnt/USB1/ALL/own.csv"), "O");
    EXPECT_FALSE(Exists("mnt/USB1/ALL/PW.CSV"));
    EXPECT_EQ(Get("outside/secret.csv"), "S");
    EXPECT_FALSE(Exists("outside/COPY.CSV"));
}

// The file opcodes besides 250 and 251 from a ladder program: each record
// decoded as laid out, carried out on the card, its status word final.
TEST_F(FileInstr, LadderRecordsOfCopyRenameDeleteFormatAndDescriptors) {
    MkDir("mnt/USB0/SRC");
    Put("mnt/USB0/SRC/a.csv", "A");
    MkDir("mnt/USB1");
    Put("mnt/USB1/old.txt", "O");
    const std::string dst = "A:\\DST\\C.CSV", ren = "A:\\SRC\\R.CSV";
    Rung(M(1), NameOp(249, R(100), "A:\\SRC\\A.CSV", &dst), Q(1));
    Rung(M(2), NameOp(252, R(102), "A:\\SRC\\A.CSV", &ren), Q(2));
    Rung(M(3), NameOp(253, R(104), "A:\\DST\\C.CSV"), Q(3));
    Rung(M(4), FormatOp(1, R(106)), Q(4));
    Rung(M(5), DescWrite(R(108), "A:\\D"), Q(5));
    Rung(M(6), DescRead(R(111), "A:\\D.CSV"), Q(6));
    Load();
    const auto job = [&](uint32_t enable, uint32_t status) {
        On(enable, true);
        Scan();
        EXPECT_TRUE(File_JobsIdle(10000));
        const uint16_t s = Run(status);
        Scan();
        On(enable, false);
        Scan();
        return s;
    };
    EXPECT_EQ(job(M(1), R(100)), 0);
    EXPECT_EQ(Get("mnt/USB0/DST/C.CSV"), "A");
    EXPECT_EQ(job(M(2), R(102)), 0);
    EXPECT_EQ(Get("mnt/USB0/SRC/R.CSV"), "A");
    EXPECT_FALSE(Exists("mnt/USB0/SRC/a.csv"));
    EXPECT_EQ(job(M(3), R(104)), 0);
    EXPECT_FALSE(Exists("mnt/USB0/DST/C.CSV"));
    EXPECT_EQ(job(M(4), R(106)), 0);
    EXPECT_FALSE(Exists("mnt/USB1/old.txt"));
    EXPECT_TRUE(Exists("mnt/USB1"));
    // The copy's power follows its status: 0 on the coil's scan, off once disabled.
    EXPECT_EQ(W(R(100)), 65532);
    for (uint16_t row = 1; row <= 2; row++) {
        SetW(R(10), uint16_t(-row));
        SetW(R(11), uint16_t(11 * row));
        EXPECT_EQ(job(M(5), R(108)), 0);
        EXPECT_EQ(W(R(109)), 2);
    }
    EXPECT_EQ(Get("mnt/USB0/D.CSV"), "V,T\r\n-1,11\r\n-2,22\r\n");
    // The first scan set the row counter (two words above the status) to 1:
    // rows 1 and 2 after the header, then the counter stands at 3.
    EXPECT_EQ(W(R(113)), 1);
    for (uint16_t row = 1; row <= 2; row++) {
        EXPECT_EQ(job(M(6), R(111)), 0);
        EXPECT_EQ(int16_t(W(R(20))), -row);
        EXPECT_EQ(W(R(21)), 11 * row);
    }
    EXPECT_EQ(W(R(113)), 3);
}

// A record that runs past the end of the program stops it like an invalid
// instruction.
TEST_F(FileInstr, LadderRecordCutShortStopsTheProgram) {
    const std::string dst = "A:\\B.CSV";
    std::vector<uint16_t> op = NameOp(249, R(100), "A:\\A.CSV", &dst);
    op.resize(op.size() - 2);
    a.contact(M(1));
    for (uint16_t w : op) a.word(w);
    ASSERT_TRUE(a.finish());
    LA_Load(a);
    EXPECT_NE(LogicUpdate(), -1);
}

// The first scan of a program frees the drives the program before it owned:
// a program that replaced a writer that still held the card writes at once.
TEST_F(FileInstr, FirstScanFreesTheDrivesOfThePreviousProgram) {
    Rung(M(1), FileOp(251, 2 | END, R(1), 5, 0, 1, R(100), "A:\\ONE.CSV"), Q(1));
    Load();
    SetW(R(1), 7);
    On(M(1), true);
    EXPECT_EQ(Run(R(100)), 0);
    EXPECT_EQ(Get("mnt/USB0/ONE.CSV"), "7\r\n");
    // The new program: its writer elsewhere in the stream.
    a = LadAsm{true};
    a.contact(M(20)).coil(Q(9));
    Rung(M(1), FileOp(251, 2 | END, R(1), 5, 0, 1, R(102), "A:\\TWO.CSV"), Q(2));
    Load();
    plc_reg[64] |= 1;
    EXPECT_EQ(Run(R(102)), 0);
    EXPECT_EQ(Get("mnt/USB0/TWO.CSV"), "7\r\n");
    // A request of the replaced program, answered but never collected, does
    // not keep the new program's writer off the channel.
    On(M(1), false);
    Scan();
    On(M(1), true);
    Scan();
    EXPECT_EQ(W(R(102)), 65534);
    Pass();
    Pass();
    Pass();
    a = LadAsm{true};
    Rung(M(1), FileOp(251, 2 | END, R(1), 5, 0, 1, R(104), "A:\\THREE.CSV"), Q(3));
    Load();
    plc_reg[64] |= 1;
    EXPECT_EQ(Run(R(104)), 0);
    EXPECT_EQ(Get("mnt/USB0/THREE.CSV"), "7\r\n");
}

// A ladder program names the SD card and the USB stick only: a "Z:" name is
// on the SD card like any name without "B:", so copy, delete, write, read
// and rename never reach the stored program or configuration.
TEST_F(FileInstr, ZNamesOfALadderProgramStayOnTheCard) {
    MkDir("mnt/cfg");
    Put("mnt/cfg/ladder.pgm", "PGM");
    Put("mnt/cfg/config.pgm", "CFG");
    Put("mnt/cfg/LADDER.PGM", "UPPER");
    Put("mnt/USB0/new.pgm", "NEW");
    const std::string to_cfg = "Z:\\CONFIG.PGM", ren_to = "Z:\\RENAMED.PGM";
    Rung(M(1), NameOp(249, R(100), "A:\\NEW.PGM", &to_cfg), Q(1));
    Rung(M(2), NameOp(253, R(102), "Z:\\LADDER.PGM"), Q(2));
    Rung(M(3), NameOp(253, R(104), "z:\\*"), Q(3));
    Rung(M(4), FileOp(251, 3 | END, R(1), 8, 0, 1, R(106), "Z:\\LADDER.PGM"), Q(4));
    Rung(M(5), FileOp(250, 0, R(10), 0, 0, 10, R(108), "Z:\\LADDER.PGM"), Q(5));
    Rung(M(6), NameOp(252, R(110), "Z:\\LADDER.PGM", &ren_to), Q(6));
    Load();
    const auto job = [&](uint32_t enable, uint32_t status) {
        On(enable, true);
        Scan();
        EXPECT_TRUE(File_JobsIdle(10000));
        const uint16_t s = Run(status);
        On(enable, false);
        Scan();
        return s;
    };
    // The copy lands on the card.
    EXPECT_EQ(job(M(1), R(100)), 0);
    EXPECT_EQ(Get("mnt/USB0/CONFIG.PGM"), "NEW");
    EXPECT_EQ(Get("mnt/cfg/config.pgm"), "CFG");
    EXPECT_FALSE(Exists("mnt/cfg/CONFIG.PGM"));
    // A delete of a name the card lacks finds nothing.
    EXPECT_EQ(job(M(2), R(102)), CF_NOT_FOUND);
    EXPECT_EQ(Get("mnt/cfg/ladder.pgm"), "PGM");
    EXPECT_EQ(Get("mnt/cfg/LADDER.PGM"), "UPPER");
    // A write in replace mode creates the card's file.
    SetW(R(1), 1234);
    EXPECT_EQ(job(M(4), R(106)), 0);
    EXPECT_EQ(Get("mnt/USB0/LADDER.PGM"), "1234\r\n");
    EXPECT_EQ(Get("mnt/cfg/ladder.pgm"), "PGM");
    EXPECT_EQ(Get("mnt/cfg/LADDER.PGM"), "UPPER");
    // A read takes the card's file, not the flash's.
    EXPECT_EQ(job(M(5), R(108)), 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(&plc_reg[2 * la::WordOf(R(10))])), "1234");
    // A rename renames the card's file.
    EXPECT_EQ(job(M(6), R(110)), 0);
    EXPECT_EQ(Get("mnt/USB0/RENAMED.PGM"), "1234\r\n");
    EXPECT_FALSE(Exists("mnt/cfg/RENAMED.PGM"));
    EXPECT_EQ(Get("mnt/cfg/LADDER.PGM"), "UPPER");
    // A delete of everything empties the card, never the flash.
    EXPECT_EQ(job(M(3), R(104)), 0);
    EXPECT_FALSE(Exists("mnt/USB0/RENAMED.PGM"));
    EXPECT_FALSE(Exists("mnt/USB0/new.pgm"));
    EXPECT_EQ(Get("mnt/cfg/ladder.pgm"), "PGM");
    EXPECT_EQ(Get("mnt/cfg/config.pgm"), "CFG");
    EXPECT_EQ(Get("mnt/cfg/LADDER.PGM"), "UPPER");
}

// The two drives' owners share the one file-request channel: a request
// finished but not yet collected is still its owner's. A writer of the USB
// stick placed before the card's reader in the program, enabled in the scan
// after the reader's request was answered, waits (-3) until the reader has
// collected its rows, and then writes its own file.
TEST_F(FileInstr, FinishedRequestStaysItsOwnersUntilCollected) {
    MkDir("mnt/USB1");
    Put("mnt/USB0/in.csv", "10,20,30\r\n");
    Rung(M(2), FileOp(251, 2 | END, R(1), 5, 0, 1, R(102), "B:\\OUT.CSV", 1), Q(2));
    Rung(M(1), FileOp(250, 0, R(10), 5, 0, 3, R(100), "A:\\IN.CSV"), Q(1));
    Load();
    SetW(R(1), 77);
    On(M(1), true);
    Scan();
    EXPECT_EQ(W(R(100)), 65534);
    Pass();
    Pass();
    Pass();
    EXPECT_EQ(dpram[DP_FILE_REQ], dpram[DP_FILE_ACK]);  // answered, not collected
    On(M(2), true);
    Scan();
    EXPECT_EQ(W(R(102)), 65533);  // nothing posted over the answer
    EXPECT_EQ(W(R(100)), 0);
    EXPECT_EQ(W(R(101)), 3);
    EXPECT_EQ(W(R(10)), 10);
    EXPECT_EQ(W(R(11)), 20);
    EXPECT_EQ(W(R(12)), 30);
    Scan();
    EXPECT_EQ(W(R(102)), 65534);
    EXPECT_EQ(Run(R(102)), 0);
    EXPECT_EQ(W(R(103)), 1);
    EXPECT_EQ(Get("mnt/USB1/OUT.CSV"), "77\r\n");
    EXPECT_EQ(W(R(100)), 0);
    EXPECT_EQ(W(R(10)), 10);
    // A reader disabled before it collected its answer hands the channel
    // back: the writer, before it in the program, finds the channel taken
    // in that scan and posts in the next.
    On(M(1), false);
    On(M(2), false);
    Scan();
    On(M(1), true);
    Scan();
    EXPECT_EQ(W(R(100)), 65534);
    Pass();
    Pass();
    Pass();
    On(M(1), false);
    On(M(2), true);
    SetW(R(1), 78);
    Scan();
    EXPECT_EQ(W(R(100)), 65532);
    EXPECT_EQ(W(R(102)), 65533);
    Scan();
    EXPECT_EQ(W(R(102)), 65534);
    EXPECT_EQ(Run(R(102)), 0);
    EXPECT_EQ(Get("mnt/USB1/OUT.CSV"), "77\r\n78\r\n");
}

// A copy job's result is its starter's until collected: a copy of the other
// drive's instruction asked for after the first job ended, before its owner
// polled, is refused (94) rather than started over the first one's result.
TEST_F(FileInstr, FinishedJobStaysItsStartersUntilCollected) {
    MkDir("mnt/USB1");
    MkDir("mnt/USB0/SRC");
    Put("mnt/USB0/ONE.CSV", "1");
    const FileOpRec a = NameRec(1, 249, R(100), "A:\\ONE.CSV", "A:\\TWO.CSV");
    FileOpRec b = NameRec(2, 249, R(102), "A:\\SRC", "B:\\X.CSV", 1);  // a folder: the copy fails (5)
    File_Access(&a, 1);
    EXPECT_EQ(W(R(100)), 65534);
    ASSERT_TRUE(File_JobsIdle(10000));
    File_Access(&b, 1);
    EXPECT_EQ(W(R(102)), 94);
    ASSERT_TRUE(File_JobsIdle(10000));
    EXPECT_EQ(File_Access(&a, 1), 1u);
    EXPECT_EQ(W(R(100)), 0);
    EXPECT_EQ(Get("mnt/USB0/TWO.CSV"), "1");
    // Collected: the other drive's copy starts and shows its own result.
    File_Access(&b, 0);
    File_Access(&b, 1);
    EXPECT_EQ(W(R(102)), 65534);
    ASSERT_TRUE(File_JobsIdle(10000));
    File_Access(&b, 1);
    EXPECT_EQ(W(R(102)), CF_MEDIA_ERROR);
    EXPECT_EQ(W(R(100)), 0);
    // A starter disabled before it collected gives the result up.
    File_Access(&a, 0);
    File_Access(&b, 0);
    File_Access(&a, 1);
    ASSERT_TRUE(File_JobsIdle(10000));
    File_Access(&a, 0);
    // Disabling an instruction whose copy is over (collected) leaves the
    // other drive's running copy alone.
    ASSERT_NO_FATAL_FAILURE(BigFile("mnt/USB0/SRC/big.bin"));
    File_Access(&a, 1);
    ASSERT_TRUE(File_JobsIdle(10000));
    EXPECT_EQ(File_Access(&a, 1), 1u);
    b.name = "A:\\SRC\\BIG.BIN";
    File_Access(&b, 1);
    EXPECT_EQ(W(R(102)), 65534);
    File_Access(&a, 0);
    ASSERT_TRUE(File_JobsIdle(10000));
    File_Access(&b, 1);
    EXPECT_EQ(W(R(102)), 0);
    struct stat st {};
    ASSERT_EQ(stat(P("mnt/USB1/X.CSV").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 50 << 20);
    // A starter gone without a word (its drive freed, as a new IEC
    // application frees its blocks' drives) keeps no result waiting.
    File_Access(&b, 0);
    File_Access(&a, 1);
    EXPECT_EQ(W(R(100)), 65534);
    ASSERT_TRUE(File_JobsIdle(10000));
    FileStatus[0] = 0;
    File_Access(&b, 1);
    EXPECT_EQ(W(R(102)), 65534);
    ASSERT_TRUE(File_JobsIdle(10000));
}

// A descriptor read that ended at the end of the file (65535) and is still
// enabled has nothing on the channel: the row restart clears bit 0 of its
// status, and it must not then poll the channel as if its read ran. The
// other drive's write posted meanwhile keeps its answer, and the reader's
// registers keep their values; a status word the program sets to 65534
// itself polls nothing either.
TEST_F(FileInstr, FinishedDescriptorReadPollsNoOtherRequest) {
    MkDir("mnt/USB1");
    Put("mnt/USB0/ROWS.CSV", "5,6\r\n");
    const FileOpRec dr = RowRead(6, ROW_DESCS, R(20), "A:\\ROWS.CSV");  // the counter is R(114)
    On(1536, false);
    SetW(R(110), 0);
    SetW(R(114), 1);  // the second row: there is none
    Poll(dr);
    ASSERT_EQ(W(R(110)), 65535);
    EXPECT_EQ(W(R(114)), 2);
    SetW(R(20), 111);
    SetW(R(21), 222);
    const FileOpRec b = StickWrite();
    SetW(R(1), 77);
    File_Access(&b, 1);
    EXPECT_EQ(W(R(102)), 65534);
    File_Access(&dr, 1);  // bit 0 set: the rows restart
    EXPECT_EQ(W(R(114)), 0);
    Pass();
    Pass();
    Pass();
    File_Access(&dr, 1);
    EXPECT_EQ(W(R(110)), 65535);
    EXPECT_EQ(W(R(20)), 111);
    EXPECT_EQ(W(R(21)), 222);
    EXPECT_EQ(File_Access(&b, 1), 1u);
    EXPECT_EQ(W(R(102)), 0);
    EXPECT_EQ(W(R(103)), 1);
    EXPECT_EQ(Get("mnt/USB1/OUT.CSV"), "77\r\n");
    // The program writes 65534 into a finished instruction's status.
    SetW(R(1), 78);
    File_Access(&b, 0);
    File_Access(&b, 1);
    EXPECT_EQ(W(R(102)), 65534);
    SetW(R(110), 65534);
    File_Access(&dr, 1);
    Pass();
    Pass();
    Pass();
    File_Access(&dr, 1);
    EXPECT_EQ(W(R(110)), 65534);
    EXPECT_EQ(W(R(20)), 111);
    EXPECT_EQ(File_Access(&b, 1), 1u);
    EXPECT_EQ(Get("mnt/USB1/OUT.CSV"), "77\r\n78\r\n");
}

// A text column read lays each row's text in a 128-byte slot of its own:
// every row read reaches the registers, not only as many bytes as rows.
TEST_F(FileInstr, TextColumnReadHandsBackEveryRowsSlot) {
    Put("mnt/USB0/NAMES.CSV", "ab,1\r\ncd,2\r\nef,3\r\n");
    FileOpRec rd = ReadRec(9, 0, 0, R(300), "A:\\NAMES.CSV");  // column 0, at most 600 rows
    rd.start = int32_t(0x80000000u | 2u << 16 | 0u);           // rows 0 and 1
    for (int i = 0; i < 130; i++) SetW(R(300 + i), 0xFFFF);
    Poll(rd);
    EXPECT_EQ(W(R(100)), 0);
    EXPECT_EQ(W(R(101)), 2);
    EXPECT_EQ(W(R(300)), 0x6261);  // "ab"
    EXPECT_EQ(W(R(301)), 0);       // its end, and the slot cleared
    EXPECT_EQ(W(R(364)), 0x6463);  // "cd" at byte 128
    EXPECT_EQ(W(R(365)), 0);
    EXPECT_EQ(W(R(428)), 0xFFFF);  // beyond the two slots: untouched
}

// A copy by pattern that also matches a folder copies the files and answers
// 5, as a copy without recursion does: the folder is not copied, and the
// instruction shows that not everything named was.
TEST_F(FileInstr, PatternCopyOverAFolderCopiesTheFilesAndAnswers5) {
    MkDir("mnt/USB1");
    MkDir("mnt/USB0/SRC");
    MkDir("mnt/USB0/SRC/sub.d");
    Put("mnt/USB0/SRC/sub.d/in.txt", "I");
    Put("mnt/USB0/SRC/a.d", "A");
    FileOpRec op = NameRec(1, 249, R(100), "A:\\SRC\\*.D", "B:\\OUT\\");
    ASSERT_NO_FATAL_FAILURE(Finish(op));
    EXPECT_EQ(W(R(100)), 5);
    EXPECT_EQ(Get("mnt/USB1/OUT/a.d"), "A");
    EXPECT_FALSE(Exists("mnt/USB1/OUT/sub.d"));
    File_Access(&op, 0);
    // Only files matching: 0.
    op.name = "A:\\SRC\\A.*";
    ASSERT_NO_FATAL_FAILURE(Finish(op));
    EXPECT_EQ(W(R(100)), 0);
}

// A destination holding '*' or '?' names no one file: it is refused with 86
// before any job starts, so no file or folder with such a name is made on
// the card and no file already there is written over.
TEST_F(FileInstr, ACopyToADestinationWithAWildcardIsRefused) {
    MkDir("mnt/USB1");
    MkDir("mnt/USB1/OUT");
    Put("mnt/USB0/SRC.TXT", "S");
    Put("mnt/USB1/OUT/A1.TXT", "1");
    FileOpRec op = NameRec(1, 249, R(100), "A:\\SRC.TXT");
    for (const char *dest : {"B:\\OUT\\A*.TXT", "B:\\OUT\\A?.TXT", "B:\\O*\\X.TXT", "B:\\OUT\\*"}) {
        SCOPED_TRACE(dest);
        op.name2 = dest;
        EXPECT_EQ(File_Access(&op, 1), 0u);
        EXPECT_EQ(W(R(100)), CF_INVALID);
        EXPECT_EQ(RmCopyOpsThreadId.load(), 0u);
        ASSERT_TRUE(File_JobsIdle(10000));
        File_Access(&op, 0);
    }
    EXPECT_EQ(Get("mnt/USB1/OUT/A1.TXT"), "1");
    std::vector<std::string> out, top;
    for (const auto &e : std::filesystem::directory_iterator(P("mnt/USB1/OUT"))) out.push_back(e.path().filename());
    for (const auto &e : std::filesystem::directory_iterator(P("mnt/USB1"))) top.push_back(e.path().filename());
    EXPECT_EQ(out, std::vector<std::string>{"A1.TXT"});
    EXPECT_EQ(top, std::vector<std::string>{"OUT"});
}

// Only a start that is posted takes a group of rows: a descriptor read
// refused before posting, or waiting for the channel, leaves its row counter
// as it was, however many scans it is tried.
TEST_F(FileInstr, DescriptorReadCountsOnlyPostedStarts) {
    MkDir("mnt/USB1");
    Put("mnt/USB0/ROWS.CSV", "5,6\r\n7,8\r\n");
    // Into a system register: refused (86) before posting. The counter is R(114).
    FileOpRec dr = RowRead(6, ROW_DESCS, la::SR(100), "A:\\ROWS.CSV");
    On(1536, false);
    SetW(R(110), 0);
    SetW(R(114), 0);
    const uint8_t req = dpram[DP_FILE_REQ];
    for (int i = 0; i < 3; i++) {
        File_Access(&dr, 1);
        EXPECT_EQ(W(R(110)), CF_INVALID);
        EXPECT_EQ(W(R(114)), 0);
    }
    EXPECT_EQ(dpram[DP_FILE_REQ], req);
    File_Access(&dr, 0);
    // Another instruction's write holds the channel: the read answers 65533
    // and its counter waits with it.
    const FileOpRec b = StickWrite();
    SetW(R(1), 77);
    File_Access(&b, 1);
    ASSERT_EQ(W(R(102)), FILE_BUSY);
    dr.data = R(20);
    SetW(R(110), 0);
    File_Access(&dr, 1);
    EXPECT_EQ(W(R(110)), FILE_OWNED);
    EXPECT_EQ(W(R(114)), 0);
    Collect(b);
    ASSERT_EQ(W(R(102)), 0);
    File_Access(&b, 0);
    // Posted at last: the first group of rows, and the counter moves on by one.
    SetW(R(110), 0);
    File_Access(&dr, 1);
    EXPECT_EQ(W(R(110)), FILE_BUSY);
    EXPECT_EQ(W(R(114)), 1);
    Collect(dr);
    EXPECT_EQ(W(R(110)), 0);
    EXPECT_EQ(W(R(111)), 2);
    EXPECT_EQ(W(R(20)), 5);
    EXPECT_EQ(W(R(21)), 6);
    EXPECT_EQ(W(R(114)), 1);
}

// One bit is moved by a read that hands back exactly one element: a read by
// column over several rows leaves the bit as it was, however many rows.
TEST_F(FileInstr, OneBitReadSetsTheBitOnlyFromOneElement) {
    std::string rows;
    for (int i = 0; i < 20; i++) rows += "1\r\n";
    Put("mnt/USB0/BITS.CSV", rows);
    FileOpRec rd = ReadRec(11, 2, 0, M(50), "A:\\BITS.CSV");  // column 0, at most 600 rows
    auto run = [&](uint32_t first, uint32_t end) {
        rd.start = int32_t(0x80000000u | end << 16 | first);
        Poll(rd);
        const uint16_t s = W(R(100));
        File_Access(&rd, 0);
        return s;
    };
    On(M(50), false);
    EXPECT_EQ(run(0, 3), 0);  // three rows: three elements
    EXPECT_EQ(W(R(101)), 3);
    EXPECT_FALSE(Bit(M(50)));
    EXPECT_EQ(run(0, 20), 0);  // more rows than a word holds
    EXPECT_EQ(W(R(101)), 20);
    EXPECT_FALSE(Bit(M(50)));
    EXPECT_EQ(run(4, 5), 0);  // one row: one element
    EXPECT_EQ(W(R(101)), 1);
    EXPECT_TRUE(Bit(M(50)));
}

// A read descriptor without a count reads nothing and takes no room: the
// registers behind the data read keep their values, never bytes an earlier
// request left in the channel.
TEST_F(FileInstr, DescriptorReadSkipsADescriptorWithoutCount) {
    Put("mnt/USB0/TWO.CSV", "5,6\r\n");
    Put("mnt/USB0/ONE.CSV", "7\r\n");
    const FileOpRec rd = ReadRec(12, 5, 2, R(30), "A:\\TWO.CSV");
    Poll(rd);
    ASSERT_EQ(W(R(100)), 0);
    ASSERT_EQ(W(R(31)), 6);
    File_Access(&rd, 0);
    const uint8_t rdesc[8] = {0, 0, 0, 0, 0, 5, 1, 0};  // text of no characters, one signed word
    const FileOpRec dr = RowRead(13, rdesc, R(20), "A:\\ONE.CSV");
    On(1536, false);
    SetW(R(110), 0);
    SetW(R(114), 0);
    SetW(R(20), 0x5A5A);
    SetW(R(21), 0x5A5A);
    Poll(dr);
    EXPECT_EQ(W(R(110)), 0);
    EXPECT_EQ(W(R(111)), 1);
    EXPECT_EQ(W(R(20)), 7);
    EXPECT_EQ(W(R(21)), 0x5A5A);
}

// A destination that ends with "\" is a folder also when a meta sequence in
// it grows or shrinks as it is expanded ("$1u8" gives "00000000"): the file goes
// into the folder, made for it, under its own name.
TEST_F(FileInstr, CopyIntoAFolderNamedWithAMetaSequence) {
    MkDir("mnt/USB1");
    Put("mnt/USB0/SRC.TXT", "S");
    FileOpRec op = NameRec(1, 249, R(100), "A:\\SRC.TXT", "B:\\BK\\$1u8\\");
    ASSERT_NO_FATAL_FAILURE(Finish(op));
    EXPECT_EQ(W(R(100)), 0);
    EXPECT_EQ(Get("mnt/USB1/BK/00000000/SRC.TXT"), "S");
    File_Access(&op, 0);
    // Shrinking: "A$1u1\" names the folder "A0".
    op.name2 = "B:\\A$1u1\\";
    ASSERT_NO_FATAL_FAILURE(Finish(op));
    EXPECT_EQ(W(R(100)), 0);
    EXPECT_EQ(Get("mnt/USB1/A0/SRC.TXT"), "S");
}

// A byte offset held in a register is taken as it stands: one so large that
// offset x 8 + 1024 passes 32 bits (0x20000F80 would come round to %R1) lies
// outside the image and is refused with 86, for a read and a write alike.
TEST_F(FileInstr, AByteOffsetPastThirtyTwoBitsIsRefusedNotWrapped) {
    constexpr uint8_t PTR = 0x80;
    Put("mnt/USB0/IN.CSV", "7\r\n");
    Rung(M(1), FileOp(250, PTR, R(200), 5, 0, 1, R(100), "A:\\IN.CSV"), Q(1));
    Rung(M(2), FileOp(251, 2 | END | PTR, R(200), 8, 0, 1, R(102), "A:\\OUT.CSV"), Q(2));
    Load();
    PlcDwordSet(la::WordOf(R(200)), 0x20000F80u);
    SetW(R(1), 1234);
    On(M(1), true);
    Scan();
    EXPECT_EQ(W(R(100)), CF_INVALID);
    EXPECT_EQ(W(R(1)), 1234);
    On(M(1), false);
    On(M(2), true);
    Scan();
    EXPECT_EQ(W(R(102)), CF_INVALID);
    EXPECT_FALSE(Exists("mnt/USB0/OUT.CSV"));
}

// A name held in the program is taken whole: one of 512 characters or more
// is refused with 86, never cut to its first 511. Cut, this one would name
// a file that is there (each "$1u1" gives one "0") and delete or rename it.
TEST_F(FileInstr, ANameLongerThanAPathIsRefusedNotCut) {
    std::string cut = "A:\\";
    for (int i = 0; i < 127; i++) cut += "$1u1";
    ASSERT_EQ(cut.size(), 511u);
    const std::string file = "mnt/USB0/" + std::string(127, '0');
    Put(file, "K");
    const std::string name = cut + "X";
    const std::string other = "A:\\NEW.TXT";
    Rung(M(1), NameOp(253, R(100), name), Q(1));
    Rung(M(2), NameOp(252, R(102), name, &other), Q(2));
    Load();
    On(M(1), true);
    EXPECT_EQ(Run(R(100)), CF_INVALID);
    On(M(1), false);
    On(M(2), true);
    EXPECT_EQ(Run(R(102)), CF_INVALID);
    EXPECT_EQ(Get(file), "K");
    EXPECT_FALSE(Exists("mnt/USB0/NEW.TXT"));
}

// A name that only fits cut short is refused with 86, never taken as the
// shorter name it would become: neither one whose meta sequences grow past a
// path ("FILE" and 200 zeros), nor one of 511 characters that runs past a
// path once placed on the card's mount point. Either, cut, would name
// "FILE" and 95 zeros, and delete it.
TEST_F(FileInstr, ANameGrownPastAPathByItsMetaSequencesIsRefused) {
    const std::string d(200, 'D'), e(200, 'E');
    const std::string dir = "A:\\" + d + "\\" + e + "\\FILE";
    std::string grown = dir;
    for (int i = 0; i < 25; i++) grown += "$1u8";
    ASSERT_EQ(grown.size(), 509u);
    const std::string whole = dir + std::string(102, '0');
    ASSERT_EQ(whole.size(), 511u);
    const std::string host = "mnt/USB0/" + d + "/" + e + "/FILE";
    MkDir("mnt/USB0/" + d);
    MkDir("mnt/USB0/" + d + "/" + e);
    Put(host + std::string(95, '0'), "K");
    Put(host + std::string(102, '0'), "L");
    ASSERT_EQ(Get(host + std::string(95, '0')), "K");
    FileOpRec op = NameRec(1, 253, R(100));
    for (const char *name : {grown.c_str(), whole.c_str()}) {
        op.name = name;
        EXPECT_EQ(File_Access(&op, 1), 0u);
        EXPECT_EQ(W(R(100)), CF_INVALID);
        ASSERT_TRUE(File_JobsIdle(10000));
        File_Access(&op, 1);
        File_Access(&op, 0);
    }
    EXPECT_EQ(Get(host + std::string(95, '0')), "K");
    EXPECT_EQ(Get(host + std::string(102, '0')), "L");
}

// An instruction whose status reference lies past the end of the image has
// nowhere to show its progress or its answer: it is refused before anything
// is posted, so it writes no file and holds neither the drive nor the
// request channel, and another instruction on the same drive runs as usual.
TEST_F(FileInstr, AStatusPastTheImageIsRefusedAndHoldsNothing) {
    constexpr uint32_t PAST = 0x10031000;  // first bit address after the image
    Rung(M(1), FileOp(251, 2 | END, R(1), 8, 0, 1, PAST, "A:\\BAD.CSV"), Q(1));
    Rung(M(2), FileOp(251, 2 | END, R(2), 8, 0, 1, R(102), "A:\\GOOD.CSV"), Q(2));
    Load();
    SetW(R(1), 111);
    SetW(R(2), 222);
    On(M(1), true);
    On(M(2), true);
    Scan();
    EXPECT_NE(W(R(102)), 65533);
    EXPECT_EQ(Run(R(102)), 0);
    EXPECT_EQ(W(R(103)), 1);
    Scan();
    EXPECT_FALSE(Bit(Q(1)));
    EXPECT_TRUE(Bit(Q(2)));
    EXPECT_EQ(Get("mnt/USB0/GOOD.CSV"), "222\r\n");
    EXPECT_FALSE(Exists("mnt/USB0/BAD.CSV"));
}

// A pattern of many '*' against a long name is matched in time linear in
// their lengths: a delete by "*A" twenty times and "*B" over a folder that
// holds a name of sixty A's answers 66 at once (a matcher that tried every
// way to place the A's would keep the scan for ages), and with a name that
// matches (in any case) it removes that one file only.
TEST_F(FileInstr, APatternOfManyStarsIsMatchedWithoutBacktrackingWithoutEnd) {
    const std::string sixty(60, 'A');
    MkDir("mnt/USB0/LOGS");
    Put("mnt/USB0/LOGS/" + sixty, "6");
    Put("mnt/USB0/LOGS/KEEP.TXT", "K");
    std::string pattern = "A:\\LOGS\\";
    for (int i = 0; i < 20; i++) pattern += "*A";
    pattern += "*B";
    const FileOpRec del = NameRec(1, 253, R(100), pattern.c_str());
    EXPECT_EQ(File_Access(&del, 1), 0u);
    EXPECT_EQ(W(R(100)), CF_NOT_FOUND);
    EXPECT_EQ(RmDeleteOpsThreadId.load(), 0u);
    File_Access(&del, 0);

    Put("mnt/USB0/LOGS/" + std::string(20, 'a') + "b", "M");
    EXPECT_EQ(File_Access(&del, 1), 0u);
    EXPECT_EQ(W(R(100)), FILE_BUSY);
    ASSERT_TRUE(File_JobsIdle(10000));
    EXPECT_EQ(File_Access(&del, 1), 1u);
    EXPECT_EQ(W(R(100)), 0);
    File_Access(&del, 0);
    EXPECT_FALSE(Exists("mnt/USB0/LOGS/" + std::string(20, 'a') + "b"));
    EXPECT_EQ(Get("mnt/USB0/LOGS/" + sixty), "6");
    EXPECT_EQ(Get("mnt/USB0/LOGS/KEEP.TXT"), "K");
}
