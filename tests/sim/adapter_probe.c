/* The adapter layer's binding of libc, driven from the tests with a lookup that can hide a
 * symbol: the layer cannot be loaded against a libc that really lacks one. */
#include "adapter/adapter.h"

#include <dlfcn.h>
#include <string.h>

/* Every libc symbol except the one named by hidden (none if NULL). */
static void* all_but(const char* name, const void* hidden)
{
    if (hidden != NULL && strcmp(name, (const char*)hidden) == 0) {
        return NULL;
    }
    return dlsym(RTLD_DEFAULT, name);
}

void probe_bind_all_but(const char* hidden);

void probe_bind_all_but(const char* hidden)
{
    struct real_calls real;
    memset(&real, 0, sizeof real);
    adapter_bind(&real, all_but, hidden);
}
