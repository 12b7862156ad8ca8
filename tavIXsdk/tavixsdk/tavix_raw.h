// The raw request interface: a host hands the request engine the bytes of one
// HTTP request and gets the response back as a header and a body, keeping
// transport and connections to itself.
#pragma once

#include <cstdint>

#include "tavIXsdk/tavixsdk/tavix_comm.h"

// Prepares options, authentication, sessions, subscriptions and buffers; 0 or 1.
int tavix_engine_raw_handler_init();
void tavix_engine_raw_handler_shutdown();
// 0; 1 no buffer; 2 the bytes could not be stored.
int tavix_engine_raw_handler_init_dispatcher(tavix_connection *c, const uint8_t *bytes, uint32_t length);
// 0 with the header (and the body when asked and present); 3 the request is
// incomplete; 4 no response.
int tavix_engine_raw_handler_call_dispatcher(tavix_connection *c, const uint8_t **header, uint32_t *header_length,
                                             const uint8_t **body, uint32_t *body_length);
void tavix_engine_raw_handler_free_dispatcher(tavix_connection *c);

// The session header towards a remote server: sessionid, cnonce (the counter,
// which then advances) and the MD5 digest; its length, or -1 when size is
// below the id's length + 102.
long tavix_comm_remote_server_create_tavix_hdr(const char *id, const char *key, uint32_t *counter, char *out,
                                               uint32_t size);
