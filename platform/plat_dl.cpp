// Loaded libraries through dlopen.
#include "platform/plat_dl.h"

#include <dlfcn.h>

void *PLAT_DlOpen(const char *const *names) {
    for (const char *const *n = names; *n != nullptr; n++) {
        if (void *h = dlopen(*n, RTLD_LAZY)) return h;
    }
    return nullptr;
}

const char *PLAT_DlResolve(void *library, const char *const *names, void **slots) {
    for (std::size_t i = 0; names[i] != nullptr; i++) {
        slots[i] = library != nullptr ? dlsym(library, names[i]) : nullptr;
        if (slots[i] == nullptr) return names[i];
    }
    return nullptr;
}

void PLAT_DlClose(void *library) {
    if (library != nullptr) dlclose(library);
}

void *PLAT_DlOpenNow(const char *name, const char **error) {
    void *h = name != nullptr ? dlopen(name, RTLD_NOW) : nullptr;
    if (error != nullptr) {
        const char *e = h == nullptr ? dlerror() : nullptr;
        *error = e != nullptr ? e : "";
    }
    return h;
}

void *PLAT_DlSym(void *library, const char *name, const char **error) {
    dlerror();  // a message left by an earlier call is not this one's
    void *f = library != nullptr && name != nullptr ? dlsym(library, name) : nullptr;
    if (error != nullptr) {
        const char *e = f == nullptr ? dlerror() : nullptr;
        *error = e != nullptr ? e : "";
    }
    return f;
}
