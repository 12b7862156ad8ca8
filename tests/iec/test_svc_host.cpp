// The runtime host in-process: the stored application started by
// Drevano_init, the register binding built from a location table and
// synchronised through its edges, the stop that leaves nothing to
// synchronise, the memory manager's files and the link's silence hand-back.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "core/image/iecrt.h"
#include "core/storage/memfile.h"
#include "core/image/plcreg.h"
#include "core/image/timebase.h"
#include "io/vcomm.h"
#include "iec/services/drevano.h"
#include "iec/services/z7svc.h"
#include "iec/vm/z7parts.h"
#include "iec/vm/z7vm.h"
#include "tests/support/iec_image.h"
#include "tests/support/iec_sync.h"
#include "tests/support/temp_root.h"

namespace {
using test_support::IecImage;

void WriteFile(const std::string &path, const std::vector<uint8_t> &b) {
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char *>(b.data()), std::streamsize(b.size()));
}
std::vector<uint8_t> ReadFile(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), {}};
}
bool Exists(const std::string &path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

uint16_t Reg16(uint32_t a) { return LE_Get16(PlcReg_Ptr(a, 16)); }
void SetReg16(uint32_t a, uint16_t v) { LE_Put16(PlcReg_Ptr(a, 16), v); }
bool RegBit(uint32_t a) { return (*PlcReg_Ptr(a, 1) >> (a % 8)) & 1; }
void SetRegBit(uint32_t a, bool v) {
    uint8_t *p = PlcReg_Ptr(a, 1);
    *p = uint8_t(v ? *p | (1u << (a % 8)) : *p & ~(1u << (a % 8)));
}
uint8_t *Vm(uint32_t loc, uint32_t width) { return Z7Mem_Ptr(Drevano_VmAddr(loc, width), width); }
uint16_t Vm16(uint32_t idx) { return LE_Get16(Vm(0x04000000 | idx, 2)); }
void SetVm16(uint32_t idx, uint16_t v) { LE_Put16(Vm(0x04000000 | idx, 2), v); }

class Host : public ::testing::Test {
protected:
    test_support::TempRoot root;
    std::vector<uint8_t> loc = std::vector<uint8_t>(6464 * 4, 0);
    uint32_t frt = 0;
    static inline Host *self = nullptr;

    void SetUp() override {
        mkdir((root / "mnt").c_str(), 0755);
        mkdir((root / "mnt/cfg").c_str(), 0755);
        plc_reg.fill(0);
        self = this;
        Z7Host_Frt = [] { return self->frt; };
    }
    void TearDown() override {
        __Exit();
        DrevanoI0_VarLoc = nullptr;
        DrevanoI0_VarLocLen = 0;
        Z7Host_Frt = FPGA_GetFrt;
    }
    void Bind(uint32_t slot, uint32_t value) { LE_Put32(&loc[4 * slot], value); }
    // Stores the image as z7.cod and runs the one-time start.
    void Start(const IecImage &img, uint32_t loc_len = 6464 * 4) {
        WriteFile(root / "mnt/cfg/z7.cod", img.Build());
        DrevanoI0_VarLoc = loc.data();
        DrevanoI0_VarLocLen = loc_len;
        Drevano_init();
    }
    static IecImage Image() {
        IecImage img;
        img.d8 = {20, 20, 0};
        img.d16 = {20, 20, 0};
        img.init16 = {{1, 7}, {8, 7}};
        return img;
    }
};

TEST_F(Host, StoredApplicationStartsAndSlotsLandInTheirTables) {
    testing::internal::CaptureStdout();
    Bind(1024, 0x04000003);  // word input 64 (bit address 2048)
    Bind(1088, 0x04000004);  // %SR1, bounded
    Bind(1280, 0x04000005);  // further system data window
    Bind(1344, 0x00000002);  // %I1
    Bind(3392, 0x00000003);  // %Q1
    Bind(5440, 0x04000006);  // %AI1
    Bind(5952, 0x04000001);  // %AQ1
    Bind(767, 0x00000004);   // system bit 1791, read-only
    Bind(768, 0x00000005);   // system bit 1792, writable
    Bind(5953, 0x04000015);  // INT 21: outside the 16-bit section, unbound
    Bind(5954, 0x1C000001);  // section code 7: no address
    Start(Image());
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Z7_main_loop_start\nDrevanoFirstRun_func\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Ready - Press CTRL+C to exit."), std::string::npos);
    ASSERT_NE(pDB, 0u);
    EXPECT_EQ(iVmAlive, 1);
    EXPECT_EQ(PlcWord(128), 1);
    EXPECT_EQ(drevano_variables_enumerateded, 1);
    EXPECT_EQ(ReadFile(root / "mnt/cfg/z7info.txt").size() > 20, true);

    ASSERT_EQ(WordInputEntries, 2u);
    EXPECT_EQ(VmDbWordInput_ptr[0].addr, 2048u);
    EXPECT_EQ(VmDbWordInput_ptr[1].addr, 16384u);
    ASSERT_EQ(WordSREntries, 2u);
    EXPECT_EQ(VmDbWordSR_ptr[0].addr, 3072u);
    EXPECT_EQ(VmDbWordSR_ptr[0].flags & 1, 1);
    EXPECT_EQ(VmDbWordSR_ptr[1].addr, 0x10030000u);
    EXPECT_EQ(VmDbWordSR_ptr[1].flags & 1, 0);
    ASSERT_EQ(BoolInputEntries, 1u);
    EXPECT_EQ(VmDbBitInput_ptr[0].addr, 8192u);
    ASSERT_EQ(BoolOutputEntries, 1u);
    EXPECT_EQ(VmDbBitOutput_ptr[0].addr, 10240u);
    ASSERT_EQ(WordOutputEntries, 1u);
    EXPECT_EQ(VmDbWordOutput_ptr[0].addr, 24576u);
    ASSERT_EQ(BoolSysEntries, 2u);
    EXPECT_EQ(VmDbBitSys_ptr[0].addr, 1791u);
    EXPECT_EQ(VmDbBitSys_ptr[0].flags & 0x10, 0);
    EXPECT_EQ(VmDbBitSys_ptr[1].addr, 1792u);
    EXPECT_EQ(VmDbBitSys_ptr[1].flags & 0x10, 0x10);
    EXPECT_EQ(DrevanoCalculateRegToken(VmDbWordOutput_ptr[0].vm, 0, 0), 24576u);
    EXPECT_EQ(DrevanoCalculateRegToken(VmDbWordOutput_ptr[0].vm, 0, 1), 0u);
    // A BOOL array keeps a byte per bit: 16 bits from element 10 would reach
    // past the 20-byte section and are refused; 8 bits fit.
    EXPECT_EQ(DrevanoCalculateVmDbAddress(0xD800000Au, 16), nullptr);
    EXPECT_NE(DrevanoCalculateVmDbAddress(0xD800000Au, 8), nullptr);
}

TEST_F(Host, SynchronisationThroughItsEdgesAndNothingAfterTheStop) {
    Bind(5440, 0x04000002);  // %AI1 -> INT 2
    Bind(5952, 0x04000001);  // %AQ1 -> INT 1 (initial 7)
    Bind(1344, 0x00000003);  // %I1 -> BOOL 3
    Bind(3392, 0x00000004);  // %Q1 -> BOOL 4
    Bind(767, 0x00000005);   // read-only system bit
    Bind(1090, 0x04000006);  // %SR3, bounded 0..25
    Bind(5953, 0x04000008);  // %AQ2 -> INT 8 (initial 7)
    Start(Image());
    const auto scan = test_support::IecSyncAll;
    SetReg16(24592, 7);  // %AQ2 already holds what the VM starts with
    scan();
    EXPECT_EQ(Reg16(24576), 7);  // the VM's initial value reaches the output register
    // equal on both sides is a value in step: a later write of the VM alone
    // reaches the register, and one of the register alone the VM
    SetVm16(8, 8);
    scan();
    EXPECT_EQ(Reg16(24592), 8);
    EXPECT_EQ(Vm16(8), 8);
    SetReg16(24592, 9);
    scan();
    EXPECT_EQ(Vm16(8), 9);
    SetReg16(16384, 21);
    scan();
    EXPECT_EQ(Vm16(2), 21);
    // word conflict: both changed, the register wins (outputs too)
    SetVm16(1, 100);
    SetReg16(24576, 200);
    scan();
    EXPECT_EQ(Vm16(1), 200);
    EXPECT_EQ(Reg16(24576), 200);
    // only the VM changed: the register follows
    SetVm16(1, 201);
    scan();
    EXPECT_EQ(Reg16(24576), 201);
    // bit conflict: the VM wins
    *Vm(3, 1) = 1;
    SetRegBit(8192, false);
    SetRegBit(8192, true);
    scan();
    EXPECT_EQ(*Vm(3, 1), 1);
    *Vm(4, 1) = 1;
    SetRegBit(10240, false);
    scan();
    EXPECT_TRUE(RegBit(10240));
    *Vm(4, 1) = 0;
    SetRegBit(10240, true);
    scan();
    EXPECT_FALSE(RegBit(10240));
    // only the register changed: the VM follows
    SetRegBit(8192, false);
    scan();
    EXPECT_EQ(*Vm(3, 1), 0);
    // a read-only system bit set by the VM is reset at the next scan
    *Vm(5, 1) = 1;
    scan();
    EXPECT_EQ(*Vm(5, 1), 0);
    // a bounded %SR outside its limits comes back from the register; inside
    // them it reaches the register
    SetReg16(3104, 3);
    scan();
    EXPECT_EQ(Vm16(6), 3);
    SetVm16(6, 26);
    scan();
    EXPECT_EQ(Vm16(6), 3);
    EXPECT_EQ(Reg16(3104), 3);
    SetVm16(6, 25);
    scan();
    EXPECT_EQ(Reg16(3104), 25);

    // a stop frees the database: nothing is synchronised into it any more
    const uint32_t live = Z7Mem_LiveBlocks();
    __Exit();
    EXPECT_EQ(pDB, 0u);
    EXPECT_LT(Z7Mem_LiveBlocks(), live);
    SetReg16(16384, 5);
    SetReg16(24576, 6);
    SetReg16(3104, 9);
    iVmAlive = 1;  // whatever the flag says
    scan();
    iVmAlive = 0;
    EXPECT_EQ(Reg16(24576), 6);
    EXPECT_EQ(Reg16(3104), 9);
    EXPECT_EQ(Drevano_TablesReady(), 0u);
}

// An on-line change keeps the database and rebuilds the tables twice (once
// when it is applied, once when the program is stored around it): a binding
// that did not change keeps what it last saw, so the application's writes of
// the cycle before are not taken for conflicts, and system words and bits
// already primed are not primed again; a binding new with the change is.
TEST_F(Host, ARebuildAfterAChangeKeepsWhatUnchangedBindingsLastSaw) {
    Bind(5952, 0x04000001);  // %AQ1 -> INT 1 (initial 7)
    Bind(3392, 0x00000004);  // %Q1 -> BOOL 4
    Bind(768, 0x00000005);   // writable system bit 1792 -> BOOL 5
    Bind(1090, 0x04000006);  // %SR3, bounded 0..25 -> INT 6
    Start(Image());
    const auto scan = test_support::IecSyncAll;
    SetReg16(3104, 3);
    *Vm(4, 1) = 1;
    scan();
    ASSERT_EQ(Reg16(24576), 7);
    ASSERT_TRUE(RegBit(10240));
    ASSERT_EQ(Vm16(6), 3);
    ASSERT_EQ(*Vm(5, 1), 0);
    // the application writes in the cycle before the change
    SetVm16(1, 8);
    *Vm(4, 1) = 0;
    *Vm(5, 1) = 1;
    SetVm16(6, 12);
    // bindings new with the change: %SR5 (bounded 0..4) and system bit 1793
    Bind(1092, 0x04000007);
    Bind(769, 0x00000006);
    SetReg16(3136, 3);
    SetVm16(7, 2);
    *Vm(6, 1) = 1;
    for (int rebuild = 0; rebuild < 2; rebuild++) {
        Drevano_StartGen++;
        Drevano_BuildTables();
    }
    ASSERT_EQ(Drevano_TablesReady(), 1u);
    scan();
    EXPECT_EQ(Reg16(24576), 8);
    EXPECT_EQ(Vm16(1), 8);
    EXPECT_FALSE(RegBit(10240));
    EXPECT_EQ(*Vm(4, 1), 0);
    EXPECT_TRUE(RegBit(1792));
    EXPECT_EQ(*Vm(5, 1), 1);
    EXPECT_EQ(Reg16(3104), 12);
    EXPECT_EQ(Vm16(6), 12);
    // the new ones are primed from their registers
    EXPECT_EQ(Vm16(7), 3);
    EXPECT_EQ(Reg16(3136), 3);
    EXPECT_EQ(*Vm(6, 1), 0);
    EXPECT_FALSE(RegBit(1793));
    // and synchronised from then on: the VM's writes reach them
    SetVm16(7, 4);
    *Vm(6, 1) = 1;
    scan();
    EXPECT_EQ(Reg16(3136), 4);
    EXPECT_TRUE(RegBit(1793));
    // a new start is a new database: everything is primed again
    __Exit();
    SetReg16(24576, 0);
    SetRegBit(1792, false);
    Start(Image());
    SetReg16(3104, 2);
    *Vm(5, 1) = 1;
    SetVm16(6, 9);
    scan();
    EXPECT_EQ(Vm16(6), 2);
    EXPECT_EQ(*Vm(5, 1), 0);
    EXPECT_EQ(Reg16(24576), 7);
}

TEST_F(Host, LocationTableShorterThanItsSlotsAndStaleTablesAfterARestart) {
    Bind(5952, 0x04000001);  // %AQ1: beyond a 4 KB table, so never read
    Bind(10, 0x00000001);
    Start(Image(), 4096);
    EXPECT_EQ(WordOutputEntries, 0u);
    EXPECT_EQ(BoolInputEntries, 1u);
    // a start after a stop rebuilds the tables at the first cycle
    __Exit();
    Start(Image());
    EXPECT_EQ(WordOutputEntries, 1u);
    EXPECT_EQ(Drevano_TablesReady(), 1u);
}

TEST_F(Host, MemoryManagerFilesPiecesAndSlots) {
    Z7MMData mm;
    Z7MM_Open(&mm, "");
    const uint8_t bytes[3] = {1, 2, 3};
    const Z7MMPiece p{3, bytes};
    // a start piece followed by no append ends with 1 and stores nothing
    EXPECT_EQ(Z7MM_WriteCodeRequest(&mm, 2, &p), 0u);
    EXPECT_EQ(Z7MM_WriteCodeRequest(&mm, 4, &p), 1u);
    EXPECT_FALSE(Exists(root / "mnt/cfg/z7.cod"));
    EXPECT_EQ(Z7MM_WriteCodeRequest(&mm, 5, &p), 1u);
    // 10,000 bytes load as 4096, 4096, 1808
    std::vector<uint8_t> big(10000);
    for (size_t i = 0; i < big.size(); i++) big[i] = uint8_t(i * 7);
    EXPECT_EQ(Z7MM_WriteCodeRequest(&mm, 2, &p), 0u);
    for (size_t i = 0; i < big.size(); i += 1000) {
        const Z7MMPiece q{1000, big.data() + i};
        ASSERT_EQ(Z7MM_WriteCodeRequest(&mm, 3, &q), 0u);
    }
    EXPECT_FALSE(Exists(root / "mnt/cfg/z7.cod"));  // still in z7.cod.tmp
    EXPECT_EQ(Z7MM_WriteCodeRequest(&mm, 4, &p), 0u);
    EXPECT_EQ(ReadFile(root / "mnt/cfg/z7.cod"), big);
    EXPECT_EQ(Z7MM_LoadCode(&mm), 0u);
    ASSERT_EQ(Z7MM_LastReadCount, 3u);
    EXPECT_EQ(Z7MM_LastReads[0], 4096u);
    EXPECT_EQ(Z7MM_LastReads[1], 4096u);
    EXPECT_EQ(Z7MM_LastReads[2], 1808u);
    const uint32_t block = mm.slot[0].block;
    EXPECT_EQ(Z7MM_LoadCode(&mm), 1u);  // keeps the old block
    EXPECT_EQ(mm.slot[0].block, block);
    EXPECT_EQ(Z7MM_WriteCodeRequest(&mm, 2, &p), 1u);  // no download while a block is held
    // a synchronisation download goes through a slot of its own: the file
    // is replaced, the held block stays
    EXPECT_EQ(Z7MM_WriteSyncRequest(&mm, 2, &p), 0u);
    EXPECT_EQ(Z7MM_WriteSyncRequest(&mm, 3, &p), 0u);
    EXPECT_EQ(Z7MM_WriteSyncRequest(&mm, 4, &p), 0u);
    EXPECT_EQ(ReadFile(root / "mnt/cfg/z7.cod"), std::vector<uint8_t>({1, 2, 3}));
    EXPECT_EQ(mm.slot[0].block, block);
    EXPECT_EQ(Z7MM_LinkCode(&mm), block);
    EXPECT_EQ(Z7MM_FreeCode(&mm), 1u);  // linked: never freed
    EXPECT_EQ(Z7MM_UnlinkCode(&mm), 0u);
    EXPECT_EQ(Z7MM_FreeCode(&mm), 0u);
    // the database image is written through z7.hot.tmp
    ASSERT_EQ(Z7MM_AllocRawVMDB(&mm, 5000), 0u);
    std::memset(Z7Mem_Ptr(mm.slot[1].block, 5000), 0xA5, 5000);
    EXPECT_EQ(Z7MM_SaveVMDB(&mm), 0u);
    EXPECT_EQ(ReadFile(root / "mnt/cfg/z7.hot"), std::vector<uint8_t>(5000, 0xA5));
    EXPECT_FALSE(Exists(root / "mnt/cfg/z7.hot.tmp"));
    // a download that outgrows the VM arena is refused and its file removed
    EXPECT_EQ(Z7MM_WriteChangeRequest(&mm, 2, &p), 0u);
    const Z7MMPiece huge{Z7MEM_SIZE, big.data()};
    EXPECT_EQ(Z7MM_WriteChangeRequest(&mm, 3, &huge), 1u);
    EXPECT_FALSE(Exists(root / "mnt/cfg/z7.upd.tmp"));
    // a piece that cannot be written whole (the file size limit cuts it after
    // 2 of its 3 bytes) gives the download up: its end answers 1 and no
    // image with a piece missing is stored
    EXPECT_EQ(Z7MM_WriteChangeRequest(&mm, 2, &p), 0u);
    EXPECT_EQ(Z7MM_WriteChangeRequest(&mm, 3, &p), 0u);
    rlimit was{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &was), 0);
    const auto old_xfsz = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = was;
    small.rlim_cur = 5;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const uint32_t cut = Z7MM_WriteChangeRequest(&mm, 3, &p);
    setrlimit(RLIMIT_FSIZE, &was);
    std::signal(SIGXFSZ, old_xfsz);
    EXPECT_EQ(cut, 1u);
    EXPECT_EQ(Z7MM_WriteChangeRequest(&mm, 3, &p), 1u);
    EXPECT_EQ(Z7MM_WriteChangeRequest(&mm, 4, &p), 1u);
    EXPECT_FALSE(Exists(root / "mnt/cfg/z7.upd"));
    EXPECT_FALSE(Exists(root / "mnt/cfg/z7.upd.tmp"));
    // the temporary files are never written through a link planted there,
    // and a FIFO there does not hold a download or a save up
    const std::string victim = root / "victim";
    const std::vector<uint8_t> kept = {'k', 'e', 'e', 'p'};
    WriteFile(victim, kept);
    ASSERT_EQ(symlink(victim.c_str(), (root / "mnt/cfg/z7.cod.tmp").c_str()), 0);
    ASSERT_EQ(mkfifo((root / "mnt/cfg/z7.hot.tmp").c_str(), 0600), 0);
    EXPECT_EQ(Z7MM_WriteSyncRequest(&mm, 2, &p), 0u);
    EXPECT_EQ(Z7MM_WriteSyncRequest(&mm, 3, &p), 0u);
    EXPECT_EQ(Z7MM_WriteSyncRequest(&mm, 4, &p), 0u);
    EXPECT_EQ(ReadFile(root / "mnt/cfg/z7.cod"), std::vector<uint8_t>({1, 2, 3}));
    EXPECT_EQ(Z7MM_SaveVMDB(&mm), 0u);
    EXPECT_EQ(ReadFile(root / "mnt/cfg/z7.hot"), std::vector<uint8_t>(5000, 0xA5));
    EXPECT_EQ(ReadFile(victim), kept);

    // a change image that became the code image is stored once as z7.cod;
    // otherwise only a save with a text writes it
    EXPECT_EQ(Z7MM_SaveChange(&mm), 0u);
    EXPECT_EQ(ReadFile(root / "mnt/cfg/z7.cod"), std::vector<uint8_t>({1, 2, 3}));
    const uint8_t next[3] = {4, 5, 6};
    const Z7MMPiece n{3, next};
    EXPECT_EQ(Z7MM_WriteChangeRequest(&mm, 2, &n), 0u);
    EXPECT_EQ(Z7MM_WriteChangeRequest(&mm, 3, &n), 0u);
    EXPECT_EQ(Z7MM_WriteChangeRequest(&mm, 4, &n), 0u);
    EXPECT_EQ(Z7MM_RegisterChange(&mm), 1u);  // no change image loaded
    ASSERT_EQ(Z7MM_LoadCode(&mm), 0u);
    ASSERT_EQ(Z7MM_LoadChange(&mm), 0u);
    EXPECT_EQ(Z7MM_RegisterChange(&mm), 0u);
    EXPECT_EQ(mm.slot[2].block, 0u);
    EXPECT_EQ(mm.slot[2].kind, Z7MM_CHANGE);
    EXPECT_EQ(ReadFile(root / "mnt/cfg/z7.cod"), std::vector<uint8_t>({1, 2, 3}));
    EXPECT_EQ(Z7MM_SaveChange(&mm), 0u);
    EXPECT_EQ(ReadFile(root / "mnt/cfg/z7.cod"), std::vector<uint8_t>({4, 5, 6}));
    Z7Mem_Put8(mm.slot[0].block, 9);
    EXPECT_EQ(Z7MM_SaveChange(&mm), 0u);
    EXPECT_EQ(ReadFile(root / "mnt/cfg/z7.cod"), std::vector<uint8_t>({4, 5, 6}));
    EXPECT_EQ(Z7MM_SaveChangeA(&mm, ""), 0u);
    EXPECT_EQ(ReadFile(root / "mnt/cfg/z7.cod"), std::vector<uint8_t>({4, 5, 6}));
    EXPECT_EQ(Z7MM_SaveChangeA(&mm, "APP"), 0u);
    EXPECT_EQ(ReadFile(root / "mnt/cfg/z7.cod"), std::vector<uint8_t>({9, 5, 6}));
    Z7MM_Close(&mm);
}

// Modbus questions (kinds 16 and 17) in runtime frames on the serial link
// while the database is locked: each is answered with return code 1.
TEST_F(Host, ModbusQuestionsWhileTheDatabaseIsBusyAnswerOne) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv), 0);
    Vcomm_Port[ProgrammingPort].fd = sv[0];
    Start(Image());
    Z7_Connect_Serial();
    ASSERT_EQ(_TakeMutex(), 1u);
    struct Row {
        std::vector<uint8_t> question, answer;
    };
    // question: 'Z','7', size 1, kind, CRC high byte first; answer: size 3, kind, code 1, CRC
    const Row rows[] = {
        {{0x5A, 0x37, 0x00, 0x01, 0x10, 0x25, 0x72}, {0x5A, 0x37, 0x00, 0x03, 0x10, 0x00, 0x01, 0x03, 0x25}},
        {{0x5A, 0x37, 0x00, 0x01, 0x11, 0xE5, 0xB3}, {0x5A, 0x37, 0x00, 0x03, 0x11, 0x00, 0x01, 0xC3, 0x74}}};
    for (const Row &r : rows) {
        ASSERT_EQ(write(sv[1], r.question.data(), r.question.size()), ssize_t(r.question.size()));
        std::vector<uint8_t> got;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (got.size() < r.answer.size() && std::chrono::steady_clock::now() < deadline) {
            Drevano_Comm_service();
            uint8_t buf[64];
            const ssize_t n = read(sv[1], buf, sizeof buf);
            if (n > 0)
                got.insert(got.end(), buf, buf + n);
            else
                usleep(1000);
        }
        EXPECT_EQ(got, r.answer);
    }
    _ReleaseMutex();
    __Exit();
    Vcomm_Port[ProgrammingPort].fd = -1;
    close(sv[0]);
    close(sv[1]);
}

// An on-line change asked on the serial link (kind 8): the image applied is
// set aside for the program's store, so a change downloaded right behind it
// is never the one stored; an image the program area could not store is
// refused before it runs.
TEST_F(Host, AnAppliedChangeIsSetAsideAndOneTooLargeToStoreIsRefused) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv), 0);
    Vcomm_Port[ProgrammingPort].fd = sv[0];
    IecImage app = Image();
    app.stamp = 0x5EED;  // a change must carry the running build's stamp
    const std::vector<uint8_t> image = app.Build();
    // The program carries the application: u16 74, two bytes, "XTI\0",
    // image length, four bytes, the image, a location table of 8 bytes.
    std::vector<uint8_t> pgm = {74, 0, 0, 0, 'X', 'T', 'I', 0, 0, 0, 0, 0, 0, 0, 0, 0};
    LE_Put32(&pgm[8], uint32_t(image.size()));
    pgm.insert(pgm.end(), image.begin(), image.end());
    pgm.insert(pgm.end(), 8, 0);
    std::memcpy(&ladder_bl[MF_HDR], pgm.data(), pgm.size());
    MF_SetHeader(ladder_bl.data(), crc16(pgm.data(), uint32_t(pgm.size())), uint32_t(pgm.size()));
    Start(app);
    Z7_Connect_Serial();
    auto change = [&] {
        std::vector<uint8_t> q = {'Z', '7', 0, 4, 8, 0, 0, 'A'};
        const uint16_t crc = Z7CS_Crc16(q.data(), uint32_t(q.size()));
        q.push_back(uint8_t(crc >> 8));
        q.push_back(uint8_t(crc));
        EXPECT_EQ(write(sv[1], q.data(), q.size()), ssize_t(q.size()));
        std::vector<uint8_t> got;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (got.size() < 9 && std::chrono::steady_clock::now() < deadline) {
            Drevano_Comm_service();
            uint8_t buf[64];
            const ssize_t n = read(sv[1], buf, sizeof buf);
            if (n > 0)
                got.insert(got.end(), buf, buf + n);
            else
                usleep(1000);
        }
        return got.size() >= 7 ? std::vector<uint8_t>(got.begin(), got.begin() + 7) : got;
    };
    const std::string upd = root / "mnt/cfg/z7.upd", applied = root / "mnt/cfg/z7.apl";
    // Too large for the 2 MB program area around its 8-byte table: refused
    // (return code 1), nothing applied, the download left where it was.
    const std::vector<uint8_t> big(2097152 - 16 - 8 + 1, 0x5A);
    WriteFile(upd, big);
    PlcWordSet(54272, 0);
    EXPECT_EQ(change(), (std::vector<uint8_t>{'Z', '7', 0, 3, 8, 0, 1}));
    EXPECT_EQ(PlcWord(54272), 0u);
    EXPECT_FALSE(Exists(applied));
    EXPECT_EQ(ReadFile(upd).size(), big.size());
    // The same application as a change: applied and set aside.
    WriteFile(upd, image);
    EXPECT_EQ(change(), (std::vector<uint8_t>{'Z', '7', 0, 3, 8, 0, 0}));
    EXPECT_EQ(PlcWord(54272) & 0x03, 0x03);
    EXPECT_EQ(ReadFile(applied), image);
    EXPECT_FALSE(Exists(upd));
    // A download right behind it: the store still takes the applied image.
    WriteFile(upd, std::vector<uint8_t>(301, 0xEE));
    EXPECT_EQ(MF_TakeIecChange(), 1u);
    EXPECT_EQ(ReadFile(root / "mnt/cfg/z7.cod"), image);
    EXPECT_FALSE(Exists(applied));
    __Exit();
    Vcomm_Port[ProgrammingPort].fd = -1;
    close(sv[0]);
    close(sv[1]);
}

// The host hooks: the runtime's own cycle thread runs one cycle (its first,
// which prints the restart flags) and __Exit waits for it; the console's
// interrupt key; a shell line through the platform; the file deletion while
// an application is in use and while none is.
TEST_F(Host, HostHooksThreadConsoleShellAndFileDeletion) {
    IecImage img = Image();
    img.has_retain = true;
    img.retain.c16 = 1;
    img.retain.f16 = 1;
    img.retain.sig = 0x0BADCAFE;
    Start(img);
    testing::internal::CaptureStdout();
    EXPECT_EQ(_RunThread(), 1u);
    __Exit();
    EXPECT_NE(testing::internal::GetCapturedStdout().find("_VMThread\ns_reg(res_scn) is 0\n"), std::string::npos);

    const int saved_in = dup(STDIN_FILENO);
    int keys[2];
    ASSERT_EQ(pipe(keys), 0);
    dup2(keys[0], STDIN_FILENO);
    EXPECT_EQ(_ShouldTerminate(), 0u);  // nothing waits: no wait either
    ASSERT_EQ(write(keys[1], "a\x03", 2), 2);
    EXPECT_EQ(_ShouldTerminate(), 0u);
    EXPECT_EQ(_ShouldTerminate(), 1u);
    dup2(saved_in, STDIN_FILENO);
    close(saved_in);
    close(keys[0]);
    close(keys[1]);

    mkdir((root / "sim").c_str(), 0755);
    EXPECT_EQ(Z7_SysCmd("mkdir /mnt/cfg/h55i"), 0);
    EXPECT_TRUE(Exists(root / "mnt/cfg/h55i"));
    EXPECT_EQ(ReadFile(root / "sim/commands.log"),
              std::vector<uint8_t>({'m', 'k', 'd', 'i', 'r', ' ', '/', 'm', 'n', 't',
                                    '/', 'c', 'f', 'g', '/', 'h', '5', '5', 'i', '\n'}));
    EXPECT_EQ(Z7REG(), 0u);
    char path[255];
    EXPECT_STREQ(Z7_GetFullPath("z7.log", path), "/mnt/cfg/z7.log");
    EXPECT_NE(Z7_GetFullPath(std::string(245, 'n').c_str(), path), nullptr);  // 9 + 245 = 254
    EXPECT_EQ(Z7_GetFullPath(std::string(246, 'n').c_str(), path), nullptr);

    // no application in use: the value comes back and nothing is deleted
    DrevanoRuntime = 0;
    Start(img);
    EXPECT_EQ(DelDrevanoFile(7), 7u);
    EXPECT_NE(pDB, 0u);
    // in use: stopped (the stop writes the retain file), both files deleted
    DrevanoRuntime = 1;
    EXPECT_EQ(DelDrevanoFile(7), 1u);
    EXPECT_EQ(DrevanoRuntime, 0);
    EXPECT_EQ(pDB, 0u);
    EXPECT_FALSE(Exists(root / "mnt/cfg/z7.cod"));
    EXPECT_FALSE(Exists(root / "mnt/cfg/z7.ret"));
}

// The cycle time registered in microseconds from the millisecond clock,
// also when that 32-bit clock wraps inside the cycle: every reading of it
// moves it on by 1 ms, so a cycle takes a few milliseconds whatever else
// reads the clock.
TEST_F(Host, CycleTimeInMicrosecondsAcrossTheClockWrap) {
    Start(Image());
    ASSERT_NE(pDB, 0u);
    static uint32_t ms = 0;
    const auto saved = Z7Host_Ms;
    Z7Host_Ms = [] { return ms++; };
    for (uint32_t base : {1000u, 0xFFFFFFFEu}) {
        ms = base;
        Z7Mem_Put32(Z7VM_Status(pDB) + ST_LONGEST, 0);
        _VMThread();
        const uint32_t us = Z7Mem_Get32(Z7VM_Status(pDB) + ST_LONGEST);
        EXPECT_GE(us, 1000u) << base;
        EXPECT_LE(us, 64000u) << base;
        EXPECT_EQ(us % 1000, 0u) << base;
    }
    Z7Host_Ms = saved;
}

TEST_F(Host, SerialLinkGoesBackAfterExactlyTheSilence) {
    Start(Image());
    frt = 0xFFFF0000u;  // across the wrap of the time base
    Z7_Connect_Serial();
    EXPECT_EQ(IsCommMode_Qncan, 0);
    frt += 650000;
    Drevano_Comm_service();
    EXPECT_EQ(IsCommMode_Qncan, 0);
    frt += 1;
    Drevano_Comm_service();
    EXPECT_EQ(IsCommMode_Qncan, 1);
    // a runtime shut down while it holds the serial link gives the port back
    is_z7protocol = 1;
    Z7_Connect_Serial();
    __Exit();
    EXPECT_EQ(IsCommMode_Qncan, 1);
    EXPECT_EQ(is_z7protocol, 0);
}

}  // namespace
