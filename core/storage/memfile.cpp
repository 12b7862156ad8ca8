// Memory files and their storage in the configuration flash: the program
// ("ladder.pgm"), the configuration blocks ("config.pgm"), the register image
// ("autoreg.dta") and the small files beside them, the persistent status word,
// the hand-off of an IEC application to the IEC runtime and the crash log.
#include "core/storage/memfile.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <execinfo.h>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

#include "core/storage/backup.h"
#include "core/image/plcreg.h"
#include "core/image/syshook.h"
#include "core/image/util.h"
#include "platform/plat.h"

std::array<uint8_t, LADDER_BL_SIZE> ladder_bl;
std::array<uint8_t, IO_CONFIG_BL_SIZE> io_config_bl;
std::array<uint8_t, NET_CONFIG_BL_SIZE> net_config_bl;
std::array<uint8_t, PROMGR_TABLE_BL_SIZE> promgr_table_bl;
std::array<uint8_t, SMS_TABLE_BL_SIZE> sms_table_bl;
std::array<uint8_t, DATALOG_TABLE_SIZE> datalog_table;
std::array<uint8_t, COPENDNET_TBL_SIZE> copendnet_tbl;
std::array<uint8_t, LADDER_OLP_SIZE> ladder_olp;
std::array<uint8_t, MQTT_TBL_SIZE> mqtt_tbl;
std::array<uint8_t, FLASH_PARM_TBL_SIZE> flash_parm_tbl;
std::array<uint8_t, 98> Cmd_SS_Info;
uint8_t CmdConfigChanged;
uint8_t Cmd_Downloading;
uint32_t DrevanoI0_VarLocLen = 0;
std::array<uint8_t, MF_HDR + SS_INFO_SIZE> ss_info_bl;

const uint8_t *DrevanoI0_VarLoc;
uint8_t fwload_set_def;
std::array<uint8_t, 32> bbram;

namespace {
constexpr int32_t NO_MIRROR = -1;

// A row for a block with its own header (CRC word at 0, length at 4).
constexpr FileInfo Block(uint8_t *area, std::size_t size, int32_t crc_m, int32_t len_m, uint16_t kb) {
    return FileInfo{area, size, area, area + 4, crc_m, len_m, kb, uint8_t(kb != 0 ? 1 : 0)};
}
// A row whose data live in the register image at byte `at` and whose CRC and
// length are register words.
constexpr FileInfo InImage(std::size_t at, std::size_t max, uint32_t crc_word, uint32_t len_word) {
    return FileInfo{&plc_reg[at - MF_HDR],
                    max + MF_HDR,
                    &plc_reg[2 * crc_word],
                    &plc_reg[2 * len_word],
                    NO_MIRROR,
                    NO_MIRROR,
                    0,
                    0};
}

std::array<FileInfo, FILE_TYPES> MakeFileInfo() {
    std::array<FileInfo, FILE_TYPES> t{};
    t[MFT_LADDER] = Block(&ladder_bl[0], LADDER_BL_SIZE, 150, 138, 256);
    t[MFT_FORCE] = InImage(MF_FORCE_BYTE, MF_FORCE_MAX, W_FORCE_CRC, W_FORCE_LEN);
    t[MFT_SETUP] = InImage(MF_SETUP_BYTE, MF_SETUP_MAX, W_SETUP_CRC, W_SETUP_LEN);
    t[MFT_IO_CONFIG] = Block(&io_config_bl[0], IO_CONFIG_BL_SIZE, 153, 144, 128);
    t[MFT_NET_CONFIG] = Block(&net_config_bl[0], NET_CONFIG_BL_SIZE, 154, 146, 0);
    t[MFT_SS_INFO] = Block(&ss_info_bl[0], ss_info_bl.size(), NO_MIRROR, NO_MIRROR, 0);
    t[MFT_MAC_IMAGE] = Block(&tinyImage[0], tinyImage.size(), NO_MIRROR, NO_MIRROR, 0);
    t[MFT_PROMGR] = Block(&promgr_table_bl[0], PROMGR_TABLE_BL_SIZE, 257, 250, 64);
    t[MFT_MESSAGING] = Block(&sms_table_bl[0], SMS_TABLE_BL_SIZE, 274, 270, 64);
    t[MFT_DATALOG] = Block(&datalog_table[0], DATALOG_TABLE_SIZE, NO_MIRROR, NO_MIRROR, 0);
    t[MFT_CANOPEN] = Block(&copendnet_tbl[0], COPENDNET_TBL_SIZE, NO_MIRROR, NO_MIRROR, 64);
    t[MFT_OLP] = Block(&ladder_olp[0], LADDER_OLP_SIZE, NO_MIRROR, NO_MIRROR, 64);
    t[MFT_MQTT] = Block(&mqtt_tbl[0], MQTT_TBL_SIZE, NO_MIRROR, NO_MIRROR, 64);
    return t;
}
}  // namespace

std::array<FileInfo, FILE_TYPES> file_info = MakeFileInfo();

void MF_SsInfoRefresh() {
    std::memcpy(&ss_info_bl[MF_HDR], Cmd_SS_Info.data(), SS_INFO_SIZE);
    MF_SetHeader(ss_info_bl.data(), crc16(&ss_info_bl[MF_HDR], SS_INFO_SIZE), SS_INFO_SIZE);
}

// ---- persistent status word ------------------------------------------------------
// The i.MX28 RTC persistent registers 3 and 4 (physical 0x80056090 and
// 0x800560A0), reached through the SoC register window. On a workstation the
// window is a file under the root, so the word survives a reset as on the board.
namespace {
constexpr uint32_t kRtcBase = 0x80056000;
constexpr std::size_t kRtcLen = 0x1000;
constexpr std::size_t kPersist3 = 0x90 / 4, kPersist4 = 0xA0 / 4;

volatile uint32_t *RtcRegs() {
    static volatile uint32_t *regs = PLAT_SocMap(kRtcBase, kRtcLen);
    return regs;
}
}  // namespace

uint32_t MF_PersistGet() {
    volatile uint32_t *r = RtcRegs();
    // Atomic like the read-modify-writes below: another thread may set bits meanwhile.
    return r != nullptr ? std::atomic_ref<uint32_t>(const_cast<uint32_t &>(r[kPersist3])).load() : 0;
}

void MF_PersistSet(uint32_t value) {
    volatile uint32_t *r = RtcRegs();
    if (r != nullptr) r[kPersist3] = value;
}

void MF_PersistNextSet(uint32_t value) {
    volatile uint32_t *r = RtcRegs();
    if (r != nullptr) r[kPersist4] = value;
}

void MF_PersistOr(uint32_t bits) {
    volatile uint32_t *r = RtcRegs();
    if (r != nullptr) std::atomic_ref<uint32_t>(const_cast<uint32_t &>(r[kPersist3])).fetch_or(bits);
}

void MF_PersistClear(uint32_t bits) {
    volatile uint32_t *r = RtcRegs();
    if (r != nullptr) std::atomic_ref<uint32_t>(const_cast<uint32_t &>(r[kPersist3])).fetch_and(~bits);
}

namespace {
// A storage fault of the main loop's loads and stores: kept in the persistent
// status and shown in word 54278 at once, so that a failed store is seen now,
// not only after the next start. (The watchdog thread's emergency save sets
// the persistent bits alone: it never writes the register image.)
void PersistOr(uint32_t bits) {
    MF_PersistOr(bits);
    PlcWordSet(W_STORFAULT, uint16_t(MF_PersistGet()));
}
}  // namespace

// ---- crash-safe file store -------------------------------------------------------------
namespace {
std::mutex save_lock;  // one save at a time: the temporary name is fixed per file

bool WriteAll(int fd, const uint8_t *p, std::size_t n) {
    while (n > 0) {
        const ssize_t w = write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (w == 0) return false;
        p += w;
        n -= std::size_t(w);
    }
    return true;
}

// Reads up to n bytes; answers the count read (short only at end of file or
// on an error).
std::size_t ReadAll(int fd, uint8_t *p, std::size_t n) {
    std::size_t got = 0;
    while (got < n) {
        const ssize_t r = read(fd, p + got, n - got);
        if (r < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (r == 0) break;
        got += std::size_t(r);
    }
    return got;
}

void SyncFolder(const char *path) {
    char dir[512];
    std::snprintf(dir, sizeof dir, "%s", path);
    char *slash = std::strrchr(dir, '/');
    if (slash == nullptr) return;
    if (slash == dir)
        slash[1] = 0;
    else
        *slash = 0;
    const int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}

// Opens a stored file for reading; -1 when missing or unreachable.
int OpenRead(const char *abs) {
    char p[512];
    if (PLAT_Path(abs, p, sizeof p) == nullptr) return -1;
    return open(p, O_RDONLY | O_CLOEXEC);
}

bool Exists(const char *abs) {
    char p[512];
    struct stat st {};
    return PLAT_Path(abs, p, sizeof p) != nullptr && stat(p, &st) == 0;
}

// Deletes a stored file; a file that does not exist counts as deleted.
bool Remove(const char *abs) {
    char p[512];
    if (PLAT_Path(abs, p, sizeof p) == nullptr) return false;
    return unlink(p) == 0 || errno == ENOENT;
}
}  // namespace

void (*MF_SaveLockedHook)() = nullptr;

namespace {
// The crash-safe store: fill writes the new contents into the temporary file.
template <class Fill>
uint32_t StoreVia(const char *abs, bool sync, Fill fill) {
    char path[512], tmp[512];
    if (PLAT_Path(abs, path, sizeof path) == nullptr) return 0;
    if (std::snprintf(tmp, sizeof tmp, "%s.tmp", path) >= int(sizeof tmp)) return 0;
    std::lock_guard<std::mutex> g(save_lock);
    if (MF_SaveLockedHook != nullptr) MF_SaveLockedHook();
    static bool said;  // one console line for the stores, not one per save
    const int fd = PLAT_CreateFile(tmp, 0600, &said);
    if (fd < 0) return 0;
    bool ok = fchmod(fd, 0600) == 0 && fill(fd);
    if (ok && sync) ok = fsync(fd) == 0;
    if (close(fd) != 0) ok = false;
    if (ok) ok = rename(tmp, path) == 0;
    if (!ok) {
        unlink(tmp);
        return 0;
    }
    if (sync) SyncFolder(path);
    return 1;
}
}  // namespace

uint32_t MF_WriteFile(const char *abs, std::span<const MfPiece> pieces, bool sync) {
    return StoreVia(abs, sync, [&](int fd) {
        for (const MfPiece &piece : pieces)
            if (piece.len != 0 && (piece.data == nullptr || !WriteAll(fd, piece.data, piece.len))) return false;
        return true;
    });
}

uint32_t MF_WriteFileNow(const char *abs, std::span<const MfPiece> pieces) {
    char path[512], tmp[512];
    if (PLAT_Path(abs, path, sizeof path) == nullptr) return 0;
    const std::size_t n = std::strlen(path);
    if (n + 5 > sizeof tmp) return 0;
    std::memcpy(tmp, path, n);
    std::memcpy(tmp + n, ".sig", 5);
    static bool said;
    const int fd = PLAT_CreateFile(tmp, 0600, &said);
    if (fd < 0) return 0;
    bool ok = true;
    for (const MfPiece &piece : pieces)
        ok = ok && (piece.len == 0 || (piece.data != nullptr && WriteAll(fd, piece.data, piece.len)));
    ok = ok && fsync(fd) == 0;
    if (close(fd) != 0) ok = false;
    if (ok) ok = rename(tmp, path) == 0;
    if (!ok) unlink(tmp);
    return ok ? 1 : 0;
}

uint32_t MF_CopyFile(const char *from, const char *to) {
    constexpr std::size_t kPiece = 1024;
    const int in = OpenRead(from);
    if (in < 0) return 0;
    struct stat st {};
    const bool sized = fstat(in, &st) == 0 && S_ISREG(st.st_mode);
    const uint32_t r = sized && StoreVia(to, true, [&](int fd) {
                           uint8_t buf[kPiece];
                           bool whole = true;
                           off_t total = 0;
                           for (;;) {
                               const std::size_t n = ReadAll(in, buf, kPiece);
                               total += off_t(n);
                               if (n != 0 && !WriteAll(fd, buf, n)) {
                                   std::fputs("write failed\n", stdout);
                                   std::fflush(stdout);
                                   whole = false;
                               }
                               if (n < kPiece) break;
                           }
                           return whole && total == st.st_size;  // a read cut short is no copy
                       });
    close(in);
    return r;
}

// ---- program and configuration blocks -----------------------------------------------------
namespace {
// One block of "config.pgm" in its fixed order.
struct ConfigBlock {
    uint8_t *area;
    std::size_t size;
};
constexpr std::size_t CONFIG_BLOCKS = 8;
constexpr std::size_t SETUP_INDEX = 1;  // stored with a u16 length and u16 CRC

std::array<ConfigBlock, CONFIG_BLOCKS> ConfigBlocks() {
    return {{{io_config_bl.data(), IO_CONFIG_BL_SIZE},
             {nullptr, 0},
             {promgr_table_bl.data(), PROMGR_TABLE_BL_SIZE},
             {sms_table_bl.data(), SMS_TABLE_BL_SIZE},
             {datalog_table.data(), DATALOG_TABLE_SIZE},
             {flash_parm_tbl.data(), FLASH_PARM_TBL_SIZE},
             {copendnet_tbl.data(), COPENDNET_TBL_SIZE},
             {mqtt_tbl.data(), MQTT_TBL_SIZE}}};
}

// Reads one block (header and data) into its area. Good when the header and
// the whole stored length were read; a stored length beyond the area is
// never trusted: the block is bad and its length in the area is cleared.
bool ReadBlock(int fd, uint8_t *area, std::size_t size) {
    uint8_t hdr[MF_HDR];
    if (ReadAll(fd, hdr, MF_HDR) != MF_HDR) return false;
    const uint32_t n = LE_Get32(hdr + 4);
    if (n > size - MF_HDR) {
        MF_SetHeader(area, 0, 0);
        return false;
    }
    std::memcpy(area, hdr, MF_HDR);
    return ReadAll(fd, area + MF_HDR, n) == n;
}

// The register set-up area: u16 length (word 148), u16 CRC (word 155), data.
bool ReadSetup(int fd) {
    uint8_t hdr[4];
    if (ReadAll(fd, hdr, 4) != 4) return false;
    const uint16_t n = LE_Get16(hdr);
    if (n > MF_SETUP_MAX) {
        PlcDwordSet(W_SETUP_LEN, 0);
        return false;
    }
    PlcDwordSet(W_SETUP_LEN, n);
    PlcWordSet(W_SETUP_CRC, LE_Get16(hdr + 2));
    return ReadAll(fd, &plc_reg[MF_SETUP_BYTE], n) == n;
}

uint32_t LoadConfig() {
    const int fd = OpenRead(MF_CONFIG_PGM);
    if (fd < 0 && errno == ENOENT) return 1;  // nothing stored yet
    if (fd < 0) {
        PersistOr(PS_CONFIG_SHORT);  // there but unreadable: never taken for missing
        return 0;
    }
    bool good = true;
    const auto blocks = ConfigBlocks();
    for (std::size_t i = 0; i < CONFIG_BLOCKS && good; i++) {
        good = i == SETUP_INDEX ? ReadSetup(fd) : ReadBlock(fd, blocks[i].area, blocks[i].size);
    }
    close(fd);
    if (good) return 1;
    PersistOr(PS_CONFIG_SHORT);
    return 0;
}

// Place of a file type's block in "config.pgm"; -1 for a type kept elsewhere.
int ConfigIndex(uint32_t type) {
    switch (type) {
    case MFT_IO_CONFIG: return 0;
    case MFT_SETUP: return int(SETUP_INDEX);
    case MFT_PROMGR: return 2;
    case MFT_MESSAGING: return 3;
    case MFT_DATALOG: return 4;
    case MFT_CANOPEN: return 6;
    case MFT_MQTT: return 7;
    default: return -1;
    }
}

uint32_t WriteConfig() {
    const auto blocks = ConfigBlocks();
    std::array<MfPiece, 2 * CONFIG_BLOCKS> pieces{};
    uint8_t setup_hdr[4];
    for (std::size_t i = 0; i < CONFIG_BLOCKS; i++) {
        if (i == SETUP_INDEX) {
            const uint32_t n = PlcDword(W_SETUP_LEN);
            const uint16_t len = uint16_t(n <= MF_SETUP_MAX ? n : 0);
            LE_Put16(setup_hdr, len);
            LE_Put16(setup_hdr + 2, PlcWord(W_SETUP_CRC));
            pieces[2 * i] = {setup_hdr, 4};
            pieces[2 * i + 1] = {&plc_reg[MF_SETUP_BYTE], len};
            continue;
        }
        // A length beyond the area is stored as an empty block.
        uint32_t n = MF_Len(blocks[i].area);
        if (n > blocks[i].size - MF_HDR) {
            MF_SetHeader(blocks[i].area, 0, 0);
            n = 0;
        }
        pieces[2 * i] = {blocks[i].area, MF_HDR};
        pieces[2 * i + 1] = {blocks[i].area + MF_HDR, n};
    }
    return MF_WriteFile(MF_CONFIG_PGM, pieces, true);
}

// Writes "ladder.pgm" from the program area; synced outside mode 2.
uint32_t WriteLadder() {
    uint32_t n = MF_Len(ladder_bl.data());
    if (n > LADDER_BL_SIZE - MF_HDR) n = 0;
    uint8_t hdr[MF_HDR];
    MF_SetHeader(hdr, MF_Crc(ladder_bl.data()), n);
    const std::array<MfPiece, 2> pieces{{{hdr, MF_HDR}, {ladder_bl.data() + MF_HDR, n}}};
    return MF_WriteFile(MF_LADDER_PGM, pieces, PlcWord(W_MODE) != 2);
}

// Where an IEC code image sits inside program data; false when the data
// carry none (or a length that does not fit in the data).
bool IecImage(const uint8_t *data, uint32_t len, uint32_t *image_len) {
    if (data == nullptr || len < 16) return false;
    if (LE_Get16(data) != 74 || std::memcmp(data + 4, "XTI", 4) != 0) return false;
    const uint32_t n = LE_Get32(data + 8);
    if (n > len - 16) return false;
    *image_len = n;
    return true;
}

// Reads "ladder.pgm" into the program area: 1 when its length and CRC
// hold, -1 when nothing is stored, 0 for a bad file.
int ReadStoredLadder() {
    const int fd = OpenRead(MF_LADDER_PGM);
    // Only a file that does not exist is missing; one that is there but
    // cannot be opened is a bad one, never replaced by a default.
    if (fd < 0) return errno == ENOENT ? -1 : 0;
    const bool good = ReadBlock(fd, ladder_bl.data(), LADDER_BL_SIZE) &&
                      crc16(&ladder_bl[MF_HDR], MF_Len(ladder_bl.data())) == MF_Crc(ladder_bl.data());
    close(fd);
    return good ? 1 : 0;
}

// Length of the program data in the area (0 for a length beyond it).
uint32_t LadderLen() {
    const uint32_t n = MF_Len(ladder_bl.data());
    return n > LADDER_BL_SIZE - MF_HDR ? 0 : n;
}
}  // namespace

uint32_t LoadLadder() {
    const int r = ReadStoredLadder();
    if (r < 0) return 1;  // nothing stored yet
    if (r == 0) {
        PersistOr(PS_LADDER_CRC);
        return 0;
    }
    DrevanoStart();
    return 1;
}

bool MF_ProgramCarriesIec() {
    uint32_t image = 0;
    return IecImage(&ladder_bl[MF_HDR], LadderLen(), &image);
}

namespace {
constexpr uint32_t kSection = 16;  // the code image starts at data offset 16

// What surrounds a change image in the program: the received program's code
// section when it carries one, else the program area's. False when the
// program is no IEC application or leaves no room for an image.
bool ChangeFrame(const uint8_t **base, uint32_t *image, uint32_t *tail_len) {
    if (!IecImage(&ladder_bl[MF_HDR], LadderLen(), image)) return false;
    *base = &ladder_bl[MF_HDR];
    uint32_t base_len = LadderLen();
    uint32_t received_image = 0;
    const uint32_t received_len = MF_Len(ladder_olp.data());
    if (received_len <= MF_LADDER_MAX && IecImage(&ladder_olp[MF_HDR], received_len, &received_image)) {
        *base = &ladder_olp[MF_HDR];
        base_len = received_len;
        *image = received_image;
    }
    *tail_len = base_len - kSection - *image;
    return kSection + *tail_len < MF_LADDER_MAX;
}
}  // namespace

uint32_t MF_IecChangeRoom() {
    const uint8_t *base = nullptr;
    uint32_t image = 0, tail_len = 0;
    return ChangeFrame(&base, &image, &tail_len) ? MF_LADDER_MAX - kSection - tail_len : 0;
}

uint32_t MF_TakeIecChange() {
    const uint8_t *base = nullptr;
    uint32_t image = 0, tail_len = 0;
    if (!ChangeFrame(&base, &image, &tail_len)) return 0;

    // The image the runtime applied, set aside by it at the apply: a change
    // downloaded behind it (into z7.upd) is never the one stored here.
    const int fd = OpenRead(MF_Z7APPLIED);
    if (fd < 0) return 0;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0 ||
        uint64_t(st.st_size) > MF_LADDER_MAX - kSection - tail_len) {
        close(fd);
        return 0;
    }
    const uint32_t fresh = uint32_t(st.st_size);
    uint8_t head[kSection];
    std::memcpy(head, base, kSection);
    LE_Put32(head + 8, fresh);
    uint8_t *data = &ladder_bl[MF_HDR];
    // The tail first (it may come from the area itself), then the head and the image.
    std::memmove(data + kSection + fresh, base + kSection + image, tail_len);
    std::memcpy(data, head, kSection);
    const bool whole = ReadAll(fd, data + kSection, fresh) == fresh;
    close(fd);
    if (!whole) {
        // The area is no longer the program: the stored program comes back.
        if (ReadStoredLadder() != 1) MF_SetHeader(ladder_bl.data(), 0, 0);
        return 0;
    }
    const uint32_t len = kSection + fresh + tail_len;
    MF_SetHeader(ladder_bl.data(), crc16(data, len), len);
    const std::array<MfPiece, 1> code{{{data + kSection, fresh}}};
    MF_WriteFile(MF_Z7COD, code, true);
    DrevanoI0_VarLoc = data + kSection + fresh;
    DrevanoI0_VarLocLen = tail_len;
    // A received program is taken once: a later change never finds it again.
    if (base == &ladder_olp[MF_HDR]) MF_SetHeader(ladder_olp.data(), 0, 0);
    if (WriteLadder() == 0) PersistOr(PS_LADDER_WRITE);
    Remove(MF_Z7APPLIED);  // stored: taken once
    return 1;
}

uint32_t LoadConfigBlock(uint32_t type) {
    const int want = ConfigIndex(type);
    if (want < 0) return 0;
    const int fd = OpenRead(MF_CONFIG_PGM);
    if (fd < 0) return 0;
    const auto blocks = ConfigBlocks();
    bool good = true;
    // The blocks before it: each header read and its data passed over.
    for (int i = 0; i < want && good; i++) {
        uint8_t hdr[MF_HDR];
        if (std::size_t(i) == SETUP_INDEX) {
            good = ReadAll(fd, hdr, 4) == 4 && LE_Get16(hdr) <= MF_SETUP_MAX && lseek(fd, LE_Get16(hdr), SEEK_CUR) >= 0;
        } else {
            good = ReadAll(fd, hdr, MF_HDR) == MF_HDR && LE_Get32(hdr + 4) <= blocks[std::size_t(i)].size - MF_HDR &&
                   lseek(fd, off_t(LE_Get32(hdr + 4)), SEEK_CUR) >= 0;
        }
    }
    if (good) {
        const ConfigBlock &b = blocks[std::size_t(want)];
        good = std::size_t(want) == SETUP_INDEX ? ReadSetup(fd) : ReadBlock(fd, b.area, b.size);
    }
    close(fd);
    return good ? 1 : 0;
}

uint32_t LoadProgram() {
    if (LoadLadder() == 0) return 0;
    return LoadConfig();
}

uint32_t SaveLadder() {
    if (WriteLadder() == 0) {
        PersistOr(PS_LADDER_WRITE);
        return 0;
    }
    if (DrevanoRuntime) {
        DrevanoStop();
        IecHook_DeleteProgram();
    }
    DrevanoStart();
    return 1;
}

uint32_t Z7SaveLadderPgm() { return WriteLadder(); }

uint32_t SaveProgram() {
    SaveLadder();
    // The configuration may be large: the watchdog is held off while it is
    // written and flushed.
    SysHook_StopWatchdog();
    const uint32_t ok = WriteConfig();
    SysHook_StartWatchdog();
    if (!ok) {
        PersistOr(PS_SAVE_FAIL);
        return 0;
    }
    return AutoSaveRegisters();
}

uint32_t DeleteProgram() {
    const bool a = Remove(MF_LADDER_PGM);
    const bool b = Remove(MF_CONFIG_PGM);
    return a && b ? 1 : 0;
}

// ---- register files ----------------------------------------------------------------------
// The whole image goes through the crash-safe store, synced, instead of a
// flush of one 512-byte window per call: a reset in mid-save then leaves the
// old image or the new one, never a mix.
//
// The configuration flash wears with every write, so a save is made only
// when the image differs from the one last saved. Left out of that
// comparison are the values that move on by themselves and are made anew
// after a start instead of taken from the file: the two clock records (the
// clock is read from the hardware clock at start) and the free-running clock
// bits of %S (rebuilt by the scan). A controller with nothing else changing
// then writes nothing. A save that fails, and every other writer of the
// file, make the next save write.
namespace {
std::array<uint8_t, PLC_REG_SIZE> saved_reg;
std::atomic<bool> saved_reg_valid{false};

// The byte ranges of the clock records: the local clock (words 171..177) and
// UTC (words 54291..54296).
constexpr std::size_t kClockFrom = 2 * W_CLOCK, kClockTo = kClockFrom + 14;
constexpr std::size_t kUtcFrom = 2 * W_UTC, kUtcTo = kUtcFrom + 12;
static_assert(SBITS_HI < kClockFrom && kClockTo < kUtcFrom && kUtcTo <= PLC_REG_SIZE);

// The file as the last save left it: another writer (a tool, a copy put
// back by hand) shows as another inode, size or modification time.
struct FileMark {
    dev_t dev;
    ino_t ino;
    off_t size;
    int64_t mtime_ns;
};
FileMark saved_mark;

bool MarkOf(const char *abs, FileMark *m) {
    char p[512];
    struct stat st {};
    if (PLAT_Path(abs, p, sizeof p) == nullptr || stat(p, &st) != 0) return false;
    *m = {st.st_dev, st.st_ino, st.st_size, int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
    return true;
}

bool SameAsSaved() {
    if (!saved_reg_valid.load()) return false;
    FileMark now{};
    if (!MarkOf(MF_AUTOREG, &now) || now.dev != saved_mark.dev || now.ino != saved_mark.ino ||
        now.size != saved_mark.size || now.mtime_ns != saved_mark.mtime_ns)
        return false;
    const uint8_t *a = plc_reg.data(), *b = saved_reg.data();
    constexpr uint8_t kSteady = uint8_t(~S_CLOCKS);
    return std::memcmp(a, b, SBITS_LO) == 0 && ((a[SBITS_LO] ^ b[SBITS_LO]) & kSteady) == 0 &&
           std::memcmp(a + SBITS_HI, b + SBITS_HI, kClockFrom - SBITS_HI) == 0 &&
           std::memcmp(a + kClockTo, b + kClockTo, kUtcFrom - kClockTo) == 0 &&
           std::memcmp(a + kUtcTo, b + kUtcTo, PLC_REG_SIZE - kUtcTo) == 0;
}
}  // namespace

void MF_RegisterFileChanged() { saved_reg_valid.store(false); }

uint32_t AutoSaveRegisters() {
    if (!Exists(MF_AUTOREG)) return 0;
    if (SameAsSaved()) return 1;
    const std::array<MfPiece, 1> pieces{{{plc_reg.data(), PLC_REG_SIZE}}};
    if (MF_WriteFile(MF_AUTOREG, pieces, true) == 0) {
        saved_reg_valid.store(false);
        PersistOr(PS_SAVE_FAIL);
        return 0;
    }
    std::memcpy(saved_reg.data(), plc_reg.data(), PLC_REG_SIZE);
    saved_reg_valid.store(MarkOf(MF_AUTOREG, &saved_mark));
    return 1;
}

namespace {
std::array<uint8_t, PLC_REG_SIZE> published_reg;
std::mutex published_lock;
bool published_any;
}  // namespace

void MF_PublishRegisters() {
    if (!published_lock.try_lock()) return;
    std::memcpy(published_reg.data(), plc_reg.data(), PLC_REG_SIZE);
    published_any = true;
    published_lock.unlock();
}

uint32_t MF_SavePublished() {
    std::lock_guard<std::mutex> g(published_lock);
    if (!published_any || !Exists(MF_AUTOREG)) return 0;
    MF_RegisterFileChanged();
    const std::array<MfPiece, 1> pieces{{{published_reg.data(), PLC_REG_SIZE}}};
    if (MF_WriteFile(MF_AUTOREG, pieces, true) == 0) {
        MF_PersistOr(PS_SAVE_FAIL);
        return 0;
    }
    return 1;
}

uint32_t AutoSaveRegistersNow() {
    if (!Exists(MF_AUTOREG)) return 0;
    MF_RegisterFileChanged();
    const std::array<MfPiece, 1> pieces{{{plc_reg.data(), PLC_REG_SIZE}}};
    return MF_WriteFileNow(MF_AUTOREG, pieces);
}

uint32_t AutoLoadRegisters() {
    bbram.fill(0);
    int fd = OpenRead(MF_BBRAM);
    if (fd >= 0) {
        ReadAll(fd, bbram.data(), bbram.size());
        close(fd);
    }
    fd = OpenRead(MF_OEMINFO);
    if (fd >= 0) {
        ReadAll(fd, &crc_header[3], 1);
        close(fd);
    }
    MF_RegisterFileChanged();
    fd = OpenRead(MF_AUTOREG);
    if (fd < 0 && errno != ENOENT) {
        PersistOr(PS_AUTOREG_SHORT);  // there but unreadable: never replaced by an empty one
        PlcWordSet(W_STORFAULT, uint16_t(MF_PersistGet()));
        return 0;
    }
    if (fd < 0) {
        CrtAutoSaveRegFile();
        MF_PersistClear(PS_REGFILE_DELETED);
        PlcWordSet(W_STORFAULT, uint16_t(MF_PersistGet()));
        fwload_set_def = 1;
        return 1;
    }
    if (ReadAll(fd, plc_reg.data(), PLC_REG_SIZE) != PLC_REG_SIZE) PersistOr(PS_AUTOREG_SHORT);
    close(fd);
    PlcWordSet(W_STORFAULT, uint16_t(MF_PersistGet()));
    return 0;
}

uint32_t CrtAutoSaveRegFile() {
    const std::span<const MfPiece> none{};
    MF_WriteFile(MF_BBRAM, none, true);
    MF_RegisterFileChanged();
    const uint32_t created = MF_WriteFile(MF_AUTOREG, none, true);
    const int fd = OpenRead(MF_RETNREG);
    if (fd >= 0) {
        uint8_t w[4];
        if (ReadAll(fd, w, 4) == 4) {
            PlcWordSet(W_NETID, LE_Get16(w));
            PlcWordSet(W_CANRATE, LE_Get16(w + 2));
        }
        close(fd);
    }
    if (!created) {
        PersistOr(PS_AUTOREG_CREATE);
        return 0;
    }
    return 1;
}

uint32_t DelAutoRegFile() {
    uint8_t w[4];
    LE_Put16(w, PlcWord(W_NETID));
    LE_Put16(w + 2, PlcWord(W_CANRATE));
    const std::array<MfPiece, 1> pieces{{{w, 4}}};
    MF_WriteFile(MF_RETNREG, pieces, true);
    MF_PersistSet(PS_REGFILE_DELETED);
    MF_PersistNextSet(0);
    MF_RegisterFileChanged();
    return Remove(MF_AUTOREG) ? 1 : 0;
}

uint32_t SaveBBRAMFile() {
    const std::array<MfPiece, 1> pieces{{{bbram.data(), bbram.size()}}};
    return MF_WriteFile(MF_BBRAM, pieces, true);
}

uint32_t BkpRegisters() {
    // CRC word, length n, then n + 8 bytes (the image and the two markers).
    const uint32_t n = LE_Get32(&crcsize_tbl[4]);
    if (n > crcsize_tbl.size() - 2 * MF_HDR) return 0;
    const std::array<MfPiece, 1> pieces{{{crcsize_tbl.data(), MF_HDR + n + 8}}};
    return MF_WriteFile(MF_BKPREG, pieces, true);
}

uint32_t LoadRegisters() {
    const int fd = OpenRead(MF_BKPREG);
    if (fd < 0) return 0;
    uint8_t hdr[MF_HDR];
    if (ReadAll(fd, hdr, MF_HDR) == MF_HDR) {
        const uint32_t n = LE_Get32(hdr + 4);
        if (n <= crcsize_tbl.size() - 2 * MF_HDR) {
            std::memcpy(crcsize_tbl.data(), hdr, MF_HDR);
            ReadAll(fd, &crcsize_tbl[MF_HDR], n + 8);
        }
    }
    close(fd);
    return 1;
}

uint32_t MF_RemoveFile(const char *abs) { return Remove(abs) ? 1 : 0; }

namespace {
// Stored files that must be plain files where they exist.
constexpr std::array<const char *, 12> kStoredNames = {"ladder.pgm", "config.pgm", "autoreg.dta", "retnreg.dta",
                                                       "bbram.dta",  "bkpreg.dta", "oeminfo",     "z7.cod",
                                                       "z7.ret",     "Z7_BKP.RET", "z7.hot",      "z7.upd"};

bool Unreadable(const char *path, int err) {
    // A file of another user in a folder this user owns: the folder is not
    // what is wrong, the file is, and the line says so.
    struct stat file {};
    struct stat folder {};
    char dir[512];
    const char *slash = std::strrchr(path, '/');
    const std::size_t n = slash != nullptr ? std::size_t(slash - path) : 0;
    if ((err == EACCES || err == EPERM) && n > 0 && n < sizeof dir && stat(path, &file) == 0) {
        std::memcpy(dir, path, n);
        dir[n] = '\0';
        const uid_t me = geteuid();
        if (file.st_uid != me && stat(dir, &folder) == 0 && folder.st_uid == me) {
            std::fprintf(stderr,
                         "Cannot read %s (%s): the file belongs to another user (uid %u) than the one the controller "
                         "runs as (uid %u), who owns its folder; the controller stops and changes no stored file; "
                         "give the file to uid %u (chown), or start the controller as uid %u\n",
                         path, std::strerror(err), unsigned(file.st_uid), unsigned(me), unsigned(me),
                         unsigned(file.st_uid));
            return false;
        }
    }
    std::fprintf(stderr,
                 "Cannot read %s (%s): the controller stops and changes no stored file; start it as the user who "
                 "owns its data folder, or mend the file\n",
                 path, std::strerror(err));
    return false;
}

// One entry of the folder: a plain file must open and give its first byte.
bool EntryReadable(const char *path, bool must_be_file) {
    struct stat st {};
    if (stat(path, &st) != 0) return errno == ENOENT || Unreadable(path, errno);  // a dangling link is missing
    if (S_ISDIR(st.st_mode)) return !must_be_file || Unreadable(path, EISDIR);
    if (!S_ISREG(st.st_mode)) return !must_be_file || Unreadable(path, EINVAL);
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return Unreadable(path, errno);
    uint8_t b;
    const bool read_ok = pread(fd, &b, 1, 0) >= 0;
    const int err = errno;
    close(fd);
    return read_ok || Unreadable(path, err);
}
}  // namespace

bool MF_CheckStoredFiles() {
    char dir[512];
    if (PLAT_Path("/mnt/cfg", dir, sizeof dir) == nullptr) return true;
    DIR *d = opendir(dir);
    if (d == nullptr) return errno == ENOENT || Unreadable(dir, errno);
    bool ok = true;
    while (ok) {
        errno = 0;
        const dirent *e = readdir(d);
        if (e == nullptr) {
            if (errno != 0) ok = Unreadable(dir, errno);
            break;
        }
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
        char path[768];
        if (std::snprintf(path, sizeof path, "%s/%s", dir, e->d_name) >= int(sizeof path)) continue;
        bool stored = false;
        for (const char *n : kStoredNames) stored = stored || std::strcmp(n, e->d_name) == 0;
        ok = EntryReadable(path, stored);
    }
    closedir(d);
    return ok;
}

uint32_t ClrRegFile() {
    const bool ok = Remove(MF_BKPREG);
    Remove(MF_Z7BKP);  // the IEC retain part of the backup
    if (DrevanoRuntime) IecHook_DeleteRetain();
    crcsize_tbl[BKP_MARKER] = 0;
    crcsize_tbl[BKP_RESTORED] = 255;
    return ok ? 1 : 0;
}

// ---- IEC hand-off -------------------------------------------------------------------------
void LoadDrevano(const uint8_t *data, uint32_t len) {
    DrevanoI0_VarLoc = nullptr;
    DrevanoI0_VarLocLen = 0;
    uint32_t image = 0;
    if (!IecImage(data, len, &image)) {
        SysHook_IoConfig();
        DrevanoRuntime = 0;
        return;
    }
    Remove(MF_Z7COD);
    const std::array<MfPiece, 1> pieces{{{data + 16, image}}};
    if (MF_WriteFile(MF_Z7COD, pieces, true) && image != 0) {
        DrevanoI0_VarLoc = data + 16 + image;
        DrevanoI0_VarLocLen = len - 16 - image;  // the location table ends with the program data
    }
    DrevanoRuntime = 1;
    IecHook_Init();
    CmdConfigChanged = 1;
    SysHook_NetIoConfig();
}

void DrevanoStart() {
    uint32_t n = MF_Len(ladder_bl.data());
    if (n > LADDER_BL_SIZE - MF_HDR) n = 0;
    LoadDrevano(&ladder_bl[MF_HDR], n);
}

// ---- crash log ---------------------------------------------------------------------------
namespace {
// The first backtrace loads the unwinder; do it before any signal arrives so
// that the handler's call allocates nothing.
[[maybe_unused]] const int backtrace_ready = [] {
    void *frame[1];
    return backtrace(frame, 1);
}();
}  // namespace

// Called from the fatal-signal handler: only async-signal-safe calls.
void GenLogFile() {
    void *frames[32];
    const int n = backtrace(frames, 32);
    char p[512];
    if (PLAT_Path(MF_LOGFILE, p, sizeof p) == nullptr) return;
    // No console line here: the fatal-signal handler may only make safe calls.
    const int fd = PLAT_CreateFile(p, 0600, nullptr);
    if (fd < 0) return;
    fchmod(fd, 0600);
    backtrace_symbols_fd(frames, n, fd);
    fsync(fd);
    close(fd);
}
