// The standard-function table: slot n holds the handler of function n, or
// nothing. A handler gets (database, address of operand 0, function number),
// operand 0 being the result index and the count the word before it; it
// returns nonzero to let the program go on and 0 to stop the VM.
//
// The handler names are those the application's compiler and its
// documentation use (_STFS_ followed by the function name), kept as they
// are so that a slot can be found from either side.
#pragma once

#include <array>
#include <cstdint>

#include "iec/vm/z7interp.h"

using Z7StfHandler = uint32_t (*)(uint32_t db, uint32_t operands, uint32_t fn);

// numeric, mathematical, selection and string functions (z7stf.cpp)
uint32_t _STFS_ABS(uint32_t db, uint32_t operands, uint32_t fn);         // 1
uint32_t _STFS_ACOS(uint32_t db, uint32_t operands, uint32_t fn);        // 2
uint32_t _STFS_ASIN(uint32_t db, uint32_t operands, uint32_t fn);        // 3
uint32_t _STFS_ATAN(uint32_t db, uint32_t operands, uint32_t fn);        // 4
uint32_t _STFS_COS(uint32_t db, uint32_t operands, uint32_t fn);         // 5
uint32_t _STFS_EXPT(uint32_t db, uint32_t operands, uint32_t fn);        // 6
uint32_t _STFS_LOG(uint32_t db, uint32_t operands, uint32_t fn);         // 7
uint32_t _STFS_SIN(uint32_t db, uint32_t operands, uint32_t fn);         // 8
uint32_t _STFS_SQRT(uint32_t db, uint32_t operands, uint32_t fn);        // 9
uint32_t _STFS_TAN(uint32_t db, uint32_t operands, uint32_t fn);         // 10
uint32_t _STFS_TRUNC(uint32_t db, uint32_t operands, uint32_t fn);       // 11
uint32_t _STFS_POW(uint32_t db, uint32_t operands, uint32_t fn);         // 12
uint32_t _STFS_LIMIT(uint32_t db, uint32_t operands, uint32_t fn);       // 21
uint32_t _STFS_MAX(uint32_t db, uint32_t operands, uint32_t fn);         // 22
uint32_t _STFS_MIN(uint32_t db, uint32_t operands, uint32_t fn);         // 23
uint32_t _STFS_MOD(uint32_t db, uint32_t operands, uint32_t fn);         // 24
uint32_t _STFS_MUX4(uint32_t db, uint32_t operands, uint32_t fn);        // 25
uint32_t _STFS_MUX8(uint32_t db, uint32_t operands, uint32_t fn);        // 26
uint32_t _STFS_RAND(uint32_t db, uint32_t operands, uint32_t fn);        // 29
uint32_t _STFS_SEL(uint32_t db, uint32_t operands, uint32_t fn);         // 32
uint32_t _STFS_ODD(uint32_t db, uint32_t operands, uint32_t fn);         // 36
uint32_t _STFS_ASCII(uint32_t db, uint32_t operands, uint32_t fn);       // 40
uint32_t _STFS_CHAR(uint32_t db, uint32_t operands, uint32_t fn);        // 41
uint32_t _STFS_DELETE(uint32_t db, uint32_t operands, uint32_t fn);      // 42
uint32_t _STFS_FIND(uint32_t db, uint32_t operands, uint32_t fn);        // 43
uint32_t _STFS_INSERT(uint32_t db, uint32_t operands, uint32_t fn);      // 44
uint32_t _STFS_LEFT(uint32_t db, uint32_t operands, uint32_t fn);        // 45
uint32_t _STFS_MID(uint32_t db, uint32_t operands, uint32_t fn);         // 46
uint32_t _STFS_MLEN(uint32_t db, uint32_t operands, uint32_t fn);        // 47
uint32_t _STFS_REPLACE(uint32_t db, uint32_t operands, uint32_t fn);     // 48
uint32_t _STFS_RIGHT(uint32_t db, uint32_t operands, uint32_t fn);       // 49
uint32_t _STFS_ATOH(uint32_t db, uint32_t operands, uint32_t fn);        // 89
uint32_t _STFS_HTOA(uint32_t db, uint32_t operands, uint32_t fn);        // 90
uint32_t _STFS_USEDEGREES(uint32_t db, uint32_t operands, uint32_t fn);  // 91
uint32_t _STFS_ATAN2(uint32_t db, uint32_t operands, uint32_t fn);       // 92
uint32_t _STFS_CRC16(uint32_t db, uint32_t operands, uint32_t fn);       // 93
uint32_t _STFS_COSL(uint32_t db, uint32_t operands, uint32_t fn);        // 106
uint32_t _STFS_SINL(uint32_t db, uint32_t operands, uint32_t fn);        // 107
uint32_t _STFS_TANL(uint32_t db, uint32_t operands, uint32_t fn);        // 108
uint32_t _STFS_ACOSL(uint32_t db, uint32_t operands, uint32_t fn);       // 109
uint32_t _STFS_ASINL(uint32_t db, uint32_t operands, uint32_t fn);       // 110
uint32_t _STFS_ATANL(uint32_t db, uint32_t operands, uint32_t fn);       // 111
uint32_t _STFS_ATAN2L(uint32_t db, uint32_t operands, uint32_t fn);      // 112
uint32_t _STFS_POWL(uint32_t db, uint32_t operands, uint32_t fn);        // 114
uint32_t _STFS_SQRTL(uint32_t db, uint32_t operands, uint32_t fn);       // 115
uint32_t _STFS_ABSL(uint32_t db, uint32_t operands, uint32_t fn);        // 116
uint32_t _STFS_TRUNCL(uint32_t db, uint32_t operands, uint32_t fn);      // 117
uint32_t _STFS_MODR(uint32_t db, uint32_t operands, uint32_t fn);        // 132
uint32_t _STFS_MODLR(uint32_t db, uint32_t operands, uint32_t fn);       // 133
uint32_t _STFS_SCALELIN(uint32_t db, uint32_t operands, uint32_t fn);    // 157
uint32_t _STFS_REGPARGET(uint32_t db, uint32_t operands, uint32_t fn);   // 194
uint32_t _STFS_REGPARPUT(uint32_t db, uint32_t operands, uint32_t fn);   // 195
uint32_t _STFS_LN(uint32_t db, uint32_t operands, uint32_t fn);          // 200
uint32_t _STFS_EXP(uint32_t db, uint32_t operands, uint32_t fn);         // 201
uint32_t _STFS_LNL(uint32_t db, uint32_t operands, uint32_t fn);         // 202
uint32_t _STFS_EXPL(uint32_t db, uint32_t operands, uint32_t fn);        // 203
uint32_t _STFS_LOGL(uint32_t db, uint32_t operands, uint32_t fn);        // 204
uint32_t _STFS_F_LEN(uint32_t db, uint32_t operands, uint32_t fn);       // 205

// bit patterns, the clock, the VM and the variable map (z7stfbit.cpp)
uint32_t _STFS_VSISTAMPGMT(uint32_t db, uint32_t operands, uint32_t fn);      // 13
uint32_t _STFS_ANDMASK(uint32_t db, uint32_t operands, uint32_t fn);          // 20
uint32_t _STFS_NOTMASK(uint32_t db, uint32_t operands, uint32_t fn);          // 27
uint32_t _STFS_ORMASK(uint32_t db, uint32_t operands, uint32_t fn);           // 28
uint32_t _STFS_ROL(uint32_t db, uint32_t operands, uint32_t fn);              // 30
uint32_t _STFS_ROR(uint32_t db, uint32_t operands, uint32_t fn);              // 31
uint32_t _STFS_SHL(uint32_t db, uint32_t operands, uint32_t fn);              // 33
uint32_t _STFS_SHR(uint32_t db, uint32_t operands, uint32_t fn);              // 34
uint32_t _STFS_XORMASK(uint32_t db, uint32_t operands, uint32_t fn);          // 35
uint32_t _STFS_DAY_TIME(uint32_t db, uint32_t operands, uint32_t fn);         // 63
uint32_t _STFS_BIN_TO_BCD(uint32_t db, uint32_t operands, uint32_t fn);       // 78
uint32_t _STFS_BCD_TO_BIN(uint32_t db, uint32_t operands, uint32_t fn);       // 79
uint32_t _STFS_PRINTF(uint32_t db, uint32_t operands, uint32_t fn);           // 80
uint32_t _STFS_ROLW(uint32_t db, uint32_t operands, uint32_t fn);             // 81
uint32_t _STFS_RORW(uint32_t db, uint32_t operands, uint32_t fn);             // 82
uint32_t _STFS_SHLW(uint32_t db, uint32_t operands, uint32_t fn);             // 83
uint32_t _STFS_SHRW(uint32_t db, uint32_t operands, uint32_t fn);             // 84
uint32_t _STFS_ROLB(uint32_t db, uint32_t operands, uint32_t fn);             // 85
uint32_t _STFS_RORB(uint32_t db, uint32_t operands, uint32_t fn);             // 86
uint32_t _STFS_SHLB(uint32_t db, uint32_t operands, uint32_t fn);             // 87
uint32_t _STFS_SHRB(uint32_t db, uint32_t operands, uint32_t fn);             // 88
uint32_t _STFS_LOGMESSAGE(uint32_t db, uint32_t operands, uint32_t fn);       // 94
uint32_t _STFS_MOVEBLOCK(uint32_t db, uint32_t operands, uint32_t fn);        // 95
uint32_t _STFS_ANDWORD(uint32_t db, uint32_t operands, uint32_t fn);          // 96
uint32_t _STFS_ORWORD(uint32_t db, uint32_t operands, uint32_t fn);           // 97
uint32_t _STFS_XORWORD(uint32_t db, uint32_t operands, uint32_t fn);          // 98
uint32_t _STFS_NOTWORD(uint32_t db, uint32_t operands, uint32_t fn);          // 99
uint32_t _STFS_ANDBYTE(uint32_t db, uint32_t operands, uint32_t fn);          // 100
uint32_t _STFS_ORBYTE(uint32_t db, uint32_t operands, uint32_t fn);           // 101
uint32_t _STFS_XORBYTE(uint32_t db, uint32_t operands, uint32_t fn);          // 102
uint32_t _STFS_NOTBYTE(uint32_t db, uint32_t operands, uint32_t fn);          // 103
uint32_t _STFS_GETSYSINFO(uint32_t db, uint32_t operands, uint32_t fn);       // 113
uint32_t _STFS_DTCURTIME(uint32_t db, uint32_t operands, uint32_t fn);        // 118
uint32_t _STFS_DTCURDATE(uint32_t db, uint32_t operands, uint32_t fn);        // 119
uint32_t _STFS_DTDAY(uint32_t db, uint32_t operands, uint32_t fn);            // 120
uint32_t _STFS_DTMONTH(uint32_t db, uint32_t operands, uint32_t fn);          // 121
uint32_t _STFS_DTYEAR(uint32_t db, uint32_t operands, uint32_t fn);           // 122
uint32_t _STFS_DTSEC(uint32_t db, uint32_t operands, uint32_t fn);            // 123
uint32_t _STFS_DTMIN(uint32_t db, uint32_t operands, uint32_t fn);            // 124
uint32_t _STFS_DTHOUR(uint32_t db, uint32_t operands, uint32_t fn);           // 125
uint32_t _STFS_DTMS(uint32_t db, uint32_t operands, uint32_t fn);             // 126
uint32_t _STFS_FATALSTOP(uint32_t db, uint32_t operands, uint32_t fn);        // 135
uint32_t _STFS_CYCLESTOP(uint32_t db, uint32_t operands, uint32_t fn);        // 136
uint32_t _STFS_STRINGTOARRAY(uint32_t db, uint32_t operands, uint32_t fn);    // 137
uint32_t _STFS_ARRAYTOSTRING(uint32_t db, uint32_t operands, uint32_t fn);    // 138
uint32_t _STFS_SRINGTOARRAY32(uint32_t db, uint32_t operands, uint32_t fn);   // 139
uint32_t _STFS_ARRAYTOSTRING32(uint32_t db, uint32_t operands, uint32_t fn);  // 140
uint32_t _STFS_SRINGTOARRAY16(uint32_t db, uint32_t operands, uint32_t fn);   // 141
uint32_t _STFS_ARRAYTOSTRING16(uint32_t db, uint32_t operands, uint32_t fn);  // 142
uint32_t _STFS_GETVARBYNAME(uint32_t db, uint32_t operands, uint32_t fn);     // 143
uint32_t _STFS_GETVARBYADDR(uint32_t db, uint32_t operands, uint32_t fn);     // 144
uint32_t _STFS_GETVARSYMBOL(uint32_t db, uint32_t operands, uint32_t fn);     // 145
uint32_t _STFS_GETVARPROFILE(uint32_t db, uint32_t operands, uint32_t fn);    // 146
uint32_t _STFS_GETVARTYPENAME(uint32_t db, uint32_t operands, uint32_t fn);   // 147
uint32_t _STFS_ENABLEEVENTS(uint32_t db, uint32_t operands, uint32_t fn);     // 156
uint32_t _STFS_COUNTOF(uint32_t db, uint32_t operands, uint32_t fn);          // 161
uint32_t _STFS_LOBYTE(uint32_t db, uint32_t operands, uint32_t fn);           // 162
uint32_t _STFS_HIBYTE(uint32_t db, uint32_t operands, uint32_t fn);           // 163
uint32_t _STFS_LOWORD(uint32_t db, uint32_t operands, uint32_t fn);           // 164
uint32_t _STFS_HIWORD(uint32_t db, uint32_t operands, uint32_t fn);           // 165
uint32_t _STFS_MAKEWORD(uint32_t db, uint32_t operands, uint32_t fn);         // 166
uint32_t _STFS_MAKEDWORD(uint32_t db, uint32_t operands, uint32_t fn);        // 167
uint32_t _STFS_PACK8(uint32_t db, uint32_t operands, uint32_t fn);            // 168
uint32_t _STFS_SETBIT(uint32_t db, uint32_t operands, uint32_t fn);           // 169
uint32_t _STFS_TESTBIT(uint32_t db, uint32_t operands, uint32_t fn);          // 170
uint32_t _STFS_DTFORMAT(uint32_t db, uint32_t operands, uint32_t fn);         // 171
uint32_t _STFS_STRINGTABLE(uint32_t db, uint32_t operands, uint32_t fn);      // 175
uint32_t _STFS_LOADSTRING(uint32_t db, uint32_t operands, uint32_t fn);       // 176
uint32_t _STFS_VSIGETBIT(uint32_t db, uint32_t operands, uint32_t fn);        // 187
uint32_t _STFS_VSISETBIT(uint32_t db, uint32_t operands, uint32_t fn);        // 188
uint32_t _STFS_VSIGETDATE(uint32_t db, uint32_t operands, uint32_t fn);       // 189
uint32_t _STFS_VSISETDATE(uint32_t db, uint32_t operands, uint32_t fn);       // 190
uint32_t _STFS_VSIGETTIME(uint32_t db, uint32_t operands, uint32_t fn);       // 191
uint32_t _STFS_VSISETTIME(uint32_t db, uint32_t operands, uint32_t fn);       // 192
uint32_t _STFS_VSISTAMP(uint32_t db, uint32_t operands, uint32_t fn);         // 193
uint32_t _STFS_NUMTOSTRING(uint32_t db, uint32_t operands, uint32_t fn);      // 196
uint32_t _STFS_SETCSVOPT(uint32_t db, uint32_t operands, uint32_t fn);        // 198
uint32_t _STFS_ROL64(uint32_t db, uint32_t operands, uint32_t fn);            // 206
uint32_t _STFS_ROR64(uint32_t db, uint32_t operands, uint32_t fn);            // 207
uint32_t _STFS_SHL64(uint32_t db, uint32_t operands, uint32_t fn);            // 208
uint32_t _STFS_SHR64(uint32_t db, uint32_t operands, uint32_t fn);            // 209
uint32_t _STFS_AND64(uint32_t db, uint32_t operands, uint32_t fn);            // 210
uint32_t _STFS_OR64(uint32_t db, uint32_t operands, uint32_t fn);             // 211
uint32_t _STFS_XOR64(uint32_t db, uint32_t operands, uint32_t fn);            // 212
uint32_t _STFS_NOT64(uint32_t db, uint32_t operands, uint32_t fn);            // 213
uint32_t _STFS_F_SAVERETAIN(uint32_t db, uint32_t operands, uint32_t fn);     // 216
uint32_t _STFS_F_LOADRETAIN(uint32_t db, uint32_t operands, uint32_t fn);     // 217
uint32_t _STFS_MBSLAVEIDENT(uint32_t db, uint32_t operands, uint32_t fn);     // 218
uint32_t _STFS_SWAB(uint32_t db, uint32_t operands, uint32_t fn);             // 219
uint32_t _STFS_VSICOPY(uint32_t db, uint32_t operands, uint32_t fn);          // 220

// files, sockets, byte buffers, recipes, CAN and AS-i (z7stfio.cpp)
uint32_t _STFS_UDPSENDTOARRAY(uint32_t db, uint32_t operands, uint32_t fn);   // 14
uint32_t _STFS_UDPRCVFROMARRAY(uint32_t db, uint32_t operands, uint32_t fn);  // 15
uint32_t _STFS_FR_READ(uint32_t db, uint32_t operands, uint32_t fn);          // 16
uint32_t _STFS_FR_WRITE(uint32_t db, uint32_t operands, uint32_t fn);         // 17
uint32_t _STFS_F_FLUSH(uint32_t db, uint32_t operands, uint32_t fn);          // 18
uint32_t _STFS_F_SEEK(uint32_t db, uint32_t operands, uint32_t fn);           // 19
uint32_t _STFS_ARCREATE(uint32_t db, uint32_t operands, uint32_t fn);         // 60
uint32_t _STFS_ARREAD(uint32_t db, uint32_t operands, uint32_t fn);           // 61
uint32_t _STFS_ARWRITE(uint32_t db, uint32_t operands, uint32_t fn);          // 62
uint32_t _STFS_F_ROPEN(uint32_t db, uint32_t operands, uint32_t fn);          // 70
uint32_t _STFS_F_WOPEN(uint32_t db, uint32_t operands, uint32_t fn);          // 71
uint32_t _STFS_FA_READ(uint32_t db, uint32_t operands, uint32_t fn);          // 72
uint32_t _STFS_FM_READ(uint32_t db, uint32_t operands, uint32_t fn);          // 73
uint32_t _STFS_FA_WRITE(uint32_t db, uint32_t operands, uint32_t fn);         // 74
uint32_t _STFS_FM_WRITE(uint32_t db, uint32_t operands, uint32_t fn);         // 75
uint32_t _STFS_F_CLOSE(uint32_t db, uint32_t operands, uint32_t fn);          // 76
uint32_t _STFS_F_EOF(uint32_t db, uint32_t operands, uint32_t fn);            // 77
uint32_t _STFS_SERIALIZEOUT(uint32_t db, uint32_t operands, uint32_t fn);     // 104
uint32_t _STFS_SERIALIZEIN(uint32_t db, uint32_t operands, uint32_t fn);      // 105
uint32_t _STFS_ASIREADPP(uint32_t db, uint32_t operands, uint32_t fn);        // 127
uint32_t _STFS_ASIWRITEPP(uint32_t db, uint32_t operands, uint32_t fn);       // 128
uint32_t _STFS_ASISENDPAR(uint32_t db, uint32_t operands, uint32_t fn);       // 129
uint32_t _STFS_ASIREADPI(uint32_t db, uint32_t operands, uint32_t fn);        // 130
uint32_t _STFS_ASISTOREPI(uint32_t db, uint32_t operands, uint32_t fn);       // 131
uint32_t _STFS_MBSHIFT(uint32_t db, uint32_t operands, uint32_t fn);          // 134
uint32_t _STFS_TCPLISTEN(uint32_t db, uint32_t operands, uint32_t fn);        // 148
uint32_t _STFS_TCPACCEPT(uint32_t db, uint32_t operands, uint32_t fn);        // 149
uint32_t _STFS_TCPCLOSE(uint32_t db, uint32_t operands, uint32_t fn);         // 150
uint32_t _STFS_TCPSEND(uint32_t db, uint32_t operands, uint32_t fn);          // 151
uint32_t _STFS_TCPRECEIVE(uint32_t db, uint32_t operands, uint32_t fn);       // 152
uint32_t _STFS_TCPCONNECT(uint32_t db, uint32_t operands, uint32_t fn);       // 153
uint32_t _STFS_TCPISCONNECTED(uint32_t db, uint32_t operands, uint32_t fn);   // 154
uint32_t _STFS_TCPISVALID(uint32_t db, uint32_t operands, uint32_t fn);       // 155
uint32_t _STFS_RCPAPPLY(uint32_t db, uint32_t operands, uint32_t fn);         // 158
uint32_t _STFS_SERGETSTRING(uint32_t db, uint32_t operands, uint32_t fn);     // 159
uint32_t _STFS_SERPUTSTRING(uint32_t db, uint32_t operands, uint32_t fn);     // 160
uint32_t _STFS_FB_READ(uint32_t db, uint32_t operands, uint32_t fn);          // 172
uint32_t _STFS_FB_WRITE(uint32_t db, uint32_t operands, uint32_t fn);         // 173
uint32_t _STFS_F_AOPEN(uint32_t db, uint32_t operands, uint32_t fn);          // 174
uint32_t _STFS_SIGSCALE(uint32_t db, uint32_t operands, uint32_t fn);         // 177
uint32_t _STFS_F_EXIST(uint32_t db, uint32_t operands, uint32_t fn);          // 178
uint32_t _STFS_F_GETSIZE(uint32_t db, uint32_t operands, uint32_t fn);        // 179
uint32_t _STFS_F_COPY(uint32_t db, uint32_t operands, uint32_t fn);           // 180
uint32_t _STFS_F_DELETE(uint32_t db, uint32_t operands, uint32_t fn);         // 181
uint32_t _STFS_F_RENAME(uint32_t db, uint32_t operands, uint32_t fn);         // 182
uint32_t _STFS_UDPCREATE(uint32_t db, uint32_t operands, uint32_t fn);        // 183
uint32_t _STFS_UDPADDRMAKE(uint32_t db, uint32_t operands, uint32_t fn);      // 184
uint32_t _STFS_UDPSENDTO(uint32_t db, uint32_t operands, uint32_t fn);        // 185
uint32_t _STFS_UDPRCVFROM(uint32_t db, uint32_t operands, uint32_t fn);       // 186
uint32_t _STFS_F_ISREADY(uint32_t db, uint32_t operands, uint32_t fn);        // 197
uint32_t _STFS_CANSND(uint32_t db, uint32_t operands, uint32_t fn);           // 199
uint32_t _STFS_TCPSENDARRAY(uint32_t db, uint32_t operands, uint32_t fn);     // 214
uint32_t _STFS_TCPRCVARRAY(uint32_t db, uint32_t operands, uint32_t fn);      // 215

extern const std::array<Z7StfHandler, Z7STF_COUNT> _STFS;
