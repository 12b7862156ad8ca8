// XML documents in the application heap: tag nodes reached by DINT handles,
// their names, contents and attributes, a parser that builds a tree from a
// text buffer or a file and a writer that turns a tree back into text.
// Every operation records its outcome in the last XML error of the status
// record; without a heap every operation answers 0.
#pragma once

#include <cstdint>

// Last XML error codes.
enum : uint32_t {
    XML_OK = 0,
    XML_BADNODE = 4,
    XML_NOHEAP = 5,
    XML_NOTXB = 6,
    XML_SYNTAX = 7,
    XML_NOREAD = 8,
    XML_NOWRITE = 9,
    XML_NOMEASURE = 100,
};
constexpr uint32_t XML_MAGIC = 0x004C4D58;  // "XML"
// Deepest element nesting the parser accepts.
constexpr uint32_t XML_MAX_DEPTH = 256;

uint32_t Z7XML_Alloc(uint32_t db, const char *name);
uint32_t Z7XML_AddChild(uint32_t db, uint32_t parent, const char *name);
uint32_t Z7XML_GetParent(uint32_t db, uint32_t node);
uint32_t Z7XML_FirstChild(uint32_t db, uint32_t node, const char *filter);
uint32_t Z7XML_NextChild(uint32_t db, uint32_t parent, uint32_t child, const char *filter);
// Copy at most size - 1 characters and terminate; 1 done, 0 bad node.
uint32_t Z7XML_GetTagName(uint32_t db, uint32_t node, char *dst, uint32_t size);
uint32_t Z7XML_GetTagContents(uint32_t db, uint32_t node, char *dst, uint32_t size);
// 1 found, 0 not found (empty destination, error 0) or bad node.
uint32_t Z7XML_GetTagAttrib(uint32_t db, uint32_t node, const char *name, char *dst, uint32_t size);
uint32_t Z7XML_SetTagContents(uint32_t db, uint32_t node, const char *text);
uint32_t Z7XML_AppendContents(uint32_t db, uint32_t node, const char *text);
uint32_t Z7XML_SetTagAttrib(uint32_t db, uint32_t node, const char *name, const char *value);
uint32_t Z7XML_GetTagContentsXS(uint32_t db, uint32_t node);  // a new text buffer or 0
uint32_t Z7XML_SetTagContentsXS(uint32_t db, uint32_t node, uint32_t txb);
uint32_t Z7XML_Free(uint32_t db, uint32_t node);
uint32_t Z7XML_ParseXS(uint32_t db, uint32_t txb);  // root or 0
uint32_t Z7XML_ParseFile(uint32_t db, const char *path);
// Parses len bytes of host memory (tests, benchmarks, fuzzing).
uint32_t Z7XML_ParseText(uint32_t db, const char *text, uint32_t len);
uint32_t Z7XML_WriteToXS(uint32_t db, uint32_t node, uint32_t txb);  // 1 done, 0 failed
uint32_t Z7XML_WriteToFile(uint32_t db, uint32_t node, const char *path);
// Writes the document into out (at most size bytes, terminated when room);
// the document's length, 0 on failure.
uint32_t Z7XML_WriteToMem(uint32_t db, uint32_t node, char *out, uint32_t size);

uint32_t Z7XML_LastError(uint32_t db);
void Z7XML_SetError(uint32_t db, uint32_t e);
uint32_t Z7XML_Count(uint32_t db);
