// HTTP register pages: "/readreg.htm" shows one register as a small page,
// "/writereg.htm" writes one from a form; every other request is a card file
// behind Digest authentication when an HTTP account is configured.
#pragma once

#include <array>
#include <cstdint>

#include "net/dpr.h"
#include "net/http.h"

struct RegToken {
    const char *text;
    uint32_t base;   // bit address of register 1
    uint16_t bits;   // bits per register
    uint16_t count;  // number of registers
};
struct RegFormat {
    const char *text;
    uint16_t bits;
    uint16_t index;
};
// Format indices.
enum : uint16_t {
    FMT_BOOL = 0,
    FMT_BIN,
    FMT_HEX,
    FMT_INT,
    FMT_UINT,
    FMT_DINT,
    FMT_UDINT,
    FMT_REAL,
    FMT_ASCII,
    FMT_IPADR
};

extern std::array<RegToken, 9> RegTokenTable;  // ended by a row with no text
extern const std::array<RegFormat, 11> FormatTable;
extern std::array<NX_IP *, 2> HttpIpPtr;
extern NX_PACKET_POOL *HttpPacketPoolPtr;
extern std::array<NX_HTTP_SERVER, 2> HttpServer;
extern uint32_t HttpStack;
extern const char ReadRegName[], WriteRegName[];

uint32_t Http_Init(NX_IP *ip, NX_PACKET_POOL *pool);
void Http_Scan(uint32_t iface);
uint32_t Http_ConnCnt(uint32_t iface);
// When the in-program server has work next (ms, now given): every pass while
// it serves, else PASS_IDLE_MS ahead.
uint32_t Http_Due(uint32_t iface, uint32_t now);
void Http_DeInit(NX_IP *ip);
uint32_t Http_AuthenticationCheck(NX_HTTP_SERVER *server, uint32_t request_type, char *resource, char **name,
                                  char **password, char **realm);
uint32_t Http_RequestNotify(NX_HTTP_SERVER *server, uint32_t request_type, char *resource, NX_PACKET *packet);
// Register request from a register text, a format name and a length text;
// {0, 0} on any fault.
void MakeRegBlock(EtnReq *out, const char *reg, const char *format, const char *length);
// Splits URL parameter k into four fields (64 bytes each): 0, 226 (no "-")
// or the parameter operation's status (230 no such parameter).
uint32_t UrlParamGet(NX_PACKET *packet, uint32_t k, char *f1, char *f2, char *f3, char *f4);
// Decodes one form value (up to "&", at most 63 characters) into out (64 bytes).
void UrlValueDecode(char *out, const char *form);
// The page text of a value read from the registers (tests and benchmarks):
// 0 or 224.
uint32_t HttpRegPage(const char *reg, const char *fmt, const char *f3, const char *f4, const char *refresh,
                     const char *size, const char *face, const char *color, char *page, uint32_t &page_len);
