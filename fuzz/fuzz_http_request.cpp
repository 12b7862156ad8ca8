// Feeds arbitrary bytes to the HTTP server's request helpers as one received
// request packet: resource, Content-Length and content offset, URL
// parameters and queries, Digest and Basic authorization headers, the
// register pages' parameter split, register texts and form values.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "net/dpr.h"
#include "net/http.h"
#include "net/httpreg.h"
#include "net/nx.h"

namespace {
alignas(16) uint8_t pool_memory[2 * (NX_PACKET_HEADER + 1520)];
NX_PACKET_POOL pool;
NX_HTTP_SERVER server;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool once = [] {
        _nx_packet_pool_create(&pool, "fuzz", 1520, pool_memory, sizeof pool_memory);
        server.nx_http_server_id = NX_HTTP_SERVER_ID;
        return true;
    }();
    (void)once;
    NX_PACKET *pk = nullptr;
    if (_nx_packet_allocate(&pool, &pk, 0, 0) != NX_SUCCESS) std::abort();
    const uint32_t n = uint32_t(size > 1520 ? 1520 : size);
    _nx_packet_data_append(pk, data, n, &pool, 0);
    char res[NX_HTTP_MAX_RESOURCE];
    if (_nx_http_server_retrieve_resource(pk, res, sizeof res) == NX_SUCCESS) {
        if (std::strlen(res) >= NX_HTTP_MAX_RESOURCE) std::abort();
        _nx_http_server_type_get(res);
    }
    _nx_http_server_content_length_get(pk);
    if (_nx_http_server_calculate_content_offset(pk) > n) std::abort();
    char buf[256];
    uint32_t got = 0;
    if (_nx_http_server_content_get(&server, pk, 0, buf, 255, &got) == NX_SUCCESS && got > 255) std::abort();
    char f1[64], f2[64], f3[64], f4[64];
    for (uint32_t k = 0; k < 8; k++) {
        _nx_http_server_query_get(pk, k, buf, 64);
        if (UrlParamGet(pk, k, f1, f2, f3, f4) != NX_SUCCESS) continue;
        EtnReq req{};
        MakeRegBlock(&req, f2, f3, f4);
        UrlValueDecode(buf, f4);
    }
    char response[40], uri[40], nc[40], cnonce[64], cred[102], decoded[103];
    _nx_http_server_retrieve_digest_authorization(pk, response, uri, nc, cnonce);
    if (_nx_http_server_retrieve_basic_authorization(pk, cred) > 101) std::abort();
    _nx_http_base64_decode(cred, decoded);
    _nx_packet_release(pk);
    return 0;
}
