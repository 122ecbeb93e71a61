/*
 * syncvar.cpp - sync variables: counters that threads raise, lower or set
 * bits in, and that other threads wait on until the counter equals its
 * target or a status releases every waiter at once. Test code uses them to
 * line up its own threads; the fan-out of multi folders uses them to wait
 * for the threads it starts.
 *
 * Every field changes under the variable's mutex. The two getters read
 * without it and give a snapshot, so the fields are written with atomic
 * stores and read there with atomic loads: a plain write racing with the
 * lock-free read would be a data race.
 */
#include <stdlib.h>

#include "orv.h"
#include "syncvar.h"

namespace {

inline void store(uint32_t *field, uint32_t value)
{
    __atomic_store_n(field, value, __ATOMIC_RELAXED);
}

/* Ends the change of a counter: waiters are released only when this very
 * change makes the counter equal to the target. */
uint32_t changed(kel_syncvar_t *sv, uint32_t value)
{
    store(&sv->current, value);
    if (value == sv->target)
        pthread_cond_broadcast(&sv->cond);
    pthread_mutex_unlock(&sv->mutex);
    return value;
}

} // namespace

extern "C" {

kel_syncvar_t *kel_syncvar_alloc(uint32_t current, uint32_t target)
{
    kel_syncvar_t *sv = static_cast<kel_syncvar_t *>(calloc(1, sizeof *sv));
    if (!sv)
        return NULL;
    pthread_mutex_init(&sv->mutex, NULL);
    pthread_cond_init(&sv->cond, NULL);
    sv->current = current;
    sv->target = target;
    return sv;
}

void kel_syncvar_free(kel_syncvar_t *sv)
{
    if (!sv)
        return;
    pthread_cond_destroy(&sv->cond);
    pthread_mutex_destroy(&sv->mutex);
    free(sv);
}

uint32_t kel_syncvar_add(kel_syncvar_t *sv, int32_t delta)
{
    pthread_mutex_lock(&sv->mutex);
    /* Wrapping arithmetic: a negative delta counts down through 0. */
    return changed(sv, sv->current + static_cast<uint32_t>(delta));
}

uint32_t kel_syncvar_or(kel_syncvar_t *sv, uint32_t bits)
{
    pthread_mutex_lock(&sv->mutex);
    return changed(sv, sv->current | bits);
}

void kel_syncvar_reinit(kel_syncvar_t *sv, uint32_t current, uint32_t target)
{
    /* No broadcast: re-arming must not release a waiter of the old round. */
    pthread_mutex_lock(&sv->mutex);
    store(&sv->target, target);
    store(&sv->current, current);
    pthread_mutex_unlock(&sv->mutex);
}

uint32_t kel_syncvar_wait(kel_syncvar_t *sv, uint32_t timeout_ms)
{
    uint32_t result;
    pthread_mutex_lock(&sv->mutex);
    if (sv->current == sv->target) {
        result = sv->status;
        pthread_mutex_unlock(&sv->mutex);
        return result;
    }
    for (;;) {
        if (sv->status != 0) {
            result = sv->status;
            break;
        }
        if (timeout_ms != 0) {
            /* A fresh deadline on every pass: a wake-up that does not end the
             * wait starts a new full time-out. */
            struct timespec now, deadline;
            orv_time_get_timespec_realtime(&now);
            orv_time_msec64_to_timespec(orv_time_timespec_to_msec64(&now) + timeout_ms, &deadline);
            uint32_t rc = orv_thread_cond_timedwait(&sv->cond, &sv->mutex, &deadline);
            if (rc != 0) {
                result = rc;
                break;
            }
        } else {
            orv_thread_cond_wait(&sv->cond, &sv->mutex);
        }
        if (sv->current == sv->target) {
            result = sv->status;
            break;
        }
    }
    pthread_mutex_unlock(&sv->mutex);
    return result;
}

void kel_syncvar_notify(kel_syncvar_t *sv, int32_t status)
{
    if (status == 0)
        return;
    pthread_mutex_lock(&sv->mutex);
    store(&sv->status, static_cast<uint32_t>(status));
    pthread_cond_broadcast(&sv->cond);
    pthread_mutex_unlock(&sv->mutex);
}

uint32_t kel_syncvar_get_current(kel_syncvar_t *sv)
{
    return __atomic_load_n(&sv->current, __ATOMIC_RELAXED);
}

uint32_t kel_syncvar_get_target(kel_syncvar_t *sv)
{
    return __atomic_load_n(&sv->target, __ATOMIC_RELAXED);
}

} // extern "C"
