/*
 * global.cpp - the event checker's process-wide state block and the one
 * mutex that guards it. Every other file of the checker locks through
 * here, so this file calls none of them.
 */
#include <pthread.h>

#include "evc_internal.h"

pthread_mutex_t kel_evc_glb_mutex = PTHREAD_MUTEX_INITIALIZER;
kel_evc_glb_t *kel_evc_glb;

int kel__evc_lock(const char *func, unsigned line)
{
    int err = pthread_mutex_lock(&kel_evc_glb_mutex);
    if (err != 0 && kel_evc_glb != nullptr)
        KEL_EVC_LOG(kel_evc_glb->errors, KEL_EVC_FMT_LOCK_ERROR, func, line, KEL_EVC_MUTEX_NAME, err);
    return err;
}

int kel__evc_unlock(const char *func, unsigned line)
{
    int err = pthread_mutex_unlock(&kel_evc_glb_mutex);
    if (err != 0 && kel_evc_glb != nullptr)
        KEL_EVC_LOG(kel_evc_glb->errors, KEL_EVC_FMT_UNLOCK_ERROR, func, line, KEL_EVC_MUTEX_NAME, err);
    return err;
}
