/*
 * swap_hook.c - preloaded into kel-agent by the tests: at its first result
 * segment, that is between a program's check and its start, renames the
 * folder KEL_SWAP_DIR away and puts a link to KEL_SWAP_TO in its place.
 * Once: the slaves, which load it too, find the variable gone.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/types.h>
#include <unistd.h>

int shm_open(const char *name, int flags, mode_t mode)
{
    static int swapped;
    const char *dir = getenv("KEL_SWAP_DIR"), *to = getenv("KEL_SWAP_TO");
    char old[4096];
    if (dir && to && !__atomic_exchange_n(&swapped, 1, __ATOMIC_SEQ_CST)) {
        snprintf(old, sizeof old, "%s.old", dir);
        if (rename(dir, old) != 0 || symlink(to, dir) != 0)
            abort();
        unsetenv("KEL_SWAP_DIR"); /* the slaves' environment */
    }
    int (*next)(const char *, int, mode_t) = (int (*)(const char *, int, mode_t))dlsym(RTLD_NEXT, "shm_open");
    return next(name, flags, mode);
}
