// The IEC virtual machine as seen by the register access, the register backup
// and the clone files: the running application's database and its retain data.
#pragma once

#include <cstdint>

// Database of the running IEC application (section table and typed sections);
// null when no IEC application is loaded, and the retain steps of the backup
// and the clone are then skipped. Placeholder: always null.
extern void *pDB;

// Checks that the application's retained variables can be stored (the path is
// not used). Placeholder: 0, nothing loaded.
uint32_t Z7VM_PrepareRetains(void *db, const char *path);
// Loads the retained variables from the retain file at path into the running
// database. Placeholder: 0, nothing loaded.
uint32_t Z7VM_LoadRetains(void *db, const char *path);
// Writes the retain image (layout signature, then the retained blocks) to the
// file; 1 when written, 0 when the file could not be opened.
// Placeholder: 0, nothing written.
uint32_t Z7VMWarm_SaveToFile(void *db, const char *file);
// Reads a retain image into the database; 1 when loaded, 0 when there is no
// file or its signature differs from the running application's.
// Placeholder: 0, nothing loaded.
uint32_t Z7VMWarm_LoadFromFile(void *db, const char *file);
// Writes the retain file at path, or removes it when the application retains
// nothing. Placeholder: does nothing.
void Z7VMWarm_ShutDown(void *db, const char *path);
