// A small JSON reader for the workstation's simulation files (sim/io.json).
// Never used on the scan path: files are parsed when they change.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct PlatJson {
    enum Kind : uint8_t { Null, Bool, Number, String, Array, Object } kind = Null;
    double number = 0;
    std::string text;
    std::vector<PlatJson> items;    // Array elements, or Object values
    std::vector<std::string> keys;  // Object keys (one per value in items)
    const PlatJson *Find(const char *key) const;
};

// Parses text; on failure answers false with a message in error.
bool PlatJson_Parse(const char *text, std::size_t len, PlatJson &out, std::string &error);
// An integer from a number or a string ("0x4C", "76"); false when neither.
bool PlatJson_Int(const PlatJson &v, int64_t &out);
bool PlatJson_IntText(const std::string &s, int64_t &out);
