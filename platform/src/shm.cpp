/*
 * shm.cpp - named POSIX shared memory.
 *
 * A segment called N is the POSIX object "/N" (on Linux the file
 * /dev/shm/N), so names must be single path components. Creation uses
 * O_EXCL to learn whether this call made the segment; when two processes
 * race, the loser opens the winner's segment and, since ftruncate only ever
 * grows it here, both end with at least the size they asked for. Segments
 * are created readable and writable by their owner only. A size past the
 * process's file-size limit is an error (EFBIG), never the end of the
 * process by SIGXFSZ.
 */
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "orv.h"

namespace {

/* Writes "/name" into path (ORV_SHM_NAME_MAX + 2 bytes); false for a name
 * that is empty, too long or not a single path component. */
bool make_path(const char *name, char *path)
{
    if (name == nullptr || name[0] == '\0' || strchr(name, '/') != nullptr)
        return false;
    size_t len = strlen(name);
    if (len > ORV_SHM_NAME_MAX)
        return false;
    path[0] = '/';
    memcpy(path + 1, name, len + 1);
    return true;
}

uint32_t fail(int fd, const char *path, bool created, int err)
{
    close(fd);
    if (created)
        shm_unlink(path);
    return static_cast<uint32_t>(err);
}

/* ftruncate to size; 0 or errno. Past RLIMIT_FSIZE the kernel sends the
 * calling thread SIGXFSZ, whose default action ends the process, as well as
 * failing with EFBIG: the signal is blocked on this thread meanwhile and
 * taken off again if it came. The signal's disposition, which is the whole
 * process's, is left alone. */
int grow(int fd, size_t size)
{
    sigset_t xfsz, old;
    sigemptyset(&xfsz);
    sigaddset(&xfsz, SIGXFSZ);
    pthread_sigmask(SIG_BLOCK, &xfsz, &old);
    int rc = ftruncate(fd, static_cast<off_t>(size)) == 0 ? 0 : errno;
    if (rc == EFBIG && !sigismember(&old, SIGXFSZ)) {
        struct timespec now = {0, 0};
        sigtimedwait(&xfsz, nullptr, &now);
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return rc;
}

} // namespace

uint32_t orv_shm_open(const char *name, size_t size, orv_shm_t *shm, bool *created)
{
    if (created != nullptr)
        *created = false;
    if (shm == nullptr)
        return EINVAL;
    shm->addr = nullptr;
    shm->size = 0;
    shm->fd = -1;
    if (!make_path(name, shm->name)) {
        shm->name[0] = '\0';
        return EINVAL;
    }

    bool made = false;
    int fd;
    if (size > 0) {
        fd = shm_open(shm->name, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0)
            made = true;
        else if (errno == EEXIST)
            fd = shm_open(shm->name, O_RDWR | O_CLOEXEC, 0);
    } else {
        fd = shm_open(shm->name, O_RDWR | O_CLOEXEC, 0);
    }
    if (fd < 0)
        return static_cast<uint32_t>(errno);

    struct stat st;
    if (fstat(fd, &st) != 0)
        return fail(fd, shm->name, made, errno);
    size_t have = static_cast<size_t>(st.st_size);
    if (size == 0) {
        /* An existing but still empty segment has nothing to map yet. */
        if (have == 0)
            return fail(fd, shm->name, made, EINVAL);
        size = have;
    } else if (have < size) {
        int err = grow(fd, size);
        if (err != 0)
            return fail(fd, shm->name, made, err);
    }

    void *addr = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (addr == MAP_FAILED)
        return fail(fd, shm->name, made, errno);
    shm->addr = addr;
    shm->size = size;
    shm->fd = fd;
    if (created != nullptr)
        *created = made;
    return 0;
}

uint32_t orv_shm_close(orv_shm_t *shm)
{
    if (shm == nullptr)
        return EINVAL;
    if (shm->addr == nullptr)
        return EBADF;
    uint32_t rc = 0;
    if (munmap(shm->addr, shm->size) != 0)
        rc = static_cast<uint32_t>(errno);
    if (close(shm->fd) != 0 && rc == 0)
        rc = static_cast<uint32_t>(errno);
    shm->addr = nullptr;
    shm->size = 0;
    shm->fd = -1;
    return rc;
}

uint32_t orv_shm_unlink(const char *name)
{
    char path[ORV_SHM_NAME_MAX + 2];
    if (!make_path(name, path))
        return EINVAL;
    if (shm_unlink(path) != 0)
        return static_cast<uint32_t>(errno);
    return 0;
}
