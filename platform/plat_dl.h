// Loaded libraries (OpenSSL, libmosquitto, driver objects): a library is
// opened by the first of its names that loads (the unversioned name, then the
// versioned one), so a machine without it only loses what needs it.
#pragma once

#include <cstddef>

// Opens the first name of the null-terminated list that loads; null when none.
void *PLAT_DlOpen(const char *const *names);
// Resolves each name of a null-terminated list into slots; answers the first
// missing name, or null when all were found.
const char *PLAT_DlResolve(void *library, const char *const *names, void **slots);
void PLAT_DlClose(void *library);
// Opens one library with every symbol bound at once; null when it does not
// load, with the loader's message in error (when given).
void *PLAT_DlOpenNow(const char *name, const char **error);
// Resolves one name; null when missing, with the loader's message in error
// (when given).
void *PLAT_DlSym(void *library, const char *name, const char **error);
