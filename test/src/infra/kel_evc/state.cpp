/*
 * state.cpp - the event checker's process-wide state: the registry of
 * checkers with its three trace buffers, and the one mutex that guards all
 * of the event checker.
 *
 * The state block appears with the first checker and goes with the last,
 * closing its buffers, so a process that no longer checks events keeps
 * nothing. Queues, dispatch and checkers all lock through here; this file
 * calls none of them back.
 */
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "evc_internal.h"

pthread_mutex_t kel_evc_glb_mutex = PTHREAD_MUTEX_INITIALIZER;
kel_evc_glb_t *kel_evc_glb;

/* Releases the state block and closes its buffers when no checker is left
 * (mutex held); 0, or the size query's result. Another thread may have
 * released it already. */
uint32_t kel_evc_glb_release_if_empty_locked(void)
{
    if (kel_evc_glb == nullptr)
        return 0;
    uint32_t size = 0;
    uint32_t rc = orv_avl_tree_get_size(&kel_evc_glb->registry, &size);
    if (rc != 0 || size != 0)
        return rc;
    uint32_t closed = orv_dt_buffer_close(kel_evc_glb->traces);
    if (closed != 0)
        kel_printf(KEL_EVC_FMT_CLOSE_TRACE, strerror(static_cast<int>(closed)));
    closed = orv_dt_buffer_close(kel_evc_glb->events);
    if (closed != 0)
        kel_printf(KEL_EVC_FMT_CLOSE_EVENT, strerror(static_cast<int>(closed)));
    closed = orv_dt_buffer_close(kel_evc_glb->errors);
    if (closed != 0)
        kel_printf(KEL_EVC_FMT_CLOSE_ERROR, strerror(static_cast<int>(closed)));
    free(kel_evc_glb);
    kel_evc_glb = nullptr;
    return 0;
}

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

int kel_evc_name_cmp(const void *a, const void *b)
{
    const char *na = static_cast<const kel_evc_named_t *>(a)->name;
    const char *nb = static_cast<const kel_evc_named_t *>(b)->name;
    int c = strcmp(na, nb);
    if (c == 0)
        return ORV_AVL_CMP_EQUAL;
    return c < 0 ? ORV_AVL_CMP_LESS : ORV_AVL_CMP_GREATER;
}

uint32_t kel__evc_find(const char *name, kel_evc_t **evc)
{
    kel_evc_t key;
    memset(&key, 0, sizeof key);
    key.evc_name = const_cast<char *>(name);
    orv_avl_node_t *found = nullptr;
    uint32_t rc = orv_avl_search(&kel_evc_glb->registry, &key, &found);
    *evc = rc == 0 ? reinterpret_cast<kel_evc_t *>(found) : nullptr;
    return rc;
}

uint32_t kel_evc_glb_init(void)
{
    if (kel_evc_glb != nullptr)
        return 0;
    kel_evc_glb_t *glb = static_cast<kel_evc_glb_t *>(calloc(1, sizeof *glb));
    if (glb == nullptr)
        return KEL_EVC_E_NOMEM;
    uint32_t rc = orv_avl_tree_init(&glb->registry, kel_evc_name_cmp, 0);
    if (rc != 0) {
        free(glb);
        return rc;
    }
    rc = orv_dt_buffer_init(&glb->traces, KEL_EVC_BUF_TRACES, 0, KEL_EVC_BUF_TRACES_SIZE);
    if (rc == 0) {
        KEL_EVC_LOG(glb->traces, KEL_EVC_FMT_TRACES_CREATED, __LINE__, __func__, KEL_EVC_BUF_TRACES_SIZE);
        rc = orv_dt_buffer_init(&glb->events, KEL_EVC_BUF_EVENTS, 0, KEL_EVC_BUF_EVENTS_SIZE);
    }
    if (rc == 0) {
        KEL_EVC_LOG(glb->events, KEL_EVC_FMT_EVENTS_CREATED, KEL_EVC_BUF_EVENTS_SIZE);
        rc = orv_dt_buffer_init(&glb->errors, KEL_EVC_BUF_ERRORS, 0, KEL_EVC_BUF_ERRORS_SIZE);
    }
    if (rc == 0) {
        KEL_EVC_LOG(glb->errors, KEL_EVC_FMT_ERRORS_CREATED, __func__, KEL_EVC_BUF_ERRORS_SIZE);
        kel_evc_glb = glb;
        return 0;
    }
    if (glb->events != nullptr)
        orv_dt_buffer_close(glb->events);
    if (glb->traces != nullptr)
        orv_dt_buffer_close(glb->traces);
    free(glb);
    return KEL_EVC_CERR_FATAL(rc);
}

uint32_t kel_evc_glb_try_destroy(void)
{
    kel__evc_lock("kel_evc_glb_try_destroy", __LINE__);
    uint32_t rc = kel_evc_glb_release_if_empty_locked();
    int err = pthread_mutex_unlock(&kel_evc_glb_mutex);
    if (err != 0) {
        kel_printf(KEL_EVC_FMT_PRINT_UNLOCK_ERROR, err);
        return KEL_EVC_CERR_FATAL(err);
    }
    return rc;
}
