/*
 * thread.cpp - named threads, scheduling modes and condition waits.
 *
 * The kernel keeps only 15 bytes of a thread name, which cuts names such as
 * "KEL Spawned Test" to "KEL Spawned Tes". orv therefore starts every thread
 * through a trampoline that stores the whole name (up to 63 bytes) in
 * thread-local storage before the entry runs, and gives the kernel the first
 * 15 bytes for tools such as ps and gdb.
 *
 * A non-zero scheduling mode asks for SCHED_RR at its lowest priority. An
 * unprivileged process may not use it; pthread_create then fails with EPERM
 * and the thread is created again with default scheduling, because a test
 * thread that runs at normal priority is better than no thread.
 */
#include <errno.h>
#include <sched.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "orv.h"
#include "orv_internal.h"

namespace {

/* The full orv name of the calling thread; empty for threads orv did not
 * start. */
thread_local char t_name[ORV_THREAD_NAME_MAX + 1];

struct start_info {
    orv_thread_entry_fn entry;
    void *arg;
    char name[ORV_THREAD_NAME_MAX + 1];
};

void *trampoline(void *p)
{
    start_info *info = static_cast<start_info *>(p);
    orv_thread_entry_fn entry = info->entry;
    void *arg = info->arg;
    memcpy(t_name, info->name, sizeof t_name);
    free(info);
    if (t_name[0] != '\0') {
        char kernel_name[ORV_THREAD_NAME_KERNEL_MAX + 1];
        sstrncpy(kernel_name, t_name, sizeof kernel_name);
        /* A kernel name is a convenience for debuggers; failing to set it
         * does not stop the thread. */
        (void)pthread_setname_np(pthread_self(), kernel_name);
    }
    return entry(arg);
}

/* Builds the attributes of a realtime creation from the caller's: their
 * detach state, stack size and guard size, plus SCHED_RR at its lowest
 * priority with explicit scheduling (inherited scheduling would ignore it). */
int build_realtime_attr(const orv_thread_attr_t *attr, pthread_attr_t *out)
{
    int rc = pthread_attr_init(out);
    if (rc != 0)
        return rc;
    int detach;
    size_t stack;
    size_t guard;
    if (pthread_attr_getdetachstate(&attr->attr, &detach) == 0)
        rc = pthread_attr_setdetachstate(out, detach);
    if (rc == 0 && pthread_attr_getstacksize(&attr->attr, &stack) == 0)
        rc = pthread_attr_setstacksize(out, stack);
    if (rc == 0 && pthread_attr_getguardsize(&attr->attr, &guard) == 0)
        rc = pthread_attr_setguardsize(out, guard);
    struct sched_param param = {};
    param.sched_priority = sched_get_priority_min(SCHED_RR);
    if (rc == 0)
        rc = pthread_attr_setinheritsched(out, PTHREAD_EXPLICIT_SCHED);
    if (rc == 0)
        rc = pthread_attr_setschedpolicy(out, SCHED_RR);
    if (rc == 0)
        rc = pthread_attr_setschedparam(out, &param);
    if (rc != 0)
        pthread_attr_destroy(out);
    return rc;
}

int create_realtime(orv_thread_t *id, const orv_thread_attr_t *attr, start_info *info)
{
    pthread_attr_t a;
    int rc = build_realtime_attr(attr, &a);
    if (rc != 0)
        return rc;
    rc = pthread_create(id, &a, trampoline, info);
    pthread_attr_destroy(&a);
    return rc;
}

} // namespace

uint32_t orv__gettid(void)
{
    return static_cast<uint32_t>(syscall(SYS_gettid));
}

uint32_t orv_thread_attr_init(orv_thread_attr_t *attr)
{
    if (attr == nullptr)
        return EINVAL;
    attr->sched_mode = 0;
    return static_cast<uint32_t>(pthread_attr_init(&attr->attr));
}

uint32_t orv_thread_attr_setsched_mode(orv_thread_attr_t *attr, int32_t mode)
{
    if (attr == nullptr)
        return EINVAL;
    attr->sched_mode = mode;
    return 0;
}

uint32_t orv_thread_attr_destroy(orv_thread_attr_t *attr)
{
    if (attr == nullptr)
        return EINVAL;
    return static_cast<uint32_t>(pthread_attr_destroy(&attr->attr));
}

uint32_t orv_thread_create(orv_thread_t *id, const orv_thread_attr_t *attr, orv_thread_entry_fn entry,
                           void *arg, const char *name)
{
    if (id == nullptr || entry == nullptr)
        return EINVAL;
    start_info *info = static_cast<start_info *>(calloc(1, sizeof *info));
    if (info == nullptr)
        return ENOMEM;
    info->entry = entry;
    info->arg = arg;
    sstrncpy(info->name, name, sizeof info->name);

    bool realtime = attr != nullptr && attr->sched_mode != 0;
    int rc = realtime ? create_realtime(id, attr, info) : 0;
    /* Default scheduling, also where the process may not use SCHED_RR. */
    if (!realtime || rc == EPERM)
        rc = pthread_create(id, attr != nullptr ? &attr->attr : nullptr, trampoline, info);
    if (rc != 0)
        free(info);
    return static_cast<uint32_t>(rc);
}

uint32_t orv_thread_detach(orv_thread_t id)
{
    return static_cast<uint32_t>(pthread_detach(id));
}

uint32_t orv_thread_join(orv_thread_t id, void **result)
{
    return static_cast<uint32_t>(pthread_join(id, result));
}

orv_thread_t orv_thread_self(void)
{
    return pthread_self();
}

void orv_thread_exit(void *result)
{
    pthread_exit(result);
}

void orv_thread_may_yield(void)
{
    sched_yield();
}

uint32_t orv_thread_get_name(char *buf, size_t size)
{
    if (buf == nullptr || size == 0)
        return EINVAL;
    const char *name = t_name;
    char kernel_name[ORV_THREAD_NAME_KERNEL_MAX + 1];
    if (name[0] == '\0') {
        int rc = pthread_getname_np(pthread_self(), kernel_name, sizeof kernel_name);
        if (rc != 0)
            return static_cast<uint32_t>(rc);
        name = kernel_name;
    }
    sstrncpy(buf, name, size);
    return strlen(name) >= size ? ENOSPC : 0;
}

uint32_t orv_thread_cond_wait(pthread_cond_t *cond, pthread_mutex_t *mutex)
{
    if (cond == nullptr || mutex == nullptr)
        return EINVAL;
    return static_cast<uint32_t>(pthread_cond_wait(cond, mutex));
}

uint32_t orv_thread_cond_timedwait(pthread_cond_t *cond, pthread_mutex_t *mutex,
                                   const struct timespec *deadline)
{
    if (cond == nullptr || mutex == nullptr || deadline == nullptr)
        return EINVAL;
    return static_cast<uint32_t>(pthread_cond_timedwait(cond, mutex, deadline));
}
