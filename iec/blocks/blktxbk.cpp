// The text-buffer blocks: the IEC program's calls of the text objects.
// Handles travel in DINT operands; results in BOOL outputs.
#include <algorithm>
#include <cstring>

#include "iec/blocks/blkform.h"
#include "iec/blocks/blktxb.h"
#include "iec/vm/z7cnv.h"
#include "iec/vm/z7stdlib.h"
#include "iec/vm/z7str.h"

namespace {
constexpr uint32_t kNewSize = 32;
constexpr uint32_t kTcpPiece = 255;
constexpr uint32_t kTcpMax = 65536;  // bytes taken from a socket in one call

bool HasHeap(const Z7Ops &o) { return Blk_Heap(o.db) != 0; }
uint32_t H(const Z7Ops &o, uint32_t k) { return o.U32(k); }

void Manager(const Z7Ops &o) {
    o.SetB(0, HasHeap(o));
    o.SetD(1, int32_t(Z7XS_Count(o.db)));
}
void LastError(const Z7Ops &o) { o.SetD(0, int32_t(Z7XS_LastError(o.db))); }
void New(const Z7Ops &o) {
    if (HasHeap(o)) o.SetD(0, int32_t(Z7XS_Alloc(o.db, kNewSize, nullptr)));
}
void NewString(const Z7Ops &o) {
    if (!HasHeap(o)) return;
    char t[256];
    Z7Ops_Text(o, 0, t);
    o.SetD(1, int32_t(Z7XS_Alloc(o.db, 0, t)));
}
void Free(const Z7Ops &o) { o.SetB(1, Z7XS_Free(o.db, H(o, 0)) != 0); }
void Clear(const Z7Ops &o) { o.SetB(1, Z7XS_Set(o.db, H(o, 0), nullptr, 0) != 0); }
void SetString(const Z7Ops &o) {
    char t[256];
    const uint32_t n = Z7Ops_Text(o, 1, t);
    o.SetB(2, Z7XS_Set(o.db, H(o, 0), reinterpret_cast<const uint8_t *>(t), n) != 0);
}
// handle, byte array, its element count, OK
void SetData(const Z7Ops &o) {
    const uint32_t count = o.Lit(2);
    const uint8_t *a = Blk_ByteArray(o, 1, count);
    if (a == nullptr) {
        o.SetB(3, false);
        return;
    }
    const uint32_t n = uint32_t(strnlen(reinterpret_cast<const char *>(a), count));
    o.SetB(3, Z7XS_Set(o.db, H(o, 0), a, n) != 0);
}
// type code, handle, value, OK
void Append(const Z7Ops &o) {
    char t[256];
    const uint32_t type = o.Lit(0);
    if (type == IEC_STRING)
        Z7Ops_Text(o, 2, t);
    else
        Z7VMCnv_NumToSZ(o.db, type, o.Lit(2), t);
    o.SetB(3, Z7XS_Append(o.db, H(o, 1), t) != 0);
}
void AppendLine(const Z7Ops &o) {
    char t[256];
    Z7Ops_Text(o, 1, t);
    bool ok = Z7XS_Append(o.db, H(o, 0), t) != 0;
    if (ok) ok = Z7XS_Append(o.db, H(o, 0), "\n") != 0;
    o.SetB(2, ok);
}
void AppendEol(const Z7Ops &o) { o.SetB(1, Z7XS_Append(o.db, H(o, 0), "\n") != 0); }
void AppendTxb(const Z7Ops &o) { o.SetB(2, Z7XS_AppendXS(o.db, H(o, 0), H(o, 1)) != 0); }
void Copy(const Z7Ops &o) { o.SetB(2, Z7XS_Copy(o.db, H(o, 0), H(o, 1)) != 0); }
// The STRING outputs below are written only when not forced (lock 0x20);
// the text is read (and a line consumed) all the same.
bool StrForced(const Z7Ops &o, uint32_t k) { return o.Forced(k, 0, Z7LK_STR); }
void GetString(const Z7Ops &o) {
    char t[256];
    const uint32_t max = Z7VMStr_GetMaxLength(o.db, o.Lit(1));
    const uint32_t n = Z7XS_Get(o.db, H(o, 0), t, max + 1);
    t[n] = 0;
    if (!StrForced(o, 1)) Z7VMStr_AscForce(Z7VMStr_Slot(o.db, o.Lit(1)), t, n);
}
// handle, byte array, its element count, OK
void GetData(const Z7Ops &o) {
    const uint32_t count = o.Lit(2);
    uint8_t *a = Blk_ByteArray(o, 1, count);
    if (a == nullptr || Blk_Heap(o.db) == 0) {
        o.SetB(3, false);
        return;
    }
    Z7XS_Get(o.db, H(o, 0), reinterpret_cast<char *>(a), count);
    o.SetB(3, Z7XS_LastError(o.db) == XS_OK);
}
void GetLine(const Z7Ops &o) {
    char t[257];
    const uint32_t max = Z7VMStr_GetMaxLength(o.db, o.Lit(1));
    const uint32_t got = Z7XS_GetLine(o.db, H(o, 0), t, max + 1);
    if (!got) t[0] = 0;
    if (!StrForced(o, 1)) Z7VMStr_AscForce(Z7VMStr_Slot(o.db, o.Lit(1)), t, uint32_t(strnlen(t, max)));
    o.SetB(2, got != 0);
}
void Rewind(const Z7Ops &o) { o.SetB(1, Z7XS_Rewind(o.db, H(o, 0)) != 0); }
void GetLength(const Z7Ops &o) {
    if (HasHeap(o)) o.SetD(1, int32_t(Z7XS_GetLength(o.db, H(o, 0))));
}
void ReadFile(const Z7Ops &o) {
    if (!HasHeap(o)) return;
    char path[256];
    Z7Ops_Text(o, 0, path);
    const uint32_t size = Z7Std_Hooks.file_size != nullptr ? Z7Std_Hooks.file_size(path) : 0;
    uint32_t h = 0;
    if (size == 0) {
        Z7XS_SetError(o.db, XS_NOREAD);
    } else if ((h = Z7XS_Alloc(o.db, size + 1, nullptr)) != 0) {
        Z7XS_SetFile(o.db, h, path);
    }
    o.SetD(1, int32_t(h));
}
void WriteFile(const Z7Ops &o) {
    char path[256];
    Z7Ops_Text(o, 1, path);
    o.SetB(2, false);
    o.SetB(2, Z7XS_SaveToFile(o.db, H(o, 0), path) != 0);
}
void AnsiToUtf8(const Z7Ops &o) { o.SetB(1, Z7XS_AnsiToUtf8(o.db, H(o, 0)) != 0); }
void Utf8ToAnsi(const Z7Ops &o) { o.SetB(1, Z7XS_Utf8ToAnsi(o.db, H(o, 0)) != 0); }

bool AppSocket(const Z7Ops &o, int32_t sock) { return HasHeap(o) && sock != -1 && Z7VMRsc_FindSocket(o.db, sock) != 0; }
// socket, handle, sent: the whole text in one call, at most 65,535 bytes.
// The length is capped, not taken modulo 65,536: a text of 65,536 bytes
// would otherwise send nothing and one a little longer only its tail's
// length, while sent shows the program how much went out.
void SendTcp(const Z7Ops &o) {
    const int32_t sock = o.D(0);
    if (!AppSocket(o, sock) || Z7Std_Hooks.tcp_send == nullptr) return;
    BlkHeapRef ref;
    const char *t = nullptr;
    uint32_t len = 0;
    if (!Z7XS_View(o.db, H(o, 1), ref, &t, &len)) return;
    bool closed = false;
    const int32_t n =
        Z7Std_Hooks.tcp_send(sock, std::min<uint32_t>(len, 65535), reinterpret_cast<const uint8_t *>(t), &closed);
    o.SetD(2, n > 0 ? n : 0);
}
// socket, handle, received: the text becomes what the socket holds (a piece
// that comes with the closed report included), at most 64 KB a call.
void RcvTcp(const Z7Ops &o) {
    const int32_t sock = o.D(0);
    if (!AppSocket(o, sock) || Z7Std_Hooks.tcp_receive == nullptr) return;
    if (!Z7XS_Set(o.db, H(o, 1), nullptr, 0)) return;
    uint8_t piece[kTcpPiece + 1];
    uint32_t total = 0;
    int32_t received = o.D(2);
    for (;;) {
        bool closed = false;
        const uint32_t want = std::min<uint32_t>(kTcpPiece, kTcpMax - total);
        if (want == 0) break;
        const int32_t n = Z7Std_Hooks.tcp_receive(sock, want, piece, &closed);
        if (n > 0) {
            piece[n] = 0;
            Z7XS_Append(o.db, H(o, 1), reinterpret_cast<const char *>(piece));
            received += n;
            total += uint32_t(n);
        }
        if (n <= 0 || closed) break;
    }
    o.SetD(2, received);
}

constexpr BlkRow kRows[] = {
    {"TXBMANAGER", Blk_Plain<2, Manager>},
    {"TXBAPPEND", Blk_Plain<4, Append>},
    {"TXBAPPENDLINE", Blk_Plain<3, AppendLine>},
    {"TXBAPPENDTXB", Blk_Plain<3, AppendTxb>},
    {"TXBAPPENDEOL", Blk_Plain<2, AppendEol>},
    {"TXBCLEAR", Blk_Plain<2, Clear>},
    {"TXBCOPY", Blk_Plain<3, Copy>},
    {"TXBFREE", Blk_Plain<2, Free>},
    {"TXBGETDATA", Blk_Plain<4, GetData>},
    {"TXBLASTERROR", Blk_Plain<1, LastError>},
    {"TXBGETLENGTH", Blk_Plain<2, GetLength>},
    {"TXBGETLINE", Blk_Plain<3, GetLine>},
    {"TXBGETSTRING", Blk_Plain<2, GetString>},
    {"TXBNEW", Blk_Plain<1, New>},
    {"TXBNEWSTRING", Blk_Plain<2, NewString>},
    {"TXBREADFILE", Blk_Plain<2, ReadFile>},
    {"TXBREWIND", Blk_Plain<2, Rewind>},
    {"TXBSETDATA", Blk_Plain<4, SetData>},
    {"TXBSETSTRING", Blk_Plain<3, SetString>},
    {"TXBWRITEFILE", Blk_Plain<3, WriteFile>},
    {"TXBANSITOUTF8", Blk_Plain<2, AnsiToUtf8>},
    {"TXBUTF8TOANSI", Blk_Plain<2, Utf8ToAnsi>},
    {"TXBSENDTCP", Blk_Plain<3, SendTcp>},
    {"TXBRCVTCP", Blk_Plain<3, RcvTcp>},
};
}  // namespace

const BlkFamily BlkTxb_Family{kRows, sizeof kRows / sizeof kRows[0]};
