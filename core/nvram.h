// Configuration validation and defaults of the memory files.
#pragma once

#include <cstddef>
#include <cstdint>

extern uint32_t NV_EditorFeatures;

uint32_t nv_get_features();
void nv_write(uint8_t *dst, const uint8_t *src, std::size_t n);
uint32_t nvram_init(uint32_t defaults, uint32_t invalidate);
