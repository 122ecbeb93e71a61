/*
 * syncvar.h - the record behind the opaque kel_syncvar_t of kel.h: a 32-bit
 * counter with a target and a sticky status, guarded by its own mutex, on
 * whose condition variable waiters sleep until the counter meets the target
 * or a status is posted.
 */
#ifndef KEL_SYNCVAR_H
#define KEL_SYNCVAR_H

#include <pthread.h>
#include <stdint.h>

#include "kel.h"

struct kel_syncvar_s {
    pthread_mutex_t mutex;       /* guards every field below */
    pthread_cond_t cond;         /* broadcast on reaching the target and on a status */
    uint32_t current;            /* the counter */
    uint32_t target;             /* waiters are released when current equals it */
    uint32_t status;             /* 0 until notified; never cleared afterwards */
};

#endif
