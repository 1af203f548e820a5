/* realpath: users name adapters through links such as /dev/serial/by-id/..., and the
 * link (or chain of links) may end at the simulated device, which does not exist on
 * the machine. When libc's realpath fails, the chain is followed here; if it ends at
 * the simulated device, that path is the answer. */
#include "adapter.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* Linux's limit on links followed in one lookup. */
#define MAX_LINK_HOPS 40

static bool split(const char *path, char *dir, size_t dir_size, const char **base)
{
    const char *slash = strrchr(path, '/');
    if (slash == NULL) {
        snprintf(dir, dir_size, ".");
        *base = path;
    } else if (slash == path) {
        snprintf(dir, dir_size, "/");
        *base = slash + 1;
    } else {
        size_t length = (size_t)(slash - path);
        if (length >= dir_size)
            return false;
        memcpy(dir, path, length);
        dir[length] = '\0';
        *base = slash + 1;
    }
    return **base != '\0' && strcmp(*base, ".") != 0 && strcmp(*base, "..") != 0;
}

/* Follows the chain from path, each step with its folder resolved by libc; true
 * when it arrives at the simulated device. */
static bool chain_reaches_device(struct adapter_state *state, const char *path)
{
    char current[PATH_MAX];
    if (snprintf(current, sizeof current, "%s", path) >= (int)sizeof current)
        return false;
    for (int hop = 0; hop <= MAX_LINK_HOPS; ++hop) {
        if (adapter_is_device(state, current))
            return true;
        char dir[PATH_MAX];
        char resolved_dir[PATH_MAX];
        const char *base = NULL;
        if (!split(current, dir, sizeof dir, &base) ||
            state->real.realpath(dir, resolved_dir) == NULL)
            return false;
        char candidate[PATH_MAX];
        const char *prefix = strcmp(resolved_dir, "/") == 0 ? "" : resolved_dir;
        if (snprintf(candidate, sizeof candidate, "%s/%s", prefix, base) >= (int)sizeof candidate)
            return false;
        if (adapter_is_device(state, candidate))
            return true;
        char target[PATH_MAX];
        ssize_t length = state->real.readlink(candidate, target, sizeof target - 1);
        if (length <= 0)
            return false;
        target[length] = '\0';
        int written = target[0] == '/' ? snprintf(current, sizeof current, "%s", target)
                                       : snprintf(current, sizeof current, "%s/%s", prefix, target);
        if (written >= (int)sizeof current)
            return false;
    }
    return false;
}

static char *answer_device(struct adapter_state *state, char *resolved)
{
    if (resolved == NULL)
        return strdup(state->node);
    /* realpath's caller provides PATH_MAX bytes, and the device path is shorter. */
    snprintf(resolved, PATH_MAX, "%s", state->node);
    return resolved;
}

/* What libc's realpath gave, unless it failed on a chain that ends at the simulated device. */
static char *resolve_or_device(struct adapter_state *state, const char *path, char *resolved,
                               char *result)
{
    if (result != NULL || path == NULL || !adapter_device_present(state))
        return result;
    int saved_errno = errno;
    if (chain_reaches_device(state, path))
        return answer_device(state, resolved);
    errno = saved_errno;
    return NULL;
}

ADAPTER_EXPORT char *realpath(const char *path, char *resolved)
{
    struct adapter_state *state = adapter();
    return resolve_or_device(state, path, resolved, state->real.realpath(path, resolved));
}

/* The _FORTIFY_SOURCE form; libc's own checks of the buffer size still run. */
ADAPTER_EXPORT char *__realpath_chk(const char *path, char *resolved, size_t resolved_size)
{
    struct adapter_state *state = adapter();
    return resolve_or_device(state, path, resolved,
                             state->real.realpath_chk(path, resolved, resolved_size));
}
